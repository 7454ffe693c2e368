// The edit lock: a queue of places, granted head first. See editlock.h for who holds it.
//
// Threads: gQueueLock guards the list and gHeld and is held only for a few instructions. A
// waiter looks every two milliseconds whether its turn has come, whether its job's cancel was
// pressed (the host sets it without telling the lock) and whether the library is unloading.
#include "frame/editlock.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

std::mutex gQueueLock;
EditQueuePlace* gHead = nullptr;
EditQueuePlace* gTail = nullptr;
bool gHeld = false;

constexpr auto kLookAgain = std::chrono::milliseconds(2);

// Call with gQueueLock held.
void Append(EditQueuePlace* place) {
    place->next = nullptr;
    if (gTail != nullptr)
        gTail->next = place;
    else
        gHead = place;
    gTail = place;
}

EditQueuePlace* Find(const void* owner) {
    for (EditQueuePlace* p = gHead; p != nullptr; p = p->next)
        if (p->owner == owner) return p;
    return nullptr;
}

void Unlink(EditQueuePlace* place) {
    EditQueuePlace* before = nullptr;
    for (EditQueuePlace* p = gHead; p != nullptr; before = p, p = p->next) {
        if (p != place) continue;
        (before != nullptr ? before->next : gHead) = p->next;
        if (gTail == p) gTail = before;
        return;
    }
}

void Drop(EditQueuePlace* place) {
    Unlink(place);
    if (place->onHeap) std::free(place);
}

bool StopWaiting(const tEDITWORKTHREADINFO* job) {
    return LibraryUnloading() || (job != nullptr && job->cancelPressed.load() != 0);
}

// Waits for the turn of `place`; takes the lock (true) or leaves the queue (false).
bool WaitForTurn(EditQueuePlace* place, const tEDITWORKTHREADINFO* job) {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(gQueueLock);
            if (!gHeld && gHead == place) {
                Drop(place);
                gHeld = true;
                return true;
            }
            if (StopWaiting(job)) {
                Drop(place);
                return false;
            }
        }
        std::this_thread::sleep_for(kLookAgain);
    }
}

}  // namespace

bool QueueForEditLock(const void* owner) {
    auto* place = static_cast<EditQueuePlace*>(std::malloc(sizeof(EditQueuePlace)));
    if (place == nullptr) return false;
    place->owner = owner;
    place->onHeap = true;
    std::lock_guard<std::mutex> guard(gQueueLock);
    Append(place);
    return true;
}

bool TakeEditLock(const void* owner, const tEDITWORKTHREADINFO* job) {
    EditQueuePlace* place = nullptr;
    {
        std::lock_guard<std::mutex> guard(gQueueLock);
        place = Find(owner);
    }
    // Only the owner's own thread removes its place, so it stays valid after the lock is let go.
    return place != nullptr && WaitForTurn(place, job);
}

void LeaveEditQueue(const void* owner) {
    std::lock_guard<std::mutex> guard(gQueueLock);
    if (EditQueuePlace* place = Find(owner)) Drop(place);
}

void ReleaseEditLock() {
    std::lock_guard<std::mutex> guard(gQueueLock);
    gHeld = false;
}

EditLockGuard::EditLockGuard() {
    place_.owner = this;
    place_.onHeap = false;
    {
        std::lock_guard<std::mutex> guard(gQueueLock);
        Append(&place_);
    }
    held_ = WaitForTurn(&place_, nullptr);
}

EditLockGuard::~EditLockGuard() {
    if (held_) ReleaseEditLock();
}
