#include "platform/msgqueue.h"

#include <deque>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/wtext.h"

#include "platform/critsec.h"
#include "platform/sync.h"

namespace {

struct SMessage
{
    uint64_t idWindow;
    UINT uMsg;
    WPARAM wParam;
    LPARAM lParam;
};

// One per thread that owns windows or waits for messages. Posting threads
// hold it through a shared pointer, so it outlives its thread until the last
// of them lets go; bAlive tells them the owner has gone.
struct SQueue
{
    CCritSec cs;
    std::deque<SMessage> dq GUARDED_BY(cs);
    bool bAlive GUARDED_BY(cs) = true;
    HANDLE hEvent = CreateEvent(TRUE, FALSE);  // set while dq is not empty

    ~SQueue()
    {
        if (hEvent >= 0)
            CloseHandle(hEvent);
    }
};

struct SWindow
{
    WNDPROC pfn;
    void* pvContext;
    std::shared_ptr<SQueue> pQueue;
    ATOM atom;  // its class, or 0 for a window made by CreateMessageWindow
};

struct SClass
{
    CWString strName;
    HINSTANCE hInstance;
    WNDPROC pfn;
    ATOM atom;
    int cWindows;
};

// Window ids count up from 1 and are never reused.
struct SRegistry
{
    CCritSec cs;  // taken before SQueue::cs, never after
    std::unordered_map<uint64_t, SWindow> map GUARDED_BY(cs);
    uint64_t idNext GUARDED_BY(cs) = 1;
    std::vector<SClass> vClasses GUARDED_BY(cs);
    ATOM atomNext GUARDED_BY(cs) = 0xC000;  // where the original platform numbers its classes

    SClass* FindClass(LPCWSTR pszName, HINSTANCE hInstance) REQUIRES(cs)
    {
        for (SClass& c : vClasses) {
            if (c.hInstance == hInstance && WStrEqualNoCase(c.strName, pszName))
                return &c;
        }
        return nullptr;
    }
    // Every removal of a window goes through here so that its class knows.
    void EraseWindow(std::unordered_map<uint64_t, SWindow>::iterator it) REQUIRES(cs)
    {
        if (it->second.atom) {
            for (SClass& c : vClasses) {
                if (c.atom == it->second.atom)
                    --c.cWindows;
            }
        }
        map.erase(it);
    }
};

SRegistry& Registry()
{
    // Never destroyed: threads may still end (and drop their windows) while
    // static destructors run.
    static SRegistry* s_p = new SRegistry;
    return *s_p;
}

uint64_t IdOf(HWND hwnd)
{
    return reinterpret_cast<uintptr_t>(hwnd);
}

HWND HwndOf(uint64_t id)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(id));
}

// The calling thread's queue. Its destructor runs when the thread ends: the
// thread's windows go away and later posts fail.
struct SThreadQueue
{
    std::shared_ptr<SQueue> p;

    ~SThreadQueue()
    {
        if (!p)
            return;
        SRegistry& reg = Registry();
        CAutoLock lockReg(&reg.cs);
        for (auto it = reg.map.begin(); it != reg.map.end();) {
            auto itNext = std::next(it);
            if (it->second.pQueue == p)
                reg.EraseWindow(it);
            it = itNext;
        }
        CAutoLock lock(&p->cs);
        p->bAlive = false;
        p->dq.clear();
    }
};

thread_local SThreadQueue t_queue;

SQueue* ThisQueue()
{
    if (!t_queue.p) {
        SQueue* pNew = new (std::nothrow) SQueue;
        if (!pNew || pNew->hEvent < 0) {
            delete pNew;
            return nullptr;
        }
        t_queue.p.reset(pNew);
    }
    return t_queue.p.get();
}

bool FindWindow(uint64_t id, SWindow* pOut)
{
    SRegistry& reg = Registry();
    CAutoLock lock(&reg.cs);
    auto it = reg.map.find(id);
    if (it == reg.map.end())
        return false;
    *pOut = it->second;
    return true;
}

}  // namespace

HWND CreateMessageWindow(WNDPROC pfn, void* pvContext)
{
    if (!pfn || !ThisQueue())
        return nullptr;
    SRegistry& reg = Registry();
    CAutoLock lock(&reg.cs);
    const uint64_t id = reg.idNext++;
    reg.map[id] = SWindow{pfn, pvContext, t_queue.p, 0};
    return HwndOf(id);
}

BOOL DestroyMessageWindow(HWND hwnd)
{
    SRegistry& reg = Registry();
    CAutoLock lock(&reg.cs);
    auto it = reg.map.find(IdOf(hwnd));
    if (it == reg.map.end() || it->second.pQueue != t_queue.p)
        return FALSE;
    reg.EraseWindow(it);
    return TRUE;
}

BOOL DestroyWindow(HWND hwnd) { return DestroyMessageWindow(hwnd); }

ATOM RegisterClass(const WNDCLASS* pWndClass)
{
    if (!pWndClass || !pWndClass->lpfnWndProc || !pWndClass->lpszClassName || !*pWndClass->lpszClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    SRegistry& reg = Registry();
    CAutoLock lock(&reg.cs);
    if (reg.FindClass(pWndClass->lpszClassName, pWndClass->hInstance)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (reg.atomNext == 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const ATOM atom = reg.atomNext++;
    reg.vClasses.push_back(SClass{pWndClass->lpszClassName, pWndClass->hInstance, pWndClass->lpfnWndProc, atom, 0});
    return atom;
}

BOOL UnregisterClass(LPCWSTR pszClassName, HINSTANCE hInstance)
{
    SRegistry& reg = Registry();
    CAutoLock lock(&reg.cs);
    SClass* pClass = pszClassName ? reg.FindClass(pszClassName, hInstance) : nullptr;
    if (!pClass) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (pClass->cWindows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    reg.vClasses.erase(reg.vClasses.begin() + (pClass - reg.vClasses.data()));
    return TRUE;
}

HWND CreateWindowEx(DWORD dwExStyle, LPCWSTR pszClassName, LPCWSTR pszWindowName, DWORD dwStyle, int x, int y,
                    int nWidth, int nHeight, HWND hwndParent, void* hMenu, HINSTANCE hInstance, void* lpParam)
{
    (void)dwExStyle, (void)pszWindowName, (void)dwStyle, (void)x, (void)y, (void)nWidth, (void)nHeight;
    (void)hwndParent, (void)hMenu;
    if (!ThisQueue()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SRegistry& reg = Registry();
    CAutoLock lock(&reg.cs);
    SClass* pClass = pszClassName ? reg.FindClass(pszClassName, hInstance) : nullptr;
    if (!pClass) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    ++pClass->cWindows;
    const uint64_t id = reg.idNext++;
    reg.map[id] = SWindow{pClass->pfn, lpParam, t_queue.p, pClass->atom};
    return HwndOf(id);
}

void* GetMessageWindowContext(HWND hwnd)
{
    SWindow wnd;
    return FindWindow(IdOf(hwnd), &wnd) ? wnd.pvContext : nullptr;
}

BOOL PostMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    SWindow wnd;
    if (!FindWindow(IdOf(hwnd), &wnd))
        return FALSE;
    SQueue* pQueue = wnd.pQueue.get();
    CAutoLock lock(&pQueue->cs);
    if (!pQueue->bAlive)
        return FALSE;
    pQueue->dq.push_back(SMessage{IdOf(hwnd), uMsg, wParam, lParam});
    if (pQueue->dq.size() == 1)
        (void)SetEvent(pQueue->hEvent);
    return TRUE;
}

BOOL PeekAndDispatchMessages()
{
    SQueue* pQueue = t_queue.p.get();
    if (!pQueue)
        return FALSE;
    std::deque<SMessage> dq;
    {
        CAutoLock lock(&pQueue->cs);
        dq.swap(pQueue->dq);
        (void)ResetEvent(pQueue->hEvent);
    }
    // Window procedures run without any lock: they may post, create or
    // destroy windows, or block.
    for (const SMessage& m : dq) {
        SWindow wnd;
        if (FindWindow(m.idWindow, &wnd) && wnd.pQueue == t_queue.p)
            wnd.pfn(HwndOf(m.idWindow), m.uMsg, m.wParam, m.lParam);
    }
    return dq.empty() ? FALSE : TRUE;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

HANDLE GetThreadMessageQueueHandle()
{
    SQueue* pQueue = ThisQueue();
    return pQueue ? pQueue->hEvent : INVALID_HANDLE_VALUE;
}
