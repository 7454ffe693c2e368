// PCM format change. Every conversion the change allows (rate ratios up and down, mono and
// stereo, 8 and 16 bits) is compared byte for byte with a reference written here, apart from the
// library. Then every refusal, from outside; cancel at random moments, kill -9 in the middle and a
// full disk, after which the output is a whole file and no work file is left; the host's command.
#include "convert/format.h"
#include "edit_test_util.h"
#include "frame/utils.h"

#include <random>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using qt::Bytes;

// ---------------------------------------------------------------------------------------------
// The reference. Audio as interleaved integer samples: 0..255 for 8 bits, -32768..32767 for 16.
struct Audio {
    int channels;
    std::uint32_t rate;
    int bits;
    std::vector<int> s;
    int FrameBytes() const { return channels * bits / 8; }
    std::size_t Frames() const { return s.size() / channels; }
};

// Whole frames of raw little-endian data; bytes that do not make a whole frame are left out.
Audio Decode(const Bytes& d, int channels, std::uint32_t rate, int bits) {
    Audio a{channels, rate, bits, {}};
    const std::size_t n = d.size() / a.FrameBytes() * channels;
    for (std::size_t i = 0; i < n; ++i) {
        const int v = bits == 8 ? d[i] : d[2 * i] + 256 * d[2 * i + 1];
        a.s.push_back(bits == 16 && v >= 32768 ? v - 65536 : v);
    }
    return a;
}

// Rate: up by repeating every frame, down by keeping every n-th frame of each 8192-byte block of
// the input (the count starts again at each block).
Audio RefRate(const Audio& in, std::uint32_t rate) {
    Audio out{in.channels, rate, in.bits, {}};
    const std::size_t perBlock = 8192 / in.FrameBytes();
    for (std::size_t f = 0; f < in.Frames(); ++f) {
        const std::size_t copies = rate > in.rate ? rate / in.rate : (f % perBlock) % (in.rate / rate) == 0;
        for (std::size_t k = 0; k < copies; ++k)
            out.s.insert(out.s.end(), in.s.begin() + f * in.channels, in.s.begin() + (f + 1) * in.channels);
    }
    return out;
}

// Stereo to mono: the mean of the signed values, truncated toward zero. Mono to stereo: twice.
Audio RefChannels(const Audio& in, int channels) {
    Audio out{channels, in.rate, in.bits, {}};
    const int zero = in.bits == 8 ? 128 : 0;
    for (std::size_t f = 0; f < in.Frames(); ++f) {
        if (in.channels == 2) out.s.push_back((in.s[2 * f] - zero + in.s[2 * f + 1] - zero) / 2 + zero);
        else out.s.insert(out.s.end(), 2, in.s[f]);
    }
    return out;
}

// 16 to 8 bits: divided by 256 truncating toward zero, offset by 128; 8 to 16: the reverse.
Audio RefBits(const Audio& in, int bits) {
    Audio out{in.channels, in.rate, bits, {}};
    for (int v : in.s) out.s.push_back(bits == 8 ? v / 256 + 128 : (v - 128) * 256);
    return out;
}

// The file every pass writes: RIFF, an 18-byte "fmt " (cbSize 0), "data", a pad byte when odd.
Bytes RefFile(const Audio& a) {
    Bytes data;
    for (int v : a.s)
        a.bits == 8 ? data.push_back(static_cast<std::uint8_t>(v)) : qt::Put16(data, static_cast<std::uint16_t>(v));
    const auto align = static_cast<std::uint16_t>(a.FrameBytes());
    return qt::RiffFile({{"fmt ", qt::FormatBytes(1, static_cast<std::uint16_t>(a.channels), a.rate,
                                                  static_cast<std::uint16_t>(a.bits), align, true, 0)},
                         {"data", data}});
}

// What the output holds after each finished step, in order: rate, channels, bits (only the
// steps asked for).
std::vector<Bytes> RefSteps(const Audio& in, std::uint32_t rate, int channels, int bits) {
    std::vector<Bytes> steps;
    Audio a = in;
    if (rate != in.rate) steps.push_back(RefFile(a = RefRate(a, rate)));
    if (channels != in.channels) steps.push_back(RefFile(a = RefChannels(a, channels)));
    if (bits != in.bits) steps.push_back(RefFile(a = RefBits(a, bits)));
    return steps;
}

// Source audio: the extreme and rounding-edge values first, then seeded noise.
Bytes SourceBytes(std::size_t n, int bits, std::uint32_t seed) {
    const int edges[2][16] = {{0, 255, 128, 127, 0, 1, 1, 0, 129, 255, 254, 0, 2, 3, 5, 7},
                              {-32768, 32767, -1, 1, -3, 0, 3, 0, -255, 255, -256, 256, -257, 257, 0, 0}};
    Bytes b;
    for (int v : edges[bits / 16])
        bits == 16 ? qt::Put16(b, static_cast<std::uint16_t>(v)) : b.push_back(static_cast<std::uint8_t>(v));
    std::mt19937 gen(seed);
    while (b.size() < n) b.push_back(static_cast<std::uint8_t>(gen()));
    b.resize(n);
    return b;
}

// Every test has its own temporary directory for the library (edit_test_util.h), so that work
// files left behind show.
class FormatChange : public qt::EditFixture {
protected:
    void ExpectNoWorkFileLeft() { EXPECT_EQ(StrayTempFiles(), std::vector<std::string>{}); }
    static WORD Change(const std::string& in, const std::string& out, DWORD rate, int bits, int channels) {
        return AudioChangeFormat(in.c_str(), out.c_str(), rate, static_cast<WORD>(bits), static_cast<WORD>(channels),
                                 nullptr, 1);
    }
};

// Every allowed combination, through the exported call, synchronously; two blocks and a tail.
TEST_F(FormatChange, EveryAllowedCombinationMatchesTheReference) {
    const int layouts[][2] = {{1, 8}, {1, 16}, {2, 8}, {2, 16}};  // channels, bits
    // Ratios from 22 050 Hz: up by 2 and 3, down by 2, 3, 5 and 7, and the same rate.
    const std::uint32_t rates[] = {22050, 44100, 66150, 11025, 7350, 4410, 3150};
    int checked = 0;
    for (const auto& from : layouts) {
        const Bytes raw = SourceBytes(8192 * 2 + 1004, from[1], 11 + from[0] * 3 + from[1]);
        const Audio src = Decode(raw, from[0], 22050, from[1]);
        const std::string in = Write("in.wav", qt::PcmWave(static_cast<std::uint16_t>(from[0]), 22050,
                                                          static_cast<std::uint16_t>(from[1]), raw));
        for (const auto& to : layouts)
            for (std::uint32_t rate : rates) {
                SCOPED_TRACE(testing::Message() << from[0] << "ch/" << from[1] << "bit/22050 -> " << to[0] << "ch/"
                                                << to[1] << "bit/" << rate);
                if (rate == 22050 && from[0] == to[0] && from[1] == to[1]) continue;  // 360: see the refusals
                const std::string out = dir_.File("out.wav");
                DeleteFileA(out.c_str());
                ASSERT_EQ(0, Change(in, out, rate, to[1], to[0]));
                ASSERT_TRUE(qt::ReadBytes(out) == RefSteps(src, rate, to[0], to[1]).back()) << "not the reference";
                ++checked;
            }
    }
    EXPECT_EQ(4 * 4 * 7 - 4, checked);
    ExpectNoWorkFileLeft();
}

// Seeded random sizes for every combination of rate ratio, channels and widths: sizes on both
// sides of the 8192-byte blocks and trailing bytes that make no whole frame, the result always
// the reference's, whose steps are the passes taken one after the other. Every fifth case runs
// as a job.
TEST_F(FormatChange, RandomSizesOfEveryCombinationMatchTheReference) {
    const std::uint32_t seed = 20261206;
    std::mt19937 gen(seed);
    const int layouts[][2] = {{1, 8}, {1, 16}, {2, 8}, {2, 16}};  // channels, bits
    // The same rate, up by 2, 3 and 4, down by 2, 4, 5, 8 and 11.
    const std::uint32_t rates[][2] = {{8000, 8000}, {8000, 16000}, {8000, 24000}, {8000, 32000}, {8000, 4000},
                                      {8000, 2000}, {8000, 1600},  {8000, 1000},  {7997, 727}};
    int n = 0;
    for (const auto& from : layouts)
        for (const auto& to : layouts)
            for (const auto& rate : rates) {
                const std::uint32_t fromRate = rate[0], toRate = rate[1];
                if (fromRate == toRate && from[0] == to[0] && from[1] == to[1]) continue;  // nothing to do
                std::size_t size = std::uniform_int_distribution<std::size_t>(1, 5 * 8192 + 7)(gen);
                if (n % 3 == 0) size = 8192 * std::uniform_int_distribution<std::size_t>(1, 4)(gen) +
                                       std::uniform_int_distribution<int>(-3, 3)(gen);
                SCOPED_TRACE(testing::Message() << "seed " << seed << ": " << from[0] << "ch/" << from[1] << "bit/"
                                                << fromRate << " -> " << to[0] << "ch/" << to[1] << "bit/" << toRate
                                                << ", " << size << " bytes");
                const Bytes raw = SourceBytes(size, from[1], static_cast<std::uint32_t>(gen()));
                const Audio src = Decode(raw, from[0], fromRate, from[1]);
                const std::string in = Write("in.wav", qt::PcmWave(static_cast<std::uint16_t>(from[0]), fromRate,
                                                                  static_cast<std::uint16_t>(from[1]), raw));
                const std::string out = dir_.File("out.wav");
                DeleteFileA(out.c_str());
                if (++n % 5 == 0) {
                    QUILLON_EDIT_HANDLE h = nullptr;
                    ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), toRate, static_cast<WORD>(to[1]),
                                                   static_cast<WORD>(to[0]), &h, 0));
                    while (!AudioEditProcessIsOver(h)) Sleep(1);
                    EXPECT_EQ(0, AudioEditGetReasonForProcessExit(h));
                    AudioEditCloseHandle(&h);
                } else {
                    ASSERT_EQ(0, Change(in, out, toRate, to[1], to[0]));
                }
                ASSERT_TRUE(qt::ReadBytes(out) == RefSteps(src, toRate, to[0], to[1]).back()) << "not the reference";
            }
    EXPECT_GT(n, 130);
    ExpectNoWorkFileLeft();
}

// Inputs of other shapes: the result holds only "fmt " (18 bytes) and "data", whole frames of
// what the file really holds; the output may be the input itself.
TEST_F(FormatChange, InputShapes) {
    const Bytes m8 = SourceBytes(8192 + 333, 8, 5);  // odd: the data chunk has a pad byte
    const Bytes s16 = SourceBytes(8192 * 2 + 12, 16, 9);
    const Audio mono = Decode(m8, 1, 8000, 8), stereo = Decode(s16, 2, 44100, 16);
    const Bytes up = RefSteps(mono, 16000, 1, 16).back();
    auto withFmt = [&](const Bytes& f) { return qt::RiffFile({{"fmt ", f}, {"data", m8}}); };
    Bytes fmt40 = qt::FormatBytes(1, 1, 8000, 8, 1, true, 22), stray = s16;
    fmt40.resize(40, 0x55);
    stray.resize(s16.size() + 2, 0x77);
    struct Case { const char* what; Bytes file, expected; std::uint32_t rate = 16000; int bits = 16, channels = 1;
        bool inPlace = false; };
    const Case cases[] = {
        {"fmt of 18 bytes", withFmt(qt::FormatBytes(1, 1, 8000, 8, 1, true, 0)), up},
        {"fmt of 40 bytes with extra bytes", withFmt(fmt40), up},
        {"7 declared bits in 8-bit frames", withFmt(qt::FormatBytes(1, 1, 8000, 7, 1)), up},
        {"a LIST chunk between fmt and data, a chunk after data",
         qt::RiffFile({{"fmt ", qt::PcmFormat(1, 8000, 8)}, {"LIST", Bytes(13, 'x')}, {"data", m8}, {"cue ", {1}}}), up},
        {"2 stray bytes after the last frame", qt::PcmWave(2, 44100, 16, stray), RefSteps(stereo, 44100, 2, 8).back(),
         44100, 8, 2},
        {"data chunk declaring 4000 bytes more than the file holds",
         qt::RiffFile({{"fmt ", qt::PcmFormat(2, 44100, 16)}, {"data", s16, true, 8192 * 2 + 12 + 4000}}),
         RefSteps(stereo, 22050, 1, 16).back(), 22050},
        {"output name equal to the input name", qt::PcmWave(2, 44100, 16, s16), RefSteps(stereo, 22050, 1, 8).back(),
         22050, 8, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = Write("in.wav", c.file), out = c.inPlace ? in : dir_.File("out.wav");
        ASSERT_EQ(0, Change(in, out, c.rate, c.bits, c.channels));
        EXPECT_TRUE(qt::ReadBytes(out) == c.expected);
    }
    ExpectNoWorkFileLeft();
}

// ---------------------------------------------------------------------------------------------
// Every refusal through the exported call, synchronously and as a job: the result code, the
// handle untouched, no output, no work file. Where the start call's checks come first, the
// format routine itself (`routine`) still gives its own code.
TEST_F(FormatChange, EveryCodeSyncAndAsJob) {
    const Bytes raw = SourceBytes(4000, 16, 3);
    const Bytes good = qt::PcmWave(2, 44100, 16, raw), fmt = qt::PcmFormat(2, 44100, 16);
    auto withFmt = [&](const Bytes& f) { return qt::RiffFile({{"fmt ", f}, {"data", raw}}); };
    enum Name { kFile, kNoFile, kEmptyName, kNullName, kPlaying };
    struct Case { const char* what; WORD code; Bytes file; DWORD rate = 22050; WORD bits = 16, channels = 2;
        Name name = kFile; WORD routine = 0; const char* output = nullptr; };  // output null: "out.wav" in dir_
    const std::string noFolder = dir_.File("no-such-folder") + QL_PATH_SEPARATOR + "out.wav";
    const Case cases[] = {
        {"empty name, nothing loaded", 100, {}, 16000, 8, 1, kEmptyName},
        {"null name", 100, {}, 16000, 8, 1, kNullName},
        {"missing file", 102, {}, 22050, 16, 2, kNoFile, 350},
        {"empty file", 102, {}},
        {"the file playing", 310, good, 22050, 16, 2, kPlaying},
        {"not a WAVE file", 318, Bytes(100, 'z'), 22050, 16, 2, kFile, 351},
        {"no fmt chunk", 318, qt::RiffFile({{"data", raw}}), 22050, 16, 2, kFile, 352},
        {"compressed (IMA ADPCM tag)", 318, withFmt(qt::FormatBytes(0x11, 2, 44100, 4, 2048)), 22050, 16, 2, kFile, 354},
        {"fmt last, fewer than 18 bytes to read", 353, qt::RiffFile({{"fmt ", fmt}})},
        {"data before fmt, fmt last", 353, qt::RiffFile({{"data", raw}, {"fmt ", fmt}})},
        {"no data chunk", 355, qt::RiffFile({{"fmt ", fmt}, {"LIST", Bytes(20, 'x')}})},
        {"data chunk before fmt", 355, qt::RiffFile({{"data", raw}, {"fmt ", fmt}, {"LIST", Bytes(4, 'x')}})},
        {"empty data chunk", 356, qt::RiffFile({{"fmt ", fmt}, {"data", {}}})},
        {"data chunk declared but absent", 356, qt::RiffFile({{"fmt ", fmt}, {"data", {}, true, 1000}})},
        {"output in a missing folder", 358, good, 22050, 16, 2, kFile, 0, noFolder.c_str()},
        {"empty output name", 358, good, 22050, 16, 2, kFile, 0, ""},
        // One frame at 1 Hz raised to 4 294 967 295 Hz: a result of 4 GiB less a byte, which no
        // RIFF form can hold with its headers.
        {"a result passing 4 GiB", QUILLON_ERR_PASSES_4GB, qt::PcmWave(1, 1, 8, Bytes{7}), 0xFFFFFFFFu, 8, 1},
        {"44100 to 48000", 359, good, 48000},
        {"44100 to 30000", 359, good, 30000, 16, 1},
        {"rate 0", 359, good, 0},
        {"an input at 0 Hz", 359, withFmt(qt::FormatBytes(1, 2, 0, 16, 4))},
        {"the same format", 360, good, 44100},
        {"the same format, 16 bits declared as 12", 360, withFmt(qt::FormatBytes(1, 2, 44100, 12, 4)), 44100},
        {"3 channels asked", 361, good, 44100, 16, 3},
        {"0 channels asked", 361, good, 22050, 16, 0},
        {"24 bits asked", 361, good, 44100, 24},
        {"0 bits asked", 361, good, 22050, 0},
        {"a 3-channel input", 361, qt::PcmWave(3, 44100, 16, raw)},
        {"a 24-bit input", 361, qt::PcmWave(2, 44100, 24, raw)},
        {"an input with block align 0", 361, withFmt(qt::FormatBytes(1, 2, 44100, 16, 0))},
        {"an input with 0 channels", 361, withFmt(qt::FormatBytes(1, 0, 44100, 16, 4))},
        {"block align 3 for 2 channels", 361, withFmt(qt::FormatBytes(1, 2, 44100, 8, 3)), 22050, 8},
    };
    const std::string file = dir_.File("in.wav");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA(file.c_str());
        if (c.name == kFile || c.name == kPlaying) Write("in.wav", c.file);
        CopyName(playbackFileName, c.name == kPlaying ? file.c_str() : "");
        alreadyPlaying = c.name == kPlaying;
        const char* in = c.name == kNullName ? nullptr : c.name == kEmptyName ? "" : file.c_str();
        const std::string out = c.output ? std::string(c.output) : dir_.File("out.wav");
        QUILLON_EDIT_HANDLE h = reinterpret_cast<QUILLON_EDIT_HANDLE>(0x55);
        EXPECT_EQ(c.code, AudioChangeFormat(in, out.c_str(), c.rate, c.bits, c.channels, &h, 1));
        EXPECT_EQ(reinterpret_cast<QUILLON_EDIT_HANDLE>(0x55), h);
        if (c.code < 350 && c.code != QUILLON_ERR_PASSES_4GB) {  // the start call's own refusals make no job
            EXPECT_EQ(c.code, AudioChangeFormat(in, out.c_str(), c.rate, c.bits, c.channels, &h, 0));
            EXPECT_EQ(reinterpret_cast<QUILLON_EDIT_HANDLE>(0x55), h);
        } else {  // the routine's codes come back as the job's reason for exit
            h = nullptr;
            ASSERT_EQ(0, AudioChangeFormat(in, out.c_str(), c.rate, c.bits, c.channels, &h, 0));
            ASSERT_NE(nullptr, h);
            while (!AudioEditProcessIsOver(h)) Sleep(1);
            EXPECT_EQ(c.code, AudioEditGetReasonForProcessExit(h));
            EXPECT_EQ(0, AudioEditCloseHandle(&h));
        }
        if (c.routine) { EXPECT_EQ(c.routine, ConvertFormat(in, out.c_str(), c.rate, c.bits, c.channels, nullptr)); }
        if (!out.empty()) { EXPECT_FALSE(qt::FileExists(out)); }
    }
    alreadyPlaying = 0;
    // An empty name means the file loaded for playback; a job needs a place for its handle.
    Write("in.wav", qt::PcmWave(1, 8000, 8, SourceBytes(100, 8, 1)));
    CopyName(playbackFileName, file.c_str());
    EXPECT_EQ(0, Change("", dir_.File("out.wav"), 16000, 8, 1));
    EXPECT_TRUE(qt::FileExists(dir_.File("out.wav")));
    EXPECT_EQ(357, AudioChangeFormat(file.c_str(), dir_.File("out.wav").c_str(), 4000, 8, 1, nullptr, 0));
    ExpectNoWorkFileLeft();
}

// Interruptions. A cancelled job leaves what the output held before, the result of the steps
// finished so far, or (a job that changed no rate) a copy of the input. The moments are seeded
// random points of the job's own progress (0: before it starts; past 100: never, the whole result).
TEST_F(FormatChange, CancelAtSeededRandomMoments) {
    const std::uint32_t seed = 20240601;
    std::mt19937 gen(seed);
    const Bytes raw = SourceBytes(8192 * 200, 16, 31);
    const Bytes input = qt::PcmWave(2, 22050, 16, raw), old = qt::PcmWave(1, 8000, 8, Bytes(50, 128));
    const Audio src = Decode(raw, 2, 22050, 16);
    const std::string in = Write("in.wav", input);
    const int targets[][3] = {{44100, 1, 8}, {11025, 2, 16}, {22050, 1, 8}, {7350, 1, 16}};  // rate, channels, bits
    int cancelled = 0;
    for (int i = 0; i < 24; ++i) {
        const auto& t = targets[i % 4];
        const unsigned at = i < 4 ? 0 : std::uniform_int_distribution<unsigned>(0, 120)(gen);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << i << " cancel at " << at << "%");
        const std::string out = Write("out.wav", old);
        QUILLON_EDIT_HANDLE h = nullptr;
        ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), t[0], static_cast<WORD>(t[2]),
                                       static_cast<WORD>(t[1]), &h, 0));
        while (!AudioEditProcessIsOver(h) && AudioEditGetProcessProgress(h) < at) std::this_thread::yield();
        if (at <= 100) { EXPECT_EQ(0, AudioEditCancelPressed(h)); }
        while (!AudioEditProcessIsOver(h)) Sleep(1);
        const WORD reason = AudioEditGetReasonForProcessExit(h);
        AudioEditCloseHandle(&h);
        const auto steps = RefSteps(src, t[0], t[1], t[2]);
        const Bytes got = qt::ReadBytes(out);
        if (reason == 0) {
            EXPECT_TRUE(got == steps.back());
        } else {
            ++cancelled;
            EXPECT_EQ(311, reason);
            EXPECT_TRUE(got == old || got == input || std::find(steps.begin(), steps.end(), got) != steps.end());
        }
        EXPECT_EQ(3u, qt::ListDir(dir_.path()).size()) << "only the input, the output and the temporary folder";
        ExpectNoWorkFileLeft();
    }
    std::printf("[          ] %d of 24 jobs cancelled before their end\n", cancelled);
}

// A killed process leaves the output as it was or as the whole new file, never a finished step
// in between, and nothing beside it.
TEST_F(FormatChange, KillMinusNineMidJob) {
#ifdef _WIN32
    GTEST_SKIP() << "killing a forked child in the middle of a conversion needs fork(): Linux only";
#else
    const std::uint32_t seed = 777;
    std::mt19937 gen(seed);
    const Bytes raw = SourceBytes(8192 * 400, 16, 41);
    const std::string in = Write("in.wav", qt::PcmWave(2, 22050, 16, raw));
    const Bytes old = qt::PcmWave(1, 8000, 8, Bytes(50, 128));
    const Bytes result = RefSteps(Decode(raw, 2, 22050, 16), 44100, 1, 8).back();
    int killedBeforeTheEnd = 0;
    for (int i = 0; i < 8; ++i) {
        const unsigned delayUs = std::uniform_int_distribution<unsigned>(0, 100000)(gen);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << i << " kill after " << delayUs << " us");
        const std::string out = Write("out.wav", old);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(ConvertFormat(in.c_str(), out.c_str(), 44100, 8, 1, nullptr) == 0 ? 0 : 1);
        usleep(delayUs);
        kill(child, SIGKILL);
        ASSERT_EQ(child, waitpid(child, nullptr, 0));
        const Bytes got = qt::ReadBytes(out);
        EXPECT_TRUE(got == old || got == result) << "the output is neither the old file nor the new one";
        killedBeforeTheEnd += got == old;
        EXPECT_EQ(3u, qt::ListDir(dir_.path()).size()) << "nothing but the input, the output and the temporary folder";
        // A killed process cannot remove its work files from the temporary directory: at most
        // the finished step's and the running pass's are new there. They go before the next round.
        int extra = 0;
        for (const std::string& n : StrayTempFiles())
            extra += DeleteFileA((tempDir_ + QL_PATH_SEPARATOR + n).c_str()) ? 1 : 0;
        EXPECT_LE(extra, 2);
    }
    std::printf("[          ] %d of 8 children killed before their result was in place\n", killedBeforeTheEnd);
#endif
}

// A disk too small for the result: 358, the output as it was, nothing left on that disk, with
// the work files there or elsewhere; a change that fits still works.
TEST_F(FormatChange, FullDisk) {
    qt::TinyDisk disk(dir_.File("small"), "256k");
    QT_SKIP_WITHOUT_TMPFS(disk);
    const std::string& small = disk.path();
    const Bytes raw = SourceBytes(100000, 16, 51);
    const std::string in = Write("in.wav", qt::PcmWave(1, 11025, 16, raw));
    const Bytes old = qt::PcmWave(1, 8000, 8, Bytes(50, 128));
    const std::string out = disk.File("out.wav");
    auto listing = [&] {
        std::vector<std::string> names = qt::ListDir(small);
        std::sort(names.begin(), names.end());
        return names;
    };
    for (bool tempOnSmall : {true, false}) {
        SCOPED_TRACE(tempOnSmall ? "work files on the full disk" : "work files elsewhere");
        ASSERT_TRUE(qt::WriteBytes(out, old));
        ASSERT_EQ(0, SetTempPath((tempOnSmall ? small : tempDir_).c_str()));
        const std::vector<std::string> before = listing();
        // Four times the input: 400 000 bytes on a 256 KiB filesystem.
        EXPECT_EQ(358, Change(in, out, 44100, 16, 1));
        EXPECT_TRUE(qt::ReadBytes(out) == old);
        EXPECT_EQ(before, listing());
        EXPECT_EQ(0, Change(in, out, 11025, 8, 1));
        EXPECT_TRUE(qt::ReadBytes(out) == RefSteps(Decode(raw, 1, 11025, 16), 11025, 1, 8).back());
        EXPECT_EQ(before, listing());
    }
}

// The host's format command: a result byte for byte, values not given kept, an error in words.
TEST_F(FormatChange, HostCommandConvertsAndReportsErrorsInWords) {
    const Bytes raw = SourceBytes(8192 * 3 + 40, 16, 61);
    const Audio src = Decode(raw, 2, 44100, 16);
    const std::string in = Write("in.wav", qt::PcmWave(2, 44100, 16, raw)), out = dir_.File("out.wav");
    const std::string host = qt::HostCommand() + " format \"" + in + "\" ";
    std::string text;
    EXPECT_EQ(0, qt::RunCommand(host + "--rate 22050 --channels 1 --bits 8 -o \"" + out + "\"", &text));
    EXPECT_TRUE(qt::ReadBytes(out) == RefSteps(src, 22050, 1, 8).back());
    EXPECT_EQ(1, qt::RunCommand(host + "--rate 48000 2>&1", &text));
    EXPECT_NE(std::string::npos, text.find("error 359")) << text;
    EXPECT_NE(std::string::npos, text.find("whole multiples")) << text;
    EXPECT_EQ(2, qt::RunCommand(host + "--rate 2>&1", &text));
    // Values not given stay as the file has them; without -o the file itself changes.
    EXPECT_EQ(0, qt::RunCommand(host + "--bits 8", &text));
    EXPECT_TRUE(qt::ReadBytes(in) == RefSteps(src, 44100, 2, 8).back());
    EXPECT_EQ(3u, qt::ListDir(dir_.path()).size()) << "no work file beside the targets and the temporary folder";
}

}  // namespace
