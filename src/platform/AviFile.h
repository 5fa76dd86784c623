#pragma once
// AVI files read stream by stream: the AVIFile calls the AVI reader is written against (open a
// file, describe it, take its streams, read a stream's format and samples, find key frames,
// release), over our own RIFF AVI parser. Nothing is decoded here: a video sample is the raw
// chunk a decompressor takes, a sound sample the stored bytes.
//
// Opening reads the headers ("RIFF AVI ": hdrl with avih and one strl per stream holding strh,
// strf, strd, strn and indx; odml/dmlh) and builds a sample index per stream from, in this
// order of preference:
//   - the OpenDML index: an "indx" super index in the stream's strl pointing at "ix##" standard
//     indexes (field indexes are read as standard ones), which covers the "RIFF AVIX" parts;
//   - the "idx1" index, whose offsets may be relative to the movi list or absolute: the first
//     entry decides, as it does for every reader of these files;
//   - a walk over the chunks of every movi list ("LIST rec " groups included) when neither index
//     gives anything. A walk knows nothing of key frames: every frame then counts as a key frame.
// Chunks belong to a stream by their two leading digits ("00dc", "01wb"); "##pc" chunks are
// palette changes, remembered for the frame they precede and applied by AVIStreamReadFormat.
//
// Hostile files: every offset and size read from the file is checked against the file before it
// is used. Index entries whose chunk would lie outside the file are dropped; a read checks the
// chunk's own header before handing out its bytes and fails with AVIERR_FILEREAD when the index
// and the chunk disagree. Offsets are 64-bit, so files above 4 GiB work.
//
// Memory: the file and stream objects are ordinary heap objects with reference counts, not
// tracked blocks; their index lives in ordinary containers. A stream holds a reference on its
// file, so the file stays open while any of its streams is held, as with the Windows calls.
// Reads go through pread and change nothing, so two threads may read the same stream at once.

#include <cstdint>
#include <string>

#include "platform/RiffFile.h"  // MmioFourCC

namespace kelvora {

// Results (0 = success). The values are those of the Windows calls.
constexpr int32_t AVIERR_OK = 0;
constexpr int32_t AVIERR_UNSUPPORTED = static_cast<int32_t>(0x80044065u);
constexpr int32_t AVIERR_BADFORMAT = static_cast<int32_t>(0x80044066u);
constexpr int32_t AVIERR_MEMORY = static_cast<int32_t>(0x80044067u);
constexpr int32_t AVIERR_BADFLAGS = static_cast<int32_t>(0x80044069u);
constexpr int32_t AVIERR_BADPARAM = static_cast<int32_t>(0x8004406Au);
constexpr int32_t AVIERR_BADSIZE = static_cast<int32_t>(0x8004406Bu);
constexpr int32_t AVIERR_BADHANDLE = static_cast<int32_t>(0x8004406Cu);
constexpr int32_t AVIERR_FILEREAD = static_cast<int32_t>(0x8004406Du);
constexpr int32_t AVIERR_FILEOPEN = static_cast<int32_t>(0x8004406Fu);
constexpr int32_t AVIERR_READONLY = static_cast<int32_t>(0x80044072u);
constexpr int32_t AVIERR_NODATA = static_cast<int32_t>(0x80044073u);
constexpr int32_t AVIERR_BUFFERTOOSMALL = static_cast<int32_t>(0x80044074u);

// Stream types.
constexpr uint32_t streamtypeVIDEO = MmioFourCC('v', 'i', 'd', 's');
constexpr uint32_t streamtypeAUDIO = MmioFourCC('a', 'u', 'd', 's');
constexpr uint32_t streamtypeMIDI = MmioFourCC('m', 'i', 'd', 's');
constexpr uint32_t streamtypeTEXT = MmioFourCC('t', 'x', 't', 's');

// Open modes: reading is the only one; a mode that writes or creates gives AVIERR_READONLY.
constexpr uint32_t OF_READ = 0x0000;
constexpr uint32_t OF_WRITE = 0x0001;
constexpr uint32_t OF_READWRITE = 0x0002;
constexpr uint32_t OF_SHARE_DENY_WRITE = 0x0020;
constexpr uint32_t OF_CREATE = 0x1000;

// Flags of the main header (AVIFILEINFO::dwFlags) and of index entries.
constexpr uint32_t AVIF_HASINDEX = 0x00000010;
constexpr uint32_t AVIF_MUSTUSEINDEX = 0x00000020;
constexpr uint32_t AVIF_ISINTERLEAVED = 0x00000100;
constexpr uint32_t AVIF_TRUSTCKTYPE = 0x00000800;
constexpr uint32_t AVIF_WASCAPTUREFILE = 0x00010000;
constexpr uint32_t AVIF_COPYRIGHTED = 0x00020000;
constexpr uint32_t AVIIF_LIST = 0x00000001;
constexpr uint32_t AVIIF_KEYFRAME = 0x00000010;
constexpr uint32_t AVIIF_NO_TIME = 0x00000100;

// AVIFILEINFO::dwCaps.
constexpr uint32_t AVIFILECAPS_CANREAD = 0x0001;
constexpr uint32_t AVIFILECAPS_CANWRITE = 0x0002;
constexpr uint32_t AVIFILECAPS_ALLKEYFRAMES = 0x0010;
constexpr uint32_t AVIFILECAPS_NOCOMPRESSION = 0x0020;

// AVIStreamFindSample: a direction, a kind of sample and what to return.
constexpr int32_t FIND_DIR = 0x000F;
constexpr int32_t FIND_NEXT = 0x0001;        // at or after the position
constexpr int32_t FIND_PREV = 0x0004;        // at or before the position
constexpr int32_t FIND_FROM_START = 0x0008;  // the first such sample of the stream
constexpr int32_t FIND_TYPE = 0x00F0;
constexpr int32_t FIND_KEY = 0x0010;     // a key frame
constexpr int32_t FIND_ANY = 0x0020;     // a sample with data
constexpr int32_t FIND_FORMAT = 0x0040;  // a sample where the format (palette) changes
constexpr int32_t FIND_RET = 0xF000;
constexpr int32_t FIND_POS = 0x0000;     // its position
constexpr int32_t FIND_LENGTH = 0x1000;  // its size in bytes
constexpr int32_t FIND_OFFSET = 0x2000;  // the file offset of its data (-1 above 2 GiB)
constexpr int32_t FIND_SIZE = 0x3000;    // its size in bytes
constexpr int32_t FIND_INDEX = 0x4000;   // its place in the stream's index

// AVIStreamRead: as many samples as are convenient (the rest of the current chunk, or one
// sample when samples are chunks).
constexpr int32_t AVISTREAMREAD_CONVENIENT = -1;

// A 16-byte class identifier; any handler opens a file the same way.
struct CLSID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// A stream's frame rectangle (16-bit in the file, widened here).
struct AVIRECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

struct AVIFILEINFO {
    uint32_t dwMaxBytesPerSec;       // as the main header states it
    uint32_t dwFlags;                // AVIF_ flags of the main header
    uint32_t dwCaps;                 // AVIFILECAPS_
    uint32_t dwStreams;              // streams that can be taken
    uint32_t dwSuggestedBufferSize;  // the largest chunk of any stream
    uint32_t dwWidth;
    uint32_t dwHeight;
    uint32_t dwScale;  // time base: the first video stream's, else the frame period in µs
    uint32_t dwRate;
    uint32_t dwLength;  // in dwScale / dwRate units: the first video stream's frames, else the
                        // headers' total frame count
    uint32_t dwEditCount;
    char szFileType[64];
};

struct AVISTREAMINFO {
    uint32_t fccType;
    uint32_t fccHandler;
    uint32_t dwFlags;
    uint32_t dwCaps;
    uint16_t wPriority;
    uint16_t wLanguage;
    uint32_t dwScale;
    uint32_t dwRate;
    uint32_t dwStart;
    uint32_t dwLength;  // samples the index holds (see AVIStreamLength)
    uint32_t dwInitialFrames;
    uint32_t dwSuggestedBufferSize;  // the largest chunk of the stream
    uint32_t dwQuality;
    uint32_t dwSampleSize;  // 0: one chunk per sample
    AVIRECT rcFrame;
    uint32_t dwEditCount;
    uint32_t dwFormatChangeCount;  // palette changes
    char szName[64];               // the strn text, cut to 63 characters
};

struct QAviFile;
struct QAviStream;
using PAVIFILE = QAviFile*;
using PAVISTREAM = QAviStream*;

// Kept for the shape of the calls: there is nothing to start or stop.
void AVIFileInit();
void AVIFileExit();

// Opens `fileName` for reading and builds its index; `*file` receives the file with one
// reference, or null on failure. AVIERR_FILEOPEN: not a readable regular file. AVIERR_BADFORMAT:
// not an AVI file, or headers that do not hold together. AVIERR_READONLY: a writing mode.
int32_t AVIFileOpen(PAVIFILE* file, const std::string& fileName, uint32_t mode, const CLSID* handler);
// Reference counts: the count left after the call.
uint32_t AVIFileAddRef(PAVIFILE file);
uint32_t AVIFileRelease(PAVIFILE file);
// Copies up to `size` bytes of the file's description into `info`.
int32_t AVIFileInfo(PAVIFILE file, AVIFILEINFO* info, int32_t size);
// The `index`-th stream (from 0) of type `fccType`, or of any type when `fccType` is 0, with one
// reference of its own; AVIERR_NODATA when there is none.
int32_t AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, uint32_t fccType, int32_t index);

uint32_t AVIStreamAddRef(PAVISTREAM stream);
uint32_t AVIStreamRelease(PAVISTREAM stream);
int32_t AVIStreamInfo(PAVISTREAM stream, AVISTREAMINFO* info, int32_t size);
// The stream format (strf) as stored. With `format` null, `*size` receives the format's size.
// Otherwise up to `*size` bytes are copied and `*size` receives the format's whole size. For a
// video stream the colour table has the palette changes before `pos` applied.
int32_t AVIStreamReadFormat(PAVISTREAM stream, int32_t pos, void* format, int32_t* size);
// The first position, and the number of samples from there: chunks for dwSampleSize 0, else
// the stream's bytes divided by dwSampleSize. -1 for a null stream.
int32_t AVIStreamStart(PAVISTREAM stream);
int32_t AVIStreamLength(PAVISTREAM stream);
// The sample that `flags` asks for around `pos` (FIND_PREV when no direction is given, FIND_KEY
// when no kind is), returned as FIND_RET says; -1 when there is none.
int32_t AVIStreamFindSample(PAVISTREAM stream, int32_t pos, int32_t flags);
// Reads `samples` samples from `start` into `buffer` of `bufferBytes` bytes; `bytesRead` and
// `samplesRead` (each may be null) receive what was read. With `buffer` null nothing is read and
// the two counts give the size of what was asked. Fewer samples are read when the stream ends
// or the buffer holds only part of them; AVIERR_BUFFERTOOSMALL when not one sample fits;
// AVIERR_NODATA when `start` is outside the stream; AVIERR_FILEREAD when the file does not hold
// the chunk its index names.
int32_t AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer,
                      int32_t bufferBytes, int32_t* bytesRead, int32_t* samplesRead);

// The helpers the Windows headers build on AVIStreamFindSample.
inline int32_t AVIStreamNearestKeyFrame(PAVISTREAM stream, int32_t pos) {
    return AVIStreamFindSample(stream, pos, FIND_PREV | FIND_KEY);
}
inline int32_t AVIStreamPrevKeyFrame(PAVISTREAM stream, int32_t pos) {
    return AVIStreamFindSample(stream, pos - 1, FIND_PREV | FIND_KEY);
}
inline int32_t AVIStreamNextKeyFrame(PAVISTREAM stream, int32_t pos) {
    return AVIStreamFindSample(stream, pos + 1, FIND_NEXT | FIND_KEY);
}
inline bool AVIStreamIsKeyFrame(PAVISTREAM stream, int32_t pos) {
    return pos >= 0 && AVIStreamNearestKeyFrame(stream, pos) == pos;
}
// The size in bytes of the sample at `pos`.
inline int32_t AVIStreamSampleSize(PAVISTREAM stream, int32_t pos, int32_t* size) {
    return AVIStreamRead(stream, pos, 1, nullptr, 0, size, nullptr);
}

}  // namespace kelvora
