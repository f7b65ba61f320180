// The default receive time-out: a filter in a graph whose Load finds no
// sender gives up after 16 s.
#include <gtest/gtest.h>

#include "dshowflt/mpegdemux/kvudpsrc/filternettestutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/pintestutil.h"

using namespace filtertest;

TEST(CKVMpg2TSSrcSlowTest, LoadInAGraphGivesUpAfterSixteenSecondsWithoutData)
{
    pintest::CTraceCapture trace;
    CSourceGraph g;
    ASSERT_EQ(S_OK, g.Join());
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(HRESULT_FROM_WIN32(10035), g.m_pSrc->Load(UdpUrl(FreePort()).c_str(), nullptr));
    const DWORD dwElapsed = TickDiff(GetTickCount(), dwStart);
    EXPECT_GE(dwElapsed, 15990u);
    EXPECT_LT(dwElapsed, 16000u + 2000u * kSlow);
    EXPECT_TRUE(trace.Contains("Timeout expired without receiving any data. Aborting the read process..."));
    // The socket stays open for a later start.
    EXPECT_NE(INVALID_SOCKET, g.m_pSrc->RecvThread()->GetSocket());
    EXPECT_FALSE(g.m_pSrc->RecvThread()->IsReading());
}
