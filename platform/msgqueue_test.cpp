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

TEST(MessageQueue, WindowClassesByNameOutliveNoneOfTheirWindows)
{
    SWindowLog log;
    int nModuleA = 0, nModuleB = 0;
    const HINSTANCE hA = reinterpret_cast<HINSTANCE>(&nModuleA);
    const HINSTANCE hB = reinterpret_cast<HINSTANCE>(&nModuleB);
    WNDCLASS wc{};
    wc.lpfnWndProc = LogWndProc;
    wc.hInstance = hA;
    wc.lpszClassName = u"KV Test APC class";
    const ATOM atom = RegisterClass(&wc);
    ASSERT_NE(atom, 0);
    // The name is taken for this module, in any case; another module may
    // have its own class of that name.
    WNDCLASS wcUpper = wc;
    wcUpper.lpszClassName = u"KV TEST APC CLASS";
    EXPECT_EQ(RegisterClass(&wcUpper), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    WNDCLASS wcOther = wc;
    wcOther.hInstance = hB;
    EXPECT_NE(RegisterClass(&wcOther), 0);
    EXPECT_TRUE(UnregisterClass(u"kv test apc class", hB));
    WNDCLASS wcBad = wc;
    wcBad.lpfnWndProc = nullptr;
    EXPECT_EQ(RegisterClass(&wcBad), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(CreateWindowEx(0, u"KV Test APC class", u"w", 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, nullptr, nullptr, hB, &log),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);

    // A window of the class on another thread: it runs the class's procedure
    // there, and keeps the class registered until that thread ends.
    CAMEvent evCreated(TRUE), evDispatch(TRUE);
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> dwOwner{0};
    std::thread owner([&] {
        dwOwner = GetCurrentThreadId();
        hwnd = CreateWindowEx(0, u"kv test APC class", u"CEventThunk APC", 0, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hA, &log);
        evCreated.Set();
        if (evDispatch.Wait(10000))
            (void)PeekAndDispatchMessages();
    });
    ASSERT_TRUE(evCreated.Wait(10000));
    ASSERT_NE(hwnd.load(), nullptr);
    EXPECT_EQ(GetMessageWindowContext(hwnd), &log);
    EXPECT_FALSE(UnregisterClass(u"KV Test APC class", hA));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    EXPECT_FALSE(DestroyWindow(hwnd));  // not this thread's
    ASSERT_TRUE(PostMessage(hwnd, kMsgCall, 2024, 1));
    evDispatch.Set();
    owner.join();
    EXPECT_EQ(log.vParams, (std::vector<WPARAM>{2024}));
    EXPECT_EQ(log.vThreads, (std::vector<DWORD>{dwOwner.load()}));
    EXPECT_TRUE(UnregisterClass(u"KV Test APC class", hA));  // the thread took its window along
    EXPECT_FALSE(UnregisterClass(u"KV Test APC class", hA));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);

    // Destroying the last window frees the class as well.
    ASSERT_NE(RegisterClass(&wc), 0);
    HWND hwndHere = CreateWindowEx(0, u"KV Test APC class", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, hA, nullptr);
    ASSERT_NE(hwndHere, nullptr);
    EXPECT_FALSE(UnregisterClass(u"KV Test APC class", hA));
    EXPECT_TRUE(DestroyWindow(hwndHere));
    EXPECT_TRUE(UnregisterClass(u"KV Test APC class", hA));
}
