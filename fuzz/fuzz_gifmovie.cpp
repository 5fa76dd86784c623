// GIF animations: the scan of the open, every frame composed in order and by number.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_GIF.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, ".gif");
    const fuzz::RegisterGuard guard;
    // The open cache knows a file by name, size and time stamp: inputs of one size written
    // within the file system's clock tick would share an entry. Each input starts without one.
    GIFDone();

    QGifHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { GIFOpen(h, path, false); })) {
        fuzz::DriveFrames(
            h.frames, [&](Qimg& img, int32_t frame, int32_t mode) { GIFLoad(h, img, frame, mode); });

        GIFClose(h);
        // The same file again comes from the cache: the frame starts the scan kept.
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        if (fuzz::Try("the cached open", [&] { GIFOpen(h, path, false); })) {
            fuzz::DriveFrames(std::min(h.frames, 2), [&](Qimg& img, int32_t frame, int32_t mode) {
                GIFLoad(h, img, frame, mode);
            });
            GIFClose(h);
        }
    }
    QffInfo info{};
    fuzz::Try("the information", [&] { GIFInfo(path, info, true); });
    guard.Check("the reader");
    return 0;
}
