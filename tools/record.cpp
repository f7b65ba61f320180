// kvudpsrc record URL: the main job. The network source filter is created,
// given the URL and put into a graph exactly as an application does it; a
// consumer connected to its output pin writes the stream out:
//   - a byte stream (a transport stream, plain or in RTP): a pulling
//     consumer reads the DVR ring by offset from 0, the first byte received,
//     and writes every byte in order;
//   - an elementary stream (H.264, JPEG or raw video in RTP, or comp=):
//     the pin pushes time-stamped samples, whose bytes are written as they
//     come (Annex B, concatenated JPEG images, raw frames).
// It runs until SIGINT/SIGTERM, --duration or the end of the stream, with a
// progress line each second and, with --stats, the same as JSON lines.
//
// Threads: the main thread runs the graph and the progress; the filter is
// loaded on a thread of its own, because Load waits for the first data and
// a stop signal must not wait for it; the consumer's callbacks run on the
// graph's threads and only touch atomics and the output descriptor. The
// figures come from the receive thread's atomics (CRecvThread::GetStats):
// nothing is locked to read them.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "dshowflt/common/rtp/rtpparser.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrc.h"
#include "dshowflt/mpegdemux/kvudpsrc/sourceurl.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pullreader.h"
#include "platform/graph/pushsink.h"
#include "platform/sync.h"
#include "platform/wtext.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/tscut.h"

namespace {

// The pull writer's block, and how long it lets the ring fill after a read
// that found less than a quarter of one.
constexpr LONG kPullBlock = 1024 * 1024;
constexpr int kPullGatherMs = 20;

const char kHelp[] =
    "usage: kvudpsrc record URL [OPTIONS]\n"
    "  Receives the live stream of URL through the network source filter, as an\n"
    "  application does, and writes it to FILE: a transport stream (plain or in RTP)\n"
    "  byte for byte from the first byte received; H.264 in RTP as an Annex B\n"
    "  elementary stream; JPEG in RTP as concatenated JPEG images; raw video as raw\n"
    "  UYVY frames. Runs until SIGINT/SIGTERM, --duration, or the end of the stream,\n"
    "  then prints its final status line.\n"
    "\n"
    "  udp://HOST:PORT[/IFACE][?OPTIONS]  UDP or RTP from HOST, or the multicast group\n"
    "                                     HOST joined on interface IFACE\n"
    "  tcp://HOST:PORT[?OPTIONS]          connects to HOST:PORT\n"
    "  Timeout=SEC in the options: how long to wait for the first data (default 16);\n"
    "  rtpmap=96;H264/90000 names a dynamic RTP payload type; RcvBuf=BYTES asks for a\n"
    "  socket receive buffer (default 8M; the progress shows what the kernel granted).\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   write the stream to FILE ('-': standard output)\n"
    "  --dvr-folder DIR    keep the DVR ring of a transport stream in DIR: it stays on\n"
    "                      disk after the stop, and 'kvudpsrc follow' and 'copy' read it\n"
    "                      during and after the recording (without it the ring is in the\n"
    "                      temporary-files folder and deleted on stop; elementary\n"
    "                      streams go to FILE only)\n"
    "  --files N           recording files in the ring, 2 to 99999 (default 10)\n"
    "  --file-size BYTES   largest size of one recording file (default 10M)\n"
    "  --duration SEC      stop SEC seconds after the start (decimals allowed)\n"
    "  --stats FILE        the progress as one JSON object per line, and a final one\n"
    "                      with \"final\":true ('-': standard output)\n"
    "\n"
    "Give -o or --dvr-folder (or both). Progress, once a second on standard error:\n"
    "elapsed time, bit rate received, datagrams, bytes in the ring and written, RTP\n"
    "packets lost/reordered/duplicated, datagrams the kernel dropped (when any), the\n"
    "stream kind, the socket buffer granted, and the bytes the file writer lost when\n"
    "the ring overwrote them before it took them (the file then goes on with whole\n"
    "packets from the oldest byte kept).\n"
    "Exit status 0 when data was recorded; 1 when none came (\"no data from URL in\n"
    "16 s\"), the socket could not be opened, or the stream or the output failed.\n";

// The application's callback: while the first data is awaited the receive
// thread asks it, once a second, whether to go on; a stop signal says no.
class CStopCallback : public IKVSrcCallback
{
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IKVSrcCallback) {
            *ppv = static_cast<IKVSrcCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Lives as long as the command; the count only keeps the rules.
    ULONG AddRef() override { return static_cast<ULONG>(++m_cRef); }
    ULONG Release() override { return static_cast<ULONG>(--m_cRef); }
    HRESULT EventNotification(SrcEventNotificationConstants, double, double) override
    {
        return CStopSignal::Received() || m_bGiveUp.load() ? E_ABORT : S_OK;
    }
    std::atomic<bool> m_bGiveUp{false};

private:
    std::atomic<long> m_cRef{1};
};

// Where the stream goes: a descriptor (or none), the bytes written, the
// first write error. Written by one graph thread at a time.
class COutput
{
public:
    bool Open(const std::string& strPath)
    {
        m_strPath = strPath;
        if (strPath.empty())
            return true;
        m_fd = OpenOutput(strPath);
        return m_fd >= 0;
    }
    ~COutput() { Close(); }
    // False, with the error kept, when the bytes could not be written.
    bool Write(const BYTE* pb, size_t cb)
    {
        if (m_nErrno.load() != 0)
            return false;
        if (m_fd >= 0 && !WriteAll(m_fd, pb, cb)) {
            m_nErrno.store(errno ? errno : EIO);
            return false;
        }
        m_llWritten.fetch_add(static_cast<long long>(cb));
        return true;
    }
    // 0, or the errno of a failed close (a full disk that write did not
    // tell). Standard output stays open for whoever else writes it.
    int Close()
    {
        int nErr = 0;
        if (m_fd > STDERR_FILENO && close(m_fd) != 0)
            nErr = errno;
        m_fd = -1;
        return nErr;
    }
    bool Enabled() const { return !m_strPath.empty(); }
    long long Written() const { return m_llWritten.load(); }
    int Errno() const { return m_nErrno.load(); }
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
    int m_fd = -1;
    std::atomic<long long> m_llWritten{0};
    std::atomic<int> m_nErrno{0};
};

std::string JsonString(const std::string& str)
{
    std::string s = "\"";
    for (const char ch : str) {
        if (ch == '"' || ch == '\\') {
            s += '\\';
            s += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            char sz[8];
            snprintf(sz, sizeof(sz), "\\u%04x", static_cast<unsigned>(ch));
            s += sz;
        } else {
            s += ch;
        }
    }
    return s + "\"";
}

std::string Bytes(long long ll)
{
    char sz[32];
    if (ll < 1000000)
        snprintf(sz, sizeof(sz), "%.1f kB", static_cast<double>(ll) / 1e3);
    else
        snprintf(sz, sizeof(sz), "%.1f MB", static_cast<double>(ll) / 1e6);
    return sz;
}

// What the stream is, from the RTP payload seen and the pin's media type.
std::string StreamKind(const SRecvStats& st, const CMediaType& mt)
{
    const bool bElementary = *mt.Type() != MEDIATYPE_Stream && *mt.Type() != GUID_NULL;
    switch (st.lRtpFormat) {
    case RTPFORMAT_MP2T: return "TS in RTP";
    case RTPFORMAT_H264: return "H.264 in RTP";
    case RTPFORMAT_JPEG: return "JPEG in RTP";
    case RTPFORMAT_RAW: return "raw video in RTP";
    case RTPFORMAT_MPEG4: return "MPEG-4 in RTP";
    case -1: break;
    default: return "RTP payload " + std::to_string(st.lRtpFormat);
    }
    if (!bElementary)
        return st.llDatagrams > 0 ? "TS" : "unknown";
    if (*mt.Subtype() == MEDIASUBTYPE_H264)
        return "H.264";
    if (*mt.Subtype() == MEDIASUBTYPE_MJPG)
        return "JPEG";
    if (*mt.Subtype() == MEDIASUBTYPE_UYVY)
        return "raw video";
    return "elementary stream";
}

struct SFigures
{
    double dElapsed = 0;
    double dBitRate = 0;
    SRecvStats st;
    long long llWritten = 0;
    long long llFrames = -1;  // samples written (pushed streams)
    long long llFileLost = 0;  // bytes the file writer lost to the ring lapping it
    bool bTcp = false;
    std::string strKind;
};

std::string ProgressText(const SFigures& f, bool bOutput)
{
    char sz[512];
    // A TCP stream comes in reads, not datagrams.
    snprintf(sz, sizeof(sz), "%.1f s  %.2f Mbit/s  %lld %s  ring %s", f.dElapsed, f.dBitRate / 1e6,
             static_cast<long long>(f.st.llDatagrams), f.bTcp ? "reads" : "datagrams",
             Bytes(f.st.llRingBytes).c_str());
    std::string s = sz;
    if (bOutput)
        s += "  written " + Bytes(f.llWritten);
    if (bOutput && f.llFrames >= 0)
        s += " (" + std::to_string(f.llFrames) + " frames)";
    if (f.llFileLost > 0)
        s += "  lost by the file writer " + Bytes(f.llFileLost);
    if (f.st.lRtpFormat >= 0) {
        snprintf(sz, sizeof(sz), "  RTP lost %lld reordered %lld duplicated %lld",
                 static_cast<long long>(f.st.rtp.llLost), static_cast<long long>(f.st.rtp.llReordered),
                 static_cast<long long>(f.st.rtp.llDuplicated));
        s += sz;
    }
    if (f.st.llKernelDrops > 0)
        s += "  kernel drops " + std::to_string(f.st.llKernelDrops);
    s += "  " + f.strKind;
    if (f.st.cbSocketBuffer > 0)
        s += "  socket buffer " + Bytes(f.st.cbSocketBuffer);
    return s;
}

std::string JsonLine(const SFigures& f, const std::string& strUrl, const char* pszEnd)
{
    char sz[768];
    snprintf(sz, sizeof(sz),
             "{\"url\":%s,\"elapsed\":%.3f,\"bitrate\":%.0f,\"datagrams\":%lld,\"received_bytes\":%lld,"
             "\"ring_bytes\":%lld,\"bytes\":%lld,\"rtp_lost\":%lld,\"rtp_reordered\":%lld,\"rtp_duplicated\":%lld,"
             "\"kernel_drops\":%s,\"kind\":%s,\"socket_buffer\":%u,\"final\":%s",
             JsonString(strUrl).c_str(), f.dElapsed, f.dBitRate, static_cast<long long>(f.st.llDatagrams),
             static_cast<long long>(f.st.llBytes), static_cast<long long>(f.st.llRingBytes), f.llWritten,
             static_cast<long long>(f.st.rtp.llLost), static_cast<long long>(f.st.rtp.llReordered),
             static_cast<long long>(f.st.rtp.llDuplicated),
             f.st.llKernelDrops >= 0 ? std::to_string(f.st.llKernelDrops).c_str() : "null",
             JsonString(f.strKind).c_str(), static_cast<unsigned>(f.st.cbSocketBuffer), pszEnd ? "true" : "false");
    std::string s = sz;
    if (f.llFrames >= 0)
        s += ",\"frames\":" + std::to_string(f.llFrames);
    if (f.llFrames < 0)
        s += ",\"file_lost_bytes\":" + std::to_string(f.llFileLost);
    if (pszEnd)
        s += ",\"end\":" + JsonString(pszEnd);
    return s + "}\n";
}

// The source's ring: the folder and its shape, kept on disk once set.
HRESULT SetRing(CKVMpg2TSSrc* pSrc, const std::string& strFolder, long long llFiles, long long llFileSize)
{
    IKVDVRSink* pSink = nullptr;
    HRESULT hr = pSrc->QueryInterface(IID_IKVDVRSink, reinterpret_cast<void**>(&pSink));
    if (FAILED(hr))
        return hr;
    BSTR bstrDir = SysAllocString(Utf8ToWide(strFolder).c_str());
    hr = pSink->StartChangingAttributes();
    if (SUCCEEDED(hr)) {
        HRESULT hrSet = bstrDir ? pSink->SetFolderName(0, bstrDir) : E_OUTOFMEMORY;
        if (SUCCEEDED(hrSet))
            hrSet = pSink->SetBufferSize(0, static_cast<LONG>(llFiles), static_cast<double>(llFileSize));
        hr = pSink->EndChangingAttributes(FAILED(hrSet) ? VARIANT_TRUE : VARIANT_FALSE);
        if (FAILED(hrSet))
            hr = hrSet;
    }
    SysFreeString(bstrDir);
    pSink->Release();
    return hr;
}

// 0x80072733: the receive thread's "nothing came in time".
constexpr HRESULT kHrNoData = static_cast<HRESULT>(0x80072733);

}  // namespace

int RecordMain(int argc, char** argv)
{
    std::string strUrl, strOut, strFolder, strStats;
    long long llFiles = 10, llFileSize = 10 * 1024 * 1024;
    double dDuration = 0;
    COptions opts("record", kHelp);
    opts.Positional("URL", true, SetString(&strUrl));
    opts.Value("--output", "-o", SetString(&strOut));
    opts.Value("--dvr-folder", nullptr, SetString(&strFolder));
    opts.Value("--files", nullptr, SetSize(&llFiles, 2, 99999));
    opts.Value("--file-size", nullptr, SetSize(&llFileSize, 2, 1LL << 40));
    opts.Value("--duration", nullptr, SetDecimal(&dDuration, 0.001, 1e9));
    opts.Value("--stats", nullptr, SetString(&strStats));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;
    if (strOut.empty() && strFolder.empty())
        return opts.UsageError("give -o FILE (or -) or --dvr-folder DIR: the stream must go somewhere");
    if (strFolder.empty() && (opts.Given("--files") || opts.Given("--file-size")))
        return opts.UsageError("%s: only with --dvr-folder (the default ring is deleted on stop)",
                               opts.Given("--files") ? "--files" : "--file-size");
    if (strStats == "-" && strOut == "-")
        return opts.UsageError("--stats -: standard output already takes the stream (-o -)");
    {
        SourceAddress addr;
        const HRESULT hr = ParseSourceUrl(Utf8ToWide(strUrl).c_str(), &addr);
        if (FAILED(hr))
            return opts.UsageError("URL %s: %s", strUrl.c_str(),
                                   hr == static_cast<HRESULT>(0x80072AF9)
                                       ? "the host must be an IPv4 address"
                                       : "not a source URL (udp://HOST:PORT or tcp://HOST:PORT)");
    }
    if (!strFolder.empty()) {
        std::string strWhy;
        if (!CheckWritableFolder(strFolder, &strWhy)) {
            PrintError("record", "folder %s: %s", strFolder.c_str(), strWhy.c_str());
            return kExitFailure;
        }
    }

    const bool bTcp = strUrl.compare(0, 6, "tcp://") == 0;
    CStopSignal::Install();
    COutput out;
    if (!out.Open(strOut)) {
        PrintError("record", "output %s: %s", OutputName(strOut).c_str(), strerror(errno));
        return kExitFailure;
    }
    FILE* pfStats = nullptr;
    if (!strStats.empty()) {
        pfStats = strStats == "-" ? stdout : fopen(strStats.c_str(), "w");
        if (!pfStats) {
            PrintError("record", "stats file %s: %s", strStats.c_str(), strerror(errno));
            return kExitFailure;
        }
    }

    // The filter, its ring and the graph, as an application builds them.
    CKVMpg2TSSrc* pSrc = nullptr;
    CFilterGraph* pGraph = nullptr;
    HRESULT hr = CKVMpg2TSSrc::CreateInstance(&pSrc);
    if (SUCCEEDED(hr) && !strFolder.empty())
        hr = SetRing(pSrc, strFolder, llFiles, llFileSize);
    if (FAILED(hr)) {
        PrintError("record", "setting up the ring%s%s: %s", strFolder.empty() ? "" : " in ", strFolder.c_str(),
                   HrWords(hr).c_str());
        if (pSrc)
            pSrc->Release();
        return kExitFailure;
    }
    CStopCallback callback;
    if (SUCCEEDED(hr))
        hr = pSrc->put_CallInSameThread(VARIANT_FALSE);
    if (SUCCEEDED(hr))
        hr = pSrc->put_CallbackObj(&callback);
    if (SUCCEEDED(hr))
        hr = CFilterGraph::Create(&pGraph);
    if (SUCCEEDED(hr))
        hr = pGraph->AddFilter(pSrc, u"source");
    if (FAILED(hr)) {
        PrintError("record", "building the graph: %s", HrWords(hr).c_str());
        if (pGraph)
            pGraph->Release();
        pSrc->Release();
        return kExitFailure;
    }

    CProgress progress("record");
    const double dStart = progress.Elapsed();
    auto timeUp = [&] { return dDuration > 0 && progress.Elapsed() - dStart >= dDuration; };

    // Load waits for the first data (or the URL's time-out) in a graph.
    std::atomic<bool> bLoaded{false};
    std::atomic<HRESULT> hrLoad{S_OK};
    CAMEvent evLoaded(TRUE);
    std::thread loader([&] {
        hrLoad = pSrc->Load(Utf8ToWide(strUrl).c_str(), nullptr);
        bLoaded = true;
        evLoaded.Set();
    });

    SFigures fig;
    CMediaType mt;
    std::atomic<long long> llFrames{-1};  // samples written; -1 for a byte stream
    // A byte stream's file: whole transport-stream packets only where the
    // ring lapped the writer, and the bytes lost there.
    std::atomic<long long> llFileLost{0};
    std::atomic<long long> llPulledTo{0};
    tscut::CPacketGate gate([&](const uint8_t* pb, size_t cb) { return out.Write(pb, cb); });
    auto sample = [&](double dNow, double* pdLast, long long* pllLast) {
        SFigures f;
        f.dElapsed = dNow - dStart;
        pSrc->RecvThread()->GetStats(&f.st);
        f.llWritten = out.Written();
        f.llFrames = llFrames.load();
        f.llFileLost = llFileLost.load();
        f.bTcp = bTcp;
        f.strKind = StreamKind(f.st, mt);
        if (dNow > *pdLast)
            f.dBitRate = static_cast<double>(f.st.llBytes - *pllLast) * 8 / (dNow - *pdLast);
        *pdLast = dNow;
        *pllLast = f.st.llBytes;
        return f;
    };
    double dLast = dStart;
    long long llLastBytes = 0;
    auto report = [&](const SFigures& f) {
        progress.Line(ProgressText(f, out.Enabled()));
        if (pfStats) {
            fputs(JsonLine(f, strUrl, nullptr).c_str(), pfStats);
            fflush(pfStats);
        }
    };

    // Waiting for the first data: a stop signal or --duration ends the wait
    // at once for the user; the loader ends with the callback's next answer.
    while (!bLoaded) {
        pollfd afd[2] = {{CStopSignal::Fd(), POLLIN, 0}, {evLoaded.Handle(), POLLIN, 0}};
        (void)poll(afd, 2, 100);
        if (CStopSignal::Received() || timeUp()) {
            callback.m_bGiveUp = true;
            break;
        }
        if (!bLoaded && progress.Due())
            report(sample(progress.Elapsed(), &dLast, &llLastBytes));
    }
    std::string strEnd;
    int nResult = kExitOk;
    if (!bLoaded || FAILED(hrLoad.load())) {
        // The URL's time-out is known once Load has parsed its options.
        char sz[64];
        snprintf(sz, sizeof(sz), "%.0f",
                 bLoaded ? static_cast<double>(pSrc->RecvThread()->GetTimeout()) / 1000.0
                         : progress.Elapsed() - dStart);
        if (!bLoaded || hrLoad.load() == E_ABORT)
            strEnd = CStopSignal::Received() ? std::string("stopped by ") + CStopSignal::Name() +
                                                   " before any data from " + strUrl
                                             : "no data from " + strUrl + " in " + sz + " s";
        else if (hrLoad.load() == kHrNoData)
            strEnd = "no data from " + strUrl + " in " + sz + " s";
        else
            strEnd = strUrl + ": cannot receive: " + HrWords(hrLoad.load());
        PrintError("record", "%s", strEnd.c_str());
        nResult = kExitFailure;
    }

    // The consumer: pull for a byte stream, push for an elementary one.
    std::atomic<bool> bEnded{false};
    std::atomic<HRESULT> hrEnd{S_OK};
    CAMEvent evEnd(TRUE);
    CPullReader* pPull = nullptr;
    CPushSink* pPush = nullptr;
    bool bSynced = false;  // the push thread's
    bool bH264 = false;
    bool bRunning = false;
    if (nResult == kExitOk) {
        hr = pSrc->GetMediaType(0, &mt);
        const bool bPush = SUCCEEDED(hr) && *mt.Type() != MEDIATYPE_Stream;
        if (bPush)
            llFrames = 0;
        bH264 = bPush && *mt.Subtype() == MEDIASUBTYPE_H264;
        // Once described, an elementary stream goes to the pin only.
        if (bPush && !out.Enabled()) {
            SRecvStats st;
            pSrc->RecvThread()->GetStats(&st);
            hr = E_INVALIDARG;
            strEnd = strUrl + ": " + StreamKind(st, mt) +
                     " is an elementary stream, which the ring does not keep; give -o FILE";
        }
        if (SUCCEEDED(hr) && !bPush) {
            // At the live edge a read ends with whatever one datagram
            // brought; reading on at once would cost a wake-up, a ring read
            // and a file write per datagram. After a short read the writer
            // waits a moment so that the next read takes a block: one
            // request in flight, so that nothing completes small meanwhile.
            // The file lags the ring by that moment at most.
            CPullReaderConfig config;
            config.dwWaitMs = 50;
            config.cbRequest = kPullBlock;
            config.cRequestsInFlight = 1;
            hr = CPullReader::Create(
                config,
                [&](LONGLONG llPos, const BYTE* pb, LONG cb) -> HRESULT {
                    const long long llDropped = gate.Dropped();
                    const bool bOk = gate.Feed(llPos, pb, static_cast<size_t>(cb));
                    const long long llGap = std::max<long long>(0, llPos - llPulledTo.load());
                    llFileLost.fetch_add(llGap + gate.Dropped() - llDropped);
                    llPulledTo = std::max<long long>(llPulledTo.load(), llPos + cb);
                    if (!bOk) {
                        evEnd.Set();
                        return E_FAIL;
                    }
                    if (cb < kPullBlock / 4)
                        std::this_thread::sleep_for(std::chrono::milliseconds(kPullGatherMs));
                    return S_OK;
                },
                [&](HRESULT hrStream) {
                    hrEnd = hrStream;
                    bEnded = true;
                    evEnd.Set();
                },
                &pPull);
            if (SUCCEEDED(hr))
                hr = pGraph->AddFilter(pPull, u"writer");
            if (SUCCEEDED(hr))
                hr = pGraph->ConnectDirect(pSrc->OutputPin(), pPull->InputPin(), nullptr);
        } else if (SUCCEEDED(hr)) {
            hr = CPushSink::Create(
                [&](const CPushSinkEvent& ev) -> HRESULT {
                    if (ev.eKind == CPushSinkEvent::kEndOfStream) {
                        bEnded = true;
                        evEnd.Set();
                    }
                    if (ev.eKind != CPushSinkEvent::kSample)
                        return S_OK;
                    // Units before the first sync point cannot be decoded.
                    // An H.264 key frame that opens with an SEI or a
                    // delimiter comes unflagged, so the slices decide.
                    if (!bSynced && !ev.bSyncPoint &&
                        !(bH264 && CRTPParser::IsKeyFrame(ev.pbData, static_cast<LONG>(ev.cbData))))
                        return S_OK;
                    bSynced = true;
                    if (out.Write(ev.pbData, static_cast<size_t>(ev.cbData))) {
                        llFrames.fetch_add(1);
                        return S_OK;
                    }
                    evEnd.Set();
                    return E_FAIL;
                },
                nullptr, true, &pPush);
            if (SUCCEEDED(hr))
                hr = pGraph->AddFilter(pPush, u"writer");
            if (SUCCEEDED(hr))
                hr = pGraph->ConnectDirect(pSrc->OutputPin(), pPush->InputPin(), nullptr);
        }
        if (SUCCEEDED(hr))
            hr = pGraph->Run();
        bRunning = SUCCEEDED(hr);
        if (FAILED(hr)) {
            if (strEnd.empty())
                strEnd = "connecting the writer to " + strUrl + ": " + HrWords(hr);
            PrintError("record", "%s", strEnd.c_str());
            nResult = kExitFailure;
        }
    }
    if (nResult == kExitOk) {
        SRecvStats st;
        pSrc->RecvThread()->GetStats(&st);
        PrintDetail("record", "%s from %s: %s", StreamKind(st, mt).c_str(), strUrl.c_str(),
                    pPull ? "the byte stream read from the ring by offset" : "pushed samples, written as they come");
    }
    if (nResult == kExitOk && !strFolder.empty() && pPull)
        PrintNote("record", "ring %s", WideToUtf8(pSrc->RecvThread()->GetStubPath()).c_str());

    // Recording.
    while (bRunning && !CStopSignal::Received() && !bEnded && out.Errno() == 0 && !timeUp()) {
        pollfd afd[2] = {{CStopSignal::Fd(), POLLIN, 0}, {evEnd.Handle(), POLLIN, 0}};
        (void)poll(afd, 2, 100);
        if (progress.Due())
            report(sample(progress.Elapsed(), &dLast, &llLastBytes));
    }
    // A byte stream's writer catches up with what the ring held at the
    // stop, so that the file ends where the recording did (bounded: a
    // stop must stay quick).
    if (bRunning && pPull && out.Errno() == 0 && !bEnded) {
        const long long llTarget = pSrc->RecvThread()->GetPublishedTotal();
        for (int i = 0; i < 30 && llPulledTo.load() < llTarget && !bEnded && out.Errno() == 0; ++i) {
            pollfd pfd = {evEnd.Handle(), POLLIN, 0};
            (void)poll(&pfd, 1, 5);
        }
    }
    if (bRunning)
        (void)pGraph->Stop();
    // The writer's thread has stopped: the head of a last packet held back
    // is the stream's own end.
    (void)gate.Finish();
    fig = sample(progress.Elapsed(), &dLast, &llLastBytes);
    // The summary's rate is the whole recording's.
    fig.dBitRate = fig.dElapsed > 0 ? static_cast<double>(fig.st.llBytes) * 8 / fig.dElapsed : 0;
    fig.st.llRingBytes = std::max(fig.st.llRingBytes, pSrc->RecvThread()->GetPublishedTotal());

    const int nCloseErr = out.Close();
    if (nResult == kExitOk) {
        const HRESULT hrStream = hrEnd.load();
        if (out.Errno() != 0 || nCloseErr != 0) {
            strEnd = "writing " + OutputName(strOut) + ": " + strerror(out.Errno() ? out.Errno() : nCloseErr);
            PrintError("record", "%s", strEnd.c_str());
            nResult = kExitFailure;
        } else if (bEnded && FAILED(hrStream)) {
            strEnd = "the stream from " + strUrl + " failed: " + HrWords(hrStream);
            PrintError("record", "%s", strEnd.c_str());
            nResult = kExitFailure;
        } else {
            strEnd = CStopSignal::Received() ? std::string("stopped by ") + CStopSignal::Name()
                     : bEnded                ? std::string("end of stream")
                                             : std::string("--duration reached");
            if (fig.st.llRingBytes == 0 && fig.llWritten == 0) {
                strEnd += "; no data recorded from " + strUrl;
                PrintError("record", "%s", strEnd.c_str());
                nResult = kExitFailure;
            }
        }
    }
    // A failure was printed as an error already.
    std::string strFinal =
        "end: " + (nResult == kExitOk ? strEnd : std::string("failed")) + "; " + ProgressText(fig, out.Enabled());
    if (out.Enabled())
        strFinal += "; " + std::to_string(fig.llWritten) + " bytes written to " + OutputName(strOut);
    progress.Final(strFinal);
    if (pfStats) {
        fputs(JsonLine(fig, strUrl, strEnd.c_str()).c_str(), pfStats);
        if (pfStats != stdout)
            fclose(pfStats);
        else
            fflush(stdout);
    }

    // A loader still waiting ends at the callback's next question (within
    // a second); the final line is out already.
    loader.join();
    (void)pSrc->put_CallbackObj(nullptr);
    if (pPull)
        pPull->Release();
    if (pPush)
        pPush->Release();
    pGraph->Release();
    pSrc->Release();
    return nResult;
}
