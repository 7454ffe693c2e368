// Seeded random sequences of play, pause, resume, seek, stop and ends of file on the playback
// engine: every playback ends with exactly one end message, and no call hangs. CI runs 50
// sequences; scripts/soak runs 1,000 ($QUILLON_SOAK_SEQUENCES) and prints the figures.
#include "sound_test_util.h"

#include "quillon.h"

#include <random>

namespace {

using Clock = std::chrono::steady_clock;

TEST(PlaybackSoak, RandomSequencesEndOnceAndNeverHang) {
    QT_NEED_SOUND_SERVER();
    const char* env = std::getenv("QUILLON_SOAK_SEQUENCES");
    const int sequences = env != nullptr ? std::atoi(env) : 50;
    qt::ScratchDir dir;
    const std::string file = dir.File("soak.wav");
    ASSERT_TRUE(qt::WriteBytes(file, qt::PcmWave(2, 44100, 16, qt::CountingSamples(44100 / 4 * 4))));  // 250 ms
    qt::EndMessageWindow end;
    ASSERT_TRUE(end.made());
    SetCallbackWindow(end.window());
    std::mt19937 random(20261206);
    int playbacks = 0, ends = 0, calls = 0;
    double slowestMs = 0;
    auto timed = [&](const std::function<void()>& call) {
        const Clock::time_point start = Clock::now();
        call();
        ++calls;
        slowestMs = std::max(slowestMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    };
    for (int s = 0; s < sequences; ++s) {
        timed([&] { ASSERT_EQ(0, AudioPlayWave(file.c_str(), random() % 200, QUILLON_TIME_MS, 0, 1, random() % 3 ? 0 : random() % 260)); });
        ++playbacks;
        const int steps = 1 + static_cast<int>(random() % 6);
        bool stopped = false;
        for (int i = 0; i < steps && !stopped; ++i) {
            switch (random() % 6) {
            case 0: timed([] { AudioPause(); }); break;
            case 1: timed([] { AudioResume(); }); break;
            case 2: timed([&] { AudioMoveTo(random() % 300, QUILLON_TIME_MS); }); break;
            case 3: timed([] { AudioGetPosition(QUILLON_TIME_BYTES); }); break;
            case 4: timed([] { AudioStop(); }); stopped = true; break;
            default: Sleep(static_cast<DWORD>(random() % 120)); break;
            }
        }
        // Paused playbacks are resumed or stopped so that each one ends.
        if (!stopped) timed([&] { random() % 2 ? (void)AudioStop() : (void)AudioResume(); });
        ASSERT_TRUE(end.Wait(5000)) << "sequence " << s << ": the end message";
        ++ends;
        timed([] { AudioStop(); });
        EXPECT_EQ(0, end.Count()) << "sequence " << s << ": one end message per playback";
    }
    SetCallbackWindow(nullptr);
    EXPECT_EQ(playbacks, ends);
    std::printf("[          ] %d sequences, %d calls, the slowest returned in %.1f ms\n", sequences, calls, slowestMs);
}

}  // namespace
