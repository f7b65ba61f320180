// kvudpsrc send, received here by plain sockets on loopback: every byte must
// be the test stream's (regenerated here), every datagram and RTP header as
// the protocols say, over UDP, multicast, RTP and TCP, and from a file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tooltest.h"
#include "tools/tsgen.h"

namespace {

constexpr size_t kTs = CTsGenerator::kPacketSize;

struct SDatagram
{
    std::string strData;
    int nTtl = -1;  // when asked for
};

class CUdpReceiver
{
public:
    // Binds 127.0.0.1 on an ephemeral port, or the group on any address
    // joined through the 127.0.0.1 interface.
    bool Open(const char* pszGroup = nullptr)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (m_fd < 0)
            return false;
        const int nBuf = 8 * 1024 * 1024;
        (void)setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
        const int nOn = 1;
        (void)setsockopt(m_fd, IPPROTO_IP, IP_RECVTTL, &nOn, sizeof(nOn));
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = pszGroup ? htonl(INADDR_ANY) : htonl(INADDR_LOOPBACK);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
            return false;
        socklen_t cb = sizeof(sa);
        if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &cb) != 0)
            return false;
        m_wPort = ntohs(sa.sin_port);
        if (pszGroup) {
            ip_mreq mreq = {};
            mreq.imr_multiaddr.s_addr = inet_addr(pszGroup);
            mreq.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
            if (setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0)
                return false;
        }
        return true;
    }
    ~CUdpReceiver()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    uint16_t Port() const { return m_wPort; }

    // Datagrams until cbPayload bytes (less cbHeader per datagram) came,
    // or nothing came for dwIdleMs.
    std::vector<SDatagram> Receive(size_t cbPayload, size_t cbHeader, DWORD dwIdleMs = 3000)
    {
        std::vector<SDatagram> v;
        size_t cbGot = 0;
        std::vector<char> buf(65536);
        while (cbGot < cbPayload) {
            pollfd pfd = {m_fd, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(dwIdleMs * kToolSlowdown)) <= 0)
                break;
            char abControl[256];
            iovec iov = {buf.data(), buf.size()};
            msghdr msg = {};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = abControl;
            msg.msg_controllen = sizeof(abControl);
            const ssize_t n = recvmsg(m_fd, &msg, 0);
            if (n <= 0)
                break;
            SDatagram d;
            d.strData.assign(buf.data(), static_cast<size_t>(n));
            for (cmsghdr* p = CMSG_FIRSTHDR(&msg); p; p = CMSG_NXTHDR(&msg, p))
                if (p->cmsg_level == IPPROTO_IP && p->cmsg_type == IP_TTL)
                    memcpy(&d.nTtl, CMSG_DATA(p), sizeof(int));
            cbGot += static_cast<size_t>(n) - std::min(cbHeader, static_cast<size_t>(n));
            v.push_back(std::move(d));
        }
        return v;
    }

private:
    int m_fd = -1;
    uint16_t m_wPort = 0;
};

std::string Payloads(const std::vector<SDatagram>& v, size_t cbHeader)
{
    std::string s;
    for (const SDatagram& d : v)
        s += d.strData.substr(std::min(cbHeader, d.strData.size()));
    return s;
}

long long Mismatch(uint64_t ullRate, const std::string& s, uint64_t ullOffset = 0)
{
    return CTsGenerator(ullRate).FirstMismatch(ullOffset, reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

uint32_t Be32(const std::string& s, size_t ib)
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(s[ib])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[ib + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[ib + 2])) << 8) | static_cast<uint8_t>(s[ib + 3]);
}

class CSendTest : public CToolTest
{
};

}  // namespace

TEST_F(CSendTest, UdpDeliversTheTestStreamByteForByteAtItsRate)
{
    CUdpReceiver rx;
    ASSERT_TRUE(rx.Open());
    constexpr size_t kDatagrams = 500, kTotal = kDatagrams * 7 * kTs;
    CChild send;
    const DWORD dwStart = GetTickCount();
    send.Start({"send", "udp://127.0.0.1:" + std::to_string(rx.Port()), "--rate", "40", "--total",
                std::to_string(kTotal)},
               P("send.out"), P("send.err"));
    const std::vector<SDatagram> v = rx.Receive(kTotal, 0);
    ASSERT_EQ(0, send.Wait(10000 * kToolSlowdown)) << ReadAll(P("send.err"));
    // The rate holds it back: 4.6 Mbit at 40 Mbit/s cannot take less than
    // 115 ms.
    EXPECT_GE(TickDiff(GetTickCount(), dwStart), 110u);
    ASSERT_EQ(kDatagrams, v.size());
    for (const SDatagram& d : v)
        ASSERT_EQ(7 * kTs, d.strData.size());
    EXPECT_EQ(-1, Mismatch(40000000, Payloads(v, 0)));
    EXPECT_NE(std::string::npos,
              ReadAll(P("send.err")).find("end: --total reached; 500 datagrams, " + std::to_string(kTotal) + " bytes"))
        << ReadAll(P("send.err"));
}

TEST_F(CSendTest, RtpHeadersCountUpAndTimeTheStreamAt90kHz)
{
    CUdpReceiver rx;
    ASSERT_TRUE(rx.Open());
    constexpr size_t kDatagrams = 300;
    CChild send;
    send.Start({"send", "udp://127.0.0.1:" + std::to_string(rx.Port()), "--rtp", "--rate", "30", "--total",
                std::to_string(kDatagrams * 7 * kTs), "-v"},
               P("send.out"), P("send.err"));
    const std::vector<SDatagram> v = rx.Receive(kDatagrams * 7 * kTs, 12);
    ASSERT_EQ(0, send.Wait(10000 * kToolSlowdown)) << ReadAll(P("send.err"));
    ASSERT_EQ(kDatagrams, v.size());
    const std::string& s0 = v[0].strData;
    const uint32_t dwSsrc = Be32(s0, 8);
    const uint32_t dwTs0 = Be32(s0, 4);
    char szSsrc[32];
    snprintf(szSsrc, sizeof(szSsrc), "RTP SSRC 0x%08X", dwSsrc);
    EXPECT_NE(std::string::npos, ReadAll(P("send.err")).find(szSsrc));
    for (size_t k = 0; k < v.size(); ++k) {
        const std::string& s = v[k].strData;
        ASSERT_EQ(12 + 7 * kTs, s.size());
        EXPECT_EQ(0x80, static_cast<uint8_t>(s[0])) << k;  // version 2, no padding, extension or CSRC
        EXPECT_EQ(33, static_cast<uint8_t>(s[1])) << k;    // marker 0, MP2T
        const uint16_t wSeq = static_cast<uint16_t>((static_cast<uint8_t>(s[2]) << 8) | static_cast<uint8_t>(s[3]));
        const uint16_t wSeq0 = static_cast<uint16_t>((static_cast<uint8_t>(s0[2]) << 8) | static_cast<uint8_t>(s0[3]));
        EXPECT_EQ(static_cast<uint16_t>(wSeq0 + k), wSeq) << k;
        EXPECT_EQ(dwSsrc, Be32(s, 8)) << k;
        // Each datagram is stamped with the time its first byte is due:
        // 1316 bytes at 30 Mbit/s are 350.93 us, 31.584 ticks of 90 kHz.
        const unsigned long long ullDueNs = k * 7 * kTs * 8 * 1000000000ull / 30000000;
        EXPECT_EQ(static_cast<uint32_t>(ullDueNs * 9 / 100000), Be32(s, 4) - dwTs0) << k;
    }
    EXPECT_EQ(-1, Mismatch(30000000, Payloads(v, 12)));
}

TEST_F(CSendTest, MulticastGoesOutThroughTheNamedInterfaceWithItsTtl)
{
    CUdpReceiver rx;
    if (!rx.Open("239.255.42.21"))
        GTEST_SKIP() << "cannot join 239.255.42.21 on the 127.0.0.1 interface: " << strerror(errno);
    constexpr size_t kTotal = 200 * 7 * kTs;
    CChild send;
    send.Start({"send", "udp://239.255.42.21:" + std::to_string(rx.Port()) + "/127.0.0.1", "--ttl", "3", "--total",
                std::to_string(kTotal), "--rate", "20"},
               P("send.out"), P("send.err"));
    const std::vector<SDatagram> v = rx.Receive(kTotal, 0);
    ASSERT_EQ(0, send.Wait(10000 * kToolSlowdown)) << ReadAll(P("send.err"));
    ASSERT_EQ(200u, v.size());
    EXPECT_EQ(3, v[0].nTtl);
    EXPECT_EQ(-1, Mismatch(20000000, Payloads(v, 0)));

    // --interface names it instead of the URL's path; the default TTL of a
    // group is 1.
    CChild send2;
    send2.Start({"send", "udp://239.255.42.21:" + std::to_string(rx.Port()), "--interface", "127.0.0.1", "--total",
                 std::to_string(7 * kTs)},
                P("send2.out"), P("send2.err"));
    const std::vector<SDatagram> v2 = rx.Receive(7 * kTs, 0);
    ASSERT_EQ(0, send2.Wait(10000 * kToolSlowdown)) << ReadAll(P("send2.err"));
    ASSERT_EQ(1u, v2.size());
    EXPECT_EQ(1, v2[0].nTtl);
}

TEST_F(CSendTest, TcpServesEveryClientTheStreamFromItsStartAndStopsOnSigint)
{
    constexpr size_t kTotal = 4000 * kTs;
    CChild send;
    send.Start({"send", "tcp://127.0.0.1:0", "--total", std::to_string(kTotal), "--rate", "50"}, P("send.out"),
               P("send.err"));
    const std::string strListen = WaitForLine(P("send.out"), "listening tcp://127.0.0.1:");
    ASSERT_FALSE(strListen.empty());
    const int nPort = atoi(strListen.c_str());
    ASSERT_GT(nPort, 0);

    int afd[2];
    for (int& fd : afd) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(nPort));
        ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa))) << strerror(errno);
    }
    // Both connections are read together until the server closes them.
    std::string as[2];
    bool abOpen[2] = {true, true};
    std::vector<char> buf(65536);
    const DWORD dwStart = GetTickCount();
    while ((abOpen[0] || abOpen[1]) && TickDiff(GetTickCount(), dwStart) < 10000 * kToolSlowdown) {
        pollfd apfd[2] = {{abOpen[0] ? afd[0] : -1, POLLIN, 0}, {abOpen[1] ? afd[1] : -1, POLLIN, 0}};
        if (poll(apfd, 2, 1000) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (!apfd[i].revents)
                continue;
            const ssize_t n = read(afd[i], buf.data(), buf.size());
            if (n <= 0)
                abOpen[i] = false;
            else
                as[i].append(buf.data(), static_cast<size_t>(n));
        }
    }
    for (int i = 0; i < 2; ++i) {
        close(afd[i]);
        EXPECT_FALSE(abOpen[i]) << i;
        EXPECT_EQ(kTotal, as[i].size()) << i;
        EXPECT_EQ(-1, Mismatch(50000000, as[i])) << i;
    }

    // The server keeps listening until it is told to stop.
    EXPECT_EQ(-1, send.Wait(0));
    const DWORD dwStop = GetTickCount();
    send.Signal(SIGINT);
    EXPECT_EQ(0, send.Wait(1000 * kToolSlowdown));
    EXPECT_LT(TickDiff(GetTickCount(), dwStop), 200u * kToolSlowdown);
    EXPECT_NE(std::string::npos, ReadAll(P("send.err")).find("end: stopped by SIGINT; 2 clients, " +
                                                              std::to_string(2 * kTotal) + " bytes"))
        << ReadAll(P("send.err"));
}

TEST_F(CSendTest, AFileIsSentAsItIsAndLoopedWithItsTailInADatagramOfItsOwn)
{
    // 75 packets: ten datagrams of 7 and a tail of 5.
    std::string strFile(75 * kTs, '\0');
    CTsGenerator(1000000).Fill(123 * kTs, reinterpret_cast<uint8_t*>(strFile.data()), strFile.size());
    std::ofstream(P("in.ts"), std::ios::binary) << strFile;
    CUdpReceiver rx;
    ASSERT_TRUE(rx.Open());
    CChild send;
    send.Start({"send", "udp://127.0.0.1:" + std::to_string(rx.Port()), "--file", P("in.ts"), "--loop", "--total",
                std::to_string(3 * strFile.size()), "--rate", "20"},
               P("send.out"), P("send.err"));
    const std::vector<SDatagram> v = rx.Receive(3 * strFile.size(), 0);
    ASSERT_EQ(0, send.Wait(10000 * kToolSlowdown)) << ReadAll(P("send.err"));
    ASSERT_EQ(33u, v.size());
    for (size_t k = 0; k < v.size(); ++k)
        EXPECT_EQ(k % 11 == 10 ? 5 * kTs : 7 * kTs, v[k].strData.size()) << k;
    EXPECT_TRUE(Payloads(v, 0) == strFile + strFile + strFile);

    // Without --loop the file is sent once and the sender ends by itself.
    CChild once;
    once.Start({"send", "udp://127.0.0.1:" + std::to_string(rx.Port()), "--file", P("in.ts"), "--rate", "20"},
               P("once.out"), P("once.err"));
    const std::vector<SDatagram> v2 = rx.Receive(strFile.size(), 0);
    ASSERT_EQ(0, once.Wait(10000 * kToolSlowdown)) << ReadAll(P("once.err"));
    EXPECT_TRUE(Payloads(v2, 0) == strFile);
    EXPECT_NE(std::string::npos, ReadAll(P("once.err")).find("end: end of the stream; 11 datagrams"));
}

TEST_F(CSendTest, SigintStopsAPacedSenderAtOnceWithItsFinalLine)
{
    CUdpReceiver rx;
    ASSERT_TRUE(rx.Open());
    CChild send;
    send.Start({"send", "udp://127.0.0.1:" + std::to_string(rx.Port()), "--rate", "0.5"}, P("send.out"),
               P("send.err"));
    // The first datagram shows that it is sending; then it sleeps between
    // datagrams (21 ms each at this rate).
    ASSERT_EQ(1u, rx.Receive(1, 0).size());
    const DWORD dwStart = GetTickCount();
    send.Signal(SIGINT);
    EXPECT_EQ(0, send.Wait(1000 * kToolSlowdown));
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 200u * kToolSlowdown);
    EXPECT_NE(std::string::npos, ReadAll(P("send.err")).find("end: stopped by SIGINT; ")) << ReadAll(P("send.err"));
}
