// One edit at a time, inside the library.
//
// Edits share the temporary file set (edit file, undo and redo copies, clip file), so every call
// that uses it holds the edit lock for its whole run: each edit (synchronous or job), copy,
// undo, redo, flush of the clip and SetTempPath. The lock is granted in the order the callers
// queued for it: a job queues when its start call returns, a synchronous call when it is made,
// so the edits run in the order the host started them and the bookkeeping of the last edit
// (gEditCurrentFile, gEditOperatedFile, the undo copy) is that of the last one to run.
//
// A job waits on its worker thread, with progress 0, and leaves the queue as soon as its cancel
// is pressed; a synchronous call waits without end. Both stop waiting when the library is being
// unloaded.
//
// Threads: a short internal mutex guards the queue and the "held" mark and is never held while
// anything else is locked or waited for; waiters look again every two milliseconds (no condition
// variable: the lock's state must stay usable while the process exits, when an unload may still
// run after the C++ objects of the library were destroyed). The edit lock itself is a mark, not a mutex held for
// the run, so the registry lock may be taken while holding it (never the other way round).
#pragma once

#include "frame/jobs.h"
#include "frame/unload.h"

// Puts `owner` (a job record) at the end of the queue. False when there is no memory for the
// place; nothing is queued then.
bool QueueForEditLock(const void* owner);
// Waits until `owner`, queued before, is at the head of the queue and the lock is free, then
// takes the lock: true. False (and the owner's place is given up) when `job` is given and its
// cancel is pressed, or when the library is being unloaded, before that.
bool TakeEditLock(const void* owner, const tEDITWORKTHREADINFO* job);
// Gives up a place that will never be taken (a job whose worker could not start).
void LeaveEditQueue(const void* owner);
void ReleaseEditLock();

// A place in the queue.
struct EditQueuePlace {
    const void* owner;
    EditQueuePlace* next;
    bool onHeap;
};

// The lock for a call that runs on the caller's thread: queued (in a place of its own, so no
// memory is needed) and taken in the constructor, released in the destructor. held() is false
// only when the library is being unloaded.
class EditLockGuard {
public:
    EditLockGuard();
    ~EditLockGuard();
    EditLockGuard(const EditLockGuard&) = delete;
    EditLockGuard& operator=(const EditLockGuard&) = delete;
    bool held() const { return held_; }

private:
    EditQueuePlace place_{};
    bool held_ = false;
};
