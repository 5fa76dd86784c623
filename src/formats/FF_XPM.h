#pragma once
// XPM still images, decoded by the image library (platform/libimg).

#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

// Fills the picture part of the record: file size, size, 3 bytes and 24 bits per pixel, no codec
// name. A file the library cannot read raises (ERR_IMG, 8).
void XPMInfo(const std::string& fileName, QffInfo& info);
// Loads the picture at 24 bits; transparent pixels are black.
void XPMLoad(const std::string& fileName, Qimg& image);

}  // namespace kelvora
