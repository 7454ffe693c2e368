// The library's global state. There is no context object: one playback, one recording and one
// set of temporary files per process. Flags that the player thread or a worker thread writes
// while the host reads them are atomics; names and defaults are those of the interface.
#pragma once

#include "frame/utils.h"

#include <atomic>

// The parameters of the last recording start.
struct tRECFILEINFO {
    DWORD recSampleRate;
    WORD recNumBits;
    WORD recMode;  // channels
    WORD recSource;
};

extern std::atomic<int> alreadyPlaying;  // the playback engine has a file open on wave-out
extern std::atomic<int> audioPlaying;    // the host started playback and has not stopped it
extern std::atomic<int> audioPaused;
extern std::atomic<int> recording;
extern std::atomic<int> fileWasCompressed;
extern std::atomic<int> restrictedOperation;
extern char playbackFileName[kNameSize];
extern char recordFileName[kNameSize];
extern char gEditCurrentFile[kNameSize];
extern char gEditOperatedFile[kNameSize];
extern std::atomic<int> gEnableUndoRedo;
extern int gPlaybackCurrentDeviceID;  // -1: the wave mapper
extern int gRecCurrentDeviceID;
extern DWORD playerThreadID;
extern tRECFILEINFO gRecFileInfo;

// Load and unload: DllMain on Windows, the shared object's constructor and destructor on
// Linux, and the test programs, which link the core directly, call them from main.
void LibraryLoad();
void LibraryUnload(bool processIsEnding);

void InitializeTempFileNames();
