// copy --keyframe judged by ffmpeg: an H.264 transport stream from ffmpeg's
// own muxer, time-shifted through the ring, cut at a time in the middle of
// a group of pictures, must start with a frame that decodes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "platform/filetime.h"
#include "tools/timearg.h"
#include "tools/tooltest.h"

namespace {

class CDVRKeyframeInteropTest : public CToolTest
{
protected:
    void SetUp() override
    {
        int nExit = -1;
        (void)ShellOutput("ffmpeg -hide_banner -encoders 2>/dev/null | grep -q libx264", &nExit);
        if (nExit != 0 || system("ffprobe -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "ffmpeg with libx264, or ffprobe, not found (Debian package ffmpeg)";
        CToolTest::SetUp();
    }
};

}  // namespace

TEST_F(CDVRKeyframeInteropTest, ACutAtTheNextKeyframeDecodesFromItsFirstFrame)
{
    // 8 s of H.264, a key frame every 25 frames (1 s), B-frames, in ffmpeg's
    // transport stream muxer (which sends PAT and PMT right before each key
    // frame).
    int nExit = -1;
    (void)ShellOutput("ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 8 -c:v libx264 -g 25 -bf 2 "
                "-pix_fmt yuv420p -f mpegts '" + P("in.ts") + "' 2>&1",
                &nExit);
    ASSERT_EQ(0, nExit);
    const long long llSize = FileSize(P("in.ts"));
    ASSERT_GT(llSize, 10000);

    // Into the ring at a pace that spreads it over about three seconds, as
    // a live stream would arrive.
    const int fdIn = open(P("in.ts").c_str(), O_RDONLY);
    ASSERT_GE(fdIn, 0);
    CChild writer;
    writer.Start({"dvr-write", "--folder", m_strDir, "--files", "10", "--file-size", "1M", "--block", "1316",
                  "--rate", std::to_string(llSize / 3 + 1)},
                 P("writer.out"), P("writer.err"), fdIn);
    close(fdIn);
    const std::string strStub = WaitForLine(P("writer.out"), "stub ");
    ASSERT_FALSE(strStub.empty());
    ASSERT_EQ(0, writer.Wait(20000 * kToolSlowdown)) << ReadAll(P("writer.err"));

    const SToolRun info = Run({"dvr-info", strStub});
    ASSERT_EQ(0, info.nExit) << info.strErr;
    const size_t nSpan = info.strOut.find("span          ");
    ASSERT_NE(std::string::npos, nSpan) << info.strOut;
    const std::string strFirst = info.strOut.substr(nSpan + 14, 24);
    LONGLONG llFirst = 0;
    std::string strWhy;
    ASSERT_TRUE(ParseTimeArg(strFirst.c_str(), &llFirst, &strWhy)) << strFirst << ": " << strWhy;

    // A few times into the stream: most land inside a group of pictures.
    for (const LONGLONG llInto : {1300LL, 1750LL, 2222LL}) {
        const std::string strT = FormatFileTime(llFirst + llInto * kFileTimePerMs);
        const std::string strT2 = FormatFileTime(llFirst + (llInto + 700) * kFileTimePerMs);
        const SToolRun key = Run({"copy", "--keyframe", "--from-time", strT, "--to-time", strT2, strStub, P("key.ts")});
        ASSERT_EQ(0, key.nExit) << key.strErr;
        const SToolRun plain = Run({"copy", "--from-time", strT, "--to-time", strT2, strStub, P("plain.ts")});
        ASSERT_EQ(0, plain.nExit) << plain.strErr;

        // The first video frame is a key frame, and the frames from it on
        // decode without a complaint (all but the last: the piece ends at a
        // time, inside a frame).
        const std::string strFrame =
            ShellOutput("ffprobe -v error -select_streams v:0 -show_frames -read_intervals '%+#1' "
                  "-show_entries frame=key_frame,pict_type -of csv=p=0 '" + P("key.ts") + "' 2>&1",
                  &nExit);
        EXPECT_EQ(0, nExit);
        EXPECT_EQ("1,I", strFrame.substr(0, 3)) << strT << ": " << strFrame;
        const std::string strErrors =
            ShellOutput("ffmpeg -v error -i '" + P("key.ts") + "' -frames:v 10 -f null - 2>&1", &nExit);
        EXPECT_EQ(0, nExit);
        EXPECT_EQ("", strErrors) << strT;
        // The key frame is at or after the plain cut, within a group of
        // pictures of it (about 1 s of stream).
        EXPECT_LE(FileSize(P("key.ts")), FileSize(P("plain.ts")) + 188 * 4) << strT;
    }
}
