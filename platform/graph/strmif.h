// Interfaces of the media graph: filters with pins that connect with an
// agreed media type, then move data either by push (IMemInputPin, samples
// from an allocator) or by pull (IAsyncReader, reads by byte offset), plus
// the graph that holds the filters, changes their states and carries their
// events to the application. Slot orders follow the original platform.
#pragma once

#include "platform/mediatype.h"
#include "platform/unknown.h"

typedef uintptr_t DWORD_PTR;

// 100 ns units per second; pull-mode sample times count bytes in these units.
constexpr REFERENCE_TIME UNITS = 10000000;

enum FILTER_STATE { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

constexpr int MAX_PIN_NAME = 128;
constexpr int MAX_FILTER_NAME = 128;

struct IBaseFilter;
struct IFilterGraph;
struct IMediaSample;
struct IEnumMediaTypes;

struct ALLOCATOR_PROPERTIES
{
    LONG cBuffers;
    LONG cbBuffer;
    LONG cbAlign;
    LONG cbPrefix;
};

// Holds a reference on pFilter.
struct PIN_INFO
{
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
};

// Holds a reference on pGraph when it is not null.
struct FILTER_INFO
{
    WCHAR achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;
};

// GetBuffer flags.
constexpr DWORD AM_GBF_PREVFRAMESKIPPED = 1;
constexpr DWORD AM_GBF_NOTASYNCPOINT = 2;
constexpr DWORD AM_GBF_NOWAIT = 4;

// Graph event codes (IMediaEventSink::Notify).
constexpr long EC_COMPLETE = 0x01;
constexpr long EC_USERABORT = 0x02;
constexpr long EC_ERRORABORT = 0x03;
constexpr long EC_TIME = 0x04;
constexpr long EC_REPAINT = 0x05;
constexpr long EC_STREAM_ERROR_STOPPED = 0x06;
constexpr long EC_STREAM_ERROR_STILLPLAYING = 0x07;
constexpr long EC_ERROR_STILLPLAYING = 0x08;
constexpr long EC_PALETTE_CHANGED = 0x09;
constexpr long EC_VIDEO_SIZE_CHANGED = 0x0A;
constexpr long EC_QUALITY_CHANGE = 0x0B;
constexpr long EC_SHUTTING_DOWN = 0x0C;
constexpr long EC_CLOCK_CHANGED = 0x0D;
constexpr long EC_PAUSED = 0x0E;
constexpr long EC_OPENING_FILE = 0x10;
constexpr long EC_BUFFERING_DATA = 0x11;
constexpr long EC_FULLSCREEN_LOST = 0x12;
constexpr long EC_ACTIVATE = 0x13;
constexpr long EC_NEED_RESTART = 0x14;
constexpr long EC_WINDOW_DESTROYED = 0x15;
constexpr long EC_DISPLAY_CHANGED = 0x16;
constexpr long EC_STARVATION = 0x17;
constexpr long EC_OLE_EVENT = 0x18;
constexpr long EC_NOTIFY_WINDOW = 0x19;
constexpr long EC_STREAM_CONTROL_STOPPED = 0x1A;
constexpr long EC_STREAM_CONTROL_STARTED = 0x1B;
constexpr long EC_END_OF_SEGMENT = 0x1C;
constexpr long EC_SEGMENT_STARTED = 0x1D;
constexpr long EC_LENGTH_CHANGED = 0x1E;
constexpr long EC_USER = 0x8000;

// clang-format off
constexpr IID IID_IPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IPin = {0x56A86891, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IEnumPins = {0x56A86892, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IEnumMediaTypes = {0x89C31040, 0x846B, 0x11CE, {0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr IID IID_IBaseFilter = {0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IMediaFilter = {0x56A86899, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IMediaSample = {0x56A8689A, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IMemAllocator = {0x56A8689C, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IMemInputPin = {0x56A8689D, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IFilterGraph = {0x56A8689F, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IMediaEventSink = {0x56A868A2, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IAsyncReader = {0x56A868AA, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IMediaControl = {0x56A868B1, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IMediaEvent = {0x56A868B6, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IFilterGraph2 = {0x36B73882, 0xC2C8, 0x11CF, {0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60}};
constexpr IID IID_IAsyncReader2 = {0xE2B7DE53, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
constexpr IID IID_IAsyncReader3 = {0xE2B7DE82, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
constexpr IID IID_IQualityControl = {0x56A868A5, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr IID IID_IFileSourceFilter = {0x56A868A6, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
// clang-format on

struct IMediaSample : IUnknown
{
    [[nodiscard]] virtual HRESULT GetPointer(BYTE** ppBuffer) = 0;
    virtual LONG GetSize() = 0;
    // VFW_E_SAMPLE_TIME_NOT_SET without times; VFW_S_NO_STOP_TIME with a
    // start only (the stop is then start + 1).
    [[nodiscard]] virtual HRESULT GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) = 0;
    // A null pStart clears both times; a null pEnd sets the start only.
    [[nodiscard]] virtual HRESULT SetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) = 0;
    [[nodiscard]] virtual HRESULT IsSyncPoint() = 0;  // S_OK or S_FALSE
    [[nodiscard]] virtual HRESULT SetSyncPoint(BOOL bIsSyncPoint) = 0;
    [[nodiscard]] virtual HRESULT IsPreroll() = 0;
    [[nodiscard]] virtual HRESULT SetPreroll(BOOL bIsPreroll) = 0;
    virtual LONG GetActualDataLength() = 0;
    [[nodiscard]] virtual HRESULT SetActualDataLength(LONG lLen) = 0;
    // S_FALSE and nullptr when the type did not change with this sample;
    // otherwise a copy the caller frees with DeleteMediaType.
    [[nodiscard]] virtual HRESULT GetMediaType(AM_MEDIA_TYPE** ppMediaType) = 0;
    [[nodiscard]] virtual HRESULT SetMediaType(AM_MEDIA_TYPE* pMediaType) = 0;
    [[nodiscard]] virtual HRESULT IsDiscontinuity() = 0;
    [[nodiscard]] virtual HRESULT SetDiscontinuity(BOOL bDiscontinuity) = 0;
    [[nodiscard]] virtual HRESULT GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
    [[nodiscard]] virtual HRESULT SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
};

struct IMemAllocator : IUnknown
{
    [[nodiscard]] virtual HRESULT SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) = 0;
    [[nodiscard]] virtual HRESULT GetProperties(ALLOCATOR_PROPERTIES* pProps) = 0;
    [[nodiscard]] virtual HRESULT Commit() = 0;
    [[nodiscard]] virtual HRESULT Decommit() = 0;
    // Waits for a free sample unless AM_GBF_NOWAIT; VFW_E_NOT_COMMITTED once
    // decommitted, also for a caller already waiting.
    [[nodiscard]] virtual HRESULT GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime,
                                            REFERENCE_TIME* pEndTime, DWORD dwFlags) = 0;
    [[nodiscard]] virtual HRESULT ReleaseBuffer(IMediaSample* pBuffer) = 0;
};

struct IEnumMediaTypes : IUnknown
{
    // Each type returned is the caller's to free with DeleteMediaType.
    [[nodiscard]] virtual HRESULT Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) = 0;
    [[nodiscard]] virtual HRESULT Skip(ULONG cMediaTypes) = 0;
    [[nodiscard]] virtual HRESULT Reset() = 0;
    [[nodiscard]] virtual HRESULT Clone(IEnumMediaTypes** ppEnum) = 0;
};

struct IPin : IUnknown
{
    [[nodiscard]] virtual HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) = 0;
    [[nodiscard]] virtual HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) = 0;
    [[nodiscard]] virtual HRESULT Disconnect() = 0;
    [[nodiscard]] virtual HRESULT ConnectedTo(IPin** ppPin) = 0;
    [[nodiscard]] virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) = 0;
    [[nodiscard]] virtual HRESULT QueryPinInfo(PIN_INFO* pInfo) = 0;
    [[nodiscard]] virtual HRESULT QueryDirection(PIN_DIRECTION* pPinDir) = 0;
    [[nodiscard]] virtual HRESULT QueryId(LPWSTR* pId) = 0;  // task memory
    [[nodiscard]] virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) = 0;
    [[nodiscard]] virtual HRESULT EnumMediaTypes(IEnumMediaTypes** ppEnum) = 0;
    [[nodiscard]] virtual HRESULT QueryInternalConnections(IPin** apPin, ULONG* nPin) = 0;
    [[nodiscard]] virtual HRESULT EndOfStream() = 0;
    [[nodiscard]] virtual HRESULT BeginFlush() = 0;
    [[nodiscard]] virtual HRESULT EndFlush() = 0;
    [[nodiscard]] virtual HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;
};

struct IEnumPins : IUnknown
{
    [[nodiscard]] virtual HRESULT Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) = 0;
    [[nodiscard]] virtual HRESULT Skip(ULONG cPins) = 0;
    [[nodiscard]] virtual HRESULT Reset() = 0;
    [[nodiscard]] virtual HRESULT Clone(IEnumPins** ppEnum) = 0;
};

struct IMemInputPin : IUnknown
{
    [[nodiscard]] virtual HRESULT GetAllocator(IMemAllocator** ppAllocator) = 0;
    [[nodiscard]] virtual HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) = 0;
    [[nodiscard]] virtual HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) = 0;
    [[nodiscard]] virtual HRESULT Receive(IMediaSample* pSample) = 0;
    [[nodiscard]] virtual HRESULT ReceiveMultiple(IMediaSample** pSamples, long nSamples, long* nSamplesProcessed) = 0;
    // S_OK when Receive may block (the output queue then delivers on its own
    // thread), S_FALSE when it never blocks.
    [[nodiscard]] virtual HRESULT ReceiveCanBlock() = 0;
};

// Pull-model reading by byte offset. Request takes a sample whose times give
// the range in UNITS per byte; WaitForNext returns completed samples.
struct IAsyncReader : IUnknown
{
    [[nodiscard]] virtual HRESULT RequestAllocator(IMemAllocator* pPreferred, ALLOCATOR_PROPERTIES* pProps,
                                                   IMemAllocator** ppActual) = 0;
    [[nodiscard]] virtual HRESULT Request(IMediaSample* pSample, DWORD_PTR dwUser) = 0;
    // The sample comes back with every result, failures included, so that
    // the caller can release it.
    [[nodiscard]] virtual HRESULT WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser) = 0;
    [[nodiscard]] virtual HRESULT SyncReadAligned(IMediaSample* pSample) = 0;
    [[nodiscard]] virtual HRESULT SyncRead(LONGLONG llPosition, LONG lLength, BYTE* pBuffer) = 0;
    [[nodiscard]] virtual HRESULT Length(LONGLONG* pTotal, LONGLONG* pAvailable) = 0;
    [[nodiscard]] virtual HRESULT BeginFlush() = 0;
    [[nodiscard]] virtual HRESULT EndFlush() = 0;
};

// Adds a request that may complete with part of its data after a deadline.
struct IAsyncReader2 : IAsyncReader
{
    [[nodiscard]] virtual HRESULT RequestPartial(IMediaSample* pSample, DWORD_PTR dwUser, VARIANT_BOOL bPartialOk) = 0;
};

// Adds the same request with plain byte offsets as sample times.
struct IAsyncReader3 : IAsyncReader2
{
    [[nodiscard]] virtual HRESULT RequestPartialBytes(IMediaSample* pSample, DWORD_PTR dwUser,
                                                      VARIANT_BOOL bPartialOk) = 0;
};

// Quality messages travel upstream from a renderer that is late (Famine)
// or early (Flood); Proportion is in thousandths of the full rate.
enum QualityMessageType { Famine = 0, Flood = 1 };

struct Quality
{
    QualityMessageType Type;
    long Proportion;
    REFERENCE_TIME Late;
    REFERENCE_TIME TimeStamp;
};

struct IQualityControl : IUnknown
{
    [[nodiscard]] virtual HRESULT Notify(IBaseFilter* pSelf, Quality q) = 0;
    [[nodiscard]] virtual HRESULT SetSink(IQualityControl* piqc) = 0;
};

struct IPersist : IUnknown
{
    [[nodiscard]] virtual HRESULT GetClassID(CLSID* pClassID) = 0;
};

// No reference clock exists here, so the clock operations of the original
// interface are left out; Run's start time is passed through unchanged.
struct IMediaFilter : IPersist
{
    [[nodiscard]] virtual HRESULT Stop() = 0;
    [[nodiscard]] virtual HRESULT Pause() = 0;
    [[nodiscard]] virtual HRESULT Run(REFERENCE_TIME tStart) = 0;
    [[nodiscard]] virtual HRESULT GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* pState) = 0;
};

struct IBaseFilter : IMediaFilter
{
    [[nodiscard]] virtual HRESULT EnumPins(IEnumPins** ppEnum) = 0;
    [[nodiscard]] virtual HRESULT FindPin(LPCWSTR pId, IPin** ppPin) = 0;
    [[nodiscard]] virtual HRESULT QueryFilterInfo(FILTER_INFO* pInfo) = 0;
    // pGraph is not referenced by the filter: the graph owns the filter.
    [[nodiscard]] virtual HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) = 0;
    [[nodiscard]] virtual HRESULT QueryVendorInfo(LPWSTR* pVendorInfo) = 0;
};

struct IFilterGraph : IUnknown
{
    [[nodiscard]] virtual HRESULT AddFilter(IBaseFilter* pFilter, LPCWSTR pName) = 0;
    [[nodiscard]] virtual HRESULT RemoveFilter(IBaseFilter* pFilter) = 0;
    [[nodiscard]] virtual HRESULT FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) = 0;
    [[nodiscard]] virtual HRESULT ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) = 0;
    [[nodiscard]] virtual HRESULT Reconnect(IPin* ppin) = 0;
    [[nodiscard]] virtual HRESULT Disconnect(IPin* ppin) = 0;
};

struct IFilterGraph2 : IFilterGraph
{
    // Breaks the connection of ppin and connects the same two pins again,
    // with pmt when it is given.
    [[nodiscard]] virtual HRESULT ReconnectEx(IPin* ppin, const AM_MEDIA_TYPE* pmt) = 0;
};

struct IMediaEventSink : IUnknown
{
    [[nodiscard]] virtual HRESULT Notify(long lEventCode, LONG_PTR lParam1, LONG_PTR lParam2) = 0;
};

// The application's side of the graph.
struct IMediaControl : IUnknown
{
    [[nodiscard]] virtual HRESULT Run() = 0;
    [[nodiscard]] virtual HRESULT Pause() = 0;
    [[nodiscard]] virtual HRESULT Stop() = 0;
    [[nodiscard]] virtual HRESULT GetState(LONG msTimeout, FILTER_STATE* pfs) = 0;
};

struct IMediaEvent : IUnknown
{
    // E_ABORT when no event arrives within msTimeout (INFINITE: no limit).
    [[nodiscard]] virtual HRESULT GetEvent(long* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2,
                                           long msTimeout) = 0;
    [[nodiscard]] virtual HRESULT FreeEventParams(long lEventCode, LONG_PTR lParam1, LONG_PTR lParam2) = 0;
};

// A source filter that is given the name of what it reads (a file, a URL).
struct IFileSourceFilter : IUnknown
{
    // pmt may be null; its type then comes from the source itself.
    [[nodiscard]] virtual HRESULT Load(LPCWSTR pszFileName, const AM_MEDIA_TYPE* pmt) = 0;
    // *ppszFileName: a copy the caller frees with CoTaskMemFree, or null
    // when nothing was loaded. pmt (optional) receives the output type.
    [[nodiscard]] virtual HRESULT GetCurFile(LPWSTR* ppszFileName, AM_MEDIA_TYPE* pmt) = 0;
};
