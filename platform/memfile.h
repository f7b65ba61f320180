// IFile implementations that are not plain files: an in-memory file (fuzz
// targets, format tests) and a wrapper that counts platform calls and
// injects the failures real disks produce (short writes, a full disk, a
// failing read).
#pragma once

#include <vector>

#include "platform/file.h"

class CMemoryFile : public IFile
{
public:
    CMemoryFile() = default;
    explicit CMemoryFile(std::vector<BYTE> data) : m_data(std::move(data)) {}

    const std::vector<BYTE>& Data() const { return m_data; }

    [[nodiscard]] HRESULT Read(void* pv, DWORD cb, DWORD* pcbRead) override;
    [[nodiscard]] HRESULT Write(const void* pv, DWORD cb, DWORD* pcbWritten) override;
    [[nodiscard]] HRESULT Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos) override;
    [[nodiscard]] HRESULT SetEndOfFile() override;
    [[nodiscard]] HRESULT GetSize(LONGLONG* pllSize) override;
    HANDLE GetHandle() const override { return INVALID_HANDLE_VALUE; }

private:
    // A memory image never grows past this, so a seek far beyond the end
    // followed by a write fails like a full disk instead of allocating.
    static constexpr LONGLONG kMaxSize = 64 << 20;
    std::vector<BYTE> m_data;
    LONGLONG m_llPos = 0;
};

// Forwards to an inner file, counting calls and failing on request. Not
// thread-safe: one test thread drives it.
class CFaultFile : public IFile
{
public:
    // pInner is owned when bOwns is set.
    CFaultFile(IFile* pInner, bool bOwns) : m_pInner(pInner), m_bOwns(bOwns) {}
    ~CFaultFile() override;
    CFaultFile(const CFaultFile&) = delete;
    CFaultFile& operator=(const CFaultFile&) = delete;

    // Calls that reached the inner file.
    int m_nReads = 0;
    int m_nWrites = 0;
    int m_nSeeks = 0;
    int m_nGathers = 0;  // WriteGather calls
    int m_nWriteAts = 0;

    // Every write fails with this status (when set) after writing at most
    // m_cbWriteLimit more bytes; m_cbWriteLimit < 0 means no limit.
    HRESULT m_hrWriteError = S_OK;
    LONGLONG m_cbWriteLimit = -1;
    // A write that stops short at the limit without an error status (what a
    // write interrupted near a full disk reports).
    bool m_bSilentShortWrite = false;
    // Every read fails with this status when set.
    HRESULT m_hrReadError = S_OK;

    [[nodiscard]] HRESULT Read(void* pv, DWORD cb, DWORD* pcbRead) override;
    [[nodiscard]] HRESULT Write(const void* pv, DWORD cb, DWORD* pcbWritten) override;
    [[nodiscard]] HRESULT Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos) override;
    // Without a fault armed these reach the inner file as one call each, so
    // a test sees how many calls a real file would get; with one armed they
    // fall back to single writes, which fail as set.
    [[nodiscard]] HRESULT WriteGather(const FileChunk* pChunks, int nChunks, DWORD* pcbWritten) override;
    [[nodiscard]] HRESULT WriteAt(LONGLONG llOffset, const void* pv, DWORD cb, DWORD* pcbWritten) override;
    [[nodiscard]] HRESULT SetEndOfFile() override { return m_pInner->SetEndOfFile(); }
    [[nodiscard]] HRESULT GetSize(LONGLONG* pllSize) override { return m_pInner->GetSize(pllSize); }
    HANDLE GetHandle() const override { return m_pInner->GetHandle(); }

private:
    IFile* m_pInner;
    bool m_bOwns;
};
