// The player engine: time from HplOpen to the first frame on the display, on a 640 x 480
// 25 fps BEST-P movie with 44.1 kHz stereo sound (target: 50 ms or less). The movie is
// KV_BENCH_DIR/movie.hav when scripts/bench-play.sh made one, otherwise a two-second movie
// of moving stripes and noise written here with our own writer.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/HavWriter.h"
#include "player/HplMain.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

const std::string& Movie() {
    static const std::string path = [] {
        if (const char* dir = std::getenv("KV_BENCH_DIR")) {
            const std::string made = std::string(dir) + "/movie.hav";
            if (std::filesystem::exists(made)) return made;
        }
        const std::string out =
            (std::filesystem::temp_directory_path() / "kv-bench-player.hav").string();
        const QWaveFmt sound{WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
        Qimg img{};
        uint32_t seed = 12345;
        MonitoredIsolated([&] {
            QHavWriter w;
            HAVCreate(w, out, 640, 480, 3, HAV_CODEC_BESTP, 25, 25.0, &sound);
            _imgalloc_(img, 640, 480, "bench_player.img", __LINE__, 24);
            std::vector<int16_t> pcm(44100 / 25 * 2);
            for (int32_t f = 0; f < 50; ++f) {
                for (int32_t y = 0; y < 480; ++y)
                    for (int32_t x = 0; x < 640; ++x) {
                        uint8_t* px = img.data + (y * 640 + x) * 3;
                        seed = seed * 1103515245u + 12345u;
                        px[0] = static_cast<uint8_t>((x + 4 * f) & 0xFF);
                        px[1] = static_cast<uint8_t>(y / 2 + ((seed >> 24) & 7));
                        px[2] = static_cast<uint8_t>(((x / 40 + y / 40 + f) & 1) ? 200 : 60);
                    }
                HAVAddFrame(w, img);
                for (size_t i = 0; i < pcm.size(); ++i)
                    pcm[i] = static_cast<int16_t>(8000 * std::sin((f * 1764 + i / 2) * 0.06));
                HAVAddSound(w, reinterpret_cast<const uint8_t*>(pcm.data()), 44100 / 25);
            }
            HAVWriterClose(w);
        });
        ImgFree(img);
        if (!ErrNone()) std::abort();
        std::atexit([] { std::filesystem::remove(Movie()); });
        return out;
    }();
    return path;
}

void BM_OpenToFirstFrame(benchmark::State& state) {
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    const std::string movie = Movie();
    HplPlayer* p = HplCreate(nullptr);
    HplSetDisplay(p, nullptr, 0, 0, 640, 480);
    for (auto _ : state) {
        const int32_t before = p->display->frames;
        HplOpen(p, movie);
        // HplOpen hands the first frame to the display before it returns.
        if (!HplGetResult(p) || p->display->frames == before) state.SkipWithError("no first frame");
        state.PauseTiming();
        HplClose(p);
        state.ResumeTiming();
    }
    HplDestroy(p);
    HplDone();
}
BENCHMARK(BM_OpenToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
