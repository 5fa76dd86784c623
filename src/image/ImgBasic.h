#pragma once
// The image record: every picture in the system, held by value with its pixel block on the
// tracked heap (Basic) and an inline palette.
//
// Rows are top-down and packed (stride = width * bytes per pixel, no padding). Depths:
// 8 palette indices; 15 little-endian 5-5-5 (blue in bits 0-4); 16 little-endian 5-6-5;
// 24 blue, green, red; 32 blue, green, red, unused.

#include <cstdint>
#include <string>

namespace kelvora {

struct QBGR {
    uint8_t blue;
    uint8_t green;
    uint8_t red;
};

struct Qimg {
    uint8_t* data;          // tracked block registered under this field, or foreign pixels
    int32_t size;           // width * height * bytesPP
    int32_t width;
    int32_t height;
    int32_t bytesPP;        // (bitsPP + 7) / 8
    int32_t bitsPP;         // 8, 15, 16, 24 or 32
    QBGR palette[256];      // meaningful at 8 bits per pixel
    int32_t redirected;     // 0, or -1 when data points at foreign memory
};

// Allocates or resizes the record's pixel block and sets its header (palette untouched).
// `name` labels the block ("Unit.Routine.variable"), `line` is the caller's source line.
void _imgalloc_(Qimg& image, int32_t width, int32_t height, const std::string& name, int32_t line,
                int32_t bits);
void ImgFree(Qimg& image);
void ImgRedirect(Qimg& image, uint8_t* pixels, int32_t width, int32_t bits, int32_t height);
bool ImgValid(const Qimg& image);
void ImgSetSize(Qimg& image, int32_t width, int32_t height, int32_t bits);
void ImgCopyHeader(const Qimg& source, Qimg& destination);
void ImgCopyPalette(const Qimg& source, Qimg& destination);
void ImgCopyData(const Qimg& source, Qimg& destination);
void ImgCopy(const Qimg& source, Qimg& destination);
void ImgXchg(Qimg& a, Qimg& b);

}  // namespace kelvora
