// HAV movie costs on 640 x 480 frames of 3 bytes: decoding at playback (continuous mode) with
// each codec, and encoding with BEST. Targets on a 2-core machine: decoding at 300 frames per
// second or more with BEST and BEST-P, 500 or more with FAST; encoding BEST at 25 or more.
//
// The clip is a moving scene over a still landscape: a sky gradient with a band of clouds
// drifting two pixels a frame, hills with fine static texture, four shaded balls bouncing, a
// swinging pendulum and a flickering lamp; about a quarter of the picture changes from frame to
// frame. Key frames every 25 frames (one a second at 25 frames per second).
//
// Besides the benchmarks the program writes the clip for the size comparison of
// scripts/bench-hav-size.sh:
//   kv_bench_hav --write-raw FRAMES [--pan]             raw BGR24 frames on standard output
//   kv_bench_hav --write-hav FILE CODEC FRAMES [--pan]  a HAV movie (CODEC: best, fast, best-p)
//   kv_bench_hav --decode FILE [FRAMES] [--check]     decodes every frame (or the first FRAMES)
//                                                     in order, printing the processor time
// (--pan: the variant in which the whole landscape pans a pixel a frame, as under a moving
// camera: nothing stays in place, so no byte can be skipped. --size WxH: the scene at another
// size than 640 x 480, scaled, or with --tile repeated; for --check, the options the clip was
// written with.)

#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/FF_HAV.h"
#include "formats/HavWriter.h"
#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

// The picture size: 640 x 480 for the benchmarks; --size gives another to the clip writers and
// to --decode's check. The scene scales with it (SW x SH = W x H), or with --tile stays at
// 640 x 480 and is repeated over the picture: every pixel then costs what it costs at 640 x 480,
// which isolates the effect of the picture's size on the decoder.
int32_t W = 640;
int32_t H = 480;
int32_t SW = 640;
int32_t SH = 480;
constexpr int32_t KEY = 25;
constexpr int32_t CLIP = 100;  // frames encoded for the decoding benchmarks

uint8_t Clamp_(double v) { return static_cast<uint8_t>(std::clamp(static_cast<int>(v), 0, 255)); }

// Renders frame f of the scene into a 24-bit image (blue, green, red).
class Scene {
public:
    Scene()
        : sx_(SW / 640.0),
          sy_(SH / 480.0),
          cloudRows_(static_cast<int32_t>(120 * sy_)),
          back_(static_cast<size_t>(SW) * SH * 3),
          clouds_(static_cast<size_t>(2 * SW) * cloudRows_ * 3) {
        uint32_t state = 2024u;
        auto noise = [&state] {
            state = state * 1664525u + 1013904223u;
            return static_cast<int32_t>((state >> 24) % 9) - 4;
        };
        for (int32_t y = 0; y < SH; ++y) {
            for (int32_t x = 0; x < SW; ++x) {
                uint8_t* p = &back_[(static_cast<size_t>(y) * SW + x) * 3];
                const double fx = x / double(SW), fy = y / double(SH);
                const double hill = 0.55 + 0.08 * std::sin(fx * 7.0) +
                                    0.05 * std::sin(fx * 17.0 + 1.0);
                if (fy < hill) {  // sky
                    p[0] = Clamp_(235 - 90 * fy);
                    p[1] = Clamp_(180 - 60 * fy);
                    p[2] = Clamp_(120 - 40 * fy);
                } else {  // grass with fine texture
                    const double t = 18 * std::sin(x * 0.9 + y * 1.3) * std::sin(y * 0.7);
                    p[0] = Clamp_(40 + t / 3 + noise());
                    p[1] = Clamp_(120 + 60 * (fy - hill) + t + noise());
                    p[2] = Clamp_(60 + t / 2 + noise());
                }
            }
        }
        for (int32_t y = 0; y < cloudRows_; ++y)
            for (int32_t x = 0; x < 2 * SW; ++x) {
                const double u = x / sx_, v = y / sy_;
                const double c = std::sin(u * 0.021) * std::sin(v * 0.05 + u * 0.004) +
                                 0.3 * std::sin(u * 0.11 + v * 0.2);
                const double a = std::clamp(c, 0.0, 1.0);
                uint8_t* p = &clouds_[(static_cast<size_t>(y) * 2 * SW + x) * 3];
                p[0] = p[1] = p[2] = Clamp_(255 * a);
                p[0] = Clamp_(p[0] + 20 * a);
            }
    }

    // pan: the whole landscape moves a pixel a frame, as under a panning camera.
    void Render(int32_t f, uint8_t* out, bool pan = false) const {
        if (!pan) {
            std::memcpy(out, back_.data(), back_.size());
        } else {
            const int32_t s = f % SW;
            for (int32_t y = 0; y < SH; ++y) {
                const uint8_t* row = &back_[static_cast<size_t>(y) * SW * 3];
                uint8_t* o = out + static_cast<size_t>(y) * SW * 3;
                std::memcpy(o, row + s * 3, static_cast<size_t>(SW - s) * 3);
                std::memcpy(o + (SW - s) * 3, row, static_cast<size_t>(s) * 3);
            }
        }
        // Clouds drifting across the upper sky.
        const int32_t shift = static_cast<int32_t>(2 * f * sx_) % SW;
        const int32_t top = static_cast<int32_t>(30 * sy_);
        for (int32_t y = 0; y < cloudRows_; ++y) {
            uint8_t* row = out + (static_cast<size_t>(y + top) * SW) * 3;
            const uint8_t* src = &clouds_[(static_cast<size_t>(y) * 2 * SW + shift) * 3];
            for (int32_t x = 0; x < SW * 3; ++x)
                row[x] = static_cast<uint8_t>(std::max(row[x], src[x]));
        }
        // Bouncing balls.
        for (int32_t b = 0; b < 4; ++b) {
            const double t = f * (0.05 + 0.013 * b) + b;
            const int32_t cx = static_cast<int32_t>(SW / 2 + (SW / 2 - 50 * sx_) * std::sin(t * 1.3));
            const int32_t cy = static_cast<int32_t>(
                SH - sy_ * (60 + std::fabs(std::sin(t * 2.1)) * 250));
            Disc(out, cx, cy, R(28 + 6 * b), 60 * b, 200 - 40 * b, 90 + 50 * b);
        }
        // A pendulum and a lamp.
        const double a = 0.8 * std::sin(f * 0.09);
        for (int32_t r = 0; r < R(150); ++r)
            Disc(out, static_cast<int32_t>(540 * sx_ + r * std::sin(a)),
                 static_cast<int32_t>(20 * sy_ + r * std::cos(a)), R(2), 30, 30, 30);
        Disc(out, static_cast<int32_t>(540 * sx_ + R(150) * std::sin(a)),
             static_cast<int32_t>(20 * sy_ + R(150) * std::cos(a)), R(18), 40, 120, 200);
        const int32_t glow = (f * 37) % 60;
        Disc(out, static_cast<int32_t>(80 * sx_), static_cast<int32_t>(300 * sy_), R(14), 80 + glow,
             200 + glow / 2, 250);
    }

private:
    // A length of the 640 x 480 scene at this size.
    int32_t R(int32_t v) const { return static_cast<int32_t>(v * sy_); }

    static void Disc(uint8_t* out, int32_t cx, int32_t cy, int32_t r, int32_t b, int32_t g,
                     int32_t red) {
        for (int32_t y = std::max(0, cy - r); y < std::min(SH, cy + r); ++y)
            for (int32_t x = std::max(0, cx - r); x < std::min(SW, cx + r); ++x) {
                const int32_t dx = x - cx, dy = y - cy, d2 = dx * dx + dy * dy;
                if (d2 >= r * r) continue;
                const double shade = 1.0 - 0.6 *
                                               std::sqrt(double((dx + r / 3) * (dx + r / 3) +
                                                                (dy + r / 3) * (dy + r / 3))) /
                                               (1.4 * r);
                uint8_t* p = out + (static_cast<size_t>(y) * SW + x) * 3;
                p[0] = Clamp_(b * shade);
                p[1] = Clamp_(g * shade);
                p[2] = Clamp_(red * shade);
            }
    }

    double sx_, sy_;
    int32_t cloudRows_;
    std::vector<uint8_t> back_;
    std::vector<uint8_t> clouds_;
};

const Scene& TheScene() {
    static Scene scene;
    return scene;
}

// Frame f of the clip at the picture size.
void RenderFrame(int32_t f, uint8_t* out, bool pan = false) {
    if (SW == W && SH == H) return TheScene().Render(f, out, pan);
    static std::vector<uint8_t> tile(static_cast<size_t>(SW) * SH * 3);
    TheScene().Render(f, tile.data(), pan);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; x += SW)
            std::memcpy(out + (static_cast<size_t>(y) * W + x) * 3,
                        &tile[(static_cast<size_t>(y % SH) * SW) * 3],
                        static_cast<size_t>(std::min(SW, W - x)) * 3);
}

void NewImage(Qimg& img) {
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    _imgalloc_(img, W, H, "bench_hav.img", __LINE__, 24);
}

void WriteClip(const std::string& path, int32_t codec, int32_t frames, bool pan = false) {
    QHavWriter w;
    HAVCreate(w, path, W, H, 3, codec, KEY, 25.0, nullptr);
    Qimg img;
    NewImage(img);
    for (int32_t f = 0; f < frames; ++f) {
        RenderFrame(f, img.data, pan);
        HAVAddFrame(w, img);
    }
    HAVWriterClose(w);
    ImgFree(img);
}

// The clip of each codec, encoded once.
const std::string& ClipFile(int32_t codec, bool pan) {
    static std::string files[6];
    const int32_t i = codec + (pan ? 3 : 0);
    if (files[i].empty()) {
        files[i] = "/tmp/kv_bench_hav_" + std::to_string(getpid()) + "_" + std::to_string(i) +
                   ".hav";
        WriteClip(files[i], codec, CLIP, pan);
        std::atexit([] {
            for (const std::string& f : files)
                if (!f.empty()) std::remove(f.c_str());
        });
    }
    return files[i];
}

void BM_HavDecode(benchmark::State& state) {
    const int32_t codec = static_cast<int32_t>(state.range(0));
    const bool pan = state.range(1) != 0;
    QHavHandle h;
    HAVOpen(h, ClipFile(codec, pan));
    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    int32_t n = 0;
    for (auto _ : state) {
        n = n % CLIP + 1;
        HAVImgLoad(h, img, n, 1);
        benchmark::DoNotOptimize(img.data[0]);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                               benchmark::Counter::kIsRate);
    state.counters["bytes/frame"] = static_cast<double>(FileSizeByName(ClipFile(codec, pan))) / CLIP;
    HAVClose(h);
    ImgFree(img);
}
BENCHMARK(BM_HavDecode)
    ->ArgsProduct({{HAV_CODEC_BEST, HAV_CODEC_FAST, HAV_CODEC_BESTP}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

void BM_HavEncode(benchmark::State& state) {
    const int32_t codec = static_cast<int32_t>(state.range(0));
    const bool pan = state.range(1) != 0;
    constexpr int32_t FRAMES = 50;
    std::vector<uint8_t> clip(static_cast<size_t>(FRAMES) * W * H * 3);
    for (int32_t f = 0; f < FRAMES; ++f)
        RenderFrame(f, &clip[static_cast<size_t>(f) * W * H * 3], pan);
    const std::string path = "/tmp/kv_bench_hav_enc_" + std::to_string(getpid()) + ".hav";
    QHavWriter w;
    HAVCreate(w, path, W, H, 3, codec, KEY, 25.0, nullptr);
    Qimg img;
    NewImage(img);
    int32_t f = 0;
    for (auto _ : state) {
        if (w.frames == HAV_MAX_FRAMES) state.SkipWithError("movie full");
        std::memcpy(img.data, &clip[static_cast<size_t>(f) * W * H * 3],
                    static_cast<size_t>(img.size));
        f = (f + 1) % FRAMES;
        HAVAddFrame(w, img);
    }
    state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                               benchmark::Counter::kIsRate);
    HAVWriterClose(w);
    ImgFree(img);
    std::remove(path.c_str());
}
BENCHMARK(BM_HavEncode)
    ->ArgsProduct({{HAV_CODEC_BEST, HAV_CODEC_FAST, HAV_CODEC_BESTP}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

int32_t CodecByName(const std::string& name) {
    if (name == "best") return HAV_CODEC_BEST;
    if (name == "fast") return HAV_CODEC_FAST;
    if (name == "best-p") return HAV_CODEC_BESTP;
    return -1;
}

// Decodes every frame of a movie in order (or the first `limit`), as playback does, and prints
// the frame count and the processor time of the decoding alone. With `check`, each frame is
// compared with the scene it was made from. 0 on success; 1 on an error or a wrong frame.
int DecodeAll(const std::string& file, int32_t limit, bool check, bool pan) {
    QHavHandle h;
    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    std::vector<uint8_t> want(check ? static_cast<size_t>(W) * H * 3 : 0);
    int32_t n = 0;
    bool same = true;
    timespec t0{}, t1{};
    MonitoredIsolated([&] {
        HAVOpen(h, file);
        const int32_t frames = limit > 0 ? std::min(limit, h.frames) : h.frames;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
        for (n = 0; n < frames; ++n) {
            HAVImgLoadNext(h, img);
            if (check) {
                RenderFrame(n, want.data(), pan);
                same = same && h.width == W && h.height == H &&
                       std::memcmp(img.data, want.data(), want.size()) == 0;
            }
        }
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
        HAVClose(h);
    });
    if (ErrLastGroup() != 0) {
        std::fprintf(stderr, "kv_bench_hav: %s: %s\n", file.c_str(), ErrLastText().c_str());
        return 1;
    }
    if (!same) {
        std::fprintf(stderr, "kv_bench_hav: %s does not decode to its scene\n", file.c_str());
        return 1;
    }
    ImgFree(img);
    const double ns = (t1.tv_sec - t0.tv_sec) * 1e9 + double(t1.tv_nsec - t0.tv_nsec);
    std::printf("frames %d cpu_ns %.0f\n", n, ns);
    return 0;
}

}  // namespace

// Options anywhere: --pan, --size WxH. Modes: see the head of the file.
int main(int argc, char** argv) {
    std::vector<std::string> args;
    bool pan = false, check = false, tile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pan") {
            pan = true;
        } else if (a == "--check") {
            check = true;
        } else if (a == "--tile") {
            tile = true;
        } else if (a == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &W, &H) != 2 || W < 16 || H < 16 || W > 7680 ||
                H > 4320)
                return 2;
        } else {
            args.push_back(a);
        }
    }
    if (!tile) SW = W, SH = H;
    if (args.size() == 2 && args[0] == "--write-raw") {
        const int32_t frames = std::atoi(args[1].c_str());
        std::vector<uint8_t> frame(static_cast<size_t>(W) * H * 3);
        for (int32_t f = 0; f < frames; ++f) {
            RenderFrame(f, frame.data(), pan);
            if (std::fwrite(frame.data(), 1, frame.size(), stdout) != frame.size()) return 1;
        }
        return 0;
    }
    if (args.size() == 4 && args[0] == "--write-hav") {
        const int32_t codec = CodecByName(args[2]);
        if (codec < 0) return 2;
        int32_t status = 0;
        MonitoredIsolated([&] { WriteClip(args[1], codec, std::atoi(args[3].c_str()), pan); });
        if (ErrLastGroup() != 0) {
            std::fprintf(stderr, "kv_bench_hav: %s: %s\n", args[1].c_str(), ErrLastText().c_str());
            status = 1;
        }
        return status;
    }
    if ((args.size() == 2 || args.size() == 3) && args[0] == "--decode")
        return DecodeAll(args[1], args.size() == 3 ? std::atoi(args[2].c_str()) : 0, check, pan);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
