#include "platform/sync.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Closes a handle at the end of a scope.
struct CHandle
{
    HANDLE h;
    explicit CHandle(HANDLE hIn) : h(hIn) {}
    ~CHandle()
    {
        if (h >= 0)
            CloseHandle(h);
    }
    operator HANDLE() const { return h; }
};

}  // namespace

TEST(SyncEvent, AutoResetReleasesExactlyOneWaiterPerSet)
{
    CHandle ev(CreateEvent(FALSE, FALSE));
    CHandle semDone(CreateSemaphore(0, 2));
    ASSERT_GE(ev, 0);
    std::atomic<int> nWoken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(ev, 10000) == WAIT_OBJECT_0)
            ++nWoken;
        (void)ReleaseSemaphore(semDone, 1, nullptr);
    };
    // Both waiters wake on the set; the loser must go back to waiting.
    std::thread a(waiter), b(waiter);
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(semDone, 10000), WAIT_OBJECT_0);
    // The other waiter still has seconds of its wait left and must not come out.
    EXPECT_EQ(WaitForSingleObject(semDone, 200), WAIT_TIMEOUT);
    EXPECT_EQ(nWoken.load(), 1);
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(semDone, 10000), WAIT_OBJECT_0);
    a.join();
    b.join();
    EXPECT_EQ(nWoken.load(), 2);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);  // both sets consumed
}

TEST(SyncEvent, ManualResetReleasesAllWaitersAndStaysSet)
{
    CHandle ev(CreateEvent(TRUE, FALSE));
    CHandle semDone(CreateSemaphore(0, 3));
    int nPayload = 0;  // plain data: the wait must order it after the set
    std::atomic<int> nSeen{0};
    std::vector<std::thread> vThreads;
    for (int i = 0; i < 3; ++i) {
        vThreads.emplace_back([&] {
            if (WaitForSingleObject(ev, 10000) == WAIT_OBJECT_0 && nPayload == 42)
                ++nSeen;
            (void)ReleaseSemaphore(semDone, 1, nullptr);
        });
    }
    nPayload = 42;
    ASSERT_TRUE(SetEvent(ev));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WaitForSingleObject(semDone, 10000), WAIT_OBJECT_0);
    for (auto& t : vThreads)
        t.join();
    EXPECT_EQ(nSeen.load(), 3);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    CAMEvent evOwned(TRUE);
    EXPECT_FALSE(evOwned.Check());
    evOwned.Set();
    EXPECT_TRUE(evOwned.Check());
    EXPECT_TRUE(evOwned.Wait(0));
}

TEST(SyncWait, ReportsWhichHandleFiredAndTimesOutOnTime)
{
    CHandle e0(CreateEvent(FALSE, FALSE)), e1(CreateEvent(FALSE, FALSE)), e2(CreateEvent(TRUE, FALSE));
    const HANDLE ah[3] = {e0, e1, e2};

    const auto t0 = Clock::now();
    EXPECT_EQ(WaitForMultipleObjects(3, ah, FALSE, 150), WAIT_TIMEOUT);
    const int64_t llMs = MsSince(t0);
    EXPECT_GE(llMs, 150);
    EXPECT_LT(llMs, 150 + 3000);

    ASSERT_TRUE(SetEvent(e1));
    EXPECT_EQ(WaitForMultipleObjects(3, ah, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, ah, FALSE, 0), WAIT_TIMEOUT);

    // Several signalled: the lowest index wins and only it is consumed.
    ASSERT_TRUE(SetEvent(e2));
    ASSERT_TRUE(SetEvent(e0));
    EXPECT_EQ(WaitForMultipleObjects(3, ah, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, ah, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, ah, FALSE, 0), WAIT_OBJECT_0 + 2);

    // Wait-all, no handles and a closed descriptor are refused, not waited on.
    EXPECT_EQ(WaitForMultipleObjects(3, ah, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, ah, FALSE, 0), WAIT_FAILED);
    HANDLE hClosed = CreateEvent(TRUE, FALSE);
    ASSERT_TRUE(CloseHandle(hClosed));
    EXPECT_EQ(WaitForSingleObject(hClosed, 1000), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(hClosed));
}

TEST(SyncWait, CoversSocketAndEventWithoutConsumingTheSocket)
{
    CHandle ev(CreateEvent(FALSE, FALSE));
    int afdDgram[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, afdDgram), 0);
    const int fdRecv = afdDgram[0], fdSend = afdDgram[1];

    const HANDLE ah[2] = {ev, fdRecv};
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 20), WAIT_TIMEOUT);
    ASSERT_EQ(send(fdSend, "x", 1, 0), 1);
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 5000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_OBJECT_0 + 1);  // still unread
    char c = 0;
    EXPECT_EQ(recv(fdRecv, &c, 1, 0), 1);
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_TIMEOUT);

    ASSERT_EQ(send(fdSend, "y", 1, 0), 1);
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(MsgWaitForMultipleObjects(2, ah, FALSE, 5000, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 5000), WAIT_OBJECT_0 + 1);
    close(fdRecv);
    close(fdSend);

    // A peer that hangs up signals the socket.
    int afd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, afd), 0);
    EXPECT_EQ(WaitForSingleObject(afd[0], 0), WAIT_TIMEOUT);
    close(afd[1]);
    EXPECT_EQ(WaitForSingleObject(afd[0], 5000), WAIT_OBJECT_0);
    close(afd[0]);
}

TEST(SyncSemaphore, CountsAndRefusesToPassItsMaximum)
{
    CHandle sem(CreateSemaphore(2, 3));
    ASSERT_GE(sem, 0);
    for (DWORD dwExpected : {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_TIMEOUT})
        EXPECT_EQ(WaitForSingleObject(sem, 0), dwExpected);

    LONG lPrev = -1;
    EXPECT_TRUE(ReleaseSemaphore(sem, 2, &lPrev));
    EXPECT_EQ(lPrev, 0);
    EXPECT_FALSE(ReleaseSemaphore(sem, 2, &lPrev));  // 2 + 2 > 3: nothing released
    EXPECT_TRUE(ReleaseSemaphore(sem, 1, &lPrev));
    EXPECT_EQ(lPrev, 2);
    EXPECT_FALSE(ReleaseSemaphore(sem, 1, nullptr));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_TIMEOUT);

    EXPECT_FALSE(ReleaseSemaphore(sem, 0, nullptr));
    EXPECT_EQ(CreateSemaphore(4, 3), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateSemaphore(-1, 3), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateSemaphore(0, 0), INVALID_HANDLE_VALUE);
    CHandle ev(CreateEvent(FALSE, TRUE));
    EXPECT_FALSE(ReleaseSemaphore(ev, 1, nullptr));  // not a semaphore
    EXPECT_FALSE(SetEvent(sem));                      // not an event
}

TEST(SyncTimer, FiresAfterItsDueTimeAndAutoResetConsumes)
{
    CHandle tmAuto(CreateWaitableTimer(FALSE)), tmManual(CreateWaitableTimer(TRUE));
    ASSERT_GE(tmAuto, 0);
    EXPECT_EQ(WaitForSingleObject(tmAuto, 0), WAIT_TIMEOUT);  // not armed
    const auto t0 = Clock::now();
    ASSERT_TRUE(SetWaitableTimer(tmAuto, 60, 0));
    ASSERT_TRUE(SetWaitableTimer(tmManual, 0, 0));
    EXPECT_EQ(WaitForSingleObject(tmAuto, 5000), WAIT_OBJECT_0);
    EXPECT_GE(MsSince(t0), 60);
    EXPECT_EQ(WaitForSingleObject(tmAuto, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(tmManual, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(tmManual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(SetWaitableTimer(tmManual, 100000, 0));  // re-arming clears the signal
    EXPECT_EQ(WaitForSingleObject(tmManual, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(SetWaitableTimer(tmAuto, -1, 0));
}

TEST(SyncHandover, ReceiveHandleRejectsMalformedMessages)
{
    int afd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, afd), 0);
    HANDLE h = 123;
    ASSERT_EQ(send(afd[0], "KVH\x01", 4, 0), 4);  // no descriptor
    EXPECT_EQ(ReceiveHandle(afd[1], &h), KVMM_E_INVALID_DATA);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);

    CHandle ev(CreateEvent(TRUE, FALSE));
    ASSERT_EQ(SendHandle(afd[0], ev), S_OK);
    ASSERT_EQ(ReceiveHandle(afd[1], &h), S_OK);
    EXPECT_NE(h, ev.h);
    ASSERT_TRUE(SetEvent(h));  // the copy is a manual-reset event on the same object
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(h));

    EXPECT_EQ(ReceiveHandle(afd[1], nullptr), E_POINTER);
    EXPECT_EQ(SendHandle(afd[0], INVALID_HANDLE_VALUE), E_HANDLE);
    close(afd[0]);
    EXPECT_EQ(ReceiveHandle(afd[1], &h), HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE));
    close(afd[1]);
}

// Runs in a child process started by EventHandedToChildWakesItsWaiter; in a
// normal run there is no parent and nothing to do.
TEST(SyncChildProcess, WaitsForHandedEvent)
{
    const char* pszFd = getenv("KV_SYNC_CHILD_FD");
    if (!pszFd)
        GTEST_SKIP() << "runs only as the child of EventHandedToChildWakesItsWaiter";
    const int fd = atoi(pszFd);
    HANDLE hAuto = INVALID_HANDLE_VALUE, hReply = INVALID_HANDLE_VALUE;
    ASSERT_EQ(ReceiveHandle(fd, &hAuto), S_OK);
    ASSERT_EQ(ReceiveHandle(fd, &hReply), S_OK);
    ASSERT_EQ(send(fd, "R", 1, MSG_NOSIGNAL), 1);
    ASSERT_EQ(WaitForSingleObject(hAuto, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_TIMEOUT);  // still auto-reset here
    ASSERT_TRUE(SetEvent(hReply));
}

TEST(SyncHandover, EventHandedToChildWakesItsWaiter)
{
    const char* pszBinary = getenv("KV_TEST_BINARY");
    ASSERT_NE(pszBinary, nullptr) << "run through ctest";
    int afd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, afd), 0);
    ASSERT_EQ(fcntl(afd[0], F_SETFD, FD_CLOEXEC), 0);  // only afd[1] goes to the child

    std::string strFd = "KV_SYNC_CHILD_FD=" + std::to_string(afd[1]);
    std::vector<char*> vpEnv{strFd.data()};
    for (char** p = environ; *p; ++p)
        vpEnv.push_back(*p);
    vpEnv.push_back(nullptr);
    std::string strFilter = "--gtest_filter=SyncChildProcess.WaitsForHandedEvent";
    char* argv[] = {const_cast<char*>(pszBinary), strFilter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, pszBinary, nullptr, nullptr, argv, vpEnv.data()), 0);
    close(afd[1]);
    const int fdPid = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(fdPid, 0);

    CHandle evAuto(CreateEvent(FALSE, FALSE)), evReply(CreateEvent(TRUE, FALSE));
    ASSERT_EQ(SendHandle(afd[0], evAuto), S_OK);
    ASSERT_EQ(SendHandle(afd[0], evReply), S_OK);
    ASSERT_EQ(WaitForSingleObject(afd[0], 10000), WAIT_OBJECT_0);
    char c = 0;
    ASSERT_EQ(recv(afd[0], &c, 1, 0), 1);  // the child is about to wait
    ASSERT_TRUE(SetEvent(evAuto));
    EXPECT_EQ(WaitForSingleObject(evReply, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(evAuto, 0), WAIT_TIMEOUT);  // the child took it

    // A pidfd is just another descriptor: readable once the child has ended.
    if (WaitForSingleObject(fdPid, 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "child did not end";
        kill(pid, SIGKILL);
    }
    int nStatus = -1;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "child status " << nStatus;
    close(fdPid);
    close(afd[0]);
}
