// Where a transport stream may be cut: the packet grid found in arbitrary
// bytes, and the random-access point with the PSI that precedes it.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tscut.h"

namespace {

// Builds packets the way a muxer lays them out (ISO/IEC 13818-1, 2.4.3).
std::vector<uint8_t> Packet(uint16_t wPid, bool bPusi, const std::vector<uint8_t>& payload, bool bRai = false)
{
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((bPusi ? 0x40 : 0) | (wPid >> 8));
    p[2] = static_cast<uint8_t>(wPid);
    size_t i = 4;
    if (bRai) {
        p[3] = 0x30;
        p[4] = 1;
        p[5] = 0x40;  // random_access_indicator
        i = 6;
    } else {
        p[3] = 0x10;
    }
    for (size_t k = 0; k < payload.size() && i < 188; ++k)
        p[i++] = payload[k];
    return p;
}

// A PAT naming one PMT on PID 0x1000.
std::vector<uint8_t> Pat()
{
    return Packet(0, true, {0x00, 0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00, 0, 0, 0, 0});
}

// A video PES header (stream_id 0xE0, no optional fields beyond the 3
// bytes), then the given payload.
std::vector<uint8_t> VideoPes(const std::vector<uint8_t>& es)
{
    static const uint8_t abHeader[9] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00};
    std::vector<uint8_t> v(sizeof(abHeader) + es.size());
    memcpy(v.data(), abHeader, sizeof(abHeader));
    for (size_t i = 0; i < es.size(); ++i)
        v[sizeof(abHeader) + i] = es[i];
    return v;
}

// Feeds packets from stream offset 0; the cut, or -1.
long long Cut(const std::vector<std::vector<uint8_t>>& packets)
{
    tscut::CRandomAccessFinder finder;
    for (size_t i = 0; i < packets.size(); ++i) {
        long long llCut = -1;
        if (finder.Feed(packets[i].data(), static_cast<long long>(i * 188), &llCut))
            return llCut;
    }
    return -1;
}

}  // namespace

TEST(CTsCutTest, ThePacketGridIsFoundBehindAnyPrefixAndOnlyInATransportStream)
{
    std::vector<uint8_t> v;
    for (int i = 0; i < 6; ++i) {
        const std::vector<uint8_t> p = Packet(0x100, false, std::vector<uint8_t>(184, static_cast<uint8_t>(i)));
        v.insert(v.end(), p.begin(), p.end());
    }
    for (size_t nSkip : {0u, 1u, 100u, 187u}) {
        const long long ll = tscut::FindPacketStart(v.data() + nSkip, v.size() - nSkip);
        EXPECT_EQ(ll, nSkip == 0 ? 0 : static_cast<long long>(188 - nSkip)) << nSkip;
    }
    std::vector<uint8_t> noise(2000);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(tscut::FindPacketStart(noise.data(), noise.size()), -1);
    EXPECT_EQ(tscut::FindPacketStart(v.data(), 188 * 3), -1);  // too short to tell
}

TEST(CTsCutTest, TheCutIsTheFirstRandomAccessPointWithThePsiRightBeforeIt)
{
    const std::vector<uint8_t> pmt = Packet(0x1000, true, {0x00, 0x02});
    const std::vector<uint8_t> audio = Packet(0x101, true, {0x00, 0x00, 0x01, 0xC0});
    const std::vector<uint8_t> pSlice = Packet(0x100, true, VideoPes({0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41, 0x9A}));
    // Access unit delimiter, SPS, PPS, IDR slice.
    const std::vector<uint8_t> idr = Packet(
        0x100, true, VideoPes({0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x68, 0xEE, 0, 0, 1, 0x65, 0x88}));

    // An IDR after a P frame; PAT and PMT before it are taken along, audio
    // between them and it is not PSI and ends the run.
    EXPECT_EQ(Cut({pSlice, audio, Pat(), pmt, idr}), 2 * 188);
    EXPECT_EQ(Cut({pSlice, Pat(), pmt, audio, idr}), 4 * 188);
    // The adaptation field's random_access_indicator alone is enough.
    EXPECT_EQ(Cut({pSlice, audio, Packet(0x100, false, {}, true)}), 2 * 188);
    // Null packets never are.
    EXPECT_EQ(Cut({Packet(0x1FFF, false, {}, true), pSlice}), -1);
    // A P slice first in the PES decides: no IDR there.
    EXPECT_EQ(Cut({pSlice, Packet(0x100, false, {0, 0, 1, 0x65})}), -1);

    // The IDR's NAL header in the next packet, its start code split across
    // the two (after a long SEI): the cut is the PES's first packet.
    std::vector<uint8_t> sei = {0, 0, 0, 1, 0x06, 0x05};
    sei.resize(184 - 9 - 2, 0x5A);  // the packet ends with the first two bytes of the start code
    sei.push_back(0);
    sei.push_back(0);
    EXPECT_EQ(Cut({audio, Pat(), pmt, Packet(0x100, true, VideoPes(sei)), Packet(0x100, false, {0x01, 0x65, 0x88})}),
              188);
    // The PES header itself may reach into the next packet (25 of its 209
    // bytes there): a start code inside it is no NAL unit, one right after
    // it is.
    std::vector<uint8_t> longHeader(184, 0xFF);
    const uint8_t abPesHeader[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 200};
    std::copy(std::begin(abPesHeader), std::end(abPesHeader), longHeader.begin());
    std::vector<uint8_t> inHeader(20, 0xFF), afterHeader(25, 0xFF);
    for (uint8_t b : {0x00, 0x00, 0x01, 0x65}) {
        inHeader.push_back(b);
        afterHeader.push_back(b);
    }
    const std::vector<uint8_t> pNext = Packet(0x100, false, {0, 0, 1, 0x41});
    EXPECT_EQ(Cut({Packet(0x100, true, longHeader), Packet(0x100, false, inHeader), pNext}), -1);
    EXPECT_EQ(Cut({Packet(0x100, true, longHeader), Packet(0x100, false, afterHeader), pNext}), 0);
}

// A stream of numbered packets: every packet says where it belongs, so
// that the output shows any packet joined from two places.
namespace {

std::vector<uint8_t> NumberedStream(size_t nPackets)
{
    std::vector<uint8_t> v(nPackets * tscut::kPacketSize);
    for (size_t n = 0; n < nPackets; n++) {
        uint8_t* p = v.data() + n * tscut::kPacketSize;
        p[0] = tscut::kSyncByte;
        p[1] = static_cast<uint8_t>(n >> 8);
        p[2] = static_cast<uint8_t>(n);
        for (size_t i = 3; i < tscut::kPacketSize; i++)
            p[i] = static_cast<uint8_t>(n * 31 + i);
    }
    return v;
}

// A gate whose output is appended to *pOut.
tscut::CPacketGate GateInto(std::vector<uint8_t>* pOut)
{
    return tscut::CPacketGate([pOut](const uint8_t* pb, size_t cb) {
        pOut->insert(pOut->end(), pb, pb + cb);
        return true;
    });
}

// Checks that out holds whole packets of in, in order; returns their numbers.
std::vector<size_t> PacketsOf(const std::vector<uint8_t>& in, const std::vector<uint8_t>& out, size_t cbOut)
{
    std::vector<size_t> vNumbers;
    for (size_t q = 0; q + tscut::kPacketSize <= cbOut; q += tscut::kPacketSize) {
        const uint8_t* p = out.data() + q;
        const size_t n = static_cast<size_t>(p[1]) << 8 | p[2];
        EXPECT_TRUE(n * tscut::kPacketSize < in.size() &&
                    memcmp(in.data() + n * tscut::kPacketSize, p, tscut::kPacketSize) == 0)
            << "the packet at output offset " << q << " is joined from two places";
        EXPECT_TRUE(vNumbers.empty() || vNumbers.back() < n) << "packet " << n << " out of order or twice";
        vNumbers.push_back(n);
    }
    return vNumbers;
}

}  // namespace

TEST(CPacketGateTest, JumpsDropTheTornPacketsAndNothingElse)
{
    const std::vector<uint8_t> in = NumberedStream(200);
    std::vector<uint8_t> out;
    tscut::CPacketGate gate = GateInto(&out);
    auto feed = [&](size_t llFrom, size_t cb) { ASSERT_TRUE(gate.Feed(static_cast<long long>(llFrom), in.data() + llFrom, cb)); };
    // Contiguous blocks that end inside packets pass unchanged.
    feed(0, 1000);
    feed(1000, 1000);
    // A jump from inside packet 10 (offset 2000) to inside packet 30.
    feed(30 * 188 + 50, 1000);
    // Another jump, to a packet boundary, and a block given partly again.
    feed(60 * 188, 500);
    feed(60 * 188 + 300, 700);
    // A jump whose block holds no packet boundary at all, then one that does.
    feed(100 * 188 + 1, 100);
    feed(100 * 188 + 101, 1000);
    ASSERT_TRUE(gate.Finish());
    const size_t cbTail = (100 * 188 + 1101) % 188;
    ASSERT_EQ(0u, (out.size() - cbTail) % 188);
    const std::vector<size_t> v = PacketsOf(in, out, out.size() - cbTail);
    std::vector<size_t> vExpected;
    for (size_t n = 0; n < 10; n++)  // 0..9 whole; 10 torn by the jump
        vExpected.push_back(n);
    for (size_t n = 31; (n + 1) * 188 <= 30 * 188 + 1050; n++)
        vExpected.push_back(n);
    for (size_t n = 60; (n + 1) * 188 <= 60 * 188 + 1000; n++)
        vExpected.push_back(n);
    for (size_t n = 101; (n + 1) * 188 <= 100 * 188 + 1101; n++)
        vExpected.push_back(n);
    EXPECT_EQ(vExpected, v);
    // Finish passes the last packet's head, which is the stream's own end.
    EXPECT_EQ(0, memcmp(out.data() + out.size() - cbTail, in.data() + (100 * 188 + 1101) / 188 * 188, cbTail));
    // The torn heads and tails, besides the bytes the jumps skipped.
    EXPECT_EQ(static_cast<long long>(2000 - 10 * 188) + (31 * 188 - (30 * 188 + 50)) + (30 * 188 + 1050 - 35 * 188) +
                  (60 * 188 + 1000 - 65 * 188) + (101 * 188 - (100 * 188 + 1)),
              gate.Dropped());
}

TEST(CPacketGateTest, AFirstReadTooShortToShowTheGridLeavesTheGateOn)
{
    const std::vector<uint8_t> in = NumberedStream(100);
    std::vector<uint8_t> out;
    tscut::CPacketGate gate = GateInto(&out);
    // 300 bytes (a TCP stream's first read), then whole packets, then a jump
    // into the middle of packet 50.
    ASSERT_TRUE(gate.Feed(0, in.data(), 300));
    ASSERT_TRUE(gate.Feed(300, in.data() + 300, 2000));
    ASSERT_TRUE(gate.Feed(50 * 188 + 60, in.data() + 50 * 188 + 60, 188 * 10));
    ASSERT_TRUE(gate.Finish());
    const size_t cbTail = (50 * 188 + 60 + 188 * 10) % 188;
    ASSERT_EQ(0u, (out.size() - cbTail) % 188);
    std::vector<size_t> vExpected;
    for (size_t n = 0; n < 2300 / 188; n++)
        vExpected.push_back(n);
    for (size_t n = 51; n < 60; n++)
        vExpected.push_back(n);
    EXPECT_EQ(vExpected, PacketsOf(in, out, out.size() - cbTail));
}

TEST(CPacketGateTest, AJumpFindsTheGridOfAStreamThatRestartedMidPacket)
{
    // A sender's stream cut 1000 bytes in (inside its sixth packet), then a
    // new stream on a grid of its own right after it, as a TCP reconnection
    // leaves the ring.
    const std::vector<uint8_t> a = NumberedStream(6), b = NumberedStream(80);
    std::vector<uint8_t> in(a.begin(), a.begin() + 1000);
    in.insert(in.end(), b.begin(), b.end());
    std::vector<uint8_t> out;
    tscut::CPacketGate gate = GateInto(&out);
    ASSERT_TRUE(gate.Feed(0, in.data(), 900));
    ASSERT_TRUE(gate.Feed(900, in.data() + 900, 2100));
    const size_t cbBefore = out.size();
    const size_t llJump = 1000 + 40 * 188 + 99;  // inside the new stream's packet 40
    ASSERT_TRUE(gate.Feed(static_cast<long long>(llJump), in.data() + llJump, 188 * 20));
    ASSERT_TRUE(gate.Finish());
    const std::vector<uint8_t> after(out.begin() + static_cast<long>(cbBefore), out.end());
    // The new stream's packets 41 to 59, whole, then the head of packet 60.
    ASSERT_GE(after.size(), 19u * 188);
    EXPECT_EQ(0, memcmp(after.data(), b.data() + 41 * 188, 19 * 188));
}

TEST(CPacketGateTest, AContiguousStreamAndBytesWithoutAGridPassUnchanged)
{
    const std::vector<uint8_t> in = NumberedStream(50);
    for (const bool bTs : {true, false}) {
        std::vector<uint8_t> src = in;
        if (!bTs)
            for (size_t i = 0; i < src.size(); i += 188)
                src[i] = 0x48;
        // A stream that starts inside a packet keeps its first bytes.
        std::vector<uint8_t> out;
        tscut::CPacketGate gate = GateInto(&out);
        size_t llPos = 77;
        for (size_t cb : {100u, 900u, 1u, 187u, 188u, 2000u, 3000u}) {
            cb = std::min(cb, src.size() - llPos);
            ASSERT_TRUE(gate.Feed(static_cast<long long>(llPos), src.data() + llPos, cb));
            llPos += cb;
        }
        ASSERT_TRUE(gate.Finish());
        EXPECT_TRUE(std::equal(src.begin() + 77, src.begin() + static_cast<long>(llPos), out.begin(), out.end()))
            << (bTs ? "transport stream" : "other bytes");
        EXPECT_EQ(0, gate.Dropped());
    }
}
