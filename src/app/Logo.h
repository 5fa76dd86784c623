#pragma once
// The built-in logo shown while no file is open: a picture block for ImgFromFn (206 x 46,
// 8 bits with a palette, HAV BEST coded), made at build time by kv-make-logo.

#include <cstdint>

namespace kelvora {

constexpr int32_t LOGO_WIDTH = 206;
constexpr int32_t LOGO_HEIGHT = 46;

// The block and its size in bytes; the block lives as long as the program.
void LogoGetBlock(const uint8_t*& data, int64_t& size);

}  // namespace kelvora
