#include "dshowflt/common/trace/traceformat.h"

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "dshowflt/common/trace/trace.h"

namespace {

std::string Fmt(const char* pszFormat, ...)
{
    char sz[kTraceLineMax];
    va_list args;
    va_start(args, pszFormat);
    FormatTraceV(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    return sz;
}

TEST(TraceFormatTest, WideStringsBecomeUtf8)
{
    // "Grüße €" and U+1F600 as a surrogate pair.
    const WCHAR wsz[] = u"Gr\u00FC\u00DFe \u20AC \U0001F600";
    EXPECT_EQ(Fmt("[%S]", wsz), "[Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80]");
    EXPECT_EQ(Fmt("[%ls]", u"abc"), "[abc]");
    EXPECT_EQ(Fmt("[%S]", static_cast<const WCHAR*>(nullptr)), "[(null)]");
    EXPECT_EQ(Fmt("[%-6S|%6S]", u"ab", u"cd"), "[ab    |    cd]");
    EXPECT_EQ(Fmt("[%.3S]", u"abcdef"), "[abc]");
    EXPECT_EQ(Fmt("[%C%lc]", static_cast<int>(u'\u00E9'), static_cast<int>(u'x')), "[\xC3\xA9x]");
    // A lone high surrogate is not a character.
    const WCHAR wszBad[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(Fmt("%S", wszBad), "a\xEF\xBF\xBD" "b");
}

TEST(TraceFormatTest, OrdinaryConversionsPullTheRightArguments)
{
    // Mixed widths: a conversion that pulled the wrong size would shift
    // every argument after it.
    EXPECT_EQ(Fmt("%d %u %x %X %o", -5, 7u, 0xabu, 0xCDu, 8u), "-5 7 ab CD 10");
    EXPECT_EQ(Fmt("%lld|%I64d|%I64u|%llx|%d", -1234567890123LL, 9876543210LL,
                  18446744073709551615ULL, 0x1122334455ULL, 42),
              "-1234567890123|9876543210|18446744073709551615|1122334455|42");
    EXPECT_EQ(Fmt("%ld %lu %zu %hd %hhu %d", -7L, 7UL, static_cast<size_t>(99), 70000, 300, 1),
              "-7 7 99 4464 44 1");
    EXPECT_EQ(Fmt("%5.2f|%-8.3e|%g|%d", 3.14159, 1234.0, 0.5, 3), " 3.14|1.234e+03|0.5|3");
    EXPECT_EQ(Fmt("%*d|%-*d|%.*s|%d", 5, 42, 4, 7, 2, "abcdef", 9), "   42|7   |ab|9");
    EXPECT_EQ(Fmt("%*d|", -4, 1), "1   |");
    EXPECT_EQ(Fmt("%08.3f|%+d|% d|%#x", 3.5, 5, 6, 255u), "0003.500|+5| 6|0xff");
    EXPECT_EQ(Fmt("%s %s %c%%", "a", static_cast<const char*>(nullptr), 'z'), "a (null) z%");
    EXPECT_EQ(Fmt("%p", reinterpret_cast<void*>(0x1234)), "0x1234");
}

TEST(TraceFormatTest, HostileFormatsDoNotWriteOrOverrun)
{
    int n = 12345;
    EXPECT_EQ(Fmt("ab%ncd%d", &n, 5), "abcd5");
    EXPECT_EQ(n, 12345);  // %n never writes
    EXPECT_EQ(Fmt("%y|%d", 3), "%y|3");
    EXPECT_EQ(Fmt("%'d|%d", 1234567, 8), "1234567|8");  // grouping flag in the C locale
    EXPECT_EQ(Fmt("tail %"), "tail %");
    EXPECT_EQ(Fmt("tail %-08l"), "tail %-08l");
    EXPECT_EQ(Fmt("%99999999999d|", 1).size(), kTraceLineMax - 1);
}

TEST(TraceFormatTest, LongLinesAreCutAtTheBufferSize)
{
    const std::string strLong(5000, 'x');
    std::string str = Fmt("%s%d", strLong.c_str(), 7);
    EXPECT_EQ(str.size(), kTraceLineMax - 1);
    EXPECT_EQ(str.find_first_not_of('x'), std::string::npos);

    std::u16string wstrLong(3000, u'\u00E9');  // 2 bytes each in UTF-8
    str = Fmt("%S", wstrLong.c_str());
    EXPECT_LE(str.size(), kTraceLineMax - 1);
    EXPECT_EQ(str.size() % 2, 0u);  // never half a character

    char sz[8];
    EXPECT_EQ(FormatTrace(sz, sizeof(sz), "%s-%d", "abcdef", 123), 7u);
    EXPECT_STREQ(sz, "abcdef-");
    EXPECT_EQ(FormatTrace(sz, 1, "%d", 5), 0u);
    EXPECT_STREQ(sz, "");
}

class TraceFormatterTest : public ::testing::Test
{
protected:
    void SetUp() override { m_dwSaved = g_dwTraceSwitch.load(); }
    void TearDown() override { g_dwTraceSwitch.store(m_dwSaved); }
    uint32_t m_dwSaved = 0;
};

TEST_F(TraceFormatterTest, ByteCountsPickTheirUnit)
{
    struct Case
    {
        LONGLONG cb;
        const char* psz;
    } kCases[] = {
        {0, "0 bytes"},
        {5000, "5000 bytes"},
        {9999, "9999 bytes"},
        {10000, "9KB"},
        {1023999, "999KB"},
        {1024000, "0.976MB"},
        {2000000, "1.907MB"},
        {1048576 * 3, "3.000MB"},
        {-5000, "-5000 bytes"},
        {-2000000, "-1.907MB"},
        {-20480, "-20KB"},
        {INT64_MIN, "-8796093022208.000MB"},
    };
    for (const Case& c : kCases)
        EXPECT_STREQ(TraceBytes(c.cb), c.psz) << c.cb;
}

TEST_F(TraceFormatterTest, ReferenceTimesAndMarkers)
{
    g_dwTraceSwitch.store(TRACE_REFTIME_SECONDS);
    EXPECT_STREQ(TraceRefTime(12500000), "1.250s");
    EXPECT_STREQ(TraceRefTime(0), "0.000s");
    EXPECT_STREQ(TraceRefTime(-5000000), "-0.500s");
    EXPECT_STREQ(TraceRefTime(36000000000LL + 10000), "3600.001s");
    EXPECT_STREQ(TraceRefTime(INT64_MAX), "MAX_INT64");
    EXPECT_STREQ(TraceRefTime(INT64_MIN), "MIN_INT64");
    EXPECT_STREQ(TraceRefTime(MIN_INT64), "MIN_INT64");
    EXPECT_STREQ(TraceRefTime(INT64_MAX / 2), "MAX_INT64/2+");
    EXPECT_STREQ(TraceRefTime(INT64_MAX / 2 - 1), "MAX_INT64/4+");
    EXPECT_STREQ(TraceRefTime(INT64_MAX / 4 - 1), "230584300921.369s");
    EXPECT_STREQ(TraceRefTime(INT64_MIN / 2), "MIN_INT64/2-");
    EXPECT_STREQ(TraceOptionalRefTime(nullptr), "NO TIME");
    const REFERENCE_TIME rt = 10000000;
    EXPECT_STREQ(TraceOptionalRefTime(&rt), "1.000s");

    g_dwTraceSwitch.store(0);  // raw 100 ns units, grouped
    EXPECT_STREQ(TraceRefTime(12500000), "12,500,000");
    EXPECT_STREQ(TraceRefTime(-1000), "-1,000");
    EXPECT_STREQ(TraceRefTime(999), "999");
}

TEST_F(TraceFormatterTest, ElapsedStatesAndEvents)
{
    EXPECT_STREQ(TraceElapsedMs(40), "040ms");
    EXPECT_STREQ(TraceElapsedMs(999), "999ms");
    EXPECT_STREQ(TraceElapsedMs(1000), "1.000s");
    EXPECT_STREQ(TraceElapsedMs(61500), "61.500s");
    EXPECT_STREQ(TraceElapsedMs(-40), "-040ms");

    EXPECT_STREQ(TraceFilterState(0), "Stopped");
    EXPECT_STREQ(TraceFilterState(1), "Paused");
    EXPECT_STREQ(TraceFilterState(2), "Running");
    EXPECT_STREQ(TraceFilterState(7), "Unknown (7)");
    EXPECT_STREQ(TraceFilterState(-1), "Unknown (-1)");

    EXPECT_STREQ(TraceEventCode(0x17), "EC_STARVATION");
    EXPECT_STREQ(TraceEventCode(0x01), "EC_COMPLETE");
    EXPECT_STREQ(TraceEventCode(0x301), "EC_UNBUILT");
    EXPECT_STREQ(TraceEventCode(0x1234), "0x00001234");
    EXPECT_STREQ(TraceEventCode(0x0F), "0x0000000F");

    EXPECT_STREQ(TraceHr(MakeHr(0x80050020)), "KVMM_E_DVR_DISCARDED_DATA - You are trying to read discarded data");
}

TEST_F(TraceFormatterTest, OneCallCanPrintAFullRingOfValues)
{
    // Eight sizes and four of everything else in one line stay distinct.
    const std::string str = Fmt("%s %s %s %s %s %s %s %s", TraceBytes(1), TraceBytes(2), TraceBytes(3),
                                TraceBytes(4), TraceBytes(5), TraceBytes(6), TraceBytes(7), TraceBytes(8));
    EXPECT_EQ(str, "1 bytes 2 bytes 3 bytes 4 bytes 5 bytes 6 bytes 7 bytes 8 bytes");
    EXPECT_EQ(Fmt("%s|%s|%s|%s", TraceHr(1), TraceHr(0x80004005), TraceHr(0x12345678), TraceHr(0)),
              "S_FALSE|E_FAIL|0x12345678|S_OK");
    EXPECT_EQ(Fmt("%s|%s|%s|%s", TraceElapsedMs(1), TraceElapsedMs(2), TraceElapsedMs(3), TraceElapsedMs(4)),
              "001ms|002ms|003ms|004ms");
}

TEST_F(TraceFormatterTest, ThreadsDoNotOverwriteEachOthersValues)
{
    // Each thread formats its own values in a tight loop; with shared rings a
    // value would change under its reader (and TSan would see the race).
    auto Worker = [](LONGLONG llBase, bool* pbOk) {
        *pbOk = true;
        for (int i = 0; i < 2000; ++i) {
            const char* psz = TraceBytes(llBase + i % 100);
            char szExpected[32];
            snprintf(szExpected, sizeof(szExpected), "%lld bytes", static_cast<long long>(llBase + i % 100));
            if (strcmp(psz, szExpected) != 0)
                *pbOk = false;
        }
    };
    bool bOk1 = false;
    bool bOk2 = false;
    std::thread t1(Worker, 1000, &bOk1);
    std::thread t2(Worker, 5000, &bOk2);
    t1.join();
    t2.join();
    EXPECT_TRUE(bOk1);
    EXPECT_TRUE(bOk2);
}

}  // namespace
