// Time-shift by the clock, through the tool as users run it: a ring written
// by `dvr-write --ts-pattern` (the built-in sender's stream, paced, whose
// PCRs say when each byte was due) or `--pattern` (every byte a function of
// its offset), then cut by `copy --from-time`, followed by `follow`, killed,
// and inspected by `dvr-info`.
//
// CI runs these scaled down; the full acceptance run is
//   KV_TIMEINDEX_SECONDS=60 KV_TIMEINDEX_TRIALS=100 build/tools/kvudpsrc_tool_test --gtest_filter='CDVRTime*'
// (a 60 s recording through 10 x 1 MiB, 100 random times, 100 kills).
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/dvr/dvrindex.h"
#include "dshowflt/common/dvr/dvrsink.h"
#include "platform/filetime.h"
#include "tools/pattern.h"
#include "tools/timearg.h"
#include "tools/tooltest.h"
#include "tools/tsgen.h"

namespace {

constexpr uint64_t kSeed = 0x71DE;
constexpr long long kRate = 1 << 20;  // bytes per second

int EnvInt(const char* pszName, int nDefault)
{
    const char* psz = getenv(pszName);
    return psz && atoi(psz) > 0 ? atoi(psz) : nDefault;
}
bool FullRun()
{
    return EnvInt("KV_TIMEINDEX_SECONDS", 0) >= 30;
}

// The rest of the line after strPrefix in s, or empty.
std::string Field(const std::string& s, const std::string& strPrefix)
{
    const size_t n = s.find(strPrefix);
    if (n == std::string::npos)
        return std::string();
    const size_t nEnd = s.find('\n', n);
    return s.substr(n + strPrefix.size(), nEnd == std::string::npos ? std::string::npos : nEnd - n - strPrefix.size());
}

LONGLONG Time(const std::string& str)
{
    LONGLONG ll = -1;
    std::string strWhy;
    EXPECT_TRUE(ParseTimeArg(str.c_str(), &ll, &strWhy)) << str << ": " << strWhy;
    return ll;
}

// The span dvr-info prints: "A .. B (...".
bool Span(const std::string& strInfo, LONGLONG* pllFirst, LONGLONG* pllLast)
{
    const std::string s = Field(strInfo, "span          ");
    const size_t n = s.find(" .. ");
    if (n == std::string::npos)
        return false;
    *pllFirst = Time(s.substr(0, n));
    *pllLast = Time(s.substr(n + 4, s.find(' ', n + 4) - n - 4));
    return *pllFirst > 0 && *pllLast >= *pllFirst;
}

// "offsets A..B" of copy's note.
bool CopiedRange(const std::string& strErr, long long* pllA, long long* pllB)
{
    const std::string s = Field(strErr, "offsets ");
    return sscanf(s.c_str(), "%lld..%lld", pllA, pllB) == 2;
}

// The PCR (27 MHz) of the first packet of s that carries one, and that
// packet's position; false without one.
bool FirstPcr(const std::string& s, uint64_t* pullPcr, size_t* pnPos)
{
    for (size_t i = 0; i + 188 <= s.size(); i += 188) {
        const auto* p = reinterpret_cast<const uint8_t*>(s.data() + i);
        if (p[0] != 0x47 || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10))
            continue;
        const uint64_t ullBase = (static_cast<uint64_t>(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) |
                                 (p[10] >> 7);
        *pullPcr = ullBase * 300 + (((p[10] & 1) << 8) | p[11]);
        *pnPos = i;
        return true;
    }
    return false;
}

class CDVRTimeTest : public CToolTest
{
protected:
    std::string StartWriter(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {"dvr-write", "--folder", m_strDir};
        all.insert(all.end(), args.begin(), args.end());
        // The line of an earlier writer must not pass for this one's.
        (void)unlink(P("writer.out").c_str());
        m_writer.Start(all, P("writer.out"), P("writer.err"));
        return WaitForLine(P("writer.out"), "stub ");
    }
    CChild m_writer;
};

}  // namespace

TEST_F(CDVRTimeTest, CopyByTimeStartsWithinATenthOfASecondAndMatchesTheSameRangeByOffset)
{
    // The built-in sender's stream at 1 MiB/s (8.4 Mbit/s) through a ring
    // of 10 recordings that wraps several times.
    const int nSeconds = EnvInt("KV_TIMEINDEX_SECONDS", 4);
    const int nTrials = EnvInt("KV_TIMEINDEX_TRIALS", 20);
    const std::string strFileSize = FullRun() ? "1M" : "128K";
    const std::string strStub =
        StartWriter({"--files", "10", "--file-size", strFileSize, "--ts-pattern", "--rate", std::to_string(kRate),
                     "--total", std::to_string(kRate * nSeconds)});
    ASSERT_FALSE(strStub.empty());
    const std::string strTime0 = WaitForLine(P("writer.out"), "time0 ");
    const LONGLONG llTime0 = atoll(strTime0.c_str());
    ASSERT_GT(llTime0, 0);
    ASSERT_EQ(0, m_writer.Wait(static_cast<DWORD>(nSeconds + 10) * 1000 * kToolSlowdown));

    SToolRun info = Run({"dvr-info", strStub});
    ASSERT_EQ(0, info.nExit) << info.strErr;
    LONGLONG llFirst = 0, llLast = 0;
    ASSERT_TRUE(Span(info.strOut, &llFirst, &llLast)) << info.strOut;
    // The ring holds its last ten recordings, about 1.25 s (CI) or 10 s.
    EXPECT_GT(llLast - llFirst, (FullRun() ? 8 : 1) * kFileTimePerSecond) << info.strOut;
    EXPECT_NE(std::string::npos, info.strOut.find("average 8.")) << info.strOut;  // 8.39 Mbit/s
    // Each of the ten recordings with its own offsets and times.
    size_t nRecordingLines = 0;
    for (size_t n = 0; (n = info.strOut.find("entries, 8.", n)) != std::string::npos; ++n)
        ++nRecordingLines;
    EXPECT_GE(nRecordingLines, 9u) << info.strOut;

    const CTsGenerator gen(static_cast<uint64_t>(kRate) * 8);
    std::mt19937_64 rng(12345);
    double dWorstMs = 0;
    for (int nTrial = 0; nTrial < nTrials; ++nTrial) {
        // A time to the millisecond, as a user types it; half a second of
        // stream from it (or to the end).
        const LONGLONG llT = llFirst + static_cast<LONGLONG>(rng() % static_cast<uint64_t>(llLast - llFirst + 1)) /
                                           kFileTimePerMs * kFileTimePerMs;
        const LONGLONG llT2 = llT + kFileTimePerSecond / 2;
        std::vector<std::string> args = {"copy", "--from-time", FormatFileTime(llT)};
        if (llT2 <= llLast) {
            args.push_back("--to-time");
            args.push_back(FormatFileTime(llT2));
        }
        args.push_back(strStub);
        args.push_back(P("cut.ts"));
        const SToolRun run = Run(args);
        ASSERT_EQ(0, run.nExit) << FormatFileTime(llT) << ": " << run.strErr;
        long long llA = 0, llB = 0;
        ASSERT_TRUE(CopiedRange(run.strErr, &llA, &llB)) << run.strErr;
        const std::string s = ReadAll(P("cut.ts"));
        ASSERT_EQ(static_cast<size_t>(llB - llA), s.size());
        // A whole number of packets from a packet boundary, and exactly the
        // stream's bytes at those offsets.
        EXPECT_EQ(0, llA % 188);
        EXPECT_EQ(-1, gen.FirstMismatch(static_cast<uint64_t>(llA), reinterpret_cast<const uint8_t*>(s.data()),
                                        s.size()));
        // The stream's own clock: the first PCR in the piece, less the time
        // of the bytes before it, against the time asked.
        uint64_t ullPcr = 0;
        size_t nPos = 0;
        ASSERT_TRUE(FirstPcr(s, &ullPcr, &nPos));
        const double dStreamSec = static_cast<double>(ullPcr) / 27e6 - static_cast<double>(nPos) / kRate;
        const double dAskedSec = static_cast<double>(llT - llTime0) / 1e7;
        const double dErrorMs = (dStreamSec - dAskedSec) * 1000;
        dWorstMs = std::max(dWorstMs, std::abs(dErrorMs));
        EXPECT_LE(std::abs(dErrorMs), 100.0) << "asked " << FormatFileTime(llT) << ", got stream time " << dStreamSec;
        if (nTrial % 5 == 0) {
            // The same range by offset gives the same bytes.
            const SToolRun byOffset =
                Run({"copy", strStub, std::to_string(llA), std::to_string(llB), P("byoffset.ts")});
            ASSERT_EQ(0, byOffset.nExit) << byOffset.strErr;
            EXPECT_EQ(s, ReadAll(P("byoffset.ts")));
        }
    }
    printf("[ figures  ] copy --from-time over %d times: worst start %.1f ms from the stream's clock\n", nTrials,
           dWorstMs);

    // Outside the span: refused, naming it.
    for (LONGLONG llOutside : {llFirst - kFileTimePerSecond, llLast + kFileTimePerSecond}) {
        const SToolRun run = Run({"copy", "--from-time", FormatFileTime(llOutside), strStub, P("none.ts")});
        EXPECT_EQ(1, run.nExit);
        EXPECT_NE(std::string::npos, run.strErr.find("outside the span the buffer holds, " + FormatFileTime(llFirst) +
                                                     " .. " + FormatFileTime(llLast)))
            << run.strErr;
        EXPECT_EQ(-1, FileSize(P("none.ts")));
    }
    // The receive-time log's form names the same time (UTC, milliseconds).
    const LONGLONG llMid = (llFirst + llLast) / 2 / kFileTimePerMs * kFileTimePerMs;
    const std::string strIso = FormatFileTime(llMid);
    std::string strLog = "cam_" + strIso.substr(0, 4) + "_" + strIso.substr(5, 2) + "_" + strIso.substr(8, 2) + "__" +
                         strIso.substr(11, 2) + "_" + strIso.substr(14, 2) + "_" + strIso.substr(17, 2) + "_" +
                         strIso.substr(20, 3) + ".ts";
    const SToolRun a = Run({"copy", "--from-time", strIso, strStub, P("a.ts")});
    const SToolRun b = Run({"copy", "--from-time", strLog, strStub, P("b.ts")});
    ASSERT_EQ(0, a.nExit) << a.strErr;
    ASSERT_EQ(0, b.nExit) << b.strErr;
    EXPECT_EQ(Field(a.strErr, "offsets "), Field(b.strErr, "offsets "));
    // follow starts where copy does, and serves the same bytes.
    const SToolRun f = Run({"follow", "--from-time", strIso, "-o", P("f.ts"), strStub});
    ASSERT_EQ(0, f.nExit) << f.strErr;
    const std::string strFrom = Field(f.strErr, "from offset ");
    EXPECT_EQ(strFrom, Field(a.strErr, "offsets ").substr(0, strFrom.size())) << f.strErr << a.strErr;
    EXPECT_EQ(ReadAll(P("f.ts")).substr(0, 1 << 16), ReadAll(P("a.ts")).substr(0, 1 << 16));

    // --keyframe: the test stream marks each PES start random-access; the
    // cut lands on one, or on the PAT and PMT right before it.
    const SToolRun key = Run({"copy", "--keyframe", "--from-time", strIso, strStub, P("key.ts")});
    ASSERT_EQ(0, key.nExit) << key.strErr;
    const std::string k = ReadAll(P("key.ts"));
    ASSERT_GE(k.size(), 188u);
    const int nPid = ((k[1] & 0x1F) << 8) | static_cast<uint8_t>(k[2]);
    if (nPid == 0)
        EXPECT_EQ(CTsGenerator::kPmtPid, ((k[189] & 0x1F) << 8) | static_cast<uint8_t>(k[190]));
    else
        EXPECT_TRUE(nPid == CTsGenerator::kDataPid && (k[3] & 0x20) && (k[5] & 0x40)) << "PID " << nPid;
    long long llKey = 0, llKeyEnd = 0, llPlain = 0, llPlainEnd = 0;
    ASSERT_TRUE(CopiedRange(key.strErr, &llKey, &llKeyEnd));
    ASSERT_TRUE(CopiedRange(a.strErr, &llPlain, &llPlainEnd));
    EXPECT_GE(llKey, llPlain);
    EXPECT_LT(llKey, llPlain + 130 * 188);  // within one PSI cycle
}

TEST_F(CDVRTimeTest, FollowersStartedApartCountTheSameOffsetsAsTheWriterAndEachOther)
{
    const int nSeconds = EnvInt("KV_TIMEINDEX_SECONDS", 3);
    const int nApartMs = FullRun() ? 10000 : 1000;
    const std::string strStub =
        StartWriter({"--files", "4", "--file-size", "128K", "--block", "4096", "--pattern", std::to_string(kSeed),
                     "--rate", std::to_string(kRate), "--total", std::to_string(kRate * nSeconds)});
    ASSERT_FALSE(strStub.empty());
    CChild first, second;
    first.Start({"follow", "-o", P("first.bin"), strStub}, P("first.out"), P("first.err"));
    ASSERT_TRUE(WaitForSize(P("first.bin"), 1, 5000));
    Sleep(static_cast<DWORD>(nApartMs));  // the second one starts later, by design
    second.Start({"follow", "-o", P("second.bin"), strStub}, P("second.out"), P("second.err"));
    ASSERT_EQ(0, m_writer.Wait(static_cast<DWORD>(nSeconds + 10) * 1000 * kToolSlowdown));
    ASSERT_EQ(0, first.Wait(5000 * kToolSlowdown)) << ReadAll(P("first.err"));
    ASSERT_EQ(0, second.Wait(5000 * kToolSlowdown)) << ReadAll(P("second.err"));
    // And one more after the writer is gone.
    const SToolRun third = Run({"follow", "-o", P("third.bin"), strStub});
    ASSERT_EQ(0, third.nExit) << third.strErr;

    long long allFrom[3];
    const std::string astrErr[3] = {ReadAll(P("first.err")), ReadAll(P("second.err")), third.strErr};
    const std::string astrOut[3] = {ReadAll(P("first.bin")), ReadAll(P("second.bin")), ReadAll(P("third.bin"))};
    std::string strStream;
    for (int i = 0; i < 3; ++i) {
        const std::string s = Field(astrErr[i], "kvudpsrc follow: stream ");
        ASSERT_FALSE(s.empty()) << astrErr[i];
        // "{ID}, from offset N"
        if (i == 0)
            strStream = s.substr(0, s.find(','));
        EXPECT_EQ(strStream, s.substr(0, s.find(','))) << astrErr[i];
        allFrom[i] = atoll(s.c_str() + s.find("from offset ") + 12);
        EXPECT_EQ(std::string::npos, astrErr[i].find("discontinuity")) << astrErr[i];
        // Every byte served is the writer's byte at the offset reported.
        for (size_t k = 0; k < astrOut[i].size(); ++k)
            ASSERT_EQ(static_cast<uint8_t>(astrOut[i][k]), PatternByte(kSeed, static_cast<uint64_t>(allFrom[i]) + k))
                << "follower " << i << " at offset " << allFrom[i] + static_cast<long long>(k);
        EXPECT_EQ(allFrom[i] + static_cast<long long>(astrOut[i].size()), kRate * nSeconds) << i;
    }
    EXPECT_EQ(0, allFrom[0]);
    EXPECT_GT(allFrom[1], 0);  // started after the ring wrapped
    EXPECT_GT(allFrom[2], allFrom[1]);
    const SToolRun info = Run({"dvr-info", strStub});
    EXPECT_NE(std::string::npos, info.strOut.find("stream        " + strStream)) << info.strOut;
    // A stream identifier that is not the buffer's is refused.
    const SToolRun wrong = Run({"copy", "--stream", "{00000000-0000-4000-8000-000000000000}", strStub,
                                std::to_string(allFrom[2]), "end", P("wrong.bin")});
    EXPECT_EQ(1, wrong.nExit);
    EXPECT_NE(std::string::npos, wrong.strErr.find("the buffer holds stream " + strStream)) << wrong.strErr;
    const SToolRun right =
        Run({"copy", "--stream", strStream, strStub, std::to_string(allFrom[2]), "end", P("right.bin")});
    EXPECT_EQ(0, right.nExit) << right.strErr;
    EXPECT_EQ(astrOut[2], ReadAll(P("right.bin")));
}

TEST_F(CDVRTimeTest, AWriterKilledAtAnyMomentLeavesAnIndexThatNeverPointsPastItsData)
{
    const int nTrials = EnvInt("KV_TIMEINDEX_TRIALS", 20);
    std::mt19937 rng(777);
    int nWithSpan = 0;
    for (int nTrial = 0; nTrial < nTrials; ++nTrial) {
        (void)system(("rm -f '" + m_strDir + "'/Capture*").c_str());
        const std::string strStub =
            StartWriter({"--files", "4", "--file-size", "64K", "--block", "1316", "--pattern", std::to_string(kSeed),
                         "--rate", "2M", "--total", "1G"});
        ASSERT_FALSE(strStub.empty());
        Sleep(10 + rng() % 300);  // a random moment of the writer's life
        m_writer.Signal(SIGKILL);
        ASSERT_EQ(128 + SIGKILL, m_writer.Wait(5000));

        // Every entry the index holds, checked or not by a reader, names
        // bytes that are in its recording file, and they are the stream's.
        for (int nSlot = 0; nSlot < 4; ++nSlot) {
            const std::string strIdx = ReadAll(P("Capture_" + std::to_string(nSlot) + ".KRI"));
            const std::string strRec = ReadAll(P("Capture_" + std::to_string(nSlot) + ".KRC"));
            dvr::SParsedIndex parsed;
            if (strIdx.size() < 64 ||
                FAILED(dvr::ParseIndex(reinterpret_cast<const BYTE*>(strIdx.data()), strIdx.size(),
                                       static_cast<LONGLONG>(strRec.size()), &parsed)))
                continue;
            const LONGLONG llStart = parsed.header.llStart;
            for (size_t i = 64; i + 32 <= strIdx.size(); i += 32) {
                const auto* pb = reinterpret_cast<const BYTE*>(strIdx.data() + i);
                if (dvr::Crc32c(parsed.header.dwCrc, pb, 28) != dvr::GetLE32(pb + 28))
                    continue;  // torn: a reader stops here
                const LONGLONG llOffset = static_cast<LONGLONG>(dvr::GetLE64(pb));
                const LONGLONG llIn = llOffset - llStart;
                ASSERT_GE(llIn, 0) << "trial " << nTrial;
                ASSERT_LE(llIn, static_cast<LONGLONG>(strRec.size())) << "trial " << nTrial << " slot " << nSlot;
                // The byte at the entry (or before an end entry) is there and is
                // the stream's byte at that offset, not an older lap's.
                const LONGLONG llCheck = llIn < static_cast<LONGLONG>(strRec.size()) ? llIn : llIn - 1;
                if (llCheck >= 0) {
                    ASSERT_EQ(static_cast<uint8_t>(strRec[static_cast<size_t>(llCheck)]),
                              PatternByte(kSeed, static_cast<uint64_t>(llStart + llCheck)))
                        << "trial " << nTrial << " slot " << nSlot;
                }
            }
        }
        // The dead ring still answers by time.
        const SToolRun info = Run({"dvr-info", strStub});
        ASSERT_EQ(0, info.nExit) << info.strErr;
        LONGLONG llFirst = 0, llLast = 0;
        if (!Span(info.strOut, &llFirst, &llLast))
            continue;  // killed before anything was indexed
        ++nWithSpan;
        const LONGLONG llT = (llFirst + llLast) / 2;
        const SToolRun copy = Run({"copy", "--from-time", FormatFileTime(llT), strStub, P("cut.bin")});
        ASSERT_EQ(0, copy.nExit) << copy.strErr;
        long long llA = 0, llB = 0;
        ASSERT_TRUE(CopiedRange(copy.strErr, &llA, &llB)) << copy.strErr;
        const std::string s = ReadAll(P("cut.bin"));
        ASSERT_EQ(static_cast<size_t>(llB - llA), s.size());
        for (size_t k = 0; k < s.size(); ++k)
            ASSERT_EQ(static_cast<uint8_t>(s[k]), PatternByte(kSeed, static_cast<uint64_t>(llA) + k))
                << "trial " << nTrial;
    }
    EXPECT_GT(nWithSpan, nTrials / 2);
}

TEST_F(CDVRTimeTest, AFollowerGoesOnWithTheNewStreamWhenItsWriterStartsTheRingAgain)
{
    // The writer lives in this process (as the receive thread does) and
    // starts its ring again under the same stub; the follower is the tool.
    CBaseDVRSink* pSink = new CBaseDVRSink("test sink", nullptr);
    pSink->NonDelegatingAddRef();
    BSTR bstrDir = SysAllocString(Utf8ToWide(m_strDir).c_str());
    BSTR bstrName = SysAllocString(u"Restarted");
    ASSERT_EQ(pSink->StartChangingAttributes(), S_OK);
    ASSERT_EQ(pSink->SetFolderName(0, bstrDir), S_OK);
    ASSERT_EQ(pSink->SetBufferSize(0, 4, 65536.0), S_OK);
    ASSERT_EQ(pSink->SetBaseName(bstrName), S_OK);
    ASSERT_EQ(pSink->EndChangingAttributes(VARIANT_FALSE), S_OK);
    SysFreeString(bstrDir);
    SysFreeString(bstrName);
    ASSERT_EQ(pSink->StartDVR(), S_OK);
    auto write = [&](uint64_t ullFrom, size_t cb) {
        std::vector<BYTE> v(cb);
        for (size_t i = 0; i < cb; ++i)
            v[i] = PatternByte(kSeed, ullFrom + i);
        return pSink->WriteData(v.data(), static_cast<LONG>(cb));
    };
    ASSERT_EQ(write(0, 30000), S_OK);
    (void)pSink->BeginWaitingForData();
    const GUID guidFirst = pSink->GetStreamIdentifier();

    CChild follower;
    follower.Start({"follow", "-o", P("out.bin"), P("Restarted.KBL")}, P("follow.out"), P("follow.err"));
    ASSERT_TRUE(WaitForSize(P("out.bin"), 30000, 5000));
    ASSERT_EQ(pSink->RestartDVR(), S_OK);
    const GUID guidSecond = pSink->GetStreamIdentifier();
    ASSERT_NE(guidFirst, guidSecond);
    // The new stream from 0 again (the same pattern, so a byte served from
    // the wrong place shows).
    for (uint64_t ull = 0; ull < 100000; ull += 10000) {
        ASSERT_EQ(write(ull, 10000), S_OK);
        Sleep(20);  // paced like a stream, so that the follower sees it grow
    }
    (void)pSink->BeginWaitingForData();
    ASSERT_TRUE(WaitForSize(P("out.bin"), 130000, 10000));
    ASSERT_EQ(pSink->StopDVR(), S_OK);
    ASSERT_EQ(0, follower.Wait(5000 * kToolSlowdown)) << ReadAll(P("follow.err"));
    pSink->NonDelegatingRelease();

    const std::string strErr = ReadAll(P("follow.err"));
    EXPECT_NE(std::string::npos, strErr.find("stream " + GuidToString(guidFirst) + ", from offset 0")) << strErr;
    const std::string strAgain = "the writer started the buffer again: stream " + GuidToString(guidSecond);
    EXPECT_NE(std::string::npos, strErr.find(strAgain + ", from offset 0")) << strErr;
    EXPECT_NE(std::string::npos, strErr.find("1 new streams")) << strErr;
    // The first stream, then the second one whole: nothing lost, nothing
    // served twice.
    const std::string s = ReadAll(P("out.bin"));
    ASSERT_EQ(s.size(), 130000u);
    for (size_t i = 0; i < s.size(); ++i)
        ASSERT_EQ(static_cast<uint8_t>(s[i]), PatternByte(kSeed, i < 30000 ? i : i - 30000)) << i;
}
