#include "platform/rot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

// Counts its own destruction, and may revoke a registration from its
// destructor, which a final Release inside the table would deadlock on.
class CTestObject : public CUnknown, public IUnknown
{
public:
    CTestObject(int* pnDestroyed, IRunningObjectTable* pTable = nullptr, DWORD dwCookieToRevoke = 0)
        : CUnknown("test object", nullptr), m_pnDestroyed(pnDestroyed), m_pTable(pTable),
          m_dwCookie(dwCookieToRevoke)
    {
    }
    ~CTestObject() override
    {
        if (m_pTable)
            m_hrRevokeInDtor = m_pTable->Revoke(m_dwCookie);
        ++*m_pnDestroyed;
    }
    DECLARE_IUNKNOWN
    HRESULT m_hrRevokeInDtor = S_OK;

private:
    int* m_pnDestroyed;
    IRunningObjectTable* m_pTable;
    DWORD m_dwCookie;
};

}  // namespace

TEST(RunningObjectTableTest, RegisterLookUpRevokeAndOwnership)
{
    CInProcessObjectTable table;
    int nDestroyed = 0;
    CComPtr<IUnknown> pObj(new CTestObject(&nDestroyed));
    const CItemMoniker mk(u"!", u"TARN DVR Sink 0000abcd pid 00001234");

    DWORD dwCookie = 0;
    ASSERT_EQ(table.Register(ROTFLAGS_REGISTRATIONKEEPSALIVE, pObj, mk, &dwCookie), S_OK);
    EXPECT_NE(dwCookie, 0u);

    // Item names match without regard to case; the delimiter must match.
    CComPtr<IUnknown> pFound;
    ASSERT_EQ(table.GetObject(CItemMoniker(u"!", u"tarn dvr sink 0000ABCD PID 00001234"), &pFound), S_OK);
    EXPECT_EQ(pFound.Get(), pObj.Get());
    EXPECT_EQ(table.IsRunning(mk), S_OK);
    IUnknown* pNone = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(table.GetObject(CItemMoniker(u"/", mk.Item()), &pNone), MK_E_UNAVAILABLE);
    EXPECT_EQ(pNone, nullptr);
    EXPECT_EQ(table.GetObject(CItemMoniker(u"!", u"TARN DVR Sink 0000abcd pid 00001235"), &pFound),
              MK_E_UNAVAILABLE);

    // The table keeps the object alive on its own until the entry goes.
    pObj.Release();
    pFound.Release();
    EXPECT_EQ(nDestroyed, 0);
    EXPECT_EQ(table.Revoke(dwCookie), S_OK);
    EXPECT_EQ(nDestroyed, 1);
    EXPECT_EQ(table.Revoke(dwCookie), E_INVALIDARG);
    EXPECT_EQ(table.IsRunning(mk), S_FALSE);

    EXPECT_EQ(table.Register(0, nullptr, mk, &dwCookie), E_POINTER);
    int nUnused = 0;
    CComPtr<IUnknown> pOther(new CTestObject(&nUnused));
    EXPECT_EQ(table.Register(0, pOther, CItemMoniker(u"!", u""), &dwCookie), MK_E_SYNTAX);
}

TEST(RunningObjectTableTest, FinalReleaseMayRevokeAnotherEntry)
{
    CInProcessObjectTable table;
    int nDestroyed = 0;
    CComPtr<IUnknown> pFirst(new CTestObject(&nDestroyed));
    DWORD dwFirst = 0;
    ASSERT_EQ(table.Register(0, pFirst, CItemMoniker(u"!", u"first"), &dwFirst), S_OK);
    pFirst.Release();

    CTestObject* pRaw = new CTestObject(&nDestroyed, &table, dwFirst);
    CComPtr<IUnknown> pSecond(static_cast<IUnknown*>(pRaw));
    DWORD dwSecond = 0;
    ASSERT_EQ(table.Register(0, pSecond, CItemMoniker(u"!", u"second"), &dwSecond), S_OK);
    pSecond.Release();
    // Revoking the second entry destroys its object, whose destructor
    // revokes the first: both go, without a deadlock.
    ASSERT_EQ(table.Revoke(dwSecond), S_OK);
    EXPECT_EQ(nDestroyed, 2);
    EXPECT_EQ(table.IsRunning(CItemMoniker(u"!", u"first")), S_FALSE);
}

TEST(RunningObjectTableTest, ConcurrentRegistrationsGetDistinctCookies)
{
    CInProcessObjectTable table;
    int nDestroyed = 0;
    CComPtr<IUnknown> pObj(new CTestObject(&nDestroyed));
    constexpr int kThreads = 4, kEach = 50;
    std::vector<DWORD> aCookies(kThreads * kEach);
    std::vector<std::thread> aThreads;
    for (int t = 0; t < kThreads; ++t) {
        aThreads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const CWString strName = u"n" + Utf8ToWide(std::to_string(t * kEach + i));
                if (FAILED(table.Register(0, pObj, CItemMoniker(u"!", strName), &aCookies[t * kEach + i])))
                    aCookies[t * kEach + i] = 0;
                CComPtr<IUnknown> pGot;
                (void)table.GetObject(CItemMoniker(u"!", u"n0"), &pGot);
            }
        });
    }
    for (auto& th : aThreads)
        th.join();
    std::sort(aCookies.begin(), aCookies.end());
    EXPECT_NE(aCookies.front(), 0u);
    EXPECT_EQ(std::adjacent_find(aCookies.begin(), aCookies.end()), aCookies.end());
    for (DWORD dw : aCookies)
        EXPECT_EQ(table.Revoke(dw), S_OK);
    pObj.Release();
    EXPECT_EQ(nDestroyed, 1);
}

TEST(RunningObjectTableTest, ProcessWideTableCanBeReplaced)
{
    IRunningObjectTable* pDefault = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pDefault), S_OK);
    CInProcessObjectTable other;
    EXPECT_EQ(SetRunningObjectTable(&other), pDefault);
    IRunningObjectTable* pNow = nullptr;
    ASSERT_EQ(GetRunningObjectTable(&pNow), S_OK);
    EXPECT_EQ(pNow, &other);
    EXPECT_EQ(SetRunningObjectTable(nullptr), &other);
    ASSERT_EQ(GetRunningObjectTable(&pNow), S_OK);
    EXPECT_EQ(pNow, pDefault);
}
