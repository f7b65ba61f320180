// The trace facility: switch word, line prefix, debugger output and the
// route to the shared file writer.
#include "dshowflt/common/trace/trace.h"

#include "platform/thread.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "dshowflt/common/trace/tracefile.h"
#include "dshowflt/common/trace/traceformat.h"
#include "dshowflt/common/trace/traceseams.h"
#include "platform/critsec.h"
#include "platform/platformtrace.h"
#include "platform/wtext.h"

constinit std::atomic<uint32_t> g_dwTraceSwitch{TRACE_SWITCH_DEFAULT};

namespace {

constexpr LONGLONG kMsPerDay = 24LL * 60 * 60 * 1000;
// A pause longer than this between two stamped lines earns an empty line, so
// bursts of activity stand apart when reading the log.
constexpr LONGLONG kGapMs = 100;
constexpr LONGLONG kNoPreviousLine = INT64_MIN;

// A prefixed line: the CR LF pairs of its leading line feeds (at most the
// whole formatted text) plus the columns, plus the text.
constexpr size_t kOutputMax = 2 * kTraceLineMax + 128;

// The handle count column: open descriptors of the process, -1 if unknown.
int OpenDescriptorCount()
{
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr)
        return -1;
    int c = 0;
    while (const dirent* pEnt = readdir(pDir)) {
        if (pEnt->d_name[0] != '.')
            ++c;
    }
    closedir(pDir);
    return c - 1;  // the descriptor that reads the folder
}

// ---- Time of day ------------------------------------------------------------
//
// The local time is read once and then advanced by a monotonic counter, so
// lines stay in order even when the wall clock is stepped.

struct CClockStart
{
    std::chrono::steady_clock::time_point tpSteady;
    LONGLONG llMsOfDay;
};

const CClockStart& ClockStart()
{
    static const CClockStart s_start = [] {
        CClockStart start;
        start.tpSteady = std::chrono::steady_clock::now();
        const auto tpNow = std::chrono::system_clock::now();
        const time_t tNow = std::chrono::system_clock::to_time_t(tpNow);
        const LONGLONG llMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(tpNow.time_since_epoch()).count() % 1000;
        struct tm tmLocal = {};
        localtime_r(&tNow, &tmLocal);
        start.llMsOfDay = ((tmLocal.tm_hour * 60LL + tmLocal.tm_min) * 60 + tmLocal.tm_sec) * 1000 + llMs;
        return start;
    }();
    return s_start;
}

LONGLONG RealElapsedMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 ClockStart().tpSteady)
        .count();
}

std::atomic<PFNTRACECLOCK> s_pfnClock{nullptr};
std::atomic<LONGLONG> s_llTestStartMsOfDay{0};
// Stamp of the previous line with a time prefix, shared by all threads.
std::atomic<LONGLONG> s_llPreviousLineMs{kNoPreviousLine};

// Milliseconds since local midnight of the start day (may exceed a day).
LONGLONG NowMsSinceStartMidnight()
{
    if (PFNTRACECLOCK pfn = s_pfnClock.load(std::memory_order_acquire))
        return s_llTestStartMsOfDay.load(std::memory_order_relaxed) + pfn();
    return ClockStart().llMsOfDay + RealElapsedMs();
}

// ---- Outputs ------------------------------------------------------------------

struct CDebugOut
{
    CCritSec m_cs;
    PFNTRACEDEBUGOUT m_pfn GUARDED_BY(m_cs) = nullptr;
    void* m_pv GUARDED_BY(m_cs) = nullptr;
};

// Never destroyed: lines may be traced while statics are torn down.
CDebugOut& DebugOut()
{
    static CDebugOut* s_p = new CDebugOut;
    return *s_p;
}

void WriteDebugOut(const char* psz, size_t cb)
{
    CDebugOut& out = DebugOut();
    CAutoLock lock(&out.m_cs);
    if (out.m_pfn != nullptr) {
        out.m_pfn(out.m_pv, psz, cb);
        return;
    }
    // One write per line keeps lines of different threads whole.
    fwrite(psz, 1, cb, stderr);
}

std::string DefaultTracePath()
{
    const char* pszTmp = getenv("TMPDIR");
    std::string str = (pszTmp != nullptr && *pszTmp != '\0') ? pszTmp : "/tmp";
    if (str.back() != '/')
        str += '/';
    return str + CTraceFileWriter::kDefaultFileName;
}

// The file side: the path, and the writer this facility holds for it.
// Lock order: m_cs, then the writer's locks.
struct CFileOut
{
    CCritSec m_cs;
    std::string m_strPath GUARDED_BY(m_cs);
    CTraceFileWriter* m_pWriter GUARDED_BY(m_cs) = nullptr;
    // Set at process exit: no new writer (and flush thread) may start, lines
    // go to the file directly.
    bool m_bShutDown GUARDED_BY(m_cs) = false;
    bool m_bLastCR GUARDED_BY(m_cs) = false;
};

CFileOut& FileOut()
{
    static CFileOut* s_p = [] {
        CFileOut* p = new CFileOut;
        CAutoLock lock(&p->m_cs);
        p->m_strPath = DefaultTracePath();
        return p;
    }();
    return *s_p;
}

void WriteFileOut(const char* psz, size_t cb)
{
    CFileOut& out = FileOut();
    CTraceFileWriter* pStale = nullptr;
    {
        CAutoLock lock(&out.m_cs);
        if (out.m_bShutDown) {
            (void)CTraceFileWriter::AppendToFile(out.m_strPath, psz, cb, &out.m_bLastCR);
            return;
        }
        if (out.m_pWriter != nullptr && out.m_pWriter->Path() != out.m_strPath) {
            pStale = out.m_pWriter;
            out.m_pWriter = nullptr;
        }
        // A writer that cannot be created costs this line its file copy.
        if (out.m_pWriter != nullptr || SUCCEEDED(CTraceFileWriter::Acquire(out.m_strPath, &out.m_pWriter)))
            out.m_pWriter->Append(psz, cb);
    }
    // Outside the lock: the last release writes the old file and may wait
    // for it.
    if (pStale != nullptr)
        pStale->Release();
}

// Appends to a fixed line buffer, cutting silently.
class CLine
{
public:
    void Put(const char* p, size_t cb)
    {
        if (cb > sizeof(m_sz) - 1 - m_cb)
            cb = sizeof(m_sz) - 1 - m_cb;
        memcpy(m_sz + m_cb, p, cb);
        m_cb += cb;
        m_sz[m_cb] = '\0';
    }
    void Put(const char* psz) { Put(psz, strlen(psz)); }
    const char* Text() const { return m_sz; }
    size_t Length() const { return m_cb; }

private:
    char m_sz[kOutputMax];
    size_t m_cb = 0;
};

void OutputWith(uint32_t dwSwitch, const char* pszText)
{
    if (pszText == nullptr || (dwSwitch & (TRACE_TO_DEBUGGER | TRACE_TO_FILE)) == 0)
        return;

    CLine line;
    const char* pszBody = pszText;
    if (*pszText == '\n') {
        size_t cLineFeeds = 0;
        while (*pszBody == '\n') {
            ++pszBody;
            ++cLineFeeds;
        }
        char sz[64];
        LONGLONG llNow = 0;
        if (dwSwitch & TRACE_TIME_OF_DAY) {
            llNow = NowMsSinceStartMidnight();
            const LONGLONG llPrev = s_llPreviousLineMs.exchange(llNow, std::memory_order_relaxed);
            if (llPrev != kNoPreviousLine && llNow - llPrev > kGapMs)
                line.Put("\r\n", 2);
        }
        for (size_t i = 0; i < cLineFeeds; ++i)
            line.Put("\r\n", 2);
        if (dwSwitch & TRACE_TIME_OF_DAY) {
            const LONGLONG llDays = llNow / kMsPerDay;
            const LONGLONG llMs = llNow % kMsPerDay;
            const int nH = static_cast<int>(llMs / 3600000);
            const int nM = static_cast<int>(llMs / 60000 % 60);
            const int nS = static_cast<int>(llMs / 1000 % 60);
            const int nMs = static_cast<int>(llMs % 1000);
            // After midnight the day count keeps lines of a long run in order.
            if (llDays > 0)
                snprintf(sz, sizeof(sz), "+%dd %02d:%02d:%02d.%03d: ", static_cast<int>(llDays), nH, nM, nS, nMs);
            else
                snprintf(sz, sizeof(sz), "%02d:%02d:%02d.%03d: ", nH, nM, nS, nMs);
            line.Put(sz);
        }
        if (dwSwitch & TRACE_HANDLE_COUNT) {
            snprintf(sz, sizeof(sz), "%4d ", OpenDescriptorCount());
            line.Put(sz);
        }
        if (dwSwitch & TRACE_THREAD_ID) {
            snprintf(sz, sizeof(sz), "%08x: ", static_cast<unsigned>(GetCurrentThreadId()));
            line.Put(sz);
        }
    }
    line.Put(pszBody);

    if (dwSwitch & TRACE_TO_DEBUGGER)
        WriteDebugOut(line.Text(), line.Length());
    if (dwSwitch & TRACE_TO_FILE)
        WriteFileOut(line.Text(), line.Length());
    else if (dwSwitch & TRACE_TO_DEBUGGER)
        std::this_thread::yield();  // let a debugger-output reader keep up
}

void TraceWith(uint32_t dwSwitch, const char* pszFormat, va_list args)
{
    char sz[kTraceLineMax];
    FormatTraceV(sz, sizeof(sz), pszFormat, args);
    OutputWith(dwSwitch, sz);
}

// The platform layer's lines come here once this facility is linked in,
// already formatted; they obey the switch word like every other line.
void PlatformLine(const char* pszLine)
{
    const uint32_t dw = g_dwTraceSwitch.load(std::memory_order_relaxed);
    if ((dw & TRACE_ENABLED) != 0)
        OutputWith(dw, pszLine);
}

// Reads the developer's settings before main(), takes over the platform
// layer's lines, and at exit releases the facility's writer so that pending
// text reaches the file.
struct CTraceStartup
{
    CTraceStartup()
    {
        SetPlatformTraceHooks(PlatformLine, TraceOn, TraceHr);
        if (const char* psz = getenv("KV_TRACE")) {
            // Hex with 0x, otherwise decimal: "010" is ten, not eight.
            const bool bHex = psz[0] == '0' && (psz[1] == 'x' || psz[1] == 'X');
            const char* pszDigits = bHex ? psz + 2 : psz;
            char* pszEnd = nullptr;
            const unsigned long ul = strtoul(pszDigits, &pszEnd, bHex ? 16 : 10);
            if (pszEnd != pszDigits && *pszEnd == '\0')
                g_dwTraceSwitch.store(static_cast<uint32_t>(ul), std::memory_order_relaxed);
        }
        if (const char* psz = getenv("KV_TRACE_FILE"))
            SetTraceFile(psz);
    }
    ~CTraceStartup()
    {
        // Platform code that logs from later static destructors finds no
        // hook rather than a facility being torn down.
        SetPlatformTraceHooks(nullptr, nullptr, nullptr);
        CFileOut& out = FileOut();
        CTraceFileWriter* pWriter = nullptr;
        {
            CAutoLock lock(&out.m_cs);
            out.m_bShutDown = true;
            pWriter = out.m_pWriter;
            out.m_pWriter = nullptr;
        }
        if (pWriter != nullptr)
            pWriter->Release();
    }
};

CTraceStartup s_startup;

}  // namespace

void Trace(const char* pszFormat, ...)
{
    const uint32_t dw = g_dwTraceSwitch.load(std::memory_order_relaxed);
    if ((dw & TRACE_ENABLED) == 0)
        return;
    va_list args;
    va_start(args, pszFormat);
    TraceWith(dw, pszFormat, args);
    va_end(args);
}

void TraceForced(const char* pszFormat, ...)
{
    // The forced bits apply to this call's own copy of the word: setting and
    // restoring the shared word would switch other threads on meanwhile, and
    // two overlapping forced calls could restore each other's bits.
    const uint32_t dw = g_dwTraceSwitch.load(std::memory_order_relaxed) | TRACE_FORCED_BITS;
    va_list args;
    va_start(args, pszFormat);
    TraceWith(dw, pszFormat, args);
    va_end(args);
}

HRESULT TraceError(HRESULT hr, int nLine, const char* pszFile)
{
    if (TraceOn())
        Trace("\n %s(%d): TARN Error: %s \n", pszFile, nLine, TraceHr(hr));
    return hr;
}

void Output(const char* pszText)
{
    OutputWith(g_dwTraceSwitch.load(std::memory_order_relaxed), pszText);
}

void TraceHexDump(const void* pv, size_t cb)
{
    const uint32_t dw = g_dwTraceSwitch.load(std::memory_order_relaxed);
    if ((dw & TRACE_ENABLED) == 0 || pv == nullptr)
        return;
    const BYTE* pb = static_cast<const BYTE*>(pv);
    for (size_t iRow = 0; iRow < cb; iRow += 16) {
        // "\n" + 16 * "XX " + 16 characters
        char sz[1 + 16 * 3 + 16 + 1];
        size_t n = 0;
        sz[n++] = '\n';
        const size_t cbRow = cb - iRow < 16 ? cb - iRow : 16;
        for (size_t i = 0; i < 16; ++i) {
            if (i < cbRow)
                snprintf(sz + n, 4, "%02X ", pb[iRow + i]);
            else
                memcpy(sz + n, "   ", 3);  // keeps the character column aligned
            n += 3;
        }
        for (size_t i = 0; i < cbRow; ++i) {
            const BYTE b = pb[iRow + i];
            sz[n++] = (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
        }
        sz[n] = '\0';
        OutputWith(dw, sz);
    }
}

void FlushTrace()
{
    CFileOut& out = FileOut();
    CTraceFileWriter* pWriter = nullptr;
    {
        CAutoLock lock(&out.m_cs);
        pWriter = out.m_pWriter;
        if (pWriter != nullptr)
            pWriter->AddRef();
    }
    if (pWriter == nullptr)
        return;
    (void)pWriter->Flush();  // a flush that fails loses its text, nothing more
    pWriter->Release();
}

void SetTraceFile(const char* pszPathUtf8)
{
    std::string strPath;
    if (pszPathUtf8 == nullptr || *pszPathUtf8 == '\0') {
        strPath = DefaultTracePath();
    } else {
        CWString wstr = Utf8ToWide(pszPathUtf8);
        if (wstr.size() >= static_cast<size_t>(MAX_PATH))
            wstr.resize(MAX_PATH - 1);
        strPath = WideToUtf8(wstr);
    }
    CFileOut& out = FileOut();
    CAutoLock lock(&out.m_cs);
    out.m_strPath = strPath;
}

std::string GetTraceFile()
{
    CFileOut& out = FileOut();
    CAutoLock lock(&out.m_cs);
    return out.m_strPath;
}

void SetTraceDebugOutputForTest(PFNTRACEDEBUGOUT pfn, void* pvContext)
{
    CDebugOut& out = DebugOut();
    CAutoLock lock(&out.m_cs);
    out.m_pfn = pfn;
    out.m_pv = pvContext;
}

void SetTraceClockForTest(PFNTRACECLOCK pfnNowMs, LONGLONG llStartMsOfDay)
{
    s_llTestStartMsOfDay.store(llStartMsOfDay, std::memory_order_relaxed);
    s_pfnClock.store(pfnNowMs, std::memory_order_release);
    s_llPreviousLineMs.store(kNoPreviousLine, std::memory_order_relaxed);
}
