// The PCM WAV writer behind sound export: header fields, the pad byte of an odd-sized data
// chunk, and the formats it refuses.

#include <gtest/gtest.h>

#include <string>

#include "formats/FFWrite.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;

namespace {

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

}  // namespace

TEST(WavWriter, HeaderSizesAndPadding) {
    TempDir dir;
    const std::string path = dir.file("s.wav");
    QWavWriter w{};
    const QWaveFmt stereo24{WAVE_FORMAT_PCM, 2, 44100, 0, 0, 24, 0};  // block align 6 is filled in
    const uint8_t samples[18] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    MonitoredIsolated([&] {
        WAVWriterCreate(w, path, stereo24);
        WAVWriterAdd(w, samples, 2);
        WAVWriterAdd(w, samples + 12, 1);
        WAVWriterClose(w);
    });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    const std::string bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 44u + 18);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(Le32(bytes, 4), 36u + 18);
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(Le32(bytes, 24), 44100u);
    EXPECT_EQ(Le32(bytes, 28), 44100u * 6);
    EXPECT_EQ(Le32(bytes, 32) & 0xFFFF, 6u);
    EXPECT_EQ(Le32(bytes, 40), 18u);
    EXPECT_EQ(bytes.substr(44), std::string(reinterpret_cast<const char*>(samples), 18));

    // Three mono 8-bit samples: an odd data chunk gets a pad byte outside its size.
    const QWaveFmt mono8{WAVE_FORMAT_PCM, 1, 8000, 0, 0, 8, 0};
    MonitoredIsolated([&] {
        WAVWriterCreate(w, path, mono8);
        WAVWriterAdd(w, samples, 3);
        WAVWriterClose(w);
    });
    const std::string odd = ReadFileBytes(path);
    ASSERT_EQ(odd.size(), 44u + 4);
    EXPECT_EQ(Le32(odd, 4), 36u + 4);
    EXPECT_EQ(Le32(odd, 40), 3u);
}

TEST(WavWriter, RefusesWhatIsNotPlainPcm) {
    TempDir dir;
    const test::RegisterBalance balance;
    for (const QWaveFmt& f :
         {QWaveFmt{2, 1, 8000, 0, 0, 4, 0}, QWaveFmt{WAVE_FORMAT_PCM, 1, 8000, 0, 0, 12, 0},
          QWaveFmt{WAVE_FORMAT_PCM, 0, 8000, 0, 0, 16, 0},
          QWaveFmt{WAVE_FORMAT_PCM, 1, 0, 0, 0, 16, 0}}) {
        QWavWriter w{};
        MonitoredIsolated([&] { WAVWriterCreate(w, dir.file("x.wav"), f); });
        EXPECT_EQ(ErrLastGroup(), ERR_WAV);
        EXPECT_EQ(ErrLastCode(), 2);
        EXPECT_EQ(ErrLastText(), "Cannot create WAV file.");
    }
    balance.Expect();
}
