// The time index beside each recording: encoding, parsing, the writing end.
#include "dshowflt/common/dvr/dvrindex.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/filetime.h"
#include "platform/thread.h"

namespace dvr {

namespace {

struct SCrcTable
{
    DWORD a[256];
    constexpr SCrcTable() : a()
    {
        for (DWORD i = 0; i < 256; ++i) {
            DWORD c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            a[i] = c;
        }
    }
};
constexpr SCrcTable kCrcTable;

ULONGLONG SplitMix(ULONGLONG* pull)
{
    ULONGLONG z = (*pull += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool EntryAt(const BYTE* pb, DWORD cbEntry, DWORD dwSeed, SIndexEntry* pEntry)
{
    if (Crc32c(dwSeed, pb, cbEntry - 4) != GetLE32(pb + cbEntry - 4))
        return false;
    pEntry->llOffset = static_cast<LONGLONG>(GetLE64(pb));
    pEntry->llTime = static_cast<LONGLONG>(GetLE64(pb + 8));
    pEntry->llMono = static_cast<LONGLONG>(GetLE64(pb + 16));
    pEntry->dwFlags = GetLE32(pb + 24);
    return true;
}

}  // namespace

DWORD Crc32c(DWORD dwSeed, const BYTE* pb, size_t cb)
{
    DWORD c = ~dwSeed;
    for (size_t i = 0; i < cb; ++i)
        c = kCrcTable.a[(c ^ pb[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

void EncodeIndexHeader(const SIndexHeader& h, BYTE (&ab)[kIndexHeaderBytes])
{
    memset(ab, 0, sizeof(ab));
    memcpy(ab, kIndexSignature, sizeof(kIndexSignature));
    PutLE16(ab + 8, kIndexVersion);
    PutLE16(ab + 10, static_cast<WORD>(kIndexHeaderBytes));
    PutLE16(ab + 12, static_cast<WORD>(kIndexEntryBytes));
    EncodeGuid(ab + 16, h.streamId);
    PutLE32(ab + 32, static_cast<DWORD>(h.nPlayIndex));
    PutLE64(ab + 40, static_cast<ULONGLONG>(h.llStart));
    PutLE64(ab + 48, static_cast<ULONGLONG>(h.llCreated));
    PutLE32(ab + kIndexHeaderBytes - 4, Crc32c(0, ab, kIndexHeaderBytes - 4));
}

DWORD IndexHeaderCrc(const SIndexHeader& h)
{
    BYTE ab[kIndexHeaderBytes];
    EncodeIndexHeader(h, ab);
    return GetLE32(ab + kIndexHeaderBytes - 4);
}

void EncodeIndexEntry(const SIndexEntry& e, DWORD dwSeed, BYTE (&ab)[kIndexEntryBytes])
{
    PutLE64(ab, static_cast<ULONGLONG>(e.llOffset));
    PutLE64(ab + 8, static_cast<ULONGLONG>(e.llTime));
    PutLE64(ab + 16, static_cast<ULONGLONG>(e.llMono));
    PutLE32(ab + 24, e.dwFlags);
    PutLE32(ab + 28, Crc32c(dwSeed, ab, kIndexEntryBytes - 4));
}

HRESULT ParseIndex(const BYTE* pb, size_t cb, LONGLONG llPublishedSize, SParsedIndex* pIndex)
{
    if (!pIndex || (!pb && cb))
        return E_POINTER;
    pIndex->pEntries.reset();
    pIndex->nEntries = 0;
    pIndex->bComplete = false;
    if (cb > static_cast<size_t>(kIndexMaxReadBytes))
        cb = static_cast<size_t>(kIndexMaxReadBytes);
    if (cb < kIndexHeaderBytes || memcmp(pb, kIndexSignature, sizeof(kIndexSignature)) != 0 ||
        GetLE16(pb + 8) != kIndexVersion)
        return KVMM_E_INVALID_HEADER;
    const DWORD cbHeader = GetLE16(pb + 10);
    const DWORD cbEntry = GetLE16(pb + 12);
    if (cbHeader < kIndexHeaderBytes || cbHeader > kIndexMaxHeaderBytes || cbHeader > cb ||
        cbEntry < kIndexEntryBytes || cbEntry > kIndexMaxEntryBytes)
        return KVMM_E_INVALID_HEADER;
    const DWORD dwCrc = GetLE32(pb + cbHeader - 4);
    if (Crc32c(0, pb, cbHeader - 4) != dwCrc)
        return KVMM_E_INVALID_HEADER;
    SIndexHeader& h = pIndex->header;
    h.streamId = DecodeGuid(pb + 16);
    h.nPlayIndex = static_cast<LONG>(GetLE32(pb + 32));
    h.llStart = static_cast<LONGLONG>(GetLE64(pb + 40));
    h.llCreated = static_cast<LONGLONG>(GetLE64(pb + 48));
    h.dwCrc = dwCrc;
    LONGLONG llEnd = 0;
    if (h.llStart < 0 || llPublishedSize < 0 || __builtin_add_overflow(h.llStart, llPublishedSize, &llEnd))
        return KVMM_E_INVALID_HEADER;

    // Two entries at most share an offset (the end of a run and the
    // resumption), so a recording of n bytes has at most 2n + 2 entries.
    const size_t nRoom = (cb - cbHeader) / cbEntry;
    const ULONGLONG ullMax = 2 * static_cast<ULONGLONG>(llPublishedSize) + 2;
    const size_t nMax = nRoom < ullMax ? nRoom : static_cast<size_t>(ullMax);
    // Counted first, then decoded into an array of exactly that size.
    size_t nTrusted = 0;
    SIndexEntry prev;
    for (size_t i = 0; i < nMax; ++i) {
        SIndexEntry e;
        if (!EntryAt(pb + cbHeader + i * cbEntry, cbEntry, dwCrc, &e))
            break;
        if (i == 0) {
            if (e.llOffset != h.llStart)
                return KVMM_E_INVALID_DATA;
        } else if (e.llOffset < prev.llOffset || (e.llOffset == prev.llOffset && !(prev.dwFlags & kIndexFlagRunEnd)) ||
                   e.llMono < prev.llMono || (prev.dwFlags & kIndexFlagEnd)) {
            break;
        }
        if (e.dwFlags & kIndexFlagEnd) {
            if (e.llOffset != llEnd)
                break;
            pIndex->bComplete = true;
        } else if (e.llOffset >= llEnd) {
            break;  // not published yet, or never written
        }
        prev = e;
        ++nTrusted;
    }
    if (nTrusted > 0) {
        std::unique_ptr<SIndexEntry[]> p(new (std::nothrow) SIndexEntry[nTrusted]);
        if (!p) {
            pIndex->bComplete = false;
            return E_OUTOFMEMORY;
        }
        for (size_t i = 0; i < nTrusted; ++i)
            (void)EntryAt(pb + cbHeader + i * cbEntry, cbEntry, dwCrc, &p[i]);
        pIndex->pEntries = std::move(p);
    }
    pIndex->nEntries = nTrusted;
    return S_OK;
}

CWString IndexPathFor(std::u16string_view recordingPath)
{
    CWString str(recordingPath);
    const size_t n = str.size();
    auto upper = [](WCHAR ch) { return ch >= u'a' && ch <= u'z' ? static_cast<WCHAR>(ch - 32) : ch; };
    if (n >= 4 && str[n - 4] == u'.' && upper(str[n - 3]) == u'K' && upper(str[n - 2]) == u'R' &&
        upper(str[n - 1]) == u'C') {
        str[n - 1] = str[n - 1] == u'c' ? u'i' : u'I';
        return str;
    }
    str.append(u".KRI");
    return str;
}

GUID NewStreamIdentifier()
{
    static std::atomic<ULONGLONG> s_ullCount{0};
    int nLocal = 0;
    ULONGLONG ull = static_cast<ULONGLONG>(IndexWallClockNow()) ^
                    (static_cast<ULONGLONG>(IndexMonotonicNow()) << 17) ^
                    (static_cast<ULONGLONG>(GetCurrentProcessId()) << 40) ^
                    static_cast<ULONGLONG>(reinterpret_cast<uintptr_t>(&nLocal)) ^
                    (s_ullCount.fetch_add(1, std::memory_order_relaxed) * 0xD6E8FEB86659FD93ull);
    const ULONGLONG a = SplitMix(&ull);
    const ULONGLONG b = SplitMix(&ull);
    GUID g;
    g.Data1 = static_cast<uint32_t>(a);
    g.Data2 = static_cast<uint16_t>(a >> 32);
    g.Data3 = static_cast<uint16_t>(((a >> 48) & 0x0FFF) | 0x4000);  // random (version 4)
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(b >> (8 * i));
    g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

LONGLONG IndexWallClockNow()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return static_cast<LONGLONG>(FileTimeToU64(ft));
}

LONGLONG IndexMonotonicNow()
{
    // The clock GetTickCount reads, at a finer grain.
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

HRESULT CDVRIndexWriter::Begin(std::unique_ptr<IFile> pFile, const SIndexHeader& header)
{
    m_pFile.reset();
    if (!pFile)
        return E_POINTER;
    BYTE ab[kIndexHeaderBytes];
    EncodeIndexHeader(header, ab);
    DWORD cbDone = 0;
    HRESULT hr = pFile->Write(ab, sizeof(ab), &cbDone);
    if (SUCCEEDED(hr) && cbDone != sizeof(ab))
        hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    if (FAILED(hr))
        return hr;
    m_dwSeed = GetLE32(ab + kIndexHeaderBytes - 4);
    m_pFile = std::move(pFile);
    return S_OK;
}

void CDVRIndexWriter::Close()
{
    if (m_pFile)
        (void)m_pFile->SetEndOfFile();  // a longer old tail would only cost space: it never checks
    m_pFile.reset();
}

HRESULT CDVRIndexWriter::Append(const SIndexEntry* pEntries, int nEntries)
{
    if (!m_pFile)
        return E_UNEXPECTED;
    if (nEntries < 1 || nEntries > 2)
        return E_INVALIDARG;
    BYTE ab[2][kIndexEntryBytes];
    for (int i = 0; i < nEntries; ++i)
        EncodeIndexEntry(pEntries[i], m_dwSeed, ab[i]);
    const DWORD cb = static_cast<DWORD>(nEntries) * kIndexEntryBytes;
    DWORD cbDone = 0;
    HRESULT hr = m_pFile->Write(ab, cb, &cbDone);
    if (SUCCEEDED(hr) && cbDone != cb)
        hr = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    return hr;
}

}  // namespace dvr
