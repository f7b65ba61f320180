#include "platform/graph/amfilter.h"

#include <cstring>
#include <new>

#include "platform/bstr.h"

void CopyName(WCHAR* pDest, size_t cchDest, LPCWSTR pSrc)
{
    size_t n = 0;
    if (pSrc) {
        while (n + 1 < cchDest && pSrc[n])
            n++;
        memcpy(pDest, pSrc, n * sizeof(WCHAR));
    }
    pDest[n] = 0;
}

CBaseFilter::CBaseFilter(const char* pszName, IUnknown* pUnk, CCritSec* pLock, REFCLSID clsid)
    : CUnknown(pszName, pUnk), m_pLock(pLock), m_clsid(clsid)
{
}

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IBaseFilter)
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == IID_IMediaFilter)
        return GetInterface(static_cast<IMediaFilter*>(this), ppv);
    if (riid == IID_IPersist)
        return GetInterface(static_cast<IPersist*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseFilter::GetClassID(CLSID* pClsID)
{
    if (!pClsID)
        return E_POINTER;
    *pClsID = m_clsid;
    return S_OK;
}

HRESULT CBaseFilter::Stop()
{
    CAutoLock lock(m_pLock);
    HRESULT hrResult = S_OK;
    if (m_State != State_Stopped) {
        // Every connected pin is told, even after one of them failed, so
        // that no pin is left holding committed buffers.
        for (int i = 0; i < GetPinCount(); i++) {
            CBasePin* pPin = GetPin(i);
            if (pPin && pPin->IsConnected()) {
                HRESULT hr = pPin->Inactive();
                if (FAILED(hr) && SUCCEEDED(hrResult))
                    hrResult = hr;
            }
        }
    }
    m_State = State_Stopped;
    return hrResult;
}

HRESULT CBaseFilter::Pause()
{
    CAutoLock lock(m_pLock);
    if (m_State == State_Stopped) {
        for (int i = 0; i < GetPinCount(); i++) {
            CBasePin* pPin = GetPin(i);
            if (pPin && pPin->IsConnected()) {
                HRESULT hr = pPin->Active();
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME tStart)
{
    CAutoLock lock(m_pLock);
    m_tStart = tStart;
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (m_State != State_Running) {
        for (int i = 0; i < GetPinCount(); i++) {
            CBasePin* pPin = GetPin(i);
            if (pPin && pPin->IsConnected()) {
                HRESULT hr = pPin->Run(tStart);
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    m_State = State_Running;
    return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD /*dwMSecs*/, FILTER_STATE* pState)
{
    if (!pState)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    *pState = m_State;
    return S_OK;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    CEnumPins* p = new (std::nothrow) CEnumPins(this, 0);
    *ppEnum = p;
    if (!p)
        return E_OUTOFMEMORY;
    p->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::FindPin(LPCWSTR Id, IPin** ppPin)
{
    if (!Id || !ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    CAutoLock lock(m_pLock);
    for (int i = 0; i < GetPinCount(); i++) {
        CBasePin* pPin = GetPin(i);
        if (pPin && WStrLen(Id) == WStrLen(pPin->Name()) &&
            memcmp(Id, pPin->Name(), WStrLen(Id) * sizeof(WCHAR)) == 0) {
            *ppPin = pPin;
            pPin->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* pInfo)
{
    if (!pInfo)
        return E_POINTER;
    CAutoLock lock(m_pLock);
    CopyName(pInfo->achName, MAX_FILTER_NAME, m_strName.c_str());
    pInfo->pGraph = m_pGraph;
    if (m_pGraph)
        m_pGraph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName)
{
    IMediaEventSink* pSink = nullptr;
    if (pGraph) {
        // The sink is part of the graph, which holds us: keeping a reference
        // would keep the graph alive for ever.
        if (SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&pSink))))
            pSink->Release();
        else
            pSink = nullptr;
    }
    CAutoLock lock(m_pLock);
    m_pGraph = pGraph;
    m_strName = pName ? CWString(pName) : CWString();
    CAutoLock lockSink(&m_csSink);
    m_pSink = pSink;
    return S_OK;
}

HRESULT CBaseFilter::QueryVendorInfo(LPWSTR* /*pVendorInfo*/) { return E_NOTIMPL; }

HRESULT CBaseFilter::NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2)
{
    CAutoLock lock(&m_csSink);
    if (!m_pSink)
        return E_NOTIMPL;
    return m_pSink->Notify(EventCode, EventParam1, EventParam2);
}

bool CBaseFilter::IsActive() { return m_State.load() != State_Stopped; }

bool CBaseFilter::IsStopped() { return m_State.load() == State_Stopped; }

IFilterGraph* CBaseFilter::GetFilterGraph()
{
    CAutoLock lock(m_pLock);
    return m_pGraph;
}

CEnumPins::CEnumPins(CBaseFilter* pFilter, int nPos) : CUnknown("CEnumPins", nullptr), m_pFilter(pFilter), m_nPos(nPos)
{
    m_pFilter->AddRef();
}

CEnumPins::~CEnumPins() { m_pFilter->Release(); }

HRESULT CEnumPins::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IEnumPins)
        return GetInterface(static_cast<IEnumPins*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CEnumPins::Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched)
{
    if (!ppPins)
        return E_POINTER;
    ULONG cFetched = 0;
    while (cFetched < cPins && m_nPos < m_pFilter->GetPinCount()) {
        CBasePin* pPin = m_pFilter->GetPin(m_nPos++);
        if (!pPin)
            continue;
        pPin->AddRef();
        ppPins[cFetched++] = pPin;
    }
    if (pcFetched)
        *pcFetched = cFetched;
    return cFetched == cPins ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Skip(ULONG cPins)
{
    if (m_nPos + static_cast<int>(cPins) > m_pFilter->GetPinCount())
        return S_FALSE;
    m_nPos += static_cast<int>(cPins);
    return S_OK;
}

HRESULT CEnumPins::Reset()
{
    m_nPos = 0;
    return S_OK;
}

HRESULT CEnumPins::Clone(IEnumPins** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    CEnumPins* p = new (std::nothrow) CEnumPins(m_pFilter, m_nPos);
    *ppEnum = p;
    if (!p)
        return E_OUTOFMEMORY;
    p->AddRef();
    return S_OK;
}

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pPin, int nPos)
    : CUnknown("CEnumMediaTypes", nullptr), m_pPin(pPin), m_nPos(nPos)
{
    m_pPin->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { m_pPin->Release(); }

HRESULT CEnumMediaTypes::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IEnumMediaTypes)
        return GetInterface(static_cast<IEnumMediaTypes*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched)
{
    if (!ppMediaTypes)
        return E_POINTER;
    ULONG cFetched = 0;
    while (cFetched < cMediaTypes) {
        CMediaType mt;
        HRESULT hr = m_pPin->GetMediaType(m_nPos, &mt);
        if (hr != S_OK)
            break;
        m_nPos++;
        AM_MEDIA_TYPE* pmt = CreateMediaType(&mt);
        if (!pmt)
            break;
        ppMediaTypes[cFetched++] = pmt;
    }
    if (pcFetched)
        *pcFetched = cFetched;
    return cFetched == cMediaTypes ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG cMediaTypes)
{
    for (ULONG i = 0; i < cMediaTypes; i++) {
        CMediaType mt;
        if (m_pPin->GetMediaType(m_nPos, &mt) != S_OK)
            return S_FALSE;
        m_nPos++;
    }
    return S_OK;
}

HRESULT CEnumMediaTypes::Reset()
{
    m_nPos = 0;
    return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    CEnumMediaTypes* p = new (std::nothrow) CEnumMediaTypes(m_pPin, m_nPos);
    *ppEnum = p;
    if (!p)
        return E_OUTOFMEMORY;
    p->AddRef();
    return S_OK;
}
