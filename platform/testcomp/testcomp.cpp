#include "platform/testcomp/testcomp.h"

#include <cmath>
#include <new>
#include <string>

#include "platform/comserver.h"
#include "platform/fileversion.h"
#include "platform/registry.h"
#include "platform/typeinfo.h"

#ifndef KV_TESTCOMP_VERSION
#define KV_TESTCOMP_VERSION 1, 0, 0, 1
#endif

template <>
inline constexpr const char* kDispTypeName<TestColour> = "TestColour";
template <>
inline constexpr const char* kDispTypeName<STestRecord> = "STestRecord";

namespace {

constexpr SFuncDesc kCalc1Funcs[] = {
    DispFunc<&ITestCalc1::put_Scale>("Scale", 1, INVOKE_PROPERTYPUT, "Sets the factor", "dScale"),
    DispFunc<&ITestCalc1::get_Scale>("Scale", 1, INVOKE_PROPERTYGET, "Gets the factor", "pdScale", true),
    DispFunc<&ITestCalc1::put_Enabled>("Enabled", 2, INVOKE_PROPERTYPUT, nullptr, "bEnabled"),
    DispFunc<&ITestCalc1::get_Enabled>("Enabled", 2, INVOKE_PROPERTYGET, nullptr, "pbEnabled", true),
    DispFunc<&ITestCalc1::put_Callback>("Callback", 3, INVOKE_PROPERTYPUT, nullptr, "pCallback"),
    DispFunc<&ITestCalc1::get_Callback>("Callback", 3, INVOKE_PROPERTYGET, nullptr, "ppCallback", true),
};
constexpr STypeDesc kCalc1 = InterfaceDesc(TKIND_DISPATCH, "ITestCalc1", &IID_ITestCalc1, "ITestCalc1 Interface",
                                           TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FNONEXTENSIBLE,
                                           nullptr, kCalc1Funcs);

constexpr SFuncDesc kCalcFuncs[] = {
    DispFunc<&ITestCalc::Add>("Add", 4, INVOKE_FUNC, "Adds and scales", "a,b,pSum", true),
    DispFunc<&ITestCalc::Describe>("Describe", 5, INVOKE_FUNC, nullptr, "bstrPrefix,n,colour,pbstrOut", true),
    DispFunc<&ITestCalc::Split>("Split", 6, INVOKE_FUNC, nullptr, "v,plWhole,pdFraction"),
    DispFunc<&ITestCalc::Fail>("Fail", 7, INVOKE_FUNC, nullptr, "hr"),
};
constexpr STypeDesc kCalc = InterfaceDesc(TKIND_DISPATCH, "ITestCalc", &IID_ITestCalc, "ITestCalc Interface",
                                          TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FNONEXTENSIBLE, &kCalc1,
                                          kCalcFuncs);

constexpr SFuncDesc kNotifyFuncs[] = {
    DispFunc<&ITestNotify::Notify>("Notify", 1, INVOKE_FUNC, nullptr, "colour,d1,d2"),
    DispFunc<&ITestNotify::Load>("Load", 2, INVOKE_FUNC, nullptr, "pszName,pRecord"),
};
constexpr STypeDesc kNotify =
    InterfaceDesc(TKIND_INTERFACE, "ITestNotify", &IID_ITestNotify, "ITestNotify interface", 0, nullptr, kNotifyFuncs);

constexpr SConstDesc kColours[] = {
    {"TESTCOLOUR_RED", TESTCOLOUR_RED, "Red."},
    {"TESTCOLOUR_GREEN", TESTCOLOUR_GREEN, "Green."},
};
constexpr STypeDesc kColour = EnumDesc("TestColour", nullptr, kColours);

constexpr SFieldDesc kRecordFields[] = {{"lSize", VT_I4, nullptr}};
constexpr STypeDesc kRecord = RecordDesc("STestRecord", nullptr, kRecordFields);

constexpr SImplTypeDesc kCalcImpl[] = {{&kCalc, IMPLTYPEFLAG_FDEFAULT}, {&kNotify, 0}};
constexpr STypeDesc kCalcClass =
    CoClassDesc("KVTestCalc", &CLSID_KVTestCalc, "KV Test Calculator", TYPEFLAG_FCANCREATE, kCalcImpl);

constexpr const STypeDesc* kTypes[] = {&kCalc1, &kCalc, &kNotify, &kColour, &kRecord, &kCalcClass};
constexpr STypeLibDesc kTypeLib =
    TypeLibDesc("KVTestCalcLib", LIBID_KVTestCalcLib, 1, 0, 0, "KV Test Calculator Library", kTypes);

class CTestCalc : public CUnknown, public ITestCalc, public ITestNotify, public CModuleObject
{
public:
    explicit CTestCalc(IUnknown* pUnkOuter)
        : CUnknown("CTestCalc", pUnkOuter), m_dispatch(&IID_ITestCalc, ThisComModule().GetInstance())
    {
    }
    ~CTestCalc() override
    {
        if (m_pCallback)
            m_pCallback->Release();
    }

    static CUnknown* CreateInstance(IUnknown* pUnkOuter, HRESULT* phr)
    {
        CTestCalc* p = new (std::nothrow) CTestCalc(pUnkOuter);
        if (!p)
            *phr = E_OUTOFMEMORY;
        return p;
    }

    DECLARE_IUNKNOWN

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_ITestCalc || riid == IID_ITestCalc1 || riid == IID_IDispatch)
            return GetInterface(static_cast<ITestCalc*>(this), ppv);
        if (riid == IID_ITestNotify)
            return GetInterface(static_cast<ITestNotify*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT GetTypeInfoCount(UINT* pctinfo) override { return m_dispatch.GetTypeInfoCount(pctinfo); }
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override
    {
        return m_dispatch.GetTypeInfo(iTInfo, lcid, ppTInfo);
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override
    {
        return m_dispatch.GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override
    {
        return m_dispatch.Invoke(static_cast<ITestCalc*>(this), dispIdMember, riid, lcid, wFlags, pDispParams,
                                 pVarResult, pExcepInfo, puArgErr);
    }

    HRESULT put_Scale(double dScale) override
    {
        m_dScale = dScale;
        return S_OK;
    }
    HRESULT get_Scale(double* pdScale) override
    {
        if (!pdScale)
            return E_POINTER;
        *pdScale = m_dScale;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL bEnabled) override
    {
        m_bEnabled = bEnabled;
        return S_OK;
    }
    HRESULT get_Enabled(VARIANT_BOOL* pbEnabled) override
    {
        if (!pbEnabled)
            return E_POINTER;
        *pbEnabled = m_bEnabled;
        return S_OK;
    }
    HRESULT put_Callback(IUnknown* pCallback) override
    {
        if (pCallback)
            pCallback->AddRef();
        if (m_pCallback)
            m_pCallback->Release();
        m_pCallback = pCallback;
        return S_OK;
    }
    HRESULT get_Callback(IUnknown** ppCallback) override
    {
        if (!ppCallback)
            return E_POINTER;
        *ppCallback = m_pCallback;
        if (m_pCallback)
            m_pCallback->AddRef();
        return S_OK;
    }
    HRESULT Add(double a, double b, double* pSum) override
    {
        if (!pSum)
            return E_POINTER;
        *pSum = (a + b) * m_dScale;
        return S_OK;
    }
    HRESULT Describe(BSTR bstrPrefix, LONG n, TestColour colour, BSTR* pbstrOut) override
    {
        if (!pbstrOut)
            return E_POINTER;
        std::u16string s = bstrPrefix ? std::u16string(bstrPrefix, SysStringLen(bstrPrefix)) : std::u16string();
        for (char c : std::to_string(n))
            s += static_cast<char16_t>(c);
        s += colour == TESTCOLOUR_GREEN ? u"green" : u"red";
        *pbstrOut = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return *pbstrOut ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT Split(double v, LONG* plWhole, double* pdFraction) override
    {
        if (!plWhole || !pdFraction)
            return E_POINTER;
        double dWhole = 0;
        *pdFraction = std::modf(v, &dWhole);
        *plWhole = static_cast<LONG>(dWhole);
        return S_OK;
    }
    HRESULT Fail(LONG hr) override { return static_cast<HRESULT>(hr); }

    HRESULT Notify(TestColour, double, double) override { return S_OK; }
    HRESULT Load(LPCOLESTR, const STestRecord*) override { return S_OK; }

private:
    CDispatchSupport m_dispatch;
    double m_dScale = 1.0;
    VARIANT_BOOL m_bEnabled = VARIANT_FALSE;
    IUnknown* m_pCallback = nullptr;
};

const CFactoryTemplate g_Templates[] = {
    {u"KV Test Calculator", &CLSID_KVTestCalc, CTestCalc::CreateInstance},
};

// The protocol key that the component claims, as a source filter claims its URL scheme.
constexpr const char16_t* kProtocolKey = u"kvtest";

}  // namespace

KV_DEFINE_COM_MODULE(g_Templates)
// Expands the version's four numbers before the macro sees them.
#define TESTCOMP_DEFINE_VERSION(...) KV_DEFINE_FILE_VERSION(__VA_ARGS__)
TESTCOMP_DEFINE_VERSION(KV_TESTCOMP_VERSION);
KV_DEFINE_TYPELIB(kTypeLib)

KV_DLL_EXPORT HRESULT DllRegisterServer()
{
    CWString strModule;
    HRESULT hr = ThisComModule().GetModuleFileName(&strModule);
    if (FAILED(hr))
        return hr;
    hr = CheckRegisteredServerVersion(CLSID_KVTestCalc, strModule.c_str());
    if (FAILED(hr))
        return hr;
    if (hr == S_FALSE)
        return S_OK;  // a newer copy is registered: leave it
    hr = RegisterFilter(CLSID_KVTestCalc, u"KV Test Calculator", MERIT_NORMAL, strModule.c_str());
    if (FAILED(hr))
        return hr;
    (void)RegSetString(HKEY_CLASSES_ROOT, kProtocolKey, u"Source Filter",
                       Utf8ToWide(GuidToString(CLSID_KVTestCalc)).c_str());
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
    hr = CheckRegisteredServerIsThis(CLSID_KVTestCalc, strModule.c_str());
    if (FAILED(hr))
        return hr;
    if (hr == S_FALSE)
        return S_OK;  // another copy is registered: leave it
    (void)RegDeleteTree(HKEY_CLASSES_ROOT, kProtocolKey);
    (void)UnRegisterTypeLib(LIBID_KVTestCalcLib, 1, 0, 0, SYS_WIN32);
    return UnregisterFilter(CLSID_KVTestCalc);
}
