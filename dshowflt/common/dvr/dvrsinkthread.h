// CDVRSinkThread: a reader's link to the live DVR writer.
//
// The writer registers its IKVDVRSink in the object table under the name it
// also writes into the stub's ownerName; a reader looks it up by that name,
// registers with it and receives three events (data written, recordings
// changed, offset reached). A writer handed in at creation lives in this
// process and is called directly. Any other writer may be slow or dead, so
// every call to it is made on this object's own thread and the reading
// thread waits only for a few milliseconds: a call that does not complete in
// time answers RPC_E_TIMEOUT and goes on in the background, and the next
// call answers RPC_E_TIMEOUT at once until that one has completed.
//
// Threads: the reader engine calls in from its reading threads (serialised
// by the access lock of CAMThread); the worker serves the requests. The
// object is heap-allocated and ends through KillThread: at once when its
// thread never ran, else on its own thread once that leaves its loop, so a
// writer stuck in a call can never make the reader wait for it.
//
// Lock order: m_AccessLock, then m_csLink, then m_csRequest.
#pragma once

#include <atomic>

#include "dshowflt/common/dvr/dvrsinkif.h"
#include "platform/thread.h"
#include "platform/wtext.h"

class CDVRSinkThread : public CAMThread
{
public:
    // Requests served by the thread.
    static constexpr DWORD kReqConnect = 0;
    static constexpr DWORD kReqStatus = 1;
    static constexpr DWORD kReqExit = 2;
    static constexpr DWORD kReqOffset = 3;
    static constexpr DWORD kReqRegister = 4;
    static constexpr DWORD kReqRange = 5;
    static constexpr DWORD kReqIdle = 65535;

    // Time-outs used by the reader engine.
    static constexpr DWORD kShortTimeoutMs = 10;
    static constexpr DWORD kInfoTimeoutMs = 500;
    static constexpr DWORD kExitTimeoutMs = 5;
    // Where the reader's offsets stand in the writer's count is asked
    // rarely (at the start, after a lap) and is worth a longer wait.
    static constexpr DWORD kRangeTimeoutMs = 100;

    // pSink (may be null) is a writer in this process: calls to it are made
    // directly. Nothing here can fail; Start does the rest.
    explicit CDVRSinkThread(IKVDVRSink* pSink);

    // Creates a started link: E_OUTOFMEMORY, E_FAIL when the thread cannot
    // be started, or the failure of registering with the writer handed in.
    [[nodiscard]] static HRESULT Create(IKVDVRSink* pSink, CDVRSinkThread** ppThread);
    // Starts the thread and registers with a writer handed in.
    [[nodiscard]] HRESULT Start();

    // Links to the writer registered under pszName. A name equal to the
    // current one (in any letter case) is not looked up again. S_OK with a
    // writer, E_POINTER without one, RPC_E_TIMEOUT while the lookup is still
    // going on (the name is kept and the lookup completes in the background).
    [[nodiscard]] HRESULT ConnectToSink(LPCWSTR pszName, DWORD dwTimeoutMs);
    // The writer's status (DVRStatus_*), the folder and slot it writes and
    // the size of its current recording. E_POINTER without a writer.
    [[nodiscard]] HRESULT GetSinkStatus(LONG* plStatus, LONG* plFolder, LONG* plSlot, LONGLONG* pllSize,
                                        DWORD dwTimeoutMs);
    // Asks the writer to signal the offset-reached event once the stream has
    // passed llOffset.
    [[nodiscard]] HRESULT SetOffsetToReach(LONGLONG llOffset, DWORD dwTimeoutMs);
    // The writer's GetAvailableRange: the offset of the oldest byte it
    // keeps and its published total, in its own count.
    [[nodiscard]] HRESULT GetWriterRange(LONGLONG* pllFirst, LONGLONG* pllPublished, DWORD dwTimeoutMs);
    // Registers again with the writer held, after it dropped our entry (it
    // does so when it stops and starts a new buffer). The event handles are
    // replaced: fetch them again.
    [[nodiscard]] HRESULT Reregister(DWORD dwTimeoutMs);
    BOOL HasSink();
    // The offset-reached event received at registration, or
    // INVALID_HANDLE_VALUE. Valid until CloseEvents or a new link.
    HANDLE GetOffsetReachedEvent();
    HANDLE GetDataWrittenEvent();
    void CloseEvents();
    // Our key in the writer's reader registry.
    LONG GetKey() const { return static_cast<LONG>(reinterpret_cast<uintptr_t>(this)); }

    // Uses of the object: the creator holds the first; KillThread runs when
    // the last is released.
    void AddUse() { m_cUses.fetch_add(1, std::memory_order_relaxed); }
    void ReleaseUse();

    // Ends the thread and destroys the object (see the class comment). The
    // caller must not touch the object afterwards.
    void KillThread();

protected:
    ~CDVRSinkThread() override;
    DWORD ThreadProc() override;

private:
    // Issues a request and waits for it at most dwTimeoutMs.
    [[nodiscard]] HRESULT Request(DWORD dwRequest, DWORD dwTimeoutMs);
    [[nodiscard]] HRESULT ServeConnect();
    [[nodiscard]] HRESULT ServeStatus();
    [[nodiscard]] HRESULT ServeOffset();
    [[nodiscard]] HRESULT ServeRegister();
    [[nodiscard]] HRESULT ServeRange();
    [[nodiscard]] HRESULT CallRange(IKVDVRSink* pSink, LONGLONG* pllFirst, LONGLONG* pllPublished);
    // What registering with a writer gave: its events and first status.
    struct SRegistration
    {
        HANDLE hDataWritten = INVALID_HANDLE_VALUE;
        HANDLE hRecordingsChanged = INVALID_HANDLE_VALUE;
        HANDLE hOffsetReached = INVALID_HANDLE_VALUE;
        bool bStatus = false;
        LONG lStatus = DVRStatus_Stopped;
        LONG lFolder = 0;
        LONG lSlot = 0;
        LONGLONG llSize = 0;
    };
    // Registers with pSink and fetches its status, without our lock (the
    // writer may be slow); the result is adopted under m_csLink.
    [[nodiscard]] HRESULT RegisterWithSink(IKVDVRSink* pSink, SRegistration* pReg);
    void AdoptRegistrationLocked(SRegistration* pReg) REQUIRES(m_csLink);
    // Unregisters, releases the writer and the name, closes the events.
    void DropLink();
    void SetCurrentRequest(DWORD dwRequest);
    DWORD GetCurrentRequest();

    const bool m_bDirect;
    std::atomic<LONG> m_cUses{1};

    // Guards the link: name, writer and events.
    CCritSec m_csLink;
    IKVDVRSink* m_pSink GUARDED_BY(m_csLink) = nullptr;  // owned reference
    CWString m_strOwnerName GUARDED_BY(m_csLink);
    bool m_bRegistered GUARDED_BY(m_csLink) = false;
    HANDLE m_hDataWritten GUARDED_BY(m_csLink) = INVALID_HANDLE_VALUE;
    HANDLE m_hRecordingsChanged GUARDED_BY(m_csLink) = INVALID_HANDLE_VALUE;
    HANDLE m_hOffsetReached GUARDED_BY(m_csLink) = INVALID_HANDLE_VALUE;
    // The writer's last status answer.
    LONG m_lStatus GUARDED_BY(m_csLink) = DVRStatus_Stopped;
    LONG m_lFolder GUARDED_BY(m_csLink) = 0;
    LONG m_lSlot GUARDED_BY(m_csLink) = 0;
    LONGLONG m_llCurrentSize GUARDED_BY(m_csLink) = 0;
    double m_dOffsetToReach GUARDED_BY(m_csLink) = 0;
    // The writer's last range answer.
    LONGLONG m_llRangeFirst GUARDED_BY(m_csLink) = 0;
    LONGLONG m_llRangePublished GUARDED_BY(m_csLink) = 0;

    // Caller side, serialised by m_AccessLock: a request that timed out and
    // whose reply has not been taken yet.
    bool m_bOutstanding GUARDED_BY(m_AccessLock) = false;

    // The request being served (kReqIdle when none); readers test it without
    // the access lock.
    CCritSec m_csRequest;
    DWORD m_dwCurrentRequest GUARDED_BY(m_csRequest) = kReqIdle;

    std::atomic<bool> m_bKill{false};
    CAMEvent m_evKill{TRUE};  // set with m_bKill: wakes a thread waiting for requests
    CAMEvent m_evRelease{TRUE};
};
