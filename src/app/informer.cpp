#include "app/informer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>
#include <vector>

#include "runtime/miscprocs.h"

namespace kelvora {

namespace {

const char* const kLineEnd = "\r\n";

// The report list: references to descriptions in the order they were added.
std::mutex listLock;
std::vector<const QUniInfo*> reportList;

// `value` with exactly `decimals` decimals and "." as the point, whatever the locale.
std::string Fixed_(double value, int decimals) {
    if (!std::isfinite(value)) return std::string();
    char buf[400];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return res.ec == std::errc() ? std::string(buf, res.ptr) : std::string();
}

std::string ColorDepth_(int32_t bits) {
    switch (bits) {
        case 8: return "8-bit (256 colors)";
        case 15: return "15-bit (32,768 colors)";
        case 16: return "16-bit (65,536 colors)";
        case 24: return "24-bit (16,777,216 colors)";
        case 32: return "32-bit (16,777,216 colors + alpha channel)";
        default: return std::to_string(bits) + "-bit";
    }
}

// The codec name, marked when the stream cannot be decoded; `none` when there is no stream.
std::string StreamFormat_(bool present, bool supported, const std::string& codec, const char* none) {
    if (!present) return none;
    return supported ? codec : codec + " *NOT SUPPORTED*";
}

struct Field_ {
    std::string QInfTextRec::*member;
    const char* name;   // delimited field name
    const char* label;  // readable label
    bool quoted;        // enclosed in double quotes in the delimited form
};

// The values in report order.
const Field_ kFields[] = {
    {&QInfTextRec::FileName, "FileName", "File name", true},
    {&QInfTextRec::FileFormat, "FileFormat", "File Format", true},
    {&QInfTextRec::FileSize, "FileSize", "File Size", false},
    {&QInfTextRec::FileUncompSize, "FileUncompSize", "Uncompressed size", false},
    {&QInfTextRec::FileComprRatio, "FileComprRatio", "Compression ratio", true},
    {&QInfTextRec::FileDataRate, "FileDataRate", "Reported data rate", false},
    {&QInfTextRec::FileEstDataRate, "FileEstDataRate", "Estimated data rate", false},
    {&QInfTextRec::VidFormat, "VidFormat", "Video format", true},
    {&QInfTextRec::VidRes, "VidRes", "Width x Height", true},
    {&QInfTextRec::VidColors, "VidColors", "Color depth", true},
    {&QInfTextRec::VidRate, "VidRate", "Frame rate", false},
    {&QInfTextRec::VidFrames, "VidFrames", "Number of frames", false},
    {&QInfTextRec::VidTime, "VidTime", "Duration", false},
    {&QInfTextRec::VidUncmpSize, "VidUncmpSize", "Uncompressed size", false},
    {&QInfTextRec::AudFormat, "AudFormat", "Audio format", true},
    {&QInfTextRec::AudRate, "AudRate", "Sample rate", false},
    {&QInfTextRec::AudChannels, "AudChannels", "Channels", false},
    {&QInfTextRec::AudBits, "AudBits", "Bits per channel", true},
    {&QInfTextRec::AudSamples, "AudSamples", "Number of samples", false},
    {&QInfTextRec::AudTime, "AudTime", "Duration", false},
    {&QInfTextRec::AudUncmpSize, "AudUncmpSize", "Uncompressed size", false},
};
constexpr size_t FIELD_COUNT = sizeof kFields / sizeof kFields[0];
static_assert(FIELD_COUNT == 21);

// The suffix of each readable line, by field index; "" for none.
const char* Suffix_(size_t field, const QUniInfo& d, const QInfTextRec& v) {
    switch (field) {
        case 2:
        case 3: return " bytes";
        case 5: return v.FileDataRate.empty() ? "" : " kB/s";
        case 6: return v.FileEstDataRate.empty() ? "" : " kB/s";
        case 8: return d.img.hasVideo ? " pixels" : "";
        case 10: return d.img.hasVideo ? " fps" : "";
        case 13: return d.img.hasVideo ? " bytes" : "";
        case 15: return d.snd.hasSound ? " Hz" : "";
        case 17: return d.snd.hasSound ? "-bit" : "";
        case 20: return d.snd.hasSound ? " bytes" : "";
        default: return "";
    }
}

}  // namespace

void InfoListInit() {
    std::lock_guard<std::mutex> lock(listLock);
    reportList.clear();
}

void InfoListAdd(const QUniInfo& description) {
    std::lock_guard<std::mutex> lock(listLock);
    if (std::find(reportList.begin(), reportList.end(), &description) == reportList.end())
        reportList.push_back(&description);
}

void InfoListDone() {
    std::lock_guard<std::mutex> lock(listLock);
    reportList.clear();
    reportList.shrink_to_fit();
}

std::string InfoListGetStr(bool delimited) {
    std::lock_guard<std::mutex> lock(listLock);
    if (reportList.empty()) return std::string();
    std::string text = _GetTextualInfo(*reportList.front(), delimited, true);
    for (size_t i = 1; i < reportList.size(); ++i) {
        const size_t before = text.size();
        text += _GetTextualInfo(*reportList[i], delimited, false);
        if (text.size() > INFO_MAX_TEXT) {
            text.resize(before);
            text += kLineEnd;
            text += "...Sorry, Windows edit box can't handle more than 32k...";
            break;
        }
    }
    return text;
}

std::string _GetTextualInfo(const QUniInfo& description, bool delimited, bool header) {
    QInfTextRec v;
    _CalcInfoValues(description, v, !delimited);
    std::string text;
    if (delimited) {
        if (header) {
            for (size_t i = 0; i < FIELD_COUNT; ++i) {
                if (i > 0) text += ';';
                text += std::string("\"") + kFields[i].name + "\"";
            }
            text += kLineEnd;
        }
        for (const Field_& f : kFields) {
            const std::string& value = v.*f.member;
            text += f.quoted ? "\"" + value + "\";" : value + ";";
        }
        return text + kLineEnd;
    }
    for (size_t i = 0; i < FIELD_COUNT; ++i) {
        // An empty line in front of the video part and of the audio part.
        if (i == 7 || i == 14) text += kLineEnd;
        text += std::string(kFields[i].label) + ":  " + v.*kFields[i].member +
                Suffix_(i, description, v) + kLineEnd;
    }
    return text + RepChar('=', 40) + kLineEnd;
}

void _CalcInfoValues(const QUniInfo& d, QInfTextRec& v, bool grouping) {
    _ClearInfRec(v);
    const QUniImgDesc& img = d.img;
    const QUniSndDesc& snd = d.snd;
    const double uncompressed = img.imageBytes + snd.soundBytes;
    v.FileName = d.fileName;
    v.FileFormat = d.formatName;
    v.FileSize = BigNumToStr(grouping, d.fileSize);
    v.FileUncompSize = BigNumToStr(grouping, uncompressed);
    v.FileComprRatio = _GetRatioString(grouping, d.fileSize, uncompressed);
    if (d.dataRate >= 1024) v.FileDataRate = BigNumToStr(true, d.dataRate / 1024);
    const double duration = std::max(img.duration, snd.duration);
    if (duration > 0.001) v.FileEstDataRate = Fixed_(d.fileSize / 1024 / duration, 0);

    v.VidFormat = StreamFormat_(img.hasVideo, img.videoSupported, img.videoCompression,
                                "No video stream");
    if (img.hasVideo) {
        v.VidRes = std::to_string(img.width) + " x " + std::to_string(img.height);
        v.VidColors = ColorDepth_(img.bitsPP);
        v.VidRate = Fixed_(img.frameRate, 2);
        v.VidFrames = BigNumToStr(true, img.frames);
        // A count the container only estimates says so where people read it.
        if (grouping && img.framesEstimated) v.VidFrames = "about " + v.VidFrames;
        v.VidTime = _CalcTimeString(grouping, img.frameRate, img.frames);
        v.VidUncmpSize = BigNumToStr(
            grouping, static_cast<double>(img.width) * img.height * img.bytesPP * img.frames);
    }

    v.AudFormat = StreamFormat_(snd.hasSound, snd.soundSupported, snd.soundCompression,
                                "No audio stream");
    if (snd.hasSound) {
        v.AudRate = Fixed_(std::trunc(snd.rate), 0);
        v.AudChannels = std::to_string(snd.channels);
        if (grouping && snd.channels == 1) v.AudChannels += " (mono)";
        if (grouping && snd.channels == 2) v.AudChannels += " (stereo)";
        v.AudBits = std::to_string(snd.bitsPerSample);
        v.AudSamples = BigNumToStr(grouping, snd.soundSamples);
        if (grouping && snd.samplesEstimated) v.AudSamples = "about " + v.AudSamples;
        v.AudTime = _CalcTimeString(grouping, snd.rate, snd.soundSamples);
        v.AudUncmpSize = BigNumToStr(grouping, snd.soundBytes);
    }
}

void _ClearInfRec(QInfTextRec& values) { values = QInfTextRec{}; }

std::string _GetRatioString(bool grouping, double fileSize, double uncompressedSize) {
    // A file of no size has no ratio (the division would give no number).
    if (fileSize == 0) return std::string();
    const double r = std::fabs(uncompressedSize / fileSize);
    if (r == 0 || !std::isfinite(r)) return std::string();
    std::string text = Fixed_(100 / r, 1) + "%";
    if (r > 1 && grouping) text += "  (" + Fixed_(r, 1) + " : 1)";
    return text;
}

std::string _CalcTimeString(bool grouping, double rate, double count) {
    if (!(rate > 0)) return std::string();
    const double t = count / rate;
    return grouping ? SecToStr(SEC_MINUTES | SEC_SECONDS | SEC_MSECS, t) : Fixed_(t, 3);
}

}  // namespace kelvora
