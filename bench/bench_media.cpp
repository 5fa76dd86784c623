// Sequence detection of the unified media layer: UniInfo on the first of 1,000 numbered BMP
// files, which probes every following file (open, header, close) to widen the still image into
// a sequence. The files are tiny 24-bit pictures written once into a temporary folder.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "formats/FFWrite.h"
#include "image/ImgBasic.h"
#include "media/ConForm.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

constexpr int32_t kFiles = 1000;

// The folder with frame0001.bmp ... frame1000.bmp, made on first use and removed at exit.
const std::string& SequenceDir() {
    static const std::string dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "kv-bench-seq-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        Qimg img{};
        MonitoredIsolated([&] {
            _imgalloc_(img, 16, 12, "bench_media.SequenceDir.img", __LINE__, 24);
            for (int32_t i = 1; i <= kFiles; ++i) {
                img.data[0] = static_cast<uint8_t>(i);  // every file differs a little
                char name[32];
                std::snprintf(name, sizeof name, "/frame%04d.bmp", i);
                ImgSaveBMP(pattern + name, img);
            }
        });
        ImgFree(img);
        if (!ErrNone()) std::abort();
        std::atexit([] { std::filesystem::remove_all(SequenceDir()); });
        return pattern;
    }();
    return dir;
}

void BM_SequenceDetection(benchmark::State& state) {
    const std::string first = SequenceDir() + "/frame0001.bmp";
    QUniInfo info;
    for (auto _ : state) {
        if (!UniInfo(first, info, UNI_SEQ_UNLIMITED, false) || info.img.frames != kFiles) {
            state.SkipWithError("the sequence was not found whole");
            break;
        }
        benchmark::DoNotOptimize(info.fileSize);
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_SequenceDetection)->Unit(benchmark::kMillisecond);

}  // namespace
