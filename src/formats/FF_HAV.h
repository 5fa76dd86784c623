#pragma once
// The HAV movie reader: palette or true-colour frames in one of three codecs (BEST, FAST,
// BEST-P, decoded by HavDecode), optional PCM sound in a chain of blocks, and index pages that
// give every frame's record for random access through key frames.
//
// File layout (integers 32-bit little-endian): a 64-byte header, a table of 256 index-page
// offsets, index pages of 256 entries (record offset, record size, flags; bit 0 = the record
// starts with a palette chunk), frame records (with streamed bands right after them) and sound
// blocks (16-byte header: -, -, next block offset, sample frames; then the samples). The sound
// blocks may lie in the file in any order: each names the next one wherever it is.
//
// Errors: (ERR_MVI, 1) "Invalid movie format." for a damaged header, page table, index or sound
// chain; (ERR_MVI, 5) for another version; (ERR_MVI, 3) for a frame record that cannot be
// decoded; (ERR_HAV, 1) when a next frame is asked for and none is left.

#include <cstdint>
#include <string>

#include "formats/FileFmtDef.h"
#include "formats/HavDecode.h"
#include "image/ImgBasic.h"
#include "sound/SndBasic.h"

namespace kelvora {

constexpr uint32_t HAV_MAGIC = 0x1A564148;  // 'H', 'A', 'V', 0x1A
constexpr int32_t HAV_VERSION = 97;
constexpr int32_t HAV_HEADER_SIZE = 64;
constexpr int32_t HAV_PAGES = 256;
constexpr int32_t HAV_PAGE_ENTRIES = 256;
constexpr int32_t HAV_ENTRY_SIZE = 12;
constexpr int32_t HAV_MAX_FRAMES = HAV_PAGES * HAV_PAGE_ENTRIES;  // 65,536
constexpr int32_t HAV_SOUND_BLOCK_HEADER = 16;
constexpr uint32_t HAV_FLAG_PALETTE = 1;  // index entry: the record's first chunk is a palette
// Sound flags of the header: 0 = no sound.
constexpr int32_t HAV_SOUND_16BIT = 3;  // bits 0 and 1 both set
constexpr int32_t HAV_SOUND_STEREO = 4;

// One index entry.
struct QHavIndexEntry {
    int32_t offset;  // of the frame record
    int32_t size;    // bytes of the record (streamed bands follow it)
    uint32_t flags;
};

// The reader handle.
struct QHavHandle {
    int32_t width;
    int32_t height;
    int32_t bytesPP;
    int32_t codec;
    int32_t frames;
    int32_t keyInterval;
    double frameRate;
    int32_t soundFlags;
    int32_t sampleRate;
    int32_t firstSoundBlock;
    int32_t sampleCount;
    int32_t pageTable[HAV_PAGES];
    QHavIndexEntry page[HAV_PAGE_ENTRIES];  // the loaded index page
    uint8_t pageNo;
    int32_t fileId;
    int64_t fileSize;
    int32_t imageBytes;
    int32_t bitsPP;
    int32_t curFrame;     // last frame decoded into the caller's image; 0 before the first
    int32_t predicted;    // codec bit 1
    uint8_t* predictImg;  // prediction buffer (tracked, allocated on first use)
    uint8_t* readBuf;     // the frame records' read buffer, image bytes + HAV_READ_SLACK (tracked)
    QHavRebuilt rebuilt;  // BEST-P: what the caller's image was last rebuilt with
    int32_t rebuiltNo;    // the frame it holds; 0: none
    int32_t newPalette;   // the last load changed the image palette
    int32_t writeMode;    // always 0: the reader never writes
    // Sound state.
    uint8_t* audioBuf;     // the samples of one block (tracked)
    int32_t audioBufSize;  // bytes in audioBuf
    int32_t audioPos;      // read position in audioBuf
    int32_t audioNext;     // offset of the block after the buffered one; 0 = none
    int32_t audioThrough;  // sample frames through the end of the buffered block
    int32_t audioBlocks;   // blocks of the chain walked from the first through the buffered one
    int32_t sndNextPos;    // the next expected sample position
    QWaveFmt soundFormat;
};

void HAVOpen(QHavHandle& h, const std::string& fileName);
// Direction -1: the last key frame before `frame`; 1: the first at or after it, frame 1 when
// that lies behind the current frame; otherwise the first at or after it (the last one when
// there is none after it).
int32_t HAVNearestKeyFrame(QHavHandle& h, int32_t frame, int32_t direction);
// Loads frame n (0 = the next one) into the image; mode bit 0 = continuous playback.
void HAVImgLoad(QHavHandle& h, Qimg& image, int32_t frame, int32_t mode);
// Applies to `palette` the palette in force at frame `last` as far as the frames from `first`
// on set it; true when it found a palette chunk.
bool HAVGetPal(QHavHandle& h, QBGR* palette, int32_t first, int32_t last);
void HAVUpdateVP_(QHavHandle& h, int32_t frame);
void HAVImgLoadNext(QHavHandle& h, Qimg& image);
void HAVSndSeek(QHavHandle& h, int32_t position);
void HAVSndLoad(QHavHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count);
void HAVClose(QHavHandle& h);
void HAVInfo(const std::string& fileName, QffInfo& info);

}  // namespace kelvora
