#pragma once
// What the stand-ins over FFmpeg's libraries share: a quiet library log, decoded sound
// samples as 16 bits, converted as FFmpeg's own resampler converts them, and a helper thread
// that runs one job at a time beside its owner.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/samplefmt.h>
}

struct AVIOContext;
struct AVFormatContext;
struct AVDictionary;

namespace kelvora {

// The most pixels a video frame may have: the image layer's limit for pictures read from files
// (IMG_MAX_PIXELS, which checks that the two agree), kept here because this layer lies below it.
constexpr int64_t AV_MAX_PIXELS = int64_t{1} << 28;

// A thread that runs the jobs its owner hands it, one at a time, while the owner goes on. The
// owner starts a job, does its own work, and waits before it touches what the job touches.
class QAvHelper {
public:
    QAvHelper();  // throws std::system_error when no thread can be had
    ~QAvHelper();
    QAvHelper(const QAvHelper&) = delete;
    QAvHelper& operator=(const QAvHelper&) = delete;
    // Hands the helper `job`; the job before must be waited for.
    void Start(std::function<void()> job);
    // Returns when no job is running (at once when none was started).
    void Wait();

private:
    void Run();
    std::mutex lock_;
    std::condition_variable wake_;
    std::function<void()> job_;  // set: waiting to run
    bool busy_ = false;          // a job is set or running
    bool quit_ = false;
    std::thread thread_;
};

// An AVIOContext's read and seek over a std::FILE (the opaque pointer): a demuxer reads a
// regular file through them rather than by name, so that a path is never taken for a protocol.
int AvFileRead(void* file, uint8_t* buf, int size);
int64_t AvFileSeek(void* file, int64_t offset, int whence);

// A demuxer reading a std::FILE through AvFileRead and AvFileSeek; the file stays the caller's.
struct QAvDemux {
    AVIOContext* io = nullptr;
    AVFormatContext* fmt = nullptr;
};
// Opens `file` (`name` names it for the format probe; may be null) and reads its stream
// information; `options` go to the demuxer (those it does not know are left in the dictionary).
// The same steps on the same file give the same streams and packets. False, with nothing left
// open, on failure.
bool AvDemuxOpen(QAvDemux& d, std::FILE* file, const char* name, AVDictionary** options = nullptr);
void AvDemuxClose(QAvDemux& d);

// Silences the libraries' log for the whole process (once): damaged input is reported through
// results, never on the user's terminal.
void AvQuietLog();

// Sample `i` of a decoded plane (`p`, in the frame's sample format) as 16 bits: integers keep
// their top bits, floats are rounded to nearest and clipped.
inline int16_t AvSampleToS16(AVSampleFormat fmt, const uint8_t* p, size_t i) {
    switch (fmt) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_U8P: return static_cast<int16_t>((p[i] - 0x80) * 256);
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S16P: return reinterpret_cast<const int16_t*>(p)[i];
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S32P:
            return static_cast<int16_t>(reinterpret_cast<const int32_t*>(p)[i] >> 16);
        case AV_SAMPLE_FMT_S64:
        case AV_SAMPLE_FMT_S64P:
            return static_cast<int16_t>(reinterpret_cast<const int64_t*>(p)[i] >> 48);
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_FLTP:
            return static_cast<int16_t>(av_clip_int16(
                static_cast<int>(lrintf(reinterpret_cast<const float*>(p)[i] * 32768.0f))));
        case AV_SAMPLE_FMT_DBL:
        case AV_SAMPLE_FMT_DBLP:
            return static_cast<int16_t>(av_clip_int16(
                static_cast<int>(lrint(reinterpret_cast<const double*>(p)[i] * 32768.0))));
        default: return 0;
    }
}

}  // namespace kelvora
