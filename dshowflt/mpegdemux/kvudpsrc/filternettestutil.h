// Helpers of the filter's network tests: loopback ports, a paced sender of
// the test transport stream (tools/tsgen.h: every byte a function of its
// offset), the filter in a graph with a pulling consumer that checks every
// byte it reads, and a ring in a temporary folder. Test-only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrtest_util.h"
#include "dshowflt/mpegdemux/kvudpsrc/filtertestutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrc.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pullreader.h"
#include "platform/graph/testfilters.h"
#include "platform/wtext.h"
#include "tools/tsgen.h"

namespace filtertest {

// A loopback port nobody listens on right now (host order).
inline WORD FreePort(int nType = SOCK_DGRAM)
{
    return commontest::FreeLoopbackPort(nType);
}

inline std::u16string UdpUrl(WORD wPort, const char* pszOptions = "")
{
    return Utf8ToWide("udp://127.0.0.1:" + std::to_string(wPort) + pszOptions);
}

using dvrtest::CTempFolder;

// Puts the filter's DVR ring (nFiles of cbFile bytes) into strFolder.
inline HRESULT SetRing(CKVMpg2TSSrc* pFilter, const std::string& strFolder, LONG nFiles = 4,
                       double cbFile = 4 << 20)
{
    IKVDVRSink* pSink = nullptr;
    HRESULT hr = pFilter->QueryInterface(IID_IKVDVRSink, reinterpret_cast<void**>(&pSink));
    if (FAILED(hr))
        return hr;
    BSTR bstrDir = SysAllocString(Utf8ToWide(strFolder).c_str());
    BSTR bstrName = SysAllocString(u"Capture");
    hr = pSink->StartChangingAttributes();
    if (SUCCEEDED(hr)) {
        HRESULT hrSet = pSink->SetFolderName(0, bstrDir);
        if (SUCCEEDED(hrSet))
            hrSet = pSink->SetBufferSize(0, nFiles, cbFile);
        if (SUCCEEDED(hrSet))
            hrSet = pSink->SetBaseName(bstrName);
        hr = pSink->EndChangingAttributes(FAILED(hrSet) ? VARIANT_TRUE : VARIANT_FALSE);
        if (FAILED(hrSet))
            hr = hrSet;
    }
    SysFreeString(bstrDir);
    SysFreeString(bstrName);
    pSink->Release();
    return hr;
}

// Sends the test stream to 127.0.0.1:wPort, 7 packets a datagram, from
// packet 0 on: a burst, or paced on a thread of its own at a bit rate.
class CTsSender
{
public:
    static constexpr size_t kPerDatagram = 7;
    static constexpr size_t kDatagram = kPerDatagram * CTsGenerator::kPacketSize;

    // ullStreamRate picks the stream (two rates make streams that differ in
    // their clock fields), not the pace.
    explicit CTsSender(WORD wPort, uint64_t ullStreamRate = CTsGenerator::kDefaultBitRate)
        : m_fd(socket(AF_INET, SOCK_DGRAM, 0)), m_gen(ullStreamRate)
    {
        m_sa.sin_family = AF_INET;
        m_sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_sa.sin_port = htons(wPort);
    }
    ~CTsSender()
    {
        Stop();
        if (m_fd >= 0)
            close(m_fd);
    }
    CTsSender(const CTsSender&) = delete;
    CTsSender& operator=(const CTsSender&) = delete;

    void Burst(size_t nDatagrams)
    {
        for (size_t i = 0; i < nDatagrams; ++i)
            SendNext();
    }
    // Paced at ullBitRate until Stop (or nMax datagrams).
    void Start(uint64_t ullBitRate, size_t nMax = 1000000)
    {
        m_bStop = false;
        m_thread = std::thread([this, ullBitRate, nMax] {
            const auto start = std::chrono::steady_clock::now();
            const double dSecondsPer = static_cast<double>(kDatagram * 8) / static_cast<double>(ullBitRate);
            for (size_t i = 0; i < nMax && !m_bStop; ++i) {
                std::this_thread::sleep_until(start + std::chrono::duration<double>(dSecondsPer * static_cast<double>(i)));
                SendNext();
            }
        });
    }
    void Stop()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    uint64_t Sent() const { return m_ullNext.load() * kDatagram; }

private:
    void SendNext()
    {
        uint8_t ab[kDatagram];
        const uint64_t ull = m_ullNext.load();
        m_gen.Fill(ull * kDatagram, ab, kDatagram);
        (void)sendto(m_fd, ab, sizeof(ab), 0, reinterpret_cast<const sockaddr*>(&m_sa), sizeof(m_sa));
        m_ullNext.store(ull + 1);
    }

    const int m_fd;
    sockaddr_in m_sa = {};
    CTsGenerator m_gen;
    std::atomic<uint64_t> m_ullNext{0};
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// Checks every chunk the consumer reads against the test stream. Offset 0
// of the DVR buffer is the first byte received, wherever in the stream
// that was; a consumer that starts again from 0 (after Stop, or on a new
// buffer) is checked against the same stream.
class CStreamChecker
{
public:
    HRESULT OnData(LONGLONG llPos, const BYTE* pb, LONG cb)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (llPos == 0 || m_llBase < 0)
            m_llBase = FindBase(pb, cb) - llPos;
        if (m_llBase < 0) {
            m_bBad = true;
        } else {
            const long long ll = m_gen.FirstMismatch(static_cast<uint64_t>(m_llBase + llPos), pb, static_cast<size_t>(cb));
            if (ll >= 0 && !m_bBad) {
                m_bBad = true;
                m_llBadAt = llPos + ll;
            }
        }
        m_llHighest = std::max<LONGLONG>(m_llHighest, llPos + cb);
        m_llBytes += cb;
        m_cv.notify_all();
        return S_OK;
    }
    // Until the consumer has read past llPos (bounded).
    bool WaitForPosition(LONGLONG llPos, DWORD dwMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(dwMs * kSlow), [&] { return m_llHighest >= llPos; });
    }
    void Forget()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_llHighest = 0;
    }
    // From now on the bytes read must be those of the stream of this rate
    // (a new buffer, of another sender).
    void Expect(uint64_t ullStreamRate)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_gen = CTsGenerator(ullStreamRate);
        m_llHighest = 0;
        m_llBase = -1;
    }
    bool Good()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return !m_bBad;
    }
    std::string What()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return "base " + std::to_string(m_llBase) + ", first wrong byte at " + std::to_string(m_llBadAt) + " of " +
               std::to_string(m_llBytes);
    }
    LONGLONG Base()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_llBase;
    }

private:
    // The stream offset of pb[0]: found from the first data packet in it.
    LONGLONG FindBase(const BYTE* pb, LONG cb)
    {
        for (LONG i = 0; i + static_cast<LONG>(CTsGenerator::kPacketSize) <= cb; i += CTsGenerator::kPacketSize) {
            const long long llIndex = CTsGenerator::PacketIndexOf(pb + i);
            if (llIndex >= 0)
                return llIndex * static_cast<LONGLONG>(CTsGenerator::kPacketSize) - i;
        }
        return -1 - 0x7FFFFFFF;
    }

    std::mutex m_mtx;
    std::condition_variable m_cv;
    CTsGenerator m_gen;
    LONGLONG m_llBase = -1;
    LONGLONG m_llHighest = 0;
    LONGLONG m_llBytes = 0;
    LONGLONG m_llBadAt = -1;
    bool m_bBad = false;
};

// The filter in a graph, as an application builds it, with a pulling
// consumer connected on demand.
class CSourceGraph
{
public:
    CSourceGraph()
    {
        EXPECT_EQ(S_OK, CFilterGraph::Create(&m_pGraph));
        EXPECT_EQ(S_OK, CKVMpg2TSSrc::CreateInstance(&m_pSrc));
        EXPECT_EQ(S_OK, SetRing(m_pSrc, m_dir.Path()));
    }
    ~CSourceGraph() { Release(); }
    CSourceGraph(const CSourceGraph&) = delete;
    CSourceGraph& operator=(const CSourceGraph&) = delete;

    HRESULT Join() { return m_pGraph->AddFilter(m_pSrc, u"source"); }
    // The consumer: requests of cbRequest bytes through iid.
    HRESULT ConnectPull(LONG cbRequest = 5264, const IID& iid = IID_IAsyncReader)
    {
        CPullReaderConfig config;
        config.cbRequest = cbRequest;
        config.iidReader = iid;
        HRESULT hr = CPullReader::Create(
            config, [this](LONGLONG llPos, const BYTE* pb, LONG cb) { return m_checker.OnData(llPos, pb, cb); },
            [this](HRESULT hr) { m_hrEnd = hr; }, &m_pReader);
        if (SUCCEEDED(hr))
            hr = m_pGraph->AddFilter(m_pReader, u"consumer");
        if (SUCCEEDED(hr))
            hr = m_pGraph->ConnectDirect(m_pSrc->OutputPin(), m_pReader->InputPin(), nullptr);
        return hr;
    }
    // Drops everything without stopping first: the graph and its filters
    // go while the stream runs.
    void Release()
    {
        if (m_pGraph)
            m_pGraph->Release();
        if (m_pReader)
            m_pReader->Release();
        if (m_pSrc)
            m_pSrc->Release();
        m_pGraph = nullptr;
        m_pReader = nullptr;
        m_pSrc = nullptr;
    }

    CTempFolder m_dir;
    CFilterGraph* m_pGraph = nullptr;
    CKVMpg2TSSrc* m_pSrc = nullptr;
    CPullReader* m_pReader = nullptr;
    CStreamChecker m_checker;
    std::atomic<HRESULT> m_hrEnd{S_OK};
};

}  // namespace filtertest
