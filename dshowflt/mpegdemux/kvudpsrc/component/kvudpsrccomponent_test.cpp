// libkvudpsrc.so as applications meet it: registered into a registry of its
// own (a temporary store), found and loaded by CoCreateInstance, aggregated,
// asked for its type library, unloadable only when nothing of it lives; and
// the rules that keep an older copy from replacing a newer one and one copy
// from removing another's registration. This test links the shared platform
// only, as an application that loads the component must.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsinkif.h"
#include "dshowflt/common/dvr/dvrsourceif.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h"
#include "platform/comserver.h"
#include "platform/fileversion.h"
#include "platform/graph/strmif.h"
#include "platform/registry.h"
#include "platform/regtestenv.h"
#include "platform/typeinfo.h"

namespace {

const CWString kComponent = Utf8ToWide(KV_COMPONENT_PATH);

std::string ServerKey()
{
    return "CLSID\\" + GuidToString(CLSID_KVUDPSrc) + "\\InprocServer32";
}

CWString RegisteredServer()
{
    CWString str;
    (void)RegGetString(HKEY_CLASSES_ROOT, Utf8ToWide(ServerKey()).c_str(), nullptr, &str);
    return str;
}

// A copy of the component whose file version says it is newer: the version
// note ("KVFV", then the two 32-bit halves) gets a higher major number.
std::string NewerCopy(const std::string& strFolder)
{
    std::ifstream in(KV_COMPONENT_PATH, std::ios::binary);
    std::vector<char> v((std::istreambuf_iterator<char>(in)), {});
    const char kName[8] = {'K', 'V', 'F', 'V', 0, 0, 0, 0};
    auto it = std::search(v.begin(), v.end(), kName, kName + 8);
    if (it == v.end())
        return std::string();
    const uint32_t dwMS = 0x7FFF0000u;
    memcpy(&*(it + 8), &dwMS, sizeof(dwMS));
    const std::string strPath = strFolder + "/libkvudpsrc-newer.so";
    std::ofstream(strPath, std::ios::binary).write(v.data(), static_cast<std::streamsize>(v.size()));
    return strPath;
}

HRESULT CanUnloadNow(const CWString& strPath)
{
    void* h = dlopen(WideToUtf8(strPath).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h)
        return E_FAIL;
    auto pfn = reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(h, "DllCanUnloadNow"));
    const HRESULT hr = pfn ? pfn() : E_FAIL;
    dlclose(h);
    return hr;
}

class COuter : public IUnknown
{
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return m_pInner->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_cRef); }
    ULONG Release() override { return static_cast<ULONG>(--m_cRef); }
    IUnknown* m_pInner = nullptr;
    LONG m_cRef = 1;
};

}  // namespace

TEST(KVUDPSrcComponentTest, RegistrationPublishesTheClassTheUdpSchemeAndTheTypeLibrary)
{
    CRegistryTestEnv env;
    ASSERT_EQ(S_OK, CallServerRegistration(kComponent.c_str(), TRUE));

    SFilterRegistration reg;
    ASSERT_EQ(S_OK, GetRegisteredFilter(CLSID_KVUDPSrc, &reg));
    EXPECT_EQ(CWString(kKVUDPSrcName), reg.strName);
    EXPECT_EQ(MERIT_NORMAL, reg.dwMerit);
    EXPECT_EQ(0u, reg.cPins);
    EXPECT_TRUE(IsSameModulePath(reg.strServer.c_str(), kComponent.c_str()));
    CWString strClass;
    ASSERT_EQ(S_OK, RegGetString(HKEY_CLASSES_ROOT, u"udp", u"Source Filter", &strClass));
    EXPECT_EQ(Utf8ToWide(GuidToString(CLSID_KVUDPSrc)), strClass);
    // Only the udp scheme is claimed.
    EXPECT_EQ(S_FALSE, RegKeyExists(HKEY_CLASSES_ROOT, u"tcp"));
    EXPECT_EQ(S_FALSE, RegKeyExists(HKEY_CLASSES_ROOT, u"saic"));

    ITypeLib* pLib = nullptr;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_KVUDPSrcLib, 1, 0, 0, &pLib));
    BSTR bstrName = nullptr, bstrHelp = nullptr;
    ASSERT_EQ(S_OK, pLib->GetDocumentation(-1, &bstrName, &bstrHelp));
    EXPECT_EQ("KVUDPSrcLib", WideToUtf8(bstrName));
    EXPECT_EQ("TARN MPEG2 Transport UDP Source Library", WideToUtf8(bstrHelp));
    SysFreeString(bstrName);
    SysFreeString(bstrHelp);
    ITypeInfo* pInfo = nullptr;
    for (const IID* piid : {&IID_IKVUDPSrc, &IID_IKVUDPSrc1, &IID_IKVSrcCallback, &CLSID_KVUDPSrc}) {
        EXPECT_EQ(S_OK, pLib->GetTypeInfoOfGuid(*piid, &pInfo)) << GuidToString(*piid);
        if (pInfo)
            pInfo->Release();
        pInfo = nullptr;
    }
    pLib->Release();

    ASSERT_EQ(S_OK, CallServerRegistration(kComponent.c_str(), FALSE));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), GetRegisteredFilter(CLSID_KVUDPSrc, &reg));
    EXPECT_EQ(S_FALSE, RegKeyExists(HKEY_CLASSES_ROOT, u"udp"));
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, LoadRegTypeLib(LIBID_KVUDPSrcLib, 1, 0, 0, &pLib));
}

TEST(KVUDPSrcComponentTest, AnOlderCopyNeitherReplacesNorRemovesANewerOne)
{
    CRegistryTestEnv env;
    const std::string strNewer = NewerCopy(env.Folder());
    ASSERT_FALSE(strNewer.empty()) << "no version note in the component";
    ULONGLONG ullNewer = 0, ullOurs = 0;
    ASSERT_EQ(S_OK, GetFileVersion(Utf8ToWide(strNewer).c_str(), &ullNewer));
    ASSERT_EQ(S_OK, GetFileVersion(kComponent.c_str(), &ullOurs));
    ASSERT_GT(ullNewer, ullOurs);

    ASSERT_EQ(S_OK, CallServerRegistration(Utf8ToWide(strNewer).c_str(), TRUE));
    std::string strStore;
    ASSERT_EQ(S_OK, GetRegistryStorePath(HKEY_CLASSES_ROOT, &strStore));
    std::ifstream in(strStore, std::ios::binary);
    const std::string strBefore((std::istreambuf_iterator<char>(in)), {});

    // Registering ours over the newer one: S_OK, and not a byte changes.
    EXPECT_EQ(S_OK, CallServerRegistration(kComponent.c_str(), TRUE));
    // Unregistering ours while the other is registered: the same.
    EXPECT_EQ(S_OK, CallServerRegistration(kComponent.c_str(), FALSE));
    std::ifstream in2(strStore, std::ios::binary);
    const std::string strAfter((std::istreambuf_iterator<char>(in2)), {});
    EXPECT_EQ(strBefore, strAfter);
    EXPECT_TRUE(IsSameModulePath(RegisteredServer().c_str(), Utf8ToWide(strNewer).c_str()));

    // The newer copy removes its own registration.
    ASSERT_EQ(S_OK, CallServerRegistration(Utf8ToWide(strNewer).c_str(), FALSE));
    EXPECT_TRUE(RegisteredServer().empty());
    EXPECT_EQ(S_FALSE, RegKeyExists(HKEY_CLASSES_ROOT, u"udp"));
}

TEST(KVUDPSrcComponentTest, CreatedThroughTheRegistryItIsTheFilterWithItsInterfaces)
{
    CRegistryTestEnv env;
    ASSERT_EQ(S_OK, CallServerRegistration(kComponent.c_str(), TRUE));

    IBaseFilter* pFilter = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KVUDPSrc, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&pFilter)));
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, pFilter->GetClassID(&clsid));
    EXPECT_EQ(CLSID_KVUDPSrc, clsid);
    EXPECT_EQ(S_FALSE, CanUnloadNow(kComponent));  // an object of it lives

    for (const IID* piid : {&IID_IFileSourceFilter, &IID_IKVDVRSource, &IID_IKVDVRSink, &IID_IKVUDPSrc}) {
        IUnknown* p = nullptr;
        EXPECT_EQ(S_OK, pFilter->QueryInterface(*piid, reinterpret_cast<void**>(&p))) << GuidToString(*piid);
        if (p)
            p->Release();
    }
    // Late-bound, from the type library in the component's own file.
    IDispatch* pDisp = nullptr;
    ASSERT_EQ(S_OK, pFilter->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pDisp)));
    LPOLESTR pszName = const_cast<LPOLESTR>(u"CallInSameThread");
    DISPID id = 0;
    ASSERT_EQ(S_OK, pDisp->GetIDsOfNames(IID_NULL, &pszName, 1, 0, &id));
    EXPECT_EQ(2, id);
    VARIANT vr;
    VariantInit(&vr);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    ASSERT_EQ(S_OK, pDisp->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &vr, nullptr, nullptr));
    EXPECT_EQ(VT_BOOL, vr.vt);
    EXPECT_EQ(VARIANT_TRUE, vr.boolVal);  // on by default
    ITypeInfo* pInfo = reinterpret_cast<ITypeInfo*>(&id);
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pDisp->GetTypeInfo(1, 0, &pInfo));
    pDisp->Release();

    pFilter->Release();
    EXPECT_EQ(S_OK, CanUnloadNow(kComponent));
    CoFreeUnusedLibraries();
}

TEST(KVUDPSrcComponentTest, AggregatedItAnswersForTheOuterObjectOnly)
{
    CRegistryTestEnv env;
    ASSERT_EQ(S_OK, CallServerRegistration(kComponent.c_str(), TRUE));
    COuter outer;
    void* pv = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              CoCreateInstance(CLSID_KVUDPSrc, &outer, CLSCTX_INPROC_SERVER, IID_IBaseFilter, &pv));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_KVUDPSrc, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&outer.m_pInner)));
    // The receive thread's writer, reached through the aggregate, is part
    // of it: its IUnknown is the outer object's.
    IKVDVRSink* pSink = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IKVDVRSink, reinterpret_cast<void**>(&pSink)));
    IUnknown* pBack = nullptr;
    ASSERT_EQ(S_OK, pSink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pBack)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), pBack);
    pBack->Release();
    pSink->Release();
    EXPECT_EQ(1, outer.m_cRef);
    outer.m_pInner->Release();
    EXPECT_EQ(S_OK, CanUnloadNow(kComponent));
}
