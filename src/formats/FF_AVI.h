#pragma once
// AVI movies with sound. For now the unit names sound codecs, for the information report of
// every reader that carries wave-format sound (AVI, WAV).

#include <cstdint>
#include <string>

namespace kelvora {

// "(#" + the tag in decimal + ") " followed by "PCM, uncompressed" for tag 1, else the name of
// the decoder that converts the tag, else "Unknown codec".
std::string AVIGetAudioName(uint16_t tag);

}  // namespace kelvora
