#include "platform/typeinfo.h"

#include <dlfcn.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/platformtrace.h"
#include "platform/registry.h"

namespace {

typedef const STypeLibDesc* (*PFNGETTYPELIB)(UINT nIndex);

bool NameEquals(const char* pszDesc, LPCOLESTR pszName)
{
    return pszName && WStrEqualNoCase(Utf8ToWide(pszDesc ? pszDesc : ""), pszName);
}

BSTR AllocBstr(const char* psz) { return SysAllocString(Utf8ToWide(psz ? psz : "").c_str()); }

// The i-th name of a comma-separated list, or empty.
std::string ParamName(const char* pszList, UINT i)
{
    std::string s(pszList ? pszList : "");
    size_t b = 0;
    for (UINT n = 0; n < i; ++n) {
        b = s.find(',', b);
        if (b == std::string::npos)
            return std::string();
        ++b;
    }
    const size_t e = s.find(',', b);
    return s.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

// A description from another build may have any content: check what the
// lookups rely on before handing it out.
bool IsWellFormed(const STypeLibDesc* pDesc)
{
    if (!pDesc || pDesc->dwLayout != kTypeLibLayout || !pDesc->pszName || (pDesc->cTypes && !pDesc->rgTypes))
        return false;
    for (UINT i = 0; i < pDesc->cTypes; ++i) {
        const STypeDesc* p = pDesc->rgTypes[i];
        if (!p || !p->pszName || (p->cFuncs && !p->rgFuncs) || (p->cConsts && !p->rgConsts) ||
            (p->cFields && !p->rgFields) || (p->cImpl && !p->rgImpl))
            return false;
        for (UINT f = 0; f < p->cFuncs; ++f) {
            const SFuncDesc& fd = p->rgFuncs[f];
            if (!fd.pszName || (fd.cParams && !fd.rgParams) || (fd.bRetval && !fd.cParams))
                return false;
        }
    }
    return true;
}

class CTypeLib : public ITypeLib, public CUnknown
{
public:
    CTypeLib(const STypeLibDesc* pDesc, void* hLib) : CUnknown("CTypeLib", nullptr), m_pDesc(pDesc), m_hLib(hLib) {}
    ~CTypeLib() override
    {
        if (m_hLib)
            dlclose(m_hLib);
    }

    DECLARE_IUNKNOWN

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_ITypeLib)
            return GetInterface(static_cast<ITypeLib*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    UINT GetTypeInfoCount() override { return m_pDesc->cTypes; }
    HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) override;
    HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTInfo) override
    {
        if (!ppTInfo)
            return E_POINTER;
        *ppTInfo = nullptr;
        for (UINT i = 0; i < m_pDesc->cTypes; ++i) {
            if (m_pDesc->rgTypes[i]->pGuid && *m_pDesc->rgTypes[i]->pGuid == guid)
                return GetTypeInfo(i, ppTInfo);
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetLibAttr(TLIBATTR* pAttr) override
    {
        if (!pAttr)
            return E_POINTER;
        *pAttr = TLIBATTR{m_pDesc->libid, m_pDesc->lcid, SYS_WIN32, m_pDesc->wMajor, m_pDesc->wMinor, 0};
        return S_OK;
    }
    HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString) override
    {
        const char* pszName;
        const char* pszHelp;
        if (index == -1) {
            pszName = m_pDesc->pszName;
            pszHelp = m_pDesc->pszHelp;
        } else if (index >= 0 && static_cast<UINT>(index) < m_pDesc->cTypes) {
            pszName = m_pDesc->rgTypes[index]->pszName;
            pszHelp = m_pDesc->rgTypes[index]->pszHelp;
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        if (pBstrName)
            *pBstrName = AllocBstr(pszName);
        if (pBstrDocString)
            *pBstrDocString = pszHelp ? AllocBstr(pszHelp) : nullptr;
        return S_OK;
    }
    HRESULT GetDesc(const STypeLibDesc** ppDesc) override
    {
        if (!ppDesc)
            return E_POINTER;
        *ppDesc = m_pDesc;
        return S_OK;
    }

private:
    const STypeLibDesc* const m_pDesc;
    void* const m_hLib;  // dlopen reference that keeps the description mapped, or null
};

class CTypeInfo : public ITypeInfo, public CUnknown
{
public:
    CTypeInfo(CTypeLib* pLib, UINT nIndex)
        : CUnknown("CTypeInfo", nullptr), m_pLib(pLib), m_nIndex(nIndex), m_pDesc(DescOf(pLib, nIndex))
    {
    }

    DECLARE_IUNKNOWN

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_ITypeInfo)
            return GetInterface(static_cast<ITypeInfo*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT GetTypeAttr(TYPEATTR* pAttr) override
    {
        if (!pAttr)
            return E_POINTER;
        *pAttr = TYPEATTR{m_pDesc->pGuid ? *m_pDesc->pGuid : GUID_NULL,
                          m_pDesc->kind,
                          static_cast<WORD>(m_pDesc->cFuncs),
                          static_cast<WORD>(m_pDesc->cConsts + m_pDesc->cFields),
                          static_cast<WORD>(m_pDesc->cImpl + (m_pDesc->pBase ? 1 : 0)),
                          m_pDesc->wTypeFlags};
        return S_OK;
    }
    HRESULT GetDesc(const STypeDesc** ppDesc) override
    {
        if (!ppDesc)
            return E_POINTER;
        *ppDesc = m_pDesc;
        return S_OK;
    }
    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
    HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString) override
    {
        const char* pszName = m_pDesc->pszName;
        const char* pszHelp = m_pDesc->pszHelp;
        if (memid != MEMBERID_NIL) {
            const SFuncDesc* pFunc = FindFunc(memid, 0);
            if (!pFunc)
                return TYPE_E_ELEMENTNOTFOUND;
            pszName = pFunc->pszName;
            pszHelp = pFunc->pszHelp;
        }
        if (pBstrName)
            *pBstrName = AllocBstr(pszName);
        if (pBstrDocString)
            *pBstrDocString = pszHelp ? AllocBstr(pszHelp) : nullptr;
        return S_OK;
    }
    HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) override
    {
        if (pIndex)
            *pIndex = m_nIndex;
        if (ppTLib)
            return GetInterface(static_cast<ITypeLib*>(m_pLib.Get()), reinterpret_cast<void**>(ppTLib));
        return S_OK;
    }

private:
    static const STypeDesc* DescOf(CTypeLib* pLib, UINT nIndex)
    {
        const STypeLibDesc* p = nullptr;
        (void)pLib->GetDesc(&p);
        return p->rgTypes[nIndex];
    }

    // The member memid of this interface or those it extends; with nKind 0
    // any kind, else one whose kind is in nKind. The most derived wins.
    const SFuncDesc* FindFunc(MEMBERID memid, int nKind) const
    {
        for (const STypeDesc* p = m_pDesc; p; p = p->pBase) {
            for (UINT i = 0; i < p->cFuncs; ++i) {
                const SFuncDesc& f = p->rgFuncs[i];
                if (f.memid == memid && (nKind == 0 || (f.invkind & nKind)))
                    return &f;
            }
        }
        return nullptr;
    }

    CComPtr<CTypeLib> m_pLib;  // the description lives as long as its library
    const UINT m_nIndex;
    const STypeDesc* const m_pDesc;
};

HRESULT CTypeLib::GetTypeInfo(UINT index, ITypeInfo** ppTInfo)
{
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (index >= m_pDesc->cTypes)
        return TYPE_E_ELEMENTNOTFOUND;
    CTypeInfo* pInfo = new (std::nothrow) CTypeInfo(this, index);
    if (!pInfo)
        return E_OUTOFMEMORY;
    return GetInterface(static_cast<ITypeInfo*>(pInfo), reinterpret_cast<void**>(ppTInfo));
}

HRESULT CTypeInfo::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId)
{
    if (!rgszNames || !pMemId)
        return E_POINTER;
    if (cNames == 0)
        return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i)
        pMemId[i] = DISPID_UNKNOWN;
    const SFuncDesc* pFunc = nullptr;
    for (const STypeDesc* p = m_pDesc; p && !pFunc; p = p->pBase) {
        for (UINT i = 0; i < p->cFuncs && !pFunc; ++i) {
            if (NameEquals(p->rgFuncs[i].pszName, rgszNames[0]))
                pFunc = &p->rgFuncs[i];
        }
    }
    if (!pFunc)
        return DISP_E_UNKNOWNNAME;
    pMemId[0] = pFunc->memid;
    HRESULT hr = S_OK;
    for (UINT n = 1; n < cNames; ++n) {
        for (UINT i = 0; i < pFunc->cParams; ++i) {
            if (NameEquals(ParamName(pFunc->pszParamNames, i).c_str(), rgszNames[n]))
                pMemId[n] = static_cast<MEMBERID>(i);
        }
        if (pMemId[n] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

// Storage for one output that the caller does not provide: the retval.
struct SRetval
{
    VARIANT v;
    SRetval() { VariantInit(&v); }
    ~SRetval() { (void)VariantClear(&v); }
};

HRESULT CTypeInfo::Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                          VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    (void)pExcepInfo;
    if (!pvInstance || !pDispParams)
        return E_INVALIDARG;
    if (pDispParams->cArgs && !pDispParams->rgvarg)
        return E_INVALIDARG;
    if (pDispParams->cNamedArgs > pDispParams->cArgs || (pDispParams->cNamedArgs && !pDispParams->rgdispidNamedArgs))
        return E_INVALIDARG;

    // Which member: a put asks for the put form; a call that allows both a
    // method and a property get (what script hosts send) takes either.
    const SFuncDesc* pFunc = nullptr;
    if (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
        pFunc = FindFunc(memid, ((wFlags & DISPATCH_PROPERTYPUT) ? INVOKE_PROPERTYPUT : 0) |
                                    ((wFlags & DISPATCH_PROPERTYPUTREF) ? INVOKE_PROPERTYPUTREF : 0));
    else if (wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))
        pFunc = FindFunc(memid, ((wFlags & DISPATCH_METHOD) ? INVOKE_FUNC : 0) |
                                    ((wFlags & DISPATCH_PROPERTYGET) ? INVOKE_PROPERTYGET : 0));
    if (!pFunc)
        return DISP_E_MEMBERNOTFOUND;
    if (!pFunc->pfnInvoke)
        return DISP_E_BADVARTYPE;

    const bool bPut = (pFunc->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) != 0;
    const UINT cIn = pFunc->cParams - (pFunc->bRetval ? 1 : 0);  // parameters the caller supplies
    const UINT cNamed = pDispParams->cNamedArgs;
    const UINT cPositional = pDispParams->cArgs - cNamed;

    if (bPut && cPositional >= cIn)
        return DISP_E_PARAMNOTOPTIONAL;  // the value must come named DISPID_PROPERTYPUT
    // Where each parameter's argument sits in rgvarg (-1: none).
    std::vector<int> vArg(pFunc->cParams, -1);
    for (UINT i = 0; i < cPositional; ++i) {
        if (i >= cIn)
            return DISP_E_BADPARAMCOUNT;
        vArg[i] = static_cast<int>(pDispParams->cArgs - 1 - i);
    }
    for (UINT n = 0; n < cNamed; ++n) {
        DISPID id = pDispParams->rgdispidNamedArgs[n];
        // The value of a put is named DISPID_PROPERTYPUT and is its last parameter.
        if (id == DISPID_PROPERTYPUT && bPut)
            id = static_cast<DISPID>(cIn) - 1;
        else if (id == DISPID_PROPERTYPUT || bPut)
            return DISP_E_PARAMNOTFOUND;
        if (id < 0 || static_cast<UINT>(id) >= cIn || vArg[id] >= 0)
            return DISP_E_PARAMNOTFOUND;
        vArg[id] = static_cast<int>(n);
    }

    std::vector<SDispArg> vArgs(pFunc->cParams);
    for (SDispArg& a : vArgs) {
        VariantInit(&a.v);
        a.pOut = nullptr;
    }
    // Converted inputs own copies (BSTR, references); free them on every path.
    struct SCleanup
    {
        std::vector<SDispArg>* pv;
        ~SCleanup()
        {
            for (SDispArg& a : *pv)
                (void)VariantClear(&a.v);
        }
    } cleanup{&vArgs};
    SRetval retval;

    for (UINT i = 0; i < pFunc->cParams; ++i) {
        const SParamType& type = pFunc->rgParams[i];
        if (pFunc->bRetval && i == pFunc->cParams - 1) {
            retval.v.vt = type.vt;
            vArgs[i].pOut = &retval.v.llVal;
            continue;
        }
        const int nArg = vArg[i];
        VARIANT* pArg = nArg >= 0 ? &pDispParams->rgvarg[nArg] : nullptr;
        // VT_ERROR with DISP_E_PARAMNOTFOUND is how a caller skips an argument.
        if (!pArg || (pArg->vt == VT_ERROR && pArg->scode == DISP_E_PARAMNOTFOUND))
            return DISP_E_PARAMNOTOPTIONAL;
        if (type.bOut) {
            if (pArg->vt != (VT_BYREF | type.vt) || !pArg->byref) {
                if (puArgErr)
                    *puArgErr = static_cast<UINT>(nArg);
                return DISP_E_TYPEMISMATCH;
            }
            vArgs[i].pOut = pArg->byref;
            continue;
        }
        HRESULT hr = VariantChangeType(&vArgs[i].v, pArg, 0, type.vt);
        if (FAILED(hr)) {
            if (puArgErr)
                *puArgErr = static_cast<UINT>(nArg);
            return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
        }
    }

    HRESULT hr = pFunc->pfnInvoke(pvInstance, vArgs.data());
    if (pVarResult) {
        VariantInit(pVarResult);
        if (SUCCEEDED(hr) && pFunc->bRetval) {
            *pVarResult = retval.v;  // the caller owns it now
            VariantInit(&retval.v);
        }
    }
    return hr;
}

class CLoadedLibrary
{
public:
    ~CLoadedLibrary()
    {
        if (m_h)
            dlclose(m_h);
    }
    void* m_h = nullptr;
    void* Detach()
    {
        void* h = m_h;
        m_h = nullptr;
        return h;
    }
};

CWString Hex(DWORD dw)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "%X", dw);
    return Utf8ToWide(sz);
}

CWString VersionKey(REFGUID libid, WORD wMajor, WORD wMinor)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "%u.%u", wMajor, wMinor);
    return u"TypeLib\\" + Utf8ToWide(GuidToString(libid)) + u"\\" + Utf8ToWide(sz);
}

const char16_t* SysKindName(SYSKIND syskind)
{
    switch (syskind) {
    case SYS_WIN16: return u"win16";
    case SYS_WIN32: return u"win32";
    case SYS_MAC: return u"mac";
    case SYS_WIN64: return u"win64";
    }
    return u"win32";
}

bool IsLocaleKey(const CWString& s)
{
    if (s.empty())
        return false;
    for (char16_t c : s) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    }
    return true;
}

// {00020424-0000-0000-C000-000000000046}: the marshaller that dual and
// dispatch interfaces name as their proxy.
constexpr CLSID kTypeLibMarshaler = {0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace

HRESULT CreateTypeLib(const STypeLibDesc* pDesc, ITypeLib** ppTLib)
{
    if (!ppTLib)
        return E_POINTER;
    *ppTLib = nullptr;
    if (!IsWellFormed(pDesc))
        return TYPE_E_UNSUPFORMAT;
    CTypeLib* p = new (std::nothrow) CTypeLib(pDesc, nullptr);
    if (!p)
        return E_OUTOFMEMORY;
    return GetInterface(static_cast<ITypeLib*>(p), reinterpret_cast<void**>(ppTLib));
}

HRESULT LoadTypeLib(LPCOLESTR pszFile, ITypeLib** ppTLib)
{
    if (!ppTLib)
        return E_POINTER;
    *ppTLib = nullptr;
    if (!pszFile || !*pszFile)
        return E_INVALIDARG;
    const std::string strFile = WideToUtf8(PathToNative(pszFile));
    CLoadedLibrary lib;
    lib.m_h = dlopen(strFile.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.m_h) {
        const char* pszErr = dlerror();
        PlatformTrace("\nLoadTypeLib(): cannot load %s: %s", strFile.c_str(), pszErr ? pszErr : "?");
        return TYPE_E_CANTLOADLIBRARY;
    }
    auto pfn = reinterpret_cast<PFNGETTYPELIB>(dlsym(lib.m_h, "KvGetTypeLib"));
    const STypeLibDesc* pDesc = pfn ? pfn(1) : nullptr;
    if (!pDesc) {
        PlatformTrace("\nLoadTypeLib(): %s holds no type library", strFile.c_str());
        return TYPE_E_CANTLOADLIBRARY;
    }
    if (!IsWellFormed(pDesc)) {
        PlatformTrace("\nLoadTypeLib(): the type library of %s has another layout or is damaged", strFile.c_str());
        return TYPE_E_UNSUPFORMAT;
    }
    CTypeLib* p = new (std::nothrow) CTypeLib(pDesc, lib.m_h);
    if (!p)
        return E_OUTOFMEMORY;
    lib.Detach();
    return GetInterface(static_cast<ITypeLib*>(p), reinterpret_cast<void**>(ppTLib));
}

HRESULT LoadRegTypeLib(REFGUID rguid, WORD wMajor, WORD wMinor, LCID lcid, ITypeLib** ppTLib)
{
    if (!ppTLib)
        return E_POINTER;
    *ppTLib = nullptr;
    const CWString strVersion = VersionKey(rguid, wMajor, wMinor);
    CWString strPath;
    HRESULT hr = RegGetString(HKEY_CLASSES_ROOT, (strVersion + u"\\" + Hex(lcid) + u"\\win32").c_str(), nullptr, &strPath);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && lcid != 0)
        hr = RegGetString(HKEY_CLASSES_ROOT, (strVersion + u"\\0\\win32").c_str(), nullptr, &strPath);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE))
        return TYPE_E_LIBNOTREGISTERED;
    if (FAILED(hr))
        return hr;
    return LoadTypeLib(strPath.c_str(), ppTLib);
}

HRESULT RegisterTypeLib(ITypeLib* pTLib, LPCOLESTR pszFullPath, LPCOLESTR pszHelpDir)
{
    if (!pTLib || !pszFullPath || !*pszFullPath)
        return E_INVALIDARG;
    const STypeLibDesc* pDesc = nullptr;
    HRESULT hr = pTLib->GetDesc(&pDesc);
    if (FAILED(hr))
        return hr;
    const CWString strLibid = Utf8ToWide(GuidToString(pDesc->libid));
    const CWString strVersion = VersionKey(pDesc->libid, pDesc->wMajor, pDesc->wMinor);
    const CWString strHelpDir = pszHelpDir ? CWString(pszHelpDir) : PathFolder(pszFullPath);
    char szVersion[16];
    snprintf(szVersion, sizeof(szVersion), "%u.%u", pDesc->wMajor, pDesc->wMinor);

    CRegTransaction t;
    hr = t.Begin(HKEY_CLASSES_ROOT);
    auto set = [&](const CWString& strKey, LPCWSTR pszName, const CWString& strValue) {
        if (SUCCEEDED(hr))
            hr = t.SetString(strKey.c_str(), pszName, strValue.c_str());
    };
    set(strVersion, nullptr, Utf8ToWide(pDesc->pszHelp ? pDesc->pszHelp : pDesc->pszName));
    set(strVersion + u"\\FLAGS", nullptr, u"0");
    set(strVersion + u"\\HELPDIR", nullptr, strHelpDir);
    set(strVersion + u"\\" + Hex(pDesc->lcid) + u"\\win32", nullptr, pszFullPath);
    for (UINT i = 0; i < pDesc->cTypes; ++i) {
        const STypeDesc* p = pDesc->rgTypes[i];
        const bool bAutomation = p->kind == TKIND_DISPATCH ||
                                 (p->kind == TKIND_INTERFACE && (p->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)));
        if (!bAutomation || !p->pGuid)
            continue;
        const CWString strKey = u"Interface\\" + Utf8ToWide(GuidToString(*p->pGuid));
        set(strKey, nullptr, Utf8ToWide(p->pszName));
        set(strKey + u"\\ProxyStubClsid32", nullptr, Utf8ToWide(GuidToString(kTypeLibMarshaler)));
        set(strKey + u"\\TypeLib", nullptr, strLibid);
        set(strKey + u"\\TypeLib", u"Version", Utf8ToWide(szVersion));
    }
    if (FAILED(hr)) {
        PlatformTrace("\nRegisterTypeLib(%s): 0x%08X", WideToUtf8(pszFullPath).c_str(), static_cast<unsigned>(hr));
        return hr;
    }
    return t.Commit();
}

HRESULT UnRegisterTypeLib(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid, SYSKIND syskind)
{
    const CWString strLibid = Utf8ToWide(GuidToString(libid));
    const CWString strVersion = VersionKey(libid, wMajor, wMinor);
    const CWString strLocale = strVersion + u"\\" + Hex(lcid);
    CRegTransaction t;
    HRESULT hr = t.Begin(HKEY_CLASSES_ROOT);
    if (FAILED(hr))
        return hr;
    hr = t.DeleteTree((strLocale + u"\\" + SysKindName(syskind)).c_str());
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        return TYPE_E_REGISTRYACCESS;
    if (FAILED(hr))
        return hr;
    (void)t.DeleteKeyIfEmpty(strLocale.c_str());

    std::vector<CWString> vNames;
    hr = t.EnumSubKeys(strVersion.c_str(), &vNames);
    if (FAILED(hr))
        return hr;
    bool bOtherLocale = false;
    for (const CWString& s : vNames)
        bOtherLocale |= IsLocaleKey(s);
    if (!bOtherLocale) {
        (void)t.DeleteTree(strVersion.c_str());
        (void)t.DeleteKeyIfEmpty((u"TypeLib\\" + strLibid).c_str());
        // The interfaces that this library described, and no other's.
        hr = t.EnumSubKeys(u"Interface", &vNames);
        if (FAILED(hr))
            return hr;
        for (const CWString& s : vNames) {
            const CWString strKey = u"Interface\\" + s;
            CWString strOwner;
            if (SUCCEEDED(t.GetString((strKey + u"\\TypeLib").c_str(), nullptr, &strOwner)) &&
                WStrEqualNoCase(strOwner, strLibid))
                (void)t.DeleteTree(strKey.c_str());
        }
        (void)t.DeleteKeyIfEmpty(u"Interface");
        (void)t.DeleteKeyIfEmpty(u"TypeLib");
    }
    return t.Commit();
}

HRESULT DispGetIDsOfNames(ITypeInfo* pTInfo, LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId)
{
    if (!pTInfo)
        return E_INVALIDARG;
    return pTInfo->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT DispInvoke(void* pvThis, ITypeInfo* pTInfo, DISPID dispIdMember, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    if (!pTInfo)
        return E_INVALIDARG;
    return pTInfo->Invoke(pvThis, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

// --- CDispatchSupport ---------------------------------------------------------

HRESULT CDispatchSupport::EnsureTypeInfo(ITypeInfo** ppInfo)
{
    {
        CAutoLock lock(&m_cs);
        if (m_pInfo) {
            *ppInfo = CComPtr<ITypeInfo>(m_pInfo).Detach();
            return S_OK;
        }
    }
    // Loaded without the lock: loading runs the dynamic loader. Two threads
    // may both load; the first to finish is kept.
    CWString strModule;
    HRESULT hr = GetModuleFileName(m_hModule, &strModule);
    if (FAILED(hr))
        return hr;
    CComPtr<ITypeLib> pLib;
    hr = LoadTypeLib(strModule.c_str(), &pLib);
    if (FAILED(hr))
        return hr;
    CComPtr<ITypeInfo> pInfo;
    hr = pLib->GetTypeInfoOfGuid(*m_piid, &pInfo);
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_cs);
    if (!m_pInfo)
        m_pInfo = pInfo;
    *ppInfo = CComPtr<ITypeInfo>(m_pInfo).Detach();
    return S_OK;
}

HRESULT CDispatchSupport::GetTypeInfoCount(UINT* pctinfo)
{
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT CDispatchSupport::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo)
{
    (void)lcid;
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return TYPE_E_ELEMENTNOTFOUND;
    CComPtr<ITypeInfo> pInfo;
    HRESULT hr = EnsureTypeInfo(&pInfo);
    if (FAILED(hr))
        return hr;
    *ppTInfo = pInfo.Detach();
    return S_OK;
}

HRESULT CDispatchSupport::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId)
{
    (void)riid;
    (void)lcid;
    CComPtr<ITypeInfo> pInfo;
    HRESULT hr = EnsureTypeInfo(&pInfo);
    if (FAILED(hr))
        return hr;
    return DispGetIDsOfNames(pInfo, rgszNames, cNames, rgDispId);
}

HRESULT CDispatchSupport::Invoke(void* pvThis, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr)
{
    (void)lcid;
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    CComPtr<ITypeInfo> pInfo;
    HRESULT hr = EnsureTypeInfo(&pInfo);
    if (FAILED(hr))
        return hr;
    return DispInvoke(pvThis, pInfo, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

void CDispatchSupport::Release()
{
    CComPtr<ITypeInfo> pInfo;
    {
        CAutoLock lock(&m_cs);
        pInfo = std::move(m_pInfo);
    }
    // Released here, outside the lock: the last release may unload a library.
}
