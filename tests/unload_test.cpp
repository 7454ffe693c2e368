// Unloading the library while work runs. A small host (tests/tools/unload_probe.cpp) loads the
// real library, starts one piece of work, unloads the library after a chosen delay, loads it
// again and works with it; it runs as a child process, so that a crash fails this test and not
// the suite. Afterwards the file worked on must be the old or the new version byte for byte,
// the temporary folder empty, and nothing left beside the file.
#include "convert/codec.h"
#include "edit_test_util.h"
#include "sound_test_util.h"

#include <random>

namespace qt {
namespace {

const Fmt kStereo16{2, 44100, 16};
// The probe's positions, in bytes.
constexpr std::size_t kFrom = 40000, kTo = 3000000, kClip = 1000000, kSilence = 44100 * 4;

struct Kind {
    const char* name;  // the probe's name for it
    bool writesSecond;  // the result goes to a second file (format change, conversion)
};

const Kind kKinds[] = {{"cut", false},  {"copy", false}, {"paste", false},  {"clear", false},
                       {"crop", false}, {"mute", false}, {"trim", false},   {"insert", false},
                       {"format", true}, {"convert", true}, {"sync", false},  {"play", false}};

// A file the build puts beside the test program.
std::string BesideTheTests(const char* windowsName, const char* linuxName) {
#ifdef _WIN32
    return ProgramDir() + "\\" + windowsName;
#else
    return ProgramDir() + "/" + linuxName;
#endif
}

std::string ProbePath() { return BesideTheTests("unload_probe.exe", "unload_probe"); }
std::string LibraryPath() { return BesideTheTests("Quillon.dll", "libquillon.so"); }

std::string Quoted(const std::string& s) {
#ifdef _WIN32
    return "\"" + s + "\"";
#else
    return "'" + s + "'";
#endif
}

// The probe's work, run here alone and to its end.
unsigned short RunAlone(const std::string& kind, const std::string& file, const std::string& second) {
    const char* f = file.c_str();
    const unsigned short b = QUILLON_TIME_BYTES;
    if (kind == "paste") {
        const unsigned short r = AudioCopy(f, 0, kClip, b, nullptr, 1);
        if (r != 0) return r;
        return AudioPaste(f, kFrom, b, nullptr, 1);
    }
    if (kind == "cut") return AudioCut(f, kFrom, kTo, b, nullptr, 1, nullptr);
    if (kind == "copy") return AudioCopy(f, kFrom, kTo, b, nullptr, 1);
    if (kind == "clear" || kind == "sync") return AudioClear(f, kFrom, kTo, b, nullptr, 1, nullptr);
    if (kind == "crop") return AudioCrop(f, kFrom, kTo, b, nullptr, 1, nullptr);
    if (kind == "mute") return AudioEditMute(f, kFrom, kTo, b, nullptr, 1, 3, nullptr);
    if (kind == "trim") return AudioEditTrimSilence(f, kFrom, kTo, b, nullptr, 1, 100, nullptr);
    if (kind == "insert") return AudioInsertSilence(f, kFrom, b, nullptr, 1, 1000, nullptr);
    if (kind == "play") return 0;  // a playback leaves its file as it is
    if (kind == "format") return AudioChangeFormat(f, second.c_str(), 22050, 16, 2, nullptr, 1);
    return AudioConvert(static_cast<unsigned short>(GetCodecIndexFromLinkList(WAVE_FORMAT_IMA_ADPCM)), -1, f,
                        second.c_str(), nullptr, 0, nullptr, 1);
}

// What the work makes of the source when nothing stops it, sliced from the source's bytes;
// empty for trim, the format change and the conversion, whose result is taken from a run alone.
Bytes Sliced(const std::string& kind, const Bytes& source) {
    const Bytes h = HeaderBlock(source);
    const Bytes d = DataOf(source);
    if (kind == "cut" || kind == "clear" || kind == "sync")
        return ExpectedFile(h, Join({Slice(d, 0, kFrom), Slice(d, kTo, d.size())}));
    if (kind == "copy" || kind == "play") return source;
    if (kind == "paste") return ExpectedFile(h, Join({Slice(d, 0, kFrom), Slice(d, 0, kClip), Slice(d, kFrom, d.size())}));
    if (kind == "crop") return ExpectedFile(h, Slice(d, kFrom, kTo));
    if (kind == "mute") return ExpectedFile(h, Join({Slice(d, 0, kFrom), Bytes(kTo - kFrom, 0), Slice(d, kTo, d.size())}));
    if (kind == "insert") return ExpectedFile(h, Join({Slice(d, 0, kFrom), Bytes(kSilence, 0), Slice(d, kFrom, d.size())}));
    return {};
}

class Unload : public EditFixture {};

// For every kind of work, unloads at moments spread from before the first block to after the
// end: the probe must end normally, the file (or the second file) be old or new, and no file of
// the library stay behind; the library loaded again must work.
TEST_F(Unload, WhileWorkRunsNothingCrashesIsTornOrLeftBehind) {
    if (!FileExists(ProbePath())) GTEST_SKIP() << "the probe is built with the test suite (" << ProbePath() << ")";
    const Bytes samples = CountingSamples(4 * 1024 * 1024);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes reloadSource = EditSource(kStereo16, CountingSamples(200000));
    const Bytes reloadData = DataOf(reloadSource);
    // The reloaded library clears the first 4,000 bytes, then crops 40,000 bytes from 0.
    const Bytes reloadExpected = ExpectedFile(HeaderBlock(reloadSource), Slice(reloadData, 4000, 44000));
    const std::string codec = std::to_string(GetCodecIndexFromLinkList(WAVE_FORMAT_IMA_ADPCM));
    std::mt19937 random(16016);
    int olds = 0, news = 0;
    for (const Kind& kind : kKinds) {
        const std::string k = kind.name;
        if (k == "sync" && UnderWine()) {
            std::printf("[ skipped  ] a synchronous edit on a host thread: DllMain cannot wait for it, so "
                        "FreeLibrary under a running call is the host's error on Windows\n");
            continue;
        }
        if (k == "play" && !HaveSoundServer()) {
            std::printf("[ skipped  ] a playback: no private sound server (scripts/test starts one)\n");
            continue;
        }
        SCOPED_TRACE(k);
        const std::string file = Path("work.wav");
        const std::string second = Path("second.wav");
        const std::string reload = Path("reload.wav");
        const std::string temp = Path("probe-temp");
        CreateDirectoryA(temp.c_str(), nullptr);

        // The work alone: its result, and how long it takes here, so that the unloads spread
        // over its whole run.
        Write("work.wav", source);
        DeleteFileA(second.c_str());
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(RunAlone(k, file, second), 0);
        long runUs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
        if (k == "play") runUs = 300000;  // the playback runs for seconds: unload within its first 0.3 s
        const Bytes old = kind.writesSecond ? Bytes() : source;
        Bytes fresh = ReadBytes(kind.writesSecond ? second : file);
        const Bytes sliced = Sliced(k, source);
        if (!sliced.empty()) {
            EXPECT_TRUE(fresh == sliced) << "the work alone does not give the sliced source";
            fresh = sliced;
        }
        ASSERT_FALSE(fresh.empty());

        for (int round = 0; round < 4; ++round) {
            const long delayUs = round == 0 ? 0 : round == 3 ? 2 * runUs + 20000
                                                             : std::uniform_int_distribution<long>(0, runUs + runUs / 4)(random);
            SCOPED_TRACE("unload after " + std::to_string(delayUs) + " us (the work takes " + std::to_string(runUs) + ")");
            Write("work.wav", source);
            Write("reload.wav", reloadSource);
            DeleteFileA(second.c_str());
            std::string out;
            // A playback leaves blocks of the sound server's client library and of the wave-out
            // layer's device tables unfreed at exit; the leak check is about the work's records.
#ifndef _WIN32
            const std::string leakCheck = k == "play" ? "ASAN_OPTIONS=detect_leaks=0 " : "";
#else
            const std::string leakCheck;
#endif
            const std::string command = leakCheck + Quoted(ProbePath()) + " " + Quoted(LibraryPath()) + " " + k + " " +
                                        Quoted(file) + " " + Quoted(second) + " " + Quoted(temp) + " " +
                                        std::to_string(delayUs) + " " + Quoted(reload) + " " + codec;
            EXPECT_EQ(RunCommand(command, &out), 0) << out;
            EXPECT_NE(out.find("reloaded"), std::string::npos) << out;

            const Bytes now = ReadBytes(kind.writesSecond ? second : file);
            if (now == old)
                ++olds;
            else if (now == fresh)
                ++news;
            else
                ADD_FAILURE() << "neither the old nor the new version (" << now.size() << " bytes)";
            if (kind.writesSecond) {
                EXPECT_EQ(ReadBytes(file), source) << "the source of the change stays";
            }
            EXPECT_EQ(ReadBytes(reload), reloadExpected) << "the work of the library loaded again";
            EXPECT_TRUE(ListDir(temp).empty()) << ListDir(temp).size() << " files left, the first "
                                               << (ListDir(temp).empty() ? "" : ListDir(temp)[0]);
            std::set<std::string> beside;
            for (const std::string& f : ListDir(dir_.path())) beside.insert(f);
            beside.erase("work.wav");
            beside.erase("reload.wav");
            beside.erase("second.wav");
            beside.erase("probe-temp");
            beside.erase("tmp");
            EXPECT_TRUE(beside.empty()) << "left beside the file: " << *beside.begin();
        }
    }
    std::printf("unloads: %d left the old version, %d the new one\n", olds, news);
}

}  // namespace
}  // namespace qt
