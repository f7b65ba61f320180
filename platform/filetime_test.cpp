#include "platform/filetime.h"

#include <gtest/gtest.h>

#include <time.h>

#include <array>

namespace {

ULONGLONG FromUnix(LONGLONG llSeconds, int nMs = 0)
{
    return static_cast<ULONGLONG>(llSeconds * kFileTimePerSecond + kFileTimeUnixEpoch +
                                  nMs * kFileTimePerMs);
}

SYSTEMTIME Date(WORD y, WORD m, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0)
{
    return SYSTEMTIME{y, m, 0, d, h, mi, s, ms};
}

// The calendar fields, day of week aside, as one comparable and printable value.
std::array<int, 7> Fields(const SYSTEMTIME& st)
{
    return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace

// Unix times and weekdays from GNU date (date -u -d "..." +%s / +%A).
TEST(FileTime, KnownDatesConvertBothWays)
{
    struct Case {
        LONGLONG llUnix;
        int nMs;
        SYSTEMTIME st;
        WORD wDayOfWeek;
    } cases[] = {
        {-11644473600LL, 0, Date(1601, 1, 1), 1},                       // Monday
        {1715003110LL, 123, Date(2024, 5, 6, 13, 45, 10, 123), 1},      // Monday
        {-2203977600LL, 0, Date(1900, 2, 28), 3},                       // Wednesday
        {13574563200LL, 0, Date(2400, 2, 29), 2},                       // Tuesday
        {910670515199LL, 999, Date(30827, 12, 31, 23, 59, 59, 999), 5}, // Friday
    };
    for (const Case& c : cases) {
        const ULONGLONG ull = FromUnix(c.llUnix, c.nMs);
        FILETIME ft = U64ToFileTime(ull);
        SYSTEMTIME st{};
        ASSERT_EQ(FileTimeToSystemTime(&ft, &st), S_OK) << c.llUnix;
        EXPECT_EQ(Fields(st), Fields(c.st));
        EXPECT_EQ(st.wDayOfWeek, c.wDayOfWeek) << c.llUnix;

        FILETIME ftBack{};
        ASSERT_EQ(SystemTimeToFileTime(&c.st, &ftBack), S_OK);
        EXPECT_EQ(FileTimeToU64(ftBack), ull);
    }
    FILETIME ftZero = U64ToFileTime(0);
    SYSTEMTIME st{};
    ASSERT_EQ(FileTimeToSystemTime(&ftZero, &st), S_OK);
    EXPECT_EQ(st.wYear, 1601);
}

// Every day of 1890..2410 (the century rules of 1900, 2000, 2100, 2400)
// against the C library's own calendar, plus a sub-millisecond remainder that
// must be truncated, not rounded.
TEST(FileTime, AgreesWithCLibraryAcrossCenturyLeapRules)
{
    const LONGLONG llFirst = -2524521600LL;  // 1890-01-01 (GNU date)
    const LONGLONG llLast = 13980211200LL;   // 2413-01-01 (GNU date)
    int nFeb29 = 0;
    for (LONGLONG t = llFirst; t < llLast; t += 86400 + 3661) {
        const LONGLONG tDay = t;  // the stride also walks through the hours of the day
        time_t tt = static_cast<time_t>(tDay);
        tm tmUtc{};
        ASSERT_NE(gmtime_r(&tt, &tmUtc), nullptr);
        FILETIME ft = U64ToFileTime(FromUnix(tDay, 456) + 9999);
        SYSTEMTIME st{};
        ASSERT_EQ(FileTimeToSystemTime(&ft, &st), S_OK);
        ASSERT_EQ(Fields(st), (std::array<int, 7>{tmUtc.tm_year + 1900, tmUtc.tm_mon + 1, tmUtc.tm_mday,
                                                  tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec, 456}))
            << tDay;
        ASSERT_EQ(st.wDayOfWeek, tmUtc.tm_wday) << tDay;
        if (st.wMonth == 2 && st.wDay == 29)
            ++nFeb29;
        FILETIME ftBack{};
        ASSERT_EQ(SystemTimeToFileTime(&st, &ftBack), S_OK);
        ASSERT_EQ(FileTimeToU64(ftBack), FromUnix(tDay, 456));
    }
    // The stride walks through the leap days too, not just around them.
    EXPECT_GT(nFeb29, 0);
}

// The walk above meets only dates that exist; these do not all exist.
TEST(FileTime, LeapDaysFollowTheGregorianRules)
{
    FILETIME ft{};
    for (int y : {1604, 1996, 2000, 2024, 2400, 30824}) {
        SYSTEMTIME st = Date(y, 2, 29);
        EXPECT_EQ(SystemTimeToFileTime(&st, &ft), S_OK) << y;
    }
    for (int y : {1700, 1800, 1900, 2023, 2100, 2200, 2300, 30827}) {
        SYSTEMTIME st = Date(y, 2, 29);
        EXPECT_EQ(SystemTimeToFileTime(&st, &ft), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)) << y;
    }
}

TEST(FileTime, ImpossibleDatesAndRangeEndsAreRefused)
{
    const HRESULT hrBad = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    const SYSTEMTIME bad[] = {
        Date(2024, 13, 1),           Date(2024, 0, 1),        Date(2024, 1, 0),
        Date(2024, 2, 31),           Date(2024, 4, 31),       Date(2024, 1, 32),
        Date(2024, 1, 1, 24),        Date(2024, 1, 1, 0, 60), Date(2024, 1, 1, 0, 0, 60),
        Date(2024, 1, 1, 0, 0, 0, 1000), Date(1600, 12, 31, 23, 59, 59, 999),
        Date(30828, 1, 1),           Date(0, 1, 1),           Date(65535, 12, 31),
    };
    const FILETIME ftSentinel = U64ToFileTime(0x0123456789ABCDEFull);
    for (const SYSTEMTIME& st : bad) {
        FILETIME ft = ftSentinel;
        EXPECT_EQ(SystemTimeToFileTime(&st, &ft), hrBad) << ::testing::PrintToString(Fields(st));
        EXPECT_EQ(FileTimeToU64(ft), FileTimeToU64(ftSentinel));
    }

    // The last 100 ns unit of 30827 converts; the next one does not, and
    // nor does anything with the top bit set.
    SYSTEMTIME stLast = Date(30827, 12, 31, 23, 59, 59, 999);
    FILETIME ft{};
    ASSERT_EQ(SystemTimeToFileTime(&stLast, &ft), S_OK);
    const ULONGLONG ullEnd = FileTimeToU64(ft) + kFileTimePerMs;
    SYSTEMTIME st{};
    ft = U64ToFileTime(ullEnd - 1);
    ASSERT_EQ(FileTimeToSystemTime(&ft, &st), S_OK);
    EXPECT_EQ(Fields(st), Fields(stLast));
    for (ULONGLONG ull : {ullEnd, ULONGLONG{0x7FFFFFFFFFFFFFFF}, ULONGLONG{0x8000000000000000}, ~ULONGLONG{0}}) {
        ft = U64ToFileTime(ull);
        EXPECT_EQ(FileTimeToSystemTime(&ft, &st), hrBad) << ull;
    }
    EXPECT_EQ(FileTimeToSystemTime(nullptr, &st), E_POINTER);
    EXPECT_EQ(SystemTimeToFileTime(&stLast, nullptr), E_POINTER);
}
