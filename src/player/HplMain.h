#pragma once
// The player engine: one open media file turned into timed output, frames to the display and
// sound to the streaming output, both following one play clock (the run's start time plus the
// stopwatch; the sound device's position never steers the video).
//
// Every operation runs on the caller's (window) thread; HplPlay starts one QplayThread per
// run, which runs the video loop (and then the sound loop for sound that outlasts the
// pictures) or the sound loop alone, and frees itself when it ends. Operations that change the
// file or the position report through the result state (HplGetResult, HplGetErrorText)
// instead of raising. Every wait for the worker is bounded (HPL_WAIT_LIMIT_MS): a worker that
// does not answer is reported in the result state, and HplDestroy then leaves the record alive
// rather than free memory a running thread still uses.

#include <cstdint>
#include <string>

#include "player/HplDef.h"

class QWidget;

namespace kelvora {

// Shows the engine's error boxes (HplCreate's failure). The default writes to standard error;
// the application installs its error box.
using HplErrorBoxProc = void (*)(const std::string& text);
void HplSetErrorBoxProc(HplErrorBoxProc proc);

HplPlayer* HplCreate(void* window);
void HplDestroy(HplPlayer*& player);
void HplDone();
void HplSetDisplay(HplPlayer* player, QWidget* parent, int32_t x, int32_t y, int32_t width,
                   int32_t height);
void HplSetDisplayPos(HplPlayer* player, int32_t x, int32_t y, int32_t width, int32_t height);
void HplSetBackColor(HplPlayer* player, uint32_t colour);
void HplSetCallback(HplPlayer* player, HplCallback proc, void* user);
void HplSetMouseCallback(HplPlayer* player, HplMouseCallback proc, void* user);
void HplOpen(HplPlayer* player, const std::string& fileName);
bool HplClose(HplPlayer* player);
bool HplIsOpen(HplPlayer* player);
void HplGetInfo(HplPlayer* player, QUniInfo& info);
void HplSetFrameRate(HplPlayer* player, double rate);
void HplSetEveryFrame(HplPlayer* player, int32_t mode);
void HplSetStreams(HplPlayer* player, bool video, bool sound);
void HplPlay(HplPlayer* player);
void HplStop(HplPlayer* player);
int32_t HplGetState(HplPlayer* player);
bool HplAtEnd(HplPlayer* player);
void HplSeek(HplPlayer* player, int32_t unit, double value);
void HplSeekBy(HplPlayer* player, int32_t unit, double delta);
double HplGetPos(HplPlayer* player, int32_t unit);
double HplGetActualRate(HplPlayer* player);
bool HplGetResult(HplPlayer* player);
// Copies the stored message, zero-terminated and cut to fit `size` bytes.
void HplGetErrorText(HplPlayer* player, char* buffer, int32_t size);
std::string HplGetErrorText(HplPlayer* player);
// Shows the caller's picture. By reference: the record's validity is asked of the variable
// that owns its pixels, and a copy of the record owns none.
void HplShowImage(HplPlayer* player, const Qimg& image);

// Position conversions of the engine, truncated toward zero; 0 when an operand is not
// positive (time results are not truncated).
int32_t HplFrameToSamples(double frame, double samplesPerSec, double frameRate);
int32_t HplSamplesToFrame(double samples, double frameRate, double samplesPerSec);
int32_t HplTimeToFrame(double seconds, double frameRate);
int32_t HplTimeToSamples(double seconds, double samplesPerSec);
double HplFrameToTime(double frame, double frameRate);
double HplSamplesToTime(double samples, double samplesPerSec);
// Media time of frame `frame` (from 0) as the engine plays it: the frame's own time where the
// open movie's pictures do not step evenly (scaled when it plays at another rate than its own),
// else HplFrameToTime at the playing rate.
double HplFrameTime(const HplPlayer* player, double frame);

// The worker of one play run. Created suspended by HplPlay, started by Resume, and deleted by
// itself when its loop ends.
class QplayThread {
public:
    explicit QplayThread(HplPlayer* player);
    void Resume();
    // Workers still running in the process (HplDone and tests wait for 0).
    static int32_t Running();

private:
    void Execute();
    HplPlayer* player_;
};

}  // namespace kelvora
