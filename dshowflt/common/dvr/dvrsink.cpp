// CBaseDVRSink: starting, writing, publishing and stopping the ring, and the
// object-table entry. The attributes are in dvrsinkattr.cpp, the reader
// registry and the queries in dvrsinkreaders.cpp.
#include "dshowflt/common/dvr/dvrsink.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "dshowflt/common/trace/trace.h"
#include "platform/rot.h"
#include "platform/thread.h"

using namespace dvr;

namespace {

constexpr LONGLONG kDefaultFileSize = 0xA00000;  // 10 MiB
constexpr LONG kDefaultFileCount = 10;
// Sizes reach readers at least this often while data arrives...
constexpr DWORD kPublishIntervalMs = 25;
// ...or as soon as this much is unpublished.
constexpr LONGLONG kPublishBytes = 2048;
// Capture, Capture0 ... Capture9998: past that the folder is not usable.
constexpr int kMaxNameAttempts = 10000;

// An owner name names a live writer when it carries "pid <hex>" of a
// process that exists; a name in another form is taken to be live, since we
// cannot tell, and an empty one means nobody owns the stub.
bool OwnerIsLive(const CWString& strOwner)
{
    if (strOwner.empty())
        return false;
    const size_t nPos = strOwner.find(u"pid ");
    if (nPos == CWString::npos)
        return true;
    DWORD dwPid = 0;
    int nDigits = 0;
    for (size_t i = nPos + 4; i < strOwner.size() && nDigits < 8; ++i, ++nDigits) {
        const WCHAR ch = strOwner[i];
        int nValue;
        if (ch >= u'0' && ch <= u'9')
            nValue = ch - u'0';
        else if (ch >= u'a' && ch <= u'f')
            nValue = ch - u'a' + 10;
        else if (ch >= u'A' && ch <= u'F')
            nValue = ch - u'A' + 10;
        else
            break;
        dwPid = (dwPid << 4) | static_cast<DWORD>(nValue);
    }
    return IsProcessAlive(dwPid);
}

}  // namespace

// ---------------------------------------------------------------------------
// The status snapshot

void CDVRStatusSnapshot::Store(const SValue& v)
{
    const DWORD dw = m_dwSequence.load(std::memory_order_relaxed);
    m_dwSequence.store(dw + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_lStatus.store(v.lStatus, std::memory_order_relaxed);
    m_lFolder.store(v.lFolder, std::memory_order_relaxed);
    m_lSlot.store(v.lSlot, std::memory_order_relaxed);
    m_llCurrentSize.store(v.llCurrentSize, std::memory_order_relaxed);
    m_dwSequence.store(dw + 2, std::memory_order_release);
}

CDVRStatusSnapshot::SValue CDVRStatusSnapshot::Load() const
{
    SValue v;
    for (;;) {
        const DWORD dw1 = m_dwSequence.load(std::memory_order_acquire);
        v.lStatus = m_lStatus.load(std::memory_order_relaxed);
        v.lFolder = m_lFolder.load(std::memory_order_relaxed);
        v.lSlot = m_lSlot.load(std::memory_order_relaxed);
        v.llCurrentSize = m_llCurrentSize.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        const DWORD dw2 = m_dwSequence.load(std::memory_order_relaxed);
        // A store takes a few stores of a word each: a reader that raced
        // one tries again at once rather than wait for anything.
        if (dw1 == dw2 && (dw1 & 1) == 0)
            return v;
    }
}

// ---------------------------------------------------------------------------
// Construction

CBaseDVRSink::CBaseDVRSink(const char* pszName, IUnknown* pUnkOuter)
    : CDVREngine(true), CUnknown(pszName, pUnkOuter)
{
    CWString strTemp;
    if (FAILED(GetTempFolder(&strTemp)) || strTemp.size() >= static_cast<size_t>(MAX_PATH))
        strTemp.assign(1, u'/');  // (assigning the literal trips a false -Wrestrict in g++ 12 -O2)
    CAutoLock lock(&m_csFolders);
    // Construction cannot fail: without memory for one folder the set stays
    // empty and StartDVR answers E_UNEXPECTED.
    m_active.pFolders.reset(new (std::nothrow) DVRFolder[1]);
    if (m_active.pFolders) {
        DVRFolder& f = m_active.pFolders[0];
        memset(&f, 0, sizeof(f));
        for (size_t i = 0; i < strTemp.size(); ++i)
            f.path[i] = strTemp[i];
        f.firstIndex = 0;
        f.fileCount = kDefaultFileCount;
        f.fileSize = kDefaultFileSize;
        m_active.nFolders = 1;
    }
    m_evNoChangeApplying.Set();
}

CBaseDVRSink::~CBaseDVRSink()
{
    {
        CAutoLock lock(&m_csWriter);
        if (m_bWriting || m_pRecording) {
            HRESULT hr = StopLocked();
            if (FAILED(hr))
                Trace("\nCBaseDVRSink::~CBaseDVRSink: StopDVR failed %s", TraceHr(hr));
        }
    }
    {
        CAutoLock lock(&m_csBackup);
        m_pBackup.reset();
    }
    ClearReaders();
}

HRESULT CBaseDVRSink::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IKVDVRSink || riid == IID_IKVDVRSink1 || riid == IID_IKVDVRSink2 || riid == IID_IKVDVRSink3)
        return GetInterface(static_cast<IKVDVRSink*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

bool CBaseDVRSink::IsWriting() const
{
    return m_status.Load().lStatus == DVRStatus_Writing;
}

CWString CBaseDVRSink::GetObjectTableName()
{
    CAutoLock lock(&m_csWriter);
    return m_strRotName;
}

void CBaseDVRSink::StoreStatusLocked()
{
    CDVRStatusSnapshot::SValue v;
    v.lStatus = m_bWriting ? DVRStatus_Writing : DVRStatus_Stopped;
    {
        CAutoLock lockStub(&m_csStubFile);
        v.lSlot = m_nCurRecIndex;
    }
    v.lFolder = m_running.pFolders ? FolderOfSlot(m_running.pFolders.get(), m_running.nFolders, v.lSlot) : -1;
    v.llCurrentSize = m_llCurSize;
    m_status.Store(v);
}

// ---------------------------------------------------------------------------
// Start and stop

HRESULT CBaseDVRSink::StartDVR(const GUID* pStreamId)
{
    // Asked before the lock: the receive thread's answer may need its filter.
    const bool bRegister = ShouldRegisterInObjectTable() != FALSE;
    CAutoLock lock(&m_csWriter);
    return StartLocked(pStreamId ? *pStreamId : GUID_NULL, bRegister);
}

HRESULT CBaseDVRSink::ChooseBaseNameLocked(CWString* pstrName)
{
    const CWString strFolder(m_running.pFolders[0].path);
    for (int nAttempt = 0; nAttempt < kMaxNameAttempts; ++nAttempt) {
        CWString strName = u"Capture";
        if (nAttempt > 0)
            strName += Utf8ToWide(std::to_string(nAttempt - 1));
        const CWString strStub = PathJoin(strFolder, StubFileName(strName));
        if (strStub.size() >= static_cast<size_t>(MAX_PATH))
            return CO_E_PATHTOOLONG;
        // An exclusive open fails while anyone else has the stub open, and
        // refuses a symbolic link planted under the name: both make the name
        // taken. A free name's stub stays open for CreateStubFile.
        std::unique_ptr<IFile> pFile;
        HRESULT hr = OpenFile(strStub.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS, &pFile);
        if (FAILED(hr)) {
            // Only a name that exists in some form is taken. Anything else
            // (no such folder, a folder we may not write, a file where the
            // folder should be, a full disk) fails every name alike: it is
            // the answer, not a reason to try the next one.
            if (FileExists(strStub.c_str()))
                continue;
            Trace("\nCBaseDVRSink::StartDVR: cannot create a stub in %S: %s", strFolder.c_str(), TraceHr(hr));
            return hr;
        }
        hr = AttachStubFile(pFile.release(), true);
        if (FAILED(hr)) {
            CloseStubFile();
            return hr;
        }
        // A stub whose header cannot be read belongs to nobody.
        if (SUCCEEDED(GetStubHeaderSize()) && OwnerIsLive(GetOwnerName())) {
            CloseStubFile();
            continue;
        }
        *pstrName = std::move(strName);
        return S_OK;
    }
    Trace("\nCBaseDVRSink::StartDVR: no free stub name in %S", strFolder.c_str());
    return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
}

HRESULT CBaseDVRSink::StartLocked(const GUID& guidStream, bool bRegister)
{
    if (m_bWriting || m_pRecording) {
        HRESULT hr = StopLocked();
        if (FAILED(hr))
            Trace("\nCBaseDVRSink::StartDVR: stopping the previous buffer failed %s", TraceHr(hr));
    }
    m_guidStream = guidStream;
    SetStreamId(guidStream);

    if (m_dwRotCookie == 0 && bRegister) {
        // The table only records us (and, across processes, starts serving
        // us); it never calls back into the sink, so the lock may be held.
        HRESULT hr = AddSinkToROTLocked();
        if (FAILED(hr))
            Trace("\nCBaseDVRSink::StartDVR: Warning AddSinkToROT failed %s", TraceHr(hr));
    }
    HRESULT hr;
    {
        CAutoLock lock(&m_csFolders);
        hr = m_running.CopyFrom(m_active);
    }
    if (FAILED(hr))
        return hr;
    if (m_running.nFolders < 1 || !m_running.pFolders)
        return E_UNEXPECTED;

    bool bStubOurs = false;
    hr = StartBufferLocked(&bStubOurs);
    if (FAILED(hr)) {
        Trace("\nCBaseDVRSink::StartDVR failed %s", TraceHr(hr));
        // Leave nothing half made: a stub this start wrote is released and
        // removed (as is the first recording, see CreateNextRecordingLocked),
        // so that the name is free again and no later start takes over an
        // empty buffer.
        const CWString strStub = GetStubPath();
        HRESULT hrStop = StopLocked();
        (void)hrStop;
        if (bStubOurs && !strStub.empty() && FileExists(strStub.c_str())) {
            HRESULT hrDelete = DeleteFile(strStub.c_str());
            if (FAILED(hrDelete))
                Trace("\nCBaseDVRSink::StartDVR: removing %S failed %s", strStub.c_str(), TraceHr(hrDelete));
        }
        m_strStubInUse.clear();
        m_bStubKnown.store(false, std::memory_order_release);
        CAutoLock lockStub(&m_csStubFile);
        m_bHaveRecords = false;
    }
    return hr;
}

HRESULT CBaseDVRSink::StartBufferLocked(bool* pbStubOurs)
{
    m_bWriting = true;
    const bool bAppName = !m_running.strBaseName.empty();
    CWString strName = m_running.strBaseName;
    HRESULT hr = S_OK;
    if (!bAppName) {
        hr = ChooseBaseNameLocked(&strName);
        if (FAILED(hr))
            return hr;
        *pbStubOurs = true;  // open, and ours alone to rewrite
    }
    const CWString strStub = PathJoin(CWString(m_running.pFolders[0].path), StubFileName(strName));
    const bool bExisted = bAppName && FileExists(strStub.c_str());
    {
        // A fresh stub holds no records: what the range reports starts over
        // with it.
        CAutoLock lockStub(&m_csStubFile);
        m_llFirstKept = 0;
        m_bHaveRecords = false;
        m_llPublishedTotal.store(0, std::memory_order_release);
        const LONG nSlots = m_running.SlotCount();
        if (nSlots != m_nSlotSizes) {
            m_pSlotSizes.reset(new (std::nothrow) LONGLONG[nSlots > 0 ? nSlots : 1]);
            m_nSlotSizes = m_pSlotSizes ? nSlots : 0;
            if (!m_pSlotSizes)
                hr = E_OUTOFMEMORY;
        }
        for (LONG i = 0; i < m_nSlotSizes; ++i)
            m_pSlotSizes[i] = 0;
    }
    if (SUCCEEDED(hr))
        hr = CreateStubFile(strStub.c_str(), m_strRotName.c_str(), bAppName ? TRUE : FALSE);
    // The stub is ours once we opened it for writing, or made it.
    if (IsStubOpen() || (bAppName && !bExisted && FileExists(strStub.c_str())))
        *pbStubOurs = true;
    if (FAILED(hr)) {
        CloseStubFile();
        return hr;
    }
    m_strBaseNameInUse = strName;
    m_strStubInUse = strStub;
    m_bStubKnown.store(true, std::memory_order_release);
    m_bOwnerNameInStub = !m_strRotName.empty();
    m_llCurSize = 0;
    m_llLastPublished = 0;
    m_llTotal = 0;
    m_dwLastPublishTick = GetTickCount();
    m_heldBack.Empty();
    {
        // Offsets start again at 0: the indexes say they belong to a new stream.
        CAutoLock lockId(&m_csStreamId);
        m_guidIndexStream = NewStreamIdentifier();
    }
    hr = CreateNextRecordingLocked();
    if (SUCCEEDED(hr))
        StoreStatusLocked();
    return hr;
}

HRESULT CBaseDVRSink::StopDVR()
{
    CAutoLock lock(&m_csWriter);
    return StopLocked();
}

HRESULT CBaseDVRSink::RestartDVR()
{
    const bool bRegister = ShouldRegisterInObjectTable() != FALSE;
    CAutoLock lock(&m_csWriter);
    HRESULT hr = StopLocked();
    if (FAILED(hr))
        Trace("\nCBaseDVRSink::RestartDVR: stop failed %s", TraceHr(hr));
    return StartLocked(m_guidStream, bRegister);
}

HRESULT CBaseDVRSink::StopLocked()
{
    HRESULT hr = S_OK;
    if (m_pRecording)
        hr = CloseRecordingLocked();

    // The list of files to delete is read while the stub is still ours.
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    const CWString strStub = m_strStubInUse;
    const bool bDelete = m_bDeleteOnStop.load(std::memory_order_acquire) && !strStub.empty();
    if (bDelete) {
        HRESULT hrRead = ReadAllRecordingsInfo(&nCount, &pList);
        if (FAILED(hrRead))
            Trace("\nCBaseDVRSink::StopDVR: reading the records to delete failed %s", TraceHr(hrRead));
    }
    if (!strStub.empty()) {
        // Releasing clears an owner name we wrote, which needs the stub open.
        (void)OpenStubFile();
        HRESULT hrRelease = SetStubFileName(strStub.c_str(), -1, TRUE);
        if (FAILED(hrRelease))
            Trace("\nCBaseDVRSink::StopDVR: releasing the stub failed %s", TraceHr(hrRelease));
        CloseStubFile();
    }
    m_bOwnerNameInStub = false;
    if (m_dwRotCookie != 0 && m_dwRotThread == GetCurrentThreadId())
        RevokeLocked();
    if (bDelete) {
        DeleteBufferFiles(pList.get(), nCount, strStub);
        m_strStubInUse.clear();
        m_bStubKnown.store(false, std::memory_order_release);
        CAutoLock lockStub(&m_csStubFile);
        m_bHaveRecords = false;
    }
    m_heldBack.Empty();
    m_bWriting = false;
    StoreStatusLocked();
    return hr;
}

void CBaseDVRSink::DeleteBufferFiles(const RecordingInfo* pList, LONG nCount, const CWString& strStubPath)
{
    // Stored paths are relative to the stub's folder (or full), so joining
    // them to that folder names the file in whichever folder it lies.
    CWString strStubAbs;
    if (FAILED(PathMakeAbsolute(strStubPath, &strStubAbs)))
        strStubAbs = strStubPath;
    const CWString strFolder = PathFolder(strStubAbs);
    for (LONG i = 0; i < nCount; ++i) {
        const CWString strStored = PathToNative(pList[i].path);
        if (strStored.empty())
            continue;
        const CWString strPath = PathIsRelative(strStored) ? PathJoin(strFolder, strStored) : strStored;
        HRESULT hr = DeleteFile(strPath.c_str());
        if (FAILED(hr))
            Trace("\nDeleteRecordingProc: DeleteFile(%S) returned %s", strPath.c_str(), TraceHr(hr));
        // The index goes with its recording; a recording may have none.
        const CWString strIndex = IndexPathFor(strPath);
        if (FileExists(strIndex.c_str()) && FAILED(hr = DeleteFile(strIndex.c_str())))
            Trace("\nDeleteRecordingProc: DeleteFile(%S) returned %s", strIndex.c_str(), TraceHr(hr));
    }
    HRESULT hr = DeleteFile(strStubAbs.c_str());
    if (FAILED(hr))
        Trace("\nCBaseDVRSink::ClearStubFile: DeleteFile(%S) returned %s", strStubAbs.c_str(), TraceHr(hr));
}

// ---------------------------------------------------------------------------
// Recordings

HRESULT CBaseDVRSink::CreateNextRecordingLocked()
{
    if (m_running.nFolders < 1 || !m_running.pFolders)
        return E_UNEXPECTED;
    LONG nCurSlot, nCurPlay;
    {
        CAutoLock lockStub(&m_csStubFile);
        nCurSlot = m_nCurRecIndex;
        nCurPlay = m_nCurPlayIndex;
    }
    LONG nSlot = nCurSlot + 1;
    if (nSlot >= m_running.SlotCount())
        nSlot = 0;
    if (nCurPlay == INT32_MAX) {
        // Two thousand million recordings: the play order cannot go on.
        Trace("\nCBaseDVRSink::CreateNextRecording: playIndex exhausted");
        return E_UNEXPECTED;
    }
    CWString strPath;
    HRESULT hr = RecordingPath(m_running.pFolders.get(), m_running.nFolders, m_strBaseNameInUse, nSlot, &strPath);
    if (FAILED(hr))
        return hr;

    const bool bExisted = FileExists(strPath.c_str());
    {
        CAutoLock lockStub(&m_csStubFile);
        if (nSlot == m_nRecordingInUse.load(std::memory_order_acquire))
            return KVMM_E_DVR_RECORDINGINUSE;
        std::unique_ptr<IFile> pFile;
        hr = CreateRecording(strPath.c_str(), nSlot, nCurPlay + 1, &pFile);
        if (SUCCEEDED(hr)) {
            ++m_nCurPlayIndex;
            m_nCurRecIndex = nSlot;
            const int nFolder = FolderOfSlot(m_running.pFolders.get(), m_running.nFolders, nSlot);
            m_llSizeLimit = m_running.pFolders[nFolder < 0 ? 0 : nFolder].fileSize;
            m_pRecording = std::move(pFile);
            // The record of the slot now names the new recording: the old
            // one's bytes are no longer part of the stream.
            if (nSlot < m_nSlotSizes) {
                m_llFirstKept += m_pSlotSizes[nSlot];
                m_pSlotSizes[nSlot] = 0;
            }
            m_bHaveRecords = true;
            if (m_nCurPlayIndex == m_nCurRecIndex)
                hr = WriteRecordCount(static_cast<DWORD>(m_nCurPlayIndex) + 1);
        }
    }
    if (FAILED(hr) && !m_pRecording && !bExisted && FileExists(strPath.c_str())) {
        // Made by this attempt, and named by no record: it must not stay.
        HRESULT hrDelete = DeleteFile(strPath.c_str());
        if (FAILED(hrDelete))
            Trace("\nCBaseDVRSink::CreateNextRecording: removing %S failed %s", strPath.c_str(), TraceHr(hrDelete));
    }
    // Readers open the stub themselves; ours is opened again when needed.
    CloseStubFile();
    if (FAILED(hr))
        return hr;
    m_llCurSize = 0;
    BeginIndexLocked(strPath);
    StoreStatusLocked();
    SignalReaders(false, true);
    return S_OK;
}

HRESULT CBaseDVRSink::CloseRecordingLocked()
{
    HRESULT hr = S_OK;
    if (m_bCutOnClose)
        hr = m_pRecording->SetEndOfFile();  // the pointer sits after the last byte written
    m_pRecording.reset();
    EndIndexLocked();
    HRESULT hrPublish = PublishLocked();
    if (SUCCEEDED(hr))
        hr = hrPublish;
    m_llCurSize = 0;
    m_llLastPublished = 0;
    return hr;
}

HRESULT CBaseDVRSink::PublishLocked()
{
    HRESULT hr;
    {
        // The record's size, the slot's size and the published total change
        // in one section of the stub lock, which is where GetAvailableRange
        // reads them.
        CAutoLock lockStub(&m_csStubFile);
        hr = WriteRecordingSizeLocked(m_llCurSize);
        if (SUCCEEDED(hr)) {
            if (m_nCurRecIndex >= 0 && m_nCurRecIndex < m_nSlotSizes)
                m_pSlotSizes[m_nCurRecIndex] = m_llCurSize;
            m_llPublishedTotal.store(m_llTotal, std::memory_order_release);
        }
    }
    if (FAILED(hr))
        return hr;
    m_llLastPublished = m_llCurSize;
    m_dwLastPublishTick = GetTickCount();
    SignalReaders(false, true);
    SignalReachedTargets(m_llTotal);
    return S_OK;
}

HRESULT CBaseDVRSink::WriteData(const BYTE* pb, LONG cb)
{
    if (!pb && cb > 0)
        return E_POINTER;
    if (cb < 0)
        return E_INVALIDARG;
    const FileChunk chunk = {pb, static_cast<DWORD>(cb)};
    return WriteDataV(&chunk, 1, nullptr);
}

HRESULT CBaseDVRSink::WriteDataV(const FileChunk* pChunks, LONG nChunks, LONG* pnDone)
{
    if (pnDone)
        *pnDone = 0;
    if (!pChunks && nChunks > 0)
        return E_POINTER;
    for (LONG i = 0; i < nChunks; ++i) {
        if (!pChunks[i].pb && pChunks[i].cb > 0)
            return E_POINTER;
        if (pChunks[i].cb > static_cast<DWORD>(INT32_MAX))
            return E_INVALIDARG;
    }
    HRESULT hrBackup = S_OK;
    HRESULT hr;
    LONG nDone = 0;
    {
        CAutoLock lock(&m_csWriter);
        hr = WriteLocked(pChunks, nChunks, &nDone, &hrBackup);
    }
    if (pnDone)
        *pnDone = nDone;
    // Told with no lock held: the receive thread hands it to the application.
    if (FAILED(hrBackup))
        NotifyEvent(kDVREventBackupFailed, static_cast<LONG_PTR>(hrBackup), 0);
    return hr;
}

HRESULT CBaseDVRSink::WriteLocked(const FileChunk* pChunks, LONG nChunks, LONG* pnDone, HRESULT* phrBackup)
{
    if (!m_bWriting)
        return VFW_E_WRONG_STATE;
    m_bArrivalNoted = false;

    LONG i = 0;
    while (i < nChunks) {
        const LONGLONG cbFirst = pChunks[i].cb;
        // Never split a block: a block that does not fit closes the
        // recording, unless the recording is still empty (an oversized block
        // then fills a fresh recording on its own).
        if (m_pRecording && m_llCurSize > 0 && m_llCurSize + cbFirst > m_llSizeLimit) {
            NoteArrivalLocked();
            HRESULT hr = CloseRecordingLocked();
            if (FAILED(hr))
                return hr;
        }
        bool bHeldBack = false;
        if (!m_pRecording) {
            NoteArrivalLocked();
            HRESULT hr = CreateNextRecordingLocked();
            if (hr == KVMM_E_DVR_RECORDINGINUSE) {
                // Our own copy holds the slot: keep the block, in order, until
                // it lets go.
                HRESULT hrKeep = m_heldBack.Append(pChunks[i].pb, static_cast<LONG>(cbFirst));
                if (FAILED(hrKeep))
                    return hrKeep;
                *pnDone = i + 1;
                return hr;
            }
            if (FAILED(hr))
                return hr;
            m_llCurSize = 0;
            m_llLastPublished = 0;
            bHeldBack = m_heldBack.Length() > 0;
        }
        // The blocks after the first that still fit go with it in one write.
        LONGLONG cbRun = (bHeldBack ? m_heldBack.Length() : 0) + cbFirst;
        LONG j = i + 1;
        while (j < nChunks && m_llCurSize + cbRun + pChunks[j].cb <= m_llSizeLimit) {
            cbRun += pChunks[j].cb;
            ++j;
        }
        const LONGLONG llRunStart = m_llTotal;
        HRESULT hr = WriteRunLocked(pChunks + i, j - i, bHeldBack, phrBackup);
        if (FAILED(hr))
            return hr;
        // The entries go to disk before the size that covers them is
        // published, which closing the recording in the next turn does.
        if (m_llTotal > llRunStart)
            IndexBlockLocked(llRunStart, GetTickCount());
        i = j;
        *pnDone = i;
    }

    const DWORD dwNow = GetTickCount();
    if (AnyTargetBelow(m_llTotal) || m_llCurSize - m_llLastPublished > kPublishBytes ||
        TickDiff(dwNow, m_dwLastPublishTick) > kPublishIntervalMs) {
        HRESULT hr = PublishLocked();
        if (FAILED(hr))
            Trace("\nBaseDVRSink::WriteData: SetRecordingSize(%d) failed %s", static_cast<int>(m_llCurSize),
                  TraceHr(hr));
    }
    return S_OK;
}

HRESULT CBaseDVRSink::WriteRunLocked(const FileChunk* pChunks, LONG nChunks, bool bHeldBackFirst,
                                     HRESULT* phrBackup)
{
    const FileChunk held = {m_heldBack.Data(), static_cast<DWORD>(bHeldBackFirst ? m_heldBack.Length() : 0)};
    {
        CAutoLock lockBackup(&m_csBackup);
        if (m_pBackup) {
            DWORD cbDone = 0;
            HRESULT hrBackup = held.cb ? m_pBackup->WriteGather(&held, 1, &cbDone) : S_OK;
            if (SUCCEEDED(hrBackup))
                hrBackup = m_pBackup->WriteGather(pChunks, static_cast<int>(nChunks), &cbDone);
            if (FAILED(hrBackup)) {
                Trace("\nCBaseDVRSink::WriteData: Write to file specified in StartBackupToFile failed!");
                m_pBackup.reset();  // reported once; recording goes on
                *phrBackup = hrBackup;
            }
        }
    }
    // The held-back bytes (rare: our own copy held the slot) go first, in a
    // write of their own; then the blocks, gathered into one write.
    DWORD cbBlocks = 0;
    for (LONG i = 0; i < nChunks; ++i)
        cbBlocks += pChunks[i].cb;
    HRESULT hr = S_OK;
    for (int nPart = held.cb ? 0 : 1; nPart < 2 && SUCCEEDED(hr); ++nPart) {
        DWORD cbDone = 0;
        hr = nPart == 0 ? m_pRecording->WriteGather(&held, 1, &cbDone)
                        : m_pRecording->WriteGather(pChunks, static_cast<int>(nChunks), &cbDone);
        // What reached the file counts: the stub must never claim more than
        // the recording holds, nor less than it holds in order.
        m_llCurSize += cbDone;
        m_llTotal += cbDone;
        if (SUCCEEDED(hr) && cbDone < (nPart == 0 ? held.cb : cbBlocks))
            hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    }
    if (held.cb)
        m_heldBack.Empty();
    if (FAILED(hr)) {
        StoreStatusLocked();
        const LONGLONG cbRun = static_cast<LONGLONG>(held.cb) + cbBlocks;
        Trace("\nCBaseDVRSink::WriteData: writing %d bytes failed %s", static_cast<int>(cbRun), TraceHr(hr));
        return hr;
    }
    StoreStatusLocked();
    SignalReaders(true, false);
    PruneDeadReaders(false);
    return S_OK;
}

BOOL CBaseDVRSink::BeginWaitingForData()
{
    CAutoLock lock(&m_csWriter);
    if (m_pRecording && m_llCurSize > m_llLastPublished &&
        TickDiff(GetTickCount(), m_dwLastPublishTick) > kPublishIntervalMs) {
        HRESULT hr = PublishLocked();
        if (FAILED(hr))
            Trace("\nCBaseDVRSink::BeginWaitingForData: SetRecordingSize failed %s", TraceHr(hr));
    }
    return m_llCurSize > m_llLastPublished ? TRUE : FALSE;
}

HRESULT CBaseDVRSink::GetStatus(LONG* plStatus, LONG* plFolderIndex, LONG* plSlot, double* pdCurrentSize)
{
    if (!plStatus || !plFolderIndex || !plSlot || !pdCurrentSize)
        return E_POINTER;
    // Readers call this while they wait, some with no time-out at all: it
    // reads what the writer last stored and never waits for the writer.
    const CDVRStatusSnapshot::SValue v = m_status.Load();
    *plStatus = v.lStatus;
    *plSlot = v.lSlot;
    *plFolderIndex = v.lFolder;
    *pdCurrentSize = static_cast<double>(v.llCurrentSize);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Backup file

HRESULT CBaseDVRSink::StartBackupToFile(BSTR bstrFile, LONG lReserved)
{
    (void)lReserved;
    if (!bstrFile)
        return E_POINTER;
    CAutoLock lock(&m_csBackup);
    m_pBackup.reset();
    std::unique_ptr<IFile> pFile;
    HRESULT hr = OpenFile(bstrFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, &pFile);
    if (FAILED(hr)) {
        Trace("\nCBaseDVRSink::StartBackupToFile(%S) failed %s", bstrFile, TraceHr(hr));
        return hr;
    }
    m_pBackup = std::move(pFile);
    return S_OK;
}

HRESULT CBaseDVRSink::StopBackupToFile()
{
    CAutoLock lock(&m_csBackup);
    m_pBackup.reset();
    return S_OK;
}

// ---------------------------------------------------------------------------
// Object table

HRESULT CBaseDVRSink::AddSinkToROT()
{
    CAutoLock lock(&m_csWriter);
    return AddSinkToROTLocked();
}

// Under the writer lock: the table records us (across processes it also
// starts a server thread of its own) and never calls back into the sink.
HRESULT CBaseDVRSink::AddSinkToROTLocked()
{
    if (m_dwRotCookie != 0)
        return S_OK;
    IKVDVRSink* pSink = static_cast<IKVDVRSink*>(this);
    char szName[kOwnerNameUnits];
    snprintf(szName, sizeof(szName), "TARN DVR Sink %08x pid %08x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(pSink)), static_cast<unsigned>(GetCurrentProcessId()));
    const CWString strName = Utf8ToWide(szName);

    IRunningObjectTable* pTable = nullptr;
    HRESULT hr = GetRunningObjectTable(&pTable);
    if (FAILED(hr))
        return hr;
    DWORD dwCookie = 0;
    hr = pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, pSink, CItemMoniker(u"!", strName), &dwCookie);
    if (FAILED(hr))
        return hr;
    m_dwRotCookie = dwCookie;
    m_strRotName = strName;
    m_dwRotThread = GetCurrentThreadId();
    return S_OK;
}

void CBaseDVRSink::RevokeLocked()
{
    const DWORD dwCookie = m_dwRotCookie;
    m_dwRotCookie = 0;
    m_strRotName.clear();
    m_dwRotThread = 0;
    ClearReaders();
    IRunningObjectTable* pTable = nullptr;
    if (dwCookie != 0 && SUCCEEDED(GetRunningObjectTable(&pTable))) {
        // Safe under the writer lock: revoking stops accepting callers but
        // never waits for a call in progress (those run on threads of their
        // own), and the table's reference is never our owner's last one:
        // whoever calls in here holds its own.
        HRESULT hr = pTable->Revoke(dwCookie);
        if (FAILED(hr))
            Trace("\nCBaseDVRSink::RemoveSinkFromROT: Revoke failed %s", TraceHr(hr));
    }
}

HRESULT CBaseDVRSink::JoinObjectTable()
{
    CAutoLock lock(&m_csWriter);
    HRESULT hr = AddSinkToROTLocked();
    if (FAILED(hr))
        return hr;
    if (!m_strStubInUse.empty() && m_bWriting) {
        hr = SetOwnerName(m_strRotName.c_str());
        if (SUCCEEDED(hr))
            m_bOwnerNameInStub = true;
    }
    return hr;
}

HRESULT CBaseDVRSink::LeaveObjectTable()
{
    CAutoLock lock(&m_csWriter);
    HRESULT hr = S_OK;
    if (m_bOwnerNameInStub) {
        hr = SetOwnerName(u"");
        if (FAILED(hr))
            Trace("\nCBaseDVRSink::LeaveObjectTable: SetOwnerName failed %s", TraceHr(hr));
        m_bOwnerNameInStub = false;
    }
    if (m_dwRotCookie != 0 && m_dwRotThread == GetCurrentThreadId())
        RevokeLocked();
    return hr;
}

// ---------------------------------------------------------------------------
// Time queries over the recorded stream are not offered.

HRESULT CBaseDVRSink::GetTimeRange(double dTime1, double dTime2, LONG lArg1, LONG lArg2)
{
    return GetTimeRangeEx(dTime1, dTime2, -1.0, lArg1, lArg2, 0);
}

HRESULT CBaseDVRSink::GetTimeRangeEx(double, double, double, LONG, LONG, LONG)
{
    return E_NOTIMPL;
}
