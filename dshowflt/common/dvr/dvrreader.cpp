// CDVREngine in reader mode: following the ring of recordings by stream
// offset while the writer fills it.
//
// The picture of the ring (minOffset, maxOffset, the play order) is rebuilt
// from the stub file on every refresh. Counts, sizes and play indexes in the
// stub come from another process and are not trusted: the file layer
// rejects records a writer cannot have produced, and every offset sum here
// is checked, so a hostile stub ends in KVMM_E_DVR_CORRUPT_STUB_FILE rather
// than in a signed overflow or a walk that never ends.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrplayorder.h"
#include "dshowflt/common/dvr/dvrsinkthread.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/msgqueue.h"
#include "platform/thread.h"

using namespace dvr;

namespace {

constexpr DWORD kWaitStepMs = 200;
constexpr DWORD kDeadlinePushMs = 5000;
// Refreshes that ask the writer before a lower bound stands in.
constexpr int kAnchorTries = 3;
// Questions per ask: an answer holds only when the oldest recording stayed
// the same around it, and a writer that fills a small ring at disk speed
// makes a recording every few hundred microseconds, about as long as a
// question to another process takes.
constexpr int kAnchorQuestions = 16;

// Where the recording nMinPlayIndex starts in the writer's count, from an
// anchor on it or on a later recording of the same list (whose predecessors
// in the list are complete, so their sizes are final).
bool WriterStartOfMin(const RecordingInfo* pList, const LONG* pOrder, LONG nCount, LONG nMinPlayIndex,
                      LONG nAnchorPlayIndex, LONGLONG llAnchorStart, LONGLONG* pllStart)
{
    if (nAnchorPlayIndex < nMinPlayIndex)
        return false;
    LONGLONG llBefore = 0;
    LONG nNext = nMinPlayIndex;
    for (LONG k = 0; k < nCount; ++k) {
        const RecordingInfo& info = pList[pOrder[k]];
        if (info.playIndex < nNext)
            continue;
        if (info.playIndex != nNext)
            return false;  // a gap in the play order: the walk cannot say
        if (info.playIndex == nAnchorPlayIndex) {
            *pllStart = llAnchorStart - llBefore;
            return *pllStart >= 0;
        }
        if (!AddOffset(llBefore, info.size, &llBefore))
            return false;
        nNext = info.playIndex + 1;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Start and stop

void CDVREngine::ResetReaderStateLocked()
{
    m_pRecordings.reset();
    m_nRecordings = 0;
    m_nMinPlayIndex = 0;
    m_nNextPlayIndex = 0;
    m_llMinOffset = 0;
    m_llMaxOffset = 0;
    m_llLastRecordingSize = 0;
    m_nReadPlayIndex = 0;
    m_nReadSlot = -1;
    m_llReadStart = 0;
    m_readInfo = RecordingInfo{};
    ++m_dwReadGeneration;
    m_bRestarted = false;
    m_bLinkFailed = false;
    m_llWriterDelta = 0;
    m_bDeltaKnown = false;
    m_guidIdentity = GUID_NULL;
    m_bIdentityKnown = false;
}

HRESULT CDVREngine::StartReader(IKVDVRSink* pSink)
{
    if (m_hNewRequest == INVALID_HANDLE_VALUE || m_evFlush.Handle() == INVALID_HANDLE_VALUE ||
        m_evNoChange.Handle() == INVALID_HANDLE_VALUE)
        return E_OUTOFMEMORY;  // the engine's wait objects could not be made
    RemoveSinkThread();
    m_bStarted.store(true, std::memory_order_release);
    HRESULT hr = OpenStubFile();
    if (SUCCEEDED(hr))
        hr = GetStubHeaderSize();
    if (FAILED(hr))
        return hr;
    {
        CAutoLock lockRec(&m_csRecording);
        CloseCurrentRecordingLocked();
        CAutoLock lock(&m_csEngine);
        ResetReaderStateLocked();
    }

    bool bLinked = false;
    const bool bOwner = !GetOwnerName().empty();
    if (pSink || bOwner) {
        hr = EnsureSinkThreadFor(pSink);
        if (hr == RPC_E_TIMEOUT) {
            // The first answer is worth a longer wait: without it this
            // reader cannot count as the writer does.
            CDVRSinkThread* pThread = AcquireSinkThread();
            const CWString strOwner = GetOwnerName();
            if (pThread && !strOwner.empty())
                hr = pThread->ConnectToSink(strOwner.c_str(), CDVRSinkThread::kInfoTimeoutMs);
            ReleaseSinkThread(pThread);
        }
        bLinked = SUCCEEDED(hr);
        // A lookup still going on is not a failure: it completes in the
        // background and the next wait uses it.
        if (FAILED(hr) && hr != RPC_E_TIMEOUT) {
            Trace("\nCDVREngine::StartReader: no link to the writer (%s); reading without it", TraceHr(hr));
            RemoveSinkThread();
            CAutoLock lock(&m_csEngine);
            m_bLinkFailed = true;
        }
    }
    // With the writer's answer the first picture counts as the writer does,
    // so that a reader that starts late, or again, asks the writer for the
    // offsets the writer counts. An empty stub is fine: the writer may not
    // have begun, and the count is then learnt at the first wait.
    SWriterAnchor anchor;
    const bool bAnchor = bLinked && SUCCEEDED(QueryWriterAnchor(&anchor, CDVRSinkThread::kInfoTimeoutMs));
    hr = RefreshPicture(bAnchor ? &anchor : nullptr, true, nullptr);
    (void)hr;
    {
        CAutoLock lock(&m_csEngine);
        if (m_bLinkFailed)
            m_bGrowingSource = false;
    }
    return S_OK;
}

void CDVREngine::ShutdownReaderLink()
{
    RemoveSinkThread();
    IKVDVRSink* pSink;
    {
        CAutoLock lock(&m_csSinkThread);
        pSink = m_pInProcSink;
        m_pInProcSink = nullptr;
    }
    if (pSink)
        pSink->Release();  // may be the writer's last reference: not under our lock
}

void CDVREngine::StopReader()
{
    ShutdownReaderLink();
    {
        CAutoLock lockRec(&m_csRecording);
        CloseCurrentRecordingLocked();
    }
    CloseStubFile();
}

// ---------------------------------------------------------------------------
// The picture of the ring

// A new buffer under the same stub that has not yet wrapped past the old
// one's oldest playIndex still shows itself: a recording we know keeps its
// slot, playIndex and creation time and never shrinks, and the newest
// playIndex never goes back while one writer writes.
bool CDVREngine::LooksRestarted(const RecordingInfo* pList, LONG nCount, const LONG* pOrder)
{
    if (!m_pRecordings || m_nRecordings == 0)
        return false;
    if (pList[pOrder[nCount - 1]].playIndex + 1 < m_nNextPlayIndex)
        return true;
    for (LONG i = 0; i < std::min(nCount, m_nRecordings); ++i) {
        const RecordingInfo& a = m_pRecordings[i];
        const RecordingInfo& b = pList[i];
        if (a.playIndex == b.playIndex &&
            (b.size < a.size || memcmp(&a.created, &b.created, sizeof(SYSTEMTIME)) != 0))
            return true;
    }
    return false;
}

HRESULT CDVREngine::ReadAndUpdateRecordingsInfo()
{
    bool bNeedAnchor = false;
    HRESULT hr = RefreshPicture(nullptr, false, &bNeedAnchor);
    for (int nTry = 0; bNeedAnchor && nTry < kAnchorTries; ++nTry) {
        SWriterAnchor anchor;
        const bool bAnchor = SUCCEEDED(QueryWriterAnchor(&anchor, CDVRSinkThread::kRangeTimeoutMs));
        bNeedAnchor = false;
        // Without an answer, or at the last try, a lower bound stands in.
        hr = RefreshPicture(bAnchor ? &anchor : nullptr, !bAnchor || nTry + 1 == kAnchorTries, &bNeedAnchor);
    }
    return hr;
}

HRESULT CDVREngine::QueryWriterAnchor(SWriterAnchor* pAnchor, DWORD dwTimeoutMs)
{
    CDVRSinkThread* pThread = AcquireSinkThread();
    if (!pThread)
        return E_POINTER;
    HRESULT hr = E_POINTER;
    for (int nTry = 0; nTry < kAnchorQuestions && pThread->HasSink(); ++nTry) {
        // The writer answers for its stub as it is at one moment, and the
        // oldest recording only ever moves on (or the buffer starts again
        // at 0): the same oldest recording before and after the question
        // was the oldest when it was answered.
        LONG nCount = 0, nMinBefore = -1, nMinAfter = -1;
        std::unique_ptr<RecordingInfo[]> pList;
        LONGLONG llFirst = 0, llPublished = 0;
        hr = ReadAllRecordingsInfo(&nCount, &pList, &nMinBefore);
        if (SUCCEEDED(hr))
            hr = pThread->GetWriterRange(&llFirst, &llPublished, dwTimeoutMs);
        if (SUCCEEDED(hr))
            hr = ReadAllRecordingsInfo(&nCount, &pList, &nMinAfter);
        if (FAILED(hr))
            break;
        if (nMinBefore >= 0 && nMinBefore == nMinAfter) {
            // Moved on to the newest recording of that stub (its
            // predecessors there are complete, so their sizes are final):
            // a refresh that follows soon still finds it, even when the
            // writer makes recordings faster than the oldest stays put.
            std::unique_ptr<LONG[]> pOrder;
            hr = SortByPlayIndex(pList.get(), nCount, &pOrder);
            if (FAILED(hr))
                break;
            LONG nPlay = nMinAfter;
            LONGLONG llStart = llFirst;
            for (LONG k = 0; k + 1 < nCount; ++k) {
                const RecordingInfo& cur = pList[pOrder[k]];
                const RecordingInfo& next = pList[pOrder[k + 1]];
                if (cur.playIndex != nPlay || next.playIndex != nPlay + 1 ||
                    !AddOffset(llStart, cur.size, &llStart)) {
                    llStart = -1;
                    break;
                }
                nPlay = next.playIndex;
            }
            if (llStart < 0) {
                nPlay = nMinAfter;  // a gap in the play order: keep to the oldest
                llStart = llFirst;
            }
            pAnchor->nPlayIndex = nPlay;
            pAnchor->llWriterStart = llStart;
            break;
        }
        hr = RPC_E_TIMEOUT;  // the writer made a recording meanwhile: ask again
    }
    ReleaseSinkThread(pThread);
    return hr;
}

void CDVREngine::LearnWriterDelta()
{
    SWriterAnchor anchor;
    if (SUCCEEDED(QueryWriterAnchor(&anchor, CDVRSinkThread::kRangeTimeoutMs)))
        (void)RefreshPicture(&anchor, true, nullptr);
}

bool CDVREngine::GetWriterDelta(LONGLONG* pllDelta)
{
    CAutoLock lock(&m_csEngine);
    *pllDelta = m_llWriterDelta;
    return m_bDeltaKnown;
}

HRESULT CDVREngine::RefreshPicture(const SWriterAnchor* pAnchor, bool bMayGuess, bool* pbNeedAnchor)
{
    // The whole refresh runs under the engine lock: two refreshes applied in
    // the wrong order would show a smaller playIndex and look like a writer
    // restart.
    CAutoLock lock(&m_csEngine);
    LONG nCount = 0;
    LONG nMinPlayIndex = -1;
    std::unique_ptr<RecordingInfo[]> pList;
    HRESULT hr = ReadAllRecordingsInfo(&nCount, &pList, &nMinPlayIndex);
    if (FAILED(hr))
        return hr;
    m_bGrowingSource = !GetOwnerName().empty() && !m_bLinkFailed;
    if (nCount == 0)
        return KVMM_E_DVR_NO_RECORDINGS;

    std::unique_ptr<LONG[]> pOrder;
    hr = SortByPlayIndex(pList.get(), nCount, &pOrder);
    if (FAILED(hr))
        return hr;

    LONGLONG llAnchorMin = 0;
    bool bAnchor = pAnchor && WriterStartOfMin(pList.get(), pOrder.get(), nCount, nMinPlayIndex,
                                               pAnchor->nPlayIndex, pAnchor->llWriterStart, &llAnchorMin);
    const bool bFirstPicture = !m_pRecordings || m_nRecordings == 0;
    const bool bLapped = !bFirstPicture && nMinPlayIndex > m_nMinPlayIndex && nMinPlayIndex >= m_nNextPlayIndex;
    const bool bLooksRestarted =
        !bFirstPicture && nMinPlayIndex <= m_nMinPlayIndex &&
        (nMinPlayIndex < m_nMinPlayIndex || LooksRestarted(pList.get(), nCount, pOrder.get()));
    // The indexes beside the recordings say where the oldest one starts in
    // the writer's count, even with the writer gone: asked when the count
    // is set (the first picture), lost (every recording we knew was
    // replaced) or starts again (a new buffer under the same stub).
    LONGLONG llIndexMin = 0;
    GUID guidIndex = GUID_NULL;
    const bool bIndexAnchor =
        (bFirstPicture || bLapped || bLooksRestarted) &&
        IndexAnchorLocked(pList.get(), pOrder.get(), nCount, nMinPlayIndex, &llIndexMin, &guidIndex);
    if (bIndexAnchor && !bAnchor) {
        llAnchorMin = llIndexMin;
        bAnchor = true;
    } else if (bIndexAnchor && llIndexMin != llAnchorMin) {
        Trace("\nCDVREngine::ReadAndUpdateRecordingsInfo: the indexes place the oldest byte at %s, the writer at %s; "
              "the writer's count holds",
              TraceBytes(llIndexMin), TraceBytes(llAnchorMin));
    }
    LONGLONG llMinOffset = m_llMinOffset;
    bool bRestarted = false;
    bool bDeltaKnown = m_bDeltaKnown;
    if (bFirstPicture) {
        // Counting as the writer does from the first picture on makes every
        // offset this reader reports the writer's.
        if (bAnchor && !bDeltaKnown)
            llMinOffset = llAnchorMin;
    } else if (nMinPlayIndex > m_nMinPlayIndex) {
        if (nMinPlayIndex < m_nNextPlayIndex) {
            // The writer reused the oldest slots: their bytes are gone. Each
            // had a successor in the old picture, so its size was final.
            for (LONG i = 0; i < m_nRecordings; ++i) {
                const RecordingInfo& old = m_pRecordings[i];
                if (old.playIndex >= m_nMinPlayIndex && old.playIndex < nMinPlayIndex &&
                    !AddOffset(llMinOffset, old.size, &llMinOffset))
                    return KVMM_E_DVR_CORRUPT_STUB_FILE;
            }
        } else if (bAnchor && bDeltaKnown) {
            // Everything we knew was replaced, the newest recording perhaps
            // after it grew: only the writer's count says where the oldest
            // byte kept now lies.
            llMinOffset = llAnchorMin - m_llWriterDelta;
        } else if (bDeltaKnown && !bMayGuess) {
            if (pbNeedAnchor)
                *pbNeedAnchor = true;
            return S_OK;  // nothing changed; the caller asks the writer
        } else {
            // Nobody can say how much went: at least the rest of our newest
            // recording and every whole recording after it. Reporting a loss
            // that is too small is better than reporting none, which would
            // splice the stream.
            const LONGLONG llAtLeast = std::max<LONGLONG>(1, nMinPlayIndex - m_nNextPlayIndex);
            if (!AddOffset(m_llMaxOffset, llAtLeast, &llMinOffset))
                return KVMM_E_DVR_CORRUPT_STUB_FILE;
            bDeltaKnown = false;
            Trace("\nCDVREngine::ReadAndUpdateRecordingsInfo: every recording known was replaced "
                  "(playIndex %d -> %d) and the writer cannot say how much: at least %s were lost",
                  static_cast<int>(m_nNextPlayIndex - 1), static_cast<int>(nMinPlayIndex),
                  TraceBytes(llMinOffset - m_llMaxOffset));
        }
    } else if (bLooksRestarted) {
        Trace("\nCDVREngine::ReadAndUpdateRecordingsInfo: The file has been restarted! Fail the next read request "
              "with KVMM_E_DVR_DISCARDED_DATA");
        bRestarted = true;
        bDeltaKnown = false;  // the writer counts from 0 again
        // With indexes the reader counts as the new buffer does (its stream
        // identifier tells the two apart).
        if (bIndexAnchor)
            llMinOffset = llIndexMin;
    }

    LONG nNext = nMinPlayIndex;
    LONGLONG llMaxOffset = llMinOffset;
    hr = WalkPlayOrder(pList.get(), pOrder.get(), nCount, nMinPlayIndex, llMinOffset, &nNext, &llMaxOffset,
                       [](LONG, LONGLONG) { return true; });
    if (FAILED(hr))
        return hr;

    LONG nLast = -1;
    for (LONG i = 0; i < nCount && nLast < 0; ++i)
        if (pList[i].playIndex == nNext - 1)
            nLast = i;
    if (nLast < 0)
        return KVMM_E_DVR_CORRUPT_STUB_FILE;

    // The current recording keeps its playIndex while it is still in the
    // ring; its record is copied again so that its size follows the writer.
    const LONG nRead = std::clamp(m_nReadPlayIndex, nMinPlayIndex, nNext - 1);
    LONG nReadSlot = -1;
    LONGLONG llReadStart = 0;
    hr = WalkPlayOrder(pList.get(), pOrder.get(), nCount, nMinPlayIndex, llMinOffset, nullptr, nullptr,
                       [&](LONG nSlot, LONGLONG llStart) {
                           if (pList[nSlot].playIndex > nRead)
                               return false;
                           if (pList[nSlot].playIndex == nRead) {
                               nReadSlot = nSlot;
                               llReadStart = llStart;
                               return false;
                           }
                           return true;
                       });
    if (FAILED(hr))
        return hr;
    if (nReadSlot < 0)
        return KVMM_E_DVR_CORRUPT_STUB_FILE;

    if (bAnchor) {
        // The writer's answer places our count against its own.
        const LONGLONG llDelta = llAnchorMin - llMinOffset;
        if (bDeltaKnown && llDelta != m_llWriterDelta)
            Trace("\nCDVREngine::ReadAndUpdateRecordingsInfo: offsets were %s off the writer's; corrected",
                  TraceBytes(llDelta - m_llWriterDelta));
        m_llWriterDelta = llDelta;
        bDeltaKnown = true;
    }
    if (bRestarted || nRead != m_nReadPlayIndex || llReadStart != m_llReadStart)
        ++m_dwReadGeneration;  // the open file is no longer that recording
    m_bDeltaKnown = bDeltaKnown;
    m_bRestarted = m_bRestarted || bRestarted;
    if (bIndexAnchor) {
        m_guidIdentity = guidIndex;
        m_bIdentityKnown = true;
    } else if (bRestarted) {
        m_bIdentityKnown = false;
    }
    m_nMinPlayIndex = nMinPlayIndex;
    m_llMinOffset = llMinOffset;
    m_llMaxOffset = llMaxOffset;
    m_nNextPlayIndex = nNext;
    m_llLastRecordingSize = pList[nLast].size;
    m_nReadPlayIndex = nRead;
    m_nReadSlot = nReadSlot;
    m_llReadStart = llReadStart;
    m_readInfo = pList[nReadSlot];
    m_pRecordings = std::move(pList);
    m_nRecordings = nCount;
    return S_OK;
}

HRESULT CDVREngine::GetOffsets(LONGLONG* pllMinOffset, LONGLONG* pllMaxOffset)
{
    if (!pllMinOffset || !pllMaxOffset)
        return E_POINTER;
    HRESULT hr = ReadAndUpdateRecordingsInfo();
    if (FAILED(hr))
        return hr;
    CAutoLock lockRec(&m_csRecording);
    CAutoLock lock(&m_csEngine);
    *pllMinOffset = m_llMinOffset;
    *pllMaxOffset = m_llMaxOffset;
    return S_OK;
}

BOOL CDVREngine::CheckIfRecordingInfoHasChanged()
{
    LONG nCount = 0;
    LONG nMinPlayIndex = -1;
    std::unique_ptr<RecordingInfo[]> pList;
    if (FAILED(ReadAllRecordingsInfo(&nCount, &pList, &nMinPlayIndex)) || nCount == 0)
        return FALSE;
    CAutoLock lockRec(&m_csRecording);
    LONG nKnownCount, nKnownMin;
    {
        CAutoLock lock(&m_csEngine);
        nKnownCount = m_nRecordings;
        nKnownMin = m_nMinPlayIndex;
    }
    if (nCount == nKnownCount && nMinPlayIndex == nKnownMin)
        return FALSE;
    Trace("\nCheckIfRecordingInfoHasChanged: recCount: %d->%d, playIndex: %d->%d", static_cast<int>(nKnownCount),
          static_cast<int>(nCount), static_cast<int>(nKnownMin), static_cast<int>(nMinPlayIndex));
    CloseCurrentRecordingLocked();
    return TRUE;
}

// ---------------------------------------------------------------------------
// Reading

void CDVREngine::CloseCurrentRecordingLocked()
{
    m_pReadFile.reset();
}

void CDVREngine::ForgetCurrentRecording()
{
    CAutoLock lockRec(&m_csRecording);
    CloseCurrentRecordingLocked();
    CAutoLock lock(&m_csEngine);
    m_readInfo.size = 0;
}

HRESULT CDVREngine::ReadPassLocked(SReadPos* pPos, DWORD dwMinBytes, DWORD cbBuffer, EReadStep* pStep)
{
    while (pPos->cbRead < dwMinBytes) {
        LONGLONG llStart, llSize;
        LONG nSlot, nPlayIndex;
        bool bUsable;
        {
            CAutoLock lock(&m_csEngine);
            if (pPos->llOffset < m_llMinOffset)
                return KVMM_E_DVR_DISCARDED_DATA;
            bUsable = m_pReadFile && m_dwReadFileGeneration == m_dwReadGeneration;
            llStart = m_llReadStart;
            llSize = m_readInfo.size;
            nSlot = m_nReadSlot;
            nPlayIndex = m_nReadPlayIndex;
        }
        if (!bUsable || pPos->llOffset < llStart || pPos->llOffset - llStart >= llSize) {
            *pStep = EReadStep::Refresh;
            return S_OK;
        }
        const LONGLONG llPos = pPos->llOffset - llStart;
        const DWORD cb = static_cast<DWORD>(std::min<LONGLONG>(llSize - llPos, cbBuffer - pPos->cbRead));
        HRESULT hr = m_pReadFile->Seek(llPos, FILE_BEGIN, nullptr);
        DWORD cbGot = 0;
        if (SUCCEEDED(hr))
            hr = m_pReadFile->Read(pPos->pb, cb, &cbGot);
        // The writer may have come round the ring and reused this slot while
        // our picture was not refreshed. It rewrites the slot's record before
        // it writes the first byte of the new recording, so a record that
        // still names our recording after the read vouches for the bytes;
        // otherwise they are dropped and the refresh decides. A reused slot
        // may also have been cut shorter than our recording was, so a short
        // read is a fault only while the slot still holds our recording.
        const bool bStillHolds = SlotStillHolds(nSlot, nPlayIndex);
        if (bStillHolds && FAILED(hr))
            return hr;
        if (bStillHolds && cbGot < cb)
            return HRESULT_FROM_WIN32(ERROR_READ_FAULT);  // the record promised more than the file holds
        if (!bStillHolds) {
            CloseCurrentRecordingLocked();
            *pStep = EReadStep::Refresh;
            return S_OK;
        }
        pPos->cbRead += cbGot;
        pPos->pb += cbGot;
        pPos->llOffset += cbGot;
    }
    *pStep = EReadStep::Done;
    return S_OK;
}

bool CDVREngine::SlotStillHolds(LONG nSlot, LONG nPlayIndex)
{
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    return SUCCEEDED(ReadAllRecordingsInfo(&nCount, &pList)) && nSlot >= 0 && nSlot < nCount &&
           pList[nSlot].playIndex == nPlayIndex;
}

HRESULT CDVREngine::OpenRecordingAtLocked(LONGLONG llOffset, bool* pbOpened)
{
    *pbOpened = false;
    if (!m_pRecordings || m_nRecordings == 0)
        return KVMM_E_DVR_CORRUPT_STUB_FILE;
    std::unique_ptr<LONG[]> pOrder;
    HRESULT hr = SortByPlayIndex(m_pRecordings.get(), m_nRecordings, &pOrder);
    if (FAILED(hr))
        return hr;
    LONG nSlot = -1;
    LONGLONG llStart = 0;
    const RecordingInfo* pList = m_pRecordings.get();
    hr = WalkPlayOrder(pList, pOrder.get(), m_nRecordings, m_nMinPlayIndex, m_llMinOffset, nullptr, nullptr,
                       [&](LONG n, LONGLONG llAt) {
                           if (llOffset >= llAt && llOffset - llAt < pList[n].size) {
                               nSlot = n;
                               llStart = llAt;
                               return false;
                           }
                           return true;
                       });
    if (FAILED(hr))
        return hr;
    if (nSlot < 0)
        return llOffset < m_llMaxOffset ? KVMM_E_DVR_CORRUPT_STUB_FILE : S_OK;
    std::unique_ptr<IFile> pFile;
    hr = OpenRecordingForReading(m_pRecordings[nSlot].path, &pFile);
    if (FAILED(hr))
        return hr;
    m_pReadFile = std::move(pFile);
    m_nReadPlayIndex = m_pRecordings[nSlot].playIndex;
    m_nReadSlot = nSlot;
    m_llReadStart = llStart;
    m_readInfo = m_pRecordings[nSlot];
    m_dwReadFileGeneration = ++m_dwReadGeneration;
    *pbOpened = true;
    return S_OK;
}

HRESULT CDVREngine::AfterRefreshLocked(const SReadPos& pos, LONG nNotedMinPlayIndex, DWORD cbBuffer,
                                       EReadStep* pStep)
{
    CAutoLock lock(&m_csEngine);
    if (m_bRestarted) {
        Trace("\nCDVREngine::ReadData: I detected the file was restarted(2)!");
        m_bRestarted = false;
        return KVMM_E_DVR_DISCARDED_DATA;
    }
    if (m_nMinPlayIndex < nNotedMinPlayIndex) {
        Trace("\nCDVREngine::ReadData: Min play index has decreased from %d to %d. Abort with "
              "KVMM_E_DVR_DISCARDED_DATA",
              static_cast<int>(nNotedMinPlayIndex), static_cast<int>(m_nMinPlayIndex));
        return KVMM_E_DVR_DISCARDED_DATA;
    }
    if (pos.llOffset < m_llMinOffset) {
        Trace("\nCDVREngine::ReadData: reading from %I64dKB before minoffset=%I64dKB. Abort with "
              "KVMM_E_DVR_DISCARDED_DATA",
              pos.llOffset / 1024, m_llMinOffset / 1024);
        return KVMM_E_DVR_DISCARDED_DATA;
    }
    if (pos.llOffset < m_llMaxOffset) {
        CloseCurrentRecordingLocked();
        bool bOpened = false;
        HRESULT hr = OpenRecordingAtLocked(pos.llOffset, &bOpened);
        if (FAILED(hr)) {
            if (hr == VFW_E_TIMEOUT)
                Trace("\nReadData: WaitForMoreData2(%s) returned VFW_E_TIMEOUT", TraceBytes(pos.llOffset));
            return hr;
        }
        if (!bOpened)
            Trace("\nCDVREngine::ReadData2: Warning: m_maxStartOffset has been reduced! startOffset=%s, "
                  "maxOffset=%s. Go back to start of loop",
                  TraceBytes(pos.llOffset), TraceBytes(m_llMaxOffset));
        *pStep = EReadStep::Refresh;  // read from it on the next pass
        return S_OK;
    }
    // Not written yet. More than one buffer beyond the end cannot be a
    // reader following the stream: its data was discarded under it.
    if (pos.llOffset - m_llMaxOffset > static_cast<LONGLONG>(cbBuffer)) {
        Trace("\nCDVREngine::ReadData: trying to read more than one segment past the end of the stream! "
              "offset=%I64dKB, maxOffset=%I64dKB. Abort with KVMM_E_DVR_DISCARDED_DATA",
              pos.llOffset / 1024, m_llMaxOffset / 1024);
        return KVMM_E_DVR_DISCARDED_DATA;
    }
    *pStep = EReadStep::Wait;
    return S_OK;
}

HRESULT CDVREngine::ReadData(LONGLONG llOffset, DWORD dwMinBytes, DWORD cbBuffer, BYTE* pBuffer, DWORD* pcbRead,
                             DWORD dwDeadline)
{
    if (!pcbRead || (!pBuffer && cbBuffer))
        return E_POINTER;
    *pcbRead = 0;
    // A minimum the buffer cannot hold could never be met.
    if (dwMinBytes > cbBuffer)
        return E_INVALIDARG;
    {
        CAutoLock lockRec(&m_csRecording);
        if (IsChangingAttributes() || !m_bStarted.load(std::memory_order_acquire))
            return KVMM_E_DVR_CHANGING_ATTRIBUTES;
        CAutoLock lock(&m_csEngine);
        if (m_bRestarted) {
            Trace("\nCDVREngine::ReadData: I detected the file was restarted(1)!");
            m_bRestarted = false;
            return KVMM_E_DVR_DISCARDED_DATA;
        }
    }
    SReadPos pos{llOffset, pBuffer, 0};
    for (;;) {
        EReadStep step = EReadStep::Done;
        LONG nNotedMinPlayIndex;
        {
            CAutoLock lockRec(&m_csRecording);
            HRESULT hr = ReadPassLocked(&pos, dwMinBytes, cbBuffer, &step);
            *pcbRead = pos.cbRead;
            if (FAILED(hr))
                return hr;
            if (step == EReadStep::Done)
                break;
            CAutoLock lock(&m_csEngine);
            nNotedMinPlayIndex = m_nMinPlayIndex;
        }

        HRESULT hr = ReadAndUpdateRecordingsInfo();
        if (FAILED(hr)) {
            if (hr == VFW_E_TIMEOUT)
                Trace("\nReadData: WaitForMoreData0(%s) returned VFW_E_TIMEOUT", TraceBytes(pos.llOffset));
            return hr;
        }
        {
            CAutoLock lockRec(&m_csRecording);
            hr = AfterRefreshLocked(pos, nNotedMinPlayIndex, cbBuffer, &step);
        }
        if (FAILED(hr))
            return hr;
        if (step != EReadStep::Wait)
            continue;

        SetStarvation(TRUE);
        LONGLONG llNeeded = 0;
        if (!AddOffset(pos.llOffset, static_cast<LONGLONG>(dwMinBytes - pos.cbRead), &llNeeded))
            llNeeded = MAX_INT64;
        hr = WaitForMoreData(llNeeded, dwDeadline);
        if (hr == S_OK)
            continue;
        if (hr == KVMM_S_DVR_WAITING) {
            if (dwDeadline == 0 || pos.cbRead > 0)
                return KVMM_S_DVR_WAITING;
            dwDeadline += kDeadlinePushMs;
            if (dwDeadline == 0)
                dwDeadline = 1;  // 0 would mean no deadline
            continue;
        }
        Trace("\nReadData: WaitForMoreData1(%s) failed %s", TraceBytes(llNeeded), TraceHr(hr));
        return hr;
    }
    SetStarvation(FALSE);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Waiting for the writer

void CDVREngine::TraceMessagesAndDispatch()
{
    // The platform's queue dispatches the whole batch; windows owned by this
    // thread (and calls marshalled through them) keep being served while a
    // read waits.
    if (PeekAndDispatchMessages())
        Trace("\nCDVREngine::WaitForMoreData_2: Received messages for the windows of thread 0x%08X",
              static_cast<unsigned>(GetCurrentThreadId()));
}

HRESULT CDVREngine::WaitForMoreData(LONGLONG llNeeded, DWORD dwDeadline)
{
    if (IsFlushing())
        return VFW_E_WRONG_STATE;
    if (IsChangingAttributes() || !m_bStarted.load(std::memory_order_acquire))
        return KVMM_E_DVR_CHANGING_ATTRIBUTES;
    if (!IsGrowingSource()) {
        Trace("\nCDVREngine::WaitForMoreData: m_bGrowingSource=FALSE, return KVMM_E_DVR_STOPPED");
        return KVMM_E_DVR_STOPPED;
    }

    (void)EnsureSinkThread();  // without a link the stub is polled
    CDVRSinkThread* pThread = AcquireSinkThread();
    if (pThread && !pThread->HasSink()) {
        ReleaseSinkThread(pThread);
        pThread = nullptr;
    }
    const DWORD dwStart = GetTickCount();
    LONG lStatus = 0, lFolder = 0, lSlot = 0;
    LONGLONG llSize = 0;
    HANDLE hOffsetReached = INVALID_HANDLE_VALUE;
    HRESULT hrResult = KVMM_S_DVR_WAITING;
    bool bDecided = false;
    if (pThread) {
        HRESULT hr = pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, CDVRSinkThread::kShortTimeoutMs);
        if (hr == RPC_E_TIMEOUT) {
            Trace("\nCDVREngine::WaitForMoreData_1(%s): GetSinkStatus failed RPC_E_TIMEOUT", TraceBytes(llNeeded));
            bDecided = true;
            hrResult = WaitForSingleObject(m_hNewRequest, 0) == WAIT_OBJECT_0 ? KVMM_E_DVR_SUSPENDED
                                                                              : KVMM_S_DVR_WAITING;
        } else if (FAILED(hr)) {
            ReleaseSinkThread(pThread);  // the writer went away: poll the stub
            pThread = nullptr;
        } else if (lStatus == DVRStatus_Stopped) {
            Trace("\nCDVREngine::WaitForMoreData_1: m_pDVRSinkThread->GetSinkStatus returned "
                  "status=DVRStatus_Stopped, return KVMM_E_DVR_STOPPED");
            bDecided = true;
            hrResult = KVMM_E_DVR_STOPPED;
        } else {
            if (lStatus != DVRStatus_Writing)
                Trace("\nCDVREngine::WaitForMoreData_1: Warning! m_pDVRSinkThread->GetSinkStatus returned "
                      "status=%d, not DVRStatus_Writing...",
                      static_cast<int>(lStatus));
            hOffsetReached = pThread->GetOffsetReachedEvent();
            // The writer counts its own offsets: a target in ours would be
            // reached at once (a reader that started late) or long after the
            // bytes came (one whose count ran ahead).
            LONGLONG llDelta = 0;
            bool bDelta = GetWriterDelta(&llDelta);
            if (!bDelta && hOffsetReached != INVALID_HANDLE_VALUE) {
                LearnWriterDelta();
                bDelta = GetWriterDelta(&llDelta);
                if (!bDelta) {
                    Trace("\nCDVREngine::WaitForMoreData_1(%s): the writer's count is not known; polling",
                          TraceBytes(llNeeded));
                    hOffsetReached = INVALID_HANDLE_VALUE;
                }
            }
            if (hOffsetReached != INVALID_HANDLE_VALUE) {
                (void)ResetEvent(hOffsetReached);
                // The writer signals once the byte at the target exists; the
                // last byte needed is the one before llNeeded. Targets below
                // 1 are refused, so the first byte of a stream asks for two.
                LONGLONG llWriterNeeded = 0;
                if (!AddOffset(llNeeded, llDelta, &llWriterNeeded))
                    llWriterNeeded = llDelta < 0 ? 0 : MAX_INT64;
                const LONGLONG llTarget = std::max<LONGLONG>(llWriterNeeded - 1, 1);
                hr = pThread->SetOffsetToReach(llTarget, CDVRSinkThread::kShortTimeoutMs);
                // A writer that started a new buffer has forgotten its readers.
                if (hr == E_INVALIDARG && SUCCEEDED(pThread->Reregister(CDVRSinkThread::kShortTimeoutMs))) {
                    hOffsetReached = pThread->GetOffsetReachedEvent();
                    (void)ResetEvent(hOffsetReached);
                    hr = pThread->SetOffsetToReach(llTarget, CDVRSinkThread::kShortTimeoutMs);
                }
                if (FAILED(hr)) {
                    Trace("\nCDVREngine::WaitForMoreData_1(%s): SetOffsetToReach failed %s", TraceBytes(llNeeded),
                          TraceHr(hr));
                    hOffsetReached = INVALID_HANDLE_VALUE;
                }
            }
        }
    }

    while (!bDecided) {
        const DWORD dwElapsed = TickDiff(GetTickCount(), dwStart);
        if (dwElapsed >= kWaitStepMs)
            break;
        DWORD dwWait = kWaitStepMs - dwElapsed;
        if (dwDeadline != 0) {
            const DWORD dwLeft = TickDeadlineLeft(dwDeadline, GetTickCount());
            if (dwLeft == 0) {
                hrResult = KVMM_S_DVR_WAITING;
                bDecided = true;
                break;
            }
            dwWait = std::min(dwWait, dwLeft);
        }
        HANDLE ah[3] = {m_evFlush.Handle(), m_hNewRequest, hOffsetReached};
        const DWORD nHandles = hOffsetReached != INVALID_HANDLE_VALUE ? 3 : 2;
        const DWORD dwWake = MsgWaitForMultipleObjects(nHandles, ah, FALSE, dwWait, QS_ALLINPUT);
        if (dwWake == WAIT_ABANDONED_0 + 2 && pThread) {
            pThread->CloseEvents();
            hOffsetReached = INVALID_HANDLE_VALUE;
        }
        if (IsFlushing()) {
            hrResult = VFW_E_WRONG_STATE;
            bDecided = true;
            break;
        }
        if (dwWake == WAIT_OBJECT_0 + 1) {
            Trace("\nCDVREngine::WaitForMoreData_2(%s): New read request! Suspend the current read",
                  TraceBytes(llNeeded));
            hrResult = KVMM_E_DVR_SUSPENDED;
            bDecided = true;
            break;
        }
        if (dwWake == WAIT_OBJECT_0 + nHandles)
            TraceMessagesAndDispatch();
        if (dwWake == WAIT_OBJECT_0 + 2 && nHandles == 3) {
            hrResult = S_OK;
            bDecided = true;
            break;
        }
        if (dwWake == WAIT_FAILED) {
            // An event handle went away under us (the link was remade);
            // let the caller try again rather than spin.
            hrResult = KVMM_S_DVR_WAITING;
            bDecided = true;
            break;
        }
        if (pThread) {
            LONG lStatus2 = 0, lFolder2 = 0, lSlot2 = 0;
            LONGLONG llSize2 = 0;
            HRESULT hr =
                pThread->GetSinkStatus(&lStatus2, &lFolder2, &lSlot2, &llSize2, CDVRSinkThread::kShortTimeoutMs);
            if (FAILED(hr) && hr != RPC_E_TIMEOUT) {
                Trace("\nCDVREngine::WaitForMoreData_3: m_pDVRSinkThread->GetSinkStatus returned %s", TraceHr(hr));
                hrResult = hr == E_POINTER ? S_OK : hr;
                bDecided = true;
                break;
            }
            if (SUCCEEDED(hr)) {
                if (lStatus2 == DVRStatus_Stopped) {
                    Trace("\nCDVREngine::WaitForMoreData_3: m_pDVRSinkThread->GetSinkStatus returned "
                          "status=DVRStatus_Stopped, return KVMM_E_DVR_STOPPED");
                    hrResult = KVMM_E_DVR_STOPPED;
                    bDecided = true;
                    break;
                }
                if (lFolder2 != lFolder || lSlot2 != lSlot || llSize2 != llSize) {
                    hrResult = S_OK;
                    bDecided = true;
                    break;
                }
            }
        } else {
            HRESULT hr = ReadAndUpdateRecordingsInfo();
            if (FAILED(hr)) {
                Trace("\nCDVREngine::WaitForMoreData_4: ReadAndUpdateRecordingsInfo failed %s", TraceHr(hr));
                hrResult = hr;
                bDecided = true;
                break;
            }
            LONGLONG llMax;
            {
                CAutoLock lock(&m_csEngine);
                llMax = m_llMaxOffset;
            }
            if (llMax >= llNeeded) {
                Trace("\nCDVREngine::WaitForMoreData_4: maxOffset=%s. Needed=%s. Return S_OK", TraceBytes(llMax),
                      TraceBytes(llNeeded));
                hrResult = S_OK;
                bDecided = true;
                break;
            }
            Trace("\nCDVREngine::WaitForMoreData_4: maxOffset=%s. Needed=%s. Keep waiting", TraceBytes(llMax),
                  TraceBytes(llNeeded));
        }
    }
    if (pThread)
        ReleaseSinkThread(pThread);
    if (!bDecided)
        Trace("\nCDVREngine::WaitForMoreData_5: returning KVMM_S_DVR_WAITING");
    return hrResult;
}

// ---------------------------------------------------------------------------
// Flushing, new requests, attribute changes

void CDVREngine::SetFlushing(bool bFlushing)
{
    CAutoLock lock(&m_csFlush);
    m_bFlushing = bFlushing;
    if (bFlushing)
        m_evFlush.Set();
    else
        m_evFlush.Reset();
}

bool CDVREngine::IsFlushing()
{
    CAutoLock lock(&m_csFlush);
    return m_bFlushing;
}

void CDVREngine::SignalNewRequest(BOOL bAdded)
{
    if (m_hNewRequest == INVALID_HANDLE_VALUE)
        return;
    if (bAdded)
        (void)ReleaseSemaphore(m_hNewRequest, 1, nullptr);
    else
        (void)WaitForSingleObject(m_hNewRequest, 0);
}

void CDVREngine::BeginAttributeChange()
{
    if (m_lChangeCount.fetch_add(1, std::memory_order_acq_rel) == 0)
        m_evNoChange.Reset();
}

void CDVREngine::EndAttributeChange()
{
    if (m_lChangeCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        m_evNoChange.Set();
}

BOOL CDVREngine::IsGrowingSource()
{
    CAutoLock lock(&m_csEngine);
    return m_bGrowingSource ? TRUE : FALSE;
}

