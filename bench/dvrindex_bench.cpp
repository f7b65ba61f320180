// What the time index beside each recording costs the DVR writer: the same
// ring written with and without it (10 recordings of 10 MiB, stub
// publication included), in the blocks the receive thread hands over at
// 1 Gbit/s (1316 bytes: one datagram of seven transport packets) and in
// 64 KiB blocks, and the price of one entry on its own. An entry is due every
// 40 ms of stream whatever the rate, so at 1 Gbit/s (95,000 blocks a
// second) the index costs the per-block check plus 25 entries a second.
//
// Compare BM_DVRWriteIndexed/1316/1 with /1316/0 (the ratio of their
// bytes_per_second, per CPU second of the writing thread); each runs 9
// times and reports the median. On a busy machine that difference drowns
// in the noise; the parts are then timed on their own (an entry, what a
// recording pays), and the cost per second of a 1 Gbit/s stream is 25
// entries, 12 recordings of 10 MiB and 95,000 checks of a flag and a tick.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "dshowflt/common/dvr/dvrindex.h"
#include "dshowflt/common/dvr/dvrsink.h"

namespace {

constexpr LONGLONG kBytesPerIteration = 32 * 1024 * 1024;

// KV_BENCH_DIR picks the file system (a tmpfs such as /dev/shm leaves the
// disk's noise out of the comparison); /tmp by default.
std::string MakeFolder()
{
    const char* pszBase = getenv("KV_BENCH_DIR");
    std::string str = std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/kvbench_XXXXXX";
    if (!mkdtemp(str.data()))
        abort();
    return str;
}

void BM_DVRWriteIndexed(benchmark::State& state)
{
    const std::string strDir = MakeFolder();
    setenv("TMPDIR", strDir.c_str(), 1);  // the sink's default folder
    CBaseDVRSink* pSink = new CBaseDVRSink("bench sink", nullptr);
    pSink->NonDelegatingAddRef();
    pSink->SetIndexEnabled(state.range(1) != 0);
    if (FAILED(pSink->StartDVR()))
        state.SkipWithError("StartDVR failed");
    std::vector<BYTE> v(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<BYTE>(i * 131 + 7);
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
// Timed by the CPU the writing thread spends (what the index adds to it),
// not by the clock, which on a shared machine measures the neighbours.
BENCHMARK(BM_DVRWriteIndexed)
    ->ArgsProduct({{1316, 65536}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

// One entry appended to an index file (a 32-byte write with its CRC).
void BM_IndexEntryAppend(benchmark::State& state)
{
    const std::string strDir = MakeFolder();
    const CWString strPath = Utf8ToWide(strDir + "/bench.KRI");
    std::unique_ptr<IFile> pFile;
    if (FAILED(CPlatformFile::Create(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                     &pFile)))
        state.SkipWithError("open failed");
    dvr::CDVRIndexWriter writer;
    dvr::SIndexHeader header;
    if (FAILED(writer.Begin(std::move(pFile), header)))
        state.SkipWithError("header failed");
    dvr::SIndexEntry e;
    for (auto _ : state) {
        e.llOffset += 1316;
        e.llTime = dvr::IndexWallClockNow();
        e.llMono = dvr::IndexMonotonicNow();
        if (FAILED(writer.Append(&e, 1)))
            state.SkipWithError("append failed");
    }
    writer.Close();
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_IndexEntryAppend);

// What each recording pays: its index opened over the slot's old one, the
// header, a start and an end entry, the cut and the close.
void BM_IndexPerRecording(benchmark::State& state)
{
    const std::string strDir = MakeFolder();
    const CWString strPath = Utf8ToWide(strDir + "/bench.KRI");
    dvr::SIndexEntry e;
    for (auto _ : state) {
        std::unique_ptr<IFile> pFile;
        if (FAILED(CPlatformFile::Create(strPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS, &pFile))) {
            state.SkipWithError("open failed");
            break;
        }
        dvr::CDVRIndexWriter writer;
        dvr::SIndexHeader header;
        header.nPlayIndex = static_cast<LONG>(e.llOffset);
        if (FAILED(writer.Begin(std::move(pFile), header)) || FAILED(writer.Append(&e, 1)) ||
            FAILED(writer.Append(&e, 1))) {
            state.SkipWithError("write failed");
            break;
        }
        writer.Close();
        ++e.llOffset;
    }
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_IndexPerRecording);

}  // namespace

BENCHMARK_MAIN();
