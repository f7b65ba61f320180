// Mini parsers: watch the units of an elementary video stream until enough
// has been seen to describe it, then fill the output pin's media type once.
//
// CMiniParserH264 finds the sequence parameter set (in band, or out of band
// from the URL's parameter sets); CMiniParserJPEG takes the picture size
// that the RTP JPEG header carried. Both describe the stream with a
// VIDEOINFOHEADER format block; the H.264 one carries the parameter sets
// right after it, as H.264 decoders expect for the "H264" subtype.
//
// Threads: a parser is owned and called by the receive thread only.
#pragma once

#include "dshowflt/common/buffer.h"
#include "platform/mediatype.h"

class CMiniParser
{
public:
    // What the stream looks like. bit rate stays 0: neither format says.
    struct Description
    {
        LONG lWidth = 0;
        LONG lHeight = 0;
        double dFrameRate = 0.0;
        DWORD dwBitRate = 0;
    };

    // m_lState values.
    static constexpr LONG kStateLooking = 0;
    static constexpr LONG kStateDescribed = 1;
    static constexpr LONG kStateIncomplete = 2;  // H.264: an SPS continues in the next unit

    CMiniParser() = default;
    virtual ~CMiniParser() = default;
    CMiniParser(const CMiniParser&) = delete;
    CMiniParser& operator=(const CMiniParser&) = delete;

    // Called for every unit. S_OK: the stream has just been described, call
    // FillMediaType now. Any other success value: not (yet) described, or
    // described earlier. Fails only when a buffer cannot grow.
    [[nodiscard]] virtual HRESULT CheckSequenceHeader(const BYTE* p, LONG cb) = 0;
    // Sets major type, subtype, temporal compression and format type, and
    // replaces the format block (task memory: malloc/free) with a
    // VIDEOINFOHEADER describing the stream. E_OUTOFMEMORY, E_POINTER.
    [[nodiscard]] virtual HRESULT FillMediaType(AM_MEDIA_TYPE* pmt) = 0;

    // Out-of-band parameter sets (00 00 01-prefixed, from the URL), placed
    // before the first unit.
    [[nodiscard]] HRESULT SetSequenceHeader(const BYTE* p, LONG cb);

    LONG State() const { return m_lState; }
    const Description& GetDescription() const { return m_desc; }
    REFERENCE_TIME AvgTimePerFrame() const { return m_rtAvgTimePerFrame; }
    const CBuffer& SequenceHeader() const { return m_bufSeqHeader; }

protected:
    // The shared part of FillMediaType: pExtra follows the 88-byte header.
    [[nodiscard]] HRESULT FillVideoInfo(AM_MEDIA_TYPE* pmt, REFGUID subtype, DWORD dwCompression,
                                        const BYTE* pExtra, LONG cbExtra);

    LONG m_lState = kStateLooking;
    Description m_desc;
    REFERENCE_TIME m_rtAvgTimePerFrame = 0;
    CBuffer m_bufSeqHeader;
};

// Its own CBuffer is the carry buffer: the last 3 bytes of one unit, so that
// a start code split across two units is still found.
class CMiniParserH264 : public CMiniParser, public CBuffer
{
public:
    // ParseSPS results besides S_OK and E_OUTOFMEMORY.
    static constexpr HRESULT kSpsNotFound = 2;    // no usable SPS in the bytes
    static constexpr HRESULT kSpsIncomplete = 7;  // the SPS runs on past the bytes

    // An SPS NAL unit longer than this is not one: even with every scaling
    // list and the whole VUI an SPS stays below a kilobyte. The bound keeps
    // a stream that never completes its "SPS" from growing the sequence
    // header without end.
    static constexpr LONG kMaxSpsBytes = 64 * 1024;

    [[nodiscard]] HRESULT CheckSequenceHeader(const BYTE* p, LONG cb) override;
    [[nodiscard]] HRESULT FillMediaType(AM_MEDIA_TYPE* pmt) override;

    // Finds the first SPS NAL unit in p (Annex B byte stream) and, when it
    // describes a picture, stores the description. S_OK, kSpsNotFound,
    // kSpsIncomplete (no start code follows the SPS yet) or E_OUTOFMEMORY.
    [[nodiscard]] HRESULT ParseSPS(const BYTE* p, LONG cb);

private:
    CBuffer m_bufRbsp;  // the SPS with emulation-prevention bytes removed
    // While an SPS is incomplete: the offset in the sequence header at which
    // its payload (after the NAL header byte) begins.
    LONG m_iSpsPayload = 0;
};

class CMiniParserJPEG : public CMiniParser
{
public:
    // From the RTP JPEG header; each must be 1..65535, else E_INVALIDARG.
    [[nodiscard]] HRESULT SetDimensions(LONG lWidth, LONG lHeight);

    [[nodiscard]] HRESULT CheckSequenceHeader(const BYTE* p, LONG cb) override;
    [[nodiscard]] HRESULT FillMediaType(AM_MEDIA_TYPE* pmt) override;
};
