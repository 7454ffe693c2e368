// Replacing a file without ever losing it, and without changing which file it is.
//
// The new version is flushed to the disk first. An existing destination is replaced with
// ReplaceFileA, which keeps what makes it the same file to its users: its attributes and
// security (on POSIX its permissions, owner, group and extended attributes), and, through a
// symbolic link, the file the link names, replaced in its own folder while the link stays. One
// rename puts the new version in place: a crash before it leaves the old file, after it the new
// one. A destination that does not exist yet is first made as an empty file, so that the result
// takes the permissions its folder gives new files, not the private ones of a work file; a
// crash at that moment leaves that empty file. When the replacement cannot be made from where
// the new version stands (another volume), its bytes are first copied into a temporary file in
// the destination's folder, and that copy replaces the destination. The destination is never
// deleted first, and only regular files are replaced: never a device, a FIFO, a socket or a
// symbolic link to nothing.
#include "frame/replace.h"
#include "frame/replace_detail.h"

#include "frame/utils.h"

#include <cstring>
#include <string>

namespace {

// Writes the file's buffered bytes to the disk. A file that cannot be opened for writing is
// not flushed, but is not refused either: the rename decides.
bool FlushFile(const char* name) {
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const BOOL ok = FlushFileBuffers(h);
    CloseHandle(h);
    return ok != FALSE;
}

// The folder part of a path, with its trailing separator; "." when the name has none.
std::string FolderOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
#ifdef _WIN32
    const char* back = std::strrchr(path, '\\');
    if (back != nullptr && (slash == nullptr || back > slash)) slash = back;
    if (slash == nullptr && path[0] != '\0' && path[1] == ':') return std::string(path, 2);
#endif
    if (slash == nullptr) return ".";
    return std::string(path, static_cast<std::size_t>(slash - path) + 1);
}

bool IsReadOnly(const char* name) {
    const DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Creates the destination empty when nothing holds its name: true when this call made it.
bool MakePlaceholder(const char* destination) {
    if (GetFileAttributesA(destination) != INVALID_FILE_ATTRIBUTES) return false;
    HANDLE h = CreateFileA(destination, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

bool ReplaceWith(const char* destination, const char* replacement) {
    return ReplaceFileA(destination, replacement, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
}

}  // namespace

bool MakeTemporaryBeside(const char* destination, char* tempName) {
    const std::string folder = FolderOf(destination);
    if (GetTempFileNameA(folder.c_str(), "qln", 0, tempName) == 0) return false;
    return true;
}

bool ReplaceFileSafely(const char* newFile, const char* destination) {
    if (newFile == nullptr || destination == nullptr || destination[0] == '\0') return false;
    // A read-only destination is refused on every platform, as Windows refuses to replace it;
    // so are devices, FIFOs, sockets and links to nothing.
    if (IsReadOnly(destination) || !IsOutputName(destination)) return false;
    // The new version arrives as an ordinary file: a work file's temporary mark stays behind.
    SetFileAttributesA(newFile, FILE_ATTRIBUTE_NORMAL);
    FlushFile(newFile);
    const bool placeholder = MakePlaceholder(destination);
    if (GetFileAttributesA(destination) == INVALID_FILE_ATTRIBUTES) return false;
    if (ReplaceWith(destination, newFile)) return true;

    // Another volume (or a replacement refused for another reason): bring the bytes beside the
    // destination first, then replace from there.
    char beside[kNameSize];
    bool ok = MakeTemporaryBeside(destination, beside);
    if (ok) {
        ok = CopyFileA(newFile, beside, FALSE) && FlushFile(beside) && ReplaceWith(destination, beside);
        if (!ok) {
            SetFileAttributesA(beside, FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(beside);
        }
    }
    if (ok)
        DeleteFileA(newFile);
    else if (placeholder)
        DeleteFileA(destination);
    return ok;
}
