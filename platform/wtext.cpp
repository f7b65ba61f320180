#include "platform/wtext.h"

size_t WStrLen(LPCWSTR psz)
{
    size_t n = 0;
    if (psz)
        while (psz[n])
            ++n;
    return n;
}

static void AppendUtf8(std::string* pOut, char32_t c)
{
    if (c < 0x80) {
        pOut->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        pOut->push_back(static_cast<char>(0xC0 | (c >> 6)));
        pOut->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        pOut->push_back(static_cast<char>(0xE0 | (c >> 12)));
        pOut->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        pOut->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        pOut->push_back(static_cast<char>(0xF0 | (c >> 18)));
        pOut->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        pOut->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        pOut->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string WideToUtf8(std::u16string_view wsz)
{
    std::string out;
    out.reserve(wsz.size());
    for (size_t i = 0; i < wsz.size(); ++i) {
        char32_t c = wsz[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wsz.size() && wsz[i + 1] >= 0xDC00 &&
            wsz[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wsz[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(&out, c);
    }
    return out;
}

CWString Utf8ToWide(std::string_view sz)
{
    CWString out;
    out.reserve(sz.size());
    size_t i = 0;
    while (i < sz.size()) {
        unsigned char b = static_cast<unsigned char>(sz[i]);
        char32_t c;
        size_t n;
        if (b < 0x80) { c = b; n = 0; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; n = 1; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; n = 2; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; n = 3; }
        else { out.push_back(0xFFFD); ++i; continue; }
        if (i + n >= sz.size()) {  // truncated sequence at the end
            out.push_back(0xFFFD);
            break;
        }
        bool bOk = true;
        for (size_t k = 1; bOk && k <= n; ++k) {
            unsigned char cc = static_cast<unsigned char>(sz[i + k]);
            if ((cc & 0xC0) != 0x80)
                bOk = false;
            else
                c = (c << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are malformed.
        static const char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (!bOk || c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += n + 1;
    }
    return out;
}

bool WStrEqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (WCharFoldCase(a[i]) != WCharFoldCase(b[i]))
            return false;
    }
    return true;
}
