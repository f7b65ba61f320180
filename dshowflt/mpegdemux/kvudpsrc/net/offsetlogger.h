// Receive-time log: maps stream offsets (the byte positions downstream
// readers see) to the wall-clock time at which those bytes arrived, so that
// an application can stamp a recording or a snapshot with its time of
// reception. Times handed out are file times (100 ns units since 1601 UTC)
// carried in doubles, as the automation interface defines them.
//
// Threads: the receive thread starts the log and appends to it; application
// threads look up times at any moment. Appending (which may move the record
// array), starting and looking up hold the logger's own lock; the enabled
// flag is atomic so that StopLogging never waits for an append.
#pragma once

#include <atomic>

#include "platform/critsec.h"
#include "platform/filetime.h"
#include "platform/hresult.h"
#include "platform/wtext.h"

class COffsetLogger : public CCritSec
{
public:
    // One log entry: milliseconds since the start tick, and the stream
    // length at that moment.
    struct Record
    {
        DWORD dwTime;
        LONGLONG llOffset;
    };

    static constexpr DWORD kDefaultIntervalMs = 33;

    COffsetLogger() = default;
    ~COffsetLogger();
    COffsetLogger(const COffsetLogger&) = delete;
    COffsetLogger& operator=(const COffsetLogger&) = delete;

    // The Logging= option: non-zero switches appending on.
    void SetLogging(LONG lEnabled) { m_lEnabled.store(lEnabled, std::memory_order_relaxed); }
    bool IsLogging() const { return m_lEnabled.load(std::memory_order_relaxed) != 0; }

    // Clears the log and starts it now: minimum spacing dwIntervalMs (33
    // when 0), start tick and start time from the clocks. S_OK.
    [[nodiscard]] HRESULT StartLogging(DWORD dwIntervalMs);
    // The same with the start tick and time given: the clock seam.
    [[nodiscard]] HRESULT StartLoggingAt(DWORD dwIntervalMs, DWORD dwStartTick, const FILETIME& ftStart);
    // Records that the stream had llOffset bytes at tick dwTick, unless the
    // log is off or the last record is less than the interval old. S_OK; a
    // record that cannot be stored for lack of memory is dropped (traced).
    [[nodiscard]] HRESULT LogOffset(DWORD dwTick, LONGLONG llOffset);
    // Whether LogOffset would add a record at dwTick now, so that a caller
    // whose offset costs something to find asks only then.
    bool WouldLog(DWORD dwTick);

    // IKVUDPSrc: the file time at which byte dOffset (truncated) arrived,
    // interpolated between records. KVMM_E_NO_RECEIVE_TIME on an empty log
    // (*pReceiveTime untouched), E_POINTER, E_INVALIDARG for a NaN offset.
    // Once the log was started enabled (the application asked for receive
    // times), an offset outside its records (before the first, after the
    // last, or any while it holds none) is asked of the fallback first, when
    // one is set; its answer wins over the nearest record's time.
    [[nodiscard]] HRESULT GetReceiveTime(double dOffset, double* pReceiveTime);

    // Where receive times come from for offsets the log does not cover: the
    // DVR writer's time index beside the ring, which keeps every offset the
    // ring still holds (CBaseDVRSink::LookUpReceiveTimeCallback with the
    // sink as the context). S_OK with a file time, or a failure, after which
    // the log answers as it would alone. Called with no lock of the log
    // held; it must outlive the log or be cleared first (null).
    using PFNRECEIVETIMEFALLBACK = HRESULT (*)(void* pvContext, LONGLONG llOffset, LONGLONG* pllFileTime);
    void SetReceiveTimeFallback(PFNRECEIVETIMEFALLBACK pfn, void* pvContext);
    // Stops appending; the records stay queryable. S_OK.
    [[nodiscard]] HRESULT StopLogging();
    // prefix + "YYYY_MM_DD__hh_mm_ss_mmm" (UTC) + suffix. A value that is
    // no calendar time (negative, NaN, past year 30827) gives
    // "0000_00_00__00_00_00_000", which ConvertStringToTime refuses.
    // E_POINTER, E_OUTOFMEMORY.
    [[nodiscard]] static HRESULT ConvertTimeToString(double dReceiveTime, LPCWSTR pszPrefix,
                                                     LPCWSTR pszSuffix, CWString* pRet);
    // Finds the pattern above anywhere in the text and returns its file
    // time. E_POINTER, E_INVALIDARG (empty or no pattern), or the calendar
    // conversion's error for an impossible date.
    [[nodiscard]] static HRESULT ConvertStringToTime(LPCWSTR pszString, double* pRet);

    LONG RecordCount();

private:
    void FreeRecords() REQUIRES(m_csLog);
    // The log's own answer (see GetReceiveTime).
    [[nodiscard]] HRESULT LookUpLocked(LONGLONG llOffset, double* pReceiveTime) REQUIRES(m_csLog);
    // A record at dwTime (ms since the start) is at least the interval
    // after the last one.
    bool IsDue(DWORD dwTime) const REQUIRES(m_csLog);

    // Guards everything below except m_lEnabled.
    CCritSec& m_csLog = *this;
    std::atomic<LONG> m_lEnabled{0};
    LONGLONG m_llStartTime GUARDED_BY(m_csLog) = 0;  // file time of the start tick
    DWORD m_dwStartTick GUARDED_BY(m_csLog) = 0;
    Record* m_pRecords GUARDED_BY(m_csLog) = nullptr;
    LONG m_cRecords GUARDED_BY(m_csLog) = 0;
    LONG m_cAlloc GUARDED_BY(m_csLog) = 0;
    DWORD m_dwInterval GUARDED_BY(m_csLog) = kDefaultIntervalMs;
    DWORD m_dwLastTime GUARDED_BY(m_csLog) = 0;
    bool m_bStarted GUARDED_BY(m_csLog) = false;  // started while enabled: the application asked for times
    PFNRECEIVETIMEFALLBACK m_pfnFallback GUARDED_BY(m_csLog) = nullptr;
    void* m_pvFallback GUARDED_BY(m_csLog) = nullptr;
};
