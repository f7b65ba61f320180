// TCP through the impairment relay (tools/tcpimpairrelay.h): `kvudpsrc send`
// serves every client the test stream from its start, the relay splits its
// writes, closes and resets connections and stays away for a while, and a
// receive thread in this process records what comes into its ring. Each
// connection starts the stream again, so the ring must be, exactly, the
// concatenation of the stream's first N_k bytes for the bytes N_k the relay
// delivered on connection k: nothing lost, nothing repeated. The seams are
// found in the ring by its content (where the stream starts over) and must
// fall where the relay's counts put them.
#include <fstream>
#include <future>
#include <sstream>

#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"
#include "tools/tcpimpairrelay.h"
#include "tools/tooltest.h"
#include "tools/tsgen.h"

using namespace recvtest;

namespace {

using Clock = std::chrono::steady_clock;

// Where the stream starts over in the ring: after a mismatch with the
// stream so far, the seam is the nearest place before it from which the ring
// is the stream's start again (a cut may leave a few bytes that the stream's
// start repeats by chance).
std::vector<size_t> SeamsByContent(const CTsGenerator& gen, const Bytes& ring)
{
    std::vector<size_t> seams;
    size_t start = 0;
    for (size_t pos = 0; pos < ring.size();) {
        const long long m = gen.FirstMismatch(pos - start, ring.data() + pos, ring.size() - pos);
        if (m < 0)
            break;
        const size_t miss = pos + static_cast<size_t>(m);
        size_t seam = miss;
        for (size_t q = miss; q > start && q + 1024 > miss; --q) {
            const size_t cb = std::min<size_t>(1024, ring.size() - q);
            if (gen.FirstMismatch(0, ring.data() + q, cb) < 0)
                seam = q;
        }
        if (seam == start || gen.FirstMismatch(0, ring.data() + seam, std::min<size_t>(1024, ring.size() - seam)) >= 0)
            return seams;  // no stream start here: the ring holds something else
        seams.push_back(seam);
        start = pos = seam;
    }
    return seams;
}

class CRelayTcpTest : public CToolTest
{
protected:
    // `send` on a port of its own, serving cbPerClient bytes to each client.
    uint16_t StartSender(long long cbPerClient)
    {
        m_send.Start({"send", "tcp://127.0.0.1:0", "--rate", "0", "--total", std::to_string(cbPerClient), "-q"},
                     P("send.out"), P("send.err"));
        const std::string str = WaitForLine(P("send.out"), "listening tcp://127.0.0.1:");
        return static_cast<uint16_t>(atoi(str.c_str()));
    }

    struct SResult
    {
        Bytes ring;
        std::vector<STcpConnection> conns;
        std::string strSummary;
        // When the ring's published size first passed each byte count.
        std::vector<std::pair<Clock::time_point, LONGLONG>> growth;
        long nOddUnits = 0;  // units at the pin that are no whole number of TS packets
    };

    // KV_RELAY_SEED=N runs every test with other seeds.
    static uint32_t Seed(uint32_t dw)
    {
        const char* psz = getenv("KV_RELAY_SEED");
        return psz ? dw + 1000u * static_cast<uint32_t>(atoi(psz)) : dw;
    }

    // The receive thread through the relay until the relay has ended nConns
    // connections and the ring holds what they delivered.
    SResult RunReceiver(const STcpImpairPlan& plan, uint32_t dwSeed, long long cbPerClient, size_t nConns)
    {
        SResult r;
        const uint16_t wSend = StartSender(cbPerClient);
        EXPECT_NE(0, wSend);
        CTcpImpairRelay relay(plan, Seed(dwSeed));
        const uint16_t wRelay = relay.Start(Addr("127.0.0.1"), wSend);
        EXPECT_NE(0, wRelay);
        CRecv recv;
        recv.Open("127.0.0.1", u"?Timeout=5", false, htons(wRelay));
        std::atomic<bool> bWatch{true};
        // The ring's growth, sampled every millisecond: a measurement, not
        // a synchronisation.
        std::thread watcher([&] {
            LONGLONG llLast = -1;
            for (int i = 0; bWatch && i < 60000; ++i) {
                SRecvStats s;
                recv->GetStats(&s);
                if (s.llRingBytes != llLast)
                    r.growth.emplace_back(Clock::now(), llLast = s.llRingBytes);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        std::future<HRESULT> read = std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });
        for (int i = 0; i < 3000 && relay.Ended() < nConns; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(nConns, relay.Ended()) << relay.Summary();
        long long llDelivered = 0;
        for (const STcpConnection& c : relay.Connections())
            llDelivered += c.llDelivered;
        recv.m_pin.ExpectBytes(llDelivered);
        EXPECT_TRUE(recv.m_pin.WaitReached(10000)) << recv.m_pin.Total() << " of " << llDelivered;
        for (int i = 0; i < 200; ++i) {
            SRecvStats s;
            recv->GetStats(&s);
            if (s.llRingBytes >= llDelivered)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        bWatch = false;
        watcher.join();
        relay.Stop();
        EXPECT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(5)));
        EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
        m_send.Signal(SIGINT);
        EXPECT_EQ(0, m_send.Wait(5000));
        r.ring = recv.Ring();
        for (const SUnit& u : recv.m_pin.Units())
            r.nOddUnits += u.data.size() % 188 != 0;
        r.conns = relay.Connections();
        r.strSummary = relay.Summary();
        return r;
    }

    // The ring against the relay's record: the stream's start, once per
    // connection, each as long as what the relay delivered on it.
    static void ExpectConcatenation(const SResult& r)
    {
        const CTsGenerator gen(0);
        std::vector<size_t> expect;
        size_t off = 0;
        std::string strConns;
        for (const STcpConnection& c : r.conns) {
            strConns += " " + std::to_string(c.llDelivered) + "/" + TcpEndName(c.eEnd);
            if (c.llDelivered == 0)
                continue;
            if (off > 0)
                expect.push_back(off);
            const size_t cb = static_cast<size_t>(c.llDelivered);
            ASSERT_LE(off + cb, r.ring.size()) << "the ring ends inside connection " << expect.size() << ":"
                                               << strConns;
            EXPECT_EQ(-1, gen.FirstMismatch(0, r.ring.data() + off, cb))
                << "connection at ring offset " << off << " is not the stream's first " << cb << " bytes:" << strConns;
            off += cb;
        }
        EXPECT_EQ(off, r.ring.size()) << "bytes the relay never delivered:" << strConns;
        const std::vector<size_t> seams = SeamsByContent(gen, r.ring);
        EXPECT_EQ(expect, seams) << "seams by content differ from the relay's counts:" << strConns;
    }

    CChild m_send;
};

}  // namespace

TEST_F(CRelayTcpTest, SplitWritesNeverChangeTheRecordedBytes)
{
    STcpImpairPlan plan;
    plan.dSplit = 1;
    plan.nMaxPieces = 6;
    plan.nConnections = 1;
    const SResult r = RunReceiver(plan, 11, 3000000, 1);
    printf("split: relay %s; ring %zu bytes, %ld reads no whole number of packets\n", r.strSummary.c_str(),
           r.ring.size(), r.nOddUnits);
    // The receiver's reads fell off the packet grid.
    EXPECT_GT(r.nOddUnits, 20);
    ASSERT_EQ(1u, r.conns.size());
    EXPECT_EQ(ETcpEnd::ServerEnded, r.conns[0].eEnd);
    EXPECT_GT(r.conns[0].nPieces, 20);
    EXPECT_EQ(3000000 / 188 * 188, r.conns[0].llDelivered);
    ExpectConcatenation(r);
}

// Connections closed and reset after a random number of bytes, the relay's
// listener away for 100 to 250 ms after each: the receiver reconnects, loses and
// repeats nothing of what was delivered, and its ring grows again within
// 300 ms of the listener's return.
TEST_F(CRelayTcpTest, ClosesAndResetsLoseAndRepeatNothingAndReconnectQuickly)
{
    STcpImpairPlan plan;
    plan.dSplit = 0.2;
    plan.llBreakMin = 20000;
    plan.llBreakMax = 500000;
    plan.nBreaks = 7;
    plan.dReset = 0.5;
    plan.nDownMs = 100;
    plan.nDownRandomMs = 150;  // the listener returns at any moment between two attempts
    plan.nConnections = 8;
    const SResult r = RunReceiver(plan, 12, 600000, 8);
    printf("breaks: relay %s; ring %zu bytes\n", r.strSummary.c_str(), r.ring.size());
    ASSERT_EQ(8u, r.conns.size());
    long nResets = 0, nCloses = 0;
    for (const STcpConnection& c : r.conns)
        nResets += c.eEnd == ETcpEnd::Reset, nCloses += c.eEnd == ETcpEnd::Closed;
    EXPECT_GT(nResets, 0);
    EXPECT_GT(nCloses, 0);
    ExpectConcatenation(r);

    // From the listener's return to the first byte of the new connection
    // in the ring.
    long long llBefore = 0, llWorstMs = 0;
    for (size_t k = 0; k < r.conns.size(); ++k) {
        if (k > 0 && r.conns[k].llDelivered > 0) {
            const auto it = std::find_if(r.growth.begin(), r.growth.end(),
                                         [&](const auto& g) { return g.second > llBefore; });
            ASSERT_NE(r.growth.end(), it) << "connection " << k << ": the ring never passed " << llBefore
                                          << " bytes; it reached "
                                          << (r.growth.empty() ? -1 : r.growth.back().second) << " of "
                                          << r.ring.size();
            const long long llMs =
                std::chrono::duration_cast<std::chrono::milliseconds>(it->first - r.conns[k].tListening).count();
            llWorstMs = std::max(llWorstMs, llMs);
            EXPECT_LT(llMs, 300 * static_cast<long long>(kSlow)) << "connection " << k;
        }
        llBefore += r.conns[k].llDelivered;
    }
    printf("breaks: worst time from the listener's return to the ring growing: %lld ms\n", llWorstMs);
}

// The same through the processes a user runs: `send` into `relay --tcp`
// into `record tcp://`. The recording is the concatenation the relay's log
// calls for, and `record` ends by itself once the server stays away past
// its time-out.
TEST_F(CRelayTcpTest, SendRelayRecordProcessesKeepEveryDeliveredByteOnce)
{
    const uint16_t wSend = StartSender(400000);
    ASSERT_NE(0, wSend);
    CChild relay;
    relay.Start({"relay", "--tcp", "--to", std::to_string(wSend), "--seed", std::to_string(Seed(13)), "--split",
                 "0.3", "--break-min", "30000", "--break-max", "300000", "--breaks", "3", "--down", "100",
                 "--connections", "4", "--log", P("relay.log")},
                P("relay.out"), P("relay.err"));
    const std::string strListen = WaitForLine(P("relay.out"), "listening tcp://127.0.0.1:");
    ASSERT_FALSE(strListen.empty());
    const SToolRun rec =
        Run({"record", "tcp://127.0.0.1:" + strListen + "?Timeout=1", "-o", P("rec.ts"), "-q"}, 20000);
    EXPECT_EQ(0, rec.nExit) << rec.strErr;
    relay.Signal(SIGINT);
    ASSERT_EQ(0, relay.Wait(5000 * kToolSlowdown)) << ReadAll(P("relay.err"));
    m_send.Signal(SIGINT);
    EXPECT_EQ(0, m_send.Wait(5000 * kToolSlowdown));

    SResult r;
    std::istringstream log(ReadAll(P("relay.log")));
    std::string strLine;
    while (std::getline(log, strLine)) {
        // "K END delivered N written N split N"
        STcpConnection c;
        char szEnd[32] = {};
        int nConn = 0;
        ASSERT_EQ(3, sscanf(strLine.c_str(), "%d %31s delivered %lld", &nConn, szEnd, &c.llDelivered)) << strLine;
        c.eEnd = std::string(szEnd) == "reset" ? ETcpEnd::Reset : ETcpEnd::Closed;
        r.conns.push_back(c);
    }
    ASSERT_EQ(4u, r.conns.size()) << ReadAll(P("relay.log"));
    std::ifstream f(P("rec.ts"), std::ios::binary);
    r.ring = Bytes(std::istreambuf_iterator<char>(f), {});
    printf("processes: %s", ReadAll(P("relay.log")).c_str());
    ExpectConcatenation(r);
}
