#include "dshowflt/mpegdemux/kvudpsrc/net/offsetlogger.h"

#include <cmath>
#include <cstdlib>

#include "dshowflt/common/buffer.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/thread.h"

namespace {

// A double offset or time truncated to 64 bits, clamped at the ends so the
// conversion is defined for every value. false for NaN.
bool TruncateToInt64(double d, LONGLONG* pll)
{
    if (std::isnan(d))
        return false;
    if (d >= 9223372036854775807.0)
        *pll = INT64_MAX;
    else if (d <= -9223372036854775808.0)
        *pll = INT64_MIN;
    else
        *pll = static_cast<LONGLONG>(d);
    return true;
}

// A field of the time pattern: the leading decimal digits at psz, ending at
// the first non-digit. Saturates, so that a long run of digits reads as an
// impossible value rather than wrapping to a possible one.
WORD ReadField(LPCWSTR psz)
{
    DWORD dw = 0;
    for (; *psz >= u'0' && *psz <= u'9'; ++psz) {
        dw = dw * 10 + static_cast<DWORD>(*psz - u'0');
        if (dw > 0xFFFF)
            return 0xFFFF;
    }
    return static_cast<WORD>(dw);
}

constexpr size_t kPatternTail = 20;  // "_MM_DD__hh_mm_ss_mmm"

}  // namespace

COffsetLogger::~COffsetLogger()
{
    CAutoLock lock(&m_csLog);
    FreeRecords();
}

void COffsetLogger::FreeRecords()
{
    free(m_pRecords);
    m_pRecords = nullptr;
    m_cRecords = 0;
    m_cAlloc = 0;
}

HRESULT COffsetLogger::StartLogging(DWORD dwIntervalMs)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return StartLoggingAt(dwIntervalMs, GetTickCount(), ft);
}

HRESULT COffsetLogger::StartLoggingAt(DWORD dwIntervalMs, DWORD dwStartTick, const FILETIME& ftStart)
{
    CAutoLock lock(&m_csLog);
    m_dwInterval = dwIntervalMs > 0 ? dwIntervalMs : kDefaultIntervalMs;
    m_dwStartTick = dwStartTick;
    m_llStartTime = static_cast<LONGLONG>(FileTimeToU64(ftStart));
    // A new read loop is a new stream: the old records mean nothing now.
    FreeRecords();
    m_dwLastTime = 0;
    m_bStarted = IsLogging();
    return S_OK;
}

void COffsetLogger::SetReceiveTimeFallback(PFNRECEIVETIMEFALLBACK pfn, void* pvContext)
{
    CAutoLock lock(&m_csLog);
    m_pfnFallback = pfn;
    m_pvFallback = pvContext;
}

HRESULT COffsetLogger::LogOffset(DWORD dwTick, LONGLONG llOffset)
{
    if (!IsLogging())
        return S_OK;
    CAutoLock lock(&m_csLog);
    const DWORD dwTime = dwTick - m_dwStartTick;  // wraps with the tick
    if (!IsDue(dwTime))
        return S_OK;
    if (m_cRecords == m_cAlloc) {
        // Grow by half (at least 64 records): a day at 33 ms spacing stays
        // near 42 MB, and appends stay amortised O(1).
        const LONGLONG llGrow = m_cAlloc / 2 > 64 ? m_cAlloc / 2 : 64;
        const LONGLONG llNew = m_cAlloc + llGrow;
        Record* pNew = llNew > INT32_MAX ? nullptr
                                         : static_cast<Record*>(realloc(m_pRecords, static_cast<size_t>(llNew) * sizeof(Record)));
        if (!pNew) {
            // The stream matters more than its log: drop this record and
            // keep receiving; a later one may fit.
            Trace("\nCOffsetLogger::LogOffset(): no memory for record %d, dropped", m_cRecords);
            return S_OK;
        }
        m_pRecords = pNew;
        m_cAlloc = static_cast<LONG>(llNew);
    }
    m_pRecords[m_cRecords++] = Record{dwTime, llOffset};
    m_dwLastTime = dwTime;
    return S_OK;
}

bool COffsetLogger::WouldLog(DWORD dwTick)
{
    if (!IsLogging())
        return false;
    CAutoLock lock(&m_csLog);
    return IsDue(dwTick - m_dwStartTick);
}

bool COffsetLogger::IsDue(DWORD dwTime) const
{
    return m_dwLastTime == 0 ||
           static_cast<ULONGLONG>(dwTime) > static_cast<ULONGLONG>(m_dwLastTime) + m_dwInterval;
}

HRESULT COffsetLogger::GetReceiveTime(double dOffset, double* pReceiveTime)
{
    if (!pReceiveTime)
        return E_POINTER;
    LONGLONG llOffset;
    if (!TruncateToInt64(dOffset, &llOffset))
        return E_INVALIDARG;

    PFNRECEIVETIMEFALLBACK pfnFallback = nullptr;
    void* pvFallback = nullptr;
    {
        CAutoLock lock(&m_csLog);
        // The log answers what it covers. For the rest, once the application
        // asked for receive times, the index beside the ring may know better
        // than the nearest record: asked below, with no lock held.
        const bool bCovered =
            m_cRecords > 0 && llOffset >= m_pRecords[0].llOffset && llOffset <= m_pRecords[m_cRecords - 1].llOffset;
        if (bCovered || !m_pfnFallback || !m_bStarted)
            return LookUpLocked(llOffset, pReceiveTime);
        pfnFallback = m_pfnFallback;
        pvFallback = m_pvFallback;
    }
    LONGLONG llTime = 0;
    if (SUCCEEDED(pfnFallback(pvFallback, llOffset, &llTime))) {
        *pReceiveTime = static_cast<double>(llTime);
        return S_OK;
    }
    CAutoLock lock(&m_csLog);
    return LookUpLocked(llOffset, pReceiveTime);
}

HRESULT COffsetLogger::LookUpLocked(LONGLONG llOffset, double* pReceiveTime)
{
    if (m_cRecords == 0)
        return KVMM_E_NO_RECEIVE_TIME;
    const Record* pr = m_pRecords;
    DWORD dwTime;
    if (llOffset <= pr[0].llOffset) {
        dwTime = pr[0].dwTime;
    } else if (llOffset >= pr[m_cRecords - 1].llOffset) {
        dwTime = pr[m_cRecords - 1].dwTime;
    } else {
        LONG lo = 0, hi = m_cRecords - 1;
        bool bExact = false;
        dwTime = 0;
        while (hi - lo > 1) {
            const LONG mid = (lo + hi) / 2;
            if (pr[mid].llOffset == llOffset) {
                dwTime = pr[mid].dwTime;
                bExact = true;
                break;
            }
            if (pr[mid].llOffset < llOffset)
                lo = mid;
            else
                hi = mid;
        }
        if (!bExact) {
            if (pr[lo].llOffset == pr[hi].llOffset) {
                dwTime = pr[lo].dwTime;
            } else {
                // Linear between the two records around the offset. The
                // product is taken in 128 bits: offsets of a long stream
                // times a long gap can pass 2^64.
                const DWORD dwSpan = pr[hi].dwTime - pr[lo].dwTime;
                const unsigned __int128 uProduct =
                    static_cast<unsigned __int128>(dwSpan) *
                    static_cast<ULONGLONG>(llOffset - pr[lo].llOffset);
                const ULONGLONG ullRange = static_cast<ULONGLONG>(pr[hi].llOffset - pr[lo].llOffset);
                dwTime = pr[lo].dwTime + static_cast<DWORD>(uProduct / ullRange);
            }
        }
    }
    *pReceiveTime = static_cast<double>(m_llStartTime + static_cast<LONGLONG>(dwTime) * kFileTimePerMs);
    return S_OK;
}

HRESULT COffsetLogger::StopLogging()
{
    m_lEnabled.store(0, std::memory_order_relaxed);
    return S_OK;
}

LONG COffsetLogger::RecordCount()
{
    CAutoLock lock(&m_csLog);
    return m_cRecords;
}

HRESULT COffsetLogger::ConvertTimeToString(double dReceiveTime, LPCWSTR pszPrefix, LPCWSTR pszSuffix,
                                           CWString* pRet)
{
    if (!pRet)
        return E_POINTER;
    SYSTEMTIME st{};
    LONGLONG ll;
    if (TruncateToInt64(dReceiveTime, &ll) && ll >= 0) {
        const FILETIME ft = U64ToFileTime(static_cast<ULONGLONG>(ll));
        if (FAILED(FileTimeToSystemTime(&ft, &st)))
            st = SYSTEMTIME{};
    }
    CBuffer buf;
    HRESULT hr = S_OK;
    if (pszPrefix && *pszPrefix)
        hr = buf.AppendWide(pszPrefix);
    if (SUCCEEDED(hr))
        hr = buf.AppendFormat("%04d_%02d_%02d__%02d_%02d_%02d_%03d", st.wYear, st.wMonth, st.wDay,
                              st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    if (SUCCEEDED(hr) && pszSuffix && *pszSuffix)
        hr = buf.AppendWide(pszSuffix);
    if (FAILED(hr))
        return hr;
    *pRet = buf.ToWideString();
    return S_OK;
}

HRESULT COffsetLogger::ConvertStringToTime(LPCWSTR pszString, double* pRet)
{
    if (!pszString || !pRet)
        return E_POINTER;
    const size_t cch = WStrLen(pszString);
    if (cch == 0)
        return E_INVALIDARG;

    // The pattern is found by its underscores, so any prefix and suffix
    // (a camera name, a file extension) may surround it. A candidate needs
    // the 4 year digits before it and the 20-character tail after it.
    size_t iFrom = 0;
    size_t iBar;
    for (;;) {
        iBar = iFrom;
        while (iBar < cch && pszString[iBar] != u'_')
            ++iBar;
        if (iBar >= cch || cch - iBar < kPatternTail)
            return E_INVALIDARG;
        bool bFits = iBar >= 4;
        for (size_t iPos : {3, 6, 7, 10, 13, 16})
            bFits = bFits && pszString[iBar + iPos] == u'_';
        if (bFits)
            break;
        iFrom = iBar + 4;
        if (iFrom >= cch)
            return E_INVALIDARG;
    }

    SYSTEMTIME st{};
    st.wYear = ReadField(pszString + iBar - 4);
    st.wMonth = ReadField(pszString + iBar + 1);
    st.wDay = ReadField(pszString + iBar + 4);
    st.wHour = ReadField(pszString + iBar + 8);
    st.wMinute = ReadField(pszString + iBar + 11);
    st.wSecond = ReadField(pszString + iBar + 14);
    st.wMilliseconds = ReadField(pszString + iBar + 17);
    FILETIME ft;
    const HRESULT hr = SystemTimeToFileTime(&st, &ft);
    if (FAILED(hr))
        return hr;
    // Past 2^53 a double cannot hold every file time. Rounded down it would
    // truncate into the previous millisecond, so take the next double up
    // instead: it stays within the same millisecond (ulp <= 1024 < 10000).
    const ULONGLONG ull = FileTimeToU64(ft);
    double d = static_cast<double>(ull);
    if (static_cast<ULONGLONG>(d) < ull)
        d = std::nextafter(d, HUGE_VAL);
    *pRet = d;
    return S_OK;
}
