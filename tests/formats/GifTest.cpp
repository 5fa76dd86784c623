// Animated GIFs: frames composed as ffmpeg composes them (fixtures made by ffmpeg and
// ImageMagick, see tests/data/formats/gif/make-fixtures.sh), random access, disposal, clipping,
// the open cache, frame rates, and damaged files.

#include "formats/FF_GIF.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "formats/ConFormStill.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

const std::string kDir = std::string(KV_TEST_DATA) + "/formats/gif/";
using Error = std::pair<int32_t, int32_t>;
const Error kNone{0, 0};

// FNV-1a 64 of the picture as red, green, blue bytes, as make-fixtures.sh hashes the tools' frames.
uint64_t FrameHash(const Qimg& img) {
    uint64_t x = test::kFnv1aBasis;
    for (int64_t i = 0; i < int64_t{img.width} * img.height; ++i) {
        const QBGR& c = img.palette[img.data[i]];
        const uint8_t rgb[3] = {c.red, c.green, c.blue};
        x = test::Fnv1a(rgb, sizeof rgb, x);
    }
    return x;
}

// frames.txt: each fixture with the hashes of its frames.
std::vector<std::pair<std::string, std::vector<uint64_t>>> Fixtures() {
    std::vector<std::pair<std::string, std::vector<uint64_t>>> all;
    std::ifstream in(kDir + "frames.txt");
    std::string file, hash;
    int frame;
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '#' || !(std::istringstream(line) >> file >> frame >> hash)) continue;
        if (all.empty() || all.back().first != file) all.push_back({file, {}});
        all.back().second.push_back(std::stoull(hash, nullptr, 16));
    }
    return all;
}

// A small GIF writer: a global table (entry i: i, 255 - i, 7 i), local tables with its colours
// reversed; pixels as 8-bit LZW literals with a clear code before every 254, so codes stay 9 bits.
struct FrameSpec {
    int left = 0, top = 0, w = 0, h = 0;
    uint8_t fill = 0;
    int odd = -1;  // every other pixel this index
    int delay = 0, disposal = 0, transparent = -1;
    bool keyFlag = true;  // the extension's flag that the transparent index is in use
    bool local = false;
    bool broken = false;  // the first code is not defined yet
};

void Put16(std::string& s, int v) { s += char(v & 255), s += char(v >> 8 & 255); }

std::string MakeGif(int w, int h, bool global, const std::vector<FrameSpec>& frames,
                    std::vector<size_t>* starts = nullptr) {
    auto table = [](bool reversed) {
        std::string t;
        for (int i = 0; i < 256; ++i) {
            const int k = reversed ? 255 - i : i;
            t += char(k), t += char(255 - k), t += char(k * 7);
        }
        return t;
    };
    std::string s = "GIF89a";
    Put16(s, w), Put16(s, h);
    s += std::string{char(global ? 0xF7 : 0), 0, 0} + (global ? table(false) : "");
    for (const FrameSpec& f : frames) {
        if (starts) starts->push_back(s.size());
        s += "\x21\xF9\x04" +
             std::string(1, char(f.disposal << 2 | (f.transparent >= 0 && f.keyFlag)));
        Put16(s, f.delay);
        s += std::string{char(std::max(f.transparent, 0)), 0, ','};
        Put16(s, f.left), Put16(s, f.top), Put16(s, f.w), Put16(s, f.h);
        s += char(f.local ? 0x87 : 0) + (f.local ? table(true) : "") + '\x08';
        std::vector<int> codes;
        for (int i = 0; i < f.w * f.h; ++i) {
            if (i % 254 == 0) codes.push_back(256);
            codes.push_back(f.odd >= 0 && i % 2 ? f.odd : f.fill);
        }
        if (f.broken) codes[1] = 300;
        codes.push_back(257);
        std::string data;
        uint32_t acc = 0, bits = 0;
        for (int c : codes)
            for (acc |= uint32_t(c) << bits, bits += 9; bits >= 8; bits -= 8, acc >>= 8)
                data += char(acc);
        data += char(acc);
        for (size_t i = 0; i < data.size(); i += 255)
            s += char(data.substr(i, 255).size()) + data.substr(i, 255);
        s += '\0';
    }
    return s + ';';
}

template <class Body>
Error Try(Body&& body) {
    MonitoredIsolated(body);
    return {ErrLastGroup(), ErrLastCode()};
}

}  // namespace

TEST(Gif, ComposesFramesAsTheTools) {
    const auto fixtures = Fixtures();
    ASSERT_EQ(fixtures.size(), 5u);
    for (const auto& [file, hashes] : fixtures) {
        SCOPED_TRACE(file);
        const test::RegisterBalance balance;
        QGifHandle h{};
        Qimg img{};
        GIFOpen(h, kDir + file, false);
        ASSERT_EQ(h.frames, int32_t(hashes.size()));
        for (size_t k = 1; k <= hashes.size(); ++k) {
            GIFLoad(h, img, 0, 1);
            EXPECT_EQ(FrameHash(img), hashes[k - 1]) << "frame " << k;
            EXPECT_TRUE(k > 1 || h.newPalette != 0);
        }
        // Backwards without continuous playback: composed again from where each frame needs.
        for (size_t k = hashes.size(); k >= 1; --k) {
            GIFLoad(h, img, int32_t(k), 0);
            EXPECT_EQ(FrameHash(img), hashes[k - 1]) << "frame " << k << " out of order";
        }
        GIFClose(h);
        // The still loader shows the first frame; the information counts them all.
        ImgLoad(kDir + file, img, BAD_HANDLE);
        EXPECT_EQ(FrameHash(img), hashes[0]);
        ImgFree(img);
        balance.Expect();
        QffInfo info{};
        FFInfo(kDir + file, BAD_HANDLE, info);
        EXPECT_EQ(info.type, FT_GIF);
        EXPECT_EQ(info.frames, int32_t(hashes.size()));
        EXPECT_EQ(info.videoCompression, "Variable-Length-Code LZW (Lempel-Ziv & Welch)");
    }
}

TEST(Gif, FrameRates) {
    TempDir dir;
    struct Case {
        std::vector<int> delays;
        bool fullScan;
        double rate;
    };
    for (const Case& c :
         {Case{{10, 10, 20}, true, 7.5}, Case{{0, 0}, true, 0.0}, Case{{7, 50}, false, 14.0}}) {
        std::vector<FrameSpec> frames;
        for (int d : c.delays) frames.push_back(FrameSpec{.w = 4, .h = 3, .delay = d});
        const std::string path = dir.file("rate" + std::to_string(c.delays[0]) + ".gif");
        WriteFileBytes(path, MakeGif(4, 3, true, frames));
        QffInfo info{};
        GIFInfo(path, info, c.fullScan);
        EXPECT_DOUBLE_EQ(info.frameRate, c.rate);
        EXPECT_EQ(info.frames, c.fullScan ? int32_t(c.delays.size()) : 1);
    }
}

// Whole frames stand alone; after a partial one, frames are composed from frame 1 unless play
// goes on forward. A frame whose data cannot be decoded shows which frames were composed.
TEST(Gif, RandomAccessComposesOnlyWhatIsNeeded) {
    TempDir dir;
    const std::string path = dir.file("access.gif");
    std::vector<FrameSpec> whole(3, FrameSpec{.w = 6, .h = 4, .fill = 3});
    whole[1].broken = true;
    WriteFileBytes(path, MakeGif(6, 4, true, whole));
    QGifHandle h{};
    Qimg img{};
    GIFOpen(h, path, false);
    EXPECT_EQ(h.sequential, 0);
    EXPECT_EQ(Try([&] { GIFLoad(h, img, 3, 0); }), kNone);
    EXPECT_EQ(Try([&] { GIFLoad(h, img, 2, 0); }), Error(ERR_IMG, 3));
    GIFClose(h);

    // Frame 2 is partial, so the animation is sequential. Frame 1 breaks once play has passed it.
    std::vector<FrameSpec> seq = {FrameSpec{.w = 6, .h = 4, .fill = 9}};
    for (int k = 1; k < 5; ++k)
        seq.push_back(FrameSpec{.left = k, .w = 2, .h = 2, .fill = uint8_t(k)});
    WriteFileBytes(path, MakeGif(6, 4, true, seq));
    GIFOpen(h, path, false);
    EXPECT_NE(h.sequential, 0);
    GIFLoad(h, img, 2, 1);
    seq[0].broken = true;
    WriteFileBytes(path, MakeGif(6, 4, true, seq));         // the same size
    EXPECT_EQ(Try([&] { GIFLoad(h, img, 4, 1); }), kNone);  // composes 3 and 4
    EXPECT_EQ(std::vector<uint8_t>(img.data, img.data + 6), (std::vector<uint8_t>{9, 1, 2, 3, 3, 9}));
    EXPECT_EQ(Try([&] { GIFLoad(h, img, 4, 0); }), Error(ERR_IMG, 3));  // starts again at 1
    EXPECT_EQ(Try([&] { GIFLoad(h, img, 6, 0); }), Error(ERR_MVI, 1));
    GIFClose(h);
    ImgFree(img);
}

TEST(Gif, DisposalClippingAndTransparency) {
    TempDir dir;
    const std::string path = dir.file("compose.gif");
    WriteFileBytes(
        path,
        MakeGif(
            4, 4, false,
            {
                FrameSpec{.w = 4, .h = 4, .fill = 7, .disposal = GIF_DISPOSE_BACKGROUND, .local = true},
                FrameSpec{.left = 3,
                          .top = 3,
                          .w = 3,
                          .h = 3,
                          .fill = 5,
                          .disposal = GIF_DISPOSE_PREVIOUS,
                          .local = true},
                FrameSpec{.left = 10, .w = 2, .h = 2, .fill = 6, .local = true},  // wholly outside
                FrameSpec{.w = 6, .h = 6, .fill = 2, .odd = 4, .transparent = 4, .local = true},
                FrameSpec{.w = 1, .h = 1, .fill = 3, .transparent = 3, .keyFlag = false, .local = true},
            }));
    QGifHandle h{};
    Qimg img{};
    GIFOpen(h, path, false);
    auto next = [&] {
        GIFLoad(h, img, 0, 1);
        return std::vector<uint8_t>(img.data, img.data + 16);
    };
    EXPECT_EQ(next(), std::vector<uint8_t>(16, 7));
    // Disposal 2 without a global colour table leaves index 255; the frame is cut at the edges.
    std::vector<uint8_t> second(16, 255);
    second[15] = 5;
    EXPECT_EQ(next(), second);
    // Disposal 3 puts back what frame 2 covered; a frame outside the screen draws nothing.
    EXPECT_EQ(next(), std::vector<uint8_t>(16, 255));
    // A frame larger than the screen is cut; its transparent pixels keep what lay beneath.
    const std::vector<uint8_t> fourth = next();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(fourth[i], i % 2 ? 255 : 2) << i;
    // An index in the extension without its flag makes nothing transparent.
    EXPECT_EQ(next()[0], 3);
    GIFClose(h);
    ImgFree(img);
}

TEST(Gif, OpenCacheFollowsNameSizeAndTime) {
    TempDir dir;
    const std::string path = dir.file("cached.gif");
    std::vector<size_t> starts;
    const std::string three = MakeGif(
        4, 3, true, std::vector<FrameSpec>(3, FrameSpec{.w = 4, .h = 3}), &starts);
    std::string two = three;
    two[starts[2]] = ';';  // the same size, ending after frame 2
    auto frames = [&] {
        QffInfo info{};
        GIFInfo(path, info, true);
        return info.frames;
    };
    WriteFileBytes(path, three);
    EXPECT_EQ(frames(), 3);
    const auto stamp = std::filesystem::last_write_time(path);
    WriteFileBytes(path, two);
    std::filesystem::last_write_time(path, stamp);
    EXPECT_EQ(frames(), 3);  // the same name, size and time stamp: the earlier scan
    std::filesystem::last_write_time(path, stamp + std::chrono::seconds(1));
    EXPECT_EQ(frames(), 2);
}

// Damaged headers and frames give their documented errors; cut and bit-flipped fixtures, played
// through, fail only with documented errors, the handle stays usable and nothing is left behind.
TEST(Gif, DamagedFilesFailCleanly) {
    TempDir dir;
    const std::string path = dir.file("probe.gif");
    const std::string good = MakeGif(4, 3, true, {FrameSpec{.w = 4, .h = 3}});
    std::string cases[] = {"GIF88a" + good.substr(6),
                           good.substr(0, 10),
                           good,
                           good.substr(0, 781) + ";",
                           MakeGif(4, 3, true, {FrameSpec{.w = 4, .h = 3, .broken = true}}),
                           good};
    cases[2][6] = cases[2][7] = 0;                 // no width
    cases[5].replace(794, 4, "\xFF\xFF\xFF\xFF");  // a frame beyond the sane limits
    const Error errors[] = {{ERR_IMG, 2}, {ERR_IMG, 2}, {ERR_IMG, 2},
                            {ERR_MVI, 7}, {ERR_IMG, 3}, {ERR_IMG, 9}};
    for (int i = 0; i < 6; ++i) {
        WriteFileBytes(path, cases[i]);
        Qimg img{};
        EXPECT_EQ(Try([&] { ImgLoad(path, img, BAD_HANDLE); }), errors[i]) << i;
    }
    for (const auto& [file, hashes] : Fixtures()) {
        const std::string bytes = ReadFileBytes(kDir + file);
        std::mt19937 rng(uint32_t(bytes.size()));
        for (int v = 0; v < 60; ++v) {
            std::string b = bytes;
            for (int k = 0; v >= 8 && k < 1 + v % 3; ++k)
                b[rng() % b.size()] ^= char(1 << rng() % 8);
            b.resize(v < 8 ? b.size() * v / 8 : b.size());
            std::filesystem::remove(path);
            WriteFileBytes(path, b);
            const test::RegisterBalance balance;
            QGifHandle h{};
            Qimg img{};
            const Error open = Try([&] { GIFOpen(h, path, false); });
            EXPECT_TRUE(open.first == 0 || open.first == ERR_IMG) << file << " " << v;
            for (int32_t n = 1; open.first == 0 && n <= h.frames + 1; ++n) {
                const int32_t g = Try([&] { GIFLoad(h, img, n, 1); }).first;
                EXPECT_TRUE(g == 0 || g == ERR_IMG || g == ERR_MVI) << file << " " << v << " " << g;
            }
            if (open.first == 0) GIFClose(h);
            ImgFree(img);
            EXPECT_TRUE(balance.Balanced()) << file << " variant " << v;
        }
    }
}

// A screen over the picture limit is refused by the header, before the screen is allocated or
// any frame looked at; one at the limit opens (the open allocates no picture).
TEST(Gif, ScreenOverThePictureLimit) {
    // Kept from a fuzzing run: 66 bytes declaring a 27,000 x 27,000 screen with two 1 x 1 frames.
    const std::string kept = kDir + "fuzz-huge-screen.gif";
    const test::RegisterBalance balance;
    const auto started = std::chrono::steady_clock::now();
    Qimg img{};
    EXPECT_EQ(Try([&] { ImgLoad(kept, img, BAD_HANDLE); }), (Error{ERR_IMG, 2}));
    QGifHandle h{};
    EXPECT_EQ(Try([&] { GIFOpen(h, kept, false); }), (Error{ERR_IMG, 2}));
    QffInfo info{};
    EXPECT_EQ(Try([&] { GIFInfo(kept, info, true); }), (Error{ERR_IMG, 2}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_TRUE(balance.Balanced());

    TempDir dir;
    const std::string path = dir.file("edge.gif");
    const std::vector<FrameSpec> frames{FrameSpec{.w = 1, .h = 1}, FrameSpec{.w = 1, .h = 1}};
    WriteFileBytes(path, MakeGif(16384, 16384, true, frames));
    ASSERT_EQ(Try([&] { GIFOpen(h, path, false); }), kNone);
    EXPECT_EQ(h.frames, 2);
    GIFClose(h);
    WriteFileBytes(path, MakeGif(16385, 16384, true, frames));
    EXPECT_EQ(Try([&] { GIFOpen(h, path, false); }), (Error{ERR_IMG, 2}));
}

// Each handle keeps its own frame starts: opening (or scanning) another file in between, as a
// second thread or the information window would, does not disturb an open animation.
TEST(Gif, HandlesKeepTheirOwnFrames) {
    const auto fixtures = Fixtures();
    QGifHandle a{}, b{};
    Qimg imgA{}, imgB{};
    GIFOpen(a, kDir + fixtures[0].first, false);
    GIFOpen(b, kDir + fixtures[1].first, false);
    for (size_t k = 0; k < fixtures[1].second.size(); ++k) {
        GIFLoad(a, imgA, 0, 1);
        GIFLoad(b, imgB, 0, 1);
        QffInfo info{};
        GIFInfo(kDir + fixtures[3].first, info, true);
        EXPECT_EQ(FrameHash(imgA), fixtures[0].second[k]) << k;
        EXPECT_EQ(FrameHash(imgB), fixtures[1].second[k]) << k;
    }
    GIFClose(a);
    GIFClose(b);
    ImgFree(imgA);
    ImgFree(imgB);
}

// An animation larger than the scan buffer, of frames larger than a frame's first read: the
// scan finds every frame start across refills, and each frame loads whole, in any order.
TEST(Gif, LargeFilesAcrossBufferRefills) {
    TempDir dir;
    const std::string path = dir.file("large.gif");
    std::vector<FrameSpec> frames;
    for (int k = 0; k < 40; ++k)
        frames.push_back(
            FrameSpec{.w = 100, .h = 60, .fill = uint8_t(k), .odd = 200, .local = k % 2 == 1});
    std::vector<size_t> starts;
    const std::string bytes = MakeGif(100, 60, true, frames, &starts);
    ASSERT_GT(bytes.size(), size_t{4} * GIF_SCAN_BUFFER);
    WriteFileBytes(path, bytes);
    const int32_t blocks = MemCount();
    QGifHandle h{};
    Qimg img{};
    GIFOpen(h, path, false);
    ASSERT_EQ(h.frames, 40);
    for (int k = 0; k < 40; ++k) EXPECT_EQ(h.fposBlk[0][k], int32_t(starts[k])) << k;
    for (int k : {40, 3, 17, 18, 1}) {
        ASSERT_EQ(Try([&] { GIFLoad(h, img, k, 0); }), kNone) << k;
        EXPECT_EQ(img.data[0], k - 1) << k;
        EXPECT_EQ(img.data[100 * 60 - 1], 200) << k;  // the last pixel: the stream was read to its end
    }
    GIFClose(h);
    // The first frame alone, through the small first read.
    GIFOpen(h, path, true);
    EXPECT_EQ(h.frames, 1);
    ASSERT_EQ(Try([&] { GIFLoad(h, img, 1, 0); }), kNone);
    EXPECT_EQ(img.data[0], 0);
    GIFClose(h);
    ImgFree(img);
    EXPECT_EQ(MemCount(), blocks);
}
