// Costs of the stub-file operations that run on the hot paths: the writer
// publishing a size (at most every 25 ms per recording, and at once for a
// reader's target) and a reader refreshing its picture of the buffer.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "dshowflt/common/dvr/dvrengine.h"

namespace {

class CBenchWriter : public CDVREngine
{
public:
    CBenchWriter() : CDVREngine(true) {}
    void SetCurrentSlot(LONG n)
    {
        CAutoLock lock(&m_csStubFile);
        m_nCurRecIndex = n;
    }
};

// A stub with nSlots records in a fresh temporary folder.
std::string MakeStub(CBenchWriter* pWriter, LONG nSlots)
{
    char sz[] = "/tmp/kvbench_XXXXXX";
    if (!mkdtemp(sz))
        abort();
    const std::string strDir = sz;
    const CWString strStub = Utf8ToWide(strDir + "/Capture.KBL");
    if (FAILED(pWriter->CreateStubFile(strStub.c_str(), u"TARN DVR Sink 00000001 pid 00000001", FALSE)))
        abort();
    for (LONG i = 0; i < nSlots; ++i) {
        std::unique_ptr<IFile> pRec;
        const CWString strRec = Utf8ToWide(strDir + "/Capture_" + std::to_string(i) + ".KRC");
        if (FAILED(pWriter->CreateRecording(strRec.c_str(), i, i, &pRec)) ||
            FAILED(pWriter->WriteRecordCount(static_cast<DWORD>(i + 1))))
            abort();
    }
    return strDir;
}

void BM_PublishSize(benchmark::State& state)
{
    CBenchWriter writer;
    const std::string strDir = MakeStub(&writer, 10);
    writer.SetCurrentSlot(9);
    LONGLONG ll = 0;
    for (auto _ : state) {
        if (FAILED(writer.SetRecordingSize(++ll)))
            state.SkipWithError("SetRecordingSize failed");
    }
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_PublishSize);

void BM_ReadAllRecordings(benchmark::State& state)
{
    CBenchWriter writer;
    const std::string strDir = MakeStub(&writer, static_cast<LONG>(state.range(0)));
    writer.CloseStubFile();
    CDVREngine reader(false);
    const CWString strStub = Utf8ToWide(strDir + "/Capture.KBL");
    if (FAILED(reader.SetStubFileName(strStub.c_str(), -1, FALSE)))
        abort();
    for (auto _ : state) {
        LONG nCount = 0;
        std::unique_ptr<RecordingInfo[]> pList;
        if (FAILED(reader.ReadAllRecordingsInfo(&nCount, &pList)))
            state.SkipWithError("ReadAllRecordingsInfo failed");
        benchmark::DoNotOptimize(pList.get());
    }
    (void)system(("rm -rf '" + strDir + "'").c_str());
}
BENCHMARK(BM_ReadAllRecordings)->Arg(10)->Arg(100);

}  // namespace

BENCHMARK_MAIN();
