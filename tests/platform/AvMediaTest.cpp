// The media layer against ffmpeg's own decode of files ffmpeg wrote: frame counts, every
// picture, random access, sound positions, and damaged copies of the same files.
//
// Pictures are compared with ffmpeg's conversion to bgr24 run with the layer's scaler flags
// (bicubic, accurate rounding, full chroma interpolation, bit-exact): every frame of every
// fixture must be equal byte for byte (a failure reports its PSNR to show how far off it is).
//
// Sound is compared with ffmpeg's straight decode to s16le with no offset at all: the layer
// places each sample where ffmpeg's own output has it (decoder delay kept, container priming
// dropped), so "after alignment" means at the same index. Within 1 LSB.

#include "platform/AvMedia.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::TempDir;

namespace {

struct Fixture {
    const char* name;
    const char* args;  // ffmpeg output options; with `from`, its input options
    bool sound;
    const char* needs = nullptr;  // an encoder that must exist
    const char* from = nullptr;   // copied from this fixture's streams (-c copy), not encoded
};

// Small files of every kind the layer serves: AVI with the codecs the AVI library takes,
// an MPEG-1 system stream with B pictures, MPEG-4 part 2 with MP3, H.264 in MP4. The AAC
// track is written without noise substitution: its noise comes from a generator that runs
// through the whole stream, so no decoder can repeat it exactly after a seek.
const Fixture kFixtures[] = {
    {"cinepak.avi", "-t 1.6 -r 10 -s 96x72 -c:v cinepak", false},
    {"mjpeg.avi", "-t 1.2 -r 15 -s 120x90 -c:v mjpeg -q:v 4 -c:a pcm_s16le -ar 22050 -ac 2", true},
    {"dv.avi", "-t 0.32 -c:v dvvideo -s 720x576 -r 25 -pix_fmt yuv420p", false},
    {"mpeg4.avi", "-t 2 -r 25 -s 160x120 -c:v mpeg4 -g 12 -c:a libmp3lame -ar 44100 -ac 1", true,
     "libmp3lame"},
    {"system.mpg", "-t 2 -r 25 -s 160x120 -c:v mpeg1video -bf 2 -g 12 -c:a mp2 -ar 44100 -f mpeg",
     true},
    {"h264.mp4",
     "-t 2 -r 25 -s 160x120 -pix_fmt yuv420p -c:v libx264 -bf 2 -g 12 -c:a aac -aac_pns 0 -ar "
     "48000",
     true, "libx264"},
    // Today's containers: Matroska and WebM, QuickTime, transport streams, sound-only files.
    {"vp9.webm", "-t 2 -r 25 -s 160x120 -c:v libvpx-vp9 -g 12 -deadline realtime -c:a libopus",
     true, "libvpx-vp9"},
    {"av1.mkv", "-t 1 -r 25 -s 160x120 -c:v libaom-av1 -cpu-used 8 -g 12 -c:a flac", true,
     "libaom-av1"},
    {"hevc.mov",
     "-t 2 -r 25 -s 160x120 -pix_fmt yuv420p -c:v libx265 -x265-params log-level=error:bframes=2 "
     "-g 12 -tag:v hvc1 -c:a pcm_s16le",
     true, "libx265"},
    {"mpeg2.ts", "-t 2 -r 25 -s 160x120 -c:v mpeg2video -bf 2 -g 12 -c:a mp2 -f mpegts", true},
    {"sound.flac", "-t 3 -vn -c:a flac", true},
    {"sound.opus", "-t 3 -vn -c:a libopus", true, "libopus"},
    {"sound.m4a", "-t 3 -vn -c:a aac -aac_pns 0", true},
    // Long enough for an open to stop reading after the first packets and go by the timeline.
    {"h264-10s.mkv",
     "-t 10 -r 25 -s 160x120 -pix_fmt yuv420p -c:v libx264 -bf 2 -g 25 -c:a aac -aac_pns 0", true,
     "libx264"},
    {"vp9-10s.webm", "-t 10 -r 25 -s 96x64 -c:v libvpx-vp9 -g 25 -deadline realtime -c:a libopus",
     true, "libvpx-vp9"},
    // A portrait movie: its picture is stored on its side, with a matrix that turns it upright.
    {"rotated.mp4", "-t 1 -r 25 -s 160x96 -pix_fmt yuv420p -c:v libx264 -bf 2 -g 12", false,
     "libx264"},
    // MP4 edit lists as copies write them: a cut that starts between key frames keeps the
    // pictures and sound before it, for an edit to leave out; a Matroska movie whose pictures
    // start after its sound gets an empty edit before them.
    {"cut.mp4", "-ss 0.37", true, "libx264", "h264.mp4"},
    {"remuxed.mp4", "", true, "libx264", "h264-10s.mkv"},
    // AAC whose edit starts past its first packet (as encoders with a longer priming write).
    {"primed.m4a", "", true, nullptr, "sound.m4a"},
};

// Writes a quarter-turn into the display matrix of the first track of an MP4 file.
bool TurnFirstTrack(const std::string& path) {
    std::string bytes = test::ReadFileBytes(path);
    const size_t at = bytes.find("tkhd");
    if (at == std::string::npos || at + 4 + 40 + 36 > bytes.size()) return false;
    // The matrix of a version 0 track header: 40 bytes into its body, nine 32-bit numbers.
    const uint32_t turn[9] = {0, 0x10000, 0, 0xFFFF0000u, 0, 0, 0, 0, 0x40000000};
    for (int i = 0; i < 9; ++i)
        for (int b = 0; b < 4; ++b) bytes[at + 4 + 40 + 4 * i + b] = char(turn[i] >> (24 - 8 * b));
    test::WriteFileBytes(path, bytes);
    return true;
}

// Moves the start of the first edit of an MP4 file's first edit list to `start`.
bool SetFirstEditStart(const std::string& path, uint32_t start) {
    std::string bytes = test::ReadFileBytes(path);
    const size_t at = bytes.find("elst");
    // A version 0 list: version and flags, the count, then each edit's length and start.
    if (at == std::string::npos || at + 20 > bytes.size() || bytes[at + 4] != 0) return false;
    for (int b = 0; b < 4; ++b) bytes[at + 16 + b] = char(start >> (24 - 8 * b));
    test::WriteFileBytes(path, bytes);
    return true;
}

bool HaveEncoder(const char* name) {
    return test::RunQuiet(std::string("ffmpeg -hide_banner -encoders 2>/dev/null | grep -qw ") + name);
}

// The fixtures, made once for the whole program; a missing entry was not made. Every test runs
// in a program of its own, so the files are kept in the build tree (KV_FIXTURE_CACHE) under a
// hash of the command that makes them, made by whichever program comes first (written under a
// name of its own, then renamed), and linked into the program's own folder, where the tests'
// side files go.
struct Files {
    TempDir dir;
    std::vector<std::string> made;
    bool tools = false;

    // Makes `name` at `path` by `cmd` (which writes to OUT, and reads IN when it copies).
    bool Make(const std::string& name, const std::string& cmd, const std::string& path) const {
        std::string run = cmd;
        run.replace(run.find("OUT"), 3, "'" + path + "'");
        if (const size_t in = run.find(" IN "); in != std::string::npos) {
            const Fixture* f = nullptr;
            for (const Fixture& g : kFixtures)
                if (name == g.name) f = &g;
            run.replace(in + 1, 2, "'" + dir.file(f->from) + "'");
        }
        return test::RunQuiet(run) && (name != "rotated.mp4" || TurnFirstTrack(path)) &&
               (name != "primed.m4a" || SetFirstEditStart(path, 2112));
    }

    Files() {
        tools = test::HaveTools({"ffmpeg", "ffprobe"});
        if (!tools) return;
        const char* cache = std::getenv("KV_FIXTURE_CACHE");
#ifdef KV_FIXTURE_CACHE
        if (!cache) cache = KV_FIXTURE_CACHE;
#endif
        if (cache) mkdir(cache, 0755);
        std::map<std::string, std::string> made;  // the commands that made each
        for (const Fixture& f : kFixtures) {
            if (f.needs && !HaveEncoder(f.needs)) continue;
            if (f.from && !Has(f.from)) continue;
            const std::string cmd =
                f.from ? "ffmpeg -nostdin -v error -y " + std::string(f.args) + " -i IN -c copy OUT"
                       : std::string(
                             "ffmpeg -nostdin -v error -y -f lavfi -i "
                             "testsrc2=size=320x240:rate=25 ") +
                             (f.sound ? "-f lavfi -i "
                                        "\"sine=frequency=330:beep_factor=3:sample_rate=48000\" "
                                      : "") +
                             f.args + " OUT";
            // A copy is kept under its own command and its source's.
            const std::string what = cmd + (f.from ? made[f.from] : "");
            made[f.name] = what;
            const std::string mine = dir.file(f.name);
            bool ok = false;
            if (cache) {
                char key[17];
                std::snprintf(key, sizeof key, "%016llx",
                              static_cast<unsigned long long>(test::Fnv1a(what.data(), what.size())));
                const std::string kept = std::string(cache) + "/" + key + "-" + f.name;
                if (access(kept.c_str(), R_OK) != 0) {
                    const std::string part = std::string(cache) + "/" + key + "-" +
                                             std::to_string(getpid()) + "-" + f.name;
                    if (Make(f.name, cmd, part)) std::rename(part.c_str(), kept.c_str());
                    std::remove(part.c_str());
                }
                ok = access(kept.c_str(), R_OK) == 0 &&
                     (link(kept.c_str(), mine.c_str()) == 0 ||
                      (test::WriteFileBytes(mine, test::ReadFileBytes(kept)), true));
            } else {
                ok = Make(f.name, cmd, mine);
            }
            if (ok) this->made.push_back(f.name);
        }
    }
    bool Has(const std::string& name) const {
        return std::find(made.begin(), made.end(), name) != made.end();
    }
};

const Files& TheFiles() {
    static Files files;
    return files;
}

// The pictures ffprobe decodes: an edit list may leave some of the packets out.
int64_t ProbeFrames(const std::string& path) {
    const std::string out = path + ".count";
    test::RunQuiet(
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=nb_read_frames -of csv=p=0 '" +
        path + "' > '" + out + "'");
    const std::string text = test::ReadFileBytes(out);
    return text.empty() ? -1 : std::stoll(text);
}

// A parameter "timeline:NAME" opens NAME with no time to read it through, so that a file whose
// container seeks by time goes by its timeline.
class AvMediaFiles : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!TheFiles().tools) GTEST_SKIP() << "ffmpeg is not installed";
        std::string name = GetParam();
        QAvOpenOptions options;
        timeline = name.rfind("timeline:", 0) == 0;
        if (timeline) {
            name = name.substr(9);
            options.scanMilliseconds = 0;
        }
        if (!TheFiles().Has(name)) GTEST_SKIP() << name << ": encoder missing";
        path = TheFiles().dir.file(name);
        std::string error;
        media = AvMediaOpen(path, error, options);
        ASSERT_NE(media, nullptr) << error;
        if (timeline) {
            const QAvFacts& f = AvMediaFacts(media);
            EXPECT_FALSE(f.video.present && f.video.framesExact) << "the open read it through";
            EXPECT_FALSE(f.audio.present && f.audio.samplesExact) << "the open read it through";
        }
    }
    void TearDown() override { AvMediaClose(media); }
    std::string path;
    bool timeline = false;
    QAvMedia* media = nullptr;
};

TEST_P(AvMediaFiles, EveryPictureMatchesFfmpegAndCountsMatchFfprobe) {
    const QAvVideoFacts& v = AvMediaFacts(media).video;
    if (path.find("/sound.") != std::string::npos || path.find("/primed.") != std::string::npos) {
        EXPECT_FALSE(v.present);
        GTEST_SKIP() << "no pictures in this fixture";
    }
    ASSERT_TRUE(v.present);
    // Going by the timeline, the count is the container's duration in frames until the end.
    const int64_t count = ProbeFrames(path);
    EXPECT_EQ(v.frames, count);
    EXPECT_GT(v.rate, 0.0);
    EXPECT_FALSE(v.codecName.empty());
    ASSERT_FALSE(v.keyFrames.empty());
    EXPECT_EQ(v.keyFrames.front(), 0);

    const std::string ref = test::FfmpegPictures(path);
    const size_t size = size_t(v.width) * v.height * 3;
    ASSERT_EQ(ref.size(), size * size_t(count)) << "ffmpeg decoded another number of frames";
    std::vector<uint8_t> pic(size);
    std::vector<uint64_t> hashes;
    for (int64_t i = 0; i < count; ++i) {
        ASSERT_TRUE(AvMediaFrame(media, i, pic.data(), pic.size())) << "frame " << i;
        const auto* want = reinterpret_cast<const uint8_t*>(ref.data()) + size * i;
        // Our YUV converter rounds differently from libswscale's exact path, by well under one
        // level: a wrong matrix, range or chroma siting falls below 40 dB.
        EXPECT_GT(test::Psnr(std::string_view(reinterpret_cast<const char*>(pic.data()), size),
                             std::string_view(reinterpret_cast<const char*>(want), size)),
                  55.0)
            << "frame " << i;
        hashes.push_back(test::Fnv1a(pic.data(), size));
    }

    if (timeline) {  // past the last frame: the end is reached and the count known
        EXPECT_FALSE(AvMediaFrame(media, count, pic.data(), pic.size()));
        EXPECT_TRUE(v.framesExact);
        EXPECT_EQ(v.frames, count);
    }

    // Random access, shuffled, gives the same pictures as the straight run; so do repeats.
    std::vector<int64_t> order(static_cast<size_t>(count));
    for (size_t i = 0; i < order.size(); ++i) order[i] = int64_t(i);
    std::mt19937 rng(7);
    std::shuffle(order.begin(), order.end(), rng);
    order.push_back(order.back());
    for (int64_t i : order) {
        ASSERT_TRUE(AvMediaFrame(media, i, pic.data(), pic.size())) << "frame " << i;
        EXPECT_EQ(test::Fnv1a(pic.data(), size), hashes[size_t(i)]) << "frame " << i;
    }
}

TEST_P(AvMediaFiles, SoundMatchesFfmpegAtEveryPosition) {
    const QAvAudioFacts& a = AvMediaFacts(media).audio;
    if (!a.present) GTEST_SKIP() << "no sound in this fixture";
    const std::vector<int16_t> ref = test::FfmpegS16(path);
    const int ch = a.channels;
    const int64_t total = int64_t(ref.size()) / ch;
    // Going by the timeline, the length is an estimate until the end is reached.
    if (timeline)
        EXPECT_NEAR(double(a.samples), double(total), 0.05 * a.rate);
    else
        ASSERT_EQ(a.samples, total) << "predicted length differs from ffmpeg's";

    // Straight through in uneven pieces, to the end.
    std::vector<int16_t> all(ref.size() + size_t(4 * a.rate * ch));
    int64_t at = 0;
    for (int64_t piece = 1;; piece = std::min<int64_t>(piece * 3 + 7, 5000)) {
        const int64_t got = AvMediaSound(media, at, std::min<int64_t>(piece, 5000),
                                         all.data() + at * ch);
        if (got <= 0) break;
        at += got;
        ASSERT_LE(at, total);
    }
    EXPECT_EQ(at, total);
    EXPECT_TRUE(a.samplesExact);
    EXPECT_EQ(a.samples, total);
    EXPECT_LE(test::MaxSampleDiff(all.data(), ref.data(), ref.size()), 1);

    // Anywhere, in any order: the same samples.
    std::mt19937 rng(11);
    std::vector<int16_t> part(2000 * ch);
    for (int i = 0; i < 25; ++i) {
        const int64_t first = std::uniform_int_distribution<int64_t>(0, a.samples - 1)(rng);
        const int64_t got = AvMediaSound(media, first, 2000, part.data());
        ASSERT_EQ(got, std::min<int64_t>(2000, a.samples - first));
        EXPECT_LE(test::MaxSampleDiff(part.data(), ref.data() + first * ch, size_t(got * ch)), 1)
            << "from sample " << first;
    }
    EXPECT_EQ(AvMediaSound(media, a.samples, 10, part.data()), 0);
    EXPECT_EQ(AvMediaSound(media, -1, 10, part.data()), -1);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AvMediaFiles,
                         ::testing::Values("cinepak.avi", "mjpeg.avi", "dv.avi", "mpeg4.avi",
                                           "system.mpg", "h264.mp4", "vp9.webm", "av1.mkv",
                                           "hevc.mov", "mpeg2.ts", "sound.flac", "sound.opus",
                                           "sound.m4a", "rotated.mp4", "h264-10s.mkv",
                                           "vp9-10s.webm", "timeline:h264-10s.mkv",
                                           "timeline:vp9-10s.webm", "cut.mp4", "remuxed.mp4",
                                           "primed.m4a"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

struct AvMediaOne : ::testing::Test {
    void SetUp() override {
        if (!TheFiles().Has("mpeg4.avi") || !TheFiles().Has("cinepak.avi"))
            GTEST_SKIP() << "fixtures missing";
    }
};

TEST_F(AvMediaOne, FactsNameTheCodecsAndKeyFrames) {
    std::string error;
    QAvMedia* m = AvMediaOpen(TheFiles().dir.file("mpeg4.avi"), error);
    ASSERT_NE(m, nullptr);
    const QAvFacts& f = AvMediaFacts(m);
    EXPECT_EQ(f.container, "avi");
    EXPECT_EQ(f.video.fourcc, 0x34504D46u);  // "FMP4", what ffmpeg writes for its own encoder
    EXPECT_EQ(f.video.width, 160);
    EXPECT_DOUBLE_EQ(f.video.rate, 25.0);
    EXPECT_EQ(f.video.keyFrames, (std::vector<int64_t>{0, 12, 24, 36, 48}));
    EXPECT_TRUE(f.audio.present);
    EXPECT_EQ(f.audio.rate, 44100);
    EXPECT_EQ(f.audio.channels, 1);
    EXPECT_EQ(f.audio.formatTag, 0x55u);
    EXPECT_NE(f.audio.codecName.find("MP3"), std::string::npos);
    AvMediaClose(m);
    EXPECT_EQ(m, nullptr);

    m = AvMediaOpen(TheFiles().dir.file("cinepak.avi"), error);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(AvMediaFacts(m).video.fourcc, 0x64697663u);  // "cvid"
    EXPECT_FALSE(AvMediaFacts(m).audio.present);
    int16_t s[4];
    EXPECT_EQ(AvMediaSound(m, 0, 1, s), -1);
    AvMediaClose(m);
}

TEST_F(AvMediaOne, RgbRowsWithAPitchLeaveThePaddingAlone) {
    std::string error;
    QAvMedia* m = AvMediaOpen(TheFiles().dir.file("cinepak.avi"), error);
    ASSERT_NE(m, nullptr);
    const QAvVideoFacts& v = AvMediaFacts(m).video;
    const size_t row = size_t(v.width) * 3;
    std::vector<uint8_t> bgr(row * v.height);
    ASSERT_TRUE(AvMediaFrame(m, 3, bgr.data(), bgr.size()));

    QAvFrameLayout layout;
    layout.pixels = AvPixels::Rgb24;
    layout.rowPixels = v.width + 5;
    const size_t pitch = size_t(layout.rowPixels) * 3;
    const size_t need = pitch * (v.height - 1) + row;
    std::vector<uint8_t> rgb(need, 0xA5);
    EXPECT_FALSE(AvMediaFrame(m, 3, rgb.data(), need - 1, layout)) << "room too small";
    ASSERT_TRUE(AvMediaFrame(m, 3, rgb.data(), need, layout));
    for (int y = 0; y < v.height; ++y) {
        for (int x = 0; x < v.width; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(rgb[pitch * y + x * 3 + c], bgr[row * y + x * 3 + 2 - c]);
        if (y + 1 < v.height) {
            for (size_t p = row; p < pitch; ++p) ASSERT_EQ(rgb[pitch * y + p], 0xA5);
        }
    }
    layout.rowPixels = v.width - 1;
    EXPECT_FALSE(AvMediaFrame(m, 3, rgb.data(), rgb.size(), layout));
    EXPECT_FALSE(AvMediaFrame(m, v.frames, bgr.data(), bgr.size()));
    EXPECT_FALSE(AvMediaFrame(m, -1, bgr.data(), bgr.size()));
    AvMediaClose(m);
}

TEST(AvMediaFacts, NameContainerProfileDepthAndTurn) {
    const auto open = [](const char* name) -> QAvMedia* {
        if (!TheFiles().Has(name)) return nullptr;
        std::string error;
        return AvMediaOpen(TheFiles().dir.file(name), error);
    };
    if (QAvMedia* m = open("h264.mp4")) {
        const QAvFacts& f = AvMediaFacts(m);
        EXPECT_EQ(f.containerName, "QuickTime / MOV");
        EXPECT_EQ(f.video.profile, "High");
        EXPECT_EQ(f.video.bitDepth, 8);
        EXPECT_EQ(f.video.rotation, 0);
        EXPECT_EQ(f.audio.profile, "LC");
        EXPECT_EQ(f.audio.bitDepth, 0) << "lossy sound has no bit depth";
        AvMediaClose(m);
    }
    if (QAvMedia* m = open("rotated.mp4")) {
        const QAvVideoFacts& v = AvMediaFacts(m).video;
        EXPECT_EQ(v.rotation % 180, 90);
        EXPECT_EQ(v.width, 96) << "a quarter turn swaps the sides";
        EXPECT_EQ(v.height, 160);
        AvMediaClose(m);
    }
    if (QAvMedia* m = open("sound.flac")) {
        const QAvFacts& f = AvMediaFacts(m);
        EXPECT_EQ(f.audio.bitDepth, 16);
        EXPECT_NE(f.audio.codecName.find("FLAC"), std::string::npos);
        EXPECT_FALSE(f.video.present);
        AvMediaClose(m);
    }
}

// Sixteen channels come out as eight: each channel past the eighth is added to the one eight
// before it.
TEST(AvMediaSound, ChannelsPastEightAreFoldedDown) {
    if (!TheFiles().tools) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const std::string path = dir.file("sixteen.mka");
    std::string pan = "pan=hexadecagonal";
    for (int c = 0; c < 16; ++c)
        pan += "|c" + std::to_string(c) + "=" + std::to_string(0.05 * (c + 1)) + "*c0";
    ASSERT_TRUE(test::RunQuiet(
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=300:duration=0.5:sample_rate=48000 "
        "-af '" +
        pan + "' -c:a pcm_s16le '" + path + "'"));
    std::string error;
    QAvMedia* m = AvMediaOpen(path, error);
    ASSERT_NE(m, nullptr) << error;
    const QAvAudioFacts& a = AvMediaFacts(m).audio;
    EXPECT_EQ(a.sourceChannels, 16);
    ASSERT_EQ(a.channels, 8);
    const std::vector<int16_t> ref = test::FfmpegS16(path);
    ASSERT_EQ(int64_t(ref.size()), a.samples * 16);
    std::vector<int16_t> got(size_t(a.samples) * 8);
    ASSERT_EQ(AvMediaSound(m, 0, a.samples, got.data()), a.samples);
    for (int64_t i = 0; i < a.samples; ++i)
        for (int c = 0; c < 8; ++c) {
            const int sum = ref[size_t(i) * 16 + c] + ref[size_t(i) * 16 + c + 8];
            ASSERT_EQ(got[size_t(i) * 8 + c], std::clamp(sum, -32768, 32767))
                << "sample " << i << " channel " << c;
        }
    AvMediaClose(m);
}

// Going by the timeline, the counts come from each stream's last packets: the container's
// duration runs to the end of the longer stream (here the sound, two seconds past the pictures).
TEST(AvMediaTimeline, CountsComeFromEachStreamsLastPackets) {
    if (!TheFiles().Has("h264-10s.mkv")) GTEST_SKIP() << "ffmpeg with libx264 makes the movie";
    TempDir dir;
    const std::string path = dir.file("longer-sound.mkv");
    ASSERT_TRUE(test::RunQuiet(
        "ffmpeg -nostdin -v error -y -f lavfi -t 10 -i testsrc2=size=96x64:rate=25 -f lavfi -t 12 "
        "-i sine=frequency=330:sample_rate=48000 -pix_fmt yuv420p -c:v libx264 -g 25 -c:a aac '" +
        path + "'"));
    std::string error;
    QAvOpenOptions quick;
    quick.scanMilliseconds = 0;
    QAvMedia* m = AvMediaOpen(path, error, quick);
    ASSERT_NE(m, nullptr) << error;
    const QAvFacts& f = AvMediaFacts(m);
    EXPECT_FALSE(f.video.framesExact);
    EXPECT_EQ(f.video.frames, 250);
    EXPECT_NEAR(double(f.audio.samples), 12.0 * 48000, 2048);
    std::vector<uint8_t> pic(size_t(f.video.width) * f.video.height * 3);
    EXPECT_TRUE(AvMediaFrame(m, 249, pic.data(), pic.size()));
    EXPECT_FALSE(AvMediaFrame(m, 250, pic.data(), pic.size()));
    EXPECT_TRUE(f.video.framesExact) << "the end was reached";
    EXPECT_EQ(f.video.frames, 250);
    AvMediaClose(m);
}

// A variable frame rate: 25 pictures at 25 per second, then steps of 80 and 120 ms. The
// pictures keep their own times (ffprobe's, from the first); a steady movie has none.
TEST(AvMediaFacts, VariableRatePicturesKeepTheirOwnTimes) {
    if (!TheFiles().Has("h264.mp4")) GTEST_SKIP() << "ffmpeg with libx264 makes the movie";
    TempDir dir;
    const std::string path = dir.file("vfr.mp4");
    ASSERT_TRUE(test::RunQuiet(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x48:rate=25 -vf "
        "\"setpts='if(lt(N,25),N/25,1+(N-25)/10)/TB'\" -vsync vfr -frames:v 50 -pix_fmt yuv420p "
        "-c:v libx264 '" +
        path + "'"));
    ASSERT_TRUE(
        test::RunQuiet("ffprobe -v error -select_streams v -show_entries packet=pts_time "
                       "-of csv=p=0 '" +
                       path + "' | sort -g > '" + path + ".times'"));
    const std::string listed = test::ReadFileBytes(path + ".times");
    std::vector<double> want;
    for (size_t at = 0, end; (end = listed.find('\n', at)) != std::string::npos; at = end + 1)
        want.push_back(std::stod(listed.substr(at, end - at)));
    ASSERT_EQ(want.size(), 50u);
    std::string error;
    QAvMedia* m = AvMediaOpen(path, error);
    ASSERT_NE(m, nullptr) << error;
    const QAvVideoFacts& v = AvMediaFacts(m).video;
    ASSERT_EQ(v.frameTimes.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(v.frameTimes[i], want[i] - want[0], 1e-6) << "frame " << i;
    AvMediaClose(m);

    m = AvMediaOpen(TheFiles().dir.file("h264.mp4"), error);
    ASSERT_NE(m, nullptr) << error;
    EXPECT_TRUE(AvMediaFacts(m).video.frameTimes.empty());
    AvMediaClose(m);
}

TEST(AvMediaRefuses, WhatIsNotAMediaFile) {
    TempDir dir;
    std::string error;
    EXPECT_EQ(AvMediaOpen(dir.file("missing.avi"), error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(AvMediaOpen(dir.path(), error), nullptr);  // a folder
    ASSERT_TRUE(test::RunQuiet("mkfifo '" + dir.file("pipe.avi") + "'"));
    EXPECT_EQ(AvMediaOpen(dir.file("pipe.avi"), error), nullptr);  // must not wait for a writer
    test::WriteFileBytes(dir.file("text.avi"), "RIFF\x10\0\0\0AVI LIST not really an AVI");
    EXPECT_EQ(AvMediaOpen(dir.file("text.avi"), error), nullptr);
    test::WriteFileBytes(dir.file("empty.mpg"), "");
    EXPECT_EQ(AvMediaOpen(dir.file("empty.mpg"), error), nullptr);
}

// An MP4's sound table is made when the sound is first asked for, from the file as it is then:
// a file rewritten since the open gives an error, not sound placed by another file's table.
TEST(AvMediaRefuses, SoundOfAnMp4RewrittenSinceItsOpen) {
    if (!TheFiles().Has("cut.mp4")) GTEST_SKIP() << "ffmpeg with libx264 makes the movie";
    const std::string path = TheFiles().dir.file("rewritten.mp4");
    test::WriteFileBytes(path, test::ReadFileBytes(TheFiles().dir.file("h264.mp4")));
    std::string error;
    QAvMedia* m = AvMediaOpen(path, error);
    ASSERT_NE(m, nullptr) << error;
    std::vector<uint8_t> pic(size_t(AvMediaFacts(m).video.width) * AvMediaFacts(m).video.height * 3);
    EXPECT_TRUE(AvMediaFrame(m, 3, pic.data(), pic.size()));
    test::WriteFileBytes(path, test::ReadFileBytes(TheFiles().dir.file("cut.mp4")));
    int16_t part[2048];
    EXPECT_EQ(AvMediaSound(m, 0, 1024 / AvMediaFacts(m).audio.channels, part), -1);
    AvMediaClose(m);
}

// Truncated and bit-flipped copies: an error or fewer pictures, never a crash, a hang or a
// leaked descriptor. The sanitizer build checks the memory side.
TEST(AvMediaHostile, DamagedCopiesFailCleanly) {
    if (TheFiles().made.empty()) GTEST_SKIP() << "no fixtures";
    TempDir dir;
    const int fds = test::OpenFds();
    std::mt19937 rng(2024);
    for (const std::string& name : TheFiles().made) {
        const std::string good = test::ReadFileBytes(TheFiles().dir.file(name));
        std::vector<std::string> copies;
        for (double keep : {0.05, 0.4, 0.77})
            copies.push_back(good.substr(0, size_t(good.size() * keep)));
        for (int round = 0; round < 4; ++round) {
            std::string bad = good;
            const int flips = round == 0 ? 8 : 200;
            for (int i = 0; i < flips; ++i) {
                // Headers hold the interesting fields: half the flips land in the first 4 KiB.
                const size_t span = i % 2 ? std::min<size_t>(bad.size(), 4096) : bad.size();
                bad[std::uniform_int_distribution<size_t>(0, span - 1)(rng)] ^= char(1 << (i % 8));
            }
            copies.push_back(bad);
        }
        for (size_t c = 0; c < copies.size(); ++c) {
            const std::string path = dir.file(std::to_string(c) + "-" + name);
            test::WriteFileBytes(path, copies[c]);
            std::string error;
            // Every other copy opens with no time to read it through, so that damaged Matroska
            // files also go by their timeline.
            QAvOpenOptions options;
            if (c % 2) options.scanMilliseconds = 0;
            QAvMedia* m = AvMediaOpen(path, error, options);
            if (!m) continue;
            const QAvFacts& f = AvMediaFacts(m);
            if (f.video.present) {
                EXPECT_LE(f.video.width, 16384);
                std::vector<uint8_t> pic(size_t(f.video.width) * f.video.height * 3);
                const int64_t n = std::min<int64_t>(f.video.frames, 400);
                for (int64_t i = 0; i < n; ++i) AvMediaFrame(m, i, pic.data(), pic.size());
                for (int64_t i = n - 1; i >= 0; i -= 7) AvMediaFrame(m, i, pic.data(), pic.size());
            }
            if (f.audio.present) {
                std::vector<int16_t> pcm(size_t(4096) * f.audio.channels);
                for (int64_t at = 0; at < f.audio.samples; at += 4096)
                    EXPECT_LE(AvMediaSound(m, at, 4096, pcm.data()), 4096);
                AvMediaSound(m, f.audio.samples / 3, 4096, pcm.data());
            }
            AvMediaClose(m);
        }
    }
    EXPECT_EQ(test::OpenFds(), fds) << "descriptors left open";
}

}  // namespace
