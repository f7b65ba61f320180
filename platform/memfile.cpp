#include "platform/memfile.h"

#include <algorithm>
#include <cstring>

HRESULT CMemoryFile::Read(void* pv, DWORD cb, DWORD* pcbRead)
{
    if (!pcbRead || (!pv && cb))
        return E_POINTER;
    *pcbRead = 0;
    const LONGLONG llSize = static_cast<LONGLONG>(m_data.size());
    if (m_llPos >= llSize)
        return S_OK;
    const DWORD cbCopy = static_cast<DWORD>(std::min<LONGLONG>(cb, llSize - m_llPos));
    if (cbCopy)
        memcpy(pv, m_data.data() + m_llPos, cbCopy);
    m_llPos += cbCopy;
    *pcbRead = cbCopy;
    return S_OK;
}

HRESULT CMemoryFile::Write(const void* pv, DWORD cb, DWORD* pcbWritten)
{
    if (!pcbWritten || (!pv && cb))
        return E_POINTER;
    *pcbWritten = 0;
    if (m_llPos + static_cast<LONGLONG>(cb) > kMaxSize)
        return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    const size_t cbEnd = static_cast<size_t>(m_llPos) + cb;
    if (cbEnd > m_data.size())
        m_data.resize(cbEnd);
    if (cb)
        memcpy(m_data.data() + m_llPos, pv, cb);
    m_llPos += cb;
    *pcbWritten = cb;
    return S_OK;
}

HRESULT CMemoryFile::Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos)
{
    LONGLONG llBase;
    switch (dwMethod) {
    case FILE_BEGIN: llBase = 0; break;
    case FILE_CURRENT: llBase = m_llPos; break;
    case FILE_END: llBase = static_cast<LONGLONG>(m_data.size()); break;
    default: return E_INVALIDARG;
    }
    if (llDistance < -llBase || llDistance > kMaxSize - llBase)
        return HRESULT_FROM_WIN32(ERROR_SEEK);
    m_llPos = llBase + llDistance;
    if (pllNewPos)
        *pllNewPos = m_llPos;
    return S_OK;
}

HRESULT CMemoryFile::SetEndOfFile()
{
    m_data.resize(static_cast<size_t>(m_llPos));
    return S_OK;
}

HRESULT CMemoryFile::GetSize(LONGLONG* pllSize)
{
    if (!pllSize)
        return E_POINTER;
    *pllSize = static_cast<LONGLONG>(m_data.size());
    return S_OK;
}

CFaultFile::~CFaultFile()
{
    if (m_bOwns)
        delete m_pInner;
}

HRESULT CFaultFile::Read(void* pv, DWORD cb, DWORD* pcbRead)
{
    ++m_nReads;
    if (FAILED(m_hrReadError)) {
        if (pcbRead)
            *pcbRead = 0;
        return m_hrReadError;
    }
    return m_pInner->Read(pv, cb, pcbRead);
}

HRESULT CFaultFile::Write(const void* pv, DWORD cb, DWORD* pcbWritten)
{
    ++m_nWrites;
    if (m_cbWriteLimit >= 0 && static_cast<LONGLONG>(cb) > m_cbWriteLimit) {
        const DWORD cbPart = static_cast<DWORD>(m_cbWriteLimit);
        HRESULT hr = m_pInner->Write(pv, cbPart, pcbWritten);
        m_cbWriteLimit -= *pcbWritten;
        if (FAILED(hr))
            return hr;
        if (m_bSilentShortWrite)
            return S_OK;
        return FAILED(m_hrWriteError) ? m_hrWriteError : HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    }
    if (FAILED(m_hrWriteError) && m_cbWriteLimit < 0) {
        if (pcbWritten)
            *pcbWritten = 0;
        return m_hrWriteError;
    }
    HRESULT hr = m_pInner->Write(pv, cb, pcbWritten);
    if (m_cbWriteLimit >= 0)
        m_cbWriteLimit -= *pcbWritten;
    return hr;
}

HRESULT CFaultFile::WriteGather(const FileChunk* pChunks, int nChunks, DWORD* pcbWritten)
{
    ++m_nGathers;
    if (FAILED(m_hrWriteError) || m_cbWriteLimit >= 0)
        return IFile::WriteGather(pChunks, nChunks, pcbWritten);
    return m_pInner->WriteGather(pChunks, nChunks, pcbWritten);
}

HRESULT CFaultFile::WriteAt(LONGLONG llOffset, const void* pv, DWORD cb, DWORD* pcbWritten)
{
    ++m_nWriteAts;
    if (FAILED(m_hrWriteError) || m_cbWriteLimit >= 0)
        return IFile::WriteAt(llOffset, pv, cb, pcbWritten);
    return m_pInner->WriteAt(llOffset, pv, cb, pcbWritten);
}

HRESULT CFaultFile::Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos)
{
    ++m_nSeeks;
    return m_pInner->Seek(llDistance, dwMethod, pllNewPos);
}
