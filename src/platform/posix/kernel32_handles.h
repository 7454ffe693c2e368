// The kernel object table of the POSIX kernel32: files, mutexes and threads behind HANDLE values.
//
// A HANDLE is a key into one table guarded by one mutex; it is never a pointer, so a stale, closed
// or made-up handle is found absent (ERROR_INVALID_HANDLE) instead of being dereferenced. Values
// are multiples of four and never reused within a process. Objects are shared_ptr-owned: a call
// that looked an object up keeps it alive even when another thread closes the handle meanwhile.
#pragma once

#include <memory>

#include "kernel32.h"
#include "wintypes.h"

namespace quillon_posix {

enum class ObjectKind { File, Mutex, Thread };

struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    virtual ~KernelObject() = default;
    const ObjectKind kind;
};

// Enters the object into the table; nullptr when out of memory.
HANDLE InsertObject(std::shared_ptr<KernelObject> object);
// The object behind the handle, or nullptr (and ERROR_INVALID_HANDLE set) when there is none.
std::shared_ptr<KernelObject> LookUpObject(HANDLE handle);
// As LookUpObject, and of the given kind.
template <typename T>
std::shared_ptr<T> LookUp(HANDLE handle, ObjectKind kind) {
    std::shared_ptr<KernelObject> object = LookUpObject(handle);
    if (!object || object->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}
// Removes the handle; the object dies with its last user.
bool RemoveObject(HANDLE handle);

}  // namespace quillon_posix
