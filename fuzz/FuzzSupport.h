#pragma once
// What every fuzz target shares: the input as a real file (the readers take file names and
// refuse anything but regular files), and the check that an input gave back every tracked block
// and file it took. A reader that leaves either behind stops the run like a crash does: the
// program would keep the memory or the file for as long as it runs.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora::fuzz {

// A folder of this process's own under the temporary directory, removed at exit: several
// fuzzing processes (-jobs, -fork) never share an input file. The name lives for the whole run
// (never destroyed), since the exit handler that removes the folder runs after the statics go.
inline const std::string& ScratchDir() {
    static const std::string* dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        auto* name = new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/kv-fuzz-XXXXXX");
        if (!::mkdtemp(name->data())) {
            std::perror("kv-fuzz: mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(ScratchDir(), ec);
        });
        return name;
    }();
    return *dir;
}

// Writes the input to a fresh file whose name ends in `extension` and returns its name.
inline std::string InputFile(const uint8_t* data, size_t size, const std::string& extension) {
    const std::string name = ScratchDir() + "/input" + extension;
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror("kv-fuzz: writing the input");
        std::abort();
    }
    return name;
}

// The tracked register's counts at construction; Check() stops the run when an input took
// blocks or files it did not give back, or left a monitored frame open.
class RegisterGuard {
public:
    RegisterGuard() : blocks_(MemCount()), files_(FileCount()), depth_(MonDepth()) {}
    void Check(const char* what) const {
        if (MemCount() == blocks_ && FileCount() == files_ && MonDepth() == depth_) return;
        std::fprintf(stderr, "kv-fuzz: %s left %d tracked blocks, %d files, %d frames behind\n",
                     what, MemCount() - blocks_, FileCount() - files_, MonDepth() - depth_);
        std::abort();
    }

private:
    int32_t blocks_;
    int32_t files_;
    int32_t depth_;
};

// Runs `body` in an isolated monitored frame, the way the program calls a reader: a raise is
// the reader's way of refusing a file and comes back as a false result, with the last error
// set. A C++ exception that the frame caught without a raise behind it (ERR_EXCEPTION: a
// std::bad_alloc, an out-of-range access through at(), ...) is a size or an index the reader
// did not check, and ends the run like a crash.
template <class Body>
bool Try(const char* what, Body&& body) {
    MonitoredIsolated(body);
    if (ErrNone()) return true;
    if (ErrLastGroup() == ERR_EXCEPTION) {
        std::fprintf(stderr, "kv-fuzz: %s let a runtime exception through: %s\n", what,
                     ErrLastText().c_str());
        std::abort();
    }
    return false;
}

}  // namespace kelvora::fuzz
