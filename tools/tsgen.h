// A synthetic MPEG-2 transport stream whose every byte is a function of its
// offset, so that a receiver (a test, a benchmark, `kvudpsrc send`'s peer)
// can check any range it got byte for byte without a copy of what was sent.
//
// The stream is one program (number 1) with a PAT on PID 0 and a PMT on PID
// 0x1000 every 128 packets, and one private-data elementary stream
// (stream_type 0x06, PES stream_id 0xBD) on PID 0x100 that also carries the
// PCR. A PES packet starts every 8 data packets, with a PTS 200 ms after the
// PCR of its first packet; the PCR is carried in that first packet too.
// Continuity counters count per PID as ISO/IEC 13818-1 (2.4.3.3) asks.
//
// The clock follows the nominal bit rate: packet i is due at
// i * 188 * 8 / rate seconds, which is the time its PCR says. The payload of
// each data packet starts with its own packet index (8 bytes, big-endian),
// followed by bytes of a pattern of the stream offset: stream byte o is byte
// (o mod 4) of Mix(o / 4), little-endian. Headers overwrite the pattern
// where they sit.
#pragma once

#include <cstddef>
#include <cstdint>

class CTsGenerator
{
public:
    static constexpr size_t kPacketSize = 188;
    static constexpr uint16_t kPmtPid = 0x1000;
    static constexpr uint16_t kDataPid = 0x100;
    static constexpr uint64_t kPsiInterval = 128;  // packets from one PAT to the next
    static constexpr uint64_t kPesPackets = 8;     // data packets per PES packet
    static constexpr uint64_t kDefaultBitRate = 10000000;

    // ullBitRate: the nominal rate in bits per second that the PCRs and PTSs
    // follow; 0 takes kDefaultBitRate. Two generators of the same rate make
    // the same stream.
    explicit CTsGenerator(uint64_t ullBitRate = kDefaultBitRate);

    uint64_t BitRate() const { return m_ullBitRate; }

    // Packet ullIndex (stream offset ullIndex * 188) into pbOut[0..188).
    void MakePacket(uint64_t ullIndex, uint8_t* pbOut) const;
    // The stream bytes [ullOffset, ullOffset + cb) into pb.
    void Fill(uint64_t ullOffset, uint8_t* pb, size_t cb) const;
    // -1 when pb[0..cb) are the stream's bytes at ullOffset; else the index
    // in pb of the first byte that differs.
    long long FirstMismatch(uint64_t ullOffset, const uint8_t* pb, size_t cb) const;

    // The packet index a data packet of this stream carries, or -1 when
    // pbPacket is not one (another PID, no sync byte). Locates a packet of a
    // damaged or partial recording in the stream.
    static long long PacketIndexOf(const uint8_t* pbPacket);
    // The 27 MHz PCR of packet ullIndex (before the 2^33 * 300 wrap).
    uint64_t Pcr27MHz(uint64_t ullIndex) const;

private:
    // Offset of the packet index in a data packet's payload area.
    static size_t PayloadStart(const uint8_t* pbPacket);

    uint64_t m_ullBitRate;
    uint8_t m_abPat[kPacketSize];  // with continuity counter 0
    uint8_t m_abPmt[kPacketSize];
};

// CRC-32 of MPEG-2 PSI sections (polynomial 0x04C11DB7, no reflection,
// initial value all ones, no final xor).
uint32_t Crc32Mpeg(const uint8_t* pb, size_t cb);
