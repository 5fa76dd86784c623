#pragma once

#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

void PNMLoad(const std::string& fileName, Qimg& image);
void PNMInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
