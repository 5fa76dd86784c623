// kelvora-cli run as a child process: exit codes, the info report and picture export.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

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
        const std::string cmd = "cd '" + dir.path() + "' && '" KV_CLI "' " + args + " >stdout 2>stderr";
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
        {"export flat.bay --frame 1", 2, "-o"},
        {"export flat.bay -o out.ppm", 2, "--frame"},
        {"export flat.bay --frame 1 -o out.gif", 2, ".ppm, .bmp or .png"},
        {"export flat.bay --frame one -o out.ppm", 2, "bad frame number"},
        {"export flat.bay --frame 1 -o out.ppm --bpp 12", 2, "--bpp"},
        {"export flat.bay --frame 1 -o out.ppm --method 4", 2, "--method"},
        {"export flat.bay grey.bay --frame 1 -o out.ppm", 2, "one file"},
        {"export flat.bay --frame 2 -o out.ppm", 1, "frame 2 does not exist"},
        {"export missing.bay --frame 1 -o out.ppm", 1, "Cannot open file: missing.bay"},
        {"export flat.bay --frame 1 -o nodir/out.ppm", 1, "Cannot create file: nodir/out.ppm"},
        {"info missing.bay", 1, "Cannot open file: missing.bay"},
        {"info notes.txt", 1, "Cannot write to movie file."},  // no format for the extension
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CliRun r = Cli(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    const CliRun help = Cli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("export FILE --frame N -o OUT"), std::string::npos);
    EXPECT_EQ(Cli("--version").status, 0);
}

TEST_F(CliTest, InfoPrintsOneFieldPerLine) {
    const CliRun r = Cli("info grey.bay flat.bay");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"File: grey.bay\nType: 16\nFormat name: BAY, Bayer Image\nFile size: 74752\n",
                             "Width: 512\nHeight: 144\nBytes per pixel: 1\nBits per pixel: 8\nFrames: 1\n"
                             "Frame rate: 250\nVideo compression: HG (monochrome)\nHas video: yes\n",
                             "\n\nFile: flat.bay\n", "Video compression: HRC (color)\n",
                             "Sound compression: PCM, uncompressed\nHas sound: no\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
}

TEST_F(CliTest, ExportWritesEachPictureType) {
    ASSERT_EQ(Cli("export flat.bay --frame 1 -o out.ppm").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("out.ppm")), "P6\n512 384\n255\n" + std::string(512 * 384 * 3, '\x64'));

    const CliRun grey = Cli("export flat.bay --frame 1 -o out.BMP --bpp 8 --method 3");
    ASSERT_EQ(grey.status, 0) << grey.err;
    const std::string bmp = ReadFileBytes(dir.file("out.BMP"));
    ASSERT_EQ(bmp.size(), 14u + 40 + 1024 + 512 * 384);
    EXPECT_EQ(bmp[28], 8);                                       // bits per pixel
    EXPECT_EQ(bmp.substr(14 + 40 + 4 * 100, 3), "ddd");          // grey ramp entry 100
    EXPECT_EQ(bmp.substr(bmp.size() - 512), std::string(512, 'd'));  // every pixel is index 100

    ASSERT_EQ(Cli("export grey.bay --frame 1 -o out.png").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("out.png")).substr(1, 3), "PNG");
}

TEST_F(CliTest, EncodedMovieExportsAnyFrame) {
    // Two pictures of different grey levels become a two-frame movie; each frame comes back.
    WriteFileBytes(dir.file("a.ppm"), "P6\n4 2\n255\n" + std::string(4 * 2 * 3, '\x10'));
    WriteFileBytes(dir.file("b.ppm"), "P6\n4 2\n255\n" + std::string(4 * 2 * 3, '\x80'));
    const CliRun enc = Cli("hav-encode -o m.hav --codec best-p --key 1 a.ppm b.ppm");
    ASSERT_EQ(enc.status, 0) << enc.err;
    const CliRun info = Cli("info m.hav");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("Frames: 2\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Format name: HAV, High quality Audio Video\n"), std::string::npos);

    ASSERT_EQ(Cli("export m.hav --frame 2 -o f2.ppm").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("f2.ppm")), ReadFileBytes(dir.file("b.ppm")));
    ASSERT_EQ(Cli("export m.hav --frame 1 -o f1.ppm").status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("f1.ppm")), ReadFileBytes(dir.file("a.ppm")));
    EXPECT_EQ(Cli("export m.hav --frame 3 -o f3.ppm").status, 1);  // past the end
    EXPECT_EQ(Cli("hav-encode m2.hav").status, 2);                   // no -o
}
