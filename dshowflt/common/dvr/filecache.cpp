#include "dshowflt/common/dvr/filecache.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "dshowflt/common/trace/trace.h"

CFileCache::~CFileCache()
{
    (void)Attach(nullptr, false);
    delete[] m_pBuffer;
}

HRESULT CFileCache::Attach(IFile* pFile, bool bOwnsFile)
{
    HRESULT hr = Flush();
    if (m_bOwnsFile && m_pFile != pFile)
        delete m_pFile;
    m_pFile = pFile;
    m_bOwnsFile = bOwnsFile;
    m_llPos = 0;
    m_llBufferStart = 0;
    m_cbBuffer = 0;
    m_bDirty = false;
    m_llFilePointer = -1;
    return hr;
}

HRESULT CFileCache::PlatformSeek(LONGLONG llPos, LONGLONG* pllLanded)
{
    LONGLONG llLanded = -1;
    HRESULT hr = m_pFile->Seek(llPos, FILE_BEGIN, &llLanded);
    m_llFilePointer = SUCCEEDED(hr) ? llLanded : -1;
    if (pllLanded)
        *pllLanded = llLanded;
    return hr;
}

HRESULT CFileCache::Flush()
{
    HRESULT hr = S_OK;
    if (m_bDirty && m_pFile) {
        m_bDirty = false;
        if (m_llFilePointer != m_llBufferStart)
            hr = PlatformSeek(m_llBufferStart, nullptr);
        if (SUCCEEDED(hr)) {
            DWORD cbWritten = 0;
            hr = m_pFile->Write(m_pBuffer, m_cbBuffer, &cbWritten);
            m_llFilePointer = m_llBufferStart + cbWritten;
            if (FAILED(hr) || cbWritten != m_cbBuffer) {
                Trace("\nCFileCache::Flush: was not able to write all the bytes! Wrote only %d bytes instead of %d",
                      static_cast<int>(cbWritten), static_cast<int>(m_cbBuffer));
                if (SUCCEEDED(hr))
                    hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
                m_llFilePointer = -1;
            }
        }
    }
    m_llBufferStart += m_cbBuffer;
    m_cbBuffer = 0;
    m_bDirty = false;
    return hr;
}

// The move is logical: the platform's pointer is brought in line only when
// the file is next touched (SeekToCurrentPosition, Flush), so a walk over
// records that are already in the buffer costs no system call, and
// rewriting one field costs one seek and one write at the flush.
HRESULT CFileCache::Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos)
{
    if (!m_pFile)
        return E_UNEXPECTED;
    LONGLONG llBase;
    switch (dwMethod) {
    case FILE_BEGIN:
        llBase = 0;
        break;
    case FILE_CURRENT:
        llBase = m_llPos;
        break;
    case FILE_END: {
        // Bytes still in the buffer may extend the file; the end must count them.
        HRESULT hr = Flush();
        if (SUCCEEDED(hr))
            hr = m_pFile->GetSize(&llBase);
        if (FAILED(hr))
            return hr;
        break;
    }
    default:
        return E_INVALIDARG;
    }
    if ((llDistance > 0 && llBase > MAX_INT64 - llDistance) || llBase + llDistance < 0)
        return HRESULT_FROM_WIN32(ERROR_SEEK);
    m_llPos = llBase + llDistance;
    if (pllNewPos)
        *pllNewPos = m_llPos;
    return S_OK;
}

HRESULT CFileCache::SeekToCurrentPosition()
{
    if (!m_pFile)
        return E_UNEXPECTED;
    HRESULT hr = Flush();
    if (FAILED(hr))
        return hr;
    if (m_llFilePointer != m_llPos) {
        LONGLONG llLanded = -1;
        hr = PlatformSeek(m_llPos, &llLanded);
        if (FAILED(hr)) {
            Trace("\nCFileCache::SeekToCurrentPosition: Seek to position %lld failed", static_cast<long long>(m_llPos));
            return hr;
        }
        if (llLanded != m_llPos) {
            Trace("\nCFileCache::SeekToCurrentPosition: Seeked to position %lld instead of %lld",
                  static_cast<long long>(llLanded), static_cast<long long>(m_llPos));
            return HRESULT_FROM_WIN32(ERROR_SEEK);
        }
    }
    // The buffer is empty and ends where the next access begins.
    m_llBufferStart = m_llPos;
    return S_OK;
}

DWORD CFileCache::CopyOut(BYTE* pb, DWORD cb)
{
    if (m_cbBuffer == 0 || m_llPos < m_llBufferStart || m_llPos >= m_llBufferStart + m_cbBuffer)
        return 0;
    const DWORD cbOffset = static_cast<DWORD>(m_llPos - m_llBufferStart);
    const DWORD cbCopy = std::min(cb, m_cbBuffer - cbOffset);
    memcpy(pb, m_pBuffer + cbOffset, cbCopy);
    m_llPos += cbCopy;
    return cbCopy;
}

DWORD CFileCache::CopyIn(const BYTE* pb, DWORD cb)
{
    // The end of the valid bytes is inside: appending there never leaves a
    // gap of bytes that were not read.
    if (!m_pBuffer || m_llPos < m_llBufferStart || m_llPos > m_llBufferStart + m_cbBuffer)
        return 0;
    const DWORD cbOffset = static_cast<DWORD>(m_llPos - m_llBufferStart);
    const DWORD cbCopy = std::min(cb, m_cbCapacity - cbOffset);
    if (cbCopy == 0)
        return 0;
    memcpy(m_pBuffer + cbOffset, pb, cbCopy);
    m_llPos += cbCopy;
    m_bDirty = true;
    if (cbOffset + cbCopy > m_cbBuffer)
        m_cbBuffer = cbOffset + cbCopy;
    return cbCopy;
}

// Called right after SeekToCurrentPosition: the buffer is empty and the
// platform pointer stands at the position.
HRESULT CFileCache::FillBuffer()
{
    if (!m_pBuffer) {
        m_pBuffer = new (std::nothrow) BYTE[kBufferSize];
        if (!m_pBuffer)
            return E_OUTOFMEMORY;
        m_cbCapacity = kBufferSize;
    }
    DWORD cbRead = 0;
    HRESULT hr = m_pFile->Read(m_pBuffer, m_cbCapacity, &cbRead);
    if (FAILED(hr)) {
        m_llFilePointer = -1;
        return hr;
    }
    m_llFilePointer = m_llPos + cbRead;
    m_llBufferStart = m_llPos;
    m_cbBuffer = cbRead;
    return S_OK;
}

HRESULT CFileCache::Read(void* pv, DWORD cb)
{
    if (!pv && cb)
        return E_POINTER;
    if (!m_pFile)
        return E_UNEXPECTED;
    BYTE* pb = static_cast<BYTE*>(pv);
    DWORD cbDone = CopyOut(pb, cb);
    if (cbDone == cb)
        return S_OK;

    HRESULT hr = SeekToCurrentPosition();
    if (FAILED(hr))
        return hr;
    const DWORD cbLeft = cb - cbDone;
    if (cbLeft >= kBufferSize) {
        DWORD cbRead = 0;
        hr = m_pFile->Read(pb + cbDone, cbLeft, &cbRead);
        m_llPos += cbRead;
        m_llBufferStart = m_llPos;
        m_llFilePointer = SUCCEEDED(hr) ? m_llPos : -1;
        if (FAILED(hr))
            return hr;
        return cbRead == cbLeft ? S_OK : HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    }
    hr = FillBuffer();
    if (FAILED(hr))
        return hr;
    cbDone += CopyOut(pb + cbDone, cbLeft);
    return cbDone == cb ? S_OK : HRESULT_FROM_WIN32(ERROR_READ_FAULT);
}

HRESULT CFileCache::Write(const void* pv, DWORD cb)
{
    if (!pv && cb)
        return E_POINTER;
    if (!m_pFile)
        return E_UNEXPECTED;
    const BYTE* pb = static_cast<const BYTE*>(pv);
    DWORD cbDone = CopyIn(pb, cb);
    if (cbDone == cb)
        return S_FALSE;

    HRESULT hr = SeekToCurrentPosition();
    if (FAILED(hr))
        return hr;
    const DWORD cbLeft = cb - cbDone;
    if (cbLeft >= kBufferSize) {
        DWORD cbWritten = 0;
        hr = m_pFile->Write(pb + cbDone, cbLeft, &cbWritten);
        m_llPos += cbWritten;
        m_llBufferStart = m_llPos;
        m_llFilePointer = SUCCEEDED(hr) ? m_llPos : -1;
        if (FAILED(hr))
            return hr;
        return cbWritten == cbLeft ? S_OK : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
    // Read what the file holds around the range first, so that the flush
    // writes those bytes back unchanged.
    hr = FillBuffer();
    if (FAILED(hr))
        return hr;
    cbDone += CopyIn(pb + cbDone, cbLeft);
    return cbDone == cb ? S_OK : HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
}

HRESULT CFileCache::WriteThrough(LONGLONG llPos, const void* pv, DWORD cb)
{
    if (!pv && cb)
        return E_POINTER;
    if (!m_pFile)
        return E_UNEXPECTED;
    if (llPos < 0)
        return HRESULT_FROM_WIN32(ERROR_SEEK);
    DWORD cbDone = 0;
    HRESULT hr = m_pFile->WriteAt(llPos, pv, cb, &cbDone);
    if (SUCCEEDED(hr) && cbDone != cb)
        hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    // The buffer keeps what it holds, with the new bytes copied over their
    // old values: dirty bytes around them are still written back whole.
    const LONGLONG llEnd = llPos + cbDone;
    const LONGLONG llBufEnd = m_llBufferStart + m_cbBuffer;
    if (cbDone > 0 && m_cbBuffer > 0 && llPos < llBufEnd && llEnd > m_llBufferStart) {
        const LONGLONG llFrom = std::max(llPos, m_llBufferStart);
        const LONGLONG llTo = std::min(llEnd, llBufEnd);
        memcpy(m_pBuffer + (llFrom - m_llBufferStart), static_cast<const BYTE*>(pv) + (llFrom - llPos),
               static_cast<size_t>(llTo - llFrom));
    }
    return hr;
}

HRESULT CFileCache::WriteZeros(LONG cb)
{
    if (cb < 1)
        return S_OK;
    const DWORD cbBlock = std::min<DWORD>(static_cast<DWORD>(cb), kBufferSize);
    BYTE* pZeros = new (std::nothrow) BYTE[cbBlock]();
    if (!pZeros)
        return E_OUTOFMEMORY;
    HRESULT hr = S_OK;
    for (DWORD cbLeft = static_cast<DWORD>(cb); cbLeft > 0 && SUCCEEDED(hr);) {
        const DWORD cbNow = std::min(cbLeft, cbBlock);
        hr = Write(pZeros, cbNow);
        cbLeft -= cbNow;
    }
    delete[] pZeros;
    return FAILED(hr) ? hr : S_OK;
}
