// JPEG de-packetising (RFC 2435): the stream carries only the scan data and
// a few header fields; the JPEG headers are rebuilt in front of the first
// fragment of every image.
#include "dshowflt/common/rtp/rtpjpegtables.h"
#include "dshowflt/common/rtp/rtpparser.h"

#include "dshowflt/common/trace/trace.h"

const BYTE g_abJpegLumaQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
};

const BYTE g_abJpegChromaQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
};

const BYTE g_abJpegLumaDCBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const BYTE g_abJpegLumaDCValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const BYTE g_abJpegChromaDCBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const BYTE g_abJpegChromaDCValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

const BYTE g_abJpegLumaACBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const BYTE g_abJpegLumaACValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

const BYTE g_abJpegChromaACBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const BYTE g_abJpegChromaACValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

namespace {

inline DWORD ReadBE16(const BYTE* p)
{
    return (DWORD(p[0]) << 8) | DWORD(p[1]);
}

}  // namespace

BYTE JpegScaledQuant(BYTE bBase, int nQ)
{
    int nQc = nQ < 1 ? 1 : (nQ > 99 ? 99 : nQ);
    int nScale = nQ < 50 ? 5000 / nQc : 200 - 2 * nQc;
    int n = (bBase * nScale + 50) / 100;
    return static_cast<BYTE>(n < 1 ? 1 : (n > 255 ? 255 : n));
}

// pTables: the in-band tables for Q >= 128 (two tables of 64 entries of
// 1 + (bPrecision & 1) bytes), else null.
HRESULT CRTPParser::AppendJPEGHeaders(BYTE bType, BYTE bQ, const BYTE* pTables, BYTE bPrecision)
{
    BYTE ab[1024];
    LONG n = 0;
    auto put = [&](BYTE b) { ab[n++] = b; };
    auto put16 = [&](DWORD w) {
        put(static_cast<BYTE>(w >> 8));
        put(static_cast<BYTE>(w));
    };
    put(0xFF);
    put(0xD8);  // SOI
    if (!pTables) {
        for (int t = 0; t < 2; ++t) {
            const BYTE* pBase = t == 0 ? g_abJpegLumaQuant : g_abJpegChromaQuant;
            put(0xFF);
            put(0xDB);
            put16(0x43);
            put(static_cast<BYTE>(t));
            for (int i = 0; i < 64; ++i)
                put(JpegScaledQuant(pBase[i], bQ));
        }
    } else {
        const int cbEntry = 1 + (bPrecision & 1);
        const BYTE bPq = static_cast<BYTE>((bPrecision & 1) * 16);
        put(0xFF);
        put(0xDB);
        put16(2 + 2 * (1 + 64 * cbEntry));
        put(bPq);
        for (int i = 0; i < 64 * cbEntry; ++i)
            put(pTables[i]);
        put(bPq + 1);
        for (int i = 0; i < 64 * cbEntry; ++i)
            put(pTables[64 * cbEntry + i]);
    }
    struct
    {
        BYTE bClassId;
        const BYTE* pBits;
        const BYTE* pValues;
        int cValues;
    } const aHuff[4] = {
        {0x00, g_abJpegLumaDCBits, g_abJpegLumaDCValues, 12},
        {0x10, g_abJpegLumaACBits, g_abJpegLumaACValues, 162},
        {0x01, g_abJpegChromaDCBits, g_abJpegChromaDCValues, 12},
        {0x11, g_abJpegChromaACBits, g_abJpegChromaACValues, 162},
    };
    for (const auto& h : aHuff) {
        put(0xFF);
        put(0xC4);
        put16(static_cast<DWORD>(3 + 16 + h.cValues));
        put(h.bClassId);
        for (int i = 0; i < 16; ++i)
            put(h.pBits[i]);
        for (int i = 0; i < h.cValues; ++i)
            put(h.pValues[i]);
    }
    // SOF0: baseline, 8-bit, three components; type 0 is 4:2:2 (2x1
    // luminance sampling), type 1 is 4:2:0 (2x2) (RFC 2435, 4.1).
    put(0xFF);
    put(0xC0);
    put16(17);
    put(8);
    put16(static_cast<DWORD>(m_nHeight));
    put16(static_cast<DWORD>(m_nWidth));
    put(3);
    put(0);
    put((bType & 1) ? 0x22 : 0x21);
    put(0);
    put(1);
    put(0x11);
    put(1);
    put(2);
    put(0x11);
    put(1);
    // SOS
    static const BYTE abSOS[14] = {0xFF, 0xDA, 0x00, 0x0C, 3, 0, 0x00, 1, 0x11, 2, 0x11, 0x00, 0x3F, 0x00};
    for (BYTE b : abSOS)
        put(b);
    Empty();
    return Append(ab, n);
}

//  RFC 2435, 3.1: main JPEG header
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// | Type-specific |              Fragment Offset                  |
// |      Type     |       Q       |     Width     |     Height    |
int CRTPParser::ParseJPEGHeader(BYTE** ppData, LONG* pcb)
{
    const BYTE* p = *ppData;
    LONG cb = *pcb;
    *pcb = 0;
    if (cb < 9)
        return RTPPACKET_BAD;
    const LONG nOffset = static_cast<LONG>((DWORD(p[1]) << 16) | (DWORD(p[2]) << 8) | p[3]);
    const BYTE bType = p[4];
    const BYTE bQ = p[5];
    if ((bType & 0xBF) > 1 || p[6] == 0 || p[7] == 0 || p[0] != 0)
        return RTPPACKET_BAD;
    m_nWidth = p[6] * 8;
    m_nHeight = p[7] * 8;
    p += 8;
    cb -= 8;
    if (bType & 0x40) {
        // Restart marker header (3.1.7): restart interval, F, L, count.
        if (cb <= 4)
            return RTPPACKET_BAD;
        p += 4;
        cb -= 4;
    }

    if (nOffset == 0) {
        m_bWaitForStart = false;
        const BYTE* pTables = nullptr;
        BYTE bPrecision = 0;
        if (bQ >= 128) {
            // Quantization table header (3.1.8): MBZ, precision, length.
            if (cb <= 4)
                return RTPPACKET_BAD;
            bPrecision = p[1];
            const LONG cbTables = static_cast<LONG>(ReadBE16(p + 2));
            const LONG cbNeeded = 128 * (1 + (bPrecision & 1));
            if (cbTables < cbNeeded || cbTables > cb - 4) {
                Trace("\nCRTPParser::ParseJPEGHeader: quantization tables of %d bytes, %d present", cbTables,
                      cb - 4);
                return RTPPACKET_BAD;
            }
            pTables = p + 4;
            p += 4 + cbNeeded;
            cb -= 4 + cbNeeded;
        }
        if (FAILED(AppendJPEGHeaders(bType, bQ, pTables, bPrecision))) {
            m_nExpectedJPEGOffset = 0;
            return RTPPACKET_BAD;
        }
        m_nExpectedJPEGOffset = 0;
        m_llSampleTime = static_cast<LONGLONG>(m_info.curRTPTime);
    } else if (m_bWaitForStart) {
        Trace("\nCRTPParser::ParseJPEGHeader: wait until next start sample. Discard %d bytes", cb);
        return RTPPACKET_DISCARD;
    }

    // A fragment of another image (its time stamp differs) must not be
    // spliced onto this one, even when its offset happens to fit.
    if (nOffset != m_nExpectedJPEGOffset || m_llSampleTime != static_cast<LONGLONG>(m_info.curRTPTime)) {
        Trace("\nCRTPParser::ParseJPEGHeader expected JPEG fragment offset %d and received %d. Discard "
              "corrupted packet!",
              m_nExpectedJPEGOffset, nOffset);
        m_nExpectedJPEGOffset = 0;
        m_llSampleTime = MIN_INT64;
        Empty();
        return RTPPACKET_DISCARD;
    }
    if (cb > kMaxUnitBytes - Length()) {
        Trace("\nCRTPParser::ParseJPEGHeader: image exceeds %d bytes, dropped", kMaxUnitBytes);
        m_nExpectedJPEGOffset = 0;
        m_llSampleTime = MIN_INT64;
        m_bDiscontinuityPending = true;
        Empty();
        return RTPPACKET_DISCARD;
    }
    if (FAILED(AppendTo(this, p, cb))) {
        m_nExpectedJPEGOffset = 0;
        m_llSampleTime = MIN_INT64;
        Empty();
        return RTPPACKET_BAD;
    }
    m_nExpectedJPEGOffset = nOffset + cb;
    if (m_info.dwFlags & RTPUNIT_MARKER) {
        if (m_bDiscontinuityPending) {
            m_info.dwFlags |= RTPUNIT_DISCONTINUITY;
            m_bDiscontinuityPending = false;
        }
        *ppData = Data();
        *pcb = Length();
        m_llSampleTime = MIN_INT64;
    }
    return RTPPACKET_GOOD;
}
