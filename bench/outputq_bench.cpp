// Samples per second through the output queue into the push sink: with the
// queue's own thread (a sink whose Receive may block) and delivered directly
// on the producer's thread.
#include <benchmark/benchmark.h>

#include "platform/graph/filtergraph.h"
#include "platform/graph/pushsink.h"
#include "platform/graph/testfilters.h"

static void BM_OutputQueuePush(benchmark::State& state)
{
    const bool bQueued = state.range(0) != 0;
    CFilterGraph* pGraph = nullptr;
    if (FAILED(CFilterGraph::Create(&pGraph))) {
        state.SkipWithError("graph");
        return;
    }
    auto* pSource = new graphtest::CToyPushSource({graphtest::VideoType(MEDIASUBTYPE_H264)}, 16);
    CComPtr<IBaseFilter> pSourceOwner;
    pSourceOwner.Attach(pSource);
    pSource->m_queueConfig.lListSize = 10;
    CPushSink* pSinkImpl = nullptr;
    int64_t cbSeen = 0;
    (void)CPushSink::Create(
        [&cbSeen](const CPushSinkEvent& ev) {
            cbSeen += ev.cbData;
            return S_OK;
        },
        {}, bQueued, &pSinkImpl);
    CComPtr<IBaseFilter> pSink;
    pSink.Attach(pSinkImpl);
    if (FAILED(pGraph->AddFilter(pSource, u"source")) || FAILED(pGraph->AddFilter(pSink, u"sink")) ||
        FAILED(pGraph->ConnectDirect(pSource->Pin(), pSinkImpl->InputPin(), nullptr)) || FAILED(pGraph->Run())) {
        state.SkipWithError("graph set-up");
        pGraph->Release();
        return;
    }
    REFERENCE_TIME t = 0;
    for (auto _ : state) {
        if (FAILED(pSource->Pin()->Send("0123456789abcdef0123456789abcdef", t, t + 1, false, false)))
            state.SkipWithError("send");
        t++;
    }
    (void)pGraph->Stop();
    pGraph->Release();
    state.SetItemsProcessed(state.iterations());
    benchmark::DoNotOptimize(cbSeen);
}
BENCHMARK(BM_OutputQueuePush)->Arg(1)->Arg(0)->ArgNames({"queued"});

BENCHMARK_MAIN();
