#include "formats/FF_AVI.h"

#include <gtest/gtest.h>

using namespace kelvora;

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
