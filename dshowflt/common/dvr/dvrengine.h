// CDVREngine: the common core of both ends of the DVR buffer. The sink (the
// writer) derives from it in writer mode; the source stream derives from it
// in reader mode. This header declares the engine; its members are defined
// in one file per concern:
//   dvrfiles.cpp   stub file and recording files (formats in dvrformat.h)
//
// Threads: the writer calls in on the receive thread and readers on the
// output pin's worker threads; interface calls may come from any thread.
// All stub-file access goes through m_csStubFile, the innermost lock: the
// sink's engine and stub locks and the reader's recording and engine locks
// are taken before it, and nothing that blocks or calls out runs under it.
#pragma once

#include <memory>

#include "dshowflt/common/dvr/dvrformat.h"
#include "dshowflt/common/dvr/filecache.h"
#include "platform/critsec.h"
#include "platform/file.h"

class CDVREngine
{
public:
    explicit CDVREngine(bool bWriterMode);
    virtual ~CDVREngine();
    CDVREngine(const CDVREngine&) = delete;
    CDVREngine& operator=(const CDVREngine&) = delete;

    // Called with TRUE just before the engine waits for data and with FALSE
    // when a read completes; the source and the filter override it.
    virtual void SetStarvation(BOOL bWaiting) { (void)bWaiting; }

    // --- Naming the stub ---------------------------------------------------
    // Stores the stub path (CO_E_PATHTOOLONG for MAX_PATH units or more) and
    // derives the stub folder, a relative path being taken against the
    // current folder. bReleasePrevious first releases the stub open before.
    [[nodiscard]] HRESULT SetStubFileName(LPCWSTR pszPath, int cchPath, BOOL bReleasePrevious);
    // Opens the named stub when no stub file is open: read-only for a
    // reader, read and write for the writer; shared in both cases.
    [[nodiscard]] HRESULT OpenStubFile();
    // Hands an already open stub file to the cache (the writer's exclusive
    // open of a free name, a memory image in tests).
    [[nodiscard]] HRESULT AttachStubFile(IFile* pFile, bool bOwnsFile);
    // Detaches (and, when owned, closes) the stub file; it is opened again
    // on the next access.
    void CloseStubFile();

    // --- Reading the stub --------------------------------------------------
    // Seeks to 0, reads and checks the header and keeps its fields; leaves
    // the position at the end of the header. E_UNEXPECTED when no stub file
    // is open, KVMM_E_DVR_CORRUPT_STUB_FILE for a bad signature or version.
    [[nodiscard]] HRESULT GetStubHeaderSize();
    // Reads a record's length field and moves past the record.
    [[nodiscard]] HRESULT SkipRecording();
    // Opens the stub when needed and moves to the record of slot nRecIndex.
    [[nodiscard]] HRESULT SeekInStubToRecordingFile(LONG nRecIndex);
    // Reads the record at the current position. Sizes and play indexes a
    // writer cannot have produced give KVMM_E_DVR_CORRUPT_STUB_FILE.
    [[nodiscard]] HRESULT ReadRecordingInfo(RecordingInfo* pInfo);
    // Flushes the cache and reads the header and every record. The count is
    // checked against the file's length before anything is allocated. On
    // failure the list is empty. *pnMinPlayIndex (optional) receives the
    // smallest playIndex, or -1 when there are no records.
    [[nodiscard]] HRESULT ReadAllRecordingsInfo(LONG* pnCount, std::unique_ptr<RecordingInfo[]>* ppList,
                                                LONG* pnMinPlayIndex = nullptr);
    // Opens a recording named by a record: a relative stored path is taken
    // against the stub folder; when that fails, the stored file name alone
    // in the stub folder is tried once more, so that a buffer moved together
    // with its stub stays readable.
    [[nodiscard]] HRESULT OpenRecordingForReading(LPCWSTR pszStoredPath, std::unique_ptr<IFile>* ppFile);

    // --- Writing the stub (writer mode) ------------------------------------
    // Writes a fresh header (recordCount 0) with m_guidStreamId and resets
    // the current slot and playIndex to -1. Reuses a stub file still open,
    // else creates the file anew. pszOwnerName must be shorter than 100 units.
    [[nodiscard]] HRESULT CreateStubFile(LPCWSTR pszStubPath, LPCWSTR pszOwnerName, BOOL bReleasePrevious);
    // Opens (or creates, without truncating) the recording file and writes
    // slot nRecIndex's record: its stored path, size 0, nPlayIndex, now.
    [[nodiscard]] HRESULT CreateRecording(LPCWSTR pszPath, LONG nRecIndex, LONG nPlayIndex,
                                          std::unique_ptr<IFile>* ppFile);
    [[nodiscard]] HRESULT WriteRecordCount(DWORD dwCount);
    // Writes the size of the current slot's record, then tells the readers
    // (OnRecordingsChanged).
    [[nodiscard]] HRESULT SetRecordingSize(LONGLONG llSize);
    // Writes the owner name (fewer than 100 units, else E_INVALIDARG).
    [[nodiscard]] HRESULT SetOwnerName(LPCWSTR pszName);

    // --- What the last header read said ------------------------------------
    CWString GetOwnerName();
    GUID GetStreamId();
    DWORD GetRecordCount();
    DWORD GetStubHeaderBytes();
    CWString GetStubPath();
    CWString GetStubFolder();
    void SetStreamId(REFGUID guid);

protected:
    // Every file the engine opens goes through here, so that tests can hand
    // out files that fail the way disks do.
    [[nodiscard]] virtual HRESULT OpenFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                                           std::unique_ptr<IFile>* ppFile);
    // After a size was published: the writer signals its readers'
    // recordings-changed events. Called without m_csStubFile held.
    virtual void OnRecordingsChanged() {}

    const bool m_bWriterMode;

    // Writer state, guarded by the sink's engine lock: the slot and playIndex
    // of the recording being written, -1 before the first.
    LONG m_nCurRecIndex = -1;
    LONG m_nCurPlayIndex = -1;

    CCritSec m_csStubFile;

private:
    [[nodiscard]] HRESULT StorePathLocked(LPCWSTR pszPath, size_t cchPath) REQUIRES(m_csStubFile);
    void ReleaseStubLocked() REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT OpenStubFileLocked() REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT GetStubHeaderSizeLocked() REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT SkipRecordingLocked() REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT SeekInStubLocked(LONG nRecIndex) REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT ReadRecordingInfoLocked(RecordingInfo* pInfo) REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT ReadPathLocked(WCHAR (&wszPath)[MAX_PATH]) REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT SetOwnerNameLocked(LPCWSTR pszName) REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT ReadWordLocked(WORD* pw) REQUIRES(m_csStubFile);
    [[nodiscard]] HRESULT StoredPathFor(LPCWSTR pszPath, WCHAR (&wszStored)[MAX_PATH]) REQUIRES(m_csStubFile);

    CFileCache m_stubCache GUARDED_BY(m_csStubFile);
    CWString m_strStubPath GUARDED_BY(m_csStubFile);    // "/" separators
    CWString m_strStubFolder GUARDED_BY(m_csStubFile);  // absolute, normalised

    // From the last header read or written.
    WORD m_nOwnerNameLength GUARDED_BY(m_csStubFile) = 0;  // N
    DWORD m_cbStubHeader GUARDED_BY(m_csStubFile) = 0;     // 2N + 30
    std::unique_ptr<WCHAR[]> m_pOwnerName GUARDED_BY(m_csStubFile);
    size_t m_cchOwnerNameBuffer GUARDED_BY(m_csStubFile) = 0;
    bool m_bOwnerNamePresent GUARDED_BY(m_csStubFile) = false;
    GUID m_guidStreamId GUARDED_BY(m_csStubFile) = GUID_NULL;
    DWORD m_dwRecordCount GUARDED_BY(m_csStubFile) = 0;
    // Set once this engine wrote a non-empty owner name into the open stub,
    // so that releasing the stub clears it again.
    bool m_bOwnerNameWritten GUARDED_BY(m_csStubFile) = false;
};
