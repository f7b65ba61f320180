// Real processes end to end: `kvudpsrc send --rtp` into `kvudpsrc relay`
// (seeded drops, duplicates, reordering, RTCP) into `kvudpsrc record`. Every
// packet recorded must be the test stream's packet at its place, in order,
// none twice, and the packets missing must be exactly the 7 of each datagram
// the relay's log says it dropped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <sstream>

#include "tools/tooltest.h"
#include "tools/tsgen.h"

namespace {

class CRelayRecordTest : public CToolTest
{
};

}  // namespace

TEST_F(CRelayRecordTest, SendThroughTheRelayIntoRecordLosesExactlyTheDroppedDatagrams)
{
    constexpr long long kPackets = 7000;
    const uint16_t wPort = FreeUdpPort();
    ASSERT_NE(0, wPort);
    CChild rec;
    rec.Start({"record", "udp://127.0.0.1:" + std::to_string(wPort), "-o", P("rec.ts"), "-q"}, P("rec.out"),
              P("rec.err"));
    // Until the recorder's port is bound, as the kernel's socket table says.
    char szPort[16];
    snprintf(szPort, sizeof(szPort), ":%04X ", static_cast<unsigned>(wPort));
    const DWORD dwStart = GetTickCount();
    while (ReadAll("/proc/net/udp").find(szPort) == std::string::npos &&
           TickDiff(GetTickCount(), dwStart) < 5000 * kToolSlowdown)
        Sleep(5);
    CChild relay;
    relay.Start({"relay", "--to", std::to_string(wPort), "--seed", "4", "--drop", "0.02", "--duplicate", "0.02",
                 "--reorder", "0.02", "--rtcp", "0.01", "--log", P("relay.log")},
                P("relay.out"), P("relay.err"));
    const std::string strListen = WaitForLine(P("relay.out"), "listening udp://127.0.0.1:");
    ASSERT_FALSE(strListen.empty());
    const SToolRun send = Run({"send", "udp://127.0.0.1:" + strListen, "--rtp", "--rate", "5", "--total",
                               std::to_string(kPackets * 188), "-q"});
    ASSERT_EQ(0, send.nExit) << send.strErr;
    relay.Signal(SIGINT);
    ASSERT_EQ(0, relay.Wait(5000));
    long long nDropped = 0;
    std::istringstream log(ReadAll(P("relay.log")));
    for (std::string strLine; std::getline(log, strLine);)
        nDropped += strLine.find(" dropped") != std::string::npos;
    ASSERT_GT(nDropped, 0);
    const long long llExpected = (kPackets - 7 * nDropped) * 188;
    EXPECT_TRUE(WaitForSize(P("rec.ts"), llExpected, 5000)) << FileSize(P("rec.ts")) << " of " << llExpected;
    rec.Signal(SIGINT);
    EXPECT_EQ(0, rec.Wait(5000 * kToolSlowdown)) << ReadAll(P("rec.err"));

    // Each packet recorded is the stream's next packet or one further on.
    const std::string s = ReadAll(P("rec.ts"));
    EXPECT_EQ(llExpected, static_cast<long long>(s.size()));
    const CTsGenerator gen(5000000);  // the stream of send --rate 5
    long long nNext = 0, nMissing = 0, nForeign = 0;
    for (size_t off = 0; off + 188 <= s.size(); off += 188) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data()) + off;
        long long k = nNext;
        while (k < kPackets && gen.FirstMismatch(static_cast<uint64_t>(k) * 188, p, 188) != -1)
            ++k;
        if (k == kPackets) {
            ++nForeign;  // not a packet of the stream at or after its place
            continue;
        }
        nMissing += k - nNext;
        nNext = k + 1;
    }
    nMissing += kPackets - nNext;
    EXPECT_EQ(0, nForeign);
    EXPECT_EQ(7 * nDropped, nMissing);
    const std::string strRelay = ReadAll(P("relay.err"));
    const size_t nEnd = strRelay.rfind("end: ");
    printf("relay %s; recorded %zu packets, %lld missing (%lld datagrams dropped), %lld not the stream's\n",
           nEnd == std::string::npos ? "?" : strRelay.substr(nEnd, strRelay.find('\n', nEnd) - nEnd).c_str(),
           s.size() / 188, nMissing, nDropped, nForeign);
}
