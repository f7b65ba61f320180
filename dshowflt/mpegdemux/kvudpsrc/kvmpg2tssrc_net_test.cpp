// The network source filter on loopback sockets, driven as an application
// drives it: Load in and out of a graph, the wait for the first data with
// its time-out and the application's answer, callbacks on the right
// thread, the graph states, a second Load, and the filter going away while
// data flows. Pulled bytes are checked against the sent stream.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dshowflt/mpegdemux/kvudpsrc/filternettestutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"
#include "dshowflt/mpegdemux/kvudpsrc/pintestutil.h"
#include "dshowflt/common/rtp/rtptestutil.h"
#include "platform/graph/pushsink.h"

using namespace filtertest;

namespace {

const HRESULT kHrNoData = HRESULT_FROM_WIN32(10035);  // 0x80072733

WORD SocketPort(CKVMpg2TSSrc* p)
{
    sockaddr_in sa = {};
    socklen_t cb = sizeof(sa);
    if (getsockname(p->RecvThread()->GetSocket(), reinterpret_cast<sockaddr*>(&sa), &cb) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

// Runs fn on a thread of its own and says when it has returned.
class CAsyncCall
{
public:
    explicit CAsyncCall(std::function<HRESULT()> fn)
        : m_thread([this, fn] {
              m_hr = fn();
              m_bDone = true;
              m_evDone.Set();
          })
    {
    }
    ~CAsyncCall() { m_thread.join(); }
    bool Done() const { return m_bDone; }
    HRESULT Wait(DWORD dwMs = 20000)
    {
        EXPECT_TRUE(m_evDone.Wait(dwMs * kSlow));
        return m_hr;
    }

private:
    std::atomic<bool> m_bDone{false};
    std::atomic<HRESULT> m_hr{E_UNEXPECTED};
    CAMEvent m_evDone{TRUE};
    std::thread m_thread;
};

// Calls fn (a Load or a join that waits for the first data) while the
// sender sends a datagram every 10 ms, until fn has returned: what is sent
// before the socket is bound is lost, as it would be from any sender.
HRESULT WhileSending(CTsSender* pSender, const std::function<HRESULT()>& fn)
{
    std::atomic<bool> bDone{false};
    std::thread send([&] {
        for (int i = 0; i < 3000 && !bDone; ++i) {
            pSender->Burst(1);
            Sleep(10);
        }
    });
    const HRESULT hr = fn();
    bDone = true;
    send.join();
    return hr;
}

// Joins the graph, Loads the URL of wPort while the sender sends, and
// connects the pulling consumer.
HRESULT LoadAndConnect(CSourceGraph& g, CTsSender& sender, WORD wPort)
{
    HRESULT hr = g.Join();
    if (SUCCEEDED(hr))
        hr = WhileSending(&sender, [&] { return g.m_pSrc->Load(UdpUrl(wPort).c_str(), nullptr); });
    return SUCCEEDED(hr) ? g.ConnectPull() : hr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Load and the first data

TEST(CKVMpg2TSSrcNetTest, LoadOutOfAGraphOnlyOpensTheSocketAndJoiningReads)
{
    CSourceGraph g;
    const WORD wPort = FreePort();
    const DWORD dwStart = GetTickCount();
    ASSERT_EQ(S_OK, g.m_pSrc->Load(UdpUrl(wPort).c_str(), nullptr));
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 5000u);  // nobody sends: it did not wait for data
    EXPECT_EQ(wPort, SocketPort(g.m_pSrc));
    EXPECT_FALSE(g.m_pSrc->RecvThread()->IsReading());

    // What arrives before the graph is joined waits in the socket: joining
    // starts reading, answers at once, and nothing is lost.
    CTsSender sender(wPort);
    sender.Burst(20);
    ASSERT_EQ(S_OK, g.Join());
    EXPECT_TRUE(g.m_pSrc->RecvThread()->IsReading());
    ASSERT_EQ(S_OK, g.ConnectPull(CTsSender::kDatagram));
    ASSERT_EQ(S_OK, g.m_pGraph->Run());
    ASSERT_TRUE(g.m_checker.WaitForPosition(20 * CTsSender::kDatagram));
    EXPECT_TRUE(g.m_checker.Good()) << g.m_checker.What();
    EXPECT_EQ(0, g.m_checker.Base());  // from the very first byte sent
}

TEST(CKVMpg2TSSrcNetTest, LoadInAGraphReturnsWithTheFirstDataOrTheTimeOut)
{
    pintest::CTraceCapture trace;
    CSourceGraph g;
    ASSERT_EQ(S_OK, g.Join());
    const WORD wPort = FreePort();
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(kHrNoData, g.m_pSrc->Load(UdpUrl(wPort, "?Timeout=1").c_str(), nullptr));
    EXPECT_GE(TickDiff(GetTickCount(), dwStart), 990u);
    EXPECT_TRUE(trace.Contains("Timeout expired without receiving any data"));

    // With data coming later: 300 ms without data, Load still waits; then
    // the sender sends until it returns.
    CTsSender sender(wPort);
    std::atomic<bool> bLoadReturned{false}, bSentWhileWaiting{false};
    std::thread send([&] {
        Sleep(300);
        bSentWhileWaiting = !bLoadReturned;
        for (int i = 0; i < 3000 && !bLoadReturned; ++i) {
            sender.Burst(1);
            Sleep(10);
        }
    });
    EXPECT_EQ(S_OK, g.m_pSrc->Load(UdpUrl(wPort).c_str(), nullptr));
    bLoadReturned = true;
    send.join();
    EXPECT_TRUE(bSentWhileWaiting);
    EXPECT_TRUE(g.m_pSrc->RecvThread()->IsReading());
}

// While Load waits (here for ever: no time-out), the filter lock is free:
// the graph's threads change states and ask for them.
TEST(CKVMpg2TSSrcNetTest, AWaitingLoadBlocksNoGraphThread)
{
    CSourceGraph g;
    ASSERT_EQ(S_OK, g.Join());
    const WORD wPort = FreePort();
    CAsyncCall load([&] { return g.m_pSrc->Load(UdpUrl(wPort, "?Timeout=0").c_str(), nullptr); });
    ASSERT_TRUE(graphtest::SpinFor([&] { return g.m_pSrc->RecvThread()->IsReading(); }));
    FILTER_STATE fs;
    EXPECT_EQ(S_OK, g.m_pSrc->GetState(0, &fs));
    EXPECT_EQ(S_OK, g.m_pGraph->Pause());
    EXPECT_EQ(S_OK, g.m_pGraph->Stop());
    LPWSTR psz = nullptr;
    EXPECT_EQ(S_OK, g.m_pSrc->GetCurFile(&psz, nullptr));
    CoTaskMemFree(psz);
    EXPECT_FALSE(load.Done());
    CTsSender sender(wPort);
    sender.Burst(1);
    EXPECT_EQ(S_OK, load.Wait());
}

// ---------------------------------------------------------------------------
// The application's answer

TEST(CKVMpg2TSSrcNetTest, CallbackAnsweringAbortEndsTheFirstWaitAtTheFirstQuestion)
{
    CSourceGraph g;
    CTestCallback callback;
    callback.m_hrAnswer = E_ABORT;
    ASSERT_EQ(S_OK, g.m_pSrc->put_CallInSameThread(VARIANT_FALSE));
    ASSERT_EQ(S_OK, g.m_pSrc->put_CallbackObj(&callback));
    ASSERT_EQ(S_OK, g.Join());
    // No time-out: only the application can end this wait.
    EXPECT_EQ(E_ABORT, g.m_pSrc->Load(UdpUrl(FreePort(), "?Timeout=0").c_str(), nullptr));
    const auto calls = callback.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(EVENTTYPE_NODATAAVAILABLE, calls[0].type);
    EXPECT_GE(calls[0].dParam1, 900.0);  // asked after a second without data
    EXPECT_LT(calls[0].dParam1, 1000.0 * 3 * kSlow);
    EXPECT_NE(GetCurrentThreadId(), calls[0].dwThread);  // on the receive thread
    EXPECT_FALSE(g.m_pSrc->RecvThread()->IsReading());
    ASSERT_EQ(S_OK, g.m_pSrc->put_CallbackObj(nullptr));
}

TEST(CKVMpg2TSSrcNetTest, QuestionsReachAPumpingApplicationThreadUntilDataComes)
{
    CSourceGraph g;
    CTestCallback callback;
    CAppThread app([&] { ASSERT_EQ(S_OK, g.m_pSrc->put_CallbackObj(&callback)); }, true);
    ASSERT_EQ(S_OK, g.Join());
    const WORD wPort = FreePort();
    CTsSender sender(wPort);
    std::thread send([&] {
        if (callback.WaitCalled(5000))  // data only once the application was asked
            sender.Burst(1);
    });
    EXPECT_EQ(S_OK, g.m_pSrc->Load(UdpUrl(wPort, "?Timeout=10").c_str(), nullptr));
    send.join();
    ASSERT_GE(callback.CallCount(), 1u);
    for (const auto& call : callback.Calls())
        EXPECT_EQ(app.Id(), call.dwThread);
    ASSERT_EQ(S_OK, g.m_pSrc->put_CallbackObj(nullptr));
}

TEST(CKVMpg2TSSrcNetTest, AThreadThatDoesNotPumpIsNeverAskedAndItsAnswerNeverCounts)
{
    CSourceGraph g;
    CTestCallback callback;
    callback.m_hrAnswer = E_ABORT;
    CAppThread app([&] { ASSERT_EQ(S_OK, g.m_pSrc->put_CallbackObj(&callback)); }, false);
    ASSERT_EQ(S_OK, g.Join());
    // Asked twice at least in three seconds, never answered: the time-out
    // ends the wait, not the E_ABORT the application would have given.
    EXPECT_EQ(kHrNoData, g.m_pSrc->Load(UdpUrl(FreePort(), "?Timeout=3").c_str(), nullptr));
    EXPECT_EQ(0u, callback.CallCount());
    app.Pump();
    ASSERT_TRUE(callback.WaitCalled(5000));
    EXPECT_FALSE(callback.WaitCalled(100));
    EXPECT_EQ(1u, callback.CallCount());  // the first question; the later ones were dropped
    ASSERT_EQ(S_OK, g.m_pSrc->put_CallbackObj(nullptr));
}

// ---------------------------------------------------------------------------
// States

TEST(CKVMpg2TSSrcNetTest, ReceptionGoesOnWhateverTheGraphState)
{
    CSourceGraph g;
    const WORD wPort = FreePort();
    CTsSender sender(wPort);
    ASSERT_EQ(S_OK, LoadAndConnect(g, sender, wPort));
    sender.Start(4000000);
    ASSERT_EQ(S_OK, g.m_pGraph->Run());
    ASSERT_TRUE(g.m_checker.WaitForPosition(1));
    const LONGLONG llBase = g.m_checker.Base();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(S_OK, g.m_pGraph->Pause());
        ASSERT_EQ(S_OK, g.m_pGraph->Stop());
        g.m_checker.Forget();
        // Stopped, the receive thread goes on filling the ring: what is sent
        // meanwhile is there when the consumer starts again (from offset 0).
        const uint64_t ullTarget = sender.Sent() + 20 * CTsSender::kDatagram;
        ASSERT_TRUE(graphtest::SpinFor([&] { return sender.Sent() >= ullTarget; }));
        EXPECT_TRUE(g.m_pSrc->RecvThread()->IsReading());
        ASSERT_EQ(S_OK, g.m_pGraph->Run());
        ASSERT_TRUE(g.m_checker.WaitForPosition(static_cast<LONGLONG>(ullTarget) - llBase));
        EXPECT_EQ(llBase, g.m_checker.Base());  // the same buffer
    }
    sender.Stop();
    EXPECT_TRUE(g.m_checker.Good()) << g.m_checker.What();
}

TEST(CKVMpg2TSSrcNetTest, PauseFromStoppedReadsAgainAfterAReadEnded)
{
    pintest::CTraceCapture trace;
    CSourceGraph g;
    ASSERT_EQ(S_OK, g.Join());
    const WORD wPort = FreePort();
    EXPECT_EQ(kHrNoData, g.m_pSrc->Load(UdpUrl(wPort, "?Timeout=1").c_str(), nullptr));
    EXPECT_FALSE(g.m_pSrc->RecvThread()->IsReading());
    // The socket stays open; Pause starts reading in the background.
    ASSERT_EQ(S_OK, g.m_pGraph->Pause());
    EXPECT_TRUE(trace.Contains("CKVMpg2TSSrc::Pause... (from Stop)"));
    ASSERT_TRUE(graphtest::SpinFor([&] { return g.m_pSrc->RecvThread()->IsReading(); }));
    ASSERT_EQ(S_OK, g.m_pGraph->Stop());
}

TEST(CKVMpg2TSSrcNetTest, LeavingTheGraphStopsReadingAndClosesTheSocket)
{
    CSourceGraph g;
    const WORD wPort = FreePort();
    CTsSender sender(wPort);
    ASSERT_EQ(S_OK, LoadAndConnect(g, sender, wPort));
    ASSERT_EQ(S_OK, g.m_pGraph->Run());
    ASSERT_EQ(S_OK, g.m_pGraph->RemoveFilter(g.m_pSrc));
    EXPECT_FALSE(g.m_pSrc->RecvThread()->IsReading());
    EXPECT_EQ(INVALID_SOCKET, g.m_pSrc->RecvThread()->GetSocket());
    EXPECT_FALSE(g.m_pSrc->IsReaderRunning());
    // Joining again opens the same address and reads again.
    EXPECT_EQ(S_OK, WhileSending(&sender, [&] { return g.Join(); }));
    EXPECT_TRUE(g.m_pSrc->RecvThread()->IsReading());
    EXPECT_EQ(wPort, SocketPort(g.m_pSrc));
}

// ---------------------------------------------------------------------------
// A second Load, reconnection, and going away while data flows

TEST(CKVMpg2TSSrcNetTest, SecondLoadReceivesTheNewStreamAndAReconnectionReadsOnlyIt)
{
    CSourceGraph g;
    const WORD wPortA = FreePort(), wPortB = FreePort();
    // Two senders of streams that differ in every clock field.
    constexpr uint64_t kRateB = 3000000;
    CTsSender a(wPortA), b(wPortB, kRateB);
    ASSERT_EQ(S_OK, LoadAndConnect(g, a, wPortA));
    ASSERT_EQ(S_OK, g.m_pGraph->Run());
    a.Start(4000000);
    ASSERT_TRUE(g.m_checker.WaitForPosition(50 * CTsSender::kDatagram));
    EXPECT_TRUE(g.m_checker.Good()) << g.m_checker.What();

    // Reconfigured in place while a reads: b's first datagram ends the wait.
    ASSERT_EQ(S_OK, WhileSending(&b, [&] { return g.m_pSrc->Load(UdpUrl(wPortB).c_str(), nullptr); }));
    a.Stop();
    LPWSTR psz = nullptr;
    ASSERT_EQ(S_OK, g.m_pSrc->GetCurFile(&psz, nullptr));
    EXPECT_EQ(UdpUrl(wPortB), CWString(psz));
    CoTaskMemFree(psz);
    EXPECT_EQ(wPortB, SocketPort(g.m_pSrc));

    // The consumer connects again: the buffer starts empty, and what it
    // reads is b's stream only.
    ASSERT_EQ(S_OK, g.m_pGraph->Stop());
    ASSERT_EQ(S_OK, g.m_pGraph->Disconnect(g.m_pSrc->OutputPin()));
    ASSERT_EQ(S_OK, g.m_pGraph->Disconnect(g.m_pReader->InputPin()));
    g.m_checker.Expect(kRateB);
    ASSERT_EQ(S_OK, g.m_pGraph->ConnectDirect(g.m_pSrc->OutputPin(), g.m_pReader->InputPin(), nullptr));
    ASSERT_EQ(S_OK, g.m_pGraph->Run());
    b.Start(4000000);
    ASSERT_TRUE(g.m_checker.WaitForPosition(20 * CTsSender::kDatagram));
    EXPECT_TRUE(g.m_checker.Good()) << g.m_checker.What();
    b.Stop();
}

TEST(CKVMpg2TSSrcNetTest, TheReaderFollowsTheRingToItsNewPlace)
{
    CSourceGraph g;
    const WORD wPort = FreePort();
    CTsSender sender(wPort);
    ASSERT_EQ(S_OK, LoadAndConnect(g, sender, wPort));
    ASSERT_EQ(S_OK, g.m_pGraph->Run());
    sender.Start(4000000);
    ASSERT_TRUE(g.m_checker.WaitForPosition(20 * CTsSender::kDatagram));
    ASSERT_TRUE(g.m_pSrc->IsReaderRunning());
    ASSERT_EQ(S_OK, g.m_pGraph->Stop());

    // The application moves the ring while the stream comes in: the writer
    // starts a new buffer there, and the filter's reader follows it.
    CTempFolder moved;
    ASSERT_EQ(S_OK, SetRing(g.m_pSrc, moved.Path()));
    EXPECT_TRUE(g.m_pSrc->IsReaderRunning());
    IKVDVRSource* pSource = nullptr;
    ASSERT_EQ(S_OK, g.m_pSrc->QueryInterface(IID_IKVDVRSource, reinterpret_cast<void**>(&pSource)));
    double dFirst = 0, dCurrent = 0, dLast = 0;
    EXPECT_TRUE(graphtest::SpinFor([&] {
        return SUCCEEDED(pSource->GetAvailableRange(&dFirst, &dCurrent, &dLast)) && dLast > 100000;
    }));
    // The reader's stub is the one in the new folder.
    const std::string strStub = WideToUtf8(g.m_pSrc->GetStubPath());
    EXPECT_EQ(0u, strStub.rfind(moved.Path(), 0)) << strStub;
    pSource->Release();
    sender.Stop();
}

TEST(CKVMpg2TSSrcNetTest, AnEmptiedPlainH264RingBeginsWithTheParameterSets)
{
    // comp=H264: the stream is H.264 without RTP; its parameter sets come
    // from the URL (hexadecimal) and every new ring begins with them.
    const std::vector<BYTE> vHeaders = {0, 0, 0, 1, 0x67, 0x64, 0, 0x28, 0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80};
    CSourceGraph g;
    ASSERT_EQ(S_OK, g.Join());
    const WORD wPort = FreePort();
    CTsSender sender(wPort);  // any bytes do: nothing looks into them
    ASSERT_EQ(S_OK, WhileSending(&sender, [&] {
        return g.m_pSrc->Load(UdpUrl(wPort, "?comp=H264&seq-headers=\"0000000167640028,0000000168EE3C80\"").c_str(),
                              nullptr);
    }));
    graphtest::CWaiter waiter;
    std::vector<BYTE> vHead;
    CPullReaderConfig config;
    config.cbRequest = 16;
    CPullReader* pReader = nullptr;
    ASSERT_EQ(S_OK, CPullReader::Create(
                        config,
                        [&](LONGLONG llPos, const BYTE* pb, LONG cb) {
                            waiter.Update([&] {
                                if (llPos == 0)
                                    vHead.assign(pb, pb + cb);
                            });
                            return S_OK;
                        },
                        nullptr, &pReader));
    ASSERT_EQ(S_OK, g.m_pGraph->AddFilter(pReader, u"consumer"));
    for (int i = 0; i < 2; ++i) {
        // The second connection empties the ring (ResetPointer): the new one
        // must begin with the parameter sets again, before any received byte.
        ASSERT_EQ(S_OK, g.m_pGraph->ConnectDirect(g.m_pSrc->OutputPin(), pReader->InputPin(), nullptr));
        ASSERT_EQ(S_OK, g.m_pGraph->Run());
        sender.Burst(3);
        ASSERT_TRUE(waiter.WaitFor([&] { return vHead.size() == 16; }));
        {
            std::lock_guard<std::mutex> lock(waiter.Mutex());
            EXPECT_EQ(vHeaders, vHead) << "connection " << i;
            vHead.clear();
        }
        ASSERT_EQ(S_OK, g.m_pGraph->Stop());
        ASSERT_EQ(S_OK, g.m_pGraph->Disconnect(g.m_pSrc->OutputPin()));
        ASSERT_EQ(S_OK, g.m_pGraph->Disconnect(pReader->InputPin()));
    }
    pReader->Release();
}

TEST(CKVMpg2TSSrcNetTest, FlushesAndStateChangesRaceTheReceiveThread)
{
    CSourceGraph g;
    const WORD wPort = FreePort();
    CTsSender sender(wPort);
    ASSERT_EQ(S_OK, LoadAndConnect(g, sender, wPort));
    sender.Start(8000000);
    IAsyncReader* pReader = nullptr;
    ASSERT_EQ(S_OK, g.m_pSrc->OutputPin()->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&pReader)));
    std::atomic<bool> bStop{false};
    // Another thread asks for lengths and flushes while reads wait for data.
    std::thread other([&] {
        for (int i = 0; i < 200 && !bStop; ++i) {
            LONGLONG llTotal = 0, llAvail = 0;
            (void)pReader->Length(&llTotal, &llAvail);
            FILTER_STATE fs;
            (void)g.m_pSrc->GetState(0, &fs);
            if (i % 20 == 10) {
                (void)pReader->BeginFlush();
                (void)pReader->EndFlush();
            }
            Sleep(2);
        }
    });
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(S_OK, g.m_pGraph->Run());
        Sleep(30);
        ASSERT_EQ(S_OK, g.m_pGraph->Pause());
        ASSERT_EQ(S_OK, g.m_pGraph->Stop());
    }
    bStop = true;
    other.join();
    pReader->Release();
    sender.Stop();
    // A flush may end a read early, never with wrong bytes.
    EXPECT_TRUE(g.m_checker.Good()) << g.m_checker.What();
}

TEST(CKVMpg2TSSrcNetTest, TheFilterGoesAwayWhileDataFlows)
{
    for (int i = 0; i < 3; ++i) {
        auto pGraph = std::make_unique<CSourceGraph>();
        const WORD wPort = FreePort();
        CTsSender sender(wPort);
        ASSERT_EQ(S_OK, LoadAndConnect(*pGraph, sender, wPort));
        ASSERT_EQ(S_OK, pGraph->m_pGraph->Run());
        sender.Start(0 == i ? 20000000 : 80000000);
        ASSERT_TRUE(pGraph->m_checker.WaitForPosition(10 * CTsSender::kDatagram));
        // No Stop: the application lets go of the running graph.
        pGraph->Release();
        EXPECT_TRUE(pGraph->m_checker.Good()) << pGraph->m_checker.What();
        sender.Stop();
    }
}

// ---------------------------------------------------------------------------
// Elementary stream: raw video pushed, and Run re-basing its time line

namespace {

// One 8 x 2 UYVY frame in one RFC 4175 packet (two line headers; the first
// has the continuation bit), RTP time in 90 kHz ticks.
rtptest::Bytes RawFrame(DWORD dwSeq, DWORD dwTime)
{
    rtptest::RtpPacket pkt;
    pkt.dwSeq = dwSeq;
    pkt.dwTimestamp = dwTime;
    pkt.bMarker = true;
    pkt.payload = {0, 0,                      // extended sequence number
                   0, 16, 0x00, 0x00, 0x80, 0x00,  // 16 bytes, line 0, offset 0, C
                   0, 16, 0x00, 0x01, 0x00, 0x00};  // 16 bytes, line 1, offset 0
    for (int i = 0; i < 32; ++i)
        pkt.payload.push_back(static_cast<BYTE>(dwSeq + i));
    return pkt.Build();
}

}  // namespace

TEST(CKVMpg2TSSrcNetTest, RawVideoIsPushedAndRunStartsItsTimeLineAgain)
{
    recvtest::CTraceCapture trace;
    struct SSample
    {
        REFERENCE_TIME tStart, tStop;
        bool bDisc;
    };
    graphtest::CWaiter waiter;
    std::vector<SSample> vSamples;
    CPushSink* pSink = nullptr;
    ASSERT_EQ(S_OK, CPushSink::Create(
                        [&](const CPushSinkEvent& ev) {
                            if (ev.eKind == CPushSinkEvent::kSample)
                                waiter.Update([&] {
                                    vSamples.push_back(SSample{ev.tStart, ev.tStop, ev.bDiscontinuity});
                                });
                            return S_OK;
                        },
                        nullptr, true, &pSink));
    CSourceGraph g;
    ASSERT_EQ(S_OK, g.Join());
    const WORD wPort = FreePort();
    CTestSender sock;
    DWORD dwSeq = 100, dwTime = 90000 * 100;
    auto send = [&](DWORD dwJump) {
        dwTime += dwJump;
        (void)sock.Send("127.0.0.1", htons(wPort), recvtest::ToString(RawFrame(dwSeq++, dwTime)));
        dwTime += 3600;  // 40 ms
    };
    // The format comes from the URL: the stream is described before any
    // data, and the first frame (nobody pulls it yet) ends Load's wait.
    std::atomic<bool> bLoaded{false};
    std::thread first([&] {
        for (int i = 0; i < 3000 && !bLoaded; ++i) {
            send(0);
            Sleep(10);
        }
    });
    EXPECT_EQ(S_OK, g.m_pSrc->Load(UdpUrl(wPort, "?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=8;"
                                                 "height=2;depth=8")
                                       .c_str(),
                                   nullptr));
    bLoaded = true;
    first.join();
    ASSERT_TRUE(g.m_pSrc->IsOutputMediaTypeValid());
    ASSERT_FALSE(g.m_pSrc->RecvThread()->IsDVRWriteEnabled());
    ASSERT_EQ(S_OK, g.m_pGraph->AddFilter(pSink, u"sink"));
    ASSERT_EQ(S_OK, g.m_pGraph->ConnectDirect(g.m_pSrc->OutputPin(), pSink->InputPin(), nullptr));
    // Only pushed: a pulling consumer gets no reader interface.
    void* pv = nullptr;
    EXPECT_EQ(E_NOINTERFACE, g.m_pSrc->OutputPin()->QueryInterface(IID_IAsyncReader, &pv));

    ASSERT_EQ(S_OK, g.m_pGraph->Run());
    for (int i = 0; i < 30; ++i)
        send(0);
    // The frames that came between the stream being described and the
    // graph running go first: the 30 and those, however many they were.
    ASSERT_TRUE(waiter.WaitFor([&] { return vSamples.size() >= 30; }));
    size_t nFirstRun = 0;
    for (int i = 0; i < 40; ++i) {  // until the last frame sent is in
        Sleep(50);
        std::lock_guard<std::mutex> lock(waiter.Mutex());
        if (vSamples.size() == nFirstRun)
            break;
        nFirstRun = vSamples.size();
    }
    ASSERT_EQ(S_OK, g.m_pGraph->Pause());
    REFERENCE_TIME tEnd;
    {
        std::lock_guard<std::mutex> lock(waiter.Mutex());
        tEnd = vSamples.back().tStop;
        EXPECT_EQ(40 * 10000, vSamples.back().tStop - vSamples.back().tStart);
    }
    EXPECT_GT(tEnd, CKVMpg2TSSrc::kRebaseAfter);

    // The stream's clock jumps by a minute while paused. Run reopens the
    // socket and waits for the first data of a new read: it is sent once
    // that read runs, so that no frame is lost (a loss would be a
    // discontinuity of its own).
    std::thread sender([&] {
        if (trace.WaitFor("+ CRecvThread::CMD_READ...", 10000, 2))
            send(90000 * 60);
    });
    EXPECT_EQ(S_OK, g.m_pGraph->Run());
    sender.join();
    EXPECT_TRUE(trace.Has("UDP::Run. m_pOutputPin->m_rtNextStartTime="));
    send(0);
    ASSERT_TRUE(waiter.WaitFor([&] { return vSamples.size() >= nFirstRun + 2; }));
    {
        std::lock_guard<std::mutex> lock(waiter.Mutex());
        // Re-based: the time line goes on where it stopped, without a jump
        // and without a discontinuity, however far the clock moved.
        const SSample& s = vSamples[nFirstRun];
        EXPECT_EQ(tEnd, s.tStart);
        EXPECT_FALSE(s.bDisc);
    }
    ASSERT_EQ(S_OK, g.m_pGraph->Stop());
    pSink->Release();
}
