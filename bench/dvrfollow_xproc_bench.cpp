// Following a live DVR buffer: throughput, and the delay from WriteData in
// the writer to the bytes arriving in the reader, with the writer in the
// reader's process and in another process (found through the object table,
// its events handed over as descriptors).
//
// Each block carries the monotonic clock at the moment the writer hands it
// to WriteData (the clock is shared by all processes), so the reader measures
// every block's delay. "paced" writes one 4 KiB block per millisecond, which
// shows the wake-up delay; "flat out" writes 30 MB as fast as the disk takes
// it (into a 32 MiB ring, so nothing is overwritten) and shows throughput.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/common/trace/trace.h"

namespace {

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct SRun
{
    int nBlocks;
    int cbBlock;
    int nPaceUs;  // 0: flat out
};

// Writes the run into a fresh ring in strDir and reports the stub path on fd.
void WriterRun(const std::string& strDir, const SRun& run, int fdReport)
{
    CBaseDVRSink* pSink = new CBaseDVRSink("bench writer", nullptr);
    pSink->NonDelegatingAddRef();
    BSTR bstr = SysAllocString(Utf8ToWide(strDir).c_str());
    HRESULT hr = pSink->StartChangingAttributes();
    if (SUCCEEDED(hr))
        hr = pSink->SetFolderName(0, bstr);
    if (SUCCEEDED(hr))
        hr = pSink->SetBufferSize(0, 8, 4.0 * 1024 * 1024);
    (void)pSink->EndChangingAttributes(VARIANT_FALSE);
    SysFreeString(bstr);
    if (SUCCEEDED(hr))
        hr = pSink->StartDVR();
    std::string strStub = SUCCEEDED(hr) ? WideToUtf8(pSink->GetStubPath()) : std::string();
    strStub += '\n';
    if (write(fdReport, strStub.data(), strStub.size()) < 0)
        abort();
    std::vector<BYTE> block(static_cast<size_t>(run.cbBlock));
    for (size_t i = 8; i < block.size(); ++i)
        block[i] = static_cast<BYTE>(i);
    const int64_t llStart = NowNs();
    for (int n = 0; n < run.nBlocks && SUCCEEDED(hr); ++n) {
        if (run.nPaceUs > 0) {
            const int64_t llDue = llStart + static_cast<int64_t>(n) * run.nPaceUs * 1000;
            while (NowNs() < llDue)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            (void)pSink->BeginWaitingForData();
        }
        const int64_t llNow = NowNs();
        memcpy(block.data(), &llNow, 8);
        hr = pSink->WriteData(block.data(), run.cbBlock);
    }
    (void)pSink->StopDVR();
    pSink->NonDelegatingRelease();
}

struct SResult
{
    double dMBps = 0;
    double dP50Us = 0;
    double dP99Us = 0;
    bool bComplete = false;
};

SResult Follow(const std::string& strStub, const SRun& run)
{
    SResult res;
    CDVRSourceObject source;
    source.NonDelegatingAddRef();
    const CWString wstr = Utf8ToWide(strStub);
    if (FAILED(source.SetStubFileName(wstr.c_str(), -1, FALSE)) || FAILED(source.StartDVRReader(nullptr)))
        return res;
    std::vector<BYTE> buf(static_cast<size_t>(run.cbBlock));  // a whole block wakes the reader
    std::vector<BYTE> pending;
    std::vector<int64_t> delays;
    LONGLONG llPos = 0;
    const int64_t llStart = NowNs();
    long long llTotal = 0;
    const long long llWanted = static_cast<long long>(run.nBlocks) * run.cbBlock;
    while (llTotal < llWanted) {
        DWORD cbRead = 0;
        BOOL bDisc = FALSE;
        const HRESULT hr = source.Read(&llPos, buf.data(), static_cast<DWORD>(buf.size()), &cbRead, FALSE, &bDisc, 0);
        const int64_t llNow = NowNs();
        if (bDisc || (FAILED(hr) && cbRead == 0)) {
            fprintf(stderr, "follow ended at %lld of %lld: %s%s\n", llTotal, llWanted, TraceHr(hr),
                    bDisc ? " (discontinuity)" : "");
            break;
        }
        pending.insert(pending.end(), buf.begin(), buf.begin() + cbRead);
        size_t off = 0;
        while (pending.size() - off >= static_cast<size_t>(run.cbBlock)) {
            int64_t llSent;
            memcpy(&llSent, pending.data() + off, 8);
            delays.push_back(llNow - llSent);
            off += static_cast<size_t>(run.cbBlock);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(off));
        llTotal += cbRead;
    }
    const double dSec = static_cast<double>(NowNs() - llStart) / 1e9;
    (void)source.StopDVRReader();
    res.bComplete = llTotal == llWanted;
    res.dMBps = static_cast<double>(llTotal) / 1e6 / dSec;
    if (!delays.empty()) {
        std::sort(delays.begin(), delays.end());
        res.dP50Us = static_cast<double>(delays[delays.size() / 2]) / 1e3;
        res.dP99Us = static_cast<double>(delays[std::min(delays.size() - 1, delays.size() * 99 / 100)]) / 1e3;
    }
    return res;
}

std::string ReadLine(int fd)
{
    std::string s;
    char ch;
    while (read(fd, &ch, 1) == 1 && ch != '\n')
        s += ch;
    return s;
}

void BM_Follow(benchmark::State& state)
{
    const bool bCrossProcess = state.range(0) != 0;
    const SRun run = state.range(1) != 0 ? SRun{1000, 4096, 1000} : SRun{1920, 16384, 0};
    SResult last;
    for (auto _ : state) {
        char sz[] = "/tmp/kvfollowbench_XXXXXX";
        if (!mkdtemp(sz))
            abort();
        const std::string strDir = sz;
        int afd[2];
        if (pipe(afd) != 0)
            abort();
        pid_t pid = -1;
        std::thread writer;
        if (bCrossProcess) {
            pid = fork();
            if (pid == 0) {
                close(afd[0]);
                WriterRun(strDir, run, afd[1]);
                _exit(0);
            }
        } else {
            writer = std::thread([&] { WriterRun(strDir, run, afd[1]); });
        }
        const std::string strStub = ReadLine(afd[0]);
        last = Follow(strStub, run);
        if (writer.joinable())
            writer.join();
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        close(afd[0]);
        close(afd[1]);
        (void)system(("rm -rf '" + strDir + "'").c_str());
        if (!last.bComplete)
            state.SkipWithError("the follower did not get the whole stream");
    }
    state.counters["MB/s"] = last.dMBps;
    state.counters["p50_us"] = last.dP50Us;
    state.counters["p99_us"] = last.dP99Us;
}

}  // namespace

// Args: {cross-process, paced}.
BENCHMARK(BM_Follow)
    ->ArgNames({"xproc", "paced"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
