// Times on the command line (see timearg.h).
#include "tools/timearg.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "dshowflt/mpegdemux/kvudpsrc/net/offsetlogger.h"
#include "platform/filetime.h"

namespace {

// Exactly n decimal digits at *ppsz; moves past them.
bool Digits(const char** ppsz, int n, int* pn)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const char ch = (*ppsz)[i];
        if (ch < '0' || ch > '9')
            return false;
        v = v * 10 + (ch - '0');
    }
    *ppsz += n;
    *pn = v;
    return true;
}

// Answers 1 for a full ISO 8601 date and time, 0 for text that is not one
// (the caller tries the other form), -1 for one that is malformed or names no
// real time (with the reason).
int ParseIso(const char* psz, LONGLONG* pll, std::string* pstrWhy)
{
    const char* p = psz;
    int nYear, nMonth, nDay, nHour, nMinute, nSecond = 0;
    if (!Digits(&p, 4, &nYear) || *p++ != '-' || !Digits(&p, 2, &nMonth) || *p++ != '-' || !Digits(&p, 2, &nDay))
        return 0;
    if (*p != 'T' && *p != 't' && *p != ' ') {
        *pstrWhy = "a time of day must follow the date (2024-05-06T13:45:10Z)";
        return -1;
    }
    ++p;
    if (!Digits(&p, 2, &nHour) || *p++ != ':' || !Digits(&p, 2, &nMinute)) {
        *pstrWhy = "the time of day is hh:mm[:ss[.fff]]";
        return -1;
    }
    LONGLONG llFraction = 0;  // 100 ns units
    if (*p == ':') {
        ++p;
        if (!Digits(&p, 2, &nSecond)) {
            *pstrWhy = "the seconds are two digits";
            return -1;
        }
        if (*p == '.' || *p == ',') {
            ++p;
            if (!isdigit(static_cast<unsigned char>(*p))) {
                *pstrWhy = "a digit must follow the decimal point";
                return -1;
            }
            LONGLONG llScale = 1000000;
            for (; isdigit(static_cast<unsigned char>(*p)); ++p, llScale /= 10)
                llFraction += (*p - '0') * llScale;  // digits past 100 ns add 0
        }
    }
    bool bZone = false;
    LONGLONG llZoneMinutes = 0;
    if (*p == 'Z' || *p == 'z') {
        bZone = true;
        ++p;
    } else if (*p == '+' || *p == '-') {
        const int nSign = *p++ == '-' ? -1 : 1;
        int nZoneHour, nZoneMinute = 0;
        if (!Digits(&p, 2, &nZoneHour)) {
            *pstrWhy = "the zone offset is +hh[:mm]";
            return -1;
        }
        if (*p == ':')
            ++p;
        if (isdigit(static_cast<unsigned char>(*p)) && !Digits(&p, 2, &nZoneMinute)) {
            *pstrWhy = "the zone offset is +hh[:mm]";
            return -1;
        }
        if (nZoneHour > 23 || nZoneMinute > 59) {
            *pstrWhy = "no such zone offset";
            return -1;
        }
        bZone = true;
        llZoneMinutes = nSign * (nZoneHour * 60 + nZoneMinute);
    }
    if (*p != 0) {
        *pstrWhy = std::string("unexpected '") + p + "' after the time";
        return -1;
    }
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(nYear);
    st.wMonth = static_cast<WORD>(nMonth);
    st.wDay = static_cast<WORD>(nDay);
    st.wHour = static_cast<WORD>(nHour);
    st.wMinute = static_cast<WORD>(nMinute);
    st.wSecond = static_cast<WORD>(nSecond);
    FILETIME ft;
    if (nHour > 23 || nMinute > 59 || nSecond > 59 || FAILED(SystemTimeToFileTime(&st, &ft))) {
        *pstrWhy = "no such date or time";
        return -1;
    }
    LONGLONG ll = static_cast<LONGLONG>(FileTimeToU64(ft));
    if (bZone) {
        ll -= llZoneMinutes * 60 * kFileTimePerSecond;
    } else {
        // Local time: the C library knows the zone and its daylight saving.
        tm t{};
        t.tm_year = nYear - 1900;
        t.tm_mon = nMonth - 1;
        t.tm_mday = nDay;
        t.tm_hour = nHour;
        t.tm_min = nMinute;
        t.tm_sec = nSecond;
        t.tm_isdst = -1;
        const time_t tt = mktime(&t);
        if (tt == static_cast<time_t>(-1)) {
            *pstrWhy = "no such local time";
            return -1;
        }
        ll = static_cast<LONGLONG>(tt) * kFileTimePerSecond + kFileTimeUnixEpoch;
    }
    *pll = ll + llFraction;
    return 1;
}

}  // namespace

bool ParseTimeArg(const char* psz, LONGLONG* pllFileTime, std::string* pstrWhy)
{
    const int n = ParseIso(psz, pllFileTime, pstrWhy);
    if (n != 0)
        return n > 0;
    double d = 0;
    const HRESULT hr = COffsetLogger::ConvertStringToTime(Utf8ToWide(psz).c_str(), &d);
    if (hr == E_INVALIDARG) {
        *pstrWhy = "not a time: ISO 8601 (2024-05-06T13:45:10.123Z) or YYYY_MM_DD__hh_mm_ss_mmm (UTC)";
        return false;
    }
    if (FAILED(hr)) {
        *pstrWhy = "no such date or time";
        return false;
    }
    *pllFileTime = static_cast<LONGLONG>(d);
    return true;
}

FnSetOption SetTime(LONGLONG* pllFileTime)
{
    return [pllFileTime](const char* psz, std::string* pstrWhy) { return ParseTimeArg(psz, pllFileTime, pstrWhy); };
}

std::string FormatFileTime(LONGLONG llFileTime)
{
    SYSTEMTIME st{};
    const FILETIME ft = U64ToFileTime(static_cast<ULONGLONG>(llFileTime));
    if (llFileTime < 0 || FAILED(FileTimeToSystemTime(&ft, &st)))
        return "(no time)";
    char sz[64];
    snprintf(sz, sizeof(sz), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond, st.wMilliseconds);
    return sz;
}

std::string FormatSeconds(LONGLONG ll100ns)
{
    char sz[40];
    snprintf(sz, sizeof(sz), "%.3f", static_cast<double>(ll100ns) / 1e7);
    return sz;
}
