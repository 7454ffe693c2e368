// Wave-out through the private sound server, in both worlds: natively our ALSA layer, under Wine
// Wine's winmm on its PulseAudio driver. What the device played is read back exactly: natively
// through an ALSA "file" plugin opened as the mapper's PCM, in both worlds from the monitor of the
// server's sink.
#include "sound_test_util.h"

namespace {

using qt::Bytes;
using qt::WaveBuffers;
using qt::WaveMessage;
using qt::WaveOutDevice;

constexpr UINT kMapper = WAVE_MAPPER;

// Frames of audio whose every byte shows its position, in whole frames of the format.
Bytes Audio(const WAVEFORMATEX& f, double seconds) {
    const std::size_t frames = static_cast<std::size_t>(f.nSamplesPerSec * seconds);
    return qt::CountingSamples(frames * f.nBlockAlign);
}

MMTIME Time(UINT type) {
    MMTIME t;
    std::memset(&t, 0x55, sizeof t);
    t.wType = type;
    return t;
}

TEST(PlatformWaveOut, DevicesAndTheirCapabilities) {
    QT_NEED_SOUND_SERVER();
    const UINT count = waveOutGetNumDevs();
    ASSERT_GE(count, 1u);
    for (UINT i = 0; i < count; ++i) {
        WAVEOUTCAPSA caps;
        std::memset(&caps, 0x55, sizeof caps);
        ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(i, &caps, sizeof caps)) << i;
        const std::size_t len = strnlen(caps.szPname, sizeof caps.szPname);
        EXPECT_TRUE(len > 0 && len < sizeof caps.szPname) << "device " << i << " has a readable name";
        EXPECT_NE(0u, caps.dwFormats) << i;
    }
    WAVEOUTCAPSA caps;
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps));
    EXPECT_EQ(MMSYSERR_BADDEVICEID, waveOutGetDevCapsA(count + 3, &caps, sizeof caps));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutGetDevCapsA(0, nullptr, sizeof caps));
}

TEST(PlatformWaveOut, FormatQueryAnswersWithoutOpening) {
    QT_NEED_SOUND_SERVER();
    WAVEFORMATEX noChannels = qt::PcmWaveFormat(2, 44100, 16);
    noChannels.nChannels = 0;
    WAVEFORMATEX unknownTag = qt::PcmWaveFormat(2, 44100, 16);
    unknownTag.wFormatTag = 0x7F01;
    // Wine's winmm accepts a format with no channels, and a query with no format at all.
    const MMRESULT refused = qt::UnderWine() ? MMRESULT(MMSYSERR_NOERROR) : MMRESULT(WAVERR_BADFORMAT);
    struct Case { const char* what; UINT device; WAVEFORMATEX format; MMRESULT want; };
    const std::vector<Case> cases = {
        {"CD audio on the mapper", kMapper, qt::PcmWaveFormat(2, 44100, 16), MMSYSERR_NOERROR},
        {"8-bit mono 22,050 Hz on the mapper", kMapper, qt::PcmWaveFormat(1, 22050, 8), MMSYSERR_NOERROR},
        {"16-bit mono 8,000 Hz on device 0", 0, qt::PcmWaveFormat(1, 8000, 16), MMSYSERR_NOERROR},
        {"48 kHz stereo on device 0", 0, qt::PcmWaveFormat(2, 48000, 16), MMSYSERR_NOERROR},
        {"no channels", 0, noChannels, refused},
        {"a tag no codec knows, on the mapper", kMapper, unknownTag, WAVERR_BADFORMAT},
        {"a device past the last", waveOutGetNumDevs() + 2, qt::PcmWaveFormat(2, 44100, 16), MMSYSERR_BADDEVICEID},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.want, waveOutOpen(nullptr, c.device, &c.format, 0, 0, WAVE_FORMAT_QUERY)) << c.what;
    }
    if (!qt::UnderWine()) {
        EXPECT_EQ(MMSYSERR_INVALPARAM, waveOutOpen(nullptr, kMapper, nullptr, 0, 0, WAVE_FORMAT_QUERY));
    }
    // A query leaves nothing open: the same device opens and closes afterwards.
    WaveOutDevice dev;
    const WAVEFORMATEX cd = qt::PcmWaveFormat(2, 44100, 16);
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(0, &cd));
    EXPECT_EQ(MMSYSERR_NOERROR, dev.Close());
}

// Open, three buffers, an underrun, one more buffer, close: every message comes to this thread
// once, in order, with the handle and the header; positions count what has played.
TEST(PlatformWaveOut, MessagesReachTheCallbackThreadInOrder) {
    QT_NEED_SOUND_SERVER();
    const WAVEFORMATEX f = qt::PcmWaveFormat(2, 44100, 16);
    WaveOutDevice dev;
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &f));
    WaveMessage msg;
    ASSERT_TRUE(qt::NextMessage(&msg, MM_WOM_OPEN, MM_WOM_DONE));
    EXPECT_EQ(MM_WOM_OPEN, msg.message);
    EXPECT_EQ(reinterpret_cast<WPARAM>(dev.handle()), msg.wParam);
    EXPECT_EQ(0u, dev.Position(TIME_BYTES)) << "nothing has played yet";

    const Bytes audio = Audio(f, 0.3);
    WaveBuffers first(audio, {4096, 17640, 0});
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(first));
    // What was written is not what has played: the position stays behind until the end.
    EXPECT_LT(dev.Position(TIME_BYTES), audio.size());
    DWORD last = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        ASSERT_TRUE(qt::NextMessage(&msg, MM_WOM_OPEN, MM_WOM_DONE)) << "buffer " << i;
        EXPECT_EQ(MM_WOM_DONE, msg.message);
        EXPECT_EQ(reinterpret_cast<WPARAM>(dev.handle()), msg.wParam);
        EXPECT_EQ(reinterpret_cast<LPARAM>(first.at(i)), msg.lParam) << "buffers come back in order";
        EXPECT_EQ(DWORD(WHDR_DONE | WHDR_PREPARED), first.at(i)->dwFlags & (WHDR_DONE | WHDR_PREPARED | WHDR_INQUEUE));
        const DWORD now = dev.Position(TIME_BYTES);
        EXPECT_GE(now, last) << "positions never go back";
        last = now;
    }
    const DWORD frames = static_cast<DWORD>(audio.size() / 4);
    EXPECT_EQ(DWORD(audio.size()), dev.Position(TIME_BYTES));
    EXPECT_EQ(frames, dev.Position(TIME_SAMPLES));
    // Milliseconds, or (Wine's driver) bytes with the unit changed to say so.
    UINT unit = 0;
    const DWORD ms = dev.Position(TIME_MS, &unit);
    EXPECT_TRUE((unit == TIME_MS && ms == frames * 1000 / 44100) || (unit == TIME_BYTES && ms == audio.size()))
        << unit << ": " << ms;
    // A unit the device does not count in is answered in bytes.
    MMTIME t = Time(TIME_MIDI);
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutGetPosition(dev.handle(), &t, sizeof t));
    EXPECT_EQ(UINT(TIME_BYTES), t.wType);
    EXPECT_EQ(DWORD(audio.size()), t.u.cb);

    // The device ran dry; a later buffer plays all the same and the count goes on.
    Sleep(200);
    WaveBuffers more(Audio(f, 0.1), {0});
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(more));
    ASSERT_TRUE(dev.WaitDone(more));
    EXPECT_EQ(DWORD(audio.size() + more.data[0].size()), dev.Position(TIME_BYTES));
    EXPECT_TRUE(qt::PendingMessages(MM_WOM_OPEN, MM_WOM_DONE).empty()) << "each buffer came back once";

    const HWAVEOUT h = dev.handle();
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutUnprepareHeader(h, first.at(0), sizeof(WAVEHDR)));
    EXPECT_EQ(0u, first.at(0)->dwFlags & WHDR_PREPARED);
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Close());
    // Close posted MM_WOM_CLOSE, which Close() took off the queue; the handle is gone.
    MMTIME after = Time(TIME_BYTES);
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveOutGetPosition(h, &after, sizeof after));
}

TEST(PlatformWaveOut, RefusedCallsAndTheirCodes) {
    QT_NEED_SOUND_SERVER();
    const WAVEFORMATEX f = qt::PcmWaveFormat(2, 44100, 16);
    WaveOutDevice dev;
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &f));
    const HWAVEOUT h = dev.handle();
    WaveBuffers b(Audio(f, 0.5), {0});
    WAVEHDR* hdr = b.at(0);
    MMTIME t = Time(TIME_BYTES);
    struct Case { const char* what; std::function<MMRESULT()> call; MMRESULT want; };
    const std::vector<Case> before = {
        {"write of an unprepared header", [&] { return waveOutWrite(h, hdr, sizeof(WAVEHDR)); }, WAVERR_UNPREPARED},
        {"prepare of no header", [&] { return waveOutPrepareHeader(h, nullptr, sizeof(WAVEHDR)); }, MMSYSERR_INVALPARAM},
        {"prepare with a short size", [&] { return waveOutPrepareHeader(h, hdr, 8); }, MMSYSERR_INVALPARAM},
        {"position into no record", [&] { return waveOutGetPosition(h, nullptr, sizeof(MMTIME)); }, MMSYSERR_INVALPARAM},
        {"a null handle", [&] { return waveOutPause(nullptr); }, MMSYSERR_INVALHANDLE},
        {"open with no place for the handle", [&] { return waveOutOpen(nullptr, kMapper, &f, 0, 0, 0); }, MMSYSERR_INVALPARAM},
    };
    for (const Case& c : before) EXPECT_EQ(c.want, c.call()) << c.what;

    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(h));
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(b));
    std::vector<Case> queued = {
        {"a second write of a queued header", [&] { return waveOutWrite(h, hdr, sizeof(WAVEHDR)); }, WAVERR_STILLPLAYING},
        {"unprepare of a queued header", [&] { return waveOutUnprepareHeader(h, hdr, sizeof(WAVEHDR)); }, WAVERR_STILLPLAYING},
        {"position while paused", [&] { return waveOutGetPosition(h, &t, sizeof t); }, MMSYSERR_NOERROR},
    };
    // Windows refuses to close a device that holds buffers; Wine's winmm closes it.
    if (!qt::UnderWine()) {
        queued.push_back({"close while a buffer is queued", [&] { return waveOutClose(h); }, WAVERR_STILLPLAYING});
    }
    for (const Case& c : queued) EXPECT_EQ(c.want, c.call()) << c.what;
    EXPECT_EQ(0u, t.u.cb) << "nothing played while paused";
    EXPECT_NE(0u, hdr->dwFlags & WHDR_INQUEUE);

    ASSERT_EQ(MMSYSERR_NOERROR, dev.Close());
    const std::vector<Case> closed = {
        {"write", [&] { return waveOutWrite(h, hdr, sizeof(WAVEHDR)); }, MMSYSERR_INVALHANDLE},
        {"pause", [&] { return waveOutPause(h); }, MMSYSERR_INVALHANDLE},
        {"restart", [&] { return waveOutRestart(h); }, MMSYSERR_INVALHANDLE},
        {"reset", [&] { return waveOutReset(h); }, MMSYSERR_INVALHANDLE},
        {"position", [&] { return waveOutGetPosition(h, &t, sizeof t); }, MMSYSERR_INVALHANDLE},
        {"close again", [&] { return waveOutClose(h); }, MMSYSERR_INVALHANDLE},
    };
    for (const Case& c : closed) EXPECT_EQ(c.want, c.call()) << "a closed handle: " << c.what;
}

// Paused: nothing plays and nothing comes back. Reset hands every queued buffer back at once and
// counts from 0 again; a reset device is not paused any more. Restart plays what was held.
TEST(PlatformWaveOut, PauseHoldsResetHandsBackRestartPlays) {
    QT_NEED_SOUND_SERVER();
    const WAVEFORMATEX f = qt::PcmWaveFormat(2, 44100, 16);
    WaveOutDevice dev;
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &f));
    const HWAVEOUT h = dev.handle();
    qt::PendingMessages(MM_WOM_OPEN, MM_WOM_DONE);

    WaveBuffers held(Audio(f, 0.2), {8820, 0});
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(h));
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(held));
    Sleep(300);
    EXPECT_TRUE(qt::PendingMessages(MM_WOM_OPEN, MM_WOM_DONE).empty()) << "nothing comes back while paused";
    EXPECT_EQ(0u, dev.Position(TIME_BYTES));
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutRestart(h));
    ASSERT_TRUE(dev.WaitDone(held));
    EXPECT_EQ(DWORD(held.data[0].size() + held.data[1].size()), dev.Position(TIME_BYTES));

    // Two seconds queued, reset at once: both buffers are back before reset returns.
    WaveBuffers longer(Audio(f, 2.0), {176400, 0});
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(longer));
    Sleep(100);
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPause(h));
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutReset(h));
    const std::vector<WaveMessage> back = qt::PendingMessages(MM_WOM_OPEN, MM_WOM_DONE);
    ASSERT_EQ(2u, back.size());
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(MM_WOM_DONE, back[i].message);
        EXPECT_EQ(reinterpret_cast<LPARAM>(longer.at(i)), back[i].lParam);
        EXPECT_EQ(DWORD(WHDR_DONE), longer.at(i)->dwFlags & (WHDR_DONE | WHDR_INQUEUE));
    }
    EXPECT_EQ(0u, dev.Position(TIME_BYTES)) << "a reset counts from 0";
    EXPECT_EQ(MMSYSERR_NOERROR, waveOutReset(h)) << "a reset with nothing queued";

    // The reset ended the pause: a new buffer plays without a restart.
    WaveBuffers after(Audio(f, 0.1), {0});
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(after));
    ASSERT_TRUE(dev.WaitDone(after));
    EXPECT_EQ(DWORD(after.data[0].size()), dev.Position(TIME_BYTES));
}

// Natively the mapper's PCM can be any ALSA PCM: a "file" plugin in front of the server writes
// exactly what the layer gave it, for every rate, width and channel count.
TEST(PlatformWaveOut, PlaysEveryPcmShapeExactly) {
#ifdef _WIN32
    GTEST_SKIP() << "the ALSA file plugin is reached by the native build only; the monitor test covers Wine";
#else
    QT_NEED_SOUND_SERVER();
    const char* played = std::getenv("QUILLON_TEST_PLAYED");
    ASSERT_NE(nullptr, played);
    qt::ScopedEnv pcm("QUILLON_ALSA_OUTPUT", "quillon_played");
    struct Case { WORD channels; DWORD rate; WORD bits; };
    for (const Case& c : std::vector<Case>{{2, 44100, 16}, {1, 22050, 8}, {2, 11025, 8}, {1, 48000, 16}, {2, 8000, 16}}) {
        const WAVEFORMATEX f = qt::PcmWaveFormat(c.channels, c.rate, c.bits);
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " ch");
        const Bytes audio = Audio(f, 0.25);
        {
            WaveOutDevice dev;
            ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &f));
            // Uneven pieces, one not a whole number of frames' worth of the next.
            WaveBuffers b(audio, {std::size_t(f.nBlockAlign) * 301, std::size_t(f.nBlockAlign) * 7, std::size_t(f.nBlockAlign) * 1000, 0});
            ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(b));
            ASSERT_TRUE(dev.WaitDone(b));
            EXPECT_EQ(DWORD(audio.size()), dev.Position(TIME_BYTES));
        }
        EXPECT_TRUE(qt::ReadBytes(played) == audio) << "the device received the buffers' bytes, in order";
    }
#endif
}

// In both worlds: the server's sink played the buffers' samples as one exact run.
TEST(PlatformWaveOut, MonitorHearsTheExactStream) {
    QT_NEED_SOUND_SERVER();
    const WAVEFORMATEX f = qt::PcmWaveFormat(2, 44100, 16);
    qt::MonitorRecording rec(6);
    ASSERT_TRUE(rec.Started());
    const Bytes audio = Audio(f, 0.6);
    WaveOutDevice dev;
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &f));
    WaveBuffers b(audio, {10000, 26460, 26460, 0});
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(b));
    ASSERT_TRUE(dev.WaitDone(b));
    std::string why;
    // The first 50 ms may be missing at the monitor. Wine's own audio driver sometimes runs
    // dry on a loaded machine: there the pieces of the stream are checked in order instead.
    EXPECT_TRUE(rec.Holds(audio, 8820, &why, 8000, qt::UnderWine())) << why;
}

// The mapper plays MPEG Layer-3 by decoding it; natively the device receives our decoder's PCM.
TEST(PlatformWaveOut, Mp3ThroughTheMapper) {
    QT_NEED_SOUND_SERVER();
    const char* mp3Path = std::getenv("QUILLON_TEST_MP3");
    if (mp3Path == nullptr) GTEST_SKIP() << "no MP3 sample from the sound fixture (QUILLON_TEST_MP3)";
#ifdef _WIN32
    const std::string path = std::string("Z:") + mp3Path;
#else
    const std::string path = mp3Path;
    qt::ScopedEnv pcm("QUILLON_ALSA_OUTPUT", "quillon_played");
#endif
    const Bytes mp3 = qt::ReadBytes(path);
    ASSERT_GT(mp3.size(), 1000u);
    // The fixture's sample: 44,100 Hz stereo at 128 kbit/s, no tag.
    MPEGLAYER3WAVEFORMAT fmt;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    fmt.wfx.nChannels = 2;
    fmt.wfx.nSamplesPerSec = 44100;
    fmt.wfx.nAvgBytesPerSec = 128000 / 8;
    fmt.wfx.nBlockAlign = 1;
    fmt.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    fmt.wID = MPEGLAYER3_ID_MPEG;
    fmt.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
    fmt.nBlockSize = 418;
    fmt.nFramesPerBlock = 1;
    EXPECT_EQ(WAVERR_BADFORMAT, waveOutOpen(nullptr, 0, &fmt.wfx, 0, 0, WAVE_FORMAT_QUERY | WAVE_FORMAT_DIRECT))
        << "a device itself plays PCM only";
    WaveOutDevice dev;
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &fmt.wfx));
    WaveBuffers b(mp3, {5000, 5000, 0});
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(b));
    ASSERT_TRUE(dev.WaitDone(b));
    const DWORD samples = dev.Position(TIME_SAMPLES);
    EXPECT_GT(samples, 0u);
#ifndef _WIN32
    // Bytes count the compressed stream, as Windows' mapper reports them.
    EXPECT_EQ(DWORD(std::uint64_t(samples) * 16000 / 44100), dev.Position(TIME_BYTES));
    dev.Close();
    Bytes decoded;
    {
        WAVEFORMATEX pcm = qt::PcmWaveFormat(2, 44100, 16);
        HACMSTREAM s = nullptr;
        ASSERT_EQ(MMSYSERR_NOERROR, acmStreamOpen(&s, nullptr, &fmt.wfx, &pcm, nullptr, 0, 0, 0));
        std::vector<std::uint8_t> out(4 << 20);
        ACMSTREAMHEADER ash;
        std::memset(&ash, 0, sizeof ash);
        ash.cbStruct = sizeof ash;
        ash.pbSrc = const_cast<LPBYTE>(mp3.data());
        ash.cbSrcLength = static_cast<DWORD>(mp3.size());
        ash.pbDst = out.data();
        ash.cbDstLength = static_cast<DWORD>(out.size());
        ASSERT_EQ(MMSYSERR_NOERROR, acmStreamPrepareHeader(s, &ash, 0));
        ASSERT_EQ(MMSYSERR_NOERROR, acmStreamConvert(s, &ash, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END));
        decoded.assign(out.begin(), out.begin() + ash.cbDstLengthUsed);
        acmStreamUnprepareHeader(s, &ash, 0);
        acmStreamClose(s, 0);
    }
    EXPECT_EQ(decoded.size() / 4, samples);
    EXPECT_TRUE(qt::ReadBytes(std::getenv("QUILLON_TEST_PLAYED")) == decoded)
        << "the device received the decoder's output of the whole file";
#endif
}

// Writes and resets from one thread while another asks for positions and a third pauses and
// restarts: no call fails, every buffer comes back, nothing races (ThreadSanitizer).
TEST(PlatformWaveOut, RaceOfWritesResetsPausesAndPositions) {
    QT_NEED_SOUND_SERVER();
    const WAVEFORMATEX f = qt::PcmWaveFormat(2, 44100, 16);
    WaveOutDevice dev;
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &f));
    const HWAVEOUT h = dev.handle();
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread positions([&] {
        while (!stop.load()) {
            MMTIME t = Time(TIME_BYTES);
            if (waveOutGetPosition(h, &t, sizeof t) != MMSYSERR_NOERROR) ++failures;
            Sleep(1);
        }
    });
    std::thread pauses([&] {
        while (!stop.load()) {
            if (waveOutPause(h) != MMSYSERR_NOERROR || waveOutRestart(h) != MMSYSERR_NOERROR) ++failures;
            Sleep(3);
        }
    });
    WaveBuffers b(Audio(f, 0.08), {3528, 3528, 0});
    for (std::size_t i = 0; i < b.size(); ++i) ASSERT_EQ(MMSYSERR_NOERROR, waveOutPrepareHeader(h, b.at(i), sizeof(WAVEHDR)));
    int handedBack = 0;
    for (int round = 0; round < 20; ++round) {
        for (std::size_t i = 0; i < b.size(); ++i) ASSERT_EQ(MMSYSERR_NOERROR, waveOutWrite(h, b.at(i), sizeof(WAVEHDR)));
        if (round % 2 == 0) {
            ASSERT_EQ(MMSYSERR_NOERROR, waveOutReset(h));
        }
        for (std::size_t i = 0; i < b.size(); ++i) {
            WaveMessage m;
            ASSERT_TRUE(qt::NextMessage(&m, MM_WOM_DONE, MM_WOM_DONE)) << "round " << round << " buffer " << i;
            ++handedBack;
        }
    }
    stop = true;
    positions.join();
    pauses.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(20 * int(b.size()), handedBack);
    for (std::size_t i = 0; i < b.size(); ++i) EXPECT_EQ(MMSYSERR_NOERROR, waveOutUnprepareHeader(h, b.at(i), sizeof(WAVEHDR)));
}

}  // namespace

#ifndef _WIN32
namespace {

// A second, short-lived sound server of the test's own, stopped by its PID.
class OwnSoundServer {
public:
    explicit OwnSoundServer(const std::string& dir) : dir_(dir) {
        const std::string cmd = "mkdir -p '" + dir + "/run' && chmod 700 '" + dir + "/run' && printf '%s\\n' "
                                "'load-module module-null-sink sink_name=gone rate=44100 channels=2 format=s16le' "
                                "'load-module module-native-protocol-unix socket=" + dir + "/socket' "
                                "'set-default-sink gone' > '" + dir + "/server.pa' && "
                                "(HOME='" + dir + "' XDG_RUNTIME_DIR='" + dir + "/run' pulseaudio -n -F '" + dir +
                                "/server.pa' --daemonize=no --exit-idle-time=-1 --log-target=file:'" + dir +
                                "/server.log' >/dev/null 2>&1 & echo $!)";
        std::string out;
        if (qt::RunCommand(cmd, &out) == 0) pid_ = std::atoi(out.c_str());
        for (int i = 0; pid_ > 0 && i < 100 && !qt::FileExists(dir + "/socket"); ++i) Sleep(50);
    }
    ~OwnSoundServer() { Kill(); }
    bool running() const { return pid_ > 0 && qt::FileExists(dir_ + "/socket"); }
    std::string address() const { return "unix:" + dir_ + "/socket"; }
    void Kill() {
        if (pid_ <= 0) return;
        qt::RunCommand("kill -9 " + std::to_string(pid_) + "; while kill -0 " + std::to_string(pid_) +
                           " 2>/dev/null; do sleep 0.05; done",
                       nullptr);
        pid_ = 0;
    }

private:
    std::string dir_;
    int pid_ = 0;
};

}  // namespace

// The sound server goes away in the middle of playback: every queued buffer comes back, later
// writes are refused, and the device still closes. Nothing waits for a server that is gone.
TEST(PlatformWaveOut, ServerThatGoesAwayHandsEverythingBack) {
    QT_NEED_SOUND_SERVER();
    qt::ScratchDir dir;
    OwnSoundServer server(dir.File("server"));
    ASSERT_TRUE(server.running()) << "a second private server could not start";
    qt::ScopedEnv address("PULSE_SERVER", server.address().c_str());
    qt::ScopedEnv pcm("QUILLON_ALSA_OUTPUT", "pulse");
    const WAVEFORMATEX f = qt::PcmWaveFormat(2, 44100, 16);
    WaveBuffers b(Audio(f, 4.0), {176400, 176400, 176400, 0});
    WaveOutDevice dev;
    ASSERT_EQ(MMSYSERR_NOERROR, dev.Open(kMapper, &f));
    ASSERT_EQ(MMSYSERR_NOERROR, dev.PrepareAndWrite(b));
    // An idle null sink may take up to 2 s to start a new stream.
    for (int i = 0; i < 300 && dev.Position(TIME_BYTES) == 0; ++i) Sleep(10);
    EXPECT_GT(dev.Position(TIME_BYTES), 0u) << "the stream started";
    server.Kill();
    EXPECT_TRUE(dev.WaitDone(b)) << "every buffer came back";
    WaveBuffers later(Audio(f, 0.1), {0});
    ASSERT_EQ(MMSYSERR_NOERROR, waveOutPrepareHeader(dev.handle(), later.at(0), sizeof(WAVEHDR)));
    EXPECT_EQ(MMSYSERR_NODRIVER, waveOutWrite(dev.handle(), later.at(0), sizeof(WAVEHDR)));
    EXPECT_EQ(MMSYSERR_NOERROR, dev.Close());
}
#endif
