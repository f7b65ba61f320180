// Late-bound calls into the test component (platform/testcomp) through its
// IDispatch and its type library, as an automation client makes them.
#include "platform/typeinfo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <vector>

#include "platform/platformtrace.h"
#include "platform/regtestenv.h"
#include "platform/testcomp/testcomp.h"

namespace {

// Arguments in the order a caller writes them; DISPPARAMS wants them last
// first, with the named ones at the front.
class CArgs
{
public:
    CArgs& Add(const VARIANT& v)
    {
        m_vPositional.push_back(v);
        return *this;
    }
    CArgs& Named(DISPID id, const VARIANT& v)
    {
        m_vNamed.push_back(v);
        m_vIds.push_back(id);
        return *this;
    }
    DISPPARAMS* Params()
    {
        m_v.assign(m_vNamed.begin(), m_vNamed.end());
        m_v.insert(m_v.end(), m_vPositional.rbegin(), m_vPositional.rend());
        m_params = DISPPARAMS{m_v.empty() ? nullptr : m_v.data(), m_vIds.empty() ? nullptr : m_vIds.data(),
                              static_cast<UINT>(m_v.size()), static_cast<UINT>(m_vIds.size())};
        return &m_params;
    }

private:
    std::vector<VARIANT> m_vPositional, m_vNamed, m_v;
    std::vector<DISPID> m_vIds;
    DISPPARAMS m_params{};
};

VARIANT V(VARTYPE vt, LONGLONG ll = 0)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = ll;
    return v;
}
VARIANT R8(double d)
{
    VARIANT v = V(VT_R8);
    v.dblVal = d;
    return v;
}
VARIANT I4(LONG l)
{
    VARIANT v = V(VT_I4);
    v.lVal = l;
    return v;
}
VARIANT Bstr(BSTR b)
{
    VARIANT v = V(VT_BSTR);
    v.bstrVal = b;
    return v;
}
VARIANT Ref(VARTYPE vt, void* p)
{
    VARIANT v = V(static_cast<VARTYPE>(VT_BYREF | vt));
    v.byref = p;
    return v;
}

class CDispatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_strLib = m_env.Folder() + "/libkvtestcomp.so";
        std::filesystem::copy_file(KV_TESTCOMP1, m_strLib);
        ASSERT_EQ(CallServerRegistration(Utf8ToWide(m_strLib).c_str(), TRUE), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_KVTestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(&m_pDisp)),
                  S_OK);
        ASSERT_EQ(m_pDisp.QueryInterface(IID_ITestCalc, &m_pCalc), S_OK);
    }
    void TearDown() override
    {
        m_pCalc.Release();
        m_pDisp.Release();
        CoFreeUnusedLibraries();
    }

    HRESULT Call(DISPID id, WORD wFlags, CArgs& args, VARIANT* pResult = nullptr, UINT* puArgErr = nullptr)
    {
        return m_pDisp->Invoke(id, IID_NULL, 0, wFlags, args.Params(), pResult, nullptr, puArgErr);
    }

    CRegistryTestEnv m_env;
    std::string m_strLib;
    CComPtr<IDispatch> m_pDisp;
    CComPtr<ITestCalc> m_pCalc;
};

}  // namespace

TEST_F(CDispatchTest, NamesAndInvokeRoundTripThroughTheVirtualTable)
{
    UINT n = 0;
    ASSERT_EQ(m_pDisp->GetTypeInfoCount(&n), S_OK);
    EXPECT_EQ(n, 1u);
    CComPtr<ITypeInfo> pInfo;
    ASSERT_EQ(m_pDisp->GetTypeInfo(0, 0, &pInfo), S_OK);
    TYPEATTR attr;
    ASSERT_EQ(pInfo->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr.guid, IID_ITestCalc);
    EXPECT_EQ(attr.typekind, TKIND_DISPATCH);
    EXPECT_TRUE(attr.wTypeFlags & TYPEFLAG_FDUAL);

    // Member names in any case, inherited members, parameter positions.
    std::u16string names[] = {u"ADD", u"b", u"A"};
    LPOLESTR rgsz[] = {names[0].data(), names[1].data(), names[2].data()};
    DISPID ids[3] = {};
    ASSERT_EQ(m_pDisp->GetIDsOfNames(IID_NULL, rgsz, 3, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 4);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);
    std::u16string scale = u"scale";
    LPOLESTR pszScale = scale.data();
    ASSERT_EQ(m_pDisp->GetIDsOfNames(IID_NULL, &pszScale, 1, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 1);

    // Property put with a value that must be converted (VT_I4 to double),
    // seen through the virtual table.
    CArgs put;
    put.Named(DISPID_PROPERTYPUT, I4(2));
    ASSERT_EQ(Call(1, DISPATCH_PROPERTYPUT, put), S_OK);
    double d = 0;
    ASSERT_EQ(m_pCalc->get_Scale(&d), S_OK);
    EXPECT_EQ(d, 2.0);
    // Get, as script hosts ask: method or property.
    VARIANT result = V(VT_EMPTY);
    CArgs none;
    ASSERT_EQ(Call(1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, none, &result), S_OK);
    EXPECT_EQ(result.vt, VT_R8);
    EXPECT_EQ(result.dblVal, 2.0);

    // Add(1.5, 3 as VT_I2) = 9; by name with the arguments the other way round.
    CArgs add;
    add.Add(R8(1.5)).Add(V(VT_I2, 3));
    ASSERT_EQ(Call(4, DISPATCH_METHOD, add, &result), S_OK);
    EXPECT_EQ(result.vt, VT_R8);
    EXPECT_EQ(result.dblVal, 9.0);
    CArgs addNamed;
    addNamed.Named(1, R8(10)).Named(0, R8(0.5));
    ASSERT_EQ(Call(4, DISPATCH_METHOD, addNamed, &result), S_OK);
    EXPECT_EQ(result.dblVal, 21.0);
    CArgs addMixed;
    addMixed.Add(R8(1)).Named(1, R8(2));
    ASSERT_EQ(Call(4, DISPATCH_METHOD, addMixed), S_OK);  // no place for the result: dropped

    // Strings, an enumeration, rounding half to even, a by-reference input.
    BSTR bstrPrefix = SysAllocString(u"n=");
    CArgs describe;
    describe.Add(Ref(VT_BSTR, &bstrPrefix)).Add(R8(2.5)).Add(I4(TESTCOLOUR_GREEN));
    ASSERT_EQ(Call(5, DISPATCH_METHOD, describe, &result), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal), u"n=2green");
    ASSERT_EQ(VariantClear(&result), S_OK);
    CArgs describe2;
    describe2.Add(Bstr(bstrPrefix)).Add(R8(3.5)).Add(I4(TESTCOLOUR_RED));
    ASSERT_EQ(Call(5, DISPATCH_METHOD, describe2), S_OK);  // the result string is freed, not leaked
    ASSERT_EQ(Call(5, DISPATCH_METHOD, describe2, &result), S_OK);
    EXPECT_EQ(std::u16string(result.bstrVal), u"n=4red");
    ASSERT_EQ(VariantClear(&result), S_OK);
    SysFreeString(bstrPrefix);

    // Two outputs through the caller's by-reference variants.
    LONG lWhole = 0;
    double dFraction = 0;
    CArgs split;
    split.Add(R8(-7.25)).Add(Ref(VT_I4, &lWhole)).Add(Ref(VT_R8, &dFraction));
    result = R8(99);
    ASSERT_EQ(Call(6, DISPATCH_METHOD, split, &result), S_OK);
    EXPECT_EQ(lWhole, -7);
    EXPECT_EQ(dFraction, -0.25);
    EXPECT_EQ(result.vt, VT_EMPTY);

    // Booleans from numbers.
    CArgs enable;
    enable.Named(DISPID_PROPERTYPUT, I4(5));
    ASSERT_EQ(Call(2, DISPATCH_PROPERTYPUT, enable), S_OK);
    ASSERT_EQ(Call(2, DISPATCH_PROPERTYGET, none, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);

    // An interface in and out: the same identity, references balanced.
    CComPtr<IDispatch> pOther;
    ASSERT_EQ(CoCreateInstance(CLSID_KVTestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&pOther)),
              S_OK);
    VARIANT vDisp = V(VT_DISPATCH);
    vDisp.pdispVal = pOther;
    CArgs putCallback;
    putCallback.Named(DISPID_PROPERTYPUT, vDisp);
    ASSERT_EQ(Call(3, DISPATCH_PROPERTYPUT, putCallback), S_OK);
    ASSERT_EQ(Call(3, DISPATCH_PROPERTYGET, none, &result), S_OK);
    ASSERT_EQ(result.vt, VT_UNKNOWN);
    CComPtr<IUnknown> pId1, pId2;
    ASSERT_EQ(result.punkVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pId1)), S_OK);
    ASSERT_EQ(pOther->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pId2)), S_OK);
    EXPECT_EQ(pId1.Get(), pId2.Get());
    ASSERT_EQ(VariantClear(&result), S_OK);
    CArgs clearCallback;
    clearCallback.Named(DISPID_PROPERTYPUT, V(VT_EMPTY));
    ASSERT_EQ(Call(3, DISPATCH_PROPERTYPUT, clearCallback), S_OK);
    pId1.Release();
    pId2.Release();
    EXPECT_EQ(pOther->AddRef(), 2u);  // ours, and the one just taken
    pOther->Release();

    // The member's own failure comes back unchanged.
    CArgs fail;
    fail.Add(I4(E_ABORT));
    EXPECT_EQ(Call(7, DISPATCH_METHOD, fail), E_ABORT);
}

TEST_F(CDispatchTest, EveryMalformedCallGetsItsOwnStatus)
{
    CArgs none;
    UINT uArgErr = 99;
    VARIANT result = V(VT_EMPTY);
    EXPECT_EQ(m_pDisp->Invoke(4, IID_ITestCalc, 0, DISPATCH_METHOD, none.Params(), nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(m_pDisp->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);

    // Each call with its arguments and the status it must get.
    BSTR bstr = SysAllocString(u"1");
    LONG l = 0;
    double d = 0;
    VARIANT vMissing = V(VT_ERROR);
    vMissing.scode = DISP_E_PARAMNOTFOUND;
    const struct
    {
        DISPID id;
        WORD wFlags;
        std::function<void(CArgs&)> fnArgs;
        HRESULT hr;
        UINT uArgErr = ~0u;  // the argument named, counted in rgvarg from the last; ~0u: none
    } kCases[] = {
        // No such member, or not of the kind asked for.
        {99, DISPATCH_METHOD, [](CArgs&) {}, DISP_E_MEMBERNOTFOUND},
        {1, DISPATCH_METHOD, [](CArgs&) {}, DISP_E_MEMBERNOTFOUND},  // Scale is a property
        {1, 0, [](CArgs&) {}, DISP_E_MEMBERNOTFOUND},
        {4, DISPATCH_PROPERTYPUT, [](CArgs& a) { a.Named(DISPID_PROPERTYPUT, R8(1)); }, DISP_E_MEMBERNOTFOUND},
        {4, DISPATCH_METHOD, [](CArgs& a) { a.Add(R8(1)).Add(R8(2)).Add(R8(3)); }, DISP_E_BADPARAMCOUNT},
        {4, DISPATCH_METHOD, [](CArgs& a) { a.Add(R8(1)); }, DISP_E_PARAMNOTOPTIONAL},
        {4, DISPATCH_METHOD, [&](CArgs& a) { a.Add(R8(1)).Add(vMissing); }, DISP_E_PARAMNOTOPTIONAL},
        {1, DISPATCH_PROPERTYPUT, [](CArgs& a) { a.Add(R8(1)); }, DISP_E_PARAMNOTOPTIONAL},
        {1, DISPATCH_PROPERTYPUT, [](CArgs&) {}, DISP_E_PARAMNOTOPTIONAL},
        {4, DISPATCH_METHOD, [](CArgs& a) { a.Add(R8(1)).Named(7, R8(2)); }, DISP_E_PARAMNOTFOUND},
        {4, DISPATCH_METHOD, [](CArgs& a) { a.Add(R8(1)).Named(DISPID_PROPERTYPUT, R8(2)); }, DISP_E_PARAMNOTFOUND},
        {4, DISPATCH_METHOD, [](CArgs& a) { a.Add(R8(1)).Named(0, R8(2)); }, DISP_E_PARAMNOTFOUND},  // twice
        // Type mismatches.
        {4, DISPATCH_METHOD, [&](CArgs& a) { a.Add(Bstr(bstr)).Add(R8(2)); }, DISP_E_TYPEMISMATCH, 1},
        {6, DISPATCH_METHOD, [&](CArgs& a) { a.Add(R8(1)).Add(I4(0)).Add(Ref(VT_R8, &d)); }, DISP_E_TYPEMISMATCH, 1},
        {6, DISPATCH_METHOD, [&](CArgs& a) { a.Add(R8(1)).Add(Ref(VT_I4, &l)).Add(Ref(VT_I4, &l)); },
         DISP_E_TYPEMISMATCH, 0},
        {6, DISPATCH_METHOD, [&](CArgs& a) { a.Add(R8(1)).Add(Ref(VT_I4, nullptr)).Add(Ref(VT_R8, &d)); },
         DISP_E_TYPEMISMATCH},
        {2, DISPATCH_PROPERTYPUT, [](CArgs& a) { a.Named(DISPID_PROPERTYPUT, V(VT_NULL)); }, DISP_E_TYPEMISMATCH},
        {3, DISPATCH_PROPERTYPUT, [](CArgs& a) { a.Named(DISPID_PROPERTYPUT, V(VT_I4, 1)); },  // not a dispatch
         DISP_E_TYPEMISMATCH},
        {5, DISPATCH_METHOD, [](CArgs& a) { a.Add(V(VT_EMPTY)).Add(R8(3e9)).Add(I4(0)); }, DISP_E_OVERFLOW, 1},
    };
    for (size_t i = 0; i < std::size(kCases); ++i) {
        CArgs args;
        kCases[i].fnArgs(args);
        uArgErr = ~0u;
        result = V(VT_EMPTY);
        EXPECT_EQ(Call(kCases[i].id, kCases[i].wFlags, args, &result, &uArgErr), kCases[i].hr) << "case " << i;
        if (kCases[i].uArgErr != ~0u) {
            EXPECT_EQ(uArgErr, kCases[i].uArgErr) << "case " << i;
        }
        EXPECT_EQ(result.vt, VT_EMPTY) << "case " << i;
    }
    SysFreeString(bstr);

    // Type information errors.
    CComPtr<ITypeInfo> pInfo;
    EXPECT_EQ(m_pDisp->GetTypeInfo(1, 0, &pInfo), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(m_pDisp->GetTypeInfo(0, 0, nullptr), E_POINTER);
    std::u16string names[] = {u"Add", u"c"};
    LPOLESTR rgsz[] = {names[0].data(), names[1].data()};
    DISPID ids[2] = {};
    EXPECT_EQ(m_pDisp->GetIDsOfNames(IID_NULL, rgsz, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 4);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
    names[0] = u"Subtract";
    EXPECT_EQ(m_pDisp->GetIDsOfNames(IID_NULL, rgsz, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(m_pDisp->GetIDsOfNames(IID_NULL, rgsz, 0, 0, ids), E_INVALIDARG);

    // A described interface whose parameters cannot travel late-bound.
    ASSERT_EQ(m_pDisp->GetTypeInfo(0, 0, &pInfo), S_OK);
    CComPtr<ITypeLib> pLib;
    ASSERT_EQ(pInfo->GetContainingTypeLib(&pLib, nullptr), S_OK);
    CComPtr<ITypeInfo> pNotifyInfo;
    ASSERT_EQ(pLib->GetTypeInfoOfGuid(IID_ITestNotify, &pNotifyInfo), S_OK);
    CComPtr<ITestNotify> pNotify;
    ASSERT_EQ(m_pCalc.QueryInterface(IID_ITestNotify, &pNotify), S_OK);
    CArgs load;
    load.Add(V(VT_EMPTY)).Add(V(VT_EMPTY));
    EXPECT_EQ(pNotifyInfo->Invoke(static_cast<ITestNotify*>(pNotify), 2, DISPATCH_METHOD, load.Params(), nullptr,
                                  nullptr, nullptr),
              DISP_E_BADVARTYPE);
    CArgs notify;
    notify.Add(I4(TESTCOLOUR_RED)).Add(R8(1)).Add(R8(2));
    EXPECT_EQ(pNotifyInfo->Invoke(static_cast<ITestNotify*>(pNotify), 1, DISPATCH_METHOD, notify.Params(), nullptr,
                                  nullptr, nullptr),
              S_OK);
    EXPECT_EQ(pLib->GetTypeInfoOfGuid(CLSID_KVTestMissing, &pNotifyInfo), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(pLib->GetTypeInfo(pLib->GetTypeInfoCount(), &pNotifyInfo), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(pInfo->GetDocumentation(99, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(CDispatchTest, TypeLibraryDescribesTheInterfacesAsCompiled)
{
    CComPtr<ITypeLib> pLib;
    ASSERT_EQ(LoadTypeLib(Utf8ToWide(m_strLib).c_str(), &pLib), S_OK);
    BSTR bstrName = nullptr, bstrDoc = nullptr;
    ASSERT_EQ(pLib->GetDocumentation(-1, &bstrName, &bstrDoc), S_OK);
    EXPECT_EQ(std::u16string(bstrName), u"KVTestCalcLib");
    EXPECT_EQ(std::u16string(bstrDoc), u"KV Test Calculator Library");
    SysFreeString(bstrName);
    SysFreeString(bstrDoc);
    ASSERT_EQ(pLib->GetTypeInfoCount(), 6u);

    // The thunks call the slots that the interfaces declare, in their order:
    // ITestCalc1 from 7 (after IDispatch), ITestCalc after it, ITestNotify from 3.
    struct SExpect
    {
        const IID* piid;
        int nFirstSlot;
        UINT cFuncs;
    };
    for (const SExpect& e : {SExpect{&IID_ITestCalc1, 7, 6}, SExpect{&IID_ITestCalc, 13, 4}, SExpect{&IID_ITestNotify, 3, 2}}) {
        CComPtr<ITypeInfo> pInfo;
        ASSERT_EQ(pLib->GetTypeInfoOfGuid(*e.piid, &pInfo), S_OK);
        const STypeDesc* pDesc = nullptr;
        ASSERT_EQ(pInfo->GetDesc(&pDesc), S_OK);
        ASSERT_EQ(pDesc->cFuncs, e.cFuncs);
        for (UINT i = 0; i < pDesc->cFuncs; ++i)
            EXPECT_EQ(pDesc->rgFuncs[i].pfnVtableSlot(), e.nFirstSlot + static_cast<int>(i)) << pDesc->rgFuncs[i].pszName;
    }

    // Parameter types come from the C++ signatures.
    CComPtr<ITypeInfo> pCalcInfo;
    ASSERT_EQ(pLib->GetTypeInfoOfGuid(IID_ITestCalc, &pCalcInfo), S_OK);
    const STypeDesc* pCalc = nullptr;
    ASSERT_EQ(pCalcInfo->GetDesc(&pCalc), S_OK);
    const SFuncDesc& describe = pCalc->rgFuncs[1];
    ASSERT_EQ(describe.cParams, 4u);
    EXPECT_EQ(describe.rgParams[0].vt, VT_BSTR);
    EXPECT_EQ(describe.rgParams[1].vt, VT_I4);
    EXPECT_EQ(describe.rgParams[2].vt, VT_I4);
    EXPECT_STREQ(describe.rgParams[2].pszTypeName, "TestColour");
    EXPECT_TRUE(describe.rgParams[3].bOut);
    EXPECT_TRUE(describe.bRetval);
    CComPtr<ITypeInfo> pNotifyInfo;
    ASSERT_EQ(pLib->GetTypeInfoOfGuid(IID_ITestNotify, &pNotifyInfo), S_OK);
    const STypeDesc* pNotify = nullptr;
    ASSERT_EQ(pNotifyInfo->GetDesc(&pNotify), S_OK);
    EXPECT_EQ(pNotify->rgFuncs[1].rgParams[0].vt, VT_LPWSTR);
    EXPECT_EQ(pNotify->rgFuncs[1].rgParams[1].vt, VT_PTR);
    EXPECT_STREQ(pNotify->rgFuncs[1].rgParams[1].pszTypeName, "STestRecord");
    EXPECT_EQ(pNotify->rgFuncs[1].pfnInvoke, nullptr);

    // The enumeration and the class.
    const STypeLibDesc* pLibDesc = nullptr;
    ASSERT_EQ(pLib->GetDesc(&pLibDesc), S_OK);
    const STypeDesc* pEnum = pLibDesc->rgTypes[3];
    ASSERT_EQ(pEnum->kind, TKIND_ENUM);
    ASSERT_EQ(pEnum->cConsts, 2u);
    EXPECT_EQ(pEnum->rgConsts[1].lValue, TESTCOLOUR_GREEN);
    CComPtr<ITypeInfo> pClassInfo;
    ASSERT_EQ(pLib->GetTypeInfoOfGuid(CLSID_KVTestCalc, &pClassInfo), S_OK);
    TYPEATTR attr;
    ASSERT_EQ(pClassInfo->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr.typekind, TKIND_COCLASS);
    EXPECT_EQ(attr.cImplTypes, 2);
    ASSERT_EQ(pCalcInfo->GetDocumentation(4, &bstrName, &bstrDoc), S_OK);
    EXPECT_EQ(std::u16string(bstrName), u"Add");
    EXPECT_EQ(std::u16string(bstrDoc), u"Adds and scales");
    SysFreeString(bstrName);
    SysFreeString(bstrDoc);

    // Files without a type library, and descriptions of another layout.
    SetPlatformTraceSink([](const char*) {});
    CComPtr<ITypeLib> pNone;
    EXPECT_EQ(LoadTypeLib(Utf8ToWide(KV_PLATFORM_SHARED).c_str(), &pNone), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(u"/nonexistent/lib.so", &pNone), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(u"", &pNone), E_INVALIDARG);
    SetPlatformTraceSink(nullptr);
    STypeLibDesc other = *pLibDesc;
    other.dwLayout = kTypeLibLayout + 1;
    EXPECT_EQ(CreateTypeLib(&other, &pNone), TYPE_E_UNSUPFORMAT);
    other = *pLibDesc;
    const STypeDesc* const kNull[] = {nullptr};
    other.rgTypes = kNull;
    other.cTypes = 1;
    EXPECT_EQ(CreateTypeLib(&other, &pNone), TYPE_E_UNSUPFORMAT);
}

TEST(VariantTest, ConversionsRoundOverflowAndRefuse)
{
    struct SCase
    {
        VARIANT src;
        VARTYPE vt;
        HRESULT hr;
        double dExpect;  // the result read back as a number
    };
    auto R = [](double d) { return R8(d); };
    const SCase kCases[] = {
        {R(2.5), VT_I4, S_OK, 2},          {R(3.5), VT_I4, S_OK, 4},
        {R(-2.5), VT_I4, S_OK, -2},        {R(2147483647.4), VT_I4, S_OK, 2147483647},
        {R(2147483647.5), VT_I4, DISP_E_OVERFLOW, 0}, {R(-2147483648.0), VT_I4, S_OK, -2147483648.0},
        {R(NAN), VT_I4, DISP_E_OVERFLOW, 0}, {R(-1), VT_UI1, DISP_E_OVERFLOW, 0},
        {R(255.4), VT_UI1, S_OK, 255},     {R(32768), VT_I2, DISP_E_OVERFLOW, 0},
        {R(0), VT_BOOL, S_OK, 0},          {R(0.1), VT_BOOL, S_OK, -1},
        {V(VT_BOOL, VARIANT_TRUE), VT_R8, S_OK, -1}, {V(VT_EMPTY), VT_R8, S_OK, 0},
        {V(VT_NULL), VT_R8, DISP_E_TYPEMISMATCH, 0}, {V(VT_I4, 7), VT_UNKNOWN, DISP_E_TYPEMISMATCH, 0},
        {V(VT_I4, 7), VT_BSTR, DISP_E_TYPEMISMATCH, 0}, {V(VT_I4, 7), static_cast<VARTYPE>(77), DISP_E_BADVARTYPE, 0},
        {V(static_cast<VARTYPE>(77)), VT_I4, DISP_E_BADVARTYPE, 0},
    };
    for (const SCase& c : kCases) {
        VARIANT dst = V(VT_EMPTY);
        const HRESULT hr = VariantChangeType(&dst, &c.src, 0, c.vt);
        EXPECT_EQ(hr, c.hr) << c.src.vt << "->" << c.vt << " " << c.src.dblVal;
        if (FAILED(hr))
            continue;
        VARIANT asDouble = V(VT_EMPTY);
        ASSERT_EQ(VariantChangeType(&asDouble, &dst, 0, VT_R8), S_OK);
        EXPECT_EQ(asDouble.dblVal, c.dExpect) << c.src.vt << "->" << c.vt << " " << c.src.dblVal;
    }

    // Strings are copied; in-place conversion frees the original.
    VARIANT a = Bstr(SysAllocString(u"text")), b = V(VT_EMPTY);
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    ASSERT_NE(a.bstrVal, b.bstrVal);
    EXPECT_EQ(std::u16string(b.bstrVal), u"text");
    ASSERT_EQ(VariantChangeType(&a, &a, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(a.bstrVal), u"text");
    ASSERT_EQ(VariantClear(&a), S_OK);
    ASSERT_EQ(VariantClear(&b), S_OK);
    EXPECT_EQ(b.vt, VT_EMPTY);
    VARIANT bad = V(static_cast<VARTYPE>(77));
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}
