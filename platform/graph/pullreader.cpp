#include "platform/graph/pullreader.h"

#include <algorithm>
#include <map>
#include <new>

#include "platform/platformtrace.h"

namespace {

const HRESULT kHrEndOfFile = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

}  // namespace

CPullReader::CPullReader(const CPullReaderConfig& config, PullDataCallback fnData, PullEndCallback fnEnd)
    : CBaseFilter("CPullReader", nullptr, &m_csFilter, CLSID_PullReader),
      m_config(config),
      m_fnData(std::move(fnData)),
      m_fnEnd(std::move(fnEnd))
{
}

CPullReader::~CPullReader()
{
    StopWorker();
    delete m_pPin;
}

HRESULT CPullReader::Create(const CPullReaderConfig& config, PullDataCallback fnData, PullEndCallback fnEnd,
                            CPullReader** ppReader)
{
    if (!ppReader)
        return E_POINTER;
    *ppReader = nullptr;
    if (config.cbRequest <= 0 || config.cRequestsInFlight <= 0)
        return E_INVALIDARG;
    CPullReader* p = new (std::nothrow) CPullReader(config, std::move(fnData), std::move(fnEnd));
    if (!p)
        return E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    p->m_pPin = new (std::nothrow) CInputPin(p, &hr);
    if (!p->m_pPin || FAILED(hr)) {
        if (!p->m_pPin)
            hr = E_OUTOFMEMORY;
        delete p;
        return hr;
    }
    p->AddRef();
    *ppReader = p;
    return S_OK;
}

CBasePin* CPullReader::GetPin(int n) { return n == 0 ? m_pPin : nullptr; }

IPin* CPullReader::InputPin() { return m_pPin; }

HRESULT CPullReader::Pause()
{
    const bool bWasStopped = IsStopped();
    HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr) || !bWasStopped || !m_pPin->m_pReader)
        return hr;
    hr = m_pPin->m_pAllocator->Commit();
    if (FAILED(hr))
        return hr;
    ALLOCATOR_PROPERTIES props;
    hr = m_pPin->m_pAllocator->GetProperties(&props);
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csWorker);
    m_bStopWorker = false;
    IAsyncReader* pReader = m_pPin->m_pReader;
    IMemAllocator* pAlloc = m_pPin->m_pAllocator;
    pReader->AddRef();
    pAlloc->AddRef();
    const LONG cbRequest = m_pPin->m_cbRequest;
    const LONG lAlign = m_pPin->m_lAlign;
    const LONG cBuffers = props.cBuffers;
    m_worker = std::thread([this, pReader, pAlloc, cbRequest, lAlign, cBuffers] {
        WorkerProc(pReader, pAlloc, cbRequest, lAlign, cBuffers);
        pAlloc->Release();
        pReader->Release();
    });
    return S_OK;
}

HRESULT CPullReader::Stop()
{
    StopWorker();
    HRESULT hr = CBaseFilter::Stop();
    if (m_pPin->m_pAllocator)
        (void)m_pPin->m_pAllocator->Decommit();
    return hr;
}

void CPullReader::StopWorker()
{
    CAutoLock lock(&m_csWorker);
    if (!m_worker.joinable())
        return;
    m_bStopWorker = true;
    // The flush makes a read that waits for data give its sample back.
    IAsyncReader* pReader = m_pPin->m_pReader;
    if (pReader)
        (void)pReader->BeginFlush();
    m_worker.join();
    if (pReader)
        (void)pReader->EndFlush();
}

void CPullReader::WorkerProc(IAsyncReader* pReader, IMemAllocator* pAlloc, LONG cbRequest, LONG lAlign,
                             LONG cBuffers)
{
    // A request: the range [start, llEnd) it asked for, of which the bytes
    // before llDeliverFrom were handed out already (a continuation that had
    // to start at an aligned offset below them).
    struct SRange
    {
        LONGLONG llEnd;
        LONGLONG llDeliverFrom;
    };
    LONGLONG llNextRequest = 0;   // offset of the next new request
    LONGLONG llNextDeliver = 0;   // request offset whose bytes go out next
    LONGLONG llEndAt = MAX_INT64; // a request here failed with end of file
    // The first byte not handed out yet. A live source that lost the range
    // asked for answers from the oldest byte it still has: later requests
    // may then cover bytes already handed out, which must not go out twice.
    LONGLONG llHandedOut = 0;
    LONG cOut = 0;                // requests issued and not yet returned
    bool bNoMoreRequests = false;
    bool bDone = false;           // the stream ended or failed; drop the rest
    HRESULT hrEnd = S_OK;
    std::map<LONGLONG, SRange> mapIssued;     // by request offset
    // Completed samples by request offset, until those before them are out.
    std::map<LONGLONG, IMediaSample*> mapReady;
    // The rest of a short read, asked for again before anything new.
    bool bRetry = false;
    LONGLONG llRetryStart = 0;
    SRange retry{0, 0};

    auto finish = [&](HRESULT hr) {
        if (!bDone)
            hrEnd = hr;
        bDone = true;
        bNoMoreRequests = true;
        bRetry = false;
    };
    // S_OK issued, S_FALSE no buffer free now, else the request's failure.
    auto issue = [&](LONGLONG llStart, const SRange& range) -> HRESULT {
        IMediaSample* pSample = nullptr;
        HRESULT hr = pAlloc->GetBuffer(&pSample, nullptr, nullptr, AM_GBF_NOWAIT);
        if (hr == VFW_E_TIMEOUT)
            return S_FALSE;
        if (FAILED(hr))
            return hr;
        REFERENCE_TIME tStart = llStart * UNITS;
        REFERENCE_TIME tStop = range.llEnd * UNITS;
        (void)pSample->SetTime(&tStart, &tStop);
        hr = pReader->Request(pSample, static_cast<DWORD_PTR>(llStart));
        if (FAILED(hr)) {
            pSample->Release();
            return hr;
        }
        mapIssued[llStart] = range;
        cOut++;
        return S_OK;
    };

    while (!m_bStopWorker.load()) {
        if (bRetry && cOut + static_cast<LONG>(mapReady.size()) < cBuffers) {
            HRESULT hr = issue(llRetryStart, retry);
            if (hr == S_OK)
                bRetry = false;
            else if (hr == kHrEndOfFile)
                finish(S_OK);
            else if (FAILED(hr))
                finish(hr);
        }
        while (!bRetry && !bNoMoreRequests && cOut + static_cast<LONG>(mapReady.size()) < cBuffers &&
               cOut < m_config.cRequestsInFlight) {
            LONGLONG llTotal = 0, llAvailable = 0;
            HRESULT hr = pReader->Length(&llTotal, &llAvailable);
            if (FAILED(hr)) {
                finish(hr);
                break;
            }
            if (llNextRequest >= llTotal) {
                bNoMoreRequests = true;
                break;
            }
            hr = issue(llNextRequest, SRange{llNextRequest + cbRequest, llNextRequest});
            if (hr == S_FALSE)
                break;
            if (FAILED(hr)) {
                if (hr == kHrEndOfFile)
                    bNoMoreRequests = true;
                else
                    finish(hr);
                break;
            }
            llNextRequest += cbRequest;
        }
        if (cOut == 0) {
            if (bRetry)
                continue;  // every buffer is home now
            break;
        }

        IMediaSample* pSample = nullptr;
        DWORD_PTR dwUser = 0;
        HRESULT hr = pReader->WaitForNext(m_config.dwWaitMs, &pSample, &dwUser);
        if (!pSample) {
            if (hr == VFW_E_TIMEOUT)
                continue;
            finish(FAILED(hr) ? hr : E_UNEXPECTED);
            break;
        }
        cOut--;
        const LONGLONG llRequest = static_cast<LONGLONG>(dwUser);
        if (bDone || FAILED(hr)) {
            pSample->Release();
            mapIssued.erase(llRequest);
            // The end of the stream lies here; what comes before it still
            // goes out.
            if (hr == kHrEndOfFile) {
                bNoMoreRequests = true;
                if (llRequest < llEndAt)
                    llEndAt = llRequest;
            } else if (FAILED(hr)) {
                finish(hr);
            }
        } else {
            mapReady[llRequest] = pSample;
        }
        // Hand out every sample whose predecessors are out.
        for (auto it = mapReady.find(llNextDeliver); it != mapReady.end() && !bDone;
             it = mapReady.find(llNextDeliver)) {
            IMediaSample* p = it->second;
            mapReady.erase(it);
            auto itRange = mapIssued.find(llNextDeliver);
            const SRange range = itRange != mapIssued.end() ? itRange->second : SRange{llNextDeliver, llNextDeliver};
            if (itRange != mapIssued.end())
                mapIssued.erase(itRange);
            REFERENCE_TIME t0 = 0, t1 = 0;
            // The source may have moved the start (data it no longer had).
            const LONGLONG llPos = SUCCEEDED(p->GetTime(&t0, &t1)) ? t0 / UNITS : llNextDeliver;
            BYTE* pb = nullptr;
            const LONG cb = p->GetActualDataLength();
            HRESULT hrData = p->GetPointer(&pb);
            const LONGLONG llFrom = std::max({llPos, range.llDeliverFrom, llHandedOut});
            if (SUCCEEDED(hrData) && llPos + cb > llFrom && m_fnData) {
                hrData = m_fnData(llFrom, pb + (llFrom - llPos), static_cast<LONG>(llPos + cb - llFrom));
                llHandedOut = llPos + cb;
            }
            p->Release();
            llNextDeliver = range.llEnd;
            if (hrData != S_OK) {
                finish(SUCCEEDED(hrData) ? S_OK : hrData);
                break;
            }
            const LONGLONG llGot = llPos + cb;
            if (llGot >= range.llEnd) {
                // The source moved past this request: go on from where it
                // answered, not through offsets it no longer holds (each of
                // which it would answer from its oldest byte again). With
                // other requests out, the chain of offsets stays as it is.
                if (llGot > range.llEnd && cOut == 0 && mapReady.empty() && llNextRequest < llGot)
                    llNextRequest = llNextDeliver = llGot / lAlign * lAlign;
                continue;
            }
            // A short read ends a finished stream. A live one answers with
            // what it has when the writer is slower than the request: the
            // rest is asked for again, from an aligned offset.
            LONGLONG llTotal = 0, llAvailable = 0;
            HRESULT hrLen = pReader->Length(&llTotal, &llAvailable);
            if (FAILED(hrLen)) {
                finish(hrLen);
            } else if (llGot >= llTotal) {
                finish(S_OK);
            } else {
                bRetry = true;
                llRetryStart = llGot / lAlign * lAlign;
                retry = SRange{range.llEnd, llGot};
                llNextDeliver = llRetryStart;
            }
            break;
        }
        if (!bDone && llNextDeliver >= llEndAt)
            finish(S_OK);
    }
    for (auto& [llOffset, p] : mapReady)
        p->Release();
    mapReady.clear();
    // Samples still at the source come back once Stop flushes it; bounded.
    for (int nTry = 0; cOut > 0 && nTry < 100; nTry++) {
        IMediaSample* pSample = nullptr;
        DWORD_PTR dwUser = 0;
        HRESULT hr = pReader->WaitForNext(m_config.dwWaitMs, &pSample, &dwUser);
        if (pSample) {
            pSample->Release();
            cOut--;
        } else if (hr != VFW_E_TIMEOUT) {
            break;
        }
    }
    // Stopped by the graph: not an end of stream, and what the flush did to
    // the requests in flight is no failure of the stream either.
    if (m_bStopWorker.load())
        return;
    if (FAILED(hrEnd))
        PlatformTrace("\nCPullReader::WorkerProc(): reading stopped at offset %lld: %s",
                      static_cast<long long>(llNextDeliver), PlatformStatusName(hrEnd));
    if (m_fnEnd)
        m_fnEnd(hrEnd);
    (void)NotifyEvent(SUCCEEDED(hrEnd) ? EC_COMPLETE : EC_ERRORABORT, hrEnd, 0);
}

CPullReader::CInputPin::CInputPin(CPullReader* pReader, HRESULT* phr)
    : CBasePin("CPullReader::CInputPin", pReader, &pReader->m_csFilter, phr, u"Input", PINDIR_INPUT),
      m_pOwner(pReader)
{
}

HRESULT CPullReader::CInputPin::CheckMediaType(const CMediaType* /*pmt*/)
{
    // Bytes are bytes: whatever the source calls its stream is read as is.
    return S_OK;
}

HRESULT CPullReader::CInputPin::CheckConnect(IPin* pPin)
{
    HRESULT hr = CBasePin::CheckConnect(pPin);
    if (FAILED(hr))
        return hr;
    IAsyncReader* pReader = nullptr;
    hr = pPin->QueryInterface(m_pOwner->m_config.iidReader, reinterpret_cast<void**>(&pReader));
    if (FAILED(hr))
        return hr;
    if (m_pReader)
        m_pReader->Release();
    m_pReader = pReader;
    return S_OK;
}

HRESULT CPullReader::CInputPin::CompleteConnect(IPin* /*pReceivePin*/)
{
    if (!m_pReader)
        return E_UNEXPECTED;
    ALLOCATOR_PROPERTIES props = {m_pOwner->m_config.cRequestsInFlight, m_pOwner->m_config.cbRequest, 1, 0};
    IMemAllocator* pAlloc = nullptr;
    HRESULT hr = m_pReader->RequestAllocator(nullptr, &props, &pAlloc);
    if (FAILED(hr))
        return hr;
    ALLOCATOR_PROPERTIES actual;
    hr = pAlloc->GetProperties(&actual);
    if (FAILED(hr) || actual.cbAlign <= 0 || actual.cbBuffer < actual.cbAlign) {
        pAlloc->Release();
        return FAILED(hr) ? hr : VFW_E_BADALIGN;
    }
    // Requests at multiples of the size stay aligned when the size is.
    LONG cb = (m_pOwner->m_config.cbRequest + actual.cbAlign - 1) / actual.cbAlign * actual.cbAlign;
    if (cb > actual.cbBuffer)
        cb = actual.cbBuffer / actual.cbAlign * actual.cbAlign;
    m_cbRequest = cb;
    m_lAlign = actual.cbAlign;
    if (m_pAllocator)
        m_pAllocator->Release();
    m_pAllocator = pAlloc;
    return S_OK;
}

HRESULT CPullReader::CInputPin::BreakConnect()
{
    if (m_pAllocator) {
        (void)m_pAllocator->Decommit();
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pReader) {
        m_pReader->Release();
        m_pReader = nullptr;
    }
    return S_OK;
}
