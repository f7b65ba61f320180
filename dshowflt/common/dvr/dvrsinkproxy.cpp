#include "dshowflt/common/dvr/dvrsinkproxy.h"

#include <atomic>
#include <map>
#include <new>

#include "dshowflt/common/dvr/dvrsinkif.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/sync.h"

namespace {

// Method numbers are the interface's slot numbers.
enum EMethod : DWORD {
    kGetAvailableRange = 3,
    kSetFolderCount,
    kGetFolderCount,
    kSetFolderName,
    kGetFolderName,
    kSetBaseName,
    kGetBaseName,
    kSetBufferSize,
    kGetBufferSize,
    kCopyToFile,
    kGetStatus,
    kRegisterReader,
    kUnregisterReader,
    kReservedOperation,
    kGetRecordingInfo,
    kStartChangingAttributes,
    kEndChangingAttributes,
    kStartBackupToFile,
    kStopBackupToFile,
    kRegisterReaderEx,
    kSetOffsetToReach,
    kGetTimeRange,
    kGetTimeRangeEx,
};

// Which outputs the caller asked for, one bit each in argument order.
template <class... T>
DWORD OutMask(T*... p)
{
    DWORD dw = 0, dwBit = 1;
    ((dw |= p ? dwBit : 0, dwBit <<= 1), ...);
    return dw;
}

// ---------------------------------------------------------------------------
// Proxy

class CDVRSinkProxy : public CUnknown, public IKVDVRSink
{
public:
    explicit CDVRSinkProxy(CRemoteChannel* pChannel) : CUnknown("DVR sink proxy", nullptr), m_pChannel(pChannel)
    {
        m_pChannel->AddRef();
    }
    ~CDVRSinkProxy() override { m_pChannel->Release(); }

    DECLARE_IUNKNOWN

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IKVDVRSink || riid == IID_IKVDVRSink1 || riid == IID_IKVDVRSink2 ||
            riid == IID_IKVDVRSink3)
            return GetInterface(static_cast<IKVDVRSink*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT GetAvailableRange(double* pFirst, double* pCurrent, double* pLast) override
    {
        CWireWriter w;
        w.PutDword(OutMask(pFirst, pCurrent, pLast));
        CWireReader r;
        HRESULT hr = Call(kGetAvailableRange, w, &r);
        GetOut(&r, pFirst);
        GetOut(&r, pCurrent);
        GetOut(&r, pLast);
        return Result(hr, r);
    }
    HRESULT SetFolderCount(LONG nFolders) override
    {
        CWireWriter w;
        w.PutLong(nFolders);
        CWireReader r;
        return Call(kSetFolderCount, w, &r);
    }
    HRESULT GetFolderCount(LONG* pnFolders) override
    {
        CWireWriter w;
        w.PutDword(OutMask(pnFolders));
        CWireReader r;
        HRESULT hr = Call(kGetFolderCount, w, &r);
        GetOut(&r, pnFolders);
        return Result(hr, r);
    }
    HRESULT SetFolderName(LONG nIndex, BSTR bstrPath) override
    {
        CWireWriter w;
        w.PutLong(nIndex);
        w.PutBstr(bstrPath);
        CWireReader r;
        return Call(kSetFolderName, w, &r);
    }
    HRESULT GetFolderName(LONG nIndex, BSTR* pbstrPath) override
    {
        CWireWriter w;
        w.PutLong(nIndex);
        w.PutDword(OutMask(pbstrPath));
        CWireReader r;
        HRESULT hr = Call(kGetFolderName, w, &r);
        GetOut(&r, pbstrPath);
        return Result(hr, r);
    }
    HRESULT SetBaseName(BSTR bstrName) override
    {
        CWireWriter w;
        w.PutBstr(bstrName);
        CWireReader r;
        return Call(kSetBaseName, w, &r);
    }
    HRESULT GetBaseName(BSTR* pbstrName) override
    {
        CWireWriter w;
        w.PutDword(OutMask(pbstrName));
        CWireReader r;
        HRESULT hr = Call(kGetBaseName, w, &r);
        GetOut(&r, pbstrName);
        return Result(hr, r);
    }
    HRESULT SetBufferSize(LONG nFolderIndex, LONG nFiles, double dFileSize) override
    {
        CWireWriter w;
        w.PutLong(nFolderIndex);
        w.PutLong(nFiles);
        w.PutDouble(dFileSize);
        CWireReader r;
        return Call(kSetBufferSize, w, &r);
    }
    HRESULT GetBufferSize(LONG nFolderIndex, LONG lFlags, LONG* pnFiles, double* pdBytes) override
    {
        CWireWriter w;
        w.PutLong(nFolderIndex);
        w.PutLong(lFlags);
        w.PutDword(OutMask(pnFiles, pdBytes));
        CWireReader r;
        HRESULT hr = Call(kGetBufferSize, w, &r);
        GetOut(&r, pnFiles);
        GetOut(&r, pdBytes);
        return Result(hr, r);
    }
    HRESULT CopyToFile(BSTR bstrFile, double dStart, double dEnd) override
    {
        CWireWriter w;
        w.PutBstr(bstrFile);
        w.PutDouble(dStart);
        w.PutDouble(dEnd);
        CWireReader r;
        return Call(kCopyToFile, w, &r);
    }
    HRESULT GetStatus(LONG* plStatus, LONG* plFolderIndex, LONG* plSlot, double* pdCurrentSize) override
    {
        CWireWriter w;
        w.PutDword(OutMask(plStatus, plFolderIndex, plSlot, pdCurrentSize));
        CWireReader r;
        HRESULT hr = Call(kGetStatus, w, &r);
        GetOut(&r, plStatus);
        GetOut(&r, plFolderIndex);
        GetOut(&r, plSlot);
        GetOut(&r, pdCurrentSize);
        return Result(hr, r);
    }
    HRESULT RegisterReader(LONG lKey, LONG lProcessId, HANDLE* phDataWritten, HANDLE* phRecordingsChanged) override
    {
        return Register(kRegisterReader, lKey, lProcessId, phDataWritten, phRecordingsChanged, nullptr);
    }
    HRESULT UnregisterReader(LONG lKey) override
    {
        CWireWriter w;
        w.PutLong(lKey);
        CWireReader r;
        return Call(kUnregisterReader, w, &r);
    }
    HRESULT ReservedOperation(DWORD dwArg1, DWORD dwArg2) override
    {
        CWireWriter w;
        w.PutDword(dwArg1);
        w.PutDword(dwArg2);
        CWireReader r;
        return Call(kReservedOperation, w, &r);
    }
    HRESULT GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize, double* pdFileSizeOnDisk,
                             LONG* plPlayIndex, LONG* plState) override
    {
        CWireWriter w;
        w.PutLong(nSlot);
        w.PutDword(OutMask(pbstrPath, pdSize, pdFileSizeOnDisk, plPlayIndex, plState));
        CWireReader r;
        HRESULT hr = Call(kGetRecordingInfo, w, &r);
        GetOut(&r, pbstrPath);
        GetOut(&r, pdSize);
        GetOut(&r, pdFileSizeOnDisk);
        GetOut(&r, plPlayIndex);
        GetOut(&r, plState);
        return Result(hr, r);
    }
    HRESULT StartChangingAttributes() override
    {
        CWireReader r;
        return Call(kStartChangingAttributes, CWireWriter(), &r);
    }
    HRESULT EndChangingAttributes(VARIANT_BOOL bAbort) override
    {
        CWireWriter w;
        w.PutLong(bAbort);
        CWireReader r;
        return Call(kEndChangingAttributes, w, &r);
    }
    HRESULT StartBackupToFile(BSTR bstrFile, LONG lReserved) override
    {
        CWireWriter w;
        w.PutBstr(bstrFile);
        w.PutLong(lReserved);
        CWireReader r;
        return Call(kStartBackupToFile, w, &r);
    }
    HRESULT StopBackupToFile() override
    {
        CWireReader r;
        return Call(kStopBackupToFile, CWireWriter(), &r);
    }
    HRESULT RegisterReaderEx(LONG lKey, LONG lProcessId, HANDLE* phDataWritten, HANDLE* phRecordingsChanged,
                             HANDLE* phOffsetReached) override
    {
        return Register(kRegisterReaderEx, lKey, lProcessId, phDataWritten, phRecordingsChanged, phOffsetReached);
    }
    HRESULT SetOffsetToReach(LONG lKey, double dOffset) override
    {
        CWireWriter w;
        w.PutLong(lKey);
        w.PutDouble(dOffset);
        CWireReader r;
        return Call(kSetOffsetToReach, w, &r);
    }
    HRESULT GetTimeRange(double dTime1, double dTime2, LONG lArg1, LONG lArg2) override
    {
        CWireWriter w;
        w.PutDouble(dTime1);
        w.PutDouble(dTime2);
        w.PutLong(lArg1);
        w.PutLong(lArg2);
        CWireReader r;
        return Call(kGetTimeRange, w, &r);
    }
    HRESULT GetTimeRangeEx(double dTime1, double dTime2, double dTime3, LONG lArg1, LONG lArg2, LONG lArg3) override
    {
        CWireWriter w;
        w.PutDouble(dTime1);
        w.PutDouble(dTime2);
        w.PutDouble(dTime3);
        w.PutLong(lArg1);
        w.PutLong(lArg2);
        w.PutLong(lArg3);
        CWireReader r;
        return Call(kGetTimeRangeEx, w, &r);
    }

private:
    // The writer's result, or the transport's failure.
    HRESULT Call(DWORD dwMethod, const CWireWriter& w, CWireReader* pr, HANDLE* ph = nullptr, DWORD c = 0)
    {
        HRESULT hrCall = E_FAIL;
        HRESULT hr = m_pChannel->Call(dwMethod, w, &hrCall, pr, ph, c);
        if (FAILED(hr)) {
            // Quiet for time-outs: a status thread polling a hung writer
            // would fill the trace.
            if (hr != RPC_E_TIMEOUT)
                Trace("\nCDVRSinkProxy::Call(%u): %s", static_cast<unsigned>(dwMethod), TraceHr(hr));
            pr->Assign(nullptr, 0);
            return hr;
        }
        return hrCall;
    }

    // A success whose reply is too short for its outputs is a broken writer.
    static HRESULT Result(HRESULT hr, const CWireReader& r)
    {
        return SUCCEEDED(hr) && FAILED(r.Status()) ? r.Status() : hr;
    }

    // Outputs are filled even on failure (the writer may have cleared them);
    // when the transport failed they read as zero.
    static void GetOut(CWireReader* pr, LONG* p)
    {
        if (p && FAILED(pr->GetLong(p)))
            *p = 0;
    }
    static void GetOut(CWireReader* pr, double* p)
    {
        if (p && FAILED(pr->GetDouble(p)))
            *p = 0.0;
    }
    static void GetOut(CWireReader* pr, BSTR* p)
    {
        if (p && FAILED(pr->GetBstr(p)))
            *p = nullptr;
    }

    HRESULT Register(DWORD dwMethod, LONG lKey, LONG lProcessId, HANDLE* ph1, HANDLE* ph2, HANDLE* ph3)
    {
        HANDLE* aph[3] = {ph1, ph2, ph3};
        for (HANDLE* ph : aph) {
            if (ph)
                *ph = INVALID_HANDLE_VALUE;
        }
        CWireWriter w;
        w.PutLong(lKey);
        w.PutLong(lProcessId);
        w.PutDword(OutMask(ph1, ph2, ph3));
        CWireReader r;
        HANDLE ah[3];
        HRESULT hr = Call(dwMethod, w, &r, ah, 3);
        // The reply says which outputs got a handle; they came in that order.
        DWORD dwGot = 0;
        if (FAILED(r.GetDword(&dwGot)))
            dwGot = 0;
        DWORD iNext = 0;
        for (DWORD i = 0; i < 3; ++i) {
            if (!(dwGot & (1u << i)) || iNext >= 3)
                continue;
            const HANDLE h = ah[iNext];
            ah[iNext++] = INVALID_HANDLE_VALUE;
            if (aph[i])
                *aph[i] = h;
            else if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        }
        for (HANDLE h : ah) {
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        }
        return hr;
    }

    CRemoteChannel* const m_pChannel;
};

// ---------------------------------------------------------------------------
// Stub

// Writer-side keys for remote readers; distinct from every other
// connection's.
std::atomic<LONG> g_lNextLocalKey{0x7E000001};

class CDVRSinkStub : public CStubConnection
{
public:
    explicit CDVRSinkStub(IKVDVRSink* pSink) : m_pSink(pSink) {}
    ~CDVRSinkStub() override
    {
        for (const auto& [lRemote, lLocal] : m_mapKeys) {
            Trace("\nCDVRSinkStub: reader 0x%08X left by a vanished client unregistered", static_cast<unsigned>(lRemote));
            (void)m_pSink->UnregisterReader(lLocal);
        }
        m_pSink->Release();
    }

    HRESULT Invoke(DWORD dwMethod, CWireReader* pIn, CWireWriter* pOut, std::vector<HANDLE>* pHandles) override
    {
        HRESULT hr = E_NOTIMPL;
        LONG l1 = 0, l2 = 0, l3 = 0, l4 = 0, l5 = 0;
        DWORD dwMask = 0, dw1 = 0, dw2 = 0;
        double d1 = 0, d2 = 0, d3 = 0;
        BSTR bstr = nullptr;
        auto want = [&](int i) { return (dwMask >> i) & 1; };
        switch (dwMethod) {
        case kGetAvailableRange:
            if (FAILED(pIn->GetDword(&dwMask)))
                break;
            hr = m_pSink->GetAvailableRange(want(0) ? &d1 : nullptr, want(1) ? &d2 : nullptr,
                                            want(2) ? &d3 : nullptr);
            PutOut(pOut, want(0), d1), PutOut(pOut, want(1), d2), PutOut(pOut, want(2), d3);
            break;
        case kSetFolderCount:
            if (SUCCEEDED(pIn->GetLong(&l1)))
                hr = m_pSink->SetFolderCount(l1);
            break;
        case kGetFolderCount:
            if (FAILED(pIn->GetDword(&dwMask)))
                break;
            hr = m_pSink->GetFolderCount(want(0) ? &l1 : nullptr);
            PutOut(pOut, want(0), l1);
            break;
        case kSetFolderName:
            (void)pIn->GetLong(&l1);
            if (SUCCEEDED(pIn->GetBstr(&bstr)))
                hr = m_pSink->SetFolderName(l1, bstr);
            break;
        case kGetFolderName:
            (void)pIn->GetLong(&l1);
            if (FAILED(pIn->GetDword(&dwMask)))
                break;
            hr = m_pSink->GetFolderName(l1, want(0) ? &bstr : nullptr);
            PutOut(pOut, want(0), bstr);
            break;
        case kSetBaseName:
            if (SUCCEEDED(pIn->GetBstr(&bstr)))
                hr = m_pSink->SetBaseName(bstr);
            break;
        case kGetBaseName:
            if (FAILED(pIn->GetDword(&dwMask)))
                break;
            hr = m_pSink->GetBaseName(want(0) ? &bstr : nullptr);
            PutOut(pOut, want(0), bstr);
            break;
        case kSetBufferSize:
            (void)pIn->GetLong(&l1);
            (void)pIn->GetLong(&l2);
            if (SUCCEEDED(pIn->GetDouble(&d1)))
                hr = m_pSink->SetBufferSize(l1, l2, d1);
            break;
        case kGetBufferSize:
            (void)pIn->GetLong(&l1);
            (void)pIn->GetLong(&l2);
            if (FAILED(pIn->GetDword(&dwMask)))
                break;
            hr = m_pSink->GetBufferSize(l1, l2, want(0) ? &l3 : nullptr, want(1) ? &d1 : nullptr);
            PutOut(pOut, want(0), l3), PutOut(pOut, want(1), d1);
            break;
        case kCopyToFile:
            (void)pIn->GetBstr(&bstr);
            (void)pIn->GetDouble(&d1);
            if (SUCCEEDED(pIn->GetDouble(&d2)))
                hr = m_pSink->CopyToFile(bstr, d1, d2);
            break;
        case kGetStatus:
            if (FAILED(pIn->GetDword(&dwMask)))
                break;
            hr = m_pSink->GetStatus(want(0) ? &l1 : nullptr, want(1) ? &l2 : nullptr, want(2) ? &l3 : nullptr,
                                    want(3) ? &d1 : nullptr);
            PutOut(pOut, want(0), l1), PutOut(pOut, want(1), l2), PutOut(pOut, want(2), l3);
            PutOut(pOut, want(3), d1);
            break;
        case kRegisterReader:
        case kRegisterReaderEx:
            (void)pIn->GetLong(&l1);
            (void)pIn->GetLong(&l2);
            if (SUCCEEDED(pIn->GetDword(&dwMask)))
                hr = Register(dwMethod == kRegisterReaderEx, l1, l2, dwMask, pOut, pHandles);
            break;
        case kUnregisterReader:
            if (SUCCEEDED(pIn->GetLong(&l1)))
                hr = Unregister(l1);
            break;
        case kReservedOperation:
            (void)pIn->GetDword(&dw1);
            if (SUCCEEDED(pIn->GetDword(&dw2)))
                hr = m_pSink->ReservedOperation(dw1, dw2);
            break;
        case kGetRecordingInfo:
            (void)pIn->GetLong(&l1);
            if (FAILED(pIn->GetDword(&dwMask)))
                break;
            hr = m_pSink->GetRecordingInfo(l1, want(0) ? &bstr : nullptr, want(1) ? &d1 : nullptr,
                                           want(2) ? &d2 : nullptr, want(3) ? &l2 : nullptr, want(4) ? &l3 : nullptr);
            PutOut(pOut, want(0), bstr), PutOut(pOut, want(1), d1), PutOut(pOut, want(2), d2);
            PutOut(pOut, want(3), l2), PutOut(pOut, want(4), l3);
            break;
        case kStartChangingAttributes:
            hr = m_pSink->StartChangingAttributes();
            break;
        case kEndChangingAttributes:
            if (SUCCEEDED(pIn->GetLong(&l1)))
                hr = m_pSink->EndChangingAttributes(static_cast<VARIANT_BOOL>(l1));
            break;
        case kStartBackupToFile:
            (void)pIn->GetBstr(&bstr);
            if (SUCCEEDED(pIn->GetLong(&l1)))
                hr = m_pSink->StartBackupToFile(bstr, l1);
            break;
        case kStopBackupToFile:
            hr = m_pSink->StopBackupToFile();
            break;
        case kSetOffsetToReach:
            (void)pIn->GetLong(&l1);
            if (FAILED(pIn->GetDouble(&d1)))
                break;
            {
                auto it = m_mapKeys.find(l1);
                hr = it == m_mapKeys.end() ? E_INVALIDARG : m_pSink->SetOffsetToReach(it->second, d1);
            }
            break;
        case kGetTimeRange:
            (void)pIn->GetDouble(&d1);
            (void)pIn->GetDouble(&d2);
            (void)pIn->GetLong(&l1);
            if (SUCCEEDED(pIn->GetLong(&l2)))
                hr = m_pSink->GetTimeRange(d1, d2, l1, l2);
            break;
        case kGetTimeRangeEx:
            (void)pIn->GetDouble(&d1);
            (void)pIn->GetDouble(&d2);
            (void)pIn->GetDouble(&d3);
            (void)pIn->GetLong(&l1);
            (void)pIn->GetLong(&l4);
            if (SUCCEEDED(pIn->GetLong(&l5)))
                hr = m_pSink->GetTimeRangeEx(d1, d2, d3, l1, l4, l5);
            break;
        default:
            hr = RPC_E_SERVERFAULT;
            break;
        }
        SysFreeString(bstr);
        if (FAILED(pIn->Status())) {
            Trace("\nCDVRSinkStub::Invoke(%u): malformed request", static_cast<unsigned>(dwMethod));
            return pIn->Status();
        }
        return hr;
    }

private:
    static void PutOut(CWireWriter* pw, bool bWant, LONG l)
    {
        if (bWant)
            pw->PutLong(l);
    }
    static void PutOut(CWireWriter* pw, bool bWant, double d)
    {
        if (bWant)
            pw->PutDouble(d);
    }
    static void PutOut(CWireWriter* pw, bool bWant, BSTR bstr)
    {
        if (bWant)
            pw->PutBstr(bstr);
    }

    HRESULT Register(bool bEx, LONG lRemoteKey, LONG lPid, DWORD dwMask, CWireWriter* pOut,
                     std::vector<HANDLE>* pHandles)
    {
        auto it = m_mapKeys.find(lRemoteKey);
        const LONG lLocal = it != m_mapKeys.end() ? it->second : g_lNextLocalKey.fetch_add(1);
        HANDLE ah[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
        HANDLE* aph[3] = {(dwMask & 1) ? &ah[0] : nullptr, (dwMask & 2) ? &ah[1] : nullptr,
                          (dwMask & 4) ? &ah[2] : nullptr};
        // The events are made in this process and the transport hands them
        // on; the reader's own process id lets the writer notice its death.
        HRESULT hr = bEx ? m_pSink->RegisterReaderEx(lLocal, lPid, aph[0], aph[1], aph[2])
                         : m_pSink->RegisterReader(lLocal, lPid, aph[0], aph[1]);
        DWORD dwGot = 0;
        if (SUCCEEDED(hr)) {
            m_mapKeys[lRemoteKey] = lLocal;
            for (DWORD i = 0; i < 3; ++i) {
                if (ah[i] != INVALID_HANDLE_VALUE) {
                    dwGot |= 1u << i;
                    pHandles->push_back(ah[i]);
                }
            }
        } else {
            for (HANDLE h : ah) {
                if (h != INVALID_HANDLE_VALUE)
                    CloseHandle(h);
            }
        }
        pOut->PutDword(dwGot);
        return hr;
    }

    HRESULT Unregister(LONG lRemoteKey)
    {
        auto it = m_mapKeys.find(lRemoteKey);
        if (it == m_mapKeys.end())
            return S_OK;  // as the writer answers for a key it does not know
        const LONG lLocal = it->second;
        m_mapKeys.erase(it);
        return m_pSink->UnregisterReader(lLocal);
    }

    IKVDVRSink* const m_pSink;  // one reference
    // Keys of this connection's readers: theirs to ours. Only the
    // connection's thread touches it.
    std::map<LONG, LONG> m_mapKeys;
};

HRESULT CreateStub(IUnknown* pObject, CStubConnection** ppStub)
{
    *ppStub = new (std::nothrow) CDVRSinkStub(static_cast<IKVDVRSink*>(pObject));
    if (!*ppStub) {
        pObject->Release();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CreateProxy(CRemoteChannel* pChannel, IUnknown** ppProxy)
{
    CDVRSinkProxy* p = new (std::nothrow) CDVRSinkProxy(pChannel);
    if (!p)
        return E_OUTOFMEMORY;
    return p->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppProxy));
}

const SInterfaceMarshaller g_dvrSinkMarshaller = {IID_IKVDVRSink, CreateStub, CreateProxy};

// Runs when this file is linked in, which the library's link options make
// sure of.
const bool g_bInstalled = (InstallDVRSinkMarshaller(), true);

}  // namespace

extern "C" const bool* const g_pbKVDVRSinkMarshallerLinked = &g_bInstalled;

const SInterfaceMarshaller& DVRSinkMarshaller()
{
    return g_dvrSinkMarshaller;
}

void InstallDVRSinkMarshaller()
{
    RegisterInterfaceMarshaller(&g_dvrSinkMarshaller);
}
