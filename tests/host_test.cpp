// The host's long commands under Ctrl-C: each is interrupted while its job runs, exits with 130,
// leaves the file it worked on as it was and leaves no work file behind. Then the host's commands
// given outputs that name their input, and (natively) outputs that are links or private files.
#include "convert/codec.h"
#include "test_util.h"

#include <cstring>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// A large WAVE file of 16-bit stereo audio made at once: a hole in the file but for one sample
// in every 64 KiB. The library neither reads holes nor writes zeros, so a file of silence alone
// would be edited before the interrupt; with these samples every block it writes is real.
bool MakeLargeWave(const std::string& path, std::uint32_t dataBytes) {
    qt::Bytes header = qt::PcmWave(2, 44100, 16, qt::Bytes());
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<std::uint8_t>((36 + dataBytes) >> (8 * i));
        header[40 + i] = static_cast<std::uint8_t>(dataBytes >> (8 * i));
    }
    if (!qt::WriteBytes(path, header)) return false;
    if (truncate(path.c_str(), static_cast<off_t>(header.size() + dataBytes)) != 0) return false;
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    bool ok = true;
    const char sample = 1;
    for (std::uint64_t at = header.size(); ok && at < header.size() + dataBytes; at += 1u << 16)
        ok = pwrite(fd, &sample, 1, static_cast<off_t>(at)) == 1;
    return close(fd) == 0 && ok;
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

// The commands a user types with an output that names the input (a slip of shell completion):
// refused, the input whole, or done in place. Natively also through a symbolic link, and a
// format change or conversion onto a private file behind a link keeps the link and the mode.
TEST(HostOutputs, OutputsNamingTheInputLeaveItWhole) {
    qt::ScratchDir dir;
    const std::string take = dir.File("take.wav");
    const qt::Bytes source = qt::PcmWave(2, 44100, 16, qt::CountingSamples(40000));
    const std::string q = "\"";
    const std::string host = qt::HostCommand() + " ";
    const int alaw = GetCodecIndexFromLinkList(WAVE_FORMAT_ALAW);
    struct Row { const char* what; std::string args; int status; bool changes; };
    std::vector<Row> rows = {
        {"cut, the clip named like the source", "cut " + q + take + q + " 4b 400b --clip " + q + take + q, 1, false},
        {"copy-to the source itself", "copy-to " + q + take + q + " 4b 400b " + q + take + q, 1, false},
        {"cut, the clip named like the output", "cut " + q + take + q + " 4b 400b --clip " + q + dir.File("o.wav") + q +
                                                     " -o " + q + dir.File("o.wav") + q, 1, false},
        {"cut, the output named like the source", "cut " + q + take + q + " 4b 400b -o " + q + take + q, 0, true},
        {"format change onto the source", "format " + q + take + q + " --channels 1 -o " + q + take + q, 0, true},
    };
    if (alaw >= 0)
        rows.push_back({"conversion onto the source", "convert " + q + take + q + " " + q + take + q + " --codec " +
                                                          std::to_string(alaw), 0, true});
#ifndef _WIN32
    ASSERT_EQ(::symlink("take.wav", dir.File("alias.wav").c_str()), 0);
    rows.push_back({"cut, the clip a link to the source",
                    "cut " + q + take + q + " 4b 400b --clip " + q + dir.File("alias.wav") + q, 1, false});
#endif
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(qt::WriteBytes(take, source));
        std::string text;
        EXPECT_EQ(qt::RunCommand(host + row.args + " 2>&1", &text), row.status) << text;
        const qt::Bytes after = qt::ReadBytes(take);
        if (row.changes) {
            EXPECT_NE(after, source);
            EXPECT_TRUE(after.size() > 12 && std::memcmp(after.data(), "RIFF", 4) == 0 &&
                        std::memcmp(after.data() + 8, "WAVE", 4) == 0)
                << "a whole WAVE file in place of the input";
        } else {
            EXPECT_EQ(after, source);
        }
        std::vector<std::string> left = qt::ListDir(dir.path());
        std::sort(left.begin(), left.end());
#ifndef _WIN32
        EXPECT_EQ(left, (std::vector<std::string>{"alias.wav", "take.wav"})) << "no work file or output left";
#else
        EXPECT_EQ(left, (std::vector<std::string>{"take.wav"})) << "no work file or output left";
#endif
    }

#ifndef _WIN32
    // A private output behind a link in another folder: the link stays, the file keeps its mode.
    ASSERT_EQ(::mkdir(dir.File("real").c_str(), 0755), 0);
    const std::string real = dir.File("real") + "/out.wav", link = dir.File("out-link.wav");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    std::vector<std::string> commands = {"format " + q + take + q + " --channels 1 -o " + q + link + q};
    if (alaw >= 0) commands.push_back("convert " + q + take + q + " " + q + link + q + " --codec " + std::to_string(alaw));
    for (const std::string& c : commands) {
        SCOPED_TRACE(c);
        ASSERT_TRUE(qt::WriteBytes(take, source) && qt::WriteBytes(real, {1, 2, 3}));
        ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
        std::string text;
        EXPECT_EQ(qt::RunCommand(host + c + " 2>&1", &text), 0) << text;
        struct stat ln, st;
        ASSERT_EQ(::lstat(link.c_str(), &ln), 0);
        EXPECT_TRUE(S_ISLNK(ln.st_mode)) << "the link stays a link";
        ASSERT_EQ(::stat(real.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_GT(st.st_size, 44);
        EXPECT_EQ(qt::ListDir(dir.File("real")), std::vector<std::string>{"out.wav"});
    }
    ::unlink(real.c_str());
    ::rmdir(dir.File("real").c_str());
    ::unlink(link.c_str());
    ::unlink(dir.File("alias.wav").c_str());
#endif
}

// `quillon convert` explains a stream that cannot be opened for a non-PCM tag (the chooser's
// start format stands) and says nothing of the kind for a PCM tag; the override then converts
// an A-law file to the PCM the drivers suggest.
TEST(HostConvert, TheChooserHintOnlyForNonPcmTags) {
    const int g711 = GetCodecIndexFromLinkList(WAVE_FORMAT_ALAW);
    ASSERT_GE(g711, 0);
    tACMDRIVERINFO info;
    ASSERT_EQ(0, GetCodecDescription(&info, static_cast<unsigned short>(g711)));
    int pcmTag = -1, alawTag = -1;
    for (unsigned i = 0; i < info.currentFormatTag; ++i) {
        tACMCODECFORMATTAGINFO t;
        GetCodecFormatTagDescription(&t, static_cast<unsigned short>(g711), static_cast<unsigned short>(i));
        if (t.formatTag == WAVE_FORMAT_PCM) pcmTag = static_cast<int>(i);
        if (t.formatTag == WAVE_FORMAT_ALAW) alawTag = static_cast<int>(i);
    }
    ASSERT_TRUE(pcmTag >= 0 && alawTag >= 0);
    qt::ScratchDir dir;
    const std::string law = dir.File("law.wav"), pcm = dir.File("pcm.wav"), out = dir.File("out.wav");
    qt::Bytes codes;
    for (int i = 0; i < 4000; ++i) codes.push_back(static_cast<std::uint8_t>(i * 13));
    ASSERT_TRUE(qt::WriteBytes(law, qt::RiffFile({{"fmt ", qt::FormatBytes(WAVE_FORMAT_ALAW, 2, 8000, 8, 2, true)},
                                                  {"data", codes}})));
    ASSERT_TRUE(qt::WriteBytes(pcm, qt::PcmWave(2, 44100, 16, qt::CountingSamples(4000))));
    const std::string q = "\"", codec = " --codec " + std::to_string(g711) + " --tag ";
    const std::string to44kMono8 = " --rate 44100 --channels 1 --bits 8";
    const struct { const char* what; std::string args; int status; bool hint; } rows[] = {
        {"A-law to a PCM format no stream makes", law + q + " " + q + out + q + codec + std::to_string(pcmTag) + to44kMono8,
         1, false},
        {"the same with the override", law + q + " " + q + out + q + codec + std::to_string(pcmTag) + to44kMono8 +
                                           " --override", 0, false},
        {"PCM to the A-law tag's start format", pcm + q + " " + q + out + q + codec + std::to_string(alawTag), 1, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::remove(out.c_str());
        std::string text;
        EXPECT_EQ(row.status, qt::RunCommand(qt::HostCommand() + " convert " + q + row.args + " 2>&1", &text)) << text;
        EXPECT_EQ(row.status == 0, qt::FileExists(out));
        EXPECT_EQ(row.status != 0, text.find("error 406") != std::string::npos) << text;
        EXPECT_EQ(row.hint, text.find("non-PCM tag") != std::string::npos) << text;
    }
}

}  // namespace
