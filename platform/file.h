// Files, folders and paths. Paths cross this interface as UTF-16 (WCHAR) and
// are converted to UTF-8 only at the POSIX boundary, in file.cpp.
//
// Everything that touches a file goes through IFile, so that the stub cache,
// the DVR writer and their tests can run against the real file system
// (CPlatformFile), a memory image (CMemoryFile) or a fault-injecting wrapper
// (CFaultFile, for short writes, full disks and counting platform reads).
#pragma once

#include <memory>

#include "platform/hresult.h"
#include "platform/wtext.h"

// Access, sharing and disposition values keep the numbers callers were
// written against.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_NONE = 0;  // exclusive
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD CREATE_ALWAYS = 2;  // create anew, truncating an existing file
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;  // open, or create when missing

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// One piece of a gathered write.
struct FileChunk
{
    const BYTE* pb;
    DWORD cb;
};

class IFile
{
public:
    virtual ~IFile() = default;
    // Reads up to cb bytes at the file pointer. Succeeds with *pcbRead < cb
    // only at the end of the file.
    [[nodiscard]] virtual HRESULT Read(void* pv, DWORD cb, DWORD* pcbRead) = 0;
    // Writes cb bytes at the file pointer. On failure *pcbWritten says how
    // many bytes reached the file before it.
    [[nodiscard]] virtual HRESULT Write(const void* pv, DWORD cb, DWORD* pcbWritten) = 0;
    // Moves the file pointer; *pllNewPos (may be null) receives the result.
    [[nodiscard]] virtual HRESULT Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos) = 0;
    // Cuts or extends the file to end at the file pointer.
    [[nodiscard]] virtual HRESULT SetEndOfFile() = 0;
    [[nodiscard]] virtual HRESULT GetSize(LONGLONG* pllSize) = 0;
    // The descriptor, for trace lines; INVALID_HANDLE_VALUE when there is none.
    virtual HANDLE GetHandle() const = 0;

    // Writes the chunks one after the other at the file pointer. On failure
    // *pcbWritten says how many bytes reached the file before it. A plain
    // file does it in one call; this default writes chunk by chunk.
    [[nodiscard]] virtual HRESULT WriteGather(const FileChunk* pChunks, int nChunks, DWORD* pcbWritten);
    // Writes cb bytes at llOffset and leaves the file pointer where it was.
    [[nodiscard]] virtual HRESULT WriteAt(LONGLONG llOffset, const void* pv, DWORD cb, DWORD* pcbWritten);
};

// A file on disk.
//
// Sharing: an open without FILE_SHARE_READ|FILE_SHARE_WRITE is exclusive.
// It holds an exclusive flock() and every other open holds a shared one, so
// an exclusive open is refused (ERROR_SHARING_VIOLATION) while any other
// open of the file exists, in this process or another, and other opens are
// refused while an exclusive one is held. flock() locks belong to the open
// file description, so two opens in one process conflict as well.
//
// Creation: CREATE_ALWAYS and OPEN_ALWAYS never follow a symbolic link at
// the final component and create files readable by their owner only, so a
// name planted in a shared temporary folder can neither redirect what we
// write nor expose it. Any open for writing refuses a link the same way.
class CPlatformFile : public IFile
{
public:
    CPlatformFile() = default;
    ~CPlatformFile() override;
    CPlatformFile(const CPlatformFile&) = delete;
    CPlatformFile& operator=(const CPlatformFile&) = delete;

    [[nodiscard]] HRESULT Open(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition);
    // Open() into a new heap object (E_OUTOFMEMORY when it cannot be had).
    [[nodiscard]] static HRESULT Create(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare,
                                        DWORD dwDisposition, std::unique_ptr<IFile>* ppFile);
    void Close();
    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }

    [[nodiscard]] HRESULT Read(void* pv, DWORD cb, DWORD* pcbRead) override;
    [[nodiscard]] HRESULT Write(const void* pv, DWORD cb, DWORD* pcbWritten) override;
    [[nodiscard]] HRESULT Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos) override;
    [[nodiscard]] HRESULT SetEndOfFile() override;
    [[nodiscard]] HRESULT GetSize(LONGLONG* pllSize) override;
    HANDLE GetHandle() const override { return m_hFile; }
    // One writev (more only past the system's chunk limit or after a short
    // write), and one pwrite: no copy, no seek.
    [[nodiscard]] HRESULT WriteGather(const FileChunk* pChunks, int nChunks, DWORD* pcbWritten) override;
    [[nodiscard]] HRESULT WriteAt(LONGLONG llOffset, const void* pv, DWORD cb, DWORD* pcbWritten) override;

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};

// Folders and files by name.
[[nodiscard]] HRESULT DeleteFile(LPCWSTR pszPath);
bool FileExists(LPCWSTR pszPath);
// Creates one folder (its parent must exist); S_FALSE when it already exists.
[[nodiscard]] HRESULT CreateFolder(LPCWSTR pszPath);
// $TMPDIR when set and non-empty, else /tmp; no trailing separator.
[[nodiscard]] HRESULT GetTempFolder(CWString* pstrFolder);
[[nodiscard]] HRESULT GetCurrentFolder(CWString* pstrFolder);

// Path helpers. Stub files written on other systems carry "\" separators, so
// every helper accepts both "\" and "/" as separators; paths it builds use "/".
bool IsPathSeparator(WCHAR ch);
// Turns every "\" into "/".
CWString PathToNative(std::u16string_view path);
// A path is relative unless it starts with a separator or a drive ("C:").
bool PathIsRelative(std::u16string_view path);
// folder + "/" + name (no doubled separator; name alone when folder is empty).
CWString PathJoin(std::u16string_view folder, std::u16string_view name);
// The last component ("Capture_3.KRC" of "a/b\Capture_3.KRC").
CWString PathFileName(std::u16string_view path);
// Everything before the last component, without the separator; "/" for a
// file in the root, empty for a bare file name.
CWString PathFolder(std::u16string_view path);
// An absolute, lexically normalised path ("." and ".." removed, "/"
// separators): relative paths are taken against the current folder.
[[nodiscard]] HRESULT PathMakeAbsolute(std::u16string_view path, CWString* pstrAbsolute);
// The path of pszTarget relative to the folder pszFromFolder, both absolute
// and normalised: one "../" per folder to climb, then the remaining
// components ("../rec/Capture_3.KRC").
CWString PathRelativeTo(std::u16string_view fromFolder, std::u16string_view target);
// The user that owns a file: by path (following links, as an open does) or
// by the descriptor of an open file. ERROR_FILE_NOT_FOUND and the like as
// HRESULTs; E_HANDLE for a descriptor that is not open.
[[nodiscard]] HRESULT GetFileOwner(LPCWSTR pszPath, DWORD* pdwOwner);
[[nodiscard]] HRESULT GetFileOwnerOfHandle(HANDLE hFile, DWORD* pdwOwner);
// True when both paths (or, for names that do not exist yet, their nearest
// existing ancestors) lie on one file system: the POSIX counterpart of being
// on the same drive, which decides whether a relative path can be kept.
bool PathsOnSameFileSystem(std::u16string_view pathA, std::u16string_view pathB);
