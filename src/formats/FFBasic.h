#pragma once
// What every format reader and writer shares: the bounded byte reader that parses headers,
// the output depth table with the preparation of a picture for writing, and numeric helpers.

#include <cstdint>
#include <cstring>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "runtime/Errors.h"

namespace kelvora {

// --- Bounded byte reader ----------------------------------------------------------------------
// Reads little- and big-endian fields from a block of known length. A read past the end gives
// 0 and sets `overrun`, so a header is parsed field by field and checked once at the end.
//
// The same reader also runs over a window [start, end) of a tracked file (BrOpenFile): it holds
// the file's bytes in a buffer and refills it when a read needs more than the buffer has left.
// The bounds are the window's: no read goes past its end, and a read that would sets overrun
// exactly as at the end of a block. Positions (BrTell, BrSeek) are offsets in the source: in
// the block, or in the file. A file that turns out shorter than its window (it shrank after
// the window was set) ends the window where the file ends. Only the slow path of a read knows
// about files, so a block in memory is read as cheaply as ever.
//
// The buffer of a file-backed reader is a tracked block under the label given to BrOpenFile,
// registered to the reader's `buffer` field: a monitored routine that fails releases it with
// the other blocks it allocated (the reader must then be treated as closed, not closed again),
// otherwise the routine that opened the reader releases it with BrClose. A copy of the reader
// may carry on in place of the original (the buffer follows the copy that grows it), but only
// one of them may be used. A read larger than the buffer grows it (never beyond the rest of
// the window). A pointer returned by a read stays valid until the next read, fill or seek on
// the same reader.
struct QByteReader {
    const uint8_t* data;  // the bytes at hand: the whole block, or the filled part of the buffer
    int64_t size;         // bytes at `data`
    int64_t pos;          // the next byte is data[pos]
    bool overrun;
    // All zero for a block in memory (a zero-filled reader reads as an empty block).
    int32_t fileId;
    uint8_t* buffer;  // the tracked buffer, `capacity` bytes; `data` is the buffer
    int64_t capacity;
    const char* label;  // the buffer's label (a string literal: kept, not copied)
    int64_t base;       // source offset of data[0]
    int64_t start;      // the window
    int64_t end;
};

inline QByteReader ByteReader(const void* data, int64_t size) {
    QByteReader r{};
    r.data = static_cast<const uint8_t*>(data);
    r.size = size < 0 ? 0 : size;
    r.end = r.size;
    return r;
}
// Sets `r` up to read the file `fileId` from `start` to `end` (both clipped to the file's size)
// through a buffer of `capacity` bytes (at least 1), allocated under `label`. Nothing is read
// yet. Raises what the allocation raises.
void BrOpenFile(QByteReader& r, int32_t fileId, int64_t start, int64_t end, int64_t capacity,
                const char* label);
// Releases a file-backed reader's buffer (nothing for a block in memory; the file stays
// open); the reader is then empty.
void BrClose(QByteReader& r);

// The refill of a file-backed reader, out of line. Its callers below hand it a copy, so that a
// reader kept in a local variable never has its address taken and a decoding loop can keep
// its fields in registers; the end of a block is handled inline, as it always was.
const uint8_t* BrTakeSlow_(QByteReader& r, int64_t n);
int64_t BrFillSlow_(QByteReader& r, int64_t n);

// The next `n` bytes, or null (overrun set, position at the end) when fewer remain. Inline:
// decoders read packets byte by byte through it.
inline const uint8_t* BrTake(QByteReader& r, int64_t n) {
    if (n < 0 || r.size - r.pos < n) [[unlikely]] {
        if (!r.buffer) {
            r.overrun = true;
            r.pos = r.size;
            return nullptr;
        }
        QByteReader t = r;
        const uint8_t* p = BrTakeSlow_(t, n);
        r = t;
        return p;
    }
    const uint8_t* p = r.data + r.pos;
    // Bytes to take mean a block to take them from: the callers' null tests fold away.
    if (n > 0 && p == nullptr) __builtin_unreachable();
    r.pos += n;
    return p;
}
// Makes at least `n` bytes (fewer only at the end) ready at BrHere without taking them; returns
// how many are ready, which may be more than `n`: the rest of a block, or of the buffer.
inline int64_t BrFill(QByteReader& r, int64_t n) {
    const int64_t ready = r.size - r.pos;
    if (ready >= n || !r.buffer) [[likely]]
        return ready;
    QByteReader t = r;
    const int64_t got = BrFillSlow_(t, n);
    r = t;
    return got;
}
// The next unread byte (as many as the last BrFill reported are valid from here).
inline const uint8_t* BrHere(const QByteReader& r) { return r.data + r.pos; }
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
    return p ? (uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                (uint32_t{p[3]} << 24))
             : 0;
}
inline uint32_t BrU32BE(QByteReader& r) {
    const uint8_t* p = BrTake(r, 4);
    return p ? ((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
                uint32_t{p[3]})
             : 0;
}
inline int32_t BrI32LE(QByteReader& r) { return static_cast<int32_t>(BrU32LE(r)); }
// Copies `count` bytes (zeros past the end, with overrun set).
inline void BrBytes(QByteReader& r, void* destination, int64_t count) {
    if (count <= 0) return;
    const uint8_t* p = BrTake(r, count);
    if (p)
        std::memcpy(destination, p, static_cast<size_t>(count));
    else
        std::memset(destination, 0, static_cast<size_t>(count));
}
inline void BrSkip(QByteReader& r, int64_t count) { BrTake(r, count); }
// Moves to `position` (an offset in the block or the file); outside the block or the window,
// overrun is set and the reader stands at the end. Within a file-backed reader's buffer no
// file access follows.
void BrSeek(QByteReader& r, int64_t position);
inline int64_t BrTell(const QByteReader& r) { return r.base + r.pos; }
// The bytes left before the end of the block or the window.
inline int64_t BrLeft(const QByteReader& r) { return r.end - r.base - r.pos; }

// Sane limits for pictures read from files: a larger header is refused before allocating.
constexpr int32_t FF_MAX_SIDE = 65535;
// True when width x height at `bits` per pixel (at most 32) is positive, no side is longer than
// FF_MAX_SIDE and the picture has at most IMG_MAX_PIXELS pixels.
bool FFSaneGeometry(int64_t width, int64_t height, int32_t bits);

// --- Output depth table -------------------------------------------------------------------------
// The depth a picture of `bits` is written in by output format `type`; BAD_HANDLE when the type
// has no row, 0 for sound formats.
int32_t FFOutputDepth(int32_t type, int32_t bits);

// A picture prepared for writing: the image itself, or a temporary padded and/or converted copy.
struct QffPrep {
    Qimg* image;  // the picture to write
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
void FFDecodeForward(Handle& h, int32_t frame, int32_t mode, bool holds, Forget&& forget,
                     Next&& next, Restart&& restart) {
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
