#include "platform/mediatype.h"

#include <gtest/gtest.h>

#include <cstddef>

// Format blocks are compared byte for byte with what other tools produce, so
// the offsets of the original layouts matter, not just the sizes.
TEST(MediaTypeLayout, VideoInfoHeaderOffsets)
{
    EXPECT_EQ(offsetof(VIDEOINFOHEADER, dwBitRate), 32u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER, AvgTimePerFrame), 40u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER, bmiHeader), 48u);
    EXPECT_EQ(offsetof(BITMAPINFOHEADER, biCompression), 16u);
    const BYTE* p = reinterpret_cast<const BYTE*>(&MEDIATYPE_Video);
    // 'vids' as the first four bytes, little-endian Data1.
    EXPECT_EQ(p[0], 'v');
    EXPECT_EQ(p[3], 's');
    EXPECT_EQ(p[8], 0x80);
}
