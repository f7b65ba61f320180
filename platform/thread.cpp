#include "platform/thread.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

DWORD GetTickCount()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ullMs = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    return static_cast<DWORD>(ullMs);
}

void Sleep(DWORD dwMilliseconds)
{
    for (;;) {
        timespec ts{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        if (dwMilliseconds != INFINITE)
            return;
    }
}

DWORD GetCurrentThreadId()
{
    // Not cached: a cached id would be wrong in the child of a fork.
    return static_cast<DWORD>(gettid());
}

DWORD GetCurrentProcessId()
{
    return static_cast<DWORD>(getpid());
}

bool IsProcessAlive(DWORD dwProcessId)
{
    // 0 and values past INT_MAX would name a process group or every process.
    if (dwProcessId == 0 || dwProcessId > static_cast<DWORD>(INT_MAX))
        return false;
    return kill(static_cast<pid_t>(dwProcessId), 0) == 0 || errno != ESRCH;
}

// The event that says a thread has left ThreadProc. It has its own reference
// count because a worker may destroy its CAMThread from inside ThreadProc
// (after detaching itself in Close) and still has to set it afterwards.
struct CAMThread::SExit
{
    CAMEvent ev{TRUE};
    std::atomic<int> nRef{1};
    void Release()
    {
        if (nRef.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
};

struct CAMThread::SStart
{
    CAMThread* pThread;
    SExit* pExit;
};

CAMThread::CAMThread() = default;

CAMThread::~CAMThread()
{
    Close();
    CAutoLock lock(&m_csThread);
    if (m_pExit)
        m_pExit->Release();
}

BOOL CAMThread::Create()
{
    CAutoLock lockClient(&m_AccessLock);
    CAutoLock lock(&m_csThread);
    if (m_bThread || m_evSend.Handle() < 0 || m_evComplete.Handle() < 0 || m_evStarted.Handle() < 0)
        return FALSE;
    SExit* pExit = new (std::nothrow) SExit;
    if (!pExit || pExit->ev.Handle() < 0) {
        delete pExit;
        return FALSE;
    }
    pExit->nRef.store(2);  // ours and the thread's
    SStart start{this, pExit};
    m_evSend.Reset();
    m_evComplete.Reset();
    m_evStarted.Reset();
    pthread_t thread;
    const int rc = pthread_create(&thread, nullptr, InitialThreadProc, &start);
    if (rc != 0) {
        delete pExit;
        errno = rc;
        return FALSE;
    }
    if (m_pExit)
        m_pExit->Release();
    m_pExit = pExit;
    m_thread = thread;
    m_bThread = true;
    // The worker copies its start block and records its id before this
    // returns, so callers can compare thread ids at once.
    m_evStarted.Wait(INFINITE);
    return TRUE;
}

void* CAMThread::InitialThreadProc(void* pv)
{
    const SStart start = *static_cast<SStart*>(pv);
    start.pThread->m_dwThreadId.store(GetCurrentThreadId(), std::memory_order_release);
    start.pThread->m_evStarted.Set();
    start.pThread->ThreadProc();
    // The CAMThread may be gone by now; only the exit block is still ours.
    start.pExit->ev.Set();
    start.pExit->Release();
    return nullptr;
}

DWORD CAMThread::CallWorker(DWORD dwParam)
{
    return CallWorkerTimeout(dwParam, INFINITE, static_cast<DWORD>(E_FAIL));
}

DWORD CAMThread::CallWorkerTimeout(DWORD dwParam, DWORD dwMilliseconds, DWORD dwTimeoutReply)
{
    CAutoLock lockClient(&m_AccessLock);
    HANDLE hExited;
    {
        CAutoLock lock(&m_csThread);
        if (!m_bThread)
            return static_cast<DWORD>(E_FAIL);
        hExited = m_pExit->ev.Handle();  // stays open: replaced only under m_AccessLock
    }
    // A reply to an earlier posted request, which nobody waited for, must
    // not be taken for the answer to this one.
    m_evComplete.Reset();
    m_dwParam.store(dwParam, std::memory_order_release);
    m_evSend.Set();
    // Completion first: a worker that replies and then exits has answered.
    const HANDLE ah[2] = {m_evComplete.Handle(), hExited};
    switch (WaitForMultipleObjects(2, ah, FALSE, dwMilliseconds)) {
    case WAIT_OBJECT_0:
        return m_dwReturnVal.load(std::memory_order_acquire);
    case WAIT_TIMEOUT:
        return dwTimeoutReply;
    default:
        return static_cast<DWORD>(E_FAIL);
    }
}

BOOL CAMThread::WaitForReply(DWORD dwMilliseconds)
{
    return m_evComplete.Wait(dwMilliseconds);
}

BOOL CAMThread::TryPostRequest(DWORD dwParam)
{
    if (!m_AccessLock.TryLock())
        return FALSE;
    const BOOL bPosted = ThreadExists();
    if (bPosted) {
        m_dwParam.store(dwParam, std::memory_order_release);
        m_evSend.Set();
    }
    m_AccessLock.Unlock();
    return bPosted;
}

void CAMThread::Close()
{
    pthread_t thread;
    {
        CAutoLock lock(&m_csThread);
        if (!m_bThread)
            return;
        m_bThread = false;
        thread = m_thread;
    }
    // A worker that closes its own object cannot wait for itself.
    if (pthread_equal(thread, pthread_self()))
        pthread_detach(thread);
    else
        pthread_join(thread, nullptr);
}

BOOL CAMThread::ThreadExists()
{
    CAutoLock lock(&m_csThread);
    return m_bThread;
}

DWORD CAMThread::GetRequest()
{
    m_evSend.Wait(INFINITE);
    const DWORD dw = m_dwParam.load(std::memory_order_acquire);
    // Taken: the event no longer cancels the worker's own waits while it
    // works on this request.
    m_evSend.Reset();
    return dw;
}

BOOL CAMThread::CheckRequest(DWORD* pParam)
{
    if (!m_evSend.Check())
        return FALSE;
    if (pParam)
        *pParam = m_dwParam.load(std::memory_order_acquire);
    return TRUE;
}

void CAMThread::Reply(DWORD dw)
{
    m_dwReturnVal.store(dw, std::memory_order_release);
    m_evSend.Reset();
    m_evComplete.Set();
}
