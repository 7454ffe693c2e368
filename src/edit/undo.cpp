// Clip file, undo and redo.
//
// One level of undo and redo, kept as whole-file copies in the temporary directory: gUNDOFILE
// holds the file an edit worked on as it was before, gREDOFILE the file as it was before the
// last undo. Each copy remembers which file it was taken from, so that undo and redo only ever
// write a copy back over the file it came from; an empty or missing copy is never written back.
// Copies use the platform's file copy (a shared-block clone or in-kernel copy where the
// filesystem offers one) and fall back on a streamed copy; writing back goes through a
// temporary file beside the target and a safe replacement, so the target is whole at every
// moment.
//
// Threads: undo, redo and the flush hold the edit lock for their whole run, as every edit does,
// so none of them meets an edit half done; MakeUndoRedoFile and NoteUndoCopyOf run inside an
// edit, under its lock. The can-paste, can-undo and can-redo questions take no lock: they read
// the names through ReadTempName and answer from the files as they stand.
#include "edit/editwave.h"

#include "frame/editlock.h"
#include "frame/fileinfo.h"
#include "frame/replace.h"
#include "frame/replace_detail.h"
#include "frame/riffio.h"
#include "frame/state.h"
#include "quillon.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

char undoCopyOf[kNameSize];  // the file gUNDOFILE was taken from
char redoCopyOf[kNameSize];  // the file gREDOFILE was taken from

bool IsTemporarySetName(const char* name) {
    for (const char* set : {gCLIPFILE, gEDITFILE, gUNDOFILE, gREDOFILE, gTEMPCOMPRESS})
        if (set[0] != '\0' && std::strcmp(set, name) == 0) return true;
    return false;
}

// A block-by-block copy through the library's own file I/O, for when the platform's copy fails.
// Returns 1 when done or stopped by a cancel request, 0 when it could not be made.
int StreamedCopy(const char* target, const char* source, tEDITWORKTHREADINFO* job) {
    BYTE* block = static_cast<BYTE*>(std::calloc(1, kEditBlockSize));
    if (block == nullptr) return 0;
    DWORD dataSize = 0;
    GetDataChunkSize(source, &dataSize);
    int result = 1;
    {
        riffio::File out, in;
        if (!out.Open(target, riffio::File::Access::CreateWrite) || !in.Open(source, riffio::File::Access::Read)) {
            result = 0;
        } else {
            std::uint64_t copied = 0;
            for (;;) {
                if (LibraryUnloading()) break;
                if (job != nullptr) {
                    if (job->cancelPressed.load() != 0) break;
                    const std::uint64_t p = copied * 25 / (dataSize == 0 ? 1 : dataSize);
                    job->progressCounter = static_cast<DWORD>(p > 50 ? 50 : p);
                }
                const std::int64_t n = in.Read(block, kEditBlockSize);
                if (n < 0 || (n > 0 && !out.Write(block, static_cast<DWORD>(n)))) {
                    result = 0;
                    break;
                }
                copied += static_cast<std::uint64_t>(n);
                if (n < static_cast<std::int64_t>(kEditBlockSize)) break;
            }
            if (!out.Close()) result = 0;
        }
    }
    std::free(block);
    return result;
}

// Copies `source` over `target` without ever leaving `target` partial: the copy is made
// beside the target and renamed over it. An empty or missing source is refused.
bool CopyOverSafely(const char* source, const char* target) {
    if (GetTheFilesSize(source) == 0 || target[0] == '\0') return false;
    char beside[kNameSize];
    if (!MakeTemporaryBeside(target, beside)) return false;
    const bool copied = CopyFileA(source, beside, FALSE) || StreamedCopy(beside, source, nullptr) == 1;
    if (copied) SetFileAttributesA(beside, FILE_ATTRIBUTE_NORMAL);
    if (copied && ReplaceFileSafely(beside, target)) return true;
    DeleteFileA(beside);
    return false;
}

}  // namespace

void NoteUndoCopyOf(const char* source) { CopyName(undoCopyOf, source); }

void DiscardEditFile(const char* name) {
    if (name == nullptr || name[0] == '\0') return;
    if (IsTemporarySetName(name)) {
        // Emptied rather than deleted: an empty file counts as absent, and the name stays
        // reserved so that no other temporary name can be drawn onto it.
        // Made again private when it had moved away (a temporary file is 0600 on POSIX).
        HANDLE h = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return;
        }
    }
    DeleteFileA(name);
}

namespace {

// Progress of the undo copy: the first quarter of the edit's progress (when there is a job);
// a cancel, or an unload of the library, stops it.
DWORD CALLBACK UndoCopyProgress(LARGE_INTEGER total, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD,
                                HANDLE, HANDLE, LPVOID data) {
    auto* job = static_cast<tEDITWORKTHREADINFO*>(data);
    if (LibraryUnloading()) return PROGRESS_CANCEL;
    if (job == nullptr) return PROGRESS_CONTINUE;
    if (job->cancelPressed.load() != 0) return PROGRESS_CANCEL;
    if (total.QuadPart > 0) job->progressCounter = static_cast<DWORD>(done.QuadPart * 25 / total.QuadPart);
    return PROGRESS_CONTINUE;
}

}  // namespace

int MakeUndoRedoFile(const char* undoFilename, const char* fileToCutFrom, tEDITWORKTHREADINFO* pEditWorkThreadInfo) {
    if (LibraryUnloading()) return 1;
    if (pEditWorkThreadInfo != nullptr) {
        if (pEditWorkThreadInfo->cancelPressed.load() != 0) return 1;
        pEditWorkThreadInfo->progressCounter = 0;
    }
    // The platform's copy first: where the filesystem shares blocks it costs nothing. It asks
    // between pieces whether to go on, so that a cancel is heard during a long copy; the edit
    // then sees the request and ends as cancelled.
    SetFileAttributesA(undoFilename, FILE_ATTRIBUTE_NORMAL);
    if (CopyFileExA(fileToCutFrom, undoFilename, UndoCopyProgress, pEditWorkThreadInfo, nullptr, 0)) {
        SetFileAttributesA(undoFilename, FILE_ATTRIBUTE_NORMAL);  // the copy must stay writable
        if (pEditWorkThreadInfo != nullptr) pEditWorkThreadInfo->progressCounter = 25;
        return 1;
    }
    if (GetLastError() == ERROR_REQUEST_ABORTED) return 1;
    return StreamedCopy(undoFilename, fileToCutFrom, pEditWorkThreadInfo);
}

int SameFormat(const char* fileName, WAVEFORMATEX format) {
    riffio::File file;
    if (!file.Open(fileName, riffio::File::Access::Read)) return 0;
    riffio::Chunk riff, fmt, data;
    if (!riffio::EnterForm(file, &riff, "WAVE") || !riffio::FindChunk(file, riff, "fmt ", &fmt)) return 0;
    if (fmt.size < 14) return 0;
    BYTE bytes[14];
    if (!file.ReadExact(bytes, 14)) return 0;
    auto u16 = [&](int at) { return static_cast<unsigned>(bytes[at] | (bytes[at + 1] << 8)); };
    const unsigned tag = u16(0), channels = u16(2), align = u16(12);
    const DWORD rate = static_cast<DWORD>(u16(4)) | (static_cast<DWORD>(u16(6)) << 16);
    if (tag != WAVE_FORMAT_PCM) return 0;
    if (!riffio::LeaveChunk(file, fmt)) return 0;
    if (!riffio::FindChunk(file, riff, "data", &data) || data.size == 0) return 0;
    return rate == format.nSamplesPerSec && align == format.nBlockAlign && channels == format.nChannels;
}

namespace {
// The size of a file of the temporary set, read without the edit lock.
DWORD TempFileSize(const char* name) {
    char copy[kNameSize];
    ReadTempName(name, copy);
    return GetTheFilesSize(copy);
}
}  // namespace

QUILLON_API(int) AudioEditCanPaste(void) { return TempFileSize(gCLIPFILE) > 0 ? 1 : 0; }

QUILLON_API(unsigned short) AudioFlushCutCopyPasteBuffer(void) {
    CallInFlight call;
    EditLockGuard lock;
    if (!lock.held()) return 0;  // the library is being unloaded and deletes the set itself
    for (const char* name : {gCLIPFILE, gUNDOFILE, gREDOFILE, gEDITFILE, gTEMPCOMPRESS})
        if (name[0] != '\0') DeleteFileA(name);
    InitializeTempFileNames();
    undoCopyOf[0] = '\0';
    redoCopyOf[0] = '\0';
    return 0;
}

QUILLON_API(int) AudioEditCanUndo(void) { return gEnableUndoRedo && TempFileSize(gUNDOFILE) > 0 ? 1 : 0; }

QUILLON_API(int) AudioEditCanRedo(void) { return gEnableUndoRedo && TempFileSize(gREDOFILE) > 0 ? 1 : 0; }

QUILLON_API(unsigned short) AudioEditUndo(void) {
    if (!gEnableUndoRedo) return QUILLON_ERR_UNDO_DISABLED;
    CallInFlight call;
    EditLockGuard lock;
    if (!lock.held()) return QUILLON_ERR_NOTHING_TO_UNDO;
    if (gEditCurrentFile[0] == '\0' || gEditOperatedFile[0] == '\0') return QUILLON_ERR_NOTHING_TO_UNDO;
    // Only a copy taken from this very file goes back over it.
    if (GetTheFilesSize(gUNDOFILE) == 0 || std::strcmp(undoCopyOf, gEditOperatedFile) != 0)
        return QUILLON_ERR_NOTHING_TO_UNDO;
    if (!MakeUndoRedoFile(gREDOFILE, gEditCurrentFile, nullptr) || GetTheFilesSize(gREDOFILE) == 0) {
        DiscardEditFile(gREDOFILE);
        redoCopyOf[0] = '\0';
        return QUILLON_ERR_REDO_COPY;
    }
    CopyName(redoCopyOf, gEditCurrentFile);
    if (!CopyOverSafely(gUNDOFILE, gEditOperatedFile)) return QUILLON_ERR_UNDO_COPY;
    return 0;
}

QUILLON_API(unsigned short) AudioEditRedo(void) {
    if (!gEnableUndoRedo) return QUILLON_ERR_UNDO_DISABLED;
    CallInFlight call;
    EditLockGuard lock;
    if (!lock.held()) return QUILLON_ERR_NOTHING_TO_UNDO;
    if (gEditCurrentFile[0] == '\0' || gEditOperatedFile[0] == '\0') return QUILLON_ERR_NOTHING_TO_UNDO;
    if (GetTheFilesSize(gREDOFILE) == 0 || std::strcmp(redoCopyOf, gEditCurrentFile) != 0)
        return QUILLON_ERR_NOTHING_TO_UNDO;
    if (!CopyOverSafely(gREDOFILE, gEditCurrentFile)) return QUILLON_ERR_REDO_WRITE_BACK;
    return 0;
}

QUILLON_API(unsigned short) AudioEditSetUndoRedo(int enableUndoRedo) {
    gEnableUndoRedo = enableUndoRedo;
    return 0;
}
