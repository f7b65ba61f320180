// Building an in-process server: a shared library whose classes
// CoCreateInstance can create.
//
// In one source file of the library:
//
//   const CFactoryTemplate g_Templates[] = {
//       {u"My Filter", &CLSID_MyFilter, CMyFilter::CreateInstance},
//   };
//   KV_DEFINE_COM_MODULE(g_Templates);     // DllGetClassObject, DllCanUnloadNow
//   KV_DEFINE_FILE_VERSION(1, 2, 0, 0);    // from fileversion.h
//   KV_DLL_EXPORT HRESULT DllRegisterServer() { ... }    // with the helpers below
//   KV_DLL_EXPORT HRESULT DllUnregisterServer() { ... }
//
// Every class that the factory creates also derives from CModuleObject, so
// that DllCanUnloadNow answers S_FALSE while any of its objects lives.
// Build the library with hidden visibility (-fvisibility=hidden), link it
// with libkvplatform.so (target kvplatform_shared), and give the linker
// platform/comserver.map as its version script: it exports the entry points
// and nothing else, so that no other library binds to it and the loader can
// unload it (see platform/testcomp/CMakeLists.txt).
//
// Registry entries written for a filter (under HKEY_CLASSES_ROOT):
//   CLSID\{clsid}                        @ = name
//   CLSID\{clsid}\InprocServer32         @ = library path, ThreadingModel = "Both"
//   CLSID\{083863F1-70DE-11D0-BD40-00A0C911CE86}\Instance\{clsid}
//                                        FriendlyName = name, CLSID = "{clsid}",
//                                        Merit = dword, FilterData = binary (below)
// FilterData, little-endian 32-bit fields: version (2), merit, pin count,
// reserved (0); a registration that names pins would append them after.
#pragma once

#include <atomic>
#include <vector>

#include "platform/comload.h"

// The merit that our filters register with.
constexpr DWORD MERIT_NORMAL = 0x00200000;

// {083863F1-70DE-11D0-BD40-00A0C911CE86}: the category under which filters
// are listed with their merit.
constexpr CLSID CLSID_LegacyAmFilterCategory = {
    0x083863F1, 0x70DE, 0x11D0, {0xBD, 0x40, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

// Creates an object, aggregated when pUnkOuter is given; sets *phr only on
// failure. Returns the object with a count of 0, or null.
typedef CUnknown* (*LPFNNewCOMObject)(IUnknown* pUnkOuter, HRESULT* phr);

struct CFactoryTemplate
{
    LPCWSTR m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
};

// A server library's state: its classes, its live objects and its
// LockServer count. Each library has its own (KV_DEFINE_COM_MODULE).
class CComModule
{
public:
    CComModule(const CFactoryTemplate* rgTemplates, int cTemplates, const void* pvAddressInModule);
    CComModule(const CComModule&) = delete;
    CComModule& operator=(const CComModule&) = delete;

    // DllGetClassObject: a class factory for a class of the table;
    // CLASS_E_CLASSNOTAVAILABLE for any other class.
    [[nodiscard]] HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
    // DllCanUnloadNow: S_OK when no object or class factory of the library
    // lives and no LockServer(TRUE) is outstanding, else S_FALSE.
    [[nodiscard]] HRESULT CanUnloadNow() const;

    void IncrementObjects() { m_cObjects.fetch_add(1, std::memory_order_relaxed); }
    void DecrementObjects() { m_cObjects.fetch_sub(1, std::memory_order_acq_rel); }
    void LockServer(bool bLock);
    LONG ObjectCount() const { return m_cObjects.load(std::memory_order_acquire); }

    // The library's load address, kept from the moment it was loaded.
    HINSTANCE GetInstance() const { return m_hInstance; }
    // The library's own absolute path.
    [[nodiscard]] HRESULT GetModuleFileName(CWString* pstrPath) const;

private:
    const CFactoryTemplate* const m_rgTemplates;
    const int m_cTemplates;
    const HINSTANCE m_hInstance;
    std::atomic<LONG> m_cObjects{0};
    std::atomic<LONG> m_cLocks{0};
};

// The module of the library this code is compiled into; defined by
// KV_DEFINE_COM_MODULE. Hidden, so that each library finds its own.
KV_HIDDEN CComModule& ThisComModule();

// Counts the object as live for its library's DllCanUnloadNow.
class KV_HIDDEN CModuleObject
{
protected:
    CModuleObject() { ThisComModule().IncrementObjects(); }
    ~CModuleObject() { ThisComModule().DecrementObjects(); }
    CModuleObject(const CModuleObject&) = delete;
    CModuleObject& operator=(const CModuleObject&) = delete;
};

#define KV_DEFINE_COM_MODULE(rgTemplates)                                                                   \
    namespace {                                                                                             \
    CComModule g_kvComModule(rgTemplates, static_cast<int>(sizeof(rgTemplates) / sizeof((rgTemplates)[0])), \
                             reinterpret_cast<const void*>(&ThisComModule));                                \
    }                                                                                                       \
    CComModule& ThisComModule() { return g_kvComModule; }                                                   \
    KV_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)                      \
    {                                                                                                       \
        return g_kvComModule.GetClassObject(rclsid, riid, ppv);                                             \
    }                                                                                                       \
    KV_DLL_EXPORT HRESULT DllCanUnloadNow() { return g_kvComModule.CanUnloadNow(); }

// --- registration helpers ---------------------------------------------------

// What a filter's registration says about it.
struct SFilterRegistration
{
    CLSID clsid = GUID_NULL;
    CWString strName;
    DWORD dwMerit = 0;
    ULONG cPins = 0;
    CWString strServer;          // InprocServer32 default value
    CWString strThreadingModel;  // "Both"
};

// Registers the class (name, library path, threading model "Both") and the
// filter (name, merit, no pins) in one registry transaction.
[[nodiscard]] HRESULT RegisterFilter(REFCLSID rclsid, LPCWSTR pszName, DWORD dwMerit, LPCWSTR pszServerPath);
// Removes both; S_OK when they were not registered.
[[nodiscard]] HRESULT UnregisterFilter(REFCLSID rclsid);
// ERROR_FILE_NOT_FOUND when the filter is not registered; REGDB_E_INVALIDVALUE
// when its filter data cannot be read.
[[nodiscard]] HRESULT GetRegisteredFilter(REFCLSID rclsid, SFilterRegistration* pReg);
// Every registered filter, highest merit first.
[[nodiscard]] HRESULT EnumRegisteredFilters(std::vector<SFilterRegistration>* pvFilters);

// Two paths name the same module when they are equal without regard to
// letter case (once made absolute) or name the same file.
bool IsSameModulePath(LPCWSTR pszA, LPCWSTR pszB);

// The version rule of registration. S_OK: go ahead; S_FALSE: the library
// registered for the class has a higher file version than pszThisModule, so
// registration must leave everything as it is (and report S_OK). A missing
// registration, a registered file that does not exist, the same module, or a
// file of either side without version information all let registration go
// ahead. Fails only when the registry cannot be read.
[[nodiscard]] HRESULT CheckRegisteredServerVersion(REFCLSID rclsid, LPCWSTR pszThisModule);
// The rule of unregistration. S_OK: the class is registered to this module,
// or has no registered library; S_FALSE: another file is registered, which
// unregistration must leave alone.
[[nodiscard]] HRESULT CheckRegisteredServerIsThis(REFCLSID rclsid, LPCWSTR pszThisModule);
