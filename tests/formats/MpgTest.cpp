// The MPEG reader on files ffmpeg makes at test time: the description (rates, MPEG-2, codec
// names), every picture against ffmpeg's decode in order and in shuffled random access, the
// rewind rules of loading, both ways of handing a picture to the image, and damaged files.

#include "formats/FF_MPG.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "runtime/Errors.h"
#include "sound/SndBasic.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

using test::TempDir;

bool Ffmpeg(const std::string& args) {
    return test::RunQuiet("ffmpeg -v error -nostdin -y " + args + " </dev/null");
}

// The files, made once for the whole suite.
struct Files {
    TempDir dir;
    bool made = false;
    std::string system, elementary, odd, mpeg2, gop, mp3, lsf;
    Files() {
        if (!test::HaveTools({"ffmpeg"})) return;
        const std::string src = "-f lavfi -i testsrc2=size=";
        system = dir.file("system.mpg");
        elementary = dir.file("video.m1v");
        odd = dir.file("odd.mpg");
        mpeg2 = dir.file("mpeg2.mpg");
        gop = dir.file("gop.mpg");
        mp3 = dir.file("tone.mp3");
        lsf = dir.file("lsf.mp2");
        made = Ffmpeg(
                   "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1.3 -ac 2 "
                   "-c:a libmp3lame -b:a 128k '" +
                   mp3 + "'") &&
               Ffmpeg(
                   "-f lavfi -i sine=frequency=300:sample_rate=22050:duration=1 -c:a mp2 "
                   "-b:a 64k '" +
                   lsf + "'") &&
               Ffmpeg(src +
                      "160x120:rate=25:duration=1.2 -f lavfi -i sine=frequency=500:duration=1.2 " +
                      "-c:v mpeg1video -q:v 4 -c:a mp2 -f mpeg '" + system + "'") &&
               Ffmpeg(src +
                      "96x64:rate=24000/1001:duration=1 -c:v mpeg1video -q:v 4 -f mpeg1video '" +
                      elementary + "'") &&
               Ffmpeg(src + "100x60:rate=30:duration=0.5 -c:v mpeg1video -q:v 4 -f mpeg '" + odd +
                      "'") &&
               Ffmpeg(src + "160x120:rate=25:duration=0.5 -c:v mpeg2video -f mpeg '" + mpeg2 +
                      "'") &&
               // B-frames in open groups of pictures: random access must reach back a group.
               Ffmpeg(src +
                      "128x96:rate=25:duration=2 -c:v mpeg1video -q:v 4 -bf 2 -g 9 "
                      "-flags -cgop -f mpeg '" +
                      gop + "'");
    }
};

Files& TheFiles() {
    static Files files;
    return files;
}

bool Open(QMpgHandle& h, const std::string& path) {
    MonitoredIsolated([&] { MpgOpen(h, path, 0); });
    return ErrNone();
}

// The image's pixels, blue, green, red, packed.
std::string Pixels(const Qimg& img) {
    return std::string(reinterpret_cast<const char*>(img.data),
                       static_cast<size_t>(img.width) * img.height * 3);
}

std::string Load(QMpgHandle& h, Qimg& img, int32_t frame, int32_t flags) {
    MonitoredIsolated([&] { MpgImgLoad(h, img, frame, flags); });
    EXPECT_TRUE(ErrNone()) << "frame " << frame << ": " << ErrLastText();
    return ErrNone() ? Pixels(img) : std::string();
}

class MpgFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TheFiles().made) GTEST_SKIP() << "ffmpeg missing or failed";
        std::memset(static_cast<void*>(&img), 0, sizeof img);
    }
    void TearDown() override { ImgFree(img); }
    Qimg img;
};

}  // namespace

TEST(Mpg, PictureRateCodesAndTheErrorProcedure) {
    EXPECT_EQ(MpgFrameRate(0), 0.0);
    EXPECT_EQ(MpgFrameRate(-3), 0.0);
    EXPECT_DOUBLE_EQ(MpgFrameRate(1), 24000.0 / 1001);
    EXPECT_EQ(MpgFrameRate(3), 25.0);
    EXPECT_DOUBLE_EQ(MpgFrameRate(7), 60000.0 / 1001);
    EXPECT_EQ(MpgFrameRate(8), 60.0);
    EXPECT_EQ(MpgFrameRate(9), 60.0);  // out of range: clamped to the last code
    EXPECT_EQ(MpgFrameRate(1000), 60.0);
    MonitoredIsolated([] { error_handler_("broken slice"); });
    EXPECT_EQ(ErrLastGroup(), ERR_LIBRARY);
    EXPECT_NE(ErrLastText().find("broken slice"), std::string::npos);
}

TEST_F(MpgFiles, DescriptionOfVideoSystemAndMpeg2Streams) {
    QffInfo info;
    MpgInfo(TheFiles().system, info);
    EXPECT_EQ(info.width, 160);
    EXPECT_EQ(info.height, 120);
    EXPECT_EQ(info.frames, 30);
    EXPECT_EQ(info.frameRate, 25.0);
    EXPECT_EQ(info.bitsPP, 24);
    EXPECT_EQ(info.videoCompression, "MPEG-1");
    EXPECT_TRUE(info.hasVideo && info.videoSupported);
    EXPECT_GT(info.dataRate, 0);

    MpgInfo(TheFiles().elementary, info);
    EXPECT_EQ(info.frames, 24);
    EXPECT_DOUBLE_EQ(info.frameRate, 24000.0 / 1001);
    // The header's variable-rate mark is not a rate: the file's size over its duration is.
    EXPECT_GT(info.dataRate, 0);
    EXPECT_LT(info.dataRate, 1000000);
    EXPECT_FALSE(info.hasSound);

    // MPEG-2 video is described, not decoded; with nothing else to play it does not open.
    MpgInfo(TheFiles().mpeg2, info);
    EXPECT_EQ(info.videoCompression, "MPEG-2");
    EXPECT_TRUE(info.hasVideo);
    EXPECT_FALSE(info.videoSupported);
    QMpgHandle h;
    EXPECT_FALSE(Open(h, TheFiles().mpeg2));
    EXPECT_EQ(ErrLastGroup(), ERR_MVI);
    EXPECT_EQ(ErrLastCode(), MVI_OPEN);

    // Not MPEG at all: described without pictures or sound, never an error.
    const std::string text = TheFiles().dir.file("text.mpg");
    test::WriteFileBytes(text, "not a movie at all");
    MonitoredIsolated([&] { MpgInfo(text, info); });
    EXPECT_TRUE(ErrNone());
    EXPECT_FALSE(info.hasVideo);
    EXPECT_FALSE(info.hasSound);
}

// A Layer I file: a few frames of silence (every allocation 0), as no encoder at hand writes
// them: 44.1 kHz, 128 kbit/s, stereo, frames of (12 × 128000 / 44100) × 4 = 136 bytes.
std::string LayerOneFile(const TempDir& dir) {
    std::string frame(136, '\0');
    frame[0] = char(0xFF);
    frame[1] = char(0xFF);  // MPEG-1, Layer I, no CRC
    frame[2] = char(0x40);  // 128 kbit/s, 44.1 kHz, no padding
    frame[3] = char(0x00);
    std::string file;
    for (int i = 0; i < 40; ++i) file += frame;
    const std::string path = dir.file("layer1.mpa");
    test::WriteFileBytes(path, file);
    return path;
}

TEST_F(MpgFiles, SoundFilesAreNamedPlayedAndSeekable) {
    QffInfo info;
    MpgInfo(TheFiles().mp3, info);
    EXPECT_FALSE(info.hasVideo);
    EXPECT_TRUE(info.hasSound && info.soundSupported);
    EXPECT_EQ(info.soundCompression, "MPEG-1, Layer-III (MP3)");
    EXPECT_EQ(info.soundSamples, 57330);  // the encoder's own count: gapless
    // The wave format is a packed record: its fields are copied, never bound by reference.
    EXPECT_EQ(uint32_t{info.playFormat.samplesPerSec}, 44100u);
    EXPECT_EQ(int{info.playFormat.channels}, 2);

    MpgInfo(TheFiles().lsf, info);
    EXPECT_EQ(info.soundCompression, "MPEG-2 LSF, Layer-II");
    EXPECT_TRUE(info.soundSupported);

    // Layer I is described, never played: with nothing else the file does not open.
    const std::string one = LayerOneFile(TheFiles().dir);
    MpgInfo(one, info);
    EXPECT_EQ(info.soundCompression, "MPEG-1, Layer-I");
    EXPECT_TRUE(info.hasSound);
    EXPECT_FALSE(info.soundSupported);
    QMpgHandle h;
    EXPECT_FALSE(Open(h, one));
    EXPECT_EQ(ErrLastCode(), MVI_OPEN);

    // The MP3 plays: the whole sound in loads that read on, equal to one seek's worth later.
    ASSERT_TRUE(Open(h, TheFiles().mp3)) << ErrLastText();
    EXPECT_FALSE(h.hasVideo);
    Qsnd snd{};
    std::string all;
    for (bool first = true;; first = false) {
        MonitoredIsolated(
            [&] { MpgSndLoad(h, snd, static_cast<int32_t>(all.size() / 4), !first, 10000); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        if (snd.samples <= 0) break;
        all.append(reinterpret_cast<const char*>(snd.data), size_t(snd.samples) * 4);
    }
    EXPECT_EQ(all.size(), 57330u * 4);
    EXPECT_EQ(h.sndPos, 57330);
    const std::vector<int16_t> ref = test::FfmpegS16(TheFiles().mp3);
    ASSERT_EQ(ref.size() * 2, all.size());
    EXPECT_LE(
        test::MaxSampleDiff(reinterpret_cast<const int16_t*>(all.data()), ref.data(), ref.size()), 1);
    MonitoredIsolated([&] { MpgSndLoad(h, snd, 30000, false, 500); });
    ASSERT_EQ(snd.samples, 500);
    EXPECT_EQ(std::memcmp(snd.data, all.data() + 30000 * 4, 500 * 4), 0);
    // Past the end: refused with its own error.
    MonitoredIsolated([&] { MpgSndSeek(h, 57330); });
    EXPECT_EQ(ErrLastGroup(), ERR_MVI);
    EXPECT_EQ(ErrLastCode(), MVI_END);
    SndFree(snd);
    MpgClose(h);

    // A system stream plays its pictures and its sound.
    ASSERT_TRUE(Open(h, TheFiles().system));
    EXPECT_TRUE(h.hasVideo && h.hasAudio);
    EXPECT_EQ(uint32_t{h.outFormat.samplesPerSec}, 44100u);
    MonitoredIsolated([&] { MpgSndLoad(h, snd, 0, false, 4410); });
    EXPECT_EQ(snd.samples, 4410);
    SndFree(snd);
    MpgClose(h);
}

TEST_F(MpgFiles, EveryPictureMatchesFfmpegInOrderAndShuffled) {
    for (const std::string& path :
         {TheFiles().system, TheFiles().elementary, TheFiles().odd, TheFiles().gop}) {
        SCOPED_TRACE(path);
        QMpgHandle h;
        ASSERT_TRUE(Open(h, path)) << ErrLastText();
        const std::string ref = test::FfmpegPictures(path);
        const size_t size = size_t(h.picture.width) * h.picture.height * 3;
        ASSERT_EQ(ref.size(), size * size_t(h.frames)) << "ffmpeg decoded another frame count";
        std::vector<std::string> straight;
        for (int32_t n = 1; n <= h.frames; ++n) {
            straight.push_back(Load(h, img, 0, 1));
            ASSERT_EQ(h.framesDecoded, n);
            EXPECT_GT(test::Psnr(straight.back(), std::string_view(ref).substr(size * (n - 1), size)), 45.0)
                << "frame " << n;
        }
        // Random access, shuffled, gives the pictures of the straight run exactly.
        std::vector<int32_t> order(size_t(h.frames));
        for (size_t i = 0; i < order.size(); ++i) order[i] = int32_t(i) + 1;
        std::shuffle(order.begin(), order.end(), std::mt19937(11));
        for (const int32_t n : order) EXPECT_TRUE(Load(h, img, n, 0) == straight[n - 1]) << n;
        MpgClose(h);
    }
}

TEST_F(MpgFiles, LoadingRewindsOnlyToGoBack) {
    QMpgHandle h;
    ASSERT_TRUE(Open(h, TheFiles().gop));
    std::vector<std::string> straight;
    for (int32_t n = 1; n <= 8; ++n) straight.push_back(Load(h, img, 0, 1));
    // Frame 9 after 8 decodes one more, on the same stream; 9 again in sequence is kept.
    const int32_t stream = h.picture.stream;
    const std::string nine = Load(h, img, 9, 0);
    EXPECT_EQ(h.picture.stream, stream);
    EXPECT_EQ(h.framesDecoded, 9);
    EXPECT_TRUE(Load(h, img, 9, 1) == nine);
    EXPECT_EQ(h.framesDecoded, 9);
    // Frame 5 after 9 rewinds (the stream is opened afresh) and decodes forward to it: the
    // picture of the straight run.
    EXPECT_TRUE(Load(h, img, 5, 1) == straight[4]);
    EXPECT_NE(h.picture.stream, stream);
    EXPECT_EQ(h.framesDecoded, 5);
    // Out of range: refused.
    MonitoredIsolated([&] { MpgImgLoad(h, img, h.frames + 1, 0); });
    EXPECT_EQ(ErrLastCode(), MVI_INVALID_FORMAT);
    MonitoredIsolated([&] { MpgImgLoad(h, img, -1, 0); });
    EXPECT_EQ(ErrLastCode(), MVI_INVALID_FORMAT);
    MpgClose(h);
    EXPECT_EQ(h.picture.stream, 0);
}

TEST_F(MpgFiles, PicturesAreTheLibrarysUnlessRowsAreWiderOrACopyIsAsked) {
    QMpgHandle h;
    ASSERT_TRUE(Open(h, TheFiles().system));  // 160 pixels: whole macroblocks
    EXPECT_EQ(h.picture.rowWidth, 160);
    const std::string first = Load(h, img, 1, 0);
    EXPECT_NE(img.redirected, 0);
    EXPECT_EQ(img.data, h.picture.frame);
    // A copy of its own, when asked: the same picture.
    Qimg copy;
    std::memset(static_cast<void*>(&copy), 0, sizeof copy);
    MonitoredIsolated([&] { MpgImgLoad(h, copy, 1, 2); });
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(copy.redirected, 0);
    EXPECT_NE(copy.data, h.picture.frame);
    EXPECT_TRUE(Pixels(copy) == first);
    ImgFree(copy);
    MpgClose(h);

    // 100 pixels decode in rows of 112: the image gets rows of its own width.
    ASSERT_TRUE(Open(h, TheFiles().odd));
    EXPECT_EQ(h.picture.rowWidth, 112);
    Load(h, img, 3, 0);
    EXPECT_EQ(img.redirected, 0);
    EXPECT_EQ(img.width, 100);
    EXPECT_EQ(img.height, 60);
    MpgClose(h);
}

TEST_F(MpgFiles, DamagedFilesFailCleanly) {
    const std::string original = test::ReadFileBytes(TheFiles().system);
    std::mt19937 rng(5);
    for (int round = 0; round < 24; ++round) {
        std::string bytes = original;
        if (round % 3 == 0) {
            bytes.resize(rng() % bytes.size());
        } else {
            const int flips = round % 3 == 1 ? 4 : 64;
            for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] ^= char(1 << (rng() % 8));
        }
        const std::string path = TheFiles().dir.file("damaged" + std::to_string(round) + ".mpg");
        test::WriteFileBytes(path, bytes);
        QffInfo info;
        MonitoredIsolated([&] { MpgInfo(path, info); });
        EXPECT_TRUE(ErrNone()) << "the description never fails: " << ErrLastText();
        QMpgHandle h;
        if (!Open(h, path)) continue;
        for (int32_t n = 1; n <= h.frames; ++n) {
            MonitoredIsolated([&] { MpgImgLoad(h, img, 0, 1); });
            if (!ErrNone()) {
                const int32_t g = ErrLastGroup();
                EXPECT_TRUE(g == ERR_LIBRARY || g == ERR_MVI) << ErrLastText();
            }
        }
        MonitoredIsolated([&] { MpgImgLoad(h, img, h.frames / 2 + 1, 0); });
        MpgClose(h);
    }
}
