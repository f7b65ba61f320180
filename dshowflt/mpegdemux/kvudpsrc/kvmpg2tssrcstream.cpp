// CKVMpg2TSSrcStream: the DVR source the pin reads, the receive thread it
// owns, and the start and stop of the DVR reader.
#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrcstream.h"

#include <new>

#include "dshowflt/common/trace/trace.h"
#include "platform/thread.h"

CKVMpg2TSSrcStream::CKVMpg2TSSrcStream() = default;

CKVMpg2TSSrcStream::~CKVMpg2TSSrcStream()
{
    ShutdownReceiveThread();
    if (m_pRecv)
        m_pRecv->NonDelegatingRelease();
    m_pRecv = nullptr;
}

HRESULT CKVMpg2TSSrcStream::CreateReceiveThread(IRecvOutputPin* pPin, IRecvFilter* pFilter, IUnknown* pUnkOuter)
{
    if (m_pRecv)
        return E_UNEXPECTED;
    CRecvThread* p = new (std::nothrow) CRecvThread(pPin, pFilter, pUnkOuter);
    if (!p)
        return E_OUTOFMEMORY;
    p->NonDelegatingAddRef();
    if (!p->ThreadExists()) {
        p->NonDelegatingRelease();
        return E_FAIL;
    }
    m_pRecv = p;
    return S_OK;
}

void CKVMpg2TSSrcStream::ShutdownReceiveThread()
{
    StopDVRReading();
    if (!m_pRecv)
        return;
    // The exit ends a running read loop too: the loop sees every command
    // once no client waits for its first data, and no client can, as the
    // owner is going.
    if (m_pRecv->ThreadExists() && GetCurrentThreadId() != m_pRecv->GetThreadId()) {
        DWORD dw = m_pRecv->CallWorker(RECVCMD_EXIT);
        (void)dw;
        m_pRecv->Close();
    }
    m_pRecv->CloseSocket(TRUE);
}

// ---------------------------------------------------------------------------
// The stream

void CKVMpg2TSSrcStream::BeginFlush()
{
    SetStarvation(FALSE);
    CBaseDVRSource::BeginFlush();
}

LONGLONG CKVMpg2TSSrcStream::GetCurrentSize(LONGLONG* pllKnown)
{
    LONGLONG llKnown;
    {
        CAutoLock lock(&m_csEngine);
        llKnown = m_llMaxOffset;
    }
    const LONGLONG llPublished = m_pRecv ? m_pRecv->GetPublishedTotal() : 0;
    const DWORD dwNow = GetTickCount();
    const DWORD dwLast = m_dwLastRefreshTick.load(std::memory_order_acquire);
    const bool bRefresh = llKnown == 0 || llKnown + kRefreshBytes < llPublished ||
                          (llKnown == m_llLastReported.load(std::memory_order_acquire) &&
                           (dwLast == 0 || TickDiff(dwNow, dwLast) > kRefreshMs));
    if (bRefresh) {
        (void)ReadAndUpdateRecordingsInfo();  // a failure leaves what we knew
        m_dwLastRefreshTick.store(dwNow == 0 ? 1 : dwNow, std::memory_order_release);
        CAutoLock lock(&m_csEngine);
        llKnown = m_llMaxOffset;
    }
    m_llLastReported.store(llKnown, std::memory_order_release);
    if (pllKnown)
        *pllKnown = llKnown;
    return kGrowingSizeInUnits;
}

LONGLONG CKVMpg2TSSrcStream::Size(LONGLONG* pllAvailable, BOOL bTimesInUnits)
{
    LONGLONG llKnown = 0;
    (void)GetCurrentSize(&llKnown);
    const bool bGrowing = IsGrowingSource();
    if (!bGrowing) {
        // A finished stream's length is final: read it, not a remembered one.
        LONGLONG llMin = 0, llMax = 0;
        if (SUCCEEDED(GetOffsets(&llMin, &llMax)))
            llKnown = llMax;
    }
    if (pllAvailable)
        *pllAvailable = llKnown;
    if (bGrowing)
        return bTimesInUnits ? kGrowingSizeInUnits : kGrowingSize;
    return llKnown;
}

// ---------------------------------------------------------------------------
// The reader

HRESULT CKVMpg2TSSrcStream::StartReaderOnWriter()
{
    const CWString strStub = m_pRecv->GetStubPath();
    HRESULT hr = SetStubFileName(strStub.c_str(), -1, TRUE);
    if (SUCCEEDED(hr))
        hr = StartDVRReader(static_cast<IKVDVRSink*>(m_pRecv));
    return hr;
}

HRESULT CKVMpg2TSSrcStream::EnsureDVRReader()
{
    if (!m_pRecv)
        return E_UNEXPECTED;
    CAutoLock lock(&m_csReaderCtl);
    if (m_bReaderRunning.load(std::memory_order_acquire))
        return S_OK;
    // An elementary stream the receive thread only pushes has no buffer to
    // read.
    if (!m_pRecv->IsDVRWriteEnabled())
        return E_NOINTERFACE;
    HRESULT hr = StartReaderOnWriter();
    if (FAILED(hr)) {
        Trace("\nCKVMpg2TSSrcStream::EnsureDVRReader: the DVR reader did not start %s", TraceHr(hr));
        return hr;
    }
    m_bReaderRunning.store(true, std::memory_order_release);
    return S_OK;
}

HRESULT CKVMpg2TSSrcStream::ResetPointer()
{
    Trace("\nCKVMpg2TSSrcStream::ResetPointer: Empty the buffer because I am disconnecting from a pin");
    if (!m_pRecv)
        return E_UNEXPECTED;
    CAutoLock lock(&m_csReaderCtl);
    (void)StopDVRReader();
    m_bReaderRunning.store(false, std::memory_order_release);
    // A writer that is not writing has no buffer to empty (an elementary
    // stream that is only pushed, or no read loop): starting one here would
    // make files nothing writes to.
    HRESULT hr = S_OK;
    if (m_pRecv->IsWriting())
        hr = m_pRecv->RestartDVR();
    if (FAILED(hr))
        return hr;
    if (!m_pRecv->IsDVRWriteEnabled() || !m_pRecv->IsWriting())
        return S_OK;  // the reader starts when a pin asks for it
    hr = StartReaderOnWriter();
    m_bReaderRunning.store(SUCCEEDED(hr), std::memory_order_release);
    return hr;
}

HRESULT CKVMpg2TSSrcStream::OnAttributesChanging(LONG lFlag)
{
    if (!m_bStarted.load(std::memory_order_acquire))
        return S_OK;  // the reader never ran: nothing of it holds the buffer
    HRESULT hr = S_OK;
    {
        CAutoLock lock(&m_csReaderCtl);
        if (lFlag == FALSE) {
            // Reads wait (on the engine's no-change event) until the end.
            BeginAttributeChange();
            m_bChangeOpen = true;
            m_bRestartReader = m_bReaderRunning.exchange(false, std::memory_order_acq_rel);
            (void)StopDVRReader();
            return S_OK;
        }
        // Only a reader that ran before the change comes back; one stopped
        // by leaving the graph stays stopped.
        if (m_bRestartReader) {
            m_bRestartReader = false;
            hr = StartReaderOnWriter();
            m_bReaderRunning.store(SUCCEEDED(hr), std::memory_order_release);
        }
        if (m_bChangeOpen) {
            m_bChangeOpen = false;
            EndAttributeChange();
        }
    }
    if (FAILED(hr)) {
        Trace("\nCKVMpg2TSSrcStream::OnAttributesChanging: the DVR reader did not start again %s", TraceHr(hr));
        // The pin's reads cannot follow the new buffer: reception ends, so
        // that the failure shows instead of a stream that silently stalls.
        m_pRecv->CloseSocket(TRUE);
    }
    return hr;
}

void CKVMpg2TSSrcStream::StopDVRReading()
{
    CAutoLock lock(&m_csReaderCtl);
    (void)StopDVRReader();
    m_bReaderRunning.store(false, std::memory_order_release);
    m_bRestartReader = false;
}
