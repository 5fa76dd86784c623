#pragma once
// Bayer images: raw sensor dumps of a 512-pixel-wide camera, monochrome or behind a colour
// filter mosaic, followed by a 1024-byte trailer (camera model, "BAY 2", colour mode, exposure).
//
// The file has no header: its exact length gives the height (74,752 bytes: 144 rows, 197,632
// bytes: 384 rows). Samples are stored as 2 x 2 blocks (top-left, top-right, bottom-left,
// bottom-right), 256 blocks per block row. The mosaic has green at (even row, even column) and
// (odd, odd), red at (even, odd) and blue at (odd, even).

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// State of an open Bayer file.
struct QBayHandle {
    int32_t fileId;  // tracked file
    int32_t fileSize;
    int32_t width;      // always 512
    int32_t height;     // 144 or 384
    int32_t channels;   // 3 colour, 1 monochrome, 0 unknown
    bool valid;         // channels is not 0
    bool colour;        // channels is 3
    double exposure;    // exposure value of the model's code table; 0 when unknown
    std::string model;  // the two-character camera model code
};

// Opens and checks the file and fills the handle; leaves the file at offset 0.
// Raises (ERR_IMG, 2) for a wrong length or a missing "BAY 2" signature.
void BayOpen_(QBayHandle& bay, const std::string& fileName);
// Loads the picture: 8-bit grey for monochrome files, 24-bit for colour files.
void BayLoad(const std::string& fileName, Qimg& image);
// Demosaics width x height block-ordered samples into 3-byte blue, green, red pixels; rows go
// top-down when `topDown` is set, else bottom-up. Width and height must be even.
void BayColor_(const uint8_t* samples, uint8_t* pixels, int32_t width, bool topDown, int32_t height);
// Fills the file information record; the frame-rate field carries the exposure value.
void BayInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
