// Following a DVR buffer across processes: `kvudpsrc dvr-write` writes a
// known pseudo-random stream in a child process, and a follower (the tool in
// another child, or a source in this process) must serve exactly that
// stream, report what the ring overwrote, and end promptly and honestly when
// the writer stops, dies or hangs.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrsource.h"
#include "platform/thread.h"
#include "tools/pattern.h"
#include "tools/tooltest.h"

namespace {

constexpr uint64_t kSeed = 0x5EED;

long long FirstMismatch(const std::string& s, long long llFrom)
{
    return PatternMismatch(s, kSeed, llFrom);
}

class CDVRFollowXProcTest : public CToolTest
{
protected:
    // Starts the writer and answers its stub path (bounded wait for it).
    std::string StartWriter(const std::string& strFiles, const std::string& strFileSize, const std::string& strTotal,
                            const std::string& strRate)
    {
        m_writer.Start({"dvr-write", "--folder", m_strDir, "--files", strFiles, "--file-size", strFileSize, "--block",
                        "4096", "--pattern", std::to_string(kSeed), "--total", strTotal, "--rate", strRate},
                       P("writer.out"), P("writer.err"));
        return WaitForLine(P("writer.out"), "stub ");
    }

    CChild m_writer;
};

}  // namespace

TEST_F(CDVRFollowXProcTest, AFollowerInAnotherProcessGetsExactlyTheStreamThroughManyWraps)
{
    // 3 MB through a ring of 512 KiB at 1.5 MB/s: six laps in two seconds,
    // with a third of a second of slack, which a follower sharing two cores
    // with other test binaries needs. A sanitizer build's follower is
    // several times slower: the writer slows down with it.
    const std::string strRate = std::to_string(1500000 / kToolSlowdown);
    const std::string strStub = StartWriter("4", "131072", "3000000", strRate);
    ASSERT_FALSE(strStub.empty());
    CChild follower;
    follower.Start({"follow", "--out", P("follow.bin"), strStub}, P("follow.out"), P("follow.err"));
    EXPECT_EQ(0, m_writer.Wait(10000 * kToolSlowdown));
    ASSERT_EQ(0, follower.Wait(5000 * kToolSlowdown)) << ReadAll(P("follow.err"));
    const std::string s = ReadAll(P("follow.bin"));
    EXPECT_EQ(3000000u, s.size());
    EXPECT_EQ(-1, FirstMismatch(s, 0));
    const std::string strErr = ReadAll(P("follow.err"));
    EXPECT_NE(std::string::npos, strErr.find("end: the writer stopped")) << strErr;
    EXPECT_EQ(std::string::npos, strErr.find("discontinuity")) << strErr;

    // The finished buffer can be copied out by range, in the writer's
    // offsets: the indexes beside the recordings keep them.
    CDVRSourceObject source;
    source.NonDelegatingAddRef();
    const CWString wstrStub = Utf8ToWide(strStub);
    ASSERT_EQ(S_OK, source.SetStubFileName(wstrStub.c_str(), -1, FALSE));
    ASSERT_EQ(S_OK, source.StartDVRReader(nullptr));
    double dFirst = 0, dCur = 0, dLast = 0;
    ASSERT_EQ(S_OK, source.GetAvailableRange(&dFirst, &dCur, &dLast));
    EXPECT_EQ(3000000, static_cast<long long>(dLast));
    const long long llFrom = static_cast<long long>(dFirst) + 1000;
    (void)source.StopDVRReader();
    CChild copy;
    copy.Start({"copy", strStub, std::to_string(llFrom), std::to_string(llFrom + 100000), P("copy.bin")},
               P("copy.out"), P("copy.err"));
    ASSERT_EQ(0, copy.Wait(5000 * kToolSlowdown)) << ReadAll(P("copy.err"));
    const std::string c = ReadAll(P("copy.bin"));
    EXPECT_EQ(100000u, c.size());
    EXPECT_EQ(-1, FirstMismatch(c, llFrom));
    CChild badCopy;
    badCopy.Start({"copy", strStub, "0", "99999999", P("copy2.bin")}, P("copy2.out"), P("copy2.err"));
    EXPECT_EQ(1, badCopy.Wait(5000 * kToolSlowdown));
    EXPECT_NE(std::string::npos, ReadAll(P("copy2.err")).find("is not in the buffer")) << ReadAll(P("copy2.err"));
    EXPECT_EQ(-1, FileSize(P("copy2.bin")));
}

TEST_F(CDVRFollowXProcTest, AKilledWriterEndsTheFollowerWithinASecondAndEveryServedByteIsRight)
{
    const std::string strStub = StartWriter("4", "262144", "100000000", "1000000");
    ASSERT_FALSE(strStub.empty());
    CChild follower;
    follower.Start({"follow", "--out", P("follow.bin"), strStub}, P("follow.out"), P("follow.err"));
    ASSERT_TRUE(WaitForSize(P("follow.bin"), 300000, 5000));
    m_writer.Signal(SIGKILL);
    ASSERT_EQ(128 + SIGKILL, m_writer.Wait(2000 * kToolSlowdown));
    const DWORD dwKilled = GetTickCount();
    const int nExit = follower.Wait(3000 * kToolSlowdown);
    const DWORD dwTook = TickDiff(GetTickCount(), dwKilled);
    EXPECT_EQ(1, nExit);
    EXPECT_LT(dwTook, 1000u * kToolSlowdown);
    const std::string strErr = ReadAll(P("follow.err"));
    EXPECT_NE(std::string::npos, strErr.find("the writer died")) << strErr;
    const std::string s = ReadAll(P("follow.bin"));
    EXPECT_GE(s.size(), 300000u);
    EXPECT_EQ(-1, FirstMismatch(s, 0));
}

TEST_F(CDVRFollowXProcTest, AHungWriterDoesNotStallTheReader)
{
    const std::string strStub = StartWriter("4", "262144", "100000000", "1000000");
    ASSERT_FALSE(strStub.empty());
    CDVRSourceObject source;
    source.NonDelegatingAddRef();
    const CWString wstrStub = Utf8ToWide(strStub);
    ASSERT_EQ(S_OK, source.SetStubFileName(wstrStub.c_str(), -1, FALSE));
    ASSERT_EQ(S_OK, source.StartDVRReader(nullptr));
    std::vector<BYTE> v(65536);
    LONGLONG llPos = 0;
    DWORD cbRead = 0;
    BOOL bDisc = FALSE;
    ASSERT_EQ(S_OK, source.Read(&llPos, v.data(), 65536, &cbRead, TRUE, &bDisc, source.GetReadDeadline()));

    m_writer.Signal(SIGSTOP);
    // Calls that do not wait for data answer at once.
    DWORD dwT = GetTickCount();
    double dFirst = 0, dCur = 0, dLast = 0;
    EXPECT_EQ(S_OK, source.GetAvailableRange(&dFirst, &dCur, &dLast));
    VARIANT_BOOL bGrowing = VARIANT_FALSE;
    EXPECT_EQ(S_OK, source.GetIsGrowing(&bGrowing));
    EXPECT_EQ(VARIANT_TRUE, bGrowing);
    EXPECT_LT(TickDiff(GetTickCount(), dwT), 200u * kToolSlowdown);

    // A read at the end waits for the hung writer (it is not dead) and
    // still ends at once when flushed.
    llPos = static_cast<LONGLONG>(dLast);
    HRESULT hr = E_FAIL;
    std::atomic<bool> bDone{false};
    std::thread reader([&] {
        hr = source.Read(&llPos, v.data(), 4096, &cbRead, TRUE, &bDisc, 0);
        bDone = true;
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(source.GetStarvationEvent(), 5000 * kToolSlowdown));
    Sleep(300);  // not a synchronisation: the read must still be waiting after it
    EXPECT_FALSE(bDone);
    dwT = GetTickCount();
    source.BeginFlush();
    reader.join();
    EXPECT_LT(TickDiff(GetTickCount(), dwT), 500u * kToolSlowdown);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), hr);
    source.EndFlush();

    // Woken again, the writer's stream goes on where it was.
    m_writer.Signal(SIGCONT);
    ASSERT_EQ(S_OK, source.Read(&llPos, v.data(), 4096, &cbRead, TRUE, &bDisc, source.GetReadDeadline()));
    EXPECT_EQ(-1, FirstMismatch(std::string(v.begin(), v.begin() + cbRead), llPos - cbRead));
    (void)source.StopDVRReader();
}

TEST_F(CDVRFollowXProcTest, DvrInfoTellsALiveWriterFromAFinishedOneAndShowsTheOffsetsCopyTakes)
{
    // 200 KB in 4 files of 64 KiB at 400 KB/s: live for half a second, and
    // the ring has wrapped when it stops.
    const std::string strStub = StartWriter("4", "65536", "400000", "400000");
    ASSERT_FALSE(strStub.empty());
    SToolRun info = Run({"dvr-info", strStub});
    ASSERT_EQ(0, info.nExit) << info.strErr;
    EXPECT_NE(std::string::npos, info.strOut.find("writer        live, process " + std::to_string(m_writer.Pid()) + "\n"))
        << info.strOut;
    ASSERT_EQ(0, m_writer.Wait(10000 * kToolSlowdown));

    info = Run({"dvr-info", strStub});
    ASSERT_EQ(0, info.nExit) << info.strErr;
    EXPECT_NE(std::string::npos, info.strOut.find("writer        finished (no live writer)\n")) << info.strOut;
    // The writer's offsets outlive it.
    const std::string strOffsets = "offsets       oldest ";
    const size_t n = info.strOut.find(strOffsets);
    ASSERT_NE(std::string::npos, n) << info.strOut;
    const long long llOldest = atoll(info.strOut.c_str() + n + strOffsets.size());
    EXPECT_NE(std::string::npos, info.strOut.find(", end 400000 (", n)) << info.strOut;
    EXPECT_LT(llOldest, 400000 - (3 * 65536 - 4096));  // three full files at least
    EXPECT_GT(llOldest, 0);                            // the oldest bytes were overwritten

    // "-" is standard output; the whole kept range, exactly.
    SToolRun copy = Run({"copy", strStub, std::to_string(llOldest), "end", "-"});
    ASSERT_EQ(0, copy.nExit) << copy.strErr;
    EXPECT_EQ(static_cast<size_t>(400000 - llOldest), copy.strOut.size());
    EXPECT_EQ(-1, FirstMismatch(copy.strOut, llOldest));
}

TEST_F(CDVRFollowXProcTest, SigintEndsAnIdleDvrWriteAndAnIdleFollowerAtOnceWithTheirFinalLines)
{
    // dvr-write reading a pipe that stays open and silent.
    int afd[2];
    ASSERT_EQ(0, pipe(afd));
    const char abData[] = "some bytes before the input goes idle";
    ASSERT_EQ(static_cast<ssize_t>(sizeof(abData)), write(afd[1], abData, sizeof(abData)));
    m_writer.Start({"dvr-write", "--folder", m_strDir, "--files", "3", "--file-size", "65536"}, P("writer.out"),
                   P("writer.err"), afd[0]);
    close(afd[0]);
    const std::string strStub = WaitForLine(P("writer.out"), "stub ");
    ASSERT_FALSE(strStub.empty());
    CChild follower;
    follower.Start({"follow", "-o", P("follow.bin"), strStub}, P("follow.out"), P("follow.err"));
    ASSERT_TRUE(WaitForSize(P("follow.bin"), sizeof(abData), 5000));

    // The follower waits for the writer, the writer for its input.
    DWORD dwStart = GetTickCount();
    follower.Signal(SIGINT);
    EXPECT_EQ(0, follower.Wait(1000 * kToolSlowdown));
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 200u * kToolSlowdown);
    EXPECT_NE(std::string::npos, ReadAll(P("follow.err")).find("end: stopped by SIGINT; " +
                                                                std::to_string(sizeof(abData)) + " bytes served"))
        << ReadAll(P("follow.err"));

    dwStart = GetTickCount();
    m_writer.Signal(SIGINT);
    EXPECT_EQ(0, m_writer.Wait(1000 * kToolSlowdown));
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 200u * kToolSlowdown);
    close(afd[1]);
    EXPECT_NE(std::string::npos, ReadAll(P("writer.err")).find("end: stopped by SIGINT; " +
                                                                std::to_string(sizeof(abData)) + " bytes written"))
        << ReadAll(P("writer.err"));
    EXPECT_EQ(std::string(abData, sizeof(abData)), ReadAll(P("follow.bin")));
}

TEST_F(CDVRFollowXProcTest, SigtermEndsAnIdleDvrWriteWithinAFewMilliseconds)
{
    int afd[2];
    ASSERT_EQ(0, pipe(afd));
    m_writer.Start({"dvr-write", "--folder", m_strDir, "--files", "3", "--file-size", "65536"}, P("writer.out"),
                   P("writer.err"), afd[0]);
    close(afd[0]);
    ASSERT_FALSE(WaitForLine(P("writer.out"), "stub ").empty());
    const DWORD dwStart = GetTickCount();
    m_writer.Signal(SIGTERM);
    EXPECT_EQ(0, m_writer.Wait(1000 * kToolSlowdown));
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 100u * kToolSlowdown);
    close(afd[1]);
    EXPECT_NE(std::string::npos, ReadAll(P("writer.err")).find("end: stopped by SIGTERM; 0 bytes written"));
}

TEST_F(CDVRFollowXProcTest, FollowWaitStartedBeforeTheWriterGetsTheWholeStream)
{
    // The stub does not exist yet; a finished buffer of the same name from
    // an earlier run must not be taken either.
    const std::string strStub = P("Early.KBL");
    CChild follower;
    follower.Start({"follow", "--wait", "--out", P("follow.bin"), strStub}, P("follow.out"), P("follow.err"));
    Sleep(100);  // not a synchronisation: the follower must be waiting, not failing, meanwhile
    EXPECT_EQ(-1, follower.Wait(0));
    const SToolRun earlier = Run({"dvr-write", "--folder", m_strDir, "--name", "Early", "--pattern", "7", "--total",
                                  "5000"});
    ASSERT_EQ(0, earlier.nExit) << earlier.strErr;
    Sleep(100);
    EXPECT_EQ(-1, follower.Wait(0));
    m_writer.Start({"dvr-write", "--folder", m_strDir, "--name", "Early", "--files", "4", "--file-size", "65536",
                    "--block", "4096", "--pattern", std::to_string(kSeed), "--total", "300000", "--rate", "1000000"},
                   P("writer.out"), P("writer.err"));
    EXPECT_EQ(strStub, WaitForLine(P("writer.out"), "stub "));
    EXPECT_EQ(0, m_writer.Wait(10000 * kToolSlowdown));
    ASSERT_EQ(0, follower.Wait(5000 * kToolSlowdown)) << ReadAll(P("follow.err"));
    const std::string s = ReadAll(P("follow.bin"));
    EXPECT_EQ(300000u, s.size());
    EXPECT_EQ(-1, FirstMismatch(s, 0));
}

TEST_F(CDVRFollowXProcTest, FromPastTheEndWaitsWhileLiveAndFailsWhenFinished)
{
    const std::string strStub = StartWriter("8", "65536", "300000", "1000000");
    ASSERT_FALSE(strStub.empty());
    // Far ahead of the writer at first: served once the writer gets there.
    CChild ahead;
    ahead.Start({"follow", "--from", "250000", "--out", P("ahead.bin"), strStub}, P("ahead.out"), P("ahead.err"));
    EXPECT_EQ(0, m_writer.Wait(10000 * kToolSlowdown));
    ASSERT_EQ(0, ahead.Wait(5000 * kToolSlowdown)) << ReadAll(P("ahead.err"));
    const std::string s = ReadAll(P("ahead.bin"));
    EXPECT_EQ(50000u, s.size());
    EXPECT_EQ(-1, FirstMismatch(s, 250000));

    const SToolRun past = Run({"follow", "--from", "300001", "-o", P("past.bin"), strStub});
    EXPECT_EQ(1, past.nExit);
    EXPECT_NE(std::string::npos,
              past.strErr.find("--from 300001: past the end of the finished stream (end offset 300000)"))
        << past.strErr;
    // At the very end of a finished stream there is nothing to serve, and
    // that is not an error.
    const SToolRun atEnd = Run({"follow", "--from", "300000", "-o", P("end.bin"), strStub});
    EXPECT_EQ(0, atEnd.nExit) << atEnd.strErr;
    EXPECT_EQ(0, FileSize(P("end.bin")));
}

TEST_F(CDVRFollowXProcTest, AClosedOutputPipeEndsTheFollowerQuietlyWithItsReason)
{
    const std::string strStub = StartWriter("4", "65536", "100000000", "2000000");
    ASSERT_FALSE(strStub.empty());
    int afd[2];
    ASSERT_EQ(0, pipe(afd));
    CChild follower;
    {
        // The follower's standard output is the pipe; its reader reads a
        // little and goes away.
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(afd[1], 1);
            close(afd[0]);
            const int fdErr = open(P("follow.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fdErr, 2);
            execl(KV_TOOL_PATH, KV_TOOL_PATH, "follow", strStub.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(afd[1]);
        char ab[1000];
        size_t cbRead = 0;
        while (cbRead < 50000) {
            const ssize_t n = read(afd[0], ab, sizeof(ab));
            ASSERT_GT(n, 0);
            cbRead += static_cast<size_t>(n);
        }
        close(afd[0]);
        int nStatus = 0;
        const DWORD dwStart = GetTickCount();
        pid_t r = 0;
        while ((r = waitpid(pid, &nStatus, WNOHANG)) == 0 && TickDiff(GetTickCount(), dwStart) < 5000 * kToolSlowdown)
            Sleep(5);
        ASSERT_EQ(pid, r);
        ASSERT_TRUE(WIFEXITED(nStatus)) << "killed by signal " << WTERMSIG(nStatus);
        EXPECT_EQ(1, WEXITSTATUS(nStatus));
    }
    const std::string strErr = ReadAll(P("follow.err"));
    EXPECT_NE(std::string::npos, strErr.find("end: the output was closed (Broken pipe)")) << strErr;
}
