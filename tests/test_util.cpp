#include "test_util.h"

#ifndef _WIN32
#include <dirent.h>
#include <sys/mount.h>
#include <sys/wait.h>
#endif

namespace qt {

ScratchDir::ScratchDir() {
    char dir[MAX_PATH];
    char name[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "qlt", 0, name);
    DeleteFileA(name);
    CreateDirectoryA(name, nullptr);
    path_ = name;
}

ScratchDir::~ScratchDir() {
    for (const std::string& f : ListDir(path_)) {
        const std::string full = File(f);
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(full.c_str())) RemoveDirectoryA(full.c_str());
    }
    RemoveDirectoryA(path_.c_str());
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
#ifdef _WIN32
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (std::strcmp(fd.cFileName, ".") != 0 && std::strcmp(fd.cFileName, "..") != 0) names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
#else
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
#endif
    return names;
}

bool WriteBytes(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Bytes ReadBytes(const std::string& path) {
    Bytes out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

Bytes FormatBytes(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                  std::uint16_t blockAlign, bool withCbSize, std::uint16_t cbSize) {
    Bytes b;
    Put16(b, tag);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * blockAlign);
    Put16(b, blockAlign);
    Put16(b, bits);
    if (withCbSize) Put16(b, cbSize);
    return b;
}

Bytes RiffFile(const std::vector<Chunk>& chunks, const char* form, const char* riffId, const std::uint32_t* riffSize) {
    Bytes body;
    PutId(body, form);
    for (const Chunk& c : chunks) {
        if (c.id.empty()) {
            body.insert(body.end(), c.data.begin(), c.data.end());
            continue;
        }
        PutId(body, c.id.c_str());
        Put32(body, c.overrideSize ? c.size : static_cast<std::uint32_t>(c.data.size()));
        body.insert(body.end(), c.data.begin(), c.data.end());
        if (c.pad && (c.data.size() & 1)) body.push_back(0);
    }
    Bytes file;
    PutId(file, riffId);
    Put32(file, riffSize ? *riffSize : static_cast<std::uint32_t>(body.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

Bytes PcmWave(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, const Bytes& samples) {
    return RiffFile({{"fmt ", PcmFormat(channels, rate, bits)}, {"data", samples}});
}

std::vector<ChunkSeen> WalkChunks(const Bytes& file) {
    std::vector<ChunkSeen> seen;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const std::uint32_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | std::uint32_t{file[at + 7]} << 24;
        const std::size_t end = std::min<std::size_t>(file.size(), at + 8 + std::size_t{size});
        seen.push_back({std::string(file.begin() + at, file.begin() + at + 4), at, size,
                        Bytes(file.begin() + at + 8, file.begin() + end)});
        at += 8 + std::size_t{size} + (size & 1);
    }
    return seen;
}

Bytes CountingSamples(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
    return b;
}

}  // namespace qt

namespace qt {

std::string ProgramDir() {
    char path[MAX_PATH * 4] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string s(path, n);
    const std::size_t cut = s.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".") : s.substr(0, cut);
}

std::string HostCommand() {
#ifdef _WIN32
    return "\"" + ProgramDir() + "\\quillon.exe\"";
#else
    return "'" + ProgramDir() + "/quillon'";
#endif
}

bool UnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

TinyDisk::TinyDisk(const std::string& dir, const char* size) : dir_(dir) {
#ifndef _WIN32
    CreateDirectoryA(dir.c_str(), nullptr);
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
#endif
}

TinyDisk::~TinyDisk() {
#ifndef _WIN32
    if (!mounted_) return;
    for (const std::string& f : ListDir(dir_)) DeleteFileA(File(f).c_str());
    umount(dir_.c_str());
#endif
}

int RunCommand(const std::string& commandLine, std::string* output) {
#ifdef _WIN32
    // cmd /c drops the first and last quote of a line that starts with one: add a pair.
    std::FILE* p = _popen(("\"" + commandLine + "\"").c_str(), "r");
#else
    std::FILE* p = popen(commandLine.c_str(), "r");
#endif
    if (!p) return -1;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        if (output) output->append(buf, n);
#ifdef _WIN32
    return _pclose(p);
#else
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

}  // namespace qt
