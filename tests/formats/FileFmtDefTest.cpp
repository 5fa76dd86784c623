#include "formats/FileFmtDef.h"

#include <gtest/gtest.h>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

TEST(FileFmtDef, ExtensionLookup) {
    EXPECT_EQ(FFTypeByExt("photo.JPG", FF_TABLE_LOAD), FT_JPEG);
    EXPECT_EQ(FFTypeByExt("x.jpe", FF_TABLE_LOAD), FT_JPEG);
    EXPECT_EQ(FFTypeByExt("picture.j", FF_TABLE_LOAD), BAD_HANDLE);  // the row holds ".J"
    EXPECT_EQ(FFTypeByExt("a.tar.gz", FF_TABLE_LOAD), BAD_HANDLE);
    EXPECT_EQ(FFTypeByExt("noextension", FF_TABLE_LOAD), BAD_HANDLE);
    EXPECT_EQ(FFTypeByExt("dir.bmp/file", FF_TABLE_LOAD), BAD_HANDLE);
    EXPECT_EQ(FFTypeByExt("x.jp", FF_TABLE_LOAD), BAD_HANDLE);  // no prefix matches
    EXPECT_EQ(FFTypeByExt("/m/clip.mpe", FF_TABLE_LOAD), FT_MPEG);
    EXPECT_EQ(FFTypeByExt("/m/clip.mpe", FF_TABLE_OUTPUT), BAD_HANDLE);
    EXPECT_EQ(FFTypeByExt("scan.im1", FF_TABLE_LOAD), FT_RAS);
    EXPECT_EQ(FFTypeByExt("a.pgm", FF_TABLE_OUTPUT), BAD_HANDLE);

    QffDesc row;
    FFFindByExt("movie.rle", row, FF_TABLE_LOAD);
    EXPECT_EQ(row.type, FT_BMP);
    EXPECT_EQ(row.description, "BMP/DIB, Windows Device Independent Bitmap");
    FFFindByExt("x.ppm", row, FF_TABLE_OUTPUT);
    EXPECT_EQ(row.shortName, "PPM");
    EXPECT_EQ(row.description, "PPM, Portable PixelMap");
    FFFindByExt("x.ras", row, FF_TABLE_LOAD);
    EXPECT_EQ(row.shortName, "RGB");
    FFFindByExt("x.zzz", row, FF_TABLE_LOAD);
    EXPECT_EQ(row.type, BAD_HANDLE);
    EXPECT_EQ(row.description, "");
}

// The lookup is a substring search in the rows' lists, first row first: every extension must
// reach its own row, the later rows' short ones included, and near misses none.
TEST(FileFmtDef, EveryExtensionFindsItsOwnRow) {
    QffDesc row;
    for (int32_t i = 0; FFGetDesc(row, i, FF_TABLE_LOAD); ++i) {
        std::string exts = row.extensions;
        for (size_t dot = exts.find('.'); dot != std::string::npos;) {
            const size_t next = exts.find('.', dot + 1);
            const std::string ext = exts.substr(dot, next - dot);
            if (ext != ".J") {  // looked up in lower case: the row never matches
                EXPECT_EQ(FFTypeByExt("/m/a" + ext, FF_TABLE_LOAD), row.type) << ext;
            }
            dot = next;
        }
    }
    EXPECT_EQ(FFTypeByExt("clip.M2TS", FF_TABLE_LOAD), FT_MPTS);
    EXPECT_EQ(FFTypeByExt("clip.Ts", FF_TABLE_LOAD), FT_MPTS);
    EXPECT_EQ(FFTypeByExt("song.opus", FF_TABLE_LOAD), FT_OPUS);
    EXPECT_EQ(FFTypeByExt("song.ogg", FF_TABLE_LOAD), FT_OGG);
    for (const char* miss : {"a.m2t", "a.t", "a.s", "a.mp", "a.m4", "a.wm", "a.3g", "a.fla"})
        EXPECT_EQ(FFTypeByExt(miss, FF_TABLE_LOAD), BAD_HANDLE) << miss;
}

TEST(FileFmtDef, TablesInOrder) {
    QffDesc row;
    ASSERT_TRUE(FFGetDesc(row, 0, FF_TABLE_LOAD));
    EXPECT_EQ(row.type, FT_HAV);
    ASSERT_TRUE(FFGetDesc(row, 18, FF_TABLE_LOAD));
    EXPECT_EQ(row.type, FT_OGG);
    ASSERT_TRUE(FFGetDesc(row, 19, FF_TABLE_LOAD));
    EXPECT_EQ(row.description, "MP4, MPEG-4 / QuickTime Movie");
    EXPECT_EQ(row.flags, FF_MOVIE | FF_PICTURE | FF_SOUND);
    ASSERT_TRUE(FFGetDesc(row, 29, FF_TABLE_LOAD));
    EXPECT_EQ(row.type, FT_WMA);
    EXPECT_EQ(row.flags, FF_AUDIOONLY | FF_SOUND);
    EXPECT_FALSE(FFGetDesc(row, 30, FF_TABLE_LOAD));
    EXPECT_FALSE(FFGetDesc(row, -1, FF_TABLE_LOAD));
    ASSERT_TRUE(FFGetDesc(row, 0, FF_TABLE_OUTPUT));
    EXPECT_EQ(row.type, FT_AVI);
    EXPECT_EQ(row.longName, "Windows Audio Video Interleaved");
    ASSERT_TRUE(FFGetDesc(row, 15, FF_TABLE_OUTPUT));
    EXPECT_EQ(row.extensions, ".mp2");
    EXPECT_EQ(row.description, "MP2, MPEG Audio Layer II");
    EXPECT_FALSE(FFGetDesc(row, 17, FF_TABLE_OUTPUT));
}

TEST(FileFmtDef, ConvExt) {
    std::string pattern, list;
    FFConvExt_(".pcx", pattern, list);
    EXPECT_EQ(pattern, "*.pcx");
    EXPECT_EQ(list, "pcx");
    FFConvExt_(".bmp.dib.rle", pattern, list);
    EXPECT_EQ(pattern, "*.bmp;*.dib;*.rle");
    EXPECT_EQ(list, "bmp,dib,rle");
}

TEST(FileFmtDef, LoadFilter) {
    std::string f;
    FFMakeLoadFilter(0, FF_FILTER_LIST, f);
    const std::string head =
        "All supported formats|*.hav;*.gif;*.bmp;*.dib;*.rle;*.flc;*.fli;*.ras;*.sun;*.im1;"
        "*.rgb;*.rgba;*.bw;*.sgi;*.pnm;*.ppm;*.pgm;*.pcx;*.png;*.avi;*.wav;*.jpg;*.jpeg;*.jif;"
        "*.jfif;*.jpe;*.J;*.tif;*.tiff;*.mpg;*.mpeg;*.m1v;*.m2v;*.mpe;*.dat;*.tga;*.bay;*.xpm;"
        "*.mp3;*.mp2;*.m2a;*.mpa;*.ogg;*.mp4;*.m4v;*.mov;*.qt;*.3gp;*.3g2;*.mkv;*.webm;*.m4a;"
        "*.m4b;*.mka;*.flac;*.opus;*.aac;*.adts;*.ts;*.m2ts;*.mts;*.flv;*.asf;*.wmv;*.wma|"
        "AAC (aac,adts)|*.aac;*.adts|ASF (asf,wmv)|*.asf;*.wmv|AVI (avi)|*.avi|BAY (bay)|*.bay|";
    EXPECT_EQ(f.substr(0, head.size()), head);
    const std::string tail = "|XPM (xpm)|*.xpm|Any file (*.*)|*.*";
    EXPECT_EQ(f.substr(f.size() - tail.size()), tail);

    FFMakeLoadFilter(FF_STILL, FF_FILTER_DESCRIPTION, f);
    EXPECT_NE(f.find("GIF, Graphics Interchange Format|*.gif|"), std::string::npos);
    EXPECT_NE(f.find("TGA, Truevision Targa|*.tga|"), std::string::npos);
    EXPECT_EQ(f.find("*.avi"), std::string::npos);
    EXPECT_EQ(f.find("*.wav"), std::string::npos);

    // One row only: no catch-all "All supported formats", but "Any file" stays.
    FFMakeLoadFilter(FF_AUDIOONLY | 32, 0, f);  // flags 20 rows share bit 4
    EXPECT_EQ(f.rfind("All supported formats", 0), 0u);
    FFMakeLoadFilter(64, 0, f);  // no row
    EXPECT_EQ(f, "Any file (*.*)|*.*");
    FFMakeLoadFilter(FF_MOVIE, FF_FILTER_NO_CATCHALL, f);
    EXPECT_EQ(f,
              "ASF|*.asf;*.wmv|AVI|*.avi|FLIC|*.flc;*.fli|FLV|*.flv|GIF|*.gif|HAV|*.hav|MKV|*.mkv;"
              "*.webm|MP4|*.mp4;*.m4v;*.mov;*.qt;*.3gp;*.3g2|MPEG|*.mpg;*.mpeg;*.m1v;*.m2v;*.mpe;"
              "*.dat|TS|*.ts;*.m2ts;*.mts|");
}

TEST(FFBasic, OutputDepths) {
    EXPECT_EQ(FFOutputDepth(FT_HAV, 15), 16);
    EXPECT_EQ(FFOutputDepth(FT_PCX, 32), 24);
    EXPECT_EQ(FFOutputDepth(FT_PNG, 7), 24);
    EXPECT_EQ(FFOutputDepth(FT_WAV, 24), 0);
    EXPECT_EQ(FFOutputDepth(FT_GIF, 8), BAD_HANDLE);
}

TEST(FFBasic, PreparePadsAndConverts) {
    const test::RegisterBalance balance;
    Qimg img{};
    _imgalloc_(img, 3, 2, "test.img", __LINE__, 24);
    for (int i = 0; i < img.size; ++i) img.data[i] = static_cast<uint8_t>(i + 1);

    QffPrep prep{};
    FFInit(FT_BMP, prep, img, 1);  // nothing to do: the picture itself
    EXPECT_EQ(prep.image, &img);
    EXPECT_FALSE(prep.tempUsed);
    FFDone(prep);

    FFInit(FT_HAV, prep, img, 4);  // padded to 4 x 4, still 24 bits
    ASSERT_TRUE(prep.tempUsed);
    EXPECT_EQ(prep.image->width, 4);
    EXPECT_EQ(prep.image->height, 4);
    EXPECT_EQ(prep.image->data[0], 1);
    EXPECT_EQ(prep.image->data[3 * 4], 10);  // second row starts with the source's fourth pixel
    EXPECT_EQ(prep.image->data[9], 0);       // the padding column is black
    FFDone(prep);

    FFInit(FT_JPEG, prep, img, 1);
    EXPECT_FALSE(prep.tempUsed);  // JPEG takes 24 bits as they are
    FFDone(prep);
    FFInit(FT_FLIC, prep, img, 1);  // converted to 8 bits
    EXPECT_EQ(prep.image->bitsPP, 8);
    FFDone(prep);

    MonitoredIsolated([&] { FFInit(FT_GIF, prep, img, 1); });  // no output row
    EXPECT_EQ(ErrLastText(), "Invalid movie format.");
    ImgFree(img);
    balance.Expect();
}

TEST(FFBasic, ByteReaderStopsAtTheEnd) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    QByteReader r = ByteReader(bytes, sizeof bytes);
    EXPECT_EQ(BrU16LE(r), 0x0201);
    EXPECT_EQ(BrU16BE(r), 0x0304);
    EXPECT_FALSE(r.overrun);
    EXPECT_EQ(BrU32LE(r), 0u);  // only one byte left
    EXPECT_TRUE(r.overrun);
    EXPECT_EQ(BrLeft(r), 0);
    r = ByteReader(bytes, sizeof bytes);
    EXPECT_EQ(BrU32BE(r), 0x01020304u);
    uint8_t out[3] = {9, 9, 9};
    BrBytes(r, out, 3);
    EXPECT_TRUE(r.overrun);
    EXPECT_EQ(out[0], 0);
    r = ByteReader(bytes, sizeof bytes);
    BrSeek(r, 6);
    EXPECT_TRUE(r.overrun);
}

TEST(FFBasic, NumericHelpers) {
    EXPECT_EQ(FourCC('R', 'I', 'F', 'F'), 0x46464952u);
    EXPECT_EQ(FourCCStr(0x46464952u), "RIFF");
    EXPECT_DOUBLE_EQ(RateOf(300, 10), 30.0);
    EXPECT_EQ(RateOf(300, 0), 0.0);
    EXPECT_EQ(MulPos(6, 7), 42);
    EXPECT_EQ(MulPos(-6, 7), 0);
    EXPECT_EQ(TruncMul2(2.5, 2.9), 7);
    EXPECT_EQ(TruncMul3(2, 2, 2.4), 9);
    EXPECT_EQ(TruncMul3(2, 0, 2.4), 0);
    EXPECT_EQ(TruncMulDiv(10, 3, 4), 7);
    EXPECT_EQ(TruncMulDiv(10, 3, -4), 0);
    EXPECT_TRUE(FFSaneGeometry(65535, 4096, 32));
    EXPECT_FALSE(FFSaneGeometry(65535, 65535, 32));
    // The picture limit counts pixels, whatever their depth.
    EXPECT_TRUE(FFSaneGeometry(16384, 16384, 32));
    EXPECT_FALSE(FFSaneGeometry(16384, 16385, 8));
    EXPECT_FALSE(FFSaneGeometry(27000, 27000, 8));
    EXPECT_FALSE(FFSaneGeometry(0, 10, 8));
    EXPECT_FALSE(FFSaneGeometry(65536, 1, 8));
}
