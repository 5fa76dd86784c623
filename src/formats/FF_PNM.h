#pragma once
// PNM greymaps and pixmaps (P2, P3 ASCII; P5, P6 binary), 8 or 16 bits per sample.

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// An open PNM file.
struct QPNMHandle {
    int32_t fileId;
    bool ascii;
    bool supported;
    int32_t width;
    int32_t height;
    int32_t bytesPP;  // of the loaded picture: 1 grey, 3 colour
    int32_t bitsPP;
    int32_t sampleShift;  // scales a sample to 8 bits: left by this, or right by its negation
    int64_t fileSize;
    int32_t maxValue;
    int32_t sampleBytes;  // binary bytes per sample: 2 (big-endian) when the maximum exceeds 255
};

// Opens the file and reads its header through `reader`, a file-backed byte reader set up here
// (so each load or information call has its own, and two threads can read pictures at once).
// The reader stays positioned after the character that ends the maximum value; the file and
// the reader's buffer stay with the caller's frame, which closes both. A header that ends
// with the file raises (ERR_IMG, 9).
void PNMOpen_(QPNMHandle& handle, QByteReader& reader, const std::string& fileName);
void PNMLoad(const std::string& fileName, Qimg& image);
void PNMInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
