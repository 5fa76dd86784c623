#pragma once
// PNG still images, decoded by libpng through the reading interface.

#include <cstdint>
#include <string>

#include <png.h>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// An open PNG file: header fields as png_get_IHDR reports them.
struct QPngHandle {
    int32_t fileId;  // tracked file; also libpng's read source (its io pointer is the handle)
    png_structp png;
    png_infop info;
    png_uint_32 width;
    png_uint_32 height;
    int32_t bytesPP;   // 3 RGB, 4 RGBA, 1 palette or grey (with or without alpha)
    int32_t bitDepth;  // per sample: 1, 2, 4, 8 or 16
    int32_t colorType;
    int32_t interlace;
    int32_t compression;
    int32_t filter;
};

// Opens the file, checks the signature ((ERR_IMG, 2) when it is not a PNG) and reads the header.
// On failure nothing stays open.
void PNGOpen_(QPngHandle& handle, const std::string& fileName);
// Releases libpng's structures and the file; the handle becomes zero.
void PNGClose_(QPngHandle& handle);

// Fills the picture part of the record: file size, size, depth as stored, codec name.
void PNGInfo(const std::string& fileName, QffInfo& info);
// Loads the picture at 8 bits per channel without alpha: 24 bits blue, green, red, or 8 bits with
// the file's palette or a grey ramp.
void PNGLoad(const std::string& fileName, Qimg& image);

}  // namespace kelvora
