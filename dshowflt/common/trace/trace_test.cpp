#include "dshowflt/common/trace/trace.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/commontest_util.h"

#include "dshowflt/common/trace/traceseams.h"
#include "platform/platformtrace.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";

using commontest::ReadFileBytes;

std::string ThreadColumn()
{
    char sz[16];
    snprintf(sz, sizeof(sz), "%08x: ", static_cast<unsigned>(syscall(SYS_gettid)));
    return sz;
}

size_t Count(const std::string& str, const std::string& strNeedle)
{
    size_t c = 0;
    for (size_t i = str.find(strNeedle); i != std::string::npos; i = str.find(strNeedle, i + 1))
        ++c;
    return c;
}

std::atomic<LONGLONG> s_llFakeNowMs{0};

class TraceTest : public commontest::CTempFolderTest
{
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        m_strFile = P("trace.txt");
        SetTraceFile(m_strFile.c_str());
        SetTraceDebugOutputForTest(
            [](void* pv, const char* psz, size_t cb) {
                TraceTest* pThis = static_cast<TraceTest*>(pv);
                std::lock_guard<std::mutex> lock(pThis->m_mtx);
                pThis->m_vecLines.emplace_back(psz, cb);
            },
            this);
        s_llFakeNowMs = 0;
        SetTraceClockForTest([] { return s_llFakeNowMs.load(); }, kStartMsOfDay);
    }
    void TearDown() override
    {
        g_dwTraceSwitch.store(TRACE_SWITCH_DEFAULT);
        FlushTrace();
        SetTraceFile(nullptr);
        SetTraceDebugOutputForTest(nullptr, nullptr);
        SetTraceClockForTest(nullptr, 0);
    }

    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecLines;
    }
    // Traces each text at its fake time (ms after the start) with only the
    // time-of-day prefix, and returns the debugger lines.
    std::vector<std::string> TimedLines(LONGLONG llStartMsOfDay,
                                        std::initializer_list<std::pair<LONGLONG, const char*>> items)
    {
        g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TIME_OF_DAY | TRACE_TO_DEBUGGER);
        SetTraceClockForTest([] { return s_llFakeNowMs.load(); }, llStartMsOfDay);
        for (const auto& item : items) {
            s_llFakeNowMs = item.first;
            Trace(item.second);
        }
        return Lines();
    }
    std::string All()
    {
        std::string str;
        for (const std::string& s : Lines())
            str += s;
        return str;
    }

    // 13:45:07.250
    static constexpr LONGLONG kStartMsOfDay = ((13 * 60 + 45) * 60 + 7) * 1000LL + 250;

    std::string m_strFile;
    std::mutex m_mtx;
    std::vector<std::string> m_vecLines;
};

TEST_F(TraceTest, InitialSwitchWordWritesNothing)
{
    g_dwTraceSwitch.store(TRACE_SWITCH_DEFAULT);
    Trace("\nCFoo::Bar(): %d", 1);
    EXPECT_EQ(TraceError(E_FAIL, 10, "x.cpp"), E_FAIL);
    EXPECT_EQ(TRACE_HR(KVMM_E_DVR_STOPPED), KVMM_E_DVR_STOPPED);
    const BYTE ab[4] = {1, 2, 3, 4};
    TraceHexDump(ab, sizeof(ab));
    Output("\nraw");
    FlushTrace();
    EXPECT_TRUE(Lines().empty());
    EXPECT_NE(access(m_strFile.c_str(), F_OK), 0);  // not even created
}

TEST_F(TraceTest, PrefixCarriesTimeAndThreadId)
{
    g_dwTraceSwitch.store(0x4E);
    Trace("\nA");
    // Text that continues a line, and a line after a blank one.
    Trace("B");
    s_llFakeNowMs = 42;
    Trace("\n\nC");
    const std::vector<std::string> vec = Lines();
    ASSERT_EQ(vec.size(), 3u);
    EXPECT_EQ(vec[0], "\r\n13:45:07.250: " + ThreadColumn() + "A");
    EXPECT_EQ(vec[1], "B");
    EXPECT_EQ(vec[2], "\r\n\r\n13:45:07.292: " + ThreadColumn() + "C");
}

TEST_F(TraceTest, PauseOfMoreThan100MsInsertsOneEmptyLine)
{
    // No previous line: no gap before the first.
    EXPECT_EQ(TimedLines(0, {{0, "\nA"}, {100, "\nB"}, {201, "\nC"}, {5000, "\n\nD"}}),
              (std::vector<std::string>{"\r\n00:00:00.000: A", "\r\n00:00:00.100: B", "\r\n\r\n00:00:00.201: C",
                                        "\r\n\r\n\r\n00:00:05.000: D"}));
}

TEST_F(TraceTest, TimeAfterMidnightCountsDays)
{
    EXPECT_EQ(TimedLines(((23 * 60 + 59) * 60 + 59) * 1000LL + 900,
                         {{0, "\nA"}, {200, "\nB"}, {3 * 24 * 3600 * 1000LL, "\nC"}}),
              (std::vector<std::string>{"\r\n23:59:59.900: A", "\r\n\r\n+1d 00:00:00.100: B",
                                        "\r\n\r\n+3d 23:59:59.900: C"}));
}

TEST_F(TraceTest, HandleCountColumn)
{
    g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_HANDLE_COUNT | TRACE_TO_DEBUGGER);
    Trace("\nA");
    const std::vector<std::string> vec = Lines();
    ASSERT_EQ(vec.size(), 1u);
    int nHandles = -1;
    char chAfter = 0;
    ASSERT_EQ(sscanf(vec[0].c_str(), "\r\n%4d %c", &nHandles, &chAfter), 2) << vec[0];
    EXPECT_GE(nHandles, 3);  // standard input, output and error at least
    EXPECT_EQ(chAfter, 'A');
    EXPECT_EQ(vec[0].size(), 2 + 5 + 1u);
}

TEST_F(TraceTest, ForcedTraceDoesNotSwitchTracingOn)
{
    g_dwTraceSwitch.store(TRACE_SWITCH_DEFAULT);
    TraceForced("\nforced %d", 7);
    Trace("\nnot shown");
    EXPECT_EQ(g_dwTraceSwitch.load(), TRACE_SWITCH_DEFAULT);
    const std::vector<std::string> vec = Lines();
    ASSERT_EQ(vec.size(), 1u);
    EXPECT_EQ(vec[0], "\r\n13:45:07.250: " + ThreadColumn() + "forced 7");
}

TEST_F(TraceTest, ErrorLineNamesFileLineAndStatus)
{
    g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_DEBUGGER);
    const int nLine = __LINE__ + 1;
    const HRESULT hr = TRACE_HR(KVMM_E_DVR_DISCARDED_DATA);
    EXPECT_EQ(hr, KVMM_E_DVR_DISCARDED_DATA);
    EXPECT_EQ(TraceError(MakeHr(0x80072733), 5, "net.cpp"), MakeHr(0x80072733));
    const std::vector<std::string> vec = Lines();
    ASSERT_EQ(vec.size(), 2u);
    EXPECT_EQ(vec[0], std::string("\r\n ") + __FILE__ + "(" + std::to_string(nLine) +
                          "): TARN Error: KVMM_E_DVR_DISCARDED_DATA - You are trying to read discarded data \n");
    EXPECT_EQ(vec[1], "\r\n net.cpp(5): TARN Error: WSAEWOULDBLOCK = A non-blocking socket operation could "
                      "not be completed immediately \n");
}

// The platform layer's lines (graph, queue, reader) reach the trace output
// through the hook this facility installs, status names included, and obey
// the switch word like every other line.
TEST_F(TraceTest, PlatformLinesGoThroughTheTrace)
{
    g_dwTraceSwitch.store(TRACE_SWITCH_DEFAULT);
    PlatformTrace("\nCFoo::Off(): %s", PlatformStatusName(E_FAIL));
    EXPECT_TRUE(Lines().empty());
    g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_DEBUGGER);
    PlatformTrace("\nCFoo::Bar(): %s, %d", PlatformStatusName(KVMM_E_DVR_STOPPED), 7);
    const std::vector<std::string> vec = Lines();
    ASSERT_EQ(vec.size(), 1u);
    EXPECT_EQ(vec[0], "\r\nCFoo::Bar(): KVMM_E_DVR_STOPPED - The DVR has stopped writing data, 7");
}

TEST_F(TraceTest, HexDumpShowsSixteenBytesPerLine)
{
    g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_DEBUGGER);
    const char ab[] = "0123456789ABCDEF\x01\xFF!z";
    TraceHexDump(ab, 20);
    TraceHexDump(ab, 0);
    const std::vector<std::string> vec = Lines();
    ASSERT_EQ(vec.size(), 2u);
    EXPECT_EQ(vec[0], "\r\n30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 0123456789ABCDEF");
    EXPECT_EQ(vec[1], "\r\n01 FF 21 7A " + std::string(12 * 3, ' ') + "..!z");
}

TEST_F(TraceTest, FileGetsMarkOnceAndCrLfLines)
{
    g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_FILE);
    Trace("\nline %d\n", 1);
    FlushTrace();
    EXPECT_EQ(ReadFileBytes(m_strFile), kBom + "\r\nline 1\r\n");
    Trace("\nline %S", u"2");
    FlushTrace();
    EXPECT_EQ(ReadFileBytes(m_strFile), kBom + "\r\nline 1\r\n\r\nline 2");
    EXPECT_TRUE(Lines().empty());  // the debugger bit is clear
}

TEST_F(TraceTest, NewPathTakesLaterLinesAndOldFileKeepsItsOwn)
{
    g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_FILE);
    Trace("\nfirst");
    const std::string strSecond = m_strDir + "/second.txt";
    SetTraceFile(strSecond.c_str());
    Trace("\nsecond");  // moving to the new path writes out the old one
    EXPECT_EQ(ReadFileBytes(m_strFile), kBom + "\r\nfirst");
    FlushTrace();
    EXPECT_EQ(ReadFileBytes(strSecond), kBom + "\r\nsecond");
}

TEST_F(TraceTest, LongPathIsCutTo259Units)
{
    const std::string strLong = m_strDir + "/" + std::string(400, 'p');
    SetTraceFile(strLong.c_str());
    EXPECT_EQ(GetTraceFile(), strLong.substr(0, 259));
}

TEST_F(TraceTest, ThreadsTracingAtOnceLoseNoLine)
{
    g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_FILE | TRACE_TO_DEBUGGER | TRACE_THREAD_ID);
    constexpr int kThreads = 4;
    constexpr int kLines = 250;
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < kThreads; ++t) {
        vecThreads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                Trace("\nT%d-%d %s", t, i, TraceBytes(i));
        });
    }
    for (std::thread& th : vecThreads)
        th.join();
    FlushTrace();

    const std::string strFile = ReadFileBytes(m_strFile);
    const std::string strDebug = All();
    EXPECT_EQ(Count(strFile, "\r\n"), size_t{kThreads * kLines});
    EXPECT_EQ(Lines().size(), size_t{kThreads * kLines});
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; i += 37) {
            const std::string strLine = "T" + std::to_string(t) + "-" + std::to_string(i) + " " +
                                        std::to_string(i) + " bytes\r";
            EXPECT_EQ(Count(strFile + "\r", strLine), 1u) << strLine;
        }
    }
    EXPECT_EQ(Count(strFile, kBom), 1u);
}

// Runs the test binary again as a child with the given environment, to see
// the start-up settings and the write at exit.
int RunChild(const std::string& strEnv)
{
    const char* pszBinary = getenv("KV_TEST_BINARY");
    if (pszBinary == nullptr)
        return -1;
    const std::string strCmd = "env -u KV_TRACE -u KV_TRACE_FILE " + strEnv + " KV_TRACE_CHILD=1 '" + pszBinary +
                               "' --gtest_filter=TraceChild.WritesOneLineAndExits >/dev/null 2>&1";
    return system(strCmd.c_str());
}

TEST(TraceChild, WritesOneLineAndExits)
{
    if (getenv("KV_TRACE_CHILD") == nullptr)
        GTEST_SKIP() << "runs as a child of TraceEnvironmentTest";
    // No FlushTrace: the line must reach the file when the process exits.
    Trace("\nchild switch=0x%X path=%s", g_dwTraceSwitch.load(), GetTraceFile().c_str());
}

TEST_F(TraceTest, EnvironmentSetsSwitchAndFileAtStartUp)
{
    if (getenv("KV_TEST_BINARY") == nullptr)
        GTEST_SKIP() << "KV_TEST_BINARY is not set";
    const std::string strChild = m_strDir + "/child.txt";
    ASSERT_EQ(RunChild("KV_TRACE=0x4F KV_TRACE_FILE='" + strChild + "'"), 0);
    EXPECT_NE(ReadFileBytes(strChild).find("child switch=0x4F path=" + strChild), std::string::npos)
        << ReadFileBytes(strChild);

    // Decimal switch word, default file in the temporary-files folder.
    ASSERT_EQ(RunChild("KV_TRACE=09 TMPDIR='" + m_strDir + "'"), 0);
    const std::string strDefault = m_strDir + "/TARNTrace.txt";
    EXPECT_EQ(ReadFileBytes(strDefault), kBom + "\r\nchild switch=0x9 path=" + strDefault);
}

}  // namespace
