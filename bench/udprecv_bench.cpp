// Receive path figures: the URL parse that every Load runs, and how many
// loopback datagrams of a transport stream (7 x 188 bytes) one socket takes
// in through MyRecv and WaitForEvent while a sender blasts them.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "dshowflt/mpegdemux/kvudpsrc/net/socket.h"
#include "dshowflt/mpegdemux/kvudpsrc/sourceurl.h"

static void BM_ParseSourceUrl(benchmark::State& state)
{
    for (auto _ : state) {
        SourceAddress addr;
        HRESULT hr = ParseSourceUrl(u"udp://239.1.1.1:5000/127.0.0.1?Timeout=10&Latency=100", &addr);
        benchmark::DoNotOptimize(hr);
    }
}
BENCHMARK(BM_ParseSourceUrl);

static void BM_UdpReceiveBurst(benchmark::State& state)
{
    const int cDatagrams = static_cast<int>(state.range(0));
    const size_t cbDatagram = 7 * 188;
    CSocket sock;
    if (FAILED(sock.SetAddress(inet_addr("127.0.0.1"), 0, 0, TRUE, TRUE)) ||
        FAILED(sock.OpenSocket(TRUE, TRUE, 0))) {
        state.SkipWithError("open failed");
        return;
    }
    sockaddr_in sa = {};
    socklen_t cbSa = sizeof(sa);
    getsockname(sock.GetSocket(), reinterpret_cast<sockaddr*>(&sa), &cbSa);
    int fdSend = socket(AF_INET, SOCK_DGRAM, 0);

    int64_t cReceived = 0, cSent = 0;
    for (auto _ : state) {
        std::thread sender([&] {
            char ab[7 * 188];
            memset(ab, 0x47, sizeof(ab));
            for (int i = 0; i < cDatagrams; ++i)
                sendto(fdSend, ab, cbDatagram, 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        });
        int cThisRound = 0;
        for (;;) {
            LONG cb = 0;
            HRESULT hr = sock.MyRecv(sock.Data(), static_cast<LONG>(sock.GetMaxMsgSize()), &cb);
            if (SUCCEEDED(hr)) {
                if (++cThisRound == cDatagrams)
                    break;
                continue;
            }
            // Whatever has not come 200 ms after the last datagram was lost.
            if (sock.WaitForEvent(INVALID_HANDLE_VALUE, 200, FD_READ) != WAITEVENT_OK)
                break;
        }
        sender.join();
        cReceived += cThisRound;
        cSent += cDatagrams;
    }
    close(fdSend);
    state.SetItemsProcessed(cReceived);
    state.SetBytesProcessed(cReceived * static_cast<int64_t>(cbDatagram));
    state.counters["lost_pct"] = cSent ? 100.0 * static_cast<double>(cSent - cReceived) /
                                              static_cast<double>(cSent)
                                        : 0.0;
}
BENCHMARK(BM_UdpReceiveBurst)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();
