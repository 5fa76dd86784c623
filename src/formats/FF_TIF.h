#pragma once
// TIFF still images, decoded by libtiff.

#include <cstdint>
#include <string>

#include <tiffio.h>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// An open TIFF file: the first picture's fields (defaults where the file leaves them out).
struct QTifHandle {
    TIFF* tif;
    uint32_t height;
    uint32_t width;
    int64_t scanlineSize;  // TIFFScanlineSize
    uint16_t bitsPerSample;
    uint16_t samplesPerPixel;
    uint16_t compression;
    uint16_t photometric;
    bool supported;  // TIFLoad can decode it
};

// Opens the file and reads the fields; (ERR_IMG, 8) when libtiff cannot open it, or the
// library's own error. On failure nothing stays open.
void TIFOpen_(QTifHandle& handle, const std::string& fileName);
void TIFClose_(QTifHandle& handle);
// 16 when any colour-map entry is 256 or more (a 16-bit map), else 8.
int32_t checkpal_(int32_t count, const uint16_t* red, const uint16_t* green, const uint16_t* blue);

// Fills the picture part of the record: file size, size, depth, codec name; images-loadable is
// the supported flag.
void TIFInfo(const std::string& fileName, QffInfo& info);
// Loads the first picture: 8 bits with a palette (grey, 1-bit or colour map), 24 bits blue,
// green, red, or 32 bits with the fourth sample in the unused byte. (ERR_IMG, 1) when the
// variant is not supported.
void TIFLoad(const std::string& fileName, Qimg& image);

}  // namespace kelvora
