#include "kelvora-cli-play.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "kelvora-cli-hav.h"
#include "player/HplMain.h"
#include "runtime/miscprocs.h"

namespace kelvora {

const char* const kCliPlayUsage =
    "  play FILE [--audio=none] [--every-frame] [--fps R] [--seek S]\n"
    "      plays FILE through the player without a window, printing the time, the frame and\n"
    "      the measured frame rate five times a second; --audio=none plays silently,\n"
    "      --every-frame never skips a late frame, --fps sets the frame rate, --seek starts\n"
    "      S seconds in. Ctrl+C stops.\n";

namespace {

std::atomic<int> gInterrupted{0};

int Usage_(const std::string& why) {
    std::fprintf(stderr, "kelvora-cli: %s\n\n%s", why.c_str(), kCliPlayUsage);
    return 2;
}

extern "C" void OnInterrupt_(int) { gInterrupted = 1; }

bool ParseSeconds_(const std::string& text, double low, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && value == value && value >= low && value <= 1e9;
}

void PrintStatus_(HplPlayer* p, double duration, int32_t frames) {
    const double t = HplGetPos(p, HPL_UNIT_SECONDS);
    std::printf("time %s / %s  frame %d / %d  %.2f fps\n", SecToStr(23, t).c_str(),
                SecToStr(23, duration).c_str(), static_cast<int>(HplGetPos(p, HPL_UNIT_FRAMES)) + 1,
                frames, HplGetActualRate(p));
    std::fflush(stdout);
}

// How far apart picture and sound get: at each frame shown while both play, the distance between
// the frame's time and the clock the sound is written against. The engine moves its frame number
// on to the next frame to load before it shows the one it holds, so the frame shown is the
// number seen at the callback before.
struct SyncWatch_ {
    int32_t lastFrame = -1;
    double worst = -1;  // seconds; below 0 while picture and sound never played together
};

void WatchSync_(HplPlayer* p, void* user) {
    auto& w = *static_cast<SyncWatch_*>(user);
    const int32_t frame = p->curFrame.load();
    const double rate = p->info.snd.rate;
    if (!p->videoPlaying || !p->soundPlaying || rate <= 0 || frame == w.lastFrame) return;
    if (w.lastFrame >= 0) {
        // The frame's time in the file, its own where the movie keeps them: not the engine's
        // schedule, which is what is being checked.
        const double own = UniFrameTime(p->handle, w.lastFrame + 1);
        const double due = own >= 0 && p->frameRate > 0 ? own * p->info.img.frameRate / p->frameRate
                                                        : HplFrameToTime(w.lastFrame, p->frameRate);
        const double gap = HplGetPos(p, HPL_UNIT_SAMPLES) / rate - due;
        w.worst = std::max(w.worst, std::fabs(gap));
    }
    w.lastFrame = frame;
}

}  // namespace

int CliPlay(const std::vector<std::string>& args) {
    std::string file;
    bool silent = false;
    bool everyFrame = false;
    double fps = 0;
    double seek = 0;
    bool haveFps = false, haveSeek = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--audio=none") {
            silent = true;
        } else if (a == "--every-frame") {
            everyFrame = true;
        } else if (a == "--fps" || a == "--seek") {
            if (i + 1 >= args.size()) return Usage_(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "--fps" && !(ParseSeconds_(v, 0.001, fps) && fps <= 1000000))
                return Usage_("bad frame rate '" + v + "'");
            if (a == "--seek" && !ParseSeconds_(v, 0, seek))
                return Usage_("bad position '" + v + "'");
            (a == "--fps" ? haveFps : haveSeek) = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage_("unknown option '" + a + "'");
        } else if (file.empty()) {
            file = a;
        } else {
            return Usage_("play takes one file");
        }
    }
    if (file.empty()) return Usage_("play needs a file");

    // Silent play needs no sound device: the dummy driver stands in and the sound stream stays off.
    if (silent) setenv("SDL_AUDIODRIVER", "dummy", 1);
    HplPlayer* p = HplCreate(nullptr);
    if (!p) return 1;
    std::signal(SIGINT, OnInterrupt_);
    std::signal(SIGTERM, OnInterrupt_);
    HplSetDisplay(p, nullptr, 0, 0, 0, 0);
    int status = 0;
    // The count covers the frame shown at the starting place (by the open, or by the seek) and
    // every frame the run shows after it; counting from the run's start would lose the frames
    // the worker shows before the count is read, and a one-frame movie would show none.
    const auto handedOver = [p] { return p->display ? p->display->frames.load() : 0; };
    int32_t shown0 = handedOver();
    HplOpen(p, file);
    if (!HplGetResult(p)) {
        status = CliFail(HplGetErrorText(p));
    } else {
        QUniInfo info;
        HplGetInfo(p, info);
        HplSetEveryFrame(p, everyFrame ? 1 : 0);
        // Stills and numbered sequences play at 15 frames per second unless told otherwise.
        const double rate = haveFps ? fps : (info.kind == UNI_MOVIE ? p->frameRate : 15.0);
        HplSetFrameRate(p, rate);
        HplSetStreams(p, true, !silent);
        const double video = rate > 0 ? info.img.frames / rate : 0.0;  // sound files: no frames
        const double duration = std::max(video, info.snd.duration);
        if (haveSeek) {
            const int32_t beforeSeek = handedOver();
            HplSeek(p, HPL_UNIT_SECONDS, seek);
            // A seek that moved shows its frame; one that stayed keeps the open's.
            if (handedOver() != beforeSeek) shown0 = beforeSeek;
        }
        SyncWatch_ sync;
        HplSetCallback(p, WatchSync_, &sync);
        const auto start = std::chrono::steady_clock::now();
        HplPlay(p);
        while (HplGetState(p) != HPL_STOPPED && !gInterrupted) {
            PrintStatus_(p, duration, info.img.frames);
            for (int i = 0; i < 20 && HplGetState(p) != HPL_STOPPED && !gInterrupted; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        HplStop(p);
        PrintStatus_(p, duration, info.img.frames);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const int32_t shown = handedOver() - shown0;
        HplSetCallback(p, nullptr, nullptr);
        std::printf("%d frames shown in %.2f s\n", shown, seconds);
        if (sync.worst >= 0)
            std::printf("picture and sound at most %.0f ms apart\n", sync.worst * 1000);
        if (gInterrupted)
            status = 130;
        else if (!HplGetResult(p))
            status = CliFail(HplGetErrorText(p));
    }
    HplDestroy(p);
    HplDone();
    return status;
}

}  // namespace kelvora
