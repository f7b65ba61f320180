// CEventThunk: the application's callback, called directly or through a
// message posted to the registering thread's hidden window.
#include "dshowflt/mpegdemux/kvudpsrc/eventthunk.h"

#include "dshowflt/common/trace/trace.h"
#include "platform/thread.h"

namespace {

constexpr char16_t kClassName[] = u"KVMM CEventThunk APC class";
constexpr char16_t kWindowName[] = u"CEventThunk APC";
// Another thunk may unregister the class between our registration and our
// window; the pair is tried again this often.
constexpr int kCreateAttempts = 3;

}  // namespace

CEventThunk::CEventThunk(HINSTANCE hModule) : m_hModule(hModule), m_dwOwnerThread(GetCurrentThreadId())
{
    m_evIdle.Set();
    for (int i = 0; i < kCreateAttempts && !m_hwnd; ++i) {
        WNDCLASS wc = {};
        wc.lpfnWndProc = &CEventThunk::WindowProc;
        wc.hInstance = hModule;
        wc.lpszClassName = kClassName;
        if (!RegisterClass(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            break;
        m_hwnd = CreateWindowEx(0, kClassName, kWindowName, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, hModule, nullptr);
    }
    if (!m_hwnd)
        Trace("\nCEventThunk::CEventThunk: no window (error %u); notifications are dropped",
              static_cast<unsigned>(GetLastError()));
}

CEventThunk::~CEventThunk()
{
    // A window can only be destroyed by its owner; one left behind by a
    // thunk released elsewhere goes with its thread, and no message for it
    // is pending (each holds a reference to us).
    if (m_hwnd && GetCurrentThreadId() == m_dwOwnerThread)
        (void)DestroyWindow(m_hwnd);
    // Fails while other thunks still have windows of the class; the last
    // one removes it.
    (void)UnregisterClass(kClassName, m_hModule);
    IKVSrcCallback* pTarget;
    {
        CAutoLock lock(&m_cs);
        pTarget = m_pTarget;
        m_pTarget = nullptr;
    }
    if (pTarget)
        pTarget->Release();
}

ULONG CEventThunk::AddRef()
{
    return static_cast<ULONG>(m_cRef.fetch_add(1, std::memory_order_relaxed) + 1);
}

ULONG CEventThunk::Release()
{
    const LONG c = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (c == 0)
        delete this;
    return static_cast<ULONG>(c);
}

void CEventThunk::SetTarget(IKVSrcCallback* pTarget)
{
    if (pTarget)
        pTarget->AddRef();
    IKVSrcCallback* pOld;
    {
        CAutoLock lock(&m_cs);
        pOld = m_pTarget;
        m_pTarget = pTarget;
    }
    if (pOld)
        pOld->Release();
}

void CEventThunk::SetCallInSameThread(BOOL bCallInSameThread)
{
    CAutoLock lock(&m_cs);
    m_bCallInSameThread = bCallInSameThread ? TRUE : FALSE;
}

HRESULT CEventThunk::Fire(SrcEventNotificationConstants notificationType, LONGLONG llParam1, LONGLONG llParam2)
{
    IKVSrcCallback* pTarget = nullptr;
    bool bPosted;
    {
        CAutoLock lock(&m_cs);
        if (!m_bIdle || !m_hwnd)
            return S_FALSE;
        m_bIdle = false;
        m_evIdle.Reset();
        bPosted = m_bCallInSameThread && GetCurrentThreadId() != m_dwOwnerThread;
        if (bPosted) {
            m_type = notificationType;
            m_llParam1 = llParam1;
            m_llParam2 = llParam2;
            m_hrLast = S_FALSE;
        } else {
            pTarget = m_pTarget;
            if (pTarget)
                pTarget->AddRef();
        }
    }
    // Either way we hold a reference while the call is ours: a posted one
    // hands it to the message, which the window procedure gives back.
    AddRef();
    if (!bPosted) {
        HRESULT hr = S_OK;
        if (pTarget) {
            hr = pTarget->EventNotification(notificationType, static_cast<double>(llParam1),
                                            static_cast<double>(llParam2));
            pTarget->Release();
        }
        FinishCall(hr);
        Release();
        return hr;
    }
    if (!PostMessage(m_hwnd, kPostedCallMessage, 0, reinterpret_cast<LPARAM>(this))) {
        // The owner thread has ended: nobody will ever run it.
        Trace("\nCEventThunk::Fire: the callback's thread is gone; notification dropped");
        FinishCall(S_FALSE);
        Release();
        return S_FALSE;
    }
    (void)m_evIdle.Wait(kPostedCallWaitMs);
    CAutoLock lock(&m_cs);
    return m_bIdle ? m_hrLast : S_FALSE;
}

void CEventThunk::FinishCall(HRESULT hr)
{
    CAutoLock lock(&m_cs);
    m_hrLast = hr;
    m_bIdle = true;
    m_evIdle.Set();
}

void CEventThunk::RunPostedCall()
{
    IKVSrcCallback* pTarget;
    SrcEventNotificationConstants type;
    LONGLONG ll1, ll2;
    {
        CAutoLock lock(&m_cs);
        pTarget = m_pTarget;
        if (pTarget)
            pTarget->AddRef();
        type = m_type;
        ll1 = m_llParam1;
        ll2 = m_llParam2;
    }
    HRESULT hr = S_OK;
    if (pTarget) {
        hr = pTarget->EventNotification(type, static_cast<double>(ll1), static_cast<double>(ll2));
        pTarget->Release();
    }
    FinishCall(hr);
}

LRESULT CEventThunk::WindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg != kPostedCallMessage || lParam == 0)
        return DefWindowProc(hwnd, uMsg, wParam, lParam);
    CEventThunk* pThunk = reinterpret_cast<CEventThunk*>(lParam);
    pThunk->RunPostedCall();
    pThunk->Release();  // the reference Fire took for the message
    return 0;
}
