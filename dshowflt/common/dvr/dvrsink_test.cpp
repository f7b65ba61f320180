#include <dirent.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "platform/memfile.h"
#include "platform/rot.h"
#include "platform/thread.h"

namespace {

using dvrtest::FindMismatch;
using dvrtest::ReadFileBytes;
using dvrtest::StreamBytes;

bool Exists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}
int OpenDescriptorCount()
{
    int n = 0;
    if (DIR* pDir = opendir("/proc/self/fd")) {
        while (readdir(pDir))
            ++n;
        closedir(pDir);
    }
    return n;
}

// The stub as it lies on disk, read without the engine's decoder.
struct SStubRecord
{
    std::string strPath;
    uint64_t llSize;
    int32_t nPlayIndex;
};
struct SStub
{
    std::string strOwner;
    std::vector<SStubRecord> aRecords;
};
uint32_t Le(const std::string& s, size_t off, int cb)
{
    uint32_t u = 0;
    for (int i = cb - 1; i >= 0; --i)
        u = (u << 8) | static_cast<uint8_t>(s[off + i]);
    return u;
}
bool ParseStub(const std::string& strPath, SStub* pStub)
{
    const std::string s = ReadFileBytes(strPath);
    if (s.size() < 230 || s.compare(0, 7, "TARNDVR") != 0)
        return false;
    const size_t nName = Le(s, 8, 2);
    for (size_t i = 0; i < nName && Le(s, 10 + 2 * i, 2) != 0; ++i)
        pStub->strOwner += static_cast<char>(Le(s, 10 + 2 * i, 2));
    const uint32_t nCount = Le(s, 26 + 2 * nName, 4);
    size_t off = 30 + 2 * nName;
    pStub->aRecords.clear();
    for (uint32_t k = 0; k < nCount; ++k) {
        if (off + 552 > s.size())
            return false;
        SStubRecord r;
        for (size_t i = 0; i < 260 && Le(s, off + 4 + 2 * i, 2) != 0; ++i)
            r.strPath += static_cast<char>(Le(s, off + 4 + 2 * i, 2));
        r.llSize = Le(s, off + 524, 4) | (static_cast<uint64_t>(Le(s, off + 528, 4)) << 32);
        r.nPlayIndex = static_cast<int32_t>(Le(s, off + 532, 4));
        pStub->aRecords.push_back(r);
        off += 552;
    }
    return true;
}

// A recording file whose writes wait until they are let through, so that a
// test can hold the writer in the middle of a disk write.
class CGatedFile : public CFaultFile
{
public:
    CGatedFile(IFile* pInner, CAMEvent* pEntered, CAMEvent* pRelease)
        : CFaultFile(pInner, true), m_pEntered(pEntered), m_pRelease(pRelease)
    {
    }
    HRESULT Write(const void* pv, DWORD cb, DWORD* pcbWritten) override
    {
        m_pEntered->Set();
        if (!m_pRelease->Wait(10000))
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        return CFaultFile::Write(pv, cb, pcbWritten);
    }
    HRESULT WriteGather(const FileChunk* pChunks, int nChunks, DWORD* pcbWritten) override
    {
        m_pEntered->Set();
        if (!m_pRelease->Wait(10000)) {
            *pcbWritten = 0;
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        }
        return CFaultFile::WriteGather(pChunks, nChunks, pcbWritten);
    }

private:
    CAMEvent* m_pEntered;
    CAMEvent* m_pRelease;
};

// Stands in for the receive thread: stops on a committed change and starts
// again afterwards, records the events it is told about, and can make its
// backup file or its stub fail like a full disk or hold its recordings'
// writes.
class CTestSink : public CBaseDVRSink
{
public:
    CTestSink() : CBaseDVRSink("test sink", nullptr) {}
    HRESULT ChangingAttributesNotification(BOOL bAfter) override
    {
        HRESULT hr = CBaseDVRSink::ChangingAttributesNotification(bAfter);
        if (!bAfter) {
            m_bRestart = IsWriting();
            return StopDVR();
        }
        ++m_nCommits;
        return m_bRestart ? StartDVR() : hr;
    }
    void NotifyEvent(LONG lCode, LONG_PTR lParam1, LONG_PTR) override
    {
        m_aEvents.push_back({lCode, static_cast<HRESULT>(lParam1)});
    }
    bool m_bRestart = false;
    int m_nCommits = 0;
    std::vector<std::pair<LONG, HRESULT>> m_aEvents;
    LONGLONG m_cbBackupLimit = -1;  // >= 0: the backup file fills up there
    bool m_bStubDiskFull = false;
    bool m_bGateRecordings = false;
    // Writable recordings and stubs go through counting wrappers, kept here
    // in the order they were opened (owned by the sink; valid while open).
    bool m_bCountWrites = false;
    std::vector<CFaultFile*> m_apRecordings;
    std::vector<CFaultFile*> m_apStubs;
    CAMEvent m_evWriteEntered;
    CAMEvent m_evWriteRelease{TRUE};

protected:
    HRESULT OpenFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                     std::unique_ptr<IFile>* ppFile) override
    {
        HRESULT hr = CBaseDVRSink::OpenFile(pszPath, dwAccess, dwShare, dwDisposition, ppFile);
        const CWString strPath(pszPath);
        auto EndsWith = [&](std::u16string_view ext) {
            return strPath.size() > ext.size() && strPath.compare(strPath.size() - ext.size(), ext.size(), ext) == 0;
        };
        if (SUCCEEDED(hr) && m_bStubDiskFull && EndsWith(u".KBL") && (dwAccess & GENERIC_WRITE)) {
            auto* pFault = new CFaultFile(ppFile->release(), true);
            pFault->m_hrWriteError = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
            pFault->m_cbWriteLimit = 0;
            ppFile->reset(pFault);
        }
        if (SUCCEEDED(hr) && m_bCountWrites && (EndsWith(u".KRC") || EndsWith(u".KBL")) &&
            (dwAccess & GENERIC_WRITE)) {
            auto* pCount = new CFaultFile(ppFile->release(), true);
            (EndsWith(u".KRC") ? m_apRecordings : m_apStubs).push_back(pCount);
            ppFile->reset(pCount);
        }
        if (SUCCEEDED(hr) && m_bGateRecordings && EndsWith(u".KRC") && (dwAccess & GENERIC_WRITE))
            ppFile->reset(new CGatedFile(ppFile->release(), &m_evWriteEntered, &m_evWriteRelease));
        if (SUCCEEDED(hr) && m_cbBackupLimit >= 0 && strPath.size() > 4 &&
            strPath.compare(strPath.size() - 4, 4, u".bak") == 0) {
            auto* pFault = new CFaultFile(ppFile->release(), true);
            pFault->m_hrWriteError = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
            pFault->m_cbWriteLimit = m_cbBackupLimit;
            ppFile->reset(pFault);
        }
        return hr;
    }
};

// Owns one reference, as the receive thread's owner does.
struct CSinkRef : dvrtest::CTestWriter
{
    CSinkRef() : CTestWriter(new CTestSink) {}
    CTestSink* operator->() const { return static_cast<CTestSink*>(Sink()); }
};

class CDVRSinkTest : public dvrtest::CTempFolderTest
{
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        // The sink's default folder 0 is the temporary-files folder.
        setenv("TMPDIR", m_strDir.c_str(), 1);
    }

    std::string Path(const std::string& strName) const { return P(strName); }
    CWString WPath(const std::string& strName) const { return W(strName); }
    SStub Stub(const std::string& strName = "Capture.KBL") const
    {
        SStub stub;
        EXPECT_TRUE(ParseStub(Path(strName), &stub)) << strName;
        return stub;
    }
    void Write(CSinkRef& sink, LONGLONG cb)
    {
        const std::vector<BYTE> v = StreamBytes(m_llWritten, cb);
        ASSERT_EQ(sink->WriteData(v.data(), static_cast<LONG>(cb)), S_OK);
        m_llWritten += cb;
    }
    // Every record's bytes are the stream at the offset its play order
    // gives, and no size exceeds what its file holds.
    void CheckRingHoldsStream(CSinkRef& sink, const std::string& strStub = "Capture.KBL")
    {
        double dFirst, dCur, dLast;
        ASSERT_EQ(sink->GetAvailableRange(&dFirst, &dCur, &dLast), S_OK);
        const SStub stub = Stub(strStub);
        std::vector<const SStubRecord*> aOrder;
        for (const auto& r : stub.aRecords)
            aOrder.push_back(&r);
        std::sort(aOrder.begin(), aOrder.end(),
                  [](const SStubRecord* a, const SStubRecord* b) { return a->nPlayIndex < b->nPlayIndex; });
        LONGLONG llOffset = static_cast<LONGLONG>(dFirst);
        for (const SStubRecord* r : aOrder) {
            const std::string strData = ReadFileBytes(Path(r->strPath));
            ASSERT_LE(r->llSize, strData.size()) << r->strPath;
            ASSERT_EQ(FindMismatch(strData.data(), llOffset, r->llSize), -1) << r->strPath;
            llOffset += static_cast<LONGLONG>(r->llSize);
        }
    }

    LONGLONG m_llWritten = 0;
};

constexpr LONGLONG kMiB = 1024 * 1024;

}  // namespace

TEST_F(CDVRSinkTest, BlocksFillSlotsWholeAndTheRingWrapsWithTheNextPlayIndex)
{
    {
        CSinkRef sink;
        ASSERT_EQ(sink->StartDVR(), S_OK);
        // Default limit 10 MiB: two 4 MiB blocks share slot 0, the third
        // does not fit and opens slot 1.
        for (int i = 0; i < 3; ++i)
            Write(sink, 4 * kMiB);
        SStub stub = Stub();
        ASSERT_EQ(stub.aRecords.size(), 2u);
        EXPECT_EQ(stub.aRecords[0].llSize, static_cast<uint64_t>(8 * kMiB));
        EXPECT_EQ(stub.aRecords[1].nPlayIndex, 1);
        EXPECT_EQ(stub.aRecords[1].strPath, "Capture_1.KRC");
        // Slot 0 was cut to what it holds.
        EXPECT_EQ(ReadFileBytes(Path("Capture_0.KRC")).size(), static_cast<size_t>(8 * kMiB));
        CheckRingHoldsStream(sink);
    }
    m_llWritten = 0;

    CSinkRef sink;
    ASSERT_EQ(sink.Shape("", 10, 1000, nullptr), S_OK);
    ASSERT_EQ(sink->StartDVR(), S_OK);
    // Two blocks of varied sizes fill each recording exactly; the 11th
    // recording reuses slot 0.
    for (int i = 0; i < 11; ++i) {
        Write(sink, 300 + 300 * (i % 2));
        Write(sink, 700 - 300 * (i % 2));
        CheckRingHoldsStream(sink);
    }
    SStub stub = Stub();
    ASSERT_EQ(stub.aRecords.size(), 10u);  // recordCount stays at the slot count
    EXPECT_EQ(stub.aRecords[0].nPlayIndex, 10);
    for (int k = 1; k < 10; ++k)
        EXPECT_EQ(stub.aRecords[k].nPlayIndex, k);
    LONG lStatus, lFolder, lSlot;
    double dSize;
    ASSERT_EQ(sink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), S_OK);
    EXPECT_EQ(lStatus, DVRStatus_Writing);
    EXPECT_EQ(lSlot, 0);
    EXPECT_EQ(lFolder, 0);
    EXPECT_EQ(dSize, 1000.0);

    BSTR bstrPath = nullptr;
    double dOnDisk = 0;
    LONG lPlay = 0, lState = 0;
    ASSERT_EQ(sink->GetRecordingInfo(0, &bstrPath, &dSize, &dOnDisk, &lPlay, &lState), S_OK);
    EXPECT_EQ(CWString(bstrPath), u"Capture_0.KRC");
    EXPECT_EQ(lPlay, 10);
    // Its size may not be published yet; until it is, it reads as empty.
    EXPECT_EQ(lState, dSize == 0 ? kDVRRecordingEmpty : kDVRRecordingWriting);
    SysFreeString(bstrPath);
    ASSERT_EQ(sink->GetRecordingInfo(5, &bstrPath, &dSize, &dOnDisk, &lPlay, &lState), S_OK);
    EXPECT_EQ(lState, kDVRRecordingComplete);
    EXPECT_EQ(dSize, 1000.0);
    EXPECT_EQ(dOnDisk, 1000.0);
    SysFreeString(bstrPath);
    EXPECT_EQ(sink->GetRecordingInfo(10, &bstrPath, &dSize, &dOnDisk, &lPlay, &lState), E_INVALIDARG);

    // The stop publishes the last bytes; the range then covers everything.
    ASSERT_EQ(sink->StopDVR(), S_OK);
    ASSERT_EQ(sink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), S_OK);
    EXPECT_EQ(lStatus, DVRStatus_Stopped);
    double dFirst, dCur, dLast;
    ASSERT_EQ(sink->GetAvailableRange(&dFirst, &dCur, &dLast), S_OK);
    EXPECT_EQ(dCur, static_cast<double>(m_llWritten));
    EXPECT_EQ(dFirst, static_cast<double>(m_llWritten - 10000));
}

TEST_F(CDVRSinkTest, BatchGoesToEachRecordingInOneWriteAndSplitsOnlyWhereARecordingEnds)
{
    CSinkRef sink;
    ASSERT_EQ(sink.Shape("", 4, 10000, nullptr), S_OK);  // seven 1316-byte blocks fit, an eighth does not
    sink->m_bCountWrites = true;
    ASSERT_EQ(sink->StartDVR(), S_OK);

    // 20 datagrams of one batch, each in its own piece of memory: 7 + 7 + 6.
    constexpr DWORD kBlock = 1316;
    std::vector<std::vector<BYTE>> aBlocks;
    std::vector<FileChunk> aChunks;
    for (int i = 0; i < 20; ++i) {
        aBlocks.push_back(StreamBytes(m_llWritten, kBlock));
        m_llWritten += kBlock;
    }
    for (const auto& v : aBlocks)
        aChunks.push_back({v.data(), kBlock});
    LONG nDone = -1;
    ASSERT_EQ(sink->WriteDataV(aChunks.data(), static_cast<LONG>(aChunks.size()), &nDone), S_OK);
    EXPECT_EQ(nDone, 20);
    SStub stub = Stub();
    ASSERT_EQ(stub.aRecords.size(), 3u);
    EXPECT_EQ(stub.aRecords[0].llSize, 7u * kBlock);
    EXPECT_EQ(stub.aRecords[1].llSize, 7u * kBlock);
    EXPECT_EQ(stub.aRecords[2].llSize, 6u * kBlock);  // published before the call returned
    CheckRingHoldsStream(sink);
    // One gathered write per recording, no single writes.
    ASSERT_EQ(sink->m_apRecordings.size(), 3u);
    EXPECT_EQ(sink->m_apRecordings[2]->m_nGathers, 1);
    EXPECT_EQ(sink->m_apRecordings[2]->m_nWrites, 0);
    // The stub open while slot 2 is written: its publication wrote the size
    // field alone, without reading or rewriting anything around it.
    const CFaultFile* pStub = sink->m_apStubs.back();
    EXPECT_EQ(pStub->m_nWriteAts, 1);
    EXPECT_EQ(pStub->m_nWrites, 0);
    EXPECT_EQ(pStub->m_nReads, 0);

    // A zero-length block and one that fits; then one past the end of slot
    // 2 opens slot 3 in the same call. A rejected chunk changes nothing.
    std::vector<BYTE> vTwo = StreamBytes(m_llWritten, 2 * kBlock);
    const FileChunk aMore[] = {{vTwo.data(), 0}, {vTwo.data(), kBlock}, {vTwo.data() + kBlock, kBlock}};
    ASSERT_EQ(sink->WriteDataV(aMore, 3, &nDone), S_OK);
    EXPECT_EQ(nDone, 3);
    m_llWritten += 2 * kBlock;
    const FileChunk bad = {nullptr, 5};
    EXPECT_EQ(sink->WriteDataV(&bad, 1, &nDone), E_POINTER);
    EXPECT_EQ(nDone, 0);
    stub = Stub();
    ASSERT_EQ(stub.aRecords.size(), 4u);
    EXPECT_EQ(stub.aRecords[2].llSize, 7u * kBlock);
    // 1316 bytes are under the publication threshold: published unless
    // 25 ms passed meanwhile; the stop publishes them in any case.
    EXPECT_TRUE(stub.aRecords[3].llSize == 0 || stub.aRecords[3].llSize == kBlock);
    CheckRingHoldsStream(sink);
    ASSERT_EQ(sink->StopDVR(), S_OK);
    EXPECT_EQ(Stub().aRecords[3].llSize, 1u * kBlock);
    double dFirst, dCur, dLast;
    ASSERT_EQ(sink->GetAvailableRange(&dFirst, &dCur, &dLast), S_OK);
    EXPECT_EQ(dCur, static_cast<double>(m_llWritten));
}

TEST_F(CDVRSinkTest, CommittedChangeRestartsWithNewFoldersAndKeepsItsFiles)
{
    CSinkRef sink;
    ASSERT_EQ(sink->StartDVR(), S_OK);
    Write(sink, 5000);
    ASSERT_TRUE(Exists(Path("Capture.KBL")));
    ASSERT_TRUE(Exists(Path("Capture_0.KRC")));
    // Files and stub are private to their owner.
    struct stat st;
    ASSERT_EQ(stat(Path("Capture_0.KRC").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(Path("Capture.KBL").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(mkdir(Path("second").c_str(), 0700), 0);
    ASSERT_EQ(sink->StartChangingAttributes(), S_OK);
    ASSERT_EQ(sink->SetFolderCount(2), S_OK);
    ASSERT_EQ(sink->SetFolderName(1, WPath("second").data()), S_OK);
    ASSERT_EQ(sink->SetBufferSize(0, 2, 1000), S_OK);
    ASSERT_EQ(sink->SetBufferSize(1, 2, 1000), S_OK);
    // Nothing is applied while the change is open; getters see the pending set.
    EXPECT_TRUE(sink->IsWriting());
    LONG nFolders = 0;
    ASSERT_EQ(sink->GetFolderCount(&nFolders), S_OK);
    EXPECT_EQ(nFolders, 2);
    EXPECT_EQ(sink->m_nCommits, 0);
    ASSERT_EQ(sink->EndChangingAttributes(0), S_OK);
    EXPECT_EQ(sink->m_nCommits, 1);
    EXPECT_TRUE(sink->IsWriting());

    // The stop before the change still ran with the defaults: the old buffer
    // is gone.
    m_llWritten = 0;
    for (int i = 0; i < 3; ++i)
        Write(sink, 600);
    SStub stub = Stub();
    ASSERT_EQ(stub.aRecords.size(), 3u);
    EXPECT_EQ(stub.aRecords[2].strPath, "second/Capture_2.KRC");
    EXPECT_TRUE(Exists(Path("second/Capture_2.KRC")));
    ASSERT_EQ(sink->StopDVR(), S_OK);
    CheckRingHoldsStream(sink);
    LONG nFiles = 0;
    double dBytes = 0;
    ASSERT_EQ(sink->GetBufferSize(1, 0, &nFiles, &dBytes), S_OK);
    EXPECT_EQ(nFiles, 1);
    EXPECT_EQ(dBytes, 600.0);
    ASSERT_EQ(sink->GetBufferSize(1, kDVRBufferSizeConfigured, &nFiles, &dBytes), S_OK);
    EXPECT_EQ(nFiles, 2);
    EXPECT_EQ(dBytes, 2000.0);

    EXPECT_TRUE(Exists(Path("Capture.KBL")));
    EXPECT_TRUE(Exists(Path("Capture_0.KRC")));
    EXPECT_TRUE(Exists(Path("second/Capture_2.KRC")));
    // Released: no owner is left in the stub.
    EXPECT_EQ(Stub().strOwner, "");

    // A change that only alters the case of a name, or that is aborted,
    // commits nothing.
    const int nCommits = sink->m_nCommits;
    ASSERT_EQ(sink->SetFolderName(1, WPath("SECOND").data()), S_OK);
    ASSERT_EQ(sink->StartChangingAttributes(), S_OK);
    ASSERT_EQ(sink->SetFolderCount(5), S_OK);
    ASSERT_EQ(sink->EndChangingAttributes(-1), S_OK);
    EXPECT_EQ(sink->m_nCommits, nCommits);
    ASSERT_EQ(sink->GetFolderCount(&nFolders), S_OK);
    EXPECT_EQ(nFolders, 2);
}

TEST_F(CDVRSinkTest, DefaultSettingsDeleteTheBufferOnStop)
{
    CSinkRef sink;
    ASSERT_EQ(sink->StartDVR(), S_OK);
    Write(sink, 1000);
    ASSERT_EQ(sink->RestartDVR(), S_OK);  // a restart is a stop: the old buffer goes
    Write(sink, 1000);
    ASSERT_TRUE(Exists(Path("Capture_0.KRC")));
    ASSERT_EQ(sink->StopDVR(), S_OK);
    EXPECT_FALSE(Exists(Path("Capture.KBL")));
    EXPECT_FALSE(Exists(Path("Capture_0.KRC")));
    EXPECT_EQ(sink->WriteData(reinterpret_cast<const BYTE*>("x"), 1), VFW_E_WRONG_STATE);
}

TEST_F(CDVRSinkTest, SettersRefuseBadArgumentsAndNormaliseNames)
{
    CSinkRef sink;
    EXPECT_EQ(sink->SetFolderCount(0), E_INVALIDARG);
    EXPECT_EQ(sink->SetFolderName(1, nullptr), DISP_E_BADINDEX);
    EXPECT_EQ(sink->SetFolderName(-1, nullptr), DISP_E_BADINDEX);
    CWString strLong(260, u'a');
    EXPECT_EQ(sink->SetFolderName(0, strLong.data()), CO_E_PATHTOOLONG);
    EXPECT_EQ(sink->SetBufferSize(0, 1, 5000), E_INVALIDARG);
    EXPECT_EQ(sink->SetBufferSize(0, 2, 1.0), E_INVALIDARG);
    EXPECT_EQ(sink->SetBufferSize(0, 2, std::nan("")), E_INVALIDARG);
    EXPECT_EQ(sink->SetBufferSize(1, 2, 5000), DISP_E_BADINDEX);  // index == count
    EXPECT_EQ(sink->GetFolderCount(nullptr), E_POINTER);
    BSTR bstr = nullptr;
    EXPECT_EQ(sink->GetFolderName(1, &bstr), DISP_E_BADINDEX);
    EXPECT_EQ(sink->GetBaseName(nullptr), E_POINTER);
    EXPECT_EQ(sink->CopyToFile(nullptr, 0, 10), E_POINTER);
    CWString strOut = WPath("out.ts");
    EXPECT_EQ(sink->CopyToFile(strOut.data(), 10, 10), E_INVALIDARG);
    EXPECT_EQ(sink->StartBackupToFile(nullptr, 0), E_POINTER);
    double d1, d2, d3;
    EXPECT_EQ(sink->GetAvailableRange(&d1, &d2, &d3), KVMM_E_DVR_NO_RECORDINGS);
    EXPECT_EQ(sink->GetTimeRange(0, 1, 0, 0), E_NOTIMPL);
    // None of the refused calls changed anything, so nothing was committed
    // and the defaults still delete on stop.
    EXPECT_EQ(sink->m_nCommits, 0);

    const struct
    {
        const char16_t* pszIn;
        const char16_t* pszOut;
    } kNames[] = {
        {u"/var/dvr/MyBuffer.kBl", u"MyBuffer"},
        {u"C:\\dvr\\Other.KBL", u"Other"},
        {u"rel/Name.ts", u"Name.ts"},
        {u"Plain", u"Plain"},
        {u"", u""},
    };
    for (const auto& c : kNames) {
        CWString strIn(c.pszIn);
        ASSERT_EQ(sink->SetBaseName(strIn.data()), S_OK);
        ASSERT_EQ(sink->GetBaseName(&bstr), S_OK);
        EXPECT_EQ(CWString(bstr ? bstr : u""), CWString(c.pszOut)) << WideToUtf8(c.pszIn);
        SysFreeString(bstr);
    }

    // An application-chosen base name names the buffer.
    CWString strName(u"Named.KBL");
    ASSERT_EQ(sink->SetBaseName(strName.data()), S_OK);
    ASSERT_EQ(sink->StartDVR(), S_OK);
    EXPECT_TRUE(Exists(Path("Named.KBL")));
    EXPECT_TRUE(Exists(Path("Named_0.KRC")));
}

TEST_F(CDVRSinkTest, OffsetTargetIsTruncatedAndSignalledOncePassed)
{
    CSinkRef sink;
    ASSERT_EQ(sink->StartDVR(), S_OK);
    HANDLE hData, hChanged, hReached;
    const LONG lKey = 0x1234;
    ASSERT_EQ(sink->RegisterReaderEx(lKey, static_cast<LONG>(GetCurrentProcessId()), &hData, &hChanged, &hReached),
              S_OK);
    EXPECT_EQ(sink->RegisterReaderEx(lKey, 1, nullptr, &hChanged, &hReached), E_POINTER);
    EXPECT_EQ(sink->SetOffsetToReach(lKey, 0.05), E_INVALIDARG);
    EXPECT_EQ(sink->SetOffsetToReach(lKey + 1, 100.5), E_INVALIDARG);
    ASSERT_EQ(sink->SetOffsetToReach(lKey, 100.5), S_OK);  // target 100

    Write(sink, 100);
    EXPECT_EQ(WaitForSingleObject(hData, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hReached, 0), WAIT_TIMEOUT);
    Write(sink, 1);  // the published total passes 100
    EXPECT_EQ(WaitForSingleObject(hReached, 0), WAIT_OBJECT_0);
    // Published at once for the waiting reader, not after 25 ms.
    EXPECT_EQ(Stub().aRecords[0].llSize, 101u);
    Write(sink, 1);
    EXPECT_EQ(WaitForSingleObject(hReached, 0), WAIT_TIMEOUT);  // the target was used up

    // A target already passed is signalled when it is set.
    ASSERT_EQ(sink->SetOffsetToReach(lKey, 50), S_OK);
    EXPECT_EQ(WaitForSingleObject(hReached, 0), WAIT_OBJECT_0);

    // A new recording is announced on the recordings-changed event.
    while (WaitForSingleObject(hChanged, 0) == WAIT_OBJECT_0) {
    }
    Write(sink, 11 * kMiB);
    EXPECT_EQ(WaitForSingleObject(hChanged, 0), WAIT_OBJECT_0);

    EXPECT_EQ(sink->UnregisterReader(lKey), S_FALSE);
    EXPECT_EQ(sink->UnregisterReader(lKey), S_OK);
    for (HANDLE h : {hData, hChanged, hReached})
        CloseHandle(h);
}

TEST_F(CDVRSinkTest, FreeNameRuleSkipsLiveOwnersAndPlantedLinks)
{
    // A stub left by a writer whose process is gone is free; a stub whose
    // owner name carries no pid counts as live.
    CSinkRef first;
    ASSERT_EQ(first->StartDVR(), S_OK);
    const SStub stubFirst = Stub("Capture.KBL");
    EXPECT_EQ(stubFirst.strOwner, WideToUtf8(first->GetObjectTableName()));
    ASSERT_NE(stubFirst.strOwner.find("pid "), std::string::npos);

    // The object-table entry leads to the writer.
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    CComPtr<IUnknown> pFound;
    ASSERT_EQ(pTable->GetObject(CItemMoniker(u"!", Utf8ToWide(stubFirst.strOwner)), &pFound), S_OK);
    CComPtr<IKVDVRSink> pSink;
    ASSERT_EQ(pFound.QueryInterface(IID_IKVDVRSink, &pSink), S_OK);
    EXPECT_EQ(pSink.Get(), static_cast<IKVDVRSink*>(first.Sink()));
    pFound.Release();
    pSink.Release();

    CSinkRef second;
    ASSERT_EQ(second->StartDVR(), S_OK);
    EXPECT_TRUE(Exists(Path("Capture0.KBL")));
    EXPECT_TRUE(Exists(Path("Capture0_0.KRC")));
    EXPECT_NE(Stub("Capture0.KBL").strOwner, stubFirst.strOwner);

    // Leaving the table clears the owner; joining writes it again.
    ASSERT_EQ(first->LeaveObjectTable(), S_OK);
    EXPECT_EQ(Stub("Capture.KBL").strOwner, "");
    EXPECT_EQ(pTable->GetObject(CItemMoniker(u"!", Utf8ToWide(stubFirst.strOwner)), &pFound), MK_E_UNAVAILABLE);
    ASSERT_EQ(first->JoinObjectTable(), S_OK);
    EXPECT_NE(Stub("Capture.KBL").strOwner, "");

    // Links planted under the next names: the stub link makes the name
    // taken, a recording link makes the start fail; neither target changes.
    ASSERT_EQ(symlink(Path("precious").c_str(), Path("Capture1.KBL").c_str()), 0);
    {
        std::ofstream(Path("precious")) << "keep me";
    }
    ASSERT_EQ(symlink(Path("precious").c_str(), Path("Capture2_0.KRC").c_str()), 0);
    CSinkRef third;
    EXPECT_TRUE(FAILED(third->StartDVR()));
    EXPECT_FALSE(third->IsWriting());
    EXPECT_EQ(ReadFileBytes(Path("precious")), "keep me");
    ASSERT_EQ(unlink(Path("Capture2_0.KRC").c_str()), 0);
    ASSERT_EQ(third->StartDVR(), S_OK);
    Write(third, 5000);
    EXPECT_TRUE(Exists(Path("Capture2_0.KRC")));
    EXPECT_EQ(ReadFileBytes(Path("precious")), "keep me");

    ASSERT_EQ(first->StopDVR(), S_OK);
    ASSERT_EQ(second->StopDVR(), S_OK);
    ASSERT_EQ(third->StopDVR(), S_OK);
    EXPECT_FALSE(Exists(Path("Capture2.KBL")));  // deleted with its buffer

    // A stub naming a process that does not exist is free; one whose owner
    // name carries no process id counts as live.
    auto PlantStub = [&](const std::string& strName, const std::string& strOwner) {
        dvrtest::WriteFileBytes(Path(strName), dvrtest::CStubBuilder().Header(100, Utf8ToWide(strOwner), 0).m_v);
    };
    PlantStub("Capture.KBL", "TARN DVR Sink 00000000 pid 7ffffff0");
    PlantStub("Capture0.KBL", "somebody");
    CSinkRef fourth;
    ASSERT_EQ(fourth->StartDVR(), S_OK);
    EXPECT_NE(Stub("Capture.KBL").strOwner, "TARN DVR Sink 00000000 pid 7ffffff0");
    EXPECT_EQ(Stub("Capture0.KBL").strOwner, "somebody");
}

TEST_F(CDVRSinkTest, BackupFileReceivesExactlyTheStreamAndItsFailureIsReportedOnce)
{
    CSinkRef sink;
    ASSERT_EQ(sink.Shape("", 3, 10000, nullptr), S_OK);
    ASSERT_EQ(sink->StartDVR(), S_OK);
    Write(sink, 700);
    CWString strBackup = WPath("copy.ts");
    ASSERT_EQ(sink->StartBackupToFile(strBackup.data(), 0), S_OK);
    const LONGLONG llBackupStart = m_llWritten;
    for (int i = 0; i < 40; ++i)
        Write(sink, 1000 + 37 * i);  // across several wraps of the ring
    ASSERT_EQ(sink->StopBackupToFile(), S_OK);
    Write(sink, 500);
    const std::string strData = ReadFileBytes(Path("copy.ts"));
    ASSERT_EQ(static_cast<LONGLONG>(strData.size()), m_llWritten - 500 - llBackupStart);
    EXPECT_EQ(FindMismatch(strData.data(), llBackupStart, strData.size()), -1);

    sink->m_cbBackupLimit = 1500;
    CWString strFull = WPath("full.bak");
    ASSERT_EQ(sink->StartBackupToFile(strFull.data(), 0), S_OK);
    for (int i = 0; i < 4; ++i)
        Write(sink, 1000);
    ASSERT_EQ(sink->m_aEvents.size(), 1u);
    EXPECT_EQ(sink->m_aEvents[0].first, kDVREventBackupFailed);
    EXPECT_EQ(sink->m_aEvents[0].second, HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    ASSERT_EQ(sink->StopDVR(), S_OK);  // recording went on regardless
    CheckRingHoldsStream(sink);
}

TEST_F(CDVRSinkTest, CopyToFileCopiesExactlyARangeThatSpansRecordings)
{
    CSinkRef sink;
    ASSERT_EQ(sink.Shape("", 4, 1000, nullptr), S_OK);
    ASSERT_EQ(sink->StartDVR(), S_OK);
    for (int i = 0; i < 7; ++i)
        Write(sink, 600);  // 7 recordings in 4 slots: offsets 1800..4200 kept
    ASSERT_EQ(sink->StopDVR(), S_OK);  // publishes the newest bytes
    double dFirst, dCur, dLast;
    ASSERT_EQ(sink->GetAvailableRange(&dFirst, &dCur, &dLast), S_OK);
    ASSERT_EQ(dFirst, 1800.0);
    ASSERT_EQ(dLast, 4200.0);

    const struct
    {
        double dStart, dEnd;
        LONGLONG llFrom, llTo;
    } kCases[] = {
        {2000, 3500, 2000, 3500},  // three recordings, cut at both ends
        {2400, 3000, 2400, 3000},  // exactly one recording
        {3900, -1, 3900, 4200},    // to the end
        {0, 2100, 1800, 2100},     // from before the oldest byte kept
    };
    for (const auto& c : kCases) {
        CWString strOut = WPath("range.ts");
        ASSERT_EQ(sink->CopyToFile(strOut.data(), c.dStart, c.dEnd), S_OK);
        const std::string strData = ReadFileBytes(Path("range.ts"));
        ASSERT_EQ(static_cast<LONGLONG>(strData.size()), c.llTo - c.llFrom) << c.dStart;
        EXPECT_EQ(FindMismatch(strData.data(), c.llFrom, strData.size()), -1) << c.dStart;
    }
}

// Readers that die never unregister. Each registration comes from a child
// process that is then killed; the writer must drop the dead entries and
// close their events, so its descriptor count stays flat.
TEST_F(CDVRSinkTest, RegistrationsOfDeadReadersDoNotLeakDescriptors)
{
    CSinkRef sink;
    ASSERT_EQ(sink->StartDVR(), S_OK);
    HANDLE hOwnData, hOwnChanged;
    ASSERT_EQ(sink->RegisterReader(1, static_cast<LONG>(GetCurrentProcessId()), &hOwnData, &hOwnChanged), S_OK);
    Write(sink, 3000);  // published: the stub is open from here on
    const int nBefore = OpenDescriptorCount();

    constexpr int kReaders = 200;
    for (int i = 0; i < kReaders; ++i) {
        int afd[2];
        ASSERT_EQ(pipe(afd), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char c;
            (void)!read(afd[0], &c, 1);  // until the parent kills us
            _exit(0);
        }
        close(afd[0]);
        HANDLE h[3];
        ASSERT_EQ(sink->RegisterReaderEx(1000 + i, pid, &h[0], &h[1], &h[2]), S_OK);
        for (HANDLE hOne : h)
            CloseHandle(hOne);  // the reader's copies die with the reader
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
        close(afd[1]);
        if (i % 50 == 0)
            Write(sink, 100);
    }
    // A registration from a process that is already gone is refused.
    HANDLE hA, hB;
    EXPECT_EQ(sink->RegisterReader(5, 0x7FFFFFF0, &hA, &hB), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    // That attempt also dropped the last dead reader.
    EXPECT_EQ(OpenDescriptorCount(), nBefore);

    // The live reader kept its registration throughout.
    while (WaitForSingleObject(hOwnData, 0) == WAIT_OBJECT_0) {
    }
    Write(sink, 100);
    EXPECT_EQ(WaitForSingleObject(hOwnData, 0), WAIT_OBJECT_0);
    CloseHandle(hOwnData);
    CloseHandle(hOwnChanged);
}

// The writer runs on its own thread while another thread copies, queries
// and registers; whatever a copy returns is a true piece of the stream, and
// data held back while a copy holds the next slot reaches the ring in order.
TEST_F(CDVRSinkTest, CopiesAndQueriesDuringWritesSeeOnlyTheStream)
{
    CSinkRef sink;
    ASSERT_EQ(sink.Shape("", 3, 4000, nullptr), S_OK);
    ASSERT_EQ(sink->StartDVR(), S_OK);
    std::atomic<bool> bStop{false};
    std::atomic<int> nHeld{0};
    std::thread writer([&] {
        LONGLONG llOffset = 0;
        for (int i = 0; i < 3000 && !bStop.load(); ++i) {
            const LONG cb = 500 + (i * 7919) % 1500;
            const std::vector<BYTE> v = StreamBytes(llOffset, cb);
            HRESULT hr = sink->WriteData(v.data(), cb);
            if (hr == KVMM_E_DVR_RECORDINGINUSE)
                ++nHeld;
            else if (FAILED(hr))
                ADD_FAILURE() << "WriteData " << std::hex << hr;
            llOffset += cb;
        }
        m_llWritten = llOffset;
    });
    CWString strOut = WPath("live.ts");
    for (int i = 0; i < 100; ++i) {
        double dFirst, dCur, dLast;
        if (FAILED(sink->GetAvailableRange(&dFirst, &dCur, &dLast)) || dLast <= dFirst)
            continue;
        const HRESULT hr = sink->CopyToFile(strOut.data(), dFirst, dLast);
        if (hr == KVMM_E_DVR_DISCARDED_DATA)
            continue;
        ASSERT_EQ(hr, S_OK);
        // A copy may start later than asked when the writer reused the
        // oldest slot meanwhile, but it always ends where asked.
        const std::string strData = ReadFileBytes(Path("live.ts"));
        const LONGLONG llEnd = static_cast<LONGLONG>(dLast);
        ASSERT_LE(static_cast<LONGLONG>(strData.size()), llEnd - static_cast<LONGLONG>(dFirst));
        ASSERT_EQ(FindMismatch(strData.data(), llEnd - static_cast<LONGLONG>(strData.size()), strData.size()), -1);
        LONG lStatus, lFolder, lSlot;
        double dSize;
        ASSERT_EQ(sink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), S_OK);
        HANDLE hA, hB;
        ASSERT_EQ(sink->RegisterReader(i, static_cast<LONG>(GetCurrentProcessId()), &hA, &hB), S_OK);
        CloseHandle(hA);
        CloseHandle(hB);
        EXPECT_EQ(sink->UnregisterReader(i), S_FALSE);
    }
    bStop = true;
    writer.join();
    // One last block flushes anything still held back.
    if (nHeld > 0) {
        Write(sink, 10);
    }
    ASSERT_EQ(sink->StopDVR(), S_OK);
    // Stopped with the defaults off (a layout was committed): the files stay.
    CheckRingHoldsStream(sink);
}

// What readers ask the writer never waits for a write that is stuck on the
// disk: the writer is held inside a recording write while another thread
// asks for its status, its range and a recording's state.
TEST_F(CDVRSinkTest, QueriesAnswerWhileAWriteIsStuckOnTheDisk)
{
    CSinkRef sink;
    ASSERT_EQ(sink.Shape("", 4, 100000, nullptr), S_OK);
    ASSERT_EQ(sink->StartDVR(), S_OK);
    Write(sink, 5000);  // published: more than 2 KiB
    sink->m_bGateRecordings = true;
    ASSERT_EQ(sink->StopDVR(), S_OK);
    ASSERT_EQ(sink->StartDVR(), S_OK);  // its recordings are gated from here on
    sink->m_evWriteRelease.Reset();
    m_llWritten = 0;
    std::thread writer([&] { Write(sink, 3000); });
    ASSERT_TRUE(sink->m_evWriteEntered.Wait(10000));

    // Answered from what was published before the stuck write.
    LONG lStatus = -1, lFolder = -1, lSlot = -1;
    double dSize = -1;
    EXPECT_EQ(sink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), S_OK);
    EXPECT_EQ(lStatus, DVRStatus_Writing);
    EXPECT_EQ(lSlot, 0);
    EXPECT_EQ(dSize, 0.0);
    EXPECT_TRUE(sink->IsWriting());
    double dFirst = -1, dCur = -1, dLast = -1;
    EXPECT_EQ(sink->GetAvailableRange(&dFirst, &dCur, &dLast), S_OK);
    EXPECT_EQ(dFirst, 0.0);
    EXPECT_EQ(dLast, 0.0);
    BSTR bstrPath = nullptr;
    double dOnDisk = 0;
    LONG lPlay = -1, lState = -1;
    EXPECT_EQ(sink->GetRecordingInfo(0, &bstrPath, &dSize, &dOnDisk, &lPlay, &lState), S_OK);
    EXPECT_EQ(lState, kDVRRecordingEmpty);
    SysFreeString(bstrPath);
    LONG nFolders = 0;
    EXPECT_EQ(sink->GetFolderCount(&nFolders), S_OK);
    HANDLE hA, hB, hC;
    EXPECT_EQ(sink->RegisterReaderEx(7, static_cast<LONG>(GetCurrentProcessId()), &hA, &hB, &hC), S_OK);
    EXPECT_EQ(sink->SetOffsetToReach(7, 2999), S_OK);

    sink->m_evWriteRelease.Set();
    writer.join();
    // The reader's target was passed: published at once, and signalled.
    EXPECT_EQ(WaitForSingleObject(hC, 0), WAIT_OBJECT_0);
    EXPECT_EQ(sink->GetAvailableRange(&dFirst, &dCur, &dLast), S_OK);
    EXPECT_EQ(dLast, 3000.0);
    EXPECT_EQ(sink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), S_OK);
    EXPECT_EQ(dSize, 3000.0);
    for (HANDLE h : {hA, hB, hC})
        CloseHandle(h);
}

namespace {

// Stands in for the receive thread as it will be: one thread writes blocks
// and, between them, serves commands; the handler of an attribute change
// hands the stop and the start to that thread and waits for it, on the
// thread that ends the change. Were the sink to hold a lock across the
// notification, the writing thread would wait on that lock and the handler
// on the writing thread, for ever; the handler's wait is bounded, so a
// deadlock shows as a failure, not as a hung test.
class CWritingThreadSink : public CBaseDVRSink
{
public:
    CWritingThreadSink() : CBaseDVRSink("writing thread sink", nullptr) {}

    HRESULT ChangingAttributesNotification(BOOL bAfter) override
    {
        m_nCommand.store(bAfter ? kStart : kStop);
        m_evCommand.Set();
        if (!m_evDone.Wait(10000)) {
            m_bTimedOut = true;
            return E_FAIL;
        }
        if (bAfter)
            ++m_nCommits;
        return m_hrCommand.load();
    }

    void Run()
    {
        std::vector<BYTE> v(1024, 0x47);
        while (!m_bQuit.load()) {
            if (WaitForSingleObject(m_evCommand, 0) == WAIT_OBJECT_0) {
                m_evCommand.Reset();
                m_hrCommand = m_nCommand.load() == kStop ? StopDVR() : StartDVR();
                m_evDone.Set();
                continue;
            }
            if (SUCCEEDED(WriteData(v.data(), static_cast<LONG>(v.size()))))
                ++m_nWrites;
            else
                (void)m_evCommand.Wait(1);
        }
    }

    static constexpr int kStop = 1;
    static constexpr int kStart = 2;
    std::atomic<int> m_nCommand{0};
    std::atomic<HRESULT> m_hrCommand{S_OK};
    CAMEvent m_evCommand{TRUE};  // manual: only serving a command clears it
    CAMEvent m_evDone;
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bTimedOut{false};
    std::atomic<int> m_nCommits{0};
    std::atomic<long> m_nWrites{0};
};

}  // namespace

TEST_F(CDVRSinkTest, AttributeChangeWhoseHandlerWaitsOnTheWritingThreadNeverDeadlocks)
{
    CWritingThreadSink* pSink = new CWritingThreadSink;
    dvrtest::CTestWriter holder(pSink);
    ASSERT_EQ(pSink->StartDVR(), S_OK);
    std::thread writer([pSink] { pSink->Run(); });
    constexpr int kChanges = 1000;
    int nDone = 0;
    for (; nDone < kChanges && !pSink->m_bTimedOut.load(); ++nDone) {
        // Each change alters the layout, so each commits; the readers of the
        // buffer (none here) would see a stop and a start every time.
        const HRESULT hr = pSink->SetBufferSize(0, 2 + nDone % 3, 8192);
        if (hr != S_OK) {
            ADD_FAILURE() << "change " << nDone << " returned " << std::hex << hr;
            break;
        }
        LONG lStatus, lFolder, lSlot;
        double dSize;
        ASSERT_EQ(pSink->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), S_OK);
    }
    pSink->m_bQuit = true;
    writer.join();
    EXPECT_FALSE(pSink->m_bTimedOut.load());
    EXPECT_EQ(nDone, kChanges);
    EXPECT_EQ(pSink->m_nCommits.load(), kChanges);
    EXPECT_GT(pSink->m_nWrites.load(), 0);
    EXPECT_EQ(WaitForSingleObject(pSink->NoChangeEvent(), 0), WAIT_OBJECT_0);
    LONG nFiles = 0;
    double dBytes = 0;
    ASSERT_EQ(pSink->GetBufferSize(0, kDVRBufferSizeConfigured, &nFiles, &dBytes), S_OK);
    EXPECT_EQ(nFiles, 2 + (kChanges - 1) % 3);
}

namespace {

// Runs fn with the permissions of an ordinary user: root may write into any
// folder, so a read-only folder is read-only only for somebody else. The
// file-system identity is per thread, and only this thread creates files
// while fn runs.
template <class F>
void AsOrdinaryUser(F fn)
{
    const bool bRoot = geteuid() == 0;
    if (bRoot)
        (void)setfsuid(65534);
    fn();
    if (bRoot)
        (void)setfsuid(0);
}

}  // namespace

TEST_F(CDVRSinkTest, StartUpErrorsNameTheirCauseAndAFailedStartLeavesNothingBehind)
{
    ASSERT_EQ(chmod(m_strDir.c_str(), 0755), 0);  // an ordinary user may look in
    ASSERT_EQ(mkdir(Path("ro").c_str(), 0555), 0);
    {
        std::ofstream(Path("plain")) << "a file, not a folder";
    }
    const struct
    {
        const char* pszFolder;
        HRESULT hr;
    } kCases[] = {
        {"missing", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {"ro", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {"plain", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
    };
    for (const auto& c : kCases) {
        CSinkRef sink;
        ASSERT_EQ(sink->SetFolderName(0, WPath(c.pszFolder).data()), S_OK);
        HRESULT hr = S_OK;
        AsOrdinaryUser([&] { hr = sink->StartDVR(); });
        EXPECT_EQ(hr, c.hr) << c.pszFolder;
        EXPECT_FALSE(sink->IsWriting());
        // With an application's name the same errors come from the stub's
        // creation itself.
        ASSERT_EQ(sink->SetBaseName(CWString(u"Named").data()), S_OK);
        AsOrdinaryUser([&] { hr = sink->StartDVR(); });
        EXPECT_EQ(hr, c.hr) << c.pszFolder;
    }

    // A full disk while the stub is written, and a link planted where the
    // first recording goes: the start fails, and no stub or recording that
    // it made is left for a later start to take over.
    {
        CSinkRef sink;
        ASSERT_EQ(sink.Shape("", 3, 5000, nullptr), S_OK);
        sink->m_bStubDiskFull = true;
        EXPECT_EQ(sink->StartDVR(), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
        EXPECT_FALSE(Exists(Path("Capture.KBL")));
        EXPECT_FALSE(Exists(Path("Capture_0.KRC")));
        sink->m_bStubDiskFull = false;

        {
            std::ofstream(Path("precious")) << "keep me";
        }
        ASSERT_EQ(symlink(Path("precious").c_str(), Path("Capture_0.KRC").c_str()), 0);
        EXPECT_TRUE(FAILED(sink->StartDVR()));
        EXPECT_FALSE(Exists(Path("Capture.KBL")));
        EXPECT_EQ(ReadFileBytes(Path("precious")), "keep me");
        double d1, d2, d3;
        EXPECT_EQ(sink->GetAvailableRange(&d1, &d2, &d3), KVMM_E_DVR_NO_RECORDINGS);

        ASSERT_EQ(unlink(Path("Capture_0.KRC").c_str()), 0);
        ASSERT_EQ(sink->StartDVR(), S_OK);  // the name is free again
        Write(sink, 4000);
        EXPECT_EQ(Stub("Capture.KBL").aRecords.size(), 1u);
    }
    // A folder where other names are taken still gives the first free one.
    EXPECT_TRUE(Exists(Path("Capture.KBL")));
    CSinkRef other;
    ASSERT_EQ(other->StartDVR(), S_OK);
}
