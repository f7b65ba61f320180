// The output pin's two paths.
//
// Pull: 188 x 1024-byte requests (what a transport-stream demultiplexer
// asks for) through the pin and the request queue into the DVR buffer of a
// live writer, next to the same reads made directly on the DVR source
// stream; once over data already written, once while the writer writes.
//
// Push: DeliverData of 1316-byte units (seven transport packets, a
// datagram's worth) that each complete a sample, through the output queue
// into a sink, with the queue's thread and without it.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "dshowflt/mpegdemux/kvudpsrc/pintestutil.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pushsink.h"

using namespace pintest;

namespace {

constexpr LONG kRequest = 188 * 1024;
constexpr LONG kDatagram = 7 * 188;
constexpr LONGLONG kPrefill = 48 << 20;
constexpr int kInFlight = 4;

// A live writer (8 recordings of 16 MiB) in a folder of its own, and the
// source following it, with the reader interface the demultiplexer asks for.
class CPullBench
{
public:
    bool Start()
    {
        char sz[] = "/tmp/kvpinbench_XXXXXX";
        if (!mkdtemp(sz))
            return false;
        m_strDir = sz;
        if (FAILED(m_writer.Start(m_strDir, 8, 16 << 20)) ||
            FAILED(CTestSource::Create(m_writer.Sink(), m_writer.StubPath(), &m_pSource)))
            return false;
        IAsyncReader* p = nullptr;
        if (FAILED(m_pSource->Pin()->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&p))))
            return false;
        m_pReader.Attach(p);
        ALLOCATOR_PROPERTIES props = {kInFlight, kRequest, 1, 0};
        return SUCCEEDED(m_pReader->RequestAllocator(nullptr, &props, &m_pAlloc)) && SUCCEEDED(m_pAlloc->Commit());
    }
    ~CPullBench()
    {
        if (m_pReader)
            (void)m_pReader->BeginFlush();
        m_pReader.Release();
        m_pAlloc.Release();
        if (m_pSource)
            m_pSource->Release();
        (void)m_writer.Stop();
        if (!m_strDir.empty())
            (void)system(("rm -rf '" + m_strDir + "'").c_str());
    }
    bool Write(LONGLONG llUpTo)
    {
        while (m_writer.Written() < llUpTo) {
            if (FAILED(m_writer.Write(kDatagram)))
                return false;
        }
        return m_writer.PublishAll();
    }
    bool Request(LONGLONG llPos, LONG cb = kRequest)
    {
        IMediaSample* pSample = nullptr;
        if (FAILED(m_pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0)))
            return false;
        REFERENCE_TIME t0 = llPos * UNITS, t1 = (llPos + cb) * UNITS;
        (void)pSample->SetTime(&t0, &t1);
        if (FAILED(m_pReader->Request(pSample, static_cast<DWORD_PTR>(llPos)))) {
            pSample->Release();
            return false;
        }
        return true;
    }
    // The next completed request; its byte count, or -1.
    LONG Next(LONGLONG* pllRequested = nullptr)
    {
        IMediaSample* pSample = nullptr;
        DWORD_PTR dwUser = 0;
        HRESULT hr = m_pReader->WaitForNext(10000, &pSample, &dwUser);
        if (pllRequested)
            *pllRequested = static_cast<LONGLONG>(dwUser);
        LONG cb = -1;
        if (pSample) {
            if (SUCCEEDED(hr))
                cb = pSample->GetActualDataLength();
            pSample->Release();
        }
        return cb;
    }

    CTestWriter m_writer;
    CTestSource* m_pSource = nullptr;
    CComPtr<IAsyncReader> m_pReader;
    CComPtr<IMemAllocator> m_pAlloc;
    std::string m_strDir;
};

void BM_PullThroughPinWritten(benchmark::State& state)
{
    CPullBench b;
    if (!b.Start() || !b.Write(kPrefill)) {
        state.SkipWithError("set-up");
        return;
    }
    const LONGLONG llWrap = kPrefill / kRequest * kRequest;
    LONGLONG llNext = 0;
    for (int i = 0; i < kInFlight; i++, llNext += kRequest)
        (void)b.Request(llNext);
    for (auto _ : state) {
        if (b.Next() != kRequest || !b.Request(llNext % llWrap)) {
            state.SkipWithError("read");
            break;
        }
        llNext += kRequest;
    }
    state.SetBytesProcessed(state.iterations() * kRequest);
}
BENCHMARK(BM_PullThroughPinWritten)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_PullDirectWritten(benchmark::State& state)
{
    CPullBench b;
    if (!b.Start() || !b.Write(kPrefill)) {
        state.SkipWithError("set-up");
        return;
    }
    const LONGLONG llWrap = kPrefill / kRequest * kRequest;
    std::vector<BYTE> v(kRequest);
    LONGLONG llNext = 0;
    CDVRSourceStream& stream = b.m_pSource->Source();
    for (auto _ : state) {
        LONGLONG llPos = llNext % llWrap;
        DWORD cbRead = 0;
        BOOL bDisc = FALSE;
        CAsyncStreamLock lock(&stream);
        if (stream.Read(&llPos, v.data(), kRequest, &cbRead, TRUE, &bDisc, 0) != S_OK) {
            state.SkipWithError("read");
            break;
        }
        llNext += kRequest;
    }
    state.SetBytesProcessed(state.iterations() * kRequest);
}
BENCHMARK(BM_PullDirectWritten)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The writer writes datagrams as fast as it can, never more than 32 MiB
// ahead of the reader; the reader follows at the live edge.
void BM_PullThroughPinLive(benchmark::State& state)
{
    CPullBench b;
    if (!b.Start() || !b.Write(kRequest)) {
        state.SkipWithError("set-up");
        return;
    }
    std::atomic<LONGLONG> llRead{0};
    std::atomic<bool> bStop{false};
    std::thread writer([&] {
        while (!bStop.load()) {
            if (b.m_writer.Written() - llRead.load() > (32 << 20)) {
                std::this_thread::yield();
                continue;
            }
            if (FAILED(b.m_writer.Write(kDatagram)))
                break;
        }
    });
    // Request start -> end; a short read at the live edge is asked for
    // again from where it ended.
    std::map<LONGLONG, LONGLONG> mapOut;
    LONGLONG llNext = 0;
    for (int i = 0; i < kInFlight; i++, llNext += kRequest) {
        (void)b.Request(llNext);
        mapOut[llNext] = llNext + kRequest;
    }
    LONGLONG llBytes = 0;
    for (auto _ : state) {
        LONGLONG llRequested = 0;
        const LONG cb = b.Next(&llRequested);
        auto it = mapOut.find(llRequested);
        if (cb <= 0 || it == mapOut.end()) {
            state.SkipWithError("read");
            break;
        }
        llBytes += cb;
        llRead.store(llBytes);
        const LONGLONG llEnd = it->second;
        mapOut.erase(it);
        LONGLONG llAt = llRequested + cb, llTo = llEnd;
        if (llAt >= llEnd) {
            llAt = llNext;
            llTo = llNext + kRequest;
            llNext = llTo;
        }
        if (!b.Request(llAt, static_cast<LONG>(llTo - llAt))) {
            state.SkipWithError("request");
            break;
        }
        mapOut[llAt] = llTo;
    }
    bStop = true;
    writer.join();
    state.SetBytesProcessed(llBytes);
    state.counters["writer_MBps"] =
        benchmark::Counter(static_cast<double>(b.m_writer.Written()) / (1 << 20), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PullThroughPinLive)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// Arguments: 1 = the sink's Receive may block (the queue has a thread).
void BM_PushSamples(benchmark::State& state)
{
    CFilterGraph* pGraph = nullptr;
    CTestSource* pSource = nullptr;
    CPushSink* pSink = nullptr;
    std::atomic<LONG> cReceived{0};
    const CMediaType mt(&MEDIATYPE_Video);
    bool bOk = SUCCEEDED(CFilterGraph::Create(&pGraph)) &&
               SUCCEEDED(CTestSource::Create(nullptr, CWString(), &pSource)) &&
               SUCCEEDED(pSource->SetOutputMediaType(&mt)) &&
               SUCCEEDED(CPushSink::Create(
                   [&](const CPushSinkEvent& ev) {
                       if (ev.eKind == CPushSinkEvent::kSample)
                           cReceived++;
                       return S_OK;
                   },
                   nullptr, state.range(0) != 0, &pSink)) &&
               SUCCEEDED(pGraph->AddFilter(pSource, u"source")) && SUCCEEDED(pGraph->AddFilter(pSink, u"sink")) &&
               SUCCEEDED(pGraph->ConnectDirect(pSource->Pin(), pSink->InputPin(), nullptr)) &&
               SUCCEEDED(pGraph->Run());
    std::vector<BYTE> v(kDatagram, 0x47);
    REFERENCE_TIME rt = 10000000;
    for (auto _ : state) {
        if (!bOk || FAILED(pSource->Pin()->DeliverData(v.data(), kDatagram, rt, 0, 0, TRUE))) {
            state.SkipWithError("deliver");
            break;
        }
        rt += 400000;
    }
    if (pGraph) {
        (void)pGraph->Stop();
        pGraph->Release();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["received"] = static_cast<double>(cReceived.load());
    if (pSink)
        pSink->Release();
    if (pSource)
        pSource->Release();
}
BENCHMARK(BM_PushSamples)->UseRealTime()->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
