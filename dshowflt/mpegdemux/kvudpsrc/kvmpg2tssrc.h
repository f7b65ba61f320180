// CKVMpg2TSSrc: the network source filter, the object an application
// creates. It is given a URL (IFileSourceFilter::Load), put into a graph and
// connected through its one output pin, "Output", to a filter that either
// pulls the stream by byte offset from the DVR buffer or has elementary video
// samples pushed to it.
//
// It is made of the reader layer with the pin (CUDPAsyncReader), the stream
// part that the pin's request queue reads and that owns the receive thread
// (CKVMpg2TSSrcStream), the automation interface IKVUDPSrc and the hooks the
// receive thread calls (IRecvFilter).
//
// Loading: Load stops reading, reconfigures the receive thread for the new
// URL and opens the socket; in a graph it then starts reading and returns
// once the first data has been processed (for an elementary stream, once it
// has been described), the receive time-out has passed (16 s unless the
// URL's Timeout= says otherwise; 0x80072733) or the application answered the
// no-data notification with a failure. Out of a graph, joining one starts
// reading the same way. Reception then runs on, into the DVR buffer and the
// pin, whatever the graph's state.
//
// Threads and locks. The application's and the graph's threads call the
// interfaces; the receive thread calls the IRecvFilter hooks; the pin's
// request queue reads the stream; a thread that commits a change of the DVR
// writer's attributes calls the attribute hook. No lock of the filter is
// held while it waits for the receive thread: Load holds the filter lock
// only to store the name, and configures the receive thread under that
// thread's own client lock (CAMThread::m_AccessLock), which orders it with
// every other command exactly as a command would; the wait for the first
// data is a plain command and holds nothing of ours. So graph threads that
// need the filter lock (state changes, GetState, connections) go on while a
// Load waits, however long the URL's time-out.
//
// Lock order: the filter lock, then the stream part's reader lock
// (kvmpg2tssrcstream.h); m_csCallback, m_csStarvation and m_csTypeInfo are
// innermost and never held across a call out. The receive thread's client
// lock is never waited for with a lock of ours held: Pause, which the base
// filter calls with the filter lock held, only tries it.
#pragma once

#include <atomic>
#include <memory>
#include <new>

#include "dshowflt/mpegdemux/kvudpsrc/eventthunk.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrcstream.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h"
#include "dshowflt/mpegdemux/kvudpsrc/udpasyncrdr.h"
#include "platform/typeinfo.h"

class CKVMpg2TSSrc : public CUDPAsyncReader,
                     public IFileSourceFilter,
                     public CKVMpg2TSSrcStream,
                     public IKVUDPSrc,
                     public IRecvFilter
{
public:
    // Frame durations of 10 ms or less count as 1/30 s when the samples a
    // paused graph needs are counted.
    static constexpr REFERENCE_TIME kMinCueFrameDuration = 100000;
    static constexpr REFERENCE_TIME kDefaultCueFrameDuration = 333333;
    // Run re-bases the push time line once this much stream time has been
    // delivered (1 s).
    static constexpr REFERENCE_TIME kRebaseAfter = 10000000;

    // A new, initialised object of class T (the filter or a class derived
    // from it) with a count of 0, aggregated in pUnkOuter when given; null
    // with *phr on failure. What a class factory calls.
    template <class T = CKVMpg2TSSrc>
    static T* New(IUnknown* pUnkOuter, HRESULT* phr)
    {
        T* p = new (std::nothrow) T(pUnkOuter);
        if (!p) {
            *phr = E_OUTOFMEMORY;
            return nullptr;
        }
        HRESULT hr = p->Init();
        if (FAILED(hr)) {
            delete p;
            *phr = hr;
            return nullptr;
        }
        return p;
    }
    // For programs that link the filter: a filter with one reference.
    [[nodiscard]] static HRESULT CreateInstance(CKVMpg2TSSrc** ppFilter);

    // Use New or CreateInstance: the object needs Init before anything else.
    explicit CKVMpg2TSSrc(IUnknown* pUnkOuter);
    ~CKVMpg2TSSrc() override;
    // Makes the pin, the request queue and the receive thread.
    [[nodiscard]] HRESULT Init();

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // --- IFileSourceFilter
    [[nodiscard]] HRESULT Load(LPCWSTR pszFileName, const AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT GetCurFile(LPWSTR* ppszFileName, AM_MEDIA_TYPE* pmt) override;

    // --- IBaseFilter
    [[nodiscard]] HRESULT Stop() override;
    // From Stopped, starts reading in the background when the receive thread
    // is idle (nobody waits for the first data).
    [[nodiscard]] HRESULT Pause() override;
    // In elementary-stream mode, after more than 1 s of delivered stream
    // time: the next unit re-bases the time line, and reading restarts on a
    // reopened socket (this waits for the first data).
    [[nodiscard]] HRESULT Run(REFERENCE_TIME tStart) override;
    // Outside elementary-stream mode the base's answer. Inside it: starving
    // VFW_S_STATE_INTERMEDIATE; paused VFW_S_CANT_CUE once enough samples
    // were delivered, else VFW_S_STATE_INTERMEDIATE.
    [[nodiscard]] HRESULT GetState(DWORD dwMSecs, FILTER_STATE* pState) override;
    // Joining starts reading (and waits for the first data) when a URL was
    // loaded; leaving stops the DVR reader, reading and the socket.
    [[nodiscard]] HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;

    // --- IDispatch, over the type library's IKVUDPSrc
    [[nodiscard]] HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    [[nodiscard]] HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    [[nodiscard]] HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                        DISPID* rgDispId) override;
    [[nodiscard]] HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // --- IKVUDPSrc1
    [[nodiscard]] HRESULT put_CallbackObj(IUnknown* pCallback) override;
    [[nodiscard]] HRESULT get_CallbackObj(IUnknown** pCallback) override;
    [[nodiscard]] HRESULT put_CallInSameThread(VARIANT_BOOL bVal) override;
    [[nodiscard]] HRESULT get_CallInSameThread(VARIANT_BOOL* pbVal) override;
    // --- IKVUDPSrc: the receive thread's receive-time log
    [[nodiscard]] HRESULT GetReceiveTime(double offset, double* pReceiveTime) override;
    [[nodiscard]] HRESULT StopLogging() override;
    [[nodiscard]] HRESULT ConvertTimeToString(double receiveTime, BSTR pszPrefix, BSTR pszSuffix,
                                              BSTR* pRet) override;
    [[nodiscard]] HRESULT ConvertStringToTime(BSTR pszString, double* pReceiveTime) override;

    // --- IRecvFilter (the receive thread), and the DVR reader's starvation
    // In elementary-stream mode, a change sets or resets the starvation
    // event; the start of a starvation is sent to the graph (EC_STARVATION).
    void SetStarvation(BOOL bStarvation) override;
    [[nodiscard]] HRESULT OnAttributesChanging(LONG lFlag) override;
    // Fires EVENTTYPE_NODATAAVAILABLE at the registered callback; S_FALSE
    // without one.
    [[nodiscard]] HRESULT AskIfIShouldContinueWaiting(DWORD dwElapsedMs) override;
    BOOL HasCallback() override;
    BOOL IsInFilterGraph() override;
    CBuffer& ParameterBuffer() override;
    [[nodiscard]] HRESULT SetOutputMediaType(const AM_MEDIA_TYPE* pmt) override;
    [[nodiscard]] HRESULT GetOutputMediaType(AM_MEDIA_TYPE* pmt) override;
    BOOL IsOutputMediaTypeValid() override;
    void OnWriterEvent(LONG lEventCode, LONG_PTR lParam1, LONG_PTR lParam2) override;

    // How many delivered samples let a paused graph cue: from the pin's
    // frame duration and the URL's latency.
    LONG SamplesNeededForCue();
    bool IsStarving() const { return m_bStarvation.load(std::memory_order_acquire) != FALSE; }

private:
    // Load's steps 4 to 11, under the receive thread's client lock.
    [[nodiscard]] HRESULT Configure(LPCWSTR pszFileName, const AM_MEDIA_TYPE* pmt);
    // The type information of IKVUDPSrc, loaded on first use.
    [[nodiscard]] HRESULT EnsureTypeInfo(ITypeInfo** ppInfo);
    // Takes the current thunk with a reference, or null.
    CEventThunk* AcquireEventThunk();

    std::unique_ptr<WCHAR[]> m_pszFileName GUARDED_BY(m_csFilter);
    std::atomic<bool> m_bInGraph{false};

    CCritSec m_csTypeInfo;
    CComPtr<ITypeInfo> m_pTypeInfo GUARDED_BY(m_csTypeInfo);

    CCritSec m_csCallback;
    IKVSrcCallback* m_pCallback GUARDED_BY(m_csCallback) = nullptr;  // referenced
    CEventThunk* m_pEventThunk GUARDED_BY(m_csCallback) = nullptr;   // referenced
    std::atomic<BOOL> m_bCallInSameThread{TRUE};

    // Read without a lock (GetState); changed under m_csStarvation together
    // with the event, which is set while the flag is.
    std::atomic<BOOL> m_bStarvation{FALSE};
    CCritSec m_csStarvation;
    CAMEvent m_evStarvation{TRUE};
};
