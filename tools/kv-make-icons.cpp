// kv-make-icons: draws the player's icon (assets/icons/kelvora.svg: a play mark in a warm
// gradient on the dark panel) as square PNG pictures of the sizes asked, for the icon theme's
// fixed-size folders. Each pixel is the mean of 4 x 4 samples, so the edges are smooth; the
// drawing is pure arithmetic and gives the same files on every build.
//
// Usage: kv-make-icons OUT_DIR SIZE...   writes OUT_DIR/SIZExSIZE/kelvora.png
//        (exit status 0 on success, 1 on an error, 2 on bad usage)

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "formats/FFWrite.h"
#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

struct Rgb_ {
    double r, g, b;
};

Rgb_ Mix_(Rgb_ a, Rgb_ b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// The colour at (x, y) of the 64-unit drawing.
Rgb_ Sample_(double x, double y) {
    const Rgb_ panel = Mix_({0x0c, 0x10, 0x2c}, {0x2c, 0x12, 0x40}, (x + y) / 128.0);
    // The play mark: the triangle (23, 16.6), (23, 47.4), (48.6, 32).
    const bool inside = x >= 23 && (y - 16.6) * 25.6 >= (x - 23) * 15.4 &&
                        (47.4 - y) * 25.6 >= (x - 23) * 15.4;
    return inside ? Mix_({0xff, 0xf0, 0xb4}, {0xec, 0x80, 0x24}, (y - 16.6) / 30.8) : panel;
}

void Draw_(Qimg& img, int32_t size) {
    constexpr int kSub = 4;
    for (int32_t y = 0; y < size; ++y)
        for (int32_t x = 0; x < size; ++x) {
            Rgb_ sum{0, 0, 0};
            for (int sy = 0; sy < kSub; ++sy)
                for (int sx = 0; sx < kSub; ++sx) {
                    const Rgb_ c = Sample_((x + (sx + 0.5) / kSub) * 64.0 / size,
                                           (y + (sy + 0.5) / kSub) * 64.0 / size);
                    sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
                }
            uint8_t* p = img.data + (static_cast<size_t>(y) * size + x) * 3;  // blue, green, red
            p[0] = static_cast<uint8_t>(sum.b / (kSub * kSub) + 0.5);
            p[1] = static_cast<uint8_t>(sum.g / (kSub * kSub) + 0.5);
            p[2] = static_cast<uint8_t>(sum.r / (kSub * kSub) + 0.5);
        }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("Usage: kv-make-icons OUT_DIR SIZE...\n", stderr);
        return 2;
    }
    const std::string out = argv[1];
    for (int i = 2; i < argc; ++i) {
        const int32_t size = std::atoi(argv[i]);
        if (size < 16 || size > 1024) {
            std::fprintf(stderr, "kv-make-icons: bad size '%s'\n", argv[i]);
            return 2;
        }
        const std::string dir = out + "/" + std::to_string(size) + "x" + std::to_string(size);
        ::mkdir(out.c_str(), 0755);
        ::mkdir(dir.c_str(), 0755);
        Qimg img;
        std::memset(static_cast<void*>(&img), 0, sizeof img);
        MonitoredIsolated([&] {
            _imgalloc_(img, size, size, "kv-make-icons.img", __LINE__, 24);
            Draw_(img, size);
            ImgSavePNG(dir + "/kelvora.png", img);
        });
        ImgFree(img);
        if (!ErrNone()) {
            std::fprintf(stderr, "kv-make-icons: %s\n", ErrLastText().c_str());
            return 1;
        }
    }
    return 0;
}
