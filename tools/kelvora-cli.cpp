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

#include "app/informer.h"
#include "formats/ConFormStill.h"
#include "formats/FFWrite.h"
#include "image/ImgBasic.h"
#include "kelvora-cli-hav.h"
#include "kelvora-cli-play.h"
#include "kelvora-cli-send.h"
#include "kelvora_version.h"
#include "media/ConForm.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

const char* const kUsageHead =
    "Usage: kelvora-cli [--help | --version]\n"
    "       kelvora-cli info FILE... [--delimited]\n"
    "       kelvora-cli export FILE (--frame N | --all) -o OUT [--bpp BITS] [--method M]\n"
    "       kelvora-cli export FILE --sound -o OUT.wav\n"
    "       kelvora-cli hav-encode -o OUT.hav [options] INPUT...\n"
    "       kelvora-cli play FILE [--audio=none] [--every-frame] [--fps R] [--seek S]\n"
    "       kelvora-cli send (--open FILE | --play FILE | --close)\n"
    "\n"
    "The Kelvora media player's engine for the command line. FILE is anything the\n"
    "player opens: a movie, a sound file, a still picture, or the first file of a\n"
    "numbered still sequence (frame0001.bmp, frame0002.bmp, ...), which plays as a\n"
    "movie of those files.\n"
    "\n"
    "Commands:\n"
    "  info FILE...    print the media information report of each file\n"
    "    --delimited   one line of semicolon-separated fields per file, after one\n"
    "                  header line of field names\n"
    "  export FILE     decode pictures or sound and write them to OUT; the type of OUT\n"
    "                  comes from its extension: .ppm (binary P6), .bmp or .png\n"
    "    --frame N     the frame to write, from 1 (a still picture has only frame 1)\n"
    "    --all         write every frame; OUT holds a printf-style number (%d,\n"
    "                  %04d, ...) that becomes the frame number\n"
    "    --sound       write the file's whole sound as a PCM WAV file (OUT.wav)\n"
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

std::string Usage_() {
    return std::string(kUsageHead) + kCliHavEncodeUsage + kCliPlayUsage + kCliSendUsage + kUsageTail;
}

int Usage_(const std::string& why) {
    std::fprintf(stderr, "kelvora-cli: %s\n\n%s", why.c_str(), Usage_().c_str());
    return 2;
}

constexpr int32_t SOUND_CHUNK = 65536;  // sample frames per load

std::string LowerExt_(const std::string& name) {
    const size_t slash = name.find_last_of('/');
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = name.substr(dot);
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ext;
}

int CmdInfo_(const std::vector<std::string>& args) {
    bool delimited = false;
    std::vector<std::string> files;
    for (const std::string& a : args) {
        if (a == "--delimited")
            delimited = true;
        else if (a.size() > 1 && a[0] == '-')
            return Usage_("unknown option '" + a + "'");
        else
            files.push_back(a);
    }
    if (files.empty()) return Usage_("info needs a file");
    int status = 0;
    bool first = true;
    for (const std::string& name : files) {
        QUniInfo info;
        const std::string failed = CliDescribe(name, info);
        if (!failed.empty()) {
            status = CliFail(failed);
            continue;
        }
        // The delimited form names its fields once, above the first file's line.
        std::fputs(_GetTextualInfo(info, delimited, first).c_str(), stdout);
        first = false;
    }
    return status;
}

// A frame-file pattern: one printf-style integer conversion (%d, %i or %u with an optional
// zero flag and width), every other '%' doubled.
struct FramePattern_ {
    std::string before, after;
    bool zero = false;
    int width = 0;
};

bool ParsePattern_(const std::string& text, FramePattern_& p) {
    bool found = false;
    std::string* part = &p.before;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *part += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            *part += '%';
            ++i;
            continue;
        }
        if (found) return false;
        size_t j = i + 1;
        if (j < text.size() && text[j] == '0') {
            p.zero = true;
            ++j;
        }
        while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])) && p.width < 100)
            p.width = p.width * 10 + (text[j++] - '0');
        if (j >= text.size() || (text[j] != 'd' && text[j] != 'i' && text[j] != 'u') || p.width > 64)
            return false;
        found = true;
        part = &p.after;
        i = j;
    }
    return found;
}

std::string PatternName_(const FramePattern_& p, int32_t n) {
    std::string digits = std::to_string(n);
    if (static_cast<int>(digits.size()) < p.width)
        digits.insert(0, static_cast<size_t>(p.width) - digits.size(), p.zero ? '0' : ' ');
    return p.before + digits + p.after;
}

// Writes the file's whole sound, piece by piece, as a PCM WAV file.
int ExportSound_(const std::string& input, const std::string& output) {
    QUniInfo info;
    std::string failed = CliDescribe(input, info);
    if (!failed.empty()) return CliFail(failed);
    if (!info.snd.hasSound || !info.snd.soundSupported)
        return CliFail(input + ": the file has no sound to export");
    UniHandle h{};
    failed = CliOpen(info, h);
    if (!failed.empty()) return CliFail(failed);
    QWavWriter w{BAD_HANDLE, {}, 0};
    Qsnd sound{};
    MonitoredIsolated([&] { WAVWriterCreate(w, output, info.snd.playFormat); });
    bool created = ErrNone();
    if (!created) failed = output + ": " + ErrLastText();
    for (int32_t start = 0; failed.empty();) {
        MonitoredIsolated([&] {
            UniSndLoad(h, sound, start, start > 0, SOUND_CHUNK);
            if (sound.samples > 0 && WaveFmtDiffers(sound.format, w.format))
                ErrFail(ERR_AUDIO, AUDIO_INVALID_FORMAT);
            WAVWriterAdd(w, sound.data, sound.samples);
        });
        // A reader may refuse a load past the end of the sound it described: that is the end.
        if (!ErrNone() && start >= info.snd.soundSamples && start > 0) break;
        if (!ErrNone()) failed = input + ": " + ErrLastText();
        if (sound.samples <= 0 || start > INT32_MAX - sound.samples) break;
        start += sound.samples;
    }
    if (created) {
        MonitoredIsolated([&] { WAVWriterClose(w); });
        if (failed.empty() && !ErrNone()) failed = output + ": " + ErrLastText();
        if (!failed.empty()) std::remove(output.c_str());
    }
    SndFree(sound);
    MonitoredIsolated([&] { UniClose(h); });
    return failed.empty() ? 0 : CliFail(failed);
}

// Writes a still to a PPM file band by band as its reader decodes it: the whole picture is never
// held, so no picture-sized block is paged in and no pass over it reorders its colours.
std::string ExportRows_(const UniHandle& h, const QUniInfo& info, const std::string& output) {
    QPpmWriter w{BAD_HANDLE, 0, 0, 0};
    MonitoredIsolated([&] { PPMWriterCreate(w, output, info.img.width, info.img.height); });
    if (!ErrNone()) return output + ": " + ErrLastText();
    bool writing = false;  // whether a failure is the output's rather than the input's
    MonitoredIsolated([&] {
        ImgLoadRows(h.fileName, static_cast<int32_t>(h.format), w.width, w.height,
                    [&](const uint8_t* rows, int32_t count) {
                        writing = true;
                        PPMWriterAdd(w, rows, count);
                        writing = false;
                    });
    });
    std::string failed;
    if (!ErrNone()) failed = (writing ? output : h.fileName) + ": " + ErrLastText();
    MonitoredIsolated([&] { PPMWriterClose(w); });
    if (failed.empty() && !ErrNone()) failed = output + ": " + ErrLastText();
    if (!failed.empty()) std::remove(output.c_str());
    return failed;
}

int CmdExport_(const std::vector<std::string>& args) {
    std::string input, output;
    long frame = 0, bpp = 0, method = 0;
    bool haveFrame = false, haveBpp = false, all = false, sound = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--all") {
            all = true;
        } else if (a == "--sound") {
            sound = true;
        } else if (a == "--frame" || a == "-o" || a == "--bpp" || a == "--method") {
            if (!hasValue) return Usage_(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "-o") {
                output = v;
            } else if (a == "--frame") {
                if (!CliParseInt(v, 0, 999999999, frame))
                    return Usage_("bad frame number '" + v + "'");
                haveFrame = true;
            } else if (a == "--bpp") {
                if (!CliParseInt(v, 8, 32, bpp) ||
                    (bpp != 8 && bpp != 15 && bpp != 16 && bpp != 24 && bpp != 32))
                    return Usage_("--bpp must be 8, 15, 16, 24 or 32");
                haveBpp = true;
            } else if (!CliParseInt(v, 0, 3, method)) {
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
    if (haveFrame + all + sound != 1)
        return Usage_("export needs one of --frame N, --all and --sound");
    if (output.empty()) return Usage_("export needs -o OUT");
    const std::string ext = LowerExt_(output);
    if (sound) {
        if (haveBpp) return Usage_("--bpp goes with pictures");
        if (ext != ".wav") return Usage_("with --sound, OUT must end in .wav");
        return ExportSound_(input, output);
    }
    void (*save)(const std::string&, Qimg&) = ext == ".ppm"   ? ImgSavePPM
                                              : ext == ".bmp" ? ImgSaveBMP
                                              : ext == ".png" ? ImgSavePNG
                                                              : nullptr;
    if (!save) return Usage_("OUT must end in .ppm, .bmp or .png");
    FramePattern_ pattern;
    if (all && !ParsePattern_(output, pattern))
        return Usage_("with --all, OUT must hold one frame number such as %04d");

    QUniInfo info;
    std::string failed = CliDescribe(input, info);
    if (!failed.empty()) return CliFail(failed);
    if (!info.img.hasVideo || !info.img.videoSupported)
        return CliFail(input + ": the file has no pictures to export");
    const int32_t frames = info.img.frames;
    if (!all && (frame < 1 || frame > frames))
        return CliFail(input + ": frame " + std::to_string(frame) +
                       " does not exist (the file has " + std::to_string(frames) +
                       (frames == 1 ? " frame)" : " frames)"));
    UniHandle h{};
    failed = CliOpen(info, h);
    if (!failed.empty()) return CliFail(failed);

    if (!all && !haveBpp && ext == ".ppm" && h.kind == UNI_STILL &&
        ImgLoadsRows(static_cast<int32_t>(h.format))) {
        failed = ExportRows_(h, info, output);
        MonitoredIsolated([&] { UniClose(h); });
        return failed.empty() ? 0 : CliFail(failed);
    }

    // The reader decodes into `image`, which movies build their next frame on; a depth
    // conversion goes to a picture of its own.
    Qimg image{}, converted{};
    const int32_t firstFrame = all ? 1 : static_cast<int32_t>(frame);
    const int32_t lastFrame = all ? frames : firstFrame;
    for (int32_t n = firstFrame; n <= lastFrame && failed.empty(); ++n) {
        MonitoredIsolated([&] {
            UniImgLoad(h, image, n, 0);
            if (haveBpp)
                ImgConvBppEx(image, converted, static_cast<int32_t>(bpp),
                             static_cast<int32_t>(method));
        });
        if (!ErrNone()) {
            failed = input + ": " + ErrLastText();
            break;
        }
        const std::string name = all ? PatternName_(pattern, n) : output;
        MonitoredIsolated([&] { save(name, haveBpp ? converted : image); });
        if (!ErrNone()) failed = name + ": " + ErrLastText();
    }
    ImgFree(image);
    ImgFree(converted);
    MonitoredIsolated([&] { UniClose(h); });
    return failed.empty() ? 0 : CliFail(failed);
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
    if (arg == "play") return CliPlay(rest);
    if (arg == "send") return CliSend(rest);
    return Usage_("unknown command '" + arg + "'");
}
