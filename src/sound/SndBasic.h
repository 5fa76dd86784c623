#pragma once
// The sound model: the wave format description shared by every sound source.

#include <cstdint>

namespace kelvora {

// The 18-byte little-endian wave format header. Two formats are equal when their first 16
// bytes are (the extra size is ignored).
#pragma pack(push, 2)
struct QWaveFmt {
    uint16_t formatTag;       // 1 = PCM
    uint16_t channels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;      // bytes per sample frame
    uint16_t bitsPerSample;
    uint16_t extraSize;
};
#pragma pack(pop)
static_assert(sizeof(QWaveFmt) == 18);

}  // namespace kelvora
