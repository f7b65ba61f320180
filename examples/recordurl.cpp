// recordurl: records a network stream into a file through the network source
// filter, as an application embeds it.
//
//   recordurl URL OUTPUT [--bytes N] [--seconds S]
//
// The filter is created through its registration (run `kvudpsrc register`
// once), put into a graph, given the URL, and connected to a consumer that
// pulls the stream by byte offset from the filter's DVR buffer and writes it
// to OUTPUT ("-" for standard output). Recording ends after N bytes, after S
// seconds (default 10), or when the stream ends. Prints what it wrote on
// standard error. Exit status: 0 success, 1 failure, 2 usage error.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "dshowflt/mpegdemux/kvudpsrc/kvudpsrcif.h"
#include "platform/comload.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pullreader.h"
#include "platform/sync.h"
#include "platform/wtext.h"

namespace {

int Usage()
{
    fprintf(stderr, "usage: recordurl URL OUTPUT [--bytes N] [--seconds S]\n");
    return 2;
}

int Fail(const char* pszWhat, HRESULT hr)
{
    fprintf(stderr, "recordurl: %s failed: 0x%08X\n", pszWhat, static_cast<unsigned>(hr));
    return 1;
}

// Writes everything; false on a write error.
bool WriteAll(int fd, const BYTE* pb, size_t cb)
{
    while (cb > 0) {
        const ssize_t n = write(fd, pb, cb);
        if (n < 0)
            return false;
        pb += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return Usage();
    const std::string strUrl = argv[1];
    const std::string strOut = argv[2];
    long long llMaxBytes = -1;
    double dSeconds = 10;
    for (int i = 3; i < argc; ++i) {
        if (!strcmp(argv[i], "--bytes") && i + 1 < argc)
            llMaxBytes = atoll(argv[++i]);
        else if (!strcmp(argv[i], "--seconds") && i + 1 < argc)
            dSeconds = atof(argv[++i]);
        else
            return Usage();
    }
    const int fd = strOut == "-" ? 1 : open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        fprintf(stderr, "recordurl: %s: %s\n", strOut.c_str(), strerror(errno));
        return 1;
    }

    // The filter, through its registration.
    IBaseFilter* pSource = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_KVUDPSrc, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&pSource));
    if (FAILED(hr))
        return Fail("CoCreateInstance (is the component registered?)", hr);

    CFilterGraph* pGraph = nullptr;
    hr = CFilterGraph::Create(&pGraph);
    if (SUCCEEDED(hr))
        hr = pGraph->AddFilter(pSource, u"source");
    if (FAILED(hr))
        return Fail("AddFilter", hr);

    // In a graph, Load returns once the first data has arrived (or the
    // URL's time-out, 16 s by default, has passed).
    IFileSourceFilter* pFile = nullptr;
    hr = pSource->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&pFile));
    if (SUCCEEDED(hr)) {
        hr = pFile->Load(Utf8ToWide(strUrl).c_str(), nullptr);
        pFile->Release();
    }
    if (FAILED(hr))
        return Fail("Load", hr);

    // The consumer: reads the stream in order and writes it out.
    std::atomic<long long> llWritten{0};
    std::atomic<bool> bWriteError{false};
    CAMEvent evEnd(TRUE);
    std::atomic<HRESULT> hrEnd{S_OK};
    CPullReaderConfig config;
    CPullReader* pReader = nullptr;
    hr = CPullReader::Create(
        config,
        [&](LONGLONG, const BYTE* pb, LONG cb) -> HRESULT {
            long long cbTake = cb;
            if (llMaxBytes >= 0)
                cbTake = std::min<long long>(cbTake, llMaxBytes - llWritten.load());
            if (cbTake > 0 && !WriteAll(fd, pb, static_cast<size_t>(cbTake))) {
                bWriteError = true;
                evEnd.Set();
                return E_FAIL;
            }
            llWritten += cbTake;
            if (llMaxBytes >= 0 && llWritten.load() >= llMaxBytes) {
                evEnd.Set();
                return S_FALSE;  // enough
            }
            return S_OK;
        },
        [&](HRESULT hrStream) {
            hrEnd = hrStream;
            evEnd.Set();
        },
        &pReader);
    if (SUCCEEDED(hr))
        hr = pGraph->AddFilter(pReader, u"writer");
    IPin* pOut = nullptr;
    if (SUCCEEDED(hr))
        hr = pSource->FindPin(u"Output", &pOut);
    if (SUCCEEDED(hr))
        hr = pGraph->ConnectDirect(pOut, pReader->InputPin(), nullptr);
    if (SUCCEEDED(hr))
        hr = pGraph->Run();
    if (FAILED(hr))
        return Fail("connecting the consumer", hr);

    (void)evEnd.Wait(static_cast<DWORD>(dSeconds * 1000));
    (void)pGraph->Stop();
    if (pOut)
        pOut->Release();
    pReader->Release();
    pSource->Release();
    pGraph->Release();
    if (fd != 1)
        close(fd);
    if (bWriteError) {
        fprintf(stderr, "recordurl: %s: write error\n", strOut.c_str());
        return 1;
    }
    fprintf(stderr, "recordurl: %lld bytes written to %s\n", llWritten.load(), strOut.c_str());
    return FAILED(hrEnd.load()) ? Fail("reading the stream", hrEnd.load()) : 0;
}
