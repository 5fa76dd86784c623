#pragma once
// The Ogg Vorbis library's entry points, over libvorbisfile: open a file by name into a state
// block the caller supplies, ask its format and length, seek to a sample frame, read
// interleaved PCM, clear.
//
// The state block (OV_STATE_BYTES, any alignment) holds the decoder state; the file slot holds
// the open file, which this unit opens (regular files only, so no read ever waits on a pipe)
// and closes. Neither knows the program's error scheme: failures come back as negative
// results (libvorbisfile's OV_E* codes), never as exceptions.
//
// What a stream delivers:
// - The format is the first logical stream's. Its channels must be 1 to OV_MAX_CHANNELS and
//   its rate 1 to OV_MAX_RATE, or the open fails.
// - A chained file plays on through the following links only while they keep that format;
//   the first link that changes channels or rate ends the stream (it is neither read nor
//   counted, nor is anything after it), so every byte handed out is in the reported format.
// - Lengths are in sample frames, clamped to 0..INT32_MAX; a link whose length the file gives
//   as negative counts as empty and ends the stream.
// - A hole in the data (a lost page) is skipped: reading goes on after it.
// - Any other failure the library reports while reading or seeking ends the stream for good:
//   later reads give 0 and later seeks fail. (After a failed set-up of its decoder the library
//   would set up again from half-built tables and divide by zero.)
// - A link whose setup header holds a codebook of no dimensions, which the library would take
//   and divide by when decoding, is refused like a change of format (for the first link: the
//   open fails).
//
// One state must not be used by two threads at once; different states are independent.

#include <cstdint>

namespace kelvora {

constexpr int32_t OV_STATE_BYTES = 4096;
constexpr int32_t OV_MAX_CHANNELS = 8;
constexpr int32_t OV_MAX_RATE = 384000;

// A stream's format: both 0 for a state that is not open or a link that is not delivered.
struct QOvInfo {
    int32_t channels;
    int32_t rate;  // sample frames per second
};

// Opens `name` into `state` (OV_STATE_BYTES bytes); `initial` (`initialBytes` bytes, may be
// null) is data already read from the start of the file. 0 on success, with the file in `file`;
// negative on failure, with nothing left open (`file` null) and the state cleared.
int32_t ov_open_2(void*& file, const char* name, void* state, const char* initial, long initialBytes);

// The format delivered, for link -1 (the stream as a whole) or any link that is delivered.
QOvInfo ov_info(void* state, int32_t link);

// Sample frames of link `link`, or of everything delivered for link -1; negative for a link
// that is not delivered or a state that is not open.
int64_t ov_pcm_total(void* state, int32_t link);

// Moves to sample frame `position` (0 to ov_pcm_total(state, -1)); the new position, or a
// negative result: OV_EINVAL for a position out of range (nothing moves), another code when the
// library failed (the stream has ended).
int64_t ov_pcm_seek(void* state, int64_t position);

// Reads up to `bytes` bytes of interleaved PCM (`wordSize` 1 or 2 bytes a sample, big-endian or
// not, signed or not) into `buffer`; only whole sample frames. The bytes read, 0 at the end of
// the stream, negative on a decode error or a buffer smaller than one sample frame. `stream`
// (may be null) receives the number of the link the samples came from.
long ov_read(void* state, char* buffer, int32_t bytes, int32_t bigEndian, int32_t wordSize,
             int32_t isSigned, int32_t* stream);

// Releases the decoder state (when `state` is non-null and open) and closes the file in `file`
// (when there is one); both are left empty. Safe on a cleared state and a null file.
void ov_clear_2(void*& file, void* state);

}  // namespace kelvora
