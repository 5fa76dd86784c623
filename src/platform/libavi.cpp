#include "platform/libavi.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AvMedia.h"
#include "platform/HandleTable.h"
#include "sound/SndBasic.h"  // the wave format record only: no link to the sound model

namespace kelvora {

namespace {

struct Open_ {
    std::mutex lock;  // one call at a time on this file
    QAvMedia* media = nullptr;
    ~Open_() { AvMediaClose(media); }
};

QHandleTable<Open_> table;

std::shared_ptr<Open_> Find_(int32_t handle) { return table.Find(handle); }

}  // namespace

int32_t avi_open_DD(const char* name, int32_t* unused) {
    if (unused) *unused = 0;
    try {
        if (!name) return 0;
        std::string error;
        auto open = std::make_shared<Open_>();
        open->media = AvMediaOpen(name, error);
        if (!open->media || AvMediaFacts(open->media).container != "avi") return 0;
        return table.Add(std::move(open));
    } catch (...) {
        return 0;
    }
}

int32_t avi_get_info_DD(int32_t handle, int32_t* width, int32_t* height, int32_t* bitsPerPixel,
                        int32_t* frames, double* rate, QWaveFmt* soundFormat) {
    const auto open = Find_(handle);
    if (!open) return 0;
    std::lock_guard<std::mutex> guard(open->lock);
    const QAvFacts& f = AvMediaFacts(open->media);
    const QAvVideoFacts& v = f.video;
    if (width) *width = v.present ? v.width : 0;
    if (height) *height = v.present ? v.height : 0;
    if (bitsPerPixel) *bitsPerPixel = v.present ? 24 : 0;
    if (frames)
        *frames = v.present ? static_cast<int32_t>(std::min<int64_t>(v.frames, INT32_MAX)) : 0;
    if (rate) *rate = v.present ? v.rate : 0.0;
    if (soundFormat) {
        QWaveFmt w{};
        if (f.audio.present) {
            w.formatTag = WAVE_FORMAT_PCM;
            w.channels = static_cast<uint16_t>(f.audio.channels);
            w.samplesPerSec = static_cast<uint32_t>(f.audio.rate);
            w.bitsPerSample = 16;
            w.blockAlign = static_cast<uint16_t>(w.channels * 2);
            w.avgBytesPerSec = w.samplesPerSec * w.blockAlign;
        }
        std::memcpy(soundFormat, &w, sizeof w);
    }
    return 1;
}

int32_t avi_get_sound_frames_DD(int32_t handle) {
    const auto open = Find_(handle);
    if (!open) return 0;
    std::lock_guard<std::mutex> guard(open->lock);
    const QAvAudioFacts& a = AvMediaFacts(open->media).audio;
    return a.present ? static_cast<int32_t>(std::clamp<int64_t>(a.samples, 0, INT32_MAX)) : 0;
}

int32_t avi_get_frame_DD(int32_t handle, uint8_t* dest, int32_t index) {
    try {
        const auto open = Find_(handle);
        if (!open || !dest) return 0;
        std::lock_guard<std::mutex> guard(open->lock);
        const QAvVideoFacts& v = AvMediaFacts(open->media).video;
        if (!v.present) return 0;
        const size_t bytes = static_cast<size_t>(v.width) * static_cast<size_t>(v.height) * 3;
        return AvMediaFrame(open->media, index, dest, bytes) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int32_t avi_get_sample_DD(int32_t handle, int32_t blockPos, uint8_t* dest, int32_t* bytes,
                          int32_t* samples) {
    if (bytes) *bytes = 0;
    if (samples) *samples = 0;
    try {
        const auto open = Find_(handle);
        if (!open || !dest || blockPos < 0) return 0;
        std::lock_guard<std::mutex> guard(open->lock);
        const QAvAudioFacts& a = AvMediaFacts(open->media).audio;
        if (!a.present) return 0;
        const int64_t run = std::min<int64_t>(kAviSoundRun, a.rate);
        // The sound goes through an aligned buffer of our own: `dest` may be any byte address.
        std::vector<int16_t> pcm(static_cast<size_t>(run * a.channels));
        const int64_t got = AvMediaSound(open->media, blockPos, run, pcm.data());
        if (got <= 0) return 0;
        const size_t n = static_cast<size_t>(got * a.channels) * 2;
        std::memcpy(dest, pcm.data(), n);
        if (bytes) *bytes = static_cast<int32_t>(n);
        if (samples) *samples = static_cast<int32_t>(got);
        return 1;
    } catch (...) {
        return 0;
    }
}

void avi_close_DD(int32_t handle) {
    table.Remove(handle);  // the file closes when the last call on it has returned
}

}  // namespace kelvora
