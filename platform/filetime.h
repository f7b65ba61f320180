// Calendar time: file times (100 ns units since 1601-01-01 00:00 UTC) and
// broken-down calendar times, with the value ranges of the original platform.
// Receive times are handed to applications as file times and converted to
// text and back, so the conversions are exact integer arithmetic on the
// proleptic Gregorian calendar, with no dependence on time_t's range.
#pragma once

#include "platform/hresult.h"
#include "platform/wintypes.h"

struct FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME
{
    WORD wYear;          // 1601..30827
    WORD wMonth;         // 1..12
    WORD wDayOfWeek;     // 0 = Sunday; ignored by SystemTimeToFileTime
    WORD wDay;           // 1..31
    WORD wHour;          // 0..23
    WORD wMinute;        // 0..59
    WORD wSecond;        // 0..59
    WORD wMilliseconds;  // 0..999
};

// 100 ns units per millisecond, second and day.
constexpr LONGLONG kFileTimePerMs = 10000;
constexpr LONGLONG kFileTimePerSecond = 10000000;
constexpr LONGLONG kFileTimePerDay = 86400LL * kFileTimePerSecond;

// File time of 1970-01-01 00:00 UTC.
constexpr LONGLONG kFileTimeUnixEpoch = 116444736000000000LL;

inline ULONGLONG FileTimeToU64(const FILETIME& ft)
{
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME U64ToFileTime(ULONGLONG ull)
{
    return FILETIME{static_cast<DWORD>(ull), static_cast<DWORD>(ull >> 32)};
}

// UTC file time -> calendar time, truncated to the millisecond. Values past
// 30827-12-31 23:59:59.999 (the last calendar time the reverse conversion
// takes) are refused with HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), so
// that every calendar time produced converts back.
[[nodiscard]] HRESULT FileTimeToSystemTime(const FILETIME* pft, SYSTEMTIME* pst);

// Calendar time -> UTC file time. An impossible date (month 13, 31 February,
// 29 February of a common year, millisecond 1000, a year outside
// 1601..30827) is refused with HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER).
[[nodiscard]] HRESULT SystemTimeToFileTime(const SYSTEMTIME* pst, FILETIME* pft);

// The current UTC time of the system clock.
void GetSystemTimeAsFileTime(FILETIME* pft);
void GetSystemTime(SYSTEMTIME* pst);
// The current local time (the process's time zone), for time-of-day output.
void GetLocalTime(SYSTEMTIME* pst);
