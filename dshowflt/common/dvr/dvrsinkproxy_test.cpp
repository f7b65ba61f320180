#include "dshowflt/common/dvr/dvrsinkproxy.h"

#include <fcntl.h>
#include <signal.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrsinkif.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// The real writer, watched: it reports readers unregistered for a proxy that
// went away, and a copy to "hang" stays inside the writer until released, as
// a writer stuck on a slow disk would.
class CWatchedWriter : public CBaseDVRSink
{
public:
    CWatchedWriter() : CBaseDVRSink("watched writer", nullptr) {}
    HRESULT UnregisterReader(LONG lKey) override
    {
        const HRESULT hr = CBaseDVRSink::UnregisterReader(lKey);
        if (hr == S_FALSE)
            m_evUnregistered.Set();
        return hr;
    }
    HRESULT CopyToFile(BSTR b, double s, double e) override
    {
        if (b && std::u16string_view(b) == u"hang") {
            if (m_fdReport >= 0)
                (void)!write(m_fdReport, "H", 1);
            (void)m_evRelease.Wait(60000);
            return S_OK;
        }
        return CBaseDVRSink::CopyToFile(b, s, e);
    }

    int m_fdReport = -1;
    CAMEvent m_evRelease{TRUE};
    CAMEvent m_evUnregistered;
};

struct CBstr
{
    ~CBstr() { SysFreeString(p); }
    // For an output: an out BSTR is overwritten, never freed, by the callee.
    BSTR* Out()
    {
        SysFreeString(p);
        p = nullptr;
        return &p;
    }
    BSTR p = nullptr;
};

struct CTimeoutScope
{
    explicit CTimeoutScope(DWORD dwMs) : m_dwOld(RemoteCallTimeout()) { SetRemoteCallTimeout(dwMs); }
    ~CTimeoutScope() { SetRemoteCallTimeout(m_dwOld); }
    DWORD m_dwOld;
};

std::u16string UniqueName(const char* psz)
{
    static std::atomic<int> s_n{0};
    char sz[100];
    snprintf(sz, sizeof(sz), "TARN DVR Sink %08x pid %08x %s", s_n.fetch_add(1) + 0xabc0,
             static_cast<unsigned>(getpid()), psz);
    return Utf8ToWide(sz);
}

std::u16string Lower(std::u16string s)
{
    for (WCHAR& ch : s)
        ch = (ch >= u'A' && ch <= u'Z') ? static_cast<WCHAR>(ch - u'A' + u'a') : ch;
    return s;
}

HRESULT LookUp(IRunningObjectTable* pTable, const std::u16string& strName, IKVDVRSink** pp)
{
    CComPtr<IUnknown> pUnk;
    HRESULT hr = pTable->GetObject(CItemMoniker(u"!", strName), &pUnk);
    if (FAILED(hr))
        return hr;
    return pUnk.QueryInterface(IID_IKVDVRSink, pp);
}

}  // namespace

// Two tables in one process: the second has no local entry, so every call
// goes over the socket exactly as from another process, where TSan can see
// both ends. The writer is a real one, writing the offset stream, so what
// comes over the socket is checked against the writer's own answers.
class CDVRSinkProxyTest : public dvrtest::CTempFolderTest
{
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        m_strName = UniqueName("inproc");
        ASSERT_EQ(m_w.Start(m_strDir, 4, 1 << 20), S_OK);
        ASSERT_EQ(m_writer.Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, static_cast<IKVDVRSink*>(m_pSink),
                                    CItemMoniker(u"!", m_strName), &m_dwCookie),
                  S_OK);
    }
    void TearDown() override
    {
        if (m_dwCookie) {
            EXPECT_EQ(m_writer.Revoke(m_dwCookie), S_OK);
        }
    }

    CWatchedWriter* const m_pSink = new CWatchedWriter;
    dvrtest::CTestWriter m_w{m_pSink};
    std::u16string m_strName;
    CCrossProcessObjectTable m_writer;
    CCrossProcessObjectTable m_reader;
    DWORD m_dwCookie = 0;
};

TEST_F(CDVRSinkProxyTest, EveryOperationCrossesWithTheWritersOwnValues)
{
    CComPtr<IKVDVRSink> p;
    ASSERT_EQ(LookUp(&m_reader, Lower(m_strName), &p), S_OK);
    IKVDVRSink* const w = m_pSink;
    EXPECT_NE(static_cast<IKVDVRSink*>(p), w);
    ASSERT_EQ(m_w.Write(5000), S_OK);
    ASSERT_TRUE(m_w.PublishAll());

    double ad[2][5] = {};
    LONG al[2][5] = {};
    for (int i = 0; i < 2; ++i) {
        IKVDVRSink* const q = i ? w : static_cast<IKVDVRSink*>(p);
        EXPECT_EQ(q->GetAvailableRange(&ad[i][0], &ad[i][1], &ad[i][2]), S_OK);
        EXPECT_EQ(q->GetFolderCount(&al[i][0]), S_OK);
        EXPECT_EQ(q->GetBufferSize(0, 0, &al[i][1], &ad[i][3]), S_OK);
        EXPECT_EQ(q->GetStatus(&al[i][2], &al[i][3], &al[i][4], &ad[i][4]), S_OK);
    }
    for (int j = 0; j < 5; ++j) {
        EXPECT_EQ(ad[0][j], ad[1][j]) << j;
        EXPECT_EQ(al[0][j], al[1][j]) << j;
    }
    EXPECT_EQ(ad[0][2], 5000.0);
    EXPECT_EQ(al[0][2], DVRStatus_Writing);
    EXPECT_EQ(p->GetAvailableRange(&ad[0][0], nullptr, &ad[0][2]), E_POINTER);  // a null output stays null
    EXPECT_EQ(p->GetFolderCount(nullptr), E_POINTER);
    EXPECT_EQ(p->GetBufferSize(7, 0, &al[0][0], &ad[0][0]), DISP_E_BADINDEX);

    CBstr folder, none;
    EXPECT_EQ(p->GetFolderName(0, folder.Out()), S_OK);
    EXPECT_EQ(WideToUtf8(folder.p), m_strDir);
    EXPECT_EQ(p->GetFolderName(5, none.Out()), DISP_E_BADINDEX);
    EXPECT_EQ(none.p, nullptr);

    CBstr path[2];
    double adInfo[2][2] = {};
    LONG alInfo[2][2] = {};
    for (int i = 0; i < 2; ++i) {
        IKVDVRSink* const q = i ? w : static_cast<IKVDVRSink*>(p);
        EXPECT_EQ(q->GetRecordingInfo(-1, none.Out(), &adInfo[i][0], &adInfo[i][1], &alInfo[i][0], &alInfo[i][1]),
                  w->GetRecordingInfo(-1, none.Out(), &adInfo[i][0], &adInfo[i][1], &alInfo[i][0], &alInfo[i][1]));
        EXPECT_EQ(q->GetRecordingInfo(0, path[i].Out(), &adInfo[i][0], &adInfo[i][1], &alInfo[i][0], &alInfo[i][1]),
                  S_OK);
        EXPECT_EQ(q->GetTimeRange(1.0, 2.0, 0, 0), w->GetTimeRange(1.0, 2.0, 0, 0));
        EXPECT_EQ(q->GetTimeRangeEx(1.0, 2.0, 3.0, 0, 0, 3), w->GetTimeRangeEx(1.0, 2.0, 3.0, 0, 0, 3));
    }
    EXPECT_EQ(WideToUtf8(path[0].p), WideToUtf8(path[1].p));
    EXPECT_EQ(adInfo[0][0], 5000.0);
    EXPECT_EQ(adInfo[0][0], adInfo[1][0]);
    EXPECT_EQ(adInfo[0][1], adInfo[1][1]);
    EXPECT_EQ(alInfo[0][0], alInfo[1][0]);
    EXPECT_EQ(alInfo[0][1], kDVRRecordingWriting);

    // A copy asked for over the socket holds the stream's own bytes.
    CBstr copy;
    copy.p = SysAllocString(W("copy.ts").c_str());
    EXPECT_EQ(p->CopyToFile(copy.p, 3000.0, 1000.0), E_INVALIDARG);
    ASSERT_EQ(p->CopyToFile(copy.p, 1000.0, 3000.0), S_OK);
    const std::string strCopy = dvrtest::ReadFileBytes(P("copy.ts"));
    ASSERT_EQ(strCopy.size(), 2000u);
    EXPECT_EQ(dvrtest::FindMismatch(strCopy.data(), 1000, strCopy.size()), -1);

    // A non-ASCII name set over the socket reaches the writer unchanged.
    CBstr base, back;
    base.p = SysAllocString(u"d\u00e9j\u00e0 vu \U0001F600");
    ASSERT_EQ(p->SetBaseName(base.p), S_OK);
    ASSERT_EQ(w->GetBaseName(back.Out()), S_OK);
    EXPECT_EQ(std::u16string_view(back.p), std::u16string_view(base.p));
    ASSERT_EQ(p->GetBaseName(back.Out()), S_OK);
    EXPECT_EQ(std::u16string_view(back.p), std::u16string_view(base.p));

    // Registration: the events come over as descriptors; the key is ours.
    HANDLE h1 = INVALID_HANDLE_VALUE, h2 = INVALID_HANDLE_VALUE, h3 = INVALID_HANDLE_VALUE;
    ASSERT_EQ(p->RegisterReaderEx(0x1234, static_cast<LONG>(getpid()), &h1, &h2, &h3), S_OK);
    EXPECT_NE(h3, INVALID_HANDLE_VALUE);
    EXPECT_EQ(p->SetOffsetToReach(0x1234, 0.05), E_INVALIDARG);
    EXPECT_EQ(p->SetOffsetToReach(0x1234, 4000.5), S_OK);
    EXPECT_EQ(WaitForSingleObject(h3, 10000), WAIT_OBJECT_0);  // already passed
    EXPECT_EQ(p->UnregisterReader(0x1234), S_FALSE);
    EXPECT_EQ(p->UnregisterReader(0x1234), S_OK);
    for (HANDLE h : {h1, h2, h3})
        CloseHandle(h);

    // The writer's own table hands out the object itself.
    CComPtr<IKVDVRSink> pDirect;
    ASSERT_EQ(LookUp(&m_writer, m_strName, &pDirect), S_OK);
    EXPECT_EQ(static_cast<IKVDVRSink*>(pDirect), w);
    EXPECT_EQ(m_reader.IsRunning(CItemMoniker(u"!", m_strName)), S_OK);
    IUnknown* pNone = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(m_reader.GetObject(CItemMoniker(u"!", UniqueName("nobody")), &pNone), MK_E_UNAVAILABLE);
    EXPECT_EQ(pNone, nullptr);
    EXPECT_EQ(m_reader.IsRunning(CItemMoniker(u"!", UniqueName("nobody"))), S_FALSE);
}

TEST_F(CDVRSinkProxyTest, ReaderEventsWakeAndKeysStayApartPerConnection)
{
    CComPtr<IKVDVRSink> pA, pB;
    ASSERT_EQ(LookUp(&m_reader, m_strName, &pA), S_OK);
    ASSERT_EQ(LookUp(&m_reader, m_strName, &pB), S_OK);
    HANDLE ahA[3], ahB[2];
    // Both readers chose the same key; the writer must keep two readers.
    ASSERT_EQ(pA->RegisterReaderEx(0x10, 1, &ahA[0], &ahA[1], &ahA[2]), S_OK);
    ASSERT_EQ(pB->RegisterReader(0x10, 2, &ahB[0], &ahB[1]), S_OK);
    ASSERT_EQ(pA->SetOffsetToReach(0x10, 1000.0), S_OK);

    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(ahA[2], 10000), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(ahB[0], 10000), WAIT_OBJECT_0);
    });
    EXPECT_EQ(m_w.Write(2000), S_OK);
    EXPECT_TRUE(m_w.PublishAll());
    waiter.join();
    EXPECT_EQ(WaitForSingleObject(ahA[0], 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ahA[0], 0), WAIT_TIMEOUT);  // still auto-reset

    // A reader that goes away without unregistering is unregistered for it,
    // and only it.
    pB.Release();
    ASSERT_TRUE(m_pSink->m_evUnregistered.Wait(10000));
    EXPECT_EQ(pA->UnregisterReader(0x10), S_FALSE);
    for (HANDLE h : ahA)
        CloseHandle(h);
    for (HANDLE h : ahB)
        CloseHandle(h);
}

TEST_F(CDVRSinkProxyTest, RevokedWriterDisconnectsItsProxies)
{
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(&m_reader, m_strName, &pProxy), S_OK);
    ASSERT_EQ(m_writer.Revoke(m_dwCookie), S_OK);
    m_dwCookie = 0;
    LONG l = 0;
    EXPECT_EQ(pProxy->GetFolderCount(&l), RPC_E_DISCONNECTED);
    EXPECT_EQ(pProxy->GetFolderCount(&l), RPC_E_DISCONNECTED);
    CComPtr<IKVDVRSink> pAgain;
    EXPECT_EQ(LookUp(&m_reader, m_strName, &pAgain), MK_E_UNAVAILABLE);
}

TEST_F(CDVRSinkProxyTest, MalformedRequestsAreRefusedAndServingGoesOn)
{
    // By hand: a hello with a wrong magic, then a proper client.
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string strName = ObjectTableSocketName(geteuid(), CItemMoniker(u"!", m_strName));
    memcpy(addr.sun_path + 1, strName.data(), strName.size());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strName.size())),
              0);
    const BYTE abHello[] = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'X', 'X', 'X', 'X'};
    ASSERT_EQ(send(fd, abHello, sizeof(abHello), 0), static_cast<ssize_t>(sizeof(abHello)));
    ASSERT_EQ(WaitForSingleObject(fd, 10000), WAIT_OBJECT_0);
    BYTE abReply[64];
    ASSERT_GE(recv(fd, abReply, sizeof(abReply), 0), 12);
    EXPECT_EQ(static_cast<HRESULT>(abReply[4] | abReply[5] << 8 | abReply[6] << 16 | abReply[7] << 24),
              KVMM_E_INVALID_DATA);
    close(fd);

    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(&m_reader, m_strName, &pProxy), S_OK);
    LONG l = 0;
    EXPECT_EQ(pProxy->GetFolderCount(&l), S_OK);
    EXPECT_EQ(l, 1);
}

// ---------------------------------------------------------------------------
// Two processes. The test binary runs itself as the child; the child's role
// comes in KV_ROT_CHILD, the name in KV_ROT_NAME and a control socket in
// KV_ROT_FD. The writer child writes its table name on a line once started,
// 'H' when a call hangs inside it, and 'w' after writing 1000 bytes on 'W'.

namespace {

class CChildProcess
{
public:
    ~CChildProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            (void)Reap();
        }
        if (m_fd >= 0)
            close(m_fd);
    }

    // bAsNobody: the child drops to uid/gid 65534 before it runs.
    bool Start(const char* pszRole, const std::u16string& strName, bool bAsNobody = false)
    {
        const char* pszBinary = getenv("KV_TEST_BINARY");
        int afd[2];
        if (!pszBinary || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, afd) != 0)
            return false;
        m_fd = afd[0];
        std::vector<std::string> vEnv{std::string("KV_ROT_CHILD=") + pszRole,
                                      "KV_ROT_NAME=" + WideToUtf8(strName), "KV_ROT_FD=" + std::to_string(afd[1])};
        std::vector<char*> vpEnv;
        for (auto& s : vEnv)
            vpEnv.push_back(s.data());
        for (char** p = environ; *p; ++p)
            vpEnv.push_back(*p);
        vpEnv.push_back(nullptr);
        std::string strFilter = std::string("--gtest_filter=DVRSinkProxyChild.") + pszRole;
        char* argv[] = {const_cast<char*>(pszBinary), strFilter.data(), nullptr};
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls until exec.
            if (fcntl(afd[1], F_SETFD, 0) != 0)  // this end goes to the new program
                _exit(126);
            if (bAsNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
                _exit(125);
            execve(pszBinary, argv, vpEnv.data());
            _exit(127);
        }
        close(afd[1]);
        return m_pid > 0;
    }

    // Reads the child's reports until c comes, for at most 10 s.
    bool WaitFor(char c)
    {
        for (int i = 0; i < 100; ++i) {
            if (WaitForSingleObject(m_fd, 10000) != WAIT_OBJECT_0)
                return false;
            char got = 0;
            if (recv(m_fd, &got, 1, 0) != 1)
                return false;
            if (got == c)
                return true;
        }
        return false;
    }
    bool ReadHr(HRESULT* phr)
    {
        return WaitForSingleObject(m_fd, 10000) == WAIT_OBJECT_0 && recv(m_fd, phr, sizeof(*phr), MSG_WAITALL) == 4;
    }
    bool ReadLine(std::string* pstr)
    {
        for (int i = 0; i < 200; ++i) {
            if (WaitForSingleObject(m_fd, 10000) != WAIT_OBJECT_0)
                return false;
            char c = 0;
            if (recv(m_fd, &c, 1, 0) != 1)
                return false;
            if (c == '\n')
                return true;
            pstr->push_back(c);
        }
        return false;
    }
    void Send(char c) { ASSERT_EQ(send(m_fd, &c, 1, MSG_NOSIGNAL), 1); }
    void Signal(int nSig)
    {
        ASSERT_EQ(kill(m_pid, nSig), 0);
        if (nSig == SIGSTOP) {
            // Delivery is asynchronous; a stop takes effect at once once it
            // is delivered, so this wait is short.
            siginfo_t si{};
            ASSERT_EQ(waitid(P_PID, static_cast<id_t>(m_pid), &si, WSTOPPED), 0);
        }
    }

    // Ends the conversation and returns the child's wait status; a child
    // that does not end within 10 s is killed.
    int Finish()
    {
        shutdown(m_fd, SHUT_WR);
        return Reap();
    }

private:
    int Reap()
    {
        const int fdPid = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        if (fdPid < 0 || WaitForSingleObject(fdPid, 10000) != WAIT_OBJECT_0)
            kill(m_pid, SIGKILL);
        if (fdPid >= 0)
            close(fdPid);
        int nStatus = -1;
        (void)waitpid(m_pid, &nStatus, 0);
        m_pid = -1;
        return nStatus;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
};

// Starts the real writer in a child and connects to it by the name it
// reports (on pTable; lower case, as a name's case does not count).
bool StartWriter(CChildProcess* pChild, IRunningObjectTable** ppTable, std::u16string* pstrName,
                 IKVDVRSink** ppProxy)
{
    std::string strName;
    if (!pChild->Start("RealWriter", u"unused") || !pChild->ReadLine(&strName) ||
        strName.find("TARN DVR Sink ") == std::string::npos || GetRunningObjectTable(ppTable) != S_OK)
        return false;
    *pstrName = Lower(Utf8ToWide(strName));
    return LookUp(*ppTable, *pstrName, ppProxy) == S_OK;
}

bool IsChild(const char* pszRole)
{
    const char* psz = getenv("KV_ROT_CHILD");
    return psz && strcmp(psz, pszRole) == 0;
}

}  // namespace

TEST(DVRSinkProxyChild, Intruder)
{
    if (!IsChild("Intruder"))
        GTEST_SKIP() << "runs only as the other-user child of the two-process tests";
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    const CItemMoniker mk(u"!", Utf8ToWide(getenv("KV_ROT_NAME")));
    CComPtr<IUnknown> pUnk;
    HRESULT ahr[2];
    ahr[0] = pTable->GetObject(mk, &pUnk);
    ahr[1] = CCrossProcessObjectTable::ConnectToObject(0, mk, &pUnk);
    ASSERT_EQ(write(atoi(getenv("KV_ROT_FD")), ahr, sizeof(ahr)), 8);
}

TEST(DVRSinkProxyTwoProcess, KilledWriterEndsCallInProgressAndItsEntry)
{
    // A time-out far beyond the test's waits: a disconnection must be what
    // ends the call, not the time-out.
    CTimeoutScope timeout(60000);
    CChildProcess child;
    IRunningObjectTable* pTable = nullptr;
    std::u16string strName;
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_TRUE(StartWriter(&child, &pTable, &strName, &pProxy));

    HRESULT hrCopy = S_OK;
    std::thread caller([&] {
        CBstr hang;
        hang.p = SysAllocString(u"hang");
        hrCopy = pProxy->CopyToFile(hang.p, 0.0, 1.0);
    });
    const bool bHanging = child.WaitFor('H');
    child.Signal(SIGKILL);
    caller.join();
    ASSERT_TRUE(bHanging);
    EXPECT_EQ(hrCopy, RPC_E_DISCONNECTED);
    LONG l = 0;
    EXPECT_EQ(pProxy->GetFolderCount(&l), RPC_E_DISCONNECTED);
    const int nStatus = child.Finish();
    EXPECT_TRUE(WIFSIGNALED(nStatus));
    CComPtr<IKVDVRSink> pAgain;
    EXPECT_EQ(LookUp(pTable, strName, &pAgain), MK_E_UNAVAILABLE);
}

TEST(DVRSinkProxyTwoProcess, StoppedWriterCallsEndAtTheirTimeOut)
{
    CTimeoutScope timeout(150);
    CChildProcess child;
    IRunningObjectTable* pTable = nullptr;
    std::u16string strName;
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_TRUE(StartWriter(&child, &pTable, &strName, &pProxy));

    child.Signal(SIGSTOP);
    LONG l1 = 0, l2 = 0, l3 = 0;
    double d = 0;
    EXPECT_EQ(pProxy->GetStatus(&l1, &l2, &l3, &d), RPC_E_TIMEOUT);
    HANDLE h1 = INVALID_HANDLE_VALUE, h2 = INVALID_HANDLE_VALUE;
    EXPECT_EQ(pProxy->RegisterReader(5, 1, &h1, &h2), RPC_E_TIMEOUT);
    EXPECT_EQ(h1, INVALID_HANDLE_VALUE);
    CComPtr<IKVDVRSink> pSecond;
    EXPECT_EQ(LookUp(pTable, strName, &pSecond), RPC_E_TIMEOUT);

    // Woken again, it answers; the late replies (one with two handles) are
    // skipped and closed.
    child.Signal(SIGCONT);
    SetRemoteCallTimeout(10000);
    EXPECT_EQ(pProxy->GetStatus(&l1, &l2, &l3, &d), S_OK);
    EXPECT_EQ(l1, DVRStatus_Writing);
    EXPECT_EQ(pProxy->UnregisterReader(5), S_FALSE);
    const int nStatus = child.Finish();
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
}

TEST(DVRSinkProxyTwoProcess, ProcessOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as another user";
    const std::u16string strName = UniqueName("private");
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    dvrtest::CTestWriter w;
    DWORD dwCookie = 0;
    ASSERT_EQ(pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, static_cast<IKVDVRSink*>(w.Sink()),
                               CItemMoniker(u"!", strName), &dwCookie),
              S_OK);
    CChildProcess child;
    ASSERT_TRUE(child.Start("Intruder", strName, true));
    // Its own lookup does not even see the entry; going for root's by name
    // reaches the server, which refuses.
    HRESULT hrOwn = S_OK, hrRoots = S_OK;
    EXPECT_TRUE(child.ReadHr(&hrOwn) && child.ReadHr(&hrRoots));
    EXPECT_EQ(hrOwn, MK_E_UNAVAILABLE);
    EXPECT_EQ(hrRoots, E_ACCESSDENIED);
    // The refusal leaves the writer serving its own user.
    CComPtr<IUnknown> pProxy;
    EXPECT_EQ(CCrossProcessObjectTable::ConnectToObject(0, CItemMoniker(u"!", strName), &pProxy), S_OK);
    const int nStatus = child.Finish();
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    EXPECT_EQ(pTable->Revoke(dwCookie), S_OK);
}

// The real writer in the child: StartDVR publishes it in the process-wide
// table with no help, and a reader in this process follows it by the name
// the writer reports.
TEST(DVRSinkProxyChild, RealWriter)
{
    if (!IsChild("RealWriter"))
        GTEST_SKIP() << "runs only as the DVR writer child of the two-process tests";
    const int fd = atoi(getenv("KV_ROT_FD"));
    dvrtest::CTempFolder folder;
    setenv("TMPDIR", folder.Path().c_str(), 1);
    CWatchedWriter* pSink = new CWatchedWriter;
    pSink->m_fdReport = fd;
    dvrtest::CTestWriter w(pSink);
    ASSERT_EQ(pSink->StartDVR(), S_OK);
    const std::string strName = WideToUtf8(pSink->GetObjectTableName()) + "\n";
    ASSERT_EQ(write(fd, strName.data(), strName.size()), static_cast<ssize_t>(strName.size()));
    for (int i = 0; i < 1000; ++i) {
        char c = 0;
        if (WaitForSingleObject(fd, 60000) != WAIT_OBJECT_0 || recv(fd, &c, 1, 0) != 1)
            break;
        if (c == 'W') {
            EXPECT_EQ(w.Write(1000), S_OK);
            ASSERT_EQ(write(fd, "w", 1), 1);
        }
    }
    pSink->m_evRelease.Set();
    EXPECT_EQ(w.Stop(), S_OK);
}

TEST(DVRSinkProxyTwoProcess, RealWriterIsFollowedByItsName)
{
    CChildProcess child;
    IRunningObjectTable* pTable = nullptr;
    std::u16string strName;
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_TRUE(StartWriter(&child, &pTable, &strName, &pProxy));

    // What a sink status thread does when it connects.
    ASSERT_EQ(pProxy->ReservedOperation(0, 0), S_OK);
    HANDLE ah[3];
    ASSERT_EQ(pProxy->RegisterReaderEx(0x5151, static_cast<LONG>(getpid()), &ah[0], &ah[1], &ah[2]), S_OK);
    ASSERT_EQ(pProxy->SetOffsetToReach(0x5151, 999.0), S_OK);
    LONG lStatus = -1, lFolder = -1, lSlot = -1;
    double dSize = -1;
    ASSERT_EQ(pProxy->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), S_OK);
    EXPECT_EQ(lStatus, DVRStatus_Writing);
    EXPECT_EQ(lSlot, 0);
    EXPECT_EQ(dSize, 0.0);

    child.Send('W');
    ASSERT_TRUE(child.WaitFor('w'));
    EXPECT_EQ(WaitForSingleObject(ah[0], 10000), WAIT_OBJECT_0);  // data written
    EXPECT_EQ(WaitForSingleObject(ah[2], 10000), WAIT_OBJECT_0);  // offset 999 reached
    EXPECT_EQ(WaitForSingleObject(ah[0], 0), WAIT_TIMEOUT);      // auto-reset across the boundary too
    double dFirst = -1, dCur = -1, dLast = -1;
    ASSERT_EQ(pProxy->GetAvailableRange(&dFirst, &dCur, &dLast), S_OK);
    EXPECT_EQ(dFirst, 0.0);
    EXPECT_EQ(dLast, 1000.0);
    CBstr path;
    double dOnDisk = 0;
    LONG lPlay = -1, lState = 0;
    ASSERT_EQ(pProxy->GetRecordingInfo(0, path.Out(), &dSize, &dOnDisk, &lPlay, &lState), S_OK);
    EXPECT_NE(WideToUtf8(path.p).find("Capture"), std::string::npos);
    EXPECT_EQ(dSize, 1000.0);
    EXPECT_EQ(lPlay, 0);
    EXPECT_EQ(lState, kDVRRecordingWriting);
    EXPECT_EQ(pProxy->UnregisterReader(0x5151), S_FALSE);
    for (HANDLE h : ah)
        CloseHandle(h);

    const int nStatus = child.Finish();
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    EXPECT_EQ(pProxy->GetStatus(&lStatus, &lFolder, &lSlot, &dSize), RPC_E_DISCONNECTED);
}
