// Sustained throughput of the DVR writer into its ring (10 recordings of
// 10 MiB, stub publication included) next to a plain sequential write of the
// same bytes to one file in the same folder: the price of the ring and the
// stub over the disk itself. Block sizes: 1316 bytes (one datagram of seven
// transport packets, what the receive thread hands over) and 64 KiB.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "dshowflt/common/dvr/dvrsink.h"

namespace {

constexpr LONGLONG kBytesPerIteration = 32 * 1024 * 1024;

std::string MakeFolder()
{
    char sz[] = "/tmp/kvbench_XXXXXX";
    if (!mkdtemp(sz))
        abort();
    return sz;
}

std::vector<BYTE> Payload(size_t cb)
{
    std::vector<BYTE> v(cb);
    for (size_t i = 0; i < cb; ++i)
        v[i] = static_cast<BYTE>(i * 131 + 7);
    return v;
}

void BM_DVRWrite(benchmark::State& state)
{
    const std::string strDir = MakeFolder();
    setenv("TMPDIR", strDir.c_str(), 1);  // the sink's default folder
    CBaseDVRSink* pSink = new CBaseDVRSink("bench sink", nullptr);
    pSink->NonDelegatingAddRef();
    if (FAILED(pSink->StartDVR()))
        state.SkipWithError("StartDVR failed");
    const std::vector<BYTE> v = Payload(static_cast<size_t>(state.range(0)));
    const LONG cb = static_cast<LONG>(v.size());
    for (auto _ : state) {
        for (LONGLONG ll = 0; ll < kBytesPerIteration; ll += cb) {
            if (FAILED(pSink->WriteData(v.data(), cb))) {
                state.SkipWithError("WriteData failed");
                break;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    (void)pSink->StopDVR();
    pSink->NonDelegatingRelease();
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_DVRWrite)->Arg(1316)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainSequentialWrite(benchmark::State& state)
{
    const std::string strDir = MakeFolder();
    const CWString strPath = Utf8ToWide(strDir + "/plain.ts");
    const std::vector<BYTE> v = Payload(static_cast<size_t>(state.range(0)));
    const DWORD cb = static_cast<DWORD>(v.size());
    for (auto _ : state) {
        CPlatformFile file;
        if (FAILED(file.Open(strPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS))) {
            state.SkipWithError("open failed");
            break;
        }
        for (LONGLONG ll = 0; ll < kBytesPerIteration; ll += cb) {
            DWORD cbDone = 0;
            if (FAILED(file.Write(v.data(), cb, &cbDone))) {
                state.SkipWithError("write failed");
                break;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_PlainSequentialWrite)->Arg(1316)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
