// Times as users type them: ISO 8601 in its common forms and the
// receive-time log's form, both to the same instant.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/filetime.h"
#include "tools/timearg.h"

namespace {

// 2024-05-06 13:45:10 UTC: Unix 1715003110 (GNU date -d) as a file time.
constexpr LONGLONG kT = 1715003110LL * 10000000LL + 116444736000000000LL;

}  // namespace

TEST(CTimeArgTest, EveryFormNamesTheSameInstant)
{
    struct
    {
        const char* psz;
        LONGLONG ll;
    } cases[] = {
        {"2024-05-06T13:45:10Z", kT},
        {"2024-05-06t13:45:10z", kT},
        {"2024-05-06 13:45:10Z", kT},
        {"2024-05-06T13:45Z", kT - 10 * kFileTimePerSecond},
        {"2024-05-06T13:45:10.123Z", kT + 1230000},
        {"2024-05-06T13:45:10,5Z", kT + 5000000},
        {"2024-05-06T13:45:10.12345678Z", kT + 1234567},  // beyond 100 ns: cut
        {"2024-05-06T15:45:10+02:00", kT},
        {"2024-05-06T15:45:10+0200", kT},
        {"2024-05-06T08:45:10-05", kT},
        {"2024_05_06__13_45_10_123", kT + 1230000},
        {"cam1_2024_05_06__13_45_10_123.ts", kT + 1230000},
    };
    for (const auto& c : cases) {
        LONGLONG ll = 0;
        std::string strWhy;
        EXPECT_TRUE(ParseTimeArg(c.psz, &ll, &strWhy)) << c.psz << ": " << strWhy;
        EXPECT_EQ(ll, c.ll) << c.psz;
    }
    EXPECT_EQ(FormatFileTime(kT + 1239999), "2024-05-06T13:45:10.123Z");

    // Without a zone: the local time of the process's zone.
    const char* pszOld = getenv("TZ");
    const std::string strOld = pszOld ? pszOld : "";
    setenv("TZ", "EST5", 1);
    tzset();
    LONGLONG ll = 0;
    std::string strWhy;
    EXPECT_TRUE(ParseTimeArg("2024-05-06T08:45:10", &ll, &strWhy)) << strWhy;
    EXPECT_EQ(ll, kT);
    if (pszOld)
        setenv("TZ", strOld.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(CTimeArgTest, MalformedAndImpossibleTimesAreRefusedWithAReason)
{
    for (const char* psz : {"", "yesterday", "2024-05-06", "2024-05-06T13", "2024-05-06T1:45:10Z",
                            "2024-05-06T13:45:10.Z", "2024-05-06T13:45:10Zjunk", "2024-02-30T13:45:10Z",
                            "2023-02-29T00:00:00Z", "2024-05-06T24:00:00Z", "2024-05-06T13:60:00Z",
                            "2024-05-06T13:45:61Z", "2024-05-06T13:45:10+25:00", "2024_13_06__13_45_10_123",
                            "2024_05_06__13_45_10_12"}) {
        LONGLONG ll = 7;
        std::string strWhy;
        EXPECT_FALSE(ParseTimeArg(psz, &ll, &strWhy)) << psz;
        EXPECT_FALSE(strWhy.empty()) << psz;
    }
}
