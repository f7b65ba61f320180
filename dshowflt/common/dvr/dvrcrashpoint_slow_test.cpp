// The writer stopped dead at every file operation of a run that wraps a
// three-file ring three times: a child process runs the sink with its files
// wrapped so that operation N kills the process (SIGKILL, nothing flushed or
// closed), or fails with a full disk or an I/O error, once or from there on.
// After each, a fresh reader in this process must find a consistent buffer:
// every record's size within its file, and every byte from the oldest kept
// to the end equal to the offset stamp the writer wrote there.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrsink.h"
#include "platform/bstr.h"

namespace {

constexpr LONG kFiles = 3;
constexpr LONG kFileSize = 16384;
constexpr LONG kBlock = 4096;
constexpr int kBlocks = 3 * kFiles * (kFileSize / kBlock) + 2;  // three wraps and a bit

// Byte i of the stream: the 8-byte word at offset w holds w, seven bits a
// byte (every stamped byte is below 0x80).
BYTE StampByte(LONGLONG i)
{
    const unsigned long long w = static_cast<unsigned long long>(i) & ~7ull;
    return static_cast<BYTE>((w >> (7 * (i & 7))) & 0x7F);
}

// The word a stamp at an 8-aligned position holds.
LONGLONG StampWord(const BYTE* p)
{
    unsigned long long w = 0;
    for (int k = 0; k < 8; ++k)
        w |= static_cast<unsigned long long>(p[k] & 0x7F) << (7 * k);
    return static_cast<LONGLONG>(w);
}

enum class EFault { Kill, FailOnce, FailFromThere };

// What operation N does, for the child.
struct SFaultPlan
{
    long nAt = -1;  // -1: none, count only
    EFault fault = EFault::Kill;
    HRESULT hr = S_OK;
};

SFaultPlan g_plan;
long g_nOps = 0;
std::string g_strFaultFile;  // the file operation N was on

// Counts the operations that change the disk (writes and cuts of any of the
// writer's files) and applies the plan at operation N.
class CCrashFile : public IFile
{
public:
    CCrashFile(IFile* pInner, std::string strName) : m_pInner(pInner), m_strName(std::move(strName)) {}
    HRESULT Read(void* pv, DWORD cb, DWORD* pcbRead) override { return m_pInner->Read(pv, cb, pcbRead); }
    HRESULT Write(const void* pv, DWORD cb, DWORD* pcbWritten) override
    {
        *pcbWritten = 0;
        const HRESULT hr = Tick("write", m_strName.c_str(), cb);
        return FAILED(hr) ? hr : m_pInner->Write(pv, cb, pcbWritten);
    }
    HRESULT Seek(LONGLONG ll, DWORD dwMethod, LONGLONG* pllNewPos) override
    {
        return m_pInner->Seek(ll, dwMethod, pllNewPos);
    }
    HRESULT SetEndOfFile() override
    {
        const HRESULT hr = Tick("cut", m_strName.c_str(), 0);
        return FAILED(hr) ? hr : m_pInner->SetEndOfFile();
    }
    HRESULT GetSize(LONGLONG* pll) override { return m_pInner->GetSize(pll); }
    HANDLE GetHandle() const override { return m_pInner->GetHandle(); }

    // KV_CRASHPOINT_DEBUG=1 lists the operations of each run.
    static HRESULT Tick(const char* pszWhat, const char* pszName, DWORD cb)
    {
        const long n = ++g_nOps;
        if (getenv("KV_CRASHPOINT_DEBUG"))
            fprintf(stderr, "op %ld: %s %s %u\n", n, pszWhat, pszName, static_cast<unsigned>(cb));
        if (g_plan.nAt < 0 || n < g_plan.nAt)
            return S_OK;
        if (n == g_plan.nAt)
            g_strFaultFile = pszName;
        if (g_plan.fault == EFault::Kill)
            raise(SIGKILL);
        if (n == g_plan.nAt || g_plan.fault == EFault::FailFromThere)
            return g_plan.hr;
        return S_OK;
    }

private:
    std::unique_ptr<IFile> m_pInner;
    std::string m_strName;
};

class CCrashSink : public CBaseDVRSink
{
public:
    CCrashSink() : CBaseDVRSink("crash sink", nullptr) {}

protected:
    BOOL ShouldRegisterInObjectTable() override { return FALSE; }
    HRESULT OpenFile(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                     std::unique_ptr<IFile>* ppFile) override
    {
        // Creating (or truncating) a file is an operation too.
        if (dwAccess & GENERIC_WRITE) {
            const HRESULT hr = CCrashFile::Tick("open", WideToUtf8(PathFileName(pszPath)).c_str(), 0);
            if (FAILED(hr))
                return hr;
        }
        HRESULT hr = CBaseDVRSink::OpenFile(pszPath, dwAccess, dwShare, dwDisposition, ppFile);
        if (SUCCEEDED(hr) && (dwAccess & GENERIC_WRITE))
            ppFile->reset(new CCrashFile(ppFile->release(), WideToUtf8(PathFileName(pszPath))));
        return hr;
    }
};

// The child: the whole run, then the operations counted and the first
// failure seen, in a small report file. Exits without unwinding.
int OpenDescriptors()
{
    int n = 0;
    for (int fd = 0; fd < 4096; ++fd)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

[[noreturn]] void RunWriter(const std::string& strDir, const std::string& strReport)
{
    const int nFdsBefore = OpenDescriptors();
    auto* pSink = new CCrashSink;
    pSink->NonDelegatingAddRef();
    BSTR bstrDir = SysAllocString(Utf8ToWide(strDir).c_str());
    HRESULT hr = pSink->StartChangingAttributes();
    if (SUCCEEDED(hr))
        hr = pSink->SetFolderName(0, bstrDir);
    if (SUCCEEDED(hr))
        hr = pSink->SetBufferSize(0, kFiles, kFileSize);
    (void)pSink->EndChangingAttributes(FAILED(hr) ? VARIANT_TRUE : VARIANT_FALSE);
    SysFreeString(bstrDir);
    HRESULT hrFirst = hr;
    if (SUCCEEDED(hr))
        hr = pSink->StartDVR();
    if (FAILED(hr) && SUCCEEDED(hrFirst))
        hrFirst = hr;
    std::vector<BYTE> block(kBlock);
    LONGLONG llOffset = 0;
    int nFailedWrites = 0;
    for (int k = 0; SUCCEEDED(hr) && k < kBlocks; ++k) {
        for (LONG i = 0; i < kBlock; ++i)
            block[static_cast<size_t>(i)] = StampByte(llOffset + i);
        const HRESULT hrWrite = pSink->WriteData(block.data(), kBlock);
        // A block the sink refused is not in the stream; a later one goes on
        // from the next offset, which a reader sees as a jump in the stamps.
        if (FAILED(hrWrite)) {
            ++nFailedWrites;
            if (SUCCEEDED(hrFirst))
                hrFirst = hrWrite;
        }
        llOffset += kBlock;
        if (nFailedWrites > 3)
            break;  // the disk has gone: what a receive thread would do too
    }
    const HRESULT hrStop = pSink->StopDVR();
    if (FAILED(hrStop) && SUCCEEDED(hrFirst))
        hrFirst = hrStop;
    pSink->NonDelegatingRelease();
    // Whatever failed, the writer gives back every descriptor it took.
    const int nLeaked = OpenDescriptors() - nFdsBefore;
    FILE* f = fopen(strReport.c_str(), "w");
    if (f) {
        fprintf(f, "%ld %08X %d %s %d\n", g_nOps, static_cast<unsigned>(hrFirst), nFailedWrites,
                g_strFaultFile.empty() ? "-" : g_strFaultFile.c_str(), nLeaked);
        fclose(f);
    }
    _exit(0);
}

class CDVRCrashPointTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char sz[] = "/tmp/kvcrashpt_XXXXXX";
        ASSERT_NE(mkdtemp(sz), nullptr);
        m_strDir = sz;
    }
    void TearDown() override { (void)system(("rm -rf '" + m_strDir + "'").c_str()); }

    struct SRun
    {
        int nStatus = -1;  // wait status
        long nOps = -1;    // from the report, when the child finished
        HRESULT hrFirst = S_OK;
        int nFailedWrites = 0;
        std::string strFaultFile;  // the file of operation N
        int nLeaked = -1;          // descriptors left open after the release
    };
    SRun RunChild(const std::string& strRing, const SFaultPlan& plan)
    {
        SRun run;
        mkdir(strRing.c_str(), 0700);
        const std::string strReport = strRing + ".report";
        const pid_t pid = fork();
        if (pid == 0) {
            g_plan = plan;
            g_nOps = 0;
            RunWriter(strRing, strReport);
        }
        EXPECT_GT(pid, 0);
        if (pid <= 0)
            return run;
        // Bounded: the child's run takes milliseconds.
        for (int n = 0; n < 2000; ++n) {
            const pid_t r = waitpid(pid, &run.nStatus, WNOHANG);
            if (r == pid)
                break;
            usleep(5000);
            if (n == 1999) {
                kill(pid, SIGKILL);
                waitpid(pid, &run.nStatus, 0);
                ADD_FAILURE() << "the writer did not end within 10 s";
            }
        }
        FILE* f = fopen(strReport.c_str(), "r");
        if (f) {
            unsigned u = 0;
            char szFile[256] = {};
            if (fscanf(f, "%ld %X %d %255s %d", &run.nOps, &u, &run.nFailedWrites, szFile, &run.nLeaked) == 5) {
                run.hrFirst = static_cast<HRESULT>(u);
                run.strFaultFile = szFile;
            }
            fclose(f);
        }
        return run;
    }

    // A fresh reader of what the child left: records within their files,
    // every byte from the oldest kept to the end the stamp of its writer
    // offset (the oldest recording's first word tells where the reader's
    // count starts; a jump is allowed only where the child was told a
    // block failed). Answers the bytes verified.
    LONGLONG CheckRing(const std::string& strRing, const std::string& strWhat, bool bJumpsAllowed)
    {
        const std::string strStub = strRing + "/Capture.KBL";
        struct stat st;
        if (stat(strStub.c_str(), &st) != 0 || st.st_size < static_cast<off_t>(dvr::kStubHeaderBytes)) {
            ++m_nNoStub;  // stopped before the stub had its header
            return 0;
        }
        CDVREngine reader(false);
        const CWString wstrStub = Utf8ToWide(strStub);
        EXPECT_EQ(S_OK, reader.SetStubFileName(wstrStub.c_str(), static_cast<int>(wstrStub.size()), FALSE));
        LONG nCount = 0;
        std::unique_ptr<RecordingInfo[]> pList;
        HRESULT hr = reader.ReadAllRecordingsInfo(&nCount, &pList);
        EXPECT_EQ(S_OK, hr) << strWhat;
        for (LONG i = 0; SUCCEEDED(hr) && i < nCount; ++i) {
            struct stat stRec;
            const std::string strRec = strRing + "/" + WideToUtf8(pList[i].path);
            const LONGLONG llFile = stat(strRec.c_str(), &stRec) == 0 ? stRec.st_size : 0;
            EXPECT_LE(pList[i].size, llFile) << strWhat << ": slot " << i;
        }
        hr = reader.StartReader(nullptr);
        EXPECT_EQ(S_OK, hr) << strWhat;
        if (FAILED(hr))
            return 0;
        LONGLONG llMin = 0, llMax = 0;
        hr = reader.GetOffsets(&llMin, &llMax);
        if (hr == KVMM_E_DVR_NO_RECORDINGS) {
            ++m_nEmpty;
            reader.StopReader();
            return 0;
        }
        EXPECT_EQ(S_OK, hr) << strWhat;
        EXPECT_LE(llMax - llMin, static_cast<LONGLONG>(kFiles) * kFileSize) << strWhat;
        std::vector<BYTE> v(static_cast<size_t>(std::max<LONGLONG>(llMax - llMin, 0)));
        DWORD cbRead = 0;
        if (!v.empty()) {
            hr = reader.ReadData(llMin, static_cast<DWORD>(v.size()), static_cast<DWORD>(v.size()), v.data(),
                                 &cbRead, 0);
            EXPECT_EQ(S_OK, hr) << strWhat;
            EXPECT_EQ(v.size(), cbRead) << strWhat;
        }
        reader.StopReader();
        // Recordings start at block boundaries, so each piece of the stream
        // starts on a stamp word; a piece runs on while the stamps do.
        LONGLONG llWriter = -1;
        int nJumps = 0;
        for (size_t i = 0; i < cbRead; ++i) {
            // At every block boundary the word says where the stream is;
            // a jump may only go forward by whole blocks.
            if (llWriter < 0 || llWriter % kBlock == 0) {
                const LONGLONG llFound = i + 8 <= cbRead ? StampWord(&v[i]) : -1;
                if (llFound != llWriter) {
                    if (llFound < 0 || llFound % kBlock != 0 || (llWriter >= 0 && llFound < llWriter)) {
                        ADD_FAILURE() << strWhat << ": byte " << i << " of the " << cbRead
                                      << " kept is not the stream (writer offset " << llWriter << ", word "
                                      << llFound << ")";
                        break;
                    }
                    nJumps += llWriter >= 0;
                    llWriter = llFound;
                }
            }
            if (v[i] != StampByte(llWriter)) {
                ADD_FAILURE() << strWhat << ": byte " << i << " of the " << cbRead
                              << " kept is not the stream (writer offset " << llWriter << ")";
                break;
            }
            ++llWriter;
        }
        if (!bJumpsAllowed) {
            EXPECT_EQ(0, nJumps) << strWhat << ": the kept stream skips";
        }
        m_nLastJumps = nJumps;
        return cbRead;
    }

    std::string m_strDir;
    int m_nNoStub = 0;
    int m_nEmpty = 0;
    int m_nLastJumps = 0;
};

TEST_F(CDVRCrashPointTest, KilledOrFailingAtEveryFileOperationLeavesAConsistentRing)
{
    // The run without faults: how many operations, and the oracle agrees
    // with it.
    const SRun clean = RunChild(m_strDir + "/clean", SFaultPlan{});
    ASSERT_TRUE(WIFEXITED(clean.nStatus) && WEXITSTATUS(clean.nStatus) == 0);
    ASSERT_EQ(S_OK, clean.hrFirst);
    EXPECT_EQ(0, clean.nLeaked);
    ASSERT_GT(clean.nOps, 20);
    // Two whole files and the blocks of the last one.
    constexpr LONG kPerFile = kFileSize / kBlock;
    const LONGLONG llCleanKept = static_cast<LONGLONG>(kFiles - 1) * kFileSize + (kBlocks % kPerFile) * kBlock;
    EXPECT_EQ(llCleanKept, CheckRing(m_strDir + "/clean", "clean run", false));

    struct SKind
    {
        const char* pszName;
        EFault fault;
        HRESULT hr;
    };
    const SKind aKinds[] = {
        {"killed", EFault::Kill, S_OK},
        {"disk full once", EFault::FailOnce, HRESULT_FROM_WIN32(ERROR_DISK_FULL)},
        {"I/O error from there on", EFault::FailFromThere, HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)},
    };
    LONGLONG llVerified = 0;
    int nRuns = 0, nReported = 0, nIndexOnly = 0, nHealed = 0;
    for (const SKind& kind : aKinds) {
        for (long n = 1; n <= clean.nOps && !HasFailure(); ++n) {
            const std::string strRing = m_strDir + "/r" + std::to_string(nRuns++);
            const std::string strWhat = std::string(kind.pszName) + " at operation " + std::to_string(n);
            const SRun run = RunChild(strRing, SFaultPlan{n, kind.fault, kind.hr});
            if (kind.fault == EFault::Kill) {
                EXPECT_TRUE(WIFSIGNALED(run.nStatus) && WTERMSIG(run.nStatus) == SIGKILL) << strWhat;
            } else {
                // The writer survives the failure. One in the stub or a
                // recording fails the write or the stop that met it; one in
                // a time index only costs that recording its index (traced).
                ASSERT_TRUE(WIFEXITED(run.nStatus) && WEXITSTATUS(run.nStatus) == 0) << strWhat;
                EXPECT_EQ(0, run.nLeaked) << strWhat << ": descriptors left open";
                const bool bIndex = kind.fault == EFault::FailOnce && run.strFaultFile.size() > 4 &&
                                    run.strFaultFile.compare(run.strFaultFile.size() - 4, 4, ".KRI") == 0;
                const LONGLONG llKept = CheckRing(strRing, strWhat, true);
                llVerified += llKept;
                if (bIndex) {
                    ++nIndexOnly;
                    EXPECT_EQ(S_OK, run.hrFirst) << strWhat << " (" << run.strFaultFile << ")";
                } else if (FAILED(run.hrFirst)) {
                    ++nReported;
                } else {
                    // Unreported only when nothing was lost: a size the
                    // next publication wrote again.
                    EXPECT_EQ(EFault::FailOnce, kind.fault) << strWhat << " (" << run.strFaultFile
                                                          << "): the failure went unreported";
                    EXPECT_EQ(llCleanKept, llKept) << strWhat << " (" << run.strFaultFile << ")";
                    EXPECT_EQ(0, m_nLastJumps) << strWhat << " (" << run.strFaultFile << ")";
                    ++nHealed;
                }
            }
            if (kind.fault == EFault::Kill)
                llVerified += CheckRing(strRing, strWhat, false);
            (void)system(("rm -rf '" + strRing + "'").c_str());
        }
    }
    printf("%ld operations in a clean run; %d faulted runs (every operation, killed / failed once / failed "
           "from there on), %d failures reported by the writer, %d in a time index only, %d written again with nothing lost, %d stopped before the stub had its header, "
           "%d with no recording, %" PRId64 " bytes verified\n",
           clean.nOps, nRuns, nReported, nIndexOnly, nHealed, m_nNoStub, m_nEmpty, static_cast<int64_t>(llVerified));
}

}  // namespace
