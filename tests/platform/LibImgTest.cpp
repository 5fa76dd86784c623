// The image library's own entry points (the readers' tests cover the decoded pictures).

#include "platform/libimg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <tiffio.h>

#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

std::string Fixture(const std::string& name) {
    return std::string(KV_TEST_DATA) + "/formats/" + name;
}

TEST(LibImgTest, GreyPaletteFollowsTheDepth) {
    struct {
        int depth;
        int count;
        int second;
    } const cases[] = {{1, 2, 255}, {2, 4, 85}, {4, 16, 17}, {8, 256, 1}};
    for (const auto& c : cases) {
        std::vector<png_color> pal(257, png_color{7, 7, 7});
        kelvora::png_build_grayscale_palette(c.depth, pal.data());
        EXPECT_EQ(pal[1].green, c.second) << c.depth;
        EXPECT_EQ(pal[c.count - 1].red, 255) << c.depth;
        EXPECT_EQ(pal[c.count].blue, 7) << c.depth;  // nothing past 2^depth entries
    }
    png_color untouched{7, 7, 7};
    kelvora::png_build_grayscale_palette(3, &untouched);
    EXPECT_EQ(untouched.red, 7);
}

// The wrappers never write outside the buffer the caller describes, and report failures instead
// of ending the process (libjpeg's default on errors) or waiting on something that is no file.
TEST(LibImgTest, WrappersStayInsideTheBufferAndReturnFailures) {
    int32_t w = 0, h = 0, bpp = 0;
    ASSERT_EQ(info_JPEG_file(Fixture("jpg/colour.jpg").c_str(), w, h, bpp), 0);
    EXPECT_EQ(w, 33);
    EXPECT_EQ(h, 21);
    EXPECT_EQ(bpp, 3);
    std::vector<uint8_t> buf(static_cast<size_t>(w) * h * bpp, 0xAB);
    int32_t smaller = h - 1;
    EXPECT_NE(read_JPEG_file(Fixture("jpg/colour.jpg").c_str(), buf.data(), w, smaller, bpp), 0);
    EXPECT_EQ(buf.front(), 0xAB);
    EXPECT_EQ(read_JPEG_file(Fixture("jpg/colour.jpg").c_str(), buf.data(), w, h, bpp), 0);

    TempDir dir;
    WriteFileBytes(dir.file("bad.jpg"), std::string("\xFF\xD8\xFF\xDB\x00\x02", 6));
    EXPECT_NE(info_JPEG_file(dir.file("bad.jpg").c_str(), w, h, bpp), 0);
    EXPECT_NE(info_JPEG_file(dir.path().c_str(), w, h, bpp), 0);

    QXpmDesc desc{0, 0, 0, nullptr, 0};
    ASSERT_EQ(ReadXpm(Fixture("xpm/colour.xpm").c_str(), desc), 0);
    EXPECT_EQ(desc.width, 33);
    std::vector<uint8_t> px(static_cast<size_t>(desc.width) * desc.height * 3, 0xAB);
    desc.pixels = px.data();
    desc.bufferSize = static_cast<int32_t>(px.size()) - 1;
    EXPECT_NE(ReadXpm(Fixture("xpm/colour.xpm").c_str(), desc), 0);
    EXPECT_EQ(px.front(), 0xAB);
    desc.bufferSize = static_cast<int32_t>(px.size());
    EXPECT_EQ(ReadXpm(Fixture("xpm/colour.xpm").c_str(), desc), 0);
}

// libtiff's handlers are process-wide; each thread hears only of its own files.
std::atomic<int> heardA{0}, heardB{0};
void ProcA(const char*) { ++heardA; }
void ProcB(const char*) { ++heardB; }

TEST(LibImgTest, TiffMessagesReachTheThreadThatCausedThem) {
    TempDir dir;
    const std::string bad = dir.file("bad.tif");
    WriteFileBytes(bad, "II*\0 truncated");
    auto run = [&](ExternMsgProc proc, bool failing) {
        ExternErrorSet(proc);
        ExternWarningSet(proc);
        for (int i = 0; i < 200; ++i) {
            TIFF* tif = TIFFOpen(failing ? bad.c_str() : Fixture("tif/rgb-lzw.tif").c_str(), "r");
            if (tif) TIFFClose(tif);
        }
    };
    std::thread a(run, ProcA, true), b(run, ProcB, false);
    a.join();
    b.join();
    EXPECT_GE(heardA.load(), 200);
    EXPECT_EQ(heardB.load(), 0);
}

}  // namespace
