#include "dshowflt/mpegdemux/kvudpsrc/net/offsetlogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/dvr/dvrtest_util.h"
#include "platform/thread.h"

namespace {

// 2024-05-06 13:45:10.123 UTC: Unix 1715003110 (GNU date) in file time.
constexpr ULONGLONG kExampleTime = 1715003110ULL * 10000000ULL + 116444736000000000ULL + 1230000ULL;

class COffsetLoggerTest : public ::testing::Test
{
protected:
    static constexpr DWORD kStartTick = 1000;
    const FILETIME m_ftStart = U64ToFileTime(kExampleTime);

    void Start(DWORD dwInterval = 0)
    {
        m_log.SetLogging(1);
        ASSERT_EQ(m_log.StartLoggingAt(dwInterval, kStartTick, m_ftStart), S_OK);
    }
    void Log(DWORD dwMs, LONGLONG llOffset) { ASSERT_EQ(m_log.LogOffset(kStartTick + dwMs, llOffset), S_OK); }
    // Receive time of an offset, as milliseconds after the start time.
    double MsAt(double dOffset)
    {
        double d = -1;
        EXPECT_EQ(m_log.GetReceiveTime(dOffset, &d), S_OK);
        return (d - static_cast<double>(kExampleTime)) / 10000.0;
    }

    COffsetLogger m_log;
};

}  // namespace

TEST_F(COffsetLoggerTest, EmptyOrDisabledLogHasNoTime)
{
    double d = 42.0;
    EXPECT_EQ(m_log.GetReceiveTime(0, &d), KVMM_E_NO_RECEIVE_TIME);
    EXPECT_EQ(d, 42.0);
    // Not enabled by the Logging= option: nothing is recorded.
    ASSERT_EQ(m_log.StartLoggingAt(0, kStartTick, m_ftStart), S_OK);
    Log(100, 1000);
    EXPECT_EQ(m_log.GetReceiveTime(0, &d), KVMM_E_NO_RECEIVE_TIME);
    EXPECT_EQ(m_log.GetReceiveTime(0, nullptr), E_POINTER);
}

TEST_F(COffsetLoggerTest, RecordsAreSpacedByTheInterval)
{
    Start();
    Log(100, 0);
    Log(110, 1316);  // 10 ms later: skipped
    Log(133, 2632);  // exactly 33 ms: still skipped
    Log(140, 3948);  // 40 ms after the record: kept
    EXPECT_EQ(m_log.RecordCount(), 2);
    EXPECT_EQ(MsAt(3948), 140.0);

    // A larger interval from the option.
    Start(500);
    EXPECT_EQ(m_log.RecordCount(), 0);
    Log(1, 0);
    Log(400, 10);
    Log(502, 20);
    EXPECT_EQ(m_log.RecordCount(), 2);

    // StopLogging keeps what was logged and adds nothing more.
    ASSERT_EQ(m_log.StopLogging(), S_OK);
    Log(5000, 30);
    EXPECT_EQ(m_log.RecordCount(), 2);
    EXPECT_EQ(MsAt(20), 502.0);
}

TEST_F(COffsetLoggerTest, LookupInterpolatesBetweenRecords)
{
    Start();
    Log(1000, 10000);
    Log(2000, 20000);
    Log(3000, 20000);  // no data for a second: the same offset twice
    Log(4000, 50000);
    Log(5000, 60000);
    EXPECT_EQ(MsAt(0), 1000.0);          // before the first record
    EXPECT_EQ(MsAt(10000), 1000.0);
    EXPECT_EQ(MsAt(15000), 1500.0);      // halfway, 1000 ms apart
    EXPECT_EQ(MsAt(15000.9), 1500.0);    // the offset is truncated
    EXPECT_EQ(MsAt(12345), 1234.0);      // truncating division
    // An exact hit answers the record the search lands on first.
    EXPECT_EQ(MsAt(20000), 3000.0);
    EXPECT_EQ(MsAt(35000), 3500.0);
    EXPECT_EQ(MsAt(59999), 4999.0);
    EXPECT_EQ(MsAt(60000), 5000.0);
    EXPECT_EQ(MsAt(1e30), 5000.0);       // beyond the last record
    EXPECT_EQ(MsAt(-1e30), 1000.0);
    double d;
    EXPECT_EQ(m_log.GetReceiveTime(std::numeric_limits<double>::quiet_NaN(), &d), E_INVALIDARG);
}

// Offsets of a long stream and a long gap: the product passes 2^64.
TEST_F(COffsetLoggerTest, LargeOffsetsInterpolateWithoutOverflow)
{
    Start();
    const LONGLONG llBase = 1LL << 60;
    Log(1, llBase);
    Log(4000000001u, llBase + (1LL << 40));
    // 2^39 bytes in: half of the 4e9 ms gap.
    EXPECT_EQ(MsAt(static_cast<double>(llBase + (1LL << 39))), 1.0 + 2000000000.0);
}

TEST_F(COffsetLoggerTest, TickWrapKeepsTimesRelative)
{
    m_log.SetLogging(1);
    ASSERT_EQ(m_log.StartLoggingAt(0, 0xFFFFFF00u, m_ftStart), S_OK);
    ASSERT_EQ(m_log.LogOffset(0xFFFFFFF0u, 100), S_OK);  // 240 ms in
    ASSERT_EQ(m_log.LogOffset(0x00000100u, 200), S_OK);  // 512 ms in, after the wrap
    EXPECT_EQ(MsAt(200), 512.0);
}

// The receive thread appends while an application thread looks up.
TEST_F(COffsetLoggerTest, AppendAndLookupFromTwoThreads)
{
    Start(1);
    Log(1, 0);
    std::atomic<bool> bDone{false};
    std::thread reader([&] {
        int nLookups = 0;
        while (!bDone.load() && nLookups < 200000) {
            double d;
            EXPECT_EQ(m_log.GetReceiveTime(1000.0 * (nLookups % 500), &d), S_OK);
            EXPECT_GE(d, static_cast<double>(kExampleTime));
            ++nLookups;
        }
    });
    for (DWORD i = 1; i <= 20000; ++i)
        Log(2 * i + 1, 100LL * i);
    bDone = true;
    reader.join();
    EXPECT_EQ(m_log.RecordCount(), 20001);
    EXPECT_EQ(MsAt(150), 4.0);  // between the records at 3 ms (100) and 5 ms (200)
}

TEST(COffsetLoggerText, TimeToStringAndBack)
{
    CWString str;
    ASSERT_EQ(COffsetLogger::ConvertTimeToString(static_cast<double>(kExampleTime), u"cam1_", u".ts", &str), S_OK);
    EXPECT_EQ(str, u"cam1_2024_05_06__13_45_10_123.ts");
    double d = 0;
    ASSERT_EQ(COffsetLogger::ConvertStringToTime(str.c_str(), &d), S_OK);
    EXPECT_EQ(static_cast<ULONGLONG>(d), kExampleTime);

    ASSERT_EQ(COffsetLogger::ConvertTimeToString(static_cast<double>(kExampleTime), nullptr, u"", &str), S_OK);
    EXPECT_EQ(str, u"2024_05_06__13_45_10_123");
    // Wide text in prefix and suffix survives the trip through UTF-8.
    ASSERT_EQ(COffsetLogger::ConvertTimeToString(static_cast<double>(kExampleTime), u"K\u00e4mera\U0001F4F7_",
                                                 u"\u00e9", &str),
              S_OK);
    EXPECT_EQ(str, u"K\u00e4mera\U0001F4F7_2024_05_06__13_45_10_123\u00e9");
    ASSERT_EQ(COffsetLogger::ConvertStringToTime(str.c_str(), &d), S_OK);
    EXPECT_EQ(static_cast<ULONGLONG>(d), kExampleTime);

    // Round trips to the millisecond over the range of four-digit years,
    // leap days and the last millisecond of a day included. Doubles near
    // 9999 are 128 units apart, so the last millisecond only survives if the
    // double never lands below the file time it stands for.
    const char16_t* dates[] = {u"1601_01_01__00_00_00_000", u"1900_02_28__23_59_59_999",
                               u"2000_02_29__23_59_59_999", u"2100_03_01__00_00_00_001",
                               u"2400_02_29__12_00_00_500", u"9999_12_31__23_59_59_999"};
    for (const char16_t* psz : dates) {
        const std::u16string strIn(psz);
        ASSERT_EQ(COffsetLogger::ConvertStringToTime(psz, &d), S_OK) << std::string(strIn.begin(), strIn.end());
        ASSERT_EQ(COffsetLogger::ConvertTimeToString(d, u"", nullptr, &str), S_OK);
        EXPECT_EQ(str, strIn);
    }
    // Five-digit years print, but the pattern has room for four: the text
    // reads back as year 0827, which is refused.
    SYSTEMTIME st{30827, 12, 0, 31, 23, 59, 59, 500};
    FILETIME ft;
    ASSERT_EQ(SystemTimeToFileTime(&st, &ft), S_OK);
    ASSERT_EQ(COffsetLogger::ConvertTimeToString(static_cast<double>(FileTimeToU64(ft) + 5000), nullptr, nullptr, &str), S_OK);
    EXPECT_EQ(str, u"30827_12_31__23_59_59_500");
    EXPECT_EQ(COffsetLogger::ConvertStringToTime(str.c_str(), &d), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
}

TEST(COffsetLoggerText, PatternIsFoundAmongOtherUnderscores)
{
    double d = 0;
    ASSERT_EQ(COffsetLogger::ConvertStringToTime(u"x_y_2024_05_06__13_45_10_123", &d), S_OK);
    EXPECT_EQ(static_cast<ULONGLONG>(d), kExampleTime);
    ASSERT_EQ(COffsetLogger::ConvertStringToTime(u"cam_2024_05_06__13_45_10_123_part2.ts", &d), S_OK);
    EXPECT_EQ(static_cast<ULONGLONG>(d), kExampleTime);
    // Fields end at their first non-digit; nothing else is checked.
    ASSERT_EQ(COffsetLogger::ConvertStringToTime(u"2024_5x_6y__13_45_10_123", &d), S_OK);
    EXPECT_EQ(static_cast<ULONGLONG>(d), kExampleTime);
    // An underscore at the very start cannot begin the pattern; the search
    // goes on past it.
    ASSERT_EQ(COffsetLogger::ConvertStringToTime(u"_2024_05_06__13_45_10_123", &d), S_OK);
    EXPECT_EQ(static_cast<ULONGLONG>(d), kExampleTime);
    ASSERT_EQ(COffsetLogger::ConvertStringToTime(u"a2024_05_06__13_45_10_1.ts", &d), S_OK);
    EXPECT_EQ(static_cast<ULONGLONG>(d), kExampleTime - 1220000);
}

TEST(COffsetLoggerText, BadTextIsRefused)
{
    const HRESULT hrDate = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    struct Case {
        const char16_t* psz;
        HRESULT hr;
    } cases[] = {
        {u"", E_INVALIDARG},
        {u"no underscores here at all, none", E_INVALIDARG},
        {u"2024_05_06__13_45_10_12", E_INVALIDARG},  // two millisecond digits at the end
        {u"024_05_06__13_45_10_123", E_INVALIDARG},  // 3 characters before the underscore
        {u"2024-05-06__13_45_10_123", E_INVALIDARG},
        {u"2024_05_06_13_45_10_1234", E_INVALIDARG},
        {u"abc_________________________", hrDate},  // fits the underscores, year 0
        {u"2024_13_06__13_45_10_123", hrDate},
        {u"2024_02_30__13_45_10_123", hrDate},
        {u"2023_02_29__13_45_10_123", hrDate},
        {u"2024_05_06__24_45_10_123", hrDate},
        {u"2024_05_06__13_45_10_1000", hrDate},
        {u"2024_05_06__13_45_10_99999999999999999999", hrDate},  // saturates, never wraps
        {u"1600_12_31__23_59_59_999", hrDate},
        {u"2024_00_06__13_45_10_123", hrDate},
        {u"2024_xx_06__13_45_10_123", hrDate},
        {u"0000_00_00__00_00_00_000", hrDate},
    };
    for (const Case& c : cases) {
        double d = 7.0;
        EXPECT_EQ(COffsetLogger::ConvertStringToTime(c.psz, &d), c.hr) << std::string(c.psz, c.psz + WStrLen(c.psz));
        EXPECT_EQ(d, 7.0);
    }
    double d;
    EXPECT_EQ(COffsetLogger::ConvertStringToTime(nullptr, &d), E_POINTER);
    EXPECT_EQ(COffsetLogger::ConvertStringToTime(u"2024_05_06__13_45_10_123", nullptr), E_POINTER);

    // Times that are no calendar time give a text that does not convert back.
    CWString str;
    for (double dBad : {-1.0, 1e300, std::numeric_limits<double>::quiet_NaN(), 9.3e18}) {
        ASSERT_EQ(COffsetLogger::ConvertTimeToString(dBad, u"p", u"s", &str), S_OK);
        EXPECT_EQ(str, u"p0000_00_00__00_00_00_000s");
    }
    EXPECT_EQ(COffsetLogger::ConvertTimeToString(0, nullptr, nullptr, nullptr), E_POINTER);
}

// The fallback hook with the DVR writer's index behind it, as the receive
// thread (at once the log and the writer) wires them.
TEST(COffsetLoggerFallbackTest, OffsetsTheLogForgotAreAnsweredFromTheIndexBesideTheRing)
{
    dvrtest::CTempFolder folder;
    dvrtest::CTestWriter writer;
    ASSERT_EQ(writer.Start(folder.Path(), 4, 65536.0, nullptr), S_OK);
    CBaseDVRSink* pSink = writer.Sink();

    // Two bursts 80 ms apart (the pause gets entries of its own), then the
    // log starts: it knows nothing of the first 2000 bytes.
    const std::vector<BYTE> v(1000, 0x47);
    const LONGLONG llBefore = dvr::IndexWallClockNow();
    ASSERT_EQ(pSink->WriteData(v.data(), 1000), S_OK);
    const LONGLONG llFirstDone = dvr::IndexWallClockNow();
    Sleep(80);  // the time between the bursts is what is measured, not a synchronisation
    const LONGLONG llSecond = dvr::IndexWallClockNow();
    ASSERT_EQ(pSink->WriteData(v.data(), 1000), S_OK);
    const LONGLONG llSecondDone = dvr::IndexWallClockNow();
    COffsetLogger log;
    log.SetLogging(1);
    ASSERT_EQ(log.StartLogging(0), S_OK);
    ASSERT_EQ(pSink->WriteData(v.data(), 1000), S_OK);
    ASSERT_EQ(log.LogOffset(GetTickCount(), 2000), S_OK);
    (void)pSink->BeginWaitingForData();

    double d = 0;
    ASSERT_EQ(log.GetReceiveTime(500, &d), S_OK);
    const double dLogOnly = d;  // alone, the log answers its first record's time
    log.SetReceiveTimeFallback(&CBaseDVRSink::LookUpReceiveTimeCallback, static_cast<CBaseDVRSink*>(pSink));
    ASSERT_EQ(log.GetReceiveTime(500, &d), S_OK);
    EXPECT_GE(d, static_cast<double>(llBefore));
    EXPECT_LE(d, static_cast<double>(llFirstDone));
    EXPECT_LT(d, dLogOnly);
    ASSERT_EQ(log.GetReceiveTime(1000, &d), S_OK);  // the first byte after the pause
    EXPECT_GE(d, static_cast<double>(llSecond));
    EXPECT_LE(d, static_cast<double>(llSecondDone));
    // What the log covers, the log answers; offsets the ring no longer
    // holds (nor ever held) get the log's nearest record.
    double dLog = 0;
    ASSERT_EQ(log.GetReceiveTime(2000, &dLog), S_OK);
    EXPECT_EQ(dLog, dLogOnly);
    ASSERT_EQ(log.GetReceiveTime(1e9, &d), S_OK);
    EXPECT_EQ(d, dLog);

    // A log that was never switched on stays silent, index or not.
    COffsetLogger off;
    off.SetReceiveTimeFallback(&CBaseDVRSink::LookUpReceiveTimeCallback, static_cast<CBaseDVRSink*>(pSink));
    EXPECT_EQ(off.GetReceiveTime(500, &d), KVMM_E_NO_RECEIVE_TIME);

    // A stopped writer's ring stays on disk (its layout was set) and still
    // answers; once its files are gone, nothing is left to fall back on.
    ASSERT_EQ(pSink->StopDVR(), S_OK);
    ASSERT_EQ(log.GetReceiveTime(500, &d), S_OK);
    EXPECT_LT(d, dLogOnly);
    (void)system(("rm -rf '" + folder.Path() + "'").c_str());
    ASSERT_EQ(log.GetReceiveTime(500, &d), S_OK);
    EXPECT_EQ(d, dLogOnly);
}
