// What the DVR tests, and the tests of the layers above the DVR buffer,
// share: a stream whose every 8-byte word holds its own offset, a live
// writer on the heap as the receive thread keeps it, a writer-mode engine
// that lays a ring down one recording at a time, and stub bytes built field
// by field. Test-only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dshowflt/common/commontest_util.h"
#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrsink.h"
#include "platform/bstr.h"
#include "platform/sync.h"
#include "platform/wtext.h"

namespace dvrtest {

using commontest::CTempFolder;
using commontest::CTempFolderTest;
using commontest::ReadFileBytes;
using commontest::WriteFileBytes;

// Byte ll of a stream: the 8-byte word at ll & ~7 holds its own offset
// (little-endian), xor qwSeed, which a test changes when the writer starts a
// new buffer, so that a byte from the wrong place or the wrong buffer shows.
inline BYTE StreamByte(LONGLONG ll, uint64_t qwSeed = 0)
{
    const uint64_t qw = (static_cast<uint64_t>(ll) & ~uint64_t(7)) ^ qwSeed;
    return static_cast<BYTE>(qw >> (8 * (ll & 7)));
}

inline void FillStream(BYTE* pb, LONGLONG llFrom, size_t cb, uint64_t qwSeed = 0)
{
    for (size_t i = 0; i < cb; i++)
        pb[i] = StreamByte(llFrom + static_cast<LONGLONG>(i), qwSeed);
}

inline std::vector<BYTE> StreamBytes(LONGLONG llFrom, size_t cb, uint64_t qwSeed = 0)
{
    std::vector<BYTE> v(cb);
    FillStream(v.data(), llFrom, cb, qwSeed);
    return v;
}

// The offset of the first byte that is not the stream's, or -1.
inline LONGLONG FindMismatch(const void* pv, LONGLONG llFrom, size_t cb, uint64_t qwSeed = 0)
{
    const BYTE* pb = static_cast<const BYTE*>(pv);
    for (size_t i = 0; i < cb; i++) {
        if (pb[i] != StreamByte(llFrom + static_cast<LONGLONG>(i), qwSeed))
            return llFrom + static_cast<LONGLONG>(i);
    }
    return -1;
}

// A DVR writer on the heap with one reference, as the receive thread keeps
// it, writing the stream above. A test that overrides the sink hands in its
// own; the holder takes the one reference.
class CTestWriter
{
public:
    explicit CTestWriter(CBaseDVRSink* pSink = new CBaseDVRSink("test writer", nullptr)) : m_pSink(pSink)
    {
        m_pSink->NonDelegatingAddRef();
    }
    ~CTestWriter()
    {
        (void)m_pSink->StopDVR();
        m_pSink->NonDelegatingRelease();
    }
    CTestWriter(const CTestWriter&) = delete;
    CTestWriter& operator=(const CTestWriter&) = delete;

    // Shapes the ring through the control interface, as an application
    // does: nFiles recordings of cbFile bytes in folder 0 (strDir; empty
    // keeps the temporary-files folder), named pszName (nullptr: the first
    // free name). Files shaped this way stay after a stop.
    [[nodiscard]] HRESULT Shape(const std::string& strDir, LONG nFiles, double cbFile,
                                const char16_t* pszName = u"Capture")
    {
        CBstr dir(strDir.empty() ? nullptr : SysAllocString(Utf8ToWide(strDir).c_str()));
        CBstr name(pszName ? SysAllocString(pszName) : nullptr);
        HRESULT hr = m_pSink->StartChangingAttributes();
        if (FAILED(hr))
            return hr;
        if (dir)
            hr = m_pSink->SetFolderName(0, dir);
        if (SUCCEEDED(hr))
            hr = m_pSink->SetBufferSize(0, nFiles, cbFile);
        if (SUCCEEDED(hr) && name)
            hr = m_pSink->SetBaseName(name);
        const HRESULT hrEnd = m_pSink->EndChangingAttributes(FAILED(hr) ? VARIANT_TRUE : VARIANT_FALSE);
        return FAILED(hr) ? hr : hrEnd;
    }
    [[nodiscard]] HRESULT Start(const std::string& strDir, LONG nFiles, double cbFile,
                                const char16_t* pszName = u"Capture")
    {
        HRESULT hr = Shape(strDir, nFiles, cbFile, pszName);
        return FAILED(hr) ? hr : m_pSink->StartDVR();
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
    // After the sink restarted (ResetPointer, RestartDVR): a new, empty
    // buffer whose stream uses qwSeed.
    void Restarted(uint64_t qwSeed)
    {
        m_qwSeed = qwSeed;
        m_llWritten.store(0, std::memory_order_release);
    }

    CBaseDVRSink* operator->() const { return m_pSink; }
    CBaseDVRSink* Sink() const { return m_pSink; }
    CWString StubPath() const { return m_pSink->GetStubPath(); }
    LONGLONG Written() const { return m_llWritten.load(std::memory_order_acquire); }
    uint64_t Seed() const { return m_qwSeed; }

private:
    // Frees a BSTR on every path.
    struct CBstr
    {
        explicit CBstr(BSTR b) : p(b) {}
        ~CBstr() { SysFreeString(p); }
        operator BSTR() const { return p; }
        BSTR p;
    };

    CBaseDVRSink* const m_pSink;
    std::vector<BYTE> m_vBuf;
    std::atomic<LONGLONG> m_llWritten{0};
    uint64_t m_qwSeed = 0;
};

// A writer-mode engine that lays a ring of strName_N.KRC recordings down one
// at a time, as a writer does, but between a test's steps and with no live
// sink behind it.
class CStubRing : public CDVREngine
{
public:
    explicit CStubRing(std::string strDir, std::string strName = "Capture")
        : CDVREngine(true), m_strDir(std::move(strDir)), m_strName(std::move(strName))
    {
    }
    CWString W(const std::string& strFile) const { return Utf8ToWide(m_strDir + "/" + strFile); }
    CWString Stub() const { return W(m_strName + ".KBL"); }

    // A new buffer under the stub, owned by pszOwner (empty: no live writer).
    [[nodiscard]] HRESULT Start(LPCWSTR pszOwner = u"")
    {
        m_llTotal = 0;
        m_nPlay = 0;
        return CreateStubFile(Stub().c_str(), pszOwner, FALSE);
    }
    // Recording number m_nPlay into slot m_nPlay % nSlots, holding the next
    // cb bytes of the stream, its size published and the stub closed after
    // it as the writer does.
    [[nodiscard]] HRESULT AddRecording(LONG nSlots, LONGLONG cb)
    {
        const LONG nSlot = m_nPlay % nSlots;
        std::unique_ptr<IFile> pRec;
        HRESULT hr = CreateRecording(W(m_strName + "_" + std::to_string(nSlot) + ".KRC").c_str(), nSlot, m_nPlay,
                                     &pRec);
        if (FAILED(hr))
            return hr;
        const std::vector<BYTE> v = StreamBytes(m_llTotal, static_cast<size_t>(cb));
        DWORD cbWritten = 0;
        hr = cb ? pRec->Write(v.data(), static_cast<DWORD>(cb), &cbWritten) : S_OK;
        if (SUCCEEDED(hr))
            hr = pRec->SetEndOfFile();  // a reused slot keeps nothing of its last recording
        if (SUCCEEDED(hr) && nSlot == m_nPlay)
            hr = WriteRecordCount(static_cast<DWORD>(nSlot + 1));
        SetCurrentSlot(nSlot);
        if (SUCCEEDED(hr))
            hr = SetRecordingSize(cb);
        CloseStubFile();
        m_llTotal += cb;
        ++m_nPlay;
        return hr;
    }
    void SetCurrentSlot(LONG nSlot)
    {
        CAutoLock lock(&m_csStubFile);
        m_nCurRecIndex = nSlot;
    }

    const std::string m_strDir;
    const std::string m_strName;
    LONGLONG m_llTotal = 0;
    LONG m_nPlay = 0;
};

// Little-endian stub bytes written independently of the engine's encoders.
class CStubBuilder
{
public:
    CStubBuilder& Bytes(const char* psz, size_t cb)
    {
        m_v.insert(m_v.end(), psz, psz + cb);
        return *this;
    }
    CStubBuilder& U8(uint8_t b) { return Le(b, 1); }
    CStubBuilder& U16(uint16_t w) { return Le(w, 2); }
    CStubBuilder& U32(uint32_t dw) { return Le(dw, 4); }
    CStubBuilder& U64(uint64_t ull) { return Le(ull, 8); }
    // cchField units: the text, a NUL, then zeros.
    CStubBuilder& Text(std::u16string_view text, size_t cchField)
    {
        for (size_t i = 0; i < cchField; ++i)
            U16(i < text.size() ? text[i] : 0);
        return *this;
    }
    CStubBuilder& Header(uint16_t nName, std::u16string_view owner, uint32_t dwCount)
    {
        Bytes("TARNDVR", 7).U8(0).U16(nName).Text(owner, nName);
        for (int i = 0; i < 16; ++i)
            U8(static_cast<uint8_t>(0xA0 + i));
        return U32(dwCount);
    }
    CStubBuilder& Record(std::u16string_view path, uint16_t nPath, uint64_t llSize, uint32_t nPlayIndex)
    {
        U16(static_cast<uint16_t>(2 + 2 * nPath + 28)).U16(nPath).Text(path, nPath).U64(llSize).U32(nPlayIndex);
        for (uint16_t w : {2026, 12, 6, 5, 16, 30, 15, 250})
            U16(w);
        return *this;
    }
    std::vector<BYTE> m_v;

private:
    // One insert per field: g++ 12 at -O3 warns falsely about a vector that
    // grows a byte at a time.
    CStubBuilder& Le(uint64_t ull, size_t cb)
    {
        BYTE ab[8];
        for (size_t i = 0; i < cb; ++i)
            ab[i] = static_cast<BYTE>(ull >> (8 * i));
        m_v.insert(m_v.end(), ab, ab + cb);
        return *this;
    }
};

}  // namespace dvrtest
