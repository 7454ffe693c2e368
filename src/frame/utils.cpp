// Utility module: temporary names, directory and file tests, free disk space, file identity,
// blank trimming, registry reads and the error log. None of these reports an error code: a
// failed platform call gives 0 (or false), as each routine's callers expect.
#include "frame/utils.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

char gTempPath[kNameSize];
char gCLIPFILE[kNameSize];
char gEDITFILE[kNameSize];
char gUNDOFILE[kNameSize];
char gREDOFILE[kNameSize];
char gTEMPCOMPRESS[kNameSize];
char globalErrorFile[kNameSize] = "Quillon.log";
WAVEFORMATEX playWaveFormatEx;

namespace {
// The file given to the previous CompFiles call; only the host's thread calls CompFiles.
BY_HANDLE_FILE_INFORMATION lastFilePlayedFileInfo;

// Guards the text of gTempPath and of the five temporary names (see ReadTempName).
std::mutex gTempNamesLock;
}  // namespace

void ReadTempName(const char* name, char* copy) {
    std::lock_guard<std::mutex> guard(gTempNamesLock);
    CopyName(copy, name);
}

void WriteTempName(char* name, const char* value) {
    std::lock_guard<std::mutex> guard(gTempNamesLock);
    CopyName(name, value);
}

void CopyName(char* dest, const char* src) {
    std::size_t n = std::strlen(src);
    if (n >= static_cast<std::size_t>(kNameSize)) n = kNameSize - 1;
    std::memmove(dest, src, n);
    dest[n] = '\0';
}

void GetTemporaryFileName(char* fileName) {
    char directory[kNameSize];
    char prefix[kNameSize];
    ReadTempName(gTempPath, directory);
    CopyName(prefix, fileName);
    GetTempFileNameA(directory, prefix, 0, fileName);
}

bool DrawWorkFile(char* name, const char* prefix) {
    CopyName(name, prefix);
    GetTemporaryFileName(name);
    return std::strcmp(name, prefix) != 0 && GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

int IsDirectoryExists(const char* directoryName) {
    const DWORD attributes = GetFileAttributesA(directoryName);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int OSGreaterThenWin95() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return 0;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && LOWORD(info.dwBuildNumber) > 1000) return 1;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) return 1;
    return 0;
}

std::int64_t RemainingSpaceInTempDrive() {
    // The drive is the first component of the temporary path: "C:" on Windows. On Linux the
    // first component of "/tmp/" is "tmp", which only names the right filesystem when the
    // process runs in "/"; the whole temporary directory is asked about there instead.
    char root[kNameSize];
    ReadTempName(gTempPath, root);
#ifdef _WIN32
    char* drive = root + std::strspn(root, "\\/");
    drive[std::strcspn(drive, "\\/")] = '\0';
#else
    const char* drive = root;
#endif
    if (*drive == '\0') return 0;

    std::int64_t freeBytes = 0;  // unknown free space counts as none: an edit then refuses
    if (OSGreaterThenWin95()) {
        typedef BOOL(WINAPI * GetDiskFreeSpaceExFn)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
        HMODULE kernel = LoadLibraryExA("KERNEL32.DLL", nullptr, 0);
        if (kernel != nullptr) {
            auto getFree = reinterpret_cast<GetDiskFreeSpaceExFn>(
                reinterpret_cast<void*>(GetProcAddress(kernel, "GetDiskFreeSpaceExA")));
            ULARGE_INTEGER available, total, totalFree;
            if (getFree != nullptr && getFree(drive, &available, &total, &totalFree))
                freeBytes = static_cast<std::int64_t>(available.QuadPart);
            FreeLibrary(kernel);
        }
        return freeBytes;
    }
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceA(drive, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) return 0;
    return static_cast<std::int64_t>(freeClusters) * sectorsPerCluster * bytesPerSector;
}

DWORD GetTheFilesSize(const char* fileName) {
    // A size that does not fit in 32 bits is reported as 0xFFFFFFFF rather than wrapped.
    HANDLE file = CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    CloseHandle(file);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
    return high ? 0xFFFFFFFFu : low;
}

int CompFiles(const char* fileToBePlayed, const char* /*lastFilePlayed*/) {
    HANDLE file = CreateFileA(fileToBePlayed, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    const BOOL ok = GetFileInformationByHandle(file, &info);
    const int same = ok && std::memcmp(&info, &lastFilePlayedFileInfo, sizeof info) == 0;
    // A failed read remembers nothing, so that the next call cannot match stale data.
    if (ok)
        lastFilePlayedFileInfo = info;
    else
        std::memset(&lastFilePlayedFileInfo, 0, sizeof lastFilePlayedFileInfo);
    CloseHandle(file);
    return same;
}

namespace {
// A handle that only asks about the file: no access, so a device is not opened and a FIFO is
// not waited on; every sharing allowed, so that no other user of the file is disturbed.
HANDLE OpenToAsk(const char* name) {
    return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

bool IsSameFile(const char* a, const char* b) {
    if (a == nullptr || b == nullptr || a[0] == '\0' || b[0] == '\0') return false;
    BY_HANDLE_FILE_INFORMATION info[2];
    const char* names[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        HANDLE h = OpenToAsk(names[i]);
        if (h == INVALID_HANDLE_VALUE) return false;
        std::memset(&info[i], 0, sizeof info[i]);
        const BOOL ok = GetFileInformationByHandle(h, &info[i]);
        CloseHandle(h);
        if (!ok) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool IsOutputName(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    HANDLE h = OpenToAsk(name);
    if (h == INVALID_HANDLE_VALUE) {
        // Nothing there yet, unless a link to nothing holds the name. Other refusals (a folder,
        // a missing folder on the way) are left to the writing, which reports them as before.
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES;
        return true;
    }
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    return type == FILE_TYPE_DISK;
}

void Trim(char* s) {
    const char* start = s;
    while (*start && std::isspace(static_cast<unsigned char>(*start))) ++start;
    std::size_t n = std::strlen(start);
    while (n > 0 && std::isspace(static_cast<unsigned char>(start[n - 1]))) --n;
    // The result never grows, so it fits where the string was whatever its length.
    std::memmove(s, start, n);
    s[n] = '\0';
}

int ReadRegistryKey(HKEY hParentKey, const char* keyToRead, const char* itemToRead, BYTE* value, DWORD cbValue) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(hParentKey, keyToRead, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    DWORD type = 0;
    DWORD size = cbValue;
    const int ok = RegQueryValueExA(key, itemToRead, nullptr, &type, value, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

#ifndef _WIN32
namespace {
// On Linux the host may live in a folder nobody may write (/usr/bin). The log goes to
// $QUILLON_LOG_DIR when set, else $XDG_STATE_HOME/quillon, else ~/.local/state/quillon; the
// folder is created when missing.
std::string LinuxLogDirectory() {
    const char* env = std::getenv("QUILLON_LOG_DIR");
    std::string dir;
    if (env && *env) return std::string(env);
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state) {
        dir = std::string(state) + "/quillon";
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) return std::string();
        std::string local = std::string(home) + "/.local";
        CreateDirectoryA(local.c_str(), nullptr);
        CreateDirectoryA((local + "/state").c_str(), nullptr);
        dir = local + "/state/quillon";
    }
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}
}  // namespace
#endif

void SetLogErrorFileName() {
    char path[kNameSize];
#ifdef _WIN32
    DWORD n = GetModuleFileNameA(nullptr, path, kNameSize);
    if (n == 0 || n >= static_cast<DWORD>(kNameSize)) n = 0;
    path[n] = '\0';
    char* lastSeparator = std::strrchr(path, '\\');
    if (lastSeparator)
        lastSeparator[1] = '\0';
    else
        path[0] = '\0';
#else
    std::string dir = LinuxLogDirectory();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    if (dir.size() + sizeof "Quillon.log" > static_cast<std::size_t>(kNameSize)) dir.clear();
    CopyName(path, dir.c_str());
#endif
    const int length = std::snprintf(globalErrorFile, sizeof globalErrorFile, "%sQuillon.log", path);
    // A folder that leaves no room for the name: the log goes to the current directory.
    if (length < 0 || length >= static_cast<int>(sizeof globalErrorFile)) CopyName(globalErrorFile, "Quillon.log");
}

void LogError(const char* msg) {
    std::FILE* file = std::fopen(globalErrorFile, "a");
    if (file == nullptr) return;
    std::fprintf(file, "%s", msg);
    std::fclose(file);
}
