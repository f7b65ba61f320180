#include "platform/msgqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/thread.h"

namespace {

constexpr UINT kMsgCall = WM_USER + 1000;

// What the window procedure saw; written and read on the owner thread only,
// except for the event that tells the test a message arrived.
struct SWindowLog
{
    std::vector<WPARAM> vParams;
    std::vector<DWORD> vThreads;
    CAMEvent evDispatched{TRUE};
};

LRESULT LogWndProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg != kMsgCall)
        return DefWindowProc(hwnd, uMsg, wParam, lParam);
    auto* pLog = static_cast<SWindowLog*>(GetMessageWindowContext(hwnd));
    pLog->vParams.push_back(wParam);
    pLog->vThreads.push_back(GetCurrentThreadId());
    if (lParam == 1)
        pLog->evDispatched.Set();
    return 0;
}

}  // namespace

TEST(MessageQueue, PostedMessageRunsOnOwnerThreadAndWakesItsWait)
{
    SWindowLog log;
    CAMEvent evReady(TRUE), evStop(TRUE);
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> dwOwner{0};
    std::atomic<DWORD> dwWakeups{0};
    std::thread owner([&] {
        dwOwner = GetCurrentThreadId();
        hwnd = CreateMessageWindow(LogWndProc, &log);
        evReady.Set();
        const HANDLE h = evStop;
        for (int i = 0; i < 100; ++i) {
            const DWORD dw = MsgWaitForMultipleObjects(1, &h, FALSE, 10000, QS_ALLINPUT);
            if (dw != WAIT_OBJECT_0 + 1)
                break;
            ++dwWakeups;
            (void)PeekAndDispatchMessages();
        }
        EXPECT_TRUE(DestroyMessageWindow(hwnd));
    });
    ASSERT_TRUE(evReady.Wait(10000));
    ASSERT_NE(hwnd.load(), nullptr);

    ASSERT_TRUE(PostMessage(hwnd, kMsgCall, 7, 0));
    ASSERT_TRUE(PostMessage(hwnd, kMsgCall, 8, 0));
    ASSERT_TRUE(PostMessage(hwnd, kMsgCall, 9, 1));
    // This thread's queue is not the window's: nothing runs here.
    EXPECT_FALSE(PeekAndDispatchMessages());
    EXPECT_FALSE(DestroyMessageWindow(hwnd));  // only the owner may
    ASSERT_TRUE(log.evDispatched.Wait(10000));
    evStop.Set();
    owner.join();

    EXPECT_GE(dwWakeups.load(), 1u);
    EXPECT_EQ(log.vParams, (std::vector<WPARAM>{7, 8, 9}));
    for (DWORD dw : log.vThreads)
        EXPECT_EQ(dw, dwOwner.load());
    EXPECT_FALSE(PostMessage(hwnd, kMsgCall, 10, 0));  // destroyed
}

TEST(MessageQueue, DestroyedWindowsAndEndedThreadsTakeNoMessages)
{
    SWindowLog log;
    HWND hwnd = CreateMessageWindow(LogWndProc, &log);
    ASSERT_NE(hwnd, nullptr);
    const HANDLE hQueue = GetThreadMessageQueueHandle();
    EXPECT_EQ(WaitForSingleObject(hQueue, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(PostMessage(hwnd, kMsgCall, 1, 0));
    // A zero wake mask leaves the queue out of the wait.
    CAMEvent ev(TRUE);
    const HANDLE h = ev;
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &h, FALSE, 20, 0), WAIT_TIMEOUT);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &h, FALSE, 0, QS_POSTMESSAGE), WAIT_OBJECT_0 + 1);
    // Queued, then the window goes: the message is taken but not delivered.
    ASSERT_TRUE(DestroyMessageWindow(hwnd));
    EXPECT_FALSE(PostMessage(hwnd, kMsgCall, 2, 0));
    EXPECT_TRUE(PeekAndDispatchMessages());
    EXPECT_TRUE(log.vParams.empty());
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
    EXPECT_FALSE(PeekAndDispatchMessages());

    // A thread that ends takes its windows with it.
    std::atomic<HWND> hwndOrphan{nullptr};
    std::thread t([&] { hwndOrphan = CreateMessageWindow(LogWndProc, &log); });
    t.join();
    ASSERT_NE(hwndOrphan.load(), nullptr);
    EXPECT_FALSE(PostMessage(hwndOrphan, kMsgCall, 3, 0));
    EXPECT_EQ(GetMessageWindowContext(hwndOrphan), nullptr);
    EXPECT_EQ(CreateMessageWindow(nullptr, nullptr), nullptr);
}
