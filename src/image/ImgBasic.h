#pragma once
// The image record: every picture in the system, held by value with its pixel block on the
// tracked heap (Basic) and an inline palette.
//
// Rows are top-down and packed (stride = width * bytes per pixel, no padding). Depths:
// 8 palette indices; 15 little-endian 5-5-5 (blue in bits 0-4); 16 little-endian 5-6-5;
// 24 blue, green, red; 32 blue, green, red, unused.

#include <cstdint>
#include <functional>
#include <string>

namespace kelvora {

// The most pixels a picture read from a file may ask for: 2^28 (16384 x 16384), the order of
// the limits the image libraries themselves apply. At up to 4 bytes per pixel that keeps a
// picture's block within 1 GiB and its byte counts within 32 bits, and it refuses the damaged
// or hostile header that declares a huge picture in a tiny file before anything is allocated
// for it or any work is done per pixel. Every reader checks its header against it (through
// FFSaneGeometry) and refuses a larger picture with its own header error; the video decoders
// below the image layer keep the same number (AV_MAX_PIXELS).
constexpr int64_t IMG_MAX_PIXELS = int64_t{1} << 28;

struct QBGR {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
};

struct Qimg {
    uint8_t* data;  // tracked block registered under this field, or foreign pixels
    int32_t size;   // width * height * bytesPP
    int32_t width;
    int32_t height;
    int32_t bytesPP;     // (bitsPP + 7) / 8
    int32_t bitsPP;      // 8, 15, 16, 24 or 32
    QBGR palette[256];   // meaningful at 8 bits per pixel
    int32_t redirected;  // 0, or -1 when data points at foreign memory
};

// Receives a picture band by band where it need not be held whole (a still written straight to a
// file): `count` rows, top-down and packed, of width * 3 bytes red, green, blue, the order of
// picture files. The rows are valid only during the call; a raise stops the delivery.
using QRowSink = std::function<void(const uint8_t* rows, int32_t count)>;

// Allocates or resizes the record's pixel block and sets its header (palette untouched).
// `name` labels the block ("Unit.Routine.variable"), `line` is the caller's source line.
void _imgalloc_(Qimg& image, int32_t width, int32_t height, const std::string& name, int32_t line,
                int32_t bits);
// The column of a depth in tables indexed by depth: 8, 15, 16, 24, 32, then any other (0..5).
int32_t ImgDepthSlot(int32_t bits);
void ImgFree(Qimg& image);
void ImgRedirect(Qimg& image, uint8_t* pixels, int32_t width, int32_t bits, int32_t height);
bool ImgValid(const Qimg& image);
void ImgSetSize(Qimg& image, int32_t width, int32_t height, int32_t bits);
void ImgCopyHeader(const Qimg& source, Qimg& destination);
void ImgCopyPalette(const Qimg& source, Qimg& destination);
void ImgCopyData(const Qimg& source, Qimg& destination);
void ImgCopy(const Qimg& source, Qimg& destination);
void ImgXchg(Qimg& a, Qimg& b);

// --- Pixel-format conversion and transforms -------------------------------------------------
// Source and destination may be the same record except for ImgInsert and ImgSprite (which then
// do nothing). Sources are not const: a heavy-dither conversion to 8 bits diffuses its error
// into the source pixels. A source without pixels, with a size of zero or with a depth other
// than 8, 15, 16, 24 or 32 raises (ERR_IMG, 2) or (ERR_IMG, 1).

// Operation numbers of the image operation frame.
constexpr int32_t IMGOP_FLIPV = 13;
constexpr int32_t IMGOP_SWAPRB = 30;
constexpr int32_t IMGOP_SPRITE = 38;  // '&'
constexpr int32_t IMGOP_RESIZE = 39;
constexpr int32_t IMGOP_INSERT = 43;  // '+'

// How an image operation treats its pictures (filled by ImgInfo).
struct QImgInfo {
    int32_t depthMap[6];  // working depth for a source of 8, 15, 16, 24, 32, any other bits
    bool inPlace;         // source and destination may be one record
    bool paletteMode;     // an 8-bit source is worked on through its 256 palette entries
    bool convertDest;     // the destination is converted to the working depth
    bool higherDepth;     // work at the higher of the source and destination depths
};

// One running image operation (filled by ImgInitEx, finished by ImgDone).
struct QImgJob {
    Qimg* src;   // working source
    Qimg* dest;  // working destination
    Qimg temp;
    bool freeTemp;
    bool xchgTemp;     // the temporary replaces the record at the end
    bool copyPixels;   // palette mode: the pixels go over unchanged at the end
    bool copyPalette;  // 8-bit source: its palette goes over at the end
    int32_t srcRowBytes;
    int32_t destRowBytes;
    int32_t srcBytes;
    int32_t destBytes;
    int32_t srcCount;  // elements
    int32_t destCount;
    int32_t elemSize;   // 3 in palette mode, else the working source's bytes per pixel
    uint8_t* srcElems;  // the palettes in palette mode, else the pixel blocks
    uint8_t* destElems;
    int32_t newWidth;
    int32_t newHeight;
};

// Defaults: every source depth works at 24 bits, in place, no palette mode.
void ImgInitInfo(QImgInfo& info);
void ImgInfo(QImgInfo& info, int32_t operation);
// Prepares a job whose result is width x height; `destination` may be null for operations that
// work in place (the source is then the destination).
void ImgInitEx(const QImgInfo& info, QImgJob& job, Qimg& source, int32_t height, int32_t width,
               Qimg* destination);
void ImgDone(QImgJob& job);

void ImgConvBpp(Qimg& source, Qimg& destination, int32_t bits);
// method for 8-bit results: 0 plain quantizer, 1 heavy dither, 2 light dither, 3 grey.
void ImgConvBppEx(Qimg& source, Qimg& destination, int32_t bits, int32_t method);
void ImgFlipV(Qimg& source, Qimg& destination);
void ImgSwapRB(Qimg& source, Qimg& destination);
void ImgResize(Qimg& source, Qimg& destination, int32_t width, int32_t height);
void ImgInsert(Qimg& source, Qimg& destination, int32_t x, int32_t y);
void ImgSprite(Qimg& source, Qimg& destination, int32_t x, int32_t y, uint32_t key);

// --- Building records from memory -----------------------------------------------------------
// step 3 or 4: copies the first three bytes of each pixel (reversed when swap is set); step 2:
// expands 5-5-5 words to red, green, blue (blue, green, red when swap is set).
void ImgRowTo24(bool swap, int32_t step, int32_t count, uint8_t* destination, const uint8_t* source);
void PalGreyRamp(QBGR* palette);
void PalGreyRampInv(QBGR* palette);
void MakeQimg(Qimg& image, const uint8_t* buffer, int32_t width, bool topDown, int32_t stride,
              int32_t bits, int32_t height);
// `block` is a packed device-independent bitmap of `blockSize` bytes (untrusted: its header is
// checked against the block's length). A negative height marks top-down rows.
void DibToQimg(Qimg& image, const uint8_t* block, int64_t blockSize);

}  // namespace kelvora
