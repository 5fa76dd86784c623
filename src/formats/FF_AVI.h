#pragma once
// AVI movies with sound. Two engines serve a file side by side: the AVI file services
// (platform/AviFile with the frame decompressor of platform/AviGetFrame, and the conversion
// streams for compressed sound), and the AVI library (platform/libavi), which takes over video or
// sound the file services cannot deliver; DV and Cinepak video always go to the library. Sound
// is delivered as PCM whatever the file holds, through the sound model's conversion.
//
// The unit also names sound and video codecs for the information report of every reader that
// carries wave-format sound (AVI, WAV) or AVI video, and classifies video codes.
//
// Errors: (ERR_AVIFILE, code) "AVI subsystem malfunction: " when the file services cannot open
// the file and the library cannot either; (ERR_AVI, 5) "Cannot open AVI file." for a video
// stream without frames; (ERR_AVI, 1) "Cannot read from AVI file." for a frame out of range or
// one that cannot be decoded; (ERR_AVI, 3) "Cannot read audio data from AVI file." for sound
// past its end or without a sound stream. Unusable sound never stops an open: it is dropped with
// the warning (ERR_AVI, 8) or replaced by the library's.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "platform/AviFile.h"
#include "platform/AviGetFrame.h"
#include "sound/SndBasic.h"

namespace kelvora {

// The reader handle. It lives in a zeroed tracked block: a plain record.
struct QAviHandle {
    // Which engine serves what.
    int32_t libVideo;     // frames come from the library
    int32_t libAudio;     // sound comes from the library
    int32_t libHasVideo;  // the library reported a size, depth and frame count
    int32_t libHasAudio;  // the library's sound format has channels, rate and bits
    int32_t libHandle;    // 0 when the library could not open the file
    PAVIFILE file;
    PAVISTREAM video;
    PGETFRAME getFrame;
    PAVISTREAM audio;
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    int32_t bitsPP;  // 16 is reported as 15
    int32_t frames;
    double frameRate;
    double fileSize;
    int32_t maxBytesPerSec;  // of the file's main header: the record's data rate
    AVISTREAMINFO videoHeader;
    uint8_t* videoFormat;  // the stream format as stored (tracked)
    int32_t videoFormatSize;
    AVISTREAMINFO audioHeader;
    QWaveFmt* inFormat;  // the source sound format with its extra bytes (tracked, >= 18 bytes)
    int32_t inFormatSize;
    QWaveFmt outFormat;  // the PCM delivered
    int32_t srcLength;   // source blocks (chunks when the stream's sample size is 0)
    int32_t pcmLength;   // sample frames
    double ratio;        // pcmLength / srcLength
    int32_t sndNextPos;  // the next expected PCM position
    QSndLoader loader;   // consumed = the current source block
    QWaveConv conv;
    int32_t convInit;  // the conversion must be reopened before the next load
    int32_t curFrame;  // the frame last loaded; 0 before the first
    int32_t newPalette;
    int32_t writeMode;  // always 0: the reader never writes
    int32_t perChunk;   // sample frames of one chunk of a stream with sample size 0, else 0
};

void AviOpen(QAviHandle& h, const std::string& fileName);
// Direction -1: the key frame before `frame`; otherwise the first at or after it. Frames from 1.
int32_t AviNearestKeyFrame(QAviHandle& h, int32_t frame, int32_t direction);
// Loads frame n (0 = the next one) into the image; mode bit 0 = continuous playback.
void AviImgLoad(QAviHandle& h, Qimg& image, int32_t frame, int32_t mode);
void AviSndSeek(QAviHandle& h, int32_t position);
// Delivers up to `count` PCM sample frames from `start`; with `cont` and `start` at the next
// expected position it reads on without seeking.
void AviSndLoad(QAviHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count);
// The source reader SndLoad calls for more sound (`reader` is the handle).
void AviSndLoad_(void* reader, uint8_t*& block, int32_t wanted, int32_t& bytes, int32_t& units);
void AviClose(QAviHandle& h);
void AviInfo(const std::string& fileName, QffInfo& info);
// Drops the sound stream with the warning (ERR_AVI, 8).
void AVIIgnoreAudio_(QAviHandle& h);
// Reads a stream's format into a tracked block; the stream's result code on failure.
int32_t AVIStreamReadFormat_(PAVISTREAM stream, uint8_t*& format, int32_t& size, const char* label);

// "(#" + the tag in decimal + ") " followed by "PCM, uncompressed" for tag 1, else the name of
// the decoder that converts the tag, else "Unknown codec".
std::string AVIGetAudioName(uint16_t tag);

// "(" + the four characters of the code + ") " (nothing for code 0), then "Full frames,
// uncompressed" for full-frame codes, else the name of the decoder that takes the code, else
// "Unknown codec".
std::string AVIGetVideoName(uint32_t fourcc);

// Uncompressed full frames: "DIB ", "RAW " or "RGB " in any case, or 0.
bool AVIChk4FullFrames_(uint32_t fourcc);
// Video 1: "MSVC", "CRAM" or "WHAM" in any case.
bool AVIChk4Video1_(uint32_t fourcc);

}  // namespace kelvora
