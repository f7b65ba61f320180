// CAsyncStream: the byte stream that the output pin's request queue reads
// from. The DVR source stream implements it over the reader engine, so that
// a recording that is still being written looks like a file that keeps
// growing: a read may block until the writer has caught up, the size has no
// end while a writer is live, and a flush makes a blocked read give up.
//
// Threads: Read runs on the request queue's worker (or on a caller doing a
// synchronous read) with the stream lock held; BeginFlush and EndFlush come
// from the graph's thread while a Read may be blocked; WorkSignal comes from
// whichever thread adds a request to the queue or takes one off it.
#pragma once

#include "platform/hresult.h"
#include "platform/wintypes.h"

class CAsyncStream
{
public:
    virtual ~CAsyncStream() = default;

    // Reads up to dwBytesToRead bytes at *pllPosition into pbBuffer and
    // leaves *pllPosition just after the bytes read (*pdwBytesRead of them).
    //
    // Data that the ring has already overwritten sets *pbDiscontinuity: with
    // bSkipDiscarded the read moves forward to data that still exists (the
    // bytes read then start at *pllPosition - *pdwBytesRead), otherwise it
    // fails with KVMM_E_DVR_DISCARDED_DATA. KVMM_E_DVR_SUSPENDED, with or
    // without bytes, means the read gave way to a newer request and may be
    // tried again. dwDeadline is a tick count after which a waiting read
    // returns what it has; 0 means no deadline. S_FALSE: fewer bytes than
    // asked; HRESULT_FROM_WIN32(ERROR_HANDLE_EOF): none at all.
    [[nodiscard]] virtual HRESULT Read(LONGLONG* pllPosition, BYTE* pbBuffer, DWORD dwBytesToRead,
                                       DWORD* pdwBytesRead, BOOL bSkipDiscarded, BOOL* pbDiscontinuity,
                                       DWORD dwDeadline) = 0;
    // The total length, with the length readable now in *pllAvailable. A
    // stream that is still growing reports 2^63-1, or 922337203685 (the same
    // maximum divided by 10,000,000) when the caller counts sample times in
    // reference-time units per byte, so that the product does not overflow.
    virtual LONGLONG Size(LONGLONG* pllAvailable, BOOL bTimesInUnits) = 0;
    // Offsets, lengths and buffers of aligned reads are multiples of this.
    virtual DWORD Alignment() = 0;
    // The stream lock, held around each completion attempt so that the
    // worker's reads and synchronous reads do not interleave. Not annotated
    // for the thread-safety analysis: the lock lives in the implementation.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // Between BeginFlush and EndFlush every read and every wait inside one
    // returns at once with what it has. BeginFlush, EndFlush and WorkSignal
    // are called while a Read may hold the stream lock, and with the queue's
    // list lock held, so they must not take the stream lock nor block.
    virtual void BeginFlush() = 0;
    virtual void EndFlush() = 0;
    // The tick count at which a read started now should give up: now plus
    // the stream's read time-out, saturated at 0xFFFFFFFF.
    virtual DWORD GetReadDeadline() = 0;
    // TRUE each time a request enters the queue's work list, FALSE each time
    // one leaves it, so that a read blocked on missing data can give way
    // (KVMM_E_DVR_SUSPENDED) while other requests wait.
    virtual void WorkSignal(BOOL bAdded) = 0;
};

// Unlocks the stream when it goes out of scope.
class CAsyncStreamLock
{
public:
    explicit CAsyncStreamLock(CAsyncStream* pStream) : m_pStream(pStream) { m_pStream->Lock(); }
    ~CAsyncStreamLock() { m_pStream->Unlock(); }
    CAsyncStreamLock(const CAsyncStreamLock&) = delete;
    CAsyncStreamLock& operator=(const CAsyncStreamLock&) = delete;

private:
    CAsyncStream* const m_pStream;
};
