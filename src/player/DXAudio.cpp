#include "player/DXAudio.h"

#include <SDL.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/LazyLib.h"
#include "runtime/Basic.h"

namespace kelvora {

namespace {

constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT_ = 3;
constexpr int64_t MAX_RING_BYTES_ = 0x0FFFFFFF;  // the largest ring a sound buffer may hold

// Results of the device calls that can report a lost device.
enum class DevResult_ { ok, lost, failed };

// Module state. The window and the primary format are kept as given: SDL needs no window, and
// it opens each device in its own buffer's format, converting for the hardware as needed.
std::atomic<bool> gAvailable{false};
void* gWindow = nullptr;
QWaveFmt gPrimary{};
std::atomic<int32_t> gNextTimerId{1};
// Counts the successful DXAInit calls: a device opened before the output was shut down is gone,
// and SDL may give its number to another device later.
std::atomic<int32_t> gGeneration{0};
thread_local bool tOnTimerThread = false;

// Keeps what the sound libraries print while probing devices off the user's terminal: standard
// error goes to /dev/null for the lifetime of the object.
class QuietStderr_ {
public:
    QuietStderr_() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr_() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStderr_(const QuietStderr_&) = delete;
    QuietStderr_& operator=(const QuietStderr_&) = delete;

private:
    int saved_ = -1;
};

// The periodic timer: a thread that waits one period at a time until told to stop. Shared with
// the thread, so a timer stopped from inside its own filler outlives the sound buffer.
struct TimerCtl_ {
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
};

}  // namespace

struct DXASoundBuf {
    SDL_AudioDeviceID device = 0;
    int32_t generation = 0;  // gGeneration when the device was opened
    SDL_AudioSpec spec{};    // what the device was opened with (kept for a restore)
    std::vector<uint8_t> ring;
    uint32_t cursor = 0;           // play cursor in ring bytes, guarded by the device lock
    bool wide24 = false;           // 24-bit ring played as 32-bit device samples
    std::vector<uint8_t> scratch;  // 24-bit bytes on their way to the device
    std::atomic<int32_t> playing{0};
    std::thread timer;
    std::shared_ptr<TimerCtl_> timerCtl;
};

namespace {

// Copies `bytes` bytes of the ring from the play cursor on, wrapping, and advances the cursor.
void ReadRing_(DXASoundBuf& s, uint8_t* out, size_t bytes) {
    const size_t n = s.ring.size();
    while (bytes > 0) {
        const size_t run = std::min(bytes, n - s.cursor);
        std::memcpy(out, s.ring.data() + s.cursor, run);
        out += run;
        bytes -= run;
        s.cursor = static_cast<uint32_t>((s.cursor + run) % n);
    }
}

// The device callback (SDL holds the device lock around it): plays the ring in a loop.
void SDLCALL DeviceCallback_(void* user, Uint8* stream, int len) {
    DXASoundBuf& s = *static_cast<DXASoundBuf*>(user);
    if (len <= 0 || s.ring.empty()) return;
    if (!s.wide24) {
        ReadRing_(s, stream, static_cast<size_t>(len));
        return;
    }
    // 24-bit samples become the top three bytes of 32-bit ones.
    size_t samples = static_cast<size_t>(len) / 4;
    const size_t piece = s.scratch.size() / 3;
    while (samples > 0) {
        const size_t k = std::min(samples, piece);
        ReadRing_(s, s.scratch.data(), k * 3);
        for (size_t i = 0; i < k; ++i) {
            stream[4 * i] = 0;
            std::memcpy(stream + 4 * i + 1, s.scratch.data() + 3 * i, 3);
        }
        stream += 4 * k;
        samples -= k;
    }
}

// The device format for a wave format; false when the device cannot play it.
bool SpecOf_(const QWaveFmt& f, SDL_AudioSpec& spec, bool& wide24) {
    spec = SDL_AudioSpec{};
    wide24 = false;
    if (f.channels < 1 || f.channels > 8 || f.samplesPerSec < 1 || f.samplesPerSec > 1000000 ||
        f.blockAlign != f.channels * (f.bitsPerSample / 8) || f.bitsPerSample % 8 != 0)
        return false;
    if (f.formatTag == WAVE_FORMAT_PCM) {
        switch (f.bitsPerSample) {
            case 8: spec.format = AUDIO_U8; break;
            case 16: spec.format = AUDIO_S16LSB; break;
            case 24:
                spec.format = AUDIO_S32LSB;
                wide24 = true;
                break;
            case 32: spec.format = AUDIO_S32LSB; break;
            default: return false;
        }
    } else if (f.formatTag == WAVE_FORMAT_IEEE_FLOAT_ && f.bitsPerSample == 32) {
        spec.format = AUDIO_F32LSB;
    } else {
        return false;
    }
    spec.freq = static_cast<int>(f.samplesPerSec);
    spec.channels = static_cast<Uint8>(f.channels);
    return true;
}

// The buffer's device, or 0 (which SDL ignores) when it belongs to an earlier DXAInit.
SDL_AudioDeviceID Dev_(const DXASoundBuf& s) { return s.generation == gGeneration ? s.device : 0; }

bool OpenDevice_(DXASoundBuf& s) {
    SDL_AudioSpec want = s.spec;
    want.callback = DeviceCallback_;
    want.userdata = &s;
    QuietStderr_ quiet;
    // No changes allowed: SDL converts to whatever the hardware plays.
    s.device = gAvailable ? SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0) : 0;
    s.generation = gGeneration;
    return s.device != 0;
}

bool DeviceLost_(const DXASoundBuf& s) {
    return SDL_GetAudioDeviceStatus(Dev_(s)) == SDL_AUDIO_STOPPED;
}

DevResult_ GetCurrentPosition_(DXABuffer& buffer, int32_t& cursor) {
    DXASoundBuf* s = buffer.created ? buffer.sound : nullptr;
    if (!s) return DevResult_::failed;
    if (DeviceLost_(*s)) return DevResult_::lost;
    SDL_LockAudioDevice(Dev_(*s));
    cursor = static_cast<int32_t>(s->cursor);
    SDL_UnlockAudioDevice(Dev_(*s));
    return DevResult_::ok;
}

// The ring's one or two regions for `bytes` bytes from `offset`; on success the device stays
// locked until Unlock_.
struct Regions_ {
    uint8_t* first;
    int32_t firstLen;
    uint8_t* second;  // the wrap to the start of the ring, or null
    int32_t secondLen;
};

DevResult_ Lock_(DXABuffer& buffer, int32_t offset, int32_t bytes, Regions_& r) {
    DXASoundBuf* s = buffer.created ? buffer.sound : nullptr;
    const int32_t size = static_cast<int32_t>(s ? s->ring.size() : 0);
    if (!s || offset < 0 || offset >= size || bytes <= 0 || bytes > size) return DevResult_::failed;
    if (DeviceLost_(*s)) return DevResult_::lost;
    SDL_LockAudioDevice(Dev_(*s));
    r.first = s->ring.data() + offset;
    r.firstLen = std::min(bytes, size - offset);
    r.secondLen = bytes - r.firstLen;
    r.second = r.secondLen > 0 ? s->ring.data() : nullptr;
    return DevResult_::ok;
}

void Unlock_(DXABuffer& buffer) { SDL_UnlockAudioDevice(Dev_(*buffer.sound)); }

// _DXACallFiller: the filler runs only when it is not running already.
void CallFiller_(DXABuffer& buffer, int32_t argument) {
    const DXAFillerProc filler = buffer.filler.load();
    if (!filler) return;
    int32_t idle = 0;
    if (!buffer.inFiller.compare_exchange_strong(idle, 1)) return;
    try {
        filler(buffer.fillerUser, argument);
    } catch (...) {}
    buffer.inFiller.store(0);
}

// _DXAEventHandler on its own thread: one call per period, fixed rate.
void TimerRun_(DXABuffer* buffer, std::shared_ptr<TimerCtl_> ctl, int32_t period) {
    tOnTimerThread = true;
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(ctl->mu);
    for (;;) {
        next += std::chrono::milliseconds(period);
        if (ctl->cv.wait_until(lock, next, [&] { return ctl->stop; })) break;
        lock.unlock();
        CallFiller_(*buffer, 0);
        lock.lock();
    }
}

void EventKill_(DXABuffer& buffer) {
    DXASoundBuf* s = buffer.sound;
    if (s && s->timerCtl) {
        {
            std::lock_guard<std::mutex> lock(s->timerCtl->mu);
            s->timerCtl->stop = true;
        }
        s->timerCtl->cv.notify_all();
        // Stopped from inside its own filler: the thread ends by itself once the filler returns.
        if (s->timer.get_id() == std::this_thread::get_id())
            s->timer.detach();
        else if (s->timer.joinable())
            s->timer.join();
        s->timerCtl.reset();
    }
    buffer.timerId = 0;
}

void EventSetup_(DXABuffer& buffer) {
    EventKill_(buffer);
    if (buffer.timerPeriod <= 0) return;  // no period: no timer, as a zero-period event fails
    DXASoundBuf& s = *buffer.sound;
    s.timerCtl = std::make_shared<TimerCtl_>();
    s.timer = std::thread(TimerRun_, &buffer, s.timerCtl, buffer.timerPeriod);
    buffer.timerId = gNextTimerId.fetch_add(1);
}

int32_t InUnit_(const DXABuffer& buffer, int32_t bytes, int32_t unit) {
    if (unit != DXA_UNIT_FRAMES) return bytes;
    return buffer.format.blockAlign > 0 ? bytes / buffer.format.blockAlign : 0;
}

}  // namespace

bool DXAInit(void* window) {
    if (gAvailable) DXADone();
    gWindow = window;
    // Without SDL2 on the system the player plays silently, as without a sound device.
    std::string why;
    if (!LazyLibLoad("libSDL2", why)) return false;
    // SDL must not take over the process's signals; the player is a Qt program.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Kelvora");
    bool ok = false;
    {
        QuietStderr_ quiet;
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
            // A driver can load with no device behind it: a default device must open.
            SDL_AudioSpec want{};
            want.freq = 44100;
            want.format = AUDIO_S16LSB;
            want.channels = 2;
            want.samples = 1024;
            const SDL_AudioDeviceID probe = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
            ok = probe != 0;
            if (ok) {
                SDL_CloseAudioDevice(probe);
                ++gGeneration;
            } else
                SDL_QuitSubSystem(SDL_INIT_AUDIO);
        }
    }
    gAvailable = ok;
    return ok;
}

void DXADone() {
    if (!gAvailable) return;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    gAvailable = false;
}

bool DXAAvailable() { return gAvailable; }

bool DXASetPrimaryFormat(const QWaveFmt& format) {
    SDL_AudioSpec spec;
    bool wide24;
    if (!gAvailable || !SpecOf_(format, spec, wide24)) return false;
    gPrimary = format;
    return true;
}

void DXABufReset(DXABuffer& buffer) {
    buffer.sound = nullptr;
    buffer.created = 0;
    buffer.filler.store(nullptr);
    buffer.inFiller.store(0);
}

bool DXABufCreate(DXABuffer& buffer, const QWaveFmt& format, double seconds) {
    // A buffer still created would otherwise be lost with its device and timer.
    if (buffer.created) DXABufDestroy(buffer);
    DXABufReset(buffer);
    buffer.format = format;
    buffer.length = seconds;
    const double rate = format.samplesPerSec;
    const double align = format.blockAlign;
    const double bytes = (seconds > 0 && rate > 0 && align > 0) ? seconds * rate * align : 0;
    int64_t size = bytes < static_cast<double>(MAX_RING_BYTES_) ? static_cast<int64_t>(bytes) : 0;
    // Whole sample frames only: a partial frame at the end would shift the channels at the wrap.
    if (align > 0) size -= size % format.blockAlign;
    buffer.size = static_cast<int32_t>(size);

    auto s = std::make_unique<DXASoundBuf>();
    bool ok = gAvailable && size > 0 && SpecOf_(format, s->spec, s->wide24);
    if (ok) {
        s->ring.assign(static_cast<size_t>(size), format.bitsPerSample == 8 ? 0x80 : 0);
        // Device pieces of at most about 20 ms and a quarter of the ring: the play cursor, which
        // moves a piece at a time, then stays close to what is heard. Powers of two only: SDL
        // re-blocks other sizes through a stream, and its timer-paced drivers then drift.
        const int64_t frames = size / format.blockAlign;
        uint16_t samples = 1024;
        while (samples > 64 &&
               (int64_t{samples} * 4 > frames || samples * 50.0 > format.samplesPerSec))
            samples /= 2;
        if (s->wide24) s->scratch.resize(3 * 1024);
        ok = OpenDevice_(*s);
    }
    if (ok) {
        buffer.sound = s.release();
        buffer.created = 1;
    }
    buffer.fillerUser = BAD_HANDLE;
    buffer.timerId = 0;
    buffer.timerPeriod = static_cast<int32_t>(seconds * 1000 * 0.25);
    DXABufClear(buffer);
    return ok;
}

void DXABufDestroy(DXABuffer& buffer) {
    if (!buffer.created || !buffer.sound) return;
    DXABufStop(buffer);
    // The filler may be running on the timer thread (unless this is that thread).
    while (!tOnTimerThread && (buffer.inFiller.load() || (DXABufStatus(buffer) & DXA_STATUS_PLAYING)))
        std::this_thread::yield();
    SDL_CloseAudioDevice(Dev_(*buffer.sound));
    delete buffer.sound;
    DXABufReset(buffer);
}

void DXABufSetFiller(DXABuffer& buffer, DXAFillerProc filler) { buffer.filler.store(filler); }

bool DXABufIsCreated(const DXABuffer& buffer) { return buffer.created != 0; }

bool DXABufPlay(DXABuffer& buffer) {
    DXASoundBuf* s = buffer.created ? buffer.sound : nullptr;
    if (!s || DeviceLost_(*s)) return false;
    SDL_PauseAudioDevice(Dev_(*s), 0);
    s->playing = 1;
    EventSetup_(buffer);
    return true;
}

bool DXABufStop(DXABuffer& buffer) {
    DXASoundBuf* s = buffer.created ? buffer.sound : nullptr;
    if (!s) return true;
    SDL_PauseAudioDevice(Dev_(*s), 1);
    s->playing = 0;
    EventKill_(buffer);
    DXABufClear(buffer);
    return true;
}

bool DXABufRestore(DXABuffer& buffer) {
    DXASoundBuf* s = buffer.created ? buffer.sound : nullptr;
    if (!s) return false;
    if (!DeviceLost_(*s)) return true;
    // The device went away: open it again with the same format, keeping the ring and cursor.
    SDL_CloseAudioDevice(Dev_(*s));
    s->device = 0;
    if (!OpenDevice_(*s)) return false;
    if (s->playing) SDL_PauseAudioDevice(s->device, 0);
    return true;
}

int32_t DXABufStatus(DXABuffer& buffer) {
    DXASoundBuf* s = buffer.created ? buffer.sound : nullptr;
    if (!s) return DXA_STATUS_FAILED;
    if (DeviceLost_(*s)) return DXA_STATUS_LOST;
    return s->playing ? DXA_STATUS_LOOPING + DXA_STATUS_PLAYING : 0;
}

int32_t DXABufClear(DXABuffer& buffer) {
    DXASoundBuf* s = buffer.created ? buffer.sound : nullptr;
    if (s) {
        SDL_LockAudioDevice(Dev_(*s));
        s->cursor = 0;
        SDL_UnlockAudioDevice(Dev_(*s));
    }
    buffer.writePos = -1;
    return 0;
}

int32_t DXABufGetTotalSize(const DXABuffer& buffer, int32_t unit) {
    if (unit != DXA_UNIT_BYTES && unit != DXA_UNIT_FRAMES) return 0;
    return InUnit_(buffer, buffer.size, unit);
}

int32_t DXABufGetFreeSize(DXABuffer& buffer, int32_t unit) {
    if (buffer.writePos == -1) return InUnit_(buffer, buffer.size, unit);
    int32_t play = 0;
    DevResult_ r = GetCurrentPosition_(buffer, play);
    if (r == DevResult_::lost) {
        if (!DXABufRestore(buffer)) return 0;
        r = GetCurrentPosition_(buffer, play);
    }
    if (r != DevResult_::ok) return 0;
    const int32_t w = buffer.writePos;
    const int32_t free = w > play ? buffer.size - (w - play) : play - w;
    return InUnit_(buffer, free, unit);
}

bool DXABufFill(DXABuffer& buffer, int32_t count, const void* data) {
    const int64_t align = buffer.format.blockAlign;
    int64_t bytes = (count > 0 && align > 0) ? int64_t{count} * align : 0;
    bytes = std::clamp<int64_t>(bytes, 0, std::max(buffer.size, 0));
    if (bytes <= 0) return true;
    // An emptied ring is written from its start; the position is stored only on success.
    const int32_t at = std::clamp(buffer.writePos, 0, buffer.size - 1);
    Regions_ r;
    DevResult_ lock = Lock_(buffer, at, static_cast<int32_t>(bytes), r);
    if (lock == DevResult_::lost) {
        if (!DXABufRestore(buffer)) return false;
        lock = Lock_(buffer, at, static_cast<int32_t>(bytes), r);
    }
    if (lock != DevResult_::ok) return false;
    const uint8_t* src = static_cast<const uint8_t*>(data);
    std::memcpy(r.first, src, static_cast<size_t>(r.firstLen));
    if (r.second) std::memcpy(r.second, src + r.firstLen, static_cast<size_t>(r.secondLen));
    Unlock_(buffer);
    buffer.writePos = static_cast<int32_t>((at + bytes) % buffer.size);
    return true;
}

bool DXABufGetPlayCursor(DXABuffer& buffer, int32_t& cursor) {
    return GetCurrentPosition_(buffer, cursor) == DevResult_::ok;
}

}  // namespace kelvora
