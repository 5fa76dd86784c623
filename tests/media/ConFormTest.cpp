// The unified and movie layers: sequence names, kinds, sequence detection, probing, frames and
// sound through the handles, and failures that leave nothing behind.

#include "media/ConForm.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "formats/ConFormStill.h"
#include "formats/FFWrite.h"
#include "formats/FF_HAV.h"
#include "platform/AviFile.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

using Err = test::ErrorOf;
const Err kOk{0, 0};

using test::Try;

const std::string kData = std::string(KV_TEST_DATA) + "/formats/";

// A 24-bit picture of w x h whose bytes follow from `seed`, saved as BMP.
void SaveBmp(const std::string& path, int32_t w, int32_t h, uint8_t seed) {
    Qimg img{};
    ASSERT_EQ(Try([&] {
                  _imgalloc_(img, w, h, "ConFormTest.img", __LINE__, 24);
                  for (int32_t i = 0; i < img.size; ++i)
                      img.data[i] = static_cast<uint8_t>(seed + i * 7);
                  ImgSaveBMP(path, img);
              }),
              kOk);
    ImgFree(img);
}

std::string Pixels(const Qimg& img) {
    return std::string(reinterpret_cast<const char*>(img.data), img.size);
}

// The picture as blue, green, red bytes (palette pictures through their palette).
std::string Bgr(const Qimg& img) {
    if (img.bitsPP == 24) return Pixels(img);
    std::string out;
    for (int32_t i = 0; i < img.size; ++i) {
        const QBGR& c = img.palette[img.data[i]];
        out += {static_cast<char>(c.blue), static_cast<char>(c.green), static_cast<char>(c.red)};
    }
    return out;
}

}  // namespace

TEST(SeqSplit, NamesAndNumbers) {
    const std::string longDir = "/" + std::string(300, 'd') + "/";
    struct Case {
        std::string name;
        bool sign;
        bool found;
        const char* prefix;  // null: longDir + "x"
        int32_t digits, number;
        const char* suffix;
    };
    const Case cases[] = {
        {"/d/frame0042.bmp", false, true, "/d/frame", 4, 42, ".bmp"},
        {"/d/0042.bmp", false, true, "/d/", 4, 42, ".bmp"},
        {"/d/a9.bmp", false, true, "/d/a", 1, 9, ".bmp"},
        {"/d/a1b22c.tga", false, true, "/d/a1b", 2, 22, "c.tga"},
        {"rel7.png", false, true, "rel", 1, 7, ".png"},
        {"/d/take-5.bmp", true, true, "/d/take", 1, -5, ".bmp"},
        {"/d/take-5.bmp", false, true, "/d/take-", 1, 5, ".bmp"},
        {"/d/5-3.bmp", true, true, "/d/5", 1, -3, ".bmp"},
        // No number: the name without its extension and the extension.
        {"/d/shot.bmp", false, false, "/d/shot", 0, 0, ".bmp"},
        {"/d/x-y.bmp", true, false, "/d/x-y", 0, 0, ".bmp"},
        {"/d1/name", false, false, "/d1/name", 0, 0, ""},
        {"/d.2/name", false, false, "/d.2/name", 0, 0, ""},
        {"/d/f99999999999.bmp", false, false, "/d/f99999999999", 0, 0, ".bmp"},
        {longDir + "x1.bmp", false, false, nullptr, 0, 0, ".bmp"},  // the prefix outgrows 255
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string prefix, suffix;
        int32_t digits = -1, number = -1;
        EXPECT_EQ(SeqSplit(c.name, c.sign, prefix, 255, digits, number, suffix, 255), c.found);
        EXPECT_EQ(prefix, c.prefix ? c.prefix : longDir + "x1");
        EXPECT_EQ(suffix, c.suffix);
        EXPECT_EQ(digits, c.digits);
        EXPECT_EQ(number, c.number);
    }
}

TEST(SeqFrameName, PaddingNeverCutsDigits) {
    const SeqDesc a9{"/d/a", ".bmp", 9, 2, 1};
    EXPECT_EQ(SeqFrameName(a9, 1), "/d/a9.bmp");
    EXPECT_EQ(SeqFrameName(a9, 2), "/d/a10.bmp");
    const SeqDesc img{"img", ".bmp", 1, 3, 3};
    EXPECT_EQ(SeqFrameName(img, 3), "img003.bmp");
    const SeqDesc neg{"t", ".bmp", -2, 5, 2};
    EXPECT_EQ(SeqFrameName(neg, 1), "t-02.bmp");
    EXPECT_EQ(SeqFrameName(neg, 3), "t00.bmp");
    const SeqDesc top{"t", ".bmp", INT32_MAX, 1, 1};
    EXPECT_EQ(SeqFrameName(top, 2), "t2147483648.bmp");  // no wrap-around
}

TEST(UniKindOf, ByFormatAndFrames) {
    struct Case {
        uint32_t format;
        int32_t one, many;  // kinds for 1 and for 2 frames
    };
    const Case cases[] = {{0, 0, 0},       {31, 0, 0},      {uint32_t(BAD_HANDLE), 0, 0},
                          {FT_GIF, 1, 3},  {FT_FLIC, 3, 3}, {FT_AVI, 3, 3},
                          {FT_HAV, 3, 3},  {FT_MPEG, 3, 3}, {FT_WAV, 3, 3},
                          {FT_MPA, 3, 3},  {FT_OGG, 3, 3},  {FT_BMP, 1, 2},
                          {FT_PNG, 1, 2},  {FT_XPM, 1, 2},  {FT_MP4, 3, 3},
                          {FT_FLAC, 3, 3}, {FT_WMA, 3, 3}};
    for (const Case& c : cases) {
        EXPECT_EQ(UniKindOf(c.format, 1), c.one) << c.format;
        EXPECT_EQ(UniKindOf(c.format, 2), c.many) << c.format;
    }
}

TEST(UniInfo, SequenceDetection) {
    TempDir dir;
    for (int32_t i = 1; i <= 3; ++i)
        SaveBmp(dir.file("img00" + std::to_string(i) + ".bmp"), 4, 3, uint8_t(i));
    SaveBmp(dir.file("cut1.bmp"), 4, 3, 1);
    SaveBmp(dir.file("cut2.bmp"), 4, 3, 2);
    SaveBmp(dir.file("cut3.bmp"), 5, 3, 3);  // another width ends the run
    SaveBmp(dir.file("a9.bmp"), 2, 2, 9);
    SaveBmp(dir.file("a10.bmp"), 2, 2, 10);
    WriteFileBytes(dir.file("shot9.png"), ReadFileBytes(kData + "png/rgb.png"));
    const double bmpSize = 54 + 3 * 12;

    struct Case {
        const char* name;
        int32_t maxSeq;
        int32_t kind, frames;
        double fileSize;  // 0: not checked
    };
    const Case cases[] = {
        {"img001.bmp", UNI_SEQ_UNLIMITED, UNI_SEQUENCE, 3, 3 * bmpSize},
        {"img002.bmp", UNI_SEQ_UNLIMITED, UNI_SEQUENCE, 2, 2 * bmpSize},  // runs only forward
        {"img001.bmp", 2, UNI_SEQUENCE, 2, 2 * bmpSize},
        {"img001.bmp", 1, UNI_STILL, 1, bmpSize},  // max length 1: no search
        {"cut1.bmp", UNI_SEQ_UNLIMITED, UNI_SEQUENCE, 2, 0},
        {"a9.bmp", UNI_SEQ_UNLIMITED, UNI_SEQUENCE, 2, 0},
        {"shot9.png", UNI_SEQ_UNLIMITED, UNI_STILL, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QUniInfo info;
        ASSERT_TRUE(UniInfo(dir.file(c.name), info, c.maxSeq, false));
        EXPECT_EQ(info.kind, c.kind);
        EXPECT_EQ(info.img.frames, c.frames);
        if (c.fileSize > 0) {
            EXPECT_EQ(info.fileSize, c.fileSize);
        }
    }
    QUniInfo info;
    ASSERT_TRUE(UniInfo(dir.file("img001.bmp"), info, UNI_SEQ_UNLIMITED, false));
    EXPECT_EQ(info.seq.prefix, dir.file("img"));
    EXPECT_EQ(info.seq.suffix, ".bmp");
    EXPECT_EQ(info.seq.first, 1);
    EXPECT_EQ(info.seq.count, 3);
    EXPECT_EQ(info.seq.digits, 3);
    EXPECT_EQ(info.img.imageBytes, 3.0 * 4 * 3 * 3);
    EXPECT_EQ(info.formatName, "BMP/DIB, Windows Device Independent Bitmap");

    // Frames come from their own files; key frames are the frames themselves.
    UniHandle h{};
    Qimg img{}, expected{};
    ASSERT_EQ(Try([&] { UniOpen(h, info); }), kOk);
    ASSERT_EQ(Try([&] { UniImgLoad(h, img, 2, 1); }), kOk);
    ASSERT_EQ(Try([&] { ImgLoad(dir.file("img002.bmp"), expected, BAD_HANDLE); }), kOk);
    EXPECT_EQ(Pixels(img), Pixels(expected));
    EXPECT_EQ(h.curImage, 2);
    EXPECT_EQ(h.newPalette, -1);
    EXPECT_EQ(UniNearestKeyFrame(h, 1, -1), 1);
    EXPECT_EQ(UniNearestKeyFrame(h, 3, -1), 2);
    EXPECT_EQ(UniNearestKeyFrame(h, 9, 0), 3);
    EXPECT_EQ(Try([&] { UniImgLoad(h, img, 4, 1); }), Err(ERR_MVI, 7));  // img004.bmp is no frame
    EXPECT_EQ(Try([&] { UniImgLoad(h, img, 0, 1); }), Err(ERR_MVI, 1));
    Qsnd snd{};
    EXPECT_EQ(Try([&] { UniSndLoad(h, snd, 0, false, 100); }), Err(ERR_MVI, 5));
    EXPECT_EQ(Try([&] { UniClose(h); }), kOk);
    EXPECT_EQ(h.kind, UNI_NONE);
    ImgFree(img);
    ImgFree(expected);
}

TEST(UniInfo, ProbesOtherFormatsAndFailsCleanly) {
    TempDir dir;
    const std::string bmp = ReadFileBytes(kData + "bmp/pal4.bmp");
    WriteFileBytes(dir.file("pic.png"), bmp);  // a BMP under a wrong extension
    WriteFileBytes(dir.file("movie.hav"), bmp);
    WriteFileBytes(dir.file("noext"), bmp);
    WriteFileBytes(dir.file("notes.txt"), "hello");
    WriteFileBytes(dir.file("junk.bmp"), std::string(100, 'x'));
    for (const char* name : {"pic.png", "movie.hav"}) {
        QUniInfo info;
        ASSERT_TRUE(UniInfo(dir.file(name), info, UNI_SEQ_UNLIMITED, false)) << name;
        EXPECT_EQ(info.format, uint32_t(FT_BMP));
        EXPECT_EQ(info.kind, UNI_STILL);
        EXPECT_EQ(info.img.width, 37);
        EXPECT_EQ(info.formatName, "BMP/DIB, Windows Device Independent Bitmap");
    }
    const test::RegisterBalance before;
    for (const char* name : {"missing.bmp", "noext", "notes.txt", "junk.bmp"}) {
        QUniInfo info;
        EXPECT_FALSE(UniInfo(dir.file(name), info, UNI_SEQ_UNLIMITED, false)) << name;
        EXPECT_TRUE(ErrNone()) << name;
        EXPECT_EQ(WarnLastGroup(), ERR_FILE) << name;
        EXPECT_EQ(WarnLastCode(), 9) << name;
        before.Expect(name);
    }
}

TEST(UniHandle, StillAndMisuse) {
    QUniInfo info;
    ASSERT_TRUE(UniInfo(kData + "png/rgb.png", info, UNI_SEQ_UNLIMITED, false));
    ASSERT_EQ(info.kind, UNI_STILL);
    EXPECT_EQ(info.snd.soundSupported, 0);
    UniHandle h{};
    Qimg img{};
    ASSERT_EQ(Try([&] { UniOpen(h, info); }), kOk);
    EXPECT_EQ(Try([&] { UniImgLoad(h, img, 1, 1); }), kOk);
    EXPECT_EQ(h.curImage, 1);
    EXPECT_EQ(h.newPalette, -1);
    EXPECT_EQ(UniNearestKeyFrame(h, 1, 1), 1);
    EXPECT_EQ(Try([&] { UniImgLoad(h, img, 2, 1); }), Err(ERR_MVI, 7));
    Qsnd snd{};
    EXPECT_EQ(Try([&] { UniSndLoad(h, snd, 0, false, 10); }), Err(ERR_MVI, 5));
    EXPECT_EQ(Try([&] { UniClose(h); }), kOk);
    ImgFree(img);

    // A handle that was never opened: closing only clears it; loading is a protocol fault.
    UniHandle none{};
    EXPECT_EQ(Try([&] { UniClose(none); }), kOk);
    none.img.videoSupported = -1;
    none.snd.soundSupported = -1;
    EXPECT_EQ(Try([&] { UniImgLoad(none, img, 1, 1); }), Err(ERR_UNI, 1));
    EXPECT_EQ(Try([&] { UniSndLoad(none, snd, 0, false, 10); }), Err(ERR_UNI, 1));
    none.kind = 7;
    EXPECT_EQ(Try([&] { UniClose(none); }), Err(ERR_UNI, 1));
    EXPECT_EQ(none.kind, UNI_NONE);
    QUniInfo odd = info;
    odd.kind = 9;
    EXPECT_EQ(Try([&] { UniOpen(h, odd); }), Err(ERR_UNI, 1));
    EXPECT_EQ(h.kind, UNI_NONE);
}

TEST(UniHandle, MoviesInAnyOrderMatchAnIndependentDecode) {
    // clip-bestp24.hav: 24-bit with sound; clip-best8.hav: palette frames (the palette in force
    // is looked up on random access). Expected pictures were decoded by ffmpeg.
    const std::string bgr = ReadFileBytes(kData + "hav/clip-32x24.bgr");
    const std::string pal8 = ReadFileBytes(kData + "hav/clip-32x24.pal8");
    auto expected = [&](bool palette, int32_t n) {
        if (!palette) return bgr.substr(static_cast<size_t>(n - 1) * 2304, 2304);
        const size_t at = static_cast<size_t>(n - 1) * (768 + 1024);
        std::string out;
        for (size_t i = 0; i < 768; ++i)
            out += pal8.substr(at + 768 + 4 * static_cast<uint8_t>(pal8[at + i]), 3);
        return out;
    };
    for (const bool palette : {false, true}) {
        const std::string name = kData + (palette ? "hav/clip-best8.hav" : "hav/clip-bestp24.hav");
        SCOPED_TRACE(name);
        QUniInfo info;
        ASSERT_TRUE(UniInfo(name, info, UNI_SEQ_UNLIMITED, false));
        EXPECT_EQ(info.kind, UNI_MOVIE);
        EXPECT_EQ(info.img.frames, 6);
        EXPECT_DOUBLE_EQ(info.img.duration, 0.6);
        UniHandle h{};
        Qimg img{};
        ASSERT_EQ(Try([&] { UniOpen(h, info); }), kOk);
        ASSERT_NE(h.mvi.hav, nullptr);
        std::vector<std::string> inOrder;
        for (int32_t n = 1; n <= 6; ++n) {
            ASSERT_EQ(Try([&] { UniImgLoad(h, img, n, 1); }), kOk);
            inOrder.push_back(Bgr(img));
            EXPECT_EQ(inOrder.back(), expected(palette, n)) << "frame " << n;
        }
        for (int32_t n : {4, 1, 6, 2, 5, 3, 3, 1}) {
            ASSERT_EQ(Try([&] { UniImgLoad(h, img, n, 0); }), kOk);
            EXPECT_EQ(Bgr(img), inOrder[n - 1]) << "frame " << n;
            // The views follow the reader.
            EXPECT_EQ(h.curImage, n);
            EXPECT_EQ(*h.mvi.curFrame, n);
            EXPECT_DOUBLE_EQ(h.curImgTime, (n - 1) / 10.0);
        }
        EXPECT_EQ(*h.mvi.width, 32);
        EXPECT_EQ(UniNearestKeyFrame(h, 2, 0), palette ? 3 : 5);  // key frames every 2 and every 4
        EXPECT_EQ(Try([&] { UniImgLoad(h, img, 7, 0); }), Err(ERR_MVI, 7));
        EXPECT_EQ(Try([&] { UniImgLoad(h, img, 2, 0); }), kOk);  // still usable after a failure
        Qsnd snd{};
        if (!palette) {
            const std::string tone = ReadFileBytes(kData + "hav/tone-8k.u8");
            std::string got;
            for (int32_t start = 0; start < 2400; start += 1000) {
                ASSERT_EQ(Try([&] { UniSndLoad(h, snd, start, start > 0, 1000); }), kOk);
                got.append(reinterpret_cast<const char*>(snd.data), static_cast<size_t>(snd.samples));
            }
            EXPECT_EQ(got, tone);
            EXPECT_EQ(h.curSndPos, 2400);
            EXPECT_DOUBLE_EQ(h.curSndTime, 0.3);
        } else {
            // A movie without sound: the description refuses; the movie layer gives nothing.
            EXPECT_EQ(Try([&] { UniSndLoad(h, snd, 0, false, 10); }), Err(ERR_MVI, 5));
            snd.samples = 5;
            EXPECT_EQ(Try([&] { MviSndLoad(h.mvi, snd, 0, false, 10); }), kOk);
            EXPECT_EQ(snd.samples, 0);
        }
        SndFree(snd);
        ImgFree(img);
        EXPECT_EQ(Try([&] { UniClose(h); }), kOk);
        EXPECT_EQ(h.mvi.hav, nullptr);
    }
}

TEST(UniHandle, SequenceInAnyOrderMatchesAnIndependentDecode) {
    const std::string frames = ReadFileBytes(kData + "seq/frames.bgr");
    ASSERT_EQ(frames.size(), 3u * 144);
    QUniInfo info;
    ASSERT_TRUE(UniInfo(kData + "seq/frame001.bmp", info, UNI_SEQ_UNLIMITED, false));
    ASSERT_EQ(info.kind, UNI_SEQUENCE);
    ASSERT_EQ(info.img.frames, 3);
    UniHandle h{};
    Qimg img{};
    ASSERT_EQ(Try([&] { UniOpen(h, info); }), kOk);
    for (int32_t n : {3, 1, 2, 2, 3, 1}) {
        ASSERT_EQ(Try([&] { UniImgLoad(h, img, n, 0); }), kOk);
        EXPECT_EQ(Pixels(img), frames.substr(static_cast<size_t>(n - 1) * 144, 144)) << "frame " << n;
    }
    ImgFree(img);
    EXPECT_EQ(Try([&] { UniClose(h); }), kOk);
}

TEST(MviHandle, OpenFailuresLeaveNothingBehind) {
    TempDir dir;
    const std::string movie = ReadFileBytes(kData + "hav/clip-bestp24.hav");
    WriteFileBytes(dir.file("cut.hav"), movie.substr(0, 100));
    WriteFileBytes(dir.file("x.wav"), "RIFF");
    WriteFileBytes(dir.file("x.avi"), "RIFF");
    WriteFileBytes(dir.file("x.mpg"), "RIFF");
    WriteFileBytes(dir.file("x.mp4"), "RIFF");
    const test::RegisterBalance before;
    struct Case {
        std::string name;
        int32_t format;
        Err err;
    };
    const Case cases[] = {
        {dir.file("cut.hav"), BAD_HANDLE, {ERR_MVI, 1}},
        {dir.file("missing.hav"), FT_HAV, {ERR_FILE, 1}},
        {dir.file("x.wav"), BAD_HANDLE, {ERR_WAV, 1}},
        {dir.file("x.avi"), BAD_HANDLE, {ERR_AVIFILE, AVIERR_BADFORMAT}},
        {dir.file("x.mpg"), BAD_HANDLE, {ERR_MVI, 6}},  // neither pictures nor sound
        {dir.file("x.mp4"), BAD_HANDLE, {ERR_MVI, 6}},
        {dir.file("missing.mkv"), BAD_HANDLE, {ERR_MVI, 6}},
        {dir.file("x.wav"), FT_BMP, {ERR_MVI, 1}},  // no movie format
        {dir.file("x.wav"), 99, {ERR_MVI, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.format));
        MviHandle mf{};
        EXPECT_EQ(Try([&] { MviOpen(mf, c.name, c.format); }), c.err);
        EXPECT_EQ(mf.hav, nullptr);
        EXPECT_EQ(mf.avf, nullptr);
        EXPECT_EQ(mf.frames, nullptr);
        before.Expect();
        EXPECT_EQ(Try([&] { MviClose(mf); }), kOk);
    }
    // A failing UniOpen leaves a cleared handle.
    QUniInfo info;
    ASSERT_TRUE(UniInfo(kData + "hav/clip-bestp24.hav", info, UNI_SEQ_UNLIMITED, false));
    info.fileName = dir.file("cut.hav");
    UniHandle h{};
    EXPECT_EQ(Try([&] { UniOpen(h, info); }), Err(ERR_MVI, 1));
    EXPECT_EQ(h.kind, UNI_NONE);
    before.Expect();
}

// A slot whose reader a failure released may point at an address that now holds another
// owner's block: closing the handle must leave that block alone.
TEST(MviHandle, CloseLeavesAStaleSlotsAddressAlone) {
    const test::RegisterBalance before;
    for (const int32_t format : {FT_HAV, FT_GIF, FT_FLIC}) {
        SCOPED_TRACE(format);
        uint8_t* other = nullptr;
        _memalloc_(other, 4096, __LINE__, MEM_KIND_C, "ConFormTest.other");
        std::memset(other, 0, 4096);
        MviHandle mf{};
        mf.format = static_cast<uint32_t>(format);
        mf.hav = reinterpret_cast<QHavHandle*>(other);
        mf.gif = reinterpret_cast<QGifHandle*>(other);
        mf.flc = reinterpret_cast<QFlcHandle*>(other);
        EXPECT_EQ(Try([&] { MviClose(mf); }), kOk);
        EXPECT_TRUE(MemIsTrackedBy(&other, other));
        EXPECT_EQ(mf.hav, nullptr);
        MemFree(other);
    }
    before.Expect();
}

TEST(UniHandle, WorkerLoadsWhileAnotherThreadDescribes) {
    // The player's worker loads frames and sound of the open movie while the window thread
    // describes other files: no state is shared between the two.
    QUniInfo movie;
    ASSERT_TRUE(UniInfo(kData + "hav/clip-bestp24.hav", movie, UNI_SEQ_UNLIMITED, false));
    const std::string bgr = ReadFileBytes(kData + "hav/clip-32x24.bgr");
    const test::RegisterBalance before;
    int workerFaults = 0, windowFaults = 0;
    std::thread worker([&] {
        UniHandle h{};
        Qimg img{};
        Qsnd snd{};
        if (Try([&] { UniOpen(h, movie); }) != kOk) ++workerFaults;
        for (int32_t i = 0; i < 300 && workerFaults == 0; ++i) {
            const int32_t n = 1 + (i * 5) % 6;
            if (Try([&] { UniImgLoad(h, img, n, 0); }) != kOk ||
                Pixels(img) != bgr.substr((n - 1) * 2304, 2304))
                ++workerFaults;
            if (Try([&] { UniSndLoad(h, snd, (i * 100) % 2400, false, 100); }) != kOk ||
                snd.samples != 100)
                ++workerFaults;
        }
        SndFree(snd);
        ImgFree(img);
        if (Try([&] { UniClose(h); }) != kOk) ++workerFaults;
    });
    for (int32_t i = 0; i < 100; ++i) {
        QUniInfo info;
        if (!UniInfo(kData + "seq/frame001.bmp", info, UNI_SEQ_UNLIMITED, false) ||
            info.img.frames != 3)
            ++windowFaults;
        if (UniInfo(kData + "seq/missing.bmp", info, UNI_SEQ_UNLIMITED, false)) ++windowFaults;
    }
    worker.join();
    EXPECT_EQ(workerFaults, 0);
    EXPECT_EQ(windowFaults, 0);
    before.Expect();
}

// Today's containers made by ffmpeg: an H.264/AAC MP4, a FLAC file and Opus in an .ogg file
// (the Ogg Vorbis reader refuses it; probing reaches the Opus type), described, opened, read and
// closed through the unified layer.
TEST(UniHandle, ContainerFilesThroughTheUnifiedLayer) {
    TempDir dir;
    const std::string ff = "cd '" + dir.path() + "' && ffmpeg -nostdin -v error -y ";
    const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 1 ";
    if (!test::HaveTools({"ffmpeg"}) ||
        !test::RunQuiet(ff + "-f lavfi -i testsrc2=size=64x48:rate=25 " + tone +
                        "-pix_fmt yuv420p -c:v libx264 -g 10 -sc_threshold 0 -c:a aac clip.mp4") ||
        !test::RunQuiet(ff + tone + "-c:a flac tone.flac && " + ff + tone +
                        "-c:a libopus tone.ogg && " + ff + tone + "-c:a aac song.m4a"))
        GTEST_SKIP() << "ffmpeg with libx264, aac, flac and libopus makes the files";
    // Under another format's extension each is probed to the type it is.
    WriteFileBytes(dir.file("clip.wav"), ReadFileBytes(dir.file("clip.mp4")));
    WriteFileBytes(dir.file("song.mpg"), ReadFileBytes(dir.file("song.m4a")));
    WriteFileBytes(dir.file("tone.mp3"), ReadFileBytes(dir.file("tone.ogg")));
    const test::RegisterBalance before;
    const struct {
        const char* name;
        int32_t format;
        const char* formatName;
        int32_t frames;
    } cases[] = {
        {"clip.mp4", FT_MP4, "MP4, MPEG-4 / QuickTime Movie", 25},
        {"tone.flac", FT_FLAC, "FLAC, Free Lossless Audio Codec", 0},
        {"tone.ogg", FT_OPUS, "OPUS, Ogg Opus Audio", 0},
        {"clip.wav", FT_MP4, "MP4, MPEG-4 / QuickTime Movie", 25},
        {"song.mpg", FT_M4A, "M4A, MPEG-4 Audio", 0},
        {"tone.mp3", FT_OPUS, "OPUS, Ogg Opus Audio", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QUniInfo info;
        ASSERT_TRUE(UniInfo(dir.file(c.name), info, UNI_SEQ_UNLIMITED, false));
        EXPECT_EQ(info.format, uint32_t(c.format));
        EXPECT_EQ(info.kind, UNI_MOVIE);
        EXPECT_EQ(info.formatName, c.formatName);
        EXPECT_EQ(info.img.frames, c.frames);
        EXPECT_EQ(info.snd.rate, 48000);
        EXPECT_NEAR(info.snd.duration, 1.0, 0.03);
        UniHandle h{};
        Qimg img{};
        Qsnd snd{};
        ASSERT_EQ(Try([&] { UniOpen(h, info); }), kOk);
        ASSERT_NE(h.mvi.avf, nullptr);
        if (c.frames > 0) {
            EXPECT_DOUBLE_EQ(info.img.duration, 1.0);
            ASSERT_EQ(Try([&] { UniImgLoad(h, img, 25, 0); }), kOk);
            EXPECT_EQ(img.width, 64);
            EXPECT_EQ(*h.mvi.curFrame, 25);
            EXPECT_EQ(Try([&] { UniImgLoad(h, img, 26, 0); }), Err(ERR_MVI, 7));
            EXPECT_EQ(UniNearestKeyFrame(h, 12, 1), 21);
            EXPECT_EQ(UniNearestKeyFrame(h, 12, -1), 11);
        } else {
            EXPECT_EQ(Try([&] { UniImgLoad(h, img, 1, 0); }), Err(ERR_MVI, 5));
        }
        ASSERT_EQ(Try([&] { UniSndLoad(h, snd, 24000, false, 1000); }), kOk);
        EXPECT_EQ(snd.samples, 1000);
        EXPECT_EQ(h.curSndPos, 25000);
        EXPECT_EQ(snd.format.bitsPerSample, 16);
        SndFree(snd);
        ImgFree(img);
        EXPECT_EQ(Try([&] { UniClose(h); }), kOk);
        EXPECT_EQ(h.mvi.avf, nullptr);
        before.Expect();
    }
}
