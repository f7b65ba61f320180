#include "dshowflt/common/rtp/miniparser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "dshowflt/common/rtp/rtptestutil.h"

namespace {

using rtptest::Bytes;
using rtptest::ExactCopy;

// Writes H.264 syntax elements MSB first (u(n), ue(v), se(v)).
class CBitWriter
{
public:
    void Bit(int b)
    {
        if (m_nBit == 0)
            m_v.push_back(0);
        if (b)
            m_v.back() |= static_cast<BYTE>(0x80 >> m_nBit);
        m_nBit = (m_nBit + 1) & 7;
    }
    void Bits(ULONGLONG ull, int n)
    {
        for (int i = n - 1; i >= 0; --i)
            Bit(static_cast<int>((ull >> i) & 1));
    }
    // Also writes values past 32 bits, which no conforming stream has.
    void Ue(ULONGLONG ull)
    {
        const ULONGLONG x = ull + 1;
        int n = 0;
        while (n < 64 && (x >> n) != 0)
            ++n;
        Bits(0, n - 1);
        Bits(x, n);
    }
    void Se(LONGLONG ll) { Ue(ll > 0 ? 2 * static_cast<ULONGLONG>(ll) - 1 : 2 * static_cast<ULONGLONG>(-ll)); }
    // rbsp_trailing_bits()
    Bytes Finish()
    {
        Bit(1);
        while (m_nBit)
            Bit(0);
        return m_v;
    }

private:
    Bytes m_v;
    int m_nBit = 0;
};

struct SpsParams
{
    int nProfile = 100;
    int nLevel = 40;
    ULONGLONG ullSpsId = 0;
    int nChroma = 1;
    bool bSeparatePlanes = false;
    bool bScalingLists = false;
    int nPocType = 0;
    ULONGLONG ullPocCycle = 0;
    ULONGLONG ullWidthMbsMinus1 = 119;
    ULONGLONG ullHeightUnitsMinus1 = 67;
    bool bFrameMbsOnly = true;
    bool bCrop = false;
    ULONGLONG aullCrop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    bool bVui = false;
    bool bVuiExtras = false;  // Extended_SAR, signal type with colour, chroma location
    bool bTiming = false;
    DWORD dwUnitsInTick = 0;
    DWORD dwTimeScale = 0;
};

// seq_parameter_set_rbsp() as H.264 7.3.2.1.1 lays it out, with the VUI of
// E.1.1 up to fixed_frame_rate_flag and the flags after it all 0.
Bytes SpsRbsp(const SpsParams& s)
{
    CBitWriter w;
    w.Bits(s.nProfile, 8);
    w.Bits(0, 8);  // constraint flags
    w.Bits(s.nLevel, 8);
    w.Ue(s.ullSpsId);
    if (s.nProfile == 100 || s.nProfile == 110 || s.nProfile == 122 || s.nProfile == 144) {
        w.Ue(s.nChroma);
        if (s.nChroma == 3)
            w.Bit(s.bSeparatePlanes);
        w.Ue(0);
        w.Ue(0);
        w.Bit(0);
        w.Bit(s.bScalingLists);
        if (s.bScalingLists) {
            const int nLists = s.nChroma != 3 ? 8 : 12;
            for (int i = 0; i < nLists; ++i) {
                w.Bit(1);
                // scaling_list() as 7.3.2.1.1.1 reads it back; list 1
                // drops to nextScale 0 ("use the default") at once.
                const int nSize = i < 6 ? 16 : 64;
                int nLast = 8, nNext = 8;
                for (int j = 0; j < nSize; ++j) {
                    if (nNext != 0) {
                        const int nDelta = i == 1 ? -8 : (j % 2 ? 3 : -1);
                        w.Se(nDelta);
                        nNext = (nLast + nDelta + 256) % 256;
                    }
                    if (nNext != 0)
                        nLast = nNext;
                }
            }
        }
    }
    w.Ue(0);  // log2_max_frame_num_minus4
    w.Ue(s.nPocType);
    if (s.nPocType == 0) {
        w.Ue(2);
    } else if (s.nPocType == 1) {
        w.Bit(0);
        w.Se(-2);
        w.Se(1);
        w.Ue(s.ullPocCycle);
        for (ULONGLONG i = 0; i < s.ullPocCycle && i < 300; ++i)
            w.Se(static_cast<LONGLONG>(i) - 3);
    }
    w.Ue(4);  // max_num_ref_frames
    w.Bit(0);
    w.Ue(s.ullWidthMbsMinus1);
    w.Ue(s.ullHeightUnitsMinus1);
    w.Bit(s.bFrameMbsOnly);
    if (!s.bFrameMbsOnly)
        w.Bit(1);
    w.Bit(1);  // direct_8x8_inference_flag
    w.Bit(s.bCrop);
    if (s.bCrop)
        for (ULONGLONG ull : s.aullCrop)
            w.Ue(ull);
    w.Bit(s.bVui);
    if (s.bVui) {
        w.Bit(s.bVuiExtras);  // aspect_ratio_info_present_flag
        if (s.bVuiExtras) {
            w.Bits(255, 8);  // Extended_SAR
            w.Bits(4, 16);
            w.Bits(3, 16);
        }
        w.Bit(s.bVuiExtras);  // overscan_info_present_flag
        if (s.bVuiExtras)
            w.Bit(1);
        w.Bit(s.bVuiExtras);  // video_signal_type_present_flag
        if (s.bVuiExtras) {
            w.Bits(5, 3);
            w.Bit(0);
            w.Bit(1);
            w.Bits(0x010101, 24);
        }
        w.Bit(s.bVuiExtras);  // chroma_loc_info_present_flag
        if (s.bVuiExtras) {
            w.Ue(1);
            w.Ue(1);
        }
        w.Bit(s.bTiming);
        if (s.bTiming) {
            w.Bits(s.dwUnitsInTick, 32);
            w.Bits(s.dwTimeScale, 32);
            w.Bit(1);
        }
        for (int i = 0; i < 5; ++i)  // nal/vcl HRD, pic_struct, bitstream_restriction
            w.Bit(0);
    }
    return w.Finish();
}

// NAL unit with emulation-prevention bytes inserted (H.264 7.4.1).
Bytes Nal(BYTE bHeader, const Bytes& rbsp, int* pnEscapes = nullptr)
{
    Bytes v = {bHeader};
    int nZeros = 0, nEscapes = 0;
    for (BYTE b : rbsp) {
        if (nZeros >= 2 && b <= 3) {
            v.push_back(3);
            ++nEscapes;
            nZeros = 0;
        }
        v.push_back(b);
        nZeros = b == 0 ? nZeros + 1 : 0;
    }
    if (pnEscapes)
        *pnEscapes = nEscapes;
    return v;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

const Bytes kSc4 = {0, 0, 0, 1};
const Bytes kSc3 = {0, 0, 1};
// A PPS and an IDR slice start: the parser only needs them as the NAL units
// after the SPS.
const Bytes kPps = {0x68, 0xce, 0x3c, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xff};

Bytes SpsStream(const SpsParams& s)
{
    return Cat({kSc4, Nal(0x67, SpsRbsp(s)), kSc4, kPps, kSc4, kIdr});
}

// Both parse from a heap copy of exactly the input's size, so that ASan
// reports any read past the end.
HRESULT Parse(CMiniParserH264* pParser, const Bytes& v)
{
    return pParser->ParseSPS(ExactCopy(v).get(), static_cast<LONG>(v.size()));
}

HRESULT Check(CMiniParser* pParser, const Bytes& v)
{
    return pParser->CheckSequenceHeader(ExactCopy(v).get(), static_cast<LONG>(v.size()));
}

struct CMediaTypeOwner
{
    AM_MEDIA_TYPE mt{};
    ~CMediaTypeOwner() { free(mt.pbFormat); }
    const VIDEOINFOHEADER* Vih() const { return reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat); }
};

void DescribeJpeg(LONG lWidth, LONG lHeight, CMediaTypeOwner* pOwner)
{
    CMiniParserJPEG parser;
    ASSERT_EQ(parser.SetDimensions(lWidth, lHeight), S_OK);
    ASSERT_EQ(Check(&parser, Bytes{}), S_OK);
    EXPECT_EQ(Check(&parser, Bytes{}), S_FALSE);
    ASSERT_EQ(parser.FillMediaType(&pOwner->mt), S_OK);
}

}  // namespace

TEST(CMiniParserH264, SpsDescribesPictureSizeAndRate)
{
    const struct Case {
        const char* pszName;
        SpsParams s;
        LONG lWidth, lHeight;
        double dRate;
    } cases[] = {
        // 120 x 68 MBs, 8 rows cropped.
        {"1080p 29.97",
         {.bCrop = true, .aullCrop = {0, 0, 0, 4}, .bVui = true, .bTiming = true, .dwUnitsInTick = 1001, .dwTimeScale = 60000},
         1920, 1080, 29.970029830932617},
        {"25 fps after SAR, signal type, chroma location",
         {.bVui = true, .bVuiExtras = true, .bTiming = true, .dwUnitsInTick = 1, .dwTimeScale = 50}, 1920, 1088, 25.0},
        // 34 map units of field pairs are 68 MB rows; CropUnitY is 4.
        {"1080i", {.ullHeightUnitsMinus1 = 33, .bFrameMbsOnly = false, .bCrop = true, .aullCrop = {0, 0, 0, 2}}, 1920, 1080, 30.0},
        // CropUnitX, CropUnitY: 2, 1 for 4:2:2; 1, 1 for 4:4:4, separate planes and monochrome.
        {"4:2:2", {.nProfile = 122, .nChroma = 2, .bCrop = true, .aullCrop = {4, 0, 0, 8}}, 1912, 1080, 30.0},
        {"4:4:4", {.nProfile = 144, .nChroma = 3, .bCrop = true, .aullCrop = {4, 0, 0, 8}}, 1916, 1080, 30.0},
        {"separate planes", {.nProfile = 144, .nChroma = 3, .bSeparatePlanes = true, .bCrop = true, .aullCrop = {4, 0, 0, 8}}, 1916, 1080, 30.0},
        {"monochrome", {.nChroma = 0, .bCrop = true, .aullCrop = {0, 3, 0, 8}}, 1917, 1080, 30.0},
        // Baseline has no chroma_format_idc: 4:2:0 is implied.
        {"baseline 720x576", {.nProfile = 66, .nLevel = 30, .nPocType = 2, .ullWidthMbsMinus1 = 44, .ullHeightUnitsMinus1 = 35}, 720, 576, 30.0},
        {"POC type 1, 255 offsets", {.nProfile = 66, .nPocType = 1, .ullPocCycle = 255, .ullWidthMbsMinus1 = 44, .ullHeightUnitsMinus1 = 35}, 720, 576, 30.0},
        {"scaling lists", {.bScalingLists = true}, 1920, 1088, 30.0},
        {"4:4:4 scaling lists", {.nProfile = 144, .nChroma = 3, .bScalingLists = true}, 1920, 1088, 30.0},
        // Timing that gives no usable rate falls back to 30 fps.
        {"time_scale 0", {.nProfile = 77, .bVui = true, .bTiming = true, .dwUnitsInTick = 1000, .dwTimeScale = 0}, 1920, 1088, 30.0},
        {"num_units_in_tick 0", {.nProfile = 77, .bVui = true, .bTiming = true, .dwUnitsInTick = 0, .dwTimeScale = 60000}, 1920, 1088, 30.0},
        {"120 fps", {.nProfile = 88, .bVui = true, .bTiming = true, .dwUnitsInTick = 1, .dwTimeScale = 240}, 1920, 1088, 30.0},
        {"0.000005 fps", {.nProfile = 110, .bVui = true, .bTiming = true, .dwUnitsInTick = 100000, .dwTimeScale = 1}, 1920, 1088, 30.0},
        {"all-ones timing", {.bVui = true, .bTiming = true, .dwUnitsInTick = 0xFFFFFFFF, .dwTimeScale = 0xFFFFFFFF}, 1920, 1088, 0.5},
        // The widest picture any level allows (1055 x 132 = 139260 MBs).
        {"16880 wide", {.ullWidthMbsMinus1 = 1054, .ullHeightUnitsMinus1 = 131}, 16880, 2112, 30.0},
    };
    for (const Case& c : cases) {
        CMiniParserH264 parser;
        ASSERT_EQ(Parse(&parser, SpsStream(c.s)), S_OK) << c.pszName;
        EXPECT_EQ(parser.GetDescription().lWidth, c.lWidth) << c.pszName;
        EXPECT_EQ(parser.GetDescription().lHeight, c.lHeight) << c.pszName;
        EXPECT_DOUBLE_EQ(parser.GetDescription().dFrameRate, c.dRate) << c.pszName;
        EXPECT_EQ(parser.GetDescription().dwBitRate, 0u);
    }
}

TEST(CMiniParserH264, EmulationPreventionBytesAreRemoved)
{
    // num_units_in_tick 1 is 00 00 00 01: it needs escaping wherever it lands.
    const SpsParams s = {.bVui = true, .bTiming = true, .dwUnitsInTick = 1, .dwTimeScale = 50};
    int nEscapes = 0;
    const Bytes nal = Nal(0x67, SpsRbsp(s), &nEscapes);
    ASSERT_GT(nEscapes, 0);
    CMiniParserH264 parser;
    ASSERT_EQ(Parse(&parser, Cat({kSc3, nal, kSc3, kPps})), S_OK);
    EXPECT_DOUBLE_EQ(parser.GetDescription().dFrameRate, 25.0);

    // cabac_zero_words-style trailing zeros end the NAL unit in 00 00 03
    // (7.4.1): the escape byte right before the next start code goes too.
    Bytes rbsp = SpsRbsp(s);
    rbsp.push_back(0);
    rbsp.push_back(0);
    Bytes nalTail = Nal(0x67, rbsp);
    nalTail.push_back(3);
    ASSERT_EQ(Parse(&parser, Cat({kSc3, nalTail, kSc4, kPps})), S_OK);
    // The same escape at the very end of the data: the SPS may go on.
    EXPECT_EQ(Parse(&parser, Cat({kSc3, nalTail})), CMiniParserH264::kSpsIncomplete);
}

// Inputs that real streams and hostile senders produce. None may describe a
// stream, read outside its exact-size buffer, or take long.
TEST(CMiniParserH264, MalformedSpsIsNotADescription)
{
    const ULONGLONG kUeMax = 0xFFFFFFFEull;  // the largest ue(v) that fits 32 bits
    const std::pair<const char*, Bytes> bad[] = {
        {"profile 83", SpsStream({.nProfile = 83})},
        {"crop overflows the width", SpsStream({.bCrop = true, .aullCrop = {kUeMax, kUeMax, 0, 0}})},
        {"crop leaves width 0", SpsStream({.bCrop = true, .aullCrop = {480, 480, 0, 0}})},
        {"crop makes height negative", SpsStream({.bCrop = true, .aullCrop = {0, 0, 200, 400}})},
        {"crop overflows the height", SpsStream({.bFrameMbsOnly = false, .bCrop = true, .aullCrop = {0, 0, kUeMax, kUeMax}})},
        {"width 2^32 macroblocks", SpsStream({.ullWidthMbsMinus1 = kUeMax})},
        {"height 2^33 macroblocks", SpsStream({.ullHeightUnitsMinus1 = kUeMax, .bFrameMbsOnly = false})},
        {"1056 macroblocks wide", SpsStream({.ullWidthMbsMinus1 = 1055, .ullHeightUnitsMinus1 = 0})},
        {"360000 macroblocks", SpsStream({.ullWidthMbsMinus1 = 599, .ullHeightUnitsMinus1 = 599})},
        {"ue(v) with 32 leading zeros", SpsStream({.ullSpsId = 0xFFFFFFFFull})},
        {"ue(v) with 33 leading zeros", SpsStream({.ullSpsId = 0x1FFFFFFFFull})},
        // The writer stops after 300 offsets; the count alone must end it.
        {"POC cycle of 2^32 - 2 entries", SpsStream({.nPocType = 1, .ullPocCycle = kUeMax})},
        {"POC cycle of 256 entries", SpsStream({.nPocType = 1, .ullPocCycle = 256})},
        {"chroma_format_idc 4", SpsStream({.nChroma = 4})},
        {"all-zero SPS body", Cat({kSc3, {0x67, 0, 0, 0, 0, 0, 0}, kSc3, kPps})},
        {"all-ones SPS body", Cat({kSc3, {0x67, 0x64, 0xff, 0xff, 0xff, 0xff}, kSc3, kPps})},
        {"empty SPS", Cat({kSc4, {0x67}, kSc4, kPps})},
        {"forbidden bit set", Cat({kSc3, Nal(0xE7, SpsRbsp(SpsParams{})), kSc3, kPps})},
        {"no start code", Nal(0x67, SpsRbsp(SpsParams{}))},
        {"PPS only", Cat({kSc3, kPps, kSc3, kIdr})},
        {"start code with nothing after it", kSc3},
        {"empty", Bytes{}},
    };
    for (const auto& item : bad) {
        CMiniParserH264 parser;
        EXPECT_EQ(Parse(&parser, item.second), CMiniParserH264::kSpsNotFound) << item.first;
        EXPECT_EQ(parser.GetDescription().lWidth, 0) << item.first;
    }

    // Every truncation of a full SPS (the next start code moved in) either
    // still reads or is refused; none reads past the cut.
    const Bytes nal = Nal(0x67, SpsRbsp({.bCrop = true, .aullCrop = {0, 0, 0, 4}, .bVui = true, .bVuiExtras = true,
                                         .bTiming = true, .dwUnitsInTick = 1001, .dwTimeScale = 60000}));
    int nRefused = 0;
    for (size_t cb = 1; cb < nal.size(); ++cb) {
        CMiniParserH264 parser;
        const HRESULT hr = Parse(&parser, Cat({kSc3, Bytes(nal.begin(), nal.begin() + cb), kSc3, kPps}));
        ASSERT_TRUE(hr == S_OK || hr == CMiniParserH264::kSpsNotFound) << cb;
        nRefused += hr != S_OK;
    }
    EXPECT_GE(nRefused, static_cast<int>(nal.size()) - 3);
}

TEST(CMiniParserH264, SpsWithoutFollowingStartCodeIsIncomplete)
{
    CMiniParserH264 parser;
    const Bytes nal = Nal(0x67, SpsRbsp(SpsParams{}));
    EXPECT_EQ(Parse(&parser, Cat({kSc4, nal})), CMiniParserH264::kSpsIncomplete);
    // Past the size limit the "SPS" is not one.
    Bytes big = Cat({kSc4, nal});
    big.resize(big.size() + CMiniParserH264::kMaxSpsBytes, 0xAB);
    EXPECT_EQ(Parse(&parser, big), CMiniParserH264::kSpsNotFound);
    big.insert(big.end(), {0, 0, 1});
    EXPECT_EQ(Parse(&parser, big), CMiniParserH264::kSpsNotFound);
}

TEST(CMiniParserH264, StartCodeSplitAcrossUnitsIsFound)
{
    const Bytes stream = Cat({{0x09, 0xF0}, kSc3, kPps, SpsStream(SpsParams{})});
    // Split inside the SPS's 4-byte start code at each position.
    const size_t iSps = 2 + 3 + kPps.size();
    for (size_t cut = iSps + 1; cut <= iSps + 4; ++cut) {
        CMiniParserH264 parser;
        EXPECT_EQ(Check(&parser, Bytes(stream.begin(), stream.begin() + cut)), S_FALSE) << cut;
        EXPECT_EQ(Check(&parser, Bytes(stream.begin() + cut, stream.end())), S_OK) << cut;
        EXPECT_EQ(parser.GetDescription().lWidth, 1920);
    }
}

TEST(CMiniParserH264, UnsupportedSpsIsSkippedForALaterOne)
{
    const SpsParams sBad = {.nProfile = 83};
    CMiniParserH264 parser;
    EXPECT_EQ(Check(&parser, SpsStream(sBad)), S_FALSE);
    EXPECT_EQ(parser.State(), CMiniParser::kStateLooking);
    // An unusable SPS followed by a good one in the same unit.
    const SpsParams sGood = {.nProfile = 66, .nLevel = 30, .ullWidthMbsMinus1 = 39, .ullHeightUnitsMinus1 = 29};
    EXPECT_EQ(Check(&parser, Cat({SpsStream(sBad), SpsStream(sGood)})), S_OK);
    EXPECT_EQ(parser.GetDescription().lWidth, 640);
    EXPECT_EQ(parser.GetDescription().lHeight, 480);
}

// An SPS that arrives a few bytes per unit is parsed as soon as the start
// code after it is complete, wherever the unit boundaries fall: inside that
// start code, right before or after it. The first unit carries the SPS's
// start code and NAL header (a start code cut right there is lost, see
// CheckSequenceHeader); the rest comes in units of 3 to 9 bytes at every
// phase.
TEST(CMiniParserH264, SpsInSmallUnitsEqualsOneUnit)
{
    const SpsParams s = {.bCrop = true, .aullCrop = {0, 0, 0, 4}, .bVui = true, .bTiming = true,
                         .dwUnitsInTick = 1001, .dwTimeScale = 60000};
    const Bytes nal = Nal(0x67, SpsRbsp(s));
    for (const Bytes& scAfter : {kSc4, kSc3}) {
        const Bytes body = Cat({kSc4, nal, scAfter, kPps, scAfter, kIdr});
        CMiniParserH264 whole;
        ASSERT_EQ(Check(&whole, body), S_OK);
        EXPECT_EQ(whole.State(), CMiniParser::kStateDescribed);
        EXPECT_EQ(Check(&whole, body), S_FALSE);  // once described, units are not looked at
        // Once the SPS is complete the bytes held so far are kept, up to
        // the PPS's end when it has come: at least the SPS and the start
        // code that ends it.
        const CBuffer& seqWhole = whole.SequenceHeader();
        const Bytes expected(seqWhole.Data(), seqWhole.Data() + seqWhole.Length());
        // In one unit: the SPS, the PPS and the start code of the IDR slice.
        EXPECT_EQ(expected, Bytes(body.begin() + 1, body.end() - static_cast<std::ptrdiff_t>(kIdr.size())));
        const size_t cbAtLeast = 3 + nal.size() + scAfter.size();
        for (size_t cbUnit = 3; cbUnit <= 9; ++cbUnit) {
            for (size_t cbLead = 0; cbLead < cbUnit; ++cbLead) {
                const Bytes stream = Cat({Bytes(cbLead, 0xF0), body});
                CMiniParserH264 parser;
                const size_t cbFirst = cbLead + kSc4.size() + 3;
                // The unit that holds the last byte of the start code after
                // the SPS is the one that completes it.
                const size_t iEndOfStartCode = cbLead + kSc4.size() + nal.size() + scAfter.size() - 1;
                HRESULT hr = Check(&parser, Bytes(stream.begin(), stream.begin() + cbFirst));
                ASSERT_EQ(hr, CMiniParserH264::kSpsIncomplete);
                ASSERT_EQ(parser.State(), CMiniParser::kStateIncomplete);
                size_t off = cbFirst;
                for (; off < stream.size(); off += cbUnit) {
                    hr = Check(&parser, Bytes(stream.begin() + off,
                                              stream.begin() + std::min(off + cbUnit, stream.size())));
                    ASSERT_TRUE(SUCCEEDED(hr));
                    if (hr == S_OK)
                        break;
                }
                ASSERT_EQ(hr, S_OK) << "unit " << cbUnit << " lead " << cbLead;
                EXPECT_TRUE(off <= iEndOfStartCode && iEndOfStartCode < off + cbUnit)
                    << "unit " << cbUnit << " lead " << cbLead << ": completed at " << off;
                EXPECT_EQ(parser.GetDescription().lHeight, 1080);
                EXPECT_DOUBLE_EQ(parser.GetDescription().dFrameRate, whole.GetDescription().dFrameRate);
                const CBuffer& seq = parser.SequenceHeader();
                const Bytes got(seq.Data(), seq.Data() + seq.Length());
                ASSERT_GE(got.size(), cbAtLeast) << "unit " << cbUnit << " lead " << cbLead;
                ASSERT_LE(got.size(), expected.size());
                EXPECT_EQ(got, Bytes(expected.begin(), expected.begin() + got.size()))
                    << "unit " << cbUnit << " lead " << cbLead;
            }
        }
    }

    // An "SPS" that never ends must not grow the sequence header without
    // bound: it is given up at the same size in 3-byte units as in large
    // ones, and a good SPS after it is found.
    for (const Bytes& filler : {Bytes{0xAB, 0x00, 0x00}, Bytes(16 * 1024, 0xAB)}) {  // never 00 00 01
        CMiniParserH264 parser;
        EXPECT_EQ(Check(&parser, Cat({kSc3, {0x67, 0x64, 0x00}})), CMiniParserH264::kSpsIncomplete);
        const LONG cbFiller = static_cast<LONG>(filler.size());
        LONG cbFed = 0;
        while (parser.State() == CMiniParser::kStateIncomplete && cbFed <= 2 * CMiniParserH264::kMaxSpsBytes) {
            ASSERT_TRUE(SUCCEEDED(Check(&parser, filler)));
            cbFed += cbFiller;
        }
        EXPECT_EQ(parser.State(), CMiniParser::kStateLooking);
        EXPECT_GT(cbFed, CMiniParserH264::kMaxSpsBytes - cbFiller) << cbFiller;
        EXPECT_LE(cbFed, CMiniParserH264::kMaxSpsBytes + cbFiller) << cbFiller;
        EXPECT_EQ(Check(&parser, SpsStream(SpsParams{})), S_OK);
    }
}

// Parameter sets from the URL describe the stream at the first unit, and
// the format block carries exactly those bytes.
TEST(CMiniParserH264, OutOfBandParameterSetsFillTheFormatBlock)
{
    const SpsParams s = {.bVui = true, .bTiming = true, .dwUnitsInTick = 1001, .dwTimeScale = 60000};
    const Bytes sets = Cat({kSc3, Nal(0x67, SpsRbsp(s)), kSc3, kPps});
    CMiniParserH264 parser;
    ASSERT_EQ(parser.SetSequenceHeader(sets.data(), static_cast<LONG>(sets.size())), S_OK);
    EXPECT_EQ(Check(&parser, Bytes{0x12}), S_OK);

    CMediaTypeOwner owner;
    owner.mt.pbFormat = static_cast<BYTE*>(malloc(7));  // replaced, not leaked
    ASSERT_EQ(parser.FillMediaType(&owner.mt), S_OK);
    EXPECT_EQ(owner.mt.majortype, MEDIATYPE_Video);
    EXPECT_EQ(owner.mt.subtype, MEDIASUBTYPE_H264);
    EXPECT_EQ(owner.mt.formattype, FORMAT_VideoInfo);
    EXPECT_TRUE(owner.mt.bTemporalCompression);
    ASSERT_EQ(owner.mt.cbFormat, sizeof(VIDEOINFOHEADER) + sets.size());
    const VIDEOINFOHEADER* pvih = owner.Vih();
    EXPECT_EQ(pvih->AvgTimePerFrame, 333666);
    EXPECT_EQ(parser.AvgTimePerFrame(), 333666);
    EXPECT_EQ(pvih->bmiHeader.biSize, 40u + sets.size());
    EXPECT_EQ(pvih->bmiHeader.biWidth, 1920);
    EXPECT_EQ(pvih->bmiHeader.biHeight, 1088);
    EXPECT_EQ(pvih->bmiHeader.biBitCount, 24);
    EXPECT_EQ(pvih->bmiHeader.biCompression, MakeFourCC('H', '2', '6', '4'));
    EXPECT_EQ(pvih->bmiHeader.biSizeImage, 1920u * 3 * 1088);
    EXPECT_EQ(Bytes(owner.mt.pbFormat + sizeof(VIDEOINFOHEADER), owner.mt.pbFormat + owner.mt.cbFormat), sets);

    // Without timing information: 30 fps, 333333.
    CMiniParserH264 parser30;
    ASSERT_EQ(Check(&parser30, SpsStream(SpsParams{})), S_OK);
    CMediaTypeOwner owner30;
    ASSERT_EQ(parser30.FillMediaType(&owner30.mt), S_OK);
    EXPECT_EQ(owner30.Vih()->AvgTimePerFrame, 333333);
    EXPECT_EQ(parser30.FillMediaType(nullptr), E_POINTER);
}

TEST(CMiniParserJPEG, DescribesFromTheRtpHeaderSize)
{
    CMiniParserJPEG parser;
    EXPECT_EQ(Check(&parser, Bytes{0xFF, 0xD8}), S_FALSE);  // no size yet
    for (auto wh : {std::pair<LONG, LONG>{0, 480}, {640, 0}, {65536, 480}, {640, -1}})
        EXPECT_EQ(parser.SetDimensions(wh.first, wh.second), E_INVALIDARG);

    CMediaTypeOwner owner, ownerBig, ownerOdd;
    ASSERT_NO_FATAL_FAILURE(DescribeJpeg(640, 480, &owner));
    EXPECT_EQ(owner.mt.subtype, MEDIASUBTYPE_jpeg);
    ASSERT_EQ(owner.mt.cbFormat, sizeof(VIDEOINFOHEADER));
    EXPECT_EQ(owner.Vih()->bmiHeader.biSize, 40u);
    EXPECT_EQ(owner.Vih()->bmiHeader.biWidth, 640);
    EXPECT_EQ(owner.Vih()->bmiHeader.biHeight, 480);
    EXPECT_EQ(owner.Vih()->bmiHeader.biCompression, MakeFourCC('j', 'p', 'e', 'g'));
    EXPECT_EQ(owner.Vih()->bmiHeader.biSizeImage, 640u * 3 * 480);

    // The largest size still gives a sane image size field.
    ASSERT_NO_FATAL_FAILURE(DescribeJpeg(65535, 65535, &ownerBig));
    EXPECT_EQ(ownerBig.Vih()->bmiHeader.biSizeImage, 0xFFFFFFFFu);
    // Odd widths pad each row to 4 bytes.
    ASSERT_NO_FATAL_FAILURE(DescribeJpeg(33, 2, &ownerOdd));
    EXPECT_EQ(ownerOdd.Vih()->bmiHeader.biSizeImage, 100u * 2);
}
