// The network source filter without the network: its interfaces and their
// one identity, Load's refusals, GetCurFile, the GetState rule and
// starvation in a graph with pushed samples, IDispatch over the type
// library, and callback registration.
#include "dshowflt/mpegdemux/kvudpsrc/kvmpg2tssrc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dshowflt/mpegdemux/kvudpsrc/filtertestutil.h"
#include "platform/graph/filtergraph.h"
#include "platform/graph/pushsink.h"
#include "platform/graph/testfilters.h"

using namespace filtertest;

namespace {

constexpr REFERENCE_TIME kMs = 10000;

// Owns one reference.
struct CFilterRef
{
    CFilterRef() { EXPECT_EQ(S_OK, CKVMpg2TSSrc::CreateInstance(&p)); }
    ~CFilterRef()
    {
        if (p)
            p->Release();
    }
    CKVMpg2TSSrc* operator->() const { return p; }
    CKVMpg2TSSrc* p = nullptr;
};

ULONG CountOf(IUnknown* pUnk)
{
    pUnk->AddRef();
    return pUnk->Release();
}

HRESULT Invoke(IDispatch* pDisp, DISPID id, WORD wFlags, std::vector<VARIANT> args, VARIANT* pResult)
{
    DISPID idPut = DISPID_PROPERTYPUT;
    DISPPARAMS params = {args.data(), wFlags == DISPATCH_PROPERTYPUT ? &idPut : nullptr,
                         static_cast<UINT>(args.size()), wFlags == DISPATCH_PROPERTYPUT ? 1u : 0u};
    UINT uArgErr = 0;
    return pDisp->Invoke(id, IID_NULL, 0, wFlags, &params, pResult, nullptr, &uArgErr);
}

VARIANT Var(double d)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}

VARIANT Var(BSTR bstr)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = bstr;
    return v;
}

VARIANT VarI4(LONG l)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = l;
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Interfaces

TEST(CKVMpg2TSSrcTest, EveryInterfaceIsOneObjectWithOneCount)
{
    CFilterRef f;
    IUnknown* pIdentity = nullptr;
    ASSERT_EQ(S_OK, f->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)));
    const IID aIids[] = {IID_IFileSourceFilter, IID_IKVDVRSource, IID_IKVDVRSource1, IID_IKVDVRSink,
                         IID_IKVDVRSink1,       IID_IKVDVRSink2,   IID_IKVDVRSink3,   IID_IKVUDPSrc,
                         IID_IKVUDPSrc1,        IID_IDispatch,     IID_IBaseFilter,   IID_IMediaFilter,
                         IID_IPersist};
    for (const IID& iid : aIids) {
        IUnknown* pItf = nullptr;
        ASSERT_EQ(S_OK, f->QueryInterface(iid, reinterpret_cast<void**>(&pItf))) << GuidToString(iid);
        IUnknown* pBack = nullptr;
        ASSERT_EQ(S_OK, pItf->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pBack)));
        EXPECT_EQ(pIdentity, pBack) << GuidToString(iid);
        // A reference taken through any interface, the receive thread's
        // writer included, is a reference on the filter.
        EXPECT_EQ(CountOf(pIdentity), CountOf(pItf)) << GuidToString(iid);
        pBack->Release();
        pItf->Release();
    }
    void* pv = &pv;
    EXPECT_EQ(E_NOINTERFACE, f->QueryInterface(IID_IMemInputPin, &pv));
    EXPECT_EQ(nullptr, pv);
    pIdentity->Release();
}

// ---------------------------------------------------------------------------
// Load and GetCurFile

TEST(CKVMpg2TSSrcTest, GetCurFileBeforeAndAfterALoad)
{
    CFilterRef f;
    EXPECT_EQ(E_POINTER, f->GetCurFile(nullptr, nullptr));
    LPWSTR psz = reinterpret_cast<LPWSTR>(&psz);
    AM_MEDIA_TYPE mt;
    memset(&mt, 0xCD, sizeof(mt));
    ASSERT_EQ(S_OK, f->GetCurFile(&psz, &mt));
    EXPECT_EQ(nullptr, psz);
    EXPECT_EQ(GUID_NULL, mt.majortype);  // not connected: no type
    EXPECT_EQ(nullptr, mt.pbFormat);

    // A name that is no URL still becomes the current file.
    EXPECT_TRUE(FAILED(f->Load(u"udp://not a host:5000", nullptr)));
    ASSERT_EQ(S_OK, f->GetCurFile(&psz, nullptr));
    ASSERT_NE(nullptr, psz);
    EXPECT_EQ(CWString(u"udp://not a host:5000"), CWString(psz));
    CoTaskMemFree(psz);
}

TEST(CKVMpg2TSSrcTest, LoadRefusesBadOptionsBeforeOpeningAnything)
{
    CFilterRef f;
    EXPECT_EQ(KVMM_E_INVALID_STREAM_OPTION, f->Load(u"udp://127.0.0.1:5000?rtpmap=96;VP8/90000", nullptr));
    EXPECT_EQ(INVALID_SOCKET, f->RecvThread()->GetSocket());
    EXPECT_EQ(KVMM_E_INVALID_STREAM_OPTION, f->Load(u"udp://127.0.0.1:5000?comp=VC1", nullptr));
    EXPECT_EQ(INVALID_SOCKET, f->RecvThread()->GetSocket());
}

TEST(CKVMpg2TSSrcTest, LoadSetsTheStreamTypeAndANullMajorTypeCountsAsNone)
{
    CFilterRef f;
    CMediaType mtNull;  // every field zero
    mtNull.SetSubtype(&MEDIASUBTYPE_H264);
    (void)f->Load(u"bad url", &mtNull);
    CMediaType mt;
    ASSERT_EQ(S_OK, f->GetMediaType(0, &mt));
    EXPECT_EQ(MEDIATYPE_Stream, *mt.Type());
    EXPECT_EQ(MEDIASUBTYPE_UDPStream, *mt.Subtype());

    CMediaType mtGiven = graphtest::VideoType(MEDIASUBTYPE_MJPG);
    mtGiven.SetTemporalCompression(TRUE);
    (void)f->Load(u"bad url", &mtGiven);
    ASSERT_EQ(S_OK, f->GetMediaType(0, &mt));
    EXPECT_EQ(MEDIATYPE_Video, *mt.Type());
    EXPECT_EQ(MEDIASUBTYPE_MJPG, *mt.Subtype());
    EXPECT_FALSE(mt.bTemporalCompression);
    EXPECT_TRUE(mt.bFixedSizeSamples);
    EXPECT_EQ(1u, mt.lSampleSize);
}

// ---------------------------------------------------------------------------
// GetState and starvation, in a graph with a push sink

class CKVMpg2TSSrcGraphTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CFilterGraph::Create(&m_pGraph));
        ASSERT_EQ(S_OK, CKVMpg2TSSrc::CreateInstance(&m_pSrc));
        ASSERT_EQ(S_OK, CPushSink::Create(
                            [this](const CPushSinkEvent& ev) {
                                if (ev.eKind == CPushSinkEvent::kSample)
                                    m_waiter.Update([&] { m_cSamples++; });
                                return S_OK;
                            },
                            nullptr, true, &m_pSink));
    }
    void TearDown() override
    {
        if (m_pGraph) {
            (void)m_pGraph->Stop();
            m_pGraph->Release();
        }
        if (m_pSink)
            m_pSink->Release();
        if (m_pSrc)
            m_pSrc->Release();
    }
    // An elementary stream (40 ms frames) pushed to the sink, the graph
    // paused.
    void BuildPaused(const char16_t* pszOptions = nullptr)
    {
        ASSERT_EQ(S_OK, m_pSrc->SetOutputMediaType(&m_mt));
        if (pszOptions) {
            ASSERT_EQ(S_OK, m_pSrc->RecvThread()->ParseOptions(pszOptions));
        }
        ASSERT_EQ(S_OK, m_pGraph->AddFilter(m_pSrc, u"source"));
        ASSERT_EQ(S_OK, m_pGraph->AddFilter(m_pSink, u"sink"));
        ASSERT_EQ(S_OK, m_pGraph->ConnectDirect(m_pSrc->OutputPin(), m_pSink->InputPin(), nullptr));
        ASSERT_EQ(S_OK, m_pGraph->Pause());
    }
    // One frame per call, 40 ms of network time apart, as the receive
    // thread hands them on.
    void Deliver(int n)
    {
        static const BYTE ab[64] = {};
        for (int i = 0; i < n; ++i, ++m_nFrame)
            ASSERT_EQ(S_OK, m_pSrc->UDPOutputPin()->DeliverData(ab, sizeof(ab), 1000 * kMs + m_nFrame * 40 * kMs, 0,
                                                                  1, TRUE));
    }
    HRESULT State(FILTER_STATE* pfs)
    {
        return m_pSrc->GetState(0, pfs);
    }
    int StarvationEvents()
    {
        int n = 0;
        long lCode;
        LONG_PTR l1, l2;
        while (m_pGraph->GetEvent(&lCode, &l1, &l2, 0) == S_OK)
            n += lCode == EC_STARVATION ? 1 : 0;
        return n;
    }

    CMediaType m_mt = graphtest::VideoType(MEDIASUBTYPE_MJPG, 40 * kMs);
    CFilterGraph* m_pGraph = nullptr;
    CKVMpg2TSSrc* m_pSrc = nullptr;
    CPushSink* m_pSink = nullptr;
    graphtest::CWaiter m_waiter;
    int m_cSamples = 0;
    int m_nFrame = 0;
};

TEST_F(CKVMpg2TSSrcGraphTest, PausedIsIntermediateUntilSevenFramesOf40msThenCannotCue)
{
    BuildPaused();
    FILTER_STATE fs;
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(VFW_S_STATE_INTERMEDIATE, State(&fs)) << i << " samples";
        EXPECT_EQ(State_Paused, fs);
        Deliver(1);
    }
    EXPECT_EQ(40 * kMs, m_pSrc->UDPOutputPin()->FrameDuration());  // measured from the first two
    EXPECT_EQ(VFW_S_CANT_CUE, State(&fs));
    Deliver(3);
    EXPECT_EQ(VFW_S_CANT_CUE, State(&fs));
    EXPECT_TRUE(m_waiter.WaitFor([&] { return m_cSamples == 10; }));  // a paused sink takes them
    ASSERT_EQ(S_OK, m_pGraph->Run());
    EXPECT_EQ(S_OK, State(&fs));
    EXPECT_EQ(State_Running, fs);
    ASSERT_EQ(S_OK, m_pGraph->Stop());
    EXPECT_EQ(S_OK, State(&fs));
    EXPECT_EQ(State_Stopped, fs);
}

TEST(CKVMpg2TSSrcTest, SamplesToCueFollowTheFrameDurationAndTheLatency)
{
    struct
    {
        REFERENCE_TIME rtFrame;
        REFERENCE_TIME rtLatency;
        LONG nNeeded;
    } kCases[] = {
        {40 * kMs, 0, 7},
        {40 * kMs, 100 * kMs, 4},
        {10 * kMs, 100 * kMs, 3},  // 10 ms frames count as 1/30 s
        {1, 0, 7},                 // not measured yet
        {40 * kMs, 240 * kMs, 1},  // the latency alone covers the wait
    };
    for (const auto& c : kCases) {
        CFilterRef f;  // never loaded nor paused: no read loop runs
        (void)f->UDPOutputPin()->SetFrameDuration(c.rtFrame);
        const std::u16string strOpt = u"?Latency=" + Utf8ToWide(std::to_string(c.rtLatency / kMs));
        ASSERT_EQ(S_OK, f->RecvThread()->ParseOptions(strOpt.c_str()));
        EXPECT_EQ(c.nNeeded, f->SamplesNeededForCue()) << c.rtFrame << " " << c.rtLatency;
    }
}

TEST_F(CKVMpg2TSSrcGraphTest, StarvationIsSentOnceAndHoldsTheGraphIntermediate)
{
    BuildPaused();
    Deliver(8);
    FILTER_STATE fs;
    ASSERT_EQ(VFW_S_CANT_CUE, State(&fs));

    m_pSrc->SetStarvation(TRUE);
    m_pSrc->SetStarvation(TRUE);
    EXPECT_EQ(1, StarvationEvents());
    EXPECT_EQ(VFW_S_STATE_INTERMEDIATE, State(&fs));
    ASSERT_EQ(S_OK, m_pGraph->Run());
    EXPECT_EQ(VFW_S_STATE_INTERMEDIATE, State(&fs));  // starving while running too

    // A flush of the reader ends it, as data does.
    m_pSrc->CKVMpg2TSSrcStream::BeginFlush();
    m_pSrc->CKVMpg2TSSrcStream::EndFlush();
    EXPECT_FALSE(m_pSrc->IsStarving());
    EXPECT_EQ(S_OK, State(&fs));
    m_pSrc->SetStarvation(TRUE);
    EXPECT_EQ(1, StarvationEvents());  // a new starvation is a new event
    m_pSrc->SetStarvation(FALSE);
    EXPECT_EQ(S_OK, State(&fs));
}

TEST_F(CKVMpg2TSSrcGraphTest, ByteStreamNeverStarvesTheGraph)
{
    ASSERT_EQ(S_OK, m_pGraph->AddFilter(m_pSrc, u"source"));
    ASSERT_EQ(S_OK, m_pGraph->Pause());
    m_pSrc->SetStarvation(TRUE);
    EXPECT_EQ(0, StarvationEvents());
    EXPECT_FALSE(m_pSrc->IsStarving());
    FILTER_STATE fs;
    EXPECT_EQ(S_OK, State(&fs));
    EXPECT_EQ(State_Paused, fs);
}

// ---------------------------------------------------------------------------
// IDispatch

TEST(CKVMpg2TSSrcTest, DispatchAnswersFromTheTypeLibrary)
{
    CFilterRef f;
    IDispatch* pDisp = static_cast<IKVUDPSrc*>(f.p);
    UINT n = 0;
    EXPECT_EQ(S_OK, pDisp->GetTypeInfoCount(&n));
    EXPECT_EQ(1u, n);
    ITypeInfo* pInfo = reinterpret_cast<ITypeInfo*>(&n);
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, pDisp->GetTypeInfo(1, 0, &pInfo));
    EXPECT_EQ(E_POINTER, pDisp->GetTypeInfo(0, 0, nullptr));
    ASSERT_EQ(S_OK, pDisp->GetTypeInfo(0, 0, &pInfo));
    TYPEATTR attr;
    ASSERT_EQ(S_OK, pInfo->GetTypeAttr(&attr));
    EXPECT_EQ(IID_IKVUDPSrc, attr.guid);
    EXPECT_EQ(TKIND_DISPATCH, attr.typekind);
    pInfo->Release();

    struct
    {
        const char16_t* pszName;
        DISPID id;
    } kNames[] = {{u"CallbackObj", 1},        {u"CallInSameThread", 2},    {u"GetReceiveTime", 3},
                  {u"StopLogging", 4},        {u"ConvertTimeToString", 5}, {u"ConvertStringToTime", 6},
                  {u"callinsamethread", 2}};
    for (const auto& c : kNames) {
        LPOLESTR psz = const_cast<LPOLESTR>(c.pszName);
        DISPID id = 0;
        EXPECT_EQ(S_OK, pDisp->GetIDsOfNames(IID_NULL, &psz, 1, 0, &id));
        EXPECT_EQ(c.id, id) << WideToUtf8(c.pszName);
    }
    LPOLESTR pszUnknown = const_cast<LPOLESTR>(u"Load");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, pDisp->GetIDsOfNames(IID_NULL, &pszUnknown, 1, 0, &id));

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, pDisp->Invoke(4, IID_IKVUDPSrc, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
}

TEST(CKVMpg2TSSrcTest, InvokeReachesThePropertiesAndTheReceiveTimeLog)
{
    CFilterRef f;
    IDispatch* pDisp = static_cast<IKVUDPSrc*>(f.p);

    // CallInSameThread = 5 through Invoke; the interface reads it back.
    ASSERT_EQ(S_OK, Invoke(pDisp, 2, DISPATCH_PROPERTYPUT, {VarI4(5)}, nullptr));
    VARIANT_BOOL b = 0;
    ASSERT_EQ(S_OK, f->get_CallInSameThread(&b));
    EXPECT_EQ(VARIANT_TRUE, b);
    ASSERT_EQ(S_OK, f->put_CallInSameThread(VARIANT_FALSE));
    VARIANT vr;
    VariantInit(&vr);
    ASSERT_EQ(S_OK, Invoke(pDisp, 2, DISPATCH_PROPERTYGET, {}, &vr));
    EXPECT_EQ(VT_BOOL, vr.vt);
    EXPECT_EQ(VARIANT_FALSE, vr.boolVal);

    // No receive time was logged: the log's own status comes back.
    VariantInit(&vr);
    EXPECT_EQ(KVMM_E_NO_RECEIVE_TIME, Invoke(pDisp, 3, DISPATCH_METHOD, {Var(0.0)}, &vr));
    EXPECT_EQ(S_OK, Invoke(pDisp, 4, DISPATCH_METHOD, {}, nullptr));

    // A time to text and back, through dispatch ids 5 and 6. The arguments
    // go last first. 2021-03-04 05:06:07.089 UTC as a file time.
    const double dTime = 132593079670890000.0;
    BSTR bstrPrefix = SysAllocString(u"cam1_");
    BSTR bstrSuffix = SysAllocString(u".ts");
    VariantInit(&vr);
    ASSERT_EQ(S_OK, Invoke(pDisp, 5, DISPATCH_METHOD, {Var(bstrSuffix), Var(bstrPrefix), Var(dTime)}, &vr));
    ASSERT_EQ(VT_BSTR, vr.vt);
    EXPECT_EQ("cam1_2021_03_04__05_06_07_089.ts", WideToUtf8(vr.bstrVal));
    VARIANT vTime;
    VariantInit(&vTime);
    ASSERT_EQ(S_OK, Invoke(pDisp, 6, DISPATCH_METHOD, {Var(vr.bstrVal)}, &vTime));
    EXPECT_EQ(VT_R8, vTime.vt);
    EXPECT_EQ(dTime, vTime.dblVal);
    (void)VariantClear(&vr);
    SysFreeString(bstrPrefix);
    SysFreeString(bstrSuffix);
}

// ---------------------------------------------------------------------------
// Callback registration

TEST(CKVMpg2TSSrcTest, CallbackRegistrationAndRemoval)
{
    CFilterRef f;
    // Nobody registered: the receive thread waits on without asking.
    EXPECT_FALSE(f->HasCallback());
    EXPECT_EQ(S_FALSE, f->AskIfIShouldContinueWaiting(1000));

    CTestCallback callback;
    callback.m_hrAnswer = E_ABORT;
    ASSERT_EQ(S_OK, f->put_CallInSameThread(VARIANT_FALSE));
    ASSERT_EQ(S_OK, f->put_CallbackObj(&callback));
    EXPECT_TRUE(f->HasCallback());
    IUnknown* pGot = nullptr;
    ASSERT_EQ(S_OK, f->get_CallbackObj(&pGot));
    EXPECT_EQ(static_cast<IUnknown*>(&callback), pGot);
    pGot->Release();
    EXPECT_EQ(E_ABORT, f->AskIfIShouldContinueWaiting(2001));
    ASSERT_EQ(1u, callback.CallCount());
    EXPECT_EQ(EVENTTYPE_NODATAAVAILABLE, callback.Calls()[0].type);
    EXPECT_EQ(2001.0, callback.Calls()[0].dParam1);

    // An object that is no callback replaces nothing with nothing.
    CNotACallback other;
    EXPECT_EQ(E_NOINTERFACE, f->put_CallbackObj(&other));
    EXPECT_FALSE(f->HasCallback());
    ASSERT_EQ(S_OK, f->get_CallbackObj(&pGot));
    EXPECT_EQ(nullptr, pGot);
    EXPECT_EQ(1, callback.m_cRef.load());  // let go

    ASSERT_EQ(S_OK, f->put_CallbackObj(&callback));
    ASSERT_EQ(S_OK, f->put_CallbackObj(nullptr));
    ASSERT_EQ(S_OK, f->get_CallbackObj(&pGot));
    EXPECT_EQ(nullptr, pGot);
    EXPECT_EQ(S_FALSE, f->AskIfIShouldContinueWaiting(3000));
    EXPECT_EQ(1, callback.m_cRef.load());
    EXPECT_EQ(E_POINTER, f->get_CallbackObj(nullptr));
    EXPECT_EQ(E_POINTER, f->get_CallInSameThread(nullptr));
}

TEST(CKVMpg2TSSrcTest, CallInSameThreadReachesTheRegisteredCallback)
{
    CTestCallback callback;
    CFilterRef f;
    callback.m_hrAnswer = E_ABORT;
    // Registered on a thread that never dispatches: with CallInSameThread
    // (the default) the question waits 10 ms and counts as "go on".
    CAppThread app([&] { ASSERT_EQ(S_OK, f->put_CallbackObj(&callback)); }, false);
    EXPECT_EQ(S_FALSE, f->AskIfIShouldContinueWaiting(1000));
    // Switched off, the next question is asked right here... but the first
    // call is still pending on that thread, so it is dropped.
    ASSERT_EQ(S_OK, f->put_CallInSameThread(VARIANT_FALSE));
    EXPECT_EQ(S_FALSE, f->AskIfIShouldContinueWaiting(2000));
    EXPECT_EQ(0u, callback.CallCount());
    app.Pump();
    ASSERT_TRUE(callback.WaitCalled(5000));
    EXPECT_EQ(app.Id(), callback.Calls()[0].dwThread);
    // Nothing pending now: asked directly, on this thread.
    HRESULT hr = S_FALSE;
    for (int i = 0; i < 100 && hr == S_FALSE; ++i)
        hr = f->AskIfIShouldContinueWaiting(3000);  // the first call may still be finishing
    EXPECT_EQ(E_ABORT, hr);
    EXPECT_EQ(GetCurrentThreadId(), callback.Calls().back().dwThread);
    ASSERT_EQ(S_OK, f->put_CallbackObj(nullptr));  // the callback goes before the filter
}
