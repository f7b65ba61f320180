#include "dshowflt/common/dvr/dvrsinkthread.h"
#include "dshowflt/common/dvr/dvrsinkstub.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrtest_util.h"

#include "platform/rot.h"

namespace {

constexpr DWORD kGenerousMs = 5000;  // for things that must happen, never reached when they do

// A writer that answers only what the link uses. GetStatus can be made to
// hang, as a writer process stuck in a call does. Its reference count tells
// when the link let go of it.
class CFakeSink : public CNotImplDVRSink
{
public:
    CFakeSink() = default;
    ~CFakeSink()
    {
        for (HANDLE h : {m_hData, m_hChanged, m_hOffset})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IKVDVRSink) {
            *ppv = static_cast<IKVDVRSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_cRef); }
    ULONG Release() override
    {
        const LONG c = --m_cRef;
        if (c == 1)
            m_evOneRef.Set();  // only the test's own reference is left
        return static_cast<ULONG>(c);
    }

    HRESULT GetStatus(LONG* plStatus, LONG* plFolder, LONG* plSlot, double* pdSize) override
    {
        ++m_nStatusCalls;
        m_dwStatusThread = GetCurrentThreadId();
        if (m_bHang) {
            m_evInStatus.Set();
            if (!m_evUnhang.Wait(kGenerousMs))
                return E_FAIL;
        }
        *plStatus = DVRStatus_Writing;
        *plFolder = 0;
        *plSlot = 2;
        *pdSize = 4096.0;
        return S_OK;
    }
    HRESULT RegisterReaderEx(LONG lKey, LONG, HANDLE* phData, HANDLE* phChanged, HANDLE* phOffset) override
    {
        m_lKey = lKey;
        ++m_nRegistrations;
        for (HANDLE* ph : {&m_hData, &m_hChanged, &m_hOffset})
            if (*ph == INVALID_HANDLE_VALUE)
                *ph = CreateEvent(FALSE, FALSE);
        HRESULT hr = DuplicateHandle(m_hData, phData);
        if (SUCCEEDED(hr))
            hr = DuplicateHandle(m_hChanged, phChanged);
        if (SUCCEEDED(hr) && phOffset)
            hr = DuplicateHandle(m_hOffset, phOffset);
        return hr;
    }
    HRESULT UnregisterReader(LONG) override
    {
        ++m_nUnregistrations;
        return S_FALSE;
    }
    HRESULT SetOffsetToReach(LONG lKey, double dOffset) override
    {
        if (lKey != m_lKey)
            return E_INVALIDARG;
        m_dTarget = dOffset;
        return S_OK;
    }
    HRESULT ReservedOperation(DWORD, DWORD) override { return S_OK; }


    std::atomic<LONG> m_cRef{1};
    std::atomic<bool> m_bHang{false};
    std::atomic<int> m_nStatusCalls{0};
    std::atomic<int> m_nRegistrations{0};
    std::atomic<int> m_nUnregistrations{0};
    std::atomic<DWORD> m_dwStatusThread{0};
    std::atomic<LONG> m_lKey{0};
    std::atomic<double> m_dTarget{0};
    CAMEvent m_evInStatus;
    CAMEvent m_evUnhang{TRUE};
    CAMEvent m_evOneRef;
    HANDLE m_hData = INVALID_HANDLE_VALUE;
    HANDLE m_hChanged = INVALID_HANDLE_VALUE;
    HANDLE m_hOffset = INVALID_HANDLE_VALUE;
};

// The process's table with its lookups counted.
class CCountingTable : public IRunningObjectTable
{
public:
    HRESULT Register(DWORD grf, IUnknown* pUnk, const CItemMoniker& mk, DWORD* pdw) override
    {
        return m_inner.Register(grf, pUnk, mk, pdw);
    }
    HRESULT Revoke(DWORD dw) override { return m_inner.Revoke(dw); }
    HRESULT IsRunning(const CItemMoniker& mk) override { return m_inner.IsRunning(mk); }
    HRESULT GetObject(const CItemMoniker& mk, IUnknown** ppUnk) override
    {
        ++m_nLookups;
        return m_inner.GetObject(mk, ppUnk);
    }
    std::atomic<int> m_nLookups{0};

private:
    CInProcessObjectTable m_inner;
};

constexpr char16_t kName[] = u"TARN DVR Sink 0badf00d pid 00001234";
constexpr char16_t kNameOtherCase[] = u"tarn dvr sink 0BADF00D PID 00001234";

class CDVRSinkThreadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pPrevious = SetRunningObjectTable(&m_table);
        ASSERT_EQ(S_OK, m_table.Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, &m_sink, CItemMoniker(u"!", kName),
                                         &m_dwCookie));
    }
    void TearDown() override
    {
        if (m_dwCookie) {
            EXPECT_EQ(S_OK, m_table.Revoke(m_dwCookie));
        }
        SetRunningObjectTable(m_pPrevious);
    }
    // Lets go of the link and waits until it has released the writer (its
    // thread may end a little later than the call).
    void KillAndWaitForRelease(CDVRSinkThread* pThread)
    {
        if (m_dwCookie) {
            EXPECT_EQ(S_OK, m_table.Revoke(m_dwCookie));
            m_dwCookie = 0;
        }
        pThread->ReleaseUse();
        EXPECT_TRUE(m_sink.m_evOneRef.Wait(kGenerousMs));
        EXPECT_EQ(1, m_sink.m_cRef.load());
    }

    CFakeSink m_sink;
    CCountingTable m_table;
    IRunningObjectTable* m_pPrevious = nullptr;
    DWORD m_dwCookie = 0;
};

TEST_F(CDVRSinkThreadTest, ConnectsByNameRegistersAndReusesTheLinkForTheSameNameInAnyCase)
{
    CDVRSinkThread* pThread = nullptr;
    ASSERT_EQ(S_OK, CDVRSinkThread::Create(nullptr, &pThread));
    EXPECT_EQ(FALSE, pThread->HasSink());
    ASSERT_EQ(S_OK, pThread->ConnectToSink(kName, kGenerousMs));
    EXPECT_EQ(1, m_table.m_nLookups.load());
    EXPECT_EQ(1, m_sink.m_nRegistrations.load());
    EXPECT_EQ(pThread->GetKey(), m_sink.m_lKey.load());
    ASSERT_NE(INVALID_HANDLE_VALUE, pThread->GetOffsetReachedEvent());

    EXPECT_EQ(S_OK, pThread->ConnectToSink(kNameOtherCase, kGenerousMs));
    EXPECT_EQ(1, m_table.m_nLookups.load());
    EXPECT_EQ(1, m_sink.m_nRegistrations.load());

    // Status and the offset target go through the thread.
    LONG lStatus = -1, lFolder = -1, lSlot = -1;
    LONGLONG llSize = -1;
    ASSERT_EQ(S_OK, pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, kGenerousMs));
    EXPECT_EQ(DVRStatus_Writing, lStatus);
    EXPECT_EQ(2, lSlot);
    EXPECT_EQ(4096, llSize);
    EXPECT_NE(GetCurrentThreadId(), m_sink.m_dwStatusThread.load());
    ASSERT_EQ(S_OK, pThread->SetOffsetToReach(123456, kGenerousMs));
    EXPECT_EQ(123456.0, m_sink.m_dTarget.load());

    // Another name drops the old link (unregistering) and looks up again.
    EXPECT_EQ(MK_E_UNAVAILABLE, pThread->ConnectToSink(u"TARN DVR Sink 00000001 pid 00000001", kGenerousMs));
    EXPECT_EQ(2, m_table.m_nLookups.load());
    EXPECT_EQ(1, m_sink.m_nUnregistrations.load());
    EXPECT_EQ(FALSE, pThread->HasSink());
    EXPECT_EQ(E_POINTER, pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, kGenerousMs));
    EXPECT_EQ(E_POINTER, pThread->ConnectToSink(nullptr, kGenerousMs));
    KillAndWaitForRelease(pThread);
}

TEST_F(CDVRSinkThreadTest, HungWriterTimesOutAndTheNextCallTimesOutAtOnce)
{
    CDVRSinkThread* pThread = nullptr;
    ASSERT_EQ(S_OK, CDVRSinkThread::Create(nullptr, &pThread));
    ASSERT_EQ(S_OK, pThread->ConnectToSink(kName, kGenerousMs));
    const int nCallsBefore = m_sink.m_nStatusCalls.load();
    m_sink.m_bHang = true;

    LONG lStatus, lFolder, lSlot;
    LONGLONG llSize;
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(RPC_E_TIMEOUT, pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, 10));
    EXPECT_GE(TickDiff(GetTickCount(), dwStart), 9u);  // it did wait for the writer first
    ASSERT_TRUE(m_sink.m_evInStatus.Wait(kGenerousMs));
    // The first call is still inside the writer: a second one is not issued.
    EXPECT_EQ(RPC_E_TIMEOUT, pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, 10));
    EXPECT_EQ(RPC_E_TIMEOUT, pThread->SetOffsetToReach(1000, 10));
    EXPECT_EQ(nCallsBefore + 1, m_sink.m_nStatusCalls.load());

    m_sink.m_bHang = false;
    m_sink.m_evUnhang.Set();
    EXPECT_EQ(S_OK, pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, kGenerousMs));
    EXPECT_EQ(nCallsBefore + 2, m_sink.m_nStatusCalls.load());
    KillAndWaitForRelease(pThread);
}

TEST_F(CDVRSinkThreadTest, KillingWhileTheWriterHangsDoesNotWaitForIt)
{
    CDVRSinkThread* pThread = nullptr;
    ASSERT_EQ(S_OK, CDVRSinkThread::Create(nullptr, &pThread));
    ASSERT_EQ(S_OK, pThread->ConnectToSink(kName, kGenerousMs));
    m_sink.m_bHang = true;
    LONG lStatus, lFolder, lSlot;
    LONGLONG llSize;
    EXPECT_EQ(RPC_E_TIMEOUT, pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, 10));
    ASSERT_TRUE(m_sink.m_evInStatus.Wait(kGenerousMs));
    EXPECT_EQ(S_OK, m_table.Revoke(m_dwCookie));
    m_dwCookie = 0;
    pThread->ReleaseUse();  // returns although the thread is stuck in the writer
    EXPECT_GT(m_sink.m_cRef.load(), 1);
    m_sink.m_evUnhang.Set();
    EXPECT_TRUE(m_sink.m_evOneRef.Wait(kGenerousMs));
    EXPECT_EQ(1, m_sink.m_nUnregistrations.load());
}

TEST_F(CDVRSinkThreadTest, KillingAnObjectWhoseThreadNeverStartedDestroysItAtOnce)
{
    CDVRSinkThread* pThread = new CDVRSinkThread(&m_sink);
    EXPECT_EQ(3, m_sink.m_cRef.load());  // ours, the table's, the link's
    pThread->KillThread();
    EXPECT_EQ(2, m_sink.m_cRef.load());  // the link's reference is gone already
    EXPECT_EQ(0, m_sink.m_nUnregistrations.load());  // it never registered
}

TEST_F(CDVRSinkThreadTest, WriterInThisProcessIsCalledDirectly)
{
    CDVRSinkThread* pThread = nullptr;
    ASSERT_EQ(S_OK, CDVRSinkThread::Create(&m_sink, &pThread));
    EXPECT_EQ(1, m_sink.m_nRegistrations.load());
    EXPECT_EQ(TRUE, pThread->HasSink());
    LONG lStatus, lFolder, lSlot;
    LONGLONG llSize;
    ASSERT_EQ(S_OK, pThread->GetSinkStatus(&lStatus, &lFolder, &lSlot, &llSize, 10));
    EXPECT_EQ(GetCurrentThreadId(), m_sink.m_dwStatusThread.load());
    ASSERT_EQ(S_OK, pThread->SetOffsetToReach(77, 10));
    EXPECT_EQ(77.0, m_sink.m_dTarget.load());
    EXPECT_EQ(0, m_table.m_nLookups.load());
    KillAndWaitForRelease(pThread);
    EXPECT_EQ(1, m_sink.m_nUnregistrations.load());
}

// The reader engine never blocks on a hung writer: its wait answers at
// once that it should be tried again, or gives way to a newer request.
TEST_F(CDVRSinkThreadTest, ReaderWaitGivesWayWhenTheWriterHangs)
{
    dvrtest::CTempFolder folder;
    const std::string strDir = folder.Path();
    const CWString strStub = Utf8ToWide(strDir + "/Capture.KBL");
    {
        CDVREngine writer(true);
        ASSERT_EQ(S_OK, writer.CreateStubFile(strStub.c_str(), kName, FALSE));
        std::unique_ptr<IFile> pRec;
        ASSERT_EQ(S_OK, writer.CreateRecording(Utf8ToWide(strDir + "/Capture_0.KRC").c_str(), 0, 0, &pRec));
        ASSERT_EQ(S_OK, writer.WriteRecordCount(1));
        writer.CloseStubFile();
    }
    {
        CDVREngine reader(false);
        ASSERT_EQ(S_OK, reader.SetStubFileName(strStub.c_str(), -1, FALSE));
        ASSERT_EQ(S_OK, reader.StartReader(nullptr));
        HRESULT hr = E_FAIL;
        for (int i = 0; i < 500 && hr != S_OK; ++i)
            hr = reader.EnsureSinkThread();  // the lookup may outlast one 10 ms try
        ASSERT_EQ(S_OK, hr);
        EXPECT_EQ(TRUE, reader.IsGrowingSource());

        m_sink.m_bHang = true;
        EXPECT_EQ(KVMM_S_DVR_WAITING, reader.WaitForMoreData(1000, 0));
        EXPECT_TRUE(m_sink.m_evInStatus.Wait(kGenerousMs));
        reader.SignalNewRequest(TRUE);
        EXPECT_EQ(KVMM_E_DVR_SUSPENDED, reader.WaitForMoreData(1000, 0));
        m_sink.m_bHang = false;
        m_sink.m_evUnhang.Set();
        EXPECT_EQ(S_OK, m_table.Revoke(m_dwCookie));
        m_dwCookie = 0;
    }
    EXPECT_TRUE(m_sink.m_evOneRef.Wait(kGenerousMs));
}

}  // namespace
