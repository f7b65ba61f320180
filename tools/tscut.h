// Where to cut a recorded MPEG-2 transport stream so that the piece stands
// on its own: on a packet boundary and, when asked, at a random-access
// point a decoder can start from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tscut {

constexpr size_t kPacketSize = 188;
constexpr uint8_t kSyncByte = 0x47;

// The first position p in pb[0..cb) where a transport stream's packets
// begin: sync bytes at p and every 188 bytes after it, at least kSyncRun
// and at most twice that many times. -1 when the data are no transport stream
// (or too short to tell).
constexpr int kSyncRun = 4;
long long FindPacketStart(const uint8_t* pb, size_t cb);

// Scans packets in stream order for the first random-access point: a packet
// whose adaptation field sets random_access_indicator (ISO/IEC 13818-1,
// 2.4.3.5), or the first packet of a video PES packet whose payload holds
// an H.264 IDR slice (nal_unit_type 5, ITU-T H.264 7.4.1.2) before any
// other slice. The cut moves back over the PSI packets (PAT, the PMTs it
// names, SDT) right before that packet, which muxers send just ahead of a
// key frame, so that a demultiplexer finds the program at once.
class CRandomAccessFinder
{
public:
    // Feeds the next packet (188 bytes, sync byte first) at stream offset
    // llOffset. true once a random-access point is known; *pllCut is where
    // the cut goes.
    bool Feed(const uint8_t* pkt, long long llOffset, long long* pllCut);

private:
    static constexpr int kPids = 8192;
    struct SPes
    {
        uint16_t wPid = 0;
        bool bActive = false;  // a video PES packet began and no slice was seen yet
        long long llCut = 0;   // where the cut goes if it turns out to be an IDR
        uint32_t dwWindow = 0; // the last bytes of payload, for start codes across packets
        int nHave = 0;         // valid bytes in dwWindow (up to 3)
        bool bPesHeaderDone = false;
        int nHeaderLeft = 0;   // PES header bytes still to skip
        int nHeaderSeen = 0;   // bytes of the fixed PES header seen
        uint8_t abHeader[9] = {};
    };
    bool IsPsiPid(uint16_t wPid) const;
    void LearnPat(const uint8_t* pPayload, size_t cb);
    // Scans payload bytes of a video PES; 5 = IDR found, 1 = another slice,
    // 0 = not decided yet.
    int ScanPayload(SPes* pPes, const uint8_t* pb, size_t cb);

    uint16_t m_awPmtPid[16] = {};
    int m_nPmtPids = 0;
    long long m_llPsiRunStart = -1;  // first packet of the PSI run that ends at the current packet
    bool m_bLastWasPsi = false;
    SPes m_aPes[4];  // video PIDs being decided
};

// Passes a transport stream read by offset on in whole packets only. Where
// the offsets jump (the reader was lapped and goes on at the oldest byte
// the ring still keeps, which need not be a packet boundary), the head of
// the packet cut off before the jump and the tail of the one cut into after
// it are dropped, so that no packet is joined from two places of the
// stream. Bytes pass unchanged until a block shows the packet grid (any
// stream that is no transport stream); a jump looks for the grid again.
class CPacketGate
{
public:
    // The sink takes bytes in order; false stops the gate (a write error).
    typedef std::function<bool(const uint8_t* pb, size_t cb)> Sink;
    explicit CPacketGate(Sink sink) : m_sink(std::move(sink)) {}

    // The bytes at stream offset llPos; false when the sink failed.
    bool Feed(long long llPos, const uint8_t* pb, size_t cb);
    // The end: what is held of a last packet goes out as it is.
    bool Finish();
    // Bytes dropped at jumps, besides the bytes the jumps skipped.
    long long Dropped() const { return m_llDropped; }

private:
    Sink m_sink;
    long long m_llNext = -1;   // the offset that continues the stream
    int m_nPhase = -1;         // packets start at offsets = this modulo 188; -1 not yet known
    uint8_t m_abCarry[kPacketSize] = {};
    size_t m_cbCarry = 0;      // the start of a packet whose rest has not come yet
    long long m_llDropped = 0;
};

}  // namespace tscut
