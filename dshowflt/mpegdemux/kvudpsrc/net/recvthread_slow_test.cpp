// The receive thread's default time-out, in full: 16 s without a sender.
#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"

using namespace recvtest;

TEST(CRecvThreadSlow, NoSenderEndsAfterSixteenSecondsByDefault)
{
    CTraceCapture trace;
    CRecv recv;
    ASSERT_NE(0, recv.Open());
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(HRESULT_FROM_WIN32(WSAEWOULDBLOCK), recv.Call(CMD_READ));
    const DWORD dwElapsed = TickDiff(GetTickCount(), dwStart);
    EXPECT_GE(dwElapsed, 15950u);
    EXPECT_LT(dwElapsed, 16000u + 2000u * kSlow);
    EXPECT_EQ(1, trace.Count("\nCRecvThread::ReadLoop(): Timeout expired without receiving any data. Aborting the "
                             "read process..."));
    // The loop ended as it began: the ring stopped, starvation cleared.
    LONG lStatus = -1, lFolder = 0, lSlot = 0;
    double dSize = 0;
    ASSERT_EQ(S_OK, recv->GetStatus(&lStatus, &lFolder, &lSlot, &dSize));
    EXPECT_EQ(DVRStatus_Stopped, lStatus);
    EXPECT_FALSE(recv->IsWriting());
    const std::vector<BOOL> starvation = recv.m_filter.Get(recv.m_filter.m_aStarvation);
    ASSERT_FALSE(starvation.empty());
    EXPECT_EQ(FALSE, starvation.back());
}
