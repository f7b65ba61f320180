// Hidden windows and posted messages, per thread.
//
// Some work has to run on one particular thread (an application callback on
// the thread that registered it). Such a thread creates a message window with
// a window procedure; any thread may post a message to it; the owner thread
// runs the window procedure when it dispatches its queue, and its
// MsgWaitForMultipleObjects wakes while messages are queued. A message is
// never dispatched on any thread but the window's owner.
//
// A window handle is an opaque number that is never reused, so posting to a
// window that was destroyed (or whose thread ended) fails cleanly instead of
// reaching a stranger. Messages still queued for a destroyed window are dropped.
#pragma once

#include "platform/wintypes.h"

typedef struct MSGWINDOW* HWND;
typedef LONG_PTR LRESULT;
typedef LRESULT (*WNDPROC)(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

constexpr UINT WM_USER = 0x0400;

typedef WORD ATOM;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

// A window class. Only the window procedure, the module and the name count;
// the other fields exist for code written against the full structure.
struct WNDCLASS
{
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    void* hIcon;
    void* hCursor;
    void* hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
};

// Registers a class for the whole process under its name and module; names
// compare without regard to ASCII letter case. 0 on failure, with
// GetLastError() ERROR_CLASS_ALREADY_EXISTS or ERROR_INVALID_PARAMETER.
ATOM RegisterClass(const WNDCLASS* pWndClass);
// FALSE with ERROR_CLASS_DOES_NOT_EXIST, or ERROR_CLASS_HAS_WINDOWS while a
// window of the class exists on any thread.
BOOL UnregisterClass(LPCWSTR pszClassName, HINSTANCE hInstance);
// A window of a registered class (name and module), owned by the calling
// thread, with lpParam as its context. These windows are never shown: style,
// position, size, parent and menu are ignored, and no creation or
// destruction messages are sent. nullptr with ERROR_CANNOT_FIND_WND_CLASS.
HWND CreateWindowEx(DWORD dwExStyle, LPCWSTR pszClassName, LPCWSTR pszWindowName, DWORD dwStyle, int x, int y,
                    int nWidth, int nHeight, HWND hwndParent, void* hMenu, HINSTANCE hInstance, void* lpParam);
// DestroyMessageWindow.
BOOL DestroyWindow(HWND hwnd);

// Owned by the calling thread; destroyed with DestroyMessageWindow or when
// that thread ends. nullptr on failure.
HWND CreateMessageWindow(WNDPROC pfn, void* pvContext);
// Owner thread only; FALSE for an unknown window or another thread.
BOOL DestroyMessageWindow(HWND hwnd);
// The context given at creation; nullptr for an unknown window.
void* GetMessageWindowContext(HWND hwnd);
// Any thread. FALSE when the window no longer exists.
BOOL PostMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
// Dispatches the messages queued for the calling thread's windows, in the
// order they were posted, without holding any lock. Returns TRUE when at
// least one message was taken from the queue.
BOOL PeekAndDispatchMessages();
// What a window procedure returns for a message it does not handle.
LRESULT DefWindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
// The calling thread's queue as a waitable handle (signalled while messages
// are queued); created on first use and owned by the thread.
HANDLE GetThreadMessageQueueHandle();
