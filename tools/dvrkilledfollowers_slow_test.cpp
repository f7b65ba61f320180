// Followers killed in the middle of their reads, one after another, while a
// writer runs: the writer must drop what each registered (its descriptor
// count ends where it began) and keep its pace. A thousand followers;
// KV_KILLED_FOLLOWERS sets another count.
#include <dirent.h>

#include "tools/tooltest.h"

namespace {

int Descriptors(pid_t pid)
{
    DIR* pDir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!pDir)
        return -1;
    int n = 0;
    while (dirent* pEnt = readdir(pDir))
        n += pEnt->d_name[0] != '.';
    closedir(pDir);
    return n;
}

class CKilledFollowersTest : public CToolTest
{
};

}  // namespace

TEST_F(CKilledFollowersTest, FollowersKilledDuringReadsLeaveTheWritersDescriptorsFlat)
{
    const char* pszCount = getenv("KV_KILLED_FOLLOWERS");
    const int nFollowers = pszCount ? atoi(pszCount) : 1000;
    constexpr long long kRate = 4 << 20;
    CChild writer;
    const DWORD dwWriterStart = GetTickCount();
    // Paced and long enough for every follower; stopped with SIGINT after.
    writer.Start({"dvr-write", "--folder", m_strDir, "--files", "4", "--file-size", "1M", "--block", "16K", "--pattern",
                  "3", "--rate", std::to_string(kRate)},
                 P("w.out"), P("w.err"));
    const std::string strStub = WaitForLine(P("w.out"), "stub ");
    ASSERT_FALSE(strStub.empty());
    ASSERT_TRUE(WaitForSize(m_strDir + "/Capture_0.KRC", 100000, 5000));
    const int nBefore = Descriptors(writer.Pid());
    ASSERT_GT(nBefore, 0);
    const DWORD dwStart = GetTickCount();
    int nMax = nBefore;
    for (int i = 0; i < nFollowers && !HasFailure(); ++i) {
        CChild follower;
        const std::string strOut = P("f.bin");
        follower.Start({"follow", "-o", strOut, strStub}, P("f.out"), P("f.err"));
        // Killed once it is reading: it has served some bytes.
        ASSERT_TRUE(WaitForSize(strOut, 1, 5000)) << "follower " << i;
        follower.Signal(SIGKILL);
        ASSERT_EQ(128 + SIGKILL, follower.Wait(5000));
        nMax = std::max(nMax, Descriptors(writer.Pid()));
    }
    const DWORD dwTook = TickDiff(GetTickCount(), dwStart);
    // A registration prunes the dead; the last ones go with the next.
    CChild last;
    last.Start({"follow", "-o", P("last.bin"), strStub}, P("l.out"), P("l.err"));
    ASSERT_TRUE(WaitForSize(P("last.bin"), 1, 5000));
    last.Signal(SIGINT);
    EXPECT_EQ(0, last.Wait(5000));
    const int nAfter = Descriptors(writer.Pid());
    // The pace held: at 4 MiB/s the writer has written 4 MiB a second
    // since it started, less half a second's worth for its start.
    writer.Signal(SIGINT);
    const DWORD dwWriterRan = TickDiff(GetTickCount(), dwWriterStart);
    EXPECT_EQ(0, writer.Wait(5000 * kToolSlowdown));
    const std::string strWriter = ReadAll(P("w.err"));
    const size_t nAt = strWriter.find("; ");
    const long long llWritten = nAt == std::string::npos ? -1 : atoll(strWriter.c_str() + nAt + 2);
    EXPECT_LE(nAfter, nBefore) << "descriptors before " << nBefore << ", after " << nAfter;
    EXPECT_LE(nMax, nBefore + 4);
    EXPECT_GE(llWritten, kRate * (static_cast<long long>(dwWriterRan) - 500 * kToolSlowdown) / 1000) << strWriter;
    printf("%d followers killed in %u ms; writer descriptors %d before, at most %d during, %d after; %lld bytes "
           "written in %u ms at 4 MiB/s\n",
           nFollowers, static_cast<unsigned>(dwTook), nBefore, nMax, nAfter, llWritten,
           static_cast<unsigned>(dwWriterRan));
}
