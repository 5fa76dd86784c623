#include "sound/SndBasic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

QWaveFmt Pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
    QWaveFmt f{WAVE_FORMAT_PCM, channels, rate, 0, 0, bits, 0};
    WaveFmtFix(f);
    return f;
}

struct SndBasicTest : test::RegisterBalanceTest {
    void TearDown() override {
        SndFree(snd);
        RegisterBalanceTest::TearDown();
    }
    Qsnd snd{};
};

// A source that hands out rounds of `round` bytes of 8-bit mono sound numbered from 0.
struct Source {
    int32_t round;
    int32_t left;  // rounds still to come
    int32_t next;  // the value of the next byte
};

void ReadSource(void* reader, uint8_t*& block, int32_t, int32_t& bytes, int32_t& units) {
    auto& s = *static_cast<Source*>(reader);
    bytes = units = 0;
    if (s.left == 0) return;
    --s.left;
    _memalloc_(block, s.round, __LINE__, MEM_KIND_C, "SndBasicTest.ReadSource.block");
    for (int32_t i = 0; i < s.round; ++i) block[i] = static_cast<uint8_t>(s.next++);
    bytes = units = s.round;
}

}  // namespace

TEST_F(SndBasicTest, AddSilence) {
    const struct {
        QWaveFmt format;
        int32_t from, to;
        uint8_t fill;
        int32_t bytes;  // filled
    } cases[] = {
        {Pcm(1, 8000, 8), 100, 150, 128, 50},
        {Pcm(2, 44100, 16), 100, 150, 0, 200},
        {Pcm(1, 8000, 8), 100, 100, 0, 0},
        {Pcm(1, 8000, 8), 100, 60, 0, 0},
    };
    for (const auto& c : cases) {
        SndFree(snd);
        _sndalloc_(snd, c.from * c.format.blockAlign, __LINE__, "SndBasicTest.snd");
        snd.format = c.format;
        snd.samples = c.from;
        std::memset(snd.data, 7, static_cast<size_t>(snd.allocated));
        SndAddSilence(snd, c.to);
        EXPECT_EQ(snd.samples, c.bytes ? c.to : c.from);
        const int32_t have = c.from * c.format.blockAlign;
        EXPECT_EQ(snd.data[have - 1], 7);
        for (int32_t i = 0; i < c.bytes; ++i) ASSERT_EQ(snd.data[have + i], c.fill);
    }
}

TEST_F(SndBasicTest, AddSilenceToAnEmptyRecordKeepsItsFormat) {
    snd.format = Pcm(2, 22050, 16);
    SndAddSilence(snd, 10);
    EXPECT_EQ(snd.samples, 10);
    EXPECT_EQ(snd.format.channels, 2);
    EXPECT_EQ(snd.format.bitsPerSample, 16);
    EXPECT_EQ(snd.allocated, 40);
    EXPECT_EQ(std::vector<uint8_t>(snd.data, snd.data + 40), std::vector<uint8_t>(40, 0));
    // A format without rate, bits or channels.
    Qsnd bad{};
    MonitoredIsolated([&] { SndAddSilence(bad, 10); });
    EXPECT_EQ(ErrLastGroup(), ERR_AUDIO);
    EXPECT_EQ(ErrLastCode(), 4);
}

TEST_F(SndBasicTest, FormatsAndConversion) {
    QWaveFmt a = Pcm(2, 44100, 16);
    EXPECT_EQ(a.blockAlign, 4);
    EXPECT_EQ(a.avgBytesPerSec, 176400u);
    QWaveFmt b = a;
    b.extraSize = 5;
    EXPECT_FALSE(WaveFmtDiffers(a, b));
    b.samplesPerSec = 22050;
    EXPECT_TRUE(WaveFmtDiffers(a, b));
    QWaveFmt zero{};
    EXPECT_FALSE(WaveFmtFix(zero));

    QWaveConv conv;
    WaveConvertInit(conv, a, a);
    const uint8_t src[6] = {1, 2, 3, 4, 5, 6};
    uint8_t dst[8] = {};
    int32_t produced = -1;
    WaveConvert(conv, src, dst, a, a, produced, 8, 6);
    EXPECT_EQ(produced, 6);
    EXPECT_EQ(0, std::memcmp(src, dst, 6));
    WaveConvert(conv, src, dst, a, a, produced, 8, 0);
    EXPECT_EQ(produced, 0);
    // Equal formats into a destination too small: (ERR_AUDIO, 3).
    MonitoredIsolated([&] { WaveConvert(conv, src, dst, a, a, produced, 5, 6); });
    EXPECT_EQ(ErrLastGroup(), ERR_AUDIO);
    EXPECT_EQ(ErrLastCode(), 3);
    WaveConvertDone(conv);
    EXPECT_EQ(conv.stream, nullptr);

    // mu-law through a stream: silence, the loudest positive and negative codes.
    const uint8_t mulaw[] = {0xFF, 0x80, 0x00, 0x7F};
    uint8_t block[64] = {};
    const QWaveFmt mu{7, 1, 8000, 8000, 1, 8, 0};
    std::memcpy(block, &mu, sizeof mu);
    const auto& muFmt = *reinterpret_cast<const QWaveFmt*>(block);
    const QWaveFmt pcm = Pcm(1, 8000, 16);
    WaveConvertInit(conv, muFmt, pcm);
    int16_t out[4] = {};
    WaveConvert(conv, mulaw, reinterpret_cast<uint8_t*>(out), pcm, muFmt, produced, 8, 4);
    EXPECT_EQ(produced, 8);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 32124);
    EXPECT_EQ(out[2], -32124);
    EXPECT_EQ(out[3], 0);
    // A destination format other than the source's PCM is not converted to.
    WaveConvert(conv, mulaw, reinterpret_cast<uint8_t*>(out), Pcm(2, 8000, 16), muFmt, produced, 8,
                4);
    EXPECT_EQ(produced, 0);
    WaveConvertDone(conv);
    // Opening a stream no decoder serves raises the manager's error.
    QWaveFmt none = mu;
    none.formatTag = 0x1234;
    MonitoredIsolated([&] { WaveConvertInit(conv, none, pcm); });
    EXPECT_EQ(ErrLastGroup(), ERR_ACM);
    EXPECT_EQ(ErrLastCode(), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(conv.stream, nullptr);
    WaveConvertDone(conv);
}

TEST_F(SndBasicTest, LoaderHandsOutExactCounts) {
    const QWaveFmt mono8 = Pcm(1, 8000, 8);
    Source source{1500, 3, 0};
    QSndLoader loader{&mono8, mono8, nullptr, 0, 0, 0, 4500, false, 1.0, 0};
    QWaveConv conv;
    WaveConvertInit(conv, mono8, mono8);
    int32_t expected = 0;
    // Two loads of 1000 over rounds of 1500: the second starts from what the first kept.
    for (int32_t call = 0; call < 2; ++call) {
        SndLoad(&source, conv, loader, ReadSource, 1000, snd);
        ASSERT_EQ(snd.samples, 1000);
        for (int32_t i = 0; i < 1000; ++i) ASSERT_EQ(snd.data[i], static_cast<uint8_t>(expected++));
    }
    EXPECT_EQ(source.left, 1);
    // The source runs out in the middle of a request: what there was is delivered.
    SndLoad(&source, conv, loader, ReadSource, 4000, snd);
    EXPECT_EQ(snd.samples, 2500);
    EXPECT_EQ(snd.data[2499], static_cast<uint8_t>(4499));
    SndLoad(&source, conv, loader, ReadSource, 10, snd);
    EXPECT_EQ(snd.samples, 0);
    MemFree(loader.converted);
    WaveConvertDone(conv);
}
