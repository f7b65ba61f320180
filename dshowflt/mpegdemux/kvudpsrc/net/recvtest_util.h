// Helpers of the receive-thread tests: a recording output pin and a filter
// double, a holder that owns a receive thread on a ring in a temporary
// folder, a reader for the ring, a trace capture and the test streams.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/trace/trace.h"
#include "dshowflt/common/trace/traceseams.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/sockettest_util.h"
#include "platform/graph/mtype.h"

namespace recvtest {

typedef std::vector<BYTE> Bytes;

// Time bounds of the tests, longer under the sanitizers.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr DWORD kSlow = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr DWORD kSlow = 4;
#else
constexpr DWORD kSlow = 1;
#endif
#else
constexpr DWORD kSlow = 1;
#endif

// What the pin was handed, unit by unit.
struct SUnit
{
    Bytes data;
    REFERENCE_TIME rtStart;
    REFERENCE_TIME rtLatency;
    DWORD dwFlags;
    BOOL bEndOfUnit;
};

class CTestPin : public IRecvOutputPin
{
public:
    HRESULT DeliverData(const BYTE* pb, LONG cb, REFERENCE_TIME rtNetworkStart, REFERENCE_TIME rtLatency,
                        DWORD dwUnitFlags, BOOL bEndOfUnit) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_units.push_back(SUnit{Bytes(pb, pb + cb), rtNetworkStart, rtLatency, dwUnitFlags, bEndOfUnit});
        m_cbTotal += cb;
        if (m_cbTotal >= m_cbTarget || static_cast<LONG>(m_units.size()) >= m_nTargetUnits)
            m_evReached.Set();
        return m_units.size() == m_nFailAt ? m_hrFail : S_OK;
    }

    // The event fires once the pin holds cb bytes or nUnits units.
    void ExpectBytes(LONGLONG cb)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_cbTarget = cb;
        m_nTargetUnits = INT32_MAX;
        if (m_cbTotal >= cb)
            m_evReached.Set();
        else
            m_evReached.Reset();
    }
    void ExpectUnits(LONG nUnits)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nTargetUnits = nUnits;
        m_cbTarget = INT64_MAX;
        if (static_cast<LONG>(m_units.size()) >= nUnits)
            m_evReached.Set();
        else
            m_evReached.Reset();
    }
    bool WaitReached(DWORD dwMs = 5000) { return m_evReached.Wait(dwMs * kSlow) != FALSE; }
    std::vector<SUnit> Units()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_units;
    }
    Bytes AllBytes()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        Bytes v;
        for (const SUnit& u : m_units)
            v.insert(v.end(), u.data.begin(), u.data.end());
        return v;
    }
    void FailAt(size_t nUnit, HRESULT hr)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nFailAt = nUnit;
        m_hrFail = hr;
    }

private:
    std::mutex m_mtx;
    std::vector<SUnit> m_units;
    LONGLONG m_cbTotal = 0;
    LONGLONG m_cbTarget = INT64_MAX;
    LONG m_nTargetUnits = INT32_MAX;
    size_t m_nFailAt = 0;
    HRESULT m_hrFail = S_OK;
    CAMEvent m_evReached{TRUE};
};

class CTestFilter : public IRecvFilter
{
public:
    void SetStarvation(BOOL bStarvation) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_aStarvation.push_back(bStarvation);
    }
    HRESULT OnAttributesChanging(LONG lFlag) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_aAttributeFlags.push_back(lFlag);
        return S_OK;
    }
    HRESULT AskIfIShouldContinueWaiting(DWORD dwElapsedMs) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_aAsked.push_back(dwElapsedMs);
        return static_cast<int>(m_aAsked.size()) >= m_nRefuseAt ? m_hrRefusal : S_OK;
    }
    BOOL HasCallback() override { return m_bCallback; }
    BOOL IsInFilterGraph() override { return FALSE; }
    CBuffer& ParameterBuffer() override { return m_params; }
    HRESULT SetOutputMediaType(const AM_MEDIA_TYPE* pmt) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_mt.Set(*pmt);
    }
    HRESULT GetOutputMediaType(AM_MEDIA_TYPE* pmt) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return CopyMediaType(pmt, &m_mt);
    }
    BOOL IsOutputMediaTypeValid() override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_mt.IsValid();
    }

    CMediaType MediaType()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_mt;
    }
    std::vector<DWORD> Asked()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_aAsked;
    }
    std::vector<LONG> AttributeFlags()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_aAttributeFlags;
    }
    std::vector<BOOL> Starvation()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_aStarvation;
    }
    // With a callback, the application refuses to wait from its nth answer on.
    void SetCallback(bool bCallback, int nRefuseAt = INT32_MAX, HRESULT hrRefusal = E_ABORT)
    {
        m_bCallback = bCallback;
        m_nRefuseAt = nRefuseAt;
        m_hrRefusal = hrRefusal;
    }

private:
    std::mutex m_mtx;
    std::vector<BOOL> m_aStarvation;
    std::vector<LONG> m_aAttributeFlags;
    std::vector<DWORD> m_aAsked;
    std::atomic<BOOL> m_bCallback{FALSE};
    int m_nRefuseAt = INT32_MAX;
    HRESULT m_hrRefusal = E_ABORT;
    CBuffer m_params;
    CMediaType m_mt;
};

// Every trace line while it lives.
class CTraceCapture
{
public:
    CTraceCapture() : m_dwSaved(g_dwTraceSwitch.load())
    {
        SetTraceDebugOutputForTest(&CTraceCapture::OnLine, this);
        g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_DEBUGGER);
    }
    ~CTraceCapture()
    {
        g_dwTraceSwitch.store(m_dwSaved);
        SetTraceDebugOutputForTest(nullptr, nullptr);
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_str;
    }
    int Count(const std::string& strLine)
    {
        const std::string str = Text();
        int n = 0;
        for (size_t pos = str.find(strLine); pos != std::string::npos; pos = str.find(strLine, pos + 1))
            ++n;
        return n;
    }
    bool Has(const std::string& strLine) { return Count(strLine) > 0; }
    // Waits (bounded) until the line has been traced nCount times.
    bool WaitFor(const std::string& strLine, DWORD dwMs = 5000, int nCount = 1)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(dwMs * kSlow), [&] {
            int n = 0;
            for (size_t pos = m_str.find(strLine); pos != std::string::npos; pos = m_str.find(strLine, pos + 1))
                ++n;
            return n >= nCount;
        });
    }

private:
    static void OnLine(void* pv, const char* psz, size_t cb)
    {
        CTraceCapture* p = static_cast<CTraceCapture*>(pv);
        {
            std::lock_guard<std::mutex> lock(p->m_mtx);
            p->m_str.append(psz, cb);
        }
        p->m_cv.notify_all();
    }
    const uint32_t m_dwSaved;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::string m_str;
};

// A temporary folder, removed with everything in it.
class CTempDir
{
public:
    CTempDir()
    {
        char sz[] = "/tmp/kvrecv_XXXXXX";
        if (mkdtemp(sz))
            m_str = sz;
    }
    ~CTempDir()
    {
        if (!m_str.empty())
            (void)!system(("rm -rf '" + m_str + "'").c_str());
    }
    const std::string& Path() const { return m_str; }
    CWString Stub() const { return Utf8ToWide(m_str + "/Capture.KBL"); }

private:
    std::string m_str;
};

// Reads the whole of a finished ring through a reader engine.
inline Bytes ReadRing(const CWString& strStub)
{
    class CReader : public CDVREngine
    {
    public:
        CReader() : CDVREngine(false) {}
        ~CReader() override { StopReader(); }
    } reader;
    Bytes v;
    if (FAILED(reader.SetStubFileName(strStub.c_str(), -1, FALSE)) || FAILED(reader.StartReader(nullptr)))
        return v;
    LONGLONG llMin = 0, llMax = 0;
    if (FAILED(reader.GetOffsets(&llMin, &llMax)) || llMin != 0)
        return v;
    v.resize(static_cast<size_t>(llMax));
    for (LONGLONG llPos = 0; llPos < llMax;) {
        const DWORD cb = static_cast<DWORD>(std::min<LONGLONG>(llMax - llPos, 1 << 20));
        DWORD cbRead = 0;
        HRESULT hr = reader.ReadData(llPos, cb, cb, v.data() + llPos, &cbRead, 0);
        if (FAILED(hr) || cbRead == 0) {
            ADD_FAILURE() << "ring read at " << llPos << " failed " << std::hex << hr;
            v.resize(static_cast<size_t>(llPos));
            break;
        }
        llPos += cbRead;
    }
    return v;
}

// A receive thread on a ring of nFiles x cbFile in its own folder; the ring
// stays on disk when the thread stops, so that tests can read it.
class CRecv
{
public:
    // pfnCreate builds the thread (a derived class in some tests).
    typedef CRecvThread* (*PFNCREATE)(IRecvOutputPin* pPin, IRecvFilter* pFilter);
    explicit CRecv(PFNCREATE pfnCreate = nullptr, LONG nFiles = 4, double cbFile = 4 << 20)
    {
        m_p = pfnCreate ? pfnCreate(&m_pin, &m_filter) : new CRecvThread(&m_pin, &m_filter);
        m_p->NonDelegatingAddRef();
        EXPECT_TRUE(ConfigureRing(nFiles, cbFile));
    }
    ~CRecv()
    {
        m_p->NonDelegatingRelease();
    }
    CRecv(const CRecv&) = delete;
    CRecv& operator=(const CRecv&) = delete;

    bool ConfigureRing(LONG nFiles, double cbFile)
    {
        BSTR bstrDir = SysAllocString(Utf8ToWide(m_dir.Path()).c_str());
        BSTR bstrName = SysAllocString(u"Capture");
        bool bOk = SUCCEEDED(m_p->StartChangingAttributes()) && SUCCEEDED(m_p->SetFolderName(0, bstrDir)) &&
                   SUCCEEDED(m_p->SetBufferSize(0, nFiles, cbFile)) && SUCCEEDED(m_p->SetBaseName(bstrName)) &&
                   SUCCEEDED(m_p->EndChangingAttributes(VARIANT_FALSE));
        SysFreeString(bstrDir);
        SysFreeString(bstrName);
        return bOk;
    }

    // Options, then a socket on 127.0.0.1 (or a group joined on the
    // loopback interface) with an ephemeral port; returns that port.
    WORD Open(const char* pszAddress = "127.0.0.1", const char16_t* pszOptions = nullptr, bool bUdp = true,
              WORD wPort = 0)
    {
        EXPECT_EQ(S_OK, m_p->ParseOptions(pszOptions));
        const bool bGroup = (ntohl(Addr(pszAddress)) >> 28) == 0xE;
        EXPECT_EQ(S_OK, m_p->SetAddress(Addr(pszAddress), wPort, bGroup ? Addr("127.0.0.1") : 0,
                                        bUdp ? TRUE : FALSE, TRUE));
        EXPECT_EQ(S_OK, m_p->OpenSocket(TRUE, TRUE, 0));
        return BoundPort(m_p->GetSocket());
    }
    HRESULT Call(DWORD dwCommand) { return static_cast<HRESULT>(m_p->CallWorker(dwCommand)); }
    Bytes Ring() { return ReadRing(m_dir.Stub()); }
    bool RingExists() { return access((m_dir.Path() + "/Capture.KBL").c_str(), F_OK) == 0; }

    CRecvThread* operator->() { return m_p; }
    CRecvThread* Get() { return m_p; }
    CTestPin m_pin;
    CTestFilter m_filter;
    CTempDir m_dir;

private:
    CRecvThread* m_p;
};

// The thread CPU time of a thread of this process, by its kernel id.
inline double ThreadCpuSeconds(DWORD dwTid)
{
    // A thread's CPU clock id: ~tid << 3 | CPUCLOCK_PERTHREAD_MASK (4) |
    // CPUCLOCK_SCHED (2), as pthread_getcpuclockid builds it.
    const clockid_t clk = static_cast<clockid_t>((~static_cast<unsigned>(dwTid) << 3) | 6);
    timespec ts = {};
    if (clock_gettime(clk, &ts) != 0)
        return -1;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// --- Streams ---------------------------------------------------------------

// Transport-stream packets of PID 0x100 whose payload words (8 bytes, little
// endian) each hold the stream offset at which the word lies, counted in the
// stream the packets form; the continuity counter runs on.
inline Bytes TsPackets(LONGLONG llOffset, int nPackets, BYTE* pbCC)
{
    Bytes v(static_cast<size_t>(nPackets) * 188);
    for (int i = 0; i < nPackets; ++i) {
        BYTE* p = v.data() + static_cast<size_t>(i) * 188;
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = static_cast<BYTE>(0x10 | (*pbCC)++ % 16);
        for (int w = 0; w < 23; ++w) {
            const ULONGLONG ull = static_cast<ULONGLONG>(llOffset + i * 188 + 4 + w * 8);
            for (int b = 0; b < 8; ++b)
                p[4 + w * 8 + b] = static_cast<BYTE>(ull >> (8 * b));
        }
    }
    return v;
}

// Every payload word of the TS packets in v holds its own offset in v.
inline bool WordsHoldOffsets(const Bytes& v, std::string* pWhere)
{
    if (v.size() % 188 != 0) {
        *pWhere = "length " + std::to_string(v.size()) + " is no whole number of packets";
        return false;
    }
    for (size_t off = 0; off < v.size(); off += 188) {
        if (v[off] != 0x47) {
            *pWhere = "no sync byte at " + std::to_string(off);
            return false;
        }
        for (size_t w = 0; w < 23; ++w) {
            ULONGLONG ull = 0;
            for (int b = 7; b >= 0; --b)
                ull = (ull << 8) | v[off + 4 + w * 8 + static_cast<size_t>(b)];
            if (ull != off + 4 + w * 8) {
                *pWhere = "word at " + std::to_string(off + 4 + w * 8) + " holds " + std::to_string(ull);
                return false;
            }
        }
    }
    return true;
}

inline std::string ToString(const Bytes& v)
{
    return std::string(v.begin(), v.end());
}

}  // namespace recvtest
