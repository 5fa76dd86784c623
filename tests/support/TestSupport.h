#pragma once
// Helpers shared by the test programs.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora::test {

// The (group, code) of the error `body` leaves, run in an isolated frame as the readers'
// callers run them; (0, 0) when it leaves none.
using ErrorOf = std::pair<int32_t, int32_t>;
template <class Body>
ErrorOf Try(Body&& body) {
    MonitoredIsolated(body);
    return {ErrLastGroup(), ErrLastCode()};
}

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

// A test failure for each of the register's counts that differs from `blocks` and `files`;
// `context` names the case in the message.
inline void ExpectRegisterCounts(int32_t blocks, int32_t files,
                                 const std::string& context = std::string()) {
    EXPECT_EQ(MemCount(), blocks) << "tracked blocks left behind " << context;
    EXPECT_EQ(FileCount(), files) << "tracked files left open " << context;
}

// The register's counts when constructed, for a piece of work that must give back every block
// and file it takes.
class RegisterBalance {
public:
    RegisterBalance() : blocks_(MemCount()), files_(FileCount()) {}
    int32_t blocks() const { return blocks_; }
    int32_t files() const { return files_; }
    bool Balanced() const { return MemCount() == blocks_ && FileCount() == files_; }
    void Expect(const std::string& context = std::string()) const {
        ExpectRegisterCounts(blocks_, files_, context);
    }

private:
    int32_t blocks_;
    int32_t files_;
};

// Base fixture: the register's counts taken at SetUp and checked at TearDown. A fixture that
// releases records of its own at TearDown does so first, then calls this TearDown.
struct RegisterBalanceTest : ::testing::Test {
    void SetUp() override {
        blocks = MemCount();
        files = FileCount();
    }
    void TearDown() override { ExpectBalanced(); }
    void ExpectBalanced(const std::string& context = std::string()) const {
        ExpectRegisterCounts(blocks, files, context);
    }
    int32_t blocks = 0;  // at SetUp
    int32_t files = 0;
};

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

// --- Hashes ---------------------------------------------------------------------------------

// The descriptors the process has open (a test compares the count before and after).
int OpenFds();

// 64-bit FNV-1a, the hash the fixture scripts record for decoded pictures; `hash` carries on
// from an earlier part.
constexpr uint64_t kFnv1aBasis = 0xcbf29ce484222325ull;
uint64_t Fnv1a(const void* data, size_t size, uint64_t hash = kFnv1aBasis);
inline uint64_t Fnv1a(std::string_view bytes) { return Fnv1a(bytes.data(), bytes.size()); }
inline uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    return Fnv1a(bytes.data(), bytes.size());
}

void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);

// --- Test-time tools --------------------------------------------------------------------------

// Whether every named program is on the PATH.
bool HaveTools(std::initializer_list<const char*> tools);
// Runs a shell command with its output discarded; true when it exits with 0.
bool RunQuiet(const std::string& command);
// The sound of a file decoded by ffmpeg to interleaved 16-bit samples (empty when it fails).
std::vector<int16_t> FfmpegS16(const std::string& path);
// `name`.ogg in `dir`: `synth` (sox synth arguments) at `rate` and `channels` through oggenc,
// with oggdec's decode of it in `name`.raw; false when a tool failed.
bool MakeOggFixture(const TempDir& dir, const std::string& name, int32_t rate, int32_t channels,
                    const std::string& synth);
// Every picture of a file's first video stream as ffmpeg decodes it, back to back, in `pixFmt`,
// converted with exact rounding and chroma interpolated to every pixel
// (bicubic+accurate_rnd+full_chroma_int+bitexact): the reference for our pictures. Empty when
// ffmpeg fails.
std::string FfmpegPictures(const std::string& path, const char* pixFmt = "bgr24");
// The peak signal-to-noise ratio of two runs of 8-bit samples in dB (99 when equal, 0 when the
// lengths differ or both are empty).
double Psnr(std::string_view a, std::string_view b);
// The largest difference between two runs of samples over their common length.
int MaxSampleDiff(const int16_t* a, const int16_t* b, size_t count);

}  // namespace kelvora::test
