#include "formats/FF_AVI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/ImgBasic.h"
#include "platform/VideoCodec.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

uint32_t Code(const char* s) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0]) | static_cast<uint8_t>(s[1]) << 8 |
                                 static_cast<uint8_t>(s[2]) << 16) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

}  // namespace

// Sound codec names: PCM by its own words, others by their decoder, the rest unknown.
TEST(AviNames, AudioCodecNames) {
    EXPECT_EQ(AVIGetAudioName(1), "(#1) PCM, uncompressed");
    EXPECT_EQ(AVIGetAudioName(0x1234), "(#4660) Unknown codec");
    EXPECT_EQ(AVIGetAudioName(0), "(#0) Unknown codec");
    for (uint16_t tag : {2, 3, 6, 7, 0x11, 0x31, 0x50, 0x55}) {
        const std::string name = AVIGetAudioName(tag);
        const std::string head = "(#" + std::to_string(tag) + ") ";
        EXPECT_EQ(name.substr(0, head.size()), head);
        EXPECT_GT(name.size(), head.size() + 2) << name;
        EXPECT_EQ(name.find("Unknown"), std::string::npos) << name;
    }
    EXPECT_NE(AVIGetAudioName(0x55).find("MP3"), std::string::npos);
}

TEST(AviNames, VideoCodecClasses) {
    for (const char* full : {"DIB ", "dib ", "RAW ", "Raw ", "RGB ", "rgb "})
        EXPECT_TRUE(AVIChk4FullFrames_(Code(full))) << full;
    EXPECT_TRUE(AVIChk4FullFrames_(0));
    for (const char* other : {"DIB0", "RGBA", "MSVC", "cvid"})
        EXPECT_FALSE(AVIChk4FullFrames_(Code(other))) << other;
    for (const char* v1 : {"MSVC", "msvc", "CRAM", "cram", "WHAM", "wHaM"})
        EXPECT_TRUE(AVIChk4Video1_(Code(v1))) << v1;
    for (const char* other : {"MSV1", "DIB ", "mjpg"}) EXPECT_FALSE(AVIChk4Video1_(Code(other)));
    EXPECT_FALSE(AVIChk4Video1_(0));
}

TEST(AviNames, VideoCodecNames) {
    EXPECT_EQ(AVIGetVideoName(0), "Full frames, uncompressed");
    EXPECT_EQ(AVIGetVideoName(Code("dib ")), "(dib ) Full frames, uncompressed");
    EXPECT_EQ(AVIGetVideoName(Code("QQQQ")), "(QQQQ) Unknown codec");
    const std::string mjpg = AVIGetVideoName(Code("MJPG"));
    EXPECT_EQ(mjpg.substr(0, 7), "(MJPG) ");
    EXPECT_NE(mjpg.find("JPEG"), std::string::npos) << mjpg;
    // Every Video 1 code has the one decoder's name.
    const std::string msvc = AVIGetVideoName(Code("msvc")).substr(7);
    EXPECT_NE(msvc, "Unknown codec");
    EXPECT_EQ(AVIGetVideoName(Code("WHAM")), "(WHAM) " + msvc);
    EXPECT_EQ(AVIGetVideoName(Code("cvid")).find("Unknown"), std::string::npos);
}

// What the decompressors deliver is what the image helpers take: every depth.
TEST(AviNames, DecompressedFramesBuildImages) {
    for (const uint16_t bits : {8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        std::vector<uint8_t> format(bits == 8 ? 48 : 40, 0);
        format[0] = 40;
        format[4] = 5;  // 5 x 3 pixels, top-down rows
        std::memset(&format[8], 0xFF, 4);
        format[8] = 0xFD;
        format[12] = 1;
        format[14] = static_cast<uint8_t>(bits);
        if (bits == 8) {
            format[32] = 2;
            const uint8_t table[8] = {10, 20, 30, 0, 40, 50, 60, 0};
            std::memcpy(&format[40], table, sizeof table);
        }
        QVideoCodec* codec = nullptr;
        ASSERT_EQ(VideoCodecOpen(&codec, format.data(), static_cast<int32_t>(format.size()), 0),
                  ICERR_OK);
        const int32_t stride = (5 * (bits / 8) + 3) & ~3;
        std::vector<uint8_t> frame(static_cast<size_t>(stride) * 3, 0);
        for (int32_t y = 0; y < 3; ++y)
            frame[static_cast<size_t>(y * stride)] = static_cast<uint8_t>(y ? 0 : 1);
        std::vector<uint8_t> dib;
        ASSERT_EQ(
            VideoCodecDecode(codec, frame.data(), static_cast<int32_t>(frame.size()), true, dib),
            ICERR_OK);
        VideoCodecClose(codec);
        Qimg img;
        std::memset(static_cast<void*>(&img), 0, sizeof img);
        DibToQimg(img, dib.data(), static_cast<int64_t>(dib.size()));
        EXPECT_EQ(img.width, 5);
        EXPECT_EQ(img.height, 3);
        EXPECT_EQ(img.bitsPP, bits == 16 ? 15 : bits);
        ASSERT_NE(img.data, nullptr);
        EXPECT_EQ(img.data[0], 1);  // the first stored row of a top-down frame stays on top
        EXPECT_EQ(img.data[img.bytesPP * 5], 0);
        if (bits == 8) {
            EXPECT_EQ(img.palette[1].blue, 40);
            EXPECT_EQ(img.palette[1].red, 60);
        }
        ImgFree(img);
    }
}
