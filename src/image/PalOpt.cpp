#include "image/PalOpt.h"

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// The work area. The design has one process-wide area; here every thread has its own (the
// window thread paints through the quantizer while the player's worker converts frames). It
// lives from PalInit to PalDone, as a tracked block registered under this variable.
thread_local QPalWork* quantP = nullptr;

constexpr int32_t MAX_COUNT = 2147483647;
constexpr int32_t WEIGHT_R = 900;   // 30^2
constexpr int32_t WEIGHT_G = 3481;  // 59^2
constexpr int32_t WEIGHT_B = 121;   // 11^2

inline int32_t CellIndex_(int32_t r, int32_t g, int32_t b) { return r + 64 * g + 4096 * b; }
inline int32_t CellOf8_(int32_t red, int32_t green, int32_t blue) {
    return (red >> 2) + ((green >> 2) << 6) + ((blue >> 2) << 12);
}

QPalWork& Work_() {
    if (quantP == nullptr)
        ErrRaiseMsg(ERR_GEN, "PalOpt: no work area (PalInit not called)", __LINE__);
    return *quantP;
}

// Adds `count` pixels to a cell, saturating at 2147483647 (-1 + 1 = 0 for the first pixel).
inline void AddToCell_(int32_t& cell, int64_t count) {
    const int64_t v = static_cast<int64_t>(cell) + count;
    cell = v > MAX_COUNT ? MAX_COUNT : static_cast<int32_t>(v);
}

// A picture of a known depth with a positive size must hold its pixels (ERR_IMG, 2) "Invalid
// image format."; the quantizer never reads past a record's block.
void CheckPixels_(const Qimg& image) {
    const int32_t bits = image.bitsPP;
    if (bits != 8 && bits != 15 && bits != 16 && bits != 24 && bits != 32) return;
    if (image.width <= 0 || image.height <= 0) return;
    const int64_t need = static_cast<int64_t>(image.width) * image.height * ((bits + 7) / 8);
    if (image.data == nullptr || need > image.size) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
}

int64_t PixelCount_(const Qimg& image) {
    return image.width <= 0 || image.height <= 0 ? 0
                                                 : static_cast<int64_t>(image.width) * image.height;
}

inline uint8_t Clamp255_(int32_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Σ num ÷ den rounded to nearest, ties to even (num >= 0, den > 0), computed exactly.
int64_t DivRoundEven_(int64_t num, int64_t den) {
    int64_t q = num / den;
    const int64_t twice = 2 * (num % den);
    if (twice > den || (twice == den && (q & 1) != 0)) ++q;
    return q;
}

// Whether every cell of the slab lo..hi (per channel) is empty; an empty range counts as empty.
bool SlabEmpty_(const int32_t* hist, int32_t r0, int32_t r1, int32_t g0, int32_t g1, int32_t b0,
                int32_t b1) {
    for (int32_t b = b0; b <= b1; ++b)
        for (int32_t g = g0; g <= g1; ++g) {
            const int32_t* row = hist + CellIndex_(0, g, b);
            for (int32_t r = r0; r <= r1; ++r)
                if (row[r] != -1) return false;
        }
    return true;
}

// The cell (its histogram value, used as a palette index) for an 8-bit colour; an empty cell
// gets the nearest palette colour of the colour itself over all 256 entries, stored back.
inline int32_t CellIndexOrNearest_(QPalWork& w, int32_t red, int32_t green, int32_t blue) {
    int32_t& cell = w.hist[CellOf8_(red, green, blue)];
    if (cell == -1) cell = PalNearestColor(w.palette, 256, red, green, blue);
    return cell;
}

// The dither threshold table.
//
// Construction (deterministic, done once at first use): the 64 levels round(k * 255 / 63),
// k = 0..63, each 256 times, make a balanced multiset of 16384 values. The 32 cells that the
// design quotes (row 0 and row 1, columns 0..15) are fixed first and their levels taken out of
// the multiset; the remaining 16352 values are placed into the other cells, in index order,
// after a Fisher-Yates shuffle driven by splitmix64 from a fixed seed. Every level is thus
// used exactly 256 times by construction (checked below). Finally the table is checked to have
// no period p < 128 along rows or columns (the table never equals itself shifted by p
// columns or p rows, wrapping around); a failing candidate would be rebuilt with the next seed
// (the fixed seed passes at the first attempt). The mean is 127.5 because the levels pair up
// as x and 255 - x.
constexpr uint8_t FIXED_ROW0_[16] = {0,   166, 93,  20,  69,  158, 28, 61,
                                     251, 93,  162, 206, 125, 190, 36, 130};
constexpr uint8_t FIXED_ROW1_[16] = {121, 231, 146, 219, 190, 138, 210, 109,
                                     174, 16,  113, 28,  69,  146, 251, 53};

uint64_t SplitMix64_(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

bool HasShortPeriod_(const std::array<uint8_t, 16384>& t) {
    for (int p = 1; p < 128; ++p) {
        bool rowsPeriodic = true, colsPeriodic = true;
        for (int y = 0; y < 128 && (rowsPeriodic || colsPeriodic); ++y)
            for (int x = 0; x < 128; ++x) {
                if (t[y * 128 + x] != t[y * 128 + ((x + p) & 127)]) rowsPeriodic = false;
                if (t[y * 128 + x] != t[((y + p) & 127) * 128 + x]) colsPeriodic = false;
            }
        if (rowsPeriodic || colsPeriodic) return true;
    }
    return false;
}

std::array<uint8_t, 16384> BuildDitherTable_() {
    std::array<uint8_t, 64> levels{};
    std::array<int, 256> levelOf{};
    levelOf.fill(-1);
    for (int k = 0; k < 64; ++k) {
        levels[k] = static_cast<uint8_t>(std::lrint(k * 255.0 / 63.0));
        levelOf[levels[k]] = k;
    }
    for (uint64_t seed = 0x4B656C766F7261ULL;; ++seed) {  // "Kelvora"
        std::array<int, 64> left{};
        left.fill(256);
        std::array<uint8_t, 16384> t{};
        std::array<bool, 16384> fixed{};
        for (int x = 0; x < 16; ++x) {
            t[x] = FIXED_ROW0_[x];
            t[128 + x] = FIXED_ROW1_[x];
            fixed[x] = fixed[128 + x] = true;
            --left[levelOf[FIXED_ROW0_[x]]];
            --left[levelOf[FIXED_ROW1_[x]]];
        }
        std::vector<uint8_t> pool;
        pool.reserve(16384);
        for (int k = 0; k < 64; ++k)
            pool.insert(pool.end(), static_cast<size_t>(left[k]), levels[k]);
        uint64_t state = seed;
        for (size_t i = pool.size() - 1; i > 0; --i) {
            const size_t j = static_cast<size_t>(SplitMix64_(state) % (i + 1));
            std::swap(pool[i], pool[j]);
        }
        size_t next = 0;
        for (int i = 0; i < 16384; ++i)
            if (!fixed[i]) t[i] = pool[next++];
        // Verify the counts (exact by construction) and the absence of short periods.
        std::array<int, 64> count{};
        for (uint8_t v : t) ++count[levelOf[v]];
        bool ok = next == pool.size();
        for (int k = 0; k < 64; ++k) ok = ok && count[k] == 256;
        if (ok && !HasShortPeriod_(t)) return t;
    }
}

}  // namespace

// --- Small shared pieces ------------------------------------------------------------------

const uint8_t* PalDitherTable() {
    static const std::array<uint8_t, 16384> table = BuildDitherTable_();
    return table.data();
}

int32_t PalNearestColor(const QBGR* palette, int32_t count, int32_t red, int32_t green, int32_t blue) {
    int32_t best = MAX_COUNT;
    int32_t found = 0;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t dg = green - palette[i].green;
        int32_t d = WEIGHT_G * dg * dg;
        if (d > best) continue;  // the green term alone is already too far
        const int32_t dr = red - palette[i].red;
        const int32_t db = blue - palette[i].blue;
        d += WEIGHT_R * dr * dr + WEIGHT_B * db * db;
        if (d < best) {
            best = d;
            found = i;
        }
    }
    return found;
}

QPalWork* PalWorkArea() { return quantP; }

void _MakeErrTable(int32_t a, int32_t* table) {
    for (int32_t e = 0; e <= 256; ++e) {
        int32_t amount = 0;
        if (e <= 19)
            amount = static_cast<int32_t>(std::lrint(a * e / 16.0));
        else if (e <= 38)
            amount = static_cast<int32_t>(std::lrint(a * (e - 19) / 16.0)) / 2;
        else if (e <= 57)
            amount = static_cast<int32_t>(std::lrint(a * (e - 38) / 16.0)) / 4;
        table[256 + e] = amount;
        table[256 - e] = -amount;
    }
}

// --- Work area ------------------------------------------------------------------------------

void PalInit() {
    Monitored([&] {
        // A block released by a failure's frame is no longer ours: start afresh.
        if (quantP != nullptr && !MemIsTrackedBy(&quantP, quantP)) quantP = nullptr;
        if (quantP == nullptr)
            _memalloc_(quantP, PAL_WORK_SIZE, __LINE__, MEM_KIND_C, "PalOpt.PalInit.quantP");
        // PalClearVars
        std::memset(static_cast<void*>(quantP), 0, sizeof(QPalWork));
        std::memset(static_cast<void*>(quantP->hist), 0xFF, sizeof quantP->hist);
        quantP->colours = 0;
    });
}

void PalDone() {
    if (quantP != nullptr && MemIsTrackedBy(&quantP, quantP)) MemFree(quantP);
    quantP = nullptr;
}

// --- Counting -------------------------------------------------------------------------------

void Count8(const Qimg& image) {
    Monitored([&] {
        QPalWork& w = Work_();
        std::array<int64_t, 256> count{};
        const int64_t n = PixelCount_(image);
        const uint8_t* p = image.data;
        for (int64_t i = 0; i < n; ++i) ++count[p[i]];
        for (int i = 0; i < 256; ++i)
            if (count[i] > 0) {
                const QBGR& c = image.palette[i];
                AddToCell_(w.hist[CellOf8_(c.red, c.green, c.blue)], count[i]);
            }
    });
}

void PalCountColors(const Qimg& image) {
    Monitored([&] {
        QPalWork& w = Work_();
        CheckPixels_(image);
        int32_t* hist = w.hist;
        const int64_t n = PixelCount_(image);
        const uint8_t* p = image.data;
        auto bump = [hist](int32_t cell) {
            if (hist[cell] != MAX_COUNT) ++hist[cell];
        };
        switch (image.bitsPP) {
            case 24:
            case 32: {
                const int32_t step = image.bitsPP == 24 ? 3 : 4;
                for (int64_t i = 0; i < n; ++i, p += step) bump(CellOf8_(p[2], p[1], p[0]));
                break;
            }
            case 16:
                for (int64_t i = 0; i < n; ++i, p += 2) {
                    const uint32_t v = p[0] | (p[1] << 8);
                    bump(CellIndex_(2 * ((v >> 11) & 31), (v >> 5) & 63, 2 * (v & 31)));
                }
                break;
            case 15:
                for (int64_t i = 0; i < n; ++i, p += 2) {
                    const uint32_t v = p[0] | (p[1] << 8);
                    bump(CellIndex_(2 * ((v >> 10) & 31), 2 * ((v >> 5) & 31), 2 * (v & 31)));
                }
                break;
            case 8: Count8(image); break;
            default: break;  // other depths add nothing
        }
    });
}

// --- Reduction ------------------------------------------------------------------------------

void CreateCorrectionMap() {
    QPalWork& w = Work_();
    for (int32_t v = 0; v < 256; ++v) w.correction[v] = v < 4 ? 0 : v;
}

QBGR CalcBoxColor(const QPalBox& box, bool correct) {
    QPalWork& w = Work_();
    int64_t sum = 0, sr = 0, sg = 0, sb = 0;
    for (int32_t b = box.b0; b <= box.b1; ++b)
        for (int32_t g = box.g0; g <= box.g1; ++g) {
            const int32_t* row = w.hist + CellIndex_(0, g, b);
            for (int32_t r = box.r0; r <= box.r1; ++r) {
                const int64_t count = static_cast<int64_t>(row[r]) + 1;
                if (count > 0) {
                    sum += count;
                    sr += count * r;
                    sg += count * g;
                    sb += count * b;
                }
            }
        }
    if (sum == 0) return QBGR{0, 0, 0};  // a box without pixels: black
    if (correct) {
        // Mean in 8-bit units, truncated, then means below 4 become 0.
        return QBGR{static_cast<uint8_t>(w.correction[sb * 4 / sum]),
                    static_cast<uint8_t>(w.correction[sg * 4 / sum]),
                    static_cast<uint8_t>(w.correction[sr * 4 / sum])};
    }
    return QBGR{static_cast<uint8_t>(DivRoundEven_(sb, sum)),
                static_cast<uint8_t>(DivRoundEven_(sg, sum)),
                static_cast<uint8_t>(DivRoundEven_(sr, sum))};
}

void CreateInverseBoxMap(const QPalBox& box, int32_t index) {
    QPalWork& w = Work_();
    for (int32_t b = box.b0; b <= box.b1; ++b)
        for (int32_t g = box.g0; g <= box.g1; ++g) {
            int32_t* row = w.hist + CellIndex_(0, g, b);
            for (int32_t r = box.r0; r <= box.r1; ++r) row[r] = index;
        }
}

void ShrinkBox(QPalBox& x) {
    QPalWork& w = Work_();
    const int32_t* h = w.hist;
    // Each face moves inward while it holds only empty cells, but never past the opposite
    // bound: an empty box (possible when every spread is 0 and a single-slab box is split)
    // ends with lo = hi + 1 on some axis, holds no cells and stays finite.
    while (x.r0 <= x.r1 && SlabEmpty_(h, x.r0, x.r0, x.g0, x.g1, x.b0, x.b1)) ++x.r0;
    while (x.r1 >= x.r0 && SlabEmpty_(h, x.r1, x.r1, x.g0, x.g1, x.b0, x.b1)) --x.r1;
    while (x.g0 <= x.g1 && SlabEmpty_(h, x.r0, x.r1, x.g0, x.g0, x.b0, x.b1)) ++x.g0;
    while (x.g1 >= x.g0 && SlabEmpty_(h, x.r0, x.r1, x.g1, x.g1, x.b0, x.b1)) --x.g1;
    while (x.b0 <= x.b1 && SlabEmpty_(h, x.r0, x.r1, x.g0, x.g1, x.b0, x.b0)) ++x.b0;
    while (x.b1 >= x.b0 && SlabEmpty_(h, x.r0, x.r1, x.g0, x.g1, x.b1, x.b1)) --x.b1;

    x.dr = x.r1 - x.r0;
    x.dg = x.g1 - x.g0;
    x.db = x.b1 - x.b0;
    x.size = (x.db * x.db + x.dr * x.dr + x.dg * x.dg) * 121;

    const QBGR mean = CalcBoxColor(x, false);  // cell units
    const int64_t mr = mean.red, mg = mean.green, mb = mean.blue;
    double spreadR = 0.0, spreadG = 0.0, spreadB = 0.0;
    for (int32_t b = x.b0; b <= x.b1; ++b)
        for (int32_t g = x.g0; g <= x.g1; ++g) {
            const int32_t* row = h + CellIndex_(0, g, b);
            for (int32_t r = x.r0; r <= x.r1; ++r) {
                const int64_t v = row[r];
                if (v > 0) {  // cells with at least two pixels
                    spreadR += static_cast<double>(v * (mr - r) * (mr - r) * WEIGHT_R);
                    spreadG += static_cast<double>(v * (mg - g) * (mg - g) * WEIGHT_G);
                    spreadB += static_cast<double>(v * (mb - b) * (mb - b) * WEIGHT_B);
                }
            }
        }
    x.spreadR = spreadR;
    x.spreadG = spreadG;
    x.spreadB = spreadB;
    x.midR = (x.r0 + x.r1) / 2;
    x.midG = (x.g0 + x.g1) / 2;
    x.midB = (x.b0 + x.b1) / 2;
}

void SplitBoxes(int32_t target) {
    QPalWork& w = Work_();
    if (target > 256) target = 256;
    QPalBox& first = w.boxes[0];
    std::memset(static_cast<void*>(&first), 0, sizeof(QPalBox));
    first.r1 = first.g1 = first.b1 = 63;
    ShrinkBox(first);
    w.boxCount = 1;
    while (w.boxCount < target) {
        double best = -1.0;
        int32_t chosen = -1, axis = 0;
        for (int32_t i = 0; i < w.boxCount; ++i) {
            const QPalBox& x = w.boxes[i];
            if (x.size <= 0) continue;
            const double s[3] = {x.spreadR, x.spreadG, x.spreadB};
            for (int32_t a = 0; a < 3; ++a)
                if (s[a] > best) {
                    best = s[a];
                    chosen = i;
                    axis = a;
                }
        }
        if (chosen < 0) break;
        QPalBox& old = w.boxes[chosen];
        QPalBox& add = w.boxes[w.boxCount];
        add = old;
        ++w.boxCount;
        switch (axis) {
            case 0:
                old.r1 = old.midR;
                add.r0 = old.midR + 1;
                break;
            case 1:
                old.g1 = old.midG;
                add.g0 = old.midG + 1;
                break;
            default:
                old.b1 = old.midB;
                add.b0 = old.midB + 1;
                break;
        }
        ShrinkBox(old);
        ShrinkBox(add);
    }
}

void CreateHighPalette() {
    QPalWork& w = Work_();
    for (int32_t i = 0; i < w.boxCount; ++i) w.palette[i] = CalcBoxColor(w.boxes[i], true);
    for (int32_t i = 0; i < w.boxCount; ++i) CreateInverseBoxMap(w.boxes[i], i);
}

void CreateLowPalette() {
    QPalWork& w = Work_();
    int32_t i = 0;
    for (int32_t cell = 0; cell < PAL_CELLS; ++cell) {
        if (w.hist[cell] == -1) continue;
        const int32_t r = cell & 63, g = (cell >> 6) & 63, b = cell >> 12;
        if (i < 256)
            w.palette[i] = QBGR{static_cast<uint8_t>(w.correction[4 * b]),
                                static_cast<uint8_t>(w.correction[4 * g]),
                                static_cast<uint8_t>(w.correction[4 * r])};
        w.hist[cell] = i;
        ++i;
    }
}

void SetDarkColorFirst() {
    QPalWork& w = Work_();
    const int32_t dark = PalNearestColor(w.palette, w.target, 0, 0, 0);
    if (dark == 0) return;
    std::swap(w.palette[0], w.palette[dark]);
    for (int32_t& cell : w.hist) {
        if (cell == 0)
            cell = dark;
        else if (cell == dark)
            cell = 0;
    }
}

void PalReduce(int32_t colours) {
    Monitored([&] {
        QPalWork& w = Work_();
        std::memset(static_cast<void*>(w.palette), 255, sizeof w.palette);
        w.target = colours < 2 ? 2 : (colours > 256 ? 256 : colours);
        int32_t distinct = 0;
        for (int32_t cell : w.hist) distinct += cell != -1;
        w.colours = distinct;
        CreateCorrectionMap();
        if (w.target < w.colours) {
            SplitBoxes(w.target);
            CreateHighPalette();
        } else {
            CreateLowPalette();
        }
        SetDarkColorFirst();
    });
}

// --- Remapping ------------------------------------------------------------------------------

void Remap24(const Qimg& source, Qimg& destination, int32_t bytesPP) {
    QPalWork& w = Work_();
    std::memcpy(destination.palette, w.palette, sizeof w.palette);
    const int64_t n = PixelCount_(source);
    const uint8_t* p = source.data;
    uint8_t* out = destination.data;
    const int32_t* hist = w.hist;
    for (int64_t i = 0; i < n; ++i, p += bytesPP)
        out[i] = static_cast<uint8_t>(hist[CellOf8_(p[2], p[1], p[0])]);
}

void Remap8(const Qimg& source, Qimg& destination) {
    QPalWork& w = Work_();
    uint8_t map[256];
    for (int i = 0; i < 256; ++i) {
        const QBGR& c = source.palette[i];
        map[i] = static_cast<uint8_t>(w.hist[CellOf8_(c.red, c.green, c.blue)]);
    }
    // The map is made before the palette is copied: source and destination may be one record.
    std::memcpy(destination.palette, w.palette, sizeof w.palette);
    const int64_t n = PixelCount_(source);
    const uint8_t* p = source.data;
    uint8_t* out = destination.data;
    for (int64_t i = 0; i < n; ++i) out[i] = map[p[i]];
}

void RemapDitherLite24(const Qimg& source, Qimg& destination, int32_t bytesPP) {
    QPalWork& w = Work_();
    std::memcpy(destination.palette, w.palette, sizeof w.palette);
    const uint8_t* table = PalDitherTable();
    const uint8_t* p = source.data;
    uint8_t* out = destination.data;
    for (int32_t y = 0; y < source.height; ++y) {
        const uint8_t* trow = table + (y & 127) * 128;
        for (int32_t x = 0; x < source.width; ++x, p += bytesPP, ++out) {
            const int32_t R = p[2], G = p[1], B = p[0];
            const QBGR& c = w.palette[CellIndexOrNearest_(w, R, G, B) & 255];
            const int32_t m = 2 * trow[x & 127];
            const int32_t r2 = Clamp255_(c.red + m * (R - c.red) / 255);
            const int32_t g2 = Clamp255_(c.green + m * (G - c.green) / 255);
            const int32_t b2 = Clamp255_(c.blue + m * (B - c.blue) / 255);
            *out = static_cast<uint8_t>(CellIndexOrNearest_(w, r2, g2, b2));
        }
    }
}

void RemapDitherHeavy24(Qimg& source, Qimg& destination, int32_t bytesPP) {
    QPalWork& w = Work_();
    std::memcpy(destination.palette, w.palette, sizeof w.palette);
    int32_t t1[513], t3[513], t5[513], t7[513];
    _MakeErrTable(1, t1);
    _MakeErrTable(3, t3);
    _MakeErrTable(5, t5);
    _MakeErrTable(7, t7);
    const int32_t width = source.width, height = source.height;
    const int64_t stride = static_cast<int64_t>(width) * bytesPP;
    auto add = [](uint8_t* q, const int32_t* t, int32_t eR, int32_t eG, int32_t eB) {
        q[2] = Clamp255_(q[2] + t[256 + eR]);
        q[1] = Clamp255_(q[1] + t[256 + eG]);
        q[0] = Clamp255_(q[0] + t[256 + eB]);
    };
    uint8_t* out = destination.data;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = source.data + y * stride;
        const bool below = y + 1 < height;
        for (int32_t x = 0; x < width; ++x, ++out) {
            uint8_t* p = row + static_cast<int64_t>(x) * bytesPP;
            const int32_t R = p[2], G = p[1], B = p[0];
            const int32_t f = CellIndexOrNearest_(w, R, G, B) & 255;
            *out = static_cast<uint8_t>(f);
            if (x == 0 && (y & 1) == 0) continue;  // as described: this pixel diffuses nothing
            const QBGR& c = w.palette[f];
            const int32_t eR = R - c.red, eG = G - c.green, eB = B - c.blue;
            if (x + 1 < width) add(p + bytesPP, t7, eR, eG, eB);
            if (below) {
                uint8_t* q = p + stride;
                if (x > 0) add(q - bytesPP, t3, eR, eG, eB);
                add(q, t5, eR, eG, eB);
                if (x + 1 < width) add(q + bytesPP, t1, eR, eG, eB);
            }
        }
    }
}

void PalRemap(Qimg& source, Qimg& destination, int32_t method) {
    Monitored([&] {
        CheckPixels_(source);
        if (source.width < 4 || source.height < 4) method = 0;
        if (method < 0 || method > 2) return;
        if (&source == &destination && source.bitsPP != 8) {
            // One record: remap into a temporary and exchange it in.
            Qimg img8bit{};
            PalRemap(source, img8bit, method);
            ImgXchg(img8bit, destination);
            ImgFree(img8bit);
            return;
        }
        _imgalloc_(destination, source.width, source.height, "PalOpt.PalRemap.img8bit", __LINE__, 8);
        Qimg temp24{};
        Qimg* src = &source;
        int32_t bytesPP = 3;
        switch (source.bitsPP) {
            case 8: Remap8(source, destination); return;
            case 15:
            case 16:
                ImgConvBpp(source, temp24, 24);
                src = &temp24;
                break;
            case 24: break;
            case 32: bytesPP = 4; break;
            default: return;
        }
        switch (method) {
            case 0: Remap24(*src, destination, bytesPP); break;
            case 1: RemapDitherLite24(*src, destination, bytesPP); break;
            default: RemapDitherHeavy24(*src, destination, bytesPP); break;
        }
        ImgFree(temp24);
    });
}

// --- Entry ----------------------------------------------------------------------------------

void ConvTo8bit(Qimg& source, Qimg& destination, int32_t method) {
    // The work area belongs to this conversion only. If a step fails, the frame releases the
    // block; the guard then forgets the pointer so that the next PalInit starts afresh.
    struct Forget {
        ~Forget() { quantP = nullptr; }
    } forget;
    Monitored([&] {
        PalInit();
        PalCountColors(source);
        PalReduce(256);
        PalRemap(source, destination, method);
        PalDone();
    });
}

}  // namespace kelvora
