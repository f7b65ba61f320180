// The example application run as an application runs: the component is
// registered with `kvudpsrc register` into a registry of the test's own, the
// example records a loopback stream from `kvudpsrc send` through the filter
// it creates with CoCreateInstance, and the recording is the sent stream.
#include "examples/exampletest.h"
#include "platform/regtestenv.h"

TEST(RecordUrlExample, RecordsALoopbackStreamThroughTheRegisteredComponent)
{
    CRegistryTestEnv env;
    CExampleTempDir dir;
    std::string strOut;
    // Not registered yet: the application cannot create the filter.
    EXPECT_EQ(1, RunProgram(KV_EXAMPLE_PATH, {"udp://127.0.0.1:9", dir.P("none.ts")}, dir.P("none"), &strOut));
    EXPECT_NE(std::string::npos, strOut.find("CoCreateInstance")) << strOut;

    ASSERT_EQ(0, RunProgram(KV_TOOL_PATH, {"register", KV_COMPONENT_PATH}, dir.P("register"), &strOut)) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("registered " KV_COMPONENT_PATH)) << strOut;

    const WORD wPort = FreeUdpPort();
    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(wPort);
    CProgram example(KV_EXAMPLE_PATH, {strUrl, dir.P("rec.ts"), "--bytes", "1000000", "--seconds", "30"},
                     dir.P("example"));
    CProgram sender(KV_TOOL_PATH, {"send", strUrl, "--rate", "8", "--duration", "20", "-q"}, dir.P("send"));
    ASSERT_EQ(0, example.Wait(30000)) << example.Err();
    EXPECT_NE(std::string::npos, example.Err().find("1000000 bytes written")) << example.Err();
    EXPECT_EQ("", CheckRecording(dir.P("rec.ts"), 8));
    EXPECT_EQ(1000000u, ReadText(dir.P("rec.ts")).size());
    sender.Terminate();
    EXPECT_EQ(0, sender.Wait(10000)) << sender.Err();

    ASSERT_EQ(0, RunProgram(KV_TOOL_PATH, {"unregister", KV_COMPONENT_PATH}, dir.P("unregister"), &strOut)) << strOut;
    EXPECT_EQ(1, RunProgram(KV_EXAMPLE_PATH, {"udp://127.0.0.1:9", dir.P("gone.ts")}, dir.P("gone"), &strOut));
}

TEST(RecordUrlExample, RegisterNamesWhatIsWrong)
{
    CRegistryTestEnv env;
    CExampleTempDir dir;
    std::string strOut;
    EXPECT_EQ(1, RunProgram(KV_TOOL_PATH, {"register", dir.P("missing.so")}, dir.P("missing"), &strOut));
    EXPECT_NE(std::string::npos, strOut.find(dir.P("missing.so") + ": no such file")) << strOut;
    // A file that is no component.
    EXPECT_EQ(1, RunProgram(KV_TOOL_PATH, {"register", KV_EXAMPLE_PATH}, dir.P("notlib"), &strOut));
    EXPECT_NE(std::string::npos, strOut.find(KV_EXAMPLE_PATH)) << strOut;
    EXPECT_EQ(0, RunProgram(KV_TOOL_PATH, {"register", "--help"}, dir.P("help"), &strOut));
    EXPECT_NE(std::string::npos, strOut.find("usage: kvudpsrc register")) << strOut;
    EXPECT_EQ(2, RunProgram(KV_TOOL_PATH, {"unregister", "a", "b"}, dir.P("usage"), &strOut));
}
