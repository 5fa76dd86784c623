#pragma once
// Unified media access: every file the player can open is a numbered run of images (possibly a
// run of one) with an optional sound track.
//
// Two layers:
// - the movie layer (Mvi...): one MviHandle (declared with the reader table, FFReaders) per open
//   movie or sound file, reaching the reader of its format through the format's row;
// - the unified layer (Uni...): one UniHandle per open file of any kind. A still image is a
//   movie of one frame (kind 1); still images whose names differ only in a trailing number
//   form a movie whose frames are those files (kind 2); movies and sound files go through a
//   movie handle (kind 3).
//
// Every routine is monitored: failures are raised with ErrRaiseCode and travel to the caller's
// frame, except UniInfo, which never raises (it returns false and leaves (ERR_FILE, 9) noted as
// the last warning). Errors: (ERR_MVI, 1) invalid movie format or frame number, (ERR_MVI, 5)
// pictures or sound that cannot be loaded, (ERR_MVI, 7) a frame past the last, (ERR_UNI, 1) a
// handle of a kind the operation does not know; the readers' own errors pass on unchanged and
// leave the handle open and usable.
//
// Threads: the unit keeps no module state (the views' constant zeros are immutable). A handle
// belongs to one thread at a time; different handles, and UniInfo, may be used on different
// threads at once (the error state is per thread, the tracked register is locked).

#include <cstdint>
#include <string>

#include "formats/FFReaders.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "sound/SndBasic.h"

namespace kelvora {

// The longest sequence UniInfo looks for when the caller sets no limit.
constexpr int32_t UNI_SEQ_UNLIMITED = 0x7FFFFFFF;
// Prefix and suffix of a sequence are short strings.
constexpr int32_t SEQ_MAX_PART = 255;

// A run of numbered still images: frame k is prefix + (first + k - 1) + suffix, the number
// zero-padded to `digits`.
struct SeqDesc {
    std::string prefix;  // directory plus the part of the name before the number
    std::string suffix;  // the part after the number, extension included
    int32_t first;
    int32_t count;
    int32_t digits;  // digits of the number in the first file's name
};

// The picture fields of the file information record, with the totals UniInfo derives.
struct QUniImgDesc {
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    int32_t bitsPP;
    int32_t frames;
    double duration;    // seconds: frames / frame rate
    double imageBytes;  // width x height x bytes per pixel x frames
    double frameRate;
    std::string videoCompression;
    int32_t hasVideo;
    int32_t videoSupported;
    int32_t framesEstimated;  // the count is the container's estimate
};

// The sound fields of the file information record, with the figures UniInfo derives from the
// playback format.
struct QUniSndDesc {
    QWaveFmt soundFormat;  // as stored
    QWaveFmt playFormat;   // the PCM the reader delivers
    int32_t soundSamples;
    double duration;    // seconds: samples / rate
    double soundBytes;  // samples x block align
    double rate;        // sample frames per second
    int32_t channels;
    int32_t bitsPerSample;
    int32_t blockAlign;
    std::string soundCompression;
    int32_t hasSound;
    int32_t soundSupported;
    int32_t samplesEstimated;  // the length is the container's estimate
};

// What UniInfo finds out about a file.
struct QUniInfo {
    uint32_t format;  // format type (table of FileFmtDef)
    int32_t kind;
    std::string fileName;
    double fileSize;  // of a sequence: the sum of its files
    std::string formatName;
    QUniImgDesc img;
    QUniSndDesc snd;
    int32_t dataRate;
    SeqDesc seq;
};

// An open file of any kind.
struct UniHandle {
    uint32_t format;
    int32_t kind;
    // The whole name (not cut to a short string: a cut name would open another file).
    std::string fileName;
    int32_t curImage;    // 1-based: the image last loaded
    int32_t curSndPos;   // sample frames: the position after the last sound load
    double curImgTime;   // seconds
    double curSndTime;   // seconds
    int32_t newPalette;  // the last loaded image brought a new palette
    QUniImgDesc img;
    QUniSndDesc snd;
    MviHandle mvi;  // kind 3 only
    SeqDesc seq;    // kind 2 only
};

// --- Unified layer --------------------------------------------------------------------------

// The kind of a file by its format type and frame count.
int32_t UniKindOf(uint32_t format, int32_t frames);
// Fills `info` for the file: its format from the extension, other formats probed in table order
// when that reader finds neither pictures nor sound, and a still image widened into a sequence
// of up to `maxSeq` files (1 disables the search). `allowSign` lets a "-" in front of the number
// make it negative. False (with (ERR_FILE, 9) noted) when the file cannot be described.
bool UniInfo(const std::string& fileName, QUniInfo& info, int32_t maxSeq, bool allowSign);
void UniOpen(UniHandle& handle, const QUniInfo& info);
// The frame to start decoding from to show `frame`: direction -1 the last key frame before it,
// 1 the first at or after it (frame 1 past the last), otherwise the first at or after it.
int32_t UniNearestKeyFrame(UniHandle& handle, int32_t frame, int32_t direction);
// Seconds from frame 1 to `frame` (from 1) of a movie whose pictures do not step evenly (a
// variable frame rate); -1 for every other file, whose frame n plays at (n - 1) / frame rate.
// Reads only what the open fixed, so any thread may ask while another loads.
double UniFrameTime(const UniHandle& handle, int32_t frame);
// Loads frame `frame` (from 1) into `image`; mode bit 0 = continuous playback.
void UniImgLoad(UniHandle& handle, Qimg& image, int32_t frame, int32_t mode);
// Loads up to `count` sample frames from `start` into `sound` (its sample count tells how many
// came); `cont` states that `start` follows on from the previous load.
void UniSndLoad(UniHandle& handle, Qsnd& sound, int32_t start, bool cont, int32_t count);
// Closes a handle of any kind; a handle that was never opened (kind 0) is only cleared.
void UniClose(UniHandle& handle);
// Shutdown of the unit (it keeps no global state to clear).
void ConDone();

// --- Movie layer ----------------------------------------------------------------------------

// Opens the reader of `format` (BAD_HANDLE: from the name's extension) and binds the views.
void MviOpen(MviHandle& mf, const std::string& fileName, int32_t format);
// Binds the views of an open handle to its reader's fields (MviOpen does it after the open).
void MviBind(MviHandle& mf);
int32_t MviNearestKeyFrame(MviHandle& mf, int32_t frame, int32_t direction);
double MviFrameTime(const MviHandle& mf, int32_t frame);
void MviImgLoad(MviHandle& mf, Qimg& image, int32_t frame, int32_t mode);
void MviSndLoad(MviHandle& mf, Qsnd& sound, int32_t start, bool cont, int32_t count);
void MviClose(MviHandle& mf);

// --- Sequence helpers -------------------------------------------------------------------------

// Splits the name at its last run of digits: prefix (directory included), digits, number,
// suffix. False when the name carries no number, or when the prefix or suffix would be longer
// than its limit (then `prefix` is the name without its extension and `suffix` the extension).
bool SeqSplit(const std::string& fileName, bool allowSign, std::string& prefix, int32_t prefixMax,
              int32_t& digits, int32_t& number, std::string& suffix, int32_t suffixMax);
// True when the file numbered `number` exists and is a picture like the first file (`first`);
// `fileSize` receives its size.
bool SeqProbe(const std::string& prefix, const std::string& suffix, int32_t number,
              int64_t& fileSize, const QUniImgDesc& first, int32_t digits);
// The name of frame `index` (from 1) of a sequence.
std::string SeqFrameName(const SeqDesc& seq, int32_t index);

}  // namespace kelvora
