#include "dshowflt/common/dvr/dvrsinkproxy.h"

#include <fcntl.h>
#include <signal.h>
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

#include "dshowflt/common/dvr/dvrsinkif.h"
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
    EXPECT_EQ(p->GetFolderName(2, &name.p), S_OK);
    ASSERT_EQ(SysStringLen(name.p), 12u);
    EXPECT_EQ(std::u16string_view(name.p, 12), std::u16string_view(u"/tmp/d\u00e9j\u00e0\0vu", 12));
    CBstr none;
    EXPECT_EQ(p->GetFolderName(5, &none.p), DISP_E_BADINDEX);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(p->SetFolderName(1, name.p), S_OK);
    EXPECT_EQ(p->SetFolderName(0, nullptr), S_OK);

    CBstr base;
    EXPECT_EQ(p->SetBaseName(name.p), S_OK);
    EXPECT_EQ(p->GetBaseName(&base.p), S_OK);
    ASSERT_EQ(SysStringLen(base.p), 12u);
    EXPECT_EQ(std::u16string_view(base.p, 12), std::u16string_view(name.p, 12));
    EXPECT_EQ(p->SetBaseName(nullptr), S_OK);
    EXPECT_EQ(p->GetBaseName(&base.p), S_OK);
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
    EXPECT_EQ(p->GetRecordingInfo(3, &path.p, &dSize, &dOnDisk, &lPlay, &lState), S_OK);
    EXPECT_EQ(std::u16string_view(path.p), u"Capture_03.KRC");
    EXPECT_EQ(dSize, 12288.0);
    EXPECT_EQ(dOnDisk, 8192.0);
    EXPECT_EQ(lPlay, 23);
    EXPECT_EQ(lState, kDVRRecordingComplete);
    EXPECT_EQ(p->GetRecordingInfo(-1, &path.p, &dSize, &dOnDisk, &lPlay, &lState), E_INVALIDARG);

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
    EXPECT_EQ(pProxy->GetFolderName(2, &name.p), S_OK);
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
