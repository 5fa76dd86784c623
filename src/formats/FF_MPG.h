#pragma once
// MPEG system and video streams, and MPEG audio files. The reader decodes nothing itself:
// pictures come from the MPEG video library (platform/libmpvplay), sound from the MPEG audio
// library (platform/libmpgdec), both called as the reader has always called them.
//
// MPEG-2 video is described but not decoded; Layer I sound is described but not played. A
// frame is reached by decoding forward from the start of the stream (the library makes the
// frames passed over cheap); the next frame is one decode.
//
// Errors: (ERR_MVI, 6) "Cannot open movie file." when either library cannot open what the
// description promised, or the file holds neither pictures nor sound the reader can deliver;
// (ERR_MVI, 1) "Invalid movie format." for a frame number out of range; (ERR_MVI, 7) "End of
// movie reached." for a sound position past the end; (ERR_MVI, 3) "Cannot decompress movie
// image data." when not one picture of the stream could be decoded; the video library's own
// messages as (ERR_LIBRARY, text). The description never raises for the file's sake: a file
// the libraries refuse is described without pictures or sound.

#include <cstdint>
#include <string>
#include <type_traits>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "platform/libmpgdec.h"
#include "platform/libmpvplay.h"
#include "sound/SndBasic.h"

namespace kelvora {

constexpr int32_t MPG_NAME_BYTES = 256;  // a short string of 255 characters and its end mark

// The reader handle: zero-filled at open and close. It begins with the picture record the
// video library works in.
struct QMpgHandle {
    QMpegPicture picture;  // width, height, bytes and bits per pixel, decoded row width
    int32_t frames;
    double frameRate;
    int32_t mpeg2;  // 2 for MPEG-2 video, else 0
    int32_t hasVideo;
    int32_t hasAudio;
    int32_t openFlags;
    int32_t videoOpen;
    int32_t audioOpen;
    int32_t framesDecoded;
    int32_t endOfStream;
    char videoName[MPG_NAME_BYTES];
    char audioName[MPG_NAME_BYTES];
    int32_t audioStream;      // the audio library's handle
    QMpgAudioInfo audioInfo;  // as the audio library describes the sound
    int32_t sndPos;           // the sample frame the next load reads on from
    QWaveFmt outFormat;       // the PCM delivered
};
static_assert(std::is_trivially_copyable_v<QMpgHandle>);

// The picture rate of a sequence header's code: clamped to 0 ... 8, 0 giving 0.0.
double MpgFrameRate(int32_t code);

void MpgInfo(const std::string& fileName, QffInfo& info);
void MpgOpen(QMpgHandle& h, const std::string& fileName, int32_t flags);
void MpgClose(QMpgHandle& h);
void MpgImgRewind(QMpgHandle& h);
// Loads frame n (from 1; 0 = the next one); flag bit 0: sequential loading, bit 1: the image
// gets a copy of its own rather than the library's picture.
void MpgImgLoad(QMpgHandle& h, Qimg& image, int32_t frame, int32_t flags);
void MpgSndSeek(QMpgHandle& h, int32_t position);
// Delivers up to `count` sample frames from `start`; with `cont` it reads on from the current
// position.
void MpgSndLoad(QMpgHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count);
// The error procedure handed to the video library: raises (ERR_LIBRARY, message).
void error_handler_(const char* message);

}  // namespace kelvora
