// CDVREngine in reader mode: the link to the writer, copying a range of
// the stream out, and the information about one recording.
#include <algorithm>
#include <new>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrplayorder.h"
#include "dshowflt/common/dvr/dvrsinkthread.h"

using namespace dvr;

namespace {

constexpr DWORD kCopyBlock = 8192;

}  // namespace

// ---------------------------------------------------------------------------
// The link to the writer

HRESULT CDVREngine::EnsureSinkThreadFor(IKVDVRSink* pSink)
{
    // The link is made, and the writer asked, with no lock held: a link to
    // a writer in this process registers with it at once, and a lookup by
    // name waits up to 10 ms for the writer's process.
    IKVDVRSink* pOld = nullptr;
    IKVDVRSink* pInProc;
    CDVRSinkThread* pThread;
    {
        CAutoLock lock(&m_csSinkThread);
        if (pSink && pSink != m_pInProcSink) {
            pSink->AddRef();
            pOld = m_pInProcSink;
            m_pInProcSink = pSink;
        }
        pInProc = m_pInProcSink;
        if (pInProc)
            pInProc->AddRef();
        pThread = m_pSinkThread;
        if (pThread)
            pThread->AddUse();
    }
    if (pOld)
        pOld->Release();
    HRESULT hr = S_OK;
    if (!pThread) {
        CDVRSinkThread* pNew = nullptr;
        hr = CDVRSinkThread::Create(pInProc, &pNew);
        if (SUCCEEDED(hr)) {
            {
                CAutoLock lock(&m_csSinkThread);
                if (!m_pSinkThread) {
                    m_pSinkThread = pNew;  // the engine's use
                    pNew = nullptr;
                }
                pThread = m_pSinkThread;
                pThread->AddUse();
            }
            if (pNew)
                pNew->ReleaseUse();  // another caller linked first
        }
    }
    if (pInProc)
        pInProc->Release();
    if (FAILED(hr))
        return hr;
    if (!pThread->HasSink()) {
        const CWString strOwner = GetOwnerName();
        hr = strOwner.empty() ? E_POINTER
                              : pThread->ConnectToSink(strOwner.c_str(), CDVRSinkThread::kShortTimeoutMs);
    }
    pThread->ReleaseUse();
    return hr;
}

HRESULT CDVREngine::EnsureSinkThread()
{
    return EnsureSinkThreadFor(nullptr);
}

CDVRSinkThread* CDVREngine::AcquireSinkThread()
{
    CAutoLock lock(&m_csSinkThread);
    if (m_pSinkThread)
        m_pSinkThread->AddUse();
    return m_pSinkThread;
}

void CDVREngine::ReleaseSinkThread(CDVRSinkThread* pThread)
{
    if (pThread)
        pThread->ReleaseUse();
}

void CDVREngine::RemoveSinkThread()
{
    CDVRSinkThread* pThread;
    {
        CAutoLock lock(&m_csSinkThread);
        pThread = m_pSinkThread;
        m_pSinkThread = nullptr;
    }
    // Outside the lock: a thread busy with a hung writer is left to end on
    // its own; this never waits for it longer than the exit request's 5 ms.
    if (pThread)
        pThread->ReleaseUse();
}

// ---------------------------------------------------------------------------
// Copying and recording information

HRESULT CDVREngine::CopyToFile(LPCWSTR pszFile, LONGLONG llStart, LONGLONG llEnd)
{
    if (!pszFile || !*pszFile)
        return E_POINTER;
    if (llEnd >= 0 && llEnd <= llStart)
        return E_INVALIDARG;
    HRESULT hr = ReadAndUpdateRecordingsInfo();
    if (FAILED(hr))
        return hr;
    // A snapshot of the picture, so that the copy runs without the engine
    // lock; offsets are this reader's, as for ReadData.
    LONG nCount;
    LONG nMinPlayIndex;
    LONGLONG llMinOffset;
    std::unique_ptr<RecordingInfo[]> pList;
    {
        CAutoLock lock(&m_csEngine);
        nCount = m_nRecordings;
        nMinPlayIndex = m_nMinPlayIndex;
        llMinOffset = m_llMinOffset;
        pList.reset(new (std::nothrow) RecordingInfo[nCount > 0 ? nCount : 1]);
        if (!pList)
            return E_OUTOFMEMORY;
        std::copy(m_pRecordings.get(), m_pRecordings.get() + nCount, pList.get());
    }
    if (nCount == 0)
        return KVMM_E_DVR_NO_RECORDINGS;
    std::unique_ptr<LONG[]> pOrder;
    hr = SortByPlayIndex(pList.get(), nCount, &pOrder);
    if (FAILED(hr))
        return hr;
    std::unique_ptr<BYTE[]> pBlock(new (std::nothrow) BYTE[kCopyBlock]);
    if (!pBlock)
        return E_OUTOFMEMORY;
    std::unique_ptr<IFile> pOut;
    hr = OpenFile(pszFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, &pOut);
    if (FAILED(hr))
        return hr;

    const LONGLONG llStop = llEnd < 0 ? MAX_INT64 : llEnd;
    HRESULT hrCopy = S_OK;
    bool bWalked = false;
    hr = WalkPlayOrder(pList.get(), pOrder.get(), nCount, nMinPlayIndex, llMinOffset, nullptr, nullptr,
                       [&](LONG nSlot, LONGLONG llAt) {
                           bWalked = true;
                           const LONGLONG llFrom = std::max(llStart, llAt);
                           const LONGLONG llTo = std::min(llStop, llAt + pList[nSlot].size);
                           if (llFrom >= llTo)
                               return llAt < llStop;
                           std::unique_ptr<IFile> pIn;
                           hrCopy = OpenRecordingForReading(pList[nSlot].path, &pIn);
                           if (SUCCEEDED(hrCopy))
                               hrCopy = pIn->Seek(llFrom - llAt, FILE_BEGIN, nullptr);
                           for (LONGLONG ll = llFrom; SUCCEEDED(hrCopy) && ll < llTo;) {
                               const DWORD cb = static_cast<DWORD>(std::min<LONGLONG>(kCopyBlock, llTo - ll));
                               DWORD cbGot = 0, cbPut = 0;
                               hrCopy = pIn->Read(pBlock.get(), cb, &cbGot);
                               if (SUCCEEDED(hrCopy) && cbGot < cb)
                                   hrCopy = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
                               if (SUCCEEDED(hrCopy))
                                   hrCopy = pOut->Write(pBlock.get(), cb, &cbPut);
                               if (SUCCEEDED(hrCopy) && cbPut < cb)
                                   hrCopy = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
                               ll += cb;
                           }
                           return SUCCEEDED(hrCopy);
                       });
    if (FAILED(hr))
        return hr;
    if (!bWalked)
        return E_UNEXPECTED;
    return hrCopy;
}

HRESULT CDVREngine::GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize, double* pdFileSize,
                                     LONG* pnPlayIndex, LONG* pnState)
{
    if (!pbstrPath || !pdSize || !pdFileSize || !pnPlayIndex || !pnState)
        return E_POINTER;
    *pbstrPath = nullptr;
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    HRESULT hr = ReadAllRecordingsInfo(&nCount, &pList);
    if (FAILED(hr))
        return hr;
    if (nCount == 0)
        return KVMM_E_DVR_NO_RECORDINGS;
    if (nSlot < 0 || nSlot >= nCount)
        return E_INVALIDARG;
    const RecordingInfo& info = pList[nSlot];

    LONGLONG llOnDisk = 0;
    std::unique_ptr<IFile> pFile;
    if (SUCCEEDED(OpenRecordingForReading(info.path, &pFile)) && FAILED(pFile->GetSize(&llOnDisk)))
        llOnDisk = 0;
    LONG nState = 4;
    if (info.size == 0) {
        nState = 1;
    } else if (IsGrowingSource()) {
        CDVRSinkThread* pThread = AcquireSinkThread();
        if (pThread) {
            LONG lStatus = 0, lFolder = 0, lSlot = 0;
            LONGLONG llSize = 0;
            hr = pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, CDVRSinkThread::kInfoTimeoutMs);
            ReleaseSinkThread(pThread);
            if (FAILED(hr))
                return hr;
            nState = lSlot == nSlot ? 2 : 4;
        }
    }
    BSTR bstr = SysAllocString(info.path);
    if (!bstr)
        return E_OUTOFMEMORY;
    *pbstrPath = bstr;
    *pdSize = static_cast<double>(info.size);
    *pdFileSize = static_cast<double>(llOnDisk);
    *pnPlayIndex = info.playIndex;
    *pnState = nState;
    return S_OK;
}
