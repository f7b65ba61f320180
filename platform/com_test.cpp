#include <gtest/gtest.h>

#include <cstring>

#include "platform/bstr.h"
#include "platform/mediatype.h"
#include "platform/unknown.h"

// GUIDs cross files and process boundaries as 16 raw bytes and as text; both
// forms must round-trip and agree with each other.
TEST(GuidTest, TextRoundTripAndByteLayout)
{
    GUID g{};
    ASSERT_TRUE(GuidFromString("{5fe31118-25fb-4d77-bc62-3d9cc32bbe67}", &g));
    EXPECT_EQ(g, MEDIASUBTYPE_UDPStream);
    EXPECT_EQ(GuidToString(g), "{5FE31118-25FB-4D77-BC62-3D9CC32BBE67}");
    GUID g2{};
    ASSERT_TRUE(GuidFromString("5FE31118-25FB-4D77-BC62-3D9CC32BBE67", &g2));
    EXPECT_EQ(g, g2);

    // Data1..Data3 little-endian, Data4 in text order.
    const BYTE kBytes[16] = {0x18, 0x11, 0xE3, 0x5F, 0xFB, 0x25, 0x77, 0x4D,
                             0xBC, 0x62, 0x3D, 0x9C, 0xC3, 0x2B, 0xBE, 0x67};
    EXPECT_EQ(memcmp(&g, kBytes, 16), 0);

    EXPECT_NE(g, MEDIASUBTYPE_H264);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, GUID{}));
}

TEST(GuidTest, MalformedTextIsRefusedAndLeavesOutputAlone)
{
    const char* kBad[] = {
        "",
        "{5FE31118-25FB-4D77-BC62-3D9CC32BBE67",    // no closing brace
        "5FE31118-25FB-4D77-BC62-3D9CC32BBE67}",    // closing brace only
        "{5FE31118-25FB-4D77-BC62-3D9CC32BBE6}",    // short last group
        "{5FE31118-25FB-4D77-BC62-3D9CC32BBE678}",  // long last group
        "{5FE3111G-25FB-4D77-BC62-3D9CC32BBE67}",   // not hex
        "{5FE31118_25FB-4D77-BC62-3D9CC32BBE67}",   // wrong separator
        "{5FE31118-25FB-4D77-BC623D9CC32BBE67}",    // missing separator
    };
    for (const char* psz : kBad) {
        GUID g = MEDIATYPE_Video;
        EXPECT_FALSE(GuidFromString(psz, &g)) << psz;
        EXPECT_EQ(g, MEDIATYPE_Video) << psz;
    }
    EXPECT_FALSE(GuidFromString(nullptr, nullptr));
}

TEST(BstrTest, LengthPrefixEmbeddedZerosAndNull)
{
    BSTR b = SysAllocString(u"C:\\dvr");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 6u);
    EXPECT_EQ(SysStringByteLen(b), 12u);
    // The 4 bytes before the text hold the byte count, little-endian.
    const BYTE* pPrefix = reinterpret_cast<const BYTE*>(b) - 4;
    EXPECT_EQ(pPrefix[0], 12);
    EXPECT_EQ(pPrefix[1] | pPrefix[2] | pPrefix[3], 0);
    EXPECT_EQ(b[6], 0);
    SysFreeString(b);

    const WCHAR kWithZero[] = {u'a', 0, u'b'};
    b = SysAllocStringLen(kWithZero, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(b[2], u'b');
    EXPECT_EQ(b[3], 0);
    SysFreeString(b);

    b = SysAllocStringLen(nullptr, 4);  // room to be filled by the caller
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 4u);
    SysFreeString(b);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);

    void* pv = CoTaskMemAlloc(0);  // a zero-sized block is still a block
    ASSERT_NE(pv, nullptr);
    pv = CoTaskMemRealloc(pv, 64);
    ASSERT_NE(pv, nullptr);
    CoTaskMemFree(pv);
}

namespace {

constexpr IID IID_IInner = {0x1d3c0001, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID IID_IOuter = {0x1d3c0002, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};

struct IInner : IUnknown
{
    virtual int InnerValue() = 0;
};
struct IOuter : IUnknown
{
    virtual int OuterValue() = 0;
};

class CInner : public CUnknown, public IInner
{
public:
    CInner(IUnknown* pOuter, int* pnDeleted) : CUnknown("inner", pOuter), m_pnDeleted(pnDeleted) {}
    ~CInner() override { ++*m_pnDeleted; }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IInner)
            return GetInterface(static_cast<IInner*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    int InnerValue() override { return 7; }
    LONG Count() const { return m_cRef.load(); }

private:
    int* m_pnDeleted;
};

// Aggregates CInner: IInner is answered by the inner object.
class COuter : public CUnknown, public IOuter
{
public:
    explicit COuter(int* pnDeleted) : CUnknown("outer", nullptr), m_pnDeleted(pnDeleted)
    {
        m_pInner = new CInner(GetOwner(), pnDeleted);
        m_pInnerUnk = m_pInner->GetNonDelegatingUnknown();
        m_pInnerUnk->AddRef();
    }
    ~COuter() override
    {
        m_pInnerUnk->Release();
        ++*m_pnDeleted;
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IOuter)
            return GetInterface(static_cast<IOuter*>(this), ppv);
        if (riid == IID_IInner)
            return m_pInnerUnk->QueryInterface(riid, ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    int OuterValue() override { return 3; }
    LONG Count() const { return m_cRef.load(); }

    CInner* m_pInner = nullptr;

private:
    IUnknown* m_pInnerUnk = nullptr;
    int* m_pnDeleted;
};

}  // namespace

TEST(UnknownTest, AggregatedInterfacesShareTheOuterIdentityAndCount)
{
    int nDeleted = 0;
    COuter* pOuter = new COuter(&nDeleted);
    CComPtr<IOuter> pIOuter;
    ASSERT_EQ(pOuter->NonDelegatingQueryInterface(IID_IOuter, reinterpret_cast<void**>(&pIOuter)), S_OK);
    EXPECT_EQ(pOuter->Count(), 1);
    LONG cInnerBefore = pOuter->m_pInner->Count();

    CComPtr<IInner> pIInner;
    ASSERT_EQ(pIOuter.QueryInterface(IID_IInner, &pIInner), S_OK);
    EXPECT_EQ(pIInner->InnerValue(), 7);
    // The reference the inner interface carries is counted on the outer.
    EXPECT_EQ(pOuter->Count(), 2);
    EXPECT_EQ(pOuter->m_pInner->Count(), cInnerBefore);

    // Back from the inner interface to the outer one, and one identity.
    CComPtr<IOuter> pAgain;
    ASSERT_EQ(pIInner.QueryInterface(IID_IOuter, &pAgain), S_OK);
    EXPECT_EQ(pAgain->OuterValue(), 3);
    CComPtr<IUnknown> pUnk1, pUnk2;
    ASSERT_EQ(pIInner.QueryInterface(IID_IUnknown, &pUnk1), S_OK);
    ASSERT_EQ(pIOuter.QueryInterface(IID_IUnknown, &pUnk2), S_OK);
    EXPECT_EQ(pUnk1.Get(), pUnk2.Get());

    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(pIOuter->QueryInterface(GUID_NULL, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);

    pAgain.Release();
    pUnk1.Release();
    pUnk2.Release();
    pIOuter.Release();
    EXPECT_EQ(nDeleted, 0);  // the inner reference still holds the aggregate
    pIInner.Release();
    EXPECT_EQ(nDeleted, 2);
}

TEST(UnknownTest, SmartPointerAttachDetachAndCopies)
{
    int nDeleted = 0;
    CInner* p = new CInner(nullptr, &nDeleted);
    IInner* pRaw = nullptr;
    ASSERT_EQ(p->NonDelegatingQueryInterface(IID_IInner, reinterpret_cast<void**>(&pRaw)), S_OK);
    {
        CComPtr<IInner> a;
        a.Attach(pRaw);  // takes over the reference from the query
        EXPECT_EQ(p->Count(), 1);
        CComPtr<IInner> b = a;
        EXPECT_EQ(p->Count(), 2);
        CComPtr<IInner> c = std::move(b);
        EXPECT_EQ(p->Count(), 2);
        EXPECT_EQ(b.Get(), nullptr);
        IInner* pDetached = c.Detach();
        EXPECT_EQ(p->Count(), 2);
        c.Attach(pDetached);
        c = a;  // self-equal assignment keeps the count straight
        EXPECT_EQ(p->Count(), 2);
    }
    EXPECT_EQ(nDeleted, 1);
}
