#pragma once
// The MPEG audio library's entry points, over libmpg123 (decoding) and libavformat (system
// streams).
//
// The MPEG reader calls this library through five C-style functions. Handles are small positive
// numbers into a table of open streams; a closed or never-issued handle is refused, even when
// its slot has been used again since. Calls on distinct handles may run on distinct threads;
// calls on one handle are taken one at a time. No function lets an exception out.
//
// What is accepted: regular files only, holding either
// - MPEG audio itself (Layer I, II or III; MPEG-1, MPEG-2 and MPEG 2.5 rates), with or without
//   ID3v2 tags in front and ID3v1 or APE tags behind, or
// - a system stream (program or transport stream) with an MPEG audio stream; its first such
//   stream is taken. Its packets are gathered into memory at open, so an open handle holds the
//   whole compressed audio stream: about 1 MB a minute at 128 kbit/s, 2.9 MB at 384 kbit/s.
//   Audio past kMpgMaxSystemAudio bytes is left out (the stream ends there).
//
// What a stream delivers: interleaved signed 16-bit PCM in native byte order at the stream's own
// rate and channel count. The encoder's delay and padding are removed when the stream says how
// much they are (an encoder's info frame), so that the total is the encoder's own sample count.
// The total comes from a pass over every frame at open, so it is exact with or without an info
// frame. Reading stops at that total; a damaged stream may end earlier. A seek lands on exactly
// the sample a straight decode gives there.

#include <cstdint>

namespace kelvora {

// The audio description the library fills: nine 32-bit fields.
struct QMpgAudioInfo {
    int32_t samples;     // sample frames of the stream (encoder delay and padding removed)
    int32_t rate;        // samples per second
    int32_t channels;    // 1 or 2
    int32_t bits;        // bits per sample: 16
    int32_t frameBytes;  // bytes per sample frame: channels * 2
    int32_t layer;       // 1, 2 or 3
    int32_t lsf;         // 1 for MPEG-2 low sampling frequencies and MPEG 2.5, else 0
    int32_t bitRate;     // kbit/s; the average for variable bit rate
    int32_t reserved;    // 0
};
static_assert(sizeof(QMpgAudioInfo) == 36);

// Compressed audio bytes kept in memory for one system stream.
constexpr int64_t kMpgMaxSystemAudio = int64_t{512} << 20;

// Describes `name` into `info` (all zeros on failure); non-zero when it holds MPEG audio.
int32_t mpg_audio_info(const char* name, QMpgAudioInfo* info);

// Opens `name` for decoding: a handle > 0, or 0 on failure.
int32_t mpg_audio_open(const char* name);

// Decodes up to `count` sample frames into `buffer` (count × channels × 2 bytes, any
// alignment); the sample frames delivered, 0 at the end or on failure.
int32_t mpg_audio_read(int32_t handle, void* buffer, int32_t count);

// Positions the stream at sample frame `sample`; non-zero on success, 0 when `sample` is
// negative or not below the total, or the handle is bad (the position then stays).
int32_t mpg_audio_seek(int32_t handle, int32_t sample);

// Closes the handle; non-zero on success, 0 for a bad handle.
int32_t mpg_audio_close(int32_t handle);

}  // namespace kelvora
