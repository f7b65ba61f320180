// Small filters for the media-graph tests: a push source whose pin delivers
// through COutputQueue, a pull source over a growing in-memory buffer, and
// a pass-through filter that records the graph's calls. Test-only.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/graph/amfilter.h"
#include "platform/graph/outputq.h"

namespace graphtest {

constexpr DWORD kWaitMs = 10000;  // upper bound for any wait in the tests

// Waits, bounded, until pred() holds, re-testing whenever Signal() runs.
class CWaiter
{
public:
    template <class F>
    bool WaitFor(F pred)
    {
        std::unique_lock<std::mutex> lk(m_mtx);
        return m_cv.wait_for(lk, std::chrono::milliseconds(kWaitMs), pred);
    }
    template <class F>
    void Update(F fn)
    {
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            fn();
        }
        m_cv.notify_all();
    }
    std::mutex& Mutex() { return m_mtx; }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
};

// Spins, bounded in time, for a state another thread reaches without a
// notification of its own (a thread entering a blocking call).
template <class F>
bool SpinFor(F pred)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > tEnd)
            return false;
        std::this_thread::yield();
    }
    return true;
}

inline CMediaType VideoType(const GUID& subtype, REFERENCE_TIME rtAvgTimePerFrame = 400000)
{
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih;
    memset(&vih, 0, sizeof(vih));
    vih.AvgTimePerFrame = rtAvgTimePerFrame;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 64;
    vih.bmiHeader.biHeight = 48;
    (void)mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
    return mt;
}

// A source with one output pin that offers fixed types and pushes what the
// test gives it through an output queue created on Active.
class CToyPushSource : public CBaseFilter
{
public:
    struct CQueueConfig
    {
        BOOL bAuto = TRUE;
        LONG lBatchSize = 1;
        BOOL bBatchExact = FALSE;
        LONG lListSize = 10;
    };

    class CPin : public CBaseOutputPin
    {
    public:
        CPin(CToyPushSource* pOwner, HRESULT* phr)
            : CBaseOutputPin("toy push pin", pOwner, &pOwner->m_cs, phr, u"Output"), m_pOwner(pOwner)
        {
        }
        ~CPin() override { delete m_pQueue; }
        HRESULT CheckMediaType(const CMediaType* pmt) override
        {
            for (const CMediaType& mt : m_pOwner->m_vTypes) {
                if (*pmt->Type() == *mt.Type() && *pmt->Subtype() == *mt.Subtype())
                    return S_OK;
            }
            return S_FALSE;
        }
        HRESULT GetMediaType(int iPosition, CMediaType* pmt) override
        {
            if (iPosition < 0)
                return E_INVALIDARG;
            if (iPosition >= static_cast<int>(m_pOwner->m_vTypes.size()))
                return VFW_S_NO_MORE_ITEMS;
            return pmt->Set(m_pOwner->m_vTypes[static_cast<size_t>(iPosition)]);
        }
        HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps) override
        {
            pProps->cBuffers = m_pOwner->m_cBuffers;
            pProps->cbBuffer = 64;
            ALLOCATOR_PROPERTIES actual;
            HRESULT hr = pAlloc->SetProperties(pProps, &actual);
            if (FAILED(hr))
                return hr;
            return actual.cBuffers < 1 || actual.cbBuffer < 64 ? E_FAIL : S_OK;
        }
        HRESULT Active() override
        {
            HRESULT hr = CBaseOutputPin::Active();
            if (FAILED(hr))
                return hr;
            std::lock_guard<std::mutex> lk(m_mtxQueue);
            const CQueueConfig& c = m_pOwner->m_queueConfig;
            hr = S_OK;
            m_pQueue = new COutputQueue(m_Connected, &hr, c.bAuto, TRUE, c.lBatchSize, c.bBatchExact, c.lListSize);
            if (FAILED(hr)) {
                delete m_pQueue;
                m_pQueue = nullptr;
                return hr;
            }
            m_pQueue->NewSegment(0, MAX_INT64, 1.0);
            return S_OK;
        }
        HRESULT Inactive() override
        {
            {
                std::lock_guard<std::mutex> lk(m_mtxQueue);
                delete m_pQueue;
                m_pQueue = nullptr;
            }
            return CBaseOutputPin::Inactive();
        }
        HRESULT SetMediaType(const CMediaType* pmt) override
        {
            m_pOwner->m_nSetMediaType++;
            return CBaseOutputPin::SetMediaType(pmt);
        }

        // The producer's side: one sample with its times and flags.
        HRESULT Send(const std::string& str, REFERENCE_TIME tStart, REFERENCE_TIME tStop, bool bSync, bool bDisc)
        {
            IMediaSample* pSample = nullptr;
            HRESULT hr = GetDeliveryBuffer(&pSample, nullptr, nullptr, 0);
            if (FAILED(hr))
                return hr;
            BYTE* pb = nullptr;
            (void)pSample->GetPointer(&pb);
            memcpy(pb, str.data(), str.size());
            (void)pSample->SetActualDataLength(static_cast<LONG>(str.size()));
            (void)pSample->SetTime(&tStart, &tStop);
            (void)pSample->SetSyncPoint(bSync);
            (void)pSample->SetDiscontinuity(bDisc);
            std::lock_guard<std::mutex> lk(m_mtxQueue);
            if (!m_pQueue) {
                pSample->Release();
                return VFW_E_WRONG_STATE;
            }
            return m_pQueue->Receive(pSample);
        }
        // Without the lifetime lock, for a caller that knows the pin stays
        // active (a flusher racing the producer).
        COutputQueue* QueueWhileActive()
        {
            std::lock_guard<std::mutex> lk(m_mtxQueue);
            return m_pQueue;
        }
        template <class F>
        void WithQueue(F fn)
        {
            std::lock_guard<std::mutex> lk(m_mtxQueue);
            if (m_pQueue)
                fn(m_pQueue);
        }

    private:
        CToyPushSource* const m_pOwner;
        std::mutex m_mtxQueue;  // keeps m_pQueue alive while it is used
        COutputQueue* m_pQueue = nullptr;
    };

    explicit CToyPushSource(std::vector<CMediaType> vTypes, LONG cBuffers = 3)
        : CBaseFilter("toy push source", nullptr, &m_cs, GUID_NULL), m_vTypes(std::move(vTypes)), m_cBuffers(cBuffers)
    {
        HRESULT hr = S_OK;
        m_pPin = std::make_unique<CPin>(this, &hr);
        AddRef();  // the test's reference, released through CComPtr
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pPin.get() : nullptr; }
    CPin* Pin() { return m_pPin.get(); }

    CQueueConfig m_queueConfig;
    int m_nSetMediaType = 0;

private:
    CCritSec m_cs;
    std::vector<CMediaType> m_vTypes;
    const LONG m_cBuffers;
    std::unique_ptr<CPin> m_pPin;
};

// A pull source over an in-memory buffer that grows while it is read. Its
// pin answers IAsyncReader; a request waits in WaitForNext until the buffer
// covers it or the stream is finished.
class CToyPullSource : public CBaseFilter
{
public:
    class CPin : public CBaseOutputPin, public IAsyncReader
    {
    public:
        CPin(CToyPullSource* pOwner, HRESULT* phr)
            : CBaseOutputPin("toy pull pin", pOwner, &pOwner->m_cs, phr, u"Output"), m_pOwner(pOwner)
        {
        }
        DECLARE_IUNKNOWN
        HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
        {
            if (riid == IID_IAsyncReader)
                return GetInterface(static_cast<IAsyncReader*>(this), ppv);
            return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
        }
        HRESULT CheckMediaType(const CMediaType* pmt) override
        {
            return *pmt->Type() == MEDIATYPE_Stream ? S_OK : S_FALSE;
        }
        HRESULT GetMediaType(int iPosition, CMediaType* pmt) override
        {
            if (iPosition != 0)
                return iPosition < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
            pmt->InitMediaType();
            pmt->SetType(&MEDIATYPE_Stream);
            pmt->SetSubtype(&MEDIASUBTYPE_UDPStream);
            return S_OK;
        }
        HRESULT DecideBufferSize(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return E_UNEXPECTED; }

        HRESULT RequestAllocator(IMemAllocator* /*pPreferred*/, ALLOCATOR_PROPERTIES* pProps,
                                 IMemAllocator** ppActual) override
        {
            ALLOCATOR_PROPERTIES props = *pProps;
            props.cbAlign = kAlign;
            ALLOCATOR_PROPERTIES actual;
            CComPtr<IMemAllocator> pAlloc;
            HRESULT hr = CMemAllocator::Create(&pAlloc);
            if (SUCCEEDED(hr))
                hr = pAlloc->SetProperties(&props, &actual);
            if (FAILED(hr))
                return hr;
            *ppActual = pAlloc.Detach();
            return S_OK;
        }
        HRESULT Request(IMediaSample* pSample, DWORD_PTR dwUser) override
        {
            REFERENCE_TIME t0 = 0, t1 = 0;
            HRESULT hr = pSample->GetTime(&t0, &t1);
            if (FAILED(hr))
                return hr;
            const LONGLONG llPos = t0 / UNITS, cb = (t1 - t0) / UNITS;
            std::lock_guard<std::mutex> lk(m_pOwner->m_mtx);
            if (llPos % kAlign != 0 || cb % kAlign != 0)
                return VFW_E_BADALIGN;
            if (m_pOwner->m_bFlushing)
                return VFW_E_WRONG_STATE;
            if (m_pOwner->m_bFinished && llPos >= static_cast<LONGLONG>(m_pOwner->m_vData.size()))
                return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
            m_pOwner->m_vRequests.push_back({llPos, cb});
            m_pOwner->m_dqPending.push_back({pSample, dwUser, llPos, cb});
            m_pOwner->m_cv.notify_all();
            return S_OK;
        }
        HRESULT WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser) override
        {
            *ppSample = nullptr;
            std::unique_lock<std::mutex> lk(m_pOwner->m_mtx);
            CToyPullSource* o = m_pOwner;
            // In order of arrival; with short reads, the lowest offset first
            // (as a queue ordered by offset serves them), each as soon as an
            // aligned block of it exists.
            auto next = [o]() -> ptrdiff_t {
                if (o->m_dqPending.empty())
                    return -1;
                ptrdiff_t i = 0;
                if (o->m_bShortReads) {
                    for (size_t j = 1; j < o->m_dqPending.size(); j++)
                        if (o->m_dqPending[j].llPos < o->m_dqPending[static_cast<size_t>(i)].llPos)
                            i = static_cast<ptrdiff_t>(j);
                }
                return i;
            };
            auto ready = [o, &next] {
                if (o->m_bFlushing)
                    return true;
                const ptrdiff_t i = next();
                if (i < 0)
                    return false;
                const auto& r = o->m_dqPending[static_cast<size_t>(i)];
                const LONGLONG llNeed = o->m_bShortReads ? r.llPos + kAlign : r.llPos + r.cb;
                return o->m_bFinished || static_cast<LONGLONG>(o->m_vData.size()) >= llNeed;
            };
            if (!o->m_cv.wait_for(lk, std::chrono::milliseconds(dwTimeout), ready))
                return VFW_E_TIMEOUT;
            const ptrdiff_t iNext = next();
            if (iNext < 0)
                return VFW_E_WRONG_STATE;  // flushing with nothing left
            CPending r = o->m_dqPending[static_cast<size_t>(iNext)];
            o->m_dqPending.erase(o->m_dqPending.begin() + iNext);
            *ppSample = r.pSample;
            *pdwUser = r.dwUser;
            if (o->m_bFlushing)
                return E_FAIL;
            const LONGLONG llHave = static_cast<LONGLONG>(o->m_vData.size()) - r.llPos;
            const LONGLONG cb = std::max<LONGLONG>(0, std::min(r.cb, llHave));
            BYTE* pb = nullptr;
            (void)r.pSample->GetPointer(&pb);
            if (cb > 0)
                memcpy(pb, o->m_vData.data() + r.llPos, static_cast<size_t>(cb));
            (void)r.pSample->SetActualDataLength(static_cast<LONG>(cb));
            return cb == r.cb ? S_OK : S_FALSE;
        }
        HRESULT SyncReadAligned(IMediaSample*) override { return E_NOTIMPL; }
        HRESULT SyncRead(LONGLONG, LONG, BYTE*) override { return E_NOTIMPL; }
        HRESULT Length(LONGLONG* pTotal, LONGLONG* pAvailable) override
        {
            std::lock_guard<std::mutex> lk(m_pOwner->m_mtx);
            *pAvailable = static_cast<LONGLONG>(m_pOwner->m_vData.size());
            *pTotal = m_pOwner->m_bFinished ? *pAvailable : MAX_INT64;
            return S_OK;
        }
        HRESULT BeginFlush() override
        {
            std::lock_guard<std::mutex> lk(m_pOwner->m_mtx);
            m_pOwner->m_bFlushing = true;
            m_pOwner->m_cv.notify_all();
            return S_OK;
        }
        HRESULT EndFlush() override
        {
            std::lock_guard<std::mutex> lk(m_pOwner->m_mtx);
            m_pOwner->m_bFlushing = false;
            return S_OK;
        }

    private:
        CToyPullSource* const m_pOwner;
    };

    static constexpr LONG kAlign = 4;

    CToyPullSource() : CBaseFilter("toy pull source", nullptr, &m_cs, GUID_NULL)
    {
        HRESULT hr = S_OK;
        m_pPin = std::make_unique<CPin>(this, &hr);
        AddRef();
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pPin.get() : nullptr; }
    CPin* Pin() { return m_pPin.get(); }

    void Append(const std::vector<BYTE>& v)
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_vData.insert(m_vData.end(), v.begin(), v.end());
        m_cv.notify_all();
    }
    // Like a live source whose writer is slower than the reader: a request
    // completes, short, as soon as some of its bytes exist.
    void SetShortReads(bool b)
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_bShortReads = b;
    }
    void Finish()
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_bFinished = true;
        m_cv.notify_all();
    }
    std::vector<std::pair<LONGLONG, LONGLONG>> Requests()
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_vRequests;
    }

private:
    struct CPending
    {
        IMediaSample* pSample;
        DWORD_PTR dwUser;
        LONGLONG llPos;
        LONGLONG cb;
    };
    CCritSec m_cs;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::vector<BYTE> m_vData;
    bool m_bFinished = false;
    bool m_bFlushing = false;
    bool m_bShortReads = false;
    std::deque<CPending> m_dqPending;
    std::vector<std::pair<LONGLONG, LONGLONG>> m_vRequests;
    std::unique_ptr<CPin> m_pPin;
};

}  // namespace graphtest
