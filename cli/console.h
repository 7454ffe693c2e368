// What the host's long-running commands share: Ctrl-C as a request to cancel, a progress bar on
// a terminal, and the rename that puts a finished work file in place.
#pragma once

#include <csignal>

// Set when the user pressed Ctrl-C (or the process was asked to terminate) after
// CatchInterrupts; the command then cancels its job and waits for it to end.
extern volatile std::sig_atomic_t interrupted;
void CatchInterrupts();

bool StderrIsTerminal();
void DrawBar(unsigned percent);

int ProcessId();
// Renames a finished work file over the target in one step (replacing it).
bool RenameOver(const char* from, const char* to);
