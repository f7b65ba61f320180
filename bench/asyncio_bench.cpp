// Reads per second through the request queue from a stream that always has
// the data: the cost of the hand-off to the worker thread and back, with one
// request in flight and with several, next to synchronous reads of the same
// size in the caller's thread.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "dshowflt/mpegdemux/kvudpsrc/asyncio.h"
#include "platform/graph/memalloc.h"

namespace {

// Serves any offset from a 1 MiB block, as a finished recording would from
// the file cache.
class CMemoryStream : public CAsyncStream
{
public:
    CMemoryStream() : m_vData(1 << 20)
    {
        for (size_t i = 0; i < m_vData.size(); ++i)
            m_vData[i] = static_cast<BYTE>(i * 131);
    }
    HRESULT Read(LONGLONG* pllPos, BYTE* pb, DWORD cb, DWORD* pcbRead, BOOL, BOOL* pbDisc, DWORD) override
    {
        const size_t off = static_cast<size_t>(*pllPos) % (m_vData.size() - cb);
        memcpy(pb, m_vData.data() + off, cb);
        *pllPos += cb;
        *pcbRead = cb;
        *pbDisc = FALSE;
        return S_OK;
    }
    LONGLONG Size(LONGLONG* pllAvailable, BOOL) override
    {
        *pllAvailable = MAX_INT64;
        return MAX_INT64;
    }
    DWORD Alignment() override { return 1; }
    void Lock() override NO_THREAD_SAFETY_ANALYSIS { m_cs.Lock(); }
    void Unlock() override NO_THREAD_SAFETY_ANALYSIS { m_cs.Unlock(); }
    void BeginFlush() override {}
    void EndFlush() override {}
    DWORD GetReadDeadline() override { return 0; }
    void WorkSignal(BOOL) override {}

private:
    std::vector<BYTE> m_vData;
    CCritSec m_cs;
};

// Arguments: request size, requests kept in flight.
void BM_AsyncIoQueued(benchmark::State& state)
{
    const LONG cb = static_cast<LONG>(state.range(0));
    const int cInFlight = static_cast<int>(state.range(1));
    CComPtr<IMemAllocator> pAlloc;
    ALLOCATOR_PROPERTIES req = {cInFlight, cb, 1, 0}, actual;
    if (FAILED(CMemAllocator::Create(&pAlloc)) || FAILED(pAlloc->SetProperties(&req, &actual)) ||
        FAILED(pAlloc->Commit())) {
        state.SkipWithError("allocator");
        return;
    }
    CMemoryStream stream;
    CAsyncIo io(&stream);
    LONGLONG llNext = 0;
    auto queue = [&]() {
        IMediaSample* pSample = nullptr;
        BYTE* pb = nullptr;
        if (FAILED(pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0)) || FAILED(pSample->GetPointer(&pb)))
            return false;
        if (FAILED(io.Request(llNext, cb, TRUE, pb, pSample, 0, MAX_INT64, MAX_INT64, FALSE, FALSE))) {
            pSample->Release();
            return false;
        }
        llNext += cb;
        return true;
    };
    for (int i = 0; i < cInFlight; ++i)
        if (!queue()) {
            state.SkipWithError("request");
            return;
        }
    for (auto _ : state) {
        IMediaSample* pSample = nullptr;
        DWORD_PTR dwUser = 0;
        LONG cbRead = 0;
        BOOL bUnits = FALSE;
        if (io.WaitForNext(5000, &pSample, &dwUser, &cbRead, &bUnits) != S_OK || cbRead != cb) {
            if (pSample)
                pSample->Release();
            state.SkipWithError("wait");
            break;
        }
        pSample->Release();
        if (!queue()) {
            state.SkipWithError("request");
            break;
        }
    }
    (void)io.BeginFlush();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * cb);
}
BENCHMARK(BM_AsyncIoQueued)
    ->UseRealTime()
    ->Args({188 * 7, 1})
    ->Args({188 * 7, 4})
    ->Args({65536, 1})
    ->Args({65536, 4});

void BM_AsyncIoSyncRead(benchmark::State& state)
{
    const LONG cb = static_cast<LONG>(state.range(0));
    CMemoryStream stream;
    CAsyncIo io(&stream);
    std::vector<BYTE> v(static_cast<size_t>(cb));
    LONGLONG llNext = 0;
    for (auto _ : state) {
        if (io.SyncRead(llNext, cb, v.data()) != S_OK) {
            state.SkipWithError("read");
            break;
        }
        llNext += cb;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * cb);
}
BENCHMARK(BM_AsyncIoSyncRead)->UseRealTime()->Arg(188 * 7)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
