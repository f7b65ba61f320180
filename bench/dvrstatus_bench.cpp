// What a reader's status call costs while the writer is busy: one thread
// writes blocks of the argument's size into the ring as fast as it can, and
// another calls GetStatus on the writer directly (as a reader in the same
// process does, with no time-out) every 50 us. The time of each call is one
// sample; p99 and the worst must not grow with the size of the writes.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "dshowflt/common/dvr/dvrsink.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> v, double dFraction)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(dFraction * static_cast<double>(v.size())))];
}

void BM_StatusWhileWriting(benchmark::State& state)
{
    char sz[] = "/tmp/kvstatus_XXXXXX";
    if (!mkdtemp(sz)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string strDir = sz;
    CBaseDVRSink* pSink = new CBaseDVRSink("bench sink", nullptr);
    pSink->NonDelegatingAddRef();
    BSTR bstrDir = SysAllocString(Utf8ToWide(strDir).c_str());
    const bool bOk = SUCCEEDED(pSink->StartChangingAttributes()) && SUCCEEDED(pSink->SetFolderName(0, bstrDir)) &&
                     SUCCEEDED(pSink->SetBufferSize(0, 4, 16 << 20)) &&
                     SUCCEEDED(pSink->EndChangingAttributes(VARIANT_FALSE)) && SUCCEEDED(pSink->StartDVR(nullptr));
    SysFreeString(bstrDir);
    const LONG cbBlock = static_cast<LONG>(state.range(0));
    std::atomic<bool> bStop{!bOk};
    std::thread thWriter([&] {
        std::vector<BYTE> v(static_cast<size_t>(cbBlock), 0x47);
        while (!bStop.load(std::memory_order_relaxed))
            if (FAILED(pSink->WriteData(v.data(), cbBlock)))
                break;
    });
    std::vector<double> vUs;
    for (auto _ : state) {
        LONG lStatus = 0, lFolder = 0, lSlot = 0;
        double dSize = 0;
        const auto t0 = Clock::now();
        const HRESULT hr = pSink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize);
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(hr);
        vUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        state.ResumeTiming();
    }
    bStop = true;
    thWriter.join();
    if (!bOk)
        state.SkipWithError("setup failed");
    (void)pSink->StopDVR();
    pSink->NonDelegatingRelease();
    (void)system(("rm -rf '" + strDir + "'").c_str());
    state.counters["p50_us"] = Percentile(vUs, 0.50);
    state.counters["p99_us"] = Percentile(vUs, 0.99);
    state.counters["max_us"] = Percentile(vUs, 1.0);
}
BENCHMARK(BM_StatusWhileWriting)
    ->Arg(4 << 10)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Iterations(20000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
