#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

using Bytes = std::vector<uint8_t>;

struct ImgConvTest : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        for (Qimg* img : {&a, &b, &c}) std::memset(static_cast<void*>(img), 0, sizeof(Qimg));
    }
    void TearDown() override {
        for (Qimg* img : {&a, &b, &c}) ImgFree(*img);
        RegisterBalanceTest::TearDown();
    }
    static void Make(Qimg& img, int32_t w, int32_t h, int32_t bits, const Bytes& bytes) {
        _imgalloc_(img, w, h, "ImgConvTest.img", __LINE__, bits);
        ASSERT_EQ(bytes.size(), static_cast<size_t>(img.size));
        std::memcpy(img.data, bytes.data(), bytes.size());
    }
    static Bytes Pixels(const Qimg& img) {
        return Bytes(img.data, img.data + img.width * img.height * img.bytesPP);
    }
    static uint32_t Word(const Qimg& img, int k) {
        return img.data[2 * k] | img.data[2 * k + 1] << 8;
    }
    static void ExpectError(int32_t group, int32_t code) {
        EXPECT_EQ(ErrLastGroup(), group);
        EXPECT_EQ(ErrLastCode(), code);
    }
    Qimg a, b, c;
};

}  // namespace

TEST_F(ImgConvTest, ConversionRulesAreBitExact) {
    Make(a, 1, 1, 24, {255, 128, 0});
    ImgConvBpp(a, b, 16);
    EXPECT_EQ(Word(b, 0), 0x041Fu);
    ImgConvBpp(a, b, 15);
    EXPECT_EQ(Word(b, 0), 0x021Fu);

    Make(a, 2, 1, 15, {0xFF, 0x7F, 0x00, 0x7C});
    ImgConvBpp(a, b, 32);
    EXPECT_EQ(Pixels(b), (Bytes{248, 248, 248, 0, 0, 0, 248, 0}));
    Make(a, 1, 1, 16, {0xFF, 0xFF});
    ImgConvBpp(a, b, 24);
    EXPECT_EQ(Pixels(b), (Bytes{248, 252, 248}));

    // 15 -> 16 opens a zero green bit (the unused top bit goes); 16 -> 15 drops it.
    Make(a, 1, 1, 15, {0x66, 0xD5});  // unused bit, red 0x15, green 0x0B, blue 0x06
    ImgConvBpp(a, b, 16);
    EXPECT_EQ(Word(b, 0), static_cast<uint32_t>(0x15 << 11 | 0x16 << 5 | 0x06));
    Make(a, 1, 1, 16, {0xE6, 0xAA});  // red 0x15, green 0x17, blue 0x06
    ImgConvBpp(a, b, 15);
    EXPECT_EQ(Word(b, 0), static_cast<uint32_t>(0x15 << 10 | 0x0B << 5 | 0x06));

    // Palette sources: each 8 -> depth result equals 8 -> 24 -> depth.
    Make(a, 3, 1, 8, {0, 1, 2});
    a.palette[0] = {255, 128, 0};
    a.palette[1] = {8, 16, 24};
    a.palette[2] = {1, 2, 3};
    ImgConvBpp(a, c, 24);
    EXPECT_EQ(Pixels(c), (Bytes{255, 128, 0, 8, 16, 24, 1, 2, 3}));
    for (int32_t bits : {15, 16, 32}) {
        ImgConvBpp(a, b, bits);
        Qimg viaTrue{};
        ImgConvBpp(c, viaTrue, bits);
        EXPECT_EQ(Pixels(b), Pixels(viaTrue)) << bits;
        ImgFree(viaTrue);
    }
}

TEST_F(ImgConvTest, RoundTripsAcrossAllDepthPairs) {
    // Channels that every depth holds exactly (multiples of 8) survive any round trip.
    Bytes bytes;
    for (int k = 0; k < 36; ++k)
        bytes.push_back(static_cast<uint8_t>((k * 37 + k / 3 * 91) % 32 * 8));
    Make(c, 4, 3, 24, bytes);
    for (int32_t from : {15, 16, 24, 32}) {
        ImgConvBpp(c, a, from);
        for (int32_t to : {15, 16, 24, 32}) {
            ImgConvBpp(a, b, to);
            EXPECT_EQ(b.bitsPP, to);
            ImgConvBpp(b, b, from);  // back, in place
            EXPECT_EQ(Pixels(b), Pixels(a)) << from << " -> " << to;
        }
    }
}

TEST_F(ImgConvTest, SameRecordConversion) {
    Make(a, 2, 1, 24, Bytes(6, 0x80));
    uint8_t* before = a.data;
    ImgConvBpp(a, a, 24);  // same depth: nothing at all
    EXPECT_EQ(a.data, before);
    ImgConvBpp(a, a, 32);
    EXPECT_EQ(a.bytesPP, 4);
    EXPECT_EQ(Pixels(a), (Bytes{0x80, 0x80, 0x80, 0, 0x80, 0x80, 0x80, 0}));
    EXPECT_EQ(MemCount(), blocks + 1);

    // A redirected record gets an owned block; the foreign pixels stay untouched.
    uint8_t foreign[4] = {0xFF, 0x7F, 0x00, 0x00};
    ImgRedirect(a, foreign, 2, 15, 1);
    ImgConvBpp(a, a, 24);
    EXPECT_EQ(a.redirected, 0);
    EXPECT_EQ(Pixels(a), (Bytes{248, 248, 248, 0, 0, 0}));
    EXPECT_EQ(foreign[0], 0xFF);
}

TEST_F(ImgConvTest, GreyUsesTheWidenedChannels) {
    Make(a, 2, 1, 32, {30, 60, 90, 200, 255, 255, 255, 0});
    ImgConvBppEx(a, b, 8, 3);
    EXPECT_EQ(Pixels(b), (Bytes{60, 255}));
    EXPECT_EQ(b.palette[77].green, 77);
    // 15 bits: black (7 + 14 + 7) / 3 = 9, white (255 + 254 + 255) / 3 = 254; green 1 -> 8 | 14.
    Make(a, 3, 1, 15, {0, 0, 0xFF, 0x7F, 0x20, 0x00});
    ImgConvBppEx(a, b, 8, 3);
    EXPECT_EQ(Pixels(b), (Bytes{9, 254, 9}));
    // 16 bits: black (7 + 6 + 7) / 3 = 6; green 1 -> 4 | 6.
    Make(a, 3, 1, 16, {0, 0, 0xFF, 0xFF, 0x20, 0x00});
    ImgConvBppEx(a, a, 8, 3);
    EXPECT_EQ(Pixels(a), (Bytes{6, 254, 6}));
}

TEST_F(ImgConvTest, BadInputsRaiseAndReleaseTemporaries) {
    EXPECT_THROW(ImgConvBpp(a, b, 24), EMon);  // empty record
    ExpectError(ERR_IMG, 2);
    EXPECT_THROW(ImgFlipV(a, b), EMon);
    ExpectError(ERR_IMG, 2);
    Make(a, 4, 4, 16, Bytes(32));
    EXPECT_THROW(ImgConvBpp(a, b, 12), EMon);
    ExpectError(ERR_IMG, 1);
    EXPECT_THROW(ImgConvBppEx(a, b, 8, 4), EMon);
    ExpectError(ERR_IMG, 6);
    EXPECT_THROW(ImgResize(a, b, 0, 3), EMon);
    ExpectError(ERR_IMG, 6);
    QImgInfo info;
    ImgInfo(info, IMGOP_RESIZE);
    QImgJob job;
    EXPECT_THROW(ImgInitEx(info, job, a, 2, 2, nullptr), EMon);  // cannot work in place
    ExpectError(ERR_IMG, 6);
    // The 24-bit working copy is made, then the huge result cannot be.
    EXPECT_THROW(ImgResize(a, a, 70000, 70000), EMon);
    ExpectError(ERR_MEM, 5);
    EXPECT_EQ(MemCount(), blocks + 1);
    ImgSetSize(a, 5, 5, 16);  // header claims more pixels than the block holds
    EXPECT_THROW(ImgSwapRB(a, a), EMon);
    ExpectError(ERR_IMG, 2);
    EXPECT_FALSE(ImgValid(b));
}

TEST_F(ImgConvTest, FlipVMirrorsRows) {
    Make(a, 2, 3, 8, {1, 2, 3, 4, 5, 6});
    a.palette[6] = {9, 9, 9};
    ImgFlipV(a, b);
    EXPECT_EQ(Pixels(b), (Bytes{5, 6, 3, 4, 1, 2}));
    EXPECT_EQ(b.palette[6].red, 9);
    ImgFlipV(a, a);  // odd height: the middle row stays
    EXPECT_EQ(Pixels(a), Pixels(b));
}

TEST_F(ImgConvTest, SwapRBExchangesRedAndBlue) {
    Make(a, 2, 1, 32, {1, 2, 3, 4, 5, 6, 7, 8});
    ImgSwapRB(a, a);
    EXPECT_EQ(Pixels(a), (Bytes{3, 2, 1, 4, 7, 6, 5, 8}));
    // 8 bits: the palette is exchanged, the indices go over unchanged.
    Make(a, 2, 1, 8, {7, 200});
    a.palette[7] = {10, 20, 30};
    ImgSwapRB(a, b);
    EXPECT_EQ(Pixels(b), (Bytes{7, 200}));
    EXPECT_EQ(b.palette[7].blue, 30);
    EXPECT_EQ(a.palette[7].blue, 10);
    // 15 and 16 bits: the 5-bit red and blue fields change places.
    Make(a, 1, 1, 15, {0x1F, 0x83});  // blue 31, green 24, unused bit set
    ImgSwapRB(a, a);
    EXPECT_EQ(Word(a, 0), 0x8000u | 31 << 10 | 24 << 5);
    Make(a, 1, 1, 16, {0x25, 0x68});  // red 13, green 1, blue 5
    ImgSwapRB(a, a);
    EXPECT_EQ(Word(a, 0), static_cast<uint32_t>(5 << 11 | 1 << 5 | 13));
}

TEST_F(ImgConvTest, ResizePicksNearestColumnsAndRows) {
    Make(a, 4, 1, 8, {'a', 'b', 'c', 'd'});
    a.palette[uint8_t{'c'}] = {1, 2, 3};
    ImgResize(a, b, 8, 1);
    EXPECT_EQ(Pixels(b), (Bytes{'a', 'a', 'b', 'b', 'c', 'c', 'd', 'd'}));
    EXPECT_EQ(b.palette[uint8_t{'c'}].red, 3);
    ImgResize(a, b, 2, 1);
    EXPECT_EQ(Pixels(b), (Bytes{'a', 'c'}));
    Make(a, 5, 1, 8, {'a', 'b', 'c', 'd', 'e'});
    ImgResize(a, a, 2, 2);  // same record; the row is reused
    EXPECT_EQ(Pixels(a), (Bytes{'a', 'd', 'a', 'd'}));

    Make(a, 1, 4, 24, {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4});
    ImgResize(a, b, 1, 2);
    EXPECT_EQ(Pixels(b), (Bytes{1, 1, 1, 3, 3, 3}));
    ImgResize(a, b, 1, 8);
    EXPECT_EQ(b.data[3 * 5], 3);
    EXPECT_EQ(b.data[3 * 7], 4);
}

TEST_F(ImgConvTest, ResizeWorksAtTwentyFourBitsForOtherDepths) {
    Make(a, 2, 1, 16, {0xFF, 0xFF, 0x00, 0x00});
    ImgResize(a, b, 4, 1);
    EXPECT_EQ(b.bitsPP, 24);
    EXPECT_EQ(Pixels(b), (Bytes{248, 252, 248, 248, 252, 248, 0, 0, 0, 0, 0, 0}));
    Make(a, 2, 1, 32, {1, 2, 3, 4, 5, 6, 7, 8});
    ImgResize(a, a, 1, 1);
    EXPECT_EQ(Pixels(a), (Bytes{1, 2, 3}));
    EXPECT_EQ(MemCount(), blocks + 2);
}

TEST_F(ImgConvTest, InsertClipsAtEveryEdge) {
    Make(a, 2, 2, 8, {1, 2, 3, 4});
    a.palette[4] = {4, 4, 4};
    Make(b, 3, 3, 8, Bytes(9, 0));
    ImgInsert(a, b, 3, 0);  // x = width: nothing
    ImgInsert(a, a, 0, 0);  // same record: nothing
    ImgInsert(a, b, -2, 0);
    ImgInsert(a, b, INT32_MIN, INT32_MIN);
    EXPECT_EQ(Pixels(b), Bytes(9, 0));
    ImgInsert(a, b, 2, 1);
    ImgInsert(a, b, -1, -1);
    EXPECT_EQ(Pixels(b), (Bytes{4, 0, 0, 0, 0, 1, 0, 0, 3}));
    EXPECT_EQ(b.palette[4].red, 4);

    uint8_t foreign[4] = {};  // a redirected destination receives the pixels itself
    ImgRedirect(c, foreign, 2, 8, 2);
    ImgInsert(a, c, 1, 1);
    EXPECT_EQ(c.data, foreign);
    EXPECT_EQ(foreign[3], 1);
}

TEST_F(ImgConvTest, InsertWorksAtTheHigherDepth) {
    Make(a, 1, 1, 8, {3});
    a.palette[3] = {10, 20, 30};
    Make(b, 2, 1, 24, {1, 1, 1, 2, 2, 2});
    ImgInsert(a, b, 1, 0);  // the source is raised to 24 bits
    EXPECT_EQ(Pixels(b), (Bytes{1, 1, 1, 10, 20, 30}));
    Make(c, 2, 1, 8, {3, 3});
    c.palette[3] = {5, 6, 7};
    Make(a, 1, 1, 24, {9, 8, 7});
    ImgInsert(a, c, 0, 0);  // the destination is raised to 24 bits
    EXPECT_EQ(Pixels(c), (Bytes{9, 8, 7, 5, 6, 7}));
}

TEST_F(ImgConvTest, SpriteSkipsTheKeyColour) {
    Make(a, 2, 1, 24, {0, 0, 0, 1, 2, 3});
    Make(b, 2, 1, 24, Bytes(6, 9));
    ImgSprite(a, b, 0, 0, 0);
    EXPECT_EQ(Pixels(b), (Bytes{9, 9, 9, 1, 2, 3}));
    ImgSprite(a, b, 0, 0, 0x030201);  // key = B + 256 G + 65536 R
    EXPECT_EQ(Pixels(b), (Bytes{0, 0, 0, 1, 2, 3}));
    Make(a, 2, 1, 32, {1, 2, 3, 0, 1, 2, 3, 1});  // the fourth byte counts
    Make(b, 2, 1, 32, Bytes(8, 9));
    ImgSprite(a, b, 0, 0, 0x00030201);
    EXPECT_EQ(Pixels(b), (Bytes{9, 9, 9, 9, 1, 2, 3, 1}));
    // The destination is brought to the sprite's depth.
    Make(a, 2, 1, 16, {0x34, 0x12, 0x35, 0x12});
    Make(b, 2, 1, 24, Bytes(6, 0));
    ImgSprite(a, b, 0, 0, 0x1234);
    EXPECT_EQ(b.bitsPP, 16);
    EXPECT_EQ(Word(b, 0), 0u);
    EXPECT_EQ(Word(b, 1), 0x1235u);
}

TEST_F(ImgConvTest, EightBitSpriteKeysOnIndices) {
    Make(a, 3, 1, 8, {0, 1, 2});
    a.palette[1] = {1, 2, 3};
    Make(b, 3, 1, 8, {7, 7, 7});
    ImgSprite(a, b, 0, 0, 0);
    EXPECT_EQ(Pixels(b), (Bytes{7, 1, 2}));
    EXPECT_EQ(b.palette[1].red, 3);
    // Over a true-colour picture the destination keeps its depth and its own colours; index
    // 2 is black like the key's colour yet is drawn.
    Make(c, 4, 1, 24, Bytes(12, 50));
    ImgSprite(a, c, 1, 0, 0);
    EXPECT_EQ(c.bitsPP, 24);
    EXPECT_EQ(Pixels(c), (Bytes{50, 50, 50, 50, 50, 50, 1, 2, 3, 0, 0, 0}));
}

TEST_F(ImgConvTest, QuantizerMethods) {
    Bytes bytes;
    for (int k = 0; k < 64; ++k) bytes.insert(bytes.end(), {uint8_t(k * 4 + 1), 40, 203});
    Make(a, 8, 8, 24, bytes);
    ImgConvBppEx(a, b, 8, 0);
    EXPECT_EQ(b.palette[b.data[63]].blue, 252);
    EXPECT_EQ(b.palette[b.data[63]].red, 200);
    ImgConvBppEx(a, b, 8, 2);  // light dither leaves the source alone
    EXPECT_EQ(Pixels(a), bytes);
    ImgConvBppEx(a, b, 8, 1);  // heavy dither diffuses into it
    EXPECT_NE(Pixels(a), bytes);
    ImgConvBpp(a, a, 8);
    EXPECT_EQ(a.bitsPP, 8);
}
