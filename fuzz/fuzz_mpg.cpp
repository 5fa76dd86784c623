// MPEG system and video streams and MPEG audio: the description, the open of both libraries, the pictures and the sound.

#include <cstdint>
#include <cstring>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_MPG.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, ".mpg");
    const fuzz::RegisterGuard guard;

    QMpgHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { MpgOpen(h, path, 0); })) {
        fuzz::DriveFrames(h.frames, [&](Qimg& img, int32_t frame, int32_t mode) {
            MpgImgLoad(h, img, frame, mode);
        });
        fuzz::DriveSound(h.hasAudio ? h.audioInfo.samples : 0,
                         [&](Qsnd& snd, int32_t start, bool cont, int32_t count) {
                             MpgSndLoad(h, snd, start, cont, count);
                         });
        MpgClose(h);
    }
    QffInfo info{};
    fuzz::Try("the information", [&] { MpgInfo(path, info); });
    guard.Check("the reader");
    return 0;
}
