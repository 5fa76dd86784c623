// HAV movies: the open (header, page table, index, sound chain), every frame in order and by number, and the sound.

#include <cstdint>
#include <cstring>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_HAV.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, ".hav");
    const fuzz::RegisterGuard guard;

    QHavHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { HAVOpen(h, path); })) {
        fuzz::DriveFrames(h.frames, [&](Qimg& img, int32_t frame, int32_t mode) {
            HAVImgLoad(h, img, frame, mode);
        });
        fuzz::DriveSound(h.soundFlags ? h.sampleCount : 0,
                         [&](Qsnd& snd, int32_t start, bool cont, int32_t count) {
                             HAVSndLoad(h, snd, start, cont, count);
                         });
        HAVClose(h);
    }
    QffInfo info{};
    fuzz::Try("the information", [&] { HAVInfo(path, info); });
    guard.Check("the reader");
    return 0;
}
