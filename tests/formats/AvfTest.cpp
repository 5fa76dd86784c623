// The reader of today's containers on an H.264/AAC MP4 and a FLAC file made by ffmpeg at test
// time: the description and which types take which containers, frames by number and in
// playback, key frames, sound across the end, refusals and damaged copies.

#include "formats/FF_AVF.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "formats/FFReaders.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

using Err = test::ErrorOf;
const Err kOk{0, 0};

using test::Try;

// 2 s of 160x120 H.264 at 25 fps with B pictures and a key frame every 12; mono AAC at 48 kHz;
// 1 s of 16-bit FLAC at 44.1 kHz.
struct Files {
    test::TempDir dir;
    std::string mp4 = dir.file("clip.mp4"), flac = dir.file("tone.flac");
    bool made = false;
    Files() {
        const std::string ff = "ffmpeg -nostdin -v error -y ";
        made = test::HaveTools({"ffmpeg"}) &&
               test::RunQuiet(ff +
                              "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i "
                              "sine=frequency=330:beep_factor=3:sample_rate=48000 -t 2 "
                              "-pix_fmt yuv420p -c:v libx264 -bf 2 -g 12 -sc_threshold 0 "
                              "-c:a aac -aac_pns 0 '" +
                              mp4 + "'") &&
               test::RunQuiet(ff + "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 1 '" +
                              flac + "'");
    }
};

const Files& TheFiles() {
    static Files files;
    return files;
}

class AvfTest : public test::RegisterBalanceTest {
protected:
    void SetUp() override {
        if (!TheFiles().made) GTEST_SKIP() << "ffmpeg with libx264 and flac makes the files";
        RegisterBalanceTest::SetUp();
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        std::memset(static_cast<void*>(&img), 0, sizeof img);
    }
    void TearDown() override {
        AvfClose(h);
        ImgFree(img);
        SndFree(snd);
        AvfDone();
        RegisterBalanceTest::TearDown();
    }
    std::string Pixels() const {
        return std::string(reinterpret_cast<const char*>(img.data), static_cast<size_t>(img.size));
    }
    QAvfHandle h;
    Qimg img;
    Qsnd snd{};
};

}  // namespace

TEST_F(AvfTest, DescribesCodecsAndTellsTheTypesContainersApart) {
    QffInfo info;
    ASSERT_EQ(Try([&] { AvfInfo(TheFiles().mp4, info); }), kOk);
    EXPECT_EQ(info.width, 160);
    EXPECT_EQ(info.frames, 50);
    EXPECT_EQ(info.frameRate, 25.0);
    EXPECT_EQ(info.bitsPP, 24);
    EXPECT_EQ(info.videoCompression, "H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10 (High, 8-bit)");
    EXPECT_EQ(info.soundCompression, "AAC (Advanced Audio Coding) (LC)");
    // The wave format is packed: its fields are copied out before they are compared.
    const QWaveFmt play = info.playFormat;
    EXPECT_EQ(uint32_t{play.samplesPerSec}, 48000u);
    EXPECT_EQ(int{play.channels}, 1);
    EXPECT_EQ(int{play.bitsPerSample}, 16);
    EXPECT_EQ(size_t(info.soundSamples), test::FfmpegS16(TheFiles().mp4).size());
    EXPECT_GT(info.dataRate, 0);
    EXPECT_TRUE(info.hasVideo && info.videoSupported && info.hasSound && info.soundSupported);

    ASSERT_EQ(Try([&] { AvfInfo(TheFiles().flac, info); }), kOk);
    EXPECT_EQ(info.soundCompression, "FLAC (Free Lossless Audio Codec) (16-bit)");
    EXPECT_EQ(info.soundSamples, 44100);
    EXPECT_EQ(int{QWaveFmt(info.soundFormat).bitsPerSample}, 16);
    EXPECT_FALSE(info.hasVideo);

    // A type takes its own containers, or any file its extension names.
    EXPECT_EQ(Try([&] { AvfInfoAs(TheFiles().mp4, FT_MP4, info); }), kOk);
    EXPECT_EQ(Try([&] { AvfInfoAs(TheFiles().mp4, FT_M4A, info); }), Err(ERR_MVI, 6));
    EXPECT_EQ(Try([&] { AvfInfoAs(TheFiles().mp4, FT_MKV, info); }), Err(ERR_MVI, 6));
    const std::string named = TheFiles().dir.file("really-mp4.mkv");
    test::WriteFileBytes(named, test::ReadFileBytes(TheFiles().mp4));
    EXPECT_EQ(Try([&] { AvfInfoAs(named, FT_MKV, info); }), kOk);
    const std::string mov = "mov,mp4,m4a,3gp,3g2,mj2";
    EXPECT_TRUE(AvfTypeTakes(FT_M4A, mov, false));
    EXPECT_FALSE(AvfTypeTakes(FT_MP4, mov, false));
    EXPECT_TRUE(AvfTypeTakes(FT_MKV, "matroska,webm", true));
    EXPECT_TRUE(AvfTypeTakes(FT_OPUS, "ogg", false));
    EXPECT_TRUE(AvfTypeTakes(FT_WMA, "asf", false));
    EXPECT_FALSE(AvfTypeTakes(FT_FLAC, "ogg", false));
    EXPECT_FALSE(AvfTypeTakes(FT_MP4, "movie,mp4a", true));  // whole names only
    EXPECT_FALSE(AvfTypeTakes(FT_AVI, "avi", true));
}

TEST_F(AvfTest, FramesByNumberNextOneAndInPlayback) {
    ASSERT_EQ(Try([&] { AvfOpen(h, TheFiles().mp4); }), kOk);
    ASSERT_EQ(h.frames, 50);
    const std::string ref = test::FfmpegPictures(TheFiles().mp4);
    const size_t size = 160 * 120 * 3;
    ASSERT_EQ(ref.size(), 50 * size);
    std::vector<std::string> seen(51);
    for (int32_t n = 1; n <= 50; ++n) {
        ASSERT_EQ(Try([&] { AvfImgLoad(h, img, n == 1 ? 1 : 0, 1); }), kOk) << n;
        EXPECT_EQ(h.curFrame, n);
        EXPECT_EQ(h.newPalette, 0);
        EXPECT_EQ(img.bitsPP, 24);
        seen[n] = Pixels();
        EXPECT_GT(test::Psnr(seen[n], std::string_view(ref).substr((n - 1) * size, size)), 45.0)
            << "frame " << n;
    }
    EXPECT_EQ(Try([&] { AvfImgLoad(h, img, 0, 0); }), Err(ERR_MVI, 1));  // none after the last
    for (int32_t n : {37, 5, 50, 12, 13, 1, 25, 24}) {
        ASSERT_EQ(Try([&] { AvfImgLoad(h, img, n, 0); }), kOk);
        EXPECT_EQ(Pixels(), seen[n]) << "frame " << n;
    }
    // In playback the frame already shown is not decoded again; outside it, it is.
    std::memset(img.data, 0x5A, 64);
    EXPECT_EQ(Try([&] { AvfImgLoad(h, img, 24, 1); }), kOk);
    EXPECT_EQ(Pixels().substr(0, 64), std::string(64, '\x5A'));
    EXPECT_EQ(Try([&] { AvfImgLoad(h, img, 24, 0); }), kOk);
    EXPECT_EQ(Pixels(), seen[24]);
    for (int32_t bad : {-1, 51})
        EXPECT_EQ(Try([&] { AvfImgLoad(h, img, bad, 0); }), Err(ERR_MVI, 1)) << bad;
    EXPECT_EQ(h.curFrame, 24);
}

TEST_F(AvfTest, NearestKeyFrameLooksBothWaysAndWraps) {
    ASSERT_EQ(Try([&] { AvfOpen(h, TheFiles().mp4); }), kOk);
    // Key frames 1, 13, 25, 37, 49.
    const struct {
        int32_t frame, direction, want;
    } cases[] = {{13, -1, 1}, {14, -1, 13}, {1, -1, 1}, {50, -1, 49}, {14, 1, 25},
                 {13, 0, 13}, {49, 1, 49},  {50, 1, 1}, {0, 1, 1},    {99, -1, 49}};
    for (const auto& c : cases)
        EXPECT_EQ(AvfNearestKeyFrame(h, c.frame, c.direction), c.want)
            << c.frame << " " << c.direction;
    AvfClose(h);
    ASSERT_EQ(Try([&] { AvfOpen(h, TheFiles().flac); }), kOk);
    EXPECT_EQ(AvfNearestKeyFrame(h, 5, 1), 1);
    EXPECT_EQ(Try([&] { AvfImgLoad(h, img, 1, 0); }), Err(ERR_MVI, 1));  // no pictures
}

TEST_F(AvfTest, SoundInBlocksAfterSeeksAndAcrossTheEnd) {
    ASSERT_EQ(Try([&] { AvfOpen(h, TheFiles().flac); }), kOk);
    const std::vector<int16_t> ref = test::FfmpegS16(TheFiles().flac);
    ASSERT_EQ(int64_t(ref.size()), h.samples);
    std::vector<int16_t> all;
    for (bool cont = false; h.sndPos < h.samples; cont = true) {
        ASSERT_EQ(Try([&] { AvfSndLoad(h, snd, h.sndPos, cont, 10000); }), kOk);
        ASSERT_GT(snd.samples, 0);
        const auto* s = reinterpret_cast<const int16_t*>(snd.data);
        all.insert(all.end(), s, s + snd.samples);
    }
    EXPECT_EQ(all, ref);  // lossless: exactly

    ASSERT_EQ(Try([&] { AvfSndLoad(h, snd, 20000, false, 300); }), kOk);
    EXPECT_EQ(std::memcmp(snd.data, ref.data() + 20000, 600), 0);
    ASSERT_EQ(Try([&] { AvfSndLoad(h, snd, h.samples - 100, false, 1000); }), kOk);
    EXPECT_EQ(snd.samples, 100);  // up to the end
    EXPECT_EQ(h.sndPos, h.samples);
    ASSERT_EQ(Try([&] { AvfSndLoad(h, snd, h.samples, true, 1000); }), kOk);
    EXPECT_EQ(snd.samples, 0);
    EXPECT_EQ(Try([&] { AvfSndLoad(h, snd, h.samples + 1, false, 10); }), Err(ERR_MVI, 7));
    EXPECT_EQ(Try([&] { AvfSndSeek(h, -1); }), Err(ERR_MVI, 7));
    EXPECT_EQ(Try([&] { AvfSndSeek(h, 123); }), kOk);
    EXPECT_EQ(h.sndPos, 123);
}

TEST_F(AvfTest, RefusalsLeaveNothingOpenOrAllocated) {
    const std::string text = TheFiles().dir.file("notes.mp4");
    test::WriteFileBytes(text, "not a movie at all");
    const int fds = test::OpenFds();
    for (const std::string& name : {text, TheFiles().dir.file("missing.mp4"), TheFiles().dir.path()}) {
        EXPECT_EQ(Try([&] { AvfOpen(h, name); }), Err(ERR_MVI, 6)) << name;
        EXPECT_EQ(h.media, nullptr);
        QffInfo info;
        EXPECT_EQ(Try([&] { AvfInfo(name, info); }), Err(ERR_MVI, 6)) << name;
        MviHandle mf{};
        EXPECT_EQ(Try([&] { FFReaderOf(FT_MP4)->open(mf, name); }), Err(ERR_MVI, 6)) << name;
        ExpectBalanced(name);
    }
    EXPECT_EQ(test::OpenFds(), fds);
}

// The description keeps its media for the open that follows it: that open adds no descriptor.
// A file changed since is opened afresh.
TEST_F(AvfTest, TheDescriptionsMediaServesTheOpen) {
    const std::string copy = TheFiles().dir.file("again.mp4");
    test::WriteFileBytes(copy, test::ReadFileBytes(TheFiles().mp4));
    const int before = test::OpenFds();
    QffInfo info;
    ASSERT_EQ(Try([&] { AvfInfo(copy, info); }), kOk);
    const int described = test::OpenFds();
    EXPECT_GT(described, before);
    ASSERT_EQ(Try([&] { AvfOpen(h, copy); }), kOk);
    EXPECT_EQ(test::OpenFds(), described);
    AvfClose(h);
    EXPECT_EQ(test::OpenFds(), before);

    ASSERT_EQ(Try([&] { AvfInfo(copy, info); }), kOk);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, copy.c_str(), times, 0), 0);
    ASSERT_EQ(Try([&] { AvfOpen(h, copy); }), kOk);
    EXPECT_GT(test::OpenFds(), described);
    AvfClose(h);
    AvfDone();
    EXPECT_EQ(test::OpenFds(), before);
}

// Cut and bit-flipped copies: the reader's errors or fewer pictures and sound, never a crash, and
// nothing left behind.
TEST_F(AvfTest, DamagedCopiesFailCleanly) {
    const std::string good = test::ReadFileBytes(TheFiles().mp4);
    std::vector<std::string> copies;
    for (double keep : {0.02, 0.3, 0.6, 0.95})
        copies.push_back(good.substr(0, size_t(good.size() * keep)));
    std::mt19937 rng(31);
    for (int round = 0; round < 6; ++round) {
        std::string bad = good;
        for (int i = 0; i < (round < 3 ? 10 : 300); ++i) {
            const size_t span = i % 2 ? std::min<size_t>(bad.size(), 4096) : bad.size();
            bad[std::uniform_int_distribution<size_t>(0, span - 1)(rng)] ^= char(1 << (i % 8));
        }
        copies.push_back(bad);
    }
    const std::string path = TheFiles().dir.file("damaged.mp4");
    int opened = 0;
    for (size_t c = 0; c < copies.size(); ++c) {
        SCOPED_TRACE("copy " + std::to_string(c));
        test::WriteFileBytes(path, copies[c]);
        QffInfo info;
        const Err described = Try([&] { AvfInfo(path, info); });
        EXPECT_TRUE(described == kOk || described == Err(ERR_MVI, 6));
        const Err open = Try([&] { AvfOpen(h, path); });
        ASSERT_EQ(open, described);
        if (open != kOk) continue;
        ++opened;
        for (int32_t n : {0, 0, h.frames, h.frames / 2 + 1, 1}) {
            const Err e = Try([&] { AvfImgLoad(h, img, std::min(n, h.frames), 0); });
            EXPECT_TRUE(e == kOk || e == Err(ERR_MVI, 1) || e == Err(ERR_MVI, 3));
        }
        for (int32_t s : {0, h.samples / 2, h.samples - 1}) {
            if (s < 0) continue;
            EXPECT_EQ(Try([&] { AvfSndLoad(h, snd, s, false, 4096); }), kOk);
            EXPECT_LE(snd.samples, 4096);
        }
        AvfClose(h);
        ImgFree(img);
        SndFree(snd);
        ExpectBalanced();
    }
    EXPECT_GT(opened, 3);
}
