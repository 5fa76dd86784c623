// FLIC animations: the real samples of ../shared/corpus-flic against ffmpeg's decodes, frame rates,
// palettes, the picture sub-chunks on small files built here, random access, damaged files.

#include "formats/FF_FLC.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>

#include "formats/ConFormStill.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace fs = std::filesystem;

namespace {

const fs::path kCorpus = fs::path(KV_SHARED_DIR) / "corpus-flic";
using Error = test::ErrorOf;

std::string Le(std::initializer_list<uint32_t> values, int bytes) {
    std::string s;
    for (uint32_t v : values)
        for (int i = 0; i < bytes; ++i) s += char(v >> 8 * i);
    return s;
}
std::string B(std::initializer_list<uint32_t> v) { return Le(v, 1); }
std::string W(std::initializer_list<uint32_t> v) { return Le(v, 2); }

std::string Sub(uint16_t type, const std::string& data) {
    return Le({uint32_t(6 + data.size())}, 4) + W({type}) + data;
}

std::string Chunk(const std::vector<std::string>& subs, uint16_t type = FLC_CHUNK_FRAME) {
    std::string body;
    for (const std::string& sub : subs) body += sub;
    return Le({uint32_t(16 + body.size())}, 4) + W({type, uint32_t(subs.size())}) +
           std::string(8, '\0') + body;
}

std::string Flic(int w, int h, int frames, uint32_t speed, const std::vector<std::string>& chunks) {
    std::string s = W({0, 0, FLC_MAGIC_FLC, uint32_t(frames), uint32_t(w), uint32_t(h), 8, 3}) +
                    Le({speed}, 4);
    s.resize(128);
    for (const std::string& c : chunks) s += c;
    return s;
}

using test::Try;

// The picture as RGB bytes; ffmpeg widens 64-level colours as c << 2 | c >> 4, this reader as
// c << 2, so their low bits are filled in the same way before comparing.
std::string Rgb(const Qimg& img, bool sixtyFour) {
    std::string s;
    for (int64_t i = 0; i < int64_t{img.width} * img.height; ++i)
        for (uint8_t b : {img.palette[img.data[i]].red, img.palette[img.data[i]].green,
                          img.palette[img.data[i]].blue})
            s += char(sixtyFour ? b | b >> 6 : b);
    return s;
}

}  // namespace

TEST(Flic, CorpusMatchesFfmpeg) {
    if (!fs::is_directory(kCorpus)) GTEST_SKIP() << kCorpus << " is missing";
    struct Case {
        const char* file;
        bool sixtyFour;
        std::vector<int> refs;
        double rate;
    };
    for (const Case& c : {Case{"2422.flc", false, {1, 2, 14, 27}, 5.8},
                          Case{"a.fli", true, {1, 2, 192, 384}, 14.0}}) {
        SCOPED_TRACE(c.file);
        auto ref = [&](int n) {  // a P6 file by ffmpeg: the pixels follow the fourth field
            char name[64];
            std::snprintf(name, sizeof name, "%s.f%04d.ppm", c.file, n);
            const std::string d = ReadFileBytes((kCorpus / "ref" / name).string());
            size_t at = 0;
            for (int field = 0; field < 4; ++field)
                at = d.find_first_of(" \n", d.find_first_not_of(" \n", at));
            return d.substr(at + 1);
        };
        QFlcHandle h{};
        Qimg img{};
        FLCOpen(h, (kCorpus / c.file).string());
        EXPECT_DOUBLE_EQ(h.frameRate, c.rate);
        for (int k = 1; k <= h.frames; ++k) {
            FLCLoad(h, img, 0, 1);
            EXPECT_TRUE(std::find(c.refs.begin(), c.refs.end(), k) == c.refs.end() ||
                        Rgb(img, c.sixtyFour) == ref(k))
                << k;
        }
        EXPECT_EQ(Try([&] { FLCLoadNext(h, img); }), Error(ERR_FLIC, 1));  // the ring frame is not shown
        FLCLoad(h, img, c.refs[2], 0);  // back: from the first frame again
        EXPECT_EQ(Rgb(img, c.sixtyFour), ref(c.refs[2]));
        EXPECT_EQ(Try([&] { FLCLoad(h, img, h.frames + 1, 0); }), Error(ERR_MVI, 1));
        FLCClose(h);
        ImgFree(img);
    }
    // The frame chunk of hopper.fli claims one byte more than the file holds.
    QffInfo info{};
    FFInfo((kCorpus / "hopper.fli").string(), BAD_HANDLE, info);
    EXPECT_EQ(info.type, FT_FLIC);
    EXPECT_EQ(info.videoCompression, "RLE + pixel difference from previous frame");
    QFlcHandle h{};
    Qimg img{};
    FLCOpen(h, (kCorpus / "hopper.fli").string());
    EXPECT_EQ(Try([&] { FLCLoad(h, img, 1, 0); }), Error(ERR_IMG, 2));
    FLCClose(h);
    ImgFree(img);
}

TEST(Flic, FrameRateFromTheExtension) {
    TempDir dir;
    struct Case {
        const char* name;
        uint32_t speed;
        double rate;
    };
    for (const Case& c : {Case{"a.fli", 5, 14.0}, Case{"a.flc", 5, 200.0}, Case{"b.FLI", 5, 14.0},
                          Case{"c.flc", 3, 333.3}, Case{"d.flc", 0, 0.0}}) {
        WriteFileBytes(dir.file(c.name), Flic(4, 2, 1, c.speed, {Chunk({})}));
        QffInfo info{};
        FLCInfo(dir.file(c.name), info);
        EXPECT_DOUBLE_EQ(info.frameRate, c.rate) << c.name;
    }
}

// Two 256-level packets (skip 0, 16 colours; skip 16, 16 colours), a 64-level one, and a byte
// delta in the same frame.
TEST(Flic, PalettePackets) {
    TempDir dir;
    std::string packets = W({2}) + B({0, 16});
    for (uint32_t i = 0; i < 16; ++i) packets += B({i + 1, 2, 3});
    packets += B({16, 16});
    for (uint32_t i = 0; i < 16; ++i) packets += B({i + 100, 5, 6});
    const std::string path = dir.file("pal.flc");
    WriteFileBytes(path, Flic(4, 2, 1, 0,
                              {Chunk({Sub(FLC_COLOR_256, packets),
                                      Sub(FLC_COLOR_64, W({1}) + B({200, 1, 63, 0, 32})),
                                      Sub(FLC_DELTA_BYTE, W({1, 1}) + B({1, 2, 2, 9, 9}))})}));
    QFlcHandle h{};
    Qimg img{};
    FLCOpen(h, path);
    FLCLoad(h, img, 1, 0);
    EXPECT_NE(h.newPalette, 0);
    for (int i = 0; i < 256; ++i) {
        const QBGR e = img.palette[i];
        const QBGR want = i < 16              ? QBGR{3, 2, uint8_t(i + 1)}
                          : i >= 32 && i < 48 ? QBGR{6, 5, uint8_t(i + 68)}
                          : i == 200          ? QBGR{128, 0, 252}
                                              : QBGR{0, 0, 0};
        EXPECT_TRUE(e.blue == want.blue && e.green == want.green && e.red == want.red) << i;
    }
    EXPECT_EQ(std::string(img.data, img.data + 8), B({0, 0, 0, 0, 0, 0, 9, 9}));
    FLCClose(h);
    ImgFree(img);
}

// Each case: the sub-chunks of frame 2 (frame 1 copies 1 to 15 into the 5 x 3 picture) and the
// picture after it, or the error.
TEST(Flic, PictureSubChunks) {
    TempDir dir;
    const std::string first = B({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
    struct Case {
        const char* what;
        std::string sub;
        std::string picture;
        Error error{0, 0};
    };
    const Case cases[] = {
        {"byte run: runs and literals by the width, whatever the packet count",
         Sub(FLC_BYTE_RUN, B({0, 3, 7, 0xFE, 8, 9, 9, 5, 4, 0xFF, 0xFB, 1, 2, 3, 4, 5})),
         B({7, 7, 7, 8, 9, 4, 4, 4, 4, 4, 1, 2, 3, 4, 5})},
        {"byte delta: from line 1, skips, runs and literals",
         Sub(FLC_DELTA_BYTE, W({1, 2}) + B({2, 1, 0xFE, 0, 0, 1, 99, 1, 0, 2, 30, 31})),
         B({1, 2, 3, 4, 5, 6, 0, 0, 99, 10, 30, 31, 13, 14, 15})},
        {"word delta: line skip, last byte of an odd line, repeated and copied words",
         Sub(FLC_DELTA_WORD,
             W({2, 0xFFFF, 0x8063, 1}) + B({0, 0xFE, 40, 41}) + W({1}) + B({1, 1, 50, 51})),
         B({1, 2, 3, 4, 5, 40, 41, 40, 41, 0x63, 11, 50, 51, 14, 15})},
        {"black", Sub(FLC_BLACK, ""), std::string(15, '\0')},
        {"copy", Sub(FLC_COPY, std::string(15, '*')), std::string(15, '*')},
        {"byte run past the line", Sub(FLC_BYTE_RUN, B({0, 6, 7})), "", {ERR_MVI, 3}},
        {"byte delta past the line",
         Sub(FLC_DELTA_BYTE, W({0, 1}) + B({1, 4, 2, 1, 1})),
         "",
         {ERR_MVI, 3}},
        {"word delta past the line",
         Sub(FLC_DELTA_WORD, W({1, 1}) + B({0, 3, 1, 1, 1, 1, 1, 1})),
         "",
         {ERR_MVI, 3}},
        {"copy short of the picture", Sub(FLC_COPY, std::string(14, '\0')), "", {ERR_MVI, 3}},
        {"sub-chunk past its frame", Sub(FLC_BLACK, "").replace(0, 1, "\x40"), "", {ERR_MVI, 3}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file("sub.flc");
        WriteFileBytes(path, Flic(5, 3, 2, 0, {Chunk({Sub(FLC_COPY, first)}), Chunk({c.sub})}));
        QFlcHandle h{};
        Qimg img{};
        FLCOpen(h, path);
        FLCLoad(h, img, 1, 1);
        EXPECT_EQ(Try([&] { FLCLoad(h, img, 2, 1); }), c.error) << c.what;
        EXPECT_TRUE(c.error.first != 0 || std::string(img.data, img.data + 15) == c.picture)
            << c.what;
        FLCClose(h);
        ImgFree(img);
    }
}

// Frame k writes k into pixel k - 1 over the frame before; frame 1 starts from black. A prefix
// chunk before the first frame is passed over.
TEST(Flic, RandomAccessRewinds) {
    TempDir dir;
    std::vector<std::string> chunks = {Chunk({Sub(3, "prefix")}, 0xF100)};
    for (uint32_t k = 1; k <= 5; ++k) {
        const std::string delta = Sub(FLC_DELTA_BYTE, W({0, 1}) + B({1, k - 1, 1, k}));
        chunks.push_back(k == 1 ? Chunk({Sub(FLC_BLACK, ""), delta}) : Chunk({delta}));
    }
    const std::string path = dir.file("seek.flc");
    WriteFileBytes(path, Flic(5, 1, 5, 0, chunks));
    QFlcHandle h{};
    Qimg img{};
    FLCOpen(h, path);
    auto load = [&](int32_t n) {
        FLCLoad(h, img, n, 1);
        return std::string(img.data, img.data + 5);
    };
    EXPECT_EQ(load(5), B({1, 2, 3, 4, 5}));
    EXPECT_EQ(load(3), B({1, 2, 3, 0, 0}));
    EXPECT_EQ(load(5), B({1, 2, 3, 4, 5}));  // on from 3
    EXPECT_EQ(Try([&] { FLCLoad(h, img, -1, 0); }), Error(ERR_MVI, 1));
    FLCClose(h);

    WriteFileBytes(path, Flic(5, 1, 5, 0, chunks).substr(0, 200));  // the second frame is cut
    FLCOpen(h, path);
    EXPECT_EQ(Try([&] { FLCLoad(h, img, 0, 1); }), Error(0, 0));
    EXPECT_EQ(Try([&] { FLCLoad(h, img, 0, 1); }), Error(ERR_IMG, 2));
    FLCClose(h);
    ImgFree(img);
    WriteFileBytes(path, Flic(5, 1, 5, 0, chunks).replace(5, 1, "\x00", 1));  // magic 0x0012
    EXPECT_EQ(Try([&] { FLCOpen(h, path); }), Error(ERR_IMG, 2));
}

// Damaged samples, and cut or bit-flipped copies of a good one, played through: a documented
// error or a picture, the handle usable to the end, nothing left behind.
TEST(Flic, HostileFilesFailCleanly) {
    std::vector<std::string> files = {ReadFileBytes((kCorpus / "2422.flc").string())};
    if (files[0].empty()) GTEST_SKIP() << kCorpus << " is missing";
    for (const auto& e : fs::directory_iterator(kCorpus / "damaged"))
        files.push_back(ReadFileBytes(e.path().string()));
    TempDir dir;
    const std::string path = dir.file("probe.flc");
    std::mt19937 rng(7);
    for (size_t f = 0; f < files.size(); ++f) {
        for (int v = 0; v < (f == 0 ? 80 : 1); ++v) {
            std::string b = files[f];
            for (int k = 0; v >= 8 && k < 1 + v % 3; ++k)
                b[v % 2 ? rng() % 200 : rng() % b.size()] ^= char(1 << rng() % 8);
            b.resize(v > 0 && v < 8 ? b.size() * v / 8 : b.size());
            WriteFileBytes(path, b);
            const test::RegisterBalance balance;
            QFlcHandle h{};
            Qimg img{};
            const bool opened = Try([&] { FLCOpen(h, path); }).first == 0;
            for (int32_t n = 1; opened && n <= std::min<int32_t>(h.frames, 40); ++n) {
                const int32_t g = Try([&] { FLCLoad(h, img, n, 1); }).first;
                EXPECT_TRUE(g == 0 || g == ERR_IMG || g == ERR_MVI || g == ERR_FLIC)
                    << f << " " << v << " " << g;
            }
            if (opened) FLCClose(h);
            ImgFree(img);
            EXPECT_TRUE(balance.Balanced()) << f << " " << v;
        }
    }
}
