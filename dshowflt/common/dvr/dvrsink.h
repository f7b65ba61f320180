// CBaseDVRSink: the DVR writer. It writes the received stream into a ring of
// recording files, keeps the stub file current so that readers in this and
// other processes can follow the stream while it grows, and serves the
// control interface IKVDVRSink.
//
// Threads: the receive thread (or a test standing in for it) calls StartDVR,
// WriteData, StopDVR and the join and leave steps; interface calls arrive on
// any thread. The object is reference-counted and must live on the heap with
// a reference held by its owner: the object-table entry holds one more,
// which StopDVR or the leave step give back.
//
// Locks: see the class. No lock of the sink is held while it calls out
// (notifications, events for the application, the object table's
// callers), and what readers ask for never waits for a disk write.
#pragma once

#include <atomic>
#include <memory>

#include "dshowflt/common/buffer.h"
#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrindex.h"
#include "dshowflt/common/dvr/dvrsinkif.h"
#include "platform/sync.h"
#include "platform/unknown.h"

// Raised through NotifyEvent when the backup file cannot be written; the
// first parameter is the write's status.
constexpr LONG kDVREventBackupFailed = 0x400;

// The buffer's layout: the folders, their slots and sizes, and the base name.
struct CDVRFolderSet
{
    LONG nFolders = 0;
    std::unique_ptr<DVRFolder[]> pFolders;
    CWString strBaseName;  // empty: chosen by StartDVR

    // Deep copy; E_OUTOFMEMORY leaves this set unchanged.
    [[nodiscard]] HRESULT CopyFrom(const CDVRFolderSet& src);
    // Recomputes firstIndex of folder nFrom and every folder after it.
    void Renumber(LONG nFrom);
    LONG SlotCount() const;
};

// What a reader's status call answers, kept so that the call never waits
// for the writer: the writer stores it after every change under its own
// lock, and readers load it with a sequence count (a seqlock), retrying when
// they raced a store.
class CDVRStatusSnapshot
{
public:
    struct SValue
    {
        LONG lStatus = DVRStatus_Stopped;
        LONG lFolder = -1;
        LONG lSlot = -1;
        LONGLONG llCurrentSize = 0;
    };
    // One writer at a time (the caller's lock sees to that).
    void Store(const SValue& v);
    SValue Load() const;

private:
    std::atomic<DWORD> m_dwSequence{0};  // odd while a store is under way
    std::atomic<LONG> m_lStatus{DVRStatus_Stopped};
    std::atomic<LONG> m_lFolder{-1};
    std::atomic<LONG> m_lSlot{-1};
    std::atomic<LONGLONG> m_llCurrentSize{0};
};

class CBaseDVRSink : public CDVREngine, public CUnknown, public IKVDVRSink
{
public:
    CBaseDVRSink(const char* pszName, IUnknown* pUnkOuter);
    ~CBaseDVRSink() override;

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // --- Called by the receive thread --------------------------------------
    // Starts a fresh buffer (new stub, slot 0, playIndex 0) with the layout
    // committed last. E_UNEXPECTED without folders. A sink that is writing
    // is stopped first. A start that fails removes the files it created.
    [[nodiscard]] virtual HRESULT StartDVR(const GUID* pStreamId = nullptr);
    // Appends one block to the ring; a block is never split across
    // recordings. KVMM_E_DVR_RECORDINGINUSE when the next slot is held by
    // our own copy: the block is kept and written before the next one.
    [[nodiscard]] HRESULT WriteData(const BYTE* pb, LONG cb);
    // Appends nChunks blocks in order, as that many WriteData calls would,
    // with one vectored write per recording they land in: blocks are never
    // split, and a recording is closed only where the next block does not
    // fit. The publication rule is applied once, after the last block.
    // *pnDone (may be null) receives the blocks fully written (or kept back
    // for our own copy); on a failure, the block at that index failed.
    [[nodiscard]] HRESULT WriteDataV(const FileChunk* pChunks, LONG nChunks, LONG* pnDone = nullptr);
    // Closes and publishes the current recording, releases the stub, leaves
    // the object table (when this thread joined it) and deletes the buffer
    // when so configured.
    [[nodiscard]] HRESULT StopDVR();
    // StopDVR and StartDVR with the same stream id, under the writer lock.
    [[nodiscard]] HRESULT RestartDVR();
    // Called with FALSE before a committed attribute change is applied and
    // with TRUE after; the receive thread stops the sink on FALSE and starts
    // it again on TRUE. Called with no lock of the sink held, on the thread
    // that ends the change. The base only traces.
    [[nodiscard]] virtual HRESULT ChangingAttributesNotification(BOOL bAfter);
    // Before the receive thread waits for network data: publishes written
    // bytes older than 25 ms; TRUE while written bytes stay unpublished.
    BOOL BeginWaitingForData();
    // Join step: registers in the object table and writes the entry's name
    // as the stub's ownerName. Leave step: clears the ownerName and, when
    // this thread registered, revokes the entry and drops every reader.
    [[nodiscard]] HRESULT JoinObjectTable();
    [[nodiscard]] HRESULT LeaveObjectTable();
    [[nodiscard]] HRESULT AddSinkToROT();
    bool IsWriting() const;
    // The stream length readers can see (published), since the last start.
    LONGLONG GetPublishedTotal() const { return m_llPublishedTotal.load(std::memory_order_acquire); }
    CWString GetObjectTableName();
    // Set while no committed attribute change is being applied.
    HANDLE NoChangeEvent() const { return m_evNoChangeApplying.Handle(); }

    // --- Time index (dvrsinkindex.cpp) ---------------------------------------
    // Whether recordings made from now on get a time index beside them (on
    // by default): off only to measure what it costs, or to make a ring as
    // a writer without one does.
    void SetIndexEnabled(bool bEnabled);
    // The next block follows data that was lost (the receive thread saw a
    // gap): its index entry says so.
    void MarkDiscontinuity();
    // The identifier of the buffer being written: new at every start, the
    // same in every index of that buffer. GUID_NULL before the first start.
    GUID GetStreamIdentifier();
    // The receive time of stream offset llOffset (the writer's count) as the
    // index beside the ring holds it, for offsets the in-memory log has
    // forgotten or never had: a file time, interpolated between entries.
    // KVMM_E_NO_RECEIVE_TIME when no trusted entry covers the offset (before
    // the oldest byte kept, beyond the newest entry, no index), E_POINTER.
    // Reads the stub and the indexes as any reader does: never waits for
    // the writer lock.
    [[nodiscard]] HRESULT LookUpReceiveTime(LONGLONG llOffset, LONGLONG* pllFileTime);
    // The same, in the form the receive-time log's fallback hook takes
    // (pvSink is the CBaseDVRSink).
    [[nodiscard]] static HRESULT LookUpReceiveTimeCallback(void* pvSink, LONGLONG llOffset, LONGLONG* pllFileTime);

    // --- IKVDVRSink ---------------------------------------------------------
    // Answered from what the writer published, without waiting for a write
    // in progress: first = the offset of the oldest byte kept, current = last
    // = the published total.
    [[nodiscard]] HRESULT GetAvailableRange(double* pFirst, double* pCurrent, double* pLast) override;
    [[nodiscard]] HRESULT SetFolderCount(LONG nFolders) override;
    [[nodiscard]] HRESULT GetFolderCount(LONG* pnFolders) override;
    [[nodiscard]] HRESULT SetFolderName(LONG nIndex, BSTR bstrPath) override;
    [[nodiscard]] HRESULT GetFolderName(LONG nIndex, BSTR* pbstrPath) override;
    [[nodiscard]] HRESULT SetBaseName(BSTR bstrName) override;
    [[nodiscard]] HRESULT GetBaseName(BSTR* pbstrName) override;
    [[nodiscard]] HRESULT SetBufferSize(LONG nFolderIndex, LONG nFiles, double dFileSize) override;
    [[nodiscard]] HRESULT GetBufferSize(LONG nFolderIndex, LONG lFlags, LONG* pnFiles, double* pdBytes) override;
    [[nodiscard]] HRESULT CopyToFile(BSTR bstrFile, double dStart, double dEnd) override;
    // The receive thread extends it; the base reports Writing between a
    // successful StartDVR and the stop. Never waits for the writer.
    [[nodiscard]] HRESULT GetStatus(LONG* plStatus, LONG* plFolderIndex, LONG* plSlot,
                                    double* pdCurrentSize) override;
    [[nodiscard]] HRESULT RegisterReader(LONG lKey, LONG lProcessId, HANDLE* phDataWritten,
                                         HANDLE* phRecordingsChanged) override;
    [[nodiscard]] HRESULT UnregisterReader(LONG lKey) override;
    [[nodiscard]] HRESULT ReservedOperation(DWORD dwArg1, DWORD dwArg2) override;
    [[nodiscard]] HRESULT GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize, double* pdFileSizeOnDisk,
                                           LONG* plPlayIndex, LONG* plState) override;
    [[nodiscard]] HRESULT StartChangingAttributes() override;
    [[nodiscard]] HRESULT EndChangingAttributes(VARIANT_BOOL bAbort) override;
    [[nodiscard]] HRESULT StartBackupToFile(BSTR bstrFile, LONG lReserved) override;
    [[nodiscard]] HRESULT StopBackupToFile() override;
    [[nodiscard]] HRESULT RegisterReaderEx(LONG lKey, LONG lProcessId, HANDLE* phDataWritten,
                                           HANDLE* phRecordingsChanged, HANDLE* phOffsetReached) override;
    [[nodiscard]] HRESULT SetOffsetToReach(LONG lKey, double dOffset) override;
    [[nodiscard]] HRESULT GetTimeRange(double dTime1, double dTime2, LONG lArg1, LONG lArg2) override;
    [[nodiscard]] HRESULT GetTimeRangeEx(double dTime1, double dTime2, double dTime3, LONG lArg1, LONG lArg2,
                                         LONG lArg3) override;

protected:
    // Whether StartDVR registers in the object table; the receive thread
    // answers whether its filter is in a graph. Asked before the writer
    // lock is taken.
    virtual BOOL ShouldRegisterInObjectTable() { return TRUE; }
    // Events for the application (kDVREventBackupFailed); the receive thread
    // forwards them. Called with no lock of the sink held.
    virtual void NotifyEvent(LONG lEventCode, LONG_PTR lParam1, LONG_PTR lParam2)
    {
        (void)lEventCode;
        (void)lParam1;
        (void)lParam2;
    }
    // Only sets the readers' events, which never blocks: it runs under the
    // writer lock.
    void OnRecordingsChanged() final;

    // The writer lock: the writer state while a block is written, a
    // recording is made or the buffer starts and stops. Held across disk
    // writes, so nothing a reader or the application asks for waits on it.
    CCritSec m_csWriter;

private:
    friend class CAutoChangeAttributes;
    struct SReader
    {
        LONG lKey;
        DWORD dwProcessId;
        HANDLE hDataWritten;
        HANDLE hRecordingsChanged;
        HANDLE hOffsetReached;
        LONGLONG llTarget;  // 0: none
    };

    [[nodiscard]] HRESULT StartLocked(const GUID& guidStream, bool bRegister) REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT StartBufferLocked(bool* pbStubOurs) REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT StopLocked() REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT ChooseBaseNameLocked(CWString* pstrName) REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT CreateNextRecordingLocked() REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT CloseRecordingLocked() REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT WriteLocked(const FileChunk* pChunks, LONG nChunks, LONG* pnDone, HRESULT* phrBackup)
        REQUIRES(m_csWriter);
    // Writes chunks that all fit the open recording (the held-back data,
    // when given, first) and applies the publication rule.
    [[nodiscard]] HRESULT WriteRunLocked(const FileChunk* pChunks, LONG nChunks, bool bHeldBackFirst,
                                         HRESULT* phrBackup) REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT PublishLocked() REQUIRES(m_csWriter);
    // The index of the recording just made (slot path strPath); a failure
    // leaves the recording without one.
    void BeginIndexLocked(const CWString& strRecordingPath) REQUIRES(m_csWriter);
    // After cb > 0 bytes of a block starting at llBlockStart were written at
    // tick dwNow: appends the entries that are due.
    void IndexBlockLocked(LONGLONG llBlockStart, DWORD dwNow) REQUIRES(m_csWriter);
    // Before the closed recording's size is published: its end entry.
    void EndIndexLocked() REQUIRES(m_csWriter);
    // A block that closes a recording and makes the next is stamped before
    // that work, which is no part of its arrival (once per WriteData).
    void NoteArrivalLocked() REQUIRES(m_csWriter);
    void StoreStatusLocked() REQUIRES(m_csWriter);
    [[nodiscard]] HRESULT AddSinkToROTLocked() REQUIRES(m_csWriter);
    void RevokeLocked() REQUIRES(m_csWriter);
    void DeleteBufferFiles(const RecordingInfo* pList, LONG nCount, const CWString& strStubPath);
    [[nodiscard]] HRESULT ReadRecords(LONG* pnCount, std::unique_ptr<RecordingInfo[]>* ppList);
    [[nodiscard]] HRESULT CopyRange(LPCWSTR pszFile, LONGLONG llStart, LONGLONG llEnd);
    [[nodiscard]] HRESULT CopyOneRecording(IFile* pOut, LONG nSlot, LONG nPlayIndex, LONGLONG llFrom,
                                           LONGLONG llTo, LONGLONG llRecStart);

    // The set the getters read: the pending one while a change is open.
    [[nodiscard]] HRESULT SnapshotFolders(CDVRFolderSet* pSet);

    // Reader registry.
    void SignalReaders(bool bDataWritten, bool bRecordingsChanged);
    void SignalReachedTargets(LONGLONG llPublished);
    bool AnyTargetBelow(LONGLONG llTotal);
    void PruneDeadReaders(bool bForce);
    bool RemoveReaderLocked(LONG lKey) REQUIRES(m_csReaders);
    void ClearReaders();

    // Lock order: m_csWriter, then m_csBackup or the engine's m_csStubFile,
    // then m_csReaders. m_csFolders is taken alone, and nothing that blocks
    // or calls out runs under it or under m_csReaders.

    // Folder sets: the active one (committed last, used by the next start)
    // and the pending one the setters change while a change is open. A
    // commit replaces the active set at once; the running buffer keeps the
    // layout it started with (m_running) until it is started again.
    CCritSec m_csFolders;
    CDVRFolderSet m_active GUARDED_BY(m_csFolders);
    CDVRFolderSet m_pending GUARDED_BY(m_csFolders);
    LONG m_cChanging GUARDED_BY(m_csFolders) = 0;
    bool m_bChanged GUARDED_BY(m_csFolders) = false;
    // Committed changes whose notifications are still running.
    LONG m_cApplying GUARDED_BY(m_csFolders) = 0;
    CAMEvent m_evNoChangeApplying{TRUE};
    // Cleared by the first commit, after the stop that the commit asks for.
    std::atomic<bool> m_bDeleteOnStop{true};
    bool m_bCutOnClose GUARDED_BY(m_csWriter) = true;

    // Writer state.
    CDVRFolderSet m_running GUARDED_BY(m_csWriter);
    bool m_bWriting GUARDED_BY(m_csWriter) = false;
    GUID m_guidStream GUARDED_BY(m_csWriter) = GUID_NULL;
    CWString m_strBaseNameInUse GUARDED_BY(m_csWriter);
    CWString m_strStubInUse GUARDED_BY(m_csWriter);  // empty: no stub known
    std::atomic<bool> m_bStubKnown{false};            // !m_strStubInUse.empty()
    std::unique_ptr<IFile> m_pRecording GUARDED_BY(m_csWriter);
    LONGLONG m_llSizeLimit GUARDED_BY(m_csWriter) = 0;
    LONGLONG m_llCurSize GUARDED_BY(m_csWriter) = 0;
    LONGLONG m_llLastPublished GUARDED_BY(m_csWriter) = 0;
    DWORD m_dwLastPublishTick GUARDED_BY(m_csWriter) = 0;
    LONGLONG m_llTotal GUARDED_BY(m_csWriter) = 0;
    CBuffer m_heldBack GUARDED_BY(m_csWriter);
    CDVRStatusSnapshot m_status;

    // Time index of the current recording.
    std::atomic<bool> m_bIndexEnabled{true};
    std::atomic<bool> m_bDiscontinuityPending{false};
    dvr::CDVRIndexWriter m_index GUARDED_BY(m_csWriter);
    bool m_bIndexStartPending GUARDED_BY(m_csWriter) = false;
    bool m_bHaveIndexEntry GUARDED_BY(m_csWriter) = false;  // m_lastIndexEntry is of this recording
    dvr::SIndexEntry m_lastIndexEntry GUARDED_BY(m_csWriter);
    DWORD m_dwLastIndexTick GUARDED_BY(m_csWriter) = 0;
    DWORD m_dwLastWriteTick GUARDED_BY(m_csWriter) = 0;
    bool m_bArrivalNoted GUARDED_BY(m_csWriter) = false;
    LONGLONG m_llArrivalTime GUARDED_BY(m_csWriter) = 0;
    LONGLONG m_llArrivalMono GUARDED_BY(m_csWriter) = 0;
    CCritSec m_csStreamId;  // taken alone
    GUID m_guidIndexStream GUARDED_BY(m_csStreamId) = GUID_NULL;

    // What the stub says, kept in memory: changed in the same m_csStubFile
    // section as the stub itself, so that GetAvailableRange answers for one
    // moment of the stub without waiting for the writer lock. The published
    // total is also read alone (atomically) by SetOffsetToReach.
    std::atomic<LONGLONG> m_llPublishedTotal{0};
    LONGLONG m_llFirstKept GUARDED_BY(m_csStubFile) = 0;  // offset of the oldest byte kept
    bool m_bHaveRecords GUARDED_BY(m_csStubFile) = false;
    std::unique_ptr<LONGLONG[]> m_pSlotSizes GUARDED_BY(m_csStubFile);  // published size per slot
    LONG m_nSlotSizes GUARDED_BY(m_csStubFile) = 0;
    // Slot held open by our own copy; the writer does not recreate it. Set
    // and tested under m_csStubFile, cleared without it.
    std::atomic<LONG> m_nRecordingInUse{-1};

    CCritSec m_csBackup;
    std::unique_ptr<IFile> m_pBackup GUARDED_BY(m_csBackup);

    // Object-table entry.
    CWString m_strRotName GUARDED_BY(m_csWriter);
    DWORD m_dwRotCookie GUARDED_BY(m_csWriter) = 0;
    DWORD m_dwRotThread GUARDED_BY(m_csWriter) = 0;
    bool m_bOwnerNameInStub GUARDED_BY(m_csWriter) = false;

    CCritSec m_csReaders;
    std::unique_ptr<SReader[]> m_pReaders GUARDED_BY(m_csReaders);
    LONG m_nReaders GUARDED_BY(m_csReaders) = 0;
    LONG m_nReaderCapacity GUARDED_BY(m_csReaders) = 0;
    DWORD m_dwLastPruneTick GUARDED_BY(m_csReaders) = 0;
};

// Scope guard of every setter: opens an attribute change (or nests in one)
// and closes it, committing only when the setter says it succeeded.
class CAutoChangeAttributes
{
public:
    explicit CAutoChangeAttributes(CBaseDVRSink* pSink);
    ~CAutoChangeAttributes();
    CAutoChangeAttributes(const CAutoChangeAttributes&) = delete;
    CAutoChangeAttributes& operator=(const CAutoChangeAttributes&) = delete;

    // Closes the change without abort and returns what the commit returned;
    // S_OK when no change was open.
    [[nodiscard]] HRESULT Commit();

private:
    CBaseDVRSink* const m_pSink;
    bool m_bOpen;
};
