#include "console.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

volatile std::sig_atomic_t interrupted = 0;

#ifdef _WIN32
namespace {
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interrupted = 1;
        return TRUE;
    }
    return FALSE;
}
}  // namespace
void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
int ProcessId() { return _getpid(); }
bool RenameOver(const char* from, const char* to) {
    // ReplaceFileA keeps an existing target's attributes and security; a new one is moved there.
    if (GetFileAttributesA(to) != INVALID_FILE_ATTRIBUTES)
        return ReplaceFileA(to, from, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}
#else
extern "C" void QuillonHostOnSignal(int) { interrupted = 1; }
void CatchInterrupts() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = QuillonHostOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }
int ProcessId() { return static_cast<int>(getpid()); }
bool RenameOver(const char* from, const char* to) {
    // The file a symbolic link names is the one replaced, and it keeps its permissions, owner
    // and group; only a regular file is replaced, and a link to nothing is not followed.
    char real[PATH_MAX];
    struct stat st;
    if (realpath(to, real) == nullptr) {
        if (lstat(to, &st) == 0) return false;
        return std::rename(from, to) == 0;
    }
    if (stat(real, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (chown(from, st.st_uid, st.st_gid) != 0 && chown(from, static_cast<uid_t>(-1), st.st_gid) != 0) {
        // Not permitted to give the file the target's owner or group: the permission bits still go.
    }
    if (chmod(from, st.st_mode & 07777) != 0) return false;
    return std::rename(from, real) == 0;
}
#endif

void DrawBar(unsigned percent) {
    const int width = 40;
    const int filled = static_cast<int>(percent * width / 100);
    char bar[width + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = '\0';
    std::fprintf(stderr, "\r[%s] %3u%%", bar, percent);
    std::fflush(stderr);
}

const JobPolling kEditJob = {AudioEditProcessIsOver, AudioEditGetProcessProgress, AudioEditCancelPressed,
                             AudioEditGetReasonForProcessExit, AudioEditCloseHandle};
const JobPolling kConvertJob = {AudioConvertProcessIsOver, AudioConvertGetProcessProgress, AudioConvertCancelPressed,
                                AudioConvertGetReasonForProcessExit, AudioConvertCloseHandle};

unsigned short FollowJob(QUILLON_EDIT_HANDLE job, const JobPolling& calls, bool bar, bool* cancelAsked) {
    *cancelAsked = false;
    unsigned ticks = 0;
    while (!calls.isOver(job)) {
        if (interrupted && !*cancelAsked) {
            calls.cancel(job);
            *cancelAsked = true;
        }
        if (bar && ++ticks % 10 == 0) DrawBar(calls.progress(job));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const unsigned short reason = calls.reason(job);
    calls.close(&job);
    return reason;
}

int FinishJobInto(QUILLON_EDIT_HANDLE job, const JobPolling& calls, const char* work, const char* target,
                  const char* name, unsigned short* reason) {
    const bool bar = StderrIsTerminal();
    bool cancelAsked = false;
    *reason = FollowJob(job, calls, bar, &cancelAsked);
    // A cancelled job may end with 0 and without its output.
    if (*reason == 0 && !cancelAsked && (work == nullptr || RenameOver(work, target))) {
        if (bar) {
            DrawBar(100);
            std::fputc('\n', stderr);
        }
        return 0;
    }
    if (work != nullptr) std::remove(work);
    if (bar) std::fputc('\n', stderr);
    if (cancelAsked) {
        std::fprintf(stderr, "%s: cancelled; %s is as it was\n", name, target);
        return 130;
    }
    return -1;
}
