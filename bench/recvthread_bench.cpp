// The receive thread end to end on loopback: a paced sender sends a
// transport stream over UDP (1316-byte datagrams, 7 TS packets) for 10 s at a
// fixed rate; the receive thread writes it into a DVR ring of 10 x 10 MiB
// (the default) that a follower in this process reads as it grows.
//
// Per rate it reports the datagrams lost (sent minus received), the receive
// thread's CPU seconds per GB received, and the delay from the moment the
// receive thread hands a datagram to the ring to the moment the follower has
// read it (p50, p99).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "dshowflt/common/dvr/dvrengine.h"
#include "bench/benchrecv.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"
#include "platform/graph/mtype.h"

namespace {

constexpr int kDatagram = 1316;
constexpr int kSeconds = 10;

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ThreadCpuSeconds(DWORD dwTid)
{
    // A thread's CPU clock: ~tid << 3 | CPUCLOCK_PERTHREAD_MASK | CPUCLOCK_SCHED.
    const clockid_t clk = static_cast<clockid_t>((~static_cast<unsigned>(dwTid) << 3) | 6);
    timespec ts = {};
    clock_gettime(clk, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Records when each datagram reached the pin, just before the ring write.
class CStampPin : public IRecvOutputPin
{
public:
    explicit CStampPin(size_t cMax) : m_aNs(new std::atomic<int64_t>[cMax]), m_cMax(cMax) {}
    HRESULT DeliverData(const BYTE*, LONG, REFERENCE_TIME, REFERENCE_TIME, DWORD, BOOL) override
    {
        const size_t n = m_cReceived.load(std::memory_order_relaxed);
        if (n < m_cMax)
            m_aNs[n].store(NowNs(), std::memory_order_release);
        m_cReceived.store(n + 1, std::memory_order_release);
        return S_OK;
    }
    int64_t StampOf(size_t n) const { return n < m_cMax ? m_aNs[n].load(std::memory_order_acquire) : 0; }
    size_t Received() const { return m_cReceived.load(std::memory_order_acquire); }

private:
    std::unique_ptr<std::atomic<int64_t>[]> m_aNs;
    const size_t m_cMax;
    std::atomic<size_t> m_cReceived{0};
};

class CFollower : public CDVREngine
{
public:
    CFollower() : CDVREngine(false) {}
    ~CFollower() override { StopReader(); }
};

// Sends nDatagrams at dMbps on an absolute schedule: sleeps while the next
// datagram is far ahead, sends whatever is due in one sendmmsg.
size_t PacedSend(WORD wPortNet, double dMbps, size_t cDatagrams)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int cbBuf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &cbBuf, sizeof(cbBuf));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = wPortNet;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return 0;
    }
    constexpr int kBatch = 64;
    std::vector<BYTE> aData(static_cast<size_t>(kBatch) * kDatagram);
    for (int b = 0; b < kBatch; ++b)
        for (int p = 0; p < 7; ++p) {
            BYTE* pPacket = aData.data() + b * kDatagram + p * 188;
            memset(pPacket, 0xFF, 188);
            pPacket[0] = 0x47;
            pPacket[1] = 0x01;
            pPacket[3] = 0x10;
        }
    mmsghdr aMsg[kBatch] = {};
    iovec aIov[kBatch];
    const double dNsPerDatagram = kDatagram * 8 * 1000.0 / dMbps;
    const int64_t t0 = NowNs();
    size_t cSent = 0;
    while (cSent < cDatagrams) {
        const int64_t now = NowNs();
        size_t cDue = static_cast<size_t>(static_cast<double>(now - t0) / dNsPerDatagram) + 1;
        cDue = std::min(cDue, cDatagrams);
        if (cDue <= cSent) {
            const int64_t nsNext = t0 + static_cast<int64_t>(static_cast<double>(cSent) * dNsPerDatagram);
            if (nsNext - now > 200000) {
                timespec ts = {0, static_cast<long>(nsNext - now - 100000)};
                nanosleep(&ts, nullptr);
            }
            continue;
        }
        const int n = static_cast<int>(std::min<size_t>(cDue - cSent, kBatch));
        for (int i = 0; i < n; ++i) {
            BYTE* p = aData.data() + i * kDatagram;
            // The datagram's number in the payload of its first packet.
            const uint64_t ull = cSent + static_cast<size_t>(i);
            memcpy(p + 4, &ull, sizeof(ull));
            aIov[i] = {p, kDatagram};
            aMsg[i].msg_hdr.msg_iov = &aIov[i];
            aMsg[i].msg_hdr.msg_iovlen = 1;
        }
        const int nDone = sendmmsg(fd, aMsg, static_cast<unsigned>(n), 0);
        if (nDone > 0)
            cSent += static_cast<size_t>(nDone);
    }
    close(fd);
    return cSent;
}

double Percentile(std::vector<double>& v, double dFraction)
{
    if (v.empty())
        return 0;
    const size_t n = std::min(v.size() - 1, static_cast<size_t>(dFraction * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(n), v.end());
    return v[n];
}

void BM_RecvTsOverUdp(benchmark::State& state)
{
    const double dMbps = static_cast<double>(state.range(0));
    const size_t cDatagrams = static_cast<size_t>(dMbps * 1e6 * kSeconds / (kDatagram * 8));
    char szDir[] = "/tmp/kvrecvbench_XXXXXX";
    if (!mkdtemp(szDir)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string strDir = szDir;
    for (auto _ : state) {
        CStampPin pin(cDatagrams + 1024);
        CBenchFilter filter;
        CRecvThread* pRecv = new CRecvThread(&pin, &filter);
        pRecv->NonDelegatingAddRef();
        BSTR bstrDir = SysAllocString(Utf8ToWide(strDir).c_str());
        BSTR bstrName = SysAllocString(u"Capture");
        bool bOk = SUCCEEDED(pRecv->StartChangingAttributes()) && SUCCEEDED(pRecv->SetFolderName(0, bstrDir)) &&
                   SUCCEEDED(pRecv->SetBaseName(bstrName)) &&
                   SUCCEEDED(pRecv->EndChangingAttributes(VARIANT_FALSE)) &&
                   SUCCEEDED(pRecv->ParseOptions(nullptr)) &&
                   SUCCEEDED(pRecv->SetAddress(htonl(INADDR_LOOPBACK), 0, 0, TRUE, TRUE)) &&
                   SUCCEEDED(pRecv->OpenSocket(TRUE, TRUE, 0));
        SysFreeString(bstrDir);
        SysFreeString(bstrName);
        sockaddr_in sa = {};
        socklen_t cbSa = sizeof(sa);
        if (!bOk || getsockname(pRecv->GetSocket(), reinterpret_cast<sockaddr*>(&sa), &cbSa) != 0) {
            pRecv->NonDelegatingRelease();
            state.SkipWithError("set-up failed");
            break;
        }

        size_t cSent = 0;
        std::thread sender([&] { cSent = PacedSend(sa.sin_port, dMbps, cDatagrams); });
        // Answered once the first datagram is in the ring.
        if (FAILED(static_cast<HRESULT>(pRecv->CallWorker(CMD_READ)))) {
            sender.join();
            pRecv->NonDelegatingRelease();
            state.SkipWithError("no data");
            break;
        }
        const double dCpu0 = ThreadCpuSeconds(pRecv->GetThreadId());

        CFollower follower;
        const CWString strStub = Utf8ToWide(strDir + "/Capture.KBL");
        std::vector<double> vDelayMs;
        vDelayMs.reserve(cDatagrams);
        std::atomic<bool> bStop{false};
        LONGLONG llLapped = 0;
        const int64_t nsFollowStart = NowNs();
        std::thread thFollow([&] {
            HRESULT hrStart = follower.SetStubFileName(strStub.c_str(), -1, FALSE);
            if (SUCCEEDED(hrStart))
                hrStart = follower.StartReader(pRecv);
            if (FAILED(hrStart)) {
                fprintf(stderr, "the follower cannot start: 0x%08x\n", static_cast<unsigned>(hrStart));
                return;
            }
            std::vector<BYTE> buf(1 << 20);
            LONGLONG llPos = 0;
            while (!bStop.load(std::memory_order_acquire)) {
                DWORD cbRead = 0;
                const HRESULT hr = follower.ReadData(llPos, 1, static_cast<DWORD>(buf.size()), buf.data(), &cbRead,
                                                     GetTickCount() + 200);
                if (hr == KVMM_E_DVR_DISCARDED_DATA) {
                    LONGLONG llMin = 0, llMax = 0;
                    if (FAILED(follower.GetOffsets(&llMin, &llMax)))
                        break;
                    llLapped += llMin - llPos;
                    llPos = llMin;
                    continue;
                }
                if (FAILED(hr)) {
                    fprintf(stderr, "the follower stopped at %lld: 0x%08x\n", static_cast<long long>(llPos),
                            static_cast<unsigned>(hr));
                    break;
                }
                const int64_t now = NowNs();
                // Every datagram that this read completed.
                for (LONGLONG k = llPos / kDatagram; (k + 1) * kDatagram <= llPos + cbRead; ++k) {
                    const int64_t ns = pin.StampOf(static_cast<size_t>(k));
                    if (ns >= nsFollowStart)
                        vDelayMs.push_back(static_cast<double>(now - ns) / 1e6);
                }
                llPos += cbRead;
            }
        });
        sender.join();
        // Whatever has not arrived 300 ms after the sender's end was lost.
        size_t cLast = pin.Received();
        for (int i = 0; i < 100; ++i) {
            Sleep(300);
            const size_t c = pin.Received();
            if (c == cLast)
                break;
            cLast = c;
        }
        const double dCpu = ThreadCpuSeconds(pRecv->GetThreadId()) - dCpu0;
        (void)pRecv->CallWorker(RECVCMD_STOP);
        bStop = true;
        thFollow.join();
        follower.StopReader();

        const size_t cReceived = pin.Received();
        const double dGB = static_cast<double>(cReceived) * kDatagram / 1e9;
        state.counters["sent"] = static_cast<double>(cSent);
        state.counters["lost"] = static_cast<double>(cSent - std::min(cSent, cReceived));
        state.counters["cpu_s_per_GB"] = dGB > 0 ? dCpu / dGB : 0;
        state.counters["delay_p50_ms"] = Percentile(vDelayMs, 0.50);
        state.counters["delay_p99_ms"] = Percentile(vDelayMs, 0.99);
        state.counters["lapped_MB"] = static_cast<double>(llLapped) / 1e6;
        pRecv->NonDelegatingRelease();
    }
    (void)!system(("rm -rf '" + strDir + "'").c_str());
}
// 2 Mbit/s: a batch is one datagram, and the follower's delay is what the
// publication rule allows.
BENCHMARK(BM_RecvTsOverUdp)
    ->Arg(2)
    ->Arg(100)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
