#include "dshowflt/common/rtp/rtpparser.h"

#include "dshowflt/common/trace/trace.h"

namespace {

inline DWORD ReadBE32(const BYTE* p)
{
    return (DWORD(p[0]) << 24) | (DWORD(p[1]) << 16) | (DWORD(p[2]) << 8) | DWORD(p[3]);
}

inline DWORD ReadBE16(const BYTE* p)
{
    return (DWORD(p[0]) << 8) | DWORD(p[1]);
}

inline bool IsRTCPType(LONG nFormat)
{
    return nFormat >= RTCP_SR && nFormat <= RTCP_BYE;
}

}  // namespace

CRTPParser::CRTPParser()
{
    SetClockRate(90000);
}

CRTPParser::~CRTPParser() = default;

// 100-ns time = ticks x den / num, with the ratio rate : 10,000,000 reduced
// so that the products stay small (90 kHz gives 9 : 1000).
void CRTPParser::SetClockRate(DWORD dwClockRate)
{
    m_dwClockRate = dwClockRate;
    DWORD dwNum = dwClockRate;
    DWORD dwDen = 10000000;
    while (dwNum != 0 && dwNum % 2 == 0 && dwDen % 2 == 0) {
        dwNum /= 2;
        dwDen /= 2;
    }
    while (dwNum != 0 && dwNum % 5 == 0 && dwDen % 5 == 0) {
        dwNum /= 5;
        dwDen /= 5;
    }
    m_dwClockNum = dwNum;
    m_dwClockDen = dwDen;
}

// A 128-bit intermediate: any 64-bit tick count times a 32-bit denominator
// fits, whatever clock rate the options accepted.
ULONGLONG CRTPParser::TicksToUnitTime(ULONGLONG ullTicks) const
{
    if (m_dwClockNum == 0)
        return 0;
    unsigned __int128 v = static_cast<unsigned __int128>(ullTicks) * m_dwClockDen;
    v /= m_dwClockNum;
    return static_cast<ULONGLONG>(v);
}

LONGLONG CRTPParser::TicksTo100ns(LONGLONG llTicks) const
{
    if (m_dwClockNum == 0)
        return 0;
    __int128 v = static_cast<__int128>(llTicks) * m_dwClockDen;
    v /= m_dwClockNum;
    if (v > INT64_MAX)
        return INT64_MAX;
    if (v < INT64_MIN)
        return INT64_MIN;
    return static_cast<LONGLONG>(v);
}

void CRTPParser::SetPayloadType(LONG nPayloadType, LONG nFormat)
{
    m_nConfiguredPayloadType = nPayloadType;
    m_nConfiguredFormat = nFormat;
    if (nPayloadType == 0)
        m_nState = RTPSTATE_NO;
}

bool CRTPParser::IsVideoPayload() const
{
    return m_nConfiguredFormat == RTPFORMAT_H264 || m_nConfiguredFormat == RTPFORMAT_MPEG4 ||
           m_nConfiguredFormat == RTPFORMAT_RAW || m_nLearnedPayloadType == RTPFORMAT_JPEG;
}

void CRTPParser::ResetRTPState()
{
    m_nState = m_nConfiguredPayloadType == 0 ? RTPSTATE_NO : RTPSTATE_MAYBE;
    m_nLearnedPayloadType = -1;
    m_nLastSeq = -1;
    m_dwLastSSRC = 0;
    m_nSuspiciousSeq = -1;
    m_bRestartPending = false;
    m_nRetiredSeq = -1;
    m_dwRetiredSSRC = 0;
    m_nRetiredGuard = 0;
    m_nHighestSeq = -1;
    m_uHandedOn = 0;
    if (m_nConfiguredFormat != RTPFORMAT_RAW) {
        m_nWidth = -1;
        m_nHeight = -1;
    }
    m_info = RTPPacketInfo();
    m_llDecodingOrder = 0;
    m_nExpectedJPEGOffset = 0;
    m_bWaitForStart = false;
    m_bFragmentOpen = false;
    m_llSampleTime = MIN_INT64;
    m_llDroppedTime = MIN_INT64;
    m_bDiscontinuityPending = false;
    m_pending.Empty();
    m_work.Empty();
}

void CRTPParser::RestartRTP()
{
    Empty();
    m_pending.Empty();
    m_work.Empty();
    m_llSampleTime = MIN_INT64;
    m_llDroppedTime = MIN_INT64;
    m_bDiscontinuityPending = false;
    m_nExpectedJPEGOffset = 0;
    m_bWaitForStart = true;
    m_bFragmentOpen = false;
}

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// |                           timestamp                           |
// |           synchronization source (SSRC) identifier            |
// |            contributing source (CSRC) identifiers  ...        |
// (RFC 3550, 5.1; the extension header of 5.3.1 follows the CSRCs.)
int CRTPParser::GetRTPInfo(const BYTE* pData, LONG cb)
{
    if (!pData || cb < 4)
        return RTPPACKET_BAD;
    DWORD dwFirst = ReadBE32(pData);
    if ((dwFirst >> 30) != 2)
        return RTPPACKET_BAD;
    m_info.nPaddingBytes = (pData[0] & 0x20) ? pData[cb - 1] : 0;

    // RTCP shares the first word's layout; its packet type sits where the
    // marker bit and payload type would be (RFC 5761, 4).
    if (IsRTCPType(pData[1])) {
        m_info.nFormat = pData[1];
        m_info.dwRTCPLength = dwFirst & 0xFFFF;
        m_info.dwFlags = RTPUNIT_RTCP;
        m_info.nHeaderSize = 4;
        return RTPPACKET_GOOD;
    }
    if (cb < 12)
        return RTPPACKET_BAD;

    m_info.lastRTPTime = m_info.curRTPTime;
    m_info.dwFlags = (pData[1] & 0x80) ? RTPUNIT_MARKER : 0;
    DWORD dwStamp = ReadBE32(pData + 4);
    m_info.curRTPTime = m_info.offsetRTPTime + dwStamp;

    // Signed comparison, as wide as needed that no operand overflows.
    const __int128 llRate = m_dwClockRate;
    if (static_cast<__int128>(static_cast<LONGLONG>(m_info.curRTPTime)) <
        static_cast<__int128>(static_cast<LONGLONG>(m_info.lastRTPTime)) - llRate) {
        // A forward wrap of the 32-bit stamp keeps the true spacing; any
        // other step back of more than a second is a sender restart, and time
        // goes on one frame (33 ms) after the previous packet.
        DWORD dwLastStamp = static_cast<DWORD>(m_info.lastRTPTime - m_info.offsetRTPTime);
        ULONGLONG ullIncrement;
        if (0xFFFFFFFFull - dwLastStamp < m_dwClockRate && dwStamp < m_dwClockRate) {
            ullIncrement = 0x100000000ull;
        } else {
            ULONGLONG ullFrame = m_dwClockDen ? ULONGLONG(m_dwClockNum) * 330000 / m_dwClockDen : 0;
            ullIncrement = ullFrame - m_info.curRTPTime + m_info.lastRTPTime;
        }
        Trace("\nCRTPParser::ParseHeader: wraparound detected: lastRTPTime=%llu, curRTPTime=%llu(%llu+%llu). "
              "Increase offsetRTPTime from %llu to %llu",
              (unsigned long long)m_info.lastRTPTime, (unsigned long long)m_info.curRTPTime,
              (unsigned long long)dwStamp, (unsigned long long)m_info.offsetRTPTime,
              (unsigned long long)m_info.offsetRTPTime,
              (unsigned long long)(m_info.offsetRTPTime + ullIncrement));
        m_info.offsetRTPTime += ullIncrement;
        m_info.curRTPTime += ullIncrement;
        m_info.dwFlags |= RTPUNIT_TIME_OFFSET;
    }
    m_info.rtUnitTime = static_cast<LONGLONG>(TicksToUnitTime(m_info.curRTPTime));
    m_info.dwSSRC = ReadBE32(pData + 8);
    Trace("\nCRTPParser::ParseHeader: SSRC=0x%08X", m_info.dwSSRC);

    LONG nCSRC = pData[0] & 0x0F;
    LONG nHeader = 12 + 4 * nCSRC;
    if (pData[0] & 0x10) {
        if (cb < 16 + 4 * nCSRC)
            return RTPPACKET_BAD;
        nHeader += 4 + 4 * static_cast<LONG>(ReadBE16(pData + 14 + 4 * nCSRC));
    }
    m_info.dwSeq = ReadBE16(pData + 2);
    LONG nPayloadType = pData[1] & 0x7F;
    m_info.nFormat = (nPayloadType == m_nConfiguredPayloadType) ? m_nConfiguredFormat : nPayloadType;
    if (m_info.nFormat == RTPFORMAT_MPEGVIDEO)
        nHeader += 4;  // RFC 2250, 3.4: the MPEG video-specific header
    m_info.nHeaderSize = nHeader;
    if (static_cast<LONGLONG>(nHeader) + m_info.nPaddingBytes >= cb)
        return RTPPACKET_BAD;
    return RTPPACKET_GOOD;
}

int CRTPParser::IsRTP(const BYTE* pData, LONG cb)
{
    switch (m_nState) {
    case RTPSTATE_NO:
        return 0;
    case RTPSTATE_YES:
        return 2;
    case RTPSTATE_MAYBE:
        break;
    default:
        Trace("\nCRTPParser::IsRTP: Unknown state (%d)! -> RTPSTATE_NO (3)", m_nState);
        m_nState = RTPSTATE_NO;
        return 0;
    }

    int nRet = GetRTPInfo(pData, cb);
    // RTCP sent to the RTP port neither confirms nor refutes RTP: it takes
    // no part in the sequence test that detection is built on.
    if (nRet == RTPPACKET_GOOD && IsRTCPType(m_info.nFormat))
        return 1;
    if (m_nLearnedPayloadType < 0) {
        if (nRet != RTPPACKET_GOOD) {
            Trace("\nCRTPParser::IsRTP: GetRTPInfo failed, RTPSTATE_MAYBE -> RTPSTATE_NO (1)");
            m_nState = RTPSTATE_NO;
            return 0;
        }
        m_nLearnedPayloadType = m_info.nFormat;
        return 1;
    }
    if (nRet != RTPPACKET_GOOD) {
        Trace("\nCRTPParser::IsRTP: GetRTPInfo failed, RTPSTATE_MAYBE -> RTPSTATE_NO (3), ret=%d, Seq=%d, "
              "LastSeq=%d, Size=%d",
              nRet, static_cast<int>(m_info.dwSeq), m_nLastSeq, cb);
        m_nState = RTPSTATE_NO;
        return 0;
    }
    if (m_info.nFormat != m_nLearnedPayloadType) {
        Trace("\nCRTPParser::IsRTP: GetRTPInfo succeeded, RTPSTATE_MAYBE -> RTPSTATE_NO (2)");
        Trace("\nCRTPParser::IsRTP: GetRTPInfo failed, RTPSTATE_MAYBE -> RTPSTATE_NO (3), ret=%d, Seq=%d, "
              "LastSeq=%d, Size=%d",
              nRet, static_cast<int>(m_info.dwSeq), m_nLastSeq, cb);
        m_nState = RTPSTATE_NO;
        return 0;
    }
    if (m_nLastSeq >= 0 && m_info.dwSeq == ((static_cast<DWORD>(m_nLastSeq) + 1) & 0xFFFF)) {
        m_nState = RTPSTATE_YES;
        return 2;
    }
    Trace("\nCRTPParser::IsRTP: GetRTPInfo succeeded, but sequence (%d, last=%d) is not correct so stay in "
          "RTPSTATE_MAYBE",
          static_cast<int>(m_info.dwSeq), m_nLastSeq);
    return 1;
}

// Sequence numbers against the last accepted packet L (RFC 3550, A.1):
//   at most kMaxMisorder behind L (or L itself, or held already): late or
//     repeated; handing it on would put old bytes into the unit being built;
//   up to kMaxDropout ahead: in order, or held until the gap fills;
//   anything else: suspicious. One such packet is a stray and is dropped,
//     but a second that continues it (lies just after it) means the sender
//     restarted its numbering: a camera or encoder that restarts must not
//     cost the tens of thousands of packets until its numbers come round.
// A packet with another SSRC comes from a new sender (or a restarted one):
// a restart at once. After a restart the late packets of the old stream are
// dropped for a while; taking one for a restart back would splice the two.
CRTPParser::SeqClass CRTPParser::ClassifySeq(LONG* pnBase)
{
    const DWORD dwSeq = m_info.dwSeq;
    *pnBase = m_nLastSeq;
    if (m_nLastSeq < 0)
        return SeqClass::kAccept;
    auto nearRetired = [&]() {
        if (m_nRetiredGuard <= 0 || m_info.dwSSRC != m_dwRetiredSSRC)
            return false;
        const DWORD dwAhead = (dwSeq - static_cast<DWORD>(m_nRetiredSeq)) & 0xFFFF;
        return dwAhead <= kMaxDropout || dwAhead >= 0x10000 - kMaxMisorder;
    };
    if (m_info.dwSSRC != m_dwLastSSRC) {
        if (nearRetired())
            return SeqClass::kStraggler;
        *pnBase = static_cast<LONG>((dwSeq - 1) & 0xFFFF);
        return SeqClass::kRestart;
    }
    const DWORD dwAhead = (dwSeq - static_cast<DWORD>(m_nLastSeq)) & 0xFFFF;
    if (dwAhead == 0 || dwAhead >= 0x10000 - kMaxMisorder || m_queue.Holds(dwSeq))
        return SeqClass::kLate;
    if (dwAhead <= kMaxDropout)
        return SeqClass::kAccept;
    if (nearRetired())
        return SeqClass::kStraggler;
    // "Continues" allows for reordering at the restart: a packet up to one
    // queue's worth after the suspicious one makes that one the new base,
    // and the packets between are taken in order when they arrive.
    if (m_nSuspiciousSeq >= 0) {
        const DWORD dwAfter = (dwSeq - static_cast<DWORD>(m_nSuspiciousSeq)) & 0xFFFF;
        if (dwAfter >= 1 && dwAfter <= CRTPReorderQueue::kCapacity + 1) {
            *pnBase = m_nSuspiciousSeq;
            return SeqClass::kRestart;
        }
    }
    return SeqClass::kSuspicious;
}

// Held packets belong to the old numbering and would never fall due in the
// new one: they are dropped. The next packet handed on carries the
// discontinuity flag.
void CRTPParser::RestartSequence(LONG nBase)
{
    const int nDropped = m_queue.Clear();
    Add(&m_llLost, nDropped);
    Trace("\nCRTPParser::ParseHeader: sender restart: Seq=%u SSRC=0x%08X after lastSeq=%d SSRC=0x%08X, "
          "%d held packets dropped",
          m_info.dwSeq, m_info.dwSSRC, m_nLastSeq, m_dwLastSSRC, nDropped);
    m_nRetiredSeq = m_nLastSeq;
    m_dwRetiredSSRC = m_dwLastSSRC;
    m_nRetiredGuard = static_cast<LONG>(kMaxMisorder);
    m_nLastSeq = nBase;
    m_dwLastSSRC = m_info.dwSSRC;
    m_nSuspiciousSeq = -1;
    m_bRestartPending = true;
    m_nHighestSeq = -1;
    m_uHandedOn = 0;
}

RTPCounters CRTPParser::Counters() const
{
    RTPCounters c;
    c.llLost = m_llLost.load(std::memory_order_relaxed);
    c.llReordered = m_llReordered.load(std::memory_order_relaxed);
    c.llDuplicated = m_llDuplicated.load(std::memory_order_relaxed);
    return c;
}

void CRTPParser::NoteAccepted()
{
    const DWORD dwSeq = m_info.dwSeq;
    if (m_nHighestSeq >= 0) {
        const DWORD dwBehind = (static_cast<DWORD>(m_nHighestSeq) - dwSeq) & 0xFFFF;
        if (dwBehind != 0 && dwBehind < 0x8000) {
            Add(&m_llReordered, 1);
            return;
        }
    }
    m_nHighestSeq = static_cast<LONG>(dwSeq);
}

// Late means at most kMaxMisorder behind the last packet handed on, that
// packet itself, or one held already (ClassifySeq).
void CRTPParser::NoteLate()
{
    const DWORD dwBehind = (static_cast<DWORD>(m_nLastSeq) - m_info.dwSeq) & 0xFFFF;
    const bool bCopy = dwBehind >= 0x8000 ||  // ahead: held already
                       (dwBehind < kHistory && ((m_uHandedOn >> dwBehind) & 1) != 0);
    Add(bCopy ? &m_llDuplicated : &m_llReordered, 1);
}

void CRTPParser::NoteHandedOn()
{
    const DWORD dwSeq = m_info.dwSeq;
    DWORD dwStep = kHistory;
    if (m_nLastSeq >= 0) {
        dwStep = (dwSeq - static_cast<DWORD>(m_nLastSeq)) & 0xFFFF;
        if (dwStep > 1)
            Add(&m_llLost, dwStep - 1);
    }
    m_uHandedOn = dwStep >= kHistory ? 1 : (m_uHandedOn << dwStep) | 1;
}

// RTCP is consumed where it arrives, outside the sequence test and the
// reorder queue: a receiver or sender report on the RTP port must neither
// raise a discontinuity nor end up in the media stream.
int CRTPParser::HandleRTCP(BYTE** ppData, LONG* pcb)
{
    if (m_info.nFormat == RTCP_SR && ParseSenderReport(ppData, pcb) != RTPPACKET_GOOD)
        Trace("\nCRTPParser::ParseHeader: short RTCP sender report (length %u), ignored", m_info.dwRTCPLength);
    *pcb = 0;
    return RTPPACKET_GOOD;
}

//  sender info (RFC 3550, 6.4.1): SSRC, NTP time stamp (8), RTP time stamp,
//  packet count, octet count = 24 bytes = 6 words after the common header.
int CRTPParser::ParseSenderReport(BYTE** ppData, LONG* pcb)
{
    if (m_info.dwRTCPLength < 6 || *pcb < m_info.nHeaderSize + 24)
        return RTPPACKET_BAD;
    m_info.dwRTCPLength -= 6;
    *ppData += m_info.nHeaderSize + 24;
    *pcb -= m_info.nHeaderSize + 24;
    return RTPPACKET_GOOD;
}

int CRTPParser::Dispatch(BYTE** ppData, LONG* pcb)
{
    switch (m_info.nFormat) {
    case RTPFORMAT_H264:
        return ParseH264Header(ppData, pcb);
    case RTPFORMAT_JPEG:
        return ParseJPEGHeader(ppData, pcb);
    case RTPFORMAT_RAW:
        return ParseRawHeader(ppData, pcb);
    case RTPFORMAT_MPEG4:
        return ParseFrameByTime(ppData, pcb);
    default:
        return RTPPACKET_GOOD;  // the payload is the unit as it stands
    }
}

int CRTPParser::ParseHeader(BYTE** ppData, LONG* pcb)
{
    BYTE* p = *ppData;
    LONG cb = *pcb;
    *pcb = 0;
    HRESULT hrQueue = S_OK;
    bool bArrived = cb >= 1;

    if (!bArrived) {
        int nQ = m_queue.ReorderPacket(m_nLastSeq, &m_info, &p, &cb, &hrQueue);
        if (nQ == REORDER_NOTHING_DUE)
            return RTPPACKET_DISCARD;
        if (nQ != REORDER_RELEASED)
            return RTPPACKET_BAD;
    } else {
        // A packet that is dropped leaves the record (and with it the
        // rebuilt clock) as it was: a stray time stamp must not move the
        // time line of the packets that are handed on.
        const RTPPacketInfo infoBefore = m_info;
        int nRet = GetRTPInfo(p, cb);
        if (nRet != RTPPACKET_GOOD) {
            m_info = infoBefore;
            return nRet;
        }
        if (IsRTCPType(m_info.nFormat)) {
            nRet = HandleRTCP(&p, &cb);
            *ppData = p;
            return nRet;
        }
        LONG nBase = -1;
        switch (ClassifySeq(&nBase)) {
        case SeqClass::kAccept:
            NoteAccepted();
            break;
        case SeqClass::kRestart:
            RestartSequence(nBase);
            NoteAccepted();
            break;
        case SeqClass::kLate:
            Trace("\nCRTPParser::ParseHeader: Skip duplicate packet!");
            NoteLate();
            m_info = infoBefore;
            return RTPPACKET_DUPLICATE;
        case SeqClass::kStraggler:
            Trace("\nCRTPParser::ParseHeader: Skip late packet of the stream before the restart, Seq=%u",
                  m_info.dwSeq);
            Add(&m_llReordered, 1);
            m_info = infoBefore;
            return RTPPACKET_DUPLICATE;
        case SeqClass::kSuspicious:
            Trace("\nCRTPParser::ParseHeader: Skip packet far from the sequence, Seq=%u, lastSeq=%d", m_info.dwSeq,
                  m_nLastSeq);
            m_nSuspiciousSeq = static_cast<LONG>(m_info.dwSeq);
            m_info = infoBefore;
            return RTPPACKET_DISCARD;
        }
    }

    for (;;) {
        bool bInOrder = m_nLastSeq < 0 || m_info.dwSeq == ((static_cast<DWORD>(m_nLastSeq) + 1) & 0xFFFF);
        if (!bInOrder) {
            if (bArrived) {
                bArrived = false;
                int nQ = m_queue.ReorderPacket(m_nLastSeq, &m_info, &p, &cb, &hrQueue);
                if (nQ == REORDER_NOTHING_DUE)
                    return RTPPACKET_DISCARD;
                if (nQ != REORDER_RELEASED) {
                    TRACE_HR(hrQueue);
                    return RTPPACKET_BAD;
                }
            }
            if (m_info.dwSeq != ((static_cast<DWORD>(m_nLastSeq) + 1) & 0xFFFF)) {
                Trace("\n   CRTPParser::ParseHeader: Set discontinuity flag! Seq=%u, lastSeq=%u, size=%d\n",
                      m_info.dwSeq, static_cast<DWORD>(m_nLastSeq), cb);
                m_info.dwFlags |= RTPUNIT_DISCONTINUITY;
            }
        }
        if (m_bRestartPending) {
            m_info.dwFlags |= RTPUNIT_DISCONTINUITY;
            m_bRestartPending = false;
        }
        m_info.dwFlags |= RTPUNIT_SYNCPOINT;
        NoteHandedOn();
        m_nLastSeq = static_cast<LONG>(m_info.dwSeq);
        m_dwLastSSRC = m_info.dwSSRC;
        if (m_nRetiredGuard > 0)
            --m_nRetiredGuard;
        bArrived = false;

        int nRet;
        if (static_cast<LONGLONG>(cb) < static_cast<LONGLONG>(m_info.nHeaderSize) + m_info.nPaddingBytes) {
            Trace("\nRTPParser::ParseHeader: Bad packet! Size=%d < nHeaderSize=%d + nPaddingBytes=%d", cb,
                  m_info.nHeaderSize, m_info.nPaddingBytes);
            nRet = RTPPACKET_BAD;
            cb = 0;
        } else {
            p += m_info.nHeaderSize;
            cb -= m_info.nHeaderSize + m_info.nPaddingBytes;
            nRet = Dispatch(&p, &cb);
            if (nRet != RTPPACKET_GOOD)
                cb = 0;
        }
        if (cb == 0) {
            // Nothing came of this packet: a held packet that is due now may.
            int nQ = m_queue.ReorderPacket(m_nLastSeq, &m_info, &p, &cb, &hrQueue);
            if (nQ == REORDER_RELEASED)
                continue;
        }
        *ppData = p;
        *pcb = cb;
        if (nRet != RTPPACKET_GOOD)
            return RTPPACKET_GOOD;
        return m_queue.Count() > 0 ? RTPPACKET_GOOD_MULTIPLE : RTPPACKET_GOOD;
    }
}
