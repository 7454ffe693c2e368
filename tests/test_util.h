// Helpers shared by the tests: scratch folders, files as bytes, WAVE files built byte by byte.
// Test files include this header (directly or through the other helpers) for GoogleTest and the
// standard headers they all use.
#pragma once

#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace qt {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the platform's temporary directory, removed with its files at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + QL_PATH_SEPARATOR + name; }

private:
    std::string path_;
};

// Names of the files in a folder (not recursive).
std::vector<std::string> ListDir(const std::string& dir);

bool WriteBytes(const std::string& path, const Bytes& bytes);
Bytes ReadBytes(const std::string& path);
bool FileExists(const std::string& path);

inline void Put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void PutId(Bytes& b, const char* id) { b.insert(b.end(), id, id + 4); }

// A chunk: identifier, size field (the real length unless overridden) and data, padded.
struct Chunk { std::string id; Bytes data; bool overrideSize = false; std::uint32_t size = 0; bool pad = true; };

// The 16 PCM bytes of a "fmt " chunk, optionally followed by cbSize and extra bytes.
Bytes FormatBytes(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                  std::uint16_t blockAlign, bool withCbSize = false, std::uint16_t cbSize = 0);
inline Bytes PcmFormat(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
    return FormatBytes(1, channels, rate, bits, static_cast<std::uint16_t>(channels * bits / 8));
}

// "RIFF" size form chunks...; the RIFF size is the real one unless riffSize is given. A chunk
// without an identifier is bytes put in as they are.
Bytes RiffFile(const std::vector<Chunk>& chunks, const char* form = "WAVE", const char* riffId = "RIFF",
               const std::uint32_t* riffSize = nullptr);

// A plain PCM WAVE file: "fmt " (16 bytes) and "data".
Bytes PcmWave(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, const Bytes& samples);

// Audio whose every byte shows its own position: byte i is (i * 7 + i / 251) & 0xFF.
Bytes CountingSamples(std::size_t n);

inline Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The chunks of a RIFF file from offset 12 on, in order: where each starts, its declared size
// and the bytes of it that are present. Walked here, independently of the library.
struct ChunkSeen { std::string id; std::size_t at; std::uint32_t size; Bytes data; };
std::vector<ChunkSeen> WalkChunks(const Bytes& file);

}  // namespace qt

namespace qt {
// Calls that must fail: each answers failure and leaves the expected last error.
struct Refusal { const char* what; std::function<BOOL()> call; DWORD err; };
inline void ExpectRefusals(const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(c.call()) << c.what;
        EXPECT_EQ(c.err, GetLastError()) << c.what;
    }
}
#define EXPECT_FAILS_WITH(call, err) qt::ExpectRefusals({{#call, [&] { return BOOL(!!(call)); }, DWORD(err)}})

// The folder of the running test program, where the build also puts the library and the host.
std::string ProgramDir();
// The host program (the quillon command) as the start of a command line, quoted.
std::string HostCommand();
// Runs a command line, returns its exit status and what it wrote to standard output.
int RunCommand(const std::string& commandLine, std::string* output);
// True when the Windows build runs under Wine.
bool UnderWine();

// A tmpfs of the given size (as mount takes it: "256k") mounted on the folder `dir`, made here;
// emptied and unmounted at the end. Mounting needs Linux and root: see QT_SKIP_WITHOUT_TMPFS.
class TinyDisk {
public:
    TinyDisk(const std::string& dir, const char* size);
    ~TinyDisk();
    TinyDisk(const TinyDisk&) = delete;
    TinyDisk& operator=(const TinyDisk&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& path() const { return dir_; }
    std::string File(const std::string& name) const { return dir_ + QL_PATH_SEPARATOR + name; }

private:
    std::string dir_;
    bool mounted_ = false;
};
}  // namespace qt

#ifdef _WIN32
#define QT_SKIP_WITHOUT_TMPFS(disk) GTEST_SKIP() << "tmpfs disks are mounted by the native Linux run only"
#else
#define QT_SKIP_WITHOUT_TMPFS(disk) \
    if (!(disk).mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here (needs root)"
#endif
