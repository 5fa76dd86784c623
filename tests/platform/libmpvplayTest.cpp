// The MPEG video library: what it describes, what it refuses, frames passed over and decoded,
// the picture buffer that outlives a rewind, and the error procedure.

#include "platform/libmpvplay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct Files {
    test::TempDir dir;
    bool made = false;
    std::string system, elementary, mpeg2, mp3;
    Files() {
        if (!test::HaveTools({"ffmpeg"})) return;
        const std::string ff = "ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=";
        system = dir.file("system.mpg");
        elementary = dir.file("video.m1v");
        mpeg2 = dir.file("mpeg2.mpg");
        mp3 = dir.file("tone.mp3");
        made = test::RunQuiet(ff + "80x48:rate=25:duration=1 -f lavfi -i sine=duration=1 " +
                              "-c:v mpeg1video -g 6 -c:a mp2 -f mpeg '" + system + "'") &&
               test::RunQuiet(ff + "80x48:rate=30000/1001:duration=0.5 -c:v mpeg1video " +
                              "-f mpeg1video '" + elementary + "'") &&
               test::RunQuiet(ff + "80x48:rate=25:duration=0.5 -c:v mpeg2video -f mpeg '" + mpeg2 +
                              "'") &&
               test::RunQuiet("ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=0.5 '" + mp3 +
                              "'");
    }
};

Files& TheFiles() {
    static Files files;
    return files;
}

struct Info {
    int32_t ok = 0, width = -1, height = -1, frames = -1, rateCode = -1, bitRate = -1, mpeg2 = -1,
            audio = -1;
};

Info Describe(const std::string& path) {
    Info i;
    i.ok = GetMPEGInfo(path.c_str(), &i.width, &i.height, &i.frames, &i.rateCode, &i.bitRate,
                       &i.mpeg2, &i.audio);
    return i;
}

std::vector<std::string> reported;
void Collect(const char* message) { reported.emplace_back(message); }

class MpegVideoLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TheFiles().made) GTEST_SKIP() << "ffmpeg missing or failed";
    }
};

}  // namespace

TEST_F(MpegVideoLibrary, DescribesMpegVideoAndNothingElse) {
    Info i = Describe(TheFiles().system);
    EXPECT_TRUE(i.ok);
    EXPECT_EQ(i.width, 80);
    EXPECT_EQ(i.height, 48);
    EXPECT_EQ(i.frames, 25);
    EXPECT_EQ(i.rateCode, 3);  // 25 per second
    EXPECT_GT(i.bitRate, 0);
    EXPECT_EQ(i.mpeg2, 0);
    EXPECT_EQ(i.audio, 1);

    i = Describe(TheFiles().elementary);
    EXPECT_TRUE(i.ok);
    EXPECT_EQ(i.rateCode, 4);  // 30000/1001
    EXPECT_EQ(i.frames, 15);   // counted from the packets: the stream's headers hold no count
    EXPECT_EQ(i.audio, 0);

    i = Describe(TheFiles().mpeg2);
    EXPECT_TRUE(i.ok);
    EXPECT_EQ(i.mpeg2, 1);
    QMpegPicture p{nullptr, 80, 48, 0, 0, 0, 0};
    EXPECT_EQ(OpenMPEG(&p, TheFiles().mpeg2.c_str(), 0), 0) << "MPEG-2 is described only";

    for (const std::string& other : {TheFiles().mp3, TheFiles().dir.path(), std::string("/nope")}) {
        i = Describe(other);
        EXPECT_EQ(i.ok, 0) << other;
        EXPECT_EQ(i.width, 0);
        EXPECT_EQ(i.frames, 0);
    }
    EXPECT_EQ(GetMPEGInfo(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    // A size that is not the file's is refused.
    QMpegPicture wrong{nullptr, 64, 48, 0, 0, 0, 0};
    EXPECT_EQ(OpenMPEG(&wrong, TheFiles().system.c_str(), 0), 0);
}

TEST_F(MpegVideoLibrary, FramesPassedOverDecodedAndCountedToTheEnd) {
    QMpegPicture p{nullptr, 80, 48, 0, 0, 0, 0};
    ASSERT_NE(OpenMPEG(&p, TheFiles().system.c_str(), 0), 0);
    EXPECT_EQ(p.rowWidth, 80);
    EXPECT_EQ(p.bytesPP, 3);
    EXPECT_EQ(p.bitsPP, 24);
    EXPECT_NE(GetMPEGFrame(&p, 1), 0);
    EXPECT_EQ(p.frame, nullptr) << "a frame passed over is not decoded";
    EXPECT_NE(GetMPEGFrame(&p, 0), 0);
    ASSERT_NE(p.frame, nullptr);
    const std::string second(reinterpret_cast<const char*>(p.frame), 80 * 48 * 3);
    int32_t more = 0;
    while (GetMPEGFrame(&p, 1)) ++more;
    EXPECT_EQ(more, 23);
    EXPECT_EQ(GetMPEGFrame(&p, 0), 0) << "past the end";

    // A rewind decodes the same picture into the same buffer: an image that took the buffer
    // stays valid.
    uint8_t* const buffer = p.frame;
    CloseMPEG(&p);
    EXPECT_EQ(p.frame, nullptr);
    EXPECT_EQ(p.stream, 0);
    EXPECT_EQ(GetMPEGFrame(&p, 0), 0) << "closed";
    ASSERT_NE(OpenMPEG(&p, TheFiles().system.c_str(), 0), 0);
    GetMPEGFrame(&p, 1);
    ASSERT_NE(GetMPEGFrame(&p, 0), 0);
    EXPECT_EQ(p.frame, buffer);
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(p.frame), second.size()) == second);
    CloseMPEG(&p);
}

TEST_F(MpegVideoLibrary, AFrameThatCannotBeDecodedGoesToTheErrorProcedure) {
    const std::string copy = TheFiles().dir.file("going.mpg");
    std::filesystem::copy_file(TheFiles().system, copy,
                               std::filesystem::copy_options::overwrite_existing);
    QMpegPicture p{nullptr, 80, 48, 0, 0, 0, 0};
    ASSERT_NE(OpenMPEG(&p, copy.c_str(), 0), 0);
    std::filesystem::resize_file(copy, 0);  // the file goes away under the open stream
    reported.clear();
    MOSLErrorFuncSet(Collect);
    for (int i = 0; i < 20; ++i) GetMPEGFrame(&p, 1);
    EXPECT_EQ(GetMPEGFrame(&p, 0), 0);
    MOSLErrorFuncSet(nullptr);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("frame 21"), std::string::npos) << reported[0];
    CloseMPEG(&p);
}
