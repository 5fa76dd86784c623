#include "formats/FF_AVI.h"

#include "platform/AcmStream.h"
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

}  // namespace kelvora
