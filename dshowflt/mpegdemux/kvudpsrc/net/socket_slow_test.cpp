// Connection time-outs take real seconds; kept apart from the quick tests.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include <netinet/tcp.h>
#include <poll.h>

#include "dshowflt/mpegdemux/kvudpsrc/net/sockettest_util.h"

// A listener whose accept queue is full drops new SYNs, so the handshake
// never completes: the open must give up with "timed out" after its time-out
// however many attempts it made.
TEST(CSocketSlowTest, ConnectToFullAcceptQueueTimesOut)
{
    int fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Addr("127.0.0.1");
    ASSERT_EQ(0, bind(fdListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    ASSERT_EQ(0, listen(fdListen, 0));
    sa.sin_port = BoundPort(fdListen);

    // Fill the queue and wait (bounded) until the listener counts it full;
    // for a listening socket tcpi_unacked is the accept queue length and
    // tcpi_sacked its limit.
    std::vector<int> afdFill;
    bool bFull = false;
    for (int i = 0; i < 8 && !bFull; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        (void)connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        afdFill.push_back(fd);
        for (int nPoll = 0; nPoll < 200 && !bFull; ++nPoll) {
            tcp_info ti = {};
            socklen_t cb = sizeof(ti);
            ASSERT_EQ(0, getsockopt(fdListen, IPPROTO_TCP, TCP_INFO, &ti, &cb));
            bFull = ti.tcpi_unacked > ti.tcpi_sacked;
            if (!bFull) {
                pollfd pfd = {fd, POLLOUT, 0};
                (void)poll(&pfd, 1, 5);  // the handshake of this filler
            }
        }
    }
    ASSERT_TRUE(bFull);

    CSocket sock;
    ASSERT_EQ(S_OK, sock.SetAddress(Addr("127.0.0.1"), sa.sin_port, 0, FALSE, TRUE));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(MakeHr(0x8007274C), sock.OpenSocket(TRUE, TRUE, 3000));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 2900);
    EXPECT_LT(ms, 6000);
    EXPECT_EQ(INVALID_SOCKET, sock.GetSocket());
    EXPECT_EQ(512u, sock.GetMaxMsgSize());

    for (int fd : afdFill)
        close(fd);
    close(fdListen);
}
