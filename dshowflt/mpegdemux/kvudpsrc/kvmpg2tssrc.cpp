// CKVMpg2TSSrc: construction and destruction, the interface table, Load and
// the graph states, starvation, and the hooks of the receive thread. The
// automation interface and the callback are in kvmpg2tssrcdisp.cpp.
#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrc.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/sourceurl.h"
#include "platform/bstr.h"
#include "platform/thread.h"
#include "platform/wtext.h"

namespace {

// The GetState trace: one record for every filter of the process, so that a
// graph polling its state writes a line only when the answer changes.
std::mutex g_mtxStateTrace;
HRESULT g_hrLastState = E_FAIL;
FILTER_STATE g_lastState = State_Stopped;

void TraceStateOnChange(DWORD dwMSecs, HRESULT hr, FILTER_STATE state, BOOL bStarvation)
{
    {
        std::lock_guard<std::mutex> lock(g_mtxStateTrace);
        if (hr == g_hrLastState && state == g_lastState)
            return;
        g_hrLastState = hr;
        g_lastState = state;
    }
    Trace("\nCKVMpg2TSSrc::GetState(%dms) returned %s, State=%s, m_bStarvation=%d", static_cast<int>(dwMSecs),
          TraceHr(hr), TraceFilterState(state), static_cast<int>(bStarvation));
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

CKVMpg2TSSrc::CKVMpg2TSSrc(IUnknown* pUnkOuter) : CUDPAsyncReader("TARN MPEG2 Transport UDP Source", pUnkOuter, CLSID_KVUDPSrc)
{
    Trace("\nUDPSrc::UDPSrc(%p)", static_cast<void*>(this));
}

HRESULT CKVMpg2TSSrc::Init()
{
    HRESULT hr = CUDPAsyncReader::Init(static_cast<CAsyncStream*>(this), static_cast<IAsyncReaderHost*>(this));
    if (FAILED(hr))
        return hr;
    // The receive thread's writer interfaces count on our outer unknown, so
    // that whoever holds one holds the filter.
    return CreateReceiveThread(UDPOutputPin(), static_cast<IRecvFilter*>(this), GetOwner());
}

HRESULT CKVMpg2TSSrc::CreateInstance(CKVMpg2TSSrc** ppFilter)
{
    if (!ppFilter)
        return E_POINTER;
    *ppFilter = nullptr;
    HRESULT hr = S_OK;
    CKVMpg2TSSrc* p = New(nullptr, &hr);
    if (!p)
        return hr;
    p->AddRef();
    *ppFilter = p;
    return S_OK;
}

CKVMpg2TSSrc::~CKVMpg2TSSrc()
{
    Trace("\nUDPSrc::~UDPSrc(%p)", static_cast<void*>(this));
    if (Io())
        (void)Io()->BeginFlush();
    // The receive thread calls into this object and its pin until it has
    // ended, so it ends before anything of ours goes.
    ShutdownReceiveThread();
    IKVSrcCallback* pCallback;
    CEventThunk* pThunk;
    {
        CAutoLock lock(&m_csCallback);
        pCallback = std::exchange(m_pCallback, nullptr);
        pThunk = std::exchange(m_pEventThunk, nullptr);
    }
    // A posted call still queued keeps its thunk (and the callback) alive.
    if (pThunk)
        pThunk->Release();
    if (pCallback)
        pCallback->Release();
    CAutoLock lock(&m_csTypeInfo);
    m_pTypeInfo.Release();
}

HRESULT CKVMpg2TSSrc::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IFileSourceFilter)
        return GetInterface(static_cast<IFileSourceFilter*>(this), ppv);
    if (riid == IID_IKVDVRSource || riid == IID_IKVDVRSource1)
        return GetInterface(static_cast<IKVDVRSource*>(this), ppv);
    if (riid == IID_IKVDVRSink || riid == IID_IKVDVRSink1 || riid == IID_IKVDVRSink2 || riid == IID_IKVDVRSink3) {
        if (!RecvThread())
            return E_NOINTERFACE;
        return GetInterface(static_cast<IKVDVRSink*>(RecvThread()), ppv);
    }
    // IDispatch too: an automation client asks for it before anything else.
    if (riid == IID_IKVUDPSrc || riid == IID_IKVUDPSrc1 || riid == IID_IDispatch)
        return GetInterface(static_cast<IKVUDPSrc*>(this), ppv);
    return CUDPAsyncReader::NonDelegatingQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------
// IFileSourceFilter

HRESULT CKVMpg2TSSrc::Load(LPCWSTR pszFileName, const AM_MEDIA_TYPE* pmt)
{
    if (!pszFileName)
        pszFileName = u"";
    CRecvThread* pRecv = RecvThread();
    if (!pRecv)
        return E_UNEXPECTED;
    {
        const size_t cch = WStrLen(pszFileName);
        std::unique_ptr<WCHAR[]> pszCopy(new (std::nothrow) WCHAR[cch + 1]);
        if (!pszCopy)
            return E_OUTOFMEMORY;
        memcpy(pszCopy.get(), pszFileName, (cch + 1) * sizeof(WCHAR));
        CAutoLock lock(&m_csFilter);
        m_pszFileName = std::move(pszCopy);
    }
    Trace("\n+ CKVMpg2TSSrc::Load(%S)...", pszFileName);
    const DWORD dwStart = GetTickCount();

    HRESULT hr = Configure(pszFileName, pmt);
    // Reading starts here only in a graph (otherwise joining one starts
    // it). No lock of ours is held: this waits for the first data.
    if (SUCCEEDED(hr) && m_bInGraph.load(std::memory_order_acquire)) {
        hr = static_cast<HRESULT>(pRecv->CallWorker(CMD_READ));
        if (SUCCEEDED(hr))
            hr = S_OK;
    }
    Trace("\n- CKVMpg2TSSrc::Load took %s", TraceElapsedMs(TickDiff(GetTickCount(), dwStart)));
    return hr;
}

HRESULT CKVMpg2TSSrc::Configure(LPCWSTR pszFileName, const AM_MEDIA_TYPE* pmt)
{
    CRecvThread* pRecv = RecvThread();
    // The receive thread's client lock: no command runs meanwhile and no
    // read loop can start, which is what reconfiguring the thread needs; a
    // running loop is stopped by SetMediaType below.
    CAutoLock lockCommands(&pRecv->m_AccessLock);

    ResetOutputMediaType();
    HRESULT hr = SetStreamMediaType(pmt);
    if (FAILED(hr))
        return hr;
    CMediaType mtStream;
    hr = GetStreamMediaType(&mtStream);
    if (FAILED(hr))
        return hr;
    hr = pRecv->SetMediaType(&mtStream);
    (void)hr;  // the stop's reply; the loop is stopped either way
    UDPOutputPin()->ResetFrameDuration();
    UDPOutputPin()->RestartHold();

    SourceAddress addr;
    hr = ParseSourceUrl(pszFileName, &addr);
    if (FAILED(hr)) {
        Trace("\nCKVMpg2TSSrc::Load: ParseSourceUrl failed %s", TraceHr(hr));
        return hr;
    }
    hr = pRecv->SetAddress(addr.address, addr.port, addr.interfaceAddress, addr.udpTransport ? TRUE : FALSE, TRUE);
    if (FAILED(hr))
        return hr;
    // Parameter sets belong to the URL that gave them.
    ParameterBuffer().Empty();
    hr = pRecv->ParseOptions(addr.options.get());
    if (FAILED(hr)) {
        Trace("\nCKVMpg2TSSrc::Load: the options are not valid %s", TraceHr(hr));
        return hr;
    }
    hr = pRecv->OpenSocket(TRUE, TRUE, 0);
    if (FAILED(hr)) {
        Trace("\nCKVMpg2TSSrc::Load: m_recvThread.OpenSocket failed %s", TraceHr(hr));
        return hr;
    }
    return S_OK;
}

HRESULT CKVMpg2TSSrc::GetCurFile(LPWSTR* ppszFileName, AM_MEDIA_TYPE* pmt)
{
    if (!ppszFileName)
        return E_POINTER;
    *ppszFileName = nullptr;
    {
        CAutoLock lock(&m_csFilter);
        if (m_pszFileName) {
            const size_t cb = (WStrLen(m_pszFileName.get()) + 1) * sizeof(WCHAR);
            *ppszFileName = static_cast<LPWSTR>(CoTaskMemAlloc(cb));
            if (*ppszFileName)
                memcpy(*ppszFileName, m_pszFileName.get(), cb);
        }
    }
    if (pmt) {
        memset(pmt, 0, sizeof(*pmt));
        HRESULT hr = OutputPin()->ConnectionMediaType(pmt);
        (void)hr;  // unconnected: the type stays empty
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Graph states

HRESULT CKVMpg2TSSrc::Stop()
{
    Trace("\nCKVMpg2TSSrc::Stop...");
    // The receive thread goes on filling the DVR buffer while stopped.
    return CUDPAsyncReader::Stop();
}

HRESULT CKVMpg2TSSrc::Pause()
{
    const FILTER_STATE state = m_State.load();
    Trace("\nCKVMpg2TSSrc::Pause... (from %s)", state == State_Running ? "Run" : "Stop");
    // Posted: the base filter calls us with its lock held, and nobody may
    // wait here for the first data. A post is dropped while a client (a
    // Load, a join) holds the receive thread, which then reads anyway.
    // Without an open socket (nothing loaded, or the graph was left) a read
    // would only end at once, clearing starvation on its way out.
    CRecvThread* pRecv = RecvThread();
    if (pRecv && state == State_Stopped && !pRecv->IsReading() && pRecv->IsSocketOpen())
        (void)pRecv->PostCommand(CMD_READ);
    return CUDPAsyncReader::Pause();
}

HRESULT CKVMpg2TSSrc::Run(REFERENCE_TIME tStart)
{
    CUDPAsyncOutputPin* pPin = UDPOutputPin();
    const REFERENCE_TIME rtNext = pPin->NextStartTime();
    Trace("\nUDP::Run. m_pOutputPin->m_rtNextStartTime=%s", TraceRefTime(rtNext));
    CRecvThread* pRecv = RecvThread();
    if (pRecv && IsOutputMediaTypeValid() && rtNext > kRebaseAfter) {
        // A graph that runs again after a pause: the stream went on in real
        // time meanwhile, so the time line starts over with the next unit.
        pPin->ResetBaseTime();
        {
            CAutoLock lockCommands(&pRecv->m_AccessLock);
            // The parser and the socket are the read loop's while it runs.
            DWORD dw = pRecv->CallWorker(RECVCMD_STOP);
            (void)dw;
            pRecv->RTPParser().RestartRTP();
            HRESULT hr = pRecv->OpenSocket(FALSE, TRUE, 0);
            if (FAILED(hr))
                Trace("\nCKVMpg2TSSrc::Run: reopening the socket failed %s", TraceHr(hr));
        }
        DWORD dw = pRecv->CallWorker(CMD_READ);
        (void)dw;  // a stream that does not come back shows as starvation
    }
    return CUDPAsyncReader::Run(tStart);
}

LONG CKVMpg2TSSrc::SamplesNeededForCue()
{
    REFERENCE_TIME d = UDPOutputPin()->FrameDuration();
    if (d <= kMinCueFrameDuration)
        d = kDefaultCueFrameDuration;
    const REFERENCE_TIME L = RecvThread() ? RecvThread()->GetLatency() : 0;
    if (L >= 6 * d)
        return 1;
    return static_cast<LONG>((6 * d - L) / d + 1);
}

HRESULT CKVMpg2TSSrc::GetState(DWORD dwMSecs, FILTER_STATE* pState)
{
    HRESULT hr = CUDPAsyncReader::GetState(dwMSecs, pState);
    if (FAILED(hr) || !IsOutputMediaTypeValid())
        return hr;
    const FILTER_STATE state = *pState;
    // The event is set for the whole of a starvation, so this returns at
    // once; the answer comes from the flag.
    if (m_bStarvation.load(std::memory_order_acquire))
        (void)m_evStarvation.Wait(dwMSecs);
    const BOOL bStarvation = m_bStarvation.load(std::memory_order_acquire);
    if (state == State_Stopped)
        hr = S_OK;
    else if (bStarvation)
        hr = VFW_S_STATE_INTERMEDIATE;
    else if (state == State_Paused)
        hr = UDPOutputPin()->SamplesDelivered() >= SamplesNeededForCue() ? VFW_S_CANT_CUE : VFW_S_STATE_INTERMEDIATE;
    else
        hr = S_OK;
    TraceStateOnChange(dwMSecs, hr, state, bStarvation);
    return hr;
}

HRESULT CKVMpg2TSSrc::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName)
{
    const unsigned uName = static_cast<unsigned>(reinterpret_cast<uintptr_t>(pName));
    Trace("\nCKVMpg2TSSrc::JoinFilterGraph(%p, 0x%08X, \"%S\") + started", static_cast<void*>(pGraph), uName,
          pName ? pName : u"");
    const HRESULT hr = CUDPAsyncReader::JoinFilterGraph(pGraph, pName);
    if (FAILED(hr))
        Trace(" FAILED! with code 0x%08X", static_cast<unsigned>(hr));
    m_bInGraph.store(pGraph != nullptr, std::memory_order_release);
    if (!pGraph)
        StopDVRReading();
    CRecvThread* pRecv = RecvThread();
    if (pRecv) {
        // Under the client lock, like a command: the address a Load is
        // setting is read here.
        CAutoLock lockCommands(&pRecv->m_AccessLock);
        HRESULT hrRecv = pRecv->OnJoinFilterGraph(pGraph);
        if (FAILED(hrRecv))
            Trace("\nCKVMpg2TSSrc::JoinFilterGraph: reading did not start %s", TraceHr(hrRecv));
    }
    Trace("\nCKVMpg2TSSrc::JoinFilterGraph(%p, 0x%08X, \"%S\") - finished", static_cast<void*>(pGraph), uName,
          pName ? pName : u"");
    return hr;
}

// ---------------------------------------------------------------------------
// Starvation and the receive thread's hooks

void CKVMpg2TSSrc::SetStarvation(BOOL bStarvation)
{
    const BOOL b = bStarvation ? TRUE : FALSE;
    // The receive thread clears starvation after every unit: no lock then.
    if (m_bStarvation.load(std::memory_order_acquire) == b || !IsOutputMediaTypeValid())
        return;
    {
        CAutoLock lock(&m_csStarvation);
        if (m_bStarvation.load(std::memory_order_relaxed) == b)
            return;
        m_bStarvation.store(b, std::memory_order_release);
        if (!b) {
            m_evStarvation.Reset();
            return;
        }
        m_evStarvation.Set();
    }
    Trace("\nCKVMpg2TSSrc::SetStarvation: sending EC_STARVATION!");
    HRESULT hr = NotifyEvent(EC_STARVATION, 0, 0);
    (void)hr;  // out of a graph nobody listens
}

HRESULT CKVMpg2TSSrc::OnAttributesChanging(LONG lFlag)
{
    return CKVMpg2TSSrcStream::OnAttributesChanging(lFlag);
}

BOOL CKVMpg2TSSrc::IsInFilterGraph()
{
    return m_bInGraph.load(std::memory_order_acquire) ? TRUE : FALSE;
}

CBuffer& CKVMpg2TSSrc::ParameterBuffer()
{
    return CUDPAsyncReader::ParameterBuffer();
}

HRESULT CKVMpg2TSSrc::SetOutputMediaType(const AM_MEDIA_TYPE* pmt)
{
    return CUDPAsyncReader::SetOutputMediaType(pmt);
}

HRESULT CKVMpg2TSSrc::GetOutputMediaType(AM_MEDIA_TYPE* pmt)
{
    return CUDPAsyncReader::GetOutputMediaType(pmt);
}

BOOL CKVMpg2TSSrc::IsOutputMediaTypeValid()
{
    return CUDPAsyncReader::IsOutputMediaTypeValid();
}

void CKVMpg2TSSrc::OnWriterEvent(LONG lEventCode, LONG_PTR lParam1, LONG_PTR lParam2)
{
    HRESULT hr = NotifyEvent(lEventCode, lParam1, lParam2);
    (void)hr;  // out of a graph nobody listens
}
