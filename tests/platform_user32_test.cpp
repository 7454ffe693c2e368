// user32 as the core uses it: the player thread's message queue, the host window the end of
// playback is posted to, wsprintfA for the log. The same tests run against the POSIX layer and,
// cross-compiled, against Wine's user32.

#include "test_util.h"

namespace {

// Gives the calling thread a queue (Windows makes one at the first message call) and empties
// it, so that one test's leftovers cannot meet the next test.
void FreshQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

HANDLE Start(unsigned(WINAPI* body)(void*), void* arg, unsigned* id = nullptr) {
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, arg, 0, id));
}

TEST(PlatformUser32, OwnQueueKeepsOrderFiltersAndQuitsLast) {
    FreshQueue();
    const DWORD self = GetCurrentThreadId();
    for (int i = 1; i <= 4; ++i) ASSERT_TRUE(PostThreadMessageA(self, WM_USER + i, i, -i));
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 3, WM_USER + 3, PM_REMOVE));
    EXPECT_EQ(UINT(WM_USER + 3), msg.message);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 10, WM_USER + 20, PM_REMOVE));
    PostQuitMessage(7);
    ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 5, 5, -5));  // no window: to the caller
    for (int i : {1, 2, 4, 5}) {
        ASSERT_EQ(1, GetMessageA(&msg, nullptr, 0, 0));
        EXPECT_EQ(std::make_tuple(UINT(WM_USER + i), WPARAM(i), LPARAM(-i), HWND(nullptr)),
                  std::make_tuple(msg.message, msg.wParam, msg.lParam, msg.hwnd));
        EXPECT_FALSE(TranslateMessage(&msg));  // no key messages here
        EXPECT_EQ(0, DispatchMessageA(&msg));  // a thread message has no window procedure
    }
    // The quit comes after the posted messages, whatever the filter asks for.
    EXPECT_EQ(0, GetMessageA(&msg, nullptr, WM_USER + 10, WM_USER + 20));
    EXPECT_EQ(UINT(WM_QUIT), msg.message);
    EXPECT_EQ(WPARAM(7), msg.wParam);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // taken once
}

// Shaped like the player thread: a loop on GetMessageA that answers every WM_USER+1 with
// WM_USER+2 (wParam + 1, lParam doubled) and ends on WM_QUIT posted from outside.
struct Echo { DWORD replyTo; std::atomic<int> handled{0}, quit{0}; };
unsigned WINAPI EchoThread(void* p) {
    Echo* echo = static_cast<Echo*>(p);
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        if (msg.message != WM_USER + 1) continue;
        PostThreadMessageA(echo->replyTo, WM_USER + 2, msg.wParam + 1, msg.lParam * 2);
        ++echo->handled;
    }
    echo->quit = got == 0 && msg.message == WM_QUIT;
    return 0;
}

TEST(PlatformUser32, ThreadsPostToEachOtherInOrder) {
    FreshQueue();
    Echo echo;
    echo.replyTo = GetCurrentThreadId();
    unsigned id = 0;
    HANDLE thread = Start(EchoThread, &echo, &id);
    ASSERT_NE(nullptr, thread);
#ifdef _WIN32
    // Windows makes the thread's queue at its first message call: wait until it takes posts.
    while (!PostThreadMessageA(id, WM_USER, 0, 0)) Sleep(1);
#endif
    // The POSIX layer makes the queue before the thread runs, so that the core may post to its
    // player thread at once.
    const int kCount = 2000;
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(PostThreadMessageA(id, WM_USER + 1, i, i + 100000));
    MSG msg;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(1, GetMessageA(&msg, nullptr, 0, 0));
        ASSERT_EQ(UINT(WM_USER + 2), msg.message);
        EXPECT_EQ(WPARAM(i + 1), msg.wParam);
        EXPECT_EQ(LPARAM(2 * (i + 100000)), msg.lParam);
    }
    ASSERT_TRUE(PostThreadMessageA(id, WM_QUIT, 0, 0));  // how the core ends its player thread
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(kCount, echo.handled.load());
    EXPECT_EQ(1, echo.quit.load());
    EXPECT_TRUE(CloseHandle(thread));
    // An ended thread cannot be posted to any more. Wine may still know the thread for a
    // moment and answers ERROR_INVALID_PARAMETER then.
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER + 1, 0, 0));
#ifndef _WIN32
    EXPECT_EQ(DWORD(ERROR_INVALID_THREAD_ID), GetLastError());
#endif
}

// A host window owned by another thread, as the host's is: what is posted to it arrives
// there, addressed to it, in order.
struct WindowOwner {
    std::atomic<HWND> window{nullptr};
    std::atomic<int> state{0};  // 1: window made (or failed), 2: may destroy it
    int inOrder = 0;            // messages that came to the window, in order
    bool destroyed = false;
};

unsigned WINAPI OwnWindow(void* p) {
    WindowOwner* owner = static_cast<WindowOwner*>(p);
    FreshQueue();
#ifdef _WIN32
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
#else
    HWND window = QuillonCreateMessageWindow();
#endif
    owner->window = window;
    owner->state = 1;
    MSG msg;
    while (window && GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != WM_USER + 7)
        owner->inOrder += msg.message == WM_USER + 5 && msg.hwnd == window && msg.wParam == WPARAM(owner->inOrder);
    while (window && owner->state != 2) Sleep(1);
    owner->destroyed = window && DestroyWindow(window);
    return 0;
}

TEST(PlatformUser32, MessagesPostedToAWindowReachItsThread) {
    WindowOwner owner;
    HANDLE thread = Start(OwnWindow, &owner);
    ASSERT_NE(nullptr, thread);
    while (owner.state == 0) Sleep(1);
    const HWND window = owner.window;
    if (!window) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        GTEST_SKIP() << "no window could be made here (no display driver)";
    }
    EXPECT_TRUE(IsWindow(window));
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(PostMessageA(window, WM_USER + 5, i, 0));
    EXPECT_FAILS_WITH(DestroyWindow(window), ERROR_ACCESS_DENIED);  // another thread's window
    ASSERT_TRUE(PostMessageA(window, WM_USER + 7, 0, 0));
    owner.state = 2;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(300, owner.inOrder);
    EXPECT_TRUE(owner.destroyed);
    EXPECT_TRUE(CloseHandle(thread));

    // A destroyed window, and windows that never were, are refused.
    for (HWND gone : {window, reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7FF0BEE0))}) {
        EXPECT_FALSE(IsWindow(gone));
        MSG msg;
        EXPECT_FAILS_WITH(PostMessageA(gone, WM_USER + 5, 0, 0), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FAILS_WITH(GetMessageA(&msg, gone, 0, 0) != -1, ERROR_INVALID_WINDOW_HANDLE);
    }
    EXPECT_FALSE(IsWindow(nullptr));
}

// The log's one formatted line, with the forms it uses, and the 1024-character limit.
TEST(PlatformUser32, WsprintfFormatsTheLogLineAndStopsAt1024) {
    const struct { const char* format; DWORD a, b; const char* expected; } cases[] = {
        {"freeSpaceRemaining = %#x, recFileSize = %#x, REC_MIN_SPACE_REQ = %#x \n", 0x1000, 0,
         "freeSpaceRemaining = 0x1000, recFileSize = 0x0, REC_MIN_SPACE_REQ = 0x1000 \n"},
        {"%d|%u|%x|%X", DWORD(-42), 0xABCDEF, "-42|11259375|ffffffd6|ABCDEF"},
        {"%lu %ld%%", 255, 7, "255 7%"},
    };
    for (const auto& c : cases) {
        char out[200];
        std::memset(out, 'x', sizeof out);
        const int n = wsprintfA(out, c.format, c.a, c.b, c.a, c.b);  // extra arguments are unread
        EXPECT_EQ(std::string(c.expected), std::string(out)) << c.format;
        EXPECT_EQ(static_cast<int>(std::strlen(c.expected)), n) << c.format;
    }
    const std::string longText(3000, 'a');
    std::vector<char> out(4000, 'x');
    EXPECT_EQ(1024, wsprintfA(out.data(), "%s", longText.c_str()));  // a cut output answers the limit
    EXPECT_EQ(longText.substr(0, 1023), std::string(out.data()));
    EXPECT_EQ('x', out[1024]) << "nothing past the limit";
    EXPECT_EQ(1022, wsprintfA(out.data(), "%s", longText.substr(0, 1022).c_str()));
}

}  // namespace
