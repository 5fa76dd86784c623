#pragma once
// Sun raster images: raw or run-length encoded, 1, 8, 24 and 32 bits per pixel.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// An open Sun raster file: the 32-byte header, eight big-endian fields.
struct QRASHandle {
    int32_t fileId;
    int64_t fileSize;
    bool supported;
    int32_t magic;  // 0x59A66A95
    int32_t width;
    int32_t height;
    int32_t depth;
    int32_t length;     // data length as declared (not relied on)
    int32_t type;       // 0 old, 1 standard, 2 run-length, 3 RGB order
    int32_t mapType;    // 0 none, 1 red, green and blue planes, other kinds are skipped
    int32_t mapLength;  // bytes of colour map between the header and the pixels
};

// Opens the file and reads its header; the file stays open (the caller's frame owns it).
void RASOpen_(QRASHandle& handle, const std::string& fileName);
void RASLoad(const std::string& fileName, Qimg& image);
void RASInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
