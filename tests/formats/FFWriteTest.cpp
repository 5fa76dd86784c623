#include "formats/FFWrite.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/ConFormStill.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le(const std::string& s, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

struct FFWriteTest : test::RegisterBalanceTest {
    void TearDown() override {
        ImgFree(pic);
        ImgFree(back);
        RegisterBalanceTest::TearDown();
    }
    // A 5 x 3 picture (odd width, so BMP rows need padding) at `bits`: an 8-bit picture with
    // its own palette, or a 24-bit gradient converted to the depth.
    void Make(int32_t bits) {
        if (bits == 8) {
            _imgalloc_(pic, 5, 3, "FFWriteTest.pic", __LINE__, 8);
            for (int i = 0; i < 15; ++i) pic.data[i] = static_cast<uint8_t>(i * 17);
            for (int i = 0; i < 256; ++i)
                pic.palette[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)};
            return;
        }
        _imgalloc_(pic, 5, 3, "FFWriteTest.pic", __LINE__, 24);
        for (int i = 0; i < 45; ++i) pic.data[i] = static_cast<uint8_t>(i * 37 + 11);
        if (bits != 24) ImgConvBpp(pic, pic, bits);
    }
    // The picture's pixels as red, green, blue bytes (through a 24-bit copy).
    Bytes Rgb(Qimg& image) {
        Qimg t{};
        ImgConvBpp(image, t, 24);
        Bytes out(t.data, t.data + t.size);
        for (size_t i = 0; i + 2 < out.size(); i += 3) std::swap(out[i], out[i + 2]);
        ImgFree(t);
        return out;
    }
    TempDir dir;
    Qimg pic{};
    Qimg back{};
};

// Reads a PNG with libpng: colour type, palette (red, green, blue) and the rows.
struct PngPicture {
    int colourType = -1;
    uint32_t width = 0, height = 0;
    Bytes palette;
    Bytes rows;
};

PngPicture ReadPng(const std::string& path) {
    PngPicture out;
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) return out;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(fp);
        out.colourType = -1;
        return out;
    }
    png_init_io(png, fp);
    png_read_info(png, info);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.colourType = png_get_color_type(png, info);
    png_colorp colours = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &colours, &count))
        for (int i = 0; i < count; ++i)
            out.palette.insert(out.palette.end(),
                               {colours[i].red, colours[i].green, colours[i].blue});
    const size_t rowBytes = png_get_rowbytes(png, info);
    out.rows.resize(rowBytes * out.height);
    for (uint32_t y = 0; y < out.height; ++y)
        png_read_row(png, out.rows.data() + y * rowBytes, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(fp);
    return out;
}

}  // namespace

TEST_F(FFWriteTest, PpmIsBinaryRgb) {
    for (int32_t bits : {8, 15, 24, 32}) {
        SCOPED_TRACE(bits);
        Make(bits);
        const std::string path = dir.file("a.ppm");
        MonitoredIsolated([&] { ImgSavePPM(path, pic); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        const std::string header = "P6\n5 3\n255\n";
        const std::string bytes = ReadFileBytes(path);
        EXPECT_EQ(bytes.substr(0, header.size()), header);
        const Bytes rgb = Rgb(pic);
        EXPECT_EQ(Bytes(bytes.begin() + header.size(), bytes.end()), rgb);
        EXPECT_EQ(pic.bitsPP, bits);  // the source is left as it was
        ImgFree(pic);
    }
}

// Bands of any size make ImgSavePPM's file; more rows than the header promised, or fewer, fail.
TEST_F(FFWriteTest, PpmWriterTakesBands) {
    Make(24);
    const std::string whole = dir.file("whole.ppm"), banded = dir.file("banded.ppm");
    MonitoredIsolated([&] { ImgSavePPM(whole, pic); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    const Bytes rgb = Rgb(pic);
    QPpmWriter w{};
    MonitoredIsolated([&] {
        PPMWriterCreate(w, banded, 5, 3);
        PPMWriterAdd(w, rgb.data(), 2);
        PPMWriterAdd(w, rgb.data() + 2 * 15, 1);
        PPMWriterClose(w);
    });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(ReadFileBytes(banded), ReadFileBytes(whole));

    for (int32_t rows : {4, 2}) {
        SCOPED_TRACE(rows);
        MonitoredIsolated([&] {
            PPMWriterCreate(w, banded, 5, 3);
            for (int32_t y = 0; y < rows; ++y) PPMWriterAdd(w, rgb.data(), 1);
        });
        if (ErrNone()) MonitoredIsolated([&] { PPMWriterClose(w); });
        EXPECT_EQ(ErrLastGroup(), ERR_IMG);
        EXPECT_EQ(ErrLastCode(), IMG_CREATE);
    }
}

TEST_F(FFWriteTest, BmpLayoutPerDepth) {
    struct Case {
        int32_t bits;
        uint32_t fileBits, compression, offset, stride;
    };
    const Case cases[] = {{8, 8, 0, 14 + 40 + 1024, 8},
                          {15, 16, 0, 54, 12},
                          {16, 16, 3, 54 + 12, 12},
                          {24, 24, 0, 54, 16},
                          {32, 32, 0, 54, 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        Make(c.bits);
        const std::string path = dir.file("a.bmp");
        MonitoredIsolated([&] { ImgSaveBMP(path, pic); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        const std::string f = ReadFileBytes(path);
        ASSERT_EQ(f.size(), c.offset + 3 * c.stride);
        EXPECT_EQ(f.substr(0, 2), "BM");
        EXPECT_EQ(Le(f, 2, 4), f.size());
        EXPECT_EQ(Le(f, 10, 4), c.offset);
        EXPECT_EQ(Le(f, 22, 4), 3u);  // positive height: bottom-up rows
        EXPECT_EQ(Le(f, 28, 2), c.fileBits);
        EXPECT_EQ(Le(f, 30, 4), c.compression);
        if (c.bits == 16) {  // red, green and blue masks of 5-6-5
            EXPECT_EQ(f.substr(54, 12), std::string("\0\xF8\0\0\xE0\x07\0\0\x1F\0\0\0", 12));
        }
        if (c.bits == 8) {
            EXPECT_EQ(Le(f, 54 + 4 * 100, 4), 100u | (155u << 8) | (50u << 16));
        }
        ImgFree(pic);
    }
}

TEST_F(FFWriteTest, BmpRoundTripsThroughTheReader) {
    for (int32_t bits : {8, 15, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        Make(bits);
        const std::string path = dir.file("a.bmp");
        MonitoredIsolated([&] { ImgSaveBMP(path, pic); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        MonitoredIsolated([&] { ImgLoad(path, back, BAD_HANDLE); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        EXPECT_EQ(back.width, 5);
        EXPECT_EQ(back.height, 3);
        EXPECT_EQ(Rgb(back), Rgb(pic));
        if (bits != 16) {
            EXPECT_EQ(back.bitsPP, bits);
            EXPECT_EQ(Bytes(back.data, back.data + back.size), Bytes(pic.data, pic.data + pic.size));
        }
        ImgFree(pic);
        ImgFree(back);
    }
}

TEST_F(FFWriteTest, PngReadsBackWithLibpng) {
    for (int32_t bits : {8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        Make(bits);
        const std::string path = dir.file("a.png");
        MonitoredIsolated([&] { ImgSavePNG(path, pic); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        const PngPicture png = ReadPng(path);
        EXPECT_EQ(png.width, 5u);
        EXPECT_EQ(png.height, 3u);
        if (bits == 8) {
            ASSERT_EQ(png.colourType, PNG_COLOR_TYPE_PALETTE);
            EXPECT_EQ(png.rows, Bytes(pic.data, pic.data + pic.size));
            ASSERT_EQ(png.palette.size(), 768u);
            EXPECT_EQ((Bytes{png.palette[300], png.palette[301], png.palette[302]}),
                      (Bytes{50, 155, 100}));
        } else {
            ASSERT_EQ(png.colourType, PNG_COLOR_TYPE_RGB);
            EXPECT_EQ(png.rows, Rgb(pic));
        }
        ImgFree(pic);
    }
}

TEST_F(FFWriteTest, FailuresReportAndLeaveNothingBehind) {
    // A file-size limit makes writes past 200 bytes fail (EFBIG instead of the signal).
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    using Writer = void (*)(const std::string&, Qimg&);
    for (Writer write : {ImgSavePPM, ImgSaveBMP, ImgSavePNG}) {
        const std::string path = dir.file("out");
        MonitoredIsolated([&] { write(path, pic); });  // no picture
        EXPECT_EQ(ErrLastText(), "Cannot create image file.");
        _imgalloc_(pic, 64, 64, "FFWriteTest.pic", __LINE__, 24);
        for (int32_t i = 0; i < pic.size; ++i) pic.data[i] = static_cast<uint8_t>(i * 7 + i / 13);
        MonitoredIsolated([&] { write(dir.file("no/such/out"), pic); });
        EXPECT_EQ(ErrLastText(), "Cannot create file: " + dir.file("no/such/out"));
        rlimit small = old;
        small.rlim_cur = 200;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        MonitoredIsolated([&] { write(path, pic); });
        const std::string text = ErrLastText();
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(text, "Cannot write to file.");
        EXPECT_FALSE(std::filesystem::exists(path));  // the partial file is gone
        ImgFree(pic);
    }
    std::signal(SIGXFSZ, oldHandler);
}
