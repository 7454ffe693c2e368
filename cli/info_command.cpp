// quillon info FILE...: the format and length of each file (WAVE, or MP3 from its first frame).
#include "commands.h"
#include "result_text.h"

#include "quillon.h"

#include <cstdio>

int RunInfoCommand(int argc, char** argv) {
    if (argc < 1) {
        std::fprintf(stderr, "usage: quillon info FILE...\n");
        return 2;
    }
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        const char* name = argv[i];
        tQuillonFILEINFO ms = {}, frames = {}, bytes = {};
        unsigned short r = AudioGetFileInfo(&ms, name, QUILLON_TIME_MS, 1);
        if (r == 0) r = AudioGetFileInfo(&frames, name, QUILLON_TIME_SAMPLES, 1);
        if (r == 0) r = AudioGetFileInfo(&bytes, name, QUILLON_TIME_BYTES, 1);
        if (r == QUILLON_ERR_CANNOT_OPEN_FILE && DescribeMp3(name)) continue;
        if (r != 0) {
            std::fprintf(stderr, "%s: error %u: %s\n", name, r, ResultText(r));
            status = 1;
            continue;
        }
        std::printf("%s: PCM, %u Hz, %u-bit, %u channel%s; %u ms, %u frames, %u bytes\n", name, ms.samplesPerSec,
                    ms.bitsPerSample, ms.channels, ms.channels == 1 ? "" : "s", ms.length, frames.length,
                    bytes.length);
    }
    return status;
}
