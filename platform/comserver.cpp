#include "platform/comserver.h"

#include <sys/stat.h>

#include <algorithm>
#include <new>

#include "platform/byteorder.h"
#include "platform/file.h"
#include "platform/fileversion.h"
#include "platform/registry.h"

namespace {

constexpr DWORD kFilterDataVersion = 2;
constexpr DWORD kFilterDataSize = 16;

// The class object of one template. It counts as an object of its module:
// a client that holds it may create objects at any time, so the library
// must stay loaded.
class CClassFactory : public IClassFactory, public CUnknown
{
public:
    CClassFactory(CComModule* pModule, const CFactoryTemplate* pTemplate)
        : CUnknown("CClassFactory", nullptr), m_pModule(pModule), m_pTemplate(pTemplate)
    {
        m_pModule->IncrementObjects();
    }
    ~CClassFactory() override { m_pModule->DecrementObjects(); }

    DECLARE_IUNKNOWN

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IClassFactory)
            return GetInterface(static_cast<IClassFactory*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        // An aggregated object's identity is its outer object; the outer one
        // can only hold the inner one by its non-delegating unknown.
        if (pUnkOuter && riid != IID_IUnknown)
            return CLASS_E_NOAGGREGATION;
        HRESULT hr = S_OK;
        CUnknown* pObj = m_pTemplate->m_lpfnNew(pUnkOuter, &hr);
        if (!pObj)
            return FAILED(hr) ? hr : E_OUTOFMEMORY;
        if (FAILED(hr)) {
            // Constructed but failed: the count of 0 goes to 1 and back,
            // which deletes it.
            pObj->NonDelegatingAddRef();
            pObj->NonDelegatingRelease();
            return hr;
        }
        pObj->NonDelegatingAddRef();
        hr = pObj->NonDelegatingQueryInterface(riid, ppv);
        pObj->NonDelegatingRelease();
        return hr;
    }

    HRESULT LockServer(BOOL fLock) override
    {
        m_pModule->LockServer(fLock != FALSE);
        return S_OK;
    }

private:
    CComModule* const m_pModule;
    const CFactoryTemplate* const m_pTemplate;
};

CWString GuidText(REFGUID g) { return Utf8ToWide(GuidToString(g)); }
CWString ClassKey(REFCLSID rclsid) { return u"CLSID\\" + GuidText(rclsid); }
CWString ServerKey(REFCLSID rclsid) { return ClassKey(rclsid) + u"\\InprocServer32"; }
CWString InstanceKey(REFCLSID rclsid)
{
    return ClassKey(CLSID_LegacyAmFilterCategory) + u"\\Instance\\" + GuidText(rclsid);
}

// The registered server's path: S_OK with it, S_FALSE when none is registered.
HRESULT RegisteredServer(REFCLSID rclsid, CWString* pstr)
{
    HRESULT hr = RegGetString(HKEY_CLASSES_ROOT, ServerKey(rclsid).c_str(), nullptr, pstr);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE) ||
        (SUCCEEDED(hr) && pstr->empty()))
        return S_FALSE;
    return hr;
}

}  // namespace

CComModule::CComModule(const CFactoryTemplate* rgTemplates, int cTemplates, const void* pvAddressInModule)
    : m_rgTemplates(rgTemplates), m_cTemplates(cTemplates), m_hInstance(GetModuleHandleFromAddress(pvAddressInModule))
{
}

HRESULT CComModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory)
        return E_NOINTERFACE;
    for (int i = 0; i < m_cTemplates; ++i) {
        if (*m_rgTemplates[i].m_ClsID != rclsid)
            continue;
        CClassFactory* pFactory = new (std::nothrow) CClassFactory(this, &m_rgTemplates[i]);
        if (!pFactory)
            return E_OUTOFMEMORY;
        pFactory->NonDelegatingAddRef();
        HRESULT hr = pFactory->NonDelegatingQueryInterface(riid, ppv);
        pFactory->NonDelegatingRelease();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CComModule::CanUnloadNow() const
{
    return (m_cObjects.load(std::memory_order_acquire) == 0 && m_cLocks.load(std::memory_order_acquire) == 0)
               ? S_OK
               : S_FALSE;
}

void CComModule::LockServer(bool bLock)
{
    if (bLock)
        m_cLocks.fetch_add(1, std::memory_order_relaxed);
    else
        m_cLocks.fetch_sub(1, std::memory_order_acq_rel);
}

HRESULT CComModule::GetModuleFileName(CWString* pstrPath) const
{
    return ::GetModuleFileName(m_hInstance, pstrPath);
}

// --- registration -----------------------------------------------------------

HRESULT RegisterFilter(REFCLSID rclsid, LPCWSTR pszName, DWORD dwMerit, LPCWSTR pszServerPath)
{
    if (!pszName || !pszServerPath || !*pszServerPath)
        return E_INVALIDARG;
    BYTE data[kFilterDataSize] = {};
    StoreLe32(data, kFilterDataVersion);
    StoreLe32(data + 4, dwMerit);
    StoreLe32(data + 8, 0);  // no pins: the output pin's types are known only at run time
    CRegTransaction t;
    HRESULT hr = t.Begin(HKEY_CLASSES_ROOT);
    if (SUCCEEDED(hr))
        hr = t.SetString(ClassKey(rclsid).c_str(), nullptr, pszName);
    if (SUCCEEDED(hr))
        hr = t.SetString(ServerKey(rclsid).c_str(), nullptr, pszServerPath);
    if (SUCCEEDED(hr))
        hr = t.SetString(ServerKey(rclsid).c_str(), u"ThreadingModel", u"Both");
    const CWString strInstance = InstanceKey(rclsid);
    if (SUCCEEDED(hr))
        hr = t.SetString(strInstance.c_str(), u"FriendlyName", pszName);
    if (SUCCEEDED(hr))
        hr = t.SetString(strInstance.c_str(), u"CLSID", GuidText(rclsid).c_str());
    if (SUCCEEDED(hr))
        hr = t.SetDword(strInstance.c_str(), u"Merit", dwMerit);
    if (SUCCEEDED(hr))
        hr = t.SetValue(strInstance.c_str(), u"FilterData", REG_BINARY, data, sizeof(data));
    return FAILED(hr) ? hr : t.Commit();
}

HRESULT UnregisterFilter(REFCLSID rclsid)
{
    CRegTransaction t;
    HRESULT hr = t.Begin(HKEY_CLASSES_ROOT);
    if (FAILED(hr))
        return hr;
    for (const CWString& strKey : {InstanceKey(rclsid), ClassKey(rclsid)}) {
        hr = t.DeleteTree(strKey.c_str());
        if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
            return hr;
    }
    return t.Commit();
}

HRESULT GetRegisteredFilter(REFCLSID rclsid, SFilterRegistration* pReg)
{
    if (!pReg)
        return E_POINTER;
    *pReg = SFilterRegistration{};
    const CWString strInstance = InstanceKey(rclsid);
    DWORD dwType = REG_NONE;
    std::vector<BYTE> v;
    HRESULT hr = RegGetValue(HKEY_CLASSES_ROOT, strInstance.c_str(), u"FilterData", &dwType, &v);
    if (FAILED(hr))
        return hr;
    if (dwType != REG_BINARY || v.size() < kFilterDataSize || LoadLe32(v.data()) != kFilterDataVersion)
        return REGDB_E_INVALIDVALUE;
    pReg->clsid = rclsid;
    pReg->dwMerit = LoadLe32(v.data() + 4);
    pReg->cPins = LoadLe32(v.data() + 8);
    hr = RegGetString(HKEY_CLASSES_ROOT, strInstance.c_str(), u"FriendlyName", &pReg->strName);
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return hr;
    hr = RegisteredServer(rclsid, &pReg->strServer);
    if (FAILED(hr))
        return hr;
    hr = RegGetString(HKEY_CLASSES_ROOT, ServerKey(rclsid).c_str(), u"ThreadingModel", &pReg->strThreadingModel);
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return hr;
    return S_OK;
}

HRESULT EnumRegisteredFilters(std::vector<SFilterRegistration>* pvFilters)
{
    if (!pvFilters)
        return E_POINTER;
    pvFilters->clear();
    std::vector<CWString> vNames;
    const CWString strCategory = ClassKey(CLSID_LegacyAmFilterCategory) + u"\\Instance";
    HRESULT hr = RegEnumSubKeys(HKEY_CLASSES_ROOT, strCategory.c_str(), &vNames);
    if (FAILED(hr))
        return hr;
    for (const CWString& strName : vNames) {
        CLSID clsid;
        SFilterRegistration reg;
        if (!GuidFromString(WideToUtf8(strName).c_str(), &clsid) || FAILED(GetRegisteredFilter(clsid, &reg)))
            continue;  // a stray key is not a filter; the others still count
        pvFilters->push_back(std::move(reg));
    }
    std::stable_sort(pvFilters->begin(), pvFilters->end(),
                     [](const SFilterRegistration& a, const SFilterRegistration& b) { return a.dwMerit > b.dwMerit; });
    return S_OK;
}

bool IsSameModulePath(LPCWSTR pszA, LPCWSTR pszB)
{
    CWString strA, strB;
    if (FAILED(PathMakeAbsolute(pszA ? pszA : u"", &strA)) || FAILED(PathMakeAbsolute(pszB ? pszB : u"", &strB)))
        return false;
    if (WStrEqualNoCase(strA, strB))
        return true;
    struct stat stA, stB;
    return stat(WideToUtf8(strA).c_str(), &stA) == 0 && stat(WideToUtf8(strB).c_str(), &stB) == 0 &&
           stA.st_dev == stB.st_dev && stA.st_ino == stB.st_ino;
}

HRESULT CheckRegisteredServerVersion(REFCLSID rclsid, LPCWSTR pszThisModule)
{
    CWString strRegistered;
    HRESULT hr = RegisteredServer(rclsid, &strRegistered);
    if (hr != S_OK)
        return FAILED(hr) ? hr : S_OK;
    if (!FileExists(PathToNative(strRegistered).c_str()) || IsSameModulePath(strRegistered.c_str(), pszThisModule))
        return S_OK;
    ULONGLONG ullRegistered = 0, ullThis = 0;
    if (FAILED(GetFileVersion(strRegistered.c_str(), &ullRegistered)) ||
        FAILED(GetFileVersion(pszThisModule, &ullThis)))
        return S_OK;
    return ullRegistered > ullThis ? S_FALSE : S_OK;
}

HRESULT CheckRegisteredServerIsThis(REFCLSID rclsid, LPCWSTR pszThisModule)
{
    CWString strRegistered;
    HRESULT hr = RegisteredServer(rclsid, &strRegistered);
    if (hr != S_OK)
        return FAILED(hr) ? hr : S_OK;
    return IsSameModulePath(strRegistered.c_str(), pszThisModule) ? S_OK : S_FALSE;
}
