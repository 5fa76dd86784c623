// The MPEG reader: every frame of a 20-second 640 x 480 MPEG-1 system stream loaded in order,
// as the player does; a 10-minute MP3 decoded whole; the description of a 200 MB system
// stream; the last frame of a 10-minute stream exported (opened, loaded, closed), and then
// frame 1 again.
//
// KV_BENCH_DIR names the folder with play.mpg, long.mp3, big.mpg and long.mpg (made by
// scripts/bench-mpg.sh). A missing file skips its benchmark.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "formats/FF_MPG.h"
#include "image/ImgBasic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

std::string File(const char* name) {
    const char* dir = std::getenv("KV_BENCH_DIR");
    return std::string(dir ? dir : ".") + "/" + name;
}

bool Ok(benchmark::State& state, const std::string& what) {
    if (ErrNone()) return true;
    state.SkipWithError((what + ": " + ErrLastText()).c_str());
    return false;
}

void BM_DecodeAll_Mpeg1_640x480(benchmark::State& state) {
    int32_t frames = 0;
    for (auto _ : state) {
        QMpgHandle h;
        MonitoredIsolated([&] { MpgOpen(h, File("play.mpg"), 0); });
        if (!Ok(state, "open")) return;
        Qimg img{};
        frames = h.frames;
        for (int32_t n = 1; n <= h.frames; ++n) {
            MonitoredIsolated([&] { MpgImgLoad(h, img, n, 1); });
            if (!Ok(state, "frame " + std::to_string(n))) break;
        }
        ImgFree(img);
        MonitoredIsolated([&] { MpgClose(h); });
    }
    state.counters["frames"] = frames;
}
BENCHMARK(BM_DecodeAll_Mpeg1_640x480)->Unit(benchmark::kSecond)->Iterations(3);

void BM_SoundAll_Mp3_10min(benchmark::State& state) {
    int64_t samples = 0;
    for (auto _ : state) {
        QMpgHandle h;
        MonitoredIsolated([&] { MpgOpen(h, File("long.mp3"), 0); });
        if (!Ok(state, "open")) return;
        Qsnd snd{};
        samples = 0;
        for (bool first = true;; first = false) {
            MonitoredIsolated(
                [&] { MpgSndLoad(h, snd, static_cast<int32_t>(samples), !first, 65536); });
            if (!Ok(state, "sound") || snd.samples <= 0) break;
            samples += snd.samples;
        }
        SndFree(snd);
        MonitoredIsolated([&] { MpgClose(h); });
    }
    state.counters["samples"] = static_cast<double>(samples);
}
BENCHMARK(BM_SoundAll_Mp3_10min)->Unit(benchmark::kSecond)->Iterations(3);

void BM_Info_System200MB(benchmark::State& state) {
    for (auto _ : state) {
        QffInfo info;
        MonitoredIsolated([&] { MpgInfo(File("big.mpg"), info); });
        if (!Ok(state, "info")) return;
        if (info.frames <= 0) {
            state.SkipWithError("no frames");
            return;
        }
        // Another file in between, untimed: the library's kept file is not this one's.
        state.PauseTiming();
        MonitoredIsolated([&] { MpgInfo(File("play.mpg"), info); });
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Info_System200MB)->Unit(benchmark::kMillisecond)->Iterations(3);

// Opening (the packet scan of the whole file included) and loading the last frame, as a
// one-off export does.
void BM_OpenAndLastFrame_10min(benchmark::State& state) {
    for (auto _ : state) {
        QMpgHandle h;
        MonitoredIsolated([&] { MpgOpen(h, File("long.mpg"), 0); });
        if (!Ok(state, "open")) return;
        Qimg img{};
        MonitoredIsolated([&] { MpgImgLoad(h, img, h.frames, 2); });
        const bool ok = Ok(state, "frame");
        ImgFree(img);
        MonitoredIsolated([&] { MpgClose(h); });
        if (!ok) return;
    }
}
BENCHMARK(BM_OpenAndLastFrame_10min)->Unit(benchmark::kMillisecond)->Iterations(1);

// On an open file: frame `to` right after frame `from` (an export of each in turn).
void Jump(benchmark::State& state, bool toLast) {
    QMpgHandle h;
    MonitoredIsolated([&] { MpgOpen(h, File("long.mpg"), 0); });
    if (!Ok(state, "open")) return;
    Qimg img{};
    const int32_t from = toLast ? 1 : h.frames, to = toLast ? h.frames : 1;
    for (auto _ : state) {
        state.PauseTiming();
        MonitoredIsolated([&] { MpgImgLoad(h, img, from, 2); });
        state.ResumeTiming();
        MonitoredIsolated([&] { MpgImgLoad(h, img, to, 2); });
        if (!Ok(state, "frame")) break;
    }
    ImgFree(img);
    MonitoredIsolated([&] { MpgClose(h); });
}
void BM_LastFrameAfterFirst_10min(benchmark::State& state) { Jump(state, true); }
void BM_FirstFrameAfterLast_10min(benchmark::State& state) { Jump(state, false); }
BENCHMARK(BM_LastFrameAfterFirst_10min)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FirstFrameAfterLast_10min)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
