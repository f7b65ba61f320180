// Waitable objects: events, semaphores and waitable timers, and the waits
// that block on any mix of them, of sockets and of a thread's message queue.
//
// Every object is a file descriptor (eventfd, eventfd in semaphore mode,
// timerfd), so a single poll() can wait on all of them and an object can be
// handed to another process. A process-wide table records the kind of each
// descriptor that this layer created or received, because a wait has to know
// whether winning it consumes the object: an auto-reset event, an auto-reset
// timer and a semaphore are consumed by the one waiter that wins, exactly as on
// the original platform; a manual-reset object is not. Any other descriptor
// (a socket) counts as signalled while it is readable, hung up or in error, and
// a wait consumes nothing from it.
//
// Objects must be closed with CloseHandle, which clears the table entry before
// the descriptor number can be reused.
#pragma once

#include "platform/hresult.h"
#include "platform/wintypes.h"

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
// Never returned: an event or semaphore cannot be abandoned here, and one
// whose owner process ended simply stays unsignalled. Kept so that callers
// written for the original platform's wait results compile unchanged.
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Wake masks of MsgWaitForMultipleObjects. Posted messages are the only input
// a thread's queue carries, so every non-zero mask wakes on them; 0 leaves the
// queue out of the wait.
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_ALLINPUT = 0x04FF;

// Creation returns INVALID_HANDLE_VALUE on failure (errno says why).
HANDLE CreateEvent(BOOL bManualReset, BOOL bInitialState);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);

// 0 <= lInitialCount <= lMaximumCount, lMaximumCount > 0.
HANDLE CreateSemaphore(LONG lInitialCount, LONG lMaximumCount);
// Fails, changing nothing, when the count would pass the maximum. The count
// and the maximum are kept by the process that created the semaphore; a
// semaphore received from another process is released and consumed as usual
// but its maximum is not enforced there.
BOOL ReleaseSemaphore(HANDLE h, LONG lReleaseCount, LONG* plPreviousCount);

// A timer becomes signalled lDueMs after SetWaitableTimer and then every
// lPeriodMs (0 = once). Setting it again clears a pending signal.
HANDLE CreateWaitableTimer(BOOL bManualReset);
BOOL SetWaitableTimer(HANDLE h, LONG lDueMs, LONG lPeriodMs);

BOOL CloseHandle(HANDLE h);
// A second handle to the same object in this process, keeping its kind, so
// that each holder closes its own (how a writer hands its events to a reader
// in its own process). *phDup is INVALID_HANDLE_VALUE on failure.
[[nodiscard]] HRESULT DuplicateHandle(HANDLE h, HANDLE* phDup);

// WAIT_OBJECT_0 + i for the lowest signalled index, WAIT_TIMEOUT, or
// WAIT_FAILED for bad arguments (bWaitAll is not supported) or a descriptor
// that is not open. Never returns before dwMilliseconds have passed unless an
// object fired. Interrupted system calls are resumed with the time left.
DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* ph, BOOL bWaitAll, DWORD dwMilliseconds);
// As above, and WAIT_OBJECT_0 + nCount while the calling thread's message
// queue holds posted messages (see msgqueue.h). The queue is not emptied:
// the caller dispatches with PeekAndDispatchMessages.
DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* ph, BOOL bWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask);

// An event object that owns its descriptor. Construction cannot report
// failure; a failed one has Handle() == INVALID_HANDLE_VALUE and never fires.
class CAMEvent
{
public:
    explicit CAMEvent(BOOL bManualReset = FALSE);
    ~CAMEvent();
    CAMEvent(const CAMEvent&) = delete;
    CAMEvent& operator=(const CAMEvent&) = delete;

    HANDLE Handle() const { return m_hEvent; }
    operator HANDLE() const { return m_hEvent; }
    void Set();
    void Reset();
    BOOL Wait(DWORD dwMs = INFINITE);
    // Wait(0): TRUE when signalled; consumes an auto-reset event.
    BOOL Check();

private:
    HANDLE m_hEvent;
};

// Hands a handle to another process over a connected Unix-domain socket
// (SCM_RIGHTS). The object's kind travels with it, so an auto-reset event
// stays auto-reset in the receiver and SetEvent on either side wakes waiters
// on the other. The sender keeps its own handle.
[[nodiscard]] HRESULT SendHandle(int fdUnixSocket, HANDLE h);
// Blocks for one handle sent by SendHandle. HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE)
// when the peer closed; KVMM_E_INVALID_DATA for a message without a handle or
// without a valid kind (any descriptor that came with it is closed).
[[nodiscard]] HRESULT ReceiveHandle(int fdUnixSocket, HANDLE* ph);
