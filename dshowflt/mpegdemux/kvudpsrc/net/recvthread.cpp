// CRecvThread: construction, the commands, the read loop, and the socket,
// DVR and graph hooks. The per-unit pipeline is in recvprocess.cpp, the
// option parser in recvoptions.cpp.
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/common/dvr/dvrsinkif.h"

namespace {

const HRESULT kHrWouldBlock = HRESULT_FROM_WIN32(WSAEWOULDBLOCK);
const HRESULT kHrTimedOut = HRESULT_FROM_WIN32(WSAETIMEDOUT);
const HRESULT kHrConnReset = HRESULT_FROM_WIN32(WSAECONNRESET);

// While written data waits for publication, the loop comes back this often
// so that readers see it within a few tens of milliseconds.
constexpr DWORD kPublishSliceMs = 37;
constexpr DWORD kPublishThresholdMs = 25;
// While the application is asked about missing data: about once a second.
constexpr DWORD kAskSliceMs = 1000;
constexpr DWORD kReconnectSpacingMs = 100;
// Kernel drops are traced at most this often.
constexpr DWORD kDropReportIntervalMs = 1000;
constexpr DWORD kConnectPollMs = 500;
// One connection attempt to a TCP server. A blocking connect to a host that
// does not answer would hold the thread, and with it every command, for the
// kernel's two minutes of SYN retries.
constexpr DWORD kConnectAttemptMs = 1000;

}  // namespace

CRecvThread::CRecvThread(IRecvOutputPin* pPin, IRecvFilter* pFilter, IUnknown* pUnkOuter)
    : CRecvThread(pPin, pFilter, pUnkOuter, true)
{
}

CRecvThread::CRecvThread(IRecvOutputPin* pPin, IRecvFilter* pFilter, IUnknown* pUnkOuter, bool bStartThread)
    : CBaseDVRSink("TARN UDP Source Receive Thread", pUnkOuter), m_pPin(pPin), m_pFilter(pFilter)
{
    // Offsets that the in-memory log no longer (or never) covered are
    // answered from the ring's time index for as long as the ring holds them.
    SetReceiveTimeFallback(&CBaseDVRSink::LookUpReceiveTimeCallback, static_cast<CBaseDVRSink*>(this));
    // Last, so that the thread only ever sees a complete object.
    if (bStartThread && !Create())
        Trace("\nCRecvThread::CRecvThread: the receive thread could not be started");
}

CRecvThread::~CRecvThread()
{
    // The thread uses every member; it ends before any of them goes.
    if (GetCurrentThreadId() != GetThreadId() && ThreadExists()) {
        DWORD dw = CallWorker(RECVCMD_EXIT);
        (void)dw;
    }
    Close();
}

BOOL CRecvThread::PostCommand(DWORD dwCommand)
{
    return TryPostRequest(dwCommand | kPostedBit);
}

// ---------------------------------------------------------------------------
// The thread

DWORD CRecvThread::ThreadProc()
{
    DWORD dwRequest = GetRequest();
    for (;;) {
        // Posts and calls share the one command slot; the posted bit travels
        // with the command, so what the thread takes says whether anybody
        // waits for the answer. A posted command is answered to nobody: a
        // reply would reset the command event under a client that has just
        // sent the next one.
        const bool bCallerWaits = (dwRequest & kPostedBit) == 0;
        const DWORD dwCommand = dwRequest & ~kPostedBit;
        switch (dwCommand) {
        case RECVCMD_CONNECT: {
            Trace("\nCRecvThread::RECVCMD_CONNECT");
            HRESULT hr = OpenForReconnect(TRUE);
            (void)hr;  // a failed open shows in the wait below
            int nWait;
            HRESULT hrWait = S_OK;
            do {
                nWait = WaitForEvent(GetRequestHandle(), kConnectPollMs, FD_CONNECT, &hrWait);
            } while (nWait == WAITEVENT_TIMEOUT);
            if (nWait == WAITEVENT_OK) {
                ReadLoop(bCallerWaits);
                break;
            }
            if (nWait == WAITEVENT_CANCELLED) {
                // The waiting command is taken at the top.
                dwRequest = GetRequest();
                continue;
            }
            Trace("\nCRecvThread::ThreadProc: warning! WaitForEvent returned %d! hr=%s. Cancel connect "
                  "operation and wait for next command",
                  nWait, TraceHr(hrWait));
            if (bCallerWaits)
                Reply(static_cast<DWORD>(FAILED(hrWait) ? hrWait : E_FAIL));
            break;
        }
        case CMD_READ:
            Trace("\n+ CRecvThread::CMD_READ...");
            ReadLoop(bCallerWaits);
            Trace("\n- CRecvThread::CMD_READ...");
            break;
        case RECVCMD_STOP:
            Trace("\nCRecvThread::RECVCMD_STOP");
            if (bCallerWaits)
                Reply(S_OK);
            break;
        case RECVCMD_EXIT:
            Trace("\nCRecvThread::RECVCMD_EXIT");
            if (bCallerWaits)
                Reply(S_OK);
            return 0;
        default:
            if (bCallerWaits)
                Reply(static_cast<DWORD>(E_NOTIMPL));
            break;
        }
        dwRequest = GetRequest();
    }
}

DWORD CRecvThread::DataDeadline(DWORD dwTimeoutMs)
{
    // The tick wraps, so the deadline is kept within 2^31 ms of now
    // (TickDeadline); "no deadline" is all ones.
    return dwTimeoutMs == 0 ? kNoDeadline : TickDeadline(GetTickCount(), dwTimeoutMs);
}

void CRecvThread::ReportKernelDrops()
{
    const LONGLONG llDropped = GetDroppedDatagrams();
    if (llDropped <= m_llDropsReported) {
        m_llDropsReported = llDropped;  // counted afresh since a new open
        return;
    }
    const DWORD dwNow = GetTickCount();
    if (m_llDropsReported != 0 && TickDiff(dwNow, m_dwDropReportTick) < kDropReportIntervalMs)
        return;
    Trace("\nCRecvThread::ReadLoop(): %lld datagrams lost: the socket buffer (%u bytes) overflowed, %lld in all",
          static_cast<long long>(llDropped - m_llDropsReported), static_cast<unsigned>(GetReceiveBufferGranted()),
          static_cast<long long>(llDropped));
    m_llDropsReported = llDropped;
    m_dwDropReportTick = dwNow;
}

bool CRecvThread::WaitSlice(DWORD dwMs, bool bCommandsSeen)
{
    if (WaitForSingleObject(GetRequestHandle(), dwMs) != WAIT_OBJECT_0)
        return false;
    if (bCommandsSeen)
        return true;
    // A command this loop may not take yet: the slice still passes, so the
    // loop never spins on the set event.
    Sleep(dwMs);
    return false;
}

// Which commands the loop takes while the first data is awaited.
//
// A loop started by CallWorker cannot meet a command before its first data:
// its caller holds the client lock until the reply, so nobody else can send
// one. A loop started by a post (the filter's Pause, or our own reconnection)
// has no such caller, and a command may arrive at any time; its event would
// make every wait of the loop return at once. Our choice: such a loop looks
// at commands in every iteration, as it does once data has flowed, and
// leaves as soon as one waits, answering nobody; ThreadProc then takes the
// command and answers it. So a STOP or EXIT sent to a loop that waits for
// ever (Timeout=0) is answered at once, and the loop never spins.
void CRecvThread::ReadLoop(bool bCallerWaits)
{
    m_bReplyOwed = bCallerWaits;
    m_bInGraph.store(m_pFilter->IsInFilterGraph() != FALSE, std::memory_order_release);

    GUID guidSubtype;
    {
        CAutoLock lock(&m_csState);
        guidSubtype = m_guidSubtype;
    }
    // A stream whose data only goes to the pin (raw video, or an elementary
    // stream already described) starts no ring that would stay empty.
    if (m_bDVRWrite.load(std::memory_order_acquire)) {
        HRESULT hr = StartDVR(&guidSubtype);
        if (FAILED(hr)) {
            Trace("\nCRecvThread::ReadLoop: StartDVR failed %s", TraceHr(hr));
            if (m_bReplyOwed)
                Reply(static_cast<DWORD>(hr));
            m_bReplyOwed = false;
            return;
        }
    }
    m_bLogTickAsked = false;
    if (IsLogging()) {
        HRESULT hr = StartLogging(0);
        (void)hr;  // S_OK by contract
    }
    m_bReading.store(true, std::memory_order_release);
    m_rtp.ResetRTPState();

    const DWORD dwStart = GetTickCount();
    DWORD dwDeadline = DataDeadline(GetTimeout());
    bool bFirst = true;
    int nState = kStateReceiving;
    HRESULT hr = S_OK;
    bool bDrained = false;  // the last batch emptied the socket's queue
    // The wait watches the command event too: right after a wait that
    // reported data, and right before one, asking for a command again is a
    // system call per datagram that tells nothing new. A command that comes
    // meanwhile is seen by the next wait, which then returns at once.
    bool bCommandSeenByWait = false;

    for (;;) {
        const bool bCommandsSeen = !bFirst || !m_bReplyOwed;
        const bool bSkipCheck = bCommandSeenByWait || (bDrained && nState != kStateReconnecting);
        bCommandSeenByWait = false;
        if (bCommandsSeen && !bSkipCheck && CheckRequest(nullptr))
            break;

        if (nState == kStateReconnecting) {
            // The lost connection gave all it will: readers see its last
            // bytes now (within a slice), not once a server that may never
            // return has run the loop out of time.
            if (m_bDVRWrite.load(std::memory_order_acquire))
                (void)BeginWaitingForData();
            if (WaitSlice(kReconnectSpacingMs, bCommandsSeen))
                continue;
            if (TimeLeft(dwDeadline) == 0) {
                Trace("\nCRecvThread::ReadLoop(): Timeout expired trying to reconnect. Aborting the read "
                      "process...");
                nState = kStateReceiving;
                if (SUCCEEDED(hr))
                    hr = kHrTimedOut;
                break;
            }
            hr = ReopenTcpSocket();
            if (SUCCEEDED(hr))
                nState = kStateReceiving;
            continue;
        }

        if (m_socket == INVALID_SOCKET) {
            Trace("\nCRecvThread::ReadLoop(): m_socket == INVALID_SOCKET. Aborting the read process...");
            if (SUCCEEDED(hr))
                hr = HRESULT_FROM_WIN32(WSAENOTSOCK);
            break;
        }
        // A socket reopened without a new buffer keeps the old one; it must
        // still hold a whole message.
        if (Capacity() < static_cast<LONG>(GetMaxMsgSize()) &&
            FAILED(Reserve(static_cast<LONG>(GetMaxMsgSize())))) {
            hr = E_OUTOFMEMORY;
            Trace("\nCRecvThread::ReadLoop(): no memory for a receive buffer of %s. Aborting the read process...",
                  TraceBytes(GetMaxMsgSize()));
            break;
        }

        // Everything that is waiting, in one call; at low rates that is one
        // datagram, so a batch never holds back one that has arrived. After
        // a batch that emptied the queue, asking again would only be told
        // that nothing waits: the wait comes at once (it returns at once too
        // if a datagram came meanwhile).
        if (bDrained) {
            bDrained = false;
            hr = kHrWouldBlock;
        } else {
            hr = MyRecv(&m_batch);
        }
        const DWORD dwTick = GetTickCount();

        if (hr == kHrWouldBlock) {
            DWORD dwWait = TimeLeft(dwDeadline);
            const bool bUnpublished = m_bDVRWrite.load(std::memory_order_acquire) && BeginWaitingForData();
            if (bUnpublished && dwWait > kPublishThresholdMs)
                dwWait = kPublishSliceMs;
            else if (bFirst && m_pFilter->HasCallback() && dwWait > kAskSliceMs)
                dwWait = kAskSliceMs;
            HRESULT hrWait = S_OK;
            nState = WaitForEvent(GetRequestHandle(), dwWait, FD_READ, &hrWait);
            if (nState == WAITEVENT_CLOSED)
                continue;  // reconnecting
            bCommandSeenByWait = nState == WAITEVENT_OK && !CancelSetAtLastWait();
            if (nState == WAITEVENT_FAILED) {
                // Waiting again would fail again at once: a spin.
                hr = hrWait;
                Trace("\nCRecvThread::ReadLoop(): WaitForEvent failed %s. Aborting the read process...",
                      TraceHr(hr));
                break;
            }
            if (nState == WAITEVENT_CANCELLED && !bCommandsSeen) {
                // Cannot happen (see above: the caller holds the client
                // lock); should it, the slice still passes.
                Sleep(dwWait == INFINITE ? kAskSliceMs : dwWait);
            }
            if (dwDeadline != kNoDeadline && TimeLeft(dwDeadline) == 0) {
                if (bFirst) {
                    Trace("\nCRecvThread::ReadLoop(): Timeout expired without receiving any data. Aborting "
                          "the read process...");
                    break;  // hr: would block
                }
                if (!m_bDatagram)
                    nState = kStateReconnecting;
                continue;
            }
            if (bFirst && nState == WAITEVENT_TIMEOUT && m_pFilter->HasCallback()) {
                HRESULT hrAsk = m_pFilter->AskIfIShouldContinueWaiting(TickDiff(GetTickCount(), dwStart));
                if (FAILED(hrAsk)) {
                    Trace("\nCRecvThread::ReadLoop: AskIfIShouldContinueWaiting returned %s. Aborting the read "
                          "process...",
                          TraceHr(hrAsk));
                    hr = hrAsk;
                    break;
                }
            }
            continue;
        }
        if (hr == kHrTimedOut || hr == kHrConnReset) {
            nState = kStateReconnecting;
            continue;
        }
        if (FAILED(hr)) {
            Trace("\nCRecvThread::ReadLoop(): MyRecv returned unknown error(%s). Aborting the read process...",
                  TraceHr(hr));
            break;
        }

        // UDP has no time-out once data has flowed (a sender may pause for
        // as long as it likes); TCP restarts its time-out with every read.
        dwDeadline = (!bFirst && m_bDatagram) ? kNoDeadline : DataDeadline(GetTimeout());
        ReportKernelDrops();

        // Each datagram on its own, in arrival order, as if it had been read
        // alone; only the ring writes of the batch are gathered (WriteUnit).
        m_bDeferWrites = true;
        for (int i = 0; i < m_batch.nCount && SUCCEEDED(hr); ++i) {
            m_nDatagram = i;
            if (m_batch.abAfterDrop[i] && m_bDVRWrite.load(std::memory_order_acquire)) {
                // The kernel dropped datagrams right before this one: the
                // time index marks the gap at its offset, as it marks lost
                // RTP packets.
                hr = FlushWrites();
                MarkDiscontinuity();
                if (FAILED(hr))
                    break;
            }
            BYTE* pData = m_batch.apData[i];
            LONG cbData = m_batch.acbData[i];
            // One writer: a plain store of the sum, which a reader sees whole.
            m_llStatDatagrams.store(m_llStatDatagrams.load(std::memory_order_relaxed) + 1,
                                    std::memory_order_relaxed);
            m_llStatBytes.store(m_llStatBytes.load(std::memory_order_relaxed) + cbData, std::memory_order_relaxed);
            int nKind;
            const int nRtp = m_rtp.IsRTP(pData, cbData);
            if (nRtp == RTPSTATE_MAYBE || nRtp == RTPSTATE_YES) {
                const int nResult = m_rtp.ParseHeader(&pData, &cbData);
                if (m_rtp.State() == RTPSTATE_YES && m_rtp.LearnedPayloadType() >= 0)
                    m_lStatRtpFormat.store(m_rtp.Format() == RTPFORMAT_H264 || m_rtp.IsH264Payload()
                                               ? RTPFORMAT_H264
                                               : m_rtp.LearnedPayloadType(),
                                           std::memory_order_relaxed);
                if (nResult == RTPPACKET_GOOD)
                    nKind = RTPPACKET_GOOD;
                else if (nResult == RTPPACKET_GOOD_MULTIPLE)
                    nKind = RTPPACKET_GOOD_MULTIPLE;
                else
                    continue;  // held back, duplicate or bad: nothing to hand on now
            } else {
                nKind = kKindNotRTP;
            }
            hr = ProcessData(pData, cbData, dwTick, nKind, &bFirst);
        }
        // What the failed datagram's predecessors gave is written all the same.
        const HRESULT hrFlush = FlushWrites();
        m_bDeferWrites = false;
        if (FAILED(hr))
            break;
        if (FAILED(hrFlush)) {
            hr = hrFlush;
            break;
        }
        if (!bFirst && m_bDatagram)
            dwDeadline = kNoDeadline;
        bDrained = m_batch.bDrained;
    }

    HRESULT hrStop = StopDVR();
    if (FAILED(hrStop))
        Trace("\nCRecvThread::ReadLoop: StopDVR failed %s", TraceHr(hrStop));
    if (bFirst && m_bReplyOwed)
        Reply(static_cast<DWORD>(hr));
    m_bReplyOwed = false;
    // A loop that ends while reconnecting tries again in the background,
    // unless a command waits: the post would take its place.
    if (nState == kStateReconnecting && !CheckRequest(nullptr))
        PostCommand(RECVCMD_CONNECT);
    m_bReading.store(false, std::memory_order_release);
    m_pFilter->SetStarvation(FALSE);
}

void CRecvThread::GetStats(SRecvStats* pStats) const
{
    SRecvStats s;
    s.llDatagrams = m_llStatDatagrams.load(std::memory_order_relaxed);
    s.llBytes = m_llStatBytes.load(std::memory_order_relaxed);
    s.llRingBytes = GetPublishedTotal();
    s.rtp = m_rtp.Counters();
    s.lRtpFormat = m_lStatRtpFormat.load(std::memory_order_relaxed);
    s.cbSocketBuffer = GetReceiveBufferGranted();
    s.llKernelDrops = GetDroppedDatagrams();
    *pStats = s;
}

// ---------------------------------------------------------------------------
// Socket

HRESULT CRecvThread::OpenSocketHelper(BOOL bCreateBuffer, BOOL bConnect, DWORD dwTimeoutMs)
{
    HRESULT hr = CSocket::OpenSocketHelper(bCreateBuffer, bConnect, dwTimeoutMs);
    m_bSocketOpen.store(m_socket != INVALID_SOCKET, std::memory_order_release);
    return hr;
}

void CRecvThread::CloseSocket(BOOL bFreeBuffer)
{
    // Never close under a running receive: from any other thread the read
    // loop is stopped first. The flag, not m_socket, is read here: the
    // receive thread may be reopening the socket at this moment.
    if (m_bSocketOpen.load(std::memory_order_acquire) && GetCurrentThreadId() != GetThreadId()) {
        DWORD dw = CallWorker(RECVCMD_STOP);
        (void)dw;
    }
    CSocket::CloseSocket(bFreeBuffer);
    m_bSocketOpen.store(false, std::memory_order_release);
}

HRESULT CRecvThread::OpenForReconnect(BOOL bCreateBuffer)
{
    return OpenSocket(bCreateBuffer, TRUE, m_bDatagram ? 0 : kConnectAttemptMs);
}

HRESULT CRecvThread::ReopenTcpSocket()
{
    Trace("\nCRecvThread::ReopenTcpSocket...");
    // The receive thread's own close: there is no loop to stop. Closing
    // also leaves a multicast group, which the kernel would do anyway.
    CSocket::CloseSocket(FALSE);
    m_bSocketOpen.store(false, std::memory_order_release);
    return OpenForReconnect(FALSE);
}

// ---------------------------------------------------------------------------
// DVR writer

HRESULT CRecvThread::StartDVR(const GUID* pStreamId)
{
    HRESULT hr = CBaseDVRSink::StartDVR(pStreamId);
    if (FAILED(hr))
        return hr;
    WriteParameterSets();
    return hr;
}

HRESULT CRecvThread::RestartDVR()
{
    // The sink's restart is not virtual and knows nothing of parameter sets;
    // holding the writer lock across both keeps the receive thread's next
    // write behind them.
    CAutoLock lock(&m_csWriter);
    HRESULT hr = CBaseDVRSink::RestartDVR();
    if (SUCCEEDED(hr))
        WriteParameterSets();
    return hr;
}

void CRecvThread::WriteParameterSets()
{
    bool bPlainH264;
    {
        CAutoLock lock(&m_csState);
        bPlainH264 = m_nPayloadType == 0 && m_nFormat == RTPFORMAT_H264;
    }
    // A plain H.264 stream carries its parameter sets only now and then; a
    // recording that begins with them decodes from its first IDR.
    if (!bPlainH264)
        return;
    CBuffer& params = m_pFilter->ParameterBuffer();
    if (params.Length() > 0) {
        HRESULT hrWrite = WriteData(params.Data(), params.Length());
        if (FAILED(hrWrite))
            Trace("\nCRecvThread::StartDVR: writing the parameter sets failed %s", TraceHr(hrWrite));
    }
}

void CRecvThread::NotifyEvent(LONG lEventCode, LONG_PTR lParam1, LONG_PTR lParam2)
{
    m_pFilter->OnWriterEvent(lEventCode, lParam1, lParam2);
}

bool CRecvThread::IsAttributeChangeRunning()
{
    return m_bChangingAttributes.load(std::memory_order_acquire) ||
           WaitForSingleObject(NoChangeEvent(), 0) != WAIT_OBJECT_0;
}

HRESULT CRecvThread::ChangingAttributesNotification(BOOL bAfter)
{
    Trace("\nCRecvThread::ChangingAttributesNotification(%s)", bAfter ? "TRUE" : "FALSE");
    if (!bAfter) {
        m_bChangingAttributes.store(true, std::memory_order_release);
        m_evAttributesSettled.Reset();
        // Only a ring that was being written comes back: a change made while
        // nothing is received creates no files.
        m_bRestartAfterChange.store(IsWriting(), std::memory_order_release);
        HRESULT hr = m_pFilter->OnAttributesChanging(FALSE);
        if (FAILED(hr))
            Trace("\nCRecvThread::ChangingAttributesNotification: the filter answered %s", TraceHr(hr));
        hr = StopDVR();
        if (FAILED(hr))
            Trace("\nCRecvThread::ChangingAttributesNotification: StopDVR failed %s", TraceHr(hr));
        return S_OK;
    }

    HRESULT hr = S_OK;
    if (m_bRestartAfterChange.exchange(false, std::memory_order_acq_rel)) {
        GUID guidSubtype;
        {
            CAutoLock lock(&m_csState);
            guidSubtype = m_guidSubtype;
        }
        hr = StartDVR(&guidSubtype);
    }
    // The receive thread may write again; the filter's reader follows.
    m_bChangingAttributes.store(false, std::memory_order_release);
    m_evAttributesSettled.Set();
    if (FAILED(hr)) {
        HRESULT hrFilter = m_pFilter->OnAttributesChanging(-1);
        (void)hrFilter;  // the restart's failure is what the commit reports
        return hr;
    }
    return m_pFilter->OnAttributesChanging(TRUE);
}

HRESULT CRecvThread::GetStatus(LONG* plStatus, LONG* plFolderIndex, LONG* plSlot, double* pdCurrentSize)
{
    HRESULT hr = CBaseDVRSink::GetStatus(plStatus, plFolderIndex, plSlot, pdCurrentSize);
    if (FAILED(hr))
        return hr;
    *plStatus = IsReading() ? DVRStatus_Writing : DVRStatus_Stopped;
    return hr;
}

BOOL CRecvThread::ShouldRegisterInObjectTable()
{
    // Asked under the writer's engine lock: a cached answer, no call out.
    return m_bInGraph.load(std::memory_order_acquire) ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Configuration and graph

HRESULT CRecvThread::SetMediaType(const AM_MEDIA_TYPE* pmt)
{
    if (!pmt)
        return E_POINTER;
    // The loop is stopped before its mini parser goes: it may be using it.
    const HRESULT hr = static_cast<HRESULT>(CallWorker(RECVCMD_STOP));
    m_pMiniParser.reset();
    CAutoLock lock(&m_csState);
    m_guidSubtype = pmt->subtype;
    return hr;
}

HRESULT CRecvThread::OnJoinFilterGraph(IFilterGraph* pGraph)
{
    if (pGraph) {
        m_bInGraph.store(true, std::memory_order_release);
        HRESULT hr = JoinObjectTable();
        if (FAILED(hr))
            Trace("\nCRecvThread::OnJoinFilterGraph: AddSinkToROT failed %s", TraceHr(hr));
        hr = S_OK;
        if (!m_bSocketOpen.load(std::memory_order_acquire) && m_dwAddress != 0 && m_wPort != 0)
            hr = OpenSocket(TRUE, TRUE, 0);
        if (!m_bSocketOpen.load(std::memory_order_acquire))
            return hr;
        if (!IsReading())
            return static_cast<HRESULT>(CallWorker(CMD_READ));
        return S_OK;
    }
    if (IsReading()) {
        DWORD dw = CallWorker(RECVCMD_STOP);
        (void)dw;
    }
    m_bInGraph.store(false, std::memory_order_release);
    HRESULT hr = LeaveObjectTable();
    (void)hr;  // traced by the writer
    CloseSocket(TRUE);
    return S_OK;
}
