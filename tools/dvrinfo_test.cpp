// Runs the built kvudpsrc tool on stubs made here.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "dshowflt/common/commontest_util.h"
#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/trace/trace.h"

namespace {

struct SRun
{
    int nExit = -1;      // exit status, or -1 when the tool did not exit normally
    std::string strOut;  // standard output and error
};

SRun RunTool(const std::string& strArgs)
{
    SRun run;
    const std::string strCmd = std::string(KV_TOOL_PATH) + " " + strArgs + " 2>&1";
    FILE* pf = popen(strCmd.c_str(), "r");
    if (!pf)
        return run;
    char sz[4096];
    size_t cb;
    while ((cb = fread(sz, 1, sizeof(sz), pf)) > 0)
        run.strOut.append(sz, cb);
    const int nStatus = pclose(pf);
    if (WIFEXITED(nStatus))
        run.nExit = WEXITSTATUS(nStatus);
    return run;
}

class CWriter : public CDVREngine
{
public:
    CWriter() : CDVREngine(true) {}
    void SetCurrentSlot(LONG n)
    {
        CAutoLock lock(&m_csStubFile);
        m_nCurRecIndex = n;
    }
};

class CDvrInfoToolTest : public commontest::CTempFolderTest
{
protected:
    std::string Path(const std::string& strName) const { return P(strName); }

    // A ring of 3 slots after 4 recordings of 1000, 1001, 1002, 1003 bytes.
    void MakeStub()
    {
        CWriter w;
        w.SetStreamId({0x5FE31118, 0x25FB, 0x4D77, {0xBC, 0x62, 0x3D, 0x9C, 0xC3, 0x2B, 0xBE, 0x67}});
        ASSERT_EQ(w.CreateStubFile(W("Capture.KBL").c_str(), u"TARN DVR Sink 00000001 pid 0000abcd", FALSE), S_OK);
        for (LONG nPlay = 0; nPlay < 4; ++nPlay) {
            const LONG nSlot = nPlay % 3;
            std::unique_ptr<IFile> pRec;
            const CWString strRec = W("Capture_" + std::to_string(nSlot) + ".KRC");
            ASSERT_EQ(w.CreateRecording(strRec.c_str(), nSlot, nPlay, &pRec), S_OK);
            w.SetCurrentSlot(nSlot);
            if (nSlot == nPlay) {
                ASSERT_EQ(w.WriteRecordCount(static_cast<DWORD>(nPlay + 1)), S_OK);
            }
            ASSERT_EQ(w.SetRecordingSize(1000 + nPlay), S_OK);
        }
    }
};

TEST_F(CDvrInfoToolTest, PrintsWhatTheWriterWrote)
{
    MakeStub();
    SRun run = RunTool("dvr-info " + Path("Capture.KBL"));
    ASSERT_EQ(run.nExit, 0) << run.strOut;
    const std::string& s = run.strOut;
    EXPECT_NE(s.find("owner         TARN DVR Sink 00000001 pid 0000abcd\n"), std::string::npos) << s;
    // The owner named in the stub is nobody that answers.
    EXPECT_NE(s.find("writer        gone: process 43981 ended without closing the buffer\n"), std::string::npos) << s;
    EXPECT_NE(s.find("offsets       oldest 0, end 3006 (3006 bytes kept)\n"), std::string::npos) << s;
    EXPECT_NE(s.find("streamId      {5FE31118-25FB-4D77-BC62-3D9CC32BBE67}"), std::string::npos) << s;
    EXPECT_NE(s.find("recordCount   3\n"), std::string::npos) << s;
    EXPECT_NE(s.find("playIndex 3  size 1003  created "), std::string::npos) << s;
    EXPECT_NE(s.find("path Capture_0.KRC\n"), std::string::npos) << s;
    EXPECT_NE(s.find("playIndex 2  size 1002"), std::string::npos) << s;
    EXPECT_NE(s.find("stream order  slot 1 (playIndex 1), slot 2 (playIndex 2), slot 0 (playIndex 3)\n"),
              std::string::npos) << s;
    EXPECT_NE(s.find("total         3006 bytes\n"), std::string::npos) << s;
}

TEST_F(CDvrInfoToolTest, BadStubsFailWithTheirStatusAndNeverCrash)
{
    MakeStub();
    std::ifstream in(Path("Capture.KBL"), std::ios::binary);
    const std::string strGood((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(strGood.size(), 230u + 3 * 552u);

    auto write = [&](const std::string& strBytes) {
        std::ofstream(Path("Bad.KBL"), std::ios::binary | std::ios::trunc) << strBytes;
    };
    write(strGood.substr(0, 230 + 552 + 100));  // cut inside the second record
    SRun run = RunTool("dvr-info " + Path("Bad.KBL"));
    EXPECT_EQ(run.nExit, 1);
    EXPECT_NE(run.strOut.find("stub " + Path("Bad.KBL") + ": The system cannot read from the specified device"),
              std::string::npos) << run.strOut;

    write("GARBAGE!" + strGood.substr(8));
    run = RunTool("dvr-info " + Path("Bad.KBL"));
    EXPECT_EQ(run.nExit, 1);
    EXPECT_NE(run.strOut.find("stub " + Path("Bad.KBL") + ": The stub file is corrupt"), std::string::npos)
        << run.strOut;

    run = RunTool("dvr-info " + Path("Missing.KBL"));
    EXPECT_EQ(run.nExit, 1);
    EXPECT_NE(run.strOut.find("stub " + Path("Missing.KBL") + ": No such file or directory"), std::string::npos)
        << run.strOut;
    EXPECT_EQ(RunTool("dvr-info").nExit, 2);
    EXPECT_EQ(RunTool("no-such-command").nExit, 2);

    // Random damage to a valid stub: the tool answers 0 or 1, never a signal.
    std::mt19937 rng(12345);
    for (int i = 0; i < 25; ++i) {
        std::string str = strGood.substr(0, rng() % (strGood.size() + 1));
        for (int k = 0; k < 8 && !str.empty(); ++k)
            str[rng() % str.size()] = static_cast<char>(rng());
        write(str);
        run = RunTool("dvr-info " + Path("Bad.KBL"));
        EXPECT_TRUE(run.nExit == 0 || run.nExit == 1) << i << ": " << run.strOut;
    }
}

}  // namespace
