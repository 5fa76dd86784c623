// AVI movies with sound: the open over both engines, the frames and the sound converted to PCM.

#include <cstdint>
#include <cstring>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_AVI.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, ".avi");
    const fuzz::RegisterGuard guard;

    QAviHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { AviOpen(h, path); })) {
        fuzz::DriveFrames(h.frames, [&](Qimg& img, int32_t frame, int32_t mode) {
            AviImgLoad(h, img, frame, mode);
        });
        fuzz::DriveSound(h.pcmLength, [&](Qsnd& snd, int32_t start, bool cont, int32_t count) {
            AviSndLoad(h, snd, start, cont, count);
        });
        AviClose(h);
    }
    QffInfo info{};
    fuzz::Try("the information", [&] { AviInfo(path, info); });
    guard.Check("the reader");
    return 0;
}
