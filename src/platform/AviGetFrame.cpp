#include "platform/AviGetFrame.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/VideoCodec.h"

namespace kelvora {

struct QAviGetFrame {
    PAVISTREAM stream = nullptr;
    QVideoCodec* codec = nullptr;
    int32_t start = 0;   // the stream's first position
    int32_t length = 0;  // frames
    bool palettes = false;
    int32_t nextFeed = -1;  // the next sample to feed (from 0); -1: the decoder starts afresh
    int32_t nextOut = 0;    // the frame the next bitmap out belongs to
    int32_t shown = -1;     // the frame whose bitmap `dib` holds
    bool flushed = false;   // every sample is fed and the held frames are being drained
    std::vector<uint8_t> sample;
    std::vector<uint8_t> dib;
    std::vector<uint8_t> spare;  // the bitmap before `dib`: storage for the next one

    ~QAviGetFrame() {
        if (codec) VideoCodecClose(codec);
        if (stream) AVIStreamRelease(stream);
    }

    // The colour table in force at sample `i`, handed to the decompressor as a full change.
    void SetPalette(int32_t i) {
        int32_t size = 0;
        if (AVIStreamReadFormat(stream, start + i, nullptr, &size) != 0 || size < 40) return;
        std::vector<uint8_t> format(static_cast<size_t>(size));
        if (AVIStreamReadFormat(stream, start + i, format.data(), &size) != 0) return;
        const uint32_t header = RiffU32(format.data());
        if (header < 40 || header >= format.size()) return;
        const size_t colours = std::min<size_t>(256, (format.size() - header) / 4);
        if (colours == 0) return;
        // first entry, count (0 stands for 256), flags, then red, green, blue, flags each
        std::vector<uint8_t> change(4 + colours * 4, 0);
        change[1] = static_cast<uint8_t>(colours & 0xFF);
        for (size_t k = 0; k < colours; ++k) {
            const uint8_t* bgr = format.data() + header + k * 4;
            change[4 + k * 4] = bgr[2];
            change[5 + k * 4] = bgr[1];
            change[6 + k * 4] = bgr[0];
        }
        VideoCodecSetPalette(codec, change.data(), static_cast<int32_t>(change.size()));
    }

    // Feeds sample `nextFeed` (or drains the decoder after the last one); true when a bitmap
    // came out into `dib`. False when nothing more can come.
    bool Step(bool& failed) {
        std::vector<uint8_t> out;
        out.swap(spare);
        int32_t r = ICERR_OK;
        if (nextFeed >= length) {
            flushed = true;
            r = VideoCodecFlush(codec, out);
            if (r != ICERR_OK && r != ICERR_DONTDRAW) return false;
            if (r == ICERR_OK && out.empty()) return false;
        } else {
            const int32_t i = nextFeed++;
            if (palettes && i > 0 &&
                AVIStreamFindSample(stream, start + i, FIND_FORMAT | FIND_NEXT) == start + i)
                SetPalette(i);
            int32_t bytes = 0;
            if (AVIStreamRead(stream, start + i, 1, nullptr, 0, &bytes, nullptr) != 0 || bytes < 0)
                return failed = true, false;
            sample.resize(std::max<size_t>(1, static_cast<size_t>(bytes)));
            if (bytes > 0 &&
                AVIStreamRead(stream, start + i, 1, sample.data(), bytes, &bytes, nullptr) != 0)
                return failed = true, false;
            const bool key = AVIStreamIsKeyFrame(stream, start + i);
            r = VideoCodecDecode(codec, sample.data(), bytes, key, out);
            if (r != ICERR_OK && r != ICERR_ERROR && r != ICERR_DONTDRAW)
                return failed = true, false;
        }
        if (r == ICERR_DONTDRAW) {  // a dropped frame: the picture shown stays
            if (shown >= 0) shown = nextOut++;
            return true;
        }
        if (out.empty()) return true;  // a frame held back, or one the decoder rejected
        dib.swap(out);
        spare.swap(out);
        shown = nextOut++;
        return true;
    }

    // Starts again at the key frame at or before frame `n`.
    void Restart(int32_t n) {
        const int32_t key = AVIStreamFindSample(stream, start + n, FIND_PREV | FIND_KEY);
        const int32_t from = key >= start ? key - start : 0;
        VideoCodecReset(codec);
        if (palettes) SetPalette(from);
        nextFeed = nextOut = from;
        shown = -1;
        flushed = false;
    }
};

PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const void* wanted) {
    if (!stream || wanted) return nullptr;
    AVISTREAMINFO info{};
    if (AVIStreamInfo(stream, &info, sizeof info) != 0 || info.fccType != streamtypeVIDEO)
        return nullptr;
    int32_t size = 0;
    if (AVIStreamReadFormat(stream, AVIStreamStart(stream), nullptr, &size) != 0 || size < 40)
        return nullptr;
    std::vector<uint8_t> format(static_cast<size_t>(size));
    if (AVIStreamReadFormat(stream, AVIStreamStart(stream), format.data(), &size) != 0)
        return nullptr;
    auto* g = new (std::nothrow) QAviGetFrame;
    if (!g) return nullptr;
    if (VideoCodecOpen(&g->codec, format.data(), size, info.fccHandler) != ICERR_OK) {
        g->codec = nullptr;
        delete g;
        return nullptr;
    }
    VideoCodecDecodeAhead(g->codec);  // where it cannot, frames decode in turn
    AVIStreamAddRef(stream);
    g->stream = stream;
    g->start = AVIStreamStart(stream);
    g->length = std::max(0, AVIStreamLength(stream));
    g->palettes = info.dwFormatChangeCount > 0;
    return g;
}

const uint8_t* AVIStreamGetFrame(PGETFRAME g, int32_t pos, int32_t* size) {
    if (size) *size = 0;
    if (!g) return nullptr;
    const int32_t n = pos - g->start;
    if (n < 0 || n >= g->length) return nullptr;
    if (n != g->shown) {
        // On from where the decoder stands when `n` lies ahead of it and no key frame lies in
        // between; else from the key frame before `n`.
        const int32_t key = AVIStreamFindSample(g->stream, pos, FIND_PREV | FIND_KEY) - g->start;
        if (g->nextFeed < 0 || n < g->nextOut || (key > g->nextFeed && key >= 0)) g->Restart(n);
        bool failed = false;
        // Every sample feeds at most one bitmap out, and the drain gives back what is held: the
        // loop ends within the stream's length plus the decoder's delay.
        while (g->shown < n) {
            if (!g->Step(failed)) {
                if (failed || g->flushed) break;
            }
        }
        if (g->shown != n) return nullptr;
    }
    if (size) *size = static_cast<int32_t>(g->dib.size());
    return g->dib.empty() ? nullptr : g->dib.data();
}

int32_t AVIStreamGetFrameClose(PGETFRAME g) {
    if (!g) return AVIERR_BADHANDLE;
    delete g;
    return 0;
}

}  // namespace kelvora
