// IKVDVRSink: the control interface of the DVR writer. The application sets
// the buffer's folders, sizes and base name through it and copies recorded
// stream out; readers in this or another process register with the writer
// and follow its progress through it.
//
// The interface is a chain IUnknown <- IKVDVRSink1 <- IKVDVRSink2 <-
// IKVDVRSink3 <- IKVDVRSink; each later interface only appends operations,
// so one table serves all four and a caller built against an earlier one
// keeps working. The order of the pure virtual functions below IS the slot
// order (3 to 25 after the three IUnknown operations): never reorder them.
//
// Automation types: text as BSTR, sizes and offsets as double (converted by
// truncation), counts and indexes as LONG, flags as VARIANT_BOOL. Event
// outputs are handles valid in the caller's process; the caller closes them
// with CloseHandle.
#pragma once

#include "platform/bstr.h"
#include "platform/unknown.h"

// Writer status as GetStatus reports it.
enum DVRStatus : LONG {
    DVRStatus_Writing = 0,  // the receive loop runs after a successful StartDVR
    DVRStatus_Stopped = 2,
};

// GetBufferSize flags: bit 0 asks for the configured capacity instead of
// what the stub file says lies in the folder.
constexpr LONG kDVRBufferSizeConfigured = 1;

// GetRecordingInfo states.
constexpr LONG kDVRRecordingEmpty = 1;
constexpr LONG kDVRRecordingWriting = 2;
constexpr LONG kDVRRecordingComplete = 4;

// {E2B7DDE7-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVDVRSink1 = {0xE2B7DDE7, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DE49-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVDVRSink2 = {0xE2B7DE49, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DEC8-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVDVRSink3 = {0xE2B7DEC8, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DECD-38C5-11D5-91F6-00104BDB8FF9}: what a reader asks the object
// found in the object table for.
constexpr IID IID_IKVDVRSink = {0xE2B7DECD, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};

struct IKVDVRSink1 : public IUnknown
{
    // 3. KVMM_E_DVR_NO_RECORDINGS without records; first = published total
    // minus the sizes of all records, current = last = published total.
    [[nodiscard]] virtual HRESULT GetAvailableRange(double* pFirst, double* pCurrent, double* pLast) = 0;
    // 4. E_INVALIDARG for n < 1. New folders take the current directory,
    // 10 files of 10 MiB, and slots numbered after the existing ones.
    [[nodiscard]] virtual HRESULT SetFolderCount(LONG nFolders) = 0;
    // 5.
    [[nodiscard]] virtual HRESULT GetFolderCount(LONG* pnFolders) = 0;
    // 6. DISP_E_BADINDEX, E_UNEXPECTED without folders, CO_E_PATHTOOLONG for
    // 260 units or more; empty or null means the current directory.
    [[nodiscard]] virtual HRESULT SetFolderName(LONG nIndex, BSTR bstrPath) = 0;
    // 7.
    [[nodiscard]] virtual HRESULT GetFolderName(LONG nIndex, BSTR* pbstrPath) = 0;
    // 8. Keeps only the file name and extension; drops ".KBL" in any case;
    // empty or null clears the name (StartDVR then picks a free one).
    [[nodiscard]] virtual HRESULT SetBaseName(BSTR bstrName) = 0;
    // 9.
    [[nodiscard]] virtual HRESULT GetBaseName(BSTR* pbstrName) = 0;
    // 10. E_INVALIDARG for nFiles < 2 or fileSize <= 1.0.
    [[nodiscard]] virtual HRESULT SetBufferSize(LONG nFolderIndex, LONG nFiles, double dFileSize) = 0;
    // 11. See kDVRBufferSizeConfigured.
    [[nodiscard]] virtual HRESULT GetBufferSize(LONG nFolderIndex, LONG lFlags, LONG* pnFiles, double* pdBytes) = 0;
    // 12. Copies stream bytes [start, end) into a new file; end < 0 means
    // to the end. E_POINTER for an empty name, E_INVALIDARG for end <= start.
    [[nodiscard]] virtual HRESULT CopyToFile(BSTR bstrFile, double dStart, double dEnd) = 0;
    // 13. Status is a DVRStatus; the folder and slot of the recording being
    // written and its size.
    [[nodiscard]] virtual HRESULT GetStatus(LONG* plStatus, LONG* plFolderIndex, LONG* plSlot,
                                            double* pdCurrentSize) = 0;
    // 14. RegisterReaderEx without the offset-reached event.
    [[nodiscard]] virtual HRESULT RegisterReader(LONG lKey, LONG lProcessId, HANDLE* phDataWritten,
                                                 HANDLE* phRecordingsChanged) = 0;
    // 15. S_FALSE when an entry was removed, S_OK when none had that key.
    [[nodiscard]] virtual HRESULT UnregisterReader(LONG lKey) = 0;
    // 16. Does nothing.
    [[nodiscard]] virtual HRESULT ReservedOperation(DWORD dwArg1, DWORD dwArg2) = 0;
    // 17. E_INVALIDARG for a bad slot, KVMM_E_DVR_NO_RECORDINGS without
    // records; state is one of kDVRRecording*.
    [[nodiscard]] virtual HRESULT GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize,
                                                   double* pdFileSizeOnDisk, LONG* plPlayIndex, LONG* plState) = 0;
};

struct IKVDVRSink2 : public IKVDVRSink1
{
    // 18. Opens (or nests) an attribute change.
    [[nodiscard]] virtual HRESULT StartChangingAttributes() = 0;
    // 19. Closes one level; the outermost close commits unless bAbort.
    [[nodiscard]] virtual HRESULT EndChangingAttributes(VARIANT_BOOL bAbort) = 0;
    // 20. Every later write also goes to this file (E_POINTER for null).
    [[nodiscard]] virtual HRESULT StartBackupToFile(BSTR bstrFile, LONG lReserved) = 0;
    // 21.
    [[nodiscard]] virtual HRESULT StopBackupToFile() = 0;
};

struct IKVDVRSink3 : public IKVDVRSink2
{
    // 22. E_POINTER when either of the first two outputs is null;
    // phOffsetReached may be null.
    [[nodiscard]] virtual HRESULT RegisterReaderEx(LONG lKey, LONG lProcessId, HANDLE* phDataWritten,
                                                   HANDLE* phRecordingsChanged, HANDLE* phOffsetReached) = 0;
    // 23. E_INVALIDARG for offset < 0.1 or an unknown key; the target is
    // offset + 0.1 truncated.
    [[nodiscard]] virtual HRESULT SetOffsetToReach(LONG lKey, double dOffset) = 0;
};

struct IKVDVRSink : public IKVDVRSink3
{
    // 24. Forwards to 25 with a third time of -1.0 and a last argument of 0.
    [[nodiscard]] virtual HRESULT GetTimeRange(double dTime1, double dTime2, LONG lArg1, LONG lArg2) = 0;
    // 25. Time query over the recorded transport stream.
    [[nodiscard]] virtual HRESULT GetTimeRangeEx(double dTime1, double dTime2, double dTime3, LONG lArg1,
                                                 LONG lArg2, LONG lArg3) = 0;
};
