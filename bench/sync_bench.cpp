// Costs of the platform's waits: how long a wake-up through an event takes,
// a CAMThread command round trip, a wait that finds its object signalled, and
// posting and dispatching a window message.
#include <benchmark/benchmark.h>

#include <thread>

#include "platform/msgqueue.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// One wake-up each way per iteration between two threads.
void BM_EventPingPong(benchmark::State& state)
{
    CAMEvent evPing, evPong, evStop(TRUE);
    std::thread peer([&] {
        const HANDLE ah[2] = {evStop, evPing};
        while (WaitForMultipleObjects(2, ah, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
            evPong.Set();
    });
    for (auto _ : state) {
        evPing.Set();
        evPong.Wait(INFINITE);
    }
    evStop.Set();
    peer.join();
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

class CEchoThread : public CAMThread
{
public:
    ~CEchoThread() override { Close(); }

protected:
    DWORD ThreadProc() override
    {
        for (;;) {
            const DWORD dw = GetRequest();
            Reply(dw);
            if (dw == 0)
                return 0;
        }
    }
};

void BM_CallWorkerRoundTrip(benchmark::State& state)
{
    CEchoThread thread;
    if (!thread.Create()) {
        state.SkipWithError("cannot start the worker");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(thread.CallWorker(1));
    (void)thread.CallWorker(0);
}
BENCHMARK(BM_CallWorkerRoundTrip)->UseRealTime();

// Eight handles, the last one a set manual-reset event: the cost of one
// poll() and the scan, without blocking.
void BM_WaitFindsSignalledObject(benchmark::State& state)
{
    CAMEvent aev[8];
    CAMEvent evSet(TRUE);
    evSet.Set();
    HANDLE ah[8];
    for (int i = 0; i < 7; ++i)
        ah[i] = aev[i];
    ah[7] = evSet;
    for (auto _ : state)
        benchmark::DoNotOptimize(WaitForMultipleObjects(8, ah, FALSE, INFINITE));
}
BENCHMARK(BM_WaitFindsSignalledObject);

LRESULT CountWndProc(HWND hwnd, UINT, WPARAM, LPARAM)
{
    ++*static_cast<int64_t*>(GetMessageWindowContext(hwnd));
    return 0;
}

void BM_PostAndDispatch(benchmark::State& state)
{
    int64_t nCalls = 0;
    HWND hwnd = CreateMessageWindow(CountWndProc, &nCalls);
    for (auto _ : state) {
        (void)PostMessage(hwnd, WM_USER, 0, 0);
        (void)PeekAndDispatchMessages();
    }
    (void)DestroyMessageWindow(hwnd);
    if (nCalls != static_cast<int64_t>(state.iterations()))
        state.SkipWithError("lost messages");
}
BENCHMARK(BM_PostAndDispatch);

}  // namespace

BENCHMARK_MAIN();
