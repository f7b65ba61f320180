// Trace lines from the platform layer. The trace facility sits above the
// platform, so the platform cannot call it; instead it installs a sink here
// and the platform reports bad input (a corrupt registry store, a component
// that cannot be loaded) through it. Without a sink the lines are dropped.
#pragma once

typedef void (*PFN_PLATFORM_TRACE)(const char* pszLine);

// Any thread; the sink must be callable from any thread and must not call
// back into the platform function that is reporting.
void SetPlatformTraceSink(PFN_PLATFORM_TRACE pfn);

// Formats one line (the convention: it begins with "\n" and names the
// class or function) and hands it to the sink.
void PlatformTrace(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
