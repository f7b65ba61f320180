#include "dshowflt/mpegdemux/kvudpsrc/urlcrack.h"

namespace {

const HRESULT kHrInvalidUrl = HRESULT_FROM_WIN32(ERROR_INTERNET_INVALID_URL);
const HRESULT kHrTooLong = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

bool IsAlpha(WCHAR c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(WCHAR c) { return c >= '0' && c <= '9'; }

int HexValue(WCHAR c)
{
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Host characters of the generic syntax: unreserved, sub-delims and "%" of
// an escape (reg-name and IPv4address), plus ":" inside an IP literal.
bool IsHostChar(WCHAR c)
{
    if (IsAlpha(c) || IsDigit(c))
        return true;
    switch (c) {
    case '-': case '.': case '_': case '~': case '!': case '$': case '&': case '\'':
    case '(': case ')': case '*': case '+': case ',': case ';': case '=': case '%':
        return true;
    default:
        return false;
    }
}

// Copies sv into a buffer of cchMax units plus terminator, decoding escapes.
HRESULT Decode(std::u16string_view sv, WCHAR* psz, int cchMax, int* pcch)
{
    int cch = 0;
    for (size_t i = 0; i < sv.size(); ++i) {
        WCHAR c = sv[i];
        if (c == '%') {
            int nHi = i + 1 < sv.size() ? HexValue(sv[i + 1]) : -1;
            int nLo = i + 2 < sv.size() ? HexValue(sv[i + 2]) : -1;
            if (nHi < 0 || nLo < 0)
                return kHrInvalidUrl;
            c = static_cast<WCHAR>(nHi * 16 + nLo);
            if (c == 0)
                return kHrInvalidUrl;
            i += 2;
        }
        if (cch == cchMax)
            return kHrTooLong;
        psz[cch++] = c;
    }
    psz[cch] = 0;
    *pcch = cch;
    return S_OK;
}

HRESULT CrackAuthority(std::u16string_view sv, CUrlComponents* p)
{
    // The userinfo ends at the last "@": neither it nor a host may hold an
    // unescaped "@", so the last one is the only sensible split.
    size_t nAt = sv.rfind(u'@');
    if (nAt != std::u16string_view::npos) {
        std::u16string_view svUser = sv.substr(0, nAt);
        sv.remove_prefix(nAt + 1);
        size_t nColon = svUser.find(u':');
        std::u16string_view svPassword;
        if (nColon != std::u16string_view::npos) {
            svPassword = svUser.substr(nColon + 1);
            svUser = svUser.substr(0, nColon);
        }
        HRESULT hr = Decode(svUser, p->szUserName, kMaxUserNameLength, &p->cchUserName);
        if (FAILED(hr))
            return hr;
        hr = Decode(svPassword, p->szPassword, kMaxPasswordLength, &p->cchPassword);
        if (FAILED(hr))
            return hr;
    }

    std::u16string_view svHost, svPort;
    bool bHasPort = false;
    if (!sv.empty() && sv[0] == '[') {
        // IP literal (IPv6 or IPvFuture): kept with its brackets.
        size_t nClose = sv.find(u']');
        if (nClose == std::u16string_view::npos)
            return kHrInvalidUrl;
        for (size_t i = 1; i < nClose; ++i)
            if (!IsHostChar(sv[i]) && sv[i] != ':')
                return kHrInvalidUrl;
        svHost = sv.substr(0, nClose + 1);
        std::u16string_view svRest = sv.substr(nClose + 1);
        if (!svRest.empty()) {
            if (svRest[0] != ':')
                return kHrInvalidUrl;
            bHasPort = true;
            svPort = svRest.substr(1);
        }
    } else {
        size_t nColon = sv.rfind(u':');
        svHost = sv;
        if (nColon != std::u16string_view::npos) {
            svHost = sv.substr(0, nColon);
            svPort = sv.substr(nColon + 1);
            bHasPort = true;
        }
        for (WCHAR c : svHost)
            if (!IsHostChar(c))
                return kHrInvalidUrl;
    }
    HRESULT hr = Decode(svHost, p->szHostName, kMaxHostNameLength, &p->cchHostName);
    if (FAILED(hr))
        return hr;

    // An empty port ("host:") is allowed by the syntax and means none.
    uint32_t dwPort = 0;
    if (bHasPort) {
        for (WCHAR c : svPort) {
            if (!IsDigit(c))
                return kHrInvalidUrl;
            dwPort = dwPort * 10 + static_cast<uint32_t>(c - '0');
            if (dwPort > 0xFFFF)
                return kHrInvalidUrl;
        }
    }
    p->nPort = static_cast<WORD>(dwPort);
    return S_OK;
}

}  // namespace

HRESULT CrackUrl(std::u16string_view url, CUrlComponents* p)
{
    if (!p)
        return E_POINTER;
    *p = {};
    for (WCHAR c : url)
        if (c < 0x20 || c == 0x7F)
            return kHrInvalidUrl;

    size_t nColon = url.find(u':');
    if (nColon == 0 || nColon == std::u16string_view::npos || !IsAlpha(url[0]))
        return kHrInvalidUrl;
    for (size_t i = 1; i < nColon; ++i) {
        WCHAR c = url[i];
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.')
            return kHrInvalidUrl;
    }
    if (nColon > static_cast<size_t>(kMaxSchemeLength))
        return kHrTooLong;
    for (size_t i = 0; i < nColon; ++i)
        p->szScheme[i] = url[i];
    p->cchScheme = static_cast<int>(nColon);
    std::u16string_view sv = url.substr(nColon + 1);

    if (sv.size() >= 2 && sv[0] == '/' && sv[1] == '/') {
        sv.remove_prefix(2);
        size_t nEnd = sv.find_first_of(u"/?#");
        if (nEnd == std::u16string_view::npos)
            nEnd = sv.size();
        HRESULT hr = CrackAuthority(sv.substr(0, nEnd), p);
        if (FAILED(hr))
            return hr;
        sv.remove_prefix(nEnd);
    }

    size_t nExtra = sv.find_first_of(u"?#");
    if (nExtra == std::u16string_view::npos)
        nExtra = sv.size();
    HRESULT hr = Decode(sv.substr(0, nExtra), p->szUrlPath, kMaxPathLength, &p->cchUrlPath);
    if (FAILED(hr))
        return hr;
    return Decode(sv.substr(nExtra), p->szExtraInfo, kMaxExtraInfoLength, &p->cchExtraInfo);
}
