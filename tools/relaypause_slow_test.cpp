// An RTP sender that goes quiet for 30 s behind the relay, with the
// receive thread's default options: the loop neither ends nor reconnects,
// and once the sender goes on every packet lands in the ring, in order.
#include <future>
#include <thread>

#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"
#include "tools/impairrelay.h"

using namespace recvtest;

namespace {

constexpr int kPerDatagram = 7;
constexpr int kDatagram = kPerDatagram * 188;

// Datagrams [nFrom, nTo) of an RTP (payload type 33) stream of stamped
// packets, sent in bursts the relay takes before the next.
void SendRange(CTestSender* pSender, const CImpairRelay& relay, uint16_t wRelay, int nFrom, int nTo, BYTE* pbCC)
{
    for (int i = nFrom; i < nTo; ++i) {
        Bytes v = {0x80, 33, static_cast<BYTE>((2000 + i) >> 8), static_cast<BYTE>(2000 + i), 0, 0, 0, 0, 5, 6, 7, 8};
        const uint32_t dwTime = 1000u + 3003u * static_cast<uint32_t>(i);
        v[4] = static_cast<BYTE>(dwTime >> 24), v[5] = static_cast<BYTE>(dwTime >> 16);
        v[6] = static_cast<BYTE>(dwTime >> 8), v[7] = static_cast<BYTE>(dwTime);
        const Bytes ts = TsPackets(static_cast<LONGLONG>(i) * kDatagram, kPerDatagram, pbCC);
        v.insert(v.end(), ts.begin(), ts.end());
        EXPECT_TRUE(pSender->Send("127.0.0.1", htons(wRelay), ToString(v)));
        if (i % 16 == 15 || i + 1 == nTo)
            for (int n = 0; n < 2000 && relay.Received() < i + 1; ++n)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

TEST(CRelayPause, AThirtySecondPauseNeitherEndsNorReconnectsTheLoop)
{
    CTraceCapture trace;
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1");
    ASSERT_NE(0, wPort);
    std::future<HRESULT> read = std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });
    CImpairRelay relay(SImpairPlan{}, 1);
    const uint16_t wRelay = relay.Start(Addr("127.0.0.1"), ntohs(wPort));
    ASSERT_NE(0, wRelay);
    CTestSender sender;
    BYTE bCC = 0;
    SendRange(&sender, relay, wRelay, 0, 100, &bCC);
    recv.m_pin.ExpectBytes(100LL * kDatagram);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    std::this_thread::sleep_for(std::chrono::seconds(30));  // the pause under test
    EXPECT_TRUE(recv->IsReading());
    SendRange(&sender, relay, wRelay, 100, 200, &bCC);
    recv.m_pin.ExpectBytes(200LL * kDatagram);
    EXPECT_TRUE(recv.m_pin.WaitReached());
    relay.Stop();
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_FALSE(trace.Has("ReopenTcpSocket") || trace.Has("Timeout expired"));
    const Bytes ring = recv.Ring();
    std::string strWhere;
    EXPECT_EQ(200u * kDatagram, ring.size());
    EXPECT_TRUE(WordsHoldOffsets(ring, &strWhere)) << strWhere;
    printf("relay %s; %zu bytes in the ring after a 30 s pause\n", relay.Summary().c_str(), ring.size());
}
