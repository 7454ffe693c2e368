// The exported edit calls and their worker procedures.
//
// Every call makes the start checks (the playing file, no name, a missing or empty file, a
// compressed file) and resolves the destination and a clip the host named into its own
// buffers. Then it either runs the routine on the caller's thread or starts a job: a record
// from the job registry, filled, queued for the edit lock, and a worker thread that runs the
// routine on it and ends with FinishEditJob.
//
// Edits run one at a time, under the edit lock (frame/editlock.h), in the order they were
// started. What depends on the edits before them is settled only once the lock is held: the
// library's own clip name (SetTempPath may replace it meanwhile) and the bookkeeping of the
// calls that change a file (gEditCurrentFile, gEditOperatedFile), so that it always describes
// the last edit that ran. Copy calls change no file and leave the bookkeeping alone.
#include "edit/editwave.h"
#include "frame/editlock.h"
#include "frame/jobregistry.h"
#include "frame/state.h"
#include "quillon.h"

#include <cstring>

namespace {

enum class EditOp { Cut, Copy, Paste, Clear, Crop, Mute, Trim, Insert };

// Runs the routine of `op` with the fields of a record; `job` is the record for a job, null
// for a synchronous run.
WORD RunEdit(EditOp op, tEDITWORKTHREADINFO& r, tEDITWORKTHREADINFO* job) {
    switch (op) {
    case EditOp::Cut:
        return EditCut(r.fileName, r.startPoint, r.endPoint, r.timeFormatType, job, r.clipFileName, r.destFileName);
    case EditOp::Copy:  // the clip to write travels in destFileName
        return EditCopy(r.fileName, r.startPoint, r.endPoint, r.timeFormatType, job, r.destFileName);
    case EditOp::Paste:
        return EditPaste(r.fileName, r.startPoint, r.timeFormatType, job, r.clipFileName, r.destFileName);
    case EditOp::Clear:
        return EditClear(r.fileName, r.startPoint, r.endPoint, r.timeFormatType, job, r.destFileName);
    case EditOp::Crop:
        return EditCrop(r.fileName, r.startPoint, r.endPoint, r.timeFormatType, job, r.destFileName);
    case EditOp::Mute:
        return EditMute(r.fileName, r.startPoint, r.endPoint, r.timeFormatType, job, r.channels, r.destFileName);
    case EditOp::Trim:
        return EditTrimSilence(r.fileName, r.startPoint, r.endPoint, r.timeFormatType, job, r.silencePercent,
                               r.destFileName);
    case EditOp::Insert:  // endPoint carries the length of silence in milliseconds
        return EditInsertSilence(r.fileName, r.startPoint, r.timeFormatType, job, r.endPoint, r.destFileName);
    }
    return QUILLON_ERR_CANNOT_WRITE;
}

bool ChangesFile(EditOp op) { return op != EditOp::Copy; }

// With the edit lock held: an edit that changes a file names it as the current one and
// forgets the last success until it has one of its own.
void BeginBookkeeping(EditOp op, const char* working) {
    if (!ChangesFile(op)) return;
    CopyName(gEditCurrentFile, working);
    gEditOperatedFile[0] = '\0';
}

// With the edit lock held: the library's clip file becomes the record's clip (copy: the file it
// writes, in destFileName).
void UseLibraryClip(EditOp op, tEDITWORKTHREADINFO& r) {
    CopyName(op == EditOp::Copy ? r.destFileName : r.clipFileName, gCLIPFILE);
}

// A worker: waits for its turn (a cancel meanwhile ends the job at once, having changed
// nothing), runs the routine, and lets the next edit go only after its job shows as over, with
// the bookkeeping done.
template <EditOp op, bool libraryClip>
unsigned __stdcall EditWorkThread(void* argument) {
    auto* record = static_cast<tEDITWORKTHREADINFO*>(argument);
    if (!TakeEditLock(record, record)) {
        FinishEditJob(record, QUILLON_ERR_CANCELLED, nullptr);
        return 0;
    }
    BeginBookkeeping(op, record->fileName);
    if (libraryClip) UseLibraryClip(op, *record);
    const WORD result = RunEdit(op, *record, record);
    FinishEditJob(record, result, ChangesFile(op) ? record->fileName : nullptr);
    ReleaseEditLock();
    return 0;
}

}  // namespace

// The worker procedures, one per edit, for a clip the record names; cut, copy and paste on the
// library's own clip use the variants that take its name once they hold the lock.
unsigned __stdcall EditWorkCutThread(void* p) { return EditWorkThread<EditOp::Cut, false>(p); }
unsigned __stdcall EditWorkCopyThread(void* p) { return EditWorkThread<EditOp::Copy, false>(p); }
unsigned __stdcall EditWorkPasteThread(void* p) { return EditWorkThread<EditOp::Paste, false>(p); }
unsigned __stdcall EditWorkClearThread(void* p) { return EditWorkThread<EditOp::Clear, false>(p); }
unsigned __stdcall EditWorkCropThread(void* p) { return EditWorkThread<EditOp::Crop, false>(p); }
unsigned __stdcall EditWorkMuteThread(void* p) { return EditWorkThread<EditOp::Mute, false>(p); }
unsigned __stdcall EditWorkTrimSilenceThread(void* p) { return EditWorkThread<EditOp::Trim, false>(p); }
unsigned __stdcall EditWorkInsertSilenceThread(void* p) { return EditWorkThread<EditOp::Insert, false>(p); }

namespace {

using WorkerProc = unsigned(__stdcall*)(void*);

WorkerProc WorkerOf(EditOp op, bool libraryClip) {
    if (libraryClip) {
        switch (op) {
        case EditOp::Cut: return EditWorkThread<EditOp::Cut, true>;
        case EditOp::Copy: return EditWorkThread<EditOp::Copy, true>;
        case EditOp::Paste: return EditWorkThread<EditOp::Paste, true>;
        default: break;
        }
    }
    switch (op) {
    case EditOp::Cut: return EditWorkCutThread;
    case EditOp::Copy: return EditWorkCopyThread;
    case EditOp::Paste: return EditWorkPasteThread;
    case EditOp::Clear: return EditWorkClearThread;
    case EditOp::Crop: return EditWorkCropThread;
    case EditOp::Mute: return EditWorkMuteThread;
    case EditOp::Trim: return EditWorkTrimSilenceThread;
    case EditOp::Insert: return EditWorkInsertSilenceThread;
    }
    return nullptr;
}

const char* OrEmpty(const char* name) { return name != nullptr ? name : ""; }

// What a call hands on besides the file: positions and the names it resolved.
struct EditArgs {
    DWORD startPoint = 0;
    DWORD endPoint = 0;
    WORD timeFormatType = 0;
    const char* clip = "";  // the clip named (cut, paste: clipFileName; copy: destFileName); null: the library's
    const char* dest = "";  // resolved destination, empty: the file itself
    int channels = 0;
    WORD silencePercent = 0;
};

// The arguments every edit call has: positions, their unit, the clip and the destination.
EditArgs Args(DWORD start, DWORD end, WORD type, const char* clip, const char* dest) {
    EditArgs a;
    a.startPoint = start;
    a.endPoint = end;
    a.timeFormatType = type;
    a.clip = clip;
    a.dest = OrEmpty(dest);
    return a;
}

void Fill(tEDITWORKTHREADINFO& r, const char* working, const EditArgs& a, EditOp op) {
    const char* clip = a.clip != nullptr ? a.clip : "";
    CopyName(r.fileName, working);
    if (op == EditOp::Copy) {
        CopyName(r.destFileName, clip);
    } else {
        CopyName(r.destFileName, a.dest);
        CopyName(r.clipFileName, clip);
    }
    r.startPoint = a.startPoint;
    r.endPoint = a.endPoint;
    r.timeFormatType = a.timeFormatType;
    r.channels = a.channels;
    r.silencePercent = a.silencePercent;
}

WORD LaunchEdit(EditOp op, const char* fileName, const EditArgs& args, QUILLON_EDIT_HANDLE* handle, int isSyncOperation) {
    CallInFlight call;
    char working[kNameSize];
    if (const WORD r = CheckEditSource(fileName, working)) return r;
    const bool libraryClip = args.clip == nullptr;

    if (isSyncOperation) {
        EditLockGuard lock;
        if (!lock.held()) return QUILLON_ERR_CANCELLED;  // the library is being unloaded
        BeginBookkeeping(op, working);
        tEDITWORKTHREADINFO local{};  // only its plain fields are used: no job, no sharing
        Fill(local, working, args, op);
        if (libraryClip) UseLibraryClip(op, local);
        const WORD result = RunEdit(op, local, nullptr);
        if (result == 0 && ChangesFile(op)) CopyName(gEditOperatedFile, working);
        return result;
    }

    // A job nobody could poll or close would leak and change files unseen: none is started.
    if (handle == nullptr) return 0;
    tEDITWORKTHREADINFO* record = NewEditJob();
    *handle = reinterpret_cast<QUILLON_EDIT_HANDLE>(record);
    if (record == nullptr) return 0;
    Fill(*record, working, args, op);
    // Queued now, so that edits run in the order they were started.
    if (!QueueForEditLock(record)) {
        FinishEditJob(record, QUILLON_ERR_NO_MEMORY, nullptr);
        return 0;
    }
    if (!StartJobThread(WorkerOf(op, libraryClip), record, &record->threadID)) {
        LeaveEditQueue(record);
        FinishEditJob(record, QUILLON_ERR_NO_MEMORY, nullptr);
    }
    return 0;
}

}  // namespace

QUILLON_API(unsigned short) AudioCut(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                     unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                     int isSyncOperation, const char* destFileName) {
    const EditArgs a = Args(startPoint, endPoint, timeFormatType, nullptr, destFileName);
    return LaunchEdit(EditOp::Cut, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioCutInFile(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                           unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                           int isSyncOperation, const char* fileNameToCutIn, const char* destFileName) {
    const EditArgs a = Args(startPoint, endPoint, timeFormatType, OrEmpty(fileNameToCutIn), destFileName);
    return LaunchEdit(EditOp::Cut, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioCopy(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                      unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                      int isSyncOperation) {
    const EditArgs a = Args(startPoint, endPoint, timeFormatType, nullptr, nullptr);
    return LaunchEdit(EditOp::Copy, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioCopyInFile(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                            unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                            int isSyncOperation, const char* fileNameToCopyIn) {
    const EditArgs a = Args(startPoint, endPoint, timeFormatType, OrEmpty(fileNameToCopyIn), nullptr);
    return LaunchEdit(EditOp::Copy, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioPaste(const char* fileName, unsigned int startPoint, unsigned short timeFormatType,
                                       QUILLON_EDIT_HANDLE* pEditWorkThreadHandle, int isSyncOperation) {
    const EditArgs a = Args(startPoint, 0, timeFormatType, nullptr, nullptr);
    return LaunchEdit(EditOp::Paste, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioPasteEx(const char* fileName, unsigned int startPoint, unsigned short timeFormatType,
                                         QUILLON_EDIT_HANDLE* pEditWorkThreadHandle, int isSyncOperation,
                                         const char* clipFileName, const char* destFileName) {
    const char* clip = clipFileName != nullptr && clipFileName[0] != '\0' ? clipFileName : nullptr;
    const EditArgs a = Args(startPoint, 0, timeFormatType, clip, destFileName);
    return LaunchEdit(EditOp::Paste, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioClear(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                       unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                       int isSyncOperation, const char* destFileName) {
    const EditArgs a = Args(startPoint, endPoint, timeFormatType, "", destFileName);
    return LaunchEdit(EditOp::Clear, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioCrop(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                      unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                      int isSyncOperation, const char* destFileName) {
    const EditArgs a = Args(startPoint, endPoint, timeFormatType, "", destFileName);
    return LaunchEdit(EditOp::Crop, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioEditMute(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                          unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                          int isSyncOperation, int channels, const char* destFileName) {
    EditArgs a = Args(startPoint, endPoint, timeFormatType, "", destFileName);
    a.channels = channels;
    return LaunchEdit(EditOp::Mute, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioEditTrimSilence(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                                 unsigned short timeFormatType,
                                                 QUILLON_EDIT_HANDLE* pEditWorkThreadHandle, int isSyncOperation,
                                                 unsigned short silencePercent, const char* destFileName) {
    EditArgs a = Args(startPoint, endPoint, timeFormatType, "", destFileName);
    a.silencePercent = silencePercent;
    return LaunchEdit(EditOp::Trim, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}

QUILLON_API(unsigned short) AudioInsertSilence(const char* fileName, unsigned int startPoint,
                                               unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                               int isSyncOperation, unsigned int silenceTime, const char* destFileName) {
    const EditArgs a = Args(startPoint, silenceTime, timeFormatType, "", destFileName);
    return LaunchEdit(EditOp::Insert, fileName, a, pEditWorkThreadHandle, isSyncOperation);
}
