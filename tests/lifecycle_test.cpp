// Load and unload of the real library, the temporary directory and the host's first command.
#include "frame/state.h"
#include "quillon.h"
#include "test_util.h"

#include <cctype>

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

// Names in `dir` made by GetTempFileNameA with one of the five prefixes: the prefix, one to four
// hex digits (Wine does not pad them), ".TMP" in either case.
std::vector<std::string> TempSet(const std::string& dir) {
    const std::set<std::string> prefixes = {"VMX", "VME", "VMU", "VMR", "VMC"};
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::vector<std::string> found;
    for (const std::string& n : qt::ListDir(dir)) {
        if (n.size() < 8 || n.size() > 11 || !prefixes.count(n.substr(0, 3)) || !std::all_of(n.begin() + 3, n.end() - 4, hex))
            continue;
        std::string ext = n.substr(n.size() - 4);
        for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (ext == ".TMP") found.push_back(n);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Points the platform's temporary-directory variables at `dir`; returns what they held.
std::string SwapTempEnvironment(const std::string& dir) {
#ifdef _WIN32
    const char* old = std::getenv("TMP");
    const std::string saved = old ? old : "";
    SetEnvironmentVariableA("TMP", dir.c_str());
    SetEnvironmentVariableA("TEMP", dir.c_str());
#else
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", dir.c_str(), 1);
#endif
    return saved;
}

TEST(Lifecycle, LoadDrawsFiveTempFilesAndUnloadRemovesThem) {
    qt::ScratchDir dir;
    const std::string saved = SwapTempEnvironment(dir.path());
#ifdef _WIN32
    HMODULE lib = LoadLibraryA((qt::ProgramDir() + "\\Quillon.dll").c_str());
    ASSERT_NE(lib, nullptr) << "Quillon.dll next to the tests";
    auto setTempPath = reinterpret_cast<int(QUILLON_CALL*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(lib, "SetTempPath")));
#else
    void* lib = dlopen((qt::ProgramDir() + "/libquillon.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto setTempPath = reinterpret_cast<int (*)(const char*)>(dlsym(lib, "SetTempPath"));
#endif
    SwapTempEnvironment(saved);
    ASSERT_NE(setTempPath, nullptr);

    std::set<std::string> prefixes;
    for (const std::string& f : TempSet(dir.path())) prefixes.insert(f.substr(0, 3));
    EXPECT_EQ(prefixes, (std::set<std::string>{"VMC", "VME", "VMR", "VMU", "VMX"})) << "one file of each kind";
    ASSERT_EQ(TempSet(dir.path()).size(), 5u);

    // Moving the set to another folder takes every file along.
    qt::ScratchDir other;
    EXPECT_EQ(setTempPath(other.path().c_str()), 0);
    EXPECT_TRUE(TempSet(dir.path()).empty());
    EXPECT_EQ(TempSet(other.path()).size(), 5u);

#ifdef _WIN32
    FreeLibrary(lib);
#else
    dlclose(lib);
#endif
    EXPECT_TRUE(TempSet(other.path()).empty()) << "unload leaves no temporary file";
}

TEST(TempPath, RefusesAMissingDirectoryOrAFile) {
    qt::ScratchDir dir;
    const std::string before = gTempPath;
    const std::string clip = gCLIPFILE;
    const std::string file = dir.File("plain.txt");
    ASSERT_TRUE(qt::WriteBytes(file, {1, 2, 3}));
    for (const std::string& bad : {dir.File("missing"), file, std::string()}) {
        EXPECT_EQ(SetTempPath(bad.c_str()), 322) << bad;
        EXPECT_EQ(before, gTempPath);
        EXPECT_EQ(clip, gCLIPFILE);
        EXPECT_TRUE(qt::FileExists(clip));
    }
    EXPECT_EQ(SetTempPath(nullptr), 322);
}

TEST(TempPath, MovesTheSetWithOrWithoutATrailingSeparator) {
    const std::string original = gTempPath;
    for (bool trailing : {false, true}) {
        qt::ScratchDir dir;
        const std::string oldClip = gCLIPFILE;
        std::string path = dir.path();
        if (trailing) path += QL_PATH_SEPARATOR;
        ASSERT_EQ(SetTempPath(path.c_str()), 0);
        EXPECT_FALSE(qt::FileExists(oldClip)) << "the old files are removed";
        EXPECT_EQ(TempSet(dir.path()).size(), 5u);
        for (const char* name : {gCLIPFILE, gEDITFILE, gUNDOFILE, gREDOFILE, gTEMPCOMPRESS}) {
            EXPECT_EQ(std::string(name).compare(0, dir.path().size(), dir.path()), 0) << name;
            EXPECT_EQ(qt::ReadBytes(name).size(), 0u) << "new temporary files are empty";
        }
        ASSERT_EQ(SetTempPath(original.c_str()), 0);
    }
}

TEST(Host, InfoReportsFormatAndLengthsOrTheErrorInWords) {
    qt::ScratchDir dir;
    const std::string good = dir.File("tone.wav");
    ASSERT_TRUE(qt::WriteBytes(good, qt::PcmWave(2, 44100, 16, qt::CountingSamples(176400))));
    const std::string host = qt::HostCommand();
    std::string out;
    EXPECT_EQ(qt::RunCommand(host + " info \"" + good + "\"", &out), 0);
    EXPECT_NE(out.find("44100 Hz, 16-bit, 2 channels; 1000 ms, 44100 frames, 176400 bytes"), std::string::npos)
        << out;

    out.clear();
    EXPECT_NE(qt::RunCommand(host + " info \"" + dir.File("missing.wav") + "\" 2>&1", &out), 0);
    EXPECT_NE(out.find("error 102: the file cannot be opened"), std::string::npos) << out;
}

}  // namespace
