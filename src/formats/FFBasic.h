#pragma once
// What every format reader and writer shares: the bounded byte reader that parses headers,
// the output depth table with the preparation of a picture for writing, and numeric helpers.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "runtime/Errors.h"

namespace kelvora {

// --- Bounded byte reader ----------------------------------------------------------------------
// Reads little- and big-endian fields from a block of known length. A read past the end gives
// 0 and sets `overrun`, so a header is parsed field by field and checked once at the end.
struct QByteReader {
    const uint8_t* data;
    int64_t size;
    int64_t pos;
    bool overrun;
};

QByteReader ByteReader(const void* data, int64_t size);

// The next `n` bytes, or null (overrun set, position at the end) when fewer remain. Inline:
// decoders read packets byte by byte through it.
inline const uint8_t* BrTake(QByteReader& r, int64_t n) {
    if (n < 0 || r.size - r.pos < n) {
        r.overrun = true;
        r.pos = r.size;
        return nullptr;
    }
    const uint8_t* p = r.data + r.pos;
    r.pos += n;
    return p;
}
inline uint8_t BrU8(QByteReader& r) {
    const uint8_t* p = BrTake(r, 1);
    return p ? p[0] : 0;
}
inline uint16_t BrU16LE(QByteReader& r) {
    const uint8_t* p = BrTake(r, 2);
    return p ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : 0;
}
inline uint16_t BrU16BE(QByteReader& r) {
    const uint8_t* p = BrTake(r, 2);
    return p ? static_cast<uint16_t>((p[0] << 8) | p[1]) : 0;
}
inline uint32_t BrU32LE(QByteReader& r) {
    const uint8_t* p = BrTake(r, 4);
    return p ? (uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24)) : 0;
}
inline uint32_t BrU32BE(QByteReader& r) {
    const uint8_t* p = BrTake(r, 4);
    return p ? ((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]}) : 0;
}
inline int32_t BrI32LE(QByteReader& r) { return static_cast<int32_t>(BrU32LE(r)); }
// Copies `count` bytes (zeros past the end, with overrun set).
void BrBytes(QByteReader& r, void* destination, int64_t count);
inline void BrSkip(QByteReader& r, int64_t count) { BrTake(r, count); }
void BrSeek(QByteReader& r, int64_t position);
inline int64_t BrLeft(const QByteReader& r) { return r.size - r.pos; }

// Sane limits for pictures read from files: a larger header is refused before allocating.
constexpr int32_t FF_MAX_SIDE = 65535;
constexpr int64_t FF_MAX_PIXEL_BYTES = int64_t{1} << 30;
// True when width x height at `bits` per pixel is positive and within the limits.
bool FFSaneGeometry(int64_t width, int64_t height, int32_t bits);

// --- Output depth table -------------------------------------------------------------------------
// The depth a picture of `bits` is written in by output format `type`; BAD_HANDLE when the type
// has no row, 0 for sound formats.
int32_t FFOutputDepth(int32_t type, int32_t bits);

// A picture prepared for writing: the image itself, or a temporary padded and/or converted copy.
struct QffPrep {
    Qimg* image;     // the picture to write
    Qimg temp;
    int32_t tempUsed;
};

void FFInit(int32_t type, QffPrep& prep, Qimg& image, int32_t alignment);
void FFDone(QffPrep& prep);

// --- Decoding forward ---------------------------------------------------------------------------
// The frame stepping of a movie whose frames are reached only by decoding forward from a start
// (GIF, FLIC, HAV). The reader handle `h` has curFrame (the frame last decoded into the caller's
// picture, 0 before the first), frames and newPalette.
// - A frame outside 0..frames: (ERR_MVI, 1).
// - `holds` false (the picture is not this movie's): `forget()` first, nothing builds on it.
// - Frame 0 or the next one: one `next()`, which decodes the frame after curFrame.
// - In continuous playback (mode bit 0) the frame already shown: no change, an early exit.
// - Otherwise `restart(continuous)` moves curFrame to where decoding starts (a rewind, the key
//   frame before, or on from here) and says whether it brought a palette in force; then `next()`
//   up to the frame. The palette flag tells whether the restart or any step changed the palette.
// Runs inside the reader's monitored routine: the early exit is its MonExit.
template <class Handle, class Forget, class Next, class Restart>
void FFDecodeForward(Handle& h, int32_t frame, int32_t mode, bool holds, Forget&& forget, Next&& next,
                     Restart&& restart) {
    const bool continuous = (mode & 1) != 0;
    if (frame < 0 || frame > h.frames) ErrFail(ERR_MVI, MVI_INVALID_FORMAT);
    if (!holds) forget();
    if (frame == 0 || frame == h.curFrame + 1) {
        next();
        return;
    }
    if (continuous && frame == h.curFrame) {
        h.newPalette = 0;
        MonExit();
    }
    const bool found = restart(continuous);
    bool changed = false;
    while (h.curFrame < frame) {
        next();
        changed = changed || h.newPalette != 0;
    }
    h.newPalette = FFBool(changed || found);
}

// --- Numeric helpers --------------------------------------------------------------------------
uint32_t FourCC(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
std::string FourCCStr(uint32_t code);
double RateOf(double count, double seconds);
int32_t MulPos(int32_t a, int32_t b);
int32_t TruncMul2(double a, double b);
int32_t TruncMul3(double a, double b, double c);
int32_t TruncMulDiv(double count, double a, double b);

}  // namespace kelvora
