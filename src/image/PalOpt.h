#pragma once
// The palette quantizer: reduces a picture of any depth to 8 bits with a palette of at most
// 256 colours chosen for it.
//
// The picture's colours are counted in a histogram of 64 levels per channel; at most 256
// distinct colours are kept as they are (cut to 6 bits), more are reduced by splitting the
// colour cube into boxes along the largest luminance-weighted spread. The darkest colour goes
// to index 0. Pixels are then mapped plainly, through a 128 x 128 ordered-dither threshold
// table, or by damped Floyd-Steinberg error diffusion.
//
// ConvTo8bit is the entry. The steps (PalInit ... PalDone) work on the calling thread's own
// work area, which exists from PalInit to PalDone: two threads may convert at the same time.

#include <cstdint>

#include "image/ImgBasic.h"

namespace kelvora {

// The histogram has one cell per 6-bit colour: index = r + 64 * g + 4096 * b.
constexpr int32_t PAL_CELLS = 262144;
// Bytes of the work area (the tracked block "PalOpt.PalInit.quantP").
constexpr int32_t PAL_WORK_SIZE = 1069836;

// A box of the colour cube (bounds inclusive, in 6-bit cell units). Packed to 4 bytes so that
// the work area has the described size (76 bytes per box).
#pragma pack(push, 4)
struct QPalBox {
    int32_t r0, r1, g0, g1, b0, b1;
    int32_t dr, dg, db;  // r1 - r0, g1 - g0, b1 - b0
    int32_t size;        // (db^2 + dr^2 + dg^2) * 121; 0: a single cell, never split
    double spreadR, spreadG, spreadB;
    int32_t midR, midG, midB;  // (lo + hi) div 2
};
#pragma pack(pop)
static_assert(sizeof(QPalBox) == 76);

// The work area, in the described order.
struct QPalWork {
    // While counting: pixels - 1 per cell (-1 empty, saturating at 2147483647). After
    // PalReduce: the palette index of every counted cell and of every cell inside a box;
    // the dithers fill further cells with the index of their nearest palette colour.
    int32_t hist[PAL_CELLS];
    int32_t colours;  // distinct colours: cells that are not -1
    QBGR palette[256];
    int32_t correction[256];  // 0 for v < 4, else v
    int32_t boxCount;
    QPalBox boxes[256];
    int32_t target;  // 2 .. 256
};
static_assert(sizeof(QPalWork) == PAL_WORK_SIZE);

// method 0 plain, 1 light ordered dither, 2 heavy error diffusion (changes the source pixels).
// Source depths 8, 15, 16, 24 and 32. Other methods leave the destination as it was.
void ConvTo8bit(Qimg& source, Qimg& destination, int32_t method);

// --- Steps (each works on the calling thread's work area) -----------------------------------
void PalInit();                          // allocate if absent, clear (every cell -1)
void PalCountColors(const Qimg& image);  // add the picture's pixels to the histogram
void PalReduce(int32_t colours);         // palette and inverse map
void PalRemap(Qimg& source, Qimg& destination, int32_t method);
void PalDone();  // free the work area
// The calling thread's work area between PalInit and PalDone, else null (for inspection).
QPalWork* PalWorkArea();

void Count8(const Qimg& image);
// The box's mean colour: correct = false gives each channel's rounded mean in cell units
// (0..63, ties to even); correct = true gives trunc(mean * 4) through the correction map, and
// black for a box without pixels.
QBGR CalcBoxColor(const QPalBox& box, bool correct);
void CreateInverseBoxMap(const QPalBox& box, int32_t index);
void ShrinkBox(QPalBox& box);
void SplitBoxes(int32_t target);
void CreateCorrectionMap();
void CreateHighPalette();
void CreateLowPalette();
void SetDarkColorFirst();
// bytesPP is 3 or 4 (source pixels B, G, R[, x]); destination is an 8-bit record of the
// source's size.
void Remap24(const Qimg& source, Qimg& destination, int32_t bytesPP);
void RemapDitherLite24(const Qimg& source, Qimg& destination, int32_t bytesPP);
void RemapDitherHeavy24(Qimg& source, Qimg& destination, int32_t bytesPP);
void Remap8(const Qimg& source, Qimg& destination);
// Damping table for a Floyd-Steinberg weight a/16: entry e + 256 for e in -256..256.
void _MakeErrTable(int32_t a, int32_t* table);

// The nearest palette entry to (red, green, blue) among entries 0..count-1 by
// 3481 dG^2 + 900 dR^2 + 121 dB^2; the lowest index wins ties.
int32_t PalNearestColor(const QBGR* palette, int32_t count, int32_t red, int32_t green, int32_t blue);
// The 128 x 128 dither threshold table, indexed (row mod 128) * 128 + (column mod 128).
const uint8_t* PalDitherTable();

}  // namespace kelvora
