#pragma once
// SGI images: verbatim or run-length encoded, 8 bits per channel, 1 to 4 channels.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// An open SGI file: the 108-byte header as read, big-endian fields converted.
struct QSGIHandle {
    int32_t fileId;
    int64_t fileSize;
    bool supported;
    uint16_t magic;   // 474
    uint8_t storage;  // 0 verbatim, 1 run-length
    uint8_t bytesPC;  // bytes per channel
    uint16_t dimension;
    uint16_t xSize;
    uint16_t ySize;
    uint16_t zSize;  // channels; 0 for an unknown dimension
    uint32_t pixMin;
    uint32_t pixMax;
    uint8_t unused[4];
    char imageName[80];
    uint32_t colorMap;  // 0 for plain pictures
};

// Opens the file and reads its header; the file stays open (the caller's frame owns it).
void SGIOpen_(QSGIHandle& handle, const std::string& fileName);
void SGILoad(const std::string& fileName, Qimg& image);
void SGIInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
