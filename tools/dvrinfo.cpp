// kvudpsrc dvr-info STUB.KBL: what a DVR buffer's stub file says, and
// whether a writer is behind it. Users and tests use it to see inside a
// buffer; a stub that cannot be read is named with the reason and makes the
// command fail.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/common/dvr/dvrtimeindex.h"
#include "dshowflt/common/trace/trace.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/dvrcut.h"
#include "tools/timearg.h"

namespace {

const char kHelp[] =
    "usage: kvudpsrc dvr-info [OPTIONS] STUB.KBL\n"
    "  Shows a DVR buffer: whether its writer is live (with its process id), finished\n"
    "  or gone without closing the buffer; the oldest offset kept and the end offset\n"
    "  (one past the newest byte), as follow --from and copy count them; the stream's\n"
    "  identifier, the span of receive times the buffer holds and its average bit rate\n"
    "  (from the time index beside the recordings); then the stub's header, its records\n"
    "  with the times each holds, and the order the stream plays in.\n";

std::string MegabitsText(double dBits)
{
    char sz[40];
    snprintf(sz, sizeof(sz), "%.3f Mbit/s", dBits / 1e6);
    return sz;
}

void PrintGuid(const GUID& g)
{
    printf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1],
           g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

// The writer's process id from its object-table name ("TARN DVR Sink
// %08x pid %08x"), or -1.
long long OwnerPid(const std::string& strOwner)
{
    const size_t n = strOwner.rfind(" pid ");
    if (n == std::string::npos)
        return -1;
    char* pEnd = nullptr;
    const unsigned long ul = strtoul(strOwner.c_str() + n + 5, &pEnd, 16);
    return *pEnd ? -1 : static_cast<long long>(ul);
}

}  // namespace

int DvrInfoMain(int argc, char** argv)
{
    std::string strStub;
    COptions opts("dvr-info", kHelp);
    opts.Positional("STUB.KBL", true, SetString(&strStub));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;

    CDVREngine engine(false);
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    const CWString wstrStub = Utf8ToWide(strStub);
    HRESULT hr = engine.SetStubFileName(wstrStub.c_str(), static_cast<int>(wstrStub.size()), FALSE);
    if (SUCCEEDED(hr))
        hr = engine.ReadAllRecordingsInfo(&nCount, &pList);
    if (FAILED(hr)) {
        // A read fault on a stub is a stub cut short: say how short, since
        // "cannot read from the device" alone sends the user to the disk.
        struct stat st;
        std::string strWhy = HrWords(hr);
        if (hr == HRESULT_FROM_WIN32(ERROR_READ_FAULT) && stat(strStub.c_str(), &st) == 0)
            strWhy += " (the stub holds only " + std::to_string(static_cast<long long>(st.st_size)) +
                      " bytes: cut short, or its writer died while making it)";
        PrintError("dvr-info", "stub %s: %s", strStub.c_str(), strWhy.c_str());
        return kExitFailure;
    }

    // A reader of our own tells whether the owner named in the stub still
    // answers, and what offsets follow and copy would use.
    CDVRSourceObject source;
    source.NonDelegatingAddRef();  // owned by this scope
    double dFirst = 0, dCur = 0, dLast = 0;
    HRESULT hrRange = source.SetStubFileName(wstrStub.c_str(), static_cast<int>(wstrStub.size()), FALSE);
    if (SUCCEEDED(hrRange))
        hrRange = source.StartDVRReader(nullptr);
    if (SUCCEEDED(hrRange))
        hrRange = source.GetAvailableRange(&dFirst, &dCur, &dLast);
    CDVRTimeIndex index;
    const HRESULT hrIndex = SUCCEEDED(hrRange) ? index.Load(&source) : hrRange;
    const std::string strOwner = WideToUtf8(engine.GetOwnerName());
    const long long llPid = OwnerPid(strOwner);
    std::string strWriter;
    if (strOwner.empty())
        strWriter = "finished (no live writer)";
    else if (source.WriterHasGone())
        strWriter = "gone: process " + std::to_string(llPid) + " ended without closing the buffer";
    else
        strWriter = "live, process " + std::to_string(llPid);
    (void)source.StopDVRReader();

    printf("stub          %s\n", strStub.c_str());
    printf("writer        %s\n", strWriter.c_str());
    if (SUCCEEDED(hrRange))
        printf("offsets       oldest %lld, end %lld (%lld bytes kept)\n", static_cast<long long>(dFirst),
               static_cast<long long>(dLast), static_cast<long long>(dLast - dFirst));
    else
        printf("offsets       none: %s\n", HrWords(hrRange).c_str());
    printf("stream        %s\n", SUCCEEDED(hrIndex) ? StreamText(index).c_str() : "(no time index)");
    LONGLONG llSpanFirst = 0, llSpanLast = 0;
    if (SUCCEEDED(hrIndex) && index.GetSpan(&llSpanFirst, &llSpanLast)) {
        double dBits = 0;
        const bool bRate = index.GetBitRate(-1, &dBits);
        printf("span          %s .. %s (%s s)%s%s\n", FormatFileTime(llSpanFirst).c_str(),
               FormatFileTime(llSpanLast).c_str(), FormatSeconds(llSpanLast - llSpanFirst).c_str(),
               bRate ? ", average " : "", bRate ? MegabitsText(dBits).c_str() : "");
    } else {
        printf("span          none: %s\n",
               FAILED(hrIndex) ? HrWords(hrIndex).c_str() : "no recording has a readable time index");
    }
    printf("format        TARNDVR version 0, header %u bytes\n", static_cast<unsigned>(engine.GetStubHeaderBytes()));
    printf("owner         %s\n", strOwner.empty() ? "(none)" : strOwner.c_str());
    printf("streamId      ");
    PrintGuid(engine.GetStreamId());
    printf("\nrecordCount   %d\n", static_cast<int>(nCount));
    for (LONG i = 0; i < nCount; ++i) {
        const RecordingInfo& r = pList[i];
        const SYSTEMTIME& t = r.created;
        printf("slot %-4d     playIndex %d  size %lld  created %04u-%02u-%02u %02u:%02u:%02u.%03u UTC  path %s",
               static_cast<int>(i), static_cast<int>(r.playIndex), static_cast<long long>(r.size), t.wYear, t.wMonth,
               t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, WideToUtf8(r.path).c_str());
        // What the time index says of the recording, when it is in the
        // picture of the stream (a slot of an older lap is not).
        for (LONG k = 0; SUCCEEDED(hrIndex) && k < index.RecordingCount(); ++k) {
            const CDVRTimeIndex::SRecording& rec = index.Recording(k);
            if (rec.nSlot != i || rec.nPlayIndex != r.playIndex)
                continue;
            LONGLONG llA = 0, llB = 0;
            double dBits = 0;
            if (index.GetRecordingSpan(k, &llA, &llB))
                printf("\n              offsets %lld..%lld  time %s .. %s  %zu entries%s%s%s",
                       static_cast<long long>(rec.llStart), static_cast<long long>(rec.llStart + rec.llSize),
                       FormatFileTime(llA).c_str(), FormatFileTime(llB).c_str(), rec.nEntries,
                       rec.bComplete ? "" : " (open or cut short)", index.GetBitRate(k, &dBits) ? ", " : "",
                       index.GetBitRate(k, &dBits) ? MegabitsText(dBits).c_str() : "");
            else
                printf("\n              offsets %lld..%lld  time unknown: %s",
                       static_cast<long long>(rec.llStart), static_cast<long long>(rec.llStart + rec.llSize),
                       FAILED(rec.hrIndex) ? HrWords(rec.hrIndex).c_str() : "no entries");
        }
        printf("\n");
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
    return kExitOk;
}
