// CDVREngine: the stub file and the recording files.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/trace/trace.h"

using namespace dvr;

HRESULT CDVREngine::OpenFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                             std::unique_ptr<IFile>* ppFile)
{
    return CPlatformFile::Create(pszPath, dwAccess, dwShare, dwDisposition, ppFile);
}

// ---------------------------------------------------------------------------
// Naming and opening the stub

HRESULT CDVREngine::StorePathLocked(LPCWSTR pszPath, size_t cchPath)
{
    if (!pszPath)
        return E_POINTER;
    if (cchPath >= static_cast<size_t>(MAX_PATH))
        return CO_E_PATHTOOLONG;
    // Stubs are kept with "/" separators here; "\" from other systems is
    // accepted and turned into "/".
    CWString strPath = PathToNative(std::u16string_view(pszPath, cchPath));
    CWString strAbsolute;
    HRESULT hr = PathMakeAbsolute(strPath, &strAbsolute);
    if (FAILED(hr))
        return hr;
    m_strStubPath = std::move(strPath);
    m_strStubFolder = PathFolder(strAbsolute);
    m_nSizeFieldSlot = -1;
    return S_OK;
}

void CDVREngine::ReleaseStubLocked()
{
    if (m_stubCache.IsOpen() && m_bOwnerNameWritten) {
        HRESULT hr = SetOwnerNameLocked(u"");
        if (FAILED(hr))
            Trace("\nCDVREngine::ReleaseStub: clearing the owner name failed %s", TraceHr(hr));
    }
    m_bOwnerNameWritten = false;
    m_nSizeFieldSlot = -1;
    (void)m_stubCache.Attach(nullptr, false);
}

HRESULT CDVREngine::SetStubFileName(LPCWSTR pszPath, int cchPath, BOOL bReleasePrevious)
{
    if (!pszPath)
        return E_POINTER;
    if (cchPath < 0)
        cchPath = static_cast<int>(std::min<size_t>(WStrLen(pszPath), INT_MAX));
    CAutoLock lock(&m_csStubFile);
    if (bReleasePrevious)
        ReleaseStubLocked();
    return StorePathLocked(pszPath, static_cast<size_t>(cchPath));
}

HRESULT CDVREngine::OpenStubFileLocked()
{
    if (m_stubCache.IsOpen())
        return S_OK;
    if (m_strStubPath.empty())
        return E_UNEXPECTED;
    const DWORD dwAccess = m_bWriterMode ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
    std::unique_ptr<IFile> pFile;
    HRESULT hr = OpenFile(m_strStubPath.c_str(), dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, &pFile);
    if (FAILED(hr))
        return hr;
    return m_stubCache.Attach(pFile.release(), true);
}

HRESULT CDVREngine::OpenStubFile()
{
    CAutoLock lock(&m_csStubFile);
    return OpenStubFileLocked();
}

HRESULT CDVREngine::AttachStubFile(IFile* pFile, bool bOwnsFile)
{
    CAutoLock lock(&m_csStubFile);
    m_bOwnerNameWritten = false;
    return m_stubCache.Attach(pFile, bOwnsFile);
}

void CDVREngine::CloseStubFile()
{
    CAutoLock lock(&m_csStubFile);
    HRESULT hr = m_stubCache.Attach(nullptr, false);
    if (FAILED(hr))
        Trace("\nCDVREngine::CloseStubFile: flush failed %s", TraceHr(hr));
}

// ---------------------------------------------------------------------------
// Reading

HRESULT CDVREngine::ReadWordLocked(WORD* pw)
{
    BYTE ab[2];
    HRESULT hr = m_stubCache.Read(ab, sizeof(ab));
    if (SUCCEEDED(hr))
        *pw = GetLE16(ab);
    return hr;
}

HRESULT CDVREngine::GetStubHeaderSizeLocked()
{
    if (!m_stubCache.IsOpen())
        return E_UNEXPECTED;
    HRESULT hr = m_stubCache.Seek(0, FILE_BEGIN, nullptr);
    if (FAILED(hr))
        return hr;
    BYTE abStart[8];
    hr = m_stubCache.Read(abStart, sizeof(abStart));
    if (FAILED(hr))
        return hr;
    if (memcmp(abStart, kStubSignature, sizeof(kStubSignature)) != 0) {
        Trace("\nCDVREngine::GetStubHeaderSize: Error - Invalid stub file signature! It should start with TARNDVR!");
        return KVMM_E_DVR_CORRUPT_STUB_FILE;
    }
    if (abStart[7] != kStubVersion) {
        Trace("\nCDVREngine::GetStubHeaderSize: Error - Invalid stub file version! It should be 0, not %d!",
              static_cast<int>(abStart[7]));
        return KVMM_E_DVR_CORRUPT_STUB_FILE;
    }

    WORD nName = 0;
    hr = ReadWordLocked(&nName);
    if (FAILED(hr))
        return hr;
    const size_t cbName = 2 * static_cast<size_t>(nName);
    // N is a 16-bit count, so the name buffer never exceeds 128 KiB.
    if (m_cchOwnerNameBuffer < static_cast<size_t>(nName) + 1) {
        std::unique_ptr<WCHAR[]> pName(new (std::nothrow) WCHAR[nName + 1]);
        if (!pName)
            return E_OUTOFMEMORY;
        m_pOwnerName = std::move(pName);
        m_cchOwnerNameBuffer = static_cast<size_t>(nName) + 1;
    }
    if (cbName) {
        std::unique_ptr<BYTE[]> pb(new (std::nothrow) BYTE[cbName]);
        if (!pb)
            return E_OUTOFMEMORY;
        hr = m_stubCache.Read(pb.get(), static_cast<DWORD>(cbName));
        if (FAILED(hr))
            return hr;
        for (size_t i = 0; i < nName; ++i)
            m_pOwnerName[i] = GetLE16(pb.get() + 2 * i);
    }
    m_pOwnerName[nName] = 0;

    BYTE abTail[kGuidBytes + 4];
    hr = m_stubCache.Read(abTail, sizeof(abTail));
    if (FAILED(hr))
        return hr;
    m_nOwnerNameLength = nName;
    m_cbStubHeader = static_cast<DWORD>(cbName) + kHeaderFixedBytes;
    m_bOwnerNamePresent = nName > 0 && m_pOwnerName[0] != 0;
    m_guidStreamId = DecodeGuid(abTail);
    m_dwRecordCount = GetLE32(abTail + kGuidBytes);
    return S_OK;
}

HRESULT CDVREngine::GetStubHeaderSize()
{
    CAutoLock lock(&m_csStubFile);
    return GetStubHeaderSizeLocked();
}

HRESULT CDVREngine::SkipRecordingLocked()
{
    WORD cbRecord = 0;
    HRESULT hr = ReadWordLocked(&cbRecord);
    if (FAILED(hr))
        return hr;
    return m_stubCache.Seek(cbRecord, FILE_CURRENT, nullptr);
}

HRESULT CDVREngine::SkipRecording()
{
    CAutoLock lock(&m_csStubFile);
    return SkipRecordingLocked();
}

HRESULT CDVREngine::SeekInStubLocked(LONG nRecIndex)
{
    if (nRecIndex < 0)
        return E_INVALIDARG;
    HRESULT hr = OpenStubFileLocked();
    if (FAILED(hr))
        return hr;
    hr = GetStubHeaderSizeLocked();
    for (LONG i = 0; i < nRecIndex && SUCCEEDED(hr); ++i)
        hr = SkipRecordingLocked();
    return hr;
}

HRESULT CDVREngine::SeekInStubToRecordingFile(LONG nRecIndex)
{
    CAutoLock lock(&m_csStubFile);
    return SeekInStubLocked(nRecIndex);
}

// A 16-bit unit count M, then M units of which at most MAX_PATH are kept:
// a longer field is cut to MAX_PATH - 1 units and the rest is skipped, so
// the fields after it are read from their place.
HRESULT CDVREngine::ReadPathLocked(WCHAR (&wszPath)[MAX_PATH])
{
    WORD cch = 0;
    HRESULT hr = ReadWordLocked(&cch);
    if (FAILED(hr))
        return hr;
    const DWORD cchKeep = std::min<DWORD>(cch, MAX_PATH);
    BYTE ab[2 * MAX_PATH];
    hr = m_stubCache.Read(ab, 2 * cchKeep);
    if (FAILED(hr))
        return hr;
    for (DWORD i = 0; i < cchKeep; ++i)
        wszPath[i] = GetLE16(ab + 2 * i);
    if (cch >= MAX_PATH) {
        wszPath[MAX_PATH - 1] = 0;
        if (cch > MAX_PATH)
            hr = m_stubCache.Seek(2 * (static_cast<LONGLONG>(cch) - MAX_PATH), FILE_CURRENT, nullptr);
    } else {
        wszPath[cch] = 0;
    }
    return hr;
}

HRESULT CDVREngine::ReadRecordingInfoLocked(RecordingInfo* pInfo)
{
    WORD cbRecord = 0;  // the fields are read by their own lengths
    HRESULT hr = ReadWordLocked(&cbRecord);
    if (FAILED(hr))
        return hr;
    hr = ReadPathLocked(pInfo->path);
    if (FAILED(hr))
        return hr;
    BYTE ab[8 + 4 + kSystemTimeBytes];
    hr = m_stubCache.Read(ab, sizeof(ab));
    if (FAILED(hr))
        return hr;
    pInfo->size = static_cast<LONGLONG>(GetLE64(ab));
    pInfo->playIndex = static_cast<LONG>(GetLE32(ab + 8));
    pInfo->created = DecodeSystemTime(ab + 12);
    // A writer raises sizes from 0 and numbers recordings from 0 upwards;
    // anything else would send a reader's offset arithmetic or its walk in
    // play order (which steps to playIndex + 1) past the integer limits.
    if (pInfo->size < 0 || pInfo->playIndex < 0 || pInfo->playIndex == LONG(INT32_MAX)) {
        Trace("\nCDVREngine::ReadRecordingInfo: Error - Invalid record: size=%lld, playIndex=%d",
              static_cast<long long>(pInfo->size), static_cast<int>(pInfo->playIndex));
        return KVMM_E_DVR_CORRUPT_STUB_FILE;
    }
    return S_OK;
}

HRESULT CDVREngine::ReadRecordingInfo(RecordingInfo* pInfo)
{
    if (!pInfo)
        return E_POINTER;
    CAutoLock lock(&m_csStubFile);
    return ReadRecordingInfoLocked(pInfo);
}

HRESULT CDVREngine::ReadAllRecordingsInfo(LONG* pnCount, std::unique_ptr<RecordingInfo[]>* ppList,
                                          LONG* pnMinPlayIndex)
{
    if (!pnCount || !ppList)
        return E_POINTER;
    *pnCount = 0;
    ppList->reset();
    if (pnMinPlayIndex)
        *pnMinPlayIndex = -1;

    CAutoLock lock(&m_csStubFile);
    HRESULT hr = OpenStubFileLocked();
    if (SUCCEEDED(hr))
        hr = m_stubCache.Flush();  // see what other processes wrote since
    if (SUCCEEDED(hr))
        hr = GetStubHeaderSizeLocked();
    LONGLONG llFileSize = 0;
    if (SUCCEEDED(hr))
        hr = m_stubCache.GetFile()->GetSize(&llFileSize);
    if (FAILED(hr))
        return hr;

    // The count is untrusted: it must fit, at the smallest possible record
    // size, in the bytes that follow the header, so that neither the list nor
    // the walk can be larger than the file itself.
    const LONGLONG llRoom = std::max<LONGLONG>(0, llFileSize - m_cbStubHeader);
    const ULONGLONG ullMaxRecords = static_cast<ULONGLONG>(llRoom) / kMinRecordBytes;
    if (m_dwRecordCount > ullMaxRecords || m_dwRecordCount > static_cast<DWORD>(INT32_MAX)) {
        Trace("\nCDVREngine::ReadAllRecordingsInfo: Error - recordCount=%u does not fit in a stub of %lld bytes",
              static_cast<unsigned>(m_dwRecordCount), static_cast<long long>(llFileSize));
        return KVMM_E_DVR_CORRUPT_STUB_FILE;
    }
    const LONG nCount = static_cast<LONG>(m_dwRecordCount);
    if (nCount == 0)
        return S_OK;

    std::unique_ptr<RecordingInfo[]> pList(new (std::nothrow) RecordingInfo[nCount]);
    if (!pList)
        return E_OUTOFMEMORY;
    LONG nMinPlayIndex = INT32_MAX;
    LONGLONG llTotal = 0;
    for (LONG i = 0; i < nCount; ++i) {
        hr = ReadRecordingInfoLocked(&pList[i]);
        if (FAILED(hr))
            return hr;
        nMinPlayIndex = std::min(nMinPlayIndex, pList[i].playIndex);
        // Readers add up sizes to find stream offsets; a total past the
        // 64-bit limit cannot come from a writer.
        if (pList[i].size > MAX_INT64 - llTotal) {
            Trace("\nCDVREngine::ReadAllRecordingsInfo: Error - the sizes of the records overflow");
            return KVMM_E_DVR_CORRUPT_STUB_FILE;
        }
        llTotal += pList[i].size;
    }
    *pnCount = nCount;
    *ppList = std::move(pList);
    if (pnMinPlayIndex)
        *pnMinPlayIndex = nMinPlayIndex;
    return S_OK;
}

HRESULT CDVREngine::OpenRecordingForReading(LPCWSTR pszStoredPath, std::unique_ptr<IFile>* ppFile)
{
    if (!pszStoredPath || !ppFile)
        return E_POINTER;
    CWString strFolder, strStub;
    {
        CAutoLock lock(&m_csStubFile);
        strFolder = m_strStubFolder;
        strStub = m_strStubPath;
    }
    const CWString strStored = PathToNative(pszStoredPath);
    const CWString strFirst = PathIsRelative(strStored) ? PathJoin(strFolder, strStored) : strStored;
    const DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HRESULT hr = OpenFile(strFirst.c_str(), GENERIC_READ, dwShare, OPEN_EXISTING, ppFile);
    if (SUCCEEDED(hr)) {
        if (m_bWriterMode || IsInsideFolder(strFolder, strFirst))
            return hr;
        hr = CheckForeignRecording(strStub, strFirst, ppFile->get());
        if (SUCCEEDED(hr))
            return hr;
        ppFile->reset();
        return hr;
    }
    const CWString strSecond = PathJoin(strFolder, PathFileName(strStored));
    return OpenFile(strSecond.c_str(), GENERIC_READ, dwShare, OPEN_EXISTING, ppFile);
}

bool CDVREngine::IsInsideFolder(const CWString& strFolder, const CWString& strPath)
{
    CWString strAbs;
    if (strFolder.empty() || FAILED(PathMakeAbsolute(strPath, &strAbs)))
        return false;
    CWString strPrefix = strFolder;
    if (strPrefix.back() != u'/')
        strPrefix += u'/';
    return strAbs.size() > strPrefix.size() && strAbs.compare(0, strPrefix.size(), strPrefix) == 0;
}

// A stub is written by whoever could write its folder, and a reader may run
// with more rights than that person. A record naming a file elsewhere on the
// machine would otherwise let a planted stub make the reader serve, copy or
// wait on another user's files; such a path is honoured only when the file
// it names has the same owner as the stub itself. The owner is taken from
// the open descriptor, so a link swapped in after the check changes nothing.
HRESULT CDVREngine::CheckForeignRecording(const CWString& strStub, const CWString& strPath, IFile* pFile)
{
    DWORD dwStubOwner = 0, dwFileOwner = 0;
    HRESULT hr = GetFileOwner(strStub.c_str(), &dwStubOwner);
    if (SUCCEEDED(hr)) {
        hr = GetFileOwnerOfHandle(pFile->GetHandle(), &dwFileOwner);
        if (FAILED(hr))
            hr = GetFileOwner(strPath.c_str(), &dwFileOwner);  // a file without a descriptor (tests)
    }
    if (SUCCEEDED(hr) && dwStubOwner == dwFileOwner)
        return S_OK;
    Trace("\nCDVREngine::OpenRecordingForReading: the stub %S names %S outside its folder, owned by "
          "another user (%s). Refused",
          strStub.c_str(), strPath.c_str(), FAILED(hr) ? TraceHr(hr) : "owner differs");
    return KVMM_E_DVR_CORRUPT_STUB_FILE;
}

// ---------------------------------------------------------------------------
// Writing

HRESULT CDVREngine::CreateStubFile(LPCWSTR pszStubPath, LPCWSTR pszOwnerName, BOOL bReleasePrevious)
{
    if (!pszStubPath)
        return E_POINTER;
    if (WStrLen(pszOwnerName) >= static_cast<size_t>(kOwnerNameUnits))
        return E_INVALIDARG;
    CAutoLock lock(&m_csStubFile);
    if (bReleasePrevious)
        ReleaseStubLocked();
    HRESULT hr = StorePathLocked(pszStubPath, WStrLen(pszStubPath));
    if (FAILED(hr))
        return hr;

    if (m_stubCache.IsOpen()) {
        hr = m_stubCache.Seek(0, FILE_BEGIN, nullptr);
    } else {
        std::unique_ptr<IFile> pFile;
        hr = OpenFile(m_strStubPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      CREATE_ALWAYS, &pFile);
        if (SUCCEEDED(hr))
            hr = m_stubCache.Attach(pFile.release(), true);
    }
    if (FAILED(hr))
        return hr;

    BYTE abHeader[kStubHeaderBytes];
    hr = EncodeStubHeader(pszOwnerName, m_guidStreamId, 0, abHeader);
    if (SUCCEEDED(hr))
        hr = m_stubCache.Write(abHeader, sizeof(abHeader));
    if (FAILED(hr))
        return hr;

    m_nCurRecIndex = -1;
    m_nCurPlayIndex = -1;
    hr = m_stubCache.Flush();
    if (FAILED(hr))
        return hr;
    const size_t cchOwner = WStrLen(pszOwnerName);
    m_nOwnerNameLength = kOwnerNameUnits;
    m_cbStubHeader = kStubHeaderBytes;
    m_dwRecordCount = 0;
    m_bOwnerNamePresent = cchOwner > 0;
    m_bOwnerNameWritten = cchOwner > 0;
    if (m_cchOwnerNameBuffer < static_cast<size_t>(kOwnerNameUnits) + 1) {
        std::unique_ptr<WCHAR[]> pName(new (std::nothrow) WCHAR[kOwnerNameUnits + 1]);
        if (!pName)
            return E_OUTOFMEMORY;
        m_pOwnerName = std::move(pName);
        m_cchOwnerNameBuffer = kOwnerNameUnits + 1;
    }
    for (size_t i = 0; i <= cchOwner; ++i)
        m_pOwnerName[i] = i < cchOwner ? pszOwnerName[i] : 0;
    return S_OK;
}

// The path a record keeps for a recording: its file name when it lies in
// the stub folder, a path relative to the stub folder when it lies on the
// same file system (so that the buffer can be moved as a whole), else the
// full path. Paths compare with regard to case: POSIX names are
// case-sensitive.
HRESULT CDVREngine::StoredPathFor(LPCWSTR pszPath, WCHAR (&wszStored)[MAX_PATH])
{
    CWString strAbsolute;
    HRESULT hr = PathMakeAbsolute(PathToNative(pszPath), &strAbsolute);
    if (FAILED(hr))
        return hr;
    const CWString strFolder = PathFolder(strAbsolute);
    CWString strStored;
    if (strFolder == m_strStubFolder)
        strStored = PathFileName(strAbsolute);
    else if (PathsOnSameFileSystem(strFolder, m_strStubFolder))
        strStored = PathRelativeTo(m_strStubFolder, strAbsolute);
    // A relative form can be longer than the full path when it climbs far.
    if (strStored.empty() || strStored.size() >= static_cast<size_t>(MAX_PATH))
        strStored = strAbsolute;
    if (strStored.size() >= static_cast<size_t>(MAX_PATH))
        return CO_E_PATHTOOLONG;
    // The whole buffer is written; zero what follows the terminator so that
    // no stale memory reaches the disk.
    memset(wszStored, 0, sizeof(wszStored));
    for (size_t i = 0; i < strStored.size(); ++i)
        wszStored[i] = strStored[i];
    return S_OK;
}

HRESULT CDVREngine::CreateRecording(LPCWSTR pszPath, LONG nRecIndex, LONG nPlayIndex,
                                    std::unique_ptr<IFile>* ppFile)
{
    if (!pszPath || !ppFile)
        return E_POINTER;
    ppFile->reset();
    if (WStrLen(pszPath) >= static_cast<size_t>(MAX_PATH))
        return CO_E_PATHTOOLONG;

    CAutoLock lock(&m_csStubFile);
    std::unique_ptr<IFile> pFile;
    HRESULT hr = OpenFile(pszPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                          &pFile);
    WCHAR wszStored[MAX_PATH];
    if (SUCCEEDED(hr))
        hr = StoredPathFor(pszPath, wszStored);
    if (SUCCEEDED(hr))
        hr = SeekInStubLocked(nRecIndex);
    if (SUCCEEDED(hr))
        hr = m_stubCache.SeekToCurrentPosition();
    const LONGLONG llRecord = m_stubCache.GetPosition();
    if (SUCCEEDED(hr)) {
        BYTE abRecord[kRecordBytes];
        EncodeRecord(wszStored, 0, nPlayIndex, GetUtcNow(), abRecord);
        hr = m_stubCache.Write(abRecord, sizeof(abRecord));
    }
    if (SUCCEEDED(hr))
        hr = m_stubCache.Flush();
    if (FAILED(hr)) {
        Trace("\nCDVREngine::CreateRecording failed 0x%08X", static_cast<unsigned>(hr));
        return hr;  // pFile closes the recording
    }
    m_nSizeFieldSlot = nRecIndex;
    m_llSizeFieldPos = llRecord + kRecordSizeFieldOffset;
    Trace("\nCDVREngine::CreateRecording(nRecIndex=%d, nPlayIndex=%d) succeeded, handle=0x%08X",
          static_cast<int>(nRecIndex), static_cast<int>(nPlayIndex), static_cast<unsigned>(pFile->GetHandle()));
    *ppFile = std::move(pFile);
    return S_OK;
}

HRESULT CDVREngine::WriteRecordCount(DWORD dwCount)
{
    CAutoLock lock(&m_csStubFile);
    HRESULT hr = OpenStubFileLocked();
    if (SUCCEEDED(hr))
        hr = m_stubCache.Seek(8, FILE_BEGIN, nullptr);
    WORD nName = 0;
    if (SUCCEEDED(hr))
        hr = ReadWordLocked(&nName);
    if (SUCCEEDED(hr))
        hr = m_stubCache.Seek(2 * static_cast<LONGLONG>(nName) + kGuidBytes, FILE_CURRENT, nullptr);
    if (SUCCEEDED(hr)) {
        BYTE ab[4];
        PutLE32(ab, dwCount);
        hr = m_stubCache.Write(ab, sizeof(ab));
    }
    if (SUCCEEDED(hr))
        hr = m_stubCache.Flush();
    if (SUCCEEDED(hr))
        m_dwRecordCount = dwCount;
    return hr;
}

HRESULT CDVREngine::WriteRecordingSizeLocked(LONGLONG llSize)
{
    if (m_nCurRecIndex < 0)
        return E_UNEXPECTED;
    // The record was written by us at a place we know: the size alone is
    // written there, one small write in place of a walk over the records and
    // a rewrite of the cache's whole buffer.
    if (m_nSizeFieldSlot == m_nCurRecIndex && m_llSizeFieldPos >= 0) {
        HRESULT hr = OpenStubFileLocked();
        if (FAILED(hr))
            return hr;
        BYTE ab[8];
        PutLE64(ab, static_cast<ULONGLONG>(llSize));
        return m_stubCache.WriteThrough(m_llSizeFieldPos, ab, sizeof(ab));
    }
    HRESULT hr = SeekInStubLocked(m_nCurRecIndex);
    WORD w = 0;
    if (SUCCEEDED(hr))
        hr = ReadWordLocked(&w);  // L
    if (SUCCEEDED(hr))
        hr = ReadWordLocked(&w);  // M
    if (SUCCEEDED(hr))
        hr = m_stubCache.Seek(2 * static_cast<LONGLONG>(w), FILE_CURRENT, nullptr);
    if (SUCCEEDED(hr)) {
        BYTE ab[8];
        PutLE64(ab, static_cast<ULONGLONG>(llSize));
        hr = m_stubCache.Write(ab, sizeof(ab));
    }
    if (SUCCEEDED(hr))
        hr = m_stubCache.Seek(4 + kSystemTimeBytes, FILE_CURRENT, nullptr);
    if (SUCCEEDED(hr))
        hr = m_stubCache.Flush();
    return hr;
}

HRESULT CDVREngine::SetRecordingSize(LONGLONG llSize)
{
    HRESULT hr;
    {
        CAutoLock lock(&m_csStubFile);
        hr = WriteRecordingSizeLocked(llSize);
    }
    if (SUCCEEDED(hr))
        OnRecordingsChanged();
    return hr;
}

bool CDVREngine::IsStubOpen()
{
    CAutoLock lock(&m_csStubFile);
    return m_stubCache.IsOpen();
}

HRESULT CDVREngine::SetOwnerNameLocked(LPCWSTR pszName)
{
    const size_t cch = WStrLen(pszName);
    if (cch >= static_cast<size_t>(kOwnerNameUnits))
        return E_INVALIDARG;
    HRESULT hr = OpenStubFileLocked();
    if (SUCCEEDED(hr))
        hr = m_stubCache.Seek(10, FILE_BEGIN, nullptr);
    if (SUCCEEDED(hr)) {
        BYTE ab[2 * kOwnerNameUnits];
        for (size_t i = 0; i <= cch; ++i)
            PutLE16(ab + 2 * i, i < cch ? pszName[i] : 0);
        hr = m_stubCache.Write(ab, static_cast<DWORD>(2 * (cch + 1)));
    }
    if (SUCCEEDED(hr))
        hr = m_stubCache.Flush();
    if (FAILED(hr))
        return hr;
    m_bOwnerNameWritten = cch > 0;
    m_bOwnerNamePresent = cch > 0;
    if (m_pOwnerName && m_cchOwnerNameBuffer > cch)
        for (size_t i = 0; i <= cch; ++i)
            m_pOwnerName[i] = i < cch ? pszName[i] : 0;
    return S_OK;
}

HRESULT CDVREngine::SetOwnerName(LPCWSTR pszName)
{
    CAutoLock lock(&m_csStubFile);
    return SetOwnerNameLocked(pszName);
}

// ---------------------------------------------------------------------------
// Accessors

CWString CDVREngine::GetOwnerName()
{
    CAutoLock lock(&m_csStubFile);
    return m_pOwnerName ? CWString(m_pOwnerName.get()) : CWString();
}

GUID CDVREngine::GetStreamId()
{
    CAutoLock lock(&m_csStubFile);
    return m_guidStreamId;
}

void CDVREngine::SetStreamId(REFGUID guid)
{
    CAutoLock lock(&m_csStubFile);
    m_guidStreamId = guid;
}

DWORD CDVREngine::GetRecordCount()
{
    CAutoLock lock(&m_csStubFile);
    return m_dwRecordCount;
}

DWORD CDVREngine::GetStubHeaderBytes()
{
    CAutoLock lock(&m_csStubFile);
    return m_cbStubHeader;
}

CWString CDVREngine::GetStubPath()
{
    CAutoLock lock(&m_csStubFile);
    return m_strStubPath;
}

CWString CDVREngine::GetStubFolder()
{
    CAutoLock lock(&m_csStubFile);
    return m_strStubFolder;
}
