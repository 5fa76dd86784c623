#pragma once
// The FLIC reader (".fli" and ".flc"): 8-bit palette animations whose frames are chunks of
// sub-chunks that set palette entries and change the picture as a whole (byte run, black, copy)
// or by differences from the previous frame (byte delta, word delta). The image passed to the
// loads is the decoder's memory of the picture, so frames are reached only by decoding forward;
// random access rewinds to the first frame.
//
// File layout (little-endian): a 128-byte header (size, magic 0xAF11 or 0xAF12, frame count,
// width, height, depth, flags, speed, ...); then chunks with a 16-byte header (size including
// the header, type, sub-chunk count, 8 unused bytes), of which type 0xF1FA are frames; a frame's
// sub-chunks start with a 6-byte header (size including the header, type).
//
// Errors: (ERR_IMG, 2) wrong magic, a damaged header or a chunk that reaches past the end of the
// file; (ERR_MVI, 3) a sub-chunk that cannot be decoded (past its frame, or packets that would
// run past a line or the picture); (ERR_FLIC, 1) no frame left; (ERR_MVI, 1) frame number out
// of range.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

constexpr int32_t FLC_HEADER_SIZE = 128;
constexpr uint16_t FLC_MAGIC_FLI = 0xAF11;
constexpr uint16_t FLC_MAGIC_FLC = 0xAF12;
constexpr uint16_t FLC_CHUNK_FRAME = 0xF1FA;
constexpr int32_t FLC_CHUNK_HEADER = 16;
constexpr int32_t FLC_SUBCHUNK_HEADER = 6;

// Sub-chunk types.
constexpr uint16_t FLC_COLOR_256 = 4;
constexpr uint16_t FLC_DELTA_WORD = 7;
constexpr uint16_t FLC_COLOR_64 = 11;
constexpr uint16_t FLC_DELTA_BYTE = 12;
constexpr uint16_t FLC_BLACK = 13;
constexpr uint16_t FLC_BYTE_RUN = 15;
constexpr uint16_t FLC_COPY = 16;

// The 128-byte file header as read.
struct QFlcHeader {
    uint32_t size;
    uint16_t magic;
    uint16_t frames;
    uint16_t width;
    uint16_t height;
    uint16_t depth;
    uint16_t flags;
    uint32_t speed;  // 1/70 s in ".fli" files, milliseconds otherwise
    uint8_t rest[108];
};

// A sub-chunk header.
struct QFlcChunk {
    uint32_t size;  // including the header
    uint16_t type;
};

// The reader handle. Plain data: the movie layer keeps it in a zero-filled tracked block.
struct QFlcHandle {
    QFlcHeader header;
    int32_t bytesPP;  // 1
    int32_t bitsPP;   // 8
    int32_t fileId;
    int64_t fileSize;
    int32_t frames;    // the header's frame count
    int32_t curFrame;  // frames decoded since the last rewind
    double frameRate;  // frames per second, one decimal
    // Decoding context of the current frame.
    uint8_t* target;  // the image's pixels
    int32_t width;
    int32_t height;
    int32_t stride;      // = width
    int32_t frameBytes;  // width x height
    uint8_t* cmpsData;   // the sub-chunk being decoded (tracked while it is)
    int32_t cmpsBytes;
    int32_t newPalette;  // the last load changed the palette (0 or -1)
    int32_t writeMode;   // always 0: the reader never writes
    int64_t nextChunk;   // where the search for the next frame chunk starts
};

void FLCOpen(QFlcHandle& h, const std::string& fileName);
// Decodes frame n (0 = the next one) into the image; mode bit 0 = continuous playback.
void FLCLoad(QFlcHandle& h, Qimg& image, int32_t frame, int32_t mode);
// Reads and decodes the next frame.
void FLCLoadNext(QFlcHandle& h, Qimg& image);
// Back to the first frame: the next load decodes frame 1.
void FLCRewind(QFlcHandle& h);
// Applies the palette sub-chunk whose header was just read (the file stands at its data).
void FLCGetPal_(QFlcHandle& h, QBGR* palette, const QFlcChunk& chunk);
// Decodes the image sub-chunk whose data are in cmpsData into the target.
void FLCunCmps_(QFlcHandle& h, const QFlcChunk& chunk);
void FLCClose(QFlcHandle& h);
void FLCInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
