#include "platform/wtext.h"

#include <gtest/gtest.h>

TEST(WideText, RoundTripsAllPlanes)
{
    // ASCII, two-, three- and four-byte sequences (U+1F600 needs a surrogate pair).
    const std::string sz = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    CWString w = Utf8ToWide(sz);
    ASSERT_EQ(w.size(), 6u);
    EXPECT_EQ(w[1], 0x00E9);
    EXPECT_EQ(w[2], 0x20AC);
    EXPECT_EQ(w[3], 0xD83D);
    EXPECT_EQ(w[4], 0xDE00);
    EXPECT_EQ(WideToUtf8(w), sz);
}

TEST(WideText, MalformedInputBecomesReplacementCharacters)
{
    EXPECT_EQ(Utf8ToWide("\xC3"), CWString(u"\uFFFD"));         // truncated
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), CWString(u"\uFFFD\uFFFD"));  // overlong '/'
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80x").back(), u'x');        // encoded surrogate
    const char16_t lone[] = {0xD800, u'x', 0};
    EXPECT_EQ(WideToUtf8(lone), "\xEF\xBF\xBDx");
    EXPECT_EQ(WStrLen(nullptr), 0u);
}
