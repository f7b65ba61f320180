// CEventThunk: where the application's callback runs, what the firing
// thread sees, and that a posted call outlives the thunk's other owners.
#include "dshowflt/mpegdemux/kvudpsrc/eventthunk.h"

#include <gtest/gtest.h>

#include <memory>

#include "dshowflt/mpegdemux/kvudpsrc/filtertestutil.h"
#include "platform/comload.h"

using namespace filtertest;

namespace {

HINSTANCE TestModule()
{
    return GetModuleHandleFromAddress(reinterpret_cast<const void*>(&TestModule));
}

// A thunk made on an application thread, as the filter makes one when that
// thread registers its callback.
struct SAppThunk
{
    SAppThunk(CTestCallback* pCallback, BOOL bCallInSameThread, bool bPump)
        : thread(
              [&] {
                  pThunk = new CEventThunk(TestModule());
                  pThunk->SetTarget(pCallback);
                  pThunk->SetCallInSameThread(bCallInSameThread);
              },
              bPump)
    {
    }
    ~SAppThunk()
    {
        if (pThunk)
            pThunk->Release();
    }
    CEventThunk* pThunk = nullptr;
    CAppThread thread;
};

}  // namespace

TEST(CEventThunkTest, DirectCallRunsOnTheFiringThreadAndReturnsTheAnswer)
{
    CTestCallback callback;
    callback.m_hrAnswer = E_ABORT;
    SAppThunk app(&callback, FALSE, false);
    ASSERT_TRUE(app.pThunk->HasWindow());

    EXPECT_EQ(E_ABORT, app.pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 3000, 0));
    const auto calls = callback.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(GetCurrentThreadId(), calls[0].dwThread);  // not the application thread, which never pumps
    EXPECT_EQ(EVENTTYPE_NODATAAVAILABLE, calls[0].type);
    EXPECT_EQ(3000.0, calls[0].dParam1);
    EXPECT_EQ(0.0, calls[0].dParam2);
    // The next one goes through too: the first has finished.
    callback.m_hrAnswer = S_OK;
    EXPECT_EQ(S_OK, app.pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 4000, 0));
    EXPECT_EQ(2u, callback.CallCount());
}

TEST(CEventThunkTest, FiredOnTheOwnerThreadItIsCalledThereDirectly)
{
    CTestCallback callback;
    callback.m_hrAnswer = E_FAIL;
    std::unique_ptr<CEventThunk, void (*)(CEventThunk*)> pThunk(new CEventThunk(TestModule()),
                                                                [](CEventThunk* p) { p->Release(); });
    pThunk->SetTarget(&callback);
    // CallInSameThread is set, but we are that thread: no message, which we
    // would never dispatch while we wait for it.
    EXPECT_EQ(E_FAIL, pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 1, 2));
    ASSERT_EQ(1u, callback.CallCount());
    EXPECT_EQ(GetCurrentThreadId(), callback.Calls()[0].dwThread);
}

TEST(CEventThunkTest, PostedCallRunsOnThePumpingApplicationThread)
{
    CTestCallback callback;
    callback.m_hrAnswer = E_ABORT;
    SAppThunk app(&callback, TRUE, true);

    // The firing thread sees the answer when the application thread runs
    // the call within 10 ms; an idle pumping thread does, but a loaded
    // machine may delay it now and then, and that call's answer is S_FALSE.
    HRESULT hr = S_FALSE;
    for (int i = 0; i < 50 && hr == S_FALSE; ++i) {
        hr = app.pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 1000 * i, 0);
        ASSERT_TRUE(callback.WaitCalled(5000));  // each call does run
    }
    EXPECT_EQ(E_ABORT, hr);
    for (const auto& call : callback.Calls())
        EXPECT_EQ(app.thread.Id(), call.dwThread);
}

TEST(CEventThunkTest, ThreadThatDoesNotPumpNeverGetsTheCallAndLaterOnesAreDropped)
{
    CTestCallback callback;
    callback.m_hrAnswer = E_ABORT;
    SAppThunk app(&callback, TRUE, false);

    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(S_FALSE, app.pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 1000, 0));
    EXPECT_GE(TickDiff(GetTickCount(), dwStart), CEventThunk::kPostedCallWaitMs - 1);  // it waited for the answer
    // While the first call is pending every later one is dropped at once.
    for (int i = 2; i <= 5; ++i)
        EXPECT_EQ(S_FALSE, app.pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 1000 * i, 0));
    EXPECT_FALSE(callback.WaitCalled(50));
    EXPECT_EQ(0u, callback.CallCount());

    // Once the thread dispatches, the first call (and only it) runs there.
    app.thread.Pump();
    ASSERT_TRUE(callback.WaitCalled(5000));
    const auto calls = callback.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(1000.0, calls[0].dParam1);
    EXPECT_EQ(app.thread.Id(), calls[0].dwThread);
}

TEST(CEventThunkTest, PostedCallOutlivesTheThunksOtherOwners)
{
    CTestCallback callback;
    auto pApp = std::make_unique<SAppThunk>(&callback, TRUE, false);
    EXPECT_EQ(S_FALSE, pApp->pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 7, 0));
    // The filter lets go (a new registration, or the filter itself going):
    // the queued message still holds the thunk, and the thunk its target.
    pApp->pThunk->Release();
    pApp->pThunk = nullptr;
    EXPECT_GT(callback.m_cRef.load(), 1);

    pApp->thread.Pump();
    ASSERT_TRUE(callback.WaitCalled(5000));
    EXPECT_EQ(7.0, callback.Calls()[0].dParam1);
    pApp.reset();  // the application thread ends
    // The last reference went with the call: the target is released.
    EXPECT_EQ(1, callback.m_cRef.load());
}

TEST(CEventThunkTest, WithoutTargetACallSucceedsAndOneWithoutWindowIsDropped)
{
    SAppThunk app(nullptr, FALSE, false);
    EXPECT_EQ(S_OK, app.pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 0, 0));

    // A registering thread that has ended took its window with it: a call
    // posted there is dropped at once, and the next one is tried again
    // rather than left pending for ever.
    CTestCallback callback;
    CEventThunk* pThunk = nullptr;
    {
        CAppThread gone([&] { pThunk = new CEventThunk(TestModule()); }, false);
    }
    pThunk->SetTarget(&callback);
    EXPECT_EQ(S_FALSE, pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 0, 0));
    EXPECT_EQ(0u, callback.CallCount());
    // Not stuck: the next notification is tried (and dropped) again.
    EXPECT_EQ(S_FALSE, pThunk->Fire(EVENTTYPE_NODATAAVAILABLE, 0, 0));
    pThunk->Release();
    EXPECT_EQ(1, callback.m_cRef.load());
}
