// Worker jobs: the checks every file-changing start call makes, the registry of job records,
// and the polling calls of both job families (edits and format changes; codec conversions).
//
// Threads: the host's thread starts jobs, polls and closes them; one worker thread per job runs
// the routine and ends with Finish...Job. The registry lock guards the list of records and the
// "over"/"closed" marks; the record's shared fields are atomics and are read without it, but
// only after the record was found in the list under the lock.
#include "frame/jobregistry.h"

#include "frame/fileinfo.h"
#include "frame/state.h"
#include "quillon.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

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
};

// Never destroyed: a worker may still finish while the process exits.
Registry& Jobs() {
    static Registry* registry = new Registry;
    return *registry;
}

void FreeEditRecord(tEDITWORKTHREADINFO* record) {
    std::free(record->pMoreInfo);
    std::free(record);
}

void FreeConvertRecord(tCONVERTWORKTHREADINFO* record) { std::free(record); }

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
    unsigned id = 0;
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, procedure, record, 0, &id);
    if (thread == 0) return false;
    // Only the caller may store into the record here: the worker already runs, and the
    // identifier field is not one it writes.
    *threadID = id;
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
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
