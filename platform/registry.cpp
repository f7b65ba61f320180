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
#include "platform/regstore.h"

#ifndef KV_SYSCONFDIR
#define KV_SYSCONFDIR "/etc"
#endif

namespace {

using kvreg::CreateParents;
using kvreg::CStore;
using kvreg::EqualNoCase;
using kvreg::Fold;
using kvreg::NormaliseKey;
using kvreg::SKey;
using kvreg::SValue;

constexpr int kLockWaitMs = 10000;

HRESULT LastError() { return HrFromErrno(errno); }

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
    strName = WideToUtf8(pszValueName);
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
    strName = WideToUtf8(pszValueName);
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
    strName = WideToUtf8(pszValueName);
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
