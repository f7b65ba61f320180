#include "dshowflt/mpegdemux/kvudpsrc/asyncio.h"

#include <cerrno>
#include <new>

#include "dshowflt/common/trace/trace.h"

namespace {

// Sample times count bytes in reference-time units. A live ring passes
// 922 GB after about a week at 10 Mbit/s, so the product is saturated rather
// than left to overflow.
REFERENCE_TIME BytesToUnits(LONGLONG ll)
{
    return ll > MAX_INT64 / UNITS ? MAX_INT64 : ll * UNITS;
}

unsigned TracePtr(const void* pv)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pv));
}

// How often a flush that waits for the read in flight says so.
constexpr DWORD kFlushReportMs = 5000;

}  // namespace

// --- CAsyncRequest ----------------------------------------------------------

CAsyncRequest::CAsyncRequest(CAsyncStream* pStream, LONGLONG llPos, LONG lLength, BYTE* pBuffer,
                             IMediaSample* pSample, DWORD_PTR dwUser, LONGLONG llTotal, LONGLONG llAvailable,
                             BOOL bPartialOk, BOOL bTimesInUnits)
    : m_pStream(pStream),
      m_llPos(llPos),
      m_lLength(lLength),
      m_pBuffer(pBuffer),
      m_pSample(pSample),
      m_dwUser(dwUser),
      m_llTotalAtRequest(llTotal),
      m_llAvailableAtRequest(llAvailable),
      m_bTimesInUnits(bTimesInUnits)
{
    if (bPartialOk) {
        m_dwDeadline = GetTickCount() + kPartialDeadlineMs;
        if (m_dwDeadline == 0)
            m_dwDeadline = 1;  // 0 would read as "no deadline"
    }
}

HRESULT CAsyncRequest::Complete()
{
    CAsyncStreamLock lock(m_pStream);

    LONGLONG llPos = m_llPos;
    DWORD dwRead = 0;
    BOOL bDiscontinuity = FALSE;
    const DWORD dwToRead = static_cast<DWORD>(m_lLength - m_lBytesRead);
    m_hr = m_pStream->Read(&llPos, m_pBuffer + m_lBytesRead, dwToRead, &dwRead, m_pSample != nullptr,
                           &bDiscontinuity, m_dwDeadline);
    if (dwRead > dwToRead) {
        Trace("\nCAsyncRequest::Complete: the stream claims %u bytes of %u", dwRead, dwToRead);
        dwRead = dwToRead;
    }

    if (!bDiscontinuity) {
        m_lBytesRead += static_cast<LONG>(dwRead);
        m_llPos = llPos;
    } else if (m_pSample) {
        // The ring overwrote the data at our position and the stream moved on.
        // A sample that holds nothing yet can simply start later; one that
        // holds data must stay contiguous, so the new bytes are dropped and
        // the sample ends where its data ends.
        const LONGLONG llNewStart = llPos - static_cast<LONGLONG>(dwRead);
        if (m_lBytesRead == 0) {
            Trace("\nCAsyncRequest::Complete: sample 0x%08X was adjusted from start=%s to %s, dwUser=%d.",
                  TracePtr(m_pSample), TraceBytes(m_llPos), TraceBytes(llNewStart), static_cast<int>(m_dwUser));
            m_llPos = llPos;
            m_lBytesRead = static_cast<LONG>(dwRead);
        } else {
            Trace("\nCAsyncRequest::Complete: Discontinuity in sample=0x%08X(dwUser=%d) at offset %s. But I already "
                  "read %d bytes from %s, so ignore the data I just read",
                  TracePtr(m_pSample), static_cast<int>(m_dwUser), TraceBytes(llNewStart), m_lBytesRead,
                  TraceBytes(GetStart()));
            m_hr = S_OK;
        }
        (void)m_pSample->SetDiscontinuity(TRUE);
    }

    if (m_hr == KVMM_E_DVR_SUSPENDED) {
        // Without a deadline the request wants all its bytes, so it waits its
        // turn again; a partial request takes what it has.
        if (m_dwDeadline == 0 || m_lBytesRead < 1)
            return m_hr;
    } else if (FAILED(m_hr)) {
        return m_hr;
    }

    m_hr = (m_lBytesRead == m_lLength || m_dwDeadline != 0) ? S_OK : S_FALSE;
    if (m_pSample) {
        REFERENCE_TIME tStart = GetStart();
        REFERENCE_TIME tStop = m_llPos;
        if (m_bTimesInUnits) {
            tStart = BytesToUnits(tStart);
            tStop = BytesToUnits(tStop);
        }
        (void)m_pSample->SetTime(&tStart, &tStop);
    }
    return m_hr;
}

// --- CAsyncIo ---------------------------------------------------------------

CAsyncIo::CAsyncIo(CAsyncStream* pStream) : m_pStream(pStream) {}

CAsyncIo::~CAsyncIo()
{
    {
        CAutoLock lock(&m_csThread);
        m_bStopping = true;
        m_evStop.Set();
    }
    // Joined without m_csThread held: a worker putting a suspended request
    // back passes through StartThread.
    m_worker.Close();

    CAsyncRequest* pWork = nullptr;
    CAsyncRequest* pDone = nullptr;
    {
        CAutoLock lock(&m_csLists);
        // Through GetWorkItem, so that the stream's count of waiting requests
        // stays right.
        CAsyncRequest** ppTail = &pWork;
        while (CAsyncRequest* p = GetWorkItem()) {
            *ppTail = p;
            ppTail = &p->m_pNext;
        }
        pDone = m_pDoneHead;
        m_pDoneHead = m_pDoneTail = nullptr;
    }
    DeleteList(pWork);
    DeleteList(pDone);
}

void CAsyncIo::DeleteList(CAsyncRequest* pHead)
{
    while (pHead) {
        CAsyncRequest* p = pHead;
        pHead = p->m_pNext;
        // Nobody will take the sample back through WaitForNext any more;
        // releasing it lets its allocator see it come home.
        if (p->m_pSample)
            p->m_pSample->Release();
        delete p;
    }
}

HRESULT CAsyncIo::CheckAligned(LONGLONG llPos, LONG lLength, const BYTE* pBuffer)
{
    DWORD dwAlign = m_pStream->Alignment();
    if (dwAlign == 0)
        dwAlign = 1;
    if (llPos % dwAlign != 0 || static_cast<DWORD>(lLength) % dwAlign != 0 ||
        reinterpret_cast<uintptr_t>(pBuffer) % dwAlign != 0)
        return VFW_E_BADALIGN;
    return S_OK;
}

namespace {

HRESULT CheckRange(LONGLONG llPos, LONG lLength, const BYTE* pBuffer)
{
    if (llPos < 0 || lLength < 0 || llPos > MAX_INT64 - lLength || (lLength > 0 && !pBuffer))
        return E_INVALIDARG;
    return S_OK;
}

}  // namespace

HRESULT CAsyncIo::Request(LONGLONG llPos, LONG lLength, BOOL bAligned, BYTE* pBuffer, IMediaSample* pSample,
                          DWORD_PTR dwUser, LONGLONG llTotal, LONGLONG llAvailable, BOOL bPartialOk,
                          BOOL bTimesInUnits)
{
    HRESULT hr = CheckRange(llPos, lLength, pBuffer);
    if (FAILED(hr))
        return hr;
    if (bAligned) {
        hr = CheckAligned(llPos, lLength, pBuffer);
        if (FAILED(hr))
            return hr;
    }
    CAsyncRequest* pRequest = new (std::nothrow) CAsyncRequest(m_pStream, llPos, lLength, pBuffer, pSample, dwUser,
                                                               llTotal, llAvailable, bPartialOk, bTimesInUnits);
    if (!pRequest) {
        Trace("\nCAsyncIo::Request: MY_NEW returned NULL!");
        return E_OUTOFMEMORY;
    }
    CAutoLock lock(&m_csLists);
    hr = PutWorkItem(pRequest);
    if (FAILED(hr))
        delete pRequest;  // the caller keeps its sample
    return hr;
}

HRESULT CAsyncIo::StartThread()
{
    CAutoLock lock(&m_csThread);
    if (m_bStopping)
        return VFW_E_WRONG_STATE;
    if (m_worker.ThreadExists())
        return S_OK;
    m_evStop.Reset();
    errno = 0;
    if (!m_worker.Create()) {
        const HRESULT hr = errno != 0 ? HrFromErrno(errno) : E_OUTOFMEMORY;
        Trace("\nCAsyncIo::StartThread: the worker thread cannot be started %s", TraceHr(hr));
        return hr;
    }
    return S_OK;
}

HRESULT CAsyncIo::PutWorkItem(CAsyncRequest* pRequest)
{
    if (m_bFlushing)
        return VFW_E_WRONG_STATE;
    // Started before the request is linked in, so that a failure leaves no
    // trace of it on the list.
    const HRESULT hr = StartThread();
    if (FAILED(hr))
        return hr;

    // After every request that starts at or before it: equal starts keep
    // their arrival order, and a suspended request goes back to its place.
    const LONGLONG llStart = pRequest->GetStart();
    CAsyncRequest** ppLink = &m_pWorkHead;
    while (*ppLink && (*ppLink)->GetStart() <= llStart)
        ppLink = &(*ppLink)->m_pNext;
    pRequest->m_pNext = *ppLink;
    *ppLink = pRequest;

    m_pStream->WorkSignal(TRUE);
    m_evWork.Set();
    return S_OK;
}

CAsyncRequest* CAsyncIo::GetWorkItem()
{
    CAsyncRequest* pRequest = m_pWorkHead;
    if (pRequest) {
        m_pWorkHead = pRequest->m_pNext;
        pRequest->m_pNext = nullptr;
    }
    if (!m_pWorkHead)
        m_evWork.Reset();
    if (pRequest)
        m_pStream->WorkSignal(FALSE);
    return pRequest;
}

void CAsyncIo::PutDoneItem(CAsyncRequest* pRequest)
{
    pRequest->m_pNext = nullptr;
    if (m_pDoneTail)
        m_pDoneTail->m_pNext = pRequest;
    else
        m_pDoneHead = pRequest;
    m_pDoneTail = pRequest;
    m_evDone.Set();
}

CAsyncRequest* CAsyncIo::GetDoneItem()
{
    CAutoLock lock(&m_csLists);
    CAsyncRequest* pRequest = m_pDoneHead;
    if (pRequest) {
        m_pDoneHead = pRequest->m_pNext;
        if (!m_pDoneHead)
            m_pDoneTail = nullptr;
        pRequest->m_pNext = nullptr;
    }
    // During a flush the event stays set once everything has been handed
    // back, so that every waiter learns of the flush at once; while the flush
    // still waits for the read in flight there is more to come.
    if (!m_pDoneHead && (!m_bFlushing || m_bWaiting))
        m_evDone.Reset();
    return pRequest;
}

DWORD CAsyncIo::CWorker::ThreadProc()
{
    m_pIo->ThreadProc();
    return 0;
}

void CAsyncIo::ThreadProc()
{
    // The stop event comes first, so that it wins a tie with new work.
    const HANDLE ah[2] = {m_evStop.Handle(), m_evWork.Handle()};
    for (;;) {
        const DWORD dw = WaitForMultipleObjects(2, ah, FALSE, INFINITE);
        if (dw == WAIT_OBJECT_0 + 1) {
            ProcessRequests();
            continue;
        }
        if (dw != WAIT_OBJECT_0)
            Trace("\nCAsyncIo::ThreadProc: the wait failed (%u); no more requests are completed", dw);
        return;
    }
}

void CAsyncIo::ProcessRequests()
{
    m_csLists.Lock();
    for (;;) {
        CAsyncRequest* pRequest = GetWorkItem();
        if (!pRequest)
            break;
        ++m_cItemsOut;
        m_csLists.Unlock();
        const HRESULT hr = pRequest->Complete();
        m_csLists.Lock();

        if (hr == KVMM_E_DVR_SUSPENDED) {
            // Back into position order with its progress kept. Refused only
            // while flushing (or being destroyed): then the flush hands it
            // back with that result.
            const HRESULT hrPut = PutWorkItem(pRequest);
            if (FAILED(hrPut)) {
                pRequest->m_hr = hrPut;
                PutDoneItem(pRequest);
            }
        } else {
            PutDoneItem(pRequest);
        }

        if (--m_cItemsOut == 0 && m_bWaiting)
            m_evAllDone.Set();
    }
    m_csLists.Unlock();
}

HRESULT CAsyncIo::WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser, LONG* plBytesRead,
                              BOOL* pbTimesInUnits)
{
    if (!ppSample || !pdwUser || !plBytesRead || !pbTimesInUnits)
        return E_POINTER;
    *ppSample = nullptr;
    *pdwUser = 0;
    *plBytesRead = 0;
    *pbTimesInUnits = FALSE;

    const DWORD dwDeadline = TickDeadline(GetTickCount(), dwTimeout);
    CAsyncRequest* pRequest = nullptr;
    for (;;) {
        if (!m_evDone.Wait(TickDeadlineLeft(dwDeadline, GetTickCount())))
            return VFW_E_TIMEOUT;
        pRequest = GetDoneItem();
        if (pRequest)
            break;
        CAutoLock lock(&m_csLists);
        if (m_bFlushing && !m_bWaiting)
            return VFW_E_WRONG_STATE;
    }

    HRESULT hr = pRequest->m_hr;
    if (hr == S_FALSE) {
        // A short read is only an error when the data was there to be read:
        // ending at or inside both lengths seen when the request was made.
        // Past either of them it is the stream's end or data still to come.
        const LONGLONG llEnd = pRequest->m_llPos + (pRequest->m_lLength - pRequest->m_lBytesRead);
        const LONGLONG llTotal = pRequest->m_llTotalAtRequest;
        const LONGLONG llAvailable = pRequest->m_llAvailableAtRequest;
        if (llEnd > llTotal || llEnd > llAvailable)
            hr = S_FALSE;
        else if (llEnd < llTotal && llEnd < llAvailable)
            hr = E_FAIL;
        else
            hr = S_OK;
    }
    *plBytesRead = pRequest->m_lBytesRead;
    *ppSample = pRequest->m_pSample;
    *pdwUser = pRequest->m_dwUser;
    *pbTimesInUnits = pRequest->m_bTimesInUnits;
    delete pRequest;
    return hr;
}

HRESULT CAsyncIo::CompleteNow(CAsyncRequest* pRequest)
{
    HRESULT hr;
    do {
        hr = pRequest->Complete();
    } while (hr == KVMM_E_DVR_SUSPENDED);
    return hr;
}

HRESULT CAsyncIo::SyncReadAligned(LONGLONG llPos, LONG lLength, BYTE* pBuffer, LONG* plBytesRead,
                                  IMediaSample* pSample, LONGLONG llTotal, LONGLONG llAvailable)
{
    if (!plBytesRead)
        return E_POINTER;
    *plBytesRead = 0;
    HRESULT hr = CheckRange(llPos, lLength, pBuffer);
    if (FAILED(hr))
        return hr;
    hr = CheckAligned(llPos, lLength, pBuffer);
    if (FAILED(hr))
        return hr;
    CAsyncRequest request(m_pStream, llPos, lLength, pBuffer, pSample, 0, llTotal, llAvailable, FALSE, TRUE);
    hr = CompleteNow(&request);
    *plBytesRead = request.m_lBytesRead;
    return hr;
}

HRESULT CAsyncIo::SyncRead(LONGLONG llPos, LONG lLength, BYTE* pBuffer)
{
    const HRESULT hr = CheckRange(llPos, lLength, pBuffer);
    if (FAILED(hr))
        return hr;
    LONGLONG llAvailable = 0;
    const LONGLONG llTotal = m_pStream->Size(&llAvailable, TRUE);
    if (SUCCEEDED(CheckAligned(llPos, lLength, pBuffer))) {
        LONG lRead = 0;
        return SyncReadAligned(llPos, lLength, pBuffer, &lRead, nullptr, llTotal, llAvailable);
    }
    CAsyncRequest request(m_pStream, llPos, lLength, pBuffer, nullptr, 0, llTotal, llAvailable, FALSE, FALSE);
    return CompleteNow(&request);
}

HRESULT CAsyncIo::Length(LONGLONG* pllTotal, LONGLONG* pllAvailable, BOOL bTimesInUnits)
{
    if (!pllTotal || !pllAvailable)
        return E_POINTER;
    *pllTotal = m_pStream->Size(pllAvailable, bTimesInUnits);
    return S_OK;
}

HRESULT CAsyncIo::Alignment(LONG* plAlignment)
{
    if (!plAlignment)
        return E_POINTER;
    const DWORD dwAlign = m_pStream->Alignment();
    *plAlignment = dwAlign == 0 ? 1 : static_cast<LONG>(dwAlign);
    return S_OK;
}

HRESULT CAsyncIo::BeginFlush()
{
    Trace("\nCAsyncIo::BeginFlush()");
    {
        CAutoLock lock(&m_csLists);
        m_bFlushing = true;
        // Makes a read blocked on missing data return, so that the request
        // in flight comes back soon.
        m_pStream->BeginFlush();
        // Each keeps the result it carries: E_FAIL if it was never tried,
        // the last attempt's otherwise.
        while (CAsyncRequest* pRequest = GetWorkItem())
            PutDoneItem(pRequest);
        if (m_cItemsOut == 0) {
            m_evDone.Set();
            return S_OK;
        }
        m_bWaiting = true;
    }

    // The request in flight must be back on a list before the caller may
    // assume that every request will come back through WaitForNext. This
    // cannot be given up on; a stream that does not let go is reported.
    const DWORD dwStart = GetTickCount();
    for (;;) {
        if (!m_evAllDone.Wait(kFlushReportMs)) {
            Trace("\nCAsyncIo::BeginFlush: still waiting for the read in flight after %s",
                  TraceElapsedMs(TickDiff(GetTickCount(), dwStart)));
            continue;
        }
        CAutoLock lock(&m_csLists);
        if (m_cItemsOut == 0) {
            m_bWaiting = false;
            m_evDone.Set();
            return S_OK;
        }
    }
}

HRESULT CAsyncIo::EndFlush()
{
    Trace("\nCAsyncIo::EndFlush()");
    CAutoLock lock(&m_csLists);
    m_bFlushing = false;
    if (m_pDoneHead)
        m_evDone.Set();
    else
        m_evDone.Reset();
    m_pStream->EndFlush();
    return S_OK;
}
