#include "platform/platformtrace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

// Constant-initialised, so hooks installed from another library's static
// constructor are never overwritten by this file's own initialisation.
std::atomic<PFN_PLATFORM_TRACE> g_pfnSink{nullptr};
std::atomic<PFN_PLATFORM_TRACE_ON> g_pfnOn{nullptr};
std::atomic<PFN_PLATFORM_STATUS_NAME> g_pfnStatusName{nullptr};

}  // namespace

void SetPlatformTraceSink(PFN_PLATFORM_TRACE pfn)
{
    g_pfnOn.store(nullptr, std::memory_order_release);
    g_pfnSink.store(pfn, std::memory_order_release);
}

void SetPlatformTraceHooks(PFN_PLATFORM_TRACE pfnSink, PFN_PLATFORM_TRACE_ON pfnOn,
                           PFN_PLATFORM_STATUS_NAME pfnStatusName)
{
    g_pfnOn.store(pfnOn, std::memory_order_release);
    g_pfnStatusName.store(pfnStatusName, std::memory_order_release);
    g_pfnSink.store(pfnSink, std::memory_order_release);
}

void PlatformTrace(const char* pszFormat, ...)
{
    PFN_PLATFORM_TRACE pfn = g_pfnSink.load(std::memory_order_acquire);
    if (!pfn)
        return;
    PFN_PLATFORM_TRACE_ON pfnOn = g_pfnOn.load(std::memory_order_acquire);
    if (pfnOn && !pfnOn())
        return;
    char sz[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    pfn(sz);
}

const char* PlatformStatusName(HRESULT hr)
{
    PFN_PLATFORM_STATUS_NAME pfn = g_pfnStatusName.load(std::memory_order_acquire);
    if (pfn)
        return pfn(hr);
    // A small ring, so that two codes can appear in one line.
    thread_local char s_asz[4][16];
    thread_local unsigned s_i = 0;
    char* psz = s_asz[s_i++ % 4];
    snprintf(psz, sizeof(s_asz[0]), "0x%08X", static_cast<unsigned>(hr));
    return psz;
}
