// user32 for the POSIX build: per-thread message queues, the subset the core calls.
// A thread's queue is made the first time the thread calls GetMessageA or PeekMessageA, or
// when _beginthreadex starts it, so that the player thread can be posted to at once.
#pragma once

#include "wintypes.h"

extern "C" {

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int nExitCode);
BOOL TranslateMessage(const MSG* lpMsg);
LRESULT DispatchMessageA(const MSG* lpMsg);
BOOL IsWindow(HWND hWnd);
int wsprintfA(LPSTR buffer, LPCSTR format, ...);

// POSIX stand-in for a host window: a window handle that names the calling thread's queue, so
// that a host without a window system can learn of messages posted to "its window" through
// GetMessageA. DestroyWindow releases it.
HWND QuillonCreateMessageWindow();
BOOL DestroyWindow(HWND hWnd);
}
