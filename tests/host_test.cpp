// The host's long commands under Ctrl-C: each is interrupted while its job runs, exits with 130,
// leaves the file it worked on as it was and leaves no work file behind.
#include "test_util.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// A WAVE file of 16-bit stereo silence whose audio is a hole in the file: large, made at once.
bool MakeLargeWave(const std::string& path, std::uint32_t dataBytes) {
    qt::Bytes header = qt::PcmWave(2, 44100, 16, qt::Bytes());
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<std::uint8_t>((36 + dataBytes) >> (8 * i));
        header[40 + i] = static_cast<std::uint8_t>(dataBytes >> (8 * i));
    }
    if (!qt::WriteBytes(path, header)) return false;
    return truncate(path.c_str(), static_cast<off_t>(header.size() + dataBytes)) == 0;
}

// Runs the host with `args`, interrupts it after `delayMs`, returns its exit status.
int InterruptedHost(const std::vector<std::string>& args, int delayMs) {
    const std::string host = qt::ProgramDir() + "/quillon";
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(host.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execv(host.c_str(), argv.data());
        _exit(127);
    }
    usleep(static_cast<useconds_t>(delayMs) * 1000);
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

struct Interrupted { const char* what; std::vector<std::string> args; };  // FILE and OUT stand for the paths

TEST(HostInterrupt, CtrlCCancelsTheJobAndLeavesTheFiles) {
#ifdef _WIN32
    GTEST_SKIP() << "sending Ctrl-C to a child console program is tested on Linux with SIGINT";
#else
    const Interrupted rows[] = {
        {"clear in place", {"clear", "FILE", "1000", "5000"}},
        {"format to another file", {"format", "FILE", "--rate", "22050", "-o", "OUT"}},
        {"convert through a codec", {"convert", "FILE", "OUT", "--codec", "1"}},
    };
    for (const Interrupted& row : rows) {
        qt::ScratchDir dir;
        const std::string file = dir.File("long.wav"), out = dir.File("out.wav");
        const std::uint32_t dataBytes = 1536u << 20;
        ASSERT_TRUE(MakeLargeWave(file, dataBytes));
        struct stat before;
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        std::vector<std::string> args;
        for (const std::string& a : row.args) args.push_back(a == "FILE" ? file : a == "OUT" ? out : a);

        EXPECT_EQ(InterruptedHost(args, 400), 130) << row.what << ": ended before the interrupt, or not by it";
        struct stat after;
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(std::make_tuple(after.st_size, after.st_mtim.tv_sec, after.st_mtim.tv_nsec, after.st_ino),
                  std::make_tuple(before.st_size, before.st_mtim.tv_sec, before.st_mtim.tv_nsec, before.st_ino))
            << row.what << ": the file was changed or replaced";
        EXPECT_EQ(qt::ListDir(dir.path()), std::vector<std::string>{"long.wav"}) << row.what << ": a file was left";
    }
#endif
}

}  // namespace
