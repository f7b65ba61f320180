// kvudpsrc record judged by ffmpeg: a transport stream recorded from
// kvudpsrc send passes ffprobe with its program and PCR stream; H.264 that
// ffmpeg sends over RTP is recorded as an Annex B stream that ffmpeg decodes
// without an error, every frame the tool says it wrote.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/tooltest.h"

namespace {

int Shell(const std::string& strCmd, std::string* pOut)
{
    int nExit = -1;
    *pOut += ShellOutput(strCmd + " 2>&1", &nExit);
    return nExit;
}

}  // namespace

class CRecordInteropTest : public CToolTest
{
};

TEST_F(CRecordInteropTest, RecordedTransportStreamPassesFfprobe)
{
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
    CChild rec;
    rec.Start({"record", strUrl, "-o", P("rec.ts"), "--duration", "30", "-q"}, P("rec.out"), P("rec.err"));
    // Sent until the recorder has the whole of it (it may bind a moment
    // after it started): a second of the stream.
    CChild send;
    send.Start({"send", strUrl, "--rate", "8", "-q"}, P("send.out"), P("send.err"));
    ASSERT_TRUE(WaitForSize(P("rec.ts"), 1000000, 5000)) << ReadAll(P("rec.err"));
    // Stopped while the stream flows: at once, the file closed whole.
    const DWORD dwStart = GetTickCount();
    rec.Signal(SIGINT);
    ASSERT_EQ(0, rec.Wait(2000 * kToolSlowdown)) << ReadAll(P("rec.err"));
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 200u * kToolSlowdown);
    send.Signal(SIGINT);
    EXPECT_EQ(0, send.Wait(2000 * kToolSlowdown));
    EXPECT_EQ(0, FileSize(P("rec.ts")) % 188);
    std::string strOut;
    ASSERT_EQ(0, Shell("ffprobe -v error -show_entries program=program_id,pcr_pid:stream=codec_type,id -of compact " +
                           P("rec.ts"),
                       &strOut))
        << strOut;
    EXPECT_NE(std::string::npos, strOut.find("program_id=1")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("pcr_pid=256")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("codec_type=data|id=0x100")) << strOut;
    EXPECT_EQ(std::string::npos, strOut.find("rror")) << strOut;
}

TEST_F(CRecordInteropTest, H264FromFfmpegOverRtpIsRecordedAsAnnexBThatDecodes)
{
    std::string strOut;
    // 3 s at 25 frames/s, an IDR frame every 10: the frames that come while
    // the stream is described and the writer connected are written too.
    ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 75 -c:v "
                       "libx264 -g 10 -bf 0 -pix_fmt yuv420p " + P("src.mp4"),
                       &strOut))
        << strOut;
    const uint16_t wPort = FreeUdpPort();
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(wPort) + "?rtpmap=96;H264/90000";
    CChild rec;
    rec.Start({"record", strUrl, "-o", P("rec.h264"), "--stats", P("stats.json"), "--duration", "20"}, P("rec.out"),
              P("rec.err"));
    const std::string strPort = std::to_string(wPort);
    strOut.clear();
    ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -re -i " + P("src.mp4") +
                           " -c:v copy -bsf:v h264_mp4toannexb -f rtp -payload_type 96 'rtp://127.0.0.1:" + strPort +
                           "?rtcpport=" + strPort + "&pkt_size=1000' > /dev/null",
                       &strOut))
        << strOut;
    rec.Signal(SIGINT);
    ASSERT_EQ(0, rec.Wait(2000 * kToolSlowdown)) << ReadAll(P("rec.err"));
    const std::string strErr = ReadAll(P("rec.err"));
    EXPECT_NE(std::string::npos, strErr.find("H.264 in RTP")) << strErr;
    const long long llFrames = FinalNumber(P("stats.json"), "frames");
    EXPECT_EQ(75, llFrames) << ReadAll(P("stats.json"));
    EXPECT_EQ(FinalNumber(P("stats.json"), "bytes"), FileSize(P("rec.h264")));
    strOut.clear();
    ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -f h264 -i " + P("rec.h264") + " -f framemd5 -", &strOut)) << strOut;
    EXPECT_EQ(std::string::npos, strOut.find("rror")) << strOut;
    std::istringstream in(strOut);
    long long llDecoded = 0;
    for (std::string strLine; std::getline(in, strLine);)
        llDecoded += !strLine.empty() && strLine[0] != '#';
    EXPECT_EQ(llFrames, llDecoded) << strOut;
}

// JPEG from ffmpeg and raw UYVY from GStreamer over RTP: every image the
// tool wrote decodes, and the raw frames are byte for byte GStreamer's own
// rendering of the same moving test pattern, in order, none missing.
TEST_F(CRecordInteropTest, JpegAndRawVideoInRtpAreWrittenFrameByFrame)
{
    std::string strOut;
    {
        SCOPED_TRACE("JPEG");
        const std::string strPort = std::to_string(FreeUdpPort());
        CChild rec;
        rec.Start({"record", "udp://127.0.0.1:" + strPort, "-o", P("rec.mjpeg"), "--stats", P("jpeg.json"), "-q"},
                  P("rec.out"), P("rec.err"));
        ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -re -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 40 -c:v "
                           "mjpeg -pix_fmt yuvj420p -huffman default -force_duplicated_matrix 1 -f rtp "
                           "'rtp://127.0.0.1:" + strPort + "?rtcpport=" + strPort + "&pkt_size=1000' >/dev/null",
                           &strOut))
            << strOut;
        rec.Signal(SIGINT);
        ASSERT_EQ(0, rec.Wait(2000 * kToolSlowdown)) << ReadAll(P("rec.err"));
        EXPECT_NE(std::string::npos, ReadAll(P("jpeg.json")).find("\"kind\":\"JPEG in RTP\""));
        const long long llFrames = FinalNumber(P("jpeg.json"), "frames");
        // The first image describes the stream before the writer is there,
        // and is written all the same.
        EXPECT_EQ(40, llFrames);
        strOut.clear();
        ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -f mjpeg -i " + P("rec.mjpeg") + " -f framemd5 -", &strOut));
        EXPECT_EQ(std::string::npos, strOut.find("rror")) << strOut;
        std::istringstream in(strOut);
        long long llDecoded = 0;
        for (std::string strLine; std::getline(in, strLine);)
            llDecoded += !strLine.empty() && strLine[0] != '#';
        EXPECT_EQ(llFrames, llDecoded);

        // Without -o an elementary stream would go nowhere (the ring keeps
        // byte streams only): refused once the stream says what it is.
        ASSERT_EQ(0, system(("mkdir -p " + P("ring")).c_str()));
        rec.Start({"record", "udp://127.0.0.1:" + strPort, "--dvr-folder", P("ring"), "-q"}, P("rec.out"),
                  P("rec.err"));
        strOut.clear();
        ASSERT_EQ(0, Shell("ffmpeg -nostdin -v error -re -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 5 -c:v "
                           "mjpeg -pix_fmt yuvj420p -huffman default -force_duplicated_matrix 1 -f rtp "
                           "'rtp://127.0.0.1:" + strPort + "?rtcpport=" + strPort + "&pkt_size=1000' >/dev/null",
                           &strOut))
            << strOut;
        EXPECT_EQ(1, rec.Wait(3000 * kToolSlowdown));
        EXPECT_NE(std::string::npos, ReadAll(P("rec.err")).find("JPEG in RTP is an elementary stream, which the ring "
                                                                "does not keep; give -o FILE"))
            << ReadAll(P("rec.err"));
    }
    {
        SCOPED_TRACE("raw");
        const std::string strCaps = "video/x-raw,format=UYVY,width=64,height=48,framerate=25/1";
        const std::string strSource = "gst-launch-1.0 -q videotestsrc pattern=ball num-buffers=40 ! " + strCaps;
        strOut.clear();
        ASSERT_EQ(0, Shell(strSource + " ! filesink location=" + P("frames.uyvy"), &strOut)) << strOut;
        const std::string strFrames = ReadAll(P("frames.uyvy"));
        const size_t cbFrame = 64 * 48 * 2;
        ASSERT_EQ(40 * cbFrame, strFrames.size());
        const std::string strPort = std::to_string(FreeUdpPort());
        CChild rec;
        rec.Start({"record",
                   "udp://127.0.0.1:" + strPort +
                       "?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=64;height=48;depth=8",
                   "-o", P("rec.uyvy"), "--stats", P("raw.json"), "-q"},
                  P("rec.out"), P("rec.err"));
        strOut.clear();
        ASSERT_EQ(0, Shell(strSource + " ! rtpvrawpay ! udpsink sync=true host=127.0.0.1 port=" + strPort, &strOut))
            << strOut;
        rec.Signal(SIGINT);
        ASSERT_EQ(0, rec.Wait(2000 * kToolSlowdown)) << ReadAll(P("rec.err"));
        const long long llFrames = FinalNumber(P("raw.json"), "frames");
        EXPECT_EQ(40, llFrames);
        const std::string strRec = ReadAll(P("rec.uyvy"));
        ASSERT_EQ(static_cast<size_t>(llFrames) * cbFrame, strRec.size());
        // The ball moves, so every frame differs: all of them, in order.
        EXPECT_TRUE(strFrames == strRec) << "the recording is not GStreamer's frames";
    }
}
