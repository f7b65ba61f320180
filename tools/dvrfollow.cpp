// kvudpsrc follow and copy: reading a DVR buffer from any process.
//
// follow STUB.KBL reads the stream from the oldest byte kept (or --from
// OFFSET) and keeps reading while the writer is live, writing every byte to
// the output. Data that the ring overwrote before we got to it is reported
// on standard error as a discontinuity, with the range that was lost. The
// last line on standard error is the final status: the writer stopped (exit
// 0), the writer died without closing the buffer (exit 1, RPC_E_DISCONNECTED)
// or a read failed (exit 1 with its status).
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/common/trace/trace.h"
#include "tools/commands.h"

namespace {

int FollowUsage()
{
    fprintf(stderr,
            "usage: kvudpsrc follow [--from OFFSET] [--out FILE] STUB.KBL\n"
            "  Follows a live or finished DVR buffer and writes its stream to FILE (default: standard\n"
            "  output), from OFFSET (default: the oldest byte kept). Discontinuities and the final\n"
            "  status go to standard error. Ends when the writer stops (exit 0) or dies (exit 1).\n");
    return 2;
}

bool WriteAll(int fd, const BYTE* pb, size_t cb)
{
    while (cb > 0) {
        const ssize_t n = write(fd, pb, cb);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pb += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

HRESULT OpenSource(const char* pszStub, CDVRSourceObject* pSource)
{
    const CWString strStub = Utf8ToWide(pszStub);
    HRESULT hr = pSource->SetStubFileName(strStub.c_str(), static_cast<int>(strStub.size()), FALSE);
    if (SUCCEEDED(hr))
        hr = pSource->StartDVRReader(nullptr);
    return hr;
}

}  // namespace

int FollowMain(int argc, char** argv)
{
    long long llFrom = -1;
    const char* pszOut = nullptr;
    const char* pszStub = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--from") && i + 1 < argc) {
            char* pEnd = nullptr;
            llFrom = strtoll(argv[++i], &pEnd, 0);
            if (!*argv[i] || *pEnd || llFrom < 0)
                return FollowUsage();
        } else if (!strcmp(argv[i], "--out") && i + 1 < argc) {
            pszOut = argv[++i];
        } else if (argv[i][0] == '-' || pszStub) {
            return FollowUsage();
        } else {
            pszStub = argv[i];
        }
    }
    if (!pszStub)
        return FollowUsage();

    int fdOut = STDOUT_FILENO;
    if (pszOut) {
        fdOut = open(pszOut, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fdOut < 0) {
            fprintf(stderr, "kvudpsrc follow: %s: %s\n", pszOut, TraceHr(HrFromErrno(errno)));
            return 1;
        }
    }
    CDVRSourceObject source;
    source.NonDelegatingAddRef();  // owned by this scope
    HRESULT hr = OpenSource(pszStub, &source);
    if (FAILED(hr)) {
        fprintf(stderr, "kvudpsrc follow: %s: %s\n", pszStub, TraceHr(hr));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);  // a closed pipe is a write failure, reported below

    double dFirst = 0, dCur = 0, dLast = 0;
    (void)source.GetAvailableRange(&dFirst, &dCur, &dLast);  // an empty buffer starts at 0
    LONGLONG llPos = llFrom >= 0 ? llFrom : static_cast<LONGLONG>(dFirst);
    // A read waits until it can fill its buffer, so a small one keeps a slow
    // stream moving.
    std::vector<BYTE> buf(16 * 1024);
    unsigned long long ullServed = 0, ullLost = 0;
    unsigned nDiscontinuities = 0;
    HRESULT hrEnd = S_OK;
    for (;;) {
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
            fprintf(stderr, "kvudpsrc follow: discontinuity: bytes %lld..%lld were overwritten; resumed at %lld\n",
                    static_cast<long long>(llAsked), static_cast<long long>(llResumed),
                    static_cast<long long>(llResumed));
        }
        if (cbRead > 0) {
            if (!WriteAll(fdOut, buf.data(), cbRead)) {
                hrEnd = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
                break;
            }
            ullServed += cbRead;
        }
        // A writer that keeps overwriting the position ends a read with the
        // position moved over what it lost; following goes on from there.
        if (hr == S_OK || hr == S_FALSE || hr == KVMM_E_DVR_SUSPENDED || (hr == KVMM_E_DVR_DISCARDED_DATA && bDisc))
            continue;
        if (hr != HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)) {
            hrEnd = hr;
            break;
        }
        // Nothing more to read: the writer stopped, died, or the reader was
        // never linked to one.
        hrEnd = source.WriterHasGone() ? RPC_E_DISCONNECTED : KVMM_E_DVR_STOPPED;
        break;
    }
    (void)source.StopDVRReader();
    if (fdOut != STDOUT_FILENO)
        close(fdOut);
    const char* pszWhy = hrEnd == KVMM_E_DVR_STOPPED     ? "the writer stopped"
                         : hrEnd == RPC_E_DISCONNECTED ? "the writer died without closing the buffer"
                                                       : "read failed";
    fprintf(stderr,
            "kvudpsrc follow: end: %s (%s); %llu bytes served up to offset %lld, %u discontinuities, %llu bytes lost\n",
            pszWhy, TraceHr(hrEnd), ullServed, static_cast<long long>(llPos), nDiscontinuities, ullLost);
    return hrEnd == KVMM_E_DVR_STOPPED ? 0 : 1;
}

int CopyMain(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr,
                "usage: kvudpsrc copy STUB.KBL START END OUT\n"
                "  Copies the stream bytes [START, END) of a DVR buffer into the new file OUT;\n"
                "  END -1 copies to the end of what is written. While the writer is live,\n"
                "  offsets are its own (as follow reports them); once it has stopped they\n"
                "  count from the oldest byte the buffer holds (see dvr-info).\n");
        return 2;
    }
    char* pEnd = nullptr;
    const long long llStart = strtoll(argv[2], &pEnd, 0);
    const bool bStartOk = *argv[2] && !*pEnd && llStart >= 0;
    const long long llEnd = strtoll(argv[3], &pEnd, 0);
    if (!bStartOk || !*argv[3] || *pEnd || (llEnd >= 0 && llEnd <= llStart)) {
        fprintf(stderr, "usage: kvudpsrc copy STUB.KBL START END OUT (0 <= START < END, or END -1)\n");
        return 2;
    }
    CDVRSourceObject source;
    source.NonDelegatingAddRef();
    HRESULT hr = OpenSource(argv[1], &source);
    // Offsets are the writer's while it is live, else they count from the
    // oldest byte the buffer held when this reader started (a stopped
    // writer's count is not kept in the stub); a range outside what is kept
    // is refused rather than copied as an empty or short file.
    double dFirst = 0, dCur = 0, dLast = 0;
    if (SUCCEEDED(hr))
        hr = source.GetAvailableRange(&dFirst, &dCur, &dLast);
    if (SUCCEEDED(hr) && llStart < static_cast<long long>(dFirst))
        hr = KVMM_E_DVR_DISCARDED_DATA;
    else if (SUCCEEDED(hr) && (llStart >= static_cast<long long>(dLast) || llEnd > static_cast<long long>(dLast)))
        hr = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
    if (SUCCEEDED(hr)) {
        const CWString strOut = Utf8ToWide(argv[4]);
        hr = source.CDVREngine::CopyToFile(strOut.c_str(), llStart, llEnd);
    }
    (void)source.StopDVRReader();
    if (FAILED(hr)) {
        fprintf(stderr, "kvudpsrc copy: %s: %s\n", argv[1], TraceHr(hr));
        return 1;
    }
    return 0;
}
