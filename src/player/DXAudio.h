#pragma once
// Streaming sound output: a looping ring of PCM sample frames played by the sound device, a
// write position that trails the device's play cursor, free-space queries, writes into the
// ring and an optional periodic filler.
//
// The device is SDL2 audio. Each buffer opens its own SDL device in the buffer's format; the
// device callback copies the ring from the play cursor onwards and wraps to the start, as a
// looping sound buffer does. Play and Stop pause the device. Writes take the device lock and
// copy straight into the ring's one or two regions. The periodic filler runs on a plain
// thread (a quarter of the buffer length apart). With no sound device DXAInit reports false
// and the player plays silently. No operation raises errors: results are booleans or sizes.
//
// Thread use: create, set filler and play from one thread, fill, free size, stop and destroy
// from the player's worker; never two operations at once on one buffer. The device callback
// and the filler thread share only the guarded ring state and the atomic flags below.

#include <atomic>
#include <cstdint>

#include "sound/SndBasic.h"

namespace kelvora {

// Units of the size queries.
constexpr int32_t DXA_UNIT_BYTES = 0;
constexpr int32_t DXA_UNIT_FRAMES = 1;

// DXABufStatus bits (1 alone: the status could not be read).
constexpr int32_t DXA_STATUS_FAILED = 1;
constexpr int32_t DXA_STATUS_LOST = 2;
constexpr int32_t DXA_STATUS_LOOPING = 4;
constexpr int32_t DXA_STATUS_PLAYING = 8;

// The filler, called on the timer thread as (filler user value, argument).
using DXAFillerProc = void (*)(int32_t user, int32_t argument);

// The sound device's buffer behind a DXABuffer (the ring, the device, the timer thread).
struct DXASoundBuf;

struct DXABuffer {
    DXASoundBuf* sound;  // null when not created
    int32_t created;     // 32-bit boolean
    int32_t writePos;    // bytes into the ring; -1: nothing written since a clear
    double length;       // seconds
    int32_t size;        // bytes
    QWaveFmt format;
    int32_t fillerUser;                 // BAD_HANDLE from creation; may be set before play
    int32_t timerId;                    // 0 when no timer runs
    int32_t timerPeriod;                // milliseconds
    std::atomic<DXAFillerProc> filler;  // null when none
    std::atomic<int32_t> inFiller;      // keeps the filler from overlapping itself
};

// Opens the sound output (a second call first closes the first). `window` is kept for the
// device's cooperative level; SDL needs none. False when there is no sound device.
bool DXAInit(void* window);
void DXADone();
// Whether DXAInit succeeded.
bool DXAAvailable();
// Sets the output format preferred for the device; false when the output is not available or
// the format is not one the device can play.
bool DXASetPrimaryFormat(const QWaveFmt& format);

// Clears the created flag, the filler and the in-filler flag (the record's first use).
void DXABufReset(DXABuffer& buffer);
// A ring of seconds x samples per second x block align bytes (truncated), emptied, stopped;
// timer period a quarter of the length. A buffer still created is destroyed first.
bool DXABufCreate(DXABuffer& buffer, const QWaveFmt& format, double seconds);
void DXABufDestroy(DXABuffer& buffer);
void DXABufSetFiller(DXABuffer& buffer, DXAFillerProc filler);
bool DXABufIsCreated(const DXABuffer& buffer);
bool DXABufPlay(DXABuffer& buffer);
bool DXABufStop(DXABuffer& buffer);
bool DXABufRestore(DXABuffer& buffer);
int32_t DXABufStatus(DXABuffer& buffer);
// Play cursor to 0, write position -1 (emptied). Returns 0.
int32_t DXABufClear(DXABuffer& buffer);
int32_t DXABufGetTotalSize(const DXABuffer& buffer, int32_t unit);
// Bytes (or sample frames) that can be written without overtaking the play cursor; a write
// position equal to the play cursor counts as full.
int32_t DXABufGetFreeSize(DXABuffer& buffer, int32_t unit);
// Writes `count` sample frames of `data` at the write position, wrapping to the start of the
// ring; a failed write leaves the write position unchanged.
bool DXABufFill(DXABuffer& buffer, int32_t count, const void* data);

// The device's play cursor in bytes (GetCurrentPosition); false when it cannot be read.
bool DXABufGetPlayCursor(DXABuffer& buffer, int32_t& cursor);

}  // namespace kelvora
