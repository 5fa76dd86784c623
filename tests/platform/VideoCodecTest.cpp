// Video decompressors: AVI files that ffmpeg writes at test time decoded frame by frame and
// compared with ffmpeg's own decode, hand-made frames for the uncompressed and palettised
// paths, and damaged formats and frames that must fail cleanly.

#include "platform/VideoCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
           static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Code(const char* s) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0]) | static_cast<uint8_t>(s[1]) << 8 |
                                 static_cast<uint8_t>(s[2]) << 16) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

// A BITMAPINFOHEADER followed by `tail` (colour table or extra data).
Bytes Format(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const Bytes& tail = {},
             uint32_t used = 0) {
    Bytes f(40 + tail.size(), 0);
    Put32(f, 0, 40);
    Put32(f, 4, static_cast<uint32_t>(w));
    Put32(f, 8, static_cast<uint32_t>(h));
    f[12] = 1;
    f[14] = static_cast<uint8_t>(bits);
    Put32(f, 16, compression);
    Put32(f, 32, used);
    for (size_t i = 0; i < tail.size(); ++i) f[40 + i] = tail[i];
    return f;
}

// The video stream of an AVI file: the handler code, the format and the chunks in file order.
struct Chunk {
    bool palette = false;  // a "##pc" chunk
    bool key = false;
    Bytes data;
};
struct AviVideo {
    uint32_t handler = 0;
    Bytes format;
    std::vector<Chunk> chunks;
};

void Walk(const Bytes& file, size_t at, size_t end, AviVideo& v, std::vector<bool>& keys,
          bool& inVideo) {
    while (at + 8 <= end) {
        const std::string id(file.begin() + at, file.begin() + at + 4);
        const size_t size = std::min<size_t>(Le32(file, at + 4), end - at - 8);
        const size_t data = at + 8;
        if (id == "RIFF" || id == "LIST") {
            Walk(file, data + 4, data + size, v, keys, inVideo);
        } else if (id == "strh") {
            inVideo = size >= 8 &&
                      std::string(file.begin() + data, file.begin() + data + 4) == "vids";
            if (inVideo) v.handler = Le32(file, data + 4);
        } else if (id == "strf" && inVideo && v.format.empty()) {
            v.format.assign(file.begin() + data, file.begin() + data + size);
        } else if (id == "idx1") {
            for (size_t e = data; e + 16 <= data + size; e += 16)
                if (file[e] == '0' && file[e + 1] == '0' && file[e + 2] == 'd')
                    keys.push_back((Le32(file, e + 4) & 0x10) != 0);
        } else if (id.substr(0, 2) == "00" &&
                   (id.substr(2) == "dc" || id.substr(2) == "db" || id.substr(2) == "pc")) {
            v.chunks.push_back({id.substr(2) == "pc", false,
                                Bytes(file.begin() + data, file.begin() + data + size)});
        }
        at = data + size + (size & 1);
    }
}

AviVideo ReadAvi(const std::string& path) {
    const std::string s = test::ReadFileBytes(path);
    const Bytes file(s.begin(), s.end());
    AviVideo v;
    std::vector<bool> keys;
    bool inVideo = false;
    Walk(file, 0, file.size(), v, keys, inVideo);
    size_t k = 0;
    for (Chunk& c : v.chunks)
        if (!c.palette) c.key = k < keys.size() ? keys[k++] : true;
    return v;
}

// Every bitmap a stream decodes to, in the order they come out.
struct Decoded {
    int32_t open = ICERR_OK;
    std::vector<Bytes> dibs;
    int32_t errors = 0;
    int32_t silentCalls = 0;  // decode calls that delivered nothing
    int32_t flushed = 0;      // bitmaps the flush handed out
};

Decoded DecodeAll(const AviVideo& v) {
    Decoded d;
    QVideoCodec* c = nullptr;
    d.open = VideoCodecOpen(&c, v.format.data(), static_cast<int32_t>(v.format.size()), v.handler);
    if (d.open != ICERR_OK) return d;
    Bytes dib;
    for (const Chunk& ch : v.chunks) {
        if (ch.palette) {
            if (VideoCodecSetPalette(c, ch.data.data(), static_cast<int32_t>(ch.data.size())) != 0)
                ++d.errors;
            continue;
        }
        if (VideoCodecDecode(c, ch.data.data(), static_cast<int32_t>(ch.data.size()), ch.key, dib) !=
            ICERR_OK)
            ++d.errors;
        if (dib.empty())
            ++d.silentCalls;
        else
            d.dibs.push_back(dib);
    }
    for (int guard = 0; guard < 64; ++guard) {
        if (VideoCodecFlush(c, dib) != ICERR_OK) ++d.errors;
        if (dib.empty()) break;
        d.dibs.push_back(dib);
        ++d.flushed;
    }
    EXPECT_EQ(VideoCodecClose(c), ICERR_OK);
    return d;
}

// A decoded bitmap checked against the shape this unit promises and expanded to top-down
// blue, green, red rows (5-bit channels widened as ffmpeg widens them).
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bits = 0;
    Bytes bgr;
};

::testing::AssertionResult ReadDib(const Bytes& dib, Picture& p) {
    if (dib.size() < 40 || Le32(dib, 0) != 40) return ::testing::AssertionFailure() << "header";
    p.width = static_cast<int32_t>(Le32(dib, 4));
    p.height = static_cast<int32_t>(Le32(dib, 8));
    p.bits = dib[14];
    const uint32_t colours = Le32(dib, 32);
    if (p.width < 1 || p.height < 1 || dib[12] != 1 || Le32(dib, 16) != 0)
        return ::testing::AssertionFailure() << "size, planes or compression";
    if (p.bits != 8 && p.bits != 16 && p.bits != 24 && p.bits != 32)
        return ::testing::AssertionFailure() << "depth " << p.bits;
    if (colours != (p.bits == 8 ? 256u : 0u)) return ::testing::AssertionFailure() << "colours";
    const size_t bpp = static_cast<size_t>(p.bits / 8);
    const size_t stride = (p.width * bpp + 3) & ~size_t{3};
    const size_t rows = 40 + colours * 4;
    if (dib.size() != rows + stride * p.height || Le32(dib, 20) != stride * p.height)
        return ::testing::AssertionFailure() << "block size " << dib.size();
    p.bgr.assign(static_cast<size_t>(p.width) * p.height * 3, 0);
    uint8_t* o = p.bgr.data();
    for (int32_t y = 0; y < p.height; ++y) {
        const uint8_t* s = dib.data() + rows + (p.height - 1 - y) * stride;
        for (int32_t x = 0; x < p.width; ++x, o += 3, s += bpp) {
            if (p.bits == 8) {
                std::memcpy(o, dib.data() + 40 + 4 * s[0], 3);
            } else if (p.bits == 16) {
                const int v = s[0] | s[1] << 8;
                const int b = v & 31, g = (v >> 5) & 31, r = (v >> 10) & 31;
                o[0] = static_cast<uint8_t>(b << 3 | b >> 2);
                o[1] = static_cast<uint8_t>(g << 3 | g >> 2);
                o[2] = static_cast<uint8_t>(r << 3 | r >> 2);
            } else {
                std::memcpy(o, s, 3);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// ffmpeg's decode of a file as blue, green, red frames of `frameBytes` each.
std::vector<Bytes> FfmpegFrames(const std::string& path, size_t frameBytes) {
    std::vector<Bytes> frames;
    const std::string cmd = "ffmpeg -v error -nostdin -i '" + path +
                            "' -sws_flags bicubic+accurate_rnd+full_chroma_int -f rawvideo "
                            "-pix_fmt bgr24 - 2>/dev/null";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return frames;
    Bytes frame(frameBytes);
    while (frameBytes > 0 && std::fread(frame.data(), 1, frameBytes, pipe) == frameBytes)
        frames.push_back(frame);
    pclose(pipe);
    return frames;
}

double Psnr(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

// An AVI file written by ffmpeg from its test pattern; empty when ffmpeg failed.
std::string MakeAvi(const TempDir& dir, const std::string& name, const std::string& size,
                    int frames, const std::string& codecArgs) {
    const std::string path = dir.file(name + ".avi");
    const std::string cmd = "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=" + size +
                            ":rate=25 -frames:v " + std::to_string(frames) + " " + codecArgs +
                            " '" + path + "'";
    return test::RunQuiet(cmd) ? path : std::string();
}

// Decodes `path` and compares every frame with ffmpeg's: exactly (minDb 0) or by PSNR.
// Returns the decode for further checks.
Decoded CompareWithFfmpeg(const std::string& path, int32_t expectBits, double minDb,
                          size_t expectFrames) {
    SCOPED_TRACE(path);
    const AviVideo v = ReadAvi(path);
    Decoded d = DecodeAll(v);
    EXPECT_EQ(d.open, ICERR_OK);
    EXPECT_EQ(d.errors, 0);
    EXPECT_EQ(d.dibs.size(), expectFrames);
    if (d.dibs.empty()) return d;
    Picture first;
    EXPECT_TRUE(ReadDib(d.dibs[0], first));
    const std::vector<Bytes> ref = FfmpegFrames(path, first.bgr.size());
    EXPECT_EQ(ref.size(), d.dibs.size());
    for (size_t i = 0; i < std::min(ref.size(), d.dibs.size()); ++i) {
        Picture p;
        EXPECT_TRUE(ReadDib(d.dibs[i], p)) << "frame " << i;
        EXPECT_EQ(p.bits, expectBits);
        if (minDb == 0)
            EXPECT_TRUE(p.bgr == ref[i]) << "frame " << i;
        else
            EXPECT_GE(Psnr(p.bgr, ref[i]), minDb) << "frame " << i;
    }
    return d;
}

bool HaveFfmpeg() { return test::HaveTools({"ffmpeg"}); }

}  // namespace

// --- Files written by ffmpeg ------------------------------------------------------------------

TEST(VideoCodecFiles, UncompressedFramesMatchFfmpegExactly) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    // 34 pixels: rows of 8 and 16 bits need padding; ffmpeg stores them top-down and unpadded.
    const struct {
        const char* pixfmt;
        int32_t bits;
    } cases[] = {{"pal8", 8}, {"rgb555le", 16}, {"bgr24", 24}, {"bgra", 32}};
    for (const auto& c : cases) {
        const std::string path = MakeAvi(dir, c.pixfmt, "34x20", 3,
                                         std::string("-pix_fmt ") + c.pixfmt + " -c:v rawvideo");
        ASSERT_FALSE(path.empty()) << c.pixfmt;
        CompareWithFfmpeg(path, c.bits, 0, 3);
    }
}

TEST(VideoCodecFiles, VideoOneSixteenBitMatchesFfmpegExactly) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const std::string path = MakeAvi(dir, "msvc", "32x24", 5, "-c:v msvideo1");
    ASSERT_FALSE(path.empty());
    CompareWithFfmpeg(path, 16, 0, 5);
}

TEST(VideoCodecFiles, LossyCodecsMatchFfmpeg) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const struct {
        const char* name;
        const char* size;
        const char* args;
    } cases[] = {
        {"mjpeg", "64x48", "-c:v mjpeg -q:v 3"},
        {"cinepak", "64x48", "-c:v cinepak"},
        {"dv", "720x576", "-pix_fmt yuv420p -c:v dvvideo"},
    };
    for (const auto& c : cases) {
        const std::string path = MakeAvi(dir, c.name, c.size, 3, c.args);
        ASSERT_FALSE(path.empty()) << c.name;
        CompareWithFfmpeg(path, 24, 45, 3);
    }
}

TEST(VideoCodecFiles, DelayedFramesComeOutInPresentationOrder) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const std::string path = MakeAvi(dir, "mpeg4", "64x48", 14, "-c:v mpeg4 -bf 2 -g 12 -q:v 2");
    ASSERT_FALSE(path.empty());
    const Decoded d = CompareWithFfmpeg(path, 24, 45, 14);
    // The decoder held frames back, and the flush handed out exactly those.
    EXPECT_GT(d.silentCalls, 0);
    EXPECT_EQ(d.flushed, d.silentCalls);

    // After a reset, and after a flush, the stream starts afresh from its first key frame.
    const AviVideo v = ReadAvi(path);
    QVideoCodec* c = nullptr;
    ASSERT_EQ(VideoCodecOpen(&c, v.format.data(), static_cast<int32_t>(v.format.size()), v.handler),
              ICERR_OK);
    Bytes dib;
    auto firstPicture = [&] {  // feeds from the start until a picture comes out
        dib.clear();
        for (size_t i = 0; i < v.chunks.size() && dib.empty(); ++i)
            VideoCodecDecode(c, v.chunks[i].data.data(),
                             static_cast<int32_t>(v.chunks[i].data.size()), v.chunks[i].key, dib);
        return dib;
    };
    EXPECT_TRUE(firstPicture() == d.dibs[0]);
    EXPECT_EQ(VideoCodecReset(c), ICERR_OK);
    EXPECT_TRUE(firstPicture() == d.dibs[0]) << "after a reset";
    while (VideoCodecFlush(c, dib) == ICERR_OK && !dib.empty()) {}
    EXPECT_TRUE(firstPicture() == d.dibs[0]) << "after a flush";
    VideoCodecClose(c);
}

TEST(VideoCodecFiles, DecodingAheadAnswersEveryFrameOneCallLater) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const std::string path = MakeAvi(dir, "mjpeg", "64x48", 6, "-c:v mjpeg -q:v 3");
    ASSERT_FALSE(path.empty());
    const AviVideo v = ReadAvi(path);
    ASSERT_EQ(v.chunks.size(), 6u);
    // Dropped (empty) frames after the second, two after the fourth, one at the end.
    std::vector<Chunk> feed;
    for (size_t i = 0; i < v.chunks.size(); ++i) {
        feed.push_back(v.chunks[i]);
        const int empties = i == 1 ? 1 : i == 3 ? 2 : i == 5 ? 1 : 0;
        for (int e = 0; e < empties; ++e) feed.push_back(Chunk{});
    }
    // What each call answers: a bitmap, "repeat" or nothing.
    const auto run = [&](bool ahead, bool resetMidway) {
        std::vector<Bytes> answers;
        QVideoCodec* c = nullptr;
        EXPECT_EQ(
            VideoCodecOpen(&c, v.format.data(), static_cast<int32_t>(v.format.size()), v.handler),
            ICERR_OK);
        if (ahead && VideoCodecDecodeAhead(c) != ICERR_OK) {
            VideoCodecClose(c);
            return answers;
        }
        Bytes dib;
        const auto note = [&](int32_t r) {
            EXPECT_TRUE(r == ICERR_OK || r == ICERR_DONTDRAW) << r;
            answers.push_back(r == ICERR_DONTDRAW ? Bytes{'R'} : dib);
        };
        if (resetMidway) {  // three frames in, then back to the start: nothing of them is left
            for (size_t i = 0; i < 3; ++i)
                VideoCodecDecode(c, feed[i].data.data(), static_cast<int32_t>(feed[i].data.size()),
                                 feed[i].key, dib);
            EXPECT_EQ(VideoCodecReset(c), ICERR_OK);
        }
        for (const Chunk& ch : feed)
            note(VideoCodecDecode(c, ch.data.data(), static_cast<int32_t>(ch.data.size()), ch.key,
                                  dib));
        for (int guard = 0; guard < 8; ++guard) {
            const int32_t r = VideoCodecFlush(c, dib);
            if (r == ICERR_OK && dib.empty()) break;
            note(r);
        }
        VideoCodecClose(c);
        return answers;
    };
    const std::vector<Bytes> inTurn = run(false, false);
    ASSERT_EQ(inTurn.size(), feed.size());
    for (size_t i = 0; i < feed.size(); ++i)
        EXPECT_EQ(inTurn[i].size() == 1, feed[i].data.empty()) << "call " << i;
    std::vector<Bytes> ahead = run(true, false);
    if (ahead.empty()) GTEST_SKIP() << "one processor: no decoding ahead";
    // One call later, the same answers: the first call answers nothing.
    std::vector<Bytes> later = {Bytes{}};
    later.insert(later.end(), inTurn.begin(), inTurn.end());
    EXPECT_TRUE(ahead == later);
    EXPECT_TRUE(run(true, true) == later) << "after a reset";
}

// --- Hand-made frames -------------------------------------------------------------------------

TEST(VideoCodecRaw, RowOrderAndPadding) {
    QVideoCodec* c = nullptr;
    Bytes dib;
    // 3 x 2 pixels of 24 bits, bottom-up rows padded to 12 bytes: copied as they are.
    Bytes f = Format(3, 2, 24, BI_RGB);
    ASSERT_EQ(VideoCodecOpen(&c, f.data(), static_cast<int32_t>(f.size()), 0), ICERR_OK);
    Bytes frame(24);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 24, true, dib), ICERR_OK);
    ASSERT_EQ(dib.size(), 40u + 24u);
    EXPECT_EQ(Le32(dib, 8), 2u);
    EXPECT_TRUE(Bytes(dib.begin() + 40, dib.begin() + 49) == Bytes(frame.begin(), frame.begin() + 9));
    EXPECT_EQ(dib[40 + 12], 13);
    // Rows without padding (18 bytes) are repacked; a frame short of that is refused.
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 18, false, dib), ICERR_OK);
    EXPECT_EQ(dib[40 + 12], 10);
    EXPECT_EQ(dib[40 + 9], 0);  // padding
    EXPECT_EQ(VideoCodecDecode(c, frame.data(), 17, false, dib), ICERR_BADSIZE);
    EXPECT_TRUE(dib.empty());
    // An empty frame (a dropped one) keeps the last picture: no bitmap comes out.
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 18, false, dib), ICERR_OK);
    EXPECT_EQ(VideoCodecDecode(c, nullptr, 0, false, dib), ICERR_DONTDRAW);
    EXPECT_TRUE(dib.empty());
    // The bitmap's storage goes back to the decompressor and serves the next frame, its row
    // padding cleared again.
    Bytes reused(64, 0xEE);
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 18, false, reused), ICERR_OK);
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 18, false, reused), ICERR_OK);
    EXPECT_EQ(reused.size(), 64u);
    EXPECT_EQ(reused[40 + 9], 0);
    EXPECT_EQ(reused[40 + 12], 10);
    VideoCodecClose(c);

    // A negative height: top-down rows come out bottom-up, with a positive height.
    f = Format(3, -2, 24, Code("DIB "));
    ASSERT_EQ(VideoCodecOpen(&c, f.data(), static_cast<int32_t>(f.size()), 0), ICERR_OK);
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 24, true, dib), ICERR_OK);
    EXPECT_EQ(Le32(dib, 8), 2u);
    EXPECT_EQ(dib[40], 13);
    EXPECT_EQ(dib[40 + 12], 1);
    VideoCodecClose(c);
}

TEST(VideoCodecRaw, ColourTableFromFormatAndPaletteChanges) {
    // Entry i: blue i, green 2i, red 3i.
    const Bytes table = {0, 0, 0, 0, 1, 2, 3, 0, 2, 4, 6, 0, 3, 6, 9, 0};
    const Bytes f = Format(2, 1, 8, BI_RGB, table, 4);
    QVideoCodec* c = nullptr;
    ASSERT_EQ(VideoCodecOpen(&c, f.data(), static_cast<int32_t>(f.size()), Code("DIB ")), ICERR_OK);
    const Bytes frame = {3, 1, 0, 0};
    Bytes dib;
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 4, true, dib), ICERR_OK);
    ASSERT_EQ(dib.size(), 40u + 1024u + 4u);
    EXPECT_EQ(Le32(dib, 32), 256u);
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 12, dib.begin() + 40 + 16) == (Bytes{3, 6, 9, 0}));
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 16, dib.begin() + 40 + 20) == (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(dib[40 + 1024], 3);
    // A change of entries 1 and 2, red first, reaches the next frame only.
    const Bytes change = {1, 2, 0, 0, 200, 100, 50, 0, 10, 20, 30, 0};
    ASSERT_EQ(VideoCodecSetPalette(c, change.data(), 12), ICERR_OK);
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 4, dib.begin() + 40 + 8) == (Bytes{1, 2, 3, 0}));
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), 4, false, dib), ICERR_OK);
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 4, dib.begin() + 40 + 12) ==
                (Bytes{50, 100, 200, 0, 30, 20, 10, 0}));
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 12, dib.begin() + 40 + 16) == (Bytes{3, 6, 9, 0}));
    // Changes that reach past the table's end or past their chunk are refused.
    const Bytes tooFar = {255, 2, 0, 0, 1, 1, 1, 0, 2, 2, 2, 0};
    EXPECT_EQ(VideoCodecSetPalette(c, tooFar.data(), 12), ICERR_BADPARAM);
    const Bytes all = {0, 0, 0, 0, 1, 2, 3, 0};  // 0 entries = 256, but only one is there
    EXPECT_EQ(VideoCodecSetPalette(c, all.data(), 8), ICERR_BADPARAM);
    EXPECT_EQ(VideoCodecSetPalette(c, change.data(), 3), ICERR_BADPARAM);
    EXPECT_EQ(VideoCodecSetPalette(c, change.data(), 8), ICERR_BADPARAM);
    VideoCodecClose(c);

    const Bytes f24 = Format(2, 1, 24, BI_RGB);
    ASSERT_EQ(VideoCodecOpen(&c, f24.data(), static_cast<int32_t>(f24.size()), 0), ICERR_OK);
    EXPECT_EQ(VideoCodecSetPalette(c, change.data(), 12), ICERR_UNSUPPORTED);
    VideoCodecClose(c);
}

// A run-length frame of 4 x 2 pixels: the bottom row a run of 1s, the top row a run then an
// absolute run.
TEST(VideoCodecPalettised, RunLengthEightBitFramesWithPaletteChange) {
    Bytes table;
    for (int i = 0; i < 6; ++i)
        table.insert(table.end(), {uint8_t(i * 10), uint8_t(i * 20), uint8_t(i * 30), 0});
    const Bytes f = Format(4, 2, 8, BI_RLE8, table, 6);
    QVideoCodec* c = nullptr;
    ASSERT_EQ(VideoCodecOpen(&c, f.data(), static_cast<int32_t>(f.size()), 0), ICERR_OK);
    const Bytes frame = {4, 1, 0, 0, 1, 2, 0, 3, 3, 4, 5, 0, 0, 1};
    Bytes dib;
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), static_cast<int32_t>(frame.size()), true, dib),
              ICERR_OK);
    Picture p;
    ASSERT_TRUE(ReadDib(dib, p));
    EXPECT_EQ(p.bits, 8);
    const size_t rows = 40 + 1024;
    EXPECT_TRUE(Bytes(dib.begin() + rows, dib.end()) == (Bytes{1, 1, 1, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 20, dib.begin() + 40 + 24) == (Bytes{50, 100, 150, 0}));
    const Bytes change = {5, 1, 0, 0, 9, 8, 7, 0};
    ASSERT_EQ(VideoCodecSetPalette(c, change.data(), 8), ICERR_OK);
    ASSERT_EQ(VideoCodecDecode(c, frame.data(), static_cast<int32_t>(frame.size()), true, dib),
              ICERR_OK);
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 20, dib.begin() + 40 + 24) == (Bytes{7, 8, 9, 0}));
    EXPECT_TRUE(Bytes(dib.begin() + 40 + 16, dib.begin() + 40 + 20) == (Bytes{40, 80, 120, 0}));
    VideoCodecClose(c);
}

// Two one-colour blocks of 8-bit Video 1; the codec found by the format's code or, when that
// is unknown, by the stream handler's.
TEST(VideoCodecPalettised, VideoOneEightBit) {
    Bytes table;
    for (int i = 0; i < 256; ++i) table.insert(table.end(), {uint8_t(i), uint8_t(255 - i), 7, 0});
    for (const auto& [compression, handler] :
         {std::pair{Code("CRAM"), 0u}, std::pair{Code("zzzz"), Code("msvc")}}) {
        const Bytes f = Format(8, 4, 8, compression, table);
        QVideoCodec* c = nullptr;
        ASSERT_EQ(VideoCodecOpen(&c, f.data(), static_cast<int32_t>(f.size()), handler), ICERR_OK);
        const Bytes frame = {3, 0x80, 5, 0x80};
        Bytes dib;
        ASSERT_EQ(VideoCodecDecode(c, frame.data(), 4, true, dib), ICERR_OK);
        Picture p;
        ASSERT_TRUE(ReadDib(dib, p));
        EXPECT_EQ(p.bits, 8);
        for (int y = 0; y < 4; ++y)
            EXPECT_TRUE(Bytes(dib.begin() + 1064 + 8 * y, dib.begin() + 1064 + 8 * y + 8) ==
                        (Bytes{3, 3, 3, 3, 5, 5, 5, 5}));
        EXPECT_TRUE(Bytes(dib.begin() + 40 + 12, dib.begin() + 40 + 16) == (Bytes{3, 252, 7, 0}));
        VideoCodecClose(c);
    }
}

// --- Damage -------------------------------------------------------------------------------------

TEST(VideoCodecHostile, DamagedFormatsAreRefused) {
    QVideoCodec* c = reinterpret_cast<QVideoCodec*>(1);
    auto open = [&](const Bytes& f, uint32_t handler = 0) {
        const int32_t r = VideoCodecOpen(&c, f.data(), static_cast<int32_t>(f.size()), handler);
        if (r == ICERR_OK)
            VideoCodecClose(c);
        else
            EXPECT_EQ(c, nullptr);
        return r;
    };
    const Bytes good = Format(16, 16, 24, BI_RGB);
    ASSERT_EQ(open(good), ICERR_OK);
    EXPECT_EQ(VideoCodecOpen(&c, good.data(), 39, 0), ICERR_BADFORMAT);
    EXPECT_EQ(VideoCodecOpen(&c, nullptr, 40, 0), ICERR_BADFORMAT);
    EXPECT_EQ(VideoCodecOpen(nullptr, good.data(), 40, 0), ICERR_BADPARAM);
    Bytes f = good;
    Put32(f, 0, 39);
    EXPECT_EQ(open(f), ICERR_BADFORMAT);
    Put32(f, 0, 41);  // a header longer than the format
    EXPECT_EQ(open(f), ICERR_BADFORMAT);
    Put32(f, 0, 0xFFFFFFFF);
    EXPECT_EQ(open(f), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(0, 16, 24, BI_RGB)), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(-16, 16, 24, BI_RGB)), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(16, 0, 24, BI_RGB)), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(16, INT32_MIN, 24, BI_RGB)), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(100000, 16, 24, BI_RGB)), ICERR_BADIMAGESIZE);
    EXPECT_EQ(open(Format(16, -100000, 24, BI_RGB)), ICERR_BADIMAGESIZE);
    // One row over the picture limit the readers share (AV_MAX_PIXELS).
    EXPECT_EQ(open(Format(16384, 16385, 24, Code("MJPG"))), ICERR_BADIMAGESIZE);
    EXPECT_EQ(open(Format(16, 16, 0, Code("MJPG"))), ICERR_OK);  // a depth codecs may leave out
    EXPECT_EQ(open(Format(16, 16, 65, Code("MJPG"))), ICERR_BADBITDEPTH);
    for (uint16_t bits : {0, 1, 4, 12, 15, 31})
        EXPECT_NE(open(Format(16, 16, bits, BI_RGB)), ICERR_OK) << bits;
    // Colour tables: more than 256 entries, more than the depth holds, more than are there.
    EXPECT_EQ(open(Format(16, 16, 8, BI_RGB, Bytes(257 * 4), 257)), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(16, 16, 4, BI_RLE4, Bytes(17 * 4), 17)), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(16, 16, 8, BI_RGB, Bytes(10 * 4), 200)), ICERR_BADFORMAT);
    EXPECT_EQ(open(Format(16, 16, 8, BI_RGB, Bytes(10 * 4), 0)), ICERR_OK);  // what is there
    EXPECT_EQ(open(Format(16, 16, 16, BI_BITFIELDS, Bytes(12))), ICERR_UNSUPPORTED);
    EXPECT_EQ(open(Format(16, 16, 24, Code("QQQQ")), Code("ZZZZ")), ICERR_UNSUPPORTED);

    Bytes dib;
    EXPECT_EQ(VideoCodecDecode(nullptr, good.data(), 4, true, dib), ICERR_BADHANDLE);
    EXPECT_EQ(VideoCodecFlush(nullptr, dib), ICERR_BADHANDLE);
    EXPECT_EQ(VideoCodecReset(nullptr), ICERR_BADHANDLE);
    EXPECT_EQ(VideoCodecSetPalette(nullptr, good.data(), 8), ICERR_BADHANDLE);
    EXPECT_EQ(VideoCodecClose(nullptr), ICERR_BADHANDLE);
}

// Truncated, bit-flipped and foreign frames: each call gives an error or a well-formed bitmap.
TEST(VideoCodecHostile, DamagedFramesFailCleanly) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    TempDir dir;
    const struct {
        const char* name;
        const char* size;
        const char* args;
    } cases[] = {
        {"msvc", "32x24", "-c:v msvideo1"},
        {"mjpeg", "48x32", "-c:v mjpeg"},
        {"cinepak", "48x32", "-c:v cinepak"},
        {"mpeg4", "48x32", "-c:v mpeg4 -bf 2 -g 6"},
        {"dv", "720x576", "-pix_fmt yuv420p -c:v dvvideo"},
    };
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string path = MakeAvi(dir, k.name, k.size, 6, k.args);
        ASSERT_FALSE(path.empty());
        AviVideo v = ReadAvi(path);
        ASSERT_FALSE(v.chunks.empty());
        // A format that claims a bigger picture than the frames hold.
        Bytes lying = v.format;
        Put32(lying, 4, 4000);
        Put32(lying, 8, 3000);
        for (const Bytes* format : {&v.format, &lying}) {
            QVideoCodec* c = nullptr;
            ASSERT_EQ(
                VideoCodecOpen(&c, format->data(), static_cast<int32_t>(format->size()), v.handler),
                ICERR_OK);
            // Pictures of a lying format can be big: fewer rounds.
            const int rounds = format == &lying || std::string(k.name) == "dv" ? 12 : 120;
            Bytes dib;
            for (int i = 0; i < rounds; ++i) {
                Bytes frame = v.chunks[next() % v.chunks.size()].data;
                switch (next() % 4) {
                    case 0: frame.resize(next() % (frame.size() + 1)); break;
                    case 1:
                        for (uint32_t n = 1 + next() % 8; n > 0; --n)
                            frame[next() % frame.size()] ^= static_cast<uint8_t>(1 << (next() % 8));
                        break;
                    case 2:
                        for (auto& b : frame) b = static_cast<uint8_t>(next());
                        break;
                    default: break;  // an intact frame, out of order
                }
                const int32_t r = VideoCodecDecode(
                    c, frame.data(), static_cast<int32_t>(frame.size()), next() % 2 == 0, dib);
                EXPECT_TRUE(r == ICERR_OK || r == ICERR_ERROR || r == ICERR_BADIMAGESIZE ||
                            (r == ICERR_DONTDRAW && frame.empty()))
                    << r;
                Picture p;
                if (!dib.empty()) {
                    EXPECT_TRUE(ReadDib(dib, p));
                }
            }
            for (int guard = 0; guard < 16 && VideoCodecFlush(c, dib) == ICERR_OK && !dib.empty();
                 ++guard) {
                Picture p;
                EXPECT_TRUE(ReadDib(dib, p));
            }
            VideoCodecClose(c);
        }
    }
}
