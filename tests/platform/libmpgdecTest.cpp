// The MPEG audio library on files made by ffmpeg (Layer II and III, CBR and VBR with and without
// an info frame, the low rates, a system stream) and made here (Layer I, tags around the frames):
// the facts it reports, the sound against other decoders, exact seeks, handles, damaged input.

#include "platform/libmpgdec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::RunQuiet;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

// 1.3 s of two sines at RATE (440 Hz left, 660 Hz right); the mono files take the first.
const std::string kTone = "-f lavfi -i sine=f=440:r=RATE:d=1.3 -f lavfi -i sine=f=660:r=RATE:d=1.3";
const std::string kStereo = "-filter_complex amerge ";

struct Fixture {
    const char* name;
    std::string make;                             // ffmpeg's arguments after the inputs
    int32_t rate, channels, layer, lsf, bitRate;  // bitRate 0: variable
    int32_t samples;  // the encoder's own count when it records it, else 0
};
void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name; }

const std::vector<Fixture> kFixtures = {
    {"l2.mp2", kStereo + "-c:a mp2 -b:a 192k", 44100, 2, 2, 0, 192, 0},
    {"l3cbr.mp3", kStereo + "-c:a libmp3lame -b:a 128k -metadata title=T", 44100, 2, 3, 0, 128, 57330},
    {"l3vbr.mp3", kStereo + "-c:a libmp3lame -q:a 4", 44100, 2, 3, 0, 0, 57330},
    {"l3noxing.mp3", kStereo + "-c:a libmp3lame -q:a 4 -write_xing 0", 44100, 2, 3, 0, 0, 0},
    {"l3lsf.mp3", "-map 0 -c:a libmp3lame -b:a 64k", 22050, 1, 3, 1, 64, 28665},
    {"l3mpeg25.mp3", "-map 0 -c:a libmp3lame -b:a 24k", 12000, 1, 3, 1, 24, 15600},
    // Made here: Layer I frames (ffmpeg has no encoder for them), and l3vbr with tags around it.
    {"l1.mp1", "", 44100, 2, 1, 0, 128, 40 * 384},
    {"tagged.mp3", "", 44100, 2, 3, 0, 0, 57330},
    {"system.mpg",
     "-f lavfi -i testsrc=size=160x120:rate=25:d=1.3 " + kStereo +
         "-map 2:v -c:v mpeg1video -c:a mp2 -b:a 128k -f mpeg",
     44100, 2, 2, 0, 128, 0},
};

// A Layer I stream: MPEG-1, 44.1 kHz, 128 kbit/s, stereo, no CRC, no padding; every allocation
// is 0, so each 136-byte frame of 384 samples is silence.
std::string LayerOne(int frames) {
    std::string all;
    for (int i = 0; i < frames; ++i)
        all += std::string("\xFF\xFF\x40\0", 4) + std::string(132, '\0');
    return all;
}

// The fixtures, made once; a name maps to an empty path when it could not be made.
struct Files {
    TempDir dir;
    std::map<std::string, std::string> path;
    Files() {
        for (const Fixture& f : kFixtures) {
            std::string tone = kTone;
            for (size_t at; (at = tone.find("RATE")) != std::string::npos;)
                tone.replace(at, 4, std::to_string(f.rate));
            const std::string out = dir.file(f.name);
            path[f.name] = !f.make.empty() && RunQuiet("ffmpeg -nostdin -v error -y " + tone + " " +
                                                       f.make + " '" + out + "'")
                               ? out
                               : "";
        }
        WriteFileBytes(path["l1.mp1"] = dir.file("l1.mp1"), LayerOne(40));
        // 16384 bytes of ID3v2 (synchsafe size) in front; behind, an APE item of 19 bytes padded
        // to 42 with its footer (version 2000, 1 item), and ID3v1.
        const std::string id3v2 = std::string("ID3\x03\0\0\0\0\x01\0", 10) + std::string(16384, '\0');
        const std::string ape = std::string("\x05\0\0\0\0\0\0\0Title\0Tones", 19) +
                                std::string(23, 'x') +
                                std::string("APETAGEX\xD0\x07\0\0\x2A\0\0\0\x01", 17) +
                                std::string(15, '\0');
        if (!path["l3vbr.mp3"].empty())
            WriteFileBytes(
                path["tagged.mp3"] = dir.file("tagged.mp3"),
                id3v2 + ReadFileBytes(path["l3vbr.mp3"]) + ape + "TAG" + std::string(125, 'a'));
    }
};
Files& TheFiles() {
    static Files files;
    return files;
}

// Everything a handle delivers from where it is, in reads of `run` sample frames.
std::vector<int16_t> ReadAll(int32_t h, int32_t channels, int32_t run = 1000) {
    std::vector<int16_t> all, buf(static_cast<size_t>(run * channels));
    for (int32_t got, guard = 0; guard < 100000 && (got = mpg_audio_read(h, buf.data(), run)) > 0;
         ++guard) {
        EXPECT_LE(got, run);
        all.insert(all.end(), buf.begin(), buf.begin() + got * channels);
    }
    return all;
}

std::vector<int16_t> Decode(const std::string& path, QMpgAudioInfo& info) {
    EXPECT_TRUE(mpg_audio_info(path.c_str(), &info)) << path;
    const int32_t h = mpg_audio_open(path.c_str());
    EXPECT_GT(h, 0) << path;
    std::vector<int16_t> all = ReadAll(h, info.channels);
    EXPECT_TRUE(mpg_audio_close(h));
    return all;
}

struct MpgAudioFiles : ::testing::TestWithParam<Fixture> {
    void SetUp() override {
        if (!test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the fixtures";
        path = TheFiles().path[GetParam().name];
        if (path.empty()) GTEST_SKIP() << GetParam().name << ": ffmpeg could not make it";
    }
    std::string path;
};

// For the tests outside the table: the path of fixture `name`, or a skip.
#define FIXTURE(var, name)                                                         \
    if (!test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the fixtures"; \
    const std::string var = TheFiles().path[name];                                 \
    if (var.empty()) GTEST_SKIP() << name << ": ffmpeg could not make it"

}  // namespace

TEST_P(MpgAudioFiles, FactsTotalAndSoundMatchOtherDecoders) {
    const Fixture& f = GetParam();
    QMpgAudioInfo info{};
    const std::vector<int16_t> ours = Decode(path, info);
    EXPECT_EQ(info.rate, f.rate);
    EXPECT_EQ(info.channels, f.channels);
    EXPECT_EQ(info.bits, 16);
    EXPECT_EQ(info.frameBytes, f.channels * 2);
    EXPECT_EQ(info.layer, f.layer);
    EXPECT_EQ(info.lsf, f.lsf);
    EXPECT_EQ(info.reserved, 0);
    EXPECT_EQ(info.bitRate, f.bitRate ? f.bitRate : info.bitRate);
    EXPECT_TRUE(info.bitRate >= 16 && info.bitRate <= 320) << info.bitRate;
    // The total is what a decode delivers, and the encoder's own count when it kept one.
    EXPECT_EQ(int64_t(ours.size()), int64_t(info.samples) * info.channels);
    EXPECT_EQ(info.samples, f.samples ? f.samples : info.samples);
    EXPECT_GE(info.samples, f.samples ? f.samples : f.rate * 13 / 10);

    // The tagged file's reference is the same stream without its tags: behind this ID3v2 tag,
    // ffmpeg misses the encoder's info frame and keeps the delay and padding.
    const std::string plain = path.ends_with("tagged.mp3") ? TheFiles().path["l3vbr.mp3"] : path;
    // ffmpeg's decoder: within 1 of ours (it rounds its own way), and as long, since it too drops
    // the delay and padding an encoder's info frame records.
    std::vector<int16_t> theirs = test::FfmpegS16(plain);
    ASSERT_EQ(theirs.size(), ours.size());
    EXPECT_LE(test::MaxSampleDiff(ours.data(), theirs.data(), ours.size()), 1);
    // libmpg123's own program: the same decoder, though its mono output is rounded apart from
    // the library's by up to 1. The system stream's audio is taken out of its container first.
    if (!test::HaveTools({"mpg123"})) return;
    std::string input = plain;
    if (path.ends_with(".mpg")) {
        ASSERT_TRUE(RunQuiet("ffmpeg -nostdin -v error -y -i '" + path + "' -map 0:a -c copy '" +
                             (input = path + ".mp2") + "'"));
    }
    ASSERT_TRUE(RunQuiet("mpg123 -q -s -e s16 '" + input + "' > '" + path + ".raw'"));
    const std::string raw = ReadFileBytes(path + ".raw");
    ASSERT_EQ(raw.size(), ours.size() * 2);
    theirs.assign(ours.size(), 0);
    std::memcpy(theirs.data(), raw.data(), raw.size());
    EXPECT_LE(test::MaxSampleDiff(ours.data(), theirs.data(), ours.size()), 1);
}

TEST_P(MpgAudioFiles, SeeksLandOnTheSampleOfAStraightDecode) {
    QMpgAudioInfo info{};
    const std::vector<int16_t> all = Decode(path, info);
    const int32_t n = info.samples, ch = info.channels;
    ASSERT_EQ(int64_t(all.size()), int64_t(n) * ch);
    std::vector<int32_t> at = {0, 1, 100, 575, 1152, 4000, n / 2, n - 1153, n - 1};
    std::mt19937 rng(7);
    for (int i = 0; i < 6; ++i) at.push_back(static_cast<int32_t>(rng() % uint32_t(n)));
    std::shuffle(at.begin(), at.end(), rng);
    const int32_t h = mpg_audio_open(path.c_str());
    ASSERT_GT(h, 0);
    std::vector<int16_t> buf(size_t(700 * ch));
    for (const int32_t pos : at) {
        ASSERT_TRUE(mpg_audio_seek(h, pos)) << pos;
        const int32_t got = mpg_audio_read(h, buf.data(), 700);
        ASSERT_EQ(got, std::min(700, n - pos)) << pos;
        const auto bad = std::mismatch(buf.begin(), buf.begin() + got * ch, all.begin() + pos * ch);
        EXPECT_EQ(bad.first - buf.begin(), got * ch) << pos;
    }
    // At or past the end, or before the start: refused, and the position stays.
    ASSERT_TRUE(mpg_audio_seek(h, n - 10));
    EXPECT_FALSE(mpg_audio_seek(h, n));
    EXPECT_FALSE(mpg_audio_seek(h, n + 5000));
    EXPECT_FALSE(mpg_audio_seek(h, -1));
    EXPECT_EQ(mpg_audio_read(h, buf.data(), 700), 10);
    EXPECT_EQ(mpg_audio_read(h, buf.data(), 700), 0);
    EXPECT_TRUE(mpg_audio_close(h));
}

INSTANTIATE_TEST_SUITE_P(MpgAudio, MpgAudioFiles, ::testing::ValuesIn(kFixtures),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             return name.substr(0, name.find('.'));
                         });

TEST(MpgAudio, HandlesAreRefusedOnceClosedOrNeverIssued) {
    FIXTURE(path, "l2.mp2");
    int16_t buf[64];
    for (const int32_t bad : {0, -1, 1, 4095, 1 << 12 | 1, INT32_MAX}) {
        EXPECT_EQ(mpg_audio_read(bad, buf, 16), 0) << bad;
        EXPECT_EQ(mpg_audio_seek(bad, 0), 0) << bad;
        EXPECT_EQ(mpg_audio_close(bad), 0) << bad;
    }
    const int32_t a = mpg_audio_open(path.c_str());
    ASSERT_GT(a, 0);
    ASSERT_TRUE(mpg_audio_close(a));
    const int32_t b = mpg_audio_open(path.c_str());  // the same slot, a later generation
    ASSERT_GT(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(mpg_audio_read(a, buf, 16), 0);
    EXPECT_EQ(mpg_audio_close(a), 0);
    EXPECT_EQ(mpg_audio_read(b, buf, 16), 16);
    EXPECT_EQ(mpg_audio_read(b, nullptr, 16), 0);
    EXPECT_TRUE(mpg_audio_close(b));
    EXPECT_EQ(mpg_audio_close(b), 0);
    // Not files of MPEG audio: nothing opens.
    WriteFileBytes(TheFiles().dir.file("empty.mp3"), "");
    for (const std::string name : {"empty.mp3", "missing.mp3", "", "."}) {
        const std::string p = TheFiles().dir.file(name);
        QMpgAudioInfo info;
        EXPECT_EQ(mpg_audio_info(p.c_str(), &info), 0) << name;
        EXPECT_EQ(mpg_audio_open(p.c_str()), 0) << name;
    }
    EXPECT_EQ(mpg_audio_open(nullptr), 0);
}

TEST(MpgAudio, HandlesDecodeSideBySideOnThreads) {
    FIXTURE(a, "l3vbr.mp3");
    FIXTURE(b, "system.mpg");
    QMpgAudioInfo info{};
    const std::vector<int16_t> want[2] = {Decode(a, info), Decode(b, info)};
    std::vector<int16_t> got[2];
    const auto run = [&](int i) {
        const int32_t h = mpg_audio_open((i ? b : a).c_str());
        got[i] = ReadAll(h, 2, i ? 777 : 333);
        mpg_audio_close(h);
    };
    std::thread one(run, 0), two(run, 1);
    one.join();
    two.join();
    EXPECT_TRUE(got[0] == want[0]);
    EXPECT_TRUE(got[1] == want[1]);
}

// Truncations, flipped bits in headers and data, garbage and absurd sizes: a clean refusal or a
// shorter sound, never more than the total, and every read and seek returns.
TEST(MpgAudio, DamagedFilesFailCleanly) {
    if (!test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the fixtures";
    std::vector<std::string> damaged;
    std::mt19937 rng(11);
    for (const char* name : {"l3vbr.mp3", "l2.mp2", "system.mpg", "l3lsf.mp3"}) {
        const std::string bytes = ReadFileBytes(TheFiles().path[name]);
        ASSERT_FALSE(bytes.empty()) << name;
        for (const size_t cut : {size_t(1), size_t(4), size_t(200), bytes.size() / 2})
            damaged.push_back(bytes.substr(0, cut));
        for (int round = 0; round < 6; ++round) {
            std::string flipped = bytes;
            const size_t span = round < 3 ? std::min<size_t>(bytes.size(), 2048) : bytes.size();
            for (int i = 0; i < 40; ++i) flipped[rng() % span] ^= char(1 << (rng() % 8));
            damaged.push_back(flipped);
        }
    }
    std::string garbage(50000, '\0');
    for (char& c : garbage) c = char(rng());
    damaged.push_back(garbage);
    // An ID3v2 tag far longer than the file, and a frame count of 2^31 - 1 in an info frame.
    damaged.push_back("ID3\x04" + std::string("\0\x7F\x7F\x7F\x7F", 5) + LayerOne(3));
    std::string xing = ReadFileBytes(TheFiles().path["l3vbr.mp3"]);
    const size_t at = xing.find("Xing");
    ASSERT_NE(at, std::string::npos);
    xing.replace(at + 8, 4, "\x7F\xFF\xFF\xFF");
    damaged.push_back(xing);

    const std::string file = TheFiles().dir.file("damaged.mp3");
    std::vector<int16_t> buf(4000 * 2);
    for (size_t i = 0; i < damaged.size(); ++i) {
        WriteFileBytes(file, damaged[i]);
        QMpgAudioInfo info{};
        const int32_t described = mpg_audio_info(file.c_str(), &info);
        const int32_t h = mpg_audio_open(file.c_str());
        EXPECT_EQ(described != 0, h > 0) << i;
        if (h <= 0) continue;
        EXPECT_TRUE(info.channels == 1 || info.channels == 2) << i;
        EXPECT_GT(info.samples, 0) << i;
        int64_t total = 0;
        for (int32_t got; (got = mpg_audio_read(h, buf.data(), 4000)) > 0;) total += got;
        EXPECT_LE(total, info.samples) << i;
        for (int k = 0; k < 4; ++k) {
            const auto pos = static_cast<int32_t>(rng() % uint32_t(info.samples));
            if (!mpg_audio_seek(h, pos)) continue;
            EXPECT_LE(mpg_audio_read(h, buf.data(), 4000), info.samples - pos) << i;
        }
        EXPECT_TRUE(mpg_audio_close(h));
    }
}
