// Helpers of the receive-thread tests: a recording output pin and a filter
// double, a receive thread on a ring in a temporary folder, a reader for the
// ring, a trace capture and the offset-stamped transport stream.
#pragma once

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "dshowflt/common/commontest_util.h"
#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "dshowflt/common/trace/trace.h"
#include "dshowflt/common/trace/traceseams.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/sockettest_util.h"
#include "platform/graph/mtype.h"

namespace recvtest {

typedef std::vector<BYTE> Bytes;

// Time bounds grow under the sanitizers.
constexpr DWORD kSlow = commontest::kSanitizerSlowdown;
using commontest::CTraceCapture;

struct SUnit
{
    Bytes data;
    REFERENCE_TIME rtStart, rtLatency;
    DWORD dwFlags;
    BOOL bEndOfUnit;
};

// Records every unit; an event fires once a number of units or bytes is
// reached, and the nth unit may fail.
class CTestPin : public IRecvOutputPin
{
public:
    HRESULT DeliverData(const BYTE* pb, LONG cb, REFERENCE_TIME rtStart, REFERENCE_TIME rtLatency, DWORD dwFlags,
                        BOOL bEndOfUnit) override
    {
        bool bHold;
        HRESULT hr;
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            m_units.push_back(SUnit{Bytes(pb, pb + cb), rtStart, rtLatency, dwFlags, bEndOfUnit});
            m_cbTotal += cb;
            Check();
            bHold = m_units.size() == m_nHoldAt;
            hr = m_units.size() == m_nFailAt ? m_hrFail : S_OK;
        }
        if (bHold) {
            m_evHeld.Set();
            (void)m_evRelease.Wait(10000 * kSlow);
        }
        return hr;
    }
    // The nth unit (from 1) waits in DeliverData until Release: the receive
    // thread stands still while the test fills its socket.
    void HoldAt(size_t nUnit) { m_nHoldAt = nUnit; }
    bool WaitHeld(DWORD dwMs = 5000) { return m_evHeld.Wait(dwMs * kSlow) != FALSE; }
    void Release() { m_evRelease.Set(); }
    void ExpectUnits(LONG n) { Expect(n, INT64_MAX); }
    void ExpectBytes(LONGLONG cb) { Expect(INT32_MAX, cb); }
    bool WaitReached(DWORD dwMs = 5000) { return m_ev.Wait(dwMs * kSlow) != FALSE; }
    std::vector<SUnit> Units()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_units;
    }
    LONGLONG Total()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_cbTotal;
    }
    Bytes AllBytes()
    {
        Bytes v;
        for (const SUnit& u : Units())
            v.insert(v.end(), u.data.begin(), u.data.end());
        return v;
    }
    void FailAt(size_t nUnit, HRESULT hr) { m_nFailAt = nUnit, m_hrFail = hr; }

private:
    void Expect(LONG nUnits, LONGLONG cb)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_nUnits = nUnits, m_cbTarget = cb;
        m_ev.Reset();
        Check();
    }
    void Check()
    {
        if (static_cast<LONG>(m_units.size()) >= m_nUnits || m_cbTotal >= m_cbTarget)
            m_ev.Set();
    }
    std::mutex m_mtx;
    std::vector<SUnit> m_units;
    LONGLONG m_cbTotal = 0, m_cbTarget = INT64_MAX;
    LONG m_nUnits = INT32_MAX;
    std::atomic<size_t> m_nFailAt{0};
    HRESULT m_hrFail = S_OK;
    std::atomic<size_t> m_nHoldAt{0};
    CAMEvent m_ev{TRUE};
    CAMEvent m_evHeld{TRUE};
    CAMEvent m_evRelease{TRUE};
};

// The filter side: records what it is told; the application (with a
// callback) refuses to wait from its nth answer on.
class CTestFilter : public IRecvFilter
{
public:
    void SetStarvation(BOOL b) override { Locked([&] { m_aStarvation.push_back(b); }); }
    HRESULT OnAttributesChanging(LONG l) override
    {
        Locked([&] { m_aAttributeFlags.push_back(l); });
        return S_OK;
    }
    HRESULT AskIfIShouldContinueWaiting(DWORD dwMs) override
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_aAsked.push_back(dwMs);
        return static_cast<int>(m_aAsked.size()) >= m_nRefuseAt ? E_ABORT : S_OK;
    }
    BOOL HasCallback() override { return m_nRefuseAt > 0; }
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
    BOOL IsOutputMediaTypeValid() override { return MediaType().IsValid(); }

    CMediaType MediaType()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_mt;
    }
    template <class T>
    T Get(const T& member)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return member;
    }
    std::atomic<int> m_nRefuseAt{0};  // 0: no callback registered
    std::vector<BOOL> m_aStarvation;
    std::vector<LONG> m_aAttributeFlags;
    std::vector<DWORD> m_aAsked;

private:
    template <class F>
    void Locked(F f)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        f();
    }
    std::mutex m_mtx;
    CBuffer m_params;
    CMediaType m_mt;
};

class CTempDir : public dvrtest::CTempFolder
{
public:
    CWString Stub() const { return W("Capture.KBL"); }
};

// The whole of a finished ring, through a reader engine.
inline Bytes ReadRing(const CWString& strStub)
{
    struct CReader : CDVREngine
    {
        CReader() : CDVREngine(false) {}
        ~CReader() override { StopReader(); }
    } reader;
    LONGLONG llMin = 0, llMax = 0;
    if (FAILED(reader.SetStubFileName(strStub.c_str(), -1, FALSE)) || FAILED(reader.StartReader(nullptr)) ||
        FAILED(reader.GetOffsets(&llMin, &llMax)) || llMin != 0)
        return {};
    Bytes v(static_cast<size_t>(llMax));
    for (LONGLONG llPos = 0; llPos < llMax;) {
        const DWORD cb = static_cast<DWORD>(std::min<LONGLONG>(llMax - llPos, 1 << 20));
        DWORD cbRead = 0;
        if (FAILED(reader.ReadData(llPos, cb, cb, v.data() + llPos, &cbRead, 0)) || cbRead == 0) {
            ADD_FAILURE() << "ring read at " << llPos << " failed";
            v.resize(static_cast<size_t>(llPos));
            break;
        }
        llPos += cbRead;
    }
    return v;
}

// A receive thread on a ring of 4 x 4 MiB in its own folder; the ring stays
// on disk when the thread stops (a committed change keeps the files).
class CRecv
{
public:
    typedef CRecvThread* (*PFNCREATE)(IRecvOutputPin* pPin, IRecvFilter* pFilter);
    explicit CRecv(PFNCREATE pfnCreate = nullptr)
        : m_p(pfnCreate ? pfnCreate(&m_pin, &m_filter) : new CRecvThread(&m_pin, &m_filter))
    {
        m_p->NonDelegatingAddRef();
        EXPECT_TRUE(MoveRing(m_dir, 4, 4 << 20));
    }
    ~CRecv() { m_p->NonDelegatingRelease(); }
    CRecv(const CRecv&) = delete;
    CRecv& operator=(const CRecv&) = delete;

    bool MoveRing(const CTempDir& dir, LONG nFiles, double cbFile)
    {
        BSTR bstrDir = SysAllocString(Utf8ToWide(dir.Path()).c_str());
        BSTR bstrName = SysAllocString(u"Capture");
        const bool bOk = SUCCEEDED(m_p->StartChangingAttributes()) && SUCCEEDED(m_p->SetFolderName(0, bstrDir)) &&
                         SUCCEEDED(m_p->SetBufferSize(0, nFiles, cbFile)) && SUCCEEDED(m_p->SetBaseName(bstrName)) &&
                         SUCCEEDED(m_p->EndChangingAttributes(VARIANT_FALSE));
        SysFreeString(bstrDir);
        SysFreeString(bstrName);
        return bOk;
    }
    // Options, then a socket on an address of 127.0.0.0/8 (a group is joined
    // on the loopback interface); returns the port, network order.
    WORD Open(const char* pszAddress = "127.0.0.1", const char16_t* pszOptions = nullptr, bool bUdp = true,
              WORD wPort = 0)
    {
        EXPECT_EQ(S_OK, m_p->ParseOptions(pszOptions));
        const bool bGroup = (ntohl(Addr(pszAddress)) >> 28) == 0xE;
        EXPECT_EQ(S_OK, m_p->SetAddress(Addr(pszAddress), wPort, bGroup ? Addr("127.0.0.1") : 0, bUdp, TRUE));
        EXPECT_EQ(S_OK, m_p->OpenSocket(TRUE, TRUE, 0));
        return BoundPort(m_p->GetSocket());
    }
    HRESULT Call(DWORD dwCommand) { return static_cast<HRESULT>(m_p->CallWorker(dwCommand)); }
    Bytes Ring() { return ReadRing(m_dir.Stub()); }
    CRecvThread* operator->() { return m_p; }
    CRecvThread* Get() { return m_p; }

    CTestPin m_pin;
    CTestFilter m_filter;
    CTempDir m_dir;

private:
    CRecvThread* const m_p;
};

// The CPU time of a thread of this process, by its kernel id: its clock is
// ~tid << 3 | CPUCLOCK_PERTHREAD_MASK (4) | CPUCLOCK_SCHED (2).
inline double ThreadCpuSeconds(DWORD dwTid)
{
    timespec ts = {};
    if (clock_gettime(static_cast<clockid_t>((~static_cast<unsigned>(dwTid) << 3) | 6), &ts) != 0)
        return -1;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Transport packets of PID 0x100 whose 23 payload words (8 bytes, little
// endian) each hold the offset at which the word lies in the stream that the
// packets form from llOffset on; the continuity counter runs on in *pbCC.
inline Bytes TsPackets(LONGLONG llOffset, int nPackets, BYTE* pbCC)
{
    Bytes v(static_cast<size_t>(nPackets) * 188);
    for (int i = 0; i < nPackets; ++i) {
        BYTE* p = v.data() + static_cast<size_t>(i) * 188;
        p[0] = 0x47, p[1] = 0x01, p[2] = 0x00, p[3] = static_cast<BYTE>(0x10 | (*pbCC)++ % 16);
        for (int w = 0; w < 23; ++w)
            for (int b = 0; b < 8; ++b)
                p[4 + w * 8 + b] = static_cast<BYTE>(static_cast<ULONGLONG>(llOffset + i * 188 + 4 + w * 8) >> (8 * b));
    }
    return v;
}

// The stream offset the first payload word of the packet at p holds.
inline LONGLONG WordAt(const BYTE* p)
{
    ULONGLONG ull = 0;
    for (int b = 7; b >= 0; --b)
        ull = (ull << 8) | p[4 + b];
    return static_cast<LONGLONG>(ull);
}

// Every payload word of the TS packets in v holds its own offset in v.
inline bool WordsHoldOffsets(const Bytes& v, std::string* pWhere)
{
    if (v.size() % 188 != 0) {
        *pWhere = "length " + std::to_string(v.size()) + " is no whole number of packets";
        return false;
    }
    for (size_t off = 0; off < v.size(); off += 188) {
        BYTE bCC = v[off + 3] & 0x0F;
        const Bytes expect = TsPackets(static_cast<LONGLONG>(off), 1, &bCC);
        if (memcmp(v.data() + off, expect.data(), 188) != 0) {
            *pWhere = "packet at " + std::to_string(off) + " holds offset " + std::to_string(WordAt(&v[off]));
            return false;
        }
    }
    return true;
}

inline std::string ToString(const Bytes& v)
{
    return std::string(v.begin(), v.end());
}

}  // namespace recvtest
