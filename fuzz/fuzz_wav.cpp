// WAV files: the chunk walk of the open, and the sound delivered as PCM (through a conversion stream for every tag but PCM).

#include <cstdint>
#include <cstring>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_WAV.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, ".wav");
    const fuzz::RegisterGuard guard;

    QWavHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { WAVOpen(h, path); })) {
        fuzz::DriveSound(h.soundLoadable ? h.sampleCount : 0,
                         [&](Qsnd& snd, int32_t start, bool cont, int32_t count) {
                             WAVLoad(h, snd, start, cont, count);
                         });
        WAVClose(h);
    }
    QffInfo info{};
    fuzz::Try("the information", [&] { WAVInfo(path, info); });
    guard.Check("the reader");
    return 0;
}
