#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

constexpr mode_t kOwnerOnly = 0600;

HRESULT LastError() { return HrFromErrno(errno); }

}  // namespace

// ---------------------------------------------------------------------------
// IFile defaults, for files that are not descriptors

HRESULT IFile::WriteGather(const FileChunk* pChunks, int nChunks, DWORD* pcbWritten)
{
    if (!pcbWritten || (!pChunks && nChunks > 0))
        return E_POINTER;
    *pcbWritten = 0;
    for (int i = 0; i < nChunks; ++i) {
        if (pChunks[i].cb == 0)
            continue;
        DWORD cbDone = 0;
        HRESULT hr = Write(pChunks[i].pb, pChunks[i].cb, &cbDone);
        *pcbWritten += cbDone;
        if (FAILED(hr))
            return hr;
        if (cbDone < pChunks[i].cb)
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
    return S_OK;
}

HRESULT IFile::WriteAt(LONGLONG llOffset, const void* pv, DWORD cb, DWORD* pcbWritten)
{
    if (!pcbWritten || (!pv && cb))
        return E_POINTER;
    *pcbWritten = 0;
    LONGLONG llPos = 0;
    HRESULT hr = Seek(0, FILE_CURRENT, &llPos);
    if (SUCCEEDED(hr))
        hr = Seek(llOffset, FILE_BEGIN, nullptr);
    if (FAILED(hr))
        return hr;
    hr = Write(pv, cb, pcbWritten);
    HRESULT hrBack = Seek(llPos, FILE_BEGIN, nullptr);
    return FAILED(hr) ? hr : hrBack;
}

// ---------------------------------------------------------------------------
// CPlatformFile

CPlatformFile::~CPlatformFile() { Close(); }

void CPlatformFile::Close()
{
    if (m_hFile != INVALID_HANDLE_VALUE) {
        close(m_hFile);  // releases the flock() as well
        m_hFile = INVALID_HANDLE_VALUE;
    }
}

HRESULT CPlatformFile::Open(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition)
{
    Close();
    if (!pszPath || !*pszPath)
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    if ((dwAccess & (GENERIC_READ | GENERIC_WRITE)) == 0)
        return E_INVALIDARG;

    const bool bWrite = (dwAccess & GENERIC_WRITE) != 0;
    int nFlags = O_CLOEXEC;
    nFlags |= bWrite ? ((dwAccess & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (dwDisposition) {
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        if (!bWrite)
            return E_INVALIDARG;
        nFlags |= O_CREAT;
        break;
    case OPEN_EXISTING:
        break;
    default:
        return E_INVALIDARG;
    }
    // A writable open never follows a link: otherwise a link planted under a
    // name we are about to use would redirect our output onto its target.
    if (bWrite)
        nFlags |= O_NOFOLLOW;

    const std::string strPath = WideToUtf8(PathToNative(pszPath));
    int fd = open(strPath.c_str(), nFlags, kOwnerOnly);
    if (fd < 0)
        return LastError();

    // Refuse directories and devices: only regular files hold a stream.
    struct stat st;
    if (fstat(fd, &st) != 0) {
        HRESULT hr = LastError();
        close(fd);
        return hr;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return HRESULT_FROM_WIN32(S_ISDIR(st.st_mode) ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
    }

    const bool bExclusive = (dwShare & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0;
    if (flock(fd, (bExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const int nErr = errno;
        close(fd);
        return nErr == EWOULDBLOCK ? HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) : HrFromErrno(nErr);
    }

    // Truncate only once the lock shows that nobody else has the file open
    // exclusively; a file made anew is private to its owner even when an
    // older file of that name was not.
    if (dwDisposition == CREATE_ALWAYS) {
        if (ftruncate(fd, 0) != 0 || fchmod(fd, kOwnerOnly) != 0) {
            HRESULT hr = LastError();
            close(fd);
            return hr;
        }
    }
    m_hFile = fd;
    return S_OK;
}

HRESULT CPlatformFile::Create(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                              std::unique_ptr<IFile>* ppFile)
{
    if (!ppFile)
        return E_POINTER;
    ppFile->reset();
    std::unique_ptr<CPlatformFile> pFile(new (std::nothrow) CPlatformFile);
    if (!pFile)
        return E_OUTOFMEMORY;
    HRESULT hr = pFile->Open(pszPath, dwAccess, dwShare, dwDisposition);
    if (FAILED(hr))
        return hr;
    *ppFile = std::move(pFile);
    return S_OK;
}

HRESULT CPlatformFile::Read(void* pv, DWORD cb, DWORD* pcbRead)
{
    if (!pcbRead || (!pv && cb))
        return E_POINTER;
    *pcbRead = 0;
    if (m_hFile == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    BYTE* pb = static_cast<BYTE*>(pv);
    while (*pcbRead < cb) {
        ssize_t n = read(m_hFile, pb + *pcbRead, cb - *pcbRead);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A failing device is a read fault, not a write fault.
            return errno == EIO ? HRESULT_FROM_WIN32(ERROR_READ_FAULT) : LastError();
        }
        if (n == 0)
            break;  // end of file
        *pcbRead += static_cast<DWORD>(n);
    }
    return S_OK;
}

// Writes all of pb, at the file pointer (llOffset < 0) or at llOffset:
// short writes continue, an interrupted one is retried.
static HRESULT WriteWhole(int fd, const BYTE* pb, DWORD cb, LONGLONG llOffset, DWORD* pcbWritten)
{
    while (*pcbWritten < cb) {
        const ssize_t n = llOffset < 0 ? write(fd, pb + *pcbWritten, cb - *pcbWritten)
                                       : pwrite(fd, pb + *pcbWritten, cb - *pcbWritten,
                                                static_cast<off_t>(llOffset + *pcbWritten));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        if (n == 0)
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        *pcbWritten += static_cast<DWORD>(n);
    }
    return S_OK;
}

HRESULT CPlatformFile::Write(const void* pv, DWORD cb, DWORD* pcbWritten)
{
    if (!pcbWritten || (!pv && cb))
        return E_POINTER;
    *pcbWritten = 0;
    if (m_hFile == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    return WriteWhole(m_hFile, static_cast<const BYTE*>(pv), cb, -1, pcbWritten);
}

HRESULT CPlatformFile::WriteGather(const FileChunk* pChunks, int nChunks, DWORD* pcbWritten)
{
    if (!pcbWritten || (!pChunks && nChunks > 0))
        return E_POINTER;
    *pcbWritten = 0;
    if (m_hFile == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    constexpr int kMaxIov = 64;  // well below IOV_MAX; a batch of datagrams fits
    iovec aIov[kMaxIov];
    int i = 0;
    DWORD cbSkip = 0;  // bytes of chunk i already written
    while (i < nChunks) {
        int nIov = 0;
        for (int j = i; j < nChunks && nIov < kMaxIov; ++j) {
            const DWORD cbOff = j == i ? cbSkip : 0;
            if (pChunks[j].cb == cbOff)
                continue;
            if (!pChunks[j].pb)
                return E_POINTER;
            aIov[nIov].iov_base = const_cast<BYTE*>(pChunks[j].pb) + cbOff;
            aIov[nIov].iov_len = pChunks[j].cb - cbOff;
            ++nIov;
        }
        if (nIov == 0)
            break;
        ssize_t n = writev(m_hFile, aIov, nIov);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastError();
        }
        if (n == 0)
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        *pcbWritten += static_cast<DWORD>(n);
        // Move past what was written, part of a chunk included.
        DWORD cbLeft = static_cast<DWORD>(n);
        while (i < nChunks && cbLeft >= pChunks[i].cb - cbSkip) {
            cbLeft -= pChunks[i].cb - cbSkip;
            cbSkip = 0;
            ++i;
        }
        cbSkip += cbLeft;
    }
    return S_OK;
}

HRESULT CPlatformFile::WriteAt(LONGLONG llOffset, const void* pv, DWORD cb, DWORD* pcbWritten)
{
    if (!pcbWritten || (!pv && cb))
        return E_POINTER;
    *pcbWritten = 0;
    if (m_hFile == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    if (llOffset < 0)
        return HRESULT_FROM_WIN32(ERROR_SEEK);
    return WriteWhole(m_hFile, static_cast<const BYTE*>(pv), cb, llOffset, pcbWritten);
}

HRESULT CPlatformFile::Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPos)
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    int nWhence;
    switch (dwMethod) {
    case FILE_BEGIN: nWhence = SEEK_SET; break;
    case FILE_CURRENT: nWhence = SEEK_CUR; break;
    case FILE_END: nWhence = SEEK_END; break;
    default: return E_INVALIDARG;
    }
    off_t off = lseek(m_hFile, static_cast<off_t>(llDistance), nWhence);
    if (off < 0)
        return errno == EINVAL ? HRESULT_FROM_WIN32(ERROR_SEEK) : LastError();
    if (pllNewPos)
        *pllNewPos = static_cast<LONGLONG>(off);
    return S_OK;
}

HRESULT CPlatformFile::SetEndOfFile()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    off_t off = lseek(m_hFile, 0, SEEK_CUR);
    if (off < 0 || ftruncate(m_hFile, off) != 0)
        return LastError();
    return S_OK;
}

HRESULT CPlatformFile::GetSize(LONGLONG* pllSize)
{
    if (!pllSize)
        return E_POINTER;
    if (m_hFile == INVALID_HANDLE_VALUE)
        return E_HANDLE;
    struct stat st;
    if (fstat(m_hFile, &st) != 0)
        return LastError();
    *pllSize = static_cast<LONGLONG>(st.st_size);
    return S_OK;
}

HRESULT DeleteFile(LPCWSTR pszPath)
{
    if (!pszPath || !*pszPath)
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    if (unlink(WideToUtf8(PathToNative(pszPath)).c_str()) != 0)
        return LastError();
    return S_OK;
}

bool FileExists(LPCWSTR pszPath)
{
    if (!pszPath || !*pszPath)
        return false;
    struct stat st;
    return lstat(WideToUtf8(PathToNative(pszPath)).c_str(), &st) == 0;
}

HRESULT CreateFolder(LPCWSTR pszPath)
{
    if (!pszPath || !*pszPath)
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    const std::string strPath = WideToUtf8(PathToNative(pszPath));
    if (mkdir(strPath.c_str(), 0700) == 0)
        return S_OK;
    if (errno == EEXIST) {
        struct stat st;
        if (stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return S_FALSE;
        return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    if (errno == ENOENT)
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    return LastError();
}

HRESULT GetTempFolder(CWString* pstrFolder)
{
    if (!pstrFolder)
        return E_POINTER;
    const char* psz = getenv("TMPDIR");
    std::string str = (psz && *psz) ? psz : "/tmp";
    while (str.size() > 1 && str.back() == '/')
        str.pop_back();
    *pstrFolder = Utf8ToWide(str);
    return S_OK;
}

HRESULT GetCurrentFolder(CWString* pstrFolder)
{
    if (!pstrFolder)
        return E_POINTER;
    char sz[PATH_MAX];
    if (!getcwd(sz, sizeof(sz)))
        return LastError();
    *pstrFolder = Utf8ToWide(sz);
    return S_OK;
}

bool IsPathSeparator(WCHAR ch) { return ch == u'/' || ch == u'\\'; }

CWString PathToNative(std::u16string_view path)
{
    CWString str(path);
    for (WCHAR& ch : str)
        if (ch == u'\\')
            ch = u'/';
    return str;
}

static bool HasDrive(std::u16string_view path)
{
    return path.size() >= 2 && path[1] == u':' &&
           ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
}

bool PathIsRelative(std::u16string_view path)
{
    if (path.empty())
        return true;
    return !IsPathSeparator(path[0]) && !HasDrive(path);
}

CWString PathJoin(std::u16string_view folder, std::u16string_view name)
{
    CWString str(folder);
    if (!str.empty() && !IsPathSeparator(str.back()) && !name.empty())
        str.push_back(u'/');
    size_t nSkip = 0;
    while (!str.empty() && nSkip < name.size() && IsPathSeparator(name[nSkip]))
        ++nSkip;
    str.append(name.substr(nSkip));
    return str;
}

static size_t LastSeparator(std::u16string_view path)
{
    for (size_t i = path.size(); i > 0; --i)
        if (IsPathSeparator(path[i - 1]))
            return i - 1;
    return std::u16string_view::npos;
}

CWString PathFileName(std::u16string_view path)
{
    size_t n = LastSeparator(path);
    return CWString(n == std::u16string_view::npos ? path : path.substr(n + 1));
}

CWString PathFolder(std::u16string_view path)
{
    size_t n = LastSeparator(path);
    if (n == std::u16string_view::npos)
        return CWString();
    if (n == 0)
        return CWString(u"/");
    return CWString(path.substr(0, n));
}

// Splits on either separator, dropping empty and "." components and folding
// ".." into its parent (never above the root).
static std::vector<CWString> SplitNormalised(std::u16string_view path)
{
    std::vector<CWString> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = i;
        while (j < path.size() && !IsPathSeparator(path[j]))
            ++j;
        std::u16string_view part = path.substr(i, j - i);
        if (part == u"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.emplace_back(part);
        }
        i = j + 1;
    }
    return parts;
}

HRESULT PathMakeAbsolute(std::u16string_view path, CWString* pstrAbsolute)
{
    if (!pstrAbsolute)
        return E_POINTER;
    CWString strFull;
    if (PathIsRelative(path)) {
        CWString strCwd;
        HRESULT hr = GetCurrentFolder(&strCwd);
        if (FAILED(hr))
            return hr;
        strFull = PathJoin(strCwd, path);
    } else {
        strFull = CWString(path);
    }
    CWString strOut;
    for (const CWString& part : SplitNormalised(strFull)) {
        strOut.push_back(u'/');
        strOut.append(part);
    }
    if (strOut.empty())
        strOut.push_back(u'/');
    *pstrAbsolute = std::move(strOut);
    return S_OK;
}

CWString PathRelativeTo(std::u16string_view fromFolder, std::u16string_view target)
{
    std::vector<CWString> from = SplitNormalised(fromFolder);
    std::vector<CWString> to = SplitNormalised(target);
    size_t nCommon = 0;
    while (nCommon < from.size() && nCommon < to.size() && from[nCommon] == to[nCommon])
        ++nCommon;
    CWString str;
    for (size_t i = nCommon; i < from.size(); ++i)
        str.append(u"../");
    for (size_t i = nCommon; i < to.size(); ++i) {
        if (i > nCommon)
            str.push_back(u'/');
        str.append(to[i]);
    }
    return str;
}

// The device of the path, or of its nearest existing ancestor; false when
// not even the root can be examined.
static bool DeviceOf(std::u16string_view path, dev_t* pDev)
{
    CWString strPath;
    if (FAILED(PathMakeAbsolute(path, &strPath)))
        return false;
    for (;;) {
        struct stat st;
        if (stat(WideToUtf8(strPath).c_str(), &st) == 0) {
            *pDev = st.st_dev;
            return true;
        }
        if (strPath == u"/")
            return false;
        strPath = PathFolder(strPath);
    }
}

bool PathsOnSameFileSystem(std::u16string_view pathA, std::u16string_view pathB)
{
    dev_t devA, devB;
    return DeviceOf(pathA, &devA) && DeviceOf(pathB, &devB) && devA == devB;
}

HRESULT GetFileOwner(LPCWSTR pszPath, DWORD* pdwOwner)
{
    if (!pszPath || !pdwOwner)
        return E_POINTER;
    struct stat st;
    if (stat(WideToUtf8(pszPath).c_str(), &st) != 0)
        return HrFromErrno(errno);
    *pdwOwner = static_cast<DWORD>(st.st_uid);
    return S_OK;
}

HRESULT GetFileOwnerOfHandle(HANDLE hFile, DWORD* pdwOwner)
{
    if (!pdwOwner)
        return E_POINTER;
    struct stat st;
    if (hFile == INVALID_HANDLE_VALUE || fstat(hFile, &st) != 0)
        return E_HANDLE;
    *pdwOwner = static_cast<DWORD>(st.st_uid);
    return S_OK;
}
