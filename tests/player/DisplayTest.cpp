// The screen routines drawing into an image, and the display without a window (no window
// system needed).
#include "player/HplDisplay.h"
#include "player/HplScreen.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "formats/HavDecode.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

// Pure colours (channels 0 or full), so that every depth holds them exactly.
const QRgb kColours[] = {qRgb(0, 0, 0),     qRgb(255, 0, 0),    qRgb(0, 255, 0),
                         qRgb(0, 0, 255),   qRgb(255, 255, 0),  qRgb(0, 255, 255),
                         qRgb(255, 0, 255), qRgb(255, 255, 255)};
QRgb ColourAt(int x, int y) { return kColours[(x + 3 * y) % 8]; }
const QRgb kCanvas = qRgb(1, 2, 3);

// A w x h picture at `bits` whose pixel (x, y) is ColourAt(x, y).
void MakePicture(Qimg& img, int32_t w, int32_t h, int32_t bits) {
    _imgalloc_(img, w, h, "DisplayTest.img", __LINE__, bits);
    for (int i = 0; i < 8; ++i)
        img.palette[i] = QBGR{uint8_t(qBlue(kColours[i])), uint8_t(qGreen(kColours[i])),
                              uint8_t(qRed(kColours[i]))};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb c = ColourAt(x, y);
            const uint32_t r = qRed(c), g = qGreen(c), b = qBlue(c);
            uint8_t* p = img.data + (y * w + x) * img.bytesPP;
            const uint16_t v = uint16_t(bits == 15 ? (r >> 3) << 10 | (g >> 3) << 5 | b >> 3
                                                   : (r >> 3) << 11 | (g >> 2) << 5 | b >> 3);
            if (bits == 8)
                *p = uint8_t((x + 3 * y) % 8);
            else if (bits < 24)
                std::memcpy(p, &v, 2);
            else
                p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r);
        }
}

QImage Canvas(int w, int h) {
    QImage c(w, h, QImage::Format_RGB32);
    c.fill(kCanvas);
    return c;
}

struct ScreenTest : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        unsetenv("KELVORA_SCREEN_DEPTH");
    }
    void TearDown() override {
        ImgFree(a);
        ImgFree(b);
        unsetenv("KELVORA_SCREEN_DEPTH");
        RegisterBalanceTest::TearDown();
    }
    Qimg a{}, b{};
};

}  // namespace

TEST_F(ScreenTest, EveryDepthDrawsItsOwnColoursOnATrueColourScreen) {
    // 17 pixels of 3 bytes are 51-byte rows: drawn through the padded row copy; 16 are not.
    const struct {
        int32_t bits, width;
    } cases[] = {{8, 17}, {15, 17}, {16, 17}, {24, 17}, {24, 16}, {32, 17}};
    for (const auto& c : cases) {
        MakePicture(a, c.width, 5, c.bits);
        QImage canvas = Canvas(c.width + 4, 8);
        {
            QPainter dc(&canvas);
            ImgPut(a, dc, 2, 1);
        }
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < c.width + 4; ++x) {
                const bool inside = x >= 2 && x < c.width + 2 && y >= 1 && y < 6;
                ASSERT_EQ(canvas.pixel(x, y) & 0xFFFFFF,
                          (inside ? ColourAt(x - 2, y - 1) : kCanvas) & 0xFFFFFF)
                    << c.bits << " bits, " << c.width << " wide, at " << x << "," << y;
            }
    }
    a.height = 40;  // a header larger than its pixels
    QImage canvas = Canvas(4, 4);
    QPainter dc(&canvas);
    EXPECT_THROW(ImgPut(a, dc, 0, 0), EMon);
    EXPECT_EQ(ErrLastCode(), 2);
    a.height = 5;
}

TEST_F(ScreenTest, SourceRectangleIsClippedAndStretchedOnRequest) {
    MakePicture(a, 17, 9, 24);
    const struct {
        QImgRect given, clipped;
    } cases[] = {
        {{0, 0, 0, 0}, {0, 0, 17, 9}},       // empty extents: the whole picture
        {{17, 9, 4, 4}, {0, 0, 4, 4}},       // starting beyond the edges: from 0
        {{10, 5, 100, 100}, {10, 5, 7, 4}},  // reaching past the edges: shortened
        {{-3, -1, 5, 5}, {0, 0, 5, 5}},
    };
    for (const auto& c : cases) {
        QImage canvas = Canvas(40, 20);
        QImgRect r = c.given;
        {
            QPainter dc(&canvas);
            ImgPutEx(a, r, dc, 0, 0, 0, 2 * c.given.width, 0);  // one side 0: no stretching
        }
        EXPECT_EQ(r.x, c.clipped.x);
        EXPECT_EQ(r.y, c.clipped.y);
        EXPECT_EQ(r.width, c.clipped.width);
        EXPECT_EQ(r.height, c.clipped.height);
        EXPECT_EQ(canvas.pixel(r.width - 1, r.height - 1),
                  ColourAt(r.x + r.width - 1, r.y + r.height - 1));
        EXPECT_EQ(canvas.pixel(r.width, 0), kCanvas);
    }
    QImage canvas = Canvas(8, 6);
    {
        QPainter dc(&canvas);
        QImgRect r{1, 1, 3, 2};
        ImgPutEx(a, r, dc, 0, 0, 0, 6, 4);  // twice the size
    }
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(canvas.pixel(x, y), ColourAt(1 + x / 2, 1 + y / 2)) << x << "," << y;
}

TEST_F(ScreenTest, PaletteScreenDrawsThroughTheRealisedPalette) {
    QImage canvas = Canvas(16, 4);
    EXPECT_FALSE(ScreenIsPalette(&canvas));
    setenv("KELVORA_SCREEN_DEPTH", "8", 1);
    EXPECT_TRUE(ScreenIsPalette(&canvas));

    // A true-colour picture is reduced by the quantizer; the screen shows its palette colours.
    MakePicture(a, 16, 4, 24);
    ImgConvBppEx(a, b, 8, 0);
    {
        QPainter dc(&canvas);
        ImgPut(a, dc, 0, 0);
    }
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 16; ++x) {
            const QBGR e = b.palette[b.data[y * 16 + x]];
            ASSERT_EQ(canvas.pixel(x, y), qRgb(e.red, e.green, e.blue)) << x << "," << y;
        }
    // Method 3 gives grey levels: yellow is (255 + 255 + 0) / 3.
    QImgRect r{4, 0, 1, 1};
    {
        QPainter dc(&canvas);
        ImgPutEx(a, r, dc, 3, 0, 0, 0, 0);
    }
    EXPECT_EQ(canvas.pixel(0, 0), qRgb(170, 170, 170));

    // An 8-bit picture shows the colours of the palette realised last, not its own.
    ImgFree(b);
    MakePicture(b, 8, 1, 8);
    QBGR grey[256];
    PalGreyRamp(grey);
    {
        QPainter dc(&canvas);
        PalPut(grey, dc);
        ImgPut(b, dc, 0, 0);
    }
    for (int x = 0; x < 8; ++x) EXPECT_EQ(canvas.pixel(x, 0), qRgb(x, x, x));
}

// --- ImgFromFn ------------------------------------------------------------------------------------

namespace {

void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
}

std::string Words(std::initializer_list<uint32_t> words) {
    std::string s;
    for (uint32_t v : words) Put32(s, v);
    return s;
}

// Most significant bit first, as the HAV token codecs read.
struct BitWriter {
    std::string bytes;
    int used = 0;
    void Put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i, ++used) {
            if (used % 8 == 0) bytes.push_back(0);
            if ((value >> i) & 1) bytes.back() = char(bytes.back() | (0x80 >> (used % 8)));
        }
    }
};

// A frame record with one image chunk of one stored, BEST-coded band.
std::string FrameRecord(const std::string& band, uint32_t rows) {
    return Words({0, 16, 1, 0}) + Words({4, 16, 1, 1}) +
           Words({0, 20, uint32_t(band.size()), rows, 1}) + band;
}

void FromBlock(const std::string& block, Qimg& img) {
    ImgFromFn(reinterpret_cast<const uint8_t*>(block.data()), int64_t(block.size()), img);
}

}  // namespace

TEST_F(ScreenTest, ImgFromFnBuildsRawAndCompressedPictures) {
    std::string pal(768, '\0');
    pal[3 * 5 + 2] = char(200);  // entry 5: red 200
    FromBlock(Words({1, 1, 3, 0}) + "abc", b);
    EXPECT_EQ(b.bitsPP, 24);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data), 3), "abc");

    // 4 x 2 at 8 bits: a literal 0x11, a run of seven 0x22, the end of the band.
    BitWriter t;
    t.Put(0x300 | 0x11, 10);
    t.Put(HAV_BEST_RUN | 0x22, 12);
    t.Put(7, HavLenBits(7));
    t.Put(HAV_BEST_LONG, 12);
    t.Put(0, 16);
    FromBlock(Words({4, 2, 1, 1}) + pal + FrameRecord(t.bytes, 2), a);
    EXPECT_EQ(a.bitsPP, 8);
    EXPECT_EQ(a.palette[5].red, 200);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a.data), 8),
              std::string("\x11\x22\x22\x22\x22\x22\x22\x22", 8));

    const std::string pal700 = pal.substr(0, 700);
    const struct {
        std::string block;
        int32_t code;
    } bad[] = {
        {Words({2, 2, 1}), 4},                     // header cut short
        {Words({2, 2, 5, 0}) + "xxxx", 4},         // 5 bytes per pixel
        {Words({0, 2, 3, 0}), 4},                  // no width
        {Words({70000, 1, 3, 0}), 4},              // wider than any picture
        {Words({2, 2, 4, 1}), 4},                  // compressed 32-bit pixels
        {Words({2, 2, 1, 0}) + pal700, 3},         // palette cut short
        {Words({2, 2, 3, 0}) + "abcdefghijk", 3},  // pixels cut short
        {Words({4, 2, 1, 1}) + pal + "short", 3},  // no frame record
        {Words({4, 2, 1, 1}) + pal + FrameRecord(std::string(4, '\xFF'), 2), 3},  // bad tokens
    };
    for (const auto& c : bad) {
        const int32_t before = MemCount();
        Qimg img{};
        EXPECT_THROW(FromBlock(c.block, img), EMon) << c.block.size();
        EXPECT_EQ(ErrLastGroup(), ERR_IMG);
        EXPECT_EQ(ErrLastCode(), c.code) << c.block.size();
        EXPECT_EQ(MemCount(), before);
    }
}

// --- The display without a window ---------------------------------------------------------------

TEST_F(ScreenTest, WindowlessDisplayKeepsAndCountsItsImages) {
    DspWindow* d = DspCreate(nullptr, 1, 2, 30, 20);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->window, nullptr);
    // Frames from another thread, as the player's worker hands them over.
    std::thread worker([&] {
        Qimg frame{};
        for (int i = 1; i <= 5; ++i) {
            MakePicture(frame, 6 + i, 3, 24);
            DspSetImage(d, frame);
        }
        ImgFree(frame);
    });
    worker.join();
    EXPECT_EQ(d->frames, 5);
    DspGetImage(d, a);
    MakePicture(b, 11, 3, 24);
    ASSERT_EQ(a.width, 11);
    EXPECT_EQ(std::memcmp(a.data, b.data, 11 * 3 * 3), 0);
    // A picture without pixels empties the display.
    DspSetImage(d, Qimg{});
    DspGetImage(d, a);
    EXPECT_FALSE(ImgValid(a));
    DspDestroy(d);
    EXPECT_EQ(d, nullptr);
}
