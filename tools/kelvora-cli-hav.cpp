#include "kelvora-cli-hav.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "formats/FFBasic.h"
#include "formats/FF_HAV.h"
#include "formats/FileFmtDef.h"
#include "formats/HavWriter.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

int CliFail(const std::string& what) {
    std::fprintf(stderr, "kelvora-cli: %s\n", what.c_str());
    return 1;
}

bool CliParseInt(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char ch : text)
        if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

const char* const kCliHavEncodeUsage =
    "  hav-encode -o OUT.hav [options] INPUT...\n"
    "                  write a HAV movie whose frames are every frame of INPUT... in\n"
    "                  the order given: movies, numbered still sequences (name the\n"
    "                  first file) and stills, all of the first picture's size; the\n"
    "                  movie takes the sound of the first INPUT that has sound\n"
    "    --codec C     best (default), fast or best-p\n"
    "    --key N       a key frame every N frames (default 25; 0: frame 1 only)\n"
    "    --fps R       frames per second (default: the first INPUT's frame rate when\n"
    "                  it is a movie, else 25)\n"
    "    --bpp BITS    8, 16 or 24 bits per pixel (default: from the first picture;\n"
    "                  8 bits go through the palette quantizer)\n"
    "    --sound RAW   take the sound from raw PCM (interleaved little-endian\n"
    "    --rate R --channels C --bits 8|16   samples) of this format instead\n";

std::string CliDescribe(const std::string& fileName, QUniInfo& info) {
    if (UniInfo(fileName, info, UNI_SEQ_UNLIMITED, false)) return "";
    std::error_code ec;
    const bool exists = std::filesystem::exists(fileName, ec);
    return "File \"" + fileName + (exists ? "\" is not supported." : "\" does not exist.");
}

std::string CliOpen(const QUniInfo& info, UniHandle& handle) {
    MonitoredIsolated([&] { UniOpen(handle, info); });
    return ErrNone() ? "" : info.fileName + ": " + ErrLastText();
}

namespace {

constexpr int32_t PROGRESS_FROM = 50;   // frames from which a progress line is shown
constexpr int32_t SOUND_CHUNK = 65536;  // sample frames per load

int Usage_(const std::string& why) {
    std::fprintf(stderr, "kelvora-cli: %s\n\n%s", why.c_str(), kCliHavEncodeUsage);
    return 2;
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
    double fps = 0;  // 0: from the first input
    long bpp = 0;    // 0: from the first picture
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
                if (v == "best")
                    o.codec = HAV_CODEC_BEST;
                else if (v == "fast")
                    o.codec = HAV_CODEC_FAST;
                else if (v == "best-p")
                    o.codec = HAV_CODEC_BESTP;
                else
                    return "--codec must be best, fast or best-p";
            } else if (a == "--key") {
                if (!CliParseInt(v, 0, 65536, o.key)) return "bad key-frame interval '" + v + "'";
            } else if (a == "--fps") {
                if (!ParseRate_(v, o.fps)) return "bad frame rate '" + v + "'";
            } else if (a == "--bpp") {
                if (!CliParseInt(v, 8, 24, o.bpp) || (o.bpp != 8 && o.bpp != 16 && o.bpp != 24))
                    return "--bpp must be 8, 16 or 24";
            } else if (a == "--sound") {
                o.sound = v;
            } else if (a == "--rate") {
                if (!CliParseInt(v, 1, 1000000, o.rate)) return "bad sample rate '" + v + "'";
            } else if (a == "--channels") {
                if (!CliParseInt(v, 1, 2, o.channels)) return "--channels must be 1 or 2";
            } else if (a == "--bits") {
                if (!CliParseInt(v, 8, 16, o.bits) || (o.bits != 8 && o.bits != 16))
                    return "--bits must be 8 or 16";
            } else {
                return "unknown option '" + a + "'";
            }
        } else {
            o.inputs.push_back(a);
        }
    }
    if (o.output.empty()) return "hav-encode needs -o OUT.hav";
    if (o.inputs.empty()) return "hav-encode needs at least one input";
    if (o.inputs.size() > static_cast<size_t>(HAV_MAX_FRAMES))
        return "a HAV movie holds at most 65536 frames";
    const bool format = o.rate || o.channels || o.bits;
    if (!o.sound.empty() && !(o.rate && o.channels && o.bits))
        return "--sound needs --rate, --channels and --bits";
    if (o.sound.empty() && format) return "--rate, --channels and --bits go with --sound";
    return "";
}

// Where the movie's sound comes from: a raw PCM file or an input opened a second time.
struct SoundSource_ {
    std::string name;
    int32_t file = BAD_HANDLE;
    UniHandle input{};
    Qsnd sound{};  // the last piece loaded from the input
    QWaveFmt format{};
    int64_t total = 0;  // sample frames
    int64_t fed = 0;
};

bool HasSound_(const SoundSource_& s) { return s.file != BAD_HANDLE || s.input.kind == UNI_MOVIE; }

// Appends the source's sample frames up to `upTo` in total (all that is left when `all`).
void FeedSound_(QHavWriter& w, SoundSource_& s, int64_t upTo, bool all) {
    const int32_t align = w.soundFormat.blockAlign;
    upTo = all ? s.total : std::min(upTo, s.total);
    uint8_t buffer[65536];
    while (s.fed < upTo) {
        const int32_t want = static_cast<int32_t>(std::min<int64_t>(SOUND_CHUNK, upTo - s.fed));
        if (s.file != BAD_HANDLE) {
            const int32_t n = std::min(want, static_cast<int32_t>(sizeof buffer) / align);
            FRead(s.file, buffer, n * align);
            HAVAddSound(w, buffer, n);
            s.fed += n;
            continue;
        }
        UniSndLoad(s.input, s.sound, static_cast<int32_t>(s.fed), s.fed > 0, want);
        if (s.sound.samples <= 0) {  // the track ends before its stated length
            s.total = s.fed;
            break;
        }
        if (WaveFmtDiffers(s.sound.format, s.format)) ErrFail(ERR_AUDIO, AUDIO_INVALID_FORMAT);
        HAVAddSound(w, s.sound.data, s.sound.samples);
        s.fed += s.sound.samples;
    }
}

// Opens the sound source: the raw file, or the first input with sound that can be loaded.
std::string OpenSound_(const Options& o, const std::vector<QUniInfo>& infos, SoundSource_& s) {
    if (!o.sound.empty()) {
        s.name = o.sound;
        s.format = QWaveFmt{WAVE_FORMAT_PCM,
                            static_cast<uint16_t>(o.channels),
                            static_cast<uint32_t>(o.rate),
                            0,
                            0,
                            static_cast<uint16_t>(o.bits),
                            0};
        WaveFmtFix(s.format);
        MonitoredIsolated([&] { FOpen(s.file, o.sound, FM_READ); });
        if (!ErrNone()) return o.sound + ": " + ErrLastText();
        s.total = FSize(s.file) / s.format.blockAlign;
        return "";
    }
    for (const QUniInfo& info : infos) {
        if (!info.snd.hasSound || !info.snd.soundSupported) continue;
        s.name = info.fileName;
        s.format = info.snd.playFormat;
        s.total = info.snd.soundSamples;
        return CliOpen(info, s.input);
    }
    return "";
}

void CloseSound_(SoundSource_& s) {
    FClose(s.file);
    s.file = BAD_HANDLE;
    MonitoredIsolated([&] { UniClose(s.input); });
    SndFree(s.sound);
}

// The writer, its inputs and the pictures of one hav-encode run.
struct Encoder_ {
    QHavWriter w{};
    bool created = false;
    SoundSource_ sound;
    Qimg image{};      // what the input's reader decodes into (movies build on it)
    Qimg converted{};  // the frame at the movie's depth when the input has another
    int64_t written = 0;
    double fps = 25;
    std::string stage;  // the file a failure is reported with
};

// Writes one loaded picture as the next frame, creating the movie from the first one.
void AddFrame_(Encoder_& e, Options& o, const std::string& input, bool last) {
    if (!e.created) {
        e.stage = o.output;
        if (o.bpp == 0) o.bpp = FFOutputDepth(FT_HAV, e.image.bitsPP);
        HAVCreate(e.w, o.output, e.image.width, e.image.height, static_cast<int32_t>(o.bpp / 8),
                  o.codec, static_cast<int32_t>(o.key), e.fps,
                  HasSound_(e.sound) ? &e.sound.format : nullptr);
        e.created = true;
        e.stage = input;
    }
    if (e.image.width != e.w.width || e.image.height != e.w.height)
        ErrRaiseMsg(ERR_USER,
                    "the picture is " + std::to_string(e.image.width) + " x " +
                        std::to_string(e.image.height) + ", the movie " +
                        std::to_string(e.w.width) + " x " + std::to_string(e.w.height),
                    __LINE__);
    Qimg* frame = &e.image;
    if (e.image.bitsPP != o.bpp) {
        ImgConvBpp(e.image, e.converted, static_cast<int32_t>(o.bpp));
        frame = &e.converted;
    }
    HAVAddFrame(e.w, *frame);
    ++e.written;
    // The sound that belongs up to the end of this frame goes in after it.
    if (HasSound_(e.sound)) {
        e.stage = e.sound.name;
        const double due = static_cast<double>(e.written) * e.w.soundFormat.samplesPerSec / e.fps;
        FeedSound_(e.w, e.sound, static_cast<int64_t>(due), last);
    }
}

}  // namespace

int CliHavEncode(const std::vector<std::string>& args) {
    Options o;
    const std::string why = Parse_(args, o);
    if (!why.empty()) return Usage_(why);

    // Every input is described before anything is written, so that a missing one stops the
    // run at once; the first gives the frame rate unless told.
    std::vector<QUniInfo> infos(o.inputs.size());
    for (size_t i = 0; i < o.inputs.size(); ++i) {
        const std::string failed = CliDescribe(o.inputs[i], infos[i]);
        if (!failed.empty()) return CliFail(failed);
        if (!infos[i].img.hasVideo || !infos[i].img.videoSupported)
            return CliFail(o.inputs[i] + ": the file has no pictures to encode");
    }
    Encoder_ e;
    const QUniImgDesc& first = infos[0].img;
    e.fps = o.fps > 0 ? o.fps
            : infos[0].kind == UNI_MOVIE && first.frameRate > 0 && first.frameRate <= 1000
                ? first.frameRate
                : 25;

    std::string failed = OpenSound_(o, infos, e.sound);
    const bool progress = [&] {
        int64_t frames = 0;
        for (const QUniInfo& info : infos) frames += info.img.frames;
        return frames >= PROGRESS_FROM;
    }();
    // Each input is opened, and each frame written, in a frame of its own, so that a failure
    // releases only what that step acquired.
    for (size_t i = 0; i < o.inputs.size() && failed.empty(); ++i) {
        UniHandle input{};
        failed = CliOpen(infos[i], input);
        const int32_t frames = infos[i].img.frames;
        for (int32_t n = 1; n <= frames && failed.empty(); ++n) {
            MonitoredIsolated([&] {
                e.stage = o.inputs[i];
                UniImgLoad(input, e.image, n, 0);
                AddFrame_(e, o, o.inputs[i], i + 1 == o.inputs.size() && n == frames);
            });
            if (!ErrNone()) failed = e.stage + ": " + ErrLastText();
            if (progress && failed.empty() && e.written % 25 == 0)
                std::fprintf(stderr, "\rhav-encode: frame %lld", static_cast<long long>(e.written));
        }
        MonitoredIsolated([&] { UniClose(input); });
    }
    if (progress) std::fputc('\n', stderr);
    if (e.created) {
        MonitoredIsolated([&] { HAVWriterClose(e.w); });
        if (failed.empty() && !ErrNone()) failed = o.output + ": " + ErrLastText();
    }
    CloseSound_(e.sound);
    ImgFree(e.image);
    ImgFree(e.converted);
    if (!failed.empty()) {
        if (e.created) std::remove(o.output.c_str());
        return CliFail(failed);
    }
    return 0;
}

}  // namespace kelvora
