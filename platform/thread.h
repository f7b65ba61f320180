// Threads, tick counts and process ids, and CAMThread: a worker thread that
// serves one synchronous command at a time.
#pragma once

#include <pthread.h>

#include <atomic>

#include "platform/critsec.h"
#include "platform/sync.h"
#include "platform/wintypes.h"

// Milliseconds of CLOCK_MONOTONIC in 32 bits. It wraps after 49.7 days like
// the original, so elapsed times and deadlines go through the helpers below.
DWORD GetTickCount();
void Sleep(DWORD dwMilliseconds);
// The kernel's thread id (what ps -L and /proc show); the main thread's id
// equals the process id.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();
// FALSE only when no such process exists. A process we may not signal
// (EPERM) is alive; a zombie that has not been reaped still counts as alive.
bool IsProcessAlive(DWORD dwProcessId);

// Tick arithmetic that stays right across the 32-bit wrap. A deadline is a
// tick count; all ones means "no deadline". Comparisons are modulo 2^32, so
// they hold for deadlines less than 24.8 days (2^31 ms) away.
constexpr DWORD kNoDeadline = 0xFFFFFFFFu;

// Milliseconds from dwEarlier to dwLater.
constexpr DWORD TickDiff(DWORD dwLater, DWORD dwEarlier)
{
    return dwLater - dwEarlier;
}

// The deadline dwTimeoutMs after dwNow; INFINITE gives kNoDeadline. Longer
// time-outs are cut to 2^31 - 1 ms, and a sum that lands on all ones is moved
// 1 ms earlier so that it is not mistaken for "no deadline".
constexpr DWORD TickDeadline(DWORD dwNow, DWORD dwTimeoutMs)
{
    if (dwTimeoutMs == INFINITE)
        return kNoDeadline;
    if (dwTimeoutMs > 0x7FFFFFFFu)
        dwTimeoutMs = 0x7FFFFFFFu;
    const DWORD dwDeadline = dwNow + dwTimeoutMs;
    return dwDeadline == kNoDeadline ? kNoDeadline - 1 : dwDeadline;
}

// Milliseconds left until dwDeadline: INFINITE for kNoDeadline, 0 once it has
// passed.
constexpr DWORD TickDeadlineLeft(DWORD dwDeadline, DWORD dwNow)
{
    if (dwDeadline == kNoDeadline)
        return INFINITE;
    const DWORD dwLeft = dwDeadline - dwNow;
    return static_cast<int32_t>(dwLeft) > 0 ? dwLeft : 0;
}

// A worker thread with a one-slot request/reply handshake.
//
// Client threads call CallWorker, which serialises them on m_AccessLock (the
// client lock, held for the whole command), stores the request, sets the
// request event and blocks until the worker calls Reply. The worker runs
// ThreadProc: it blocks in GetRequest or polls with CheckRequest, and answers
// every request that a caller waits for with Reply. TryPostRequest hands over
// a request that nobody waits for, and only when no client holds the lock, so
// a post never overwrites the command of a client that waits for its reply.
// m_WorkerLock is free for the derived class to guard what the worker shares.
//
// Lock order: m_AccessLock before any lock of the derived class.
//
// The request event is manual-reset: it stays set until the worker takes or
// answers the request, so a worker busy with one request can put it in its
// waits to notice the next. The completion event is auto-reset. A derived
// class must end its thread (reply to an exit request, then Close) before its
// own members are destroyed; or the worker may delete its own object from
// ThreadProc once no client will touch it again (Close then detaches).
class CAMThread
{
public:
    CAMThread();
    virtual ~CAMThread();
    CAMThread(const CAMThread&) = delete;
    CAMThread& operator=(const CAMThread&) = delete;

    // Starts the thread; FALSE when it runs already or cannot be started.
    // Returns once the worker has recorded its thread id.
    BOOL Create();
    // Sends dwParam and blocks until the reply; (DWORD)E_FAIL when there is
    // no thread or it ended without replying.
    DWORD CallWorker(DWORD dwParam);
    // As CallWorker, but gives up after dwMilliseconds and answers
    // dwTimeoutReply; the request goes on in the background and its reply is
    // discarded. Send the next request only after WaitForReply, or the late
    // reply would answer it.
    DWORD CallWorkerTimeout(DWORD dwParam, DWORD dwMilliseconds, DWORD dwTimeoutReply);
    // TRUE once the worker has answered the request still outstanding (takes
    // that reply), FALSE after dwMilliseconds.
    BOOL WaitForReply(DWORD dwMilliseconds);
    // Sends dwParam without waiting when the client lock is free and the
    // thread exists; FALSE (nothing sent) otherwise.
    BOOL TryPostRequest(DWORD dwParam);
    // Waits for the joinable thread to end; ThreadExists() is FALSE after.
    void Close();
    BOOL ThreadExists();
    // The worker's kernel thread id, 0 while no thread was created.
    DWORD GetThreadId() const { return m_dwThreadId.load(std::memory_order_acquire); }

    // Worker side.
    // Blocks for the next request and takes it (clears the request event).
    DWORD GetRequest();
    // TRUE and the request when one is waiting; never blocks, takes nothing.
    BOOL CheckRequest(DWORD* pParam);
    void Reply(DWORD dw);
    HANDLE GetRequestHandle() const { return m_evSend.Handle(); }
    DWORD GetRequestParam() const { return m_dwParam.load(std::memory_order_acquire); }

    CCritSec m_AccessLock;  // client lock
    CCritSec m_WorkerLock;

protected:
    virtual DWORD ThreadProc() = 0;

private:
    struct SExit;
    struct SStart;
    static void* InitialThreadProc(void* pv);

    CAMEvent m_evSend{TRUE};       // a request is waiting
    CAMEvent m_evComplete{FALSE};  // the worker replied
    CAMEvent m_evStarted{FALSE};   // the worker recorded its id
    std::atomic<DWORD> m_dwParam{0};
    std::atomic<DWORD> m_dwReturnVal{0};
    std::atomic<DWORD> m_dwThreadId{0};

    // Guards the thread handle; never held while joining. m_pExit is only
    // replaced while m_AccessLock is held too, so CallWorker may wait on it.
    CCritSec m_csThread;
    pthread_t m_thread GUARDED_BY(m_csThread){};
    bool m_bThread GUARDED_BY(m_csThread) = false;
    SExit* m_pExit GUARDED_BY(m_csThread) = nullptr;
};
