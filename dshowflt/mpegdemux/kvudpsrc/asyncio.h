// The request queue behind the output pin's pull reads. The downstream filter
// asks for one media sample at a time by byte range; CAsyncIo queues each
// request, and one worker thread completes them against the stream, which may
// block until the receive thread has written the data. Completed requests go
// to a done list from which WaitForNext takes them.
//
// Two things set it apart from a plain FIFO. The work list is kept in stream
// order, because a demultiplexer that seeks queues reads ahead of and behind
// each other and the oldest data is the most likely to be overwritten by the
// ring. And a read that the stream suspends (KVMM_E_DVR_SUSPENDED: it was
// waiting for data and gave way because a new request arrived) goes back into
// the work list in order instead of failing, so that a request for data that
// already exists is not stuck behind one for data that does not yet.
//
// Threads: the downstream filter's threads call Request, WaitForNext, the
// synchronous reads and the flushes; the worker thread completes requests.
// Lock order: m_csLists, then m_csThread, then the stream's own locks
// (WorkSignal and BeginFlush are called under m_csLists). m_csLists is never
// held during a Read; the stream lock is held for each completion attempt.
#pragma once

#include "dshowflt/common/dvr/asyncstream.h"
#include "platform/critsec.h"
#include "platform/graph/strmif.h"
#include "platform/sync.h"
#include "platform/thread.h"

class CAsyncIo;

// One read: queued by Request, or made on the caller's stack by the
// synchronous reads. While it is on a list it is guarded by the queue's list
// lock; while the worker completes it (counted in itemsOut) only the worker
// touches it.
class CAsyncRequest
{
public:
    // A partial request (bPartialOk) gets a deadline 5 s from now, after which
    // it completes with whatever data it holds.
    CAsyncRequest(CAsyncStream* pStream, LONGLONG llPos, LONG lLength, BYTE* pBuffer,
                  IMediaSample* pSample, DWORD_PTR dwUser, LONGLONG llTotal, LONGLONG llAvailable, BOOL bPartialOk,
                  BOOL bTimesInUnits);
    CAsyncRequest(const CAsyncRequest&) = delete;
    CAsyncRequest& operator=(const CAsyncRequest&) = delete;

    // One attempt to read the rest of the request. KVMM_E_DVR_SUSPENDED: try
    // again later, the progress is kept. S_FALSE: fewer bytes than asked and
    // no deadline (WaitForNext judges whether that is an error). On success
    // the sample's times give the range it holds.
    [[nodiscard]] HRESULT Complete();

    // The offset the request started at, which is the one it is ordered by
    // (a discontinuity on its first read moves it forward).
    LONGLONG GetStart() const { return m_llPos - m_lBytesRead; }

    static constexpr DWORD kPartialDeadlineMs = 5000;

private:
    friend class CAsyncIo;

    CAsyncStream* const m_pStream;
    LONGLONG m_llPos;      // next byte to read: start + bytes read so far
    const LONG m_lLength;
    LONG m_lBytesRead = 0;
    BYTE* const m_pBuffer;
    // The caller's reference travels with the request and comes back through
    // WaitForNext; none for synchronous reads without a sample.
    IMediaSample* const m_pSample;
    const DWORD_PTR m_dwUser;
    HRESULT m_hr = E_FAIL;  // the last attempt's result; E_FAIL before any
    const LONGLONG m_llTotalAtRequest;
    const LONGLONG m_llAvailableAtRequest;
    DWORD m_dwDeadline = 0;  // tick count, 0 = none
    const BOOL m_bTimesInUnits;
    // Link of the list the request is on. The lists are threaded through
    // the requests, so putting one on a list never allocates and cannot fail.
    CAsyncRequest* m_pNext = nullptr;
};

class CAsyncIo
{
public:
    // pStream is not owned and must outlive the queue.
    explicit CAsyncIo(CAsyncStream* pStream);
    // Stops the worker and deletes the requests left on the lists, releasing
    // their samples. The owner flushes first, so that nothing is in flight.
    ~CAsyncIo();
    CAsyncIo(const CAsyncIo&) = delete;
    CAsyncIo& operator=(const CAsyncIo&) = delete;

    // Queues a read of lLength bytes at llPos into pBuffer. pSample is handed
    // to the queue with its reference when this succeeds and comes back from
    // WaitForNext; on failure the caller keeps it. llTotal and llAvailable
    // are the stream lengths the caller saw, against which WaitForNext judges
    // a short read. VFW_E_BADALIGN for a misaligned aligned request,
    // VFW_E_WRONG_STATE while flushing.
    [[nodiscard]] HRESULT Request(LONGLONG llPos, LONG lLength, BOOL bAligned, BYTE* pBuffer, IMediaSample* pSample,
                                  DWORD_PTR dwUser, LONGLONG llTotal, LONGLONG llAvailable, BOOL bPartialOk,
                                  BOOL bTimesInUnits);
    // Takes the next completed request, waiting up to dwTimeout ms
    // (VFW_E_TIMEOUT). The sample comes back with every result, failures
    // included, so that the caller can release it. VFW_E_WRONG_STATE once a
    // flush has handed everything back.
    [[nodiscard]] HRESULT WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser,
                                      LONG* plBytesRead, BOOL* pbTimesInUnits);
    // Reads in the caller's thread, bypassing the queue.
    [[nodiscard]] HRESULT SyncRead(LONGLONG llPos, LONG lLength, BYTE* pBuffer);
    [[nodiscard]] HRESULT SyncReadAligned(LONGLONG llPos, LONG lLength, BYTE* pBuffer, LONG* plBytesRead,
                                          IMediaSample* pSample, LONGLONG llTotal, LONGLONG llAvailable);
    [[nodiscard]] HRESULT Length(LONGLONG* pllTotal, LONGLONG* pllAvailable, BOOL bTimesInUnits);
    [[nodiscard]] HRESULT Alignment(LONG* plAlignment);

    // BeginFlush hands every queued request back through WaitForNext and
    // returns once the one being completed (if any) is back on a list;
    // requests are refused until EndFlush.
    [[nodiscard]] HRESULT BeginFlush();
    [[nodiscard]] HRESULT EndFlush();

private:
    class CWorker : public CAMThread
    {
    public:
        explicit CWorker(CAsyncIo* pIo) : m_pIo(pIo) {}

    protected:
        DWORD ThreadProc() override;

    private:
        CAsyncIo* const m_pIo;
    };

    [[nodiscard]] HRESULT CheckAligned(LONGLONG llPos, LONG lLength, const BYTE* pBuffer);
    [[nodiscard]] HRESULT PutWorkItem(CAsyncRequest* pRequest) REQUIRES(m_csLists);
    CAsyncRequest* GetWorkItem() REQUIRES(m_csLists);
    void PutDoneItem(CAsyncRequest* pRequest) REQUIRES(m_csLists);
    CAsyncRequest* GetDoneItem() EXCLUDES(m_csLists);
    [[nodiscard]] HRESULT StartThread() EXCLUDES(m_csThread);
    void ThreadProc();
    void ProcessRequests() EXCLUDES(m_csLists);
    // Repeats Complete while the stream suspends the read: a synchronous
    // caller has nothing else to serve meanwhile.
    [[nodiscard]] static HRESULT CompleteNow(CAsyncRequest* pRequest);
    void DeleteList(CAsyncRequest* pHead);

    CAsyncStream* const m_pStream;

    CCritSec m_csLists;
    bool m_bFlushing GUARDED_BY(m_csLists) = false;
    // Work list in order of start offset; done list in completion order.
    CAsyncRequest* m_pWorkHead GUARDED_BY(m_csLists) = nullptr;
    CAsyncRequest* m_pDoneHead GUARDED_BY(m_csLists) = nullptr;
    CAsyncRequest* m_pDoneTail GUARDED_BY(m_csLists) = nullptr;
    // Requests taken off the work list and not yet back on a list; at most
    // one, there being one worker.
    LONG m_cItemsOut GUARDED_BY(m_csLists) = 0;
    // BeginFlush is waiting for m_cItemsOut to reach 0.
    bool m_bWaiting GUARDED_BY(m_csLists) = false;
    CAMEvent m_evWork{TRUE};     // set while the work list is not empty
    CAMEvent m_evDone{TRUE};     // set while the done list is not empty, and during a flush
    CAMEvent m_evAllDone{FALSE}; // m_cItemsOut reached 0 while m_bWaiting

    CCritSec m_csThread;
    bool m_bStopping GUARDED_BY(m_csThread) = false;
    CAMEvent m_evStop{TRUE};
    CWorker m_worker{this};
};
