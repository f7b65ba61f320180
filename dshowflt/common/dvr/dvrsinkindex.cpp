// CBaseDVRSink: the time index written beside each recording (format in
// dvrindex.h), and receive times looked up in it.
#include <algorithm>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrtimeindex.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/thread.h"

using namespace dvr;

void CBaseDVRSink::SetIndexEnabled(bool bEnabled)
{
    m_bIndexEnabled.store(bEnabled, std::memory_order_relaxed);
}

void CBaseDVRSink::MarkDiscontinuity()
{
    m_bDiscontinuityPending.store(true, std::memory_order_release);
}

GUID CBaseDVRSink::GetStreamIdentifier()
{
    CAutoLock lock(&m_csStreamId);
    return m_guidIndexStream;
}

void CBaseDVRSink::BeginIndexLocked(const CWString& strRecordingPath)
{
    m_index.Close();
    m_bHaveIndexEntry = false;
    m_bIndexStartPending = true;
    if (!m_bIndexEnabled.load(std::memory_order_relaxed))
        return;
    LONG nPlayIndex;
    {
        CAutoLock lockStub(&m_csStubFile);
        nPlayIndex = m_nCurPlayIndex;
    }
    SIndexHeader header;
    {
        CAutoLock lockId(&m_csStreamId);
        header.streamId = m_guidIndexStream;
    }
    header.nPlayIndex = nPlayIndex;
    header.llStart = m_llTotal;
    header.llCreated = IndexWallClockNow();
    // Opened as the recording is: made owner-only when new, never through a
    // link planted under its name. An index left by the slot's previous
    // recording is written over from its start rather than emptied first:
    // emptying a file makes some file systems push it to the disk when it
    // is closed, a cost each recording would pay, and its old entries never
    // check under the new header anyway.
    const CWString strIndex = IndexPathFor(strRecordingPath);
    std::unique_ptr<IFile> pFile;
    HRESULT hr = OpenFile(strIndex.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          OPEN_ALWAYS, &pFile);
    if (SUCCEEDED(hr))
        hr = m_index.Begin(std::move(pFile), header);
    if (FAILED(hr))
        Trace("\nCBaseDVRSink::BeginIndex: %S failed %s; the recording has no time index", strIndex.c_str(),
              TraceHr(hr));
}

void CBaseDVRSink::NoteArrivalLocked()
{
    if (m_bArrivalNoted || !m_bIndexEnabled.load(std::memory_order_relaxed))
        return;
    m_llArrivalTime = IndexWallClockNow();
    m_llArrivalMono = IndexMonotonicNow();
    m_bArrivalNoted = true;
}

void CBaseDVRSink::IndexBlockLocked(LONGLONG llBlockStart, DWORD dwNow)
{
    const bool bNoted = m_bArrivalNoted;
    m_bArrivalNoted = false;
    const DWORD dwLastWrite = m_dwLastWriteTick;
    m_dwLastWriteTick = dwNow;
    if (!m_index.IsOpen())
        return;
    const bool bStart = m_bIndexStartPending;
    // Read before it is taken: an exchange on every block costs more than
    // the rest of the check.
    const bool bDiscontinuity = m_bDiscontinuityPending.load(std::memory_order_relaxed) &&
                                m_bDiscontinuityPending.exchange(false, std::memory_order_acq_rel);
    // The tick the writer reads anyway decides: the precise clocks are read
    // only for an entry, a few times a second.
    const bool bPause = TickDiff(dwNow, dwLastWrite) > kIndexPauseMs && !bStart;
    if (!bStart && !bDiscontinuity && !bPause && TickDiff(dwNow, m_dwLastIndexTick) < kIndexIntervalMs)
        return;

    SIndexEntry e;
    e.llOffset = llBlockStart;
    e.llTime = bNoted ? m_llArrivalTime : IndexWallClockNow();
    e.llMono = bNoted ? m_llArrivalMono : IndexMonotonicNow();
    e.dwFlags = (bStart ? kIndexFlagStart : 0) | (bDiscontinuity ? kIndexFlagDiscontinuity : 0);
    if (bPause)
        e.dwFlags |= kIndexFlagResume;
    SIndexEntry a[2];
    int n = 0;
    if (m_bHaveIndexEntry) {
        const LONGLONG llSkew = (e.llTime - e.llMono) - (m_lastIndexEntry.llTime - m_lastIndexEntry.llMono);
        const bool bStep = llSkew > kIndexClockStep || llSkew < -kIndexClockStep;
        if (bStep)
            e.dwFlags |= kIndexFlagClockStep;
        if (bPause || bStep) {
            // The run before ended with the last write, on the clock the
            // last entry was taken with; the tick gives it to the millisecond.
            const LONGLONG llSince = static_cast<LONGLONG>(TickDiff(dwLastWrite, m_dwLastIndexTick)) * 10000;
            SIndexEntry& end = a[n++];
            end.llOffset = llBlockStart;
            end.llMono = std::min(m_lastIndexEntry.llMono + llSince, e.llMono);
            end.llTime = m_lastIndexEntry.llTime + (end.llMono - m_lastIndexEntry.llMono);
            end.dwFlags = kIndexFlagRunEnd;
        }
    }
    a[n++] = e;
    HRESULT hr = m_index.Append(a, n);
    if (FAILED(hr)) {
        // The recording goes on without the rest of its index; what was
        // written stays trustworthy, and a torn entry ends it for readers.
        Trace("\nCBaseDVRSink::WriteData: appending to the time index failed %s; the rest of this recording is not "
              "indexed",
              TraceHr(hr));
        m_index.Close();
        return;
    }
    m_lastIndexEntry = e;
    m_bHaveIndexEntry = true;
    m_dwLastIndexTick = dwNow;
    m_bIndexStartPending = false;
}

void CBaseDVRSink::EndIndexLocked()
{
    if (m_index.IsOpen() && m_bHaveIndexEntry && m_llCurSize > 0) {
        // The last write's time, to the tick; never after the block that
        // closes the recording arrived (it starts the next one).
        SIndexEntry end;
        end.llOffset = m_llTotal;
        const LONGLONG llSince = static_cast<LONGLONG>(TickDiff(m_dwLastWriteTick, m_dwLastIndexTick)) * 10000;
        const LONGLONG llMonoCap = m_bArrivalNoted ? m_llArrivalMono : IndexMonotonicNow();
        end.llMono = std::max(m_lastIndexEntry.llMono, std::min(m_lastIndexEntry.llMono + llSince, llMonoCap));
        end.llTime = m_lastIndexEntry.llTime + (end.llMono - m_lastIndexEntry.llMono);
        if (m_bArrivalNoted)
            end.llTime = std::max(m_lastIndexEntry.llTime, std::min(end.llTime, m_llArrivalTime));
        end.dwFlags = kIndexFlagEnd;
        HRESULT hr = m_index.Append(&end, 1);
        if (FAILED(hr))
            Trace("\nCBaseDVRSink::CloseRecording: the time index's end entry failed %s", TraceHr(hr));
    }
    m_index.Close();
    m_bHaveIndexEntry = false;
}

HRESULT CBaseDVRSink::LookUpReceiveTime(LONGLONG llOffset, LONGLONG* pllFileTime)
{
    if (!pllFileTime)
        return E_POINTER;
    // A reader of our own stub, as another process would read it: the
    // writer's state and locks are never touched.
    const CWString strStub = GetStubPath();
    if (strStub.empty() || !m_bStubKnown.load(std::memory_order_acquire))
        return KVMM_E_NO_RECEIVE_TIME;
    CDVREngine reader(false);
    HRESULT hr = reader.SetStubFileName(strStub.c_str(), -1, FALSE);
    if (SUCCEEDED(hr))
        hr = reader.OpenStubFile();
    if (SUCCEEDED(hr))
        hr = reader.GetStubHeaderSize();
    if (FAILED(hr))
        return KVMM_E_NO_RECEIVE_TIME;
    CDVRTimeIndex index;
    hr = index.Load(&reader);
    if (FAILED(hr) || !index.OffsetsAreWriters())
        return KVMM_E_NO_RECEIVE_TIME;
    hr = index.TimeAtOffset(llOffset, pllFileTime);
    return FAILED(hr) ? KVMM_E_NO_RECEIVE_TIME : S_OK;
}

HRESULT CBaseDVRSink::LookUpReceiveTimeCallback(void* pvSink, LONGLONG llOffset, LONGLONG* pllFileTime)
{
    if (!pvSink)
        return E_POINTER;
    return static_cast<CBaseDVRSink*>(pvSink)->LookUpReceiveTime(llOffset, pllFileTime);
}
