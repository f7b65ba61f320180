// CBaseAsyncReader, CUDPAsyncReader and CMyMemAllocator: the filter half of
// the reader layer (the pins are in baseasyncoutputpin.cpp and
// udpasyncoutputpin.cpp).
#include "dshowflt/mpegdemux/kvudpsrc/udpasyncrdr.h"

#include <cstring>
#include <new>
#include <utility>

#include "dshowflt/common/trace/trace.h"

namespace {

// Exchanges two media-type records together with what they own, so that
// the old type can be freed after the lock is released.
void SwapMediaType(AM_MEDIA_TYPE* pA, AM_MEDIA_TYPE* pB)
{
    std::swap(*pA, *pB);
}

// A deep copy without the pUnk reference: nothing here uses it, and a type
// kept under a lock must not call out when it is copied or freed.
HRESULT CopyWithoutUnk(const AM_MEDIA_TYPE* pSrc, CMediaType* pDest)
{
    AM_MEDIA_TYPE mt = *pSrc;
    mt.pUnk = nullptr;
    CMediaType copy(mt);
    if (mt.cbFormat != 0 && mt.pbFormat && !copy.pbFormat)
        return E_OUTOFMEMORY;
    SwapMediaType(pDest, &copy);
    return S_OK;
}

}  // namespace

// --- CMyMemAllocator --------------------------------------------------------

HRESULT CMyMemAllocator::Create(IMemAllocator** ppAlloc)
{
    if (!ppAlloc)
        return E_POINTER;
    *ppAlloc = nullptr;
    HRESULT hr = S_OK;
    CMyMemAllocator* p = new (std::nothrow) CMyMemAllocator(&hr);
    if (!p)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete p;
        return hr;
    }
    p->AddRef();
    *ppAlloc = p;
    return S_OK;
}

// --- CBaseAsyncReader -------------------------------------------------------

CBaseAsyncReader::CBaseAsyncReader(const char* pszName, IUnknown* pUnk, REFCLSID clsid)
    : CBaseFilter(pszName, pUnk, &m_csFilter, clsid)
{
    CAutoLock lock(&m_csType);
    m_mtStream.SetType(&MEDIATYPE_Stream);
    m_mtStream.SetSubtype(&MEDIASUBTYPE_UDPStream);
    m_mtStream.SetTemporalCompression(FALSE);
    m_mtStream.SetSampleSize(1);
}

CBaseAsyncReader::~CBaseAsyncReader()
{
    // The pin first: its destruction lets go of the queue's samples.
    delete m_pPin;
    m_pPin = nullptr;
    delete m_pIo;
    m_pIo = nullptr;
}

HRESULT CBaseAsyncReader::Init(CAsyncStream* pStream, IAsyncReaderHost* pHost)
{
    if (!pStream)
        return E_POINTER;
    if (m_pIo)
        return E_UNEXPECTED;
    m_pIo = new (std::nothrow) CAsyncIo(pStream);
    if (!m_pIo)
        return E_OUTOFMEMORY;
    CBaseAsyncOutputPin* pPin = nullptr;
    HRESULT hr = CreatePin(pHost, &pPin);
    if (FAILED(hr)) {
        delete m_pIo;
        m_pIo = nullptr;
        return hr;
    }
    m_pPin = pPin;
    return S_OK;
}

HRESULT CBaseAsyncReader::CreatePin(IAsyncReaderHost* pHost, CBaseAsyncOutputPin** ppPin)
{
    HRESULT hr = S_OK;
    CBaseAsyncOutputPin* p =
        new (std::nothrow) CBaseAsyncOutputPin("CBaseAsyncOutputPin", &hr, this, m_pIo, &m_csFilter, pHost);
    if (!p)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete p;
        return hr;
    }
    *ppPin = p;
    return S_OK;
}

int CBaseAsyncReader::GetPinCount() { return m_pPin ? 1 : 0; }

CBasePin* CBaseAsyncReader::GetPin(int n) { return n == 0 ? m_pPin : nullptr; }

HRESULT CBaseAsyncReader::GetMediaType(int iPosition, CMediaType* pmt)
{
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition > 0)
        return VFW_S_NO_MORE_ITEMS;
    return GetStreamMediaType(pmt);
}

HRESULT CBaseAsyncReader::CheckMediaType(const CMediaType* pmt)
{
    if (!pmt)
        return E_POINTER;
    CMediaType mtOffered;
    HRESULT hr = GetMediaType(0, &mtOffered);
    if (FAILED(hr))
        return hr;
    if (*pmt->Type() != *mtOffered.Type())
        return S_FALSE;
    if (*mtOffered.Subtype() == GUID_NULL || *pmt->Subtype() == *mtOffered.Subtype())
        return S_OK;
    return S_FALSE;
}

HRESULT CBaseAsyncReader::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (!m_pPin)
        return E_UNEXPECTED;
    return m_pPin->ConnectBase(pReceivePin, pmt);
}

HRESULT CBaseAsyncReader::SetStreamMediaType(const AM_MEDIA_TYPE* pmt)
{
    CMediaType mt;
    if (pmt && pmt->majortype != GUID_NULL) {
        HRESULT hr = CopyWithoutUnk(pmt, &mt);
        if (FAILED(hr))
            return hr;
    } else {
        mt.SetType(&MEDIATYPE_Stream);
        mt.SetSubtype(&MEDIASUBTYPE_UDPStream);
    }
    mt.SetTemporalCompression(FALSE);
    mt.SetSampleSize(1);
    CAutoLock lock(&m_csType);
    SwapMediaType(&m_mtStream, &mt);
    return S_OK;
}

HRESULT CBaseAsyncReader::GetStreamMediaType(CMediaType* pmt)
{
    if (!pmt)
        return E_POINTER;
    CAutoLock lock(&m_csType);
    return pmt->Set(m_mtStream);
}

// --- CUDPAsyncReader --------------------------------------------------------

CUDPAsyncReader::CUDPAsyncReader(const char* pszName, IUnknown* pUnk, REFCLSID clsid)
    : CBaseAsyncReader(pszName, pUnk, clsid)
{
}

CUDPAsyncReader::~CUDPAsyncReader() = default;

HRESULT CUDPAsyncReader::CreatePin(IAsyncReaderHost* pHost, CBaseAsyncOutputPin** ppPin)
{
    HRESULT hr = S_OK;
    CUDPAsyncOutputPin* p = new (std::nothrow) CUDPAsyncOutputPin(&hr, this, Io(), &m_csFilter, pHost);
    if (!p)
        return E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete p;
        return hr;
    }
    *ppPin = p;
    return S_OK;
}

CUDPAsyncOutputPin* CUDPAsyncReader::UDPOutputPin() const { return static_cast<CUDPAsyncOutputPin*>(OutputPin()); }

HRESULT CUDPAsyncReader::GetMediaType(int iPosition, CMediaType* pmt)
{
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition > 0)
        return VFW_S_NO_MORE_ITEMS;
    if (!pmt)
        return E_POINTER;
    CAutoLock lock(&m_csType);
    return pmt->Set(m_mtElementary.IsValid() ? m_mtElementary : m_mtStream);
}

HRESULT CUDPAsyncReader::CheckMediaType(const CMediaType* pmt)
{
    return CBaseAsyncReader::CheckMediaType(pmt);
}

HRESULT CUDPAsyncReader::SetOutputMediaType(const AM_MEDIA_TYPE* pmt)
{
    if (!pmt)
        return E_POINTER;
    CMediaType mt;
    HRESULT hr = CopyWithoutUnk(pmt, &mt);
    if (FAILED(hr))
        return hr;
    CAutoLock lock(&m_csType);
    SwapMediaType(&m_mtElementary, &mt);
    return S_OK;
}

HRESULT CUDPAsyncReader::GetOutputMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!pmt)
        return E_POINTER;
    CAutoLock lock(&m_csType);
    return CopyMediaType(pmt, &m_mtElementary);
}

BOOL CUDPAsyncReader::IsOutputMediaTypeValid()
{
    CAutoLock lock(&m_csType);
    return m_mtElementary.IsValid() ? TRUE : FALSE;
}

void CUDPAsyncReader::ResetOutputMediaType()
{
    CMediaType mt;
    CAutoLock lock(&m_csType);
    SwapMediaType(&m_mtElementary, &mt);
}

HRESULT CUDPAsyncReader::SetAvgTimePerFrame(REFERENCE_TIME rtAvgTimePerFrame, CMediaType* pmtUpdated)
{
    if (!pmtUpdated)
        return E_POINTER;
    CAutoLock lock(&m_csType);
    if (!m_mtElementary.IsValid())
        return S_FALSE;
    if (!m_mtElementary.pbFormat || m_mtElementary.cbFormat < sizeof(VIDEOINFOHEADER))
        return E_POINTER;
    // The format block is a byte array: go through a copy rather than a
    // pointer to a struct it may not be aligned for.
    VIDEOINFOHEADER vih;
    memcpy(&vih, m_mtElementary.pbFormat, sizeof(vih));
    if (vih.AvgTimePerFrame == rtAvgTimePerFrame)
        return S_FALSE;
    vih.AvgTimePerFrame = rtAvgTimePerFrame;
    memcpy(m_mtElementary.pbFormat, &vih, sizeof(vih));
    Trace("\nCUDPAsyncReader::SetAvgTimePerFrame(%s)", TraceRefTime(rtAvgTimePerFrame));
    return pmtUpdated->Set(m_mtElementary);
}
