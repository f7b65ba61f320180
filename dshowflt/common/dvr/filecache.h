// CFileCache: one 8192-byte buffer in front of a file, with a logical
// position of its own.
//
// The stub file is read and written in many small fields with seeks between
// them; the cache turns those into few platform calls. It must never write
// back a byte that it neither read from the file nor was given, because
// other processes rewrite neighbouring fields of the same file: the buffer
// is only ever filled from the file at the position, and a write beyond the
// valid bytes refills it first.
//
// Not thread-safe: the owner's lock guards every use.
#pragma once

#include "platform/file.h"

class CFileCache
{
public:
    static constexpr DWORD kBufferSize = 8192;

    CFileCache() = default;
    // Flushes (a failure is lost), frees the buffer and closes an owned file.
    ~CFileCache();
    CFileCache(const CFileCache&) = delete;
    CFileCache& operator=(const CFileCache&) = delete;

    // Flushes, closes the old file when owned, takes pFile (may be null to
    // detach) and moves to position 0. The file is replaced even when the
    // flush fails; the flush's status is returned.
    [[nodiscard]] HRESULT Attach(IFile* pFile, bool bOwnsFile);
    IFile* GetFile() const { return m_pFile; }
    bool IsOpen() const { return m_pFile != nullptr; }

    // Writes dirty bytes back. Whatever happens the buffer is empty after it:
    // on a failure the unwritten bytes are lost and the failure is returned.
    [[nodiscard]] HRESULT Flush();
    // Moves the logical position; dwMethod is FILE_BEGIN, FILE_CURRENT or
    // FILE_END. *pllNewPos (may be null) receives the new position.
    [[nodiscard]] HRESULT Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos);
    // Flushes and brings the platform's file pointer to the logical position.
    [[nodiscard]] HRESULT SeekToCurrentPosition();
    // All cb bytes or a failure: a short read fails with ERROR_READ_FAULT
    // after advancing the position by the bytes that were there.
    [[nodiscard]] HRESULT Read(void* pv, DWORD cb);
    // S_FALSE when the buffer alone took the bytes, S_OK when they reached
    // the file; a short write fails with ERROR_WRITE_FAULT.
    [[nodiscard]] HRESULT Write(const void* pv, DWORD cb);
    // Writes cb bytes at llPos straight to the file, past the buffer and
    // without moving the logical position: one platform call for a small
    // field that changes often. Bytes the buffer holds for that range are
    // brought in line, so a later read or flush never undoes the write.
    [[nodiscard]] HRESULT WriteThrough(LONGLONG llPos, const void* pv, DWORD cb);
    // cb zero bytes (nothing for cb < 1).
    [[nodiscard]] HRESULT WriteZeros(LONG cb);

    LONGLONG GetPosition() const { return m_llPos; }

private:
    [[nodiscard]] HRESULT FillBuffer();
    // Copies from the buffer at the position; returns the bytes copied.
    DWORD CopyOut(BYTE* pb, DWORD cb);
    DWORD CopyIn(const BYTE* pb, DWORD cb);
    [[nodiscard]] HRESULT PlatformSeek(LONGLONG llPos, LONGLONG* pllLanded);

    IFile* m_pFile = nullptr;
    bool m_bOwnsFile = false;
    LONGLONG m_llPos = 0;
    BYTE* m_pBuffer = nullptr;
    DWORD m_cbCapacity = 0;
    bool m_bDirty = false;
    LONGLONG m_llBufferStart = 0;
    DWORD m_cbBuffer = 0;
    // Where the platform's file pointer stands, or -1 when unknown; a seek is
    // made only when an access needs the pointer elsewhere.
    LONGLONG m_llFilePointer = -1;
};
