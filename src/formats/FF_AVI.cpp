#include "formats/FF_AVI.h"

#include "formats/FFBasic.h"
#include "platform/AcmStream.h"
#include "platform/VideoCodec.h"
#include "sound/SndBasic.h"

namespace kelvora {

std::string AVIGetAudioName(uint16_t tag) {
    std::string name = "(#" + std::to_string(tag) + ") ";
    std::string decoder;
    if (tag == WAVE_FORMAT_PCM)
        name += "PCM, uncompressed";
    else if (acmFormatTagDetails(tag, decoder) == 0 && !decoder.empty())
        name += decoder;
    else
        name += "Unknown codec";
    return name;
}

namespace {

uint32_t Upper4_(uint32_t code) {
    uint32_t out = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t c = (code >> (8 * i)) & 0xFF;
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        out |= c << (8 * i);
    }
    return out;
}

}  // namespace

bool AVIChk4FullFrames_(uint32_t fourcc) {
    const uint32_t u = Upper4_(fourcc);
    return fourcc == 0 || u == FourCC('D', 'I', 'B', ' ') || u == FourCC('R', 'A', 'W', ' ') ||
           u == FourCC('R', 'G', 'B', ' ');
}

bool AVIChk4Video1_(uint32_t fourcc) {
    const uint32_t u = Upper4_(fourcc);
    return u == FourCC('M', 'S', 'V', 'C') || u == FourCC('C', 'R', 'A', 'M') ||
           u == FourCC('W', 'H', 'A', 'M');
}

std::string AVIGetVideoName(uint32_t fourcc) {
    std::string name = fourcc == 0 ? std::string() : "(" + FourCCStr(fourcc) + ") ";
    if (AVIChk4FullFrames_(fourcc)) return name + "Full frames, uncompressed";
    // Every Video 1 code is asked as the one the decompressor is installed under.
    const std::string decoder = VideoCodecName(AVIChk4Video1_(fourcc) ? FourCC('m', 's', 'v', 'c')
                                                                      : fourcc);
    return name + (decoder.empty() ? std::string("Unknown codec") : decoder);
}

}  // namespace kelvora
