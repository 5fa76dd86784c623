#include "platform/libmpgdec.h"

#include <mpg123.h>
#include <sys/types.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AvCommon.h"
#include "platform/FileIO.h"
#include "platform/HandleTable.h"
#include "platform/ParkedFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kelvora {

namespace {

// Decoder calls in a row that may give no samples before a read gives up. Each one consumes
// input (a frame, a tag, a resync), so only a stream of that many damaged frames in a row
// could stop short of its end through this.
constexpr int32_t kMaxIdleCalls = 1 << 16;
// Packets a system stream may hold: far beyond any real one, a bound for a damaged index.
constexpr int64_t kMaxPackets = int64_t{1} << 26;
// Sample frames decoded and dropped before a seek's target. A seek lands on a frame whose bit
// reservoir reaches back into earlier frames (up to 511 bytes: several frames at low bit rates)
// and whose overlap and synthesis filters hold the frame before: the decoder must have run
// over those frames for the target's samples to equal a straight decode.
constexpr int64_t kSeekPreroll = 12 * 1152;

// --- Input: a regular file or the gathered packets of a system stream -------------------------

struct Source_ {
    std::FILE* file = nullptr;  // when null, `memory` is the stream
    std::vector<uint8_t> memory;
    int64_t position = 0;
    ~Source_() {
        if (file) std::fclose(file);
    }
};

mpg123_ssize_t Read_(void* handle, void* buffer, size_t bytes) {
    auto* s = static_cast<Source_*>(handle);
    if (s->file) {
        const size_t n = std::fread(buffer, 1, bytes, s->file);
        if (n == 0 && std::ferror(s->file)) return -1;
        return static_cast<mpg123_ssize_t>(n);
    }
    const int64_t size = static_cast<int64_t>(s->memory.size());
    const int64_t n = std::clamp<int64_t>(size - s->position, 0, static_cast<int64_t>(bytes));
    if (n > 0) std::memcpy(buffer, s->memory.data() + s->position, static_cast<size_t>(n));
    s->position += n;
    return static_cast<mpg123_ssize_t>(n);
}

off_t Seek_(void* handle, off_t offset, int whence) {
    auto* s = static_cast<Source_*>(handle);
    if (s->file) {
        if (fseeko(s->file, offset, whence) != 0) return -1;
        return ftello(s->file);
    }
    const int64_t size = static_cast<int64_t>(s->memory.size());
    int64_t base = 0;
    if (whence == SEEK_CUR)
        base = s->position;
    else if (whence == SEEK_END)
        base = size;
    else if (whence != SEEK_SET)
        return -1;
    // Past the end is allowed, as for a file: reads there give nothing.
    if (offset < -base || offset > INT64_MAX / 2) return -1;
    s->position = base + offset;
    return static_cast<off_t>(s->position);
}

int64_t SourceSize_(Source_& s) {
    if (!s.file) return static_cast<int64_t>(s.memory.size());
    const off_t at = ftello(s.file);
    if (fseeko(s.file, 0, SEEK_END) != 0) return -1;
    const off_t size = ftello(s.file);
    fseeko(s.file, at, SEEK_SET);
    return size;
}

// --- Telling system streams from plain MPEG audio ---------------------------------------------

struct Demux_ : QAvDemux {
    ~Demux_() { AvDemuxClose(*this); }
};

bool IsMpegAudio_(AVCodecID id) {
    return id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3;
}

enum class Kind_ { Plain, System, Neither };

// What libavformat makes of `file`; for a system stream, its first MPEG audio stream's packets
// are appended to `audio`. libavformat's own MPEG audio reader counts as plain: libmpg123 reads
// those files itself. So does a file libavformat cannot place at all, which libmpg123 may still
// find MPEG audio in (a short stream, one behind junk).
Kind_ Classify_(std::FILE* file, std::vector<uint8_t>& audio) {
    AvQuietLog();
    Demux_ d;
    if (!AvDemuxOpen(d, file, nullptr)) return Kind_::Plain;
    const char* name = d.fmt->iformat && d.fmt->iformat->name ? d.fmt->iformat->name : "";
    if (std::strcmp(name, "mp3") == 0) return Kind_::Plain;
    int stream = -1;
    for (unsigned i = 0; i < d.fmt->nb_streams && stream < 0; ++i) {
        const AVCodecParameters* par = d.fmt->streams[i]->codecpar;
        if (par && par->codec_type == AVMEDIA_TYPE_AUDIO && IsMpegAudio_(par->codec_id))
            stream = static_cast<int>(i);
    }
    if (stream < 0) return Kind_::Neither;
    for (unsigned i = 0; i < d.fmt->nb_streams; ++i)
        d.fmt->streams[i]->discard = static_cast<int>(i) == stream ? AVDISCARD_DEFAULT
                                                                   : AVDISCARD_ALL;
    // The stream's packets back to back are the MPEG audio stream itself: frames may straddle
    // packets, which libmpg123 takes as it would from a file.
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return Kind_::Neither;
    for (int64_t n = 0; n < kMaxPackets && av_read_frame(d.fmt, pkt) >= 0; ++n) {
        if (pkt->stream_index == stream && pkt->data && pkt->size > 0) {
            const auto size = static_cast<size_t>(pkt->size);
            if (static_cast<int64_t>(audio.size() + size) > kMpgMaxSystemAudio) {
                av_packet_unref(pkt);
                break;
            }
            audio.insert(audio.end(), pkt->data, pkt->data + size);
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return Kind_::System;
}

// --- One open stream --------------------------------------------------------------------------

struct Stream_ {
    std::unique_ptr<Source_> source;
    mpg123_handle* mh = nullptr;  // reads `source`: deleted first, in the destructor's body
    QMpgAudioInfo info{};
    int64_t position = 0;  // the next sample frame a read delivers
    bool failed = false;   // the decoder reported an error: nothing more is read
    // The frame index of the scan, for a decoder opened afresh at a seek.
    std::vector<off_t> index;
    off_t indexStep = 1;
    // The scan found fewer frames than the info frame announced, and so dropped the encoder's
    // delay and padding: a fresh decoder would trim them again, unless it scans too.
    bool rescan = false;
    ~Stream_() {
        if (mh) mpg123_delete(mh);  // closes the input; the source stays ours
    }
};

void InitOnce_() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

// The bytes of the tags behind the last frame (ID3v1, an APE tag before or instead of it).
int64_t TrailingTags_(Source_& s, int64_t size) {
    int64_t tags = 0;
    uint8_t bytes[32];
    const auto at = [&](int64_t offset, size_t n) {
        if (offset < 0 || Seek_(&s, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
        return Read_(&s, bytes, n) == static_cast<mpg123_ssize_t>(n);
    };
    if (at(size - 128, 3) && std::memcmp(bytes, "TAG", 3) == 0) tags = 128;
    if (at(size - tags - 32, 32) && std::memcmp(bytes, "APETAGEX", 8) == 0) {
        const int64_t body = int64_t{bytes[12]} | int64_t{bytes[13]} << 8 |
                             int64_t{bytes[14]} << 16 | int64_t{bytes[15]} << 24;
        const bool header = (bytes[23] & 0x80) != 0;
        tags += body + (header ? 32 : 0);
    }
    return std::clamp<int64_t>(tags, 0, size);
}

// Opens the decoder over `s->source` and learns the stream's facts; false when it holds no
// MPEG audio the decoder can deliver.
bool Start_(Stream_& s) {
    InitOnce_();
    // Our own looks at the input come before the decoder's, which keeps its own position.
    const int64_t size = SourceSize_(*s.source);
    const int64_t tags = TrailingTags_(*s.source, size);
    if (size <= 0 || Seek_(s.source.get(), 0, SEEK_SET) != 0) return false;
    int error = 0;
    s.mh = mpg123_new(nullptr, &error);
    if (!s.mh) return false;
    // No frankenstein streams: a later stream glued on with another format would change the
    // output format, and the reader takes one format for the whole file.
    const long flags = MPG123_GAPLESS | MPG123_QUIET | MPG123_NO_FRANKENSTEIN;
    if (mpg123_param(s.mh, MPG123_FLAGS, flags, 0) != MPG123_OK ||
        mpg123_param(s.mh, MPG123_REMOVE_FLAGS, MPG123_AUTO_RESAMPLE, 0) != MPG123_OK)
        return false;
    // Signed 16 bits at whatever rate and channel count the stream has; narrowed below.
    if (mpg123_format_none(s.mh) != MPG123_OK ||
        mpg123_format2(s.mh, 0, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16) != MPG123_OK)
        return false;
    if (mpg123_replace_reader_handle(s.mh, Read_, Seek_, nullptr) != MPG123_OK ||
        mpg123_open_handle(s.mh, s.source.get()) != MPG123_OK)
        return false;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(s.mh, &rate, &channels, &encoding) != MPG123_OK) return false;
    if (rate < 8000 || rate > 48000 || channels < 1 || channels > 2 ||
        encoding != MPG123_ENC_SIGNED_16)
        return false;
    // Only the first frame's format from now on: a frame of another is not decoded.
    if (mpg123_format_none(s.mh) != MPG123_OK ||
        mpg123_format(s.mh, rate, channels, MPG123_ENC_SIGNED_16) != MPG123_OK)
        return false;
    mpg123_frameinfo2 frame{};
    if (mpg123_info2(s.mh, &frame) != MPG123_OK || frame.layer < 1 || frame.layer > 3) return false;
    const off_t announced = mpg123_framelength(s.mh);
    // The pass over every frame: the exact length, and the index that makes seeks exact.
    if (mpg123_scan(s.mh) != MPG123_OK) return false;
    const off_t length = mpg123_length(s.mh);
    const off_t frames = mpg123_framelength(s.mh);
    if (length <= 0 || frames <= 0) return false;
    s.rescan = announced > frames;

    QMpgAudioInfo& i = s.info;
    i.samples = static_cast<int32_t>(std::min<int64_t>(length, INT32_MAX));
    i.rate = static_cast<int32_t>(rate);
    i.channels = channels;
    i.bits = 16;
    i.frameBytes = channels * 2;
    i.layer = frame.layer;
    i.lsf = frame.version != MPG123_1_0 ? 1 : 0;
    // The average over the frames, tags and junk left out; for a constant rate, that rate.
    off_t* offsets = nullptr;
    off_t step = 0;
    size_t fill = 0;
    int64_t first = 0;
    if (mpg123_index(s.mh, &offsets, &step, &fill) == MPG123_OK && offsets && fill > 0) {
        first = offsets[0];
        s.index.assign(offsets, offsets + fill);
        s.indexStep = step;
    }
    const int64_t perFrame = frame.layer == 1 ? 384 : frame.layer == 3 && i.lsf ? 576 : 1152;
    const int64_t bytes = size - first - tags;
    const double average = bytes * 8.0 * rate / (1000.0 * frames * perFrame);
    // Frames without padding average a little under their nominal rate: a stream this close to
    // its first frame's rate is taken as constant at that rate.
    if (std::abs(average - frame.bitrate) <= 0.03 * frame.bitrate)
        i.bitRate = frame.bitrate;
    else if (bytes > 0)
        i.bitRate = static_cast<int32_t>(std::min(average + 0.5, 1e6));
    i.reserved = 0;
    return true;
}

std::unique_ptr<Stream_> OpenStream_(const char* name) {
    if (!name) return nullptr;
    auto s = std::make_unique<Stream_>();
    s->source = std::make_unique<Source_>();
    s->source->file = FileOpenRegularRead(name);
    if (!s->source->file) return nullptr;
    std::vector<uint8_t> audio;
    const Kind_ kind = Classify_(s->source->file, audio);
    if (kind == Kind_::Neither) return nullptr;
    if (kind == Kind_::System) {
        if (audio.empty()) return nullptr;
        std::fclose(s->source->file);
        s->source->file = nullptr;
        s->source->memory = std::move(audio);
    } else if (fseeko(s->source->file, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    if (!Start_(*s)) return nullptr;
    return s;
}

// Opens the stream afresh, with the scan's index. At low bit rates a layer III frame can take
// more of its bit reservoir than libmpg123 keeps from earlier frames; the rest of it comes from
// the decoder's buffers as the last frames decoded left them, which after a seek are not the
// frames of a straight decode. A fresh decoder has the same (cleared) buffers at every seek
// as at the start.
bool Reopen_(Stream_& s) {
    mpg123_close(s.mh);
    if (Seek_(s.source.get(), 0, SEEK_SET) != 0 ||
        mpg123_open_handle(s.mh, s.source.get()) != MPG123_OK)
        return false;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_getformat(s.mh, &rate, &channels, &encoding) != MPG123_OK || rate != s.info.rate ||
        channels != s.info.channels)
        return false;
    if (s.rescan || s.index.empty()) return mpg123_scan(s.mh) == MPG123_OK;
    return mpg123_set_index(s.mh, s.index.data(), s.indexStep, s.index.size()) == MPG123_OK;
}

// Decodes up to `count` sample frames into `out`; the sample frames delivered.
int64_t Decode_(Stream_& s, uint8_t* out, int64_t count) {
    const size_t frameBytes = static_cast<size_t>(s.info.frameBytes);
    const size_t want = static_cast<size_t>(count) * frameBytes;
    size_t have = 0;
    for (int32_t idle = 0; have < want && idle < kMaxIdleCalls && !s.failed;) {
        size_t done = 0;
        const int result = mpg123_read(s.mh, out + have, want - have, &done);
        have += done;
        idle = done > 0 ? 0 : idle + 1;
        if (result == MPG123_DONE) break;
        if (result == MPG123_ERR) s.failed = true;
    }
    // The decoder hands out whole sample frames, but a damaged stream is not trusted to.
    return static_cast<int64_t>(have / frameBytes);
}

// --- The handle table ---------------------------------------------------------------------

struct Open_ {
    std::mutex lock;  // one call at a time on this stream
    std::unique_ptr<Stream_> stream;
};

QHandleTable<Open_> table;

// A stream opened for a description and never read: the open that follows takes it rather
// than scanning the file again.
QParked<Stream_> fresh;

std::unique_ptr<Stream_> TakeStream_(const char* name, const QFileStamp& stamp) {
    if (!stamp.ok) return nullptr;
    if (auto s = fresh.Take(name, stamp)) return s;
    return OpenStream_(name);
}

std::shared_ptr<Open_> Find_(int32_t handle) { return table.Find(handle); }

}  // namespace

int32_t mpg_audio_info(const char* name, QMpgAudioInfo* info) {
    try {
        if (info) *info = QMpgAudioInfo{};
        if (!name) return 0;
        const QFileStamp stamp = FileStampOf(name);
        auto s = TakeStream_(name, stamp);
        if (!s) return 0;
        if (info) *info = s->info;
        fresh.Keep(name, stamp, std::move(s));  // the open that usually follows takes it
        return 1;
    } catch (...) {
        return 0;
    }
}

int32_t mpg_audio_open(const char* name) {
    try {
        auto open = std::make_shared<Open_>();
        if (!name) return 0;
        open->stream = TakeStream_(name, FileStampOf(name));
        if (!open->stream) return 0;
        return table.Add(std::move(open));
    } catch (...) {
        return 0;
    }
}

int32_t mpg_audio_read(int32_t handle, void* buffer, int32_t count) {
    try {
        const auto open = Find_(handle);
        if (!open || !buffer || count <= 0) return 0;
        std::lock_guard<std::mutex> guard(open->lock);
        Stream_& s = *open->stream;
        const int64_t left = std::min<int64_t>(count, s.info.samples - s.position);
        if (left <= 0) return 0;
        const int64_t got = Decode_(s, static_cast<uint8_t*>(buffer), left);
        s.position += got;
        return static_cast<int32_t>(got);
    } catch (...) {
        return 0;
    }
}

int32_t mpg_audio_seek(int32_t handle, int32_t sample) {
    try {
        const auto open = Find_(handle);
        if (!open) return 0;
        std::lock_guard<std::mutex> guard(open->lock);
        Stream_& s = *open->stream;
        if (sample < 0 || sample >= s.info.samples) return 0;
        const int64_t from = std::max<int64_t>(0, sample - kSeekPreroll);
        if (!Reopen_(s) ||
            mpg123_seek(s.mh, static_cast<off_t>(from), SEEK_SET) != static_cast<off_t>(from)) {
            s.failed = true;  // the decoder's position is unknown now
            return 0;
        }
        s.failed = false;
        s.position = from;
        std::vector<uint8_t> drop(static_cast<size_t>(4096 * s.info.frameBytes));
        while (s.position < sample) {
            const int64_t got = Decode_(s, drop.data(), std::min<int64_t>(4096, sample - s.position));
            if (got <= 0) break;
            s.position += got;
        }
        // Short of the target, the stream ends before it: reads from here give nothing.
        if (s.position < sample) s.position = s.info.samples;
        return 1;
    } catch (...) {
        return 0;
    }
}

int32_t mpg_audio_close(int32_t handle) {
    // The stream closes when the last call on it has returned.
    return table.Remove(handle) ? 1 : 0;
}

}  // namespace kelvora
