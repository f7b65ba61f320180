#include "platform/sync.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/msgqueue.h"

namespace {

enum EKind : uint8_t {
    kForeign = 0,  // not ours: a socket, a pipe
    kManualEvent,
    kAutoEvent,
    kSemaphore,
    kManualTimer,
    kAutoTimer,
    kKindCount
};

struct SHandleEntry
{
    std::atomic<uint8_t> kind{kForeign};
    std::atomic<LONG> count{0};  // semaphores: the count as this process knows it
    std::atomic<LONG> max{0};
    // Signals started and finished in this process. The kernel orders what
    // a signaller did before SetEvent ahead of the waiter's wake-up, but
    // neither the C++ memory model nor TSan can see that through a
    // descriptor; and a woken waiter may close the object while the
    // signaller is still returning from write(). So a waiter that wins takes
    // the signallers' side through these counters (see Acquire).
    std::atomic<uint32_t> seqStarted{0};
    std::atomic<uint32_t> seqDone{0};
};

// Indexed by descriptor. Zero-initialised, so untouched pages cost nothing.
constexpr int kMaxHandles = 1 << 16;
constinit SHandleEntry g_aEntries[kMaxHandles];

SHandleEntry* Entry(HANDLE h)
{
    return (h >= 0 && h < kMaxHandles) ? &g_aEntries[h] : nullptr;
}

EKind KindOf(HANDLE h)
{
    SHandleEntry* p = Entry(h);
    return p ? static_cast<EKind>(p->kind.load(std::memory_order_acquire)) : kForeign;
}

bool IsEvent(EKind k) { return k == kManualEvent || k == kAutoEvent; }
bool IsTimer(EKind k) { return k == kManualTimer || k == kAutoTimer; }

HANDLE Register(int fd, EKind kind, LONG lCount, LONG lMax)
{
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    SHandleEntry* p = Entry(fd);
    if (!p) {
        close(fd);
        errno = EMFILE;
        return INVALID_HANDLE_VALUE;
    }
    p->count.store(lCount, std::memory_order_relaxed);
    p->max.store(lMax, std::memory_order_relaxed);
    p->kind.store(kind, std::memory_order_release);
    return fd;
}

// Brackets one signal (set, release, arm) of a handle.
class CSignal
{
public:
    explicit CSignal(HANDLE h) : m_p(Entry(h))
    {
        if (m_p)
            m_p->seqStarted.fetch_add(1, std::memory_order_acq_rel);
    }
    ~CSignal()
    {
        if (m_p)
            m_p->seqDone.fetch_add(1, std::memory_order_release);
    }
    CSignal(const CSignal&) = delete;
    CSignal& operator=(const CSignal&) = delete;

private:
    SHandleEntry* m_p;
};

// Called by the waiter that won: waits until every signal of this process
// that may have woken it has left its system call. The signal that woke us
// already took effect, so this is a yield or two, at most one system call of
// a concurrent signaller.
void Acquire(HANDLE h)
{
    SHandleEntry* p = Entry(h);
    if (!p)
        return;
    const uint32_t uTarget = p->seqStarted.load(std::memory_order_acquire);
    while (static_cast<int32_t>(p->seqDone.load(std::memory_order_acquire) - uTarget) < 0)
        sched_yield();
}

bool WriteCounter(HANDLE h, uint64_t u)
{
    ssize_t n;
    do {
        n = write(h, &u, sizeof(u));
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof(u));
}

// Non-blocking read of an eventfd/timerfd: true when something was taken.
bool ReadCounter(HANDLE h)
{
    uint64_t u;
    ssize_t n;
    do {
        n = read(h, &u, sizeof(u));
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof(u));
}

// Takes a signalled object for the calling waiter. False when another waiter
// got there first; the caller then goes back to waiting.
bool TryConsume(HANDLE h, EKind kind)
{
    switch (kind) {
    case kAutoEvent:
    case kAutoTimer:
        return ReadCounter(h);
    case kSemaphore:
        if (!ReadCounter(h))  // EFD_SEMAPHORE: takes exactly one unit
            return false;
        Entry(h)->count.fetch_sub(1, std::memory_order_acq_rel);
        return true;
    default:
        return true;
    }
}

timespec Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

int64_t ToNs(const timespec& ts)
{
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

DWORD WaitCore(DWORD nCount, const HANDLE* ph, BOOL bWaitAll, DWORD dwMilliseconds, HANDLE hQueue)
{
    const DWORD nPoll = nCount + (hQueue >= 0 ? 1 : 0);
    if (bWaitAll || nCount > MAXIMUM_WAIT_OBJECTS || (nCount > 0 && !ph) || nPoll == 0) {
        errno = EINVAL;
        return WAIT_FAILED;
    }
    pollfd afd[MAXIMUM_WAIT_OBJECTS + 1];
    EKind akind[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) {
        afd[i] = pollfd{ph[i], POLLIN, 0};
        akind[i] = KindOf(ph[i]);
    }
    if (hQueue >= 0)
        afd[nCount] = pollfd{hQueue, POLLIN, 0};

    const int64_t llDeadline = ToNs(Now()) + static_cast<int64_t>(dwMilliseconds) * 1000000;
    for (bool bFirst = true;; bFirst = false) {
        timespec tsLeft;
        timespec* pLeft = nullptr;
        if (dwMilliseconds != INFINITE) {
            int64_t llLeft = llDeadline - ToNs(Now());
            if (llLeft <= 0) {
                if (!bFirst)
                    return WAIT_TIMEOUT;
                llLeft = 0;  // a zero time-out still looks once
            }
            tsLeft.tv_sec = llLeft / 1000000000;
            tsLeft.tv_nsec = llLeft % 1000000000;
            pLeft = &tsLeft;
        }
        const int rc = ppoll(afd, nPoll, pLeft, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return WAIT_FAILED;
        }
        if (rc == 0)
            continue;  // the loop head decides whether time is up
        for (DWORD i = 0; i < nPoll; ++i) {
            const short re = afd[i].revents;
            if (re & POLLNVAL) {
                errno = EBADF;
                return WAIT_FAILED;
            }
            if (!(re & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (i == nCount)
                return WAIT_OBJECT_0 + nCount;  // messages; the caller dispatches them
            if (TryConsume(ph[i], akind[i])) {
                Acquire(ph[i]);
                return WAIT_OBJECT_0 + i;
            }
        }
        // Every signalled object was taken by a racing waiter: wait again
        // with the time that is left.
    }
}

}  // namespace

HANDLE CreateEvent(BOOL bManualReset, BOOL bInitialState)
{
    const int fd = eventfd(bInitialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    return Register(fd, bManualReset ? kManualEvent : kAutoEvent, 0, 0);
}

BOOL SetEvent(HANDLE h)
{
    if (!IsEvent(KindOf(h))) {
        errno = EBADF;
        return FALSE;
    }
    CSignal signal(h);
    return WriteCounter(h, 1);
}

BOOL ResetEvent(HANDLE h)
{
    if (!IsEvent(KindOf(h))) {
        errno = EBADF;
        return FALSE;
    }
    if (!ReadCounter(h) && errno != EAGAIN)
        return FALSE;
    return TRUE;
}

HANDLE CreateSemaphore(LONG lInitialCount, LONG lMaximumCount)
{
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    const int fd = eventfd(static_cast<unsigned>(lInitialCount), EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    return Register(fd, kSemaphore, lInitialCount, lMaximumCount);
}

BOOL ReleaseSemaphore(HANDLE h, LONG lReleaseCount, LONG* plPreviousCount)
{
    SHandleEntry* p = Entry(h);
    if (KindOf(h) != kSemaphore || lReleaseCount <= 0) {
        errno = KindOf(h) != kSemaphore ? EBADF : EINVAL;
        return FALSE;
    }
    // Claim the room first, so that two racing releases cannot both pass the
    // maximum; the count is therefore never below the descriptor's.
    const LONG lMax = p->max.load(std::memory_order_relaxed);
    LONG lPrev = p->count.load(std::memory_order_relaxed);
    do {
        if (lPrev > lMax - lReleaseCount) {
            errno = EOVERFLOW;
            return FALSE;
        }
    } while (!p->count.compare_exchange_weak(lPrev, lPrev + lReleaseCount, std::memory_order_acq_rel));
    CSignal signal(h);
    if (!WriteCounter(h, static_cast<uint64_t>(lReleaseCount))) {
        p->count.fetch_sub(lReleaseCount, std::memory_order_acq_rel);
        return FALSE;
    }
    if (plPreviousCount)
        *plPreviousCount = lPrev < 0 ? 0 : lPrev;
    return TRUE;
}

HANDLE CreateWaitableTimer(BOOL bManualReset)
{
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return Register(fd, bManualReset ? kManualTimer : kAutoTimer, 0, 0);
}

BOOL SetWaitableTimer(HANDLE h, LONG lDueMs, LONG lPeriodMs)
{
    if (!IsTimer(KindOf(h)) || lDueMs < 0 || lPeriodMs < 0) {
        errno = EINVAL;
        return FALSE;
    }
    itimerspec its{};
    its.it_value.tv_sec = lDueMs / 1000;
    its.it_value.tv_nsec = (lDueMs % 1000) * 1000000L;
    if (lDueMs == 0)
        its.it_value.tv_nsec = 1;  // an all-zero value would disarm the timer
    its.it_interval.tv_sec = lPeriodMs / 1000;
    its.it_interval.tv_nsec = (lPeriodMs % 1000) * 1000000L;
    CSignal signal(h);
    return timerfd_settime(h, 0, &its, nullptr) == 0;
}

BOOL CloseHandle(HANDLE h)
{
    if (h < 0) {
        errno = EBADF;
        return FALSE;
    }
    // Forget the kind before the number can be handed out again.
    if (SHandleEntry* p = Entry(h))
        p->kind.store(kForeign, std::memory_order_release);
    return close(h) == 0;
}

HRESULT DuplicateHandle(HANDLE h, HANDLE* phDup)
{
    if (!phDup)
        return E_POINTER;
    *phDup = INVALID_HANDLE_VALUE;
    if (h < 0)
        return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
    const int fd = fcntl(h, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return HrFromErrno(errno);
    const EKind kind = KindOf(h);
    // The count of a semaphore stays with the original's entry; as with a
    // received one, the copy does not enforce the maximum.
    const HANDLE hDup = Register(fd, kind, 0, kind == kSemaphore ? INT32_MAX : 0);
    if (hDup < 0)
        return HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);
    *phDup = hDup;
    return S_OK;
}

DWORD WaitForSingleObject(HANDLE h, DWORD dwMilliseconds)
{
    return WaitCore(1, &h, FALSE, dwMilliseconds, INVALID_HANDLE_VALUE);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* ph, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return WaitCore(nCount, ph, bWaitAll, dwMilliseconds, INVALID_HANDLE_VALUE);
}

DWORD MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* ph, BOOL bWaitAll, DWORD dwMilliseconds,
                                DWORD dwWakeMask)
{
    HANDLE hQueue = INVALID_HANDLE_VALUE;
    if (dwWakeMask != 0) {
        hQueue = GetThreadMessageQueueHandle();
        if (hQueue < 0)
            return WAIT_FAILED;
    }
    return WaitCore(nCount, ph, bWaitAll, dwMilliseconds, hQueue);
}

CAMEvent::CAMEvent(BOOL bManualReset) : m_hEvent(CreateEvent(bManualReset, FALSE)) {}

CAMEvent::~CAMEvent()
{
    if (m_hEvent >= 0)
        CloseHandle(m_hEvent);
}

void CAMEvent::Set()
{
    (void)SetEvent(m_hEvent);
}

void CAMEvent::Reset()
{
    (void)ResetEvent(m_hEvent);
}

BOOL CAMEvent::Wait(DWORD dwMs)
{
    return m_hEvent >= 0 && WaitForSingleObject(m_hEvent, dwMs) == WAIT_OBJECT_0;
}

BOOL CAMEvent::Check()
{
    return Wait(0);
}

// One message per handle: "KVH" and the kind, with the descriptor as
// SCM_RIGHTS ancillary data.
namespace {
constexpr size_t kcbHandleMsg = 4;
}

HRESULT SendHandle(int fdUnixSocket, HANDLE h)
{
    if (h < 0)
        return E_HANDLE;
    BYTE abMsg[kcbHandleMsg] = {'K', 'V', 'H', KindOf(h)};
    iovec iov{abMsg, sizeof(abMsg)};
    union {
        cmsghdr align;
        char buf[CMSG_SPACE(sizeof(int))];
    } ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl.buf;
    msg.msg_controllen = sizeof(ctrl.buf);
    cmsghdr* pc = CMSG_FIRSTHDR(&msg);
    pc->cmsg_level = SOL_SOCKET;
    pc->cmsg_type = SCM_RIGHTS;
    pc->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(pc), &h, sizeof(int));
    ssize_t n;
    do {
        n = sendmsg(fdUnixSocket, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return HrFromErrno(errno, true);
    return n == static_cast<ssize_t>(sizeof(abMsg)) ? S_OK : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
}

HRESULT ReceiveHandle(int fdUnixSocket, HANDLE* ph)
{
    if (!ph)
        return E_POINTER;
    *ph = INVALID_HANDLE_VALUE;
    constexpr int kMaxFds = 4;  // room to notice (and close) surplus descriptors
    BYTE abMsg[kcbHandleMsg + 1];
    iovec iov{abMsg, sizeof(abMsg)};
    union {
        cmsghdr align;
        char buf[CMSG_SPACE(sizeof(int) * kMaxFds)];
    } ctrl;
    memset(&ctrl, 0, sizeof(ctrl));
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl.buf;
    msg.msg_controllen = sizeof(ctrl.buf);
    ssize_t n;
    do {
        n = recvmsg(fdUnixSocket, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return HrFromErrno(errno, true);

    int fd = -1;
    for (cmsghdr* pc = CMSG_FIRSTHDR(&msg); pc; pc = CMSG_NXTHDR(&msg, pc)) {
        if (pc->cmsg_level != SOL_SOCKET || pc->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t nFds = (pc->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < nFds; ++i) {
            int fdGot;
            memcpy(&fdGot, CMSG_DATA(pc) + i * sizeof(int), sizeof(int));
            if (fd < 0)
                fd = fdGot;
            else
                close(fdGot);
        }
    }
    if (n == 0 && fd < 0)
        return HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE);
    const bool bValid = fd >= 0 && !(msg.msg_flags & (MSG_CTRUNC | MSG_TRUNC)) &&
                        n == static_cast<ssize_t>(kcbHandleMsg) && memcmp(abMsg, "KVH", 3) == 0 &&
                        abMsg[3] < kKindCount;
    if (!bValid) {
        if (fd >= 0)
            close(fd);
        return KVMM_E_INVALID_DATA;
    }
    const EKind kind = static_cast<EKind>(abMsg[3]);
    // This process cannot see the count the sender keeps, so it does not
    // enforce the maximum of a received semaphore.
    const LONG lMax = (kind == kSemaphore) ? INT32_MAX : 0;
    const HANDLE h = Register(fd, kind, 0, lMax);
    if (h < 0)
        return HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES);
    *ph = h;
    return S_OK;
}
