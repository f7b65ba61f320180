// H.264 de-packetising (RFC 6184) and the access-unit assembly that H.264
// and MPEG-4 video share: a unit ends with the marker bit, or, from senders
// that leave the marker out, with the first packet of a later time stamp.
#include "dshowflt/common/rtp/rtpparser.h"

#include "dshowflt/common/trace/trace.h"

namespace {

inline DWORD ReadBE16(const BYTE* p)
{
    return (DWORD(p[0]) << 8) | DWORD(p[1]);
}

const BYTE kStartCode[3] = {0, 0, 1};

}  // namespace

bool CRTPParser::SameSample() const
{
    return m_llSampleTime == MIN_INT64 || m_llSampleTime == static_cast<LONGLONG>(m_info.curRTPTime);
}

// The rest of a unit that was dropped for its size is dropped with it,
// rather than handed on as a unit of its own.
bool CRTPParser::DroppedUnit()
{
    if (m_llDroppedTime == MIN_INT64)
        return false;
    if (m_llDroppedTime == static_cast<LONGLONG>(m_info.curRTPTime))
        return true;
    m_llDroppedTime = MIN_INT64;
    return false;
}

// CBuffer grows to exactly what is asked; a unit assembled from many
// fragments would then be copied once per fragment. Doubling keeps the
// growth linear, and the capacity is kept for the units that follow.
HRESULT CRTPParser::AppendTo(CBuffer* pBuf, const void* pv, LONG cb)
{
    const LONG cbNeeded = pBuf->Length() + cb;  // callers keep units under kMaxUnitBytes
    if (cbNeeded > pBuf->Capacity()) {
        LONGLONG llGrow = 2LL * pBuf->Capacity();
        if (llGrow > kMaxUnitBytes + 65536LL)
            llGrow = kMaxUnitBytes + 65536LL;
        if (llGrow < cbNeeded)
            llGrow = cbNeeded;
        HRESULT hr = pBuf->Reserve(static_cast<LONG>(llGrow));
        if (FAILED(hr))
            return hr;
    }
    return pBuf->Append(pv, cb);
}

// The start of the next unit, kept back by FlushSample, becomes the frame
// buffer's content.
HRESULT CRTPParser::TakePending()
{
    if (m_pending.Length() == 0)
        return S_OK;
    Empty();
    HRESULT hr = AppendTo(this, m_pending.Data(), m_pending.Length());
    m_pending.Empty();
    return hr;
}

int CRTPParser::FlushSample(BYTE** ppData, LONG* pcb, LONG cbFrameOverride)
{
    // The emitted unit carries the time of the data it holds, not the time
    // of the packet that ended it.
    ULONGLONG ullArrived = m_info.curRTPTime;
    if (m_llSampleTime != MIN_INT64) {
        m_info.curRTPTime = static_cast<ULONGLONG>(m_llSampleTime);
        m_info.rtUnitTime = static_cast<LONGLONG>(TicksToUnitTime(m_info.curRTPTime));
    }
    m_pending.Empty();
    m_dwPendingFlags = m_info.dwFlags;
    if (FAILED(AppendTo(&m_pending, *ppData, *pcb))) {
        TRACE_HR(E_OUTOFMEMORY);
        m_bDiscontinuityPending = true;
    }
    m_llSampleTime = static_cast<LONGLONG>(ullArrived);
    *ppData = Data();
    *pcb = cbFrameOverride != 0 ? cbFrameOverride : Length();
    // Length 0 but the bytes stay: the caller reads them before the next
    // packet is processed, and only that packet writes here again.
    Empty();
    return RTPPACKET_GOOD;
}

// Error path: whatever was being built is unusable; the next unit says so,
// and continuation fragments wait for a unit to begin, so that no unit ever
// holds fragment bytes without their start code and NAL header.
void CRTPParser::H264Drop()
{
    m_llSampleTime = MIN_INT64;
    m_bDiscontinuityPending = true;
    m_bWaitForStart = true;
    m_bFragmentOpen = false;
    m_pending.Empty();
    m_work.Empty();
}

HRESULT CRTPParser::AppendNal(const BYTE* pNal, LONG cbNal)
{
    if (cbNal > kMaxUnitBytes - 3 - m_work.Length())
        return E_OUTOFMEMORY;
    HRESULT hr = AppendTo(&m_work, kStartCode, 3);
    if (SUCCEEDED(hr))
        hr = AppendTo(&m_work, pNal, cbNal);
    return hr;
}

// The first slice or parameter set decides: an IDR slice (5) or an SPS (7)
// makes a key frame, a non-IDR slice or its partitions (1-4) do not.
bool CRTPParser::IsKeyFrame(const BYTE* p, LONG cb)
{
    for (LONG i = 0; i + 3 < cb; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1)
            continue;
        int nType = p[i + 3] & 0x1F;
        if (nType == 5 || nType == 7)
            return true;
        if (nType >= 1 && nType <= 4)
            return false;
        i += 2;
    }
    return false;
}

int CRTPParser::ParseH264Header(BYTE** ppData, LONG* pcb)
{
    const BYTE* p = *ppData;
    const LONG cb = *pcb;
    *pcb = 0;

    if (m_info.dwFlags & RTPUNIT_DISCONTINUITY)
        H264Drop();  // a packet is missing: what was open has a hole

    if (cb < 2 || (p[0] & 0x80)) {
        H264Drop();
        return RTPPACKET_BAD;
    }
    int nType = p[0] & 0x1F;
    Trace("\nCRTPParser::ParseH264Header: NAL unit = %d", nType);

    HRESULT hr = S_OK;
    LONG off = 0;
    switch (nType) {
    case 24:  // STAP-A (RFC 6184, 5.7.1)
    case 25:  // STAP-B
        if (nType == 25) {
            if (cb < 8) {
                H264Drop();
                return RTPPACKET_BAD;
            }
            m_llDecodingOrder = ReadBE16(p + 1);
            Trace("\nCRTPParser::ParseH264Header: STAP-B! DON = %d", static_cast<int>(m_llDecodingOrder));
            off = 3;
        } else {
            off = 1;
        }
        m_bWaitForStart = false;
        m_bFragmentOpen = false;
        m_work.Empty();
        while (cb - off > 2) {
            LONG cbNal = static_cast<LONG>(ReadBE16(p + off));
            off += 2;
            if (cbNal > cb - off) {
                H264Drop();
                return RTPPACKET_BAD;
            }
            // A zero-length entry would leave a bare start code behind.
            if (cbNal > 0)
                hr = AppendNal(p + off, cbNal);
            if (FAILED(hr)) {
                H264Drop();
                return RTPPACKET_BAD;
            }
            off += cbNal;
        }
        break;
    case 26:  // MTAP16 (RFC 6184, 5.7.2)
    case 27: {  // MTAP24
        const LONG cbEntryHeader = nType == 26 ? 5 : 6;
        if (cb < (nType == 26 ? 10 : 11)) {
            H264Drop();
            return RTPPACKET_BAD;
        }
        m_llDecodingOrder = ReadBE16(p + 1);
        Trace(nType == 26 ? "\nCRTPParser::ParseH264Header: MTAP16! DON = %d"
                          : "\nCRTPParser::ParseH264Header: MTAP24! DON = %d",
              static_cast<int>(m_llDecodingOrder));
        off = 3;
        m_bWaitForStart = false;
        m_bFragmentOpen = false;
        m_work.Empty();
        // Entry: NAL unit size (16), DOND (8), TS offset (16 or 24), NAL unit.
        while (cb - off > cbEntryHeader) {
            LONG cbNal = static_cast<LONG>(ReadBE16(p + off));
            off += cbEntryHeader;
            if (cbNal > cb - off) {
                H264Drop();
                return RTPPACKET_BAD;
            }
            if (cbNal > 0)
                hr = AppendNal(p + off, cbNal);
            if (FAILED(hr)) {
                H264Drop();
                return RTPPACKET_BAD;
            }
            off += cbNal;
        }
        break;
    }
    case 28:  // FU-A (RFC 6184, 5.8)
    case 29: {  // FU-B
        if (nType == 29) {
            if (cb < 6) {
                H264Drop();
                return RTPPACKET_BAD;
            }
            m_llDecodingOrder = ReadBE16(p + 2);
            off = 4;
        } else {
            off = 2;
        }
        const BYTE bFU = p[1];
        const BYTE* pFrag = p + off;
        const LONG cbFrag = cb - off;
        if (bFU & 0x80) {
            m_work.Empty();
            const BYTE abHeader[4] = {0, 0, 1, static_cast<BYTE>((p[0] & 0x60) | (bFU & 0x1F))};
            hr = AppendTo(&m_work, abHeader, 4);
            if (SUCCEEDED(hr))
                hr = AppendTo(&m_work, pFrag, cbFrag);
            if (FAILED(hr)) {
                H264Drop();
                return RTPPACKET_BAD;
            }
            m_bWaitForStart = false;
            m_bFragmentOpen = true;
        } else if (m_bWaitForStart || !m_bFragmentOpen) {
            // No start fragment for this NAL unit has been kept: its bytes
            // cannot be given a start code and header.
            Trace("\nCRTPParser::ParseH264Header: wait until next start sample. Discard %d bytes", cb);
            return RTPPACKET_DISCARD;
        } else {
            if (cbFrag > kMaxUnitBytes - m_work.Length()) {
                Trace("\nCRTPParser::ParseH264Header: fragmented NAL unit exceeds %d bytes, dropped",
                      kMaxUnitBytes);
                H264Drop();
                return RTPPACKET_BAD;
            }
            if (FAILED(AppendTo(&m_work, pFrag, cbFrag))) {
                H264Drop();
                return RTPPACKET_BAD;
            }
        }
        if (!(bFU & 0x40))
            return RTPPACKET_GOOD;  // the NAL unit stays open in m_work
        m_bFragmentOpen = false;
        break;
    }
    case 0:
    case 30:
    case 31:
        Trace("\nCRTPParser::ParseH264Header: Error: Unsupported NAL unit = %d", nType);
        H264Drop();
        return RTPPACKET_BAD;
    default:  // 1-23: a single NAL unit
        m_bWaitForStart = false;
        m_bFragmentOpen = false;
        m_work.Empty();
        if (FAILED(AppendNal(p, cb))) {
            H264Drop();
            return RTPPACKET_BAD;
        }
        break;
    }
    return H264Assemble(ppData, pcb);
}

int CRTPParser::H264Assemble(BYTE** ppData, LONG* pcb)
{
    if (DroppedUnit())
        return RTPPACKET_DISCARD;
    if (SameSample()) {
        if (FAILED(TakePending())) {
            H264Drop();
            return RTPPACKET_BAD;
        }
        if (m_work.Length() > kMaxUnitBytes - Length()) {
            Trace("\nCRTPParser::ParseH264Header: access unit exceeds %d bytes, dropped", kMaxUnitBytes);
            Empty();
            H264Drop();
            m_llDroppedTime = static_cast<LONGLONG>(m_info.curRTPTime);
            return RTPPACKET_BAD;
        }
        if (FAILED(AppendTo(this, m_work.Data(), m_work.Length()))) {
            H264Drop();
            return RTPPACKET_BAD;
        }
        if (!(m_info.dwFlags & RTPUNIT_MARKER)) {
            m_llSampleTime = static_cast<LONGLONG>(m_info.curRTPTime);
            return RTPPACKET_GOOD;
        }
        if (m_bDiscontinuityPending) {
            m_info.dwFlags |= RTPUNIT_DISCONTINUITY;
            m_bDiscontinuityPending = false;
        }
        if (!IsKeyFrame(Data(), Length()))
            m_info.dwFlags &= ~RTPUNIT_SYNCPOINT;
        *ppData = Data();
        *pcb = Length();
        Empty();
        m_llSampleTime = MIN_INT64;
        return RTPPACKET_GOOD;
    }

    // A later time stamp before the marker: the open unit is complete.
    if (FAILED(TakePending())) {
        H264Drop();
        return RTPPACKET_BAD;
    }
    if (m_bDiscontinuityPending) {
        m_info.dwFlags |= RTPUNIT_DISCONTINUITY;
        m_bDiscontinuityPending = false;
    }
    if (!IsKeyFrame(Data(), Length()))
        m_info.dwFlags &= ~RTPUNIT_SYNCPOINT;
    *ppData = m_work.Data();
    *pcb = m_work.Length();
    return FlushSample(ppData, pcb, 0);
}

// MPEG-4 video and other formats framed only by time stamp and marker bit.
int CRTPParser::ParseFrameByTime(BYTE** ppData, LONG* pcb)
{
    if (DroppedUnit()) {
        *pcb = 0;
        return RTPPACKET_DISCARD;
    }
    if (SameSample()) {
        if (FAILED(TakePending())) {
            *pcb = 0;
            return RTPPACKET_BAD;
        }
        if (*pcb > kMaxUnitBytes - Length()) {
            Trace("\nCRTPParser::ParseHeader: frame exceeds %d bytes, dropped", kMaxUnitBytes);
            Empty();
            m_llDroppedTime = static_cast<LONGLONG>(m_info.curRTPTime);
            m_llSampleTime = MIN_INT64;
            m_bDiscontinuityPending = true;
            *pcb = 0;
            return RTPPACKET_BAD;
        }
        if (m_bDiscontinuityPending && (m_info.dwFlags & RTPUNIT_MARKER)) {
            m_info.dwFlags |= RTPUNIT_DISCONTINUITY;
            m_bDiscontinuityPending = false;
        }
        if (m_info.dwFlags & RTPUNIT_MARKER) {
            // A one-packet frame goes out as it stands, without a copy.
            if (Length() > 0) {
                if (FAILED(AppendTo(this, *ppData, *pcb))) {
                    Empty();
                    m_llSampleTime = MIN_INT64;
                    *pcb = 0;
                    return RTPPACKET_BAD;
                }
                *ppData = Data();
                *pcb = Length();
            }
            Empty();
            m_llSampleTime = MIN_INT64;
            return RTPPACKET_GOOD;
        }
        m_llSampleTime = static_cast<LONGLONG>(m_info.curRTPTime);
        HRESULT hr = AppendTo(this, *ppData, *pcb);
        *pcb = 0;
        return FAILED(hr) ? RTPPACKET_BAD : RTPPACKET_GOOD;
    }
    if (FAILED(TakePending())) {
        *pcb = 0;
        return RTPPACKET_BAD;
    }
    if (m_bDiscontinuityPending) {
        m_info.dwFlags |= RTPUNIT_DISCONTINUITY;
        m_bDiscontinuityPending = false;
    }
    return FlushSample(ppData, pcb, 0);
}
