// Composing every frame of an animated GIF (640 x 480, 100 frames, made by ffmpeg: partial frames
// with transparency over a first full frame). scripts/bench-gif.sh makes the file, points
// KV_BENCH_DIR at it, runs this program and times ffmpeg's GIF decoder on the same file. Target:
// at least as fast as ffmpeg. Without KV_BENCH_DIR the benchmark reports that it has nothing to
// read.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "formats/FF_GIF.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

// One pass as the player makes it: open (with the scan: the open cache is emptied first, as
// ffmpeg parses the file each time too), every frame in turn into one reused record, close.
void BM_GifAllFrames(benchmark::State& state) {
    const char* dir = std::getenv("KV_BENCH_DIR");
    if (!dir) {
        state.SkipWithError("KV_BENCH_DIR is not set: run scripts/bench-gif.sh");
        return;
    }
    const std::string path = std::string(dir) + "/anim.gif";
    Qimg img{};
    int64_t frames = 0;
    for (auto _ : state) {
        MonitoredIsolated([&] {
            GIFDone();
            QGifHandle h{};
            GIFOpen(h, path, false);
            for (int32_t k = 0; k < h.frames; ++k) GIFLoadNext(h, img);
            frames += h.frames;
            GIFClose(h);
        });
        if (!ErrNone()) {
            state.SkipWithError(ErrLastText().c_str());
            break;
        }
        benchmark::DoNotOptimize(img.data);
    }
    state.counters["frames"] = benchmark::Counter(static_cast<double>(frames),
                                                  benchmark::Counter::kIsRate);
    ImgFree(img);
}

BENCHMARK(BM_GifAllFrames)->Unit(benchmark::kMillisecond);

}  // namespace
