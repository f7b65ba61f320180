// Base classes for filters and pins, in the manner of the original
// platform's: a filter owns its pins and a lock; pins keep no count of their
// own but add and release references on their filter; connection runs from
// the output pin, which offers types to the input pin until one is accepted.
//
// Threads: connection and state changes come from the graph's thread and run
// under the filter lock; streaming calls (Receive, EndOfStream, flushes)
// come from the upstream filter's threads.
#pragma once

#include <atomic>
#include <string>

#include "platform/critsec.h"
#include "platform/graph/memalloc.h"
#include "platform/graph/mtype.h"
#include "platform/graph/strmif.h"
#include "platform/wtext.h"

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter
{
public:
    // pLock is the filter lock, owned by the derived filter.
    CBaseFilter(const char* pszName, IUnknown* pUnk, CCritSec* pLock, REFCLSID clsid);
    ~CBaseFilter() override = default;

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    [[nodiscard]] HRESULT GetClassID(CLSID* pClsID) override;
    // Stop deactivates the pins, Pause activates them when leaving Stopped,
    // Run pauses first when stopped.
    [[nodiscard]] HRESULT Stop() override;
    [[nodiscard]] HRESULT Pause() override;
    [[nodiscard]] HRESULT Run(REFERENCE_TIME tStart) override;
    [[nodiscard]] HRESULT GetState(DWORD dwMSecs, FILTER_STATE* pState) override;
    [[nodiscard]] HRESULT EnumPins(IEnumPins** ppEnum) override;
    [[nodiscard]] HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;
    [[nodiscard]] HRESULT QueryFilterInfo(FILTER_INFO* pInfo) override;
    // Remembers the graph (no reference) and its event sink; a null graph
    // means the filter is leaving.
    [[nodiscard]] HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    [[nodiscard]] HRESULT QueryVendorInfo(LPWSTR* pVendorInfo) override;

    virtual int GetPinCount() = 0;
    // No reference added.
    virtual CBasePin* GetPin(int n) = 0;

    // Sends a graph event; E_NOTIMPL outside a graph. Any thread; takes only
    // m_csSink, never the filter lock, so a streaming thread can report
    // while the graph thread holds the filter lock to stop it.
    [[nodiscard]] HRESULT NotifyEvent(long EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);

    bool IsActive();
    bool IsStopped();
    IFilterGraph* GetFilterGraph();
    CCritSec* FilterLock() { return m_pLock; }

protected:
    CCritSec* const m_pLock;
    // Changed under *m_pLock; read without it by streaming threads (an
    // input pin checking each sample), which must not wait for the graph
    // thread while it stops the filter.
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    REFERENCE_TIME m_tStart = 0;
    IFilterGraph* m_pGraph = nullptr;  // not referenced: the graph owns us
    // Held across each Notify, so that once JoinFilterGraph has cleared
    // m_pSink no thread is still inside the old graph's sink. Taken after
    // any other lock; the sink takes only its own event-queue lock.
    CCritSec m_csSink;
    IMediaEventSink* m_pSink GUARDED_BY(m_csSink) = nullptr;  // part of the graph, not referenced
    CWString m_strName;

private:
    const CLSID m_clsid;
};

class CBasePin : public CUnknown, public IPin
{
public:
    CBasePin(const char* pszObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pName,
             PIN_DIRECTION dir);
    ~CBasePin() override;

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // A pin lives and dies with its filter.
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    [[nodiscard]] HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT Disconnect() override;
    [[nodiscard]] HRESULT ConnectedTo(IPin** ppPin) override;
    [[nodiscard]] HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT QueryPinInfo(PIN_INFO* pInfo) override;
    [[nodiscard]] HRESULT QueryDirection(PIN_DIRECTION* pPinDir) override;
    [[nodiscard]] HRESULT QueryId(LPWSTR* Id) override;
    [[nodiscard]] HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    [[nodiscard]] HRESULT QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    [[nodiscard]] HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // S_OK accepts the type; anything else refuses it.
    [[nodiscard]] virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
    [[nodiscard]] virtual HRESULT SetMediaType(const CMediaType* pmt);
    // Checks the peer before a type is tried; a failure ends the attempt.
    [[nodiscard]] virtual HRESULT CheckConnect(IPin* pPin);
    // Undoes CheckConnect and CompleteConnect; called on every failed
    // attempt and on disconnection.
    [[nodiscard]] virtual HRESULT BreakConnect();
    [[nodiscard]] virtual HRESULT CompleteConnect(IPin* pReceivePin);
    // Types this pin prefers, by position from 0; VFW_S_NO_MORE_ITEMS past
    // the last.
    [[nodiscard]] virtual HRESULT GetMediaType(int iPosition, CMediaType* pMediaType);
    [[nodiscard]] virtual HRESULT Active() { return S_OK; }
    [[nodiscard]] virtual HRESULT Inactive() { return S_OK; }
    [[nodiscard]] virtual HRESULT Run(REFERENCE_TIME /*tStart*/) { return S_OK; }

    bool IsConnected() const { return m_Connected != nullptr; }
    // No reference added.
    IPin* GetConnected() const { return m_Connected; }
    const CMediaType& CurrentMediaType() const { return m_mt; }
    bool IsStopped() { return m_pFilter->IsStopped(); }
    LPCWSTR Name() const { return m_strName.c_str(); }
    PIN_DIRECTION Direction() const { return m_dir; }

protected:
    [[nodiscard]] HRESULT AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt);
    [[nodiscard]] HRESULT TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum);
    [[nodiscard]] HRESULT AttemptConnection(IPin* pReceivePin, const CMediaType* pmt);
    [[nodiscard]] HRESULT DisconnectInternal();

    CBaseFilter* const m_pFilter;
    CCritSec* const m_pLock;  // the filter lock
    const CWString m_strName;
    const PIN_DIRECTION m_dir;
    IPin* m_Connected = nullptr;  // referenced while connected
    CMediaType m_mt;
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = MAX_INT64;
    double m_dRate = 1.0;
    // Offer our own types before the peer's.
    bool m_bTryMyTypesFirst = false;
};

// Output pin delivering through IMemInputPin. A peer without IMemInputPin
// (one that pulls through IAsyncReader) may still connect: such a
// connection has no allocator, and activation has nothing to commit.
class CBaseOutputPin : public CBasePin
{
public:
    CBaseOutputPin(const char* pszObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pName);
    ~CBaseOutputPin() override;

    [[nodiscard]] HRESULT CheckConnect(IPin* pPin) override;
    [[nodiscard]] HRESULT BreakConnect() override;
    [[nodiscard]] HRESULT CompleteConnect(IPin* pReceivePin) override;
    [[nodiscard]] HRESULT Active() override;
    [[nodiscard]] HRESULT Inactive() override;

    // Streaming calls into an output pin are the peer's mistake.
    [[nodiscard]] HRESULT EndOfStream() override { return E_UNEXPECTED; }
    [[nodiscard]] HRESULT BeginFlush() override { return E_UNEXPECTED; }
    [[nodiscard]] HRESULT EndFlush() override { return E_UNEXPECTED; }

    // The peer's allocator first, then ours (InitAllocator), each sized by
    // DecideBufferSize and announced with NotifyAllocator.
    [[nodiscard]] virtual HRESULT DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc);
    [[nodiscard]] virtual HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps) = 0;
    [[nodiscard]] virtual HRESULT InitAllocator(IMemAllocator** ppAlloc);
    [[nodiscard]] virtual HRESULT GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime,
                                                    REFERENCE_TIME* pEndTime, DWORD dwFlags);
    [[nodiscard]] virtual HRESULT Deliver(IMediaSample* pSample);
    [[nodiscard]] virtual HRESULT DeliverEndOfStream();
    [[nodiscard]] virtual HRESULT DeliverBeginFlush();
    [[nodiscard]] virtual HRESULT DeliverEndFlush();
    [[nodiscard]] virtual HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

protected:
    IMemAllocator* m_pAllocator = nullptr;  // referenced
    IMemInputPin* m_pInputPin = nullptr;    // referenced; null for a pulling peer
};

// Input pin receiving through IMemInputPin. Receive refuses samples while
// stopped (VFW_E_WRONG_STATE) and drops them while flushing (S_FALSE).
class CBaseInputPin : public CBasePin, public IMemInputPin
{
public:
    CBaseInputPin(const char* pszObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pName);
    ~CBaseInputPin() override;

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    [[nodiscard]] HRESULT GetAllocator(IMemAllocator** ppAllocator) override;
    [[nodiscard]] HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    [[nodiscard]] HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    [[nodiscard]] HRESULT Receive(IMediaSample* pSample) override;
    [[nodiscard]] HRESULT ReceiveMultiple(IMediaSample** pSamples, long nSamples, long* nSamplesProcessed) override;
    [[nodiscard]] HRESULT ReceiveCanBlock() override { return S_OK; }

    [[nodiscard]] HRESULT EndOfStream() override { return CheckStreaming(); }
    [[nodiscard]] HRESULT BeginFlush() override;
    [[nodiscard]] HRESULT EndFlush() override;
    [[nodiscard]] HRESULT BreakConnect() override;
    [[nodiscard]] HRESULT Inactive() override;
    [[nodiscard]] HRESULT Active() override;

    // S_OK while data may flow, S_FALSE while flushing, VFW_E_WRONG_STATE
    // while stopped, VFW_E_NOT_CONNECTED when unconnected.
    [[nodiscard]] HRESULT CheckStreaming();
    bool IsFlushing();
    bool IsReadOnly() const { return m_bReadOnly; }

protected:
    CCritSec m_csStreaming;  // flushing flag; after the filter lock
    bool m_bFlushing = false;
    bool m_bReadOnly = false;
    IMemAllocator* m_pAllocator = nullptr;  // referenced
};

// Enumerates a filter's pins by index, at the time of each call.
class CEnumPins : public CUnknown, public IEnumPins
{
public:
    CEnumPins(CBaseFilter* pFilter, int nPos);
    ~CEnumPins() override;
    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    [[nodiscard]] HRESULT Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
    [[nodiscard]] HRESULT Skip(ULONG cPins) override;
    [[nodiscard]] HRESULT Reset() override;
    [[nodiscard]] HRESULT Clone(IEnumPins** ppEnum) override;

private:
    CBaseFilter* const m_pFilter;  // referenced
    int m_nPos;
};

// Enumerates a pin's GetMediaType positions.
class CEnumMediaTypes : public CUnknown, public IEnumMediaTypes
{
public:
    CEnumMediaTypes(CBasePin* pPin, int nPos);
    ~CEnumMediaTypes() override;
    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    [[nodiscard]] HRESULT Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) override;
    [[nodiscard]] HRESULT Skip(ULONG cMediaTypes) override;
    [[nodiscard]] HRESULT Reset() override;
    [[nodiscard]] HRESULT Clone(IEnumMediaTypes** ppEnum) override;

private:
    CBasePin* const m_pPin;  // referenced
    int m_nPos;
};

// Copies a WCHAR name into a fixed field, truncated and terminated.
void CopyName(WCHAR* pDest, size_t cchDest, LPCWSTR pSrc);
