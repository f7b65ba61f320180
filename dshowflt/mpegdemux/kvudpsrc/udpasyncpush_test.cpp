// The pin's push half: units handed to DeliverData, as the receive thread
// hands them, reach a downstream sink as timed samples through the output
// queue; activation, flushes and reconnection race the deliveries.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/mpegdemux/kvudpsrc/pintestutil.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pushsink.h"
#include "platform/graph/testfilters.h"

using namespace pintest;
using graphtest::CWaiter;

namespace {

constexpr REFERENCE_TIME kMs = 10000;
constexpr DWORD kFlagEndOfFrame = 1, kFlagDiscontinuity = 2, kFlagSyncPoint = 4;

// Parameter sets as the URL options give them (00 00 01-prefixed SPS and
// PPS); the pin does not parse them, it only puts them in front.
const std::vector<BYTE> kParams = {0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0xD9, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};

CMediaType H264Type(LONG lWidth = 0, LONG lHeight = 0)
{
    CMediaType mt = graphtest::VideoType(MEDIASUBTYPE_H264, 0);
    std::vector<BYTE> v(sizeof(VIDEOINFOHEADER) + kParams.size());
    memcpy(v.data(), mt.Format(), sizeof(VIDEOINFOHEADER));
    VIDEOINFOHEADER vih;
    memcpy(&vih, v.data(), sizeof(vih));
    vih.bmiHeader.biWidth = lWidth;
    vih.bmiHeader.biHeight = lHeight;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(lWidth * lHeight * 3);
    memcpy(v.data(), &vih, sizeof(vih));
    memcpy(v.data() + sizeof(VIDEOINFOHEADER), kParams.data(), kParams.size());
    (void)mt.SetFormat(v.data(), static_cast<ULONG>(v.size()));
    return mt;
}

std::vector<BYTE> Nal(BYTE bHeader, size_t cb, bool bLongStartCode = false)
{
    std::vector<BYTE> v = bLongStartCode ? std::vector<BYTE>{0, 0, 0, 1, bHeader} : std::vector<BYTE>{0, 0, 1, bHeader};
    for (size_t i = v.size(); i < cb; i++)
        v.push_back(static_cast<BYTE>(i * 7 + bHeader));
    return v;
}

struct CSampleRecord
{
    std::vector<BYTE> data;
    HRESULT hrTime;
    REFERENCE_TIME tStart;
    REFERENCE_TIME tStop;
    bool bSync;
    bool bDisc;
};

class CPushPinTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CFilterGraph::Create(&m_pGraph)); }
    void TearDown() override
    {
        if (m_pGraph) {
            (void)m_pGraph->Stop();
            m_pGraph->Release();
        }
        if (m_pSink)
            m_pSink->Release();
        if (m_pSource)
            m_pSource->Release();
    }
    // The source with elementary type mt (none: a byte stream) and a sink
    // whose Receive may block (an output-queue thread) or not.
    void Build(const CMediaType* pmt, bool bSinkCanBlock = true)
    {
        ASSERT_EQ(S_OK, CTestSource::Create(nullptr, CWString(), &m_pSource));
        if (pmt) {
            ASSERT_EQ(S_OK, m_pSource->SetOutputMediaType(pmt));
        }
        ASSERT_EQ(S_OK, CPushSink::Create([this](const CPushSinkEvent& ev) { return OnEvent(ev); }, nullptr,
                                          bSinkCanBlock, &m_pSink));
        ASSERT_EQ(S_OK, m_pGraph->AddFilter(m_pSource, u"source"));
        ASSERT_EQ(S_OK, m_pGraph->AddFilter(m_pSink, u"sink"));
    }
    void Connect()
    {
        ASSERT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSource->Pin(), m_pSink->InputPin(), nullptr));
        EXPECT_EQ(0, m_pSource->Pin()->ReaderLevel());
    }
    HRESULT Deliver(const std::vector<BYTE>& v, REFERENCE_TIME rt, REFERENCE_TIME rtLatency, DWORD dwFlags,
                    BOOL bEndOfUnit)
    {
        return m_pSource->Pin()->DeliverData(v.data(), static_cast<LONG>(v.size()), rt, rtLatency, dwFlags,
                                             bEndOfUnit);
    }
    virtual HRESULT OnEvent(const CPushSinkEvent& ev)
    {
        m_waiter.Update([&] {
            if (ev.eKind == CPushSinkEvent::kSample)
                m_vSamples.push_back(CSampleRecord{std::vector<BYTE>(ev.pbData, ev.pbData + ev.cbData), ev.hrTime,
                                                   ev.tStart, ev.tStop, ev.bSyncPoint, ev.bDiscontinuity});
            else if (ev.eKind == CPushSinkEvent::kEndOfStream)
                m_cEndOfStream++;
        });
        return S_OK;
    }
    bool WaitForSamples(size_t n)
    {
        return m_waiter.WaitFor([&] { return m_vSamples.size() >= n; });
    }
    // The allocator the pin delivers with: the sink's own.
    CMemAllocator* SinkAllocator()
    {
        CComPtr<IMemInputPin> pInput;
        EXPECT_EQ(S_OK, m_pSink->InputPin()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&pInput)));
        CComPtr<IMemAllocator> pAlloc;
        EXPECT_EQ(S_OK, pInput->GetAllocator(&pAlloc));
        return static_cast<CMemAllocator*>(pAlloc.Get());
    }

    CFilterGraph* m_pGraph = nullptr;
    CTestSource* m_pSource = nullptr;
    CPushSink* m_pSink = nullptr;
    CWaiter m_waiter;
    std::vector<CSampleRecord> m_vSamples;
    int m_cEndOfStream = 0;
};

}  // namespace

TEST_F(CPushPinTest, TimeLineStartsAtTheLatencyFollowsTheNetworkAndJumpsWithADiscontinuity)
{
    const CMediaType mt = graphtest::VideoType(MEDIASUBTYPE_MJPG, 0);
    Build(&mt);
    Connect();
    ASSERT_EQ(S_OK, m_pGraph->Run());
    constexpr REFERENCE_TIME T = 987654321, L = 200 * kMs;
    const std::vector<BYTE> v(500, 0x11);
    CTraceCapture trace;
    ASSERT_EQ(S_OK, Deliver(v, T, L, 0, TRUE));
    ASSERT_EQ(S_OK, Deliver(v, T + 40 * kMs, L, 0, TRUE));
    // 2 s after where the time line expects the next frame.
    ASSERT_EQ(S_OK, Deliver(v, T + 80 * kMs + 2000 * kMs, L, 0, TRUE));
    ASSERT_EQ(S_OK, Deliver(v, T + 120 * kMs + 2000 * kMs, L, 0, TRUE));
    // Data lost in the network: the parser says so, the time line goes on.
    ASSERT_EQ(S_OK, Deliver(v, T + 160 * kMs + 2000 * kMs, L, kFlagDiscontinuity | kFlagSyncPoint, TRUE));
    ASSERT_TRUE(WaitForSamples(5));
    std::lock_guard<std::mutex> lk(m_waiter.Mutex());
    for (const CSampleRecord& r : m_vSamples)
        ASSERT_EQ(S_OK, r.hrTime);
    EXPECT_EQ(L, m_vSamples[0].tStart);
    EXPECT_FALSE(m_vSamples[0].bDisc);
    // The second unit fixed the frame duration at 40 ms.
    EXPECT_EQ(40 * kMs + L, m_vSamples[1].tStart);
    EXPECT_EQ(80 * kMs + L, m_vSamples[1].tStop);
    EXPECT_FALSE(m_vSamples[1].bDisc);
    EXPECT_EQ(80 * kMs + L, m_vSamples[2].tStart);
    EXPECT_TRUE(m_vSamples[2].bDisc);
    EXPECT_EQ(120 * kMs + L, m_vSamples[3].tStart);
    EXPECT_FALSE(m_vSamples[3].bDisc);
    EXPECT_EQ(160 * kMs + L, m_vSamples[4].tStart);
    EXPECT_TRUE(m_vSamples[4].bDisc);
    EXPECT_TRUE(m_vSamples[4].bSync);
    EXPECT_FALSE(m_vSamples[3].bSync);
    EXPECT_TRUE(trace.Contains("\nUDPSRC:DeliverData: Set discontinuity (startTime="));
    EXPECT_EQ(40 * kMs, m_pSource->Pin()->FrameDuration());
    EXPECT_EQ(5, m_pSource->Pin()->SamplesDelivered());
}

TEST_F(CPushPinTest, ParameterSetsGoInFrontOfAnIDRFrameThatHasNone)
{
    const CMediaType mt = H264Type();
    Build(&mt);
    Connect();
    ASSERT_EQ(S_OK, m_pGraph->Run());
    const std::vector<BYTE> idr = Nal(0x65, 300), slice = Nal(0x41, 200), sps = Nal(0x67, 20);
    const std::vector<BYTE> idrLong = Nal(0x65, 300, true);
    const DWORD dwKey = kFlagEndOfFrame | kFlagSyncPoint;
    REFERENCE_TIME t = 1000 * kMs;
    for (const auto& [pUnit, dwFlags] : std::vector<std::pair<const std::vector<BYTE>*, DWORD>>{
             {&idr, dwKey},        // the first IDR: parameter sets added
             {&idr, dwKey},        // they went down already
             {&slice, dwKey},      // a slice is no sync point, whatever it says
             {&idr, dwKey},        // after a slice: added again
             {&slice, kFlagEndOfFrame},
             {&sps, kFlagEndOfFrame},  // in band: nothing to add before the IDR after it
             {&idr, dwKey},
             {&slice, kFlagEndOfFrame},
             {&idrLong, dwKey}}) {  // a 4-byte start code
        ASSERT_EQ(S_OK, Deliver(*pUnit, t, 0, dwFlags, FALSE));
        t += 40 * kMs;
    }
    ASSERT_TRUE(WaitForSamples(9));
    std::lock_guard<std::mutex> lk(m_waiter.Mutex());
    auto withParams = [&](const std::vector<BYTE>& unit) {
        std::vector<BYTE> v = kParams;
        v.insert(v.end(), unit.begin(), unit.end());
        return v;
    };
    EXPECT_EQ(withParams(idr), m_vSamples[0].data);
    EXPECT_TRUE(m_vSamples[0].bSync);
    EXPECT_EQ(idr, m_vSamples[1].data);
    EXPECT_EQ(slice, m_vSamples[2].data);
    EXPECT_FALSE(m_vSamples[2].bSync);
    EXPECT_EQ(withParams(idr), m_vSamples[3].data);
    EXPECT_EQ(sps, m_vSamples[5].data);
    EXPECT_EQ(idr, m_vSamples[6].data);
    EXPECT_TRUE(m_vSamples[6].bSync);
    EXPECT_EQ(withParams(idrLong), m_vSamples[8].data);
}

TEST_F(CPushPinTest, FrameDurationIsMeasuredWhileStoppedAndTheTypeIsReconnectedWithIt)
{
    const CMediaType mt = H264Type();
    Build(&mt);
    Connect();
    const std::vector<BYTE> slice = Nal(0x41, 100);
    // Stopped: nothing goes down, but the time line learns the frame rate.
    ASSERT_EQ(S_OK, Deliver(slice, 5000 * kMs, 0, kFlagEndOfFrame, FALSE));
    ASSERT_EQ(S_OK, Deliver(slice, 5000 * kMs + 333333, 0, kFlagEndOfFrame, FALSE));
    EXPECT_EQ(333333, m_pSource->Pin()->FrameDuration());
    AM_MEDIA_TYPE amt;
    ASSERT_EQ(S_OK, m_pSource->Pin()->ConnectionMediaType(&amt));
    VIDEOINFOHEADER vih;
    ASSERT_GE(amt.cbFormat, sizeof(vih));
    memcpy(&vih, amt.pbFormat, sizeof(vih));
    FreeMediaType(amt);
    EXPECT_EQ(333333, vih.AvgTimePerFrame) << "the connection carries the measured duration";
    EXPECT_EQ(1, m_pSource->Host().m_cReset.load());  // a reconnection empties the DVR buffer

    // Measured once; a new Load measures again, and a running graph keeps
    // the reconnection for when it stops.
    m_pSource->Pin()->ResetFrameDuration();
    ASSERT_EQ(S_OK, m_pGraph->Run());
    ASSERT_EQ(S_OK, Deliver(slice, 9000 * kMs, 0, kFlagEndOfFrame, FALSE));
    ASSERT_EQ(S_OK, Deliver(slice, 9000 * kMs + 400000, 0, kFlagEndOfFrame, FALSE));
    EXPECT_EQ(1u, m_pGraph->PendingReconnects());
    ASSERT_TRUE(WaitForSamples(2));
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    EXPECT_EQ(0u, m_pGraph->PendingReconnects());
    ASSERT_EQ(S_OK, m_pSource->Pin()->ConnectionMediaType(&amt));
    memcpy(&vih, amt.pbFormat, sizeof(vih));
    FreeMediaType(amt);
    EXPECT_EQ(400000, vih.AvgTimePerFrame);
    CComPtr<IPin> pPeer;
    EXPECT_EQ(S_OK, m_pSource->Pin()->ConnectedTo(&pPeer));
}

TEST_F(CPushPinTest, NothingIsDeliveredWhileUnconnectedOrStopped)
{
    const CMediaType mt = graphtest::VideoType(MEDIASUBTYPE_MJPG, 0);
    Build(&mt);
    // Pushing does not need the DVR buffer.
    m_pSource->Host().m_bDVRWriting = false;
    const std::vector<BYTE> v(100, 0x22);
    EXPECT_EQ(S_OK, Deliver(v, 1, 0, 0, TRUE));
    Connect();
    EXPECT_EQ(S_OK, Deliver(v, 2, 0, 0, TRUE));
    ASSERT_EQ(S_OK, m_pGraph->Run());
    ASSERT_EQ(S_OK, Deliver(v, 3, 0, 0, TRUE));
    ASSERT_TRUE(WaitForSamples(1));
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    EXPECT_EQ(S_OK, Deliver(v, 4, 0, 0, TRUE));
    ASSERT_EQ(S_OK, m_pGraph->Pause());
    ASSERT_EQ(S_OK, Deliver(v, 5, 0, 0, TRUE));
    ASSERT_TRUE(WaitForSamples(2));
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    std::lock_guard<std::mutex> lk(m_waiter.Mutex());
    EXPECT_EQ(2u, m_vSamples.size());
    EXPECT_EQ(0u, SinkAllocator()->OutstandingCount());
}

TEST_F(CPushPinTest, PushedByteStreamIsTimedByItsOffsetsInFullBuffers)
{
    Build(nullptr);
    Connect();
    ASSERT_EQ(S_OK, m_pGraph->Run());
    // One 32 KiB buffer: each sample waits for the one before to come back.
    std::vector<BYTE> vAll;
    for (int i = 0; i < 10; i++) {
        std::vector<BYTE> v(7 * 188 * 10 + static_cast<size_t>(i));
        FillStream(v.data(), static_cast<LONGLONG>(vAll.size()), v.size(), 0);
        vAll.insert(vAll.end(), v.begin(), v.end());
        ASSERT_EQ(S_OK, Deliver(v, 0, 0, i == 9 ? kFlagEndOfFrame : 0, FALSE));
    }
    const size_t cSamples = (vAll.size() + 32767) / 32768;
    ASSERT_TRUE(WaitForSamples(cSamples));
    std::lock_guard<std::mutex> lk(m_waiter.Mutex());
    ASSERT_EQ(cSamples, m_vSamples.size());
    REFERENCE_TIME t = 0;
    std::vector<BYTE> vGot;
    for (const CSampleRecord& r : m_vSamples) {
        EXPECT_EQ(S_OK, r.hrTime);
        EXPECT_EQ(t, r.tStart);
        t += static_cast<REFERENCE_TIME>(r.data.size());
        EXPECT_EQ(t, r.tStop);
        vGot.insert(vGot.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(vAll, vGot);
    EXPECT_EQ(32768u, m_vSamples[0].data.size());
}

// A downstream filter that is slow now and then, and numbered units, so
// that a lost, doubled or reordered sample shows.
class CPushPinStressTest : public CPushPinTest, public ::testing::WithParamInterface<bool>
{
protected:
    // An MJPG source connected to the sink, delivering through the output
    // queue's thread or directly, as the parameter says.
    void SetUp() override
    {
        CPushPinTest::SetUp();
        const CMediaType mt = graphtest::VideoType(MEDIASUBTYPE_MJPG, 0);
        Build(&mt, GetParam());
        Connect();
    }
    HRESULT OnEvent(const CPushSinkEvent& ev) override
    {
        if (ev.eKind == CPushSinkEvent::kNewSegment) {
            m_waiter.Update([&] { m_dwLast = 0; });
            return S_OK;
        }
        if (ev.eKind != CPushSinkEvent::kSample)
            return S_OK;
        DWORD dw = 0;
        if (ev.cbData >= 4)
            memcpy(&dw, ev.pbData, 4);
        const bool bWhole = ev.cbData == kUnit && FindMismatch(ev.pbData + 8, 8, kUnit - 8, dw) < 0;
        // Slow down every 16th sample, so that the producer runs out of
        // buffers and waits in GetBuffer.
        if ((dw & 15) == 0) {
            volatile DWORD dwSpin = 0;
            for (int i = 0; i < 20000; i++)
                dwSpin = dwSpin + 1;
        }
        m_waiter.Update([&] {
            if (dw <= m_dwLast || !bWhole)
                m_bBroken = true;
            m_dwLast = dw;
            m_cReceived++;
        });
        return S_OK;
    }
    static constexpr LONG kUnit = 1000;
    // The receive thread: numbered units until told to stop.
    void Produce()
    {
        std::vector<BYTE> v(kUnit);
        for (DWORD dwSeq = 1; !m_bStop.load(); dwSeq++) {
            memcpy(v.data(), &dwSeq, 4);
            FillStream(v.data() + 8, 8, kUnit - 8, dwSeq);
            HRESULT hr = Deliver(v, 0, 0, 0, TRUE);
            if (hr != S_OK)
                m_hrProduce = hr;
            m_cProduced++;
        }
    }

    LONG Received()
    {
        std::lock_guard<std::mutex> lk(m_waiter.Mutex());
        return m_cReceived;
    }
    // Ends the producer; what the sink received must have been whole and in
    // order.
    void StopProducer(std::thread& producer)
    {
        m_bStop = true;
        producer.join();
        std::lock_guard<std::mutex> lk(m_waiter.Mutex());
        EXPECT_FALSE(m_bBroken);
    }

    std::atomic<bool> m_bStop{false};
    std::atomic<HRESULT> m_hrProduce{S_OK};
    std::atomic<LONG> m_cProduced{0};
    DWORD m_dwLast = 0;
    LONG m_cReceived = 0;
    bool m_bBroken = false;
};

// The source's own Stop and Pause race the receive thread while the sink
// keeps running; every Stop must return, and leave no sample out.
TEST_P(CPushPinStressTest, InactiveDuringBusyDeliveriesNeitherDeadlocksNorLeaks)
{
    ASSERT_EQ(S_OK, m_pSink->Pause());
    CMemAllocator* pAlloc = SinkAllocator();
    std::thread producer([this] { Produce(); });
    for (int i = 0; i < 1000; i++) {
        const LONG cBefore = Received();
        ASSERT_EQ(S_OK, m_pSource->Pause());
        ASSERT_TRUE(m_waiter.WaitFor([&] { return m_cReceived > cBefore; })) << i;
        ASSERT_EQ(S_OK, m_pSource->Stop());
        ASSERT_EQ(0, pAlloc->OutstandingCount()) << i;
    }
    StopProducer(producer);
    EXPECT_EQ(S_OK, m_hrProduce.load());
    // Units produced while stopped are dropped, never invented.
    EXPECT_GE(m_cProduced.load(), Received());
}

// Flushes from another thread race the deliveries: flushed samples go, the
// others keep their order, and no buffer is lost.
TEST_P(CPushPinStressTest, FlushesRacingDeliveriesKeepOrderAndLoseNoBuffers)
{
    ASSERT_EQ(S_OK, m_pGraph->Run());
    std::thread producer([this] { Produce(); });
    for (int i = 0; i < 200; i++) {
        const LONG cBefore = Received();
        ASSERT_TRUE(m_waiter.WaitFor([&] { return m_cReceived > cBefore; })) << i;
        ASSERT_EQ(S_OK, m_pSource->Pin()->BeginFlush());
        ASSERT_EQ(S_OK, m_pSource->Pin()->EndFlush());
    }
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    StopProducer(producer);
    EXPECT_EQ(0, SinkAllocator()->OutstandingCount());
}

// Flushes on a third thread race both: a flush may hold the output queue
// when Stop lets go of it, and then deletes it itself.
TEST_P(CPushPinStressTest, FlushesRacingStopsAndDeliveriesLoseNoBuffers)
{
    ASSERT_EQ(S_OK, m_pSink->Pause());
    std::thread producer([this] { Produce(); });
    std::atomic<bool> bStopFlushing{false};
    std::thread flusher([&] {
        while (!bStopFlushing.load()) {
            (void)m_pSource->Pin()->BeginFlush();
            (void)m_pSource->Pin()->EndFlush();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 300; i++) {
        ASSERT_EQ(S_OK, m_pSource->Pause());
        ASSERT_EQ(S_OK, m_pSource->Stop());
    }
    bStopFlushing = true;
    flusher.join();
    StopProducer(producer);
    EXPECT_EQ(0, SinkAllocator()->OutstandingCount());
}

// The whole graph stops (the sink first, which takes its allocator back
// under the producer) and runs again.
TEST_P(CPushPinStressTest, GraphStopsAndRunsUnderDeliveries)
{
    std::thread producer([this] { Produce(); });
    for (int i = 0; i < 100; i++) {
        const LONG cBefore = Received();
        ASSERT_EQ(S_OK, m_pGraph->Run());
        ASSERT_TRUE(m_waiter.WaitFor([&] { return m_cReceived > cBefore; })) << i;
        ASSERT_EQ(S_OK, m_pGraph->Stop());
        ASSERT_EQ(0, SinkAllocator()->OutstandingCount()) << i;
    }
    StopProducer(producer);
}

INSTANTIATE_TEST_SUITE_P(QueueModes, CPushPinStressTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("QueueThread") : std::string("Direct");
                         });

TEST_F(CPushPinTest, UnitsBetweenLoadAndTheFirstRunAreDeliveredFromWhereADecoderCanStart)
{
    const CMediaType mt = H264Type();
    Build(&mt);
    m_pSource->Host().m_bDVRWriting = false;
    // What Load does before the stream is described and the graph built.
    m_pSource->Pin()->RestartHold();
    const std::vector<BYTE> sei = Nal(0x06, 40), idr = Nal(0x65, 300), slice = Nal(0x41, 200);
    std::vector<BYTE> seiIdr = sei;  // a key frame that opens with an SEI
    seiIdr.insert(seiIdr.end(), idr.begin(), idr.end());
    REFERENCE_TIME t = 1000 * kMs;
    auto send = [&](const std::vector<BYTE>& v, DWORD dwFlags) {
        ASSERT_EQ(S_OK, Deliver(v, t, 5 * kMs, dwFlags, FALSE));
        t += 40 * kMs;
    };
    send(slice, kFlagEndOfFrame);  // the tail of a group: no decoder starts here
    send(seiIdr, kFlagEndOfFrame | kFlagSyncPoint);
    send(slice, kFlagEndOfFrame);
    Connect();
    send(slice, kFlagEndOfFrame);
    ASSERT_EQ(S_OK, m_pGraph->Run());
    send(idr, kFlagEndOfFrame | kFlagSyncPoint);
    ASSERT_TRUE(WaitForSamples(4));
    {
        std::lock_guard<std::mutex> lk(m_waiter.Mutex());
        ASSERT_EQ(4u, m_vSamples.size());
        EXPECT_EQ(seiIdr, m_vSamples[0].data);
        EXPECT_EQ(slice, m_vSamples[1].data);
        EXPECT_EQ(slice, m_vSamples[2].data);
        std::vector<BYTE> withParams = kParams;  // an IDR frame after slices
        withParams.insert(withParams.end(), idr.begin(), idr.end());
        EXPECT_EQ(withParams, m_vSamples[3].data);
        // The kept units keep their own spacing on the time line.
        for (size_t i = 0; i < 4; i++)
            EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * 40 * kMs + 5 * kMs, m_vSamples[i].tStart) << i;
    }
    // Only the first run after a load takes what came before it.
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    send(idr, kFlagEndOfFrame | kFlagSyncPoint);
    ASSERT_EQ(S_OK, m_pGraph->Run());
    send(slice, kFlagEndOfFrame);
    ASSERT_TRUE(WaitForSamples(5));
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    std::lock_guard<std::mutex> lk(m_waiter.Mutex());
    ASSERT_EQ(5u, m_vSamples.size());
    EXPECT_EQ(slice, m_vSamples[4].data);
    EXPECT_EQ(0u, SinkAllocator()->OutstandingCount());
}
