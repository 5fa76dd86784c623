// Still-image reader throughput on full-HD pictures made by scripts/bench-readers.sh.
//
// The folder of input files comes from KV_BENCH_READERS_DIR; without it the benchmark reports
// itself skipped. Each benchmark loads one file into the same image record again and again, as
// the player does with its current frame, and reports pixels and file bytes per second.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "formats/ConFormStill.h"
#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

struct Input {
    const char* name;
    const char* file;
};

// Names and files as the script writes them.
const Input kInputs[] = {
    {"BMP_24bit", "bmp24.bmp"}, {"BMP_RLE8", "rle8.bmp"},       {"TGA_RLE_24bit", "rle24.tga"},
    {"PCX_24bit", "rgb24.pcx"}, {"SGI_RLE_3ch", "rle3.sgi"},    {"SunRaster_RLE", "rle24.ras"},
    {"PNM_P6", "p6.ppm"},       {"Bayer_colour", "colour.bay"},
};

void BM_Load(benchmark::State& state, const std::string& path) {
    const double bytes = FileSizeByName(path);
    Qimg img{};
    for (auto _ : state) {
        MonitoredIsolated([&] { ImgLoad(path, img, BAD_HANDLE); });
        if (!ErrNone()) {
            state.SkipWithError((path + ": " + ErrLastText()).c_str());
            break;
        }
        benchmark::DoNotOptimize(img.data);
    }
    state.SetItemsProcessed(state.iterations() * int64_t{img.width} * img.height);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    ImgFree(img);
}

const bool kRegistered = [] {
    const char* dir = std::getenv("KV_BENCH_READERS_DIR");
    if (!dir || !*dir) {
        benchmark::RegisterBenchmark("BM_Load/skipped", [](benchmark::State& state) {
            state.SkipWithError("KV_BENCH_READERS_DIR is not set: run scripts/bench-readers.sh");
            for (auto _ : state) {}
        });
        return false;
    }
    for (const Input& in : kInputs)
        benchmark::RegisterBenchmark((std::string("BM_Load/") + in.name).c_str(), BM_Load,
                                     std::string(dir) + "/" + in.file)
            ->Unit(benchmark::kMillisecond);
    return true;
}();

}  // namespace
