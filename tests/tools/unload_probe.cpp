// A host that unloads the library while work runs, for Unload.* in the test suite.
//
//   unload_probe LIBRARY KIND FILE SECOND TEMPDIR DELAY_US RELOAD_FILE [CODEC]
//
// Loads LIBRARY (dlopen or LoadLibrary), moves its temporary files to TEMPDIR, starts one piece
// of work on FILE (KIND: cut, copy, paste, clear, crop, mute, trim, insert: a job on the file
// itself; format, convert: a job writing SECOND; sync: a synchronous clear on a thread of the
// probe; play: a playback of FILE), waits DELAY_US microseconds and unloads the library. It then waits until the library
// is really gone, loads it again, runs a synchronous edit and a job on RELOAD_FILE, reads the
// codec catalogue, and unloads it once more. It uses the published interface only, as a host
// does, and exits with 0 when every step answered as it should; the test then looks at FILE,
// SECOND and TEMPDIR. A crash of the probe is the failure the test looks for.
#include "quillon.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// The leak checker (native AddressSanitizer build) would scan the thread-local blocks of the
// library unloaded and loaded again, which the runtime no longer describes correctly, and
// crash at exit; heap memory is still checked.
extern "C" const char* __lsan_default_options() { return "use_tls=0:print_suppressions=0"; }

namespace {

#ifdef _WIN32
using Library = HMODULE;
Library Load(const char* path) { return LoadLibraryA(path); }
void* Symbol(Library lib, const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); }
void Unload(Library lib) { FreeLibrary(lib); }
// The library stays mapped while a worker of its own still runs; it is gone once the last one
// has ended.
bool Gone(const char* path) {
    const char* base = std::strrchr(path, '\\');
    base = base != nullptr ? base + 1 : path;
    for (int i = 0; i < 120000; ++i) {
        if (GetModuleHandleA(base) == nullptr) return true;
        Sleep(1);
    }
    return false;
}
#else
using Library = void*;
Library Load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* Symbol(Library lib, const char* name) { return dlsym(lib, name); }
void Unload(Library lib) { dlclose(lib); }
bool Gone(const char* path) {
    void* still = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (still == nullptr) return true;
    dlclose(still);
    return false;
}
#endif

// The exports the probe uses.
struct Api {
    int(QUILLON_CALL* SetTempPath)(const char*);
    unsigned short(QUILLON_CALL* AudioCut)(const char*, unsigned, unsigned, unsigned short, QUILLON_EDIT_HANDLE*, int,
                                           const char*);
    unsigned short(QUILLON_CALL* AudioCopy)(const char*, unsigned, unsigned, unsigned short, QUILLON_EDIT_HANDLE*, int);
    unsigned short(QUILLON_CALL* AudioPaste)(const char*, unsigned, unsigned short, QUILLON_EDIT_HANDLE*, int);
    unsigned short(QUILLON_CALL* AudioClear)(const char*, unsigned, unsigned, unsigned short, QUILLON_EDIT_HANDLE*, int,
                                             const char*);
    unsigned short(QUILLON_CALL* AudioCrop)(const char*, unsigned, unsigned, unsigned short, QUILLON_EDIT_HANDLE*, int,
                                            const char*);
    unsigned short(QUILLON_CALL* AudioEditMute)(const char*, unsigned, unsigned, unsigned short, QUILLON_EDIT_HANDLE*,
                                                int, int, const char*);
    unsigned short(QUILLON_CALL* AudioEditTrimSilence)(const char*, unsigned, unsigned, unsigned short,
                                                       QUILLON_EDIT_HANDLE*, int, unsigned short, const char*);
    unsigned short(QUILLON_CALL* AudioInsertSilence)(const char*, unsigned, unsigned short, QUILLON_EDIT_HANDLE*, int,
                                                     unsigned, const char*);
    unsigned short(QUILLON_CALL* AudioChangeFormat)(const char*, const char*, unsigned, unsigned short,
                                                    unsigned short, QUILLON_EDIT_HANDLE*, int);
    unsigned short(QUILLON_CALL* AudioConvert)(unsigned short, int, const char*, const char*, const WAVEFORMATEX*, int,
                                               QUILLON_CONVERT_HANDLE*, int);
    int(QUILLON_CALL* AudioEditProcessIsOver)(QUILLON_EDIT_HANDLE);
    unsigned short(QUILLON_CALL* AudioEditGetReasonForProcessExit)(QUILLON_EDIT_HANDLE);
    unsigned short(QUILLON_CALL* AudioEditCloseHandle)(QUILLON_EDIT_HANDLE*);
    unsigned short(QUILLON_CALL* GetNumberOfCodec)(void);
    unsigned short(QUILLON_CALL* AudioPlayWave)(const char*, unsigned, unsigned short, unsigned, int, unsigned);
};

template <typename F>
bool Find(Library lib, const char* name, F& f) {
    f = reinterpret_cast<F>(Symbol(lib, name));
    if (f == nullptr) std::fprintf(stderr, "no export %s\n", name);
    return f != nullptr;
}

bool Bind(Library lib, Api& a) {
    return Find(lib, "SetTempPath", a.SetTempPath) && Find(lib, "AudioCut", a.AudioCut) &&
           Find(lib, "AudioCopy", a.AudioCopy) && Find(lib, "AudioPaste", a.AudioPaste) &&
           Find(lib, "AudioClear", a.AudioClear) && Find(lib, "AudioCrop", a.AudioCrop) &&
           Find(lib, "AudioEditMute", a.AudioEditMute) && Find(lib, "AudioEditTrimSilence", a.AudioEditTrimSilence) &&
           Find(lib, "AudioInsertSilence", a.AudioInsertSilence) &&
           Find(lib, "AudioChangeFormat", a.AudioChangeFormat) && Find(lib, "AudioConvert", a.AudioConvert) &&
           Find(lib, "AudioEditProcessIsOver", a.AudioEditProcessIsOver) &&
           Find(lib, "AudioEditGetReasonForProcessExit", a.AudioEditGetReasonForProcessExit) &&
           Find(lib, "AudioEditCloseHandle", a.AudioEditCloseHandle) &&
           Find(lib, "GetNumberOfCodec", a.GetNumberOfCodec) && Find(lib, "AudioPlayWave", a.AudioPlayWave);
}

int Fail(int code, const char* what) {
    std::fprintf(stderr, "unload_probe: %s\n", what);
    return code;
}

// The positions of every edit, in bytes; the test builds its expected files from the same.
constexpr unsigned kFrom = 40000, kTo = 3000000, kSilenceMs = 1000;
constexpr unsigned short kBytes = QUILLON_TIME_BYTES;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 8) return Fail(64, "usage: LIBRARY KIND FILE SECOND TEMPDIR DELAY_US RELOAD_FILE [CODEC]");
    const char* path = argv[1];
    const std::string kind = argv[2];
    const char* file = argv[3];
    const char* second = argv[4];
    const char* temp = argv[5];
    const long delayUs = std::atol(argv[6]);
    const char* reload = argv[7];
    const unsigned short codec = static_cast<unsigned short>(argc > 8 ? std::atoi(argv[8]) : 0);

    Library lib = Load(path);
    Api a{};
    if (lib == nullptr || !Bind(lib, a)) return Fail(10, "the library does not load");
    if (a.SetTempPath(temp) != 0) return Fail(11, "SetTempPath refused the folder");

    QUILLON_EDIT_HANDLE h = nullptr;
    QUILLON_CONVERT_HANDLE c = nullptr;
    std::thread sync;
    unsigned short started = 0;
    if (kind == "paste") {
        if (a.AudioCopy(file, 0, 1000000, kBytes, nullptr, 1) != 0) return Fail(12, "the clip for the paste");
        started = a.AudioPaste(file, kFrom, kBytes, &h, 0);
    } else if (kind == "cut") {
        started = a.AudioCut(file, kFrom, kTo, kBytes, &h, 0, nullptr);
    } else if (kind == "copy") {
        started = a.AudioCopy(file, kFrom, kTo, kBytes, &h, 0);
    } else if (kind == "clear") {
        started = a.AudioClear(file, kFrom, kTo, kBytes, &h, 0, nullptr);
    } else if (kind == "crop") {
        started = a.AudioCrop(file, kFrom, kTo, kBytes, &h, 0, nullptr);
    } else if (kind == "mute") {
        started = a.AudioEditMute(file, kFrom, kTo, kBytes, &h, 0, 3, nullptr);
    } else if (kind == "trim") {
        started = a.AudioEditTrimSilence(file, kFrom, kTo, kBytes, &h, 0, 100, nullptr);
    } else if (kind == "insert") {
        started = a.AudioInsertSilence(file, kFrom, kBytes, &h, 0, kSilenceMs, nullptr);
    } else if (kind == "format") {
        started = a.AudioChangeFormat(file, second, 22050, 16, 2, &h, 0);
    } else if (kind == "convert") {
        started = a.AudioConvert(codec, -1, file, second, nullptr, 0, &c, 0);
    } else if (kind == "play") {
        started = a.AudioPlayWave(file, 0, QUILLON_TIME_MS, 0, 1, 0);
    } else if (kind == "sync") {
        // The library can wait only for a call that has begun: the unload comes at least a
        // millisecond after the thread is about to make it.
        auto clear = a.AudioClear;
        std::atomic<bool> calling{false};
        sync = std::thread([clear, file, &calling] {
            calling = true;
            const unsigned short r = clear(file, kFrom, kTo, kBytes, nullptr, 1, nullptr);
            std::printf("synchronous clear: %u\n", r);
        });
        while (!calling) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
        return Fail(64, "unknown kind");
    }
    if (started != 0) return Fail(13, "the start call failed");

    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    Unload(lib);
    std::printf("unloaded\n");
    if (!Gone(path)) return Fail(20, "the library is still loaded after its work ended");
    if (sync.joinable()) sync.join();
    std::fflush(stdout);

    // Everything again, in a library loaded anew.
    lib = Load(path);
    if (lib == nullptr || !Bind(lib, a)) return Fail(30, "the library does not load again");
    if (a.SetTempPath(temp) != 0) return Fail(31, "SetTempPath after the reload");
    if (a.AudioClear(reload, 0, 4000, kBytes, nullptr, 1, nullptr) != 0) return Fail(32, "a synchronous edit after the reload");
    QUILLON_EDIT_HANDLE job = nullptr;
    if (a.AudioCrop(reload, 0, 40000, kBytes, &job, 0, nullptr) != 0 || job == nullptr)
        return Fail(33, "a job after the reload");
    for (int i = 0; i < 60000 && !a.AudioEditProcessIsOver(job); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!a.AudioEditProcessIsOver(job) || a.AudioEditGetReasonForProcessExit(job) != 0)
        return Fail(34, "the job after the reload did not end with 0");
    a.AudioEditCloseHandle(&job);
    if (a.GetNumberOfCodec() == 0) return Fail(35, "no codec listed after the reload");
    Unload(lib);
    if (!Gone(path)) return Fail(36, "the library is still loaded after the second unload");
    (void)h;
    (void)c;
    std::printf("reloaded\n");
    return 0;
}
