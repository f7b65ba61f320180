// Full disks: dvr-write into a small tmpfs (0, 4 KiB, 64 KiB and 1 MiB free)
// mounted in a private user and mount namespace. The writer must fail with
// a message naming the file that could not grow, no reader may see a size
// beyond what is on disk, a follower serves exactly the bytes kept (each
// the pattern at its offset), and once space returns a new recording works.
// Skipped with a message where unprivileged namespaces are not allowed.
#include <map>
#include <sstream>

#include "tools/pattern.h"
#include "tools/tooltest.h"

namespace {

constexpr uint64_t kSeed = 0xF011;

class CFullDiskTest : public CToolTest
{
protected:
    // Runs strScript with sh inside `unshare -rm`; false when namespaces
    // are refused here.
    bool RunInNamespace(const std::string& strScript)
    {
        const std::string strFile = P("script.sh");
        FILE* f = fopen(strFile.c_str(), "w");
        EXPECT_NE(f, nullptr);
        if (!f)
            return false;
        fputs(strScript.c_str(), f);
        fclose(f);
        const int nStatus = system(("timeout 120 unshare -rm sh '" + strFile + "' >'" + P("script.log") + "' 2>&1").c_str());
        const int nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        if (nExit == 77 || nExit == 1) {
            const std::string strLog = ReadAll(P("script.log"));
            if (nExit == 77 || strLog.find("unshare") != std::string::npos)
                return false;
        }
        EXPECT_EQ(0, nExit) << ReadAll(P("script.log"));
        return nExit == 0;
    }
    std::string Get(const std::string& strName) const { return ReadAll(P(strName)); }
    int Rc(const std::string& strName) const { return atoi(ReadAll(P(strName)).c_str()); }
};

TEST_F(CFullDiskTest, AFullDiskFailsTheWriterNamingTheFileAndSpaceReturningLetsANewRecordingWork)
{
    struct SCase
    {
        const char* pszName;
        const char* pszSize;  // tmpfs size; "fill" leaves it 4 KiB and full
    };
    const SCase aCases[] = {{"0", "fill"}, {"4K", "4k"}, {"64K", "64k"}, {"1M", "1m"}};
    const std::string strTool = KV_TOOL_PATH;
    long long llVerified = 0;
    for (const SCase& c : aCases) {
        SCOPED_TRACE(c.pszName);
        const std::string strDisk = P(std::string("disk") + c.pszName);
        const std::string strTag = P(c.pszName);
        ASSERT_EQ(0, mkdir(strDisk.c_str(), 0700));
        const bool bFill = std::string(c.pszSize) == "fill";
        std::ostringstream os;
        os << "mount -t tmpfs -o size=" << (bFill ? "4k" : c.pszSize) << " tmpfs '" << strDisk << "' || exit 77\n";
        if (bFill)
            os << "cat /dev/zero > '" << strDisk << "/filler' 2>/dev/null\n";
        os << "'" << strTool << "' dvr-write -q --folder '" << strDisk
           << "' --files 3 --file-size 512K --block 4K --pattern " << kSeed << " --total 2M >'" << strTag
           << ".wout' 2>'" << strTag << ".werr'; echo $? >'" << strTag << ".wrc'\n";
        os << "stat -c '%n %s' '" << strDisk << "'/*.KRC >'" << strTag << ".sizes' 2>/dev/null\n";
        os << "'" << strTool << "' dvr-info '" << strDisk << "/Capture.KBL' >'" << strTag << ".iout' 2>'" << strTag
           << ".ierr'; echo $? >'" << strTag << ".irc'\n";
        os << "'" << strTool << "' follow -o '" << strTag << ".fbin' '" << strDisk << "/Capture.KBL' 2>'" << strTag
           << ".ferr'; echo $? >'" << strTag << ".frc'\n";
        // Space returns: the filler goes, or the disk grows.
        if (bFill)
            os << "rm -f '" << strDisk << "/filler'\n";
        os << "mount -o remount,size=8m '" << strDisk << "' || exit 3\n";
        os << "'" << strTool << "' dvr-write -q --folder '" << strDisk
           << "' --files 3 --file-size 256K --block 4K --pattern " << kSeed << " --total 1M >'" << strTag
           << ".w2out' 2>'" << strTag << ".w2err'; echo $? >'" << strTag << ".w2rc'\n";
        os << "'" << strTool << "' follow -o '" << strTag << ".f2bin' '" << strDisk << "/Capture.KBL' 2>'" << strTag
           << ".f2err'; echo $? >'" << strTag << ".f2rc'\n";
        if (!RunInNamespace(os.str())) {
            if (!HasFailure())
                GTEST_SKIP() << "unshare -rm is not permitted here: " << ReadAll(P("script.log"));
            return;
        }
        const std::string strName = c.pszName;

        // The writer failed, naming the file that could not be made or
        // grow (a disk with no room cannot even take the stub).
        const std::string strErr = Get(strName + ".werr");
        EXPECT_EQ(1, Rc(strName + ".wrc")) << strErr;
        EXPECT_NE(strErr.find("No space left on device"), std::string::npos) << strErr;

        // Readers: no record beyond its file, the follower gets exactly the
        // bytes kept, each right.
        std::map<std::string, long long> mapOnDisk;
        std::istringstream sizes(Get(strName + ".sizes"));
        std::string strPath;
        long long llSize;
        while (sizes >> strPath >> llSize)
            mapOnDisk[strPath.substr(strPath.rfind('/') + 1)] = llSize;
        // The file named is a recording of this disk's ring (or, when even
        // the stub did not fit, the disk's folder).
        const size_t nAt = strErr.find("(recording " + strDisk + "/");
        if (nAt != std::string::npos) {
            const size_t nName = nAt + 12 + strDisk.size();
            EXPECT_EQ(1u, mapOnDisk.count(strErr.substr(nName, strErr.find(')', nName) - nName))) << strErr;
        } else {
            EXPECT_TRUE(bFill && strErr.find(strDisk) != std::string::npos) << strErr;
        }
        const std::string strInfo = Get(strName + ".iout");
        if (Rc(strName + ".irc") == 0) {
            std::istringstream lines(strInfo);
            std::string strLine;
            while (std::getline(lines, strLine)) {
                if (strLine.compare(0, 5, "slot ") != 0)
                    continue;
                const long long llRecord = NumberAfter(strLine, "  size ");
                const std::string strFile = strLine.substr(strLine.rfind("path ") + 5);
                EXPECT_LE(llRecord, mapOnDisk.count(strFile) ? mapOnDisk[strFile] : 0) << strLine;
            }
            const long long llOldest = NumberAfter(strInfo, "oldest ");
            const long long llEnd = NumberAfter(strInfo, ", end ");
            const std::string s = Get(strName + ".fbin");
            EXPECT_EQ(0, Rc(strName + ".frc")) << Get(strName + ".ferr");
            if (llOldest >= 0) {
                EXPECT_EQ(llEnd - llOldest, static_cast<long long>(s.size()));
                for (size_t i = 0; i < s.size(); ++i)
                    if (static_cast<uint8_t>(s[i]) != PatternByte(kSeed, static_cast<uint64_t>(llOldest) + i)) {
                        ADD_FAILURE() << "byte " << i << " of what a follower read after the failure";
                        break;
                    }
                llVerified += static_cast<long long>(s.size());
            }
        } else {
            // Only a disk that could not take the stub leaves nothing to read.
            EXPECT_TRUE(bFill) << Get(strName + ".ierr");
            EXPECT_EQ(1, Rc(strName + ".irc"));
            EXPECT_NE(Get(strName + ".ierr").find(strDisk), std::string::npos);
        }

        // Space back: a new recording of 1 MiB works and reads back whole.
        EXPECT_EQ(0, Rc(strName + ".w2rc")) << Get(strName + ".w2err");
        EXPECT_EQ(0, Rc(strName + ".f2rc")) << Get(strName + ".f2err");
        const std::string s2 = Get(strName + ".f2bin");
        const long long llFrom = NumberAfter(Get(strName + ".f2err"), "from offset ");
        EXPECT_EQ(1048576 - llFrom, static_cast<long long>(s2.size()));
        for (size_t i = 0; i < s2.size(); ++i)
            if (static_cast<uint8_t>(s2[i]) != PatternByte(kSeed, static_cast<uint64_t>(llFrom) + i)) {
                ADD_FAILURE() << "byte " << i << " of the recording made once space returned";
                break;
            }
        llVerified += static_cast<long long>(s2.size());
    }
    printf("full disks of 0, 4K, 64K and 1M: %lld bytes verified\n", llVerified);
}

}  // namespace
