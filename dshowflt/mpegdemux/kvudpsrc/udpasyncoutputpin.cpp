// CUDPAsyncOutputPin: connection, activation and push delivery. The
// protocol between DeliverData (receive thread) and the graph's thread is
// described with the class in udpasyncrdr.h.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/udpasyncrdr.h"
#include "platform/thread.h"
#include "platform/wtext.h"

namespace {

// Unit flags of the RTP parser that DeliverData acts on.
constexpr DWORD kFlagEndOfFrame = 1;
constexpr DWORD kFlagDiscontinuity = 2;
constexpr DWORD kFlagSyncPoint = 4;
// A network time this far from where the time line expects it starts a new
// time line: the sender restarted, or data was lost for a while.
constexpr REFERENCE_TIME kMaxTimeJump = 5000000;  // 0.5 s
constexpr LONG kElementaryBuffers = 10;

// What the NAL units of an Annex B unit say about where a decoder can
// start: whether one is a sequence parameter set or an IDR slice, and the
// type of the last (-1 when the unit has no start code).
struct SNalScan
{
    bool bSps = false;
    bool bIdr = false;
    int nLast = -1;
};

SNalScan ScanNalUnits(const BYTE* pb, LONG cb)
{
    SNalScan scan;
    for (LONG i = 0; i + 3 < cb; ++i) {
        if (pb[i] != 0 || pb[i + 1] != 0 || pb[i + 2] != 1)
            continue;
        const int nType = pb[i + 3] & 0x1F;
        scan.bSps |= nType == 7;
        scan.bIdr |= nType == 5;
        scan.nLast = nType;
        i += 3;
    }
    return scan;
}

std::string PinName(IPin* pPin)
{
    PIN_INFO info;
    if (!pPin || FAILED(pPin->QueryPinInfo(&info)))
        return std::string("?");
    if (info.pFilter)
        info.pFilter->Release();
    return WideToUtf8(info.achName);
}

// The bytes of a video format that a sample of one picture needs, or 0 when
// the format does not say.
LONGLONG ImageSize(const CMediaType& mt)
{
    if (*mt.Type() != MEDIATYPE_Video || *mt.FormatType() != FORMAT_VideoInfo || !mt.Format() ||
        mt.FormatLength() < sizeof(VIDEOINFOHEADER))
        return 0;
    VIDEOINFOHEADER vih;
    memcpy(&vih, mt.Format(), sizeof(vih));
    if (vih.bmiHeader.biSizeImage != 0)
        return vih.bmiHeader.biSizeImage;
    const LONGLONG llWidth = vih.bmiHeader.biWidth < 0 ? -LONGLONG(vih.bmiHeader.biWidth) : vih.bmiHeader.biWidth;
    const LONGLONG llHeight =
        vih.bmiHeader.biHeight < 0 ? -LONGLONG(vih.bmiHeader.biHeight) : vih.bmiHeader.biHeight;
    return llWidth * llHeight * vih.bmiHeader.biBitCount / 8;
}

}  // namespace

// The output queue with a count of its users. COutputQueue's own contract
// is that no call is inside it when it is deleted; the count gives that
// without a lock held across the calls.
class CUDPAsyncOutputPin::CQueueRef
{
public:
    [[nodiscard]] static HRESULT Create(IPin* pInputPin, LONG lListSize, CQueueRef** ppRef)
    {
        HRESULT hr = S_OK;
        CQueueRef* p = new (std::nothrow) CQueueRef(pInputPin, lListSize, &hr);
        if (!p)
            return E_OUTOFMEMORY;
        if (FAILED(hr)) {
            delete p;
            return hr;
        }
        *ppRef = p;
        return S_OK;
    }
    void AddRef() { m_cRef.fetch_add(1, std::memory_order_relaxed); }
    void Release()
    {
        if (m_cRef.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    COutputQueue* operator->() { return &m_queue; }

private:
    // Automatic mode (a thread of its own when the input pin's Receive can
    // block), batches of one sample, not exact.
    CQueueRef(IPin* pInputPin, LONG lListSize, HRESULT* phr)
        : m_queue(pInputPin, phr, TRUE, TRUE, 1, FALSE, lListSize, 0)
    {
    }
    ~CQueueRef() = default;

    std::atomic<LONG> m_cRef{1};
    COutputQueue m_queue;
};

CUDPAsyncOutputPin::CUDPAsyncOutputPin(HRESULT* phr, CUDPAsyncReader* pReader, CAsyncIo* pIo, CCritSec* pLock,
                                       IAsyncReaderHost* pHost)
    : CBaseAsyncOutputPin("CUDPAsyncOutputPin", phr, pReader, pIo, pLock, pHost), m_pUDPReader(pReader)
{
}

CUDPAsyncOutputPin::~CUDPAsyncOutputPin()
{
    CQueueRef* pQueue = nullptr;
    IMediaSample* pPartial = nullptr;
    StopDeliveries(&pQueue, &pPartial);
    if (pPartial)
        pPartial->Release();
    if (pQueue)
        pQueue->Release();
}

// --- Connection -------------------------------------------------------------

HRESULT CUDPAsyncOutputPin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (!pReceivePin)
        return E_POINTER;
    // Refused here already, so that a stray call on a connected or running
    // pin does not empty the buffer its reader is reading.
    CComPtr<IPin> pPeer;
    if (SUCCEEDED(ConnectedTo(&pPeer)))
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    if (m_bWasConnected.load(std::memory_order_acquire)) {
        Trace("\nCUDPAsyncOutputPin::Connect(%s) - Reconnecting the output pin... Calling ResetPointer",
              PinName(pReceivePin).c_str());
        if (m_pHost) {
            HRESULT hr = m_pHost->ResetPointer();
            if (FAILED(hr))
                Trace("\nCUDPAsyncOutputPin::Connect: ResetPointer failed %s", TraceHr(hr));
        }
        m_bWasConnected.store(false, std::memory_order_release);
    }
    return m_pReader->Connect(pReceivePin, pmt);
}

HRESULT CUDPAsyncOutputPin::BreakConnect()
{
    CQueueRef* pQueue = nullptr;
    IMediaSample* pPartial = nullptr;
    StopDeliveries(&pQueue, &pPartial);
    // There is no one left to deliver to.
    if (pPartial)
        pPartial->Release();
    if (pQueue)
        pQueue->Release();
    return CBaseAsyncOutputPin::BreakConnect();
}

HRESULT CUDPAsyncOutputPin::CompleteConnect(IPin* pReceivePin)
{
    if (!pReceivePin)
        return E_POINTER;
    HRESULT hr = S_OK;
    if (ReaderLevel() == 0) {
        // A connection is made while stopped, so the pin is inactive and no
        // delivery reads these.
        if (m_pAllocator) {
            m_pAllocator->Release();
            m_pAllocator = nullptr;
        }
        if (m_pInputPin) {
            m_pInputPin->Release();
            m_pInputPin = nullptr;
        }
        hr = pReceivePin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&m_pInputPin));
        if (FAILED(hr)) {
            m_pInputPin = nullptr;
            return hr;
        }
        hr = DecideAllocator(m_pInputPin, &m_pAllocator);
    } else {
        hr = CBaseAsyncOutputPin::CompleteConnect(pReceivePin);
    }
    if (FAILED(hr))
        return hr;
    m_bHeadersSent = false;
    m_bWasConnected.store(true, std::memory_order_release);
    Trace("\nUDPSrc::CompleteConnect(%s) SUCCEEDED!", PinName(pReceivePin).c_str());
    return S_OK;
}

HRESULT CUDPAsyncOutputPin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps)
{
    if (!pAlloc || !pProps)
        return E_POINTER;
    LONG cBuffers = m_pUDPReader->IsOutputMediaTypeValid() ? kElementaryBuffers : 1;
    LONG cbBuffer = kBufferSize;
    // Room for a picture and a half, so that a frame that compressed badly
    // still fits in one sample.
    const LONGLONG llImage = ImageSize(m_mt);
    if (llImage > 0) {
        const LONGLONG llBuffer = llImage * 3 / 2;
        if (llBuffer > 0x7FFFFFFF) {
            Trace("\nCUDPAsyncOutputPin::DecideBufferSize: a picture of %s is too large", TraceBytes(llImage));
            return E_FAIL;
        }
        cBuffers = 3;
        cbBuffer = static_cast<LONG>(llBuffer);
    }
    pProps->cBuffers = cBuffers;
    pProps->cbBuffer = cbBuffer;
    if (pProps->cbAlign < 1)
        pProps->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual;
    HRESULT hr = pAlloc->SetProperties(pProps, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cBuffers < 1 || actual.cbBuffer < cbBuffer)
        return E_FAIL;
    return S_OK;
}

// --- Activation -------------------------------------------------------------

HRESULT CUDPAsyncOutputPin::Active()
{
    m_cSamplesDelivered.store(0, std::memory_order_release);
    if (ReaderLevel() > 0)
        return CBaseOutputPin::Active();

    CQueueRef* pQueue = TakeQueueRef();
    if (!pQueue) {
        IPin* pPeer = GetConnected();
        if (!pPeer)
            return VFW_E_NOT_CONNECTED;
        // A list that holds every buffer of the allocator never makes the
        // receive thread wait for room: it waits only for a buffer, which
        // Inactive can always end by decommitting.
        LONG lListSize = COutputQueue::kDefaultListSize;
        ALLOCATOR_PROPERTIES props;
        if (m_pAllocator && SUCCEEDED(m_pAllocator->GetProperties(&props)) && props.cBuffers > lListSize)
            lListSize = props.cBuffers;
        HRESULT hr = CQueueRef::Create(pPeer, lListSize, &pQueue);
        if (FAILED(hr)) {
            Trace("\nCUDPAsyncOutputPin::Active: the output queue cannot be created %s", TraceHr(hr));
            return hr;
        }
        CGraphLock lock(&m_mtxPin);
        m_pOutputQueue = pQueue;
        pQueue->AddRef();
    }
    (*pQueue)->NewSegment(0, MAX_INT64, 1.0);
    pQueue->Release();
    // The pin is inactive, so no delivery is in flight to own these.
    m_llByteTime = 0;
    m_rtBaseTime.store(-1, std::memory_order_release);
    m_rtNextStartTime.store(0, std::memory_order_release);
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr))
        return hr;
    // Last, so that a delivery never meets an allocator not yet committed.
    CGraphLock lock(&m_mtxPin);
    m_bInactive = false;
    m_bDeliveryOpen.store(m_pAllocator && m_pInputPin, std::memory_order_release);
    return S_OK;
}

HRESULT CUDPAsyncOutputPin::Inactive()
{
    if (ReaderLevel() > 0)
        return CBaseOutputPin::Inactive();
    CQueueRef* pQueue = nullptr;
    IMediaSample* pPartial = nullptr;
    StopDeliveries(&pQueue, &pPartial);
    if (pPartial)
        DeliverSample(pPartial, pQueue, m_pInputPin, m_pUDPReader->IsOutputMediaTypeValid() != FALSE);
    if (pQueue) {
        (*pQueue)->EOS();
        // A flush on another thread may still hold the queue and delete it
        // when it returns; its thread stops here, so that nothing from it
        // reaches the downstream pin once a newer queue delivers.
        (*pQueue)->Shutdown();
        pQueue->Release();
    } else {
        (void)CBaseOutputPin::DeliverEndOfStream();
    }
    return CBaseOutputPin::Inactive();
}

bool CUDPAsyncOutputPin::IsInactive()
{
    CGraphLock lock(&m_mtxPin);
    return m_bInactive;
}

void CUDPAsyncOutputPin::StopDeliveries(CQueueRef** ppQueue, IMediaSample** ppPartial)
{
    bool bInFlight = false;
    {
        CGraphLock lock(&m_mtxPin);
        m_bInactive = true;
        m_bDeliveryOpen.store(false, std::memory_order_release);
        bInFlight = m_bInFlight;
    }
    // A delivery in flight may wait for a free buffer that only the
    // downstream filter can give back; decommitting ends that wait, and the
    // delivery then finds the pin inactive and leaves.
    if (bInFlight && m_pAllocator)
        (void)m_pAllocator->Decommit();
    const DWORD dwStart = GetTickCount();
    for (;;) {
        bool bTimedOut = false;
        {
            CGraphLock lock(&m_mtxPin);
            if (m_bInFlight)
                bTimedOut = !m_cvIdle.Wait(&m_mtxPin, kInactiveReportMs);
            if (!m_bInFlight) {
                *ppPartial = m_pCurrentSample;
                m_pCurrentSample = nullptr;
                *ppQueue = m_pOutputQueue;
                m_pOutputQueue = nullptr;
                return;
            }
        }
        if (bTimedOut)
            Trace("\nCUDPAsyncOutputPin::Inactive: still waiting for the delivery in flight after %s",
                  TraceElapsedMs(TickDiff(GetTickCount(), dwStart)));
    }
}

CUDPAsyncOutputPin::CQueueRef* CUDPAsyncOutputPin::TakeQueueRef()
{
    CGraphLock lock(&m_mtxPin);
    if (m_pOutputQueue)
        m_pOutputQueue->AddRef();
    return m_pOutputQueue;
}

// --- Flushes, end of stream, new segment ---------------------------------

HRESULT CUDPAsyncOutputPin::BeginFlush()
{
    CQueueRef* pQueue = TakeQueueRef();
    if (pQueue) {
        (*pQueue)->BeginFlush();
        pQueue->Release();
    }
    return CBaseAsyncOutputPin::BeginFlush();
}

HRESULT CUDPAsyncOutputPin::EndFlush()
{
    CQueueRef* pQueue = TakeQueueRef();
    if (pQueue) {
        (*pQueue)->EndFlush();
        pQueue->Release();
    }
    return CBaseAsyncOutputPin::EndFlush();
}

HRESULT CUDPAsyncOutputPin::DeliverEndOfStream()
{
    CQueueRef* pQueue = TakeQueueRef();
    if (!pQueue)
        return CBaseOutputPin::DeliverEndOfStream();
    (*pQueue)->EOS();
    pQueue->Release();
    return S_OK;
}

HRESULT CUDPAsyncOutputPin::DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    CQueueRef* pQueue = TakeQueueRef();
    if (!pQueue)
        return CBaseOutputPin::DeliverNewSegment(tStart, tStop, dRate);
    (*pQueue)->NewSegment(tStart, tStop, dRate);
    pQueue->Release();
    return S_OK;
}

// --- Frame duration ---------------------------------------------------------

void CUDPAsyncOutputPin::ResetFrameDuration()
{
    m_rtFrameDuration.store(1, std::memory_order_release);
    m_rtFirstStart.store(-1, std::memory_order_release);
    m_rtSecondStart.store(-1, std::memory_order_release);
}

void CUDPAsyncOutputPin::MeasureFrameDuration(REFERENCE_TIME rtNetworkStart)
{
    if (m_rtFrameDuration.load(std::memory_order_acquire) >= 2 || rtNetworkStart <= 0)
        return;
    const REFERENCE_TIME rtFirst = m_rtFirstStart.load(std::memory_order_acquire);
    if (rtFirst == -1) {
        m_rtFirstStart.store(rtNetworkStart, std::memory_order_release);
        return;
    }
    if (m_rtSecondStart.load(std::memory_order_acquire) != -1)
        return;
    // Units of one frame share its time; a frame duration needs two frames.
    if (rtNetworkStart - rtFirst < 2) {
        m_rtFirstStart.store(rtNetworkStart, std::memory_order_release);
        return;
    }
    m_rtSecondStart.store(rtNetworkStart, std::memory_order_release);
    (void)SetFrameDuration(rtNetworkStart - rtFirst);
}

HRESULT CUDPAsyncOutputPin::SetFrameDuration(REFERENCE_TIME rtFrameDuration)
{
    m_rtFrameDuration.store(rtFrameDuration, std::memory_order_release);
    CMediaType mtUpdated;
    HRESULT hr = m_pUDPReader->SetAvgTimePerFrame(rtFrameDuration, &mtUpdated);
    if (hr == E_POINTER)
        return hr;
    if (hr != S_OK)
        return S_OK;
    Trace("\nCUDPAsyncOutputPin::SetFrameDuration(%s): the elementary type follows", TraceRefTime(rtFrameDuration));
    CComPtr<IPin> pPeer;
    if (FAILED(ConnectedTo(&pPeer)))
        return S_OK;
    // The graph owns the filter and leaves it only after the receive thread
    // has stopped, so the pointer stays good while this thread uses it.
    IFilterGraph* pGraph = m_pFilter->GetFilterGraph();
    CComPtr<IFilterGraph2> pGraph2;
    if (!pGraph || FAILED(pGraph->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&pGraph2))))
        return S_OK;
    hr = pGraph2->ReconnectEx(static_cast<IPin*>(this), &mtUpdated);
    if (FAILED(hr))
        Trace("\nCUDPAsyncOutputPin::SetFrameDuration: ReconnectEx failed %s", TraceHr(hr));
    return S_OK;
}

// --- DeliverData ------------------------------------------------------------

HRESULT CUDPAsyncOutputPin::DeliverData(const BYTE* pb, LONG cb, REFERENCE_TIME rtNetworkStart,
                                        REFERENCE_TIME rtLatency, DWORD dwUnitFlags, BOOL bEndOfUnit)
{
    // Whatever the pin's state: the time line needs the frame duration
    // from the start.
    MeasureFrameDuration(rtNetworkStart);
    if (cb <= 0)
        return S_OK;
    if (!pb)
        return E_POINTER;
    // Between Load and the graph running, units of an elementary stream are
    // kept rather than dropped. Load returns only once the stream has been
    // described, and a graph can be built around the type only then; an
    // H.264 stream whose first group of pictures was dropped meanwhile
    // cannot be decoded until its next IDR frame, which may be seconds
    // away. So the first run delivers what the network brought since the
    // stream was described, from a place where a decoder can start.
    // A pulled stream never opens push deliveries: its datagrams pass here
    // without taking the pin lock.
    SDelivery del;
    if (!m_bDeliveryOpen.load(std::memory_order_acquire) || !EnterDelivery(&del)) {
        if (m_bHolding.load(std::memory_order_acquire))
            HoldUnit(pb, cb, rtNetworkStart, rtLatency, dwUnitFlags, bEndOfUnit);
        return S_OK;
    }
    HRESULT hr = S_OK;
    if (m_bHolding.load(std::memory_order_acquire))
        hr = DeliverHeld(del);
    if (SUCCEEDED(hr))
        hr = DeliverInFlight(del, pb, cb, rtNetworkStart, rtLatency, dwUnitFlags, bEndOfUnit);
    LeaveDelivery(&del);
    return hr;
}

void CUDPAsyncOutputPin::RestartHold()
{
    CGraphLock lock(&m_mtxHold);
    m_pHeld.reset();
    m_nHeldLastNal = -1;
    m_bHeldLastEnded = true;
    m_nHoldKind = 0;
    m_bHolding.store(true, std::memory_order_release);
}

void CUDPAsyncOutputPin::HoldUnit(const BYTE* pb, LONG cb, REFERENCE_TIME rtNetworkStart, REFERENCE_TIME rtLatency,
                                  DWORD dwUnitFlags, BOOL bEndOfUnit)
{
    // A byte stream is in the ring already; a pull connection never runs
    // pushed deliveries that would take the kept units.
    const bool bElementary = m_pUDPReader->IsOutputMediaTypeValid() != FALSE;
    int nKind = 0;
    {
        CGraphLock lock(&m_mtxHold);
        if (!bElementary || ReaderLevel() > 0) {
            m_pHeld.reset();
            m_bHolding.store(false, std::memory_order_release);
            return;
        }
        nKind = m_nHoldKind;
    }
    if (nKind == 0) {
        CMediaType mt;
        nKind = SUCCEEDED(m_pUDPReader->GetOutputMediaType(&mt)) && *mt.Subtype() == MEDIASUBTYPE_H264 ? 1 : 2;
    }
    const SNalScan scan = nKind == 1 ? ScanNalUnits(pb, cb) : SNalScan();
    const DWORD dwNow = GetTickCount();
    // Traced once the lock is released.
    LONG cbTooMany = -1;
    HRESULT hrNoRoom = S_OK;
    {
        CGraphLock lock(&m_mtxHold);
        if (!m_bHolding.load(std::memory_order_acquire))
            return;
        m_nHoldKind = nKind;
        // Where a decoder can start: an H.264 sequence parameter set, or an
        // IDR slice that follows no parameter set or other IDR slice of its
        // own frame; a new frame of any other elementary format.
        bool bStart = m_bHeldLastEnded;
        if (nKind == 1) {
            bStart = scan.bSps ||
                     (scan.bIdr && m_nHeldLastNal != 5 && m_nHeldLastNal != 7 && m_nHeldLastNal != 8);
            if (scan.nLast != -1)
                m_nHeldLastNal = scan.nLast;
        }
        m_bHeldLastEnded = bEndOfUnit || (dwUnitFlags & kFlagEndOfFrame);
        if (!m_pHeld) {
            m_pHeld.reset(new (std::nothrow) SHeld);
            if (!m_pHeld)
                return;
        }
        SHeld& held = *m_pHeld;
        if (bStart && !held.vUnits.empty() && TickDiff(dwNow, held.vUnits.front().dwTick) > kHeldSpanMs)
            held.Clear();
        if (held.vUnits.empty() && !bStart)
            return;
        const LONG lOffset = held.buf.Length();
        if (static_cast<size_t>(lOffset) + static_cast<size_t>(cb) > kMaxHeldBytes) {
            cbTooMany = lOffset;
            held.Clear();
        } else {
            // Doubling, so that keeping a group of pictures copies each
            // byte about once more.
            HRESULT hr = S_OK;
            if (held.buf.Capacity() < lOffset + cb)
                hr = held.buf.Reserve(
                    std::max<LONG>(lOffset + cb, std::min<LONG>(2 * held.buf.Capacity(), kMaxHeldBytes)));
            if (SUCCEEDED(hr))
                hr = held.buf.Append(pb, cb);
            if (SUCCEEDED(hr)) {
                held.vUnits.push_back(
                    SHeldUnit{lOffset, cb, rtNetworkStart, rtLatency, dwUnitFlags, bEndOfUnit, dwNow});
            } else {
                hrNoRoom = hr;
                held.Clear();
            }
        }
    }
    if (cbTooMany >= 0)
        Trace("\nCUDPAsyncOutputPin::DeliverData: %d kept bytes are too many; keeping from the next place a "
              "decoder can start",
              static_cast<int>(cbTooMany));
    if (FAILED(hrNoRoom))
        Trace("\nCUDPAsyncOutputPin::DeliverData: no memory to keep a unit of %d bytes %s", static_cast<int>(cb),
              TraceHr(hrNoRoom));
}

HRESULT CUDPAsyncOutputPin::DeliverHeld(const SDelivery& del)
{
    std::unique_ptr<SHeld> pHeld;
    {
        CGraphLock lock(&m_mtxHold);
        pHeld.swap(m_pHeld);
        m_bHolding.store(false, std::memory_order_release);
    }
    if (!pHeld || pHeld->vUnits.empty())
        return S_OK;
    Trace("\nCUDPAsyncOutputPin::DeliverData: delivering %u units that came before the pin ran",
          static_cast<unsigned>(pHeld->vUnits.size()));
    for (const SHeldUnit& u : pHeld->vUnits) {
        HRESULT hr = DeliverInFlight(del, pHeld->buf.Data() + u.lOffset, u.cb, u.rtNetworkStart, u.rtLatency,
                                     u.dwUnitFlags, u.bEndOfUnit);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

bool CUDPAsyncOutputPin::EnterDelivery(SDelivery* pDel)
{
    pDel->bElementary = m_pUDPReader->IsOutputMediaTypeValid() != FALSE;
    CGraphLock lock(&m_mtxPin);
    // Only the receive thread delivers; a second caller waits its turn.
    while (m_bInFlight && !m_bInactive)
        (void)m_cvIdle.Wait(&m_mtxPin, INFINITE);
    if (m_bInactive || m_bInFlight || !m_pAllocator || !m_pInputPin)
        return false;
    m_bInFlight = true;
    pDel->pAlloc = m_pAllocator;
    pDel->pInput = m_pInputPin;
    pDel->pQueue = m_pOutputQueue;
    if (pDel->pQueue)
        pDel->pQueue->AddRef();
    return true;
}

void CUDPAsyncOutputPin::LeaveDelivery(SDelivery* pDel)
{
    // Never the last reference: the pin's own is dropped only once no
    // delivery is in flight.
    if (pDel->pQueue)
        pDel->pQueue->Release();
    CGraphLock lock(&m_mtxPin);
    m_bInFlight = false;
    m_cvIdle.NotifyAll();
}

HRESULT CUDPAsyncOutputPin::DeliverInFlight(const SDelivery& del, const BYTE* pb, LONG cb,
                                            REFERENCE_TIME rtNetworkStart, REFERENCE_TIME rtLatency,
                                            DWORD dwUnitFlags, BOOL bEndOfUnit)
{
    DWORD dwFlags = dwUnitFlags;
    HRESULT hr = PrependParameterSets(&pb, &cb, &dwFlags);
    if (FAILED(hr))
        return hr;
    while (cb > 0) {
        if (!m_pCurrentSample) {
            hr = StartSample(del, rtNetworkStart, rtLatency, &dwFlags);
            if (hr == S_FALSE)
                return S_OK;  // the pin went inactive: the rest is dropped
            if (FAILED(hr))
                return hr;
        }
        BYTE* pDest = nullptr;
        hr = m_pCurrentSample->GetPointer(&pDest);
        if (FAILED(hr))
            return hr;
        const LONG lUsed = m_pCurrentSample->GetActualDataLength();
        const LONG lSize = m_pCurrentSample->GetSize();
        const LONG lCopy = std::min(cb, lSize - lUsed);
        memcpy(pDest + lUsed, pb, static_cast<size_t>(lCopy));
        (void)m_pCurrentSample->SetActualDataLength(lUsed + lCopy);
        pb += lCopy;
        cb -= lCopy;
        if (lUsed + lCopy >= lSize || bEndOfUnit || (dwFlags & kFlagEndOfFrame)) {
            IMediaSample* pSample = m_pCurrentSample;
            m_pCurrentSample = nullptr;
            DeliverSample(pSample, del.pQueue, del.pInput, del.bElementary);
        }
    }
    return S_OK;
}

HRESULT CUDPAsyncOutputPin::PrependParameterSets(const BYTE** ppb, LONG* pcb, DWORD* pdwFlags)
{
    // The connection type does not change while the pin is active. Its
    // format block carries the parameter sets after the video header.
    const CMediaType& mt = m_mt;
    if (*mt.Subtype() != MEDIASUBTYPE_H264 || *pcb < 4 || !mt.Format() || mt.FormatLength() <= sizeof(VIDEOINFOHEADER))
        return S_OK;
    const BYTE* pb = *ppb;
    // The NAL unit header follows the start code: 00 00 01 as the RTP
    // de-packetiser writes it, or 00 00 00 01 as other Annex B writers do.
    BYTE bHeader = pb[3];
    if (*pcb >= 5 && pb[0] == 0 && pb[1] == 0 && pb[2] == 0 && pb[3] == 1)
        bHeader = pb[4];
    switch (bHeader & 0x1F) {
    case 5: {  // IDR slice: a decoder can start here only with the parameter sets
        if (m_bHeadersSent)
            break;
        const BYTE* pbParams = mt.Format() + sizeof(VIDEOINFOHEADER);
        const LONG cbParams = static_cast<LONG>(mt.FormatLength() - sizeof(VIDEOINFOHEADER));
        m_bufHeader.Empty();
        HRESULT hr = m_bufHeader.Reserve(cbParams + *pcb);
        if (SUCCEEDED(hr))
            hr = m_bufHeader.Append(pbParams, cbParams);
        if (SUCCEEDED(hr))
            hr = m_bufHeader.Append(*ppb, *pcb);
        if (FAILED(hr)) {
            Trace("\nCUDPAsyncOutputPin::DeliverData: no room for the parameter sets %s", TraceHr(hr));
            return hr;
        }
        *ppb = m_bufHeader.Data();
        *pcb = m_bufHeader.Length();
        m_bHeadersSent = true;
        break;
    }
    case 7:  // sequence parameter set in band
        m_bHeadersSent = true;
        break;
    case 1:  // non-IDR slice
        m_bHeadersSent = false;
        *pdwFlags &= ~kFlagSyncPoint;
        break;
    default:
        *pdwFlags &= ~kFlagSyncPoint;
        break;
    }
    return S_OK;
}

HRESULT CUDPAsyncOutputPin::StartSample(const SDelivery& del, REFERENCE_TIME rtNetworkStart,
                                        REFERENCE_TIME rtLatency, DWORD* pdwFlags)
{
    IMediaSample* pSample = nullptr;
    HRESULT hr = del.pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0);
    // Inactive decommits the allocator to end this wait: not a failure.
    if (IsInactive()) {
        if (pSample)
            pSample->Release();
        return S_FALSE;
    }
    if (FAILED(hr)) {
        Trace("\nCUDPAsyncOutputPin::DeliverData: GetBuffer failed %s", TraceHr(hr));
        return hr;
    }
    (void)pSample->SetActualDataLength(0);
    if (rtNetworkStart <= 0) {
        (void)pSample->SetTime(nullptr, nullptr);
    } else {
        REFERENCE_TIME rtSeen = m_rtBaseTime.load(std::memory_order_acquire);
        const REFERENCE_TIME rtNext = m_rtNextStartTime.load(std::memory_order_acquire);
        REFERENCE_TIME rtBase = rtSeen;
        if (rtBase == -1) {
            rtBase = rtNetworkStart - rtNext;
        } else {
            const REFERENCE_TIME rtExpected = rtBase + rtNext;
            if (rtNetworkStart > rtExpected + kMaxTimeJump || rtNetworkStart < rtExpected - kMaxTimeJump) {
                Trace("\nUDPSRC:DeliverData: Set discontinuity (startTime=%s, m_rtBaseTime(%s)+m_rtNextStartTime(%s)=%s",
                      TraceRefTime(rtNetworkStart), TraceRefTime(rtBase), TraceRefTime(rtNext),
                      TraceRefTime(rtExpected));
                *pdwFlags |= kFlagDiscontinuity;
                rtBase = rtNetworkStart - rtNext;
            }
        }
        // The filter's Run may have cleared the base meanwhile; its reset
        // then wins and the next unit re-bases.
        (void)m_rtBaseTime.compare_exchange_strong(rtSeen, rtBase, std::memory_order_acq_rel);
        REFERENCE_TIME rtStart = rtNetworkStart - rtBase + rtLatency;
        REFERENCE_TIME rtStop = rtStart + m_rtFrameDuration.load(std::memory_order_acquire);
        (void)pSample->SetTime(&rtStart, &rtStop);
        m_rtNextStartTime.store(rtStop - rtLatency, std::memory_order_release);
    }
    (void)pSample->SetDiscontinuity((*pdwFlags & kFlagDiscontinuity) ? TRUE : FALSE);
    (void)pSample->SetSyncPoint((*pdwFlags & kFlagSyncPoint) ? TRUE : FALSE);
    *pdwFlags &= ~(kFlagDiscontinuity | kFlagSyncPoint);
    m_pCurrentSample = pSample;
    return S_OK;
}

void CUDPAsyncOutputPin::DeliverSample(IMediaSample* pSample, CQueueRef* pQueue, IMemInputPin* pInput,
                                       bool bElementary)
{
    m_cSamplesDelivered.fetch_add(1, std::memory_order_acq_rel);
    if (!bElementary) {
        // A byte stream pushed downstream is timed by its offsets.
        REFERENCE_TIME rtStart = m_llByteTime;
        REFERENCE_TIME rtStop = m_llByteTime + pSample->GetActualDataLength();
        (void)pSample->SetTime(&rtStart, &rtStop);
        m_llByteTime = rtStop;
    }
    HRESULT hr = S_OK;
    if (pQueue) {
        hr = (*pQueue)->Receive(pSample);  // takes the sample over
    } else if (pInput) {
        hr = pInput->Receive(pSample);
        pSample->Release();
    } else {
        pSample->Release();
        hr = VFW_E_NOT_CONNECTED;
    }
    if (FAILED(hr))
        Trace("\nCUDPAsyncOutputPin::DeliverData: delivery failed %s", TraceHr(hr));
}
