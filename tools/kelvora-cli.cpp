// kelvora-cli: the player's engine for the command line.
//
// Exit status: 0 on success, 1 on a reported error (message on standard error), 2 on bad
// usage. Sub-commands arrive as the engine grows; this build knows --help and --version.

#include <cstdio>
#include <cstring>
#include <string>

#include "kelvora_version.h"

namespace {

const char* const kUsage =
    "Usage: kelvora-cli [--help | --version]\n"
    "\n"
    "The Kelvora media player's engine for the command line.\n"
    "\n"
    "Options:\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string arg = argv[1];
    if (arg == "--help" || arg == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (arg == "--version") {
        std::printf("Kelvora %s (%s)\n", KV_VERSION, KV_RELEASE_DATE);
        return 0;
    }
    std::fprintf(stderr, "kelvora-cli: unknown command '%s'\n\n%s", argv[1], kUsage);
    return 2;
}
