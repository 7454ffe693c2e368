// Benchmark driver: runs one edit of the Quillon library synchronously and prints the seconds
// it took (the script around it measures peak memory and prints the comparison table).
//
//   edit_bench TEMPDIR UNDO OP FILE ARGS...      positions in bytes
//     cut S E | copy S E CLIP | paste AT CLIP | clear S E | crop S E | mute S E |
//     insert AT MS | trim S E | cancel S E (a clear job, cancelled after 300 ms: prints the
//     milliseconds from the cancel request to the job's end)
#include "quillon.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: edit_bench TEMPDIR UNDO OP FILE ARGS...\n");
        return 2;
    }
    if (SetTempPath(argv[1]) != 0) return 3;
    AudioEditSetUndoRedo(std::atoi(argv[2]));
    const std::string op = argv[3];
    const char* file = argv[4];
    auto n = [&](int i) { return static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10)); };
    const auto t0 = std::chrono::steady_clock::now();
    unsigned short r = 0;
    if (op == "cut") r = AudioCut(file, n(5), n(6), QUILLON_TIME_BYTES, nullptr, 1, nullptr);
    else if (op == "copy") r = AudioCopyInFile(file, n(5), n(6), QUILLON_TIME_BYTES, nullptr, 1, argv[7]);
    else if (op == "paste") r = AudioPasteEx(file, n(5), QUILLON_TIME_BYTES, nullptr, 1, argv[6], nullptr);
    else if (op == "clear") r = AudioClear(file, n(5), n(6), QUILLON_TIME_BYTES, nullptr, 1, nullptr);
    else if (op == "crop") r = AudioCrop(file, n(5), n(6), QUILLON_TIME_BYTES, nullptr, 1, nullptr);
    else if (op == "mute") r = AudioEditMute(file, n(5), n(6), QUILLON_TIME_BYTES, nullptr, 1, 3, nullptr);
    else if (op == "insert") r = AudioInsertSilence(file, n(5), QUILLON_TIME_BYTES, nullptr, 1, n(6), nullptr);
    else if (op == "trim") r = AudioEditTrimSilence(file, n(5), n(6), QUILLON_TIME_BYTES, nullptr, 1, 100, nullptr);
    else if (op == "cancel") {
        QUILLON_EDIT_HANDLE job = nullptr;
        r = AudioClear(file, n(5), n(6), QUILLON_TIME_BYTES, &job, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto c0 = std::chrono::steady_clock::now();
        AudioEditCancelPressed(job);
        while (!AudioEditProcessIsOver(job)) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - c0).count();
        r = AudioEditGetReasonForProcessExit(job);
        AudioEditCloseHandle(&job);
        std::printf("%.1f\n", ms);
        return r == 311 || r == 0 ? 0 : 1;
    } else {
        return 2;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r != 0) {
        std::fprintf(stderr, "edit_bench: %s failed with %u\n", op.c_str(), r);
        return 1;
    }
    std::printf("%.2f\n", s);
    return 0;
}
