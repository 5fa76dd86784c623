#pragma once

#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

void RASLoad(const std::string& fileName, Qimg& image);
void RASInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
