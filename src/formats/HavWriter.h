#pragma once
// The HAV movie writer: frames of one geometry and depth coded with BEST, FAST or BEST-P, key
// frames at a fixed interval, optional PCM sound in a chain of blocks, index pages for random
// access. What it writes, the reader (FF_HAV) decodes back bit-exactly.
//
// Key frames write every byte (runs, literals, copies from the row above, BEST matches and
// repeats); the frames between them skip the bytes that did not change. A band whose tokens
// would not be smaller than its bytes is stored raw (with prediction: its raw differences).
// Palette movies carry a palette chunk only in frames whose palette changed: the whole palette
// in key frames, the changed range in the others. The sound goes out in blocks of a quarter of
// a second, interleaved with the frames, and the chain ends with an empty block.
//
// Errors: (ERR_MVI, 8) "Cannot create movie file." for a geometry, depth, codec or sound format
// the format cannot hold; (ERR_MVI, 4) for a frame that does not match the movie; (ERR_MVI, 2)
// "Cannot write to movie file." when the movie outgrows the format (65,536 frames, 2 GiB).

#include <cstdint>
#include <string>

#include "formats/FF_HAV.h"
#include "image/ImgBasic.h"
#include "sound/SndBasic.h"

namespace kelvora {

struct QHavWriter {
    int32_t fileId;
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    int32_t codec;
    int32_t keyInterval;
    double frameRate;
    int32_t soundFlags;
    QWaveFmt soundFormat;
    int32_t frames;       // written so far
    int32_t sampleCount;  // sample frames written so far
    int32_t firstSoundBlock;
    int32_t lastSoundBlock;  // offset of the last block written, whose next field is patched
    int64_t filePos;         // the end of the file, where the next piece goes
    int32_t imageBytes;
    int32_t stride;
    int32_t bandRows;
    int32_t pageTable[HAV_PAGES];
    uint8_t page[HAV_PAGE_ENTRIES * HAV_ENTRY_SIZE];  // the index page being filled
    QBGR palette[256];  // the palette of the last frame (palette movies)
    uint8_t* prev;      // what the reader's buffer holds: last pixels or differences
    uint8_t* cur;       // this frame's differences (BEST-P)
    uint8_t* tokens;    // the coded bands of one frame
    int32_t tokensSize;
    int32_t* hashHead;   // BEST match search: newest position per hash
    int32_t* hashChain;  // older positions with the same hash, a ring over the window
    int32_t hashMask;
    uint8_t* sndPending;  // sample frames not yet in a block
    int32_t sndPendingBytes;
    int32_t sndBlockFrames;  // sample frames per block
};

// Creates the file. `sound` is null for a silent movie, else a PCM format of 1 or 2 channels
// at 8 or 16 bits. keyInterval 0 makes frame 1 the only key frame.
void HAVCreate(QHavWriter& w, const std::string& fileName, int32_t width, int32_t height,
               int32_t bytesPP, int32_t codec, int32_t keyInterval, double frameRate,
               const QWaveFmt* sound);
// Appends a frame: an image of the movie's size at 8 x bytes per pixel bits (8, 16 or 24).
void HAVAddFrame(QHavWriter& w, const Qimg& image);
// Appends `frames` sample frames of the movie's sound format.
void HAVAddSound(QHavWriter& w, const uint8_t* samples, int32_t frames);
// Writes the last blocks, the index and the header, closes the file and frees the buffers.
void HAVWriterClose(QHavWriter& w);

}  // namespace kelvora
