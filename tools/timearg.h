// Times on the command line and in output: the forms a user types to ask
// for a part of a recording by the clock, and the one the tools print.
#pragma once

#include <string>

#include "tools/cli.h"
#include "platform/wintypes.h"

// Parses a time into a file time (100 ns units since 1601-01-01 UTC):
//   - ISO 8601 with the date: "2024-05-06T13:45:10.123Z", a space instead of
//     the T, any number of fraction digits, "Z" or an offset ("+02:00",
//     "+0200", "-05") for the zone; without a zone the local time is meant;
//   - the receive-time log's form "YYYY_MM_DD__hh_mm_ss_mmm" (UTC), with any
//     prefix and suffix ("cam1_2024_05_06__13_45_10_123.ts").
// false with the reason ("no such date", "not a time: ...").
bool ParseTimeArg(const char* psz, LONGLONG* pllFileTime, std::string* pstrWhy);

// The option setter of a time (ParseTimeArg).
FnSetOption SetTime(LONGLONG* pllFileTime);

// "2024-05-06T13:45:10.123Z": UTC to the millisecond (truncated).
std::string FormatFileTime(LONGLONG llFileTime);
// Seconds with three decimals ("12.345").
std::string FormatSeconds(LONGLONG ll100ns);
