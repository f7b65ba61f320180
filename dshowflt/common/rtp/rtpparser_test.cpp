// RTP detection, reordering, clock rebuilding and RTCP handling. Payloads
// use payload type 33 (a transport stream), which is handed on as it
// stands, so each unit is exactly one packet's payload.
#include "dshowflt/common/rtp/rtpparser.h"

#include <gtest/gtest.h>

#include "dshowflt/common/rtp/rtptestutil.h"

using namespace rtptest;

namespace {

Bytes TsPacket(DWORD dwSeq, DWORD dwTimestamp = 0, bool bMarker = false)
{
    RtpPacket pkt;
    pkt.bPayloadType = 33;
    pkt.dwSeq = dwSeq;
    pkt.dwTimestamp = dwTimestamp;
    pkt.bMarker = bMarker;
    pkt.payload = {0x47, static_cast<BYTE>(dwSeq >> 8), static_cast<BYTE>(dwSeq)};
    return pkt.Build();
}

DWORD SeqOf(const Unit& u)
{
    return (DWORD(u.data[1]) << 8) | u.data[2];
}

class CRTPParserTest : public ::testing::Test
{
protected:
    // Feeds sequence numbers and returns the sequence numbers handed on.
    std::vector<DWORD> FeedSeqs(std::initializer_list<DWORD> seqs, std::vector<int>* pResults = nullptr,
                                std::vector<DWORD>* pFlags = nullptr)
    {
        std::vector<DWORD> out;
        for (DWORD s : seqs) {
            FeedResult r = Feed(m_parser, TsPacket(s));
            if (pResults)
                pResults->push_back(r.nFirst);
            for (const Unit& u : r.units) {
                out.push_back(SeqOf(u));
                if (pFlags)
                    pFlags->push_back(u.dwFlags);
            }
        }
        return out;
    }

    CRTPParser m_parser;
};

TEST_F(CRTPParserTest, DetectionRejectsTransportStreamAndConfirmsAcrossSequenceWrap)
{
    Bytes ts(188, 0xFF);
    ts[0] = 0x47;
    EXPECT_EQ(0, m_parser.IsRTP(ts.data(), static_cast<LONG>(ts.size())));
    EXPECT_EQ(RTPSTATE_NO, m_parser.State());
    // The decision sticks: a valid RTP packet later does not change it.
    Bytes rtp = TsPacket(1);
    EXPECT_EQ(0, m_parser.IsRTP(rtp.data(), static_cast<LONG>(rtp.size())));

    m_parser.ResetRTPState();
    Bytes a = TsPacket(65535), b = TsPacket(0);
    EXPECT_EQ(1, m_parser.IsRTP(a.data(), static_cast<LONG>(a.size())));
    ASSERT_EQ(1u, Feed(m_parser, a).units.size());
    // RTCP between the two neither confirms nor refutes.
    Bytes rr = RtcpPacket(RTCP_RR, 1);
    EXPECT_EQ(1, m_parser.IsRTP(rr.data(), static_cast<LONG>(rr.size())));
    EXPECT_EQ(2, m_parser.IsRTP(b.data(), static_cast<LONG>(b.size())));
    EXPECT_EQ(RTPSTATE_YES, m_parser.State());

    // Another payload type while still undecided rejects RTP.
    m_parser.ResetRTPState();
    RtpPacket other;
    other.bPayloadType = 34;
    other.dwSeq = 1;
    other.payload = {1, 2, 3};
    Bytes c = other.Build();
    EXPECT_EQ(1, m_parser.IsRTP(a.data(), static_cast<LONG>(a.size())));
    EXPECT_EQ(0, m_parser.IsRTP(c.data(), static_cast<LONG>(c.size())));

    // Payload type 0 from the URL switches detection off for good.
    m_parser.SetPayloadType(0, RTPFORMAT_RAW);
    m_parser.ResetRTPState();
    EXPECT_EQ(0, m_parser.IsRTP(a.data(), static_cast<LONG>(a.size())));
}

TEST_F(CRTPParserTest, ReorderedPacketsComeOutInOrderWithoutDiscontinuity)
{
    std::vector<int> results;
    std::vector<DWORD> flags;
    std::vector<DWORD> out = FeedSeqs({1, 3, 4, 2, 5}, &results, &flags);
    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4, 5}), out);
    EXPECT_EQ((std::vector<int>{RTPPACKET_GOOD, RTPPACKET_DISCARD, RTPPACKET_DISCARD, RTPPACKET_GOOD_MULTIPLE,
                                RTPPACKET_GOOD}),
              results);
    for (DWORD f : flags) {
        EXPECT_EQ(0u, f & RTPUNIT_DISCONTINUITY);
        EXPECT_NE(0u, f & RTPUNIT_SYNCPOINT);
    }
    EXPECT_EQ(0, m_parser.HeldPackets());
}

TEST_F(CRTPParserTest, LostPacketReleasesHeldOnesAfterFiveWithDiscontinuity)
{
    std::vector<int> results;
    std::vector<DWORD> flags;
    std::vector<DWORD> out = FeedSeqs({10, 12, 13, 14, 15, 16}, &results, &flags);
    EXPECT_EQ((std::vector<DWORD>{10}), out);
    EXPECT_EQ(5, m_parser.HeldPackets());
    for (size_t i = 1; i < results.size(); ++i)
        EXPECT_EQ(RTPPACKET_DISCARD, results[i]);

    out = FeedSeqs({17}, nullptr, &flags);
    EXPECT_EQ((std::vector<DWORD>{12, 13, 14, 15, 16, 17}), out);
    ASSERT_EQ(7u, flags.size());
    EXPECT_NE(0u, flags[1] & RTPUNIT_DISCONTINUITY);
    for (size_t i = 2; i < flags.size(); ++i)
        EXPECT_EQ(0u, flags[i] & RTPUNIT_DISCONTINUITY);
    // The lost packet arriving now is late: dropped, not handed on.
    std::vector<int> late;
    EXPECT_TRUE(FeedSeqs({11}, &late).empty());
    EXPECT_EQ(RTPPACKET_DUPLICATE, late[0]);
}

TEST_F(CRTPParserTest, ReorderAcrossSequenceWrap)
{
    std::vector<DWORD> out = FeedSeqs({65533, 65535, 0, 65534, 1});
    EXPECT_EQ((std::vector<DWORD>{65533, 65534, 65535, 0, 1}), out);

    // A loss just before the wrap releases the held run in wrapped order.
    CRTPParser parser;
    std::vector<DWORD> seqs;
    for (DWORD s : {65530u, 65532u, 65533u, 65534u, 65535u, 0u, 1u}) {
        for (const Unit& u : Feed(parser, TsPacket(s)).units)
            seqs.push_back(SeqOf(u));
    }
    EXPECT_EQ((std::vector<DWORD>{65530, 65532, 65533, 65534, 65535, 0, 1}), seqs);
}

TEST_F(CRTPParserTest, LateAndDuplicatePacketsAreDroppedAndLeaveTheSequenceAlone)
{
    std::vector<int> results;
    std::vector<DWORD> flags;
    std::vector<DWORD> out = FeedSeqs({100, 101, 101, 99, 100, 103, 103, 102, 104}, &results, &flags);
    EXPECT_EQ((std::vector<DWORD>{100, 101, 102, 103, 104}), out);
    EXPECT_EQ(RTPPACKET_DUPLICATE, results[2]);
    EXPECT_EQ(RTPPACKET_DUPLICATE, results[3]);
    EXPECT_EQ(RTPPACKET_DUPLICATE, results[4]);
    EXPECT_EQ(RTPPACKET_DISCARD, results[5]);
    EXPECT_EQ(RTPPACKET_DUPLICATE, results[6]);  // already held
    for (DWORD f : flags)
        EXPECT_EQ(0u, f & RTPUNIT_DISCONTINUITY);
    // Less than half the space ahead is early and held; more is late.
    results.clear();
    EXPECT_TRUE(FeedSeqs({104 + 30000, 104 + 40000}, &results).empty());
    EXPECT_EQ(RTPPACKET_DISCARD, results[0]);
    EXPECT_EQ(RTPPACKET_DUPLICATE, results[1]);
}

TEST_F(CRTPParserTest, UnitTimeFollowsClockAcrossWrapAndSenderRestart)
{
    FeedResult r = Feed(m_parser, TsPacket(1, 90000));
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(10000000, r.units[0].rtTime);

    // Forward wrap of the 32-bit stamp: spacing stays 6000 ticks.
    CRTPParser wrap;
    r = Feed(wrap, TsPacket(1, 0xFFFFFFFFu - 2999));
    LONGLONG rtBefore = r.units.at(0).rtTime;
    r = Feed(wrap, TsPacket(2, 3000));
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(rtBefore + 6000 * 1000 / 9, r.units[0].rtTime);
    EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_TIME_OFFSET);
    r = Feed(wrap, TsPacket(3, 6000));
    EXPECT_EQ(0u, r.units.at(0).dwFlags & RTPUNIT_TIME_OFFSET);
    EXPECT_EQ(rtBefore + 9000 * 1000 / 9, r.units[0].rtTime);

    // A step back of under a second is kept as it is.
    CRTPParser small;
    Feed(small, TsPacket(1, 500000));
    r = Feed(small, TsPacket(2, 500000 - 45000));
    EXPECT_EQ(0u, r.units.at(0).dwFlags & RTPUNIT_TIME_OFFSET);
    EXPECT_EQ((500000 - 45000) * 1000LL / 9, r.units[0].rtTime);

    // A sender restart: time goes on 33 ms after the previous packet.
    CRTPParser restart;
    r = Feed(restart, TsPacket(1, 9000000));
    rtBefore = r.units.at(0).rtTime;
    r = Feed(restart, TsPacket(2, 1234));
    EXPECT_EQ(rtBefore + 330000, r.units.at(0).rtTime);
    EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_TIME_OFFSET);
    r = Feed(restart, TsPacket(3, 1234 + 2970));
    EXPECT_EQ(rtBefore + 660000, r.units.at(0).rtTime);
}

TEST_F(CRTPParserTest, TickConversionUsesWideIntermediate)
{
    // 7 Hz: ratio 7 : 10,000,000; 10^12 ticks x 10^7 overflows 64 bits.
    m_parser.SetClockRate(7);
    EXPECT_EQ(1428571428571428571LL, m_parser.TicksTo100ns(1000000000000LL));
    m_parser.SetClockRate(48000);
    EXPECT_EQ(10000000, m_parser.TicksTo100ns(48000));
    m_parser.SetClockRate(90000);
    EXPECT_EQ(111, m_parser.TicksTo100ns(1));
}

TEST_F(CRTPParserTest, RtcpOnTheRtpPortIsConsumedWithoutDiscontinuity)
{
    // Right after a reset: a bare sender report and one with a report
    // block are both accepted and hand on nothing.
    for (int nWords : {6, 12}) {
        FeedResult r = Feed(m_parser, RtcpPacket(RTCP_SR, nWords));
        EXPECT_EQ(RTPPACKET_GOOD, r.nFirst);
        EXPECT_TRUE(r.units.empty());
    }
    std::vector<DWORD> flags;
    EXPECT_EQ((std::vector<DWORD>{1}), FeedSeqs({1}, nullptr, &flags));
    for (BYTE bType : {200, 201, 202, 203}) {
        FeedResult r = Feed(m_parser, RtcpPacket(bType, 7));
        EXPECT_EQ(RTPPACKET_GOOD, r.nFirst);
        EXPECT_TRUE(r.units.empty());
        EXPECT_EQ(0, m_parser.HeldPackets());
    }
    // A short sender report is harmless.
    EXPECT_TRUE(Feed(m_parser, RtcpPacket(RTCP_SR, 2)).units.empty());
    EXPECT_EQ((std::vector<DWORD>{2, 3}), FeedSeqs({2, 3}, nullptr, &flags));
    for (DWORD f : flags)
        EXPECT_EQ(0u, f & RTPUNIT_DISCONTINUITY);
}

TEST_F(CRTPParserTest, PaddingAndExtensionBounds)
{
    RtpPacket pkt;
    pkt.bPayloadType = 33;
    pkt.payload = {1, 2, 3, 4};

    // Extension and CSRCs are skipped, padding cut off.
    pkt.dwSeq = 1;
    pkt.nCSRC = 2;
    pkt.nExtWords = 2;
    pkt.nPadding = 3;
    FeedResult r = Feed(m_parser, pkt.Build());
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(pkt.payload, r.units[0].data);

    // Padding that eats the whole payload, even with an empty payload.
    CRTPParser p2;
    RtpPacket empty = pkt;
    empty.payload.clear();
    empty.nPadding = 1;
    EXPECT_EQ(RTPPACKET_BAD, Feed(p2, empty.Build()).nFirst);
    Bytes b = pkt.Build();
    b.back() = static_cast<BYTE>(4 + 3 + 1);  // claims the payload too
    EXPECT_EQ(RTPPACKET_BAD, Feed(p2, b).nFirst);
    b.back() = 0xFF;
    EXPECT_EQ(RTPPACKET_BAD, Feed(p2, b).nFirst);

    // Extension length beyond the datagram, and a header cut short.
    RtpPacket ext;
    ext.payload = {9};
    ext.nExtWords = 0;
    b = ext.Build();
    b[15] = 0xFF;
    EXPECT_EQ(RTPPACKET_BAD, Feed(p2, b).nFirst);
    b.resize(15);
    EXPECT_EQ(RTPPACKET_BAD, Feed(p2, b).nFirst);
    RtpPacket csrc;
    csrc.nCSRC = 15;
    b = csrc.Build();
    b.resize(40);
    EXPECT_EQ(RTPPACKET_BAD, Feed(p2, b).nFirst);
    const Bytes whole = TsPacket(5);
    for (size_t n = 0; n < 13; ++n)
        EXPECT_EQ(RTPPACKET_BAD, Feed(p2, Bytes(whole.begin(), whole.begin() + n)).nFirst) << n;
}

}  // namespace
