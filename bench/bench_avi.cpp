// The AVI reader: every frame of a 20-second 640 x 480 Motion JPEG movie and of an MS Video 1
// one loaded in order, as the player does; opening and closing a 2 GiB OpenDML movie; random
// access to the last frame of a 10-minute MPEG-4 movie with 250-frame key intervals, beside
// the decoding of one whole key interval that it has to do.
//
// KV_BENCH_DIR names the folder with mjpg.avi, msvc.avi, big.avi and long.avi (made by
// scripts/bench-avi.sh). A missing file skips its benchmark.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "formats/FF_AVI.h"
#include "image/ImgBasic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

std::string File(const char* name) {
    const char* dir = std::getenv("KV_BENCH_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

bool Open(benchmark::State& state, QAviHandle& h, const char* name) {
    MonitoredIsolated([&] { AviOpen(h, File(name)); });
    if (ErrNone()) return true;
    state.SkipWithError((std::string(name) + ": " + ErrLastText()).c_str());
    return false;
}

bool Load(benchmark::State& state, QAviHandle& h, Qimg& img, int32_t n, int32_t mode) {
    MonitoredIsolated([&] { AviImgLoad(h, img, n, mode); });
    if (ErrNone()) return true;
    state.SkipWithError(("frame " + std::to_string(n) + ": " + ErrLastText()).c_str());
    return false;
}

// Every frame in order through the reader, open and close included.
void DecodeAll(benchmark::State& state, const char* name) {
    int32_t frames = 0;
    for (auto _ : state) {
        QAviHandle h;
        if (!Open(state, h, name)) return;
        Qimg img{};
        frames = h.frames;
        for (int32_t n = 1; n <= h.frames; ++n)
            if (!Load(state, h, img, n, 1)) break;
        ImgFree(img);
        MonitoredIsolated([&] { AviClose(h); });
    }
    state.counters["frames"] = frames;
}

void BM_DecodeAll_Mjpeg640x480(benchmark::State& state) { DecodeAll(state, "mjpg.avi"); }
void BM_DecodeAll_Video1_640x480(benchmark::State& state) { DecodeAll(state, "msvc.avi"); }
BENCHMARK(BM_DecodeAll_Mjpeg640x480)->Unit(benchmark::kSecond)->Iterations(3);
BENCHMARK(BM_DecodeAll_Video1_640x480)->Unit(benchmark::kSecond)->Iterations(3);

// Opening and closing a 2 GiB movie with an OpenDML index.
void BM_OpenClose_OpenDml2GiB(benchmark::State& state) {
    for (auto _ : state) {
        QAviHandle h;
        if (!Open(state, h, "big.avi")) return;
        MonitoredIsolated([&] { AviClose(h); });
    }
}
BENCHMARK(BM_OpenClose_OpenDml2GiB)->Unit(benchmark::kMillisecond)->Iterations(3);

// The last frame of the long movie straight after the first one: the reader goes back to the
// last key frame and decodes forward.
void BM_RandomAccess_LastFrame10min(benchmark::State& state) {
    QAviHandle h;
    if (!Open(state, h, "long.avi")) return;
    Qimg img{};
    for (auto _ : state) {
        state.PauseTiming();
        const bool first = Load(state, h, img, 1, 0);
        state.ResumeTiming();
        if (!first || !Load(state, h, img, h.frames, 0)) break;
    }
    state.counters["frames"] = h.frames;
    state.counters["key"] = AviNearestKeyFrame(h, h.frames + 1, -1);
    ImgFree(img);
    MonitoredIsolated([&] { AviClose(h); });
}
BENCHMARK(BM_RandomAccess_LastFrame10min)->Unit(benchmark::kMillisecond)->Iterations(10);

// What that access must do at least: the last key interval decoded in order, from its key
// frame to the last frame.
void BM_DecodeLastKeyInterval10min(benchmark::State& state) {
    QAviHandle h;
    if (!Open(state, h, "long.avi")) return;
    Qimg img{};
    const int32_t key = AviNearestKeyFrame(h, h.frames + 1, -1);  // the last one
    for (auto _ : state) {
        state.PauseTiming();
        const bool first = Load(state, h, img, 1, 0);
        state.ResumeTiming();
        if (!first) break;
        for (int32_t n = key; n <= h.frames; ++n)
            if (!Load(state, h, img, n, n == key ? 0 : 1)) break;
    }
    state.counters["frames"] = h.frames - key + 1;
    ImgFree(img);
    MonitoredIsolated([&] { AviClose(h); });
}
BENCHMARK(BM_DecodeLastKeyInterval10min)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
