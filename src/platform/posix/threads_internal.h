// What kernel32 and user32 of the POSIX build share about threads; not part of the Win32 subset.
//
// Thread identifiers are ours: small numbers handed out in order, the first time a thread asks
// for its identifier or, for threads that _beginthreadex starts, by the starting thread before
// the new one runs. A thread's message queue lives in user32 and is keyed by that identifier.
#pragma once

#include "wintypes.h"

namespace quillon_posix {

// kernel32: draws the identifier for a thread that is about to be started.
DWORD DrawThreadId();
// kernel32: in a new thread, before anything else: adopts the identifier drawn for it.
void AdoptThreadId(DWORD id);

// kernel32: waits until the thread behind `thread` (started by _beginthreadex) has exited
// completely, none of its instructions left to run: more than its handle's signal, which comes
// while the thread still returns through the library. A library that is about to be unmapped
// waits this way for its own threads. FALSE when the handle is not such a thread, was joined
// before, or is the calling thread.
BOOL JoinThread(HANDLE thread);

// user32: makes an empty queue for the thread `id` (which may not run yet). FALSE when memory
// runs out.
bool CreateThreadQueue(DWORD id);
// user32: removes the queue of thread `id` and the windows it owns; posting to it fails from
// then on. Does nothing when the thread has no queue.
void DestroyThreadQueue(DWORD id);

}  // namespace quillon_posix
