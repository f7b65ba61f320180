// Test doubles for the reader layer, shared by its tests and its benchmark:
// a stream whose every 8-byte word holds its own offset, a DVR writer driven
// the way the receive thread drives it, the filter's hooks over the real DVR
// writer and reader, and a source filter built from them. Test-only.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/common/trace/trace.h"
#include "dshowflt/common/trace/traceseams.h"
#include "dshowflt/mpegdemux/kvudpsrc/udpasyncrdr.h"
#include "platform/bstr.h"
#include "platform/sync.h"
#include "platform/wtext.h"

namespace pintest {

// {3C0D7E51-6B2A-4E8F-9A41-2F5E6D7C8B90}
constexpr CLSID CLSID_TestSource = {0x3C0D7E51, 0x6B2A, 0x4E8F, {0x9A, 0x41, 0x2F, 0x5E, 0x6D, 0x7C, 0x8B, 0x90}};

// Byte ll of a stream: the 8-byte word at ll & ~7 holds its own offset
// (little-endian), xor qwSeed, which a test changes when the writer starts a
// new buffer, so that a byte from the wrong place or the wrong buffer shows.
inline BYTE StreamByte(LONGLONG ll, uint64_t qwSeed)
{
    const uint64_t qw = (static_cast<uint64_t>(ll) & ~uint64_t(7)) ^ qwSeed;
    return static_cast<BYTE>(qw >> (8 * (ll & 7)));
}

inline void FillStream(BYTE* pb, LONGLONG llFrom, size_t cb, uint64_t qwSeed)
{
    for (size_t i = 0; i < cb; i++)
        pb[i] = StreamByte(llFrom + static_cast<LONGLONG>(i), qwSeed);
}

// The offset of the first byte that is not the stream's, or -1.
inline LONGLONG FindMismatch(const BYTE* pb, LONGLONG llFrom, size_t cb, uint64_t qwSeed)
{
    for (size_t i = 0; i < cb; i++) {
        if (pb[i] != StreamByte(llFrom + static_cast<LONGLONG>(i), qwSeed))
            return llFrom + static_cast<LONGLONG>(i);
    }
    return -1;
}

// A DVR writer on the heap with one reference, as the receive thread keeps
// it, writing the stream above.
class CTestWriter
{
public:
    CTestWriter() : m_pSink(new CBaseDVRSink("test writer", nullptr)) { m_pSink->NonDelegatingAddRef(); }
    ~CTestWriter()
    {
        (void)m_pSink->StopDVR();
        m_pSink->NonDelegatingRelease();
    }
    CTestWriter(const CTestWriter&) = delete;
    CTestWriter& operator=(const CTestWriter&) = delete;

    // A ring of nFiles recordings of cbFile bytes named Capture in strDir.
    // Shaped through the control interface, the files stay after a stop, so
    // that a finished buffer can still be read.
    [[nodiscard]] HRESULT Start(const std::string& strDir, LONG nFiles, LONGLONG cbFile)
    {
        BSTR bstrDir = SysAllocString(Utf8ToWide(strDir).c_str());
        BSTR bstrName = SysAllocString(u"Capture");
        HRESULT hr = bstrDir && bstrName ? m_pSink->StartChangingAttributes() : E_OUTOFMEMORY;
        if (SUCCEEDED(hr)) {
            hr = m_pSink->SetFolderName(0, bstrDir);
            if (SUCCEEDED(hr))
                hr = m_pSink->SetBufferSize(0, nFiles, static_cast<double>(cbFile));
            if (SUCCEEDED(hr))
                hr = m_pSink->SetBaseName(bstrName);
            HRESULT hrEnd = m_pSink->EndChangingAttributes(FAILED(hr) ? VARIANT_TRUE : VARIANT_FALSE);
            if (SUCCEEDED(hr))
                hr = hrEnd;
        }
        SysFreeString(bstrDir);
        SysFreeString(bstrName);
        if (FAILED(hr))
            return hr;
        return m_pSink->StartDVR();
    }
    // The next cb bytes of the stream, in one WriteData.
    [[nodiscard]] HRESULT Write(LONG cb)
    {
        if (m_vBuf.size() < static_cast<size_t>(cb))
            m_vBuf.resize(static_cast<size_t>(cb));
        const LONGLONG llFrom = m_llWritten.load(std::memory_order_relaxed);
        FillStream(m_vBuf.data(), llFrom, static_cast<size_t>(cb), m_qwSeed);
        HRESULT hr = m_pSink->WriteData(m_vBuf.data(), cb);
        if (SUCCEEDED(hr))
            m_llWritten.store(llFrom + cb, std::memory_order_release);
        return hr;
    }
    [[nodiscard]] HRESULT Stop() { return m_pSink->StopDVR(); }
    // The writer publishes what it wrote within 25 ms, or when a reader
    // waits for it; this gives it the time, as the receive thread does
    // before it waits for the network. false if it never catches up (2 s).
    bool PublishAll()
    {
        CAMEvent evNever;
        for (int i = 0; i < 400; i++) {
            if (!m_pSink->BeginWaitingForData())
                return true;
            (void)evNever.Wait(5);
        }
        return false;
    }
    // After the sink restarted (ResetPointer): a new, empty buffer whose
    // stream uses qwSeed.
    void Restarted(uint64_t qwSeed)
    {
        m_qwSeed = qwSeed;
        m_llWritten.store(0, std::memory_order_release);
    }

    CBaseDVRSink* Sink() const { return m_pSink; }
    CWString StubPath() const { return m_pSink->GetStubPath(); }
    LONGLONG Written() const { return m_llWritten.load(std::memory_order_acquire); }
    uint64_t Seed() const { return m_qwSeed; }

private:
    CBaseDVRSink* const m_pSink;
    std::vector<BYTE> m_vBuf;
    std::atomic<LONGLONG> m_llWritten{0};
    uint64_t m_qwSeed = 0;
};

// The filter's side of the pin, over the real DVR writer and reader: it
// starts the reader on the stub of a writer in this process (pSink given) or
// of one in another process (followed through the stub's owner name), and
// restarts the writer on a reconnection.
class CTestReaderHost : public IAsyncReaderHost
{
public:
    CTestReaderHost(CDVRSourceObject* pSource, CBaseDVRSink* pSink, const CWString& strStub)
        : m_pSource(pSource), m_pSink(pSink), m_strStub(strStub)
    {
    }

    HRESULT EnsureDVRReader() override
    {
        m_cEnsure++;
        if (m_bReaderRunning)
            return S_OK;
        if (!m_bDVRWriting)
            return E_NOINTERFACE;
        HRESULT hr = m_pSource->SetStubFileName(m_strStub.c_str(), -1, FALSE);
        if (SUCCEEDED(hr))
            hr = m_pSource->StartDVRReader(m_pSink);
        if (SUCCEEDED(hr))
            m_bReaderRunning = true;
        return hr;
    }
    HRESULT ResetPointer() override
    {
        m_cReset++;
        if (!m_pSink)
            return E_NOTIMPL;  // a writer in another process is not ours to restart
        (void)m_pSource->StopDVRReader();
        HRESULT hr = m_pSink->RestartDVR();
        if (FAILED(hr))
            return hr;
        if (m_fnRestarted)
            m_fnRestarted();
        m_strStub = m_pSink->GetStubPath();
        hr = m_pSource->SetStubFileName(m_strStub.c_str(), -1, FALSE);
        if (SUCCEEDED(hr))
            hr = m_pSource->StartDVRReader(m_pSink);
        m_bReaderRunning = SUCCEEDED(hr);
        return hr;
    }

    // The receive thread's DVR-write flag.
    std::atomic<bool> m_bDVRWriting{true};
    std::atomic<bool> m_bReaderRunning{false};
    std::atomic<int> m_cEnsure{0};
    std::atomic<int> m_cReset{0};
    // Called after the writer restarted, before the reader starts again.
    std::function<void()> m_fnRestarted;

private:
    CDVRSourceObject* const m_pSource;
    CBaseDVRSink* const m_pSink;
    CWString m_strStub;
};

// The reader layer over a DVR source that follows a writer: the network
// source filter without the network.
class CTestSource : public CUDPAsyncReader
{
public:
    // One reference held by *ppSource. pSink null: follow strStub's writer
    // in another process.
    [[nodiscard]] static HRESULT Create(CBaseDVRSink* pSink, const CWString& strStub, CTestSource** ppSource)
    {
        CTestSource* p = new (std::nothrow) CTestSource(pSink, strStub);
        if (!p)
            return E_OUTOFMEMORY;
        p->AddRef();
        HRESULT hr = p->Init(&p->m_source, &p->m_host);
        if (FAILED(hr)) {
            p->Release();
            return hr;
        }
        *ppSource = p;
        return S_OK;
    }
    ~CTestSource() override
    {
        // Nothing may be in flight against the stream when it goes.
        if (Io())
            (void)Io()->BeginFlush();
        (void)m_source.StopDVRReader();
    }

    CDVRSourceObject& Source() { return m_source; }
    CTestReaderHost& Host() { return m_host; }
    CUDPAsyncOutputPin* Pin() const { return UDPOutputPin(); }

private:
    CTestSource(CBaseDVRSink* pSink, const CWString& strStub)
        : CUDPAsyncReader("test source", nullptr, CLSID_TestSource), m_host(&m_source, pSink, strStub)
    {
    }

    CDVRSourceObject m_source;
    CTestReaderHost m_host;
};

// Collects the trace lines written while it lives.
class CTraceCapture
{
public:
    CTraceCapture() : m_dwSaved(g_dwTraceSwitch.load())
    {
        SetTraceDebugOutputForTest(&CTraceCapture::Line, this);
        g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_DEBUGGER);
    }
    ~CTraceCapture()
    {
        g_dwTraceSwitch.store(m_dwSaved);
        SetTraceDebugOutputForTest(nullptr, nullptr);
    }
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    bool Contains(const std::string& str)
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_strAll.find(str) != std::string::npos;
    }

private:
    static void Line(void* pv, const char* psz, size_t cb)
    {
        CTraceCapture* p = static_cast<CTraceCapture*>(pv);
        std::lock_guard<std::mutex> lk(p->m_mtx);
        p->m_strAll.append(psz, cb);
    }
    const uint32_t m_dwSaved;
    std::mutex m_mtx;
    std::string m_strAll;
};

}  // namespace pintest
