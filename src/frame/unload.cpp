// The unloading mark and the count of long calls in flight (see unload.h).
#include "frame/unload.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
// Plain atomics: usable from the first instruction of a load to the last of an unload.
std::atomic<bool> gUnloading{false};
std::atomic<int> gCallsInFlight{0};
}  // namespace

bool LibraryUnloading() { return gUnloading.load(); }

void SetLibraryUnloading(bool unloading) { gUnloading = unloading; }

CallInFlight::CallInFlight() { ++gCallsInFlight; }
CallInFlight::~CallInFlight() { --gCallsInFlight; }

bool WaitForCallsInFlight(DWORD milliseconds) {
    for (DWORD waited = 0; gCallsInFlight.load() > 0 && waited < milliseconds; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return gCallsInFlight.load() == 0;
}
