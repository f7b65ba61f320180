// Locks. CCritSec is recursive, like the critical sections the rest of the
// code was designed around: a thread that holds it may take it again.
#pragma once

#include <mutex>

#if defined(__clang__)
#define KV_TSA(x) __attribute__((x))
#else
#define KV_TSA(x)
#endif

#define CAPABILITY(x) KV_TSA(capability(x))
#define SCOPED_CAPABILITY KV_TSA(scoped_lockable)
#define GUARDED_BY(x) KV_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) KV_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KV_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KV_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KV_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KV_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KV_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KV_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KV_TSA(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KV_TSA(no_thread_safety_analysis)

class CAPABILITY("mutex") CCritSec
{
public:
    CCritSec() = default;
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;

    void Lock() ACQUIRE() { m_mtx.lock(); }
    void Unlock() RELEASE() { m_mtx.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return m_mtx.try_lock(); }

private:
    std::recursive_mutex m_mtx;
};

class SCOPED_CAPABILITY CAutoLock
{
public:
    explicit CAutoLock(CCritSec* pcs) ACQUIRE(pcs) : m_pcs(pcs) { m_pcs->Lock(); }
    ~CAutoLock() RELEASE() { m_pcs->Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCritSec* m_pcs;
};
