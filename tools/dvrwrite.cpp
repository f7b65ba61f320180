// kvudpsrc dvr-write: records standard input (or a generated test pattern)
// into a DVR ring that any process of the same user can follow while it
// grows, which makes the ring a time-shift buffer for anything piped in.
//
// The first line on standard output is "stub PATH", flushed at once, so a
// script or test knows what to follow. The writer stops (and tells its
// followers) at the end of the input, after --total bytes, or on SIGINT or
// SIGTERM.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/thread.h"
#include "tools/commands.h"
#include "tools/pattern.h"

namespace {

volatile sig_atomic_t g_bStop = 0;

void OnStopSignal(int)
{
    g_bStop = 1;
}

int Usage()
{
    fprintf(stderr,
            "usage: kvudpsrc dvr-write [--folder DIR]... [--files N] [--file-size BYTES] [--name BASE]\n"
            "                          [--pattern SEED] [--total BYTES] [--rate BYTES_PER_S] [--block BYTES]\n"
            "  Writes standard input, or with --pattern a deterministic test stream, into a ring of\n"
            "  N recording files (default 10) of at most BYTES each (default 10485760) in each DIR\n"
            "  (default: the temporary-files folder). Prints \"stub PATH\" first; stops at the end of\n"
            "  the input, after --total bytes, or on SIGINT/SIGTERM. --rate limits the write rate;\n"
            "  --block sets the size of one write (default 65536; a write never spans two files).\n");
    return 2;
}

bool ParseNumber(const char* psz, long long llMin, long long* pll)
{
    char* pEnd = nullptr;
    const long long ll = strtoll(psz, &pEnd, 0);
    if (!*psz || *pEnd || ll < llMin)
        return false;
    *pll = ll;
    return true;
}

struct CSinkHolder
{
    CSinkHolder() : p(new CBaseDVRSink("kvudpsrc dvr-write", nullptr)) { p->NonDelegatingAddRef(); }
    ~CSinkHolder() { p->NonDelegatingRelease(); }
    CBaseDVRSink* p;
};

int Fail(const char* pszWhat, HRESULT hr)
{
    fprintf(stderr, "kvudpsrc dvr-write: %s: %s\n", pszWhat, TraceHr(hr));
    return 1;
}

}  // namespace

int DvrWriteMain(int argc, char** argv)
{
    std::vector<std::string> aFolders;
    long long llFiles = 10, llFileSize = 10 * 1024 * 1024, llSeed = -1, llTotal = -1, llRate = 0, llBlock = 65536;
    std::string strName;
    for (int i = 1; i < argc; ++i) {
        const char* pszOpt = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const char* pszVal = argv[++i];
        bool bOk = true;
        if (!strcmp(pszOpt, "--folder"))
            aFolders.push_back(pszVal);
        else if (!strcmp(pszOpt, "--name"))
            strName = pszVal;
        else if (!strcmp(pszOpt, "--files"))
            bOk = ParseNumber(pszVal, 2, &llFiles) && llFiles < 100000;
        else if (!strcmp(pszOpt, "--file-size"))
            bOk = ParseNumber(pszVal, 2, &llFileSize);
        else if (!strcmp(pszOpt, "--pattern"))
            bOk = ParseNumber(pszVal, 0, &llSeed);
        else if (!strcmp(pszOpt, "--total"))
            bOk = ParseNumber(pszVal, 0, &llTotal);
        else if (!strcmp(pszOpt, "--rate"))
            bOk = ParseNumber(pszVal, 0, &llRate);
        else if (!strcmp(pszOpt, "--block"))
            bOk = ParseNumber(pszVal, 1, &llBlock) && llBlock <= 16 * 1024 * 1024;
        else
            bOk = false;
        if (!bOk)
            return Usage();
    }
    if (llBlock > llFileSize) {
        fprintf(stderr, "kvudpsrc dvr-write: --block must not exceed --file-size\n");
        return Usage();
    }

    CSinkHolder sink;
    CBaseDVRSink* pSink = sink.p;
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
    if (SUCCEEDED(hr))
        hr = hrEnd;
    if (FAILED(hr))
        return Fail("configuring the buffer", hr);
    hr = pSink->StartDVR();
    if (FAILED(hr))
        return Fail("starting the buffer", hr);
    printf("stub %s\n", WideToUtf8(pSink->GetStubPath()).c_str());
    fflush(stdout);

    signal(SIGINT, OnStopSignal);
    signal(SIGTERM, OnStopSignal);
    signal(SIGPIPE, SIG_IGN);

    std::vector<BYTE> buf(static_cast<size_t>(llBlock));
    unsigned long long ullWritten = 0;
    const DWORD dwStart = GetTickCount();
    HRESULT hrWrite = S_OK;
    while (!g_bStop && (llTotal < 0 || ullWritten < static_cast<unsigned long long>(llTotal))) {
        size_t cb = buf.size();
        if (llTotal >= 0)
            cb = static_cast<size_t>(
                std::min<unsigned long long>(cb, static_cast<unsigned long long>(llTotal) - ullWritten));
        if (llSeed >= 0) {
            for (size_t k = 0; k < cb; ++k)
                buf[k] = PatternByte(static_cast<uint64_t>(llSeed), ullWritten + k);
        } else {
            // Whatever has arrived goes into the ring at once: a live stream
            // piped in must not wait for a whole block.
            const ssize_t n = read(STDIN_FILENO, buf.data(), cb);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            cb = static_cast<size_t>(n);
        }
        // Throttle: wait until the rate allows this block, publishing what
        // was written meanwhile as an idle receive loop does.
        while (llRate > 0 && !g_bStop) {
            const unsigned long long ullDue = static_cast<unsigned long long>(TickDiff(GetTickCount(), dwStart)) *
                                              static_cast<unsigned long long>(llRate) / 1000;
            if (ullDue >= ullWritten)
                break;
            (void)pSink->BeginWaitingForData();
            Sleep(static_cast<DWORD>(std::min<unsigned long long>(20, (ullWritten - ullDue) * 1000 / llRate + 1)));
        }
        hrWrite = pSink->WriteData(buf.data(), static_cast<LONG>(cb));
        if (FAILED(hrWrite))
            break;
        ullWritten += cb;
    }
    const HRESULT hrStop = pSink->StopDVR();
    if (FAILED(hrWrite))
        return Fail("writing", hrWrite);
    if (FAILED(hrStop))
        return Fail("stopping", hrStop);
    fprintf(stderr, "kvudpsrc dvr-write: %llu bytes written\n", ullWritten);
    return 0;
}
