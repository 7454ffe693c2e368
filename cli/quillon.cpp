// quillon: a command-line host for the Quillon audio engine.
#include "commands.h"

#include <cstdio>
#include <cstring>

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    bool takesItsName;  // the command's own name is argv[0] of what it is given
    const char* usage;
};

const Command kCommands[] = {
    {"info", RunInfoCommand, false, "info FILE..."},
    {"cut", RunEditCommand, true, "cut FILE START END [--clip CLIP] [-o DEST]"},
    {"copy-to", RunEditCommand, true, "copy-to FILE START END CLIPFILE"},
    {"paste", RunEditCommand, true, "paste FILE AT CLIPFILE [-o DEST]"},
    {"clear", RunEditCommand, true, "clear FILE START END [-o DEST]"},
    {"crop", RunEditCommand, true, "crop FILE START END [-o DEST]"},
    {"mute", RunEditCommand, true, "mute FILE START END [--channels left|right|both] [-o DEST]"},
    {"trim-silence", RunEditCommand, true, "trim-silence FILE START END [--threshold PERCENT] [-o DEST]"},
    {"insert-silence", RunEditCommand, true, "insert-silence FILE AT MILLISECONDS [-o DEST]"},
    {"format", RunFormatCommand, false, "format FILE [--rate R] [--channels 1|2] [--bits 8|16] [-o OUT]"},
    {"codecs", RunCodecsCommand, false, "codecs"},
    {"convert", RunConvertCommand, false,
     "convert SRC DST --codec N [--tag N] [--rate R] [--channels C] [--bits B] [--override]"},
};

int Usage() {
    std::fprintf(stderr, "usage: quillon COMMAND [ARGS]\n");
    for (const Command& c : kCommands) std::fprintf(stderr, "  quillon %s\n", c.usage);
    std::fprintf(stderr, "positions: 1500 or 1500ms (milliseconds), 44100f (frames), 176400b (bytes)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) != 0) continue;
        return c.takesItsName ? c.run(argc - 1, argv + 1) : c.run(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "quillon: unknown command '%s'\n", argv[1]);
    return Usage();
}
