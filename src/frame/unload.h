// What an unload of the library must wait for, and the mark every long routine looks at.
//
// Unloading (dlclose, FreeLibrary) unmaps the library's code. Before that happens no thread may
// be running it: job workers are cancelled and joined (Linux) or keep the library mapped until
// they end (Windows, see jobs.cpp), and long calls that host threads are making at that moment
// are told to stop and waited for, within a bound. See docs/decisions.md, "Unloading the
// library while work runs".
#pragma once

#include "platform/win32api.h"

// Set from the start of an unload until the next load: waits for the edit lock end, new jobs
// are refused, and every long routine takes it as a cancel at its next test.
bool LibraryUnloading();
void SetLibraryUnloading(bool unloading);

// Marks a long call (an edit, undo, redo, the flush, SetTempPath, a format change, a conversion)
// running on a host's thread for its whole run.
class CallInFlight {
public:
    CallInFlight();
    ~CallInFlight();
    CallInFlight(const CallInFlight&) = delete;
    CallInFlight& operator=(const CallInFlight&) = delete;
};
// Waits until no such call is running, at most `milliseconds`: true when none is left.
bool WaitForCallsInFlight(DWORD milliseconds);
