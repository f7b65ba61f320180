// The reader engine against stubs laid down step by step by a writer-mode
// engine (no live writer: every ownerName is empty unless a test says so),
// and against stubs written byte by byte with hostile counts and sizes.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrtest_util.h"

namespace {

using dvrtest::StreamByte;

class CDVRReaderTest : public dvrtest::CTempFolderTest
{
protected:
    void TearDown() override { m_reader.StopReader(); }
    void StartReader()
    {
        ASSERT_EQ(S_OK, m_reader.SetStubFileName(m_ring.Stub().c_str(), -1, FALSE));
        ASSERT_EQ(S_OK, m_reader.StartReader(nullptr));
    }
    // Reads cb bytes at llOffset and checks them against the stream.
    HRESULT ReadAndCheck(LONGLONG llOffset, DWORD cb)
    {
        std::vector<BYTE> v(cb);
        DWORD cbRead = 0;
        HRESULT hr = m_reader.ReadData(llOffset, cb, cb, v.data(), &cbRead, 0);
        if (hr != S_OK)
            return hr;
        EXPECT_EQ(cb, cbRead);
        const LONGLONG llBad = dvrtest::FindMismatch(v.data(), llOffset, cbRead);
        EXPECT_EQ(-1, llBad) << "byte " << llBad << " differs";
        return llBad < 0 ? S_OK : E_FAIL;
    }

    dvrtest::CStubRing m_ring{m_strDir};
    CDVREngine m_reader{false};
};

TEST_F(CDVRReaderTest, ReadsSpanRecordingsAndEndAtTheDataWithoutAWriter)
{
    ASSERT_EQ(S_OK, m_ring.Start());
    ASSERT_EQ(S_OK, m_ring.AddRecording(3, 1000));
    ASSERT_EQ(S_OK, m_ring.AddRecording(3, 1500));
    StartReader();
    LONGLONG llMin = -1, llMax = -1;
    ASSERT_EQ(S_OK, m_reader.GetOffsets(&llMin, &llMax));
    EXPECT_EQ(0, llMin);
    EXPECT_EQ(2500, llMax);
    EXPECT_EQ(FALSE, m_reader.IsGrowingSource());

    // One call returns the end of the first recording and the start of the
    // second.
    EXPECT_EQ(S_OK, ReadAndCheck(900, 200));
    EXPECT_EQ(S_OK, ReadAndCheck(0, 2500));
    // A read may return more than its minimum, up to the buffer.
    std::vector<BYTE> v(4096);
    DWORD cbRead = 0;
    EXPECT_EQ(S_OK, m_reader.ReadData(2000, 1, 4096, v.data(), &cbRead, 0));
    EXPECT_EQ(500u, cbRead);

    // Nobody writes: a read at the end fails at once, and one more than a
    // buffer beyond the end is data that cannot be followed.
    EXPECT_EQ(KVMM_E_DVR_STOPPED, m_reader.ReadData(2500, 188, 65536, v.data(), &cbRead, 0));
    std::vector<BYTE> vBig(65536);
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, m_reader.ReadData(2500 + 65537, 188, 65536, vBig.data(), &cbRead, 0));
    EXPECT_EQ(E_INVALIDARG, m_reader.ReadData(0, 10, 5, v.data(), &cbRead, 0));
}

TEST_F(CDVRReaderTest, ReusedSlotMovesMinOffsetAndRestartFailsOnlyTheNextRead)
{
    ASSERT_EQ(S_OK, m_ring.Start());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(S_OK, m_ring.AddRecording(3, 1000 + 100 * i));
    StartReader();
    EXPECT_EQ(S_OK, ReadAndCheck(0, 100));

    ASSERT_EQ(S_OK, m_ring.AddRecording(3, 500));  // playIndex 3 replaces slot 0
    EXPECT_EQ(TRUE, m_reader.CheckIfRecordingInfoHasChanged());
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(0, 100));
    LONGLONG llMin = -1, llMax = -1;
    ASSERT_EQ(S_OK, m_reader.GetOffsets(&llMin, &llMax));
    EXPECT_EQ(1000, llMin);
    EXPECT_EQ(1000 + 1100 + 1200 + 500, llMax);
    EXPECT_EQ(FALSE, m_reader.CheckIfRecordingInfoHasChanged());
    EXPECT_EQ(S_OK, ReadAndCheck(llMin, 100));
    EXPECT_EQ(S_OK, ReadAndCheck(llMax - 700, 700));  // across playIndex 2 and 3

    // Two more recordings wrap past everything but playIndex 4 and 5.
    ASSERT_EQ(S_OK, m_ring.AddRecording(3, 300));
    ASSERT_EQ(S_OK, m_ring.AddRecording(3, 300));
    ASSERT_EQ(S_OK, m_reader.GetOffsets(&llMin, &llMax));
    EXPECT_EQ(1000 + 1100 + 1200, llMin);

    // The writer starts a new buffer under the same stub: the next read
    // fails, and only that one.
    ASSERT_EQ(S_OK, m_ring.Start());
    ASSERT_EQ(S_OK, m_ring.AddRecording(3, 800));
    LONGLONG llMin2 = -1, llMax2 = -1;
    ASSERT_EQ(S_OK, m_reader.GetOffsets(&llMin2, &llMax2));
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(llMin2, 10));
    std::vector<BYTE> v(10);
    DWORD cbRead = 0;
    EXPECT_EQ(S_OK, m_reader.ReadData(llMin2, 10, 10, v.data(), &cbRead, 0));
    EXPECT_EQ(StreamByte(0), v[0]);  // the new buffer's first byte, not the old file's
}

TEST_F(CDVRReaderTest, AttributeChangeAndFlushEndReadsAndWaits)
{
    ASSERT_EQ(S_OK, m_ring.Start());
    ASSERT_EQ(S_OK, m_ring.AddRecording(3, 1000));
    std::vector<BYTE> v(100);
    DWORD cbRead = 0;
    EXPECT_EQ(KVMM_E_DVR_CHANGING_ATTRIBUTES, m_reader.ReadData(0, 10, 100, v.data(), &cbRead, 0));  // not started
    StartReader();
    m_reader.BeginAttributeChange();
    m_reader.BeginAttributeChange();
    EXPECT_EQ(KVMM_E_DVR_CHANGING_ATTRIBUTES, m_reader.ReadData(0, 10, 100, v.data(), &cbRead, 0));
    EXPECT_EQ(KVMM_E_DVR_CHANGING_ATTRIBUTES, m_reader.WaitForMoreData(2000, 0));
    m_reader.EndAttributeChange();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m_reader.GetNoChangeEvent(), 0));
    m_reader.EndAttributeChange();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_reader.GetNoChangeEvent(), 0));
    EXPECT_EQ(S_OK, ReadAndCheck(0, 100));

    m_reader.SetFlushing(true);
    EXPECT_EQ(VFW_E_WRONG_STATE, m_reader.WaitForMoreData(2000, 0));
    m_reader.SetFlushing(false);
    // A request that arrived and left again leaves nothing behind.
    m_reader.SignalNewRequest(TRUE);
    m_reader.SignalNewRequest(FALSE);
    EXPECT_EQ(KVMM_E_DVR_STOPPED, m_reader.WaitForMoreData(2000, 0));
}

TEST_F(CDVRReaderTest, CopyAndRecordingInfoUseTheReadersOffsets)
{
    ASSERT_EQ(S_OK, m_ring.Start());
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(S_OK, m_ring.AddRecording(3, 1000));
    StartReader();  // playIndex 0 is gone already: this reader's offset 0 is playIndex 1
    const CWString strOut = m_ring.W("copy.ts");
    EXPECT_EQ(E_POINTER, m_reader.CopyToFile(u"", 0, 10));
    EXPECT_EQ(E_INVALIDARG, m_reader.CopyToFile(strOut.c_str(), 10, 10));
    ASSERT_EQ(S_OK, m_reader.CopyToFile(strOut.c_str(), 900, 2100));
    const std::string str = dvrtest::ReadFileBytes(P("copy.ts"));
    ASSERT_EQ(1200u, str.size());
    EXPECT_EQ(-1, dvrtest::FindMismatch(str.data(), 1000 + 900, str.size()));
    ASSERT_EQ(S_OK, m_reader.CopyToFile(strOut.c_str(), 2500, -1));
    EXPECT_EQ(500u, dvrtest::ReadFileBytes(P("copy.ts")).size());

    BSTR bstr = nullptr;
    double dSize = 0, dOnDisk = 0;
    LONG nPlay = -1, nState = -1;
    ASSERT_EQ(S_OK, m_reader.GetRecordingInfo(0, &bstr, &dSize, &dOnDisk, &nPlay, &nState));
    EXPECT_EQ(CWString(u"Capture_0.KRC"), CWString(bstr));
    EXPECT_EQ(1000.0, dSize);
    EXPECT_EQ(1000.0, dOnDisk);
    EXPECT_EQ(3, nPlay);
    EXPECT_EQ(4, nState);  // complete: no writer
    SysFreeString(bstr);
    EXPECT_EQ(E_INVALIDARG, m_reader.GetRecordingInfo(3, &bstr, &dSize, &dOnDisk, &nPlay, &nState));
}

// Stubs that no writer produced: each ends in a status, with no huge
// allocation, no overflow and no endless walk.
TEST_F(CDVRReaderTest, HostileStubsEndInAClearStatus)
{
    auto header = [](uint32_t dwCount) {
        return dvrtest::CStubBuilder().Header(0, u"", dwCount);  // N = 0: no owner, no live writer
    };
    auto record = [](dvrtest::CStubBuilder& b, uint64_t ullSize, uint32_t dwPlay) {
        b.Record(u"Capture_0.KRC", 14, ullSize, dwPlay);
    };
    const CWString strStub = m_ring.Stub();
    auto expectCorrupt = [&](const dvrtest::CStubBuilder& b, const char* pszWhat) {
        dvrtest::WriteFileBytes(P("Capture.KBL"), b.m_v);
        CDVREngine reader(false);
        ASSERT_EQ(S_OK, reader.SetStubFileName(strStub.c_str(), -1, FALSE));
        ASSERT_EQ(S_OK, reader.StartReader(nullptr)) << pszWhat;
        BYTE ab[16];
        DWORD cbRead = 0;
        EXPECT_EQ(KVMM_E_DVR_CORRUPT_STUB_FILE, reader.ReadData(0, 16, 16, ab, &cbRead, 0)) << pszWhat;
        LONGLONG llMin, llMax;
        EXPECT_EQ(KVMM_E_DVR_CORRUPT_STUB_FILE, reader.GetOffsets(&llMin, &llMax)) << pszWhat;
        EXPECT_EQ(0u, cbRead);
    };

    dvrtest::CStubBuilder v = header(0xFFFFFFFFu);
    record(v, 100, 0);
    expectCorrupt(v, "recordCount 0xFFFFFFFF");
    v = header(1);
    record(v, ~0ull, 0);
    expectCorrupt(v, "size -1");
    v = header(1);
    record(v, 100, 0x7FFFFFFF);
    expectCorrupt(v, "playIndex 0x7FFFFFFF");

    // Sizes that each fit but whose running offsets pass 2^63 once the
    // oldest recording has been reused.
    const uint64_t ullHuge = (1ull << 62) - 1;
    v = header(2);
    record(v, ullHuge, 0);
    record(v, ullHuge, 1);
    dvrtest::WriteFileBytes(P("Capture.KBL"), v.m_v);
    CDVREngine reader(false);
    ASSERT_EQ(S_OK, reader.SetStubFileName(strStub.c_str(), -1, FALSE));
    ASSERT_EQ(S_OK, reader.StartReader(nullptr));
    LONGLONG llMin, llMax;
    ASSERT_EQ(S_OK, reader.GetOffsets(&llMin, &llMax));
    EXPECT_EQ(static_cast<LONGLONG>(2 * ullHuge), llMax);
    v = header(2);
    record(v, ullHuge, 2);
    record(v, ullHuge, 1);
    dvrtest::WriteFileBytes(P("Capture.KBL"), v.m_v);
    EXPECT_EQ(KVMM_E_DVR_CORRUPT_STUB_FILE, reader.GetOffsets(&llMin, &llMax));

    // No records at all is a status of its own.
    dvrtest::WriteFileBytes(P("Capture.KBL"), header(0).m_v);
    EXPECT_EQ(KVMM_E_DVR_NO_RECORDINGS, reader.GetOffsets(&llMin, &llMax));
}

}  // namespace
