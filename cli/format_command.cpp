// quillon format FILE [--rate R] [--channels C] [--bits B] [-o OUT]: changes the PCM format of a
// WAVE file, in place or into OUT. A value not given stays as the file has it.
//
// The change runs as a job that this command polls, drawing a progress bar when stderr is a
// terminal. The library writes into a work file beside the target; only a finished result is
// renamed over the target, so Ctrl-C (which cancels the job) or any failure leaves the target
// as it was.
#include "commands.h"
#include "console.h"
#include "result_text.h"

#include "quillon.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: quillon format FILE [--rate R] [--channels 1|2] [--bits 8|16] [-o OUT]\n");
    return 2;
}

bool ParseNumber(const char* text, unsigned long limit, unsigned long* value) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v > limit || text[0] == '-') return false;
    *value = v;
    return true;
}


}  // namespace

int RunFormatCommand(int argc, char** argv) {
    const char* file = nullptr;
    const char* out = nullptr;
    unsigned long rate = 0, channels = 0, bits = 0;
    bool haveRate = false, haveChannels = false, haveBits = false;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(a, "--rate") == 0) {
            if (!ParseNumber(value, 0xFFFFFFFFul, &rate)) return Usage();
            haveRate = true;
            ++i;
        } else if (std::strcmp(a, "--channels") == 0) {
            if (!ParseNumber(value, 0xFFFFul, &channels)) return Usage();
            haveChannels = true;
            ++i;
        } else if (std::strcmp(a, "--bits") == 0) {
            if (!ParseNumber(value, 0xFFFFul, &bits)) return Usage();
            haveBits = true;
            ++i;
        } else if (std::strcmp(a, "-o") == 0) {
            if (value == nullptr) return Usage();
            out = value;
            ++i;
        } else if (a[0] == '-' && a[1] != '\0') {
            return Usage();
        } else if (file == nullptr) {
            file = a;
        } else {
            return Usage();
        }
    }
    if (file == nullptr || file[0] == '\0') return Usage();

    WAVEFORMATEX current;
    std::memset(&current, 0, sizeof current);
    const unsigned short read = GetInputFileInfo(file, &current);
    if (read != 0) {
        std::fprintf(stderr, "%s: error %u: %s\n", file, read, ResultText(read));
        return 1;
    }
    if (!haveRate) rate = current.nSamplesPerSec;
    if (!haveChannels) channels = current.nChannels;
    if (!haveBits) bits = current.wBitsPerSample;

    // The library writes its result into the work file; the target is replaced only at the end.
    const std::string target = out != nullptr ? out : file;
    const std::string work = target + ".quillon-" + std::to_string(ProcessId()) + ".partial";
    CatchInterrupts();

    QUILLON_EDIT_HANDLE job = nullptr;
    const unsigned short started =
        AudioChangeFormat(file, work.c_str(), static_cast<unsigned int>(rate), static_cast<unsigned short>(bits),
                          static_cast<unsigned short>(channels), &job, 0);
    if (started != 0) {
        std::fprintf(stderr, "%s: error %u: %s\n", file, started, ResultText(started));
        return 1;
    }
    unsigned short reason = 0;
    const int status = FinishJobInto(job, kEditJob, work.c_str(), target.c_str(), file, &reason);
    if (status >= 0) return status;
    if (reason == 0) {
        std::fprintf(stderr, "%s: the result could not be put in place of %s\n", file, target.c_str());
        return 1;
    }
    std::fprintf(stderr, "%s: error %u: %s\n", file, reason, ResultText(reason));
    return 1;
}
