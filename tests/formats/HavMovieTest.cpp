// HAV movies end to end: the writer's output decoded by the reader, random access, palettes,
// sound, fixtures made with ffmpeg, and damaged files.

#include "formats/FF_HAV.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "formats/HavWriter.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

using Bytes = std::vector<uint8_t>;
using Palette = std::array<QBGR, 256>;

struct Frame {
    Bytes pixels;
    Palette palette;
};
using Clip = std::vector<Frame>;

Qimg NewImage(int32_t w, int32_t h, int32_t bits) {
    Qimg img;
    std::memset(static_cast<void*>(&img), 0, sizeof img);
    if (w > 0) _imgalloc_(img, w, h, "HavMovieTest.img", __LINE__, bits);
    return img;
}

// Frames with a scrolling gradient, a flat area that changes now and then, sparse and dense
// noise; palette movies change the whole palette or parts of it in some frames.
Clip MakeClip(int32_t w, int32_t h, int32_t bpp, int32_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Frame f{Bytes(static_cast<size_t>(w) * h * bpp), {}};
    for (int32_t i = 0; i < 256; ++i)
        f.palette[i] = QBGR{uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)};
    Clip clip;
    for (int32_t k = 0; k < n; ++k) {
        for (size_t i = 0; i < f.pixels.size(); ++i) {
            const int32_t x = static_cast<int32_t>(i / bpp) % w,
                          y = static_cast<int32_t>(i / bpp) / w;
            uint8_t& v = f.pixels[i];
            switch (y * 4 / h) {
                case 0:
                    v = static_cast<uint8_t>((x + 3 * k) * 5 + static_cast<int32_t>(i % bpp) * 40 + y);
                    break;
                case 1: v = static_cast<uint8_t>(17 * (k / 3) + i % bpp); break;
                case 2:
                    if (rng() % 4 == 0) v = static_cast<uint8_t>(rng());
                    break;
                default:
                    v = x < w / 3 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(x / 5);
                    break;
            }
        }
        if (k % 5 == 2)
            for (int32_t i = 5; i < 10; ++i) f.palette[i].green = static_cast<uint8_t>(k * 11 + i);
        if (k % 7 == 3)
            for (int32_t i = 200; i < 256; ++i) f.palette[i].red = static_cast<uint8_t>(k + i);
        if (k == 4)
            for (auto& e : f.palette) e.blue = static_cast<uint8_t>(e.blue ^ 0x55);
        clip.push_back(f);
    }
    return clip;
}

void WriteClip(const std::string& path, const Clip& clip, int32_t w, int32_t h, int32_t bpp,
               int32_t codec, int32_t key, const QWaveFmt* sound = nullptr) {
    QHavWriter wr;
    HAVCreate(wr, path, w, h, bpp, codec, key, 25.0, sound);
    Qimg img = NewImage(w, h, 8 * bpp);
    for (const Frame& f : clip) {
        std::memcpy(img.data, f.pixels.data(), f.pixels.size());
        std::copy(f.palette.begin(), f.palette.end(), img.palette);
        HAVAddFrame(wr, img);
    }
    HAVWriterClose(wr);
    ImgFree(img);
}

::testing::AssertionResult SameFrame(const Qimg& img, const Frame& f, int32_t bpp) {
    if (!ImgValid(img) || img.size != static_cast<int32_t>(f.pixels.size()))
        return ::testing::AssertionFailure() << "no picture of the right size";
    if (std::memcmp(img.data, f.pixels.data(), f.pixels.size()) != 0)
        return ::testing::AssertionFailure() << "pixels differ";
    if (bpp == 1 && std::memcmp(img.palette, f.palette.data(), sizeof img.palette) != 0)
        return ::testing::AssertionFailure() << "palette differs";
    return ::testing::AssertionSuccess();
}

// Runs `body` in an isolated frame; the error it left.
template <class Body>
std::pair<int32_t, int32_t> Try(Body body) {
    MonitoredIsolated(body);
    return {ErrLastGroup(), ErrLastCode()};
}

const std::pair<int32_t, int32_t> kOk{0, 0};

// A HAV file assembled field by field, for layouts the writer does not make.
struct Builder {
    struct Record {
        Bytes bytes;
        Bytes streamed;
        uint32_t flags = 0;
        int32_t chunks = 0;
    };
    int32_t width = 2, height = 4, bytesPP = 1, codec = HAV_CODEC_BEST, key = 1;
    int32_t soundFlags = 0, sampleCount = 0;
    std::vector<Record> frames;
    std::vector<Bytes> blocks;  // sound blocks, chained in this order

    static void U32(Bytes& b, uint32_t v) {
        for (int32_t i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    Record& NewFrame() {
        frames.emplace_back();
        frames.back().bytes.resize(HAV_FRAME_HEADER);
        return frames.back();
    }
    static void Palette(Record& r, uint32_t first, const Bytes& rgb) {
        if (r.chunks == 0) r.flags = HAV_FLAG_PALETTE;
        ++r.chunks;
        for (uint32_t v : {uint32_t(HAV_CHUNK_PALETTE), 16u, uint32_t(rgb.size() / 3), first})
            U32(r.bytes, v);
        r.bytes.insert(r.bytes.end(), rgb.begin(), rgb.end());
    }
    // Raw bands of one row each; bands from `stored` on follow the record.
    static void Image(Record& r, const std::vector<Bytes>& rows, int32_t stored) {
        ++r.chunks;
        for (uint32_t v : {uint32_t(HAV_CHUNK_IMAGE), 16u, uint32_t(rows.size()), uint32_t(stored)})
            U32(r.bytes, v);
        for (const Bytes& row : rows)
            for (uint32_t v : {0u, uint32_t(HAV_BAND_DESC), uint32_t(row.size()), 1u, 0u})
                U32(r.bytes, v);
        for (size_t k = 0; k < rows.size(); ++k)
            (static_cast<int32_t>(k) < stored ? r.bytes : r.streamed)
                .insert((static_cast<int32_t>(k) < stored ? r.bytes : r.streamed).end(),
                        rows[k].begin(), rows[k].end());
    }
    // Header, page table, index pages, frames, sound blocks: the last frame ends the file when
    // there is no sound.
    std::string Make() {
        const size_t pages = (frames.size() + 255) / 256;
        const size_t indexAt = HAV_HEADER_SIZE + 4 * HAV_PAGES;
        Bytes b(indexAt + pages * HAV_PAGE_ENTRIES * HAV_ENTRY_SIZE);
        Bytes index, table;
        for (Record& r : frames) {
            const uint32_t chunks = static_cast<uint32_t>(r.chunks);
            std::memcpy(&r.bytes[4], "\x10\0\0\0", 4);
            std::memcpy(&r.bytes[8], &chunks, 4);
            for (uint32_t v : {uint32_t(b.size()), uint32_t(r.bytes.size()), r.flags})
                U32(index, v);
            b.insert(b.end(), r.bytes.begin(), r.bytes.end());
            b.insert(b.end(), r.streamed.begin(), r.streamed.end());
        }
        index.resize(pages * HAV_PAGE_ENTRIES * HAV_ENTRY_SIZE);
        std::copy(index.begin(), index.end(), b.begin() + indexAt);
        for (size_t p = 0; p < pages; ++p)
            U32(table, static_cast<uint32_t>(indexAt + p * HAV_PAGE_ENTRIES * HAV_ENTRY_SIZE));
        const uint32_t first = blocks.empty() ? 0 : static_cast<uint32_t>(b.size());
        for (size_t i = 0; i < blocks.size(); ++i) {
            const uint32_t next = i + 1 < blocks.size()
                                      ? static_cast<uint32_t>(b.size() + 16 + blocks[i].size())
                                      : 0;
            for (uint32_t v : {0u, 0u, next, uint32_t(blocks[i].size())}) U32(b, v);
            b.insert(b.end(), blocks[i].begin(), blocks[i].end());
        }
        Bytes head;
        for (uint32_t v : {HAV_MAGIC, uint32_t(HAV_HEADER_SIZE), uint32_t(HAV_VERSION),
                           uint32_t(width), uint32_t(height), uint32_t(bytesPP), uint32_t(codec),
                           uint32_t(frames.size()), uint32_t(key)})
            U32(head, v);
        const double rate = 10;
        head.resize(head.size() + 8);
        std::memcpy(&head[36], &rate, 8);
        for (uint32_t v : {uint32_t(soundFlags), 8000u, first, 0u, uint32_t(sampleCount)})
            U32(head, v);
        std::copy(head.begin(), head.end(), b.begin());
        std::copy(table.begin(), table.end(), b.begin() + HAV_HEADER_SIZE);
        return std::string(b.begin(), b.end());
    }
};

struct HavMovie : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        img = NewImage(0, 0, 0);
    }
    void TearDown() override {
        HAVClose(h);
        ImgFree(img);
        SndFree(snd);
        RegisterBalanceTest::TearDown();
    }
    // Opens `path`; the error of the open.
    std::pair<int32_t, int32_t> Open(const std::string& path) {
        HAVClose(h);
        return Try([&] { HAVOpen(h, path); });
    }
    std::pair<int32_t, int32_t> Load(int32_t frame, int32_t mode) {
        return Try([&] { HAVImgLoad(h, img, frame, mode); });
    }
    Bytes Sound(int32_t start, bool cont, int32_t count) {
        HAVSndLoad(h, snd, start, cont, count);
        return Bytes(snd.data, snd.data + snd.samples * h.soundFormat.blockAlign);
    }
    TempDir dir;
    QHavHandle h;
    Qimg img;
    Qsnd snd{};
};

}  // namespace

TEST_F(HavMovie, RoundTripEveryCodecAndDepth) {
    const struct { int32_t w, h, frames, key; } shapes[] = {{37, 23, 14, 4}, {256, 300, 5, 0}};
    std::mt19937 rng(7);
    for (int32_t codec : {HAV_CODEC_BEST, HAV_CODEC_FAST, HAV_CODEC_BESTP})
        for (int32_t bpp = 1; bpp <= 3; ++bpp)
            for (const auto& s : shapes) {
                SCOPED_TRACE("codec " + std::to_string(codec) + ", " + std::to_string(bpp) +
                             " bytes, " + std::to_string(s.w) + " wide");
                const Clip clip = MakeClip(s.w, s.h, bpp, s.frames,
                                           static_cast<uint32_t>(codec * 3 + bpp));
                const std::string path = dir.file("clip.hav");
                WriteClip(path, clip, s.w, s.h, bpp, codec, s.key);
                ASSERT_EQ(Open(path), kOk);
                for (int32_t n = 1; n <= s.frames; ++n) {
                    ASSERT_EQ(Load(n, 1), kOk);
                    EXPECT_TRUE(SameFrame(img, clip[n - 1], bpp)) << "frame " << n << " in sequence";
                }
                // Random access in any order gives what sequential decoding gave.
                std::vector<int32_t> order(s.frames);
                for (int32_t n = 0; n < s.frames; ++n) order[n] = n + 1;
                std::shuffle(order.begin(), order.end(), rng);
                for (int32_t n : order) {
                    ASSERT_EQ(Load(n, 0), kOk);
                    EXPECT_TRUE(SameFrame(img, clip[n - 1], bpp)) << "frame " << n << " at random";
                }
            }
}

TEST_F(HavMovie, NearestKeyFrame) {
    h.frames = 100;
    const struct {
        int32_t interval, frame, direction, current, expected;
    } cases[] = {
        {10, 25, -1, 0, 21}, {10, 25, 0, 0, 31},  {10, 95, 0, 0, 91}, {10, 95, 1, 95, 1},
        {10, 95, 1, 0, 91},  {10, 21, -1, 0, 11}, {10, 21, 0, 0, 21}, {10, 1, -1, 0, 1},
        {0, 50, 0, 0, 1},    {0, 50, -1, 0, 1},   {1, 50, 0, 0, 50},  {1, 50, -1, 0, 49},
    };
    for (const auto& c : cases) {
        h.keyInterval = c.interval;
        h.curFrame = c.current;
        EXPECT_EQ(HAVNearestKeyFrame(h, c.frame, c.direction), c.expected)
            << c.interval << " " << c.frame << " " << c.direction << " " << c.current;
    }
    std::memset(static_cast<void*>(&h), 0, sizeof h);
}

TEST_F(HavMovie, IndexPagesAndFrameNumbers) {
    const Clip clip = MakeClip(4, 4, 1, 520, 3);
    WriteClip(dir.file("long.hav"), clip, 4, 4, 1, HAV_CODEC_FAST, 100);
    ASSERT_EQ(Open(dir.file("long.hav")), kOk);
    ASSERT_EQ(Load(513, 0), kOk);  // frame 513 lies in page 2, entry 0
    EXPECT_EQ(h.pageNo, 2);
    EXPECT_TRUE(SameFrame(img, clip[512], 1));
    ASSERT_EQ(Load(0, 1), kOk);  // the next frame
    EXPECT_EQ(h.curFrame, 514);
    EXPECT_TRUE(SameFrame(img, clip[513], 1));
    ASSERT_EQ(Load(100, 0), kOk);
    EXPECT_EQ(h.pageNo, 0);
    EXPECT_TRUE(SameFrame(img, clip[99], 1));
    EXPECT_EQ(Load(521, 0), std::make_pair(ERR_MVI, 1));
    EXPECT_EQ(Load(-1, 0), std::make_pair(ERR_MVI, 1));
    ASSERT_EQ(Load(520, 1), kOk);
    EXPECT_EQ(Load(0, 1), std::make_pair(ERR_HAV, 1));  // no frame after the last
}

TEST_F(HavMovie, ContinuousPlaybackDecodesForward) {
    const Clip clip = MakeClip(16, 8, 3, 30, 5);
    WriteClip(dir.file("c.hav"), clip, 16, 8, 3, HAV_CODEC_BEST, 10);
    ASSERT_EQ(Open(dir.file("c.hav")), kOk);
    ASSERT_EQ(Load(25, 1), kOk);
    // A byte the frames after 25 leave alone shows which way the reader went.
    const int32_t mark = 2 * 16 * 3 + 4;  // in the flat rows, which change every third frame only
    ASSERT_EQ(clip[24].pixels[mark], clip[26].pixels[mark]);
    img.data[mark] ^= 0xFF;
    ASSERT_EQ(Load(26, 1), kOk);  // forward from 25: the mark stays
    EXPECT_NE(img.data[mark], clip[25].pixels[mark]);
    ASSERT_EQ(Load(26, 1), kOk);  // the current frame again: nothing happens
    EXPECT_NE(img.data[mark], clip[25].pixels[mark]);
    ASSERT_EQ(Load(24, 1), kOk);  // behind: from key frame 21, every byte rewritten
    EXPECT_TRUE(SameFrame(img, clip[23], 3));
    // An image that does not hold this movie's picture never takes a next frame on top.
    ImgFree(img);
    ASSERT_EQ(Load(25, 1), kOk);
    EXPECT_TRUE(SameFrame(img, clip[24], 3));
}

TEST_F(HavMovie, PaletteInForceAtAnyFrame) {
    // Full palette in frame 1; partial chunks in frames 3, 5, 12 and 27; key frames 11 and 21
    // without palette; a full palette again in key frame 31.
    Clip clip;
    Frame f{Bytes(8 * 4), {}};
    for (int32_t k = 1; k <= 40; ++k) {
        for (size_t i = 0; i < f.pixels.size(); ++i) f.pixels[i] = static_cast<uint8_t>(i * k);
        if (k == 1 || k == 31)
            for (int32_t i = 0; i < 256; ++i)
                f.palette[i] = QBGR{uint8_t(i), uint8_t(k), uint8_t(255 - i)};
        for (int32_t changed : {3, 5, 12, 27})
            if (k == changed)
                for (int32_t i = k; i < k + 4; ++i)
                    f.palette[i] = QBGR{uint8_t(k), uint8_t(i), uint8_t(k * i)};
        clip.push_back(f);
    }
    WriteClip(dir.file("p.hav"), clip, 8, 4, 1, HAV_CODEC_BEST, 10);
    ASSERT_EQ(Open(dir.file("p.hav")), kOk);
    for (int32_t n : {29, 15, 40, 4, 12, 30, 31, 2, 22}) {
        ASSERT_EQ(Load(n, 0), kOk);
        EXPECT_TRUE(SameFrame(img, clip[n - 1], 1)) << "frame " << n;
        EXPECT_TRUE(h.newPalette) << "frame " << n;
    }
    // A continuous load that goes back to a key frame restores the palette too.
    ASSERT_EQ(Load(29, 1), kOk);
    ASSERT_EQ(Load(13, 1), kOk);
    EXPECT_TRUE(SameFrame(img, clip[12], 1));
    EXPECT_TRUE(h.newPalette);
    ASSERT_EQ(Load(14, 1), kOk);
    EXPECT_FALSE(h.newPalette);
}

TEST_F(HavMovie, SecondPaletteChunksAndStreamedBands) {
    Builder b;
    b.key = 2;
    Bytes full(3 * 256);
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i);
    Builder::Palette(b.NewFrame(), 0, full);
    Builder::Image(b.frames[0], {{1, 2}, {3, 4}, {5, 6}, {7, 8}}, 4);
    // Frame 2: two palette chunks (the second overrides entry 1); bands 2 to 4 follow the record.
    Builder::Palette(b.NewFrame(), 0, {10, 11, 12, 13, 14, 15});
    Builder::Palette(b.frames[1], 1, {20, 21, 22});
    Builder::Image(b.frames[1], {{9, 9}, {8, 8}, {7, 7}, {6, 6}}, 1);
    // Frames 3 (key) and 4: every band streamed, in two portions (each below the 8 image bytes).
    Builder::Image(b.NewFrame(), {{1, 1}, {2, 2}, {3, 3}, {4, 4}}, 0);
    Builder::Image(b.NewFrame(), {{5, 5}, {6, 6}, {7, 7}, {8, 8}}, 0);
    const std::string path = dir.file("b.hav");
    WriteFileBytes(path, b.Make());
    ASSERT_EQ(Open(path), kOk);
    ASSERT_EQ(Load(4, 0), kOk);
    EXPECT_EQ(Bytes(img.data, img.data + 8), Bytes({5, 5, 6, 6, 7, 7, 8, 8}));
    EXPECT_EQ(img.palette[0].red, 10);
    EXPECT_EQ(img.palette[0].blue, 12);
    EXPECT_EQ(img.palette[1].red, 20);
    EXPECT_EQ(img.palette[2].red, 6);
    ASSERT_EQ(Load(2, 0), kOk);
    EXPECT_EQ(Bytes(img.data, img.data + 8), Bytes({9, 9, 8, 8, 7, 7, 6, 6}));
    // Streamed bands past the end of the file.
    const std::string bytes = b.Make();
    WriteFileBytes(path, bytes.substr(0, bytes.size() - 1));
    ASSERT_EQ(Open(path), kOk);
    const test::RegisterBalance before;
    EXPECT_EQ(Load(4, 0), std::make_pair(ERR_MVI, 3));
    before.Expect();
}

TEST_F(HavMovie, SoundChain) {
    QWaveFmt fmt{WAVE_FORMAT_PCM, 2, 8000, 0, 0, 16, 0};
    Bytes pcm(9000 * 4);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7 + i / 4);
    {
        QHavWriter w;
        HAVCreate(w, dir.file("s.hav"), 4, 4, 3, HAV_CODEC_FAST, 2, 10, &fmt);
        Qimg frame = NewImage(4, 4, 24);
        int32_t at = 0;
        for (int32_t chunk : {1234, 777, 4000, 2989}) {
            HAVAddFrame(w, frame);
            HAVAddSound(w, &pcm[static_cast<size_t>(at) * 4], chunk);
            at += chunk;
        }
        HAVWriterClose(w);
        ImgFree(frame);
    }
    QffInfo info;
    FFClearInfo(info);
    HAVInfo(dir.file("s.hav"), info);
    EXPECT_EQ(info.soundSamples, 9000);
    EXPECT_EQ(info.playFormat.blockAlign, 4);
    EXPECT_EQ(info.soundCompression, "PCM, uncompressed");
    EXPECT_EQ(info.videoCompression, "HAV FAST codec");
    EXPECT_EQ(info.frames, 4);
    ASSERT_EQ(Open(dir.file("s.hav")), kOk);
    Bytes all;
    for (int32_t start = 0; start < 9000; start += 1500) {
        const Bytes part = Sound(start, true, 1500);
        all.insert(all.end(), part.begin(), part.end());
    }
    EXPECT_EQ(all, pcm);
    const auto slice = [&](int32_t from, int32_t n) {
        return Bytes(pcm.begin() + from * 4, pcm.begin() + (from + n) * 4);
    };
    EXPECT_EQ(Sound(4321, false, 100), slice(4321, 100));
    EXPECT_EQ(Sound(2000, false, 5), slice(2000, 5));  // a block boundary
    EXPECT_EQ(Sound(8990, false, 100), slice(8990, 10));
    EXPECT_TRUE(Sound(9000, false, 10).empty());  // the total sample count: accepted, nothing left
    EXPECT_TRUE(Sound(9001, false, 10).empty());
    EXPECT_EQ(Sound(0, false, 3), slice(0, 3));
}

TEST_F(HavMovie, SoundChainOfOneBlockAndDamagedChains) {
    Builder b;
    b.soundFlags = 1;  // 8-bit mono
    b.sampleCount = 10;
    Builder::Image(b.NewFrame(), {{1, 2}, {3, 4}, {5, 6}, {7, 8}}, 4);
    b.blocks = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}};
    WriteFileBytes(dir.file("one.hav"), b.Make());
    ASSERT_EQ(Open(dir.file("one.hav")), kOk);
    EXPECT_EQ(Sound(0, false, 10),
              Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));  // the last block is loaded too
    EXPECT_EQ(Sound(4, false, 3), Bytes({4, 5, 6}));
    // A chain that points back at itself is refused once it has met more blocks than the file
    // has room for, rather than walked for ever: round and round to a track end the header puts
    // far away, and round an empty block, which no count of samples would ever end.
    b.sampleCount = 4000;
    b.blocks = {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}};
    std::string bytes = b.Make();
    ASSERT_LE(4000u, bytes.size());  // within what the file could hold: the open accepts it
    const size_t second = bytes.size() - 5 - 16;
    std::memcpy(&bytes[second + 8], &bytes[52], 4);  // its next block is the first one
    WriteFileBytes(dir.file("loop.hav"), bytes);
    ASSERT_EQ(Open(dir.file("loop.hav")), kOk);
    EXPECT_EQ(Try([&] { Sound(0, true, 4000); }), std::make_pair(ERR_MVI, 1));
    b.sampleCount = 1;
    b.blocks = {{}};
    bytes = b.Make();
    std::memcpy(&bytes[bytes.size() - 16 + 8], &bytes[52], 4);  // the empty block names itself
    WriteFileBytes(dir.file("loop.hav"), bytes);
    ASSERT_EQ(Open(dir.file("loop.hav")), kOk);
    EXPECT_EQ(Try([&] { Sound(0, true, 1); }), std::make_pair(ERR_MVI, 1));
    EXPECT_EQ(Try([&] { HAVSndSeek(h, 1); }), std::make_pair(ERR_MVI, 1));
}

// Another writer may put the sound blocks anywhere: here the writer's chain is copied to the end
// of the file in reverse order, so that every block names one that lies before it.
TEST_F(HavMovie, SoundChainInAnyOrder) {
    const QWaveFmt fmt{WAVE_FORMAT_PCM, 1, 8000, 0, 0, 16, 0};
    Bytes pcm(2 * 5000);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 13 + i / 7);
    {
        QHavWriter w;
        HAVCreate(w, dir.file("in-order.hav"), 4, 4, 1, HAV_CODEC_BEST, 1, 10, &fmt);
        Qimg frame = NewImage(4, 4, 8);
        for (int32_t n = 0; n < 5; ++n) {
            HAVAddFrame(w, frame);
            HAVAddSound(w, &pcm[static_cast<size_t>(n) * 2000], 1000);
        }
        HAVWriterClose(w);
        ImgFree(frame);
    }
    std::string bytes = ReadFileBytes(dir.file("in-order.hav"));
    const auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, &bytes[at], 4);
        return v;
    };
    std::vector<std::string> blocks;  // header and samples, in chain order
    for (uint32_t at = u32(52); at != 0; at = u32(at + 8))
        blocks.push_back(bytes.substr(at, 16 + 2 * size_t{u32(at + 12)}));
    ASSERT_GE(blocks.size(), 3u);
    std::vector<uint32_t> where(blocks.size());
    for (size_t i = blocks.size(); i-- > 0;) {
        where[i] = static_cast<uint32_t>(bytes.size());
        bytes += blocks[i];
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        const uint32_t next = i + 1 < blocks.size() ? where[i + 1] : 0;
        std::memcpy(&bytes[where[i] + 8], &next, 4);
    }
    std::memcpy(&bytes[52], &where[0], 4);
    WriteFileBytes(dir.file("reversed.hav"), bytes);

    ASSERT_EQ(Open(dir.file("reversed.hav")), kOk);
    EXPECT_EQ(Sound(0, true, 5000), pcm);
    EXPECT_EQ(Sound(0, false, 2500), Bytes(pcm.begin(), pcm.begin() + 5000));
    EXPECT_EQ(Sound(2500, true, 2500), Bytes(pcm.begin() + 5000, pcm.end()));
    EXPECT_EQ(Sound(3999, false, 2), Bytes(pcm.begin() + 7998, pcm.begin() + 8002));
    ASSERT_EQ(Load(5, 0), kOk);  // the frames are where they were
}

TEST_F(HavMovie, FixturesMadeWithAnIndependentTool) {
    const std::string data = std::string(KV_TEST_DATA) + "/formats/hav/";
    const std::string bgr = ReadFileBytes(data + "clip-32x24.bgr");
    const std::string r565 = ReadFileBytes(data + "clip-32x24.rgb565");
    const std::string pal8 = ReadFileBytes(data + "clip-32x24.pal8");
    const std::string tone = ReadFileBytes(data + "tone-8k.u8");
    ASSERT_EQ(bgr.size(), 6u * 32 * 24 * 3);
    ASSERT_EQ(pal8.size(), 6u * (32 * 24 + 1024));
    auto expected = [&](int32_t bpp, int32_t n) {
        Frame f{};
        if (bpp == 3) f.pixels.assign(bgr.begin() + n * 2304, bgr.begin() + (n + 1) * 2304);
        if (bpp == 2) f.pixels.assign(r565.begin() + n * 1536, r565.begin() + (n + 1) * 1536);
        if (bpp == 1) {
            const size_t at = static_cast<size_t>(n) * (768 + 1024);
            f.pixels.assign(pal8.begin() + at, pal8.begin() + at + 768);
            for (int32_t i = 0; i < 256; ++i)
                f.palette[i] = QBGR{uint8_t(pal8[at + 768 + 4 * i]), uint8_t(pal8[at + 769 + 4 * i]),
                                    uint8_t(pal8[at + 770 + 4 * i])};
        }
        return f;
    };
    const std::pair<const char*, int32_t> movies[] = {
        {"clip-best8.hav", 1}, {"clip-fast16.hav", 2}, {"clip-bestp24.hav", 3}};
    for (const auto& [name, bpp] : movies) {
        ASSERT_EQ(Open(data + name), kOk) << name;
        for (int32_t n : {1, 2, 3, 4, 5, 6, 3, 6, 1}) {
            ASSERT_EQ(Load(n, 0), kOk) << name;
            EXPECT_TRUE(SameFrame(img, expected(bpp, n - 1), bpp)) << name << " frame " << n;
        }
    }
    EXPECT_EQ(Sound(0, false, 2400), Bytes(tone.begin(), tone.end()));
    // The writer codes the same frames so that they decode back unchanged, with every codec.
    Clip clip;
    for (int32_t n = 0; n < 6; ++n) clip.push_back(expected(3, n));
    for (int32_t codec : {HAV_CODEC_BEST, HAV_CODEC_FAST, HAV_CODEC_BESTP}) {
        WriteClip(dir.file("again.hav"), clip, 32, 24, 3, codec, 3);
        ASSERT_EQ(Open(dir.file("again.hav")), kOk);
        for (int32_t n : {6, 1, 2, 5}) {
            ASSERT_EQ(Load(n, 0), kOk);
            EXPECT_TRUE(SameFrame(img, clip[n - 1], 3)) << "codec " << codec << " frame " << n;
        }
    }
}

TEST_F(HavMovie, DamagedFilesFailCleanly) {
    const Clip clip = MakeClip(8, 6, 3, 5, 9);
    const QWaveFmt fmt{WAVE_FORMAT_PCM, 1, 8000, 0, 0, 8, 0};
    {
        QHavWriter w;
        HAVCreate(w, dir.file("good.hav"), 8, 6, 3, HAV_CODEC_BESTP, 2, 10, &fmt);
        Qimg frame = NewImage(8, 6, 24);
        Bytes pcm(900, 0x80);
        for (const Frame& f : clip) {
            std::memcpy(frame.data, f.pixels.data(), f.pixels.size());
            HAVAddFrame(w, frame);
            HAVAddSound(w, pcm.data(), 900);
        }
        HAVWriterClose(w);
        ImgFree(frame);
    }
    const std::string good = ReadFileBytes(dir.file("good.hav"));
    int32_t page0, record1;
    std::memcpy(&page0, &good[64], 4);
    std::memcpy(&record1, &good[page0], 4);
    const int32_t entry1 = page0 + 12;
    const size_t image1 = record1 + HAV_FRAME_HEADER;  // 3 bytes per pixel: no palette chunk
    const auto patch = [&](size_t at, uint32_t v) {
        std::string s = good;
        std::memcpy(&s[at], &v, 4);
        return s;
    };
    const struct {
        const char* name;
        std::string bytes;
        std::pair<int32_t, int32_t> open, load;
    } cases[] = {
        {"wrong magic", patch(0, 0x1A564149), {ERR_MVI, 1}, kOk},
        {"other version", patch(8, 96), {ERR_MVI, 5}, kOk},
        {"ten bytes", good.substr(0, 10), {ERR_MVI, 1}, kOk},
        {"truncated", good.substr(0, good.size() / 2), {ERR_MVI, 1}, kOk},
        {"header size 8", patch(4, 8), {ERR_MVI, 1}, kOk},
        {"width 0", patch(12, 0), {ERR_MVI, 1}, kOk},
        {"4 bytes per pixel", patch(20, 4), {ERR_MVI, 1}, kOk},
        {"too many frames", patch(28, 65537), {ERR_MVI, 1}, kOk},
        {"frame rate not a number", patch(40, 0xFFF80000), {ERR_MVI, 1}, kOk},
        {"page past the end", patch(64, static_cast<uint32_t>(good.size())), {ERR_MVI, 1}, kOk},
        {"first sound block past the end",
         patch(52, static_cast<uint32_t>(good.size())),
         {ERR_MVI, 1},
         kOk},
        {"more samples than the file holds", patch(60, 1u << 30), {ERR_MVI, 1}, kOk},
        {"record past the end", patch(entry1, static_cast<uint32_t>(good.size())), kOk, {ERR_MVI, 3}},
        {"record larger than the read buffer",
         patch(entry1 + 4, 8 * 6 * 3 + 8192 + 1),
         kOk,
         {ERR_MVI, 3}},
        {"record of 4 bytes", patch(entry1 + 4, 4), kOk, {ERR_MVI, 3}},
        {"129 bands", patch(image1 + 8, 129), kOk, {ERR_MVI, 3}},
        {"band rows past the image", patch(image1 + HAV_CHUNK_HEADER + 12, 1000), kOk, {ERR_MVI, 3}},
        {"band data past the record", patch(image1 + HAV_CHUNK_HEADER + 8, 100000), kOk, {ERR_MVI, 3}},
    };
    for (const auto& c : cases) {
        WriteFileBytes(dir.file("bad.hav"), c.bytes);
        EXPECT_EQ(Open(dir.file("bad.hav")), c.open) << c.name;
        if (c.open == kOk) {
            EXPECT_EQ(Load(2, 0), c.load) << c.name;
        }
        HAVClose(h);
        ExpectBalanced(c.name);
    }
    // Every byte of the file damaged in turn: each step fails with a documented error or gives
    // some picture and sound, and leaves nothing behind.
    const std::pair<int32_t, int32_t> allowed[] = {
        kOk, {ERR_MVI, 1}, {ERR_MVI, 3}, {ERR_MVI, 5}, {ERR_HAV, 1}};
    WriteFileBytes(dir.file("bad.hav"), good);
    const int fd = ::open(dir.file("bad.hav").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (size_t at = 0; at < good.size(); ++at) {
        const char flipped = static_cast<char>(good[at] ^ (at % 2 ? 0x80 : 0x5A));
        ASSERT_EQ(::pwrite(fd, &flipped, 1, static_cast<off_t>(at)), 1);
        std::vector<std::pair<int32_t, int32_t>> errors{Open(dir.file("bad.hav"))};
        if (errors[0] == kOk) {
            for (int32_t n : {1, 2, 3, 4, 5, 3}) errors.push_back(Load(n, n == 3 ? 0 : 1));
            errors.push_back(Try([&] { Sound(0, true, 5000); }));
            errors.push_back(Try([&] { Sound(1000, false, 100); }));
        }
        for (const auto& e : errors)
            ASSERT_NE(std::find(std::begin(allowed), std::end(allowed), e), std::end(allowed))
                << "byte " << at << ": " << e.first << "," << e.second;
        HAVClose(h);
        ImgFree(img);
        SndFree(snd);
        ASSERT_EQ(MemCount(), blocks) << "byte " << at;
        ASSERT_EQ(FileCount(), files) << "byte " << at;
        ASSERT_EQ(::pwrite(fd, &good[at], 1, static_cast<off_t>(at)), 1);
    }
    ::close(fd);
}

// A header is checked whole whatever its frame count: a movie of sound alone with a picture
// field out of range is as damaged as one with frames.
TEST_F(HavMovie, HeaderOfAMovieWithoutFrames) {
    // Kept from a fuzzing run: no frames and 2^30 bytes per pixel, which once overflowed the
    // depth computed from it.
    const std::string kept = std::string(KV_TEST_DATA) + "/formats/hav/fuzz-zero-frames-bpp.hav";
    EXPECT_EQ(Open(kept), std::make_pair(ERR_MVI, 1));
    QffInfo info;
    FFClearInfo(info);
    EXPECT_EQ(Try([&] { HAVInfo(kept, info); }), std::make_pair(ERR_MVI, 1));

    const QWaveFmt fmt{WAVE_FORMAT_PCM, 1, 8000, 0, 0, 8, 0};
    QHavWriter w;
    HAVCreate(w, dir.file("silent.hav"), 4, 4, 1, HAV_CODEC_BEST, 1, 0, &fmt);
    const uint8_t pcm[3] = {1, 2, 3};
    HAVAddSound(w, pcm, 3);
    HAVWriterClose(w);
    const std::string good = ReadFileBytes(dir.file("silent.hav"));
    const auto patched = [&](std::initializer_list<std::pair<size_t, uint32_t>> fields) {
        std::string s = good;
        for (const auto& [at, v] : fields) std::memcpy(&s[at], &v, 4);
        WriteFileBytes(dir.file("bad.hav"), s);
        return dir.file("bad.hav");
    };
    EXPECT_EQ(Open(patched({{20, 4}})), std::make_pair(ERR_MVI, 1));
    EXPECT_EQ(Open(patched({{20, 0x80000000u}})), std::make_pair(ERR_MVI, 1));
    EXPECT_EQ(Open(patched({{12, 0}})), std::make_pair(ERR_MVI, 1));
    // The picture limit holds here as in every reader: 2^28 pixels and no more.
    EXPECT_EQ(Open(patched({{12, 16384}, {16, 16384}})), kOk);
    EXPECT_EQ(Open(patched({{12, 16385}, {16, 16384}})), std::make_pair(ERR_MVI, 1));
}

TEST_F(HavMovie, MovieWithoutFrames) {
    const QWaveFmt fmt{WAVE_FORMAT_PCM, 1, 8000, 0, 0, 8, 0};
    QHavWriter w;
    HAVCreate(w, dir.file("silent.hav"), 4, 4, 1, HAV_CODEC_BEST, 1, 0, &fmt);
    const uint8_t pcm[3] = {1, 2, 3};
    HAVAddSound(w, pcm, 3);
    HAVWriterClose(w);
    QffInfo info;
    FFClearInfo(info);
    HAVInfo(dir.file("silent.hav"), info);
    EXPECT_EQ(info.hasVideo, 0);
    EXPECT_EQ(info.hasSound, -1);
    ASSERT_EQ(Open(dir.file("silent.hav")), kOk);
    EXPECT_EQ(Load(0, 1), std::make_pair(ERR_HAV, 1));
    EXPECT_EQ(Sound(0, true, 10), Bytes({1, 2, 3}));
}
