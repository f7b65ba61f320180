#include "dshowflt/common/statusnames.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Name(HRESULT hr)
{
    char sz[320];
    FormatStatusName(hr, sz, sizeof(sz));
    return sz;
}

bool IsFallback(const std::string& str)
{
    return str.rfind("0x", 0) == 0 || str.rfind("Unknown", 0) == 0;
}

TEST(StatusNamesTest, KnownCodesPrintNameAndText)
{
    struct Case
    {
        uint32_t u;
        const char* pszExpected;
    } kCases[] = {
        {0x80050020, "KVMM_E_DVR_DISCARDED_DATA - You are trying to read discarded data"},
        {0x00050055, "KVMM_S_WRONG_STATE - The change was successful, but will take effect the next time you run the graph"},
        {0x00000000, "S_OK"},
        {0x8004022E, "VFW_E_TIMEOUT"},
        // Socket errors read in the sockets' own words, ahead of the HRESULT table.
        {0x80072733, "WSAEWOULDBLOCK = A non-blocking socket operation could not be completed immediately"},
        {0x80072746, "WSAECONNRESET = An existing connection was forcibly closed by the remote host"},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(Name(MakeHr(c.u)), c.pszExpected) << std::hex << c.u;
}

TEST(StatusNamesTest, UnknownCodesFallBackToNumbers)
{
    EXPECT_EQ(Name(MakeHr(0x80051234)), "0x80051234");
    EXPECT_EQ(Name(MakeHr(0x00000002)), "0x00000002");
    // Inside the socket range but not a socket error we know.
    EXPECT_EQ(Name(MakeHr(0x80072EDF)), "Unknown Winsock error (11999=0x80072EDF)");
    EXPECT_EQ(Name(MakeHr(0x80072710)), "Unknown Winsock error (10000=0x80072710)");
    // Just outside the socket range: a plain unknown status.
    EXPECT_EQ(Name(MakeHr(0x80072EE0)), "0x80072EE0");
    // The raster range reports base minus status.
    EXPECT_EQ(Name(MakeHr(0x8005F005)), "Raster engine error (-5)");
    EXPECT_EQ(Name(MakeHr(0x8005F000)), "Raster engine error (0)");
    EXPECT_EQ(Name(MakeHr(0x8005FFFF)), "Raster engine error (-4095)");
}

TEST(StatusNamesTest, EveryMappedErrnoHasAName)
{
    // Whatever errno a socket or file call fails with, the mapped status
    // must read as a name in the trace.
    for (int nErrno = 1; nErrno < 134; ++nErrno) {
        EXPECT_FALSE(IsFallback(Name(HrFromErrno(nErrno, true)))) << "socket errno " << nErrno;
        EXPECT_FALSE(IsFallback(Name(HrFromErrno(nErrno, false)))) << "file errno " << nErrno << " "
                                                                   << strerror(nErrno);
    }
}

TEST(StatusNamesTest, SmallBufferIsCutAndTerminated)
{
    char sz[12];
    memset(sz, 'x', sizeof(sz));
    FormatStatusName(KVMM_E_DVR_DISCARDED_DATA, sz, sizeof(sz));
    EXPECT_STREQ(sz, "KVMM_E_DVR_");
    FormatStatusName(KVMM_E_DVR_DISCARDED_DATA, sz, 1);
    EXPECT_STREQ(sz, "");
    FormatStatusName(KVMM_E_DVR_DISCARDED_DATA, nullptr, 0);  // must not crash
}

}  // namespace
