#include "dshowflt/common/rtp/rtpreorder.h"

#include <new>

CRTPReorderQueue::~CRTPReorderQueue()
{
    CEntry* p;
    {
        CAutoLock lock(&m_csList);
        p = m_pHead;
        m_pHead = nullptr;
        m_nHeld = 0;
    }
    while (p) {
        CEntry* pNext = p->pNext;
        delete p;
        p = pNext;
    }
    CAutoLock lock(&m_csPool);
    p = m_pPool;
    m_pPool = nullptr;
    while (p) {
        CEntry* pNext = p->pNext;
        delete p;
        p = pNext;
    }
}

// Packets are ordered by how far they lie ahead of the last accepted one,
// not by their raw numbers, so that a run held across the 65535 -> 0 wrap
// comes out as 65534, 65535, 0, 1 rather than 0, 1, 65534, 65535. Only
// packets ahead of the last accepted one are ever inserted.
DWORD CRTPReorderQueue::Distance(LONG nLastSeq, DWORD dwSeq)
{
    return (dwSeq - static_cast<DWORD>(nLastSeq) - 1) & 0xFFFF;
}

// First fit from the pool, so that steady reordering allocates nothing; when
// no pooled buffer is large enough the first one is enlarged.
CRTPReorderQueue::CEntry* CRTPReorderQueue::TakeFromPool(LONG cb)
{
    CAutoLock lock(&m_csPool);
    CEntry** pp = &m_pPool;
    while (*pp && (*pp)->buf.Capacity() < cb)
        pp = &(*pp)->pNext;
    if (!*pp)
        pp = &m_pPool;
    CEntry* p = *pp;
    if (p) {
        *pp = p->pNext;
        p->pNext = nullptr;
        return p;
    }
    return new (std::nothrow) CEntry;
}

void CRTPReorderQueue::ReturnToPool(CEntry* p)
{
    CAutoLock lock(&m_csPool);
    p->pNext = m_pPool;
    m_pPool = p;
}

int CRTPReorderQueue::ReorderPacket(LONG nLastSeq, RTPPacketInfo* pInfo, BYTE** ppData,
                                    LONG* pcb, HRESULT* phr)
{
    CAutoLock lock(&m_csList);
    if (*pcb > 0) {
        CEntry* pEntry = TakeFromPool(*pcb);
        if (!pEntry) {
            *phr = E_OUTOFMEMORY;
            return REORDER_ERROR;
        }
        pEntry->buf.Empty();
        HRESULT hr = pEntry->buf.Append(*ppData, *pcb);
        if (FAILED(hr)) {
            ReturnToPool(pEntry);
            *phr = hr;
            return REORDER_ERROR;
        }
        pEntry->info = *pInfo;
        DWORD dwKey = Distance(nLastSeq, pInfo->dwSeq);
        CEntry** pp = &m_pHead;
        while (*pp && Distance(nLastSeq, (*pp)->info.dwSeq) <= dwKey)
            pp = &(*pp)->pNext;
        pEntry->pNext = *pp;
        *pp = pEntry;
        ++m_nHeld;
    }
    if (!m_pHead)
        return REORDER_EMPTY;
    CEntry* pFirst = m_pHead;
    bool bNext = nLastSeq >= 0 && pFirst->info.dwSeq == ((static_cast<DWORD>(nLastSeq) + 1) & 0xFFFF);
    if (!bNext && m_nHeld <= kCapacity)
        return REORDER_NOTHING_DUE;
    m_pHead = pFirst->pNext;
    --m_nHeld;
    *pInfo = pFirst->info;
    *ppData = pFirst->buf.Data();
    *pcb = pFirst->buf.Length();
    // The bytes stay where they are: the entry is only reused by a later
    // insertion, after the caller has finished with them.
    ReturnToPool(pFirst);
    return REORDER_RELEASED;
}

bool CRTPReorderQueue::Holds(DWORD dwSeq)
{
    CAutoLock lock(&m_csList);
    for (CEntry* p = m_pHead; p; p = p->pNext) {
        if (p->info.dwSeq == dwSeq)
            return true;
    }
    return false;
}

int CRTPReorderQueue::Count()
{
    CAutoLock lock(&m_csList);
    return m_nHeld;
}

int CRTPReorderQueue::Clear()
{
    CEntry* p;
    int nHeld;
    {
        CAutoLock lock(&m_csList);
        p = m_pHead;
        nHeld = m_nHeld;
        m_pHead = nullptr;
        m_nHeld = 0;
    }
    while (p) {
        CEntry* pNext = p->pNext;
        ReturnToPool(p);
        p = pNext;
    }
    return nHeld;
}
