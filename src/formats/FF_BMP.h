#pragma once
// The BMP/DIB reader: Windows and OS/2 bitmaps of 1, 4, 8, 16, 24 and 32 bits, 4-bit and 8-bit
// run-length coding, bit-field pixels (converted to 24 bits unless they are plain 5-5-5, 5-6-5
// or 8-8-8), bottom-up or top-down rows.
//
// Errors: (ERR_IMG, 2) not a BMP file; (ERR_IMG, 4) a damaged header; (ERR_IMG, 1) a depth or
// coding it does not read; (ERR_IMG, 3) damaged run-length data; (ERR_FILE, 3) truncated pixels.

#include <string>

#include "formats/ConFormStill.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

void DIBOpen_(QStillReader& reader, const std::string& fileName);
void DIBLoad_(const std::string& fileName, Qimg& image);
void DIBInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
