#pragma once
// JPEG still images, decoded by the image library (platform/libimg).

#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// Fills the picture part of the record: file size, size, 1 (grey) or 3 bytes per pixel, codec
// "JFIF 1.02". A file the library cannot read raises (ERR_IMG, 8).
void JPGInfo(const std::string& fileName, QffInfo& info);
// Loads the picture: 24 bits blue, green, red, or 8 bits with the grey ramp.
void JPGLoad(const std::string& fileName, Qimg& image);
// Decodes the picture band by band into `sink` (grey pictures widened to 3 bytes, the pixels
// otherwise JPGLoad's). width and height are what JPGInfo reported: a file that no longer matches
// them raises (ERR_IMG, 8) before any row is delivered, as does a file the library cannot read.
void JPGLoadRows(const std::string& fileName, int32_t width, int32_t height, const QRowSink& sink);

}  // namespace kelvora
