// CDVRSourceStream and CBaseDVRSource: the growing-file view of the DVR
// buffer and its control interface.
#include "dshowflt/common/dvr/dvrsource.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "dshowflt/common/trace/trace.h"
#include "platform/rot.h"
#include "platform/thread.h"

namespace {

// A read that keeps landing on overwritten bytes (a writer lapping a reader
// that cannot keep up, or restarting over and over) gives up after this many
// moves instead of chasing the writer for ever.
constexpr int kMaxResumes = 64;
// A wait for the writer that answers at once (a hung writer's calls time out
// in a few ms) is stretched to this, so a read does not spin against it.
constexpr DWORD kMinWaitStepMs = 50;

bool DeadlinePassed(DWORD dwDeadline)
{
    return dwDeadline != 0 && TickDeadlineLeft(dwDeadline, GetTickCount()) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CDVRSourceStream

CDVRSourceStream::CDVRSourceStream() : CDVREngine(false) {}

CDVRSourceStream::~CDVRSourceStream() = default;

void CDVRSourceStream::Lock() NO_THREAD_SAFETY_ANALYSIS
{
    m_csStream.Lock();
}

void CDVRSourceStream::Unlock() NO_THREAD_SAFETY_ANALYSIS
{
    m_csStream.Unlock();
}

void CDVRSourceStream::BeginFlush()
{
    Trace("\nCDVRSourceStream::BeginFlush()");
    SetFlushing(true);
}

void CDVRSourceStream::EndFlush()
{
    Trace("\nCDVRSourceStream::EndFlush()");
    SetFlushing(false);
}

DWORD CDVRSourceStream::GetReadDeadline()
{
    const DWORD dwDeadline = TickDeadline(GetTickCount(), m_dwReadTimeoutMs.load(std::memory_order_relaxed));
    return dwDeadline == 0 ? 1 : dwDeadline;  // 0 would mean no deadline at all
}

void CDVRSourceStream::WorkSignal(BOOL bAdded)
{
    SignalNewRequest(bAdded);
}

LONGLONG CDVRSourceStream::Size(LONGLONG* pllAvailable, BOOL bTimesInUnits)
{
    LONGLONG llMin = 0, llMax = 0;
    if (FAILED(GetOffsets(&llMin, &llMax)))
        llMax = 0;
    const bool bGrowing = IsGrowingSource();
    // A refresh on another thread may have seen the writer stop after ours
    // read the sizes; the writer clears its name only once its last bytes
    // are published, so the sizes read after seeing the stop are final.
    if (!bGrowing && FAILED(GetOffsets(&llMin, &llMax)))
        llMax = 0;
    if (pllAvailable)
        *pllAvailable = llMax;
    if (bGrowing)
        return bTimesInUnits ? kGrowingSizeInUnits : kGrowingSize;
    return llMax;
}

LONGLONG CDVRSourceStream::ChooseResumePosition(LONGLONG llPosition, DWORD dwRemaining)
{
    LONGLONG llMin, llMax;
    {
        CAutoLock lock(&m_csEngine);
        llMin = m_llMinOffset;
        llMax = m_llMaxOffset;
    }
    const LONGLONG llRemaining = dwRemaining;
    // Behind the ring (overwritten): go on at the oldest byte kept, so that
    // the range reported lost is exactly what the ring discarded. Ahead of
    // it: just enough before the end to fill the request.
    LONGLONG llNew = llMin;
    if (llMin <= llPosition) {
        llNew = llMax - llRemaining;
        if (llNew < llMin)
            llNew = llMin;
    }
    Trace("\nDVRSourceStream::Read: Reading discarded data: min=%s, max=%s, curPos=%s, newPos=%s", TraceBytes(llMin),
          TraceBytes(llMax), TraceBytes(llPosition), TraceBytes(llNew));
    ForgetCurrentRecording();
    return llNew;
}

HRESULT CDVRSourceStream::Read(LONGLONG* pllPosition, BYTE* pbBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead,
                               BOOL bSkipDiscarded, BOOL* pbDiscontinuity, DWORD dwDeadline)
{
    if (!pllPosition || !pdwBytesRead || !pbDiscontinuity || (!pbBuffer && dwBytesToRead))
        return E_POINTER;
    DWORD dwRemaining = dwBytesToRead;
    DWORD dwTotal = 0;
    int nResumes = 0;
    *pbDiscontinuity = FALSE;
    while (dwRemaining >= 1) {
        if (IsFlushing()) {
            Trace("\nCDVRSourceStream::Read: Flushing! totalRead=%d, dwBytesToRead=%d", static_cast<int>(dwTotal),
                  static_cast<int>(dwBytesToRead));
            break;
        }
        DWORD dwGot = 0;
        // A read without a deadline returns as soon as it has bytes and no
        // more are published (below): asking the engine for all of them
        // would hold back the bytes that are there until the rest came or
        // its 200 ms wait ran out.
        const DWORD dwMin = dwDeadline == 0 ? 1 : dwRemaining;
        HRESULT hr = ReadData(*pllPosition, dwMin, dwRemaining, pbBuffer + dwTotal, &dwGot, dwDeadline);
        if (hr == VFW_E_TIMEOUT) {
            Trace("\nCDVRSourceStream::Read(%s) return VFW_E_TIMEOUT", TraceBytes(*pllPosition));
            Trace("\nCDVRSourceStream::Read: ReadData failed %s", TraceHr(hr));
        } else if (hr == KVMM_E_DVR_CHANGING_ATTRIBUTES) {
            if (!IsChangingAttributes() && !m_bStarted.load(std::memory_order_acquire)) {
                Trace("\nCDVRSourceStream::Read: the reader is not started");
                break;  // no change will ever end: the reader was never started
            }
            DWORD dwWait = INFINITE;
            if (dwDeadline != 0) {
                dwWait = TickDeadlineLeft(dwDeadline, GetTickCount());
                if (dwWait == 0) {
                    Trace("\nCDVRSourceStream::Read: Timeout elapsed while the attributes are being changed");
                    break;
                }
            }
            Trace("\nCDVRSourceStream::Read: + Attributes are being changed. Wait(0x%08X, %s)",
                  static_cast<unsigned>(GetNoChangeEvent()), TraceElapsedMs(dwWait));
            // A flush must still end the wait, and a change the writer never
            // ends must not hold a read without deadline for ever.
            HANDLE ah[2] = {GetNoChangeEvent(), m_evFlush.Handle()};
            (void)WaitForMultipleObjects(2, ah, FALSE, dwWait);
            Trace("\nCDVRSourceStream::Read: - Wait finished");
            continue;
        } else if (hr == KVMM_E_DVR_DISCARDED_DATA) {
            if (dwGot > 0 || dwTotal > 0) {
                // What was read before the gap goes out first, so that a
                // discontinuity always marks the start of what a call
                // returns and its bytes are contiguous; the next call meets
                // the gap at once.
                dwTotal += dwGot;
                *pllPosition += dwGot;
                dwRemaining -= dwGot;
                break;
            }
            *pbDiscontinuity = TRUE;
            const LONGLONG llNew = ChooseResumePosition(*pllPosition, dwRemaining);
            if (!bSkipDiscarded) {
                *pdwBytesRead = dwTotal;
                return KVMM_E_DVR_DISCARDED_DATA;
            }
            *pllPosition = llNew;
            if (++nResumes > kMaxResumes || DeadlinePassed(dwDeadline)) {
                // The position has moved on over everything lost so far; the
                // caller decides whether to chase the writer further.
                Trace("\nCDVRSourceStream::Read: Abort read (the writer keeps overwriting the read position)");
                SetStarvation(FALSE);
                *pdwBytesRead = 0;
                return KVMM_E_DVR_DISCARDED_DATA;
            }
            continue;
        }

        dwTotal += dwGot;
        *pllPosition += dwGot;
        dwRemaining -= dwGot;
        if (dwTotal > 0 && dwDeadline == 0) {
            // The engine stops once it has its one byte: at the end of a
            // recording, or of the size it last saw the recording at. Bytes
            // published past that are returned by this call too; a short
            // read must mean that the rest was not written yet, since a
            // caller that saw them published counts a short read as a fault.
            if (hr != S_OK || dwRemaining == 0 || !HasUnreadData(*pllPosition))
                break;
            continue;
        }
        if (hr == KVMM_E_DVR_SUSPENDED) {
            *pdwBytesRead = dwTotal;
            return KVMM_E_DVR_SUSPENDED;
        }
        if ((hr != S_OK || dwGot == 0) && !IsChangingAttributes()) {
            const bool bRetry = hr == S_OK || hr == HRESULT_FROM_WIN32(ERROR_READ_FAULT) ||
                                hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) || hr == KVMM_S_DVR_WAITING;
            // The writer stopped, or the link to it broke (it died), while
            // we waited: it may have published its last bytes just before.
            if ((hr == RPC_E_DISCONNECTED || hr == KVMM_E_DVR_STOPPED) && HasUnreadData(*pllPosition))
                continue;
            if (!IsGrowingSource() || !bRetry) {
                Trace("\nCDVRSourceStream::Read: Abort read (ReadData(%s) returned %s, bytes read=%d)",
                      TraceBytes(*pllPosition), TraceHr(hr), static_cast<int>(dwGot));
                break;
            }
            SetStarvation(TRUE);
            if (DeadlinePassed(dwDeadline))
                break;
            if (WriterHasGone()) {
                if (HasUnreadData(*pllPosition))
                    continue;  // what it published before it went is still served
                Trace("\nCDVRSourceStream::Read: Abort read (the writer has gone without closing the buffer)");
                break;
            }
            const DWORD dwWaitStart = GetTickCount();
            hr = WaitForMoreData(*pllPosition + dwRemaining, dwDeadline);
            const DWORD dwWaited = TickDiff(GetTickCount(), dwWaitStart);
            if (hr == KVMM_S_DVR_WAITING && dwWaited < kMinWaitStepMs) {
                HANDLE ah[2] = {m_evFlush.Handle(), m_hNewRequest};
                if (WaitForMultipleObjects(2, ah, FALSE, kMinWaitStepMs - dwWaited) == WAIT_OBJECT_0 + 1) {
                    (void)ReleaseSemaphore(m_hNewRequest, 1, nullptr);  // not ours to take
                    *pdwBytesRead = dwTotal;
                    return KVMM_E_DVR_SUSPENDED;
                }
            }
            if (hr == KVMM_E_DVR_SUSPENDED) {
                *pdwBytesRead = dwTotal;
                return KVMM_E_DVR_SUSPENDED;
            }
            if ((hr == RPC_E_DISCONNECTED || hr == KVMM_E_DVR_STOPPED) && HasUnreadData(*pllPosition))
                continue;
            if (FAILED(hr) && !IsChangingAttributes()) {
                Trace("\nCDVRSourceStream::Read: Abort read (WaitForMoreData returned %s)", TraceHr(hr));
                break;
            }
        }
    }
    SetStarvation(FALSE);
    *pdwBytesRead = dwTotal;
    if (dwRemaining > 0 && dwTotal == 0) {
        Trace("\nCDVRSourceStream::Read: dwBytesToRead=%d and totalRead==0. Return EOF",
              static_cast<int>(dwBytesToRead));
        return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
    }
    return dwRemaining > 0 ? S_FALSE : S_OK;
}

bool CDVRSourceStream::HasUnreadData(LONGLONG llPosition)
{
    if (FAILED(ReadAndUpdateRecordingsInfo()))
        return false;
    CAutoLock lock(&m_csEngine);
    return m_llMaxOffset > llPosition;
}

bool CDVRSourceStream::WriterHasGone()
{
    // A writer that stops clears the owner name before it leaves the table;
    // the stub is read again so that a stop is not mistaken for a death.
    (void)ReadAndUpdateRecordingsInfo();
    const CWString strOwner = GetOwnerName();
    if (strOwner.empty())
        return false;
    IRunningObjectTable* pTable = nullptr;
    if (FAILED(GetRunningObjectTable(&pTable)))
        return false;
    return pTable->IsRunning(CItemMoniker(u"!", strOwner)) == S_FALSE;
}

// ---------------------------------------------------------------------------
// CBaseDVRSource

CBaseDVRSource::CBaseDVRSource() = default;

CBaseDVRSource::~CBaseDVRSource()
{
    (void)StopDVRReader();
}

void CBaseDVRSource::SetStarvation(BOOL bWaiting)
{
    CAutoLock lock(&m_csSource);
    const bool b = bWaiting != FALSE;
    if (b == m_bStarvation)
        return;
    m_bStarvation = b;
    if (b)
        m_evStarvation.Set();
    else
        m_evStarvation.Reset();
}

HRESULT CBaseDVRSource::SetReaderFolders(const DVRFolder* pFolders, LONG nFolders)
{
    if (nFolders < 0 || (nFolders > 0 && !pFolders))
        return E_INVALIDARG;
    std::unique_ptr<DVRFolder[]> p;
    if (nFolders > 0) {
        p.reset(new (std::nothrow) DVRFolder[static_cast<size_t>(nFolders)]);
        if (!p)
            return E_OUTOFMEMORY;
        std::copy(pFolders, pFolders + nFolders, p.get());
    }
    CAutoLock lock(&m_csSource);
    m_pFolders = std::move(p);
    m_nFolders = nFolders;
    return S_OK;
}

HRESULT CBaseDVRSource::GetAvailableRange(double* pFirst, double* pCurrent, double* pLast)
{
    if (!pFirst || !pCurrent || !pLast)
        return E_POINTER;
    LONGLONG llMin = 0, llMax = 0;
    HRESULT hr = GetOffsets(&llMin, &llMax);
    if (FAILED(hr))
        return hr;
    *pFirst = static_cast<double>(llMin);
    *pCurrent = *pLast = static_cast<double>(llMax);
    return S_OK;
}

HRESULT CBaseDVRSource::GetFolderCount(LONG* pnFolders)
{
    if (!pnFolders)
        return E_POINTER;
    CAutoLock lock(&m_csSource);
    *pnFolders = m_nFolders;
    return S_OK;
}

HRESULT CBaseDVRSource::GetFolderName(LONG nIndex, BSTR* pbstrPath)
{
    if (!pbstrPath)
        return E_POINTER;
    *pbstrPath = nullptr;
    CAutoLock lock(&m_csSource);
    if (m_nFolders == 0)
        return E_POINTER;
    if (nIndex < 0 || nIndex >= m_nFolders)
        return DISP_E_BADINDEX;
    *pbstrPath = SysAllocString(m_pFolders[nIndex].path);
    return *pbstrPath ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBaseDVRSource::GetBufferSize(LONG nFolderIndex, LONG lFlags, LONG* pnFiles, double* pdBytes)
{
    if (!pnFiles || !pdBytes)
        return E_POINTER;
    if (!(lFlags & kDVRBufferSizeConfigured))
        return E_NOTIMPL;
    CAutoLock lock(&m_csSource);
    if (nFolderIndex < 0 || nFolderIndex >= m_nFolders)
        return DISP_E_BADINDEX;
    const DVRFolder& f = m_pFolders[nFolderIndex];
    *pnFiles = f.fileCount;
    *pdBytes = static_cast<double>(f.fileCount) * static_cast<double>(f.fileSize);
    return S_OK;
}

HRESULT CBaseDVRSource::CopyToFile(BSTR bstrFile, double dStart, double dEnd)
{
    if (!bstrFile || !*bstrFile)
        return E_POINTER;
    return CDVREngine::CopyToFile(bstrFile, static_cast<LONGLONG>(dStart), static_cast<LONGLONG>(dEnd));
}

HRESULT CBaseDVRSource::ReadAt(double dOffset, LONG nMinimum, LONG cbBuffer, LONG lReserved, BYTE* pBuffer,
                               LONG* pcbRead)
{
    (void)lReserved;
    if (!pcbRead)
        return E_POINTER;
    *pcbRead = 0;
    if (nMinimum < 0 || cbBuffer < 0 || dOffset < 0)
        return E_INVALIDARG;
    DWORD cbRead = 0;
    HRESULT hr = ReadData(static_cast<LONGLONG>(dOffset), static_cast<DWORD>(nMinimum), static_cast<DWORD>(cbBuffer),
                          pBuffer, &cbRead, 0);
    *pcbRead = static_cast<LONG>(cbRead);
    return hr;
}

HRESULT CBaseDVRSource::ReservedOperation(DWORD dwArg)
{
    (void)dwArg;
    return S_OK;
}

HRESULT CBaseDVRSource::GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize, double* pdFileSizeOnDisk,
                                         LONG* plPlayIndex, LONG* plState)
{
    return CDVREngine::GetRecordingInfo(nSlot, pbstrPath, pdSize, pdFileSizeOnDisk, plPlayIndex, plState);
}

HRESULT CBaseDVRSource::GetIsGrowing(VARIANT_BOOL* pbGrowing)
{
    if (!pbGrowing)
        return E_POINTER;
    *pbGrowing = IsGrowingSource() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// The time scans need a transport-stream clock parser that the reader does
// not have; callers fall back to byte offsets.
HRESULT CBaseDVRSource::GetTimeRange(double, double, double*, double*)
{
    return E_NOTIMPL;
}

HRESULT CBaseDVRSource::GetTimeRangeEx(double, double, double, double*, double*, double*)
{
    return E_NOTIMPL;
}

HRESULT CBaseDVRSource::StartDVRReader(IKVDVRSink* pSink)
{
    // No lock of ours is held: the start links to the writer and asks it.
    if (GetStubPath().empty())
        return E_UNEXPECTED;
    Trace("\nCBaseDVRSource::StartDVRReader(%p)", static_cast<void*>(pSink));
    return StartReader(pSink);
}

HRESULT CBaseDVRSource::StopDVRReader()
{
    Trace("\nCBaseDVRSource::StopDVRReader()");
    StopReader();
    return S_OK;
}

// ---------------------------------------------------------------------------
// CDVRSourceObject

HRESULT CDVRSourceObject::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IKVDVRSource || riid == IID_IKVDVRSource1)
        return GetInterface(static_cast<IKVDVRSource*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}
