// Raw video de-packetising (RFC 4175), 8-bit YCbCr 4:2:2 only. The frame
// buffer holds the whole picture in UYVY layout, which is also the RFC's
// pgroup order (Cb Y0 Cr Y1), so segments are copied as they come.
#include "dshowflt/common/rtp/rtpparser.h"

#include <cstring>

#include "dshowflt/common/trace/trace.h"

namespace {

inline DWORD ReadBE16(const BYTE* p)
{
    return (DWORD(p[0]) << 8) | DWORD(p[1]);
}

constexpr LONG kLineHeader = 6;

}  // namespace

HRESULT CRTPParser::SetRawFormat(DWORD dwFourCC, LONG nWidth, LONG nHeight, LONG nDepth)
{
    if (dwFourCC != FOURCC_UYVY || nWidth <= 0 || (nWidth & 1) || nHeight <= 0 || nDepth != 8)
        return E_INVALIDARG;
    // The frame is one CBuffer, whose sizes are 32-bit.
    const LONGLONG llFrame = 2LL * nWidth * nHeight;
    if (llFrame > INT32_MAX)
        return E_INVALIDARG;
    HRESULT hr = Reserve(static_cast<LONG>(llFrame));
    if (FAILED(hr))
        return hr;
    m_dwRawFourCC = dwFourCC;
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    m_nRawStride = 2 * nWidth;
    m_nRawDepth = nDepth;
    m_nRawBytesPerPixel = 2;
    m_cbRawFrame = static_cast<LONG>(llFrame);
    // Black in UYVY: Cb = Cr = 0x80, Y = 0x10.
    BYTE* p = Data();
    for (LONG i = 0; i + 3 < m_cbRawFrame; i += 4) {
        p[i] = 0x80;
        p[i + 1] = 0x10;
        p[i + 2] = 0x80;
        p[i + 3] = 0x10;
    }
    return S_OK;
}

int CRTPParser::ParseRawHeader(BYTE** ppData, LONG* pcb)
{
    if (*pcb < 9 || m_cbRawFrame == 0 || Capacity() < m_cbRawFrame) {
        *pcb = 0;
        return RTPPACKET_BAD;
    }
    if (m_pending.Length() > 0) {
        // A packet stashed by an earlier flush opens this frame. Its own
        // marker bit decides whether it also ends it: judging it by the
        // arriving packet's marker would close every frame one packet early
        // for as long as the stream runs, once a single marker was lost.
        CBuffer stashed;
        if (FAILED(stashed.Append(m_pending.Data(), m_pending.Length()))) {
            m_pending.Empty();
            *pcb = 0;
            return RTPPACKET_BAD;
        }
        m_pending.Empty();
        const LONGLONG llStashedTime = m_llSampleTime;
        const DWORD dwFlags = m_info.dwFlags;
        m_info.dwFlags = (dwFlags & ~RTPUNIT_MARKER) | (m_dwPendingFlags & RTPUNIT_MARKER);
        BYTE* pLine = stashed.Data();
        LONG cbLine = stashed.Length();
        (void)ProcessRawLine(&pLine, &cbLine);
        m_info.dwFlags = dwFlags;
        if (cbLine > 0) {
            Trace("\nCRTPParser::ParseRawHeader: Warning: I have a buffered line that is also the last line of "
                  "its sample (%d)?",
                  cbLine);
            // The frame is the stashed packet's: it goes out with its time.
            m_llSampleTime = llStashedTime;
            int nRet = FlushSample(ppData, pcb, m_cbRawFrame);
            m_info.dwFlags |= RTPUNIT_MARKER;
            return nRet;
        }
    }
    if (SameSample()) {
        m_llSampleTime = static_cast<LONGLONG>(m_info.curRTPTime);
        return ProcessRawLine(ppData, pcb);
    }
    Trace("\nCRTPParser::ParseRawHeader: %d - incomplete sample detected(%d)", static_cast<int>(m_info.dwSeq),
          *pcb);
    return FlushSample(ppData, pcb, m_cbRawFrame);
}

//  RFC 4175, 4.3: payload header
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |   Extended Sequence Number    |            Length             |
// |F|          Line No            |C|           Offset            |
// |            Length             |F|          Line No            |
// |C|           Offset            |                               .
int CRTPParser::ProcessRawLine(BYTE** ppData, LONG* pcb)
{
    const BYTE* p = *ppData;
    const LONG cb = *pcb;
    *pcb = 0;
    if (cb < 2 + kLineHeader || m_cbRawFrame == 0 || Capacity() < m_cbRawFrame)
        return RTPPACKET_BAD;

    // Find the headers and check that their segments fit in the payload.
    LONG nHeaders = 0;
    LONGLONG llTotal = 0;
    LONG pos = 2;
    while (pos + kLineHeader <= cb) {
        const LONG cbSeg = static_cast<LONG>(ReadBE16(p + pos));
        const bool bContinue = (p[pos + 4] & 0x80) != 0;
        llTotal += cbSeg;
        if (pos + kLineHeader + llTotal > cb) {
            Trace("\nCRTPParser::ProcessRawLine: Invalid line data - total data length = %lld > %d",
                  static_cast<long long>(pos + kLineHeader + llTotal), cb);
            // The dropped header still sits in front of the pixel data.
            pos += kLineHeader;
            break;
        }
        ++nHeaders;
        pos += kLineHeader;
        if (!bContinue)
            break;
    }
    const BYTE* pPixels = p + pos;
    const BYTE* pEnd = p + cb;
    BYTE* pFrame = Data();
    for (LONG i = 0; i < nHeaders; ++i) {
        const BYTE* h = p + 2 + i * kLineHeader;
        const LONG cbSeg = static_cast<LONG>(ReadBE16(h));
        const LONG nLine = static_cast<LONG>(ReadBE16(h + 2) & 0x7FFF);
        const LONG nOffset = static_cast<LONG>(ReadBE16(h + 4) & 0x7FFF);
        if (nLine >= m_cbRawFrame / m_nRawStride)
            break;  // Line >= height: nothing more of this packet is ours
        if (cbSeg > pEnd - pPixels)
            break;
        // Rows lie back to back, so a segment longer than the rest of its
        // row continues at the start of the next: one clipped copy.
        const LONGLONG llDst = static_cast<LONGLONG>(nLine) * m_nRawStride + 2LL * nOffset;
        if (2LL * nOffset < m_nRawStride && llDst < m_cbRawFrame) {
            LONGLONG llCopy = cbSeg;
            if (llCopy > m_cbRawFrame - llDst)
                llCopy = m_cbRawFrame - llDst;
            memcpy(pFrame + llDst, pPixels, static_cast<size_t>(llCopy));
        }
        pPixels += cbSeg;
    }
    if (m_info.dwFlags & RTPUNIT_MARKER) {
        *ppData = pFrame;
        *pcb = m_cbRawFrame;
        m_llSampleTime = MIN_INT64;
    }
    return RTPPACKET_GOOD;
}
