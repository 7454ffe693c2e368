// kernel32 for the POSIX build: last error, paths, files, file handles, disk space, modules and
// version. Synchronisation and threads are in kernel32_sync.cpp, heaps in kernel32_heap.cpp.
//
// Windows behaviour kept here, because callers rely on it:
// - a file whose read-only attribute is set (no write permission bit) cannot be opened for
//   writing, deleted or replaced, whoever the caller is (also root);
// - MoveFileA never replaces an existing file (ERROR_ALREADY_EXISTS) but moves a file across
//   filesystems by copying it; MoveFileExA replaces atomically with MOVEFILE_REPLACE_EXISTING;
// - CopyFileA builds the copy under a temporary name next to the target and renames it into
//   place, so that a failed copy (a full disk) leaves no half file behind; over an existing
//   target the copy keeps the target's permissions, owner and group;
// - ReplaceFileA keeps the identity of the file it replaces (permissions, owner, group,
//   extended attributes), follows symbolic links to the file they name, and replaces regular
//   files only;
// - files made by GetTempFileNameA, and files created FILE_ATTRIBUTE_TEMPORARY, are private
//   (0600), as mkstemp makes them.
// Share modes are not enforced: POSIX has no mandatory file locks.

#include "kernel32.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "kernel32_handles.h"

namespace {

thread_local DWORD t_lastError = 0;

// ---------------------------------------------------------------------------------------------
// The handle table.

std::mutex g_tableLock;
std::unordered_map<std::uintptr_t, std::shared_ptr<quillon_posix::KernelObject>>* g_table;
std::uintptr_t g_nextHandle = 1;  // times four; guarded by g_tableLock

// ---------------------------------------------------------------------------------------------
// Small helpers.

bool Fail(DWORD err) {
    t_lastError = err;
    return false;
}

BOOL FailErrno(const char* path = nullptr) {
    t_lastError = Win32ErrorFromErrno(errno, path);
    return FALSE;
}

bool IsEmpty(LPCSTR s) { return s == nullptr || s[0] == '\0'; }

// The folder holding `path` ("a/b/" and "a/b" are both in "a").
std::string ParentOf(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The read-only attribute of a file is the absence of every write permission bit.
bool IsReadOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// 100-ns intervals since 1601-01-01, the FILETIME epoch.
FILETIME FileTimeFrom(const struct timespec& ts) {
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600LL;
    std::uint64_t t = static_cast<std::uint64_t>(ts.tv_sec + kSecondsFrom1601To1970) * 10000000ULL +
                      static_cast<std::uint64_t>(ts.tv_nsec) / 100;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

DWORD AttributesFrom(const struct stat& st) {
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (IsReadOnlyMode(st.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// fsync of a folder, so that a rename in it is on disk.
bool SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool SyncFile(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Gives the file open as `to` the identity of the file `target` (whose status is `st`): owner
// and group where the process may set them (the group alone when only that is allowed), the
// extended attributes the filesystem takes (POSIX ACLs are kept there), and then the permission
// bits, last, because a change of owner clears the set-id bits. False only when the permission
// bits cannot be set: the rest is carried as far as the process and the filesystem allow.
// Owner and group of `st` to the file open as `to`, or the group alone, or neither: as far as
// the process may.
void CarryOwner(const struct stat& st, int to) {
    if (::fchown(to, st.st_uid, st.st_gid) != 0) (void)::fchown(to, static_cast<uid_t>(-1), st.st_gid);
}

bool CarryIdentity(const char* target, const struct stat& st, int to) {
    CarryOwner(st, to);
    ssize_t listSize = ::listxattr(target, nullptr, 0);
    if (listSize > 0) {
        std::string names(static_cast<std::size_t>(listSize), '\0');
        listSize = ::listxattr(target, &names[0], names.size());
        for (std::size_t at = 0; listSize > 0 && at < static_cast<std::size_t>(listSize);) {
            const char* name = names.c_str() + at;
            at += std::strlen(name) + 1;
            ssize_t valueSize = ::getxattr(target, name, nullptr, 0);
            if (valueSize < 0) continue;
            std::string value(static_cast<std::size_t>(valueSize), '\0');
            valueSize = ::getxattr(target, name, &value[0], value.size());
            if (valueSize >= 0) (void)::fsetxattr(to, name, value.data(), static_cast<std::size_t>(valueSize), 0);
        }
    }
    return ::fchmod(to, st.st_mode & 07777) == 0;
}

class FileObject : public quillon_posix::KernelObject {
public:
    FileObject(int fd, bool canRead, bool canWrite)
        : KernelObject(quillon_posix::ObjectKind::File), fd_(fd), canRead_(canRead), canWrite_(canWrite) {}
    ~FileObject() override { ::close(fd_); }
    int fd() const { return fd_; }
    bool canRead() const { return canRead_; }
    bool canWrite() const { return canWrite_; }
    // Long writes start the kernel's writeback every few megabytes, without waiting for it, so
    // that the dirty pages of a large new file never pile up: the flush before it replaces a
    // file is short, and so is a cancel that throws it away.
    void NoteWritten(std::size_t n) {
        static constexpr std::size_t kWriteBehindBytes = 8u << 20;
        unsent_ += n;
        if (unsent_ < kWriteBehindBytes) return;
        unsent_ = 0;
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }

private:
    const int fd_;
    const bool canRead_;
    const bool canWrite_;
    std::size_t unsent_ = 0;  // one writer at a time uses a handle, as on Windows
};

// A read that starts in a hole of a sparse file: the zeros are not read, the position moves past
// them. Returns how many of the `wanted` bytes lie in the hole from the current position (0 when
// data stands there, at the end of the file, or when the filesystem keeps no extent map).
DWORD SkipHole(int fd, DWORD wanted) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0) return 0;
    struct stat st;
    if (::fstat(fd, &st) != 0 || at >= st.st_size) return 0;
    off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0 && errno == ENXIO) data = st.st_size;  // a hole up to the end
    if (data <= at) {
        ::lseek(fd, at, SEEK_SET);
        return 0;
    }
    const std::uint64_t hole = static_cast<std::uint64_t>(data - at);
    const DWORD zeros = static_cast<DWORD>(std::min<std::uint64_t>(hole, wanted));
    ::lseek(fd, at + static_cast<off_t>(zeros), SEEK_SET);
    return zeros;
}

std::shared_ptr<FileObject> FileFrom(HANDLE h) {
    return quillon_posix::LookUp<FileObject>(h, quillon_posix::ObjectKind::File);
}

// ---------------------------------------------------------------------------------------------
// Copying file content: reflink, then copy_file_range, then read and write.

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Asked between pieces of a copy, with the bytes copied so far: false stops the copy
// (ERROR_REQUEST_ABORTED).
using CopyGoOn = std::function<bool(std::uint64_t copied)>;

// The kernel's copy of the data of a file, extent by extent: holes of a sparse source stay holes
// in the copy (as a copy keeps a sparse file sparse on NTFS) and cost nothing. Pieces are small
// enough that a request to stop is heard at once. 1: copied; 0: failed (errno says why);
// -1: the kernel cannot copy between these two files and nothing was written.
int KernelCopy(int from, int to, const CopyGoOn& goOn, std::uint64_t* copied) {
    static constexpr std::size_t kKernelPiece = 8u << 20;
    struct stat st;
    if (::fstat(from, &st) != 0) return 0;
    const off_t size = st.st_size;
    bool anyCopied = false;
    for (off_t at = 0; at < size;) {
        off_t data = ::lseek(from, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole is left
        if (data < 0) data = at;                // no extent map: copy everything
        off_t hole = ::lseek(from, data, SEEK_HOLE);
        if (hole < 0 || hole > size) hole = size;
        loff_t in = data, out = data;
        while (in < hole) {
            if (goOn && !goOn(*copied)) {
                errno = ECANCELED;
                return 0;
            }
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(hole - in), goOn ? kKernelPiece : (1u << 30)));
            const ssize_t n = ::copy_file_range(from, &in, to, &out, want, 0);
            if (n > 0) {
                anyCopied = true;
                *copied += static_cast<std::uint64_t>(n);
                continue;
            }
            if (n == 0) break;  // the source shrank meanwhile
            if (errno == EINTR) continue;
            const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                                     errno == EBADF;
            return unsupported && !anyCopied ? -1 : 0;
        }
        at = hole;
    }
    if (goOn && !goOn(*copied)) {
        errno = ECANCELED;
        return 0;
    }
    // A hole at the end is not an extent: the copy is brought to the source's length.
    return ::ftruncate(to, size) == 0 ? 1 : 0;
}

bool CopyContent(int from, int to, const CopyGoOn& goOn) {
    if (::ioctl(to, FICLONE, from) == 0) return true;

    static constexpr std::size_t kKernelPiece = 8u << 20;
    std::uint64_t copied = 0;
    const int kernel = KernelCopy(from, to, goOn, &copied);
    if (kernel >= 0) return kernel == 1;
    // The kernel cannot do it between these two files: stream it.
    if (::lseek(from, 0, SEEK_SET) != 0 || ::lseek(to, 0, SEEK_SET) != 0) return false;

    static constexpr std::size_t kChunk = 1 << 16;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunk]);
    if (!buffer) {
        errno = ENOMEM;
        return false;
    }
    for (;;) {
        if (goOn && (copied % kKernelPiece) == 0 && !goOn(copied)) {
            errno = ECANCELED;
            return false;
        }
        ssize_t n = ::read(from, buffer.get(), kChunk);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!WriteAll(to, buffer.get(), static_cast<std::size_t>(n))) return false;
        copied += static_cast<std::uint64_t>(n);
    }
}

// Copies `source` to `target` through a temporary file in the target's folder. With
// failIfExists the final step refuses an existing target (ERROR_FILE_EXISTS).
BOOL CopyFileInto(const char* source, const char* target, bool failIfExists, const CopyGoOn& goOn = nullptr) {
    int from = ::open(source, O_RDONLY | O_CLOEXEC);
    if (from < 0) return FailErrno(source);
    struct stat st;
    if (::fstat(from, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(from);
        return Fail(ERROR_ACCESS_DENIED);
    }

    struct stat targetSt;
    const bool targetExists = ::stat(target, &targetSt) == 0;
    if (targetExists) {
        bool sameFile = targetSt.st_dev == st.st_dev && targetSt.st_ino == st.st_ino;
        DWORD err = failIfExists                  ? ERROR_FILE_EXISTS
                    : sameFile                    ? ERROR_SHARING_VIOLATION
                    : S_ISDIR(targetSt.st_mode)   ? ERROR_ACCESS_DENIED
                    : IsReadOnlyMode(targetSt.st_mode) ? ERROR_ACCESS_DENIED
                                                  : ERROR_SUCCESS;
        if (err != ERROR_SUCCESS) {
            ::close(from);
            return Fail(err);
        }
    }

    std::string temp = ParentOf(target) + "/.qlcopy-XXXXXX";
    int to = ::mkostemp(&temp[0], O_CLOEXEC);
    if (to < 0) {
        int e = errno;
        ::close(from);
        errno = e;
        return FailErrno(target);
    }

    bool ok = CopyContent(from, to, goOn);
    int err = errno;
    if (ok) {
        // Windows keeps the attributes and the last write time of the source, and over an
        // existing file that file's security: here its permissions, owner and group.
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(to, times);
        if (targetExists && S_ISREG(targetSt.st_mode)) {
            CarryOwner(targetSt, to);
            ok = ::fchmod(to, targetSt.st_mode & 07777) == 0;
        } else {
            ok = ::fchmod(to, st.st_mode & 07777) == 0;
        }
        err = errno;
    }
    ::close(from);
    if (::close(to) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok) {
        // Renaming over an existing file makes ext4 push the new file's data to the disk at
        // once (its guard for replace-by-rename), which takes long for a large copy and cannot
        // be cancelled. An empty target has nothing to guard: it is removed first.
        struct stat now;
        if (!failIfExists && ::lstat(target, &now) == 0 && S_ISREG(now.st_mode) && now.st_size == 0)
            ::unlink(target);
        int r = failIfExists ? ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target, RENAME_NOREPLACE)
                             : ::rename(temp.c_str(), target);
        if (r != 0 && failIfExists && errno == EINVAL) {
            // A filesystem without RENAME_NOREPLACE: link(2) refuses an existing name as well.
            r = ::link(temp.c_str(), target);
            if (r == 0) ::unlink(temp.c_str());
        }
        if (r == 0) return TRUE;
        err = errno;
    }
    ::unlink(temp.c_str());
    if (err == EEXIST) return Fail(ERROR_FILE_EXISTS);
    if (err == ECANCELED) return Fail(ERROR_REQUEST_ABORTED);
    errno = err;
    return FailErrno(target);
}

// ---------------------------------------------------------------------------------------------
// Modules that LoadLibraryExA knows: the system DLL names the core looks functions up in.

struct KnownFunction {
    const char* name;
    FARPROC address;
};

struct KnownModule {
    const char* name;  // without ".DLL"
    const KnownFunction* functions;
    std::size_t count;
};

template <typename F>
FARPROC AsFarProc(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));  // the caller casts it back
}

const KnownFunction kKernel32Functions[] = {
    {"GetDiskFreeSpaceExA", AsFarProc(&GetDiskFreeSpaceExA)},
    {"GetDiskFreeSpaceA", AsFarProc(&GetDiskFreeSpaceA)},
    {"GetVersionExA", AsFarProc(&GetVersionExA)},
    {"GetTempPathA", AsFarProc(&GetTempPathA)},
};

const KnownModule kKnownModules[] = {
    {"KERNEL32", kKernel32Functions, sizeof(kKernel32Functions) / sizeof(kKernel32Functions[0])},
};

const KnownModule* ModuleFrom(HMODULE h) {
    for (const KnownModule& m : kKnownModules) {
        if (reinterpret_cast<HMODULE>(const_cast<KnownModule*>(&m)) == h) return &m;
    }
    return nullptr;
}

bool EqualsIgnoringCase(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (std::toupper(ca) != std::toupper(cb)) return false;
        if (ca == 0) return true;
    }
    return true;
}

}  // namespace

// =============================================================================================
// Handle table.

namespace {

// When the library is unloaded (dlclose) its data goes with it: an empty table is freed then,
// after everything else of the library has run (lowest destructor priority runs last).
__attribute__((destructor(101))) void FreeEmptyObjectTable() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (g_table && g_table->empty()) {
        delete g_table;
        g_table = nullptr;
    }
}

}  // namespace

namespace quillon_posix {

HANDLE InsertObject(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (!g_table) g_table = new std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>>();
    std::uintptr_t value = g_nextHandle++ << 2;
    (*g_table)[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookUpObject(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (g_table) {
        auto it = g_table->find(reinterpret_cast<std::uintptr_t>(handle));
        if (it != g_table->end()) return it->second;
    }
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
}

bool RemoveObject(HANDLE handle) {
    std::shared_ptr<KernelObject> dying;  // released after the lock, outside the table
    std::lock_guard<std::mutex> lock(g_tableLock);
    if (g_table) {
        auto it = g_table->find(reinterpret_cast<std::uintptr_t>(handle));
        if (it != g_table->end()) {
            dying = std::move(it->second);
            g_table->erase(it);
            return true;
        }
    }
    t_lastError = ERROR_INVALID_HANDLE;
    return false;
}

}  // namespace quillon_posix

// =============================================================================================
// Last error.

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD err) { t_lastError = err; }

DWORD Win32ErrorFromErrno(int err, const char* path) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
        if (path != nullptr) {
            struct stat st;
            std::string parent = ParentOf(path);
            if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
        }
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBUSY: return ERROR_BUSY;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSYS: return ERROR_INVALID_FUNCTION;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EFAULT: return ERROR_NOACCESS;
    default: return ERROR_GEN_FAILURE;
    }
}

// =============================================================================================
// Paths.

DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::string path;
    const char* tmpdir = std::getenv("TMPDIR");
    path = IsEmpty(tmpdir) ? "/tmp" : tmpdir;
    if (path[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return static_cast<DWORD>(FailErrno());
        path = std::string(cwd) + "/" + path;
    }
    if (path.back() != '/') path += '/';
    // Windows refuses a temporary folder whose name does not fit MAX_PATH with room to spare.
    if (path.size() > MAX_PATH - 2) return static_cast<DWORD>(Fail(ERROR_FILENAME_EXCED_RANGE));

    DWORD length = static_cast<DWORD>(path.size());
    if (lpBuffer == nullptr || nBufferLength <= length) {
        if (lpBuffer != nullptr && nBufferLength > 0) std::memset(lpBuffer, 0, nBufferLength);
        return length + 1;  // the size needed, terminator included
    }
    std::memcpy(lpBuffer, path.c_str(), length + 1);
    return length;
}

UINT GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName) {
    if (lpPathName == nullptr || lpTempFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    DWORD attributes = GetFileAttributesA(lpPathName);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(ERROR_DIRECTORY);

    std::string base = lpPathName;
    if (base.empty() || base.back() != '/') base += '/';
    if (lpPrefixString != nullptr) base.append(lpPrefixString, strnlen(lpPrefixString, 3));
    if (base.size() + 4 + 4 >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE);

    // The number is written in hexadecimal without leading zeros, as Windows does.
    auto nameFor = [&base](UINT number) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%X.TMP", number);
        return base + digits;
    };

    uUnique &= 0xFFFF;
    if (uUnique != 0) {
        std::string name = nameFor(uUnique);
        std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
        return uUnique;
    }

    // Numbers are drawn from 0x1000 to 0xFFFF, so that drawn names always carry four digits;
    // the start moves on with every call so that names are not reused soon after a deletion.
    static std::atomic<unsigned> s_next{static_cast<unsigned>(::getpid()) * 7919u};
    constexpr UINT kFirst = 0x1000, kCount = 0x10000 - 0x1000;
    UINT start = kFirst + s_next.fetch_add(1, std::memory_order_relaxed) % kCount;
    for (UINT i = 0; i < kCount; ++i) {
        UINT number = kFirst + (start - kFirst + i) % kCount;
        std::string name = nameFor(number);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
            s_next.fetch_add(i, std::memory_order_relaxed);
            return number;
        }
        if (errno != EEXIST) return static_cast<UINT>(FailErrno(name.c_str()));
    }
    return Fail(ERROR_FILE_EXISTS);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr) return Fail(ERROR_MOD_NOT_FOUND);
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) return static_cast<DWORD>(FailErrno());
    DWORD length = static_cast<DWORD>(n);
    if (nSize == 0 || lpFilename == nullptr) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (length >= nSize) {
        // Truncated, terminated, and the whole buffer size returned.
        std::memcpy(lpFilename, path, nSize - 1);
        lpFilename[nSize - 1] = '\0';
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return nSize;
    }
    std::memcpy(lpFilename, path, length);
    lpFilename[length] = '\0';
    return length;
}

// =============================================================================================
// Files by name.

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    if (IsEmpty(lpFileName)) {
        t_lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (::stat(lpFileName, &st) != 0) {
        const int err = errno;
        // A symbolic link to nothing still takes its name: Windows answers for the link itself.
        struct stat link;
        if (err == ENOENT && ::lstat(lpFileName, &link) == 0 && S_ISLNK(link.st_mode))
            return FILE_ATTRIBUTE_REPARSE_POINT;
        errno = err;
        FailErrno(lpFileName);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesFrom(st);
}

BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    if (IsEmpty(lpFileName)) return Fail(ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (::stat(lpFileName, &st) != 0) return FailErrno(lpFileName);
    mode_t mode = st.st_mode & 07777;
    if (dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else if (IsReadOnlyMode(mode)) {
        mode |= S_IWUSR;
    }
    if (mode != (st.st_mode & 07777) && ::chmod(lpFileName, mode) != 0) return FailErrno(lpFileName);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
    if (IsEmpty(lpFileName)) return Fail(ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (::lstat(lpFileName, &st) != 0) return FailErrno(lpFileName);
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode)))
        return Fail(ERROR_ACCESS_DENIED);
    if (::unlink(lpFileName) != 0) return FailErrno(lpFileName);
    return TRUE;
}

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return MoveFileExA(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (lpExistingFileName[0] == '\0' || lpNewFileName[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
    const bool replace = (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0;

    struct stat from;
    if (::lstat(lpExistingFileName, &from) != 0) return FailErrno(lpExistingFileName);
    struct stat to;
    bool targetExists = ::lstat(lpNewFileName, &to) == 0;
    bool sameFile = targetExists && to.st_dev == from.st_dev && to.st_ino == from.st_ino;
    if (targetExists && !sameFile) {
        if (!replace) return Fail(ERROR_ALREADY_EXISTS);
        if (S_ISDIR(to.st_mode) || (S_ISREG(to.st_mode) && IsReadOnlyMode(to.st_mode)))
            return Fail(ERROR_ACCESS_DENIED);
    }

    int r;
    if (replace || sameFile) {
        r = ::rename(lpExistingFileName, lpNewFileName);
    } else {
        r = ::renameat2(AT_FDCWD, lpExistingFileName, AT_FDCWD, lpNewFileName, RENAME_NOREPLACE);
        if (r != 0 && errno == EINVAL) {
            // No RENAME_NOREPLACE on this filesystem: the target was absent a moment ago.
            r = ::rename(lpExistingFileName, lpNewFileName);
        }
    }
    if (r != 0) {
        if (errno == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
        if (errno != EXDEV) return FailErrno(lpNewFileName);
        // Another filesystem: files move by copy and delete when the caller allows it.
        if (!(dwFlags & MOVEFILE_COPY_ALLOWED) || !S_ISREG(from.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
        if (!CopyFileInto(lpExistingFileName, lpNewFileName, !replace)) {
            if (t_lastError == ERROR_FILE_EXISTS) t_lastError = ERROR_ALREADY_EXISTS;
            return FALSE;
        }
        if (::unlink(lpExistingFileName) != 0) return FailErrno(lpExistingFileName);
    }

    if (dwFlags & MOVEFILE_WRITE_THROUGH) {
        std::string fromFolder = ParentOf(lpExistingFileName);
        std::string toFolder = ParentOf(lpNewFileName);
        if (S_ISREG(from.st_mode) && !SyncFile(lpNewFileName)) return FailErrno(lpNewFileName);
        if (!SyncFolder(toFolder)) return FailErrno(toFolder.c_str());
        if (fromFolder != toFolder && !SyncFolder(fromFolder)) return FailErrno(fromFolder.c_str());
    }
    return TRUE;
}

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (lpExistingFileName[0] == '\0' || lpNewFileName[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
    return CopyFileInto(lpExistingFileName, lpNewFileName, bFailIfExists != FALSE);
}

BOOL CopyFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, LPPROGRESS_ROUTINE lpProgressRoutine,
                 LPVOID lpData, LPBOOL pbCancel, DWORD dwCopyFlags) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (lpExistingFileName[0] == '\0' || lpNewFileName[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);
    struct stat st;
    const std::uint64_t total = ::stat(lpExistingFileName, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    // The cancel flag may be set by another thread while the copy runs.
    CopyGoOn goOn = [&](std::uint64_t copied) {
        if (pbCancel != nullptr && __atomic_load_n(pbCancel, __ATOMIC_ACQUIRE)) return false;
        if (lpProgressRoutine == nullptr) return true;
        LARGE_INTEGER size, done;
        size.QuadPart = static_cast<LONGLONG>(total);
        done.QuadPart = static_cast<LONGLONG>(copied);
        const DWORD answer = lpProgressRoutine(size, done, size, done, 1, CALLBACK_CHUNK_FINISHED, nullptr, nullptr,
                                               lpData);
        return answer != PROGRESS_CANCEL && answer != PROGRESS_STOP;
    };
    return CopyFileInto(lpExistingFileName, lpNewFileName, (dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS) != 0, goOn);
}

BOOL ReplaceFileA(LPCSTR lpReplacedFileName, LPCSTR lpReplacementFileName, LPCSTR lpBackupFileName, DWORD,
                  LPVOID lpExclude, LPVOID lpReserved) {
    if (lpReplacedFileName == nullptr || lpReplacementFileName == nullptr || !IsEmpty(lpBackupFileName) ||
        lpExclude != nullptr || lpReserved != nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (lpReplacedFileName[0] == '\0' || lpReplacementFileName[0] == '\0') return Fail(ERROR_PATH_NOT_FOUND);

    struct stat from;
    if (::stat(lpReplacementFileName, &from) != 0) return FailErrno(lpReplacementFileName);
    if (!S_ISREG(from.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    // The file replaced is the one the name leads to, through every symbolic link; a link to
    // nothing names no file.
    char resolved[PATH_MAX];
    if (::realpath(lpReplacedFileName, resolved) == nullptr) {
        if (errno == ENOENT) return Fail(ERROR_FILE_NOT_FOUND);
        return FailErrno(lpReplacedFileName);
    }
    struct stat target;
    if (::stat(resolved, &target) != 0) return FailErrno(resolved);
    if (!S_ISREG(target.st_mode) || IsReadOnlyMode(target.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (target.st_dev == from.st_dev && target.st_ino == from.st_ino) return Fail(ERROR_SHARING_VIOLATION);
    const std::string folder = ParentOf(resolved);

    int in = ::open(lpReplacementFileName, O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailErrno(lpReplacementFileName);
    if (!CarryIdentity(resolved, target, in) || ::fsync(in) != 0) {
        const int e = errno;
        ::close(in);
        errno = e;
        return FailErrno(lpReplacementFileName);
    }
    if (::rename(lpReplacementFileName, resolved) == 0) {
        ::close(in);
        const std::string fromFolder = ParentOf(lpReplacementFileName);
        if (!SyncFolder(folder)) return FailErrno(folder.c_str());
        if (fromFolder != folder) SyncFolder(fromFolder);
        return TRUE;
    }
    if (errno != EXDEV) {
        const int e = errno;
        ::close(in);
        errno = e;
        return FailErrno(resolved);
    }

    // Another filesystem: the bytes are copied beside the target first, then renamed there.
    std::string temp = folder + "/.qlreplace-XXXXXX";
    int out = ::mkostemp(&temp[0], O_CLOEXEC);
    if (out < 0) {
        const int e = errno;
        ::close(in);
        errno = e;
        return FailErrno(resolved);
    }
    bool ok = CopyContent(in, out, nullptr) && CarryIdentity(resolved, target, out) && ::fsync(out) == 0;
    int err = errno;
    ::close(in);
    if (::close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), resolved) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = err;
        return FailErrno(resolved);
    }
    ::unlink(lpReplacementFileName);
    if (!SyncFolder(folder)) return FailErrno(folder.c_str());
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    if (IsEmpty(lpPathName)) return Fail(ERROR_PATH_NOT_FOUND);
    if (::mkdir(lpPathName, 0777) != 0) {
        if (errno == ENOENT) return Fail(ERROR_PATH_NOT_FOUND);
        return FailErrno(lpPathName);
    }
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
    if (IsEmpty(lpPathName)) return Fail(ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (::lstat(lpPathName, &st) != 0) return FailErrno(lpPathName);
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    if (::rmdir(lpPathName) != 0) return FailErrno(lpPathName);
    return TRUE;
}

// =============================================================================================
// File handles.

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    if (IsEmpty(lpFileName)) {
        t_lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    const bool canRead = (dwDesiredAccess & GENERIC_READ) != 0;
    const bool canWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
        (dwCreationDisposition == TRUNCATE_EXISTING && !canWrite)) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }

    int flags = O_CLOEXEC | (canWrite ? (canRead ? O_RDWR : O_WRONLY) : O_RDONLY);
    // No access asked: the handle only tells about the file (O_PATH never opens a device or
    // waits for a FIFO's other end).
    if (!canRead && !canWrite && dwCreationDisposition == OPEN_EXISTING) flags = O_CLOEXEC | O_PATH;
    // A FIFO without its other end is not waited for: reading finds nothing, writing fails.
    if (!(flags & O_PATH)) flags |= O_NONBLOCK;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) flags |= O_DSYNC;
    mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_TEMPORARY) ? 0600 : 0666;
    if (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) mode &= 0444;

    // The read-only attribute refuses writers, whoever they are.
    struct stat st;
    bool exists = ::stat(lpFileName, &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        t_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    if (exists && dwCreationDisposition == CREATE_NEW) {
        t_lastError = ERROR_FILE_EXISTS;
        return INVALID_HANDLE_VALUE;
    }
    if (exists && IsReadOnlyMode(st.st_mode) &&
        (canWrite || dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)) {
        t_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }

    int fd = -1;
    bool existed = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        fd = ::open(lpFileName, flags | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST) {
            t_lastError = ERROR_FILE_EXISTS;
            return INVALID_HANDLE_VALUE;
        }
        break;
    case OPEN_EXISTING:
        fd = ::open(lpFileName, flags);
        break;
    case TRUNCATE_EXISTING:
        fd = ::open(lpFileName, flags | O_TRUNC);
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: {
        const int extra = dwCreationDisposition == CREATE_ALWAYS ? O_TRUNC : 0;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            fd = ::open(lpFileName, flags | extra);
            if (fd >= 0) {
                existed = true;
                break;
            }
            if (errno != ENOENT) break;
            fd = ::open(lpFileName, flags | O_CREAT | O_EXCL, mode);
            if (fd < 0 && errno != EEXIST) break;
        }
        break;
    }
    }
    if (fd < 0) {
        FailErrno(lpFileName);
        return INVALID_HANDLE_VALUE;
    }
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        t_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    if (flags & O_NONBLOCK) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if ((dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) && !(flags & O_PATH)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::shared_ptr<FileObject> file(new (std::nothrow) FileObject(fd, canRead, canWrite));
    if (!file) {
        ::close(fd);
        t_lastError = ERROR_NOT_ENOUGH_MEMORY;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = quillon_posix::InsertObject(std::move(file));
    // Windows reports whether CREATE_ALWAYS and OPEN_ALWAYS found the file there.
    if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
        t_lastError = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    return h;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPVOID lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return FALSE;
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!file->canRead()) return Fail(ERROR_ACCESS_DENIED);
    char* out = static_cast<char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToRead) {
        const DWORD zeros = SkipHole(file->fd(), nNumberOfBytesToRead - done);
        if (zeros > 0) {
            std::memset(out + done, 0, zeros);
            done += zeros;
            continue;
        }
        ssize_t n = ::read(file->fd(), out + done, nNumberOfBytesToRead - done);
        if (n == 0) break;  // end of file: success with fewer bytes
        if (n < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
            return FailErrno();
        }
        done += static_cast<DWORD>(n);
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPVOID lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return FALSE;
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED);
    const char* in = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = ::write(file->fd(), in + done, nNumberOfBytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
            return FailErrno();
        }
        done += static_cast<DWORD>(n);
    }
    file->NoteWritten(done);
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return INVALID_SET_FILE_POINTER;
    // Without a high part the distance is a signed 32-bit number; with one, the two halves
    // make a signed 64-bit number.
    std::int64_t distance = lpDistanceToMoveHigh == nullptr
                                ? static_cast<std::int64_t>(lDistanceToMove)
                                : static_cast<std::int64_t>((static_cast<std::uint64_t>(
                                                                 static_cast<std::uint32_t>(*lpDistanceToMoveHigh))
                                                             << 32) |
                                                            static_cast<std::uint32_t>(lDistanceToMove));
    std::int64_t origin;
    if (dwMoveMethod == FILE_BEGIN) {
        origin = 0;
    } else if (dwMoveMethod == FILE_CURRENT) {
        origin = ::lseek(file->fd(), 0, SEEK_CUR);
    } else if (dwMoveMethod == FILE_END) {
        struct stat st;
        origin = ::fstat(file->fd(), &st) == 0 ? st.st_size : -1;
    } else {
        t_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    if (origin < 0) {
        FailErrno();
        return INVALID_SET_FILE_POINTER;
    }
    std::int64_t target = origin + distance;
    if (target < 0) {
        t_lastError = ERROR_NEGATIVE_SEEK;
        return INVALID_SET_FILE_POINTER;
    }
    if (::lseek(file->fd(), target, SEEK_SET) < 0) {
        FailErrno();
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(target >> 32);
    DWORD low = static_cast<DWORD>(target);
    // A position whose low part looks like the failure value is told apart by a zero last error.
    if (low == INVALID_SET_FILE_POINTER) t_lastError = ERROR_SUCCESS;
    return low;
}

BOOL SetEndOfFile(HANDLE hFile) {
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return FALSE;
    if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED);
    off_t here = ::lseek(file->fd(), 0, SEEK_CUR);
    if (here < 0 || ::ftruncate(file->fd(), here) != 0) return FailErrno();
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return FALSE;
    if (!file->canWrite()) return Fail(ERROR_ACCESS_DENIED);
    if (::fsync(file->fd()) != 0) return FailErrno();
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return INVALID_FILE_SIZE;
    struct stat st;
    if (::fstat(file->fd(), &st) != 0) {
        FailErrno();
        return INVALID_FILE_SIZE;
    }
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    DWORD low = static_cast<DWORD>(size);
    if (low == INVALID_FILE_SIZE) t_lastError = ERROR_SUCCESS;
    return low;
}

DWORD GetFileType(HANDLE hFile) {
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return FILE_TYPE_UNKNOWN;
    struct stat st;
    if (::fstat(file->fd(), &st) != 0) {
        FailErrno();
        return FILE_TYPE_UNKNOWN;
    }
    t_lastError = ERROR_SUCCESS;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    std::shared_ptr<FileObject> file = FileFrom(hFile);
    if (!file) return FALSE;
    if (lpFileInformation == nullptr) return Fail(ERROR_NOACCESS);
    struct statx sx;
    if (::statx(file->fd(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return FailErrno();
    struct stat st;
    if (::fstat(file->fd(), &st) != 0) return FailErrno();

    BY_HANDLE_FILE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    info.dwFileAttributes = AttributesFrom(st);
    // The birth time where the filesystem keeps one, else the last change of the content.
    struct timespec created = st.st_mtim;
    if (sx.stx_mask & STATX_BTIME) {
        created.tv_sec = sx.stx_btime.tv_sec;
        created.tv_nsec = sx.stx_btime.tv_nsec;
    }
    info.ftCreationTime = FileTimeFrom(created);
    info.ftLastAccessTime = FileTimeFrom(st.st_atim);
    info.ftLastWriteTime = FileTimeFrom(st.st_mtim);
    std::uint64_t device = static_cast<std::uint64_t>(st.st_dev);
    info.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info.nFileSizeLow = static_cast<DWORD>(size);
    info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    std::uint64_t inode = static_cast<std::uint64_t>(st.st_ino);
    info.nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    info.nFileIndexLow = static_cast<DWORD>(inode);
    *lpFileInformation = info;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) { return quillon_posix::RemoveObject(hObject) ? TRUE : FALSE; }

// =============================================================================================
// Disk space.

namespace {

// The folder a free-space question is about. The core hands over the first component of its
// temporary path ("tmp" for "/tmp/"): a relative name is taken from the root when such a
// top-level folder exists, else from the working directory.
bool StatFolder(LPCSTR name, struct statvfs* out) {
    if (IsEmpty(name)) return ::statvfs(".", out) == 0 || FailErrno();
    if (name[0] != '/') {
        std::string fromRoot = std::string("/") + name;
        if (::statvfs(fromRoot.c_str(), out) == 0) return true;
    }
    if (::statvfs(name, out) == 0) return true;
    return FailErrno(name);
}

}  // namespace

BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster, LPDWORD lpBytesPerSector,
                       LPDWORD lpNumberOfFreeClusters, LPDWORD lpTotalNumberOfClusters) {
    struct statvfs vfs;
    if (!StatFolder(lpRootPathName, &vfs)) return FALSE;
    constexpr std::uint64_t kSector = 512;
    std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    std::uint64_t sectorsPerCluster = unit >= kSector ? unit / kSector : 1;
    std::uint64_t clusterBytes = sectorsPerCluster * kSector;
    auto clusters = [&](std::uint64_t blocks) {
        std::uint64_t n = blocks * unit / clusterBytes;
        return static_cast<DWORD>(n > 0xFFFFFFFFu ? 0xFFFFFFFFu : n);
    };
    if (lpSectorsPerCluster) *lpSectorsPerCluster = static_cast<DWORD>(sectorsPerCluster);
    if (lpBytesPerSector) *lpBytesPerSector = static_cast<DWORD>(kSector);
    if (lpNumberOfFreeClusters) *lpNumberOfFreeClusters = clusters(vfs.f_bavail);
    if (lpTotalNumberOfClusters) *lpTotalNumberOfClusters = clusters(vfs.f_blocks);
    return TRUE;
}

BOOL GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                         PULARGE_INTEGER lpTotalNumberOfBytes, PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
    struct statvfs vfs;
    if (!StatFolder(lpDirectoryName, &vfs)) return FALSE;
    std::uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = vfs.f_bavail * unit;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = vfs.f_blocks * unit;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = vfs.f_bfree * unit;
    return TRUE;
}

// =============================================================================================
// Modules and version.

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD) {
    if (lpLibFileName == nullptr || hFile != nullptr) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::size_t length = std::strlen(lpLibFileName);
    if (length > 4 && EqualsIgnoringCase(lpLibFileName + length - 4, ".DLL", 4)) length -= 4;
    for (const KnownModule& m : kKnownModules) {
        if (std::strlen(m.name) == length && EqualsIgnoringCase(lpLibFileName, m.name, length))
            return reinterpret_cast<HMODULE>(const_cast<KnownModule*>(&m));
    }
    t_lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    const KnownModule* module = ModuleFrom(hModule);
    if (module == nullptr) {
        t_lastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    // Names only: a value below 0x10000 would be an ordinal, and the stand-ins have none.
    if (reinterpret_cast<std::uintptr_t>(lpProcName) >= 0x10000) {
        for (std::size_t i = 0; i < module->count; ++i) {
            if (std::strcmp(module->functions[i].name, lpProcName) == 0) return module->functions[i].address;
        }
    }
    t_lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
}

BOOL FreeLibrary(HMODULE hLibModule) {
    // The known modules are part of this library and stay loaded.
    if (ModuleFrom(hLibModule) == nullptr) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    // The 148-byte record, or the 156-byte extended one that begins with it.
    constexpr DWORD kExtendedSize = sizeof(OSVERSIONINFOA) + 8;
    if (lpVersionInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != kExtendedSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    // The Linux build answers as Windows 7 SP1 (6.1.7601), the version the Windows build targets.
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 1;
    lpVersionInformation->dwBuildNumber = 7601;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    std::strcpy(lpVersionInformation->szCSDVersion, "Service Pack 1");
    if (size == kExtendedSize) {
        // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType (workstation), wReserved.
        unsigned char* extra = reinterpret_cast<unsigned char*>(lpVersionInformation) + sizeof(OSVERSIONINFOA);
        const unsigned char tail[8] = {1, 0, 0, 0, 0, 0, 1, 0};
        std::memcpy(extra, tail, sizeof tail);
    }
    return TRUE;
}
