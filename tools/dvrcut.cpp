// Cutting a DVR buffer by the clock (see dvrcut.h).
#include "tools/dvrcut.h"

#include <algorithm>
#include <vector>

#include "platform/filetime.h"
#include "tools/cli.h"
#include "tools/timearg.h"
#include "tools/tscut.h"

namespace {

// A transport stream shows itself within this many bytes of any offset.
constexpr DWORD kSyncWindow = 8 * tscut::kPacketSize * tscut::kSyncRun;
// A key frame is looked for this far at most.
constexpr LONGLONG kMaxKeyframeScan = 256LL << 20;

// Reads what the ring holds at llOffset (at most cb bytes, waiting for a
// live writer when nothing is there yet); 0 at the end of a finished
// stream or on failure (*phr).
DWORD ReadSome(CDVRSourceObject* pSource, LONGLONG llOffset, BYTE* pb, DWORD cb, HRESULT* phr)
{
    DWORD cbRead = 0;
    BOOL bDisc = FALSE;
    LONGLONG llPos = llOffset;
    *phr = pSource->Read(&llPos, pb, cb, &cbRead, FALSE, &bDisc, 0);
    return bDisc ? 0 : cbRead;
}

}  // namespace

std::string StreamText(const CDVRTimeIndex& index)
{
    GUID g;
    return index.GetStreamIdentity(&g) ? GuidToString(g) : std::string("(no time index)");
}

bool LoadIndexFor(const char* pszCommand, const std::string& strStub, CDVRSourceObject* pSource,
                  const std::string& strStream, CDVRTimeIndex* pIndex)
{
    HRESULT hr = pIndex->Load(pSource);
    if (FAILED(hr)) {
        PrintError(pszCommand, "stub %s: %s", strStub.c_str(), HrWords(hr).c_str());
        return false;
    }
    if (!strStream.empty()) {
        GUID want, have;
        if (!GuidFromString(strStream.c_str(), &want)) {
            PrintError(pszCommand, "--stream %s: not a stream identifier ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})",
                       strStream.c_str());
            return false;
        }
        if (!pIndex->GetStreamIdentity(&have) || have != want) {
            PrintError(pszCommand,
                       "%s: the buffer holds stream %s, not %s: the writer started it again, and its offsets count "
                       "from 0 again",
                       strStub.c_str(), StreamText(*pIndex).c_str(), GuidToString(want).c_str());
            return false;
        }
    }
    return true;
}

bool OffsetForTime(const char* pszCommand, const char* pszOption, const CDVRTimeIndex& index, LONGLONG llTime,
                   bool bEnd, LONGLONG* pllOffset)
{
    // Times are typed (and printed) to the millisecond: one within a
    // millisecond of the span's ends means that end.
    LONGLONG llFirst = 0, llLast = 0;
    if (index.GetSpan(&llFirst, &llLast)) {
        if (llTime < llFirst && llFirst - llTime < kFileTimePerMs)
            llTime = llFirst;
        else if (llTime > llLast && llTime - llLast < kFileTimePerMs)
            llTime = llLast;
    }
    HRESULT hr = index.OffsetAtTime(llTime, bEnd, pllOffset);
    if (SUCCEEDED(hr))
        return true;
    if (hr == KVMM_E_NO_RECEIVE_TIME) {
        PrintError(pszCommand, "%s: the buffer has no time index (written by a writer that keeps none, or its "
                               "indexes are unreadable)",
                   pszOption);
        return false;
    }
    PrintError(pszCommand, "%s %s: outside the span the buffer holds, %s .. %s", pszOption,
               FormatFileTime(llTime).c_str(), FormatFileTime(llFirst).c_str(), FormatFileTime(llLast).c_str());
    return false;
}

bool AlignCut(CDVRSourceObject* pSource, LONGLONG llStart, LONGLONG llLimit, bool bKeyframe, LONGLONG* pllCut,
              bool* pbTs, std::string* pstrWhy)
{
    *pllCut = llStart;
    *pbTs = false;
    std::vector<BYTE> buf(64 * 1024);
    HRESULT hr = S_OK;
    DWORD cb = ReadSome(pSource, llStart, buf.data(), kSyncWindow, &hr);
    // A short first read of a live stream is topped up once it grows.
    while (cb > 0 && cb < kSyncWindow && llStart + cb < llLimit) {
        const DWORD cbMore = ReadSome(pSource, llStart + cb, buf.data() + cb, kSyncWindow - cb, &hr);
        if (cbMore == 0)
            break;
        cb += cbMore;
    }
    const long long llSync = tscut::FindPacketStart(buf.data(), cb);
    if (llSync < 0) {
        if (!bKeyframe)
            return true;
        *pstrWhy = "the data at offset " + std::to_string(llStart) + " are no transport stream";
        return false;
    }
    *pbTs = true;
    LONGLONG llPos = llStart + llSync;
    if (!bKeyframe) {
        *pllCut = llPos;
        return true;
    }
    tscut::CRandomAccessFinder finder;
    const LONGLONG llStop = std::min(llLimit, llPos + kMaxKeyframeScan);
    while (llPos + static_cast<LONGLONG>(tscut::kPacketSize) <= llStop && !CStopSignal::Received()) {
        const DWORD cbWant = static_cast<DWORD>(
            std::min<LONGLONG>(static_cast<LONGLONG>(buf.size()), llStop - llPos) / tscut::kPacketSize *
            tscut::kPacketSize);
        cb = ReadSome(pSource, llPos, buf.data(), cbWant, &hr);
        cb -= cb % tscut::kPacketSize;
        if (cb == 0)
            break;
        DWORD q = 0;
        while (q + tscut::kPacketSize <= cb) {
            if (buf[q] != tscut::kSyncByte) {
                // Lost the packet grid (a damaged stretch): find it again,
                // if need be in the next read, which starts where a run of
                // packets at the end of this one could begin.
                const long long llAgain = tscut::FindPacketStart(buf.data() + q + 1, cb - q - 1);
                if (llAgain >= 0) {
                    q += static_cast<DWORD>(llAgain) + 1;
                    continue;
                }
                const DWORD cbTail = tscut::kSyncRun * tscut::kPacketSize;
                q = std::max<DWORD>(q + 1, cb > cbTail ? cb - cbTail : q + 1);
                break;
            }
            long long llCut = 0;
            if (finder.Feed(buf.data() + q, llPos + q, &llCut)) {
                *pllCut = llCut;
                return true;
            }
            q += tscut::kPacketSize;
        }
        llPos += q;
    }
    if (FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_HANDLE_EOF))
        *pstrWhy = "reading at offset " + std::to_string(llPos) + ": " + HrWords(hr);
    else
        *pstrWhy = "--keyframe: no random-access point between offsets " + std::to_string(llStart) + " and " +
                   std::to_string(llPos);
    return false;
}
