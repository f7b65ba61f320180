// kvudpsrc follow and copy: reading a DVR buffer from any process.
//
// follow STUB.KBL reads the stream from the oldest byte kept (or --from
// OFFSET) and keeps reading while the writer is live, writing every byte to
// the output. Data that the ring overwrote before we got to it is reported
// on standard error as a discontinuity, with the range that was lost. The
// last line on standard error is the final status: the writer stopped (exit
// 0), a stop signal (exit 0), the writer died without closing the buffer
// (exit 1), the output could not be written (exit 1) or a read failed (exit
// 1 with its reason).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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

const char kFollowHelp[] =
    "usage: kvudpsrc follow [OPTIONS] STUB.KBL\n"
    "  Follows a live or finished DVR buffer and writes its stream to standard output or\n"
    "  a file, from the oldest byte kept, until the writer stops. Bytes the ring overwrote\n"
    "  before they were read are reported as a discontinuity with the range lost. The\n"
    "  last line on standard error is the final status.\n"
    "\n"
    "  Offsets are the writer's own count of the stream (the same for every follower,\n"
    "  live or after the writer is gone); a writer that starts the buffer again starts\n"
    "  a new stream, with a new identifier, counted from 0, and following goes on there.\n"
    "\n"
    "Options:\n"
    "  -o, --out FILE    write to FILE ('-' or none: standard output)\n"
    "  --from OFFSET     start at OFFSET (as dvr-info counts); past the end of the stream,\n"
    "                    wait for it while the writer is live, fail when it has finished\n"
    "  --from-time TIME  start with the bytes received at TIME: ISO 8601\n"
    "                    (2024-05-06T13:45:10.5Z; local time without a zone) or the\n"
    "                    receive-time log's YYYY_MM_DD__hh_mm_ss_mmm (UTC); a transport\n"
    "                    stream starts on a packet boundary\n"
    "  --keyframe        start at the first random-access point at or after the start\n"
    "                    (transport streams only)\n"
    "  --stream ID       fail unless the buffer still holds stream ID (dvr-info shows it)\n"
    "  --wait            wait for a stub that does not exist yet, or whose writer is not\n"
    "                    live yet, instead of failing or reading a finished buffer\n"
    "\n"
    "Exit status: 0 when the writer stopped or on SIGINT/SIGTERM; 1 when the writer died\n"
    "without closing the buffer, a read or a write failed.\n";

const char kCopyHelp[] =
    "usage: kvudpsrc copy [OPTIONS] STUB.KBL START END OUT\n"
    "       kvudpsrc copy [OPTIONS] --from-time TIME [--to-time TIME] STUB.KBL OUT\n"
    "  Copies the stream bytes [START, END) of a DVR buffer into OUT ('-': standard\n"
    "  output). END 'end' (or -1) copies to the end of what is written. Offsets are the\n"
    "  writer's own count of the stream (dvr-info shows them); a buffer written without\n"
    "  a time index counts from its oldest byte once the writer is gone. A range the\n"
    "  buffer does not hold is refused; a range the writer overwrites during the copy\n"
    "  fails the copy. An unfinished output file is removed.\n"
    "\n"
    "Options:\n"
    "  --from-time TIME  copy from the bytes received at TIME (ISO 8601 such as\n"
    "                    2024-05-06T13:45:10.5Z, local time without a zone, or the\n"
    "                    receive-time log's YYYY_MM_DD__hh_mm_ss_mmm in UTC), found in the\n"
    "                    time index beside the buffer; a transport stream is cut on\n"
    "                    packet boundaries. A time outside the span held is refused\n"
    "  --to-time TIME    ... up to the bytes received at TIME (default: to the end)\n"
    "  --keyframe        start at the first random-access point at or after the start\n"
    "                    (transport streams: random_access_indicator or an H.264 IDR)\n"
    "  --stream ID       fail unless the buffer still holds stream ID (dvr-info shows it)\n";

// Opens the stub for reading: S_OK, or the status that kept it from
// opening. A writer that is not (or no longer) live is not a failure here.
HRESULT OpenSource(const std::string& strStub, CDVRSourceObject* pSource)
{
    const CWString wstrStub = Utf8ToWide(strStub);
    HRESULT hr = pSource->SetStubFileName(wstrStub.c_str(), static_cast<int>(wstrStub.size()), FALSE);
    if (SUCCEEDED(hr))
        hr = pSource->StartDVRReader(nullptr);
    return hr;
}

bool IsLive(CDVRSourceObject* pSource)
{
    VARIANT_BOOL bGrowing = VARIANT_FALSE;
    return SUCCEEDED(pSource->GetIsGrowing(&bGrowing)) && bGrowing == VARIANT_TRUE && !pSource->WriterHasGone();
}

// Sleeps dwMs unless a stop signal comes first; false when it came.
bool PauseUnlessStopped(int nMs)
{
    pollfd pfd = {CStopSignal::Fd(), POLLIN, 0};
    (void)poll(&pfd, 1, nMs);
    return !CStopSignal::Received();
}

// With --wait, a stub still being created reads as missing, empty or cut
// short; each of these may pass.
bool MayAppear(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
           hr == HRESULT_FROM_WIN32(ERROR_READ_FAULT) || hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) ||
           hr == KVMM_E_DVR_CORRUPT_STUB_FILE || hr == KVMM_E_DVR_NO_RECORDINGS;
}

}  // namespace

int FollowMain(int argc, char** argv)
{
    long long llFrom = -1;
    LONGLONG llFromTime = 0;
    std::string strOut = "-";
    std::string strStub, strStream;
    bool bWait = false, bKeyframe = false;
    COptions opts("follow", kFollowHelp);
    opts.Value("--from", nullptr, SetSize(&llFrom, 0, 0x7FFFFFFFFFFFFFFFLL));
    opts.Value("--from-time", nullptr, SetTime(&llFromTime));
    opts.Flag("--keyframe", nullptr, &bKeyframe);
    opts.Value("--stream", nullptr, SetString(&strStream));
    opts.Value("--out", "-o", SetString(&strOut));
    opts.Flag("--wait", nullptr, &bWait);
    opts.Positional("STUB.KBL", true, SetString(&strStub));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;
    const bool bFromTime = opts.Given("--from-time");
    if (bFromTime && opts.Given("--from"))
        return opts.UsageError("--from and --from-time: give one of them");

    CStopSignal::Install();
    const int fdOut = OpenOutput(strOut);
    if (fdOut < 0) {
        PrintError("follow", "output %s: %s", strOut.c_str(), strerror(errno));
        return kExitFailure;
    }
    CProgress progress("follow");
    CDVRSourceObject source;
    source.NonDelegatingAddRef();  // owned by this scope
    HRESULT hr = OpenSource(strStub, &source);
    // --wait: until the stub is readable and a live writer owns it.
    while (bWait && !CStopSignal::Received() && (FAILED(hr) ? MayAppear(hr) : !IsLive(&source))) {
        (void)source.StopDVRReader();
        if (!PauseUnlessStopped(50))
            break;
        hr = OpenSource(strStub, &source);
    }
    if (CStopSignal::Received()) {
        (void)source.StopDVRReader();
        progress.Final(std::string("end: stopped by ") + CStopSignal::Name() + " while waiting for " + strStub);
        return kExitOk;
    }
    if (FAILED(hr)) {
        PrintError("follow", "stub %s: %s", strStub.c_str(), HrWords(hr).c_str());
        return kExitFailure;
    }

    // A read waits for its writer inside the engine, where a signal does not
    // reach it: a flush does.
    CStopWatcher watcher([&source] { source.BeginFlush(); });
    double dFirst = 0, dCur = 0, dLast = 0;
    (void)source.GetAvailableRange(&dFirst, &dCur, &dLast);  // an empty buffer starts at 0
    LONGLONG llPos = llFrom >= 0 ? llFrom : static_cast<LONGLONG>(dFirst);
    CDVRTimeIndex index;
    if ((bFromTime || !strStream.empty()) && !LoadIndexFor("follow", strStub, &source, strStream, &index)) {
        (void)source.StopDVRReader();
        return kExitFailure;
    }
    if (bFromTime && !OffsetForTime("follow", "--from-time", index, llFromTime, false, &llPos)) {
        (void)source.StopDVRReader();
        return kExitFailure;
    }
    if (bFromTime || bKeyframe) {
        LONGLONG llCut = llPos;
        bool bTs = false;
        std::string strWhy;
        if (!AlignCut(&source, llPos, MAX_INT64, bKeyframe, &llCut, &bTs, &strWhy)) {
            (void)source.StopDVRReader();
            if (CStopSignal::Received()) {
                progress.Final(std::string("end: stopped by ") + CStopSignal::Name() + " while looking for the start");
                return kExitOk;
            }
            PrintError("follow", "%s: %s", strStub.c_str(), strWhy.c_str());
            return kExitFailure;
        }
        llPos = llCut;
    }
    GUID guidStream = GUID_NULL;
    bool bStreamKnown = source.GetStreamIdentity(&guidStream);
    PrintNote("follow", "stream %s, from offset %lld",
              bStreamKnown ? GuidToString(guidStream).c_str() : "(no time index)", static_cast<long long>(llPos));
    // Past the end: a live writer may get there; a finished buffer never will.
    while (llPos > static_cast<LONGLONG>(dLast) && IsLive(&source) && PauseUnlessStopped(50))
        (void)source.GetAvailableRange(&dFirst, &dCur, &dLast);
    if (!CStopSignal::Received() && llPos > static_cast<LONGLONG>(dLast)) {
        (void)source.StopDVRReader();
        PrintError("follow", "--from %lld: past the end of the finished stream (end offset %lld)",
                   static_cast<long long>(llPos), static_cast<long long>(dLast));
        return kExitFailure;
    }

    // A read waits until it can fill its buffer, so a small one keeps a slow
    // stream moving.
    std::vector<BYTE> buf(16 * 1024);
    unsigned long long ullServed = 0, ullLost = 0;
    unsigned nDiscontinuities = 0, nRestarts = 0;
    int nWriteErrno = 0;
    hr = S_OK;
    while (!CStopSignal::Received()) {
        if (progress.Due())
            progress.Line(std::to_string(ullServed) + " bytes served, offset " + std::to_string(llPos));
        const LONGLONG llAsked = llPos;
        DWORD cbRead = 0;
        BOOL bDisc = FALSE;
        // No deadline: the read returns as soon as it has bytes.
        hr = source.Read(&llPos, buf.data(), static_cast<DWORD>(buf.size()), &cbRead, TRUE, &bDisc, 0);
        GUID guidNow;
        if (bDisc && source.GetStreamIdentity(&guidNow) && (!bStreamKnown || guidNow != guidStream)) {
            // The writer started the buffer again: a new stream, counted
            // from 0, which is served from its oldest byte (what the read
            // brought from further on comes again).
            guidStream = guidNow;
            bStreamKnown = true;
            (void)source.GetAvailableRange(&dFirst, &dCur, &dLast);
            llPos = static_cast<LONGLONG>(dFirst);
            ++nRestarts;
            PrintNote("follow", "the writer started the buffer again: stream %s, from offset %lld",
                      GuidToString(guidStream).c_str(), static_cast<long long>(llPos));
            if (hr == S_OK || hr == S_FALSE || hr == KVMM_E_DVR_SUSPENDED || hr == KVMM_E_DVR_DISCARDED_DATA)
                continue;
            break;
        }
        if (bDisc) {
            const LONGLONG llResumed = llPos - cbRead;
            ++nDiscontinuities;
            if (llResumed > llAsked)
                ullLost += static_cast<unsigned long long>(llResumed - llAsked);
            PrintError("follow", "discontinuity: bytes %lld..%lld were overwritten; resumed at %lld",
                       static_cast<long long>(llAsked), static_cast<long long>(llResumed),
                       static_cast<long long>(llResumed));
        }
        if (cbRead > 0) {
            if (!WriteAll(fdOut, buf.data(), cbRead)) {
                nWriteErrno = errno;
                break;
            }
            ullServed += cbRead;
        }
        // A writer that keeps overwriting the position ends a read with the
        // position moved over what it lost; following goes on from there.
        if (hr == KVMM_E_DVR_DISCARDED_DATA && bDisc)
            continue;
        if (hr != S_OK && hr != S_FALSE && hr != KVMM_E_DVR_SUSPENDED)
            break;
    }
    const bool bStopped = CStopSignal::Received() != 0;
    // Nothing more to read: the writer stopped, died, or the reader was
    // never linked to one.
    const bool bDied = !bStopped && !nWriteErrno && hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) &&
                       source.WriterHasGone();
    // The source ends any read it cannot serve as the end of the stream; a
    // finished buffer whose end lies further on has bytes that could not be
    // read (a recording missing or cut short), which is no clean stop.
    LONGLONG llEnd = -1;
    if (!bStopped && !bDied && !nWriteErrno && SUCCEEDED(source.GetAvailableRange(&dFirst, &dCur, &dLast)) &&
        !IsLive(&source))
        llEnd = static_cast<LONGLONG>(dLast);
    (void)source.StopDVRReader();
    if (fdOut != STDOUT_FILENO && close(fdOut) != 0 && !nWriteErrno)
        nWriteErrno = errno;

    std::string strWhy;
    int nResult = kExitFailure;
    if (nWriteErrno == EPIPE) {
        strWhy = "the output was closed (" + std::string(strerror(EPIPE)) + ")";
    } else if (nWriteErrno) {
        strWhy = "writing to " + OutputName(strOut) + " failed: " + strerror(nWriteErrno);
    } else if (bStopped) {
        strWhy = std::string("stopped by ") + CStopSignal::Name();
        nResult = kExitOk;
    } else if (bDied) {
        strWhy = "the writer died without closing the buffer";
    } else if ((hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) || hr == KVMM_E_DVR_STOPPED) && llPos < llEnd) {
        strWhy = "bytes " + std::to_string(llPos) + ".." + std::to_string(llEnd) +
                 " of the finished buffer could not be read (a recording is missing or shorter than its record)";
    } else if (hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) || hr == KVMM_E_DVR_STOPPED) {
        strWhy = "the writer stopped";
        nResult = kExitOk;
    } else {
        strWhy = "read failed: " + HrWords(hr);
    }
    const std::string strRestarts = nRestarts ? ", " + std::to_string(nRestarts) + " new streams" : std::string();
    char szTail[300];
    snprintf(szTail, sizeof(szTail), "; %llu bytes served up to offset %lld, %u discontinuities, %llu bytes lost%s",
             ullServed, static_cast<long long>(llPos), nDiscontinuities, ullLost, strRestarts.c_str());
    // A failure is reported even with -q.
    if (nResult == kExitOk)
        progress.Final("end: " + strWhy + szTail);
    else
        PrintError("follow", "end: %s%s", strWhy.c_str(), szTail);
    return nResult;
}

int CopyMain(int argc, char** argv)
{
    std::string strStub, strOut, strStream;
    std::string astrArgs[3];
    long long llStart = 0, llEnd = -1;
    LONGLONG llFromTime = 0, llToTime = 0;
    bool bKeyframe = false;
    COptions opts("copy", kCopyHelp);
    opts.Value("--from-time", nullptr, SetTime(&llFromTime));
    opts.Value("--to-time", nullptr, SetTime(&llToTime));
    opts.Flag("--keyframe", nullptr, &bKeyframe);
    opts.Value("--stream", nullptr, SetString(&strStream));
    opts.Positional("STUB.KBL", true, SetString(&strStub));
    // START END OUT, or OUT alone with --from-time: sorted out below.
    for (std::string& str : astrArgs)
        opts.Positional("OUT", false, SetString(&str));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;
    const bool bFromTime = opts.Given("--from-time");
    const bool bToTime = opts.Given("--to-time");
    const int nArgs = astrArgs[2].empty() ? (astrArgs[1].empty() ? (astrArgs[0].empty() ? 0 : 1) : 2) : 3;
    std::string strWhy;
    if (bFromTime) {
        if (nArgs != 1)
            return opts.UsageError(nArgs == 0 ? "missing OUT" : "with --from-time give STUB.KBL and OUT only");
        strOut = astrArgs[0];
        if (bToTime && llToTime <= llFromTime)
            return opts.UsageError("--to-time: must be later than --from-time");
    } else {
        if (bToTime)
            return opts.UsageError("--to-time: needs --from-time");
        if (nArgs < 3)
            return opts.UsageError("missing %s", nArgs == 0 ? "START" : nArgs == 1 ? "END" : "OUT");
        if (!ParseSize(astrArgs[0].c_str(), 0, 0x7FFFFFFFFFFFFFFFLL, &llStart, &strWhy))
            return opts.UsageError("START: %s", strWhy.c_str());
        if (astrArgs[1] == "end" || astrArgs[1] == "-1")
            llEnd = -1;
        else if (!ParseSize(astrArgs[1].c_str(), 1, 0x7FFFFFFFFFFFFFFFLL, &llEnd, &strWhy))
            return opts.UsageError("END: %s", strWhy.c_str());
        strOut = astrArgs[2];
        if (llEnd >= 0 && llEnd <= llStart)
            return opts.UsageError("END: must be greater than START (%lld), or 'end'", llStart);
    }

    CStopSignal::Install();
    CDVRSourceObject source;
    source.NonDelegatingAddRef();
    HRESULT hr = OpenSource(strStub, &source);
    if (FAILED(hr)) {
        PrintError("copy", "stub %s: %s", strStub.c_str(), HrWords(hr).c_str());
        return kExitFailure;
    }
    CStopWatcher watcher([&source] { source.BeginFlush(); });
    // Offsets are the writer's count (kept by the time index beside the
    // recordings even when it is gone); a range outside what is kept is
    // refused rather than copied as an empty or short file.
    double dFirst = 0, dCur = 0, dLast = 0;
    hr = source.GetAvailableRange(&dFirst, &dCur, &dLast);
    if (FAILED(hr)) {
        (void)source.StopDVRReader();
        PrintError("copy", "stub %s: %s", strStub.c_str(), HrWords(hr).c_str());
        return kExitFailure;
    }
    const long long llFirst = static_cast<long long>(dFirst), llLast = static_cast<long long>(dLast);
    CDVRTimeIndex index;
    if ((bFromTime || !strStream.empty()) && !LoadIndexFor("copy", strStub, &source, strStream, &index)) {
        (void)source.StopDVRReader();
        return kExitFailure;
    }
    if (bFromTime) {
        LONGLONG llA = 0, llB = llLast;
        if (!OffsetForTime("copy", "--from-time", index, llFromTime, false, &llA) ||
            (bToTime && !OffsetForTime("copy", "--to-time", index, llToTime, true, &llB))) {
            (void)source.StopDVRReader();
            return kExitFailure;
        }
        llStart = llA;
        llEnd = llB;
    }
    if (llStart < llFirst || llStart >= llLast || llEnd > llLast) {
        (void)source.StopDVRReader();
        PrintError("copy", "%s: the range %lld..%lld is not in the buffer, which holds %lld..%lld", strStub.c_str(),
                   llStart, llEnd < 0 ? llLast : llEnd, llFirst, llLast);
        return kExitFailure;
    }
    long long llStop = llEnd < 0 ? llLast : llEnd;
    if (bFromTime || bKeyframe) {
        // A piece cut by the clock starts on a packet (and, when asked, at a
        // key frame) and, for a transport stream, ends on the same grid.
        LONGLONG llCut = llStart;
        bool bTs = false;
        if (!AlignCut(&source, llStart, llStop, bKeyframe, &llCut, &bTs, &strWhy)) {
            (void)source.StopDVRReader();
            PrintError("copy", "%s: %s", strStub.c_str(), strWhy.c_str());
            return kExitFailure;
        }
        llStart = llCut;
        if (bTs && bFromTime) {
            const long long llUp = llStart + (llStop - llStart + 187) / 188 * 188;
            llStop = llUp <= llLast ? llUp : llStart + (llLast - llStart) / 188 * 188;
        }
        if (llStop <= llStart) {
            (void)source.StopDVRReader();
            PrintError("copy", "%s: nothing to copy between offsets %lld and %lld", strStub.c_str(), llStart, llStop);
            return kExitFailure;
        }
        LONGLONG llT1 = 0, llT2 = 0;
        const bool bT1 = SUCCEEDED(index.TimeAtOffset(llStart, &llT1));
        const bool bT2 = SUCCEEDED(index.TimeAtOffset(llStop - 1, &llT2));
        PrintNote("copy", "stream %s, offsets %lld..%lld, received %s .. %s", StreamText(index).c_str(), llStart,
                  llStop, bT1 ? FormatFileTime(llT1).c_str() : "(unknown)",
                  bT2 ? FormatFileTime(llT2).c_str() : "(unknown)");
    }

    const int fdOut = OpenOutput(strOut);
    if (fdOut < 0) {
        (void)source.StopDVRReader();
        PrintError("copy", "output %s: %s", strOut.c_str(), strerror(errno));
        return kExitFailure;
    }
    std::vector<BYTE> buf(256 * 1024);
    LONGLONG llPos = llStart;
    int nWriteErrno = 0;
    hr = S_OK;
    while (llPos < llStop && !CStopSignal::Received()) {
        DWORD cbRead = 0;
        BOOL bDisc = FALSE;
        const DWORD cbWant = static_cast<DWORD>(std::min<long long>(static_cast<long long>(buf.size()), llStop - llPos));
        hr = source.Read(&llPos, buf.data(), cbWant, &cbRead, FALSE, &bDisc, 0);
        if (cbRead > 0 && !WriteAll(fdOut, buf.data(), cbRead)) {
            nWriteErrno = errno;
            break;
        }
        if (FAILED(hr) || (cbRead == 0 && hr != S_OK))
            break;
    }
    (void)source.StopDVRReader();
    if (fdOut != STDOUT_FILENO && close(fdOut) != 0 && !nWriteErrno)
        nWriteErrno = errno;
    const bool bDone = llPos >= llStop && !nWriteErrno;
    if (!bDone && fdOut != STDOUT_FILENO)
        (void)unlink(strOut.c_str());
    if (bDone) {
        PrintDetail("copy", "%lld bytes copied to %s", llStop - llStart, OutputName(strOut).c_str());
        return kExitOk;
    }
    const std::string strGot = std::to_string(llPos - llStart) + " of " + std::to_string(llStop - llStart) + " bytes";
    if (nWriteErrno == EPIPE)
        PrintError("copy", "the output was closed (%s) after %s", strerror(EPIPE), strGot.c_str());
    else if (nWriteErrno)
        PrintError("copy", "output %s: %s after %s", OutputName(strOut).c_str(), strerror(nWriteErrno), strGot.c_str());
    else if (CStopSignal::Received())
        PrintError("copy", "stopped by %s after %s", CStopSignal::Name(), strGot.c_str());
    else if (hr == KVMM_E_DVR_DISCARDED_DATA)
        PrintError("copy", "the writer overwrote offset %lld before it was copied (%s copied)",
                   static_cast<long long>(llPos), strGot.c_str());
    else
        PrintError("copy", "stub %s: reading at offset %lld: %s", strStub.c_str(), static_cast<long long>(llPos),
                   HrWords(hr).c_str());
    return kExitFailure;
}
