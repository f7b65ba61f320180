#include "platform/bstr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/wtext.h"

namespace {

// The prefix stays 4 bytes even though malloc aligns to 16, so that the text
// starts 4 bytes into the block as code written for the original layout
// expects when it steps back from the pointer.
constexpr size_t kPrefix = sizeof(uint32_t);

}  // namespace

BSTR SysAllocStringLen(LPCWSTR pch, UINT cch)
{
    const size_t cb = static_cast<size_t>(cch) * sizeof(WCHAR);
    if (cb > UINT32_MAX - kPrefix - sizeof(WCHAR))
        return nullptr;
    BYTE* pBlock = static_cast<BYTE*>(malloc(kPrefix + cb + sizeof(WCHAR)));
    if (!pBlock)
        return nullptr;
    const uint32_t cbPrefix = static_cast<uint32_t>(cb);
    pBlock[0] = static_cast<BYTE>(cbPrefix);
    pBlock[1] = static_cast<BYTE>(cbPrefix >> 8);
    pBlock[2] = static_cast<BYTE>(cbPrefix >> 16);
    pBlock[3] = static_cast<BYTE>(cbPrefix >> 24);
    BSTR bstr = reinterpret_cast<BSTR>(pBlock + kPrefix);
    if (pch && cb)
        memcpy(bstr, pch, cb);
    bstr[cch] = 0;
    return bstr;
}

BSTR SysAllocString(LPCWSTR psz)
{
    if (!psz)
        return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(WStrLen(psz)));
}

void SysFreeString(BSTR bstr)
{
    if (bstr)
        free(reinterpret_cast<BYTE*>(bstr) - kPrefix);
}

UINT SysStringByteLen(BSTR bstr)
{
    if (!bstr)
        return 0;
    const BYTE* p = reinterpret_cast<const BYTE*>(bstr) - kPrefix;
    return static_cast<UINT>(p[0]) | (static_cast<UINT>(p[1]) << 8) | (static_cast<UINT>(p[2]) << 16) |
           (static_cast<UINT>(p[3]) << 24);
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(WCHAR); }

void* CoTaskMemAlloc(size_t cb) { return malloc(cb ? cb : 1); }
void* CoTaskMemRealloc(void* pv, size_t cb) { return realloc(pv, cb ? cb : 1); }
void CoTaskMemFree(void* pv) { free(pv); }
