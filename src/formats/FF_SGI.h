#pragma once

#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

void SGILoad(const std::string& fileName, Qimg& image);
void SGIInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
