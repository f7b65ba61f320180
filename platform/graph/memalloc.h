// Media samples and the memory allocator that lends them out.
//
// A sample's count falling to 0 does not delete it: it goes back on its
// allocator's free list, where a waiting GetBuffer picks it up. Every sample
// that is out holds a reference on its allocator, so the allocator outlives
// the samples downstream filters still hold. Decommit wakes every waiting
// GetBuffer with VFW_E_NOT_COMMITTED; the memory is freed when the last
// sample comes home.
#pragma once

#include <atomic>
#include <vector>

#include "platform/graph/gsync.h"
#include "platform/graph/strmif.h"

class CMemAllocator;

class CMediaSample : public IMediaSample
{
public:
    CMediaSample(CMemAllocator* pAllocator, BYTE* pBuffer, LONG cbBuffer);
    virtual ~CMediaSample();
    CMediaSample(const CMediaSample&) = delete;
    CMediaSample& operator=(const CMediaSample&) = delete;

    [[nodiscard]] HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    [[nodiscard]] HRESULT GetPointer(BYTE** ppBuffer) override;
    LONG GetSize() override { return m_cbBuffer; }
    [[nodiscard]] HRESULT GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override;
    [[nodiscard]] HRESULT SetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override;
    [[nodiscard]] HRESULT IsSyncPoint() override { return m_bSyncPoint ? S_OK : S_FALSE; }
    [[nodiscard]] HRESULT SetSyncPoint(BOOL b) override;
    [[nodiscard]] HRESULT IsPreroll() override { return m_bPreroll ? S_OK : S_FALSE; }
    [[nodiscard]] HRESULT SetPreroll(BOOL b) override;
    LONG GetActualDataLength() override { return m_lActual; }
    [[nodiscard]] HRESULT SetActualDataLength(LONG lLen) override;
    [[nodiscard]] HRESULT GetMediaType(AM_MEDIA_TYPE** ppMediaType) override;
    [[nodiscard]] HRESULT SetMediaType(AM_MEDIA_TYPE* pMediaType) override;
    [[nodiscard]] HRESULT IsDiscontinuity() override { return m_bDiscontinuity ? S_OK : S_FALSE; }
    [[nodiscard]] HRESULT SetDiscontinuity(BOOL b) override;
    [[nodiscard]] HRESULT GetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override;
    [[nodiscard]] HRESULT SetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override;

private:
    friend class CMemAllocator;
    // Called by the allocator when the sample is handed out again.
    void ResetProperties();

    CMemAllocator* const m_pAllocator;
    BYTE* const m_pBuffer;
    const LONG m_cbBuffer;
    std::atomic<LONG> m_cRef{0};
    // The fields below belong to whoever holds the sample; the original
    // platform does not lock them either.
    LONG m_lActual = 0;
    bool m_bTimeValid = false;
    bool m_bStopValid = false;
    bool m_bMediaTimeValid = false;
    bool m_bSyncPoint = false;
    bool m_bPreroll = false;
    bool m_bDiscontinuity = false;
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = 0;
    LONGLONG m_llMediaStart = 0;
    LONGLONG m_llMediaStop = 0;
    AM_MEDIA_TYPE* m_pMediaType = nullptr;
};

// Allocator of fixed-size samples in ordinary memory. Threads: any thread may
// call every method; GetBuffer blocks only on m_cvFree.
class CMemAllocator : public CUnknown, public IMemAllocator
{
public:
    CMemAllocator(const char* pszName, IUnknown* pUnk, HRESULT* phr);
    ~CMemAllocator() override;
    // A new allocator with one reference held by *ppAlloc.
    [[nodiscard]] static HRESULT Create(IMemAllocator** ppAlloc);

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    [[nodiscard]] HRESULT SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;
    [[nodiscard]] HRESULT GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
    [[nodiscard]] HRESULT Commit() override;
    [[nodiscard]] HRESULT Decommit() override;
    [[nodiscard]] HRESULT GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                                    DWORD dwFlags) override;
    [[nodiscard]] HRESULT ReleaseBuffer(IMediaSample* pBuffer) override;

    // Samples handed out and not yet returned.
    LONG OutstandingCount();
    // Callers blocked in GetBuffer.
    LONG WaitingCount();

private:
    [[nodiscard]] HRESULT AllocLocked() REQUIRES(m_mtx);
    void FreeLocked() REQUIRES(m_mtx);

    CGraphMutex m_mtx;
    CGraphCond m_cvFree;  // a sample came home, or the allocator was decommitted
    ALLOCATOR_PROPERTIES m_props GUARDED_BY(m_mtx) = {0, 0, 1, 0};
    bool m_bCommitted GUARDED_BY(m_mtx) = false;
    // Decommitted with samples still out: free the memory when they are back.
    bool m_bDecommitPending GUARDED_BY(m_mtx) = false;
    LONG m_cWaiting GUARDED_BY(m_mtx) = 0;
    std::vector<CMediaSample*> m_vAll GUARDED_BY(m_mtx);
    std::vector<CMediaSample*> m_vFree GUARDED_BY(m_mtx);
    std::vector<BYTE*> m_vBlocks GUARDED_BY(m_mtx);
};
