#include "platform/libmpvplay.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AvMedia.h"
#include "platform/HandleTable.h"
#include "platform/ParkedFile.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace kelvora {

namespace {

std::atomic<MpegErrorFunc> errorFunc{nullptr};

// A file as the library holds it: the media, and the picture buffer the caller's records may
// still point at (it outlives a rewind, and a close until another file takes its place).
struct File_ {
    std::string path;
    QFileStamp stamp;  // the file as it was when opened
    QAvMedia* media = nullptr;
    std::vector<uint8_t> buffer;
    ~File_() { AvMediaClose(media); }
};

// The file released last, kept for the next open of it. Declared before the streams: a
// stream still open at the end of the process keeps its file on the way out.
QParked<File_> parked;

void Park_(std::unique_ptr<File_> file) {
    if (!file) return;
    const std::string path = file->path;
    const QFileStamp stamp = file->stamp;
    parked.Keep(path, stamp, std::move(file));
}

struct Stream_ {
    std::mutex lock;  // one call at a time on this stream
    std::unique_ptr<File_> file;
    int64_t next = 0;  // the frame the next GetMPEGFrame gives
    int32_t rowWidth = 0;
    ~Stream_() { Park_(std::move(file)); }
};

QHandleTable<Stream_> streams;

// The file `path`: the one kept when it is unchanged since, else opened afresh. Null when it
// is not a media file.
std::unique_ptr<File_> Take_(const std::string& path) {
    const QFileStamp stamp = FileStampOf(path);
    if (!stamp.ok) return nullptr;
    if (auto file = parked.Take(path, stamp)) return file;
    auto file = std::make_unique<File_>();
    file->path = path;
    file->stamp = stamp;
    std::string error;
    file->media = AvMediaOpen(path, error);
    if (!file->media) return nullptr;
    return file;
}

bool IsMpegVideo_(const QAvVideoFacts& v) {
    return v.present && (v.codecId == AV_CODEC_ID_MPEG1VIDEO || v.codecId == AV_CODEC_ID_MPEG2VIDEO);
}

bool IsMpegAudio_(const QAvAudioFacts& a) {
    return a.present && (a.codecId == AV_CODEC_ID_MP1 || a.codecId == AV_CODEC_ID_MP2 ||
                         a.codecId == AV_CODEC_ID_MP3);
}

// The sequence header's code for a picture rate; 0 for a rate it has none for.
int32_t RateCode_(double rate) {
    static const double kRates[] = {24000.0 / 1001, 24, 25, 30000.0 / 1001, 30, 50,
                                    60000.0 / 1001, 60};
    for (int32_t i = 0; i < 8; ++i)
        if (std::fabs(rate - kRates[i]) < 0.001 * kRates[i]) return i + 1;
    return 0;
}

constexpr int64_t kVariableRate = 0x3FFFFLL * 400;

void Report_(const std::string& message) {
    if (const MpegErrorFunc f = errorFunc.load()) f(message.c_str());
}

}  // namespace

void MOSLErrorFuncSet(MpegErrorFunc func) { errorFunc.store(func); }

int32_t GetMPEGInfo(const char* name, int32_t* width, int32_t* height, int32_t* frames,
                    int32_t* rateCode, int32_t* bitRate, int32_t* mpeg2, int32_t* audio) {
    for (int32_t* out : {width, height, frames, rateCode, bitRate, mpeg2, audio})
        if (out) *out = 0;
    try {
        if (!name) return 0;
        std::unique_ptr<File_> file = Take_(name);
        if (!file) return 0;
        const QAvFacts& f = AvMediaFacts(file->media);
        const bool ok = IsMpegVideo_(f.video) && f.video.frames <= INT32_MAX;
        if (ok) {
            const QAvVideoFacts& v = f.video;
            if (width) *width = v.width;
            if (height) *height = v.height;
            if (frames) *frames = static_cast<int32_t>(v.frames);
            if (rateCode) *rateCode = RateCode_(v.rate);
            // All ones in the sequence header's field (0x3FFFF × 400 bit/s) marks a variable
            // rate: the file's size over its duration says what it is (the demuxer's own
            // estimate builds on the mark).
            int64_t rate = v.bitRate;
            if (rate <= 0 || rate == kVariableRate)
                rate = v.rate > 0 && v.frames > 0
                           ? static_cast<int64_t>(static_cast<double>(file->stamp.size) * 8 *
                                                  v.rate / static_cast<double>(v.frames))
                           : f.bitRate;
            if (bitRate) *bitRate = static_cast<int32_t>(std::min<int64_t>(rate, INT32_MAX));
            if (mpeg2) *mpeg2 = v.codecId == AV_CODEC_ID_MPEG2VIDEO;
            if (audio) *audio = IsMpegAudio_(f.audio);
        }
        Park_(std::move(file));  // the open that usually follows takes it
        return ok;
    } catch (...) {
        return 0;
    }
}

int32_t OpenMPEG(QMpegPicture* picture, const char* name, int32_t flags) {
    (void)flags;
    if (!picture || !name) return 0;
    picture->frame = nullptr;
    picture->stream = 0;
    try {
        std::unique_ptr<File_> file = Take_(name);
        if (!file) return 0;
        const QAvVideoFacts& v = AvMediaFacts(file->media).video;
        if (!IsMpegVideo_(v) || v.codecId != AV_CODEC_ID_MPEG1VIDEO || v.width != picture->width ||
            v.height != picture->height || v.width <= 0 || v.height <= 0) {
            Park_(std::move(file));
            return 0;
        }
        auto stream = std::make_shared<Stream_>();
        stream->rowWidth = (v.width + 15) & ~15;
        const size_t bytes = static_cast<size_t>(stream->rowWidth) * v.height * 3;
        if (file->buffer.size() != bytes) file->buffer.assign(bytes, 0);
        stream->file = std::move(file);
        const int32_t handle = streams.Add(stream);
        if (!handle) return 0;
        picture->bytesPP = 3;
        picture->bitsPP = 24;
        picture->rowWidth = stream->rowWidth;
        picture->stream = handle;
        return 1;
    } catch (...) {
        return 0;
    }
}

int32_t GetMPEGFrame(QMpegPicture* picture, int32_t skip) {
    if (!picture) return 0;
    int64_t failed = -1;  // the frame that could not be decoded
    try {
        const auto stream = streams.Find(picture->stream);
        if (!stream) return 0;
        std::lock_guard<std::mutex> guard(stream->lock);
        File_& file = *stream->file;
        const QAvVideoFacts& v = AvMediaFacts(file.media).video;
        if (stream->next >= v.frames) return 0;
        if (!skip) {
            QAvFrameLayout layout;
            layout.pixels = AvPixels::Bgr24;
            layout.rowPixels = stream->rowWidth;
            if (!AvMediaFrame(file.media, stream->next, file.buffer.data(), file.buffer.size(),
                              layout))
                failed = stream->next;
            else
                picture->frame = file.buffer.data();
        }
        if (failed < 0) {
            ++stream->next;
            return 1;
        }
    } catch (...) {
        return 0;
    }
    // Outside every lock: the procedure may leave by an exception.
    Report_("Cannot decode frame " + std::to_string(failed + 1) + " of the MPEG video.");
    return 0;
}

void CloseMPEG(QMpegPicture* picture) {
    if (!picture) return;
    streams.Remove(picture->stream);  // the file is parked when the last call on it returns
    picture->stream = 0;
    picture->frame = nullptr;
}

}  // namespace kelvora
