// JPEG de-packetising (RFC 2435): rebuilt headers, quantisation tables from
// Q or in band, fragment offsets and losses.
#include <gtest/gtest.h>

#include "dshowflt/common/rtp/rtpjpegtables.h"
#include "dshowflt/common/rtp/rtpparser.h"
#include "dshowflt/common/rtp/rtptestutil.h"

using namespace rtptest;

namespace {

// Marker segments of a JPEG image up to SOS, and the scan data after it.
struct ParsedJpeg
{
    std::vector<std::pair<BYTE, Bytes>> segments;  // marker, body without length
    Bytes scan;
    bool bOk = false;
};

ParsedJpeg ParseJpeg(const Bytes& b)
{
    ParsedJpeg j;
    if (b.size() < 2 || b[0] != 0xFF || b[1] != 0xD8)
        return j;
    size_t i = 2;
    while (i + 4 <= b.size() && b[i] == 0xFF) {
        BYTE bMarker = b[i + 1];
        size_t cb = (size_t(b[i + 2]) << 8) | b[i + 3];
        if (cb < 2 || i + 2 + cb > b.size())
            return j;
        j.segments.push_back({bMarker, Bytes(b.begin() + long(i) + 4, b.begin() + long(i + 2 + cb))});
        i += 2 + cb;
        if (bMarker == 0xDA) {
            j.scan.assign(b.begin() + long(i), b.end());
            j.bOk = true;
            return j;
        }
    }
    return j;
}

class CRTPJPEGTest : public ::testing::Test
{
protected:
    FeedResult Send(BYTE bType, BYTE bQ, DWORD dwOffset, const Bytes& rest, DWORD dwTime, bool bMarker,
                    BYTE bWidth8 = 40, BYTE bHeight8 = 30)
    {
        RtpPacket pkt;
        pkt.bPayloadType = 26;
        pkt.dwSeq = m_dwSeq++;
        pkt.dwTimestamp = dwTime;
        pkt.bMarker = bMarker;
        pkt.payload = {0,    static_cast<BYTE>(dwOffset >> 16), static_cast<BYTE>(dwOffset >> 8),
                       static_cast<BYTE>(dwOffset), bType, bQ, bWidth8, bHeight8};
        pkt.payload.insert(pkt.payload.end(), rest.begin(), rest.end());
        return Feed(m_parser, pkt.Build());
    }

    CRTPParser m_parser;
    DWORD m_dwSeq = 7;
};

TEST_F(CRTPJPEGTest, Q50RebuildsAnnexKTablesAndHeaders)
{
    Bytes scan1 = {1, 2, 3, 4}, scan2 = {5, 6};
    EXPECT_TRUE(Send(1, 50, 0, scan1, 9000, false).units.empty());
    FeedResult r = Send(1, 50, 4, scan2, 9000, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ(320, m_parser.Width());
    EXPECT_EQ(240, m_parser.Height());
    ParsedJpeg j = ParseJpeg(r.units[0].data);
    ASSERT_TRUE(j.bOk);
    ASSERT_EQ(8u, j.segments.size());
    // DQT: scale 100 leaves the Annex K tables as they are.
    EXPECT_EQ(0xDB, j.segments[0].first);
    EXPECT_EQ(0, j.segments[0].second[0]);
    EXPECT_EQ(Bytes(g_abJpegLumaQuant, g_abJpegLumaQuant + 64), Bytes(j.segments[0].second.begin() + 1, j.segments[0].second.end()));
    EXPECT_EQ(1, j.segments[1].second[0]);
    EXPECT_EQ(Bytes(g_abJpegChromaQuant, g_abJpegChromaQuant + 64),
              Bytes(j.segments[1].second.begin() + 1, j.segments[1].second.end()));
    // Four Huffman tables whose counts match their value lists.
    const BYTE abIds[4] = {0x00, 0x10, 0x01, 0x11};
    for (int t = 0; t < 4; ++t) {
        const Bytes& h = j.segments[2 + t].second;
        EXPECT_EQ(0xC4, j.segments[2 + t].first);
        EXPECT_EQ(abIds[t], h[0]);
        size_t cValues = 0;
        for (int i = 1; i <= 16; ++i)
            cValues += h[i];
        EXPECT_EQ(h.size(), 17 + cValues);
    }
    // SOF0: 8 bit, 240 x 320, 2x2 luminance sampling for type 1.
    EXPECT_EQ(0xC0, j.segments[6].first);
    EXPECT_EQ((Bytes{8, 0, 240, 1, 64, 3, 0, 0x22, 0, 1, 0x11, 1, 2, 0x11, 1}), j.segments[6].second);
    EXPECT_EQ((Bytes{3, 0, 0x00, 1, 0x11, 2, 0x11, 0, 0x3F, 0}), j.segments[7].second);
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6}), j.scan);
    EXPECT_EQ(9000 * 1000 / 9, r.units[0].rtTime);
}

TEST_F(CRTPJPEGTest, QualityFactorsScaleTheTables)
{
    // Q 0 scales by 5000: every entry saturates at 255.
    FeedResult r = Send(0, 0, 0, {1}, 100, true);
    ParsedJpeg j = ParseJpeg(r.units.at(0).data);
    ASSERT_TRUE(j.bOk);
    for (int t = 0; t < 2; ++t)
        for (int i = 1; i <= 64; ++i)
            EXPECT_EQ(255, j.segments[t].second[i]);
    EXPECT_EQ(0x21, j.segments[6].second[7]);  // type 0: 2x1 sampling
    // Q 99 scales by 2: 16 -> 0.82 -> 1 (the floor), 121 -> 2.92 -> 2.
    r = Send(0, 99, 0, {1}, 200, true);
    j = ParseJpeg(r.units.at(0).data);
    ASSERT_TRUE(j.bOk);
    EXPECT_EQ(1, j.segments[0].second[1]);
    EXPECT_EQ(2, j.segments[0].second[1 + 50]);
    EXPECT_EQ(2, j.segments[1].second[1 + 63]);  // 99 -> 2.48 -> 2
}

TEST_F(CRTPJPEGTest, EveryQualityFactorYieldsValidTablesOrIsRefused)
{
    for (int nQ = 0; nQ < 256; ++nQ) {
        FeedResult r = Send(1, static_cast<BYTE>(nQ), 0, {0xAA, 0xBB}, static_cast<DWORD>(nQ) * 3000, true);
        if (nQ >= 128) {
            // Claims in-band tables but carries only two bytes.
            EXPECT_TRUE(r.units.empty()) << nQ;
            continue;
        }
        ASSERT_EQ(1u, r.units.size()) << nQ;
        ParsedJpeg j = ParseJpeg(r.units[0].data);
        ASSERT_TRUE(j.bOk) << nQ;
        for (int t = 0; t < 2; ++t)
            for (int i = 1; i <= 64; ++i)
                EXPECT_GE(j.segments[t].second[i], 1) << nQ;
    }
}

TEST_F(CRTPJPEGTest, InBandTablesAreCopiedAndBoundsChecked)
{
    Bytes tables = {0, 0, 0, 128};
    for (int i = 0; i < 128; ++i)
        tables.push_back(static_cast<BYTE>(i + 1));
    Bytes payload = tables;
    payload.insert(payload.end(), {0x11, 0x22});
    FeedResult r = Send(1, 255, 0, payload, 100, true);
    ASSERT_EQ(1u, r.units.size());
    ParsedJpeg j = ParseJpeg(r.units[0].data);
    ASSERT_TRUE(j.bOk);
    EXPECT_EQ(0xDB, j.segments[0].first);
    const Bytes& dqt = j.segments[0].second;
    ASSERT_EQ(130u, dqt.size());
    EXPECT_EQ(0, dqt[0]);
    EXPECT_EQ(1, dqt[1]);
    EXPECT_EQ(1, dqt[65]);
    EXPECT_EQ(65, dqt[66]);
    EXPECT_EQ((Bytes{0x11, 0x22}), j.scan);

    // Length claims more than is there, or less than two tables need.
    for (Bytes bad : {Bytes{0, 0, 0, 200}, Bytes{0, 0, 0, 64}, Bytes{0, 1, 0, 128}}) {
        Bytes p = bad;
        for (int i = 0; i < 150; ++i)
            p.push_back(3);
        EXPECT_TRUE(Send(1, 200, 0, p, 200, true).units.empty());
    }
    // Only the table header present.
    EXPECT_TRUE(Send(1, 200, 0, {0, 0, 0}, 300, true).units.empty());
    // 16-bit tables: 256 bytes, precision bit set.
    Bytes wide = {0, 1, 1, 0};
    wide.resize(4 + 256, 7);
    wide.push_back(0x33);
    r = Send(65, 255, 0, Bytes{0, 8, 0xFF, 0xFF}, 400, false);  // restart header only: refused
    EXPECT_TRUE(r.units.empty());
    Bytes withRestart = {0, 8, 0xC0, 0x00};
    withRestart.insert(withRestart.end(), wide.begin(), wide.end());
    r = Send(65, 255, 0, withRestart, 500, true);
    ASSERT_EQ(1u, r.units.size());
    j = ParseJpeg(r.units[0].data);
    ASSERT_TRUE(j.bOk);
    EXPECT_EQ(2u * (1 + 128), j.segments[0].second.size());
    EXPECT_EQ(0x10, j.segments[0].second[0]);
    EXPECT_EQ((Bytes{0x33}), j.scan);
}

TEST_F(CRTPJPEGTest, MissingOrForeignFragmentsDropTheImage)
{
    // Ten one-byte fragments; the third is lost. The reorder queue gives up
    // on it after five more, and every later fragment fails the offset test.
    size_t cUnits = 0;
    for (DWORD dwOff = 0; dwOff < 10; ++dwOff) {
        if (dwOff == 2) {
            m_dwSeq++;
            continue;
        }
        cUnits += Send(0, 50, dwOff, {static_cast<BYTE>(dwOff)}, 100, dwOff == 9).units.size();
    }
    EXPECT_EQ(0u, cUnits);
    // The next image arrives whole.
    EXPECT_TRUE(Send(0, 50, 0, {8}, 200, false).units.empty());
    FeedResult r = Send(0, 50, 1, {9}, 200, true);
    ASSERT_EQ(1u, r.units.size());
    EXPECT_EQ((Bytes{8, 9}), ParseJpeg(r.units[0].data).scan);

    // Two images each losing packets: fragments of the second image whose
    // offsets fit the first must not be spliced onto it.
    EXPECT_TRUE(Send(0, 50, 0, {1, 2}, 300, false).units.empty());
    m_dwSeq += 2;  // the rest of the first image and the start of the second
    cUnits = 0;
    for (DWORD dwOff = 2; dwOff < 9; ++dwOff)
        cUnits += Send(0, 50, dwOff, {static_cast<BYTE>(dwOff)}, 400, dwOff == 8).units.size();
    EXPECT_EQ(0u, cUnits);

    // Malformed headers.
    EXPECT_TRUE(Send(2, 50, 0, {1}, 500, true).units.empty());         // type 2
    EXPECT_TRUE(Send(0, 50, 0, {1}, 600, true, 0, 30).units.empty());  // width 0
    EXPECT_TRUE(Send(0, 50, 0, {}, 700, true).units.empty());          // 8 bytes only
    r = Send(0, 50, 0, {1}, 800, true);
    EXPECT_EQ(1u, r.units.size());
}

TEST_F(CRTPJPEGTest, FragmentsWaitForAnImageStartAfterRestart)
{
    EXPECT_TRUE(Send(1, 50, 0, {1}, 100, false).units.empty());
    m_parser.RestartRTP();
    Bytes frag = {0, 0, 0, 1, 1, 50, 40, 30, 2};
    BYTE* p = frag.data();
    LONG cb = static_cast<LONG>(frag.size());
    EXPECT_EQ(RTPPACKET_DISCARD, m_parser.ParseJPEGHeader(&p, &cb));
    EXPECT_TRUE(Send(1, 50, 1, {2}, 100, true).units.empty());
    EXPECT_EQ(1u, Send(1, 50, 0, {3}, 200, true).units.size());
}

}  // namespace
