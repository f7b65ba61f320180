// CBuffer: the growable byte buffer used for socket receive buffers, parameter
// sets, text codecs and the RTP frame buffer. Capacity grows to exactly what
// is asked and never shrinks, so a buffer sized once at open keeps its memory
// for the life of the owner.
#pragma once

#include <cstdarg>

#include "platform/hresult.h"
#include "platform/wtext.h"

class CBaseBuffer
{
public:
    typedef void (*PFNFREE)(void* p);
    typedef void* (*PFNREALLOC)(void* p, size_t cb);

    CBaseBuffer(PFNFREE pfnFree, PFNREALLOC pfnRealloc)
        : m_pfnFree(pfnFree), m_pfnRealloc(pfnRealloc) {}
    virtual ~CBaseBuffer();
    CBaseBuffer(const CBaseBuffer&) = delete;
    CBaseBuffer& operator=(const CBaseBuffer&) = delete;

    // Releases the storage; length and capacity become 0.
    virtual void Free();
    // Grows the capacity to exactly cbCapacity when it is smaller.
    [[nodiscard]] virtual HRESULT Reserve(LONG cbCapacity);

    [[nodiscard]] HRESULT Append(const void* pv, LONG cb);
    [[nodiscard]] HRESULT AppendByte(BYTE b);
    // printf-style; the text stays zero-terminated (the terminator is not
    // counted in the used length).
    [[nodiscard]] HRESULT AppendFormat(const char* pszFormat, ...)
        __attribute__((format(printf, 2, 3)));
    [[nodiscard]] HRESULT AppendFormatV(const char* pszFormat, va_list args);
    // Appends wide text converted to UTF-8 (the only code page used here:
    // 65001). Zero-terminated like AppendFormat.
    [[nodiscard]] HRESULT AppendWide(LPCWSTR psz, int cch = -1);
    // Used length 0; the capacity is kept.
    void Empty() { m_cbData = 0; }
    // The content read as UTF-8 text.
    CWString ToWideString() const;

    BYTE* Data() const { return m_pData; }
    LONG Length() const { return m_cbData; }
    LONG Capacity() const { return m_cbAlloc; }
    // For writers that fill Data() directly (recv into the spare capacity).
    [[nodiscard]] HRESULT SetLength(LONG cb);

protected:
    BYTE* m_pData = nullptr;
    LONG m_cbData = 0;
    LONG m_cbAlloc = 0;

private:
    HRESULT TerminateText();

    PFNFREE m_pfnFree;
    PFNREALLOC m_pfnRealloc;
};

// The heap-backed buffer everyone uses. The allocator pair is a seam: tests
// hand in a reallocation that fails to exercise E_OUTOFMEMORY paths.
class CBuffer : public CBaseBuffer
{
public:
    CBuffer();
    CBuffer(PFNFREE pfnFree, PFNREALLOC pfnRealloc) : CBaseBuffer(pfnFree, pfnRealloc) {}
};
