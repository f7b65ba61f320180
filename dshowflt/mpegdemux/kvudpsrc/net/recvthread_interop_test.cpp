// Real senders: ffmpeg and GStreamer send a transport stream over UDP and in
// RTP, H.264 in RTP and JPEG in RTP to the receive thread on loopback. What
// the ring holds must pass ffprobe with the sent stream and duration and
// decode without error; what GStreamer sent from a file must come back byte
// for byte; the H.264 and JPEG units the pin received must decode to every
// frame sent.
#include <sys/wait.h>

#include <fstream>
#include <future>
#include <iterator>

#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"

using namespace recvtest;

namespace {

constexpr int kSeconds = 3;
constexpr int kRate = 25;
constexpr int kFrames = kSeconds * kRate;

using commontest::FfmpegFrames;
using commontest::RunCommand;

std::string Substitute(std::string str, const std::string& strKey, const std::string& strValue)
{
    for (size_t pos; (pos = str.find(strKey)) != std::string::npos;)
        str.replace(pos, strKey.size(), strValue);
    return str;
}

const auto ReadFile = commontest::ReadFileAs<Bytes>;

enum class EKind { TransportStream, H264, Jpeg };

struct SSender
{
    const char* pszName;
    EKind kind;
    const char16_t* pszOptions;
    // PORT: the receive thread's port; TS, MP4: the source files.
    const char* pszCommand;
    bool bSentIsFile;  // the sender sends the TS file's bytes unchanged
};

const SSender kSenders[] = {
    {"ffmpeg_ts_udp", EKind::TransportStream, nullptr,
     "ffmpeg -nostdin -v error -re -i TS -c copy -f mpegts 'udp://127.0.0.1:PORT?pkt_size=1316'", false},
    {"ffmpeg_ts_rtp", EKind::TransportStream, nullptr, "ffmpeg -nostdin -v error -re -i TS -c copy -f rtp_mpegts "
                                                       "'rtp://127.0.0.1:PORT'", false},
    {"gst_ts_udp", EKind::TransportStream, nullptr,
     "gst-launch-1.0 -q filesrc location=TS blocksize=1316 ! identity sleep-time=2000 ! "
     "udpsink host=127.0.0.1 port=PORT",
     true},
    {"gst_ts_rtp", EKind::TransportStream, nullptr,
     "gst-launch-1.0 -q filesrc location=TS blocksize=1316 ! identity sleep-time=2000 ! "
     "'video/mpegts,systemstream=(boolean)true,packetsize=(int)188' ! rtpmp2tpay ! "
     "udpsink host=127.0.0.1 port=PORT",
     true},
    {"ffmpeg_h264_rtp", EKind::H264, u"?rtpmap=96;H264/90000",
     "ffmpeg -nostdin -v error -re -i MP4 -c:v copy -bsf:v h264_mp4toannexb -f rtp -payload_type 96 "
     "'rtp://127.0.0.1:PORT?pkt_size=1200'",
     false},
    {"gst_h264_rtp", EKind::H264, u"?rtpmap=96;H264/90000",
     "gst-launch-1.0 -q filesrc location=MP4 ! qtdemux ! rtph264pay pt=96 mtu=900 config-interval=-1 ! "
     "udpsink host=127.0.0.1 port=PORT",
     false},
    {"ffmpeg_jpeg_rtp", EKind::Jpeg, nullptr,
     "ffmpeg -nostdin -v error -re -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 75 -c:v mjpeg "
     "-pix_fmt yuvj420p -huffman default -force_duplicated_matrix 1 -f rtp 'rtp://127.0.0.1:PORT?pkt_size=1000'",
     false},
    {"gst_jpeg_rtp", EKind::Jpeg, nullptr,
     "gst-launch-1.0 -q videotestsrc num-buffers=75 ! video/x-raw,format=I420,width=320,height=240,framerate=25/1 ! "
     "jpegenc ! rtpjpegpay mtu=1000 ! udpsink host=127.0.0.1 port=PORT",
     false},
};

class CRecvThreadInterop : public ::testing::TestWithParam<SSender>
{
protected:
    static void SetUpTestSuite()
    {
        std::string strOut;
        // One IDR a second, with SPS and PPS in band before each.
        ASSERT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 3 "
                                "-c:v libx264 -g 25 -bf 0 -pix_fmt yuv420p -f mpegts " +
                                    s_dir.Path() + "/src.ts",
                                &strOut))
            << strOut;
        ASSERT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -i " + s_dir.Path() + "/src.ts -c copy " +
                                    s_dir.Path() + "/src.mp4",
                                &strOut))
            << strOut;
    }

    // Every unit the pin had; the sender is done when nothing more arrives
    // for a while after it exited.
    static void WaitQuiet(CRecv& recv)
    {
        for (int i = 0; i < 100; ++i) {
            recv.m_pin.ExpectUnits(static_cast<LONG>(recv.m_pin.Units().size()) + 1);
            if (!recv.m_pin.WaitReached(100))
                return;
        }
    }

    static inline CTempDir s_dir;
};

}  // namespace

TEST_P(CRecvThreadInterop, SentStreamIsRecordedWhole)
{
    const SSender& s = GetParam();
    CRecv recv;
    const WORD wPort = ntohs(recv.Open("127.0.0.1", s.pszOptions));
    ASSERT_NE(0, wPort);
    std::future<HRESULT> read = std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });

    std::string strCmd = Substitute(s.pszCommand, "PORT", std::to_string(wPort));
    strCmd = Substitute(strCmd, "TS", s_dir.Path() + "/src.ts");
    strCmd = Substitute(strCmd, "MP4", s_dir.Path() + "/src.mp4");
    std::string strOut;
    ASSERT_EQ(0, RunCommand(strCmd, &strOut)) << strOut;
    WaitQuiet(recv);
    ASSERT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const std::string strOutFile = recv.m_dir.Path() + "/" + s.pszName;
    std::string strErrors;
    if (s.kind == EKind::TransportStream) {
        const Bytes ring = recv.Ring();
        ASSERT_FALSE(ring.empty());
        if (s.bSentIsFile) {
            EXPECT_TRUE(ring == ReadFile(s_dir.Path() + "/src.ts")) << "the ring differs from the file sent";
        }
        commontest::WriteFileBytes(strOutFile, ring);
        strOut.clear();
        ASSERT_EQ(0, RunCommand("ffprobe -v error -show_entries stream=codec_name,width,height:format=duration "
                                "-of default=noprint_wrappers=1 " + strOutFile,
                                &strOut));
        EXPECT_NE(std::string::npos, strOut.find("codec_name=h264")) << strOut;
        EXPECT_NE(std::string::npos, strOut.find("width=320")) << strOut;
        EXPECT_NE(std::string::npos, strOut.find("height=240")) << strOut;
        const size_t pos = strOut.find("duration=");
        ASSERT_NE(std::string::npos, pos) << strOut;
        EXPECT_NEAR(kSeconds, atof(strOut.c_str() + pos + 9), 0.2) << strOut;
        EXPECT_EQ(kFrames, FfmpegFrames("-i " + strOutFile, &strErrors));
    } else {
        commontest::WriteFileBytes(strOutFile, recv.m_pin.AllBytes());
        EXPECT_EQ(kFrames, FfmpegFrames((s.kind == EKind::H264 ? "-f h264 -i " : "-f mjpeg -i ") + strOutFile,
                                         &strErrors));
        for (const SUnit& u : recv.m_pin.Units())
            EXPECT_EQ(s.kind == EKind::Jpeg, u.bEndOfUnit != FALSE);
        const CMediaType mt = recv.m_filter.MediaType();
        ASSERT_GE(mt.cbFormat, sizeof(VIDEOINFOHEADER));
        VIDEOINFOHEADER vih;
        memcpy(&vih, mt.pbFormat, sizeof(vih));
        EXPECT_EQ(320, vih.bmiHeader.biWidth);
        EXPECT_EQ(240, vih.bmiHeader.biHeight);
    }
    EXPECT_EQ("", strErrors);
}

INSTANTIATE_TEST_SUITE_P(Senders, CRecvThreadInterop, ::testing::ValuesIn(kSenders),
                         [](const ::testing::TestParamInfo<SSender>& info) { return info.param.pszName; });
