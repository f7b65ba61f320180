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
#include "dshowflt/common/trace/trace.h"
#include "tools/cli.h"
#include "tools/commands.h"

namespace {

const char kFollowHelp[] =
    "usage: kvudpsrc follow [OPTIONS] STUB.KBL\n"
    "  Follows a live or finished DVR buffer and writes its stream to standard output or\n"
    "  a file, from the oldest byte kept, until the writer stops. Bytes the ring overwrote\n"
    "  before they were read are reported as a discontinuity with the range lost. The\n"
    "  last line on standard error is the final status.\n"
    "\n"
    "Options:\n"
    "  -o, --out FILE    write to FILE ('-' or none: standard output)\n"
    "  --from OFFSET     start at OFFSET (as dvr-info counts); past the end of the stream,\n"
    "                    wait for it while the writer is live, fail when it has finished\n"
    "  --wait            wait for a stub that does not exist yet, or whose writer is not\n"
    "                    live yet, instead of failing or reading a finished buffer\n"
    "\n"
    "Exit status: 0 when the writer stopped or on SIGINT/SIGTERM; 1 when the writer died\n"
    "without closing the buffer, a read or a write failed.\n";

const char kCopyHelp[] =
    "usage: kvudpsrc copy [OPTIONS] STUB.KBL START END OUT\n"
    "  Copies the stream bytes [START, END) of a DVR buffer into OUT ('-': standard\n"
    "  output). END 'end' (or -1) copies to the end of what is written. Offsets are the\n"
    "  writer's own while it is live, else they count from the oldest byte the buffer\n"
    "  holds (dvr-info shows them). A range the buffer does not\n"
    "  hold is refused; a range the writer overwrites during the copy fails the copy.\n"
    "  An unfinished output file is removed.\n";

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
    std::string strOut = "-";
    std::string strStub;
    bool bWait = false;
    COptions opts("follow", kFollowHelp);
    opts.Value("--from", nullptr, SetSize(&llFrom, 0, 0x7FFFFFFFFFFFFFFFLL));
    opts.Value("--out", "-o", SetString(&strOut));
    opts.Flag("--wait", nullptr, &bWait);
    opts.Positional("STUB.KBL", true, SetString(&strStub));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;

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

    double dFirst = 0, dCur = 0, dLast = 0;
    (void)source.GetAvailableRange(&dFirst, &dCur, &dLast);  // an empty buffer starts at 0
    LONGLONG llPos = llFrom >= 0 ? llFrom : static_cast<LONGLONG>(dFirst);
    // Past the end: a live writer may get there; a finished buffer never will.
    while (llPos > static_cast<LONGLONG>(dLast) && IsLive(&source) && PauseUnlessStopped(50))
        (void)source.GetAvailableRange(&dFirst, &dCur, &dLast);
    if (!CStopSignal::Received() && llPos > static_cast<LONGLONG>(dLast)) {
        (void)source.StopDVRReader();
        PrintError("follow", "--from %lld: past the end of the finished stream (end offset %lld)",
                   static_cast<long long>(llPos), static_cast<long long>(dLast));
        return kExitFailure;
    }

    // A read waits for its writer inside the engine, where a signal does not
    // reach it: a flush does.
    CStopWatcher watcher([&source] { source.BeginFlush(); });
    // A read waits until it can fill its buffer, so a small one keeps a slow
    // stream moving.
    std::vector<BYTE> buf(16 * 1024);
    unsigned long long ullServed = 0, ullLost = 0;
    unsigned nDiscontinuities = 0;
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
    } else if (hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) || hr == KVMM_E_DVR_STOPPED) {
        strWhy = "the writer stopped";
        nResult = kExitOk;
    } else {
        strWhy = "read failed: " + HrWords(hr);
    }
    char szTail[200];
    snprintf(szTail, sizeof(szTail), "; %llu bytes served up to offset %lld, %u discontinuities, %llu bytes lost",
             ullServed, static_cast<long long>(llPos), nDiscontinuities, ullLost);
    // A failure is reported even with -q.
    if (nResult == kExitOk)
        progress.Final("end: " + strWhy + szTail);
    else
        PrintError("follow", "end: %s%s", strWhy.c_str(), szTail);
    return nResult;
}

int CopyMain(int argc, char** argv)
{
    std::string strStub, strOut;
    long long llStart = 0, llEnd = -1;
    COptions opts("copy", kCopyHelp);
    opts.Positional("STUB.KBL", true, SetString(&strStub));
    opts.Positional("START", true, SetSize(&llStart, 0, 0x7FFFFFFFFFFFFFFFLL));
    opts.Positional("END", true, [&llEnd](const char* psz, std::string* pstrWhy) {
        if (!strcmp(psz, "end") || !strcmp(psz, "-1")) {
            llEnd = -1;
            return true;
        }
        return ParseSize(psz, 1, 0x7FFFFFFFFFFFFFFFLL, &llEnd, pstrWhy);
    });
    opts.Positional("OUT", true, SetString(&strOut));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;
    if (llEnd >= 0 && llEnd <= llStart)
        return opts.UsageError("END: must be greater than START (%lld), or 'end'", llStart);

    CStopSignal::Install();
    CDVRSourceObject source;
    source.NonDelegatingAddRef();
    HRESULT hr = OpenSource(strStub, &source);
    if (FAILED(hr)) {
        PrintError("copy", "stub %s: %s", strStub.c_str(), HrWords(hr).c_str());
        return kExitFailure;
    }
    // Offsets are the writer's while it is live, else they count from the
    // oldest byte the buffer held when this reader started (a stopped
    // writer's count is not kept in the stub); a range outside what is kept
    // is refused rather than copied as an empty or short file.
    double dFirst = 0, dCur = 0, dLast = 0;
    hr = source.GetAvailableRange(&dFirst, &dCur, &dLast);
    const long long llFirst = static_cast<long long>(dFirst), llLast = static_cast<long long>(dLast);
    if (SUCCEEDED(hr) && (llStart < llFirst || llStart >= llLast || llEnd > llLast)) {
        (void)source.StopDVRReader();
        PrintError("copy", "%s: the range %lld..%lld is not in the buffer, which holds %lld..%lld", strStub.c_str(),
                   llStart, llEnd < 0 ? llLast : llEnd, llFirst, llLast);
        return kExitFailure;
    }
    if (FAILED(hr)) {
        (void)source.StopDVRReader();
        PrintError("copy", "stub %s: %s", strStub.c_str(), HrWords(hr).c_str());
        return kExitFailure;
    }
    const long long llStop = llEnd < 0 ? llLast : llEnd;

    const int fdOut = OpenOutput(strOut);
    if (fdOut < 0) {
        (void)source.StopDVRReader();
        PrintError("copy", "output %s: %s", strOut.c_str(), strerror(errno));
        return kExitFailure;
    }
    CStopWatcher watcher([&source] { source.BeginFlush(); });
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
