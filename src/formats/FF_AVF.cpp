#include "formats/FF_AVF.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "formats/FFBasic.h"
#include "platform/AvMedia.h"
#include "platform/ParkedFile.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// What a description made of a file: its open media, or null for a file the layer refused.
struct Kept_ {
    QAvMedia* media = nullptr;
    ~Kept_() { AvMediaClose(media); }
};

QParked<Kept_> parked;

// The file as the last description left it when it is unchanged since, else opened afresh.
// `stamp` receives the file's stamp, taken before it is read.
std::unique_ptr<Kept_> Take_(const std::string& path, QFileStamp& stamp) {
    stamp = FileStampOf(path);
    if (auto kept = parked.Take(path, stamp)) return kept;
    auto kept = std::make_unique<Kept_>();
    std::string error;
    if (stamp.ok) kept->media = AvMediaOpen(path, error);
    return kept;
}

void Zero_(QAvfHandle& h) { std::memset(static_cast<void*>(&h), 0, sizeof h); }

// An estimated count is corrected once decoding reaches the end: the views follow it.
void Recount_(QAvfHandle& h) {
    const QAvFacts& f = AvMediaFacts(h.media);
    if (h.frames > 0 && f.video.present)
        h.frames = static_cast<int32_t>(std::clamp<int64_t>(f.video.frames, 1, INT32_MAX));
    if (h.samples > 0 && f.audio.present)
        h.samples = static_cast<int32_t>(std::clamp<int64_t>(f.audio.samples, 0, INT32_MAX));
}

int32_t Clamp32_(int64_t n) { return static_cast<int32_t>(std::clamp<int64_t>(n, 0, INT32_MAX)); }

// The PCM the layer delivers: the stream's rate and channels at 16 bits. False when it has none.
bool PcmOf_(const QAvAudioFacts& a, QWaveFmt& w) {
    w = QWaveFmt{};
    if (a.channels <= 0 || a.channels > 0xFFFF || a.rate <= 0) return false;
    w.formatTag = WAVE_FORMAT_PCM;
    w.channels = static_cast<uint16_t>(a.channels);
    w.samplesPerSec = static_cast<uint32_t>(a.rate);
    w.bitsPerSample = 16;
    return WaveFmtFix(w);
}

// The sound as coded: the container's wave tag where it has one (ASF), else 0, the codec being
// named in the text; the channels and bits as coded (16 for a lossy coding), the bytes per
// second from the stream's bit rate.
QWaveFmt SourceFormatOf_(const QAvAudioFacts& a) {
    QWaveFmt w{};
    w.formatTag = a.formatTag <= 0xFFFF ? static_cast<uint16_t>(a.formatTag) : 0;
    const int32_t channels = a.sourceChannels > 0 ? a.sourceChannels : a.channels;
    w.channels = static_cast<uint16_t>(std::clamp(channels, 0, 0xFFFF));
    w.samplesPerSec = static_cast<uint32_t>(std::max(a.rate, 0));
    w.bitsPerSample = static_cast<uint16_t>(a.bitDepth > 0 && a.bitDepth <= 32 ? a.bitDepth : 16);
    WaveFmtFix(w);
    if (a.bitRate > 0)
        w.avgBytesPerSec = static_cast<uint32_t>(std::min<int64_t>(a.bitRate / 8, UINT32_MAX));
    return w;
}

// "H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10 (High, 8-bit)": the codec's long name, then the
// profile and the depth as coded where the file tells them.
std::string CodecText_(const std::string& name, const std::string& profile, int32_t bits) {
    std::string detail = profile;
    if (bits > 0) detail += (detail.empty() ? "" : ", ") + std::to_string(bits) + "-bit";
    std::string text = name.empty() ? std::string("Unknown codec") : name;
    if (!detail.empty()) text += " (" + detail + ")";
    return FFShortStr(text);
}

bool SanePictures_(const QAvVideoFacts& v) {
    return v.present && v.frames > 0 && FFSaneGeometry(v.width, v.height, 24);
}

void Describe_(const QAvFacts& f, QffInfo& info) {
    info.dataRate = Clamp32_(f.bitRate / 8);
    const QAvVideoFacts& v = f.video;
    if (SanePictures_(v)) {
        FFFillPictureInfo(info, info.fileSize, v.width, v.height, 3, 24, true);
        info.frames = Clamp32_(v.frames);
        info.framesEstimated = FFBool(!v.framesExact);
        info.frameRate = v.rate;
        info.videoCompression = CodecText_(v.codecName, v.profile, v.bitDepth);
    }
    const QAvAudioFacts& a = f.audio;
    QWaveFmt pcm;
    if (a.present && PcmOf_(a, pcm)) {
        info.soundFormat = SourceFormatOf_(a);
        info.playFormat = pcm;
        info.soundSamples = Clamp32_(a.samples);
        info.samplesEstimated = FFBool(!a.samplesExact);
        info.soundCompression = CodecText_(a.codecName, a.profile, a.bitDepth);
        info.hasSound = FFBool(info.soundSamples > 0);
        info.soundSupported = info.hasSound;
    }
}

// The description of any container (type 0) or of one type's.
void Info_(const std::string& fileName, int32_t type, QffInfo& info) {
    FFClearInfo(info);
    info.fileSize = FileSizeByName(fileName);
    QFileStamp stamp;
    std::unique_ptr<Kept_> kept = Take_(fileName, stamp);
    bool takes = kept->media != nullptr;
    if (takes) {
        const QAvFacts& f = AvMediaFacts(kept->media);
        takes = type == 0 || FFTypeByExt(fileName, FF_TABLE_LOAD) == type ||
                AvfTypeTakes(type, f.container, SanePictures_(f.video));
        if (takes) Describe_(f, info);
    }
    // Refused or described, the file waits for the next description or open of it.
    parked.Keep(fileName, stamp, std::move(kept));
    if (!takes || !(info.hasVideo || info.hasSound)) ErrFail(ERR_MVI, MVI_OPEN);
}

// The containers of each type: libavformat's demuxer names, blank-separated; the types that
// share a container tell movies from sound by the pictures.
struct Family_ {
    int32_t type;
    const char* demuxers;
    int32_t pictures;  // 1: only with pictures, 0: only without, -1: either
};
const Family_ kFamilies[] = {
    {FT_MP4, "mov mp4", 1},   {FT_M4A, "mov mp4", 0},   {FT_MKV, "matroska webm", 1},
    {FT_MKA, "matroska", 0},  {FT_FLAC, "flac", -1},    {FT_OPUS, "ogg", -1},
    {FT_AAC, "aac", -1},      {FT_MPTS, "mpegts", -1},  {FT_FLV, "flv live_flv", -1},
    {FT_ASF, "asf asf_o", 1}, {FT_WMA, "asf asf_o", 0},
};

// Whether a word of the blank-separated `words` is one of the comma-separated `names`.
bool AnyNamed_(std::string_view words, std::string_view names) {
    while (!words.empty()) {
        const size_t end = std::min(words.find(' '), words.size());
        const std::string_view word = words.substr(0, end);
        std::string_view rest = names;
        while (!rest.empty()) {
            const size_t comma = std::min(rest.find(','), rest.size());
            if (rest.substr(0, comma) == word) return true;
            rest.remove_prefix(std::min(comma + 1, rest.size()));
        }
        words.remove_prefix(std::min(end + 1, words.size()));
    }
    return false;
}

}  // namespace

bool AvfTypeTakes(int32_t type, const std::string& container, bool pictures) {
    for (const Family_& f : kFamilies)
        if (f.type == type && AnyNamed_(f.demuxers, container) &&
            (f.pictures < 0 || (f.pictures == 1) == pictures))
            return true;
    return false;
}

void AvfOpen(QAvfHandle& h, const std::string& fileName) {
    Monitored([&] {
        Zero_(h);
        QFileStamp stamp;
        std::unique_ptr<Kept_> kept = Take_(fileName, stamp);
        if (!kept->media) {
            parked.Keep(fileName, stamp, std::move(kept));
            ErrFail(ERR_MVI, MVI_OPEN);
        }
        const QAvFacts& f = AvMediaFacts(kept->media);
        if (SanePictures_(f.video)) {
            h.width = f.video.width;
            h.height = f.video.height;
            h.bytesPP = 3;
            h.bitsPP = 24;
            h.frameRate = f.video.rate;
            h.frames = Clamp32_(f.video.frames);
        }
        if (f.audio.present && PcmOf_(f.audio, h.outFormat)) h.samples = Clamp32_(f.audio.samples);
        if (h.frames <= 0 && h.samples <= 0) {
            Zero_(h);
            ErrFail(ERR_MVI, MVI_OPEN);  // the media closes with `kept`
        }
        h.media = kept->media;
        kept->media = nullptr;
    });
}

int32_t AvfNearestKeyFrame(QAvfHandle& h, int32_t frame, int32_t direction) {
    if (h.frames < 1 || !h.media) return 1;
    const int64_t at = std::clamp(frame, 1, h.frames) - 1;
    const std::vector<int64_t>& keys = AvMediaFacts(h.media).video.keyFrames;
    const auto next = std::lower_bound(keys.begin(), keys.end(), at);  // the first at or after
    if (direction == -1) return next == keys.begin() ? 1 : static_cast<int32_t>(*(next - 1) + 1);
    return next == keys.end() || *next >= h.frames ? 1 : static_cast<int32_t>(*next + 1);
}

void AvfImgLoad(QAvfHandle& h, Qimg& image, int32_t frame, int32_t mode) {
    Monitored([&] {
        if (frame < 0 || frame > h.frames || !h.media) ErrFail(ERR_MVI, MVI_INVALID_FORMAT);
        if ((mode & 1) && frame != 0 && frame == h.curFrame) MonExit();  // the image holds it
        const int32_t n = frame == 0 ? h.curFrame + 1 : frame;
        if (n > h.frames) ErrFail(ERR_MVI, MVI_INVALID_FORMAT);
        // A frame that fails leaves the one before it current, as if it had been passed over.
        h.curFrame = n - 1;
        h.newPalette = 0;
        _imgalloc_(image, h.width, h.height, "FF_AVF.AvfImgLoad.img", __LINE__, 24);
        QAvFrameLayout layout;
        layout.pixels = AvPixels::Bgr24;
        layout.rowPixels = h.width;
        const bool ok = AvMediaFrame(h.media, n - 1, image.data, static_cast<size_t>(image.size),
                                     layout);
        Recount_(h);
        if (!ok) ErrFail(ERR_MVI, n > h.frames ? MVI_END : MVI_DECOMPRESS);
        h.curFrame = n;
    });
}

double AvfFrameTime(const QAvfHandle& h, int32_t frame) {
    if (!h.media) return -1;
    const std::vector<double>& times = AvMediaFacts(h.media).video.frameTimes;
    if (times.empty()) return -1;
    return times[static_cast<size_t>(std::clamp<int64_t>(frame, 1, int64_t(times.size())) - 1)];
}

void AvfSndSeek(QAvfHandle& h, int32_t position) {
    Monitored([&] {
        if (!h.media || h.samples <= 0 || position < 0 || position > h.samples)
            ErrFail(ERR_MVI, MVI_END);
        h.sndPos = position;  // the layer repositions on the next load
    });
}

void AvfSndLoad(QAvfHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        sound.samples = 0;
        if (!h.media || h.samples <= 0) return;
        sound.format = h.outFormat;
        if (!cont || start != h.sndPos) AvfSndSeek(h, start);
        const int32_t align = h.outFormat.blockAlign;
        // Nothing is read past the end, so no request needs more room than that.
        const int64_t frames = std::min<int64_t>(
            {count, int64_t{h.samples} - h.sndPos, INT32_MAX / align});
        if (frames <= 0) return;
        _sndalloc_(sound, static_cast<int32_t>(frames * align), __LINE__, "FF_AVF.AvfSndLoad.snd");
        sound.format = h.outFormat;
        // The block is the allocator's, aligned for any sample type.
        const int64_t got = AvMediaSound(h.media, h.sndPos, frames,
                                         reinterpret_cast<int16_t*>(sound.data));
        sound.samples = static_cast<int32_t>(std::clamp<int64_t>(got, 0, frames));
        h.sndPos += sound.samples;
        Recount_(h);
    });
}

void AvfClose(QAvfHandle& h) {
    Monitored([&] {
        AvMediaClose(h.media);
        Zero_(h);
    });
}

void AvfInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] { Info_(fileName, 0, info); });
}

void AvfInfoAs(const std::string& fileName, int32_t type, QffInfo& info) {
    Monitored([&] { Info_(fileName, type, info); });
}

void AvfDone() { parked.Keep(std::string(), QFileStamp(), nullptr); }

}  // namespace kelvora
