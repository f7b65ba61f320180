// The socket layer on real loopback sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <sys/wait.h>

#include "dshowflt/mpegdemux/kvudpsrc/net/sockettest_util.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A TCP listener on 127.0.0.1 with an ephemeral port.
struct CListener
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    WORD wPort = 0;
    explicit CListener(int nBacklog = 4, bool bListen = true)
    {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Addr("127.0.0.1");
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
            (!bListen || listen(fd, nBacklog) == 0))
            wPort = BoundPort(fd);
    }
    ~CListener() { close(fd); }
};

const HRESULT kHrWouldBlock = HRESULT_FROM_WIN32(WSAEWOULDBLOCK);

}  // namespace

TEST(CSocketTest, UdpDatagramsArriveInOrderOnePerRecv)
{
    CSocket sock;
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("127.0.0.1"), 0, 0, TRUE, TRUE));
    ASSERT_EQ(S_OK, sock.OpenSocket(TRUE, TRUE, 0));
    EXPECT_EQ(65507u, sock.GetMaxMsgSize());
    EXPECT_GE(sock.Capacity(), static_cast<LONG>(40 * 65507));
    WORD wPort = BoundPort(sock.GetSocket());
    ASSERT_NE(0, wPort);

    // Nothing sent yet: a non-blocking read says so at once.
    LONG cb = -1;
    EXPECT_EQ(kHrWouldBlock, sock.MyRecv(sock.Data(), static_cast<LONG>(sock.GetMaxMsgSize()), &cb));

    CTestSender sender;
    const std::string astr[] = {"first", std::string(1400, 'b'), "", std::string(65507, 'd'), "last"};
    for (const std::string& str : astr)
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, str));
    // Data waiting: the wait reports it without waiting for its time-out.
    auto t0 = Clock::now();
    EXPECT_EQ(WAITEVENT_OK, sock.WaitForEvent(INVALID_HANDLE_VALUE, 5000, FD_READ));
    EXPECT_LT(MsSince(t0), 1000);
    for (const std::string& str : astr) {
        ASSERT_EQ(S_OK, sock.MyRecv(sock.Data(), static_cast<LONG>(sock.GetMaxMsgSize()), &cb));
        EXPECT_EQ(str, std::string(reinterpret_cast<char*>(sock.Data()), static_cast<size_t>(cb)));
    }
    EXPECT_EQ(kHrWouldBlock, sock.MyRecv(sock.Data(), static_cast<LONG>(sock.GetMaxMsgSize()), &cb));

    // A datagram larger than the reader's buffer is reported, not cut short
    // silently.
    ASSERT_TRUE(sender.Send("127.0.0.1", wPort, "0123456789"));
    ASSERT_EQ(WAITEVENT_OK, sock.WaitForEvent(INVALID_HANDLE_VALUE, 5000, FD_READ));
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAEMSGSIZE), sock.MyRecv(sock.Data(), 4, &cb));

    LONG cbCapacity = sock.Capacity();
    sock.CloseSocket(TRUE);
    EXPECT_EQ(INVALID_SOCKET, sock.GetSocket());
    EXPECT_EQ(512u, sock.GetMaxMsgSize());
    EXPECT_EQ(cbCapacity, sock.Capacity());
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAENOTSOCK), sock.MyRecv(sock.Data(), 512, &cb));
}

TEST(CSocketTest, MulticastOnLoopbackInterfaceReceivesUntilClosed)
{
    CSocket sock;
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("239.255.42.1"), 0, Addr("127.0.0.1"), TRUE, TRUE));
    ASSERT_EQ(S_OK, sock.OpenSocket(TRUE, TRUE, 0));
    WORD wPort = BoundPort(sock.GetSocket());
    // A probe on the any-address of the same port that joins nothing itself
    // but, as Linux does by default, takes every group the host has joined:
    // it shows whether the membership outlives the close.
    CSocket probe;
    ASSERT_EQ(S_OK, probe.SetAddress(0, wPort, 0, TRUE, TRUE));
    ASSERT_EQ(S_OK, probe.OpenSocket(TRUE, TRUE, 0));

    CTestSender sender;
    ASSERT_TRUE(sender.Send("239.255.42.1", wPort, "m1"));
    ASSERT_TRUE(sender.Send("239.255.42.1", wPort, "m2"));
    EXPECT_EQ("m1", RecvOne(&sock));
    EXPECT_EQ("m2", RecvOne(&sock));
    EXPECT_EQ("m1", RecvOne(&probe));
    EXPECT_EQ("m2", RecvOne(&probe));

    sock.CloseSocket(TRUE);
    ASSERT_TRUE(sender.Send("239.255.42.1", wPort, "after close"));
    ASSERT_TRUE(sender.Send("127.0.0.1", wPort, "marker"));
    // Loopback keeps the order: had the group still been joined, its
    // datagram would come before the marker.
    EXPECT_EQ("marker", RecvOne(&probe));
}

TEST(CSocketTest, TwoSourcesOnOnePortEachReceiveOnlyTheirGroup)
{
    CSocket sockA, sockB;
    ASSERT_EQ(S_OK, sockA.SetAddress(Addr("239.255.42.2"), 0, Addr("127.0.0.1"), TRUE, TRUE));
    ASSERT_EQ(S_OK, sockA.OpenSocket(TRUE, TRUE, 0));
    WORD wPort = BoundPort(sockA.GetSocket());
    ASSERT_EQ(S_OK, sockB.SetAddress(Addr("239.255.42.3"), wPort, Addr("127.0.0.1"), TRUE, TRUE));
    ASSERT_EQ(S_OK, sockB.OpenSocket(TRUE, TRUE, 0));

    // Interleaved: a source that also took the other group would see the
    // other group's datagram first.
    CTestSender sender;
    ASSERT_TRUE(sender.Send("239.255.42.3", wPort, "b1"));
    ASSERT_TRUE(sender.Send("239.255.42.2", wPort, "a1"));
    ASSERT_TRUE(sender.Send("239.255.42.3", wPort, "b2"));
    ASSERT_TRUE(sender.Send("239.255.42.2", wPort, "a2"));
    EXPECT_EQ("a1", RecvOne(&sockA));
    EXPECT_EQ("a2", RecvOne(&sockA));
    EXPECT_EQ("b1", RecvOne(&sockB));
    EXPECT_EQ("b2", RecvOne(&sockB));
}

// Joining on "any interface" follows the host's multicast route, which a
// test may only change inside a network namespace of its own. The outer run
// starts this binary again under unshare -n; the inner run does the work.
TEST(CSocketTest, MulticastJoinOnDefaultInterfaceInPrivateNamespace)
{
    if (getenv("KV_IN_NETNS")) {
        CSocket sock;
        ASSERT_EQ(S_OK, sock.SetAddress(Addr("239.255.42.4"), 0, 0, TRUE, TRUE));
        ASSERT_EQ(S_OK, sock.OpenSocket(TRUE, TRUE, 0));
        WORD wPort = BoundPort(sock.GetSocket());
        CTestSender sender;
        ASSERT_TRUE(sender.Send("239.255.42.4", wPort, "default"));
        EXPECT_EQ("default", RecvOne(&sock));
        return;
    }
    const char* pszSelf = getenv("KV_TEST_BINARY");
    if (!pszSelf)
        GTEST_SKIP() << "KV_TEST_BINARY is not set; run through ctest";
    if (system("unshare -n true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "unshare -n is not permitted here";
    if (system("command -v ip >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ip (iproute2) is not installed";
    std::string strCmd =
        "unshare -n sh -c 'ip link set lo up && ip link set lo multicast on && "
        "ip route add 224.0.0.0/4 dev lo && "
        "KV_IN_NETNS=1 exec \"$KV_TEST_BINARY\" "
        "--gtest_filter=CSocketTest.MulticastJoinOnDefaultInterfaceInPrivateNamespace'";
    int nStatus = system(strCmd.c_str());
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(0, WEXITSTATUS(nStatus));
}

TEST(CSocketTest, FailedOpenReturnsSocketErrorAndLeavesSocketClosed)
{
    // 192.0.2.1 (TEST-NET-1) is not an address of this host. bind sends
    // nothing.
    std::ifstream nonlocal("/proc/sys/net/ipv4/ip_nonlocal_bind");
    int nNonLocal = 0;
    nonlocal >> nNonLocal;
    CSocket sock;
    if (!nNonLocal) {
        ASSERT_EQ(S_OK, sock.SetAddress(Addr("192.0.2.1"), htons(5000), 0, TRUE, TRUE));
        EXPECT_EQ(HRESULT_FROM_WIN32(WSAEADDRNOTAVAIL), sock.OpenSocket(TRUE, TRUE, 0));
        EXPECT_EQ(INVALID_SOCKET, sock.GetSocket());
        EXPECT_EQ(512u, sock.GetMaxMsgSize());
    }

    // 240.0.0.0/4 counts as multicast too: the socket binds to the
    // any-address and the join is what fails (a unicast bind would fail
    // with "address not available" instead).
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("240.0.0.1"), 0, Addr("127.0.0.1"), TRUE, TRUE));
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAEINVAL), sock.OpenSocket(TRUE, TRUE, 0));
    EXPECT_EQ(INVALID_SOCKET, sock.GetSocket());

    // A port with a bound but not listening socket refuses the connection.
    CListener closed(0, false);
    ASSERT_NE(0, closed.wPort);
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("127.0.0.1"), closed.wPort, 0, FALSE, TRUE));
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAECONNREFUSED), sock.OpenSocket(TRUE, TRUE, 2000));
    EXPECT_EQ(INVALID_SOCKET, sock.GetSocket());
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAECONNREFUSED), sock.OpenSocket(TRUE, TRUE, 0));
    EXPECT_EQ(INVALID_SOCKET, sock.GetSocket());
}

TEST(CSocketTest, TcpPeerThatClosesGivesConnectionReset)
{
    CListener server;
    ASSERT_NE(0, server.wPort);
    CSocket sock;
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("127.0.0.1"), server.wPort, 0, FALSE, TRUE));
    ASSERT_EQ(S_OK, sock.OpenSocket(TRUE, TRUE, 3000));
    EXPECT_EQ(65536u, sock.GetMaxMsgSize());
    int fdPeer = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(fdPeer, 0);
    ASSERT_EQ(5, write(fdPeer, "hello", 5));
    close(fdPeer);

    // The data sent before the close is still read in full.
    EXPECT_EQ("hello", RecvOne(&sock));
    // Waiting for more data finds the close instead.
    EXPECT_EQ(WAITEVENT_CLOSED, sock.WaitForEvent(INVALID_HANDLE_VALUE, 3000, FD_READ));
    LONG cb = 0;
    EXPECT_EQ(MakeHr(0x80072746), sock.MyRecv(sock.Data(), 65536, &cb));

    sock.CloseSocket(TRUE);
    EXPECT_EQ(512u, sock.GetMaxMsgSize());
}

TEST(CSocketTest, WaitForConnectOnConnectedSocketWithDataTimesOut)
{
    CListener server;
    CSocket sock;
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("127.0.0.1"), server.wPort, 0, FALSE, TRUE));
    ASSERT_EQ(S_OK, sock.OpenSocket(TRUE, TRUE, 3000));
    int fdPeer = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(fdPeer, 0);
    ASSERT_EQ(4, write(fdPeer, "data", 4));
    // The connection was reported while opening; data waiting is no
    // connect, so the wait runs to its time-out instead of spinning.
    auto t0 = Clock::now();
    EXPECT_EQ(WAITEVENT_TIMEOUT, sock.WaitForEvent(INVALID_HANDLE_VALUE, 300, FD_CONNECT));
    EXPECT_GE(MsSince(t0), 290);
    EXPECT_EQ("data", RecvOne(&sock));
    close(fdPeer);
}

TEST(CSocketTest, WaitForEventIsCancelledTimesOutOrReportsData)
{
    CSocket sock;
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("127.0.0.1"), 0, 0, TRUE, TRUE));
    ASSERT_EQ(S_OK, sock.OpenSocket(TRUE, TRUE, 0));
    CTestEvent cancel;

    // Time-out.
    auto t0 = Clock::now();
    EXPECT_EQ(WAITEVENT_TIMEOUT, sock.WaitForEvent(cancel.Handle(), 200, FD_READ));
    long long ms = MsSince(t0);
    EXPECT_GE(ms, 195);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(WSAETIMEDOUT, WSAGetLastError());

    // Cancel from another thread while the wait has no time-out.
    t0 = Clock::now();
    std::thread setter([&cancel] { cancel.Set(); });
    EXPECT_EQ(WAITEVENT_CANCELLED, sock.WaitForEvent(cancel.Handle(), INFINITE, FD_READ));
    setter.join();
    EXPECT_LT(MsSince(t0), 2000);
    EXPECT_EQ(WSAEINTR, WSAGetLastError());

    // Data, with a fresh cancel event that stays clear.
    CTestEvent quiet;
    CTestSender sender;
    ASSERT_TRUE(sender.Send("127.0.0.1", BoundPort(sock.GetSocket()), "x"));
    EXPECT_EQ(WAITEVENT_OK, sock.WaitForEvent(quiet.Handle(), 5000, FD_READ));
    EXPECT_EQ(0, sock.GetEventError(FD_READ_BIT));
    EXPECT_EQ(static_cast<INT>(WSAEINVAL), sock.GetEventError(FD_MAX_EVENTS));

    // A cancel handle that is not open fails the wait instead of passing
    // for a command.
    int fdStale = dup(quiet.Handle());
    close(fdStale);
    HRESULT hr = S_OK;
    EXPECT_EQ(WAITEVENT_FAILED, sock.WaitForEvent(fdStale, 1000, FD_READ, &hr));
    EXPECT_EQ(E_HANDLE, hr);

    // A socket that was never opened has nothing to wait on.
    CSocket closed;
    hr = S_OK;
    EXPECT_EQ(WAITEVENT_FAILED, closed.WaitForEvent(INVALID_HANDLE_VALUE, 10, FD_READ, &hr));
    EXPECT_TRUE(FAILED(hr));
}
