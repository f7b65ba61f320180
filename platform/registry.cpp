#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <thread>

#include "platform/platformtrace.h"

#ifndef KV_SYSCONFDIR
#define KV_SYSCONFDIR "/etc"
#endif

namespace {

constexpr char kHeader[] = "KVREG 1";
constexpr char kTrailer[] = "END";
// A store is a few kilobytes; anything this large is not one of ours.
constexpr off_t kMaxStoreSize = 16 * 1024 * 1024;
constexpr int kLockWaitMs = 10000;

HRESULT LastError() { return HrFromErrno(errno); }

struct SValue
{
    std::string strName;  // as first written; empty = default value
    DWORD dwType = REG_NONE;
    std::string data;  // REG_SZ: UTF-8; REG_DWORD: 4 bytes little-endian
};

struct SKey
{
    std::string strPath;  // as first written
    std::vector<SValue> vValues;
};

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

HRESULT ValueName(LPCWSTR pszValueName, std::string* pstr)
{
    *pstr = WideToUtf8(pszValueName);
    return S_OK;
}

// One store file in memory, keyed by folded path.
class CStore
{
public:
    std::map<std::string, SKey> m_keys;

    HRESULT Load(const std::string& strPath);
    HRESULT Save(const std::string& strPath) const;

    SKey* Find(const std::string& strPath)
    {
        auto it = m_keys.find(Fold(strPath));
        return it == m_keys.end() ? nullptr : &it->second;
    }
    SValue* FindValue(const std::string& strPath, const std::string& strName)
    {
        SKey* pKey = Find(strPath);
        if (!pKey)
            return nullptr;
        for (SValue& v : pKey->vValues) {
            if (EqualNoCase(v.strName, strName))
                return &v;
        }
        return nullptr;
    }
    // A key exists when it was written or when a key below it was.
    bool Exists(const std::string& strPath) const
    {
        const std::string f = Fold(strPath);
        if (f.empty() || m_keys.count(f))
            return true;
        const std::string prefix = f + "\\";
        auto it = m_keys.lower_bound(prefix);
        return it != m_keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
    }
    // Every key below strPath, at any depth.
    template <class Fn>
    void ForEachDescendant(const std::string& strPath, Fn fn) const
    {
        const std::string f = Fold(strPath);
        const std::string prefix = f.empty() ? std::string() : f + "\\";
        for (auto it = m_keys.lower_bound(prefix); it != m_keys.end(); ++it) {
            if (it->first.compare(0, prefix.size(), prefix) != 0)
                break;
            fn(it->second);
        }
    }
    void SubKeys(const std::string& strPath, std::vector<std::string>* pv) const
    {
        const size_t cchPrefix = strPath.empty() ? 0 : strPath.size() + 1;
        ForEachDescendant(strPath, [&](const SKey& key) {
            std::string name = key.strPath.substr(cchPrefix);
            name = name.substr(0, name.find('\\'));
            for (const std::string& s : *pv) {
                if (EqualNoCase(s, name))
                    return;
            }
            pv->push_back(name);
        });
    }

};

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

std::string EnvPath(const char* pszName)
{
    const char* psz = getenv(pszName);
    return (psz && *psz) ? std::string(psz) : std::string();
}

HRESULT UserStorePath(std::string* pstr)
{
    std::string s = EnvPath("KVUDPSRC_REGISTRY_USER");
    if (!s.empty()) {
        *pstr = s;
        return S_OK;
    }
    std::string base = EnvPath("XDG_CONFIG_HOME");
    if (base.empty() || base[0] != '/') {
        std::string home = EnvPath("HOME");
        if (home.empty()) {
            struct passwd pw;
            struct passwd* pResult = nullptr;
            char buf[4096];
            if (getpwuid_r(geteuid(), &pw, buf, sizeof(buf), &pResult) == 0 && pResult && pw.pw_dir)
                home = pw.pw_dir;
        }
        if (home.empty())
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        base = home + "/.config";
    }
    *pstr = base + "/kvudpsrc/registry";
    return S_OK;
}

HRESULT SystemStorePath(std::string* pstr)
{
    std::string s = EnvPath("KVUDPSRC_REGISTRY_SYSTEM");
    *pstr = s.empty() ? std::string(KV_SYSCONFDIR "/kvudpsrc/registry") : s;
    return S_OK;
}

HKEY WriteStoreOfClassesRoot()
{
    const std::string scope = EnvPath("KVUDPSRC_REGISTRY_SCOPE");
    if (scope == "system")
        return HKEY_LOCAL_MACHINE;
    if (scope == "user")
        return HKEY_CURRENT_USER;
    return geteuid() == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// The stores a lookup reads, in order of precedence.
HRESULT ReadStores(HKEY hRoot, std::vector<std::string>* pvPaths)
{
    std::string s;
    HRESULT hr;
    switch (hRoot) {
    case HKEY_CURRENT_USER:
        hr = UserStorePath(&s);
        break;
    case HKEY_LOCAL_MACHINE:
        hr = SystemStorePath(&s);
        break;
    case HKEY_CLASSES_ROOT: {
        hr = UserStorePath(&s);
        if (SUCCEEDED(hr))
            pvPaths->push_back(s);
        else if (hr != HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
            return hr;
        hr = SystemStorePath(&s);
        break;
    }
    default:
        return E_INVALIDARG;
    }
    if (FAILED(hr))
        return hr;
    pvPaths->push_back(s);
    return S_OK;
}

// Runs fn over each store of hRoot in order of precedence until it returns
// something other than ERROR_FILE_NOT_FOUND.
template <class Fn>
HRESULT LookUp(HKEY hRoot, Fn fn)
{
    std::vector<std::string> vPaths;
    HRESULT hr = ReadStores(hRoot, &vPaths);
    if (FAILED(hr))
        return hr;
    hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    for (const std::string& strPath : vPaths) {
        CStore store;
        HRESULT hrLoad = store.Load(strPath);
        if (FAILED(hrLoad))
            return hrLoad;
        hr = fn(store);
        if (hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
            return hr;
    }
    return hr;
}

HRESULT GetFromStore(CStore& store, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD* pdwType,
                     std::vector<BYTE>* pvData)
{
    std::string strKey, strName;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    (void)ValueName(pszValueName, &strName);
    const SValue* pValue = store.FindValue(strKey, strName);
    if (!pValue)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (pdwType)
        *pdwType = pValue->dwType;
    if (pvData)
        pvData->assign(pValue->data.begin(), pValue->data.end());
    return S_OK;
}

HRESULT StringOf(DWORD dwType, const std::vector<BYTE>& v, CWString* pstr)
{
    if (dwType != REG_SZ)
        return HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE);
    *pstr = Utf8ToWide(std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
    return S_OK;
}

void SortNoCase(std::vector<CWString>* pv)
{
    std::sort(pv->begin(), pv->end(), [](const CWString& a, const CWString& b) {
        return Fold(WideToUtf8(a)) < Fold(WideToUtf8(b));
    });
}

}  // namespace

HRESULT GetRegistryStorePath(HKEY hRoot, std::string* pstrPath)
{
    if (!pstrPath)
        return E_POINTER;
    if (hRoot == HKEY_CLASSES_ROOT)
        hRoot = WriteStoreOfClassesRoot();
    if (hRoot == HKEY_CURRENT_USER)
        return UserStorePath(pstrPath);
    if (hRoot == HKEY_LOCAL_MACHINE)
        return SystemStorePath(pstrPath);
    return E_INVALIDARG;
}

HRESULT RegGetValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD* pdwType, std::vector<BYTE>* pvData)
{
    return LookUp(hRoot, [&](CStore& store) { return GetFromStore(store, pszSubKey, pszValueName, pdwType, pvData); });
}

HRESULT RegGetString(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, CWString* pstrValue)
{
    if (!pstrValue)
        return E_POINTER;
    DWORD dwType = REG_NONE;
    std::vector<BYTE> v;
    HRESULT hr = RegGetValue(hRoot, pszSubKey, pszValueName, &dwType, &v);
    if (FAILED(hr))
        return hr;
    return StringOf(dwType, v, pstrValue);
}

HRESULT RegGetDword(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD* pdwValue)
{
    if (!pdwValue)
        return E_POINTER;
    DWORD dwType = REG_NONE;
    std::vector<BYTE> v;
    HRESULT hr = RegGetValue(hRoot, pszSubKey, pszValueName, &dwType, &v);
    if (FAILED(hr))
        return hr;
    if (dwType != REG_DWORD || v.size() != 4)
        return HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE);
    *pdwValue = v[0] | (v[1] << 8) | (v[2] << 16) | (static_cast<DWORD>(v[3]) << 24);
    return S_OK;
}

HRESULT RegKeyExists(HKEY hRoot, LPCWSTR pszSubKey)
{
    std::string strKey;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    hr = LookUp(hRoot, [&](CStore& store) {
        return store.Exists(strKey) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    });
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_FALSE : hr;
}

HRESULT RegEnumSubKeys(HKEY hRoot, LPCWSTR pszSubKey, std::vector<CWString>* pvNames)
{
    if (!pvNames)
        return E_POINTER;
    pvNames->clear();
    std::string strKey;
    HRESULT hr = NormaliseKey(pszSubKey, true, &strKey);
    if (FAILED(hr))
        return hr;
    std::vector<std::string> vNames;
    hr = LookUp(hRoot, [&](CStore& store) {
        store.SubKeys(strKey, &vNames);
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);  // look in every store
    });
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return hr;
    for (const std::string& s : vNames)
        pvNames->push_back(Utf8ToWide(s));
    SortNoCase(pvNames);
    return S_OK;
}

HRESULT RegSetString(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPCWSTR pszValue)
{
    CRegTransaction t;
    HRESULT hr = t.Begin(hRoot);
    if (SUCCEEDED(hr))
        hr = t.SetString(pszSubKey, pszValueName, pszValue);
    return FAILED(hr) ? hr : t.Commit();
}

HRESULT RegSetDword(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwValue)
{
    CRegTransaction t;
    HRESULT hr = t.Begin(hRoot);
    if (SUCCEEDED(hr))
        hr = t.SetDword(pszSubKey, pszValueName, dwValue);
    return FAILED(hr) ? hr : t.Commit();
}

HRESULT RegDeleteTree(HKEY hRoot, LPCWSTR pszSubKey)
{
    CRegTransaction t;
    HRESULT hr = t.Begin(hRoot);
    if (SUCCEEDED(hr))
        hr = t.DeleteTree(pszSubKey);
    return FAILED(hr) ? hr : t.Commit();
}

// --- transactions ----------------------------------------------------------

struct CRegTransaction::SState
{
    std::string strPath;
    int fdLock = -1;
    bool bDirty = false;
    CStore store;

    ~SState()
    {
        if (fdLock >= 0)
            close(fdLock);  // drops the flock()
    }
};

CRegTransaction::CRegTransaction() = default;
CRegTransaction::~CRegTransaction() = default;

HRESULT CRegTransaction::Begin(HKEY hRoot)
{
    m_p.reset();
    std::unique_ptr<SState> p(new (std::nothrow) SState);
    if (!p)
        return E_OUTOFMEMORY;
    HRESULT hr = GetRegistryStorePath(hRoot, &p->strPath);
    if (FAILED(hr))
        return hr;
    hr = CreateParents(p->strPath);
    if (FAILED(hr)) {
        PlatformTrace("\nCRegTransaction::Begin(): cannot create the folder of %s (0x%08X)", p->strPath.c_str(),
                      static_cast<unsigned>(hr));
        return hr;
    }
    const std::string strLock = p->strPath + ".lock";
    p->fdLock = open(strLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (p->fdLock < 0) {
        hr = LastError();
        PlatformTrace("\nCRegTransaction::Begin(): cannot open %s: %s", strLock.c_str(), strerror(errno));
        return hr;
    }
    // Each transaction opens the lock file itself, so two transactions of one
    // process exclude each other as well (flock belongs to the open file).
    // Bounded wait: a writer that hangs must not hang every registration.
    for (int nWaited = 0;; nWaited += 5) {
        if (flock(p->fdLock, LOCK_EX | LOCK_NB) == 0)
            break;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return LastError();
        if (nWaited >= kLockWaitMs) {
            PlatformTrace("\nCRegTransaction::Begin(): %s is held by another writer", strLock.c_str());
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    hr = p->store.Load(p->strPath);
    if (FAILED(hr))
        return hr;
    m_p = std::move(p);
    return S_OK;
}

HRESULT CRegTransaction::CreateKey(LPCWSTR pszSubKey)
{
    if (!m_p)
        return E_UNEXPECTED;
    std::string strKey;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    if (m_p->store.Find(strKey))
        return S_FALSE;
    m_p->store.m_keys[Fold(strKey)].strPath = strKey;
    m_p->bDirty = true;
    return S_OK;
}

HRESULT CRegTransaction::SetValue(LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwType, const void* pv, DWORD cb)
{
    if (!m_p)
        return E_UNEXPECTED;
    if (dwType != REG_SZ && dwType != REG_DWORD && dwType != REG_BINARY)
        return E_INVALIDARG;
    if ((dwType == REG_DWORD && cb != 4) || (cb && !pv))
        return E_INVALIDARG;
    std::string strKey, strName;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    (void)ValueName(pszValueName, &strName);
    (void)CreateKey(pszSubKey);
    SKey* pKey = m_p->store.Find(strKey);
    SValue* pValue = m_p->store.FindValue(strKey, strName);
    if (!pValue) {
        pKey->vValues.push_back(SValue{strName, REG_NONE, {}});
        pValue = &pKey->vValues.back();
    }
    pValue->dwType = dwType;
    pValue->data.assign(static_cast<const char*>(pv), cb);
    m_p->bDirty = true;
    return S_OK;
}

HRESULT CRegTransaction::SetString(LPCWSTR pszSubKey, LPCWSTR pszValueName, LPCWSTR pszValue)
{
    const std::string s = WideToUtf8(pszValue);
    return SetValue(pszSubKey, pszValueName, REG_SZ, s.data(), static_cast<DWORD>(s.size()));
}

HRESULT CRegTransaction::SetDword(LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwValue)
{
    const BYTE b[4] = {static_cast<BYTE>(dwValue), static_cast<BYTE>(dwValue >> 8), static_cast<BYTE>(dwValue >> 16),
                       static_cast<BYTE>(dwValue >> 24)};
    return SetValue(pszSubKey, pszValueName, REG_DWORD, b, 4);
}

HRESULT CRegTransaction::GetValue(LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD* pdwType, std::vector<BYTE>* pvData)
{
    if (!m_p)
        return E_UNEXPECTED;
    return GetFromStore(m_p->store, pszSubKey, pszValueName, pdwType, pvData);
}

HRESULT CRegTransaction::GetString(LPCWSTR pszSubKey, LPCWSTR pszValueName, CWString* pstrValue)
{
    if (!pstrValue)
        return E_POINTER;
    DWORD dwType = REG_NONE;
    std::vector<BYTE> v;
    HRESULT hr = GetValue(pszSubKey, pszValueName, &dwType, &v);
    if (FAILED(hr))
        return hr;
    return StringOf(dwType, v, pstrValue);
}

HRESULT CRegTransaction::KeyExists(LPCWSTR pszSubKey)
{
    if (!m_p)
        return E_UNEXPECTED;
    std::string strKey;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    return m_p->store.Exists(strKey) ? S_OK : S_FALSE;
}

HRESULT CRegTransaction::EnumSubKeys(LPCWSTR pszSubKey, std::vector<CWString>* pvNames)
{
    if (!m_p)
        return E_UNEXPECTED;
    if (!pvNames)
        return E_POINTER;
    std::string strKey;
    HRESULT hr = NormaliseKey(pszSubKey, true, &strKey);
    if (FAILED(hr))
        return hr;
    std::vector<std::string> vNames;
    m_p->store.SubKeys(strKey, &vNames);
    pvNames->clear();
    for (const std::string& s : vNames)
        pvNames->push_back(Utf8ToWide(s));
    SortNoCase(pvNames);
    return S_OK;
}

HRESULT CRegTransaction::DeleteValue(LPCWSTR pszSubKey, LPCWSTR pszValueName)
{
    if (!m_p)
        return E_UNEXPECTED;
    std::string strKey, strName;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    (void)ValueName(pszValueName, &strName);
    SKey* pKey = m_p->store.Find(strKey);
    if (!pKey)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    auto it = std::find_if(pKey->vValues.begin(), pKey->vValues.end(),
                           [&](const SValue& v) { return EqualNoCase(v.strName, strName); });
    if (it == pKey->vValues.end())
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    pKey->vValues.erase(it);
    m_p->bDirty = true;
    return S_OK;
}

HRESULT CRegTransaction::DeleteTree(LPCWSTR pszSubKey)
{
    if (!m_p)
        return E_UNEXPECTED;
    std::string strKey;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    if (!m_p->store.Exists(strKey))
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::vector<std::string> vDoomed{Fold(strKey)};
    m_p->store.ForEachDescendant(strKey, [&](const SKey& key) { vDoomed.push_back(Fold(key.strPath)); });
    for (const std::string& s : vDoomed)
        m_p->store.m_keys.erase(s);
    m_p->bDirty = true;
    return S_OK;
}

HRESULT CRegTransaction::DeleteKeyIfEmpty(LPCWSTR pszSubKey)
{
    if (!m_p)
        return E_UNEXPECTED;
    std::string strKey;
    HRESULT hr = NormaliseKey(pszSubKey, false, &strKey);
    if (FAILED(hr))
        return hr;
    SKey* pKey = m_p->store.Find(strKey);
    if (!pKey || !pKey->vValues.empty())
        return S_FALSE;
    bool bChildren = false;
    m_p->store.ForEachDescendant(strKey, [&](const SKey&) { bChildren = true; });
    if (bChildren)
        return S_FALSE;
    m_p->store.m_keys.erase(Fold(strKey));
    m_p->bDirty = true;
    return S_OK;
}

HRESULT CRegTransaction::Commit()
{
    if (!m_p)
        return E_UNEXPECTED;
    std::unique_ptr<SState> p = std::move(m_p);
    if (!p->bDirty)
        return S_OK;
    return p->store.Save(p->strPath);
}
