// Batched reading on real loopback sockets. Datagrams sent while the socket
// is open but before the read loop starts wait in the kernel, so the loop's
// first read takes them all as one batch: what each datagram does must not
// depend on the company it arrived in.
#include <future>

#include "dshowflt/common/dvr/dvrindex.h"
#include "dshowflt/common/dvr/dvrtimeindex.h"
#include "dshowflt/common/rtp/rtptestutil.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"

using namespace recvtest;
using rtptest::RtpPacket;

namespace {

constexpr int kDatagram = 1316;  // 7 transport packets

std::future<HRESULT> ReadAsync(CRecv& recv)
{
    return std::async(std::launch::async, [&recv] { return recv.Call(CMD_READ); });
}

bool Ready(std::future<HRESULT>& f, DWORD dwMs)
{
    return f.wait_for(std::chrono::milliseconds(dwMs)) == std::future_status::ready;
}

// Datagram i of the offset-stamped stream.
Bytes Datagram(int i)
{
    BYTE bCC = static_cast<BYTE>(i * 7);
    return TsPackets(static_cast<LONGLONG>(i) * kDatagram, 7, &bCC);
}

Bytes Rtp33(DWORD dwSeq, const Bytes& payload)
{
    RtpPacket pkt;
    pkt.bPayloadType = 33;  // MP2T (RFC 2250)
    pkt.dwSeq = dwSeq;
    pkt.dwTimestamp = dwSeq * 900;
    pkt.payload = payload;
    return pkt.Build();
}

// The record sizes of the ring's stub, in slot order.
std::vector<uint64_t> RecordSizes(const CWString& strStub)
{
    struct CReader : CDVREngine
    {
        CReader() : CDVREngine(false) {}
    } reader;
    std::vector<uint64_t> v;
    LONG nCount = 0;
    std::unique_ptr<RecordingInfo[]> pList;
    if (SUCCEEDED(reader.SetStubFileName(strStub.c_str(), -1, FALSE)) && SUCCEEDED(reader.OpenStubFile()) &&
        SUCCEEDED(reader.ReadAllRecordingsInfo(&nCount, &pList))) {
        for (LONG i = 0; i < nCount; ++i)
            v.push_back(static_cast<uint64_t>(pList[i].size));
    }
    reader.CloseStubFile();
    return v;
}

// The offsets of the ring's time index entries that say data was lost
// before them, as a reader of the ring finds them.
std::vector<LONGLONG> DiscontinuityOffsets(const CWString& strStub)
{
    struct CReader : CDVREngine
    {
        CReader() : CDVREngine(false) {}
    } reader;
    std::vector<LONGLONG> v;
    CDVRTimeIndex index;
    if (SUCCEEDED(reader.SetStubFileName(strStub.c_str(), -1, FALSE)) && SUCCEEDED(reader.OpenStubFile()) &&
        SUCCEEDED(reader.GetStubHeaderSize()) && SUCCEEDED(index.Load(&reader))) {
        for (size_t i = 0; i < index.EntryCount(); ++i)
            if (index.Entry(i).dwFlags & dvr::kIndexFlagDiscontinuity)
                v.push_back(index.Entry(i).llOffset);
    }
    reader.CloseStubFile();
    return v;
}

// Where the offset-stamped stream in the ring jumps: the ring offsets of the
// datagrams whose stamp is not where they lie.
std::vector<LONGLONG> StampJumps(const Bytes& ring)
{
    std::vector<LONGLONG> v;
    LONGLONG llShift = 0;  // stamp minus ring offset so far
    for (size_t off = 0; off + 188 <= ring.size(); off += kDatagram) {
        const LONGLONG llShiftHere = WordAt(&ring[off]) - 4 - static_cast<LONGLONG>(off);
        if (llShiftHere != llShift)
            v.push_back(static_cast<LONGLONG>(off));
        llShift = llShiftHere;
    }
    return v;
}

}  // namespace

TEST(CRecvBatchNet, BatchThatEndsARecordingMidwayIsSplitBetweenDatagrams)
{
    CRecv recv;
    // Eight datagrams and a bit per recording: 30 datagrams fill three and
    // start a fourth, and the recording ends fall inside the batch.
    ASSERT_TRUE(recv.MoveRing(recv.m_dir, 4, 8 * kDatagram + 100));
    const WORD wPort = recv.Open();
    ASSERT_NE(0, wPort);
    CTestSender sender;
    Bytes sent;
    for (int i = 0; i < 30; ++i) {
        const Bytes v = Datagram(i);
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(v)));
        sent.insert(sent.end(), v.begin(), v.end());
    }
    recv.m_pin.ExpectUnits(30);
    EXPECT_EQ(S_OK, recv.Call(CMD_READ));
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const Bytes ring = recv.Ring();
    EXPECT_TRUE(ring == sent) << ring.size() << " bytes in the ring, " << sent.size() << " sent";
    std::string strWhere;
    EXPECT_TRUE(WordsHoldOffsets(ring, &strWhere)) << strWhere;
    const std::vector<uint64_t> aSizes = RecordSizes(recv.m_dir.Stub());
    const std::vector<uint64_t> aExpected = {8u * kDatagram, 8u * kDatagram, 8u * kDatagram, 6u * kDatagram};
    EXPECT_EQ(aSizes, aExpected);
    // Each datagram reached the pin on its own, in order.
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(30u, units.size());
    for (int i = 0; i < 30; ++i)
        EXPECT_TRUE(units[static_cast<size_t>(i)].data == Datagram(i)) << "unit " << i;
}

TEST(CRecvBatchNet, RtpOutOfOrderAndADuplicateInOneBatchComeOutInOrderOnce)
{
    CRecv recv;
    const WORD wPort = recv.Open();
    ASSERT_NE(0, wPort);
    CTestSender sender;
    // 100 101 103 102 102 104 (and 103 again, late): the reorder queue
    // holds 103 until 102 comes, the copies go.
    const DWORD aSeq[] = {100, 101, 103, 102, 102, 104, 103};
    for (DWORD dwSeq : aSeq)
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Rtp33(dwSeq, Datagram(static_cast<int>(dwSeq) - 100)))));
    recv.m_pin.ExpectUnits(5);
    EXPECT_EQ(S_OK, recv.Call(CMD_READ));
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    Bytes expected;
    for (int i = 0; i < 5; ++i) {
        const Bytes v = Datagram(i);
        expected.insert(expected.end(), v.begin(), v.end());
    }
    const Bytes ring = recv.Ring();
    EXPECT_TRUE(ring == expected) << ring.size() << " bytes in the ring";
    std::string strWhere;
    EXPECT_TRUE(WordsHoldOffsets(ring, &strWhere)) << strWhere;
    EXPECT_TRUE(recv.m_pin.AllBytes() == expected);
    EXPECT_EQ(5u, recv.m_pin.Units().size());
}

TEST(CRecvBatchNet, ZeroLengthDatagramsInABatchDoNothing)
{
    CRecv recv;
    const WORD wPort = recv.Open();
    ASSERT_NE(0, wPort);
    CTestSender sender;
    // A batch of one empty datagram neither starts the stream nor writes.
    ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ""));
    std::future<HRESULT> read = ReadAsync(recv);
    EXPECT_FALSE(Ready(read, 300));
    EXPECT_EQ(0u, recv.m_pin.Units().size());

    // Then a batch that mixes them with data (sent while the thread is
    // idle in its wait, so they arrive together often but not always: the
    // outcome must be the same either way).
    Bytes sent;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ""));
        const Bytes v = Datagram(i);
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(v)));
        sent.insert(sent.end(), v.begin(), v.end());
    }
    recv.m_pin.ExpectUnits(6);
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_TRUE(recv.Ring() == sent);
    EXPECT_EQ(6u, recv.m_pin.Units().size());
}

TEST(CRecvBatchNet, KernelDropsAreCountedAsLostDatagramsAndTraced)
{
    CTraceCapture trace;
    CRecv recv;
    // A socket buffer that holds a few datagrams only.
    const WORD wPort = recv.Open("127.0.0.1", u"?RcvBuf=4096");
    ASSERT_NE(0, wPort);
    EXPECT_GT(recv->GetReceiveBufferGranted(), 0u);
    EXPECT_LE(recv->GetReceiveBufferGranted(), 64u << 10);
    CTestSender sender;
    constexpr int kSent = 40;
    for (int i = 0; i < kSent; ++i)
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Datagram(i))));
    // The first read takes what the kernel kept, all in one batch; stopping
    // after it leaves the count of what arrived settled.
    EXPECT_EQ(S_OK, recv.Call(CMD_READ));
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    const size_t cKept = recv.m_pin.Units().size();
    ASSERT_GT(cKept, 0u);
    ASSERT_LT(cKept, static_cast<size_t>(kSent));
    // The kernel tells its count with the next datagram it queues.
    std::future<HRESULT> read = ReadAsync(recv);
    ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Datagram(kSent))));
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    EXPECT_EQ(static_cast<LONGLONG>(kSent - cKept), recv->GetDroppedDatagrams());
    EXPECT_TRUE(trace.WaitFor("datagrams lost: the socket buffer"));
    // Every datagram that was not dropped arrived, in order.
    const std::vector<SUnit> units = recv.m_pin.Units();
    ASSERT_EQ(cKept + 1, units.size());
    for (size_t i = 0; i < cKept; ++i)
        EXPECT_TRUE(units[i].data == Datagram(static_cast<int>(i))) << "unit " << i;
    EXPECT_TRUE(units.back().data == Datagram(kSent));
}

TEST(CRecvBatchNet, LostRtpPacketsInABatchMarkTheTimeIndexWhereTheGapIs)
{
    CRecv recv;
    const WORD wPort = recv.Open();
    ASSERT_NE(0, wPort);
    CTestSender sender;
    // 104 is lost; five packets after it let the reorder queue give up on
    // it, all in the one batch of the first read.
    Bytes sent;
    for (DWORD dwSeq = 100; dwSeq <= 110; ++dwSeq) {
        if (dwSeq == 104)
            continue;
        const Bytes v = Datagram(static_cast<int>(dwSeq) - 100);
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Rtp33(dwSeq, v))));
        sent.insert(sent.end(), v.begin(), v.end());
    }
    recv.m_pin.ExpectUnits(10);
    EXPECT_EQ(S_OK, recv.Call(CMD_READ));
    ASSERT_TRUE(recv.m_pin.WaitReached());
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));

    const Bytes ring = recv.Ring();
    ASSERT_TRUE(ring == sent) << ring.size() << " bytes in the ring";
    // The stamps say where the gap is; the index must say the same, not the
    // start of the write that gathered the batch.
    const std::vector<LONGLONG> aJumps = StampJumps(ring);
    ASSERT_EQ(aJumps, std::vector<LONGLONG>{4 * kDatagram});
    EXPECT_EQ(DiscontinuityOffsets(recv.m_dir.Stub()), aJumps);
}

TEST(CRecvBatchNet, KernelDropsMarkTheTimeIndexWhereTheStreamJumps)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?RcvBuf=4096");
    ASSERT_NE(0, wPort);
    CTestSender sender;
    // The first datagram holds the thread in its delivery while the socket
    // overflows.
    recv.m_pin.HoldAt(1);
    std::future<HRESULT> read = ReadAsync(recv);
    ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Datagram(0))));
    ASSERT_TRUE(recv.m_pin.WaitHeld());
    int nSent = 1;
    for (; nSent < 40; ++nSent)
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Datagram(nSent))));
    recv.m_pin.Release();
    // The kernel tells of its drops with the next datagram it queues. The
    // thread may still be taking what the kernel kept, which may drop more:
    // send until one is through, so that each datagram sent was either
    // read or dropped before the count is compared.
    auto Delivered = [&recv](int n) {
        for (const SUnit& u : recv.m_pin.Units())
            if (WordAt(u.data.data()) - 4 == static_cast<LONGLONG>(n) * kDatagram)
                return true;
        return false;
    };
    bool bThrough = false;
    for (int nTry = 0; nTry < 50 && !bThrough; ++nTry) {
        const int n = nSent++;
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Datagram(n))));
        for (int nWait = 0; nWait < 20 && !(bThrough = Delivered(n)); ++nWait) {
            recv.m_pin.ExpectUnits(static_cast<LONG>(recv.m_pin.Units().size()) + 1);
            (void)recv.m_pin.WaitReached(10);
        }
    }
    ASSERT_TRUE(bThrough);
    EXPECT_EQ(S_OK, recv.Call(RECVCMD_STOP));
    ASSERT_TRUE(Ready(read, 5000 * kSlow));
    EXPECT_EQ(S_OK, read.get());

    // Loopback loses nothing else: every datagram sent was read or dropped.
    const size_t cKept = recv.m_pin.Units().size();
    EXPECT_EQ(static_cast<LONGLONG>(nSent) - static_cast<LONGLONG>(cKept), recv->GetDroppedDatagrams());
    const Bytes ring = recv.Ring();
    ASSERT_TRUE(ring == recv.m_pin.AllBytes());
    const std::vector<LONGLONG> aJumps = StampJumps(ring);
    ASSERT_FALSE(aJumps.empty());
    EXPECT_EQ(DiscontinuityOffsets(recv.m_dir.Stub()), aJumps);
}

TEST(CRecvBatchNet, ABatchSaysWhichDatagramFollowsKernelDrops)
{
    CRecv recv;
    const WORD wPort = recv.Open("127.0.0.1", u"?RcvBuf=4096");
    ASSERT_NE(0, wPort);
    CTestSender sender;
    // No read loop: the test reads the socket itself. Sixty datagrams
    // overflow the buffer; the kernel keeps the first few. So small a buffer
    // also makes the kernel give back the room of each datagram read at
    // once (a larger one gives it back a quarter of the buffer at a time).
    constexpr int kBurst = 60;
    for (int i = 0; i < kBurst; ++i)
        ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Datagram(i))));
    CRecvBatch batch;
    ASSERT_EQ(S_OK, recv->MyRecv(&batch, 2));
    ASSERT_EQ(2, batch.nCount);
    EXPECT_FALSE(batch.abAfterDrop[0]);
    EXPECT_FALSE(batch.abAfterDrop[1]);
    EXPECT_FALSE(batch.bDrained);
    // Two datagrams taken: one more fits behind those still queued.
    ASSERT_TRUE(sender.Send("127.0.0.1", wPort, ToString(Datagram(kBurst))));
    ASSERT_EQ(S_OK, recv->MyRecv(&batch));
    ASSERT_GE(batch.nCount, 2);
    const int nLast = batch.nCount - 1;
    EXPECT_TRUE(Bytes(batch.apData[nLast], batch.apData[nLast] + batch.acbData[nLast]) == Datagram(kBurst));
    for (int i = 0; i < nLast; ++i) {
        EXPECT_TRUE(Bytes(batch.apData[i], batch.apData[i] + batch.acbData[i]) == Datagram(i + 2)) << i;
        EXPECT_FALSE(batch.abAfterDrop[i]) << i;
    }
    EXPECT_TRUE(batch.abAfterDrop[nLast]);
    EXPECT_EQ(kBurst - (2 + nLast), recv->GetDroppedDatagrams());
    EXPECT_TRUE(batch.bDrained);
}
