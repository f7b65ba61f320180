// Automation strings and task memory. A BSTR points at UTF-16 text that is
// preceded by a 4-byte byte count and followed by a 0 unit, so it reads as
// a plain zero-terminated wide string while carrying its own length
// (embedded zeros included). nullptr is a valid empty BSTR.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

typedef WCHAR* BSTR;

// A copy of the zero-terminated psz; nullptr for nullptr or out of memory.
BSTR SysAllocString(LPCWSTR psz);
// cch units from pch (which may hold zeros), or cch uninitialised units when
// pch is nullptr; nullptr when out of memory.
BSTR SysAllocStringLen(LPCWSTR pch, UINT cch);
void SysFreeString(BSTR bstr);
// Length in units from the prefix, 0 for nullptr.
UINT SysStringLen(BSTR bstr);
UINT SysStringByteLen(BSTR bstr);

// Memory that crosses an interface: the callee allocates, the caller frees.
void* CoTaskMemAlloc(size_t cb);
void* CoTaskMemRealloc(void* pv, size_t cb);
void CoTaskMemFree(void* pv);
