// The time index beside each recording: when each part of the recording was
// received, and where the recording sits in the stream counted from the
// writer's start. This header is the one description of its bytes, shared
// by the writer, the readers, the inspector tool and the fuzz target.
//
// The index of "Capture_3.KRC" is "Capture_3.KRI" in the same folder. It is
// made (or, in a reused slot, rewritten from its first byte and cut after
// its last entry when the recording closes) and deleted together with its
// recording. Whatever an older recording of the slot left behind the new
// entries can never pass for them: entries are checked under the header
// they were written with, and the header names its recording. The stub and the
// recording formats do not know about it: a reader that ignores it still
// reads the ring, and a ring without it is still read (without times).
//
// All integers little-endian. CRC-32C is the Castagnoli polynomial
// (0x1EDC6F41, reflected, initial value and final xor all ones).
//
// Header (kIndexHeaderBytes, written once when the recording is made):
//
//   offset  size  field
//   0       8     signature "KVDVRIDX"
//   8       2     version (1)
//   10      2     header size H (64); a reader skips what it does not know
//   12      2     entry size E (32)
//   14      2     reserved, 0
//   16      16    stream identifier: a new random value every time the writer
//                 starts a buffer; offsets of two indexes compare only when
//                 their identifiers are equal
//   32      4     playIndex of the recording (its stub record's)
//   36      4     reserved, 0
//   40      8     stream offset of the recording's first byte, counted from
//                 the first byte the writer wrote since it started
//   48      8     creation time, a file time (100 ns units since 1601 UTC)
//   56      4     reserved, 0
//   H-4     4     CRC-32C of bytes 0 .. H-5
//
// Entries (E bytes each) follow the header back to back, in stream order:
//
//   0       8     stream offset (same count as the header's) of the first
//                 byte received at this time
//   8       8     receive time, a file time in UTC
//   16      8     monotonic time in 100 ns units (only differences between
//                 entries of one stream identifier mean anything)
//   24      4     flags (kIndexFlag*); unknown bits are ignored
//   E-4     4     CRC-32C of bytes 0 .. E-5, started from the header's CRC,
//                 so an entry is valid only under the header it was written
//                 under
//
// The writer appends an entry when a recording gets its first bytes, when
// the first block at least kIndexIntervalMs after the last entry is written,
// and at every discontinuity (a pause being more than kIndexPauseMs without
// a block): data lost before a block, a pause in arrival,
// a step of the wall clock. A pause or a clock step is written as a pair at
// one offset: the end of the run before it (kIndexFlagRunEnd, the time of
// the last byte before it) and the resumption. When the recording is closed
// a last entry (kIndexFlagEnd) marks its end offset. Entries are appended
// after their bytes are written to the recording and before the stub
// publishes the size that covers them.
//
// A reader trusts entries only in order and only while each one checks: the
// first entry that is cut short, fails its CRC, goes back in offset or
// monotonic time, or lies at or beyond the recording's published size ends
// the trusted part (a torn or corrupt tail is ignored, never trusted).
#pragma once

#include <cstddef>
#include <memory>

#include "dshowflt/common/dvr/dvrformat.h"
#include "platform/file.h"

namespace dvr {

constexpr char kIndexSignature[8] = {'K', 'V', 'D', 'V', 'R', 'I', 'D', 'X'};
constexpr WORD kIndexVersion = 1;
constexpr DWORD kIndexHeaderBytes = 64;
constexpr DWORD kIndexEntryBytes = 32;
// Larger sizes a later version may write; anything beyond is no index of ours.
constexpr DWORD kIndexMaxHeaderBytes = 4096;
constexpr DWORD kIndexMaxEntryBytes = 256;
// An index is read at most this far: enough for 23 hours of entries every
// 40 ms; anything beyond is treated as a missing tail.
constexpr LONGLONG kIndexMaxReadBytes = 64LL << 20;

// An entry is due with the first block this long after the last entry...
constexpr DWORD kIndexIntervalMs = 40;
// ...and no block for this long is a pause: so while data arrives, entries
// are never more than the two apart (plus a tick each), under 100 ms.
constexpr DWORD kIndexPauseMs = 50;
// A wall clock that moved this much against the monotonic clock between two
// entries was stepped.
constexpr LONGLONG kIndexClockStep = 20 * 10000;

constexpr DWORD kIndexFlagStart = 0x01;          // the recording's first bytes
constexpr DWORD kIndexFlagDiscontinuity = 0x02;  // data was lost before this offset
constexpr DWORD kIndexFlagResume = 0x04;         // first data after a pause in arrival
constexpr DWORD kIndexFlagRunEnd = 0x08;         // the run before this offset ended at this time
constexpr DWORD kIndexFlagClockStep = 0x10;      // the wall clock was stepped before this entry
constexpr DWORD kIndexFlagEnd = 0x20;            // the recording's end offset, when it was closed

struct SIndexHeader
{
    GUID streamId = GUID_NULL;
    LONG nPlayIndex = 0;
    LONGLONG llStart = 0;
    LONGLONG llCreated = 0;
    DWORD dwCrc = 0;  // the entries' CRC seed
};

struct SIndexEntry
{
    LONGLONG llOffset = 0;
    LONGLONG llTime = 0;  // file time, UTC
    LONGLONG llMono = 0;  // 100 ns, monotonic
    DWORD dwFlags = 0;
};

DWORD Crc32c(DWORD dwSeed, const BYTE* pb, size_t cb);

void EncodeIndexHeader(const SIndexHeader& h, BYTE (&ab)[kIndexHeaderBytes]);
// Fills in the CRC of the header as encoded (h.dwCrc is ignored).
DWORD IndexHeaderCrc(const SIndexHeader& h);
void EncodeIndexEntry(const SIndexEntry& e, DWORD dwSeed, BYTE (&ab)[kIndexEntryBytes]);

// What a reader makes of an index image.
struct SParsedIndex
{
    SIndexHeader header;
    std::unique_ptr<SIndexEntry[]> pEntries;  // the trusted part, in order
    size_t nEntries = 0;
    bool bComplete = false;  // ends with the kIndexFlagEnd entry at start + size
};

// Parses an index image (the file's first bytes, at most kIndexMaxReadBytes).
// llPublishedSize is the recording's size in its stub record: entries at or
// beyond it are not trusted (the End entry exactly at it is). S_OK with at
// least the header checked, KVMM_E_INVALID_HEADER for an image that is no
// index of ours (signature, version, sizes, CRC), KVMM_E_INVALID_DATA when
// the first entry does not lie at the recording's start. E_OUTOFMEMORY.
[[nodiscard]] HRESULT ParseIndex(const BYTE* pb, size_t cb, LONGLONG llPublishedSize, SParsedIndex* pIndex);

// The index path of a recording path: ".KRC" (any case) becomes ".KRI";
// another name gets ".KRI" appended.
CWString IndexPathFor(std::u16string_view recordingPath);

// A new stream identifier: random enough that two starts never share one.
GUID NewStreamIdentifier();

// The clocks entries are stamped with: the wall clock as a file time and
// the monotonic clock in 100 ns units.
LONGLONG IndexWallClockNow();
LONGLONG IndexMonotonicNow();

// The writing end of one recording's index. Not thread-safe: the DVR writer
// calls it under its writer lock. Failures are returned once; the caller
// drops the index then (the recording goes on without one).
class CDVRIndexWriter
{
public:
    // Takes the opened (and truncated) file and writes the header.
    [[nodiscard]] HRESULT Begin(std::unique_ptr<IFile> pFile, const SIndexHeader& header);
    bool IsOpen() const { return m_pFile != nullptr; }
    // Appends one or two entries in one write.
    [[nodiscard]] HRESULT Append(const SIndexEntry* pEntries, int nEntries);
    // Cuts the file after what was written (an older index of the slot may
    // have been longer) and closes it.
    void Close();

private:
    std::unique_ptr<IFile> m_pFile;
    DWORD m_dwSeed = 0;
};

}  // namespace dvr
