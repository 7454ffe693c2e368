// kernel32 for the POSIX build: the global and local heaps.
//
// Both heaps are one: every block is entered in a registry (one mutex guards it and the lock
// counts), so that a freed or made-up handle is answered with ERROR_INVALID_HANDLE instead of
// being followed. A fixed block's handle is its address. A moveable block's handle is the
// address of its record plus 4: never a block address (those are 16-byte aligned), and never
// dereferenced by callers, who go through GlobalLock.
//
// Win32 rules kept (they differ between the two families):
// - GlobalUnlock of a fixed block answers TRUE, LocalUnlock answers FALSE with ERROR_NOT_LOCKED;
// - unlocking a moveable block answers TRUE while locks remain, FALSE with NO_ERROR on the last
//   one and FALSE with ERROR_NOT_LOCKED when it was not locked;
// - a moveable block of size 0 is "discarded": locking it fails with ERROR_DISCARDED;
// - a fixed global block of size 0 measures 1 byte, a fixed local one 0 bytes;
// - freeing answers NULL, or the handle itself with ERROR_INVALID_HANDLE when it is not a block.

#include "kernel32.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

enum class Family { Global, Local };

struct Block {
    void* data;
    std::size_t size;
    bool moveable;
    unsigned locks;
};

constexpr unsigned kMaxLocks = 0xFF;  // Windows keeps the lock count in a byte

std::mutex g_heapLock;
std::unordered_map<std::uintptr_t, Block*>* g_blocks;  // guarded by g_heapLock

Block* Find(HANDLE h) {
    if (!g_blocks) return nullptr;
    auto it = g_blocks->find(reinterpret_cast<std::uintptr_t>(h));
    return it == g_blocks->end() ? nullptr : it->second;
}

HANDLE Allocate(Family family, UINT flags, std::size_t bytes) {
    const bool moveable = (flags & GMEM_MOVEABLE) != 0;
    const bool zero = (flags & GMEM_ZEROINIT) != 0;
    Block* block = new (std::nothrow) Block{nullptr, bytes, moveable, 0};
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!moveable && bytes == 0 && family == Family::Global) block->size = 1;
    if (block->size != 0) {
        block->data = zero ? std::calloc(1, block->size) : std::malloc(block->size);
        if (!block->data) {
            delete block;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    } else if (!moveable) {
        block->data = std::malloc(1);  // an address to serve as the handle
        if (!block->data) {
            delete block;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    std::uintptr_t handle = moveable ? reinterpret_cast<std::uintptr_t>(block) + 4
                                     : reinterpret_cast<std::uintptr_t>(block->data);
    std::lock_guard<std::mutex> lock(g_heapLock);
    if (!g_blocks) g_blocks = new (std::nothrow) std::unordered_map<std::uintptr_t, Block*>();
    if (!g_blocks) {
        std::free(block->data);
        delete block;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    (*g_blocks)[handle] = block;
    return reinterpret_cast<HANDLE>(handle);
}

LPVOID Lock(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_heapLock);
    Block* block = Find(h);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!block->moveable) return block->data;
    if (!block->data) {
        SetLastError(ERROR_DISCARDED);
        return nullptr;
    }
    if (block->locks < kMaxLocks) ++block->locks;
    return block->data;
}

BOOL Unlock(Family family, HANDLE h) {
    std::lock_guard<std::mutex> lock(g_heapLock);
    Block* block = Find(h);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return family == Family::Global ? TRUE : FALSE;
    }
    if (!block->moveable) {
        if (family == Family::Global) return TRUE;
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (block->locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--block->locks > 0) return TRUE;
    SetLastError(NO_ERROR);
    return FALSE;
}

HANDLE Free(HANDLE h) {
    if (h == nullptr) return nullptr;
    Block* block;
    {
        std::lock_guard<std::mutex> lock(g_heapLock);
        block = Find(h);
        if (!block) {
            SetLastError(ERROR_INVALID_HANDLE);
            return h;
        }
        g_blocks->erase(reinterpret_cast<std::uintptr_t>(h));
    }
    std::free(block->data);
    delete block;
    return nullptr;
}

// At unload an empty block table is freed with the library (lowest priority runs last).
__attribute__((destructor(101))) void FreeEmptyBlockTable() {
    std::lock_guard<std::mutex> lock(g_heapLock);
    if (g_blocks && g_blocks->empty()) {
        delete g_blocks;
        g_blocks = nullptr;
    }
}

}  // namespace

HGLOBAL GlobalAlloc(UINT uFlags, std::size_t dwBytes) { return Allocate(Family::Global, uFlags, dwBytes); }

LPVOID GlobalLock(HGLOBAL hMem) { return Lock(hMem); }

BOOL GlobalUnlock(HGLOBAL hMem) { return Unlock(Family::Global, hMem); }

HGLOBAL GlobalFree(HGLOBAL hMem) { return Free(hMem); }

std::size_t GlobalSize(HGLOBAL hMem) {
    std::lock_guard<std::mutex> lock(g_heapLock);
    Block* block = Find(hMem);
    if (!block) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return block->size;
}

HLOCAL LocalAlloc(UINT uFlags, std::size_t uBytes) { return Allocate(Family::Local, uFlags, uBytes); }

LPVOID LocalLock(HLOCAL hMem) { return Lock(hMem); }

BOOL LocalUnlock(HLOCAL hMem) { return Unlock(Family::Local, hMem); }

HLOCAL LocalFree(HLOCAL hMem) { return Free(hMem); }
