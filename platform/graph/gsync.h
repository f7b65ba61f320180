// In-process lock and condition used inside the media graph (allocator free
// list, output queue, graph event queue). Annotated for the thread-safety
// analysis like CCritSec, but not recursive, so that a condition can wait on
// it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/critsec.h"
#include "platform/wintypes.h"

class CAPABILITY("mutex") CGraphMutex
{
public:
    void Lock() ACQUIRE() { m_mtx.lock(); }
    void Unlock() RELEASE() { m_mtx.unlock(); }
    std::mutex& Native() { return m_mtx; }

private:
    std::mutex m_mtx;
};

class SCOPED_CAPABILITY CGraphLock
{
public:
    explicit CGraphLock(CGraphMutex* pmtx) ACQUIRE(pmtx) : m_pmtx(pmtx) { m_pmtx->Lock(); }
    ~CGraphLock() RELEASE() { m_pmtx->Unlock(); }
    CGraphLock(const CGraphLock&) = delete;
    CGraphLock& operator=(const CGraphLock&) = delete;

private:
    CGraphMutex* m_pmtx;
};

class CGraphCond
{
public:
    // Waits for a notification or dwMs milliseconds (INFINITE: no limit); the
    // mutex is held again on return. Callers re-test their condition: a
    // return says nothing about it. false on time-out.
    bool Wait(CGraphMutex* pmtx, DWORD dwMs) REQUIRES(pmtx)
    {
        std::unique_lock<std::mutex> lk(pmtx->Native(), std::adopt_lock);
        bool bNotified = true;
        if (dwMs == INFINITE)
            m_cv.wait(lk);
        else
            bNotified = m_cv.wait_for(lk, std::chrono::milliseconds(dwMs)) == std::cv_status::no_timeout;
        lk.release();
        return bNotified;
    }
    void NotifyAll() { m_cv.notify_all(); }

private:
    std::condition_variable m_cv;
};
