#include "dshowflt/mpegdemux/kvudpsrc/net/netaddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <netinet/in.h>

// One part of a dotted address: decimal, 0-prefixed octal or 0x-prefixed hex.
// Stops at the first character that is not a digit of the base; values above
// 2^32-1 are refused rather than wrapped.
static bool ReadPart(const char** ppsz, uint32_t* pdw)
{
    const char* p = *ppsz;
    unsigned nBase = 10;
    if (p[0] == '0') {
        if (p[1] == 'x' || p[1] == 'X') {
            nBase = 16;
            p += 2;
        } else {
            nBase = 8;
        }
    }
    uint64_t ull = 0;
    int cDigits = 0;
    for (;; ++p) {
        unsigned d;
        char c = *p;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (nBase == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (nBase == 16 && c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        if (d >= nBase)
            return false;  // 8 or 9 in an octal part
        ull = ull * nBase + d;
        if (ull > 0xFFFFFFFFull)
            return false;
        ++cDigits;
    }
    // "0x" alone has no digits; a lone "0" is a valid octal zero.
    if (cDigits == 0 && !(nBase == 8))
        return false;
    *pdw = static_cast<uint32_t>(ull);
    *ppsz = p;
    return true;
}

DWORD InetAddr(const char* psz)
{
    if (!psz || !*psz)
        return INADDR_NONE_NET;
    uint32_t adwParts[4];
    int cParts = 0;
    const char* p = psz;
    for (;;) {
        if (!ReadPart(&p, &adwParts[cParts]))
            return INADDR_NONE_NET;
        ++cParts;
        if (*p == '\0')
            break;
        if (*p != '.' || cParts == 4)
            return INADDR_NONE_NET;
        ++p;
    }
    // Every part but the last is one byte; the last fills what is left.
    static const uint32_t s_adwLastMax[4] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
    uint32_t dwHost = 0;
    for (int i = 0; i < cParts - 1; ++i) {
        if (adwParts[i] > 0xFF)
            return INADDR_NONE_NET;
        dwHost |= adwParts[i] << (24 - 8 * i);
    }
    if (adwParts[cParts - 1] > s_adwLastMax[cParts - 1])
        return INADDR_NONE_NET;
    dwHost |= adwParts[cParts - 1];
    return htonl(dwHost);
}

HRESULT GetLocalIPv4Addresses(DWORD* pdwAddrs, int cMax, int* pcAddrs)
{
    if (!pdwAddrs || !pcAddrs)
        return E_POINTER;
    *pcAddrs = 0;
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return HrFromErrno(errno, true);
    int c = 0;
    for (ifaddrs* p = pList; p && c < cMax; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET)
            continue;
        pdwAddrs[c++] = reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
    }
    freeifaddrs(pList);
    *pcAddrs = c;
    return S_OK;
}
