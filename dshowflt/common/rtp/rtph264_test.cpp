// H.264 de-packetising (RFC 6184): fragmentation, aggregation, access-unit
// boundaries and recovery after losses and malformed packets.
#include <gtest/gtest.h>

#include "dshowflt/common/rtp/rtpparser.h"
#include "dshowflt/common/rtp/rtptestutil.h"

using namespace rtptest;

namespace {

class CRTPH264Test : public ::testing::Test
{
protected:
    void SetUp() override { m_parser.SetPayloadType(96, RTPFORMAT_H264); }

    FeedResult Send(const Bytes& payload, DWORD dwTimestamp, bool bMarker)
    {
        RtpPacket pkt;
        pkt.dwSeq = m_dwSeq++;
        pkt.dwTimestamp = dwTimestamp;
        pkt.bMarker = bMarker;
        pkt.payload = payload;
        return Feed(m_parser, pkt.Build());
    }

    static Bytes Annexb(std::initializer_list<Bytes> nals)
    {
        Bytes b;
        for (const Bytes& n : nals) {
            b.insert(b.end(), {0, 0, 1});
            b.insert(b.end(), n.begin(), n.end());
        }
        return b;
    }

    static Bytes Stap(std::initializer_list<Bytes> nals)
    {
        Bytes b = {24};
        for (const Bytes& n : nals) {
            RtpPacket::Put16(&b, static_cast<DWORD>(n.size()));
            b.insert(b.end(), n.begin(), n.end());
        }
        return b;
    }

    CRTPParser m_parser;
    DWORD m_dwSeq = 1000;
};

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x11};

TEST_F(CRTPH264Test, FuaFragmentsRebuildOneNalUnit)
{
    // IDR (type 5, NRI 3) in three fragments.
    EXPECT_TRUE(Send({0x7C, 0x85, 1, 2}, 3000, false).units.empty());
    EXPECT_TRUE(Send({0x7C, 0x05, 3, 4}, 3000, false).units.empty());
    FeedResult r = Send({0x7C, 0x45, 5}, 3000, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ((Bytes{0, 0, 1, 0x65, 1, 2, 3, 4, 5}), r.units[0].data);
    EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_SYNCPOINT);
    EXPECT_EQ(3000 * 1000 / 9, r.units[0].rtTime);

    // A non-IDR slice loses the sync-point flag.
    EXPECT_TRUE(Send({0x5C, 0x81, 7}, 6000, false).units.empty());
    r = Send({0x5C, 0x41, 8}, 6000, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ((Bytes{0, 0, 1, 0x41, 7, 8}), r.units[0].data);
    EXPECT_EQ(0u, r.units[0].dwFlags & RTPUNIT_SYNCPOINT);
    EXPECT_EQ(0u, r.units[0].dwFlags & RTPUNIT_DISCONTINUITY);
}

TEST_F(CRTPH264Test, StapaWithParameterSetsAndIdrIsOneKeyFrame)
{
    FeedResult r = Send(Stap({kSps, kPps, kIdr}), 9000, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(Annexb({kSps, kPps, kIdr}), r.units[0].data);
    EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_SYNCPOINT);
}

TEST_F(CRTPH264Test, AccessUnitWithoutMarkerIsEmittedByNextTimestamp)
{
    EXPECT_TRUE(Send(kIdr, 1000, false).units.empty());
    EXPECT_TRUE(Send(kSlice, 1000, false).units.empty());
    FeedResult r = Send(kSlice, 4000, false);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(Annexb({kIdr, kSlice}), r.units[0].data);
    EXPECT_EQ(1000 * 1000 / 9, r.units[0].rtTime);
    EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_SYNCPOINT);
    // The packet that ended it starts the next unit.
    r = Send(kSlice, 4000, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(Annexb({kSlice, kSlice}), r.units[0].data);
    EXPECT_EQ(4000 * 1000 / 9, r.units[0].rtTime);
}

TEST_F(CRTPH264Test, BadNalTypesSetDiscontinuityOnNextUnit)
{
    for (BYTE bType : {0, 30, 31}) {
        Bytes bad = {bType, 1, 2, 3};
        BYTE* p = bad.data();
        LONG cb = static_cast<LONG>(bad.size());
        EXPECT_EQ(RTPPACKET_BAD, m_parser.ParseH264Header(&p, &cb));
        EXPECT_EQ(0, cb);
        FeedResult r = Send(bad, 100, true);
        EXPECT_EQ(RTPPACKET_GOOD, r.nFirst);
        EXPECT_TRUE(r.units.empty());
        // A single byte and the forbidden bit fail the same way.
        EXPECT_TRUE(Send({0x65}, 100, true).units.empty());
        EXPECT_TRUE(Send({0xE5, 1, 2}, 100, true).units.empty());
        r = Send(kIdr, 200, true);
        ASSERT_EQ(1u, r.units.size());
        EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_DISCONTINUITY);
        r = Send(kSlice, 300, true);
        EXPECT_EQ(0u, r.units.at(0).dwFlags & RTPUNIT_DISCONTINUITY);
    }
}

TEST_F(CRTPH264Test, ContinuationFragmentsWaitForAStartAfterRestart)
{
    EXPECT_TRUE(Send({0x7C, 0x85, 1}, 100, false).units.empty());
    m_parser.RestartRTP();
    for (Bytes frag : {Bytes{0x7C, 0x05, 2}, Bytes{0x7C, 0x45, 3}}) {
        Bytes b = frag;
        BYTE* p = b.data();
        LONG cb = static_cast<LONG>(b.size());
        EXPECT_EQ(RTPPACKET_DISCARD, m_parser.ParseH264Header(&p, &cb));
        EXPECT_TRUE(Send(frag, 100, true).units.empty());
    }
    // An FU-A without a start fragment at all is discarded too.
    EXPECT_TRUE(Send({0x7C, 0x45, 9}, 150, true).units.empty());
    FeedResult r = Send(Stap({kSps, kPps}), 200, false);
    EXPECT_TRUE(r.units.empty());
    r = Send({0x7C, 0x85, 4}, 200, false);
    r = Send({0x7C, 0x45, 5}, 200, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(Annexb({kSps, kPps, {0x65, 4, 5}}), r.units[0].data);
}

TEST_F(CRTPH264Test, SequenceJumpInsideFragmentedUnitDropsItsRest)
{
    EXPECT_TRUE(Send({0x7C, 0x85, 1}, 100, false).units.empty());
    m_dwSeq += 6;  // five packets lost, far enough that no reorder helps
    for (int i = 0; i < 6; ++i)
        EXPECT_TRUE(Send({0x7C, 0x05, 2}, 100, false).units.empty());
    EXPECT_TRUE(Send({0x7C, 0x45, 3}, 100, true).units.empty());
    FeedResult r = Send(kIdr, 400, true);
    ASSERT_EQ(1u, r.units.size());
    // No fragment bytes without their start code and header.
    EXPECT_EQ(0, memcmp(r.units[0].data.data(), "\0\0\1", 3));
    EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_DISCONTINUITY);
    for (size_t i = 3; i + 1 < r.units[0].data.size(); ++i)
        EXPECT_NE(2, r.units[0].data[i]);
}

TEST_F(CRTPH264Test, MalformedAggregationPacketsAreRejectedWithinTheirBytes)
{
    struct
    {
        const char* pszName;
        Bytes payload;
        bool bGood;
        Bytes unit;
    } const aCases[] = {
        {"STAP-A size past end", {24, 0x00, 0x05, 0x65, 1}, false, {}},
        {"STAP-A size byte cut", {24, 0x00, 0x02, 0x65, 1, 0x00}, true, {0, 0, 1, 0x65, 1}},
        {"STAP-A second size past end", {24, 0x00, 0x01, 0x65, 0x00, 0x09, 1}, false, {}},
        {"STAP-A zero length entries", {24, 0, 0, 0x00, 0x01, 0x65, 0, 0}, true, {0, 0, 1, 0x65}},
        {"STAP-B too short", {25, 0, 1, 0, 1, 0x65, 0}, false, {}},
        {"STAP-B", {25, 0, 7, 0, 2, 0x65, 9, 0}, true, {0, 0, 1, 0x65, 9}},
        {"MTAP16 too short", {26, 0, 1, 0, 1, 0, 0, 0, 0x65}, false, {}},
        {"MTAP16 entry past end", {26, 0, 1, 0, 9, 0, 0, 0, 0x65, 1}, false, {}},
        {"MTAP16 two entries", {26, 0, 1, 0, 1, 0, 0, 0, 0x65, 0, 1, 1, 0, 0, 0x41}, true,
         {0, 0, 1, 0x65, 0, 0, 1, 0x41}},
        {"MTAP16 header only left", {26, 0, 1, 0, 1, 0, 0, 0, 0x65, 0, 1, 1, 0, 0}, true, {0, 0, 1, 0x65}},
        {"MTAP24 too short", {27, 0, 1, 0, 1, 0, 0, 0, 0, 0x65}, false, {}},
        {"MTAP24 entry past end", {27, 0, 1, 0, 3, 0, 0, 0, 0, 0x65, 1}, false, {}},
        {"MTAP24 one entry", {27, 0, 1, 0, 2, 0, 0, 0, 0, 0x65, 1}, true, {0, 0, 1, 0x65, 1}},
        {"FU-B too short", {29, 0x85, 0, 1, 7}, false, {}},
        {"FU-B start and end", {29, 0xC5, 0, 1, 7, 8}, true, {0, 0, 1, 0x05, 7, 8}},
    };
    DWORD dwTime = 0;
    for (const auto& c : aCases) {
        // Reset between cases so that one bad case cannot mask the next.
        m_parser.RestartRTP();
        Bytes exact = c.payload;
        std::unique_ptr<BYTE[]> buf(new BYTE[exact.size()]);
        memcpy(buf.get(), exact.data(), exact.size());
        BYTE* p = buf.get();
        LONG cb = static_cast<LONG>(exact.size());
        int nRet = m_parser.ParseH264Header(&p, &cb);
        EXPECT_EQ(c.bGood ? RTPPACKET_GOOD : RTPPACKET_BAD, nRet) << c.pszName;
        FeedResult r = Send(c.payload, dwTime += 3000, true);
        if (c.bGood) {
            ASSERT_EQ(1u, r.units.size()) << c.pszName;
            Bytes tail(r.units[0].data.end() - static_cast<long>(c.unit.size()), r.units[0].data.end());
            EXPECT_EQ(c.unit, tail) << c.pszName;
        } else {
            EXPECT_TRUE(r.units.empty()) << c.pszName;
        }
    }
}

TEST_F(CRTPH264Test, OversizedAccessUnitIsDropped)
{
    Bytes big(60000, 0x11);
    big[0] = 0x41;
    const int nPackets = CRTPParser::kMaxUnitBytes / 60000 + 2;
    size_t cUnits = 0;
    for (int i = 0; i < nPackets; ++i)
        cUnits += Send(big, 100, false).units.size();
    EXPECT_EQ(0u, cUnits);
    FeedResult r = Send(kIdr, 200, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(Annexb({kIdr}), r.units[0].data);
    EXPECT_NE(0u, r.units[0].dwFlags & RTPUNIT_DISCONTINUITY);
}

}  // namespace
