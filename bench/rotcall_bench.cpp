// Cost of reaching a DVR writer through the object table: a GetStatus call
// through the proxy (request and reply over the writer's Unix socket, served
// on the writer's connection thread) next to the same call made directly.
#include <benchmark/benchmark.h>

#include <string>

#include "dshowflt/common/dvr/dvrsinkif.h"
#include "dshowflt/common/dvr/dvrsinkstub.h"
#include "dshowflt/common/dvr/dvrsinkproxy.h"
#include "platform/thread.h"

namespace {

// Answers GetStatus only, as a writer's status thread sees it.
class CStatusSink : public CUnknown, public CNotImplDVRSink
{
public:
    CStatusSink() : CUnknown("status sink", nullptr) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IKVDVRSink)
            return GetInterface(static_cast<IKVDVRSink*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT GetStatus(LONG* a, LONG* b, LONG* c, double* d) override
    {
        *a = DVRStatus_Writing, *b = 0, *c = 3, *d = 1048576.0;
        return S_OK;
    }
    HRESULT UnregisterReader(LONG) override { return E_NOTIMPL; }
    HRESULT ReservedOperation(DWORD, DWORD) override { return S_OK; }
    HRESULT RegisterReaderEx(LONG, LONG, HANDLE*, HANDLE*, HANDLE*) override { return E_NOTIMPL; }
    HRESULT SetOffsetToReach(LONG, double) override { return E_NOTIMPL; }
};

void CallStatus(benchmark::State& state, IKVDVRSink* pSink)
{
    LONG l1, l2, l3;
    double d;
    for (auto _ : state) {
        if (FAILED(pSink->GetStatus(&l1, &l2, &l3, &d))) {
            state.SkipWithError("GetStatus failed");
            break;
        }
        benchmark::DoNotOptimize(d);
    }
}

void BM_GetStatusMarshalled(benchmark::State& state)
{
    // Two tables: the reader's has no local entry, so the call crosses the
    // socket exactly as from another process.
    CCrossProcessObjectTable writer, reader;
    CComPtr<IKVDVRSink> pSink(new CStatusSink);
    const std::u16string strName =
        u"TARN DVR Sink 0000bench pid " + Utf8ToWide(std::to_string(GetCurrentProcessId()));
    DWORD dwCookie = 0;
    if (FAILED(writer.Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, pSink, CItemMoniker(u"!", strName), &dwCookie))) {
        state.SkipWithError("Register failed");
        return;
    }
    CComPtr<IUnknown> pUnk;
    CComPtr<IKVDVRSink> pProxy;
    if (FAILED(reader.GetObject(CItemMoniker(u"!", strName), &pUnk)) ||
        FAILED(pUnk.QueryInterface(IID_IKVDVRSink, &pProxy))) {
        state.SkipWithError("lookup failed");
    } else {
        CallStatus(state, pProxy);
    }
    pProxy.Release();
    pUnk.Release();
    (void)writer.Revoke(dwCookie);
}
BENCHMARK(BM_GetStatusMarshalled)->UseRealTime();

void BM_GetStatusDirect(benchmark::State& state)
{
    CComPtr<IKVDVRSink> pSink(new CStatusSink);
    CallStatus(state, pSink);
}
BENCHMARK(BM_GetStatusDirect);

}  // namespace

BENCHMARK_MAIN();
