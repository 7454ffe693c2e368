// The life of a job record, from its start call to the host's close.
//
// Every record handed to a host is listed in one registry (outside the record, whose layout is
// fixed) together with two marks: whether its worker has finished and whether the host has
// closed it. The record is freed by whichever of the two comes second: the host's close of a
// finished job frees it at once; a close while the worker still runs asks the worker to stop
// (cancelPressed) and leaves the freeing to the worker's last step. The polling calls accept
// only listed records, so a stale or foreign pointer is never read.
//
// Threads: the registry has its own lock. A worker touches its record for the last time inside
// FinishEditJob / FinishConvertJob.
#pragma once

#include "frame/jobs.h"

// New zero-filled records with cbSize set, listed as running; null when memory is short.
tEDITWORKTHREADINFO* NewEditJob();
tCONVERTWORKTHREADINFO* NewConvertJob();

// Starts `procedure(record)` on a worker thread and stores the thread's identifier through
// threadID. False when no thread could be started (or the library is being unloaded); the
// caller then ends the job itself with Finish...Job. The worker keeps the library's code mapped
// until it has ended (see jobs.cpp).
bool StartJobThread(unsigned(__stdcall* procedure)(void*), void* record, DWORD* threadID);

// The unload: asks every running job to stop and (Linux) waits until every worker thread has
// ended; then frees the records the host never closed, and the registry.
void EndJobsForUnload();
void FreeJobsForUnload();

// The worker's last step: stores the result, for a finished edit that changed a file names it
// in gEditOperatedFile (operatedFile null: no bookkeeping; skipped when the host has already
// closed the job, which then no longer speaks for the host's files), marks the job over, and
// frees the record when the host closed it early. The record must not be touched afterwards.
void FinishEditJob(tEDITWORKTHREADINFO* record, WORD result, const char* operatedFile);
void FinishConvertJob(tCONVERTWORKTHREADINFO* record, WORD result);

// Number of records not yet freed (running, or over and not closed). For tests and diagnostics.
int LiveJobCount();
