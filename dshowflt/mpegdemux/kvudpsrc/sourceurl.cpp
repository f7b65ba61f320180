#include "dshowflt/mpegdemux/kvudpsrc/sourceurl.h"

#include <arpa/inet.h>
#include <atomic>
#include <new>
#include <algorithm>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/netaddr.h"
#include "dshowflt/mpegdemux/kvudpsrc/urlcrack.h"
#include "platform/wtext.h"

namespace {

std::atomic<PFNLOCALADDRESSES> g_pfnLocalAddresses{nullptr};

// More addresses than any real host has; the first match wins anyway.
constexpr int kMaxLocalAddresses = 64;

// Scheme, "://", every other component at its limit and fully escaped (three
// characters per unit), the separators and a port, with room to spare.
constexpr size_t kMaxUrlLength = 16384;

bool StartsWithNoCase(std::u16string_view sv, const char* pszPrefix)
{
    size_t i = 0;
    for (; pszPrefix[i]; ++i) {
        if (i >= sv.size())
            return false;
        WCHAR c = sv[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<WCHAR>(c - 'A' + 'a');
        if (c != static_cast<WCHAR>(pszPrefix[i]))
            return false;
    }
    return true;
}

// The host text is read in the narrow code page (UTF-8 here); anything that
// is not plain ASCII cannot be an address literal anyway.
DWORD AddressFromText(const WCHAR* psz, int cch)
{
    std::string str = WideToUtf8(std::u16string_view(psz, static_cast<size_t>(cch)));
    return InetAddr(str.c_str());
}

void SubstituteBroadcast(DWORD* pdwAddress)
{
    DWORD dwHost = ntohl(*pdwAddress);
    if ((dwHost & 0xFF) != 0xFF)
        return;
    PFNLOCALADDRESSES pfn = g_pfnLocalAddresses.load();
    if (!pfn)
        pfn = GetLocalIPv4Addresses;
    DWORD adwLocal[kMaxLocalAddresses];
    int cLocal = 0;
    HRESULT hr = pfn(adwLocal, kMaxLocalAddresses, &cLocal);
    if (FAILED(hr)) {
        // Not fatal: the broadcast address itself is kept.
        Trace("\nParseSourceUrl: local address lookup failed %s", TraceHr(hr));
        return;
    }
    for (int i = 0; i < cLocal && i < kMaxLocalAddresses; ++i) {
        if ((ntohl(adwLocal[i]) & 0xFFFFFF00u) == (dwHost & 0xFFFFFF00u)) {
            *pdwAddress = adwLocal[i];
            return;
        }
    }
}

}  // namespace

void SetLocalAddressSource(PFNLOCALADDRESSES pfn)
{
    g_pfnLocalAddresses.store(pfn);
}

HRESULT ParseSourceUrl(const WCHAR* url, SourceAddress* pAddr)
{
    if (!pAddr)
        return E_POINTER;
    pAddr->options.reset();
    std::u16string_view svUrl(url ? url : u"");

    // Anything without one of our schemes is a udp:// address, so that a
    // bare "239.1.1.1:5000" works. Only the prefix up to the first "/" is
    // compared, which lets "udp:/1.2.3.4" keep its scheme.
    bool bHasScheme = StartsWithNoCase(svUrl, "saic:/") || StartsWithNoCase(svUrl, "udp:/") ||
                      StartsWithNoCase(svUrl, "tcp:/");
    // Longer than every component at its limit, escaped: some component is
    // too long. Refused before anything is copied, however long the text.
    if (svUrl.size() > kMaxUrlLength)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    std::u16string_view svPrefix = bHasScheme ? u"" : u"udp://";
    const size_t cchUrl = svPrefix.size() + svUrl.size();
    std::unique_ptr<WCHAR[]> pszUrl(new (std::nothrow) WCHAR[cchUrl + 1]);
    if (!pszUrl)
        return E_OUTOFMEMORY;
    std::copy(svPrefix.begin(), svPrefix.end(), pszUrl.get());
    std::copy(svUrl.begin(), svUrl.end(), pszUrl.get() + svPrefix.size());
    pszUrl[cchUrl] = 0;

    // About 9 KB: kept off the stack of whichever thread calls Load.
    std::unique_ptr<CUrlComponents> pComponents(new (std::nothrow) CUrlComponents);
    if (!pComponents)
        return E_OUTOFMEMORY;
    CUrlComponents& uc = *pComponents;
    HRESULT hr = CrackUrl(std::u16string_view(pszUrl.get(), cchUrl), &uc);
    if (FAILED(hr)) {
        Trace("\nParseSourceUrl: cannot crack \"%S\": %s", pszUrl.get(), TraceHr(hr));
        return hr;
    }

    DWORD dwAddress = uc.cchHostName ? AddressFromText(uc.szHostName, uc.cchHostName)
                                     : InetAddr("127.0.0.1");
    // inet_addr cannot tell 255.255.255.255 from "not an address"; neither
    // can be received from.
    if (dwAddress == INADDR_NONE_NET) {
        Trace("\nParseSourceUrl: host \"%S\" is not an IPv4 address", uc.szHostName);
        return HRESULT_FROM_WIN32(WSAHOST_NOT_FOUND);
    }
    SubstituteBroadcast(&dwAddress);

    // The path is "/<interface>"; an unreadable interface becomes
    // 255.255.255.255 and fails later, when the socket joins with it.
    DWORD dwInterface = 0;
    if (uc.cchUrlPath >= 2)
        dwInterface = AddressFromText(uc.szUrlPath + 1, uc.cchUrlPath - 1);

    std::unique_ptr<WCHAR[]> pszOptions;
    if (uc.cchExtraInfo > 0) {
        pszOptions.reset(new (std::nothrow) WCHAR[static_cast<size_t>(uc.cchExtraInfo) + 1]);
        if (!pszOptions)
            return E_OUTOFMEMORY;
        std::copy(uc.szExtraInfo, uc.szExtraInfo + uc.cchExtraInfo + 1, pszOptions.get());
    }

    pAddr->address = dwAddress;
    pAddr->port = htons(uc.nPort ? uc.nPort : kDefaultSourcePort);
    pAddr->interfaceAddress = dwInterface;
    pAddr->udpTransport = StartsWithNoCase(std::u16string_view(uc.szScheme, uc.cchScheme), "tcp") ? 0 : 1;
    pAddr->options = std::move(pszOptions);
    return S_OK;
}
