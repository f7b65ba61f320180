#include "platform/log.h"

#include <atomic>
#include <cstdio>

namespace {

// Constant-initialised, so a hook installed from another library's static
// constructor is never overwritten by this file's own initialisation.
std::atomic<const PlatformLogHook*> g_pHook{nullptr};

}  // namespace

void SetPlatformLogHook(const PlatformLogHook* pHook)
{
    g_pHook.store(pHook, std::memory_order_release);
}

void PlatformLog(const char* pszFormat, ...)
{
    const PlatformLogHook* pHook = g_pHook.load(std::memory_order_acquire);
    if (pHook == nullptr || pHook->pfnLineV == nullptr)
        return;
    va_list args;
    va_start(args, pszFormat);
    pHook->pfnLineV(pszFormat, args);
    va_end(args);
}

const char* PlatformStatusName(HRESULT hr)
{
    const PlatformLogHook* pHook = g_pHook.load(std::memory_order_acquire);
    if (pHook != nullptr && pHook->pfnStatusName != nullptr)
        return pHook->pfnStatusName(hr);
    // A small ring, so that two codes can appear in one line.
    thread_local char s_asz[4][16];
    thread_local unsigned s_i = 0;
    char* psz = s_asz[s_i++ % 4];
    snprintf(psz, sizeof(s_asz[0]), "0x%08X", static_cast<unsigned>(hr));
    return psz;
}
