// Loading 1920 x 1080 JPEG, PNG and LZW TIFF pictures into an image record through the
// library-backed readers. scripts/bench-libreaders.sh makes the files (from a generated natural-
// looking picture), points KV_BENCH_DIR at them, runs this program and compares the times with
// the libraries' own tools (djpeg, pngtopnm, tiffcp) on the same files. Target: within 10 % of
// the tool. Without KV_BENCH_DIR every benchmark reports that it has nothing to read.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "formats/FF_JPG.h"
#include "formats/FF_PNG.h"
#include "formats/FF_TIF.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

using LoadFn = void (*)(const std::string&, Qimg&);

// The record is reused between iterations, as the player reuses its frame record.
void BM_Load(benchmark::State& state, LoadFn load, const char* name) {
    const char* dir = std::getenv("KV_BENCH_DIR");
    if (!dir) {
        state.SkipWithError("KV_BENCH_DIR is not set: run scripts/bench-libreaders.sh");
        return;
    }
    const std::string path = std::string(dir) + "/" + name;
    Qimg img{};
    for (auto _ : state) {
        MonitoredIsolated([&] { load(path, img); });
        if (!ErrNone()) {
            state.SkipWithError(ErrLastText().c_str());
            break;
        }
        benchmark::DoNotOptimize(img.data);
    }
    ImgFree(img);
}

BENCHMARK_CAPTURE(BM_Load, jpeg, JPGLoad, "photo.jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, png, PNGLoad, "photo.png")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, tiff_lzw, TIFLoad, "photo.tif")->Unit(benchmark::kMillisecond);

}  // namespace
