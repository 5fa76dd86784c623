// Pixel-format conversion and resizing of full-size pictures.
#include <benchmark/benchmark.h>

#include <cstring>

#include "image/ImgBasic.h"

using namespace kelvora;

namespace {

// A picture with varied pixels (and, at 8 bits, a varied palette).
void Fill(Qimg& img, int32_t w, int32_t h, int32_t bits) {
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    _imgalloc_(img, w, h, "bench.img", __LINE__, bits);
    for (int32_t k = 0; k < img.size; ++k) img.data[k] = static_cast<uint8_t>(k * 7 + k / 4093);
    for (int i = 0; i < 256; ++i)
        img.palette[i] = QBGR{static_cast<uint8_t>(i), static_cast<uint8_t>(i * 3),
                              static_cast<uint8_t>(255 - i)};
}

void Convert(benchmark::State& state, int32_t from, int32_t to) {
    Qimg src, dest;
    Fill(src, 1920, 1080, from);
    std::memset(static_cast<void*>(&dest), 0, sizeof dest);
    for (auto _ : state) {
        ImgConvBpp(src, dest, to);
        benchmark::DoNotOptimize(dest.data);
    }
    ImgFree(src);
    ImgFree(dest);
}

void BM_ImgConvBpp_24to16_1080p(benchmark::State& state) { Convert(state, 24, 16); }
void BM_ImgConvBpp_8to24_1080p(benchmark::State& state) { Convert(state, 8, 24); }

void BM_ImgResize_640x480_to_1280x960(benchmark::State& state) {
    Qimg src, dest;
    Fill(src, 640, 480, 24);
    std::memset(static_cast<void*>(&dest), 0, sizeof dest);
    for (auto _ : state) {
        ImgResize(src, dest, 1280, 960);
        benchmark::DoNotOptimize(dest.data);
    }
    ImgFree(src);
    ImgFree(dest);
}

}  // namespace

BENCHMARK(BM_ImgConvBpp_24to16_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImgConvBpp_8to24_1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImgResize_640x480_to_1280x960)->Unit(benchmark::kMillisecond);
