#pragma once
// The table of known formats, the file information record, extension lookup and the filter
// string of the file-open dialog.

#include <cstdint>
#include <string>

#include "sound/SndBasic.h"

namespace kelvora {

// Format types.
constexpr int32_t FT_TGA = 1;
constexpr int32_t FT_PCX = 2;
constexpr int32_t FT_BMP = 3;
constexpr int32_t FT_GIF = 4;
constexpr int32_t FT_FLIC = 5;
constexpr int32_t FT_AVI = 6;
constexpr int32_t FT_HAV = 7;
constexpr int32_t FT_JPEG = 8;
constexpr int32_t FT_PNG = 9;
constexpr int32_t FT_TIFF = 10;
constexpr int32_t FT_MPEG = 11;
constexpr int32_t FT_WAV = 12;
constexpr int32_t FT_SGI = 13;
constexpr int32_t FT_RAS = 14;
constexpr int32_t FT_PNM = 15;
constexpr int32_t FT_BAY = 16;
constexpr int32_t FT_XPM = 17;
constexpr int32_t FT_MPA = 18;
constexpr int32_t FT_OGG = 19;
// Today's containers, all read through libavformat (FF_AVF).
constexpr int32_t FT_MP4 = 20;
constexpr int32_t FT_MKV = 21;
constexpr int32_t FT_M4A = 22;
constexpr int32_t FT_MKA = 23;
constexpr int32_t FT_FLAC = 24;
constexpr int32_t FT_OPUS = 25;
constexpr int32_t FT_AAC = 26;
constexpr int32_t FT_MPTS = 27;
constexpr int32_t FT_FLV = 28;
constexpr int32_t FT_ASF = 29;
constexpr int32_t FT_WMA = 30;

// Format flags.
constexpr int32_t FF_STILL = 1;
constexpr int32_t FF_MOVIE = 2;
constexpr int32_t FF_AUDIOONLY = 4;
constexpr int32_t FF_PICTURE = 8;
constexpr int32_t FF_SOUND = 16;

// Tables for the lookups: the load table (any number but 2) and the output table (2).
constexpr int32_t FF_TABLE_LOAD = 1;
constexpr int32_t FF_TABLE_OUTPUT = 2;

// Options of FFMakeLoadFilter.
constexpr int32_t FF_FILTER_DESCRIPTION = 1;  // label with the description, not the short name
constexpr int32_t FF_FILTER_LIST = 2;         // append " (" + extension list + ")" to the label
constexpr int32_t FF_FILTER_NO_CATCHALL = 4;  // leave out "All supported formats" and "Any file"

// One row of a format table.
struct QffDesc {
    int32_t type;
    int32_t flags;
    std::string extensions;  // each with its leading point, concatenated: ".bmp.dib.rle"
    std::string shortName;
    std::string longName;
    std::string description;  // the format's display name
};

// The file information record; every format's information routine fills its part. Texts are
// short strings of at most 255 characters.
struct QffInfo {
    int32_t type;
    double fileSize;
    int32_t dataRate;  // bytes per second the file declares; 0 when none
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    int32_t bitsPP;  // as stored (BMP 16-bit as 15; 1 and 4 bits stay 1 and 4)
    int32_t frames;
    double videoDuration;  // left 0 by the format routines; the unified layer fills it
    double imageBytes;     // likewise
    double frameRate;      // 0 for stills
    std::string videoCompression;
    int32_t hasVideo;
    int32_t videoSupported;
    QWaveFmt soundFormat;  // as stored
    QWaveFmt playFormat;   // the PCM the reader delivers
    int32_t soundSamples;
    std::string soundCompression;
    int32_t hasSound;
    int32_t soundSupported;
    std::string formatName;
    // The container gives its frame count or sound length only as an estimate (from its
    // duration) until the file is read to its end.
    int32_t framesEstimated;
    int32_t samplesEstimated;
};

// Clears every field of an information record.
void FFClearInfo(QffInfo& info);
// The record's 32-bit truth values: -1 for true, 0 for false.
constexpr int32_t FFBool(bool value) { return value ? -1 : 0; }
// The picture part of the record: one frame (a movie sets its count after) of the given size
// and depth, with pictures when it has a width, decodable when `supported`. The compression
// text is the reader's own.
void FFFillPictureInfo(QffInfo& info, double fileSize, int32_t width, int32_t height,
                       int32_t bytesPP, int32_t bitsPP, bool supported);
// Cuts a text to the 255 characters of a short string.
std::string FFShortStr(const std::string& text);

int32_t FFTypeByExt(const std::string& fileName, int32_t table);
void FFFindByExt(const std::string& fileName, QffDesc& row, int32_t table);
bool FFGetDesc(QffDesc& row, int32_t index, int32_t table);
void FFConvExt_(const std::string& extensions, std::string& pattern, std::string& list);
void FFMakeLoadFilter(int32_t flagMask, int32_t options, std::string& filter);

}  // namespace kelvora
