// The installed package from outside this tree: `cmake --install` into a
// temporary prefix, the example built there against find_package(kvudpsrc),
// the component registered with the installed tool, and a loopback stream
// recorded with it.
#include "examples/exampletest.h"
#include "platform/regtestenv.h"

TEST(InstalledPackage, AnApplicationBuiltAgainstItRecordsAStream)
{
    if (kExampleSlowdown > 1)
        GTEST_SKIP() << "the installed libraries need the sanitizer runtime, which an outside build does not link";
    CRegistryTestEnv env;
    CExampleTempDir dir;
    const std::string strPrefix = dir.P("prefix");
    std::string strOut;
    ASSERT_EQ(0, RunProgram(KV_CMAKE_COMMAND, {"--install", KV_BINARY_DIR, "--prefix", strPrefix}, dir.P("install"),
                            &strOut, 120000))
        << strOut;
    for (const char* psz : {"/lib/libkvudpsrc.so", "/lib/libkvplatform.so", "/lib/libkvgraph.so", "/bin/kvudpsrc",
                            "/lib/cmake/kvudpsrc/kvudpsrcConfig.cmake",
                            "/include/kvudpsrc/dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h",
                            "/include/kvudpsrc/platform/graph/filtergraph.h"})
        EXPECT_TRUE(Exists(strPrefix + psz)) << psz;

    // The example, on its own, against the installation only.
    const std::string strBuild = dir.P("build");
    ASSERT_EQ(0, RunProgram(KV_CMAKE_COMMAND,
                            {"-S", std::string(KV_SOURCE_DIR_PATH) + "/examples", "-B", strBuild,
                             "-DCMAKE_PREFIX_PATH=" + strPrefix, "-DCMAKE_CXX_COMPILER=" KV_CXX_COMPILER,
                             "-DCMAKE_BUILD_TYPE=Release"},
                            dir.P("configure"), &strOut, 120000))
        << strOut;
    ASSERT_EQ(0, RunProgram(KV_CMAKE_COMMAND, {"--build", strBuild}, dir.P("build"), &strOut, 300000)) << strOut;
    const std::string strExample = strBuild + "/recordurl";
    ASSERT_TRUE(Exists(strExample));

    // The installed tool registers the component installed beside it.
    const std::string strTool = strPrefix + "/bin/kvudpsrc";
    ASSERT_EQ(0, RunProgram(strTool, {"register"}, dir.P("register"), &strOut)) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("registered " + strPrefix + "/bin/../lib/libkvudpsrc.so")) << strOut;

    const std::string strUrl = "udp://127.0.0.1:" + std::to_string(FreeUdpPort());
    CProgram example(strExample, {strUrl, dir.P("rec.ts"), "--bytes", "500000", "--seconds", "30"}, dir.P("example"));
    CProgram sender(strTool, {"send", strUrl, "--rate", "8", "--duration", "20", "-q"}, dir.P("send"));
    ASSERT_EQ(0, example.Wait(30000)) << example.Err();
    EXPECT_EQ("", CheckRecording(dir.P("rec.ts"), 8));
    EXPECT_EQ(500000u, ReadText(dir.P("rec.ts")).size());
    sender.Terminate();
    (void)sender.Wait(10000);
    EXPECT_EQ(0, RunProgram(strTool, {"unregister"}, dir.P("unregister"), &strOut)) << strOut;
}
