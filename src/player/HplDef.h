#pragma once
// The player record and the engine's constants.
//
// One HplPlayer per open player. The window thread runs every Hpl operation; the play run's
// worker (QplayThread) loads frames, feeds the sound buffer and calls the player callback.
// The two threads coordinate through the atomic fields below, each written by one side and
// polled by the other with bounded 1 ms sleeps; no lock is held across a frame load or a
// sound fill. Fields that only one thread touches at a time (the worker during a play run,
// the window thread otherwise) are plain.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "image/ImgBasic.h"
#include "media/ConForm.h"
#include "player/DXAudio.h"
#include "player/HplDisplay.h"
#include "runtime/Basic.h"

namespace kelvora {

// Position units.
constexpr int32_t HPL_UNIT_FRAMES = 0;
constexpr int32_t HPL_UNIT_SAMPLES = 1;  // sound sample frames
constexpr int32_t HPL_UNIT_SECONDS = 2;

// States reported by HplGetState.
constexpr int32_t HPL_STOPPED = 1;
constexpr int32_t HPL_PLAYING = 2;
constexpr int32_t HPL_BUSY = 3;

// Screen kinds.
constexpr int32_t HPL_SCREEN_UNKNOWN = 0;
constexpr int32_t HPL_SCREEN_PALETTE = 1;
constexpr int32_t HPL_SCREEN_OTHER = 2;

constexpr double HPL_MIN_RATE = 0.001;
constexpr double HPL_MAX_RATE = 1000000.0;
constexpr double HPL_DEFAULT_RATE = 30.0;
// The output buffer's length and the top-up period while sound plays (half of a quarter).
constexpr double HPL_BUFFER_SECONDS = 0.5;
constexpr double HPL_TOPUP_PERIOD = 0.5 * 0.25;
// Sound this close to its end (sample frames) does not start or restart.
constexpr int32_t HPL_SOUND_TAIL = 256;
// Sample frames kept free in the ring, and the smallest top-up worth writing.
constexpr int32_t HPL_FILL_MARGIN = 8;
constexpr int32_t HPL_MIN_TOPUP = 4;
// A frame this late (seconds) makes the video jump to the next key frame.
constexpr double HPL_LATE = 0.1;
// Frame intervals averaged by the measured frame rate.
constexpr int32_t HPL_RATE_RING = 30;
// The longest any wait for the worker may take before the engine gives up on it (ms).
constexpr int32_t HPL_WAIT_LIMIT_MS = 10000;

struct HplPlayer;

// Called as (player, user value) after each displayed frame, after each pass of the sound loop,
// when sound stops and when a run ends; from the worker thread as a rule.
using HplCallback = void (*)(HplPlayer* player, void* user);
// Called on the window thread for a press in the display: (player, button 1/2/4, key-state
// flags, packed position, user value).
using HplMouseCallback = void (*)(HplPlayer* player, int32_t button, uint32_t keys,
                                  int32_t position, void* user);

class QplayThread;

struct HplPlayer {
    std::string fileName;             // short string: the name last passed to HplOpen
    std::atomic<int32_t> open;        // a file is open
    QUniInfo info;                    // the file's description
    UniHandle handle;                 // valid while open
    std::atomic<int32_t> everyFrame;  // 1: the video never skips
    double playStart;                 // media time (seconds) at which the run started
    kelvora::QTimer stopwatch;        // elapsed time of the run
    QplayThread* thread;              // the last worker started (it frees itself)
    // Video state.
    std::atomic<int32_t> busy;
    int32_t videoPresent;
    int32_t videoEnabled;
    std::atomic<int32_t> videoPlaying;
    std::atomic<int32_t> videoStop;
    std::atomic<int32_t> videoStopped;
    std::atomic<int32_t> curFrame;   // 0-based
    int32_t lastShown;               // BAD_HANDLE after a reset
    double frameRate;                // used for playback
    std::atomic<double> actualRate;  // measured
    Qimg frame;                      // the last loaded frame
    // Sound and display state.
    DspWindow* display;
    int32_t screenKind;
    int32_t soundPresent;
    int32_t soundEnabled;
    std::atomic<int32_t> soundPlaying;
    std::atomic<int32_t> soundEnd;  // also the sound's stop request
    std::atomic<int32_t> soundStopped;
    std::atomic<int32_t> readPos;  // sample frames: the next to fetch
    std::atomic<int32_t> basePos;  // sample frames: what HplAtEnd measures from
    double queuedUntil;            // media time up to which sound has been written
    double topUpPeriod;            // 0.125 while sound plays, else 0
    double soundDuration;          // seconds
    DXABuffer buffer;
    // Result of the last operation.
    std::atomic<int32_t> ok;
    std::string message;  // short string; guarded by messageLock (both threads write)
    std::mutex messageLock;
    HplMouseCallback mouseProc;
    void* mouseUser;
    HplCallback callback;
    void* callbackUser;
    // Workers of this player still running (0 or 1; the window thread waits for 0 before it
    // reuses the buffer, the handle or the record).
    std::atomic<int32_t> workers;
    // The display's hand-over count just after the engine showed its current frame: while it
    // stands, the display still holds that frame and a run need not hand it over again.
    std::atomic<int32_t> shownStamp;
};

}  // namespace kelvora
