#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "formats/ConFormStill.h"
#include "formats/FF_PNM.h"
#include "formats/FF_RAS.h"
#include "formats/FF_SGI.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;
using namespace std::string_literals;

namespace {

const std::string kData = std::string(KV_TEST_DATA) + "/formats/";
const std::string kCorpus = std::string(KV_SHARED_DIR) + "/corpus-samples/";

using Err = std::pair<int32_t, int32_t>;
const Err kOk{0, 0};

std::string BE16(uint32_t v) { return {char(v >> 8), char(v)}; }
std::string BE32(uint32_t v) { return BE16(v >> 16) + BE16(v & 0xFFFF); }

// An SGI header padded to the 512 bytes where pixels or run-length tables start.
std::string Sgi(int storage, int dim, int x, int y, int z, uint32_t colorMap = 0) {
    std::string h = BE16(474) + char(storage) + char(1) + BE16(dim) + BE16(x) + BE16(y) + BE16(z) +
                    BE32(0) + BE32(255) + std::string(84, '\0') + BE32(colorMap);
    return h + std::string(512 - h.size(), '\0');
}

std::string Ras(int w, int h, int depth, int type, int mapType = 0, int mapLength = 0) {
    return BE32(0x59A66A95) + BE32(w) + BE32(h) + BE32(depth) + BE32(0) + BE32(type) +
           BE32(mapType) + BE32(mapLength);
}

// The picture as red, green, blue (and alpha) bytes per pixel.
std::string Rgb(const Qimg& img, bool alpha = false) {
    std::string out;
    for (int64_t k = 0; k < int64_t{img.width} * img.height; ++k) {
        const uint8_t* p = img.data + k * img.bytesPP;
        const QBGR c = img.bitsPP == 8 ? img.palette[p[0]] : QBGR{p[0], p[1], p[2]};
        out += {char(c.red), char(c.green), char(c.blue)};
        if (alpha) out += char(p[3]);
    }
    return out;
}

using kelvora::test::Fnv1a;

struct SgiRasPnmTest : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        std::memset(static_cast<void*>(&img), 0, sizeof img);
    }
    void TearDown() override {
        ImgFree(img);
        RegisterBalanceTest::TearDown();
    }
    // Loads in an isolated frame; (0, 0) on success, else the error. Nothing may stay behind.
    Err Load(const std::string& path) {
        ImgFree(img);
        MonitoredIsolated([&] { ImgLoad(path, img, BAD_HANDLE); });
        const auto result = std::make_pair(ErrLastGroup(), ErrLastCode());
        if (result.first != 0) ExpectBalanced(path);
        return result;
    }
    Err LoadBytes(const std::string& name, const std::string& bytes) {
        WriteFileBytes(dir.file(name), bytes);
        return Load(dir.file(name));
    }
    std::string Pixels(const std::string& name, const std::string& bytes) {
        EXPECT_EQ(LoadBytes(name, bytes), kOk) << name;
        return img.data ? std::string(reinterpret_cast<char*>(img.data), img.size) : std::string();
    }
    Qimg img;
    TempDir dir;
};

// --- Fixtures made by ImageMagick and ffmpeg, compared with their decodes -------------------

enum Expect { kRgb, kGrey, kGrey15, kRgb16 };

TEST_F(SgiRasPnmTest, FixturesMatchTheirReferenceDecodes) {
    struct Case {
        const char* file;
        const char* expected;
        Expect kind;
        int32_t bits;
    };
    const Case cases[] = {
        {"sgi/rle_rgb.sgi", "sgi/rle_rgb.rgb", kRgb, 24},
        {"sgi/grey_verbatim.sgi", "sgi/grey_verbatim.gray", kGrey, 8},
        {"ras/rle8_map.ras", "ras/rle8_map.rgb", kRgb, 8},  // odd width: runs cover the pad byte
        {"ras/rgb24.ras", "ras/rgb24.rgb", kRgb, 24},       // RGB order, padded rows
        {"ras/rle24.ras", "ras/rle24.rgb", kRgb, 24},       // BGR order, run-length
        {"pnm/p6.ppm", "pnm/p6.rgb", kRgb, 24},
        {"pnm/p3.ppm", "pnm/p3.rgb", kRgb, 24},
        {"pnm/p5_max15.pgm", "pnm/p5_max15.gray", kGrey15, 8},
        {"pnm/p6_16.ppm", "pnm/p6_16.rgb16", kRgb16, 24},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Load(kData + c.file), kOk) << c.file;
        EXPECT_EQ(img.bitsPP, c.bits) << c.file;
        const std::string ref = ReadFileBytes(kData + c.expected);
        std::string want;
        for (size_t i = 0; i < ref.size(); ++i) {
            const auto v = static_cast<uint8_t>(ref[i]);
            switch (c.kind) {
                case kRgb: want += char(v); break;
                case kGrey: want += std::string(3, char(v)); break;
                case kGrey15: want += std::string(3, char(v / 17 << 4)); break;  // 4-bit samples
                case kRgb16:
                    if (i % 2 == 0) want += char(v);
                    break;  // the high byte
            }
        }
        EXPECT_EQ(Rgb(img), want) << c.file;
    }
}

TEST_F(SgiRasPnmTest, CorpusSamplesMatchImageMagickDecodes) {
    struct Case {
        const char* file;
        int32_t w, h;
        bool alpha;
        uint64_t hash;
    };
    const Case cases[] = {
        {"hopper.ras", 128, 128, false, 0x9fd5849cfd0b4536ULL},
        {"transparent.sgi", 200, 150, true, 0x29a727ce7f3512fcULL},
        {"sunraster.im1", 640, 400, false, 0x7e7658a1742adef4ULL},  // 1 bit, run-length
    };
    if (!std::filesystem::exists(kCorpus)) GTEST_SKIP() << "no corpus";
    for (const Case& c : cases) {
        ASSERT_EQ(Load(kCorpus + c.file), kOk) << c.file;
        EXPECT_EQ(img.width, c.w);
        EXPECT_EQ(img.height, c.h);
        EXPECT_EQ(Fnv1a(Rgb(img, c.alpha)), c.hash) << c.file;
    }
}

TEST_F(SgiRasPnmTest, DamagedAndTruncatedFilesFailCleanly) {
    if (std::filesystem::exists(kCorpus)) {
        // A well-formed 1 x 1 picture behind odd tables: it may load.
        Load(kCorpus + "damaged-fuzz/crash-754d9c7ec485ffb76a90eeaab191ef69a2a3a3cd.sgi");
        EXPECT_EQ(Load(kCorpus + "damaged-fuzz/ossfuzz-5730089102868480.sgi"), Err(ERR_IMG, 1));
        EXPECT_EQ(Load(kCorpus + "damaged-fuzz/negative_size.ppm"), Err(ERR_IMG, 2));
    }
    // Every cut of every fixture either loads or fails; Load checks that nothing stays behind.
    for (const char* f : {"sgi/rle_rgb.sgi", "sgi/grey_verbatim.sgi", "ras/rle8_map.ras",
                          "ras/rgb24.ras", "pnm/p6.ppm", "pnm/p3.ppm", "pnm/p6_16.ppm"}) {
        const std::string bytes = ReadFileBytes(kData + f);
        // A fresh name per cut: rewriting one file would flush it to disk every time.
        for (size_t cut = 0; cut < bytes.size(); cut += 11)
            LoadBytes("cut" + std::to_string(cut) + std::strrchr(f, '.'), bytes.substr(0, cut));
    }
}

// --- SGI ------------------------------------------------------------------------------------

TEST_F(SgiRasPnmTest, SgiPacketsChannelsAndVariants) {
    // Tables for one line: offset 520, length 7; then 0x83 copies three bytes, 0x05 repeats one
    // five times (cut to the seven-pixel line), 0x00 ends the line.
    const std::string line = "\x83\x01\x02\x03\x05\x09\x00"s;
    const std::string file = Sgi(1, 1, 7, 1, 1) + BE32(520) + BE32(7) + line;
    EXPECT_EQ(Pixels("a.sgi", file), std::string("\x01\x02\x03\x09\x09\x09\x09"));
    EXPECT_EQ(img.palette[9].red, 9);  // grey ramp
    // A line that lies outside the file is refused.
    EXPECT_EQ(LoadBytes("b.sgi", Sgi(1, 1, 7, 1, 1) + BE32(520) + BE32(8) + line), Err(ERR_IMG, 3));
    EXPECT_EQ(LoadBytes("c.sgi", Sgi(1, 1, 7, 1, 1) + BE32(0xFFFFFFF0) + BE32(7) + line),
              Err(ERR_IMG, 3));
    EXPECT_EQ(LoadBytes("d.sgi", Sgi(1, 3, 7, 100, 3) + BE32(520)), Err(ERR_IMG, 3));
    // Two rows, bottom-up in the file; a second channel (alpha) is left out of the grey picture.
    EXPECT_EQ(Pixels("g.sgi", Sgi(0, 3, 2, 2, 2) + "abcd" + "WXYZ"), "cdab");
    EXPECT_EQ(img.bitsPP, 8);
    EXPECT_EQ(Pixels("d2.sgi", Sgi(0, 2, 2, 2, 9) + "abcd"), "cdab");  // dimension 2: one channel
    EXPECT_EQ(Pixels("rgba.sgi", Sgi(0, 3, 1, 1, 4) + "RGBA"), "BGRA");
    EXPECT_EQ(LoadBytes("map.sgi", Sgi(0, 3, 1, 1, 1, 1) + "a"), Err(ERR_IMG, 1));
    EXPECT_EQ(LoadBytes("z5.sgi", Sgi(0, 3, 1, 1, 5) + "abcde"), Err(ERR_IMG, 1));
    EXPECT_EQ(LoadBytes("short.sgi", Sgi(0, 3, 2, 2, 3) + "abcdefghijk"), Err(ERR_FILE, 3));
    EXPECT_EQ(LoadBytes("magic.sgi", "\x01\xdb" + Sgi(0, 3, 1, 1, 1).substr(2) + "a"),
              Err(ERR_IMG, 2));
}

// --- Sun raster -----------------------------------------------------------------------------

TEST_F(SgiRasPnmTest, RasEscapesRowsMapsAndDepths) {
    EXPECT_EQ(Pixels("e.ras", Ras(6, 1, 8, 2) + "\x80\x00\x80\x04\x7F"s),
              "\x80\x7F\x7F\x7F\x7F\x7F");
    EXPECT_EQ(img.palette[0x7F].green, 0x7F);  // no colour map: grey
    // Odd width: one pad byte per row, or none at all in a file that leaves them out.
    EXPECT_EQ(Pixels("pad.ras", Ras(3, 2, 8, 1) + "abc_def_"), "abcdef");
    EXPECT_EQ(Pixels("nopad.ras", Ras(3, 2, 8, 1) + "abcdef"), "abcdef");
    // A short map holds three planes of length / 3 entries.
    Pixels("map.ras", Ras(2, 1, 8, 1, 1, 6) + "\x10\x11\x20\x21\x30\x31\x00\x01"s);
    EXPECT_EQ(Rgb(img), "\x10\x20\x30\x11\x21\x31");
    // A map of another kind is skipped.
    EXPECT_EQ(Pixels("raw.ras", Ras(2, 1, 8, 1, 2, 4) + "mmmm" + "\x05\x06"), "\x05\x06");
    EXPECT_EQ(Rgb(img), "\x05\x05\x05\x06\x06\x06");
    // 32 bits: x, b, g, r becomes b, g, r, x; in RGB order the colours turn round as well.
    EXPECT_EQ(Pixels("x.ras", Ras(1, 1, 32, 1) + "xbgr"), "bgrx");
    EXPECT_EQ(Pixels("y.ras", Ras(1, 1, 32, 3) + "xrgb"), "bgrx");
    // 1 bit: 0 white, 1 black.
    Pixels("bits.ras", Ras(9, 1, 1, 1) + "\xA0\x80");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(img.data), 9), "\1\0\1\0\0\0\0\0\1"s);
    EXPECT_EQ(img.palette[0].red, 255);
    const std::pair<std::string, Err> refused[] = {
        {Ras(1, 1, 16, 1) + "ab", {ERR_IMG, 1}},
        {Ras(1, 1, 8, 4) + "ab", {ERR_IMG, 1}},
        {Ras(-1, 1, 8, 1) + "ab", {ERR_IMG, 4}},  // a damaged size, not a picture
        {Ras(70000, 1, 8, 1) + "ab", {ERR_IMG, 1}},
        {Ras(1, 1, 8, 1, 1, 0x7FFFFFF0) + "ab", {ERR_FILE, 3}},    // map beyond the file
        {Ras(4, 4, 8, 1) + "abc", {ERR_FILE, 3}},                  // rows cut short
        {Ras(16384, 16384, 8, 2) + "\x80\xFF\x01", {ERR_IMG, 3}},  // too little to fill it
        {Ras(30000, 30000, 8, 2) + "\x80\xFF\x01", {ERR_IMG, 1}},  // over the picture limit
    };
    for (const auto& [bytes, expected] : refused) EXPECT_EQ(LoadBytes("r.ras", bytes), expected);
}

// --- PNM ------------------------------------------------------------------------------------

TEST_F(SgiRasPnmTest, PnmHeadersAndSamples) {
    EXPECT_EQ(Pixels("c.pgm", "P5\n# made by hand\n2 1\n15\n\x01\x0F"), "\x10\xF0");
    EXPECT_EQ(Pixels("a.pgm", "P2 3 1 1023 1023 4 9999"), "\xFF\x01\xFF");  // above the maximum: maximum
    EXPECT_EQ(Pixels("w.pgm", "P5 2 1 1023\n\x03\xFF\x00\x04"s), "\xFF\x01");
    EXPECT_EQ(Pixels("m.ppm", "P6 1 1 255\r\x01\x02\x03"), "\x03\x02\x01");
    const std::pair<const char*, Err> cases[] = {
        {"P5 3 2", {ERR_IMG, 9}},                  // ends inside the header
        {"P2 3 1 255 7 \n ", {ERR_IMG, 9}},        // ends inside the samples
        {"P5 2 2 255\nab", {ERR_FILE, 3}},         // binary samples cut short
        {"P5 99999999999 1 255\n", {ERR_IMG, 2}},  // number too large
        {"P5 3x 1 255\n", {ERR_IMG, 2}},           // not a number
        {"X5 1 1 255\n", {ERR_IMG, 2}},
        {"P5 1 1 70000\nab", {ERR_IMG, 1}},
        {"P5 1 1 0\na", {ERR_IMG, 1}},
        {"P4 8 1\n\xFF", {ERR_IMG, 1}},
        {"P1 2 1 0 1", {ERR_IMG, 1}},
        {"P5 100000 1 255\n", {ERR_IMG, 1}},
        {"P2 100 100 255\n1 2 3", {ERR_IMG, 9}},  // refused before allocating
        {"P5 16384 16384 255\n", {ERR_FILE, 3}},  // 2^28 pixels: within the limit, cut short
        {"P5 16384 16385 255\n", {ERR_IMG, 1}},   // over the picture limit
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(LoadBytes("t.pgm", text), expected) << text;
}

// --- Inputs larger than the readers' buffers ------------------------------------------------

// Each reader takes its input through a buffer it refills: tokens, sample pairs, packets and
// escapes that straddle a refill, and lines read out of order, must decode as if read at once.
TEST_F(SgiRasPnmTest, InputsAcrossBufferRefills) {
    // PNM: 20,000 ASCII samples (about 80 KB) with a comment in the middle.
    std::string text = "P2 200 100 255\n", grey;
    for (int k = 0; k < 20000; ++k) {
        const int v = (k * 3 + k / 200) % 256;
        text += std::to_string(v) + (k % 7 ? " " : "\n  ");
        if (k == 9000) text += "# halfway\n";
        grey += char(v);
    }
    EXPECT_EQ(Pixels("big.pgm", text), grey);
    // Two-byte samples after a header of odd length, so a pair straddles each refill.
    std::string wide = "P5 150 100 65535\n", high;
    for (int k = 0; k < 15000; ++k) {
        const int v = k * 257 % 65536;
        wide += BE16(v);
        high += char(v >> 8);
    }
    EXPECT_EQ(Pixels("wide.pgm", wide), high);

    // SGI: a file far larger than its picture is read through a small buffer; the lines lie
    // in reverse order, partly behind a long gap.
    const int xs = 40, ys = 30;
    std::string lines, offsets, lengths, want(xs * ys, '\0');
    const int64_t tables = 512 + 8 * ys;
    const int64_t gap = 70000;
    std::vector<int64_t> where(ys);
    for (int j = ys - 1; j >= 0; --j) {
        std::string line = "\xA8"s;  // 40 literal bytes
        for (int x = 0; x < xs; ++x) {
            line += char((j * 5 + x) % 256);
            want[(ys - 1 - j) * xs + x] = char((j * 5 + x) % 256);  // rows run bottom-up
        }
        line += '\0';
        if (j == ys / 2 - 1) lines += std::string(gap, '\0');
        where[j] = tables + int64_t(lines.size());
        lines += line;
    }
    for (int j = 0; j < ys; ++j) offsets += BE32(uint32_t(where[j])), lengths += BE32(xs + 2);
    EXPECT_EQ(Pixels("far.sgi", Sgi(1, 2, xs, ys, 1) + offsets + lengths + lines), want);

    // Sun raster: run-length data of about 160 KB; the 128 0 pairs start at odd offsets, so one
    // straddles the first refill.
    std::string px(400 * 300, '\0');
    px[0] = 5;
    for (int i = 1; i <= 40000; ++i) px[i] = char(128);
    for (size_t i = 40001; i < px.size(); ++i) px[i] = char(i % 1000 < 50 ? 7 : (i * 13) % 251);
    std::string rle;
    for (size_t i = 0; i < px.size();) {
        size_t run = 1;
        while (i + run < px.size() && run < 256 && px[i + run] == px[i]) ++run;
        if (px[i] == char(128)) {
            rle += "\x80\x00"s, ++i;
        } else if (run >= 3) {
            rle += "\x80"s + char(run - 1) + px[i], i += run;
        } else {
            rle += px[i++];
        }
    }
    ASSERT_GT(rle.size(), 131072u);
    EXPECT_EQ(Pixels("big.ras", Ras(400, 300, 8, 2) + rle), px);
}

// --- Information ----------------------------------------------------------------------------

TEST_F(SgiRasPnmTest, InfoReportsTheStoredPicture) {
    struct Case {
        std::string file;
        int32_t w, h, bytes, bits;
        std::string codec;
        int32_t loadable;
    };
    WriteFileBytes(dir.file("p4.pbm.pnm"), "P4 8 2\n\xFF\x00"s);
    WriteFileBytes(dir.file("ga.sgi"), Sgi(0, 3, 2, 1, 2, 0) + "abcd");
    const Case cases[] = {
        {kData + "sgi/rle_rgb.sgi", 13, 7, 3, 24, "Run Length Encoding (RLE)", -1},
        {dir.file("ga.sgi"), 2, 1, 2, 16, "Uncompressed, full frames", -1},
        {kData + "ras/rle8_map.ras", 13, 7, 1, 8, "Run Length Encoding (RLE)", -1},
        {kData + "ras/rgb24.ras", 13, 7, 3, 24, "Uncompressed, full frames", -1},
        {kData + "pnm/p3.ppm", 13, 7, 3, 24, "Ascii encoded", -1},
        {kData + "pnm/p5_max15.pgm", 13, 7, 1, 8, "Binary encoded", -1},
        {dir.file("p4.pbm.pnm"), 8, 2, 0, 0, "Binary encoded", 0},
    };
    for (const Case& c : cases) {
        QffInfo info;
        MonitoredIsolated([&] { FFInfo(c.file, BAD_HANDLE, info); });
        ASSERT_TRUE(ErrNone()) << c.file << ": " << ErrLastText();
        EXPECT_EQ(info.fileSize, static_cast<double>(std::filesystem::file_size(c.file))) << c.file;
        EXPECT_EQ(std::tie(info.width, info.height, info.bytesPP, info.bitsPP,
                           info.videoCompression, info.videoSupported),
                  std::tie(c.w, c.h, c.bytes, c.bits, c.codec, c.loadable))
            << c.file;
        EXPECT_EQ(std::tie(info.frames, info.hasVideo), std::make_tuple(1, -1));
    }
}

}  // namespace
