#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

using Bytes = std::vector<uint8_t>;

struct ImgBuildTest : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        std::memset(static_cast<void*>(&img), 0, sizeof img);
    }
    void TearDown() override {
        ImgFree(img);
        RegisterBalanceTest::TearDown();
    }
    Qimg img;
};

void Put32(Bytes& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// A packed bitmap: header, `entries` colour-table entries (entry i = i, i + 1, i + 2, 0), then
// `rowBytes` bytes of 0xAB.
Bytes Dib(int32_t w, int32_t h, uint16_t bits, uint32_t used, int entries, size_t rowBytes,
          uint32_t headerSize = 40) {
    const size_t rows = headerSize + 4 * static_cast<size_t>(entries);
    Bytes v(rows + rowBytes, 0xAB);
    std::fill(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(rows), 0);
    Put32(v, 0, headerSize);
    Put32(v, 4, static_cast<uint32_t>(w));
    Put32(v, 8, static_cast<uint32_t>(h));
    v[14] = static_cast<uint8_t>(bits);
    Put32(v, 32, used);
    for (int i = 0; i < entries; ++i)
        for (int k = 0; k < 3; ++k) v[headerSize + 4 * i + k] = static_cast<uint8_t>(i + k);
    return v;
}

}  // namespace

TEST(ImgRowTo24Test, ExpandsAndReordersPixels) {
    const uint8_t words[] = {0xFF, 0x7F, 0x00, 0x7C};
    uint8_t out[6];
    ImgRowTo24(false, 2, 2, out, words);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{248, 248, 248, 248, 0, 0}));  // red first
    ImgRowTo24(true, 2, 2, out, words);
    EXPECT_EQ(Bytes(out + 3, out + 6), (Bytes{0, 0, 248}));
    const uint8_t quads[] = {1, 2, 3, 4, 5, 6, 7, 8};
    ImgRowTo24(false, 4, 2, out, quads);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{1, 2, 3, 5, 6, 7}));
    ImgRowTo24(true, 3, 2, out, quads);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{3, 2, 1, 6, 5, 4}));
}

TEST(PalGreyRampTest, RampsUpAndDown) {
    QBGR pal[256];
    PalGreyRamp(pal);
    EXPECT_EQ(pal[171].blue, 171);
    pal[255] = {7, 8, 9};
    PalGreyRampInv(pal);
    EXPECT_EQ(pal[0].red, 255);
    EXPECT_EQ(pal[254].green, 1);
    EXPECT_EQ(pal[255].red, 9);  // not written
}

TEST_F(ImgBuildTest, MakeQimgReordersRowsAndDropsPadding) {
    Bytes buffer(52 * 3);
    for (int r = 0; r < 3; ++r)
        std::fill_n(buffer.begin() + r * 52, 51, static_cast<uint8_t>(r + 1));
    MakeQimg(img, buffer.data(), 17, false, 52, 24, 3);
    EXPECT_EQ(img.size, 153);
    EXPECT_EQ(img.data[50], 3);  // the buffer's last row comes first
    EXPECT_EQ(img.data[51], 2);
    EXPECT_EQ(img.data[152], 1);
    MakeQimg(img, buffer.data(), 26, true, 52, 16, 3);  // stride = row length
    EXPECT_EQ(std::memcmp(img.data, buffer.data(), 156), 0);
}

TEST_F(ImgBuildTest, DibToQimgReadsTablesAndRows) {
    Bytes dib = Dib(3, 2, 8, 0, 256, 8);
    dib[40 + 1024] = 9;      // first stored row = bottom row
    dib[40 + 1024 + 4] = 5;  // rows padded to 4 bytes
    DibToQimg(img, dib.data(), static_cast<int64_t>(dib.size()));
    EXPECT_EQ(img.bitsPP, 8);
    EXPECT_EQ(Bytes(img.data, img.data + 6), (Bytes{5, 0xAB, 0xAB, 9, 0xAB, 0xAB}));
    EXPECT_EQ(img.palette[255].green, 0);  // (255 + 1) as a byte
    EXPECT_EQ(img.palette[10].red, 12);

    dib = Dib(1, 1, 8, 2, 2, 4, 52);  // the table follows the whole 52-byte header
    img.palette[2] = {77, 77, 77};
    DibToQimg(img, dib.data(), static_cast<int64_t>(dib.size()));
    EXPECT_EQ(img.palette[1].red, 3);
    EXPECT_EQ(img.palette[2].blue, 77);

    dib = Dib(1, 2, 16, 0, 0, 8);
    DibToQimg(img, dib.data(), static_cast<int64_t>(dib.size()));
    EXPECT_EQ(img.bitsPP, 15);
    dib = Dib(2, -2, 24, 0, 0, 16);  // negative height: top-down rows
    dib[40] = 1;
    DibToQimg(img, dib.data(), static_cast<int64_t>(dib.size()));
    EXPECT_EQ(img.height, 2);
    EXPECT_EQ(img.data[0], 1);
}

TEST_F(ImgBuildTest, DibToQimgRejectsBadHeadersAndShortBlocks) {
    const Bytes ok = Dib(4, 4, 24, 0, 0, 48);
    auto with = [&](size_t at, uint32_t value) {
        Bytes v = ok;
        Put32(v, at, value);
        return v;
    };
    struct Case {
        const char* what;
        Bytes dib;
        int64_t cut;  // bytes withheld from the block's length
        int32_t code;
    };
    const std::vector<Case> cases = {
        {"header cut short", ok, static_cast<int64_t>(ok.size()) - 39, 4},
        {"header size beyond the block", with(0, 1000), 0, 4},
        {"header size below 40", with(0, 12), 0, 4},
        {"zero width", with(4, 0), 0, 4},
        {"negative width", with(4, 0xFFFFFFFC), 0, 4},
        {"zero height", with(8, 0), 0, 4},
        {"lowest height", with(8, 0x80000000), 0, 4},
        {"4 bits", Dib(4, 4, 4, 0, 16, 16), 0, 2},
        {"compressed", with(16, 1), 0, 1},
        {"too many colours", Dib(4, 4, 8, 257, 257, 16), 0, 4},
        {"rows cut short", ok, 1, 9},
        {"table cut short", Dib(4, 1, 8, 0, 100, 0), 0, 9},
        {"absurd width", Dib(0x7FFFFFFF, 1, 32, 0, 0, 16), 0, 4},
        {"absurd height", Dib(1, 0x7FFFFFFF, 8, 1, 1, 16), 0, 9},
    };
    for (const Case& c : cases) {
        EXPECT_THROW(DibToQimg(img, c.dib.data(), static_cast<int64_t>(c.dib.size()) - c.cut), EMon)
            << c.what;
        EXPECT_EQ(ErrLastGroup(), ERR_IMG) << c.what;
        EXPECT_EQ(ErrLastCode(), c.code) << c.what;
        EXPECT_FALSE(ImgValid(img)) << c.what;
    }
    EXPECT_THROW(DibToQimg(img, nullptr, 100), EMon);
}
