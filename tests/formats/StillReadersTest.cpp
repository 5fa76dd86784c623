#include "formats/ConFormStill.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

using Bytes = std::vector<uint8_t>;
using Err = std::pair<int32_t, int32_t>;
constexpr Err OK{0, 0};

void Put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(Bytes& b, uint32_t v) { Put16(b, v & 0xFFFF), Put16(b, v >> 16); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A BMP with an information header of `headerSize` bytes (zero past its first 20), then `extra`
// (masks, colour table) and the pixel data.
Bytes Bmp(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const Bytes& extra,
          const Bytes& pixels, uint32_t headerSize = 40) {
    Bytes b{'B', 'M'};
    const auto data = static_cast<uint32_t>(14 + headerSize + extra.size());
    for (uint32_t v :
         {data + uint32_t(pixels.size()), 0u, data, headerSize, uint32_t(w), uint32_t(h)})
        Put32(b, v);
    Put16(b, 1), Put16(b, bits), Put32(b, compression);
    b.resize(14 + headerSize, 0);
    return b + extra + pixels;
}

Bytes Tga(uint8_t type, uint16_t w, uint16_t h, uint8_t depth, uint8_t descriptor,
          const Bytes& pixels, const Bytes& id = {}, uint16_t mapFirst = 0, uint8_t mapBits = 0,
          const Bytes& map = {}) {
    Bytes b{uint8_t(id.size()), uint8_t(mapBits ? 1 : 0), type};
    Put16(b, mapFirst), Put16(b, mapBits ? uint16_t(map.size() / ((mapBits + 7) / 8)) : 0);
    b.push_back(mapBits);
    Put32(b, 0), Put16(b, w), Put16(b, h);
    b.insert(b.end(), {depth, descriptor});
    return b + id + map + pixels;
}

// A PCX of 8 bits per plane; one plane gets the marker and a palette of entries (i, 255 - i, 7).
Bytes Pcx(uint16_t w, uint16_t h, uint8_t planes, uint16_t lineBytes, const Bytes& data) {
    Bytes b{10, 5, 1, 8};
    for (uint16_t v : {0, 0, w - 1, h - 1}) Put16(b, v);
    b.resize(65, 0);
    b.push_back(planes);
    Put16(b, lineBytes);
    b.resize(128, 0);
    b = b + data;
    if (planes == 1) {
        b.push_back(12);
        for (int i = 0; i < 256; ++i) b.insert(b.end(), {uint8_t(i), uint8_t(255 - i), 7});
    }
    return b;
}

// The picture as red, green, blue bytes, 5 and 6-bit fields widened by repeating their top bits
// (as the reference decoders do); `keep` cuts each channel to its top bits.
Bytes Rgb(const Qimg& img, std::array<int, 3> keep) {
    Bytes out;
    for (int32_t i = 0; i < img.width * img.height; ++i) {
        const uint8_t* p = img.data + i * img.bytesPP;
        const uint32_t v = p[0] | (p[img.bytesPP > 1] << 8);
        const QBGR& e = img.palette[p[0]];
        uint32_t c[3] = {p[2], p[1], p[0]};
        if (img.bitsPP == 8) c[0] = e.red, c[1] = e.green, c[2] = e.blue;
        const int g = img.bitsPP == 16 ? 6 : 5;  // green bits of a 15 or 16-bit word
        if (img.bitsPP == 15 || img.bitsPP == 16) {
            const uint32_t r = (v >> (5 + g)) & 31, gr = (v >> 5) & ((1 << g) - 1), b = v & 31;
            c[0] = (r << 3) | (r >> 2), c[2] = (b << 3) | (b >> 2);
            c[1] = (gr << (8 - g)) | (gr >> (2 * g - 8));
        }
        for (int k = 0; k < 3; ++k) out.push_back(uint8_t(c[k] >> (8 - keep[k])));
    }
    return out;
}

using test::Fnv1a;

struct StillReadersTest : test::RegisterBalanceTest {
    void SetUp() override {
        std::memset(static_cast<void*>(&img), 0, sizeof img);
        RegisterBalanceTest::SetUp();
    }
    void TearDown() override {
        ImgFree(img);
        RegisterBalanceTest::TearDown();
    }
    // A failed load leaves the register as it was; a block it allocated went with its frame.
    Err LoadFile(const std::string& path, int32_t type) {
        const int32_t blocks = MemCount();
        try {
            ImgLoad(path, img, type);
            return OK;
        } catch (const EMon&) {
            if (!MemIsTracked(img.data)) std::memset(static_cast<void*>(&img), 0, sizeof img);
            EXPECT_EQ(MemCount(), blocks) << path;
            EXPECT_EQ(FileCount(), files) << path;
            return {ErrLastGroup(), ErrLastCode()};
        }
    }
    Err Load(const Bytes& bytes, int32_t type) {
        test::WriteFileBytes(dir.file("f"), std::string(bytes.begin(), bytes.end()));
        return LoadFile(dir.file("f"), type);
    }
    QffInfo Info(const Bytes& bytes, int32_t type) {
        test::WriteFileBytes(dir.file("f"), std::string(bytes.begin(), bytes.end()));
        QffInfo info;
        FFInfo(dir.file("f"), type, info);
        return info;
    }
    Bytes Row(int32_t y) const {
        const uint8_t* p = img.data + int64_t{y} * img.width * img.bytesPP;
        return Bytes(p, p + img.width * img.bytesPP);
    }

    // Files of one picture, with the hash of its pixels from an independent decoder.
    struct Expect {
        std::vector<std::string> files;
        int32_t width, height, bits;
        uint64_t rgbHash;
        std::array<int, 3> keep = {8, 8, 8};  // low-precision bit fields: compare the decoded bits
    };
    void CheckPixels(const std::string& base, const std::vector<Expect>& table) {
        for (const Expect& e : table) {
            for (const std::string& file : e.files) {
                SCOPED_TRACE(file);
                ASSERT_EQ(LoadFile(base + file, BAD_HANDLE), OK);
                EXPECT_EQ(img.width, e.width);
                EXPECT_EQ(img.height, e.height);
                EXPECT_EQ(img.bitsPP, e.bits);
                EXPECT_EQ(img.size, e.width * e.height * img.bytesPP);
                EXPECT_EQ(Fnv1a(Rgb(img, e.keep)), e.rgbHash);
            }
        }
    }

    test::TempDir dir;
    Qimg img;
};

}  // namespace

// --- Pixel-exact decoding ---------------------------------------------------------------------
// Expected pixels come from ImageMagick, except: the TGA fixtures from ffmpeg (ImageMagick 6.9
// reads bottom-up TGA rows upside down), the TGA samples from their PNG renderings, and q/ files
// ImageMagick cannot read from the g/ file of the same picture.

TEST_F(StillReadersTest, FixturesMatchIndependentDecoders) {
    CheckPixels(KV_TEST_DATA "/formats/",
                {
                    {{"bmp/pal4.bmp"}, 37, 21, 8, 0xa6f8810dfde06227ull},
                    {{"bmp/rle8.bmp"}, 37, 21, 8, 0xfdc077e367a369c2ull},
                    {{"bmp/rgb565.bmp"}, 37, 21, 16, 0xdf311e6e6c9bffddull},
                    {{"pcx/pal8.pcx"}, 37, 21, 8, 0x16d9910514de34bcull},    // odd bytes per line
                    {{"pcx/rgb24.pcx"}, 37, 21, 24, 0x7146515c6efeaa6cull},  // planes padded to 38
                    {{"tga/map8.tga"}, 37, 21, 8, 0x893db07d34d5fa64ull},
                    {{"tga/rgb555.tga"}, 37, 21, 15, 0x81135885fe1efc8full},
                    {{"tga/rle24.tga"}, 37, 21, 24, 0x3306b0504c2b9403ull},
                });
}

TEST_F(StillReadersTest, SamplesMatchIndependentDecoders) {
    const std::string base = KV_SHARED_DIR "/corpus-samples/";
    if (!std::filesystem::is_directory(base)) GTEST_SKIP() << "no shared samples";
    const auto tga = [](const std::string& mode) {  // bottom-up and top-down, raw and run-length
        std::vector<std::string> files;
        for (const char* variant : {"bl_raw", "bl_rle", "tl_raw", "tl_rle"})
            files.push_back("tga-gimp/200x32_" + mode + "_" + variant + ".tga");
        return files;
    };
    CheckPixels(
        base + "bmpsuite/",
        {
            {{"g/pal1.bmp", "g/pal1wb.bmp"}, 127, 64, 8, 0x93cb10c47d28db4dull},
            {{"g/pal1bg.bmp"}, 127, 64, 8, 0xb7b540345a58dd65ull},
            {{"g/pal4.bmp", "g/pal4rle.bmp"}, 127, 64, 8, 0x7442826ad2154b09ull},
            {{"g/pal8.bmp", "g/pal8-0.bmp", "g/pal8os2.bmp", "g/pal8rle.bmp", "g/pal8topdown.bmp",
              "g/pal8v4.bmp", "g/pal8v5.bmp", "q/pal8offs.bmp", "q/pal8os2sp.bmp",
              "q/pal8os2v2-16.bmp", "q/pal8os2v2.bmp", "q/pal8oversizepal.bmp"},
             127,
             64,
             8,
             0x4598e7515a0f7954ull},
            {{"g/pal8nonsquare.bmp"}, 127, 32, 8, 0xb937ea06db3c196cull},
            {{"g/pal8w124.bmp"}, 124, 61, 8, 0xb48c84d29e14ad3dull},
            {{"g/pal8w125.bmp"}, 125, 62, 8, 0xdc7be9a5fc79ab93ull},
            {{"g/pal8w126.bmp"}, 126, 63, 8, 0x06c840bab970062dull},
            {{"g/rgb16-565.bmp", "g/rgb16-565pal.bmp"}, 127, 64, 16, 0x51d0a8852d09c342ull},
            {{"g/rgb16.bmp"}, 127, 64, 15, 0x77b89128c335923cull},
            {{"g/rgb24.bmp", "g/rgb24pal.bmp", "q/rgb24largepal.bmp", "q/rgb24lprof.bmp",
              "q/rgb24prof.bmp"},
             127,
             64,
             24,
             0x7cd8f819ae69b2afull},
            {{"g/rgb32.bmp", "q/rgb32fakealpha.bmp"}, 127, 64, 32, 0x7cd8f819ae69b2afull},
            {{"g/rgb32bf.bmp", "q/rgb32bf-xbgr.bmp", "q/rgb32h52.bmp"}, 127, 64, 24, 0x7cd8f819ae69b2afull},
            {{"q/pal1p1.bmp"}, 127, 64, 8, 0xeae45a26ec6206e5ull},
            {{"q/pal4rletrns.bmp"}, 127, 64, 8, 0x7cde5f81f2661d29ull},
            {{"q/pal8rletrns.bmp"}, 127, 64, 8, 0xd03d8e3b58c52840ull},
            {{"q/rgb16-231.bmp"}, 127, 64, 24, 0x214755265dfab2c8ull, {2, 3, 1}},
            {{"q/rgba16-4444.bmp"}, 127, 64, 24, 0xdaa3e093adc42f11ull, {4, 4, 4}},
            {{"q/rgba32.bmp", "q/rgba32abf.bmp", "q/rgba32h56.bmp"}, 127, 64, 24, 0x6b079fe1d6ffeee9ull},
        });
    CheckPixels(base, {
                          {tga("p"), 200, 32, 8, 0x9ecce710d726e83full},
                          {tga("rgb"), 200, 32, 24, 0x2c7abec183961b6bull},
                          {tga("rgba"), 200, 32, 32, 0x2c7abec183961b6bull},
                          {{"odd_stride.pcx"}, 371, 150, 8, 0x63b17ce546e8786dull},
                      });
}

// Damaged and unsupported files fail with a documented error, or load where merely odd; each
// reader is also fed the other formats' damaged files.
TEST_F(StillReadersTest, DamagedSamplesFailCleanly) {
    const std::string base = KV_SHARED_DIR "/corpus-samples/";
    if (!std::filesystem::is_directory(base)) GTEST_SKIP() << "no shared samples";
    const std::vector<std::pair<const char*, Err>> known = {
        {"bmpsuite/b/badbitcount.bmp", {ERR_IMG, 1}},
        {"bmpsuite/b/badwidth.bmp", {ERR_IMG, 4}},
        {"bmpsuite/b/reallybig.bmp", {ERR_IMG, 4}},
        {"bmpsuite/b/shortfile.bmp", {ERR_FILE, 3}},
        {"bmpsuite/q/pal2.bmp", {ERR_IMG, 1}},
        {"bmpsuite/q/rgb24jpeg.bmp", {ERR_IMG, 1}},
        {"tga-gimp/200x32_la_bl_rle.tga", {ERR_IMG, 2}},
        {"tga-gimp/1x1_l_tl_raw.tga", {ERR_IMG, 2}},
        {"pil184.pcx", {ERR_IMG, 1}},
        {"p_4_planes.pcx", {ERR_IMG, 1}},
    };
    for (const auto& [file, err] : known) EXPECT_EQ(LoadFile(base + file, BAD_HANDLE), err) << file;
    for (const char* folder : {"bmpsuite/b", "damaged-fuzz"}) {
        for (const auto& entry : std::filesystem::directory_iterator(base + folder)) {
            for (int32_t type : {FT_TGA, FT_PCX, FT_BMP}) {
                const Err err = LoadFile(entry.path().string(), type);
                EXPECT_TRUE(err == OK || err.first == ERR_IMG || err == Err(ERR_FILE, 3))
                    << entry.path();
            }
        }
    }
}

// --- BMP --------------------------------------------------------------------------------------

TEST_F(StillReadersTest, BmpPackedRowsAndRowOrder) {
    const Bytes palette = {0, 0, 0, 0, 255, 255, 255, 0};
    // 1 bit, width 9: stored rows of 2 bytes padded to 4, bottom row first.
    ASSERT_EQ(Load(Bmp(9, 2, 1, 0, palette, {0x80, 0x80, 0, 0, 0x55, 0x00, 0, 0}), FT_BMP), OK);
    EXPECT_EQ(img.bitsPP, 8);
    EXPECT_EQ(Row(0), (Bytes{0, 1, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(Row(1), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(img.palette[1].red, 255);
    // The same picture stored top-down (negative height) loads the same way round.
    ASSERT_EQ(Load(Bmp(9, -2, 1, 0, palette, {0x55, 0x00, 0, 0, 0x80, 0x80, 0, 0}), FT_BMP), OK);
    EXPECT_EQ(Row(0), (Bytes{0, 1, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(Info(Bmp(9, -2, 1, 0, palette, Bytes(8)), FT_BMP).height, 2);
    // 4 bits: high nibble first.
    ASSERT_EQ(Load(Bmp(3, 1, 4, 0, palette, {0x12, 0x30, 0, 0}), FT_BMP), OK);
    EXPECT_EQ(Row(0), (Bytes{1, 2, 3}));
}

TEST_F(StillReadersTest, BmpRunLengthRowsEndOfLineAndDelta) {
    // 8 bits, 4 x 3, bottom-up. An end of line in mid-row moves to the next row; after a full
    // row it does not skip one.
    const Bytes rle8 = {2, 5, 0, 0, 0, 3, 10, 11, 12, 0, 1, 9, 0, 0, 0, 2, 1, 0, 1, 7, 0, 1};
    ASSERT_EQ(Load(Bmp(4, 3, 8, 1, Bytes(1024), rle8), FT_BMP), OK);
    EXPECT_EQ(Row(0), (Bytes{0, 7, 0, 0}));
    EXPECT_EQ(Row(1), (Bytes{10, 11, 12, 9}));
    EXPECT_EQ(Row(2), (Bytes{5, 5, 0, 0}));
    EXPECT_EQ(Info(Bmp(4, 3, 8, 1, Bytes(1024), rle8), FT_BMP).videoCompression,
              "Run Length Encoding (RLE)");
    // 4 bits: runs alternate the nibbles; literal nibbles padded to 16 bits.
    ASSERT_EQ(
        Load(Bmp(5, 2, 4, 2, Bytes(64), {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1}), FT_BMP),
        OK);
    EXPECT_EQ(Row(0), (Bytes{3, 4, 5, 6, 7}));
    EXPECT_EQ(Row(1), (Bytes{1, 2, 1, 2, 1}));
    // Packets cut off by the end of the data.
    EXPECT_EQ(Load(Bmp(4, 3, 8, 1, Bytes(1024), {2, 5, 0, 5, 1, 2}), FT_BMP), Err(ERR_IMG, 3));
    EXPECT_EQ(Load(Bmp(4, 3, 8, 1, Bytes(1024), {2, 5, 0, 2, 1}), FT_BMP), Err(ERR_IMG, 3));
}

TEST_F(StillReadersTest, BmpBitFieldsChooseTheDepth) {
    const auto masks = [](uint32_t r, uint32_t g, uint32_t b) {
        Bytes m;
        for (uint32_t v : {r, g, b}) Put32(m, v);
        return m;
    };
    struct Case {
        uint16_t bits;
        uint32_t compression;
        Bytes masks, pixel;
        int32_t depth;
        Bytes loaded;  // the pixel's bytes in the picture
        uint32_t headerSize = 40;
    };
    const std::vector<Case> cases = {
        {16, 0, {}, {0x1F, 0x7C}, 15, {0x1F, 0x7C}},
        {16, 3, masks(0x7C00, 0x3E0, 0x1F), {0x1F, 0x7C}, 15, {0x1F, 0x7C}},
        {16, 3, masks(0xF800, 0x7E0, 0x1F), {0x1F, 0xF8}, 16, {0x1F, 0xF8}},
        {32, 3, masks(0xFF0000, 0xFF00, 0xFF), {1, 2, 3, 0}, 32, {1, 2, 3, 0}},
        // Other masks: each channel scaled to 8 bits (11-11-10: red full, green half).
        {32, 3, masks(0xFFE00000, 0x1FFC00, 0x3FF), {0, 0, 0xF0, 0xFF}, 24, {0, 128, 255}},
        {16, 3, masks(0x30, 0xE, 0x1), {0x31, 0}, 24, {255, 0, 255}},
        // A V4 header holds its masks (here red in the low byte).
        {32, 3, {}, {9, 8, 7, 0}, 24, {7, 8, 9}, 108},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bits << "-bit, compression " << c.compression);
        Bytes file = Bmp(1, 1, c.bits, c.compression, c.masks, c.pixel, c.headerSize);
        if (c.headerSize == 108) {
            const Bytes m = masks(0xFF, 0xFF00, 0xFF0000);
            std::copy(m.begin(), m.end(), file.begin() + 14 + 40);
        }
        ASSERT_EQ(Load(file, FT_BMP), OK);
        EXPECT_EQ(img.bitsPP, c.depth);
        EXPECT_EQ(Row(0), c.loaded);
        EXPECT_EQ(Info(file, FT_BMP).bitsPP, c.depth == 24 ? c.bits : c.depth);
    }
}

TEST_F(StillReadersTest, BmpHostileHeaders) {
    const Bytes good = Bmp(2, 2, 24, 0, {}, Bytes(16, 7));
    ASSERT_EQ(Load(good, FT_BMP), OK);
    const std::vector<std::pair<std::function<void(Bytes&)>, Err>> cases = {
        {[](Bytes& b) { b[1] = 'X'; }, {ERR_IMG, 2}},
        {[](Bytes& b) { b.resize(16); }, {ERR_FILE, 3}},
        {[](Bytes& b) { b[14] = 13; }, {ERR_IMG, 4}},   // header size
        {[](Bytes& b) { b[14] = 200; }, {ERR_IMG, 4}},  // header beyond the file
        {[](Bytes& b) { b[10] = 20; }, {ERR_IMG, 4}},   // pixels inside the header
        {[](Bytes& b) { b[11] = 1; }, {ERR_FILE, 3}},   // pixels beyond the file
        {[](Bytes& b) { b.erase(b.end() - 3, b.end()); }, {ERR_FILE, 3}},  // truncated rows
        {[](Bytes& b) { b[18] = 0; }, {ERR_IMG, 4}},                       // width 0
        {[](Bytes& b) { b[22] = 0, b[25] = 0x80; }, {ERR_IMG, 4}},         // height -2^31
        {[](Bytes& b) { b[30] = 4; }, {ERR_IMG, 1}},                       // embedded JPEG
        {[](Bytes& b) { b[28] = 4, b[30] = 1; }, {ERR_IMG, 1}},            // 8-bit coding on 4 bits
        {[](Bytes& b) { b[30] = 3; }, {ERR_IMG, 1}},                       // bit fields on 24 bits
        // 2^28 pixels pass the header (the rows are missing), one row more is over the limit.
        {[](Bytes& b) { b[18] = 0, b[19] = 0x40, b[22] = 0, b[23] = 0x40; }, {ERR_FILE, 3}},
        {[](Bytes& b) { b[18] = 0, b[19] = 0x40, b[22] = 1, b[23] = 0x40; }, {ERR_IMG, 4}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Bytes bad = good;
        cases[i].first(bad);
        EXPECT_EQ(Load(bad, FT_BMP), cases[i].second) << "case " << i;
    }
}

// --- TGA --------------------------------------------------------------------------------------

TEST_F(StillReadersTest, TgaRowOrderColourMapAndRuns) {
    ASSERT_EQ(Load(Tga(2, 2, 2, 24, 0x20, {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}), FT_TGA), OK);
    EXPECT_EQ(Row(0), (Bytes{1, 1, 1, 2, 2, 2}));
    ASSERT_EQ(Load(Tga(2, 2, 2, 24, 0x00, {3, 3, 3, 4, 4, 4, 1, 1, 1, 2, 2, 2}), FT_TGA), OK);
    EXPECT_EQ(Row(0), (Bytes{1, 1, 1, 2, 2, 2}));
    // A 10-byte ID field, then a map of 5-5-5 entries from index 16: red, then blue.
    const Bytes map = {0x00, 0x7C, 0x1F, 0x00};
    ASSERT_EQ(Load(Tga(1, 2, 1, 8, 0x20, {16, 17}, Bytes(10, 'x'), 16, 16, map), FT_TGA), OK);
    EXPECT_EQ(Row(0), (Bytes{16, 17}));
    EXPECT_EQ(img.palette[16].red, 248);
    EXPECT_EQ(img.palette[16].blue, 0);
    EXPECT_EQ(img.palette[17].blue, 248);
    EXPECT_EQ(img.palette[15].red, 0);
    // 16-bit pixels are 5-5-5 words.
    ASSERT_EQ(Load(Tga(2, 1, 1, 16, 0x20, {0x1F, 0xFC}), FT_TGA), OK);
    EXPECT_EQ(img.bitsPP, 15);
    EXPECT_EQ(Info(Tga(2, 1, 1, 16, 0x20, {0x1F, 0xFC}), FT_TGA).bitsPP, 15);
    // 3 x 2 top-down: a run of 4 across the row end, then 2 literal pixels.
    ASSERT_EQ(Load(Tga(10, 3, 2, 24, 0x20, {0x83, 9, 8, 7, 0x01, 1, 2, 3, 4, 5, 6}), FT_TGA), OK);
    EXPECT_EQ(Row(0), (Bytes{9, 8, 7, 9, 8, 7, 9, 8, 7}));
    EXPECT_EQ(Row(1), (Bytes{9, 8, 7, 1, 2, 3, 4, 5, 6}));
    // A packet longer than the picture is cut at its end.
    ASSERT_EQ(Load(Tga(10, 3, 2, 24, 0x20, {0xFF, 1, 2, 3}), FT_TGA), OK);
    EXPECT_EQ(Row(1), (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3}));
}

// --- PCX --------------------------------------------------------------------------------------

TEST_F(StillReadersTest, PcxRowsDropTheirPadding) {
    // Width 5 with lines of the header's bytes per line, odd or rounded up to even.
    for (uint16_t lineBytes : {5, 6}) {
        SCOPED_TRACE(lineBytes);
        Bytes data = {1, 2, 3, 4, 5};
        data.resize(lineBytes, 0);
        data.insert(data.end(), {0xC5, 9});
        data.resize(2 * lineBytes - 3, 0);
        ASSERT_EQ(Load(Pcx(5, 2, 1, lineBytes, data), FT_PCX), OK);
        EXPECT_EQ(img.size, 10);
        EXPECT_EQ(Row(0), (Bytes{1, 2, 3, 4, 5}));
        EXPECT_EQ(Row(1), (Bytes{9, 9, 9, 9, 9}));
        EXPECT_EQ(img.palette[3].red, 3);
        EXPECT_EQ(img.palette[3].green, 252);
        EXPECT_EQ(img.palette[3].blue, 7);
    }
    // Three planes of width 3 padded to 4: each plane's line has its own padding.
    const Bytes rgb = Pcx(3, 1, 3, 4, {10, 11, 12, 0, 20, 21, 22, 0, 30, 31, 32, 0});
    ASSERT_EQ(Load(rgb, FT_PCX), OK);
    EXPECT_EQ(img.bitsPP, 24);
    EXPECT_EQ(Row(0), (Bytes{30, 20, 10, 31, 21, 11, 32, 22, 12}));
    EXPECT_EQ(Info(rgb, FT_PCX).videoCompression, "Run Length Encoding (RLE)");
}

// --- Refusals of TGA and PCX ------------------------------------------------------------------

TEST_F(StillReadersTest, TgaAndPcxRefusals) {
    Bytes longMap = Tga(2, 1, 1, 24, 0, {1, 2, 3}, {}, 0, 24, Bytes(6));
    longMap[5] = 100;
    Bytes notPcx = Pcx(3, 1, 3, 4, Bytes(12)), notRle = notPcx, reversed = notPcx;
    notPcx[0] = 11;
    notRle[2] = 0;
    reversed[8] = 0, reversed[4] = 2;  // x max below x min
    Bytes noPalette = Pcx(3, 1, 1, 4, {1, 2, 3, 0});
    noPalette.resize(128 + 700);
    const std::vector<std::tuple<int32_t, Bytes, Err>> cases = {
        {FT_TGA, Tga(3, 1, 1, 8, 0, {0}), {ERR_IMG, 2}},          // grey
        {FT_TGA, Tga(11, 1, 1, 8, 0, {0, 0}), {ERR_IMG, 2}},      // run-length grey
        {FT_TGA, Tga(2, 1, 1, 20, 0, {0, 0, 0}), {ERR_IMG, 1}},   // no image record depth
        {FT_TGA, Tga(1, 1, 1, 16, 0, {0, 0}), {ERR_IMG, 1}},      // 16-bit colour indices
        {FT_TGA, Tga(2, 0, 1, 24, 0, {}), {ERR_IMG, 4}},          // empty
        {FT_TGA, Tga(2, 2, 2, 24, 0, Bytes(11)), {ERR_FILE, 3}},  // truncated rows
        {FT_TGA, Bytes{0, 0, 2, 0, 0}, {ERR_FILE, 3}},            // truncated header
        {FT_TGA, longMap, {ERR_FILE, 3}},                         // map longer than the file
        {FT_TGA, Tga(10, 3, 2, 24, 0, {0x02, 1, 2, 3, 4, 5, 6}), {ERR_IMG, 3}},  // packet cut off
        {FT_PCX, notPcx, {ERR_IMG, 2}},
        {FT_PCX, notRle, {ERR_IMG, 1}},
        {FT_PCX, Pcx(3, 1, 2, 4, Bytes(8)), {ERR_IMG, 1}},  // two planes
        {FT_PCX, reversed, {ERR_IMG, 4}},
        {FT_PCX, Pcx(3, 1, 3, 4, {0xC5}), {ERR_IMG, 3}},  // run without its value
        {FT_PCX, noPalette, {ERR_IMG, 3}},                // no room for the palette
        {FT_PCX, Pcx(3, 1, 3, 4, {}), {ERR_FILE, 3}},     // no data
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(Load(std::get<1>(cases[i]), std::get<0>(cases[i])), std::get<2>(cases[i]))
            << "case " << i;
}
