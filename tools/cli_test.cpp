// The command line's habits, tried as a user would: every usage error names
// the option and the reason and exits 2 without touching standard output;
// --help on every command prints on standard output and exits 0; file
// errors name the path and the reason in words; "-" is standard output.
#include "tools/cli.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tooltest.h"

TEST(CCommandLineNumbersTest, DecimalOnlyWithSizeSuffixesAndReasonsForRefusal)
{
    struct SCase
    {
        const char* psz;
        long long llMin, llMax;
        bool bOk;
        long long llValue;   // when accepted
        const char* pszWhy;  // when refused
    };
    const SCase aCases[] = {
        {"0", 0, 100, true, 0, ""},
        {"010", 0, 100, true, 10, ""},  // not octal
        {"10M", 0, 1LL << 40, true, 10485760, ""},
        {"1k", 0, 1LL << 40, true, 1024, ""},
        {"3G", 0, 1LL << 40, true, 3221225472LL, ""},
        {"2T", 0, 1LL << 42, true, 2199023255552LL, ""},
        {"1", 2, 99999, false, 0, "at least 2"},
        {"100000", 2, 99999, false, 0, "at most 99999"},
        {"0x10", 0, 100, false, 0, "'0x10' is not a decimal number with an optional K, M, G or T"},
        {"-5", 0, 100, false, 0, "'-5' is negative"},
        {"", 0, 100, false, 0, "'' is not a decimal number"},
        {"10MB", 0, 1LL << 40, false, 0, "'10MB' is not a decimal number with an optional K, M, G or T"},
        {"9999999T", 0, 0x7FFFFFFFFFFFFFFFLL, false, 0, "'9999999T' is too large"},
        {"99999999999999999999", 0, 0x7FFFFFFFFFFFFFFFLL, false, 0, "is too large"},
        {"1.5M", 0, 1LL << 40, false, 0, "is not a decimal number"},
    };
    for (const SCase& c : aCases) {
        long long ll = -42;
        std::string strWhy;
        EXPECT_EQ(c.bOk, ParseSize(c.psz, c.llMin, c.llMax, &ll, &strWhy)) << c.psz;
        if (c.bOk) {
            EXPECT_EQ(c.llValue, ll) << c.psz;
        } else {
            EXPECT_NE(std::string::npos, strWhy.find(c.pszWhy)) << c.psz << ": " << strWhy;
        }
    }

    long long ll = 0;
    std::string strWhy;
    EXPECT_TRUE(ParseInteger("-1", -1, 10, &ll, &strWhy));
    EXPECT_EQ(-1, ll);
    EXPECT_FALSE(ParseInteger("5K", 0, 1000000, &ll, &strWhy));
    EXPECT_FALSE(ParseInteger("-", -10, 10, &ll, &strWhy));

    double d = 0;
    EXPECT_TRUE(ParseDecimal("2.5", 0, 100, &d, &strWhy));
    EXPECT_DOUBLE_EQ(2.5, d);
    EXPECT_TRUE(ParseDecimal("007", 0, 100, &d, &strWhy));
    EXPECT_DOUBLE_EQ(7, d);
    EXPECT_TRUE(ParseDecimal("0.125", 0, 100, &d, &strWhy));
    EXPECT_DOUBLE_EQ(0.125, d);
    for (const char* psz : {"1e3", ".5", "-1", "inf", "nan", "0x1", "1.2.3", ""})
        EXPECT_FALSE(ParseDecimal(psz, 0, 1e9, &d, &strWhy)) << psz;
    EXPECT_FALSE(ParseDecimal("101", 0, 100, &d, &strWhy));
    EXPECT_EQ("at most 100", strWhy);
}

class CCommandLineTest : public CToolTest
{
};

TEST_F(CCommandLineTest, EveryUsageErrorNamesTheOptionAndTheReasonAndExitsTwo)
{
    struct SCase
    {
        std::vector<std::string> args;
        const char* pszMessage;
    };
    const SCase aCases[] = {
        {{}, "usage: kvudpsrc COMMAND"},
        {{"no-such-command"}, "kvudpsrc: unknown command 'no-such-command'"},
        {{"help", "nope"}, "kvudpsrc: unknown command 'nope'"},
        {{"dvr-write", "--files", "1"}, "kvudpsrc dvr-write: --files: at least 2\n"},
        {{"dvr-write", "--files=100000"}, "kvudpsrc dvr-write: --files: at most 99999\n"},
        {{"dvr-write", "--file-size", "0x10"}, "--file-size: '0x10' is not a decimal number"},
        {{"dvr-write", "--block", "9000", "--file-size", "4096"}, "--block: at most --file-size (4096)"},
        {{"dvr-write", "--bogus", "1"}, "kvudpsrc dvr-write: unknown option --bogus\n"},
        {{"dvr-write", "--folder"}, "--folder: missing value"},
        {{"dvr-write", "--folder", ""}, "--folder: must not be empty"},
        {{"dvr-write", "--trace", "0xZZ"}, "--trace: '0xZZ' is not a switch word"},
        {{"dvr-write", "extra"}, "unexpected argument 'extra'"},
        {{"follow"}, "kvudpsrc follow: missing STUB.KBL\n"},
        {{"follow", "a.KBL", "b.KBL"}, "unexpected argument 'b.KBL'"},
        {{"follow", "--from", "-5", "a.KBL"}, "--from: '-5' is negative"},
        {{"follow", "--wait=yes", "a.KBL"}, "--wait takes no value"},
        {{"copy", "a.KBL", "10", "5", "out"}, "END: must be greater than START (10), or 'end'"},
        {{"copy", "a.KBL", "x", "5", "out"}, "START: 'x' is not a decimal number"},
        {{"copy", "a.KBL", "0", "end"}, "missing OUT"},
        {{"dvr-info"}, "kvudpsrc dvr-info: missing STUB.KBL"},
        {{"send"}, "kvudpsrc send: missing URL"},
        {{"record"}, "kvudpsrc record: missing URL"},
        {{"record", "udp://127.0.0.1:5000"}, "give -o FILE (or -) or --dvr-folder DIR"},
        {{"record", "udp://127.0.0.1:5000", "-o", "x", "--files", "4"}, "--files: only with --dvr-folder"},
        {{"record", "udp://127.0.0.1:5000", "--dvr-folder", "/tmp", "--files", "1"}, "--files: at least 2"},
        {{"record", "udp://127.0.0.1:5000", "-o", "x", "--duration", "0"}, "--duration: at least 0.001"},
        {{"record", "udp://127.0.0.1:5000", "-o", "-", "--stats", "-"}, "--stats -: standard output already"},
        {{"record", "udp://stream.example:5000", "-o", "x"}, "the host must be an IPv4 address"},
        {{"record", "udp://127.0.0.1:5000", "-o"}, "-o: missing value"},
        {{"send", "udp://127.0.0.1:5000", "--rate", "-1"}, "--rate: '-1' is negative"},
        {{"send", "udp://127.0.0.1:5000", "--rate", "1e3"}, "--rate: '1e3' is not a decimal number"},
        {{"send", "udp://127.0.0.1:5000", "--duration", "0"}, "--duration: at least 0.001"},
        {{"send", "udp://127.0.0.1:5000", "--ttl", "256"}, "--ttl: at most 255"},
        {{"send", "udp://127.0.0.1:5000", "--datagram-packets", "8"}, "--datagram-packets: at most 7"},
        {{"send", "udp://127.0.0.1:5000", "--loop"}, "--loop: only with --file"},
        {{"send", "udp://127.0.0.1:5000", "--interface", "lo"}, "--interface: 'lo' is not an IPv4 address"},
        {{"send", "udp://127.0.0.1:5000", "--total", "100"}, "--total: at least one packet (188 bytes)"},
        {{"send", "tcp://127.0.0.1:5000", "--rtp"}, "--rtp: not over tcp://"},
        {{"send", "udp://stream.example:5000"}, "the host is not an IPv4 address"},
        {{"send", "udp://0.0.0.0:5000"}, "names no destination address"},
        {{"send", "udp://239.1.1.1:5000/eth0"}, "the interface (the URL's path) is not an IPv4 address"},
    };
    for (const SCase& c : aCases) {
        const SToolRun run = Run(c.args);
        std::string strArgs;
        for (const std::string& s : c.args)
            strArgs += " " + s;
        EXPECT_EQ(2, run.nExit) << strArgs;
        EXPECT_NE(std::string::npos, run.strErr.find(c.pszMessage)) << strArgs << ": " << run.strErr;
        EXPECT_EQ("", run.strOut) << strArgs;
    }
}

TEST_F(CCommandLineTest, HelpOnEveryCommandGoesToStandardOutputAndExitsZero)
{
    const std::vector<std::vector<std::string>> aHelp = {
        {"--help"}, {"-h"}, {"help"}, {"help", "send"}, {"send", "--help"}, {"send", "udp://x", "-h"},
        {"record", "--help"}, {"help", "record"}, {"record", "udp://x", "-h"},
        {"dvr-write", "--help"}, {"follow", "-h"}, {"copy", "--help"}, {"dvr-info", "--help"},
        {"register", "--help"}, {"unregister", "-h"}};
    for (const auto& args : aHelp) {
        const SToolRun run = Run(args);
        EXPECT_EQ(0, run.nExit) << args[0];
        EXPECT_EQ(0u, run.strOut.find("usage: kvudpsrc")) << args[0] << ": " << run.strOut;
        EXPECT_NE(std::string::npos, run.strOut.find("Exit status: 0")) << args[0];
        EXPECT_EQ("", run.strErr) << args[0];
    }
    // A subcommand's help lists the options every command shares.
    const SToolRun run = Run({"follow", "--help"});
    for (const char* psz : {"--wait", "--from", "-q, --quiet", "-v, --verbose", "--trace MASK", "1024-based"})
        EXPECT_NE(std::string::npos, run.strOut.find(psz)) << psz;

    const SToolRun version = Run({"--version"});
    EXPECT_EQ(0, version.nExit);
    EXPECT_EQ(0u, version.strOut.find("kvudpsrc "));
    EXPECT_EQ('\n', version.strOut.back());
}

TEST_F(CCommandLineTest, FileErrorsNameThePathAndTheReasonInWords)
{
    SToolRun run = Run({"dvr-write", "--folder", P("missing")});
    EXPECT_EQ(1, run.nExit);
    EXPECT_EQ("kvudpsrc dvr-write: folder " + P("missing") + ": No such file or directory\n", run.strErr);
    EXPECT_EQ("", run.strOut);

    std::ofstream(P("plain")) << "x";
    run = Run({"dvr-write", "--folder", P("plain")});
    EXPECT_EQ(1, run.nExit);
    EXPECT_EQ("kvudpsrc dvr-write: folder " + P("plain") + ": Not a directory\n", run.strErr);

    run = Run({"follow", P("none.KBL")});
    EXPECT_EQ(1, run.nExit);
    EXPECT_EQ("kvudpsrc follow: stub " + P("none.KBL") + ": No such file or directory\n", run.strErr);

    run = Run({"send", "udp://127.0.0.1:9", "--file", P("none.ts")});
    EXPECT_EQ(1, run.nExit);
    EXPECT_EQ("kvudpsrc send: file " + P("none.ts") + ": No such file or directory\n", run.strErr);
    run = Run({"send", "udp://127.0.0.1:9", "--file", P("plain")});
    EXPECT_EQ(1, run.nExit);
    EXPECT_NE(std::string::npos, run.strErr.find("not a transport stream")) << run.strErr;

    // A buffer to copy from; the output file cannot be created, and that is
    // what the message says.
    run = Run({"dvr-write", "--folder", m_strDir, "--pattern", "1", "--total", "10000", "-q"});
    ASSERT_EQ(0, run.nExit) << run.strErr;
    const std::string strStub = P("Capture.KBL");
    run = Run({"copy", strStub, "0", "100", P("no/such/dir/clip.ts")});
    EXPECT_EQ(1, run.nExit);
    EXPECT_EQ("kvudpsrc copy: output " + P("no/such/dir/clip.ts") + ": No such file or directory\n", run.strErr);
    run = Run({"follow", "-o", P("no/such/dir/out.ts"), strStub});
    EXPECT_EQ(1, run.nExit);
    EXPECT_EQ("kvudpsrc follow: output " + P("no/such/dir/out.ts") + ": No such file or directory\n", run.strErr);

    // "-" is standard output, never a file named "-" (the tool runs in our
    // folder to show it).
    CChild child;
    const std::string strCmd = "cd '" + m_strDir + "' && " + KV_TOOL_PATH + " copy " + strStub + " 10 20 - > " +
                               P("copy.out");
    ASSERT_EQ(0, system(strCmd.c_str()));
    EXPECT_EQ(-1, FileSize(P("-")));
    EXPECT_EQ(10, FileSize(P("copy.out")));
    run = Run({"follow", "--out", "-", "-q", strStub});
    EXPECT_EQ(0, run.nExit) << run.strErr;
    EXPECT_EQ(10000u, run.strOut.size());
    EXPECT_EQ("", run.strErr);  // -q: not even the final line
}

TEST_F(CCommandLineTest, TheManualPageAndTheCompletionKnowEveryOptionOfEveryCommand)
{
    const char* pszSource = getenv("KV_SOURCE_DIR");
    ASSERT_NE(nullptr, pszSource);
    std::string strMan = ReadAll(std::string(pszSource) + "/tools/kvudpsrc.1");
    const std::string strCompletion = ReadAll(std::string(pszSource) + "/tools/kvudpsrc.bash-completion");
    ASSERT_FALSE(strMan.empty());
    ASSERT_FALSE(strCompletion.empty());
    // troff writes a minus as "\-".
    for (size_t n; (n = strMan.find("\\-")) != std::string::npos;)
        strMan.erase(n, 1);
    for (const char* pszCommand :
         {"record", "send", "relay", "dvr-write", "follow", "copy", "dvr-info", "register", "unregister"}) {
        EXPECT_NE(std::string::npos, strMan.find(pszCommand)) << pszCommand;
        EXPECT_NE(std::string::npos, strCompletion.find(pszCommand)) << pszCommand;
        const SToolRun run = Run({pszCommand, "--help"});
        const std::string& s = run.strOut;
        for (size_t n = 0; (n = s.find("--", n)) != std::string::npos;) {
            size_t nEnd = n + 2;
            while (nEnd < s.size() && (isalnum(static_cast<unsigned char>(s[nEnd])) || s[nEnd] == '-'))
                ++nEnd;
            const std::string strOption = s.substr(n, nEnd - n);
            n = nEnd;
            if (strOption.size() <= 2)
                continue;
            EXPECT_NE(std::string::npos, strMan.find(strOption)) << pszCommand << " " << strOption;
            EXPECT_NE(std::string::npos, strCompletion.find(strOption)) << pszCommand << " " << strOption;
        }
    }
}

TEST_F(CCommandLineTest, TraceSwitchesOnTheTraceFacilityAsTheEnvironmentDoes)
{
    SToolRun run = Run({"dvr-write", "--folder", m_strDir, "--pattern", "1", "--total", "1000", "-q"});
    ASSERT_EQ(0, run.nExit) << run.strErr;
    const std::string strStub = P("Capture.KBL");
    run = Run({"dvr-info", strStub});
    EXPECT_EQ(std::string::npos, run.strErr.find("StartDVRReader")) << run.strErr;
    // 0x4E: enabled, time of day, thread id, standard error.
    run = Run({"dvr-info", "--trace", "0x4E", strStub});
    EXPECT_EQ(0, run.nExit);
    EXPECT_NE(std::string::npos, run.strErr.find("CBaseDVRSource::StartDVRReader")) << run.strErr;
    // The same in decimal, to a trace file (0x09: enabled, to the file).
    run = Run({"dvr-info", "--trace=9", "--trace-file", P("trace.txt"), strStub});
    EXPECT_EQ(0, run.nExit);
    EXPECT_EQ(std::string::npos, run.strErr.find("StartDVRReader")) << run.strErr;
    EXPECT_NE(std::string::npos, ReadAll(P("trace.txt")).find("CBaseDVRSource::StartDVRReader"));
}
