// Process-wide trace facility. Every component traces through here; with
// tracing off (the default) a call costs one relaxed load and one bit test.
//
// Developers switch it on from the environment:
//   KV_TRACE=0x4E       the switch word (hex or decimal)
//   KV_TRACE_FILE=path  the trace file (default: <temp folder>/TARNTrace.txt)
#pragma once

#include <atomic>
#include <cstdint>

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

// Read with relaxed order from any thread: one load and one bit test.
extern std::atomic<uint32_t> g_dwTraceSwitch;

inline bool TraceOn()
{
    return (g_dwTraceSwitch.load(std::memory_order_relaxed) & TRACE_ENABLED) != 0;
}

// printf-style, with %S taking a WCHAR (UTF-16) string. Lines begin with a
// line feed and name the class and operation: "\nCFoo::Bar(): ...".
void Trace(const char* pszFormat, ...);
// Traces "\n %s(%d): TARN Error: %s \n" with file, line and status name, and
// returns hr unchanged so it can wrap a return statement.
HRESULT TraceError(HRESULT hr, int nLine, const char* pszFile);
// Trace with time, thread id, enabled and debugger bits forced on for the
// one call.
void TraceForced(const char* pszFormat, ...);
// Adds the line prefix and sends the text to the enabled outputs.
void Output(const char* pszText);
void TraceHexDump(const void* pv, size_t cb);
// Writes pending file output now.
void FlushTrace();
// Sets the trace file path (at most 260 units).
void SetTraceFile(const char* pszPathUtf8);

#define TRACE_HR(hr) TraceError((hr), __LINE__, __FILE__)

// Formatters for trace arguments. Each returns text from a small per-thread
// ring of buffers, so several values can appear in one trace call.
const char* TraceHr(HRESULT hr);               // status name and text
const char* TraceRefTime(REFERENCE_TIME rt);   // "1.250s", "MAX_INT64", ...
const char* TraceBytes(LONGLONG cb);           // "5000 bytes", "1953KB", "1.907MB"
const char* TraceElapsedMs(LONGLONG ms);       // "1.500s", "040ms"
const char* TraceFilterState(int nState);      // "Stopped", "Paused", "Running"
const char* TraceEventCode(long lCode);        // "EC_STARVATION"
