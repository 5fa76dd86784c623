// The command line: the input split at zero bytes is the program's arguments, rebuilt into the
// process command line and read item by item as the player window does at start. The items
// must move forward through the line: the window's loop stops at an item that does not, and
// would then drop the items after it.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/miscprocs.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"kelvora"};
    std::string arg;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(arg);
            arg.clear();
        } else {
            arg += static_cast<char>(data[i]);
        }
    }
    args.push_back(arg);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    CmdLine_Set(CmdLine_FromArgs(static_cast<int>(args.size()), argv.data()));
    std::string line, verb, argument;
    int32_t pos = 0;
    CmdLine_Get(line, pos);
    for (;;) {
        const int32_t before = pos;
        if (!CmdLine_CmdNext(line, verb, argument, pos)) break;
        if (pos <= before) {
            std::fprintf(stderr, "kv-fuzz: the item at %d of \"%s\" does not move on\n", before,
                         line.c_str());
            std::abort();
        }
    }

    // The same reader over the raw bytes as a command line of its own.
    const std::string raw(reinterpret_cast<const char*>(data), size);
    pos = 1;
    for (int32_t items = 0; CmdLine_CmdNext(raw, verb, argument, pos); ++items) {
        if (items > static_cast<int32_t>(size) + 1) {
            std::fprintf(stderr, "kv-fuzz: the reader found more items than the line has bytes\n");
            std::abort();
        }
    }
    return 0;
}
