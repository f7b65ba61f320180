// The synthetic transport stream (see tsgen.h).
#include "tools/tsgen.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t kPcrWrap = (1ull << 33) * 300;
constexpr uint64_t kPtsDelay90kHz = 18000;  // 200 ms

// A pattern word of the stream offset: two multiply-xorshift rounds, so
// that neighbouring words and repeated packets differ.
inline uint32_t Mix(uint64_t ullWord)
{
    uint64_t x = ullWord * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<uint32_t>(x);
}

void PutBe32(uint8_t* pb, uint32_t dw)
{
    pb[0] = static_cast<uint8_t>(dw >> 24);
    pb[1] = static_cast<uint8_t>(dw >> 16);
    pb[2] = static_cast<uint8_t>(dw >> 8);
    pb[3] = static_cast<uint8_t>(dw);
}

// A PSI packet: header with payload_unit_start, pointer_field 0, the
// section, its CRC, then 0xFF stuffing.
void MakePsiPacket(uint16_t wPid, const uint8_t* pbSection, size_t cbSection, uint8_t* pbOut)
{
    memset(pbOut, 0xFF, CTsGenerator::kPacketSize);
    pbOut[0] = 0x47;
    pbOut[1] = static_cast<uint8_t>(0x40 | (wPid >> 8));
    pbOut[2] = static_cast<uint8_t>(wPid);
    pbOut[3] = 0x10;  // payload only, continuity counter 0
    pbOut[4] = 0;     // pointer_field
    memcpy(pbOut + 5, pbSection, cbSection);
    PutBe32(pbOut + 5 + cbSection, Crc32Mpeg(pbSection, cbSection));
}

// The 33-bit PTS in its 5-byte form with the '0010' prefix (2.4.3.7).
void PutPts(uint8_t* pb, uint64_t ullPts)
{
    pb[0] = static_cast<uint8_t>(0x21 | ((ullPts >> 29) & 0x0E));
    pb[1] = static_cast<uint8_t>(ullPts >> 22);
    pb[2] = static_cast<uint8_t>(0x01 | ((ullPts >> 14) & 0xFE));
    pb[3] = static_cast<uint8_t>(ullPts >> 7);
    pb[4] = static_cast<uint8_t>(0x01 | ((ullPts << 1) & 0xFE));
}

}  // namespace

uint32_t Crc32Mpeg(const uint8_t* pb, size_t cb)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < cb; ++i) {
        crc ^= static_cast<uint32_t>(pb[i]) << 24;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

CTsGenerator::CTsGenerator(uint64_t ullBitRate) : m_ullBitRate(ullBitRate ? ullBitRate : kDefaultBitRate)
{
    // program_association_section: transport_stream_id 1, version 0, one
    // program (1) whose PMT is on kPmtPid.
    const uint8_t abPat[] = {0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00,
                             0x00, 0x01, static_cast<uint8_t>(0xE0 | (kPmtPid >> 8)), static_cast<uint8_t>(kPmtPid)};
    MakePsiPacket(0, abPat, sizeof(abPat), m_abPat);
    // TS_program_map_section: program 1, PCR on kDataPid, no program
    // descriptors, one private-data stream (stream_type 0x06) on kDataPid.
    const uint8_t abPmt[] = {0x02, 0xB0, 18, 0x00, 0x01, 0xC1, 0x00, 0x00,
                             static_cast<uint8_t>(0xE0 | (kDataPid >> 8)), static_cast<uint8_t>(kDataPid), 0xF0, 0x00,
                             0x06, static_cast<uint8_t>(0xE0 | (kDataPid >> 8)), static_cast<uint8_t>(kDataPid), 0xF0,
                             0x00};
    MakePsiPacket(kPmtPid, abPmt, sizeof(abPmt), m_abPmt);
}

uint64_t CTsGenerator::Pcr27MHz(uint64_t ullIndex) const
{
    const unsigned __int128 bits = static_cast<unsigned __int128>(ullIndex) * kPacketSize * 8;
    return static_cast<uint64_t>(bits * 27000000u / m_ullBitRate);
}

void CTsGenerator::MakePacket(uint64_t ullIndex, uint8_t* pbOut) const
{
    const uint64_t ullCycle = ullIndex / kPsiInterval;
    const uint64_t ullInCycle = ullIndex % kPsiInterval;
    if (ullInCycle < 2) {
        memcpy(pbOut, ullInCycle == 0 ? m_abPat : m_abPmt, kPacketSize);
        pbOut[3] = static_cast<uint8_t>(0x10 | (ullCycle & 0x0F));
        return;
    }

    // The pattern under the whole packet first; headers go on top of it.
    const uint64_t ullFirstWord = ullIndex * (kPacketSize / 4);
    for (size_t w = 0; w < kPacketSize / 4; ++w) {
        const uint32_t dw = Mix(ullFirstWord + w);
        pbOut[4 * w] = static_cast<uint8_t>(dw);
        pbOut[4 * w + 1] = static_cast<uint8_t>(dw >> 8);
        pbOut[4 * w + 2] = static_cast<uint8_t>(dw >> 16);
        pbOut[4 * w + 3] = static_cast<uint8_t>(dw >> 24);
    }

    const uint64_t ullData = ullCycle * (kPsiInterval - 2) + (ullInCycle - 2);
    const bool bPesStart = ullData % kPesPackets == 0;
    pbOut[0] = 0x47;
    pbOut[1] = static_cast<uint8_t>((bPesStart ? 0x40 : 0x00) | (kDataPid >> 8));
    pbOut[2] = static_cast<uint8_t>(kDataPid);
    pbOut[3] = static_cast<uint8_t>((bPesStart ? 0x30 : 0x10) | (ullData & 0x0F));
    size_t ib = 4;
    if (bPesStart) {
        // adaptation_field: random_access_indicator and a PCR.
        const uint64_t ullPcr = Pcr27MHz(ullIndex) % kPcrWrap;
        const uint64_t ullBase = ullPcr / 300, ullExt = ullPcr % 300;
        pbOut[4] = 7;
        pbOut[5] = 0x50;
        pbOut[6] = static_cast<uint8_t>(ullBase >> 25);
        pbOut[7] = static_cast<uint8_t>(ullBase >> 17);
        pbOut[8] = static_cast<uint8_t>(ullBase >> 9);
        pbOut[9] = static_cast<uint8_t>(ullBase >> 1);
        pbOut[10] = static_cast<uint8_t>(((ullBase & 1) << 7) | 0x7E | (ullExt >> 8));
        pbOut[11] = static_cast<uint8_t>(ullExt);
        // PES header of private_stream_1 with a PTS; PES_packet_length 0
        // (unbounded): the packet ends where the next one starts.
        static const uint8_t abPes[] = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x00, 0x80, 0x80, 0x05};
        memcpy(pbOut + 12, abPes, sizeof(abPes));
        PutPts(pbOut + 21, (ullBase + kPtsDelay90kHz) & ((1ull << 33) - 1));
        ib = 26;
    }
    for (int k = 0; k < 8; ++k)
        pbOut[ib + static_cast<size_t>(k)] = static_cast<uint8_t>(ullIndex >> (56 - 8 * k));
}

void CTsGenerator::Fill(uint64_t ullOffset, uint8_t* pb, size_t cb) const
{
    uint8_t ab[kPacketSize];
    while (cb > 0) {
        const uint64_t ullIndex = ullOffset / kPacketSize;
        const size_t ibIn = static_cast<size_t>(ullOffset % kPacketSize);
        const size_t n = std::min(cb, kPacketSize - ibIn);
        if (ibIn == 0 && n == kPacketSize) {
            MakePacket(ullIndex, pb);
        } else {
            MakePacket(ullIndex, ab);
            memcpy(pb, ab + ibIn, n);
        }
        pb += n;
        cb -= n;
        ullOffset += n;
    }
}

long long CTsGenerator::FirstMismatch(uint64_t ullOffset, const uint8_t* pb, size_t cb) const
{
    uint8_t ab[kPacketSize];
    size_t ibDone = 0;
    while (ibDone < cb) {
        const uint64_t ullIndex = ullOffset / kPacketSize;
        const size_t ibIn = static_cast<size_t>(ullOffset % kPacketSize);
        const size_t n = std::min(cb - ibDone, kPacketSize - ibIn);
        MakePacket(ullIndex, ab);
        if (memcmp(ab + ibIn, pb + ibDone, n) != 0) {
            for (size_t k = 0; k < n; ++k)
                if (ab[ibIn + k] != pb[ibDone + k])
                    return static_cast<long long>(ibDone + k);
        }
        ibDone += n;
        ullOffset += n;
    }
    return -1;
}

size_t CTsGenerator::PayloadStart(const uint8_t* pbPacket)
{
    return (pbPacket[3] & 0x20) ? 26 : 4;
}

long long CTsGenerator::PacketIndexOf(const uint8_t* pbPacket)
{
    if (pbPacket[0] != 0x47 || (((pbPacket[1] & 0x1F) << 8) | pbPacket[2]) != kDataPid)
        return -1;
    const size_t ib = PayloadStart(pbPacket);
    uint64_t ull = 0;
    for (int k = 0; k < 8; ++k)
        ull = (ull << 8) | pbPacket[ib + static_cast<size_t>(k)];
    return ull > 0x7FFFFFFFFFFFFFFFull ? -1 : static_cast<long long>(ull);
}
