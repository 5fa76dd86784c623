#pragma once
// The WAV reader: RIFF WAVE sound files read chunk by chunk (RiffFile), delivered as PCM sample
// frames. PCM (also WAVE_FORMAT_EXTENSIBLE with a PCM sub-format) is handed out as stored, at
// its container width; every other format tag goes through a conversion stream (AcmStream)
// that SndLoad drives while the read procedure pulls whole source blocks from the data chunk.
// Positions seen by callers are output (PCM) sample frames.
//
// Damaged files: a data chunk that declares more bytes than the file holds (a cut file, or 0 or
// 0xFFFFFFFF from a writer on a pipe) plays the bytes that are there; reading never goes past
// the data chunk, so chunks after it are never played. A seek into a block codec (ADPCM, GSM)
// restarts the conversion at the block holding the sample and drops the frames before it.
//
// Errors: (ERR_WAV, 1) "Cannot open WAV file." for a file that is not RIFF WAVE, lacks its
// "fmt " or "data" chunk, or whose format header is damaged (no channels, rate or block size, a
// format chunk shorter than 16 bytes or of absurd size); (ERR_WAV, 3) for a read that fails;
// (ERR_WAV, 5) for a seek that fails; (ERR_ACM, result) when the conversion fails; (ERR_WINMM,
// result) when the file cannot be closed. A compressed format without a decoder, or an output
// format the sound model does not take, is a silent exit of WAVOpen: the caller sees no error
// and a handle without sound (nothing stays open).

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "platform/RiffFile.h"
#include "sound/SndBasic.h"

namespace kelvora {

// The largest "fmt " chunk taken: the 18-byte header and the most extra bytes it can announce.
constexpr uint32_t WAV_MAX_FORMAT_BYTES = 18 + 65535;

// The reader handle. It lives in a zeroed tracked block: a plain record.
struct QWavHandle {
    HMMIO file;
    MMCKINFO dataChunk;    // its size cut to the bytes the file holds
    QWaveFmt* inFormat;    // the "fmt " chunk as read (tracked, at least 18 bytes)
    int32_t inFormatSize;  // bytes of inFormat that hold the chunk (at least 18)
    QWaveFmt outFormat;    // PCM
    QSndLoader loader;     // consumed = source position, total = source sample frames
    int32_t sndPos;        // output sample frames: the position after the last load
    int32_t sampleCount;   // output sample frames in all
    double ratio;          // output sample frames per source sample frame
    int32_t writeMode;     // always 0: the reader never writes
    int32_t soundLoadable;
    QWaveConv conv;
    int32_t convInit;  // the conversion must be (re)opened before the next load
    // Beyond the described fields.
    int32_t passThrough;    // the source is PCM as it stands: no conversion stream
    QWaveFmt sourceHeader;  // the first 18 bytes of the source format, kept after a silent exit
    int32_t sourceTag;      // the tag the source stands for (an extensible format's sub-format)
    int32_t srcAlign;       // bytes of one source sample frame as read: the block align, or 1 for
                            // MPEG audio, whose frames do not keep to the declared block
};

void WAVOpen(QWavHandle& h, const std::string& fileName);
// Repositions to output sample frame `position` (clamped to the last source frame).
void WAVSeek(QWavHandle& h, int32_t position);
// Delivers up to `count` PCM sample frames from `start` into `sound`; with `cont` and `start`
// at the current position it reads on without seeking.
void WAVLoad(QWavHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count);
// The read procedure SndLoad calls for more source data (`reader` is the handle).
void WAVLoad_(void* reader, uint8_t*& block, int32_t wanted, int32_t& bytes, int32_t& units);
// Closes the file and frees everything; the handle is zero-filled.
void WAVClose(QWavHandle& h);
// The sound part of the file information record.
void WAVInfo(const std::string& fileName, QffInfo& info);

// Finds, among the chunks that follow, the one `ck` names (MMIO_FINDCHUNK: its identifier;
// MMIO_FINDRIFF / MMIO_FINDLIST: "RIFF" / "LIST" with its form type), reading over the others
// and their pad bytes. 0 when found, else the descent's result (with no flag nothing matches,
// and running out of chunks counts as success).
int32_t FindChunkAndKeepExtras_(HMMIO file, MMCKINFO& ck, const MMCKINFO* parent, uint32_t flags);
// Reads over the data of `ck` (the file stands at it) and its pad byte; (ERR_WAV, 3) when the
// data cannot be read.
void ReadIntoExtra_(HMMIO file, const MMCKINFO& ck);
// Closes the handle and raises (ERR_WAV, 1).
[[noreturn]] void WAVAbort_(QWavHandle& h);

}  // namespace kelvora
