#include "player/HplMain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "formats/ConFormStill.h"
#include "formats/FFWrite.h"
#include "formats/HavWriter.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using Clock = std::chrono::steady_clock;

namespace {

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// A movie whose frame k carries k in its first pixel (blue low byte, green high byte), with
// `soundSeconds` of a 16-bit mono tone.
void MakeMovie(const std::string& path, int32_t frames, double fps, double soundSeconds = 0,
               uint32_t rate = 22050, int32_t key = 5, int32_t w = 16, int32_t h = 8) {
    const QWaveFmt format{WAVE_FORMAT_PCM, 1, rate, rate * 2, 2, 16, 0};
    Qimg img{};
    MonitoredIsolated([&] {
        QHavWriter wr;
        HAVCreate(wr, path, w, h, 3, HAV_CODEC_BESTP, key, fps, soundSeconds > 0 ? &format : nullptr);
        _imgalloc_(img, w, h, "PlayerTest.img", __LINE__, 24);
        for (int32_t k = 0; k < frames; ++k) {
            std::memset(img.data, 0x40, static_cast<size_t>(img.size));
            img.data[0] = static_cast<uint8_t>(k & 0xFF);
            img.data[1] = static_cast<uint8_t>(k >> 8);
            HAVAddFrame(wr, img);
        }
        const int32_t samples = static_cast<int32_t>(soundSeconds * rate);
        std::vector<int16_t> pcm(static_cast<size_t>(samples));
        for (int32_t i = 0; i < samples; ++i)
            pcm[static_cast<size_t>(i)] = static_cast<int16_t>(3000 * std::sin(i * 0.05));
        if (samples > 0) HAVAddSound(wr, reinterpret_cast<const uint8_t*>(pcm.data()), samples);
        HAVWriterClose(wr);
    });
    ImgFree(img);
    ASSERT_TRUE(ErrNone()) << ErrLastText();
}

// What the callback saw: the frames the display received, in order, and the state.
struct Watch {
    std::mutex lock;
    std::vector<int32_t> shown;
    // Read by the test while the worker calls back: atomic, not only under the lock.
    std::atomic<int32_t> calls{0};
    std::atomic<int32_t> stoppedCalls{0};
    int32_t slowFrame = -1;  // the callback sleeps 150 ms after showing this frame
    double worstLead = 0;    // sound played ahead of (behind) the clock: the extremes seen
    double worstLag = 0;
    double writtenLow = 1e9;  // sound written beyond the clock: the extremes seen
    double writtenHigh = -1e9;
};

void OnPlay(HplPlayer* p, void* user) {
    auto* w = static_cast<Watch*>(user);
    Qimg img{};
    DspGetImage(p->display, img);
    int32_t index = -1;
    if (ImgValid(img) && img.size >= 2) index = img.data[0] | (img.data[1] << 8);
    ImgFree(img);
    bool slow = false;
    {
        std::lock_guard<std::mutex> guard(w->lock);
        ++w->calls;
        if (HplGetState(p) == HPL_STOPPED) ++w->stoppedCalls;
        if (p->videoPlaying && index >= 0 && (w->shown.empty() || w->shown.back() != index))
            w->shown.push_back(index);
        slow = index == w->slowFrame;
        // On the worker, while sound plays: what was written minus what still waits in the
        // ring is what the device has played, and that must follow the clock.
        if (p->soundPlaying && p->workers > 0 && DXABufIsCreated(p->buffer)) {
            kelvora::QTimer t = p->stopwatch;
            const double now = p->playStart + TimerElapsed(t);
            const double waiting = DXABufGetTotalSize(p->buffer, DXA_UNIT_FRAMES) -
                                   DXABufGetFreeSize(p->buffer, DXA_UNIT_FRAMES);
            const double played = p->queuedUntil - waiting / p->buffer.format.samplesPerSec;
            w->worstLead = std::max(w->worstLead, played - now);
            w->worstLag = std::min(w->worstLag, played - now);
            w->writtenLow = std::min(w->writtenLow, p->queuedUntil - now);
            w->writtenHigh = std::max(w->writtenHigh, p->queuedUntil - now);
        }
    }
    if (slow) Sleep(150);
}

struct PlayerTest : test::RegisterBalanceTest {
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        RegisterBalanceTest::SetUp();
        p = HplCreate(nullptr);
        ASSERT_NE(p, nullptr);
        // The engine opens the output with its first sound run; opened here, the tests can
        // tell at once whether sound will play (HplDone closes it).
        DXAInit(nullptr);
        HplSetDisplay(p, nullptr, 0, 0, 16, 8);
        HplSetCallback(p, OnPlay, &watch);
    }
    void TearDown() override {
        HplDestroy(p);
        EXPECT_EQ(p, nullptr);
        HplDone();
        EXPECT_EQ(QplayThread::Running(), 0);
        RegisterBalanceTest::TearDown();
    }
    // Waits until the player stops by itself; false after `limit` seconds.
    bool WaitStopped(double limit) {
        const auto start = Clock::now();
        while (HplGetState(p) != HPL_STOPPED || p->workers > 0) {
            if (Seconds(start) > limit) return false;
            Sleep(5);
        }
        return true;
    }
    test::TempDir dir;
    HplPlayer* p = nullptr;
    Watch watch;
};

}  // namespace

TEST(PlayerConversions, TruncateAndRefuseNonPositiveOperands) {
    EXPECT_EQ(HplFrameToSamples(3, 44100, 29.97), 4414);  // 4414.41...
    EXPECT_EQ(HplSamplesToFrame(4414, 29.97, 44100), 2);  // 2.9997...
    EXPECT_EQ(HplTimeToFrame(0.999, 10), 9);
    EXPECT_EQ(HplTimeToSamples(0.5, 44100), 22050);
    EXPECT_DOUBLE_EQ(HplFrameToTime(3, 4), 0.75);
    EXPECT_DOUBLE_EQ(HplSamplesToTime(11025, 22050), 0.5);
    EXPECT_EQ(HplFrameToSamples(-1, 44100, 25), 0);
    EXPECT_EQ(HplFrameToSamples(5, 44100, 0), 0);
    EXPECT_EQ(HplTimeToFrame(1e12, 25), INT32_MAX);
    EXPECT_EQ(HplSamplesToTime(100, 0), 0.0);
}

TEST_F(PlayerTest, MissingAndUnsupportedFilesReportTheNameAsGiven) {
    const std::string missing = dir.file("no such clip.hav");
    HplOpen(p, missing);
    EXPECT_FALSE(HplGetResult(p));
    EXPECT_EQ(HplGetErrorText(p), "File \"" + missing + "\" does not exist.");
    EXPECT_FALSE(HplIsOpen(p));

    const std::string text = dir.file("notes.hav");
    test::WriteFileBytes(text, "not a movie at all");
    HplOpen(p, text);
    EXPECT_EQ(HplGetErrorText(p), "File \"" + text + "\" is not supported.");
    char small[8];
    HplGetErrorText(p, small, sizeof small);
    EXPECT_STREQ(small, "File \"/");
}

TEST_F(PlayerTest, OpenShowsTheFirstFrameAndPositionsConvert) {
    MakeMovie(dir.file("m.hav"), 20, 10, 2.0);
    HplOpen(p, dir.file("m.hav"));
    ASSERT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    EXPECT_EQ(p->display->frames.load(), 1);
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 0);
    HplSeek(p, HPL_UNIT_SECONDS, 1.05);
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 10);
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_SAMPLES), 23152);  // trunc(1.05 x 22050)
    HplSeek(p, HPL_UNIT_FRAMES, 1000);                 // clamped to the last frame
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 19);
    HplSeekBy(p, HPL_UNIT_FRAMES, -4);
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 15);
    HplSeekBy(p, 7, 3);  // unknown unit: nothing
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 15);
    EXPECT_EQ(HplGetPos(p, 7), BAD_HANDLE);
    Qimg img{};
    DspGetImage(p->display, img);
    EXPECT_EQ(img.data[0], 15);
    ImgFree(img);
}

TEST_F(PlayerTest, ShowImageHandsTheCallersPictureToTheDisplay) {
    Qimg logo{};
    _imgalloc_(logo, 4, 2, "PlayerTest.logo", __LINE__, 24);
    logo.data[0] = 0x5A;
    HplShowImage(p, logo);
    Qimg shown{};
    DspGetImage(p->display, shown);
    ASSERT_TRUE(ImgValid(shown));
    EXPECT_EQ(shown.width, 4);
    EXPECT_EQ(shown.data[0], 0x5A);
    ImgFree(shown);
    ImgFree(logo);
}

TEST_F(PlayerTest, AMovieWithoutAFrameRatePlaysAtThirty) {
    MakeMovie(dir.file("norate.hav"), 3, 0.0);
    HplOpen(p, dir.file("norate.hav"));
    ASSERT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    QUniInfo info;
    HplGetInfo(p, info);
    EXPECT_EQ(info.img.frameRate, 30.0);
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_SECONDS), 0.0);
    HplSeek(p, HPL_UNIT_SECONDS, 0.05);  // 1.5 frames at 30 per second
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 1);
}

TEST_F(PlayerTest, OneFrameMoviesAndTheLastFrameDoNotPlay) {
    MakeMovie(dir.file("one.hav"), 1, 10);
    HplOpen(p, dir.file("one.hav"));
    ASSERT_TRUE(HplGetResult(p));
    HplPlay(p);
    EXPECT_EQ(HplGetState(p), HPL_STOPPED);
    EXPECT_EQ(watch.calls, 1);  // told at once

    MakeMovie(dir.file("five.hav"), 5, 10);
    HplOpen(p, dir.file("five.hav"));
    HplSeek(p, HPL_UNIT_FRAMES, 4);
    HplPlay(p);
    EXPECT_EQ(HplGetState(p), HPL_STOPPED);
    EXPECT_TRUE(HplAtEnd(p));
}

// Opening files and silent runs leave the sound system alone: the output opens with the first
// run that plays sound.
TEST_F(PlayerTest, SoundOutputOpensWithTheFirstRunThatPlaysSound) {
    DXADone();
    MakeMovie(dir.file("tone.hav"), 4, 20, 0.2);
    HplOpen(p, dir.file("tone.hav"));
    ASSERT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    HplSetStreams(p, true, false);
    HplPlay(p);
    ASSERT_TRUE(WaitStopped(5));
    EXPECT_FALSE(DXAAvailable());
    HplSeek(p, HPL_UNIT_FRAMES, 0);
    HplSetStreams(p, true, true);
    HplPlay(p);
    EXPECT_TRUE(DXAAvailable());
    ASSERT_TRUE(WaitStopped(5));
}

TEST_F(PlayerTest, SoundNearItsEndDoesNotStartAndOddRatesPlayOneSlower) {
    if (!DXAAvailable()) GTEST_SKIP() << "no SDL audio driver";
    MakeMovie(dir.file("odd.hav"), 10, 10, 1.0, 11025);
    HplOpen(p, dir.file("odd.hav"));
    ASSERT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    const int32_t total = p->info.snd.soundSamples;
    HplSeek(p, HPL_UNIT_SAMPLES, total - 100);  // the last frame, and sound within 256 of its end
    HplPlay(p);
    EXPECT_EQ(HplGetState(p), HPL_STOPPED);
    HplSeek(p, HPL_UNIT_SAMPLES, total - 3000);
    HplPlay(p);
    EXPECT_EQ(HplGetState(p), HPL_PLAYING);
    EXPECT_EQ(p->buffer.format.samplesPerSec, 11024u);
    EXPECT_EQ(DXABufGetTotalSize(p->buffer, DXA_UNIT_FRAMES), 5512);
    ASSERT_TRUE(WaitStopped(3));
    EXPECT_TRUE(HplAtEnd(p));
}

TEST_F(PlayerTest, LateFramesJumpUnlessEveryFrameIsShown) {
    MakeMovie(dir.file("late.hav"), 40, 100);
    HplOpen(p, dir.file("late.hav"));
    watch.slowFrame = 5;
    HplPlay(p);
    ASSERT_TRUE(WaitStopped(5));
    // After the 150 ms stall the video jumps ahead to a key frame (multiples of 5).
    bool jumped = false;
    for (size_t i = 1; i < watch.shown.size(); ++i) {
        ASSERT_LT(watch.shown[i - 1], watch.shown[i]);
        if (watch.shown[i] - watch.shown[i - 1] > 1) {
            jumped = true;
            EXPECT_EQ(watch.shown[i] % 5, 0);
        }
    }
    EXPECT_TRUE(jumped);
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 39);

    watch.shown.clear();
    HplSeek(p, HPL_UNIT_FRAMES, 0);
    HplSetEveryFrame(p, 1);
    HplPlay(p);
    ASSERT_TRUE(WaitStopped(5));
    ASSERT_EQ(watch.shown.size(), 39u);  // 0..38 while playing; 39 shown as the run ends
    for (int32_t k = 0; k < 39; ++k) EXPECT_EQ(watch.shown[static_cast<size_t>(k)], k);
}

TEST_F(PlayerTest, StopRequestsAreSeenWithinOneSleepStep) {
    MakeMovie(dir.file("slow.hav"), 10, 0.5, 0);  // a frame every two seconds, no sound
    HplOpen(p, dir.file("slow.hav"));
    HplPlay(p);
    Sleep(100);
    auto start = Clock::now();
    HplStop(p);
    EXPECT_LT(Seconds(start), 0.1);
    EXPECT_EQ(HplGetState(p), HPL_STOPPED);

    if (!DXAAvailable()) return;
    MakeMovie(dir.file("tone.hav"), 10, 0.5, 20.0);
    HplOpen(p, dir.file("tone.hav"));
    // The video waits in steps of at most 62 ms while sound plays, the sound loop in steps of
    // at most 118 ms; closing the sound device adds its own piece of time.
    HplPlay(p);
    Sleep(300);
    start = Clock::now();
    HplStop(p);
    EXPECT_LT(Seconds(start), 0.062 + 0.1);
    HplSetStreams(p, false, true);  // the sound loop alone
    HplPlay(p);
    Sleep(300);
    start = Clock::now();
    HplStop(p);
    EXPECT_LT(Seconds(start), 0.118 + 0.1);
    EXPECT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
}

TEST_F(PlayerTest, SoundOutlastsTheVideoAndTheRunEndsOnce) {
    if (!DXAAvailable()) GTEST_SKIP() << "no SDL audio driver";
    MakeMovie(dir.file("tail.hav"), 5, 25, 1.0);
    HplOpen(p, dir.file("tail.hav"));
    const auto start = Clock::now();
    HplPlay(p);
    Sleep(500);
    EXPECT_EQ(HplGetState(p), HPL_PLAYING);  // the pictures ended at 0.2 s
    const int32_t callsAtHalf = watch.calls;
    ASSERT_TRUE(WaitStopped(3));
    EXPECT_GT(Seconds(start), 0.9);
    EXPECT_GT(watch.calls, callsAtHalf);
    EXPECT_EQ(watch.stoppedCalls, 1);
    EXPECT_TRUE(HplAtEnd(p));
    EXPECT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
}

// The whole road: a 10-second movie with sound played from start to end with a pause, a
// resume and a seek while playing; frames in order, sound keeping pace, nothing left behind.
TEST_F(PlayerTest, TenSecondMovieWithSoundPlaysThroughPauseSeekAndResume) {
    // 16 kHz: the dummy driver's 256-frame pieces then last a whole number of milliseconds,
    // so that it plays in real time as a sound card does.
    MakeMovie(dir.file("ten.hav"), 250, 25, 10.0, 16000, 25, 64, 48);
    HplOpen(p, dir.file("ten.hav"));
    ASSERT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    HplPlay(p);
    Sleep(1500);
    HplStop(p);  // pause
    EXPECT_EQ(HplGetState(p), HPL_STOPPED);
    const double paused = HplGetPos(p, HPL_UNIT_SECONDS);
    EXPECT_NEAR(paused, 1.5, 0.3);
    const int32_t pausedFrame = static_cast<int32_t>(HplGetPos(p, HPL_UNIT_FRAMES));
    Sleep(200);
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), pausedFrame);  // nothing moves while paused

    HplPlay(p);  // resume where it stopped
    Sleep(700);
    EXPECT_EQ(HplGetState(p), HPL_PLAYING);
    HplSeek(p, HPL_UNIT_SECONDS, 7.0);  // seek while playing
    EXPECT_EQ(HplGetState(p), HPL_PLAYING);
    EXPECT_GE(HplGetPos(p, HPL_UNIT_SECONDS), 7.0);
    ASSERT_TRUE(WaitStopped(6));
    EXPECT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    EXPECT_TRUE(HplAtEnd(p));
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), 249);

    // Frames in order within each run, the three runs one after another.
    ASSERT_GT(watch.shown.size(), 100u);
    int32_t backward = 0;
    for (size_t i = 1; i < watch.shown.size(); ++i)
        if (watch.shown[i] <= watch.shown[i - 1]) ++backward;
    EXPECT_EQ(backward, 0) << "frames shown out of order";
    if (DXAAvailable()) {
        // The device takes up to four 16 ms pieces ahead of what it plays (and the dummy driver
        // falls behind as much when the machine is busy): that much leeway on top of 40 ms.
        const double device = 4 * 0.016;
        // The engine: the sound written never falls behind the clock (the output never runs
        // dry) and never runs further ahead than the half-second buffer.
        EXPECT_GE(watch.writtenLow, -0.04) << "the output ran dry";
        EXPECT_LE(watch.writtenHigh, HPL_BUFFER_SECONDS + 0.04 + device)
            << "more sound written than the buffer holds";
        // The device: what it has taken follows the clock.
        EXPECT_GE(watch.worstLag, -0.04 - device) << "the sound fell behind the clock";
        EXPECT_LE(watch.worstLead, 0.04 + device) << "the sound ran ahead of the clock";
    }
    Qimg last{};
    DspGetImage(p->display, last);
    EXPECT_EQ(last.data[0] | (last.data[1] << 8), 249);
    ImgFree(last);
}

// Sound files play to their end through the engine, the sound following the clock as a movie's
// does: a PCM WAV and, when oggenc is there, the same sound as Ogg Vorbis.
TEST_F(PlayerTest, SoundFilesPlayToTheEndFollowingTheClock) {
    const uint32_t rate = 16000;  // the dummy driver then plays in real time (see above)
    const QWaveFmt format{WAVE_FORMAT_PCM, 1, rate, rate * 2, 2, 16, 0};
    std::vector<int16_t> pcm(rate * 2);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 0.07));
    QWavWriter w{BAD_HANDLE, {}, 0};
    MonitoredIsolated([&] {
        WAVWriterCreate(w, dir.file("tone.wav"), format);
        WAVWriterAdd(w, reinterpret_cast<const uint8_t*>(pcm.data()),
                     static_cast<int32_t>(pcm.size()));
        WAVWriterClose(w);
    });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    std::vector<std::string> files{dir.file("tone.wav")};
    if (test::HaveTools({"oggenc"}) &&
        test::RunQuiet("oggenc -Q -o '" + dir.file("tone.ogg") + "' '" + dir.file("tone.wav") + "'"))
        files.push_back(dir.file("tone.ogg"));
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        watch.worstLead = watch.worstLag = 0;
        watch.writtenLow = 1e9;
        watch.writtenHigh = -1e9;
        HplOpen(p, file);
        ASSERT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
        const auto start = Clock::now();
        HplPlay(p);
        ASSERT_TRUE(WaitStopped(6));
        EXPECT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
        EXPECT_TRUE(HplAtEnd(p));
        EXPECT_NEAR(HplGetPos(p, HPL_UNIT_SECONDS), 2.0, 0.05);
        if (DXAAvailable()) {
            EXPECT_GE(Seconds(start), 1.9);  // played in real time, not raced through
            const double device = 4 * 0.016;
            EXPECT_GE(watch.writtenLow, -0.04) << "the output ran dry";
            EXPECT_LE(watch.writtenHigh, HPL_BUFFER_SECONDS + 0.04 + device);
            EXPECT_GE(watch.worstLag, -0.04 - device) << "the sound fell behind the clock";
            EXPECT_LE(watch.worstLead, 0.04 + device) << "the sound ran ahead of the clock";
        }
    }
}

// A movie made by ffmpeg plays to its end through the engine: pictures shown, the sound
// written and played following the clock. `args` make the movie `name` from a 2-second test
// picture and a 16 kHz tone (the dummy driver then plays in real time, see above).
void PlaysFollowingTheClock(PlayerTest& t, const std::string& name, const std::string& args) {
    if (!test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the movie";
    const std::string path = t.dir.file(name);
    ASSERT_TRUE(test::RunQuiet(
        "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=64x48:rate=25:duration=2 "
        "-f lavfi -i sine=frequency=440:sample_rate=16000:duration=2 " +
        args + " '" + path + "'"));
    QffInfo info{};
    MonitoredIsolated([&] { FFInfo(path, BAD_HANDLE, info); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    ASSERT_GE(info.frames, 50);
    HplPlayer* p = t.p;
    HplOpen(p, path);
    ASSERT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    const auto start = Clock::now();
    HplPlay(p);
    ASSERT_TRUE(t.WaitStopped(8));
    EXPECT_TRUE(HplGetResult(p)) << HplGetErrorText(p);
    EXPECT_TRUE(HplAtEnd(p));
    EXPECT_EQ(HplGetPos(p, HPL_UNIT_FRAMES), info.frames - 1);
    EXPECT_GT(t.watch.calls, 25);  // most of the 50 frames reached the display
    if (DXAAvailable()) {
        EXPECT_GE(Seconds(start), 1.9);  // played in real time, not raced through
        const double device = 4 * 0.016;
        EXPECT_GE(t.watch.writtenLow, -0.04) << "the output ran dry";
        EXPECT_LE(t.watch.writtenHigh, HPL_BUFFER_SECONDS + 0.04 + device);
        EXPECT_GE(t.watch.worstLag, -0.04 - device) << "the sound fell behind the clock";
        EXPECT_LE(t.watch.worstLead, 0.04 + device) << "the sound ran ahead of the clock";
        EXPECT_GT(t.watch.writtenHigh, 0.1) << "no sound was written";
    }
}

// Motion JPEG pictures with MP3 sound in AVI.
TEST_F(PlayerTest, AviMovieWithMp3SoundPlaysFollowingTheClock) {
    PlaysFollowingTheClock(*this, "clip.avi", "-c:v mjpeg -c:a libmp3lame -b:a 48k");
}

// An MPEG-1 system stream with Layer II sound.
TEST_F(PlayerTest, MpegSystemStreamWithLayerTwoSoundPlaysFollowingTheClock) {
    PlaysFollowingTheClock(*this, "clip.mpg", "-c:v mpeg1video -q:v 4 -c:a mp2 -b:a 64k -f mpeg");
}
