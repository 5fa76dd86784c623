#include "image/PalOpt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct RGB {
    int r, g, b;
};

Qimg Blank_() {
    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    return img;
}

void Make24_(Qimg& img, int w, int h, const std::function<RGB(int, int)>& colour, int bits = 24) {
    _imgalloc_(img, w, h, "PalOptTest.img", __LINE__, bits);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const RGB c = colour(x, y);
            uint8_t* p = img.data + (static_cast<int64_t>(y) * w + x) * img.bytesPP;
            p[0] = static_cast<uint8_t>(c.b);
            p[1] = static_cast<uint8_t>(c.g);
            p[2] = static_cast<uint8_t>(c.r);
            if (bits == 32) p[3] = 0;
        }
}

RGB Pixel_(const Qimg& img, int x, int y) {
    const uint8_t* p = img.data + (static_cast<int64_t>(y) * img.width + x) * img.bytesPP;
    return RGB{p[2], p[1], p[0]};
}

int Dist_(int r, int g, int b, const QBGR& c) {
    return 3481 * (g - c.green) * (g - c.green) + 900 * (r - c.red) * (r - c.red) +
           121 * (b - c.blue) * (b - c.blue);
}

int NearestBrute_(const QBGR* pal, int n, int r, int g, int b) {
    int best = 0;
    for (int i = 1; i < n; ++i)
        if (Dist_(r, g, b, pal[i]) < Dist_(r, g, b, pal[best])) best = i;
    return best;
}

int CellOf_(int r, int g, int b) { return (r >> 2) + 64 * (g >> 2) + 4096 * (b >> 2); }

// A smooth, photo-like picture: gradients, a few shapes and low-amplitude noise.
void MakeNatural_(Qimg& img, int w, int h, uint32_t seed, int bits = 24) {
    std::mt19937 rng(seed);
    Make24_(
        img, w, h,
        [&](int x, int y) {
            const double fx = double(x) / w, fy = double(y) / h;
            double r = 40 + 170 * fx + 30 * std::sin(fy * 6.0);
            double g = 60 + 120 * fy + 40 * std::cos(fx * 5.0 + fy * 3.0);
            double b = 120 + 90 * (1 - fx) * fy;
            const double dx = fx - 0.6, dy = fy - 0.4;
            if (dx * dx + dy * dy < 0.04) {
                r = 230 - 60 * fy;
                g = 80;
                b = 40 + 50 * fx;
            }
            if (fx > 0.1 && fx < 0.3 && fy > 0.6 && fy < 0.9) {
                r = 20;
                g = 30 + 40 * fx;
                b = 60;
            }
            const int n = int(rng() % 9) - 4;
            auto cl = [](double v) { return std::clamp(int(v), 0, 255); };
            return RGB{cl(r + n), cl(g + n), cl(b - n)};
        },
        bits);
}

struct PalOptTest : test::RegisterBalanceTest {
    void TearDown() override {
        PalDone();
        for (Qimg* p : {&src, &dst, &ref, &other}) ImgFree(*p);
        RegisterBalanceTest::TearDown();
    }
    Qimg src = Blank_(), dst = Blank_(), ref = Blank_(), other = Blank_();
};

// ---- Independent reference of the box splitting (bounding boxes, double means) ------------

struct RefBox {
    int lo[3], hi[3];
    double spread[3];
    int size;
};

struct RefQuant {
    std::vector<int64_t> count = std::vector<int64_t>(262144, 0);  // pixels per cell
    std::vector<RefBox> boxes;

    int64_t At(int r, int g, int b) const { return count[r + 64 * g + 4096 * b]; }

    template <class F>
    void ForCells(const RefBox& x, F f) const {
        for (int r = x.lo[0]; r <= x.hi[0]; ++r)
            for (int g = x.lo[1]; g <= x.hi[1]; ++g)
                for (int b = x.lo[2]; b <= x.hi[2]; ++b)
                    if (At(r, g, b) > 0) f(r, g, b, At(r, g, b));
    }

    void Shrink(RefBox& x) const {
        int mn[3] = {64, 64, 64}, mx[3] = {-1, -1, -1};
        bool any = false;
        ForCells(x, [&](int r, int g, int b, int64_t) {
            const int c[3] = {r, g, b};
            any = true;
            for (int a = 0; a < 3; ++a)
                mn[a] = std::min(mn[a], c[a]), mx[a] = std::max(mx[a], c[a]);
        });
        for (int a = 0; a < 3; ++a) {
            if (any)
                x.lo[a] = mn[a], x.hi[a] = mx[a];
            else if (x.lo[a] <= x.hi[a])
                x.lo[a] = x.hi[a] + 1;  // empty box: faces meet
        }
        const int d[3] = {x.hi[0] - x.lo[0], x.hi[1] - x.lo[1], x.hi[2] - x.lo[2]};
        x.size = (d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) * 121;
        double sum = 0, s[3] = {0, 0, 0};
        ForCells(x, [&](int r, int g, int b, int64_t n) {
            sum += double(n);
            s[0] += double(n) * r, s[1] += double(n) * g, s[2] += double(n) * b;
        });
        double mean[3] = {0, 0, 0};
        if (sum > 0)
            for (int a = 0; a < 3; ++a) mean[a] = std::nearbyint(s[a] / sum);
        const double w[3] = {900, 3481, 121};
        for (double& v : x.spread) v = 0;
        ForCells(x, [&](int r, int g, int b, int64_t n) {
            if (n < 2) return;
            const int c[3] = {r, g, b};
            for (int a = 0; a < 3; ++a)
                x.spread[a] += double(n - 1) * (mean[a] - c[a]) * (mean[a] - c[a]) * w[a];
        });
    }

    void Split(int target) {
        boxes.clear();
        RefBox first{{0, 0, 0}, {63, 63, 63}, {0, 0, 0}, 0};
        Shrink(first);
        boxes.push_back(first);
        while (int(boxes.size()) < target) {
            double best = -1;
            int chosen = -1, axis = 0;
            for (int i = 0; i < int(boxes.size()); ++i) {
                if (boxes[i].size <= 0) continue;
                for (int a = 0; a < 3; ++a)
                    if (boxes[i].spread[a] > best) best = boxes[i].spread[a], chosen = i, axis = a;
            }
            if (chosen < 0) break;
            RefBox add = boxes[chosen];
            const int mid = (boxes[chosen].lo[axis] + boxes[chosen].hi[axis]) / 2;
            boxes[chosen].hi[axis] = mid;
            add.lo[axis] = mid + 1;
            Shrink(boxes[chosen]);
            Shrink(add);
            boxes.push_back(add);
        }
    }

    QBGR Colour(const RefBox& x) const {
        int64_t sum = 0, s[3] = {0, 0, 0};
        ForCells(x, [&](int r, int g, int b, int64_t n) {
            sum += n;
            s[0] += n * r, s[1] += n * g, s[2] += n * b;
        });
        if (sum == 0) return QBGR{0, 0, 0};
        auto c = [&](int64_t v) {
            const int64_t m = v * 4 / sum;
            return uint8_t(m < 4 ? 0 : m);
        };
        return QBGR{c(s[2]), c(s[1]), c(s[0])};
    }
};

bool Inside_(const QPalBox& x, int r, int g, int b) {
    return r >= x.r0 && r <= x.r1 && g >= x.g0 && g <= x.g1 && b >= x.b0 && b <= x.b1;
}

// Checks the quantizer's boxes, palette and plain remap of a 24-bit picture against the
// reference. Uses the steps so that the work area can be inspected.
void CrossCheckHigh_(Qimg& src, Qimg& dst, int* emptyBoxes = nullptr) {
    RefQuant ref;
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const RGB c = Pixel_(src, x, y);
            ++ref.count[CellOf_(c.r, c.g, c.b)];
        }
    int distinct = 0;
    for (int64_t n : ref.count) distinct += n > 0;
    ASSERT_GT(distinct, 256);

    PalInit();
    PalCountColors(src);
    QPalWork* w = PalWorkArea();
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 262144; ++i) ASSERT_EQ(int64_t(w->hist[i]) + 1, ref.count[i]) << i;
    PalReduce(256);
    EXPECT_EQ(w->colours, distinct);
    EXPECT_EQ(w->target, 256);

    ref.Split(256);
    ASSERT_EQ(w->boxCount, int(ref.boxes.size()));
    ASSERT_EQ(w->boxCount, 256);
    int empties = 0;
    std::array<QBGR, 256> pal;
    std::fill(pal.begin(), pal.end(), QBGR{255, 255, 255});
    for (int i = 0; i < w->boxCount; ++i) {
        const QPalBox& x = w->boxes[i];
        const RefBox& rb = ref.boxes[size_t(i)];
        EXPECT_EQ(x.r0, rb.lo[0]) << i;
        EXPECT_EQ(x.r1, rb.hi[0]) << i;
        EXPECT_EQ(x.g0, rb.lo[1]) << i;
        EXPECT_EQ(x.g1, rb.hi[1]) << i;
        EXPECT_EQ(x.b0, rb.lo[2]) << i;
        EXPECT_EQ(x.b1, rb.hi[2]) << i;
        EXPECT_EQ(double(x.spreadR), rb.spread[0]) << i;
        EXPECT_EQ(double(x.spreadG), rb.spread[1]) << i;
        EXPECT_EQ(double(x.spreadB), rb.spread[2]) << i;
        EXPECT_EQ(x.size, rb.size) << i;
        EXPECT_EQ(x.midR, (x.r0 + x.r1) / 2);
        // Bounds never run past each other by more than one.
        EXPECT_LE(x.r0, x.r1 + 1);
        EXPECT_LE(x.g0, x.g1 + 1);
        EXPECT_LE(x.b0, x.b1 + 1);
        pal[size_t(i)] = ref.Colour(rb);
        if (x.r0 > x.r1 || x.g0 > x.g1 || x.b0 > x.b1) ++empties;
    }
    if (emptyBoxes) *emptyBoxes = empties;

    // Darkest to index 0.
    const int dark = NearestBrute_(pal.data(), 256, 0, 0, 0);
    std::array<int, 256> perm;
    for (int i = 0; i < 256; ++i) perm[size_t(i)] = i;
    std::swap(perm[0], perm[size_t(dark)]);
    std::swap(pal[0], pal[size_t(dark)]);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(w->palette[i].red, pal[size_t(i)].red) << i;
        EXPECT_EQ(w->palette[i].green, pal[size_t(i)].green) << i;
        EXPECT_EQ(w->palette[i].blue, pal[size_t(i)].blue) << i;
        EXPECT_LE(Dist_(0, 0, 0, w->palette[0]), Dist_(0, 0, 0, w->palette[i]));
    }

    // Inverse map: every cell inside box i holds perm[i]; every other cell stays -1.
    std::vector<int> expect(262144, -1);
    for (int i = 0; i < w->boxCount; ++i) {
        const QPalBox& x = w->boxes[i];
        for (int r = x.r0; r <= x.r1; ++r)
            for (int g = x.g0; g <= x.g1; ++g)
                for (int b = x.b0; b <= x.b1; ++b) {
                    int& e = expect[size_t(r + 64 * g + 4096 * b)];
                    EXPECT_EQ(e, -1) << "boxes overlap";
                    e = perm[size_t(i)];
                }
    }
    for (int i = 0; i < 262144; ++i) {
        if (ref.count[size_t(i)] > 0) {
            ASSERT_NE(expect[size_t(i)], -1) << "cell outside every box";
        }
        ASSERT_EQ(w->hist[i], expect[size_t(i)]) << i;
    }

    const std::vector<QPalBox> boxes(w->boxes, w->boxes + w->boxCount);
    PalRemap(src, dst, 0);
    PalDone();
    EXPECT_EQ(PalWorkArea(), nullptr);
    ASSERT_EQ(dst.bitsPP, 8);
    // Each pixel: the (exchanged) index of the one box that holds its cell.
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const RGB c = Pixel_(src, x, y);
            int box = -1, holders = 0;
            for (int i = 0; i < int(boxes.size()); ++i)
                if (Inside_(boxes[size_t(i)], c.r >> 2, c.g >> 2, c.b >> 2)) box = i, ++holders;
            ASSERT_EQ(holders, 1);
            ASSERT_EQ(dst.data[y * src.width + x], perm[size_t(box)]) << x << "," << y;
        }
    EXPECT_EQ(std::memcmp(dst.palette, pal.data(), 768), 0);
}

}  // namespace

// ---- The threshold table -------------------------------------------------------------------

TEST(PalOptDither, TableCountsPrefixesAndMean) {
    const uint8_t* t = PalDitherTable();
    std::map<int, int> count;
    int64_t sum = 0;
    for (int i = 0; i < 16384; ++i) ++count[t[i]], sum += t[i];
    ASSERT_EQ(count.size(), 64u);
    for (int k = 0; k < 64; ++k) {
        const int level = int(std::lrint(k * 255.0 / 63.0));
        EXPECT_EQ(count[level], 256) << "level " << level;
    }
    EXPECT_EQ(count.count(4), 1u);
    EXPECT_EQ(count.count(45), 1u);
    EXPECT_DOUBLE_EQ(double(sum) / 16384.0, 127.5);
    const int row0[16] = {0, 166, 93, 20, 69, 158, 28, 61, 251, 93, 162, 206, 125, 190, 36, 130};
    const int row1[16] = {121, 231, 146, 219, 190, 138, 210, 109,
                          174, 16,  113, 28,  69,  146, 251, 53};
    for (int x = 0; x < 16; ++x) {
        EXPECT_EQ(t[x], row0[x]) << x;
        EXPECT_EQ(t[128 + x], row1[x]) << x;
    }
    EXPECT_EQ(PalDitherTable(), t);  // built once
}

TEST(PalOptDither, TableHasNoShorterRepeatingTile) {
    const uint8_t* t = PalDitherTable();
    // Every period below 128 (the divisors 1, 2, 4, ..., 64 included) along rows and columns.
    for (int p = 1; p < 128; ++p) {
        bool rows = true, cols = true;
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x) {
                rows = rows && t[y * 128 + x] == t[y * 128 + (x + p) % 128];
                cols = cols && t[y * 128 + x] == t[((y + p) % 128) * 128 + x];
            }
        EXPECT_FALSE(rows) << "period " << p << " along rows";
        EXPECT_FALSE(cols) << "period " << p << " along columns";
    }
}

TEST(PalOptDither, ErrorTablesDampAndRoundTiesToEven) {
    int32_t t1[513], t3[513], t5[513], t7[513];
    _MakeErrTable(1, t1);
    _MakeErrTable(3, t3);
    _MakeErrTable(5, t5);
    _MakeErrTable(7, t7);
    auto at = [](const int32_t* t, int e) { return t[256 + e]; };
    EXPECT_EQ(at(t7, 0), 0);
    EXPECT_EQ(at(t7, 1), 0);   // 0.4375
    EXPECT_EQ(at(t7, 2), 1);   // 0.875
    EXPECT_EQ(at(t7, 8), 4);   // 3.5 -> 4
    EXPECT_EQ(at(t5, 8), 2);   // 2.5 -> 2 (ties to even)
    EXPECT_EQ(at(t3, 8), 2);   // 1.5 -> 2
    EXPECT_EQ(at(t1, 8), 0);   // 0.5 -> 0
    EXPECT_EQ(at(t7, 19), 8);  // 8.3125
    EXPECT_EQ(at(t7, 20), 0);  // round(7/16) div 2
    EXPECT_EQ(at(t7, 24), 1);  // round(35/16) = 2, div 2
    EXPECT_EQ(at(t7, 38), 4);  // round(133/16) = 8, div 2
    EXPECT_EQ(at(t7, 39), 0);
    EXPECT_EQ(at(t7, 57), 2);  // 8 div 4
    EXPECT_EQ(at(t5, 30), 1);  // round(55/16) = 3, div 2 = 1 (truncating)
    EXPECT_EQ(at(t7, 58), 0);
    EXPECT_EQ(at(t7, 256), 0);
    for (int e = 0; e <= 256; ++e) {
        EXPECT_EQ(at(t7, -e), -at(t7, e));
        EXPECT_EQ(at(t1, -e), -at(t1, e));
        EXPECT_EQ(at(t3, -e), -at(t3, e));
        EXPECT_EQ(at(t5, -e), -at(t5, e));
    }
    EXPECT_EQ(at(t7, -8), -4);
}

TEST(PalOptNearest, WeightsGreenFirstAndLowestIndexWinsTies) {
    QBGR pal[4] = {{0, 10, 0}, {0, 0, 10}, {0, 0, 10}, {200, 0, 0}};
    // Red 10 is exactly palette 1 and 2: the lower index wins.
    EXPECT_EQ(PalNearestColor(pal, 4, 10, 0, 0), 1);
    // Green weighs 3481, blue 121: blue 20 away is nearer than green 10 away.
    QBGR p2[2] = {{0, 10, 0}, {20, 0, 0}};
    EXPECT_EQ(PalNearestColor(p2, 2, 0, 0, 0), 1);
    EXPECT_EQ(PalNearestColor(pal, 1, 255, 255, 255), 0);
}

// ---- Low palette --------------------------------------------------------------------------

TEST_F(PalOptTest, TwoHundredColoursKeptAndCutToSixBits) {
    // 200 distinct cells; the darkest (16, 16, 16) is neither first in cell order nor first
    // in the picture, and one colour has red 255.
    std::vector<RGB> colours;
    for (int i = 0; i < 199; ++i) colours.push_back(RGB{255 - (i % 10) * 8, 40 + (i / 10) * 8, 99});
    colours.push_back(RGB{16, 16, 16});
    Make24_(src, 20, 10, [&](int x, int y) { return colours[size_t(y * 20 + x)]; });
    ConvTo8bit(src, dst, 0);
    ASSERT_EQ(dst.bitsPP, 8);
    ASSERT_EQ(dst.width, 20);
    std::set<std::array<int, 3>> seen;
    for (int i = 0; i < 200; ++i)
        seen.insert({dst.palette[i].red, dst.palette[i].green, dst.palette[i].blue});
    EXPECT_EQ(seen.size(), 200u);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) {
            const RGB c = colours[size_t(y * 20 + x)];
            const QBGR& p = dst.palette[dst.data[y * 20 + x]];
            EXPECT_EQ(p.red, (c.r >> 2) << 2);
            EXPECT_EQ(p.green, (c.g >> 2) << 2);
            EXPECT_EQ(p.blue, (c.b >> 2) << 2);
        }
    EXPECT_EQ(dst.palette[dst.data[0]].red, 252);  // red 255 becomes 252
    EXPECT_EQ(dst.palette[0].red, 16);             // the darkest at index 0
    EXPECT_EQ(dst.palette[0].green, 16);
    EXPECT_EQ(dst.data[199], 0);
    for (int i = 200; i < 256; ++i) {
        EXPECT_EQ(dst.palette[i].red, 255) << i;
        EXPECT_EQ(dst.palette[i].green, 255) << i;
        EXPECT_EQ(dst.palette[i].blue, 255) << i;
    }
}

TEST_F(PalOptTest, LowPaletteFollowsCellOrderBeforeTheDarkExchange) {
    // Cells in index order: (r=1,g=0,b=0) then (r=0,g=1,b=0) then (r=0,g=0,b=1): the third is
    // the darkest (blue weighs least) and moves to 0; the first moves to 2.
    Make24_(src, 3, 1, [](int x, int) {
        return x == 0 ? RGB{0, 0, 4} : x == 1 ? RGB{4, 0, 0} : RGB{0, 4, 0};
    });
    PalInit();
    PalCountColors(src);
    PalReduce(256);
    QPalWork* w = PalWorkArea();
    EXPECT_EQ(w->colours, 3);
    EXPECT_EQ(w->palette[0].blue, 4);
    EXPECT_EQ(w->palette[1].green, 4);
    EXPECT_EQ(w->palette[2].red, 4);
    EXPECT_EQ(w->hist[4096], 0);
    EXPECT_EQ(w->hist[64], 1);
    EXPECT_EQ(w->hist[1], 2);
    EXPECT_EQ(w->hist[0], -1);
    PalDone();
}

TEST_F(PalOptTest, OneColourGivesEntryZero) {
    Make24_(src, 7, 5, [](int, int) { return RGB{203, 77, 130}; });
    ConvTo8bit(src, dst, 0);
    EXPECT_EQ(dst.palette[0].red, 200);
    EXPECT_EQ(dst.palette[0].green, 76);
    EXPECT_EQ(dst.palette[0].blue, 128);
    for (int i = 0; i < 35; ++i) EXPECT_EQ(dst.data[i], 0);
    for (int i = 1; i < 256; ++i) EXPECT_EQ(dst.palette[i].red, 255);
}

TEST_F(PalOptTest, WorkAreaIsATrackedBlockFreedByPalDone) {
    const int before = MemCount();
    PalInit();
    QPalWork* w = PalWorkArea();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(MemIsTracked(w));
    EXPECT_EQ(MemBlockSize(w), MemSizing(PAL_WORK_SIZE));
    EXPECT_EQ(MemBlockDescription(w).rfind("C:PalOpt.PalInit.quantP:", 0), 0u)
        << MemBlockDescription(w);
    EXPECT_EQ(w->hist[0], -1);
    EXPECT_EQ(w->hist[262143], -1);
    EXPECT_EQ(w->colours, 0);
    PalInit();  // present: reused and cleared
    EXPECT_EQ(PalWorkArea(), w);
    EXPECT_EQ(MemCount(), before + 1);
    PalDone();
    EXPECT_EQ(PalWorkArea(), nullptr);
    EXPECT_EQ(MemCount(), before);
}

TEST_F(PalOptTest, CountsSaturate) {
    PalInit();
    QPalWork* w = PalWorkArea();
    w->hist[5] = 2147483646;
    Make24_(src, 2, 1, [](int, int) { return RGB{20, 0, 0}; });  // cell 5
    PalCountColors(src);
    EXPECT_EQ(w->hist[5], 2147483647);
    // An 8-bit picture adds its index counts to the cells of its palette colours.
    _imgalloc_(other, 3, 1, "PalOptTest.other", __LINE__, 8);
    other.data[0] = 7, other.data[1] = 7, other.data[2] = 9;
    other.palette[7] = QBGR{0, 0, 20};
    other.palette[9] = QBGR{255, 255, 255};
    PalCountColors(other);
    EXPECT_EQ(w->hist[5], 2147483647);
    EXPECT_EQ(w->hist[262143], 0);
    PalDone();
}

// ---- High palette -------------------------------------------------------------------------

TEST_F(PalOptTest, ManyColoursGiveAtMost256BoxesDarkestFirst) {
    MakeNatural_(src, 160, 120, 7);
    ConvTo8bit(src, dst, 0);
    for (int i = 1; i < 256; ++i)
        EXPECT_LE(Dist_(0, 0, 0, dst.palette[0]), Dist_(0, 0, 0, dst.palette[i]));
    std::set<std::array<int, 3>> used;
    for (int i = 0; i < 160 * 120; ++i) {
        const QBGR& c = dst.palette[dst.data[i]];
        used.insert({c.red, c.green, c.blue});
    }
    EXPECT_LE(used.size(), 256u);
    EXPECT_GT(used.size(), 100u);
}

TEST_F(PalOptTest, BoxMeanBelowFourGivesZero) {
    PalInit();
    QPalWork* w = PalWorkArea();
    CreateCorrectionMap();
    // Red: 3 pixels at r=0 and 1 at r=1 -> mean 1 (8-bit) -> 0. Green: all at g=1 -> 4 kept.
    // Blue: 1 pixel at b=0 and 3 at b=1 -> mean 3 -> 0.
    w->hist[0 + 64 * 1 + 4096 * 0] = 0;  // 1 pixel (r0, g1, b0)
    w->hist[0 + 64 * 1 + 4096 * 1] = 1;  // 2 pixels (r0, g1, b1)
    w->hist[1 + 64 * 1 + 4096 * 1] = 0;  // 1 pixel (r1, g1, b1)
    const QPalBox box{0, 1, 1, 1, 0, 1, 1, 0, 1, 242, 0, 0, 0, 0, 0, 0};
    const QBGR c = CalcBoxColor(box, true);
    EXPECT_EQ(c.red, 0);
    EXPECT_EQ(c.green, 4);
    EXPECT_EQ(c.blue, 0);
    // Uncorrected mean in cell units, ties to even: red 1/4 -> 0, blue 3/4 -> 1.
    const QBGR m = CalcBoxColor(box, false);
    EXPECT_EQ(m.red, 0);
    EXPECT_EQ(m.green, 1);
    EXPECT_EQ(m.blue, 1);
    // A box without pixels is black.
    const QPalBox none{10, 12, 10, 12, 10, 12, 2, 2, 2, 1452, 0, 0, 0, 11, 11, 11};
    const QBGR k = CalcBoxColor(none, true);
    EXPECT_EQ(k.red + k.green + k.blue, 0);
    PalDone();
}

TEST_F(PalOptTest, RoundingOfTheBoxMeanIsTiesToEven) {
    PalInit();
    QPalWork* w = PalWorkArea();
    // Red cells 1 and 2 with one pixel each: mean 1.5 -> 2; cells 2 and 3: 2.5 -> 2.
    w->hist[1] = 0, w->hist[2] = 0;
    QPalBox box{0, 63, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ShrinkBox(box);
    EXPECT_EQ(box.r0, 1);
    EXPECT_EQ(box.r1, 2);
    EXPECT_EQ(CalcBoxColor(box, false).red, 2);
    w->hist[1] = -1, w->hist[3] = 0;
    QPalBox b2{0, 63, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ShrinkBox(b2);
    EXPECT_EQ(CalcBoxColor(b2, false).red, 2);
    EXPECT_EQ(b2.midR, 2);
    EXPECT_EQ(b2.size, 121);
    PalDone();
}

TEST_F(PalOptTest, BruteForceCrossCheckOfBoxesPaletteAndPlainRemap) {
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        // About 700 base colours with repeats and small noise: many cells with 2+ pixels.
        std::vector<RGB> base;
        for (int i = 0; i < 700; ++i)
            base.push_back(RGB{int(rng() % 256), int(rng() % 256), int(rng() % 256)});
        Make24_(src, 48, 40, [&](int, int) {
            RGB c = base[rng() % base.size()];
            c.r = std::clamp(c.r + int(rng() % 5) - 2, 0, 255);
            return c;
        });
        CrossCheckHigh_(src, dst);
        ImgFree(dst);
    }
}

TEST_F(PalOptTest, AllSpreadsZeroMakesEmptyBlackBoxesAndTerminates) {
    // 400 pixels, each in its own cell: every spread is 0, so splits go along red even where a
    // box is one slab thick and some boxes come out empty.
    std::mt19937 rng(11);
    std::set<int> cells;
    std::vector<RGB> colours;
    while (colours.size() < 400) {
        const int r = int(rng() % 64), g = int(rng() % 64), b = int(rng() % 64);
        if (!cells.insert(r + 64 * g + 4096 * b).second) continue;
        colours.push_back(RGB{r * 4 + int(rng() % 4), g * 4 + int(rng() % 4), b * 4 + int(rng() % 4)});
    }
    Make24_(src, 20, 20, [&](int x, int y) { return colours[size_t(y * 20 + x)]; });
    int empties = 0;
    CrossCheckHigh_(src, dst, &empties);
    EXPECT_GT(empties, 0);
    // Empty boxes are black.
    ImgFree(dst);
    PalInit();
    PalCountColors(src);
    PalReduce(256);
    QPalWork* w = PalWorkArea();
    int black = 0;
    for (int i = 0; i < 256; ++i)
        black += w->palette[i].red + w->palette[i].green + w->palette[i].blue == 0;
    EXPECT_GE(black, empties);
    PalDone();
}

TEST_F(PalOptTest, EmptyBoxShrinkStopsAtItsBounds) {
    PalInit();
    QPalBox box{5, 9, 0, 63, 0, 63, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ShrinkBox(box);  // nothing counted: every face empty
    EXPECT_EQ(box.r0, 10);
    EXPECT_EQ(box.r1, 9);
    EXPECT_EQ(box.g0, 64);
    EXPECT_EQ(box.g1, 63);
    EXPECT_EQ(box.spreadR + box.spreadG + box.spreadB, 0.0);
    QPalBox inverted{1, 0, 3, 3, 4, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ShrinkBox(inverted);
    EXPECT_EQ(inverted.r0, 1);
    EXPECT_EQ(inverted.r1, 0);
    EXPECT_EQ(inverted.g0, 4);
    EXPECT_EQ(inverted.size, 121 * (1 + 1 + 1));
    EXPECT_EQ(inverted.midR, 0);
    PalDone();
}

TEST_F(PalOptTest, LowPaletteCrossCheckOnRandomPictures) {
    for (uint32_t seed : {21u, 22u, 23u}) {
        std::mt19937 rng(seed);
        std::vector<RGB> base;
        for (int i = 0; i < 250; ++i)
            base.push_back(RGB{int(rng() % 256), int(rng() % 256), int(rng() % 256)});
        Make24_(src, 30, 30, [&](int, int) { return base[rng() % base.size()]; });
        ConvTo8bit(src, dst, 0);
        std::set<int> distinct;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 30; ++x) {
                const RGB c = Pixel_(src, x, y);
                distinct.insert(CellOf_(c.r, c.g, c.b));
                const QBGR& p = dst.palette[dst.data[y * 30 + x]];
                ASSERT_EQ(p.red, (c.r & ~3) < 4 ? 0 : (c.r & ~3));
                ASSERT_EQ(p.green, c.g & ~3);
                ASSERT_EQ(p.blue, c.b & ~3);
            }
        // Each distinct colour has its own entry; the rest are white; darkest first.
        std::set<int> idx(dst.data, dst.data + 900);
        EXPECT_EQ(idx.size(), distinct.size());
        for (int i = 1; i < 256; ++i)
            EXPECT_LE(Dist_(0, 0, 0, dst.palette[0]), Dist_(0, 0, 0, dst.palette[i]));
        for (int i = int(distinct.size()); i < 256; ++i) EXPECT_EQ(dst.palette[i].green, 255);
        ImgFree(dst);
    }
}

// ---- Remapping ----------------------------------------------------------------------------

TEST_F(PalOptTest, SmallPicturesUseThePlainMethod) {
    for (auto [w, h] : {std::pair{3, 10}, std::pair{10, 3}}) {
        MakeNatural_(src, w, h, 5);
        ImgCopy(src, other);
        ConvTo8bit(src, ref, 0);
        for (int m : {1, 2}) {
            ConvTo8bit(src, dst, m);
            EXPECT_EQ(std::memcmp(dst.data, ref.data, size_t(w * h)), 0) << m;
            EXPECT_EQ(std::memcmp(dst.palette, ref.palette, 768), 0);
            EXPECT_EQ(std::memcmp(src.data, other.data, size_t(w * h * 3)), 0)
                << "source untouched";
        }
    }
}

TEST_F(PalOptTest, UnknownMethodProducesNothing) {
    MakeNatural_(src, 8, 8, 5);
    ConvTo8bit(src, dst, 3);
    EXPECT_FALSE(ImgValid(dst));
    ConvTo8bit(src, dst, -1);
    EXPECT_FALSE(ImgValid(dst));
}

TEST_F(PalOptTest, HeavyDitherChangesTheSource) {
    MakeNatural_(src, 64, 48, 9);
    ImgCopy(src, other);
    ConvTo8bit(src, dst, 2);
    EXPECT_NE(std::memcmp(src.data, other.data, size_t(src.size)), 0);
    // The light dither leaves it alone.
    ImgCopy(other, src);
    ConvTo8bit(src, dst, 1);
    EXPECT_EQ(std::memcmp(src.data, other.data, size_t(src.size)), 0);
}

TEST_F(PalOptTest, FirstPixelOfEvenRowsDiffusesNothing) {
    // Every colour is exact on the 6-bit grid except one pixel (254 -> 252, error 2).
    auto picture = [&](int ex, int ey) {
        Make24_(src, 6, 6, [&](int x, int y) {
            if (x == ex && y == ey) return RGB{254, 128, 64};
            return RGB{4 * x, 100, 8 * y};
        });
        ImgCopy(src, other);
        ConvTo8bit(src, dst, 2);
        return std::memcmp(src.data, other.data, size_t(src.size)) != 0;
    };
    EXPECT_FALSE(picture(0, 0));
    EXPECT_FALSE(picture(0, 2));
    EXPECT_FALSE(picture(0, 4));
    EXPECT_TRUE(picture(0, 1));
    EXPECT_TRUE(picture(1, 0));
    EXPECT_TRUE(picture(0, 3));
    // Row 1, column 0: 7/16 of 2 -> 1 to the right, 5/16 -> 1 below, 1/16 -> 0 below-right.
    picture(0, 1);
    EXPECT_EQ(Pixel_(src, 1, 1).r, 4 + 1);
    EXPECT_EQ(Pixel_(src, 0, 2).r, 0 + 1);
    EXPECT_EQ(Pixel_(src, 1, 2).r, 4);
    EXPECT_EQ(Pixel_(src, 0, 1).r, 254);  // the pixel itself is not changed
}

namespace {

// Reference dithers over a snapshot of the palette and inverse map.
struct DitherRef {
    std::vector<int32_t> hist;
    std::array<QBGR, 256> pal;
    int Lookup(int r, int g, int b) {
        int32_t& c = hist[size_t(CellOf_(r, g, b))];
        if (c == -1) c = NearestBrute_(pal.data(), 256, r, g, b);
        return c & 255;
    }
};

int Amount_(int a, int e) {
    const int s = e < 0 ? -1 : 1;
    e = std::abs(e);
    int v = 0;
    if (e <= 19)
        v = int(std::nearbyint(a * e / 16.0));
    else if (e <= 38)
        v = int(std::nearbyint(a * (e - 19) / 16.0)) / 2;
    else if (e <= 57)
        v = int(std::nearbyint(a * (e - 38) / 16.0)) / 4;
    return s * v;
}

void SnapshotAfterReduce_(Qimg& src, DitherRef& r) {
    PalInit();
    PalCountColors(src);
    PalReduce(256);
    QPalWork* w = PalWorkArea();
    r.hist.assign(w->hist, w->hist + 262144);
    std::memcpy(r.pal.data(), w->palette, 768);
    PalDone();
}

}  // namespace

TEST_F(PalOptTest, LightDitherMatchesAReference) {
    for (int bits : {24, 32}) {
        MakeNatural_(src, 150, 131, 3, bits);
        DitherRef r;
        SnapshotAfterReduce_(src, r);
        ConvTo8bit(src, dst, 1);
        const uint8_t* t = PalDitherTable();
        int misses = 0;
        for (int y = 0; y < 131; ++y)
            for (int x = 0; x < 150; ++x) {
                const RGB c = Pixel_(src, x, y);
                const QBGR p = r.pal[size_t(r.Lookup(c.r, c.g, c.b))];
                const int m = 2 * t[(y % 128) * 128 + x % 128];
                auto ch = [&](int v, int pv) { return std::clamp(pv + m * (v - pv) / 255, 0, 255); };
                const int r2 = ch(c.r, p.red), g2 = ch(c.g, p.green), b2 = ch(c.b, p.blue);
                misses += r.hist[size_t(CellOf_(r2, g2, b2))] == -1;
                ASSERT_EQ(dst.data[y * 150 + x], r.Lookup(r2, g2, b2)) << x << "," << y;
            }
        EXPECT_GT(misses, 0);  // the search for empty cells was exercised
        EXPECT_EQ(std::memcmp(dst.palette, r.pal.data(), 768), 0);
        ImgFree(dst);
        ImgFree(src);
    }
}

TEST_F(PalOptTest, HeavyDitherMatchesAReference) {
    for (int bits : {24, 32}) {
        MakeNatural_(src, 97, 64, 4, bits);
        ImgCopy(src, other);  // the reference diffuses into this copy
        DitherRef r;
        SnapshotAfterReduce_(src, r);
        ConvTo8bit(src, dst, 2);
        const int w = 97, h = 64;
        auto px = [&](int x, int y) { return other.data + (int64_t(y) * w + x) * other.bytesPP; };
        auto add = [&](int x, int y, int a, int eR, int eG, int eB) {
            uint8_t* q = px(x, y);
            q[2] = uint8_t(std::clamp(q[2] + Amount_(a, eR), 0, 255));
            q[1] = uint8_t(std::clamp(q[1] + Amount_(a, eG), 0, 255));
            q[0] = uint8_t(std::clamp(q[0] + Amount_(a, eB), 0, 255));
        };
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = px(x, y);
                const int R = p[2], G = p[1], B = p[0];
                const int f = r.Lookup(R, G, B);
                ASSERT_EQ(dst.data[y * w + x], f) << x << "," << y;
                if (x == 0 && y % 2 == 0) continue;
                const int eR = R - r.pal[size_t(f)].red, eG = G - r.pal[size_t(f)].green,
                          eB = B - r.pal[size_t(f)].blue;
                if (x + 1 < w) add(x + 1, y, 7, eR, eG, eB);
                if (y + 1 < h) {
                    if (x > 0) add(x - 1, y + 1, 3, eR, eG, eB);
                    add(x, y + 1, 5, eR, eG, eB);
                    if (x + 1 < w) add(x + 1, y + 1, 1, eR, eG, eB);
                }
            }
        EXPECT_EQ(std::memcmp(src.data, other.data, size_t(src.size)), 0) << "diffused source";
        ImgFree(dst);
        ImgFree(src);
        ImgFree(other);
    }
}

TEST_F(PalOptTest, ThirtyTwoBitsMatchesTwentyFourBits) {
    MakeNatural_(src, 80, 60, 12, 24);
    MakeNatural_(other, 80, 60, 12, 32);
    for (int m : {0, 1, 2}) {
        ConvTo8bit(src, dst, m);
        ConvTo8bit(other, ref, m);
        EXPECT_EQ(std::memcmp(dst.data, ref.data, 80 * 60), 0) << m;
        EXPECT_EQ(std::memcmp(dst.palette, ref.palette, 768), 0) << m;
    }
}

TEST_F(PalOptTest, FifteenAndSixteenBitSourcesCountAndRemapLikeTheirExpansion) {
    for (int bits : {15, 16}) {
        SCOPED_TRACE(bits);
        std::mt19937 rng{static_cast<uint32_t>(bits)};
        _imgalloc_(src, 40, 30, "PalOptTest.src", __LINE__, bits);
        for (int i = 0; i < 40 * 30; ++i) {
            const uint16_t v = uint16_t((i * 37 + rng() % 64) & (bits == 15 ? 0x7FFF : 0xFFFF));
            src.data[2 * i] = uint8_t(v);
            src.data[2 * i + 1] = uint8_t(v >> 8);
        }
        ImgCopy(src, other);
        for (int m : {0, 1, 2}) {
            // The reference: expand to 24 bits by the converter's rules (low bits 0), then quantize.
            _imgalloc_(ref, 40, 30, "PalOptTest.ref", __LINE__, 24);
            for (int i = 0; i < 40 * 30; ++i) {
                const int v = other.data[2 * i] | (other.data[2 * i + 1] << 8);
                uint8_t* q = ref.data + 3 * i;
                q[0] = uint8_t((v & 31) << 3);
                if (bits == 15) {
                    q[1] = uint8_t(((v >> 5) & 31) << 3);
                    q[2] = uint8_t(((v >> 10) & 31) << 3);
                } else {
                    q[1] = uint8_t(((v >> 5) & 63) << 2);
                    q[2] = uint8_t(((v >> 11) & 31) << 3);
                }
            }
            Qimg expect = Blank_();
            ConvTo8bit(ref, expect, m);
            ConvTo8bit(src, dst, m);
            EXPECT_EQ(std::memcmp(dst.data, expect.data, 40 * 30), 0) << m;
            EXPECT_EQ(std::memcmp(dst.palette, expect.palette, 768), 0) << m;
            EXPECT_EQ(std::memcmp(src.data, other.data, size_t(src.size)), 0)
                << "the 16-bit source is kept";
            ImgFree(expect);
        }
    }
}

TEST_F(PalOptTest, EightBitSourceRemapsThroughItsPalette) {
    _imgalloc_(src, 16, 16, "PalOptTest.src", __LINE__, 8);
    for (int i = 0; i < 256; ++i) {
        src.data[i] = uint8_t(i % 37);
        src.palette[i] = QBGR{uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3)};
    }
    src.palette[5] = src.palette[6];  // duplicate colours share a cell
    for (int m : {0, 1, 2}) {
        ConvTo8bit(src, dst, m);
        for (int i = 0; i < 256; ++i) {
            const QBGR& s = src.palette[src.data[i]];
            const QBGR& d = dst.palette[dst.data[i]];
            EXPECT_EQ(d.red, s.red & ~3);
            EXPECT_EQ(d.green, s.green & ~3);
            EXPECT_EQ(d.blue, (s.blue & ~3) < 4 ? 0 : s.blue & ~3);
        }
        EXPECT_EQ(dst.data[5], dst.data[6]);
    }
}

TEST_F(PalOptTest, SameRecordAsSourceAndDestination) {
    MakeNatural_(src, 32, 32, 1);
    ImgCopy(src, other);
    ConvTo8bit(other, ref, 1);
    ConvTo8bit(src, src, 1);
    EXPECT_EQ(src.bitsPP, 8);
    EXPECT_EQ(std::memcmp(src.data, ref.data, 32 * 32), 0);
    EXPECT_EQ(std::memcmp(src.palette, ref.palette, 768), 0);
}

// ---- Failure and threads ------------------------------------------------------------------

TEST_F(PalOptTest, AllocationFailureRaisesMemAndReleasesTheWorkArea) {
    // A picture without pixels: the 8-bit destination is an invalid request (ERR_MEM, 5).
    Make24_(src, 4, 4, [](int, int) { return RGB{1, 2, 3}; });
    src.width = 0;
    src.height = 0;
    const int before = MemCount();
    EXPECT_THROW(ConvTo8bit(src, dst, 0), EMon);
    EXPECT_EQ(ErrLastGroup(), ERR_MEM);
    EXPECT_EQ(ErrLastCode(), 5);
    EXPECT_EQ(MemCount(), before);
    EXPECT_EQ(PalWorkArea(), nullptr);
    MonitoredIsolated([&] { ConvTo8bit(src, dst, 0); });
    EXPECT_FALSE(ErrNone());
    EXPECT_EQ(MemCount(), before);
    // The next conversion works.
    src.width = src.height = 4;
    ConvTo8bit(src, dst, 0);
    EXPECT_EQ(dst.palette[0].red, 0);
    EXPECT_EQ(dst.palette[0].blue, 0);
    EXPECT_EQ(MemCount(), before + 1);
}

TEST_F(PalOptTest, ARecordWithoutItsPixelsIsRefused) {
    Make24_(src, 4, 4, [](int, int) { return RGB{1, 2, 3}; });
    src.width = 40;  // the block holds 4 x 4 pixels only
    const int before = MemCount();
    EXPECT_THROW(ConvTo8bit(src, dst, 0), EMon);
    EXPECT_EQ(ErrLastGroup(), ERR_IMG);
    EXPECT_EQ(ErrLastCode(), 2);
    EXPECT_EQ(MemCount(), before);
    src.width = 4;
    Qimg none = Blank_();
    none.width = none.height = 8;
    none.bitsPP = 24;
    none.bytesPP = 3;
    EXPECT_THROW(ConvTo8bit(none, dst, 2), EMon);
    EXPECT_EQ(MemCount(), before);
}

TEST_F(PalOptTest, TwoThreadsConvertAtOnce) {
    Qimg pics[2] = {Blank_(), Blank_()};
    MakeNatural_(pics[0], 240, 160, 31);
    MakeNatural_(pics[1], 200, 180, 32, 32);
    // Single-threaded results first.
    std::vector<uint8_t> expect[2][3];
    std::vector<uint8_t> expectPal[2][3];
    for (int p = 0; p < 2; ++p)
        for (int m = 0; m < 3; ++m) {
            Qimg s = Blank_(), d = Blank_();
            ImgCopy(pics[p], s);
            ConvTo8bit(s, d, m);
            expect[p][m].assign(d.data, d.data + d.width * d.height);
            expectPal[p][m].assign(reinterpret_cast<uint8_t*>(d.palette),
                                   reinterpret_cast<uint8_t*>(d.palette) + 768);
            ImgFree(s);
            ImgFree(d);
        }
    std::atomic<int> failures{0};
    auto worker = [&](int p) {
        for (int round = 0; round < 6; ++round)
            for (int m = 0; m < 3; ++m) {
                Qimg s = Blank_(), d = Blank_();
                try {
                    ImgCopy(pics[p], s);
                    ConvTo8bit(s, d, m);
                    if (std::memcmp(d.data, expect[p][m].data(), expect[p][m].size()) != 0 ||
                        std::memcmp(d.palette, expectPal[p][m].data(), 768) != 0)
                        ++failures;
                } catch (...) {
                    ++failures;
                }
                ImgFree(s);
                ImgFree(d);
            }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    ImgFree(pics[0]);
    ImgFree(pics[1]);
}
