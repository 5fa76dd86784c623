#pragma once
// Video decompressors: the calls the AVI reader is written against (open a decompressor for a
// stream's format, decode its frames one by one into packed device-independent bitmaps, apply
// palette changes, close), chosen by FOURCC over libavcodec's video decoders.
//
// The stream format is a BITMAPINFOHEADER as stored in an AVI stream's "strf" chunk, possibly
// followed by a colour table (palettised sources) or by the codec's extra data. Uncompressed
// frames (compression BI_RGB, or "DIB ", "RAW ", "RGB ") of 8, 16, 24 or 32 bits are copied
// without libavcodec, bottom-up or top-down (negative height) rows, padded to 4 bytes or, when
// the frame is too short for that, packed. Every other compression code is looked up in
// libavformat's RIFF video tag table, falling back to the stream header's handler code.
//
// Every decoded frame comes out as one packed device-independent bitmap: a 40-byte
// BITMAPINFOHEADER (positive height, BI_RGB), for 8 bits a 256-entry colour table (blue, green,
// red, 0), then the rows bottom-up, each padded to a multiple of 4 bytes. The depth follows the
// source: 8 bits with the colour table for palettised sources (raw 8-bit, RLE, 8-bit Video 1)
// and for grey-only decoders, 16 bits of 5-5-5 pixels for 16-bit sources, 32 bits for 32-bit
// sources, 24 bits (blue, green, red) for everything else, YUV codecs included.
//
// Order of frames. Frames are fed in the order they are stored (decode order). A decoder with
// delay (B-frames) holds frames back: a call may then deliver no bitmap; frames come out in
// presentation order, at most one per call. The caller feeds until a bitmap comes out and,
// after the last stored frame, calls VideoCodecFlush until it delivers nothing, which hands out
// the frames still held. After a flush, or after VideoCodecReset (a seek), the next frame fed
// must be a key frame. An empty frame (a dropped frame of the file) delivers the next frame
// held back, or else no bitmap and ICERR_DONTDRAW: the picture delivered last stays.
//
// The bitmap vector a call receives into may hold the caller's previous bitmap: its storage is
// reused for a later one, so a frame costs no allocation.
//
// A frame the decoder rejects gives ICERR_ERROR and no bitmap; the decoder goes on with the
// next frame (from the next key frame on, for most codecs). A decoder with error concealment
// may deliver a damaged frame's picture instead.
//
// Decoding ahead (VideoCodecDecodeAhead): a helper thread decodes the frame just fed while the
// caller's thread converts the one before into its bitmap, so a movie played in order costs
// about the longer of the two rather than their sum. Every call then answers the frame fed by
// the call before it (a delay of one frame, handled like a decoder's own delay: a bitmap, none
// held back, ICERR_ERROR for a rejected frame, ICERR_DONTDRAW for an empty one); the flush
// answers the last.
//
// Decompressors are independent; one must not be used by two threads at once.

#include <cstdint>
#include <string>
#include <vector>

namespace kelvora {

// Results (0 = success).
constexpr int32_t ICERR_OK = 0;
constexpr int32_t ICERR_DONTDRAW = 1;      // an empty frame: the last picture stays
constexpr int32_t ICERR_UNSUPPORTED = -1;  // no decoder for the format
constexpr int32_t ICERR_BADFORMAT = -2;    // the format is damaged or contradicts itself
constexpr int32_t ICERR_MEMORY = -3;
constexpr int32_t ICERR_INTERNAL = -4;
constexpr int32_t ICERR_BADPARAM = -6;
constexpr int32_t ICERR_BADSIZE = -7;  // an uncompressed frame shorter than its picture
constexpr int32_t ICERR_BADHANDLE = -8;
constexpr int32_t ICERR_ERROR = -100;  // the decoder rejected the frame
constexpr int32_t ICERR_BADBITDEPTH = -200;
constexpr int32_t ICERR_BADIMAGESIZE = -201;

// Compression codes of a BITMAPINFOHEADER.
constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_RLE8 = 1;
constexpr uint32_t BI_RLE4 = 2;
constexpr uint32_t BI_BITFIELDS = 3;

struct QVideoCodec;

// Opens a decompressor for a stream: `format` is the stream format of `formatBytes` bytes (at
// least the 40-byte header), `handler` the stream header's handler code (0 when there is
// none). The decompressor is ordinary heap memory, not a tracked block: its owner closes it.
// ICERR_UNSUPPORTED when no decoder takes the format; ICERR_BADFORMAT, ICERR_BADBITDEPTH or
// ICERR_BADIMAGESIZE for a damaged or implausible header.
int32_t VideoCodecOpen(QVideoCodec** codec, const uint8_t* format, int32_t formatBytes,
                       uint32_t handler);
// Decodes the next stored frame (`bytes` bytes; `key` from the index). `dib` receives the
// packed bitmap of the frame that comes out, and is empty when none does (see the order of
// frames above).
int32_t VideoCodecDecode(QVideoCodec* codec, const uint8_t* data, int32_t bytes, bool key,
                         std::vector<uint8_t>& dib);
// After the last frame: hands out one frame held back by the decoder per call; `dib` is empty
// (and the result ICERR_OK) when none is left.
int32_t VideoCodecFlush(QVideoCodec* codec, std::vector<uint8_t>& dib);
// Turns decoding ahead on (see above), before the first frame is fed. ICERR_UNSUPPORTED for
// uncompressed streams and on a machine with one processor.
int32_t VideoCodecDecodeAhead(QVideoCodec* codec);
// Before feeding from another place in the stream: drops the frames held back and the
// decoder's references.
int32_t VideoCodecReset(QVideoCodec* codec);
// Applies a palette-change chunk ("##pc": first entry, entry count (0 for 256), flags, then
// red, green, blue, flags per entry) to the frames decoded after it. Palettised streams only.
int32_t VideoCodecSetPalette(QVideoCodec* codec, const uint8_t* change, int32_t bytes);
int32_t VideoCodecClose(QVideoCodec* codec);

// The long name of the decoder that takes a compression or handler code; empty when none does.
std::string VideoCodecName(uint32_t fourcc);

}  // namespace kelvora
