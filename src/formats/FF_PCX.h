#pragma once
// The PCX reader: run-length coded pictures of one plane of 8-bit indices (with the 256-colour
// palette at the end of the file) or three planes of red, green and blue.
//
// Errors: (ERR_IMG, 2) not a PCX file; (ERR_IMG, 4) a damaged header; (ERR_IMG, 1) another plane
// layout or coding; (ERR_IMG, 3) damaged run-length data or a missing palette; (ERR_FILE, 3) a
// truncated file.

#include <string>

#include "formats/ConFormStill.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

void PCXOpen_(QStillReader& reader, const std::string& fileName);
void PCXLoad_(const std::string& fileName, Qimg& image);
void PCXunCmps_(QStillReader& reader, uint8_t* pixels);
void PCX24Fix_(QStillReader& reader, uint8_t* pixels);
void PCXInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
