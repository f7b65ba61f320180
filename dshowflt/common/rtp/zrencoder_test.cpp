#include "dshowflt/common/rtp/zrencoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dshowflt/common/rtp/rtptestutil.h"

namespace {

std::vector<BYTE> Bytes(const BYTE* p, LONG cb) { return std::vector<BYTE>(p, p + cb); }

// Decodes into an exactly sized heap area so that ASan catches any write
// past the capacity the codec was given.
std::vector<BYTE> DecodeExact(CZREncBase* pCodec, const std::string& str, LONG cbOut)
{
    std::unique_ptr<BYTE[]> p(new BYTE[cbOut > 0 ? cbOut : 1]);
    pCodec->Reset();
    const LONG cb = pCodec->Decode(rtptest::ExactCopy(std::vector<BYTE>(str.begin(), str.end())).get(),
                                   static_cast<LONG>(str.size()), p.get(), cbOut);
    EXPECT_LE(cb, cbOut);
    return Bytes(p.get(), cb);
}

}  // namespace

// The SPS item of a baseline level 3.0 camera's SDP (decoded with Python's
// base64 module as the reference).
TEST(CZRBase64Encoder, SdpItemStopsAtPadding)
{
    CZRBase64Encoder codec;
    const LONG cb = codec.DecodeText(u"Z0IAHpWoKA9puAgICgAAAwAAAwBlCA==", -1, nullptr, 0);
    const std::vector<BYTE> expected = {0x67, 0x42, 0x00, 0x1e, 0x95, 0xa8, 0x28, 0x0f,
                                        0x69, 0xb8, 0x08, 0x08, 0x0a, 0x00, 0x00, 0x03,
                                        0x00, 0x00, 0x03, 0x00, 0x65, 0x08};
    ASSERT_EQ(cb, 22);
    EXPECT_EQ(codec.Length(), 22);
    EXPECT_EQ(Bytes(codec.Data(), cb), expected);
    EXPECT_EQ(codec.State(), CZRBase64Encoder::kStatePadding);

    // White space inside the item is ignored; the result is the same.
    codec.Reset();
    EXPECT_EQ(codec.DecodeText(u"Z0IA HpWo\r\nKA9p\tuAgI\fCgAAAwAAAwBlCA", -1, nullptr, 0), 22);
    EXPECT_EQ(Bytes(codec.Data(), 22), expected);

    // The next item of the option (the PPS of the same SDP) reuses the
    // codec's storage from its start.
    codec.Reset();
    ASSERT_EQ(codec.DecodeText(u"aM4G4g==", -1, nullptr, 0), 4);
    EXPECT_EQ(Bytes(codec.Data(), 4), std::vector<BYTE>({0x68, 0xce, 0x06, 0xe2}));
}

TEST(CZRBase64Encoder, ShortFinalGroupsAndStops)
{
    CZRBase64Encoder codec;
    EXPECT_EQ(DecodeExact(&codec, "Zg", 3), std::vector<BYTE>({'f'}));
    EXPECT_EQ(DecodeExact(&codec, "Zm8", 3), std::vector<BYTE>({'f', 'o'}));
    EXPECT_EQ(DecodeExact(&codec, "Zm9v", 3), std::vector<BYTE>({'f', 'o', 'o'}));
    // A single dangling character completes no byte.
    EXPECT_EQ(DecodeExact(&codec, "Zm9vY", 6), std::vector<BYTE>({'f', 'o', 'o'}));
    // An invalid character ends the item with what was decoded so far.
    EXPECT_EQ(DecodeExact(&codec, "Zm9v*mFy", 6), std::vector<BYTE>({'f', 'o', 'o'}));
    EXPECT_EQ(codec.State(), CZRBase64Encoder::kStateInvalid);
    EXPECT_EQ(DecodeExact(&codec, "Zm\x80v", 3), std::vector<BYTE>({'f'}));
    // Without Reset the end state sticks: the next item yields nothing.
    const BYTE abMore[] = {'Z', 'm', '9', 'v'};
    BYTE abOut[3];
    EXPECT_EQ(codec.Decode(abMore, 4, abOut, 3), 0);
    codec.Reset();
    EXPECT_EQ(codec.Decode(abMore, 4, abOut, 3), 3);
}

TEST(CZRBase64Encoder, AreaTooSmallOrEmptyInputYieldsNothing)
{
    CZRBase64Encoder codec;
    // 8 characters might need 6 bytes: 5 is refused outright.
    EXPECT_TRUE(DecodeExact(&codec, "Zm9vYmFy", 5).empty());
    EXPECT_EQ(DecodeExact(&codec, "Zm9vYmFy", 6).size(), 6u);
    EXPECT_TRUE(DecodeExact(&codec, "", 16).empty());
    EXPECT_EQ(codec.DecodeText(u"", -1, nullptr, 0), 0);
    EXPECT_EQ(codec.DecodeText(nullptr, -1, nullptr, 0), 0);

    // 1656 characters could decode to 1242 bytes, more than the 1240 that
    // the first item gets in the codec's own buffer.
    std::u16string strBig(1656, u'A');
    EXPECT_EQ(codec.DecodeText(strBig.c_str(), -1, nullptr, 0), 0);
    std::u16string strFits(1652, u'A');
    codec.Reset();
    EXPECT_EQ(codec.DecodeText(strFits.c_str(), -1, nullptr, 0), 1239);
    // The length argument limits the text that is read.
    codec.Reset();
    EXPECT_EQ(codec.DecodeText(u"Zm9vYmFy", 4, nullptr, 0), 3);
}

TEST(CZRBinaryEncoder, PairsOddDigitsAndStops)
{
    CZRBinaryEncoder codec;
    EXPECT_EQ(DecodeExact(&codec, "0000016742", 16), std::vector<BYTE>({0x00, 0x00, 0x01, 0x67, 0x42}));
    EXPECT_EQ(DecodeExact(&codec, "ABC", 16), std::vector<BYTE>({0xAB, 0xC0}));
    EXPECT_EQ(DecodeExact(&codec, "12 34", 16), std::vector<BYTE>({0x12}));
    EXPECT_EQ(DecodeExact(&codec, "a1fG00", 16), std::vector<BYTE>({0xA1, 0xF0}));
    EXPECT_EQ(DecodeExact(&codec, "x12", 16), std::vector<BYTE>());
    EXPECT_EQ(DecodeExact(&codec, "", 16), std::vector<BYTE>());
    // A full area stops decoding; nothing is written past it.
    EXPECT_EQ(DecodeExact(&codec, "0102030405", 3), std::vector<BYTE>({0x01, 0x02, 0x03}));
    EXPECT_EQ(DecodeExact(&codec, "0102030", 3), std::vector<BYTE>({0x01, 0x02, 0x03}));
    EXPECT_EQ(DecodeExact(&codec, "01", 0), std::vector<BYTE>());

    EXPECT_EQ(codec.DecodeText(u"00000001674D", -1, nullptr, 0), 6);
    EXPECT_EQ(Bytes(codec.Data(), codec.Length()),
              std::vector<BYTE>({0x00, 0x00, 0x00, 0x01, 0x67, 0x4D}));
    // Non-ASCII text goes through UTF-8 and stops at its first byte.
    codec.Reset();
    EXPECT_EQ(codec.DecodeText(u"12\u00e934", -1, nullptr, 0), 1);
}

// A hexadecimal item is not limited by the reserve: a long item fills the
// reserved area and stops there.
TEST(CZRBinaryEncoder, LongItemStopsAtReservedArea)
{
    CZRBinaryEncoder codec;
    std::u16string str;
    for (int i = 0; i < 3000; ++i)
        str += u"5a";
    const LONG cb = codec.DecodeText(str.c_str(), -1, nullptr, 0);
    EXPECT_EQ(cb, codec.Capacity());
    EXPECT_GE(cb, CZREncBase::kDecodeReserve);
    for (LONG i = 0; i < cb; ++i)
        ASSERT_EQ(codec.Data()[i], 0x5a);
}
