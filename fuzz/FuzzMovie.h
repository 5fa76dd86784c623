#pragma once
// How the movie and sound targets drive an opened reader: the way the player does (frames in
// order in continuous mode, sound in blocks reading on), then the way a seek does (frames and
// sound positions by number, far from the last one). Every call runs in its own isolated frame;
// a refused load ends that part and the handle is closed as the program would close it.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "image/ImgBasic.h"
#include "sound/SndBasic.h"

namespace kelvora::fuzz {

// Enough frames and sound to pass the first key frames, palettes and sound blocks of a small
// file, few enough to keep an input's run short.
constexpr int32_t kMaxFrames = 48;
constexpr int32_t kMaxSamples = 1 << 16;
constexpr int32_t kSoundBlock = 4096;

inline Qimg EmptyImage() {
    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    return img;
}

// `load(image, frame, mode)` with frame 0 = the next one and mode bit 0 = continuous playback.
template <class Load>
void DriveFrames(int32_t frames, Load&& load) {
    Qimg img = EmptyImage();
    const int32_t run = std::min(frames, kMaxFrames);
    for (int32_t i = 1; i <= run; ++i)
        if (!Try("a frame load", [&] { load(img, 0, 1); })) break;
    // The media layer refuses frame numbers past the count before the reader sees them.
    for (int32_t frame : {frames, frames / 2 + 1, 1})
        if (frame >= 1 && frame <= frames) Try("a frame seek", [&] { load(img, frame, 0); });
    ImgFree(img);
}

// `load(sound, start, cont, count)`; `total` is the sample frames the reader announced.
template <class Load>
void DriveSound(int64_t total, Load&& load) {
    Qsnd snd{};
    int32_t pos = 0;
    for (bool cont = false; pos < std::min<int64_t>(total, kMaxSamples); cont = true) {
        snd.samples = 0;
        if (!Try("a sound load", [&] { load(snd, pos, cont, kSoundBlock); }) || snd.samples <= 0)
            break;
        pos += snd.samples;
    }
    for (int64_t start : {total / 2, total - 1, int64_t{0}})
        if (start >= 0 && start <= INT32_MAX)
            Try("a sound seek", [&] { load(snd, static_cast<int32_t>(start), false, 1024); });
    SndFree(snd);
}

}  // namespace kelvora::fuzz
