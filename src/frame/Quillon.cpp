// The main module: library state, load and unload, the temporary directory and the player
// thread. The player thread runs a message loop for the life of the process; the wave devices
// are opened with it as their callback thread, so it alone serves their completions.
#include "frame/state.h"
#include "convert/codec.h"
#include "frame/editlock.h"
#include "play/playwave.h"
#include "frame/jobregistry.h"
#include "frame/unload.h"

#include "quillon.h"

#ifndef _WIN32
#include "platform/posix/threads_internal.h"
#endif

#include <cstring>
#include <initializer_list>

std::atomic<int> alreadyPlaying{0};
std::atomic<int> audioPlaying{0};
std::atomic<int> audioPaused{0};
std::atomic<int> recording{0};
std::atomic<int> fileWasCompressed{0};
std::atomic<int> restrictedOperation{0};
char playbackFileName[kNameSize];
char recordFileName[kNameSize];
char gEditCurrentFile[kNameSize];
char gEditOperatedFile[kNameSize];
std::atomic<int> gEnableUndoRedo{1};
int gPlaybackCurrentDeviceID = -1;
int gRecCurrentDeviceID = -1;
DWORD playerThreadID = 0;
tRECFILEINFO gRecFileInfo;

namespace {

HANDLE playerThreadHandle = nullptr;

struct TempFile {
    char* name;
    const char* prefix;
};

// Drawn in this order; deleted in the order of DeleteTempFiles.
const TempFile kTempFiles[] = {
    {gCLIPFILE, "VMX"}, {gEDITFILE, "VME"}, {gUNDOFILE, "VMU"}, {gREDOFILE, "VMR"}, {gTEMPCOMPRESS, "VMC"},
};

void DeleteTempFiles() {
    for (char* name : {gCLIPFILE, gUNDOFILE, gREDOFILE, gEDITFILE, gTEMPCOMPRESS}) {
        if (name[0] != '\0') DeleteFileA(name);
    }
}

unsigned __stdcall PlayerThread(void* /*lpdwParam*/) {
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        // Wave-out (0x3BB-0x3BD) and wave-in (0x3BE-0x3C0) completions are served here by the
        // playback and recording engines; everything else goes through the usual dispatch.
        if (msg.message >= MM_WOM_OPEN && msg.message <= MM_WOM_DONE) {
            WaveCallbackProc(reinterpret_cast<HWAVEOUT>(msg.wParam), msg.message, 0, static_cast<DWORD_PTR>(msg.lParam),
                             static_cast<DWORD_PTR>(msg.lParam));
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

}  // namespace

void InitializeTempFileNames() {
    for (const TempFile& f : kTempFiles) {
        char drawn[kNameSize];
        CopyName(drawn, f.prefix);
        GetTemporaryFileName(drawn);
        WriteTempName(f.name, drawn);
    }
}

void LibraryLoad() {
    SetLibraryUnloading(false);
    SetLogErrorFileName();
    char tempPath[kNameSize] = {0};
    GetTempPathA(kNameSize, tempPath);
    WriteTempName(gTempPath, tempPath);
    InitializeTempFileNames();
    unsigned threadId = 0;
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, PlayerThread, nullptr, 0, &threadId);
    playerThreadID = threadId;
    playerThreadHandle = reinterpret_cast<HANDLE>(thread);
    GetNumberOfCodec();
}

// How long an unload waits for long calls that host threads are making (they stop at their
// next cancel test, within one block, unless a platform call holds them).
constexpr DWORD kCallsInFlightWait = 10000;

void LibraryUnload(bool processIsEnding) {
    // No thread may run the library's code once it is unmapped. Jobs are cancelled and (Linux)
    // joined; on Windows the last worker is what brings us here (see jobs.cpp). The playback is
    // stopped and its device closed. At process exit on Windows the system has already ended
    // every other thread and closes the device.
    SetLibraryUnloading(true);
    if (!processIsEnding) {
        StopPlayWave();
        EndJobsForUnload();
        WaitForCallsInFlight(kCallsInFlightWait);
    }
    DeleteTempFiles();
    FreeCodecCatalogue();
    if (!processIsEnding) FreeJobsForUnload();
    if (playerThreadHandle == nullptr) return;
#ifdef _WIN32
    // FreeLibrary unmaps the code of the player thread. The thread is idle at this point (the
    // devices are closed) or has not even begun, waiting for the loader; left alone it would
    // run into unmapped memory when it begins or wakes. It holds nothing, so it is ended here.
    // At process exit the system has already ended it.
    if (!processIsEnding) {
        TerminateThread(playerThreadHandle, 0);
        WaitForSingleObject(playerThreadHandle, INFINITE);
    }
#else
    // dlclose unmaps the code the player thread runs: end its loop and wait for it first.
    (void)processIsEnding;
    PostThreadMessageA(playerThreadID, WM_QUIT, 0, 0);
    quillon_posix::JoinThread(playerThreadHandle);  // until it has left the library's code
#endif
    CloseHandle(playerThreadHandle);
    playerThreadHandle = nullptr;
    playerThreadID = 0;
}

QUILLON_API(int) SetTempPath(const char* newTempPath) {
    if (newTempPath == nullptr || !IsDirectoryExists(newTempPath)) return QUILLON_ERR_BAD_TEMP_PATH;
    // A path that leaves no room for a temporary name ("\VMX1234.TMP") cannot be used.
    if (std::strlen(newTempPath) + 14 >= static_cast<std::size_t>(kNameSize)) return QUILLON_ERR_BAD_TEMP_PATH;
    // The set is replaced between edits, never under one.
    CallInFlight call;
    EditLockGuard lock;
    if (!lock.held()) return QUILLON_ERR_BAD_TEMP_PATH;
    WriteTempName(gTempPath, newTempPath);
    DeleteTempFiles();
    InitializeTempFileNames();
    return 0;
}
