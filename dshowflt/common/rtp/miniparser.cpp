#include "dshowflt/common/rtp/miniparser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dshowflt/common/trace/trace.h"

namespace {

// Reads an RBSP MSB first. Every read checks the bits left, so a truncated
// or hostile SPS ends in a clean failure instead of a read past the end.
class CBitReader
{
public:
    CBitReader(const BYTE* p, size_t cb) : m_p(p), m_cBits(cb * 8) {}

    bool ReadBits(int nBits, DWORD* pdw)
    {
        if (nBits < 0 || nBits > 32 || m_cBits - m_iBit < static_cast<size_t>(nBits))
            return false;
        ULONGLONG ull = 0;
        for (int i = 0; i < nBits; ++i, ++m_iBit)
            ull = (ull << 1) | ((m_p[m_iBit >> 3] >> (7 - (m_iBit & 7))) & 1);
        *pdw = static_cast<DWORD>(ull);
        return true;
    }

    bool ReadFlag(bool* pb)
    {
        DWORD dw;
        if (!ReadBits(1, &dw))
            return false;
        *pb = dw != 0;
        return true;
    }

    bool Skip(int nBits)
    {
        DWORD dw;
        return ReadBits(nBits, &dw);
    }

    // ue(v), H.264 9.1. 32 or more leading zeros would not fit 32 bits and
    // never occur in a conforming stream.
    bool ReadUe(DWORD* pdw)
    {
        int nZeros = 0;
        for (;;) {
            DWORD dwBit;
            if (!ReadBits(1, &dwBit))
                return false;
            if (dwBit)
                break;
            if (++nZeros >= 32)
                return false;
        }
        DWORD dwRest = 0;
        if (!ReadBits(nZeros, &dwRest))
            return false;
        *pdw = static_cast<DWORD>(((1ULL << nZeros) - 1) + dwRest);
        return true;
    }

    // se(v), H.264 9.1.1: 1, 2, 3, 4 ... map to 1, -1, 2, -2 ...
    bool ReadSe(LONGLONG* pll)
    {
        DWORD k;
        if (!ReadUe(&k))
            return false;
        const LONGLONG llMag = (static_cast<LONGLONG>(k) + 1) / 2;
        *pll = (k & 1) ? llMag : -llMag;
        return true;
    }

private:
    const BYTE* m_p;
    size_t m_cBits;
    size_t m_iBit = 0;
};

// Index of the next 00 00 01 at or after iFrom that has at least cbFollow
// bytes after it, or -1.
LONG FindStartCode(const BYTE* p, LONG cb, LONG iFrom, LONG cbFollow)
{
    for (LONG i = iFrom; static_cast<LONGLONG>(i) + 3 + cbFollow <= cb; ++i) {
        if (p[i + 2] > 1) {
            i += 2;  // no start code can begin at i, i+1 or i+2
            continue;
        }
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1)
            return i;
    }
    return -1;
}

// Index of the first start code whose NAL header is an SPS (forbidden_zero_bit
// 0, nal_unit_type 7), or -1.
LONG FindSpsStartCode(const BYTE* p, LONG cb)
{
    for (LONG i = FindStartCode(p, cb, 0, 1); i >= 0; i = FindStartCode(p, cb, i + 1, 1)) {
        if ((p[i + 3] & 0x9F) == 7)
            return i;
    }
    return -1;
}

// Appends with the capacity at least doubled when it must grow: an SPS that
// arrives a few bytes per unit must not cost a reallocation and a copy of
// everything held on every unit.
HRESULT AppendGrowing(CBuffer* pBuf, const BYTE* p, LONG cb)
{
    const LONGLONG llNeed = static_cast<LONGLONG>(pBuf->Length()) + cb;
    if (cb < 0 || llNeed > INT32_MAX)
        return E_OUTOFMEMORY;
    if (llNeed > pBuf->Capacity()) {
        const LONGLONG llDouble = 2 * static_cast<LONGLONG>(pBuf->Capacity());
        HRESULT hr = pBuf->Reserve(static_cast<LONG>(std::min<LONGLONG>(std::max(llNeed, llDouble), INT32_MAX)));
        if (FAILED(hr))
            return hr;
    }
    return pBuf->Append(p, cb);
}

// Levels limit a picture to 139264 macroblocks and each side to
// sqrt(8 x 139264) = 1055 of them (H.264 Table A-1, A.3.1); a description
// beyond that is no stream any decoder takes.
constexpr ULONGLONG kMaxFrameMbs = 139264;
constexpr ULONGLONG kMaxSideMbs = 1055;

struct SpsFields
{
    DWORD dwProfile = 0;
    DWORD dwLevel = 0;
    DWORD dwChromaFormat = 1;  // 4:2:0 when the profile does not say
    bool bSeparateColourPlane = false;
    DWORD dwWidthMbsMinus1 = 0;
    DWORD dwHeightMapUnitsMinus1 = 0;
    bool bFrameMbsOnly = false;
    bool bCropping = false;
    DWORD adwCrop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    bool bTiming = false;
    DWORD dwUnitsInTick = 0;
    DWORD dwTimeScale = 0;
};

bool IsSupportedProfile(DWORD dwProfile)
{
    switch (dwProfile) {
    case 66: case 77: case 88: case 100: case 110: case 122: case 144:
        return true;
    default:
        return false;
    }
}

// scaling_list(), H.264 7.3.2.1.1.1: only read past, the values are not kept.
bool SkipScalingList(CBitReader* pbr, int nSize)
{
    LONGLONG llLast = 8, llNext = 8;
    for (int j = 0; j < nSize; ++j) {
        if (llNext != 0) {
            LONGLONG llDelta;
            if (!pbr->ReadSe(&llDelta) || llDelta < -128 || llDelta > 127)
                return false;
            llNext = (llLast + llDelta + 256) % 256;
        }
        if (llNext != 0)
            llLast = llNext;
    }
    return true;
}

// seq_parameter_set_data(), H.264 7.3.2.1.1, and the VUI (E.1.1) as far as
// the timing information. Ranges that would drive a loop or make no sense
// (7.4.2.1.1) are refused.
bool ReadSps(const BYTE* p, size_t cb, SpsFields* pf)
{
    CBitReader br(p, cb);
    DWORD dw;
    bool b;
    if (!br.ReadBits(8, &pf->dwProfile) || !br.Skip(8) || !br.ReadBits(8, &pf->dwLevel))
        return false;
    if (!IsSupportedProfile(pf->dwProfile)) {
        Trace("\nCMiniParserH264::ParseSPS(): unsupported profile_idc %u", pf->dwProfile);
        return false;
    }
    if (!br.ReadUe(&dw) || dw > 31)  // seq_parameter_set_id
        return false;
    if (pf->dwProfile == 100 || pf->dwProfile == 110 || pf->dwProfile == 122 || pf->dwProfile == 144) {
        if (!br.ReadUe(&pf->dwChromaFormat) || pf->dwChromaFormat > 3)
            return false;
        if (pf->dwChromaFormat == 3 && !br.ReadFlag(&pf->bSeparateColourPlane))
            return false;
        if (!br.ReadUe(&dw) || dw > 6 || !br.ReadUe(&dw) || dw > 6)  // bit depths - 8
            return false;
        bool bScaling;
        if (!br.Skip(1) || !br.ReadFlag(&bScaling))  // qpprime_y_zero_transform_bypass_flag
            return false;
        if (bScaling) {
            const int nLists = pf->dwChromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < nLists; ++i) {
                if (!br.ReadFlag(&b))
                    return false;
                if (b && !SkipScalingList(&br, i < 6 ? 16 : 64))
                    return false;
            }
        }
    }
    if (!br.ReadUe(&dw) || dw > 12)  // log2_max_frame_num_minus4
        return false;
    DWORD dwPocType;
    if (!br.ReadUe(&dwPocType) || dwPocType > 2)
        return false;
    if (dwPocType == 0) {
        if (!br.ReadUe(&dw) || dw > 12)  // log2_max_pic_order_cnt_lsb_minus4
            return false;
    } else if (dwPocType == 1) {
        LONGLONG ll;
        if (!br.Skip(1) || !br.ReadSe(&ll) || !br.ReadSe(&ll))
            return false;
        // num_ref_frames_in_pic_order_cnt_cycle is at most 255; a huge
        // count must not make us read offsets until the data runs out.
        DWORD dwCycle;
        if (!br.ReadUe(&dwCycle) || dwCycle > 255)
            return false;
        for (DWORD i = 0; i < dwCycle; ++i)
            if (!br.ReadSe(&ll))
                return false;
    }
    if (!br.ReadUe(&dw) || !br.Skip(1))  // max_num_ref_frames, gaps_in_frame_num_value_allowed_flag
        return false;
    if (!br.ReadUe(&pf->dwWidthMbsMinus1) || !br.ReadUe(&pf->dwHeightMapUnitsMinus1) ||
        !br.ReadFlag(&pf->bFrameMbsOnly))
        return false;
    if (!pf->bFrameMbsOnly && !br.Skip(1))  // mb_adaptive_frame_field_flag
        return false;
    if (!br.Skip(1) || !br.ReadFlag(&pf->bCropping))  // direct_8x8_inference_flag
        return false;
    if (pf->bCropping)
        for (DWORD& dwCrop : pf->adwCrop)
            if (!br.ReadUe(&dwCrop))
                return false;
    bool bVui;
    if (!br.ReadFlag(&bVui))
        return false;
    if (!bVui)
        return true;

    if (!br.ReadFlag(&b))  // aspect_ratio_info_present_flag
        return false;
    if (b) {
        if (!br.ReadBits(8, &dw))
            return false;
        if (dw == 255 && !br.Skip(32))  // Extended_SAR: sar_width, sar_height
            return false;
    }
    if (!br.ReadFlag(&b) || (b && !br.Skip(1)))  // overscan
        return false;
    if (!br.ReadFlag(&b))  // video_signal_type_present_flag
        return false;
    if (b) {
        bool bColour;
        if (!br.Skip(4) || !br.ReadFlag(&bColour) || (bColour && !br.Skip(24)))
            return false;
    }
    if (!br.ReadFlag(&b))  // chroma_loc_info_present_flag
        return false;
    if (b && (!br.ReadUe(&dw) || !br.ReadUe(&dw)))
        return false;
    if (!br.ReadFlag(&pf->bTiming))
        return false;
    if (pf->bTiming && (!br.ReadBits(32, &pf->dwUnitsInTick) || !br.ReadBits(32, &pf->dwTimeScale)))
        return false;
    return true;
}

// Picture size and frame rate from the fields; false when the fields
// describe no picture.
bool Describe(const SpsFields& f, CMiniParser::Description* pDesc)
{
    const LONGLONG llWidthMbs = static_cast<LONGLONG>(f.dwWidthMbsMinus1) + 1;
    const LONGLONG llHeightMbs =
        (f.bFrameMbsOnly ? 1 : 2) * (static_cast<LONGLONG>(f.dwHeightMapUnitsMinus1) + 1);
    if (static_cast<ULONGLONG>(llWidthMbs) > kMaxSideMbs || static_cast<ULONGLONG>(llHeightMbs) > kMaxSideMbs ||
        static_cast<ULONGLONG>(llWidthMbs * llHeightMbs) > kMaxFrameMbs) {
        Trace("\nCMiniParserH264::ParseSPS(): %lld x %lld macroblocks is beyond every level",
              static_cast<long long>(llWidthMbs), static_cast<long long>(llHeightMbs));
        return false;
    }
    // CropUnitX, CropUnitY: H.264 7.4.2.1.1 (7-19 .. 7-22).
    const DWORD dwChromaArrayType = f.bSeparateColourPlane ? 0 : f.dwChromaFormat;
    LONGLONG llCropX = 1, llCropY = f.bFrameMbsOnly ? 1 : 2;
    if (dwChromaArrayType != 0) {
        llCropX = dwChromaArrayType == 3 ? 1 : 2;
        llCropY *= dwChromaArrayType == 1 ? 2 : 1;
    }
    // Offsets are up to 2^32 - 2 each: 64-bit products cannot overflow.
    const LONGLONG llWidth =
        llWidthMbs * 16 - llCropX * (static_cast<LONGLONG>(f.adwCrop[0]) + f.adwCrop[1]);
    const LONGLONG llHeight =
        llHeightMbs * 16 - llCropY * (static_cast<LONGLONG>(f.adwCrop[2]) + f.adwCrop[3]);
    // Cropping away the whole picture leaves nothing to describe; such an
    // SPS is corrupt, and a later one may be good.
    if (llWidth <= 0 || llHeight <= 0) {
        Trace("\nCMiniParserH264::ParseSPS(): cropping leaves %lld x %lld, not a picture",
              static_cast<long long>(llWidth), static_cast<long long>(llHeight));
        return false;
    }

    // Two ticks per frame (E.2.1, a frame is two fields' worth of ticks).
    // Computed in single precision like the decoders that consume it; a
    // rate of 0 (time_scale 0), a zero tick or a rate beyond 100 fps is no
    // usable timing, and 30 fps is the common case.
    double dRate = 30.0;
    if (f.bTiming && f.dwUnitsInTick != 0) {
        const float fRatio = static_cast<float>(f.dwTimeScale) / static_cast<float>(f.dwUnitsInTick);
        dRate = static_cast<double>(fRatio) * 0.5;
        if (dRate < 0.1 || dRate > 100.0)
            dRate = 30.0;
    }
    *pDesc = CMiniParser::Description{};
    pDesc->lWidth = static_cast<LONG>(llWidth);
    pDesc->lHeight = static_cast<LONG>(llHeight);
    pDesc->dFrameRate = dRate;
    return true;
}

}  // namespace

HRESULT CMiniParser::SetSequenceHeader(const BYTE* p, LONG cb)
{
    if (cb < 0 || (cb > 0 && !p))
        return E_INVALIDARG;
    m_bufSeqHeader.Empty();
    return m_bufSeqHeader.Append(p, cb);
}

HRESULT CMiniParser::FillVideoInfo(AM_MEDIA_TYPE* pmt, REFGUID subtype, DWORD dwCompression,
                                   const BYTE* pExtra, LONG cbExtra)
{
    if (!pmt)
        return E_POINTER;
    if (cbExtra < 0 || (cbExtra > 0 && !pExtra))
        return E_INVALIDARG;
    const ULONG cbFormat = static_cast<ULONG>(sizeof(VIDEOINFOHEADER)) + static_cast<ULONG>(cbExtra);
    BYTE* pbFormat = static_cast<BYTE*>(calloc(1, cbFormat));
    if (!pbFormat)
        return E_OUTOFMEMORY;

    m_rtAvgTimePerFrame =
        m_desc.dFrameRate > 0.0 ? static_cast<REFERENCE_TIME>(10000000.0 / m_desc.dFrameRate) : 0;

    VIDEOINFOHEADER* pvih = reinterpret_cast<VIDEOINFOHEADER*>(pbFormat);
    pvih->dwBitRate = m_desc.dwBitRate;
    pvih->AvgTimePerFrame = m_rtAvgTimePerFrame;
    BITMAPINFOHEADER* pbih = &pvih->bmiHeader;
    pbih->biSize = static_cast<DWORD>(sizeof(BITMAPINFOHEADER)) + static_cast<DWORD>(cbExtra);
    pbih->biWidth = m_desc.lWidth;
    pbih->biHeight = m_desc.lHeight;
    pbih->biPlanes = 1;
    pbih->biBitCount = 24;
    pbih->biCompression = dwCompression;
    // Rows of 24-bit pixels padded to 4 bytes. Sizes are bounded by the
    // parsers, but a size past 32 bits reads as the largest one.
    const ULONGLONG ullRow = ((static_cast<ULONGLONG>(m_desc.lWidth) * 24 + 31) / 32) * 4;
    const LONGLONG llHeight = m_desc.lHeight < 0 ? -static_cast<LONGLONG>(m_desc.lHeight) : m_desc.lHeight;
    const ULONGLONG ullImage = ullRow * static_cast<ULONGLONG>(llHeight);
    pbih->biSizeImage = ullImage > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(ullImage);
    if (cbExtra > 0)
        memcpy(pbFormat + sizeof(VIDEOINFOHEADER), pExtra, static_cast<size_t>(cbExtra));

    pmt->majortype = MEDIATYPE_Video;
    pmt->subtype = subtype;
    pmt->bTemporalCompression = TRUE;
    pmt->formattype = FORMAT_VideoInfo;
    free(pmt->pbFormat);
    pmt->pbFormat = pbFormat;
    pmt->cbFormat = cbFormat;
    return S_OK;
}

HRESULT CMiniParserH264::ParseSPS(const BYTE* p, LONG cb)
{
    if (!p || cb <= 0)
        return kSpsNotFound;
    const LONG iStart = FindSpsStartCode(p, cb);
    if (iStart < 0)
        return kSpsNotFound;
    const LONG iPayload = iStart + 4;  // after the NAL header byte
    LONG iEnd = FindStartCode(p, cb, iPayload, 0);
    if (iEnd < 0) {
        // Without the next start code the SPS may go on in the next unit.
        return cb - iPayload > kMaxSpsBytes ? kSpsNotFound : kSpsIncomplete;
    }
    if (iEnd > iPayload && p[iEnd - 1] == 0)
        --iEnd;  // the leading zero of a 4-byte start code
    if (iEnd - iPayload > kMaxSpsBytes)
        return kSpsNotFound;
    if (iEnd == iPayload) {
        // An empty SPS describes no picture (0 x 0); keep looking.
        Trace("\nCMiniParserH264::ParseSPS(): empty SPS NAL unit ignored");
        return kSpsNotFound;
    }

    // Remove emulation-prevention bytes: 00 00 03 -> 00 00 (H.264 7.4.1).
    m_bufRbsp.Empty();
    HRESULT hr = m_bufRbsp.Reserve(iEnd - iPayload);
    if (FAILED(hr))
        return hr;
    BYTE* pRbsp = m_bufRbsp.Data();
    LONG cbRbsp = 0;
    int nZeros = 0;
    for (LONG i = iPayload; i < iEnd; ++i) {
        const BYTE b = p[i];
        if (nZeros >= 2 && b == 3) {
            nZeros = 0;
            continue;
        }
        pRbsp[cbRbsp++] = b;
        nZeros = b == 0 ? nZeros + 1 : 0;
    }
    hr = m_bufRbsp.SetLength(cbRbsp);
    if (FAILED(hr))
        return hr;

    SpsFields fields;
    if (!ReadSps(pRbsp, static_cast<size_t>(cbRbsp), &fields)) {
        Trace("\nCMiniParserH264::ParseSPS(): SPS of %d bytes not usable", cbRbsp);
        return kSpsNotFound;
    }
    Description desc;
    if (!Describe(fields, &desc))
        return kSpsNotFound;
    m_desc = desc;
    Trace("\nCMiniParserH264::ParseSPS(): profile %u level %u, %d x %d, %.3f fps", fields.dwProfile,
          fields.dwLevel, m_desc.lWidth, m_desc.lHeight, m_desc.dFrameRate);
    return S_OK;
}

HRESULT CMiniParserH264::CheckSequenceHeader(const BYTE* p, LONG cb)
{
    if (m_lState == kStateDescribed)
        return S_FALSE;
    if (cb < 0 || (cb > 0 && !p))
        return E_INVALIDARG;
    HRESULT hr;
    if (m_lState == kStateIncomplete) {
        // The SPS began in an earlier unit, and no start code followed it in
        // what we hold. Only a start code that ends in this unit can end it,
        // so look only there (a start code may straddle the old end by two
        // bytes); until one comes, or the SPS grows past its limit, there
        // is nothing to parse. Rescanning everything held on every unit
        // would make a long SPS in small units cost quadratic time.
        const LONG cbHeld = m_bufSeqHeader.Length();
        hr = AppendGrowing(&m_bufSeqHeader, p, cb);
        if (FAILED(hr))
            return hr;
        const BYTE* pHeld = m_bufSeqHeader.Data();
        const LONG cbNow = m_bufSeqHeader.Length();
        const LONG iFrom = std::max(m_iSpsPayload, cbHeld - 2);
        if (FindStartCode(pHeld, cbNow, iFrom, 0) < 0 && cbNow - m_iSpsPayload <= kMaxSpsBytes)
            return kSpsIncomplete;
        // The SPS ends here (or is given up): parse it with this unit
        // added. The bytes stay in the sequence header's storage while
        // they are copied into the carry buffer below.
        p = m_bufSeqHeader.Data();
        cb = m_bufSeqHeader.Length();
        m_lState = kStateLooking;
        m_bufSeqHeader.Empty();
    }
    if (m_bufSeqHeader.Length() > 0) {
        // Out-of-band parameter sets describe the stream before any unit.
        hr = ParseSPS(m_bufSeqHeader.Data(), m_bufSeqHeader.Length());
        if (FAILED(hr))
            return hr;
        if (hr == S_OK) {
            m_lState = kStateDescribed;
            return S_OK;
        }
    }

    hr = Append(p, cb);
    if (FAILED(hr))
        return hr;
    const BYTE* pData = Data();
    const LONG cbData = Length();
    // A start code counts only with the NAL header and one more byte after it.
    for (LONG i = FindStartCode(pData, cbData, 0, 2); i >= 0; i = FindStartCode(pData, cbData, i + 1, 2)) {
        if ((pData[i + 3] & 0x1F) == 7) {
            hr = ParseSPS(pData + i, cbData - i);
            if (FAILED(hr))
                return hr;
            if (hr == kSpsIncomplete) {
                m_bufSeqHeader.Empty();
                hr = AppendGrowing(&m_bufSeqHeader, pData + i, cbData - i);
                if (FAILED(hr))
                    return hr;
                // Where the SPS's payload begins: the wait for its end looks
                // for a start code from there on.
                m_iSpsPayload = FindSpsStartCode(m_bufSeqHeader.Data(), m_bufSeqHeader.Length()) + 4;
                Empty();
                m_lState = kStateIncomplete;
                return kSpsIncomplete;
            }
            if (hr == S_OK) {
                // Keep the SPS, the NAL unit after it (normally the PPS) and
                // the start code that follows that one: decoders are handed
                // exactly these bytes with the format block.
                LONG iCopyEnd = cbData;
                const LONG iNext = FindStartCode(pData, cbData, i + 3, 0);
                if (iNext >= 0) {
                    const LONG iAfter = FindStartCode(pData, cbData, iNext + 3, 0);
                    if (iAfter >= 0)
                        iCopyEnd = iAfter + 3;
                }
                m_bufSeqHeader.Empty();
                hr = m_bufSeqHeader.Append(pData + i, iCopyEnd - i);
                if (FAILED(hr))
                    return hr;
                m_lState = kStateDescribed;
                return S_OK;
            }
        }
        if (cbData - (i + 1) <= 4)
            break;
    }
    // Three bytes carry a start code split anywhere inside it. A unit that
    // ends right after an SPS's NAL header byte loses that SPS (its start
    // code needs two bytes after it); encoders repeat the SPS at every key
    // frame, so a later one describes the stream.
    if (cbData > 3) {
        memmove(m_pData, m_pData + cbData - 3, 3);
        m_cbData = 3;
    }
    return S_FALSE;
}

HRESULT CMiniParserH264::FillMediaType(AM_MEDIA_TYPE* pmt)
{
    return FillVideoInfo(pmt, MEDIASUBTYPE_H264, MakeFourCC('H', '2', '6', '4'), m_bufSeqHeader.Data(),
                         m_bufSeqHeader.Length());
}

HRESULT CMiniParserJPEG::SetDimensions(LONG lWidth, LONG lHeight)
{
    if (lWidth < 1 || lWidth > 65535 || lHeight < 1 || lHeight > 65535)
        return E_INVALIDARG;
    m_desc.lWidth = lWidth;
    m_desc.lHeight = lHeight;
    return S_OK;
}

HRESULT CMiniParserJPEG::CheckSequenceHeader(const BYTE*, LONG)
{
    // The RTP JPEG header already gave the size; the unit adds nothing.
    if (m_lState == kStateDescribed || m_desc.lWidth < 1 || m_desc.lHeight < 1)
        return S_FALSE;
    m_lState = kStateDescribed;
    return S_OK;
}

HRESULT CMiniParserJPEG::FillMediaType(AM_MEDIA_TYPE* pmt)
{
    // JPEG carries no frame rate: the average time per frame stays 0
    // ("unknown"), and samples carry their own times.
    return FillVideoInfo(pmt, MEDIASUBTYPE_jpeg, MakeFourCC('j', 'p', 'e', 'g'), nullptr, 0);
}
