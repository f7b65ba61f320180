// CRTPParser: recognises RTP in the datagrams of a stream, strips and
// reorders it, rebuilds a continuous media clock from the 32-bit time
// stamps, and hands each payload to the de-packetiser of its format.
//
// Only the receive thread calls in. The parser is itself the frame buffer
// (its CBuffer base) in which access units and frames are assembled; a unit
// handed out points into it, into a reorder-queue buffer or into the
// caller's datagram, and stays valid until the next packet is processed.
#pragma once

#include <atomic>

#include "dshowflt/common/buffer.h"
#include "dshowflt/common/rtp/rtpreorder.h"
#include "platform/wintypes.h"

// Detection states.
enum : LONG
{
    RTPSTATE_NO = 0,
    RTPSTATE_MAYBE = 1,
    RTPSTATE_YES = 2,
};

// Results of ParseHeader and of the payload handlers.
enum : int
{
    RTPPACKET_GOOD = 0,
    RTPPACKET_INVALID_SSRC = 1,
    RTPPACKET_DISCARD = 2,
    RTPPACKET_DUPLICATE = 3,
    RTPPACKET_BAD = 4,
    RTPPACKET_GOOD_MULTIPLE = 5,
};

// Flags handed on with each unit.
constexpr DWORD RTPUNIT_MARKER = 1;         // end of frame
constexpr DWORD RTPUNIT_DISCONTINUITY = 2;  // data was lost before this unit
constexpr DWORD RTPUNIT_SYNCPOINT = 4;
constexpr DWORD RTPUNIT_RTCP = 8;
constexpr DWORD RTPUNIT_TIME_OFFSET = 16;   // the time-stamp offset moved

// Format codes: the RTP payload type, or the code that a URL maps it to.
constexpr LONG RTPFORMAT_JPEG = 26;
constexpr LONG RTPFORMAT_MPEGVIDEO = 32;
constexpr LONG RTPFORMAT_MP2T = 33;
constexpr LONG RTPFORMAT_H264 = 128;
constexpr LONG RTPFORMAT_MPEG4 = 130;
constexpr LONG RTPFORMAT_RAW = 133;
constexpr LONG RTPFORMAT_MPEG2 = 134;
constexpr LONG RTCP_SR = 200;
constexpr LONG RTCP_RR = 201;
constexpr LONG RTCP_SDES = 202;
constexpr LONG RTCP_BYE = 203;

constexpr DWORD FOURCC_UYVY = 0x59565955;

// What became of the RTP packets of a stream, for a display of its health.
// lost: packets missing from what was handed on (gaps in the sequence, and
// held packets dropped when the sender restarted); reordered: packets that
// arrived after one numbered above them, whether the reorder queue put them
// back in place or they came too late to be used; duplicated: copies of a
// packet already handed on or held.
struct RTPCounters
{
    LONGLONG llLost = 0;
    LONGLONG llReordered = 0;
    LONGLONG llDuplicated = 0;
};

class CRTPParser : public CBuffer
{
public:
    // No unit may grow past this: a sender that never ends a unit must not
    // take all our memory.
    static constexpr LONG kMaxUnitBytes = 32 * 1024 * 1024;

    CRTPParser();
    ~CRTPParser() override;

    // 0 = not RTP, 1 = maybe, 2 = RTP.
    int IsRTP(const BYTE* pData, LONG cb);
    // *ppData/*pcb in: the datagram (or *pcb 0 to collect a held packet);
    // out: the unit to hand on (length 0 = nothing). Returns RTPPACKET_*.
    int ParseHeader(BYTE** ppData, LONG* pcb);
    int GetRTPInfo(const BYTE* pData, LONG cb);

    void SetPayloadType(LONG nPayloadType, LONG nFormat);
    void SetClockRate(DWORD dwClockRate);
    [[nodiscard]] HRESULT SetRawFormat(DWORD dwFourCC, LONG nWidth, LONG nHeight, LONG nDepth);
    LONGLONG TicksTo100ns(LONGLONG llTicks) const;
    void ResetRTPState();
    void RestartRTP();
    bool IsH264Payload() const { return m_nConfiguredFormat == RTPFORMAT_H264; }
    bool IsVideoPayload() const;

    // What the pipeline reads after ParseHeader.
    const RTPPacketInfo& PacketInfo() const { return m_info; }
    LONGLONG UnitTime() const { return m_info.rtUnitTime; }
    DWORD UnitFlags() const { return m_info.dwFlags; }
    LONG State() const { return m_nState; }
    LONG LearnedPayloadType() const { return m_nLearnedPayloadType; }
    LONG Format() const { return m_info.nFormat; }
    LONG Width() const { return m_nWidth; }
    LONG Height() const { return m_nHeight; }
    DWORD ClockRate() const { return m_dwClockRate; }
    int HeldPackets() { return m_queue.Count(); }
    // Since construction, across restarts and new loads. Any thread may ask;
    // the receive thread keeps them without a lock.
    RTPCounters Counters() const;

    // Payload handlers; each takes the payload through *ppData/*pcb and
    // leaves the unit there (length 0 = nothing ready).
    int ParseH264Header(BYTE** ppData, LONG* pcb);
    int ParseJPEGHeader(BYTE** ppData, LONG* pcb);
    int ParseRawHeader(BYTE** ppData, LONG* pcb);
    int ProcessRawLine(BYTE** ppData, LONG* pcb);
    int ParseFrameByTime(BYTE** ppData, LONG* pcb);
    int FlushSample(BYTE** ppData, LONG* pcb, LONG cbFrameOverride);

    // An Annex B unit whose first slice or parameter set is an IDR slice
    // or a sequence parameter set: a decoder can start there.
    static bool IsKeyFrame(const BYTE* p, LONG cb);

private:
    int ParseSenderReport(BYTE** ppData, LONG* pcb);
    int HandleRTCP(BYTE** ppData, LONG* pcb);
    int Dispatch(BYTE** ppData, LONG* pcb);
    // What an arriving packet's sequence number and SSRC make of it.
    enum class SeqClass
    {
        kAccept,      // in order, or ahead within reach of the reorder queue
        kLate,        // at most kMaxMisorder behind, or already held: dropped
        kStraggler,   // a late packet of the stream that a restart retired
        kSuspicious,  // far from the last one: a stray, or a restart
        kRestart,     // continues a suspicious packet, or a new SSRC
    };
    // *pnBase: the sequence number that a restart takes as the last one.
    SeqClass ClassifySeq(LONG* pnBase);
    void RestartSequence(LONG nBase);
    // The counters' view of an arriving packet that is handed on or held
    // (the highest number seen), of a late one (a copy, or one too late),
    // and of one handed on (the gap before it, the history of copies).
    void NoteAccepted();
    void NoteLate();
    void NoteHandedOn();
    static void Add(std::atomic<LONGLONG>* pll, LONGLONG ll)
    {
        pll->store(pll->load(std::memory_order_relaxed) + ll, std::memory_order_relaxed);
    }
    ULONGLONG TicksToUnitTime(ULONGLONG ullTicks) const;
    bool SameSample() const;
    bool DroppedUnit();
    [[nodiscard]] HRESULT TakePending();
    [[nodiscard]] static HRESULT AppendTo(CBuffer* pBuf, const void* pv, LONG cb);
    void H264Drop();
    int H264Assemble(BYTE** ppData, LONG* pcb);
    [[nodiscard]] HRESULT AppendNal(const BYTE* pNal, LONG cbNal);
    HRESULT AppendJPEGHeaders(BYTE bType, BYTE bQ, const BYTE* pTables, BYTE bPrecision);

    // Detection and configuration.
    LONG m_nState = RTPSTATE_MAYBE;
    LONG m_nLearnedPayloadType = -1;
    LONG m_nLastSeq = -1;
    LONG m_nConfiguredPayloadType = -1;
    LONG m_nConfiguredFormat = -1;
    LONG m_nWidth = -1;
    LONG m_nHeight = -1;
    DWORD m_dwClockRate = 90000;
    DWORD m_dwClockNum = 9;
    DWORD m_dwClockDen = 1000;

    RTPPacketInfo m_info;
    CRTPReorderQueue m_queue;

    // Sender restarts (RFC 3550, A.1). A packet more than kMaxDropout ahead
    // of the last accepted one or more than kMaxMisorder behind it is
    // suspicious and dropped; a second one that continues it means the
    // sender restarted its numbering. A new SSRC is a restart at once.
    static constexpr DWORD kMaxDropout = 3000;
    static constexpr DWORD kMaxMisorder = 100;
    DWORD m_dwLastSSRC = 0;        // SSRC of the last accepted packet
    LONG m_nSuspiciousSeq = -1;    // the last suspicious packet, or -1
    bool m_bRestartPending = false;  // the next accepted packet follows a restart
    // The stream a restart left: its late packets are dropped for the next
    // kMaxMisorder accepted packets instead of being taken for a restart back.
    LONG m_nRetiredSeq = -1;
    DWORD m_dwRetiredSSRC = 0;
    LONG m_nRetiredGuard = 0;

    // The counters (written by the receive thread only, so a relaxed store
    // of the sum suffices) and what they are kept from: the highest number
    // that arrived, and which of the kHistory packets up to the last one
    // handed on were handed on (bit k: m_nLastSeq - k), which tells a copy
    // from a packet that comes too late.
    static constexpr DWORD kHistory = 128;
    static_assert(kMaxMisorder < kHistory);
    std::atomic<LONGLONG> m_llLost{0};
    std::atomic<LONGLONG> m_llReordered{0};
    std::atomic<LONGLONG> m_llDuplicated{0};
    LONG m_nHighestSeq = -1;
    unsigned __int128 m_uHandedOn = 0;

    // De-packetiser state.
    CBuffer m_pending;   // the start of the next unit, or a stashed raw packet
    CBuffer m_work;      // NAL units rebuilt from the current packet
    DWORD m_dwPendingFlags = 0;  // flags of the packet whose data is pending
    LONGLONG m_llSampleTime = MIN_INT64;  // RTP time of the open unit
    LONGLONG m_llDecodingOrder = 0;
    LONG m_nExpectedJPEGOffset = 0;
    bool m_bWaitForStart = false;
    bool m_bDiscontinuityPending = false;
    bool m_bFragmentOpen = false;  // an FU start has been seen, no end yet
    LONGLONG m_llDroppedTime = MIN_INT64;  // RTP time of a unit dropped as too large

    // Raw video geometry.
    DWORD m_dwRawFourCC = 0;
    LONG m_nRawStride = 0;
    LONG m_nRawDepth = 0;
    LONG m_nRawBytesPerPixel = 0;
    LONG m_cbRawFrame = 0;
};
