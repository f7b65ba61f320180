// Real senders: ffmpeg and GStreamer send H.264, JPEG and raw video over
// RTP to a loopback port that the test binds; the captured datagrams go
// through CRTPParser as received, shuffled within a window of four, and with
// one packet in a hundred dropped. The rebuilt units are checked by decoding
// them with ffmpeg, and raw frames against the file GStreamer wrote.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "dshowflt/common/rtp/rtpparser.h"
#include "dshowflt/common/rtp/rtpinterop_testutil.h"

using namespace rtptest;

namespace {

constexpr int kFrames = 30;
constexpr int kWidth = 320, kHeight = 240;

DWORD SeqOf(const Bytes& p)
{
    return (DWORD(p[2]) << 8) | p[3];
}

DWORD StampOf(const Bytes& p)
{
    return (DWORD(p[4]) << 24) | (DWORD(p[5]) << 16) | (DWORD(p[6]) << 8) | p[7];
}

// With KV_RTP_WRITE_CORPUS=<fuzz/corpus> set, the first packets of each
// capture become seeds for the fuzz targets: the whole datagrams for the
// header target, the payload records for the de-packetiser's target.
void WriteCorpus(const std::string& strName, const std::vector<Bytes>& pkts, BYTE bHeaderConfig,
                 const std::string& strTarget, const Bytes& prefix = {})
{
    const char* pszDir = getenv("KV_RTP_WRITE_CORPUS");
    if (!pszDir)
        return;
    const size_t cMax = 24;
    Bytes header = {bHeaderConfig}, payloads = prefix;
    DWORD dwLastStamp = pkts.empty() ? 0 : StampOf(pkts[0]);
    for (size_t i = 0, n = 0; i < pkts.size() && n < cMax; ++i) {
        const Bytes& p = pkts[i];
        RtpPacket::Put16(&header, static_cast<DWORD>(p.size()));
        header.insert(header.end(), p.begin(), p.end());
        if (IsRtcp(p) || p.size() < 12 || (p[0] & 0x1F) != 0)
            continue;
        ++n;
        BYTE bCtl = static_cast<BYTE>((p[1] & 0x80) ? 1 : 0);
        if (StampOf(p) != dwLastStamp)
            bCtl |= 2;
        dwLastStamp = StampOf(p);
        RtpPacket::Put16(&payloads, static_cast<DWORD>(p.size() - 12));
        payloads.push_back(bCtl);
        payloads.insert(payloads.end(), p.begin() + 12, p.end());
    }
    std::ofstream(std::string(pszDir) + "/fuzz_rtp_header/" + strName, std::ios::binary)
        .write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    std::ofstream(std::string(pszDir) + "/" + strTarget + "/" + strName, std::ios::binary)
        .write(reinterpret_cast<const char*>(payloads.data()), static_cast<std::streamsize>(payloads.size()));
}

enum class Variant { Plain, Shuffled, Dropped };

// Returns the packets as a variant sees them; pDropped receives the time
// stamps of the packets dropped. The capture itself must be whole, or the
// checks after this mean nothing.
std::vector<Bytes> Apply(const std::vector<Bytes>& pkts, Variant v, std::set<DWORD>* pDropped)
{
    EXPECT_FALSE(pkts.empty());
    long nLast = -1;
    for (const Bytes& p : pkts) {
        if (IsRtcp(p))
            continue;
        if (p.size() < 12 || (nLast >= 0 && ((DWORD(nLast) + 1) & 0xFFFF) != SeqOf(p))) {
            ADD_FAILURE() << "capture lost packets or holds a runt";
            return {};
        }
        nLast = SeqOf(p);
    }
    std::vector<Bytes> out = pkts;
    if (v == Variant::Shuffled) {
        // The first window stays in order: the first packet received sets
        // the sequence, and packets numbered before it count as late.
        std::mt19937 rng(20261205);
        for (size_t i = 4; i + 1 < out.size(); i += 4)
            std::shuffle(out.begin() + long(i), out.begin() + long(std::min(i + 4, out.size())), rng);
    } else if (v == Variant::Dropped) {
        // One packet in a hundred, never an RTCP packet; at least one.
        std::vector<Bytes> kept;
        const size_t nStep = 100;
        const size_t nFirst = out.size() < 2 * nStep ? out.size() / 2 : nStep / 2;
        for (size_t i = 0; i < out.size(); ++i) {
            if (i >= nFirst && (i - nFirst) % nStep == 0 && !IsRtcp(out[i]))
                pDropped->insert(StampOf(out[i]));
            else
                kept.push_back(out[i]);
        }
        out.swap(kept);
        EXPECT_FALSE(pDropped->empty());
    }
    return out;
}

std::vector<Unit> Depacketise(CRTPParser& parser, const std::vector<Bytes>& pkts)
{
    std::vector<Unit> units;
    for (const Bytes& p : pkts) {
        if (parser.IsRTP(p.data(), static_cast<LONG>(p.size())) == 0) {
            ADD_FAILURE() << "not taken as RTP";
            break;
        }
        FeedResult r = Feed(parser, p);
        units.insert(units.end(), r.units.begin(), r.units.end());
    }
    EXPECT_EQ(RTPSTATE_YES, parser.State());
    return units;
}

void WriteFile(const std::string& strPath, const std::vector<Unit>& units)
{
    std::ofstream f(strPath, std::ios::binary);
    for (const Unit& u : units)
        f.write(reinterpret_cast<const char*>(u.data.data()), static_cast<std::streamsize>(u.data.size()));
}

std::set<DWORD> Stamps(const std::vector<Bytes>& pkts)
{
    std::set<DWORD> s;
    for (const Bytes& p : pkts)
        if (!IsRtcp(p))
            s.insert(StampOf(p));
    return s;
}

// ---------------------------------------------------------------- H.264

class CRTPH264InteropTest : public ::testing::TestWithParam<std::tuple<const char*, Variant>>
{
public:
    static void SetUpTestSuite()
    {
        std::string strOut;
        const std::string strMp4 = TempPath("h264.mp4");
        // GOP of 10: three IDR frames, each with SPS and PPS in band.
        int nRet = RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 "
                              "-c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p " + strMp4, &strOut);
        ASSERT_EQ(0, nRet) << strOut;
        std::string strError;
        // GStreamer: SPS and PPS before every IDR, aggregated in STAP-A;
        // a small MTU so that slices go out as FU-A.
        ASSERT_TRUE(Capture("gst-launch-1.0 -q filesrc location=" + strMp4 +
                                " ! qtdemux ! rtph264pay pt=96 mtu=600 config-interval=-1 "
                                "aggregate-mode=zero-latency ! udpsink host=127.0.0.1 port=PORT sync=false",
                            &s_gst, &strError))
            << strError;
        // ffmpeg, with its RTCP sent to the RTP port.
        ASSERT_TRUE(Capture("ffmpeg -nostdin -v error -re -i " + strMp4 +
                                " -c:v copy -bsf:v h264_mp4toannexb -f rtp -payload_type 96 "
                                "'rtp://127.0.0.1:PORT?rtcpport=PORT&pkt_size=700'",
                            &s_ffmpeg, &strError))
            << strError;
        WriteCorpus("gst_h264", s_gst, 1, "fuzz_rtp_h264");
        WriteCorpus("ffmpeg_h264", s_ffmpeg, 1, "fuzz_rtp_h264");
    }

    static inline std::vector<Bytes> s_gst, s_ffmpeg;
};

TEST_P(CRTPH264InteropTest, AccessUnitsDecode)
{
    const std::string strSender = std::get<0>(GetParam());
    const Variant v = std::get<1>(GetParam());
    const std::vector<Bytes>& pkts = strSender == "gst" ? s_gst : s_ffmpeg;
    bool bFU = false, bStap = false;
    for (const Bytes& p : pkts) {
        if (!IsRtcp(p) && p.size() > 12) {
            bFU |= (p[12] & 0x1F) == 28;
            bStap |= (p[12] & 0x1F) == 24;
        }
    }
    EXPECT_TRUE(bFU);
    EXPECT_TRUE(bStap || strSender != "gst");

    std::set<DWORD> dropped;
    std::vector<Bytes> seen = Apply(pkts, v, &dropped);
    CRTPParser parser;
    parser.SetClockRate(90000);
    parser.SetPayloadType(96, RTPFORMAT_H264);
    std::vector<Unit> units = Depacketise(parser, seen);
    size_t cKey = 0;
    for (const Unit& u : units) {
        cKey += (u.dwFlags & RTPUNIT_SYNCPOINT) ? 1 : 0;
        EXPECT_EQ(0, memcmp(u.data.data(), "\0\0\1", 3));
    }
    const std::string strFile = TempPath(strSender + "_" + std::to_string(int(v)) + ".h264");
    WriteFile(strFile, units);
    std::string strOut;
    int nRet = RunCommand("ffmpeg -nostdin -v error -f h264 -i " + strFile + " -f framemd5 -", &strOut);
    EXPECT_EQ(0, nRet) << strOut;
    size_t cFrames = CountFrames(strOut);
    if (v == Variant::Dropped) {
        // Only the frames that lost a packet may be missing.
        EXPECT_GE(cFrames + dropped.size(), size_t(kFrames)) << strOut;
        EXPECT_LE(cFrames, size_t(kFrames));
    } else {
        EXPECT_EQ(size_t(kFrames), units.size());
        EXPECT_EQ(3u, cKey);
        EXPECT_EQ(size_t(kFrames), cFrames) << strOut;
        EXPECT_EQ(std::string::npos, strOut.find("rror")) << strOut;
    }
}

INSTANTIATE_TEST_SUITE_P(Senders, CRTPH264InteropTest,
                         ::testing::Combine(::testing::Values("gst", "ffmpeg"),
                                            ::testing::Values(Variant::Plain, Variant::Shuffled, Variant::Dropped)));

// ---------------------------------------------------------------- JPEG

class CRTPJPEGInteropTest : public ::testing::TestWithParam<std::tuple<const char*, Variant>>
{
public:
    static void SetUpTestSuite()
    {
        std::string strError;
        // 4:2:2 from GStreamer (type 0), 4:2:0 from ffmpeg (type 1); both
        // send their quantisation tables in band. ffmpeg's RTP packetiser
        // needs the standard Huffman tables and both quantisation tables.
        ASSERT_TRUE(Capture("gst-launch-1.0 -q videotestsrc num-buffers=30 ! "
                            "video/x-raw,format=Y42B,width=320,height=240,framerate=30/1 ! jpegenc ! "
                            "rtpjpegpay mtu=1000 ! udpsink host=127.0.0.1 port=PORT sync=false",
                            &s_gst, &strError))
            << strError;
        ASSERT_TRUE(Capture("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 "
                            "-c:v mjpeg -pix_fmt yuvj420p -huffman default -force_duplicated_matrix 1 -f rtp 'rtp://127.0.0.1:PORT?rtcpport=PORT&pkt_size=1000'",
                            &s_ffmpeg, &strError))
            << strError;
        WriteCorpus("gst_jpeg", s_gst, 0, "fuzz_rtp_jpeg");
        WriteCorpus("ffmpeg_jpeg", s_ffmpeg, 0, "fuzz_rtp_jpeg");
    }

    static inline std::vector<Bytes> s_gst, s_ffmpeg;
};

TEST_P(CRTPJPEGInteropTest, EveryImageDecodesAtTheSentSize)
{
    const std::string strSender = std::get<0>(GetParam());
    const Variant v = std::get<1>(GetParam());
    const std::vector<Bytes>& pkts = strSender == "gst" ? s_gst : s_ffmpeg;
    for (const Bytes& p : pkts) {
        if (!IsRtcp(p)) {
            EXPECT_EQ(strSender == "gst" ? 0 : 1, p.at(16)) << "JPEG type";
            EXPECT_GE(p.at(17), 128) << "tables in band";
            break;
        }
    }
    std::set<DWORD> dropped;
    std::vector<Bytes> seen = Apply(pkts, v, &dropped);
    CRTPParser parser;
    std::vector<Unit> units = Depacketise(parser, seen);
    EXPECT_EQ(kWidth, parser.Width());
    EXPECT_EQ(kHeight, parser.Height());
    EXPECT_EQ(Stamps(pkts).size() - dropped.size(), units.size());

    const std::string strFile = TempPath(strSender + "_" + std::to_string(int(v)) + ".mjpeg");
    const std::string strGray = strFile + ".gray";
    WriteFile(strFile, units);
    std::string strOut;
    int nRet = RunCommand("ffmpeg -nostdin -v error -y -f mjpeg -i " + strFile +
                          " -f rawvideo -pix_fmt gray " + strGray, &strOut);
    EXPECT_EQ(0, nRet) << strOut;
    EXPECT_EQ(std::string::npos, strOut.find("rror")) << strOut;
    std::ifstream f(strGray, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<std::streamoff>(units.size() * kWidth * kHeight), static_cast<std::streamoff>(f.tellg()));
}

INSTANTIATE_TEST_SUITE_P(Senders, CRTPJPEGInteropTest,
                         ::testing::Combine(::testing::Values("gst", "ffmpeg"),
                                            ::testing::Values(Variant::Plain, Variant::Shuffled, Variant::Dropped)));

// ---------------------------------------------------------------- raw video

class CRTPRawInteropTest : public ::testing::TestWithParam<Variant>
{
public:
    static void SetUpTestSuite()
    {
        std::string strError;
        // The same frames go to the payloader and to a file; paced at the
        // frame rate so that a frame's burst fits the socket buffer.
        ASSERT_TRUE(Capture("gst-launch-1.0 -q videotestsrc num-buffers=30 horizontal-speed=7 ! "
                            "video/x-raw,format=UYVY,width=320,height=240,framerate=30/1 ! tee name=t "
                            "t. ! queue ! rtpvrawpay pt=96 mtu=1400 ! udpsink host=127.0.0.1 port=PORT sync=true "
                            "t. ! queue ! filesink location=" + TempPath("ref.uyvy"),
                            &s_pkts, &strError))
            << strError;
        // Width 2 x (159 + 1), height 239 + 1.
        WriteCorpus("gst_raw", s_pkts, 2, "fuzz_rtp_raw", Bytes{159, 239});
        s_ref = ReadFileBytes(TempPath("ref.uyvy"));
    }

    static inline std::vector<Bytes> s_pkts;
    static inline std::string s_ref;
};

TEST_P(CRTPRawInteropTest, FramesEqualTheFramesSent)
{
    const size_t cbFrame = size_t(kWidth) * kHeight * 2;
    ASSERT_EQ(cbFrame * kFrames, s_ref.size());
    std::set<DWORD> dropped;
    std::vector<Bytes> seen = Apply(s_pkts, GetParam(), &dropped);
    CRTPParser parser;
    parser.SetPayloadType(96, RTPFORMAT_RAW);
    ASSERT_EQ(S_OK, parser.SetRawFormat(FOURCC_UYVY, kWidth, kHeight, 8));
    std::vector<Unit> units = Depacketise(parser, seen);

    // Frames come out in time-stamp order, one per time stamp; a frame
    // whose marker packet was lost is emitted by the next time stamp, and
    // only the last one can be left without a successor.
    std::vector<DWORD> stamps;
    for (const Bytes& p : s_pkts)
        if (stamps.empty() || stamps.back() != StampOf(p))
            stamps.push_back(StampOf(p));
    ASSERT_EQ(size_t(kFrames), stamps.size());
    ASSERT_GE(units.size() + 1, size_t(kFrames));
    ASSERT_LE(units.size(), size_t(kFrames));
    size_t cEqual = 0;
    for (size_t k = 0; k < units.size(); ++k) {
        ASSERT_EQ(cbFrame, units[k].data.size());
        const bool bEqual = memcmp(units[k].data.data(), s_ref.data() + k * cbFrame, cbFrame) == 0;
        if (!dropped.count(stamps[k])) {
            EXPECT_TRUE(bEqual) << "frame " << k;
        }
        cEqual += bEqual ? 1 : 0;
    }
    EXPECT_GE(cEqual + dropped.size(), size_t(kFrames) - (units.size() < size_t(kFrames) ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Gst, CRTPRawInteropTest,
                         ::testing::Values(Variant::Plain, Variant::Shuffled, Variant::Dropped));

}  // namespace
