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
// Lock order: m_csEngine, then m_csBackup or the engine's m_csStubFile (a
// commit takes m_csEngine, then m_csStubFile, then m_csPending);
// m_csReaders is innermost and nothing that blocks runs under it.
#pragma once

#include <atomic>
#include <memory>

#include "dshowflt/common/buffer.h"
#include "dshowflt/common/dvr/dvrengine.h"
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

class CBaseDVRSink : public CDVREngine, public CUnknown, public IKVDVRSink
{
public:
    CBaseDVRSink(const char* pszName, IUnknown* pUnkOuter);
    ~CBaseDVRSink() override;

    DECLARE_IUNKNOWN
    [[nodiscard]] HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // --- Called by the receive thread --------------------------------------
    // Starts a fresh buffer (new stub, slot 0, playIndex 0). E_UNEXPECTED
    // without folders. A sink that is writing is stopped first.
    [[nodiscard]] virtual HRESULT StartDVR(const GUID* pStreamId = nullptr);
    // Appends one block to the ring; a block is never split across
    // recordings. KVMM_E_DVR_RECORDINGINUSE when the next slot is held by
    // our own copy: the block is kept and written before the next one.
    [[nodiscard]] HRESULT WriteData(const BYTE* pb, LONG cb);
    // Closes and publishes the current recording, releases the stub, leaves
    // the object table (when this thread joined it) and deletes the buffer
    // when so configured.
    [[nodiscard]] HRESULT StopDVR();
    // StopDVR and StartDVR with the same stream id, under the engine lock.
    [[nodiscard]] HRESULT RestartDVR();
    // Called with FALSE before a committed attribute change is applied and
    // with TRUE after; the receive thread stops the sink on FALSE and starts
    // it again on TRUE. The base only traces.
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
    bool IsWriting();
    // The stream length readers can see (published), since the last start.
    LONGLONG GetPublishedTotal() const { return m_llPublishedTotal.load(std::memory_order_acquire); }
    CWString GetObjectTableName();
    // Set while no attribute change is being applied.
    HANDLE NoChangeEvent() const { return m_evNoChange.Handle(); }

    // --- IKVDVRSink ---------------------------------------------------------
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
    // successful StartDVR and the stop.
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
    // answers whether its filter is in a graph.
    virtual BOOL ShouldRegisterInObjectTable() { return TRUE; }
    // Events for the application (kDVREventBackupFailed); the receive thread
    // forwards them.
    virtual void NotifyEvent(LONG lEventCode, LONG_PTR lParam1, LONG_PTR lParam2)
    {
        (void)lEventCode;
        (void)lParam1;
        (void)lParam2;
    }
    void OnRecordingsChanged() override;

    // Engine lock: the writer state and the active folder set.
    CCritSec m_csEngine;

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

    [[nodiscard]] HRESULT StartLocked(const GUID& guidStream) REQUIRES(m_csEngine);
    [[nodiscard]] HRESULT StopLocked() REQUIRES(m_csEngine);
    [[nodiscard]] HRESULT ChooseBaseNameLocked(CWString* pstrName) REQUIRES(m_csEngine);
    [[nodiscard]] HRESULT CreateNextRecordingLocked() REQUIRES(m_csEngine);
    [[nodiscard]] HRESULT CloseRecordingLocked() REQUIRES(m_csEngine);
    [[nodiscard]] HRESULT WriteBytesLocked(const BYTE* pb, LONG cb) REQUIRES(m_csEngine);
    [[nodiscard]] HRESULT PublishLocked() REQUIRES(m_csEngine);
    [[nodiscard]] HRESULT AddSinkToROTLocked() REQUIRES(m_csEngine);
    void RevokeLocked() REQUIRES(m_csEngine);
    void DeleteBufferFiles(const RecordingInfo* pList, LONG nCount, const CWString& strStubPath);
    [[nodiscard]] HRESULT ReadRecords(LONG* pnCount, std::unique_ptr<RecordingInfo[]>* ppList);
    [[nodiscard]] HRESULT CopyRange(LPCWSTR pszFile, LONGLONG llStart, LONGLONG llEnd);
    [[nodiscard]] HRESULT CopyOneRecording(IFile* pOut, LONG nSlot, LONG nPlayIndex, LONGLONG llFrom,
                                           LONGLONG llTo, LONGLONG llRecStart);

    // The set the getters read: the pending one while a change is open.
    // Called with neither m_csEngine nor m_csPending held.
    [[nodiscard]] HRESULT SnapshotFolders(CDVRFolderSet* pSet);

    // Reader registry.
    void SignalReaders(bool bDataWritten, bool bRecordingsChanged);
    void SignalReachedTargets(LONGLONG llPublished);
    bool AnyTargetBelow(LONGLONG llTotal);
    void PruneDeadReaders(bool bForce);
    bool RemoveReaderLocked(LONG lKey) REQUIRES(m_csReaders);
    void ClearReaders();

    // Folder sets. Setters change the pending set (own lock) inside a change.
    CDVRFolderSet m_active GUARDED_BY(m_csEngine);
    CCritSec m_csPending;
    CDVRFolderSet m_pending GUARDED_BY(m_csPending);
    std::atomic<LONG> m_cChanging{0};
    std::atomic<bool> m_bChanged{false};
    CAMEvent m_evNoChange{TRUE};
    bool m_bDeleteOnStop GUARDED_BY(m_csEngine) = true;
    bool m_bCutOnClose GUARDED_BY(m_csEngine) = true;

    // Writer state.
    bool m_bWriting GUARDED_BY(m_csEngine) = false;
    GUID m_guidStream GUARDED_BY(m_csEngine) = GUID_NULL;
    CWString m_strBaseNameInUse GUARDED_BY(m_csEngine);
    CWString m_strStubInUse GUARDED_BY(m_csEngine);  // empty: no stub known
    std::unique_ptr<IFile> m_pRecording GUARDED_BY(m_csEngine);
    LONGLONG m_llSizeLimit GUARDED_BY(m_csEngine) = 0;
    LONGLONG m_llCurSize GUARDED_BY(m_csEngine) = 0;
    LONGLONG m_llLastPublished GUARDED_BY(m_csEngine) = 0;
    DWORD m_dwLastPublishTick GUARDED_BY(m_csEngine) = 0;
    LONGLONG m_llTotal GUARDED_BY(m_csEngine) = 0;
    // Read without the engine lock by SetOffsetToReach.
    std::atomic<LONGLONG> m_llPublishedTotal{0};
    // Slot held open by our own copy; the writer does not recreate it.
    std::atomic<LONG> m_nRecordingInUse{-1};
    CBuffer m_heldBack GUARDED_BY(m_csEngine);

    CCritSec m_csBackup;
    std::unique_ptr<IFile> m_pBackup GUARDED_BY(m_csBackup);

    // Object-table entry.
    CWString m_strRotName GUARDED_BY(m_csEngine);
    DWORD m_dwRotCookie GUARDED_BY(m_csEngine) = 0;
    DWORD m_dwRotThread GUARDED_BY(m_csEngine) = 0;
    bool m_bOwnerNameInStub GUARDED_BY(m_csEngine) = false;

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
