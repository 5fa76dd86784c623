#include "formats/FF_AVI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "image/ImgBasic.h"
#include "platform/VideoCodec.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "sound/SndBasic.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

uint32_t Code(const char* s) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0]) | static_cast<uint8_t>(s[1]) << 8 |
                                 static_cast<uint8_t>(s[2]) << 16) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

}  // namespace

// Sound codec names: PCM by its own words, others by their decoder, the rest unknown.
TEST(AviNames, AudioCodecNames) {
    EXPECT_EQ(AVIGetAudioName(1), "(#1) PCM, uncompressed");
    EXPECT_EQ(AVIGetAudioName(0x1234), "(#4660) Unknown codec");
    EXPECT_EQ(AVIGetAudioName(0), "(#0) Unknown codec");
    for (uint16_t tag : {2, 3, 6, 7, 0x11, 0x31, 0x50, 0x55}) {
        const std::string name = AVIGetAudioName(tag);
        const std::string head = "(#" + std::to_string(tag) + ") ";
        EXPECT_EQ(name.substr(0, head.size()), head);
        EXPECT_GT(name.size(), head.size() + 2) << name;
        EXPECT_EQ(name.find("Unknown"), std::string::npos) << name;
    }
    EXPECT_NE(AVIGetAudioName(0x55).find("MP3"), std::string::npos);
}

TEST(AviNames, VideoCodecClasses) {
    for (const char* full : {"DIB ", "dib ", "RAW ", "Raw ", "RGB ", "rgb "})
        EXPECT_TRUE(AVIChk4FullFrames_(Code(full))) << full;
    EXPECT_TRUE(AVIChk4FullFrames_(0));
    for (const char* other : {"DIB0", "RGBA", "MSVC", "cvid"})
        EXPECT_FALSE(AVIChk4FullFrames_(Code(other))) << other;
    for (const char* v1 : {"MSVC", "msvc", "CRAM", "cram", "WHAM", "wHaM"})
        EXPECT_TRUE(AVIChk4Video1_(Code(v1))) << v1;
    for (const char* other : {"MSV1", "DIB ", "mjpg"}) EXPECT_FALSE(AVIChk4Video1_(Code(other)));
    EXPECT_FALSE(AVIChk4Video1_(0));
}

TEST(AviNames, VideoCodecNames) {
    EXPECT_EQ(AVIGetVideoName(0), "Full frames, uncompressed");
    EXPECT_EQ(AVIGetVideoName(Code("dib ")), "(dib ) Full frames, uncompressed");
    EXPECT_EQ(AVIGetVideoName(Code("QQQQ")), "(QQQQ) Unknown codec");
    const std::string mjpg = AVIGetVideoName(Code("MJPG"));
    EXPECT_EQ(mjpg.substr(0, 7), "(MJPG) ");
    EXPECT_NE(mjpg.find("JPEG"), std::string::npos) << mjpg;
    // Every Video 1 code has the one decoder's name.
    const std::string msvc = AVIGetVideoName(Code("msvc")).substr(7);
    EXPECT_NE(msvc, "Unknown codec");
    EXPECT_EQ(AVIGetVideoName(Code("WHAM")), "(WHAM) " + msvc);
    EXPECT_EQ(AVIGetVideoName(Code("cvid")).find("Unknown"), std::string::npos);
}

// What the decompressors deliver is what the image helpers take: every depth.
TEST(AviNames, DecompressedFramesBuildImages) {
    for (const uint16_t bits : {8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        std::vector<uint8_t> format(bits == 8 ? 48 : 40, 0);
        format[0] = 40;
        format[4] = 5;  // 5 x 3 pixels, top-down rows
        std::memset(&format[8], 0xFF, 4);
        format[8] = 0xFD;
        format[12] = 1;
        format[14] = static_cast<uint8_t>(bits);
        if (bits == 8) {
            format[32] = 2;
            const uint8_t table[8] = {10, 20, 30, 0, 40, 50, 60, 0};
            std::memcpy(&format[40], table, sizeof table);
        }
        QVideoCodec* codec = nullptr;
        ASSERT_EQ(VideoCodecOpen(&codec, format.data(), static_cast<int32_t>(format.size()), 0),
                  ICERR_OK);
        const int32_t stride = (5 * (bits / 8) + 3) & ~3;
        std::vector<uint8_t> frame(static_cast<size_t>(stride) * 3, 0);
        for (int32_t y = 0; y < 3; ++y)
            frame[static_cast<size_t>(y * stride)] = static_cast<uint8_t>(y ? 0 : 1);
        std::vector<uint8_t> dib;
        ASSERT_EQ(
            VideoCodecDecode(codec, frame.data(), static_cast<int32_t>(frame.size()), true, dib),
            ICERR_OK);
        VideoCodecClose(codec);
        Qimg img;
        std::memset(static_cast<void*>(&img), 0, sizeof img);
        DibToQimg(img, dib.data(), static_cast<int64_t>(dib.size()));
        EXPECT_EQ(img.width, 5);
        EXPECT_EQ(img.height, 3);
        EXPECT_EQ(img.bitsPP, bits == 16 ? 15 : bits);
        ASSERT_NE(img.data, nullptr);
        EXPECT_EQ(img.data[0], 1);  // the first stored row of a top-down frame stays on top
        EXPECT_EQ(img.data[img.bytesPP * 5], 0);
        if (bits == 8) {
            EXPECT_EQ(img.palette[1].blue, 40);
            EXPECT_EQ(img.palette[1].red, 60);
        }
        ImgFree(img);
    }
}

// --- Files made by ffmpeg -------------------------------------------------------------------
//
// Pictures are compared with ffmpeg's own decode. Lossless codecs must match exactly; for lossy
// codecs the reference is converted to blue, green, red with
//   -sws_flags bicubic+accurate_rnd+full_chroma_int+bitexact
// (exact rounding, chroma interpolated to every pixel, no platform-specific shortcuts), so that
// what is left between the two decodes is the colour conversion, held to 45 dB PSNR.

namespace {

namespace fs = std::filesystem;
using test::RunQuiet;
using test::TempDir;

bool Ffmpeg(const std::string& args) {
    return RunQuiet("ffmpeg -v error -nostdin -y " + args + " </dev/null");
}

// The whole video stream as ffmpeg decodes it, frames back to back in `pixFmt`.
std::string FfmpegFrames(const std::string& path, const char* pixFmt) {
    std::string bytes = test::FfmpegPictures(path, pixFmt);
    // The top bit of a 5-5-5 word is not part of the colour.
    if (std::string_view(pixFmt) == "rgb555le")
        for (size_t i = 1; i < bytes.size(); i += 2) bytes[i] = static_cast<char>(bytes[i] & 0x7F);
    return bytes;
}

// A decoded picture in ffmpeg's packing: 5-5-5 words for 15 bits, else blue, green, red bytes
// (palette pictures through their palette, the fourth byte of 32-bit pixels dropped).
std::string Packed(const Qimg& img) {
    const size_t pixels = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
    std::string out;
    if (img.bitsPP == 15 || img.bitsPP == 16) {
        out.resize(pixels * 2);
        for (size_t i = 0; i < pixels; ++i) {
            const uint16_t v = static_cast<uint16_t>(img.data[2 * i] | img.data[2 * i + 1] << 8);
            out[2 * i] = static_cast<char>(v & 0xFF);
            out[2 * i + 1] = static_cast<char>((v >> 8) & 0x7F);
        }
        return out;
    }
    out.resize(pixels * 3);
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* bgr = img.bitsPP == 8 ? &img.palette[img.data[i]].blue
                                             : img.data + i * static_cast<size_t>(img.bytesPP);
        out[3 * i] = static_cast<char>(bgr[0]);
        out[3 * i + 1] = static_cast<char>(bgr[1]);
        out[3 * i + 2] = static_cast<char>(bgr[2]);
    }
    return out;
}

using test::Psnr;

bool Open(QAviHandle& h, const std::string& path) {
    MonitoredIsolated([&] { AviOpen(h, path); });
    return ErrNone();
}

void Close(QAviHandle& h) {
    MonitoredIsolated([&] { AviClose(h); });
}

// Frame n (from 1) as `Packed` gives it; empty when the load failed.
std::string Frame(QAviHandle& h, Qimg& img, int32_t n, int32_t mode) {
    MonitoredIsolated([&] { AviImgLoad(h, img, n, mode); });
    return ErrNone() ? Packed(img) : std::string();
}

// Every frame in order, as the player loads them.
std::vector<std::string> AllFrames(QAviHandle& h) {
    std::vector<std::string> frames;
    Qimg img{};
    for (int32_t n = 1; n <= h.frames; ++n) {
        frames.push_back(Frame(h, img, n, 1));
        if (frames.back().empty()) {
            ADD_FAILURE() << "frame " << n << ": " << ErrLastText();
            break;
        }
    }
    ImgFree(img);
    return frames;
}

// All the sound from the start, in loads of `piece` sample frames, as 16-bit samples.
std::vector<int16_t> AllSound(QAviHandle& h, int32_t piece) {
    std::vector<int16_t> pcm;
    Qsnd s{};
    int32_t pos = 0;
    while (pos < h.pcmLength) {
        MonitoredIsolated([&] { AviSndLoad(h, s, pos, true, piece); });
        if (!ErrNone() || s.samples <= 0) break;
        const auto* from = reinterpret_cast<const int16_t*>(s.data);
        pcm.insert(pcm.end(), from, from + static_cast<size_t>(s.samples) * h.outFormat.channels);
        pos += s.samples;
    }
    SndFree(s);
    return pcm;
}

// Key frames of the video stream by ffprobe's packet flags, numbered from 1.
std::vector<int32_t> KeyFrames(const std::string& path) {
    const std::string out = path + ".keys";
    if (!RunQuiet("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 '" +
                  path + "' >'" + out + "'"))
        return {};
    std::vector<int32_t> keys;
    std::istringstream lines(test::ReadFileBytes(out));
    std::string line;
    for (int32_t n = 1; std::getline(lines, line); ++n)
        if (line.find('K') != std::string::npos) keys.push_back(n);
    return keys;
}

struct AviFiles : test::RegisterBalanceTest {
    void SetUp() override {
        if (!test::HaveTools({"ffmpeg", "ffprobe"})) GTEST_SKIP() << "ffmpeg makes the AVI files";
        RegisterBalanceTest::SetUp();
    }
    // `name` in the folder from an ffmpeg command line (inputs and options before the output).
    std::string Make(const std::string& name, const std::string& args) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(Ffmpeg(args + " '" + path + "'")) << name;
        return path;
    }
    TempDir dir;
};

const std::string kPicture = "-f lavfi -i testsrc=size=96x64:rate=25:duration=1.2 ";
const std::string kTone = "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=1.2 ";
const std::string kStereo =
    "-f lavfi -i 'aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=44100:d=2' ";

}  // namespace

// Which engine serves what: the library takes Cinepak and uncompressed frames other than
// 32-bit; 32-bit frames and MS Video 1 stay with the file services, 16-bit pictures of the
// file services show as 15 bits.
TEST_F(AviFiles, EachCodecGoesToItsEngine) {
    const struct {
        const char* name;
        const char* codec;
        bool library;
        int32_t bits;
    } cases[] = {
        {"cvid.avi", "-c:v cinepak", true, 24},
        {"dib24.avi", "-c:v rawvideo -pix_fmt bgr24", true, 24},
        {"dib32.avi", "-c:v rawvideo -pix_fmt bgra", false, 32},
        {"dib16.avi", "-c:v rawvideo -pix_fmt rgb555le", true, 24},
        {"msvc.avi", "-c:v msvideo1", false, 15},
        {"mjpg.avi", "-c:v mjpeg -q:v 3", false, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Make(c.name, kPicture + c.codec);
        QAviHandle h;
        ASSERT_TRUE(Open(h, path)) << ErrLastText();
        EXPECT_EQ(h.libVideo != 0, c.library);
        EXPECT_EQ(h.getFrame != nullptr, !c.library);
        EXPECT_EQ(h.bitsPP, c.bits);
        EXPECT_EQ(h.bytesPP, (c.bits + 7) / 8);
        EXPECT_EQ(h.width, 96);
        EXPECT_EQ(h.height, 64);
        EXPECT_EQ(h.frames, 30);
        EXPECT_DOUBLE_EQ(h.frameRate, 25.0);
        Close(h);
        QffInfo info{};
        MonitoredIsolated([&] { AviInfo(path, info); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        EXPECT_EQ(info.bitsPP, c.bits);
        EXPECT_EQ(info.frames, 30);
        EXPECT_TRUE(info.hasVideo);
        EXPECT_TRUE(info.videoSupported);
        EXPECT_FALSE(info.hasSound);
    }
}

// Every frame as ffmpeg decodes it: exact for lossless codecs, 45 dB for the lossy ones.
TEST_F(AviFiles, FramesMatchAnIndependentDecode) {
    const struct {
        const char* name;
        const char* codec;
        const char* reference;  // ffmpeg's pixel format for the comparison
        double psnr;            // 0: exact
    } cases[] = {
        {"dib16.avi", "-c:v rawvideo -pix_fmt rgb555le", "bgr24", 0},  // the library expands
        {"dib24.avi", "-c:v rawvideo -pix_fmt bgr24", "bgr24", 0},
        {"dib32.avi", "-c:v rawvideo -pix_fmt bgra", "bgr24", 0},
        {"msvc.avi", "-c:v msvideo1", "rgb555le", 0},
        {"mjpg.avi", "-c:v mjpeg -q:v 3", "bgr24", 45},
        {"cvid.avi", "-c:v cinepak", "bgr24", 45},
        {"mp4v.avi", "-c:v mpeg4 -q:v 3 -g 12", "bgr24", 45},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Make(c.name, kPicture + c.codec);
        const std::string ref = FfmpegFrames(path, c.reference);
        QAviHandle h;
        ASSERT_TRUE(Open(h, path)) << ErrLastText();
        const std::vector<std::string> ours = AllFrames(h);
        Close(h);
        ASSERT_EQ(ours.size(), 30u);
        const size_t frameBytes = ours[0].size();
        ASSERT_EQ(ref.size(), frameBytes * 30);
        int bad = 0;
        std::string first;
        for (size_t n = 0; n < ours.size(); ++n) {
            const std::string_view want(ref.data() + n * frameBytes, frameBytes);
            const double psnr = Psnr(ours[n], want);
            if (c.psnr == 0 ? ours[n] != want : psnr < c.psnr) {
                if (bad++ == 0) {
                    const size_t at = static_cast<size_t>(
                        std::mismatch(want.begin(), want.end(), ours[n].begin()).first - want.begin());
                    first = "frame " + std::to_string(n + 1) + " (" + std::to_string(psnr) +
                            " dB, first difference at byte " + std::to_string(at) + ")";
                }
            }
        }
        EXPECT_EQ(bad, 0) << "frames unlike ffmpeg's, the first: " << first;
    }
}

// The library serves uncompressed 8-bit frames: the colour table of the stream format reaches
// every frame, also after a seek.
TEST_F(AviFiles, PaletteFramesThroughTheLibrary) {
    const std::string path = Make("pal8.avi", kPicture + "-c:v rawvideo -pix_fmt pal8");
    const std::string ref = FfmpegFrames(path, "bgr24");
    QAviHandle h;
    ASSERT_TRUE(Open(h, path)) << ErrLastText();
    EXPECT_TRUE(h.libVideo);
    const std::vector<std::string> ours = AllFrames(h);
    Close(h);
    ASSERT_EQ(ours.size(), 30u);
    for (size_t n = 0; n < ours.size(); ++n)
        EXPECT_TRUE(ours[n] == std::string_view(ref.data() + n * ours[0].size(), ours[0].size()))
            << n + 1;
}

// The frame decompressor of the file services on its own: every frame equal to ffmpeg's, in
// any order, palette pictures and 16-bit frames included; what it refuses.
TEST_F(AviFiles, FrameDecompressorGivesAnyFrameDirectly) {
    const struct {
        const char* name;
        const char* codec;
        const char* reference;
        int32_t bits;  // of the bitmaps it returns
    } cases[] = {
        {"pal8.avi", "-c:v rawvideo -pix_fmt pal8", "bgr24", 8},
        {"dib16.avi", "-c:v rawvideo -pix_fmt rgb555le", "rgb555le", 16},
        {"dib24.avi", "-c:v rawvideo -pix_fmt bgr24", "bgr24", 24},
        {"msvc.avi", "-c:v msvideo1", "rgb555le", 16},
        {"mp4v.avi", "-c:v mpeg4 -g 7 -bf 0", "", 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Make(c.name, kPicture + c.codec + " -c:a pcm_s16le");
        PAVIFILE file = nullptr;
        ASSERT_EQ(AVIFileOpen(&file, path, OF_READ, nullptr), 0);
        PAVISTREAM video = nullptr, audio = nullptr;
        ASSERT_EQ(AVIFileGetStream(file, &video, streamtypeVIDEO, 0), 0);
        EXPECT_EQ(AVIStreamGetFrameOpen(video, &c), nullptr);  // no chosen depth
        if (AVIFileGetStream(file, &audio, streamtypeAUDIO, 0) == 0) {
            EXPECT_EQ(AVIStreamGetFrameOpen(audio, nullptr), nullptr);
            AVIStreamRelease(audio);
        }
        PGETFRAME frames = AVIStreamGetFrameOpen(video, nullptr);
        ASSERT_NE(frames, nullptr);
        const int32_t start = AVIStreamStart(video);
        const int32_t length = AVIStreamLength(video);
        ASSERT_EQ(length, 30);
        AVIStreamRelease(video);  // the decompressor holds its own reference
        EXPECT_EQ(AVIStreamGetFrame(frames, start - 1), nullptr);
        EXPECT_EQ(AVIStreamGetFrame(frames, start + length), nullptr);
        auto packed = [&](int32_t n) {
            int32_t size = 0;
            const uint8_t* dib = AVIStreamGetFrame(frames, start + n, &size);
            if (!dib || size < 40) return std::string();
            EXPECT_EQ(dib[14], c.bits);
            Qimg img{};
            DibToQimg(img, dib, size);
            std::string out = Packed(img);
            ImgFree(img);
            return out;
        };
        std::vector<std::string> sequential;
        for (int32_t n = 0; n < length; ++n) sequential.push_back(packed(n));
        if (*c.reference) {
            const std::string ref = FfmpegFrames(path, c.reference);
            ASSERT_EQ(ref.size(), sequential[0].size() * 30);
            for (size_t n = 0; n < sequential.size(); ++n)
                EXPECT_TRUE(sequential[n] == std::string_view(ref.data() + n * sequential[0].size(),
                                                              sequential[0].size()))
                    << "frame " << n;
        }
        std::vector<int32_t> order{29, 0, 15, 14, 13, 7, 6, 8, 8, 28, 27, 1};
        for (const int32_t n : order)
            EXPECT_TRUE(packed(n) == sequential[static_cast<size_t>(n)]) << "frame " << n;
        EXPECT_EQ(AVIStreamGetFrameClose(frames), 0);
        AVIFileRelease(file);
    }
    EXPECT_EQ(AVIStreamGetFrame(nullptr, 0), nullptr);
    EXPECT_EQ(AVIStreamGetFrameClose(nullptr), AVIERR_BADHANDLE);
    EXPECT_EQ(AVIStreamGetFrameOpen(nullptr, nullptr), nullptr);
}

// Any frame in any order is the frame sequential loading gives, across key-frame intervals and
// B-frames in closed groups.
TEST_F(AviFiles, RandomAccessEqualsSequentialLoading) {
    const struct {
        const char* name;
        const char* codec;
    } cases[] = {
        {"mjpg.avi", "-c:v mjpeg"},
        {"msvc.avi", "-c:v msvideo1"},
        {"mp4v.avi", "-c:v mpeg4 -g 12 -bf 0"},
        {"mp4b.avi", "-c:v mpeg4 -g 12 -bf 2 -flags +cgop -sc_threshold 1000000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Make(
            c.name, "-f lavfi -i testsrc=size=96x64:rate=25:duration=2 " + std::string(c.codec));
        QAviHandle h;
        ASSERT_TRUE(Open(h, path)) << ErrLastText();
        ASSERT_EQ(h.frames, 50);
        const std::vector<std::string> sequential = AllFrames(h);
        ASSERT_EQ(sequential.size(), 50u);
        std::vector<int32_t> order(50);
        for (int32_t n = 0; n < 50; ++n) order[static_cast<size_t>(n)] = n + 1;
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
        // Then some steps forward and back, and the same frame twice.
        order.insert(order.end(), {50, 49, 1, 1, 2, 13, 12, 25, 26, 27});
        Qimg img{};
        for (const int32_t n : order) {
            EXPECT_TRUE(Frame(h, img, n, 0) == sequential[static_cast<size_t>(n - 1)])
                << "frame " << n << " " << ErrLastText();
            EXPECT_EQ(h.curFrame, n);
        }
        ImgFree(img);
        // Out of range: the reader's error, the position kept.
        for (const int32_t bad : {-1, 51}) {
            MonitoredIsolated([&] { AviImgLoad(h, img, bad, 0); });
            EXPECT_EQ(ErrLastGroup(), ERR_AVI);
            EXPECT_EQ(ErrLastCode(), 1);
        }
        ImgFree(img);
        Close(h);
    }
}

TEST_F(AviFiles, NearestKeyFrameLooksBothWays) {
    const std::string path = Make(
        "g5.avi",
        "-f lavfi -i testsrc=size=96x64:rate=25:duration=1.2 -c:v mpeg4 -g 5 "
        "-bf 0 -sc_threshold 1000000000");
    const std::vector<int32_t> keys = KeyFrames(path);
    ASSERT_EQ(keys, (std::vector<int32_t>{1, 6, 11, 16, 21, 26}));
    QAviHandle h;
    ASSERT_TRUE(Open(h, path)) << ErrLastText();
    ASSERT_EQ(h.frames, 30);
    for (int32_t f = -3; f <= 33; ++f) {
        const int32_t a = std::clamp(f, 1, 30);
        // Backward: the last key strictly before a; forward: the first at or after a.
        int32_t back = 1, forward = 1;
        for (const int32_t k : keys)
            if (k < a) back = k;
        for (auto it = keys.rbegin(); it != keys.rend(); ++it)
            if (*it >= a) forward = *it;
        if (a > keys.back()) forward = 1;  // none after the last key frame
        EXPECT_EQ(AviNearestKeyFrame(h, f, -1), back) << f;
        EXPECT_EQ(AviNearestKeyFrame(h, f, 1), forward) << f;
    }
    Close(h);
    // The library's frames all stand alone: the frame itself, clamped.
    const std::string cvid = Make("cvid.avi", kPicture + "-c:v cinepak");
    ASSERT_TRUE(Open(h, cvid)) << ErrLastText();
    ASSERT_TRUE(h.libVideo);
    EXPECT_EQ(AviNearestKeyFrame(h, 7, -1), 7);
    EXPECT_EQ(AviNearestKeyFrame(h, 0, 1), 1);
    EXPECT_EQ(AviNearestKeyFrame(h, 99, 1), 30);
    Close(h);
}

// Sound as ffmpeg decodes it: exact for PCM, within 1 LSB for IMA ADPCM and MP3 (constant and
// variable rate), with the same number of samples; loads of any size give the same sound.
TEST_F(AviFiles, SoundMatchesAnIndependentDecode) {
    const struct {
        const char* name;
        std::string args;
        uint16_t tag;
        int tolerance;
    } cases[] = {
        {"pcm.avi", kPicture + kTone + "-c:v mjpeg -c:a pcm_s16le", 1, 0},
        {"ima.avi", kPicture + kTone + "-c:v msvideo1 -c:a adpcm_ima_wav", 0x11, 1},
        {"cbr.avi", kPicture + kStereo + "-c:v mjpeg -c:a libmp3lame -b:a 128k", 0x55, 1},
        {"vbr.avi", kPicture + kStereo + "-c:v mjpeg -c:a libmp3lame -q:a 4", 0x55, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Make(c.name, c.args + " -shortest");
        const std::vector<int16_t> ref = test::FfmpegS16(path);
        ASSERT_FALSE(ref.empty());
        QAviHandle h;
        ASSERT_TRUE(Open(h, path)) << ErrLastText();
        ASSERT_NE(h.audio, nullptr);
        EXPECT_EQ(h.libAudio, 0);
        ASSERT_NE(h.inFormat, nullptr);
        EXPECT_EQ(h.inFormat->formatTag, c.tag);
        EXPECT_EQ(h.outFormat.formatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(h.outFormat.bitsPerSample, 16);
        const size_t channels = h.outFormat.channels;
        EXPECT_EQ(static_cast<size_t>(h.pcmLength) * channels, ref.size());
        for (const int32_t piece : {4096, 1000, 333}) {
            SCOPED_TRACE(piece);
            const std::vector<int16_t> ours = AllSound(h, piece);
            ASSERT_EQ(ours.size(), ref.size());
            EXPECT_LE(test::MaxSampleDiff(ours.data(), ref.data(), ref.size()), c.tolerance);
        }
        // A load in the middle is the same sound as the run from the start (MPEG audio runs
        // its decoder up over the frames before the one the load lands in).
        Qsnd s{};
        const int32_t mid = h.pcmLength / 3;
        MonitoredIsolated([&] { AviSndLoad(h, s, mid, false, 8000); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        ASSERT_EQ(s.samples, 8000);
        EXPECT_LE(
            test::MaxSampleDiff(reinterpret_cast<const int16_t*>(s.data),
                                ref.data() + static_cast<size_t>(mid) * channels, 8000 * channels),
            c.tolerance);
        // Read on past the end: the reader's error.
        MonitoredIsolated([&] { AviSndLoad(h, s, h.pcmLength - 500, false, 1000); });
        EXPECT_TRUE(ErrNone()) << ErrLastText();
        EXPECT_EQ(s.samples, 500);
        MonitoredIsolated([&] { AviSndLoad(h, s, h.pcmLength, true, 100); });
        EXPECT_EQ(ErrLastGroup(), ERR_AVI);
        EXPECT_EQ(ErrLastCode(), 3);
        SndFree(s);
        Close(h);
    }
}

// An IMA ADPCM track: the PCM length is what the conversion predicts for the blocks, and the
// information record carries it.
TEST_F(AviFiles, AdpcmReportsThePredictedPcmLength) {
    const std::string path = Make("ima.avi",
                                  kPicture + kTone + "-c:v mjpeg -c:a adpcm_ima_wav -shortest");
    QAviHandle h;
    ASSERT_TRUE(Open(h, path)) << ErrLastText();
    ASSERT_NE(h.inFormat, nullptr);
    ASSERT_GE(h.inFormat->extraSize, 2);
    const auto* extra = reinterpret_cast<const uint8_t*>(h.inFormat) + 18;
    const int32_t perBlock = extra[0] | extra[1] << 8;
    const int32_t blockBytes = 4 * h.inFormat->channels * (1 + (perBlock - 1) / 8);
    EXPECT_EQ(h.inFormat->blockAlign, blockBytes);
    EXPECT_GT(h.srcLength, 1);
    EXPECT_EQ(h.pcmLength, h.srcLength * perBlock);
    EXPECT_DOUBLE_EQ(h.ratio, perBlock);
    QffInfo info{};
    MonitoredIsolated([&] { AviInfo(path, info); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(info.soundSamples, h.pcmLength);
    EXPECT_EQ(info.soundFormat.formatTag, 0x11);
    EXPECT_EQ(info.playFormat.formatTag, WAVE_FORMAT_PCM);
    EXPECT_TRUE(info.hasSound);
    EXPECT_TRUE(info.soundSupported);
    EXPECT_EQ(info.soundCompression.substr(0, 6), "(#17) ");
    Close(h);
}

// A seek that lands beyond the last source block goes to the last block's start. The stream's
// own ratio never puts a PCM position there, so the handle's ratio is set as a rounding would.
TEST_F(AviFiles, SoundSeekPastTheLastBlockClamps) {
    const std::string path = Make("ima.avi",
                                  kPicture + kTone + "-c:v mjpeg -c:a adpcm_ima_wav -shortest");
    QAviHandle h;
    ASSERT_TRUE(Open(h, path)) << ErrLastText();
    const double exact = h.ratio;
    h.ratio = exact * 0.75;
    MonitoredIsolated([&] { AviSndSeek(h, h.pcmLength - 1); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(h.loader.consumed, h.srcLength - 1);
    EXPECT_EQ(h.sndNextPos, static_cast<int32_t>((h.srcLength - 1) * h.ratio));
    // At or past the PCM length the seek changes nothing.
    const int32_t kept = h.sndNextPos;
    MonitoredIsolated([&] { AviSndSeek(h, h.pcmLength); });
    EXPECT_EQ(h.sndNextPos, kept);
    // A negative position is the start.
    h.ratio = exact;
    MonitoredIsolated([&] { AviSndSeek(h, -50); });
    EXPECT_EQ(h.sndNextPos, 0);
    EXPECT_EQ(h.loader.consumed, 0);
    // The last block still loads.
    Qsnd s{};
    MonitoredIsolated([&] { AviSndLoad(h, s, h.pcmLength - 10, false, 10); });
    EXPECT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(s.samples, 10);
    SndFree(s);
    Close(h);
}

// --- Hostile files --------------------------------------------------------------------------

namespace {

// The errors a damaged AVI may give: the reader's own, the file services', the sound
// conversion's and the picture helpers'.
bool ReaderError(int32_t group) {
    return group == ERR_AVI || group == ERR_AVIFILE || group == ERR_ACM || group == ERR_IMG;
}

// Opens, describes and reads everything of a damaged file; a failure for an error that is not
// the reader's. Frames and sound may come out short.
void ReadEverything(const std::string& path, const std::string& what) {
    SCOPED_TRACE(what);
    const int fds = test::OpenFds();
    const test::RegisterBalance balance;
    QffInfo info{};
    MonitoredIsolated([&] { AviInfo(path, info); });
    if (!ErrNone()) {
        EXPECT_TRUE(ReaderError(ErrLastGroup())) << ErrLastText();
    }
    QAviHandle h;
    if (Open(h, path)) {
        Qimg img{};
        for (int32_t n = 1; n <= std::min(h.frames, 64); ++n) {
            MonitoredIsolated([&] { AviImgLoad(h, img, n, 1); });
            if (!ErrNone()) {
                EXPECT_TRUE(ReaderError(ErrLastGroup())) << n << ErrLastText();
            }
        }
        ImgFree(img);
        Qsnd s{};
        int32_t pos = 0;
        for (int loads = 0; pos < h.pcmLength && loads < 200; ++loads) {
            MonitoredIsolated([&] { AviSndLoad(h, s, pos, true, 4096); });
            if (!ErrNone()) {
                EXPECT_TRUE(ReaderError(ErrLastGroup())) << ErrLastText();
                break;
            }
            if (s.samples <= 0) break;
            pos += s.samples;
        }
        SndFree(s);
        Close(h);
        EXPECT_TRUE(ErrNone()) << ErrLastText();
    } else {
        EXPECT_TRUE(ReaderError(ErrLastGroup())) << ErrLastText();
    }
    balance.Expect(what);
    EXPECT_EQ(test::OpenFds(), fds) << "descriptors left open";
}

// Where the named chunk and list ids stand in the file.
std::vector<size_t> ChunkIds(const std::string& bytes) {
    std::vector<size_t> at;
    for (const char* id : {"RIFF", "hdrl", "avih", "strl", "strh", "strf", "movi", "idx1", "00dc",
                           "00db", "01wb", "indx", "ix00", "odml", "dmlh", "LIST"})
        for (size_t p = bytes.find(id); p != std::string::npos; p = bytes.find(id, p + 1))
            at.push_back(p);
    std::sort(at.begin(), at.end());
    return at;
}

}  // namespace

TEST_F(AviFiles, DamagedFilesGiveTheReadersErrors) {
    const std::string files[] = {
        Make("mjpg-pcm.avi", "-f lavfi -i testsrc=size=48x32:rate=25:duration=0.4 " + kTone +
                                 "-c:v mjpeg -c:a pcm_s16le -shortest"),
        Make("msvc-ima.avi", "-f lavfi -i testsrc=size=48x32:rate=25:duration=0.4 " + kTone +
                                 "-c:v msvideo1 -c:a adpcm_ima_wav -shortest"),
    };
    const std::string damaged = dir.file("damaged.avi");
    for (const std::string& file : files) {
        const std::string bytes = test::ReadFileBytes(file);
        ASSERT_GT(bytes.size(), 1000u);
        ReadEverything(file, "intact " + file);
        // Cuts: every few bytes through the headers, then through the data and the index.
        std::vector<size_t> cuts;
        for (size_t n = 0; n < 400; n += 7) cuts.push_back(n);
        for (size_t n = 400; n < bytes.size(); n += bytes.size() / 40) cuts.push_back(n);
        for (size_t k = 1; k <= 24; ++k) cuts.push_back(bytes.size() - k * 3);
        for (const size_t cut : cuts) {
            if (cut >= bytes.size()) continue;
            test::WriteFileBytes(damaged, bytes.substr(0, cut));
            ReadEverything(damaged, file + " cut at " + std::to_string(cut));
        }
        // Flips at and around the chunk headers (ids, sizes, the fields after them) and in the
        // index entries.
        std::mt19937 random(11);
        const std::vector<size_t> ids = ChunkIds(bytes);
        ASSERT_FALSE(ids.empty());
        for (int copy = 0; copy < 160; ++copy) {
            std::string v = bytes;
            const size_t base = ids[random() % ids.size()];
            std::string where;
            for (int k = 0, flips = 1 + static_cast<int>(random() % 3); k < flips; ++k) {
                const size_t at = std::min(v.size() - 1, base + random() % 64);
                const auto mask = static_cast<char>(copy % 4 == 0 ? 0xFF : 1 << (random() % 8));
                v[at] = static_cast<char>(v[at] ^ mask);
                where += " " + std::to_string(at);
            }
            test::WriteFileBytes(damaged, v);
            ReadEverything(damaged, file + " flipped at" + where);
        }
    }
}

// --- Large files ----------------------------------------------------------------------------

// A movie past 1 GiB carries an OpenDML index beside the first RIFF piece: it opens, counts its
// frames and gives its last one. Uncompressed frames at five a second keep it to a few seconds;
// it needs 1.3 GB of room in the temporary folder and skips without it.
TEST_F(AviFiles, OpenDmlFileAboveOneGigabyte) {
    if (fs::space(dir.path()).available < (uintmax_t{3} << 30))
        GTEST_SKIP() << "less than 3 GB free in " << dir.path();
    const std::string path = Make(
        "big.avi",
        "-f lavfi -i testsrc=size=1920x1080:rate=5:duration=40 -c:v rawvideo "
        "-pix_fmt bgr24");
    ASSERT_GT(fs::file_size(path), (uintmax_t{1} << 30));
    const std::string last = dir.file("last.raw");
    // Frame 200 of the source is the one at 39.8 s.
    ASSERT_TRUE(
        Ffmpeg("-f lavfi -i testsrc=size=1920x1080:rate=5:duration=40 -ss 39.8 "
               "-frames:v 1 -f rawvideo -pix_fmt bgr24 '" +
               last + "'"));
    QAviHandle h;
    ASSERT_TRUE(Open(h, path)) << ErrLastText();
    EXPECT_EQ(h.frames, 200);
    EXPECT_EQ(h.width, 1920);
    Qimg img{};
    const std::string ours = Frame(h, img, 200, 0);
    ImgFree(img);
    Close(h);
    fs::remove(path);
    EXPECT_TRUE(ours == test::ReadFileBytes(last)) << ErrLastText();
}
