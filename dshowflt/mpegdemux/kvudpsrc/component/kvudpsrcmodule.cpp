// libkvudpsrc.so: the network source filter as an in-process component.
// Applications find it through its registration (`kvudpsrc register`
// writes it) and create it with CoCreateInstance(CLSID_KVUDPSrc); the
// library exports the four entry points of such a component and its type
// library, nothing else.
#include <new>

#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrc.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrctlb.h"
#include "platform/comserver.h"
#include "platform/fileversion.h"
#include "platform/registry.h"

#ifndef KV_COMPONENT_VERSION
#define KV_COMPONENT_VERSION 0, 1, 0, 0
#endif

namespace {

// The filter, counted as a live object of this library for DllCanUnloadNow.
// The count is the first base so that it goes last, once the filter has
// fully gone.
class CKVUDPSrcObject final : public CModuleObject, public CKVMpg2TSSrc
{
public:
    explicit CKVUDPSrcObject(IUnknown* pUnkOuter) : CKVMpg2TSSrc(pUnkOuter) {}

    static CUnknown* CreateInstance(IUnknown* pUnkOuter, HRESULT* phr) { return New<CKVUDPSrcObject>(pUnkOuter, phr); }
};

const CFactoryTemplate g_Templates[] = {
    {kKVUDPSrcName, &CLSID_KVUDPSrc, CKVUDPSrcObject::CreateInstance},
};

// The URL scheme the filter claims. tcp and saic URLs work too, but other
// components may own those names, so they are not claimed.
constexpr const char16_t* kProtocolKey = u"udp";

}  // namespace

KV_DEFINE_COM_MODULE(g_Templates)
// Expands the version's four numbers before the macro sees them.
#define KVUDPSRC_DEFINE_VERSION(...) KV_DEFINE_FILE_VERSION(__VA_ARGS__)
KVUDPSRC_DEFINE_VERSION(KV_COMPONENT_VERSION);
KV_DEFINE_TYPELIB(g_KVUDPSrcTypeLib)

KV_DLL_EXPORT HRESULT DllRegisterServer()
{
    CWString strModule;
    HRESULT hr = ThisComModule().GetModuleFileName(&strModule);
    if (FAILED(hr))
        return hr;
    hr = CheckRegisteredServerVersion(CLSID_KVUDPSrc, strModule.c_str());
    if (FAILED(hr))
        return hr;
    if (hr == S_FALSE)
        return S_OK;  // a newer copy is registered: it stays
    hr = RegisterFilter(CLSID_KVUDPSrc, kKVUDPSrcName, MERIT_NORMAL, strModule.c_str());
    if (FAILED(hr))
        return hr;
    // Best effort: the class works without its URL scheme.
    (void)RegSetString(HKEY_CLASSES_ROOT, kProtocolKey, u"Source Filter",
                       Utf8ToWide(GuidToString(CLSID_KVUDPSrc)).c_str());
    CComPtr<ITypeLib> pLib;
    hr = LoadTypeLib(strModule.c_str(), &pLib);
    if (SUCCEEDED(hr))
        hr = RegisterTypeLib(pLib, strModule.c_str(), nullptr);
    return FAILED(hr) ? hr : S_OK;
}

KV_DLL_EXPORT HRESULT DllUnregisterServer()
{
    CWString strModule;
    HRESULT hr = ThisComModule().GetModuleFileName(&strModule);
    if (FAILED(hr))
        return hr;
    hr = CheckRegisteredServerIsThis(CLSID_KVUDPSrc, strModule.c_str());
    if (FAILED(hr))
        return hr;
    if (hr == S_FALSE)
        return S_OK;  // another copy is registered: it stays
    (void)RegDeleteTree(HKEY_CLASSES_ROOT, kProtocolKey);
    (void)UnRegisterTypeLib(LIBID_KVUDPSrcLib, 1, 0, 0, SYS_WIN32);
    return UnregisterFilter(CLSID_KVUDPSrc);
}
