#include "platform/graph/pullreader.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/graph/filtergraph.h"
#include "platform/graph/testfilters.h"

using graphtest::CToyPullSource;
using graphtest::CWaiter;

namespace {

class CPullReaderTest : public ::testing::Test
{
protected:
    void Build(const CPullReaderConfig& config)
    {
        ASSERT_EQ(CFilterGraph::Create(&m_pGraph), S_OK);
        m_pSource = new CToyPullSource();
        m_pSourceOwner.Attach(m_pSource);
        CPullReader* pReader = nullptr;
        ASSERT_EQ(CPullReader::Create(
                      config,
                      [this](LONGLONG llPos, const BYTE* pb, LONG cb) {
                          m_waiter.Update([&] {
                              // Bytes must come in stream order, without gaps.
                              if (llPos != static_cast<LONGLONG>(m_vGot.size()))
                                  m_bOutOfOrder = true;
                              m_vGot.insert(m_vGot.end(), pb, pb + cb);
                          });
                          return S_OK;
                      },
                      [this](HRESULT hr) {
                          m_waiter.Update([&] {
                              m_hrEnd = hr;
                              m_cEnds++;
                          });
                      },
                      &pReader),
                  S_OK);
        m_pReader.Attach(pReader);
        ASSERT_EQ(m_pGraph->AddFilter(m_pSource, u"source"), S_OK);
        ASSERT_EQ(m_pGraph->AddFilter(m_pReader, u"reader"), S_OK);
        m_pReaderPin = pReader->InputPin();
    }
    void TearDown() override
    {
        if (m_pGraph) {
            (void)m_pGraph->Stop();
            m_pGraph->Release();
        }
    }
    // Deterministic data, appended in uneven chunks from another thread.
    static std::vector<BYTE> Pattern(size_t cb)
    {
        std::vector<BYTE> v(cb);
        uint32_t x = 12345;
        for (BYTE& b : v) {
            x = x * 1103515245u + 12345u;
            b = static_cast<BYTE>(x >> 16);
        }
        return v;
    }
    void Feed(const std::vector<BYTE>& v, size_t iFrom, bool bFinish)
    {
        size_t i = iFrom, n = 1;
        while (i < v.size()) {
            size_t cb = std::min(v.size() - i, (n * 977) % 3001 + 1);
            m_pSource->Append(std::vector<BYTE>(v.begin() + static_cast<std::ptrdiff_t>(i),
                                                v.begin() + static_cast<std::ptrdiff_t>(i + cb)));
            i += cb;
            n++;
        }
        if (bFinish)
            m_pSource->Finish();
    }

    CFilterGraph* m_pGraph = nullptr;
    CToyPullSource* m_pSource = nullptr;
    CComPtr<IBaseFilter> m_pSourceOwner;
    CComPtr<IBaseFilter> m_pReader;
    IPin* m_pReaderPin = nullptr;
    CWaiter m_waiter;
    std::vector<BYTE> m_vGot;
    bool m_bOutOfOrder = false;
    HRESULT m_hrEnd = E_UNEXPECTED;
    int m_cEnds = 0;
};

}  // namespace

TEST_F(CPullReaderTest, ReadsAGrowingSourceExactlyInAlignedRequests)
{
    CPullReaderConfig config;
    config.cbRequest = 1000;
    config.cRequestsInFlight = 3;
    Build(config);
    ASSERT_EQ(m_pGraph->ConnectDirect(m_pSource->Pin(), m_pReaderPin, nullptr), S_OK);
    AM_MEDIA_TYPE mt;
    ASSERT_EQ(m_pReaderPin->ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(mt.subtype, MEDIASUBTYPE_UDPStream);
    FreeMediaType(mt);

    ASSERT_EQ(m_pGraph->Run(), S_OK);
    const std::vector<BYTE> vData = Pattern(50021);  // ends inside a request
    std::thread writer([&] { Feed(vData, 0, true); });
    ASSERT_TRUE(m_waiter.WaitFor([&] { return m_cEnds == 1; }));
    writer.join();
    EXPECT_EQ(m_hrEnd, S_OK);
    EXPECT_FALSE(m_bOutOfOrder);
    EXPECT_EQ(m_vGot, vData);

    // Every request had the configured size, at the next offset, aligned.
    auto vReq = m_pSource->Requests();
    ASSERT_GE(vReq.size(), 51u);
    for (size_t i = 0; i < vReq.size(); i++) {
        EXPECT_EQ(vReq[i].first, static_cast<LONGLONG>(i) * 1000);
        EXPECT_EQ(vReq[i].second, 1000);
    }
    long lCode = 0;
    LONG_PTR l1 = 0, l2 = 0;
    ASSERT_EQ(m_pGraph->GetEvent(&lCode, &l1, &l2, 5000), S_OK);
    EXPECT_EQ(lCode, EC_COMPLETE);
}

TEST_F(CPullReaderTest, ShortReadsOfALiveSourceAreContinuedNotTakenAsTheEnd)
{
    CPullReaderConfig config;
    config.cbRequest = 4096;
    config.cRequestsInFlight = 3;
    Build(config);
    m_pSource->SetShortReads(true);
    ASSERT_EQ(m_pGraph->ConnectDirect(m_pSource->Pin(), m_pReaderPin, nullptr), S_OK);
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    // Steps smaller than a request and not multiples of the source's
    // alignment: each one reaches the reader only through a short read, and
    // the continuation after it starts below bytes already handed out.
    const std::vector<BYTE> vData = Pattern(30 * 1001);
    for (size_t i = 0; i < vData.size(); i += 1001) {
        m_pSource->Append(std::vector<BYTE>(vData.begin() + static_cast<std::ptrdiff_t>(i),
                                            vData.begin() + static_cast<std::ptrdiff_t>(i + 1001)));
        ASSERT_TRUE(m_waiter.WaitFor([&] { return m_vGot.size() >= i + 1001 || m_cEnds > 0; })) << i;
        ASSERT_EQ(m_cEnds, 0) << "a short read taken as the end at " << i;
    }
    m_pSource->Finish();
    ASSERT_TRUE(m_waiter.WaitFor([&] { return m_cEnds == 1; }));
    EXPECT_EQ(m_hrEnd, S_OK);
    EXPECT_FALSE(m_bOutOfOrder);
    EXPECT_EQ(m_vGot, vData);
    for (const auto& [llPos, cb] : m_pSource->Requests())
        EXPECT_EQ(0, llPos % CToyPullSource::kAlign) << llPos;
}

TEST_F(CPullReaderTest, StopWhileWaitingForDataThenRunAgainFromTheStart)
{
    CPullReaderConfig config;
    config.cbRequest = 4096;
    config.dwWaitMs = 20;
    Build(config);
    ASSERT_EQ(m_pGraph->ConnectDirect(m_pSource->Pin(), m_pReaderPin, nullptr), S_OK);
    const std::vector<BYTE> vData = Pattern(10000);
    m_pSource->Append(std::vector<BYTE>(vData.begin(), vData.begin() + 500));
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    // Wait until the reader has asked for the first block, which cannot be
    // served yet; Stop must get the reader's thread out of that wait.
    ASSERT_TRUE(graphtest::SpinFor([&] { return !m_pSource->Requests().empty(); }));
    ASSERT_EQ(m_pGraph->Stop(), S_OK);
    {
        std::lock_guard<std::mutex> lk(m_waiter.Mutex());
        EXPECT_EQ(m_cEnds, 0);  // stopping is not an end of stream
        EXPECT_TRUE(m_vGot.empty());
    }
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    Feed(vData, 500, true);
    ASSERT_TRUE(m_waiter.WaitFor([&] { return m_cEnds == 1; }));
    EXPECT_EQ(m_hrEnd, S_OK);
    EXPECT_EQ(m_vGot, vData);
}

TEST_F(CPullReaderTest, ConnectionFailsCleanlyWithoutTheReaderInterfaceAsked)
{
    CPullReaderConfig config;
    config.iidReader = IID_IAsyncReader3;  // the toy source has only IAsyncReader
    Build(config);
    EXPECT_EQ(m_pGraph->ConnectDirect(m_pSource->Pin(), m_pReaderPin, nullptr), E_NOINTERFACE);
    CComPtr<IPin> pPeer;
    EXPECT_EQ(m_pReaderPin->ConnectedTo(&pPeer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(m_pSource->Pin()->ConnectedTo(&pPeer), VFW_E_NOT_CONNECTED);
    // Nothing to read, nothing to run.
    EXPECT_EQ(m_pGraph->Run(), S_OK);
}
