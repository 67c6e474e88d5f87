// quillon-cli: Quillon without a window. The first argument names the subcommand.
#include <cstdio>
#include <string_view>

#include "cli/Commands.hpp"

namespace {

struct Subcommand {
    std::string_view name;
    int (*run)(int argc, char** argv);
    std::string_view usage;
};

constexpr Subcommand kSubcommands[] = {
    {"bridge", quillon::cli::runBridge,
     "bridge [--panel PATH]...   command messages on stdin, deliveries on stdout"},
    {"frames", quillon::cli::runFrames,
     "frames CLIP --out DIR [--step P] [--format F] [--quality Q] [--pick all|I,J,K] [--json]"},
    {"convert", quillon::cli::runConvert, "convert PATH... --out DIR [--format F] [--quality Q] [--json]"},
};

int usage()
{
    std::fputs("usage: quillon-cli SUBCOMMAND [ARGS]...\n", stderr);
    for (const Subcommand& subcommand : kSubcommands)
        std::fprintf(stderr, "  quillon-cli %.*s\n", static_cast<int>(subcommand.usage.size()),
                     subcommand.usage.data());
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    for (const Subcommand& subcommand : kSubcommands) {
        if (subcommand.name == argv[1])
            return subcommand.run(argc - 2, argv + 2);
    }
    return usage();
}
