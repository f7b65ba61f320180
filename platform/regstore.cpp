#include "platform/regstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platformtrace.h"

namespace kvreg {

namespace {

constexpr char kHeader[] = "KVREG 1";
constexpr char kTrailer[] = "END";
// A store is a few kilobytes; anything this large is not one of ours.
constexpr off_t kMaxStoreSize = 16 * 1024 * 1024;

HRESULT LastError() { return HrFromErrno(errno); }

// --- text format ----------------------------------------------------------

void AppendQuoted(std::string* pOut, const std::string& s)
{
    pOut->push_back('"');
    for (unsigned char c : s) {
        switch (c) {
        case '\\': *pOut += "\\\\"; break;
        case '"': *pOut += "\\\""; break;
        case '\n': *pOut += "\\n"; break;
        case '\r': *pOut += "\\r"; break;
        case '\t': *pOut += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char sz[8];
                snprintf(sz, sizeof(sz), "\\x%02X", c);
                *pOut += sz;
            } else {
                pOut->push_back(static_cast<char>(c));
            }
        }
    }
    pOut->push_back('"');
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a quoted string at *pp; false on a malformed one.
bool ParseQuoted(const char** pp, const char* pEnd, std::string* pOut)
{
    const char* p = *pp;
    if (p >= pEnd || *p != '"')
        return false;
    ++p;
    pOut->clear();
    while (p < pEnd && *p != '"') {
        if (*p != '\\') {
            pOut->push_back(*p++);
            continue;
        }
        if (++p >= pEnd)
            return false;
        switch (*p) {
        case '\\': pOut->push_back('\\'); break;
        case '"': pOut->push_back('"'); break;
        case 'n': pOut->push_back('\n'); break;
        case 'r': pOut->push_back('\r'); break;
        case 't': pOut->push_back('\t'); break;
        case 'x': {
            if (pEnd - p < 3)
                return false;
            int hi = HexDigit(p[1]), lo = HexDigit(p[2]);
            if (hi < 0 || lo < 0)
                return false;
            pOut->push_back(static_cast<char>(hi * 16 + lo));
            p += 2;
            break;
        }
        default:
            return false;
        }
        ++p;
    }
    if (p >= pEnd)
        return false;
    *pp = p + 1;
    return true;
}

// One value line: @=type:data or "name"=type:data. Null reason on success.
const char* ParseValueLine(const char* p, const char* pEnd, SValue* pValue)
{
    if (*p == '@') {
        pValue->strName.clear();
        ++p;
    } else if (!ParseQuoted(&p, pEnd, &pValue->strName)) {
        return "bad value name";
    } else if (pValue->strName.empty()) {
        return "empty value name (the default value is written @)";
    }
    if (p >= pEnd || *p++ != '=')
        return "'=' expected";
    const std::string_view rest(p, static_cast<size_t>(pEnd - p));
    if (rest.substr(0, 3) == "sz:") {
        pValue->dwType = REG_SZ;
        p += 3;
        if (!ParseQuoted(&p, pEnd, &pValue->data))
            return "bad string";
        return p == pEnd ? nullptr : "text after the string";
    }
    if (rest.substr(0, 6) == "dword:") {
        pValue->dwType = REG_DWORD;
        p += 6;
        if (pEnd - p != 8)
            return "a dword takes 8 hex digits";
        DWORD dw = 0;
        for (int i = 0; i < 8; ++i) {
            int n = HexDigit(p[i]);
            if (n < 0)
                return "bad hex digit";
            dw = (dw << 4) | static_cast<DWORD>(n);
        }
        pValue->data.assign({static_cast<char>(dw), static_cast<char>(dw >> 8), static_cast<char>(dw >> 16),
                             static_cast<char>(dw >> 24)});
        return nullptr;
    }
    if (rest.substr(0, 4) == "hex:") {
        pValue->dwType = REG_BINARY;
        p += 4;
        pValue->data.clear();
        while (p < pEnd) {
            if (pEnd - p < 2)
                return "bad hex byte";
            int hi = HexDigit(p[0]), lo = HexDigit(p[1]);
            if (hi < 0 || lo < 0)
                return "bad hex byte";
            pValue->data.push_back(static_cast<char>(hi * 16 + lo));
            p += 2;
            if (p < pEnd && *p++ != ',')
                return "',' expected between bytes";
            if (p == pEnd && p[-1] == ',')
                return "trailing ','";
        }
        return nullptr;
    }
    return "unknown value type";
}

HRESULT Corrupt(const std::string& strPath, int nLine, const char* pszReason)
{
    PlatformTrace("\nRegistry::Load(): %s line %d: %s; the store is corrupt and is left as it is", strPath.c_str(),
                  nLine, pszReason);
    return HRESULT_FROM_WIN32(ERROR_BADDB);
}


HRESULT WriteAll(int fd, const std::string& s)
{
    size_t cbDone = 0;
    while (cbDone < s.size()) {
        ssize_t cb = write(fd, s.data() + cbDone, s.size() - cbDone);
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb < 0)
            return LastError();
        cbDone += static_cast<size_t>(cb);
    }
    return S_OK;
}

}  // namespace

std::string Fold(std::string_view s)
{
    std::string r(s);
    for (char& c : r) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return r;
}

bool EqualNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && Fold(a) == Fold(b); }

// Key paths: "\"-separated, no empty component, no control characters (they
// would break the line format). Leading and trailing separators are dropped.
// Creates the folders above strPath (0755: other users read the system store).
HRESULT CreateParents(const std::string& strPath)
{
    for (size_t pos = strPath.find('/', 1); pos != std::string::npos; pos = strPath.find('/', pos + 1)) {
        const std::string dir = strPath.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return LastError();
    }
    return S_OK;
}

HRESULT NormaliseKey(LPCWSTR pszSubKey, bool bAllowEmpty, std::string* pstr)
{
    std::string s = WideToUtf8(pszSubKey);
    size_t b = s.find_first_not_of('\\');
    size_t e = s.find_last_not_of('\\');
    s = (b == std::string::npos) ? std::string() : s.substr(b, e - b + 1);
    if (s.empty() && !bAllowEmpty)
        return E_INVALIDARG;
    if (s.find("\\\\") != std::string::npos)
        return E_INVALIDARG;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F)
            return E_INVALIDARG;
    }
    *pstr = std::move(s);
    return S_OK;
}

HRESULT CStore::Load(const std::string& strPath)
{
    m_keys.clear();
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return S_OK;  // no store yet
        HRESULT hr = LastError();
        PlatformTrace("\nRegistry::Load(): cannot open %s: %s", strPath.c_str(), strerror(errno));
        return hr;
    }
    std::string text;
    struct stat st;
    HRESULT hr = S_OK;
    if (fstat(fd, &st) != 0) {
        hr = LastError();
    } else if (!S_ISREG(st.st_mode)) {
        hr = Corrupt(strPath, 0, "not a regular file");
    } else if (st.st_size > kMaxStoreSize) {
        hr = Corrupt(strPath, 0, "larger than any store");
    } else {
        text.resize(static_cast<size_t>(st.st_size));
        size_t cbDone = 0;
        while (cbDone < text.size()) {
            ssize_t cb = read(fd, text.data() + cbDone, text.size() - cbDone);
            if (cb < 0 && errno == EINTR)
                continue;
            if (cb < 0) {
                hr = LastError();
                break;
            }
            if (cb == 0)
                break;  // shrank under us: the checks below catch a torn file
            cbDone += static_cast<size_t>(cb);
        }
        text.resize(cbDone);
    }
    close(fd);
    if (FAILED(hr))
        return hr;
    if (text.empty())
        return S_OK;  // created but never written: an empty store

    int nLine = 0;
    bool bEnd = false;
    SKey* pKey = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        const bool bLastLine = eol == std::string::npos;
        if (bLastLine)
            eol = text.size();
        std::string_view line(text.data() + pos, eol - pos);
        pos = eol + 1;
        ++nLine;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (nLine == 1) {
            if (line != kHeader)
                return Corrupt(strPath, nLine, "not a registry store (bad header)");
            continue;
        }
        if (line.empty() || line[0] == ';')
            continue;
        if (bEnd)
            return Corrupt(strPath, nLine, "text after END");
        if (line == kTrailer) {
            bEnd = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.size() < 3 || line.back() != ']')
                return Corrupt(strPath, nLine, "bad key line");
            std::string strKey(line.substr(1, line.size() - 2));
            CWString wKey = Utf8ToWide(strKey);
            std::string strNorm;
            if (FAILED(NormaliseKey(wKey.c_str(), false, &strNorm)) || strNorm != strKey)
                return Corrupt(strPath, nLine, "bad key name");
            SKey& key = m_keys[Fold(strKey)];
            if (key.strPath.empty())
                key.strPath = strKey;
            pKey = &key;
            continue;
        }
        if (!pKey)
            return Corrupt(strPath, nLine, "value outside a key");
        SValue value;
        const char* pszReason = ParseValueLine(line.data(), line.data() + line.size(), &value);
        if (pszReason)
            return Corrupt(strPath, nLine, pszReason);
        auto it = std::find_if(pKey->vValues.begin(), pKey->vValues.end(),
                               [&](const SValue& v) { return EqualNoCase(v.strName, value.strName); });
        if (it != pKey->vValues.end())
            return Corrupt(strPath, nLine, "value written twice in one key");
        pKey->vValues.push_back(std::move(value));
    }
    if (!bEnd) {
        m_keys.clear();
        return Corrupt(strPath, nLine, "no END line: the file was cut short");
    }
    return S_OK;
}

HRESULT CStore::Save(const std::string& strPath) const
{
    std::string text = kHeader;
    text += "\n";
    for (const auto& [folded, key] : m_keys) {
        (void)folded;
        text += "[" + key.strPath + "]\n";
        for (const SValue& v : key.vValues) {
            if (v.strName.empty())
                text += "@";
            else
                AppendQuoted(&text, v.strName);
            text += "=";
            if (v.dwType == REG_SZ) {
                text += "sz:";
                AppendQuoted(&text, v.data);
            } else if (v.dwType == REG_DWORD) {
                const BYTE* pb = reinterpret_cast<const BYTE*>(v.data.data());
                char sz[20];
                snprintf(sz, sizeof(sz), "dword:%08X",
                         pb[0] | (pb[1] << 8) | (pb[2] << 16) | (static_cast<DWORD>(pb[3]) << 24));
                text += sz;
            } else {
                text += "hex:";
                for (size_t i = 0; i < v.data.size(); ++i) {
                    char sz[4];
                    snprintf(sz, sizeof(sz), "%s%02X", i ? "," : "", static_cast<BYTE>(v.data[i]));
                    text += sz;
                }
            }
            text += "\n";
        }
    }
    text += kTrailer;
    text += "\n";

    // A new file beside the store, complete and on disk before it replaces
    // the store: a crash leaves either store whole.
    std::string strTemp = strPath + ".XXXXXX";
    const int fd = mkostemp(strTemp.data(), O_CLOEXEC);
    if (fd < 0)
        return LastError();
    HRESULT hr = WriteAll(fd, text);
    if (SUCCEEDED(hr) && fchmod(fd, 0644) != 0)
        hr = LastError();
    if (SUCCEEDED(hr) && fsync(fd) != 0)
        hr = LastError();
    if (close(fd) != 0 && SUCCEEDED(hr))
        hr = LastError();
    if (SUCCEEDED(hr) && rename(strTemp.c_str(), strPath.c_str()) != 0)
        hr = LastError();
    if (FAILED(hr)) {
        unlink(strTemp.c_str());
        PlatformTrace("\nRegistry::Save(): cannot write %s (0x%08X)", strPath.c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    const size_t slash = strPath.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : strPath.substr(0, slash ? slash : 1);
    const int fdDir = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir >= 0) {
        (void)fsync(fdDir);
        close(fdDir);
    }
    return S_OK;
}

}  // namespace kvreg
