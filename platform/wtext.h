// UTF-16 wide text and its conversion at the POSIX boundary.
#pragma once

#include <string>
#include <string_view>

#include "platform/wintypes.h"

typedef std::u16string CWString;

// Length in units of a zero-terminated wide string (0 for nullptr).
size_t WStrLen(LPCWSTR psz);

// UTF-16 -> UTF-8. Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::u16string_view wsz);
inline std::string WideToUtf8(LPCWSTR psz) { return WideToUtf8(std::u16string_view(psz ? psz : u"")); }

// UTF-8 -> UTF-16. Malformed sequences become U+FFFD.
CWString Utf8ToWide(std::string_view sz);

// ASCII letters folded to upper case, everything else unchanged: buffer,
// folder and object-table names compare this way, as they always have.
constexpr WCHAR WCharFoldCase(WCHAR ch)
{
    return (ch >= u'a' && ch <= u'z') ? static_cast<WCHAR>(ch - u'a' + u'A') : ch;
}
bool WStrEqualNoCase(std::u16string_view a, std::u16string_view b);
