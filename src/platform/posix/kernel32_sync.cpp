// kernel32 for the POSIX build: thread identifiers, mutexes, thread start and wait, Sleep and the
// Interlocked family.
//
// Locks: each mutex object guards its owner and recursion count with its own std::mutex and
// wakes waiters through its condition variable; each thread object does the same for its
// "finished" flag. The handle table (kernel32.cpp) is never held while waiting.
//
// A thread started by _beginthreadex owns a message queue from the moment _beginthreadex
// returns; the queue goes away, and the thread's handle becomes signalled, when it ends (in that
// order, so that a thread seen finished can no longer be posted to).

#include "kernel32.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "kernel32_handles.h"
#include "threads_internal.h"

namespace {

using quillon_posix::KernelObject;
using quillon_posix::ObjectKind;
using Clock = std::chrono::steady_clock;

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

struct MutexObject : KernelObject {
    MutexObject() : KernelObject(ObjectKind::Mutex) {}
    std::mutex lock;
    std::condition_variable released;
    DWORD owner = 0;  // thread identifier, 0 when free
    unsigned count = 0;
};

// A thread is started joinable; whoever lets go of its object last detaches it unless it was
// joined (JoinThread), so that its resources are freed either way.
struct ThreadObject : KernelObject {
    ThreadObject() : KernelObject(ObjectKind::Thread) {}
    ~ThreadObject() override {
        if (started && !joined) pthread_detach(native);
    }
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    unsigned exitCode = 0;
    pthread_t native{};
    bool started = false;  // set by the starting thread before it lets go of the object
    bool joined = false;   // guarded by lock
};

struct StartBlock {
    unsigned (*start)(void*);
    void* argument;
    DWORD id;
    std::shared_ptr<ThreadObject> thread;
};

// Named mutexes of this process: a second CreateMutexA with the same name opens the first.
std::mutex g_namesLock;
std::map<std::string, std::weak_ptr<MutexObject>>* g_names;

void* ThreadMain(void* p) {
    std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(p));
    quillon_posix::AdoptThreadId(block->id);
    unsigned code = block->start(block->argument);
    quillon_posix::DestroyThreadQueue(block->id);
    {
        std::lock_guard<std::mutex> lock(block->thread->lock);
        block->thread->finished = true;
        block->thread->exitCode = code;
    }
    block->thread->ended.notify_all();
    return nullptr;
}

template <typename Predicate>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD milliseconds,
               Predicate done) {
    if (milliseconds == INFINITE) {
        cv.wait(lock, done);
        return true;
    }
    return cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(milliseconds), done);
}

}  // namespace

namespace quillon_posix {

DWORD DrawThreadId() { return g_nextThreadId.fetch_add(1, std::memory_order_relaxed); }

void AdoptThreadId(DWORD id) { t_threadId = id; }

}  // namespace quillon_posix

DWORD GetCurrentThreadId() {
    if (t_threadId == 0) t_threadId = quillon_posix::DrawThreadId();
    return t_threadId;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    std::shared_ptr<MutexObject> mutex;
    bool opened = false;
    {
        std::lock_guard<std::mutex> lock(g_namesLock);
        if (lpName != nullptr && g_names != nullptr) {
            auto it = g_names->find(lpName);
            if (it != g_names->end()) mutex = it->second.lock();
            opened = mutex != nullptr;
        }
        if (!mutex) {
            mutex.reset(new (std::nothrow) MutexObject());
            if (!mutex) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
            // Opening an existing named mutex ignores bInitialOwner, as Windows does.
            if (bInitialOwner) {
                mutex->owner = GetCurrentThreadId();
                mutex->count = 1;
            }
            if (lpName != nullptr) {
                if (!g_names) g_names = new std::map<std::string, std::weak_ptr<MutexObject>>();
                (*g_names)[lpName] = mutex;
            }
        }
    }
    HANDLE h = quillon_posix::InsertObject(std::move(mutex));
    SetLastError(opened ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReleaseMutex(HANDLE hMutex) {
    std::shared_ptr<MutexObject> mutex = quillon_posix::LookUp<MutexObject>(hMutex, ObjectKind::Mutex);
    if (!mutex) return FALSE;
    DWORD self = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> lock(mutex->lock);
        if (mutex->owner != self) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--mutex->count > 0) return TRUE;
        mutex->owner = 0;
    }
    mutex->released.notify_one();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (hHandle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::shared_ptr<KernelObject> object = quillon_posix::LookUpObject(hHandle);
    if (!object) return WAIT_FAILED;

    switch (object->kind) {
    case ObjectKind::Mutex: {
        auto mutex = std::static_pointer_cast<MutexObject>(object);
        DWORD self = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(mutex->lock);
        if (!WaitUntil(mutex->released, lock, dwMilliseconds,
                       [&] { return mutex->owner == 0 || mutex->owner == self; }))
            return WAIT_TIMEOUT;
        mutex->owner = self;
        ++mutex->count;
        return WAIT_OBJECT_0;
    }
    case ObjectKind::Thread: {
        auto thread = std::static_pointer_cast<ThreadObject>(object);
        std::unique_lock<std::mutex> lock(thread->lock);
        return WaitUntil(thread->ended, lock, dwMilliseconds, [&] { return thread->finished; }) ? WAIT_OBJECT_0
                                                                                                : WAIT_TIMEOUT;
    }
    case ObjectKind::File:
        return WAIT_OBJECT_0;  // a file handle without pending I/O is signalled
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedIncrement(LONG volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedDecrement(LONG volatile* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }

std::uintptr_t _beginthreadex(void*, unsigned stack_size, unsigned (*start_address)(void*), void* arglist,
                              unsigned initflag, unsigned* thrdaddr) {
    // Suspended starts are refused: there is no ResumeThread in this subset.
    if (start_address == nullptr || initflag != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::shared_ptr<ThreadObject> thread(new (std::nothrow) ThreadObject());
    std::unique_ptr<StartBlock> block(new (std::nothrow) StartBlock());
    if (!thread || !block) {
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const DWORD id = quillon_posix::DrawThreadId();
    block->start = start_address;
    block->argument = arglist;
    block->id = id;
    block->thread = thread;
    if (!quillon_posix::CreateThreadQueue(id)) {
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    HANDLE handle = quillon_posix::InsertObject(thread);
    // Written before the thread runs, so that the thread may read it from where it was stored.
    if (thrdaddr != nullptr) *thrdaddr = id;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stack_size != 0) {
        pthread_attr_setstacksize(&attributes,
                                  stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stack_size);
    }
    pthread_t native;
    int err = pthread_create(&native, &attributes, ThreadMain, block.get());
    pthread_attr_destroy(&attributes);
    if (err != 0) {
        quillon_posix::RemoveObject(handle);
        quillon_posix::DestroyThreadQueue(id);
        errno = err;
        SetLastError(Win32ErrorFromErrno(err));
        return 0;
    }
    block.release();  // the new thread owns it now
    thread->native = native;
    thread->started = true;
    return reinterpret_cast<std::uintptr_t>(handle);
}

namespace quillon_posix {

BOOL JoinThread(HANDLE handle) {
    std::shared_ptr<ThreadObject> thread = LookUp<ThreadObject>(handle, ObjectKind::Thread);
    if (!thread || !thread->started || pthread_equal(thread->native, pthread_self())) return FALSE;
    {
        std::lock_guard<std::mutex> lock(thread->lock);
        if (thread->joined) return FALSE;
        thread->joined = true;
    }
    return pthread_join(thread->native, nullptr) == 0 ? TRUE : FALSE;
}

}  // namespace quillon_posix
