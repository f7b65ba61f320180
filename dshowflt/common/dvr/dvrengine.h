// CDVREngine: the common core of both ends of the DVR buffer. The sink (the
// writer) derives from it in writer mode; the source stream derives from it
// in reader mode. This header declares the engine; its members are defined
// in one file per concern:
//   dvrfiles.cpp   stub file and recording files (formats in dvrformat.h)
//   dvrreader.cpp  reader mode: following the ring by stream offset
//   dvrreaderinfo.cpp  reader mode: the writer link, copies, recording info
//   dvrreaderindex.cpp reader mode: the time index beside the recordings
//
// Threads: the writer calls in on the receive thread and readers on the
// output pin's worker threads; interface calls may come from any thread.
// All stub-file access goes through m_csStubFile, the innermost lock: the
// sink's writer lock and the reader's recording and engine locks
// are taken before it, and nothing that blocks or calls out runs under it.
#pragma once

#include <atomic>
#include <memory>

#include "dshowflt/common/dvr/dvrformat.h"
#include "dshowflt/common/dvr/filecache.h"
#include "platform/bstr.h"
#include "platform/critsec.h"
#include "platform/file.h"
#include "platform/sync.h"

struct IKVDVRSink;
class CDVRSinkThread;
namespace dvr {
struct SParsedIndex;
}

// One recording of a reader's picture of the ring, in play order.
struct SDVRPictureRecording
{
    RecordingInfo info;
    LONG nSlot = -1;
    LONGLONG llStart = 0;  // in the reader's offsets
};

// A reader's picture of the ring at one moment: the recordings that chain
// in play order from the oldest, and how the reader counts.
struct SDVRPicture
{
    std::unique_ptr<SDVRPictureRecording[]> pRecordings;
    LONG nRecordings = 0;
    LONGLONG llMinOffset = 0;
    LONGLONG llMaxOffset = 0;
    // Writer offset = reader offset + llWriterDelta, when bDeltaKnown.
    LONGLONG llWriterDelta = 0;
    bool bDeltaKnown = false;
    // The stream identifier of the indexes beside the ring, when found.
    GUID streamIdentity = GUID_NULL;
    bool bIdentityKnown = false;
};

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
    // with its stub stays readable. A reader opens a path that is absolute
    // or leaves the stub's folder tree only when the file has the stub's
    // owner (KVMM_E_DVR_CORRUPT_STUB_FILE otherwise).
    [[nodiscard]] HRESULT OpenRecordingForReading(LPCWSTR pszStoredPath, std::unique_ptr<IFile>* ppFile);

    // Whether strPath, made absolute, lies below strFolder.
    static bool IsInsideFolder(const CWString& strFolder, const CWString& strPath);
    // A reader opened a recording outside the stub's folder tree: S_OK when
    // it has the stub's owner, else KVMM_E_DVR_CORRUPT_STUB_FILE.
    [[nodiscard]] static HRESULT CheckForeignRecording(const CWString& strStub, const CWString& strPath, IFile* pFile);

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
    // The write alone, for a writer that changes more under the same lock
    // and tells the readers itself.
    [[nodiscard]] HRESULT WriteRecordingSizeLocked(LONGLONG llSize) REQUIRES(m_csStubFile);
    // Whether a stub file is attached (opened, created or handed in).
    bool IsStubOpen();
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

    // =======================================================================
    // Reader mode (dvrreader.cpp)
    //
    // A reader follows the ring by stream offset. A reader linked to its
    // writer when it starts counts offsets as the writer does (from the
    // first byte written since the writer's start); any other counts from
    // the first byte of the oldest recording it saw, and learns how far its
    // count is from the writer's once it can ask. minOffset moves up as the
    // writer reuses slots and maxOffset as it publishes sizes; when the
    // writer has replaced everything the reader knew, only the writer can
    // say how much went, and it is asked. Reads come from the output pin's
    // worker threads, the flush and attribute-change calls from the graph's
    // threads.
    //
    // Lock order: m_csRecording, then m_csEngine, then m_csStubFile.
    // m_csFlush and m_csSinkThread are taken alone. No lock is held while a
    // read waits for the writer.
    // =======================================================================

    // Marks the reader started, opens the stub, checks its header, clears
    // the picture, refreshes once and, when pSink is given or the stub has a
    // live owner, links to the writer. A link that cannot be made leaves
    // the source not growing (reads end at maxOffset).
    [[nodiscard]] HRESULT StartReader(IKVDVRSink* pSink);
    // Removes the writer link, closes the current recording and detaches the
    // stub file.
    void StopReader();

    // Refreshes the picture of the ring from the stub file.
    // KVMM_E_DVR_NO_RECORDINGS without records, KVMM_E_DVR_CORRUPT_STUB_FILE
    // when the records do not chain in play order.
    [[nodiscard]] HRESULT ReadAndUpdateRecordingsInfo();
    // The writer's offset of this reader's offset 0 (writer offset = reader
    // offset + *pllDelta); false while it is not known.
    bool GetWriterDelta(LONGLONG* pllDelta);
    // Refreshes, then answers the offsets of the oldest byte kept and one
    // past the newest byte published.
    [[nodiscard]] HRESULT GetOffsets(LONGLONG* pllMinOffset, LONGLONG* pllMaxOffset);
    // Reads at least dwMinBytes (at most cbBuffer) bytes at llOffset,
    // waiting for the writer while they are not written. dwDeadline is a
    // tick count, 0 for none. KVMM_S_DVR_WAITING (with *pcbRead possibly
    // > 0) when the caller should come back; KVMM_E_DVR_DISCARDED_DATA when
    // the bytes were overwritten, the writer restarted, or the offset lies
    // more than one buffer beyond the data.
    [[nodiscard]] HRESULT ReadData(LONGLONG llOffset, DWORD dwMinBytes, DWORD cbBuffer, BYTE* pBuffer,
                                   DWORD* pcbRead, DWORD dwDeadline);
    // Waits at most 200 ms (or until dwDeadline) for the stream to reach
    // llNeeded. S_OK when it may have, KVMM_S_DVR_WAITING to try again,
    // KVMM_E_DVR_SUSPENDED when a newer request came, VFW_E_WRONG_STATE
    // while flushing, KVMM_E_DVR_STOPPED when no writer is writing.
    [[nodiscard]] HRESULT WaitForMoreData(LONGLONG llNeeded, DWORD dwDeadline);
    // TRUE (and the current recording closed) when the stub's record count
    // or smallest playIndex moved since the last refresh.
    BOOL CheckIfRecordingInfoHasChanged();
    // Copies the stream bytes [llStart, llEnd) (llEnd < 0: to the end), in
    // this reader's offsets, into a new file.
    [[nodiscard]] HRESULT CopyToFile(LPCWSTR pszFile, LONGLONG llStart, LONGLONG llEnd);
    // The record of ring slot nSlot; *pnState 1 empty, 2 being written,
    // 4 complete.
    [[nodiscard]] HRESULT GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize, double* pdFileSize,
                                           LONG* pnPlayIndex, LONG* pnState);

    // Attribute changes announced by the writer: while one is open every
    // read and wait fails with KVMM_E_DVR_CHANGING_ATTRIBUTES, and the
    // no-change event is set when the last one ends.
    void BeginAttributeChange();
    void EndAttributeChange();
    bool IsChangingAttributes() const { return m_lChangeCount.load(std::memory_order_acquire) > 0; }
    HANDLE GetNoChangeEvent() const { return m_evNoChange.Handle(); }

    // Flushing ends every read and wait at once with VFW_E_WRONG_STATE.
    void SetFlushing(bool bFlushing);
    bool IsFlushing();
    // A new read request arrived (TRUE) or left (FALSE): a waiting read
    // gives way to it with KVMM_E_DVR_SUSPENDED.
    void SignalNewRequest(BOOL bAdded);

    // --- The time index beside the recordings (dvrreaderindex.cpp) --------
    // Refreshes, then copies the picture: the recordings from the oldest in
    // play order up to the first gap, with their start offsets.
    [[nodiscard]] HRESULT GetPicture(SDVRPicture* pPicture);
    // The stream identifier of the buffer as its indexes name it; false
    // when the ring has no readable index. A writer that starts the buffer
    // again gives it a new one.
    bool GetStreamIdentity(GUID* pGuid);
    // Reads and checks the index of a recording of the current stub (opened
    // as the recording is, see OpenRecordingForReading). bHeaderOnly reads
    // only the header. KVMM_E_INVALID_DATA when the index belongs to another
    // recording of the slot; the failures of ParseIndex and of the file.
    [[nodiscard]] HRESULT ReadIndexOf(const RecordingInfo& info, bool bHeaderOnly, dvr::SParsedIndex* pIndex);

    // TRUE while a live writer owns the stub.
    BOOL IsGrowingSource();
    // Makes the next read reopen a recording (after a jump over lost data).
    void ForgetCurrentRecording();
    // Creates the writer link when there is none and connects it to the
    // stub's owner (10 ms time-out).
    [[nodiscard]] HRESULT EnsureSinkThread();
    void RemoveSinkThread();

protected:
    // Every file the engine opens goes through here, so that tests can hand
    // out files that fail the way disks do.
    [[nodiscard]] virtual HRESULT OpenFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                                           std::unique_ptr<IFile>* ppFile);
    // After a size was published: the writer signals its readers'
    // recordings-changed events. Called without m_csStubFile held.
    virtual void OnRecordingsChanged() {}

    const bool m_bWriterMode;

    CCritSec m_csStubFile;

    // Writer mode: the slot and playIndex of the recording being written,
    // -1 before the first. Changed by the writer together with the stub.
    LONG m_nCurRecIndex GUARDED_BY(m_csStubFile) = -1;
    LONG m_nCurPlayIndex GUARDED_BY(m_csStubFile) = -1;

    // --- Reader mode -------------------------------------------------------
    enum class EReadStep { Done, Refresh, Wait };
    struct SReadPos
    {
        LONGLONG llOffset;
        BYTE* pb;
        DWORD cbRead;
    };
    // One pass of ReadData's loop with the recording lock held.
    [[nodiscard]] HRESULT ReadPassLocked(SReadPos* pPos, DWORD dwMinBytes, DWORD cbBuffer, EReadStep* pStep)
        REQUIRES(m_csRecording);
    // After a refresh: checks for lost data and opens the recording that
    // holds the offset, or asks for a wait.
    [[nodiscard]] HRESULT AfterRefreshLocked(const SReadPos& pos, LONG nNotedMinPlayIndex, DWORD cbBuffer,
                                             EReadStep* pStep) REQUIRES(m_csRecording);
    [[nodiscard]] HRESULT OpenRecordingAtLocked(LONGLONG llOffset, bool* pbOpened)
        REQUIRES(m_csRecording, m_csEngine);
    void CloseCurrentRecordingLocked() REQUIRES(m_csRecording);
    // Whether slot nSlot still holds recording nPlayIndex in the stub.
    bool SlotStillHolds(LONG nSlot, LONG nPlayIndex);
    void ResetReaderStateLocked() REQUIRES(m_csEngine);
    // Where a recording starts in the writer's count: told by the writer
    // for the oldest recording of the stub at one moment.
    struct SWriterAnchor
    {
        LONG nPlayIndex = -1;
        LONGLONG llWriterStart = 0;
    };
    // Asks the linked writer where the oldest recording of the stub starts,
    // reading the stub before and after so that the answer is known to be
    // about that recording. Called with no lock held.
    [[nodiscard]] HRESULT QueryWriterAnchor(SWriterAnchor* pAnchor, DWORD dwTimeoutMs);
    // One refresh under m_csEngine. When the writer has replaced every
    // recording this reader knew, the amount lost is taken from pAnchor;
    // without a usable one the picture is left alone and *pbNeedAnchor set,
    // unless bMayGuess lets a lower bound stand in.
    [[nodiscard]] HRESULT RefreshPicture(const SWriterAnchor* pAnchor, bool bMayGuess, bool* pbNeedAnchor);
    // Asks the writer and refreshes with its answer: learns the delta.
    void LearnWriterDelta();
    // Whether the new records (pOrder: their slots in play order) show a
    // writer that started a new buffer under the same stub.
    bool LooksRestarted(const RecordingInfo* pList, LONG nCount, const LONG* pOrder) REQUIRES(m_csEngine);
    // Where the oldest recording (nMinPlayIndex) starts in the writer's
    // count, from the headers of the indexes beside the ring: the value most
    // of them agree on, the newest deciding a tie. Reads at most a few
    // headers, newest first. False when no index can say.
    bool IndexAnchorLocked(const RecordingInfo* pList, const LONG* pOrder, LONG nCount, LONG nMinPlayIndex,
                           LONGLONG* pllStartOfMin, GUID* pStream) REQUIRES(m_csEngine);
    // The sink-thread link, held for use outside m_csSinkThread.
    CDVRSinkThread* AcquireSinkThread();
    void ReleaseSinkThread(CDVRSinkThread* pThread);
    [[nodiscard]] HRESULT EnsureSinkThreadFor(IKVDVRSink* pSink);
    void TraceMessagesAndDispatch();
    // Removes the link and lets go of a writer handed in.
    void ShutdownReaderLink();

    CCritSec m_csRecording;
    CCritSec m_csEngine;
    CCritSec m_csFlush;
    CCritSec m_csSinkThread;

    // The recording being read, and the picture generation it was opened in.
    std::unique_ptr<IFile> m_pReadFile GUARDED_BY(m_csRecording);
    DWORD m_dwReadFileGeneration GUARDED_BY(m_csRecording) = 0;

    std::unique_ptr<RecordingInfo[]> m_pRecordings GUARDED_BY(m_csEngine);
    LONG m_nRecordings GUARDED_BY(m_csEngine) = 0;
    LONG m_nMinPlayIndex GUARDED_BY(m_csEngine) = 0;
    LONG m_nNextPlayIndex GUARDED_BY(m_csEngine) = 0;
    LONGLONG m_llMinOffset GUARDED_BY(m_csEngine) = 0;
    LONGLONG m_llMaxOffset GUARDED_BY(m_csEngine) = 0;
    LONGLONG m_llLastRecordingSize GUARDED_BY(m_csEngine) = 0;
    // The current recording: its playIndex, start offset and record (whose
    // size bounds reads from it).
    LONG m_nReadPlayIndex GUARDED_BY(m_csEngine) = 0;
    LONG m_nReadSlot GUARDED_BY(m_csEngine) = -1;
    LONGLONG m_llReadStart GUARDED_BY(m_csEngine) = 0;
    RecordingInfo m_readInfo GUARDED_BY(m_csEngine){};
    // Moves on whenever the current recording stops being the file that is
    // open (another playIndex, a restarted writer), so the open file is
    // never read for the wrong recording.
    DWORD m_dwReadGeneration GUARDED_BY(m_csEngine) = 1;
    bool m_bRestarted GUARDED_BY(m_csEngine) = false;
    bool m_bGrowingSource GUARDED_BY(m_csEngine) = false;
    bool m_bLinkFailed GUARDED_BY(m_csEngine) = false;
    // Writer offset = reader offset + m_llWriterDelta, when known.
    LONGLONG m_llWriterDelta GUARDED_BY(m_csEngine) = 0;
    bool m_bDeltaKnown GUARDED_BY(m_csEngine) = false;
    // The indexes' stream identifier, from the last anchor they gave.
    GUID m_guidIdentity GUARDED_BY(m_csEngine) = GUID_NULL;
    bool m_bIdentityKnown GUARDED_BY(m_csEngine) = false;

    std::atomic<bool> m_bStarted{false};
    std::atomic<LONG> m_lChangeCount{0};
    CAMEvent m_evNoChange{FALSE};

    bool m_bFlushing GUARDED_BY(m_csFlush) = false;
    CAMEvent m_evFlush{FALSE};
    const HANDLE m_hNewRequest = CreateSemaphore(0, 0x7FFFFFFF);

    // The link to the writer. The engine holds one use of it and every
    // caller working with it outside m_csSinkThread another, so a removal
    // while a read waits kills it when that read lets go.
    CDVRSinkThread* m_pSinkThread GUARDED_BY(m_csSinkThread) = nullptr;
    IKVDVRSink* m_pInProcSink GUARDED_BY(m_csSinkThread) = nullptr;  // owned reference

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
    // Where the size field of the record of slot m_nSizeFieldSlot lies in
    // the stub, learnt when the writer wrote that record: a publication then
    // writes those 8 bytes alone. Forgotten whenever the stub changes.
    LONG m_nSizeFieldSlot GUARDED_BY(m_csStubFile) = -1;
    LONGLONG m_llSizeFieldPos GUARDED_BY(m_csStubFile) = -1;
};
