// Costs of the palette quantizer: ConvTo8bit of a 1920 x 1080 true-colour picture with the
// plain mapping (method 0), the light ordered dither (1) and the heavy error diffusion (2).
// Targets on a 2-core machine (Release/RelWithDebInfo): method 0 within 50 ms, method 2 within
// 150 ms.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "image/ImgBasic.h"
#include "image/PalOpt.h"

using namespace kelvora;

namespace {

// A smooth, photo-like deterministic picture: overlapping gradients, soft shading, a few
// shapes (a disc with a highlight, a dark rectangle, a diagonal band) and low-amplitude noise
// from a fixed linear congruential generator. No external files.
void MakePhoto(Qimg& img, int32_t width, int32_t height) {
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    _imgalloc_(img, width, height, "bench_image.MakePhoto.img", __LINE__, 24);
    uint32_t state = 12345u;
    auto noise = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<int32_t>((state >> 24) % 7) - 3;  // -3..3
    };
    auto clamp = [](double v) {
        return static_cast<uint8_t>(std::clamp(static_cast<int>(v), 0, 255));
    };
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* p = img.data + static_cast<int64_t>(y) * width * 3;
        const double fy = static_cast<double>(y) / height;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            const double fx = static_cast<double>(x) / width;
            // Sky-to-ground gradient with soft variation.
            double r = 70 + 120 * fy + 25 * std::sin(fx * 4.0 + fy * 2.0);
            double g = 110 + 60 * fy + 30 * std::cos(fx * 3.0);
            double b = 200 - 140 * fy + 20 * std::sin(fy * 7.0);
            // A shaded disc with a highlight.
            const double dx = fx - 0.65, dy = fy - 0.35, d2 = dx * dx + dy * dy * 3.2;
            if (d2 < 0.05) {
                const double shade = 1.0 - d2 / 0.05;
                r = 180 + 70 * shade;
                g = 60 + 90 * shade * shade;
                b = 30 + 40 * shade;
            }
            // A dark rectangle and a diagonal band.
            if (fx > 0.08 && fx < 0.32 && fy > 0.55 && fy < 0.92) {
                r = 25 + 30 * fx;
                g = 35 + 20 * fy;
                b = 30;
            }
            const double band = fx + fy;
            if (band > 1.25 && band < 1.32) {
                r = (r + 240) / 2;
                g = (g + 230) / 2;
                b = (b + 200) / 2;
            }
            const int32_t n = noise();
            p[0] = clamp(b + n);
            p[1] = clamp(g + n);
            p[2] = clamp(r + n);
        }
    }
}

void BM_ConvTo8bit(benchmark::State& state) {
    const int32_t method = static_cast<int32_t>(state.range(0));
    Qimg photo, source, dest;
    MakePhoto(photo, 1920, 1080);
    std::memset(static_cast<void*>(&source), 0, sizeof source);
    std::memset(static_cast<void*>(&dest), 0, sizeof dest);
    ImgCopy(photo, source);
    for (auto _ : state) {
        if (method == 2) {  // the heavy dither changes its source: start from the same picture
            state.PauseTiming();
            std::memcpy(source.data, photo.data, static_cast<size_t>(photo.size));
            state.ResumeTiming();
        }
        ConvTo8bit(source, dest, method);
        benchmark::DoNotOptimize(dest.data);
    }
    ImgFree(dest);
    ImgFree(source);
    ImgFree(photo);
}
BENCHMARK(BM_ConvTo8bit)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
