// Readers following a live writer (CBaseDVRSink) in this process: the writer
// runs on its own thread or between the reader's calls, in a ring of three
// 64 KiB recordings so that it wraps often.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrengine.h"
#include "dshowflt/common/dvr/dvrsinkstub.h"
#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "platform/thread.h"

namespace {

constexpr DWORD kGenerousMs = 10000;  // for things that must happen, never reached when they do
constexpr LONG kRingFiles = 3;
constexpr LONGLONG kFileSize = 64 * 1024;

using dvrtest::StreamByte;

// Says when it is about to wait for the writer.
class CTestReader : public CDVREngine
{
public:
    CTestReader() : CDVREngine(false) {}
    ~CTestReader() override { StopReader(); }
    void SetStarvation(BOOL bWaiting) override
    {
        if (bWaiting)
            m_evWaiting.Set();
    }
    CAMEvent m_evWaiting;
};

// Forwards to the writer but reports the status it had when first asked,
// so that a wait can end only through the offset-reached event; says when
// a target was set.
class CFrozenStatusSink : public CNotImplDVRSink
{
public:
    explicit CFrozenStatusSink(IKVDVRSink* pInner) : m_pInner(pInner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return m_pInner->QueryInterface(riid, ppv); }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    HRESULT GetStatus(LONG* pl1, LONG* pl2, LONG* pl3, double* pd) override
    {
        if (!m_bHave) {
            HRESULT hr = m_pInner->GetStatus(&m_l1, &m_l2, &m_l3, &m_d);
            if (FAILED(hr))
                return hr;
            m_bHave = true;
        }
        *pl1 = m_l1;
        *pl2 = m_l2;
        *pl3 = m_l3;
        *pd = m_d;
        return S_OK;
    }
    HRESULT SetOffsetToReach(LONG lKey, double d) override
    {
        HRESULT hr = m_pInner->SetOffsetToReach(lKey, d);
        if (SUCCEEDED(hr))
            m_evTargetSet.Set();
        return hr;
    }
    HRESULT RegisterReaderEx(LONG k, LONG p, HANDLE* ph1, HANDLE* ph2, HANDLE* ph3) override
    {
        return m_pInner->RegisterReaderEx(k, p, ph1, ph2, ph3);
    }
    HRESULT UnregisterReader(LONG k) override { return m_pInner->UnregisterReader(k); }
    HRESULT ReservedOperation(DWORD a, DWORD b) override { return m_pInner->ReservedOperation(a, b); }
    HRESULT GetAvailableRange(double* p1, double* p2, double* p3) override
    {
        return m_pInner->GetAvailableRange(p1, p2, p3);
    }

    CAMEvent m_evTargetSet;

private:
    IKVDVRSink* m_pInner;
    std::atomic<LONG> m_cRef{1};
    bool m_bHave = false;
    LONG m_l1 = 0, m_l2 = 0, m_l3 = 0;
    double m_d = 0;
};

class CDVRFollowTest : public dvrtest::CTempFolderTest
{
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        ASSERT_EQ(S_OK, m_writer.Start(m_strDir, kRingFiles, static_cast<double>(kFileSize)));
    }
    void StartReader(IKVDVRSink* pSink)
    {
        m_pReader = std::make_unique<CTestReader>();
        ASSERT_EQ(S_OK, m_pReader->SetStubFileName(W("Capture.KBL").c_str(), -1, FALSE));
        ASSERT_EQ(S_OK, m_pReader->StartReader(pSink));
    }
    HRESULT ReadAndCheck(LONGLONG llOffset, DWORD cb, LONGLONG llStreamOffset)
    {
        std::vector<BYTE> v(cb);
        DWORD cbRead = 0;
        HRESULT hr = m_pReader->ReadData(llOffset, cb, cb, v.data(), &cbRead, 0);
        if (hr != S_OK)
            return hr;
        const LONGLONG llBad = dvrtest::FindMismatch(v.data(), llStreamOffset, cb);
        EXPECT_EQ(-1, llBad) << "read at " << llOffset;
        return llBad < 0 ? S_OK : E_FAIL;
    }

    dvrtest::CTestWriter m_writer;
    std::unique_ptr<CTestReader> m_pReader;
};

TEST_F(CDVRFollowTest, ReaderFollowsAWrappingWriterByteForByte)
{
    StartReader(nullptr);  // linked through the object table
    constexpr LONGLONG kTotal = 3 << 20;  // 16 wraps of the ring
    constexpr LONGLONG kMaxLead = 96 * 1024;
    std::atomic<LONGLONG> llReaderPos{0};
    std::atomic<bool> bReaderFailed{false};
    CAMEvent evReaderMoved;
    std::thread reader([&] {
        std::vector<BYTE> v(32768);
        LONGLONG llPos = 0;
        const DWORD dwStart = GetTickCount();
        while (llPos < kTotal && TickDiff(GetTickCount(), dwStart) < 60000) {
            DWORD cbRead = 0;
            HRESULT hr = m_pReader->ReadData(llPos, 1, static_cast<DWORD>(v.size()), v.data(), &cbRead, 0);
            if (FAILED(hr)) {
                ADD_FAILURE() << "ReadData at " << llPos << " failed " << std::hex << hr;
                break;
            }
            if (const LONGLONG llBad = dvrtest::FindMismatch(v.data(), llPos, cbRead); llBad >= 0) {
                ADD_FAILURE() << "byte " << llBad << " differs";
                bReaderFailed = true;
                evReaderMoved.Set();
                return;
            }
            llPos += cbRead;
            llReaderPos = llPos;
            evReaderMoved.Set();
        }
        bReaderFailed = llPos != kTotal;
        evReaderMoved.Set();
    });

    // Block sizes from 1 byte to most of a recording; the writer never runs
    // more than half the ring ahead, so nothing is overwritten under the reader.
    uint32_t uSeed = 12345;
    while (m_writer.Written() < kTotal && !bReaderFailed) {
        uSeed = uSeed * 1664525u + 1013904223u;
        LONG cb = static_cast<LONG>(1 + (uSeed >> 8) % 20000);
        cb = static_cast<LONG>(std::min<LONGLONG>(cb, kTotal - m_writer.Written()));
        while (m_writer.Written() + cb - llReaderPos > kMaxLead && !bReaderFailed)
            ASSERT_TRUE(evReaderMoved.Wait(kGenerousMs));
        ASSERT_EQ(S_OK, m_writer.Write(cb));
    }
    // As the receive thread does while no data arrive: the tail reaches the
    // stub once it is 25 ms old.
    for (int i = 0; i < 2000 && llReaderPos < kTotal && !bReaderFailed; ++i) {
        (void)m_writer->BeginWaitingForData();
        (void)evReaderMoved.Wait(5);
    }
    reader.join();
    EXPECT_FALSE(bReaderFailed);
    EXPECT_EQ(kTotal, llReaderPos.load());
}

TEST_F(CDVRFollowTest, ReadAtTheEndIsWokenByTheOffsetReachedEvent)
{
    ASSERT_EQ(S_OK, m_writer.Write(5000));
    CFrozenStatusSink proxy(m_writer.Sink());
    StartReader(&proxy);
    LONGLONG llMin, llMax;
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    ASSERT_EQ(5000, llMax);
    HRESULT hrRead = E_FAIL;
    std::thread reader([&] { hrRead = ReadAndCheck(llMax, 188, llMax); });
    // The writer writes once the reader has asked for the offset. Its status
    // looks unchanged to the reader, and a read without a deadline gives up
    // after one 200 ms wait: S_OK can only come through the event.
    ASSERT_TRUE(proxy.m_evTargetSet.Wait(kGenerousMs));
    ASSERT_EQ(S_OK, m_writer.Write(1000));
    reader.join();
    EXPECT_EQ(S_OK, hrRead);

    // A restarted writer has dropped its readers: the reader registers again
    // and is still woken by the event.
    ASSERT_EQ(S_OK, m_writer->RestartDVR());
    m_writer.Restarted(0);
    ASSERT_EQ(S_OK, m_writer.Write(4096));
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(llMin, 10, 0));
    std::thread reader2([&] { hrRead = ReadAndCheck(llMax, 188, 4096); });
    ASSERT_TRUE(proxy.m_evTargetSet.Wait(kGenerousMs));
    ASSERT_EQ(S_OK, m_writer.Write(1000));
    reader2.join();
    EXPECT_EQ(S_OK, hrRead);
    m_pReader.reset();  // unregisters through the proxy while it exists
}

TEST_F(CDVRFollowTest, ReusedSlotRestartAndSpanningReadsAgainstTheWriter)
{
    StartReader(m_writer.Sink());
    ASSERT_EQ(S_OK, m_writer.Write(60000));
    ASSERT_EQ(S_OK, m_writer.Write(10000));  // does not fit: slot 1
    EXPECT_EQ(S_OK, ReadAndCheck(59000, 2000, 59000));
    EXPECT_EQ(S_OK, ReadAndCheck(0, 100, 0));
    // The writer's status tells the slot being written from complete ones.
    for (LONG nSlot : {0, 1}) {
        BSTR bstr = nullptr;
        double dSize = 0, dOnDisk = 0;
        LONG nPlay = -1, nState = -1;
        ASSERT_EQ(S_OK, m_pReader->GetRecordingInfo(nSlot, &bstr, &dSize, &dOnDisk, &nPlay, &nState));
        EXPECT_EQ(nSlot == 0 ? 4 : 2, nState);
        EXPECT_EQ(nSlot == 0 ? 60000.0 : 10000.0, dSize);
        EXPECT_EQ(nSlot, nPlay);
        SysFreeString(bstr);
    }

    // A third recording, and a fourth that reuses slot 0 under the reader,
    // which still has playIndex 0 open.
    ASSERT_EQ(S_OK, ReadAndCheck(100, 100, 100));
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(S_OK, m_writer.Write(60000));
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(0, 100, 0));
    LONGLONG llMin, llMax;
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    EXPECT_EQ(60000, llMin);
    EXPECT_EQ(190000, llMax);
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(llMin - 1, 1, llMin - 1));
    EXPECT_EQ(S_OK, ReadAndCheck(llMin, 100, llMin));

    // Restarted on the same stub: exactly the next read fails.
    ASSERT_EQ(S_OK, m_writer->RestartDVR());
    m_writer.Restarted(0);
    ASSERT_EQ(S_OK, m_writer.Write(4096));
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(llMin, 100, 0));
    EXPECT_EQ(S_OK, ReadAndCheck(llMin, 100, 0));
    EXPECT_EQ(S_OK, ReadAndCheck(llMin + 1000, 100, 1000));

    // The writer stops: a read at the end fails instead of waiting, for this
    // reader and for one that comes later.
    ASSERT_EQ(S_OK, m_writer->StopDVR());
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    EXPECT_EQ(KVMM_E_DVR_STOPPED, ReadAndCheck(llMax, 100, 0));
    StartReader(nullptr);
    EXPECT_EQ(FALSE, m_pReader->IsGrowingSource());
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    EXPECT_EQ(KVMM_E_DVR_STOPPED, ReadAndCheck(llMax, 100, 0));
}

TEST_F(CDVRFollowTest, FlushNewRequestAndAttributeChangeEndAWaitingRead)
{
    ASSERT_EQ(S_OK, m_writer.Write(4096));  // past 2048 bytes: published at once
    StartReader(m_writer.Sink());
    struct SCase
    {
        const char* pszWhat;
        HRESULT hrExpected;
        std::function<void()> fnStart, fnEnd;
    };
    const SCase aCases[] = {
        {"flush", VFW_E_WRONG_STATE, [&] { m_pReader->SetFlushing(true); }, [&] { m_pReader->SetFlushing(false); }},
        {"new request", KVMM_E_DVR_SUSPENDED, [&] { m_pReader->SignalNewRequest(TRUE); }, [] {}},
        {"attribute change", KVMM_E_DVR_CHANGING_ATTRIBUTES, [&] { m_pReader->BeginAttributeChange(); },
         [&] { m_pReader->EndAttributeChange(); }},
    };
    for (const SCase& c : aCases) {
        m_pReader->m_evWaiting.Reset();
        HRESULT hrRead = E_FAIL;
        // With a deadline a read keeps waiting for data on its own; only
        // the event under test can end it.
        std::thread reader([&] {
            BYTE ab[188];
            DWORD cbRead = 0;
            hrRead = m_pReader->ReadData(4096, 188, 188, ab, &cbRead, TickDeadline(GetTickCount(), 60000));
        });
        const bool bWaiting = m_pReader->m_evWaiting.Wait(kGenerousMs);
        EXPECT_TRUE(bWaiting) << c.pszWhat;
        c.fnStart();
        reader.join();
        EXPECT_EQ(c.hrExpected, hrRead) << c.pszWhat;
        c.fnEnd();
    }
    EXPECT_EQ(S_OK, m_writer.Write(4096));
    EXPECT_EQ(S_OK, ReadAndCheck(4096, 188, 4096));
}


// Forwards to the writer what a reader needs, but cannot say where the
// writer's count stands (a writer built before it could).
class CNoRangeSink : public CNotImplDVRSink
{
public:
    explicit CNoRangeSink(IKVDVRSink* pInner) : m_pInner(pInner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return m_pInner->QueryInterface(riid, ppv); }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    HRESULT GetStatus(LONG* pl1, LONG* pl2, LONG* pl3, double* pd) override
    {
        return m_pInner->GetStatus(pl1, pl2, pl3, pd);
    }
    HRESULT SetOffsetToReach(LONG lKey, double d) override { return m_pInner->SetOffsetToReach(lKey, d); }
    HRESULT RegisterReaderEx(LONG k, LONG p, HANDLE* ph1, HANDLE* ph2, HANDLE* ph3) override
    {
        return m_pInner->RegisterReaderEx(k, p, ph1, ph2, ph3);
    }
    HRESULT UnregisterReader(LONG k) override { return m_pInner->UnregisterReader(k); }
    HRESULT ReservedOperation(DWORD a, DWORD b) override { return m_pInner->ReservedOperation(a, b); }

private:
    IKVDVRSink* m_pInner;
    std::atomic<LONG> m_cRef{1};
};

TEST_F(CDVRFollowTest, ALappedReaderCountsAsTheWriterDoesOrReportsALossButNeverSplices)
{
    // Started late, after the ring wrapped: its offsets are the writer's.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(S_OK, m_writer.Write(40000));
    StartReader(nullptr);
    double dFirst = 0, dCur = 0, dLast = 0;
    ASSERT_EQ(S_OK, m_writer->GetAvailableRange(&dFirst, &dCur, &dLast));
    LONGLONG llMin, llMax;
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    ASSERT_GT(dFirst, 0.0);
    EXPECT_EQ(static_cast<LONGLONG>(dFirst), llMin);
    EXPECT_EQ(static_cast<LONGLONG>(dLast), llMax);
    EXPECT_EQ(S_OK, ReadAndCheck(llMax - 100, 100, llMax - 100));

    // Lapped by more than the ring between two looks, its newest recording
    // having grown meanwhile: the writer says how much went.
    const LONGLONG llAt = llMax;
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(S_OK, m_writer.Write(30000));
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(llAt, 100, llAt));
    ASSERT_EQ(S_OK, m_writer->GetAvailableRange(&dFirst, &dCur, &dLast));
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    EXPECT_EQ(static_cast<LONGLONG>(dFirst), llMin);
    EXPECT_EQ(S_OK, ReadAndCheck(llMin, 1000, llMin));

    // A reader whose writer cannot say, and whose ring has no time index to
    // say it either: its loss is a lower bound, and what it reads after the
    // gap is still a true piece of the stream.
    m_writer->SetIndexEnabled(false);
    ASSERT_EQ(0, system(("rm -f '" + m_strDir + "'/*.KRI").c_str()));
    CNoRangeSink proxy(m_writer.Sink());
    StartReader(&proxy);
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    const LONGLONG llDelta = m_writer.Written() - llMax;  // counts from the oldest recording it saw
    ASSERT_EQ(S_OK, ReadAndCheck(llMax - 10, 10, llMax - 10 + llDelta));
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(S_OK, m_writer.Write(30000));
    const LONGLONG llOldMax = llMax;
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, ReadAndCheck(llOldMax, 100, llOldMax + llDelta));
    ASSERT_EQ(S_OK, m_writer->GetAvailableRange(&dFirst, &dCur, &dLast));
    ASSERT_EQ(S_OK, m_pReader->GetOffsets(&llMin, &llMax));
    EXPECT_GT(llMin, llOldMax);
    EXPECT_LE(llMin, static_cast<LONGLONG>(dFirst) - llDelta);
    EXPECT_EQ(S_OK, ReadAndCheck(llMin, 1000, static_cast<LONGLONG>(dFirst)));
    m_pReader.reset();  // unregisters through the proxy while it exists
}

}  // namespace
