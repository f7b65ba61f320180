// A real sender through the push path: ffmpeg sends H.264 over RTP to a
// loopback port this test binds; the datagrams go through the RTP parser and
// the mini parser as the receive thread runs them, the units are pushed
// through the pin into a sink that writes them out, and ffmpeg must decode
// the result without error and with every frame that was sent. (Parameter
// sets given out of band, and JPEG, go the whole way through the filter in
// its own interop tests.)
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "dshowflt/common/rtp/miniparser.h"
#include "dshowflt/common/rtp/rtpinterop_testutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/pintestutil.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pushsink.h"
#include "platform/graph/testfilters.h"

using namespace pintest;
using namespace rtptest;

namespace {

constexpr int kFrames = 30;

std::vector<Unit> Depacketise(CRTPParser& parser, const std::vector<Bytes>& vPackets)
{
    std::vector<Unit> vUnits;
    for (const Bytes& p : vPackets) {
        if (IsRtcp(p))
            continue;  // RTCP sent to the same port
        FeedResult r = Feed(parser, p);
        vUnits.insert(vUnits.end(), r.units.begin(), r.units.end());
    }
    return vUnits;
}

// The source, a sink that keeps every byte pushed, and the graph.
class CPushInterop
{
public:
    explicit CPushInterop(const AM_MEDIA_TYPE* pmt)
    {
        EXPECT_EQ(S_OK, CFilterGraph::Create(&m_pGraph));
        EXPECT_EQ(S_OK, CTestSource::Create(nullptr, CWString(), &m_pSource));
        EXPECT_EQ(S_OK, m_pSource->SetOutputMediaType(pmt));
        EXPECT_EQ(S_OK, CPushSink::Create(
                            [this](const CPushSinkEvent& ev) {
                                if (ev.eKind == CPushSinkEvent::kSample)
                                    m_waiter.Update([&] {
                                        m_vData.insert(m_vData.end(), ev.pbData, ev.pbData + ev.cbData);
                                        m_cSamples++;
                                        m_bTimesRise &= ev.hrTime == S_OK && ev.tStart >= m_tLast;
                                        m_tLast = ev.tStart;
                                    });
                                return S_OK;
                            },
                            nullptr, true, &m_pSink));
        EXPECT_EQ(S_OK, m_pGraph->AddFilter(m_pSource, u"source"));
        EXPECT_EQ(S_OK, m_pGraph->AddFilter(m_pSink, u"sink"));
        EXPECT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSource->Pin(), m_pSink->InputPin(), nullptr));
        EXPECT_EQ(S_OK, m_pGraph->Run());
    }
    ~CPushInterop()
    {
        (void)m_pGraph->Stop();
        m_pGraph->Release();
        m_pSink->Release();
        m_pSource->Release();
    }
    // As the data pipeline hands units on: every JPEG unit completes a
    // sample; H.264 samples end at the parser's end-of-frame flag.
    void Push(const std::vector<Unit>& vUnits, BOOL bEndOfUnit)
    {
        for (const Unit& u : vUnits)
            ASSERT_EQ(S_OK, m_pSource->Pin()->DeliverData(u.data.data(), static_cast<LONG>(u.data.size()), u.rtTime,
                                                          0, u.dwFlags, bEndOfUnit));
    }
    bool WaitForSamples(LONG n)
    {
        return m_waiter.WaitFor([&] { return m_cSamples >= n; });
    }

    graphtest::CWaiter m_waiter;
    std::vector<BYTE> m_vData;
    LONG m_cSamples = 0;
    bool m_bTimesRise = true;
    REFERENCE_TIME m_tLast = MIN_INT64;

private:
    CFilterGraph* m_pGraph = nullptr;
    CTestSource* m_pSource = nullptr;
    CPushSink* m_pSink = nullptr;
};

}  // namespace

class CPushInteropTest : public ::testing::Test
{
public:
    static void SetUpTestSuite()
    {
        std::string strOut;
        const std::string strMp4 = TempPath("h264.mp4");
        // GOP of 10: three IDR frames.
        ASSERT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 "
                                "-c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p " + strMp4, &strOut))
            << strOut;
        std::string strError;
        // The parameter sets go in band before every IDR frame.
        ASSERT_TRUE(Capture("ffmpeg -nostdin -v error -re -i " + strMp4 +
                                " -c:v copy -bsf:v h264_mp4toannexb -f rtp -payload_type 96 "
                                "'rtp://127.0.0.1:PORT?rtcpport=PORT&pkt_size=700'",
                            &s_h264, &strError))
            << strError;
    }

    static std::vector<Unit> H264Units()
    {
        CRTPParser parser;
        parser.SetClockRate(90000);
        parser.SetPayloadType(96, RTPFORMAT_H264);
        return Depacketise(parser, s_h264);
    }

    static inline std::vector<Bytes> s_h264;
};

TEST_F(CPushInteropTest, H264WithParameterSetsInBandDecodesEveryFrame)
{
    const std::vector<Unit> vUnits = H264Units();
    ASSERT_EQ(static_cast<size_t>(kFrames), vUnits.size());
    CMiniParserH264 mini;
    HRESULT hr = S_FALSE;
    for (size_t i = 0; i < vUnits.size() && hr != S_OK; i++)
        hr = mini.CheckSequenceHeader(vUnits[i].data.data(), static_cast<LONG>(vUnits[i].data.size()));
    ASSERT_EQ(S_OK, hr);
    CMediaType mt;
    ASSERT_EQ(S_OK, mini.FillMediaType(&mt));

    CPushInterop push(&mt);
    push.Push(vUnits, FALSE);
    ASSERT_TRUE(push.WaitForSamples(kFrames));
    std::lock_guard<std::mutex> lk(push.m_waiter.Mutex());
    EXPECT_TRUE(push.m_bTimesRise);
    const std::string strFile = TempPath("inband.h264");
    commontest::WriteFileBytes(strFile, push.m_vData);
    std::string strOut;
    EXPECT_EQ(kFrames, FfmpegFrames("-f h264 -i " + strFile, &strOut)) << strOut;
    EXPECT_EQ("", strOut);
}
