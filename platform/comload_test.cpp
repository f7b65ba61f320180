// The component round trip: a real shared library (platform/testcomp, built
// as versions 1.0.0.1 and 2.0.0.0) registered into a temporary registry,
// created through CoCreateInstance, aggregated, and unloaded by the unload rule.
#include "platform/comload.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/comserver.h"
#include "platform/fileversion.h"
#include "platform/platformtrace.h"
#include "platform/registry.h"
#include "platform/regtestenv.h"
#include "platform/testcomp/testcomp.h"
#include "platform/typeinfo.h"

namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// Whether the library at path is mapped in this process.
bool IsLoaded(const std::string& path)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h)
        dlclose(h);
    return h != nullptr;
}

CWString W(const std::string& s) { return Utf8ToWide(s); }

class CComLoadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Copies in the test's folder, so that paths, copies and deletions
        // are the test's own.
        m_strV1 = m_env.Folder() + "/v1/libkvtestcomp.so";
        m_strV2 = m_env.Folder() + "/v2/libkvtestcomp.so";
        std::filesystem::create_directories(m_env.Folder() + "/v1");
        std::filesystem::create_directories(m_env.Folder() + "/v2");
        std::filesystem::copy_file(KV_TESTCOMP1, m_strV1);
        std::filesystem::copy_file(KV_TESTCOMP2, m_strV2);
    }
    void TearDown() override
    {
        CoFreeUnusedLibraries();
        EXPECT_FALSE(IsLoaded(m_strV1));
        EXPECT_FALSE(IsLoaded(m_strV2));
    }

    HRESULT Register(const std::string& path) { return CallServerRegistration(W(path).c_str(), TRUE); }
    HRESULT Unregister(const std::string& path) { return CallServerRegistration(W(path).c_str(), FALSE); }
    CWString RegisteredServer()
    {
        CWString str;
        EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, (u"CLSID\\" + W(GuidToString(CLSID_KVTestCalc)) + u"\\InprocServer32").c_str(),
                               nullptr, &str),
                  S_OK);
        return str;
    }

    CRegistryTestEnv m_env;
    std::string m_strV1, m_strV2;
};

// An object that aggregates the test class: the inner object's interfaces
// are reached through the outer one and share its identity and count.
class COuter : public CUnknown
{
public:
    COuter() : CUnknown("COuter", nullptr) {}
    ~COuter() override
    {
        if (m_pInner)
            m_pInner->Release();
    }
    HRESULT Init()
    {
        return CoCreateInstance(CLSID_KVTestCalc, GetOwner(), CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(&m_pInner));
    }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_ITestCalc && m_pInner)
            return m_pInner->QueryInterface(riid, ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    LONG Count() const { return m_cRef.load(); }

private:
    IUnknown* m_pInner = nullptr;
};

}  // namespace

TEST_F(CComLoadTest, RegisteredClassIsCreatedAndItsLibraryUnloadedWhenUnused)
{
    ASSERT_EQ(Register(m_strV1), S_OK);
    EXPECT_EQ(RegisteredServer(), W(m_strV1));
    EXPECT_FALSE(IsLoaded(m_strV1));  // registration let it go again

    CComPtr<ITestCalc> pCalc;
    ASSERT_EQ(CoCreateInstance(CLSID_KVTestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCalc,
                               reinterpret_cast<void**>(&pCalc)),
              S_OK);
    ASSERT_TRUE(IsLoaded(m_strV1));
    ASSERT_EQ(pCalc->put_Scale(3), S_OK);
    double d = 0;
    ASSERT_EQ(pCalc->Add(1, 2, &d), S_OK);
    EXPECT_EQ(d, 9);
    CComPtr<IUnknown> pUnk1, pUnk2;
    ASSERT_EQ(pCalc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk1)), S_OK);
    CComPtr<ITestNotify> pNotify;
    ASSERT_EQ(pCalc.QueryInterface(IID_ITestNotify, &pNotify), S_OK);
    ASSERT_EQ(pNotify->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk2)), S_OK);
    EXPECT_EQ(pUnk1.Get(), pUnk2.Get());  // one identity
    pUnk1.Release();
    pUnk2.Release();
    pNotify.Release();

    // A live object keeps the library loaded.
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded(m_strV1));
    pCalc.Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(m_strV1));

    // So do a held class factory and a server lock without any object.
    CComPtr<IClassFactory> pFactory;
    ASSERT_EQ(CoGetClassObject(CLSID_KVTestCalc, CLSCTX_ALL, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFactory)),
              S_OK);
    ASSERT_EQ(pFactory->LockServer(TRUE), S_OK);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded(m_strV1));
    pFactory.Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded(m_strV1));  // still locked
    ASSERT_EQ(CoGetClassObject(CLSID_KVTestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFactory)),
              S_OK);
    ASSERT_EQ(pFactory->LockServer(FALSE), S_OK);
    pFactory.Release();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(m_strV1));

    ASSERT_EQ(Unregister(m_strV1), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_KVTestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCalc,
                               reinterpret_cast<void**>(&pCalc)),
              REGDB_E_CLASSNOTREG);
}

TEST_F(CComLoadTest, AggregatedObjectSharesTheOuterIdentityAndCount)
{
    ASSERT_EQ(Register(m_strV1), S_OK);
    COuter* pOuter = new COuter;
    pOuter->NonDelegatingAddRef();
    ASSERT_EQ(pOuter->Init(), S_OK);
    {
        CComPtr<ITestCalc> pCalc;
        ASSERT_EQ(pOuter->NonDelegatingQueryInterface(IID_ITestCalc, reinterpret_cast<void**>(&pCalc)), S_OK);
        EXPECT_EQ(pOuter->Count(), 2);  // the inner interface counts on the outer object
        CComPtr<IUnknown> pIdentity;
        ASSERT_EQ(pCalc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)), S_OK);
        EXPECT_EQ(pIdentity.Get(), pOuter->GetNonDelegatingUnknown());
        EXPECT_EQ(pOuter->Count(), 3);
        double d = 0;
        ASSERT_EQ(pCalc->Add(2, 2, &d), S_OK);
        EXPECT_EQ(d, 4);
    }
    EXPECT_EQ(pOuter->Count(), 1);

    // An aggregate can only ask for the inner object's own unknown.
    CComPtr<ITestCalc> pCalc;
    EXPECT_EQ(CoCreateInstance(CLSID_KVTestCalc, pOuter->GetNonDelegatingUnknown(), CLSCTX_INPROC_SERVER,
                               IID_ITestCalc, reinterpret_cast<void**>(&pCalc)),
              CLASS_E_NOAGGREGATION);
    CComPtr<IClassFactory> pFactory;
    ASSERT_EQ(CoGetClassObject(CLSID_KVTestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&pFactory)),
              S_OK);
    EXPECT_EQ(pFactory->CreateInstance(pOuter->GetNonDelegatingUnknown(), IID_ITestCalc,
                                       reinterpret_cast<void**>(&pCalc)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(pCalc.Get(), nullptr);
    pFactory.Release();
    CoFreeUnusedLibraries();
    EXPECT_TRUE(IsLoaded(m_strV1));  // the inner object still lives
    pOuter->NonDelegatingRelease();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(IsLoaded(m_strV1));
}

TEST_F(CComLoadTest, UnloadableRegistrationsGiveClearStatus)
{
    SetPlatformTraceSink([](const char*) {});
    const CWString strKey = u"CLSID\\" + W(GuidToString(CLSID_KVTestCalc)) + u"\\InprocServer32";
    void* pv = nullptr;
    auto create = [&](REFCLSID clsid, DWORD ctx = CLSCTX_INPROC_SERVER) {
        return CoCreateInstance(clsid, nullptr, ctx, IID_IUnknown, &pv);
    };
    EXPECT_EQ(create(CLSID_KVTestCalc), REGDB_E_CLASSNOTREG);
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, W(m_env.Folder() + "/gone.so").c_str()), S_OK);
    EXPECT_EQ(create(CLSID_KVTestCalc), CO_E_DLLNOTFOUND);
    std::ofstream(m_env.Folder() + "/text.so") << "not a library";
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, W(m_env.Folder() + "/text.so").c_str()), S_OK);
    EXPECT_EQ(create(CLSID_KVTestCalc), CO_E_ERRORINDLL);
    // A real library that is no server.
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, W(KV_PLATFORM_SHARED).c_str()), S_OK);
    EXPECT_EQ(create(CLSID_KVTestCalc), CO_E_ERRORINDLL);
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, u""), S_OK);
    EXPECT_EQ(create(CLSID_KVTestCalc), CO_E_DLLNOTFOUND);
    ASSERT_EQ(RegSetDword(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, 1), S_OK);
    EXPECT_EQ(create(CLSID_KVTestCalc), REGDB_E_CLASSNOTREG);
    // A server that does not serve the class asked for.
    const CWString strMissing = u"CLSID\\" + W(GuidToString(CLSID_KVTestMissing)) + u"\\InprocServer32";
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, strMissing.c_str(), nullptr, W(m_strV1).c_str()), S_OK);
    EXPECT_EQ(create(CLSID_KVTestMissing), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(create(CLSID_KVTestMissing, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_KVTestMissing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);
    // A corrupt store is reported as such, not as a missing class.
    std::ofstream(m_env.UserStore(), std::ios::trunc) << "KVREG 1\n[x]\n";
    EXPECT_EQ(create(CLSID_KVTestCalc), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(CallServerRegistration(W(m_strV1).c_str(), TRUE), HRESULT_FROM_WIN32(ERROR_BADDB));
    EXPECT_EQ(CallServerRegistration(W(KV_PLATFORM_SHARED).c_str(), TRUE), HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(CallServerRegistration(u"/nonexistent/lib.so", TRUE), CO_E_DLLNOTFOUND);
    SetPlatformTraceSink(nullptr);
}

TEST_F(CComLoadTest, RegistrationWritesClassFilterProtocolAndTypeLibrary)
{
    ASSERT_EQ(Register(m_strV2), S_OK);
    SFilterRegistration reg;
    ASSERT_EQ(GetRegisteredFilter(CLSID_KVTestCalc, &reg), S_OK);
    EXPECT_EQ(reg.strName, u"KV Test Calculator");
    EXPECT_EQ(reg.dwMerit, MERIT_NORMAL);
    EXPECT_EQ(reg.cPins, 0u);
    EXPECT_EQ(reg.strServer, W(m_strV2));
    EXPECT_EQ(reg.strThreadingModel, u"Both");
    std::vector<SFilterRegistration> v;
    ASSERT_EQ(EnumRegisteredFilters(&v), S_OK);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].clsid, CLSID_KVTestCalc);
    CWString str;
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"kvtest", u"Source Filter", &str), S_OK);
    EXPECT_EQ(str, W(GuidToString(CLSID_KVTestCalc)));
    const CWString strLib = u"TypeLib\\" + W(GuidToString(LIBID_KVTestCalcLib)) + u"\\1.0";
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, (strLib + u"\\0\\win32").c_str(), nullptr, &str), S_OK);
    EXPECT_EQ(str, W(m_strV2));
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, (strLib + u"\\HELPDIR").c_str(), nullptr, &str), S_OK);
    EXPECT_EQ(str, W(m_env.Folder() + "/v2"));
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, (u"Interface\\" + W(GuidToString(IID_ITestCalc)) + u"\\TypeLib").c_str(),
                           nullptr, &str),
              S_OK);
    EXPECT_EQ(str, W(GuidToString(LIBID_KVTestCalcLib)));
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, (u"Interface\\" + W(GuidToString(IID_ITestNotify))).c_str()), S_FALSE);

    // The registered type library loads by its identifier.
    CComPtr<ITypeLib> pLib;
    ASSERT_EQ(LoadRegTypeLib(LIBID_KVTestCalcLib, 1, 0, 0x409, &pLib), S_OK);
    TLIBATTR attr;
    ASSERT_EQ(pLib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr.guid, LIBID_KVTestCalcLib);
    pLib.Release();

    // Unregistering takes everything back out, leaving an empty store.
    ASSERT_EQ(Unregister(m_strV2), S_OK);
    EXPECT_EQ(GetRegisteredFilter(CLSID_KVTestCalc, &reg), kNotFound);
    for (const char16_t* psz : {u"CLSID", u"kvtest", u"TypeLib", u"Interface"})
        EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, psz), S_FALSE) << WideToUtf8(psz);
    EXPECT_EQ(LoadRegTypeLib(LIBID_KVTestCalcLib, 1, 0, 0, &pLib), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_KVTestCalcLib, 1, 0, 0, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(Unregister(m_strV2), S_OK);  // nothing left to remove
}

TEST_F(CComLoadTest, OlderCopyNeverReplacesNewerAndOtherCopyIsNotUnregistered)
{
    ASSERT_EQ(GetFileVersion(W(m_strV1).c_str(), nullptr), E_POINTER);
    ULONGLONG ull = 0;
    ASSERT_EQ(GetFileVersion(W(m_strV1).c_str(), &ull), S_OK);
    ASSERT_EQ(ull, MakeFileVersion(1, 0, 0, 1));
    ASSERT_EQ(GetFileVersion(W(m_strV2).c_str(), &ull), S_OK);
    ASSERT_EQ(ull, MakeFileVersion(2, 0, 0, 0));

    // Version 1 over a registered version 2: S_OK, and not a byte changes.
    ASSERT_EQ(Register(m_strV2), S_OK);
    const std::string strStore = ReadTestFile(m_env.UserStore());
    ASSERT_EQ(Register(m_strV1), S_OK);
    EXPECT_EQ(ReadTestFile(m_env.UserStore()), strStore);
    // Unregistering version 1, or another copy of version 2, changes nothing either.
    ASSERT_EQ(Unregister(m_strV1), S_OK);
    EXPECT_EQ(ReadTestFile(m_env.UserStore()), strStore);
    const std::string strCopy = m_env.Folder() + "/copy.so";
    std::filesystem::copy_file(m_strV2, strCopy);
    ASSERT_EQ(Unregister(strCopy), S_OK);
    EXPECT_EQ(ReadTestFile(m_env.UserStore()), strStore);
    // Registering the same module again rewrites it (same content).
    ASSERT_EQ(Register(m_strV2), S_OK);
    EXPECT_EQ(RegisteredServer(), W(m_strV2));
    // An equal version elsewhere takes over.
    ASSERT_EQ(Register(strCopy), S_OK);
    EXPECT_EQ(RegisteredServer(), W(strCopy));
    // The registered file gone: the older version may register.
    ASSERT_EQ(unlink(strCopy.c_str()), 0);
    ASSERT_EQ(Register(m_strV1), S_OK);
    EXPECT_EQ(RegisteredServer(), W(m_strV1));
    // A newer version replaces an older one.
    ASSERT_EQ(Register(m_strV2), S_OK);
    EXPECT_EQ(RegisteredServer(), W(m_strV2));
    // A registered file without version information does not block.
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, (u"CLSID\\" + W(GuidToString(CLSID_KVTestCalc)) + u"\\InprocServer32").c_str(),
                           nullptr, W(KV_PLATFORM_SHARED).c_str()),
              S_OK);
    ASSERT_EQ(Register(m_strV1), S_OK);
    EXPECT_EQ(RegisteredServer(), W(m_strV1));
    ASSERT_EQ(Unregister(m_strV1), S_OK);
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, u"CLSID"), S_FALSE);

    // The same module: paths equal without regard to case, or one file.
    EXPECT_TRUE(IsSameModulePath(u"/opt/Lib/X.so", u"/OPT/lib/x.SO"));
    EXPECT_TRUE(IsSameModulePath(u"/opt/lib/../lib/x.so", u"/opt/lib/x.so"));
    const std::string strLink = m_env.Folder() + "/link.so";
    std::filesystem::create_symlink(m_strV1, strLink);
    EXPECT_TRUE(IsSameModulePath(W(strLink).c_str(), W(m_strV1).c_str()));
    EXPECT_FALSE(IsSameModulePath(W(m_strV1).c_str(), W(m_strV2).c_str()));
}

TEST_F(CComLoadTest, CreationRacingUnloadNeverRunsUnmappedCode)
{
    ASSERT_EQ(Register(m_strV1), S_OK);
    constexpr int kThreads = 3, kRounds = 150;
    std::atomic<int> nFailures{0};
    std::atomic<bool> bStop{false};
    std::thread unloader([&] {
        for (int i = 0; i < 20000 && !bStop.load(); ++i)
            CoFreeUnusedLibraries();
    });
    std::vector<std::thread> creators;
    for (int t = 0; t < kThreads; ++t) {
        creators.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                CComPtr<ITestCalc> pCalc;
                if (CoCreateInstance(CLSID_KVTestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCalc,
                                     reinterpret_cast<void**>(&pCalc)) != S_OK) {
                    ++nFailures;
                    continue;
                }
                double d = 0;
                if (pCalc->Add(i, 1, &d) != S_OK || d != i + 1)
                    ++nFailures;
            }
        });
    }
    for (auto& t : creators)
        t.join();
    bStop = true;
    unloader.join();
    EXPECT_EQ(nFailures.load(), 0);
}
