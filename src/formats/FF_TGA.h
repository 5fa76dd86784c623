#pragma once
// The TGA reader: colour-mapped (8-bit indices) and true-colour (8, 15, 24 and 32 bits)
// pictures, plain or run-length coded, bottom-up or top-down.
//
// Errors: (ERR_IMG, 2) an image type it does not know; (ERR_IMG, 4) a damaged header;
// (ERR_IMG, 1) a depth it does not read; (ERR_IMG, 3) damaged run-length data; (ERR_FILE, 3) a
// truncated file.

#include <string>

#include "formats/ConFormStill.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

void TGAOpen_(QStillReader& reader, const std::string& fileName);
void TGALoad_(const std::string& fileName, Qimg& image);
void TGAInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
