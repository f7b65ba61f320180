// Cost of a trace call. With tracing off a call must cost no more than an
// empty function call plus one load and one bit test; with tracing on the
// cost is the formatting and the prefix (the output here goes to a sink that
// discards it).
#include <benchmark/benchmark.h>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/common/trace/traceseams.h"

namespace {

// An out-of-line variadic function taking the same arguments as the trace
// calls below: the baseline that a switched-off trace call is compared with.
__attribute__((noinline)) void EmptyCall(const char* pszFormat, ...)
{
    asm volatile("" : : "r"(pszFormat) : "memory");
}

void BM_EmptyCall(benchmark::State& state)
{
    int i = 0;
    for (auto _ : state) {
        EmptyCall("\nCRecvThread::ReadLoop(): received %d bytes from %s", i, "127.0.0.1");
        ++i;
    }
}
BENCHMARK(BM_EmptyCall);

void BM_TraceOff(benchmark::State& state)
{
    g_dwTraceSwitch.store(TRACE_SWITCH_DEFAULT);
    int i = 0;
    for (auto _ : state) {
        Trace("\nCRecvThread::ReadLoop(): received %d bytes from %s", i, "127.0.0.1");
        ++i;
    }
}
BENCHMARK(BM_TraceOff);

void BM_TraceErrorOff(benchmark::State& state)
{
    g_dwTraceSwitch.store(TRACE_SWITCH_DEFAULT);
    HRESULT hr = E_FAIL;
    for (auto _ : state) {
        hr = TRACE_HR(hr);
        benchmark::DoNotOptimize(hr);
    }
}
BENCHMARK(BM_TraceErrorOff);

void BM_TraceOnDiscarded(benchmark::State& state)
{
    SetTraceDebugOutputForTest([](void*, const char*, size_t) {}, nullptr);
    g_dwTraceSwitch.store(static_cast<uint32_t>(state.range(0)));
    int i = 0;
    for (auto _ : state) {
        Trace("\nCRecvThread::ReadLoop(): received %d bytes from %s, status %s", i, "127.0.0.1", TraceHr(E_FAIL));
        ++i;
    }
    g_dwTraceSwitch.store(TRACE_SWITCH_DEFAULT);
    SetTraceDebugOutputForTest(nullptr, nullptr);
}
// 0x48: enabled, debugger output, no columns; 0x4E adds time and thread id.
BENCHMARK(BM_TraceOnDiscarded)->Arg(0x48)->Arg(0x4E);

}  // namespace

BENCHMARK_MAIN();
