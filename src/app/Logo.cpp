#include "app/Logo.h"

#include "kelvora_logo.inc"

namespace kelvora {

void LogoGetBlock(const uint8_t*& data, int64_t& size) {
    data = kLogoBlock;
    size = static_cast<int64_t>(sizeof kLogoBlock);
}

}  // namespace kelvora
