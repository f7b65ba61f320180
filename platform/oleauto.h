// Automation values: VARIANT, DISPPARAMS and IDispatch, for the late-bound
// calls that scripting hosts and automation clients make.
//
// Supported value types: VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R8, VT_BOOL,
// VT_BSTR, VT_UNKNOWN, VT_DISPATCH, VT_ERROR and VT_UI1, each also with
// VT_BYREF (a pointer to the caller's storage).
#pragma once

#include "platform/bstr.h"
#include "platform/unknown.h"

typedef uint16_t VARTYPE;
typedef LONG DISPID;
typedef DISPID MEMBERID;
typedef DWORD LCID;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef LONG SCODE;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_UI1 = 17,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_USERDEFINED = 29,
    VT_LPWSTR = 31,
    VT_BYREF = 0x4000,
};

constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr MEMBERID MEMBERID_NIL = DISPID_UNKNOWN;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

struct IDispatch;
struct ITypeInfo;

struct VARIANT
{
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        int16_t iVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        LONG* plVal;
        BYTE* pbVal;
        int16_t* piVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        VARIANT* pvarVal;
        void* byref;
    };
};
typedef VARIANT VARIANTARG;

// Arguments of IDispatch::Invoke: rgvarg holds them last first; the first
// cNamedArgs of them are named by rgdispidNamedArgs, the rest are positional.
struct DISPPARAMS
{
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO
{
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    void* pfnDeferredFillIn;
    SCODE scode;
};

// {00020400-0000-0000-C000-000000000046}
constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_NULL = GUID_NULL;

struct IDispatch : public IUnknown
{
    [[nodiscard]] virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
    [[nodiscard]] virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
    [[nodiscard]] virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                                DISPID* rgDispId) = 0;
    [[nodiscard]] virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                         DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                         UINT* puArgErr) = 0;
};

void VariantInit(VARIANT* pv);
// Frees what the variant owns (a BSTR, an interface reference; nothing for
// VT_BYREF) and leaves it VT_EMPTY. DISP_E_BADVARTYPE for an unknown type.
[[nodiscard]] HRESULT VariantClear(VARIANT* pv);
// pDest is cleared first; the copy owns its own BSTR and reference.
[[nodiscard]] HRESULT VariantCopy(VARIANT* pDest, const VARIANT* pSrc);
// Converts pSrc (followed if VT_BYREF) to vt into pDest, which is cleared
// first and may be pSrc. Numbers, booleans and VT_EMPTY convert among
// VT_I2, VT_I4, VT_UI1, VT_R8 and VT_BOOL (doubles round half to even;
// DISP_E_OVERFLOW when out of range); VT_EMPTY also becomes a null VT_BSTR,
// VT_UNKNOWN or VT_DISPATCH; VT_DISPATCH becomes VT_UNKNOWN. Anything else
// gives DISP_E_TYPEMISMATCH, or DISP_E_BADVARTYPE for an unknown type.
[[nodiscard]] HRESULT VariantChangeType(VARIANT* pDest, const VARIANT* pSrc, WORD wFlags, VARTYPE vt);
