#include "formats/FF_BAY.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "formats/ConFormStill.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

// Samples of the reproducible test pattern: x = x * 1103515245 + 12345 (31 bits), sample =
// bits 16-23. The expected pictures below come from a separate straight-from-the-formulas
// implementation fed with the same pattern.
std::string PatternSamples(int32_t height) {
    std::string s(512 * height, '\0');
    uint32_t x = 12345;
    for (char& ch : s) {
        x = (x * 1103515245u + 12345u) & 0x7FFFFFFF;
        ch = static_cast<char>((x >> 16) & 255);
    }
    return s;
}

// A Bayer file: the samples, then the 1024-byte trailer.
std::string BayFile(const std::string& samples, const char* model, uint8_t mode, uint8_t exposure,
                    const char* signature = "BAY 2") {
    std::string trailer(1024, '\0');
    trailer.replace(0, 2, model, 2);
    trailer[2] = ' ';
    trailer.replace(3, 5, signature, 5);
    trailer[8] = static_cast<char>(mode);
    trailer[11] = static_cast<char>(exposure);
    return samples + trailer;
}

using kelvora::test::Fnv1a;

struct BayTest : test::RegisterBalanceTest {
    void TearDown() override {
        ImgFree(img);
        RegisterBalanceTest::TearDown();
    }
    std::string Write(const std::string& bytes) {
        const std::string path = dir.file("pic.bay");
        WriteFileBytes(path, bytes);
        return path;
    }
    bool Load(const std::string& bytes) {
        const std::string path = Write(bytes);
        MonitoredIsolated([&] { ImgLoad(path, img, BAD_HANDLE); });
        return ErrNone();
    }
    const uint8_t* Pixel(int32_t y, int32_t x) const {
        return img.data + (int64_t{y} * img.width + x) * img.bytesPP;
    }
    TempDir dir;
    Qimg img{};
};

}  // namespace

TEST_F(BayTest, InfoByModelModeAndExposure) {
    struct Case {
        int32_t height;
        const char* model;
        uint8_t mode, exposure;
        int32_t bits;
        double exposureValue;
        const char* compression;
    };
    const Case cases[] = {
        {144, "ML", 2, 4, 8, 250, "HG (monochrome)"},
        {384, "EK", 1, 3, 24, 1000, "HRC (color)"},
        {144, "EK", 2, 1, 8, 250, "HR (monochrome)"},
        {384, "RO", 1, 2, 24, 500, "RO (color)"},
        {144, "ML", 1, 8, 24, 0, "HG (color)"},  // exposure code outside the table
        {144, "EK", 7, 4, 0, 0, "EK"},           // unknown colour mode: not supported
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " mode " + std::to_string(c.mode));
        const std::string path = Write(
            BayFile(std::string(512 * c.height, '\x10'), c.model, c.mode, c.exposure));
        QffInfo info{};
        MonitoredIsolated([&] { FFInfo(path, BAD_HANDLE, info); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        EXPECT_EQ(info.formatName, "BAY, Bayer Image");
        EXPECT_EQ(info.fileSize, 512.0 * c.height + 1024);
        EXPECT_EQ(info.width, 512);
        EXPECT_EQ(info.height, c.height);
        EXPECT_EQ(info.bitsPP, c.bits);
        EXPECT_EQ(info.bytesPP, c.bits / 8);
        EXPECT_EQ(info.frames, 1);
        EXPECT_EQ(info.frameRate, c.exposureValue);
        EXPECT_EQ(info.videoCompression, c.compression);
        EXPECT_EQ(info.videoSupported != 0, c.bits != 0);
    }
}

TEST_F(BayTest, RefusesWhatItCannotRead) {
    const std::string good = BayFile(std::string(512 * 144, '\0'), "ML", 2, 1);
    const std::pair<std::string, const char*> cases[] = {
        {"", "Invalid image format."},
        {good.substr(0, good.size() - 1), "Invalid image format."},
        {good + '\0', "Invalid image format."},
        {BayFile(std::string(512 * 200, '\0'), "ML", 2, 1), "Invalid image format."},  // other length
        {BayFile(std::string(512 * 384, '\0'), "EK", 1, 1, "BAY 3"), "Invalid image format."},
        {BayFile(std::string(512 * 384, '\0'), "RO", 0, 1), "Image format not supported."},
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(bytes.size());
        EXPECT_FALSE(Load(bytes));
        EXPECT_EQ(ErrLastText(), text);
    }
}

TEST_F(BayTest, MonochromeUnpacksBlocksIntoGreyRows) {
    const std::string samples = PatternSamples(144);
    ASSERT_TRUE(Load(BayFile(samples, "ML", 2, 4)));
    ASSERT_EQ(img.bitsPP, 8);
    ASSERT_EQ(img.height, 144);
    EXPECT_EQ(*Pixel(0, 1), static_cast<uint8_t>(samples[1]));     // top-right of block 0
    EXPECT_EQ(*Pixel(1, 0), static_cast<uint8_t>(samples[2]));     // bottom-left of block 0
    EXPECT_EQ(*Pixel(2, 0), static_cast<uint8_t>(samples[1024]));  // next block row
    EXPECT_EQ(Fnv1a(img.data, img.size), 0xa4cd5f51bf44acd2ull);
    EXPECT_EQ(img.palette[200].red, 200);
}

TEST_F(BayTest, ColourDemosaicMatchesReference) {
    ASSERT_TRUE(Load(BayFile(PatternSamples(144), "EK", 1, 3)));
    ASSERT_EQ(img.bitsPP, 24);
    EXPECT_EQ(Fnv1a(img.data, img.size), 0xd60de40f1fc2da31ull);
    // Pixels where the edge replacements apply (blue, green, red), for a readable failure.
    const std::array<int32_t, 5> expected[] = {{0, 0, 101, 220, 4},
                                               {2, 511, 143, 131, 72},
                                               {3, 0, 202, 145, 173},
                                               {143, 0, 78, 185, 224},
                                               {143, 511, 89, 78, 218}};
    for (const auto& [y, x, b, g, r] : expected) {
        const uint8_t* q = Pixel(y, x);
        EXPECT_EQ((std::array<int32_t, 3>{q[0], q[1], q[2]}), (std::array<int32_t, 3>{b, g, r}))
            << y << "," << x;
    }
    ASSERT_TRUE(Load(BayFile(std::string(512 * 384, '\x64'), "EK", 1, 1)));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(img.data), img.size),
              std::string(512 * 384 * 3, '\x64'));
}

TEST(BayColor, BottomUpReversesRows) {
    const std::string samples = PatternSamples(4).substr(0, 6 * 4);  // 6 x 4 pixels
    const auto* s = reinterpret_cast<const uint8_t*>(samples.data());
    std::vector<uint8_t> down(6 * 4 * 3), up(6 * 4 * 3);
    BayColor_(s, down.data(), 6, true, 4);
    BayColor_(s, up.data(), 6, false, 4);
    for (int y = 0; y < 4; ++y)
        EXPECT_EQ(0, std::memcmp(&down[y * 18], &up[(3 - y) * 18], 18)) << "row " << y;
}
