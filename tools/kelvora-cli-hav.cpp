#include "kelvora-cli-hav.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "formats/ConFormStill.h"
#include "formats/FFBasic.h"
#include "formats/FF_HAV.h"
#include "formats/FileFmtDef.h"
#include "formats/HavWriter.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

const char* const kCliHavEncodeUsage =
    "  hav-encode -o OUT.hav [options] INPUT...\n"
    "                  write a HAV movie whose frames are the still pictures INPUT...\n"
    "                  in the order given (all of the first one's size)\n"
    "    --codec C     best (default), fast or best-p\n"
    "    --key N       a key frame every N frames (default 25; 0: frame 1 only)\n"
    "    --fps R       frames per second (default 25)\n"
    "    --bpp BITS    8, 16 or 24 bits per pixel (default: from the first picture;\n"
    "                  8 bits go through the palette quantizer)\n"
    "    --sound RAW   add raw PCM sound (interleaved little-endian samples) with\n"
    "    --rate R --channels C --bits 8|16   its format\n";

namespace {

constexpr int32_t PROGRESS_FROM = 50;  // inputs from which a progress line is shown

int Usage_(const std::string& why) {
    std::fprintf(stderr, "kelvora-cli: %s\n\n%s", why.c_str(), kCliHavEncodeUsage);
    return 2;
}

int Fail_(const std::string& what) {
    std::fprintf(stderr, "kelvora-cli: %s\n", what.c_str());
    return 1;
}

bool ParseInt_(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char ch : text)
        if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

bool ParseRate_(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(value) && value > 0 && value <= 1000;
}

struct Options {
    std::string output;
    std::vector<std::string> inputs;
    int32_t codec = HAV_CODEC_BEST;
    long key = 25;
    double fps = 25;
    long bpp = 0;  // 0: from the first picture
    std::string sound;
    long rate = 0, channels = 0, bits = 0;
};

// Parses the arguments; an empty string when they are fine, else why not.
std::string Parse_(const std::vector<std::string>& args, Options& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() > 1 && a[0] == '-') {
            if (i + 1 >= args.size()) return a + " needs a value";
            const std::string& v = args[++i];
            if (a == "-o") {
                o.output = v;
            } else if (a == "--codec") {
                if (v == "best") o.codec = HAV_CODEC_BEST;
                else if (v == "fast") o.codec = HAV_CODEC_FAST;
                else if (v == "best-p") o.codec = HAV_CODEC_BESTP;
                else return "--codec must be best, fast or best-p";
            } else if (a == "--key") {
                if (!ParseInt_(v, 0, 65536, o.key)) return "bad key-frame interval '" + v + "'";
            } else if (a == "--fps") {
                if (!ParseRate_(v, o.fps)) return "bad frame rate '" + v + "'";
            } else if (a == "--bpp") {
                if (!ParseInt_(v, 8, 24, o.bpp) || (o.bpp != 8 && o.bpp != 16 && o.bpp != 24))
                    return "--bpp must be 8, 16 or 24";
            } else if (a == "--sound") {
                o.sound = v;
            } else if (a == "--rate") {
                if (!ParseInt_(v, 1, 1000000, o.rate)) return "bad sample rate '" + v + "'";
            } else if (a == "--channels") {
                if (!ParseInt_(v, 1, 2, o.channels)) return "--channels must be 1 or 2";
            } else if (a == "--bits") {
                if (!ParseInt_(v, 8, 16, o.bits) || (o.bits != 8 && o.bits != 16)) return "--bits must be 8 or 16";
            } else {
                return "unknown option '" + a + "'";
            }
        } else {
            o.inputs.push_back(a);
        }
    }
    if (o.output.empty()) return "hav-encode needs -o OUT.hav";
    if (o.inputs.empty()) return "hav-encode needs at least one picture";
    if (o.inputs.size() > static_cast<size_t>(HAV_MAX_FRAMES)) return "a HAV movie holds at most 65536 frames";
    const bool format = o.rate || o.channels || o.bits;
    if (!o.sound.empty() && !(o.rate && o.channels && o.bits)) return "--sound needs --rate, --channels and --bits";
    if (o.sound.empty() && format) return "--rate, --channels and --bits go with --sound";
    return "";
}

// Appends the sound file's sample frames up to `upTo` in total (the rest at the end).
void FeedSound_(QHavWriter& w, int32_t file, int64_t& fed, int64_t upTo, int64_t total) {
    const int32_t align = w.soundFormat.blockAlign;
    uint8_t buffer[65536];
    const int32_t chunk = static_cast<int32_t>(sizeof buffer) / align;
    for (upTo = std::min(upTo, total); fed < upTo;) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(chunk, upTo - fed));
        FRead(file, buffer, n * align);
        HAVAddSound(w, buffer, n);
        fed += n;
    }
}

}  // namespace

int CliHavEncode(const std::vector<std::string>& args) {
    Options o;
    const std::string why = Parse_(args, o);
    if (!why.empty()) return Usage_(why);

    // The first picture gives the movie its size and, unless told, its depth. The writer and
    // the sound file are acquired in frames of their own, so that a failing frame later on
    // releases only what that frame acquired.
    Qimg image{};
    MonitoredIsolated([&] { ImgLoad(o.inputs[0], image, BAD_HANDLE); });
    if (!ErrNone()) {
        const std::string message = o.inputs[0] + ": " + ErrLastText();
        ImgFree(image);
        return Fail_(message);
    }
    if (o.bpp == 0) o.bpp = FFOutputDepth(FT_HAV, image.bitsPP);
    int32_t soundFile = BAD_HANDLE;
    int64_t soundFrames = 0, fed = 0;
    const QWaveFmt format{WAVE_FORMAT_PCM, static_cast<uint16_t>(o.channels), static_cast<uint32_t>(o.rate), 0, 0,
                          static_cast<uint16_t>(o.bits), 0};
    if (!o.sound.empty()) MonitoredIsolated([&] { FOpen(soundFile, o.sound, FM_READ); });
    QHavWriter w{};
    if (ErrNone())
        MonitoredIsolated([&] {
            HAVCreate(w, o.output, image.width, image.height, static_cast<int32_t>(o.bpp / 8), o.codec,
                      static_cast<int32_t>(o.key), o.fps, o.sound.empty() ? nullptr : &format);
        });
    if (!ErrNone()) {
        const std::string message = (soundFile == BAD_HANDLE && !o.sound.empty() ? o.sound : o.output) + ": " + ErrLastText();
        FClose(soundFile);
        ImgFree(image);
        return Fail_(message);
    }
    if (soundFile != BAD_HANDLE) soundFrames = FSize(soundFile) / w.soundFormat.blockAlign;

    std::string failed;
    const size_t count = o.inputs.size();
    for (size_t i = 0; i < count && failed.empty(); ++i) {
        MonitoredIsolated([&] {
            if (i > 0) ImgLoad(o.inputs[i], image, BAD_HANDLE);
            if (image.width != w.width || image.height != w.height)
                ErrRaiseMsg(ERR_USER, "the picture is " + std::to_string(image.width) + " x " + std::to_string(image.height) +
                                          ", the movie " + std::to_string(w.width) + " x " + std::to_string(w.height),
                            __LINE__);
            if (image.bitsPP != o.bpp) ImgConvBpp(image, image, static_cast<int32_t>(o.bpp));
            HAVAddFrame(w, image);
            // The sound that belongs up to the end of this frame goes in after it.
            if (soundFile != BAD_HANDLE) {
                const double due = (static_cast<double>(i) + 1) * w.soundFormat.samplesPerSec / o.fps;
                FeedSound_(w, soundFile, fed, i + 1 == count ? soundFrames : static_cast<int64_t>(due), soundFrames);
            }
        });
        if (!ErrNone()) failed = o.inputs[i] + ": " + ErrLastText();
        if (count >= PROGRESS_FROM && failed.empty() && ((i + 1) % 25 == 0 || i + 1 == count))
            std::fprintf(stderr, "\rhav-encode: frame %zu of %zu", i + 1, count);
    }
    if (count >= PROGRESS_FROM) std::fputc('\n', stderr);
    MonitoredIsolated([&] { HAVWriterClose(w); });
    if (failed.empty() && !ErrNone()) failed = o.output + ": " + ErrLastText();
    FClose(soundFile);
    ImgFree(image);
    if (!failed.empty()) {
        std::remove(o.output.c_str());
        return Fail_(failed);
    }
    return 0;
}

void CliLoadMovieFrame(const std::string& fileName, int32_t frame, Qimg& image) {
    Monitored([&] {
        QHavHandle h;
        HAVOpen(h, fileName);
        if (frame < 1 || frame > h.frames) {
            HAVClose(h);
            ErrRaiseCode(ERR_MVI, frame < 1 ? 1 : 7, __LINE__);
        }
        HAVImgLoad(h, image, frame, 0);
        HAVClose(h);
    });
}

}  // namespace kelvora
