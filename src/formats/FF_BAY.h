#pragma once

#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

void BayLoad(const std::string& fileName, Qimg& image);
void BayInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
