// Cutting a transport stream (see tscut.h).
#include "tools/tscut.h"

#include <algorithm>
#include <cstring>

namespace tscut {

long long FindPacketStart(const uint8_t* pb, size_t cb)
{
    const size_t nNeed = static_cast<size_t>(kSyncRun - 1) * kPacketSize;
    for (size_t p = 0; p < kPacketSize && p + nNeed < cb; ++p) {
        bool bAll = true;
        for (size_t q = p, k = 0; q < cb && k < 2 * kSyncRun && bAll; q += kPacketSize, ++k)
            bAll = pb[q] == kSyncByte;
        if (bAll)
            return static_cast<long long>(p);
    }
    return -1;
}

bool CRandomAccessFinder::IsPsiPid(uint16_t wPid) const
{
    // PAT, CAT, and the DVB service information of 0x10..0x1F, with the
    // PMTs the PAT names.
    if (wPid <= 0x1F)
        return true;
    for (int i = 0; i < m_nPmtPids; ++i)
        if (m_awPmtPid[i] == wPid)
            return true;
    return false;
}

void CRandomAccessFinder::LearnPat(const uint8_t* p, size_t cb)
{
    // pointer_field, then program_association_section (2.4.4.3): table_id 0,
    // section_length, 5 more header bytes, 4 bytes per program, CRC_32.
    if (cb < 1)
        return;
    const size_t s = 1 + static_cast<size_t>(p[0]);
    if (s + 8 > cb || p[s] != 0x00)
        return;
    const size_t nSection = (static_cast<size_t>(p[s + 1] & 0x0F) << 8) | p[s + 2];
    const size_t nEnd = s + 3 + nSection;
    if (nSection < 9 || nEnd > cb)
        return;
    for (size_t q = s + 8; q + 4 <= nEnd - 4; q += 4) {
        const uint16_t wProgram = static_cast<uint16_t>((p[q] << 8) | p[q + 1]);
        const uint16_t wPid = static_cast<uint16_t>(((p[q + 2] & 0x1F) << 8) | p[q + 3]);
        if (wProgram == 0 || IsPsiPid(wPid))
            continue;  // the network PID, or known already
        if (m_nPmtPids < static_cast<int>(sizeof(m_awPmtPid) / sizeof(m_awPmtPid[0])))
            m_awPmtPid[m_nPmtPids++] = wPid;
    }
}

int CRandomAccessFinder::ScanPayload(SPes* pPes, const uint8_t* pb, size_t cb)
{
    size_t i = 0;
    // The PES header (9 bytes, then PES_header_data_length more) may run
    // into the next packet.
    while (!pPes->bPesHeaderDone && i < cb) {
        if (pPes->nHeaderSeen < 9) {
            pPes->abHeader[pPes->nHeaderSeen++] = pb[i++];
            if (pPes->nHeaderSeen == 9)
                pPes->nHeaderLeft = pPes->abHeader[8];
        } else if (pPes->nHeaderLeft > 0) {
            --pPes->nHeaderLeft;
            ++i;
        }
        if (pPes->nHeaderSeen == 9 && pPes->nHeaderLeft == 0)
            pPes->bPesHeaderDone = true;
    }
    for (; i < cb; ++i) {
        // A start code prefix 00 00 01, then the NAL unit header: the first
        // slice decides (emulation prevention keeps the prefix out of NAL
        // payloads).
        if (pPes->nHave >= 3 && (pPes->dwWindow & 0xFFFFFF) == 0x000001) {
            const int nType = pb[i] & 0x1F;
            if (nType == 5)
                return 5;
            if (nType == 1)
                return 1;
        }
        pPes->dwWindow = (pPes->dwWindow << 8) | pb[i];
        if (pPes->nHave < 3)
            ++pPes->nHave;
    }
    return 0;
}

bool CRandomAccessFinder::Feed(const uint8_t* pkt, long long llOffset, long long* pllCut)
{
    if (pkt[0] != kSyncByte) {
        m_bLastWasPsi = false;
        return false;
    }
    const uint16_t wPid = static_cast<uint16_t>(((pkt[1] & 0x1F) << 8) | pkt[2]);
    const bool bPusi = (pkt[1] & 0x40) != 0;
    const int nAfc = (pkt[3] >> 4) & 3;
    size_t nPayload = 4;
    bool bRai = false;
    if (nAfc & 2) {
        const size_t nAfLength = pkt[4];
        if (nAfLength > kPacketSize - 5)
            return false;  // malformed: nothing of it is trusted
        bRai = nAfLength > 0 && (pkt[5] & 0x40) != 0;
        nPayload = 5 + nAfLength;
    }
    const bool bPayload = (nAfc & 1) && nPayload < kPacketSize;
    // A random-access point here takes the PSI packets right before it.
    const long long llCutHere = m_bLastWasPsi ? m_llPsiRunStart : llOffset;
    if (IsPsiPid(wPid)) {
        if (wPid == 0 && bPusi && bPayload)
            LearnPat(pkt + nPayload, kPacketSize - nPayload);
        if (!m_bLastWasPsi)
            m_llPsiRunStart = llOffset;
        m_bLastWasPsi = true;
        return false;
    }
    m_bLastWasPsi = false;
    if (wPid == 0x1FFF)
        return false;  // null packets
    if (bRai) {
        *pllCut = llCutHere;
        return true;
    }
    if (!bPayload)
        return false;

    SPes* pPes = nullptr;
    for (SPes& pes : m_aPes)
        if (pes.bActive && pes.wPid == wPid)
            pPes = &pes;
    const uint8_t* p = pkt + nPayload;
    const size_t n = kPacketSize - nPayload;
    if (bPusi) {
        const bool bVideo = n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && (p[3] & 0xF0) == 0xE0;
        if (!bVideo) {
            if (pPes)
                pPes->bActive = false;
            return false;
        }
        if (!pPes) {
            for (SPes& pes : m_aPes)
                if (!pes.bActive && !pPes)
                    pPes = &pes;
            if (!pPes)
                pPes = &m_aPes[0];  // more video PIDs than slots: the first gives way
        }
        *pPes = SPes{};
        pPes->wPid = wPid;
        pPes->bActive = true;
        pPes->llCut = llCutHere;
    } else if (!pPes) {
        return false;
    }
    const int nFound = ScanPayload(pPes, p, n);
    if (nFound == 5) {
        *pllCut = pPes->llCut;
        return true;
    }
    if (nFound == 1)
        pPes->bActive = false;
    return false;
}

bool CPacketGate::Feed(long long llPos, const uint8_t* pb, size_t cb)
{
    if (cb == 0)
        return true;
    if (m_nPhase < 0) {
        // Until a block shows the grid, bytes pass as they are; what comes
        // before the grid in that block is the stream's own start.
        const long long llStart = FindPacketStart(pb, cb);
        if (llStart < 0) {
            m_llNext = llPos + static_cast<long long>(cb);
            return m_sink(pb, cb);
        }
        m_nPhase = static_cast<int>((llPos + llStart) % static_cast<long long>(kPacketSize));
        if (llStart > 0 && !m_sink(pb, static_cast<size_t>(llStart)))
            return false;
        llPos += llStart;
        pb += llStart;
        cb -= static_cast<size_t>(llStart);
        m_llNext = llPos;
    }
    if (llPos < m_llNext) {
        // Bytes given before go out once only.
        const long long llOverlap = m_llNext - llPos;
        if (static_cast<size_t>(llOverlap) >= cb)
            return true;
        llPos += llOverlap;
        pb += llOverlap;
        cb -= static_cast<size_t>(llOverlap);
    }
    if (llPos != m_llNext) {
        // Whatever comes before the next packet boundary is the tail of a
        // packet whose head is gone, and the head held is that of a packet
        // whose tail is gone.
        m_llDropped += static_cast<long long>(m_cbCarry);
        m_cbCarry = 0;
        // The grid is looked for again: a stream that restarted (a TCP
        // sender that reconnected mid-packet) may have moved it.
        long long llSkip = FindPacketStart(pb, cb);
        if (llSkip >= 0) {
            m_nPhase = static_cast<int>((llPos + llSkip) % static_cast<long long>(kPacketSize));
        } else {
            llSkip = (m_nPhase - llPos) % static_cast<long long>(kPacketSize);
            if (llSkip < 0)
                llSkip += kPacketSize;
        }
        if (static_cast<size_t>(llSkip) >= cb) {
            m_llDropped += static_cast<long long>(cb);
            return true;  // still out of step: m_llNext stays behind
        }
        m_llDropped += llSkip;
        llPos += llSkip;
        pb += llSkip;
        cb -= static_cast<size_t>(llSkip);
    }
    m_llNext = llPos + static_cast<long long>(cb);
    if (m_cbCarry > 0) {
        const size_t cbTake = std::min(cb, kPacketSize - m_cbCarry);
        memcpy(m_abCarry + m_cbCarry, pb, cbTake);
        m_cbCarry += cbTake;
        pb += cbTake;
        cb -= cbTake;
        if (m_cbCarry < kPacketSize)
            return true;
        m_cbCarry = 0;
        if (!m_sink(m_abCarry, kPacketSize))
            return false;
    }
    const size_t cbWhole = cb - cb % kPacketSize;
    if (cbWhole > 0 && !m_sink(pb, cbWhole))
        return false;
    m_cbCarry = cb - cbWhole;
    memcpy(m_abCarry, pb + cbWhole, m_cbCarry);
    return true;
}

bool CPacketGate::Finish()
{
    const size_t cb = m_cbCarry;
    m_cbCarry = 0;
    return cb == 0 || m_sink(m_abCarry, cb);
}

}  // namespace tscut
