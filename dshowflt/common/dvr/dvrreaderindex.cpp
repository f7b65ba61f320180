// CDVREngine in reader mode: the time index beside the recordings, which
// tells any reader, with or without a live writer, where each recording
// lies in the writer's count and which buffer it belongs to.
#include <algorithm>
#include <new>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrindex.h"
#include "dshowflt/common/dvr/dvrplayorder.h"
#include "dshowflt/common/trace/trace.h"

using namespace dvr;

namespace {

// Index headers read for one anchor, newest first; two that agree settle it.
constexpr int kAnchorHeaders = 6;

}  // namespace

HRESULT CDVREngine::ReadIndexOf(const RecordingInfo& info, bool bHeaderOnly, SParsedIndex* pIndex)
{
    if (!pIndex)
        return E_POINTER;
    // Named after the stored path and opened as the recording is: the same
    // folder rules, and a path outside the stub's tree only for a file of
    // the stub's owner.
    const CWString strIndex = IndexPathFor(CWString(info.path));
    if (strIndex.size() >= static_cast<size_t>(MAX_PATH))
        return CO_E_PATHTOOLONG;
    std::unique_ptr<IFile> pFile;
    HRESULT hr = OpenRecordingForReading(strIndex.c_str(), &pFile);
    if (FAILED(hr))
        return hr;
    LONGLONG llSize = 0;
    hr = pFile->GetSize(&llSize);
    if (FAILED(hr))
        return hr;
    const LONGLONG llWant = std::min<LONGLONG>(llSize, bHeaderOnly ? kIndexMaxHeaderBytes : kIndexMaxReadBytes);
    if (llWant < kIndexHeaderBytes)
        return KVMM_E_INVALID_HEADER;  // being made, or cut short
    const DWORD cbWant = static_cast<DWORD>(llWant);
    std::unique_ptr<BYTE[]> pb(new (std::nothrow) BYTE[cbWant]);
    if (!pb)
        return E_OUTOFMEMORY;
    DWORD cbHave = 0;
    while (cbHave < cbWant) {
        DWORD cbGot = 0;
        hr = pFile->Read(pb.get() + cbHave, cbWant - cbHave, &cbGot);
        if (FAILED(hr))
            return hr;
        if (cbGot == 0)
            break;  // cut while we read: what we have is parsed
        cbHave += cbGot;
    }
    hr = ParseIndex(pb.get(), cbHave, info.size, pIndex);
    if (SUCCEEDED(hr) && pIndex->header.nPlayIndex != info.playIndex)
        return KVMM_E_INVALID_DATA;  // the slot's previous recording, or its next one
    return hr;
}

bool CDVREngine::IndexAnchorLocked(const RecordingInfo* pList, const LONG* pOrder, LONG nCount, LONG nMinPlayIndex,
                                   LONGLONG* pllStartOfMin, GUID* pStream)
{
    // The recordings as this reader walks them, with their starts counted
    // from the oldest one's.
    std::unique_ptr<LONG[]> pSlots(new (std::nothrow) LONG[nCount > 0 ? nCount : 1]);
    std::unique_ptr<LONGLONG[]> pStarts(new (std::nothrow) LONGLONG[nCount > 0 ? nCount : 1]);
    if (!pSlots || !pStarts)
        return false;
    LONG nWalked = 0;
    if (FAILED(WalkPlayOrder(pList, pOrder, nCount, nMinPlayIndex, 0, nullptr, nullptr, [&](LONG nSlot, LONGLONG llAt) {
            pSlots[nWalked] = nSlot;
            pStarts[nWalked] = llAt;
            ++nWalked;
            return true;
        })))
        return false;

    struct SCandidate
    {
        LONGLONG llBase;
        GUID stream;
        int nVotes;
    };
    SCandidate aCand[kAnchorHeaders];
    int nCand = 0;
    int nRead = 0;
    for (LONG k = nWalked - 1; k >= 0 && nRead < kAnchorHeaders; --k) {
        const RecordingInfo& info = pList[pSlots[k]];
        SParsedIndex index;
        if (FAILED(ReadIndexOf(info, true, &index)))
            continue;
        ++nRead;
        LONGLONG llBase = 0;
        if (__builtin_sub_overflow(index.header.llStart, pStarts[k], &llBase) || llBase < 0)
            continue;
        int i = 0;
        while (i < nCand && (aCand[i].llBase != llBase || aCand[i].stream != index.header.streamId))
            ++i;
        if (i == nCand)
            aCand[nCand++] = SCandidate{llBase, index.header.streamId, 0};
        if (++aCand[i].nVotes >= 2)
            break;  // two files written apart agree
    }
    if (nCand == 0)
        return false;
    int iBest = 0;
    for (int i = 1; i < nCand; ++i)
        if (aCand[i].nVotes > aCand[iBest].nVotes)
            iBest = i;  // on a tie the first found, the newest, stays
    if (nCand > 1)
        Trace("\nCDVREngine::ReadAndUpdateRecordingsInfo: the indexes disagree on where the ring starts; %s holds "
              "with %d of %d",
              TraceBytes(aCand[iBest].llBase), aCand[iBest].nVotes, nRead);
    *pllStartOfMin = aCand[iBest].llBase;
    *pStream = aCand[iBest].stream;
    return true;
}

HRESULT CDVREngine::GetPicture(SDVRPicture* pPicture)
{
    if (!pPicture)
        return E_POINTER;
    HRESULT hr = ReadAndUpdateRecordingsInfo();
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csEngine);
    if (!m_pRecordings || m_nRecordings == 0)
        return KVMM_E_DVR_NO_RECORDINGS;
    std::unique_ptr<LONG[]> pOrder;
    hr = SortByPlayIndex(m_pRecordings.get(), m_nRecordings, &pOrder);
    if (FAILED(hr))
        return hr;
    std::unique_ptr<SDVRPictureRecording[]> p(new (std::nothrow) SDVRPictureRecording[m_nRecordings]);
    if (!p)
        return E_OUTOFMEMORY;
    LONG n = 0;
    const RecordingInfo* pList = m_pRecordings.get();
    hr = WalkPlayOrder(pList, pOrder.get(), m_nRecordings, m_nMinPlayIndex, m_llMinOffset, nullptr, nullptr,
                       [&](LONG nSlot, LONGLONG llAt) {
                           p[n].info = pList[nSlot];
                           p[n].nSlot = nSlot;
                           p[n].llStart = llAt;
                           ++n;
                           return true;
                       });
    if (FAILED(hr))
        return hr;
    pPicture->pRecordings = std::move(p);
    pPicture->nRecordings = n;
    pPicture->llMinOffset = m_llMinOffset;
    pPicture->llMaxOffset = m_llMaxOffset;
    pPicture->llWriterDelta = m_llWriterDelta;
    pPicture->bDeltaKnown = m_bDeltaKnown;
    pPicture->streamIdentity = m_guidIdentity;
    pPicture->bIdentityKnown = m_bIdentityKnown;
    return S_OK;
}

bool CDVREngine::GetStreamIdentity(GUID* pGuid)
{
    CAutoLock lock(&m_csEngine);
    if (pGuid)
        *pGuid = m_guidIdentity;
    return m_bIdentityKnown;
}
