// Today's containers through libavformat: the description (as any container and as one type's),
// the open that takes the described media, the frames, key frames and the sound.

#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzMovie.h"
#include "FuzzSupport.h"
#include "formats/FF_AVF.h"
#include "platform/AvMedia.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The name says nothing of the format: the media layer goes by the bytes.
    const std::string path = fuzz::InputFile(data, size, ".media");
    const fuzz::RegisterGuard guard;
    // Inputs of one size written within a clock tick look alike: nothing parked may carry over.
    AvfDone();

    QffInfo info{};
    fuzz::Try("the information", [&] { AvfInfo(path, info); });
    fuzz::Try("a type's information", [&] { AvfInfoAs(path, FT_MP4, info); });
    QAvfHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    // A failed open has released what it took: the program forgets the handle, it does not
    // close it.
    if (fuzz::Try("the open", [&] { AvfOpen(h, path); })) {
        fuzz::DriveFrames(h.frames, [&](Qimg& img, int32_t frame, int32_t mode) {
            AvfImgLoad(h, img, frame, mode);
        });
        for (int32_t frame : {1, h.frames / 2, h.frames + 1})
            for (int32_t direction : {-1, 1}) AvfNearestKeyFrame(h, frame, direction);
        fuzz::DriveSound(h.samples, [&](Qsnd& snd, int32_t start, bool cont, int32_t count) {
            AvfSndLoad(h, snd, start, cont, count);
        });
        AvfClose(h);
    }
    AvfDone();
    guard.Check("the reader");

    // The media layer with no time to read the file through: a Matroska file goes by its
    // timeline, however few packets it has.
    std::string error;
    QAvOpenOptions quick;
    quick.scanMilliseconds = 0;
    if (QAvMedia* m = AvMediaOpen(path, error, quick)) {
        const QAvFacts& f = AvMediaFacts(m);
        if (f.video.present) {
            std::vector<uint8_t> pic(size_t(f.video.width) * f.video.height * 3);
            for (int64_t i : {int64_t{0}, f.video.frames / 2, f.video.frames - 1,
                              f.video.frames + 3, int64_t{1}})
                AvMediaFrame(m, i, pic.data(), pic.size());
        }
        if (f.audio.present) {
            std::vector<int16_t> pcm(size_t(2048) * f.audio.channels);
            for (int64_t at : {int64_t{0}, f.audio.samples / 2, f.audio.samples + 100, int64_t{10}})
                AvMediaSound(m, at, 2048, pcm.data());
        }
        AvMediaClose(m);
    }
    return 0;
}
