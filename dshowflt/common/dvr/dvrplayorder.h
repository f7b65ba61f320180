// Walking the recordings of a stub in play order, shared by the reader's
// refresh, its reads and its copies. Offsets are summed with overflow checks:
// sizes come from a file another process wrote.
#pragma once

#include <algorithm>
#include <memory>
#include <new>

#include "dshowflt/common/dvr/dvrformat.h"
#include "dshowflt/common/trace/trace.h"

namespace dvr {

inline bool AddOffset(LONGLONG a, LONGLONG b, LONGLONG* pSum)
{
    return !__builtin_add_overflow(a, b, pSum);
}

// Slot numbers of pList in ascending playIndex order: the play order walks
// of the ring then cost O(n) instead of one search per step.
inline HRESULT SortByPlayIndex(const RecordingInfo* pList, LONG nCount, std::unique_ptr<LONG[]>* ppOrder)
{
    std::unique_ptr<LONG[]> pOrder(new (std::nothrow) LONG[nCount > 0 ? nCount : 1]);
    if (!pOrder)
        return E_OUTOFMEMORY;
    for (LONG i = 0; i < nCount; ++i)
        pOrder[i] = i;
    std::stable_sort(pOrder.get(), pOrder.get() + nCount,
                     [pList](LONG a, LONG b) { return pList[a].playIndex < pList[b].playIndex; });
    *ppOrder = std::move(pOrder);
    return S_OK;
}

// Walks the recordings in play order from nFromPlayIndex at llFromOffset:
// each step takes the record with the smallest playIndex not below the
// step's index. Calls fn(slot, start offset) for every recording walked
// until it returns false. *pnNext receives the index after the last one
// walked and *pllEnd its end offset. Fails only on an offset overflow.
template <class F>
HRESULT WalkPlayOrder(const RecordingInfo* pList, const LONG* pOrder, LONG nCount, LONG nFromPlayIndex,
                      LONGLONG llFromOffset, LONG* pnNext, LONGLONG* pllEnd, F fn)
{
    LONG nNext = nFromPlayIndex;
    LONGLONG llOffset = llFromOffset;
    for (LONG k = 0; k < nCount; ++k) {
        const RecordingInfo& info = pList[pOrder[k]];
        if (info.playIndex < nNext)
            continue;  // below the walk, or a duplicate index
        if (!fn(pOrder[k], llOffset))
            break;
        if (!AddOffset(llOffset, info.size, &llOffset)) {
            Trace("\nCDVREngine::ReadAndUpdateRecordingsInfo: Error - stream offsets overflow at playIndex %d",
                  static_cast<int>(info.playIndex));
            return KVMM_E_DVR_CORRUPT_STUB_FILE;
        }
        nNext = info.playIndex + 1;  // the file layer keeps playIndex below INT32_MAX
    }
    if (pnNext)
        *pnNext = nNext;
    if (pllEnd)
        *pllEnd = llOffset;
    return S_OK;
}

}  // namespace dvr
