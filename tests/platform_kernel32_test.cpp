// kernel32 and advapi32 as the core uses them. The same tests run against the POSIX layer and,
// cross-compiled, against Wine's kernel32: a test that passes in both pins the Win32 behaviour.
// File contents are written and read back through the C runtime, independently of the layer.

#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
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
    DWORD n = GetTempPathA(MAX_PATH, dir);
    return std::string(dir, n);
}

Bytes Pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed + i / 509) & 0xFF);
    return b;
}

// A failed call: the result says failure and the last error is the expected one.
#define EXPECT_FAILS_WITH(call, err)                  \
    do {                                              \
        SetLastError(0xDEADBEEF);                     \
        EXPECT_FALSE(call) << #call;                  \
        EXPECT_EQ(DWORD(err), GetLastError()) << #call; \
    } while (0)

// -------------------------------------------------------------------------------------------
// Last error, temporary folder and names.

TEST(PlatformKernel32, LastErrorBelongsToEachThread) {
    std::atomic<int> step{0};
    DWORD seenByOther = 0;
    std::thread other([&] {
        while (step != 1) std::this_thread::yield();
        SetLastError(5678);
        seenByOther = GetLastError();
        step = 2;
    });
    SetLastError(1234);  // after the thread start, which may set it itself
    step = 1;
    while (step != 2) std::this_thread::yield();
    const DWORD mine = GetLastError();
    other.join();
    EXPECT_EQ(5678u, seenByOther);
    EXPECT_EQ(1234u, mine);
}

TEST(PlatformKernel32, TempPathEndsWithSeparatorAndReportsTheSizeNeeded) {
    const std::string path = TempPath();
    ASSERT_GT(path.size(), 1u);
    EXPECT_EQ(QL_PATH_SEPARATOR, path.back());
    EXPECT_NE(0u, GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    const DWORD len = static_cast<DWORD>(path.size());
    struct Case {
        DWORD bufferSize;
        DWORD expected;
        bool filled;
    } cases[] = {
        {len + 1, len, true},       // exactly enough
        {MAX_PATH, len, true},      // plenty
        {len, len + 1, false},      // one short: the size needed, terminator included
        {1, len + 1, false},
        {0, len + 1, false},
    };
    for (const Case& c : cases) {
        std::vector<char> buffer(MAX_PATH + 1, 'x');
        DWORD got = GetTempPathA(c.bufferSize, buffer.data());
        EXPECT_EQ(c.expected, got) << "buffer " << c.bufferSize;
        if (c.filled) {
            EXPECT_EQ(path, std::string(buffer.data())) << "buffer " << c.bufferSize;
        } else {
            EXPECT_NE(path, std::string(buffer.data(), std::min<std::size_t>(path.size(), buffer.size())));
        }
    }
}

TEST(PlatformKernel32, TempPathFollowsTmpdir) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows takes the temporary folder from TMP and TEMP, not TMPDIR";
#else
    const char* saved = std::getenv("TMPDIR");
    std::string restore = saved ? saved : "";
    ScratchDir scratch;
    struct Case {
        bool set;
        std::string tmpdir;
        std::string expected;
    } cases[] = {
        {true, scratch.path(), scratch.path() + "/"},
        {true, scratch.path() + "/", scratch.path() + "/"},
        {true, "", "/tmp/"},
        {false, "", "/tmp/"},
    };
    for (const Case& c : cases) {
        if (c.set) {
            setenv("TMPDIR", c.tmpdir.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
        EXPECT_EQ(c.expected, TempPath()) << (c.set ? c.tmpdir : "(unset)");
    }
    // A folder name too long for MAX_PATH is refused rather than cut.
    setenv("TMPDIR", ("/" + std::string(300, 'd')).c_str(), 1);
    char buffer[MAX_PATH];
    EXPECT_FAILS_WITH(GetTempPathA(MAX_PATH, buffer), ERROR_FILENAME_EXCED_RANGE);
    if (saved) setenv("TMPDIR", restore.c_str(), 1);
    else unsetenv("TMPDIR");
#endif
}

TEST(PlatformKernel32, TempFileNameWithANumberOnlyBuildsTheName) {
    ScratchDir dir;
    struct Case {
        const char* prefix;
        UINT unique;
        const char* name;  // compared without regard to case, as Windows file names are
        UINT result;
    } cases[] = {
        {"abc", 0xBEEF, "abcBEEF.TMP", 0xBEEF},
        {"abcdef", 0x1234, "abc1234.TMP", 0x1234},   // three characters of the prefix at most
        {"ab", 0x2, "ab2.TMP", 0x2},                 // no leading zeros
        {"", 0x10, "10.TMP", 0x10},
        {nullptr, 0xA, "A.TMP", 0xA},
        {"pre", 0x1ABCD, "preABCD.TMP", 0xABCD},     // the low 16 bits only
    };
    for (const std::string& folder : {dir.path(), dir.path() + QL_PATH_SEPARATOR}) {
        for (const Case& c : cases) {
            char out[MAX_PATH] = {};
            UINT got = GetTempFileNameA(folder.c_str(), c.prefix, c.unique, out);
            EXPECT_EQ(c.result, got) << c.name;
            EXPECT_EQ(Upper(dir.File(c.name)), Upper(out)) << folder;
            EXPECT_FALSE(qt::FileExists(out)) << "only the name is made: " << out;
        }
    }
}

TEST(PlatformKernel32, TempFileNameWithoutNumberCreatesDistinctEmptyFiles) {
    ScratchDir dir;
    std::set<std::string> names;
    for (int i = 0; i < 40; ++i) {
        char out[MAX_PATH] = {};
        UINT number = GetTempFileNameA(dir.path().c_str(), "qlzzz", 0, out);
        ASSERT_NE(0u, number);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", number);
        EXPECT_EQ(Upper(dir.File(std::string("qlz") + hex + ".TMP")), Upper(out));
        EXPECT_TRUE(names.insert(out).second) << "drawn twice: " << out;
        EXPECT_TRUE(qt::FileExists(out));
        EXPECT_TRUE(qt::ReadBytes(out).empty());
    }
    EXPECT_EQ(40u, qt::ListDir(dir.path()).size());
}

TEST(PlatformKernel32, TempFileNameRefusesAFolderThatIsNotOne) {
    ScratchDir dir;
    const std::string file = dir.File("plain");
    ASSERT_TRUE(qt::WriteBytes(file, {1, 2, 3}));
    const std::string missing = dir.File("missing");
    for (const std::string& folder : {missing, file}) {
        for (UINT unique : {0u, 5u}) {
            char out[MAX_PATH] = {};
            EXPECT_FAILS_WITH(GetTempFileNameA(folder.c_str(), "abc", unique, out), ERROR_DIRECTORY);
        }
    }
    EXPECT_EQ(1u, qt::ListDir(dir.path()).size());
}

// -------------------------------------------------------------------------------------------
// Files by name.

TEST(PlatformKernel32, FileAttributesTellFoldersReadOnlyFilesAndMissingNames) {
    ScratchDir dir;
    const std::string file = dir.File("f.bin"), sub = dir.File("sub");
    ASSERT_TRUE(qt::WriteBytes(file, {1}));
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));

    DWORD a = GetFileAttributesA(file.c_str());
    EXPECT_EQ(0u, a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(0u, GetFileAttributesA(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(0u, GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(0u, GetFileAttributesA(file.c_str()) & FILE_ATTRIBUTE_READONLY);

    struct Case {
        std::string name;
        DWORD err;
    } missing[] = {
        {dir.File("nothing"), ERROR_FILE_NOT_FOUND},
        {dir.File("nodir") + QL_PATH_SEPARATOR + "x", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : missing) {
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(c.name.c_str())) << c.name;
        EXPECT_EQ(c.err, GetLastError()) << c.name;
        EXPECT_FAILS_WITH(SetFileAttributesA(c.name.c_str(), FILE_ATTRIBUTE_READONLY), c.err);
    }
}

TEST(PlatformKernel32, DeleteFileRefusesWhatWindowsRefuses) {
    ScratchDir dir;
    const std::string plain = dir.File("plain"), locked = dir.File("readonly"), sub = dir.File("sub");
    ASSERT_TRUE(qt::WriteBytes(plain, {1}));
    ASSERT_TRUE(qt::WriteBytes(locked, {2}));
    ASSERT_TRUE(SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));

    struct Case {
        std::string name;
        DWORD err;
    } cases[] = {
        {dir.File("nothing"), ERROR_FILE_NOT_FOUND},
        {dir.File("nodir") + QL_PATH_SEPARATOR + "x", ERROR_PATH_NOT_FOUND},
        {sub, ERROR_ACCESS_DENIED},
        {locked, ERROR_ACCESS_DENIED},
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) EXPECT_FAILS_WITH(DeleteFileA(c.name.c_str()), c.err);
    EXPECT_TRUE(qt::FileExists(locked));
    EXPECT_TRUE(DeleteFileA(plain.c_str()));
    EXPECT_FALSE(qt::FileExists(plain));
}

TEST(PlatformKernel32, MoveFileNeverReplacesButMoveFileExDoes) {
    ScratchDir dir;
    const std::string a = dir.File("a"), b = dir.File("b"), c = dir.File("c");
    const Bytes bytesA = Pattern(3000, 1), bytesB = Pattern(777, 2);
    ASSERT_TRUE(qt::WriteBytes(a, bytesA));
    ASSERT_TRUE(qt::WriteBytes(b, bytesB));

    // Refusals leave both files as they were.
    EXPECT_FAILS_WITH(MoveFileA(a.c_str(), b.c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_FAILS_WITH(MoveFileExA(a.c_str(), b.c_str(), 0), ERROR_ALREADY_EXISTS);
    EXPECT_FAILS_WITH(MoveFileA(dir.File("nothing").c_str(), c.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(MoveFileA(a.c_str(), (dir.File("nodir") + QL_PATH_SEPARATOR + "x").c_str()),
                      ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(bytesA, qt::ReadBytes(a));
    EXPECT_EQ(bytesB, qt::ReadBytes(b));

    EXPECT_TRUE(MoveFileA(a.c_str(), a.c_str()));  // onto itself: nothing to do
    EXPECT_TRUE(MoveFileA(a.c_str(), c.c_str()));
    EXPECT_FALSE(qt::FileExists(a));
    EXPECT_EQ(bytesA, qt::ReadBytes(c));

    EXPECT_TRUE(MoveFileExA(c.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_FALSE(qt::FileExists(c));
    EXPECT_EQ(bytesA, qt::ReadBytes(b));

    // Folders move too.
    const std::string sub = dir.File("sub"), moved = dir.File("moved");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_TRUE(MoveFileA(sub.c_str(), moved.c_str()));
    EXPECT_NE(0u, GetFileAttributesA(moved.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(PlatformKernel32, CopyFileCopiesBytesAndRefusesWhatWindowsRefuses) {
    ScratchDir dir;
    const std::string src = dir.File("src"), dst = dir.File("dst"), empty = dir.File("empty");
    const Bytes content = Pattern(1 << 20 | 12345, 7), old = Pattern(100, 3);
    ASSERT_TRUE(qt::WriteBytes(src, content));
    ASSERT_TRUE(qt::WriteBytes(dst, old));
    ASSERT_TRUE(qt::WriteBytes(empty, {}));

    EXPECT_FAILS_WITH(CopyFileA(src.c_str(), dst.c_str(), TRUE), ERROR_FILE_EXISTS);
    EXPECT_EQ(old, qt::ReadBytes(dst));
    EXPECT_FAILS_WITH(CopyFileA(dir.File("nothing").c_str(), dir.File("x").c_str(), FALSE), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(CopyFileA(src.c_str(), (dir.File("nodir") + QL_PATH_SEPARATOR + "x").c_str(), FALSE),
                      ERROR_PATH_NOT_FOUND);

    EXPECT_TRUE(CopyFileA(src.c_str(), dst.c_str(), FALSE));
    EXPECT_EQ(content, qt::ReadBytes(dst));
    EXPECT_EQ(content, qt::ReadBytes(src));
    EXPECT_TRUE(CopyFileA(empty.c_str(), dir.File("empty2").c_str(), TRUE));
    EXPECT_TRUE(qt::FileExists(dir.File("empty2")));
    EXPECT_TRUE(qt::ReadBytes(dir.File("empty2")).empty());

    // The read-only attribute travels with the copy.
    ASSERT_TRUE(SetFileAttributesA(src.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(CopyFileA(src.c_str(), dir.File("rocopy").c_str(), TRUE));
    EXPECT_NE(0u, GetFileAttributesA(dir.File("rocopy").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(content, qt::ReadBytes(dir.File("rocopy")));

    // Nothing but the named files is left behind.
    std::set<std::string> names;
    for (const std::string& n : qt::ListDir(dir.path())) names.insert(n);
    EXPECT_EQ((std::set<std::string>{"src", "dst", "empty", "empty2", "rocopy"}), names);
}

TEST(PlatformKernel32, FoldersAreMadeAndRemovedWithWindowsErrors) {
    ScratchDir dir;
    const std::string sub = dir.File("sub"), inner = sub + QL_PATH_SEPARATOR + "inner", file = dir.File("f");
    ASSERT_TRUE(qt::WriteBytes(file, {1}));
    EXPECT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryA(inner.c_str(), nullptr));

    EXPECT_FAILS_WITH(CreateDirectoryA(sub.c_str(), nullptr), ERROR_ALREADY_EXISTS);
    EXPECT_FAILS_WITH(CreateDirectoryA((dir.File("a") + QL_PATH_SEPARATOR + "b").c_str(), nullptr),
                      ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(RemoveDirectoryA(sub.c_str()), ERROR_DIR_NOT_EMPTY);
    EXPECT_FAILS_WITH(RemoveDirectoryA(file.c_str()), ERROR_DIRECTORY);
    EXPECT_FAILS_WITH(RemoveDirectoryA(dir.File("nothing").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(RemoveDirectoryA(inner.c_str()));
    EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(sub.c_str()));
}

TEST(PlatformKernel32, ReadOnlyFilesAreNeverOverwritten) {
#ifdef _WIN32
    GTEST_SKIP() << "Wine, run as root here, leaves the read-only attribute to Unix permissions, which root "
                    "passes; Windows refuses these writes whoever asks";
#else
    ScratchDir dir;
    const std::string ro = dir.File("ro"), other = dir.File("other");
    ASSERT_TRUE(qt::WriteBytes(ro, {1, 2}));
    ASSERT_TRUE(qt::WriteBytes(other, {3}));
    ASSERT_TRUE(SetFileAttributesA(ro.c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_FAILS_WITH(MoveFileExA(other.c_str(), ro.c_str(), MOVEFILE_REPLACE_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(CopyFileA(other.c_str(), ro.c_str(), FALSE), ERROR_ACCESS_DENIED);
    struct Case {
        DWORD access;
        DWORD disposition;
        DWORD err;
    } cases[] = {
        {GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, ERROR_ACCESS_DENIED},
        {GENERIC_READ, CREATE_ALWAYS, ERROR_ACCESS_DENIED},
        {GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_ACCESS_DENIED},
        {GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},  // truncating needs write access
    };
    for (const Case& c : cases) {
        SetLastError(0xDEADBEEF);
        HANDLE h = CreateFileA(ro.c_str(), c.access, 0, nullptr, c.disposition, 0, nullptr);
        EXPECT_EQ(INVALID_HANDLE_VALUE, h) << c.disposition;
        EXPECT_EQ(c.err, GetLastError()) << c.disposition;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    EXPECT_EQ((Bytes{1, 2}), qt::ReadBytes(ro));
    EXPECT_EQ((Bytes{3}), qt::ReadBytes(other));
#endif
}

// -------------------------------------------------------------------------------------------
// File handles.

TEST(PlatformKernel32, CreateFileDispositions) {
    ScratchDir dir;
    const Bytes five = {1, 2, 3, 4, 5};
    struct Case {
        DWORD disposition;
        bool exists;
        bool opens;
        DWORD lastError;     // after the call
        long sizeAfter;      // -1: no file
    } cases[] = {
        {CREATE_NEW, false, true, 0xDEADBEEF, 0},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, 5},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS, 0},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 0},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, -1},
        {OPEN_EXISTING, true, true, 0xDEADBEEF, 5},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS, 0},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, 5},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, -1},
        {TRUNCATE_EXISTING, true, true, 0xDEADBEEF, 0},
        {0, true, false, ERROR_INVALID_PARAMETER, 5},
        {6, true, false, ERROR_INVALID_PARAMETER, 5},
    };
    int i = 0;
    for (const Case& c : cases) {
        const std::string name = dir.File("f" + std::to_string(i++));
        if (c.exists) {
            ASSERT_TRUE(qt::WriteBytes(name, five));
        }
        SetLastError(0xDEADBEEF);
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, c.disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD err = GetLastError();
        EXPECT_EQ(c.opens, h != INVALID_HANDLE_VALUE) << "disposition " << c.disposition << " exists " << c.exists;
        if (c.lastError != 0xDEADBEEF || !c.opens) {
            EXPECT_EQ(c.lastError, err) << "disposition " << c.disposition << " exists " << c.exists;
        }
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        if (c.sizeAfter < 0) {
            EXPECT_FALSE(qt::FileExists(name));
        } else {
            EXPECT_EQ(static_cast<std::size_t>(c.sizeAfter), qt::ReadBytes(name).size());
        }
    }
}

TEST(PlatformKernel32, CreateFileRefusals) {
    ScratchDir dir;
    const std::string ro = dir.File("ro"), sub = dir.File("sub");
    ASSERT_TRUE(qt::WriteBytes(ro, {1, 2}));
    ASSERT_TRUE(SetFileAttributesA(ro.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    struct Case {
        std::string name;
        DWORD access;
        DWORD disposition;
        DWORD err;
    } cases[] = {
        {sub, GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {dir.File("nodir") + QL_PATH_SEPARATOR + "x", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {dir.File("nodir") + QL_PATH_SEPARATOR + "x", GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(0xDEADBEEF);
        HANDLE h = CreateFileA(c.name.c_str(), c.access, 0, nullptr, c.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(INVALID_HANDLE_VALUE, h) << c.name;
        EXPECT_EQ(c.err, GetLastError()) << c.name << " disposition " << c.disposition;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    // Reading a read-only file is fine.
    HANDLE h = CreateFileA(ro.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
}

TEST(PlatformKernel32, ReadWriteAndSeekAgainstTheBytesOnDisk) {
    ScratchDir dir;
    const std::string name = dir.File("data");
    const Bytes content = Pattern(10000, 11);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, content.data(), 6000, &n, nullptr));
    EXPECT_EQ(6000u, n);
    ASSERT_TRUE(WriteFile(h, content.data() + 6000, 4000, &n, nullptr));
    EXPECT_TRUE(WriteFile(h, content.data(), 0, &n, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_EQ(content, qt::ReadBytes(name));

    struct Seek {
        LONG distance;
        DWORD method;
        DWORD expected;  // INVALID_SET_FILE_POINTER: refused, position kept
        DWORD err;
    } seeks[] = {
        {100, FILE_BEGIN, 100, 0}, {-30, FILE_CURRENT, 70, 0}, {-1, FILE_END, 9999, 0},
        {5, FILE_END, 10005, 0},   {-20000, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK},
        {-1, FILE_BEGIN, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK},
        {0, 7, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER},
        {1234, FILE_BEGIN, 1234, 0},
    };
    DWORD position = 0;
    for (const Seek& s : seeks) {
        SetLastError(0);
        DWORD got = SetFilePointer(h, s.distance, nullptr, s.method);
        EXPECT_EQ(s.expected, got) << s.distance << " from " << s.method;
        EXPECT_EQ(s.err, GetLastError()) << s.distance << " from " << s.method;
        if (got != INVALID_SET_FILE_POINTER) position = got;
        EXPECT_EQ(position, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
    }

    std::vector<std::uint8_t> buffer(600, 0x55);
    ASSERT_TRUE(ReadFile(h, buffer.data(), 600, &n, nullptr));
    EXPECT_EQ(600u, n);
    EXPECT_EQ(Bytes(content.begin() + 1234, content.begin() + 1834), buffer);
    // Near the end: the bytes that are left, then end of file as success with nothing read.
    SetFilePointer(h, -10, nullptr, FILE_END);
    ASSERT_TRUE(ReadFile(h, buffer.data(), 600, &n, nullptr));
    EXPECT_EQ(10u, n);
    EXPECT_EQ(Bytes(content.end() - 10, content.end()), Bytes(buffer.begin(), buffer.begin() + 10));
    n = 77;
    EXPECT_TRUE(ReadFile(h, buffer.data(), 600, &n, nullptr));
    EXPECT_EQ(0u, n);

    // SetEndOfFile cuts and extends at the position.
    SetFilePointer(h, 4096, nullptr, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(h));
    DWORD high = 7;
    EXPECT_EQ(4096u, GetFileSize(h, &high));
    EXPECT_EQ(0u, high);
    SetFilePointer(h, 5000, nullptr, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_TRUE(CloseHandle(h));
    Bytes expected(content.begin(), content.begin() + 4096);
    expected.resize(5000, 0);
    EXPECT_EQ(expected, qt::ReadBytes(name));
}

TEST(PlatformKernel32, HandlesRefuseTheAccessTheyWereNotOpenedWith) {
    ScratchDir dir;
    const std::string name = dir.File("f");
    ASSERT_TRUE(qt::WriteBytes(name, {1, 2, 3}));
    std::uint8_t b[3];
    DWORD n;
    HANDLE readOnly = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    HANDLE writeOnly = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, readOnly);
    ASSERT_NE(INVALID_HANDLE_VALUE, writeOnly);
    EXPECT_FAILS_WITH(WriteFile(readOnly, b, 3, &n, nullptr), ERROR_ACCESS_DENIED);
#ifndef _WIN32
    // Windows denies it; Wine passes on the EINVAL of ftruncate(2) as ERROR_INVALID_PARAMETER.
    EXPECT_FAILS_WITH(SetEndOfFile(readOnly), ERROR_ACCESS_DENIED);
#endif
    EXPECT_FAILS_WITH(FlushFileBuffers(readOnly), ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(ReadFile(writeOnly, b, 3, &n, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(readOnly));
    EXPECT_TRUE(CloseHandle(writeOnly));
    EXPECT_EQ((Bytes{1, 2, 3}), qt::ReadBytes(name));
}

TEST(PlatformKernel32, SixtyFourBitPositionsUseTheHighPart) {
    ScratchDir dir;
    const std::string name = dir.File("big");
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    LONG high = 1;
    EXPECT_EQ(0x10u, SetFilePointer(h, 0x10, &high, FILE_BEGIN));
    EXPECT_EQ(1, high);
    ASSERT_TRUE(SetEndOfFile(h));  // a sparse file of 4 GiB + 16 bytes
    DWORD sizeHigh = 0;
    EXPECT_EQ(0x10u, GetFileSize(h, &sizeHigh));
    EXPECT_EQ(1u, sizeHigh);

    // A position whose low half equals the failure value: the last error says success.
    high = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -1, &high, FILE_BEGIN));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(0, high);
    // Back by more than the low half: the borrow reaches the high part.
    high = -1;
    EXPECT_EQ(0xFFFFFFF0u, SetFilePointer(h, -0x20, &high, FILE_END));
    EXPECT_EQ(0, high);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(DeleteFileA(name.c_str()));
}

TEST(PlatformKernel32, FileInformationIdentifiesTheFile) {
    ScratchDir dir;
    const std::string a = dir.File("a"), b = dir.File("b");
    ASSERT_TRUE(qt::WriteBytes(a, Pattern(70000, 1)));
    ASSERT_TRUE(qt::WriteBytes(b, Pattern(5, 1)));
    auto info = [](const std::string& name, BY_HANDLE_FILE_INFORMATION* out) {
        std::memset(out, 0x55, sizeof *out);
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        bool ok = GetFileInformationByHandle(h, out) != FALSE;
        CloseHandle(h);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION first, again, other;
    ASSERT_TRUE(info(a, &first));
    ASSERT_TRUE(info(a, &again));
    ASSERT_TRUE(info(b, &other));
    EXPECT_EQ(0u, first.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(0u, first.nFileSizeHigh);
    EXPECT_EQ(70000u, first.nFileSizeLow);
    EXPECT_EQ(5u, other.nFileSizeLow);
    EXPECT_EQ(1u, first.nNumberOfLinks);
    EXPECT_EQ(first.dwVolumeSerialNumber, other.dwVolumeSerialNumber);
    EXPECT_TRUE(first.nFileIndexLow != other.nFileIndexLow || first.nFileIndexHigh != other.nFileIndexHigh);
    EXPECT_EQ(first.nFileIndexLow, again.nFileIndexLow);
    EXPECT_EQ(first.nFileIndexHigh, again.nFileIndexHigh);
    EXPECT_EQ(first.ftLastWriteTime.dwLowDateTime, again.ftLastWriteTime.dwLowDateTime);
    EXPECT_EQ(first.ftLastWriteTime.dwHighDateTime, again.ftLastWriteTime.dwHighDateTime);
    // 2001-01-01 is 0x01C07385'C89DC000 in 100-ns steps since 1601: the epoch is right.
    const ULONGLONG written =
        (static_cast<ULONGLONG>(first.ftLastWriteTime.dwHighDateTime) << 32) | first.ftLastWriteTime.dwLowDateTime;
    EXPECT_GT(written, 0x01C07385C89DC000ULL);
    EXPECT_LT(written, 0x01C07385C89DC000ULL + 100ULL * 365 * 24 * 3600 * 10000000ULL);
}

TEST(PlatformKernel32, BadHandlesFailWithoutHarm) {
    ScratchDir dir;
    // The mutex first: Windows may hand a closed handle's value to the next object made.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, mutex);
    HANDLE closed = CreateFileA(dir.File("c").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, closed);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE madeUp = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFF1231));

    std::uint8_t b[4] = {};
    DWORD n;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD high;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), closed, madeUp, mutex}) {
        EXPECT_FAILS_WITH(ReadFile(h, b, 4, &n, nullptr), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(WriteFile(h, b, 4, &n, nullptr), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(SetEndOfFile(h), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(FlushFileBuffers(h), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(GetFileInformationByHandle(h, &info), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, nullptr, FILE_BEGIN));
        EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
        SetLastError(0);
        EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(h, &high));
        EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    }
    for (HANDLE h : {static_cast<HANDLE>(nullptr), closed, madeUp}) {
        EXPECT_FAILS_WITH(CloseHandle(h), ERROR_INVALID_HANDLE);
        EXPECT_FAILS_WITH(ReleaseMutex(h), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0));
        EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    }
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FAILS_WITH(CloseHandle(mutex), ERROR_INVALID_HANDLE);
}

// -------------------------------------------------------------------------------------------
// Disk space, modules, version, module path.

TEST(PlatformKernel32, DiskFreeSpaceOfTheTemporaryFolder) {
    const std::string temp = TempPath();
    ULARGE_INTEGER avail, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExA(temp.c_str(), &avail, &total, &free));
    EXPECT_GT(total.QuadPart, 0u);
    EXPECT_LE(free.QuadPart, total.QuadPart);
    EXPECT_LE(avail.QuadPart, free.QuadPart);

    DWORD spc = 0, bps = 0, freeClusters = 0, clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA(temp.c_str(), &spc, &bps, &freeClusters, &clusters));
    EXPECT_GT(spc, 0u);
    EXPECT_GT(bps, 0u);
    EXPECT_LE(freeClusters, clusters);
    EXPECT_LE(ULONGLONG(clusters) * spc * bps, total.QuadPart);

    // Looked up by name, the way the core reaches the large-disk call.
    HMODULE kernel = LoadLibraryExA("KERNEL32.DLL", nullptr, 0);
    ASSERT_NE(nullptr, kernel);
    typedef BOOL(WINAPI * FreeSpaceEx)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    FreeSpaceEx viaName = reinterpret_cast<FreeSpaceEx>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "GetDiskFreeSpaceExA")));
    ASSERT_NE(nullptr, viaName);
    ULARGE_INTEGER total2;
    ASSERT_TRUE(viaName(temp.c_str(), nullptr, &total2, nullptr));
    EXPECT_EQ(total.QuadPart, total2.QuadPart);
    EXPECT_TRUE(FreeLibrary(kernel));

    ScratchDir dir;
    const std::string missing = dir.File("nothing") + QL_PATH_SEPARATOR;
    EXPECT_FAILS_WITH(GetDiskFreeSpaceExA(missing.c_str(), &avail, &total, &free), ERROR_FILE_NOT_FOUND);
    const std::string deeper = dir.File("nothing") + QL_PATH_SEPARATOR + "below" + QL_PATH_SEPARATOR;
    EXPECT_FAILS_WITH(GetDiskFreeSpaceExA(deeper.c_str(), &avail, &total, &free), ERROR_PATH_NOT_FOUND);
}

TEST(PlatformKernel32, DiskFreeSpaceOfTheFirstComponentOfThePath) {
#ifdef _WIN32
    GTEST_SKIP() << "on Windows the first component is a drive such as C:, covered by the folder test";
#else
    // The core asks about the first component of its temporary path, without separators.
    const std::string temp = TempPath();
    const std::string first = temp.substr(1, temp.find('/', 1) - 1);
    ULARGE_INTEGER byComponent, byFolder;
    ASSERT_TRUE(GetDiskFreeSpaceExA(first.c_str(), nullptr, &byComponent, nullptr));
    ASSERT_TRUE(GetDiskFreeSpaceExA(("/" + first).c_str(), nullptr, &byFolder, nullptr));
    EXPECT_EQ(byFolder.QuadPart, byComponent.QuadPart);
    EXPECT_TRUE(GetDiskFreeSpaceExA("/", nullptr, &byFolder, nullptr));
#endif
}

TEST(PlatformKernel32, ModulesAndProceduresByName) {
    struct Case {
        const char* module;
        const char* procedure;
        DWORD loadError;  // 0: loads
        DWORD procError;  // 0: found
    } cases[] = {
        {"KERNEL32.DLL", "GetDiskFreeSpaceExA", 0, 0},
        {"kernel32", "GetDiskFreeSpaceExA", 0, 0},
        {"kernel32.dll", "GetDiskFreeSpaceA", 0, 0},
        {"KERNEL32.DLL", "QuillonNoSuchProcedure", 0, ERROR_PROC_NOT_FOUND},
        {"KERNEL32.DLL", "getdiskfreespaceexa", 0, ERROR_PROC_NOT_FOUND},  // names are exact
        {"quillon-no-such-module.dll", nullptr, ERROR_MOD_NOT_FOUND, 0},
    };
    for (const Case& c : cases) {
        SetLastError(0xDEADBEEF);
        HMODULE m = LoadLibraryExA(c.module, nullptr, 0);
        if (c.loadError) {
            EXPECT_EQ(nullptr, m) << c.module;
            EXPECT_EQ(c.loadError, GetLastError()) << c.module;
            continue;
        }
        ASSERT_NE(nullptr, m) << c.module;
        SetLastError(0xDEADBEEF);
        FARPROC p = GetProcAddress(m, c.procedure);
        if (c.procError != 0) {
            EXPECT_EQ(nullptr, p) << c.procedure;
            EXPECT_EQ(c.procError, GetLastError()) << c.procedure;
        } else {
            EXPECT_NE(nullptr, p) << c.procedure;
        }
        EXPECT_TRUE(FreeLibrary(m));
    }
    EXPECT_FAILS_WITH(FreeLibrary(nullptr), ERROR_INVALID_HANDLE);
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
    for (DWORD size : {0u, 74u, 147u, 149u, 296u}) {
        v.dwOSVersionInfoSize = size;
        EXPECT_FAILS_WITH(GetVersionExA(&v), ERROR_INSUFFICIENT_BUFFER);
    }
}

TEST(PlatformKernel32, ModuleFileNameIsTruncatedTheWindowsWay) {
    char full[MAX_PATH * 4];
    const DWORD len = GetModuleFileNameA(nullptr, full, sizeof full);
    ASSERT_GT(len, 4u);
    ASSERT_LT(len, sizeof full);
    EXPECT_EQ(len, std::strlen(full));
    EXPECT_EQ(0u, GetFileAttributesA(full) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(full));

    struct Case {
        DWORD size;
        DWORD result;
        bool cut;
    } cases[] = {{len + 1, len, false}, {len, len, true}, {5, 5, true}, {1, 1, true}};
    for (const Case& c : cases) {
        std::vector<char> buffer(len + 8, 'x');
        SetLastError(0xDEADBEEF);
        DWORD got = GetModuleFileNameA(nullptr, buffer.data(), c.size);
        EXPECT_EQ(c.result, got) << "size " << c.size;
        const DWORD kept = std::min(len, c.size - 1);
        EXPECT_EQ(std::string(full, kept), std::string(buffer.data(), kept)) << "size " << c.size;
#ifndef _WIN32
        // Windows since Vista terminates a cut name and says so; Wine keeps the Windows XP way
        // (the buffer filled to the end, no terminator, no error).
        EXPECT_EQ('\0', buffer[kept]) << "size " << c.size;
        if (c.cut) {
            EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError()) << "size " << c.size;
        }
#endif
        EXPECT_EQ('x', buffer[c.size]) << "nothing written past the buffer, size " << c.size;
    }
}

// -------------------------------------------------------------------------------------------
// Mutexes, threads, interlocked counters.

TEST(PlatformKernel32, MutexOwnershipIsRecursiveAndPerThread) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m, 0));  // owned twice now

    std::atomic<int> step{0};
    DWORD otherWait = 0, otherRelease = 0, otherErr = 0, laterWait = 0;
    std::thread other([&] {
        otherWait = WaitForSingleObject(m, 0);
        SetLastError(0);
        otherRelease = ReleaseMutex(m);
        otherErr = GetLastError();
        step = 1;
        while (step != 2) Sleep(1);
        laterWait = WaitForSingleObject(m, INFINITE);
        ReleaseMutex(m);
    });
    while (step != 1) Sleep(1);
    EXPECT_EQ(WAIT_TIMEOUT, otherWait);
    EXPECT_FALSE(otherRelease);
    EXPECT_EQ(DWORD(ERROR_NOT_OWNER), otherErr);

    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FAILS_WITH(ReleaseMutex(m), ERROR_NOT_OWNER);
    step = 2;
    other.join();
    EXPECT_EQ(WAIT_OBJECT_0, laterWait);
    EXPECT_TRUE(CloseHandle(m));
}

TEST(PlatformKernel32, MutexKeepsACounterConsistentUnderContention) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, m);
    long counter = 0;  // guarded by m alone
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                WaitForSingleObject(m, INFINITE);
                counter = counter + 1;
                ReleaseMutex(m);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(8000, counter);
    EXPECT_TRUE(CloseHandle(m));
}

TEST(PlatformKernel32, NamedMutexOpensTheSameObject) {
    HANDLE first = CreateMutexA(nullptr, TRUE, "QuillonPlatformTestMutex");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());
    HANDLE second = CreateMutexA(nullptr, TRUE, "QuillonPlatformTestMutex");
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    DWORD otherWait = 0;
    std::thread other([&] { otherWait = WaitForSingleObject(second, 0); });
    other.join();
    EXPECT_EQ(WAIT_TIMEOUT, otherWait);  // the first handle's owner holds it
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_FAILS_WITH(ReleaseMutex(second), ERROR_NOT_OWNER);  // bInitialOwner was ignored
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
}

struct ThreadProbe {
    std::atomic<int> go{0};
    std::atomic<unsigned> idInside{0};
    unsigned result = 0;
};

unsigned WINAPI ProbeThread(void* p) {
    ThreadProbe* probe = static_cast<ThreadProbe*>(p);
    probe->idInside = GetCurrentThreadId();
    while (probe->go == 0) Sleep(1);
    return probe->result;
}

TEST(PlatformKernel32, BeginThreadGivesAnIdAndAHandleToWaitOn) {
    ThreadProbe probe;
    probe.result = 42;
    unsigned id = 0;
    HANDLE h = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProbeThread, &probe, 0, &id));
    ASSERT_NE(nullptr, h);
    EXPECT_NE(0u, id);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h, 0));  // it waits for go
    probe.go = 1;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, INFINITE));
    EXPECT_EQ(id, probe.idInside.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));  // stays signalled
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(PlatformKernel32, InterlockedCountsExactlyAcrossThreads) {
    volatile LONG counter = 0;
    volatile LONG flag = 0;
    std::atomic<int> exchangesWon{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) InterlockedIncrement(&counter);
            for (int i = 0; i < 5000; ++i) InterlockedDecrement(&counter);
            if (InterlockedExchange(&flag, 1) == 0) ++exchangesWon;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(60000, counter);
    EXPECT_EQ(1, exchangesWon.load());
    EXPECT_EQ(1, InterlockedExchange(&flag, 5));
    EXPECT_EQ(6, InterlockedIncrement(&flag));
}

// -------------------------------------------------------------------------------------------
// Heaps.

TEST(PlatformKernel32, GlobalAndLocalBlocksFollowTheLockRules) {
    struct Family {
        const char* name;
        HANDLE (*alloc)(UINT, std::size_t);
        LPVOID (*lock)(HANDLE);
        BOOL (*unlock)(HANDLE);
        HANDLE (*free)(HANDLE);
        BOOL fixedUnlock;   // what unlocking a fixed block answers
        DWORD fixedUnlockError;
    } families[] = {
        {"Global", [](UINT f, std::size_t n) { return GlobalAlloc(f, n); }, [](HANDLE h) { return GlobalLock(h); },
         [](HANDLE h) { return GlobalUnlock(h); }, [](HANDLE h) { return GlobalFree(h); }, TRUE, 0xDEADBEEF},
        {"Local", [](UINT f, std::size_t n) { return LocalAlloc(f, n); }, [](HANDLE h) { return LocalLock(h); },
         [](HANDLE h) { return LocalUnlock(h); }, [](HANDLE h) { return LocalFree(h); }, FALSE, ERROR_NOT_LOCKED},
    };
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        // Fixed: the handle is the address; zero-initialised on request.
        HANDLE fixed = f.alloc(GMEM_FIXED | GMEM_ZEROINIT, 4096);
        ASSERT_NE(nullptr, fixed);
        std::uint8_t* p = static_cast<std::uint8_t*>(f.lock(fixed));
        EXPECT_EQ(static_cast<void*>(fixed), static_cast<void*>(p));
        EXPECT_EQ(Bytes(4096, 0), Bytes(p, p + 4096));
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(f.fixedUnlock, f.unlock(fixed));
        EXPECT_EQ(f.fixedUnlockError, GetLastError());
        EXPECT_EQ(nullptr, f.free(fixed));

        // Moveable: a lock count; the last unlock answers FALSE with no error.
        HANDLE moveable = f.alloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 300);
        ASSERT_NE(nullptr, moveable);
        std::uint8_t* q = static_cast<std::uint8_t*>(f.lock(moveable));
        ASSERT_NE(nullptr, q);
        EXPECT_NE(static_cast<void*>(moveable), static_cast<void*>(q));
        EXPECT_EQ(Bytes(300, 0), Bytes(q, q + 300));
        std::memset(q, 0xA5, 300);
        EXPECT_EQ(q, f.lock(moveable));
        EXPECT_TRUE(f.unlock(moveable));
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(f.unlock(moveable));
        EXPECT_EQ(DWORD(NO_ERROR), GetLastError());
        EXPECT_FAILS_WITH(f.unlock(moveable), ERROR_NOT_LOCKED);
        EXPECT_EQ(Bytes(300, 0xA5), Bytes(static_cast<std::uint8_t*>(f.lock(moveable)),
                                          static_cast<std::uint8_t*>(f.lock(moveable)) + 300));
        EXPECT_EQ(nullptr, f.free(moveable));

        // A freed handle is caught, not followed.
        SetLastError(0xDEADBEEF);
        EXPECT_EQ(moveable, f.free(moveable));
        EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_FAILS_WITH(f.lock(moveable), ERROR_INVALID_HANDLE);

        // A moveable block of no bytes is discarded: it cannot be locked.
        HANDLE empty = f.alloc(GMEM_MOVEABLE, 0);
        ASSERT_NE(nullptr, empty);
        EXPECT_FAILS_WITH(f.lock(empty), ERROR_DISCARDED);
        EXPECT_EQ(nullptr, f.free(empty));
        EXPECT_EQ(nullptr, f.free(nullptr));
    }
}

TEST(PlatformKernel32, GlobalSizeMeasuresBlocks) {
    struct Case {
        UINT flags;
        std::size_t bytes;
        std::size_t atLeast;
    } cases[] = {{GMEM_FIXED, 0, 1}, {GMEM_FIXED, 10, 10}, {GMEM_MOVEABLE, 100000, 100000}, {GPTR, 7, 7},
                 {GHND, 1, 1}};
    for (const Case& c : cases) {
        HGLOBAL h = GlobalAlloc(c.flags, c.bytes);
        ASSERT_NE(nullptr, h);
        EXPECT_GE(GlobalSize(h), c.atLeast) << c.flags << " " << c.bytes;
        EXPECT_LT(GlobalSize(h), c.atLeast + 32) << c.flags << " " << c.bytes;
        EXPECT_EQ(nullptr, GlobalFree(h));
    }
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 16);
    GlobalFree(h);
    SetLastError(0);
    EXPECT_EQ(0u, GlobalSize(h));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

// -------------------------------------------------------------------------------------------
// Disk full, on a tiny filesystem of its own (Linux, root).

#ifndef _WIN32
class TinyDisk {
public:
    TinyDisk() {
        if (::mount("quillon-test", dir_.path().c_str(), "tmpfs", 0, "size=256k") == 0) mounted_ = true;
    }
    ~TinyDisk() {
        if (mounted_) ::umount(dir_.path().c_str());
    }
    bool mounted() const { return mounted_; }
    std::string File(const std::string& name) const { return dir_.File(name); }
    const std::string& path() const { return dir_.path(); }

private:
    ScratchDir dir_;
    bool mounted_ = false;
};
#endif

TEST(PlatformKernel32, FullDiskGivesDiskFullAndLeavesNoHalfCopy) {
#ifdef _WIN32
    GTEST_SKIP() << "a tiny filesystem needs a Linux tmpfs mount";
#else
    TinyDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    ScratchDir source;
    const std::string big = source.File("big");
    ASSERT_TRUE(qt::WriteBytes(big, Pattern(600 * 1024, 3)));

    EXPECT_FAILS_WITH(CopyFileA(big.c_str(), disk.File("copy").c_str(), FALSE), ERROR_DISK_FULL);
    EXPECT_TRUE(qt::ListDir(disk.path()).empty());
    // Moving across filesystems copies: a full disk keeps the source where it was.
    EXPECT_FAILS_WITH(MoveFileA(big.c_str(), disk.File("moved").c_str()), ERROR_DISK_FULL);
    EXPECT_TRUE(qt::FileExists(big));
    EXPECT_TRUE(qt::ListDir(disk.path()).empty());

    HANDLE h = CreateFileA(disk.File("w").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    const Bytes chunk = Pattern(64 * 1024, 1);
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
#endif
}

TEST(PlatformKernel32, MoveAcrossFilesystemsCopiesOnlyWhenAllowed) {
#ifdef _WIN32
    GTEST_SKIP() << "a second filesystem needs a Linux tmpfs mount";
#else
    TinyDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    ScratchDir source;
    const std::string a = source.File("a");
    const Bytes content = Pattern(5000, 9);
    ASSERT_TRUE(qt::WriteBytes(a, content));
    ASSERT_TRUE(qt::WriteBytes(disk.File("taken"), {1}));

    EXPECT_FAILS_WITH(MoveFileExA(a.c_str(), disk.File("b").c_str(), 0), ERROR_NOT_SAME_DEVICE);
    EXPECT_FAILS_WITH(MoveFileA(a.c_str(), disk.File("taken").c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileA(a.c_str(), disk.File("b").c_str()));
    EXPECT_FALSE(qt::FileExists(a));
    EXPECT_EQ(content, qt::ReadBytes(disk.File("b")));
    EXPECT_TRUE(MoveFileExA(disk.File("b").c_str(), disk.File("taken").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(content, qt::ReadBytes(disk.File("taken")));
    DeleteFileA(disk.File("taken").c_str());
#endif
}

// -------------------------------------------------------------------------------------------
// advapi32.

TEST(PlatformAdvapi32, AbsentKeysAndBadHandles) {
    HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x55));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\QuillonTest\\NoSuchKey", 0,
                                                  KEY_READ, &key));
    BYTE value[16];
    DWORD size = sizeof value, type = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(nullptr, "Playback", nullptr, &type, value, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(nullptr));
}

TEST(PlatformAdvapi32, EveryKeyIsAbsentOnLinux) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has a registry; the sound mapper key may well exist";
#else
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT}) {
        HKEY key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x55));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND,
                  RegOpenKeyExA(root, "Software\\Microsoft\\Multimedia\\Sound Mapper", 0, KEY_READ, &key));
        EXPECT_EQ(nullptr, key);
    }
#endif
}

// A copy asked to stop (by its cancel flag or its progress routine) fails with
// ERROR_REQUEST_ABORTED and leaves neither a target nor a half file; one left to run is whole.
DWORD CALLBACK StopAtFirstPiece(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                                HANDLE, LPVOID calls) {
    ++*static_cast<int*>(calls);
    return PROGRESS_CANCEL;
}
DWORD CALLBACK CountPieces(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                           LPVOID calls) {
    ++*static_cast<int*>(calls);
    return PROGRESS_CONTINUE;
}

TEST(PlatformKernel32, CopyFileExStopsWhenAskedAndLeavesNoTarget) {
#ifdef _WIN32
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr)
        GTEST_SKIP() << "Wine's CopyFileExA ignores its progress routine and cancel flag (Windows honours them)";
#endif
    qt::ScratchDir dir;
    const std::string source = dir.File("source.bin"), target = dir.File("target.bin");
    const qt::Bytes content = qt::CountingSamples(3 << 20);
    ASSERT_TRUE(qt::WriteBytes(source, content));

    BOOL cancel = TRUE;
    EXPECT_FALSE(CopyFileExA(source.c_str(), target.c_str(), nullptr, nullptr, &cancel, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_FALSE(qt::FileExists(target));

    int calls = 0;
    EXPECT_FALSE(CopyFileExA(source.c_str(), target.c_str(), StopAtFirstPiece, &calls, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_GE(calls, 1);
    EXPECT_FALSE(qt::FileExists(target));
    EXPECT_EQ(qt::ListDir(dir.path()).size(), 1u) << "no half copy left beside the target";

    calls = 0;
    cancel = FALSE;
    ASSERT_TRUE(CopyFileExA(source.c_str(), target.c_str(), CountPieces, &calls, &cancel, 0));
    EXPECT_EQ(qt::ReadBytes(target), content);
    EXPECT_FALSE(CopyFileExA(source.c_str(), target.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

}  // namespace
