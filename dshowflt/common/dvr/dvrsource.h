// The reading end of the DVR buffer as the output pin sees it.
//
// CDVRSourceStream turns the reader engine into a CAsyncStream: a file that
// keeps growing while a writer is live. A read waits for bytes not yet
// written, moves forward (with a discontinuity) over bytes the ring has
// overwritten when the caller allows it, and gives up at its deadline or
// when the stream is flushed.
//
// CBaseDVRSource adds the control interface IKVDVRSource and the start and
// stop of the reader. The filter's stream object derives from it; tools and
// tests use it on its own (CDVRSourceObject below gives it a reference
// count).
//
// Threads: Read on the request queue's worker (or a synchronous caller);
// BeginFlush/EndFlush on the graph's thread; WorkSignal wherever requests
// are queued; IKVDVRSource from any thread.
#pragma once

#include <memory>

#include "dshowflt/common/dvr/asyncstream.h"
#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrsinkif.h"
#include "dshowflt/common/dvr/dvrsourceif.h"
#include "platform/unknown.h"

class CDVRSourceStream : public CAsyncStream, public CDVREngine
{
public:
    static constexpr DWORD kDefaultReadTimeoutMs = 15000;
    // Size while growing, and the same maximum divided by 10,000,000 for a
    // caller that multiplies it by a time per byte.
    static constexpr LONGLONG kGrowingSize = 0x7FFFFFFFFFFFFFFFLL;
    static constexpr LONGLONG kGrowingSizeInUnits = kGrowingSize / 10000000;

    CDVRSourceStream();
    ~CDVRSourceStream() override;

    [[nodiscard]] HRESULT Read(LONGLONG* pllPosition, BYTE* pbBuffer, DWORD dwBytesToRead, DWORD* pdwBytesRead,
                               BOOL bSkipDiscarded, BOOL* pbDiscontinuity, DWORD dwDeadline) override;
    LONGLONG Size(LONGLONG* pllAvailable, BOOL bTimesInUnits) override;
    DWORD Alignment() override { return 1; }
    void Lock() override;
    void Unlock() override;
    void BeginFlush() override;
    void EndFlush() override;
    DWORD GetReadDeadline() override;
    void WorkSignal(BOOL bAdded) override;

    // TRUE when the stub still names a writer but nothing answers to that
    // name any more: the writer died without closing the buffer. A hung
    // writer still counts as present.
    bool WriterHasGone();

    void SetReadTimeout(DWORD dwMs) { m_dwReadTimeoutMs.store(dwMs, std::memory_order_relaxed); }

private:
    // Refreshes; TRUE when bytes beyond llPosition are published.
    bool HasUnreadData(LONGLONG llPosition);
    // The position a read over overwritten bytes goes on from.
    LONGLONG ChooseResumePosition(LONGLONG llPosition, DWORD dwRemaining);

    CCritSec m_csStream;
    std::atomic<DWORD> m_dwReadTimeoutMs{kDefaultReadTimeoutMs};
};

class CBaseDVRSource : public IKVDVRSource, public CDVRSourceStream
{
public:
    CBaseDVRSource();
    ~CBaseDVRSource() override;

    // The engine calls it around waits; the starvation event follows it.
    void SetStarvation(BOOL bWaiting) override;
    // Manual-reset; set while a read waits for the writer.
    HANDLE GetStarvationEvent() const { return m_evStarvation.Handle(); }

    // The folder set reported by slots 4 to 6 (a copy is kept).
    [[nodiscard]] HRESULT SetReaderFolders(const DVRFolder* pFolders, LONG nFolders);

    // --- IKVDVRSource (IUnknown is left to the object that owns the source)
    [[nodiscard]] HRESULT GetAvailableRange(double* pFirst, double* pCurrent, double* pLast) override;
    [[nodiscard]] HRESULT GetFolderCount(LONG* pnFolders) override;
    [[nodiscard]] HRESULT GetFolderName(LONG nIndex, BSTR* pbstrPath) override;
    [[nodiscard]] HRESULT GetBufferSize(LONG nFolderIndex, LONG lFlags, LONG* pnFiles, double* pdBytes) override;
    [[nodiscard]] HRESULT CopyToFile(BSTR bstrFile, double dStart, double dEnd) override;
    [[nodiscard]] HRESULT ReadAt(double dOffset, LONG nMinimum, LONG cbBuffer, LONG lReserved, BYTE* pBuffer,
                                 LONG* pcbRead) override;
    [[nodiscard]] HRESULT ReservedOperation(DWORD dwArg) override;
    [[nodiscard]] HRESULT GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize, double* pdFileSizeOnDisk,
                                           LONG* plPlayIndex, LONG* plState) override;
    [[nodiscard]] HRESULT GetIsGrowing(VARIANT_BOOL* pbGrowing) override;
    [[nodiscard]] HRESULT GetTimeRange(double dStart, double dEnd, double* pdOut1, double* pdOut2) override;
    [[nodiscard]] HRESULT GetTimeRangeEx(double dStart, double dEnd, double dTimeSeconds, double* pdStart,
                                         double* pdEnd, double* pdDuration) override;
    [[nodiscard]] HRESULT StartDVRReader(IKVDVRSink* pSink) override;
    [[nodiscard]] HRESULT StopDVRReader() override;

    using CDVREngine::CopyToFile;
    using CDVREngine::GetRecordingInfo;

private:
    CCritSec m_csSource;
    bool m_bStarvation GUARDED_BY(m_csSource) = false;
    CAMEvent m_evStarvation{TRUE};
    std::unique_ptr<DVRFolder[]> m_pFolders GUARDED_BY(m_csSource);
    LONG m_nFolders GUARDED_BY(m_csSource) = 0;
};

// A stand-alone reference-counted source, for tools and tests that use the
// source without a filter around it.
class CDVRSourceObject : public CUnknown, public CBaseDVRSource
{
public:
    explicit CDVRSourceObject(IUnknown* pUnkOuter = nullptr) : CUnknown("DVR source", pUnkOuter) {}
    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
};
