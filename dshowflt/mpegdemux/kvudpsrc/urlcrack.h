// A URL cracker: splits a URL by the generic syntax
//   scheme ":" [ "//" [ user [ ":" password ] "@" ] host [ ":" port ] ] path [ extra ]
// where extra is the query or fragment with its leading "?" or "#", and
// decodes percent-escapes. Components land in fixed buffers whose sizes are
// the limits the source filter has always used.
#pragma once

#include <string_view>

#include "platform/hresult.h"

constexpr int kMaxSchemeLength = 31;
constexpr int kMaxHostNameLength = 255;
constexpr int kMaxUserNameLength = 127;
constexpr int kMaxPasswordLength = 127;
constexpr int kMaxPathLength = 2047;
constexpr int kMaxExtraInfoLength = 2047;

// The platform's "not a valid URL" error number.
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;

struct CUrlComponents
{
    WCHAR szScheme[kMaxSchemeLength + 1];
    WCHAR szUserName[kMaxUserNameLength + 1];
    WCHAR szPassword[kMaxPasswordLength + 1];
    WCHAR szHostName[kMaxHostNameLength + 1];
    WCHAR szUrlPath[kMaxPathLength + 1];
    WCHAR szExtraInfo[kMaxExtraInfoLength + 1];
    int cchScheme, cchUserName, cchPassword, cchHostName, cchUrlPath, cchExtraInfo;
    WORD nPort;  // host byte order; 0 when the URL names none
};

// Results:
//   S_OK
//   0x80072EE5 (ERROR_INTERNET_INVALID_URL): no scheme, a scheme with
//     characters outside ALPHA *(ALPHA / DIGIT / "+" / "-" / "."), a control
//     character anywhere, a host character outside the generic syntax (a
//     space, for one), an unclosed "[", a port that is not digits or is above
//     65535, a "%" not followed by two hex digits, or an escape that decodes
//     to NUL (which would cut the component short further on).
//   0x8007007A (ERROR_INSUFFICIENT_BUFFER): a component longer than its
//     limit after decoding.
// Escapes decode to the code unit of their byte value.
[[nodiscard]] HRESULT CrackUrl(std::u16string_view url, CUrlComponents* pComponents);
