// Trace lines from the platform layer. The trace facility sits above the
// platform, so the platform cannot call it; instead the trace facility
// installs its hooks here when it is linked in, and the platform reports bad
// input (a corrupt registry store, a component that cannot be loaded, a
// delivery that failed) through them. Without a sink the lines are dropped.
#pragma once

#include "platform/hresult.h"

typedef void (*PFN_PLATFORM_TRACE)(const char* pszLine);
// True when lines are wanted at all; lets a line cost one test when off.
typedef bool (*PFN_PLATFORM_TRACE_ON)();
// A status code's name and text, from a buffer that stays valid for a few
// more calls on the calling thread.
typedef const char* (*PFN_PLATFORM_STATUS_NAME)(HRESULT hr);

// Any thread; the sink must be callable from any thread and must not call
// back into the platform function that is reporting. The sink gets every
// line (no on-test); the status names stay as they were.
void SetPlatformTraceSink(PFN_PLATFORM_TRACE pfn);
// All three at once, as the trace facility installs them (nullptr: none).
void SetPlatformTraceHooks(PFN_PLATFORM_TRACE pfnSink, PFN_PLATFORM_TRACE_ON pfnOn,
                           PFN_PLATFORM_STATUS_NAME pfnStatusName);

// Formats one line (the convention: it begins with "\n" and names the
// class or function) and hands it to the sink.
void PlatformTrace(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// The status's name and text through the hook, or "0x%08X" without one.
const char* PlatformStatusName(HRESULT hr);
