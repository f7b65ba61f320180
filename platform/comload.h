// Creating registered classes: CoCreateInstance and CoGetClassObject find a
// class's in-process server in the registry
// (HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, default value = the
// library's path), load the library with dlopen and ask its exported
// DllGetClassObject for the class object. A loaded library stays loaded until
// CoFreeUnusedLibraries finds that its DllCanUnloadNow answers S_OK.
//
// A component and the application that loads it must use one copy of the
// platform (message windows, handle kinds and this loader are per-process
// state): both link the shared platform library, libkvplatform.so.
#pragma once

#include "platform/unknown.h"
#include "platform/wtext.h"

// A server library's exported entry points, and what it keeps to itself.
#define KV_DLL_EXPORT extern "C" __attribute__((visibility("default")))
#define KV_HIDDEN __attribute__((visibility("hidden")))

// {00000001-0000-0000-C000-000000000046}
constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IClassFactory : public IUnknown
{
    // With pUnkOuter the new object is aggregated and riid must be IUnknown
    // (CLASS_E_NOAGGREGATION otherwise); *ppv is then its non-delegating
    // unknown, which the outer object keeps.
    [[nodiscard]] virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) = 0;
    // Keeps the server loaded while locked, without an object.
    [[nodiscard]] virtual HRESULT LockServer(BOOL fLock) = 0;
};

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// The exported entry points of an in-process server.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, void** ppv);
typedef HRESULT (*LPFNCANUNLOADNOW)();
typedef HRESULT (*LPFNREGISTERSERVER)();

// Results: REGDB_E_CLASSNOTREG when the class has no InprocServer32 entry or
// dwClsContext does not ask for an in-process server; CO_E_DLLNOTFOUND when
// the named file does not exist; CO_E_ERRORINDLL when it cannot be loaded or
// exports no DllGetClassObject; HRESULT_FROM_WIN32(ERROR_BADDB) for a corrupt
// registry store; otherwise what the library's DllGetClassObject returns.
// Each failure to load leaves a platform trace line.
[[nodiscard]] HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void* pvReserved, REFIID riid, void** ppv);
// The class object's CreateInstance; CLASS_E_NOAGGREGATION for an outer
// object with riid other than IUnknown.
[[nodiscard]] HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                       void** ppv);
// Unloads every library loaded by CoGetClassObject whose DllCanUnloadNow
// returns S_OK and that no CoGetClassObject call is using at that moment.
void CoFreeUnusedLibraries();

// Loads the library at pszPath (made absolute first, so that the library
// sees and registers its full path), calls DllRegisterServer or
// DllUnregisterServer, and lets it go again: what a registration tool does.
// CO_E_DLLNOTFOUND, CO_E_ERRORINDLL as above; ERROR_PROC_NOT_FOUND when the
// entry point is missing; otherwise the entry point's result.
[[nodiscard]] HRESULT CallServerRegistration(LPCWSTR pszPath, BOOL bRegister);

// The module (main program or shared library) that holds the address pv;
// null when pv lies in none.
HINSTANCE GetModuleHandleFromAddress(const void* pv);
// The absolute path of a module's file. E_INVALIDARG for an unknown handle.
[[nodiscard]] HRESULT GetModuleFileName(HINSTANCE hModule, CWString* pstrPath);
