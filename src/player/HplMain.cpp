#include "player/HplMain.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "runtime/Errors.h"

namespace kelvora {

namespace {

// Module state: set by the first HplCreate.
std::atomic<int32_t> gInitialised{0};
std::atomic<int32_t> gSoundAvailable{0};
// The window the sound output is made for; the output itself opens with the first run that
// plays sound (SoundReady_), so opening files and silent runs never start the sound system.
std::atomic<void*> gSoundWindow{nullptr};
std::atomic<int32_t> gRunning{0};

void DefaultErrorBox_(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }
std::atomic<HplErrorBoxProc> gErrorBox{DefaultErrorBox_};

// Without sound the video waits in steps of at most this many milliseconds: a zero sleep
// would keep a core busy for the whole wait.
constexpr int32_t IDLE_STEP_MS_ = 10;

void Sleep_(int32_t ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    else
        std::this_thread::yield();
}

// Truncation toward zero, held inside the 32-bit range.
int32_t Trunc_(double x) {
    if (!(x == x)) return 0;
    if (x >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (x <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(x);
}

double SampleRate_(const HplPlayer* p) { return p->info.snd.rate; }
int32_t TotalSamples_(const HplPlayer* p) { return p->info.snd.soundSamples; }
int32_t FrameCount_(const HplPlayer* p) { return p->info.img.frames; }

// Whether the open movie's frames keep their own times (a variable frame rate).
bool OwnTimes_(const HplPlayer* p) { return p->open && UniFrameTime(p->handle, 1) >= 0; }

// The frame shown at media time `t` (from 0): the last whose time is at or before it.
int32_t TimeFrame_(const HplPlayer* p, double t) {
    if (!OwnTimes_(p)) return HplTimeToFrame(t, p->frameRate);
    int32_t lo = 0, hi = std::max(FrameCount_(p) - 1, 0);
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo + 1) / 2;
        if (HplFrameTime(p, mid) <= t)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

// Media time now: the run's start plus the stopwatch (read from a copy, so that the window
// thread and the worker never write the same record).
double Now_(const HplPlayer* p) {
    kelvora::QTimer t = p->stopwatch;
    return p->playStart + TimerElapsed(t);
}

bool Playing_(const HplPlayer* p) { return p->videoPlaying || p->soundPlaying; }

void Callback_(HplPlayer* p) {
    if (p->callback) p->callback(p, p->callbackUser);
}

// The result state: ok with no message, or the failure's message (a short string).
void StoreResult_(HplPlayer* p, bool ok, const std::string& message) {
    std::lock_guard<std::mutex> lock(p->messageLock);
    p->ok = ok ? 1 : 0;
    p->message = ok ? std::string() : message.substr(0, 255);
}

// The result state takes the error state of this thread.
void SetResult_(HplPlayer* p) { StoreResult_(p, ErrNone(), ErrLastText()); }
void ClearResult_(HplPlayer* p) { StoreResult_(p, true, std::string()); }
void SetFailure_(HplPlayer* p, const std::string& text) { StoreResult_(p, false, text); }

// A failure on the worker releases the blocks it registered in the failing frame without
// touching their owners; a frame image whose block went that way is empty from now on, even
// when the window thread has meanwhile been given a block at the same address.
void ForgetReleased_(Qimg& image) {
    if (image.data && !image.redirected && !MemIsTrackedBy(&image.data, image.data)) image = Qimg{};
}

// Waits (bounded) until no worker of this player runs; false when one is still running.
bool WaitWorker_(HplPlayer* p) {
    for (int32_t waited = 0; p->workers.load() > 0; ++waited) {
        if (waited >= HPL_WAIT_LIMIT_MS) {
            SetFailure_(p, "The playback thread does not answer.");
            return false;
        }
        Sleep_(1);
    }
    return true;
}

// Opens the sound output on the first run that plays sound (window thread): true when there
// is one. An output opened already (by the window or a test) is taken as it is.
bool SoundReady_() {
    if (!gInitialised) {
        gSoundAvailable = DXAAvailable() || DXAInit(gSoundWindow.load()) ? 1 : 0;
        gInitialised = 1;
    }
    return gSoundAvailable != 0;
}

void Reset_(HplPlayer* p) {
    ClearResult_(p);
    p->open = 0;
    p->busy = 0;
    p->videoEnabled = 1;
    p->soundEnabled = 1;
    p->videoPresent = 0;
    p->soundPresent = 0;
    p->videoPlaying = 0;
    p->soundPlaying = 0;
    p->actualRate = 0.0;
    p->soundDuration = 0.0;
    p->queuedUntil = 0.0;
    p->topUpPeriod = 0.0;
    if (gSoundAvailable) DXABufDestroy(p->buffer);
    p->curFrame = 0;
    p->lastShown = BAD_HANDLE;
    p->shownStamp = BAD_HANDLE;
    p->readPos = 0;
    p->basePos = 0;
}

// Hands an image to the display; a true-colour picture that brings a new palette is shown
// in grey levels on a palette screen.
void DisplayImage_(HplPlayer* p, Qimg& image, bool palette) {
    if (!p->display || !ImgValid(image) || image.width <= 0 || image.height <= 0) return;
    if (palette && p->screenKind == HPL_SCREEN_UNKNOWN)
        p->screenKind = ScreenIsPalette(nullptr) ? HPL_SCREEN_PALETTE : HPL_SCREEN_OTHER;
    if (palette && p->screenKind == HPL_SCREEN_PALETTE && image.bitsPP != 8) {
        Qimg grey{};
        Monitored([&] {
            ImgConvBppEx(image, grey, 8, 3);
            DspSetImage(p->display, grey);
            ImgFree(grey);
        });
        return;
    }
    DspSetImage(p->display, image);
}

// Loads the current frame into the frame image unless it is the one shown last (raises).
void LoadCurrent_(HplPlayer* p) {
    const int32_t frame = p->curFrame;
    if (!p->videoPresent || frame == p->lastShown) return;
    UniImgLoad(p->handle, p->frame, frame + 1, 1);
    p->lastShown = frame;
}

// Loads and shows the current frame; on a failure the display shows its background and the
// error stays this thread's last error.
void ShowCurrent_(HplPlayer* p) {
    MonitoredIsolated([&] { LoadCurrent_(p); });
    if (ErrNone()) {
        DisplayImage_(p, p->frame, true);
        p->shownStamp = p->display ? p->display->frames.load() : BAD_HANDLE;
    } else {
        ForgetReleased_(p->frame);
        if (p->display) DspClear(p->display);
    }
}

int32_t SoundPos_(const HplPlayer* p) { return p->soundPresent ? p->readPos.load() : 0; }

// Stops the sound output (worker thread, or the window thread through a fill that ended).
void StopSound_(HplPlayer* p) {
    MonitoredIsolated([&] {
        DXABufStop(p->buffer);
        if (Now_(p) < p->soundDuration) p->readPos = Trunc_(HplGetPos(p, HPL_UNIT_SAMPLES));
        p->basePos = p->readPos.load();
        p->soundPlaying = 0;
        p->soundStopped = 1;
        Callback_(p);
        if (gSoundAvailable) DXABufDestroy(p->buffer);
    });
    if (!ErrNone()) SetResult_(p);
}

// Tops the output buffer up from the read position, or (restart) refills it from the media
// time of the run's start or of a dry output.
void SoundFill_(HplPlayer* p, bool restart, bool ignoreBusy = false) {
    if (!p->soundPlaying || (p->busy && !ignoreBusy)) {
        p->soundStopped = 1;
        return;
    }
    MonitoredIsolated([&] {
        const double rate = SampleRate_(p);
        const int32_t total = TotalSamples_(p);
        const double t = restart ? p->playStart : Now_(p);
        if (t > p->soundDuration) {
            p->soundEnd = 1;
            p->readPos = total;
            p->basePos = total;
        }
        if (p->soundEnd) return;
        // The output ran dry: start again from the clock rather than play stale sound late.
        if (!restart && t > p->queuedUntil && total - p->readPos > HPL_SOUND_TAIL) restart = true;
        int32_t n;
        if (restart) {
            p->readPos = HplTimeToSamples(t, rate);
            p->basePos = p->readPos.load();
            p->queuedUntil = t;
            n = DXABufGetTotalSize(p->buffer, DXA_UNIT_FRAMES) - HPL_FILL_MARGIN;
        } else {
            n = DXABufGetFreeSize(p->buffer, DXA_UNIT_FRAMES) - HPL_FILL_MARGIN;
        }
        if (n <= HPL_MIN_TOPUP) return;
        Qsnd sound{};
        sound.format = p->info.snd.playFormat;
        int32_t got = 0;
        const int32_t readPos = p->readPos;
        if (readPos < total - 1) {
            UniSndLoad(p->handle, sound, readPos, !restart, std::clamp(n, 0, total - readPos - 1));
            got = std::clamp(sound.samples, 0, n);
        }
        p->readPos = readPos + got;
        if (!p->soundEnd) {
            if (got < n) SndAddSilence(sound, n);
            if (restart)
                DXABufClear(p->buffer);
            else
                p->basePos = std::clamp(p->basePos.load() + n, 0, std::max(total, 0));
            if (!DXABufFill(p->buffer, n, sound.data)) p->soundEnd = 1;
            p->queuedUntil += n / rate;
        }
        SndFree(sound);
    });
    if (!ErrNone()) SetResult_(p);
    if (!p->ok) p->soundEnd = 1;
}

// Feeds the output while the video waits; true when it topped up.
bool SoundPump_(HplPlayer* p, double t) {
    if (!p->soundPlaying || p->busy) return false;
    bool topped = false;
    if (t > p->topUpPeriod || t < 0) {
        SoundFill_(p, false);
        topped = true;
    }
    if (p->soundEnd || !p->soundPlaying) StopSound_(p);
    return topped;
}

void SoundLoop_(HplPlayer* p) {
    while (p->soundPlaying && !p->soundEnd) {
        kelvora::QTimer watch;
        TimerStart(watch);
        SoundPump_(p, Now_(p));
        const double elapsed = TimerElapsed(watch);
        if (p->soundPlaying && !p->soundEnd && elapsed < p->topUpPeriod)
            Sleep_(Trunc_((p->topUpPeriod - elapsed) * 950));
        // A pass whose pump stopped the sound has reported the end already; reporting it twice
        // would end a run twice for the caller (two repetitions counted, two replays started).
        if (!p->busy && p->soundPlaying) Callback_(p);
    }
    // The pump may have stopped the sound already; a second stop would report the end twice.
    if (p->soundPlaying) StopSound_(p);
}

void VideoLoop_(HplPlayer* p) {
    const int32_t last = FrameCount_(p) - 1;
    double due = 0.0;
    bool first = true;
    int32_t n = 0;
    double ring[HPL_RATE_RING] = {};
    double sum = 0.0;
    int32_t index = 0;
    double previous = 0.0;
    kelvora::QTimer local;
    TimerStart(local);
    while (!p->videoStop) {
        // A reposition in progress holds the loop; a stop request still ends it.
        while (p->busy && !p->videoStop) Sleep_(1);
        if (p->videoStop) break;
        if (n == 1) {
            TimerStart(local);
            std::fill(std::begin(ring), std::end(ring), 0.0);
            sum = 0.0;
            index = 0;
            previous = 0.0;
        }
        bool leave = false;
        MonitoredIsolated([&] {
            const int32_t held = p->lastShown;
            LoadCurrent_(p);
            // The run starts on the frame the open, a seek or the last stop showed: unless the
            // display was given something else since, it needs that frame only once.
            const bool onScreen = first && held == p->lastShown && p->display &&
                                  p->display->frames.load() == p->shownStamp.load();
            const bool palette = p->handle.newPalette != 0;
            if (p->videoStop) {
                leave = true;
                return;
            }
            double t = Now_(p);
            SoundPump_(p, t);
            if (first) due = t;
            if (t - due < HPL_LATE || p->everyFrame == 1) {
                while (due > t && !p->videoStop) {
                    const int32_t cap = p->topUpPeriod > 0 ? Trunc_(p->topUpPeriod * 500)
                                                           : IDLE_STEP_MS_;
                    Sleep_(std::min(Trunc_((due - t) * 1000), cap));
                    t = Now_(p);
                    if (SoundPump_(p, t)) t = Now_(p);
                }
                p->curFrame = p->curFrame + 1;
                due = HplFrameTime(p, p->curFrame);
            } else {
                // Late: go on from the key frame just ahead of the clock.
                int32_t k = TimeFrame_(p, t + HPL_LATE);
                k = UniNearestKeyFrame(p->handle, k + 1, 1) - 1;
                const int32_t cur = p->curFrame;
                p->curFrame = std::clamp(cur < k ? k : cur + 1, 0, std::max(last, 0));
                due = HplFrameTime(p, p->curFrame);
            }
            if (!onScreen) DisplayImage_(p, p->frame, palette);
            Callback_(p);
            if (n > 0) {
                const double e = TimerElapsed(local);
                sum += (e - previous) - ring[index];
                ring[index] = e - previous;
                index = (index + 1) % HPL_RATE_RING;
                previous = e;
                if (sum > 0) {
                    const double rate = n < HPL_RATE_RING ? n / sum : HPL_RATE_RING / sum;
                    p->actualRate = std::clamp(rate, HPL_MIN_RATE, HPL_MAX_RATE);
                }
            }
            ++n;
            if (p->curFrame >= last) p->videoStop = 1;
            first = false;
        });
        if (!ErrNone()) {
            SetResult_(p);
            ForgetReleased_(p->frame);
            break;
        }
        if (leave) break;
    }
    p->curFrame = std::clamp(p->curFrame.load(), 0, std::max(last, 0));
    ShowCurrent_(p);
    if (!ErrNone()) SetResult_(p);
    const double seconds = TimerElapsed(local);
    p->actualRate = seconds > 0 ? n / seconds : 0.0;
    p->videoPlaying = 0;
}

// Repositions while nothing plays.
void Reposition_(HplPlayer* p, int32_t unit, double x) {
    const bool video = p->videoPresent != 0;
    const bool sound = p->soundPresent != 0;
    if (!video && !sound) return;
    const int32_t lastFrame = std::max(FrameCount_(p) - 1, 0);
    const int32_t lastSample = std::max(TotalSamples_(p) - 1, 0);
    const double rate = SampleRate_(p);
    int32_t b = p->curFrame;
    int32_t c = p->readPos;
    switch (unit) {
        case HPL_UNIT_FRAMES:
            if (video) b = std::clamp(Trunc_(x), 0, lastFrame);
            if (sound)
                c = OwnTimes_(p) ? HplTimeToSamples(HplFrameTime(p, b), rate)
                                 : HplFrameToSamples(b, rate, p->frameRate);
            break;
        case HPL_UNIT_SAMPLES:
            if (sound) c = std::clamp(Trunc_(x), 0, lastSample);
            if (video)
                b = OwnTimes_(p) ? TimeFrame_(p, HplSamplesToTime(c, rate))
                                 : HplSamplesToFrame(c, p->frameRate, rate);
            break;
        case HPL_UNIT_SECONDS:
            if (video) b = std::clamp(TimeFrame_(p, x), 0, lastFrame);
            if (sound) c = std::clamp(HplTimeToSamples(x, rate), 0, lastSample);
            break;
        default: return;
    }
    if (video && b != BAD_HANDLE) {
        b = std::clamp(b, 0, lastFrame);
        if (b != p->curFrame) {
            p->curFrame = b;
            ShowCurrent_(p);
            if (!ErrNone()) ErrRaise(ErrLastGroup(), ErrLastCode(), ErrLastText(), __LINE__);
        }
    }
    if (sound && c != BAD_HANDLE) {
        p->readPos = std::clamp(c, 0, lastSample);
        p->basePos = p->readPos.load();
    }
}

// Closes the open file (without stopping) and frees the frame image.
void CloseFile_(HplPlayer* p) {
    if (p->open) {
        if (p->display) DspSetPos(p->display, 0, 0, 2, 2);
        p->open = 0;
        try {
            UniClose(p->handle);
        } catch (...) {
            Reset_(p);
            ImgFree(p->frame);
            throw;
        }
        Reset_(p);
    }
    ImgFree(p->frame);
}

void MouseRelay_(int32_t button, uint32_t keys, int32_t position, void* user) {
    auto* p = static_cast<HplPlayer*>(user);
    if (p->mouseProc) p->mouseProc(p, button, keys, position, p->mouseUser);
}

}  // namespace

// --- Conversions ------------------------------------------------------------------------------

int32_t HplFrameToSamples(double frame, double samplesPerSec, double frameRate) {
    if (frame <= 0 || samplesPerSec <= 0 || frameRate <= 0) return 0;
    return Trunc_(frame * samplesPerSec / frameRate);
}

int32_t HplSamplesToFrame(double samples, double frameRate, double samplesPerSec) {
    if (samples <= 0 || frameRate <= 0 || samplesPerSec <= 0) return 0;
    return Trunc_(samples * frameRate / samplesPerSec);
}

int32_t HplTimeToFrame(double seconds, double frameRate) {
    if (seconds <= 0 || frameRate <= 0) return 0;
    return Trunc_(seconds * frameRate);
}

int32_t HplTimeToSamples(double seconds, double samplesPerSec) {
    if (seconds <= 0 || samplesPerSec <= 0) return 0;
    return Trunc_(seconds * samplesPerSec);
}

double HplFrameToTime(double frame, double frameRate) {
    if (frame <= 0 || frameRate <= 0) return 0.0;
    return frame / frameRate;
}

double HplFrameTime(const HplPlayer* p, double frame) {
    if (p && p->open) {
        const double own = UniFrameTime(p->handle, static_cast<int32_t>(frame) + 1);
        if (own >= 0)
            return p->frameRate > 0 && p->info.img.frameRate > 0
                       ? own * p->info.img.frameRate / p->frameRate
                       : own;
    }
    return p ? HplFrameToTime(frame, p->frameRate) : 0.0;
}

double HplSamplesToTime(double samples, double samplesPerSec) {
    if (samples <= 0 || samplesPerSec <= 0) return 0.0;
    return samples / samplesPerSec;
}

// --- The worker -------------------------------------------------------------------------------

QplayThread::QplayThread(HplPlayer* player) : player_(player) {}

void QplayThread::Resume() {
    ++player_->workers;
    ++gRunning;
    std::thread([this] {
        Execute();
        delete this;
    }).detach();
}

int32_t QplayThread::Running() { return gRunning.load(); }

void QplayThread::Execute() {
    HplPlayer* p = player_;
    try {
        if (p->videoPlaying) {
            VideoLoop_(p);
            if (p->soundPlaying)
                SoundLoop_(p);
            else
                Callback_(p);
        } else {
            SoundLoop_(p);
        }
    } catch (const std::exception& e) {
        SetFailure_(p, e.what());
    } catch (...) {
        SetFailure_(p, "Playback failed.");
    }
    try {
        if (p->soundPlaying) StopSound_(p);
    } catch (...) {}
    p->videoPlaying = 0;
    p->soundPlaying = 0;
    p->videoStopped = 1;
    p->soundStopped = 1;
    // The last touch of the player: after this the window thread may free it.
    --p->workers;
    --gRunning;
}

// --- Operations -------------------------------------------------------------------------------

void HplSetErrorBoxProc(HplErrorBoxProc proc) { gErrorBox = proc ? proc : DefaultErrorBox_; }

HplPlayer* HplCreate(void* window) {
    try {
        if (!gInitialised) gSoundWindow = window;
        // Plain heap, not the tracked register: the record holds strings and atomics, and it
        // lives across every monitored frame the engine enters.
        auto* p = new HplPlayer{};
        DXABufReset(p->buffer);
        Reset_(p);
        p->display = nullptr;
        p->screenKind = HPL_SCREEN_UNKNOWN;
        p->frameRate = HPL_DEFAULT_RATE;
        p->videoStopped = 1;
        p->soundStopped = 1;
        return p;
    } catch (const std::exception& e) {
        gErrorBox.load()(std::string("HplCreate: ") + e.what());
    } catch (...) {
        gErrorBox.load()("HplCreate: unknown failure");
    }
    return nullptr;
}

void HplDestroy(HplPlayer*& player) {
    HplPlayer* p = player;
    if (!p) return;
    player = nullptr;
    HplClose(p);
    // A worker that never stopped still uses the record: leave it rather than free it.
    if (!WaitWorker_(p)) return;
    DspDestroy(p->display);
    delete p;
}

void HplDone() {
    if (gInitialised && gSoundAvailable) DXADone();
    gSoundAvailable = 0;
    gInitialised = 0;
}

void HplSetDisplay(HplPlayer* p, QWidget* parent, int32_t x, int32_t y, int32_t width,
                   int32_t height) {
    if (!p) return;
    DspDestroy(p->display);
    p->display = DspCreate(parent, x, y, width, height);
    DspSetMouseProc(p->display, MouseRelay_, p);
    // The screen is asked here, on the window thread, rather than later by the worker.
    p->screenKind = ScreenIsPalette(nullptr) ? HPL_SCREEN_PALETTE : HPL_SCREEN_OTHER;
    DisplayImage_(p, p->frame, true);
    p->shownStamp = p->display && ImgValid(p->frame) ? p->display->frames.load() : BAD_HANDLE;
}

void HplSetDisplayPos(HplPlayer* p, int32_t x, int32_t y, int32_t width, int32_t height) {
    if (p && p->display) DspSetPos(p->display, x, y, width, height);
}

void HplSetBackColor(HplPlayer* p, uint32_t colour) {
    if (!p || !p->display) return;
    DspSetColor(p->display, colour);
    // A running worker owns the frame image (it loads the next frame into it) and shows it
    // itself; only an idle player is redrawn from here.
    if (p->workers.load() == 0) DisplayImage_(p, p->frame, true);
}

void HplSetCallback(HplPlayer* p, HplCallback proc, void* user) {
    if (!p) return;
    p->callback = proc;
    p->callbackUser = user;
}

void HplSetMouseCallback(HplPlayer* p, HplMouseCallback proc, void* user) {
    if (!p) return;
    p->mouseProc = proc;
    p->mouseUser = user;
}

void HplOpen(HplPlayer* p, const std::string& fileName) {
    if (!p) return;
    // Opening while playing is silently refused.
    if (HplGetState(p) != HPL_STOPPED) return;
    if (!WaitWorker_(p)) return;
    MonitoredIsolated([&] {
        if (p->open) CloseFile_(p);
        p->videoPresent = 0;
        p->soundPresent = 0;
        p->fileName = fileName.substr(0, 255);
        UniInfo(fileName, p->info, UNI_SEQ_UNLIMITED, false);
        p->videoPresent = p->info.img.hasVideo && p->info.img.videoSupported;
        p->soundPresent = p->info.snd.hasSound && p->info.snd.soundSupported;
        if (p->videoPresent || p->soundPresent) {
            UniOpen(p->handle, p->info);
            p->open = 1;
            if (p->videoPresent && p->info.img.frameRate < HPL_MIN_RATE)
                p->info.img.frameRate = HPL_DEFAULT_RATE;
            p->frameRate = p->info.img.frameRate;
            if (p->soundPresent)
                p->soundDuration = HplSamplesToTime(TotalSamples_(p), SampleRate_(p));
            p->curFrame = 0;
            p->lastShown = BAD_HANDLE;
            p->readPos = 0;
            p->basePos = 0;
            ShowCurrent_(p);
            if (!ErrNone()) ErrRaise(ErrLastGroup(), ErrLastCode(), ErrLastText(), __LINE__);
        } else {
            Reset_(p);
            std::error_code ec;
            const bool exists = std::filesystem::exists(fileName, ec);
            ErrRaiseMsg(
                ERR_USER,
                "File \"" + fileName + (exists ? "\" is not supported." : "\" does not exist."),
                __LINE__);
        }
    });
    SetResult_(p);
}

bool HplClose(HplPlayer* p) {
    if (!p) return false;
    if (HplGetState(p) != HPL_STOPPED) HplStop(p);
    // The file stays open while a worker may still read it.
    if (!WaitWorker_(p)) return false;
    MonitoredIsolated([&] { CloseFile_(p); });
    SetResult_(p);
    if (p->display) DspClear(p->display);
    return p->ok != 0;
}

bool HplIsOpen(HplPlayer* p) { return p && p->open != 0; }

void HplGetInfo(HplPlayer* p, QUniInfo& info) {
    if (p) info = p->info;
}

void HplSetFrameRate(HplPlayer* p, double rate) {
    if (!p) return;
    p->frameRate = std::clamp(rate == rate ? rate : HPL_DEFAULT_RATE, HPL_MIN_RATE, HPL_MAX_RATE);
}

void HplSetEveryFrame(HplPlayer* p, int32_t mode) {
    if (p) p->everyFrame = mode;
}

void HplSetStreams(HplPlayer* p, bool video, bool sound) {
    if (!p) return;
    p->videoEnabled = video ? 1 : 0;
    p->soundEnabled = sound ? 1 : 0;
}

void HplPlay(HplPlayer* p) {
    if (!p || HplGetState(p) == HPL_PLAYING) return;
    ClearResult_(p);
    // The previous run's worker may still be finishing (its last callback, the buffer).
    if (!WaitWorker_(p)) return;
    p->videoStop = 0;
    p->soundEnd = 0;
    p->videoPlaying = 0;
    p->soundPlaying = 0;
    const int32_t frames = FrameCount_(p);
    const int32_t total = TotalSamples_(p);
    const double rate = SampleRate_(p);
    const bool video = p->display && p->videoPresent && p->videoEnabled && frames > 1 &&
                       p->curFrame < frames - 1;
    const bool sound = p->soundPresent && p->soundEnabled && SoundReady_() &&
                       std::abs(int64_t{p->readPos} - total) > HPL_SOUND_TAIL;
    if (!video && !sound) {
        p->busy = 0;
        Callback_(p);
        return;
    }
    p->playStart = video ? HplFrameTime(p, p->curFrame) : HplSamplesToTime(SoundPos_(p), rate);
    p->readPos = HplTimeToSamples(p->playStart, rate);
    p->basePos = p->readPos.load();
    p->videoStopped = video ? 0 : 1;
    p->soundStopped = sound ? 0 : 1;
    p->videoPlaying = video ? 1 : 0;
    p->soundPlaying = sound ? 1 : 0;
    if (sound) {
        p->topUpPeriod = HPL_TOPUP_PERIOD;
        QWaveFmt format = p->info.snd.playFormat;
        // Odd rates go out one sample per second slower, in plain PCM.
        if (format.samplesPerSec % 2 == 1) {
            const QWaveFmt file = format;
            format = QWaveFmt{};
            format.formatTag = WAVE_FORMAT_PCM;
            format.channels = file.channels;
            format.samplesPerSec = file.samplesPerSec - 1;
            format.bitsPerSample = file.bitsPerSample;
            WaveFmtFix(format);
        }
        p->soundPlaying = DXABufCreate(p->buffer, format, HPL_BUFFER_SECONDS) ? 1 : 0;
        if (p->soundPlaying) DXASetPrimaryFormat(format);
        DXABufSetFiller(p->buffer, nullptr);
        // A seek while playing holds the busy flag over this call; the first fill must still
        // happen, or the new run would start with an empty buffer.
        SoundFill_(p, true, true);
    }
    TimerStart(p->stopwatch);
    QplayThread* thread = video ? new QplayThread(p) : nullptr;
    if (p->soundPlaying) {
        p->soundPlaying = DXABufPlay(p->buffer) ? 1 : 0;
        if (!video) thread = new QplayThread(p);
    }
    if (!p->soundPlaying) p->soundStopped = 1;
    if (thread) {
        p->thread = thread;
        thread->Resume();
    }
}

void HplStop(HplPlayer* p) {
    if (!p) return;
    if (p->videoPlaying) {
        p->videoStopped = 0;
        p->videoStop = 1;
    } else {
        p->videoStopped = 1;
    }
    if (p->soundPlaying) {
        p->soundStopped = 0;
        p->soundEnd = 1;
    } else {
        p->soundStopped = 1;
    }
    // The acknowledgements come first; the wait for the worker's exit makes sure that its
    // last steps (the final callback, the buffer's release) are over before the caller
    // reuses the player.
    for (int32_t waited = 0; !(p->videoStopped && p->soundStopped) && p->workers.load() > 0;
         ++waited) {
        if (waited >= HPL_WAIT_LIMIT_MS) {
            SetFailure_(p, "The playback thread does not answer.");
            return;
        }
        Sleep_(1);
    }
    WaitWorker_(p);
}

int32_t HplGetState(HplPlayer* p) {
    if (!p) return HPL_STOPPED;
    if (p->busy) return HPL_BUSY;
    return Playing_(p) ? HPL_PLAYING : HPL_STOPPED;
}

bool HplAtEnd(HplPlayer* p) {
    if (!p) return true;
    const bool videoDone = !p->videoPresent || !p->videoEnabled || p->curFrame == FrameCount_(p) - 1;
    const bool soundDone = !p->soundPresent || !p->soundEnabled ||
                           HplSamplesToTime(TotalSamples_(p) - p->basePos, SampleRate_(p)) < HPL_LATE;
    return videoDone && soundDone;
}

void HplSeek(HplPlayer* p, int32_t unit, double value) {
    if (!p) return;
    if (HplGetState(p) == HPL_PLAYING) {
        p->busy = 1;
        HplStop(p);
        MonitoredIsolated([&] { Reposition_(p, unit, value); });
        const bool moved = ErrNone();
        const std::string failure = moved ? std::string() : ErrLastText();
        HplPlay(p);
        p->busy = 0;
        if (!moved) SetFailure_(p, failure);
        return;
    }
    if (!WaitWorker_(p)) return;
    MonitoredIsolated([&] { Reposition_(p, unit, value); });
    SetResult_(p);
}

void HplSeekBy(HplPlayer* p, int32_t unit, double delta) {
    if (!p) return;
    const double pos = HplGetPos(p, unit);
    if (std::fabs(pos - BAD_HANDLE) < 0.0001) return;
    HplSeek(p, unit, pos + delta);
}

double HplGetPos(HplPlayer* p, int32_t unit) {
    if (!p) return BAD_HANDLE;
    const double rate = SampleRate_(p);
    const double frameTime = HplFrameTime(p, p->curFrame);
    switch (unit) {
        case HPL_UNIT_FRAMES: return p->videoPresent ? p->curFrame.load() : 0;
        case HPL_UNIT_SAMPLES: return Playing_(p) ? HplTimeToSamples(Now_(p), rate) : SoundPos_(p);
        case HPL_UNIT_SECONDS: {
            const bool video = p->videoPlaying != 0;
            const bool sound = p->soundPlaying != 0;
            if (video && sound) return std::max(Now_(p), frameTime);
            if (video) return frameTime;
            if (sound) return Now_(p);
            return std::max(HplSamplesToTime(SoundPos_(p), rate), frameTime);
        }
        default: return BAD_HANDLE;
    }
}

double HplGetActualRate(HplPlayer* p) { return p ? p->actualRate.load() : 0.0; }

bool HplGetResult(HplPlayer* p) { return p && p->ok != 0; }

std::string HplGetErrorText(HplPlayer* p) {
    if (!p) return std::string();
    std::lock_guard<std::mutex> lock(p->messageLock);
    return p->message;
}

void HplGetErrorText(HplPlayer* p, char* buffer, int32_t size) {
    if (!buffer || size <= 0) return;
    const std::string text = HplGetErrorText(p);
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    text.copy(buffer, n);
    buffer[n] = '\0';
}

void HplShowImage(HplPlayer* p, const Qimg& image) {
    if (p && p->display && ImgValid(image)) DspSetImage(p->display, image);
}

}  // namespace kelvora
