// kernel32 and advapi32 as the core uses them. The same tests run against the POSIX layer and,
// cross-compiled, against Wine's kernel32: a test that passes in both pins the Win32 behaviour.
// File contents are written and read back through the C runtime, independently of the layer.

#include <cctype>

#include "test_util.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace {

using qt::Bytes;
using qt::ScratchDir;

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string TempPath() {
    char dir[MAX_PATH];
    return std::string(dir, GetTempPathA(MAX_PATH, dir));
}

std::set<std::string> Names(const std::string& dir) {
    const std::vector<std::string> names = qt::ListDir(dir);
    return std::set<std::string>(names.begin(), names.end());
}

// Opens and closes at once; FALSE with the last error kept when the open fails.
BOOL Opens(const char* name, DWORD access, DWORD disposition) {
    HANDLE h = CreateFileA(name, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h != INVALID_HANDLE_VALUE && CloseHandle(h);
}

using qt::ExpectRefusals;
using qt::Refusal;

// -------------------------------------------------------------------------------------------
// Temporary folder and names.

TEST(PlatformKernel32, TempPathEndsWithSeparator) {
    const std::string path = TempPath();
    ASSERT_GT(path.size(), 1u);
    EXPECT_EQ(QL_PATH_SEPARATOR, path.back());
    EXPECT_NE(0u, GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    char small[4];
    EXPECT_EQ(path.size() + 1, GetTempPathA(sizeof small, small)) << "too small: the size needed";
#ifndef _WIN32
    // On Linux the folder comes from TMPDIR, /tmp/ when empty; a name too long is refused, not cut.
    const char* saved = std::getenv("TMPDIR");
    const std::string restore = saved ? saved : "";
    ScratchDir scratch;
    setenv("TMPDIR", scratch.path().c_str(), 1);
    EXPECT_EQ(scratch.path() + "/", TempPath());
    setenv("TMPDIR", "", 1);
    EXPECT_EQ("/tmp/", TempPath());
    setenv("TMPDIR", ("/" + std::string(300, 'd')).c_str(), 1);
    char buffer[MAX_PATH];
    EXPECT_FAILS_WITH(GetTempPathA(MAX_PATH, buffer), ERROR_FILENAME_EXCED_RANGE);
    (saved ? setenv("TMPDIR", restore.c_str(), 1) : unsetenv("TMPDIR"));
#endif
}

// As the core asks, without a number: distinct empty files named after three characters of
// the prefix and the number returned, in hex.
TEST(PlatformKernel32, TempFileNamesAreDistinctEmptyFiles) {
    ScratchDir dir;
    std::set<std::string> names;
    for (const std::string& folder : {dir.path(), dir.path() + QL_PATH_SEPARATOR}) {
        for (int i = 0; i < 20; ++i) {
            char out[MAX_PATH] = {};
            const UINT number = GetTempFileNameA(folder.c_str(), "qlzzz", 0, out);
            ASSERT_NE(0u, number);
            char hex[16];
            std::snprintf(hex, sizeof hex, "%X", number);
            EXPECT_EQ(Upper(dir.File(std::string("qlz") + hex + ".TMP")), Upper(out));  // names ignore case
            EXPECT_TRUE(names.insert(out).second) << "drawn twice: " << out;
            EXPECT_TRUE(qt::FileExists(out) && qt::ReadBytes(out).empty()) << out;
        }
    }
    EXPECT_EQ(40u, names.size());
    EXPECT_EQ(names.size(), qt::ListDir(dir.path()).size());
}

// -------------------------------------------------------------------------------------------
// Files by name.

TEST(PlatformKernel32, NamedFileCallsRefuseWithWindowsErrors) {
    ScratchDir dir;
    const std::string file = dir.File("f"), other = dir.File("other"), ro = dir.File("ro"), sub = dir.File("sub"),
                      missing = dir.File("nothing"), noDir = dir.File("nodir") + QL_PATH_SEPARATOR + "x",
                      inner = sub + QL_PATH_SEPARATOR + "inner", gone = missing + QL_PATH_SEPARATOR;
    ASSERT_TRUE(qt::WriteBytes(file, {1, 2, 3}) && qt::WriteBytes(other, {4}) && qt::WriteBytes(ro, {5}));
    ASSERT_TRUE(SetFileAttributesA(ro.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr) && CreateDirectoryA(inner.c_str(), nullptr));
    const char *F = file.c_str(), *O = other.c_str(), *M = missing.c_str(), *N = noDir.c_str(), *S = sub.c_str();
    const std::string nameM = dir.File("m");
    char name[MAX_PATH];
    ULARGE_INTEGER a, t, f;
    ExpectRefusals({
        {"attributes of a missing file", [&] { return GetFileAttributesA(M) != INVALID_FILE_ATTRIBUTES; },
         ERROR_FILE_NOT_FOUND},
        {"set attributes, no folder", [&] { return SetFileAttributesA(N, FILE_ATTRIBUTE_NORMAL); },
         ERROR_PATH_NOT_FOUND},
        {"delete missing", [&] { return DeleteFileA(M); }, ERROR_FILE_NOT_FOUND},
        {"delete in a missing folder", [&] { return DeleteFileA(N); }, ERROR_PATH_NOT_FOUND},
        {"delete a folder", [&] { return DeleteFileA(S); }, ERROR_ACCESS_DENIED},
        {"delete read-only", [&] { return DeleteFileA(ro.c_str()); }, ERROR_ACCESS_DENIED},
        {"move onto a file", [&] { return MoveFileA(F, O); }, ERROR_ALREADY_EXISTS},
        {"move missing", [&] { return MoveFileA(M, nameM.c_str()); }, ERROR_FILE_NOT_FOUND},
        {"move into a missing folder", [&] { return MoveFileA(F, N); }, ERROR_PATH_NOT_FOUND},
        {"copy onto a file, failing", [&] { return CopyFileA(F, O, TRUE); }, ERROR_FILE_EXISTS},
        {"copy missing", [&] { return CopyFileA(M, nameM.c_str(), FALSE); }, ERROR_FILE_NOT_FOUND},
        {"make an existing folder", [&] { return CreateDirectoryA(S, nullptr); }, ERROR_ALREADY_EXISTS},
        {"remove a full folder", [&] { return RemoveDirectoryA(S); }, ERROR_DIR_NOT_EMPTY},
        {"remove a file", [&] { return RemoveDirectoryA(F); }, ERROR_DIRECTORY},
        {"open a folder", [&] { return Opens(S, GENERIC_READ, OPEN_EXISTING); }, ERROR_ACCESS_DENIED},
        {"open in a missing folder", [&] { return Opens(N, GENERIC_READ, OPEN_EXISTING); }, ERROR_PATH_NOT_FOUND},
        {"create in a missing folder", [&] { return Opens(N, GENERIC_WRITE, CREATE_ALWAYS); }, ERROR_PATH_NOT_FOUND},
        {"open no name", [&] { return Opens("", GENERIC_READ, OPEN_EXISTING); }, ERROR_PATH_NOT_FOUND},
        {"create new over a file", [&] { return Opens(F, GENERIC_WRITE, CREATE_NEW); }, ERROR_FILE_EXISTS},
        {"truncate missing", [&] { return Opens(M, GENERIC_WRITE, TRUNCATE_EXISTING); }, ERROR_FILE_NOT_FOUND},
        {"no disposition", [&] { return Opens(F, GENERIC_READ, 0); }, ERROR_INVALID_PARAMETER},
        {"temporary name, no folder", [&] { return GetTempFileNameA(M, "abc", 0, name) != 0; }, ERROR_DIRECTORY},
        {"free space of a missing folder", [&] { return GetDiskFreeSpaceExA(gone.c_str(), &a, &t, &f); },
         ERROR_FILE_NOT_FOUND},
    });
    // Refusals leave everything as it was; reading a read-only file is fine.
    EXPECT_EQ((Bytes{1, 2, 3}), qt::ReadBytes(file));
    EXPECT_EQ((Bytes{4}), qt::ReadBytes(other));
    EXPECT_EQ((std::set<std::string>{"f", "other", "ro", "sub"}), Names(dir.path()));
    EXPECT_TRUE(Opens(ro.c_str(), GENERIC_READ, OPEN_EXISTING));
    EXPECT_TRUE(RemoveDirectoryA(inner.c_str()) && RemoveDirectoryA(S));
}

TEST(PlatformKernel32, MovesAndCopiesKeepEveryByte) {
    ScratchDir dir;
    const std::string a = dir.File("a"), b = dir.File("b"), c = dir.File("c"), big = dir.File("big");
    const Bytes bytesA = qt::CountingSamples(3000), content = qt::CountingSamples(1 << 20 | 12345);
    ASSERT_TRUE(qt::WriteBytes(a, bytesA) && qt::WriteBytes(b, {9, 9}) && qt::WriteBytes(big, content));
    ASSERT_TRUE(qt::WriteBytes(dir.File("empty"), {}));

    EXPECT_TRUE(MoveFileA(a.c_str(), a.c_str()));  // onto itself: nothing to do
    EXPECT_TRUE(MoveFileA(a.c_str(), c.c_str()));
    EXPECT_TRUE(MoveFileExA(c.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(bytesA, qt::ReadBytes(b));
    EXPECT_TRUE(CopyFileA(big.c_str(), b.c_str(), FALSE));
    EXPECT_EQ(content, qt::ReadBytes(b));
    // Creating over a file empties it and says it existed, as the core empties its temporary files.
    SetLastError(0xDEADBEEF);
    HANDLE h = CreateFileA(b.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_TRUE(h != INVALID_HANDLE_VALUE && CloseHandle(h));
    EXPECT_TRUE(qt::FileExists(b) && qt::ReadBytes(b).empty());
    EXPECT_TRUE(CopyFileA(dir.File("empty").c_str(), dir.File("empty2").c_str(), TRUE));
    EXPECT_TRUE(qt::FileExists(dir.File("empty2")) && qt::ReadBytes(dir.File("empty2")).empty());
    // The read-only attribute travels with the copy, and comes off again.
    ASSERT_TRUE(SetFileAttributesA(big.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(CopyFileA(big.c_str(), dir.File("rocopy").c_str(), TRUE));
    EXPECT_NE(0u, GetFileAttributesA(dir.File("rocopy").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(content, qt::ReadBytes(dir.File("rocopy")));
    ASSERT_TRUE(SetFileAttributesA(big.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(0u, GetFileAttributesA(big.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(DeleteFileA(dir.File("empty").c_str()));
    EXPECT_EQ((std::set<std::string>{"b", "big", "empty2", "rocopy"}), Names(dir.path()));
}

TEST(PlatformKernel32, ReadOnlyFilesAreNeverOverwritten) {
#ifdef _WIN32
    GTEST_SKIP() << "Wine, run as root here, leaves the read-only attribute to Unix permissions, which root "
                    "passes; Windows refuses these writes whoever asks";
#else
    ScratchDir dir;
    const std::string roName = dir.File("ro"), otherName = dir.File("other");
    ASSERT_TRUE(qt::WriteBytes(roName, {1, 2}) && qt::WriteBytes(otherName, {3}));
    ASSERT_TRUE(SetFileAttributesA(roName.c_str(), FILE_ATTRIBUTE_READONLY));
    const char *R = roName.c_str(), *O = otherName.c_str();
    ExpectRefusals({
        {"replace", [&] { return MoveFileExA(O, R, MOVEFILE_REPLACE_EXISTING); }, ERROR_ACCESS_DENIED},
        {"copy over", [&] { return CopyFileA(O, R, FALSE); }, ERROR_ACCESS_DENIED},
        {"open to write", [&] { return Opens(R, GENERIC_WRITE, OPEN_EXISTING); }, ERROR_ACCESS_DENIED},
        {"create always", [&] { return Opens(R, GENERIC_READ, CREATE_ALWAYS); }, ERROR_ACCESS_DENIED},
        {"truncate to read", [&] { return Opens(R, GENERIC_READ, TRUNCATE_EXISTING); }, ERROR_INVALID_PARAMETER},
    });
    EXPECT_EQ((Bytes{1, 2}), qt::ReadBytes(roName));
    EXPECT_EQ((Bytes{3}), qt::ReadBytes(otherName));
#endif
}

// -------------------------------------------------------------------------------------------
// Replacing a file, and asking about one without opening it for reading or writing.

// ReplaceFileA as the core uses it (no backup): the replacement takes the replaced file's name
// and the replacement's name is gone; a missing replaced file or replacement is refused and
// changes nothing. A handle opened with no access answers for the file (its identity, its type)
// and neither reads nor writes; the null device is a character device.
TEST(PlatformKernel32, ReplaceFileAndQueryOnlyHandles) {
    ScratchDir dir;
    const std::string a = dir.File("a"), b = dir.File("b"), missing = dir.File("missing");
    ASSERT_TRUE(qt::WriteBytes(a, {1, 2, 3}) && qt::WriteBytes(b, {9}));
    EXPECT_TRUE(ReplaceFileA(b.c_str(), a.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr));
    EXPECT_EQ((Bytes{1, 2, 3}), qt::ReadBytes(b));
    EXPECT_FALSE(qt::FileExists(a));
    ASSERT_TRUE(qt::WriteBytes(a, {4}));
    ExpectRefusals({
        {"replace a missing file",
         [&] { return ReplaceFileA(missing.c_str(), a.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr); },
         ERROR_FILE_NOT_FOUND},
        {"replace with a missing file",
         [&] { return ReplaceFileA(b.c_str(), missing.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr); },
         ERROR_FILE_NOT_FOUND},
    });
    EXPECT_EQ((Bytes{1, 2, 3}), qt::ReadBytes(b));
    EXPECT_EQ((Bytes{4}), qt::ReadBytes(a));

    HANDLE ask = CreateFileA(b.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, ask);
    HANDLE read = CreateFileA(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, read);
    BY_HANDLE_FILE_INFORMATION i1, i2;
    ASSERT_TRUE(GetFileInformationByHandle(ask, &i1) && GetFileInformationByHandle(read, &i2));
    EXPECT_EQ(i1.dwVolumeSerialNumber, i2.dwVolumeSerialNumber);
    EXPECT_EQ(i1.nFileIndexHigh, i2.nFileIndexHigh);
    EXPECT_EQ(i1.nFileIndexLow, i2.nFileIndexLow);
    EXPECT_EQ(DWORD(FILE_TYPE_DISK), GetFileType(ask));
    char byte = 0;
    DWORD n = 0;
    EXPECT_FAILS_WITH(ReadFile(ask, &byte, 1, &n, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(WriteFile(ask, &byte, 1, &n, nullptr), ERROR_ACCESS_DENIED);
    CloseHandle(read);
    CloseHandle(ask);
#ifdef _WIN32
    const char* nullDevice = "nul";
#else
    const char* nullDevice = "/dev/null";
#endif
    HANDLE dev = CreateFileA(nullDevice, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, dev);
    EXPECT_EQ(DWORD(FILE_TYPE_CHAR), GetFileType(dev));
    CloseHandle(dev);
}

// What only the Linux layer decides (Windows has no permission bits, links need a privilege):
// the replaced file's permissions, owner and group stay; a link is followed to its file; only
// regular files are replaced; temporary files are private; a FIFO is never waited for.
TEST(PlatformKernel32, ReplaceFileKeepsTheReplacedFilesIdentity) {
#ifdef _WIN32
    GTEST_SKIP() << "permission bits, owners, symbolic links, FIFOs and device nodes are POSIX matters";
#else
    ScratchDir dir;
    const std::string a = dir.File("a"), b = dir.File("b"), link = dir.File("link"), fifo = dir.File("fifo"),
                      dangling = dir.File("dangling");
    ASSERT_TRUE(qt::WriteBytes(a, {1}) && qt::WriteBytes(b, {2}));
    ASSERT_EQ(0, ::chmod(b.c_str(), 0640));
    ASSERT_EQ(0, ::chmod(a.c_str(), 0600));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, ::chown(b.c_str(), 0, 1));
    }
    ASSERT_EQ(0, ::symlink("b", link.c_str()));
    ASSERT_EQ(0, ::symlink("nowhere", dangling.c_str()));
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
    // An extended attribute, where the filesystem takes them (POSIX ACLs are kept the same way).
    const bool xattrs = ::setxattr(b.c_str(), "user.quillon", "take", 4, 0) == 0;
    EXPECT_TRUE(ReplaceFileA(link.c_str(), a.c_str(), nullptr, 0, nullptr, nullptr));
    if (xattrs) {
        char value[8] = {};
        EXPECT_EQ(4, ::getxattr(b.c_str(), "user.quillon", value, sizeof value));
        EXPECT_STREQ("take", value);
    } else {
        std::printf("[  SKIPPED ] extended attributes: this filesystem takes none\n");
    }
    struct stat st, ln;
    ASSERT_EQ(0, ::stat(b.c_str(), &st));
    ASSERT_EQ(0, ::lstat(link.c_str(), &ln));
    EXPECT_TRUE(S_ISLNK(ln.st_mode)) << "the link stays a link";
    EXPECT_EQ((Bytes{1}), qt::ReadBytes(b));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    if (root) {
        EXPECT_EQ(1u, st.st_gid);
    }
    ASSERT_TRUE(qt::WriteBytes(a, {3}));
    ExpectRefusals({
        {"replace a link to nothing",
         [&] { return ReplaceFileA(dangling.c_str(), a.c_str(), nullptr, 0, nullptr, nullptr); }, ERROR_FILE_NOT_FOUND},
        {"replace a FIFO", [&] { return ReplaceFileA(fifo.c_str(), a.c_str(), nullptr, 0, nullptr, nullptr); },
         ERROR_ACCESS_DENIED},
        {"replace a folder", [&] { return ReplaceFileA(dir.path().c_str(), a.c_str(), nullptr, 0, nullptr, nullptr); },
         ERROR_ACCESS_DENIED},
        {"replace with a backup", [&] { return ReplaceFileA(b.c_str(), a.c_str(), dir.File("bak").c_str(), 0, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
    });
    ASSERT_EQ(0, ::lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(0, ::lstat(dangling.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ((Bytes{3}), qt::ReadBytes(a));
    // A FIFO without a writer opens at once and reads as empty; its type is a pipe.
    HANDLE h = CreateFileA(fifo.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(DWORD(FILE_TYPE_PIPE), GetFileType(h));
    EXPECT_EQ(0u, GetFileSize(h, nullptr));
    CloseHandle(h);
    // Temporary files are private; a copy over an existing file keeps that file's permissions.
    char temp[MAX_PATH];
    ASSERT_NE(0u, GetTempFileNameA(dir.path().c_str(), "qlt", 0, temp));
    ASSERT_EQ(0, ::stat(temp, &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_TRUE(CopyFileA(b.c_str(), temp, FALSE));
    ASSERT_EQ(0, ::stat(temp, &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    h = CreateFileA(dir.File("t").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    ASSERT_EQ(0, ::stat(dir.File("t").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    for (const std::string& f : {link, fifo, dangling}) ::unlink(f.c_str());
#endif
}

// -------------------------------------------------------------------------------------------
// File handles.

// What the buffered RIFF layer builds on: whole writes, reads cut at the end of the file and
// then empty successes, refused seeks that keep the position, access as opened. The core also
// reads the high part of the size (to refuse files past 4 GiB) and compares whole information
// records (to tell whether a file is the one it played last).
TEST(PlatformKernel32, ReadWriteAndSeekAgainstTheBytesOnDisk) {
    ScratchDir dir;
    const std::string name = dir.File("data"), big = dir.File("big");
    const Bytes content = qt::CountingSamples(10000);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, content.data(), 10000, &n, nullptr) && n == 10000);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_EQ(content, qt::ReadBytes(name));
    EXPECT_EQ(9990u, SetFilePointer(h, -10, nullptr, FILE_END));
    EXPECT_FAILS_WITH(SetFilePointer(h, -20000, nullptr, FILE_END) != INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK);
    EXPECT_FAILS_WITH(SetFilePointer(h, 0, nullptr, 7) != INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);
    Bytes buffer(600, 0x55);
    ASSERT_TRUE(ReadFile(h, buffer.data(), 600, &n, nullptr));
    EXPECT_EQ(Bytes(content.end() - 10, content.end()), Bytes(buffer.begin(), buffer.begin() + n));
    EXPECT_TRUE(ReadFile(h, buffer.data(), 600, &n, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(CloseHandle(h));
    h = CreateFileA(name.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FAILS_WITH(WriteFile(h, buffer.data(), 3, &n, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(FlushFileBuffers(h), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(h));
    h = CreateFileA(name.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FAILS_WITH(ReadFile(h, buffer.data(), 3, &n, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(content, qt::ReadBytes(name));

    h = CreateFileA(big.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LONG high = 1;
    EXPECT_EQ(0x10u, SetFilePointer(h, 0x10, &high, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));  // a sparse file of 4 GiB + 16 bytes
    DWORD sizeHigh = 0;
    EXPECT_EQ(0x10u, GetFileSize(h, &sizeHigh));
    EXPECT_EQ(1u, sizeHigh);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(DeleteFileA(big.c_str()));

    ASSERT_TRUE(qt::WriteBytes(big, {1}));
    auto info = [&](const std::string& file) {
        BY_HANDLE_FILE_INFORMATION out;
        std::memset(&out, 0x55, sizeof out);
        HANDLE f = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_TRUE(f != INVALID_HANDLE_VALUE && GetFileInformationByHandle(f, &out)) << file;
        CloseHandle(f);
        return out;
    };
    const BY_HANDLE_FILE_INFORMATION first = info(name), again = info(name), other = info(big);
    EXPECT_EQ(0, std::memcmp(&first, &again, sizeof first));
    EXPECT_NE(0, std::memcmp(&first, &other, sizeof first));
    EXPECT_EQ(10000u, first.nFileSizeLow);
    EXPECT_EQ(0u, first.nFileSizeHigh);
    EXPECT_TRUE(first.nFileIndexLow != other.nFileIndexLow || first.nFileIndexHigh != other.nFileIndexHigh);
}

TEST(PlatformKernel32, BadHandlesFailWithoutHarm) {
    ScratchDir dir;
    // The mutex first: Windows may hand a closed handle's value to the next object made.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, mutex);
    HANDLE closed = CreateFileA(dir.File("c").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_TRUE(closed != INVALID_HANDLE_VALUE && CloseHandle(closed));
    std::uint8_t b[4] = {};
    DWORD n, high;
    BY_HANDLE_FILE_INFORMATION info;
    for (HANDLE h : {HANDLE(nullptr), closed, reinterpret_cast<HANDLE>(ULONG_PTR(0x7FFF1231)), mutex}) {
        std::vector<Refusal> rows = {
            {"read", [&] { return ReadFile(h, b, 4, &n, nullptr); }, ERROR_INVALID_HANDLE},
            {"write", [&] { return WriteFile(h, b, 4, &n, nullptr); }, ERROR_INVALID_HANDLE},
            {"flush", [&] { return FlushFileBuffers(h); }, ERROR_INVALID_HANDLE},
            {"information", [&] { return GetFileInformationByHandle(h, &info); }, ERROR_INVALID_HANDLE},
            {"size", [&] { return GetFileSize(h, &high) != INVALID_FILE_SIZE; }, ERROR_INVALID_HANDLE},
        };
        if (h != mutex) {  // a mutex is a handle, but not a file's
            rows.push_back({"close", [&] { return CloseHandle(h); }, ERROR_INVALID_HANDLE});
            rows.push_back({"wait", [&] { return WaitForSingleObject(h, 0) != WAIT_FAILED; }, ERROR_INVALID_HANDLE});
        }
        ExpectRefusals(rows);
    }
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FAILS_WITH(CloseHandle(mutex), ERROR_INVALID_HANDLE);
}

// -------------------------------------------------------------------------------------------
// Disk space and the version, as the core asks for them.

TEST(PlatformKernel32, DiskFreeSpaceThroughAProcedureFoundByName) {
    const std::string temp = TempPath();
    ULARGE_INTEGER avail, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExA(temp.c_str(), &avail, &total, &free));
    EXPECT_TRUE(total.QuadPart > 0 && avail.QuadPart <= free.QuadPart && free.QuadPart <= total.QuadPart);
    DWORD spc = 0, bps = 0, freeClusters = 0, clusters = 0;  // the call for systems before NT
    ASSERT_TRUE(GetDiskFreeSpaceA(temp.c_str(), &spc, &bps, &freeClusters, &clusters));
    EXPECT_TRUE(spc * bps > 0 && freeClusters <= clusters && ULONGLONG(clusters) * spc * bps <= total.QuadPart);

    HMODULE kernel = LoadLibraryExA("KERNEL32.DLL", nullptr, 0);
    ASSERT_NE(nullptr, kernel);
    typedef BOOL(WINAPI * FreeSpaceEx)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    auto viaName =
        reinterpret_cast<FreeSpaceEx>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GetDiskFreeSpaceExA")));
    ULARGE_INTEGER total2;
    ASSERT_NE(nullptr, viaName);
    EXPECT_TRUE(viaName(temp.c_str(), nullptr, &total2, nullptr));
    EXPECT_EQ(total.QuadPart, total2.QuadPart);
    EXPECT_FAILS_WITH(GetProcAddress(kernel, "getdiskfreespaceexa"), ERROR_PROC_NOT_FOUND);  // names are exact
    EXPECT_TRUE(FreeLibrary(kernel));
    EXPECT_FAILS_WITH(LoadLibraryExA("quillon-no-such-module.dll", nullptr, 0), ERROR_MOD_NOT_FOUND);
}

TEST(PlatformKernel32, VersionRecordMustCarryItsSize) {
    OSVERSIONINFOA v;
    std::memset(&v, 0x55, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_EQ(148u, sizeof v);
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(DWORD(VER_PLATFORM_WIN32_NT), v.dwPlatformId);
    EXPECT_GE(v.dwMajorVersion, 5u);
    EXPECT_LT(std::strlen(v.szCSDVersion), sizeof v.szCSDVersion);
    v.dwOSVersionInfoSize = 147;
    EXPECT_FAILS_WITH(GetVersionExA(&v), ERROR_INSUFFICIENT_BUFFER);
}

// -------------------------------------------------------------------------------------------
// Threads.

// Workers started as the core starts its threads; each keeps a last error of its own.
struct Counters {
    HANDLE mutex;
    long guarded = 0;  // guarded by the mutex alone
    volatile LONG counter = 0, flag = 0;
    std::atomic<int> exchangesWon{0}, lastErrorsKept{0};
};

unsigned WINAPI CountingThread(void* p) {
    Counters* c = static_cast<Counters*>(p);
    const DWORD mine = GetCurrentThreadId();
    SetLastError(mine);
    for (int i = 0; i < 2000; ++i) {
        if (WaitForSingleObject(c->mutex, INFINITE) != WAIT_OBJECT_0) return 1;
        c->guarded = c->guarded + 1;
        ReleaseMutex(c->mutex);
        InterlockedIncrement(&c->counter);
        InterlockedIncrement(&c->counter);
        InterlockedDecrement(&c->counter);
    }
    if (InterlockedExchange(&c->flag, 1) == 0) ++c->exchangesWon;
    if (GetLastError() == mine) ++c->lastErrorsKept;
    return 0;
}

TEST(PlatformKernel32, ThreadsMutexAndInterlockedKeepCountsExact) {
    Counters c;
    c.mutex = CreateMutexA(nullptr, TRUE, nullptr);  // held until all have started
    ASSERT_NE(nullptr, c.mutex);
    std::vector<HANDLE> threads;
    std::set<unsigned> ids;
    for (int t = 0; t < 4; ++t) {
        unsigned id = 0;
        threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, CountingThread, &c, 0, &id)));
        ASSERT_NE(nullptr, threads.back());
        EXPECT_TRUE(id != 0 && id != GetCurrentThreadId() && ids.insert(id).second);
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(threads[0], 0));  // waiting for the mutex
    EXPECT_TRUE(ReleaseMutex(c.mutex));
    for (HANDLE h : threads) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));  // stays signalled
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(8000, c.guarded);
    EXPECT_EQ(8000, c.counter);
    EXPECT_EQ(1, c.exchangesWon.load());
    EXPECT_EQ(4, c.lastErrorsKept.load());
    EXPECT_FAILS_WITH(ReleaseMutex(c.mutex), ERROR_NOT_OWNER);
    EXPECT_TRUE(CloseHandle(c.mutex));
}

// -------------------------------------------------------------------------------------------
// Heaps, as the core uses them: a zeroed moveable global block for a format, a moveable local
// block for a "fmt " chunk, which cannot be locked when the chunk is empty.

TEST(PlatformKernel32, MoveableBlocksLockAndFree) {
    HGLOBAL g = GlobalAlloc(GHND, 300);
    HLOCAL l = LocalAlloc(LMEM_MOVEABLE, 18);
    ASSERT_TRUE(g != nullptr && l != nullptr);
    auto* p = static_cast<std::uint8_t*>(GlobalLock(g));
    auto* q = static_cast<std::uint8_t*>(LocalLock(l));
    ASSERT_TRUE(p != nullptr && q != nullptr);
    EXPECT_EQ(Bytes(300, 0), Bytes(p, p + 300));
    std::memset(p, 0xA5, 300);
    std::memset(q, 0x5A, 18);
    EXPECT_FAILS_WITH(GlobalUnlock(g), NO_ERROR);  // the last unlock answers FALSE with no error
    EXPECT_FAILS_WITH(LocalUnlock(l), NO_ERROR);
    EXPECT_EQ(nullptr, GlobalFree(g));
    EXPECT_EQ(nullptr, LocalFree(l));
    HLOCAL empty = LocalAlloc(LMEM_MOVEABLE, 0);
    ASSERT_NE(nullptr, empty);
    EXPECT_FAILS_WITH(LocalLock(empty), ERROR_DISCARDED);
    EXPECT_EQ(nullptr, LocalFree(empty));
}

// -------------------------------------------------------------------------------------------
// A full disk and a second filesystem, on a tiny tmpfs of its own (Linux, root).

TEST(PlatformKernel32, FullDiskAndSecondFilesystem) {
    ScratchDir source;
    qt::TinyDisk disk(source.File("disk"), "256k");
    QT_SKIP_WITHOUT_TMPFS(disk);
    const std::string big = source.File("big"), a = source.File("a"), b = disk.File("b"), taken = disk.File("taken");
    ASSERT_TRUE(qt::WriteBytes(big, qt::CountingSamples(600 * 1024)));
    // A full disk: no half copy is left, and a move across keeps its source.
    EXPECT_FAILS_WITH(CopyFileA(big.c_str(), disk.File("copy").c_str(), FALSE), ERROR_DISK_FULL);
    EXPECT_FAILS_WITH(MoveFileA(big.c_str(), disk.File("moved").c_str()), ERROR_DISK_FULL);
    EXPECT_TRUE(qt::FileExists(big));
    EXPECT_TRUE(qt::ListDir(disk.path()).empty());
    HANDLE h = CreateFileA(disk.File("w").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    const Bytes chunk = qt::CountingSamples(64 * 1024);
    DWORD written = 0, total = 0;
    BOOL ok = TRUE;
    for (int i = 0; i < 16 && ok; ++i) {
        SetLastError(0);
        ok = WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr);
        total += written;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(DWORD(ERROR_DISK_FULL), GetLastError());
    EXPECT_EQ(total, GetFileSize(h, nullptr));  // the count said what reached the file
    CloseHandle(h);
    DeleteFileA(disk.File("w").c_str());

    // Another filesystem: a move copies only when allowed.
    const Bytes content = qt::CountingSamples(5000);
    ASSERT_TRUE(qt::WriteBytes(a, content) && qt::WriteBytes(taken, {1}));
    EXPECT_FAILS_WITH(MoveFileExA(a.c_str(), b.c_str(), 0), ERROR_NOT_SAME_DEVICE);
    EXPECT_FAILS_WITH(MoveFileA(a.c_str(), taken.c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_FALSE(qt::FileExists(a));
    EXPECT_EQ(content, qt::ReadBytes(b));
    const DWORD replace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    EXPECT_TRUE(MoveFileExA(b.c_str(), taken.c_str(), replace));
    EXPECT_EQ(content, qt::ReadBytes(taken));
}

// A copy asked to stop (by its cancel flag or its progress routine) fails with
// ERROR_REQUEST_ABORTED and leaves neither a target nor a half file; one left to run is whole.
template <DWORD Answer>
DWORD CALLBACK Progress(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                        LPVOID calls) {
    ++*static_cast<int*>(calls);
    return Answer;
}

TEST(PlatformKernel32, CopyFileExStopsWhenAskedAndLeavesNoTarget) {
    if (qt::UnderWine()) GTEST_SKIP() << "Wine's CopyFileExA ignores its progress routine and cancel flag (Windows honours them)";
    ScratchDir dir;
    const std::string source = dir.File("source.bin"), target = dir.File("target.bin");
    const Bytes content = qt::CountingSamples(3 << 20);
    ASSERT_TRUE(qt::WriteBytes(source, content));
    const char *S = source.c_str(), *T = target.c_str();
    BOOL cancel = TRUE;
    int calls = 0;
    ExpectRefusals({
        {"cancel flag set", [&] { return CopyFileExA(S, T, nullptr, nullptr, &cancel, 0); }, ERROR_REQUEST_ABORTED},
        {"progress says stop", [&] { return CopyFileExA(S, T, Progress<PROGRESS_CANCEL>, &calls, nullptr, 0); },
         ERROR_REQUEST_ABORTED},
    });
    EXPECT_GE(calls, 1);
    EXPECT_EQ((std::set<std::string>{"source.bin"}), Names(dir.path())) << "no target, no half copy beside it";
    cancel = FALSE;
    ASSERT_TRUE(CopyFileExA(S, T, Progress<PROGRESS_CONTINUE>, &calls, &cancel, 0));
    EXPECT_EQ(content, qt::ReadBytes(target));
    EXPECT_FAILS_WITH(CopyFileExA(S, T, nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS), ERROR_FILE_EXISTS);
}

// -------------------------------------------------------------------------------------------
// advapi32: the core reads one key and takes any failure as "no value".

TEST(PlatformAdvapi32, AbsentKeysAndBadHandles) {
    HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x55));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\QuillonTest\\NoSuchKey", 0, KEY_READ, &key));
    BYTE value[16];
    DWORD size = sizeof value, type = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(nullptr, "Playback", nullptr, &type, value, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
#ifndef _WIN32
    // Linux has no registry: every key is absent, and the handle comes back null.
    key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x55));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft", 0, KEY_READ, &key));
    EXPECT_EQ(nullptr, key);
#endif
}

}  // namespace
