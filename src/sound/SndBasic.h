#pragma once
// The sound model: the wave format description shared by every sound source, the sound record
// that carries PCM samples to the output, silence padding, format conversion and the buffered
// loader with which readers hand out exactly the number of sample frames asked for.
//
// Compressed sound converts through the conversion streams of platform/AcmStream, always to
// the 16-bit PCM that acmFormatSuggest proposes for the source; equal formats are copied.

#include <cstdint>
#include <string>

#include "platform/AcmStream.h"

namespace kelvora {

// The 18-byte little-endian wave format header. Two formats are equal when their first 16
// bytes are (the extra size is ignored).
#pragma pack(push, 2)
struct QWaveFmt {
    uint16_t formatTag;  // 1 = PCM
    uint16_t channels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;  // bytes per sample frame
    uint16_t bitsPerSample;
    uint16_t extraSize;
};
#pragma pack(pop)
static_assert(sizeof(QWaveFmt) == 18);

constexpr uint16_t WAVE_FORMAT_PCM = 1;

// The sound record: a block of samples with its format.
struct Qsnd {
    uint8_t* data;      // tracked block registered under this field
    int32_t allocated;  // bytes requested for data
    int32_t samples;    // sample frames held: bytes in use = samples * format.blockAlign
    QWaveFmt format;
};

// One conversion stream from a fixed source format to a fixed destination format. The stream
// is not a tracked block: whoever opens it (WaveConvertInit) ends it (WaveConvertDone).
struct QWaveConv {
    HACMSTREAM stream;  // null while none is open
    ACMSTREAMHEADER header;
    uint32_t flags;  // flags of the next conversion pass
};

// What SndLoad keeps between calls; the reader fills the formats, the total and the factor.
struct QSndLoader {
    const QWaveFmt* srcFormat;
    QWaveFmt destFormat;  // PCM
    uint8_t* converted;   // tracked block of converted bytes not yet handed out
    int32_t valid;        // bytes of converted that hold data
    int32_t position;     // bytes of converted already handed out
    int64_t consumed;     // source units read so far
    int64_t total;        // source units in all
    bool endOfSource;
    double factor;  // sample frames produced per source unit
    // Decoded sample frames the next SndLoad drops before it delivers: a reader that seeks to
    // the start of the block holding a sample sets it to the frames before that sample.
    int32_t skip;
};

// Reads the next piece of the source into `block` (a tracked block the routine allocates or
// resizes) for about `wanted` output bytes; reports its size in bytes and the source units it
// represents (0 of either: no more data).
using SndReadProc = void (*)(void* reader, uint8_t*& block, int32_t wanted, int32_t& bytes,
                             int32_t& units);

// Allocates or resizes the sound's data to `bytes` (content kept); `name` labels the block.
void _sndalloc_(Qsnd& sound, int32_t bytes, int32_t line, const std::string& name);
void SndFree(Qsnd& sound);
// Extends the sound to `samples` sample frames with silence (128 for 8 bits, else 0).
void SndAddSilence(Qsnd& sound, int32_t samples);
// Fills block alignment and average bytes per second; false when rate, bits or channels is 0.
bool WaveFmtFix(QWaveFmt& format);
// True when the first 16 bytes differ.
bool WaveFmtDiffers(const QWaveFmt& a, const QWaveFmt& b);

// Opens the stream; `source` is followed by its extra bytes. (ERR_ACM, result) on failure.
void WaveConvertInit(QWaveConv& conv, const QWaveFmt& source, const QWaveFmt& destination);
// Converts `srcBytes` bytes of `source` into `destination` (capacity `destCapacity`); `produced`
// receives the bytes written.
void WaveConvert(QWaveConv& conv, const uint8_t* source, uint8_t* destination,
                 const QWaveFmt& destFormat, const QWaveFmt& srcFormat, int32_t& produced,
                 int32_t destCapacity, int32_t srcBytes);
// Closes the stream when one is open and clears the converter.
void WaveConvertDone(QWaveConv& conv);

// Points the loader at source unit `unit` after a seek: nothing converted is kept, the source
// reads on, and the conversion stream is closed (the reader reopens it before the next load).
void SndLoaderRestart(QSndLoader& loader, QWaveConv& conv, int64_t unit);

// Delivers `samples` sample frames of the loader's destination format into `sound` (fewer when
// the source runs out), reading the source through `read`.
void SndLoad(void* reader, QWaveConv& conv, QSndLoader& loader, SndReadProc read, int32_t samples,
             Qsnd& sound);

}  // namespace kelvora
