// Sustained throughput of the DVR writer into its ring (10 recordings of
// 10 MiB, stub publication included) next to a plain sequential write of the
// same bytes to one file in the same folder: the price of the ring and the
// stub over the disk itself. Block sizes: 1316 bytes (one datagram of seven
// transport packets, what the receive thread hands over) and 64 KiB; and
// batches of 64 datagrams handed over in one gathered call, as the receive
// thread does at high rates.
//
// Two plain baselines: a fresh file per 32 MiB (truncated each time: the
// file system frees and allocates its blocks again) and the same file
// written over from its start, which is what the ring does once it has
// wrapped. The fair comparison is with the second.
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

void BM_DVRWriteBatch(benchmark::State& state)
{
    constexpr LONG kBatch = 64;
    const std::string strDir = MakeFolder();
    setenv("TMPDIR", strDir.c_str(), 1);
    CBaseDVRSink* pSink = new CBaseDVRSink("bench sink", nullptr);
    pSink->NonDelegatingAddRef();
    if (FAILED(pSink->StartDVR()))
        state.SkipWithError("StartDVR failed");
    const DWORD cb = static_cast<DWORD>(state.range(0));
    // Every block its own piece of memory, as datagrams in a batch are.
    const std::vector<BYTE> v = Payload(static_cast<size_t>(cb) * kBatch);
    FileChunk aChunks[kBatch];
    for (LONG i = 0; i < kBatch; ++i)
        aChunks[i] = {v.data() + static_cast<size_t>(i) * cb, cb};
    for (auto _ : state) {
        for (LONGLONG ll = 0; ll < kBytesPerIteration; ll += static_cast<LONGLONG>(cb) * kBatch) {
            if (FAILED(pSink->WriteDataV(aChunks, kBatch))) {
                state.SkipWithError("WriteDataV failed");
                break;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    (void)pSink->StopDVR();
    pSink->NonDelegatingRelease();
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_DVRWriteBatch)->Arg(1316)->Unit(benchmark::kMillisecond)->UseRealTime();

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

void BM_PlainSequentialOverwrite(benchmark::State& state)
{
    const std::string strDir = MakeFolder();
    const CWString strPath = Utf8ToWide(strDir + "/plain.ts");
    const std::vector<BYTE> v = Payload(static_cast<size_t>(state.range(0)));
    const DWORD cb = static_cast<DWORD>(v.size());
    CPlatformFile file;
    if (FAILED(file.Open(strPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS)))
        state.SkipWithError("open failed");
    for (auto _ : state) {
        if (FAILED(file.Seek(0, FILE_BEGIN, nullptr))) {
            state.SkipWithError("seek failed");
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
    file.Close();
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_PlainSequentialOverwrite)->Arg(1316)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
