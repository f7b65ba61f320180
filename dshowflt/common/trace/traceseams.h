// Seams of the trace facility for tests: where the "debugger output" goes
// and which clock the time-of-day prefix reads. Production code never calls
// these.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

// Receives every line sent to the debugger output, prefix included. nullptr
// restores standard error. Calls are serialised, one per line.
typedef void (*PFNTRACEDEBUGOUT)(void* pvContext, const char* psz, size_t cb);
void SetTraceDebugOutputForTest(PFNTRACEDEBUGOUT pfn, void* pvContext);

// Replaces the monotonic millisecond counter behind the time of day: a line
// is stamped llStartMsOfDay + pfnNowMs(). nullptr restores the real clock.
// Either way the "previous line" of the empty-line rule is forgotten.
typedef LONGLONG (*PFNTRACECLOCK)();
void SetTraceClockForTest(PFNTRACECLOCK pfnNowMs, LONGLONG llStartMsOfDay);
