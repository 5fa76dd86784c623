#pragma once
// The GIF reader (versions 87a and 89a): the first picture as a still image, or the whole
// animation composed frame by frame into one 8-bit picture of the logical-screen size.
//
// Open scans the file once for the start of every frame (the offset of its graphic control
// extension, else of its image separator) without decoding anything, and keeps the header data
// and those offsets in a one-file cache keyed by name, size and time stamp, so that opening the
// same unchanged file again costs one header read. The cache is process-wide and guarded by a
// mutex; every handle holds its own copy of the frame starts (in blocks of 256 offsets), so two
// open animations, or two threads, never see each other's table.
//
// Composing: a frame that covers the whole screen, is not interlaced and has no transparent
// colour is decoded straight into the picture; any other frame is decoded into a temporary
// picture (rows put in order when interlaced) and pasted at its position, skipping the
// transparent colour, clipped to the screen. A frame that covers the screen without
// transparency brings its palette along; a frame that leaves part of the picture showing has its
// colours merged into the picture's palette (found among the entries in use, else put into
// unused ones), so the rest of the picture keeps its colours. The disposal of each frame (2:
// fill its rectangle with the background colour; 3: put back what was under it) is applied
// before the next frame. Which entries the picture uses is kept as a count of pixels per index,
// brought up to date over each rectangle that is written, so the work of a frame follows its
// own rectangle, not the screen.
//
// Errors: (ERR_IMG, 2) bad signature, version or screen size; (ERR_IMG, 9) frame data that
// cannot be read; (ERR_IMG, 3) a broken LZW stream; (ERR_MVI, 1) frame number out of range;
// (ERR_MVI, 7) no frame left to compose.

#include <cstdint>
#include <string>

#include "formats/FFBasic.h"
#include "formats/FileFmtDef.h"
#include "image/ImgBasic.h"

namespace kelvora {

constexpr int32_t GIF_FPOS_PER_BLOCK = 256;  // frame starts per 1 KB block
constexpr int32_t GIF_FPOS_BLOCKS = 256;
constexpr int32_t GIF_MAX_FRAMES = GIF_FPOS_PER_BLOCK * GIF_FPOS_BLOCKS;  // 65,536
constexpr int32_t GIF_SCAN_BUFFER = 65536;

// Disposal methods (bits 2 to 4 of the graphic control extension's packed field).
constexpr int32_t GIF_DISPOSE_BACKGROUND = 2;
constexpr int32_t GIF_DISPOSE_PREVIOUS = 3;

// The 8-byte graphic control extension as read.
struct QGifGCE {
    uint8_t introducer;   // 0x21
    uint8_t label;        // 0xF9
    uint8_t blockSize;    // 4
    uint8_t packed;       // bits 2-4 disposal, bit 0 transparent colour given
    uint16_t delay;       // hundredths of a second
    uint8_t transparent;  // transparent colour index
    uint8_t terminator;
};

// The 10-byte image descriptor as read.
struct QGifImgDesc {
    uint8_t separator;  // 0x2C
    uint16_t left;
    uint16_t top;
    uint16_t width;
    uint16_t height;
    uint8_t packed;  // bit 7 local colour table, bit 6 interlaced, bits 0-2 table size
};

// The reader handle. Plain data: the movie layer keeps it in a zero-filled tracked block.
struct QGifHandle {
    int32_t width;  // logical screen
    int32_t height;
    int32_t bytesPP;  // 1
    int32_t bitsPP;   // 8
    int32_t frames;
    int32_t curFrame;  // frames composed so far; 0 before the first
    double frameRate;  // frames per second; 0 when the file gives no delays
    int64_t fileSize;
    int32_t bgIndex;   // background colour index, -1 without a global colour table
    int32_t prevLeft;  // the previous frame's rectangle, clipped to the screen
    int32_t prevTop;
    int32_t prevWidth;
    int32_t prevHeight;
    int32_t prevDisposal;
    uint8_t* prevImg;    // what lay under the previous frame (disposal 3), tracked
    QBGR prevPal[256];   // the palette of prevImg's indices
    int32_t newPalette;  // the last load changed the picture's palette (0 or -1)
    int32_t palRestore;  // the last frame brought a local colour table
    int32_t sequential;  // a frame after the first depends on the picture before it
    // Pixels of the composed picture per palette index: what frame 1 set up and every write
    // since (a picture changed by someone else only makes the merged colours less apt).
    int64_t useCount[256];
    QBGR globalPal[256];
    int32_t fileId;
    // Frame starts: block b holds the offsets of frames 256 b to 256 b + 255 (tracked).
    int32_t* fposBlk[GIF_FPOS_BLOCKS];
    int32_t fposBlocks;
    // The file's blocks while an open scans them or a load reads a frame (a file-backed byte
    // reader, its buffer tracked; empty otherwise).
    QByteReader src;
};

// Opens a GIF; firstOnly finds just the first frame (no scan of the whole file, no cache).
void GIFOpen(QGifHandle& h, const std::string& fileName, bool firstOnly);
// Composes frame n (0 = the next one) into the image; mode bit 0 = continuous playback.
void GIFLoad(QGifHandle& h, Qimg& image, int32_t frame, int32_t mode);
// Composes the next frame into the image.
void GIFLoadNext(QGifHandle& h, Qimg& image);
// Releases the handle's buffers and closes the file; the open cache stays.
void GIFClose(QGifHandle& h);
// Fills the file information record; fullScan counts every frame (through the cache).
void GIFInfo(const std::string& fileName, QffInfo& info, bool fullScan);
// Marks the open cache invalid (unit shut-down; tests).
void GIFDone();

// Reads the next frame header from the reader's position: the extensions before it (the graphic
// control extension kept, others passed over) and the image descriptor. For the first frame
// (index 0) bytes before the separator are passed over; later frames must follow at once.
bool GIFGetImgHdr_(QGifHandle& h, QGifGCE& gce, QGifImgDesc& desc, int32_t frameIndex,
                   int64_t& frameStart);
// Records the start of frame `index`, allocating its block of the table when it is the first.
void GIFChk4ImgFPos_(QGifHandle& h, int32_t index, int64_t start);
void GIFFreeFPosBlk_(QGifHandle& h);
// Rectangles of an 8-bit picture (clipped to it); buffers hold the clipped rectangle's rows.
void FillWin_(Qimg& image, int32_t x, int32_t y, int32_t w, int32_t hgt, uint8_t index);
void ExtractWin_(const Qimg& image, int32_t x, int32_t y, int32_t w, int32_t hgt, uint8_t* buffer);
void InsertWin_(Qimg& image, int32_t x, int32_t y, int32_t w, int32_t hgt, const uint8_t* buffer);
// Puts the rows of an interlaced frame (passes from rows 0, 4, 2, 1 by 8, 8, 4, 2) in order.
void GIFunInterlace_(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height);

}  // namespace kelvora
