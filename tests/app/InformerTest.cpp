// The media information report, compared as whole texts.

#include "app/informer.h"

#include <gtest/gtest.h>

#include <string>

using namespace kelvora;

namespace {

// A WAV file of one second of 16-bit stereo at 22050 Hz, as UniInfo describes it.
QUniInfo WavInfo() {
    QUniInfo d{};
    d.format = FT_WAV;
    d.kind = UNI_MOVIE;
    d.fileName = "tone.wav";
    d.formatName = "WAV, Windows Wave Sound";
    d.fileSize = 88244;
    d.dataRate = 88200;
    d.snd.soundSamples = 22050;
    d.snd.rate = 22050;
    d.snd.channels = 2;
    d.snd.bitsPerSample = 16;
    d.snd.blockAlign = 4;
    d.snd.soundBytes = 88200;
    d.snd.duration = 1.0;
    d.snd.soundCompression = "PCM, uncompressed";
    d.snd.hasSound = -1;
    d.snd.soundSupported = -1;
    return d;
}

// A 640 x 480 24-bit BMP.
QUniInfo StillInfo() {
    QUniInfo d{};
    d.format = FT_BMP;
    d.kind = UNI_STILL;
    d.fileName = "pic.bmp";
    d.formatName = "BMP/DIB, Windows Device Independent Bitmap";
    d.fileSize = 921654;
    d.img = QUniImgDesc{640, 480, 3, 24, 1, 0.0, 921600.0, 0.0, "Uncompressed, full frames",
                        -1,  -1,  0};
    d.snd.soundCompression = "PCM, uncompressed";
    return d;
}

const std::string kHeader =
    "\"FileName\";\"FileFormat\";\"FileSize\";\"FileUncompSize\";\"FileComprRatio\";"
    "\"FileDataRate\";"
    "\"FileEstDataRate\";\"VidFormat\";\"VidRes\";\"VidColors\";\"VidRate\";\"VidFrames\";"
    "\"VidTime\";"
    "\"VidUncmpSize\";\"AudFormat\";\"AudRate\";\"AudChannels\";\"AudBits\";\"AudSamples\";"
    "\"AudTime\";"
    "\"AudUncmpSize\"\r\n";
const std::string kRule = std::string(40, '=') + "\r\n";

}  // namespace

TEST(Informer, WavReport) {
    const QUniInfo d = WavInfo();
    EXPECT_EQ(_GetTextualInfo(d, false, true),
              "File name:  tone.wav\r\n"
              "File Format:  WAV, Windows Wave Sound\r\n"
              "File Size:  88,244 bytes\r\n"
              "Uncompressed size:  88,200 bytes\r\n"
              "Compression ratio:  100.0%\r\n"
              "Reported data rate:  86 kB/s\r\n"
              "Estimated data rate:  86 kB/s\r\n"
              "\r\n"
              "Video format:  No video stream\r\n"
              "Width x Height:  \r\n"
              "Color depth:  \r\n"
              "Frame rate:  \r\n"
              "Number of frames:  \r\n"
              "Duration:  \r\n"
              "Uncompressed size:  \r\n"
              "\r\n"
              "Audio format:  PCM, uncompressed\r\n"
              "Sample rate:  22050 Hz\r\n"
              "Channels:  2 (stereo)\r\n"
              "Bits per channel:  16-bit\r\n"
              "Number of samples:  22,050\r\n"
              "Duration:  00:01.000\r\n"
              "Uncompressed size:  88,200 bytes\r\n" +
                  kRule);
    EXPECT_EQ(_GetTextualInfo(d, true, true),
              kHeader +
                  "\"tone.wav\";\"WAV, Windows Wave Sound\";88244;88200;\"100.0%\";86;86;\"No "
                  "video stream\";\"\";\"\";;;;;"
                  "\"PCM, uncompressed\";22050;2;\"16\";22050;1.000;88200;\r\n");
}

TEST(Informer, StillReport) {
    QUniInfo d = StillInfo();
    EXPECT_EQ(_GetTextualInfo(d, false, false),
              "File name:  pic.bmp\r\n"
              "File Format:  BMP/DIB, Windows Device Independent Bitmap\r\n"
              "File Size:  921,654 bytes\r\n"
              "Uncompressed size:  921,600 bytes\r\n"
              "Compression ratio:  100.0%\r\n"
              "Reported data rate:  \r\n"
              "Estimated data rate:  \r\n"
              "\r\n"
              "Video format:  Uncompressed, full frames\r\n"
              "Width x Height:  640 x 480 pixels\r\n"
              "Color depth:  24-bit (16,777,216 colors)\r\n"
              "Frame rate:  0.00 fps\r\n"
              "Number of frames:  1\r\n"
              "Duration:  \r\n"
              "Uncompressed size:  921,600 bytes\r\n"
              "\r\n"
              "Audio format:  No audio stream\r\n"
              "Sample rate:  \r\n"
              "Channels:  \r\n"
              "Bits per channel:  \r\n"
              "Number of samples:  \r\n"
              "Duration:  \r\n"
              "Uncompressed size:  \r\n" +
                  kRule);
    EXPECT_EQ(
        _GetTextualInfo(d, true, false),
        "\"pic.bmp\";\"BMP/DIB, Windows Device Independent Bitmap\";921654;921600;\"100.0%\";;;"
        "\"Uncompressed, full frames\";\"640 x 480\";\"24-bit (16,777,216 colors)\";0.00;1;;921600;"
        "\"No audio stream\";;;\"\";;;;\r\n");
    // A still shown for a given frame rate, pictures that cannot be decoded.
    d.img.frameRate = 25;
    d.img.duration = 0.04;
    d.img.videoSupported = 0;
    d.img.bitsPP = 15;
    QInfTextRec v;
    _CalcInfoValues(d, v, true);
    EXPECT_EQ(v.VidTime, "00:00.040");
    EXPECT_EQ(v.FileEstDataRate, "22501");  // 921654 / 1024 / 0.04 = 22501.3
    EXPECT_EQ(v.VidFormat, "Uncompressed, full frames *NOT SUPPORTED*");
    EXPECT_EQ(v.VidColors, "15-bit (32,768 colors)");
    d.img.bitsPP = 4;
    _CalcInfoValues(d, v, false);
    EXPECT_EQ(v.VidColors, "4-bit");
    EXPECT_EQ(v.VidTime, "0.040");
}

// A long Matroska movie whose counts are the container's estimates: the readable form says
// "about", the delimited one keeps plain numbers for spreadsheets.
TEST(Informer, EstimatedCountsSayAbout) {
    QUniInfo d = WavInfo();
    d.img = QUniImgDesc{320, 240, 3, 24, 180000, 7200.0, 0.0, 25.0, "VP9", -1, -1, -1};
    d.snd.samplesEstimated = -1;
    QInfTextRec v;
    _CalcInfoValues(d, v, true);
    EXPECT_EQ(v.VidFrames, "about 180,000");
    EXPECT_EQ(v.AudSamples, "about 22,050");
    EXPECT_EQ(v.VidTime, "02:00:00.000");
    _CalcInfoValues(d, v, false);
    EXPECT_EQ(v.VidFrames, "180,000");
    EXPECT_EQ(v.AudSamples, "22050");
    d.img.framesEstimated = 0;
    _CalcInfoValues(d, v, true);
    EXPECT_EQ(v.VidFrames, "180,000");
}

TEST(Informer, RatiosAndTimes) {
    EXPECT_EQ(_GetRatioString(true, 1000000, 4000000), "25.0%  (4.0 : 1)");
    EXPECT_EQ(_GetRatioString(false, 1000000, 4000000), "25.0%");
    EXPECT_EQ(_GetRatioString(true, 5000, 5000), "100.0%");
    EXPECT_EQ(_GetRatioString(true, 400, 100), "400.0%");
    EXPECT_EQ(_GetRatioString(true, 100, 0), "");
    EXPECT_EQ(_GetRatioString(true, 0, 100), "");
    EXPECT_EQ(_CalcTimeString(true, 10, 655), "01:05.500");
    EXPECT_EQ(_CalcTimeString(false, 10, 655), "65.500");
    EXPECT_EQ(_CalcTimeString(true, 1, 3725.5), "01:02:05.500");
    EXPECT_EQ(_CalcTimeString(true, 0, 655), "");
}

TEST(Informer, ListCutsAt32k) {
    QUniInfo a = WavInfo(), b = StillInfo(), c = WavInfo();
    InfoListInit();
    EXPECT_EQ(InfoListGetStr(true), "");
    InfoListAdd(a);
    InfoListAdd(b);
    InfoListAdd(a);  // once only
    EXPECT_EQ(InfoListGetStr(true), _GetTextualInfo(a, true, true) + _GetTextualInfo(b, true, false));
    EXPECT_EQ(InfoListGetStr(false),
              _GetTextualInfo(a, false, true) + _GetTextualInfo(b, false, false));

    const std::string notice = "\r\n...Sorry, Windows edit box can't handle more than 32k...";
    a.fileName = std::string(12000, 'a');
    b.fileName = std::string(12000, 'b');
    c.fileName = std::string(12000, 'c');
    InfoListAdd(c);
    const std::string two = _GetTextualInfo(a, false, true) + _GetTextualInfo(b, false, false);
    ASSERT_LT(two.size(), INFO_MAX_TEXT);
    EXPECT_EQ(InfoListGetStr(false), two + notice);  // the third would pass 32,000 characters
    a.fileName = std::string(40000, 'a');            // the first is always whole
    b.fileName = std::string(20000, 'b');
    EXPECT_EQ(InfoListGetStr(true), _GetTextualInfo(a, true, true) + notice);
    InfoListDone();
    EXPECT_EQ(InfoListGetStr(false), "");
}
