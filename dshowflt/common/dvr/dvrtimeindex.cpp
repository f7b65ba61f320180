// CDVRTimeIndex: receive times of a ring from the indexes beside it.
#include "dshowflt/common/dvr/dvrtimeindex.h"

#include <algorithm>
#include <new>

#include "dshowflt/common/trace/trace.h"

using namespace dvr;

namespace {

// a + (b - a) * num / den without overflow, for 0 <= num <= den, den > 0.
LONGLONG Interpolate(LONGLONG a, LONGLONG b, LONGLONG num, LONGLONG den)
{
    const __int128 v = static_cast<__int128>(b - a) * num / den;
    return a + static_cast<LONGLONG>(v);
}

}  // namespace

HRESULT CDVRTimeIndex::Load(CDVREngine* pEngine)
{
    if (!pEngine)
        return E_POINTER;
    m_pRecordings.reset();
    m_nRecordings = 0;
    m_pEntries.reset();
    m_pLinked.reset();
    m_pEntryRecording.reset();
    m_nEntries = 0;
    m_bStreamKnown = false;

    SDVRPicture pic;
    HRESULT hr = pEngine->GetPicture(&pic);
    if (FAILED(hr))
        return hr;
    const LONG n = pic.nRecordings;
    m_llMinOffset = pic.llMinOffset;
    m_llMaxOffset = pic.llMaxOffset;
    std::unique_ptr<SRecording[]> pRec(new (std::nothrow) SRecording[n > 0 ? n : 1]);
    std::unique_ptr<SParsedIndex[]> pParsed(new (std::nothrow) SParsedIndex[n > 0 ? n : 1]);
    std::unique_ptr<LONGLONG[]> pDelta(new (std::nothrow) LONGLONG[n > 0 ? n : 1]);
    if (!pRec || !pParsed || !pDelta)
        return E_OUTOFMEMORY;

    for (LONG k = 0; k < n; ++k) {
        const SDVRPictureRecording& r = pic.pRecordings[k];
        SRecording& rec = pRec[k];
        rec.nSlot = r.nSlot;
        rec.nPlayIndex = r.info.playIndex;
        rec.llStart = r.llStart;
        rec.llSize = r.info.size;
        rec.hrIndex = pEngine->ReadIndexOf(r.info, false, &pParsed[k]);
        if (SUCCEEDED(rec.hrIndex) &&
            __builtin_sub_overflow(pParsed[k].header.llStart, r.llStart, &pDelta[k]))
            rec.hrIndex = KVMM_E_INVALID_DATA;
    }

    // How the reader's count relates to the indexes' (the writer's): known
    // from the engine when it was anchored, else what most indexes say,
    // the newest deciding a tie.
    LONGLONG llDelta = pic.llWriterDelta;
    bool bDelta = pic.bDeltaKnown;
    GUID guidStream = pic.streamIdentity;
    bool bStream = pic.bIdentityKnown;
    if (!bDelta || !bStream) {
        int nBest = 0;
        for (LONG k = n - 1; k >= 0; --k) {
            if (FAILED(pRec[k].hrIndex) || (bDelta && pDelta[k] != llDelta))
                continue;
            int nVotes = 0;
            for (LONG j = 0; j < n; ++j)
                nVotes += SUCCEEDED(pRec[j].hrIndex) && pDelta[j] == pDelta[k] &&
                          pParsed[j].header.streamId == pParsed[k].header.streamId;
            if (nVotes > nBest) {
                nBest = nVotes;
                if (!bStream)
                    guidStream = pParsed[k].header.streamId;
                llDelta = pDelta[k];
            }
        }
        if (nBest > 0) {
            bDelta = true;
            bStream = true;
        }
    }
    size_t nTotal = 0;
    for (LONG k = 0; k < n; ++k) {
        SRecording& rec = pRec[k];
        if (FAILED(rec.hrIndex))
            continue;
        if (pDelta[k] != llDelta || pParsed[k].header.streamId != guidStream) {
            Trace("\nCDVRTimeIndex::Load: the index of playIndex %d places it %s from where the ring has it; not "
                  "used",
                  static_cast<int>(rec.nPlayIndex), TraceBytes(pDelta[k] - llDelta));
            rec.hrIndex = KVMM_E_INVALID_DATA;
            continue;
        }
        rec.bComplete = pParsed[k].bComplete;
        rec.nFirst = nTotal;
        rec.nEntries = pParsed[k].nEntries;
        nTotal += rec.nEntries;
    }

    std::unique_ptr<SIndexEntry[]> pEntries(new (std::nothrow) SIndexEntry[nTotal > 0 ? nTotal : 1]);
    std::unique_ptr<bool[]> pLinked(new (std::nothrow) bool[nTotal > 0 ? nTotal : 1]);
    std::unique_ptr<LONG[]> pOwner(new (std::nothrow) LONG[nTotal > 0 ? nTotal : 1]);
    if (!pEntries || !pLinked || !pOwner)
        return E_OUTOFMEMORY;
    for (LONG k = 0; k < n; ++k) {
        const SRecording& rec = pRec[k];
        for (size_t i = 0; i < rec.nEntries; ++i) {
            SIndexEntry e = pParsed[k].pEntries[i];
            e.llOffset -= llDelta;  // within the recording, so no overflow
            const size_t j = rec.nFirst + i;
            pEntries[j] = e;
            pOwner[j] = k;
            // Within a recording every entry continues the one before. A
            // recording's end entry continues into the next recording's
            // first when that recording follows it directly.
            bool bLinked = i + 1 < rec.nEntries;
            if (!bLinked && rec.bComplete && k + 1 < n) {
                const SRecording& next = pRec[k + 1];
                bLinked = SUCCEEDED(next.hrIndex) && next.nEntries > 0 && next.nPlayIndex == rec.nPlayIndex + 1 &&
                          next.llStart == rec.llStart + rec.llSize;
            }
            pLinked[j] = bLinked;
        }
    }
    m_pRecordings = std::move(pRec);
    m_nRecordings = n;
    m_pEntries = std::move(pEntries);
    m_pLinked = std::move(pLinked);
    m_pEntryRecording = std::move(pOwner);
    m_nEntries = nTotal;
    m_llDelta = llDelta;
    m_bDeltaKnown = bDelta;
    m_guidStream = guidStream;
    m_bStreamKnown = bStream;
    return S_OK;
}

bool CDVRTimeIndex::GetStreamIdentity(GUID* pGuid) const
{
    if (pGuid)
        *pGuid = m_guidStream;
    return m_bStreamKnown;
}

bool CDVRTimeIndex::GetSpan(LONGLONG* pllFirst, LONGLONG* pllLast) const
{
    if (m_nEntries == 0)
        return false;
    *pllFirst = m_pEntries[0].llTime;
    *pllLast = m_pEntries[m_nEntries - 1].llTime;
    return true;
}

bool CDVRTimeIndex::GetRecordingSpan(LONG i, LONGLONG* pllFirst, LONGLONG* pllLast) const
{
    if (i < 0 || i >= m_nRecordings || m_pRecordings[i].nEntries == 0)
        return false;
    const SRecording& rec = m_pRecordings[i];
    *pllFirst = m_pEntries[rec.nFirst].llTime;
    *pllLast = m_pEntries[rec.nFirst + rec.nEntries - 1].llTime;
    return true;
}

bool CDVRTimeIndex::GetBitRate(LONG i, double* pdBitsPerSecond) const
{
    size_t nFirst = 0, nCount = m_nEntries;
    if (i >= 0) {
        if (i >= m_nRecordings)
            return false;
        nFirst = m_pRecordings[i].nFirst;
        nCount = m_pRecordings[i].nEntries;
    }
    if (nCount < 2)
        return false;
    const SIndexEntry& a = m_pEntries[nFirst];
    const SIndexEntry& b = m_pEntries[nFirst + nCount - 1];
    if (b.llMono <= a.llMono)
        return false;
    const double dSeconds = static_cast<double>(b.llMono - a.llMono) / 1e7;
    *pdBitsPerSecond = static_cast<double>(b.llOffset - a.llOffset) * 8.0 / dSeconds;
    return true;
}

HRESULT CDVRTimeIndex::OffsetAtTime(LONGLONG llTime, bool bEnd, LONGLONG* pllOffset) const
{
    if (!pllOffset)
        return E_POINTER;
    if (m_nEntries == 0)
        return KVMM_E_NO_RECEIVE_TIME;
    if (llTime < m_pEntries[0].llTime || llTime > m_pEntries[m_nEntries - 1].llTime)
        return E_INVALIDARG;
    // The first entry at or after the time: the bytes received at the time
    // start there, or between it and the entry before. Times grow along the
    // stream; a wall clock stepped back makes some times occur twice, and
    // the search then settles on one of them.
    size_t lo = 0, hi = m_nEntries;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (m_pEntries[mid].llTime < llTime)
            lo = mid + 1;
        else
            hi = mid;
    }
    const size_t j = std::min(lo, m_nEntries - 1);
    const SIndexEntry& after = m_pEntries[j];
    LONGLONG llOffset = after.llOffset;
    if (j > 0 && after.llTime > llTime) {
        const SIndexEntry& before = m_pEntries[j - 1];
        if (Linked(j - 1))
            llOffset = Interpolate(before.llOffset, after.llOffset, llTime - before.llTime,
                                   after.llTime - before.llTime);
        else if (!bEnd)
            llOffset = before.llOffset;  // nobody knows what came in between: include it
    }
    *pllOffset = std::clamp(llOffset, m_llMinOffset, m_llMaxOffset);
    return S_OK;
}

HRESULT CDVRTimeIndex::TimeAtOffset(LONGLONG llOffset, LONGLONG* pllTime) const
{
    if (!pllTime)
        return E_POINTER;
    if (m_nEntries == 0 || llOffset < m_pEntries[0].llOffset || llOffset < m_llMinOffset || llOffset >= m_llMaxOffset)
        return KVMM_E_NO_RECEIVE_TIME;
    // The last entry at or before the offset: of an end-of-run pair at one
    // offset that is the resumption, which is when that byte came.
    size_t lo = 0, hi = m_nEntries;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (m_pEntries[mid].llOffset <= llOffset)
            lo = mid + 1;
        else
            hi = mid;
    }
    const size_t i = lo - 1;
    const SIndexEntry& e = m_pEntries[i];
    if (llOffset == e.llOffset && !(e.dwFlags & (kIndexFlagEnd | kIndexFlagRunEnd))) {
        *pllTime = e.llTime;
        return S_OK;
    }
    if (i + 1 < m_nEntries && Linked(i)) {
        const SIndexEntry& next = m_pEntries[i + 1];
        if (next.llOffset > e.llOffset) {
            *pllTime = Interpolate(e.llTime, next.llTime, llOffset - e.llOffset, next.llOffset - e.llOffset);
            return S_OK;
        }
    }
    return KVMM_E_NO_RECEIVE_TIME;
}
