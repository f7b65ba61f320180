// Crash consistency of the DVR buffer: `kvudpsrc dvr-write` killed with
// SIGKILL at seeded random moments, from its first file operations to deep
// into a wrapping ring. After each kill the buffer must be consistent: every
// record's size within its file's length, dvr-info and a fresh follower
// agreeing on the offsets kept, and every byte the follower serves equal to
// the pattern stream at its offset. In some trials a follower was already
// running; it must end within a second with the writer's death as its
// status and have served only right bytes.
#include <sys/stat.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrengine.h"
#include "tools/pattern.h"
#include "tools/tooltest.h"

namespace {

class CDVRCrashTest : public CToolTest
{
protected:
    // Every record's size is within the length of the file it names.
    void CheckRecordsWithinFiles(const std::string& strStub, const std::string& strWhat)
    {
        CDVREngine engine(false);
        const CWString wstrStub = Utf8ToWide(strStub);
        ASSERT_EQ(S_OK, engine.SetStubFileName(wstrStub.c_str(), static_cast<int>(wstrStub.size()), FALSE));
        LONG nCount = 0;
        std::unique_ptr<RecordingInfo[]> pList;
        const HRESULT hr = engine.ReadAllRecordingsInfo(&nCount, &pList);
        ASSERT_EQ(S_OK, hr) << strWhat;
        for (LONG i = 0; i < nCount; ++i) {
            const long long llFile = FileSize(m_strRing + "/" + WideToUtf8(pList[i].path));
            EXPECT_LE(pList[i].size, std::max(llFile, 0LL))
                << strWhat << ": slot " << i << " record size " << pList[i].size << ", file " << llFile;
        }
        ++m_nStubsChecked;
    }

    std::string m_strRing;
    int m_nStubsChecked = 0;
};

TEST_F(CDVRCrashTest, AWriterKilledAtRandomMomentsLeavesAConsistentBuffer)
{
    const char* pszSeed = getenv("KV_CRASH_SEED");
    const unsigned nSeed = pszSeed ? static_cast<unsigned>(strtoul(pszSeed, nullptr, 0)) : 17u;
    const char* pszTrials = getenv("KV_CRASH_TRIALS");
    const int nTrials = pszTrials ? atoi(pszTrials) : 200 / static_cast<int>(kToolSlowdown);
    std::mt19937 rng(nSeed);
    const char* const aszBlocks[] = {"4096", "1000", "16384", "188"};
    long long llVerified = 0, llFollowedLive = 0;
    int nNoStub = 0, nLive = 0, nEmpty = 0;
    DWORD dwWorstFollowerEnd = 0;
    double dWorstInfoMs = 0;
    for (int nTrial = 0; nTrial < nTrials && !HasFailure(); ++nTrial) {
        const std::string strWhat = "seed " + std::to_string(nSeed) + " trial " + std::to_string(nTrial);
        m_strRing = P("ring" + std::to_string(nTrial));
        ASSERT_EQ(0, mkdir(m_strRing.c_str(), 0700));
        const std::string strStub = m_strRing + "/Capture.KBL";
        const uint64_t ullPattern = rng();
        const std::string strBlock = aszBlocks[rng() % 4];
        // Every fifth trial has a follower running when the writer dies; the
        // writer is paced then so that the follower keeps up and its bytes
        // can all be checked.
        const bool bLiveFollower = nTrial % 5 == 4;
        // From the start of the process (the stub and first files being
        // made) to deep into the wraps of a 3 x 64 KiB ring.
        const auto delay = std::chrono::microseconds(rng() % (40000 * kToolSlowdown));
        std::vector<std::string> args = {"dvr-write", "--folder", m_strRing, "--files", "3", "--file-size", "64K",
                                         "--block", strBlock, "--pattern", std::to_string(ullPattern), "--total", "4G",
                                         "-q"};
        if (bLiveFollower) {
            args.push_back("--rate");
            args.push_back("8M");
        }
        CChild writer;
        writer.Start(args, m_strRing + ".wout", m_strRing + ".werr");
        CChild follower;
        if (bLiveFollower) {
            ASSERT_FALSE(WaitForLine(m_strRing + ".wout", "stub ").empty()) << strWhat;
            follower.Start({"follow", "-o", m_strRing + ".live", strStub}, m_strRing + ".fout", m_strRing + ".ferr");
            ASSERT_TRUE(WaitForSize(m_strRing + ".live", 200000, 5000)) << strWhat;
        }
        std::this_thread::sleep_for(delay);
        writer.Signal(SIGKILL);
        ASSERT_EQ(128 + SIGKILL, writer.Wait(5000)) << strWhat;
        const DWORD dwKilled = GetTickCount();

        if (bLiveFollower) {
            ++nLive;
            const int nExit = follower.Wait(3000 * kToolSlowdown);
            const DWORD dwTook = TickDiff(GetTickCount(), dwKilled);
            dwWorstFollowerEnd = std::max(dwWorstFollowerEnd, dwTook);
            EXPECT_EQ(1, nExit) << strWhat;
            EXPECT_LE(dwTook, 1000u * kToolSlowdown) << strWhat;
            const std::string strErr = ReadAll(m_strRing + ".ferr");
            EXPECT_NE(strErr.find("the writer died"), std::string::npos) << strWhat << ": " << strErr;
            const std::string s = ReadAll(m_strRing + ".live");
            const long long llFrom = NumberAfter(strErr, "from offset ");
            ASSERT_GE(llFrom, 0) << strWhat << ": " << strErr;
            if (strErr.find(" 0 discontinuities") != std::string::npos) {
                EXPECT_EQ(-1, PatternMismatch(s, ullPattern, llFrom)) << strWhat;
                llFollowedLive += static_cast<long long>(s.size());
            }
        }

        // dvr-info: the offsets kept, or a clear failure when the writer
        // died before its stub was whole.
        const auto t0 = std::chrono::steady_clock::now();
        const SToolRun info = Run({"dvr-info", strStub}, 5000);
        dWorstInfoMs = std::max(
            dWorstInfoMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (FileSize(strStub) < static_cast<long long>(dvr::kStubHeaderBytes)) {
            // Killed before the stub existed, or between its creation and
            // its header (it is created empty): there is nothing to follow,
            // and both tools fail naming it (the short stub as a read fault).
            ++nNoStub;
            EXPECT_EQ(1, info.nExit) << strWhat;
            EXPECT_NE(info.strErr.find(strStub), std::string::npos) << strWhat << ": " << info.strErr;
            const SToolRun follow = Run({"follow", "-o", m_strRing + ".after", strStub}, 5000);
            EXPECT_EQ(1, follow.nExit) << strWhat;
            EXPECT_EQ(0, FileSize(m_strRing + ".after")) << strWhat;
            continue;
        }
        EXPECT_EQ(0, info.nExit) << strWhat << ": " << info.strErr;
        if (info.nExit != 0)
            continue;
        CheckRecordsWithinFiles(strStub, strWhat);
        const long long llOldest = NumberAfter(info.strOut, "oldest ");
        const long long llEnd = NumberAfter(info.strOut, ", end ");

        // A fresh follower serves exactly [oldest, end), each byte right.
        const SToolRun follow = Run({"follow", "-o", m_strRing + ".after", strStub}, 5000);
        const std::string s = ReadAll(m_strRing + ".after");
        if (llOldest < 0) {
            // A buffer with no recording yet.
            ++nEmpty;
            EXPECT_NE(info.strOut.find("offsets       none"), std::string::npos) << strWhat << ": " << info.strOut;
            EXPECT_TRUE(s.empty()) << strWhat;
            EXPECT_EQ(1, follow.nExit) << strWhat;
            continue;
        }
        EXPECT_EQ(1, follow.nExit) << strWhat << ": " << follow.strErr;
        EXPECT_NE(follow.strErr.find("the writer died"), std::string::npos) << strWhat << ": " << follow.strErr;
        EXPECT_EQ(llOldest, NumberAfter(follow.strErr, "from offset ")) << strWhat << ": " << follow.strErr;
        EXPECT_EQ(llEnd - llOldest, static_cast<long long>(s.size())) << strWhat << ": " << follow.strErr;
        EXPECT_EQ(-1, PatternMismatch(s, ullPattern, llOldest)) << strWhat;
        llVerified += static_cast<long long>(s.size());
        (void)system(("rm -rf '" + m_strRing + "'*").c_str());
    }
    printf("%d kills (seed %u): %d before the stub had its header, %d with no recording yet, %d stubs checked, "
           "%" PRId64 " bytes verified after the kills, %d live followers (%" PRId64
           " bytes verified, worst end %u ms after the kill), worst dvr-info %.1f ms\n",
           nTrials, nSeed, nNoStub, nEmpty, m_nStubsChecked, static_cast<int64_t>(llVerified), nLive,
           static_cast<int64_t>(llFollowedLive), static_cast<unsigned>(dwWorstFollowerEnd), dWorstInfoMs);
}

}  // namespace
