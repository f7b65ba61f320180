// The DVR buffer on disk: one stub file that indexes a ring of recording
// files. This header is the one description of the bytes, shared by the
// writer, the reader engine and the inspector tool.
//
// Stub file, all integers little-endian, text UTF-16LE:
//
//   offset      size  field
//   0           7     signature "TARNDVR" (no terminator)
//   7           1     version 0
//   8           2     nameLength N (the writer writes 100)
//   10          2N    ownerName, NUL-terminated inside the field; empty when
//                     no live writer owns the stub
//   10+2N       16    streamId (a GUID in its in-memory byte order)
//   26+2N       4     recordCount
//   30+2N             records, back to back; record k describes ring slot k
//
// Record:
//
//   0           2     recordLength L: bytes after this field (550)
//   2           2     pathLength M in UTF-16 units (260)
//   4           2M    path, relative to the stub's folder when the recording
//                     lies on the same file system, NUL-terminated in the field
//   4+2M        8     size: valid stream bytes in the recording
//   12+2M       4     playIndex, signed: 0 for the first recording after start
//   16+2M       16    created, UTC: eight 16-bit fields year, month, day of
//                     week, day, hour, minute, second, milliseconds
//
// A recording file holds the stream bytes only, no header or padding; only
// the first `size` bytes are valid. The stream is the recordings in
// ascending playIndex order.
#pragma once

#include <cstring>

#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/wtext.h"

// Calendar time with the field order of the stub's "created" field. The
// platform's time conversions declare it; until they are in the tree a local
// definition with the same fields stands in.
#if __has_include("platform/filetime.h")
#include "platform/filetime.h"
#else
struct SYSTEMTIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
#endif

namespace dvr {

constexpr char kStubSignature[7] = {'T', 'A', 'R', 'N', 'D', 'V', 'R'};
constexpr BYTE kStubVersion = 0;
// The owner-name field as the writer lays it out; readers take N from the file.
constexpr int kOwnerNameUnits = 100;
constexpr DWORD kHeaderFixedBytes = 30;  // header size is 2N + 30
constexpr DWORD kStubHeaderBytes = 2 * kOwnerNameUnits + kHeaderFixedBytes;  // 230
constexpr int kPathUnits = MAX_PATH;                                         // 260
constexpr WORD kRecordLength = 2 + 2 * kPathUnits + 8 + 4 + 16;              // 550
constexpr DWORD kRecordBytes = 2 + kRecordLength;                            // 552
// The size field's place in a record as the writer lays it out (L, M, path).
constexpr DWORD kRecordSizeFieldOffset = 2 + 2 + 2 * kPathUnits;               // 524
// The fewest bytes a record can occupy as it is read (M = 0): L, M, size,
// playIndex and created.
constexpr DWORD kMinRecordBytes = 2 + 2 + 8 + 4 + 16;
constexpr DWORD kGuidBytes = 16;
constexpr DWORD kSystemTimeBytes = 16;

// Explicit little-endian encoding: the stub's bytes never depend on the host.
inline void PutLE16(BYTE* pb, WORD w)
{
    pb[0] = static_cast<BYTE>(w);
    pb[1] = static_cast<BYTE>(w >> 8);
}
inline void PutLE32(BYTE* pb, DWORD dw)
{
    for (int i = 0; i < 4; ++i)
        pb[i] = static_cast<BYTE>(dw >> (8 * i));
}
inline void PutLE64(BYTE* pb, ULONGLONG ull)
{
    for (int i = 0; i < 8; ++i)
        pb[i] = static_cast<BYTE>(ull >> (8 * i));
}
inline WORD GetLE16(const BYTE* pb) { return static_cast<WORD>(pb[0] | (pb[1] << 8)); }
inline DWORD GetLE32(const BYTE* pb)
{
    return static_cast<DWORD>(pb[0]) | (static_cast<DWORD>(pb[1]) << 8) |
           (static_cast<DWORD>(pb[2]) << 16) | (static_cast<DWORD>(pb[3]) << 24);
}
inline ULONGLONG GetLE64(const BYTE* pb)
{
    ULONGLONG ull = 0;
    for (int i = 7; i >= 0; --i)
        ull = (ull << 8) | pb[i];
    return ull;
}

// A GUID's 16 bytes in the order the original platform keeps it in memory
// (Data1..Data3 little-endian, then Data4).
void EncodeGuid(BYTE* pb, REFGUID guid);
GUID DecodeGuid(const BYTE* pb);
void EncodeSystemTime(BYTE* pb, const SYSTEMTIME& st);
SYSTEMTIME DecodeSystemTime(const BYTE* pb);
// The current time in UTC.
SYSTEMTIME GetUtcNow();

// The header as the writer lays it out (kStubHeaderBytes). pszOwner must be
// shorter than kOwnerNameUnits units (E_INVALIDARG otherwise).
[[nodiscard]] HRESULT EncodeStubHeader(LPCWSTR pszOwner, REFGUID streamId, DWORD dwRecordCount,
                                       BYTE (&ab)[kStubHeaderBytes]);
// A record as the writer lays it out (kRecordBytes): the whole path buffer,
// terminator and what follows it included.
void EncodeRecord(const WCHAR (&wszPath)[kPathUnits], LONGLONG llSize, LONG nPlayIndex,
                  const SYSTEMTIME& created, BYTE (&ab)[kRecordBytes]);

}  // namespace dvr

// One folder of the buffer; folder 0 also holds the stub file.
struct DVRFolder
{
    WCHAR path[MAX_PATH];  // NUL-terminated
    LONG firstIndex;       // first ring slot of the folder
    LONG fileCount;        // ring slots in the folder, at least 2
    LONGLONG fileSize;     // size limit of one recording, greater than 1
};

// The in-memory form of one stub record.
struct RecordingInfo
{
    WCHAR path[MAX_PATH];  // as stored: relative to the stub's folder or full
    LONGLONG size;
    LONG playIndex;
    SYSTEMTIME created;
};

namespace dvr {

// Digits used for slot numbers in a folder of nFileCount files: 1 up to 10
// files, 2 up to 109, 3 up to 1099... (a minimum: larger numbers print in full).
int RecordingNameWidth(LONG nFileCount);
// "<base>_<slot>.KRC" with the slot zero-padded to nWidth.
CWString RecordingFileName(std::u16string_view baseName, int nWidth, LONG nSlot);
// "<base>.KBL".
CWString StubFileName(std::u16string_view baseName);
// The folder that owns ring slot nSlot, or -1.
int FolderOfSlot(const DVRFolder* pFolders, int nFolders, LONG nSlot);
// The full path of slot nSlot's recording; CO_E_PATHTOOLONG when it would
// not fit in MAX_PATH units with its terminator, E_INVALIDARG for a slot
// that no folder owns.
[[nodiscard]] HRESULT RecordingPath(const DVRFolder* pFolders, int nFolders, std::u16string_view baseName,
                                    LONG nSlot, CWString* pstrPath);

}  // namespace dvr
