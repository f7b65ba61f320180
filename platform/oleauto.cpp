#include "platform/oleauto.h"

#include <cmath>
#include <cstring>

namespace {

bool IsKnownType(VARTYPE vt)
{
    switch (vt & ~VT_BYREF) {
    case VT_EMPTY:
    case VT_NULL:
        return !(vt & VT_BYREF);
    case VT_I2:
    case VT_I4:
    case VT_R8:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_UI1:
        return true;
    case VT_VARIANT:
        return (vt & VT_BYREF) != 0;
    default:
        return false;
    }
}

// The value of a numeric or boolean variant as a double; false for others.
bool NumberOf(const VARIANT& v, double* pd)
{
    switch (v.vt) {
    case VT_EMPTY: *pd = 0; return true;
    case VT_I2: *pd = v.iVal; return true;
    case VT_I4: *pd = v.lVal; return true;
    case VT_UI1: *pd = v.bVal; return true;
    case VT_R8: *pd = v.dblVal; return true;
    case VT_BOOL: *pd = v.boolVal ? -1 : 0; return true;
    default: return false;
    }
}

// The value of pSrc with VT_BYREF followed.
HRESULT Deref(const VARIANT* pSrc, VARIANT* pOut)
{
    VariantInit(pOut);
    if (!(pSrc->vt & VT_BYREF)) {
        *pOut = *pSrc;
        return S_OK;
    }
    if (!pSrc->byref)
        return E_INVALIDARG;
    const VARTYPE vt = pSrc->vt & ~VT_BYREF;
    pOut->vt = vt;
    switch (vt) {
    case VT_I2: pOut->iVal = *pSrc->piVal; break;
    case VT_I4: pOut->lVal = *pSrc->plVal; break;
    case VT_UI1: pOut->bVal = *pSrc->pbVal; break;
    case VT_R8: pOut->dblVal = *pSrc->pdblVal; break;
    case VT_BOOL: pOut->boolVal = *pSrc->pboolVal; break;
    case VT_ERROR: pOut->scode = *pSrc->pscode; break;
    case VT_BSTR: pOut->bstrVal = *pSrc->pbstrVal; break;
    case VT_UNKNOWN: pOut->punkVal = *pSrc->ppunkVal; break;
    case VT_DISPATCH: pOut->pdispVal = *pSrc->ppdispVal; break;
    case VT_VARIANT:
        if (pSrc->pvarVal->vt & VT_BYREF)
            return DISP_E_TYPEMISMATCH;  // one level of indirection only
        *pOut = *pSrc->pvarVal;
        break;
    default: return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

}  // namespace

void VariantInit(VARIANT* pv)
{
    memset(pv, 0, sizeof(*pv));
    pv->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* pv)
{
    if (!pv)
        return E_INVALIDARG;
    if (!IsKnownType(pv->vt))
        return DISP_E_BADVARTYPE;
    if (pv->vt == VT_BSTR)
        SysFreeString(pv->bstrVal);
    else if ((pv->vt == VT_UNKNOWN || pv->vt == VT_DISPATCH) && pv->punkVal)
        pv->punkVal->Release();
    VariantInit(pv);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pDest, const VARIANT* pSrc)
{
    if (!pDest || !pSrc)
        return E_INVALIDARG;
    if (!IsKnownType(pSrc->vt))
        return DISP_E_BADVARTYPE;
    if (pDest == pSrc)
        return S_OK;
    HRESULT hr = VariantClear(pDest);
    if (FAILED(hr))
        return hr;
    VARIANT v = *pSrc;
    if (v.vt == VT_BSTR && v.bstrVal) {
        v.bstrVal = SysAllocStringLen(pSrc->bstrVal, SysStringLen(pSrc->bstrVal));
        if (!v.bstrVal)
            return E_OUTOFMEMORY;
    } else if ((v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH) && v.punkVal) {
        v.punkVal->AddRef();
    }
    *pDest = v;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* pDest, const VARIANT* pSrc, WORD wFlags, VARTYPE vt)
{
    (void)wFlags;
    if (!pDest || !pSrc)
        return E_INVALIDARG;
    if (!IsKnownType(pSrc->vt) || !IsKnownType(vt) || (vt & VT_BYREF))
        return DISP_E_BADVARTYPE;
    VARIANT src;
    HRESULT hr = Deref(pSrc, &src);
    if (FAILED(hr))
        return hr;
    VARIANT result;
    VariantInit(&result);
    result.vt = vt;
    double d = 0;
    switch (vt) {
    case VT_EMPTY:
        break;
    case VT_I2:
    case VT_I4:
    case VT_UI1:
    case VT_R8:
    case VT_BOOL: {
        if (!NumberOf(src, &d))
            return DISP_E_TYPEMISMATCH;
        if (vt == VT_R8) {
            result.dblVal = d;
            break;
        }
        if (vt == VT_BOOL) {
            result.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        }
        if (std::isnan(d))
            return DISP_E_OVERFLOW;
        const double r = std::nearbyint(d);  // the default rounding mode: half to even
        const double lo = vt == VT_I2 ? -32768.0 : vt == VT_UI1 ? 0.0 : -2147483648.0;
        const double hi = vt == VT_I2 ? 32767.0 : vt == VT_UI1 ? 255.0 : 2147483647.0;
        if (r < lo || r > hi)
            return DISP_E_OVERFLOW;
        if (vt == VT_I2)
            result.iVal = static_cast<int16_t>(r);
        else if (vt == VT_UI1)
            result.bVal = static_cast<BYTE>(r);
        else
            result.lVal = static_cast<LONG>(r);
        break;
    }
    case VT_BSTR:
        if (src.vt == VT_EMPTY)
            break;
        if (src.vt != VT_BSTR)
            return DISP_E_TYPEMISMATCH;
        if (src.bstrVal) {
            result.bstrVal = SysAllocStringLen(src.bstrVal, SysStringLen(src.bstrVal));
            if (!result.bstrVal)
                return E_OUTOFMEMORY;
        }
        break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
        if (src.vt == VT_EMPTY)
            break;
        // An IDispatch is an IUnknown; the other way round would need a query.
        if (src.vt != VT_DISPATCH && !(src.vt == VT_UNKNOWN && vt == VT_UNKNOWN))
            return DISP_E_TYPEMISMATCH;
        result.punkVal = src.punkVal;
        if (result.punkVal)
            result.punkVal->AddRef();
        break;
    case VT_ERROR:
        if (src.vt != VT_ERROR)
            return DISP_E_TYPEMISMATCH;
        result.scode = src.scode;
        break;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    hr = VariantClear(pDest);
    if (FAILED(hr)) {
        (void)VariantClear(&result);
        return hr;
    }
    *pDest = result;
    return S_OK;
}
