#include "platform/graph/outputq.h"

#include "platform/platformtrace.h"

COutputQueue::COutputQueue(IPin* pInputPin, HRESULT* phr, BOOL bAuto, BOOL bQueue, LONG lBatchSize,
                           BOOL bBatchExact, LONG lListSize, DWORD /*dwPriority*/)
    : m_pPin(pInputPin),
      m_bQueue(bQueue != FALSE),
      m_lBatchSize(lBatchSize < 1 ? 1 : lBatchSize),
      m_bBatchExact(bBatchExact != FALSE),
      m_lListSize(lListSize < 1 ? 1 : lListSize)
{
    m_pPin->AddRef();
    HRESULT hr = m_pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin));
    if (FAILED(hr)) {
        m_pInputPin = nullptr;
        *phr = hr;
        return;
    }
    if (bAuto) {
        hr = m_pInputPin->ReceiveCanBlock();
        if (SUCCEEDED(hr))
            m_bQueue = hr == S_OK;
    }
    if (m_bQueue)
        m_thread = std::thread([this] { ThreadProc(); });
}

COutputQueue::~COutputQueue()
{
    Shutdown();
    if (m_pInputPin)
        m_pInputPin->Release();
    m_pPin->Release();
}

void COutputQueue::Shutdown()
{
    {
        CGraphLock lock(&m_mtx);
        m_bTerminate = true;
        m_cvWork.NotifyAll();
        m_cvSpace.NotifyAll();
    }
    {
        // It may run twice, before the owner lets go and in the destructor,
        // on different threads; the thread is joined once.
        CGraphLock lock(&m_mtxThread);
        if (m_thread.joinable())
            m_thread.join();
    }
    std::vector<IMediaSample*> vRelease;
    {
        CGraphLock lock(&m_mtx);
        DropAll(&vRelease);
    }
    for (IMediaSample* p : vRelease)
        p->Release();
}

void COutputQueue::DropAll(std::vector<IMediaSample*>* pvToRelease)
{
    for (const CItem& item : m_dqItems) {
        if (item.pSample)
            pvToRelease->push_back(item.pSample);
    }
    m_dqItems.clear();
    m_cSamplesQueued = 0;
    for (IMediaSample* p : m_vBatched)
        pvToRelease->push_back(p);
    m_vBatched.clear();
    m_cvSpace.NotifyAll();
}

bool COutputQueue::ReadyLocked()
{
    if (m_dqItems.empty())
        return false;
    if (m_dqItems.front().eKind != kSample || !m_bBatchExact || m_bSendAnyway)
        return true;
    // A full list goes as it is: the producer is waiting for room and no
    // more samples can come to complete the batch.
    if (m_cSamplesQueued >= m_lListSize)
        return true;
    // An exact batch goes when it is full or something other than a sample
    // follows it.
    LONG n = 0;
    for (const CItem& item : m_dqItems) {
        if (item.eKind != kSample)
            return true;
        if (++n >= m_lBatchSize)
            return true;
    }
    return false;
}

void COutputQueue::ThreadProc()
{
    std::vector<IMediaSample*> vBatch;
    vBatch.reserve(static_cast<size_t>(m_lBatchSize));
    m_mtx.Lock();
    for (;;) {
        while (!m_bTerminate && !ReadyLocked())
            (void)m_cvWork.Wait(&m_mtx, INFINITE);
        if (m_bTerminate)
            break;

        CItem control{kSample, nullptr, 0, 0, 1.0};
        vBatch.clear();
        while (!m_dqItems.empty() && m_dqItems.front().eKind == kSample &&
               static_cast<LONG>(vBatch.size()) < m_lBatchSize) {
            vBatch.push_back(m_dqItems.front().pSample);
            m_dqItems.pop_front();
            m_cSamplesQueued--;
        }
        if (vBatch.empty()) {
            control = m_dqItems.front();
            m_dqItems.pop_front();
        }
        if (m_dqItems.empty() || m_dqItems.front().eKind != kSample)
            m_bSendAnyway = false;
        const HRESULT hrBefore = m_hr;
        m_bDelivering = true;
        m_cvSpace.NotifyAll();
        m_mtx.Unlock();

        HRESULT hr = S_OK;
        if (!vBatch.empty()) {
            // After a failed delivery the input pin has said it wants no
            // more; drop what follows until the next flush.
            if (hrBefore == S_OK) {
                long nDone = 0;
                hr = m_pInputPin->ReceiveMultiple(vBatch.data(), static_cast<long>(vBatch.size()), &nDone);
            }
            for (IMediaSample* p : vBatch)
                p->Release();
        } else if (control.eKind == kEndOfStream) {
            (void)m_pPin->EndOfStream();
        } else {
            (void)m_pPin->NewSegment(control.tStart, control.tStop, control.dRate);
        }

        m_mtx.Lock();
        m_bDelivering = false;
        if (hr != S_OK && m_hr == S_OK && !m_bFlushing) {
            PlatformTrace("\nCOutputQueue::ThreadProc(): delivery failed %s; dropping samples until the next flush",
                          PlatformStatusName(hr));
            m_hr = hr;
        }
        m_cvSpace.NotifyAll();
    }
    m_mtx.Unlock();
}

HRESULT COutputQueue::QueueItem(const CItem& item)
{
    HRESULT hr = S_OK;
    {
        CGraphLock lock(&m_mtx);
        if (item.eKind == kSample) {
            while (!m_bTerminate && !m_bFlushing && m_hr == S_OK && m_cSamplesQueued >= m_lListSize)
                (void)m_cvSpace.Wait(&m_mtx, INFINITE);
            if (m_hr != S_OK && !m_bFlushing)
                hr = m_hr;
        }
        // Whatever arrives during a flush belongs to the data being flushed,
        // end of stream and new segment included.
        if (m_bFlushing)
            hr = S_FALSE;
        else if (m_bTerminate)
            hr = VFW_E_WRONG_STATE;
        if (hr == S_OK) {
            if (item.eKind == kSample)
                m_cSamplesQueued++;
            m_dqItems.push_back(item);
            m_cvWork.NotifyAll();
            return S_OK;
        }
    }
    if (item.pSample)
        item.pSample->Release();
    return hr;
}

HRESULT COutputQueue::SendBatched()
{
    std::vector<IMediaSample*> vBatch;
    HRESULT hrBefore = S_OK;
    {
        CGraphLock lock(&m_mtx);
        vBatch.swap(m_vBatched);
        hrBefore = m_hr;
        if (!vBatch.empty())
            m_cDirectSends++;
    }
    HRESULT hr = hrBefore;
    if (!vBatch.empty() && hrBefore == S_OK) {
        long nDone = 0;
        hr = m_pInputPin->ReceiveMultiple(vBatch.data(), static_cast<long>(vBatch.size()), &nDone);
    }
    for (IMediaSample* p : vBatch)
        p->Release();
    CGraphLock lock(&m_mtx);
    if (!vBatch.empty()) {
        m_cDirectSends--;
        m_cvSpace.NotifyAll();
    }
    // A batch refused because downstream was flushing ends before the flush
    // does (EndFlush waits for it), so its refusal is not taken for a
    // failure that would drop everything after the flush.
    if (hr != S_OK && m_hr == S_OK && !m_bFlushing) {
        PlatformTrace("\nCOutputQueue::SendBatched(): delivery failed %s; dropping samples until the next flush",
                      PlatformStatusName(hr));
        m_hr = hr;
    }
    return hr;
}

HRESULT COutputQueue::Receive(IMediaSample* pSample)
{
    if (!pSample)
        return E_POINTER;
    if (m_bQueue)
        return QueueItem(CItem{kSample, pSample, 0, 0, 1.0});
    bool bSend = false;
    HRESULT hr = S_OK;
    {
        CGraphLock lock(&m_mtx);
        if (m_bTerminate) {
            hr = VFW_E_WRONG_STATE;
        } else if (m_bFlushing || m_hr != S_OK) {
            hr = m_bFlushing ? S_FALSE : m_hr;
        } else {
            m_vBatched.push_back(pSample);
            bSend = !m_bBatchExact || static_cast<LONG>(m_vBatched.size()) >= m_lBatchSize;
        }
    }
    if (hr != S_OK) {
        pSample->Release();
        return hr;
    }
    return bSend ? SendBatched() : S_OK;
}

HRESULT COutputQueue::ReceiveMultiple(IMediaSample** ppSamples, long nSamples, long* nSamplesProcessed)
{
    if (!ppSamples || !nSamplesProcessed)
        return E_POINTER;
    HRESULT hr = S_OK;
    *nSamplesProcessed = 0;
    for (long i = 0; i < nSamples; i++) {
        // Every sample is taken over, even after a failure.
        HRESULT hrOne = Receive(ppSamples[i]);
        if (hrOne == S_OK && hr == S_OK)
            (*nSamplesProcessed)++;
        else if (hr == S_OK)
            hr = hrOne;
    }
    return hr;
}

void COutputQueue::EOS()
{
    if (m_bQueue) {
        (void)QueueItem(CItem{kEndOfStream, nullptr, 0, 0, 1.0});
        return;
    }
    if (IsShutDown())
        return;
    (void)SendBatched();
    (void)m_pPin->EndOfStream();
}

void COutputQueue::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    if (m_bQueue) {
        (void)QueueItem(CItem{kNewSegment, nullptr, tStart, tStop, dRate});
        return;
    }
    if (IsShutDown())
        return;
    (void)SendBatched();
    (void)m_pPin->NewSegment(tStart, tStop, dRate);
}

bool COutputQueue::IsShutDown()
{
    CGraphLock lock(&m_mtx);
    return m_bTerminate;
}

void COutputQueue::SendAnyway()
{
    if (!m_bQueue) {
        (void)SendBatched();
        return;
    }
    CGraphLock lock(&m_mtx);
    m_bSendAnyway = true;
    m_cvWork.NotifyAll();
}

void COutputQueue::BeginFlush()
{
    std::vector<IMediaSample*> vRelease;
    if (m_bQueue) {
        {
            CGraphLock lock(&m_mtx);
            m_bFlushing = true;
            DropAll(&vRelease);
        }
        for (IMediaSample* p : vRelease)
            p->Release();
        // Downstream's flush makes a Receive that is blocked in it return.
        (void)m_pPin->BeginFlush();
        return;
    }
    // Downstream first, so that a Receive blocked in it returns before we
    // drop the batch.
    (void)m_pPin->BeginFlush();
    {
        CGraphLock lock(&m_mtx);
        m_bFlushing = true;
        DropAll(&vRelease);
    }
    for (IMediaSample* p : vRelease)
        p->Release();
}

void COutputQueue::EndFlush()
{
    {
        CGraphLock lock(&m_mtx);
        // Bounded by the deliveries in progress, which downstream's flush
        // has told to return.
        while (m_bDelivering || m_cDirectSends > 0)
            (void)m_cvSpace.Wait(&m_mtx, INFINITE);
    }
    // Samples keep being refused until downstream has ended its flush too,
    // so none reaches it in between and sets a failure.
    (void)m_pPin->EndFlush();
    CGraphLock lock(&m_mtx);
    m_bFlushing = false;
    m_hr = S_OK;
}

bool COutputQueue::IsIdle()
{
    CGraphLock lock(&m_mtx);
    return m_dqItems.empty() && m_vBatched.empty() && !m_bDelivering && m_cDirectSends == 0;
}
