#include "formats/FF_OGG.h"

#include <algorithm>
#include <cstring>

#include "platform/OggVorbisFile.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

void Zero_(QOggHandle& h) { std::memset(static_cast<void*>(&h), 0, sizeof h); }

// Clears the library's state, closes the file and frees the state block.
void Release_(QOggHandle& h) {
    if (MemLive(h.state)) {
        ov_clear_2(h.file, h.state);
        MemFree(h.state);
    } else {
        ov_clear_2(h.file, nullptr);  // the state went with a failure: at least close the file
    }
}

[[noreturn]] void Refuse_(QOggHandle& h, ErrWhere where = ErrWhere::current()) {
    Release_(h);
    Zero_(h);
    ErrFail(ERR_MVI, MVI_OPEN, where);
}

// Goes to `sample`; false when the stream cannot go there (the position stays).
bool Seek_(QOggHandle& h, int32_t sample) {
    if (!MemLive(h.state)) return false;
    const int64_t reached = ov_pcm_seek(h.state, sample);
    if (reached < 0) return false;
    h.position = static_cast<int32_t>(std::min<int64_t>(reached, h.total));
    return true;
}

}  // namespace

void OggOpen(QOggHandle& h, const std::string& fileName) {
    Monitored([&] {
        Zero_(h);
        _memalloc_(h.state, OV_STATE_BYTES, __LINE__, MEM_KIND_C, "FF_OGG.OggOpen.oggF.vf");
        if (ov_open_2(h.file, fileName.c_str(), h.state, nullptr, 0) < 0) Refuse_(h);
        const QOvInfo info = ov_info(h.state, -1);
        h.format = QWaveFmt{WAVE_FORMAT_PCM,
                            static_cast<uint16_t>(info.channels),
                            static_cast<uint32_t>(info.rate),
                            0,
                            0,
                            16,
                            0};
        if (info.channels <= 0 || info.rate <= 0 || !WaveFmtFix(h.format)) Refuse_(h);
        h.total = static_cast<int32_t>(std::clamp<int64_t>(ov_pcm_total(h.state, -1), 0, INT32_MAX));
        const std::string name = FFShortStr(fileName);
        std::memcpy(h.fileName, name.c_str(), name.size() + 1);
    });
}

void OggSeek(QOggHandle& h, int32_t sample) {
    Monitored([&] { Seek_(h, sample); });
}

void OggLoad(QOggHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        sound.samples = 0;
        if (!MemLive(h.state)) return;
        sound.format = h.format;
        // A position the stream cannot reach delivers nothing rather than the sound of another.
        if ((!cont || start != h.position) && !Seek_(h, start)) return;
        const int32_t align = h.format.blockAlign;
        // Nothing is read past the stream's length, so no request needs more room than that.
        const int64_t frames = std::min<int64_t>(
            {count, int64_t{h.total} - h.position, INT32_MAX / align});
        if (frames <= 0) return;
        const int32_t wanted = static_cast<int32_t>(frames * align);
        _sndalloc_(sound, wanted, __LINE__, "FF_OGG.OggLoad.snd");
        sound.format = h.format;
        int32_t delivered = 0;
        int32_t space = wanted;
        while (delivered < frames) {
            char* at = reinterpret_cast<char*>(sound.data) + int64_t{delivered} * align;
            const long got = ov_read(h.state, at, space, 0, 2, 1, &h.stream);
            if (got <= 0) break;  // the end, or a decode error: what came so far stands
            const int32_t n = static_cast<int32_t>(got / align);
            delivered += n;
            h.position += n;
            space -= n * align;
        }
        sound.samples = delivered;
    });
}

void OggClose(QOggHandle& h) {
    Monitored([&] {
        Release_(h);
        Zero_(h);
    });
}

void OggInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        info.fileSize = FileSizeByName(fileName);
        QOggHandle h;
        OggOpen(h, fileName);
        info.soundFormat = h.format;
        info.playFormat = h.format;
        info.soundSamples = h.total;
        info.soundCompression = "Ogg Vorbis audio codec";
        info.hasSound = FFBool(h.total > 0);
        info.soundSupported = info.hasSound;
        OggClose(h);
    });
}

}  // namespace kelvora
