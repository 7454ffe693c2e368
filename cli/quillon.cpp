// quillon: a command-line host for the Quillon audio engine.
#include "commands.h"

#include <cstdio>
#include <cstring>

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* usage;
};

const Command kCommands[] = {
    {"info", RunInfoCommand, "info FILE...            format and length of WAVE files"},
};

int Usage() {
    std::fprintf(stderr, "usage: quillon COMMAND [ARGS]\n");
    for (const Command& c : kCommands) std::fprintf(stderr, "  quillon %s\n", c.usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    for (const Command& c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "quillon: unknown command '%s'\n", argv[1]);
    return Usage();
}
