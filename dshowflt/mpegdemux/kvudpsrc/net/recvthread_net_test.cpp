// The receive thread on real loopback sockets: what lands in the DVR ring and
// at the pin, when the command that starts reading is answered, time-outs,
// TCP reconnection, commands, and attribute changes while data flows.
#include <poll.h>

#include <atomic>
#include <future>
#include <thread>

#include "dshowflt/common/rtp/rtptestutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"

using namespace recvtest;
using rtptest::RtpPacket;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDatagram = 1316;  // 7 transport packets
const HRESULT kHrWouldBlock = HRESULT_FROM_WIN32(WSAEWOULDBLOCK);
const char* const kDropLine =
    "CRecvThread::ProcessData(): WriteData failed because I am changing attributes. Discarding this buffer";

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// CMD_READ on a thread of its own, as the filter's Load sends it.
std::future<HRESULT> ReadAsync(CRecv& recv)
{
    return std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });
}

bool Ready(std::future<HRESULT>& f, DWORD dwMs)
{
    return f.wait_for(std::chrono::milliseconds(dwMs)) == std::future_status::ready;
}

// Sends datagrams of the offset-stamped stream in bursts the receiver is
// given time to take, so that none is lost to a full socket buffer.
Bytes SendTs(CRecv& recv, const char* pszTo, WORD wPort, int nDatagrams, LONGLONG llFrom = 0)
{
    CTestSender sender;
    Bytes all;
    BYTE bCC = 0;
    const LONGLONG cbBefore = recv.m_pin.Total();
    for (int i = 0; i < nDatagrams; ++i) {
        const Bytes v = TsPackets(llFrom + static_cast<LONGLONG>(i) * kDatagram, 7, &bCC);
        EXPECT_TRUE(sender.Send(pszTo, wPort, ToString(v)));
        all.insert(all.end(), v.begin(), v.end());
        if (i % 16 == 15 || i + 1 == nDatagrams) {
            recv.m_pin.ExpectBytes(cbBefore + static_cast<LONGLONG>(all.size()));
            EXPECT_TRUE(recv.m_pin.WaitReached()) << "datagram " << i << " did not arrive";
        }
    }
    return all;
}

RtpPacket Rtp(BYTE bType, DWORD dwSeq, DWORD dwTime, bool bMarker, const Bytes& payload)
{
    RtpPacket pkt;
    pkt.bPayloadType = bType, pkt.dwSeq = dwSeq & 0xFFFF, pkt.dwTimestamp = dwTime, pkt.bMarker = bMarker;
    pkt.payload = payload;
    return pkt;
}

void Send(CTestSender* pSender, WORD wPort, const RtpPacket& pkt)
{
    EXPECT_TRUE(pSender->Send("127.0.0.1", wPort, ToString(pkt.Build())));
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

VIDEOINFOHEADER VideoInfo(const CMediaType& mt)
{
    VIDEOINFOHEADER vih = {};
    EXPECT_GE(mt.cbFormat, sizeof(vih));
    if (mt.cbFormat >= sizeof(vih))
        memcpy(&vih, mt.pbFormat, sizeof(vih));
    return vih;
}

// A TCP server on 127.0.0.1 that serves one connection at a time.
class CServer
{
public:
    CServer() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Addr("127.0.0.1");
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 && listen(m_fd, 4) == 0)
            m_wPort = BoundPort(m_fd);
    }
    ~CServer() { Shut(); }
    // Accepts (bounded), sends v and closes.
    bool Serve(const Bytes& v, Clock::time_point* pAccepted = nullptr)
    {
        pollfd pfd = {m_fd, POLLIN, 0};
        const int fd = poll(&pfd, 1, static_cast<int>(5000 * kSlow)) == 1 ? accept4(m_fd, nullptr, nullptr, 0) : -1;
        if (fd < 0)
            return false;
        if (pAccepted)
            *pAccepted = Clock::now();
        size_t off = 0;
        for (ssize_t n = 1; off < v.size() && n > 0; off += static_cast<size_t>(n > 0 ? n : 0))
            n = send(fd, v.data() + off, v.size() - off, MSG_NOSIGNAL);
        close(fd);
        return off == v.size();
    }
    void Shut()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }
    WORD Port() const { return m_wPort; }

private:
    int m_fd;
    WORD m_wPort = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Transport stream over UDP

TEST(CRecvThreadNet, UdpUnicastLandsInTheRingByteForByte)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?Logging=1&Latency=40");
    ASSERT_NE(0, wPort);
    std::future<HRESULT> read = ReadAsync(recv);
    // Neither silence nor an empty datagram answers the command.
    EXPECT_FALSE(Ready(read, 200));
    CTestSender sender;
    ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ""));
    EXPECT_FALSE(Ready(read, 200));

    const Bytes sent = SendTs(recv, "127.0.0.1", wPort, 200);
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());
    LONG lStatus = -1, lFolder = 0, lSlot = 0;
    double dSize = 0;
    ASSERT_EQ(S_OK, recv->GetStatus(&lStatus, &lFolder, &lSlot, &dSize));
    EXPECT_EQ(DVRStatus_Writing, lStatus);
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_FALSE(recv->IsReading());
    ASSERT_EQ(S_OK, recv->GetStatus(&lStatus, &lFolder, &lSlot, &dSize));
    EXPECT_EQ(DVRStatus_Stopped, lStatus);

    const Bytes ring = recv.Ring();
    EXPECT_TRUE(ring == sent) << ring.size() << " bytes in the ring, " << sent.size() << " sent";
    std::string strWhere;
    EXPECT_TRUE(WordsHoldOffsets(ring, &strWhere)) << strWhere;
    // Every datagram reached the pin whole, untimed, with the latency.
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(200u, units.size());
    for (const SUnit& u : units) {
        EXPECT_EQ(static_cast<size_t>(kDatagram), u.data.size());
        EXPECT_TRUE(u.rtStart == 0 && u.rtLatency == 400000 && u.dwFlags == 0 && !u.bEndOfUnit);
    }
    // Starvation is cleared with the data and when the loop ends; the
    // receive-time log has the stream's start.
    EXPECT_EQ(FALSE, recv.m_filter.Get(recv.m_filter.m_aStarvation).back());
    double dTime = 0;
    EXPECT_EQ(S_OK, recv->GetReceiveTime(0, &dTime));
    EXPECT_GT(dTime, 0);
}

TEST(CRecvThreadNet, MulticastGroupOnTheLoopbackInterface)
{
    CRecv recv;
    const WORD wPort = recv.Open("239.255.43.21");
    ASSERT_NE(0, wPort);
    std::future<HRESULT> read = ReadAsync(recv);
    const Bytes sent = SendTs(recv, "239.255.43.21", wPort, 64);
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_TRUE(recv.Ring() == sent);
}

// Once data has flowed, UDP has no time-out: a sender that pauses for longer
// neither ends the loop nor makes it reconnect.
TEST(CRecvThreadNet, UdpSenderPausingPastTheTimeOutIsWaitedFor)
{
    CTraceCapture trace;
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?Timeout=1");
    std::future<HRESULT> read = ReadAsync(recv);
    Bytes sent = SendTs(recv, "127.0.0.1", wPort, 5);
    EXPECT_EQ(S_OK, read.get());
    Sleep(2500);  // the pause under test
    EXPECT_TRUE(recv->IsReading());
    sent = Cat({sent, SendTs(recv, "127.0.0.1", wPort, 5, static_cast<LONGLONG>(sent.size()))});
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_FALSE(trace.Has("ReopenTcpSocket") || trace.Has("Timeout expired"));
    EXPECT_TRUE(recv.Ring() == sent);
}

// ---------------------------------------------------------------------------
// Waiting for the first data

TEST(CRecvThreadNet, NoSenderEndsAfterTheTimeOutWithWouldBlock)
{
    CTraceCapture trace;
    CRecv recv;
    ASSERT_NE(0, recv.Open("127.0.0.1", u"?Timeout=1"));
    const auto start = Clock::now();
    EXPECT_EQ(kHrWouldBlock, recv.Call(CMD_READ));
    EXPECT_GE(MsSince(start), 950);
    EXPECT_LT(MsSince(start), 3000 * kSlow);
    EXPECT_TRUE(trace.Has("\nCRecvThread::ReadLoop(): Timeout expired without receiving any data. Aborting the "
                          "read process..."));
    EXPECT_FALSE(recv->IsReading());
    EXPECT_EQ(E_NOTIMPL, recv.Call(77));  // the thread goes on taking commands
}

TEST(CRecvThreadNet, ApplicationIsAskedOnceASecondUntilItRefuses)
{
    CTraceCapture trace;
    CRecv recv;
    recv.m_filter.m_nRefuseAt = 2;
    ASSERT_NE(0, recv.Open("127.0.0.1", u"?Timeout=0"));
    EXPECT_EQ(E_ABORT, recv.Call(CMD_READ));
    const std::vector<DWORD> asked = recv.m_filter.Get(recv.m_filter.m_aAsked);
    ASSERT_EQ(2u, asked.size());
    EXPECT_TRUE(asked[0] >= 990 && asked[0] < 1500 * kSlow) << asked[0];
    EXPECT_TRUE(asked[1] >= 1990 && asked[1] < 3000 * kSlow) << asked[1];
    EXPECT_TRUE(trace.Has("\nCRecvThread::ReadLoop: AskIfIShouldContinueWaiting returned "));
}

// A loop started by a post has nobody waiting for it; with no time-out it
// waits for ever, without spinning, and a command ends it and is answered.
TEST(CRecvThreadNet, PostedReadWithoutTimeOutIdlesAndHonoursStop)
{
    CRecv recv;
    ASSERT_NE(0, recv.Open("127.0.0.1", u"?Timeout=0"));
    const double dCpuBefore = ThreadCpuSeconds(recv->GetThreadId());
    ASSERT_GE(dCpuBefore, 0);
    ASSERT_TRUE(recv->PostCommand(CMD_READ));
    Sleep(2000);  // the window measured
    const double dCpu = ThreadCpuSeconds(recv->GetThreadId()) - dCpuBefore;
    EXPECT_TRUE(recv->IsReading());
    EXPECT_LT(dCpu, 0.05 * kSlow) << "the waiting loop used " << dCpu << " s of CPU in 2 s";
    const auto start = Clock::now();
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_LT(MsSince(start), 500 * kSlow);
    EXPECT_FALSE(recv->IsReading());
    EXPECT_EQ(E_NOTIMPL, recv.Call(77));
}

// ---------------------------------------------------------------------------
// RTP

class CRecvThreadRtp : public ::testing::TestWithParam<BYTE>
{
};

// Packets 2 and 3 swap, 6 and 8 swap around 7, the sequence wraps, and packet
// 20 is lost: the ring holds the payloads in sequence order with only the
// lost one missing, and the pin sees a discontinuity on the packet after it.
TEST_P(CRecvThreadRtp, TransportStreamPayloadsInSequenceOrder)
{
    CRecv recv;
    const WORD wPort = recv.Open();
    std::future<HRESULT> read = ReadAsync(recv);
    constexpr int kPackets = 40;
    std::vector<Bytes> payloads;
    std::vector<int> order;
    Bytes expected;
    BYTE bCC = 0;
    for (int i = 0; i < kPackets; ++i) {
        payloads.push_back(TsPackets(static_cast<LONGLONG>(i) * kDatagram, 7, &bCC));
        order.push_back(i);
        if (i != 20)
            expected = Cat({expected, payloads.back()});
    }
    std::swap(order[2], order[3]);
    std::swap(order[6], order[8]);
    order.erase(order.begin() + 20);
    CTestSender sender;
    for (int i : order)
        Send(&sender, wPort, Rtp(GetParam(), 65530u + i, 9000 + 3003u * i, false, payloads[i]));
    recv.m_pin.ExpectBytes(static_cast<LONGLONG>(expected.size()));
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    EXPECT_TRUE(recv.Ring() == expected);
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(static_cast<size_t>(kPackets - 1), units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const int n = static_cast<int>(i < 20 ? i : i + 1);
        EXPECT_EQ(payloads[n], units[i].data) << "unit " << i;
        EXPECT_EQ((9000 + 3003LL * n) * 1000 / 9, units[i].rtStart) << "unit " << i;
        EXPECT_EQ(n == 21, (units[i].dwFlags & RTPUNIT_DISCONTINUITY) != 0) << "unit " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(PayloadTypes, CRecvThreadRtp, ::testing::Values(BYTE{33}, BYTE{96}));

namespace {

// Parameter sets of a 320 x 240, 25 frame/s stream (libx264 baseline, from
// ffmpeg's SDP: sprop-parameter-sets=Z0LADdkBQfsBEAAAAwAQAAADAyDxQqSA,aMuDyyA=).
const Bytes kSps = {0x67, 0x42, 0xC0, 0x0D, 0xD9, 0x01, 0x41, 0xFB, 0x01, 0x10, 0x00, 0x00,
                    0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xF1, 0x42, 0xA4, 0x80};
const Bytes kPps = {0x68, 0xCB, 0x83, 0xCB, 0x20};

// A slice NAL unit of type bType (0x41 non-IDR, 0x65 IDR) with filler bytes.
Bytes Slice(BYTE bType, int nIndex)
{
    Bytes v = {bType, 0x88, 0x84};
    for (int i = 0; i < 40; ++i)
        v.push_back(static_cast<BYTE>(nIndex * 7 + i + 1));
    return v;
}

}  // namespace

// Without parameter sets in the URL the stream starts when its SPS arrives:
// until then every unit is delivered and written; the unit with the SPS
// describes the stream (size and rate from the SPS), and from then on the
// ring is no longer written.
TEST(CRecvThreadNet, H264InRtpStartsWithItsSequenceParameterSet)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?rtpmap=96;H264/90000");
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    DWORD dwSeq = 100;
    for (int i = 0; i < 3; ++i)
        Send(&sender, wPort, Rtp(96, dwSeq++, 3600u * i, true, Slice(0x41, i)));
    recv.m_pin.ExpectUnits(3);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_FALSE(Ready(read, 200));
    const Bytes beforeSps = recv.m_pin.AllBytes();
    // One access unit of single-NAL packets (RFC 6184, 5.6): SPS, PPS, IDR.
    Send(&sender, wPort, Rtp(96, dwSeq++, 3600u * 3, false, kSps));
    Send(&sender, wPort, Rtp(96, dwSeq++, 3600u * 3, false, kPps));
    Send(&sender, wPort, Rtp(96, dwSeq++, 3600u * 3, true, Slice(0x65, 3)));
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());
    for (int i = 4; i < 6; ++i)
        Send(&sender, wPort, Rtp(96, dwSeq++, 3600u * i, true, Slice(0x41, i)));
    recv.m_pin.ExpectUnits(6);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const CMediaType mt = recv.m_filter.MediaType();
    const VIDEOINFOHEADER vih = VideoInfo(mt);
    EXPECT_EQ(MEDIASUBTYPE_H264, mt.subtype);
    EXPECT_TRUE(vih.bmiHeader.biWidth == 320 && vih.bmiHeader.biHeight == 240 && vih.AvgTimePerFrame == 400000);
    EXPECT_FALSE(recv->IsDVRWriteEnabled());
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(6u, units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(static_cast<LONGLONG>(3600 * i) * 1000 / 9, units[i].rtStart);
        EXPECT_FALSE(units[i].bEndOfUnit);  // H.264 units are cut by the pin
    }
    EXPECT_TRUE(recv.Ring() == beforeSps);
}

// Parameter sets from the URL describe the stream at its first unit; they
// follow the video information in the format block, each with a start code.
TEST(CRecvThreadNet, H264InRtpWithParameterSetsFromTheUrl)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?rtpmap=96;H264/90000&fmtp=96;packetization-mode=1;"
                                              u"sprop-parameter-sets=\"Z0LADdkBQfsBEAAAAwAQAAADAyDxQqSA,aMuDyyA=\"");
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    Send(&sender, wPort, Rtp(96, 7, 0, true, Slice(0x41, 0)));
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    const CMediaType mt = recv.m_filter.MediaType();
    const Bytes params = Cat({{0, 0, 1}, kSps, {0, 0, 1}, kPps});
    ASSERT_EQ(sizeof(VIDEOINFOHEADER) + params.size(), mt.cbFormat);
    EXPECT_EQ(0, memcmp(mt.pbFormat + sizeof(VIDEOINFOHEADER), params.data(), params.size()));
    EXPECT_TRUE(recv.Ring().empty());
}

// JPEG in RTP (RFC 2435; type 1, Q 50 so the receiver derives the tables;
// 64 x 48): each frame reaches the pin as one sample with its time and the
// end-of-frame flag; the first frame describes the stream, so the ring
// receives nothing.
TEST(CRecvThreadNet, JpegInRtpDeliversWholeFrames)
{
    CRecv recv;
    const WORD wPort = recv.Open();
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    for (int f = 0; f < 3; ++f) {
        for (DWORD dwOffset : {0u, 300u}) {
            const Bytes header = {0, 0, static_cast<BYTE>(dwOffset >> 8), static_cast<BYTE>(dwOffset), 1, 50, 8, 6};
            const Bytes scan(dwOffset ? 200 : 300, static_cast<BYTE>((dwOffset ? 0x20 : 0x10) + f));
            Send(&sender, wPort, Rtp(26, 2u * f + (dwOffset ? 1 : 0), 3600u * f, dwOffset != 0, Cat({header, scan})));
        }
    }
    recv.m_pin.ExpectUnits(3);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(3u, units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const SUnit& u = units[i];
        EXPECT_TRUE(u.bEndOfUnit && (u.dwFlags & RTPUNIT_MARKER));
        EXPECT_EQ(static_cast<LONGLONG>(3600 * i) * 1000 / 9, u.rtStart);
        // SOI and the rebuilt headers, then both packets' scan bytes in order.
        ASSERT_GT(u.data.size(), 500u);
        EXPECT_TRUE(u.data[0] == 0xFF && u.data[1] == 0xD8);
        const Bytes tail(u.data.end() - 500, u.data.end());
        EXPECT_EQ(Cat({Bytes(300, static_cast<BYTE>(0x10 + i)), Bytes(200, static_cast<BYTE>(0x20 + i))}), tail);
    }
    const CMediaType mt = recv.m_filter.MediaType();
    EXPECT_EQ(MEDIASUBTYPE_jpeg, mt.subtype);
    EXPECT_TRUE(VideoInfo(mt).bmiHeader.biWidth == 64 && VideoInfo(mt).bmiHeader.biHeight == 48);
    EXPECT_TRUE(recv.Ring().empty());
}

// Raw video (RFC 4175) described by sampling=: frames go to the pin only, and
// no ring is even created.
TEST(CRecvThreadNet, RawVideoGoesToThePinOnly)
{
    CRecv recv;
    const WORD wPort =
        recv.Open("127.0.0.1", u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=8;height=2;depth=8");
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    Bytes frames[2];
    for (int f = 0; f < 2; ++f) {
        for (BYTE bLine = 0; bLine < 2; ++bLine) {
            // Extended sequence number, one line header (16 bytes of line
            // bLine at offset 0), the line's UYVY bytes.
            Bytes line;
            for (int i = 0; i < 16; ++i)
                line.push_back(static_cast<BYTE>(f * 64 + bLine * 16 + i));
            frames[f] = Cat({frames[f], line});
            Send(&sender, wPort, Rtp(96, 10u + 2 * f + bLine, 1500u * f, bLine == 1, Cat({{0, 0, 0, 16, 0, bLine, 0, 0}, line})));
        }
    }
    recv.m_pin.ExpectUnits(2);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(2u, units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(frames[i], units[i].data);
        EXPECT_TRUE(units[i].bEndOfUnit);
        EXPECT_EQ(static_cast<LONGLONG>(1500 * i) * 1000 / 9, units[i].rtStart);
    }
    EXPECT_NE(0, access((recv.m_dir.Path() + "/Capture.KBL").c_str(), F_OK));
}

// A plain H.264 elementary stream (comp=): RTP detection is off even for
// data that looks like RTP, and the recording begins with the sequence
// headers of the URL.
TEST(CRecvThreadNet, PlainH264RecordingBeginsWithTheSequenceHeaders)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?comp=h264&seq-headers=\"00000001674200,0000000168CE\"");
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    Bytes sent;
    for (int i = 0; i < 5; ++i) {
        const Bytes v = Cat({{0x80, 0x60, 0, static_cast<BYTE>(i)}, Slice(0x41, i)});  // RTP-like first bytes
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(v)));
        sent = Cat({sent, v});
    }
    recv.m_pin.ExpectUnits(5);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_TRUE(recv.Ring() == Cat({{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 0, 1, 0x68, 0xCE}, sent}));
    EXPECT_TRUE(recv.m_pin.AllBytes() == sent);
}

// ---------------------------------------------------------------------------
// TCP

// The server sends, closes and accepts again three times: the loop
// reconnects (attempts 100 ms apart) and the ring holds exactly what the
// server sent. With the server gone for good, the loop ends once the
// time-out has passed since the last data.
TEST(CRecvThreadNet, TcpReconnectsAndLosesNothing)
{
    CTraceCapture trace;
    CServer server;
    CRecv recv;
    recv.Open("127.0.0.1", u"?Timeout=1", false, server.Port());
    std::future<HRESULT> read = ReadAsync(recv);
    Bytes sent;
    BYTE bCC = 0;
    Clock::time_point aAccepted[3];
    for (int r = 0; r < 3; ++r) {
        const Bytes v = TsPackets(static_cast<LONGLONG>(sent.size()), 500 + 37 * r, &bCC);
        ASSERT_TRUE(server.Serve(v, &aAccepted[r])) << "round " << r;
        sent = Cat({sent, v});
        recv.m_pin.ExpectBytes(static_cast<LONGLONG>(sent.size()));
        ASSERT_TRUE(recv.m_pin.WaitReached()) << "round " << r;
        const auto msApart = std::chrono::duration_cast<std::chrono::milliseconds>(aAccepted[r] - aAccepted[0]);
        EXPECT_GE(msApart.count(), 90 * r);
    }
    EXPECT_EQ(S_OK, read.get());
    const auto lastData = Clock::now();
    server.Shut();
    ASSERT_TRUE(trace.WaitFor("\nCRecvThread::ReadLoop(): Timeout expired trying to reconnect. Aborting the read "
                              "process..."));
    EXPECT_TRUE(MsSince(lastData) >= 900 && MsSince(lastData) < 3000 * kSlow) << MsSince(lastData);
    EXPECT_GE(trace.Count("\nCRecvThread::ReopenTcpSocket..."), 3);
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    const Bytes ring = recv.Ring();
    EXPECT_TRUE(ring == sent) << ring.size() << " bytes in the ring, " << sent.size() << " sent";
    std::string strWhere;
    EXPECT_TRUE(WordsHoldOffsets(ring, &strWhere)) << strWhere;
}

// The last bytes before the server went away are published to readers while
// the loop tries to reconnect, not only when the time-out ends it: a
// follower must not wait for a server that may never come back to see data
// that has arrived.
TEST(CRecvThreadNet, BytesBeforeADisconnectArePublishedWhileReconnecting)
{
    CTraceCapture trace;
    CServer server;
    CRecv recv;
    recv.Open("127.0.0.1", u"?Timeout=10", false, server.Port());
    std::future<HRESULT> read = ReadAsync(recv);
    BYTE bCC = 0;
    // Fewer bytes than the writer publishes on its own.
    const Bytes v = TsPackets(0, 5, &bCC);
    ASSERT_TRUE(server.Serve(v));
    EXPECT_EQ(S_OK, read.get());
    server.Shut();
    ASSERT_TRUE(trace.WaitFor("CRecvThread::ReopenTcpSocket...", 5000));
    SRecvStats s;
    for (int i = 0; i < 200; ++i) {
        recv->GetStats(&s);
        if (s.llRingBytes >= static_cast<LONGLONG>(v.size()))
            break;
        Sleep(5);
    }
    EXPECT_EQ(static_cast<LONGLONG>(v.size()), s.llRingBytes);
    EXPECT_TRUE(recv->IsReading());  // still trying
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_TRUE(recv.Ring() == v);
}

TEST(CRecvThreadNet, StopDuringReconnectionIsAnsweredAndPostsNothing)
{
    CTraceCapture trace;
    CServer server;
    CRecv recv;
    recv.Open("127.0.0.1", u"?Timeout=30", false, server.Port());
    std::future<HRESULT> read = ReadAsync(recv);
    BYTE bCC = 0;
    ASSERT_TRUE(server.Serve(TsPackets(0, 10, &bCC)));
    EXPECT_EQ(S_OK, read.get());
    server.Shut();
    ASSERT_TRUE(trace.WaitFor("CRecvThread::ReopenTcpSocket...", 5000, 2));
    const auto start = Clock::now();
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_LT(MsSince(start), 1500 * kSlow);
    EXPECT_FALSE(recv->IsReading());
    EXPECT_EQ(E_NOTIMPL, recv.Call(77));
    EXPECT_FALSE(trace.Has("CRecvThread::RECVCMD_CONNECT"));
}

// ---------------------------------------------------------------------------
// Calls from other threads

// CloseSocket from another thread stops the read loop first: the socket is
// never closed under a running receive, which would end the loop with an
// error instead.
TEST(CRecvThreadNet, CloseSocketFromAnotherThreadStopsTheLoopFirst)
{
    CTraceCapture trace;
    CRecv recv;
    const WORD wPort = recv.Open();
    std::future<HRESULT> read = ReadAsync(recv);
    std::atomic<bool> bStop{false};
    std::thread sender([&] {
        CTestSender s;
        BYTE bCC = 0;
        for (int i = 0; i < 5000 && !bStop; ++i, Sleep(1))
            (void)s.Send("127.0.0.1", wPort, ToString(TsPackets(i * kDatagram, 7, &bCC)));
    });
    recv.m_pin.ExpectUnits(50);
    EXPECT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    recv->CloseSocket(TRUE);
    EXPECT_FALSE(recv->IsReading());
    EXPECT_EQ(INVALID_SOCKET, recv->GetSocket());
    bStop = true;
    sender.join();
    EXPECT_TRUE(trace.Has("\nCRecvThread::RECVCMD_STOP"));
    EXPECT_FALSE(trace.Has("MyRecv returned unknown error") || trace.Has("INVALID_SOCKET"));
}

// A failure at the pin after the stream has started ends the loop quietly:
// the command was answered long before.
TEST(CRecvThreadNet, PinFailureEndsTheLoop)
{
    CTraceCapture trace;
    CRecv recv;
    const WORD wPort = recv.Open();
    recv.m_pin.FailAt(3, E_UNEXPECTED);
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    BYTE bCC = 0;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(TsPackets(i * kDatagram, 7, &bCC))));
    EXPECT_EQ(S_OK, read.get());
    ASSERT_TRUE(trace.WaitFor("\nCRecvThread::ProcessData(): DeliverData(1316) returned "));
    ASSERT_TRUE(trace.WaitFor("\n- CRecvThread::CMD_READ..."));
    EXPECT_FALSE(recv->IsReading());
    EXPECT_EQ(2u * kDatagram, recv.Ring().size());  // the third failed before its write
}

// ---------------------------------------------------------------------------
// Attribute changes of the DVR writer

namespace {

// Holds each restart of the ring back until the receive thread has dropped a
// buffer for it, so that every change really meets data in flight.
class CChangeHoldingRecv : public CRecvThread
{
public:
    CChangeHoldingRecv(IRecvOutputPin* pPin, IRecvFilter* pFilter) : CRecvThread(pPin, pFilter, nullptr, false)
    {
        Create();
    }
    ~CChangeHoldingRecv() override
    {
        // The thread calls into this class; it ends before this part goes.
        if (ThreadExists())
            (void)CallWorker(RECVCMD_EXIT);
        Close();
    }
    HRESULT ChangingAttributesNotification(BOOL bAfter) override
    {
        if (bAfter && s_pTrace) {
            EXPECT_TRUE(s_pTrace->WaitFor(kDropLine, 2000, ++m_nHeld)) << "no buffer dropped";
        }
        return CRecvThread::ChangingAttributesNotification(bAfter);
    }
    static inline CTraceCapture* s_pTrace = nullptr;

private:
    int m_nHeld = 0;
};

}  // namespace

// The ring moves to other folders with other sizes, five times, while a
// sender keeps the receive thread busy. Reception goes on; the datagrams
// dropped while the ring was restarted are the only loss, each one traced.
TEST(CRecvThreadNet, AttributeChangesWhileDataFlowsLoseOnlyTheDroppedBuffers)
{
    CTraceCapture trace;
    CRecv recv([](IRecvOutputPin* pPin, IRecvFilter* pFilter) -> CRecvThread* {
        return new CChangeHoldingRecv(pPin, pFilter);
    });
    CChangeHoldingRecv::s_pTrace = &trace;
    const WORD wPort = recv.Open();
    constexpr int kTotal = 3000, kChanges = 5;
    CTempDir aDirs[kChanges];
    std::future<HRESULT> read = ReadAsync(recv);
    std::thread sender([&] {
        CTestSender s;
        BYTE bCC = 0;
        for (int i = 0; i < kTotal; ++i) {
            (void)s.Send("127.0.0.1", wPort, ToString(TsPackets(static_cast<LONGLONG>(i) * kDatagram, 7, &bCC)));
            if (i % (16 / kSlow) == 0)
                Sleep(1);  // bursts the socket buffer holds
        }
    });
    for (int c = 0; c < kChanges; ++c) {
        recv.m_pin.ExpectUnits(300 + 500 * c);
        ASSERT_TRUE(recv.m_pin.WaitReached());
        EXPECT_TRUE(recv.MoveRing(aDirs[c], 3 + c % 2, (1 << 20) + 65536.0 * c));
    }
    sender.join();
    EXPECT_EQ(S_OK, read.get());
    recv.m_pin.ExpectUnits(kTotal);
    ASSERT_TRUE(recv.m_pin.WaitReached()) << "the pin saw every datagram";
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    CChangeHoldingRecv::s_pTrace = nullptr;

    // Each ring holds a run of whole datagrams in order; the runs follow
    // each other from the first datagram to the last.
    long nPrevLast = -1, nLost = 0;
    for (int r = 0; r <= kChanges; ++r) {
        const Bytes ring = r == 0 ? recv.Ring() : ReadRing(aDirs[r - 1].Stub());
        ASSERT_TRUE(!ring.empty() && ring.size() % kDatagram == 0) << "ring " << r;
        const long nFirst = static_cast<long>(WordAt(ring.data()) / kDatagram);
        BYTE bCC = static_cast<BYTE>(7 * nFirst % 16);
        EXPECT_TRUE(ring == TsPackets(static_cast<LONGLONG>(nFirst) * kDatagram, 7 * (ring.size() / kDatagram), &bCC))
            << "ring " << r;
        EXPECT_GT(nFirst, nPrevLast);
        nLost += nFirst - nPrevLast - 1;
        nPrevLast = nFirst + static_cast<long>(ring.size() / kDatagram) - 1;
    }
    EXPECT_EQ(kTotal - 1, nPrevLast);
    EXPECT_GE(nLost, kChanges);
    EXPECT_EQ(nLost, trace.Count(kDropLine));
    // The ring's set-up was a change too.
    EXPECT_EQ(kChanges + 1, trace.Count("\nCRecvThread::ChangingAttributesNotification(FALSE)"));
    EXPECT_EQ(kChanges + 1, trace.Count("\nCRecvThread::ChangingAttributesNotification(TRUE)"));
    const std::vector<LONG> flags = recv.m_filter.Get(recv.m_filter.m_aAttributeFlags);
    ASSERT_EQ(2u * (kChanges + 1), flags.size());
    for (size_t i = 0; i < flags.size(); ++i)
        EXPECT_EQ(i % 2 ? TRUE : FALSE, flags[i]);
}
