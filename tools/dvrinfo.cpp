// kvudpsrc dvr-info STUB.KBL: what a DVR buffer's stub file says. Users and
// tests use it to see inside a buffer; a stub that cannot be read is named
// by its status and makes the command fail.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <vector>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/trace/trace.h"
#include "tools/commands.h"

namespace {

void PrintGuid(const GUID& g)
{
    printf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1],
           g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

}  // namespace

int DvrInfoMain(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: kvudpsrc dvr-info STUB.KBL\n");
        return 2;
    }
    const char* pszStub = argv[1];
    CDVREngine engine(false);
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    const CWString strStub = Utf8ToWide(pszStub);
    HRESULT hr = engine.SetStubFileName(strStub.c_str(), static_cast<int>(strStub.size()), FALSE);
    if (SUCCEEDED(hr))
        hr = engine.ReadAllRecordingsInfo(&nCount, &pList);
    if (FAILED(hr)) {
        fprintf(stderr, "kvudpsrc dvr-info: %s: %s\n", pszStub, TraceHr(hr));
        return 1;
    }

    const CWString strOwner = engine.GetOwnerName();
    printf("stub          %s\n", pszStub);
    printf("format        TARNDVR version 0, header %u bytes\n", static_cast<unsigned>(engine.GetStubHeaderBytes()));
    printf("owner         %s\n", strOwner.empty() ? "(none: no live writer)" : WideToUtf8(strOwner).c_str());
    printf("streamId      ");
    PrintGuid(engine.GetStreamId());
    printf("\nrecordCount   %d\n", static_cast<int>(nCount));
    for (LONG i = 0; i < nCount; ++i) {
        const RecordingInfo& r = pList[i];
        const SYSTEMTIME& t = r.created;
        printf("slot %-4d     playIndex %d  size %lld  created %04u-%02u-%02u %02u:%02u:%02u.%03u UTC  path %s\n",
               static_cast<int>(i), static_cast<int>(r.playIndex), static_cast<long long>(r.size), t.wYear, t.wMonth,
               t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, WideToUtf8(r.path).c_str());
    }

    // The stream is the recordings in ascending playIndex order.
    std::vector<LONG> order(static_cast<size_t>(nCount));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](LONG a, LONG b) { return pList[a].playIndex < pList[b].playIndex; });
    printf("stream order ");
    LONGLONG llTotal = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        const RecordingInfo& r = pList[order[k]];
        printf("%s slot %d (playIndex %d)", k ? "," : "", static_cast<int>(order[k]), static_cast<int>(r.playIndex));
        if (k > 0 && r.playIndex != pList[order[k - 1]].playIndex + 1)
            printf(" [gap]");
        llTotal += r.size;  // cannot overflow: the reader refuses such stubs
    }
    printf("%s\ntotal         %lld bytes\n", order.empty() ? " (no recordings)" : "", static_cast<long long>(llTotal));
    return 0;
}
