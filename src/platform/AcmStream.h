#pragma once
// Compressed-sound conversion streams: the calls the sound model and the sound readers are
// written against (suggest a PCM format, open a stream, predict an output size, convert blocks,
// close), over libavcodec's audio decoders.
//
// A source format is an 18-byte wave format followed by its `extraSize` extra bytes (ADPCM
// coefficients, samples per block, MPEG audio data); the caller guarantees those bytes are
// there. The decoder is chosen from the format tag through libavformat's RIFF audio tag table;
// PCM (1) and IEEE float (3) go by their width, and WAVE_FORMAT_EXTENSIBLE (0xFFFE) by its
// sub-format. The destination is 16-bit PCM at the source's rate and channel count; a PCM
// source may also be opened to itself (the stream then copies).
//
// A stream takes source bytes in any piece sizes: a partial block or MPEG audio frame stays in
// the stream and is decoded with the next call, and decoded sound that did not fit the caller's
// buffer is handed out first by the next call, so nothing is lost between calls. Every call
// reports all the source bytes it was given as used.
//
// Streams are independent; one stream must not be used by two threads at once.

#include <cstdint>
#include <string>

namespace kelvora {

struct QWaveFmt;  // the 18-byte wave format of the sound model

// Results (0 = success).
constexpr int32_t MMSYSERR_INVALHANDLE = 5;
constexpr int32_t MMSYSERR_NOMEM = 7;
constexpr int32_t MMSYSERR_INVALFLAG = 10;
constexpr int32_t MMSYSERR_INVALPARAM = 11;
constexpr int32_t ACMERR_NOTPOSSIBLE = 512;
constexpr int32_t ACMERR_UNPREPARED = 514;

constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// acmFormatSuggest: the destination's preset format tag is kept.
constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
// acmStreamOpen: conversion need not keep up with real time (the only mode there is).
constexpr uint32_t ACM_STREAMOPENF_NONREALTIME = 0x4;
// acmStreamSize: the given size is of the source, or of the destination.
constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x0;
constexpr uint32_t ACM_STREAMSIZEF_DESTINATION = 0x1;
// acmStreamConvert: whole blocks only; the first call of a stream; the last call (a partial
// block or frame kept in the stream is decoded too).
constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x04;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x10;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x20;

// Status bits of a stream header.
constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;

struct QAcmStream;
using HACMSTREAM = QAcmStream*;

// One conversion request: where the source is and how much of it, where the output goes and
// how much room it has; the stream fills the two "used" counts.
struct ACMSTREAMHEADER {
    uint32_t cbStruct;  // sizeof(ACMSTREAMHEADER)
    uint32_t fdwStatus;
    const uint8_t* pbSrc;
    uint32_t cbSrcLength;
    uint32_t cbSrcLengthUsed;
    uint8_t* pbDst;
    uint32_t cbDstLength;
    uint32_t cbDstLengthUsed;
};

// Proposes a destination format for `source` in `dest` (`destBytes` of room, at least 18):
// with ACM_FORMATSUGGESTF_WFORMATTAG and tag PCM preset, 16-bit PCM at the source's rate and
// channels. ACMERR_NOTPOSSIBLE when no decoder takes the source.
int32_t acmFormatSuggest(void* driver, const QWaveFmt* source, QWaveFmt* dest, uint32_t destBytes,
                         uint32_t flags);
// Opens a stream from `source` to `dest` (`dest` as acmFormatSuggest proposes it, or a PCM
// source itself). The stream is ordinary heap memory, not a tracked block: its owner closes it.
int32_t acmStreamOpen(HACMSTREAM* stream, void* driver, const QWaveFmt* source, const QWaveFmt* dest,
                      void* filter, uintptr_t callback, uintptr_t instance, uint32_t flags);
// The output bytes for `input` source bytes (ACM_STREAMSIZEF_SOURCE), or the source bytes
// needed for `input` output bytes (ACM_STREAMSIZEF_DESTINATION). Exact for block codecs (whole
// blocks only) and for MPEG audio frames of a constant bit rate.
int32_t acmStreamSize(HACMSTREAM stream, uint32_t input, uint32_t* output, uint32_t flags);
int32_t acmStreamPrepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags);
int32_t acmStreamConvert(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags);
int32_t acmStreamUnprepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags);
int32_t acmStreamClose(HACMSTREAM stream, uint32_t flags);

// The decoder's own name for a format tag ("IMA ADPCM WAV", ...); ACMERR_NOTPOSSIBLE when no
// decoder takes the tag.
int32_t acmFormatTagDetails(uint16_t tag, std::string& name);

}  // namespace kelvora
