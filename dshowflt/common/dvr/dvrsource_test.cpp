// The DVR source stream against a live writer in this process, against a
// finished buffer, and against stubs that name recordings outside their
// folder.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "platform/thread.h"

namespace {

using dvrtest::StreamBytes;

class CDVRSourceTest : public dvrtest::CTempFolderTest
{
protected:
    void TearDown() override { m_pSource.reset(); }
    // A live writer with nFiles recordings of cbFile bytes, and a source
    // following it from the start.
    void StartLive(LONG nFiles, double cbFile)
    {
        ASSERT_EQ(S_OK, m_writer.Start(m_strDir, nFiles, cbFile, nullptr));
        Write(kBlock);
        StartSource(m_writer.StubPath());
    }
    void StartSource(const CWString& strStub)
    {
        m_pSource = std::make_unique<CDVRSourceObject>();
        ASSERT_EQ(S_OK, m_pSource->SetStubFileName(strStub.c_str(), -1, FALSE));
        ASSERT_EQ(S_OK, m_pSource->StartDVRReader(nullptr));
    }
    // Blocks this large are published as soon as they are written; smaller
    // ones when a reader waits for them.
    static constexpr LONGLONG kBlock = 4096;
    void Write(LONGLONG cb) { ASSERT_EQ(S_OK, m_writer.Write(static_cast<LONG>(cb))); }
    LONGLONG MaxOffset()
    {
        double dFirst = 0, dCur = 0, dLast = 0;
        EXPECT_EQ(S_OK, m_pSource->GetAvailableRange(&dFirst, &dCur, &dLast));
        return static_cast<LONGLONG>(dLast);
    }
    static bool IsStream(const std::vector<BYTE>& v, LONGLONG llFrom, DWORD cb)
    {
        return dvrtest::FindMismatch(v.data(), llFrom, cb) < 0;
    }

    dvrtest::CTestWriter m_writer;
    std::unique_ptr<CDVRSourceObject> m_pSource;
};

}  // namespace

TEST_F(CDVRSourceTest, ReadAtTheEndWaitsForTheWriterAndTheSizeHasNoEnd)
{
    StartLive(4, 64 * 1024);
    VARIANT_BOOL bGrowing = VARIANT_FALSE;
    ASSERT_EQ(S_OK, m_pSource->GetIsGrowing(&bGrowing));
    EXPECT_EQ(VARIANT_TRUE, bGrowing);
    LONGLONG llAvail = -1;
    EXPECT_EQ(0x7FFFFFFFFFFFFFFFLL, m_pSource->Size(&llAvail, FALSE));
    EXPECT_EQ(922337203685LL, m_pSource->Size(&llAvail, TRUE));
    EXPECT_EQ(kBlock, llAvail);

    const LONGLONG llMax = MaxOffset();
    ASSERT_EQ(kBlock, llMax);
    ASSERT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m_pSource->GetStarvationEvent(), 0));

    std::vector<BYTE> v(188);
    LONGLONG llPos = llMax;
    DWORD cbRead = 0;
    BOOL bDisc = TRUE;
    HRESULT hr = E_FAIL;
    std::thread reader(
        [&] { hr = m_pSource->Read(&llPos, v.data(), 188, &cbRead, FALSE, &bDisc, m_pSource->GetReadDeadline()); });
    // The read says it is waiting before the bytes exist.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_pSource->GetStarvationEvent(), 5000));
    Write(kBlock);
    reader.join();
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(188u, cbRead);
    EXPECT_EQ(llMax + 188, llPos);
    EXPECT_FALSE(bDisc);
    EXPECT_TRUE(IsStream(v, llMax, 188));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(m_pSource->GetStarvationEvent(), 0));
}

TEST_F(CDVRSourceTest, OverwrittenPositionFailsOrMovesOnWithADiscontinuity)
{
    StartLive(3, 4 * kBlock);
    // 40 blocks through a ring of 12: offset 0 is long gone. The reader
    // looks now and then, as a follower does, so it keeps the writer's
    // offsets.
    for (int i = 0; i < 39; ++i) {
        Write(kBlock);
        (void)MaxOffset();
    }
    double dFirst = 0, dCur = 0, dLast = 0;
    ASSERT_EQ(S_OK, m_pSource->GetAvailableRange(&dFirst, &dCur, &dLast));
    ASSERT_GT(dFirst, 0.0);
    ASSERT_EQ(static_cast<double>(m_writer.Written()), dLast);

    std::vector<BYTE> v(1000);
    LONGLONG llPos = 0;
    DWORD cbRead = 99;
    BOOL bDisc = FALSE;
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, m_pSource->Read(&llPos, v.data(), 1000, &cbRead, FALSE, &bDisc, 0));
    EXPECT_TRUE(bDisc);
    EXPECT_EQ(0u, cbRead);
    EXPECT_EQ(0, llPos);

    bDisc = FALSE;
    ASSERT_EQ(S_OK, m_pSource->Read(&llPos, v.data(), 1000, &cbRead, TRUE, &bDisc, m_pSource->GetReadDeadline()));
    EXPECT_TRUE(bDisc);
    ASSERT_EQ(1000u, cbRead);
    const LONGLONG llStart = llPos - 1000;
    EXPECT_GE(llStart, static_cast<LONGLONG>(dFirst));
    EXPECT_LE(llPos, static_cast<LONGLONG>(dLast));
    EXPECT_TRUE(IsStream(v, llStart, 1000)) << "resumed at " << llStart;

    // Reading on from there is continuous again.
    bDisc = TRUE;
    ASSERT_EQ(S_OK, m_pSource->Read(&llPos, v.data(), 500, &cbRead, TRUE, &bDisc, m_pSource->GetReadDeadline()));
    EXPECT_FALSE(bDisc);
    EXPECT_TRUE(IsStream(v, llPos - 500, 500));
}

TEST_F(CDVRSourceTest, AReadWithoutADeadlineReturnsEveryByteWrittenSoFar)
{
    // Recordings of four blocks, so that reads cross from one to the next.
    StartLive(8, 4 * kBlock);
    for (int i = 0; i < 9; ++i)
        Write(kBlock);
    LONGLONG llAvail = 0;
    (void)m_pSource->Size(&llAvail, FALSE);
    ASSERT_EQ(m_writer.Written(), llAvail);
    // Written after the source last looked at the buffer: returned too.
    Write(kBlock);
    Write(kBlock);

    // Two recording boundaries and the newest bytes in one call; short only
    // because nothing more was written.
    std::vector<BYTE> v(16 * kBlock);
    LONGLONG llPos = 1000;
    DWORD cbRead = 0;
    BOOL bDisc = TRUE;
    ASSERT_EQ(S_FALSE, m_pSource->Read(&llPos, v.data(), 16 * kBlock, &cbRead, FALSE, &bDisc, 0));
    EXPECT_EQ(static_cast<DWORD>(m_writer.Written() - 1000), cbRead);
    EXPECT_EQ(m_writer.Written(), llPos);
    EXPECT_FALSE(bDisc);
    EXPECT_TRUE(IsStream(v, 1000, cbRead));

    // Bytes that were all written fill the request.
    llPos = 3 * kBlock + 7;
    ASSERT_EQ(S_OK, m_pSource->Read(&llPos, v.data(), 6 * kBlock, &cbRead, FALSE, &bDisc, 0));
    EXPECT_EQ(static_cast<DWORD>(6 * kBlock), cbRead);
    EXPECT_EQ(9 * kBlock + 7, llPos);
    EXPECT_TRUE(IsStream(v, 3 * kBlock + 7, cbRead));
}

TEST_F(CDVRSourceTest, FlushEndsAWaitingReadWithWhatItHad)
{
    StartLive(4, 64 * 1024);
    const LONGLONG llMax = MaxOffset();
    ASSERT_EQ(kBlock, llMax);

    std::vector<BYTE> v(1000);
    LONGLONG llPos = llMax - 100;
    DWORD cbRead = 0;
    BOOL bDisc = TRUE;
    HRESULT hr = E_FAIL;
    const DWORD dwStart = GetTickCount();
    std::thread reader(
        [&] { hr = m_pSource->Read(&llPos, v.data(), 1000, &cbRead, FALSE, &bDisc, m_pSource->GetReadDeadline()); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_pSource->GetStarvationEvent(), 5000));
    m_pSource->BeginFlush();
    reader.join();
    EXPECT_LT(TickDiff(GetTickCount(), dwStart), 5000u);  // not the 15 s read time-out
    EXPECT_EQ(S_FALSE, hr);
    EXPECT_EQ(100u, cbRead);
    EXPECT_EQ(llMax, llPos);
    EXPECT_TRUE(IsStream(v, llMax - 100, 100));

    // While flushing nothing is read; afterwards reads work again.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), m_pSource->Read(&llPos, v.data(), 10, &cbRead, FALSE, &bDisc, 0));
    m_pSource->EndFlush();
    Write(kBlock);
    ASSERT_EQ(S_OK, m_pSource->Read(&llPos, v.data(), 1000, &cbRead, FALSE, &bDisc, m_pSource->GetReadDeadline()));
    EXPECT_TRUE(IsStream(v, llMax, 1000));
}

TEST_F(CDVRSourceTest, AReadGivesWayToANewRequestAndWaitsOutAnAttributeChange)
{
    StartLive(4, 64 * 1024);
    std::vector<BYTE> v(188);
    LONGLONG llPos = MaxOffset();
    DWORD cbRead = 0;
    BOOL bDisc = FALSE;
    HRESULT hr = E_FAIL;
    std::thread reader(
        [&] { hr = m_pSource->Read(&llPos, v.data(), 188, &cbRead, FALSE, &bDisc, m_pSource->GetReadDeadline()); });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_pSource->GetStarvationEvent(), 5000));
    m_pSource->WorkSignal(TRUE);
    reader.join();
    EXPECT_EQ(KVMM_E_DVR_SUSPENDED, hr);
    EXPECT_EQ(0u, cbRead);
    m_pSource->WorkSignal(FALSE);

    // An attribute change holds the read until it ends, then the read goes on.
    m_pSource->BeginAttributeChange();
    std::thread reader2(
        [&] { hr = m_pSource->Read(&llPos, v.data(), 188, &cbRead, FALSE, &bDisc, m_pSource->GetReadDeadline()); });
    Write(kBlock);
    m_pSource->EndAttributeChange();
    reader2.join();
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(IsStream(v, kBlock, 188));
}

TEST_F(CDVRSourceTest, WithoutALiveWriterReadsEndAtTheData)
{
    StartLive(4, 64 * 1024);
    Write(1000);
    const CWString strStub = m_writer->GetStubPath();
    ASSERT_EQ(S_OK, m_writer->StopDVR());  // shaped by the application: the files stay
    StartSource(strStub);

    VARIANT_BOOL bGrowing = VARIANT_TRUE;
    ASSERT_EQ(S_OK, m_pSource->GetIsGrowing(&bGrowing));
    EXPECT_EQ(VARIANT_FALSE, bGrowing);
    LONGLONG llAvail = 0;
    EXPECT_EQ(kBlock + 1000, m_pSource->Size(&llAvail, TRUE));
    EXPECT_EQ(kBlock + 1000, llAvail);

    std::vector<BYTE> v(188);
    LONGLONG llPos = kBlock + 1000;
    DWORD cbRead = 7;
    BOOL bDisc = TRUE;
    EXPECT_EQ(static_cast<HRESULT>(0x80070026),
              m_pSource->Read(&llPos, v.data(), 188, &cbRead, TRUE, &bDisc, m_pSource->GetReadDeadline()));
    EXPECT_EQ(0u, cbRead);
    EXPECT_EQ(kBlock + 1000, llPos);
    EXPECT_FALSE(bDisc);

    // Across the end: what there is, and S_FALSE.
    llPos = kBlock + 900;
    EXPECT_EQ(S_FALSE, m_pSource->Read(&llPos, v.data(), 188, &cbRead, TRUE, &bDisc, m_pSource->GetReadDeadline()));
    EXPECT_EQ(100u, cbRead);
    EXPECT_TRUE(IsStream(v, kBlock + 900, 100));
}

TEST_F(CDVRSourceTest, ControlInterfaceBeforeStartAndFolders)
{
    CDVRSourceObject source;
    source.NonDelegatingAddRef();  // held by this scope, never freed through a count
    EXPECT_EQ(E_UNEXPECTED, source.StartDVRReader(nullptr));
    LONG n = -1;
    EXPECT_EQ(S_OK, source.GetFolderCount(&n));
    EXPECT_EQ(0, n);
    BSTR bstr = nullptr;
    EXPECT_EQ(E_POINTER, source.GetFolderName(0, &bstr));
    double d = 0;
    EXPECT_EQ(E_NOTIMPL, source.GetBufferSize(0, 0, &n, &d));

    DVRFolder f{};
    f.path[0] = u'/';
    f.fileCount = 3;
    f.fileSize = 1000;
    ASSERT_EQ(S_OK, source.SetReaderFolders(&f, 1));
    EXPECT_EQ(DISP_E_BADINDEX, source.GetFolderName(1, &bstr));
    ASSERT_EQ(S_OK, source.GetFolderName(0, &bstr));
    EXPECT_EQ(CWString(u"/"), CWString(bstr));
    SysFreeString(bstr);
    ASSERT_EQ(S_OK, source.GetBufferSize(0, kDVRBufferSizeConfigured, &n, &d));
    EXPECT_EQ(3, n);
    EXPECT_EQ(3000.0, d);

    IKVDVRSource* pSource = nullptr;
    ASSERT_EQ(S_OK, source.NonDelegatingQueryInterface(IID_IKVDVRSource, reinterpret_cast<void**>(&pSource)));
    EXPECT_EQ(E_NOTIMPL, pSource->GetTimeRange(0, 1, &d, &d));
    pSource->Release();
}

// ---------------------------------------------------------------------------
// Stubs naming recordings outside their folder.

class CForeignRecordingTest : public dvrtest::CTempFolderTest
{
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        ASSERT_EQ(0, system(("mkdir -p '" + m_strDir + "/stub/sub' '" + m_strDir + "/elsewhere'").c_str()));
        dvrtest::WriteFileBytes(P("elsewhere/rec.KRC"), m_vData);
    }

    // A finished stub with one record naming strStored.
    void WriteStub(const std::string& strStored)
    {
        BYTE abHeader[dvr::kStubHeaderBytes];
        ASSERT_EQ(S_OK, dvr::EncodeStubHeader(u"", GUID_NULL, 1, abHeader));
        WCHAR wszPath[MAX_PATH] = {};
        const CWString str = Utf8ToWide(strStored);
        std::copy(str.begin(), str.end(), wszPath);
        BYTE abRecord[dvr::kRecordBytes];
        dvr::EncodeRecord(wszPath, 4000, 0, dvr::GetUtcNow(), abRecord);
        std::ofstream f(m_strDir + "/stub/Capture.KBL", std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(abHeader), sizeof(abHeader));
        f.write(reinterpret_cast<const char*>(abRecord), sizeof(abRecord));
    }
    HRESULT ReadFirstBytes()
    {
        CDVRSourceObject source;
        source.NonDelegatingAddRef();
        const CWString strStub = Utf8ToWide(m_strDir + "/stub/Capture.KBL");
        HRESULT hr = source.SetStubFileName(strStub.c_str(), -1, FALSE);
        if (SUCCEEDED(hr))
            hr = source.StartDVRReader(nullptr);
        if (FAILED(hr))
            return hr;
        std::vector<BYTE> v(1000);
        DWORD cbRead = 0;
        hr = source.ReadData(0, 1000, 1000, v.data(), &cbRead, 0);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(0, memcmp(v.data(), m_vData.data(), 1000));
        }
        return hr;
    }
    // Gives the recording to another user: "nobody" when we may, else the
    // test reads a system file that root owns.
    std::string ForeignFile()
    {
        const std::string strRec = m_strDir + "/elsewhere/rec.KRC";
        if (geteuid() == 0) {
            EXPECT_EQ(0, chown(strRec.c_str(), 65534, 65534));
            return strRec;
        }
        return "/etc/passwd";
    }

    const std::vector<BYTE> m_vData = StreamBytes(0, 4000);
};

TEST_F(CForeignRecordingTest, PathsOutsideTheStubFolderAreReadOnlyFromTheStubsOwner)
{
    WriteStub(m_strDir + "/elsewhere/rec.KRC");
    EXPECT_EQ(S_OK, ReadFirstBytes());
    WriteStub("../elsewhere/rec.KRC");
    EXPECT_EQ(S_OK, ReadFirstBytes());

    const std::string strForeign = ForeignFile();
    WriteStub(strForeign);
    EXPECT_EQ(KVMM_E_DVR_CORRUPT_STUB_FILE, ReadFirstBytes());
    if (strForeign == m_strDir + "/elsewhere/rec.KRC") {
        WriteStub("../elsewhere/rec.KRC");
        EXPECT_EQ(KVMM_E_DVR_CORRUPT_STUB_FILE, ReadFirstBytes());
        WriteStub("sub/../../elsewhere/rec.KRC");
        EXPECT_EQ(KVMM_E_DVR_CORRUPT_STUB_FILE, ReadFirstBytes());
        // Inside its own folder tree the stub's files are its own business.
        ASSERT_EQ(0, rename(strForeign.c_str(), (m_strDir + "/stub/rec.KRC").c_str()));
        WriteStub("rec.KRC");
        EXPECT_EQ(S_OK, ReadFirstBytes());
    }
}
