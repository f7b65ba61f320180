#include "platform/graph/filtergraph.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/graph/amfilter.h"
#include "platform/platformtrace.h"

namespace {

bool SameName(const CWString& str, LPCWSTR psz)
{
    return psz && str.size() == WStrLen(psz) && memcmp(str.data(), psz, str.size() * sizeof(WCHAR)) == 0;
}

// The filter that owns a pin, with a reference.
CComPtr<IBaseFilter> PinFilter(IPin* pPin)
{
    CComPtr<IBaseFilter> pFilter;
    PIN_INFO info;
    if (SUCCEEDED(pPin->QueryPinInfo(&info)))
        pFilter.Attach(info.pFilter);
    return pFilter;
}

}  // namespace

CFilterGraph::CFilterGraph() : CUnknown("CFilterGraph", nullptr) {}

HRESULT CFilterGraph::Create(CFilterGraph** ppGraph)
{
    if (!ppGraph)
        return E_POINTER;
    *ppGraph = new (std::nothrow) CFilterGraph();
    if (!*ppGraph)
        return E_OUTOFMEMORY;
    (*ppGraph)->NonDelegatingAddRef();
    return S_OK;
}

CFilterGraph::~CFilterGraph()
{
    CAutoLock lock(&m_csGraph);
    (void)StopLocked();
    // Every filter leaves, in reverse order of joining.
    while (!m_vFilters.empty()) {
        CEntry entry = m_vFilters.back();
        (void)DisconnectFilter(entry.pFilter);
        m_vFilters.pop_back();
        (void)entry.pFilter->JoinFilterGraph(nullptr, nullptr);
        entry.pFilter->Release();
    }
    CGraphLock lockR(&m_mtxReconnect);
    for (CReconnect& r : m_vReconnects)
        r.pPin->Release();
}

HRESULT CFilterGraph::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IFilterGraph)
        return GetInterface(static_cast<IFilterGraph*>(this), ppv);
    if (riid == IID_IFilterGraph2)
        return GetInterface(static_cast<IFilterGraph2*>(this), ppv);
    if (riid == IID_IMediaControl)
        return GetInterface(static_cast<IMediaControl*>(this), ppv);
    if (riid == IID_IMediaEvent)
        return GetInterface(static_cast<IMediaEvent*>(this), ppv);
    if (riid == IID_IMediaEventSink)
        return GetInterface(static_cast<IMediaEventSink*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* pFilter, LPCWSTR pName)
{
    if (!pFilter)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    for (const CEntry& e : m_vFilters) {
        if (e.pFilter == pFilter)
            return VFW_E_DUPLICATE_NAME;
    }
    CEntry entry{pFilter, pName ? CWString(pName) : CWString()};
    HRESULT hr = pFilter->JoinFilterGraph(this, entry.strName.c_str());
    if (FAILED(hr))
        return hr;
    pFilter->AddRef();
    m_vFilters.push_back(entry);
    return S_OK;
}

HRESULT CFilterGraph::DisconnectFilter(IBaseFilter* pFilter)
{
    CComPtr<IEnumPins> pEnum;
    HRESULT hr = pFilter->EnumPins(&pEnum);
    if (FAILED(hr))
        return hr;
    // Bounded by the filter's pin count, which a filter keeps small.
    for (int i = 0; i < 1000; i++) {
        CComPtr<IPin> pPin;
        ULONG cFetched = 0;
        if (pEnum->Next(1, &pPin, &cFetched) != S_OK)
            break;
        CComPtr<IPin> pPeer;
        if (SUCCEEDED(pPin->ConnectedTo(&pPeer))) {
            (void)pPeer->Disconnect();
            (void)pPin->Disconnect();
        }
    }
    return S_OK;
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* pFilter)
{
    if (!pFilter)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    auto it = std::find_if(m_vFilters.begin(), m_vFilters.end(),
                           [pFilter](const CEntry& e) { return e.pFilter == pFilter; });
    if (it == m_vFilters.end())
        return VFW_E_NOT_FOUND;
    (void)pFilter->Stop();
    HRESULT hr = DisconnectFilter(pFilter);
    if (FAILED(hr))
        return hr;
    m_vFilters.erase(it);
    (void)pFilter->JoinFilterGraph(nullptr, nullptr);
    pFilter->Release();
    return S_OK;
}

HRESULT CFilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter)
{
    if (!pName || !ppFilter)
        return E_POINTER;
    *ppFilter = nullptr;
    CAutoLock lock(&m_csGraph);
    for (const CEntry& e : m_vFilters) {
        if (SameName(e.strName, pName)) {
            *ppFilter = e.pFilter;
            e.pFilter->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CFilterGraph::ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt)
{
    if (!ppinOut || !ppinIn)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    if (m_state != State_Stopped)
        return VFW_E_NOT_STOPPED;
    PIN_DIRECTION dir;
    HRESULT hr = ppinOut->QueryDirection(&dir);
    if (FAILED(hr))
        return hr;
    if (dir != PINDIR_OUTPUT)
        return VFW_E_INVALID_DIRECTION;
    return ppinOut->Connect(ppinIn, pmt);
}

HRESULT CFilterGraph::Disconnect(IPin* ppin)
{
    if (!ppin)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    return ppin->Disconnect();
}

HRESULT CFilterGraph::Reconnect(IPin* ppin) { return ReconnectEx(ppin, nullptr); }

HRESULT CFilterGraph::ReconnectEx(IPin* ppin, const AM_MEDIA_TYPE* pmt)
{
    if (!ppin)
        return E_POINTER;
    if (m_csGraph.TryLock()) {
        HRESULT hr = S_FALSE;
        if (m_state == State_Stopped)
            hr = DoReconnect(ppin, pmt);
        m_csGraph.Unlock();
        if (hr != S_FALSE)
            return hr;
    }
    KeepReconnect(ppin, pmt);
    return S_OK;
}

void CFilterGraph::KeepReconnect(IPin* ppin, const AM_MEDIA_TYPE* pmt)
{
    CGraphLock lock(&m_mtxReconnect);
    for (CReconnect& r : m_vReconnects) {
        if (r.pPin == ppin) {
            r.bHasType = pmt != nullptr;
            if (pmt)
                r.mt = *pmt;
            return;
        }
    }
    ppin->AddRef();
    m_vReconnects.push_back(CReconnect{ppin, pmt ? CMediaType(*pmt) : CMediaType(), pmt != nullptr});
}

size_t CFilterGraph::PendingReconnects()
{
    CGraphLock lock(&m_mtxReconnect);
    return m_vReconnects.size();
}

void CFilterGraph::RunPendingReconnects()
{
    std::vector<CReconnect> vTodo;
    {
        CGraphLock lock(&m_mtxReconnect);
        vTodo.swap(m_vReconnects);
    }
    for (CReconnect& r : vTodo) {
        (void)DoReconnect(r.pPin, r.bHasType ? &r.mt : nullptr);
        r.pPin->Release();
    }
}

HRESULT CFilterGraph::DoReconnect(IPin* ppin, const AM_MEDIA_TYPE* pmt)
{
    CComPtr<IPin> pPeer;
    HRESULT hr = ppin->ConnectedTo(&pPeer);
    if (FAILED(hr))
        return hr;
    PIN_DIRECTION dir;
    hr = ppin->QueryDirection(&dir);
    if (FAILED(hr))
        return hr;
    IPin* pOut = dir == PINDIR_OUTPUT ? ppin : pPeer.Get();
    IPin* pIn = dir == PINDIR_OUTPUT ? pPeer.Get() : ppin;
    CMediaType mtOld;
    hr = pOut->ConnectionMediaType(&mtOld);
    if (FAILED(hr))
        return hr;
    hr = pOut->Disconnect();
    if (SUCCEEDED(hr))
        hr = pIn->Disconnect();
    if (FAILED(hr))
        return hr;
    hr = pOut->Connect(pIn, pmt);
    if (FAILED(hr)) {
        // Put the old connection back rather than leave the pins apart.
        HRESULT hrOld = pOut->Connect(pIn, &mtOld);
        PlatformTrace("\nCFilterGraph::DoReconnect(): new type refused %s; old type %s", PlatformStatusName(hr),
                      SUCCEEDED(hrOld) ? "restored" : PlatformStatusName(hrOld));
    }
    return hr;
}

HRESULT CFilterGraph::SortDownstreamFirst(std::vector<IBaseFilter*>* pvOrder)
{
    // Repeatedly take the filters none of whose output pins lead to a filter
    // not yet taken. A cycle (which connections cannot normally build) ends
    // the sort with the rest in joining order.
    std::vector<IBaseFilter*> vLeft;
    for (const CEntry& e : m_vFilters)
        vLeft.push_back(e.pFilter);
    while (!vLeft.empty()) {
        bool bTook = false;
        for (size_t i = 0; i < vLeft.size();) {
            bool bHasDownstreamLeft = false;
            CComPtr<IEnumPins> pEnum;
            HRESULT hr = vLeft[i]->EnumPins(&pEnum);
            if (FAILED(hr))
                return hr;
            for (int n = 0; n < 1000 && !bHasDownstreamLeft; n++) {
                CComPtr<IPin> pPin;
                ULONG cFetched = 0;
                if (pEnum->Next(1, &pPin, &cFetched) != S_OK)
                    break;
                PIN_DIRECTION dir;
                CComPtr<IPin> pPeer;
                if (FAILED(pPin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT || FAILED(pPin->ConnectedTo(&pPeer)))
                    continue;
                CComPtr<IBaseFilter> pDown = PinFilter(pPeer);
                bHasDownstreamLeft = pDown && std::find(vLeft.begin(), vLeft.end(), pDown.Get()) != vLeft.end() &&
                                     pDown.Get() != vLeft[i];
            }
            if (!bHasDownstreamLeft) {
                pvOrder->push_back(vLeft[i]);
                vLeft.erase(vLeft.begin() + static_cast<std::ptrdiff_t>(i));
                bTook = true;
            } else {
                i++;
            }
        }
        if (!bTook) {
            pvOrder->insert(pvOrder->end(), vLeft.begin(), vLeft.end());
            break;
        }
    }
    return S_OK;
}

HRESULT CFilterGraph::PauseLocked()
{
    if (m_state == State_Stopped)
        RunPendingReconnects();
    std::vector<IBaseFilter*> vOrder;
    HRESULT hr = SortDownstreamFirst(&vOrder);
    if (FAILED(hr))
        return hr;
    for (IBaseFilter* pFilter : vOrder) {
        hr = pFilter->Pause();
        if (FAILED(hr)) {
            PlatformTrace("\nCFilterGraph::Pause(): a filter failed %s; stopping the graph", PlatformStatusName(hr));
            (void)StopLocked();
            return hr;
        }
    }
    m_state = State_Paused;
    return S_OK;
}

HRESULT CFilterGraph::StopLocked()
{
    std::vector<IBaseFilter*> vOrder;
    HRESULT hr = SortDownstreamFirst(&vOrder);
    if (FAILED(hr))
        return hr;
    HRESULT hrResult = S_OK;
    for (IBaseFilter* pFilter : vOrder) {
        hr = pFilter->Stop();
        if (FAILED(hr) && SUCCEEDED(hrResult))
            hrResult = hr;
    }
    m_state = State_Stopped;
    RunPendingReconnects();
    return hrResult;
}

HRESULT CFilterGraph::Run()
{
    CAutoLock lock(&m_csGraph);
    if (m_state == State_Running)
        return S_OK;
    if (m_state == State_Stopped) {
        HRESULT hr = PauseLocked();
        if (FAILED(hr))
            return hr;
    }
    std::vector<IBaseFilter*> vOrder;
    HRESULT hr = SortDownstreamFirst(&vOrder);
    if (FAILED(hr))
        return hr;
    // No reference clock: stream time 0 is the moment of Run.
    for (IBaseFilter* pFilter : vOrder) {
        hr = pFilter->Run(0);
        if (FAILED(hr)) {
            PlatformTrace("\nCFilterGraph::Run(): a filter failed %s; stopping the graph", PlatformStatusName(hr));
            (void)StopLocked();
            return hr;
        }
    }
    m_state = State_Running;
    return S_OK;
}

HRESULT CFilterGraph::Pause()
{
    CAutoLock lock(&m_csGraph);
    return PauseLocked();
}

HRESULT CFilterGraph::Stop()
{
    CAutoLock lock(&m_csGraph);
    return StopLocked();
}

HRESULT CFilterGraph::GetState(LONG msTimeout, FILTER_STATE* pfs)
{
    if (!pfs)
        return E_POINTER;
    CAutoLock lock(&m_csGraph);
    *pfs = m_state;
    HRESULT hrResult = S_OK;
    for (const CEntry& e : m_vFilters) {
        FILTER_STATE fs;
        HRESULT hr = e.pFilter->GetState(static_cast<DWORD>(msTimeout), &fs);
        if (FAILED(hr))
            return hr;
        if (hr == VFW_S_STATE_INTERMEDIATE || (hr == VFW_S_CANT_CUE && hrResult == S_OK))
            hrResult = hr;
    }
    return hrResult;
}

HRESULT CFilterGraph::GetEvent(long* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, long msTimeout)
{
    if (!lEventCode || !lParam1 || !lParam2)
        return E_POINTER;
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout < 0 ? 0 : msTimeout);
    CGraphLock lock(&m_mtxEvents);
    while (m_dqEvents.empty() && msTimeout != 0) {
        DWORD dwMs = INFINITE;
        if (msTimeout > 0) {
            const auto tLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tDeadline -
                                                                                     std::chrono::steady_clock::now());
            if (tLeft.count() <= 0)
                break;
            dwMs = static_cast<DWORD>(tLeft.count());
        }
        (void)m_cvEvents.Wait(&m_mtxEvents, dwMs);
    }
    if (m_dqEvents.empty())
        return E_ABORT;
    const CEvent ev = m_dqEvents.front();
    m_dqEvents.pop_front();
    *lEventCode = ev.lCode;
    *lParam1 = ev.lParam1;
    *lParam2 = ev.lParam2;
    return S_OK;
}

HRESULT CFilterGraph::FreeEventParams(long /*lEventCode*/, LONG_PTR /*lParam1*/, LONG_PTR /*lParam2*/) { return S_OK; }

HRESULT CFilterGraph::Notify(long lEventCode, LONG_PTR lParam1, LONG_PTR lParam2)
{
    CGraphLock lock(&m_mtxEvents);
    m_dqEvents.push_back(CEvent{lEventCode, lParam1, lParam2});
    m_cvEvents.NotifyAll();
    return S_OK;
}
