// H.264 and JPEG from ffmpeg in RTP through the impairment relay (drops,
// reordering far beyond the receiver's window, bit flips, truncated
// datagrams) into a receive thread. What the receiver hands on must never be
// silently broken: every unit either carries the discontinuity flag or
// decodes with ffmpeg without an error, except where the relay itself
// damaged the bytes of a frame (a flipped bit or a cut in the payload cannot
// be seen by any receiver; the relay's record names those frames by their
// RTP time stamps). Memory stays bounded meanwhile.
//
// JPEG units are whole images and are judged one by one. H.264 units are
// NAL units, judged by group of pictures: a group (from its SPS to the next)
// with a flagged or damaged unit is excused, since every later picture of it
// refers back to the broken one; every other group must decode alone,
// without an error, to one picture per time stamp it carries.
#include <sys/wait.h>

#include <fstream>
#include <future>
#include <map>
#include <set>

#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"
#include "tools/impairrelay.h"

using namespace recvtest;

namespace {

using commontest::RunCommand;

// Pictures ffmpeg decodes from a file; its complaints into *pErrors.
int Decode(const std::string& strFormat, const std::string& strPath, std::string* pErrors)
{
    return commontest::FfmpegFrames("-f " + strFormat + " -i " + strPath, pErrors);
}

long RssKiB()
{
    std::ifstream f("/proc/self/status");
    std::string str;
    while (std::getline(f, str))
        if (str.compare(0, 6, "VmRSS:") == 0)
            return atol(str.c_str() + 6);
    return -1;
}

// A 90 kHz RTP time stamp as the receiver's unit time (100 ns).
LONGLONG UnitTime(uint32_t dwStamp)
{
    return static_cast<LONGLONG>(static_cast<ULONGLONG>(dwStamp) * 1000 / 9);
}

struct SMediaRun
{
    std::vector<SUnit> units;
    std::vector<SImpairEvent> events;
    std::string strSummary;
    long lRssGrowthKiB = 0;
};

// ffmpeg sends (strSend, PORT replaced by the relay's) through the relay
// into a receive thread with the given options.
SMediaRun RunThrough(const char16_t* pszOptions, const std::string& strSend, const SImpairPlan& plan, uint32_t dwSeed)
{
    SMediaRun run;
    const long lRssBefore = RssKiB();
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", pszOptions);
    EXPECT_NE(0, wPort);
    std::future<HRESULT> read = std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });
    // KV_RELAY_SEED=N: other seeds.
    const char* pszSeed = getenv("KV_RELAY_SEED");
    CImpairRelay relay(plan, dwSeed + (pszSeed ? 1000u * static_cast<uint32_t>(atoi(pszSeed)) : 0u));
    const uint16_t wRelay = relay.Start(Addr("127.0.0.1"), ntohs(wPort));
    EXPECT_NE(0, wRelay);
    std::string strCmd = strSend, strOut;
    strCmd.replace(strCmd.find("PORT"), 4, std::to_string(wRelay));
    EXPECT_EQ(0, RunCommand(strCmd, &strOut)) << strOut;
    // The sender is done; what the relay still holds goes out on its stop,
    // and the units stop coming once it has.
    relay.Stop();
    for (int i = 0; i < 100; ++i) {
        recv.m_pin.ExpectUnits(static_cast<LONG>(recv.m_pin.Units().size()) + 1);
        if (!recv.m_pin.WaitReached(150))
            break;
    }
    run.lRssGrowthKiB = RssKiB() - lRssBefore;
    EXPECT_EQ(std::future_status::ready, read.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    run.units = recv.m_pin.Units();
    run.events = relay.Events();
    run.strSummary = relay.Summary();
    return run;
}

// Unit times of the frames the relay damaged; every time stamp it passed.
void Stamps(const std::vector<SImpairEvent>& events, std::set<LONGLONG>* pDamaged, std::set<LONGLONG>* pAll)
{
    for (const SImpairEvent& e : events) {
        pAll->insert(UnitTime(e.dwRtpTime));
        if (!e.bDropped && (e.nFlipByte >= 0 || e.nCutTo >= 0))
            pDamaged->insert(UnitTime(e.dwRtpTime));
    }
}

// dScale: 1 for about one packet in 25 impaired.
SImpairPlan HostilePlan(double dScale)
{
    SImpairPlan plan;
    plan.dDrop = 0.01 * dScale;
    plan.dBurst = 0.002 * dScale;
    plan.nBurstLength = 8;
    plan.dReorder = 0.02 * dScale;
    plan.nReorderDistance = 12;  // beyond the reorder queue
    plan.dFlip = 0.005 * dScale;
    plan.dTruncate = 0.005 * dScale;
    plan.dDuplicate = 0.01 * dScale;
    return plan;
}

long Count(const std::vector<SImpairEvent>& events, bool SImpairEvent::*pm)
{
    long n = 0;
    for (const SImpairEvent& e : events)
        n += e.*pm;
    return n;
}

int NalType(const Bytes& v)
{
    for (size_t i = 0; i + 3 < v.size(); ++i)
        if (v[i] == 0 && v[i + 1] == 0 && v[i + 2] == 1)
            return v[i + 3] & 0x1F;
    return -1;
}

class CRelayMediaInterop : public ::testing::Test
{
protected:
    CTempDir m_dir;
};

}  // namespace

TEST_F(CRelayMediaInterop, JpegImagesFromAFaultyStreamDecodeOrCarryTheDiscontinuityFlag)
{
    const SMediaRun run =
        RunThrough(nullptr,
            "ffmpeg -nostdin -v error -re -f lavfi -i testsrc=size=640x480:rate=25 -t 3 -c:v mjpeg -q:v 3 "
            "-pix_fmt yuvj420p -huffman default -force_duplicated_matrix 1 -f rtp 'rtp://127.0.0.1:PORT?pkt_size=1000'",
            HostilePlan(1), 21);
    std::set<LONGLONG> damaged, all;
    Stamps(run.events, &damaged, &all);
    Bytes clean;
    long nClean = 0, nFlagged = 0, nDamaged = 0;
    size_t cbLargest = 0;
    for (const SUnit& u : run.units) {
        cbLargest = std::max(cbLargest, u.data.size());
        EXPECT_TRUE(u.bEndOfUnit);
        EXPECT_EQ(1u, all.count(u.rtStart)) << "a unit time no packet carried: " << u.rtStart;
        if (u.dwFlags & RTPUNIT_DISCONTINUITY) {
            ++nFlagged;
        } else if (damaged.count(u.rtStart)) {
            ++nDamaged;
        } else {
            clean.insert(clean.end(), u.data.begin(), u.data.end());
            ++nClean;
        }
    }
    printf("jpeg: relay %s; %zu images: %ld flagged, %ld damaged by the relay, %ld to decode; largest %zu bytes, "
           "RSS %+ld KiB\n",
           run.strSummary.c_str(), run.units.size(), nFlagged, nDamaged, nClean, cbLargest, run.lRssGrowthKiB);
    // Images are independent: the receiver drops a broken one whole and
    // needs no flag on the next, which decodes alone.
    EXPECT_GT(Count(run.events, &SImpairEvent::bDropped), 0);
    EXPECT_GT(nClean, 25);
    const std::string strPath = m_dir.Path() + "/clean.mjpeg";
    commontest::WriteFileBytes(strPath, clean);
    std::string strErrors;
    EXPECT_EQ(nClean, Decode("mjpeg", strPath, &strErrors));
    EXPECT_EQ("", strErrors);
    if (!strErrors.empty()) {
        // Which images: each on its own.
        int n = 0;
        for (const SUnit& u : run.units) {
            if ((u.dwFlags & RTPUNIT_DISCONTINUITY) || damaged.count(u.rtStart))
                continue;
            const std::string strOne = m_dir.Path() + "/one.jpg";
            commontest::WriteFileBytes(strOne, u.data);
            std::string strOneErrors;
            if (Decode("mjpeg", strOne, &strOneErrors) != 1 || !strOneErrors.empty())
                ADD_FAILURE() << "image " << n << " at " << u.rtStart << " (" << u.data.size()
                              << " bytes): " << strOneErrors;
            ++n;
        }
    }
    EXPECT_LT(cbLargest, 1u << 20);
    EXPECT_LT(run.lRssGrowthKiB, 64 * 1024);
}

TEST_F(CRelayMediaInterop, H264GroupsFromAFaultyStreamDecodeOrCarryTheDiscontinuityFlag)
{
    // An IDR every 8 pictures, its SPS and PPS in band before it.
    const SMediaRun run = RunThrough(u"?rtpmap=96;H264/90000",
                              "ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=640x480:rate=25 -t 4 "
                              "-c:v libx264 -crf 16 -g 8 -bf 0 -pix_fmt yuv420p -x264-params repeat-headers=1 "
                              "-f rtp -payload_type 96 'rtp://127.0.0.1:PORT?pkt_size=1000'",
                              HostilePlan(0.4), 22);
    std::set<LONGLONG> damaged, all;
    Stamps(run.events, &damaged, &all);
    // Groups of pictures: from one SPS to the next.
    struct SGroup
    {
        Bytes data;
        std::set<LONGLONG> times;
        bool bExcused = false;
    };
    std::vector<SGroup> groups;
    long nBeforeFirstSps = 0, nFlagged = 0;
    size_t cbLargest = 0;
    for (const SUnit& u : run.units) {
        cbLargest = std::max(cbLargest, u.data.size());
        EXPECT_EQ(1u, all.count(u.rtStart)) << "a unit time no packet carried: " << u.rtStart;
        if (NalType(u.data) == 7)
            groups.emplace_back();
        nFlagged += (u.dwFlags & RTPUNIT_DISCONTINUITY) != 0;
        if (groups.empty()) {
            ++nBeforeFirstSps;
            continue;
        }
        SGroup& g = groups.back();
        g.data.insert(g.data.end(), u.data.begin(), u.data.end());
        g.times.insert(u.rtStart);  // parameter sets share their picture's
        if ((u.dwFlags & RTPUNIT_DISCONTINUITY) || damaged.count(u.rtStart))
            g.bExcused = true;
    }
    long nChecked = 0, nPictures = 0;
    for (size_t i = 0; i < groups.size(); ++i) {
        if (groups[i].bExcused)
            continue;
        ++nChecked;
        const std::string strPath = m_dir.Path() + "/group" + std::to_string(i) + ".h264";
        commontest::WriteFileBytes(strPath, groups[i].data);
        std::string strErrors;
        const int nDecoded = Decode("h264", strPath, &strErrors);
        nPictures += nDecoded;
        EXPECT_EQ(static_cast<int>(groups[i].times.size()), nDecoded) << "group " << i;
        EXPECT_EQ("", strErrors) << "group " << i;
    }
    printf("h264: relay %s; %zu units (%ld flagged, %ld before the first SPS), %zu groups, %ld without a flag or "
           "damage decoded to %ld pictures; largest unit %zu bytes, RSS %+ld KiB\n",
           run.strSummary.c_str(), run.units.size(), nFlagged, nBeforeFirstSps, groups.size(), nChecked, nPictures,
           cbLargest, run.lRssGrowthKiB);
    EXPECT_GT(nFlagged, 0);
    EXPECT_GE(nChecked, 3);
    EXPECT_LT(cbLargest, 1u << 20);
    EXPECT_LT(run.lRssGrowthKiB, 64 * 1024);
}
