// Real senders through the push path: ffmpeg sends H.264 and JPEG over RTP
// to a loopback port this test binds; the datagrams go through the RTP
// parser and the mini parser as the receive thread runs them, the units are
// pushed through the pin into a sink that writes them out, and ffmpeg must
// decode the result without error and with every frame that was sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "dshowflt/common/rtp/miniparser.h"
#include "dshowflt/common/rtp/rtptestutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/pintestutil.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pushsink.h"
#include "platform/graph/testfilters.h"

extern char** environ;

using namespace pintest;
using namespace rtptest;

namespace {

constexpr int kFrames = 30;

std::string g_strTempDir;

std::string TempPath(const std::string& strName)
{
    if (g_strTempDir.empty()) {
        char sz[] = "/tmp/kvpin_interop_XXXXXX";
        if (mkdtemp(sz))
            g_strTempDir = sz;
    }
    return g_strTempDir + "/" + strName;
}

int RunCommand(const std::string& strCmd, std::string* pOut)
{
    FILE* f = popen((strCmd + " 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof(buf), f)) > 0;)
        pOut->append(buf, n);
    const int st = f ? pclose(f) : -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Binds 127.0.0.1:0, runs the sender with "PORT" replaced by the port, and
// keeps every datagram until the sender has exited and the socket has been
// quiet for a moment (bounded in count and time).
bool Capture(const std::string& strCmdTemplate, std::vector<Bytes>* pPackets, std::string* pError)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int cbBuf = 4 * 1024 * 1024;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &cbBuf, sizeof(cbBuf));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cbSa = sizeof(sa);
    const bool bBound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &cbSa) == 0;
    std::string strCmd = strCmdTemplate;
    const std::string strPort = std::to_string(ntohs(sa.sin_port));
    for (size_t pos; (pos = strCmd.find("PORT")) != std::string::npos;)
        strCmd.replace(pos, 4, strPort);
    strCmd += " >" + TempPath("sender.log") + " 2>&1";
    pid_t pid;
    const char* argv[] = {"/bin/sh", "-c", strCmd.c_str(), nullptr};
    if (!bBound || posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        if (fd >= 0)
            close(fd);
        *pError = "socket, bind or spawn failed";
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    auto lastPacket = start;
    bool bExited = false;
    int nStatus = 0;
    std::vector<BYTE> buf(65536);
    for (int i = 0; i < 200000 && pPackets->size() < 20000; ++i) {
        const auto now = std::chrono::steady_clock::now();
        if (now - start > std::chrono::seconds(30))
            break;
        if (bExited && now - lastPacket > std::chrono::milliseconds(300))
            break;
        if (!bExited && waitpid(pid, &nStatus, WNOHANG) == pid)
            bExited = true;
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n > 0) {
            pPackets->emplace_back(buf.begin(), buf.begin() + n);
            lastPacket = std::chrono::steady_clock::now();
        }
    }
    close(fd);
    if (!bExited) {
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
    }
    std::ifstream log(TempPath("sender.log"));
    *pError = "sender failed: " + std::string(std::istreambuf_iterator<char>(log), {});
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

std::vector<Unit> Depacketise(CRTPParser& parser, const std::vector<Bytes>& vPackets)
{
    std::vector<Unit> vUnits;
    for (const Bytes& p : vPackets) {
        if (p.size() >= 2 && p[1] >= 200 && p[1] <= 203)
            continue;  // RTCP sent to the same port
        FeedResult r = Feed(parser, p);
        vUnits.insert(vUnits.end(), r.units.begin(), r.units.end());
    }
    return vUnits;
}

size_t CountFrames(const std::string& s)
{
    std::istringstream in(s);
    size_t n = 0;
    for (std::string strLine; std::getline(in, strLine);)
        n += !strLine.empty() && strLine[0] != '#';
    return n;
}

void WriteFile(const std::string& strPath, const std::vector<BYTE>& v)
{
    std::ofstream(strPath, std::ios::binary).write(reinterpret_cast<const char*>(v.data()),
                                                   static_cast<std::streamsize>(v.size()));
}

// Decodes strPath with ffmpeg; the number of pictures, or -1 on an error.
int DecodedFrames(const std::string& strFormat, const std::string& strPath, std::string* pOut)
{
    const int nRet = RunCommand("ffmpeg -nostdin -v error -f " + strFormat + " -i " + strPath + " -f framemd5 -", pOut);
    if (nRet != 0 || pOut->find("rror") != std::string::npos)
        return -1;
    return static_cast<int>(CountFrames(*pOut));
}

// The source, a sink that keeps every byte pushed, and the graph.
class CPushInterop
{
public:
    explicit CPushInterop(const AM_MEDIA_TYPE* pmt)
    {
        EXPECT_EQ(S_OK, CFilterGraph::Create(&m_pGraph));
        EXPECT_EQ(S_OK, CTestSource::Create(nullptr, CWString(), &m_pSource));
        EXPECT_EQ(S_OK, m_pSource->SetOutputMediaType(pmt));
        EXPECT_EQ(S_OK, CPushSink::Create(
                            [this](const CPushSinkEvent& ev) {
                                if (ev.eKind == CPushSinkEvent::kSample)
                                    m_waiter.Update([&] {
                                        m_vData.insert(m_vData.end(), ev.pbData, ev.pbData + ev.cbData);
                                        m_cSamples++;
                                        m_cSync += ev.bSyncPoint ? 1 : 0;
                                        m_bTimesRise &= ev.hrTime == S_OK && ev.tStart >= m_tLast;
                                        m_tLast = ev.tStart;
                                    });
                                return S_OK;
                            },
                            nullptr, true, &m_pSink));
        EXPECT_EQ(S_OK, m_pGraph->AddFilter(m_pSource, u"source"));
        EXPECT_EQ(S_OK, m_pGraph->AddFilter(m_pSink, u"sink"));
        EXPECT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSource->Pin(), m_pSink->InputPin(), nullptr));
        EXPECT_EQ(S_OK, m_pGraph->Run());
    }
    ~CPushInterop()
    {
        (void)m_pGraph->Stop();
        m_pGraph->Release();
        m_pSink->Release();
        m_pSource->Release();
    }
    // As the data pipeline hands units on: every JPEG unit completes a
    // sample; H.264 samples end at the parser's end-of-frame flag.
    void Push(const std::vector<Unit>& vUnits, BOOL bEndOfUnit)
    {
        for (const Unit& u : vUnits)
            ASSERT_EQ(S_OK, m_pSource->Pin()->DeliverData(u.data.data(), static_cast<LONG>(u.data.size()), u.rtTime,
                                                          0, u.dwFlags, bEndOfUnit));
    }
    bool WaitForSamples(LONG n)
    {
        return m_waiter.WaitFor([&] { return m_cSamples >= n; });
    }

    graphtest::CWaiter m_waiter;
    std::vector<BYTE> m_vData;
    LONG m_cSamples = 0;
    LONG m_cSync = 0;
    bool m_bTimesRise = true;
    REFERENCE_TIME m_tLast = MIN_INT64;

private:
    CFilterGraph* m_pGraph = nullptr;
    CTestSource* m_pSource = nullptr;
    CPushSink* m_pSink = nullptr;
};

// Splits an Annex B unit into its NAL units (with their start codes).
std::vector<Bytes> SplitNals(const Bytes& v)
{
    std::vector<size_t> vStarts;
    for (size_t i = 0; i + 3 <= v.size(); i++) {
        if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1) {
            vStarts.push_back(i > 0 && v[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<Bytes> vNals;
    for (size_t k = 0; k < vStarts.size(); k++) {
        const size_t end = k + 1 < vStarts.size() ? vStarts[k + 1] : v.size();
        vNals.emplace_back(v.begin() + static_cast<std::ptrdiff_t>(vStarts[k]),
                           v.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return vNals;
}

BYTE NalType(const Bytes& nal)
{
    return static_cast<BYTE>(nal[nal[2] == 1 ? 3 : 4] & 0x1F);
}

}  // namespace

class CPushInteropTest : public ::testing::Test
{
public:
    static void SetUpTestSuite()
    {
        std::string strOut;
        const std::string strMp4 = TempPath("h264.mp4");
        // GOP of 10: three IDR frames.
        ASSERT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 "
                                "-c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p " + strMp4, &strOut))
            << strOut;
        std::string strError;
        // The parameter sets go in band before every IDR frame.
        ASSERT_TRUE(Capture("ffmpeg -nostdin -v error -re -i " + strMp4 +
                                " -c:v copy -bsf:v h264_mp4toannexb -f rtp -payload_type 96 "
                                "'rtp://127.0.0.1:PORT?rtcpport=PORT&pkt_size=700'",
                            &s_h264, &strError))
            << strError;
        ASSERT_TRUE(Capture("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=30 -frames:v 30 "
                            "-c:v mjpeg -pix_fmt yuvj420p -huffman default -force_duplicated_matrix 1 -f rtp "
                            "'rtp://127.0.0.1:PORT?rtcpport=PORT&pkt_size=1000'",
                            &s_jpeg, &strError))
            << strError;
    }
    static void TearDownTestSuite() { (void)system(("rm -rf '" + g_strTempDir + "'").c_str()); }

    static std::vector<Unit> H264Units()
    {
        CRTPParser parser;
        parser.SetClockRate(90000);
        parser.SetPayloadType(96, RTPFORMAT_H264);
        return Depacketise(parser, s_h264);
    }

    static inline std::vector<Bytes> s_h264, s_jpeg;
};

TEST_F(CPushInteropTest, H264WithParameterSetsInBandDecodesEveryFrame)
{
    const std::vector<Unit> vUnits = H264Units();
    ASSERT_EQ(static_cast<size_t>(kFrames), vUnits.size());
    CMiniParserH264 mini;
    HRESULT hr = S_FALSE;
    for (size_t i = 0; i < vUnits.size() && hr != S_OK; i++)
        hr = mini.CheckSequenceHeader(vUnits[i].data.data(), static_cast<LONG>(vUnits[i].data.size()));
    ASSERT_EQ(S_OK, hr);
    CMediaType mt;
    ASSERT_EQ(S_OK, mini.FillMediaType(&mt));

    CPushInterop push(&mt);
    push.Push(vUnits, FALSE);
    ASSERT_TRUE(push.WaitForSamples(kFrames));
    std::lock_guard<std::mutex> lk(push.m_waiter.Mutex());
    EXPECT_TRUE(push.m_bTimesRise);
    const std::string strFile = TempPath("inband.h264");
    WriteFile(strFile, push.m_vData);
    std::string strOut;
    EXPECT_EQ(kFrames, DecodedFrames("h264", strFile, &strOut)) << strOut;
}

// A sender that gives its parameter sets only out of band (as the
// sprop-parameter-sets of an SDP): the pin must put them in front of each
// IDR frame, or a decoder cannot start at all.
TEST_F(CPushInteropTest, H264WithParameterSetsOutOfBandDecodesOnlyThroughThePin)
{
    std::vector<Unit> vUnits = H264Units();
    ASSERT_EQ(static_cast<size_t>(kFrames), vUnits.size());
    Bytes params;
    std::vector<BYTE> vStripped;
    for (Unit& u : vUnits) {
        Bytes kept;
        for (const Bytes& nal : SplitNals(u.data)) {
            const BYTE bType = NalType(nal);
            if ((bType == 7 || bType == 8) && params.size() < 256 && std::search(params.begin(), params.end(),
                                                                                  nal.begin(), nal.end()) ==
                                                                          params.end())
                params.insert(params.end(), nal.begin(), nal.end());
            if (bType != 6 && bType != 7 && bType != 8 && bType != 9)
                kept.insert(kept.end(), nal.begin(), nal.end());
        }
        u.data = kept;
        vStripped.insert(vStripped.end(), kept.begin(), kept.end());
    }
    ASSERT_FALSE(params.empty());
    // Without them, nothing decodes: the oracle can tell.
    WriteFile(TempPath("stripped.h264"), vStripped);
    std::string strOut;
    EXPECT_NE(kFrames, DecodedFrames("h264", TempPath("stripped.h264"), &strOut));

    CMiniParserH264 mini;
    ASSERT_EQ(S_OK, mini.SetSequenceHeader(params.data(), static_cast<LONG>(params.size())));
    ASSERT_EQ(S_OK, mini.CheckSequenceHeader(vUnits[0].data.data(), static_cast<LONG>(vUnits[0].data.size())));
    CMediaType mt;
    ASSERT_EQ(S_OK, mini.FillMediaType(&mt));
    ASSERT_GT(mt.FormatLength(), sizeof(VIDEOINFOHEADER));

    CPushInterop push(&mt);
    push.Push(vUnits, FALSE);
    ASSERT_TRUE(push.WaitForSamples(kFrames));
    std::lock_guard<std::mutex> lk(push.m_waiter.Mutex());
    EXPECT_EQ(3, push.m_cSync);
    const std::string strFile = TempPath("outofband.h264");
    WriteFile(strFile, push.m_vData);
    strOut.clear();
    EXPECT_EQ(kFrames, DecodedFrames("h264", strFile, &strOut)) << strOut;
}

TEST_F(CPushInteropTest, JpegImagesDecodeEveryFrame)
{
    CRTPParser parser;
    const std::vector<Unit> vUnits = Depacketise(parser, s_jpeg);
    ASSERT_EQ(static_cast<size_t>(kFrames), vUnits.size());
    CMiniParserJPEG mini;
    ASSERT_EQ(S_OK, mini.SetDimensions(parser.Width(), parser.Height()));
    ASSERT_EQ(S_OK, mini.CheckSequenceHeader(vUnits[0].data.data(), static_cast<LONG>(vUnits[0].data.size())));
    CMediaType mt;
    ASSERT_EQ(S_OK, mini.FillMediaType(&mt));

    CPushInterop push(&mt);
    push.Push(vUnits, TRUE);
    ASSERT_TRUE(push.WaitForSamples(kFrames));
    std::lock_guard<std::mutex> lk(push.m_waiter.Mutex());
    EXPECT_EQ(kFrames, push.m_cSamples);  // one sample per image
    EXPECT_TRUE(push.m_bTimesRise);
    const std::string strFile = TempPath("images.mjpeg");
    WriteFile(strFile, push.m_vData);
    std::string strOut;
    EXPECT_EQ(kFrames, DecodedFrames("mjpeg", strFile, &strOut)) << strOut;
}
