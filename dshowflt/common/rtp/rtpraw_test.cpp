// Raw video de-packetising (RFC 4175, 8-bit 4:2:2 as UYVY) and frames framed
// only by time stamp (MPEG-4 video).
#include <gtest/gtest.h>

#include "dshowflt/common/rtp/rtpparser.h"
#include "dshowflt/common/rtp/rtptestutil.h"

using namespace rtptest;

namespace {

struct Segment
{
    DWORD dwLength;
    DWORD dwLine;
    DWORD dwOffset;  // pixels
    BYTE bFill;
};

class CRTPRawTest : public ::testing::Test
{
protected:
    static constexpr LONG kWidth = 8, kHeight = 4, kStride = 2 * kWidth;

    void SetUp() override
    {
        m_parser.SetPayloadType(96, RTPFORMAT_RAW);
        ASSERT_EQ(S_OK, m_parser.SetRawFormat(FOURCC_UYVY, kWidth, kHeight, 8));
    }

    // Headers with the continuation bit on all but the last, then the data;
    // cbData overrides the amount of pixel data actually carried.
    static Bytes Payload(std::initializer_list<Segment> segs, long cbData = -1)
    {
        Bytes b = {0, 0};
        Bytes data;
        size_t i = 0;
        for (const Segment& s : segs) {
            RtpPacket::Put16(&b, s.dwLength);
            RtpPacket::Put16(&b, s.dwLine);
            RtpPacket::Put16(&b, s.dwOffset | (++i < segs.size() ? 0x8000 : 0));
            data.insert(data.end(), s.dwLength, s.bFill);
        }
        if (cbData >= 0)
            data.resize(static_cast<size_t>(cbData), 0xEE);
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }

    FeedResult Send(const Bytes& payload, DWORD dwTime, bool bMarker)
    {
        RtpPacket pkt;
        pkt.dwSeq = m_dwSeq++;
        pkt.dwTimestamp = dwTime;
        pkt.bMarker = bMarker;
        pkt.payload = payload;
        return Feed(m_parser, pkt.Build());
    }

    static Bytes Black()
    {
        Bytes b;
        for (LONG i = 0; i < kStride * kHeight / 4; ++i)
            b.insert(b.end(), {0x80, 0x10, 0x80, 0x10});
        return b;
    }

    CRTPParser m_parser;
    DWORD m_dwSeq = 50;
};

TEST_F(CRTPRawTest, GeometryIsCheckedAndFrameStartsBlack)
{
    CRTPParser p;
    EXPECT_EQ(E_INVALIDARG, p.SetRawFormat(FOURCC_UYVY, 7, 4, 8));
    EXPECT_EQ(E_INVALIDARG, p.SetRawFormat(FOURCC_UYVY, 8, 4, 10));
    EXPECT_EQ(E_INVALIDARG, p.SetRawFormat(FOURCC_UYVY, 0, 4, 8));
    EXPECT_EQ(E_INVALIDARG, p.SetRawFormat(FOURCC_UYVY, 8, 0, 8));
    EXPECT_EQ(E_INVALIDARG, p.SetRawFormat(0x32595559, 8, 4, 8));  // 'YUY2'
    EXPECT_EQ(E_INVALIDARG, p.SetRawFormat(FOURCC_UYVY, 65536, 16384, 8));  // 2^31 bytes
    FeedResult r = Send(Payload({{4, 0, 0, 0x55}}), 100, true);
    ASSERT_EQ(1u, r.units.size());
    Bytes expect = Black();
    std::fill(expect.begin(), expect.begin() + 4, 0x55);
    EXPECT_EQ(expect, r.units[0].data);
}

TEST_F(CRTPRawTest, SegmentsLandAtLineAndOffsetAndWrapRows)
{
    // Line 1 from pixel 6: 4 bytes finish row 1, 12 more run into row 2.
    FeedResult r = Send(Payload({{16, 1, 6, 0x21}, {4, 3, 0, 0x22}}), 100, true);
    ASSERT_EQ(1u, r.units.size());
    Bytes expect = Black();
    std::fill(expect.begin() + kStride + 12, expect.begin() + kStride + 28, 0x21);
    std::fill(expect.begin() + 3 * kStride, expect.begin() + 3 * kStride + 4, 0x22);
    EXPECT_EQ(expect, r.units[0].data);
    EXPECT_EQ(100 * 1000 / 9, r.units[0].rtTime);

    // Rows not delivered keep the previous frame's pixels; a segment that
    // would run past the last row is cut there.
    r = Send(Payload({{40, 3, 4, 0x33}}), 200, true);
    ASSERT_EQ(1u, r.units.size());
    std::fill(expect.begin() + 3 * kStride + 8, expect.end(), 0x33);
    EXPECT_EQ(expect, r.units[0].data);
}

TEST_F(CRTPRawTest, HeadersOutsideThePictureOrPayloadWriteNothing)
{
    const Bytes black = Black();
    struct
    {
        const char* pszName;
        Bytes payload;
    } const aCases[] = {
        {"line equal to height", Payload({{4, kHeight, 0, 0x41}})},
        {"line far beyond", Payload({{4, 0x7FFF, 0, 0x41}})},
        {"line beyond ends the packet", Payload({{4, kHeight, 0, 0x41}, {4, 0, 0, 0x42}})},
        {"offset beyond the row", Payload({{4, 0, kWidth, 0x43}})},
        {"offset at the limit", Payload({{4, 0, 0x7FFF, 0x44}})},
        {"length past the payload", Payload({{200, 0, 0, 0x45}}, 10)},
        {"second length past the payload", Payload({{4, 0, 0, 0x46}, {100, 1, 0, 0x46}}, 8)},
        {"header cut short", Bytes{0, 0, 0, 4, 0, 0, 0x80, 0, 0, 1}},
    };
    for (const auto& c : aCases) {
        CRTPParser p;
        p.SetPayloadType(96, RTPFORMAT_RAW);
        ASSERT_EQ(S_OK, p.SetRawFormat(FOURCC_UYVY, kWidth, kHeight, 8));
        RtpPacket pkt;
        pkt.bMarker = true;
        pkt.payload = c.payload;
        FeedResult r = Feed(p, pkt.Build());
        ASSERT_EQ(1u, r.units.size()) << c.pszName;
        Bytes got = r.units[0].data;
        if (std::string(c.pszName) == "second length past the payload") {
            // The first segment fits and is kept; the second is dropped.
            Bytes expect = black;
            std::fill(expect.begin(), expect.begin() + 4, 0x46);
            EXPECT_EQ(expect, got) << c.pszName;
        } else {
            EXPECT_EQ(black, got) << c.pszName;
        }
    }
    // Fewer than 9 bytes of payload are refused outright.
    FeedResult r = Send(Bytes{0, 0, 0, 2, 0, 0, 0, 0}, 300, true);
    EXPECT_TRUE(r.units.empty());
    // Without a geometry nothing is accepted.
    CRTPParser none;
    none.SetPayloadType(96, RTPFORMAT_RAW);
    RtpPacket pkt;
    pkt.bMarker = true;
    pkt.payload = Payload({{4, 0, 0, 1}});
    EXPECT_TRUE(Feed(none, pkt.Build()).units.empty());
}

TEST_F(CRTPRawTest, FrameWithoutMarkerIsEmittedWhenTheTimeStampChanges)
{
    EXPECT_TRUE(Send(Payload({{4, 0, 0, 0x51}}), 100, false).units.empty());
    FeedResult r = Send(Payload({{4, 1, 0, 0x52}}), 200, false);
    ASSERT_EQ(1u, r.units.size());
    Bytes expect = Black();
    std::fill(expect.begin(), expect.begin() + 4, 0x51);
    EXPECT_EQ(expect, r.units[0].data);
    EXPECT_EQ(100 * 1000 / 9, r.units[0].rtTime);
    // The packet that ended it opens the next frame, which its marker ends.
    r = Send(Payload({{4, 2, 0, 0x53}}), 200, true);
    ASSERT_EQ(1u, r.units.size());
    std::fill(expect.begin() + kStride, expect.begin() + kStride + 4, 0x52);
    std::fill(expect.begin() + 2 * kStride, expect.begin() + 2 * kStride + 4, 0x53);
    EXPECT_EQ(expect, r.units[0].data);

    // A one-packet frame that ended an unfinished one keeps its own marker:
    // it goes out when the next packet arrives, which opens the frame after.
    EXPECT_TRUE(Send(Payload({{4, 0, 0, 0x61}}), 300, false).units.empty());
    EXPECT_EQ(1u, Send(Payload({{4, 0, 0, 0x62}}), 400, true).units.size());
    r = Send(Payload({{4, 0, 0, 0x63}}), 500, false);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(0x62, r.units[0].data[0]);
    EXPECT_EQ(400 * 1000 / 9, r.units[0].rtTime);
    r = Send(Payload({{4, 1, 0, 0x64}}), 500, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(0x63, r.units[0].data[0]);
    EXPECT_EQ(0x64, r.units[0].data[kStride]);
}

TEST(CRTPFrameByTimeTest, FramesAreJoinedByTimeStampAndMarker)
{
    CRTPParser parser;
    parser.SetPayloadType(97, RTPFORMAT_MPEG4);
    DWORD dwSeq = 1;
    auto send = [&](Bytes payload, DWORD dwTime, bool bMarker) {
        RtpPacket pkt;
        pkt.bPayloadType = 97;
        pkt.dwSeq = dwSeq++;
        pkt.dwTimestamp = dwTime;
        pkt.bMarker = bMarker;
        pkt.payload = payload;
        return Feed(parser, pkt.Build());
    };
    EXPECT_TRUE(send({1, 2}, 100, false).units.empty());
    FeedResult r = send({3}, 100, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ((Bytes{1, 2, 3}), r.units[0].data);
    r = send({4}, 200, true);
    EXPECT_EQ((Bytes{4}), r.units.at(0).data);
    // No marker: the next time stamp ends the frame, with its own time.
    EXPECT_TRUE(send({5}, 300, false).units.empty());
    r = send({6}, 400, false);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ((Bytes{5}), r.units[0].data);
    EXPECT_EQ(300 * 1000 / 9, r.units[0].rtTime);
    r = send({7}, 400, true);
    EXPECT_EQ((Bytes{6, 7}), r.units.at(0).data);
}

}  // namespace
