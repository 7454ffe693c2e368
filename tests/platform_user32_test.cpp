// user32 as the core uses it: thread message queues, a host window to post to, wsprintfA. The
// same tests run against the POSIX layer and, cross-compiled, against Wine's user32.

#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Makes sure the calling thread has a queue: on Windows a thread gets one with its first
// message call.
void TouchQueue() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

// Empties the calling thread's queue, so that one test's leftovers cannot meet the next test.
void DrainQueue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// A window owned by the calling thread that only receives posted messages.
HWND MakeMessageWindow() {
#ifdef _WIN32
    return CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
#else
    return QuillonCreateMessageWindow();
#endif
}

TEST(PlatformUser32, OwnQueueKeepsOrderAndHonoursFilters) {
    TouchQueue();
    DrainQueue();
    const DWORD self = GetCurrentThreadId();
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(PostThreadMessageA(self, WM_USER + i, i, -i));

    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(UINT(WM_USER + 1), msg.message);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 3, WM_USER + 4, PM_REMOVE));
    EXPECT_EQ(UINT(WM_USER + 3), msg.message);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 10, WM_USER + 20, PM_REMOVE));

    const int expected[] = {1, 2, 4, 5};
    for (int i : expected) {
        ASSERT_EQ(1, GetMessageA(&msg, nullptr, 0, 0));
        EXPECT_EQ(UINT(WM_USER + i), msg.message);
        EXPECT_EQ(WPARAM(i), msg.wParam);
        EXPECT_EQ(LPARAM(-i), msg.lParam);
        EXPECT_EQ(nullptr, msg.hwnd);
        EXPECT_FALSE(TranslateMessage(&msg));  // no key messages here
        EXPECT_EQ(0, DispatchMessageA(&msg));  // a thread message has no window procedure
    }
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(PlatformUser32, QuitComesAfterThePostedMessages) {
    TouchQueue();
    DrainQueue();
    PostQuitMessage(7);
    ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 9, 11, 12));  // no window: to the caller
    MSG msg;
    ASSERT_EQ(1, GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(UINT(WM_USER + 9), msg.message);
    EXPECT_EQ(WPARAM(11), msg.wParam);
    EXPECT_EQ(LPARAM(12), msg.lParam);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(UINT(WM_QUIT), msg.message);
    EXPECT_EQ(0, GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(UINT(WM_QUIT), msg.message);
    EXPECT_EQ(WPARAM(7), msg.wParam);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // taken once
}

TEST(PlatformUser32, PostingToAThreadWithoutQueueFails) {
    std::atomic<DWORD> endedId{0}, liveId{0};
    std::atomic<int> release{0};
    std::thread ended([&] { endedId = GetCurrentThreadId(); });
    ended.join();
    std::thread live([&] {
        liveId = GetCurrentThreadId();
        while (release == 0) Sleep(1);  // never calls a message function
    });
    while (liveId == 0) Sleep(1);

    // Windows documents ERROR_INVALID_THREAD_ID for both; Wine answers ERROR_INVALID_PARAMETER
    // for a thread it still knows, which an ended thread may be for a moment.
    for (DWORD id : {endedId.load(), liveId.load()}) {
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
#ifndef _WIN32
        EXPECT_EQ(DWORD(ERROR_INVALID_THREAD_ID), GetLastError());
#endif
    }
    release = 1;
    live.join();
}

struct Echo {
    DWORD replyTo = 0;
    std::atomic<int> ready{0};
    int handled = 0;
};

// Answers every WM_USER+1 with WM_USER+2 carrying wParam + 1 and lParam doubled; on WM_USER+3
// asks itself to quit with code 9; returns the number of messages it answered.
unsigned WINAPI EchoThread(void* p) {
    Echo* echo = static_cast<Echo*>(p);
    TouchQueue();
    echo->ready = 1;
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        if (msg.message == WM_USER + 1) {
            PostThreadMessageA(echo->replyTo, WM_USER + 2, msg.wParam + 1, msg.lParam * 2);
            ++echo->handled;
        } else if (msg.message == WM_USER + 3) {
            PostQuitMessage(9);
        }
    }
    return got == 0 && msg.wParam == 9 ? static_cast<unsigned>(echo->handled) : 0xFFFFFFFFu;
}

TEST(PlatformUser32, ThreadsPostToEachOther) {
    TouchQueue();
    DrainQueue();
    Echo echo;
    echo.replyTo = GetCurrentThreadId();
    unsigned id = 0;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, EchoThread, &echo, 0, &id));
    ASSERT_NE(nullptr, thread);
    while (echo.ready == 0) Sleep(1);

    const int kCount = 2000;
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(PostThreadMessageA(id, WM_USER + 1, i, i + 100000));
    MSG msg;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(1, GetMessageA(&msg, nullptr, 0, 0));
        ASSERT_EQ(UINT(WM_USER + 2), msg.message);
        EXPECT_EQ(WPARAM(i + 1), msg.wParam);
        EXPECT_EQ(LPARAM(2 * (i + 100000)), msg.lParam);
    }
    ASSERT_TRUE(PostThreadMessageA(id, WM_USER + 3, 0, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(kCount, echo.handled);
    EXPECT_TRUE(CloseHandle(thread));

    // An ended thread cannot be posted to any more.
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER + 1, 0, 0));
#ifndef _WIN32
    // Wine may still know the thread for a moment and answers ERROR_INVALID_PARAMETER then.
    EXPECT_EQ(DWORD(ERROR_INVALID_THREAD_ID), GetLastError());
#endif
}

#ifndef _WIN32
unsigned WINAPI TakeOneMessage(void* p) {
    MSG msg;
    if (GetMessageA(&msg, nullptr, 0, 0) != 1) return 0;
    *static_cast<UINT*>(p) = msg.message;
    return static_cast<unsigned>(msg.wParam);
}
#endif

TEST(PlatformUser32, ThreadStartedByBeginThreadCanBePostedToAtOnce) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows makes a thread's queue at its first message call; the POSIX layer makes it "
                    "before the thread runs, so that the player thread can be posted to at once";
#else
    UINT seen = 0;
    unsigned id = 0;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, TakeOneMessage, &seen, 0, &id));
    ASSERT_NE(nullptr, thread);
    EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 40, 77, 0));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(UINT(WM_USER + 40), seen);
    EXPECT_TRUE(CloseHandle(thread));
#endif
}

struct WindowOwner {
    std::atomic<HWND> window{nullptr};
    std::atomic<int> state{0};  // 1: window made (or failed), 2: may destroy it
    DWORD replyTo = 0;
    int received = 0;
    bool allAddressed = true;
    bool destroyed = false;
};

unsigned WINAPI OwnWindow(void* p) {
    WindowOwner* owner = static_cast<WindowOwner*>(p);
    TouchQueue();
    HWND window = MakeMessageWindow();
    owner->window = window;
    owner->state = 1;
    if (!window) return 0;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_USER + 5) {
            owner->allAddressed = owner->allAddressed && msg.hwnd == window;
            ++owner->received;
            PostThreadMessageA(owner->replyTo, WM_USER + 6, msg.wParam, 0);
        } else if (msg.message == WM_USER + 7) {
            break;
        } else {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    while (owner->state != 2) Sleep(1);
    owner->destroyed = DestroyWindow(window) != FALSE;
    return 0;
}

TEST(PlatformUser32, MessagesPostedToAWindowReachItsThread) {
    TouchQueue();
    DrainQueue();
    WindowOwner owner;
    owner.replyTo = GetCurrentThreadId();
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, OwnWindow, &owner, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    while (owner.state == 0) Sleep(1);
    HWND window = owner.window;
    if (!window) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        GTEST_SKIP() << "no window could be made here (no display driver)";
    }
    EXPECT_TRUE(IsWindow(window));

    for (int i = 0; i < 300; ++i) ASSERT_TRUE(PostMessageA(window, WM_USER + 5, i, 0));
    MSG msg;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(1, GetMessageA(&msg, nullptr, 0, 0));
        EXPECT_EQ(UINT(WM_USER + 6), msg.message);
        EXPECT_EQ(WPARAM(i), msg.wParam);
    }
    // Another thread's window: it cannot be destroyed from here, nor filtered on.
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());

    ASSERT_TRUE(PostMessageA(window, WM_USER + 7, 0, 0));
    owner.state = 2;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(300, owner.received);
    EXPECT_TRUE(owner.allAddressed);
    EXPECT_TRUE(owner.destroyed);
    EXPECT_TRUE(CloseHandle(thread));

    EXPECT_FALSE(IsWindow(window));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(PostMessageA(window, WM_USER + 5, 0, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
}

TEST(PlatformUser32, UnknownWindowsAreRefused) {
    TouchQueue();
    HWND bogus = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7FF0BEE0));
    EXPECT_FALSE(IsWindow(bogus));
    EXPECT_FALSE(IsWindow(nullptr));
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(PostMessageA(bogus, WM_USER, 0, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(DestroyWindow(bogus));
#ifndef _WIN32
    // Windows answers ERROR_INVALID_WINDOW_HANDLE; Wine answers ERROR_ACCESS_DENIED, as for
    // another thread's window.
    EXPECT_EQ(DWORD(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
#endif
    MSG msg;
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(-1, GetMessageA(&msg, bogus, 0, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
}

TEST(PlatformUser32, OwnWindowFiltersAndDestroy) {
    TouchQueue();
    DrainQueue();
    HWND a = MakeMessageWindow();
    if (!a) GTEST_SKIP() << "no window could be made here (no display driver)";
    HWND b = MakeMessageWindow();
    ASSERT_NE(nullptr, b);
    ASSERT_TRUE(PostMessageA(a, WM_USER + 1, 1, 0));
    ASSERT_TRUE(PostMessageA(b, WM_USER + 1, 2, 0));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 1, 3, 0));
    MSG msg;
    ASSERT_EQ(1, GetMessageA(&msg, b, 0, 0));  // only b's message
    EXPECT_EQ(b, msg.hwnd);
    EXPECT_EQ(WPARAM(2), msg.wParam);
    EXPECT_TRUE(DestroyWindow(a));  // a's message goes with it
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(nullptr, msg.hwnd);
    EXPECT_EQ(WPARAM(3), msg.wParam);
    EXPECT_TRUE(DestroyWindow(b));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER, WM_USER + 100, PM_REMOVE));
    DrainQueue();
}

TEST(PlatformUser32, WsprintfFormatsTheWin32Subset) {
    struct Case {
        const char* format;
        int kind;  // 0: int, 1: string, 2: char, 3: two ints
        int number;
        const char* text;
        const char* expected;
    } cases[] = {
        {"%d", 0, -42, nullptr, "-42"},
        {"%i|%u", 0, 7, nullptr, "7|7"},
        {"%u", 0, -1, nullptr, "4294967295"},
        {"%x", 0, 0x1f, nullptr, "1f"},
        {"%X", 0, 0xABCDEF, nullptr, "ABCDEF"},
        {"%#x", 0, 0x1f, nullptr, "0x1f"},
        {"%#X", 0, 0x1f, nullptr, "0X1F"},
        {"%#x", 0, 0, nullptr, "0x0"},
        {"%08x", 0, 0xbeef, nullptr, "0000beef"},
        {"%#06x", 0, 0x1f, nullptr, "0x00001f"},  // the prefix comes on top of the zeros
        {"%#6x|", 0, 0x1f, nullptr, "    0x1f|"},
        {"%#.4x", 0, 0x1f, nullptr, "0x001f"},
        {"%05d", 0, -42, nullptr, "-0042"},
        {"%.4d", 0, -42, nullptr, "-042"},
        {"%5d", 0, -42, nullptr, "  -42"},
        {"%5d|", 0, 42, nullptr, "   42|"},
        {"%-5d|", 0, 42, nullptr, "42   |"},
        {"%05d", 0, 42, nullptr, "00042"},
        {"%.3d", 0, 7, nullptr, "007"},
        {"%ld %lu %lx", 0, 255, nullptr, "255 255 ff"},
        {"%s!", 1, 0, "abc", "abc!"},
        {"[%6s]", 1, 0, "abc", "[   abc]"},
        {"[%-6s]", 1, 0, "abc", "[abc   ]"},
        {"[%.2s]", 1, 0, "abc", "[ab]"},
        {"%c%c", 2, 'Q', nullptr, "QQ"},
        {"[%3c]", 2, 'z', nullptr, "[  z]"},
        {"100%%", 0, 0, nullptr, "100%"},
        {"%y", 0, 0, nullptr, "y"},
        {"freeSpaceRemaining = %#x, recFileSize = %#x \n", 3, 0x1000, nullptr,
         "freeSpaceRemaining = 0x1000, recFileSize = 0x1001 \n"},
    };
    for (const Case& c : cases) {
        char out[1100];
        std::memset(out, 'x', sizeof out);
        int n = 0;
        switch (c.kind) {
        case 0: n = wsprintfA(out, c.format, c.number, c.number, c.number); break;  // extra arguments are unread
        case 1: n = wsprintfA(out, c.format, c.text); break;
        case 2: n = wsprintfA(out, c.format, c.number, c.number); break;
        case 3: n = wsprintfA(out, c.format, DWORD(c.number), DWORD(c.number + 1)); break;
        }
        EXPECT_EQ(std::string(c.expected), std::string(out)) << c.format;
        EXPECT_EQ(static_cast<int>(std::strlen(c.expected)), n) << c.format;
    }
}

TEST(PlatformUser32, WsprintfWritesAtMost1024Characters) {
    const std::string longText(3000, 'a');
    std::vector<char> out(4000, 'x');
    int n = wsprintfA(out.data(), "%s", longText.c_str());
    const std::size_t written = std::strlen(out.data());
    EXPECT_EQ(1023u, written);
    EXPECT_EQ('x', out[1024]);  // nothing past the limit
    EXPECT_EQ(1024, n);  // a cut output answers the limit
    // Filling the 1023 characters exactly answers the limit too; one less answers the length.
    std::vector<char> exact(2000, 'x');
    EXPECT_EQ(1024, wsprintfA(exact.data(), "%s", longText.substr(0, 1023).c_str()));
    EXPECT_EQ(longText.substr(0, 1023), std::string(exact.data()));
    EXPECT_EQ(1022, wsprintfA(exact.data(), "%s", longText.substr(0, 1022).c_str()));
    EXPECT_EQ(longText.substr(0, 1022), std::string(exact.data()));
}

}  // namespace
