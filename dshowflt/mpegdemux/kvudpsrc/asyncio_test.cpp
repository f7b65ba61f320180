#include "dshowflt/mpegdemux/kvudpsrc/asyncio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <thread>
#include <vector>

#include "platform/graph/memalloc.h"

namespace {

constexpr DWORD kWaitMs = 10000;  // every wait in these tests gives up after this

// The byte at stream offset ll, so that any slice can be checked on its own.
BYTE Pattern(LONGLONG ll)
{
    return static_cast<BYTE>(ll * 131 + (ll >> 8));
}

// An in-memory stream that grows when the test appends to it and behaves like
// the DVR source stream where the queue can tell: a read of data not written
// yet waits for it; a waiting read gives way (KVMM_E_DVR_SUSPENDED, with the
// bytes it has) when a request enters the queue's work list; data below the
// minimum offset has been overwritten; a flush ends a waiting read with what
// it has. Scripted steps replace whole reads to produce the odd results.
class CToyStream : public CAsyncStream
{
public:
    struct SStep
    {
        HRESULT hr;
        DWORD cbGive;           // bytes handed back from the (new) position
        LONGLONG llJumpTo = -1; // >= 0: report a discontinuity and read from here
    };

    CToyStream() : m_hRequests(CreateSemaphore(0, 1 << 20)) {}
    ~CToyStream() override { CloseHandle(m_hRequests); }

    void Append(LONGLONG cb)
    {
        {
            CAutoLock lock(&m_cs);
            m_llSize += cb;
        }
        Notify();
    }
    void SetMin(LONGLONG ll)
    {
        {
            CAutoLock lock(&m_cs);
            m_llMin = ll;
        }
        Notify();
    }
    void Finish()
    {
        {
            CAutoLock lock(&m_cs);
            m_bGrowing = false;
        }
        Notify();
    }
    void SetAlignment(DWORD dw) { m_dwAlign = dw; }
    void SetSuspendOnNewRequest(bool b)
    {
        CAutoLock lock(&m_cs);
        m_bSuspend = b;
    }
    void SetFlushResult(HRESULT hr)
    {
        CAutoLock lock(&m_cs);
        m_hrOnFlush = hr;
    }
    void Script(SStep step)
    {
        CAutoLock lock(&m_cs);
        m_script.push_back(step);
    }

    // The position a read waits at, or -1.
    LONGLONG WaitingAt()
    {
        CAutoLock lock(&m_cs);
        return m_llWaitingAt;
    }
    int Suspensions()
    {
        CAutoLock lock(&m_cs);
        return m_cSuspensions;
    }
    std::vector<LONGLONG> ReadPositions()
    {
        CAutoLock lock(&m_cs);
        return m_vReads;
    }
    // Bounded wait for a state of the stream.
    bool WaitUntil(const std::function<bool()>& fn)
    {
        const DWORD dwDeadline = TickDeadline(GetTickCount(), kWaitMs);
        while (!fn()) {
            const DWORD dwLeft = TickDeadlineLeft(dwDeadline, GetTickCount());
            if (dwLeft == 0)
                return false;
            m_evObserved.Wait(dwLeft);
        }
        return true;
    }

    // Takes the stream lock the way a caller of Complete does, telling the
    // test first; the test holds it through m_csStream directly.
    CCritSec m_csStream;
    CAMEvent m_evLockWanted{FALSE};

    HRESULT Read(LONGLONG* pllPos, BYTE* pb, DWORD cb, DWORD* pcbRead, BOOL bSkip, BOOL* pbDisc,
                 DWORD dwDeadline) override
    {
        *pcbRead = 0;
        *pbDisc = FALSE;
        CAutoLock lock(&m_cs);
        m_vReads.push_back(*pllPos);
        m_evObserved.Set();
        if (!m_script.empty()) {
            const SStep step = m_script.front();
            m_script.pop_front();
            if (step.llJumpTo >= 0) {
                *pbDisc = TRUE;
                *pllPos = step.llJumpTo;
            }
            Copy(pllPos, pb, step.cbGive);
            *pcbRead = step.cbGive;
            return step.hr;
        }
        for (;;) {
            if (*pllPos < m_llMin) {
                *pbDisc = TRUE;
                if (!bSkip)
                    return KVMM_E_DVR_DISCARDED_DATA;
                *pllPos = m_llMin;
            }
            const LONGLONG llHave = std::max<LONGLONG>(0, m_llSize - *pllPos);
            const DWORD cbNow = static_cast<DWORD>(std::min<LONGLONG>(cb - *pcbRead, llHave));
            Copy(pllPos, pb + *pcbRead, cbNow);
            *pcbRead += cbNow;
            if (*pcbRead == cb)
                return S_OK;
            const HRESULT hrEnd = *pcbRead ? S_FALSE : HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
            if (m_bFlushing)
                return m_hrOnFlush != S_OK ? m_hrOnFlush : hrEnd;
            if (!m_bGrowing || (dwDeadline && TickDeadlineLeft(dwDeadline, GetTickCount()) == 0))
                return hrEnd;
            if (!WaitForData(*pllPos, dwDeadline))
                return VFW_E_TIMEOUT;
            if (m_bSuspendNow) {
                m_bSuspendNow = false;
                ++m_cSuspensions;
                m_evObserved.Set();
                return KVMM_E_DVR_SUSPENDED;
            }
        }
    }
    LONGLONG Size(LONGLONG* pllAvailable, BOOL bTimesInUnits) override
    {
        CAutoLock lock(&m_cs);
        *pllAvailable = m_llSize;
        if (!m_bGrowing)
            return m_llSize;
        return bTimesInUnits ? MAX_INT64 / UNITS : MAX_INT64;
    }
    DWORD Alignment() override { return m_dwAlign; }
    void Lock() override NO_THREAD_SAFETY_ANALYSIS
    {
        m_evLockWanted.Set();
        m_csStream.Lock();
    }
    void Unlock() override NO_THREAD_SAFETY_ANALYSIS { m_csStream.Unlock(); }
    void BeginFlush() override { SetFlushing(true); }
    void EndFlush() override { SetFlushing(false); }
    DWORD GetReadDeadline() override { return TickDeadline(GetTickCount(), 15000); }
    void WorkSignal(BOOL bAdded) override
    {
        if (bAdded)
            (void)ReleaseSemaphore(m_hRequests, 1, nullptr);
        else
            (void)WaitForSingleObject(m_hRequests, 0);
        Notify();
    }

private:
    void Notify()
    {
        m_evData.Set();
        m_evObserved.Set();
    }
    void SetFlushing(bool b)
    {
        {
            CAutoLock lock(&m_cs);
            m_bFlushing = b;
        }
        Notify();
    }
    void Copy(LONGLONG* pllPos, BYTE* pb, DWORD cb)
    {
        for (DWORD i = 0; i < cb; ++i)
            pb[i] = Pattern(*pllPos + i);
        *pllPos += cb;
    }
    // Called and returns with m_cs held; false after kWaitMs.
    bool WaitForData(LONGLONG llPos, DWORD dwDeadline) REQUIRES(m_cs)
    {
        m_llWaitingAt = llPos;
        m_evObserved.Set();
        const LONGLONG llSize = m_llSize, llMin = m_llMin;
        const DWORD dwStart = GetTickCount();
        bool bOk = true;
        while (m_llSize == llSize && m_llMin == llMin && m_bGrowing && !m_bFlushing && !m_bSuspendNow) {
            DWORD dwLeft = kWaitMs - std::min(kWaitMs, TickDiff(GetTickCount(), dwStart));
            if (dwDeadline)
                dwLeft = std::min(dwLeft, TickDeadlineLeft(dwDeadline, GetTickCount()));
            if (dwLeft == 0) {
                bOk = dwDeadline != 0;
                break;
            }
            const bool bSuspend = m_bSuspend;
            m_cs.Unlock();
            // Winning the semaphore takes the count of the request that arrived.
            const HANDLE ah[2] = {m_hRequests, m_evData.Handle()};
            const DWORD dw = WaitForMultipleObjects(bSuspend ? 2 : 1, bSuspend ? ah : ah + 1, FALSE,
                                                    std::min<DWORD>(dwLeft, 50));
            m_cs.Lock();
            if (bSuspend && dw == WAIT_OBJECT_0)
                m_bSuspendNow = true;
        }
        m_llWaitingAt = -1;
        m_evObserved.Set();
        return bOk;
    }

    CCritSec m_cs;  // after m_csStream
    LONGLONG m_llSize GUARDED_BY(m_cs) = 0;
    LONGLONG m_llMin GUARDED_BY(m_cs) = 0;
    bool m_bGrowing GUARDED_BY(m_cs) = true;
    bool m_bFlushing GUARDED_BY(m_cs) = false;
    bool m_bSuspend GUARDED_BY(m_cs) = true;
    bool m_bSuspendNow GUARDED_BY(m_cs) = false;
    HRESULT m_hrOnFlush GUARDED_BY(m_cs) = S_OK;
    LONGLONG m_llWaitingAt GUARDED_BY(m_cs) = -1;
    int m_cSuspensions GUARDED_BY(m_cs) = 0;
    std::deque<SStep> m_script GUARDED_BY(m_cs);
    std::vector<LONGLONG> m_vReads GUARDED_BY(m_cs);
    std::atomic<DWORD> m_dwAlign{1};
    const HANDLE m_hRequests;
    CAMEvent m_evData{FALSE};      // wakes a waiting read
    CAMEvent m_evObserved{FALSE};  // wakes the test in WaitUntil
};

struct SDone
{
    HRESULT hr = E_UNEXPECTED;
    CComPtr<IMediaSample> pSample;
    DWORD_PTR dwUser = 0;
    LONG cbRead = -1;
    BOOL bTimesInUnits = FALSE;
    REFERENCE_TIME tStart = -1, tStop = -1;
};

class CAsyncIoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(CMemAllocator::Create(&m_pAlloc), S_OK);
        ALLOCATOR_PROPERTIES req = {8, 1024, 4, 0}, actual;
        ASSERT_EQ(m_pAlloc->SetProperties(&req, &actual), S_OK);
        ASSERT_EQ(m_pAlloc->Commit(), S_OK);
        m_pIo = std::make_unique<CAsyncIo>(&m_stream);
    }
    void TearDown() override
    {
        // As the filter does before destruction; whatever is still on a list
        // is released with the queue.
        if (m_pIo) {
            EXPECT_EQ(m_pIo->BeginFlush(), S_OK);
        }
        m_pIo.reset();
        EXPECT_EQ(static_cast<CMemAllocator*>(m_pAlloc.Get())->OutstandingCount(), 0);
        EXPECT_EQ(m_pAlloc->Decommit(), S_OK);
    }

    // Queues a read into a fresh sample; the stream lengths are taken now,
    // as the pin does, unless given.
    HRESULT Queue(LONGLONG llPos, LONG cb, DWORD_PTR dwUser, BOOL bPartialOk = FALSE, BOOL bUnits = FALSE,
                  LONGLONG llTotal = -1, LONGLONG llAvailable = -1)
    {
        IMediaSample* pSample = nullptr;
        HRESULT hr = m_pAlloc->GetBuffer(&pSample, nullptr, nullptr, AM_GBF_NOWAIT);
        if (FAILED(hr))
            return hr;
        BYTE* pb = nullptr;
        (void)pSample->GetPointer(&pb);
        if (llTotal < 0)
            llTotal = m_stream.Size(&llAvailable, bUnits);
        hr = m_pIo->Request(llPos, cb, TRUE, pb, pSample, dwUser, llTotal, llAvailable, bPartialOk, bUnits);
        if (FAILED(hr))
            pSample->Release();
        return hr;
    }
    SDone Next(DWORD dwTimeout = kWaitMs)
    {
        SDone d;
        IMediaSample* pSample = nullptr;
        d.hr = m_pIo->WaitForNext(dwTimeout, &pSample, &d.dwUser, &d.cbRead, &d.bTimesInUnits);
        if (pSample) {
            d.pSample.Attach(pSample);
            (void)pSample->GetTime(&d.tStart, &d.tStop);
        }
        return d;
    }
    // The next completions, in order: whole reads of the stream (cb bytes
    // from llStart, on time, continuous) or requests handed back empty.
    struct SExpect
    {
        DWORD_PTR dwUser;
        LONGLONG llStart;
        LONG cb;
        HRESULT hr = S_OK;
    };
    void ExpectCompletions(std::initializer_list<SExpect> expected, DWORD dwTimeout = kWaitMs)
    {
        for (const SExpect& e : expected) {
            SDone d = Next(dwTimeout);
            EXPECT_EQ(d.hr, e.hr) << "request " << e.dwUser;
            EXPECT_EQ(d.dwUser, e.dwUser);
            ASSERT_NE(d.pSample, nullptr);  // handed back with failures too
            ASSERT_EQ(d.cbRead, e.cb);
            if (e.cb) {
                EXPECT_EQ(d.tStart, e.llStart);
                EXPECT_EQ(d.tStop, e.llStart + e.cb);
                EXPECT_EQ(d.pSample->IsDiscontinuity(), S_FALSE);
                ExpectPattern(d.pSample, e.llStart, e.cb);
            }
        }
    }
    static void ExpectPatternIn(const BYTE* pb, LONGLONG llStart, LONG cb)
    {
        for (LONG i = 0; i < cb; ++i)
            ASSERT_EQ(pb[i], Pattern(llStart + i)) << "offset " << llStart + i;
    }
    static void ExpectPattern(IMediaSample* pSample, LONGLONG llStart, LONG cb)
    {
        BYTE* pb = nullptr;
        ASSERT_EQ(pSample->GetPointer(&pb), S_OK);
        ExpectPatternIn(pb, llStart, cb);
    }

    CToyStream m_stream;
    CComPtr<IMemAllocator> m_pAlloc;
    std::unique_ptr<CAsyncIo> m_pIo;
};

TEST_F(CAsyncIoTest, CompletesInOffsetOrderWhateverTheArrivalOrder)
{
    // Nothing is written yet, so every read waits or gives way until all
    // three are queued.
    ASSERT_EQ(Queue(300, 100, 3), S_OK);
    ASSERT_EQ(Queue(100, 100, 1), S_OK);
    ASSERT_EQ(Queue(200, 100, 2), S_OK);
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.WaitingAt() == 100; }));
    m_stream.Append(400);
    ExpectCompletions({{1, 100, 100}, {2, 200, 100}, {3, 300, 100}});
}

TEST_F(CAsyncIoTest, SuspendedReadWithoutDataIsRetriedBeforeLaterOffsets)
{
    m_stream.Append(1000);
    m_stream.Script({KVMM_E_DVR_SUSPENDED, 0});
    // Hold the stream so that the first request is taken and the others
    // queue behind it before its read gives way. Equal starts keep their
    // arrival order.
    {
        CAutoLock hold(&m_stream.m_csStream);
        ASSERT_EQ(Queue(100, 100, 1), S_OK);
        ASSERT_TRUE(m_stream.m_evLockWanted.Wait(kWaitMs));
        ASSERT_EQ(Queue(300, 100, 4), S_OK);
        ASSERT_EQ(Queue(200, 100, 2), S_OK);
        ASSERT_EQ(Queue(200, 100, 3), S_OK);
    }

    ExpectCompletions({{1, 100, 100}, {2, 200, 100}, {3, 200, 100}, {4, 300, 100}});
    EXPECT_EQ(m_stream.ReadPositions(), (std::vector<LONGLONG>{100, 100, 200, 200, 300}));
}

TEST_F(CAsyncIoTest, SuspendedPartialRequestCompletesWithWhatItHasOthersKeepTheirProgress)
{
    m_stream.Append(150);
    ASSERT_EQ(Queue(100, 100, 1, TRUE), S_OK);  // partial: takes what it has
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.WaitingAt() == 150; }));
    ASSERT_EQ(Queue(400, 100, 2), S_OK);        // makes the waiting read give way
    SDone d = Next();
    ASSERT_EQ(d.hr, S_OK);
    EXPECT_EQ(d.dwUser, 1u);
    EXPECT_EQ(d.cbRead, 50);
    EXPECT_EQ(d.tStart, 100);
    EXPECT_EQ(d.tStop, 150);
    ExpectPattern(d.pSample, 100, 50);

    // Without the deadline a request that gives way keeps its 50 bytes,
    // goes back in order and continues where it stopped.
    ASSERT_EQ(Queue(100, 100, 3), S_OK);
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.WaitingAt() == 150; }));
    const int cSuspensions = m_stream.Suspensions();
    ASSERT_EQ(Queue(800, 100, 4), S_OK);
    ASSERT_TRUE(m_stream.WaitUntil(
        [&] { return m_stream.Suspensions() == cSuspensions + 1 && m_stream.WaitingAt() == 150; }));
    const std::vector<LONGLONG> vReads = m_stream.ReadPositions();
    EXPECT_EQ(vReads.back(), 150);
    m_stream.Append(450);
    ExpectCompletions({{3, 100, 100}, {2, 400, 100}});
}

TEST_F(CAsyncIoTest, ShortReadsAreJudgedAgainstTheLengthsSeenAtRequest)
{
    m_stream.Append(20000);
    m_stream.Finish();
    const struct {
        LONGLONG llPos, llTotal, llAvailable;
        BOOL bPartialOk;
        HRESULT hrRead;
        HRESULT hrExpected;
    } cases[] = {
        {1000, 10000, 10000, FALSE, S_FALSE, E_FAIL},   // the data was there: a fault
        {9950, 10000, 10000, FALSE, S_FALSE, S_FALSE},  // runs past the total
        {900, MAX_INT64, 950, FALSE, S_FALSE, S_FALSE}, // runs past what was written
        {900, 1000, 5000, FALSE, S_FALSE, S_OK},        // ends at the total
        {900, 2000, 1000, FALSE, S_FALSE, S_OK},        // ends at what was written
        {1000, 10000, 10000, TRUE, S_FALSE, S_OK},      // partial requests take what they get
        {1000, 10000, 10000, FALSE, HRESULT_FROM_WIN32(ERROR_READ_FAULT), HRESULT_FROM_WIN32(ERROR_READ_FAULT)},
    };
    DWORD_PTR dwUser = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << dwUser);
        const DWORD cbGive = SUCCEEDED(c.hrRead) ? 40 : 0;
        m_stream.Script({c.hrRead, cbGive});
        ASSERT_EQ(Queue(c.llPos, 100, ++dwUser, c.bPartialOk, FALSE, c.llTotal, c.llAvailable), S_OK);
        SDone d = Next();
        EXPECT_EQ(d.hr, c.hrExpected);
        EXPECT_EQ(d.dwUser, dwUser);
        ASSERT_NE(d.pSample, nullptr);  // handed back with failures too
        EXPECT_EQ(d.cbRead, static_cast<LONG>(cbGive));
        ExpectPattern(d.pSample, c.llPos, static_cast<LONG>(cbGive));
    }
}

TEST_F(CAsyncIoTest, BeginFlushHandsBackEveryRequestThenRefusesUntilEndFlush)
{
    m_stream.SetSuspendOnNewRequest(false);
    ASSERT_EQ(Queue(1000, 100, 1), S_OK);
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.WaitingAt() == 1000; }));
    ASSERT_EQ(Queue(3000, 100, 3), S_OK);
    ASSERT_EQ(Queue(2000, 100, 2), S_OK);

    ASSERT_EQ(m_pIo->BeginFlush(), S_OK);
    // The queued ones were never tried; the one in flight ends with what its
    // read had, which is nothing.
    ExpectCompletions({{2, 0, 0, E_FAIL}, {3, 0, 0, E_FAIL}, {1, 0, 0, HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)}}, 0);
    EXPECT_EQ(Next(0).hr, VFW_E_WRONG_STATE);
    EXPECT_EQ(Next(kWaitMs).hr, VFW_E_WRONG_STATE);  // at once, not after the time-out
    EXPECT_EQ(Queue(0, 100, 4), VFW_E_WRONG_STATE);

    ASSERT_EQ(m_pIo->EndFlush(), S_OK);
    EXPECT_EQ(Next(0).hr, VFW_E_TIMEOUT);
    m_stream.Append(100);
    ASSERT_EQ(Queue(0, 100, 5), S_OK);
    SDone d = Next();
    EXPECT_EQ(d.hr, S_OK);
    EXPECT_EQ(d.dwUser, 5u);
}

TEST_F(CAsyncIoTest, ReadSuspendedByTheFlushIsHandedBackNotRequeued)
{
    m_stream.SetSuspendOnNewRequest(false);
    m_stream.SetFlushResult(KVMM_E_DVR_SUSPENDED);
    ASSERT_EQ(Queue(500, 100, 1), S_OK);
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.WaitingAt() == 500; }));
    ASSERT_EQ(m_pIo->BeginFlush(), S_OK);
    SDone d = Next(0);
    EXPECT_EQ(d.hr, VFW_E_WRONG_STATE);
    EXPECT_EQ(d.dwUser, 1u);
    EXPECT_EQ(Next(0).hr, VFW_E_WRONG_STATE);
    ASSERT_EQ(m_pIo->EndFlush(), S_OK);
}

TEST_F(CAsyncIoTest, DiscontinuityOnTheFirstReadMovesTheSampleStart)
{
    m_stream.Append(1000);
    m_stream.SetMin(600);  // the ring has overwritten everything below
    ASSERT_EQ(Queue(200, 100, 7, FALSE, TRUE), S_OK);
    SDone d = Next();
    ASSERT_EQ(d.hr, S_OK);
    EXPECT_TRUE(d.bTimesInUnits);
    EXPECT_EQ(d.cbRead, 100);
    EXPECT_EQ(d.tStart, 600 * UNITS);
    EXPECT_EQ(d.tStop, 700 * UNITS);
    EXPECT_EQ(d.pSample->IsDiscontinuity(), S_OK);
    ExpectPattern(d.pSample, 600, 100);
}

TEST_F(CAsyncIoTest, DiscontinuityAfterDataKeepsWhatWasReadAndMarksTheSample)
{
    m_stream.Append(150);
    ASSERT_EQ(Queue(100, 100, 1), S_OK);
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.WaitingAt() == 150; }));
    ASSERT_EQ(Queue(5000, 100, 2), S_OK);  // the read gives way holding 50 bytes
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.WaitingAt() == 150 && m_stream.Suspensions() == 1; }));
    // Before the writer comes back the ring overwrites the rest.
    m_stream.SetMin(300);
    m_stream.Append(450);

    SDone d = Next();
    EXPECT_EQ(d.hr, S_FALSE);  // short, and it ran past what was written
    EXPECT_EQ(d.dwUser, 1u);
    EXPECT_EQ(d.cbRead, 50);
    EXPECT_EQ(d.tStart, 100);
    EXPECT_EQ(d.tStop, 150);
    EXPECT_EQ(d.pSample->IsDiscontinuity(), S_OK);
    ExpectPattern(d.pSample, 100, 50);
}

TEST_F(CAsyncIoTest, WaitForNextWithZeroTimeoutReturnsAtOnce)
{
    SDone d = Next(0);
    EXPECT_EQ(d.hr, VFW_E_TIMEOUT);
    EXPECT_EQ(d.pSample, nullptr);
    ASSERT_EQ(Queue(0, 100, 1), S_OK);  // waits for data that never comes
    EXPECT_EQ(Next(0).hr, VFW_E_TIMEOUT);

    IMediaSample* pSample = nullptr;
    DWORD_PTR dwUser;
    LONG cb;
    EXPECT_EQ(m_pIo->WaitForNext(0, &pSample, &dwUser, &cb, nullptr), E_POINTER);
}

TEST_F(CAsyncIoTest, BadRequestsAreRefusedAndTheCallerKeepsTheSample)
{
    m_stream.SetAlignment(4);
    EXPECT_EQ(Queue(2, 100, 1), VFW_E_BADALIGN);
    EXPECT_EQ(Queue(0, 98, 1), VFW_E_BADALIGN);
    EXPECT_EQ(Queue(-4, 100, 1), E_INVALIDARG);
    EXPECT_EQ(Queue(0, -4, 1), E_INVALIDARG);
    BYTE ab[8];
    EXPECT_EQ(m_pIo->SyncReadAligned(0, 4, ab + 1, nullptr, nullptr, 0, 0), E_POINTER);
    LONG cb = -1;
    EXPECT_EQ(m_pIo->SyncReadAligned(2, 4, ab, &cb, nullptr, 0, 0), VFW_E_BADALIGN);
    EXPECT_EQ(cb, 0);
}

TEST_F(CAsyncIoTest, SynchronousReads)
{
    m_stream.SetAlignment(4);
    m_stream.Append(1000);
    m_stream.Finish();
    std::vector<BYTE> v(256);

    EXPECT_EQ(m_pIo->SyncRead(100, 200, v.data()), S_OK);
    ExpectPatternIn(v.data(), 100, 200);
    // Misaligned: read in the caller's thread all the same.
    EXPECT_EQ(m_pIo->SyncRead(101, 50, v.data() + 1), S_OK);
    ExpectPatternIn(v.data() + 1, 101, 50);
    EXPECT_EQ(m_pIo->SyncRead(900, 200, v.data()), S_FALSE);
    ExpectPatternIn(v.data(), 900, 100);
    EXPECT_EQ(m_pIo->SyncRead(2000, 16, v.data()), HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));

    // Suspension is not a result for a caller that waits: it is read again.
    m_stream.Script({KVMM_E_DVR_SUSPENDED, 0});
    const size_t cReads = m_stream.ReadPositions().size();
    EXPECT_EQ(m_pIo->SyncRead(0, 16, v.data()), S_OK);
    EXPECT_EQ(m_stream.ReadPositions().size(), cReads + 2);
    ExpectPatternIn(v.data(), 0, 16);

    // Without a sample there is nothing to move, so overwritten data fails.
    m_stream.SetMin(500);
    EXPECT_EQ(m_pIo->SyncRead(100, 16, v.data()), KVMM_E_DVR_DISCARDED_DATA);

    // With a sample: times in units, and a discontinuity moves it.
    IMediaSample* pSample = nullptr;
    ASSERT_EQ(m_pAlloc->GetBuffer(&pSample, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    CComPtr<IMediaSample> pHold;
    pHold.Attach(pSample);
    BYTE* pb = nullptr;
    ASSERT_EQ(pSample->GetPointer(&pb), S_OK);
    LONG cb = 0;
    EXPECT_EQ(m_pIo->SyncReadAligned(400, 16, pb, &cb, pSample, 1000, 1000), S_OK);
    EXPECT_EQ(cb, 16);
    REFERENCE_TIME t0 = 0, t1 = 0;
    ASSERT_EQ(pSample->GetTime(&t0, &t1), S_OK);
    EXPECT_EQ(t0, 500 * UNITS);
    EXPECT_EQ(t1, 516 * UNITS);
    EXPECT_EQ(pSample->IsDiscontinuity(), S_OK);
    ExpectPatternIn(pb, 500, 16);
}

TEST_F(CAsyncIoTest, DestructionReleasesSamplesStillOnTheLists)
{
    m_stream.Append(300);
    m_stream.Finish();
    ASSERT_EQ(Queue(0, 100, 1), S_OK);
    ASSERT_EQ(Queue(100, 100, 2), S_OK);
    ASSERT_TRUE(m_stream.WaitUntil([&] { return m_stream.ReadPositions().size() == 2; }));
    m_pIo.reset();  // TearDown checks that every sample came home
}

// A writer appends in small pieces while the reader keeps four requests in
// flight; every request completes whole, in order, with the right bytes.
TEST_F(CAsyncIoTest, FollowsAStreamWhileItIsWritten)
{
    constexpr LONG kChunk = 1000;
    constexpr int kRequests = 64;
    std::jthread writer([&] {
        for (int i = 0; i < kRequests * kChunk / 100; ++i)
            m_stream.Append(100);
    });
    int nQueued = 0;
    for (int nDone = 0; nDone < kRequests; ++nDone) {
        while (nQueued < kRequests && nQueued - nDone < 4) {
            ASSERT_EQ(Queue(static_cast<LONGLONG>(nQueued) * kChunk, kChunk, nQueued), S_OK);
            ++nQueued;
        }
        SDone d = Next();
        ASSERT_EQ(d.hr, S_OK);
        ASSERT_EQ(d.dwUser, static_cast<DWORD_PTR>(nDone));
        ASSERT_EQ(d.cbRead, kChunk);
        ExpectPattern(d.pSample, static_cast<LONGLONG>(nDone) * kChunk, kChunk);
    }
}

}  // namespace
