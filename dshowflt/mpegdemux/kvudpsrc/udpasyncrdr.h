// The reader layer of the network source: a filter with one output pin,
// "Output", that serves the stream in one of two ways, chosen by the
// downstream pin while it connects.
//
// Pull: the downstream pin asks for IAsyncReader (or 2 or 3) and reads the
// byte stream by offset. Each read goes through the request queue (CAsyncIo)
// to the DVR source stream, which waits for bytes the receive thread has not
// written yet, so that a live stream looks like a file that keeps growing.
//
// Push: the downstream pin asks for no reader interface and offers
// IMemInputPin. The receive thread then calls DeliverData for every unit it
// has received; the pin cuts the units into time-stamped samples and an
// output queue delivers them downstream on its own thread.
//
// CBaseAsyncReader owns the pin, the request queue and the stream media
// type; CUDPAsyncReader adds the elementary media type and the parameter
// sets given in the URL, which the receive thread and the filter use. The
// network source filter derives from CUDPAsyncReader.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "dshowflt/common/buffer.h"
#include "dshowflt/common/dvr/asyncstream.h"
#include "dshowflt/mpegdemux/kvudpsrc/asyncio.h"
#include "dshowflt/mpegdemux/kvudpsrc/asyncreaderhost.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvhooks.h"
#include "platform/graph/amfilter.h"
#include "platform/graph/gsync.h"
#include "platform/graph/memalloc.h"
#include "platform/graph/outputq.h"

class CBaseAsyncOutputPin;
class CUDPAsyncOutputPin;

// The allocator the pin offers when the downstream pin has none, for pull
// reads (RequestAllocator) and for pushed samples alike.
class CMyMemAllocator : public CMemAllocator
{
public:
    explicit CMyMemAllocator(HRESULT* phr) : CMemAllocator("CMyMemAllocator", nullptr, phr) {}
    // A new allocator with one reference held by *ppAlloc.
    [[nodiscard]] static HRESULT Create(IMemAllocator** ppAlloc);
};

// Pull-model source filter: the filter lock, one request queue over the
// filter's stream, one output pin, the stream media type.
//
// Threads: the graph's thread connects and changes states; the downstream
// filter's threads read through the pin. The media types have their own
// lock (m_csType), never held while calling out, so that the receive thread
// and graph threads may read and write them at any time.
class CBaseAsyncReader : public CBaseFilter
{
public:
    CBaseAsyncReader(const char* pszName, IUnknown* pUnk, REFCLSID clsid);
    ~CBaseAsyncReader() override;

    // Creates the request queue over pStream and the pin. pStream need not
    // be constructed yet (the filter's stream is a later base of the same
    // object); it must outlive every read, and the owner flushes the queue
    // before the stream goes. pHost may be null (no DVR reader to start).
    [[nodiscard]] HRESULT Init(CAsyncStream* pStream, IAsyncReaderHost* pHost);

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;

    // The types the pin offers and accepts. Position 0 is the stream media
    // type; E_INVALIDARG below 0, VFW_S_NO_MORE_ITEMS above.
    [[nodiscard]] virtual HRESULT GetMediaType(int iPosition, CMediaType* pmt);
    // S_OK when the major types are equal and the offered subtype is null
    // or equal; S_FALSE otherwise.
    [[nodiscard]] virtual HRESULT CheckMediaType(const CMediaType* pmt);
    // The pin's Connect ends here, in the base pin's connection logic.
    [[nodiscard]] virtual HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt);

    // The stream media type: pmt null or with a null major type gives
    // MEDIATYPE_Stream / MEDIASUBTYPE_UDPStream; either way the type is
    // marked as not temporally compressed, with fixed-size samples of 1 byte.
    [[nodiscard]] HRESULT SetStreamMediaType(const AM_MEDIA_TYPE* pmt);
    [[nodiscard]] HRESULT GetStreamMediaType(CMediaType* pmt);

    CAsyncIo* Io() const { return m_pIo; }
    CBaseAsyncOutputPin* OutputPin() const { return m_pPin; }

protected:
    // Makes the pin; called once by Init.
    [[nodiscard]] virtual HRESULT CreatePin(IAsyncReaderHost* pHost, CBaseAsyncOutputPin** ppPin);

    CCritSec m_csFilter;
    // Guards the media types; innermost, held only to copy them.
    CCritSec m_csType;
    CMediaType m_mtStream GUARDED_BY(m_csType);

private:
    CAsyncIo* m_pIo = nullptr;
    CBaseAsyncOutputPin* m_pPin = nullptr;
};

// Adds the elementary media type, which a mini parser (or the sampling=
// option) fills once the stream is described, and the parameter sets of the
// URL options. The filter is in elementary-stream mode while the elementary
// type has a non-null major type: it then offers that type instead of the
// stream type.
//
// The three media-type operations and ParameterBuffer have the signatures
// of the receive thread's filter interface (IRecvFilter), so that the filter
// can forward that interface to them.
class CUDPAsyncReader : public CBaseAsyncReader
{
public:
    CUDPAsyncReader(const char* pszName, IUnknown* pUnk, REFCLSID clsid);
    ~CUDPAsyncReader() override;

    [[nodiscard]] HRESULT GetMediaType(int iPosition, CMediaType* pmt) override;
    [[nodiscard]] HRESULT CheckMediaType(const CMediaType* pmt) override;

    // Written by the receive thread, read by graph threads.
    [[nodiscard]] HRESULT SetOutputMediaType(const AM_MEDIA_TYPE* pmt);
    // A copy into *pmt, which must own nothing yet; the caller frees it
    // with FreeMediaType.
    [[nodiscard]] HRESULT GetOutputMediaType(AM_MEDIA_TYPE* pmt);
    BOOL IsOutputMediaTypeValid();
    // Back to no elementary type (a new Load).
    void ResetOutputMediaType();
    // The parameter sets given by seq-headers= or sprop-parameter-sets=.
    // Written only while no read loop runs.
    CBuffer& ParameterBuffer() { return m_bufParameters; }

    // In elementary-stream mode, writes rtAvgTimePerFrame into the video
    // format of the elementary type. S_OK when it changed (*pmtUpdated gets
    // the new type), S_FALSE when it was already that value or the filter is
    // not in elementary-stream mode, E_POINTER without a video format block.
    [[nodiscard]] HRESULT SetAvgTimePerFrame(REFERENCE_TIME rtAvgTimePerFrame, CMediaType* pmtUpdated);

    CUDPAsyncOutputPin* UDPOutputPin() const;

protected:
    [[nodiscard]] HRESULT CreatePin(IAsyncReaderHost* pHost, CBaseAsyncOutputPin** ppPin) override;

private:
    CMediaType m_mtElementary GUARDED_BY(m_csType);
    CBuffer m_bufParameters;
};

// Pull-model output pin. The downstream pin reads the stream through the
// IAsyncReader3 interface (which extends IAsyncReader2 and IAsyncReader);
// which of the three it asked for last is its reader level, 0 meaning none
// (push delivery). Sample times count bytes in reference-time units (10^7
// per byte) except for RequestPartialBytes, whose times are plain offsets.
//
// Threads: the downstream filter's threads call the reader operations; the
// request queue has its own locks and this pin takes none around them.
class CBaseAsyncOutputPin : public IAsyncReader3, public IQualityControl, public CBaseOutputPin
{
public:
    // The buffer size of stream-type push delivery and of elementary streams
    // without an image size.
    static constexpr LONG kBufferSize = 32768;

    CBaseAsyncOutputPin(const char* pszObjectName, HRESULT* phr, CBaseAsyncReader* pReader, CAsyncIo* pIo,
                        CCritSec* pLock, IAsyncReaderHost* pHost);
    ~CBaseAsyncOutputPin() override;

    DECLARE_IUNKNOWN
    // The reader interfaces start the DVR reader on the first query of a
    // connection (IAsyncReaderHost::EnsureDVRReader), whose failure refuses
    // them, and set the reader level.
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // --- IAsyncReader3
    [[nodiscard]] HRESULT RequestAllocator(IMemAllocator* pPreferred, ALLOCATOR_PROPERTIES* pProps,
                                           IMemAllocator** ppActual) override;
    [[nodiscard]] HRESULT Request(IMediaSample* pSample, DWORD_PTR dwUser) override;
    [[nodiscard]] HRESULT WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser) override;
    [[nodiscard]] HRESULT SyncReadAligned(IMediaSample* pSample) override;
    [[nodiscard]] HRESULT SyncRead(LONGLONG llPosition, LONG lLength, BYTE* pBuffer) override;
    // A growing source is 922337203685 bytes long through IAsyncReader and
    // IAsyncReader2, and 2^63-1 through IAsyncReader3.
    [[nodiscard]] HRESULT Length(LONGLONG* pTotal, LONGLONG* pAvailable) override;
    // Also the IPin operations of the same name.
    [[nodiscard]] HRESULT BeginFlush() override;
    [[nodiscard]] HRESULT EndFlush() override;
    [[nodiscard]] HRESULT RequestPartial(IMediaSample* pSample, DWORD_PTR dwUser, VARIANT_BOOL bPartialOk) override;
    [[nodiscard]] HRESULT RequestPartialBytes(IMediaSample* pSample, DWORD_PTR dwUser,
                                              VARIANT_BOOL bPartialOk) override;

    // --- IQualityControl: quality messages change nothing here.
    [[nodiscard]] HRESULT Notify(IBaseFilter* pSelf, Quality q) override;
    [[nodiscard]] HRESULT SetSink(IQualityControl* piqc) override;

    // --- IPin / CBasePin
    [[nodiscard]] HRESULT QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    [[nodiscard]] HRESULT CheckMediaType(const CMediaType* pmt) override;
    [[nodiscard]] HRESULT GetMediaType(int iPosition, CMediaType* pmt) override;
    [[nodiscard]] HRESULT CheckConnect(IPin* pPin) override;
    [[nodiscard]] HRESULT BreakConnect() override;
    // A pulling peer needs no allocator from us: the base pin's completion.
    [[nodiscard]] HRESULT CompleteConnect(IPin* pReceivePin) override;
    [[nodiscard]] HRESULT InitAllocator(IMemAllocator** ppAlloc) override;
    // One buffer of kBufferSize: what a pushed byte stream needs.
    [[nodiscard]] HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps) override;

    // The base pin's connection logic (what the reader's Connect runs).
    [[nodiscard]] HRESULT ConnectBase(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt);

    // 0 none, 1 IAsyncReader, 2 IAsyncReader2, 3 IAsyncReader3.
    LONG ReaderLevel() const { return m_lReaderLevel.load(std::memory_order_acquire); }

protected:
    // Request, RequestPartial and RequestPartialBytes.
    [[nodiscard]] HRESULT RequestImpl(IMediaSample* pSample, DWORD_PTR dwUser, BOOL bPartialOk, BOOL bTimesInUnits);
    // Position and length from the sample's times, and the stream lengths;
    // a request past the total is cut to end there (the sample's stop time
    // follows). *pbAtEnd when the position is at or past the total.
    [[nodiscard]] HRESULT PrepareRead(IMediaSample* pSample, BOOL bTimesInUnits, LONGLONG* pllPos, LONG* plLength,
                                      LONGLONG* pllTotal, LONGLONG* pllAvailable, bool* pbAtEnd);

    CBaseAsyncReader* const m_pReader;
    CAsyncIo* const m_pIo;
    IAsyncReaderHost* const m_pHost;
    std::atomic<LONG> m_lReaderLevel{0};
};

// The output pin of the network source: the pull pin, plus push delivery of
// what the receive thread hands to DeliverData.
//
// Threads: DeliverData runs on the receive thread; the output queue delivers
// on its own thread; Active, Inactive and connection changes come from the
// graph's thread (with the filter lock held by the platform); flushes from
// the downstream filter's threads; the filter's Run and Load reset the time
// line and the frame-duration measurement from graph threads.
//
// No lock is held while anything waits or is called. DeliverData takes
// m_mtxPin only to enter and to leave: entering marks a delivery in flight,
// which is possible only while the pin is active and connected, and from
// then on the receive thread owns the delivery state (the sample being
// filled, the byte time, the parameter-set state) without a lock. A
// delivery in flight waits in one place only, for a free buffer in
// GetBuffer; handing a sample to the output queue never waits, as the queue
// is made long enough to hold every buffer of the allocator. Inactive (and
// BreakConnect) first mark the pin inactive, so that no new delivery
// enters, then decommit the allocator if a delivery is in flight, which
// ends its GetBuffer, and only then wait for it to leave; the delivery sees
// the pin inactive and drops what it has left. So the wait in Inactive is
// bounded by a delivery that cannot block, and nothing that delivery does
// needs a lock that Inactive or its caller holds. The graph thread takes
// over the delivery state only once no delivery is in flight.
//
// The output queue is shared by the deliveries, the flushes, end of stream
// and new segment, which run on different threads: each user takes a
// reference to it under m_mtxPin and calls it without the lock. Inactive
// stops the queue's thread (so that nothing from it reaches the downstream
// pin after the samples of the next activation's queue) and drops the pin's
// reference; the last user to let go deletes the queue.
//
// Lock order: the filter lock, then m_mtxPin; m_mtxPin is innermost.
class CUDPAsyncOutputPin : public CBaseAsyncOutputPin, public IRecvOutputPin
{
public:
    // How often Inactive says that it is still waiting for a delivery.
    static constexpr DWORD kInactiveReportMs = 5000;

    CUDPAsyncOutputPin(HRESULT* phr, CUDPAsyncReader* pReader, CAsyncIo* pIo, CCritSec* pLock,
                       IAsyncReaderHost* pHost);
    ~CUDPAsyncOutputPin() override;

    // Empties the DVR buffer first (IAsyncReaderHost::ResetPointer) when
    // the pin had completed a connection before.
    [[nodiscard]] HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT BreakConnect() override;
    [[nodiscard]] HRESULT CompleteConnect(IPin* pReceivePin) override;
    [[nodiscard]] HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps) override;
    [[nodiscard]] HRESULT Active() override;
    [[nodiscard]] HRESULT Inactive() override;
    [[nodiscard]] HRESULT BeginFlush() override;
    [[nodiscard]] HRESULT EndFlush() override;
    [[nodiscard]] HRESULT DeliverEndOfStream() override;
    [[nodiscard]] HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // --- IRecvOutputPin, on the receive thread.
    [[nodiscard]] HRESULT DeliverData(const BYTE* pb, LONG cb, REFERENCE_TIME rtNetworkStart,
                                      REFERENCE_TIME rtLatency, DWORD dwUnitFlags, BOOL bEndOfUnit) override;

    // Stores the frame duration; in elementary-stream mode, when it differs
    // from the elementary type's average time per frame, writes it there and
    // asks the graph to reconnect the pin with the new type. E_POINTER when
    // the elementary type has no video format block.
    [[nodiscard]] HRESULT SetFrameDuration(REFERENCE_TIME rtFrameDuration);
    // Load: measure the frame duration again from the next two units.
    void ResetFrameDuration();
    // Load: keep the elementary units that come before the pin first runs
    // (see DeliverData), and forget any kept from an earlier load.
    void RestartHold();
    // Bounds of what is kept before the pin first runs: the current group
    // of pictures, plus whatever came within the last second.
    static constexpr size_t kMaxHeldBytes = 32u << 20;
    static constexpr DWORD kHeldSpanMs = 1000;
    REFERENCE_TIME FrameDuration() const { return m_rtFrameDuration.load(std::memory_order_acquire); }
    // Run: the next unit with a time re-bases the time line.
    void ResetBaseTime() { m_rtBaseTime.store(-1, std::memory_order_release); }
    REFERENCE_TIME NextStartTime() const { return m_rtNextStartTime.load(std::memory_order_acquire); }
    LONG SamplesDelivered() const { return m_cSamplesDelivered.load(std::memory_order_acquire); }

private:
    // The output queue and the count of its users.
    class CQueueRef;
    // What a delivery in flight uses; stable until it leaves.
    struct SDelivery
    {
        IMemAllocator* pAlloc;
        IMemInputPin* pInput;
        CQueueRef* pQueue;  // a reference, or null
        bool bElementary;
    };

    // Enters a delivery: false (nothing to do) while inactive or unconnected.
    bool EnterDelivery(SDelivery* pDel);
    void LeaveDelivery(SDelivery* pDel);
    [[nodiscard]] HRESULT DeliverInFlight(const SDelivery& del, const BYTE* pb, LONG cb, REFERENCE_TIME rtNetworkStart,
                                          REFERENCE_TIME rtLatency, DWORD dwUnitFlags, BOOL bEndOfUnit);
    // The H.264 parameter-set step: *ppb/*pcb may be replaced by the header
    // buffer, *pdwFlags loses the sync-point bit for non-IDR units.
    [[nodiscard]] HRESULT PrependParameterSets(const BYTE** ppb, LONG* pcb, DWORD* pdwFlags);
    // A fresh sample for the current unit, timed; S_FALSE when the pin went
    // inactive meanwhile.
    [[nodiscard]] HRESULT StartSample(const SDelivery& del, REFERENCE_TIME rtNetworkStart, REFERENCE_TIME rtLatency,
                                      DWORD* pdwFlags);
    // Hands the sample on (its reference is taken over); failures are traced.
    void DeliverSample(IMediaSample* pSample, CQueueRef* pQueue, IMemInputPin* pInput, bool bElementary);
    void MeasureFrameDuration(REFERENCE_TIME rtNetworkStart);
    // Keeps a unit that came before the pin first ran; false when the hold
    // is over (the pin ran) or the stream is not elementary.
    void HoldUnit(const BYTE* pb, LONG cb, REFERENCE_TIME rtNetworkStart, REFERENCE_TIME rtLatency,
                  DWORD dwUnitFlags, BOOL bEndOfUnit);
    // The first delivery after the pin runs: the kept units go first.
    [[nodiscard]] HRESULT DeliverHeld(const SDelivery& del);
    bool IsInactive();
    // Marks the pin inactive, ends a delivery waiting for a buffer, waits
    // until no delivery is in flight, and takes the queue and the partly
    // filled sample from the pin (either may be null).
    void StopDeliveries(CQueueRef** ppQueue, IMediaSample** ppPartial);
    CQueueRef* TakeQueueRef();

    CUDPAsyncReader* const m_pUDPReader;

    CGraphMutex m_mtxPin;
    CGraphCond m_cvIdle;  // a delivery left
    bool m_bInactive GUARDED_BY(m_mtxPin) = true;
    bool m_bInFlight GUARDED_BY(m_mtxPin) = false;
    // Active and connected for pushing: written with m_bInactive, read
    // without the lock by DeliverData as a first look.
    std::atomic<bool> m_bDeliveryOpen{false};
    CQueueRef* m_pOutputQueue GUARDED_BY(m_mtxPin) = nullptr;  // the pin's reference

    // The delivery state: owned by the delivery in flight, and by the graph
    // thread while none is (handed over through m_mtxPin).
    IMediaSample* m_pCurrentSample = nullptr;
    LONGLONG m_llByteTime = 0;
    bool m_bHeadersSent = false;
    CBuffer m_bufHeader;

    std::atomic<bool> m_bWasConnected{false};
    // Written by the delivery, by Active and by the filter's Run.
    std::atomic<REFERENCE_TIME> m_rtNextStartTime{0};
    std::atomic<REFERENCE_TIME> m_rtBaseTime{-1};
    std::atomic<LONG> m_cSamplesDelivered{0};
    // The frame-duration measurement: the receive thread, and Load while no
    // read loop runs.
    std::atomic<REFERENCE_TIME> m_rtFrameDuration{1};
    std::atomic<REFERENCE_TIME> m_rtFirstStart{-1};
    std::atomic<REFERENCE_TIME> m_rtSecondStart{-1};

    // Units kept between Load and the pin's first run. The receive thread
    // adds and takes them; Load (no read loop running) restarts the hold.
    struct SHeldUnit
    {
        LONG lOffset;  // in the held bytes
        LONG cb;
        REFERENCE_TIME rtNetworkStart;
        REFERENCE_TIME rtLatency;
        DWORD dwUnitFlags;
        BOOL bEndOfUnit;
        DWORD dwTick;  // when it came
    };
    struct SHeld
    {
        CBuffer buf;
        std::vector<SHeldUnit> vUnits;
        void Clear()
        {
            buf.Empty();
            vUnits.clear();
        }
    };
    CGraphMutex m_mtxHold;
    std::unique_ptr<SHeld> m_pHeld GUARDED_BY(m_mtxHold);
    int m_nHeldLastNal GUARDED_BY(m_mtxHold) = -1;  // H.264: the last unit's NAL type
    bool m_bHeldLastEnded GUARDED_BY(m_mtxHold) = true;  // the last unit ended a frame
    int m_nHoldKind GUARDED_BY(m_mtxHold) = 0;  // 0 not yet known, 1 H.264, 2 other elementary
    // Set by Load, cleared by the first delivery once the pin runs: the
    // receive thread's fast check that nothing is kept or to be kept.
    std::atomic<bool> m_bHolding{false};
};
