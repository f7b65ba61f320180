// What kvudpsrc send puts on the wire, judged by ffprobe: the test stream
// received over UDP into a file, and the same stream in RTP read by
// ffprobe's own RTP input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tools/tooltest.h"
#include "tools/tsgen.h"

namespace {

bool HaveFfprobe()
{
    return system("ffprobe -version >/dev/null 2>&1") == 0;
}

class CSendInteropTest : public CToolTest
{
protected:
    void SetUp() override
    {
        if (!HaveFfprobe())
            GTEST_SKIP() << "ffprobe not found (Debian package ffmpeg)";
        CToolTest::SetUp();
    }
};

}  // namespace

TEST_F(CSendInteropTest, FfprobeAcceptsTheTestStreamReceivedOverUdp)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int nBuf = 8 * 1024 * 1024;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cbSa = sizeof(sa);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &cbSa));

    // Two seconds of stream at 8 Mbit/s, sent as fast as it goes (the
    // stream's clock says two seconds whatever the pace).
    constexpr size_t kTotal = 2 * 8000000 / 8 / 1316 * 1316;
    CChild send;
    send.Start({"send", "udp://127.0.0.1:" + std::to_string(ntohs(sa.sin_port)), "--rate", "80", "--total",
                std::to_string(kTotal)},
               P("send.out"), P("send.err"));
    std::string s;
    std::vector<char> buf(65536);
    while (s.size() < kTotal) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 3000 * kToolSlowdown) <= 0)
            break;
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        s.append(buf.data(), static_cast<size_t>(n));
    }
    close(fd);
    ASSERT_EQ(0, send.Wait(10000 * kToolSlowdown)) << ReadAll(P("send.err"));
    ASSERT_EQ(kTotal, s.size());
    ASSERT_EQ(-1, CTsGenerator(80000000).FirstMismatch(0, reinterpret_cast<const uint8_t*>(s.data()), s.size()));
    std::ofstream(P("rx.ts"), std::ios::binary) << s;

    int nExit = -1;
    const std::string strOut = ShellOutput("ffprobe -v error -show_entries format=format_name,nb_programs:stream=codec_type,id "
                                     "-show_entries program=program_id -of flat '" +
                                         P("rx.ts") + "' 2>" + P("ffprobe.err"),
                                     &nExit);
    EXPECT_EQ(0, nExit) << strOut << ReadAll(P("ffprobe.err"));
    EXPECT_NE(std::string::npos, strOut.find("format.format_name=\"mpegts\"")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("format.nb_programs=1")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("program_id=1")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("codec_type=\"data\"")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("id=\"0x100\"")) << strOut;
    // With -v error, ffprobe reports broken packets, PES headers or
    // continuity; a clean stream makes it say nothing.
    EXPECT_EQ("", ReadAll(P("ffprobe.err")));

    // Its clock: the PCRs span the 10 Mbit at the stream's 80 Mbit/s.
    const std::string strDur = ShellOutput("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + P("rx.ts") + "'",
                                     &nExit);
    EXPECT_NEAR(static_cast<double>(kTotal) * 8 / 80e6, atof(strDur.c_str()), 0.01) << strDur;
}

TEST_F(CSendInteropTest, FfprobeReadsTheStreamInRtpWithoutLoss)
{
    const uint16_t wPort = FreeUdpPort();
    ASSERT_NE(0, wPort);
    // ffprobe listens on the port; the sender keeps going until ffprobe has
    // seen enough, then is stopped.
    CChild send;
    const std::string strCmd = "ffprobe -v warning -probesize 100000 -analyzeduration 500000 -show_entries "
                               "format=format_name:stream=codec_type -of flat rtp://127.0.0.1:" +
                               std::to_string(wPort) + " 2>" + P("ffprobe.err");
    std::string strOut;
    int nExit = -1;
    std::thread probe([&] { strOut = ShellOutput("timeout 20 " + strCmd, &nExit); });
    Sleep(300);  // not a synchronisation: datagrams sent before ffprobe binds are lost, which RTP allows
    send.Start({"send", "udp://127.0.0.1:" + std::to_string(wPort), "--rtp", "--rate", "5", "--duration", "15"},
               P("send.out"), P("send.err"));
    probe.join();
    send.Signal(SIGINT);
    EXPECT_EQ(0, send.Wait(5000 * kToolSlowdown)) << ReadAll(P("send.err"));
    EXPECT_EQ(0, nExit) << strOut << ReadAll(P("ffprobe.err"));
    EXPECT_NE(std::string::npos, strOut.find("format.format_name=\"rtp\"")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("codec_type=\"data\"")) << strOut;
    // ffprobe warns of sequence gaps ("RTP: missed N packets") and of
    // unexpected payload types; neither may appear.
    const std::string strErr = ReadAll(P("ffprobe.err"));
    EXPECT_EQ(std::string::npos, strErr.find("missed")) << strErr;
    EXPECT_EQ(std::string::npos, strErr.find("PT=")) << strErr;
}
