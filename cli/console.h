// What the host's long-running commands share: Ctrl-C as a request to cancel, a progress bar on
// a terminal, and the rename that puts a finished work file in place.
#pragma once

#include <csignal>

#include "quillon.h"

// Set when the user pressed Ctrl-C (or the process was asked to terminate) after
// CatchInterrupts; the command then cancels its job and waits for it to end.
extern volatile std::sig_atomic_t interrupted;
void CatchInterrupts();

bool StderrIsTerminal();
void DrawBar(unsigned percent);

int ProcessId();
// Renames a finished work file over the target in one step (replacing it). An existing target
// stays the same file to its users: its permissions, owner and group (attributes and security on
// Windows) go to the new version, a symbolic link keeps naming it; only regular files are replaced.
bool RenameOver(const char* from, const char* to);

// The polling calls of one job family (edit or conversion).
struct JobPolling {
    int(QUILLON_CALL* isOver)(QUILLON_EDIT_HANDLE);
    unsigned int(QUILLON_CALL* progress)(QUILLON_EDIT_HANDLE);
    unsigned short(QUILLON_CALL* cancel)(QUILLON_EDIT_HANDLE);
    unsigned short(QUILLON_CALL* reason)(QUILLON_EDIT_HANDLE);
    unsigned short(QUILLON_CALL* close)(QUILLON_EDIT_HANDLE*);
};
extern const JobPolling kEditJob;
extern const JobPolling kConvertJob;

// Follows a job to its end: polls every 10 ms, draws the bar when `bar` is set, passes Ctrl-C on
// as a cancel (*cancelAsked tells whether it did). Closes the handle; returns the reason for exit.
unsigned short FollowJob(QUILLON_EDIT_HANDLE job, const JobPolling& calls, bool bar, bool* cancelAsked);

// Follows a job that writes `work` (a bar on a terminal) and, when it succeeds, renames `work`
// over `target`; otherwise removes `work`. A null `work` is a job that writes `target` itself. Returns 0 when the target was replaced, 130 after a
// cancel (saying so for `name`), or -1 with the job's reason in *reason: 0 there means the job
// succeeded but its result could not be put in place.
int FinishJobInto(QUILLON_EDIT_HANDLE job, const JobPolling& calls, const char* work, const char* target,
                  const char* name, unsigned short* reason);
