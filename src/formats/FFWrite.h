#pragma once
// Picture writers: binary PPM, BMP and PNG files from an image record of any depth.
//
// Each writer is a monitored routine. An image without pixels or of an unknown depth, and a
// failure inside the PNG library, raise (ERR_IMG, 11) "Cannot create image file."; open and
// write failures raise the file errors of Basic. A writer that fails removes the partly written
// file.

#include <string>

#include "image/ImgBasic.h"

namespace kelvora {

// Binary P6, 8 bits per channel; other depths are converted to 24 bits first.
void ImgSavePPM(const std::string& fileName, Qimg& image);
// BMP with a 40-byte information header, rows bottom-up padded to 4 bytes: 8-bit pictures with
// their 256-entry palette, 15 as 16-bit 5-5-5, 16 as 16-bit 5-6-5 bit fields, 24 and 32 as is.
void ImgSaveBMP(const std::string& fileName, Qimg& image);
// PNG: 8-bit pictures as a 256-entry palette image, other depths as 8-bit RGB.
void ImgSavePNG(const std::string& fileName, Qimg& image);

}  // namespace kelvora
