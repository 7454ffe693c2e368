// PCM format change. Every conversion the change allows (rate ratios up and down, mono and
// stereo, 8 and 16 bits, in and out) is compared byte for byte with a reference written here,
// apart from the library: frames repeated or dropped with the dropping restarting every 8192
// input bytes, stereo folded by a mean truncated toward zero, widths moved by 256. Then every
// refusal, from outside; the job's progress; cancel at random moments, kill -9 in the middle and
// a full disk, after which the output is a whole file and no work file is left.
#include "convert/format.h"
#include "frame/state.h"
#include "frame/utils.h"
#include "quillon.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
    std::vector<int> samples;
    int FrameBytes() const { return channels * bits / 8; }
    std::size_t Frames() const { return samples.size() / channels; }
};

// Whole frames of raw little-endian data; bytes that do not make a whole frame are left out.
Audio Decode(const Bytes& data, int channels, std::uint32_t rate, int bits) {
    Audio a{channels, rate, bits, {}};
    const std::size_t frames = data.size() / a.FrameBytes();
    for (std::size_t i = 0; i < frames * channels; ++i) {
        if (bits == 8) {
            a.samples.push_back(data[i]);
        } else {
            const unsigned v = data[2 * i] + 256u * data[2 * i + 1];
            a.samples.push_back(v >= 32768 ? static_cast<int>(v) - 65536 : static_cast<int>(v));
        }
    }
    return a;
}

Bytes Encode(const Audio& a) {
    Bytes out;
    for (int s : a.samples) {
        if (a.bits == 8) {
            out.push_back(static_cast<std::uint8_t>(s));
        } else {
            const unsigned v = s < 0 ? static_cast<unsigned>(s + 65536) : static_cast<unsigned>(s);
            out.push_back(static_cast<std::uint8_t>(v % 256));
            out.push_back(static_cast<std::uint8_t>(v / 256));
        }
    }
    return out;
}

// Rate: up by repeating every frame, down by keeping every n-th frame of each 8192-byte block of
// the input (the count starts again at each block).
Audio RefRate(const Audio& in, std::uint32_t newRate) {
    Audio out{in.channels, newRate, in.bits, {}};
    const int ch = in.channels;
    auto frameAt = [&](std::size_t f) {
        return std::vector<int>(in.samples.begin() + f * ch, in.samples.begin() + (f + 1) * ch);
    };
    if (newRate > in.rate) {
        const std::uint32_t times = newRate / in.rate;
        for (std::size_t f = 0; f < in.Frames(); ++f)
            for (std::uint32_t k = 0; k < times; ++k) {
                const auto fr = frameAt(f);
                out.samples.insert(out.samples.end(), fr.begin(), fr.end());
            }
    } else {
        const std::size_t keepEvery = in.rate / newRate;
        const std::size_t framesPerBlock = 8192 / in.FrameBytes();
        for (std::size_t f = 0; f < in.Frames(); ++f) {
            if ((f % framesPerBlock) % keepEvery != 0) continue;
            const auto fr = frameAt(f);
            out.samples.insert(out.samples.end(), fr.begin(), fr.end());
        }
    }
    return out;
}

Audio RefChannels(const Audio& in, int newChannels) {
    Audio out{newChannels, in.rate, in.bits, {}};
    if (in.channels == 2) {
        const double zero = in.bits == 8 ? 128.0 : 0.0;
        const double lo = in.bits == 8 ? -128.0 : -32768.0, hi = in.bits == 8 ? 127.0 : 32767.0;
        for (std::size_t f = 0; f < in.Frames(); ++f) {
            const double mean = std::trunc(((in.samples[2 * f] - zero) + (in.samples[2 * f + 1] - zero)) / 2.0);
            out.samples.push_back(static_cast<int>(std::min(hi, std::max(lo, mean)) + zero));
        }
    } else {
        for (int s : in.samples) {
            out.samples.push_back(s);
            out.samples.push_back(s);
        }
    }
    return out;
}

Audio RefBits(const Audio& in, int newBits) {
    Audio out{in.channels, in.rate, newBits, {}};
    for (int s : in.samples)
        out.samples.push_back(newBits == 8 ? static_cast<int>(std::trunc(s / 256.0)) + 128 : (s - 128) * 256);
    return out;
}

// The file every pass writes: RIFF, an 18-byte "fmt " (cbSize 0), "data", a pad byte when odd.
Bytes RefFile(const Audio& a) {
    const Bytes data = Encode(a);
    const std::uint16_t align = static_cast<std::uint16_t>(a.FrameBytes());
    Bytes f;
    qt::PutId(f, "RIFF");
    qt::Put32(f, static_cast<std::uint32_t>(4 + 8 + 18 + 8 + data.size() + (data.size() & 1)));
    qt::PutId(f, "WAVE");
    qt::PutId(f, "fmt ");
    qt::Put32(f, 18);
    qt::Put16(f, 1);
    qt::Put16(f, static_cast<std::uint16_t>(a.channels));
    qt::Put32(f, a.rate);
    qt::Put32(f, a.rate * align);
    qt::Put16(f, align);
    qt::Put16(f, static_cast<std::uint16_t>(a.bits));
    qt::Put16(f, 0);
    qt::PutId(f, "data");
    qt::Put32(f, static_cast<std::uint32_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    if (data.size() & 1) f.push_back(0);
    return f;
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

// Source audio: the extreme and edge values first, then seeded noise.
Bytes SourceBytes(std::size_t n, int bits, std::uint32_t seed) {
    Bytes b;
    if (bits == 16) {
        for (int v : {-32768, 32767, -1, 1, -3, 0, 3, 0, -255, 255, -256, 256, -257, 257, 0, 0})
            qt::Put16(b, static_cast<std::uint16_t>(v));
    } else {
        for (int v : {0, 255, 128, 127, 0, 1, 1, 0, 129, 255, 254, 0, 2, 3, 5, 7})
            b.push_back(static_cast<std::uint8_t>(v));
    }
    std::mt19937 gen(seed);
    while (b.size() < n) b.push_back(static_cast<std::uint8_t>(gen()));
    b.resize(n);
    return b;
}

// ---------------------------------------------------------------------------------------------
// A scratch folder that is also the library's temporary directory for the test, so that work
// files left behind show.
class FormatFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CopyName(savedTempPath_, gTempPath);
        ASSERT_TRUE(qt::FileExists(temp_.path()));
        ASSERT_EQ(0, SetTempPath(temp_.path().c_str()));
        tempBefore_ = Listing(temp_.path());
    }
    void TearDown() override { SetTempPath(savedTempPath_); }

    static std::set<std::string> Listing(const std::string& dir) {
        const auto names = qt::ListDir(dir);
        return std::set<std::string>(names.begin(), names.end());
    }
    // The temporary directory holds what it held before the test's conversions.
    void ExpectNoWorkFileLeft() { EXPECT_EQ(tempBefore_, Listing(temp_.path())); }

    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = dir_.File(name);
        EXPECT_TRUE(qt::WriteBytes(path, bytes));
        return path;
    }

    qt::ScratchDir dir_;   // inputs and outputs
    qt::ScratchDir temp_;  // the library's temporary directory
    std::set<std::string> tempBefore_;
    char savedTempPath_[kNameSize] = {};
};

struct Layout {
    int channels, bits;
};
const Layout kLayouts[] = {{1, 8}, {1, 16}, {2, 8}, {2, 16}};

// Ratios from 22 050 Hz: up by 2 and 3, down by 2, 3, 5 and 7, and the same rate.
const std::uint32_t kRates[] = {22050, 44100, 66150, 11025, 7350, 4410, 3150};

using FormatConversion = FormatFixture;

// Every allowed combination, through the exported call, synchronously; three blocks and a tail.
TEST_F(FormatConversion, EveryAllowedCombinationMatchesTheReference) {
    const std::size_t dataBytes = 8192 * 2 + 1004;  // whole frames for every layout
    int checked = 0;
    for (const Layout& from : kLayouts) {
        const Bytes raw = SourceBytes(dataBytes, from.bits, 11 + from.channels * 3 + from.bits);
        const Audio src = Decode(raw, from.channels, 22050, from.bits);
        const std::string in = Write("in.wav", qt::PcmWave(from.channels, 22050, from.bits, raw));
        for (const Layout& to : kLayouts)
            for (std::uint32_t rate : kRates) {
                SCOPED_TRACE(testing::Message() << from.channels << "ch/" << from.bits << "bit/22050 -> " << to.channels
                                                << "ch/" << to.bits << "bit/" << rate);
                const std::string out = dir_.File("out.wav");
                DeleteFileA(out.c_str());
                const WORD r = AudioChangeFormat(in.c_str(), out.c_str(), rate, static_cast<WORD>(to.bits),
                                                 static_cast<WORD>(to.channels), nullptr, 1);
                if (rate == 22050 && from.channels == to.channels && from.bits == to.bits) {
                    EXPECT_EQ(360, r);
                    EXPECT_FALSE(qt::FileExists(out));
                    continue;
                }
                ASSERT_EQ(0, r);
                const auto steps = RefSteps(src, rate, to.channels, to.bits);
                ASSERT_TRUE(qt::ReadBytes(out) == steps.back()) << "output differs from the reference";
                ++checked;
            }
    }
    EXPECT_EQ(4 * 4 * 7 - 4, checked);
    ExpectNoWorkFileLeft();
}

// The values named for each arithmetic rule, with the expected bytes written out by hand.
TEST_F(FormatConversion, SampleRulesByHand) {
    struct Case {
        const char* what;
        int channels, bits;
        Bytes data;
        int toChannels, toBits;
        Bytes expected;
    };
    const Case cases[] = {
        {"stereo 16 to mono: (-3,0) -1, (3,0) 1, (-32768,-32768), (32767,32767), (-1,0) 0",
         2, 16, {0xFD, 0xFF, 0, 0, 3, 0, 0, 0, 0, 0x80, 0, 0x80, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0xFF, 0, 0},
         1, 16, {0xFF, 0xFF, 1, 0, 0, 0x80, 0xFF, 0x7F, 0, 0}},
        {"stereo 8 to mono: (0,1) 1, (255,255) 255, (0,0) 0, (128,127) 128, (127,128) 128",
         2, 8, {0, 1, 255, 255, 0, 0, 128, 127, 127, 128}, 1, 8, {1, 255, 0, 128, 128}},
        {"16 to 8: -32768 0, -256 127, -255 128, -1 128, 255 128, 256 129, 32767 255",
         1, 16, {0, 0x80, 0, 0xFF, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0xFF, 0x7F},
         1, 8, {0, 127, 128, 128, 128, 129, 255}},
        {"8 to 16: 0 -32768, 128 0, 255 32512, 127 -256", 1, 8, {0, 128, 255, 127}, 1, 16,
         {0, 0x80, 0, 0, 0, 0x7F, 0, 0xFF}},
        {"mono 16 to stereo: every sample left and right", 1, 16, {1, 2, 3, 4}, 2, 16, {1, 2, 1, 2, 3, 4, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = Write("in.wav", qt::PcmWave(static_cast<std::uint16_t>(c.channels), 8000,
                                                          static_cast<std::uint16_t>(c.bits), c.data));
        const std::string out = dir_.File("out.wav");
        ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), 8000, static_cast<WORD>(c.toBits),
                                       static_cast<WORD>(c.toChannels), nullptr, 1));
        const Bytes got = qt::ReadBytes(out);
        ASSERT_GE(got.size(), 46u);
        EXPECT_EQ(c.expected, Bytes(got.begin() + 46, got.begin() + 46 + c.expected.size()));
    }
}

// Lowering 16-bit stereo by 3 keeps frames 0, 3, ..., 2046 of each 2048-frame block: 683 a block.
TEST_F(FormatConversion, DroppingRestartsEveryBlock) {
    Bytes raw;
    for (std::uint32_t f = 0; f < 2048 * 2; ++f) {
        qt::Put16(raw, static_cast<std::uint16_t>(f));
        qt::Put16(raw, static_cast<std::uint16_t>(~f));
    }
    const std::string in = Write("in.wav", qt::PcmWave(2, 44100, 16, raw));
    const std::string out = dir_.File("out.wav");
    ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), 14700, 16, 2, nullptr, 1));
    const Bytes got = qt::ReadBytes(out);
    ASSERT_EQ(46u + 683 * 2 * 4, got.size());
    std::vector<std::uint32_t> kept;
    for (std::size_t i = 46; i < got.size(); i += 4) kept.push_back(got[i] | (got[i + 1] << 8));
    EXPECT_EQ(0u, kept[0]);
    EXPECT_EQ(2046u, kept[682]);
    EXPECT_EQ(2048u, kept[683]);  // the second block starts again at its own frame 0
    EXPECT_EQ(2051u, kept[684]);
}

// Input files of other shapes: the result holds only "fmt " (18 bytes) and "data".
TEST_F(FormatConversion, InputShapes) {
    const Bytes raw = SourceBytes(8192 + 333, 8, 5);  // odd: the data chunk has a pad byte
    const Audio src = Decode(raw, 1, 8000, 8);
    const Bytes expected = RefSteps(src, 16000, 1, 16).back();
    auto withFmt = [&](const Bytes& f) { return qt::RiffFile({{"fmt ", f}, {"data", raw}}); };
    struct Shape {
        const char* what;
        Bytes file;
    };
    const Shape shapes[] = {
        {"fmt of 16 bytes", qt::PcmWave(1, 8000, 8, raw)},
        {"fmt of 18 bytes", withFmt(qt::FormatBytes(1, 1, 8000, 8, 1, true, 0))},
        {"fmt of 40 bytes with extra bytes",
         qt::RiffFile({{"fmt ", [] {
                            Bytes f = qt::FormatBytes(1, 1, 8000, 8, 1, true, 22);
                            f.resize(40, 0x55);
                            return f;
                        }()},
                       {"data", raw}})},
        {"a LIST chunk between fmt and data, a chunk after data",
         qt::RiffFile({{"fmt ", qt::PcmFormat(1, 8000, 8)},
                       {"LIST", Bytes(13, 'x')},
                       {"data", raw},
                       {"cue ", Bytes(8, 1)}})},
        {"a wrong byte rate and 7 declared bits in 8-bit frames",
         withFmt(qt::FormatBytes(1, 1, 8000, 7, 1))},
    };
    for (const Shape& s : shapes) {
        SCOPED_TRACE(s.what);
        const std::string in = Write("in.wav", s.file);
        const std::string out = dir_.File("out.wav");
        ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), 16000, 16, 1, nullptr, 1));
        EXPECT_TRUE(qt::ReadBytes(out) == expected);
    }
}

// Trailing bytes that make no whole frame are left out; a data chunk longer than the file is
// converted as far as the file goes; the output may be the input itself.
TEST_F(FormatConversion, PartialFramesTruncatedFilesAndInPlace) {
    const Bytes raw = SourceBytes(8192 * 2 + 12, 16, 9);
    {
        SCOPED_TRACE("16-bit stereo with 2 stray bytes at the end");
        Bytes odd = raw;
        odd.resize(raw.size() + 2, 0x77);
        const std::string in = Write("in.wav", qt::PcmWave(2, 44100, 16, odd));
        const std::string out = dir_.File("out.wav");
        ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), 44100, 8, 2, nullptr, 1));
        EXPECT_TRUE(qt::ReadBytes(out) == RefSteps(Decode(raw, 2, 44100, 16), 44100, 2, 8).back());
    }
    {
        SCOPED_TRACE("data chunk declaring 4000 bytes more than the file holds");
        const std::string in =
            Write("in.wav", qt::RiffFile({{"fmt ", qt::PcmFormat(2, 44100, 16)},
                                          {"data", raw, true, static_cast<std::uint32_t>(raw.size() + 4000)}}));
        const std::string out = dir_.File("out.wav");
        ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), 22050, 16, 1, nullptr, 1));
        EXPECT_TRUE(qt::ReadBytes(out) == RefSteps(Decode(raw, 2, 44100, 16), 22050, 1, 16).back());
    }
    {
        SCOPED_TRACE("output name equal to the input name");
        const std::string in = Write("same.wav", qt::PcmWave(2, 44100, 16, raw));
        ASSERT_EQ(0, AudioChangeFormat(in.c_str(), in.c_str(), 22050, 8, 1, nullptr, 1));
        EXPECT_TRUE(qt::ReadBytes(in) == RefSteps(Decode(raw, 2, 44100, 16), 22050, 1, 8).back());
    }
    ExpectNoWorkFileLeft();
}

// ---------------------------------------------------------------------------------------------
// Refusals through the exported call: the result code, no output, no work file.
using FormatRefusal = FormatFixture;

TEST_F(FormatRefusal, EveryCodeFromTheExportedCall) {
    const Bytes raw = SourceBytes(4000, 16, 3);
    const Bytes good = qt::PcmWave(2, 44100, 16, raw);
    const Bytes fmt = qt::PcmFormat(2, 44100, 16);
    auto withFmt = [&](const Bytes& f) { return qt::RiffFile({{"fmt ", f}, {"data", raw}}); };
    struct Case {
        const char* what;
        Bytes file;  // empty: no file at all, unless `emptyFile`
        bool emptyFile;
        std::uint32_t rate;
        int bits, channels;
        const char* output;  // null: "out.wav" in the scratch folder
        WORD code;
    };
    const std::string missingFolder = dir_.File("no-such-folder") + QL_PATH_SEPARATOR + "out.wav";
    const Case cases[] = {
        {"missing file", {}, false, 22050, 16, 2, nullptr, 102},
        {"empty file", {}, true, 22050, 16, 2, nullptr, 102},
        {"compressed (IMA ADPCM tag)", withFmt(qt::FormatBytes(0x11, 2, 44100, 4, 2048)),
         false, 22050, 16, 2, nullptr, 318},
        {"not a WAVE file", Bytes(100, 'z'), false, 22050, 16, 2, nullptr, 318},
        {"fmt at the end of the file, fewer than 18 bytes to read", qt::RiffFile({{"fmt ", fmt}}), false, 22050, 16, 2,
         nullptr, 353},
        {"no data chunk", qt::RiffFile({{"fmt ", fmt}, {"LIST", Bytes(20, 'x')}}), false, 22050, 16, 2, nullptr, 355},
        {"data chunk before fmt", qt::RiffFile({{"data", raw}, {"fmt ", fmt}, {"LIST", Bytes(4, 'x')}}), false, 22050,
         16, 2, nullptr, 355},
        {"data chunk before fmt, fmt last: its 18-byte read comes short", qt::RiffFile({{"data", raw}, {"fmt ", fmt}}),
         false, 22050, 16, 2, nullptr, 353},
        {"empty data chunk", qt::RiffFile({{"fmt ", fmt}, {"data", {}}}), false, 22050, 16, 2, nullptr, 356},
        {"data chunk declared but absent", qt::RiffFile({{"fmt ", fmt}, {"data", {}, true, 1000}}), false, 22050, 16, 2,
         nullptr, 356},
        {"output in a missing folder", good, false, 22050, 16, 2, missingFolder.c_str(), 358},
        {"empty output name", good, false, 22050, 16, 2, "", 358},
        {"44100 to 48000", good, false, 48000, 16, 2, nullptr, 359},
        {"44100 to 30000", good, false, 30000, 16, 1, nullptr, 359},
        {"rate 0", good, false, 0, 16, 2, nullptr, 359},
        {"the same format", good, false, 44100, 16, 2, nullptr, 360},
        {"the same format with 16 bits declared as 12",
         withFmt(qt::FormatBytes(1, 2, 44100, 12, 4)), false, 44100, 16, 2, nullptr, 360},
        {"3 channels asked", good, false, 44100, 16, 3, nullptr, 361},
        {"0 channels asked", good, false, 22050, 16, 0, nullptr, 361},
        {"24 bits asked", good, false, 44100, 24, 2, nullptr, 361},
        {"12 bits asked", good, false, 44100, 12, 2, nullptr, 361},
        {"0 bits asked", good, false, 22050, 0, 2, nullptr, 361},
        {"a 3-channel input", qt::PcmWave(3, 44100, 16, raw), false, 22050, 16, 2, nullptr, 361},
        {"a 24-bit input", qt::PcmWave(2, 44100, 24, raw), false, 22050, 16, 2, nullptr, 361},
        {"an input with block align 0", withFmt(qt::FormatBytes(1, 2, 44100, 16, 0)),
         false, 22050, 16, 2, nullptr, 361},
        {"an input with 0 channels", withFmt(qt::FormatBytes(1, 0, 44100, 16, 4)), false,
         22050, 16, 2, nullptr, 361},
        {"an input with block align 3 for 2 channels",
         withFmt(qt::FormatBytes(1, 2, 44100, 8, 3)), false, 22050, 8, 2, nullptr, 361},
        {"an input at 0 Hz", withFmt(qt::FormatBytes(1, 2, 0, 16, 4)), false, 22050, 16, 2,
         nullptr, 359},
        // One frame at 1 Hz raised to 4 294 967 295 Hz: a result no RIFF file can hold.
        {"a result larger than a RIFF file holds", qt::PcmWave(1, 1, 8, Bytes{7}), false, 0xFFFFFFFFu, 8, 1, nullptr,
         358},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = dir_.File("in.wav");
        DeleteFileA(in.c_str());
        if (!c.file.empty() || c.emptyFile) Write("in.wav", c.file);
        const std::string out = c.output ? std::string(c.output) : dir_.File("out.wav");
        QUILLON_EDIT_HANDLE untouched = reinterpret_cast<QUILLON_EDIT_HANDLE>(0x55);
        EXPECT_EQ(c.code, AudioChangeFormat(in.c_str(), out.c_str(), c.rate, static_cast<WORD>(c.bits),
                                            static_cast<WORD>(c.channels), &untouched, 1));
        EXPECT_EQ(reinterpret_cast<QUILLON_EDIT_HANDLE>(0x55), untouched);
        if (!out.empty()) {
            EXPECT_FALSE(qt::FileExists(out));
        }
        if (c.code < 350) {
            // The start call's own refusals make no job.
            QUILLON_EDIT_HANDLE h = reinterpret_cast<QUILLON_EDIT_HANDLE>(0x55);
            EXPECT_EQ(c.code, AudioChangeFormat(in.c_str(), out.c_str(), c.rate, static_cast<WORD>(c.bits),
                                                static_cast<WORD>(c.channels), &h, 0));
            EXPECT_EQ(reinterpret_cast<QUILLON_EDIT_HANDLE>(0x55), h);
        } else {
            // The routine's codes come back as the job's reason for exit.
            QUILLON_EDIT_HANDLE h = nullptr;
            ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), c.rate, static_cast<WORD>(c.bits),
                                           static_cast<WORD>(c.channels), &h, 0));
            ASSERT_NE(nullptr, h);
            while (!AudioEditProcessIsOver(h)) Sleep(1);
            EXPECT_EQ(c.code, AudioEditGetReasonForProcessExit(h));
            EXPECT_EQ(0, AudioEditCloseHandle(&h));
            EXPECT_EQ(nullptr, h);
        }
    }
    ExpectNoWorkFileLeft();
}

// The start call's own checks: nothing named and nothing loaded, the file playing, and an
// asynchronous call without a place for the handle.
TEST_F(FormatRefusal, StartCallChecks) {
    const std::string in = Write("in.wav", qt::PcmWave(1, 8000, 8, SourceBytes(100, 8, 1)));
    const std::string out = dir_.File("out.wav");
    char savedPlayback[kNameSize];
    CopyName(savedPlayback, playbackFileName);
    const int savedPlaying = alreadyPlaying;

    playbackFileName[0] = '\0';
    EXPECT_EQ(100, AudioChangeFormat("", out.c_str(), 16000, 8, 1, nullptr, 1));
    EXPECT_EQ(100, AudioChangeFormat(nullptr, out.c_str(), 16000, 8, 1, nullptr, 1));

    CopyName(playbackFileName, in.c_str());
    alreadyPlaying = 1;
    EXPECT_EQ(310, AudioChangeFormat(in.c_str(), out.c_str(), 16000, 8, 1, nullptr, 1));
    EXPECT_FALSE(qt::FileExists(out));
    alreadyPlaying = 0;
    // An empty name means the file loaded for playback.
    EXPECT_EQ(0, AudioChangeFormat("", out.c_str(), 16000, 8, 1, nullptr, 1));
    EXPECT_TRUE(qt::FileExists(out));

    EXPECT_EQ(357, AudioChangeFormat(in.c_str(), out.c_str(), 4000, 8, 1, nullptr, 0));

    CopyName(playbackFileName, savedPlayback);
    alreadyPlaying = savedPlaying;
}

// Codes the start call's own checks catch first (a file that is no WAVE file, has no format,
// or is not PCM counts as compressed there): the routine itself gives its own.
TEST_F(FormatRefusal, RoutineCodesBehindTheStartChecks) {
    const Bytes raw = SourceBytes(1000, 16, 4);
    auto withFmt = [&](const Bytes& f) { return qt::RiffFile({{"fmt ", f}, {"data", raw}}); };
    struct Case {
        const char* what;
        Bytes file;
        WORD code;
    };
    const Case cases[] = {
        {"no file", {}, 350},
        {"not a RIFF WAVE file", qt::RiffFile({{"fmt ", qt::PcmFormat(2, 44100, 16)}, {"data", raw}}, "AVI "), 351},
        {"no fmt chunk", qt::RiffFile({{"data", raw}}), 352},
        {"tag 2", withFmt(qt::FormatBytes(2, 2, 44100, 16, 4)), 354},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = dir_.File("in.wav");
        DeleteFileA(in.c_str());
        if (!c.file.empty()) Write("in.wav", c.file);
        const std::string out = dir_.File("out.wav");
        EXPECT_EQ(c.code, ConvertFormat(in.c_str(), out.c_str(), 22050, 16, 2, nullptr));
        EXPECT_FALSE(qt::FileExists(out));
    }
    ExpectNoWorkFileLeft();
}

// ---------------------------------------------------------------------------------------------
// Jobs: progress and cancel.
using FormatJob = FormatFixture;

struct JobResult {
    WORD reason;
    DWORD progress;
};

JobResult RunJob(const std::string& in, const std::string& out, std::uint32_t rate, int bits, int channels) {
    QUILLON_EDIT_HANDLE h = nullptr;
    EXPECT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), rate, static_cast<WORD>(bits), static_cast<WORD>(channels),
                                   &h, 0));
    EXPECT_NE(nullptr, h);
    if (h == nullptr) return {0xFFFF, 0};
    while (!AudioEditProcessIsOver(h)) Sleep(1);
    const JobResult r{AudioEditGetReasonForProcessExit(h), AudioEditGetProcessProgress(h)};
    AudioEditCloseHandle(&h);
    return r;
}

TEST_F(FormatJob, ProgressOfEachKindOfJob) {
    struct Case {
        const char* what;
        int channels, bits;
        std::size_t bytes;
        std::uint32_t rate;
        int toChannels, toBits;
        DWORD progress;
    };
    const Case cases[] = {
        {"rate only ends at 100", 2, 16, 8192 * 5 + 100, 22050, 2, 16, 100},
        // Reported before each block is read: a one-block job never moves from 0.
        {"channels only, one block, stays at 0", 2, 16, 8000, 44100, 1, 16, 0},
        // Reported after each block is read, before its conversion: 100 * 1 / 2.
        {"bits only, two blocks, ends at 50", 1, 16, 16384, 44100, 1, 8, 50},
        // Rate: 33 (32 768 bytes). Channels: 16 384 bytes in two blocks: 33, then 33 + 33/2 = 49.
        // Bits: 8 192 bytes, one block, reported before its conversion: 49.
        {"all three: 33, then 49, then 49", 2, 16, 32768, 22050, 1, 8, 49},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes raw = SourceBytes(c.bytes, c.bits, 21);
        const std::string in = Write("in.wav", qt::PcmWave(static_cast<std::uint16_t>(c.channels), 44100,
                                                          static_cast<std::uint16_t>(c.bits), raw));
        const std::string out = dir_.File("out.wav");
        const JobResult r = RunJob(in, out, c.rate, c.toBits, c.toChannels);
        EXPECT_EQ(0, r.reason);
        EXPECT_EQ(c.progress, r.progress);
        EXPECT_TRUE(qt::ReadBytes(out) ==
                    RefSteps(Decode(raw, c.channels, 44100, c.bits), c.rate, c.toChannels, c.toBits).back());
    }
    ExpectNoWorkFileLeft();
}

// A cancel already set when a pass starts: the rate pass stops after its first block with the
// output as it was; the channel pass stops before reading, the output holding a copy of the input.
TEST_F(FormatJob, CancelSetBeforeTheStart) {
    const Bytes raw = SourceBytes(8192 * 4, 16, 8);
    const Bytes input = qt::PcmWave(2, 44100, 16, raw);
    const std::string in = Write("in.wav", input);
    const Bytes old = {'o', 'l', 'd'};
    struct Case {
        const char* what;
        std::uint32_t rate;
        int channels, bits;
        DWORD progress;
        Bytes outputAfter;
    };
    const Case cases[] = {
        {"rate and channels", 22050, 1, 16, 50 * 8192 / 32768, old},
        {"channels only", 44100, 1, 16, 0, input},
        {"bits only", 44100, 2, 8, 0, input},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string out = Write("out.wav", old);
        tEDITWORKTHREADINFO job{};
        job.cbSize = sizeof job;
        job.cancelPressed = 1;
        EXPECT_EQ(311, ConvertFormat(in.c_str(), out.c_str(), c.rate, static_cast<WORD>(c.bits),
                                     static_cast<WORD>(c.channels), &job));
        EXPECT_EQ(c.progress, job.progressCounter.load());
        EXPECT_TRUE(qt::ReadBytes(out) == c.outputAfter);
    }
    ExpectNoWorkFileLeft();
}

// A cancel that arrives in the channel pass leaves the rate pass's finished result.
TEST_F(FormatJob, CancelInTheChannelPassLeavesTheRateResult) {
    const Bytes raw = SourceBytes(8192 * 64, 16, 12);
    const std::string in = Write("in.wav", qt::PcmWave(2, 22050, 16, raw));
    const std::string out = Write("out.wav", {'o', 'l', 'd'});
    const auto steps = RefSteps(Decode(raw, 2, 22050, 16), 44100, 1, 16);
    tEDITWORKTHREADINFO job{};
    job.cbSize = sizeof job;
    // Progress above 50 is reported by the channel pass only (the rate pass covers 0 to 50).
    std::thread canceller([&] {
        while (job.progressCounter.load() <= 50 && job.threadExited.load() == 0) std::this_thread::yield();
        job.cancelPressed = 1;
    });
    const WORD r = ConvertFormat(in.c_str(), out.c_str(), 44100, 16, 1, &job);
    job.threadExited = 1;
    canceller.join();
    if (r == 0) {
        EXPECT_TRUE(qt::ReadBytes(out) == steps[1]) << "finished before the cancel landed";
    } else {
        EXPECT_EQ(311, r);
        EXPECT_TRUE(qt::ReadBytes(out) == steps[0]);
    }
    ExpectNoWorkFileLeft();
}

// Whole-file outcomes allowed after an interruption: what the output held before, or the
// result of the steps finished so far; a cancelled job that changed no rate may also leave a
// copy of the input.
bool IsAllowedOutcome(const Bytes& got, const Bytes& old, const Bytes& input, const std::vector<Bytes>& steps) {
    if (got == old || got == input) return true;
    return std::find(steps.begin(), steps.end(), got) != steps.end();
}

TEST_F(FormatJob, CancelAtRandomMoments) {
    const std::uint32_t seed = 20240601;
    std::mt19937 gen(seed);
    const Bytes raw = SourceBytes(8192 * 200, 16, 31);
    const Bytes input = qt::PcmWave(2, 22050, 16, raw);
    const Audio src = Decode(raw, 2, 22050, 16);
    const std::string in = Write("in.wav", input);
    const Bytes old = qt::PcmWave(1, 8000, 8, Bytes(50, 128));
    struct Target {
        std::uint32_t rate;
        int channels, bits;
    };
    const Target targets[] = {{44100, 1, 8}, {11025, 2, 16}, {22050, 1, 8}, {7350, 1, 16}};
    // The moments are drawn across the length of one uninterrupted job on this machine.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, RunJob(in, dir_.File("timing.wav"), 44100, 8, 1).reason);
    const auto full = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    DeleteFileA(dir_.File("timing.wav").c_str());
    const unsigned longest = static_cast<unsigned>(std::max<long long>(2, full.count() / 2));
    int cancelled = 0;
    for (int i = 0; i < 16; ++i) {
        const Target& t = targets[i % 4];
        const unsigned delayMs = std::uniform_int_distribution<unsigned>(0, longest)(gen);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << i << " delay " << delayMs << " ms");
        const std::string out = Write("out.wav", old);
        QUILLON_EDIT_HANDLE h = nullptr;
        ASSERT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), t.rate, static_cast<WORD>(t.bits),
                                       static_cast<WORD>(t.channels), &h, 0));
        Sleep(delayMs);
        EXPECT_EQ(0, AudioEditCancelPressed(h));
        while (!AudioEditProcessIsOver(h)) Sleep(1);
        const WORD reason = AudioEditGetReasonForProcessExit(h);
        AudioEditCloseHandle(&h);
        const auto steps = RefSteps(src, t.rate, t.channels, t.bits);
        const Bytes got = qt::ReadBytes(out);
        if (reason == 0) {
            EXPECT_TRUE(got == steps.back());
        } else {
            ++cancelled;
            EXPECT_EQ(311, reason);
            EXPECT_TRUE(IsAllowedOutcome(got, old, input, steps));
        }
        const auto names = qt::ListDir(dir_.path());
        EXPECT_EQ(2u, names.size()) << "only the input and the output in their folder";
        ExpectNoWorkFileLeft();
    }
    std::printf("[          ] %d of 16 jobs cancelled before their end\n", cancelled);
}

// ---------------------------------------------------------------------------------------------
// Interruptions the process does not survive, and a full disk (Linux only). A killed process
// leaves the output as it was or as the whole new file, never a finished step in between.
using FormatCrash = FormatFixture;

TEST_F(FormatCrash, KillMinusNineMidJob) {
#ifdef _WIN32
    GTEST_SKIP() << "killing a forked child in the middle of a conversion needs fork(): Linux only";
#else
    const std::uint32_t seed = 777;
    std::mt19937 gen(seed);
    const Bytes raw = SourceBytes(8192 * 400, 16, 41);
    const Bytes input = qt::PcmWave(2, 22050, 16, raw);
    const std::string in = Write("in.wav", input);
    const Bytes old = qt::PcmWave(1, 8000, 8, Bytes(50, 128));
    const auto steps = RefSteps(Decode(raw, 2, 22050, 16), 44100, 1, 8);
    int killedBeforeTheEnd = 0;
    for (int i = 0; i < 8; ++i) {
        const unsigned delayUs = std::uniform_int_distribution<unsigned>(0, 60000)(gen);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << i << " kill after " << delayUs << " us");
        const std::string out = Write("out.wav", old);
        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            const char go = 'g';
            if (write(ready[1], &go, 1) != 1) _exit(3);
            _exit(ConvertFormat(in.c_str(), out.c_str(), 44100, 8, 1, nullptr) == 0 ? 0 : 1);
        }
        close(ready[1]);
        char go = 0;
        ASSERT_EQ(1, read(ready[0], &go, 1));
        close(ready[0]);
        usleep(delayUs);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        const Bytes got = qt::ReadBytes(out);
        EXPECT_TRUE(got == old || got == steps.back()) << "the output is neither the old file nor the new one";
        if (got == old) ++killedBeforeTheEnd;
        EXPECT_EQ(2u, qt::ListDir(dir_.path()).size()) << "nothing but the input and the output beside them";
        // A killed process cannot remove its work files from the temporary directory: at most
        // the finished step's and the running pass's are new there. They go before the next round.
        std::set<std::string> now = Listing(temp_.path());
        std::vector<std::string> extra;
        for (const std::string& n : now)
            if (!tempBefore_.count(n)) extra.push_back(n);
        EXPECT_LE(extra.size(), 2u);
        for (const std::string& n : extra) DeleteFileA(temp_.File(n).c_str());
    }
    std::printf("[          ] %d of 8 children killed before their result was in place\n", killedBeforeTheEnd);
#endif
}

TEST_F(FormatCrash, FullDisk) {
#ifdef _WIN32
    GTEST_SKIP() << "a tiny filesystem is made with a tmpfs mount: Linux only";
#else
    const std::string small = dir_.File("small");
    ASSERT_EQ(0, mkdir(small.c_str(), 0755));
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
        rmdir(small.c_str());
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    }
    const Bytes raw = SourceBytes(100000, 16, 51);
    const std::string in = Write("in.wav", qt::PcmWave(1, 11025, 16, raw));
    const Bytes old = qt::PcmWave(1, 8000, 8, Bytes(50, 128));
    const std::string out = small + "/out.wav";
    ASSERT_TRUE(qt::WriteBytes(out, old));
    struct Case {
        const char* what;
        bool tempOnSmall;
    };
    for (const Case& c : {Case{"work files on the full disk", true}, Case{"work files elsewhere", false}}) {
        SCOPED_TRACE(c.what);
        const std::string tempDir = c.tempOnSmall ? small : temp_.path();
        ASSERT_EQ(0, SetTempPath(tempDir.c_str()));
        std::set<std::string> before = Listing(small);
        // Four times the input: 400 000 bytes on a 256 KiB filesystem.
        EXPECT_EQ(358, AudioChangeFormat(in.c_str(), out.c_str(), 44100, 16, 1, nullptr, 1));
        EXPECT_TRUE(qt::ReadBytes(out) == old);
        EXPECT_EQ(before, Listing(small));
        // A change that fits still works there.
        EXPECT_EQ(0, AudioChangeFormat(in.c_str(), out.c_str(), 11025, 8, 1, nullptr, 1));
        EXPECT_TRUE(qt::ReadBytes(out) == RefSteps(Decode(raw, 1, 11025, 16), 11025, 1, 8).back());
        EXPECT_EQ(before, Listing(small));
        ASSERT_TRUE(qt::WriteBytes(out, old));
    }
    SetTempPath(temp_.path().c_str());
    tempBefore_ = Listing(temp_.path());
    umount(small.c_str());
    rmdir(small.c_str());
#endif
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The host's format command: a result byte for byte, an error in words, and Ctrl-C.
namespace {

struct HostRun {
    int status;  // exit status, or -1
    std::string err;
};

#ifdef _WIN32
// Runs `quillon ARGS...` with stderr into `errFile`. Under Wine the build's path is a Unix one,
// reached through drive Z:.
HostRun RunHost(const std::vector<std::string>& args, const std::string& errFile) {
    std::string exe = QUILLON_CLI_PATH;
    if (!exe.empty() && exe[0] == '/') {
        exe = "Z:" + exe;
        std::replace(exe.begin(), exe.end(), '/', '\\');
    }
    std::string line = "\"" + exe + "\"";
    for (const std::string& a : args) line += " \"" + a + "\"";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE err = CreateFileA(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    HostRun r{-1, {}};
    std::vector<char> cmd(line.begin(), line.end());
    cmd.push_back('\0');
    if (CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(err);
    const Bytes text = qt::ReadBytes(errFile);
    r.err.assign(text.begin(), text.end());
    return r;
}
#else
// Starts `quillon ARGS...` with stderr into `errFile` and its temporary files in `tempDir`;
// returns the child's id.
pid_t StartHost(const std::vector<std::string>& args, const std::string& errFile, const std::string& tempDir) {
    const pid_t child = fork();
    if (child == 0) {
        setenv("TMPDIR", tempDir.c_str(), 1);
        std::FILE* err = std::freopen(errFile.c_str(), "w", stderr);
        if (err == nullptr) _exit(127);
        std::vector<char*> argv;
        static char name[] = "quillon";
        argv.push_back(name);
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QUILLON_CLI_PATH, argv.data());
        _exit(127);
    }
    return child;
}

HostRun WaitHost(pid_t child, const std::string& errFile) {
    int status = 0;
    HostRun r{-1, {}};
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    const Bytes err = qt::ReadBytes(errFile);
    r.err.assign(err.begin(), err.end());
    return r;
}

HostRun RunHost(const std::vector<std::string>& args, const std::string& errFile) {
    return WaitHost(StartHost(args, errFile, "/tmp"), errFile);
}
#endif

}  // namespace

using FormatHost = FormatFixture;

TEST_F(FormatHost, ConvertsAndReportsErrorsInWords) {
    const std::string errFile = temp_.File("stderr.txt");
    if (RunHost({"format"}, errFile).err.find("unknown command") != std::string::npos)
        GTEST_SKIP() << "this build of the host does not offer the format command";

    const Bytes raw = SourceBytes(8192 * 3 + 40, 16, 61);
    const std::string in = Write("in.wav", qt::PcmWave(2, 44100, 16, raw));
    const std::string out = dir_.File("out.wav");
    HostRun r = RunHost({"format", in, "--rate", "22050", "--channels", "1", "--bits", "8", "-o", out}, errFile);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(qt::ReadBytes(out) == RefSteps(Decode(raw, 2, 44100, 16), 22050, 1, 8).back());

    // Values not given stay as the file has them; without -o the file itself changes.
    const std::string inPlace = Write("inplace.wav", qt::PcmWave(2, 44100, 16, raw));
    r = RunHost({"format", inPlace, "--bits", "8"}, errFile);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(qt::ReadBytes(inPlace) == RefSteps(Decode(raw, 2, 44100, 16), 44100, 2, 8).back());

    r = RunHost({"format", in, "--rate", "48000", "-o", out}, errFile);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("error 359")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("whole multiples")) << r.err;
    EXPECT_EQ(2, RunHost({"format", in, "--rate"}, errFile).status);
    EXPECT_EQ(3u, qt::ListDir(dir_.path()).size()) << "no work file beside the targets";
}

TEST_F(FormatHost, CtrlCCancelsAndLeavesTheTarget) {
#ifdef _WIN32
    GTEST_SKIP() << "the host is interrupted with SIGINT from a forked parent: Linux only";
#else
    const std::string errFile = temp_.File("stderr.txt");
    if (RunHost({"format"}, errFile).err.find("unknown command") != std::string::npos)
        GTEST_SKIP() << "this build of the host does not offer the format command";
    const Bytes big = SourceBytes(8192 * 2000, 16, 62);
    const std::string bigIn = Write("big.wav", qt::PcmWave(2, 44100, 16, big));
    const std::string out = dir_.File("out.wav");
    const Bytes old = {'o', 'l', 'd'};
    int interrupted = 0;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(qt::WriteBytes(out, old));
        const std::size_t before = qt::ListDir(temp_.path()).size();
        const pid_t child =
            StartHost({"format", bigIn, "--rate", "22050", "--channels", "1", "-o", out}, errFile, temp_.path());
        // Interrupt once the job runs: the host's library has drawn its five temporary files
        // and the first pass its work file.
        for (int i = 0; i < 5000 && qt::ListDir(temp_.path()).size() < before + 6; ++i) usleep(1000);
        usleep(3000u * round);
        kill(child, SIGINT);
        const HostRun r = WaitHost(child, errFile);
        if (r.status == 130) {
            ++interrupted;
            EXPECT_TRUE(qt::ReadBytes(out) == old);
            EXPECT_NE(std::string::npos, r.err.find("cancelled")) << r.err;
        } else {
            EXPECT_EQ(0, r.status) << r.err;  // the job had ended before the signal
        }
        EXPECT_EQ(2u, qt::ListDir(dir_.path()).size()) << "no work file beside the target";
        // The host unloads its library on the way out, which removes its temporary files.
        EXPECT_EQ(before, qt::ListDir(temp_.path()).size()) << "the host left a temporary file";
    }
    std::printf("[          ] %d of 3 runs interrupted before their end\n", interrupted);
#endif
}
