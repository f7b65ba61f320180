// The receive path behind the impairment relay: an RTP transport stream of
// offset-stamped packets goes through CImpairRelay (seeded drops, bursts,
// duplicates, reordering, bit flips, truncation, RTCP, a restarted sender)
// into a receive thread writing its DVR ring, and a continuity audit of the
// ring must match what the relay says it did: the packets missing are those
// of the datagrams it dropped, nothing is invented, repeated, reordered or
// spliced from two datagrams.
#include <chrono>
#include <future>
#include <sstream>
#include <thread>

#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"
#include "tools/impairrelay.h"

using namespace recvtest;

namespace {

constexpr int kPerDatagram = 7;
constexpr int kDatagram = kPerDatagram * 188;

// What the ring holds, packet by packet: each packet is known by the offset
// its first payload word holds (its number = offset / 188).
struct SAudit
{
    long nPackets = 0;
    long nMissing = 0;     // numbers skipped
    long nBackwards = 0;   // a number not above the one before (repeat or reorder)
    long nCorrupt = 0;     // a packet whose bytes are not all the stamp of its number
    long nMisaligned = 0;  // no sync byte where a packet should start
    long nCcErrors = 0;    // continuity counter not the one after the previous packet's
    std::string strFirstProblem;
};

SAudit Audit(const Bytes& ring, long nExpectedPackets)
{
    SAudit a;
    long nPrev = -1;
    int nPrevCc = -1;
    size_t off = 0;
    for (; off + 188 <= ring.size(); off += 188) {
        const BYTE* p = &ring[off];
        if (p[0] != 0x47) {
            // One packet without its sync byte is a flipped bit; two in a
            // row are the grid lost.
            const bool bNextSync = off + 188 < ring.size() && ring[off + 188] == 0x47;
            if (bNextSync) {
                ++a.nCorrupt;
                if (nPrev >= 0)
                    ++nPrev;
                nPrevCc = (nPrevCc + 1) & 15;
            } else {
                ++a.nMisaligned;
            }
            if (a.strFirstProblem.empty())
                a.strFirstProblem = "no sync byte at ring offset " + std::to_string(off);
            continue;
        }
        ++a.nPackets;
        const long nNumber = static_cast<long>(WordAt(p) / 188);
        BYTE bCC = p[3] & 0x0F;
        const Bytes expect = TsPackets(static_cast<LONGLONG>(nNumber) * 188, 1, &bCC);
        if (WordAt(p) % 188 != 4 || memcmp(p, expect.data(), 188) != 0) {
            ++a.nCorrupt;
            if (a.strFirstProblem.empty())
                a.strFirstProblem = "packet at ring offset " + std::to_string(off) + " is not packet " +
                                    std::to_string(nNumber) + " whole";
            // A flipped bit may hit the first word: go on from the previous.
            if (nPrev >= 0)
                ++nPrev;
            nPrevCc = (nPrevCc + 1) & 15;
            continue;
        }
        if (nNumber <= nPrev) {
            ++a.nBackwards;
            if (a.strFirstProblem.empty())
                a.strFirstProblem = "packet " + std::to_string(nNumber) + " after " + std::to_string(nPrev);
        } else {
            a.nMissing += nNumber - nPrev - 1;
            // The continuity counter runs on unless packets are missing.
            if (nPrevCc >= 0 && nNumber == nPrev + 1 && (p[3] & 0x0F) != ((nPrevCc + 1) & 15))
                ++a.nCcErrors;
            nPrev = nNumber;
        }
        nPrevCc = p[3] & 0x0F;
    }
    if (off != ring.size()) {
        ++a.nMisaligned;
        if (a.strFirstProblem.empty())
            a.strFirstProblem = std::to_string(ring.size() - off) + " bytes after the last whole packet";
    }
    // Packets missing at the end count too.
    if (nPrev < nExpectedPackets - 1)
        a.nMissing += nExpectedPackets - 1 - nPrev;
    return a;
}

std::string Text(const SAudit& a)
{
    return std::to_string(a.nPackets) + " packets, " + std::to_string(a.nMissing) + " missing, " +
           std::to_string(a.nBackwards) + " out of order or repeated, " + std::to_string(a.nCorrupt) + " corrupt, " +
           std::to_string(a.nMisaligned) + " misaligned, " + std::to_string(a.nCcErrors) + " CC errors" +
           (a.strFirstProblem.empty() ? "" : " (first: " + a.strFirstProblem + ")");
}

// Nothing repeated, reordered or joined from two datagrams.
void ExpectInOrderOnTheGrid(const SAudit& a)
{
    EXPECT_EQ(0, a.nBackwards) << Text(a);
    EXPECT_EQ(0, a.nMisaligned) << Text(a);
}

// Sends nDatagrams RTP datagrams (payload type 33) of 7 stamped packets
// through the relay into a receive thread, and answers the ring and the
// relay's record.
struct SRun
{
    Bytes ring;
    std::vector<SImpairEvent> events;
    std::string strSummary;
};

SRun RunThrough(const SImpairPlan& plan, uint32_t dwSeed, int nDatagrams)
{
    SRun run;
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1");
    EXPECT_NE(0, wPort);
    std::future<HRESULT> read = std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });
    CImpairRelay relay(plan, dwSeed);
    const uint16_t wRelay = relay.Start(Addr("127.0.0.1"), ntohs(wPort));
    EXPECT_NE(0, wRelay);
    CTestSender sender;
    BYTE bCC = 0;
    for (int i = 0; i < nDatagrams; ++i) {
        Bytes v = {0x80, 33, static_cast<BYTE>((1000 + i) >> 8), static_cast<BYTE>(1000 + i), 0, 0, 0, 0, 1, 2, 3, 4};
        const uint32_t dwTime = 9000u + 3003u * static_cast<uint32_t>(i);
        v[4] = static_cast<BYTE>(dwTime >> 24), v[5] = static_cast<BYTE>(dwTime >> 16);
        v[6] = static_cast<BYTE>(dwTime >> 8), v[7] = static_cast<BYTE>(dwTime);
        const Bytes ts = TsPackets(static_cast<LONGLONG>(i) * kDatagram, kPerDatagram, &bCC);
        v.insert(v.end(), ts.begin(), ts.end());
        EXPECT_TRUE(sender.Send("127.0.0.1", htons(wRelay), ToString(v)));
        // In bursts of 16 that the relay has taken before the next, so that
        // no socket buffer overflows and every loss is the relay's.
        if (i % 16 == 15 || i + 1 == nDatagrams) {
            for (int n = 0; n < 2000 && relay.Received() < i + 1; ++n)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(i + 1, relay.Received());
        }
    }
    // Everything the relay sent has reached the pin once its total holds
    // still for a while (what was dropped never comes).
    LONGLONG llLast = -1;
    for (int n = 0; n < 100; ++n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50 * kSlow));
        const LONGLONG ll = recv.m_pin.Total();
        if (ll == llLast && relay.Sent() > 0)
            break;
        llLast = ll;
    }
    relay.Stop();
    EXPECT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    run.ring = recv.Ring();
    run.events = relay.Events();
    run.strSummary = relay.Summary();
    return run;
}

long Count(const std::vector<SImpairEvent>& events, bool SImpairEvent::*pm)
{
    long n = 0;
    for (const SImpairEvent& e : events)
        n += e.*pm;
    return n;
}

}  // namespace

TEST(CRelayImpairNet, DropsDuplicatesNearReorderingAndRtcpLoseExactlyTheDroppedPackets)
{
    constexpr int kDatagrams = 1200;
    for (uint32_t dwSeed : {1u, 2u}) {
        SImpairPlan plan;
        plan.dDrop = dwSeed == 1 ? 0.01 : 0.001;
        plan.dBurst = 0.002;
        plan.dDuplicate = 0.03;
        plan.dReorder = 0.03;
        plan.nReorderDistance = 1;
        plan.dRtcp = 0.02;
        const SRun run = RunThrough(plan, dwSeed, kDatagrams);
        const SAudit a = Audit(run.ring, static_cast<long>(kDatagrams) * kPerDatagram);
        const long nDropped = Count(run.events, &SImpairEvent::bDropped);
        printf("seed %u: relay %s; ring %s\n", dwSeed, run.strSummary.c_str(), Text(a).c_str());
        EXPECT_GT(nDropped, 0);
        EXPECT_EQ(nDropped * kPerDatagram, a.nMissing) << Text(a);
        EXPECT_EQ(0, a.nCorrupt) << Text(a);
        ExpectInOrderOnTheGrid(a);
        EXPECT_EQ(0, a.nCcErrors) << Text(a);
    }
}

TEST(CRelayImpairNet, BitFlipsCorruptOnlyTheirOwnPacketsAndCutDatagramsSpliceNothing)
{
    constexpr int kDatagrams = 800;
    SImpairPlan plan;
    plan.dFlip = 0.03;
    const SRun flips = RunThrough(plan, 3, kDatagrams);
    const SAudit a = Audit(flips.ring, static_cast<long>(kDatagrams) * kPerDatagram);
    long nFlips = 0;
    for (const SImpairEvent& e : flips.events)
        nFlips += e.nFlipByte >= 0;
    printf("flips: relay %s; ring %s\n", flips.strSummary.c_str(), Text(a).c_str());
    EXPECT_GT(nFlips, 0);
    EXPECT_EQ(nFlips, a.nCorrupt) << Text(a);
    EXPECT_EQ(0, a.nMissing) << Text(a);
    ExpectInOrderOnTheGrid(a);

    SImpairPlan cut;
    cut.dTruncate = 0.03;
    const SRun cuts = RunThrough(cut, 4, kDatagrams);
    const SAudit b = Audit(cuts.ring, static_cast<long>(kDatagrams) * kPerDatagram);
    long nCut = 0, nWholeLost = 0;
    for (const SImpairEvent& e : cuts.events)
        if (e.nCutTo >= 0) {
            ++nCut;
            // The packets past the cut are gone; the one it falls in too.
            nWholeLost += kPerDatagram - (e.nCutTo - 12) / 188;
        }
    printf("cuts: relay %s; ring %s\n", cuts.strSummary.c_str(), Text(b).c_str());
    EXPECT_GT(nCut, 0);
    // A cut datagram loses the packets past the cut and the one it falls
    // in, nothing more, and no piece of it is joined to the next
    // datagram's packets.
    EXPECT_EQ(nWholeLost, b.nMissing) << Text(b);
    EXPECT_EQ(0, b.nCorrupt) << Text(b);
    ExpectInOrderOnTheGrid(b);
}

TEST(CRelayImpairNet, ASenderRestartingItsSequenceAndAReorderingBeyondTheWindowInventNothing)
{
    constexpr int kDatagrams = 800;
    SImpairPlan restart;
    restart.nRestartAt = 400;
    const SRun r = RunThrough(restart, 5, kDatagrams);
    const SAudit a = Audit(r.ring, static_cast<long>(kDatagrams) * kPerDatagram);
    printf("restart: relay %s; ring %s\n", r.strSummary.c_str(), Text(a).c_str());
    EXPECT_EQ(Count(r.events, &SImpairEvent::bRestarted), kDatagrams - 400);
    EXPECT_EQ(0, a.nCorrupt) << Text(a);
    ExpectInOrderOnTheGrid(a);
    // With the same SSRC the first datagram of the new numbering looks like
    // a stray and is dropped; the second confirms the restart and the
    // stream goes on from it. Nothing else is lost.
    EXPECT_LE(a.nMissing, static_cast<long>(kPerDatagram)) << Text(a);

    SImpairPlan far;
    far.dReorder = 0.02;
    far.nReorderDistance = 200;
    const SRun f = RunThrough(far, 6, kDatagrams);
    const SAudit b = Audit(f.ring, static_cast<long>(kDatagrams) * kPerDatagram);
    const long nLate = Count(f.events, &SImpairEvent::bReordered);
    printf("far reordering: relay %s; ring %s\n", f.strSummary.c_str(), Text(b).c_str());
    EXPECT_GT(nLate, 0);
    // A datagram far too late is lost, never written out of its place.
    EXPECT_LE(b.nMissing, nLate * kPerDatagram) << Text(b);
    EXPECT_EQ(0, b.nCorrupt) << Text(b);
    ExpectInOrderOnTheGrid(b);
}

#include "tools/tooltest.h"

namespace {

class CRelayCommandTest : public CToolTest
{
};

}  // namespace

TEST_F(CRelayCommandTest, TheRelayCommandDropsWhatItsLogSaysAndNothingElse)
{
    // A receiver socket of our own; the relay in a child process between.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cbSa = sizeof(sa);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &cbSa));
    int nBuf = 1 << 20;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
    CChild relay;
    relay.Start({"relay", "--to", std::to_string(ntohs(sa.sin_port)), "--seed", "9", "--drop", "0.2", "--log",
                 P("relay.log")},
                P("relay.out"), P("relay.err"));
    const std::string strListen = WaitForLine(P("relay.out"), "listening udp://127.0.0.1:");
    ASSERT_FALSE(strListen.empty());
    const WORD wRelay = static_cast<WORD>(atoi(strListen.c_str()));
    CTestSender sender;
    constexpr int kDatagrams = 200;
    std::vector<int> got;
    for (int i = 0; i < kDatagrams; ++i) {
        ASSERT_TRUE(sender.Send("127.0.0.1", htons(wRelay), "datagram " + std::to_string(i)));
        // Take what came through before the next, bounded: a dropped one
        // never comes, so the wait for it is short.
        for (;;) {
            pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(30 * kToolSlowdown)) <= 0)
                break;
            char sz[64] = {};
            const ssize_t n = recv(fd, sz, sizeof(sz) - 1, 0);
            if (n > 9)
                got.push_back(atoi(sz + 9));
            if (!got.empty() && got.back() == i)
                break;
        }
    }
    relay.Signal(SIGINT);
    ASSERT_EQ(0, relay.Wait(5000));
    close(fd);
    const std::string strErr = ReadAll(P("relay.err"));
    EXPECT_NE(strErr.find("200 in, " + std::to_string(got.size()) + " out"), std::string::npos) << strErr;
    // The log names every dropped datagram; the others came, in order.
    std::vector<int> dropped;
    std::istringstream log(ReadAll(P("relay.log")));
    std::string strLine;
    while (std::getline(log, strLine)) {
        EXPECT_NE(strLine.find(" dropped"), std::string::npos) << strLine;
        dropped.push_back(atoi(strLine.c_str()));
    }
    EXPECT_GT(dropped.size(), 10u);
    std::vector<int> expect;
    for (int i = 0, k = 0; i < kDatagrams; ++i) {
        if (k < static_cast<int>(dropped.size()) && dropped[static_cast<size_t>(k)] == i)
            ++k;
        else
            expect.push_back(i);
    }
    EXPECT_EQ(expect, got);
}
