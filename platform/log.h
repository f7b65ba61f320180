// The platform layer's diagnostic lines. platform/ sits below the trace
// facility and must not call it; the trace facility installs itself here
// when it is linked in. Without it, lines are dropped: a program made of
// platform code alone has no trace output to send them to.
#pragma once

#include <cstdarg>

#include "platform/hresult.h"

struct PlatformLogHook
{
    // Formats and writes one line (printf-style, as Trace takes it). Cheap
    // when tracing is off: the hook tests its own switch first.
    void (*pfnLineV)(const char* pszFormat, va_list args);
    // A status code's name and text, from a buffer that stays valid for a
    // few more calls on this thread.
    const char* (*pfnStatusName)(HRESULT hr);
};

// pHook must live as long as the process (nullptr removes it). Any thread
// may install or log at any time.
void SetPlatformLogHook(const PlatformLogHook* pHook);

// Lines begin with a line feed and name the class and operation, like every
// trace line: "\nCFoo::Bar(): ...".
void PlatformLog(const char* pszFormat, ...);
// The status's name through the hook, or "0x%08X" without one.
const char* PlatformStatusName(HRESULT hr);
