// The source URL: udp://, saic:// or tcp://, an IPv4 host, a port, an
// optional local interface as the path and an option text, for example
//   udp://239.1.1.1:5000/192.168.0.10?Timeout=10
// A string without one of the three schemes is taken as udp://, so a bare
// 239.255.0.1 names a multicast group on the default port 9005.
#pragma once

#include <memory>

#include "platform/hresult.h"

struct SourceAddress
{
    DWORD address = 0;           // sender, multicast group or TCP server; network order
    WORD port = 0;               // network order
    DWORD interfaceAddress = 0;  // network order; 0 = any interface
    int udpTransport = 1;        // 0 = TCP
    // The query or fragment with its leading "?" or "#", or none.
    std::unique_ptr<WCHAR[]> options;
};

constexpr WORD kDefaultSourcePort = 9005;

// Parses url (nullptr counts as the empty string; the text ends at its first
// NUL). Results:
//   S_OK: every field set.
//   0x80072EE5, 0x8007007A: the text is not a URL or a component is too
//     long (see CrackUrl in urlcrack.h).
//   0x80072AF9 (WSAHOST_NOT_FOUND): the host is not an IPv4 literal (names
//     are never looked up; an IPv6 literal is refused too), or it is
//     255.255.255.255.
//   E_OUTOFMEMORY: no memory for the working copy or the option text.
//   E_POINTER: pAddr is nullptr.
// On failure *pAddr holds no options and no field may be relied on.
//
// A host whose last octet is 255 (a subnet broadcast) is replaced by the
// local address in the same /24, when the host has one, so that the socket
// binds to the interface that receives the broadcast.
[[nodiscard]] HRESULT ParseSourceUrl(const WCHAR* url, SourceAddress* pAddr);

// Seam for the local host's IPv4 addresses (network order): fills at most
// cMax entries and stores the count. nullptr restores the real lookup.
typedef HRESULT (*PFNLOCALADDRESSES)(DWORD* pdwAddrs, int cMax, int* pcAddrs);
void SetLocalAddressSource(PFNLOCALADDRESSES pfn);
