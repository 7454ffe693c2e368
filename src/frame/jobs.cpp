// Worker jobs: the checks every file-changing start call makes, the registry of job records,
// and the polling calls of both job families (edits and format changes; codec conversions).
//
// Threads: the host's thread starts jobs, polls and closes them; one worker thread per job runs
// the routine and ends with Finish...Job. The registry lock guards the list of records and the
// "over"/"closed" marks; the record's shared fields are atomics and are read without it, but
// only after the record was found in the list under the lock.
//
// Unload: a worker runs the library's code, so the library must stay mapped until it has ended.
// On Linux the registry keeps every worker's thread handle, and the unload cancels every job and
// joins every worker (EndJobsForUnload). On Windows DllMain cannot wait for a thread (its exit
// needs the loader lock DllMain holds), so each worker holds a reference to the library, taken
// before it starts, and ends with FreeLibraryAndExitThread: the library is unmapped, and its
// unload sequence runs, only after the last worker has ended.
#include "frame/jobregistry.h"

#include "frame/fileinfo.h"
#include "frame/state.h"
#include "frame/unload.h"
#include "quillon.h"

#ifndef _WIN32
#include "platform/posix/threads_internal.h"
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

enum class JobKind { Edit, Convert };

struct JobEntry {
    JobKind kind;
    bool over;    // the worker has made its last write
    bool closed;  // the host has closed the handle
};

struct Registry {
    std::mutex lock;
    std::unordered_map<const void*, JobEntry> jobs;
    std::vector<HANDLE> workers;  // Linux: worker threads not joined yet
};

// Made at first use and freed by the unload once every worker has ended; never a static object
// with a destructor, which the process's exit may run while a worker still finishes.
std::atomic<Registry*> gRegistry{nullptr};

Registry& Jobs() {
    Registry* r = gRegistry.load();
    if (r != nullptr) return *r;
    Registry* fresh = new Registry;
    if (!gRegistry.compare_exchange_strong(r, fresh)) {
        delete fresh;
        return *r;
    }
    return *fresh;
}

void FreeEditRecord(tEDITWORKTHREADINFO* record) {
    std::free(record->pMoreInfo);
    std::free(record);
}

void FreeConvertRecord(tCONVERTWORKTHREADINFO* record) { std::free(record); }

// What a worker thread starts with: the procedure, its record and (Windows) the reference to the
// library that keeps its code mapped until the worker has ended.
struct WorkerStart {
    unsigned(__stdcall* procedure)(void*);
    void* record;
    HMODULE library;
};

unsigned __stdcall WorkerMain(void* argument) {
    const WorkerStart start = *static_cast<WorkerStart*>(argument);
    std::free(argument);
    start.procedure(start.record);
#ifdef _WIN32
    // The last instruction of the library this thread runs: from here the system frees the
    // reference and ends the thread, unloading the library if this was the last reference.
    if (start.library != nullptr) FreeLibraryAndExitThread(start.library, 0);
#endif
    return 0;
}

#ifdef _WIN32
// A reference to the library that holds this code, for a worker; null when the code is linked
// into the program itself (the test program), which is never unloaded. False when the library
// could not be referenced.
bool ReferenceOwnLibrary(HMODULE* library) {
    *library = nullptr;
    const auto self = reinterpret_cast<LPCSTR>(&ReferenceOwnLibrary);
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            self, &module))
        return false;
    if (module == GetModuleHandleA(nullptr)) return true;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, self, library) != FALSE;
}
#endif

template <typename Record>
Record* NewRecord(JobKind kind) {
    void* memory = std::calloc(1, sizeof(Record));
    if (memory == nullptr) return nullptr;
    Record* record = ::new (memory) Record;  // trivial construction keeps the zero bytes
    record->cbSize = sizeof(Record);
    Registry& r = Jobs();
    std::lock_guard<std::mutex> guard(r.lock);
    try {
        r.jobs[record] = JobEntry{kind, false, false};
    } catch (...) {
        std::free(memory);
        return nullptr;
    }
    return record;
}

// The record behind a host's handle when it is a live record of that kind with the right size;
// null otherwise. Call with the registry lock held.
template <typename Record>
Record* Lookup(Registry& r, const void* handle, JobKind kind) {
    if (handle == nullptr) return nullptr;
    auto it = r.jobs.find(handle);
    if (it == r.jobs.end() || it->second.kind != kind || it->second.closed) return nullptr;
    Record* record = static_cast<Record*>(const_cast<void*>(handle));
    return record->cbSize == sizeof(Record) ? record : nullptr;
}

template <typename Record>
WORD CancelPressed(const void* handle, JobKind kind) {
    Registry& r = Jobs();
    std::lock_guard<std::mutex> guard(r.lock);
    if (Record* record = Lookup<Record>(r, handle, kind)) record->cancelPressed = 1;
    return 0;
}

template <typename Record>
int ProcessIsOver(const void* handle, JobKind kind) {
    Registry& r = Jobs();
    std::lock_guard<std::mutex> guard(r.lock);
    Record* record = Lookup<Record>(r, handle, kind);
    return record != nullptr ? record->threadExited.load() : 1;
}

template <typename Record>
DWORD GetProcessProgress(const void* handle, JobKind kind) {
    Registry& r = Jobs();
    std::lock_guard<std::mutex> guard(r.lock);
    Record* record = Lookup<Record>(r, handle, kind);
    if (record == nullptr) return 0;
    // Clamp in the record itself, without losing a value the worker stores meanwhile.
    DWORD progress = record->progressCounter.load();
    while (progress > 100 && !record->progressCounter.compare_exchange_weak(progress, 100)) {
    }
    return progress > 100 ? 100 : progress;
}

template <typename Record>
WORD GetReasonForProcessExit(const void* handle, JobKind kind) {
    Registry& r = Jobs();
    std::lock_guard<std::mutex> guard(r.lock);
    Record* record = Lookup<Record>(r, handle, kind);
    return record != nullptr ? record->reasonForExit.load() : 0;
}

// Closes the host's handle. A finished job's record is freed now; a running one is asked to
// stop and is freed by its worker. A pointer the registry does not know (never handed out, or
// already freed) is only forgotten: nothing it points to is read or freed.
template <typename Record>
WORD CloseJobHandle(QUILLON_JOB_SIZE_FIELD** handle, JobKind kind, void (*freeRecord)(Record*)) {
    if (handle == nullptr || *handle == nullptr) return 0;
    Registry& r = Jobs();
    Record* toFree = nullptr;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.jobs.find(*handle);
        if (it != r.jobs.end() && it->second.kind == kind && !it->second.closed) {
            Record* record = static_cast<Record*>(static_cast<void*>(*handle));
            if (it->second.over) {
                r.jobs.erase(it);
                toFree = record;
            } else {
                it->second.closed = true;
                record->cancelPressed = 1;
            }
        }
    }
    *handle = nullptr;
    if (toFree != nullptr) freeRecord(toFree);
    return 0;
}

// Marks a job over; true when the host has already closed it (the caller then frees it).
template <typename Record>
bool MarkOver(Registry& r, Record* record, WORD result) {
    record->reasonForExit = result;
    record->threadExited = 1;
    auto it = r.jobs.find(record);
    if (it == r.jobs.end()) return false;
    if (it->second.closed) {
        r.jobs.erase(it);
        return true;
    }
    it->second.over = true;
    return false;
}

}  // namespace

tEDITWORKTHREADINFO* NewEditJob() { return NewRecord<tEDITWORKTHREADINFO>(JobKind::Edit); }
tCONVERTWORKTHREADINFO* NewConvertJob() { return NewRecord<tCONVERTWORKTHREADINFO>(JobKind::Convert); }

bool StartJobThread(unsigned(__stdcall* procedure)(void*), void* record, DWORD* threadID) {
    if (LibraryUnloading()) return false;
    auto* start = static_cast<WorkerStart*>(std::malloc(sizeof(WorkerStart)));
    if (start == nullptr) return false;
    start->procedure = procedure;
    start->record = record;
    start->library = nullptr;
#ifdef _WIN32
    if (!ReferenceOwnLibrary(&start->library)) {
        std::free(start);
        return false;
    }
    const HMODULE library = start->library;
#endif
    unsigned id = 0;
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, WorkerMain, start, 0, &id);
    if (thread == 0) {
#ifdef _WIN32
        if (library != nullptr) FreeLibrary(library);
#endif
        std::free(start);
        return false;
    }
    // Only the caller may store into the record here: the worker already runs, and the
    // identifier field is not one it writes.
    *threadID = id;
#ifdef _WIN32
    CloseHandle(reinterpret_cast<HANDLE>(thread));
#else
    // Kept for the unload; workers that have ended are joined now, so the list stays short.
    std::vector<HANDLE> ended;
    {
        Registry& r = Jobs();
        std::lock_guard<std::mutex> guard(r.lock);
        for (auto it = r.workers.begin(); it != r.workers.end();) {
            if (WaitForSingleObject(*it, 0) == WAIT_OBJECT_0) {
                ended.push_back(*it);
                it = r.workers.erase(it);
            } else {
                ++it;
            }
        }
        try {
            r.workers.push_back(reinterpret_cast<HANDLE>(thread));
        } catch (...) {
            ended.push_back(reinterpret_cast<HANDLE>(thread));  // joined here: it cannot be left running
        }
    }
    for (HANDLE h : ended) {
        quillon_posix::JoinThread(h);
        CloseHandle(h);
    }
#endif
    return true;
}

void EndJobsForUnload() {
    Registry* r = gRegistry.load();
    if (r == nullptr) return;
    std::vector<HANDLE> workers;
    {
        std::lock_guard<std::mutex> guard(r->lock);
        for (auto& [address, entry] : r->jobs) {
            if (entry.over) continue;
            if (entry.kind == JobKind::Edit)
                static_cast<tEDITWORKTHREADINFO*>(const_cast<void*>(address))->cancelPressed = 1;
            else
                static_cast<tCONVERTWORKTHREADINFO*>(const_cast<void*>(address))->cancelPressed = 1;
        }
        workers.swap(r->workers);
    }
#ifndef _WIN32
    for (HANDLE h : workers) {
        quillon_posix::JoinThread(h);
        CloseHandle(h);
    }
#endif
}

void FreeJobsForUnload() {
    Registry* r = gRegistry.exchange(nullptr);
    if (r == nullptr) return;
    for (auto& [address, entry] : r->jobs) {
        void* record = const_cast<void*>(address);
        if (entry.kind == JobKind::Edit)
            FreeEditRecord(static_cast<tEDITWORKTHREADINFO*>(record));
        else
            FreeConvertRecord(static_cast<tCONVERTWORKTHREADINFO*>(record));
    }
    for (HANDLE h : r->workers) CloseHandle(h);
    delete r;
}

void FinishEditJob(tEDITWORKTHREADINFO* record, WORD result, const char* operatedFile) {
    Registry& r = Jobs();
    bool freeIt = false;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.jobs.find(record);
        const bool closed = it != r.jobs.end() && it->second.closed;
        if (result == 0 && operatedFile != nullptr && !closed) CopyName(gEditOperatedFile, operatedFile);
        freeIt = MarkOver(r, record, result);
    }
    if (freeIt) FreeEditRecord(record);
}

void FinishConvertJob(tCONVERTWORKTHREADINFO* record, WORD result) {
    Registry& r = Jobs();
    bool freeIt = false;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        freeIt = MarkOver(r, record, result);
    }
    if (freeIt) FreeConvertRecord(record);
}

int LiveJobCount() {
    Registry& r = Jobs();
    std::lock_guard<std::mutex> guard(r.lock);
    return static_cast<int>(r.jobs.size());
}

WORD CheckEditSource(const char* fileName, char* workingName) {
    const char* given = fileName != nullptr ? fileName : "";
    CopyName(workingName, given);
    if (alreadyPlaying && std::strcmp(given, playbackFileName) == 0) return QUILLON_ERR_FILE_IS_PLAYING;
    if (workingName[0] == '\0') {
        if (playbackFileName[0] == '\0') return QUILLON_ERR_NO_FILE_NAME;
        CopyName(workingName, playbackFileName);
    }
    if (GetTheFilesSize(workingName) == 0) return QUILLON_ERR_CANNOT_OPEN_FILE;
    if (IsFileCompressed(workingName)) return QUILLON_ERR_FILE_COMPRESSED;
    return 0;
}

// The polling calls. Edit handles serve the edits and the format change.
QUILLON_API(unsigned short) AudioEditCancelPressed(QUILLON_EDIT_HANDLE pEditWorkThreadHandle) {
    return CancelPressed<tEDITWORKTHREADINFO>(pEditWorkThreadHandle, JobKind::Edit);
}
QUILLON_API(int) AudioEditProcessIsOver(QUILLON_EDIT_HANDLE pEditWorkThreadHandle) {
    return ProcessIsOver<tEDITWORKTHREADINFO>(pEditWorkThreadHandle, JobKind::Edit);
}
QUILLON_API(unsigned int) AudioEditGetProcessProgress(QUILLON_EDIT_HANDLE pEditWorkThreadHandle) {
    return GetProcessProgress<tEDITWORKTHREADINFO>(pEditWorkThreadHandle, JobKind::Edit);
}
QUILLON_API(unsigned short) AudioEditGetReasonForProcessExit(QUILLON_EDIT_HANDLE pEditWorkThreadHandle) {
    return GetReasonForProcessExit<tEDITWORKTHREADINFO>(pEditWorkThreadHandle, JobKind::Edit);
}
QUILLON_API(unsigned short) AudioEditCloseHandle(QUILLON_EDIT_HANDLE* pEditWorkThreadHandle) {
    return CloseJobHandle<tEDITWORKTHREADINFO>(pEditWorkThreadHandle, JobKind::Edit, FreeEditRecord);
}

QUILLON_API(unsigned short) AudioConvertCancelPressed(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle) {
    return CancelPressed<tCONVERTWORKTHREADINFO>(pConvertWorkThreadHandle, JobKind::Convert);
}
QUILLON_API(int) AudioConvertProcessIsOver(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle) {
    return ProcessIsOver<tCONVERTWORKTHREADINFO>(pConvertWorkThreadHandle, JobKind::Convert);
}
QUILLON_API(unsigned int) AudioConvertGetProcessProgress(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle) {
    return GetProcessProgress<tCONVERTWORKTHREADINFO>(pConvertWorkThreadHandle, JobKind::Convert);
}
QUILLON_API(unsigned short) AudioConvertGetReasonForProcessExit(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle) {
    return GetReasonForProcessExit<tCONVERTWORKTHREADINFO>(pConvertWorkThreadHandle, JobKind::Convert);
}
QUILLON_API(unsigned short) AudioConvertCloseHandle(QUILLON_CONVERT_HANDLE* pConvertWorkThreadHandle) {
    return CloseJobHandle<tCONVERTWORKTHREADINFO>(pConvertWorkThreadHandle, JobKind::Convert, FreeConvertRecord);
}
