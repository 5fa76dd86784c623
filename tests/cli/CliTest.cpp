// kelvora-cli run as a child process: exit codes, the information report, picture and sound
// export through the unified media layer, and HAV encoding.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

struct CliTest : ::testing::Test {
    void SetUp() override {
        // A flat colour Bayer picture (every sample 100) and a monochrome one.
        WriteFileBytes(dir.file("flat.bay"), std::string(512 * 384, '\x64') + Trailer("EK", 1, 2));
        WriteFileBytes(dir.file("grey.bay"), std::string(512 * 144, '\x20') + Trailer("ML", 2, 4));
        WriteFileBytes(dir.file("notes.txt"), "hello");
    }
    static std::string Trailer(const char* model, char mode, char exposure) {
        std::string t(1024, '\0');
        t.replace(0, 8, std::string(model) + " BAY 2");
        t[8] = mode;
        t[11] = exposure;
        return t;
    }
    // Runs the program in the temporary folder with `args` (no quoting needed there).
    CliRun Cli(const std::string& args) {
        const std::string cmd = "cd '" + dir.path() + "' && '" KV_CLI "' " + args +
                                " >stdout 2>stderr";
        const int rc = std::system(cmd.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFileBytes(dir.file("stdout")),
                ReadFileBytes(dir.file("stderr"))};
    }
    TempDir dir;
};

}  // namespace

TEST_F(CliTest, ExitCodes) {
    struct Case {
        const char* args;
        int status;
        const char* message;  // expected in standard error
    };
    const Case cases[] = {
        {"", 2, "Usage:"},
        {"bogus", 2, "unknown command"},
        {"info", 2, "needs a file"},
        {"info flat.bay --tabs", 2, "unknown option"},
        {"export flat.bay --frame 1", 2, "-o"},
        {"export flat.bay -o out.ppm", 2, "one of --frame N, --all and --sound"},
        {"export flat.bay --all --frame 1 -o out%d.ppm", 2, "one of --frame N, --all and --sound"},
        {"export flat.bay --frame 1 -o out.gif", 2, ".ppm, .bmp or .png"},
        {"export flat.bay --all -o out.ppm", 2, "one frame number"},
        {"export flat.bay --all -o out%d%s.ppm", 2, "one frame number"},
        {"export flat.bay --sound -o out.ppm", 2, ".wav"},
        {"export flat.bay --frame one -o out.ppm", 2, "bad frame number"},
        {"export flat.bay --frame 1 -o out.ppm --bpp 12", 2, "--bpp"},
        {"export flat.bay --frame 1 -o out.ppm --method 4", 2, "--method"},
        {"export flat.bay grey.bay --frame 1 -o out.ppm", 2, "one file"},
        {"export flat.bay --frame 2 -o out.ppm", 1, "frame 2 does not exist (the file has 1 frame)"},
        {"export flat.bay --sound -o out.wav", 1, "no sound"},
        {"export missing.bay --frame 1 -o out.ppm", 1, "File \"missing.bay\" does not exist."},
        {"export flat.bay --frame 1 -o nodir/out.ppm", 1, "Cannot create file: nodir/out.ppm"},
        {"info missing.bay", 1, "File \"missing.bay\" does not exist."},
        {"info notes.txt", 1, "File \"notes.txt\" is not supported."},  // no format for the extension
        {"hav-encode -o m.hav missing.bay", 1, "does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CliRun r = Cli(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    const CliRun help = Cli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("export FILE (--frame N | --all) -o OUT"), std::string::npos);
    EXPECT_EQ(Cli("--version").status, 0);
}

TEST_F(CliTest, InfoPrintsTheReport) {
    const CliRun d = Cli("info grey.bay missing.bay flat.bay --delimited");
    EXPECT_EQ(d.status, 1);  // one file could not be described; the others are reported
    EXPECT_EQ(
        d.out,
        "\"FileName\";\"FileFormat\";\"FileSize\";\"FileUncompSize\";\"FileComprRatio\";"
        "\"FileDataRate\";"
        "\"FileEstDataRate\";\"VidFormat\";\"VidRes\";\"VidColors\";\"VidRate\";\"VidFrames\";"
        "\"VidTime\";"
        "\"VidUncmpSize\";\"AudFormat\";\"AudRate\";\"AudChannels\";\"AudBits\";\"AudSamples\";"
        "\"AudTime\";"
        "\"AudUncmpSize\"\r\n"
        "\"grey.bay\";\"BAY, Bayer Image\";74752;73728;\"101.4%\";;18250;\"HG (monochrome)\";\"512 "
        "x 144\";"
        "\"8-bit (256 colors)\";250.00;1;0.004;73728;\"No audio stream\";;;\"\";;;;\r\n"
        "\"flat.bay\";\"BAY, Bayer Image\";197632;589824;\"33.5%\";;96500;\"HRC (color)\";\"512 x "
        "384\";"
        "\"24-bit (16,777,216 colors)\";500.00;1;0.002;589824;\"No audio stream\";;;\"\";;;;\r\n");
    const CliRun r = Cli("info grey.bay");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string head =
        "File name:  grey.bay\r\nFile Format:  BAY, Bayer Image\r\nFile Size:  74,752 "
        "bytes\r\nUncompressed size:  ";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.substr(r.out.size() - 42), std::string(40, '=') + "\r\n");
}

TEST_F(CliTest, ExportWritesEachPictureType) {
    ASSERT_EQ(Cli("export flat.bay --frame 1 -o out.ppm").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("out.ppm")),
              "P6\n512 384\n255\n" + std::string(512 * 384 * 3, '\x64'));

    const CliRun grey = Cli("export flat.bay --frame 1 -o out.BMP --bpp 8 --method 3");
    ASSERT_EQ(grey.status, 0) << grey.err;
    const std::string bmp = ReadFileBytes(dir.file("out.BMP"));
    ASSERT_EQ(bmp.size(), 14u + 40 + 1024 + 512 * 384);
    EXPECT_EQ(bmp[28], 8);                                           // bits per pixel
    EXPECT_EQ(bmp.substr(14 + 40 + 4 * 100, 3), "ddd");              // grey ramp entry 100
    EXPECT_EQ(bmp.substr(bmp.size() - 512), std::string(512, 'd'));  // every pixel is index 100

    ASSERT_EQ(Cli("export grey.bay --frame 1 -o out.png").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("out.png")).substr(1, 3), "PNG");
}

// A JPEG goes to PPM band by band; the file is the one the whole-picture path (taken with --bpp)
// writes, and a write that fails leaves no file behind.
TEST_F(CliTest, JpegToPpmMatchesTheWholePicturePath) {
    const std::string data = std::string(KV_TEST_DATA) + "/formats/jpg/";
    for (const char* name : {"colour.jpg", "grey.jpg", "cmyk.jpg"}) {
        SCOPED_TRACE(name);
        WriteFileBytes(dir.file(name), ReadFileBytes(data + name));
        const CliRun banded = Cli(std::string("export ") + name + " --frame 1 -o banded.ppm");
        ASSERT_EQ(banded.status, 0) << banded.err;
        ASSERT_EQ(Cli(std::string("export ") + name + " --frame 1 --bpp 24 -o whole.ppm").status, 0);
        EXPECT_EQ(ReadFileBytes(dir.file("banded.ppm")), ReadFileBytes(dir.file("whole.ppm")));
    }
    // Past 1 KiB the file system refuses the writes (the signal ignored, so they fail instead).
    const std::string cmd = "cd '" + dir.path() +
                            "' && trap '' XFSZ && ulimit -f 1 && '" KV_CLI
                            "' export colour.jpg --frame 1 -o small.ppm 2>stderr";
    const int rc = std::system(("bash -c \"" + cmd + "\"").c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << rc;
    EXPECT_EQ(ReadFileBytes(dir.file("stderr")), "kelvora-cli: small.ppm: Cannot write to file.\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("small.ppm")));
}

TEST_F(CliTest, EncodedMovieExportsAnyFrame) {
    // Two pictures of different grey levels become a two-frame movie; each frame comes back.
    WriteFileBytes(dir.file("a.ppm"), "P6\n4 2\n255\n" + std::string(4 * 2 * 3, '\x10'));
    WriteFileBytes(dir.file("b.ppm"), "P6\n4 2\n255\n" + std::string(4 * 2 * 3, '\x80'));
    const CliRun enc = Cli("hav-encode -o m.hav --codec best-p --key 1 a.ppm b.ppm");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const CliRun info = Cli("info m.hav");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("File Format:  HAV, High quality Audio Video\r\n"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("Number of frames:  2\r\n"), std::string::npos);

    ASSERT_EQ(Cli("export m.hav --frame 2 -o f2.ppm").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("f2.ppm")), ReadFileBytes(dir.file("b.ppm")));
    ASSERT_EQ(Cli("export m.hav --frame 1 -o f1.ppm").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("f1.ppm")), ReadFileBytes(dir.file("a.ppm")));
    EXPECT_EQ(Cli("export m.hav --frame 3 -o f3.ppm").status, 1);  // past the end
    EXPECT_EQ(Cli("hav-encode m2.hav").status, 2);                 // no -o
}

TEST_F(CliTest, FramesInAnyOrderMatchTheWholeExport) {
    // A numbered still sequence and a HAV movie with sound (fixtures made with ffmpeg): every
    // frame exported by --all equals the same frame exported on its own, in a shuffled order,
    // and the independent decode.
    const std::string data = std::string(KV_TEST_DATA) + "/formats/";
    for (int i = 1; i <= 3; ++i) {
        const std::string name = "frame00" + std::to_string(i) + ".bmp";
        WriteFileBytes(dir.file(name), ReadFileBytes(data + "seq/" + name));
    }
    WriteFileBytes(dir.file("clip.hav"), ReadFileBytes(data + "hav/clip-bestp24.hav"));
    const std::string seqPixels = ReadFileBytes(data + "seq/frames.bgr");
    const std::string clipPixels = ReadFileBytes(data + "hav/clip-32x24.bgr");
    struct Case {
        const char* input;
        int frames;
        int width, height;
        const std::string& bgr;
        std::vector<int> order;
    };
    const Case cases[] = {{"frame001.bmp", 3, 8, 6, seqPixels, {3, 1, 2}},
                          {"clip.hav", 6, 32, 24, clipPixels, {5, 2, 6, 1, 4, 3}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const CliRun all = Cli(std::string("export ") + c.input + " --all -o all%02d.ppm");
        ASSERT_EQ(all.status, 0) << all.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("all" + std::to_string(c.frames + 1) + ".ppm")));
        const size_t frameBytes = static_cast<size_t>(c.width) * c.height * 3;
        for (int n : c.order) {
            ASSERT_EQ(Cli(std::string("export ") + c.input + " --frame " + std::to_string(n) +
                          " -o one.ppm")
                          .status,
                      0);
            const std::string one = ReadFileBytes(dir.file("one.ppm"));
            const std::string name = std::string("all0") + std::to_string(n) + ".ppm";
            EXPECT_EQ(one, ReadFileBytes(dir.file(name))) << "frame " << n;
            // P6 holds red, green, blue; the decode is blue, green, red.
            std::string rgb = c.bgr.substr((n - 1) * frameBytes, frameBytes);
            for (size_t i = 0; i < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
            EXPECT_EQ(one, "P6\n" + std::to_string(c.width) + " " + std::to_string(c.height) +
                               "\n255\n" + rgb)
                << "frame " << n;
        }
    }
}

TEST_F(CliTest, SoundExportAndMovieEncodingKeepTheSound) {
    const std::string data = std::string(KV_TEST_DATA) + "/formats/hav/";
    WriteFileBytes(dir.file("clip.hav"), ReadFileBytes(data + "clip-bestp24.hav"));
    const std::string tone = ReadFileBytes(data + "tone-8k.u8");
    // 44-byte header: PCM, 1 channel, 8000 Hz, 8 bits; then the samples (an even count).
    auto wav = [](const std::string& samples) {
        std::string h(
            "RIFF____WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x40\x1F\0\0\x01\0\x08\0data____", 44);
        auto put32 = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i) h[at + i] = static_cast<char>(v >> (8 * i));
        };
        put32(4, static_cast<uint32_t>(36 + samples.size()));
        put32(40, static_cast<uint32_t>(samples.size()));
        return h + samples;
    };
    const CliRun s = Cli("export clip.hav --sound -o tone.wav");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(ReadFileBytes(dir.file("tone.wav")) == wav(tone));

    // Re-encoding the movie copies its frames, frame rate and sound.
    const CliRun enc = Cli("hav-encode -o again.hav --codec fast --key 2 clip.hav");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const CliRun info = Cli("info again.hav --delimited");
    EXPECT_NE(
        info.out.find(
            "\"HAV FAST codec\";\"32 x 24\";\"24-bit (16,777,216 colors)\";10.00;6;0.600;13824;"
            "\"PCM, uncompressed\";8000;1;\"8\";2400;0.300;2400;"),
        std::string::npos)
        << info.out;
    ASSERT_EQ(Cli("export again.hav --sound -o again.wav").status, 0);
    EXPECT_TRUE(ReadFileBytes(dir.file("again.wav")) == wav(tone));

    // Stills and a sequence in one movie, silent: 1 + 3 frames.
    for (int i = 1; i <= 3; ++i)
        WriteFileBytes(dir.file("s" + std::to_string(i) + ".ppm"),
                       "P6\n4 2\n255\n" + std::string(24, char(40 * i)));
    const CliRun mixed = Cli("hav-encode -o mixed.hav s3.ppm s1.ppm");
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    ASSERT_EQ(Cli("export mixed.hav --all -o m%d.ppm").status, 0);
    for (const auto& [frame, still] : {std::pair{1, 3}, {2, 1}, {3, 2}, {4, 3}})
        EXPECT_EQ(ReadFileBytes(dir.file("m" + std::to_string(frame) + ".ppm")),
                  ReadFileBytes(dir.file("s" + std::to_string(still) + ".ppm")))
            << frame;
    EXPECT_EQ(Cli("export mixed.hav --sound -o none.wav").status, 1);
}

TEST_F(CliTest, AnimatedPicturesExportThroughTheMovieLayer) {
    const std::string gif = std::string(KV_TEST_DATA) + "/formats/gif/dispose.gif";
    const CliRun all = Cli("export '" + gif + "' --all -o g%02d.ppm");
    ASSERT_EQ(all.status, 0) << all.err;
    const std::string first = ReadFileBytes(dir.file("g01.ppm"));
    const std::string second = ReadFileBytes(dir.file("g02.ppm"));
    EXPECT_EQ(first.rfind("P6\n32 24\n255\n", 0), 0u);
    EXPECT_EQ(second.size(), first.size());
    EXPECT_NE(second, first);  // the second frame changes the picture
    // Random access to frame 2 gives what playing through gave.
    ASSERT_EQ(Cli("export '" + gif + "' --frame 2 -o one.ppm").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("one.ppm")), second);
}

TEST_F(CliTest, PlayRunsTheEngineToTheEndAndStopsOnInterrupt) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);  // no sound card needed
    const std::string data = std::string(KV_TEST_DATA) + "/formats/hav/";
    WriteFileBytes(dir.file("clip.hav"),
                   ReadFileBytes(data + "clip-bestp24.hav"));  // 6 frames at 10 fps
    const CliRun quiet = Cli("play clip.hav --audio=none --every-frame");
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_NE(quiet.out.find("frame 6 / 6"), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.out.find("frames shown"), std::string::npos);
    const CliRun sound = Cli("play clip.hav --seek 0.2 --fps 20");
    EXPECT_EQ(sound.status, 0) << sound.err;
    const struct {
        const char* args;
        int status;
        const char* message;
    } cases[] = {
        {"play", 2, "needs a file"},
        {"play clip.hav --fps 0", 2, "bad frame rate"},
        {"play clip.hav --seek", 2, "needs a value"},
        {"play clip.hav clip.hav", 2, "one file"},
        {"play missing.hav", 1, "File \"missing.hav\" does not exist."},
        {"play notes.txt", 1, "is not supported."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const CliRun r = Cli(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // A twelve-second run interrupted after half a second ends at once.
    const std::string cmd = "cd '" + dir.path() +
                            "' && { '" KV_CLI
                            "' play clip.hav --audio=none --fps 0.5 >/dev/null & " +
                            "pid=$!; sleep 0.5; kill -INT $pid; wait $pid; }";
    const int rc = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 130);
}

// The command line stays light: no Qt and no window-system library among what it links, and a still
// picture's export loads none of the libraries the movies, sound and TIFF/XPM pictures need.
TEST_F(CliTest, LinksNoWindowSystemAndLoadsCodecsOnlyWhenNeeded) {
    if (!kelvora::test::HaveTools({"ldd"})) GTEST_SKIP() << "ldd lists the libraries";
    const std::string listed = dir.file("ldd.txt");
    ASSERT_EQ(std::system(("ldd '" KV_CLI "' >'" + listed + "'").c_str()), 0);
    const std::string libraries = ReadFileBytes(listed);
    for (const char* gui :
         {"libQt6", "libGL", "libEGL", "libOpenGL", "libwayland", "libX11", "libxcb"})
        EXPECT_EQ(libraries.find(gui), std::string::npos) << gui << " in\n" << libraries;
#if defined(KV_LAZY_LIBS)
    // The loader tells which files it opens: the version and a still picture's export need
    // none of the libraries loaded on first use.
    const CliRun light = Cli("--version && LD_DEBUG=files '" KV_CLI
                             "' export flat.bay --frame 1 "
                             "-o flat.bmp && LD_DEBUG=files '" KV_CLI
                             "' export flat.bmp "
                             "--frame 1 -o flat.ppm");
    ASSERT_EQ(light.status, 0) << light.err;
    EXPECT_NE(light.err.find("libstdc++"), std::string::npos) << "no loader report";
    for (const char* lazy : {"libavcodec", "libavformat", "libSDL2", "libtiff", "libXpm"})
        EXPECT_EQ(light.err.find(lazy), std::string::npos) << lazy << " loaded";
#endif
}

// The count of shown frames covers every frame of a run, from the one shown at the start: a
// 100-frame movie played in every-frame mode shows 100, a one-frame movie 1, and a run started
// by a seek counts from the frame it shows.
TEST_F(CliTest, PlayCountsEveryFrameShown) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string clip = std::string(KV_TEST_DATA) + "/formats/hav/clip-bestp24.hav";
    std::string inputs;
    for (int i = 0; i < 17; ++i) inputs += " '" + clip + "'";  // 6 frames each: 102
    ASSERT_EQ(Cli("hav-encode -o long.hav --fps 200 --key 10" + inputs).status, 0);
    ASSERT_EQ(Cli("export long.hav --frame 1 -o one.bmp").status, 0);
    ASSERT_EQ(Cli("hav-encode -o one.hav one.bmp").status, 0);
    const struct {
        const char* args;
        int shown;
    } cases[] = {
        {"play long.hav --audio=none --every-frame", 102},
        {"play long.hav --audio=none --every-frame --seek 0.25", 52},  // from frame 50
        {"play long.hav --audio=none --every-frame --seek 0", 102},
        {"play one.hav --audio=none", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        for (int run = 0; run < 3; ++run) {  // the count once raced the worker's first frames
            const CliRun r = Cli(c.args);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("\n" + std::to_string(c.shown) + " frames shown in "), std::string::npos)
                << r.out;
        }
    }
}

// Sound files made by sox and oggenc: described, exported as PCM WAV (equal to an independent
// decode) and played to their end on SDL's dummy driver.
TEST_F(CliTest, SoundFilesAreDescribedExportedAndPlayed) {
    if (!kelvora::test::HaveTools({"sox", "ffmpeg", "oggenc", "oggdec"}))
        GTEST_SKIP() << "sox, ffmpeg and vorbis-tools make the fixtures";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string d = "cd '" + dir.path() + "' && ";
    ASSERT_TRUE(kelvora::test::RunQuiet(
        d + "sox -n -r 22050 -c 2 -b 16 tone.wav synth 1.5 sine 440 sine 660 vol 0.6 && " +
        "sox tone.wav -e ima-adpcm ima.wav && sox tone.wav -b 24 deep.wav && " +
        "oggenc -Q -o tone.ogg tone.wav && oggdec -Q -o ogg-ref.wav tone.ogg"));
    const struct {
        const char* file;
        const char* codec;      // the report's audio format line
        const char* bits;       // and its bits per channel
        const char* reference;  // an independent decode of the file
        int tolerance;
    } files[] = {
        {"ima.wav", "(#17) ADPCM IMA WAV", "16-bit", "ima.wav", 1},
        {"deep.wav", "(#1) PCM, uncompressed", "24-bit", "deep.wav", 0},
        {"tone.ogg", "Ogg Vorbis audio codec", "16-bit", "ogg-ref.wav", 1},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file);
        const CliRun info = Cli(std::string("info ") + f.file);
        ASSERT_EQ(info.status, 0) << info.err;
        EXPECT_NE(info.out.find(std::string("Audio format:  ") + f.codec + "\r\n"), std::string::npos)
            << info.out;
        EXPECT_NE(info.out.find(std::string("Bits per channel:  ") + f.bits), std::string::npos);
        EXPECT_NE(info.out.find("Sample rate:  22050 Hz"), std::string::npos);

        const CliRun out = Cli(std::string("export ") + f.file + " --sound -o out.wav");
        ASSERT_EQ(out.status, 0) << out.err;
        const std::string written = ReadFileBytes(dir.file("out.wav"));
        ASSERT_GT(written.size(), 44u);
        EXPECT_EQ(written[34], std::string(f.bits) == "24-bit" ? 24 : 16);  // the delivered width
        if (std::string(f.bits) == "24-bit") {  // PCM as it stands: the same data, byte for byte
            const std::string source = ReadFileBytes(dir.file(f.file));
            EXPECT_EQ(written.substr(44), source.substr(source.size() - (written.size() - 44)));
        } else {
            const std::vector<int16_t> ours = kelvora::test::FfmpegS16(dir.file("out.wav"));
            const std::vector<int16_t> ref = kelvora::test::FfmpegS16(dir.file(f.reference));
            ASSERT_EQ(ours.size(), ref.size());
            EXPECT_LE(kelvora::test::MaxSampleDiff(ours.data(), ref.data(), ref.size()), f.tolerance);
        }

        const CliRun play = Cli(std::string("play ") + f.file);
        ASSERT_EQ(play.status, 0) << play.err;
        // The last status line: the end of the sound, reached in real time.
        EXPECT_NE(play.out.find("time 00:00:01 / 00:00:01"), std::string::npos) << play.out;
        const size_t shown = play.out.find("frames shown in ");
        ASSERT_NE(shown, std::string::npos);
        EXPECT_GE(std::stod(play.out.substr(shown + 16)), 1.4);
    }
}

// A Motion JPEG movie with MP3 sound made by ffmpeg: described with both codec names, a frame
// and the sound exported (each against ffmpeg's own decode), re-encoded as HAV with its sound,
// and played to its end on SDL's dummy driver.
TEST_F(CliTest, AviMoviesAreDescribedExportedEncodedAndPlayed) {
    if (!kelvora::test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the movie";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string d = "cd '" + dir.path() + "' && ffmpeg -v error -nostdin -y ";
    ASSERT_TRUE(kelvora::test::RunQuiet(
        d + "-f lavfi -i testsrc=size=64x48:rate=10:duration=1.5 " +
        "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=1.5 " +
        "-c:v mjpeg -q:v 2 -c:a libmp3lame -b:a 64k clip.avi && " + d +
        "-i clip.avi -f rawvideo -pix_fmt rgb24 " +
        "-sws_flags bicubic+accurate_rnd+full_chroma_int+bitexact ref.rgb"));
    const CliRun info = Cli("info clip.avi");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("File Format:  AVI, "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Video format:  (MJPG) "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Audio format:  (#85) "), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Width x Height:  64 x 48 pixels"), std::string::npos);
    // ffmpeg may add a frame to meet the end of the sound: its decode tells the count.
    const std::string all = ReadFileBytes(dir.file("ref.rgb"));
    const size_t frameBytes = 64 * 48 * 3;
    const int frames = static_cast<int>(all.size() / frameBytes);
    ASSERT_GE(frames, 15);
    const std::string count = std::to_string(frames);
    EXPECT_NE(info.out.find("Number of frames:  " + count + "\r\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Sample rate:  22050 Hz"), std::string::npos);

    // Frame 7 within 45 dB of ffmpeg's (the colour conversions differ in rounding only).
    const CliRun frame = Cli("export clip.avi --frame 7 -o f7.ppm");
    ASSERT_EQ(frame.status, 0) << frame.err;
    const std::string ppm = ReadFileBytes(dir.file("f7.ppm"));
    const std::string ref = all.substr(6 * frameBytes, frameBytes);
    ASSERT_EQ(ppm.rfind("P6\n64 48\n255\n", 0), 0u);
    const std::string pixels = ppm.substr(ppm.size() - ref.size());
    double sum = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const double diff = static_cast<uint8_t>(pixels[i]) - static_cast<uint8_t>(ref[i]);
        sum += diff * diff;
    }
    EXPECT_GE(sum == 0 ? 99 : 10 * std::log10(255.0 * 255 * ref.size() / sum), 45.0);
    EXPECT_EQ(Cli("export clip.avi --frame " + std::to_string(frames + 1) + " -o past.ppm").status,
              1);

    // The sound as PCM: ffmpeg's decode within 1 LSB, sample for sample.
    const CliRun sound = Cli("export clip.avi --sound -o clip.wav");
    ASSERT_EQ(sound.status, 0) << sound.err;
    const std::vector<int16_t> ours = kelvora::test::FfmpegS16(dir.file("clip.wav"));
    const std::vector<int16_t> theirs = kelvora::test::FfmpegS16(dir.file("clip.avi"));
    ASSERT_FALSE(theirs.empty());
    ASSERT_EQ(ours.size(), theirs.size());
    EXPECT_LE(kelvora::test::MaxSampleDiff(ours.data(), theirs.data(), ours.size()), 1);

    // Re-encoded as HAV: the frames and the same sound.
    const CliRun enc = Cli("hav-encode -o clip.hav --codec fast --key 5 clip.avi");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const CliRun hav = Cli("info clip.hav");
    EXPECT_NE(hav.out.find("Number of frames:  " + count + "\r\n"), std::string::npos) << hav.out;
    EXPECT_NE(hav.out.find("Audio format:  PCM, uncompressed"), std::string::npos) << hav.out;
    ASSERT_EQ(Cli("export clip.hav --sound -o again.wav").status, 0);
    EXPECT_TRUE(ReadFileBytes(dir.file("again.wav")) == ReadFileBytes(dir.file("clip.wav")));

    // Played through the engine with its sound, to the last frame, in real time.
    const CliRun play = Cli("play clip.avi");
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.out.find("frame " + count + " / " + count), std::string::npos) << play.out;
    const size_t shown = play.out.find("frames shown in ");
    ASSERT_NE(shown, std::string::npos) << play.out;
    EXPECT_GE(std::stod(play.out.substr(shown + 16)), 1.4);
}

// An MPEG-1 system stream with Layer II sound and an MP3 file, made by ffmpeg: described with
// their codec names, a frame and the sound exported against ffmpeg's decode, the movie
// re-encoded as HAV with its sound, both played to their end on SDL's dummy driver.
TEST_F(CliTest, MpegMoviesAndSoundFilesAreDescribedExportedEncodedAndPlayed) {
    if (!kelvora::test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the files";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const std::string d = "cd '" + dir.path() + "' && ffmpeg -v error -nostdin -y ";
    ASSERT_TRUE(kelvora::test::RunQuiet(
        d + "-f lavfi -i testsrc=size=64x48:rate=25:duration=1.2 " +
        "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=1.2 " +
        "-c:v mpeg1video -q:v 3 -c:a mp2 -b:a 64k -f mpeg clip.mpg && " + d +
        "-f lavfi -i sine=frequency=300:sample_rate=44100:duration=1 -c:a libmp3lame tone.mp3"));
    const CliRun info = Cli("info clip.mpg");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Video format:  MPEG-1"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Audio format:  MPEG-2 LSF, Layer-II"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Number of frames:  30\r\n"), std::string::npos) << info.out;

    const std::string all = kelvora::test::FfmpegPictures(dir.file("clip.mpg"), "rgb24");
    const size_t frameBytes = 64 * 48 * 3;
    ASSERT_EQ(all.size(), 30 * frameBytes);
    const CliRun frame = Cli("export clip.mpg --frame 12 -o f12.ppm");
    ASSERT_EQ(frame.status, 0) << frame.err;
    const std::string ppm = ReadFileBytes(dir.file("f12.ppm"));
    ASSERT_GE(ppm.size(), frameBytes);
    EXPECT_GE(kelvora::test::Psnr(ppm.substr(ppm.size() - frameBytes),
                                  all.substr(11 * frameBytes, frameBytes)),
              45.0);

    for (const char* file : {"clip.mpg", "tone.mp3"}) {
        SCOPED_TRACE(file);
        const CliRun sound = Cli(std::string("export ") + file + " --sound -o out.wav");
        ASSERT_EQ(sound.status, 0) << sound.err;
        const std::vector<int16_t> ours = kelvora::test::FfmpegS16(dir.file("out.wav"));
        const std::vector<int16_t> theirs = kelvora::test::FfmpegS16(dir.file(file));
        ASSERT_FALSE(theirs.empty());
        ASSERT_EQ(ours.size(), theirs.size());
        EXPECT_LE(kelvora::test::MaxSampleDiff(ours.data(), theirs.data(), ours.size()), 1);
    }
    const CliRun mp3 = Cli("info tone.mp3");
    EXPECT_NE(mp3.out.find("Audio format:  MPEG-1, Layer-III (MP3)"), std::string::npos) << mp3.out;

    const CliRun enc = Cli("hav-encode -o clip.hav --codec fast clip.mpg");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const CliRun hav = Cli("info clip.hav");
    EXPECT_NE(hav.out.find("Number of frames:  30\r\n"), std::string::npos) << hav.out;
    EXPECT_NE(hav.out.find("Audio format:  PCM, uncompressed"), std::string::npos) << hav.out;

    const CliRun play = Cli("play clip.mpg");
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.out.find("frame 30 / 30"), std::string::npos) << play.out;
    const CliRun song = Cli("play tone.mp3");
    EXPECT_EQ(song.status, 0) << song.err;
}

// An H.264/AAC MP4 made by ffmpeg: the report names the container and both codecs with their
// profiles, a middle frame and the sound are exported against ffmpeg's decode, the movie is
// re-encoded as HAV with its sound and played to its end on SDL's dummy driver.
TEST_F(CliTest, Mp4MoviesAreDescribedExportedEncodedAndPlayed) {
    if (!kelvora::test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the movie";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (!kelvora::test::RunQuiet("cd '" + dir.path() +
                                 "' && ffmpeg -v error -nostdin -y -f lavfi -i "
                                 "testsrc2=size=64x48:rate=25 -f lavfi -i "
                                 "sine=frequency=440:sample_rate=44100 -t 1.2 -pix_fmt yuv420p "
                                 "-c:v libx264 -g 10 -c:a aac -ac 2 clip.mp4"))
        GTEST_SKIP() << "ffmpeg without libx264";
    const CliRun info = Cli("info clip.mp4");
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char* line :
         {"File Format:  MP4, MPEG-4 / QuickTime Movie\r\n",
          "Video format:  H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10 (High, 8-bit)\r\n",
          "Width x Height:  64 x 48 pixels\r\n", "Frame rate:  25.00 fps\r\n",
          "Number of frames:  30\r\n", "Audio format:  AAC (Advanced Audio Coding) (LC)\r\n",
          "Sample rate:  44100 Hz\r\n", "Channels:  2 (stereo)\r\n",
          "Bits per channel:  16-bit\r\n"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << info.out;

    const std::string all = kelvora::test::FfmpegPictures(dir.file("clip.mp4"), "rgb24");
    const size_t frameBytes = 64 * 48 * 3;
    ASSERT_EQ(all.size(), 30 * frameBytes);
    const CliRun frame = Cli("export clip.mp4 --frame 17 -o f17.ppm");
    ASSERT_EQ(frame.status, 0) << frame.err;
    const std::string ppm = ReadFileBytes(dir.file("f17.ppm"));
    ASSERT_EQ(ppm.rfind("P6\n64 48\n255\n", 0), 0u);
    EXPECT_GE(kelvora::test::Psnr(ppm.substr(ppm.size() - frameBytes),
                                  all.substr(16 * frameBytes, frameBytes)),
              45.0);
    EXPECT_EQ(Cli("export clip.mp4 --frame 31 -o past.ppm").status, 1);

    const CliRun sound = Cli("export clip.mp4 --sound -o clip.wav");
    ASSERT_EQ(sound.status, 0) << sound.err;
    const std::vector<int16_t> ours = kelvora::test::FfmpegS16(dir.file("clip.wav"));
    const std::vector<int16_t> theirs = kelvora::test::FfmpegS16(dir.file("clip.mp4"));
    ASSERT_FALSE(theirs.empty());
    ASSERT_EQ(ours.size(), theirs.size());
    EXPECT_LE(kelvora::test::MaxSampleDiff(ours.data(), theirs.data(), ours.size()), 1);

    const CliRun enc = Cli("hav-encode -o clip.hav --codec fast clip.mp4");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const CliRun hav = Cli("info clip.hav");
    EXPECT_NE(hav.out.find("Number of frames:  30\r\n"), std::string::npos) << hav.out;
    ASSERT_EQ(Cli("export clip.hav --sound -o again.wav").status, 0);
    EXPECT_TRUE(ReadFileBytes(dir.file("again.wav")) == ReadFileBytes(dir.file("clip.wav")));

    // Played with its sound: each frame is shown within 40 ms of the clock the sound is
    // written against.
    const CliRun play = Cli("play clip.mp4");
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.out.find("frame 30 / 30"), std::string::npos) << play.out;
    const size_t apart = play.out.find("picture and sound at most ");
    ASSERT_NE(apart, std::string::npos) << play.out;
    EXPECT_LE(std::stod(play.out.substr(apart + 26)), 40.0) << play.out;
}

// A movie with a variable frame rate plays each frame at its own time: 25 frames at 25 per
// second, then steps of 80 and 120 ms, with its sound.
TEST_F(CliTest, VariableRateMoviesShowEachFrameAtItsOwnTime) {
    if (!kelvora::test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg makes the movie";
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (!kelvora::test::RunQuiet(
            "cd '" + dir.path() +
            "' && ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i "
            "sine=frequency=440:sample_rate=44100 -vf "
            "\"setpts='if(lt(N,25),N/25,1+(N-25)/10)/TB'\" -vsync vfr -frames:v 50 -t 3.5 "
            "-pix_fmt yuv420p -c:v libx264 -c:a aac vfr.mp4"))
        GTEST_SKIP() << "ffmpeg without libx264";
    const CliRun play = Cli("play vfr.mp4");
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.out.find("frame 50 / 50"), std::string::npos) << play.out;
    const size_t apart = play.out.find("picture and sound at most ");
    ASSERT_NE(apart, std::string::npos) << play.out;
    // At the average rate (15 per second) frame 25 would come 660 ms late.
    EXPECT_LE(std::stod(play.out.substr(apart + 26)), 40.0) << play.out;
}
