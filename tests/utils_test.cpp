// The frame's small services: directory test, file size, file identity, blank trimming,
// free space, registry reads and the error log.
#include "frame/utils.h"
#include "test_util.h"

namespace {

TEST(Utils, DirectoryTestAndFileSize) {
    qt::ScratchDir dir;
    const std::string file = dir.File("f.bin"), empty = dir.File("e.bin");
    ASSERT_TRUE(qt::WriteBytes(file, qt::Bytes(1234, 7)));
    ASSERT_TRUE(qt::WriteBytes(empty, qt::Bytes()));
    EXPECT_EQ(IsDirectoryExists(dir.path().c_str()), 1);
    EXPECT_EQ(IsDirectoryExists(file.c_str()), 0);
    EXPECT_EQ(IsDirectoryExists(dir.File("none").c_str()), 0);
    EXPECT_EQ(GetTheFilesSize(file.c_str()), 1234u);
    EXPECT_EQ(GetTheFilesSize(empty.c_str()), 0u);
    EXPECT_EQ(GetTheFilesSize(dir.File("none").c_str()), 0u);
    EXPECT_EQ(GetTheFilesSize(dir.path().c_str()), 0u) << "a directory has no size";
}

TEST(Utils, CompFilesRemembersTheLastFileWhole) {
    qt::ScratchDir dir;
    const std::string a = dir.File("a.wav"), b = dir.File("b.wav");
    ASSERT_TRUE(qt::WriteBytes(a, qt::Bytes(100, 1)));
    ASSERT_TRUE(qt::WriteBytes(b, qt::Bytes(100, 1)));
    CompFiles(dir.File("none").c_str(), "");
    EXPECT_EQ(CompFiles(a.c_str(), ""), 0) << "nothing remembered for this file yet";
    EXPECT_EQ(CompFiles(a.c_str(), ""), 1);
    EXPECT_EQ(CompFiles(b.c_str(), ""), 0) << "another file, same content";
    EXPECT_EQ(CompFiles(a.c_str(), ""), 0);
    EXPECT_EQ(CompFiles(a.c_str(), ""), 1);
    // A change of content (and size) makes it another file.
    ASSERT_TRUE(qt::WriteBytes(a, qt::Bytes(101, 1)));
    EXPECT_EQ(CompFiles(a.c_str(), ""), 0);
    EXPECT_EQ(CompFiles(dir.File("none").c_str(), ""), 0);
}

TEST(Utils, TrimRemovesOuterWhiteSpaceOnly) {
    const struct { const char* in; const char* out; } rows[] = {
        {"  my file.wav  ", "my file.wav"}, {"\t\r\n\v\fname\f\v\n\r\t", "name"}, {"    ", ""}, {"", ""},
        {"x", "x"},                         {" a b ", "a b"},
    };
    for (const auto& r : rows) {
        char buf[kNameSize];
        CopyName(buf, r.in);
        Trim(buf);
        EXPECT_STREQ(buf, r.out) << '"' << r.in << '"';
    }
    std::string longName(600, 'n');
    longName = "  " + longName + "  ";
    Trim(&longName[0]);
    EXPECT_EQ(std::string(longName.c_str()), std::string(600, 'n')) << "longer than a name buffer, still whole";
}

TEST(Utils, FreeSpaceVersionAndAbsentRegistryValues) {
    EXPECT_EQ(OSGreaterThenWin95(), 1);
    EXPECT_GT(RemainingSpaceInTempDrive(), 0);
    BYTE value[64] = {};
    EXPECT_EQ(ReadRegistryKey(HKEY_CURRENT_USER, "Software\\Quillon Test\\No Such Key", "Playback", value, sizeof value), 0);
}

TEST(Utils, LogAppendsEachMessageAsGiven) {
    qt::ScratchDir dir;
    char saved[kNameSize];
    CopyName(saved, globalErrorFile);
    const std::string log = dir.File("Quillon.log");
    CopyName(globalErrorFile, log.c_str());
    LogError("HDD Full\n");
    LogError("Record Data Overflow\n");
    const qt::Bytes text = qt::ReadBytes(log);
#ifdef _WIN32
    const char* expected = "HDD Full\r\nRecord Data Overflow\r\n";  // a text file in the platform's line ends
#else
    const char* expected = "HDD Full\nRecord Data Overflow\n";
#endif
    EXPECT_EQ(std::string(text.begin(), text.end()), expected);
    CopyName(globalErrorFile, dir.File("missing-folder").append("\\/x/Quillon.log").c_str());
    LogError("dropped\n");  // cannot be opened: nothing happens
    CopyName(globalErrorFile, saved);
}

TEST(Utils, LogNameFollowsThePlatformRule) {
    char saved[kNameSize];
    CopyName(saved, globalErrorFile);
#ifdef _WIN32
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string expected(exe);
    expected = expected.substr(0, expected.find_last_of('\\') + 1) + "Quillon.log";
    SetLogErrorFileName();
    EXPECT_EQ(std::string(globalErrorFile), expected);
#else
    qt::ScratchDir dir;
    setenv("QUILLON_LOG_DIR", dir.path().c_str(), 1);
    SetLogErrorFileName();
    EXPECT_EQ(std::string(globalErrorFile), dir.path() + "/Quillon.log");
    unsetenv("QUILLON_LOG_DIR");
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    setenv("HOME", dir.path().c_str(), 1);
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const std::string savedXdg = xdg ? xdg : "";
    unsetenv("XDG_STATE_HOME");
    SetLogErrorFileName();
    EXPECT_EQ(std::string(globalErrorFile), dir.path() + "/.local/state/quillon/Quillon.log");
    EXPECT_EQ(IsDirectoryExists((dir.path() + "/.local/state/quillon").c_str()), 1);
    setenv("HOME", savedHome.c_str(), 1);
    if (!savedXdg.empty()) setenv("XDG_STATE_HOME", savedXdg.c_str(), 1);
    // Clean the folders made under the scratch folder.
    RemoveDirectoryA((dir.path() + "/.local/state/quillon").c_str());
    RemoveDirectoryA((dir.path() + "/.local/state").c_str());
    RemoveDirectoryA((dir.path() + "/.local").c_str());
#endif
    CopyName(globalErrorFile, saved);
}

}  // namespace
