#include "platform/guid.h"

#include <cstdio>

std::string GuidToString(REFGUID g)
{
    char sz[40];
    snprintf(sz, sizeof(sz), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return sz;
}

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads exactly cDigits hex digits; false on anything else.
bool ReadHex(const char*& p, int cDigits, uint32_t* pValue)
{
    uint32_t v = 0;
    for (int i = 0; i < cDigits; i++) {
        int n = HexValue(p[i]);
        if (n < 0)
            return false;
        v = (v << 4) | static_cast<uint32_t>(n);
    }
    p += cDigits;
    *pValue = v;
    return true;
}

}  // namespace

bool GuidFromString(const char* psz, GUID* pGuid)
{
    if (!psz || !pGuid)
        return false;
    const char* p = psz;
    const bool bBraced = *p == '{';
    if (bBraced)
        p++;
    // Group sizes of the 8-4-4-4-12 form; the fourth group starts Data4.
    static const int kGroups[] = {8, 4, 4, 4, 12};
    GUID g{};
    uint32_t v = 0;
    for (int nGroup = 0; nGroup < 5; nGroup++) {
        if (nGroup > 0 && *p++ != '-')
            return false;
        if (nGroup < 3) {
            if (!ReadHex(p, kGroups[nGroup], &v))
                return false;
            if (nGroup == 0)
                g.Data1 = v;
            else if (nGroup == 1)
                g.Data2 = static_cast<uint16_t>(v);
            else
                g.Data3 = static_cast<uint16_t>(v);
            continue;
        }
        const int nFirst = nGroup == 3 ? 0 : 2;
        for (int i = 0; i < kGroups[nGroup] / 2; i++) {
            if (!ReadHex(p, 2, &v))
                return false;
            g.Data4[nFirst + i] = static_cast<uint8_t>(v);
        }
    }
    if (bBraced && *p++ != '}')
        return false;
    if (*p != '\0')
        return false;
    *pGuid = g;
    return true;
}
