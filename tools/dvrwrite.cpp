// kvudpsrc dvr-write: records standard input (or a generated test pattern)
// into a DVR ring that any process of the same user can follow while it
// grows, which makes the ring a time-shift buffer for anything piped in.
//
// The first line on standard output is "stub PATH", flushed at once, so a
// script or test knows what to follow. The writer stops (and tells its
// followers) at the end of the input, after --total bytes, or on SIGINT or
// SIGTERM, whatever the input is doing: the input is only read when poll()
// says it is readable, and the stop signal wakes the same poll().
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/thread.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/pattern.h"
#include "tools/timearg.h"
#include "tools/tsgen.h"

namespace {

const char kHelp[] =
    "usage: kvudpsrc dvr-write [OPTIONS]\n"
    "  Writes standard input, or with --pattern a deterministic test stream, into a ring\n"
    "  of recording files that other processes can follow (kvudpsrc follow) while it grows.\n"
    "  Prints \"stub PATH\" on standard output first; stops at the end of the input, after\n"
    "  --total bytes, or on SIGINT/SIGTERM (within 100 ms, even while the input is idle),\n"
    "  then prints its final status line. The ring's files stay on disk.\n"
    "\n"
    "Options:\n"
    "  --folder DIR        a folder of the ring (repeatable; default: the temporary-files folder)\n"
    "  --files N           recording files per folder, 2 to 99999 (default 10)\n"
    "  --file-size BYTES   largest size of one recording file (default 10M)\n"
    "  --name BASE         base name of the stub and recording files (default Capture)\n"
    "  --pattern SEED      write the test pattern of SEED instead of standard input\n"
    "  --ts-pattern        write the built-in test transport stream (as kvudpsrc send) instead\n"
    "                      of standard input, in writes of 7 packets unless --block says; its\n"
    "                      clock (PCR, PTS) follows --rate, and the line \"time0 FILETIME ISO\"\n"
    "                      tells when its clock started\n"
    "  --total BYTES       stop after BYTES\n"
    "  --rate BYTES        write at most BYTES per second\n"
    "  --block BYTES       size of one write, at most --file-size (default 64K); a write\n"
    "                      never spans two files\n";

struct CSinkHolder
{
    CSinkHolder() : p(new CBaseDVRSink("kvudpsrc dvr-write", nullptr)) { p->NonDelegatingAddRef(); }
    ~CSinkHolder() { p->NonDelegatingRelease(); }
    CBaseDVRSink* p;
};

// " (recording PATH)" for the slot the writer last worked on, or nothing.
std::string CurrentRecordingText(CBaseDVRSink* pSink, const std::string& strStub)
{
    LONG lStatus = 0, lFolder = 0, lSlot = -1;
    double dSize = 0;
    if (FAILED(pSink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize)) || lSlot < 0)
        return std::string();
    BSTR bstrPath = nullptr;
    double dRecord = 0, dOnDisk = 0;
    LONG lPlay = 0, lState = 0;
    if (FAILED(pSink->GetRecordingInfo(lSlot, &bstrPath, &dRecord, &dOnDisk, &lPlay, &lState)) || !bstrPath)
        return std::string();
    std::string strPath = WideToUtf8(bstrPath);
    SysFreeString(bstrPath);
    // Records keep a name relative to the stub's folder.
    if (!strPath.empty() && strPath[0] != '/') {
        const size_t nSlash = strStub.rfind('/');
        strPath = (nSlash == std::string::npos ? std::string() : strStub.substr(0, nSlash + 1)) + strPath;
    }
    return " (recording " + strPath + ")";
}

HRESULT Configure(CBaseDVRSink* pSink, const std::vector<std::string>& aFolders, long long llFiles,
                  long long llFileSize, const std::string& strName)
{
    const LONG nFolders = aFolders.empty() ? 1 : static_cast<LONG>(aFolders.size());
    HRESULT hr = pSink->StartChangingAttributes();
    if (SUCCEEDED(hr))
        hr = pSink->SetFolderCount(nFolders);
    for (LONG i = 0; SUCCEEDED(hr) && i < static_cast<LONG>(aFolders.size()); ++i) {
        BSTR bstr = SysAllocString(Utf8ToWide(aFolders[static_cast<size_t>(i)]).c_str());
        hr = bstr ? pSink->SetFolderName(i, bstr) : E_OUTOFMEMORY;
        SysFreeString(bstr);
    }
    for (LONG i = 0; SUCCEEDED(hr) && i < nFolders; ++i)
        hr = pSink->SetBufferSize(i, static_cast<LONG>(llFiles), static_cast<double>(llFileSize));
    if (SUCCEEDED(hr) && !strName.empty()) {
        BSTR bstr = SysAllocString(Utf8ToWide(strName).c_str());
        hr = bstr ? pSink->SetBaseName(bstr) : E_OUTOFMEMORY;
        SysFreeString(bstr);
    }
    const HRESULT hrEnd = pSink->EndChangingAttributes(FAILED(hr) ? VARIANT_TRUE : VARIANT_FALSE);
    return SUCCEEDED(hr) ? hrEnd : hr;
}

// Waits until standard input is readable or a stop signal came; while the
// writer holds unpublished bytes it wakes every 25 ms to publish them, so
// that followers see the end of a burst without waiting for more input.
// False when a stop signal came.
bool WaitForInput(CBaseDVRSink* pSink)
{
    for (;;) {
        if (CStopSignal::Received())
            return false;
        const bool bUnpublished = pSink->BeginWaitingForData() != FALSE;
        pollfd afd[2] = {{STDIN_FILENO, POLLIN, 0}, {CStopSignal::Fd(), POLLIN, 0}};
        const int n = poll(afd, 2, bUnpublished ? 25 : -1);
        if (n < 0 && errno != EINTR)
            return true;  // let the read report what is wrong
        if (CStopSignal::Received())
            return false;
        if (n > 0 && afd[0].revents)
            return true;
    }
}

std::string Megabytes(unsigned long long ull)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%.1f MB", static_cast<double>(ull) / 1e6);
    return sz;
}

}  // namespace

int DvrWriteMain(int argc, char** argv)
{
    std::vector<std::string> aFolders;
    long long llFiles = 10, llFileSize = 10 * 1024 * 1024, llSeed = -1, llTotal = -1, llRate = 0, llBlock = 65536;
    std::string strName;
    bool bTsPattern = false;
    COptions opts("dvr-write", kHelp);
    opts.Value("--folder", nullptr, AddString(&aFolders));
    opts.Value("--files", nullptr, SetSize(&llFiles, 2, 99999));
    opts.Value("--file-size", nullptr, SetSize(&llFileSize, 2, 1LL << 40));
    opts.Value("--name", nullptr, SetString(&strName));
    opts.Value("--pattern", nullptr, SetInteger(&llSeed, 0, 0x7FFFFFFFFFFFFFFFLL));
    opts.Flag("--ts-pattern", nullptr, &bTsPattern);
    opts.Value("--total", nullptr, SetSize(&llTotal, 0, 0x7FFFFFFFFFFFFFFFLL));
    opts.Value("--rate", nullptr, SetSize(&llRate, 1, 1LL << 40));
    opts.Value("--block", nullptr, SetSize(&llBlock, 1, 16 * 1024 * 1024));
    int nExit = 0;
    if (!opts.Parse(argc, argv, &nExit))
        return nExit;
    if (bTsPattern && opts.Given("--pattern"))
        return opts.UsageError("--pattern and --ts-pattern: give one of them");
    if (bTsPattern && !opts.Given("--block"))
        llBlock = std::min<long long>(7 * CTsGenerator::kPacketSize, llFileSize);
    if (llBlock > llFileSize)
        return opts.UsageError("--block: at most --file-size (%lld)", llFileSize);
    for (const std::string& strFolder : aFolders) {
        std::string strWhy;
        if (!CheckWritableFolder(strFolder, &strWhy)) {
            PrintError("dvr-write", "folder %s: %s", strFolder.c_str(), strWhy.c_str());
            return kExitFailure;
        }
    }

    CStopSignal::Install();
    CSinkHolder sink;
    CBaseDVRSink* pSink = sink.p;
    HRESULT hr = Configure(pSink, aFolders, llFiles, llFileSize, strName);
    if (FAILED(hr)) {
        PrintError("dvr-write", "configuring the ring: %s", HrWords(hr).c_str());
        return kExitFailure;
    }
    hr = pSink->StartDVR();
    if (FAILED(hr)) {
        PrintError("dvr-write", "starting the ring in %s: %s",
                   aFolders.empty() ? "the temporary-files folder" : aFolders[0].c_str(), HrWords(hr).c_str());
        return kExitFailure;
    }
    const std::string strStub = WideToUtf8(pSink->GetStubPath());
    printf("stub %s\n", strStub.c_str());
    fflush(stdout);

    CProgress progress("dvr-write");
    std::vector<BYTE> buf(static_cast<size_t>(llBlock));
    unsigned long long ullWritten = 0;
    const DWORD dwStart = GetTickCount();
    // The test stream's clock: byte o is due o / rate seconds after this.
    const CTsGenerator tsgen(static_cast<uint64_t>(llRate) * 8);
    if (bTsPattern && llRate > 0) {
        const LONGLONG llTime0 = dvr::IndexWallClockNow();
        printf("time0 %lld %s\n", static_cast<long long>(llTime0), FormatFileTime(llTime0).c_str());
        fflush(stdout);
    }
    HRESULT hrWrite = S_OK;
    int nReadErrno = 0;
    bool bInputEnded = false;
    while (!CStopSignal::Received() && (llTotal < 0 || ullWritten < static_cast<unsigned long long>(llTotal))) {
        if (progress.Due())
            progress.Line(Megabytes(ullWritten) + " written");
        size_t cb = buf.size();
        if (llTotal >= 0)
            cb = static_cast<size_t>(
                std::min<unsigned long long>(cb, static_cast<unsigned long long>(llTotal) - ullWritten));
        if (bTsPattern) {
            tsgen.Fill(ullWritten, buf.data(), cb);
        } else if (llSeed >= 0) {
            for (size_t k = 0; k < cb; ++k)
                buf[k] = PatternByte(static_cast<uint64_t>(llSeed), ullWritten + k);
        } else {
            if (!WaitForInput(pSink))
                break;
            // Whatever has arrived goes into the ring at once: a live stream
            // piped in must not wait for a whole block.
            const ssize_t n = read(STDIN_FILENO, buf.data(), cb);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0)
                nReadErrno = errno;
            if (n <= 0) {
                bInputEnded = n == 0;
                break;
            }
            cb = static_cast<size_t>(n);
        }
        // Throttle: wait until the rate allows this block, publishing what
        // was written meanwhile as an idle receive loop does.
        while (llRate > 0 && !CStopSignal::Received()) {
            const unsigned long long ullDue = static_cast<unsigned long long>(TickDiff(GetTickCount(), dwStart)) *
                                              static_cast<unsigned long long>(llRate) / 1000;
            if (ullDue >= ullWritten)
                break;
            (void)pSink->BeginWaitingForData();
            pollfd pfd = {CStopSignal::Fd(), POLLIN, 0};
            (void)poll(&pfd, 1,
                       static_cast<int>(std::min<unsigned long long>(20, (ullWritten - ullDue) * 1000 / llRate + 1)));
        }
        if (CStopSignal::Received())
            break;
        hrWrite = pSink->WriteData(buf.data(), static_cast<LONG>(cb));
        if (FAILED(hrWrite))
            break;
        ullWritten += cb;
    }
    // The recording being written when a write failed: with a full disk it
    // is the file that could not grow (or be made), which the user looks for.
    const std::string strAt = FAILED(hrWrite) ? CurrentRecordingText(pSink, strStub) : std::string();
    const HRESULT hrStop = pSink->StopDVR();
    if (FAILED(hrWrite)) {
        PrintError("dvr-write", "writing to %s%s: %s; %llu bytes written", strStub.c_str(), strAt.c_str(),
                   HrWords(hrWrite).c_str(), ullWritten);
        return kExitFailure;
    }
    if (nReadErrno) {
        PrintError("dvr-write", "reading standard input: %s; %llu bytes written", strerror(nReadErrno), ullWritten);
        return kExitFailure;
    }
    if (FAILED(hrStop)) {
        PrintError("dvr-write", "closing %s: %s; %llu bytes written", strStub.c_str(), HrWords(hrStop).c_str(),
                   ullWritten);
        return kExitFailure;
    }
    const std::string strWhy = CStopSignal::Received() ? std::string("stopped by ") + CStopSignal::Name()
                               : bInputEnded         ? std::string("end of input")
                                                     : std::string("--total reached");
    progress.Final("end: " + strWhy + "; " + std::to_string(ullWritten) + " bytes written to " + strStub);
    return kExitOk;
}
