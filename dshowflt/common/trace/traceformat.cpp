#include "dshowflt/common/trace/traceformat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "dshowflt/common/statusnames.h"
#include "dshowflt/common/trace/trace.h"

namespace {

// The output side of the walker: a fixed buffer that silently cuts.
class CFormatOut
{
public:
    CFormatOut(char* psz, size_t cch) : m_psz(psz), m_cch(cch) { m_psz[0] = '\0'; }

    void Put(const char* p, size_t cb)
    {
        const size_t cbRoom = m_cch - 1 - m_cb;
        if (cb > cbRoom)
            cb = cbRoom;
        memcpy(m_psz + m_cb, p, cb);
        m_cb += cb;
        m_psz[m_cb] = '\0';
    }
    // snprintf-style writers append at Tail() with Room() bytes (terminator
    // included) and report the length they wanted.
    char* Tail() { return m_psz + m_cb; }
    size_t Room() const { return m_cch - m_cb; }
    void Advance(int nWanted)
    {
        if (nWanted <= 0)
            return;
        const size_t cbMax = m_cch - 1 - m_cb;
        m_cb += static_cast<size_t>(nWanted) < cbMax ? static_cast<size_t>(nWanted) : cbMax;
    }
    size_t Length() const { return m_cb; }

private:
    char* m_psz;
    size_t m_cch;
    size_t m_cb = 0;
};

enum class ELength { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kLongDouble };

const char* LengthText(ELength len)
{
    switch (len) {
    case ELength::kHH: return "hh";
    case ELength::kH: return "h";
    case ELength::kL: return "l";
    case ELength::kLL: return "ll";
    case ELength::kJ: return "j";
    case ELength::kZ: return "z";
    case ELength::kT: return "t";
    case ELength::kLongDouble: return "L";
    case ELength::kNone: break;
    }
    return "";
}

// Appends the UTF-8 form of one code point; returns false when it does not
// fit, so that a cut never leaves half a sequence.
bool PutUtf8(char* psz, size_t cch, size_t* pcb, uint32_t cp)
{
    char sz[4];
    size_t n;
    if (cp < 0x80) {
        sz[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        sz[0] = static_cast<char>(0xC0 | (cp >> 6));
        sz[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        sz[0] = static_cast<char>(0xE0 | (cp >> 12));
        sz[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        sz[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        sz[0] = static_cast<char>(0xF0 | (cp >> 18));
        sz[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        sz[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        sz[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    if (*pcb + n >= cch)
        return false;
    memcpy(psz + *pcb, sz, n);
    *pcb += n;
    return true;
}

// UTF-16 -> UTF-8 into a fixed buffer, at most cchMax units of the input
// (the precision of %.5S counts units). Unpaired surrogates become U+FFFD.
void WideToUtf8Fixed(const WCHAR* pw, size_t cchMax, char* psz, size_t cch)
{
    size_t cb = 0;
    for (size_t i = 0; i < cchMax && pw[i] != 0; ++i) {
        uint32_t cp = pw[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < cchMax && pw[i + 1] >= 0xDC00 && pw[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (pw[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (!PutUtf8(psz, cch, &cb, cp))
            break;
    }
    psz[cb] = '\0';
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

// One conversion whose argument is already pulled: the conversion is built by the
// walker from the caller's flags, so it is never a caller-supplied string.
template <class T>
void PutOne(CFormatOut* pOut, const char* pszConv, T value)
{
    pOut->Advance(snprintf(pOut->Tail(), pOut->Room(), pszConv, value));
}

#pragma GCC diagnostic pop

constexpr int kFieldMax = static_cast<int>(kTraceLineMax);

}  // namespace

size_t FormatTraceV(char* psz, size_t cch, const char* pszFormat, va_list args)
{
    if (psz == nullptr || cch == 0)
        return 0;
    CFormatOut out(psz, cch);
    if (pszFormat == nullptr)
        return 0;

    va_list ap;
    va_copy(ap, args);
    const char* p = pszFormat;
    while (*p != '\0') {
        if (*p != '%') {
            const char* pPct = strchr(p, '%');
            const size_t cb = pPct ? static_cast<size_t>(pPct - p) : strlen(p);
            out.Put(p, cb);
            p += cb;
            continue;
        }
        const char* pStart = p++;

        // %[flags][width][.precision][length]conversion
        char szFlags[8];
        size_t cFlags = 0;
        while (*p != '\0' && strchr("-+ #0'", *p) != nullptr) {
            if (cFlags < sizeof(szFlags) - 2)
                szFlags[cFlags++] = *p;
            ++p;
        }
        int nWidth = -1;
        if (*p == '*') {
            nWidth = va_arg(ap, int);
            ++p;
            if (nWidth < 0) {  // a negative width means left-justify
                szFlags[cFlags++] = '-';
                nWidth = nWidth == INT32_MIN ? kFieldMax : -nWidth;
            }
        } else if (*p >= '0' && *p <= '9') {
            nWidth = 0;
            for (; *p >= '0' && *p <= '9'; ++p) {
                if (nWidth < kFieldMax)
                    nWidth = nWidth * 10 + (*p - '0');
            }
        }
        szFlags[cFlags] = '\0';
        if (nWidth > kFieldMax)
            nWidth = kFieldMax;

        int nPrecision = -1;
        if (*p == '.') {
            ++p;
            nPrecision = 0;
            if (*p == '*') {
                nPrecision = va_arg(ap, int);
                ++p;
                if (nPrecision < 0)  // as if omitted
                    nPrecision = -1;
            } else {
                for (; *p >= '0' && *p <= '9'; ++p) {
                    if (nPrecision < kFieldMax)
                        nPrecision = nPrecision * 10 + (*p - '0');
                }
            }
            if (nPrecision > kFieldMax)
                nPrecision = kFieldMax;
        }

        ELength len = ELength::kNone;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            len = ELength::kLL;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (p[0] == 'I') {
            len = ELength::kZ;
            ++p;
        } else if (p[0] == 'h' && p[1] == 'h') {
            len = ELength::kHH;
            p += 2;
        } else if (p[0] == 'l' && p[1] == 'l') {
            len = ELength::kLL;
            p += 2;
        } else if (*p == 'h') {
            len = ELength::kH;
            ++p;
        } else if (*p == 'l') {
            len = ELength::kL;
            ++p;
        } else if (*p == 'q') {
            len = ELength::kLL;
            ++p;
        } else if (*p == 'j') {
            len = ELength::kJ;
            ++p;
        } else if (*p == 'z') {
            len = ELength::kZ;
            ++p;
        } else if (*p == 't') {
            len = ELength::kT;
            ++p;
        } else if (*p == 'L') {
            len = ELength::kLongDouble;
            ++p;
        }

        const char chConv = *p;
        if (chConv == '\0') {  // a format cut short: show what was there
            out.Put(pStart, static_cast<size_t>(p - pStart));
            break;
        }
        ++p;

        // The conversion handed to snprintf: flags, resolved width and precision,
        // the length in its C spelling, then the conversion.
        char szConv[48];
        auto MakeConv = [&](bool bLength, bool bPrecision, char chFinal) {
            char szWidth[16] = "";
            char szPrec[16] = "";
            if (nWidth >= 0)
                snprintf(szWidth, sizeof(szWidth), "%d", nWidth);
            if (bPrecision && nPrecision >= 0)
                snprintf(szPrec, sizeof(szPrec), ".%d", nPrecision);
            snprintf(szConv, sizeof(szConv), "%%%s%s%s%s%c", szFlags, szWidth, szPrec,
                     bLength ? LengthText(len) : "", chFinal);
        };

        switch (chConv) {
        case 'd':
        case 'i':
            MakeConv(true, true, chConv);
            switch (len) {
            case ELength::kL: PutOne(&out, szConv, va_arg(ap, long)); break;
            case ELength::kLL: PutOne(&out, szConv, va_arg(ap, long long)); break;
            case ELength::kJ: PutOne(&out, szConv, va_arg(ap, intmax_t)); break;
            case ELength::kZ:
            case ELength::kT: PutOne(&out, szConv, va_arg(ap, ptrdiff_t)); break;
            default: PutOne(&out, szConv, va_arg(ap, int)); break;
            }
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            MakeConv(true, true, chConv);
            switch (len) {
            case ELength::kL: PutOne(&out, szConv, va_arg(ap, unsigned long)); break;
            case ELength::kLL: PutOne(&out, szConv, va_arg(ap, unsigned long long)); break;
            case ELength::kJ: PutOne(&out, szConv, va_arg(ap, uintmax_t)); break;
            case ELength::kZ:
            case ELength::kT: PutOne(&out, szConv, va_arg(ap, size_t)); break;
            default: PutOne(&out, szConv, va_arg(ap, unsigned int)); break;
            }
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            MakeConv(true, true, chConv);
            if (len == ELength::kLongDouble)
                PutOne(&out, szConv, va_arg(ap, long double));
            else
                PutOne(&out, szConv, va_arg(ap, double));
            break;
        case 'p':
            MakeConv(false, false, 'p');
            PutOne(&out, szConv, va_arg(ap, void*));
            break;
        case 'c':
        case 'C':
            if (chConv == 'C' || len == ELength::kL) {
                // A WCHAR travels promoted to int.
                const WCHAR wsz[2] = {static_cast<WCHAR>(va_arg(ap, int)), 0};
                char sz[8];
                WideToUtf8Fixed(wsz, 1, sz, sizeof(sz));
                MakeConv(false, false, 's');
                PutOne(&out, szConv, static_cast<const char*>(sz));
            } else {
                MakeConv(false, false, 'c');
                PutOne(&out, szConv, va_arg(ap, int));
            }
            break;
        case 's':
        case 'S':
            if (chConv == 'S' || len == ELength::kL) {
                const WCHAR* pw = va_arg(ap, const WCHAR*);
                char sz[kTraceLineMax];
                if (pw == nullptr)
                    strcpy(sz, "(null)");
                else
                    WideToUtf8Fixed(pw, nPrecision >= 0 ? static_cast<size_t>(nPrecision) : SIZE_MAX, sz, sizeof(sz));
                // The precision has already been applied in UTF-16 units.
                MakeConv(false, false, 's');
                PutOne(&out, szConv, static_cast<const char*>(sz));
            } else {
                const char* psz8 = va_arg(ap, const char*);
                MakeConv(false, true, 's');
                PutOne(&out, szConv, psz8 ? psz8 : "(null)");
            }
            break;
        case 'n':
            // Writing through an argument is never useful in a trace line and
            // is a classic way to turn a bad format into a memory write.
            (void)va_arg(ap, void*);
            break;
        case '%':
            out.Put("%", 1);
            break;
        default:
            out.Put(pStart, static_cast<size_t>(p - pStart));
            break;
        }
    }
    va_end(ap);
    return out.Length();
}

size_t FormatTrace(char* psz, size_t cch, const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    const size_t cb = FormatTraceV(psz, cch, pszFormat, args);
    va_end(args);
    return cb;
}

// ---- Formatters for trace arguments ----------------------------------------
//
// Each thread has its own rings, so a value formatted on one thread is never
// overwritten by another thread before it is printed; within one thread a
// ring holds as many values as one trace call may print.

namespace {

template <size_t kSlots, size_t kCb>
struct CTraceRing
{
    char m_sz[kSlots][kCb];
    unsigned m_nNext;

    char* Next() { return m_sz[m_nNext++ % kSlots]; }
    static constexpr size_t Size() { return kCb; }
};

thread_local CTraceRing<4, 320> t_ringHr;
thread_local CTraceRing<4, 40> t_ringRefTime;
thread_local CTraceRing<8, 32> t_ringBytes;
thread_local CTraceRing<4, 32> t_ringElapsed;
thread_local CTraceRing<4, 24> t_ringState;
thread_local CTraceRing<4, 40> t_ringEvent;

// Magnitude of a signed value without overflow at INT64_MIN.
uint64_t Magnitude(int64_t ll)
{
    return ll < 0 ? 0 - static_cast<uint64_t>(ll) : static_cast<uint64_t>(ll);
}

// "12,500,000": a count with its thousands separated.
void FormatGrouped(int64_t ll, char* psz, size_t cch)
{
    char szDigits[24];
    snprintf(szDigits, sizeof(szDigits), "%llu", static_cast<unsigned long long>(Magnitude(ll)));
    const size_t cDigits = strlen(szDigits);
    char szOut[40];
    size_t n = 0;
    if (ll < 0)
        szOut[n++] = '-';
    for (size_t i = 0; i < cDigits; ++i) {
        if (i > 0 && (cDigits - i) % 3 == 0)
            szOut[n++] = ',';
        szOut[n++] = szDigits[i];
    }
    szOut[n] = '\0';
    snprintf(psz, cch, "%s", szOut);
}

struct CEventName
{
    long lCode;
    const char* pszName;
};

// The media graph's event codes, sorted.
constexpr CEventName kEventNames[] = {
    {0x01, "EC_COMPLETE"},
    {0x02, "EC_USERABORT"},
    {0x03, "EC_ERRORABORT"},
    {0x04, "EC_TIME"},
    {0x05, "EC_REPAINT"},
    {0x06, "EC_STREAM_ERROR_STOPPED"},
    {0x07, "EC_STREAM_ERROR_STILLPLAYING"},
    {0x08, "EC_ERROR_STILLPLAYING"},
    {0x09, "EC_PALETTE_CHANGED"},
    {0x0A, "EC_VIDEO_SIZE_CHANGED"},
    {0x0B, "EC_QUALITY_CHANGE"},
    {0x0C, "EC_SHUTTING_DOWN"},
    {0x0D, "EC_CLOCK_CHANGED"},
    {0x0E, "EC_PAUSED"},
    {0x10, "EC_OPENING_FILE"},
    {0x11, "EC_BUFFERING_DATA"},
    {0x12, "EC_FULLSCREEN_LOST"},
    {0x13, "EC_ACTIVATE"},
    {0x14, "EC_NEED_RESTART"},
    {0x15, "EC_WINDOW_DESTROYED"},
    {0x16, "EC_DISPLAY_CHANGED"},
    {0x17, "EC_STARVATION"},
    {0x18, "EC_OLE_EVENT"},
    {0x19, "EC_NOTIFY_WINDOW"},
    {0x1A, "EC_STREAM_CONTROL_STOPPED"},
    {0x1B, "EC_STREAM_CONTROL_STARTED"},
    {0x1C, "EC_END_OF_SEGMENT"},
    {0x1D, "EC_SEGMENT_STARTED"},
    {0x1E, "EC_LENGTH_CHANGED"},
    {0x1F, "EC_DEVICE_LOST"},
    {0x20, "EC_SAMPLE_NEEDED"},
    {0x21, "EC_PROCESSING_LATENCY"},
    {0x22, "EC_SAMPLE_LATENCY"},
    {0x23, "EC_SCRUB_TIME"},
    {0x24, "EC_STEP_COMPLETE"},
    {0x30, "EC_TIMECODE_AVAILABLE"},
    {0x31, "EC_EXTDEVICE_MODE_CHANGE"},
    {0x32, "EC_STATE_CHANGE"},
    {0x50, "EC_GRAPH_CHANGED"},
    {0x51, "EC_CLOCK_UNSET"},
    {0x53, "EC_VMR_RENDERDEVICE_SET"},
    {0x54, "EC_VMR_SURFACE_FLIPPED"},
    {0x55, "EC_VMR_RECONNECTION_FAILED"},
    {0x56, "EC_PREPROCESS_COMPLETE"},
    {0x57, "EC_CODECAPI_EVENT"},
    {0x0251, "EC_WMT_INDEX_EVENT"},
    {0x0252, "EC_WMT_EVENT"},
    {0x0300, "EC_BUILT"},
    {0x0301, "EC_UNBUILT"},
};

}  // namespace

const char* TraceHr(HRESULT hr)
{
    char* psz = t_ringHr.Next();
    FormatStatusName(hr, psz, t_ringHr.Size());
    return psz;
}

const char* TraceRefTime(REFERENCE_TIME rt)
{
    char* psz = t_ringRefTime.Next();
    const size_t cch = t_ringRefTime.Size();
    // Sentinels and values near them are markers ("until further notice",
    // "no time yet") rather than times; printing their seconds would only
    // hide that.
    if (rt == INT64_MAX)
        snprintf(psz, cch, "MAX_INT64");
    else if (rt <= MIN_INT64)
        snprintf(psz, cch, "MIN_INT64");
    else if (rt >= INT64_MAX / 2)
        snprintf(psz, cch, "MAX_INT64/2+");
    else if (rt >= INT64_MAX / 4)
        snprintf(psz, cch, "MAX_INT64/4+");
    else if (rt <= INT64_MIN / 2)
        snprintf(psz, cch, "MIN_INT64/2-");
    else if (g_dwTraceSwitch.load(std::memory_order_relaxed) & TRACE_REFTIME_SECONDS) {
        const uint64_t u = Magnitude(rt);
        snprintf(psz, cch, "%s%llu.%03us", rt < 0 ? "-" : "",
                 static_cast<unsigned long long>(u / 10000000),
                 static_cast<unsigned>((u / 10000) % 1000));
    } else {
        FormatGrouped(rt, psz, cch);
    }
    return psz;
}

const char* TraceOptionalRefTime(const REFERENCE_TIME* prt)
{
    if (prt == nullptr) {
        char* psz = t_ringRefTime.Next();
        snprintf(psz, t_ringRefTime.Size(), "NO TIME");
        return psz;
    }
    return TraceRefTime(*prt);
}

const char* TraceBytes(LONGLONG cb)
{
    char* psz = t_ringBytes.Next();
    const size_t cch = t_ringBytes.Size();
    const uint64_t u = Magnitude(cb);
    const char* pszSign = cb < 0 ? "-" : "";
    if (u < 10000) {
        snprintf(psz, cch, "%s%u bytes", pszSign, static_cast<unsigned>(u));
    } else if (u < 1024000) {
        snprintf(psz, cch, "%s%lluKB", pszSign, static_cast<unsigned long long>(u / 1024));
    } else {
        // Thousandths of a megabyte, cut rather than rounded, so that a value
        // never prints as more than it is.
        const uint64_t uMB = u / (1024 * 1024);
        const uint64_t uFrac = (u % (1024 * 1024)) * 1000 / (1024 * 1024);
        snprintf(psz, cch, "%s%llu.%03lluMB", pszSign, static_cast<unsigned long long>(uMB),
                 static_cast<unsigned long long>(uFrac));
    }
    return psz;
}

const char* TraceElapsedMs(LONGLONG ms)
{
    char* psz = t_ringElapsed.Next();
    const size_t cch = t_ringElapsed.Size();
    const uint64_t u = Magnitude(ms);
    const char* pszSign = ms < 0 ? "-" : "";
    if (u >= 1000)
        snprintf(psz, cch, "%s%llu.%03us", pszSign, static_cast<unsigned long long>(u / 1000),
                 static_cast<unsigned>(u % 1000));
    else
        snprintf(psz, cch, "%s%03ums", pszSign, static_cast<unsigned>(u));
    return psz;
}

const char* TraceFilterState(int nState)
{
    switch (nState) {
    case 0: return "Stopped";
    case 1: return "Paused";
    case 2: return "Running";
    default: break;
    }
    char* psz = t_ringState.Next();
    snprintf(psz, t_ringState.Size(), "Unknown (%d)", nState);
    return psz;
}

const char* TraceEventCode(long lCode)
{
    size_t lo = 0;
    size_t hi = sizeof(kEventNames) / sizeof(kEventNames[0]);
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (kEventNames[mid].lCode < lCode)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < sizeof(kEventNames) / sizeof(kEventNames[0]) && kEventNames[lo].lCode == lCode)
        return kEventNames[lo].pszName;
    char* psz = t_ringEvent.Next();
    snprintf(psz, t_ringEvent.Size(), "0x%08lX", static_cast<unsigned long>(lCode) & 0xFFFFFFFFul);
    return psz;
}
