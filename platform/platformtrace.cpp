#include "platform/platformtrace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

std::atomic<PFN_PLATFORM_TRACE> g_pfnSink{nullptr};

}  // namespace

void SetPlatformTraceSink(PFN_PLATFORM_TRACE pfn) { g_pfnSink.store(pfn, std::memory_order_release); }

void PlatformTrace(const char* pszFormat, ...)
{
    PFN_PLATFORM_TRACE pfn = g_pfnSink.load(std::memory_order_acquire);
    if (!pfn)
        return;
    char sz[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    pfn(sz);
}
