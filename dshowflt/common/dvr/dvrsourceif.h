// IKVDVRSource: the control interface of a DVR reader. A reader follows a
// DVR buffer (the writer's stub file) by stream offset; through this
// interface an application asks for the range it holds, reads or copies
// bytes out, and starts or stops the reader.
//
// The interface is a chain IUnknown <- IKVDVRSource1 <- 2 <- 3 <-
// IKVDVRSource; the order of the pure virtual functions is the slot order (3
// to 15): never reorder them.
#pragma once

#include "dshowflt/common/dvr/dvrsinkif.h"
#include "platform/bstr.h"
#include "platform/unknown.h"

// {E2B7DBCE-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVDVRSource = {0xE2B7DBCE, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};
// {E2B7DDF3-38C5-11D5-91F6-00104BDB8FF9}
constexpr IID IID_IKVDVRSource1 = {0xE2B7DDF3, 0x38C5, 0x11D5, {0x91, 0xF6, 0x00, 0x10, 0x4B, 0xDB, 0x8F, 0xF9}};

struct IKVDVRSource1 : public IUnknown
{
    // 3. Refreshes; first = the oldest offset kept, current = last = one
    // past the newest published byte.
    [[nodiscard]] virtual HRESULT GetAvailableRange(double* pFirst, double* pCurrent, double* pLast) = 0;
    // 4.-6. The reader's folder set (empty unless one was given).
    [[nodiscard]] virtual HRESULT GetFolderCount(LONG* pnFolders) = 0;
    [[nodiscard]] virtual HRESULT GetFolderName(LONG nIndex, BSTR* pbstrPath) = 0;
    // Only the configured capacity (kDVRBufferSizeConfigured) is known to a
    // reader; E_NOTIMPL without that flag.
    [[nodiscard]] virtual HRESULT GetBufferSize(LONG nFolderIndex, LONG lFlags, LONG* pnFiles, double* pdBytes) = 0;
    // 7. Copies stream bytes [start, end) (end < 0: to the end) into a new file.
    [[nodiscard]] virtual HRESULT CopyToFile(BSTR bstrFile, double dStart, double dEnd) = 0;
    // 8. Reads at least nMinimum bytes at dOffset, waiting without deadline.
    [[nodiscard]] virtual HRESULT ReadAt(double dOffset, LONG nMinimum, LONG cbBuffer, LONG lReserved, BYTE* pBuffer,
                                         LONG* pcbRead) = 0;
    // 9. Does nothing.
    [[nodiscard]] virtual HRESULT ReservedOperation(DWORD dwArg) = 0;
};

struct IKVDVRSource2 : public IKVDVRSource1
{
    // 10. As the sink's GetRecordingInfo.
    [[nodiscard]] virtual HRESULT GetRecordingInfo(LONG nSlot, BSTR* pbstrPath, double* pdSize,
                                                   double* pdFileSizeOnDisk, LONG* plPlayIndex, LONG* plState) = 0;
    // 11. VARIANT_TRUE while the stub has a live owner.
    [[nodiscard]] virtual HRESULT GetIsGrowing(VARIANT_BOOL* pbGrowing) = 0;
};

struct IKVDVRSource3 : public IKVDVRSource2
{
    // 12., 13. Time scans over the recorded transport stream: E_NOTIMPL here.
    [[nodiscard]] virtual HRESULT GetTimeRange(double dStart, double dEnd, double* pdOut1, double* pdOut2) = 0;
    [[nodiscard]] virtual HRESULT GetTimeRangeEx(double dStart, double dEnd, double dTimeSeconds, double* pdStart,
                                                 double* pdEnd, double* pdDuration) = 0;
};

struct IKVDVRSource : public IKVDVRSource3
{
    // 14. Starts following the stub named by SetStubFileName; pSink is the
    // writer when it lives in this process, else null (it is found through
    // the stub's owner name). E_UNEXPECTED without a stub name.
    [[nodiscard]] virtual HRESULT StartDVRReader(IKVDVRSink* pSink) = 0;
    // 15. Drops the writer link and the open files.
    [[nodiscard]] virtual HRESULT StopDVRReader() = 0;
};
