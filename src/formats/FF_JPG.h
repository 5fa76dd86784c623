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

}  // namespace kelvora
