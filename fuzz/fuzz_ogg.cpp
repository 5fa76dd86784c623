// Ogg Vorbis files: the open, the sound in blocks and after seeks.

#include <cstdint>
#include <cstring>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_OGG.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::InputFile(data, size, ".ogg");
    const fuzz::RegisterGuard guard;

    QOggHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { OggOpen(h, path); })) {
        fuzz::DriveSound(h.total, [&](Qsnd& snd, int32_t start, bool cont, int32_t count) {
            OggLoad(h, snd, start, cont, count);
        });
        OggClose(h);
    }
    QffInfo info{};
    fuzz::Try("the information", [&] { OggInfo(path, info); });
    guard.Check("the reader");
    return 0;
}
