// The one-shot edit commands of the quillon host: cut, copy-to, paste, clear, crop, mute,
// trim-silence, insert-silence.
//
// Each runs its edit as a job and polls it: a progress bar on a terminal, and Ctrl-C asks the
// job to cancel, which leaves the file as it was. Positions are milliseconds ("1500" or
// "1500ms"), frames ("44100f") or bytes ("176400b"); the positions of one command share a unit.
// Undo copies are not needed by a one-shot command and are off unless --undo is given.
#include "commands.h"
#include "result_text.h"

#include "quillon.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define QL_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define QL_ISATTY(fd) isatty(fd)
#endif

namespace {

std::atomic<int> interrupted{0};

extern "C" void OnInterrupt(int) { interrupted = 1; }

struct Position {
    unsigned value = 0;
    unsigned short unit = QUILLON_TIME_MS;
};

bool ParsePosition(const char* text, Position* p) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || v > 0xFFFFFFFFul) return false;
    const std::string suffix(end);
    if (suffix.empty() || suffix == "ms")
        p->unit = QUILLON_TIME_MS;
    else if (suffix == "f")
        p->unit = QUILLON_TIME_SAMPLES;
    else if (suffix == "b")
        p->unit = QUILLON_TIME_BYTES;
    else
        return false;
    p->value = static_cast<unsigned>(v);
    return true;
}

struct Options {
    std::vector<const char*> args;  // positional arguments
    const char* output = nullptr;   // -o DEST
    const char* clip = nullptr;     // --clip FILE
    int channels = QUILLON_CHANNEL_BOTH;
    unsigned short threshold = 100;  // hundredths of a percent
    bool undo = false;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "-o" || a == "--output") {
            if (!(o->output = next())) return false;
        } else if (a == "--clip") {
            if (!(o->clip = next())) return false;
        } else if (a == "--channels") {
            const char* c = next();
            if (!c) return false;
            const std::string v = c;
            o->channels = v == "left" ? 1 : v == "right" ? 2 : v == "both" ? 3 : 0;
            if (o->channels == 0) return false;
        } else if (a == "--threshold") {
            const char* t = next();
            if (!t) return false;
            const double percent = std::atof(t);
            if (percent < 0 || percent > 100) return false;
            o->threshold = static_cast<unsigned short>(percent * 100 + 0.5);
        } else if (a == "--undo") {
            o->undo = true;
        } else {
            o->args.push_back(argv[i]);
        }
    }
    return true;
}

void DrawBar(const char* name, unsigned percent) {
    const int width = 40;
    const int filled = static_cast<int>(percent) * width / 100;
    std::fprintf(stderr, "\r%-15s [", name);
    for (int i = 0; i < width; ++i) std::fputc(i < filled ? '#' : '.', stderr);
    std::fprintf(stderr, "] %3u%%", percent);
    std::fflush(stderr);
}

// Polls a started job to its end, cancelling it on Ctrl-C; returns its reason for exit.
unsigned short FollowJob(const char* name, QUILLON_EDIT_HANDLE job) {
    const bool bar = QL_ISATTY(2) != 0;
    bool cancelSent = false;
    while (!AudioEditProcessIsOver(job)) {
        if (interrupted && !cancelSent) {
            AudioEditCancelPressed(job);
            cancelSent = true;
        }
        if (bar) DrawBar(name, AudioEditGetProcessProgress(job));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const unsigned short reason = AudioEditGetReasonForProcessExit(job);
    if (bar) {
        if (reason == 0) DrawBar(name, 100);
        std::fputc('\n', stderr);
    }
    AudioEditCloseHandle(&job);
    return reason;
}

int Usage() {
    std::fprintf(stderr,
                 "usage:\n"
                 "  quillon cut FILE START END [--clip CLIPFILE] [-o DEST]\n"
                 "  quillon copy-to FILE START END CLIPFILE\n"
                 "  quillon paste FILE AT CLIPFILE [-o DEST]\n"
                 "  quillon clear FILE START END [-o DEST]\n"
                 "  quillon crop FILE START END [-o DEST]\n"
                 "  quillon mute FILE START END [--channels left|right|both] [-o DEST]\n"
                 "  quillon trim-silence FILE START END [--threshold PERCENT] [-o DEST]\n"
                 "  quillon insert-silence FILE AT MILLISECONDS [-o DEST]\n"
                 "positions: 1500 or 1500ms (milliseconds), 44100f (frames), 176400b (bytes)\n"
                 "--undo keeps an undo copy (not needed by a one-shot edit)\n");
    return 2;
}

}  // namespace

int RunEditCommand(int argc, char** argv) {
    if (argc < 1) return Usage();
    const std::string command = argv[0];
    Options o;
    if (!ParseOptions(argc - 1, argv + 1, &o)) return Usage();

    // How many positional arguments each command takes, and which of them are positions.
    struct Shape {
        const char* name;
        std::size_t args;
        int positions;  // args[1] .. args[positions]
    };
    const Shape shapes[] = {{"cut", 3, 2},  {"copy-to", 4, 2}, {"paste", 3, 1},          {"clear", 3, 2},
                            {"crop", 3, 2}, {"mute", 3, 2},    {"trim-silence", 3, 2}, {"insert-silence", 3, 1}};
    const Shape* shape = nullptr;
    for (const Shape& s : shapes)
        if (command == s.name) shape = &s;
    if (shape == nullptr || o.args.size() != shape->args) return Usage();

    Position pos[2];
    for (int i = 0; i < shape->positions; ++i) {
        if (!ParsePosition(o.args[1 + i], &pos[i])) {
            std::fprintf(stderr, "quillon: '%s' is not a position (1500ms, 44100f, 176400b)\n", o.args[1 + i]);
            return 2;
        }
    }
    if (shape->positions == 2 && pos[0].unit != pos[1].unit) {
        std::fprintf(stderr, "quillon: both positions must be in the same unit\n");
        return 2;
    }
    const char* file = o.args[0];
    const unsigned short unit = pos[0].unit;

    AudioEditSetUndoRedo(o.undo ? 1 : 0);
    interrupted = 0;
    std::signal(SIGINT, OnInterrupt);

    QUILLON_EDIT_HANDLE job = nullptr;
    unsigned short started = 0;
    if (command == "cut") {
        started = o.clip ? AudioCutInFile(file, pos[0].value, pos[1].value, unit, &job, 0, o.clip, o.output)
                         : AudioCut(file, pos[0].value, pos[1].value, unit, &job, 0, o.output);
    } else if (command == "copy-to") {
        started = AudioCopyInFile(file, pos[0].value, pos[1].value, unit, &job, 0, o.args[3]);
    } else if (command == "paste") {
        started = AudioPasteEx(file, pos[0].value, unit, &job, 0, o.args[2], o.output);
    } else if (command == "clear") {
        started = AudioClear(file, pos[0].value, pos[1].value, unit, &job, 0, o.output);
    } else if (command == "crop") {
        started = AudioCrop(file, pos[0].value, pos[1].value, unit, &job, 0, o.output);
    } else if (command == "mute") {
        started = AudioEditMute(file, pos[0].value, pos[1].value, unit, &job, 0, o.channels, o.output);
    } else if (command == "trim-silence") {
        started = AudioEditTrimSilence(file, pos[0].value, pos[1].value, unit, &job, 0, o.threshold, o.output);
    } else {  // insert-silence FILE AT MILLISECONDS
        const unsigned long ms = std::strtoul(o.args[2], nullptr, 10);
        started = AudioInsertSilence(file, pos[0].value, unit, &job, 0, static_cast<unsigned>(ms), o.output);
    }

    const unsigned short result = started != 0 ? started : (job != nullptr ? FollowJob(command.c_str(), job) : 304);
    std::signal(SIGINT, SIG_DFL);
    if (result == QUILLON_ERR_CANCELLED) {
        std::fprintf(stderr, "quillon: %s cancelled; %s is unchanged\n", command.c_str(), o.output ? o.output : file);
        return 130;
    }
    if (result != 0) {
        std::fprintf(stderr, "quillon: %s failed: %s (%u)\n", command.c_str(), ResultText(result), result);
        return 1;
    }
    return 0;
}
