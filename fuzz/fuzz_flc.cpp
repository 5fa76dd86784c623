// FLIC animations: the open, every frame in order (each one a difference from the one before) and by number (a rewind and a decode forward).

#include <cstdint>
#include <cstring>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_FLC.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, ".flc");
    const fuzz::RegisterGuard guard;

    QFlcHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { FLCOpen(h, path); })) {
        fuzz::DriveFrames(
            h.frames, [&](Qimg& img, int32_t frame, int32_t mode) { FLCLoad(h, img, frame, mode); });

        FLCClose(h);
    }
    QffInfo info{};
    fuzz::Try("the information", [&] { FLCInfo(path, info); });
    guard.Check("the reader");
    return 0;
}
