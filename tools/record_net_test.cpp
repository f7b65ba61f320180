// kvudpsrc record, run as a process against kvudpsrc send on loopback: the
// recorded file must be the test stream byte for byte (regenerated here)
// over UDP, multicast, RTP and TCP; a stop signal ends it at once with its
// final line; its JSON lines must parse (python3's json module judges) and
// end with the file's size; a URL without a sender ends with exit 1 and a
// message that names it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tooltest.h"
#include "tools/tsgen.h"

namespace {

long long Mismatch(const std::string& s, uint64_t ullRate = CTsGenerator::kDefaultBitRate)
{
    return CTsGenerator(ullRate).FirstMismatch(0, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::vector<std::string> Lines(const std::string& s)
{
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string str; std::getline(in, str);)
        v.push_back(str);
    return v;
}

}  // namespace

class CRecordTest : public CToolTest
{
protected:
    // Every line of strFile parses as a JSON object (python3 says so).
    static bool JsonLinesParse(const std::string& strFile, std::string* pstrWhy)
    {
        const std::string strCmd = "python3 -c 'import json,sys\nfor l in open(sys.argv[1]):\n"
                                   "    assert isinstance(json.loads(l), dict)' " +
                                   strFile + " 2>&1";
        FILE* pf = popen(strCmd.c_str(), "r");
        char sz[512];
        while (pf && fgets(sz, sizeof(sz), pf))
            *pstrWhy += sz;
        return pf && pclose(pf) == 0;
    }

    // Records URL into rec.ts (ring in its own folder) while send SENDURL
    // SENDARGS sends llTotal bytes at 40 Mbit/s (the test stream of that
    // rate); SIGINT once they are all in the file.
    void RecordWhileSending(const std::string& strUrl, const std::string& strSendUrl,
                            std::vector<std::string> sendArgs, long long llTotal)
    {
        ASSERT_EQ(0, system(("mkdir -p " + P("ring")).c_str()));
        CChild rec;
        rec.Start({"record", strUrl, "-o", P("rec.ts"), "--dvr-folder", P("ring"), "--stats", P("stats.json")},
                  P("rec.out"), P("rec.err"));
        // The ring's line says the socket is up only once data came; the
        // progress line of the first second would be too late to wait for,
        // so the sender simply starts: the receiver binds within
        // milliseconds, and the sender's first datagrams are the ones
        // checked below.
        ASSERT_TRUE(WaitForSocket(strUrl));
        sendArgs.insert(sendArgs.begin(),
                        {"send", strSendUrl, "--rate", "40", "--total", std::to_string(llTotal), "-q"});
        const SToolRun send = Run(sendArgs);
        ASSERT_EQ(0, send.nExit) << send.strErr;
        ASSERT_TRUE(WaitForSize(P("rec.ts"), llTotal, 5000)) << FileSize(P("rec.ts")) << ReadAll(P("rec.err"));
        const DWORD dwStart = GetTickCount();
        rec.Signal(SIGINT);
        EXPECT_EQ(0, rec.Wait(2000 * kToolSlowdown)) << ReadAll(P("rec.err"));
        EXPECT_LT(TickDiff(GetTickCount(), dwStart), 200u * kToolSlowdown);
        const std::string strErr = ReadAll(P("rec.err"));
        EXPECT_NE(std::string::npos, strErr.find("end: stopped by SIGINT;")) << strErr;
        EXPECT_NE(std::string::npos, strErr.find(std::to_string(llTotal) + " bytes written to " + P("rec.ts")))
            << strErr;
        EXPECT_NE(std::string::npos, strErr.find("ring " + P("ring") + "/")) << strErr;

        const std::string strFile = ReadAll(P("rec.ts"));
        EXPECT_EQ(llTotal, static_cast<long long>(strFile.size()));
        EXPECT_EQ(-1, Mismatch(strFile, 40000000));
        CheckStats(static_cast<long long>(strFile.size()));
    }

    // The stats file: JSON lines, the last one final, its byte count the
    // file's size.
    void CheckStats(long long llFileSize, const std::string& strStats = "stats.json")
    {
        std::string strWhy;
        EXPECT_TRUE(JsonLinesParse(P(strStats), &strWhy)) << strWhy << ReadAll(P(strStats));
        const std::vector<std::string> v = Lines(ReadAll(P(strStats)));
        ASSERT_FALSE(v.empty());
        EXPECT_NE(std::string::npos, v.back().find("\"final\":true")) << v.back();
        EXPECT_EQ(llFileSize, JsonNumber(v.back(), "bytes")) << v.back();
        EXPECT_LE(llFileSize, JsonNumber(v.back(), "ring_bytes")) << v.back();
        EXPECT_LT(0, JsonNumber(v.back(), "socket_buffer")) << v.back();
        // Less than the socket buffer was sent: the kernel dropped nothing.
        EXPECT_EQ(0, JsonNumber(v.back(), "kernel_drops")) << v.back();
    }

    // Until the recorder's UDP port is bound (bounded), as the kernel's
    // socket table says: a probe bind of our own could take the port from
    // it.
    static bool WaitForSocket(const std::string& strUrl)
    {
        if (strUrl.compare(0, 6, "tcp://") == 0)
            return true;
        const size_t nColon = strUrl.rfind(':');
        char szPort[16];
        snprintf(szPort, sizeof(szPort), ":%04X ", atoi(strUrl.c_str() + nColon + 1));
        const DWORD dwStart = GetTickCount();
        while (TickDiff(GetTickCount(), dwStart) < 5000 * kToolSlowdown) {
            if (ReadAll("/proc/net/udp").find(szPort) != std::string::npos)
                return true;
            Sleep(5);
        }
        return false;
    }
};

TEST_F(CRecordTest, UdpFromSendIsRecordedByteForByteAndStopsAtOnceOnSigint)
{
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
    RecordWhileSending(strUrl, strUrl, {}, 2000 * 1316);
    // The ring stays on disk, finished, and copy reads the same bytes.
    const std::string strStub = WaitForLine(P("rec.err"), "kvudpsrc record: ring ");
    const SToolRun info = Run({"dvr-info", strStub});
    EXPECT_EQ(0, info.nExit) << info.strErr;
    EXPECT_NE(std::string::npos, info.strOut.find("finished")) << info.strOut;
    const SToolRun copy = Run({"copy", strStub, "0", "end", P("copy.ts")});
    EXPECT_EQ(0, copy.nExit) << copy.strErr;
    EXPECT_EQ(ReadAll(P("rec.ts")), ReadAll(P("copy.ts")));
}

TEST_F(CRecordTest, RtpAndMulticastFromSendAreRecordedByteForByte)
{
    {
        SCOPED_TRACE("RTP");
        const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
        RecordWhileSending(strUrl, strUrl, {"--rtp"}, 1500 * 1316);
        const std::vector<std::string> v = Lines(ReadAll(P("stats.json")));
        ASSERT_FALSE(v.empty());
        EXPECT_NE(std::string::npos, v.back().find("\"kind\":\"TS in RTP\"")) << v.back();
        EXPECT_EQ(0, JsonNumber(v.back(), "rtp_lost"));
        EXPECT_EQ(0, JsonNumber(v.back(), "rtp_duplicated"));
        EXPECT_EQ(1500, JsonNumber(v.back(), "datagrams"));
        EXPECT_EQ(1500 * (1316 + 12), JsonNumber(v.back(), "received_bytes"));
    }
    TearDown();
    SetUp();
    {
        SCOPED_TRACE("multicast");
        const std::string strUrl = "udp://239.255.77.1:" + std::to_string(FreeUdpPort()) + "/127.0.0.1";
        RecordWhileSending(strUrl, strUrl, {}, 1500 * 1316);
    }
}

TEST_F(CRecordTest, TcpFromSendIsTheStreamFromItsStartForTheDuration)
{
    CChild send;
    send.Start({"send", "tcp://127.0.0.1:0", "--rate", "20"}, P("send.out"), P("send.err"));
    const std::string strListen = WaitForLine(P("send.out"), "listening ");
    ASSERT_FALSE(strListen.empty());
    // The figures on standard output this time.
    const SToolRun rec = Run({"record", strListen, "-o", P("rec.ts"), "--duration", "1.2", "--stats", "-"}, 10000);
    EXPECT_EQ(0, rec.nExit) << rec.strErr;
    EXPECT_NE(std::string::npos, rec.strErr.find("end: --duration reached;")) << rec.strErr;
    send.Signal(SIGINT);
    EXPECT_EQ(0, send.Wait(2000 * kToolSlowdown));
    const std::string strFile = ReadAll(P("rec.ts"));
    // About 1.2 s at 20 Mbit/s.
    EXPECT_GT(strFile.size(), 1000000u);
    EXPECT_EQ(-1, Mismatch(strFile, 20000000));
    CheckStats(static_cast<long long>(strFile.size()), "run.out");
    // One a second, and the final one.
    EXPECT_LE(2u, Lines(rec.strOut).size()) << rec.strOut;
}

TEST_F(CRecordTest, NoSenderOrNoSocketEndsWithExitOneAndAMessageNamingTheUrl)
{
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort()) + "?Timeout=1";
    SToolRun run = Run({"record", strUrl, "-o", P("none.ts"), "--stats", P("stats.json")});
    EXPECT_EQ(1, run.nExit);
    EXPECT_NE(std::string::npos, run.strErr.find("kvudpsrc record: no data from " + strUrl + " in 1 s\n"))
        << run.strErr;
    EXPECT_NE(std::string::npos, run.strErr.find("end: failed;")) << run.strErr;
    std::string strWhy;
    EXPECT_TRUE(JsonLinesParse(P("stats.json"), &strWhy)) << strWhy;
    EXPECT_NE(std::string::npos, ReadAll(P("stats.json")).find("\"end\":\"no data from")) << ReadAll(P("stats.json"));

    // Nobody listens on the TCP port: refused at once.
    const std::string strTcp = "tcp://127.0.0.1:" + std::to_string(FreeUdpPort()) + "?Timeout=1";
    run = Run({"record", strTcp, "-o", P("none.ts"), "-q"});
    EXPECT_EQ(1, run.nExit);
    EXPECT_EQ(0u, run.strErr.find("kvudpsrc record: " + strTcp + ": cannot receive: ")) << run.strErr;

    // A stop signal while the first data is awaited: the final line at once.
    CChild rec;
    const std::string strWaiting = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
    rec.Start({"record", strWaiting, "-o", P("none.ts")}, P("rec.out"), P("rec.err"));
    ASSERT_TRUE(WaitForSocket(strWaiting));
    const DWORD dwStart = GetTickCount();
    rec.Signal(SIGINT);
    ASSERT_FALSE(WaitForLine(P("rec.err"), "kvudpsrc record: end: failed;", 200).empty());
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 200u * kToolSlowdown);
    EXPECT_EQ(1, rec.Wait(3000 * kToolSlowdown));
    EXPECT_NE(std::string::npos, ReadAll(P("rec.err")).find("stopped by SIGINT before any data from udp://"));
}

TEST_F(CRecordTest, AClosedOutputPipeEndsTheRecordingWithAMessage)
{
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
    CChild send;
    send.Start({"send", strUrl, "--rate", "20", "--duration", "20", "-q"}, P("send.out"), P("send.err"));
    // The reader of the pipe goes away after 1000 bytes.
    const std::string strCmd = std::string("bash -c '") + KV_TOOL_PATH + " record " + strUrl + " -o - -q 2>" +
                               P("rec.err") + " | head -c 1000 >/dev/null; exit ${PIPESTATUS[0]}'";
    const int nStatus = system(strCmd.c_str());
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(1, WEXITSTATUS(nStatus));
    EXPECT_EQ("kvudpsrc record: writing standard output: Broken pipe\n", ReadAll(P("rec.err")));
    send.Signal(SIGINT);
    EXPECT_EQ(0, send.Wait(2000 * kToolSlowdown));
}

// A socket buffer far too small for a burst: what the kernel dropped and
// what the tool received add up to what send sent, datagram for datagram.
// A slow tail after the burst brings the kernel's last drop count in (it
// comes with the next datagram received).
TEST_F(CRecordTest, KernelDropsAndDatagramsReceivedAddUpToWhatWasSent)
{
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
    CChild rec;
    rec.Start({"record", strUrl + "?RcvBuf=64K", "-o", P("rec.ts"), "--stats", P("stats.json"), "-q"}, P("rec.out"),
              P("rec.err"));
    ASSERT_TRUE(WaitForSocket(strUrl));
    auto sentDatagrams = [](const SToolRun& run) {
        const size_t n = run.strErr.find(" datagrams, ");
        const size_t nStart = run.strErr.rfind(' ', n - 1);
        return n == std::string::npos ? -1LL : atoll(run.strErr.c_str() + nStart + 1);
    };
    // Whole datagrams of 7 packets, so that the file's size counts them.
    const SToolRun burst = Run({"send", strUrl, "--rate", "0", "--total", std::to_string(15000 * 1316)});
    ASSERT_EQ(0, burst.nExit) << burst.strErr;
    const SToolRun tail = Run({"send", strUrl, "--rate", "0.5", "--total", std::to_string(5 * 1316)});
    ASSERT_EQ(0, tail.nExit) << tail.strErr;
    const long long llSent = sentDatagrams(burst) + sentDatagrams(tail);
    ASSERT_EQ(15005, llSent) << burst.strErr << tail.strErr;
    // Until the file ends with the whole tail (the test stream of its rate,
    // from its start): then everything the socket let through is in.
    const size_t cbTail = 5 * 1316;
    auto tailIn = [&] {
        const std::string s = ReadAll(P("rec.ts"));
        return s.size() >= cbTail && Mismatch(s.substr(s.size() - cbTail), 500000) == -1;
    };
    const DWORD dwStart = GetTickCount();
    while (!tailIn() && TickDiff(GetTickCount(), dwStart) < 5000 * kToolSlowdown)
        Sleep(20);
    EXPECT_TRUE(tailIn());
    rec.Signal(SIGINT);
    ASSERT_EQ(0, rec.Wait(2000 * kToolSlowdown)) << ReadAll(P("rec.err"));
    const std::vector<std::string> v = Lines(ReadAll(P("stats.json")));
    ASSERT_FALSE(v.empty());
    const long long llReceived = JsonNumber(v.back(), "datagrams");
    const long long llDropped = JsonNumber(v.back(), "kernel_drops");
    EXPECT_GT(llDropped, 0) << v.back();
    EXPECT_EQ(llSent, llReceived + llDropped) << v.back();
    EXPECT_EQ(llReceived * 1316, FileSize(P("rec.ts")));
    EXPECT_EQ(JsonNumber(v.back(), "socket_buffer"), 65536) << v.back();
}

// A sender as fast as loopback goes into a ring of two 64 KiB files laps the
// file writer again and again. Whatever it lost, the file never holds a
// packet twice or out of order: the ring answers a lapped read from its
// oldest byte, and the offsets after it were handed out already.
TEST_F(CRecordTest, ALappedFileWriterWritesWholePacketsOnceAndCountsWhatItLost)
{
    ASSERT_EQ(0, system(("mkdir -p " + P("ring")).c_str()));
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort()) + "?RcvBuf=16M";
    CChild rec;
    // 64 KiB recording files hold no whole number of packets: the ring
    // lapping the writer sends it on inside a packet.
    rec.Start({"record", strUrl, "-o", P("rec.ts"), "--dvr-folder", P("ring"), "--files", "2", "--file-size", "64K",
               "--stats", P("st.json"), "-q"},
              P("rec.out"), P("rec.err"));
    ASSERT_TRUE(WaitForSocket(strUrl));
    const SToolRun send = Run({"send", strUrl.substr(0, strUrl.find('?')), "--rate", "0", "--total", "40M", "-q"});
    ASSERT_EQ(0, send.nExit) << send.strErr;
    Sleep(300);
    rec.Signal(SIGINT);
    EXPECT_EQ(0, rec.Wait(2000 * kToolSlowdown)) << ReadAll(P("rec.err"));

    const std::string s = ReadAll(P("rec.ts"));
    ASSERT_EQ(0u, s.size() % CTsGenerator::kPacketSize);
    const auto* pb = reinterpret_cast<const uint8_t*>(s.data());
    const CTsGenerator gen(CTsGenerator::kDefaultBitRate);
    long long llLast = -1, cGaps = 0;
    uint8_t abPacket[CTsGenerator::kPacketSize];
    for (size_t i = 0; i < s.size(); i += CTsGenerator::kPacketSize) {
        ASSERT_EQ(0x47, pb[i]) << "off the packet grid at file offset " << i;
        const long long llIndex = CTsGenerator::PacketIndexOf(pb + i);
        if (llIndex < 0)
            continue;  // the tables and the clock: every data packet is checked whole
        gen.MakePacket(static_cast<uint64_t>(llIndex), abPacket);
        ASSERT_EQ(0, memcmp(abPacket, pb + i, sizeof(abPacket))) << "a torn packet at file offset " << i;
        ASSERT_GT(llIndex, llLast) << "packet " << llIndex << " at file offset " << i << " after " << llLast;
        cGaps += llLast >= 0 && llIndex > llLast + 1;
        llLast = llIndex;
    }
    // Every byte of the ring is in the file or counted as lost.
    const long long llLost = FinalNumber(P("st.json"), "file_lost_bytes");
    EXPECT_EQ(FinalNumber(P("st.json"), "ring_bytes"), static_cast<long long>(s.size()) + llLost);
    EXPECT_EQ(cGaps > 0, llLost > 0);
    std::printf("%zu packets, %lld gaps, %lld bytes lost\n", s.size() / CTsGenerator::kPacketSize, cGaps, llLost);
}
