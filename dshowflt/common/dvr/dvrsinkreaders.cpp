// CBaseDVRSink: the registry of readers that follow the writer, and the
// queries and copies that read the buffer back.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/thread.h"

using namespace dvr;

namespace {

// A crashed reader never unregisters; its entry is found and dropped at the
// next registration, or by the writer at most this often.
constexpr DWORD kPruneIntervalMs = 1000;
constexpr DWORD kCopyBlock = 8192;
// Doubles beyond this do not convert to a 64-bit offset.
constexpr double kMaxOffset = 9.2e18;

void CloseIfValid(HANDLE h)
{
    if (h != INVALID_HANDLE_VALUE)
        (void)CloseHandle(h);
}

}  // namespace

// ---------------------------------------------------------------------------
// Registry

bool CBaseDVRSink::RemoveReaderLocked(LONG lKey)
{
    for (LONG i = 0; i < m_nReaders; ++i) {
        if (m_pReaders[i].lKey != lKey)
            continue;
        CloseIfValid(m_pReaders[i].hDataWritten);
        CloseIfValid(m_pReaders[i].hRecordingsChanged);
        CloseIfValid(m_pReaders[i].hOffsetReached);
        m_pReaders[i] = m_pReaders[m_nReaders - 1];
        --m_nReaders;
        return true;
    }
    return false;
}

void CBaseDVRSink::ClearReaders()
{
    CAutoLock lock(&m_csReaders);
    while (m_nReaders > 0)
        (void)RemoveReaderLocked(m_pReaders[0].lKey);
}

void CBaseDVRSink::PruneDeadReaders(bool bForce)
{
    CAutoLock lock(&m_csReaders);
    const DWORD dwNow = GetTickCount();
    if (!bForce && TickDiff(dwNow, m_dwLastPruneTick) < kPruneIntervalMs)
        return;
    m_dwLastPruneTick = dwNow;
    const DWORD dwSelf = GetCurrentProcessId();
    for (LONG i = m_nReaders - 1; i >= 0; --i) {
        const SReader& r = m_pReaders[i];
        if (r.dwProcessId == dwSelf || IsProcessAlive(r.dwProcessId))
            continue;
        Trace("\nCBaseDVRSink::PruneDeadReaders: reader 0x%08X of process %u is gone, dropping it",
              static_cast<unsigned>(r.lKey), static_cast<unsigned>(r.dwProcessId));
        (void)RemoveReaderLocked(r.lKey);
    }
}

// Setting an event never blocks, so the readers are told under the writer
// lock, at the moment the stub shows what they are told about.
void CBaseDVRSink::SignalReaders(bool bDataWritten, bool bRecordingsChanged)
{
    CAutoLock lock(&m_csReaders);
    for (LONG i = 0; i < m_nReaders; ++i) {
        if (bDataWritten)
            (void)SetEvent(m_pReaders[i].hDataWritten);
        if (bRecordingsChanged)
            (void)SetEvent(m_pReaders[i].hRecordingsChanged);
    }
}

void CBaseDVRSink::OnRecordingsChanged()
{
    SignalReaders(false, true);
}

bool CBaseDVRSink::AnyTargetBelow(LONGLONG llTotal)
{
    CAutoLock lock(&m_csReaders);
    for (LONG i = 0; i < m_nReaders; ++i) {
        if (m_pReaders[i].llTarget != 0 && m_pReaders[i].llTarget < llTotal)
            return true;
    }
    return false;
}

void CBaseDVRSink::SignalReachedTargets(LONGLONG llPublished)
{
    CAutoLock lock(&m_csReaders);
    for (LONG i = 0; i < m_nReaders; ++i) {
        SReader& r = m_pReaders[i];
        if (r.llTarget != 0 && r.llTarget < llPublished) {
            r.llTarget = 0;
            (void)SetEvent(r.hOffsetReached);
        }
    }
}

HRESULT CBaseDVRSink::RegisterReader(LONG lKey, LONG lProcessId, HANDLE* phDataWritten,
                                     HANDLE* phRecordingsChanged)
{
    return RegisterReaderEx(lKey, lProcessId, phDataWritten, phRecordingsChanged, nullptr);
}

HRESULT CBaseDVRSink::RegisterReaderEx(LONG lKey, LONG lProcessId, HANDLE* phDataWritten,
                                       HANDLE* phRecordingsChanged, HANDLE* phOffsetReached)
{
    if (!phDataWritten || !phRecordingsChanged)
        return E_POINTER;
    *phDataWritten = INVALID_HANDLE_VALUE;
    *phRecordingsChanged = INVALID_HANDLE_VALUE;
    if (phOffsetReached)
        *phOffsetReached = INVALID_HANDLE_VALUE;
    (void)UnregisterReader(lKey);
    // Every registration is a moment to drop readers that died without
    // unregistering, so that a stream of crashing readers cannot pile up
    // descriptors even while nothing is written.
    PruneDeadReaders(true);
    const DWORD dwProcessId = static_cast<DWORD>(lProcessId);
    if (!IsProcessAlive(dwProcessId))
        return HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);

    SReader r{lKey, dwProcessId, CreateEvent(FALSE, FALSE), CreateEvent(FALSE, FALSE), CreateEvent(FALSE, FALSE), 0};
    HANDLE ahOut[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    HRESULT hr = S_OK;
    if (r.hDataWritten == INVALID_HANDLE_VALUE || r.hRecordingsChanged == INVALID_HANDLE_VALUE ||
        r.hOffsetReached == INVALID_HANDLE_VALUE)
        hr = HrFromErrno(errno);
    // The reader gets its own handles to the events. Readers in other
    // processes receive theirs through the cross-process hand-over; here they
    // are duplicates in this process.
    if (SUCCEEDED(hr))
        hr = DuplicateHandle(r.hDataWritten, &ahOut[0]);
    if (SUCCEEDED(hr))
        hr = DuplicateHandle(r.hRecordingsChanged, &ahOut[1]);
    if (SUCCEEDED(hr) && phOffsetReached)
        hr = DuplicateHandle(r.hOffsetReached, &ahOut[2]);
    if (SUCCEEDED(hr)) {
        CAutoLock lock(&m_csReaders);
        if (m_nReaders == m_nReaderCapacity) {
            const LONG nNew = m_nReaderCapacity < 8 ? 8 : m_nReaderCapacity * 2;
            std::unique_ptr<SReader[]> pNew(new (std::nothrow) SReader[nNew]);
            if (!pNew) {
                hr = E_OUTOFMEMORY;
            } else {
                for (LONG i = 0; i < m_nReaders; ++i)
                    pNew[i] = m_pReaders[i];
                m_pReaders = std::move(pNew);
                m_nReaderCapacity = nNew;
            }
        }
        if (SUCCEEDED(hr))
            m_pReaders[m_nReaders++] = r;
    }
    if (FAILED(hr)) {
        Trace("\nCBaseDVRSink::RegisterReaderEx(0x%08X, %d) failed %s", static_cast<unsigned>(lKey),
              static_cast<int>(lProcessId), TraceHr(hr));
        CloseIfValid(r.hDataWritten);
        CloseIfValid(r.hRecordingsChanged);
        CloseIfValid(r.hOffsetReached);
        for (HANDLE h : ahOut)
            CloseIfValid(h);
        return hr;
    }
    *phDataWritten = ahOut[0];
    *phRecordingsChanged = ahOut[1];
    if (phOffsetReached)
        *phOffsetReached = ahOut[2];
    return S_OK;
}

HRESULT CBaseDVRSink::UnregisterReader(LONG lKey)
{
    CAutoLock lock(&m_csReaders);
    return RemoveReaderLocked(lKey) ? S_FALSE : S_OK;
}

HRESULT CBaseDVRSink::ReservedOperation(DWORD dwArg1, DWORD dwArg2)
{
    (void)dwArg1;
    (void)dwArg2;
    return S_OK;
}

HRESULT CBaseDVRSink::SetOffsetToReach(LONG lKey, double dOffset)
{
    if (!(dOffset >= 0.1) || dOffset >= kMaxOffset)
        return E_INVALIDARG;
    const LONGLONG llTarget = static_cast<LONGLONG>(dOffset + 0.1);
    CAutoLock lock(&m_csReaders);
    for (LONG i = 0; i < m_nReaders; ++i) {
        SReader& r = m_pReaders[i];
        if (r.lKey != lKey)
            continue;
        // A target already passed is signalled at once: the publication that
        // passed it may have come just before the reader asked, and waiting
        // for the next one would stall a reader of an idle stream.
        if (llTarget < m_llPublishedTotal.load(std::memory_order_acquire)) {
            r.llTarget = 0;
            (void)SetEvent(r.hOffsetReached);
        } else {
            r.llTarget = llTarget;
        }
        return S_OK;
    }
    return E_INVALIDARG;
}

// ---------------------------------------------------------------------------
// Queries

HRESULT CBaseDVRSink::ReadRecords(LONG* pnCount, std::unique_ptr<RecordingInfo[]>* ppList)
{
    if (!m_bStubKnown.load(std::memory_order_acquire))
        return KVMM_E_DVR_NO_RECORDINGS;
    HRESULT hr = ReadAllRecordingsInfo(pnCount, ppList);
    if (SUCCEEDED(hr) && *pnCount == 0)
        hr = KVMM_E_DVR_NO_RECORDINGS;
    return hr;
}

HRESULT CBaseDVRSink::GetAvailableRange(double* pFirst, double* pCurrent, double* pLast)
{
    if (!pFirst || !pCurrent || !pLast)
        return E_POINTER;
    // Readers ask this to learn where their offsets stand in the writer's
    // count; it must describe the stub as it is at one moment, which the
    // stub lock gives, and must not wait for a block being written, which
    // the writer lock would.
    CAutoLock lock(&m_csStubFile);
    if (!m_bHaveRecords)
        return KVMM_E_DVR_NO_RECORDINGS;
    const LONGLONG llPublished = m_llPublishedTotal.load(std::memory_order_acquire);
    *pFirst = static_cast<double>(m_llFirstKept);
    *pCurrent = static_cast<double>(llPublished);
    *pLast = static_cast<double>(llPublished);
    return S_OK;
}

HRESULT CBaseDVRSink::GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize, double* pdFileSizeOnDisk,
                                       LONG* plPlayIndex, LONG* plState)
{
    if (!pbstrPath || !pdSize || !pdFileSizeOnDisk || !plPlayIndex || !plState)
        return E_POINTER;
    *pbstrPath = nullptr;
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    HRESULT hr = ReadRecords(&nCount, &pList);
    if (FAILED(hr))
        return hr;
    if (nSlot < 0 || nSlot >= nCount)
        return E_INVALIDARG;
    const RecordingInfo& info = pList[nSlot];
    LONGLONG llOnDisk = 0;
    std::unique_ptr<IFile> pFile;
    if (SUCCEEDED(OpenRecordingForReading(info.path, &pFile)) && FAILED(pFile->GetSize(&llOnDisk)))
        llOnDisk = 0;
    const CDVRStatusSnapshot::SValue status = m_status.Load();
    const bool bCurrent = status.lStatus == DVRStatus_Writing && nSlot == status.lSlot;
    *pbstrPath = SysAllocString(info.path);
    if (!*pbstrPath)
        return E_OUTOFMEMORY;
    *pdSize = static_cast<double>(info.size);
    *pdFileSizeOnDisk = static_cast<double>(llOnDisk);
    *plPlayIndex = info.playIndex;
    *plState = info.size == 0 ? kDVRRecordingEmpty : (bCurrent ? kDVRRecordingWriting : kDVRRecordingComplete);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Copying out

HRESULT CBaseDVRSink::CopyToFile(BSTR bstrFile, double dStart, double dEnd)
{
    if (!bstrFile || !*bstrFile)
        return E_POINTER;
    if (std::isnan(dStart) || std::isnan(dEnd) || dStart >= kMaxOffset || dEnd >= kMaxOffset)
        return E_INVALIDARG;
    const LONGLONG llStart = dStart < 0 ? 0 : static_cast<LONGLONG>(dStart);
    const LONGLONG llEnd = dEnd < 0 ? -1 : static_cast<LONGLONG>(dEnd);
    if (llEnd >= 0 && llEnd <= llStart)
        return E_INVALIDARG;
    HRESULT hr = CopyRange(bstrFile, llStart, llEnd);
    m_nRecordingInUse.store(-1, std::memory_order_release);
    if (FAILED(hr))
        Trace("\nCBaseDVRSink::CopyToFile(%S) failed %s", bstrFile, TraceHr(hr));
    return hr;
}

HRESULT CBaseDVRSink::CopyRange(LPCWSTR pszFile, LONGLONG llStart, LONGLONG llEnd)
{
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    LONGLONG llOffset;
    {
        // Under the stub lock the records, the published total and the slot
        // in use agree: the writer changes all three under it.
        CAutoLock lock(&m_csStubFile);
        HRESULT hr = ReadRecords(&nCount, &pList);
        if (FAILED(hr))
            return hr;
        LONG nOldest = 0;
        LONGLONG llSum = 0;
        for (LONG i = 0; i < nCount; ++i) {
            llSum += pList[i].size;
            if (pList[i].playIndex < pList[nOldest].playIndex)
                nOldest = i;
        }
        m_nRecordingInUse.store(nOldest, std::memory_order_release);
        llOffset = m_llPublishedTotal.load(std::memory_order_acquire) - llSum;
        if (llEnd < 0)
            llEnd = m_llPublishedTotal.load(std::memory_order_acquire);
    }

    std::unique_ptr<IFile> pOut;
    HRESULT hr = OpenFile(pszFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, &pOut);
    if (FAILED(hr))
        return hr;

    // Ascending play order: each step takes the smallest playIndex above the
    // previous one, so gaps and a wrapped ring are walked the same way.
    LONG nPrevPlay = INT32_MIN;
    bool bFirst = true;
    for (LONG nStep = 0; nStep < nCount && llOffset < llEnd; ++nStep) {
        LONG nNext = -1;
        for (LONG i = 0; i < nCount; ++i) {
            if ((bFirst || pList[i].playIndex > nPrevPlay) &&
                (nNext < 0 || pList[i].playIndex < pList[nNext].playIndex))
                nNext = i;
        }
        if (nNext < 0)
            break;
        bFirst = false;
        nPrevPlay = pList[nNext].playIndex;
        const LONGLONG llRecStart = llOffset;
        llOffset += pList[nNext].size;
        const LONGLONG llFrom = llStart > llRecStart ? llStart : llRecStart;
        const LONGLONG llTo = llEnd < llOffset ? llEnd : llOffset;
        if (llFrom >= llTo)
            continue;
        hr = CopyOneRecording(pOut.get(), nNext, pList[nNext].playIndex, llFrom, llTo, llRecStart);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT CBaseDVRSink::CopyOneRecording(IFile* pOut, LONG nSlot, LONG nPlayIndex, LONGLONG llFrom, LONGLONG llTo,
                                       LONGLONG llRecStart)
{
    std::unique_ptr<IFile> pIn;
    {
        // Marked under the stub lock, where the writer decides whether it
        // may recreate a slot; the record is then checked once more, since
        // the writer may have reused the slot after our first look.
        CAutoLock lock(&m_csStubFile);
        m_nRecordingInUse.store(nSlot, std::memory_order_release);
        LONG nCount = 0;
        std::unique_ptr<RecordingInfo[]> pList;
        HRESULT hr = ReadRecords(&nCount, &pList);
        if (FAILED(hr))
            return hr;
        if (nSlot >= nCount || pList[nSlot].playIndex != nPlayIndex)
            return KVMM_E_DVR_DISCARDED_DATA;
        hr = OpenRecordingForReading(pList[nSlot].path, &pIn);
        if (FAILED(hr))
            return hr;
    }
    HRESULT hr = pIn->Seek(llFrom - llRecStart, FILE_BEGIN, nullptr);
    BYTE ab[kCopyBlock];
    while (SUCCEEDED(hr) && llFrom < llTo) {
        const DWORD cbWant = static_cast<DWORD>(llTo - llFrom < kCopyBlock ? llTo - llFrom : kCopyBlock);
        DWORD cbRead = 0;
        hr = pIn->Read(ab, cbWant, &cbRead);
        if (SUCCEEDED(hr) && cbRead != cbWant)
            hr = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
        DWORD cbWritten = 0;
        if (SUCCEEDED(hr))
            hr = pOut->Write(ab, cbRead, &cbWritten);
        llFrom += cbRead;
    }
    m_nRecordingInUse.store(-1, std::memory_order_release);
    return hr;
}
