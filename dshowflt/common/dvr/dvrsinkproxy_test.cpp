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

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrsinkif.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// A writer stand-in: answers with values derived from its arguments, keeps
// what the setters were given, and makes real reader events.
class CFakeSink : public CUnknown, public IKVDVRSink
{
public:
    CFakeSink() : CUnknown("fake sink", nullptr) {}
    ~CFakeSink() override
    {
        for (auto& [lKey, reg] : m_mapReaders)
            CloseEvents(reg);
        SysFreeString(m_bstrBase);
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IKVDVRSink || riid == IID_IKVDVRSink1 || riid == IID_IKVDVRSink2 || riid == IID_IKVDVRSink3)
            return GetInterface(static_cast<IKVDVRSink*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }

    HRESULT GetAvailableRange(double* a, double* b, double* c) override
    {
        if (!a || !b || !c)
            return E_POINTER;
        *a = 1.5, *b = 1e12 + 0.25, *c = -3.0;
        return S_OK;
    }
    HRESULT SetFolderCount(LONG n) override { return n < 1 ? E_INVALIDARG : (Log("SetFolderCount", n), S_OK); }
    HRESULT GetFolderCount(LONG* p) override { return p ? (*p = 7, S_OK) : E_POINTER; }
    HRESULT SetFolderName(LONG i, BSTR b) override
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_vLog.push_back("SetFolderName " + std::to_string(i) + " " + (b ? WideToUtf8(std::u16string_view(b, SysStringLen(b))) : "(null)"));
        return S_OK;
    }
    HRESULT GetFolderName(LONG i, BSTR* p) override
    {
        if (!p)
            return E_POINTER;
        if (i != 2)
            return DISP_E_BADINDEX;
        static const WCHAR kName[] = u"/tmp/d\u00e9j\u00e0\0vu";  // non-ASCII and an embedded zero
        *p = SysAllocStringLen(kName, 12);
        return S_OK;
    }
    HRESULT SetBaseName(BSTR b) override
    {
        std::lock_guard<std::mutex> lock(m_cs);
        SysFreeString(m_bstrBase);
        m_bstrBase = b ? SysAllocStringLen(b, SysStringLen(b)) : nullptr;
        return S_OK;
    }
    HRESULT GetBaseName(BSTR* p) override
    {
        if (!p)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_cs);
        *p = m_bstrBase ? SysAllocStringLen(m_bstrBase, SysStringLen(m_bstrBase)) : nullptr;
        return S_OK;
    }
    HRESULT SetBufferSize(LONG i, LONG n, double d) override
    {
        Log("SetBufferSize " + std::to_string(i) + " " + std::to_string(n) + " " + std::to_string(d), 0);
        return n < 2 ? E_INVALIDARG : S_OK;
    }
    HRESULT GetBufferSize(LONG i, LONG f, LONG* pn, double* pd) override
    {
        if (!pn || !pd)
            return E_POINTER;
        *pn = i * 10 + f, *pd = 10485760.0 * (i + 1);
        return S_OK;
    }
    HRESULT CopyToFile(BSTR b, double s, double e) override
    {
        if (b && std::u16string_view(b) == u"hang") {
            if (m_fdReport >= 0)
                (void)!write(m_fdReport, "H", 1);
            m_evHanging.Set();
            (void)m_evRelease.Wait(60000);
            return S_OK;
        }
        Log("CopyToFile " + WideToUtf8(b) + " " + std::to_string(s) + " " + std::to_string(e), 0);
        return e <= s ? E_INVALIDARG : S_OK;
    }
    HRESULT GetStatus(LONG* a, LONG* b, LONG* c, double* d) override
    {
        if (m_bHangStatus.load())
            (void)m_evRelease.Wait(60000);
        if (!a || !b || !c || !d)
            return E_POINTER;
        *a = DVRStatus_Writing, *b = 1, *c = 7, *d = 123456789.0;
        return S_OK;
    }
    HRESULT RegisterReader(LONG k, LONG pid, HANDLE* p1, HANDLE* p2) override
    {
        return RegisterReaderEx(k, pid, p1, p2, nullptr);
    }
    HRESULT UnregisterReader(LONG k) override
    {
        std::lock_guard<std::mutex> lock(m_cs);
        auto it = m_mapReaders.find(k);
        if (it == m_mapReaders.end())
            return S_OK;
        CloseEvents(it->second);
        m_mapReaders.erase(it);
        m_evUnregistered.Set();
        return S_FALSE;
    }
    HRESULT ReservedOperation(DWORD a, DWORD b) override { return (Log("Reserved " + std::to_string(a + b), 0), S_OK); }
    HRESULT GetRecordingInfo(LONG s, BSTR* p, double* d1, double* d2, LONG* l1, LONG* l2) override
    {
        if (s < 0)
            return E_INVALIDARG;
        if (!p || !d1 || !d2 || !l1 || !l2)
            return E_POINTER;
        *p = SysAllocString(u"Capture_03.KRC");
        *d1 = 4096.0 * s, *d2 = 8192.0, *l1 = s + 20, *l2 = kDVRRecordingComplete;
        return S_OK;
    }
    HRESULT StartChangingAttributes() override { return (Log("Start", 0), S_OK); }
    HRESULT EndChangingAttributes(VARIANT_BOOL b) override { return (Log("End", b), S_OK); }
    HRESULT StartBackupToFile(BSTR b, LONG) override { return b ? S_OK : E_POINTER; }
    HRESULT StopBackupToFile() override { return S_FALSE; }
    HRESULT RegisterReaderEx(LONG k, LONG, HANDLE* p1, HANDLE* p2, HANDLE* p3) override
    {
        if (!p1 || !p2)
            return E_POINTER;
        std::lock_guard<std::mutex> lock(m_cs);
        SReader& r = m_mapReaders[k];
        CloseEvents(r);
        for (HANDLE& h : r.ah)
            h = CreateEvent(FALSE, FALSE);
        HANDLE* aph[3] = {p1, p2, p3};
        for (int i = 0; i < 3; ++i) {
            if (aph[i] && FAILED(DuplicateHandle(r.ah[i], aph[i])))
                return E_FAIL;
        }
        return S_OK;
    }
    HRESULT SetOffsetToReach(LONG k, double d) override
    {
        std::lock_guard<std::mutex> lock(m_cs);
        auto it = m_mapReaders.find(k);
        if (d < 0.1 || it == m_mapReaders.end())
            return E_INVALIDARG;
        it->second.llTarget = static_cast<LONGLONG>(d + 0.1);
        return S_OK;
    }
    HRESULT GetTimeRange(double, double, LONG, LONG) override { return E_NOTIMPL; }
    HRESULT GetTimeRangeEx(double a, double b, double c, LONG, LONG, LONG l) override
    {
        return (a + b + c == 6.0 && l == 3) ? S_OK : E_INVALIDARG;
    }

    // Signals every reader's events, as a write and a publication would.
    void SignalReaders()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        for (auto& [lKey, r] : m_mapReaders) {
            for (HANDLE h : r.ah)
                SetEvent(h);
        }
    }
    std::map<LONG, LONGLONG> Readers()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        std::map<LONG, LONGLONG> m;
        for (auto& [lKey, r] : m_mapReaders)
            m[lKey] = r.llTarget;
        return m;
    }
    std::vector<std::string> TakeLog()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return std::move(m_vLog);
    }

    int m_fdReport = -1;
    std::atomic<bool> m_bHangStatus{false};
    CAMEvent m_evRelease{TRUE};
    CAMEvent m_evHanging;
    CAMEvent m_evUnregistered;

private:
    struct SReader
    {
        HANDLE ah[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
        LONGLONG llTarget = 0;
    };
    static void CloseEvents(SReader& r)
    {
        for (HANDLE& h : r.ah) {
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
        }
    }
    void Log(const std::string& str, LONG l)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_vLog.push_back(l ? str + " " + std::to_string(l) : str);
    }

    std::mutex m_cs;
    std::map<LONG, SReader> m_mapReaders;
    std::vector<std::string> m_vLog;
    BSTR m_bstrBase = nullptr;
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

// Every operation with its values; shared by the in-process and the
// two-process cases.
void CallEveryOperation(IKVDVRSink* p)
{
    double d1 = 0, d2 = 0, d3 = 0;
    EXPECT_EQ(p->GetAvailableRange(&d1, &d2, &d3), S_OK);
    EXPECT_EQ(d1, 1.5);
    EXPECT_EQ(d2, 1e12 + 0.25);
    EXPECT_EQ(d3, -3.0);
    EXPECT_EQ(p->GetAvailableRange(&d1, nullptr, &d3), E_POINTER);  // a null output stays null
    LONG l1 = 0, l2 = 0, l3 = 0;
    EXPECT_EQ(p->GetFolderCount(&l1), S_OK);
    EXPECT_EQ(l1, 7);
    EXPECT_EQ(p->GetFolderCount(nullptr), E_POINTER);
    EXPECT_EQ(p->SetFolderCount(0), E_INVALIDARG);
    EXPECT_EQ(p->SetFolderCount(3), S_OK);

    CBstr name;
    EXPECT_EQ(p->GetFolderName(2, name.Out()), S_OK);
    ASSERT_EQ(SysStringLen(name.p), 12u);
    EXPECT_EQ(std::u16string_view(name.p, 12), std::u16string_view(u"/tmp/d\u00e9j\u00e0\0vu", 12));
    CBstr none;
    EXPECT_EQ(p->GetFolderName(5, none.Out()), DISP_E_BADINDEX);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(p->SetFolderName(1, name.p), S_OK);
    EXPECT_EQ(p->SetFolderName(0, nullptr), S_OK);

    CBstr base;
    EXPECT_EQ(p->SetBaseName(name.p), S_OK);
    EXPECT_EQ(p->GetBaseName(base.Out()), S_OK);
    ASSERT_EQ(SysStringLen(base.p), 12u);
    EXPECT_EQ(std::u16string_view(base.p, 12), std::u16string_view(name.p, 12));
    EXPECT_EQ(p->SetBaseName(nullptr), S_OK);
    EXPECT_EQ(p->GetBaseName(base.Out()), S_OK);
    EXPECT_EQ(base.p, nullptr);  // null, not empty

    EXPECT_EQ(p->SetBufferSize(1, 1, 2.0), E_INVALIDARG);
    EXPECT_EQ(p->SetBufferSize(1, 4, 2097152.5), S_OK);
    double dBytes = 0;
    EXPECT_EQ(p->GetBufferSize(2, 1, &l1, &dBytes), S_OK);
    EXPECT_EQ(l1, 21);
    EXPECT_EQ(dBytes, 3 * 10485760.0);
    CBstr out;
    out.p = SysAllocString(u"/tmp/out.ts");
    EXPECT_EQ(p->CopyToFile(out.p, 188.0, 94.0), E_INVALIDARG);
    EXPECT_EQ(p->CopyToFile(out.p, 0.0, -1.0), E_INVALIDARG);
    EXPECT_EQ(p->CopyToFile(out.p, 376.0, 1e10), S_OK);

    double dSize = 0;
    EXPECT_EQ(p->GetStatus(&l1, &l2, &l3, &dSize), S_OK);
    EXPECT_EQ(l1, DVRStatus_Writing);
    EXPECT_EQ(l2, 1);
    EXPECT_EQ(l3, 7);
    EXPECT_EQ(dSize, 123456789.0);
    EXPECT_EQ(p->ReservedOperation(40, 2), S_OK);

    CBstr path;
    double dOnDisk = 0;
    LONG lPlay = 0, lState = 0;
    EXPECT_EQ(p->GetRecordingInfo(3, path.Out(), &dSize, &dOnDisk, &lPlay, &lState), S_OK);
    EXPECT_EQ(std::u16string_view(path.p), u"Capture_03.KRC");
    EXPECT_EQ(dSize, 12288.0);
    EXPECT_EQ(dOnDisk, 8192.0);
    EXPECT_EQ(lPlay, 23);
    EXPECT_EQ(lState, kDVRRecordingComplete);
    EXPECT_EQ(p->GetRecordingInfo(-1, path.Out(), &dSize, &dOnDisk, &lPlay, &lState), E_INVALIDARG);

    EXPECT_EQ(p->StartChangingAttributes(), S_OK);
    EXPECT_EQ(p->EndChangingAttributes(VARIANT_TRUE), S_OK);
    EXPECT_EQ(p->StartBackupToFile(nullptr, 0), E_POINTER);
    EXPECT_EQ(p->StartBackupToFile(out.p, 0), S_OK);
    EXPECT_EQ(p->StopBackupToFile(), S_FALSE);
    EXPECT_EQ(p->GetTimeRange(1.0, 2.0, 0, 0), E_NOTIMPL);
    EXPECT_EQ(p->GetTimeRangeEx(1.0, 2.0, 3.0, 0, 0, 3), S_OK);
    EXPECT_EQ(p->GetTimeRangeEx(1.0, 2.0, 3.5, 0, 0, 3), E_INVALIDARG);

    // Registration: the events come over as descriptors; the key is ours.
    HANDLE h1 = INVALID_HANDLE_VALUE, h2 = INVALID_HANDLE_VALUE, h3 = INVALID_HANDLE_VALUE;
    EXPECT_EQ(p->RegisterReaderEx(0x1234, 99, &h1, nullptr, &h3), E_POINTER);
    EXPECT_EQ(h3, INVALID_HANDLE_VALUE);
    ASSERT_EQ(p->RegisterReaderEx(0x1234, static_cast<LONG>(getpid()), &h1, &h2, &h3), S_OK);
    EXPECT_NE(h1, INVALID_HANDLE_VALUE);
    EXPECT_NE(h2, INVALID_HANDLE_VALUE);
    EXPECT_NE(h3, INVALID_HANDLE_VALUE);
    EXPECT_EQ(p->SetOffsetToReach(0x1234, 100.5), S_OK);
    EXPECT_EQ(p->SetOffsetToReach(0x1234, 0.05), E_INVALIDARG);
    EXPECT_EQ(p->SetOffsetToReach(0x9999, 100.0), E_INVALIDARG);
    EXPECT_EQ(p->UnregisterReader(0x1234), S_FALSE);
    EXPECT_EQ(p->UnregisterReader(0x1234), S_OK);
    for (HANDLE h : {h1, h2, h3})
        CloseHandle(h);
}

}  // namespace

// Two tables in one process: the second has no local entry, so every call
// goes over the socket exactly as from another process, where TSan can see
// both ends.
class CDVRSinkProxyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_strName = UniqueName("inproc");
        m_pFake = new CFakeSink;
        m_pFakeRef = static_cast<IKVDVRSink*>(m_pFake);
        ASSERT_EQ(m_writer.Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, m_pFakeRef, CItemMoniker(u"!", m_strName),
                                    &m_dwCookie),
                  S_OK);
    }
    void TearDown() override
    {
        if (m_dwCookie) {
            EXPECT_EQ(m_writer.Revoke(m_dwCookie), S_OK);
        }
    }

    std::u16string m_strName;
    CFakeSink* m_pFake = nullptr;
    CComPtr<IKVDVRSink> m_pFakeRef;
    CCrossProcessObjectTable m_writer;
    CCrossProcessObjectTable m_reader;
    DWORD m_dwCookie = 0;
};

TEST_F(CDVRSinkProxyTest, EveryOperationCrossesWithItsValues)
{
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(&m_reader, Lower(m_strName), &pProxy), S_OK);
    EXPECT_NE(static_cast<IKVDVRSink*>(pProxy), static_cast<IKVDVRSink*>(m_pFake));
    CallEveryOperation(pProxy);
    EXPECT_EQ(m_pFake->TakeLog(),
              (std::vector<std::string>{"SetFolderCount 3", std::string("SetFolderName 1 /tmp/d\xc3\xa9j\xc3\xa0\0vu", 30), "SetFolderName 0 (null)",
                                        "SetBufferSize 1 1 2.000000", "SetBufferSize 1 4 2097152.500000",
                                        "CopyToFile /tmp/out.ts 188.000000 94.000000",
                                        "CopyToFile /tmp/out.ts 0.000000 -1.000000",
                                        "CopyToFile /tmp/out.ts 376.000000 10000000000.000000", "Reserved 42",
                                        "Start", "End -1"}));

    // The writer's own table hands out the object itself.
    CComPtr<IKVDVRSink> pDirect;
    ASSERT_EQ(LookUp(&m_writer, m_strName, &pDirect), S_OK);
    EXPECT_EQ(static_cast<IKVDVRSink*>(pDirect), static_cast<IKVDVRSink*>(m_pFake));
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
    // Both readers chose the same key; the writer must see two readers.
    ASSERT_EQ(pA->RegisterReaderEx(0x10, 1, &ahA[0], &ahA[1], &ahA[2]), S_OK);
    ASSERT_EQ(pB->RegisterReader(0x10, 2, &ahB[0], &ahB[1]), S_OK);
    auto mapReaders = m_pFake->Readers();
    ASSERT_EQ(mapReaders.size(), 2u);
    EXPECT_EQ(mapReaders.count(0x10), 0u);
    ASSERT_EQ(pA->SetOffsetToReach(0x10, 1000.0), S_OK);
    mapReaders = m_pFake->Readers();
    EXPECT_EQ(mapReaders.begin()->second + std::next(mapReaders.begin())->second, 1000);

    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(ahA[2], 10000), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForMultipleObjects(2, ahB, FALSE, 10000), WAIT_OBJECT_0);
    });
    m_pFake->SignalReaders();
    waiter.join();
    EXPECT_EQ(WaitForSingleObject(ahA[0], 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ahA[0], 0), WAIT_TIMEOUT);  // still auto-reset

    // A reader that goes away without unregistering is unregistered for it.
    pB.Release();
    ASSERT_TRUE(m_pFake->m_evUnregistered.Wait(10000));
    EXPECT_EQ(m_pFake->Readers().size(), 1u);
    EXPECT_EQ(pA->UnregisterReader(0x10), S_FALSE);
    for (HANDLE h : ahA)
        CloseHandle(h);
    for (HANDLE h : ahB)
        CloseHandle(h);
}

TEST_F(CDVRSinkProxyTest, HungWriterTimesOutAndLateRepliesAreDropped)
{
    CTimeoutScope timeout(100);
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(&m_reader, m_strName, &pProxy), S_OK);
    m_pFake->m_bHangStatus = true;
    LONG l1 = -1, l2 = -1, l3 = -1;
    double d = -1;
    EXPECT_EQ(pProxy->GetStatus(&l1, &l2, &l3, &d), RPC_E_TIMEOUT);
    EXPECT_EQ(l1, 0);
    EXPECT_EQ(d, 0.0);
    // The writer still serves the first call: the next one times out too.
    EXPECT_EQ(pProxy->GetFolderCount(&l1), RPC_E_TIMEOUT);
    m_pFake->m_bHangStatus = false;
    m_pFake->m_evRelease.Set();
    SetRemoteCallTimeout(10000);
    // Both late replies are skipped; this call gets its own.
    CBstr name;
    EXPECT_EQ(pProxy->GetFolderName(2, name.Out()), S_OK);
    EXPECT_EQ(SysStringLen(name.p), 12u);
    EXPECT_EQ(pProxy->GetStatus(&l1, &l2, &l3, &d), S_OK);
    EXPECT_EQ(l3, 7);
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
    EXPECT_EQ(l, 7);
}

TEST(DVRSinkProxyInstall, ProcessTableReachesOtherProcesses)
{
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    EXPECT_NE(dynamic_cast<CCrossProcessObjectTable*>(pTable), nullptr);
}

// ---------------------------------------------------------------------------
// Two processes. The test binary runs itself as the child; the child's role
// comes in KV_ROT_CHILD, the name in KV_ROT_NAME and a control socket in
// KV_ROT_FD. The child writes 'R' once registered, 'H' when a call hangs
// inside it, and 's' after signalling its readers on 'S'.

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

bool IsChild(const char* pszRole)
{
    const char* psz = getenv("KV_ROT_CHILD");
    return psz && strcmp(psz, pszRole) == 0;
}

}  // namespace

TEST(DVRSinkProxyChild, Writer)
{
    if (!IsChild("Writer"))
        GTEST_SKIP() << "runs only as the writer child of the two-process tests";
    const int fd = atoi(getenv("KV_ROT_FD"));
    CFakeSink* pFake = new CFakeSink;
    CComPtr<IKVDVRSink> pRef(pFake);
    pFake->m_fdReport = fd;
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    DWORD dwCookie = 0;
    ASSERT_EQ(pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, pRef,
                               CItemMoniker(u"!", Utf8ToWide(getenv("KV_ROT_NAME"))), &dwCookie),
              S_OK);
    ASSERT_EQ(write(fd, "R", 1), 1);
    for (int i = 0; i < 1000; ++i) {
        char c = 0;
        if (WaitForSingleObject(fd, 60000) != WAIT_OBJECT_0 || recv(fd, &c, 1, 0) != 1)
            break;
        if (c == 'S') {
            pFake->SignalReaders();
            ASSERT_EQ(write(fd, "s", 1), 1);
        }
    }
    pFake->m_evRelease.Set();
    EXPECT_EQ(pTable->Revoke(dwCookie), S_OK);
}

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

TEST(DVRSinkProxyTwoProcess, WriterInAnotherProcessServesEveryOperationAndWakesReaders)
{
    const std::u16string strName = UniqueName("writer");
    CChildProcess child;
    ASSERT_TRUE(child.Start("Writer", strName));
    ASSERT_TRUE(child.WaitFor('R'));
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(pTable, Lower(strName), &pProxy), S_OK);
    CallEveryOperation(pProxy);

    HANDLE ah[3];
    ASSERT_EQ(pProxy->RegisterReaderEx(0x77, static_cast<LONG>(getpid()), &ah[0], &ah[1], &ah[2]), S_OK);
    for (HANDLE h : ah)
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    child.Send('S');
    ASSERT_TRUE(child.WaitFor('s'));
    for (HANDLE h : ah) {
        EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);  // auto-reset across the boundary too
        CloseHandle(h);
    }
    const int nStatus = child.Finish();
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    LONG l = 0;
    EXPECT_EQ(pProxy->GetFolderCount(&l), RPC_E_DISCONNECTED);
}

TEST(DVRSinkProxyTwoProcess, KilledWriterEndsCallInProgressAndItsEntry)
{
    // A time-out far beyond the test's waits: a disconnection must be what
    // ends the call, not the time-out.
    CTimeoutScope timeout(60000);
    const std::u16string strName = UniqueName("killed");
    CChildProcess child;
    ASSERT_TRUE(child.Start("Writer", strName));
    ASSERT_TRUE(child.WaitFor('R'));
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(pTable, strName, &pProxy), S_OK);

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
    const std::u16string strName = UniqueName("stopped");
    CChildProcess child;
    ASSERT_TRUE(child.Start("Writer", strName));
    ASSERT_TRUE(child.WaitFor('R'));
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(pTable, strName, &pProxy), S_OK);

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
    EXPECT_EQ(l3, 7);
    EXPECT_EQ(d, 123456789.0);
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
    CComPtr<IKVDVRSink> pFake(new CFakeSink);
    DWORD dwCookie = 0;
    ASSERT_EQ(pTable->Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, pFake, CItemMoniker(u"!", strName), &dwCookie), S_OK);
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
    CBaseDVRSink* pSink = new CBaseDVRSink("writer child", nullptr);
    pSink->NonDelegatingAddRef();
    ASSERT_EQ(pSink->StartDVR(), S_OK);
    const std::string strName = WideToUtf8(pSink->GetObjectTableName()) + "\n";
    ASSERT_EQ(write(fd, strName.data(), strName.size()), static_cast<ssize_t>(strName.size()));
    for (int i = 0; i < 1000; ++i) {
        char c = 0;
        if (WaitForSingleObject(fd, 60000) != WAIT_OBJECT_0 || recv(fd, &c, 1, 0) != 1)
            break;
        if (c == 'W') {
            std::vector<BYTE> v(1000, 0x47);
            EXPECT_EQ(pSink->WriteData(v.data(), static_cast<LONG>(v.size())), S_OK);
            ASSERT_EQ(write(fd, "w", 1), 1);
        }
    }
    EXPECT_EQ(pSink->StopDVR(), S_OK);
    pSink->NonDelegatingRelease();
}

TEST(DVRSinkProxyTwoProcess, RealWriterIsFollowedByItsName)
{
    CChildProcess child;
    ASSERT_TRUE(child.Start("RealWriter", u"unused"));
    std::string strName;
    ASSERT_TRUE(child.ReadLine(&strName));
    ASSERT_NE(strName.find("TARN DVR Sink "), std::string::npos) << strName;
    IRunningObjectTable* pTable = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pTable), S_OK);
    CComPtr<IKVDVRSink> pProxy;
    ASSERT_EQ(LookUp(pTable, Lower(Utf8ToWide(strName)), &pProxy), S_OK);

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
}
