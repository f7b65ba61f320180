#include "dshowflt/common/dvr/dvrsinkthread.h"

#include <new>

#include "dshowflt/common/trace/trace.h"
#include "platform/rot.h"

namespace {


void CloseIfValid(HANDLE* ph)
{
    if (*ph != INVALID_HANDLE_VALUE)
        CloseHandle(*ph);
    *ph = INVALID_HANDLE_VALUE;
}

}  // namespace

CDVRSinkThread::CDVRSinkThread(IKVDVRSink* pSink) : m_bDirect(pSink != nullptr)
{
    CAutoLock lock(&m_csLink);
    m_pSink = pSink;
    if (m_pSink)
        m_pSink->AddRef();
}

CDVRSinkThread::~CDVRSinkThread()
{
    DropLink();
}

HRESULT CDVRSinkThread::Create(IKVDVRSink* pSink, CDVRSinkThread** ppThread)
{
    if (!ppThread)
        return E_POINTER;
    *ppThread = nullptr;
    CDVRSinkThread* pThread = new (std::nothrow) CDVRSinkThread(pSink);
    if (!pThread)
        return E_OUTOFMEMORY;
    HRESULT hr = pThread->Start();
    if (FAILED(hr)) {
        pThread->KillThread();
        return hr;
    }
    *ppThread = pThread;
    return S_OK;
}

HRESULT CDVRSinkThread::Start()
{
    // A writer in this process is only ever called directly, so its link
    // needs no thread: without one, KillThread destroys the link (and lets
    // go of the writer) before the reader's stop returns.
    if (!m_bDirect)
        return m_evRelease.Handle() != INVALID_HANDLE_VALUE && m_evKill.Handle() != INVALID_HANDLE_VALUE &&
                       CAMThread::Create()
                   ? S_OK
                   : E_FAIL;
    IKVDVRSink* pSink;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
    }
    SRegistration reg;
    HRESULT hr = RegisterWithSink(pSink, &reg);
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csLink);
    AdoptRegistrationLocked(&reg);
    return S_OK;
}

// ---------------------------------------------------------------------------
// The link

HRESULT CDVRSinkThread::RegisterWithSink(IKVDVRSink* pSink, SRegistration* pReg)
{
    HRESULT hr = pSink->ReservedOperation(0, 0);
    if (SUCCEEDED(hr))
        hr = pSink->RegisterReaderEx(GetKey(), static_cast<LONG>(GetCurrentProcessId()), &pReg->hDataWritten,
                                     &pReg->hRecordingsChanged, &pReg->hOffsetReached);
    if (FAILED(hr)) {
        Trace("\nCDVRSinkThread::RegisterWithSink(0x%08X): RegisterReaderEx failed %s",
              static_cast<unsigned>(GetKey()), TraceHr(hr));
        CloseIfValid(&pReg->hDataWritten);
        CloseIfValid(&pReg->hRecordingsChanged);
        CloseIfValid(&pReg->hOffsetReached);
        return hr;
    }
    double dSize = 0;
    pReg->bStatus = SUCCEEDED(pSink->GetStatus(&pReg->lStatus, &pReg->lFolder, &pReg->lSlot, &dSize));
    pReg->llSize = static_cast<LONGLONG>(dSize);
    return S_OK;
}

void CDVRSinkThread::AdoptRegistrationLocked(SRegistration* pReg)
{
    CloseIfValid(&m_hDataWritten);
    CloseIfValid(&m_hRecordingsChanged);
    CloseIfValid(&m_hOffsetReached);
    m_hDataWritten = pReg->hDataWritten;
    m_hRecordingsChanged = pReg->hRecordingsChanged;
    m_hOffsetReached = pReg->hOffsetReached;
    pReg->hDataWritten = pReg->hRecordingsChanged = pReg->hOffsetReached = INVALID_HANDLE_VALUE;
    m_bRegistered = true;
    if (pReg->bStatus) {
        m_lStatus = pReg->lStatus;
        m_lFolder = pReg->lFolder;
        m_lSlot = pReg->lSlot;
        m_llCurrentSize = pReg->llSize;
    }
}

void CDVRSinkThread::DropLink()
{
    IKVDVRSink* pSink;
    bool bRegistered;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
        bRegistered = m_bRegistered;
        m_pSink = nullptr;
        m_bRegistered = false;
        m_strOwnerName.clear();
        CloseIfValid(&m_hDataWritten);
        CloseIfValid(&m_hRecordingsChanged);
        CloseIfValid(&m_hOffsetReached);
    }
    // The writer is called without our lock: it may be slow.
    if (pSink) {
        if (bRegistered)
            (void)pSink->UnregisterReader(GetKey());
        pSink->Release();
    }
}

BOOL CDVRSinkThread::HasSink()
{
    CAutoLock lock(&m_csLink);
    return m_pSink ? TRUE : FALSE;
}

HANDLE CDVRSinkThread::GetOffsetReachedEvent()
{
    CAutoLock lock(&m_csLink);
    return m_hOffsetReached;
}

HANDLE CDVRSinkThread::GetDataWrittenEvent()
{
    CAutoLock lock(&m_csLink);
    return m_hDataWritten;
}

void CDVRSinkThread::CloseEvents()
{
    CAutoLock lock(&m_csLink);
    CloseIfValid(&m_hDataWritten);
    CloseIfValid(&m_hRecordingsChanged);
    CloseIfValid(&m_hOffsetReached);
}

// ---------------------------------------------------------------------------
// Requests

void CDVRSinkThread::SetCurrentRequest(DWORD dwRequest)
{
    CAutoLock lock(&m_csRequest);
    m_dwCurrentRequest = dwRequest;
}

DWORD CDVRSinkThread::GetCurrentRequest()
{
    CAutoLock lock(&m_csRequest);
    return m_dwCurrentRequest;
}

HRESULT CDVRSinkThread::Request(DWORD dwRequest, DWORD dwTimeoutMs)
{
    // The access lock serialises callers across the handshake, so it is held
    // while the reply is awaited; the wait is bounded by the time-out and
    // the lock is this link's own, taken under no other lock of the engine.
    CAutoLock lock(&m_AccessLock);
    if (!ThreadExists())
        return E_FAIL;
    const DWORD dwStart = GetTickCount();
    if (m_bOutstanding) {
        // A request that timed out is still being served: it must reply
        // before another can be issued, or its late reply would answer the
        // new one.
        if (!WaitForReply(dwTimeoutMs))
            return RPC_E_TIMEOUT;
        m_bOutstanding = false;
    }
    const DWORD dwElapsed = TickDiff(GetTickCount(), dwStart);
    if (dwTimeoutMs != INFINITE && dwElapsed >= dwTimeoutMs)
        return RPC_E_TIMEOUT;
    const DWORD dwLeft = dwTimeoutMs == INFINITE ? INFINITE : dwTimeoutMs - dwElapsed;
    // The worker's own results are HRESULTs, so a value no HRESULT the
    // worker returns tells a time-out apart from a writer that answered
    // RPC_E_TIMEOUT itself.
    constexpr DWORD kTimedOut = 0xFFFFFFFFu;
    const DWORD dwReply = CallWorkerTimeout(dwRequest, dwLeft, kTimedOut);
    if (dwReply == kTimedOut) {
        m_bOutstanding = true;
        return RPC_E_TIMEOUT;
    }
    return static_cast<HRESULT>(dwReply);
}

DWORD CDVRSinkThread::ThreadProc()
{
    for (;;) {
        // A kill that could not be delivered as a request (a call was still
        // outstanding) may come after the check at the end of that call:
        // the thread must not then sleep in GetRequest for ever.
        HANDLE ah[2] = {m_evKill.Handle(), GetRequestHandle()};
        if (WaitForMultipleObjects(2, ah, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        const DWORD dwRequest = GetRequest();
        SetCurrentRequest(dwRequest);
        HRESULT hr = S_OK;
        switch (dwRequest) {
        case kReqConnect:
            hr = ServeConnect();
            break;
        case kReqStatus:
            hr = ServeStatus();
            break;
        case kReqOffset:
            hr = ServeOffset();
            break;
        case kReqRegister:
            hr = ServeRegister();
            break;
        case kReqRange:
            hr = ServeRange();
            break;
        case kReqExit:
            break;
        default:
            hr = E_INVALIDARG;
            break;
        }
        // Idle before the reply: a caller that sees the reply may issue the
        // next request at once.
        SetCurrentRequest(kReqIdle);
        Reply(static_cast<DWORD>(hr));
        if (dwRequest == kReqExit || m_bKill.load(std::memory_order_acquire))
            break;
    }
    // The owner may still be inside KillThread; it sets the release event as
    // its last touch of this object.
    m_evRelease.Wait(INFINITE);
    Close();  // detaches: a thread cannot join itself
    delete this;
    return 0;
}

HRESULT CDVRSinkThread::ServeConnect()
{
    CWString strName;
    {
        CAutoLock lock(&m_csLink);
        strName = m_strOwnerName;
    }
    IRunningObjectTable* pTable = nullptr;
    HRESULT hr = GetRunningObjectTable(&pTable);
    if (FAILED(hr))
        return hr;
    CComPtr<IUnknown> pUnk;
    hr = pTable->GetObject(CItemMoniker(u"!", strName), &pUnk);
    if (FAILED(hr))
        return hr;
    CComPtr<IKVDVRSink> pSink;
    hr = pUnk.QueryInterface(IID_IKVDVRSink, &pSink);
    if (FAILED(hr))
        return hr;
    SRegistration reg;
    hr = RegisterWithSink(pSink, &reg);
    if (FAILED(hr))
        return hr;
    {
        CAutoLock lock(&m_csLink);
        if (m_strOwnerName == strName && !m_pSink) {
            AdoptRegistrationLocked(&reg);
            m_pSink = pSink.Detach();
            return S_OK;
        }
    }
    // Relinked meanwhile: this writer is no longer wanted.
    CloseIfValid(&reg.hDataWritten);
    CloseIfValid(&reg.hRecordingsChanged);
    CloseIfValid(&reg.hOffsetReached);
    (void)pSink->UnregisterReader(GetKey());
    return S_OK;
}

HRESULT CDVRSinkThread::ServeStatus()
{
    IKVDVRSink* pSink;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
        if (!pSink)
            return E_POINTER;
        pSink->AddRef();
    }
    LONG lStatus = DVRStatus_Stopped, lFolder = 0, lSlot = 0;
    double dSize = 0;
    HRESULT hr = pSink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize);
    pSink->Release();
    if (FAILED(hr)) {
        Trace("\nCDVRSinkThread::ThreadProc(0x%08X): m_pDVRSink->GetStatus failed %s",
              static_cast<unsigned>(GetKey()), TraceHr(hr));
        return hr;
    }
    CAutoLock lock(&m_csLink);
    m_lStatus = lStatus;
    m_lFolder = lFolder;
    m_lSlot = lSlot;
    m_llCurrentSize = static_cast<LONGLONG>(dSize);
    return S_OK;
}

HRESULT CDVRSinkThread::ServeOffset()
{
    IKVDVRSink* pSink;
    double dOffset;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
        if (!pSink)
            return E_POINTER;
        pSink->AddRef();
        dOffset = m_dOffsetToReach;
    }
    HRESULT hr = pSink->SetOffsetToReach(GetKey(), dOffset);
    pSink->Release();
    return hr;
}

HRESULT CDVRSinkThread::ServeRegister()
{
    IKVDVRSink* pSink;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
        if (!pSink)
            return E_POINTER;
        pSink->AddRef();
    }
    SRegistration reg;
    HRESULT hr = RegisterWithSink(pSink, &reg);
    if (SUCCEEDED(hr)) {
        CAutoLock lock(&m_csLink);
        if (m_pSink == pSink) {
            AdoptRegistrationLocked(&reg);
        } else {
            CloseIfValid(&reg.hDataWritten);
            CloseIfValid(&reg.hRecordingsChanged);
            CloseIfValid(&reg.hOffsetReached);
        }
    }
    pSink->Release();
    return hr;
}

HRESULT CDVRSinkThread::CallRange(IKVDVRSink* pSink, LONGLONG* pllFirst, LONGLONG* pllPublished)
{
    double dFirst = 0, dCurrent = 0, dLast = 0;
    HRESULT hr = pSink->GetAvailableRange(&dFirst, &dCurrent, &dLast);
    if (FAILED(hr))
        return hr;
    // Offsets cross as doubles; anything a 64-bit count cannot be is a
    // broken answer, not an offset.
    if (!(dFirst >= 0) || !(dLast >= dFirst) || dLast >= 9.2e18)
        return E_UNEXPECTED;
    *pllFirst = static_cast<LONGLONG>(dFirst);
    *pllPublished = static_cast<LONGLONG>(dLast);
    return S_OK;
}

HRESULT CDVRSinkThread::ServeRange()
{
    IKVDVRSink* pSink;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
        if (!pSink)
            return E_POINTER;
        pSink->AddRef();
    }
    LONGLONG llFirst = 0, llPublished = 0;
    HRESULT hr = CallRange(pSink, &llFirst, &llPublished);
    pSink->Release();
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csLink);
    m_llRangeFirst = llFirst;
    m_llRangePublished = llPublished;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Calls from the reader engine

HRESULT CDVRSinkThread::GetWriterRange(LONGLONG* pllFirst, LONGLONG* pllPublished, DWORD dwTimeoutMs)
{
    if (!pllFirst || !pllPublished)
        return E_POINTER;
    IKVDVRSink* pSink;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
        if (!pSink)
            return E_POINTER;
        if (m_bDirect)
            pSink->AddRef();
        else
            pSink = nullptr;
    }
    if (pSink) {
        HRESULT hr = CallRange(pSink, pllFirst, pllPublished);
        pSink->Release();
        return hr;
    }
    HRESULT hr = Request(kReqRange, dwTimeoutMs);
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csLink);
    *pllFirst = m_llRangeFirst;
    *pllPublished = m_llRangePublished;
    return S_OK;
}

HRESULT CDVRSinkThread::Reregister(DWORD dwTimeoutMs)
{
    if (!HasSink())
        return E_POINTER;
    if (m_bDirect)
        return ServeRegister();
    return Request(kReqRegister, dwTimeoutMs);
}

HRESULT CDVRSinkThread::ConnectToSink(LPCWSTR pszName, DWORD dwTimeoutMs)
{
    if (!pszName)
        return E_POINTER;
    {
        CAutoLock lockAccess(&m_AccessLock);
        bool bSame;
        {
            CAutoLock lock(&m_csLink);
            bSame = !m_strOwnerName.empty() && WStrEqualNoCase(m_strOwnerName, pszName);
        }
        if (bSame) {
            // The lookup for this name may still be under way, or not even
            // picked up by the thread yet (it is not the current request
            // then): any call that has not replied is waited for.
            if (m_bOutstanding) {
                if (!WaitForReply(dwTimeoutMs))
                    return RPC_E_TIMEOUT;
                m_bOutstanding = false;
            }
            return HasSink() ? S_OK : E_POINTER;
        }
    }
    DropLink();
    {
        CAutoLock lock(&m_csLink);
        m_strOwnerName = pszName;
    }
    HRESULT hr = Request(kReqConnect, dwTimeoutMs);
    if (hr == RPC_E_TIMEOUT)
        return hr;  // the lookup goes on; the name stays
    if (FAILED(hr)) {
        Trace("\nCDVRSinkThread::ConnectToSink(%S) failed %s", pszName, TraceHr(hr));
        CAutoLock lock(&m_csLink);
        m_strOwnerName.clear();
        return hr;
    }
    return HasSink() ? S_OK : E_POINTER;
}

HRESULT CDVRSinkThread::GetSinkStatus(LONG* plStatus, LONG* plFolder, LONG* plSlot, LONGLONG* pllSize,
                                      DWORD dwTimeoutMs)
{
    if (!plStatus || !plFolder || !plSlot || !pllSize)
        return E_POINTER;
    if (!HasSink())
        return E_POINTER;
    if (m_bDirect) {
        IKVDVRSink* pSink;
        {
            CAutoLock lock(&m_csLink);
            pSink = m_pSink;
            if (!pSink)
                return E_POINTER;
            pSink->AddRef();
        }
        double dSize = 0;
        HRESULT hr = pSink->GetStatus(plStatus, plFolder, plSlot, &dSize);
        pSink->Release();
        if (FAILED(hr)) {
            Trace("\nCDVRSinkThread::GetSinkStatus(0x%08X): m_pDVRSink->GetStatus failed %s",
                  static_cast<unsigned>(GetKey()), TraceHr(hr));
            return hr;
        }
        *pllSize = static_cast<LONGLONG>(dSize);
        return S_OK;
    }
    HRESULT hr = Request(kReqStatus, dwTimeoutMs);
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csLink);
    *plStatus = m_lStatus;
    *plFolder = m_lFolder;
    *plSlot = m_lSlot;
    *pllSize = m_llCurrentSize;
    return S_OK;
}

HRESULT CDVRSinkThread::SetOffsetToReach(LONGLONG llOffset, DWORD dwTimeoutMs)
{
    IKVDVRSink* pSink;
    {
        CAutoLock lock(&m_csLink);
        pSink = m_pSink;
        if (!pSink)
            return E_POINTER;
        if (m_bDirect) {
            pSink->AddRef();
        } else {
            m_dOffsetToReach = static_cast<double>(llOffset);
            pSink = nullptr;
        }
    }
    if (pSink) {
        HRESULT hr = pSink->SetOffsetToReach(GetKey(), static_cast<double>(llOffset));
        pSink->Release();
        return hr;
    }
    return Request(kReqOffset, dwTimeoutMs);
}

// ---------------------------------------------------------------------------
// Lifetime

void CDVRSinkThread::ReleaseUse()
{
    if (m_cUses.fetch_sub(1, std::memory_order_acq_rel) == 1)
        KillThread();
}

void CDVRSinkThread::KillThread()
{
    if (!ThreadExists()) {
        Trace("\nCDVRSinkThread::KillThread: The thread does not exist, so I will kill this object");
        delete this;
        return;
    }
    m_evRelease.Reset();
    if (FAILED(Request(kReqExit, kExitTimeoutMs))) {
        m_bKill.store(true, std::memory_order_release);
        m_evKill.Set();
    }
    // Last touch of this object: from here on the thread owns it.
    m_evRelease.Set();
}
