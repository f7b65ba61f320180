// CRTPReorderQueue: holds RTP packets that arrived ahead of a gap so that
// they can be handed on in sequence order once the gap is filled, or once
// enough have piled up that the missing packet is taken as lost.
#pragma once

#include "dshowflt/common/buffer.h"
#include "platform/critsec.h"
#include "platform/wintypes.h"

// The facts read from one RTP or RTCP header. A held-back packet keeps its
// own copy, so the time-stamp state travels with the packet and is restored
// when it is released.
struct RTPPacketInfo
{
    LONG nFormat = 0;          // format code (payload type, mapped) or RTCP type
    DWORD dwSeq = 0;           // 16-bit sequence number
    LONG nHeaderSize = 0;      // bytes before the payload
    LONG nPaddingBytes = 0;    // bytes after the payload
    DWORD dwFlags = 0;         // RTPUNIT_* bits
    ULONGLONG offsetRTPTime = 0;
    ULONGLONG lastRTPTime = 0;
    ULONGLONG curRTPTime = 0;
    LONGLONG rtUnitTime = 0;   // curRTPTime in 100-ns units
    DWORD dwSSRC = 0;
    DWORD dwRTCPLength = 0;    // RTCP length field, 32-bit words
};

// Results of CRTPReorderQueue::ReorderPacket.
enum : int
{
    REORDER_NOTHING_DUE = 0,
    REORDER_RELEASED = 1,
    REORDER_EMPTY = 2,
    REORDER_ERROR = 3,
};

// Called only from the receive thread; the locks keep the list and the pool
// consistent should a second caller (a diagnostic count) ever look in.
// Lock order: m_csList, then m_csPool.
class CRTPReorderQueue
{
public:
    static constexpr int kCapacity = 5;

    CRTPReorderQueue() = default;
    ~CRTPReorderQueue();
    CRTPReorderQueue(const CRTPReorderQueue&) = delete;
    CRTPReorderQueue& operator=(const CRTPReorderQueue&) = delete;

    // With *pcb != 0, stores a copy of the datagram with its record first.
    // Then releases the first held packet when it is the successor of
    // nLastSeq or when more than kCapacity are held: *pInfo, *ppData and
    // *pcb then describe it (the bytes stay valid until the next insertion).
    // Returns a REORDER_* code; on REORDER_ERROR *phr holds the failure.
    int ReorderPacket(LONG nLastSeq, RTPPacketInfo* pInfo, BYTE** ppData, LONG* pcb,
                      HRESULT* phr);
    // True when a packet with this sequence number is held already.
    bool Holds(DWORD dwSeq);
    int Count();
    // Drops every held packet (their buffers go back to the pool) and
    // returns how many there were.
    int Clear();

private:
    struct CEntry
    {
        CBuffer buf;
        RTPPacketInfo info;
        CEntry* pNext = nullptr;
    };

    CEntry* TakeFromPool(LONG cb) EXCLUDES(m_csPool);
    void ReturnToPool(CEntry* p) EXCLUDES(m_csPool);
    static DWORD Distance(LONG nLastSeq, DWORD dwSeq);

    CCritSec m_csList;
    CEntry* m_pHead GUARDED_BY(m_csList) = nullptr;
    int m_nHeld GUARDED_BY(m_csList) = 0;
    CCritSec m_csPool;
    CEntry* m_pPool GUARDED_BY(m_csPool) = nullptr;
};
