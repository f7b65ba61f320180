// The pin's pull half against the real DVR buffer: a writer (in this
// process, or in another one) feeds the ring while a downstream reader reads
// it by offset through the pin and the request queue. Every 8-byte word of
// the stream holds its own offset, so each byte read says whether it came
// from the right place.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/mpegdemux/kvudpsrc/pintestutil.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pullreader.h"
#include "platform/graph/testfilters.h"
#include "platform/sync.h"

extern char** environ;

using namespace pintest;
using graphtest::CWaiter;

namespace {

constexpr HRESULT kHrEndOfFile = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
constexpr LONGLONG kGrowingInUnits = 922337203685LL;
constexpr DWORD kWaitMs = 10000;  // for what must happen; never reached when it does

// What a downstream reader saw: the bytes in stream order, checked as they
// arrive, and how the reading ended.
struct CReadLog
{
    CWaiter waiter;
    LONGLONG llNext = 0;       // offset the next bytes should start at
    LONGLONG llMismatch = -1;  // first byte that was not the stream's
    bool bGap = false;
    int cEnds = 0;
    HRESULT hrEnd = E_UNEXPECTED;
    uint64_t qwSeed = 0;

    HRESULT OnData(LONGLONG llPos, const BYTE* pb, LONG cb)
    {
        waiter.Update([&] {
            if (llPos != llNext)
                bGap = true;
            const LONGLONG ll = FindMismatch(pb, llPos, static_cast<size_t>(cb), qwSeed);
            if (ll >= 0 && llMismatch < 0)
                llMismatch = ll;
            llNext = llPos + cb;
        });
        return S_OK;
    }
    void OnEnd(HRESULT hr)
    {
        waiter.Update([&] {
            hrEnd = hr;
            cEnds++;
        });
    }
    LONGLONG Read()
    {
        std::lock_guard<std::mutex> lk(waiter.Mutex());
        return llNext;
    }
};

class CPullPinTest : public dvrtest::CTempFolderTest
{
protected:
    void SetUp() override
    {
        CTempFolderTest::SetUp();
        m_pWriter = std::make_unique<CTestWriter>();
        ASSERT_EQ(S_OK, CFilterGraph::Create(&m_pGraph));
    }
    void TearDown() override
    {
        if (m_pGraph) {
            (void)m_pGraph->Stop();
            m_pGraph->Release();
        }
        m_pReaders.clear();
        m_logs.clear();
        if (m_pSource)
            m_pSource->Release();
        m_pWriter.reset();
    }

    // A live writer and the source following it.
    void Start(LONG nFiles, LONGLONG cbFile)
    {
        ASSERT_EQ(S_OK, m_pWriter->Start(m_strDir, nFiles, cbFile));
        ASSERT_EQ(S_OK, CTestSource::Create(m_pWriter->Sink(), m_pWriter->StubPath(), &m_pSource));
        ASSERT_EQ(S_OK, m_pGraph->AddFilter(m_pSource, u"source"));
    }
    // A downstream pull reader in the graph, connected to the pin.
    CPullReader* AddReader(CReadLog* pLog, REFIID iid, LONG cbRequest, LONG cInFlight = 4)
    {
        CPullReaderConfig config;
        config.cbRequest = cbRequest;
        config.cRequestsInFlight = cInFlight;
        config.iidReader = iid;
        CPullReader* pReader = nullptr;
        EXPECT_EQ(S_OK, CPullReader::Create(
                            config, [pLog](LONGLONG ll, const BYTE* pb, LONG cb) { return pLog->OnData(ll, pb, cb); },
                            [pLog](HRESULT hr) { pLog->OnEnd(hr); }, &pReader));
        if (!pReader)
            return nullptr;
        m_pReaders.emplace_back();
        m_pReaders.back().Attach(pReader);
        const std::u16string strName = u"reader" + std::u16string(1, static_cast<char16_t>(u'0' + m_pReaders.size()));
        EXPECT_EQ(S_OK, m_pGraph->AddFilter(pReader, strName.c_str()));
        return pReader;
    }
    IAsyncReader* Reader(REFIID iid)
    {
        IAsyncReader* p = nullptr;
        EXPECT_EQ(S_OK, m_pSource->Pin()->QueryInterface(iid, reinterpret_cast<void**>(&p)));
        m_pDirect.Attach(p);
        return p;
    }
    // Samples of cb bytes from the pin's own allocator.
    CComPtr<IMemAllocator> Allocator(IAsyncReader* pReader, LONG cb, LONG cBuffers = 4)
    {
        ALLOCATOR_PROPERTIES props = {cBuffers, cb, 1, 0};
        CComPtr<IMemAllocator> pAlloc;
        EXPECT_EQ(S_OK, pReader->RequestAllocator(nullptr, &props, &pAlloc));
        if (pAlloc) {
            EXPECT_EQ(S_OK, pAlloc->Commit());
        }
        return pAlloc;
    }
    static CComPtr<IMediaSample> Sample(IMemAllocator* pAlloc, LONGLONG llStart, LONGLONG llStop,
                                        LONGLONG llUnits = UNITS)
    {
        CComPtr<IMediaSample> p;
        EXPECT_EQ(S_OK, pAlloc->GetBuffer(&p, nullptr, nullptr, 0));
        REFERENCE_TIME t0 = llStart * llUnits, t1 = llStop * llUnits;
        EXPECT_EQ(S_OK, p->SetTime(&t0, &t1));
        return p;
    }
    // Writes llTotal bytes in datagram-sized blocks, never more than
    // llWindow ahead of what the reader has read, so that the ring never
    // laps it.
    void WriteFlowControlled(LONGLONG llTotal, LONGLONG llWindow, CReadLog* pLog)
    {
        constexpr LONG kDatagram = 7 * 188;
        while (m_pWriter->Written() < llTotal) {
            const LONG cb = static_cast<LONG>(std::min<LONGLONG>(kDatagram, llTotal - m_pWriter->Written()));
            const LONGLONG llAfter = m_pWriter->Written() + cb;
            ASSERT_TRUE(pLog->waiter.WaitFor([&] { return llAfter - pLog->llNext <= llWindow || pLog->cEnds; }));
            ASSERT_EQ(S_OK, m_pWriter->Write(cb));
        }
    }

    std::unique_ptr<CTestWriter> m_pWriter;
    CFilterGraph* m_pGraph = nullptr;
    CTestSource* m_pSource = nullptr;
    std::vector<CComPtr<IBaseFilter>> m_pReaders;
    CComPtr<IAsyncReader> m_pDirect;
    // Owned here, so that they outlive the readers' threads, which stop
    // with the graph.
    std::deque<CReadLog> m_logs;
    CReadLog& NewLog() { return m_logs.emplace_back(); }
};

class CPullPinLiveTest : public CPullPinTest, public ::testing::WithParamInterface<int>
{
};

}  // namespace

TEST_P(CPullPinLiveTest, LiveStreamIsReadByteEqualFromStartToEndWhileItGrows)
{
    const IID iid = GetParam() == 1 ? IID_IAsyncReader : GetParam() == 2 ? IID_IAsyncReader2 : IID_IAsyncReader3;
    Start(8, 1 << 20);
    CReadLog& log = NewLog();
    CPullReader* pReader = AddReader(&log, iid, 188 * 1024);
    ASSERT_NE(pReader, nullptr);
    ASSERT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSource->Pin(), pReader->InputPin(), nullptr));
    EXPECT_EQ(GetParam(), m_pSource->Pin()->ReaderLevel());
    ASSERT_EQ(S_OK, m_pGraph->Run());

    // Slower than the reader's requests at times, so that reads at the live
    // edge come back short and are asked for again.
    constexpr LONGLONG kTotal = 12 << 20;
    WriteFlowControlled(kTotal, 3 << 20, &log);
    // A finished stream: the reader ends at its last byte.
    ASSERT_EQ(S_OK, m_pWriter->Stop());
    ASSERT_TRUE(log.waiter.WaitFor([&] { return log.cEnds == 1; }));
    EXPECT_EQ(S_OK, log.hrEnd);
    EXPECT_EQ(kTotal, log.llNext);
    EXPECT_EQ(-1, log.llMismatch);
    EXPECT_FALSE(log.bGap);
}

INSTANTIATE_TEST_SUITE_P(ReaderLevels, CPullPinLiveTest, ::testing::Values(1, 2, 3));

TEST_F(CPullPinTest, EndOfAFinishedStreamAndRequestsThatStraddleIt)
{
    Start(4, 64 * 1024);
    ASSERT_EQ(S_OK, m_pWriter->Write(10000));
    IAsyncReader* pReader = Reader(IID_IAsyncReader3);
    LONGLONG llTotal = 0, llAvail = 0;
    ASSERT_EQ(S_OK, pReader->Length(&llTotal, &llAvail));
    EXPECT_EQ(MAX_INT64, llTotal);  // growing, in bytes
    EXPECT_EQ(10000, llAvail);
    ASSERT_EQ(S_OK, m_pWriter->Stop());
    ASSERT_EQ(S_OK, pReader->Length(&llTotal, &llAvail));
    EXPECT_EQ(10000, llTotal);
    EXPECT_EQ(10000, llAvail);

    CComPtr<IMemAllocator> pAlloc = Allocator(pReader, 188);
    CTraceCapture trace;
    CComPtr<IMediaSample> pAtEnd = Sample(pAlloc, 10000, 10188);
    EXPECT_EQ(kHrEndOfFile, pReader->Request(pAtEnd, 1));
    EXPECT_TRUE(trace.Contains("\nCBaseAsyncOutputPin::Request: llPos=10000 >= llTotal=10000. Return EOF"));

    // Cut to end at the total, in reference-time units and in bytes.
    IAsyncReader3* pReader3 = static_cast<IAsyncReader3*>(pReader);
    IMediaSample* pUnits = Sample(pAlloc, 9900, 10088).Detach();
    IMediaSample* pBytes = Sample(pAlloc, 9950, 10138, 1).Detach();
    ASSERT_EQ(S_OK, pReader3->Request(pUnits, 7));
    ASSERT_EQ(S_OK, pReader3->RequestPartialBytes(pBytes, 8, VARIANT_TRUE));
    for (int i = 0; i < 2; i++) {
        IMediaSample* pSample = nullptr;
        DWORD_PTR dwUser = 0;
        ASSERT_EQ(S_OK, pReader->WaitForNext(kWaitMs, &pSample, &dwUser));
        CComPtr<IMediaSample> pOwn;
        pOwn.Attach(pSample);
        const bool bUnits = dwUser == 7;
        const LONGLONG llFrom = bUnits ? 9900 : 9950;
        REFERENCE_TIME t0 = 0, t1 = 0;
        ASSERT_EQ(S_OK, pSample->GetTime(&t0, &t1));
        EXPECT_EQ(llFrom * (bUnits ? UNITS : 1), t0);
        EXPECT_EQ(10000 * (bUnits ? UNITS : 1), t1);
        ASSERT_EQ(10000 - llFrom, pSample->GetActualDataLength());
        BYTE* pb = nullptr;
        ASSERT_EQ(S_OK, pSample->GetPointer(&pb));
        EXPECT_EQ(-1, FindMismatch(pb, llFrom, static_cast<size_t>(10000 - llFrom), 0));
    }

    // A synchronous read straddling the end is cut the same way.
    CComPtr<IMediaSample> pSync = Sample(pAlloc, 9930, 10118);
    EXPECT_EQ(S_OK, pReader->SyncReadAligned(pSync));
    EXPECT_EQ(70, pSync->GetActualDataLength());
    std::vector<BYTE> v(300);
    EXPECT_EQ(S_FALSE, pReader->SyncRead(9800, 300, v.data()));
    EXPECT_EQ(-1, FindMismatch(v.data(), 9800, 200, 0));
}

TEST_F(CPullPinTest, LengthOfAGrowingSourceDependsOnTheInterfaceAskedLast)
{
    Start(4, 64 * 1024);
    ASSERT_EQ(S_OK, m_pWriter->Write(5000));
    LONGLONG llTotal = 0, llAvail = 0;
    ASSERT_EQ(S_OK, Reader(IID_IAsyncReader)->Length(&llTotal, &llAvail));
    EXPECT_EQ(kGrowingInUnits, llTotal);
    EXPECT_EQ(5000, llAvail);
    ASSERT_EQ(S_OK, Reader(IID_IAsyncReader3)->Length(&llTotal, &llAvail));
    EXPECT_EQ(MAX_INT64, llTotal);
    ASSERT_EQ(S_OK, Reader(IID_IAsyncReader2)->Length(&llTotal, &llAvail));
    EXPECT_EQ(kGrowingInUnits, llTotal);
    // The DVR reader was started once, on the first query.
    EXPECT_EQ(1, m_pSource->Host().m_cEnsure.load());
}

TEST_F(CPullPinTest, ReaderLappedByTheRingGetsDiscardedDataThenGoesOnAtKeptData)
{
    Start(3, 64 * 1024);
    IAsyncReader* pReader = Reader(IID_IAsyncReader);
    CComPtr<IMemAllocator> pAlloc = Allocator(pReader, 188);
    // The reader looks at the ring now and then while the writer goes
    // round it twice.
    double dFirst = 0, dCur = 0, dLast = 0;
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(S_OK, m_pWriter->Write(4000));
        if (i % 4 == 0) {
            ASSERT_EQ(S_OK, m_pSource->Source().GetAvailableRange(&dFirst, &dCur, &dLast));
        }
    }
    ASSERT_TRUE(m_pWriter->PublishAll());
    ASSERT_EQ(S_OK, m_pSource->Source().GetAvailableRange(&dFirst, &dCur, &dLast));
    EXPECT_EQ(400000.0, dLast);
    ASSERT_GT(dFirst, 100000.0) << "the ring should have wrapped " << dLast;

    // Without a sample to move, the overwritten range is an error.
    std::vector<BYTE> v(188);
    EXPECT_EQ(KVMM_E_DVR_DISCARDED_DATA, pReader->SyncRead(1000, 188, v.data()));

    // A queued request moves on to data the ring still holds.
    ASSERT_EQ(S_OK, pReader->Request(Sample(pAlloc, 1000, 1188).Detach(), 0));
    IMediaSample* pSample = nullptr;
    DWORD_PTR dwUser = 0;
    ASSERT_EQ(S_OK, pReader->WaitForNext(kWaitMs, &pSample, &dwUser));
    CComPtr<IMediaSample> pOwn;
    pOwn.Attach(pSample);
    EXPECT_EQ(S_OK, pSample->IsDiscontinuity());
    REFERENCE_TIME t0 = 0, t1 = 0;
    ASSERT_EQ(S_OK, pSample->GetTime(&t0, &t1));
    const LONGLONG llStart = t0 / UNITS;
    EXPECT_GE(llStart, static_cast<LONGLONG>(dFirst));
    EXPECT_EQ(llStart + 188, t1 / UNITS);
    ASSERT_EQ(188, pSample->GetActualDataLength());
    BYTE* pb = nullptr;
    ASSERT_EQ(S_OK, pSample->GetPointer(&pb));
    EXPECT_EQ(-1, FindMismatch(pb, llStart, 188, 0));
}

TEST_F(CPullPinTest, FlushEndsAReadThatWaitsForTheWriter)
{
    Start(4, 64 * 1024);
    ASSERT_EQ(S_OK, m_pWriter->Write(4096));
    IAsyncReader* pReader = Reader(IID_IAsyncReader);
    CComPtr<IMemAllocator> pAlloc = Allocator(pReader, 188);
    ASSERT_EQ(S_OK, pReader->Request(Sample(pAlloc, 4096, 4284).Detach(), 1));
    // The read says it is waiting before the bytes exist.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_pSource->Source().GetStarvationEvent(), kWaitMs));
    ASSERT_EQ(S_OK, pReader->BeginFlush());
    IMediaSample* pSample = nullptr;
    DWORD_PTR dwUser = 0;
    EXPECT_TRUE(FAILED(pReader->WaitForNext(kWaitMs, &pSample, &dwUser)));
    ASSERT_NE(pSample, nullptr);  // handed back so that it can be released
    EXPECT_EQ(1u, dwUser);
    pSample->Release();
    EXPECT_EQ(VFW_E_WRONG_STATE, pReader->WaitForNext(0, &pSample, &dwUser));
    CComPtr<IMediaSample> pRefused = Sample(pAlloc, 0, 188);
    EXPECT_EQ(VFW_E_WRONG_STATE, pReader->Request(pRefused, 2));
    ASSERT_EQ(S_OK, pReader->EndFlush());

    // Reading goes on after the flush.
    ASSERT_EQ(S_OK, pReader->Request(Sample(pAlloc, 4096, 4284).Detach(), 3));
    ASSERT_EQ(S_OK, m_pWriter->Write(4096));
    ASSERT_EQ(S_OK, pReader->WaitForNext(kWaitMs, &pSample, &dwUser));
    EXPECT_EQ(3u, dwUser);
    BYTE* pb = nullptr;
    ASSERT_EQ(S_OK, pSample->GetPointer(&pb));
    EXPECT_EQ(-1, FindMismatch(pb, 4096, 188, 0));
    pSample->Release();
}

TEST_F(CPullPinTest, SecondConnectionAfterACompletedOneStartsFromAnEmptyBuffer)
{
    Start(8, 1 << 20);
    CReadLog& first = NewLog();
    CReadLog& second = NewLog();
    second.qwSeed = 0x5A5A5A5A00000000ull;
    CPullReader* pFirst = AddReader(&first, IID_IAsyncReader, 65536);
    CPullReader* pSecond = AddReader(&second, IID_IAsyncReader, 65536);
    ASSERT_NE(pSecond, nullptr);
    m_pSource->Host().m_fnRestarted = [this, &second] { m_pWriter->Restarted(second.qwSeed); };
    CTraceCapture trace;
    ASSERT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSource->Pin(), pFirst->InputPin(), nullptr));
    EXPECT_TRUE(trace.Contains("\nUDPSrc::CompleteConnect(Input) SUCCEEDED!"));
    ASSERT_EQ(S_OK, m_pGraph->Run());
    WriteFlowControlled(300000, 1 << 20, &first);
    // No write follows to publish the last bytes, and a reader that asks
    // for them after the last write waits for the next: the receive thread
    // publishes them before it waits for the network; so does this test.
    ASSERT_TRUE(m_pWriter->PublishAll());
    ASSERT_TRUE(first.waiter.WaitFor([&] { return first.llNext == 300000; }));
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    ASSERT_EQ(S_OK, m_pGraph->Disconnect(m_pSource->Pin()));
    ASSERT_EQ(S_OK, m_pGraph->Disconnect(pFirst->InputPin()));
    ASSERT_EQ(S_OK, m_pWriter->Write(50000));  // never read: the reconnection drops it
    EXPECT_EQ(0, m_pSource->Host().m_cReset.load());

    ASSERT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSource->Pin(), pSecond->InputPin(), nullptr));
    EXPECT_EQ(1, m_pSource->Host().m_cReset.load());
    EXPECT_TRUE(trace.Contains("\nCUDPAsyncOutputPin::Connect(Input) - Reconnecting the output pin... Calling "
                               "ResetPointer"));
    ASSERT_EQ(S_OK, m_pGraph->Run());
    WriteFlowControlled(80000, 1 << 20, &second);
    ASSERT_EQ(S_OK, m_pWriter->Stop());
    ASSERT_TRUE(second.waiter.WaitFor([&] { return second.cEnds == 1; }));
    EXPECT_EQ(S_OK, second.hrEnd);
    EXPECT_EQ(80000, second.llNext);
    EXPECT_EQ(-1, second.llMismatch);
    EXPECT_FALSE(second.bGap);
}

TEST_F(CPullPinTest, WithoutDVRWritingTheReaderInterfacesAreRefused)
{
    Start(4, 64 * 1024);
    m_pSource->Host().m_bDVRWriting = false;
    CReadLog& log = NewLog();
    CPullReader* pReader = AddReader(&log, IID_IAsyncReader, 4096);
    IAsyncReader* p = nullptr;
    EXPECT_EQ(E_NOINTERFACE, m_pSource->Pin()->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(&p)));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_NOINTERFACE, m_pGraph->ConnectDirect(m_pSource->Pin(), pReader->InputPin(), nullptr));
    CComPtr<IPin> pPeer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, m_pSource->Pin()->ConnectedTo(&pPeer));
    EXPECT_EQ(0, m_pSource->Pin()->ReaderLevel());
}

TEST_F(CPullPinTest, OfferedTypeIsTheStreamTypeUntilTheElementaryStreamIsDescribed)
{
    Start(4, 64 * 1024);
    CUDPAsyncOutputPin* pPin = m_pSource->Pin();
    CMediaType mt;
    EXPECT_EQ(E_INVALIDARG, pPin->GetMediaType(-1, &mt));
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, pPin->GetMediaType(1, &mt));
    ASSERT_EQ(S_OK, pPin->GetMediaType(0, &mt));
    EXPECT_EQ(MEDIATYPE_Stream, *mt.Type());
    EXPECT_EQ(MEDIASUBTYPE_UDPStream, *mt.Subtype());
    EXPECT_EQ(1u, mt.GetSampleSize());

    CMediaType mtOther(&MEDIATYPE_Stream);
    EXPECT_EQ(S_FALSE, pPin->CheckMediaType(&mtOther));  // a subtype other than ours
    mtOther.SetSubtype(&MEDIASUBTYPE_UDPStream);
    EXPECT_EQ(S_OK, pPin->CheckMediaType(&mtOther));

    // An application's stream type without a subtype accepts any subtype.
    CMediaType mtApp(&MEDIATYPE_Stream);
    ASSERT_EQ(S_OK, m_pSource->SetStreamMediaType(&mtApp));
    mtOther.SetSubtype(&MEDIASUBTYPE_H264);
    EXPECT_EQ(S_OK, pPin->CheckMediaType(&mtOther));

    const CMediaType mtVideo = graphtest::VideoType(MEDIASUBTYPE_H264);
    ASSERT_EQ(S_OK, m_pSource->SetOutputMediaType(&mtVideo));
    EXPECT_TRUE(m_pSource->IsOutputMediaTypeValid());
    ASSERT_EQ(S_OK, pPin->GetMediaType(0, &mt));
    EXPECT_TRUE(mt == mtVideo);
    EXPECT_EQ(S_FALSE, pPin->CheckMediaType(&mtOther));  // a stream type no longer fits
    EXPECT_EQ(S_OK, pPin->CheckMediaType(&mtVideo));
    AM_MEDIA_TYPE amt;
    ASSERT_EQ(S_OK, m_pSource->GetOutputMediaType(&amt));
    EXPECT_TRUE(CMediaType(amt) == mtVideo);
    FreeMediaType(amt);
    m_pSource->ResetOutputMediaType();
    ASSERT_EQ(S_OK, pPin->GetMediaType(0, &mt));
    EXPECT_EQ(MEDIATYPE_Stream, *mt.Type());
}

// ---------------------------------------------------------------------------
// A writer in another process. The test binary runs itself as the child; its
// role comes in KV_PIN_CHILD, the folder in KV_PIN_DIR and a control socket
// in KV_PIN_FD.

namespace {

constexpr LONGLONG kChildTotal = 6 << 20;

bool ReadLine(int fd, std::string* pstr)
{
    for (int i = 0; i < 4096; i++) {
        if (WaitForSingleObject(fd, kWaitMs) != WAIT_OBJECT_0)
            return false;
        char c = 0;
        if (recv(fd, &c, 1, 0) != 1)
            return false;
        if (c == '\n')
            return true;
        pstr->push_back(c);
    }
    return false;
}

bool WaitForChar(int fd, char cWanted)
{
    char c = 0;
    return WaitForSingleObject(fd, kWaitMs) == WAIT_OBJECT_0 && recv(fd, &c, 1, 0) == 1 && c == cWanted;
}

}  // namespace

TEST(PinChild, Writer)
{
    const char* pszRole = getenv("KV_PIN_CHILD");
    if (!pszRole || strcmp(pszRole, "Writer") != 0)
        GTEST_SKIP() << "runs only as the writer child of the two-process test";
    const int fd = atoi(getenv("KV_PIN_FD"));
    CTestWriter writer;
    ASSERT_EQ(S_OK, writer.Start(getenv("KV_PIN_DIR"), 8, 1 << 20));
    const std::string strStub = WideToUtf8(writer.StubPath()) + "\n";
    ASSERT_EQ(static_cast<ssize_t>(strStub.size()), write(fd, strStub.data(), strStub.size()));
    // Half, then the rest once the reader has followed into the first half.
    while (writer.Written() < kChildTotal / 2)
        ASSERT_EQ(S_OK, writer.Write(7 * 188));
    ASSERT_TRUE(WaitForChar(fd, 'g'));
    while (writer.Written() < kChildTotal)
        ASSERT_EQ(S_OK, writer.Write(static_cast<LONG>(std::min<LONGLONG>(7 * 188, kChildTotal - writer.Written()))));
    ASSERT_EQ(S_OK, writer.Stop());
    ASSERT_EQ(1, write(fd, "d", 1));
    // The files stay readable until the reader is done.
    (void)WaitForChar(fd, 'q');
}

TEST_F(CPullPinTest, WriterInAnotherProcessIsFollowedToTheEnd)
{
    const char* pszBinary = getenv("KV_TEST_BINARY");
    ASSERT_NE(pszBinary, nullptr);
    int afd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, afd));
    std::vector<std::string> vEnv{"KV_PIN_CHILD=Writer", "KV_PIN_DIR=" + m_strDir,
                                  "KV_PIN_FD=" + std::to_string(afd[1])};
    std::vector<char*> vpEnv;
    for (auto& s : vEnv)
        vpEnv.push_back(s.data());
    for (char** p = environ; *p; ++p)
        vpEnv.push_back(*p);
    vpEnv.push_back(nullptr);
    std::string strFilter = "--gtest_filter=PinChild.Writer";
    char* argv[] = {const_cast<char*>(pszBinary), strFilter.data(), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        if (fcntl(afd[1], F_SETFD, 0) != 0)  // this end goes to the new program
            _exit(126);
        execve(pszBinary, argv, vpEnv.data());
        _exit(127);
    }
    close(afd[1]);
    ASSERT_GT(pid, 0);
    const int fd = afd[0];

    std::string strStub;
    bool bStarted = ReadLine(fd, &strStub);
    CReadLog& log = NewLog();
    if (bStarted) {
        ASSERT_EQ(S_OK, CTestSource::Create(nullptr, Utf8ToWide(strStub), &m_pSource));
        ASSERT_EQ(S_OK, m_pGraph->AddFilter(m_pSource, u"source"));
        CPullReader* pReader = AddReader(&log, IID_IAsyncReader, 188 * 1024);
        ASSERT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSource->Pin(), pReader->InputPin(), nullptr));
        ASSERT_EQ(S_OK, m_pGraph->Run());
        EXPECT_TRUE(log.waiter.WaitFor([&] { return log.llNext >= kChildTotal / 4 || log.cEnds; }));
        EXPECT_EQ(1, send(fd, "g", 1, MSG_NOSIGNAL));
        EXPECT_TRUE(WaitForChar(fd, 'd'));
        EXPECT_TRUE(log.waiter.WaitFor([&] { return log.cEnds == 1; }));
        ASSERT_EQ(S_OK, m_pGraph->Stop());
    }
    (void)send(fd, "q", 1, MSG_NOSIGNAL);
    int nStatus = -1;
    const int fdPid = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fdPid < 0 || WaitForSingleObject(fdPid, kWaitMs) != WAIT_OBJECT_0)
        kill(pid, SIGKILL);
    if (fdPid >= 0)
        close(fdPid);
    (void)waitpid(pid, &nStatus, 0);
    close(fd);
    ASSERT_TRUE(bStarted) << "the writer child did not start";
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    EXPECT_EQ(S_OK, log.hrEnd);
    EXPECT_EQ(kChildTotal, log.llNext);
    EXPECT_EQ(-1, log.llMismatch);
    EXPECT_FALSE(log.bGap);
}
