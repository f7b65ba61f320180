// CDVRTimeIndex: the receive times of a DVR ring, from the indexes beside
// its recordings (dvrindex.h), for readers that ask "which bytes arrived at
// 10:31:05" or "when did byte 1,204,224 arrive".
//
// Load takes one picture of the ring from a reader engine and reads every
// recording's index once; the object then answers without touching the
// files. Offsets are the reader's (those ReadData takes), which are the
// writer's own count whenever the ring has indexes.
//
// What is trusted: each index only up to its first bad entry (dvrindex.h),
// and only when its header places the recording where the reader's picture
// does (the same place as the other indexes); an index that disagrees is
// left out. Times are interpolated only between two consecutive trusted
// entries of one run: within a recording, or from a recording's end entry
// to the next recording's first. Where that chain breaks (a torn or missing
// index) a time maps to the last trusted offset before it, and an offset to
// no time at all, so a range found by time may start early but never late,
// and never names bytes the ring does not hold.
//
// Not thread-safe; one object per question is cheap.
#pragma once

#include <memory>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrindex.h"

class CDVRTimeIndex
{
public:
    // One recording of the picture, in play order.
    struct SRecording
    {
        LONG nSlot = -1;
        LONG nPlayIndex = -1;
        LONGLONG llStart = 0;  // reader offsets
        LONGLONG llSize = 0;
        HRESULT hrIndex = S_OK;  // why it has no trusted entries, when it has none
        bool bComplete = false;  // its index ends with the end entry
        size_t nFirst = 0;       // its trusted entries: [nFirst, nFirst + nEntries)
        size_t nEntries = 0;
    };

    // Refreshes pEngine's picture and reads the indexes. S_OK even when no
    // index could be read (HasTimes() tells); the engine's refresh failure
    // (KVMM_E_DVR_NO_RECORDINGS and the like), E_OUTOFMEMORY.
    [[nodiscard]] HRESULT Load(CDVREngine* pEngine);

    bool HasTimes() const { return m_nEntries > 0; }
    // The buffer's stream identifier; false when no index named one.
    bool GetStreamIdentity(GUID* pGuid) const;
    // Whether the reader counts as the writer does (its offsets are the
    // absolute stream offsets of the stream identifier).
    bool OffsetsAreWriters() const { return m_bDeltaKnown && m_llDelta == 0; }
    LONGLONG MinOffset() const { return m_llMinOffset; }
    LONGLONG MaxOffset() const { return m_llMaxOffset; }

    LONG RecordingCount() const { return m_nRecordings; }
    const SRecording& Recording(LONG i) const { return m_pRecordings[i]; }
    const dvr::SIndexEntry& Entry(size_t i) const { return m_pEntries[i]; }
    size_t EntryCount() const { return m_nEntries; }

    // The receive times of the first and the last trusted entry (file
    // times); false without any.
    bool GetSpan(LONGLONG* pllFirst, LONGLONG* pllLast) const;
    // The same for one recording.
    bool GetRecordingSpan(LONG i, LONGLONG* pllFirst, LONGLONG* pllLast) const;
    // Average bits per second between the first and the last trusted entry
    // (of recording i, or of the whole ring for i < 0), timed by the
    // monotonic clock so that a step of the wall clock does not skew it;
    // false when fewer than two entries or no time passed.
    bool GetBitRate(LONG i, double* pdBitsPerSecond) const;

    // The offset of the first byte received at or after llTime (a file
    // time): interpolated between the trusted entries around it. A time that
    // falls into a break of the chain gives the last trusted offset before
    // it (the start of a range), or with bEnd the next one after it (its
    // end), so that a range never misses what was received in it. S_OK;
    // KVMM_E_NO_RECEIVE_TIME without times; E_INVALIDARG for a time outside
    // the span (GetSpan).
    [[nodiscard]] HRESULT OffsetAtTime(LONGLONG llTime, bool bEnd, LONGLONG* pllOffset) const;
    // The receive time of byte llOffset: interpolated between the trusted
    // entries around it. KVMM_E_NO_RECEIVE_TIME when no trusted run of
    // entries covers the offset.
    [[nodiscard]] HRESULT TimeAtOffset(LONGLONG llOffset, LONGLONG* pllTime) const;

private:
    // Whether entry i + 1 continues the run of entry i (interpolation between
    // them is sound).
    bool Linked(size_t i) const { return m_pLinked[i]; }

    std::unique_ptr<SRecording[]> m_pRecordings;
    LONG m_nRecordings = 0;
    std::unique_ptr<dvr::SIndexEntry[]> m_pEntries;  // in reader offsets, play order
    std::unique_ptr<bool[]> m_pLinked;
    std::unique_ptr<LONG[]> m_pEntryRecording;  // recording of each entry
    size_t m_nEntries = 0;
    LONGLONG m_llMinOffset = 0;
    LONGLONG m_llMaxOffset = 0;
    LONGLONG m_llDelta = 0;  // writer offset = reader offset + m_llDelta
    bool m_bDeltaKnown = false;
    GUID m_guidStream = GUID_NULL;
    bool m_bStreamKnown = false;
};
