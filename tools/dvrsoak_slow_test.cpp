// Soak: a writer wraps a three-file ring a thousand times with a follower
// reading all along. Sampled from /proc while they run, neither process may
// grow its resident memory by more than 1 MiB after the first wraps, hold
// more descriptors late than early, or change its count of threads; the
// follower reaches the end of the stream.
#include <dirent.h>

#include <thread>

#include "tools/tooltest.h"

namespace {

struct SSample
{
    long long llRssKb = -1;
    int nThreads = -1;
    int nFds = -1;
};

SSample Sample(pid_t pid)
{
    SSample s;
    const std::string strStatus = ReadAll("/proc/" + std::to_string(pid) + "/status");
    auto field = [&](const char* pszKey) {
        const size_t n = strStatus.find(pszKey);
        return n == std::string::npos ? -1LL : strtoll(strStatus.c_str() + n + strlen(pszKey), nullptr, 10);
    };
    s.llRssKb = field("VmRSS:");
    s.nThreads = static_cast<int>(field("Threads:"));
    DIR* pDir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (pDir) {
        s.nFds = 0;
        while (dirent* pEnt = readdir(pDir))
            s.nFds += pEnt->d_name[0] != '.';
        closedir(pDir);
    }
    return s;
}

class CSoakTest : public CToolTest
{
};

}  // namespace

TEST_F(CSoakTest, AThousandWrapsWithAFollowerKeepMemoryDescriptorsAndThreadsFlat)
{
    constexpr long long kWrap = 3 * 65536;
    constexpr long long kTotal = 1000 * kWrap;
    CChild writer;
    writer.Start({"dvr-write", "--folder", m_strDir, "--files", "3", "--file-size", "64K", "--block", "16K",
                  "--pattern", "77", "--total", std::to_string(kTotal), "--rate", "64M"},
                 P("w.out"), P("w.err"));
    const std::string strStub = WaitForLine(P("w.out"), "stub ");
    ASSERT_FALSE(strStub.empty());
    CChild follower;
    follower.Start({"follow", "-o", "/dev/null", strStub}, P("f.out"), P("f.err"));
    // Samples every 50 ms while both run; the first after 300 ms (a few
    // wraps in) is the base.
    std::vector<SSample> aWriter, aFollower;
    const DWORD dwStart = GetTickCount();
    for (int n = 0; n < 2000; ++n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const SSample w = Sample(writer.Pid()), f = Sample(follower.Pid());
        if (w.llRssKb < 0 || f.llRssKb < 0)
            break;  // one of them ended
        // A process whose threads are going is ending (its exit, with a
        // sanitizer's checks, is no part of the run).
        if (!aWriter.empty() && (w.nThreads < aWriter.front().nThreads || f.nThreads < aFollower.front().nThreads))
            break;
        if (TickDiff(GetTickCount(), dwStart) >= 300) {
            aWriter.push_back(w);
            aFollower.push_back(f);
        }
    }
    EXPECT_EQ(0, writer.Wait(30000 * kToolSlowdown)) << ReadAll(P("w.err"));
    EXPECT_EQ(0, follower.Wait(5000 * kToolSlowdown)) << ReadAll(P("f.err"));
    const std::string strFollow = ReadAll(P("f.err"));
    // On a busy machine the follower may be lapped now and then (it says
    // so); it must still reach the end of the stream.
    EXPECT_NE(strFollow.find("up to offset " + std::to_string(kTotal) + ","), std::string::npos) << strFollow;
    ASSERT_GE(aWriter.size(), 10u) << "too few samples while both ran";
    for (const auto* pSamples : {&aWriter, &aFollower}) {
        const char* pszWho = pSamples == &aWriter ? "writer" : "follower";
        const SSample& base = pSamples->front();
        // Descriptors come and go as recordings are opened and closed: the
        // most held in the last half of the run may not pass the most held
        // in the first half.
        int nFirstHalf = 0, nSecondHalf = 0;
        long long llWorst = 0;
        for (size_t k = 0; k < pSamples->size(); ++k) {
            const SSample& s = (*pSamples)[k];
            llWorst = std::max(llWorst, s.llRssKb - base.llRssKb);
            (k < pSamples->size() / 2 ? nFirstHalf : nSecondHalf) =
                std::max(k < pSamples->size() / 2 ? nFirstHalf : nSecondHalf, s.nFds);
            EXPECT_EQ(base.nThreads, s.nThreads) << pszWho;
        }
        EXPECT_LE(nSecondHalf, nFirstHalf) << pszWho;
#ifndef KV_TOOLTEST_SANITIZED
        // (AddressSanitizer keeps freed memory in quarantine: there the
        // resident size says nothing of leaks, and LeakSanitizer checks.)
        EXPECT_LE(llWorst, 1024) << pszWho << " grew by " << llWorst << " KiB";
#endif
        printf("%s: %zu samples, resident %lld KiB at the base, grew at most %lld KiB; at most %d descriptors in "
               "the first half, %d in the second; %d threads\n",
               pszWho, pSamples->size(), base.llRssKb, llWorst, nFirstHalf, nSecondHalf, base.nThreads);
    }
}
