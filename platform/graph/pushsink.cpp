#include "platform/graph/pushsink.h"

#include <new>

CPushSink::CPushSink(PushSinkCallback fnCallback, MediaTypeCheck fnCheck, bool bCanBlock)
    : CBaseFilter("CPushSink", nullptr, &m_csFilter, CLSID_PushSink),
      m_fnCallback(std::move(fnCallback)),
      m_fnCheck(std::move(fnCheck)),
      m_bCanBlock(bCanBlock)
{
}

CPushSink::~CPushSink() { delete m_pPin; }

HRESULT CPushSink::Create(PushSinkCallback fnCallback, MediaTypeCheck fnCheck, bool bCanBlock, CPushSink** ppSink)
{
    if (!ppSink)
        return E_POINTER;
    *ppSink = nullptr;
    CPushSink* pSink = new (std::nothrow) CPushSink(std::move(fnCallback), std::move(fnCheck), bCanBlock);
    if (!pSink)
        return E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    pSink->m_pPin = new (std::nothrow) CInputPin(pSink, &hr);
    if (!pSink->m_pPin || FAILED(hr)) {
        if (!pSink->m_pPin)
            hr = E_OUTOFMEMORY;
        delete pSink;
        return hr;
    }
    pSink->AddRef();
    *ppSink = pSink;
    return S_OK;
}

CBasePin* CPushSink::GetPin(int n) { return n == 0 ? m_pPin : nullptr; }

IPin* CPushSink::InputPin() { return m_pPin; }

CPushSink::CInputPin::CInputPin(CPushSink* pSink, HRESULT* phr)
    : CBaseInputPin("CPushSink::CInputPin", pSink, &pSink->m_csFilter, phr, u"Input"), m_pSink(pSink)
{
}

HRESULT CPushSink::CInputPin::CheckMediaType(const CMediaType* pmt)
{
    if (!m_pSink->m_fnCheck)
        return S_OK;
    return m_pSink->m_fnCheck(*pmt);
}

HRESULT CPushSink::CInputPin::Receive(IMediaSample* pSample)
{
    HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr != S_OK)
        return hr;
    CPushSinkEvent ev;
    ev.eKind = CPushSinkEvent::kSample;
    BYTE* pb = nullptr;
    hr = pSample->GetPointer(&pb);
    if (FAILED(hr))
        return hr;
    ev.pbData = pb;
    ev.cbData = pSample->GetActualDataLength();
    ev.hrTime = pSample->GetTime(&ev.tStart, &ev.tStop);
    ev.bSyncPoint = pSample->IsSyncPoint() == S_OK;
    ev.bDiscontinuity = pSample->IsDiscontinuity() == S_OK;
    ev.bPreroll = pSample->IsPreroll() == S_OK;
    return m_pSink->m_fnCallback ? m_pSink->m_fnCallback(ev) : S_OK;
}

HRESULT CPushSink::CInputPin::ReceiveCanBlock() { return m_pSink->m_bCanBlock ? S_OK : S_FALSE; }

HRESULT CPushSink::CInputPin::EndOfStream()
{
    HRESULT hr = CBaseInputPin::EndOfStream();
    if (hr != S_OK)
        return hr;
    CPushSinkEvent ev;
    ev.eKind = CPushSinkEvent::kEndOfStream;
    if (m_pSink->m_fnCallback)
        (void)m_pSink->m_fnCallback(ev);
    (void)m_pSink->NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
}

HRESULT CPushSink::CInputPin::BeginFlush()
{
    HRESULT hr = CBaseInputPin::BeginFlush();
    CPushSinkEvent ev;
    ev.eKind = CPushSinkEvent::kBeginFlush;
    if (m_pSink->m_fnCallback)
        (void)m_pSink->m_fnCallback(ev);
    return hr;
}

HRESULT CPushSink::CInputPin::EndFlush()
{
    CPushSinkEvent ev;
    ev.eKind = CPushSinkEvent::kEndFlush;
    if (m_pSink->m_fnCallback)
        (void)m_pSink->m_fnCallback(ev);
    return CBaseInputPin::EndFlush();
}

HRESULT CPushSink::CInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    HRESULT hr = CBaseInputPin::NewSegment(tStart, tStop, dRate);
    CPushSinkEvent ev;
    ev.eKind = CPushSinkEvent::kNewSegment;
    ev.tStart = tStart;
    ev.tStop = tStop;
    ev.dRate = dRate;
    if (m_pSink->m_fnCallback)
        (void)m_pSink->m_fnCallback(ev);
    return hr;
}
