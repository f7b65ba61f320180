// The trace facility's printf engine.
//
// Trace lines are written with Windows-era format strings: %S (and %ls) take
// a WCHAR (UTF-16) string, %C (and %lc) a WCHAR character, and %I64d/%I64u/
// %I64x a 64-bit integer. The C library reads %S as a wchar_t string, which is
// 32 bits wide here, so the engine walks the format itself: it pulls each
// argument with va_arg by its conversion and hands ordinary conversions to
// snprintf one at a time.
#pragma once

#include <cstdarg>
#include <cstddef>

// Size of the buffer a trace call formats into, terminator included; longer
// lines are cut.
constexpr size_t kTraceLineMax = 2048;

// Formats into psz (cch bytes including the terminator). The text is always
// terminated and cut at cch - 1 bytes. Returns the length written. %n is
// ignored (its argument is consumed but never written through); an unknown
// conversion is copied as it stands.
size_t FormatTraceV(char* psz, size_t cch, const char* pszFormat, va_list args);
size_t FormatTrace(char* psz, size_t cch, const char* pszFormat, ...);
