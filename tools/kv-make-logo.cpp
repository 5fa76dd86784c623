// kv-make-logo: draws the player's built-in logo (206 x 46, 8 bits with a palette: the word
// "Kelvora" in block letters with a warm gradient and a shadow, over a dark gradient) and
// writes it as a C++ array holding the picture block the player decodes at start: the four
// header values, the palette and one frame record coded with HAV BEST by our own writer.
//
// Everything is drawn from the letter grids below with integer arithmetic, so the output is
// the same on every build. The block is decoded again and compared before it is written.
//
// Usage: kv-make-logo OUT.inc   (exit status 0 on success, 1 on an error, 2 on bad usage)

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/HavWriter.h"
#include "image/ImgBasic.h"
#include "player/HplDisplay.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

constexpr int32_t W = 206;
constexpr int32_t H = 46;
constexpr int32_t CELL = 4;  // pixels per grid cell
constexpr int32_t GRID_W = 5;
constexpr int32_t GRID_H = 7;
constexpr int32_t ADVANCE = (GRID_W + 1) * CELL;
constexpr int32_t LETTERS = 7;
constexpr int32_t TEXT_W = LETTERS * ADVANCE - CELL;
constexpr int32_t TEXT_X = (W - TEXT_W) / 2;
constexpr int32_t TEXT_Y = 7;
constexpr int32_t TEXT_H = GRID_H * CELL;

// Palette layout: background gradient, shadow, letter gradient, underline.
constexpr int32_t BG_FIRST = 0, BG_COUNT = 128;
constexpr int32_t SHADOW = 128;
constexpr int32_t INK_FIRST = 160, INK_COUNT = 64;
constexpr int32_t LINE_FIRST = 224, LINE_COUNT = 32;

const char* const kGlyphs[LETTERS][GRID_H] = {
    {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"},  // K
    {".....", ".....", ".###.", "#...#", "#####", "#....", ".###."},  // e
    {".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."},  // l
    {".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."},  // v
    {".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."},  // o
    {".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."},  // r
    {".....", ".....", ".###.", "....#", ".####", "#...#", ".####"},  // a
};

struct Rgb {
    int32_t r, g, b;
};

QBGR Mix_(Rgb a, Rgb b, int32_t num, int32_t den) {
    auto m = [&](int32_t x, int32_t y) { return static_cast<uint8_t>(x + (y - x) * num / den); };
    return {m(a.b, b.b), m(a.g, b.g), m(a.r, b.r)};
}

bool Lit_(int32_t letter, int32_t gx, int32_t gy) {
    return gx >= 0 && gx < GRID_W && gy >= 0 && gy < GRID_H && kGlyphs[letter][gy][gx] == '#';
}

// True when text pixel (x, y), relative to the text's corner, is ink. Where two cells touch
// only at a corner, the corner pixels of the two empty cells between them are ink too, so
// diagonals read as strokes and round shapes get softer corners.
bool Ink_(int32_t x, int32_t y) {
    if (x < 0 || y < 0 || x >= TEXT_W || y >= TEXT_H) return false;
    const int32_t letter = x / ADVANCE;
    const int32_t lx = x % ADVANCE, gx = lx / CELL, gy = y / CELL;
    if (gx >= GRID_W) return false;
    if (Lit_(letter, gx, gy)) return true;
    const int32_t cx = lx % CELL, cy = y % CELL;
    const int32_t dx = cx == 0 ? -1 : cx == CELL - 1 ? 1 : 0;
    const int32_t dy = cy == 0 ? -1 : cy == CELL - 1 ? 1 : 0;
    return dx != 0 && dy != 0 && Lit_(letter, gx + dx, gy) && Lit_(letter, gx, gy + dy) &&
           !Lit_(letter, gx + dx, gy + dy);
}

void Draw_(Qimg& img) {
    const Rgb bgA{12, 16, 44}, bgB{44, 18, 64};
    for (int32_t i = 0; i < BG_COUNT; ++i)
        img.palette[BG_FIRST + i] = Mix_(bgA, bgB, i, BG_COUNT - 1);
    img.palette[SHADOW] = {6, 4, 2};
    const Rgb inkTop{255, 240, 180}, inkLow{236, 128, 36};
    for (int32_t i = 0; i < INK_COUNT; ++i)
        img.palette[INK_FIRST + i] = Mix_(inkTop, inkLow, i, INK_COUNT - 1);
    const Rgb lineA{60, 40, 90}, lineB{236, 150, 60};
    for (int32_t i = 0; i < LINE_COUNT; ++i)
        img.palette[LINE_FIRST + i] = Mix_(lineA, lineB, i, LINE_COUNT - 1);

    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            uint8_t c = static_cast<uint8_t>(
                BG_FIRST + (3 * x * (BG_COUNT - 1) / (W - 1) + 2 * y * (BG_COUNT - 1) / (H - 1)) / 5);
            const int32_t tx = x - TEXT_X, ty = y - TEXT_Y;
            if (Ink_(tx, ty))
                c = static_cast<uint8_t>(INK_FIRST + ty * (INK_COUNT - 1) / (TEXT_H - 1));
            else if (Ink_(tx - 2, ty - 2))
                c = SHADOW;
            // A thin underline that fades in from the left and out to the right.
            if (y == TEXT_Y + TEXT_H + 5 && tx >= 0 && tx < TEXT_W) {
                const int32_t d = tx < TEXT_W / 2 ? tx : TEXT_W - 1 - tx;
                c = static_cast<uint8_t>(LINE_FIRST + d * (LINE_COUNT - 1) / (TEXT_W / 2));
            }
            img.data[y * W + x] = c;
        }
}

void Put32_(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

uint32_t Get32_(const std::string& s, size_t at) {
    if (at + 4 > s.size()) ErrRaiseMsg0(ERR_USER, "The coded logo is cut short.");
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

// The picture block: header, palette, and the one frame record of a movie of one frame.
std::string MakeBlock_(const Qimg& img, const std::string& temp) {
    QHavWriter w;
    HAVCreate(w, temp, W, H, 1, HAV_CODEC_BEST, 0, 1.0, nullptr);
    HAVAddFrame(w, img);
    HAVWriterClose(w);
    std::ifstream in(temp, std::ios::binary);
    const std::string movie((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::remove(temp.c_str());
    const uint32_t page = Get32_(movie, HAV_HEADER_SIZE);
    const uint32_t offset = Get32_(movie, page);
    const uint32_t size = Get32_(movie, page + 4);
    if (uint64_t{offset} + size > movie.size())
        ErrRaiseMsg0(ERR_USER, "The coded logo is cut short.");
    std::string block;
    for (uint32_t v : {uint32_t{W}, uint32_t{H}, 1u, 1u}) Put32_(block, v);
    block.append(reinterpret_cast<const char*>(img.palette), sizeof img.palette);
    block.append(movie, offset, size);
    return block;
}

void WriteArray_(const std::string& block, const std::string& out) {
    std::string text =
        "// Generated by kv-make-logo: the built-in logo picture block. Do not edit.\n"
        "static const unsigned char kLogoBlock[] = {";
    char hex[32];
    for (size_t i = 0; i < block.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%s0x%02x,", i % 16 == 0 ? "\n    " : " ",
                      static_cast<uint8_t>(block[i]));
        text += hex;
    }
    text += "\n};\n";
    const std::string temp = out + ".part";
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file || std::rename(temp.c_str(), out.c_str()) != 0) {
        std::remove(temp.c_str());
        ErrRaiseMsg0(ERR_USER, "Cannot write " + out + ".");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("Usage: kv-make-logo OUT.inc\n", stderr);
        return 2;
    }
    const std::string out = argv[1];
    Qimg img, back;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    std::memset(static_cast<void*>(&back), 0, sizeof back);
    MonitoredIsolated([&] {
        _imgalloc_(img, W, H, "kv-make-logo.img", __LINE__, 8);
        Draw_(img);
        const std::string block = MakeBlock_(img, out + ".hav");
        // The player must get back exactly this picture.
        ImgFromFn(reinterpret_cast<const uint8_t*>(block.data()),
                  static_cast<int64_t>(block.size()), back);
        if (back.width != W || back.height != H || back.bitsPP != 8 ||
            std::memcmp(back.data, img.data, static_cast<size_t>(W * H)) != 0 ||
            std::memcmp(back.palette, img.palette, sizeof img.palette) != 0)
            ErrRaiseMsg0(ERR_USER, "The coded logo does not decode to the picture.");
        WriteArray_(block, out);
    });
    ImgFree(img);
    ImgFree(back);
    if (!ErrNone()) {
        std::fprintf(stderr, "kv-make-logo: %s\n", ErrLastText().c_str());
        return 1;
    }
    return 0;
}
