// Type libraries and late binding.
//
// A component describes its automation interfaces once, in a table of
// STypeDesc entries built with the helpers below. Each method entry names the
// C++ member function it stands for (DispFunc<&IFoo::Bar>); its parameter
// types and its thunk -- a small function that converts the arguments and
// calls that member through the object's virtual table -- are derived from the
// member's signature, so the description cannot drift from the interface.
//
//   struct ICalc : IDispatch {
//       virtual HRESULT put_Scale(double d) = 0;
//       virtual HRESULT get_Scale(double* pd) = 0;
//       virtual HRESULT Add(double a, double b, double* pSum) = 0;
//   };
//   constexpr SFuncDesc kCalcFuncs[] = {
//       DispFunc<&ICalc::put_Scale>("Scale", 1, INVOKE_PROPERTYPUT, "help", "d"),
//       DispFunc<&ICalc::get_Scale>("Scale", 1, INVOKE_PROPERTYGET, "help", "pd", true),
//       DispFunc<&ICalc::Add>("Add", 2, INVOKE_FUNC, "help", "a,b,pSum", true),
//   };
//   constexpr STypeDesc kCalc = InterfaceDesc(TKIND_DISPATCH, "ICalc", &IID_ICalc, "help",
//                                             TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, nullptr, kCalcFuncs);
//   constexpr const STypeDesc* kTypes[] = {&kCalc};
//   constexpr STypeLibDesc kLib = TypeLibDesc("CalcLib", LIBID_Calc, 1, 0, 0, "help", kTypes);
//   KV_DEFINE_TYPELIB(kLib);   // exported from the library: LoadTypeLib finds it there
//
// Parameter types that Invoke can pass: double, LONG (and int), VARIANT_BOOL
// (every int16_t counts as one), BSTR, IUnknown*, IDispatch* and enumerations
// of 32 bits, as inputs, and pointers to each as outputs. Other types (a
// record pointer, a wide string) are described (VT_PTR, VT_LPWSTR) but such a
// method cannot be invoked late-bound.
//
// Registry entries written by RegisterTypeLib (under HKEY_CLASSES_ROOT):
//   TypeLib\{libid}\<major>.<minor>                @ = help string (or name)
//   TypeLib\{libid}\<major>.<minor>\FLAGS          @ = "0"
//   TypeLib\{libid}\<major>.<minor>\HELPDIR        @ = help folder
//   TypeLib\{libid}\<major>.<minor>\<lcid hex>\win32  @ = library path
//   Interface\{iid}  @ = name; ProxyStubClsid32, TypeLib (+ Version) for
//                    each dual or dispatch interface
#pragma once

#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/comload.h"
#include "platform/critsec.h"
#include "platform/oleauto.h"

enum TYPEKIND {
    TKIND_ENUM = 0,
    TKIND_RECORD = 1,
    TKIND_MODULE = 2,
    TKIND_INTERFACE = 3,
    TKIND_DISPATCH = 4,
    TKIND_COCLASS = 5,
};

enum INVOKEKIND {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};

enum SYSKIND {
    SYS_WIN16 = 0,
    SYS_WIN32 = 1,
    SYS_MAC = 2,
    SYS_WIN64 = 3,
};

constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
constexpr WORD TYPEFLAG_FDUAL = 0x40;
constexpr WORD TYPEFLAG_FNONEXTENSIBLE = 0x80;
constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

constexpr WORD PARAMFLAG_FIN = 0x1;
constexpr WORD PARAMFLAG_FOUT = 0x2;
constexpr WORD PARAMFLAG_FRETVAL = 0x8;

constexpr int IMPLTYPEFLAG_FDEFAULT = 0x1;
constexpr int IMPLTYPEFLAG_FSOURCE = 0x2;

// --- the description --------------------------------------------------------

// One argument as a thunk receives it: an input converted to the parameter's
// type in v, an output as a pointer to storage of that type in pOut.
struct SDispArg
{
    VARIANT v;
    void* pOut;
};
typedef HRESULT (*PFNDISPTHUNK)(void* pvInstance, SDispArg* rgArgs);

struct SParamType
{
    VARTYPE vt;               // of the value, without VT_BYREF
    bool bOut;                // passed as a pointer that the callee fills
    const char* pszTypeName;  // enumeration or record name, or null
};

struct SFuncDesc
{
    const char* pszName;
    MEMBERID memid;
    INVOKEKIND invkind;
    const char* pszHelp;
    const char* pszParamNames;  // comma-separated, in order
    const SParamType* rgParams;
    UINT cParams;
    bool bRetval;               // the last parameter is [out, retval]
    PFNDISPTHUNK pfnInvoke;     // null when a parameter type cannot be invoked
    int (*pfnVtableSlot)();     // the member's slot in the virtual table
};

struct SConstDesc
{
    const char* pszName;
    LONG lValue;
    const char* pszHelp;
};

struct SFieldDesc
{
    const char* pszName;
    VARTYPE vt;
    const char* pszTypeName;
};

struct STypeDesc;
struct SImplTypeDesc
{
    const STypeDesc* pType;
    int nFlags;  // IMPLTYPEFLAG_*
};

struct STypeDesc
{
    TYPEKIND kind;
    const char* pszName;
    const GUID* pGuid;  // null for an enumeration or record without one
    const char* pszHelp;
    WORD wTypeFlags;
    const STypeDesc* pBase;  // an interface's base in this library (null: IUnknown or IDispatch)
    const SFuncDesc* rgFuncs;
    UINT cFuncs;
    const SConstDesc* rgConsts;
    UINT cConsts;
    const SFieldDesc* rgFields;
    UINT cFields;
    const SImplTypeDesc* rgImpl;
    UINT cImpl;
};

// Bumped whenever the layout of these structures changes: a library built
// against another layout is refused (TYPE_E_UNSUPFORMAT).
constexpr DWORD kTypeLibLayout = 1;

struct STypeLibDesc
{
    DWORD dwLayout;
    const char* pszName;
    GUID libid;
    WORD wMajor;
    WORD wMinor;
    LCID lcid;
    const char* pszHelp;
    const STypeDesc* const* rgTypes;
    UINT cTypes;
};

// Names for enumeration and record types in parameter descriptions:
//   template <> inline constexpr const char* kDispTypeName<MyEnum> = "MyEnum";
template <class T>
inline constexpr const char* kDispTypeName = nullptr;

// How one C++ parameter type travels through Invoke.
template <class T, class = void>
struct DispArgTraits
{
    static constexpr bool kSupported = false;
    static constexpr VARTYPE kVt = VT_PTR;
    static constexpr bool kOut = false;
    static constexpr const char* kTypeName = kDispTypeName<std::remove_cv_t<std::remove_pointer_t<T>>>;
};
template <>
struct DispArgTraits<LPCOLESTR>
{
    static constexpr bool kSupported = false;
    static constexpr VARTYPE kVt = VT_LPWSTR;
    static constexpr bool kOut = false;
    static constexpr const char* kTypeName = nullptr;
};

#define KV_DISP_ARG(Type, Vt, Member)                                                             \
    template <>                                                                                   \
    struct DispArgTraits<Type>                                                                    \
    {                                                                                             \
        static constexpr bool kSupported = true;                                                  \
        static constexpr VARTYPE kVt = Vt;                                                        \
        static constexpr bool kOut = false;                                                       \
        static constexpr const char* kTypeName = nullptr;                                         \
        static Type Get(SDispArg& a) { return a.v.Member; }                                       \
    };                                                                                            \
    template <>                                                                                   \
    struct DispArgTraits<Type*>                                                                   \
    {                                                                                             \
        static constexpr bool kSupported = true;                                                  \
        static constexpr VARTYPE kVt = Vt;                                                        \
        static constexpr bool kOut = true;                                                        \
        static constexpr const char* kTypeName = nullptr;                                         \
        static Type* Get(SDispArg& a) { return static_cast<Type*>(a.pOut); }                      \
    };
KV_DISP_ARG(double, VT_R8, dblVal)
KV_DISP_ARG(LONG, VT_I4, lVal)
KV_DISP_ARG(VARIANT_BOOL, VT_BOOL, boolVal)
KV_DISP_ARG(BSTR, VT_BSTR, bstrVal)
KV_DISP_ARG(IUnknown*, VT_UNKNOWN, punkVal)
KV_DISP_ARG(IDispatch*, VT_DISPATCH, pdispVal)
#undef KV_DISP_ARG

template <class E>
struct DispArgTraits<E, std::enable_if_t<std::is_enum_v<E> && sizeof(E) == sizeof(LONG)>>
{
    static constexpr bool kSupported = true;
    static constexpr VARTYPE kVt = VT_I4;
    static constexpr bool kOut = false;
    static constexpr const char* kTypeName = kDispTypeName<E>;
    static E Get(SDispArg& a) { return static_cast<E>(a.v.lVal); }
};
template <class E>
struct DispArgTraits<E*, std::enable_if_t<std::is_enum_v<E> && sizeof(E) == sizeof(LONG)>>
{
    static constexpr bool kSupported = true;
    static constexpr VARTYPE kVt = VT_I4;
    static constexpr bool kOut = true;
    static constexpr const char* kTypeName = kDispTypeName<E>;
    static E* Get(SDispArg& a) { return static_cast<E*>(a.pOut); }
};

// The virtual-table slot of a pointer to a virtual member function, read from
// its Itanium C++ ABI representation; -1 for a non-virtual member.
template <class Pmf>
int VtableSlotOf(Pmf pmf)
{
    struct
    {
        uintptr_t ptr;
        ptrdiff_t adj;
    } rep;
    static_assert(sizeof(pmf) == sizeof(rep), "Itanium member function pointer expected");
    memcpy(&rep, &pmf, sizeof(rep));
#if defined(__arm__) || defined(__aarch64__)
    // ARM keeps the virtual flag in the adjustment's low bit.
    return (rep.adj & 1) ? static_cast<int>(rep.ptr / sizeof(void*)) : -1;
#else
    return (rep.ptr & 1) ? static_cast<int>((rep.ptr - 1) / sizeof(void*)) : -1;
#endif
}

template <auto Pmf>
struct CDispThunk;

template <class C, class R, class... A, R (C::*Pmf)(A...)>
struct CDispThunk<Pmf>
{
    static_assert(std::is_same_v<R, HRESULT>, "automation methods return an HRESULT");
    static constexpr UINT kCount = sizeof...(A);
    static constexpr bool kInvokable = (DispArgTraits<A>::kSupported && ...);
    static constexpr SParamType kParams[kCount + 1] = {
        SParamType{DispArgTraits<A>::kVt, DispArgTraits<A>::kOut, DispArgTraits<A>::kTypeName}..., SParamType{}};

    // pvInstance points at a C (or at an interface that extends C along a
    // chain of single inheritance, which shares its address).
    static HRESULT Invoke(void* pvInstance, SDispArg* rgArgs)
    {
        return Call(static_cast<C*>(pvInstance), rgArgs, std::index_sequence_for<A...>{});
    }
    static int Slot() { return VtableSlotOf(Pmf); }

private:
    template <size_t... I>
    static HRESULT Call(C* p, SDispArg* rgArgs, std::index_sequence<I...>)
    {
        (void)rgArgs;
        if constexpr (kInvokable)
            return (p->*Pmf)(DispArgTraits<A>::Get(rgArgs[I])...);
        else
            return DISP_E_BADVARTYPE;
    }
};

template <auto Pmf>
constexpr SFuncDesc DispFunc(const char* pszName, MEMBERID memid, INVOKEKIND invkind, const char* pszHelp,
                             const char* pszParamNames, bool bRetval = false)
{
    using T = CDispThunk<Pmf>;
    return SFuncDesc{pszName,    memid,   invkind,
                     pszHelp,    pszParamNames,
                     T::kParams, T::kCount,
                     bRetval,    T::kInvokable ? &T::Invoke : nullptr,
                     &T::Slot};
}

template <size_t N>
constexpr STypeDesc InterfaceDesc(TYPEKIND kind, const char* pszName, const GUID* pGuid, const char* pszHelp,
                                  WORD wTypeFlags, const STypeDesc* pBase, const SFuncDesc (&rgFuncs)[N])
{
    return STypeDesc{kind, pszName, pGuid, pszHelp, wTypeFlags, pBase, rgFuncs, N, nullptr, 0, nullptr, 0, nullptr, 0};
}

template <size_t N>
constexpr STypeDesc EnumDesc(const char* pszName, const char* pszHelp, const SConstDesc (&rgConsts)[N])
{
    return STypeDesc{TKIND_ENUM, pszName, nullptr, pszHelp, 0, nullptr, nullptr, 0, rgConsts, N, nullptr, 0, nullptr, 0};
}

template <size_t N>
constexpr STypeDesc RecordDesc(const char* pszName, const char* pszHelp, const SFieldDesc (&rgFields)[N])
{
    return STypeDesc{TKIND_RECORD, pszName, nullptr, pszHelp, 0, nullptr, nullptr, 0, nullptr, 0, rgFields, N, nullptr, 0};
}

template <size_t N>
constexpr STypeDesc CoClassDesc(const char* pszName, const CLSID* pClsid, const char* pszHelp, WORD wTypeFlags,
                                const SImplTypeDesc (&rgImpl)[N])
{
    return STypeDesc{TKIND_COCLASS, pszName, pClsid, pszHelp, wTypeFlags, nullptr, nullptr, 0,
                     nullptr,       0,       nullptr, 0,      rgImpl,     N};
}

template <size_t N>
constexpr STypeLibDesc TypeLibDesc(const char* pszName, const GUID& libid, WORD wMajor, WORD wMinor, LCID lcid,
                                   const char* pszHelp, const STypeDesc* const (&rgTypes)[N])
{
    return STypeLibDesc{kTypeLibLayout, pszName, libid, wMajor, wMinor, lcid, pszHelp, rgTypes, N};
}

// Exports the description from a library as its type library number 1.
#define KV_DEFINE_TYPELIB(desc)                                              \
    KV_DLL_EXPORT const STypeLibDesc* KvGetTypeLib(UINT nIndex)             \
    {                                                                        \
        return nIndex == 1 ? &(desc) : nullptr;                              \
    }

// --- type information objects -------------------------------------------------

struct TYPEATTR
{
    GUID guid;
    TYPEKIND typekind;
    WORD cFuncs;
    WORD cVars;
    WORD cImplTypes;
    WORD wTypeFlags;
};

struct TLIBATTR
{
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
};

struct ITypeLib;

// {00020401-0000-0000-C000-000000000046}
constexpr IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00020402-0000-0000-C000-000000000046}
constexpr IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct ITypeInfo : public IUnknown
{
    [[nodiscard]] virtual HRESULT GetTypeAttr(TYPEATTR* pAttr) = 0;
    // The description; valid while this type information is held.
    [[nodiscard]] virtual HRESULT GetDesc(const STypeDesc** ppDesc) = 0;
    // rgszNames[0] is a member (of this interface or the ones it extends),
    // the others its parameters, which get their positions as ids. Names
    // compare without regard to ASCII case. DISP_E_UNKNOWNNAME when any name
    // is unknown; its entry is DISPID_UNKNOWN.
    [[nodiscard]] virtual HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
    // Calls member memid of pvInstance, an object of this interface.
    //   DISP_E_MEMBERNOTFOUND   no member memid of the kind wFlags asks for
    //   DISP_E_BADPARAMCOUNT    more arguments than parameters
    //   DISP_E_PARAMNOTOPTIONAL a parameter has no argument, or a property
    //                           put's value is not named DISPID_PROPERTYPUT
    //   DISP_E_PARAMNOTFOUND    a named argument names no parameter
    //   DISP_E_TYPEMISMATCH     an argument that cannot become its parameter's
    //                           type, or an output that is not VT_BYREF of it;
    //                           *puArgErr is its index in rgvarg
    //   DISP_E_OVERFLOW         a number out of its parameter's range (*puArgErr)
    //   DISP_E_BADVARTYPE       a member whose parameters cannot be invoked
    // otherwise the member's own result. The [out, retval] value goes to
    // pVarResult (freed when pVarResult is null); other outputs are written
    // through the caller's VT_BYREF pointers, as the member writes them.
    [[nodiscard]] virtual HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
    // Name and help string of a member, or of the type for MEMBERID_NIL;
    // TYPE_E_ELEMENTNOTFOUND for an unknown member. Either output may be null.
    [[nodiscard]] virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString) = 0;
    [[nodiscard]] virtual HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) = 0;
};

struct ITypeLib : public IUnknown
{
    virtual UINT GetTypeInfoCount() = 0;
    // TYPE_E_ELEMENTNOTFOUND for an index past the end.
    [[nodiscard]] virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) = 0;
    // TYPE_E_ELEMENTNOTFOUND for an unknown identifier.
    [[nodiscard]] virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTInfo) = 0;
    [[nodiscard]] virtual HRESULT GetLibAttr(TLIBATTR* pAttr) = 0;
    // index -1: the library itself.
    [[nodiscard]] virtual HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString) = 0;
    [[nodiscard]] virtual HRESULT GetDesc(const STypeLibDesc** ppDesc) = 0;
};

// A type library over a description in this process (kept alive by the
// caller, e.g. a static table).
[[nodiscard]] HRESULT CreateTypeLib(const STypeLibDesc* pDesc, ITypeLib** ppTLib);
// Loads the library file and its exported type library number 1; the type
// library keeps the file loaded while it lives. TYPE_E_CANTLOADLIBRARY for a
// file that cannot be loaded or has no type library, TYPE_E_UNSUPFORMAT for
// a description of another layout or one that is malformed.
[[nodiscard]] HRESULT LoadTypeLib(LPCOLESTR pszFile, ITypeLib** ppTLib);
// The registered file of a library (lcid, else locale 0); TYPE_E_LIBNOTREGISTERED.
[[nodiscard]] HRESULT LoadRegTypeLib(REFGUID rguid, WORD wMajor, WORD wMinor, LCID lcid, ITypeLib** ppTLib);
// Writes the registry entries above in one transaction. pszHelpDir null:
// the folder of pszFullPath.
[[nodiscard]] HRESULT RegisterTypeLib(ITypeLib* pTLib, LPCOLESTR pszFullPath, LPCOLESTR pszHelpDir);
// Removes TypeLib\{libid}\<ver>\<lcid>\<syskind>; when no other locale is left
// the version key goes and with it the Interface keys that name this library.
// TYPE_E_REGISTRYACCESS when that registration does not exist.
[[nodiscard]] HRESULT UnRegisterTypeLib(REFGUID libid, WORD wMajor, WORD wMinor, LCID lcid, SYSKIND syskind);

// The forms that IDispatch implementations forward to.
[[nodiscard]] HRESULT DispGetIDsOfNames(ITypeInfo* pTInfo, LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId);
[[nodiscard]] HRESULT DispInvoke(void* pvThis, ITypeInfo* pTInfo, DISPID dispIdMember, WORD wFlags,
                                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);

// The IDispatch side of one dual interface, answered from the type library
// in the file of a module: one type information (index 0), loaded on first
// use and kept. An object's IDispatch methods forward here, passing the
// interface pointer as pvThis.
class CDispatchSupport
{
public:
    CDispatchSupport(const IID* piid, HINSTANCE hModule) : m_piid(piid), m_hModule(hModule) {}
    CDispatchSupport(const CDispatchSupport&) = delete;
    CDispatchSupport& operator=(const CDispatchSupport&) = delete;

    // 1.
    [[nodiscard]] HRESULT GetTypeInfoCount(UINT* pctinfo);
    // E_POINTER; TYPE_E_ELEMENTNOTFOUND for an index other than 0.
    [[nodiscard]] HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo);
    [[nodiscard]] HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId);
    // DISP_E_UNKNOWNINTERFACE for riid other than IID_NULL.
    [[nodiscard]] HRESULT Invoke(void* pvThis, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                 DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
    // Drops the cached type information (an object's destructor).
    void Release();

private:
    HRESULT EnsureTypeInfo(ITypeInfo** ppInfo);

    const IID* const m_piid;
    const HINSTANCE m_hModule;
    CCritSec m_cs;
    CComPtr<ITypeInfo> m_pInfo GUARDED_BY(m_cs);
};
