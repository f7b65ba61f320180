// Test doubles for the reader layer, shared by its tests and its benchmark:
// the filter's hooks over the real DVR writer and reader, and a source
// filter built from them. Test-only.
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

#include "dshowflt/common/commontest_util.h"
#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "dshowflt/common/trace/trace.h"
#include "dshowflt/common/trace/traceseams.h"
#include "dshowflt/mpegdemux/kvudpsrc/udpasyncrdr.h"
#include "platform/bstr.h"
#include "platform/sync.h"
#include "platform/wtext.h"

namespace pintest {

// {3C0D7E51-6B2A-4E8F-9A41-2F5E6D7C8B90}
constexpr CLSID CLSID_TestSource = {0x3C0D7E51, 0x6B2A, 0x4E8F, {0x9A, 0x41, 0x2F, 0x5E, 0x6D, 0x7C, 0x8B, 0x90}};

// The stream whose every 8-byte word holds its own offset, and the writer
// holder, are the DVR tests' own.
using dvrtest::CTestWriter;
using dvrtest::FillStream;
using dvrtest::FindMismatch;
using dvrtest::StreamByte;

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

using commontest::CTraceCapture;

}  // namespace pintest
