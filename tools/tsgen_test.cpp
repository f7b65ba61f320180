// The synthetic transport stream, parsed here by hand with ISO/IEC 13818-1
// in mind: a receiver that checks a recording with it must be able to trust
// that the stream is well-formed and that the check catches what it should.
#include "tools/tsgen.h"

#include <cstring>
#include <map>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr size_t kTs = CTsGenerator::kPacketSize;

uint16_t Pid(const uint8_t* pb)
{
    return static_cast<uint16_t>(((pb[1] & 0x1F) << 8) | pb[2]);
}

uint64_t PcrOf(const uint8_t* pb)
{
    const uint64_t ullBase = (static_cast<uint64_t>(pb[6]) << 25) | (static_cast<uint64_t>(pb[7]) << 17) |
                             (static_cast<uint64_t>(pb[8]) << 9) | (static_cast<uint64_t>(pb[9]) << 1) | (pb[10] >> 7);
    const uint64_t ullExt = (static_cast<uint64_t>(pb[10] & 1) << 8) | pb[11];
    return ullBase * 300 + ullExt;
}

}  // namespace

TEST(CTsGeneratorTest, PsiCrcMatchesTheMpegCheckValue)
{
    // The CRC-32/MPEG-2 check value of "123456789" is 0x0376E6E7.
    const char* psz = "123456789";
    EXPECT_EQ(0x0376E6E7u, Crc32Mpeg(reinterpret_cast<const uint8_t*>(psz), 9));
}

TEST(CTsGeneratorTest, TheStreamIsWellFormedTransportStream)
{
    CTsGenerator gen(5000000);
    std::map<uint16_t, int> lastCc;
    uint64_t ullLastPcr = 0;
    uint64_t ullLastPcrIndex = 0;
    int nPat = 0, nPmt = 0, nPesStarts = 0;
    uint8_t ab[kTs];
    for (uint64_t i = 0; i < 5000; ++i) {
        gen.MakePacket(i, ab);
        ASSERT_EQ(0x47, ab[0]) << i;
        EXPECT_EQ(0, ab[1] & 0x80) << "transport_error_indicator at " << i;
        const uint16_t wPid = Pid(ab);
        ASSERT_TRUE(wPid == 0 || wPid == CTsGenerator::kPmtPid || wPid == CTsGenerator::kDataPid) << i;
        // Every packet carries a payload, so the counter steps by one per PID.
        ASSERT_TRUE(ab[3] & 0x10) << i;
        const int nCc = ab[3] & 0x0F;
        if (lastCc.count(wPid)) {
            EXPECT_EQ((lastCc[wPid] + 1) & 0x0F, nCc) << "PID " << wPid << " packet " << i;
        }
        lastCc[wPid] = nCc;

        if (wPid == 0 || wPid == CTsGenerator::kPmtPid) {
            ASSERT_TRUE(ab[1] & 0x40);
            ASSERT_EQ(0, ab[4]);  // pointer_field
            const uint8_t* pSection = ab + 5;
            const size_t cbSection = 3 + (((pSection[1] & 0x0F) << 8) | pSection[2]);
            ASSERT_LE(cbSection + 5, kTs);
            // A section with its CRC appended has CRC 0.
            EXPECT_EQ(0u, Crc32Mpeg(pSection, cbSection)) << i;
            if (wPid == 0) {
                ++nPat;
                EXPECT_EQ(0x00, pSection[0]);
                EXPECT_EQ(1, (pSection[8] << 8) | pSection[9]);  // program_number
                EXPECT_EQ(CTsGenerator::kPmtPid, ((pSection[10] & 0x1F) << 8) | pSection[11]);
            } else {
                ++nPmt;
                EXPECT_EQ(0x02, pSection[0]);
                EXPECT_EQ(CTsGenerator::kDataPid, ((pSection[8] & 0x1F) << 8) | pSection[9]);  // PCR_PID
                EXPECT_EQ(0x06, pSection[12]);                                                 // stream_type
                EXPECT_EQ(CTsGenerator::kDataPid, ((pSection[13] & 0x1F) << 8) | pSection[14]);
            }
            continue;
        }
        EXPECT_EQ(static_cast<long long>(i), CTsGenerator::PacketIndexOf(ab));
        if (!(ab[1] & 0x40)) {
            EXPECT_EQ(0x10, ab[3] & 0x30);  // payload only
            continue;
        }
        ++nPesStarts;
        ASSERT_EQ(0x30, ab[3] & 0x30);
        ASSERT_EQ(7, ab[4]);
        ASSERT_TRUE(ab[5] & 0x10) << "PCR_flag";
        const uint64_t ullPcr = PcrOf(ab);
        // The PCR says when the packet is due at the nominal rate.
        EXPECT_EQ(i * kTs * 8 * 27000000 / 5000000, ullPcr) << i;
        if (ullLastPcrIndex) {
            EXPECT_LT((ullPcr - ullLastPcr) / 27000, 100u) << "PCRs more than 100 ms apart";
        }
        ullLastPcr = ullPcr;
        ullLastPcrIndex = i;
        const uint8_t abStart[] = {0x00, 0x00, 0x01, 0xBD};
        EXPECT_EQ(0, memcmp(ab + 12, abStart, 4)) << i;
        EXPECT_EQ(0x80, ab[19] & 0xC0);  // PTS only
        const uint64_t ullPts = (static_cast<uint64_t>((ab[21] >> 1) & 7) << 30) | (ab[22] << 22) |
                                ((ab[23] >> 1) << 15) | (ab[24] << 7) | (ab[25] >> 1);
        EXPECT_EQ(ullPcr / 300 + 18000, ullPts) << i;
    }
    EXPECT_EQ(40, nPat);
    EXPECT_EQ(40, nPmt);
    EXPECT_GE(nPesStarts, 600);
}

TEST(CTsGeneratorTest, AnyRangeIsTheSameStreamAndTheCheckFindsTheFirstWrongByte)
{
    CTsGenerator gen(2000000);
    std::vector<uint8_t> whole(1000 * kTs);
    for (uint64_t i = 0; i < 1000; ++i)
        gen.MakePacket(i, whole.data() + i * kTs);
    EXPECT_EQ(-1, gen.FirstMismatch(0, whole.data(), whole.size()));

    // Ranges that start and end inside packets.
    const size_t aOffsets[] = {1, 187, 188, 189, 5000, 93311};
    for (size_t ib : aOffsets) {
        std::vector<uint8_t> part(2345);
        gen.Fill(ib, part.data(), part.size());
        EXPECT_EQ(0, memcmp(part.data(), whole.data() + ib, part.size())) << ib;
        EXPECT_EQ(-1, gen.FirstMismatch(ib, whole.data() + ib, 2345)) << ib;
    }

    // A flipped bit, a packet repeated in place of the next, a range checked
    // at the wrong offset: each is found where it starts.
    std::vector<uint8_t> bad(whole);
    bad[77777] ^= 0x10;
    EXPECT_EQ(77777 - 1000, gen.FirstMismatch(1000, bad.data() + 1000, bad.size() - 1000));
    bad = whole;
    memcpy(bad.data() + 501 * kTs, bad.data() + 500 * kTs, kTs);
    const long long llAt = gen.FirstMismatch(0, bad.data(), bad.size());
    EXPECT_GE(llAt, static_cast<long long>(501 * kTs));
    EXPECT_LT(llAt, static_cast<long long>(501 * kTs + 4));
    EXPECT_NE(-1, gen.FirstMismatch(kTs, whole.data(), 100 * kTs));
    // Streams of another rate differ (in their clocks).
    CTsGenerator other(3000000);
    EXPECT_NE(-1, other.FirstMismatch(0, whole.data(), whole.size()));

    // Far into the stream (a day at 1 Gbit/s) the PCR has wrapped and the
    // packet still carries its index.
    CTsGenerator fast(1000000000);
    const uint64_t ullFar = 57446808510ull + 2;  // a data packet
    uint8_t ab[kTs];
    fast.MakePacket(ullFar, ab);
    EXPECT_EQ(static_cast<long long>(ullFar), CTsGenerator::PacketIndexOf(ab));
    EXPECT_EQ(-1, fast.FirstMismatch(ullFar * kTs, ab, kTs));
}
