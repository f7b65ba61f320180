// CBaseAsyncOutputPin: the pull half of the output pin. Reads arrive as
// samples whose times give the byte range; they are checked against the
// stream's length, cut at its end, and queued on the request queue, whose
// worker completes them against the DVR source stream.
#include <cinttypes>
#include <cstdio>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/udpasyncrdr.h"
#include "platform/thread.h"

namespace {

const HRESULT kHrEndOfFile = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

unsigned TracePtr(const void* pv)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pv));
}

// The sample's range as offsets, for the failure trace of WaitForNext.
struct CSampleRangeText
{
    char szStart[32] = "-";
    char szStop[32] = "-";
    CSampleRangeText(IMediaSample* pSample, BOOL bTimesInUnits)
    {
        REFERENCE_TIME tStart = 0, tStop = 0;
        if (!pSample || FAILED(pSample->GetTime(&tStart, &tStop)))
            return;
        const LONGLONG llDiv = bTimesInUnits ? UNITS : 1;
        snprintf(szStart, sizeof(szStart), "%" PRId64, static_cast<int64_t>(tStart / llDiv));
        snprintf(szStop, sizeof(szStop), "%" PRId64, static_cast<int64_t>(tStop / llDiv));
    }
};

}  // namespace

CBaseAsyncOutputPin::CBaseAsyncOutputPin(const char* pszObjectName, HRESULT* phr, CBaseAsyncReader* pReader,
                                         CAsyncIo* pIo, CCritSec* pLock, IAsyncReaderHost* pHost)
    : CBaseOutputPin(pszObjectName, pReader, pLock, phr, u"Output"), m_pReader(pReader), m_pIo(pIo), m_pHost(pHost)
{
}

CBaseAsyncOutputPin::~CBaseAsyncOutputPin() = default;

HRESULT CBaseAsyncOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    LONG lLevel = 0;
    if (riid == IID_IAsyncReader)
        lLevel = 1;
    else if (riid == IID_IAsyncReader2)
        lLevel = 2;
    else if (riid == IID_IAsyncReader3)
        lLevel = 3;
    if (lLevel > 0) {
        *ppv = nullptr;
        // Pull reads come from the DVR buffer, so its reader must run before
        // the first one; a stream whose DVR writing is off can only be pushed.
        if (ReaderLevel() == 0 && m_pHost) {
            HRESULT hr = m_pHost->EnsureDVRReader();
            if (FAILED(hr))
                return hr;
        }
        m_lReaderLevel.store(lLevel, std::memory_order_release);
        // The three interfaces are one chain: one pointer serves them all.
        return GetInterface(static_cast<IAsyncReader3*>(this), ppv);
    }
    if (riid == IID_IQualityControl)
        return GetInterface(static_cast<IQualityControl*>(this), ppv);
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseAsyncOutputPin::ConnectBase(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    return CBasePin::Connect(pReceivePin, pmt);
}

HRESULT CBaseAsyncOutputPin::CheckMediaType(const CMediaType* pmt) { return m_pReader->CheckMediaType(pmt); }

HRESULT CBaseAsyncOutputPin::GetMediaType(int iPosition, CMediaType* pmt)
{
    return m_pReader->GetMediaType(iPosition, pmt);
}

HRESULT CBaseAsyncOutputPin::CheckConnect(IPin* pPin)
{
    m_lReaderLevel.store(0, std::memory_order_release);
    return CBaseOutputPin::CheckConnect(pPin);
}

HRESULT CBaseAsyncOutputPin::BreakConnect()
{
    m_lReaderLevel.store(0, std::memory_order_release);
    return CBaseOutputPin::BreakConnect();
}

HRESULT CBaseAsyncOutputPin::CompleteConnect(IPin* pReceivePin)
{
    // A peer that pulls is never pushed to, even if it also takes samples:
    // without its input pin the base activation has no allocator to want.
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return CBasePin::CompleteConnect(pReceivePin);
}

HRESULT CBaseAsyncOutputPin::InitAllocator(IMemAllocator** ppAlloc) { return CMyMemAllocator::Create(ppAlloc); }

HRESULT CBaseAsyncOutputPin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps)
{
    if (!pAlloc || !pProps)
        return E_POINTER;
    pProps->cBuffers = 1;
    pProps->cbBuffer = kBufferSize;
    if (pProps->cbAlign < 1)
        pProps->cbAlign = 1;
    ALLOCATOR_PROPERTIES actual;
    HRESULT hr = pAlloc->SetProperties(pProps, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cBuffers < 1 || actual.cbBuffer < kBufferSize ? E_FAIL : S_OK;
}

HRESULT CBaseAsyncOutputPin::QueryInternalConnections(IPin** /*apPin*/, ULONG* /*nPin*/) { return E_NOTIMPL; }

HRESULT CBaseAsyncOutputPin::Notify(IBaseFilter* /*pSelf*/, Quality /*q*/)
{
    // A live source cannot send faster or slower than the network does.
    return S_OK;
}

HRESULT CBaseAsyncOutputPin::SetSink(IQualityControl* /*piqc*/) { return S_OK; }

HRESULT CBaseAsyncOutputPin::RequestAllocator(IMemAllocator* pPreferred, ALLOCATOR_PROPERTIES* pProps,
                                              IMemAllocator** ppActual)
{
    if (!pProps || !ppActual)
        return E_POINTER;
    *ppActual = nullptr;
    LONG lAlign = 1;
    HRESULT hr = m_pIo->Alignment(&lAlign);
    if (FAILED(hr))
        return hr;
    if (lAlign < 1)
        lAlign = 1;
    ALLOCATOR_PROPERTIES props = *pProps;
    if (props.cbAlign <= 0 || props.cbAlign % lAlign != 0)
        props.cbAlign = lAlign;
    auto isAligned = [lAlign](const ALLOCATOR_PROPERTIES& actual) {
        return actual.cbAlign > 0 && actual.cbAlign % lAlign == 0;
    };

    hr = VFW_E_BADALIGN;
    if (pPreferred) {
        ALLOCATOR_PROPERTIES actual;
        hr = pPreferred->SetProperties(&props, &actual);
        if (SUCCEEDED(hr) && isAligned(actual)) {
            pPreferred->AddRef();
            *ppActual = pPreferred;
            return S_OK;
        }
    }
    CComPtr<IMemAllocator> pOwn;
    HRESULT hrOwn = InitAllocator(&pOwn);
    if (FAILED(hrOwn))
        return hrOwn;
    ALLOCATOR_PROPERTIES actual;
    hr = pOwn->SetProperties(&props, &actual);
    if (SUCCEEDED(hr) && isAligned(actual)) {
        *ppActual = pOwn.Detach();
        return S_OK;
    }
    return SUCCEEDED(hr) ? VFW_E_BADALIGN : hr;
}

HRESULT CBaseAsyncOutputPin::PrepareRead(IMediaSample* pSample, BOOL bTimesInUnits, LONGLONG* pllPos,
                                         LONG* plLength, LONGLONG* pllTotal, LONGLONG* pllAvailable, bool* pbAtEnd)
{
    REFERENCE_TIME tStart = 0, tStop = 0;
    HRESULT hr = pSample->GetTime(&tStart, &tStop);
    if (FAILED(hr))
        return hr;
    const LONGLONG llDiv = bTimesInUnits ? UNITS : 1;
    const LONGLONG llPos = tStart / llDiv;
    const LONGLONG llLength = tStop / llDiv - llPos;
    // A range the sample cannot hold would be read past its buffer.
    if (llPos < 0 || llLength < 0)
        return E_INVALIDARG;
    if (llLength > pSample->GetSize())
        return VFW_E_BUFFER_OVERFLOW;
    LONG lLength = static_cast<LONG>(llLength);

    LONGLONG llTotal = 0, llAvailable = 0;
    hr = m_pIo->Length(&llTotal, &llAvailable, bTimesInUnits);
    if (FAILED(hr))
        return hr;
    // Compared without adding: a growing source's total is the largest value.
    const bool bPastTotal = lLength > llTotal - llPos;
    *pbAtEnd = bPastTotal && llPos >= llTotal;
    if (bPastTotal && !*pbAtEnd) {
        LONG lAlign = 1;
        if (FAILED(m_pIo->Alignment(&lAlign)) || lAlign < 1)
            lAlign = 1;
        LONGLONG llAligned = llTotal;
        if (llTotal % lAlign != 0 && llTotal <= MAX_INT64 - lAlign)
            llAligned = (llTotal / lAlign + 1) * lAlign;
        if (lLength > llAligned - llPos) {
            lLength = static_cast<LONG>(llAligned - llPos);
            REFERENCE_TIME tNewStop = llAligned * llDiv;
            hr = pSample->SetTime(&tStart, &tNewStop);
            if (FAILED(hr))
                return hr;
        }
    } else if (*pbAtEnd) {
        lLength = 0;
    }
    *pllPos = llPos;
    *plLength = lLength;
    *pllTotal = llTotal;
    *pllAvailable = llAvailable;
    return S_OK;
}

HRESULT CBaseAsyncOutputPin::RequestImpl(IMediaSample* pSample, DWORD_PTR dwUser, BOOL bPartialOk,
                                         BOOL bTimesInUnits)
{
    if (!pSample)
        return E_POINTER;
    LONGLONG llPos = 0, llTotal = 0, llAvailable = 0;
    LONG lLength = 0;
    bool bAtEnd = false;
    HRESULT hr = PrepareRead(pSample, bTimesInUnits, &llPos, &lLength, &llTotal, &llAvailable, &bAtEnd);
    if (FAILED(hr))
        return hr;
    if (bAtEnd) {
        Trace("\nCBaseAsyncOutputPin::Request: llPos=%I64d >= llTotal=%I64d. Return EOF", llPos, llTotal);
        return kHrEndOfFile;
    }
    BYTE* pBuffer = nullptr;
    hr = pSample->GetPointer(&pBuffer);
    if (FAILED(hr))
        return hr;
    return m_pIo->Request(llPos, lLength, TRUE, pBuffer, pSample, dwUser, llTotal, llAvailable, bPartialOk,
                          bTimesInUnits);
}

HRESULT CBaseAsyncOutputPin::Request(IMediaSample* pSample, DWORD_PTR dwUser)
{
    return RequestImpl(pSample, dwUser, FALSE, TRUE);
}

HRESULT CBaseAsyncOutputPin::RequestPartial(IMediaSample* pSample, DWORD_PTR dwUser, VARIANT_BOOL bPartialOk)
{
    return RequestImpl(pSample, dwUser, bPartialOk != 0, TRUE);
}

HRESULT CBaseAsyncOutputPin::RequestPartialBytes(IMediaSample* pSample, DWORD_PTR dwUser, VARIANT_BOOL bPartialOk)
{
    return RequestImpl(pSample, dwUser, bPartialOk != 0, FALSE);
}

HRESULT CBaseAsyncOutputPin::WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser)
{
    if (!ppSample || !pdwUser)
        return E_POINTER;
    const DWORD dwStart = GetTickCount();
    LONG lBytesRead = 0;
    BOOL bTimesInUnits = TRUE;
    HRESULT hr = m_pIo->WaitForNext(dwTimeout, ppSample, pdwUser, &lBytesRead, &bTimesInUnits);
    IMediaSample* pSample = *ppSample;
    // Set whatever the result, so that a sample that comes back with a
    // failure never claims the bytes of its whole buffer.
    if (pSample)
        (void)pSample->SetActualDataLength(lBytesRead);
    if (FAILED(hr) && hr != VFW_E_TIMEOUT && TraceOn()) {
        const CSampleRangeText range(pSample, bTimesInUnits);
        Trace("\nCBaseAsyncOutputPin::WaitForNext failed %s. Elapsed time: %s, pSample=0x%08X(%s,%s), "
              "dwUser=0x%08X",
              TraceHr(hr), TraceElapsedMs(TickDiff(GetTickCount(), dwStart)), TracePtr(pSample), range.szStart,
              range.szStop, static_cast<unsigned>(*pdwUser));
    }
    return hr;
}

HRESULT CBaseAsyncOutputPin::SyncReadAligned(IMediaSample* pSample)
{
    if (!pSample)
        return E_POINTER;
    LONGLONG llPos = 0, llTotal = 0, llAvailable = 0;
    LONG lLength = 0;
    bool bAtEnd = false;
    HRESULT hr = PrepareRead(pSample, TRUE, &llPos, &lLength, &llTotal, &llAvailable, &bAtEnd);
    if (FAILED(hr))
        return hr;
    BYTE* pBuffer = nullptr;
    hr = pSample->GetPointer(&pBuffer);
    if (FAILED(hr))
        return hr;
    LONG lBytesRead = 0;
    hr = m_pIo->SyncReadAligned(llPos, lLength, pBuffer, &lBytesRead, pSample, llTotal, llAvailable);
    (void)pSample->SetActualDataLength(lBytesRead);
    return hr;
}

HRESULT CBaseAsyncOutputPin::SyncRead(LONGLONG llPosition, LONG lLength, BYTE* pBuffer)
{
    return m_pIo->SyncRead(llPosition, lLength, pBuffer);
}

HRESULT CBaseAsyncOutputPin::Length(LONGLONG* pTotal, LONGLONG* pAvailable)
{
    // IAsyncReader and IAsyncReader2 callers multiply offsets by UNITS, so
    // the endless length they see must survive that; IAsyncReader3 callers
    // count plain bytes.
    return m_pIo->Length(pTotal, pAvailable, ReaderLevel() == 3 ? FALSE : TRUE);
}

HRESULT CBaseAsyncOutputPin::BeginFlush() { return m_pIo->BeginFlush(); }

HRESULT CBaseAsyncOutputPin::EndFlush() { return m_pIo->EndFlush(); }
