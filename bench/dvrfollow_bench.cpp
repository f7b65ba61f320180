// A reader following the DVR writer in the same process: how long a waiting
// reader takes to return bytes after WriteData hands them over, and how fast
// one reader can follow a writer that writes as fast as it can.
//
// Argument 0: the reader is handed the writer (the filter's own reader);
// 1: it finds the writer by name in the object table and calls it through
// its sink status thread.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrsink.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

class CBenchReader : public CDVREngine
{
public:
    CBenchReader() : CDVREngine(false) {}
    ~CBenchReader() override { StopReader(); }
};

// A writer on a fresh temporary folder with nFiles recordings of cbFile.
struct SRing
{
    std::string strDir;
    CBaseDVRSink* pSink = nullptr;
    CWString strStub;

    bool Start(LONG nFiles, double cbFile)
    {
        char sz[] = "/tmp/kvfollow_XXXXXX";
        if (!mkdtemp(sz))
            return false;
        strDir = sz;
        pSink = new CBaseDVRSink("bench sink", nullptr);
        pSink->NonDelegatingAddRef();
        BSTR bstrDir = SysAllocString(Utf8ToWide(strDir).c_str());
        BSTR bstrName = SysAllocString(u"Capture");
        bool bOk = SUCCEEDED(pSink->StartChangingAttributes()) && SUCCEEDED(pSink->SetFolderName(0, bstrDir)) &&
                   SUCCEEDED(pSink->SetBufferSize(0, nFiles, cbFile)) &&
                   SUCCEEDED(pSink->SetBaseName(bstrName)) &&
                   SUCCEEDED(pSink->EndChangingAttributes(VARIANT_FALSE)) && SUCCEEDED(pSink->StartDVR(nullptr));
        SysFreeString(bstrDir);
        SysFreeString(bstrName);
        strStub = Utf8ToWide(strDir + "/Capture.KBL");
        return bOk;
    }
    ~SRing()
    {
        if (pSink) {
            (void)pSink->StopDVR();
            pSink->NonDelegatingRelease();
        }
        if (!strDir.empty())
            (void)system(("rm -rf '" + strDir + "'").c_str());
    }
    bool StartReader(CBenchReader* pReader, bool bByName)
    {
        return SUCCEEDED(pReader->SetStubFileName(strStub.c_str(), -1, FALSE)) &&
               SUCCEEDED(pReader->StartReader(bByName ? nullptr : pSink));
    }
};

double Percentile(std::vector<double> v, double dFraction)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(dFraction * static_cast<double>(v.size())))];
}

// Per iteration: the reader waits at the end of the stream, the writer
// writes one block of seven transport packets, and the time until the
// reader has the bytes is one sample.
void BM_WriteToReaderDelay(benchmark::State& state)
{
    SRing ring;
    CBenchReader reader;
    if (!ring.Start(10, 4 << 20) || !ring.StartReader(&reader, state.range(0) != 0)) {
        state.SkipWithError("setup failed");
        return;
    }
    constexpr LONG kBlock = 7 * 188;
    std::vector<BYTE> vBlock(kBlock, 0x47);
    std::atomic<bool> bStop{false};
    CAMEvent evGot;
    std::vector<double> vDelayUs;
    std::atomic<int64_t> nsGot{0};
    std::thread thReader([&] {
        std::vector<BYTE> v(kBlock);
        LONGLONG llPos = 0;
        while (!bStop) {
            DWORD cbRead = 0;
            HRESULT hr = reader.ReadData(llPos, kBlock, kBlock, v.data(), &cbRead, 0);
            if (hr == S_OK) {
                nsGot = Clock::now().time_since_epoch().count();
                llPos += cbRead;
                evGot.Set();
            } else if (FAILED(hr)) {
                break;
            }
        }
    });
    for (auto _ : state) {
        // Give the reader time to settle into its wait before the write.
        state.PauseTiming();
        Sleep(2);
        state.ResumeTiming();
        const int64_t ns0 = Clock::now().time_since_epoch().count();
        if (FAILED(ring.pSink->WriteData(vBlock.data(), kBlock))) {
            state.SkipWithError("WriteData failed");
            break;
        }
        // As the receive thread does between datagrams: bytes that no
        // reader had asked for yet reach the stub within 25 ms.
        bool bGot = false;
        for (int i = 0; i < 1000 && !bGot; ++i) {
            bGot = evGot.Wait(5) != FALSE;
            if (!bGot)
                (void)ring.pSink->BeginWaitingForData();
        }
        if (!bGot) {
            state.SkipWithError("the reader did not return the block");
            break;
        }
        vDelayUs.push_back(static_cast<double>(nsGot.load() - ns0) / 1000.0);
    }
    bStop = true;
    reader.SetFlushing(true);
    thReader.join();
    state.counters["p50_us"] = Percentile(vDelayUs, 0.50);
    state.counters["p99_us"] = Percentile(vDelayUs, 0.99);
}
BENCHMARK(BM_WriteToReaderDelay)->Arg(0)->Arg(1)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// One reader follows a writer that writes 64 KiB blocks as fast as the ring
// lets it (never more than half the ring ahead of the reader).
void BM_FollowThroughput(benchmark::State& state)
{
    SRing ring;
    CBenchReader reader;
    constexpr LONG kFiles = 10;
    constexpr LONGLONG kFileSize = 4 << 20;
    if (!ring.Start(kFiles, kFileSize) || !ring.StartReader(&reader, state.range(0) != 0)) {
        state.SkipWithError("setup failed");
        return;
    }
    constexpr LONG kBlock = 64 * 1024;
    constexpr LONGLONG kPerIteration = 64 << 20;
    std::vector<BYTE> vBlock(kBlock, 0x47);
    std::vector<BYTE> vRead(256 * 1024);
    LONGLONG llReadPos = 0;
    LONGLONG llWritten = 0;
    for (auto _ : state) {
        const LONGLONG llTarget = llWritten + kPerIteration;
        std::atomic<LONGLONG> llReaderAt{llReadPos};
        std::atomic<bool> bFailed{false};
        CAMEvent evMoved;
        std::thread thWriter([&] {
            while (llWritten < llTarget && !bFailed) {
                while (llWritten + kBlock - llReaderAt > kFiles * kFileSize / 2 && !bFailed)
                    (void)evMoved.Wait(100);
                if (FAILED(ring.pSink->WriteData(vBlock.data(), kBlock)))
                    bFailed = true;
                llWritten += kBlock;
            }
            for (int i = 0; i < 1000 && ring.pSink->BeginWaitingForData() && !bFailed; ++i)
                (void)evMoved.Wait(5);
        });
        const DWORD dwStart = GetTickCount();
        while (llReadPos < llTarget && !bFailed && TickDiff(GetTickCount(), dwStart) < 60000) {
            DWORD cbRead = 0;
            HRESULT hr = reader.ReadData(llReadPos, 1, static_cast<DWORD>(vRead.size()), vRead.data(), &cbRead, 0);
            if (FAILED(hr)) {
                bFailed = true;
                break;
            }
            llReadPos += cbRead;
            llReaderAt = llReadPos;
            evMoved.Set();
        }
        thWriter.join();
        if (bFailed || llReadPos < llTarget) {
            state.SkipWithError("the reader lost the writer");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPerIteration);
}
BENCHMARK(BM_FollowThroughput)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
