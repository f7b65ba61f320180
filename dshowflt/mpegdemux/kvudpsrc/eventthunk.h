// CEventThunk: delivers the filter's notifications to the application's
// IKVSrcCallback, either directly on the thread that fires them (the receive
// thread) or, when the application asked for calls on its own thread, as a
// message posted to a hidden window that the registering thread owns.
//
// One thunk per registration. It is reference-counted so that a posted call
// still queued for the window outlives a new registration and the filter
// itself: Fire takes a reference for the message, the window procedure gives
// it back.
//
// At most one call is in progress per thunk; a notification fired meanwhile
// is dropped (S_FALSE). The firing thread never waits more than 10 ms for a
// posted call: when the application's thread has not run it by then, the
// answer counts as S_FALSE and the call goes on there. A registering thread
// that never dispatches its messages therefore gets no call at all, and every
// later notification is dropped while the first one stays pending.
//
// Threads: created on the registering thread, which owns the window; Fire on
// any thread (the receive thread); the window procedure on the owner thread
// while it dispatches messages. Nothing is called with m_cs held.
#pragma once

#include <atomic>

#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h"
#include "platform/critsec.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"

class CEventThunk
{
public:
    // The message that carries a posted call (the first user message + 1000).
    static constexpr UINT kPostedCallMessage = WM_USER + 1000;
    // How long Fire waits for a posted call to be answered.
    static constexpr DWORD kPostedCallWaitMs = 10;

    // A thunk with one reference and its window on the calling thread, in
    // the window class "KVMM CEventThunk APC class" of hModule. Without a
    // window (it could not be made) every notification is dropped.
    explicit CEventThunk(HINSTANCE hModule);
    CEventThunk(const CEventThunk&) = delete;
    CEventThunk& operator=(const CEventThunk&) = delete;

    ULONG AddRef();
    ULONG Release();

    // Keeps pTarget with a reference (null: none) and lets go of the last.
    void SetTarget(IKVSrcCallback* pTarget);
    void SetCallInSameThread(BOOL bCallInSameThread);
    bool HasWindow() const { return m_hwnd != nullptr; }

    // Calls the target's EventNotification with the two values as doubles.
    // Returns the target's answer (S_OK without a target), S_FALSE when the
    // notification was dropped (a call in progress, no window, the window's
    // thread gone) or when a posted call was not answered within 10 ms.
    [[nodiscard]] HRESULT Fire(SrcEventNotificationConstants notificationType, LONGLONG llParam1,
                               LONGLONG llParam2);

private:
    ~CEventThunk();

    static LRESULT WindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // The posted call, on the owner thread.
    void RunPostedCall();
    // Marks the call finished with its result.
    void FinishCall(HRESULT hr);

    std::atomic<LONG> m_cRef{1};
    const HINSTANCE m_hModule;
    const DWORD m_dwOwnerThread;
    HWND m_hwnd = nullptr;  // set by the constructor only

    // Set while no call is in progress; mirrors m_bIdle, for waiting.
    CAMEvent m_evIdle{TRUE};

    CCritSec m_cs;
    IKVSrcCallback* m_pTarget GUARDED_BY(m_cs) = nullptr;  // referenced
    bool m_bIdle GUARDED_BY(m_cs) = true;
    HRESULT m_hrLast GUARDED_BY(m_cs) = S_OK;
    BOOL m_bCallInSameThread GUARDED_BY(m_cs) = TRUE;
    // The call being posted.
    SrcEventNotificationConstants m_type GUARDED_BY(m_cs) = EVENTTYPE_NODATAAVAILABLE;
    LONGLONG m_llParam1 GUARDED_BY(m_cs) = 0;
    LONGLONG m_llParam2 GUARDED_BY(m_cs) = 0;
};
