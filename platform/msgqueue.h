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
