#pragma once
// HAV image decompression: one frame record (palette chunks and image chunks) into the image
// record that still holds the previous frame, and the token tables the HAV writer shares.
//
// An image chunk carries horizontal bands, each raw or coded with one of two bit-level token
// codecs read most significant bit first: BEST (12-bit tokens, matches over 24 offset classes
// and a 1024-entry cyclic dictionary of repeats) or FAST (10-bit tokens, no dictionary). With
// prediction (BEST-P) the tokens write differences into the prediction buffer and each band is
// rebuilt into the picture as running sums. Every fault of a band or chunk raises
// (ERR_MVI, 3) "Cannot decompress movie image data.".

#include <cstdint>
#include <vector>

#include "image/ImgBasic.h"

namespace kelvora {

// --- Codec field ------------------------------------------------------------------------------
constexpr int32_t HAV_CODEC_BEST = 0;
constexpr int32_t HAV_CODEC_FAST = 1;
constexpr int32_t HAV_CODEC_BESTP = 2;
constexpr int32_t HAV_CODEC_TOKEN_FAST = 1;  // bit 0: FAST tokens instead of BEST
constexpr int32_t HAV_CODEC_PREDICT = 2;     // bit 1: bands hold differences

// --- Record layout ----------------------------------------------------------------------------
constexpr int32_t HAV_FRAME_HEADER = 16;
constexpr int32_t HAV_CHUNK_HEADER = 16;
constexpr int32_t HAV_CHUNK_PALETTE = 2;
constexpr int32_t HAV_CHUNK_IMAGE = 4;
constexpr int32_t HAV_BAND_DESC = 20;
constexpr int32_t HAV_MAX_BANDS = 128;
constexpr int32_t HAV_READ_SLACK = 8192;  // the read buffer holds image bytes + this
constexpr int32_t HAV_DICT_SIZE = 1024;

// --- Tokens -------------------------------------------------------------------------------------
// Each token is given as its value when written with the number of bits shown; the fields
// after it (run bytes, a length code) follow directly.
// BEST (the decoder looks at 12 bits):
constexpr uint32_t HAV_BEST_LITERAL = 0x300;  // | byte, 10 bits
constexpr uint32_t HAV_BEST_RUN = 0x000;      // | p0, 12 bits, then B-1 bytes and a length code
constexpr uint32_t HAV_BEST_COPY = 0x100;  // | (n-2), 12 bits: n = 2..129 bytes from the row above
constexpr uint32_t HAV_BEST_SKIP = 0x180;  // | (n-2), 12 bits: n = 2..65 bytes kept
constexpr uint32_t HAV_BEST_LONG = 0x1C0;  // | x, 12 bits: end of band, or a long skip (+ length code)
constexpr uint32_t HAV_BEST_REPEAT = 0x200;  // + entry (0..1023), 12 bits
constexpr uint32_t HAV_BEST_MATCH = 0x600;   // + class * 64 + d, 12 bits, then a length code
// FAST (the decoder looks at 10 bits):
constexpr uint32_t HAV_FAST_LITERAL = 0x100;  // | byte, 9 bits
constexpr uint32_t HAV_FAST_RUN = 0x000;      // | p0, 10 bits, then B-1 bytes and a length code
constexpr uint32_t HAV_FAST_COPY = 0x080;     // | (n-2), 9 bits: n = 2..65 bytes from the row above
constexpr uint32_t HAV_FAST_SKIP = 0x180;     // | (n-2), 10 bits: n = 2..65
constexpr uint32_t HAV_FAST_LONG = 0x1C0;     // | x, 10 bits: end of band, or a long skip

constexpr int32_t HAV_LEN_MIN = 2;    // shortest value of the length code
constexpr int32_t HAV_LEN_MAX = 767;  // longest
constexpr int32_t HAV_BEST_COPY_MAX = 129;
constexpr int32_t HAV_FAST_COPY_MAX = 65;
constexpr int32_t HAV_SKIP_MAX = 65;       // short skip
constexpr int32_t HAV_LONG_SKIP_MIN = 66;  // 64 * 2 + 0 - 62
constexpr int32_t HAV_LONG_SKIP_MAX = 64 * HAV_LEN_MAX + 63 - 62;
constexpr int32_t HAV_MATCH_CLASSES = 24;

// Bits of the length code of v (2..767): 1b, 01bb, 001bbb, ... as in the table, 16 from 256 on.
// The code of v below 256 is v itself written in that many bits; from 256 on it is v - 256 in
// 16 bits (seven zeros and nine bits).
int32_t HavLenBits(int32_t v);
// How far back the source of a match of class i (0..23) lies before d is added:
// 64 + i * stride for i = 0..11 (rows 0 to 11 up, 64 to 1 bytes left after d),
// (i - 11) * stride for i = 12..23 (rows 1 to 12 up, 0 to 63 bytes right after d).
int32_t HavMatchOffset(int32_t cls, int32_t stride);

// --- Decoding -----------------------------------------------------------------------------------

// One palette chunk of a record.
struct QHavPalChunk {
    int32_t first;           // first palette index
    int32_t count;           // entries
    const uint8_t* entries;  // count x (red, green, blue)
};

// What the picture of a BEST-P movie was last rebuilt with. A frame mostly keeps what the one
// before had; where it keeps the differences and the running sums reach them unchanged, the
// pixels come out as they were and are left alone.
struct QHavRebuilt {
    const uint8_t* image;  // the pixels that hold the rebuild of the prediction buffer; null: none
    int32_t bands;         // the bands it was made with
    int32_t rows[HAV_MAX_BANDS];
};

// What decoding one frame record needs.
struct QHavFrameJob {
    uint8_t* buffer;     // the read buffer: the record, and later the streamed portions
    int32_t bufferSize;  // its capacity: at least image bytes + HAV_READ_SLACK
    int32_t recordSize;  // bytes of the record at the start of buffer
    int32_t fileId;      // the file the streamed bands are read from
    int64_t streamPos;   // where they start: just after the record
    int64_t fileSize;
    int32_t codec;
    uint8_t** predict;  // the variable holding the prediction buffer (allocated on first use)
    bool newPalette;    // out: a palette chunk was applied
    // With prediction: what the image was last rebuilt with, kept up to date here; null, or an
    // `image` other than the image's pixels, rebuilds every byte. The caller clears it when the
    // image may no longer hold what the last decode left there.
    QHavRebuilt* rebuilt;
};

// Decodes the record into `image` (allocated at the movie's geometry, holding the previous
// frame); palette chunks change the image palette. Raises (ERR_MVI, 3) on any fault.
void HavDecodeFrame(QHavFrameJob& job, Qimg& image);

// Decodes the token stream `data` (`size` bytes) into base[start, end) of a buffer of
// `imageBytes` bytes whose rows are `stride` long; sources may lie anywhere in the buffer before
// the target. False on a fault (a write past `end`, a source outside the buffer, an unwritten
// dictionary entry, a stream that ends before its end-of-band token).
bool HavDecodeBand(const uint8_t* data, int32_t size, uint8_t* base, int32_t imageBytes,
                   int32_t start, int32_t end, int32_t stride, int32_t bytesPP, bool fast);

// Rebuilds `bytes` bytes of pixels from differences: three 8-bit running sums over the bytes in
// memory order (byte i adds to sum i mod 3), starting at 0.
void HavPredictRebuild(const uint8_t* diff, uint8_t* pixels, int32_t bytes);

// Lists the palette chunks of a record, in record order, up to the first image chunk whose bands
// are streamed (what follows it cannot be read); the entries point into `record`. Raises
// (ERR_MVI, 3) when the record is malformed.
void HavListPalettes(const uint8_t* record, int32_t recordSize, std::vector<QHavPalChunk>& out);

}  // namespace kelvora
