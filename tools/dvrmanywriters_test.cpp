// Eight dvr-write processes started together in one folder, each with a
// stream of its own and no name given: each must get a buffer of its own
// (no two live writers share a stub), and a follower of each must read back
// exactly that writer's stream, every byte the pattern of its seed at its
// offset.
#include <set>

#include "tools/pattern.h"
#include "tools/tooltest.h"

namespace {

class CManyWritersTest : public CToolTest
{
};

}  // namespace

TEST_F(CManyWritersTest, EightWritersStartedTogetherInOneFolderGetEightConsistentBuffers)
{
    constexpr int kWriters = 8;
    constexpr long long kTotal = 512 * 1024;
    // Paced so that all eight are live at once: a writer that finished
    // leaves its name free, and the next start may rightly take it.
    CChild aWriters[kWriters];
    for (int i = 0; i < kWriters; ++i)
        aWriters[i].Start({"dvr-write", "--folder", m_strDir, "--files", "3", "--file-size", "64K", "--block", "4K",
                           "--pattern", std::to_string(100 + i), "--total", std::to_string(kTotal), "--rate", "1M"},
                          P("w" + std::to_string(i) + ".out"), P("w" + std::to_string(i) + ".err"));
    std::set<std::string> stubs;
    std::string aStub[kWriters];
    for (int i = 0; i < kWriters; ++i) {
        EXPECT_EQ(0, aWriters[i].Wait(10000)) << ReadAll(P("w" + std::to_string(i) + ".err"));
        aStub[i] = WaitForLine(P("w" + std::to_string(i) + ".out"), "stub ");
        stubs.insert(aStub[i]);
    }
    EXPECT_EQ(static_cast<size_t>(kWriters), stubs.size()) << "two live writers shared a buffer";
    long long llVerified = 0;
    for (int i = 0; i < kWriters; ++i) {
        const SToolRun run = Run({"follow", "-o", P("f" + std::to_string(i)), aStub[i]});
        EXPECT_EQ(0, run.nExit) << run.strErr;
        const long long llFrom = NumberAfter(run.strErr, "from offset ");
        const std::string s = ReadAll(P("f" + std::to_string(i)));
        // The ring keeps the last two files and what the third holds.
        EXPECT_EQ(kTotal - llFrom, static_cast<long long>(s.size())) << run.strErr;
        EXPECT_GE(s.size(), 2u * 65536u);
        for (size_t k = 0; k < s.size(); ++k)
            if (static_cast<uint8_t>(s[k]) != PatternByte(100 + static_cast<uint64_t>(i), llFrom + k)) {
                ADD_FAILURE() << "writer " << i << ": byte " << k << " is not its stream";
                break;
            }
        llVerified += static_cast<long long>(s.size());
    }
    printf("%d writers in one folder: %zu buffers, %lld bytes verified\n", kWriters, stubs.size(), llVerified);
}
