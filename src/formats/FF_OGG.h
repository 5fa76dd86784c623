#pragma once
// The Ogg Vorbis reader: sound files decoded by the Ogg Vorbis library (platform/OggVorbisFile)
// and delivered as 16-bit signed little-endian PCM at the stream's own rate and channel count.
//
// The sample frames of a file are those of its first logical stream and of the chained streams
// after it that keep its format (see OggVorbisFile). Positions are sample frames from 0.
//
// Errors: (ERR_MVI, 6) "Cannot open movie file." for a file that cannot be read, is not Ogg
// Vorbis, or has a format out of range; the failed open leaves nothing open or allocated.
// Loading never raises for the stream's own sake: a decode error or the end of the stream ends
// a load early, and a position that cannot be reached delivers nothing.

#include <cstdint>
#include <string>
#include <type_traits>

#include "formats/FileFmtDef.h"
#include "sound/SndBasic.h"

namespace kelvora {

constexpr int32_t OGG_NAME_BYTES = 256;  // a short string of 255 characters and its end mark

// The reader handle: zero-filled at open and close, so a zero handle is a closed one.
struct QOggHandle {
    uint8_t* state;    // the library's decoder state, a tracked block of OV_STATE_BYTES
    void* file;        // the file the library opened; given back when clearing
    int32_t total;     // sample frames
    int32_t position;  // the current position: the next sample frame a load reads on from
    int32_t stream;    // the logical stream the last read came from
    QWaveFmt format;   // the output format: PCM, the stream's rate and channels, 16 bits
    char fileName[OGG_NAME_BYTES];  // NUL-terminated
    int32_t writeMode;              // always 0: the reader never writes
};
static_assert(std::is_trivially_copyable_v<QOggHandle>);

void OggOpen(QOggHandle& h, const std::string& fileName);
// Goes to sample frame `sample`; a position that cannot be reached leaves the handle as it was.
void OggSeek(QOggHandle& h, int32_t sample);
// Loads up to `count` sample frames from `start` into `sound` (its sample count tells how many
// came); with `cont` set and `start` at the current position, reads on without seeking.
void OggLoad(QOggHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count);
void OggClose(QOggHandle& h);
void OggInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
