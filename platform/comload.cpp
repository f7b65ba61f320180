#include "platform/comload.h"

#include <dlfcn.h>

#include <list>
#include <mutex>
#include <vector>

#include "platform/critsec.h"
#include "platform/file.h"
#include "platform/platformtrace.h"
#include "platform/registry.h"

namespace {

// One library loaded for its classes. The table's own dlopen reference
// keeps it loaded; a call that uses the library counts itself in nActive and
// bumps nGeneration, so an unload that raced with it can tell and back off.
struct SServer
{
    void* hLib;
    LPFNGETCLASSOBJECT pfnGetClassObject;
    LPFNCANUNLOADNOW pfnCanUnloadNow;  // may be null: never unloaded
    int nActive;
    uint64_t nGeneration;
};

struct SLoader
{
    CCritSec cs;
    std::list<SServer> servers GUARDED_BY(cs);
    std::mutex mtxFree;  // one CoFreeUnusedLibraries at a time; never held with cs
};

SLoader& Loader()
{
    // Never destroyed: components may still be released by static
    // destructors of other modules at exit.
    static SLoader* s_p = new SLoader;
    return *s_p;
}

CWString ClassKey(REFCLSID rclsid) { return u"CLSID\\" + Utf8ToWide(GuidToString(rclsid)) + u"\\InprocServer32"; }

// dlopen with a trace line and a status that tells a missing file from a
// broken one.
HRESULT OpenLibrary(const std::string& strPath, void** phLib)
{
    *phLib = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (*phLib)
        return S_OK;
    const char* pszErr = dlerror();
    const bool bMissing = strPath.find('/') != std::string::npos && !FileExists(Utf8ToWide(strPath).c_str());
    PlatformTrace("\nCoGetClassObject(): cannot load %s: %s", strPath.c_str(), pszErr ? pszErr : "?");
    return bMissing ? CO_E_DLLNOTFOUND : CO_E_ERRORINDLL;
}

}  // namespace

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, void** ppv)
{
    (void)pvReserved;
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!(dwClsContext & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    CWString strPath;
    HRESULT hr = RegGetString(HKEY_CLASSES_ROOT, ClassKey(rclsid).c_str(), nullptr, &strPath);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE))
        return REGDB_E_CLASSNOTREG;
    if (FAILED(hr))
        return hr;
    if (strPath.empty())
        return CO_E_DLLNOTFOUND;
    const std::string strLib = WideToUtf8(PathToNative(strPath));

    // Two references: one held across the call, one that the table keeps if
    // this is the library's first use.
    void* hCall = nullptr;
    hr = OpenLibrary(strLib, &hCall);
    if (FAILED(hr))
        return hr;
    void* hTable = dlopen(strLib.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto pfnGet = reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(hCall, "DllGetClassObject"));
    auto pfnCanUnload = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(hCall, "DllCanUnloadNow"));
    if (!pfnGet || !hTable) {
        PlatformTrace("\nCoGetClassObject(): %s exports no DllGetClassObject", strLib.c_str());
        if (hTable)
            dlclose(hTable);
        dlclose(hCall);
        return CO_E_ERRORINDLL;
    }
    SLoader& loader = Loader();
    SServer* pServer = nullptr;
    {
        CAutoLock lock(&loader.cs);
        for (SServer& s : loader.servers) {
            if (s.hLib == hCall)
                pServer = &s;
        }
        if (!pServer) {
            loader.servers.push_back(SServer{hTable, pfnGet, pfnCanUnload, 0, 0});
            pServer = &loader.servers.back();
            hTable = nullptr;
        }
        ++pServer->nActive;
        ++pServer->nGeneration;
    }
    if (hTable)
        dlclose(hTable);
    hr = pfnGet(rclsid, riid, ppv);
    {
        CAutoLock lock(&loader.cs);
        --pServer->nActive;  // list nodes stay put; an entry in use is never erased
    }
    dlclose(hCall);
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    CComPtr<IClassFactory> pFactory;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&pFactory));
    if (FAILED(hr))
        return hr;
    return pFactory->CreateInstance(pUnkOuter, riid, ppv);
}

void CoFreeUnusedLibraries()
{
    SLoader& loader = Loader();
    std::lock_guard<std::mutex> lockFree(loader.mtxFree);
    struct SCandidate
    {
        SServer* pServer;
        LPFNCANUNLOADNOW pfn;
        uint64_t nGeneration;
    };
    std::vector<SCandidate> v;
    {
        CAutoLock lock(&loader.cs);
        for (SServer& s : loader.servers) {
            if (s.pfnCanUnloadNow && s.nActive == 0)
                v.push_back(SCandidate{&s, s.pfnCanUnloadNow, s.nGeneration});
        }
    }
    // Only this function erases entries, and it runs once at a time, so the
    // candidates stay valid; the table's reference keeps their code mapped.
    for (const SCandidate& c : v) {
        if (c.pfn() != S_OK)
            continue;
        void* hLib = nullptr;
        {
            CAutoLock lock(&loader.cs);
            if (c.pServer->nActive != 0 || c.pServer->nGeneration != c.nGeneration)
                continue;  // handed out a class object meanwhile: ask again next time
            hLib = c.pServer->hLib;
            loader.servers.remove_if([&](const SServer& s) { return &s == c.pServer; });
        }
        dlclose(hLib);
    }
}

HRESULT CallServerRegistration(LPCWSTR pszPath, BOOL bRegister)
{
    CWString strAbs;
    HRESULT hr = PathMakeAbsolute(pszPath ? pszPath : u"", &strAbs);
    if (FAILED(hr))
        return hr;
    const std::string strLib = WideToUtf8(strAbs);
    void* hLib = nullptr;
    hr = OpenLibrary(strLib, &hLib);
    if (FAILED(hr))
        return hr;
    const char* pszEntry = bRegister ? "DllRegisterServer" : "DllUnregisterServer";
    auto pfn = reinterpret_cast<LPFNREGISTERSERVER>(dlsym(hLib, pszEntry));
    if (!pfn) {
        PlatformTrace("\nCallServerRegistration(): %s exports no %s", strLib.c_str(), pszEntry);
        hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    } else {
        hr = pfn();
    }
    dlclose(hLib);
    return hr;
}

HINSTANCE GetModuleHandleFromAddress(const void* pv)
{
    Dl_info info;
    if (!pv || !dladdr(pv, &info) || !info.dli_fbase)
        return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
}

HRESULT GetModuleFileName(HINSTANCE hModule, CWString* pstrPath)
{
    if (!pstrPath)
        return E_POINTER;
    Dl_info info;
    if (!hModule || !dladdr(hModule, &info) || info.dli_fbase != static_cast<void*>(hModule) || !info.dli_fname ||
        !*info.dli_fname)
        return E_INVALIDARG;
    return PathMakeAbsolute(Utf8ToWide(info.dli_fname), pstrPath);
}
