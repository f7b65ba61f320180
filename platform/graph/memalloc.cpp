#include "platform/graph/memalloc.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/graph/mtype.h"

CMediaSample::CMediaSample(CMemAllocator* pAllocator, BYTE* pBuffer, LONG cbBuffer)
    : m_pAllocator(pAllocator), m_pBuffer(pBuffer), m_cbBuffer(cbBuffer)
{
}

CMediaSample::~CMediaSample() { DeleteMediaType(m_pMediaType); }

HRESULT CMediaSample::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IMediaSample || riid == IID_IUnknown)
        return GetInterface(static_cast<IMediaSample*>(this), ppv);
    return E_NOINTERFACE;
}

ULONG CMediaSample::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1, std::memory_order_relaxed) + 1); }

ULONG CMediaSample::Release()
{
    LONG cRef = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (cRef == 0) {
        // Home to the free list; this may drop the allocator's last reference.
        (void)m_pAllocator->ReleaseBuffer(this);
    }
    return static_cast<ULONG>(cRef);
}

void CMediaSample::ResetProperties()
{
    m_lActual = m_cbBuffer;
    m_bTimeValid = m_bStopValid = m_bMediaTimeValid = false;
    m_bSyncPoint = m_bPreroll = m_bDiscontinuity = false;
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
}

HRESULT CMediaSample::GetPointer(BYTE** ppBuffer)
{
    if (!ppBuffer)
        return E_POINTER;
    *ppBuffer = m_pBuffer;
    return S_OK;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd)
{
    if (!pStart || !pEnd)
        return E_POINTER;
    if (!m_bTimeValid)
        return VFW_E_SAMPLE_TIME_NOT_SET;
    *pStart = m_tStart;
    if (!m_bStopValid) {
        *pEnd = m_tStart + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *pEnd = m_tStop;
    return S_OK;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd)
{
    if (!pStart) {
        m_bTimeValid = m_bStopValid = false;
        return S_OK;
    }
    m_tStart = *pStart;
    m_bTimeValid = true;
    m_bStopValid = pEnd != nullptr;
    if (pEnd)
        m_tStop = *pEnd;
    return S_OK;
}

HRESULT CMediaSample::SetSyncPoint(BOOL b)
{
    m_bSyncPoint = b != FALSE;
    return S_OK;
}

HRESULT CMediaSample::SetPreroll(BOOL b)
{
    m_bPreroll = b != FALSE;
    return S_OK;
}

HRESULT CMediaSample::SetDiscontinuity(BOOL b)
{
    m_bDiscontinuity = b != FALSE;
    return S_OK;
}

HRESULT CMediaSample::SetActualDataLength(LONG lLen)
{
    if (lLen < 0 || lLen > m_cbBuffer)
        return VFW_E_BUFFER_OVERFLOW;
    m_lActual = lLen;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** ppMediaType)
{
    if (!ppMediaType)
        return E_POINTER;
    *ppMediaType = nullptr;
    if (!m_pMediaType)
        return S_FALSE;
    *ppMediaType = CreateMediaType(m_pMediaType);
    return *ppMediaType ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* pMediaType)
{
    AM_MEDIA_TYPE* pNew = nullptr;
    if (pMediaType) {
        pNew = CreateMediaType(pMediaType);
        if (!pNew)
            return E_OUTOFMEMORY;
    }
    DeleteMediaType(m_pMediaType);
    m_pMediaType = pNew;
    return S_OK;
}

HRESULT CMediaSample::GetMediaTime(LONGLONG* pStart, LONGLONG* pEnd)
{
    if (!pStart || !pEnd)
        return E_POINTER;
    if (!m_bMediaTimeValid)
        return VFW_E_MEDIA_TIME_NOT_SET;
    *pStart = m_llMediaStart;
    *pEnd = m_llMediaStop;
    return S_OK;
}

HRESULT CMediaSample::SetMediaTime(LONGLONG* pStart, LONGLONG* pEnd)
{
    if (!pStart || !pEnd) {
        m_bMediaTimeValid = false;
        return S_OK;
    }
    m_llMediaStart = *pStart;
    m_llMediaStop = *pEnd;
    m_bMediaTimeValid = true;
    return S_OK;
}

CMemAllocator::CMemAllocator(const char* pszName, IUnknown* pUnk, HRESULT* /*phr*/) : CUnknown(pszName, pUnk) {}

CMemAllocator::~CMemAllocator()
{
    CGraphLock lock(&m_mtx);
    FreeLocked();
}

HRESULT CMemAllocator::Create(IMemAllocator** ppAlloc)
{
    if (!ppAlloc)
        return E_POINTER;
    HRESULT hr = S_OK;
    CMemAllocator* p = new (std::nothrow) CMemAllocator("CMemAllocator", nullptr, &hr);
    if (!p)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete p;
        return hr;
    }
    *ppAlloc = p;
    p->AddRef();
    return S_OK;
}

HRESULT CMemAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMemAllocator)
        return GetInterface(static_cast<IMemAllocator*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual)
{
    if (!pRequest || !pActual)
        return E_POINTER;
    if (pRequest->cbAlign == 0 || (pRequest->cbAlign & (pRequest->cbAlign - 1)) != 0 || pRequest->cbAlign < 0)
        return VFW_E_BADALIGN;
    if (pRequest->cBuffers < 0 || pRequest->cbBuffer < 0 || pRequest->cbPrefix < 0)
        return E_INVALIDARG;
    CGraphLock lock(&m_mtx);
    if (m_bCommitted)
        return VFW_E_ALREADY_COMMITTED;
    if (m_vFree.size() != m_vAll.size())
        return VFW_E_BUFFERS_OUTSTANDING;
    ALLOCATOR_PROPERTIES props = *pRequest;
    // Buffers keep the alignment for a sample after the prefix, as the
    // original rounds the whole of prefix and data up to it.
    const int64_t llTotal = (static_cast<int64_t>(props.cbBuffer) + props.cbPrefix + props.cbAlign - 1) /
                            props.cbAlign * props.cbAlign;
    if (llTotal > INT32_MAX)
        return E_OUTOFMEMORY;
    props.cbBuffer = static_cast<LONG>(llTotal) - props.cbPrefix;
    FreeLocked();
    m_props = props;
    *pActual = props;
    return S_OK;
}

HRESULT CMemAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps)
{
    if (!pProps)
        return E_POINTER;
    CGraphLock lock(&m_mtx);
    *pProps = m_props;
    return S_OK;
}

HRESULT CMemAllocator::Commit()
{
    CGraphLock lock(&m_mtx);
    if (m_bCommitted)
        return S_OK;
    if (m_props.cBuffers <= 0 || m_props.cbBuffer <= 0)
        return VFW_E_SIZENOTSET;
    // A decommit that is still waiting for samples keeps the memory: the
    // samples coming home simply rejoin the pool.
    m_bDecommitPending = false;
    if (m_vAll.empty()) {
        HRESULT hr = AllocLocked();
        if (FAILED(hr))
            return hr;
    }
    m_bCommitted = true;
    return S_OK;
}

HRESULT CMemAllocator::Decommit()
{
    CGraphLock lock(&m_mtx);
    if (!m_bCommitted)
        return S_OK;
    m_bCommitted = false;
    if (m_vFree.size() == m_vAll.size())
        FreeLocked();
    else
        m_bDecommitPending = true;
    m_cvFree.NotifyAll();
    return S_OK;
}

HRESULT CMemAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                                 DWORD dwFlags)
{
    if (!ppBuffer)
        return E_POINTER;
    *ppBuffer = nullptr;
    CMediaSample* pSample = nullptr;
    {
        CGraphLock lock(&m_mtx);
        for (;;) {
            if (!m_bCommitted)
                return VFW_E_NOT_COMMITTED;
            if (!m_vFree.empty())
                break;
            if (dwFlags & AM_GBF_NOWAIT)
                return VFW_E_TIMEOUT;
            // Ends when a sample comes home or on Decommit; both notify.
            m_cWaiting++;
            (void)m_cvFree.Wait(&m_mtx, INFINITE);
            m_cWaiting--;
        }
        pSample = m_vFree.back();
        m_vFree.pop_back();
    }
    // The sample is ours alone now; its reference on the allocator is
    // dropped in ReleaseBuffer.
    AddRef();
    pSample->ResetProperties();
    if (pStartTime)
        (void)pSample->SetTime(pStartTime, pEndTime);
    pSample->m_cRef.store(1, std::memory_order_relaxed);
    *ppBuffer = pSample;
    return S_OK;
}

HRESULT CMemAllocator::ReleaseBuffer(IMediaSample* pBuffer)
{
    if (!pBuffer)
        return E_POINTER;
    {
        CGraphLock lock(&m_mtx);
        m_vFree.push_back(static_cast<CMediaSample*>(pBuffer));
        if (m_bDecommitPending && m_vFree.size() == m_vAll.size()) {
            FreeLocked();
            m_bDecommitPending = false;
        }
        m_cvFree.NotifyAll();
    }
    Release();  // may delete this allocator
    return S_OK;
}

LONG CMemAllocator::WaitingCount()
{
    CGraphLock lock(&m_mtx);
    return m_cWaiting;
}

LONG CMemAllocator::OutstandingCount()
{
    CGraphLock lock(&m_mtx);
    return static_cast<LONG>(m_vAll.size() - m_vFree.size());
}

HRESULT CMemAllocator::AllocLocked()
{
    const size_t cbBlock = static_cast<size_t>(m_props.cbPrefix) + static_cast<size_t>(m_props.cbBuffer);
    const size_t cbAlign = static_cast<size_t>(m_props.cbAlign);
    // Reserved up front so that ReleaseBuffer never allocates.
    m_vAll.reserve(static_cast<size_t>(m_props.cBuffers));
    m_vFree.reserve(static_cast<size_t>(m_props.cBuffers));
    m_vBlocks.reserve(static_cast<size_t>(m_props.cBuffers));
    for (LONG i = 0; i < m_props.cBuffers; i++) {
        // Over-allocate so that the data after the prefix can be aligned.
        BYTE* pBlock = static_cast<BYTE*>(malloc(cbBlock + cbAlign));
        CMediaSample* pSample = nullptr;
        if (pBlock) {
            uintptr_t u = reinterpret_cast<uintptr_t>(pBlock) + static_cast<uintptr_t>(m_props.cbPrefix);
            u = (u + cbAlign - 1) / cbAlign * cbAlign;
            pSample = new (std::nothrow) CMediaSample(this, reinterpret_cast<BYTE*>(u), m_props.cbBuffer);
        }
        if (!pSample) {
            free(pBlock);
            FreeLocked();
            return E_OUTOFMEMORY;
        }
        m_vBlocks.push_back(pBlock);
        m_vAll.push_back(pSample);
        m_vFree.push_back(pSample);
    }
    return S_OK;
}

void CMemAllocator::FreeLocked()
{
    for (CMediaSample* p : m_vAll)
        delete p;
    for (BYTE* p : m_vBlocks)
        free(p);
    m_vAll.clear();
    m_vFree.clear();
    m_vBlocks.clear();
}
