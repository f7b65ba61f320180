// Minimal trace back end: formats to standard error when enabled. The file
// writer, prefixes and formatters are being filled in.
#include "dshowflt/common/trace/trace.h"

#include <cstdarg>
#include <cstdio>

std::atomic<uint32_t> g_dwTraceSwitch{TRACE_SWITCH_DEFAULT};

static void TraceV(const char* pszFormat, va_list args)
{
    char sz[2048];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    Output(sz);
}

void Trace(const char* pszFormat, ...)
{
    if (!TraceOn())
        return;
    va_list args;
    va_start(args, pszFormat);
    TraceV(pszFormat, args);
    va_end(args);
}

void TraceForced(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    TraceV(pszFormat, args);
    va_end(args);
}

HRESULT TraceError(HRESULT hr, int nLine, const char* pszFile)
{
    Trace("\n %s(%d): TARN Error: %s \n", pszFile, nLine, TraceHr(hr));
    return hr;
}

void Output(const char* pszText)
{
    if (g_dwTraceSwitch.load(std::memory_order_relaxed) & TRACE_TO_DEBUGGER)
        fputs(pszText, stderr);
}

void TraceHexDump(const void*, size_t) {}
void FlushTrace() {}
void SetTraceFile(const char*) {}

static char* RingSlot()
{
    thread_local char s_ring[4][128];
    thread_local unsigned s_i;
    return s_ring[s_i++ % 4];
}

const char* TraceHr(HRESULT hr)
{
    char* p = RingSlot();
    snprintf(p, 128, "0x%08X", static_cast<unsigned>(hr));
    return p;
}
const char* TraceRefTime(REFERENCE_TIME rt)
{
    char* p = RingSlot();
    snprintf(p, 128, "%lld", static_cast<long long>(rt));
    return p;
}
const char* TraceBytes(LONGLONG cb)
{
    char* p = RingSlot();
    snprintf(p, 128, "%lld bytes", static_cast<long long>(cb));
    return p;
}
const char* TraceElapsedMs(LONGLONG ms)
{
    char* p = RingSlot();
    snprintf(p, 128, "%lldms", static_cast<long long>(ms));
    return p;
}
const char* TraceFilterState(int n)
{
    char* p = RingSlot();
    snprintf(p, 128, "%d", n);
    return p;
}
const char* TraceEventCode(long l)
{
    char* p = RingSlot();
    snprintf(p, 128, "0x%08lX", l);
    return p;
}
