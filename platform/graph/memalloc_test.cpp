#include "platform/graph/memalloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/graph/mtype.h"
#include "platform/graph/testfilters.h"

using graphtest::SpinFor;

TEST(MediaTypeTest, CopiesOwnTheirFormatAndCompareByContent)
{
    CMediaType a = graphtest::VideoType(MEDIASUBTYPE_H264, 400000);
    ASSERT_EQ(a.FormatLength(), sizeof(VIDEOINFOHEADER));
    CMediaType b(a);
    EXPECT_NE(a.Format(), b.Format());
    EXPECT_TRUE(a == b);
    reinterpret_cast<VIDEOINFOHEADER*>(b.Format())->AvgTimePerFrame = 333333;
    EXPECT_FALSE(a == b);  // same GUIDs, different format bytes

    // A task-memory copy and its release, as a sample or enumerator hands out.
    AM_MEDIA_TYPE* pmt = CreateMediaType(&a);
    ASSERT_NE(pmt, nullptr);
    EXPECT_TRUE(CMediaType(*pmt) == a);
    DeleteMediaType(pmt);
    DeleteMediaType(nullptr);

    // Partial types match on what they name.
    CMediaType partial(&MEDIATYPE_Video);
    EXPECT_TRUE(a.MatchesPartial(&partial));
    partial.SetSubtype(&MEDIASUBTYPE_MJPG);
    EXPECT_FALSE(a.MatchesPartial(&partial));
    EXPECT_TRUE(partial.IsPartiallySpecified());
    EXPECT_FALSE(a.IsPartiallySpecified());

    // Growing the format keeps its bytes and zeroes the rest.
    BYTE* p = b.AllocFormatBuffer(sizeof(VIDEOINFOHEADER) + 8);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(p)->AvgTimePerFrame, 333333);
    EXPECT_EQ(p[sizeof(VIDEOINFOHEADER) + 7], 0);
    b = a;
    EXPECT_TRUE(a == b);
}

TEST(MediaSampleTest, TimesFlagsAndTypeFollowTheSampleAndResetOnReuse)
{
    CComPtr<IMemAllocator> pAlloc;
    ASSERT_EQ(CMemAllocator::Create(&pAlloc), S_OK);
    ALLOCATOR_PROPERTIES req = {1, 100, 16, 4}, actual;
    ASSERT_EQ(pAlloc->SetProperties(&req, &actual), S_OK);
    EXPECT_EQ((actual.cbBuffer + actual.cbPrefix) % 16, 0);
    EXPECT_GE(actual.cbBuffer, 100);
    ASSERT_EQ(pAlloc->Commit(), S_OK);

    IMediaSample* pSample = nullptr;
    REFERENCE_TIME t0 = 10, t1 = 20;
    ASSERT_EQ(pAlloc->GetBuffer(&pSample, &t0, &t1, 0), S_OK);
    BYTE* pb = nullptr;
    ASSERT_EQ(pSample->GetPointer(&pb), S_OK);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(pb) % 16, 0u);
    REFERENCE_TIME s = 0, e = 0;
    EXPECT_EQ(pSample->GetTime(&s, &e), S_OK);
    EXPECT_EQ(s, 10);
    EXPECT_EQ(e, 20);
    EXPECT_EQ(pSample->SetTime(&t0, nullptr), S_OK);
    EXPECT_EQ(pSample->GetTime(&s, &e), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(pSample->SetActualDataLength(actual.cbBuffer + 1), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(pSample->SetActualDataLength(5), S_OK);
    EXPECT_EQ(pSample->SetSyncPoint(TRUE), S_OK);
    EXPECT_EQ(pSample->SetDiscontinuity(TRUE), S_OK);
    CMediaType mt = graphtest::VideoType(MEDIASUBTYPE_UYVY);
    EXPECT_EQ(pSample->SetMediaType(&mt), S_OK);
    AM_MEDIA_TYPE* pmt = nullptr;
    ASSERT_EQ(pSample->GetMediaType(&pmt), S_OK);
    EXPECT_TRUE(CMediaType(*pmt) == mt);
    DeleteMediaType(pmt);
    pSample->Release();

    // The same buffer comes back clean.
    ASSERT_EQ(pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(pSample->GetTime(&s, &e), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(pSample->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(pSample->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(pSample->GetActualDataLength(), actual.cbBuffer);
    EXPECT_EQ(pSample->GetMediaType(&pmt), S_FALSE);
    pSample->Release();
    EXPECT_EQ(pAlloc->Decommit(), S_OK);
}

TEST(MemAllocatorTest, PropertiesAreRefusedWhileCommittedOrBuffersAreOut)
{
    CComPtr<IMemAllocator> pAlloc;
    ASSERT_EQ(CMemAllocator::Create(&pAlloc), S_OK);
    ALLOCATOR_PROPERTIES actual;
    ALLOCATOR_PROPERTIES bad = {1, 10, 3, 0};
    EXPECT_EQ(pAlloc->SetProperties(&bad, &actual), VFW_E_BADALIGN);
    EXPECT_EQ(pAlloc->Commit(), VFW_E_SIZENOTSET);
    ALLOCATOR_PROPERTIES req = {2, 10, 1, 0};
    ASSERT_EQ(pAlloc->SetProperties(&req, &actual), S_OK);
    ASSERT_EQ(pAlloc->Commit(), S_OK);
    EXPECT_EQ(pAlloc->SetProperties(&req, &actual), VFW_E_ALREADY_COMMITTED);
    IMediaSample* pSample = nullptr;
    ASSERT_EQ(pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(pAlloc->Decommit(), S_OK);
    EXPECT_EQ(pAlloc->SetProperties(&req, &actual), VFW_E_BUFFERS_OUTSTANDING);
    // A sample that was out when the allocator decommitted still works and
    // keeps the allocator alive after the last outside reference goes.
    IMemAllocator* pRaw = pAlloc.Detach();
    pRaw->Release();
    BYTE* pb = nullptr;
    ASSERT_EQ(pSample->GetPointer(&pb), S_OK);
    memset(pb, 0xAB, 10);
    pSample->Release();  // the allocator goes with it (ASan checks)
}

TEST(MemAllocatorTest, GetBufferBlocksWhileAllBuffersAreOutUntilOneReturnsOrDecommit)
{
    CMemAllocator* pImpl = nullptr;
    CComPtr<IMemAllocator> pAlloc;
    ASSERT_EQ(CMemAllocator::Create(&pAlloc), S_OK);
    pImpl = static_cast<CMemAllocator*>(pAlloc.Get());
    ALLOCATOR_PROPERTIES req = {2, 32, 1, 0}, actual;
    ASSERT_EQ(pAlloc->SetProperties(&req, &actual), S_OK);
    ASSERT_EQ(pAlloc->Commit(), S_OK);
    IMediaSample* p1 = nullptr;
    IMediaSample* p2 = nullptr;
    ASSERT_EQ(pAlloc->GetBuffer(&p1, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(pAlloc->GetBuffer(&p2, nullptr, nullptr, 0), S_OK);
    IMediaSample* p3 = nullptr;
    EXPECT_EQ(pAlloc->GetBuffer(&p3, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);

    // A returned sample wakes the waiter.
    HRESULT hrWaiter = E_FAIL;
    IMediaSample* pGot = nullptr;
    std::thread t([&] { hrWaiter = pAlloc->GetBuffer(&pGot, nullptr, nullptr, 0); });
    ASSERT_TRUE(SpinFor([&] { return pImpl->WaitingCount() == 1; }));
    p1->Release();
    t.join();
    EXPECT_EQ(hrWaiter, S_OK);
    EXPECT_EQ(pGot, p1);  // the only free buffer

    // Decommit wakes a waiter with VFW_E_NOT_COMMITTED.
    IMediaSample* pNone = reinterpret_cast<IMediaSample*>(1);
    std::thread t2([&] { hrWaiter = pAlloc->GetBuffer(&pNone, nullptr, nullptr, 0); });
    ASSERT_TRUE(SpinFor([&] { return pImpl->WaitingCount() == 1; }));
    ASSERT_EQ(pAlloc->Decommit(), S_OK);
    t2.join();
    EXPECT_EQ(hrWaiter, VFW_E_NOT_COMMITTED);
    EXPECT_EQ(pNone, nullptr);
    EXPECT_EQ(pImpl->OutstandingCount(), 2);

    // Committing again before the samples are home keeps their memory.
    ASSERT_EQ(pAlloc->Commit(), S_OK);
    pGot->Release();
    p2->Release();
    EXPECT_EQ(pImpl->OutstandingCount(), 0);
    IMediaSample* p4 = nullptr;
    ASSERT_EQ(pAlloc->GetBuffer(&p4, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    p4->Release();
    ASSERT_EQ(pAlloc->Decommit(), S_OK);
}
