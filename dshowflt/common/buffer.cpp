#include "dshowflt/common/buffer.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

CBaseBuffer::~CBaseBuffer()
{
    // Not virtual dispatch in a destructor: release with our own function.
    if (m_pData)
        m_pfnFree(m_pData);
}

void CBaseBuffer::Free()
{
    if (m_pData)
        m_pfnFree(m_pData);
    m_pData = nullptr;
    m_cbData = 0;
    m_cbAlloc = 0;
}

HRESULT CBaseBuffer::Reserve(LONG cbCapacity)
{
    if (cbCapacity < 0)
        return E_INVALIDARG;
    if (cbCapacity <= m_cbAlloc)
        return S_OK;
    void* p = m_pfnRealloc(m_pData, static_cast<size_t>(cbCapacity));
    if (!p)
        return E_OUTOFMEMORY;
    m_pData = static_cast<BYTE*>(p);
    m_cbAlloc = cbCapacity;
    return S_OK;
}

HRESULT CBaseBuffer::Append(const void* pv, LONG cb)
{
    if (cb < 0 || (cb > 0 && !pv))
        return E_INVALIDARG;
    if (cb > INT32_MAX - m_cbData)
        return E_OUTOFMEMORY;
    HRESULT hr = Reserve(m_cbData + cb);
    if (FAILED(hr))
        return hr;
    if (cb)
        memcpy(m_pData + m_cbData, pv, static_cast<size_t>(cb));
    m_cbData += cb;
    return S_OK;
}

HRESULT CBaseBuffer::AppendByte(BYTE b)
{
    return Append(&b, 1);
}

HRESULT CBaseBuffer::TerminateText()
{
    if (m_cbData == INT32_MAX)
        return E_OUTOFMEMORY;
    HRESULT hr = Reserve(m_cbData + 1);
    if (FAILED(hr))
        return hr;
    m_pData[m_cbData] = 0;
    return S_OK;
}

HRESULT CBaseBuffer::AppendFormat(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = AppendFormatV(pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT CBaseBuffer::AppendFormatV(const char* pszFormat, va_list args)
{
    if (!pszFormat)
        return E_POINTER;
    va_list copy;
    va_copy(copy, args);
    int cch = vsnprintf(nullptr, 0, pszFormat, copy);
    va_end(copy);
    if (cch < 0)
        return E_INVALIDARG;
    if (cch >= INT32_MAX - m_cbData)
        return E_OUTOFMEMORY;
    HRESULT hr = Reserve(m_cbData + cch + 1);
    if (FAILED(hr))
        return hr;
    vsnprintf(reinterpret_cast<char*>(m_pData + m_cbData), static_cast<size_t>(cch) + 1,
              pszFormat, args);
    m_cbData += cch;
    return S_OK;
}

HRESULT CBaseBuffer::AppendWide(LPCWSTR psz, int cch)
{
    if (!psz)
        return E_POINTER;
    size_t n = cch < 0 ? WStrLen(psz) : static_cast<size_t>(cch);
    std::string sz = WideToUtf8(std::u16string_view(psz, n));
    if (sz.size() > static_cast<size_t>(INT32_MAX - 1))
        return E_OUTOFMEMORY;
    HRESULT hr = Append(sz.data(), static_cast<LONG>(sz.size()));
    if (FAILED(hr))
        return hr;
    return TerminateText();
}

HRESULT CBaseBuffer::SetLength(LONG cb)
{
    if (cb < 0 || cb > m_cbAlloc)
        return E_INVALIDARG;
    m_cbData = cb;
    return S_OK;
}

CWString CBaseBuffer::ToWideString() const
{
    return Utf8ToWide(std::string_view(reinterpret_cast<const char*>(m_pData),
                                       static_cast<size_t>(m_cbData)));
}

static void HeapFree(void* p) { free(p); }
static void* HeapRealloc(void* p, size_t cb) { return realloc(p, cb); }

CBuffer::CBuffer() : CBaseBuffer(HeapFree, HeapRealloc) {}
