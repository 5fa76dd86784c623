// The library-backed readers: JPEG, PNG, TIFF and XPM. Fixtures under tests/data/formats were made
// by independent tools (see jpg/make-fixtures.sh) together with their expected decodes.

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "formats/FF_JPG.h"
#include "formats/FF_PNG.h"
#include "formats/FF_TIF.h"
#include "formats/FF_XPM.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

using LoadFn = void (*)(const std::string&, Qimg&);
using InfoFn = void (*)(const std::string&, QffInfo&);

std::string Fixture(const std::string& name) {
    return std::string(KV_TEST_DATA) + "/formats/" + name;
}

// A PNM picture (P4, P5, P6) with every sample scaled to 8 bits; P4 gives grey 0 for set bits.
struct Pnm {
    int32_t width = 0, height = 0, channels = 0;
    std::vector<uint8_t> samples;
};

Pnm ReadPnm(const std::string& path) {
    const std::string b = ReadFileBytes(path);
    size_t pos = 2;
    auto number = [&] {
        while (pos < b.size() && (std::isspace(static_cast<unsigned char>(b[pos])) || b[pos] == '#'))
            pos = b[pos] == '#' ? b.find('\n', pos) : pos + 1;
        long v = 0;
        for (; pos < b.size() && std::isdigit(static_cast<unsigned char>(b[pos])); ++pos)
            v = v * 10 + (b[pos] - '0');
        return v;
    };
    Pnm p;
    const char kind = b.size() > 2 ? b[1] : '?';
    p.width = static_cast<int32_t>(number());
    p.height = static_cast<int32_t>(number());
    const long maxval = kind == '4' ? 1 : number();
    ++pos;  // the single blank before the samples
    p.channels = kind == '6' ? 3 : 1;
    const size_t count = static_cast<size_t>(p.width) * p.height * p.channels;
    const size_t need = kind == '4' ? (p.width + 7) / 8 * static_cast<size_t>(p.height)
                                    : count * (maxval > 255 ? 2 : 1);
    if (b.size() < pos + need) return Pnm{};
    const auto* d = reinterpret_cast<const uint8_t*>(b.data() + pos);
    for (size_t i = 0; i < count; ++i) {
        long v;
        if (kind == '4') {
            const size_t x = i % p.width, y = i / p.width, row = (p.width + 7) / 8;
            v = ((d[y * row + x / 8] >> (7 - x % 8)) & 1) ? 0 : 1;
        } else {
            v = maxval > 255 ? (d[2 * i] << 8 | d[2 * i + 1]) : d[i];
        }
        // 16-bit samples keep their high byte (as libpng's strip), small ranges are stretched.
        p.samples.push_back(
            static_cast<uint8_t>(maxval > 255 ? v >> 8 : (v * 255 + maxval / 2) / maxval));
    }
    return p;
}

// The picture's colour at pixel i as red, green, blue (palette pictures through their palette).
void PixelRgb(const Qimg& img, size_t i, uint8_t rgb[3]) {
    if (img.bitsPP == 8) {
        const QBGR& c = img.palette[img.data[i]];
        rgb[0] = c.red, rgb[1] = c.green, rgb[2] = c.blue;
    } else {
        const uint8_t* p = img.data + i * img.bytesPP;
        rgb[0] = p[2], rgb[1] = p[1], rgb[2] = p[0];
    }
}

// Calls a reader in an isolated frame; the tracked register must be as before on failure.
struct Call {
    int32_t group, code;
    std::string text;
};

template <class F>
Call Isolated(F&& f) {
    const int32_t blocks = MemCount(), files = FileCount();
    MonitoredIsolated(f);
    Call c{ErrLastGroup(), ErrLastCode(), ErrLastText()};
    EXPECT_EQ(FileCount(), files);
    if (c.group != 0) {
        EXPECT_EQ(MemCount(), blocks) << c.text;
    }
    return c;
}

struct LibReadersTest : test::RegisterBalanceTest {
    Qimg img{};
    void TearDown() override {
        ImgFree(img);
        RegisterBalanceTest::TearDown();
    }
};

// --- Decoded pixels against the independent tools' decodes ------------------------------------------

struct PixelCase {
    LoadFn load;
    const char* file;
    const char* expected;
    int32_t bits;
    int maxDiff;      // 0: pixel-exact
    double meanDiff;  // for lossy round trips
};

const PixelCase kPixelCases[] = {
    {JPGLoad, "jpg/colour.jpg", "jpg/colour.ppm", 24, 0, 0},
    {JPGLoad, "jpg/progressive.jpg", "jpg/progressive.ppm", 24, 0, 0},
    {JPGLoad, "jpg/grey.jpg", "jpg/grey.pgm", 8, 0, 0},
    {JPGLoad, "jpg/cmyk.jpg", "tif/src.ppm", 24, 4, 0.6},  // lossy: close to the source
    {PNGLoad, "png/rgb.png", "png/rgb.ppm", 24, 0, 0},
    {PNGLoad, "png/rgba-interlaced.png", "png/rgba-interlaced.ppm", 24, 0, 0},
    {PNGLoad, "png/rgb16.png", "png/rgb16.ppm", 24, 0, 0},
    {PNGLoad, "png/grey2.png", "png/grey2.pgm", 8, 0, 0},
    {PNGLoad, "png/grey-alpha.png", "png/grey-alpha.pgm", 8, 0, 0},
    {PNGLoad, "png/palette-trns.png", "png/palette-trns.ppm", 8, 0, 0},
    {TIFLoad, "tif/rgb-lzw.tif", "tif/src.ppm", 24, 0, 0},
    {TIFLoad, "tif/rgb-planar.tif", "tif/src.ppm", 24, 0, 0},
    {TIFLoad, "tif/rgb-tiled.tif", "tif/src.ppm", 24, 0, 0},
    {TIFLoad, "tif/rgb-tiled-planar.tif", "tif/src.ppm", 24, 0, 0},
    {TIFLoad, "tif/rgb16.tif", "tif/src.ppm", 24, 0, 0},  // spans 0..255: the stretch is the identity
    {TIFLoad, "tif/bw-g4.tif", "tif/bw.pbm", 8, 0, 0},
    {TIFLoad, "tif/cmyk.tif", "tif/src.ppm", 32, 0, 0},
    {TIFLoad, "tif/ycbcr-jpeg.tif", "tif/ycbcr-jpeg.ppm", 24, 0, 0},
    {XPMLoad, "xpm/colour.xpm", "xpm/colour.ppm", 24, 0, 0},
};

TEST_F(LibReadersTest, DecodesLikeTheIndependentTools) {
    for (const PixelCase& c : kPixelCases) {
        SCOPED_TRACE(c.file);
        const Pnm want = ReadPnm(Fixture(c.expected));
        ASSERT_EQ(Isolated([&] { c.load(Fixture(c.file), img); }).group, 0) << ErrLastText();
        ASSERT_EQ(img.bitsPP, c.bits);
        ASSERT_EQ(img.width, want.width);
        ASSERT_EQ(img.height, want.height);
        ASSERT_EQ(img.size, img.width * img.height * img.bytesPP);
        int worst = 0;
        double total = 0;
        const size_t n = static_cast<size_t>(img.width) * img.height;
        for (size_t i = 0; i < n; ++i) {
            uint8_t rgb[3];
            PixelRgb(img, i, rgb);
            for (int k = 0; k < 3; ++k) {
                const int d = std::abs(
                    rgb[k] - want.samples[i * want.channels + (want.channels == 3 ? k : 0)]);
                worst = std::max(worst, d);
                total += d;
            }
        }
        EXPECT_LE(worst, c.maxDiff);
        EXPECT_LE(total / (3.0 * n), c.meanDiff + 1e-9);
        ImgFree(img);
    }
}

// --- Band decoding -------------------------------------------------------------------------------------

// Writes a JPEG of `components` channels in `space` (YCbCr files from RGB, CMYK with libjpeg's
// Adobe marker) holding a smooth pattern.
void WriteJpeg(const std::string& path, int32_t width, int32_t height, J_COLOR_SPACE space,
               int components) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(width) * components);
    while (c.next_scanline < c.image_height) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = static_cast<JSAMPLE>(i * 3 + c.next_scanline * (i % components + 1));
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&c, &p, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

// Collects the bands JPGLoadRows hands over.
struct Bands {
    std::vector<uint8_t> rgb;
    std::vector<int32_t> counts;
    QRowSink Sink(int32_t width) {
        return [this, width](const uint8_t* rows, int32_t count) {
            counts.push_back(count);
            rgb.insert(rgb.end(), rows, rows + static_cast<size_t>(count) * width * 3);
        };
    }
};

// The band decode gives JPGLoad's pixels in the file's order: fixtures of one band, and made
// pictures whose bands end inside libjpeg's row groups (3000 pixels wide: 29 rows a band).
TEST_F(LibReadersTest, BandsHoldTheWholeDecodeRedFirst) {
    TempDir dir;
    std::vector<std::string> files = {Fixture("jpg/colour.jpg"), Fixture("jpg/progressive.jpg"),
                                      Fixture("jpg/grey.jpg"), Fixture("jpg/cmyk.jpg")};
    const struct {
        const char* name;
        J_COLOR_SPACE space;
        int components;
    } made[] = {{"ycc.jpg", JCS_RGB, 3}, {"grey.jpg", JCS_GRAYSCALE, 1}, {"cmyk.jpg", JCS_CMYK, 4}};
    for (const auto& m : made) {
        files.push_back(dir.file(m.name));
        WriteJpeg(files.back(), 3000, 61, m.space, m.components);
    }
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        ASSERT_EQ(Isolated([&] { JPGLoad(file, img); }).group, 0);
        std::vector<uint8_t> want(static_cast<size_t>(img.width) * img.height * 3);
        for (size_t i = 0; i < want.size() / 3; ++i) PixelRgb(img, i, &want[i * 3]);
        Bands got;
        ASSERT_EQ(
            Isolated([&] { JPGLoadRows(file, img.width, img.height, got.Sink(img.width)); }).group,
            0);
        EXPECT_TRUE(got.rgb == want);
        if (img.width == 3000) {
            EXPECT_EQ(got.counts, (std::vector<int32_t>{29, 29, 3}));
        }
        ImgFree(img);
    }
}

TEST_F(LibReadersTest, BandDecodeFailuresStopCleanly) {
    const std::string file = Fixture("jpg/colour.jpg");
    QffInfo info;
    FFClearInfo(info);
    ASSERT_EQ(Isolated([&] { JPGInfo(file, info); }).group, 0);
    // A size other than the file's is refused before any row is handed over.
    Bands got;
    Call r = Isolated([&] { JPGLoadRows(file, info.width + 1, info.height, got.Sink(info.width)); });
    EXPECT_EQ(r.group, ERR_IMG);
    EXPECT_EQ(r.code, IMG_OPEN);
    EXPECT_TRUE(got.counts.empty());
    // The receiver's own error stops the decode and travels on; the file is closed.
    int calls = 0;
    r = Isolated([&] {
        JPGLoadRows(file, info.width, info.height, [&](const uint8_t*, int32_t) {
            ++calls;
            ErrFail(ERR_FILE, FILE_WRITE);
        });
    });
    EXPECT_EQ(r.group, ERR_FILE);
    EXPECT_EQ(r.code, FILE_WRITE);
    EXPECT_EQ(calls, 1);
}

// --- Information records ------------------------------------------------------------------------------

struct InfoCase {
    InfoFn info;
    const char* file;
    int32_t bytesPP, bitsPP;
    const char* codec;
};

const InfoCase kInfoCases[] = {
    {JPGInfo, "jpg/colour.jpg", 3, 24, "JFIF 1.02"},
    {JPGInfo, "jpg/grey.jpg", 1, 8, "JFIF 1.02"},
    {PNGInfo, "png/rgb16.png", 6, 48, "Deflate compression (modified LZ77)"},
    {PNGInfo, "png/grey2.png", 1, 2, "Deflate compression (modified LZ77)"},
    {PNGInfo, "png/palette-trns.png", 1, 4, "Deflate compression (modified LZ77)"},
    {PNGInfo, "png/rgba-interlaced.png", 4, 32, "Deflate compression (modified LZ77)"},
    {TIFInfo, "tif/rgb-lzw.tif", 3, 24, "Variable-Length-Code LZW (Lempel-Ziv & Welch)"},
    {TIFInfo, "tif/rgb16.tif", 3, 24, "Variable-Length-Code LZW (Lempel-Ziv & Welch)"},
    {TIFInfo, "tif/rgb-tiled.tif", 3, 24, "Macintosh RLE (PackBits)"},
    {TIFInfo, "tif/bw-g4.tif", 1, 1, "CCITT Group 4 fax encoding"},
    {XPMInfo, "xpm/colour.xpm", 3, 24, ""},
};

TEST_F(LibReadersTest, InformationRecords) {
    for (const InfoCase& c : kInfoCases) {
        SCOPED_TRACE(c.file);
        QffInfo info;
        FFClearInfo(info);
        ASSERT_EQ(Isolated([&] { c.info(Fixture(c.file), info); }).group, 0) << ErrLastText();
        EXPECT_EQ(info.width, std::string(c.file) == "tif/bw-g4.tif" ? 37 : 33);
        EXPECT_EQ(info.bytesPP, c.bytesPP);
        EXPECT_EQ(info.bitsPP, c.bitsPP);
        EXPECT_EQ(info.videoCompression, c.codec);
        EXPECT_EQ(info.videoSupported, -1);
        EXPECT_EQ(info.hasVideo, -1);
        EXPECT_EQ(info.frames, 1);
        EXPECT_EQ(info.fileSize, static_cast<double>(ReadFileBytes(Fixture(c.file)).size()));
    }
}

// --- TIFF edge cases from files built here ------------------------------------------------------------

// A little-endian one-strip TIFF with one sample per pixel; `colours` (3 * 2^bits values) adds a
// colour map.
std::string MakeTiff(uint32_t width, uint32_t height, uint16_t bits, uint16_t compression,
                     uint16_t photometric, const std::string& data,
                     const std::vector<uint16_t>& colours = {}) {
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
    };
    std::vector<Entry> e = {{256, 4, 1, width},
                            {257, 4, 1, height},
                            {258, 3, 1, bits},
                            {259, 3, 1, compression},
                            {262, 3, 1, photometric},
                            {273, 4, 1, 0},
                            {277, 3, 1, 1},
                            {278, 4, 1, height},
                            {279, 4, 1, static_cast<uint32_t>(data.size())}};
    if (!colours.empty()) e.push_back({320, 3, static_cast<uint32_t>(colours.size()), 0});
    const uint32_t ifdBytes = 2 + 12 * static_cast<uint32_t>(e.size()) + 4;
    const uint32_t mapAt = 8 + ifdBytes, dataAt = mapAt + 2 * static_cast<uint32_t>(colours.size());
    e[5].value = dataAt;
    if (!colours.empty()) e.back().value = mapAt;
    std::string out("II*\0\x08\0\0\0", 8);
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out += static_cast<char>((v >> (8 * i)) & 255);
    };
    put(static_cast<uint32_t>(e.size()), 2);
    for (const Entry& x : e) {
        put(x.tag, 2), put(x.type, 2), put(x.count, 4);
        put(x.value, x.type == 3 && x.count == 1 ? 2 : 4);
        if (x.type == 3 && x.count == 1) put(0, 2);
    }
    put(0, 4);
    for (uint16_t c : colours) put(c, 2);
    return out + data;
}

std::string Samples16(const std::vector<uint16_t>& v) {
    std::string s;
    for (uint16_t x : v) s += static_cast<char>(x & 255), s += static_cast<char>(x >> 8);
    return s;
}

TEST_F(LibReadersTest, TiffEdgeCases) {
    TempDir dir;
    const std::string path = dir.file("t.tif");
    // 16-bit grey is stretched between its minimum and maximum; max = min gives 0.
    WriteFileBytes(path, MakeTiff(4, 1, 16, 1, 1, Samples16({1000, 1255, 1128, 1001})));
    ASSERT_EQ(Isolated([&] { TIFLoad(path, img); }).group, 0) << ErrLastText();
    ASSERT_EQ(img.bitsPP, 8);
    EXPECT_EQ(std::vector<uint8_t>(img.data, img.data + 4), (std::vector<uint8_t>{0, 255, 128, 1}));
    WriteFileBytes(path, MakeTiff(2, 1, 16, 1, 1, Samples16({700, 700})));
    ASSERT_EQ(Isolated([&] { TIFLoad(path, img); }).group, 0);
    EXPECT_EQ(img.data[0] | img.data[1], 0);

    // Colour maps below 256 are used as 8-bit values, 16-bit maps give their high bytes.
    std::vector<uint16_t> map(3 * 256, 0);
    map[1] = 200, map[256 + 1] = 100, map[512 + 1] = 50;  // entry 1: red 200, green 100, blue 50
    WriteFileBytes(path, MakeTiff(2, 1, 8, 1, 3, std::string("\0\1", 2), map));
    ASSERT_EQ(Isolated([&] { TIFLoad(path, img); }).group, 0) << ErrLastText();
    EXPECT_EQ(img.palette[1].red, 200);
    EXPECT_EQ(img.palette[1].blue, 50);
    map[1] = 0xC800, map[256 + 1] = 0x6400, map[512 + 1] = 0x3200;
    WriteFileBytes(path, MakeTiff(2, 1, 8, 1, 3, std::string("\0\1", 2), map));
    ASSERT_EQ(Isolated([&] { TIFLoad(path, img); }).group, 0);
    EXPECT_EQ(img.palette[1].red, 200);
    EXPECT_EQ(img.palette[1].green, 100);
    EXPECT_EQ(checkpal_(2, map.data(), map.data() + 256, map.data() + 512), 16);

    // White-is-zero grey reads with the inverted ramp.
    WriteFileBytes(path, MakeTiff(1, 1, 8, 1, 0, std::string("\x10", 1)));
    ASSERT_EQ(Isolated([&] { TIFLoad(path, img); }).group, 0);
    EXPECT_EQ(img.palette[img.data[0]].green, 255 - 0x10);

    // A 1-bit uncompressed file is not loadable; compression names come from the table (which
    // names Deflate by its old number only, though both load).
    struct {
        uint16_t bits, compression;
        const char* codec;
        int32_t supported;
    } const infoCases[] = {{1, 1, "Uncompressed", 0},
                           {8, 32946, "Deflate compression (modified LZ77)", -1},
                           {8, 8, "", -1},
                           {8, 4, "CCITT Group 4 fax encoding", 0},
                           {8, 32773, "Macintosh RLE (PackBits)", -1}};
    for (const auto& c : infoCases) {
        WriteFileBytes(path, MakeTiff(8, 1, c.bits, c.compression, 1, std::string(8, '\0')));
        QffInfo info;
        FFClearInfo(info);
        ASSERT_EQ(Isolated([&] { TIFInfo(path, info); }).group, 0) << ErrLastText();
        EXPECT_EQ(info.videoCompression, c.codec);
        EXPECT_EQ(info.videoSupported, c.supported);
    }
    WriteFileBytes(path, MakeTiff(8, 1, 1, 1, 1, std::string(1, '\0')));
    const Call c = Isolated([&] { TIFLoad(path, img); });
    EXPECT_EQ(c.group, ERR_IMG);
    EXPECT_EQ(c.code, 1);
}

// Writes a 7 x 5 RGB picture of 8-bit samples with libtiff, coded with `compression`.
bool WriteRgbTiff(const std::string& path, uint16_t compression) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 7);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, 5);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 2);
    bool ok = true;
    for (uint32_t y = 0; y < 5; ++y) {
        uint8_t row[7 * 3];
        for (uint32_t i = 0; i < sizeof row; ++i) row[i] = static_cast<uint8_t>(y * 41 + i * 11);
        ok = ok && TIFFWriteScanline(t, row, y, 0) == 1;
    }
    TIFFClose(t);
    return ok;
}

// Every codec the linked libtiff has goes, whatever number a file gives it; one it lacks is
// refused as a format not supported.
TEST_F(LibReadersTest, TiffCodecsOfTheLinkedLibrary) {
    TempDir dir;
    ASSERT_TRUE(WriteRgbTiff(dir.file("none.tif"), COMPRESSION_NONE));
    ASSERT_EQ(Isolated([&] { TIFLoad(dir.file("none.tif"), img); }).group, 0) << ErrLastText();
    const std::vector<uint8_t> plain(img.data, img.data + img.size);
    ASSERT_EQ(plain.size(), 7u * 5 * 3);
    for (const uint16_t c : {uint16_t{COMPRESSION_ADOBE_DEFLATE}, uint16_t{COMPRESSION_DEFLATE},
                             uint16_t{COMPRESSION_LZW}, uint16_t{COMPRESSION_PACKBITS}}) {
        SCOPED_TRACE(c);
        if (!TIFFIsCODECConfigured(c)) continue;
        const std::string path = dir.file("c" + std::to_string(c) + ".tif");
        ASSERT_TRUE(WriteRgbTiff(path, c));
        ASSERT_EQ(Isolated([&] { TIFLoad(path, img); }).group, 0) << ErrLastText();
        EXPECT_EQ(std::vector<uint8_t>(img.data, img.data + img.size), plain);
    }

    // A codec number libtiff knows but was built without, else one it has never heard of.
    uint16_t missing = 33333;
    for (const uint16_t c :
         {uint16_t{COMPRESSION_JBIG}, uint16_t{COMPRESSION_JP2000}, uint16_t{COMPRESSION_LERC},
          uint16_t{COMPRESSION_LZMA}, uint16_t{COMPRESSION_ZSTD}, uint16_t{COMPRESSION_WEBP}})
        if (!TIFFIsCODECConfigured(c)) {
            missing = c;
            break;
        }
    ASSERT_FALSE(TIFFIsCODECConfigured(missing));
    const std::string path = dir.file("missing.tif");
    WriteFileBytes(path, MakeTiff(8, 1, 8, missing, 1, std::string(8, '\0')));
    const Call c = Isolated([&] { TIFLoad(path, img); });
    EXPECT_EQ(c.group, ERR_IMG) << c.text;
    EXPECT_EQ(c.code, 1);
}

// --- XPM colours --------------------------------------------------------------------------------------

TEST_F(LibReadersTest, XpmColourForms) {
    TempDir dir;
    const std::string path = dir.file("c.xpm");
    WriteFileBytes(path,
                   "/* XPM */\nstatic char *c[] = {\n/* w h n cpp */\n\"6 1 6 1\",\n"
                   "\"a c red\", \"b c #00F\", \"c c #123456\", \"d c None\", \"e c Gray50\", \"f "
                   "c #FFFF80000000\",\n"
                   "\"abcdef\"};\n");
    ASSERT_EQ(Isolated([&] { XPMLoad(path, img); }).group, 0) << ErrLastText();
    const uint8_t want[6][3] = {{255, 0, 0}, {0, 0, 255},     {0x12, 0x34, 0x56},
                                {0, 0, 0},   {127, 127, 127}, {255, 128, 0}};
    for (size_t i = 0; i < 6; ++i) {
        uint8_t rgb[3];
        PixelRgb(img, i, rgb);
        EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 3), std::vector<uint8_t>(want[i], want[i] + 3))
            << i;
    }
    ImgFree(img);
    WriteFileBytes(path, "! XPM2\n2 1 2 1\na c #FF0000\nb c white\nba\n");
    ASSERT_EQ(Isolated([&] { XPMLoad(path, img); }).group, 0) << ErrLastText();
    EXPECT_EQ(std::vector<uint8_t>(img.data, img.data + 6),
              (std::vector<uint8_t>{255, 255, 255, 0, 0, 255}));
}

// --- Failures -----------------------------------------------------------------------------------------

TEST_F(LibReadersTest, FailuresGiveTheDocumentedErrors) {
    TempDir dir;
    const std::string png = ReadFileBytes(Fixture("png/rgb.png"));
    std::string badCrc = png;
    badCrc[29] ^= 1;  // IHDR's CRC
    struct {
        LoadFn load;
        std::string bytes;  // empty: a missing file
        int32_t group, code;
    } const cases[] = {
        {JPGLoad, "", ERR_IMG, 8},
        {JPGLoad, "\xFF\xD8\xFF\xE0 not really", ERR_IMG, 8},
        {PNGLoad, "", ERR_FILE, 1},
        {PNGLoad, "GIF89a and so on", ERR_IMG, 2},
        {PNGLoad, badCrc, ERR_LIBRARY, ERR_MSGONLY},
        {PNGLoad, png.substr(0, png.size() / 2), ERR_LIBRARY, ERR_MSGONLY},
        {TIFLoad, "", ERR_IMG, 8},
        {TIFLoad, "II*\0 but nothing more", ERR_LIBRARY, ERR_MSGONLY},
        {XPMLoad, "", ERR_IMG, 8},
        // A header that asks for far more pixels than the file holds is refused before decoding.
        {XPMLoad, "/* XPM */\nstatic char *x[] = {\"60000 60000 1 1\", \"a c red\", \"a\"};\n",
         ERR_IMG, 8},
        // libXpm would lose the memory of the first value of a key given twice.
        {XPMLoad, "/* XPM */\nstatic char *x[] = {\"1 1 1 1\", \"a c red c blue\", \"a\"};\n",
         ERR_IMG, 8},
    };
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(i);
        const std::string path = dir.file("f" + std::to_string(i++));
        if (!c.bytes.empty()) WriteFileBytes(path, c.bytes);
        const Call r = Isolated([&] { c.load(path, img); });
        EXPECT_EQ(r.group, c.group) << r.text;
        EXPECT_EQ(r.code, c.code) << r.text;
        if (c.group == ERR_LIBRARY) {
            EXPECT_FALSE(r.text.empty());
        }
    }
}

// Truncated and bit-flipped copies of every fixture: no crash, a documented error or a picture,
// and the tracked register as before.
TEST_F(LibReadersTest, DamagedFilesFailCleanly) {
    struct Reader {
        const char* ext;
        LoadFn load;
        InfoFn info;
    };
    const Reader readers[] = {{".jpg", JPGLoad, JPGInfo},
                              {".png", PNGLoad, PNGInfo},
                              {".tif", TIFLoad, TIFInfo},
                              {".xpm", XPMLoad, XPMInfo}};
    struct Entry {
        std::string file;
        Reader r;
    };
    std::vector<Entry> files;
    for (const Reader& r : readers)
        for (const auto& e :
             std::filesystem::directory_iterator(Fixture(r.ext + 1)))  // "jpg/" for ".jpg"
            if (e.path().extension() == r.ext) files.push_back({e.path().string(), r});
    std::sort(files.begin(), files.end(),
              [](const Entry& a, const Entry& b) { return a.file < b.file; });
    ASSERT_GE(files.size(), 19u);
    TempDir dir;
    std::mt19937 rng(2024);
    for (const Entry& f : files) {
        const std::string good = ReadFileBytes(f.file);
        std::vector<std::string> variants;
        for (size_t cut : {size_t{0}, size_t{3}, size_t{20}, good.size() / 3, good.size() - 1})
            variants.push_back(good.substr(0, cut));
        for (int i = 0; i < 60; ++i) {
            std::string v = good;
            // A third each in the first and the last 200 bytes (headers, tables, a TIFF's directory
            // written after the pixels), the rest anywhere.
            const size_t zone = std::min<size_t>(200, v.size());
            const size_t at = i % 3 == 0   ? rng() % v.size()
                              : i % 3 == 1 ? rng() % zone
                                           : v.size() - 1 - rng() % zone;
            v[at] = static_cast<char>(v[at] ^ (1 << (rng() % 8)));
            variants.push_back(v);
        }
        const std::string path = dir.file(std::string("v") + f.r.ext);
        for (size_t i = 0; i < variants.size(); ++i) {
            WriteFileBytes(path, variants[i]);
            QffInfo info;
            FFClearInfo(info);
            for (int pass = 0; pass < 3; ++pass) {
                // The band decode is JPEG's alone; it takes the size the info pass reported.
                if (pass == 2 && (f.r.load != JPGLoad || info.width <= 0 || info.height <= 0))
                    break;
                int64_t rows = 0;
                const Call r = pass == 2 ? Isolated([&] {
                    JPGLoadRows(path, info.width, info.height,
                                [&](const uint8_t*, int32_t count) { rows += count; });
                })
                               : pass    ? Isolated([&] { f.r.load(path, img); })
                                         : Isolated([&] { f.r.info(path, info); });
                EXPECT_LE(rows, info.height);
                const bool documented = r.group == 0 || r.group == ERR_IMG ||
                                        r.group == ERR_LIBRARY ||
                                        (r.group == ERR_FILE && (r.code == 3 || r.code == 5));
                EXPECT_TRUE(documented) << f.file << " variant " << i << ": " << r.text;
                if (pass && r.group == 0) {
                    EXPECT_EQ(img.size, img.width * img.height * img.bytesPP);
                }
                ImgFree(img);
            }
        }
    }
}

}  // namespace
