#pragma once
// Today's containers (MP4 and QuickTime, Matroska and WebM, FLAC, Ogg Opus, ADTS AAC, MPEG
// transport streams, FLV, ASF): every file libavformat reads, through the frame-exact media
// layer (platform/AvMedia). Pictures are delivered as 24-bit images, sound as 16-bit PCM at the
// stream's own rate and channel count. Frames are numbered from 1, sound positions are sample
// frames from 0.
//
// Several format types share the reader. Opening serves any container; the description of one
// type (AvfInfoAs) takes only the containers of that type, so that a file probed under another
// extension is named after what it is (an Ogg file with Opus in it reaches the Opus type, an
// audio-only MP4 the MPEG-4 audio type). A file whose extension names the type is taken
// whatever its container.
//
// The description parks the open media for the open that usually follows it on the same
// unchanged file (and keeps a refusal the same way, so that probing a file through every type
// asks the media layer once).
//
// Errors: (ERR_MVI, 6) "Cannot open movie file." for a file the media layer cannot open, one
// with neither pictures nor sound, or (in the description of a type) a container of another
// type; a failed open leaves nothing open or allocated. (ERR_MVI, 1) "Invalid movie format."
// for a frame number out of range; (ERR_MVI, 3) "Cannot decompress movie image data." for a
// picture the file is too damaged to give; (ERR_MVI, 7) "End of movie reached." for a sound
// position past the end. The description raises nothing else for the file's sake.

#include <cstdint>
#include <string>
#include <type_traits>

#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"
#include "sound/SndBasic.h"

namespace kelvora {

struct QAvMedia;

// The reader handle: zero-filled at open and close, so a zero handle is a closed one. It lives
// in a tracked block: the media is held by pointer and closed by AvfClose.
struct QAvfHandle {
    QAvMedia* media;
    int32_t width;  // 0 without pictures
    int32_t height;
    int32_t bytesPP;  // 3
    int32_t bitsPP;   // 24
    double frameRate;
    int32_t frames;
    int32_t curFrame;    // the frame last loaded into the caller's image; 0 before the first
    int32_t newPalette;  // always 0: 24-bit pictures carry no palette
    int32_t samples;     // sample frames of the sound; 0 without sound
    int32_t sndPos;      // the sample frame the next load reads on from
    int32_t writeMode;   // always 0: the reader never writes
    QWaveFmt outFormat;  // the PCM delivered
};
static_assert(std::is_trivially_copyable_v<QAvfHandle>);

void AvfOpen(QAvfHandle& h, const std::string& fileName);
// Direction -1: the last key frame before `frame`; otherwise the first at or after it, 1 when
// there is none after. Frames from 1; `frame` is clamped to the movie.
int32_t AvfNearestKeyFrame(QAvfHandle& h, int32_t frame, int32_t direction);
// Loads frame n (0 = the one after the current) into the image; mode bit 0 = continuous
// playback: the frame already in the image returns at once.
void AvfImgLoad(QAvfHandle& h, Qimg& image, int32_t frame, int32_t mode);
// Seconds from frame 1 to frame `frame` (from 1, clamped to the movie) where the pictures do
// not step evenly; -1 where they do (frame n then plays at (n - 1) / frame rate).
double AvfFrameTime(const QAvfHandle& h, int32_t frame);
void AvfSndSeek(QAvfHandle& h, int32_t position);
// Delivers up to `count` sample frames from `start` (fewer at the end); with `cont` and `start`
// at the current position it reads on.
void AvfSndLoad(QAvfHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count);
void AvfClose(QAvfHandle& h);
// Describes any file the media layer reads.
void AvfInfo(const std::string& fileName, QffInfo& info);
// Describes the file as one of format type `type`: refused (ERR_MVI, 6) unless its container
// is one of the type's or the file's extension names the type.
void AvfInfoAs(const std::string& fileName, int32_t type, QffInfo& info);
// Whether a file of the container `container` (libavformat's short names, comma-separated),
// with or without pictures, is one of format type `type`.
bool AvfTypeTakes(int32_t type, const std::string& container, bool pictures);
// Lets go of the parked media (at shutdown).
void AvfDone();

}  // namespace kelvora
