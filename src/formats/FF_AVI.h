#pragma once
// AVI movies with sound. For now the unit names sound and video codecs, for the information
// report of every reader that carries wave-format sound (AVI, WAV) or AVI video, and classifies
// video codes.

#include <cstdint>
#include <string>

namespace kelvora {

// "(#" + the tag in decimal + ") " followed by "PCM, uncompressed" for tag 1, else the name of
// the decoder that converts the tag, else "Unknown codec".
std::string AVIGetAudioName(uint16_t tag);

// "(" + the four characters of the code + ") " (nothing for code 0), then "Full frames,
// uncompressed" for full-frame codes, else the name of the decoder that takes the code, else
// "Unknown codec".
std::string AVIGetVideoName(uint32_t fourcc);

// Uncompressed full frames: "DIB ", "RAW " or "RGB " in any case, or 0.
bool AVIChk4FullFrames_(uint32_t fourcc);
// Video 1: "MSVC", "CRAM" or "WHAM" in any case.
bool AVIChk4Video1_(uint32_t fourcc);

}  // namespace kelvora
