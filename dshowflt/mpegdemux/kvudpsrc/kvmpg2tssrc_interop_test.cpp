// The network source filter end to end on loopback, one test per kind of
// stream, each through the filter in a graph as an application uses it,
// fed by a real sender (ffmpeg, GStreamer or `kvudpsrc send`):
//   - transport stream over multicast, RTP and TCP (with the server
//     restarting) and a plain H.264 stream (comp=H264), pulled through the
//     DVR buffer: the test stream is checked byte for byte, real video must
//     pass ffprobe and decode without error;
//   - H.264 with its parameter sets given only in the URL
//     (sprop-parameter-sets), JPEG, and raw video described by sampling=,
//     pushed as samples: every sample from the first sync point decodes.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "dshowflt/common/rtp/rtpinterop_testutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/filternettestutil.h"
#include "platform/graph/pushsink.h"


using namespace filtertest;

namespace {

using rtptest::RunCommand;
using rtptest::TempPath;
using commontest::WriteFileBytes;

const auto ReadFile = commontest::ReadFileAs<std::vector<BYTE>>;

// A sender in the background: the command runs in a shell that execs it,
// so the pid is the sender's own. Stopped with SIGTERM, then SIGKILL.
class CProcess
{
public:
    explicit CProcess(const std::string& strCmd)
    {
        const std::string strExec = "exec " + strCmd + " >>" + TempPath("senders.log") + " 2>&1";
        const char* argv[] = {"/bin/sh", "-c", strExec.c_str(), nullptr};
        if (posix_spawn(&m_pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            m_pid = -1;
    }
    ~CProcess() { Stop(); }
    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;

    bool Running() const { return m_pid > 0; }
    void Stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        int nStatus = 0;
        for (int i = 0; i < 100 && waitpid(m_pid, &nStatus, WNOHANG) == 0; ++i)
            Sleep(20);
        if (waitpid(m_pid, &nStatus, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &nStatus, 0);
        }
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

std::string Tool()
{
    return KV_TOOL_PATH;
}

// ffprobe's summary, or its complaint.
bool Probe(const std::string& strPath, std::string* pOut)
{
    return RunCommand("ffprobe -v error -show_entries stream=codec_type,codec_name -of compact " + strPath, pOut) ==
               0 &&
           pOut->find("stream|") != std::string::npos;
}
// The same for bytes, written into strName first.
bool Probe(const std::string& strName, const std::vector<BYTE>& v, std::string* pOut)
{
    WriteFileBytes(TempPath(strName), v);
    return Probe(TempPath(strName), pOut);
}
// Pictures decoded from strPath (input options strIn), or -1 when ffmpeg
// reports any error.
int Decode(const std::string& strIn, const std::string& strPath, std::string* pOut)
{
    const int nFrames = rtptest::FfmpegFrames(strIn + " -i " + strPath, pOut);
    return pOut->empty() ? nFrames : -1;
}

// The H.264 source of the video tests: 30 frames, an IDR every 10, with
// SPS and PPS in band; and its Annex B form.
struct SVideo
{
    std::string strMp4 = TempPath("src.mp4");
    std::string strTs = TempPath("src.ts");
    std::string strAnnexB = TempPath("src.h264");
};

const SVideo& Video()
{
    static SVideo s_video;
    static bool s_bMade = false;
    if (!s_bMade) {
        s_bMade = true;
        std::string strOut;
        EXPECT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 30 "
                                "-c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p " + s_video.strMp4, &strOut))
            << strOut;
        EXPECT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -i " + s_video.strMp4 + " -c copy -f mpegts " +
                                    s_video.strTs,
                                &strOut))
            << strOut;
        EXPECT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -i " + s_video.strMp4 +
                                    " -c copy -bsf:v h264_mp4toannexb -f h264 " + s_video.strAnnexB,
                                &strOut))
            << strOut;
    }
    return s_video;
}

std::vector<std::vector<BYTE>> SplitNals(const std::vector<BYTE>& v)
{
    std::vector<size_t> vStarts;
    for (size_t i = 0; i + 3 <= v.size(); i++) {
        if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1) {
            vStarts.push_back(i);
            i += 2;
        }
    }
    std::vector<std::vector<BYTE>> vNals;
    for (size_t k = 0; k < vStarts.size(); k++) {
        size_t end = k + 1 < vStarts.size() ? vStarts[k + 1] : v.size();
        while (end > vStarts[k] + 3 && v[end - 1] == 0)
            --end;  // the zero of the next one's four-byte start code
        vNals.emplace_back(v.begin() + static_cast<std::ptrdiff_t>(vStarts[k] + 3),
                           v.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return vNals;
}

std::string Base64(const std::vector<BYTE>& v)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (size_t i = 0; i < v.size(); i += 3) {
        const uint32_t n = (v[i] << 16) | (i + 1 < v.size() ? v[i + 1] << 8 : 0) | (i + 2 < v.size() ? v[i + 2] : 0);
        s += kAlphabet[(n >> 18) & 63];
        s += kAlphabet[(n >> 12) & 63];
        s += i + 1 < v.size() ? kAlphabet[(n >> 6) & 63] : '=';
        s += i + 2 < v.size() ? kAlphabet[n & 63] : '=';
    }
    return s;
}

// The filter in a graph with a pulling consumer that keeps every byte.
class CPullRecording : public CSourceGraph
{
public:
    // The consumer's thread uses our members: it ends first.
    ~CPullRecording()
    {
        if (m_pGraph)
            (void)m_pGraph->Stop();
        Release();
    }
    HRESULT Connect()
    {
        CPullReaderConfig config;
        config.cbRequest = 1316;
        HRESULT hr = CPullReader::Create(
            config,
            [this](LONGLONG llPos, const BYTE* pb, LONG cb) {
                m_waiter.Update([&] {
                    if (llPos == static_cast<LONGLONG>(m_vData.size()))
                        m_vData.insert(m_vData.end(), pb, pb + cb);
                });
                return S_OK;
            },
            nullptr, &m_pReader);
        if (SUCCEEDED(hr))
            hr = m_pGraph->AddFilter(m_pReader, u"consumer");
        if (SUCCEEDED(hr))
            hr = m_pGraph->ConnectDirect(m_pSrc->OutputPin(), m_pReader->InputPin(), nullptr);
        if (SUCCEEDED(hr))
            hr = m_pGraph->Run();
        return hr;
    }
    bool WaitForBytes(size_t cb)
    {
        return m_waiter.WaitFor([&] { return m_vData.size() >= cb; });
    }
    // Until nothing new has come for dwQuietMs (bounded).
    void WaitQuiet(DWORD dwQuietMs, DWORD dwMaxMs)
    {
        size_t cbLast = Size();
        DWORD dwQuiet = 0;
        for (DWORD dw = 0; dw < dwMaxMs && dwQuiet < dwQuietMs; dw += 100) {
            Sleep(100);
            const size_t cb = Size();
            dwQuiet = cb == cbLast ? dwQuiet + 100 : 0;
            cbLast = cb;
        }
    }
    size_t Size()
    {
        std::lock_guard<std::mutex> lock(m_waiter.Mutex());
        return m_vData.size();
    }
    std::vector<BYTE> Data()
    {
        std::lock_guard<std::mutex> lock(m_waiter.Mutex());
        return m_vData;
    }

private:
    graphtest::CWaiter m_waiter;
    std::vector<BYTE> m_vData;
};

// The filter in a graph with a push sink that keeps every sample.
class CPushRecording : public CSourceGraph
{
public:
    struct SSample
    {
        std::vector<BYTE> data;
        bool bSync;
    };
    HRESULT Connect()
    {
        HRESULT hr = CPushSink::Create(
            [this](const CPushSinkEvent& ev) {
                if (ev.eKind == CPushSinkEvent::kSample)
                    m_waiter.Update([&] {
                        m_vSamples.push_back(SSample{std::vector<BYTE>(ev.pbData, ev.pbData + ev.cbData), ev.bSyncPoint});
                    });
                return S_OK;
            },
            nullptr, true, &m_pSink);
        if (SUCCEEDED(hr))
            hr = m_pGraph->AddFilter(m_pSink, u"sink");
        if (SUCCEEDED(hr))
            hr = m_pGraph->ConnectDirect(m_pSrc->OutputPin(), m_pSink->InputPin(), nullptr);
        if (SUCCEEDED(hr))
            hr = m_pGraph->Run();
        return hr;
    }
    ~CPushRecording()
    {
        if (m_pGraph)
            (void)m_pGraph->Stop();
        Release();
        if (m_pSink)
            m_pSink->Release();
    }
    bool WaitForSamples(size_t n)
    {
        return m_waiter.WaitFor([&] { return m_vSamples.size() >= n; });
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_waiter.Mutex());
        return m_vSamples.size();
    }
    // The samples from the first sync point on, as a decoder needs them.
    std::vector<SSample> FromFirstSyncPoint()
    {
        std::lock_guard<std::mutex> lock(m_waiter.Mutex());
        size_t i = 0;
        while (i < m_vSamples.size() && !m_vSamples[i].bSync)
            ++i;
        return std::vector<SSample>(m_vSamples.begin() + static_cast<std::ptrdiff_t>(i), m_vSamples.end());
    }
    // Writes the samples from the first sync point on into strName and
    // decodes them (input options strIn): the pictures, or -1 on an error.
    int DecodeFromFirstSyncPoint(const std::string& strIn, const std::string& strName, size_t* pnSamples,
                                 std::string* pOut)
    {
        std::vector<BYTE> v;
        for (const auto& s : FromFirstSyncPoint())
            v.insert(v.end(), s.data.begin(), s.data.end()), ++*pnSamples;
        WriteFileBytes(TempPath(strName), v);
        return Decode(strIn, TempPath(strName), pOut);
    }

private:
    CPushSink* m_pSink = nullptr;
    graphtest::CWaiter m_waiter;
    std::vector<SSample> m_vSamples;
};

}  // namespace

// ---------------------------------------------------------------------------
// Pulled transport streams

TEST(CKVMpg2TSSrcInterop, TsOverMulticastOnTheLoopbackInterface)
{
    CPullRecording rec;
    const WORD wPort = FreePort();
    const std::string strGroup = "239.255.42.31:" + std::to_string(wPort);
    HRESULT hr = rec.m_pSrc->Load(Utf8ToWide("udp://" + strGroup + "/127.0.0.1").c_str(), nullptr);
    if (FAILED(hr))
        GTEST_SKIP() << "cannot join the group on 127.0.0.1: 0x" << std::hex << hr;
    CProcess sender(Tool() + " send udp://" + strGroup + "/127.0.0.1 --ttl 1 --rate 8 --duration 2 -q");
    ASSERT_EQ(S_OK, rec.Join());
    ASSERT_EQ(S_OK, rec.Connect());
    ASSERT_TRUE(rec.WaitForBytes(500 * 1316));
    rec.WaitQuiet(500, 10000);
    const std::vector<BYTE> v = rec.Data();
    CTsGenerator gen(8000000);
    EXPECT_EQ(-1, gen.FirstMismatch(0, v.data(), v.size()));
}

TEST(CKVMpg2TSSrcInterop, TsInRtpFromGStreamerDecodes)
{
    const SVideo& video = Video();
    CPullRecording rec;
    const WORD wPort = FreePort();
    ASSERT_EQ(S_OK, rec.m_pSrc->Load(UdpUrl(wPort).c_str(), nullptr));
    CProcess sender("gst-launch-1.0 -q filesrc location=" + video.strTs + " blocksize=1316 ! "
                    "'video/mpegts,systemstream=(boolean)true,packetsize=(int)188' ! rtpmp2tpay ! "
                    "udpsink host=127.0.0.1 port=" + std::to_string(wPort));
    ASSERT_EQ(S_OK, rec.Join());
    ASSERT_EQ(S_OK, rec.Connect());
    // RTP stripped, the file's bytes as they were sent.
    const std::vector<BYTE> vSent = ReadFile(video.strTs);
    ASSERT_TRUE(rec.WaitForBytes(vSent.size()));
    const std::vector<BYTE> v = rec.Data();
    EXPECT_TRUE(std::equal(vSent.begin(), vSent.end(), v.begin()));
    std::string strOut;
    EXPECT_TRUE(Probe("rtp.ts", v, &strOut)) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("h264")) << strOut;
    strOut.clear();
    EXPECT_EQ(30, Decode("", TempPath("rtp.ts"), &strOut)) << strOut;
}

TEST(CKVMpg2TSSrcInterop, TsOverTcpGoesOnWhenTheServerComesBack)
{
    CPullRecording rec;
    const WORD wPort = FreePort(SOCK_STREAM);
    const std::string strServer = Tool() + " send tcp://127.0.0.1:" + std::to_string(wPort) + " --rate 8 -q";
    auto pServer = std::make_unique<CProcess>(strServer);
    const std::u16string strUrl = Utf8ToWide("tcp://127.0.0.1:" + std::to_string(wPort));
    HRESULT hr = E_FAIL;
    for (int i = 0; i < 100 && FAILED(hr); ++i) {  // until the server listens
        hr = rec.m_pSrc->Load(strUrl.c_str(), nullptr);
        if (FAILED(hr))
            Sleep(50);
    }
    ASSERT_EQ(S_OK, hr);
    ASSERT_EQ(S_OK, rec.Join());
    ASSERT_EQ(S_OK, rec.Connect());
    ASSERT_TRUE(rec.WaitForBytes(200 * 1316));

    // The server goes (its last bytes arrive, then nothing while the receive
    // thread tries to reconnect) and comes back on the same port: the new
    // connection's stream, again from its first byte, follows in the same
    // buffer right after the first one's last byte.
    pServer.reset();
    rec.WaitQuiet(500, 10000);
    const size_t cbFirst = rec.Size();
    pServer = std::make_unique<CProcess>(strServer);
    ASSERT_TRUE(rec.WaitForBytes(cbFirst + 300 * 1316));
    pServer.reset();
    const std::vector<BYTE> v = rec.Data();
    CTsGenerator gen(8000000);
    // The quiet spell only says roughly where the first connection ended: a
    // receive thread starved on a loaded machine can read its last bytes
    // later. The oracle is exact whatever the timing: the buffer is one
    // prefix of the sent stream followed by another, nothing lost, repeated
    // or spliced at the seam.
    const long long llSeam = gen.FirstMismatch(0, v.data(), v.size());
    ASSERT_GE(llSeam, static_cast<long long>(cbFirst) / 2);
    size_t cbSplit = 0;
    for (long long ll = llSeam; ll >= 0 && ll + 1316 >= llSeam; --ll) {
        if (gen.FirstMismatch(0, v.data() + ll, v.size() - ll) == -1) {
            cbSplit = static_cast<size_t>(ll);
            break;
        }
    }
    ASSERT_GT(cbSplit, 0u) << "no second stream starts near offset " << llSeam;
    std::string strOut;
    EXPECT_TRUE(Probe("tcp.ts", v, &strOut)) << strOut;
}

TEST(CKVMpg2TSSrcInterop, PlainH264StreamIsRecordedAndDecodes)
{
    const SVideo& video = Video();
    CPullRecording rec;
    const WORD wPort = FreePort();
    ASSERT_EQ(S_OK, rec.m_pSrc->Load(UdpUrl(wPort, "?comp=H264").c_str(), nullptr));
    CProcess sender("ffmpeg -nostdin -v error -re -i " + video.strAnnexB + " -c copy -f h264 'udp://127.0.0.1:" +
                    std::to_string(wPort) + "?pkt_size=1316'");
    ASSERT_EQ(S_OK, rec.Join());
    ASSERT_EQ(S_OK, rec.Connect());
    const std::vector<BYTE> vSent = ReadFile(video.strAnnexB);
    ASSERT_TRUE(rec.WaitForBytes(vSent.size()));
    const std::vector<BYTE> v = rec.Data();
    EXPECT_TRUE(std::equal(vSent.begin(), vSent.end(), v.begin()));
    const std::string strFile = TempPath("plain.h264");
    WriteFileBytes(strFile, v);
    std::string strOut;
    EXPECT_EQ(30, Decode("-f h264", strFile, &strOut)) << strOut;
}

// ---------------------------------------------------------------------------
// Pushed elementary streams

TEST(CKVMpg2TSSrcInterop, H264WithItsParameterSetsOnlyInTheUrlIsPushedAndDecodes)
{
    const SVideo& video = Video();
    // The sender gives SPS and PPS only out of band, as an SDP would: the
    // URL carries them.
    std::vector<BYTE> vSps, vPps;
    for (const auto& nal : SplitNals(ReadFile(video.strAnnexB))) {
        if (!nal.empty() && (nal[0] & 0x1F) == 7 && vSps.empty())
            vSps = nal;
        if (!nal.empty() && (nal[0] & 0x1F) == 8 && vPps.empty())
            vPps = nal;
    }
    ASSERT_FALSE(vSps.empty());
    ASSERT_FALSE(vPps.empty());
    const std::string strOptions =
        "?rtpmap=96;H264/90000&fmtp=96;packetization-mode=1;sprop-parameter-sets=\"" + Base64(vSps) + "," +
        Base64(vPps) + "\"";
    CPushRecording rec;
    ASSERT_EQ(S_OK, rec.Join());
    const WORD wPort = FreePort();
    // Long enough to start after the graph runs (looping with the filter
    // that strips the parameter sets breaks ffmpeg after one round).
    const std::string strLong = TempPath("long.mp4");
    std::string strMake;
    ASSERT_EQ(0, RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -frames:v 200 "
                            "-c:v libx264 -g 10 -bf 0 -pix_fmt yuv420p " + strLong, &strMake))
        << strMake;
    CProcess sender("ffmpeg -nostdin -v error -re -i " + strLong +
                    " -c:v copy -bsf:v 'h264_mp4toannexb,filter_units=remove_types=7|8' -f rtp -payload_type 96 "
                    "'rtp://127.0.0.1:" + std::to_string(wPort) + "?pkt_size=1200'");
    // In the graph, Load returns once the stream is described.
    ASSERT_EQ(S_OK, rec.m_pSrc->Load(UdpUrl(wPort, strOptions.c_str()).c_str(), nullptr));
    ASSERT_TRUE(rec.m_pSrc->IsOutputMediaTypeValid());
    ASSERT_EQ(S_OK, rec.Connect());
    ASSERT_TRUE(rec.WaitForSamples(45)) << rec.Count() << " samples";
    // The sent stream has no parameter set at all: it decodes only because
    // the pin put the URL's in front of each IDR frame.
    size_t nSamples = 0;
    std::string strOut;
    const int nDecoded = rec.DecodeFromFirstSyncPoint("-f h264", "pushed.h264", &nSamples, &strOut);
    ASSERT_GE(nSamples, 20u);
    EXPECT_EQ(static_cast<int>(nSamples), nDecoded) << strOut;
}

TEST(CKVMpg2TSSrcInterop, JpegFromGStreamerIsPushedAndEveryImageDecodes)
{
    CPushRecording rec;
    ASSERT_EQ(S_OK, rec.Join());
    const WORD wPort = FreePort();
    CProcess sender("gst-launch-1.0 -q videotestsrc is-live=true ! "
                    "video/x-raw,format=I420,width=320,height=240,framerate=25/1 ! jpegenc ! rtpjpegpay mtu=1000 ! "
                    "udpsink host=127.0.0.1 port=" + std::to_string(wPort));
    ASSERT_EQ(S_OK, rec.m_pSrc->Load(UdpUrl(wPort).c_str(), nullptr));
    ASSERT_EQ(S_OK, rec.Connect());
    ASSERT_TRUE(rec.WaitForSamples(30));
    size_t nSamples = 0;
    std::string strOut;
    const int nDecoded = rec.DecodeFromFirstSyncPoint("-f mjpeg", "pushed.mjpeg", &nSamples, &strOut);
    EXPECT_EQ(static_cast<int>(nSamples), nDecoded) << strOut;
}

TEST(CKVMpg2TSSrcInterop, RawVideoDescribedBySamplingIsPushedFrameByFrame)
{
    CPushRecording rec;
    ASSERT_EQ(S_OK, rec.Join());
    const WORD wPort = FreePort();
    CProcess sender("gst-launch-1.0 -q videotestsrc is-live=true ! "
                    "video/x-raw,format=UYVY,width=64,height=48,framerate=25/1 ! rtpvrawpay ! "
                    "udpsink host=127.0.0.1 port=" + std::to_string(wPort));
    ASSERT_EQ(S_OK, rec.m_pSrc->Load(UdpUrl(wPort, "?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=64;"
                                                   "height=48;depth=8")
                                         .c_str(),
                                     nullptr));
    ASSERT_EQ(S_OK, rec.Connect());
    ASSERT_TRUE(rec.WaitForSamples(25));
    for (const auto& s : rec.FromFirstSyncPoint())
        EXPECT_EQ(64u * 48u * 2u, s.data.size());  // one whole frame a sample
    size_t nSamples = 0;
    std::string strOut;
    const int nDecoded =
        rec.DecodeFromFirstSyncPoint("-f rawvideo -pix_fmt uyvy422 -s 64x48", "pushed.uyvy", &nSamples, &strOut);
    EXPECT_EQ(static_cast<int>(nSamples), nDecoded) << strOut;
}
