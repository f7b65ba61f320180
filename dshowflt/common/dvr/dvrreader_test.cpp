// The reader engine against stubs laid down step by step by a writer-mode
// engine (no live writer: every ownerName is empty unless a test says so),
// and against stubs written byte by byte with hostile counts and sizes.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrengine.h"

namespace {

// Byte i of the test stream.
BYTE StreamByte(LONGLONG i)
{
    return static_cast<BYTE>((i * 131) ^ (i >> 8) ^ 0x5A);
}

// Lays down a ring as a writer would, one recording at a time.
class CStubWriter : public CDVREngine
{
public:
    explicit CStubWriter(std::string strDir) : CDVREngine(true), m_strDir(std::move(strDir)) {}
    CWString Path(const std::string& strName) const { return Utf8ToWide(m_strDir + "/" + strName); }

    HRESULT Start(LPCWSTR pszOwner = u"")
    {
        m_llTotal = 0;
        m_nPlay = 0;
        return CreateStubFile(Path("Capture.KBL").c_str(), pszOwner, FALSE);
    }
    // Recording number m_nPlay into slot m_nPlay % nSlots with the next cb
    // stream bytes.
    HRESULT AddRecording(LONG nSlots, LONGLONG cb)
    {
        const LONG nSlot = m_nPlay % nSlots;
        std::unique_ptr<IFile> pRec;
        const CWString strPath = Path("Capture_" + std::to_string(nSlot) + ".KRC");
        HRESULT hr = CreateRecording(strPath.c_str(), nSlot, m_nPlay, &pRec);
        if (FAILED(hr))
            return hr;
        std::vector<BYTE> v(static_cast<size_t>(cb));
        for (LONGLONG i = 0; i < cb; ++i)
            v[static_cast<size_t>(i)] = StreamByte(m_llTotal + i);
        DWORD cbWritten = 0;
        hr = pRec->Write(v.data(), static_cast<DWORD>(cb), &cbWritten);
        if (SUCCEEDED(hr))
            hr = pRec->SetEndOfFile();
        if (SUCCEEDED(hr) && nSlot == m_nPlay)
            hr = WriteRecordCount(static_cast<DWORD>(nSlot + 1));
        {
            CAutoLock lock(&m_csStubFile);
            m_nCurRecIndex = nSlot;
        }
        if (SUCCEEDED(hr))
            hr = SetRecordingSize(cb);
        CloseStubFile();
        m_llTotal += cb;
        ++m_nPlay;
        return hr;
    }

    std::string m_strDir;
    LONGLONG m_llTotal = 0;
    LONG m_nPlay = 0;
};

class CDVRReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char sz[] = "/tmp/kvdvrrd_XXXXXX";
        ASSERT_NE(mkdtemp(sz), nullptr);
        m_strDir = sz;
        m_pWriter = std::make_unique<CStubWriter>(m_strDir);
    }
    void TearDown() override
    {
        m_reader.StopReader();
        m_pWriter.reset();
        (void)system(("rm -rf '" + m_strDir + "'").c_str());
    }
    void StartReader()
    {
        const CWString strStub = m_pWriter->Path("Capture.KBL");
        ASSERT_EQ(S_OK, m_reader.SetStubFileName(strStub.c_str(), -1, FALSE));
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
        for (DWORD i = 0; i < cbRead; ++i)
            if (v[i] != StreamByte(llOffset + i)) {
                ADD_FAILURE() << "byte " << llOffset + i << " differs";
                return E_FAIL;
            }
        return S_OK;
    }
    void WriteFile(const std::string& strName, const std::vector<BYTE>& v) const
    {
        std::ofstream f(m_strDir + "/" + strName, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
    }

    std::string m_strDir;
    std::unique_ptr<CStubWriter> m_pWriter;
    CDVREngine m_reader{false};
};

TEST_F(CDVRReaderTest, ReadsSpanRecordingsAndEndAtTheDataWithoutAWriter)
{
    ASSERT_EQ(S_OK, m_pWriter->Start());
    ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 1000));
    ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 1500));
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
    ASSERT_EQ(S_OK, m_pWriter->Start());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 1000 + 100 * i));
    StartReader();
    EXPECT_EQ(S_OK, ReadAndCheck(0, 100));

    ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 500));  // playIndex 3 replaces slot 0
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
    ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 300));
    ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 300));
    ASSERT_EQ(S_OK, m_reader.GetOffsets(&llMin, &llMax));
    EXPECT_EQ(1000 + 1100 + 1200, llMin);

    // The writer starts a new buffer under the same stub: the next read
    // fails, and only that one.
    ASSERT_EQ(S_OK, m_pWriter->Start());
    ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 800));
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
    ASSERT_EQ(S_OK, m_pWriter->Start());
    ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 1000));
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
    ASSERT_EQ(S_OK, m_pWriter->Start());
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(S_OK, m_pWriter->AddRecording(3, 1000));
    StartReader();  // playIndex 0 is gone already: this reader's offset 0 is playIndex 1
    const CWString strOut = m_pWriter->Path("copy.ts");
    EXPECT_EQ(E_POINTER, m_reader.CopyToFile(u"", 0, 10));
    EXPECT_EQ(E_INVALIDARG, m_reader.CopyToFile(strOut.c_str(), 10, 10));
    ASSERT_EQ(S_OK, m_reader.CopyToFile(strOut.c_str(), 900, 2100));
    std::ifstream f(m_strDir + "/copy.ts", std::ios::binary);
    const std::string str((std::istreambuf_iterator<char>(f)), {});
    ASSERT_EQ(1200u, str.size());
    for (size_t i = 0; i < str.size(); ++i)
        ASSERT_EQ(StreamByte(1000 + 900 + static_cast<LONGLONG>(i)), static_cast<BYTE>(str[i])) << i;
    ASSERT_EQ(S_OK, m_reader.CopyToFile(strOut.c_str(), 2500, -1));
    std::ifstream f2(m_strDir + "/copy.ts", std::ios::binary);
    EXPECT_EQ(500u, std::string((std::istreambuf_iterator<char>(f2)), {}).size());

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
    auto u16 = [](std::vector<BYTE>& v, unsigned w) {
        v.push_back(static_cast<BYTE>(w));
        v.push_back(static_cast<BYTE>(w >> 8));
    };
    auto u32 = [&](std::vector<BYTE>& v, uint32_t dw) {
        u16(v, dw & 0xFFFF);
        u16(v, dw >> 16);
    };
    auto header = [&](uint32_t dwCount) {
        std::vector<BYTE> v = {'T', 'A', 'R', 'N', 'D', 'V', 'R', 0};
        u16(v, 0);  // N = 0: no owner, no live writer
        v.resize(v.size() + 16);
        u32(v, dwCount);
        return v;
    };
    auto record = [&](std::vector<BYTE>& v, uint64_t ullSize, uint32_t dwPlay) {
        u16(v, 2 + 2 * 14 + 28);
        u16(v, 14);
        for (char16_t c : std::u16string(u"Capture_0.KRC"))
            u16(v, c);
        u16(v, 0);
        u32(v, static_cast<uint32_t>(ullSize));
        u32(v, static_cast<uint32_t>(ullSize >> 32));
        u32(v, dwPlay);
        v.resize(v.size() + 16);
    };
    const CWString strStub = m_pWriter->Path("Capture.KBL");
    auto expectCorrupt = [&](const std::vector<BYTE>& v, const char* pszWhat) {
        WriteFile("Capture.KBL", v);
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

    std::vector<BYTE> v = header(0xFFFFFFFFu);
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
    WriteFile("Capture.KBL", v);
    CDVREngine reader(false);
    ASSERT_EQ(S_OK, reader.SetStubFileName(strStub.c_str(), -1, FALSE));
    ASSERT_EQ(S_OK, reader.StartReader(nullptr));
    LONGLONG llMin, llMax;
    ASSERT_EQ(S_OK, reader.GetOffsets(&llMin, &llMax));
    EXPECT_EQ(static_cast<LONGLONG>(2 * ullHuge), llMax);
    v = header(2);
    record(v, ullHuge, 2);
    record(v, ullHuge, 1);
    WriteFile("Capture.KBL", v);
    EXPECT_EQ(KVMM_E_DVR_CORRUPT_STUB_FILE, reader.GetOffsets(&llMin, &llMax));

    // No records at all is a status of its own.
    WriteFile("Capture.KBL", header(0));
    EXPECT_EQ(KVMM_E_DVR_NO_RECORDINGS, reader.GetOffsets(&llMin, &llMax));
}

}  // namespace
