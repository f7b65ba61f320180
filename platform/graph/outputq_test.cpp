#include "platform/graph/outputq.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/graph/filtergraph.h"
#include "platform/graph/pushsink.h"
#include "platform/graph/testfilters.h"
#include "platform/sync.h"

using graphtest::CToyPushSource;
using graphtest::CWaiter;

namespace {

struct CRecord
{
    CPushSinkEvent::EKind eKind;
    std::string strData;
    HRESULT hrTime;
    REFERENCE_TIME tStart;
    REFERENCE_TIME tStop;
    bool bSync;
    bool bDisc;
    std::thread::id idThread;
};

// Source -> sink through the source's output queue, in a graph.
class CPushPathTest : public ::testing::Test
{
protected:
    void Build(bool bSinkCanBlock, CToyPushSource::CQueueConfig cfg = {}, LONG cBuffers = 3)
    {
        ASSERT_EQ(CFilterGraph::Create(&m_pGraph), S_OK);
        m_pSource = new CToyPushSource({graphtest::VideoType(MEDIASUBTYPE_H264)}, cBuffers);
        m_pSourceOwner.Attach(m_pSource);
        m_pSource->m_queueConfig = cfg;
        CPushSink* pSink = nullptr;
        ASSERT_EQ(CPushSink::Create([this](const CPushSinkEvent& ev) { return OnEvent(ev); }, {}, bSinkCanBlock,
                                    &pSink),
                  S_OK);
        m_pSink.Attach(pSink);
        ASSERT_EQ(m_pGraph->AddFilter(m_pSource, u"source"), S_OK);
        ASSERT_EQ(m_pGraph->AddFilter(m_pSink, u"sink"), S_OK);
        ASSERT_EQ(m_pGraph->ConnectDirect(m_pSource->Pin(), pSink->InputPin(), nullptr), S_OK);
    }
    void TearDown() override
    {
        if (m_pGraph) {
            (void)m_pGraph->Stop();
            m_pGraph->Release();
        }
    }

    HRESULT OnEvent(const CPushSinkEvent& ev)
    {
        CRecord r{ev.eKind, std::string(reinterpret_cast<const char*>(ev.pbData), ev.pbData ? ev.cbData : 0),
                  ev.hrTime, ev.tStart, ev.tStop, ev.bSyncPoint, ev.bDiscontinuity, std::this_thread::get_id()};
        m_waiter.Update([&] { m_vRecords.push_back(r); });
        if (ev.eKind == CPushSinkEvent::kBeginFlush)
            m_waiter.Update([&] { m_bGateOpen = true; });
        if (ev.eKind == CPushSinkEvent::kSample && m_bUseGate) {
            if (!m_waiter.WaitFor([&] { return m_bGateOpen; }))
                return E_FAIL;
        }
        if (ev.eKind == CPushSinkEvent::kSample && r.strData == m_strFailOn)
            return E_FAIL;
        if (ev.eKind == CPushSinkEvent::kSample && r.strData == m_strHold) {
            // Refused as a sample that a flush overtook, once the test says.
            if (!m_waiter.WaitFor([&] { return m_bGateOpen && m_bReleased; }))
                return E_FAIL;
            return S_FALSE;
        }
        return S_OK;
    }
    size_t Count(CPushSinkEvent::EKind eKind)
    {
        size_t n = 0;
        for (const CRecord& r : m_vRecords)
            n += r.eKind == eKind;
        return n;
    }
    std::vector<CRecord> Records()
    {
        std::lock_guard<std::mutex> lk(m_waiter.Mutex());
        return m_vRecords;
    }

    CFilterGraph* m_pGraph = nullptr;
    CToyPushSource* m_pSource = nullptr;
    CComPtr<IBaseFilter> m_pSourceOwner;
    CComPtr<IBaseFilter> m_pSink;
    CWaiter m_waiter;
    std::vector<CRecord> m_vRecords;
    bool m_bUseGate = false;  // set before Run, read by the delivering thread
    bool m_bGateOpen = false;
    std::string m_strFailOn;
    std::string m_strHold;  // held until a flush began and the test released it
    bool m_bReleased = false;
};

}  // namespace

TEST_F(CPushPathTest, SamplesArriveInOrderWithTimesAndFlagsThenEndOfStream)
{
    for (bool bCanBlock : {true, false}) {
        SCOPED_TRACE(bCanBlock ? "queue thread" : "direct");
        TearDown();
        m_pGraph = nullptr;
        m_vRecords.clear();
        Build(bCanBlock);
        ASSERT_EQ(m_pGraph->Run(), S_OK);
        for (int i = 0; i < 20; i++) {
            ASSERT_EQ(m_pSource->Pin()->Send("s" + std::to_string(i), i * 400000LL, (i + 1) * 400000LL, i % 5 == 0,
                                             i == 7),
                      S_OK);
        }
        m_pSource->Pin()->WithQueue([](COutputQueue* q) { q->EOS(); });
        ASSERT_TRUE(m_waiter.WaitFor([&] { return Count(CPushSinkEvent::kEndOfStream) == 1; }));

        std::vector<CRecord> v = Records();
        ASSERT_EQ(v.size(), 22u);
        EXPECT_EQ(v.front().eKind, CPushSinkEvent::kNewSegment);
        EXPECT_EQ(v.front().tStop, MAX_INT64);
        for (int i = 0; i < 20; i++) {
            const CRecord& r = v[static_cast<size_t>(i) + 1];
            ASSERT_EQ(r.eKind, CPushSinkEvent::kSample);
            EXPECT_EQ(r.strData, "s" + std::to_string(i));
            EXPECT_EQ(r.hrTime, S_OK);
            EXPECT_EQ(r.tStart, i * 400000LL);
            EXPECT_EQ(r.tStop, (i + 1) * 400000LL);
            EXPECT_EQ(r.bSync, i % 5 == 0);
            EXPECT_EQ(r.bDisc, i == 7);
            // With a sink that may block, the queue's own thread delivers.
            EXPECT_EQ(r.idThread != std::this_thread::get_id(), bCanBlock);
        }
        EXPECT_EQ(v.back().eKind, CPushSinkEvent::kEndOfStream);

        // The sink reports the end of the stream to the application.
        long lCode = 0;
        LONG_PTR l1 = 0, l2 = 0;
        ASSERT_EQ(m_pGraph->GetEvent(&lCode, &l1, &l2, 5000), S_OK);
        EXPECT_EQ(lCode, EC_COMPLETE);
    }
}

TEST_F(CPushPathTest, FlushDropsQueuedSamplesAndReleasesABlockedDelivery)
{
    m_bUseGate = true;
    Build(true);
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    // s1 is stuck in the sink; s2 and s3 wait in the queue, using the last
    // of the three buffers.
    ASSERT_EQ(m_pSource->Pin()->Send("s1", 0, 1, true, false), S_OK);
    ASSERT_TRUE(m_waiter.WaitFor([&] { return Count(CPushSinkEvent::kSample) == 1; }));
    ASSERT_EQ(m_pSource->Pin()->Send("s2", 1, 2, false, false), S_OK);
    ASSERT_EQ(m_pSource->Pin()->Send("s3", 2, 3, false, false), S_OK);

    // The sink's flush opens the gate, as a real sink's flush makes its
    // blocked Receive return.
    m_pSource->Pin()->WithQueue([](COutputQueue* q) {
        q->BeginFlush();
        EXPECT_EQ(q->IsQueued(), true);
    });
    m_pSource->Pin()->WithQueue([](COutputQueue* q) {
        q->EndFlush();
        EXPECT_TRUE(q->IsIdle());
    });
    // The dropped samples went back to the allocator, so this does not block.
    ASSERT_EQ(m_pSource->Pin()->Send("s4", 3, 4, true, true), S_OK);
    ASSERT_TRUE(m_waiter.WaitFor([&] { return Count(CPushSinkEvent::kSample) == 2; }));

    std::vector<CRecord> v = Records();
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0].eKind, CPushSinkEvent::kNewSegment);
    EXPECT_EQ(v[1].strData, "s1");
    EXPECT_EQ(v[2].eKind, CPushSinkEvent::kBeginFlush);
    EXPECT_EQ(v[3].eKind, CPushSinkEvent::kEndFlush);
    EXPECT_EQ(v[4].strData, "s4");
    EXPECT_TRUE(v[4].bDisc);
}

TEST_F(CPushPathTest, DeliveryFailureRefusesLaterSamplesUntilFlush)
{
    m_strFailOn = "bad";
    Build(false);  // direct: the failure comes straight back to the producer
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    EXPECT_EQ(m_pSource->Pin()->Send("ok", 0, 1, false, false), S_OK);
    EXPECT_EQ(m_pSource->Pin()->Send("bad", 1, 2, false, false), E_FAIL);
    EXPECT_EQ(m_pSource->Pin()->Send("dropped", 2, 3, false, false), E_FAIL);
    m_pSource->Pin()->WithQueue([](COutputQueue* q) {
        q->BeginFlush();
        q->EndFlush();
    });
    EXPECT_EQ(m_pSource->Pin()->Send("after", 3, 4, false, false), S_OK);
    std::vector<CRecord> v = Records();
    std::vector<std::string> vData;
    for (const CRecord& r : v) {
        if (r.eKind == CPushSinkEvent::kSample)
            vData.push_back(r.strData);
    }
    EXPECT_EQ(vData, (std::vector<std::string>{"ok", "bad", "after"}));
}

TEST_F(CPushPathTest, DirectDeliveryRefusedDuringAFlushDoesNotRefuseWhatFollows)
{
    m_strHold = "held";
    Build(false);
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    // Taken before the producer holds the pin's queue lock in Send.
    COutputQueue* pQueue = m_pSource->Pin()->QueueWhileActive();
    ASSERT_NE(pQueue, nullptr);
    HRESULT hrHeld = E_UNEXPECTED;
    std::thread producer([&] { hrHeld = m_pSource->Pin()->Send("held", 0, 1, true, false); });
    ASSERT_TRUE(m_waiter.WaitFor([&] { return Count(CPushSinkEvent::kSample) == 1; }));
    pQueue->BeginFlush();
    CAMEvent evEnded;
    std::thread ender([&] {
        pQueue->EndFlush();
        evEnded.Set();
    });
    // The flush ends only after the delivery it overtook has come back, so
    // that the refusal is taken for what the flush dropped...
    EXPECT_FALSE(evEnded.Wait(200));
    m_waiter.Update([&] { m_bReleased = true; });
    ender.join();
    producer.join();
    EXPECT_EQ(S_FALSE, hrHeld);
    // ...and not for everything after it.
    EXPECT_EQ(S_OK, m_pSource->Pin()->Send("after", 1, 2, true, false));
    ASSERT_TRUE(m_waiter.WaitFor([&] { return Count(CPushSinkEvent::kSample) == 2; }));
    EXPECT_EQ("after", Records().back().strData);
}

TEST_F(CPushPathTest, SmallListAndBatchesKeepEveryProducedSampleInOrder)
{
    CToyPushSource::CQueueConfig cfg;
    cfg.lListSize = 2;
    cfg.lBatchSize = 3;
    cfg.bBatchExact = TRUE;
    Build(true, cfg, 8);
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    // The producer outruns the list; Receive waits for room rather than
    // dropping. An exact batch waits for its third sample or for the end.
    std::thread producer([&] {
        for (int i = 0; i < 50; i++)
            EXPECT_EQ(m_pSource->Pin()->Send(std::to_string(i), i, i + 1, false, false), S_OK);
        m_pSource->Pin()->WithQueue([](COutputQueue* q) { q->EOS(); });
    });
    ASSERT_TRUE(m_waiter.WaitFor([&] { return Count(CPushSinkEvent::kEndOfStream) == 1; }));
    producer.join();
    std::vector<CRecord> v = Records();
    int nNext = 0;
    for (const CRecord& r : v) {
        if (r.eKind == CPushSinkEvent::kSample) {
            EXPECT_EQ(r.strData, std::to_string(nNext++));
        }
    }
    EXPECT_EQ(nNext, 50);
}

TEST_F(CPushPathTest, FlushesRacingTheProducerLoseNoBuffersAndKeepOrder)
{
    CToyPushSource::CQueueConfig cfg;
    cfg.lListSize = 3;
    Build(true, cfg, 4);
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    COutputQueue* pQueue = m_pSource->Pin()->QueueWhileActive();
    ASSERT_NE(pQueue, nullptr);
    constexpr int kSamples = 400;
    std::thread producer([&] {
        for (int i = 0; i < kSamples; i++) {
            HRESULT hr = m_pSource->Pin()->Send(std::to_string(i), i, i + 1, false, false);
            EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << hr;  // S_FALSE: dropped by a flush
        }
    });
    for (int j = 0; j < 40; j++) {
        pQueue->BeginFlush();
        pQueue->EndFlush();
    }
    producer.join();
    // After the last flush nothing refuses samples any more.
    ASSERT_EQ(m_pSource->Pin()->Send("last", kSamples, kSamples + 1, false, false), S_OK);
    ASSERT_TRUE(m_waiter.WaitFor([&] { return !m_vRecords.empty() && m_vRecords.back().strData == "last"; }));
    int nPrev = -1;
    for (const CRecord& r : Records()) {
        if (r.eKind != CPushSinkEvent::kSample || r.strData == "last")
            continue;
        const int n = std::stoi(r.strData);
        EXPECT_GT(n, nPrev);
        nPrev = n;
    }
    ASSERT_EQ(m_pGraph->Stop(), S_OK);
    // Every buffer came home: the allocator can change its properties.
    CComPtr<IMemAllocator> pAlloc;
    ASSERT_EQ(static_cast<CBaseInputPin*>(static_cast<CPushSink*>(m_pSink.Get())->GetPin(0))->GetAllocator(&pAlloc),
              S_OK);
    ALLOCATOR_PROPERTIES props, actual;
    ASSERT_EQ(pAlloc->GetProperties(&props), S_OK);
    EXPECT_EQ(pAlloc->SetProperties(&props, &actual), S_OK);
}

TEST_F(CPushPathTest, ShutDownQueueDeliversNothingMoreButStillPassesFlushes)
{
    for (bool bCanBlock : {true, false}) {
        TearDown();
        m_pGraph = nullptr;
        m_vRecords.clear();
        Build(bCanBlock);
        ASSERT_EQ(m_pGraph->Run(), S_OK);
        CComPtr<IPin> pInput;
        ASSERT_EQ(m_pSink->FindPin(u"Input", &pInput), S_OK);
        CComPtr<IMemAllocator> pAlloc;
        ALLOCATOR_PROPERTIES req = {2, 64, 1, 0}, actual;
        ASSERT_EQ(CMemAllocator::Create(&pAlloc), S_OK);
        ASSERT_EQ(pAlloc->SetProperties(&req, &actual), S_OK);
        ASSERT_EQ(pAlloc->Commit(), S_OK);
        HRESULT hr = S_OK;
        COutputQueue queue(pInput, &hr);
        ASSERT_EQ(hr, S_OK);
        IMediaSample* pSample = nullptr;
        ASSERT_EQ(pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0), S_OK);
        ASSERT_EQ(queue.Receive(pSample), S_OK);
        ASSERT_TRUE(m_waiter.WaitFor([&] { return Count(CPushSinkEvent::kSample) == 1; }));

        queue.Shutdown();
        const size_t cBefore = Records().size();
        ASSERT_EQ(pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0), S_OK);
        EXPECT_EQ(queue.Receive(pSample), VFW_E_WRONG_STATE);
        queue.EOS();
        queue.NewSegment(0, 1000, 1.0);
        EXPECT_EQ(Records().size(), cBefore);
        EXPECT_EQ(static_cast<CMemAllocator*>(pAlloc.Get())->OutstandingCount(), 0);
        // A flush that still holds the queue reaches downstream.
        queue.BeginFlush();
        queue.EndFlush();
        std::lock_guard<std::mutex> lk(m_waiter.Mutex());
        EXPECT_EQ(Count(CPushSinkEvent::kBeginFlush), 1u);
        EXPECT_EQ(Count(CPushSinkEvent::kEndFlush), 1u);
        EXPECT_EQ(Count(CPushSinkEvent::kEndOfStream), 0u);
    }
}
