// IPv4 address text and the host's own addresses, for the URL parser and the
// socket layer. Addresses travel in network byte order, as in the socket
// address records.
#pragma once

#include "platform/hresult.h"

constexpr DWORD INADDR_NONE_NET = 0xFFFFFFFFu;  // "not an address" (also 255.255.255.255)

// Reads an IPv4 literal in every form the classic inet_addr accepts: one to
// four parts separated by dots ("a", "a.b", "a.b.c", "a.b.c.d"), each part
// decimal, octal (leading 0) or hex (leading 0x), the last part filling the
// remaining bytes. Returns the address in network byte order, or
// INADDR_NONE_NET for anything else (empty text, spaces, a part too large,
// trailing text). Host names are never looked up.
DWORD InetAddr(const char* psz);

// True when the three top bits of the first octet are all set: 224 and above,
// which takes in 240-255 as well.
inline bool IsMulticastAddress(DWORD dwAddrNet)
{
    return (reinterpret_cast<const BYTE*>(&dwAddrNet)[0] & 0xE0) == 0xE0;
}

// Fills pdwAddrs (network byte order) with up to cMax IPv4 addresses of the
// local host's interfaces, in the order the system lists them, and stores
// the count in *pcAddrs.
[[nodiscard]] HRESULT GetLocalIPv4Addresses(DWORD* pdwAddrs, int cMax, int* pcAddrs);
