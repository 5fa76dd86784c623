#pragma once
// The AVI library's entry points, over the media layer (platform/AvMedia).
//
// The AVI reader hands this library what the system's own AVI services cannot play (DV and
// Cinepak video among them) and calls it through five C-style functions. Handles are small
// positive numbers into a table of open files; a closed or never-issued handle is refused,
// even when its slot has been used again since. Calls on distinct handles may run on distinct
// threads; calls on one handle are taken one at a time. No function lets an exception out.
//
// Only AVI files are accepted. Pictures come out as 24-bit blue, green, red rows, top-down and
// packed (width × 3 bytes a row), frame 0 first in presentation order. Sound comes out as
// 16-bit PCM at the stream's rate and channel count (1 to 8).
//
// Sound positions. The reader treats the library's sound as already PCM (its source-to-PCM
// ratio is 1), so its source block positions are PCM positions: a sound "block" here is one
// sample frame, and `blockPos` is the sample frame to start at. One call delivers at most
// kAviSoundRun sample frames and never more than one second of sound, so it always fits the
// caller's buffer of four seconds' worth (4 × average bytes per second).

#include <cstdint>

namespace kelvora {

struct QWaveFmt;  // the 18-byte wave format of the sound model

constexpr int32_t kAviSoundRun = 4096;

// Opens `name`; a handle, or 0 when the file is not an AVI this library can read. `unused`
// may be null; it is set to 0 when given.
int32_t avi_open_DD(const char* name, int32_t* unused);

// The file's facts: size, 24 bits per pixel, frame count and rate when there is video (all 0
// otherwise); `soundFormat` (18 bytes) is 16-bit PCM at the stream's rate and channels, or all
// zeros without sound. Null pointers are skipped. Non-zero on success.
int32_t avi_get_info_DD(int32_t handle, int32_t* width, int32_t* height, int32_t* bitsPerPixel,
                        int32_t* frames, double* rate, QWaveFmt* soundFormat);

// The sound's length in sample frames (0 without sound, or for an unknown handle). Not one of
// the library's original calls: the reader needs the length of the library's sound when the
// file's own sound stream cannot be read.
int32_t avi_get_sound_frames_DD(int32_t handle);
// Writes frame `index` (from 0) into `dest`: width × height × 3 bytes. Non-zero on success.
int32_t avi_get_frame_DD(int32_t handle, uint8_t* dest, int32_t index);

// Writes PCM from sample frame `blockPos` into `dest`; `bytes` and `samples` receive what was
// written. Non-zero on success; 0 past the end of the sound, without sound, or on failure
// (both counts then 0).
int32_t avi_get_sample_DD(int32_t handle, int32_t blockPos, uint8_t* dest, int32_t* bytes,
                          int32_t* samples);

// Closes the handle; an unknown handle is ignored.
void avi_close_DD(int32_t handle);

}  // namespace kelvora
