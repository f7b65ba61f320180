// Streams from a real encoder (ffmpeg with libx264), generated at test time:
// the mini parser must describe them as ffprobe does.
#include "dshowflt/common/rtp/miniparser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dshowflt/common/commontest_util.h"

namespace {

class CMiniParserInteropTest : public commontest::CTempFolderTest
{
protected:
    // Encodes two frames of the test pattern; returns the Annex B stream.
    std::vector<BYTE> Encode(const std::string& strName, const std::string& strArgs)
    {
        const std::string strPath = m_strDir + "/" + strName;
        const std::string strCmd = "ffmpeg -nostdin -loglevel error -y " + strArgs + " -frames:v 2 -c:v libx264 -f h264 '" +
                                   strPath + "' 2>&1";
        EXPECT_EQ(system(strCmd.c_str()), 0) << strCmd;
        const std::string str = commontest::ReadFileBytes(strPath);
        return std::vector<BYTE>(str.begin(), str.end());
    }

    // ffprobe's idea of the picture size, the independent reference.
    void Probe(const std::string& strName, LONG* plWidth, LONG* plHeight)
    {
        const std::string strCmd = "ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of "
                                   "csv=p=0 '" + m_strDir + "/" + strName + "'";
        FILE* pf = popen(strCmd.c_str(), "r");
        ASSERT_NE(pf, nullptr);
        int nWidth = -1, nHeight = -1;
        EXPECT_EQ(fscanf(pf, "%d,%d", &nWidth, &nHeight), 2);
        pclose(pf);
        *plWidth = nWidth;
        *plHeight = nHeight;
    }

};

}  // namespace

TEST_F(CMiniParserInteropTest, X264StreamsAreDescribedAsFfprobeSeesThem)
{
    struct Case {
        const char* pszName;
        const char* pszArgs;
        double dRate;
    } cases[] = {
        // 1080 lines are coded as 1088 with 8 cropped away.
        {"hd.264", "-f lavfi -i testsrc=size=1920x1080:rate=30000/1001 -pix_fmt yuv420p", 29.97},
        {"base.264", "-f lavfi -i testsrc=size=352x288:rate=25 -pix_fmt yuv420p -profile:v baseline", 25.0},
        // Interlaced 4:2:2 (High 4:2:2, profile_idc 122): field cropping units.
        {"i422.264", "-f lavfi -i testsrc=size=720x486:rate=30000/1001 -pix_fmt yuv422p -flags +ildct+ilme -x264opts interlaced=1", 29.97},
        // Odd size: cropping on the right and at the bottom.
        {"odd.264", "-f lavfi -i testsrc=size=638x358:rate=50 -pix_fmt yuv420p", 50.0},
    };
    for (const Case& c : cases) {
        const std::vector<BYTE> stream = Encode(c.pszName, c.pszArgs);
        ASSERT_GT(stream.size(), 100u) << c.pszName;
        LONG lWidth, lHeight;
        Probe(c.pszName, &lWidth, &lHeight);

        CMiniParserH264 whole;
        ASSERT_EQ(whole.ParseSPS(stream.data(), static_cast<LONG>(stream.size())), S_OK) << c.pszName;
        EXPECT_EQ(whole.GetDescription().lWidth, lWidth) << c.pszName;
        EXPECT_EQ(whole.GetDescription().lHeight, lHeight) << c.pszName;
        EXPECT_NEAR(whole.GetDescription().dFrameRate, c.dRate, 0.001) << c.pszName;

        // The same stream in datagram-sized units, as plain H.264 over UDP
        // arrives.
        CMiniParserH264 parser;
        HRESULT hr = S_FALSE;
        for (size_t i = 0; i < stream.size() && hr != S_OK; i += 1316) {
            const size_t cb = std::min<size_t>(1316, stream.size() - i);
            hr = parser.CheckSequenceHeader(stream.data() + i, static_cast<LONG>(cb));
            ASSERT_TRUE(SUCCEEDED(hr));
        }
        ASSERT_EQ(hr, S_OK) << c.pszName;
        EXPECT_EQ(parser.GetDescription().lWidth, lWidth);
        AM_MEDIA_TYPE mt{};
        ASSERT_EQ(parser.FillMediaType(&mt), S_OK);
        const CBuffer& seq = parser.SequenceHeader();
        // SPS then PPS, each behind a start code.
        ASSERT_GT(seq.Length(), 8);
        EXPECT_EQ(seq.Data()[3] & 0x1F, 7);
        bool bPps = false;
        for (LONG i = 0; i + 3 < seq.Length(); ++i)
            bPps = bPps || (seq.Data()[i] == 0 && seq.Data()[i + 1] == 0 && seq.Data()[i + 2] == 1 &&
                            (seq.Data()[i + 3] & 0x1F) == 8);
        EXPECT_TRUE(bPps) << c.pszName;
        ASSERT_EQ(mt.cbFormat, sizeof(VIDEOINFOHEADER) + static_cast<ULONG>(seq.Length()));
        EXPECT_EQ(memcmp(mt.pbFormat + sizeof(VIDEOINFOHEADER), seq.Data(), static_cast<size_t>(seq.Length())), 0);
        free(mt.pbFormat);
    }
}

// x264's default for RGB input is High 4:4:4 Predictive (profile_idc 244),
// which is not among the profiles we describe: the parser keeps looking.
TEST_F(CMiniParserInteropTest, HighPredictive444IsNotDescribed)
{
    const std::vector<BYTE> stream = Encode("rgb.264", "-f lavfi -i testsrc=size=1920x1080:rate=30000/1001");
    ASSERT_GT(stream.size(), 100u);
    CMiniParserH264 parser;
    EXPECT_EQ(parser.ParseSPS(stream.data(), static_cast<LONG>(stream.size())), CMiniParserH264::kSpsNotFound);
    EXPECT_EQ(parser.CheckSequenceHeader(stream.data(), static_cast<LONG>(stream.size())), S_FALSE);
}
