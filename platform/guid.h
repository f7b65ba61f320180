// GUID with the 16-byte in-memory layout of the original platform (Data1..3
// little-endian), so identifiers written to disk or the wire keep their bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/wintypes.h"

struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data2) == 4 && offsetof(GUID, Data4) == 8,
              "GUID must keep the 16-byte layout");
// Data1..3 are stored as they lie in memory, which is their on-disk order only on a little-endian host.
static_assert(std::endian::native == std::endian::little, "GUID bytes assume a little-endian host");

typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::string GuidToString(REFGUID guid);
// Accepts the braced and unbraced forms, either letter case; false on any
// other text.
bool GuidFromString(const char* psz, GUID* pGuid);
