// Followers that the writer laps: `kvudpsrc follow` in another process
// against a writer in this one, which writes a stream whose every 8-byte
// word holds its own offset, so that the follower's output shows where each
// of its bytes came from. Whatever a follower missed (part of a recording or
// ten laps of the ring), it must say so, say exactly which bytes, go on at
// the oldest byte kept, and never join two pieces of the stream silently; a
// follower that waits, however late it started or long it was stopped, is
// woken by the writer rather than by polling.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "platform/thread.h"
#include "tools/tooltest.h"

namespace {

constexpr DWORD kGenerousMs = 20000 * kToolSlowdown;  // for things that must happen, never reached when they do

constexpr LONG kFiles = 4;
constexpr LONG kFileSize = 64 * 1024;
constexpr LONGLONG kRing = kFiles * kFileSize;
constexpr LONG kBlock = 4096;

using Clock = std::chrono::steady_clock;

// `kvudpsrc follow STUB` in a child process. Its standard output comes back
// through a pipe, read on a thread of ours that notes when each piece came.
class CFollower
{
public:
    ~CFollower()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGCONT);
            kill(m_pid, SIGKILL);
            (void)Wait(kGenerousMs);
        }
        if (m_thread.joinable())
            m_thread.join();
    }
    bool Start(const std::string& strStub, const std::string& strErr)
    {
        int afd[2];
        if (pipe(afd) != 0)
            return false;
        m_pid = fork();
        if (m_pid < 0)
            return false;
        if (m_pid == 0) {
            const int fdErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(afd[1], 1);
            dup2(fdErr, 2);
            close(afd[0]);
            char* argv[] = {const_cast<char*>(KV_TOOL_PATH), const_cast<char*>("follow"),
                            const_cast<char*>(strStub.c_str()), nullptr};
            execv(KV_TOOL_PATH, argv);
            _exit(127);
        }
        close(afd[1]);
        const int fd = afd[0];
        m_thread = std::thread([this, fd] {
            std::vector<char> v(256 * 1024);
            for (;;) {
                const ssize_t n = read(fd, v.data(), v.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                const auto t = Clock::now();
                {
                    std::lock_guard<std::mutex> lock(m_mtx);
                    m_strOut.append(v.data(), static_cast<size_t>(n));
                    m_vArrivals.push_back({m_strOut.size(), t});
                }
                m_evArrived.Set();
            }
            close(fd);
            m_evArrived.Set();
        });
        return true;
    }
    void Signal(int nSig) const { kill(m_pid, nSig); }
    // The exit status, or -1 when the child is still running after dwMs.
    int Wait(DWORD dwMs)
    {
        const DWORD dwStart = GetTickCount();
        for (;;) {
            int nStatus = 0;
            if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            }
            if (TickDiff(GetTickCount(), dwStart) >= dwMs)
                return -1;
            Sleep(5);
        }
    }
    size_t Received()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strOut.size();
    }
    // Waits (bounded) until the output holds at least cb bytes.
    bool WaitForBytes(size_t cb, DWORD dwMs)
    {
        const DWORD dwStart = GetTickCount();
        while (Received() < cb) {
            const DWORD dwGone = TickDiff(GetTickCount(), dwStart);
            if (dwGone >= dwMs)
                return false;
            (void)m_evArrived.Wait(dwMs - dwGone);
        }
        return true;
    }
    // When the output first held at least cb bytes.
    Clock::time_point ArrivalOf(size_t cb)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (const auto& a : m_vArrivals)
            if (a.first >= cb)
                return a.second;
        return Clock::time_point::max();
    }
    std::string Output()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strOut;
    }

private:
    pid_t m_pid = -1;
    std::thread m_thread;
    std::mutex m_mtx;
    std::string m_strOut;
    std::vector<std::pair<size_t, Clock::time_point>> m_vArrivals;
    CAMEvent m_evArrived;
};

struct SGap
{
    long long llAsked;
    long long llResumed;
};

// What the follower said on standard error: its discontinuities, in order,
// and the figures of its final line.
struct SReport
{
    std::vector<SGap> aGaps;
    bool bEnd = false;
    std::string strWhy;
    unsigned long long ullServed = 0, ullLost = 0;
    long long llEndOffset = 0;
    unsigned nDiscontinuities = 0;
};

SReport ParseReport(const std::string& strErr)
{
    SReport r;
    size_t nPos = 0;
    while (nPos < strErr.size()) {
        size_t nEnd = strErr.find('\n', nPos);
        if (nEnd == std::string::npos)
            nEnd = strErr.size();
        const std::string strLine = strErr.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        long long a = 0, b = 0, c = 0;
        if (sscanf(strLine.c_str(), "kvudpsrc follow: discontinuity: bytes %lld..%lld were overwritten; resumed at %lld",
                   &a, &b, &c) == 3) {
            EXPECT_EQ(b, c) << strLine;
            r.aGaps.push_back({a, c});
            continue;
        }
        const size_t nSemi = strLine.find("; ");
        if (strLine.rfind("kvudpsrc follow: end: ", 0) == 0 && nSemi != std::string::npos) {
            r.bEnd = sscanf(strLine.c_str() + nSemi,
                            "; %llu bytes served up to offset %lld, %u discontinuities, %llu bytes lost",
                            &r.ullServed, &r.llEndOffset, &r.nDiscontinuities, &r.ullLost) == 4;
            const size_t nParen = strLine.find(" (");
            r.strWhy = strLine.substr(22, std::min(nSemi, nParen) - 22);
        }
    }
    return r;
}

// Checks every byte of the output against the offset it must have come
// from, given the gaps the follower reported, and the final line against
// both. The first word names the offset the follower started at.
void CheckFollowed(const std::string& strOut, const SReport& r, long long llWrittenEnd)
{
    ASSERT_TRUE(r.bEnd) << "no final line";
    ASSERT_GE(strOut.size(), 8u);
    long long llPos = 0;
    for (int i = 7; i >= 0; --i)
        llPos = (llPos << 8) | static_cast<uint8_t>(strOut[static_cast<size_t>(i)]);
    size_t nGap = 0;
    if (!r.aGaps.empty() && r.aGaps[0].llResumed == llPos)
        llPos = r.aGaps[0].llAsked;  // the very first read already met a gap
    unsigned long long ullLost = 0;
    for (size_t i = 0; i < strOut.size(); ++i) {
        while (nGap < r.aGaps.size() && r.aGaps[nGap].llAsked == llPos) {
            ASSERT_GT(r.aGaps[nGap].llResumed, llPos) << "gap " << nGap;
            ullLost += static_cast<unsigned long long>(r.aGaps[nGap].llResumed - llPos);
            llPos = r.aGaps[nGap++].llResumed;
        }
        if (static_cast<uint8_t>(strOut[i]) != dvrtest::StreamByte(llPos)) {
            // The word around the byte says where the bytes really came from.
            long long llWord = -1;
            const size_t nWord = i - static_cast<size_t>(llPos & 7);
            if (nWord + 8 <= strOut.size()) {
                llWord = 0;
                for (int k = 7; k >= 0; --k)
                    llWord = (llWord << 8) | static_cast<uint8_t>(strOut[nWord + static_cast<size_t>(k)]);
            }
            FAIL() << "output byte " << i << " should be stream offset " << llPos << " but its word says "
                   << llWord << ": an unreported splice or a wrong range";
        }
        ++llPos;
    }
    EXPECT_EQ(nGap, r.aGaps.size()) << "a reported gap was never reached";
    EXPECT_EQ(r.llEndOffset, llPos);
    EXPECT_EQ(r.llEndOffset, llWrittenEnd);
    EXPECT_EQ(r.ullServed, strOut.size());
    EXPECT_EQ(r.nDiscontinuities, r.aGaps.size());
    EXPECT_EQ(r.ullLost, ullLost);
}

double Percentile(std::vector<double> v, double dFraction)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(dFraction * static_cast<double>(v.size())))];
}

class CLappedFollowerTest : public dvrtest::CTempFolderTest
{
protected:
    void TearDown() override { StopWriter(); }

    // A ring of 4 x 64 KiB in a folder of its own; answers the stub's path.
    std::string StartWriter(const std::string& strName)
    {
        StopWriter();
        const std::string strFolder = P(strName);
        EXPECT_EQ(0, mkdir(strFolder.c_str(), 0700));
        m_pWriter = std::make_unique<dvrtest::CTestWriter>(new CBaseDVRSink("lapping writer", nullptr));
        EXPECT_EQ(S_OK, m_pWriter->Start(strFolder, kFiles, kFileSize, u"Lap"));
        return strFolder + "/Lap.KBL";
    }
    void StopWriter() { m_pWriter.reset(); }
    void Write(LONGLONG cb)
    {
        for (; cb > 0; cb -= kBlock)
            ASSERT_EQ(S_OK, m_pWriter->Write(static_cast<LONG>(std::min<LONGLONG>(cb, kBlock))));
    }
    LONGLONG FirstKept()
    {
        double dFirst = -1, dCur = 0, dLast = 0;
        EXPECT_EQ(S_OK, (*m_pWriter)->GetAvailableRange(&dFirst, &dCur, &dLast));
        return static_cast<LONGLONG>(dFirst);
    }
    // Paced blocks, each once the follower is idle again; answers how long
    // each took from the call of WriteData to the follower's output, in ms.
    std::vector<double> PacedDelays(CFollower* pFollower, LONGLONG llStart, int nBlocks)
    {
        std::vector<double> v;
        for (int i = 0; i < nBlocks; ++i) {
            Sleep(2);  // pacing, not synchronisation: the follower is back in its wait
            // Timed from before the call: WriteData publishes the block and
            // wakes the follower before it returns.
            const auto tWritten = Clock::now();
            Write(kBlock);
            const size_t cbWant = static_cast<size_t>(m_pWriter->Written() - llStart);
            if (!pFollower->WaitForBytes(cbWant, kGenerousMs)) {
                ADD_FAILURE() << "block " << i << " never reached the follower";
                break;
            }
            v.push_back(std::chrono::duration<double, std::milli>(pFollower->ArrivalOf(cbWant) - tWritten).count());
        }
        return v;
    }

    std::unique_ptr<dvrtest::CTestWriter> m_pWriter;
};

}  // namespace

TEST_F(CLappedFollowerTest, AStoppedFollowerLappedOnceTwiceOrTenTimesReportsExactlyWhatItLost)
{
    for (int nLaps : {1, 2, 10}) {
        SCOPED_TRACE(nLaps);
        const std::string strStub = StartWriter("laps" + std::to_string(nLaps));
        CFollower follower;
        const std::string strErr = P("follow" + std::to_string(nLaps) + ".err");
        ASSERT_TRUE(follower.Start(strStub, strErr));
        Write(100 * 1024);
        ASSERT_TRUE(follower.WaitForBytes(100 * 1024, kGenerousMs)) << ReadAll(strErr);

        // Stopped, not polling: it cannot see the writer come round.
        follower.Signal(SIGSTOP);
        const LONGLONG llStopped = m_pWriter->Written();
        Write(nLaps * kRing);
        const LONGLONG llFirst = FirstKept();
        ASSERT_GT(llFirst, llStopped);
        follower.Signal(SIGCONT);
        const size_t cbExpected = static_cast<size_t>(llStopped + (m_pWriter->Written() - llFirst));
        ASSERT_TRUE(follower.WaitForBytes(cbExpected, kGenerousMs)) << ReadAll(strErr);
        Write(20 * 1024);  // and it follows on from there
        ASSERT_TRUE(follower.WaitForBytes(cbExpected + 20 * 1024, kGenerousMs)) << ReadAll(strErr);
        const LONGLONG llEnd = m_pWriter->Written();
        StopWriter();
        ASSERT_EQ(0, follower.Wait(kGenerousMs)) << ReadAll(strErr);

        const SReport r = ParseReport(ReadAll(strErr));
        ASSERT_EQ(1u, r.aGaps.size()) << ReadAll(strErr);
        EXPECT_EQ(llStopped, r.aGaps[0].llAsked);
        EXPECT_EQ(llFirst, r.aGaps[0].llResumed);  // the oldest byte kept
        EXPECT_EQ(static_cast<unsigned long long>(llFirst - llStopped), r.ullLost);
        EXPECT_EQ("the writer stopped", r.strWhy);
        CheckFollowed(follower.Output(), r, llEnd);
    }
}

TEST_F(CLappedFollowerTest, AWriterFasterThanItsFollowerThrough30MB)
{
    const std::string strStub = StartWriter("fast");
    CFollower follower;
    ASSERT_TRUE(follower.Start(strStub, P("fast.err")));
    Write(64 * 1024);
    ASSERT_TRUE(follower.WaitForBytes(64 * 1024, kGenerousMs)) << ReadAll(P("fast.err"));
    constexpr LONGLONG kTotal = 30 * 1000 * 1000;
    Write(kTotal - m_pWriter->Written());
    const LONGLONG llEnd = m_pWriter->Written();
    // The follower has the last bytes once what it served and what it lost
    // add up to everything written.
    const DWORD dwStart = GetTickCount();
    for (;;) {
        const SReport r = ParseReport(ReadAll(P("fast.err")));
        unsigned long long ullLost = 0;
        for (const SGap& g : r.aGaps)
            ullLost += static_cast<unsigned long long>(g.llResumed - g.llAsked);
        if (follower.Received() + ullLost >= static_cast<unsigned long long>(llEnd))
            break;
        // As the receive thread does while no data arrive: the tail reaches
        // the stub once it is 25 ms old.
        (void)(*m_pWriter)->BeginWaitingForData();
        ASSERT_LT(TickDiff(GetTickCount(), dwStart), kGenerousMs)
            << "the follower did not catch up: " << follower.Received() << " + " << ullLost << " of " << llEnd
            << "\n" << ReadAll(P("fast.err"));
        Sleep(10);
    }
    StopWriter();
    ASSERT_EQ(0, follower.Wait(kGenerousMs)) << ReadAll(P("fast.err"));
    const SReport r = ParseReport(ReadAll(P("fast.err")));
    CheckFollowed(follower.Output(), r, llEnd);
    EXPECT_EQ(r.ullServed + r.ullLost, static_cast<unsigned long long>(llEnd));
    RecordProperty("discontinuities", static_cast<int>(r.aGaps.size()));
    RecordProperty("served", std::to_string(r.ullServed));
}

TEST_F(CLappedFollowerTest, LateAndStalledFollowersAreWokenByTheWriterAndReportTheExactLoss)
{
    const std::string strStub = StartWriter("late");
    Write(kRing * 2 + 88 * 1024);  // the ring has wrapped twice before the follower starts
    const LONGLONG llStart = FirstKept();
    CFollower follower;
    ASSERT_TRUE(follower.Start(strStub, P("late.err")));
    ASSERT_TRUE(follower.WaitForBytes(static_cast<size_t>(m_pWriter->Written() - llStart), kGenerousMs))
        << ReadAll(P("late.err"));
    const std::vector<double> vLate = PacedDelays(&follower, llStart, 150);

    // Stalled without polling while the ring wraps twice.
    follower.Signal(SIGSTOP);
    const LONGLONG llStopped = m_pWriter->Written();
    Write(kRing * 2 + 12 * 1024);
    const LONGLONG llFirst = FirstKept();
    follower.Signal(SIGCONT);
    const LONGLONG llOutAfterGap = (llStopped - llStart) + (m_pWriter->Written() - llFirst);
    ASSERT_TRUE(follower.WaitForBytes(static_cast<size_t>(llOutAfterGap), kGenerousMs)) << ReadAll(P("late.err"));
    const std::vector<double> vStalled = PacedDelays(&follower, llStart + (llFirst - llStopped), 150);

    const LONGLONG llEnd = m_pWriter->Written();
    StopWriter();
    ASSERT_EQ(0, follower.Wait(kGenerousMs)) << ReadAll(P("late.err"));
    const SReport r = ParseReport(ReadAll(P("late.err")));
    ASSERT_EQ(1u, r.aGaps.size()) << ReadAll(P("late.err"));
    EXPECT_EQ(llStopped, r.aGaps[0].llAsked);
    EXPECT_EQ(llFirst, r.aGaps[0].llResumed);
    CheckFollowed(follower.Output(), r, llEnd);

    // Woken by the writer's event, a follower has a block within a few ms;
    // left to its 200 ms polls it would take about 100 ms, half the time
    // more. The median shows which it was even on a loaded machine, where
    // a remote call that misses its 10 ms time-out sends a few waits to the
    // poll; the 99th percentile is the figure to watch (30 ms unloaded).
    const double dLateP99 = Percentile(vLate, 0.99);
    const double dStalledP99 = Percentile(vStalled, 0.99);
    RecordProperty("late_p99_ms", std::to_string(dLateP99));
    RecordProperty("stalled_p99_ms", std::to_string(dStalledP99));
    printf("late follower: p50 %.2f ms, p99 %.2f ms; stalled follower: p50 %.2f ms, p99 %.2f ms\n",
           Percentile(vLate, 0.5), dLateP99, Percentile(vStalled, 0.5), dStalledP99);
    EXPECT_LT(Percentile(vLate, 0.5), 30.0 * kToolSlowdown);
    EXPECT_LT(Percentile(vStalled, 0.5), 30.0 * kToolSlowdown);
}
