// The AVI library's entry points: facts, pictures and sound against ffmpeg's decode, sound in
// the runs the AVI reader asks for, and handles that must not outlive their file.

#include "platform/libavi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sound/SndBasic.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::TempDir;

namespace {

struct LibAvi : ::testing::Test {
    static void SetUpTestSuite() {
        if (!test::HaveTools({"ffmpeg"})) return;
        dir = new TempDir;
        const std::string src =
            "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x48:rate=10 ";
        made = test::RunQuiet(src + "-t 1 -c:v cinepak '" + dir->file("c.avi") + "'") &&
               test::RunQuiet(src +
                              "-f lavfi -i sine=frequency=500:sample_rate=11025 -t 1.5 "
                              "-c:v mjpeg -c:a pcm_s16le -ac 2 '" +
                              dir->file("m.avi") + "'") &&
               test::RunQuiet(src + "-t 1 -c:v mjpeg '" + dir->file("m.mkv") + "'");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    void SetUp() override {
        if (!made) GTEST_SKIP() << "ffmpeg is missing or failed";
    }
    static inline TempDir* dir = nullptr;
    static inline bool made = false;
};

TEST_F(LibAvi, InfoAndPicturesOfACinepakFile) {
    int32_t unused = 99;
    const int32_t h = avi_open_DD(dir->file("c.avi").c_str(), &unused);
    ASSERT_GT(h, 0);
    EXPECT_EQ(unused, 0);
    int32_t w = 0, ht = 0, bits = 0, frames = 0;
    double rate = 0;
    QWaveFmt wf;
    std::memset(&wf, 0x55, sizeof wf);
    ASSERT_NE(avi_get_info_DD(h, &w, &ht, &bits, &frames, &rate, &wf), 0);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(ht, 48);
    EXPECT_EQ(bits, 24);
    EXPECT_EQ(frames, 10);
    EXPECT_DOUBLE_EQ(rate, 10.0);
    const QWaveFmt zero{};
    EXPECT_EQ(std::memcmp(&wf, &zero, sizeof wf), 0) << "no sound: all zeros";

    // Pictures in the image record's layout: ffmpeg's bgr24, nothing written past the end.
    ASSERT_TRUE(test::RunQuiet("ffmpeg -nostdin -v error -y -i '" + dir->file("c.avi") +
                               "' -f rawvideo -pix_fmt bgr24 -sws_flags "
                               "bicubic+accurate_rnd+full_chroma_int+bitexact '" +
                               dir->file("c.bgr") + "'"));
    const std::string want = test::ReadFileBytes(dir->file("c.bgr"));
    const size_t size = 64 * 48 * 3;
    ASSERT_EQ(want.size(), size * 10);
    std::vector<uint8_t> pic(size + 16, 0xEE);
    for (int32_t i : {9, 0, 5, 6, 2}) {
        ASSERT_NE(avi_get_frame_DD(h, pic.data(), i), 0) << i;
        EXPECT_EQ(std::memcmp(pic.data(), want.data() + size * i, size), 0) << i;
        EXPECT_EQ(pic[size], 0xEE);
    }
    EXPECT_EQ(avi_get_frame_DD(h, pic.data(), 10), 0);
    EXPECT_EQ(avi_get_frame_DD(h, pic.data(), -1), 0);
    EXPECT_EQ(avi_get_frame_DD(h, nullptr, 0), 0);
    int32_t bytes = 7, samples = 7;
    EXPECT_EQ(avi_get_sample_DD(h, 0, pic.data(), &bytes, &samples), 0);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(samples, 0);
    avi_close_DD(h);
}

TEST_F(LibAvi, SoundComesInRunsThatFitTheReadersBuffer) {
    const int32_t h = avi_open_DD(dir->file("m.avi").c_str(), nullptr);
    ASSERT_GT(h, 0);
    QWaveFmt wf{};
    ASSERT_NE(avi_get_info_DD(h, nullptr, nullptr, nullptr, nullptr, nullptr, &wf), 0);
    EXPECT_EQ(wf.formatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(wf.channels, 2);
    EXPECT_EQ(wf.samplesPerSec, 11025u);
    EXPECT_EQ(wf.bitsPerSample, 16);
    EXPECT_EQ(wf.blockAlign, 4);
    EXPECT_EQ(wf.avgBytesPerSec, 44100u);
    EXPECT_EQ(wf.extraSize, 0);

    const std::vector<int16_t> ref = test::FfmpegS16(dir->file("m.avi"));
    ASSERT_FALSE(ref.empty());
    // The reader's buffer: four seconds' worth; the position advances by what each call gave.
    std::vector<uint8_t> buf(4 * wf.avgBytesPerSec + 1);
    std::vector<int16_t> all;
    int32_t pos = 0, bytes = 0, samples = 0;
    while (avi_get_sample_DD(h, pos, buf.data() + 1, &bytes, &samples)) {  // any alignment
        ASSERT_GT(samples, 0);
        ASSERT_LE(samples, int32_t(wf.samplesPerSec));
        ASSERT_EQ(bytes, samples * wf.blockAlign);
        const size_t at = all.size();
        all.resize(at + size_t(samples) * 2);
        std::memcpy(all.data() + at, buf.data() + 1, size_t(bytes));
        pos += samples;
    }
    ASSERT_EQ(all.size(), ref.size());
    EXPECT_LE(test::MaxSampleDiff(all.data(), ref.data(), ref.size()), 1);

    // Back to a position in the middle: the same sound again.
    ASSERT_NE(avi_get_sample_DD(h, 5000, buf.data(), &bytes, &samples), 0);
    EXPECT_EQ(std::memcmp(buf.data(), ref.data() + 10000, size_t(bytes)), 0);
    EXPECT_EQ(avi_get_sample_DD(h, -1, buf.data(), &bytes, &samples), 0);
    avi_close_DD(h);
}

TEST_F(LibAvi, RefusesOtherFilesAndStaleHandles) {
    int32_t unused = 5;
    EXPECT_EQ(avi_open_DD(dir->file("m.mkv").c_str(), &unused), 0) << "not an AVI";
    EXPECT_EQ(unused, 0);
    EXPECT_EQ(avi_open_DD(dir->file("none.avi").c_str(), nullptr), 0);
    EXPECT_EQ(avi_open_DD(dir->path().c_str(), nullptr), 0);
    EXPECT_EQ(avi_open_DD(nullptr, nullptr), 0);

    const int32_t a = avi_open_DD(dir->file("c.avi").c_str(), nullptr);
    ASSERT_GT(a, 0);
    avi_close_DD(a);
    const int32_t b = avi_open_DD(dir->file("m.avi").c_str(), nullptr);  // may reuse a's slot
    ASSERT_GT(b, 0);
    EXPECT_NE(a, b);
    int32_t w = 0;
    std::vector<uint8_t> pic(64 * 48 * 3);
    EXPECT_EQ(avi_get_info_DD(a, &w, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(avi_get_frame_DD(a, pic.data(), 0), 0);
    avi_close_DD(a);  // a second close of a stale handle leaves b alone
    EXPECT_NE(avi_get_info_DD(b, &w, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(w, 64);
    for (int32_t bad : {0, -1, b + 1, b ^ (1 << 20), INT32_MAX})
        EXPECT_EQ(avi_get_frame_DD(bad, pic.data(), 0), 0) << bad;
    avi_close_DD(b);
    EXPECT_EQ(avi_get_frame_DD(b, pic.data(), 0), 0);
    avi_close_DD(0);
    avi_close_DD(-7);
}

}  // namespace
