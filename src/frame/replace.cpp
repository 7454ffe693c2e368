// Replacing a file without ever losing it.
//
// The new version is flushed to the disk first. When it stands on the destination's filesystem
// one atomic rename (MoveFileExA with replace-existing and write-through) puts it in place: a
// crash before the rename leaves the old file, after it the new one. When it stands on another
// filesystem the rename cannot work, so its bytes are first copied into a temporary file in the
// destination's folder, that copy is flushed, and the copy is renamed over the destination.
// The destination is never deleted first.
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

constexpr DWORD kReplaceFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

}  // namespace

bool MakeTemporaryBeside(const char* destination, char* tempName) {
    const std::string folder = FolderOf(destination);
    if (GetTempFileNameA(folder.c_str(), "qln", 0, tempName) == 0) return false;
    return true;
}

bool ReplaceFileSafely(const char* newFile, const char* destination) {
    if (newFile == nullptr || destination == nullptr || destination[0] == '\0') return false;
    // A read-only destination is refused on every platform, as Windows refuses to replace it.
    if (IsReadOnly(destination)) return false;
    FlushFile(newFile);
    if (MoveFileExA(newFile, destination, kReplaceFlags)) return true;

    // Another filesystem (or a rename refused for another reason): bring the bytes beside the
    // destination first, then rename there.
    char beside[kNameSize];
    if (!MakeTemporaryBeside(destination, beside)) return false;
    if (!CopyFileA(newFile, beside, FALSE) || !FlushFile(beside) || !MoveFileExA(beside, destination, kReplaceFlags)) {
        SetFileAttributesA(beside, FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(beside);
        return false;
    }
    DeleteFileA(newFile);
    return true;
}
