// user32 for the POSIX build: per-thread message queues, message windows and wsprintfA.
//
// Each thread that has a queue has one record in g_queues, keyed by its thread identifier
// (kernel32's numbers). A queue is made when the thread first calls GetMessageA, PeekMessageA,
// PostMessageA(NULL, ...) or QuillonCreateMessageWindow, or by _beginthreadex before the thread
// starts; it goes away when the thread ends, with the windows the thread owns. Posting to a
// thread without a queue fails with ERROR_INVALID_THREAD_ID, as on Windows.
//
// Locks: g_registryLock guards the queue and window tables; each queue's own mutex guards its
// messages and quit flag. The registry lock is taken first and never while a queue's lock is
// held. Only the owning thread waits on a queue.

#include "user32.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <new>
#include <string>
#include <unordered_map>

#include "kernel32.h"
#include "threads_internal.h"

namespace {

// Windows refuses posts to a queue that holds this many messages (USERPostMessageLimit).
constexpr std::size_t kMaxPostedMessages = 10000;

struct Queue {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<MSG> messages;
    bool quitPending = false;
    int quitCode = 0;
};

std::mutex g_registryLock;
// Kept for the whole life of the process (threads may still post while it exits).
std::unordered_map<DWORD, std::shared_ptr<Queue>>* g_queues;
std::unordered_map<std::uintptr_t, DWORD>* g_windows;  // window -> owning thread
std::uintptr_t g_nextWindow = 0x10000;

// Removes the queue of a thread that made one on demand when that thread ends. A pthread key,
// not a thread_local object with a destructor: such an object would pin the library in memory
// for as long as the thread lives, and dlclose would never unload it. The key is deleted when
// the library is unloaded, so no thread ending later calls into unmapped code.
pthread_key_t g_queueKey;
bool g_queueKeyMade = false;
std::once_flag g_queueKeyOnce;

void DestroyQueueAtThreadEnd(void* id) {
    quillon_posix::DestroyThreadQueue(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(id)));
}

// At unload, after everything else of the library has run: the key goes, and the tables too
// when no thread has a queue any more.
__attribute__((destructor(101))) void ReleaseQueueTables() {
    if (g_queueKeyMade) pthread_key_delete(g_queueKey);
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (g_queues && g_queues->empty()) {
        delete g_queues;
        delete g_windows;
        g_queues = nullptr;
        g_windows = nullptr;
    }
}

void RemoveQueueAtThreadEnd(DWORD id) {
    std::call_once(g_queueKeyOnce, [] { g_queueKeyMade = pthread_key_create(&g_queueKey, DestroyQueueAtThreadEnd) == 0; });
    if (g_queueKeyMade) pthread_setspecific(g_queueKey, reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)));
}

bool EnsureTables() {
    if (!g_queues) g_queues = new (std::nothrow) std::unordered_map<DWORD, std::shared_ptr<Queue>>();
    if (!g_windows) g_windows = new (std::nothrow) std::unordered_map<std::uintptr_t, DWORD>();
    return g_queues && g_windows;
}

std::shared_ptr<Queue> QueueOf(DWORD id) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (!g_queues) return nullptr;
    auto it = g_queues->find(id);
    return it == g_queues->end() ? nullptr : it->second;
}

// The calling thread's queue, made when missing.
std::shared_ptr<Queue> CurrentQueue() {
    DWORD self = GetCurrentThreadId();
    std::shared_ptr<Queue> queue = QueueOf(self);
    if (!queue) {
        if (!quillon_posix::CreateThreadQueue(self)) return nullptr;
        queue = QueueOf(self);
        RemoveQueueAtThreadEnd(self);
    }
    return queue;
}

// The thread owning the window, or 0.
DWORD OwnerOf(HWND hWnd) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (!g_windows) return 0;
    auto it = g_windows->find(reinterpret_cast<std::uintptr_t>(hWnd));
    return it == g_windows->end() ? 0 : it->second;
}

DWORD TickCount() {
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

BOOL Post(DWORD thread, HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<Queue> queue = QueueOf(thread);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    msg.hwnd = hWnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = TickCount();
    {
        std::lock_guard<std::mutex> lock(queue->lock);
        if (queue->messages.size() >= kMaxPostedMessages) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
        queue->messages.push_back(msg);
    }
    queue->arrived.notify_one();
    return TRUE;
}

bool Matches(const MSG& msg, HWND hWnd, UINT first, UINT last) {
    if (hWnd != nullptr && msg.hwnd != hWnd) return false;
    if (first == 0 && last == 0) return true;
    return msg.message >= first && msg.message <= last;
}

// Takes (or, without remove, copies) the first message that matches the filter; the quit
// request comes after every posted message. Called with the queue's lock held.
bool Take(Queue& queue, MSG* out, HWND hWnd, UINT first, UINT last, bool remove) {
    for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it) {
        if (!Matches(*it, hWnd, first, last)) continue;
        *out = *it;
        if (remove) queue.messages.erase(it);
        return true;
    }
    // A pending quit is handed out whatever the message-number filter, as Windows does.
    if (queue.quitPending) {
        std::memset(out, 0, sizeof *out);
        out->message = WM_QUIT;
        out->wParam = static_cast<WPARAM>(queue.quitCode);
        out->time = TickCount();
        if (remove) queue.quitPending = false;
        return true;
    }
    return false;
}

bool ValidFilterWindow(HWND hWnd) {
    if (hWnd == nullptr || OwnerOf(hWnd) != 0) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

}  // namespace

namespace quillon_posix {

bool CreateThreadQueue(DWORD id) {
    std::shared_ptr<Queue> queue(new (std::nothrow) Queue());
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (!queue || !EnsureTables()) return false;
    g_queues->emplace(id, std::move(queue));
    return true;
}

void DestroyThreadQueue(DWORD id) {
    std::shared_ptr<Queue> dying;  // released outside the lock
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (!g_queues) return;
    auto it = g_queues->find(id);
    if (it == g_queues->end()) return;
    dying = std::move(it->second);
    g_queues->erase(it);
    for (auto w = g_windows->begin(); w != g_windows->end();) {
        w = w->second == id ? g_windows->erase(w) : std::next(w);
    }
}

}  // namespace quillon_posix

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!ValidFilterWindow(hWnd)) return -1;
    std::shared_ptr<Queue> queue = CurrentQueue();
    if (!queue) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    std::unique_lock<std::mutex> lock(queue->lock);
    queue->arrived.wait(lock, [&] { return Take(*queue, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true); });
    return lpMsg->message == WM_QUIT ? 0 : 1;
}

BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ValidFilterWindow(hWnd)) return FALSE;
    std::shared_ptr<Queue> queue = CurrentQueue();
    if (!queue) return FALSE;
    std::lock_guard<std::mutex> lock(queue->lock);
    return Take(*queue, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return Post(idThread, nullptr, Msg, wParam, lParam);
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == nullptr) {
        // Windows treats this as a thread message to the caller.
        if (!CurrentQueue()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        return Post(GetCurrentThreadId(), nullptr, Msg, wParam, lParam);
    }
    DWORD owner = OwnerOf(hWnd);
    if (owner == 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return Post(owner, hWnd, Msg, wParam, lParam);
}

void PostQuitMessage(int nExitCode) {
    std::shared_ptr<Queue> queue = CurrentQueue();
    if (!queue) return;
    {
        std::lock_guard<std::mutex> lock(queue->lock);
        queue->quitPending = true;
        queue->quitCode = nExitCode;
    }
    queue->arrived.notify_one();
}

// There are no keyboard messages to translate and no window procedures to call.
BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG*) { return 0; }

BOOL IsWindow(HWND hWnd) { return hWnd != nullptr && OwnerOf(hWnd) != 0 ? TRUE : FALSE; }

HWND QuillonCreateMessageWindow() {
    if (!CurrentQueue()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD self = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_registryLock);
    std::uintptr_t value = g_nextWindow;
    g_nextWindow += 2;
    (*g_windows)[value] = self;
    return reinterpret_cast<HWND>(value);
}

BOOL DestroyWindow(HWND hWnd) {
    DWORD owner = OwnerOf(hWnd);
    if (hWnd == nullptr || owner == 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // Only the thread that made a window may destroy it.
    if (owner != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(g_registryLock);
        g_windows->erase(reinterpret_cast<std::uintptr_t>(hWnd));
    }
    // Messages still queued for the window go with it.
    if (std::shared_ptr<Queue> queue = QueueOf(owner)) {
        std::lock_guard<std::mutex> lock(queue->lock);
        for (auto it = queue->messages.begin(); it != queue->messages.end();) {
            it = it->hwnd == hWnd ? queue->messages.erase(it) : std::next(it);
        }
    }
    return TRUE;
}

// =============================================================================================
// wsprintfA: the Win32 subset of printf.
//
//   %[-][#][0][width][.precision][l|h|w]type     type: c C d i s S u x X
//
// Numbers are 32-bit whatever the size prefix (l means the 32-bit long of Windows). '#' puts
// 0x or 0X before hexadecimal digits (also for 0). Precision is the minimum number of digits
// of a number and the maximum number of characters of a string; a null string prints as
// "(null)". A zero flag pads a number to the width with zeros between its sign and its digits
// ("%05d" of -42 gives "-0042"); the sign counts among the digits of a precision too ("%.4d"
// gives "-042"). The 0x prefix stands outside the width, for spaces and zeros
// alike ("%#06x" of 0x1F gives "0x00001f", "%#6x" gives "    0x1f"). An unknown type character
// is printed as itself. The output holds at most 1023 characters and its terminator; an output
// that fills them answers 1024, cut or not.

namespace {

constexpr std::size_t kWsprintfLimit = 1024;

struct Spec {
    bool left = false, prefix = false, zero = false, wide = false;
    unsigned width = 0, precision = 0;
    char type = 0;
};

const char* ParseSpec(const char* p, Spec* spec) {
    if (*p == '-') { spec->left = true; ++p; }
    if (*p == '#') { spec->prefix = true; ++p; }
    if (*p == '0') { spec->zero = true; ++p; }
    while (*p >= '0' && *p <= '9') spec->width = spec->width * 10 + static_cast<unsigned>(*p++ - '0');
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') spec->precision = spec->precision * 10 + static_cast<unsigned>(*p++ - '0');
    }
    bool longPrefix = false, shortPrefix = false;
    if (*p == 'l') { longPrefix = true; ++p; }
    else if (*p == 'h') { shortPrefix = true; ++p; }
    else if (*p == 'w') { longPrefix = true; ++p; }
    switch (*p) {
    case 'c': case 's': spec->wide = longPrefix; spec->type = *p++; break;
    case 'C': case 'S': spec->wide = !shortPrefix; spec->type = static_cast<char>(*p++ + ('a' - 'A')); break;
    case 'd': case 'i': case 'u': case 'x': case 'X': spec->type = *p++; break;
    default: spec->type = 0; break;  // printed as an ordinary character
    }
    return p;
}

void Pad(std::string& out, unsigned count, char c) { out.append(count, c); }

}  // namespace

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    std::string out;
    va_list args;
    va_start(args, format);
    for (const char* p = format; p != nullptr && *p != '\0' && out.size() < kWsprintfLimit;) {
        if (*p != '%') { out += *p++; continue; }
        ++p;
        if (*p == '%') { out += *p++; continue; }
        Spec spec;
        p = ParseSpec(p, &spec);
        if (spec.left) spec.zero = false;

        std::string body;      // the characters of the argument
        std::string sign;      // "-" before the digits of a negative number
        std::string lead;      // "0x" before hexadecimal digits
        unsigned minDigits = 0;
        switch (spec.type) {
        case 'c': {
            char c = spec.wide ? static_cast<char>(va_arg(args, int) & 0xFF) : static_cast<char>(va_arg(args, int));
            if (c != '\0') body = std::string(1, c);
            else if (spec.width > 1) body = " ";
            break;
        }
        case 's': {
            if (spec.wide) {
                const char16_t* w = va_arg(args, const char16_t*);
                static const char16_t kNull[] = u"(null)";
                if (!w) w = kNull;
                for (unsigned i = 0; w[i] != 0 && (spec.precision == 0 || i < spec.precision); ++i)
                    body += static_cast<char>(w[i]);
            } else {
                const char* s = va_arg(args, const char*);
                if (!s) s = "(null)";
                std::size_t n = spec.precision == 0 ? std::strlen(s) : strnlen(s, spec.precision);
                body.assign(s, n);
            }
            break;
        }
        case 'd': case 'i': case 'u': case 'x': case 'X': {
            int value = va_arg(args, int);
            char digits[16];
            const char* fmt = spec.type == 'x' ? "%x" : spec.type == 'X' ? "%X" : "%u";
            if (spec.type == 'd' || spec.type == 'i') {
                std::snprintf(digits, sizeof digits, "%u", value < 0 ? 0u - static_cast<unsigned>(value)
                                                                     : static_cast<unsigned>(value));
                if (value < 0) sign = "-";
            } else {
                std::snprintf(digits, sizeof digits, fmt, static_cast<unsigned>(value));
            }
            body = digits;
            if (spec.prefix && (spec.type == 'x' || spec.type == 'X')) lead = spec.type == 'x' ? "0x" : "0X";
            // The sign counts among the digits of precision and width, the 0x prefix does not.
            unsigned digitsWithSign = spec.precision;
            if (spec.zero && spec.width > digitsWithSign) digitsWithSign = spec.width;
            minDigits = digitsWithSign > sign.size() ? digitsWithSign - static_cast<unsigned>(sign.size()) : 0;
            break;
        }
        default:
            continue;  // the unknown character is printed by the next round
        }

        std::string field = sign;
        if (body.size() < minDigits) Pad(field, minDigits - static_cast<unsigned>(body.size()), '0');
        field += body;
        unsigned fill = spec.width > field.size() ? spec.width - static_cast<unsigned>(field.size()) : 0;
        if (!spec.left) Pad(out, fill, ' ');
        out += lead;
        out += field;
        if (spec.left) Pad(out, fill, ' ');
    }
    va_end(args);
    const bool full = out.size() >= kWsprintfLimit - 1;
    if (full) out.resize(kWsprintfLimit - 1);
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return full ? static_cast<int>(kWsprintfLimit) : static_cast<int>(out.size());
}
