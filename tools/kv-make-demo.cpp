// kv-make-demo: writes the demo movie that the player opens by default: ten seconds of a
// procedural evening landscape (a sky turning from day to dusk, a setting sun, drifting clouds,
// three ranges of hills scrolling at different speeds, fireflies coming out) at 320 x 240 and 25
// frames per second, coded with HAV BEST-P, with a small procedural tune as 22,050 Hz sound.
//
// Usage: kv-make-demo OUT.hav   (exit status 0 on success, 1 on an error, 2 on bad usage)

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/HavWriter.h"
#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

constexpr int32_t W = 320;
constexpr int32_t H = 240;
constexpr int32_t FPS = 25;
constexpr int32_t FRAMES = 10 * FPS;
constexpr int32_t RATE = 22050;
constexpr double PI = 3.14159265358979323846;

uint8_t Byte_(double v) {
    return static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(v)), 0, 255));
}

struct Rgb {
    double r, g, b;
};

Rgb Mix_(const Rgb& a, const Rgb& b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

void Put_(uint8_t* p, const Rgb& c) {
    p[0] = Byte_(c.b);
    p[1] = Byte_(c.g);
    p[2] = Byte_(c.r);
}

// Height of a range of hills at column x (pixels from the top).
double Hill_(int32_t layer, double x) {
    const double base[] = {150, 175, 200};
    const double f = 0.013 + 0.009 * layer;
    return base[layer] - 18 * std::sin(x * f + layer * 1.7) - 9 * std::sin(x * f * 2.3 + layer);
}

void Render_(int32_t frame, uint8_t* pixels) {
    const double t = frame / double(FRAMES);  // 0 .. 1 over the movie
    const Rgb dayTop{70, 130, 220}, duskTop{40, 30, 90};
    const Rgb dayLow{180, 210, 240}, duskLow{250, 140, 80};
    const Rgb top = Mix_(dayTop, duskTop, t), low = Mix_(dayLow, duskLow, t);
    const double sunX = 60 + 200 * t, sunY = 60 + 110 * t, sunR = 22;
    const Rgb hills[] = {Mix_({90, 120, 150}, {80, 60, 110}, t),
                         Mix_({60, 120, 70}, {50, 60, 70}, t), Mix_({40, 90, 40}, {25, 35, 40}, t)};
    const double speed[] = {0.25, 0.6, 1.2};
    for (int32_t y = 0; y < H; ++y) {
        const Rgb sky = Mix_(top, low, y / double(H));
        for (int32_t x = 0; x < W; ++x) {
            Rgb c = sky;
            // The sun, its glow, and drifting clouds.
            const double d = std::hypot(x - sunX, y - sunY);
            if (d < sunR)
                c = Mix_({255, 240, 180}, {255, 150, 60}, t);
            else if (d < 3 * sunR)
                c = Mix_(c, {255, 220, 150}, 0.35 * (1 - (d - sunR) / (2 * sunR)));
            const double cx = x + frame * 0.8;
            const double cloud = std::sin(cx * 0.031 + 1.5 * std::sin(y * 0.045)) *
                                     std::sin(y * 0.08 + 0.6 + std::sin(cx * 0.011)) -
                                 0.5 - y / 220.0;
            if (cloud > 0)
                c = Mix_(c, Mix_({255, 255, 255}, {230, 170, 160}, t), std::min(1.0, cloud * 3));
            // Hills, the nearer the faster.
            for (int32_t layer = 0; layer < 3; ++layer)
                if (y > Hill_(layer, x + frame * speed[layer]))
                    c = Mix_(hills[layer], {0, 0, 0}, (y - 140) / 400.0);
            Put_(pixels + (y * W + x) * 3, c);
        }
    }
    // Fireflies in the second half.
    for (int32_t i = 0; i < 14 && t > 0.5; ++i) {
        const double fx = std::fmod(37.0 * i + frame * (0.4 + 0.05 * i), W);
        const double fy = 200 + 25 * std::sin(i * 1.9 + frame * 0.07);
        const double glow = std::max(0.0, std::sin(frame * 0.2 + i)) * (t - 0.5) * 2;
        for (int32_t dy = -1; dy <= 1; ++dy)
            for (int32_t dx = -1; dx <= 1; ++dx) {
                const int32_t x = static_cast<int32_t>(fx) + dx, y = static_cast<int32_t>(fy) + dy;
                if (x < 0 || x >= W || y < 0 || y >= H) continue;
                uint8_t* p = pixels + (y * W + x) * 3;
                const double a = glow * (dx == 0 && dy == 0 ? 1.0 : 0.4);
                p[0] = Byte_(p[0] + (120 - p[0]) * a);
                p[1] = Byte_(p[1] + (255 - p[1]) * a);
                p[2] = Byte_(p[2] + (230 - p[2]) * a);
            }
    }
}

// A slow pentatonic tune over a soft bass, 16-bit mono.
std::vector<int16_t> Tune_() {
    const int32_t melody[] = {0, 2, 4, 7, 9, 7, 4, 2,  4, 7, 9, 12, 9,
                              7, 4, 2, 0, 4, 2, 0, -3, 0, 2, 4, 7};
    const int32_t bass[] = {-12, -12, -8, -8, -15, -15, -10, -10, -12, -12};
    const int32_t notes = sizeof melody / sizeof melody[0];
    std::vector<int16_t> out(static_cast<size_t>(10 * RATE));
    const double beat = 10.0 / notes;  // each melody note fills an equal share of the ten seconds
    for (size_t i = 0; i < out.size(); ++i) {
        const double s = i / double(RATE);
        const int32_t n = std::min(notes - 1, static_cast<int32_t>(s / beat));
        const double in = s - n * beat;
        const double f = 440.0 * std::pow(2.0, melody[n] / 12.0);
        const double env = std::min(1.0, in / 0.02) * std::exp(-2.5 * in);
        double v = env * (std::sin(2 * PI * f * s) + 0.3 * std::sin(4 * PI * f * s) +
                          0.1 * std::sin(6 * PI * f * s));
        const double fb = 440.0 * std::pow(2.0, bass[static_cast<int32_t>(s)] / 12.0);
        v += 0.35 * std::sin(2 * PI * fb * s) * (0.6 + 0.4 * std::sin(2 * PI * s / 2));
        const double fade = std::min({1.0, s / 0.5, (10.0 - s) / 1.0});
        out[i] = static_cast<int16_t>(std::lround(std::clamp(v * fade * 9000, -32000.0, 32000.0)));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("Usage: kv-make-demo OUT.hav\n", stderr);
        return 2;
    }
    const std::string out = argv[1];
    const std::string temp = out + ".part";
    const std::vector<int16_t> tune = Tune_();
    const QWaveFmt sound{WAVE_FORMAT_PCM, 1, RATE, 0, 0, 16, 0};
    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    MonitoredIsolated([&] {
        QHavWriter w;
        HAVCreate(w, temp, W, H, 3, HAV_CODEC_BESTP, FPS, FPS, &sound);
        _imgalloc_(img, W, H, "kv-make-demo.img", __LINE__, 24);
        const int32_t perFrame = RATE / FPS;
        for (int32_t f = 0; f < FRAMES; ++f) {
            Render_(f, img.data);
            HAVAddFrame(w, img);
            HAVAddSound(w, reinterpret_cast<const uint8_t*>(&tune[static_cast<size_t>(f) * perFrame]),
                        perFrame);
        }
        HAVWriterClose(w);
    });
    ImgFree(img);
    if (!ErrNone() || std::rename(temp.c_str(), out.c_str()) != 0) {
        std::fprintf(stderr, "kv-make-demo: %s\n",
                     ErrNone() ? "cannot rename the movie into place" : ErrLastText().c_str());
        std::remove(temp.c_str());
        return 1;
    }
    return 0;
}
