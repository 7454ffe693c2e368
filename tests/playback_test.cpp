// The playback engine through the private sound server, in both worlds: what reached the device
// (natively through an ALSA "file" plugin, in both worlds from the sink's monitor), positions,
// pause, resume, seek and stop, and the end-of-playback message, once per playback.
#include "sound_test_util.h"

#include "play/playwave.h"
#include "quillon.h"

namespace {

using qt::Bytes;

struct Shape { WORD channels; DWORD rate; WORD bits; };

Bytes Data(const Shape& s, double seconds) {
    const std::size_t block = std::size_t(s.channels) * s.bits / 8;
    return qt::CountingSamples(std::size_t(s.rate * seconds) * block);
}

#ifndef _WIN32
// Bytes of a position in milliseconds, as the interface converts them: whole bytes of the byte
// rate, the start then rounded up to a whole frame.
std::size_t MsToBytes(const Shape& s, DWORD ms) {
    return std::size_t(std::uint64_t(ms) * s.rate * s.channels * s.bits / 8 / 1000);
}
std::size_t RoundUp(std::size_t bytes, std::size_t block) { return (bytes + block - 1) / block * block; }
#endif

// A playback's host side: a file written in the scratch folder, the end-message window.
class PlaybackFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qt::HaveSoundServer()) GTEST_SKIP() << "no private sound server (scripts/test starts one)";
        ASSERT_TRUE(end_.made());
        SetCallbackWindow(end_.window());
    }
    void TearDown() override {
        AudioStop();
        SetCallbackWindow(nullptr);
    }
    std::string Write(const char* name, const Shape& s, const Bytes& data) {
        const std::string path = dir_.File(name);
        EXPECT_TRUE(qt::WriteBytes(path, qt::PcmWave(s.channels, s.rate, s.bits, data)));
        return path;
    }
    // Waits for the position to pass `ms` (in milliseconds of the file); false after 5 s.
    static bool PositionPasses(DWORD ms) {
        for (int i = 0; i < 500; ++i) {
            if (AudioGetPosition(QUILLON_TIME_MS) > ms) return true;
            Sleep(10);
        }
        return false;
    }
    qt::ScratchDir dir_;
    qt::EndMessageWindow end_;
};

using Playback = PlaybackFixture;

// Natively, every rate, width and channel count, from a start to a stop position in
// milliseconds: the device receives exactly the file's bytes from the start (rounded up to a
// whole frame) to the stop (whole frames), and the end message comes once.
TEST_F(Playback, PlaysTheWindowOfEveryPcmShapeExactly) {
#ifdef _WIN32
    GTEST_SKIP() << "the ALSA file plugin is reached by the native build only; the monitor test covers Wine";
#else
    const char* played = std::getenv("QUILLON_TEST_PLAYED");
    ASSERT_NE(nullptr, played);
    qt::ScopedEnv pcm("QUILLON_ALSA_OUTPUT", "quillon_played");
    struct Case { Shape s; DWORD startMs, stopMs; };
    const std::vector<Case> cases = {
        {{2, 44100, 16}, 3, 0},      // byte 529 of a 4-byte frame starts at 532
        {{1, 22050, 8}, 0, 200},
        {{2, 11025, 8}, 17, 250},
        {{1, 48000, 16}, 101, 0},
        {{2, 8000, 16}, 0, 299},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.s.rate) + " Hz " + std::to_string(c.s.bits) + " bits " +
                     std::to_string(c.s.channels) + " ch, " + std::to_string(c.startMs) + " to " + std::to_string(c.stopMs));
        const Bytes data = Data(c.s, 0.3);
        const std::string file = Write("shape.wav", c.s, data);
        const std::size_t block = std::size_t(c.s.channels) * c.s.bits / 8;
        const std::size_t from = RoundUp(MsToBytes(c.s, c.startMs), block);
        std::size_t to = c.stopMs ? std::min(MsToBytes(c.s, c.stopMs), data.size()) : data.size();
        to = from + (to - from) / block * block;  // a part of a frame at the end is not played
        ASSERT_EQ(0, AudioPlayWave(file.c_str(), c.startMs, QUILLON_TIME_MS, 0, 1, c.stopMs));
        ASSERT_TRUE(end_.Wait()) << "the end message";
        EXPECT_EQ(0u, AudioGetPosition(QUILLON_TIME_MS)) << "nothing plays after the end";
        EXPECT_TRUE(qt::ReadBytes(played) == Bytes(data.begin() + from, data.begin() + to));
        EXPECT_EQ(0, end_.Count()) << "one end message per playback";
        AudioStop();
    }
#endif
}

// In both worlds: the server's sink played the file's samples from the start position on.
TEST_F(Playback, MonitorHearsTheFileFromItsStart) {
    const Shape s{2, 44100, 16};
    const Bytes data = Data(s, 0.7);
    const std::string file = Write("cd.wav", s, data);
    qt::MonitorRecording rec(6);
    ASSERT_TRUE(rec.Started());
    ASSERT_EQ(0, AudioPlayWave(file.c_str(), 4410, QUILLON_TIME_SAMPLES, 0, 1, 0));
    ASSERT_TRUE(end_.Wait());
    std::string why;
    // Under Wine, whose own driver may run dry, the pieces of the stream are checked in order.
    EXPECT_TRUE(rec.Holds(Bytes(data.begin() + 17640, data.end()), 8820, &why, 8000, qt::UnderWine())) << why;
}

// Position, pause, resume, seek and stop on a running playback.
TEST_F(Playback, PositionFollowsPauseResumeSeekAndStop) {
    const Shape s{2, 44100, 16};
    const std::string file = Write("long.wav", s, Data(s, 2.0));
    ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, QUILLON_TIME_MS, 0, 1, 0));
    ASSERT_TRUE(PositionPasses(100));
    AudioPause();
    Sleep(60);  // the device's own buffer plays out, or stops where it is
    const DWORD paused = AudioGetPosition(QUILLON_TIME_MS);
    Sleep(250);
    EXPECT_EQ(paused, AudioGetPosition(QUILLON_TIME_MS)) << "nothing plays while paused";
    AudioPause();  // a second pause changes nothing
    AudioResume();
    ASSERT_TRUE(PositionPasses(paused + 50)) << "resumed";
    // A seek reports the new place at once, playing or paused, and goes on from there.
    AudioMoveTo(1500, QUILLON_TIME_MS);
    const DWORD moved = AudioGetPosition(QUILLON_TIME_MS);
    EXPECT_GE(moved, 1500u);
    EXPECT_LT(moved, 1750u);
    AudioPause();
    AudioMoveTo(250, QUILLON_TIME_MS);
    Sleep(50);
    // Natively the device counts what it played, exactly; Wine's counts what it has taken into
    // its own buffer (up to one play buffer, 5,376 frames here, ahead).
    const DWORD slack = qt::UnderWine() ? 5376 : 0;
    const DWORD frames = AudioGetPosition(QUILLON_TIME_SAMPLES);
    EXPECT_TRUE(frames >= 11025 && frames <= 11025 + slack) << frames << ": a seek while paused stays where it lands";
    EXPECT_EQ(frames * 4, AudioGetPosition(QUILLON_TIME_BYTES));
    EXPECT_EQ(frames * 10 / 441, AudioGetPosition(QUILLON_TIME_MS));
    AudioResume();
    ASSERT_TRUE(PositionPasses(300));
    EXPECT_EQ(0, AudioStop());
    EXPECT_EQ(0u, AudioGetPosition(QUILLON_TIME_MS));
    EXPECT_TRUE(end_.Wait(1000)) << "a stop ends the playback with the end message";
    EXPECT_EQ(0, end_.Count());
}

// Every way a playback ends posts the end message exactly once; with no window, none.
TEST_F(Playback, EndMessageOncePerPlayback) {
    const Shape s{2, 44100, 16};
    const std::string file = Write("short.wav", s, Data(s, 0.3));
    // A file cut short: its data chunk says 0.3 s, 0.1 s is there.
    const std::string cut = dir_.File("cut.wav");
    Bytes whole = qt::ReadBytes(file);
    whole.resize(44 + 17640);
    ASSERT_TRUE(qt::WriteBytes(cut, whole));
    struct Case { const char* what; std::function<void()> run; };
    const std::vector<Case> cases = {
        {"end of the data", [&] { ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 0)); }},
        {"stop", [&] { ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 0)); AudioStop(); }},
        {"stop while paused", [&] { ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 0)); AudioPause(); AudioStop(); }},
        {"a stop position before the start", [&] { ASSERT_EQ(0, AudioPlayWave(file.c_str(), 200, 0, 0, 1, 100)); }},
        {"a stop position equal to the start", [&] { ASSERT_EQ(0, AudioPlayWave(file.c_str(), 100, 0, 0, 1, 100)); }},
        {"data that end before their declared size", [&] { ASSERT_EQ(0, AudioPlayWave(cut.c_str(), 0, 0, 0, 1, 0)); }},
        {"a seek while the last buffers drain", [&] {
             ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 0));
             Sleep(50);
             AudioMoveTo(100, QUILLON_TIME_MS);
             EXPECT_GE(AudioGetPosition(QUILLON_TIME_MS), 100u) << "the seek moved the playback";
         }},
    };
    for (const Case& c : cases) {
        c.run();
        EXPECT_TRUE(end_.Wait()) << c.what;
        Sleep(50);
        EXPECT_EQ(0, end_.Count()) << c.what << ": once";
        AudioStop();
    }
    SetCallbackWindow(nullptr);
    ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 0));
    for (int i = 0; i < 100 && AudioGetPosition(QUILLON_TIME_MS) == 0; ++i) Sleep(10);
    AudioStop();
    Sleep(50);
    EXPECT_EQ(0, end_.Count()) << "no window, no message";
}

TEST_F(Playback, RefusedStartsAndTheirCodes) {
    const Shape s{2, 44100, 16};
    const std::string file = Write("ok.wav", s, Data(s, 0.5));
    const std::string notWave = dir_.File("text.wav");
    ASSERT_TRUE(qt::WriteBytes(notWave, Bytes(100, 'x')));
    const std::string emptyData = Write("empty.wav", s, Bytes());
    struct Case { const char* what; std::function<unsigned short()> call; unsigned short want; };
    const std::vector<Case> cases = {
        {"no name", [&] { return AudioPlayWave("", 0, 0, 0, 1, 0); }, 100},
        {"a null name", [&] { return AudioPlayWave(nullptr, 0, 0, 0, 1, 0); }, 100},
        {"a missing file", [&] { return AudioPlayWave(dir_.File("missing.wav").c_str(), 0, 0, 0, 1, 0); }, 102},
        {"not a WAVE file", [&] { return AudioPlayWave(notWave.c_str(), 0, 0, 0, 1, 0); }, 102},
        {"an empty data chunk", [&] { return AudioPlayWave(emptyData.c_str(), 0, 0, 0, 1, 0); }, 102},
        {"load with no name", [&] { return AudioLoadFile(""); }, 100},
        {"load of a missing file", [&] { return AudioLoadFile(dir_.File("missing.wav").c_str()); }, 102},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, c.call()) << c.what;
    EXPECT_EQ(0, end_.Count()) << "a refused start sends no end message";

    ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 0));
    EXPECT_EQ(101, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 0)) << "already playing";
    EXPECT_EQ(101, AudioLoadFile(file.c_str()));
    EXPECT_TRUE(PositionPasses(50)) << "the first playback plays on";
    AudioStop();
    EXPECT_TRUE(end_.Wait());
}

// A loaded file plays from a position to its end, even after a start with a stop position.
TEST_F(Playback, LoadedFilePlaysToItsEnd) {
    const Shape s{1, 22050, 16};
    const std::string file = Write("loaded.wav", s, Data(s, 0.4));
    ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 0, 1, 100));
    ASSERT_TRUE(end_.Wait());
    AudioStop();
    ASSERT_EQ(0, AudioLoadFile(file.c_str()));
#ifndef _WIN32
    qt::ScopedEnv pcm("QUILLON_ALSA_OUTPUT", "quillon_played");
#endif
    ASSERT_EQ(0, AudioPlayCurrentFile(200, QUILLON_TIME_MS));
    ASSERT_TRUE(end_.Wait());
    EXPECT_EQ(0, end_.Count());
#ifndef _WIN32
    // From 200 ms (8,820 bytes) to the end, not to the earlier stop at 100 ms.
    const Bytes data = Data(s, 0.4);
    EXPECT_TRUE(qt::ReadBytes(std::getenv("QUILLON_TEST_PLAYED")) == Bytes(data.begin() + 8820, data.end()));
#endif
}

// An MP3 file plays through the mapper from its first byte to its last; natively the device
// receives exactly our decoder's output of the whole file.
TEST_F(Playback, Mp3FilePlaysWhole) {
    const char* mp3Path = std::getenv("QUILLON_TEST_MP3");
    if (mp3Path == nullptr) GTEST_SKIP() << "no MP3 sample from the sound fixture (QUILLON_TEST_MP3)";
#ifdef _WIN32
    const std::string path = std::string("Z:") + mp3Path;
#else
    const std::string path = mp3Path;
    qt::ScopedEnv pcm("QUILLON_ALSA_OUTPUT", "quillon_played");
#endif
    EXPECT_EQ(100, AudioPlayMP3("", 0, 0, 0, 1, 0));
    EXPECT_EQ(102, AudioPlayMP3(dir_.File("missing.mp3").c_str(), 0, 0, 0, 1, 0));
    ASSERT_EQ(0, AudioPlayMP3(path.c_str(), 0, 0, 0, 1, 0));
    EXPECT_TRUE(PositionPasses(50)) << "positions count the decoded audio";
    EXPECT_LT(AudioGetPosition(QUILLON_TIME_MS), 700u);
    ASSERT_TRUE(end_.Wait());
    EXPECT_EQ(0, end_.Count());
#ifndef _WIN32
    // Our decoder's output of the whole file, through the compression manager in one call.
    const Bytes mp3 = qt::ReadBytes(path);
    MPEGLAYER3WAVEFORMAT fmt;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.wfx = {WAVE_FORMAT_MPEGLAYER3, 2, 44100, 16000, 1, 0, MPEGLAYER3_WFX_EXTRA_BYTES};
    fmt.wID = MPEGLAYER3_ID_MPEG;
    fmt.nBlockSize = 418;
    fmt.nFramesPerBlock = 1;
    WAVEFORMATEX out = qt::PcmWaveFormat(2, 44100, 16);
    HACMSTREAM stream = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, acmStreamOpen(&stream, nullptr, &fmt.wfx, &out, nullptr, 0, 0, 0));
    Bytes decoded(4 << 20);
    ACMSTREAMHEADER ash;
    std::memset(&ash, 0, sizeof ash);
    ash.cbStruct = sizeof ash;
    ash.pbSrc = const_cast<LPBYTE>(mp3.data());
    ash.cbSrcLength = static_cast<DWORD>(mp3.size() - mp3.size() % 4);  // the window is whole PCM blocks of the file
    ash.pbDst = decoded.data();
    ash.cbDstLength = static_cast<DWORD>(decoded.size());
    ASSERT_EQ(MMSYSERR_NOERROR, acmStreamPrepareHeader(stream, &ash, 0));
    ASSERT_EQ(MMSYSERR_NOERROR, acmStreamConvert(stream, &ash, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END));
    decoded.resize(ash.cbDstLengthUsed);
    acmStreamUnprepareHeader(stream, &ash, 0);
    acmStreamClose(stream, 0);
    EXPECT_TRUE(qt::ReadBytes(std::getenv("QUILLON_TEST_PLAYED")) == decoded);
#endif
}

TEST_F(Playback, SampleSpeedQuery) {
    const Shape s{2, 44100, 16};
    const std::string file = Write("speed.wav", s, Data(s, 0.1));
    EXPECT_EQ(1, AudioIsTheSampleSpeedSupported(file.c_str(), 22050));
    EXPECT_EQ(1, AudioIsTheSampleSpeedSupported(file.c_str(), 44100));
    EXPECT_EQ(0, AudioIsTheSampleSpeedSupported(dir_.File("missing.wav").c_str(), 22050));
    EXPECT_EQ(0, AudioIsTheSampleSpeedSupported("", 22050));
    EXPECT_EQ(0, AudioIsTheSampleSpeedSupported(nullptr, 22050));
}

// Natively: a speed factor plays the same bytes at another rate, positions in the file's terms.
TEST_F(Playback, SpeedFactorKeepsTheBytesAndTheFilePositions) {
#ifdef _WIN32
    GTEST_SKIP() << "the ALSA file plugin is reached by the native build only";
#else
    qt::ScopedEnv pcm("QUILLON_ALSA_OUTPUT", "quillon_played");
    const Shape s{2, 22050, 16};
    const Bytes data = Data(s, 0.2);
    const std::string file = Write("speed.wav", s, data);
    ASSERT_EQ(0, AudioPlayWave(file.c_str(), 0, 0, 44100, 1, 0));
    ASSERT_TRUE(end_.Wait());
    EXPECT_TRUE(qt::ReadBytes(std::getenv("QUILLON_TEST_PLAYED")) == data);
#endif
}

}  // namespace
