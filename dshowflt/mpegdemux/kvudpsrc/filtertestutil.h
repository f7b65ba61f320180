// Test helpers of the network source filter: an application's callback
// object, and a thread that registers things on itself and then dispatches
// its messages (or deliberately does not, until told to). Test-only.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "dshowflt/common/commontest_util.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h"
#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace filtertest {

// Time bounds grow under the sanitizers.
constexpr DWORD kSlow = commontest::kSanitizerSlowdown;

// The application's IKVSrcCallback: records each call and answers with
// m_hrAnswer. Lives on the stack; its count only shows who still holds it.
class CTestCallback : public IKVSrcCallback
{
public:
    struct SCall
    {
        DWORD dwThread;
        SrcEventNotificationConstants type;
        double dParam1;
        double dParam2;
    };

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IKVSrcCallback) {
            *ppv = static_cast<IKVSrcCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_cRef); }
    ULONG Release() override { return static_cast<ULONG>(--m_cRef); }

    HRESULT EventNotification(SrcEventNotificationConstants type, double dParam1, double dParam2) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_vCalls.push_back(SCall{GetCurrentThreadId(), type, dParam1, dParam2});
        }
        m_evCalled.Set();
        return m_hrAnswer.load();
    }

    std::vector<SCall> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vCalls;
    }
    size_t CallCount() { return Calls().size(); }
    bool WaitCalled(DWORD dwMs) { return m_evCalled.Wait(dwMs * kSlow) != FALSE; }

    std::atomic<HRESULT> m_hrAnswer{S_OK};
    std::atomic<LONG> m_cRef{1};

private:
    std::mutex m_mtx;
    std::vector<SCall> m_vCalls;
    CAMEvent m_evCalled{FALSE};
};

// An object that is not a callback.
class CNotACallback : public IUnknown
{
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
};

// A thread that runs fnSetup on itself (a registration, which ties the
// callback's window to this thread), then dispatches its messages while
// pumping, or sits without looking at its queue until Pump() is called.
class CAppThread
{
public:
    CAppThread(std::function<void()> fnSetup, bool bPump)
        : m_bPump(bPump), m_thread([this, fnSetup] {
              m_dwId = GetCurrentThreadId();
              fnSetup();
              m_evReady.Set();
              Loop();
              // What the application does when its thread ends: nothing
              // special; its windows go with it.
          })
    {
        (void)m_evReady.Wait(10000 * kSlow);
    }
    ~CAppThread()
    {
        m_bQuit = true;
        m_evWake.Set();
        m_thread.join();
    }
    CAppThread(const CAppThread&) = delete;
    CAppThread& operator=(const CAppThread&) = delete;

    DWORD Id() const { return m_dwId; }
    // Starts dispatching now.
    void Pump()
    {
        m_bPump = true;
        m_evWake.Set();
    }

private:
    void Loop()
    {
        while (!m_bQuit) {
            if (!m_bPump) {
                (void)m_evWake.Wait(100);
                continue;
            }
            HANDLE h = m_evWake.Handle();
            (void)MsgWaitForMultipleObjects(1, &h, FALSE, 100, QS_ALLINPUT);
            (void)PeekAndDispatchMessages();
        }
        (void)PeekAndDispatchMessages();
    }

    std::atomic<bool> m_bPump;
    std::atomic<bool> m_bQuit{false};
    std::atomic<DWORD> m_dwId{0};
    CAMEvent m_evReady{TRUE};
    CAMEvent m_evWake{FALSE};
    std::thread m_thread;
};

}  // namespace filtertest
