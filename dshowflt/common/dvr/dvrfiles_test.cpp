#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "dshowflt/common/trace/trace.h"
#include "platform/memfile.h"

namespace {

using dvrtest::CStubBuilder;

uint16_t Le16(const std::string& s, size_t off)
{
    return static_cast<uint16_t>(static_cast<uint8_t>(s[off]) | (static_cast<uint8_t>(s[off + 1]) << 8));
}
uint32_t Le32(const std::string& s, size_t off) { return Le16(s, off) | (static_cast<uint32_t>(Le16(s, off + 2)) << 16); }
uint64_t Le64(const std::string& s, size_t off) { return Le32(s, off) | (static_cast<uint64_t>(Le32(s, off + 4)) << 32); }

// Exposes the writer's state and counts the files the engine opens; a stub
// file can be made to fail like a full disk.
class CTestEngine : public CDVREngine
{
public:
    explicit CTestEngine(bool bWriter) : CDVREngine(bWriter) {}
    void SetCurrentSlot(LONG nSlot)
    {
        CAutoLock lock(&m_csStubFile);
        m_nCurRecIndex = nSlot;
    }
    LONG CurrentSlot()
    {
        CAutoLock lock(&m_csStubFile);
        return m_nCurRecIndex;
    }
    int m_nRecordingsChanged = 0;
    bool m_bStubDiskFull = false;

protected:
    HRESULT OpenFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                     std::unique_ptr<IFile>* ppFile) override
    {
        HRESULT hr = CDVREngine::OpenFile(pszPath, dwAccess, dwShare, dwDisposition, ppFile);
        if (SUCCEEDED(hr) && m_bStubDiskFull && PathFileName(pszPath).ends_with(u".KBL")) {
            auto* pFault = new CFaultFile(ppFile->release(), true);
            pFault->m_cbWriteLimit = 0;
            ppFile->reset(pFault);
        }
        return hr;
    }
    void OnRecordingsChanged() override { ++m_nRecordingsChanged; }
};

class CDVRFilesTest : public dvrtest::CTempFolderTest
{
protected:
    void TearDown() override { g_dwTraceSwitch = TRACE_SWITCH_DEFAULT; }
    std::string ReadAll(const std::string& strName) const { return dvrtest::ReadFileBytes(P(strName)); }
    void WriteAll(const std::string& strName, const std::vector<BYTE>& v) const
    {
        dvrtest::WriteFileBytes(P(strName), v);
    }
    static void StartTraceCapture()
    {
        g_dwTraceSwitch = TRACE_ENABLED | TRACE_TO_DEBUGGER;
        ::testing::internal::CaptureStderr();
    }
    static std::string StopTraceCapture()
    {
        std::string str = ::testing::internal::GetCapturedStderr();
        g_dwTraceSwitch = TRACE_SWITCH_DEFAULT;
        return str;
    }

    // Plays a writer through nRecordings recordings in a ring of nSlots
    // slots of one folder, each recording reaching size 100 + its playIndex.
    void WriteRing(CTestEngine* pEngine, LONG nSlots, LONG nRecordings)
    {
        ASSERT_EQ(pEngine->CreateStubFile(W("Capture.KBL").c_str(), u"", TRUE), S_OK);
        for (LONG nPlay = 0; nPlay < nRecordings; ++nPlay) {
            const LONG nSlot = nPlay % nSlots;
            std::unique_ptr<IFile> pRec;
            CWString strPath = W("Capture_" + std::to_string(nSlot) + ".KRC");
            ASSERT_EQ(pEngine->CreateRecording(strPath.c_str(), nSlot, nPlay, &pRec), S_OK);
            pEngine->SetCurrentSlot(nSlot);
            if (nSlot == nPlay) {
                ASSERT_EQ(pEngine->WriteRecordCount(static_cast<DWORD>(nPlay + 1)), S_OK);
            }
            pEngine->CloseStubFile();  // as the writer does after each recording
            ASSERT_EQ(pEngine->SetRecordingSize(100 + nPlay), S_OK);
        }
    }
};

TEST_F(CDVRFilesTest, WrittenStubHasTheDocumentedLayout)
{
    CTestEngine engine(true);
    const GUID guid = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01}};
    engine.SetStreamId(guid);
    const std::u16string owner = u"TARN DVR Sink 0000abcd pid 00001234";
    ASSERT_EQ(engine.CreateStubFile(W("Capture.KBL").c_str(), owner.c_str(), FALSE), S_OK);
    std::unique_ptr<IFile> pRec;
    ASSERT_EQ(engine.CreateRecording(W("Capture_0.KRC").c_str(), 0, 0, &pRec), S_OK);
    ASSERT_TRUE(pRec);
    ASSERT_EQ(engine.WriteRecordCount(1), S_OK);
    engine.SetCurrentSlot(0);
    ASSERT_EQ(engine.SetRecordingSize(0x123456789AB), S_OK);
    EXPECT_EQ(engine.m_nRecordingsChanged, 1);
    const time_t tNow = time(nullptr);

    const std::string s = ReadAll("Capture.KBL");
    ASSERT_EQ(s.size(), 230u + 552u);
    EXPECT_EQ(s.substr(0, 7), "TARNDVR");
    EXPECT_EQ(s[7], 0);
    EXPECT_EQ(Le16(s, 8), 100);
    for (size_t i = 0; i < 100; ++i)
        EXPECT_EQ(Le16(s, 10 + 2 * i), i < owner.size() ? owner[i] : 0) << i;
    // streamId in the in-memory order of a GUID: Data1..3 little-endian.
    EXPECT_EQ(Le32(s, 210), 0x11223344u);
    EXPECT_EQ(Le16(s, 214), 0x5566);
    EXPECT_EQ(Le16(s, 216), 0x7788);
    EXPECT_EQ(static_cast<uint8_t>(s[218]), 0x99);
    EXPECT_EQ(static_cast<uint8_t>(s[225]), 0x01);
    EXPECT_EQ(Le32(s, 226), 1u);

    const size_t r = 230;
    EXPECT_EQ(Le16(s, r), 550);
    EXPECT_EQ(Le16(s, r + 2), 260);
    const std::u16string name = u"Capture_0.KRC";
    for (size_t i = 0; i < 260; ++i)
        EXPECT_EQ(Le16(s, r + 4 + 2 * i), i < name.size() ? name[i] : 0) << i;
    EXPECT_EQ(Le64(s, r + 524), 0x123456789ABull);
    EXPECT_EQ(Le32(s, r + 532), 0u);
    struct tm tmNow;
    gmtime_r(&tNow, &tmNow);
    EXPECT_EQ(Le16(s, r + 536), tmNow.tm_year + 1900);
    EXPECT_EQ(Le16(s, r + 538), tmNow.tm_mon + 1);
    EXPECT_EQ(Le16(s, r + 540), tmNow.tm_wday);
    EXPECT_EQ(Le16(s, r + 542), tmNow.tm_mday);
    EXPECT_LE(Le16(s, r + 550), 999);  // milliseconds

    // New files are the owner's alone.
    struct stat st;
    ASSERT_EQ(stat((m_strDir + "/Capture.KBL").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((m_strDir + "/Capture_0.KRC").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Releasing the stub clears the owner name it wrote.
    ASSERT_EQ(engine.CreateStubFile(W("Other.KBL").c_str(), u"", TRUE), S_OK);
    EXPECT_EQ(Le16(ReadAll("Capture.KBL"), 10), 0);
}

TEST_F(CDVRFilesTest, RefusesLongNamesAndPlantedLinks)
{
    CTestEngine engine(true);
    const std::u16string owner100(100, u'x');
    EXPECT_EQ(engine.CreateStubFile(W("Capture.KBL").c_str(), owner100.c_str(), FALSE), E_INVALIDARG);
    EXPECT_FALSE(FileExists(W("Capture.KBL").c_str()));
    const CWString strLong = W(std::string(260, 'a'));
    EXPECT_EQ(engine.CreateStubFile(strLong.c_str(), u"", FALSE), CO_E_PATHTOOLONG);
    EXPECT_EQ(engine.SetStubFileName(strLong.c_str(), -1, FALSE), CO_E_PATHTOOLONG);

    ASSERT_EQ(engine.CreateStubFile(W("Capture.KBL").c_str(), u"", FALSE), S_OK);
    EXPECT_EQ(engine.SetOwnerName(owner100.c_str()), E_INVALIDARG);
    std::unique_ptr<IFile> pRec;
    EXPECT_EQ(engine.CreateRecording(strLong.c_str(), 0, 0, &pRec), CO_E_PATHTOOLONG);

    // A link planted under the stub's or a recording's name leaves its
    // target untouched.
    WriteAll("target", {'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink((m_strDir + "/target").c_str(), (m_strDir + "/Capture_0.KRC").c_str()), 0);
    ASSERT_EQ(symlink((m_strDir + "/target").c_str(), (m_strDir + "/Linked.KBL").c_str()), 0);
    EXPECT_TRUE(FAILED(engine.CreateRecording(W("Capture_0.KRC").c_str(), 0, 0, &pRec)));
    EXPECT_FALSE(pRec);
    CTestEngine other(true);
    EXPECT_TRUE(FAILED(other.CreateStubFile(W("Linked.KBL").c_str(), u"", FALSE)));
    EXPECT_EQ(ReadAll("target"), "keep");
}

TEST_F(CDVRFilesTest, ReaderTakesLengthsFromTheFile)
{
    // N = 7 instead of 100, and a first record whose path field holds 300
    // units: the path is cut to 259 and the fields after it still line up.
    const std::u16string longPath(300, u'p');
    CStubBuilder b;
    b.Header(7, u"owner", 2).Record(longPath, 300, 77, 5).Record(u"Capture_1.KRC", 260, 88, 6);
    WriteAll("Odd.KBL", b.m_v);

    CTestEngine reader(false);
    ASSERT_EQ(reader.SetStubFileName(W("Odd.KBL").c_str(), -1, FALSE), S_OK);
    LONG nCount = 0, nMin = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    ASSERT_EQ(reader.ReadAllRecordingsInfo(&nCount, &pList, &nMin), S_OK);
    EXPECT_EQ(reader.GetStubHeaderBytes(), 44u);
    EXPECT_EQ(reader.GetOwnerName(), u"owner");
    EXPECT_EQ(reader.GetRecordCount(), 2u);
    ASSERT_EQ(nCount, 2);
    EXPECT_EQ(nMin, 5);
    EXPECT_EQ(WStrLen(pList[0].path), 259u);
    EXPECT_EQ(pList[0].size, 77);
    EXPECT_EQ(pList[0].playIndex, 5);
    EXPECT_EQ(pList[0].created.wYear, 2026);
    EXPECT_EQ(pList[0].created.wMilliseconds, 250);
    EXPECT_EQ(CWString(pList[1].path), u"Capture_1.KRC");
    EXPECT_EQ(pList[1].size, 88);
    EXPECT_EQ(pList[1].playIndex, 6);

    // Seeking by the length fields reaches the same record.
    ASSERT_EQ(reader.SeekInStubToRecordingFile(1), S_OK);
    RecordingInfo info;
    ASSERT_EQ(reader.ReadRecordingInfo(&info), S_OK);
    EXPECT_EQ(info.size, 88);
}

TEST_F(CDVRFilesTest, RecordingNamesAndSlotsAcrossFolders)
{
    DVRFolder folders[2] = {{{}, 0, 10, 1 << 20}, {{}, 10, 10, 1 << 20}};
    const std::u16string dir0 = u"/buf/a", dir1 = u"/buf/b";
    std::copy(dir0.begin(), dir0.end(), folders[0].path);
    std::copy(dir1.begin(), dir1.end(), folders[1].path);
    CWString str;
    for (LONG i = 0; i < 10; ++i) {
        ASSERT_EQ(dvr::RecordingPath(folders, 1, u"Capture", i, &str), S_OK);
        EXPECT_EQ(str, u"/buf/a/Capture_" + Utf8ToWide(std::to_string(i)) + u".KRC");
    }
    EXPECT_EQ(dvr::RecordingPath(folders, 1, u"Capture", 10, &str), E_INVALIDARG);

    folders[0].fileCount = 100;
    ASSERT_EQ(dvr::RecordingPath(folders, 1, u"Capture", 7, &str), S_OK);
    EXPECT_EQ(str, u"/buf/a/Capture_07.KRC");
    EXPECT_EQ(dvr::RecordingNameWidth(11), 2);
    EXPECT_EQ(dvr::RecordingNameWidth(109), 2);
    EXPECT_EQ(dvr::RecordingNameWidth(110), 3);
    // The width is a minimum.
    EXPECT_EQ(dvr::RecordingFileName(u"Capture", 1, 12), u"Capture_12.KRC");
    EXPECT_EQ(dvr::StubFileName(u"Capture"), u"Capture.KBL");

    // Folders of 3 and 4 files: slot 3 is the first file of folder 1.
    folders[0].fileCount = 3;
    folders[1].firstIndex = 3;
    folders[1].fileCount = 4;
    ASSERT_EQ(dvr::RecordingPath(folders, 2, u"Capture", 3, &str), S_OK);
    EXPECT_EQ(str, u"/buf/b/Capture_3.KRC");
    ASSERT_EQ(dvr::RecordingPath(folders, 2, u"Capture", 2, &str), S_OK);
    EXPECT_EQ(str, u"/buf/a/Capture_2.KRC");
    EXPECT_EQ(dvr::RecordingPath(folders, 2, u"Capture", 7, &str), E_INVALIDARG);

    // A joined path of 260 units or more is refused.
    const std::u16string longDir(250, u'd');
    std::copy(longDir.begin(), longDir.end(), folders[0].path);
    folders[0].path[250] = 0;
    EXPECT_EQ(dvr::RecordingPath(folders, 2, u"Capture", 0, &str), CO_E_PATHTOOLONG);  // 250 + 1 + 13
}

TEST_F(CDVRFilesTest, RingOfThreeAfterFiveRecordings)
{
    CTestEngine writer(true);
    WriteRing(&writer, 3, 5);

    CTestEngine reader(false);
    ASSERT_EQ(reader.SetStubFileName(W("Capture.KBL").c_str(), -1, FALSE), S_OK);
    LONG nCount = 0, nMin = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    ASSERT_EQ(reader.ReadAllRecordingsInfo(&nCount, &pList, &nMin), S_OK);
    ASSERT_EQ(nCount, 3);
    EXPECT_EQ(reader.GetRecordCount(), 3u);
    EXPECT_EQ(nMin, 2);
    const LONG anPlay[3] = {3, 4, 2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pList[i].playIndex, anPlay[i]) << i;
        EXPECT_EQ(pList[i].size, 100 + anPlay[i]) << i;
        EXPECT_EQ(CWString(pList[i].path), u"Capture_" + Utf8ToWide(std::to_string(i)) + u".KRC");
    }
}

TEST_F(CDVRFilesTest, StoredPathsAndMovedBuffer)
{
    ASSERT_EQ(CreateFolder(W("a").c_str()), S_OK);
    ASSERT_EQ(CreateFolder(W("a/rec").c_str()), S_OK);
    ASSERT_EQ(CreateFolder(W("side").c_str()), S_OK);
    CTestEngine writer(true);
    ASSERT_EQ(writer.CreateStubFile(W("a/Capture.KBL").c_str(), u"", FALSE), S_OK);
    const char* apszRec[3] = {"a/Capture_0.KRC", "a/rec/Capture_1.KRC", "side/Capture_2.KRC"};
    for (LONG i = 0; i < 3; ++i) {
        std::unique_ptr<IFile> pRec;
        ASSERT_EQ(writer.CreateRecording(W(apszRec[i]).c_str(), i, i, &pRec), S_OK);
        DWORD cb = 0;
        const std::string strData = "data" + std::to_string(i);
        ASSERT_EQ(pRec->Write(strData.data(), static_cast<DWORD>(strData.size()), &cb), S_OK);
        ASSERT_EQ(writer.WriteRecordCount(static_cast<DWORD>(i + 1)), S_OK);
    }
    writer.CloseStubFile();

    CTestEngine reader(false);
    ASSERT_EQ(reader.SetStubFileName(W("a/Capture.KBL").c_str(), -1, FALSE), S_OK);
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    ASSERT_EQ(reader.ReadAllRecordingsInfo(&nCount, &pList), S_OK);
    ASSERT_EQ(nCount, 3);
    EXPECT_EQ(CWString(pList[0].path), u"Capture_0.KRC");
    EXPECT_EQ(CWString(pList[1].path), u"rec/Capture_1.KRC");
    EXPECT_EQ(CWString(pList[2].path), u"../side/Capture_2.KRC");
    for (LONG i = 0; i < 3; ++i) {
        std::unique_ptr<IFile> pRec;
        ASSERT_EQ(reader.OpenRecordingForReading(pList[i].path, &pRec), S_OK) << i;
    }

    // Move the whole buffer into one flat folder: the stored relative paths
    // no longer lead anywhere, the file names alone do.
    ASSERT_EQ(rename((m_strDir + "/a").c_str(), (m_strDir + "/moved").c_str()), 0);
    ASSERT_EQ(rename((m_strDir + "/moved/rec/Capture_1.KRC").c_str(), (m_strDir + "/moved/Capture_1.KRC").c_str()), 0);
    ASSERT_EQ(rename((m_strDir + "/side/Capture_2.KRC").c_str(), (m_strDir + "/moved/Capture_2.KRC").c_str()), 0);
    CTestEngine moved(false);
    ASSERT_EQ(moved.SetStubFileName(W("moved\\Capture.KBL").c_str(), -1, FALSE), S_OK);
    ASSERT_EQ(moved.ReadAllRecordingsInfo(&nCount, &pList), S_OK);
    for (LONG i = 0; i < 3; ++i) {
        std::unique_ptr<IFile> pRec;
        ASSERT_EQ(moved.OpenRecordingForReading(pList[i].path, &pRec), S_OK) << i;
        char sz[8] = {};
        DWORD cb = 0;
        ASSERT_EQ(pRec->Read(sz, sizeof(sz) - 1, &cb), S_OK);
        EXPECT_EQ(std::string(sz), "data" + std::to_string(i));
    }
    // A full path from a stub written on another system, with "\" separators.
    std::unique_ptr<IFile> pRec;
    EXPECT_EQ(moved.OpenRecordingForReading(u"D:\\old\\buffer\\Capture_2.KRC", &pRec), S_OK);
    EXPECT_EQ(moved.OpenRecordingForReading(u"..\\gone\\Capture_9.KRC", &pRec),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(CDVRFilesTest, CorruptHeadersGiveAClearStatusAndTrace)
{
    CTestEngine reader(false);
    EXPECT_EQ(reader.GetStubHeaderSize(), E_UNEXPECTED);  // nothing open

    CStubBuilder good;
    good.Header(100, u"", 0);
    std::vector<BYTE> v = good.m_v;
    v[0] = 'X';
    WriteAll("Bad.KBL", v);
    ASSERT_EQ(reader.SetStubFileName(W("Bad.KBL").c_str(), -1, FALSE), S_OK);
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    StartTraceCapture();
    EXPECT_EQ(reader.ReadAllRecordingsInfo(&nCount, &pList), KVMM_E_DVR_CORRUPT_STUB_FILE);
    EXPECT_NE(StopTraceCapture().find("\nCDVREngine::GetStubHeaderSize: Error - Invalid stub file signature! "
                                      "It should start with TARNDVR!"),
              std::string::npos);

    v = good.m_v;
    v[7] = 3;
    WriteAll("Bad.KBL", v);
    StartTraceCapture();
    EXPECT_EQ(reader.ReadAllRecordingsInfo(&nCount, &pList), KVMM_E_DVR_CORRUPT_STUB_FILE);
    EXPECT_NE(StopTraceCapture().find("\nCDVREngine::GetStubHeaderSize: Error - Invalid stub file version! "
                                      "It should be 0, not 3!"),
              std::string::npos);

    // A header cut short is a read fault.
    v = good.m_v;
    v.resize(100);
    WriteAll("Bad.KBL", v);
    EXPECT_EQ(reader.ReadAllRecordingsInfo(&nCount, &pList), HRESULT_FROM_WIN32(ERROR_READ_FAULT));
    EXPECT_EQ(nCount, 0);
    EXPECT_FALSE(pList);
}

TEST_F(CDVRFilesTest, UntrustedCountsSizesAndIndexes)
{
    struct Case
    {
        const char* pszName;
        std::vector<BYTE> v;
        HRESULT hr;
    };
    std::vector<Case> cases;
    cases.push_back({"count 0xFFFFFFFF", CStubBuilder().Header(100, u"", 0xFFFFFFFFu).Record(u"a", 260, 1, 0).m_v,
                     KVMM_E_DVR_CORRUPT_STUB_FILE});
    // 1000 records of at least 32 bytes cannot fit in two records' bytes.
    cases.push_back({"count beyond file", CStubBuilder().Header(100, u"", 1000).Record(u"a", 260, 1, 0).Record(u"b", 260, 1, 1).m_v,
                     KVMM_E_DVR_CORRUPT_STUB_FILE});
    cases.push_back({"size -1", CStubBuilder().Header(100, u"", 1).Record(u"a", 260, ~0ull, 0).m_v,
                     KVMM_E_DVR_CORRUPT_STUB_FILE});
    cases.push_back({"playIndex 0x7FFFFFFF", CStubBuilder().Header(100, u"", 1).Record(u"a", 260, 5, 0x7FFFFFFF).m_v,
                     KVMM_E_DVR_CORRUPT_STUB_FILE});
    cases.push_back({"negative playIndex", CStubBuilder().Header(100, u"", 1).Record(u"a", 260, 5, 0x80000000u).m_v,
                     KVMM_E_DVR_CORRUPT_STUB_FILE});
    cases.push_back({"sizes overflow", CStubBuilder().Header(100, u"", 2).Record(u"a", 260, 0x7FFFFFFFFFFFFFFFull, 0)
                                           .Record(u"b", 260, 2, 1).m_v,
                     KVMM_E_DVR_CORRUPT_STUB_FILE});
    // Counts that fit the minimum record size but not the records present.
    cases.push_back({"count beyond records", CStubBuilder().Header(100, u"", 10).Record(u"a", 260, 1, 0).m_v,
                     HRESULT_FROM_WIN32(ERROR_READ_FAULT)});
    CStubBuilder longField;
    longField.Header(100, u"", 1).U16(550).U16(0xFFFF);
    for (int i = 0; i < 28; ++i)
        longField.U8(0);
    cases.push_back({"path beyond file", longField.m_v, HRESULT_FROM_WIN32(ERROR_READ_FAULT)});
    for (const Case& c : cases) {
        CTestEngine reader(false);
        ASSERT_EQ(reader.AttachStubFile(new CMemoryFile(c.v), true), S_OK);
        LONG nCount = -1;
        std::unique_ptr<RecordingInfo[]> pList;
        EXPECT_EQ(reader.ReadAllRecordingsInfo(&nCount, &pList), c.hr) << c.pszName;
        EXPECT_EQ(nCount, 0) << c.pszName;
        EXPECT_FALSE(pList) << c.pszName;
    }
}

TEST_F(CDVRFilesTest, FullDiskFailsTheRecordingAndClosesIt)
{
    CTestEngine writer(true);
    ASSERT_EQ(writer.CreateStubFile(W("Capture.KBL").c_str(), u"", FALSE), S_OK);
    writer.CloseStubFile();
    writer.m_bStubDiskFull = true;
    std::unique_ptr<IFile> pRec;
    StartTraceCapture();
    EXPECT_EQ(writer.CreateRecording(W("Capture_0.KRC").c_str(), 0, 0, &pRec), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    const std::string strTrace = StopTraceCapture();
    EXPECT_NE(strTrace.find("\nCDVREngine::CreateRecording failed 0x80070070"), std::string::npos) << strTrace;
    EXPECT_FALSE(pRec);
    writer.SetCurrentSlot(0);
    writer.CloseStubFile();
    EXPECT_TRUE(FAILED(writer.SetRecordingSize(10)));
    EXPECT_EQ(writer.m_nRecordingsChanged, 0);
    // The header on disk is intact.
    EXPECT_EQ(ReadAll("Capture.KBL").size(), 230u);
}

TEST_F(CDVRFilesTest, ReadersNeverSeeASizeAheadOfTheWriter)
{
    // One writer thread raises slot 0's size while a reader on the same
    // engine and a reader with an engine of its own re-read the stub.
    CTestEngine writer(true);
    ASSERT_EQ(writer.CreateStubFile(W("Capture.KBL").c_str(), u"", FALSE), S_OK);
    std::unique_ptr<IFile> pRec;
    ASSERT_EQ(writer.CreateRecording(W("Capture_0.KRC").c_str(), 0, 0, &pRec), S_OK);
    ASSERT_EQ(writer.WriteRecordCount(1), S_OK);
    writer.SetCurrentSlot(0);
    // Sizes below 256 change one byte only, so a reader in another engine
    // cannot see a value torn between two writes.
    constexpr LONGLONG kSteps = 250;
    std::atomic<LONGLONG> llPublished{0};

    auto reader = [&](CDVREngine* pEngine, int* pnFailures) {
        LONGLONG llLast = 0;
        for (int i = 0; i < 300 && llLast < kSteps; ++i) {
            LONG nCount = 0;
            std::unique_ptr<RecordingInfo[]> pList;
            if (FAILED(pEngine->ReadAllRecordingsInfo(&nCount, &pList)) || nCount != 1) {
                ++*pnFailures;
                continue;
            }
            // Never below what was seen before, never above what the writer
            // had finished publishing when this pass ended.
            const LONGLONG llSize = pList[0].size;
            if (llSize < llLast || llSize > llPublished.load())
                ++*pnFailures;
            llLast = llSize;
        }
    };
    CTestEngine other(false);
    ASSERT_EQ(other.SetStubFileName(W("Capture.KBL").c_str(), -1, FALSE), S_OK);
    int nSame = 0, nOther = 0;
    std::thread t1(reader, &writer, &nSame);
    std::thread t2(reader, &other, &nOther);
    for (LONGLONG ll = 1; ll <= kSteps; ++ll) {
        // Published before the write, so that a reader's bound is never behind.
        llPublished.store(ll);
        EXPECT_EQ(writer.SetRecordingSize(ll), S_OK);
    }
    t1.join();
    t2.join();
    EXPECT_EQ(nSame, 0);
    EXPECT_EQ(nOther, 0);
}

}  // namespace
