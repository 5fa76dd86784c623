#pragma once
// RIFF files read chunk by chunk: the multimedia file calls the WAV and AVI readers are written
// against (open, descend into a chunk with or without a search, ascend out of it, read, seek,
// close), over a buffered POSIX file.
//
// A chunk is an identifier, a 32-bit little-endian size and that many data bytes, followed by
// a pad byte when the size is odd. "RIFF" and "LIST" chunks start their data with a form type
// and hold further chunks after it. Descending reads a chunk header at the current position
// and leaves the file at the chunk's data (after the form type of a RIFF or LIST chunk);
// ascending moves past the chunk's data and its pad byte. A search skips whole chunks, pad
// bytes included, and never leaves the parent chunk it is given.
//
// The sizes a file declares are reported as they stand; a reader checks them against the file
// (a chunk may claim more bytes than the file holds). Reads stop at the end of the file.

#include <cstdint>
#include <string>

namespace kelvora {

// The four characters of a chunk identifier, first character in the lowest byte.
constexpr uint32_t MmioFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}
// The little-endian fields of RIFF structures (chunk headers, wave formats, bitmap headers).
constexpr uint16_t RiffU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
constexpr uint32_t RiffU32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// The code with its ASCII letters in upper case.
constexpr uint32_t FourCCUpper(uint32_t code) {
    uint32_t out = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t c = (code >> (8 * i)) & 0xFF;
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        out |= c << (8 * i);
    }
    return out;
}
constexpr uint32_t FOURCC_RIFF = MmioFourCC('R', 'I', 'F', 'F');
constexpr uint32_t FOURCC_LIST = MmioFourCC('L', 'I', 'S', 'T');

// Search flags of mmioDescend.
constexpr uint32_t MMIO_FINDCHUNK = 0x10;  // the chunk whose identifier is preset in the record
constexpr uint32_t MMIO_FINDRIFF = 0x20;   // a "RIFF" chunk with the preset form type
constexpr uint32_t MMIO_FINDLIST = 0x40;   // a "LIST" chunk with the preset form type
// Access of mmioOpenA: reading is the only one.
constexpr uint32_t MMIO_READ = 0;

// Results of the calls (0 = success).
constexpr int32_t MMIOERR_CANNOTOPEN = 259;
constexpr int32_t MMIOERR_CANNOTCLOSE = 260;
constexpr int32_t MMIOERR_CANNOTREAD = 261;
constexpr int32_t MMIOERR_CANNOTSEEK = 263;
constexpr int32_t MMIOERR_CHUNKNOTFOUND = 265;

// Origins of mmioSeek.
constexpr int32_t MMIO_SEEK_SET = 0;
constexpr int32_t MMIO_SEEK_CUR = 1;
constexpr int32_t MMIO_SEEK_END = 2;

// The chunk-information record.
struct MMCKINFO {
    uint32_t ckid;         // identifier
    uint32_t cksize;       // data bytes as declared (the form type of RIFF and LIST included)
    uint32_t fccType;      // form type of a RIFF or LIST chunk
    int64_t dwDataOffset;  // file offset of the chunk's data
    uint32_t dwFlags;
};

struct QMmioFile;
using HMMIO = QMmioFile*;

// Opens a regular file for reading; null when it cannot be opened.
HMMIO mmioOpenA(const std::string& fileName, void* info, uint32_t flags);
// Reads the header of the chunk at the current position into `ck`. With a search flag, chunks
// are skipped until one matches what `ck` names; with a parent, the search ends at the parent's
// end. MMIOERR_CHUNKNOTFOUND when no (matching) chunk header is there.
int32_t mmioDescend(HMMIO file, MMCKINFO& ck, const MMCKINFO* parent, uint32_t flags);
// Moves past the data of `ck` and its pad byte.
int32_t mmioAscend(HMMIO file, const MMCKINFO& ck, uint32_t flags);
// Reads up to `count` bytes; the number read, 0 at the end of the file, -1 on failure.
int32_t mmioRead(HMMIO file, void* buffer, int32_t count);
// Moves the position; the new position, or -1 when it would fall before the start.
int64_t mmioSeek(HMMIO file, int64_t offset, int32_t origin);
// Closes the file and frees the handle; 0 or MMIOERR_CANNOTCLOSE.
int32_t mmioClose(HMMIO file, uint32_t flags);

}  // namespace kelvora
