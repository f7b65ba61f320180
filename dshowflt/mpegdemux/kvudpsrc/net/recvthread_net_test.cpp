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
using std::chrono::milliseconds;

constexpr int kDatagram = 1316;  // 7 transport packets
const HRESULT kHrWouldBlock = HRESULT_FROM_WIN32(WSAEWOULDBLOCK);

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

// CMD_READ on a thread of its own, as the filter's Load does.
std::future<HRESULT> ReadAsync(CRecv& recv)
{
    return std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });
}

bool Ready(std::future<HRESULT>& f, DWORD dwMs)
{
    return f.wait_for(milliseconds(dwMs)) == std::future_status::ready;
}

// Sends the stream in bursts the receiver is given time to take, so that no
// datagram is lost to a full socket buffer; returns everything sent.
Bytes SendTs(CRecv& recv, const char* pszTo, WORD wPort, int nDatagrams, LONGLONG llFrom = 0)
{
    CTestSender sender;
    Bytes all;
    BYTE bCC = 0;
    const LONGLONG cbBefore = static_cast<LONGLONG>(recv.m_pin.AllBytes().size());
    for (int i = 0; i < nDatagrams; ++i) {
        Bytes v = TsPackets(llFrom + static_cast<LONGLONG>(i) * kDatagram, 7, &bCC);
        EXPECT_TRUE(sender.Send(pszTo, wPort, ToString(v)));
        all.insert(all.end(), v.begin(), v.end());
        if (i % 16 == 15 || i + 1 == nDatagrams) {
            recv.m_pin.ExpectBytes(cbBefore + static_cast<LONGLONG>(all.size()));
            EXPECT_TRUE(recv.m_pin.WaitReached()) << "datagram " << i << " did not arrive";
        }
    }
    return all;
}

void SendRtp(CTestSender* pSender, WORD wPort, const RtpPacket& pkt)
{
    const Bytes v = pkt.Build();
    EXPECT_TRUE(pSender->Send("127.0.0.1", wPort, ToString(v)));
}

// A TCP server on 127.0.0.1 with an ephemeral port.
class CServer
{
public:
    CServer()
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Addr("127.0.0.1");
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 && listen(m_fd, 4) == 0)
            m_wPort = BoundPort(m_fd);
    }
    ~CServer() { Shut(); }
    // Accepts one connection (bounded), sends v and closes it.
    bool Serve(const Bytes& v, Clock::time_point* pAccepted = nullptr)
    {
        pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(5000 * kSlow)) != 1)
            return false;
        const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return false;
        if (pAccepted)
            *pAccepted = Clock::now();
        size_t off = 0;
        while (off < v.size()) {
            const ssize_t n = send(fd, v.data() + off, v.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
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
    int m_fd = -1;
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

    // Nothing, then an empty datagram: the command that started reading is
    // not answered by either.
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
    ASSERT_EQ(sent.size(), ring.size());
    EXPECT_TRUE(ring == sent);
    std::string strWhere;
    EXPECT_TRUE(WordsHoldOffsets(ring, &strWhere)) << strWhere;

    // Every datagram reached the pin whole, untimed, with the latency.
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(200u, units.size());
    for (const SUnit& u : units) {
        EXPECT_EQ(static_cast<size_t>(kDatagram), u.data.size());
        EXPECT_EQ(0, u.rtStart);
        EXPECT_EQ(400000, u.rtLatency);
        EXPECT_EQ(0u, u.dwFlags);
        EXPECT_FALSE(u.bEndOfUnit);
    }
    // Starvation is cleared with the data, and when the loop ends.
    const std::vector<BOOL> starvation = recv.m_filter.Starvation();
    ASSERT_FALSE(starvation.empty());
    EXPECT_EQ(FALSE, starvation.back());
    // The receive-time log has the stream's start.
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
// than it neither ends the loop nor makes it reconnect.
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
    const Bytes more = SendTs(recv, "127.0.0.1", wPort, 5, static_cast<LONGLONG>(sent.size()));
    sent.insert(sent.end(), more.begin(), more.end());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_FALSE(trace.Has("ReopenTcpSocket"));
    EXPECT_FALSE(trace.Has("Timeout expired"));
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
    const long long ms = MsSince(start);
    EXPECT_GE(ms, 950);
    EXPECT_LT(ms, 3000 * kSlow);
    EXPECT_TRUE(trace.Has("CRecvThread::ReadLoop(): Timeout expired without receiving any data. Aborting the "
                          "read process..."));
    EXPECT_FALSE(recv->IsReading());
    // The thread takes the next command as usual; one it does not know is
    // refused.
    EXPECT_EQ(E_NOTIMPL, recv.Call(77));
}

TEST(CRecvThreadNet, ApplicationIsAskedOnceASecondUntilItRefuses)
{
    CTraceCapture trace;
    CRecv recv;
    recv.m_filter.SetCallback(true, 2, E_ABORT);
    ASSERT_NE(0, recv.Open("127.0.0.1", u"?Timeout=0"));
    EXPECT_EQ(E_ABORT, recv.Call(CMD_READ));
    const std::vector<DWORD> asked = recv.m_filter.Asked();
    ASSERT_EQ(2u, asked.size());
    EXPECT_GE(asked[0], 990u);
    EXPECT_LT(asked[0], 1500u * kSlow);
    EXPECT_GE(asked[1], 1990u);
    EXPECT_LT(asked[1], 3000u * kSlow);
    EXPECT_TRUE(trace.Has("CRecvThread::ReadLoop: AskIfIShouldContinueWaiting returned"));
}

// A loop started by a post has nobody waiting for it; with no time-out it
// waits for ever, without spinning, and a command ends it and is answered.
TEST(CRecvThreadNet, PostedReadWithoutTimeOutIdlesAndHonoursStop)
{
    CRecv recv;
    ASSERT_NE(0, recv.Open("127.0.0.1", u"?Timeout=0"));
    const DWORD dwTid = recv->GetThreadId();
    const double dCpuBefore = ThreadCpuSeconds(dwTid);
    ASSERT_GE(dCpuBefore, 0);
    ASSERT_TRUE(recv->PostCommand(CMD_READ));
    Sleep(2000);  // the window measured, not a synchronisation
    const double dCpu = ThreadCpuSeconds(dwTid) - dCpuBefore;
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

// Packets 2 and 3 swap, 6 and 8 swap around 7, and packet 20 is lost: the
// ring holds the payloads in sequence order, and the only gap is the lost
// packet, marked at the pin by a discontinuity on the packet after it.
TEST_P(CRecvThreadRtp, TransportStreamPayloadsInSequenceOrder)
{
    CRecv recv;
    const WORD wPort = recv.Open();
    ASSERT_NE(0, wPort);
    std::future<HRESULT> read = ReadAsync(recv);

    constexpr int kPackets = 40;
    constexpr DWORD kFirstSeq = 65530;  // the sequence wraps on the way
    std::vector<Bytes> payloads;
    BYTE bCC = 0;
    for (int i = 0; i < kPackets; ++i)
        payloads.push_back(TsPackets(static_cast<LONGLONG>(i) * kDatagram, 7, &bCC));
    std::vector<int> order;
    for (int i = 0; i < kPackets; ++i)
        order.push_back(i);
    std::swap(order[2], order[3]);
    std::swap(order[6], order[8]);
    order.erase(order.begin() + 20);

    CTestSender sender;
    Bytes expected;
    for (int i = 0; i < kPackets; ++i)
        if (i != 20)
            expected.insert(expected.end(), payloads[i].begin(), payloads[i].end());
    for (int i : order) {
        RtpPacket pkt;
        pkt.bPayloadType = GetParam();
        pkt.dwSeq = (kFirstSeq + static_cast<DWORD>(i)) & 0xFFFF;
        pkt.dwTimestamp = 9000 + 3003u * static_cast<DWORD>(i);
        pkt.payload = payloads[i];
        SendRtp(&sender, wPort, pkt);
    }
    recv.m_pin.ExpectBytes(static_cast<LONGLONG>(expected.size()));
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    EXPECT_TRUE(recv.Ring() == expected);
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(static_cast<size_t>(kPackets - 1), units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const int nPacket = i < 20 ? static_cast<int>(i) : static_cast<int>(i) + 1;
        EXPECT_EQ(payloads[nPacket], units[i].data) << "unit " << i;
        EXPECT_EQ((9000 + 3003LL * nPacket) * 1000 / 9, units[i].rtStart) << "unit " << i;
        EXPECT_EQ(nPacket == 21, (units[i].dwFlags & RTPUNIT_DISCONTINUITY) != 0) << "unit " << i;
        EXPECT_FALSE(units[i].bEndOfUnit);
    }
}

INSTANTIATE_TEST_SUITE_P(PayloadTypes, CRecvThreadRtp, ::testing::Values(BYTE{33}, BYTE{96}));

namespace {

// Parameter sets of a 320 x 240, 25 frame/s stream (libx264 baseline, from
// ffmpeg's SDP: sprop-parameter-sets=Z0LADdkBQfsBEAAAAwAQAAADAyDxQqSA,aMuDyyA=).
const Bytes kSps = {0x67, 0x42, 0xC0, 0x0D, 0xD9, 0x01, 0x41, 0xFB, 0x01, 0x10, 0x00, 0x00,
                    0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xF1, 0x42, 0xA4, 0x80};
const Bytes kPps = {0x68, 0xCB, 0x83, 0xCB, 0x20};

// A single-NAL-unit packet (RFC 6184, 5.6).
RtpPacket Nal(DWORD dwSeq, DWORD dwTime, bool bMarker, const Bytes& nal)
{
    RtpPacket pkt;
    pkt.dwSeq = dwSeq;
    pkt.dwTimestamp = dwTime;
    pkt.bMarker = bMarker;
    pkt.payload = nal;
    return pkt;
}

Bytes Slice(BYTE bType, int nIndex)
{
    Bytes v = {bType, 0x88, 0x84};
    for (int i = 0; i < 40; ++i)
        v.push_back(static_cast<BYTE>(nIndex * 7 + i + 1));
    return v;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes v;
    for (const Bytes& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

}  // namespace

// Without parameter sets in the URL, the stream starts when its SPS arrives:
// until then every unit is delivered and written; the unit with the SPS
// describes the stream (size and frame rate from the SPS), and from then on
// the ring is no longer written.
TEST(CRecvThreadNet, H264InRtpStartsWithItsSequenceParameterSet)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?rtpmap=96;H264/90000");
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    DWORD dwSeq = 100;
    for (int i = 0; i < 3; ++i)
        SendRtp(&sender, wPort, Nal(dwSeq++, 3600u * i, true, Slice(0x41, i)));
    recv.m_pin.ExpectUnits(3);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_FALSE(Ready(read, 200));
    EXPECT_FALSE(recv.m_filter.IsOutputMediaTypeValid());
    const Bytes beforeSps = recv.m_pin.AllBytes();

    SendRtp(&sender, wPort, Nal(dwSeq++, 3600u * 3, false, kSps));
    SendRtp(&sender, wPort, Nal(dwSeq++, 3600u * 3, false, kPps));
    SendRtp(&sender, wPort, Nal(dwSeq++, 3600u * 3, true, Slice(0x65, 3)));
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());
    for (int i = 4; i < 6; ++i)
        SendRtp(&sender, wPort, Nal(dwSeq++, 3600u * i, true, Slice(0x41, i)));
    recv.m_pin.ExpectUnits(6);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const CMediaType mt = recv.m_filter.MediaType();
    EXPECT_EQ(MEDIASUBTYPE_H264, mt.subtype);
    ASSERT_GE(mt.cbFormat, sizeof(VIDEOINFOHEADER));
    VIDEOINFOHEADER vih;
    memcpy(&vih, mt.pbFormat, sizeof(vih));
    EXPECT_EQ(320, vih.bmiHeader.biWidth);
    EXPECT_EQ(240, vih.bmiHeader.biHeight);
    EXPECT_EQ(400000, vih.AvgTimePerFrame);
    EXPECT_FALSE(recv->IsDVRWriteEnabled());

    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(6u, units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(static_cast<LONGLONG>(3600 * i) * 1000 / 9, units[i].rtStart);
        EXPECT_FALSE(units[i].bEndOfUnit);  // H.264 units are cut by the pin
    }
    // The ring holds exactly the units before the one that described it.
    EXPECT_TRUE(recv.Ring() == beforeSps);
}

// Parameter sets from the URL describe the stream at its first unit; they
// follow the video information in the format block, each with a start code.
TEST(CRecvThreadNet, H264InRtpWithParameterSetsFromTheUrl)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1",
                                 u"?rtpmap=96;H264/90000&fmtp=96;packetization-mode=1;"
                                 u"sprop-parameter-sets=\"Z0LADdkBQfsBEAAAAwAQAAADAyDxQqSA,aMuDyyA=\"");
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    SendRtp(&sender, wPort, Nal(7, 0, true, Slice(0x41, 0)));
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const CMediaType mt = recv.m_filter.MediaType();
    const Bytes params = Cat({{0, 0, 1}, kSps, {0, 0, 1}, kPps});
    ASSERT_EQ(sizeof(VIDEOINFOHEADER) + params.size(), mt.cbFormat);
    EXPECT_EQ(0, memcmp(mt.pbFormat + sizeof(VIDEOINFOHEADER), params.data(), params.size()));
    EXPECT_TRUE(recv.Ring().empty());
    EXPECT_EQ(1u, recv.m_pin.Units().size());
}

namespace {

// An RFC 2435 packet: main header (type 1 = 4:2:0, Q 50: tables derived by
// the receiver), 64 x 48 pixels, then scan bytes at nOffset.
RtpPacket JpegPacket(DWORD dwSeq, DWORD dwTime, DWORD nOffset, const Bytes& scan, bool bLast)
{
    RtpPacket pkt;
    pkt.bPayloadType = 26;
    pkt.dwSeq = dwSeq;
    pkt.dwTimestamp = dwTime;
    pkt.bMarker = bLast;
    pkt.payload = {0, static_cast<BYTE>(nOffset >> 16), static_cast<BYTE>(nOffset >> 8), static_cast<BYTE>(nOffset),
                   1, 50, 64 / 8, 48 / 8};
    pkt.payload.insert(pkt.payload.end(), scan.begin(), scan.end());
    return pkt;
}

}  // namespace

// JPEG in RTP: each frame reaches the pin as one sample with its time and
// the end-of-frame flag; the stream is described by its first frame, so the
// ring receives nothing.
TEST(CRecvThreadNet, JpegInRtpDeliversWholeFrames)
{
    CRecv recv;
    const WORD wPort = recv.Open();
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    DWORD dwSeq = 1;
    for (int nFrame = 0; nFrame < 3; ++nFrame) {
        const Bytes scan1(300, static_cast<BYTE>(0x10 + nFrame)), scan2(200, static_cast<BYTE>(0x20 + nFrame));
        SendRtp(&sender, wPort, JpegPacket(dwSeq++, 3600u * nFrame, 0, scan1, false));
        SendRtp(&sender, wPort, JpegPacket(dwSeq++, 3600u * nFrame, 300, scan2, true));
    }
    recv.m_pin.ExpectUnits(3);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(3u, units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const SUnit& u = units[i];
        EXPECT_TRUE(u.bEndOfUnit);
        EXPECT_EQ(static_cast<LONGLONG>(3600 * i) * 1000 / 9, u.rtStart);
        EXPECT_NE(0u, u.dwFlags & RTPUNIT_MARKER);
        // A JFIF image: SOI and the headers the receiver rebuilt, then the
        // scan bytes of both packets in order.
        ASSERT_GT(u.data.size(), 500u);
        EXPECT_EQ(0xFF, u.data[0]);
        EXPECT_EQ(0xD8, u.data[1]);
        const Bytes tail(u.data.end() - 500, u.data.end());
        EXPECT_EQ(Cat({Bytes(300, static_cast<BYTE>(0x10 + i)), Bytes(200, static_cast<BYTE>(0x20 + i))}), tail);
    }
    const CMediaType mt = recv.m_filter.MediaType();
    EXPECT_EQ(MEDIASUBTYPE_jpeg, mt.subtype);
    VIDEOINFOHEADER vih;
    ASSERT_GE(mt.cbFormat, sizeof(vih));
    memcpy(&vih, mt.pbFormat, sizeof(vih));
    EXPECT_EQ(64, vih.bmiHeader.biWidth);
    EXPECT_EQ(48, vih.bmiHeader.biHeight);
    EXPECT_TRUE(recv.Ring().empty());
}

// Raw video (RFC 4175) described by sampling=: frames go to the pin only, and
// no ring is even created.
TEST(CRecvThreadNet, RawVideoGoesToThePinOnly)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1",
                                 u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=8;height=2;depth=8");
    std::future<HRESULT> read = ReadAsync(recv);
    CTestSender sender;
    DWORD dwSeq = 10;
    for (int nFrame = 0; nFrame < 2; ++nFrame) {
        for (DWORD dwLine = 0; dwLine < 2; ++dwLine) {
            RtpPacket pkt;
            pkt.dwSeq = dwSeq++;
            pkt.dwTimestamp = 1500u * nFrame;
            pkt.bMarker = dwLine == 1;
            // Extended sequence number, one line header (16 bytes, line,
            // offset 0), the line's UYVY bytes.
            pkt.payload = {0, 0, 0, 16, 0, static_cast<BYTE>(dwLine), 0, 0};
            for (int i = 0; i < 16; ++i)
                pkt.payload.push_back(static_cast<BYTE>(nFrame * 64 + dwLine * 16 + i));
            SendRtp(&sender, wPort, pkt);
        }
    }
    recv.m_pin.ExpectUnits(2);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(2u, units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        Bytes frame;
        for (int b = 0; b < 32; ++b)
            frame.push_back(static_cast<BYTE>(i * 64 + b));
        EXPECT_EQ(frame, units[i].data);
        EXPECT_TRUE(units[i].bEndOfUnit);
        EXPECT_EQ(static_cast<LONGLONG>(1500 * i) * 1000 / 9, units[i].rtStart);
    }
    EXPECT_FALSE(recv.RingExists());
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
        Bytes v = Cat({{0x80, 0x60, 0, static_cast<BYTE>(i)}, Slice(0x41, i)});  // RTP-like first bytes
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(v)));
        sent.insert(sent.end(), v.begin(), v.end());
    }
    recv.m_pin.ExpectUnits(5);
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    const Bytes headers = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 0, 1, 0x68, 0xCE};
    EXPECT_TRUE(recv.Ring() == Cat({headers, sent}));
    EXPECT_TRUE(recv.m_pin.AllBytes() == sent);
}

// ---------------------------------------------------------------------------
// TCP

// The server sends, closes and accepts again three times: the loop
// reconnects (at most every 100 ms) and the ring holds exactly what the
// server sent. When the server is gone for good, the loop ends once the
// time-out has passed since the last data.
TEST(CRecvThreadNet, TcpReconnectsAndLosesNothing)
{
    CTraceCapture trace;
    CServer server;
    ASSERT_NE(0, server.Port());
    CRecv recv;
    recv.Open("127.0.0.1", u"?Timeout=1", false, server.Port());
    std::future<HRESULT> read = ReadAsync(recv);

    Bytes sent;
    BYTE bCC = 0;
    Clock::time_point aAccepted[3];
    for (int nRound = 0; nRound < 3; ++nRound) {
        const Bytes v = TsPackets(static_cast<LONGLONG>(sent.size()), 500 + 37 * nRound, &bCC);
        ASSERT_TRUE(server.Serve(v, &aAccepted[nRound])) << "round " << nRound;
        sent.insert(sent.end(), v.begin(), v.end());
        recv.m_pin.ExpectBytes(static_cast<LONGLONG>(sent.size()));
        ASSERT_TRUE(recv.m_pin.WaitReached()) << "round " << nRound;
    }
    EXPECT_EQ(S_OK, read.get());
    const auto lastData = Clock::now();
    for (int nRound = 1; nRound < 3; ++nRound)
        EXPECT_GE(std::chrono::duration_cast<milliseconds>(aAccepted[nRound] - aAccepted[nRound - 1]).count(), 90);
    server.Shut();

    ASSERT_TRUE(trace.WaitFor("Timeout expired trying to reconnect. Aborting the read process...", 5000));
    const long long ms = MsSince(lastData);
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000 * kSlow);
    EXPECT_GE(trace.Count("CRecvThread::ReopenTcpSocket..."), 3);
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const Bytes ring = recv.Ring();
    EXPECT_EQ(sent.size(), ring.size());
    EXPECT_TRUE(ring == sent);
    std::string strWhere;
    EXPECT_TRUE(WordsHoldOffsets(ring, &strWhere)) << strWhere;
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
// Commands from other threads

// CloseSocket from a thread other than the receive thread stops the read
// loop first: the socket is never closed under a running receive, which
// would end the loop with an error instead.
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
        for (int i = 0; i < 5000 && !bStop; ++i) {
            (void)s.Send("127.0.0.1", wPort, ToString(TsPackets(i * kDatagram, 7, &bCC)));
            Sleep(1);
        }
    });
    recv.m_pin.ExpectUnits(50);
    EXPECT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, read.get());
    recv->CloseSocket(TRUE);
    EXPECT_FALSE(recv->IsReading());
    EXPECT_EQ(INVALID_SOCKET, recv->GetSocket());
    bStop = true;
    sender.join();
    EXPECT_TRUE(trace.Has("CRecvThread::RECVCMD_STOP"));
    EXPECT_FALSE(trace.Has("MyRecv returned unknown error"));
    EXPECT_FALSE(trace.Has("INVALID_SOCKET"));
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
    ASSERT_TRUE(trace.WaitFor("CRecvThread::ProcessData(): DeliverData(1316) returned"));
    ASSERT_TRUE(trace.WaitFor("- CRecvThread::CMD_READ..."));
    EXPECT_FALSE(recv->IsReading());
    // Two datagrams were written; the third failed before its write.
    EXPECT_EQ(2u * kDatagram, recv.Ring().size());
}

// ---------------------------------------------------------------------------
// Attribute changes of the DVR writer

namespace {

// Holds each restart of the ring back until the receive thread has dropped a
// buffer for it, so that every change really meets data in flight.
class CChangeHoldingRecv : public CRecvThread
{
public:
    CChangeHoldingRecv(IRecvOutputPin* pPin, IRecvFilter* pFilter, CTraceCapture* pTrace)
        : CRecvThread(pPin, pFilter, nullptr, false), m_pTrace(pTrace)
    {
        Create();
    }
    ~CChangeHoldingRecv() override
    {
        // The thread calls into this class; it ends before this part goes.
        if (ThreadExists()) {
            DWORD dw = CallWorker(RECVCMD_EXIT);
            (void)dw;
        }
        Close();
    }
    HRESULT ChangingAttributesNotification(BOOL bAfter) override
    {
        if (bAfter && m_bHold) {
            EXPECT_TRUE(m_pTrace->WaitFor(kDropLine, 2000, ++m_nHeld)) << "no buffer dropped";
        }
        return CRecvThread::ChangingAttributesNotification(bAfter);
    }
    static constexpr const char* kDropLine =
        "CRecvThread::ProcessData(): WriteData failed because I am changing attributes. Discarding this buffer";
    std::atomic<bool> m_bHold{false};

private:
    CTraceCapture* const m_pTrace;
    int m_nHeld = 0;
};

CTraceCapture* g_pTrace;

}  // namespace

// The ring moves to other folders with other sizes, five times, while a
// sender keeps the receive thread busy. Reception goes on; the datagrams
// dropped while the ring was restarted are the only loss, each one traced.
TEST(CRecvThreadNet, AttributeChangesWhileDataFlowsLoseOnlyTheDroppedBuffers)
{
    CTraceCapture trace;
    g_pTrace = &trace;
    CRecv recv([](IRecvOutputPin* pPin, IRecvFilter* pFilter) -> CRecvThread* {
        return new CChangeHoldingRecv(pPin, pFilter, g_pTrace);
    });
    static_cast<CChangeHoldingRecv*>(recv.Get())->m_bHold = true;
    const WORD wPort = recv.Open();
    constexpr int kTotal = 3000;
    constexpr int kChanges = 5;
    CTempDir aDirs[kChanges];
    std::future<HRESULT> read = ReadAsync(recv);
    std::thread sender([&] {
        CTestSender s;
        BYTE bCC = 0;
        for (int i = 0; i < kTotal; ++i) {
            (void)s.Send("127.0.0.1", wPort, ToString(TsPackets(static_cast<LONGLONG>(i) * kDatagram, 7, &bCC)));
            // Bursts the socket buffer holds, one every millisecond or so.
            if (i % (16 / kSlow) == 0)
                Sleep(1);
        }
    });
    for (int c = 0; c < kChanges; ++c) {
        recv.m_pin.ExpectUnits(300 + 500 * c);
        ASSERT_TRUE(recv.m_pin.WaitReached());
        BSTR bstrDir = SysAllocString(Utf8ToWide(aDirs[c].Path()).c_str());
        EXPECT_EQ(S_OK, recv->StartChangingAttributes());
        EXPECT_EQ(S_OK, recv->SetFolderName(0, bstrDir));
        EXPECT_EQ(S_OK, recv->SetBufferSize(0, 3 + c % 2, (1 << 20) + 65536.0 * c));
        EXPECT_EQ(S_OK, recv->EndChangingAttributes(VARIANT_FALSE));
        SysFreeString(bstrDir);
    }
    sender.join();
    EXPECT_EQ(S_OK, read.get());
    recv.m_pin.ExpectUnits(kTotal);
    ASSERT_TRUE(recv.m_pin.WaitReached()) << "the pin saw every datagram";
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    // Every ring holds a run of whole datagrams in order; the runs follow
    // each other, from the first datagram to the last.
    auto checkRun = [&](const Bytes& ring, long* pnFirst, long* pnLast) {
        ASSERT_EQ(0u, ring.size() % kDatagram);
        ASSERT_FALSE(ring.empty());
        ULONGLONG ull = 0;
        for (int b = 7; b >= 0; --b)
            ull = (ull << 8) | ring[4 + static_cast<size_t>(b)];
        *pnFirst = static_cast<long>((ull - 4) / kDatagram);
        for (size_t off = 0; off < ring.size(); off += kDatagram) {
            const long n = *pnFirst + static_cast<long>(off / kDatagram);
            BYTE bCC = static_cast<BYTE>(7 * n % 16);  // the counters run on from the first datagram
            const Bytes expect = TsPackets(static_cast<LONGLONG>(n) * kDatagram, 7, &bCC);
            ASSERT_EQ(0, memcmp(ring.data() + off, expect.data(), kDatagram)) << "datagram " << n;
        }
        *pnLast = *pnFirst + static_cast<long>(ring.size() / kDatagram) - 1;
    };
    long nFirst = -1, nLast = -1, nPrevLast = -1, nLost = 0;
    for (int r = 0; r <= kChanges; ++r) {
        SCOPED_TRACE("ring " + std::to_string(r));
        checkRun(r == 0 ? recv.Ring() : ReadRing(aDirs[r - 1].Stub()), &nFirst, &nLast);
        EXPECT_GT(nFirst, nPrevLast);
        nLost += nFirst - nPrevLast - 1;
        nPrevLast = nLast;
    }
    EXPECT_EQ(kTotal - 1, nLast);
    EXPECT_GE(nLost, kChanges);
    EXPECT_EQ(nLost, trace.Count(CChangeHoldingRecv::kDropLine));
    // The ring's set-up was a change too.
    EXPECT_EQ(kChanges + 1, trace.Count("CRecvThread::ChangingAttributesNotification(FALSE)"));
    EXPECT_EQ(kChanges + 1, trace.Count("CRecvThread::ChangingAttributesNotification(TRUE)"));
    const std::vector<LONG> flags = recv.m_filter.AttributeFlags();
    ASSERT_EQ(2u * (kChanges + 1), flags.size());
    for (size_t i = 0; i < flags.size(); ++i)
        EXPECT_EQ(i % 2 ? TRUE : FALSE, flags[i]);
}
