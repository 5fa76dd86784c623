#pragma once
// Helpers shared by the test programs.

#include <string>
#include <vector>

#include "runtime/Basic.h"

namespace kelvora::test {

// A fresh empty directory under the system's temporary directory, removed at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable for its lifetime and puts the old value (or its absence) back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::string old_;
    bool had_;
};

// The user's configuration and data folders ($XDG_CONFIG_HOME, $XDG_DATA_HOME) moved to
// `root`/config and `root`/data, both created, for the lifetime of the object.
struct ScopedXdgDirs {
    explicit ScopedXdgDirs(const std::string& root);
    ScopedEnv config;
    ScopedEnv data;
};

// --- The tracked register ------------------------------------------------------------------
// Inline: the platform suite uses this header without linking the runtime.

// Registers a new block of `size` bytes for `variable` at `address`, where a released block
// lived: allocates until the allocator hands that address out again. A size above the
// allocator's per-thread caches makes the reuse immediate with glibc; an allocator that holds
// freed memory back (the address sanitizer's) never reuses, and then the result is false and
// `variable` is null.
template <class T>
bool AllocateAt(T*& variable, const void* address, int64_t size) {
    std::vector<T*> misses;
    for (int tries = 0; tries < 16; ++tries) {
        variable = nullptr;
        MemAllocNew(variable, size);
        if (variable == address) break;
        misses.push_back(variable);
        variable = nullptr;
    }
    for (T*& p : misses) MemFree(p);  // copies of the pointers: the release goes by address
    return variable != nullptr;
}

void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);

}  // namespace kelvora::test
