#include "platform/graph/mtype.h"

#include <cstring>

#include "platform/bstr.h"

HRESULT CopyMediaType(AM_MEDIA_TYPE* pDest, const AM_MEDIA_TYPE* pSrc)
{
    *pDest = *pSrc;
    if (pSrc->cbFormat != 0 && pSrc->pbFormat) {
        pDest->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(pSrc->cbFormat));
        if (!pDest->pbFormat) {
            pDest->cbFormat = 0;
            pDest->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        memcpy(pDest->pbFormat, pSrc->pbFormat, pSrc->cbFormat);
    } else {
        pDest->pbFormat = nullptr;
        pDest->cbFormat = 0;
    }
    if (pDest->pUnk)
        pDest->pUnk->AddRef();
    return S_OK;
}

void FreeMediaType(AM_MEDIA_TYPE& mt)
{
    if (mt.pbFormat) {
        CoTaskMemFree(mt.pbFormat);
        mt.pbFormat = nullptr;
    }
    mt.cbFormat = 0;
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* pSrc)
{
    AM_MEDIA_TYPE* pmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!pmt)
        return nullptr;
    if (FAILED(CopyMediaType(pmt, pSrc))) {
        CoTaskMemFree(pmt);
        return nullptr;
    }
    return pmt;
}

void DeleteMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!pmt)
        return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

CMediaType::CMediaType() { InitMediaType(); }

CMediaType::CMediaType(const GUID* pMajorType)
{
    InitMediaType();
    majortype = *pMajorType;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& mt)
{
    InitMediaType();
    if (FAILED(CopyMediaType(this, &mt)))
        InitMediaType();
}

CMediaType::CMediaType(const CMediaType& mt) : CMediaType(static_cast<const AM_MEDIA_TYPE&>(mt)) {}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& mt)
{
    (void)Set(mt);  // out of memory leaves an invalid type that callers test
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& mt) { return *this = static_cast<const AM_MEDIA_TYPE&>(mt); }

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& mt)
{
    if (&mt == this)
        return S_OK;
    FreeMediaType(*this);
    HRESULT hr = CopyMediaType(this, &mt);
    if (FAILED(hr))
        InitMediaType();
    return hr;
}

bool CMediaType::operator==(const CMediaType& rt) const
{
    return majortype == rt.majortype && subtype == rt.subtype && formattype == rt.formattype &&
           cbFormat == rt.cbFormat && (cbFormat == 0 || memcmp(pbFormat, rt.pbFormat, cbFormat) == 0);
}

void CMediaType::SetSampleSize(ULONG sz)
{
    if (sz == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = sz;
    }
}

bool CMediaType::SetFormat(const BYTE* pFormat, ULONG cb)
{
    if (cb == 0) {
        ResetFormatBuffer();
        return true;
    }
    BYTE* p = static_cast<BYTE*>(CoTaskMemAlloc(cb));
    if (!p)
        return false;
    memcpy(p, pFormat, cb);
    ResetFormatBuffer();
    pbFormat = p;
    cbFormat = cb;
    return true;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG cb)
{
    if (cb == cbFormat && pbFormat)
        return pbFormat;
    BYTE* p = static_cast<BYTE*>(CoTaskMemAlloc(cb));
    if (!p)
        return nullptr;
    memset(p, 0, cb);
    if (pbFormat)
        memcpy(p, pbFormat, cb < cbFormat ? cb : cbFormat);
    ResetFormatBuffer();
    pbFormat = p;
    cbFormat = cb;
    return p;
}

void CMediaType::ResetFormatBuffer()
{
    if (pbFormat)
        CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

void CMediaType::InitMediaType()
{
    majortype = GUID_NULL;
    subtype = GUID_NULL;
    formattype = GUID_NULL;
    bFixedSizeSamples = TRUE;
    bTemporalCompression = FALSE;
    lSampleSize = 1;
    pUnk = nullptr;
    cbFormat = 0;
    pbFormat = nullptr;
}

bool CMediaType::IsPartiallySpecified() const { return majortype == GUID_NULL || formattype == GUID_NULL; }

bool CMediaType::MatchesPartial(const CMediaType* pPartial) const
{
    if (pPartial->majortype != GUID_NULL && majortype != pPartial->majortype)
        return false;
    if (pPartial->subtype != GUID_NULL && subtype != pPartial->subtype)
        return false;
    if (pPartial->formattype != GUID_NULL) {
        if (formattype != pPartial->formattype || cbFormat != pPartial->cbFormat)
            return false;
        if (cbFormat != 0 && memcmp(pbFormat, pPartial->pbFormat, cbFormat) != 0)
            return false;
    }
    return true;
}
