// RTP detection, reordering, clock rebuilding and RTCP handling. Payloads
// use payload type 33 (a transport stream), which is handed on as it
// stands, so each unit is exactly one packet's payload.
#include "dshowflt/common/rtp/rtpparser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "dshowflt/common/rtp/rtptestutil.h"

using namespace rtptest;

namespace {

Bytes TsPacket(DWORD dwSeq, DWORD dwTimestamp = 0, bool bMarker = false, DWORD dwSSRC = 0x11223344)
{
    RtpPacket pkt;
    pkt.bPayloadType = 33;
    pkt.dwSSRC = dwSSRC;
    pkt.dwSeq = dwSeq;
    pkt.dwTimestamp = dwTimestamp;
    pkt.bMarker = bMarker;
    pkt.payload = {0x47, static_cast<BYTE>(dwSeq >> 8), static_cast<BYTE>(dwSeq), static_cast<BYTE>(dwSSRC)};
    return pkt.Build();
}

DWORD SeqOf(const Unit& u)
{
    return (DWORD(u.data[1]) << 8) | u.data[2];
}

// Feeds sequence numbers and returns the sequence numbers handed on.
std::vector<DWORD> FeedSeqs(CRTPParser& parser, std::initializer_list<DWORD> seqs,
                            std::vector<int>* pResults = nullptr, std::vector<DWORD>* pFlags = nullptr)
{
    std::vector<DWORD> out;
    for (DWORD s : seqs) {
        FeedResult r = Feed(parser, TsPacket(s));
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

class CRTPParserTest : public ::testing::Test
{
protected:
    std::vector<DWORD> FeedSeqs(std::initializer_list<DWORD> seqs, std::vector<int>* pResults = nullptr,
                                std::vector<DWORD>* pFlags = nullptr)
    {
        return ::FeedSeqs(m_parser, seqs, pResults, pFlags);
    }
    int IsRtp(const Bytes& b) { return m_parser.IsRTP(b.data(), static_cast<LONG>(b.size())); }

    CRTPParser m_parser;
};

TEST_F(CRTPParserTest, DetectionRejectsTransportStreamAndConfirmsAcrossSequenceWrap)
{
    Bytes ts(188, 0xFF);
    ts[0] = 0x47;
    EXPECT_EQ(0, IsRtp(ts));
    EXPECT_EQ(RTPSTATE_NO, m_parser.State());
    // The decision sticks: a valid RTP packet later does not change it.
    EXPECT_EQ(0, IsRtp(TsPacket(1)));

    m_parser.ResetRTPState();
    const Bytes a = TsPacket(65535);
    EXPECT_EQ(1, IsRtp(a));
    ASSERT_EQ(1u, Feed(m_parser, a).units.size());
    // RTCP between the two neither confirms nor refutes.
    EXPECT_EQ(1, IsRtp(RtcpPacket(RTCP_RR, 1)));
    EXPECT_EQ(2, IsRtp(TsPacket(0)));
    EXPECT_EQ(RTPSTATE_YES, m_parser.State());

    // Another payload type while still undecided rejects RTP.
    m_parser.ResetRTPState();
    RtpPacket other;
    other.bPayloadType = 34;
    other.dwSeq = 1;
    other.payload = {1, 2, 3};
    EXPECT_EQ(1, IsRtp(a));
    EXPECT_EQ(0, IsRtp(other.Build()));

    // Payload type 0 from the URL switches detection off for good.
    m_parser.SetPayloadType(0, RTPFORMAT_RAW);
    m_parser.ResetRTPState();
    EXPECT_EQ(0, IsRtp(a));
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
    EXPECT_EQ((std::vector<DWORD>{65530, 65532, 65533, 65534, 65535, 0, 1}),
              ::FeedSeqs(parser, {65530, 65532, 65533, 65534, 65535, 0, 1}));
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
    // Up to 3000 ahead is early and held; up to 100 behind is late; past
    // either bound a packet is dropped unless a second one continues it.
    results.clear();
    EXPECT_TRUE(FeedSeqs({104 + 3000, 104 - 100, 104 + 3001 + 10, 104 - 101 - 2}, &results).empty());
    EXPECT_EQ((std::vector<int>{RTPPACKET_DISCARD, RTPPACKET_DUPLICATE, RTPPACKET_DISCARD, RTPPACKET_DISCARD}),
              results);
    EXPECT_EQ(1, m_parser.HeldPackets());
}

// (SSRC, sequence number) of a packet sent, or of a unit handed on (its
// payload carries both).
typedef std::pair<DWORD, DWORD> Pkt;
typedef std::vector<Pkt> Pkts;

// nCount packets from dwFirst on; runs joined in order.
Pkts Seqs(std::initializer_list<std::tuple<DWORD, DWORD, DWORD>> runs)
{
    Pkts v;
    for (const auto& [dwSSRC, dwFirst, nCount] : runs)
        for (DWORD i = 0; i < nCount; ++i)
            v.push_back({dwSSRC, (dwFirst + i) & 0xFFFF});
    return v;
}

// Sender restarts, new senders and reordering around both. A restart costs
// the one packet that first looked suspicious; the next unit handed on says
// that data was lost; packets held for the old numbering are dropped; and
// late packets of the old stream are never spliced into the new one.
TEST_F(CRTPParserTest, SenderRestartsResyncWithoutSplicing)
{
    const struct Case {
        const char* pszName;
        Pkts arrivals, expected;
        std::vector<size_t> discontinuities;  // indexes into expected
    } cases[] = {
        {"20000 back to 100", Seqs({{0xA, 20000, 10}, {0xA, 100, 20}}),
         Seqs({{0xA, 20000, 10}, {0xA, 101, 19}}), {10}},
        {"100 forward to 40000", Seqs({{0xA, 100, 10}, {0xA, 40000, 20}}),
         Seqs({{0xA, 100, 10}, {0xA, 40001, 19}}), {10}},
        {"across the wrap", Seqs({{0xA, 65530, 10}, {0xA, 30000, 5}}), Seqs({{0xA, 65530, 10}, {0xA, 30001, 4}}), {10}},
        // 105 to 101 back: every one of them is past the late window.
        {"just past the late window", Seqs({{0xA, 5000, 10}, {0xA, 5009 - 105, 5}}),
         Seqs({{0xA, 5000, 10}, {0xA, 5009 - 104, 4}}), {10}},
        {"just past the dropout window", Seqs({{0xA, 5000, 10}, {0xA, 5009 + 3001, 5}}),
         Seqs({{0xA, 5000, 10}, {0xA, 5009 + 3002, 4}}), {10}},
        {"packets held across a gap are dropped", Seqs({{0xA, 20000, 5}, {0xA, 20006, 3}, {0xA, 100, 5}}),
         Seqs({{0xA, 20000, 5}, {0xA, 101, 4}}), {5}},
        // The old numbering is guarded only for a while.
        {"back near the old numbers later", Seqs({{0xA, 20000, 5}, {0xA, 100, 200}, {0xA, 20010, 10}}),
         Seqs({{0xA, 20000, 5}, {0xA, 101, 199}, {0xA, 20011, 9}}), {5, 204}},
        {"old packets around the restart",
         Seqs({{0xA, 20000, 5}, {0xA, 100, 1}, {0xA, 20005, 1}, {0xA, 101, 1}, {0xA, 20006, 2}, {0xA, 102, 1},
               {0xA, 20008, 1}, {0xA, 103, 1}}),
         Seqs({{0xA, 20000, 6}, {0xA, 101, 3}}), {6}},
        {"new packets out of order",
         Seqs({{0xA, 20000, 5}, {0xA, 100, 1}, {0xA, 102, 1}, {0xA, 101, 1}, {0xA, 104, 1}, {0xA, 103, 1},
               {0xA, 105, 1}}),
         Seqs({{0xA, 20000, 5}, {0xA, 101, 5}}), {5}},
        {"new SSRC at once; the old one's held and late packets dropped",
         Seqs({{0xA, 500, 5}, {0xA, 506, 2}, {0xB, 7000, 3}, {0xA, 505, 1}, {0xA, 508, 1}, {0xB, 7003, 3}}),
         Seqs({{0xA, 500, 5}, {0xB, 7000, 6}}), {5}},
        {"new SSRC out of order, old late",
         Seqs({{0xA, 20000, 5}, {0xB, 900, 1}, {0xB, 902, 1}, {0xA, 20005, 1}, {0xB, 901, 1}, {0xB, 903, 1}}),
         Seqs({{0xA, 20000, 5}, {0xB, 900, 4}}), {5}},
        {"same numbers from a new SSRC", Seqs({{0xA, 1, 3}, {0xB, 1, 3}}), Seqs({{0xA, 1, 3}, {0xB, 1, 3}}), {3}},
    };
    for (const Case& c : cases) {
        CRTPParser parser;
        Pkts out;
        std::vector<size_t> disc;
        for (const Pkt& a : c.arrivals) {
            for (const Unit& u : Feed(parser, TsPacket(a.second, 0, false, a.first)).units) {
                if (u.dwFlags & RTPUNIT_DISCONTINUITY)
                    disc.push_back(out.size());
                out.push_back({u.data.at(3), SeqOf(u)});
            }
        }
        EXPECT_EQ(c.expected, out) << c.pszName;
        EXPECT_EQ(c.discontinuities, disc) << c.pszName;
        EXPECT_EQ(0, parser.HeldPackets()) << c.pszName;
    }
}

// One packet far from the sequence (a stray from another stream, a
// corrupted number) is dropped; the stream goes on as if it never came, its
// time stamp included. Strays that do not continue each other never resync.
TEST_F(CRTPParserTest, StrayPacketFarAwayIsDroppedWithoutResync)
{
    std::vector<DWORD> out;
    std::vector<LONGLONG> times;
    std::vector<DWORD> flags;
    auto feed = [&](DWORD dwSeq, DWORD dwTime) {
        FeedResult r = Feed(m_parser, TsPacket(dwSeq, dwTime));
        for (const Unit& u : r.units) {
            out.push_back(SeqOf(u));
            times.push_back(u.rtTime);
            flags.push_back(u.dwFlags);
        }
        return r.nFirst;
    };
    for (DWORD s = 10; s < 15; ++s)
        feed(s, 900000 + s * 3000);
    EXPECT_EQ(RTPPACKET_DISCARD, feed(30000, 5));                 // time stamp a minute back
    EXPECT_EQ(RTPPACKET_DISCARD, feed(45000, 0xF0000000));        // and far ahead
    EXPECT_EQ(RTPPACKET_DISCARD, feed(30002, 7));                 // not the one after 30000
    for (DWORD s = 15; s < 20; ++s)
        feed(s, 900000 + s * 3000);
    std::vector<DWORD> expected;
    for (DWORD s = 10; s < 20; ++s)
        expected.push_back(s);
    EXPECT_EQ(expected, out);
    ASSERT_EQ(expected.size(), times.size());
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ((900000 + static_cast<LONGLONG>(expected[i]) * 3000) * 1000 / 9, times[i]) << expected[i];
        EXPECT_EQ(0u, flags[i] & (RTPUNIT_DISCONTINUITY | RTPUNIT_TIME_OFFSET)) << expected[i];
    }
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

// The counters against a path that loses, duplicates and reorders packets
// as a congested network does, across the sequence wrap. What the counters
// must say is worked out from the arrival order alone, independently of the
// parser: lost = numbers that never arrived, duplicated = arrivals of a
// number seen before, reordered = first arrivals below the highest number
// seen before. Every late packet comes back within the reorder queue's
// reach, so that each one is still of use, and the units handed on must be
// every number that arrived, in order.
TEST_F(CRTPParserTest, CountersMatchWhatTheNetworkDidToTheSequence)
{
    constexpr DWORD kFirst = 65000;
    constexpr int kCount = 1200;
    std::vector<DWORD> vArrivals;
    unsigned uRandom = 12345;
    auto next = [&](unsigned uMod) {
        uRandom = uRandom * 1103515245u + 12345u;
        return (uRandom >> 16) % uMod;
    };
    for (int i = 0; i < kCount; ++i) {
        const DWORD dwSeq = (kFirst + static_cast<DWORD>(i)) & 0xFFFF;
        // Losses away from the first and last packets and from each other.
        if (i > 0 && i < kCount - 8 && i % 37 == 5)
            continue;
        vArrivals.push_back(dwSeq);
        if (next(23) == 0)
            vArrivals.push_back(dwSeq);  // a copy straight after
    }
    // Late packets: a packet moves up to 2 places later, never across a
    // loss's neighbourhood, so the queue holds it in time.
    for (size_t i = 1; i + 3 < vArrivals.size(); i += 1 + next(9)) {
        if (next(3) == 0)
            std::swap(vArrivals[i], vArrivals[i + 1 + next(2)]);
    }
    // A copy that comes much later, after the queue has handed its number on.
    vArrivals.insert(vArrivals.begin() + 600, vArrivals[560]);

    // The oracle.
    std::vector<int> vSeen(kCount, 0);
    int nHighest = -1;
    LONGLONG llDuplicated = 0, llReordered = 0;
    for (DWORD dw : vArrivals) {
        const int n = static_cast<int>((dw - kFirst) & 0xFFFF);
        if (vSeen[n]++ > 0)
            ++llDuplicated;
        else if (n < nHighest)
            ++llReordered;
        nHighest = std::max(nHighest, n);
    }
    const LONGLONG llLost = std::count(vSeen.begin(), vSeen.end(), 0);
    ASSERT_GT(llLost, 20);
    ASSERT_GT(llDuplicated, 20);
    ASSERT_GT(llReordered, 20);

    std::vector<DWORD> vOut;
    for (DWORD dw : vArrivals)
        for (const Unit& u : Feed(m_parser, TsPacket(dw)).units)
            vOut.push_back(SeqOf(u));
    std::vector<DWORD> vExpected;
    for (int n = 0; n < kCount; ++n)
        if (vSeen[n] > 0)
            vExpected.push_back((kFirst + static_cast<DWORD>(n)) & 0xFFFF);
    EXPECT_EQ(vExpected, vOut);
    const RTPCounters c = m_parser.Counters();
    EXPECT_EQ(llLost, c.llLost);
    EXPECT_EQ(llDuplicated, c.llDuplicated);
    EXPECT_EQ(llReordered, c.llReordered);

    // A packet too late to be used counts as reordered, not as a copy; a
    // sender restart drops what was held, which counts as lost.
    const DWORD dwLast = vExpected.back();
    Feed(m_parser, TsPacket((dwLast + 2) & 0xFFFF));  // held: dwLast + 1 missing
    Feed(m_parser, TsPacket((dwLast + 3) & 0xFFFF));
    ASSERT_EQ(0, vSeen[kCount - 1 - 10]);
    Feed(m_parser, TsPacket((dwLast - 10) & 0xFFFF));  // lost long ago: too late
    Feed(m_parser, TsPacket(7, 0, false, 0x55667788));  // a new sender
    const RTPCounters c2 = m_parser.Counters();
    EXPECT_EQ(c.llReordered + 1, c2.llReordered);
    EXPECT_EQ(c.llDuplicated, c2.llDuplicated);
    EXPECT_EQ(c.llLost + 2, c2.llLost);
}
