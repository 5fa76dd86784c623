#include "player/DXAudio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "runtime/Basic.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

QWaveFmt Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return QWaveFmt{WAVE_FORMAT_PCM, channels, rate, rate * align, align, bits, 0};
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// SDL's dummy driver unless a test picks another before Init.
struct DXAudioTest : ::testing::Test {
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        DXABufReset(buf);
    }
    void TearDown() override {
        DXABufDestroy(buf);
        EXPECT_FALSE(DXABufIsCreated(buf));
        DXADone();
    }
    void Init() {
        ASSERT_TRUE(DXAInit(nullptr)) << "no SDL audio driver " << getenv("SDL_AUDIODRIVER");
    }
    DXABuffer buf{};
    std::vector<uint8_t> data = std::vector<uint8_t>(200000, 7);
};

std::atomic<int32_t> gFillerCalls{0};
void CountingFiller(int32_t user, int32_t argument) {
    if (user == BAD_HANDLE && argument == 0) ++gFillerCalls;
}

}  // namespace

TEST_F(DXAudioTest, RingArithmeticOfAHalfSecondStereoBuffer) {
    Init();
    ASSERT_TRUE(DXABufCreate(buf, Pcm(44100, 2, 16), 0.5));
    EXPECT_EQ(DXABufGetTotalSize(buf, DXA_UNIT_BYTES), 88200);
    EXPECT_EQ(DXABufGetTotalSize(buf, DXA_UNIT_FRAMES), 22050);
    EXPECT_EQ(DXABufGetTotalSize(buf, 2), 0);
    EXPECT_EQ(buf.timerPeriod, 125);
    // (frames written, write position after, free bytes after); the paused cursor stays at 0.
    const struct {
        int32_t frames, writePos, freeBytes;
    } steps[] = {
        {0, -1, 88200},       // nothing written: still emptied
        {1000, 4000, 84200},  // an emptied ring is written from 0
        {21050, 0, 0},        // ends exactly at the cursor: full
        {-1, -1, 88200},      // (a clear)
        {30000, 0, 0},        // more than the ring: one whole ring
        {-1, -1, 88200},     {22000, 88000, 200},
        {100, 200, 88000},  // crosses the end: the tail goes to the start
    };
    for (const auto& s : steps) {
        if (s.frames < 0)
            EXPECT_EQ(DXABufClear(buf), 0);
        else
            EXPECT_TRUE(DXABufFill(buf, s.frames, data.data())) << s.frames;
        EXPECT_EQ(buf.writePos, s.writePos) << s.frames;
        EXPECT_EQ(DXABufGetFreeSize(buf, DXA_UNIT_BYTES), s.freeBytes) << s.frames;
        EXPECT_EQ(DXABufGetFreeSize(buf, DXA_UNIT_FRAMES), s.freeBytes / 4) << s.frames;
    }
    // 0.5 s at 44101 Hz is 22050.5 frames: the ring keeps whole frames.
    ASSERT_TRUE(DXABufCreate(buf, Pcm(44101, 2, 16), 0.5));
    EXPECT_EQ(DXABufGetTotalSize(buf, DXA_UNIT_BYTES), 88200);
}

TEST_F(DXAudioTest, RefusedBuffersAndWritesWithoutABuffer) {
    Init();
    QWaveFmt adpcm = Pcm(22050, 1, 16);
    adpcm.formatTag = 2;
    const struct {
        QWaveFmt format;
        double seconds;
    } refused[] = {
        {Pcm(44100, 2, 16), 0.0}, {Pcm(0, 2, 16), 0.5}, {Pcm(44100, 2, 12), 0.5}, {adpcm, 0.5}};
    for (const auto& r : refused) {
        EXPECT_FALSE(DXABufCreate(buf, r.format, r.seconds));
        EXPECT_EQ(DXABufStatus(buf), DXA_STATUS_FAILED);
        EXPECT_TRUE(DXABufStop(buf));
        EXPECT_FALSE(DXABufPlay(buf));
    }
    buf.writePos = 12;
    EXPECT_FALSE(DXABufFill(buf, 4, data.data()));
    EXPECT_EQ(buf.writePos, 12);  // a failed fill keeps the write position
    EXPECT_TRUE(DXABufFill(buf, 0, data.data()));
    EXPECT_TRUE(DXASetPrimaryFormat(Pcm(44100, 2, 16)));
    EXPECT_FALSE(DXASetPrimaryFormat(adpcm));

    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);  // no sound device at all
    EXPECT_FALSE(DXAInit(nullptr));
    EXPECT_FALSE(DXABufCreate(buf, Pcm(44100, 2, 16), 0.5));
}

// A device that went away (here: the output shut down under the buffer) is a lost buffer: one
// restore, then the query or write runs again.
TEST_F(DXAudioTest, LostBufferIsRestoredOnce) {
    Init();
    ASSERT_TRUE(DXABufCreate(buf, Pcm(44100, 2, 16), 0.5));
    ASSERT_TRUE(DXABufFill(buf, 1000, data.data()));
    DXADone();
    EXPECT_EQ(DXABufStatus(buf), DXA_STATUS_LOST);
    EXPECT_EQ(DXABufGetFreeSize(buf, DXA_UNIT_BYTES), 0);  // nothing to restore to
    EXPECT_FALSE(DXABufFill(buf, 10, data.data()));
    EXPECT_EQ(buf.writePos, 4000);
    Init();
    EXPECT_EQ(DXABufGetFreeSize(buf, DXA_UNIT_BYTES), 84200);
    EXPECT_EQ(DXABufStatus(buf), 0);
    EXPECT_TRUE(DXABufFill(buf, 10, data.data()));
    EXPECT_EQ(buf.writePos, 4040);
}

TEST_F(DXAudioTest, PlayRunsTheCursorAndTheFillerUntilStop) {
    Init();
    ASSERT_TRUE(DXABufCreate(buf, Pcm(8000, 1, 16), 0.4));  // 6400 bytes, period 100 ms
    gFillerCalls = 0;
    DXABufSetFiller(buf, CountingFiller);
    ASSERT_TRUE(DXABufFill(buf, 100, data.data()));
    ASSERT_TRUE(DXABufPlay(buf));
    EXPECT_EQ(DXABufStatus(buf), DXA_STATUS_LOOPING + DXA_STATUS_PLAYING);
    int32_t cursor = 0;
    for (int i = 0; i < 100 && cursor <= 400; ++i) {
        Sleep(10);
        ASSERT_TRUE(DXABufGetPlayCursor(buf, cursor));
    }
    // Past the write position (200), the free space is P - W, not size - (W - P).
    EXPECT_LT(DXABufGetFreeSize(buf, DXA_UNIT_BYTES), 6400 - 200);
    Sleep(250);
    ASSERT_TRUE(DXABufStop(buf));
    EXPECT_EQ(DXABufStatus(buf), 0);
    EXPECT_EQ(buf.writePos, -1);
    EXPECT_EQ(buf.timerId, 0);
    const int32_t calls = gFillerCalls;
    EXPECT_GE(calls, 2);
    Sleep(120);
    EXPECT_EQ(gFillerCalls, calls);
}

// The disk driver writes what the device plays: the ring, from the cursor on, looping.
TEST_F(DXAudioTest, DevicePlaysTheRingInALoop) {
    test::TempDir dir;
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", dir.file("played.raw").c_str(), 1);
    if (!DXAInit(nullptr)) GTEST_SKIP() << "SDL has no disk audio driver";
    ASSERT_TRUE(DXABufCreate(buf, Pcm(8000, 1, 16), 0.25));  // 2000 frames
    // Samples 1..2500; the second fill wraps, so the ring holds 2001..2500, 501..2000.
    std::vector<int16_t> ramp(2500);
    for (int i = 0; i < 2500; ++i) ramp[i] = static_cast<int16_t>(i + 1);
    ASSERT_TRUE(DXABufFill(buf, 1500, ramp.data()));
    ASSERT_TRUE(DXABufFill(buf, 1000, ramp.data() + 1500));
    ASSERT_TRUE(DXABufPlay(buf));
    Sleep(450);
    DXABufDestroy(buf);
    DXADone();

    const std::string bytes = test::ReadFileBytes(dir.file("played.raw"));
    std::vector<int16_t> played(bytes.size() / 2);
    std::memcpy(played.data(), bytes.data(), played.size() * 2);
    size_t start = 0, n = 0;
    while (start < played.size() && played[start] == 0) ++start;  // silence while paused
    while (start + n < played.size() && played[start + n] != 0) ++n;
    ASSERT_GT(n, 2000u) << "less than one pass of the ring was played";
    for (size_t i = 0; i < n; ++i) {
        const size_t k = i % 2000;
        ASSERT_EQ(played[start + i], static_cast<int16_t>(k < 500 ? 2001 + k : 1 + k)) << i;
    }
}

// Every PCM format the readers deliver gets a buffer: 8 to 32 bits, 1 to 8 channels, 8,000 to
// 192,000 sample frames a second.
TEST_F(DXAudioTest, EveryReaderFormatPlays) {
    Init();
    const struct {
        uint16_t bits, channels;
        uint32_t rate;
    } formats[] = {{8, 1, 8000},    {16, 2, 44100},  {24, 6, 96000},
                   {32, 8, 192000}, {24, 1, 192000}, {8, 8, 11025}};
    for (const auto& f : formats) {
        SCOPED_TRACE(testing::Message() << f.bits << " bits " << f.channels << " ch " << f.rate);
        ASSERT_TRUE(DXABufCreate(buf, Pcm(f.rate, f.channels, f.bits), 0.5));
        EXPECT_TRUE(DXABufFill(buf, 100, data.data()));
        EXPECT_TRUE(DXABufPlay(buf));
        EXPECT_TRUE(DXABufStop(buf));
        DXABufDestroy(buf);
    }
}

// SDL has no 24-bit samples: the device gets each one as the top three bytes of a 32-bit one.
TEST_F(DXAudioTest, TwentyFourBitSamplesAreWidenedOnTheWay) {
    test::TempDir dir;
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", dir.file("played.raw").c_str(), 1);
    if (!DXAInit(nullptr)) GTEST_SKIP() << "SDL has no disk audio driver";
    ASSERT_TRUE(DXABufCreate(buf, Pcm(8000, 2, 24), 0.25));  // 2000 frames, 12000 bytes
    std::vector<uint8_t> ring(12000);
    for (size_t i = 0; i < ring.size(); i += 3) {  // sample k = 0x10000 + k, never 0
        const uint32_t v = 0x10000 + static_cast<uint32_t>(i / 3);
        ring[i] = static_cast<uint8_t>(v), ring[i + 1] = static_cast<uint8_t>(v >> 8),
        ring[i + 2] = static_cast<uint8_t>(v >> 16);
    }
    ASSERT_TRUE(DXABufFill(buf, 2000, ring.data()));
    ASSERT_TRUE(DXABufPlay(buf));
    Sleep(300);
    DXABufDestroy(buf);
    DXADone();

    const std::string bytes = test::ReadFileBytes(dir.file("played.raw"));
    std::vector<int32_t> played(bytes.size() / 4);
    std::memcpy(played.data(), bytes.data(), played.size() * 4);
    size_t start = 0;
    while (start < played.size() && played[start] == 0) ++start;  // silence while paused
    ASSERT_GT(played.size() - start, 4000u);
    for (size_t i = 0; i < 4000; ++i)
        ASSERT_EQ(played[start + i], static_cast<int32_t>((0x10000 + i) << 8)) << i;
}
