// Text decoders for parameter sets given in the URL: Base64 items
// (sprop-parameter-sets, RFC 6184 8.1 / RFC 4648 alphabet) and hexadecimal
// items (seq-headers). One codec decodes all the items of an option, one at
// a time, with Reset() between items; its own buffer is reused, so the
// memory is allocated once.
//
// Decoding never fails loudly: any problem yields fewer bytes or none, and
// the caller simply adds nothing for that item.
#pragma once

#include "dshowflt/common/buffer.h"

class CZREncBase : public CBuffer
{
public:
    // Room reserved beyond the buffer's content when decoding into the
    // codec's own buffer.
    static constexpr LONG kDecodeReserve = 1240;

    CZREncBase() = default;
    ~CZREncBase() override = default;

    // Clears the decoder state, positions and carry; the storage is kept.
    virtual void Reset();
    // Decodes cbIn text bytes into pOut (at most cbOut bytes) and returns
    // the number of bytes produced. With pOut null the codec reserves
    // kDecodeReserve bytes beyond its content, decodes into the start of its
    // own buffer and sets its length to the result.
    [[nodiscard]] LONG Decode(const BYTE* pIn, LONG cbIn, BYTE* pOut, LONG cbOut);
    // Wide text (cch < 0: up to the terminator) through UTF-8, then Decode.
    // 0 when the text cannot be converted.
    [[nodiscard]] LONG DecodeText(LPCWSTR psz, int cch, BYTE* pOut, LONG cbOut);

    int State() const { return m_nState; }

protected:
    // The codec proper: decodes into pOut, which has room for cbOut bytes.
    virtual LONG DecodeInto(const BYTE* pIn, LONG cbIn, BYTE* pOut, LONG cbOut) = 0;

    LONG m_nLineLength = kLineLength;  // for encoders: characters per line
    BYTE m_bLineBreak = 0;
    int m_nState = 0;     // Base64: position in the 4-character group, or one of the end states
    LONG m_nInPos = 0;    // characters consumed since Reset
    LONG m_nOutPos = 0;   // bytes produced since Reset
    BYTE m_bCarry = 0;    // Base64: the last sextet

private:
    static constexpr LONG kLineLength = 72;
};

class CZRBase64Encoder : public CZREncBase
{
public:
    // End states of m_nState.
    static constexpr int kStatePadding = 8;  // stopped at "="
    static constexpr int kStateInvalid = 9;  // stopped at a byte outside the alphabet

protected:
    LONG DecodeInto(const BYTE* pIn, LONG cbIn, BYTE* pOut, LONG cbOut) override;
};

class CZRBinaryEncoder : public CZREncBase
{
protected:
    LONG DecodeInto(const BYTE* pIn, LONG cbIn, BYTE* pOut, LONG cbOut) override;
};
