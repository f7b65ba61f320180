#include "dshowflt/common/rtp/zrencoder.h"

#include <cstdint>

#include "dshowflt/common/trace/trace.h"

namespace {

// Base64 character classes: 0..63 a sextet, kSkip white space that senders
// put into long SDP lines, kPad "=", kBad anything else.
constexpr BYTE kSkip = 0xFD;
constexpr BYTE kPad = 0xFE;
constexpr BYTE kBad = 0xFF;

struct CBase64Table
{
    BYTE a[256];
    constexpr CBase64Table() : a()
    {
        for (int i = 0; i < 256; ++i)
            a[i] = kBad;
        const char* pszAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            a[static_cast<BYTE>(pszAlphabet[i])] = static_cast<BYTE>(i);
        for (char c : {'\t', '\n', '\f', '\r', ' '})
            a[static_cast<BYTE>(c)] = kSkip;
        a[static_cast<BYTE>('=')] = kPad;
    }
};
constexpr CBase64Table kBase64;

int HexValue(BYTE c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

void CZREncBase::Reset()
{
    m_nState = 0;
    m_nInPos = 0;
    m_nOutPos = 0;
    m_bCarry = 0;
}

LONG CZREncBase::Decode(const BYTE* pIn, LONG cbIn, BYTE* pOut, LONG cbOut)
{
    if (cbIn <= 0 || !pIn)
        return 0;
    if (pOut) {
        return cbOut > 0 ? DecodeInto(pIn, cbIn, pOut, cbOut) : 0;
    }
    if (Length() > INT32_MAX - kDecodeReserve)
        return 0;
    if (FAILED(Reserve(Length() + kDecodeReserve)))
        return 0;
    const LONG cb = DecodeInto(pIn, cbIn, Data(), Capacity());
    // The result is what the buffer now holds, for callers that read it
    // through Data()/Length().
    if (FAILED(SetLength(cb)))
        return 0;
    return cb;
}

LONG CZREncBase::DecodeText(LPCWSTR psz, int cch, BYTE* pOut, LONG cbOut)
{
    if (!psz)
        return 0;
    CBuffer bufUtf8;
    if (FAILED(bufUtf8.AppendWide(psz, cch)))
        return 0;
    return Decode(bufUtf8.Data(), bufUtf8.Length(), pOut, cbOut);
}

LONG CZRBase64Encoder::DecodeInto(const BYTE* pIn, LONG cbIn, BYTE* pOut, LONG cbOut)
{
    // Every 4 characters give at most 3 bytes; an area that might be too
    // small is not written at all rather than filled with half an item.
    const LONGLONG cbNeeded = 3 * ((static_cast<LONGLONG>(cbIn) + 3) / 4);
    if (cbOut < cbNeeded) {
        Trace("\nCZRBase64Encoder::Decode(): %d characters need up to %lld bytes, only %d available",
              cbIn, static_cast<long long>(cbNeeded), cbOut);
        return 0;
    }
    LONG cb = 0;
    for (LONG i = 0; i < cbIn; ++i) {
        if (m_nState >= kStatePadding)
            break;
        const BYTE c = kBase64.a[pIn[i]];
        ++m_nInPos;
        if (c == kSkip)
            continue;
        if (c == kPad) {
            m_nState = kStatePadding;
            break;
        }
        if (c == kBad) {
            Trace("\nCZRBase64Encoder::Decode(): invalid character 0x%02x at %d, item ends", pIn[i],
                  m_nInPos - 1);
            m_nState = kStateInvalid;
            break;
        }
        // Each character after the first of a group completes one byte, so
        // a final group of 2 or 3 characters needs no padding.
        switch (m_nState) {
        case 0:
            break;
        case 1:
            pOut[cb++] = static_cast<BYTE>((m_bCarry << 2) | (c >> 4));
            break;
        case 2:
            pOut[cb++] = static_cast<BYTE>(((m_bCarry & 0x0F) << 4) | (c >> 2));
            break;
        default:
            pOut[cb++] = static_cast<BYTE>(((m_bCarry & 0x03) << 6) | c);
            break;
        }
        m_bCarry = c;
        m_nState = (m_nState + 1) & 3;
    }
    m_nOutPos += cb;
    return cb;
}

LONG CZRBinaryEncoder::DecodeInto(const BYTE* pIn, LONG cbIn, BYTE* pOut, LONG cbOut)
{
    LONG cb = 0;
    LONG i = 0;
    while (i < cbIn && cb < cbOut) {
        const int nHigh = HexValue(pIn[i]);
        if (nHigh < 0)
            break;
        const int nLow = i + 1 < cbIn ? HexValue(pIn[i + 1]) : -1;
        if (nLow < 0) {
            // A digit without a partner still counts, as the high nibble.
            pOut[cb++] = static_cast<BYTE>(nHigh << 4);
            ++i;
            break;
        }
        pOut[cb++] = static_cast<BYTE>((nHigh << 4) | nLow);
        i += 2;
    }
    m_nInPos += i;
    m_nOutPos += cb;
    return cb;
}
