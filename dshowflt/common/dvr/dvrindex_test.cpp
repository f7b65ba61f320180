// The time index beside each recording: its bytes as documented, what a
// reader trusts of a torn or corrupt one, what the writer puts in it, and
// the offsets and times readers take from it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrindex.h"
#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "dshowflt/common/dvr/dvrtimeindex.h"
#include "platform/thread.h"

using namespace dvr;

namespace {

constexpr LONG kFiles = 3;
constexpr LONGLONG kFileSize = 64 * 1024;
constexpr LONG kBlock = 1316;

using dvrtest::ReadFileBytes;
using dvrtest::WriteFileBytes;

// An index image built entry by entry, as a writer lays it out.
struct SImage
{
    SIndexHeader header;
    std::vector<SIndexEntry> entries;
    std::string Bytes() const
    {
        BYTE abHeader[kIndexHeaderBytes];
        EncodeIndexHeader(header, abHeader);
        std::string s(reinterpret_cast<const char*>(abHeader), sizeof(abHeader));
        const DWORD dwSeed = IndexHeaderCrc(header);
        for (const SIndexEntry& e : entries) {
            BYTE ab[kIndexEntryBytes];
            EncodeIndexEntry(e, dwSeed, ab);
            s.append(reinterpret_cast<const char*>(ab), sizeof(ab));
        }
        return s;
    }
};

SImage SampleImage()
{
    SImage img;
    img.header.streamId = NewStreamIdentifier();
    img.header.nPlayIndex = 7;
    img.header.llStart = 1000000;
    img.header.llCreated = 133600000000000000LL;
    const LONGLONG t = 133600000000000000LL, m = 5000000;
    img.entries = {
        {1000000, t, m, kIndexFlagStart},
        {1013160, t + 500000, m + 500000, 0},
        {1026320, t + 1000000, m + 1000000, kIndexFlagDiscontinuity},
        {1039480, t + 1100000, m + 1100000, kIndexFlagRunEnd},
        {1039480, t + 3000000, m + 3000000, kIndexFlagResume},
        {1065536, t + 3400000, m + 3400000, kIndexFlagEnd},
    };
    return img;
}

bool SameEntry(const SIndexEntry& a, const SIndexEntry& b)
{
    return a.llOffset == b.llOffset && a.llTime == b.llTime && a.llMono == b.llMono && a.dwFlags == b.dwFlags;
}

// What a reader makes of an image: S_OK with the entries, or the failure.
HRESULT Parse(const std::string& s, LONGLONG llSize, SParsedIndex* p)
{
    return ParseIndex(reinterpret_cast<const BYTE*>(s.data()), s.size(), llSize, p);
}

// The trusted entries of img's bytes after a change must be the first ones
// of the original, in order: a reader never believes an entry that is not
// what the writer wrote.
::testing::AssertionResult IsTrustedPrefix(const SImage& img, const std::string& s, LONGLONG llSize)
{
    SParsedIndex parsed;
    const HRESULT hr = Parse(s, llSize, &parsed);
    if (FAILED(hr))
        return hr == KVMM_E_INVALID_HEADER || hr == KVMM_E_INVALID_DATA
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "status " << std::hex << hr;
    if (parsed.header.llStart != img.header.llStart || parsed.header.nPlayIndex != img.header.nPlayIndex ||
        parsed.nEntries > img.entries.size())
        return ::testing::AssertionFailure() << "a header or entry that was never written";
    for (size_t i = 0; i < parsed.nEntries; ++i)
        if (!SameEntry(parsed.pEntries[i], img.entries[i]))
            return ::testing::AssertionFailure() << "entry " << i << " differs";
    if (parsed.bComplete && parsed.nEntries != img.entries.size())
        return ::testing::AssertionFailure() << "complete without the end entry";
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(CDVRIndexFormatTest, BytesAreTheDocumentedLittleEndianLayout)
{
    // The CRC-32C check value of "123456789" (RFC 3720, B.4).
    EXPECT_EQ(Crc32c(0, reinterpret_cast<const BYTE*>("123456789"), 9), 0xE3069283u);

    const SImage img = SampleImage();
    const std::string s = img.Bytes();
    ASSERT_EQ(s.size(), 64u + 6 * 32u);
    auto u = [&s](size_t off, int cb) {
        ULONGLONG v = 0;
        for (int i = cb - 1; i >= 0; --i)
            v = (v << 8) | static_cast<BYTE>(s[off + static_cast<size_t>(i)]);
        return v;
    };
    EXPECT_EQ(s.substr(0, 8), "KVDVRIDX");
    EXPECT_EQ(u(8, 2), 1u);
    EXPECT_EQ(u(10, 2), 64u);
    EXPECT_EQ(u(12, 2), 32u);
    EXPECT_EQ(u(32, 4), 7u);
    EXPECT_EQ(u(40, 8), 1000000u);
    EXPECT_EQ(u(48, 8), 133600000000000000u);
    EXPECT_EQ(u(60, 4), Crc32c(0, reinterpret_cast<const BYTE*>(s.data()), 60));
    // The second entry: offset, times, flags, and its CRC seeded with the
    // header's.
    EXPECT_EQ(u(96, 8), 1013160u);
    EXPECT_EQ(u(104, 8), 133600000000500000u);
    EXPECT_EQ(u(112, 8), 5500000u);
    EXPECT_EQ(u(120, 4), 0u);
    EXPECT_EQ(u(124, 4), Crc32c(static_cast<DWORD>(u(60, 4)), reinterpret_cast<const BYTE*>(s.data()) + 96, 28));

    SParsedIndex parsed;
    ASSERT_EQ(Parse(s, 65536, &parsed), S_OK);
    EXPECT_EQ(parsed.header.streamId, img.header.streamId);
    EXPECT_TRUE(parsed.bComplete);
    EXPECT_TRUE(IsTrustedPrefix(img, s, 65536));
    EXPECT_EQ(parsed.nEntries, 6u);

    EXPECT_EQ(IndexPathFor(u"dir/Capture_3.KRC"), u"dir/Capture_3.KRI");
    EXPECT_EQ(IndexPathFor(u"Capture_3.krc"), u"Capture_3.kri");
    EXPECT_EQ(IndexPathFor(u"odd.name"), u"odd.name.KRI");
    EXPECT_NE(NewStreamIdentifier(), NewStreamIdentifier());
}

TEST(CDVRIndexFormatTest, EveryChangedByteAndEveryCutLeavesOnlyTheWritersOwnEntries)
{
    const SImage img = SampleImage();
    const std::string s = img.Bytes();
    for (size_t n = 0; n <= s.size(); ++n) {
        ASSERT_TRUE(IsTrustedPrefix(img, s.substr(0, n), 65536)) << "cut at " << n;
        SParsedIndex parsed;
        if (SUCCEEDED(Parse(s.substr(0, n), 65536, &parsed))) {
            EXPECT_EQ(parsed.nEntries, (n - 64) / 32) << "cut at " << n;
        }
    }
    for (size_t i = 0; i < s.size(); ++i) {
        for (int v = 0; v < 256; ++v) {
            if (v == static_cast<BYTE>(s[i]))
                continue;
            std::string t = s;
            t[i] = static_cast<char>(v);
            ASSERT_TRUE(IsTrustedPrefix(img, t, 65536)) << "byte " << i << " = " << v;
        }
    }

    // Entries past the published size are the writer's next ones: not yet.
    SParsedIndex parsed;
    ASSERT_EQ(Parse(s, 39480, &parsed), S_OK);
    EXPECT_EQ(parsed.nEntries, 3u);
    EXPECT_FALSE(parsed.bComplete);
    // Sound entries in an unsound order end the trusted part.
    SImage bad = img;
    bad.entries[2].llOffset = 1013160;  // the same offset without an end of run before it
    ASSERT_EQ(Parse(bad.Bytes(), 65536, &parsed), S_OK);
    EXPECT_EQ(parsed.nEntries, 2u);
    bad = img;
    bad.entries[3].llMono = bad.entries[2].llMono - 1;  // the monotonic clock went back
    ASSERT_EQ(Parse(bad.Bytes(), 65536, &parsed), S_OK);
    EXPECT_EQ(parsed.nEntries, 3u);
    bad = img;
    bad.entries[0].llOffset = 1000001;  // the first entry is not the recording's start
    EXPECT_EQ(Parse(bad.Bytes(), 65536, &parsed), KVMM_E_INVALID_DATA);
    // Entries written under another header (a previous use of the file) fail.
    SImage other = img;
    other.header.nPlayIndex = 4;
    const std::string mixed = s.substr(0, 64 + 2 * 32) + other.Bytes().substr(64 + 2 * 32);
    ASSERT_EQ(Parse(mixed, 65536, &parsed), S_OK);
    EXPECT_EQ(parsed.nEntries, 2u);
}

namespace {

class CDVRIndexTest : public dvrtest::CTempFolderTest
{
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        // Named, so that a start again reuses the stub that readers hold.
        ASSERT_EQ(m_writer.Start(m_strDir, kFiles, static_cast<double>(kFileSize)), S_OK);
    }
    HRESULT Write(LONG cb) { return m_writer.Write(cb); }
    // The index of slot n as a reader of the stub sees it.
    HRESULT ReadIndex(LONG nSlot, SParsedIndex* p)
    {
        CDVREngine reader(false);
        LONG nCount = 0;
        std::unique_ptr<RecordingInfo[]> pList;
        HRESULT hr = reader.SetStubFileName(Utf8ToWide(P("Capture.KBL")).c_str(), -1, FALSE);
        if (SUCCEEDED(hr))
            hr = reader.ReadAllRecordingsInfo(&nCount, &pList);
        if (SUCCEEDED(hr) && nSlot >= nCount)
            hr = E_INVALIDARG;
        return SUCCEEDED(hr) ? reader.ReadIndexOf(pList[nSlot], false, p) : hr;
    }
    struct SReader
    {
        CDVREngine engine{false};
    };
    std::unique_ptr<SReader> StartReader()
    {
        auto p = std::make_unique<SReader>();
        EXPECT_EQ(p->engine.SetStubFileName(Utf8ToWide(P("Capture.KBL")).c_str(), -1, FALSE), S_OK);
        EXPECT_EQ(p->engine.StartReader(nullptr), S_OK);
        return p;
    }

    dvrtest::CTestWriter m_writer;
};

}  // namespace

TEST_F(CDVRIndexTest, TheWriterIndexesEveryRecordingFromItsStartToItsEnd)
{
    // Blocks every 10 ms for 300 ms, a discontinuity, a pause of 150 ms,
    // then enough to fill the first recording and start the second. The
    // sleeps make the times the index records; nothing waits on them.
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(Write(kBlock), S_OK);
        Sleep(10);
    }
    m_writer->MarkDiscontinuity();
    const LONGLONG llDiscontinuity = m_writer.Written();
    ASSERT_EQ(Write(kBlock), S_OK);
    Sleep(150);
    const LONGLONG llResume = m_writer.Written();
    ASSERT_EQ(Write(kBlock), S_OK);
    while (m_writer.Written() + kBlock <= kFileSize)
        ASSERT_EQ(Write(kBlock), S_OK);
    const LONGLONG llFirstEnd = m_writer.Written();
    ASSERT_EQ(Write(kBlock), S_OK);  // the second recording
    (void)m_writer->BeginWaitingForData();
    ASSERT_EQ(m_writer->StopDVR(), S_OK);

    SParsedIndex a, b;
    ASSERT_EQ(ReadIndex(0, &a), S_OK);
    ASSERT_EQ(ReadIndex(1, &b), S_OK);
    EXPECT_EQ(a.header.streamId, m_writer->GetStreamIdentifier());
    EXPECT_EQ(b.header.streamId, m_writer->GetStreamIdentifier());
    EXPECT_EQ(a.header.nPlayIndex, 0);
    EXPECT_EQ(b.header.nPlayIndex, 1);
    EXPECT_EQ(a.header.llStart, 0);
    EXPECT_EQ(b.header.llStart, llFirstEnd);
    ASSERT_TRUE(a.bComplete);
    ASSERT_TRUE(b.bComplete);
    ASSERT_GE(a.nEntries, 8u);

    const SIndexEntry* e = a.pEntries.get();
    EXPECT_EQ(e[0].dwFlags, kIndexFlagStart);
    EXPECT_EQ(e[a.nEntries - 1].llOffset, llFirstEnd);
    EXPECT_EQ(b.pEntries[0].llOffset, llFirstEnd);
    EXPECT_EQ(b.pEntries[0].dwFlags & kIndexFlagStart, kIndexFlagStart);
    bool bSawDiscontinuity = false, bSawPause = false;
    for (size_t i = 0; i + 1 < a.nEntries; ++i) {
        // Entries sit on block boundaries: each is the first byte of a write.
        EXPECT_EQ(e[i].llOffset % kBlock, 0) << i;
        if (e[i].dwFlags & kIndexFlagDiscontinuity) {
            EXPECT_EQ(e[i].llOffset, llDiscontinuity);
            bSawDiscontinuity = true;
        }
        if (e[i].dwFlags & kIndexFlagRunEnd) {
            // The run ended with the last write before the pause; the
            // resumption follows at the same offset, the pause later.
            EXPECT_EQ(e[i].llOffset, llResume);
            EXPECT_EQ(e[i + 1].llOffset, llResume);
            EXPECT_TRUE(e[i + 1].dwFlags & kIndexFlagResume);
            EXPECT_GE(e[i + 1].llMono - e[i].llMono, 140 * 10000);
            bSawPause = true;
        } else if (!(e[i + 1].dwFlags & kIndexFlagEnd)) {
            // While data flows, at least one entry per 100 ms.
            EXPECT_LE(e[i + 1].llMono - e[i].llMono, 100 * 10000 * (e[i + 1].llOffset == llResume ? 3 : 1)) << i;
        }
        // Wall and monotonic clocks move together here (no step).
        EXPECT_NEAR(static_cast<double>(e[i + 1].llTime - e[i].llTime),
                    static_cast<double>(e[i + 1].llMono - e[i].llMono), 20 * 10000.0);
    }
    EXPECT_TRUE(bSawDiscontinuity);
    EXPECT_TRUE(bSawPause);

    // Owner-only, like the recordings.
    struct stat st;
    ASSERT_EQ(stat(P("Capture_0.KRI").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(CDVRIndexTest, IndexesGoWithTheirRecordingsAndNeverFollowALink)
{
    // A link planted where the second recording's index goes is not
    // followed: its target keeps its bytes, the recording is written anyway.
    WriteFileBytes(P("target"), std::string("precious"));
    ASSERT_EQ(symlink(P("target").c_str(), P("Capture_1.KRI").c_str()), 0);
    ASSERT_EQ(Write(60000), S_OK);
    ASSERT_EQ(Write(60000), S_OK);
    EXPECT_EQ(ReadFileBytes(P("target")), "precious");
    SParsedIndex parsed;
    EXPECT_TRUE(FAILED(ReadIndex(1, &parsed)));
    EXPECT_EQ(ReadIndex(0, &parsed), S_OK);

    // A reused slot's index is made anew: nothing of the old recording's.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Write(60000), S_OK);
    ASSERT_EQ(ReadIndex(0, &parsed), S_OK);
    EXPECT_EQ(parsed.header.nPlayIndex, 3);
    EXPECT_EQ(parsed.pEntries[0].llOffset, 180000);

    // A buffer whose files go when it stops takes its indexes along.
    const std::string strOld = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    const std::string strDir = P("temp");
    ASSERT_EQ(mkdir(strDir.c_str(), 0700), 0);
    setenv("TMPDIR", strDir.c_str(), 1);
    CBaseDVRSink* pDefault = new CBaseDVRSink("default sink", nullptr);
    pDefault->NonDelegatingAddRef();
    if (strOld.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", strOld.c_str(), 1);
    ASSERT_EQ(pDefault->StartDVR(), S_OK);
    // Two recordings of the default 10 MiB: a block that does not fit starts
    // the next.
    std::vector<BYTE> v(6 << 20, 1);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(pDefault->WriteData(v.data(), static_cast<LONG>(v.size())), S_OK);
    EXPECT_EQ(access((strDir + "/Capture_1.KRI").c_str(), F_OK), 0);
    ASSERT_EQ(pDefault->StopDVR(), S_OK);
    EXPECT_EQ(ReadFileBytes(strDir + "/Capture_0.KRI"), "");
    EXPECT_EQ(system(("test -z \"$(ls -A '" + strDir + "')\"").c_str()), 0) << "files left in " << strDir;
    pDefault->NonDelegatingRelease();
}

TEST_F(CDVRIndexTest, ADeadRingKeepsTheWritersOffsetsAndAStartedAgainRingIsANewStream)
{
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Write(40000), S_OK);
    const GUID guidFirst = m_writer->GetStreamIdentifier();
    std::unique_ptr<SReader> pLive = StartReader();
    ASSERT_EQ(m_writer->StopDVR(), S_OK);

    // Without a writer to ask, a new reader still counts as it did.
    std::unique_ptr<SReader> pDead = StartReader();
    LONGLONG llMin = 0, llMax = 0;
    ASSERT_EQ(pDead->engine.GetOffsets(&llMin, &llMax), S_OK);
    EXPECT_EQ(llMax, 200000);
    EXPECT_EQ(llMin, 200000 - 3 * 40000);  // one block per recording, three recordings kept
    std::vector<BYTE> v(1000);
    DWORD cbRead = 0;
    ASSERT_EQ(pDead->engine.ReadData(llMin, 1000, 1000, v.data(), &cbRead, 0), S_OK);
    EXPECT_EQ(-1, dvrtest::FindMismatch(v.data(), llMin, cbRead));
    GUID g;
    ASSERT_TRUE(pDead->engine.GetStreamIdentity(&g));
    EXPECT_EQ(g, guidFirst);

    // Started again under the same stub: a new stream, counted from 0.
    m_writer.Restarted(0x5EED);
    ASSERT_EQ(m_writer->StartDVR(), S_OK);
    ASSERT_EQ(Write(1000), S_OK);
    (void)m_writer->BeginWaitingForData();
    ASSERT_EQ(m_writer->StopDVR(), S_OK);
    EXPECT_NE(m_writer->GetStreamIdentifier(), guidFirst);
    EXPECT_EQ(pLive->engine.ReadData(150000, 10, 10, v.data(), &cbRead, 0), KVMM_E_DVR_DISCARDED_DATA);
    ASSERT_EQ(pLive->engine.GetOffsets(&llMin, &llMax), S_OK);
    EXPECT_EQ(llMin, 0);
    EXPECT_EQ(llMax, 1000);
    ASSERT_TRUE(pLive->engine.GetStreamIdentity(&g));
    EXPECT_EQ(g, m_writer->GetStreamIdentifier());
    ASSERT_EQ(pLive->engine.ReadData(0, 1000, 1000, v.data(), &cbRead, 0), S_OK);
    EXPECT_EQ(-1, dvrtest::FindMismatch(v.data(), 0, 1000, m_writer.Seed()));  // the new stream's bytes
}

TEST_F(CDVRIndexTest, TimesAndOffsetsMapBothWaysAndABrokenIndexNeverMovesAStartLater)
{
    // Three recordings, with a pause inside the second.
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(Write(kBlock), S_OK);
        if (i == 60)
            Sleep(120);
        else if (i % 4 == 0)
            Sleep(5);
    }
    ASSERT_EQ(m_writer->StopDVR(), S_OK);
    std::unique_ptr<SReader> pReader = StartReader();
    CDVRTimeIndex index;
    ASSERT_EQ(index.Load(&pReader->engine), S_OK);
    ASSERT_TRUE(index.HasTimes());
    ASSERT_TRUE(index.OffsetsAreWriters());
    EXPECT_EQ(index.RecordingCount(), 3);
    LONGLONG llFirst = 0, llLast = 0;
    ASSERT_TRUE(index.GetSpan(&llFirst, &llLast));
    for (size_t i = 0; i < index.EntryCount(); ++i) {
        const SIndexEntry& e = index.Entry(i);
        LONGLONG ll = 0;
        if (!(e.dwFlags & (kIndexFlagRunEnd | kIndexFlagEnd)) && e.llOffset < index.MaxOffset()) {
            ASSERT_EQ(index.TimeAtOffset(e.llOffset, &ll), S_OK) << i;
            EXPECT_EQ(ll, e.llTime) << i;
            ASSERT_EQ(index.OffsetAtTime(e.llTime, false, &ll), S_OK);
            EXPECT_EQ(ll, e.llOffset) << i;
        }
        if (e.dwFlags & kIndexFlagEnd) {
            LONGLONG llEnd = 0;  // the last byte before the end came before the end's time
            ASSERT_EQ(index.OffsetAtTime(e.llTime, false, &llEnd), S_OK);
            EXPECT_LE(llEnd, e.llOffset);
        }
    }
    // Along the span, later times never give earlier offsets, and every
    // answer names bytes the ring holds: the first byte received at or after
    // the time asked (to interpolation's millisecond), no later than the
    // first entry at or after it, which for a time in the pause is when the
    // stream went on.
    LONGLONG llPrev = index.MinOffset();
    std::vector<LONGLONG> aTimes, aOffsets;
    for (LONGLONG t = llFirst; t <= llLast; t += (llLast - llFirst) / 97 + 1) {
        LONGLONG ll = 0, llBack = 0;
        ASSERT_EQ(index.OffsetAtTime(t, false, &ll), S_OK);
        EXPECT_GE(ll, llPrev);
        EXPECT_LE(ll, index.MaxOffset());
        llPrev = ll;
        aTimes.push_back(t);
        aOffsets.push_back(ll);
        if (ll < index.MaxOffset()) {
            ASSERT_EQ(index.TimeAtOffset(ll, &llBack), S_OK);
            size_t j = 0;
            while (index.Entry(j).llTime < t)
                ++j;
            EXPECT_GE(llBack, t - 10000) << "time " << t;
            EXPECT_LE(llBack, index.Entry(j).llTime) << "time " << t;
        }
    }
    LONGLONG ll = 0;
    EXPECT_EQ(index.OffsetAtTime(llFirst - 1, false, &ll), E_INVALIDARG);
    EXPECT_EQ(index.OffsetAtTime(llLast + 1, false, &ll), E_INVALIDARG);
    EXPECT_EQ(index.TimeAtOffset(index.MaxOffset(), &ll), KVMM_E_NO_RECEIVE_TIME);
    double dBits = 0;
    EXPECT_TRUE(index.GetBitRate(-1, &dBits));
    EXPECT_GT(dBits, 0);

    // Every byte of the middle recording's index changed in turn, and every
    // cut of it: a start found by time is never later than the intact one
    // (a reader may copy more, never less), nor outside the ring; a time is
    // the intact one or none.
    const std::string strIndex = P("Capture_1.KRI");
    const std::string s = ReadFileBytes(strIndex);
    ASSERT_GT(s.size(), 64u + 3 * 32u);
    auto check = [&](const std::string& strWhat) {
        std::unique_ptr<SReader> p = StartReader();
        CDVRTimeIndex broken;
        ASSERT_EQ(broken.Load(&p->engine), S_OK) << strWhat;
        for (size_t k = 0; k < aTimes.size(); ++k) {
            LONGLONG llOffset = 0, llTime = 0, llIntact = 0;
            const HRESULT hr = broken.OffsetAtTime(aTimes[k], false, &llOffset);
            if (FAILED(hr)) {
                ASSERT_TRUE(hr == E_INVALIDARG || hr == KVMM_E_NO_RECEIVE_TIME) << strWhat;
                continue;
            }
            ASSERT_LE(llOffset, aOffsets[k]) << strWhat << ", time " << k;
            ASSERT_GE(llOffset, broken.MinOffset()) << strWhat;
            LONGLONG llEnd = 0;
            ASSERT_EQ(broken.OffsetAtTime(aTimes[k], true, &llEnd), S_OK);
            ASSERT_GE(llEnd, aOffsets[k]) << strWhat << ", time " << k;
            if (SUCCEEDED(broken.TimeAtOffset(aOffsets[k], &llTime)) &&
                SUCCEEDED(index.TimeAtOffset(aOffsets[k], &llIntact))) {
                ASSERT_EQ(llTime, llIntact) << strWhat;
            }
        }
    };
    for (size_t i = 0; i < s.size(); ++i) {
        std::string t = s;
        t[i] = static_cast<char>(t[i] ^ 0x5A);
        WriteFileBytes(strIndex, t);
        check("byte " + std::to_string(i));
    }
    for (size_t n = 0; n < s.size(); n += 7) {
        WriteFileBytes(strIndex, s.substr(0, n));
        check("cut at " + std::to_string(n));
    }
    // An index placing its recording elsewhere than the others do is left out.
    SParsedIndex parsed;
    ASSERT_EQ(ParseIndex(reinterpret_cast<const BYTE*>(s.data()), s.size(), kFileSize, &parsed), S_OK);
    SImage moved;
    moved.header = parsed.header;
    moved.header.llStart += 188;
    for (size_t i = 0; i < parsed.nEntries; ++i) {
        moved.entries.push_back(parsed.pEntries[i]);
        moved.entries.back().llOffset += 188;
    }
    WriteFileBytes(strIndex, moved.Bytes());
    check("moved");
    std::unique_ptr<SReader> p = StartReader();
    CDVRTimeIndex left;
    ASSERT_EQ(left.Load(&p->engine), S_OK);
    EXPECT_EQ(left.Recording(1).hrIndex, KVMM_E_INVALID_DATA);
    EXPECT_EQ(left.Recording(1).nEntries, 0u);
}

TEST_F(CDVRIndexTest, AFollowerNeverSeesAnEntryBeyondThePublishedData)
{
    // The writer writes, pausing now and then, while a reader keeps loading
    // the index: every entry it trusts names published bytes, and the span
    // only grows.
    std::atomic<bool> bStop{false}, bDone{false};
    std::thread writer([&] {
        for (int i = 0; i < 400 && !bStop; ++i) {
            if (FAILED(Write(kBlock)))
                break;
            if (i % 50 == 49)
                Sleep(60);
            else if (i % 5 == 0)
                Sleep(1);
        }
        (void)m_writer->BeginWaitingForData();
        bDone = true;
    });
    std::unique_ptr<SReader> pReader = StartReader();
    int nLoads = 0;
    LONGLONG llLastSeen = 0;
    // Until the writer is done, and once more after.
    for (const DWORD dwStart = GetTickCount(); TickDiff(GetTickCount(), dwStart) < 20000; ++nLoads) {
        const bool bLast = bDone;
        CDVRTimeIndex index;
        const HRESULT hr = index.Load(&pReader->engine);
        if (hr == KVMM_E_DVR_NO_RECORDINGS)
            continue;
        ASSERT_EQ(hr, S_OK);
        for (size_t i = 0; i < index.EntryCount(); ++i) {
            const SIndexEntry& e = index.Entry(i);
            ASSERT_GE(e.llOffset, index.MinOffset());
            if (e.dwFlags & kIndexFlagEnd)
                ASSERT_LE(e.llOffset, index.MaxOffset());
            else
                ASSERT_LT(e.llOffset, index.MaxOffset());
        }
        LONGLONG llFirst = 0, llLast = 0;
        if (index.GetSpan(&llFirst, &llLast)) {
            EXPECT_GE(llLast, llLastSeen);
            llLastSeen = llLast;
        }
        if (bLast)
            break;
    }
    bStop = true;
    writer.join();
    EXPECT_GT(nLoads, 10);
    EXPECT_GT(llLastSeen, 0);
}
