#include "platform/thread.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kExit = 0xE;

// A worker whose ThreadProc is given by the test.
class CTestThread : public CAMThread
{
public:
    explicit CTestThread(std::function<DWORD(CTestThread*)> fn) : m_fn(std::move(fn)) {}
    ~CTestThread() override { Close(); }

    // Answers kExit with kExit and ends; anything else with what fn says.
    static DWORD ServeUntilExit(CTestThread* p, const std::function<DWORD(DWORD)>& fnServe)
    {
        for (;;) {
            const DWORD dw = p->GetRequest();
            if (dw == kExit) {
                p->Reply(kExit);
                return 0;
            }
            p->Reply(fnServe(dw));
        }
    }

protected:
    DWORD ThreadProc() override { return m_fn(this); }

private:
    std::function<DWORD(CTestThread*)> m_fn;
};

}  // namespace

TEST(CAMThreadTest, CallWorkerBlocksUntilReply)
{
    CAMEvent evGate(TRUE), evClientDone(TRUE);
    std::atomic<DWORD> dwWorkerId{0};
    CTestThread thread([&](CTestThread* p) {
        dwWorkerId = GetCurrentThreadId();
        return CTestThread::ServeUntilExit(p, [&](DWORD dw) {
            evGate.Wait(10000);
            return dw + 100;
        });
    });
    ASSERT_TRUE(thread.Create());
    EXPECT_FALSE(thread.Create());  // already running
    EXPECT_TRUE(thread.ThreadExists());

    std::atomic<DWORD> dwResult{0};
    std::thread client([&] {
        dwResult = thread.CallWorker(5);
        evClientDone.Set();
    });
    // The worker holds the reply back, so the client must still be blocked.
    EXPECT_FALSE(evClientDone.Wait(200));
    evGate.Set();
    EXPECT_TRUE(evClientDone.Wait(10000));
    client.join();
    EXPECT_EQ(dwResult.load(), 105u);

    EXPECT_EQ(thread.GetThreadId(), dwWorkerId.load());
    EXPECT_NE(thread.GetThreadId(), GetCurrentThreadId());
    EXPECT_EQ(thread.CallWorker(kExit), kExit);
    thread.Close();
    EXPECT_FALSE(thread.ThreadExists());
    EXPECT_EQ(thread.CallWorker(1), static_cast<DWORD>(E_FAIL));
    // A second life must not see the first one's exit.
    ASSERT_TRUE(thread.Create());
    EXPECT_EQ(thread.CallWorker(6), 106u);
    EXPECT_EQ(thread.CallWorker(kExit), kExit);
}

TEST(CAMThreadTest, CheckRequestNeverBlocksAndTakesNothing)
{
    CAMEvent evChecked(TRUE);
    CTestThread thread([&](CTestThread* p) {
        EXPECT_FALSE(p->CheckRequest(nullptr));
        evChecked.Set();
        EXPECT_EQ(WaitForSingleObject(p->GetRequestHandle(), 10000), WAIT_OBJECT_0);
        DWORD dw = 0;
        EXPECT_TRUE(p->CheckRequest(&dw));
        EXPECT_EQ(dw, 7u);
        EXPECT_TRUE(p->CheckRequest(nullptr));  // still waiting
        dw = p->GetRequest();
        EXPECT_FALSE(p->CheckRequest(nullptr));  // taken
        p->Reply(dw * 2);
        return CTestThread::ServeUntilExit(p, [](DWORD dw2) { return dw2; });
    });
    ASSERT_TRUE(thread.Create());
    ASSERT_TRUE(evChecked.Wait(10000));  // a blocking CheckRequest never gets here
    EXPECT_EQ(thread.CallWorker(7), 14u);
    EXPECT_EQ(thread.CallWorker(kExit), kExit);
}

TEST(CAMThreadTest, PostNeverOverwritesAWaitingClientsCommand)
{
    CAMEvent evGotFirst(TRUE), evGate(TRUE), evPostedDone(TRUE);
    CTestThread thread([&](CTestThread* p) {
        const DWORD dwFirst = p->GetRequest();
        evGotFirst.Set();
        evGate.Wait(10000);
        p->Reply(dwFirst);
        const DWORD dwPosted = p->GetRequest();
        EXPECT_EQ(dwPosted, 3u);
        p->Reply(dwPosted);  // nobody waits for this reply
        evPostedDone.Set();
        return CTestThread::ServeUntilExit(p, [](DWORD dw) { return dw; });
    });
    ASSERT_TRUE(thread.Create());
    std::atomic<DWORD> dwClient{0};
    std::thread client([&] { dwClient = thread.CallWorker(1); });
    ASSERT_TRUE(evGotFirst.Wait(10000));
    EXPECT_FALSE(thread.TryPostRequest(2));  // the client holds the lock
    EXPECT_EQ(thread.GetRequestParam(), 1u);
    evGate.Set();
    client.join();
    EXPECT_EQ(dwClient.load(), 1u);

    EXPECT_TRUE(thread.TryPostRequest(3));
    ASSERT_TRUE(evPostedDone.Wait(10000));
    // The unclaimed reply to the post must not answer the next call.
    EXPECT_EQ(thread.CallWorker(kExit), kExit);
}

TEST(CAMThreadTest, CallWithTimeOutGivesUpAndDiscardsTheLateReply)
{
    CAMEvent evGate(TRUE);
    CTestThread thread([&](CTestThread* p) {
        return CTestThread::ServeUntilExit(p, [&](DWORD dw) {
            if (dw == 1)
                evGate.Wait(10000);  // a writer that hangs
            return dw + 100;
        });
    });
    ASSERT_TRUE(thread.Create());
    const auto t0 = Clock::now();
    EXPECT_EQ(thread.CallWorkerTimeout(1, 50, static_cast<DWORD>(RPC_E_TIMEOUT)), static_cast<DWORD>(RPC_E_TIMEOUT));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(50));
    EXPECT_FALSE(thread.WaitForReply(0));
    evGate.Set();
    EXPECT_TRUE(thread.WaitForReply(10000));
    EXPECT_EQ(thread.CallWorkerTimeout(2, 10000, 0), 102u);
    EXPECT_EQ(thread.CallWorker(kExit), kExit);
}

TEST(CAMThreadTest, WorkerThatEndsWithoutReplyFailsTheCall)
{
    CTestThread thread([](CTestThread* p) {
        (void)p->GetRequest();
        return 0u;
    });
    ASSERT_TRUE(thread.Create());
    EXPECT_EQ(thread.CallWorker(1), static_cast<DWORD>(E_FAIL));
    thread.Close();
    EXPECT_FALSE(thread.TryPostRequest(1));
}

namespace {

// Deletes itself once its owner lets go of it (the release event), after
// leaving its loop.
class CSelfDeletingThread : public CAMThread
{
public:
    CSelfDeletingThread(CAMEvent* pevRelease, CAMEvent* pevDeleted)
        : m_pevRelease(pevRelease), m_pevDeleted(pevDeleted)
    {
    }
    ~CSelfDeletingThread() override { Close(); }

protected:
    DWORD ThreadProc() override
    {
        while (GetRequest() != kExit)
            Reply(0);
        Reply(kExit);
        m_pevRelease->Wait(10000);
        CAMEvent* pevDeleted = m_pevDeleted;
        delete this;
        pevDeleted->Set();
        return 0;
    }

private:
    CAMEvent* m_pevRelease;
    CAMEvent* m_pevDeleted;
};

}  // namespace

TEST(CAMThreadTest, WorkerMayDestroyItsOwnObject)
{
    // The thread must not touch the object once ThreadProc has deleted it
    // (ASan), and Close from the worker itself must not wait for itself.
    CAMEvent evRelease(TRUE), evDeleted(TRUE);
    CSelfDeletingThread* pThread = new CSelfDeletingThread(&evRelease, &evDeleted);
    ASSERT_TRUE(pThread->Create());
    EXPECT_EQ(pThread->CallWorker(1), 0u);
    EXPECT_EQ(pThread->CallWorker(kExit), kExit);
    evRelease.Set();
    EXPECT_TRUE(evDeleted.Wait(10000));
}

TEST(TickCount, ArithmeticHoldsAcrossTheWrap)
{
    EXPECT_EQ(TickDiff(0x00000005u, 0xFFFFFFF0u), 0x15u);
    EXPECT_EQ(TickDiff(0x10u, 0x10u), 0u);

    EXPECT_EQ(TickDeadline(0xFFFFFFF0u, 0x20u), 0x10u);
    EXPECT_EQ(TickDeadline(0xFFFFFFF0u, 0x0Fu), 0xFFFFFFFEu);  // never "no deadline" by accident
    EXPECT_EQ(TickDeadline(0x1234u, INFINITE), kNoDeadline);
    EXPECT_EQ(TickDeadline(0xFFFFFFF0u, 0x90000000u), 0x7FFFFFEFu);  // cut to 2^31 - 1

    EXPECT_EQ(TickDeadlineLeft(0x10u, 0xFFFFFFF8u), 0x18u);  // deadline past the wrap
    EXPECT_EQ(TickDeadlineLeft(0x10u, 0x10u), 0u);
    EXPECT_EQ(TickDeadlineLeft(0x10u, 0x11u), 0u);
    EXPECT_EQ(TickDeadlineLeft(0xFFFFFFF0u, 0x00000005u), 0u);  // passed across the wrap
    EXPECT_EQ(TickDeadlineLeft(0xFFFFFFFEu, 0xFFFFFFF0u), 0x0Eu);
    EXPECT_EQ(TickDeadlineLeft(kNoDeadline, 0x5u), INFINITE);
    const DWORD dwNow = 0xFFFFFF00u;
    EXPECT_EQ(TickDeadlineLeft(TickDeadline(dwNow, 1000), dwNow + 400), 600u);
}

TEST(ProcessIds, ThreadAndProcessIdsAreTheKernels)
{
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentProcessId());  // tests run on the main thread
    DWORD dwOther = 0;
    std::thread t([&] { dwOther = GetCurrentThreadId(); });
    t.join();
    EXPECT_NE(dwOther, 0u);
    EXPECT_NE(dwOther, GetCurrentThreadId());

    EXPECT_TRUE(IsProcessAlive(GetCurrentProcessId()));
    EXPECT_TRUE(IsProcessAlive(1));  // init: alive even where we may not signal it
    EXPECT_FALSE(IsProcessAlive(0));
    EXPECT_FALSE(IsProcessAlive(0x80000000u));
    pid_t pid = 0;
    char szTrue[] = "/bin/true";
    char* argv[] = {szTrue, nullptr};
    ASSERT_EQ(posix_spawn(&pid, szTrue, nullptr, nullptr, argv, environ), 0);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_FALSE(IsProcessAlive(static_cast<DWORD>(pid)));
}
