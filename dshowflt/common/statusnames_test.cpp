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

TEST(StatusNamesTest, EveryCodeTheSystemReturnsHasAName)
{
    // The codes the components return and test; a trace line that printed
    // one of them as a bare number would have to be decoded by hand.
    const uint32_t kCodes[] = {
        0x00000001, 0x00040237, 0x00040268, 0x00050024, 0x00050048, 0x80004001, 0x80004002,
        0x80004003, 0x80004004, 0x80004005, 0x8000FFFF, 0x8001011F, 0x80040227, 0x8005001B,
        0x8005001D, 0x80050021, 0x80050022, 0x80050023, 0x80050025, 0x80050026, 0x80050027,
        0x8007000E, 0x8007001D, 0x8007001E, 0x80070026, 0x80070057, 0x8007274C, 0x80050013,
        0x8005004A, 0x80050050, 0x80050061, 0xFEDCBA97, 0xFEDCBA98, 0x800401E3,
        // Components, registration, type libraries and late binding.
        0x00040103, 0x80020001, 0x80020003, 0x80020004, 0x80020005, 0x80020006, 0x80020008, 0x8002000A,
        0x8002000E, 0x8002000F, 0x80028019, 0x8002801C, 0x8002801D, 0x8002802B, 0x80029C4A, 0x80040110,
        0x80040111, 0x80040153, 0x80040154, 0x800401F8, 0x800401F9, 0x8007007F, 0x800700C1, 0x800703F1,
        0x80070582, 0x80070583, 0x80070584, 0x80070715,
    };
    for (uint32_t u : kCodes)
        EXPECT_FALSE(IsFallback(Name(MakeHr(u)))) << std::hex << u;
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
