#include "platform/graph/filtergraph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/graph/pushsink.h"
#include "platform/graph/testfilters.h"

using graphtest::CToyPushSource;

namespace {

// Shared by the filters of one test: what the graph told each of them.
struct CLog
{
    std::mutex mtx;
    std::vector<std::string> v;
    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> lk(mtx);
        v.push_back(s);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> lk(mtx);
        std::vector<std::string> r;
        r.swap(v);
        return r;
    }
};

// A pass-through filter with one input and one output pin that records its
// state changes and graph joins.
class CRecordingFilter : public CBaseFilter
{
public:
    class CIn : public CBaseInputPin
    {
    public:
        CIn(CRecordingFilter* p, HRESULT* phr) : CBaseInputPin("in", p, &p->m_cs, phr, u"In") {}
        HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
    };
    class COut : public CBaseOutputPin
    {
    public:
        COut(CRecordingFilter* p, HRESULT* phr) : CBaseOutputPin("out", p, &p->m_cs, phr, u"Out") {}
        HRESULT CheckMediaType(const CMediaType* pmt) override
        {
            return *pmt->Type() == MEDIATYPE_Video ? S_OK : S_FALSE;
        }
        HRESULT GetMediaType(int i, CMediaType* pmt) override
        {
            if (i != 0)
                return i < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
            return pmt->Set(graphtest::VideoType(MEDIASUBTYPE_UYVY));
        }
        HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps) override
        {
            pProps->cBuffers = 1;
            pProps->cbBuffer = 16;
            ALLOCATOR_PROPERTIES actual;
            return pAlloc->SetProperties(pProps, &actual);
        }
    };

    CRecordingFilter(const std::string& strName, CLog* pLog)
        : CBaseFilter("recording", nullptr, &m_cs, GUID_NULL), m_strLabel(strName), m_pLog(pLog)
    {
        HRESULT hr = S_OK;
        m_pIn = std::make_unique<CIn>(this, &hr);
        m_pOut = std::make_unique<COut>(this, &hr);
        AddRef();
    }
    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override
    {
        return n == 0 ? static_cast<CBasePin*>(m_pIn.get()) : n == 1 ? m_pOut.get() : nullptr;
    }
    HRESULT Stop() override
    {
        m_pLog->Add(m_strLabel + ":Stop");
        return CBaseFilter::Stop();
    }
    HRESULT Pause() override
    {
        m_pLog->Add(m_strLabel + ":Pause");
        return CBaseFilter::Pause();
    }
    HRESULT Run(REFERENCE_TIME tStart) override
    {
        m_pLog->Add(m_strLabel + ":Run");
        return CBaseFilter::Run(tStart);
    }
    HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override
    {
        m_pLog->Add(m_strLabel + (pGraph ? ":Join" : ":Leave"));
        return CBaseFilter::JoinFilterGraph(pGraph, pName);
    }
    using CBaseFilter::NotifyEvent;
    CIn* In() { return m_pIn.get(); }
    COut* Out() { return m_pOut.get(); }

private:
    CCritSec m_cs;
    std::string m_strLabel;  // names this filter in the call log
    CLog* m_pLog;
    std::unique_ptr<CIn> m_pIn;
    std::unique_ptr<COut> m_pOut;
};

class CFilterGraphTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(CFilterGraph::Create(&m_pGraph), S_OK); }
    void TearDown() override
    {
        if (m_pGraph)
            m_pGraph->Release();
    }
    CRecordingFilter* Add(const std::string& strName)
    {
        CRecordingFilter* p = new CRecordingFilter(strName, &m_log);
        m_vOwners.emplace_back();
        m_vOwners.back().Attach(p);
        EXPECT_EQ(m_pGraph->AddFilter(p, nullptr), S_OK);
        return p;
    }

    CLog m_log;
    std::vector<CComPtr<IBaseFilter>> m_vOwners;  // released after the graph
    CFilterGraph* m_pGraph = nullptr;
};

}  // namespace

TEST_F(CFilterGraphTest, StateChangesReachEveryFilterDownstreamFirst)
{
    // Joined out of stream order: a -> b -> c, plus a lone filter d.
    CRecordingFilter* a = Add("a");
    CRecordingFilter* c = Add("c");
    CRecordingFilter* d = Add("d");
    CRecordingFilter* b = Add("b");
    ASSERT_EQ(m_pGraph->ConnectDirect(a->Out(), b->In(), nullptr), S_OK);
    ASSERT_EQ(m_pGraph->ConnectDirect(b->Out(), c->In(), nullptr), S_OK);
    m_log.Take();

    auto before = [](const std::vector<std::string>& v, const std::string& x, const std::string& y) {
        auto ix = std::find(v.begin(), v.end(), x), iy = std::find(v.begin(), v.end(), y);
        return ix != v.end() && iy != v.end() && ix < iy;
    };
    ASSERT_EQ(m_pGraph->Run(), S_OK);  // pauses first
    std::vector<std::string> v = m_log.Take();
    EXPECT_EQ(v.size(), 8u);
    EXPECT_TRUE(before(v, "c:Pause", "b:Pause"));
    EXPECT_TRUE(before(v, "b:Pause", "a:Pause"));
    EXPECT_TRUE(before(v, "a:Pause", "c:Run"));
    EXPECT_TRUE(before(v, "c:Run", "b:Run"));
    EXPECT_TRUE(before(v, "b:Run", "a:Run"));
    EXPECT_TRUE(before(v, "d:Pause", "d:Run"));
    for (CRecordingFilter* p : {a, b, c, d}) {
        FILTER_STATE fs;
        ASSERT_EQ(p->GetState(0, &fs), S_OK);
        EXPECT_EQ(fs, State_Running);
    }
    FILTER_STATE fs;
    EXPECT_EQ(m_pGraph->GetState(0, &fs), S_OK);
    EXPECT_EQ(fs, State_Running);
    // Connections cannot change under running filters.
    EXPECT_EQ(m_pGraph->ConnectDirect(c->Out(), d->In(), nullptr), VFW_E_NOT_STOPPED);

    ASSERT_EQ(m_pGraph->Pause(), S_OK);
    v = m_log.Take();
    EXPECT_EQ(v.size(), 4u);
    EXPECT_TRUE(before(v, "c:Pause", "b:Pause"));
    ASSERT_EQ(m_pGraph->Stop(), S_OK);
    v = m_log.Take();
    EXPECT_EQ(v.size(), 4u);
    EXPECT_TRUE(before(v, "c:Stop", "b:Stop"));
    EXPECT_TRUE(before(v, "b:Stop", "a:Stop"));
    EXPECT_TRUE(a->IsStopped() && b->IsStopped() && c->IsStopped() && d->IsStopped());
}

TEST_F(CFilterGraphTest, EventsSentByFiltersAreReadByTheApplicationWithATimeOut)
{
    CRecordingFilter* a = Add("a");
    long lCode = 0;
    LONG_PTR l1 = 0, l2 = 0;
    EXPECT_EQ(m_pGraph->GetEvent(&lCode, &l1, &l2, 0), E_ABORT);
    EXPECT_EQ(m_pGraph->GetEvent(&lCode, &l1, &l2, 20), E_ABORT);

    // From a filter's own thread, while the application waits.
    std::thread t([a] {
        EXPECT_EQ(a->NotifyEvent(EC_STARVATION, 0, 0), S_OK);
        EXPECT_EQ(a->NotifyEvent(EC_ERRORABORT, E_FAIL, 7), S_OK);
    });
    ASSERT_EQ(m_pGraph->GetEvent(&lCode, &l1, &l2, 10000), S_OK);
    EXPECT_EQ(lCode, EC_STARVATION);
    EXPECT_EQ(lCode, 0x17);
    ASSERT_EQ(m_pGraph->GetEvent(&lCode, &l1, &l2, 10000), S_OK);
    t.join();
    EXPECT_EQ(lCode, EC_ERRORABORT);
    EXPECT_EQ(l1, E_FAIL);
    EXPECT_EQ(l2, 7);
    EXPECT_EQ(m_pGraph->FreeEventParams(lCode, l1, l2), S_OK);

    // Outside a graph a filter has nowhere to send.
    ASSERT_EQ(m_pGraph->RemoveFilter(a), S_OK);
    EXPECT_EQ(a->NotifyEvent(EC_STARVATION, 0, 0), E_NOTIMPL);
}

TEST_F(CFilterGraphTest, LeavingFiltersSeeNoGraphAndLoseTheirConnections)
{
    CRecordingFilter* a = Add("a");
    CRecordingFilter* b = Add("b");
    ASSERT_EQ(m_pGraph->ConnectDirect(a->Out(), b->In(), nullptr), S_OK);
    EXPECT_EQ(m_pGraph->AddFilter(a, u"again"), VFW_E_DUPLICATE_NAME);
    m_log.Take();

    ASSERT_EQ(m_pGraph->RemoveFilter(b), S_OK);
    EXPECT_EQ(m_log.Take(), (std::vector<std::string>{"b:Stop", "b:Leave"}));
    EXPECT_FALSE(a->Out()->IsConnected());
    EXPECT_FALSE(b->In()->IsConnected());
    FILTER_INFO info;
    ASSERT_EQ(b->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(m_pGraph->RemoveFilter(b), VFW_E_NOT_FOUND);

    // The graph going away makes the rest leave too.
    m_pGraph->Release();
    m_pGraph = nullptr;
    std::vector<std::string> v = m_log.Take();
    EXPECT_NE(std::find(v.begin(), v.end(), "a:Leave"), v.end());
}

TEST_F(CFilterGraphTest, ReconnectExUsesTheNewTypeAtOnceWhenStoppedAndAtStopWhenRunning)
{
    CMediaType mtH264 = graphtest::VideoType(MEDIASUBTYPE_H264, 400000);
    CMediaType mtH264Slower = graphtest::VideoType(MEDIASUBTYPE_H264, 333333);
    CMediaType mtMjpg = graphtest::VideoType(MEDIASUBTYPE_MJPG);
    CToyPushSource* pSource = new CToyPushSource({mtH264, mtMjpg});
    CComPtr<IBaseFilter> pSourceOwner;
    pSourceOwner.Attach(pSource);
    CPushSink* pSinkImpl = nullptr;
    // The sink takes H.264 only.
    ASSERT_EQ(CPushSink::Create(
                  nullptr, [](const CMediaType& mt) { return *mt.Subtype() == MEDIASUBTYPE_H264 ? S_OK : S_FALSE; },
                  true, &pSinkImpl),
              S_OK);
    CComPtr<IBaseFilter> pSink;
    pSink.Attach(pSinkImpl);
    ASSERT_EQ(m_pGraph->AddFilter(pSource, u"source"), S_OK);
    ASSERT_EQ(m_pGraph->AddFilter(pSink, u"sink"), S_OK);
    // A partial type picks the matching offered type.
    CMediaType mtPartial(&MEDIATYPE_Video);
    mtPartial.SetSubtype(&MEDIASUBTYPE_MJPG);
    EXPECT_TRUE(FAILED(m_pGraph->ConnectDirect(pSource->Pin(), pSinkImpl->InputPin(), &mtPartial)));
    ASSERT_EQ(m_pGraph->ConnectDirect(pSource->Pin(), pSinkImpl->InputPin(), nullptr), S_OK);

    auto current = [&] {
        AM_MEDIA_TYPE mt;
        EXPECT_EQ(pSinkImpl->InputPin()->ConnectionMediaType(&mt), S_OK);
        CMediaType r(mt);
        FreeMediaType(mt);
        return r;
    };
    EXPECT_TRUE(current() == mtH264);

    // Stopped: at once.
    ASSERT_EQ(m_pGraph->ReconnectEx(pSource->Pin(), &mtH264Slower), S_OK);
    EXPECT_TRUE(current() == mtH264Slower);
    // A type the sink refuses fails and keeps the pins connected as before.
    EXPECT_TRUE(FAILED(m_pGraph->ReconnectEx(pSource->Pin(), &mtMjpg)));
    EXPECT_TRUE(current() == mtH264Slower);

    // Running: kept until the graph stops.
    ASSERT_EQ(m_pGraph->Run(), S_OK);
    ASSERT_EQ(m_pGraph->ReconnectEx(pSource->Pin(), &mtH264), S_OK);
    EXPECT_EQ(m_pGraph->PendingReconnects(), 1u);
    EXPECT_TRUE(current() == mtH264Slower);
    ASSERT_EQ(m_pGraph->Stop(), S_OK);
    EXPECT_EQ(m_pGraph->PendingReconnects(), 0u);
    EXPECT_TRUE(current() == mtH264);
}
