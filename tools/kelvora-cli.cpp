// kelvora-cli: the player's engine for the command line.
//
// Exit status: 0 on success, 1 on a reported error (message on standard error), 2 on bad
// usage.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/ConFormStill.h"
#include "formats/FFWrite.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "kelvora-cli-hav.h"
#include "kelvora_version.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

const char* const kUsageHead =
    "Usage: kelvora-cli [--help | --version]\n"
    "       kelvora-cli info FILE...\n"
    "       kelvora-cli export FILE --frame N -o OUT [--bpp BITS] [--method M]\n"
    "       kelvora-cli hav-encode -o OUT.hav [options] INPUT...\n"
    "\n"
    "The Kelvora media player's engine for the command line.\n"
    "\n"
    "Commands:\n"
    "  info FILE...    print the file information record of each file, one\n"
    "                  \"Label: value\" line per field\n"
    "  export FILE     decode a picture and write it to OUT; the type of FILE comes\n"
    "                  from its extension, the type of OUT from its extension:\n"
    "                  .ppm (binary P6), .bmp or .png\n"
    "    --frame N     the frame to write, from 1 (a still image has only frame 1;\n"
    "                  any frame of a movie is decoded on its own)\n"
    "    -o OUT        the file to write\n"
    "    --bpp BITS    convert to 8, 15, 16, 24 or 32 bits per pixel first\n"
    "    --method M    how 8-bit pictures are made: 0 palette (default), 1 heavy\n"
    "                  dither, 2 light dither, 3 grey\n";

const char* const kUsageTail =
    "\n"
    "Options:\n"
    "  --help       show this text and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Exit status: 0 success, 1 reported error, 2 bad usage.\n";

std::string Usage_() { return std::string(kUsageHead) + kCliHavEncodeUsage + kUsageTail; }

int Usage_(const std::string& why) {
    std::fprintf(stderr, "kelvora-cli: %s\n\n%s", why.c_str(), Usage_().c_str());
    return 2;
}

int Fail_(const std::string& what) {
    std::fprintf(stderr, "kelvora-cli: %s\n", what.c_str());
    return 1;
}

// A whole decimal number within [low, high]; false for anything else.
bool ParseInt_(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char ch : text)
        if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

std::string LowerExt_(const std::string& name) {
    const size_t slash = name.find_last_of('/');
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = name.substr(dot);
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ext;
}

const char* YesNo_(int32_t flag) { return flag ? "yes" : "no"; }

std::string WaveText_(const QWaveFmt& f) {
    char text[160];
    std::snprintf(text, sizeof text, "tag %u, %u channels, %u Hz, %u bits, %u bytes/s, align %u",
                  f.formatTag, f.channels, f.samplesPerSec, f.bitsPerSample, f.avgBytesPerSec,
                  f.blockAlign);
    return text;
}

void PrintInfo_(const std::string& name, const QffInfo& info) {
    std::printf("File: %s\n", name.c_str());
    std::printf("Type: %d\n", info.type);
    std::printf("Format name: %s\n", info.formatName.c_str());
    std::printf("File size: %.0f\n", info.fileSize);
    std::printf("Data rate: %d\n", info.dataRate);
    std::printf("Width: %d\n", info.width);
    std::printf("Height: %d\n", info.height);
    std::printf("Bytes per pixel: %d\n", info.bytesPP);
    std::printf("Bits per pixel: %d\n", info.bitsPP);
    std::printf("Frames: %d\n", info.frames);
    std::printf("Frame rate: %g\n", info.frameRate);
    std::printf("Video compression: %s\n", info.videoCompression.c_str());
    std::printf("Has video: %s\n", YesNo_(info.hasVideo));
    std::printf("Video supported: %s\n", YesNo_(info.videoSupported));
    std::printf("Sound format: %s\n", WaveText_(info.soundFormat).c_str());
    std::printf("Playback format: %s\n", WaveText_(info.playFormat).c_str());
    std::printf("Sound samples: %d\n", info.soundSamples);
    std::printf("Sound compression: %s\n", info.soundCompression.c_str());
    std::printf("Has sound: %s\n", YesNo_(info.hasSound));
    std::printf("Sound supported: %s\n", YesNo_(info.soundSupported));
}

int CmdInfo_(const std::vector<std::string>& args) {
    if (args.empty()) return Usage_("info needs a file");
    for (const std::string& a : args)
        if (a.size() > 1 && a[0] == '-') return Usage_("unknown option '" + a + "'");
    int status = 0;
    bool first = true;
    for (const std::string& name : args) {
        QffInfo info{};
        MonitoredIsolated([&] { FFInfo(name, BAD_HANDLE, info); });
        if (!ErrNone()) {
            status = Fail_(name + ": " + ErrLastText());
            continue;
        }
        if (!first) std::printf("\n");
        first = false;
        PrintInfo_(name, info);
    }
    return status;
}

int CmdExport_(const std::vector<std::string>& args) {
    std::string input, output;
    long frame = 0, bpp = 0, method = 0;
    bool haveFrame = false, haveBpp = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--frame" || a == "-o" || a == "--bpp" || a == "--method") {
            if (!hasValue) return Usage_(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "-o") {
                output = v;
            } else if (a == "--frame") {
                if (!ParseInt_(v, 0, 999999999, frame)) return Usage_("bad frame number '" + v + "'");
                haveFrame = true;
            } else if (a == "--bpp") {
                if (!ParseInt_(v, 8, 32, bpp) || (bpp != 8 && bpp != 15 && bpp != 16 && bpp != 24 && bpp != 32))
                    return Usage_("--bpp must be 8, 15, 16, 24 or 32");
                haveBpp = true;
            } else if (!ParseInt_(v, 0, 3, method)) {
                return Usage_("--method must be 0, 1, 2 or 3");
            }
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage_("unknown option '" + a + "'");
        } else if (input.empty()) {
            input = a;
        } else {
            return Usage_("export takes one file");
        }
    }
    if (input.empty()) return Usage_("export needs a file");
    if (!haveFrame) return Usage_("export needs --frame N");
    if (output.empty()) return Usage_("export needs -o OUT");
    const std::string ext = LowerExt_(output);
    void (*save)(const std::string&, Qimg&) = ext == ".ppm"   ? ImgSavePPM
                                              : ext == ".bmp" ? ImgSaveBMP
                                              : ext == ".png" ? ImgSavePNG
                                                              : nullptr;
    if (!save) return Usage_("OUT must end in .ppm, .bmp or .png");
    // Movies load any frame by random access; a still picture holds exactly frame 1.
    const bool movie = FFTypeByExt(input, FF_TABLE_LOAD) == FT_HAV;
    if (!movie && frame != 1)
        return Fail_(input + ": frame " + std::to_string(frame) + " does not exist (the file has 1 frame)");

    Qimg image{};
    MonitoredIsolated([&] {
        if (movie) CliLoadMovieFrame(input, static_cast<int32_t>(frame), image);
        else ImgLoad(input, image, BAD_HANDLE);
        if (haveBpp) ImgConvBppEx(image, image, static_cast<int32_t>(bpp), static_cast<int32_t>(method));
    });
    if (!ErrNone()) return Fail_(input + ": " + ErrLastText());
    MonitoredIsolated([&] { save(output, image); });
    const bool saved = ErrNone();
    const std::string message = ErrLastText();
    ImgFree(image);
    return saved ? 0 : Fail_(output + ": " + message);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage_("no command");
    const std::string arg = argv[1];
    const std::vector<std::string> rest(argv + 2, argv + argc);
    if (arg == "--help" || arg == "-h") {
        std::fputs(Usage_().c_str(), stdout);
        return 0;
    }
    if (arg == "--version") {
        std::printf("Kelvora %s (%s)\n", KV_VERSION, KV_RELEASE_DATE);
        return 0;
    }
    if (arg == "info") return CmdInfo_(rest);
    if (arg == "export") return CmdExport_(rest);
    if (arg == "hav-encode") return CliHavEncode(rest);
    return Usage_("unknown command '" + arg + "'");
}
