#include "platform/filetime.h"

#include <time.h>

namespace {

// Days since 1601-01-01 of a proleptic Gregorian date (month and day already
// checked). Counted in 400-year eras of 146097 days, with March as the first
// month so that the leap day falls at the end of the counted year.
LONGLONG DaysFrom1601(LONGLONG y, LONGLONG m, LONGLONG d)
{
    y -= m <= 2 ? 1 : 0;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const LONGLONG yoe = y - era * 400;                                // [0, 399]
    const LONGLONG doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;  // [0, 365]
    const LONGLONG doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;         // [0, 146096]
    // 0000-03-01 is day 0 of the eras; 1601-01-01 is day 584694 from there.
    return era * 146097 + doe - 584694;
}

void DateFromDays1601(LONGLONG z, LONGLONG* py, LONGLONG* pm, LONGLONG* pd)
{
    z += 584694;
    const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    const LONGLONG doe = z - era * 146097;
    const LONGLONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const LONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const LONGLONG mp = (5 * doy + 2) / 153;
    *pd = doy - (153 * mp + 2) / 5 + 1;
    *pm = mp < 10 ? mp + 3 : mp - 9;
    *py = yoe + era * 400 + (*pm <= 2 ? 1 : 0);
}

bool IsLeapYear(LONGLONG y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(LONGLONG y, LONGLONG m)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

constexpr LONGLONG kFirstYear = 1601;
constexpr LONGLONG kLastYear = 30827;

// First file time that no longer has a calendar time: 30828-01-01 00:00.
LONGLONG FileTimeEnd()
{
    return DaysFrom1601(kLastYear + 1, 1, 1) * kFileTimePerDay;
}

ULONGLONG FileTimeFromTimespec(const timespec& ts)
{
    return static_cast<ULONGLONG>(static_cast<LONGLONG>(ts.tv_sec) * kFileTimePerSecond +
                                  ts.tv_nsec / 100 + kFileTimeUnixEpoch);
}

}  // namespace

HRESULT FileTimeToSystemTime(const FILETIME* pft, SYSTEMTIME* pst)
{
    if (!pft || !pst)
        return E_POINTER;
    const ULONGLONG ull = FileTimeToU64(*pft);
    if (ull >= static_cast<ULONGLONG>(FileTimeEnd()))
        return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    const LONGLONG ll = static_cast<LONGLONG>(ull);
    const LONGLONG llDays = ll / kFileTimePerDay;
    LONGLONG llRest = ll % kFileTimePerDay;
    LONGLONG y, m, d;
    DateFromDays1601(llDays, &y, &m, &d);
    pst->wYear = static_cast<WORD>(y);
    pst->wMonth = static_cast<WORD>(m);
    pst->wDay = static_cast<WORD>(d);
    // 1601-01-01 was a Monday.
    pst->wDayOfWeek = static_cast<WORD>((llDays + 1) % 7);
    pst->wHour = static_cast<WORD>(llRest / (3600 * kFileTimePerSecond));
    llRest %= 3600 * kFileTimePerSecond;
    pst->wMinute = static_cast<WORD>(llRest / (60 * kFileTimePerSecond));
    llRest %= 60 * kFileTimePerSecond;
    pst->wSecond = static_cast<WORD>(llRest / kFileTimePerSecond);
    llRest %= kFileTimePerSecond;
    pst->wMilliseconds = static_cast<WORD>(llRest / kFileTimePerMs);
    return S_OK;
}

HRESULT SystemTimeToFileTime(const SYSTEMTIME* pst, FILETIME* pft)
{
    if (!pst || !pft)
        return E_POINTER;
    const LONGLONG y = pst->wYear, m = pst->wMonth, d = pst->wDay;
    if (y < kFirstYear || y > kLastYear || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m) ||
        pst->wHour > 23 || pst->wMinute > 59 || pst->wSecond > 59 || pst->wMilliseconds > 999)
        return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    const LONGLONG llSeconds =
        DaysFrom1601(y, m, d) * 86400 + pst->wHour * 3600LL + pst->wMinute * 60LL + pst->wSecond;
    *pft = U64ToFileTime(static_cast<ULONGLONG>(llSeconds * kFileTimePerSecond +
                                                pst->wMilliseconds * kFileTimePerMs));
    return S_OK;
}

void GetSystemTimeAsFileTime(FILETIME* pft)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    *pft = U64ToFileTime(FileTimeFromTimespec(ts));
}

void GetSystemTime(SYSTEMTIME* pst)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    if (FAILED(FileTimeToSystemTime(&ft, pst)))
        *pst = SYSTEMTIME{};  // only for a clock set past year 30827
}

void GetLocalTime(SYSTEMTIME* pst)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm tmLocal{};
    time_t t = ts.tv_sec;
    if (!localtime_r(&t, &tmLocal)) {
        GetSystemTime(pst);
        return;
    }
    pst->wYear = static_cast<WORD>(tmLocal.tm_year + 1900);
    pst->wMonth = static_cast<WORD>(tmLocal.tm_mon + 1);
    pst->wDayOfWeek = static_cast<WORD>(tmLocal.tm_wday);
    pst->wDay = static_cast<WORD>(tmLocal.tm_mday);
    pst->wHour = static_cast<WORD>(tmLocal.tm_hour);
    pst->wMinute = static_cast<WORD>(tmLocal.tm_min);
    // A leap second (60) reads as the last millisecond of the minute.
    if (tmLocal.tm_sec > 59) {
        pst->wSecond = 59;
        pst->wMilliseconds = 999;
        return;
    }
    pst->wSecond = static_cast<WORD>(tmLocal.tm_sec);
    pst->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}
