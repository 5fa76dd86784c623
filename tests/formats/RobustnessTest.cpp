// Hostile input: truncated and bit-flipped copies of every still-image fixture (and of the
// shared sample corpus when present) go through ImgLoad and FFInfo. Each call must either
// succeed with a consistent picture or fail with a documented error, and leave the tracked
// register as it found it.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "formats/ConFormStill.h"
#include "formats/FileFmtDef.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace fs = std::filesystem;

namespace {

constexpr int kMaxReportsPerFile = 5;

// Errors a reader may document: its own image errors, short reads and seeks, decoder-library
// messages and the movie-format group used by the animated formats. A caught C++ exception,
// a memory fault or anything else means a size went unchecked.
bool Documented(int32_t group, int32_t code) {
    switch (group) {
        case ERR_IMG:
        case ERR_LIBRARY:
        case ERR_MVI:
        case ERR_FORMAT: return true;
        case ERR_FILE: return code == 3 || code == 5;
        default: return false;
    }
}

bool IsStill(const fs::path& path) {
    QffDesc row;
    FFFindByExt(path.filename().string(), row, FF_TABLE_LOAD);
    return row.type != BAD_HANDLE && (row.flags & FF_STILL) != 0;
}

std::vector<fs::path> StillFiles(const fs::path& root) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file() && IsStill(it->path())) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

struct Variant {
    std::string what;
    std::string bytes;
};

// Cuts at 0, within the first header bytes, at half and one short of the end; then flips of
// 1 to 3 bits, mostly in the header, some in the last 1024 bytes (footers, trailers).
std::vector<Variant> Variants(const std::string& bytes, int flipCopies, uint32_t seed) {
    std::vector<Variant> out;
    const size_t n = bytes.size();
    for (size_t cut : {size_t{0}, size_t{1}, size_t{4}, size_t{12}, size_t{18}, size_t{32},
                       size_t{54}, size_t{128}, size_t{512}, size_t{1078}, n / 2, n - 1})
        if (cut < n) out.push_back({"cut at " + std::to_string(cut), bytes.substr(0, cut)});
    if (n == 0) return out;
    std::mt19937 rng(seed);
    for (int i = 0; i < flipCopies; ++i) {
        Variant v{"flips", bytes};
        const int flips = 1 + static_cast<int>(rng() % 3);
        for (int k = 0; k < flips; ++k) {
            const uint32_t zone = rng() % 10;
            size_t at;
            if (zone < 6)
                at = rng() % std::min<size_t>(n, 256);
            else if (zone < 8)
                at = n - 1 - rng() % std::min<size_t>(n, 1024);
            else
                at = rng() % n;
            const int bit = static_cast<int>(rng() % 8);
            v.bytes[at] = static_cast<char>(v.bytes[at] ^ (1 << bit));
            v.what += " " + std::to_string(at) + ":" + std::to_string(bit);
        }
        out.push_back(std::move(v));
    }
    return out;
}

// Runs one call in an isolated frame; returns a complaint, or "" when it behaved.
template <class Call, class Check>
std::string Probe(const char* name, Call&& call, Check&& checkSuccess) {
    const test::RegisterBalance balance;
    MonitoredIsolated(call);
    std::string complaint;
    if (ErrNone())
        complaint = checkSuccess();
    else if (!Documented(ErrLastGroup(), ErrLastCode()))
        complaint = std::string(name) + " failed with " + std::to_string(ErrLastGroup()) + ":" +
                    std::to_string(ErrLastCode()) + " " + ErrLastText();
    if (!balance.Balanced())
        complaint += std::string(" ") + name + " left " +
                     std::to_string(MemCount() - balance.blocks()) + " blocks, " +
                     std::to_string(FileCount() - balance.files()) + " files";
    return complaint;
}

std::string LoadAndInfo(const std::string& path) {
    Qimg img{};
    std::string complaint = Probe(
        "ImgLoad", [&] { ImgLoad(path, img, BAD_HANDLE); },
        [&]() -> std::string {
            const int32_t b = img.bitsPP;
            const int64_t need = int64_t{img.width} * img.height * img.bytesPP;
            const bool ok = ImgValid(img) && img.width > 0 && img.height > 0 &&
                            (b == 8 || b == 15 || b == 16 || b == 24 || b == 32) &&
                            img.bytesPP == (b + 7) / 8 && need <= img.size &&
                            (img.redirected || need <= MemBlockSize(img.data));
            ImgFree(img);
            return ok ? "" : "ImgLoad gave an inconsistent picture";
        });
    QffInfo info{};
    complaint += Probe(
        "FFInfo", [&] { FFInfo(path, BAD_HANDLE, info); },
        [&]() -> std::string {
            return info.width >= 0 && info.height >= 0 && info.fileSize >= 0
                       ? ""
                       : "FFInfo gave negative sizes";
        });
    return complaint;
}

// Feeds every variant of every file and reports the first few misbehaviours of each.
void Hammer(const std::vector<fs::path>& files, int flipCopies = 150) {
    TempDir dir;
    for (const fs::path& file : files) {
        const std::string path = dir.file("probe" + file.extension().string());
        // Each file's variants depend on its name alone, whatever other files the folders hold.
        uint32_t seed = 2166136261u;
        for (unsigned char c : file.filename().string()) seed = (seed ^ c) * 16777619u;
        int reports = 0;
        for (const Variant& v : Variants(ReadFileBytes(file.string()), flipCopies, seed)) {
            // A fresh file each time: rewriting a truncated one makes some file systems flush.
            fs::remove(path);
            WriteFileBytes(path, v.bytes);
            const std::string complaint = LoadAndInfo(path);
            if (!complaint.empty() && reports++ < kMaxReportsPerFile)
                ADD_FAILURE() << file.string() << " (" << v.what << "): " << complaint;
        }
    }
}

}  // namespace

TEST(Robustness, FixtureFiles) {
    const std::vector<fs::path> files = StillFiles(fs::path(KV_TEST_DATA) / "formats");
    if (files.empty()) GTEST_SKIP() << "no still-image fixtures under tests/data/formats";
    Hammer(files);
}

TEST(Robustness, SharedCorpus) {
    const fs::path root = fs::path(KV_SHARED_DIR) / "corpus-samples";
    if (!fs::is_directory(root)) GTEST_SKIP() << root.string() << " is missing";
    Hammer(StillFiles(root));
}

TEST(Robustness, BayerFiles) {
    TempDir dir;
    std::vector<fs::path> files;
    for (int32_t height : {144, 384}) {
        std::string bytes(512 * height + 1024, '\x5A');
        bytes.replace(512 * height, 12, std::string("EK BAY 2\x01\0\0\x03", 12));
        const fs::path path = dir.file("b" + std::to_string(height) + ".bay");
        WriteFileBytes(path.string(), bytes);
        files.push_back(path);
    }
    Hammer(files, 30);  // the 12 trailer bytes are the whole header
}
