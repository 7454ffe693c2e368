// The edit lock: a queue of places, granted head first. See editlock.h for who holds it.
//
// Threads: gQueueLock guards the list and gHeld and is held only for a few instructions;
// waiters sleep on gTurn, which a release and a departure wake. A waiting job also wakes every
// few milliseconds to look at its cancel field, which the host sets without telling the lock.
#include "frame/editlock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex gQueueLock;
std::condition_variable gTurn;
EditQueuePlace* gHead = nullptr;
EditQueuePlace* gTail = nullptr;
bool gHeld = false;
std::atomic<bool> gUnloading{false};

constexpr auto kCancelLook = std::chrono::milliseconds(5);

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
    return gUnloading.load() || (job != nullptr && job->cancelPressed.load() != 0);
}

// Waits for the turn of `place`; takes the lock (true) or leaves the queue (false).
bool WaitForTurn(EditQueuePlace* place, const tEDITWORKTHREADINFO* job) {
    {
        std::unique_lock<std::mutex> guard(gQueueLock);
        for (;;) {
            if (!gHeld && gHead == place) {
                Drop(place);
                gHeld = true;
                return true;
            }
            if (StopWaiting(job)) break;
            gTurn.wait_for(guard, kCancelLook);
        }
        Drop(place);
    }
    gTurn.notify_all();  // the place behind may now be the head
    return false;
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
    {
        std::lock_guard<std::mutex> guard(gQueueLock);
        if (EditQueuePlace* place = Find(owner)) Drop(place);
    }
    gTurn.notify_all();
}

void ReleaseEditLock() {
    {
        std::lock_guard<std::mutex> guard(gQueueLock);
        gHeld = false;
    }
    gTurn.notify_all();
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

bool LibraryUnloading() { return gUnloading.load(); }

void SetLibraryUnloading(bool unloading) {
    gUnloading = unloading;
    gTurn.notify_all();
}
