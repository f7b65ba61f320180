// Process-wide trace facility. Every component traces through here; with
// tracing off (the default) a call costs one relaxed load and one bit test.
//
// Developers switch it on from the environment, read once at start-up:
//   KV_TRACE=0x4E       the switch word (hex with 0x, or decimal)
//   KV_TRACE_FILE=path  the trace file (default: TARNTrace.txt in $TMPDIR or
//                       /tmp); a folder gets a TARNTrace.txt inside it
//
// A line that begins with a line feed gets a prefix: each leading LF becomes
// CR LF, then (by switch bits) the time of day "hh:mm:ss.mmm: ", the number
// of open descriptors "%4d " and the thread id "%08x: ". Text that does not
// begin with a line feed continues the previous line unprefixed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/hresult.h"

// Bits of the switch word.
constexpr uint32_t TRACE_TO_FILE = 0x01;
constexpr uint32_t TRACE_TIME_OF_DAY = 0x02;
constexpr uint32_t TRACE_THREAD_ID = 0x04;
constexpr uint32_t TRACE_ENABLED = 0x08;
constexpr uint32_t TRACE_REFTIME_SECONDS = 0x10;
constexpr uint32_t TRACE_HANDLE_COUNT = 0x20;
constexpr uint32_t TRACE_TO_DEBUGGER = 0x40;  // standard error here
constexpr uint32_t TRACE_SWITCH_DEFAULT = 0x10;
constexpr uint32_t TRACE_FORCED_BITS = 0x4E;

// Read with relaxed order from any thread: one load and one bit test. The
// trace calls of every thread read this word, and a data race on it would be
// undefined behaviour (and noise under TSan); a relaxed atomic load compiles
// to the same single load.
extern std::atomic<uint32_t> g_dwTraceSwitch;

inline bool TraceOn()
{
    return (g_dwTraceSwitch.load(std::memory_order_relaxed) & TRACE_ENABLED) != 0;
}

// printf-style, with %S (and %ls) taking a WCHAR (UTF-16) string, %C a WCHAR
// character and %I64d a 64-bit integer; the line is cut at 2047 bytes. Lines
// begin with a line feed and name the class and operation:
// "\nCFoo::Bar(): ...".
void Trace(const char* pszFormat, ...);
// Traces "\n %s(%d): TARN Error: %s \n" with file, line and status name, and
// returns hr unchanged so it can wrap a return statement.
HRESULT TraceError(HRESULT hr, int nLine, const char* pszFile);
// Trace with time, thread id, enabled and debugger bits forced on for the
// one call. The bits are added for this call only; the shared switch word is
// not touched, so other threads are not switched on meanwhile.
void TraceForced(const char* pszFormat, ...);
// Adds the line prefix and sends the text to the enabled outputs: standard
// error (our debugger output) and the trace file.
void Output(const char* pszText);
// One line per 16 bytes: "%02X " pairs, then the bytes as characters with a
// non-printable byte shown as '.'.
void TraceHexDump(const void* pv, size_t cb);
// Writes pending file output now.
void FlushTrace();
// Sets the trace file path (cut at 259 UTF-16 units); nullptr or "" restores
// the default.
void SetTraceFile(const char* pszPathUtf8);
// The current trace file path.
std::string GetTraceFile();

#define TRACE_HR(hr) TraceError((hr), __LINE__, __FILE__)

// Formatters for trace arguments. Each returns text from a small per-thread
// ring of buffers, so several values can appear in one trace call.
const char* TraceHr(HRESULT hr);               // status name and text
const char* TraceRefTime(REFERENCE_TIME rt);   // "1.250s", "MAX_INT64", ...
const char* TraceOptionalRefTime(const REFERENCE_TIME* prt);  // nullptr: "NO TIME"
const char* TraceBytes(LONGLONG cb);           // "5000 bytes", "1953KB", "1.907MB"
const char* TraceElapsedMs(LONGLONG ms);       // "1.500s", "040ms"
const char* TraceFilterState(int nState);      // "Stopped", "Paused", "Running"
const char* TraceEventCode(long lCode);        // "EC_STARVATION"
