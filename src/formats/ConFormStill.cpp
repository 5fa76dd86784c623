#include "formats/ConFormStill.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "formats/FF_BAY.h"
#include "formats/FF_FLC.h"
#include "formats/FF_GIF.h"
#include "formats/FF_HAV.h"
#include "formats/FF_JPG.h"
#include "formats/FF_PNG.h"
#include "formats/FF_PNM.h"
#include "formats/FF_RAS.h"
#include "formats/FF_SGI.h"
#include "formats/FF_TIF.h"
#include "formats/FF_XPM.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

// --- Dispatch ---------------------------------------------------------------------------------

void ImgLoad(const std::string& fileName, Qimg& image, int32_t type) {
    if (type == BAD_HANDLE) type = FFTypeByExt(fileName, FF_TABLE_LOAD);
    switch (type) {
        case FT_TGA: TGALoad_(fileName, image); break;
        case FT_PCX: PCXLoad_(fileName, image); break;
        case FT_BMP: DIBLoad_(fileName, image); break;
        case FT_GIF: {
            // The first picture only: no scan of the whole file. The frame closes the file when
            // the picture cannot be composed.
            QGifHandle gif{};
            Monitored([&] {
                GIFOpen(gif, fileName, true);
                GIFLoadNext(gif, image);
                GIFClose(gif);
            });
            break;
        }
        case FT_JPEG: JPGLoad(fileName, image); break;
        case FT_PNG: PNGLoad(fileName, image); break;
        case FT_TIFF: TIFLoad(fileName, image); break;
        case FT_SGI: SGILoad(fileName, image); break;
        case FT_RAS: RASLoad(fileName, image); break;
        case FT_PNM: PNMLoad(fileName, image); break;
        case FT_BAY: BayLoad(fileName, image); break;
        case FT_XPM: XPMLoad(fileName, image); break;
        default: ErrRaiseCode(ERR_IMG, 2, __LINE__); break;
    }
}

void FFInfo(const std::string& fileName, int32_t type, QffInfo& info) {
    Monitored([&] {
        FFClearInfo(info);
        if (type == BAD_HANDLE) type = FFTypeByExt(fileName, FF_TABLE_LOAD);
        switch (type) {
            case FT_TGA: TGAInfo(fileName, info); break;
            case FT_PCX: PCXInfo(fileName, info); break;
            case FT_BMP: DIBInfo(fileName, info); break;
            case FT_GIF: GIFInfo(fileName, info, true); break;
            case FT_FLIC: FLCInfo(fileName, info); break;
            case FT_HAV: HAVInfo(fileName, info); break;
            case FT_JPEG: JPGInfo(fileName, info); break;
            case FT_PNG: PNGInfo(fileName, info); break;
            case FT_TIFF: TIFInfo(fileName, info); break;
            case FT_SGI: SGIInfo(fileName, info); break;
            case FT_RAS: RASInfo(fileName, info); break;
            case FT_PNM: PNMInfo(fileName, info); break;
            case FT_BAY: BayInfo(fileName, info); break;
            case FT_XPM: XPMInfo(fileName, info); break;
            default: ErrRaiseCode(ERR_FORMAT, 2, __LINE__); break;
        }
        info.type = type;
        QffDesc row;
        for (int32_t i = 0; FFGetDesc(row, i, FF_TABLE_LOAD); ++i) {
            if (row.type == type) {
                info.formatName = row.description;
                break;
            }
        }
        if (info.videoCompression.empty()) info.videoCompression = "Uncompressed, full frames";
        if (info.soundCompression.empty()) info.soundCompression = "PCM, uncompressed";
    });
}

// --- Shared reader steps ----------------------------------------------------------------------

void ReaderSetGeometry(QStillReader& reader, int32_t width, int32_t height, int32_t bits) {
    reader.width = width;
    reader.height = height;
    reader.bitsPP = bits;
    reader.bytesPP = (bits + 7) / 8;
    int64_t row;
    if (bits == 1) row = (int64_t{width} + 7) / 8;
    else if (bits == 4) row = (int64_t{width} + 1) / 2;
    else row = int64_t{width} * reader.bytesPP;
    // Headers are checked against sane limits by the readers; clamp so that nothing here wraps.
    const int64_t all = row * height;
    reader.rowBytes = static_cast<int32_t>(row > INT32_MAX ? INT32_MAX : row < 0 ? 0 : row);
    reader.imageBytes = static_cast<int32_t>(all > INT32_MAX ? INT32_MAX : all < 0 ? 0 : all);
}

void Dsk2Mem_(QStillReader& reader, uint8_t* destination, int32_t padding) {
    Monitored([&] {
        const int64_t stride = reader.rowBytes;
        for (int32_t i = 0; i < reader.height; ++i) {
            FSeek(reader.fileId, int64_t{reader.dataOffset} + i * (stride + padding));
            const int64_t row = reader.bottomUp ? reader.height - 1 - i : i;
            FRead(reader.fileId, destination + row * stride, reader.rowBytes);
        }
    });
}

void GetCmpsData_(QStillReader& reader) {
    Monitored([&] {
        const int64_t bytes = int64_t{reader.fileSize} - reader.dataOffset;
        // Pixel data that would start at or past the end of the file is a truncated file.
        if (reader.dataOffset < 0 || bytes <= 0) ErrRaiseCode(ERR_FILE, 3, __LINE__);
        _memalloc_(reader.cmpsData, bytes, __LINE__, MEM_KIND_C, "ConForm.GetCmpsData_.imgf.CmpsData");
        reader.cmpsBytes = static_cast<int32_t>(bytes);
        FSeek(reader.fileId, reader.dataOffset);
        FRead(reader.fileId, reader.cmpsData, reader.cmpsBytes);
    });
}

// --- Helpers of the readers -------------------------------------------------------------------

namespace {

constexpr int32_t DIB_FILE_HEADER_ = 14;
constexpr int32_t DIB_CORE_HEADER_ = 12;
constexpr int32_t DIB_INFO_HEADER_ = 40;
constexpr int32_t DIB_MAX_HEADER_ = 124;  // V5; longer headers start with the same fields

// Offsets and sizes are kept in 32 bits; a larger file is read as its first 2 GiB.
int32_t FileSize32_(int32_t fileId) {
    const int64_t size = FSize(fileId);
    return static_cast<int32_t>(size < 0 ? 0 : size > INT32_MAX ? INT32_MAX : size);
}

// A header whose picture is empty or beyond the sane limits is refused before anything is
// allocated.
void CheckGeometry_(int64_t width, int64_t height, int32_t bits) {
    if (!FFSaneGeometry(width, height, bits)) ErrRaiseCode(ERR_IMG, 4, __LINE__);
}

// Truncated pixel data is found before the picture is allocated: the file must hold every stored
// row (the last one without its padding).
void CheckRowsInFile_(const QStillReader& reader, int32_t padding) {
    const int64_t end = int64_t{reader.dataOffset} +
                        (int64_t{reader.height} - 1) * (int64_t{reader.rowBytes} + padding) + reader.rowBytes;
    if (reader.dataOffset < 0 || end > reader.fileSize) ErrRaiseCode(ERR_FILE, 3, __LINE__);
}

// Compressed data must start inside the file (GetCmpsData_ would find it too, after allocating).
void CheckCmpsInFile_(const QStillReader& reader) {
    if (reader.dataOffset < 0 || reader.dataOffset >= reader.fileSize) ErrRaiseCode(ERR_FILE, 3, __LINE__);
}

// --- BMP

// The depth of the loaded picture: palette indices for 1, 4 and 8 bits, 24 for bit fields that
// are converted pixel by pixel, else the stored depth (15 for 5-5-5, 16 for 5-6-5).
int32_t DIBDepth_(const QStillReader& reader) {
    if (reader.bitsPP <= 8) return 8;
    return reader.bitFields ? 24 : reader.bitsPP;
}

// One colour channel out of a bit-field pixel, scaled to 0..255.
uint8_t MaskChannel_(uint32_t value, uint32_t mask) {
    if (mask == 0) return 0;
    const int shift = __builtin_ctz(mask);
    const uint64_t max = mask >> shift;
    return static_cast<uint8_t>((((value & mask) >> shift) * uint64_t{255} + max / 2) / max);
}

// Expands packed 1-bit or 4-bit rows (stored at the reader's row bytes) into one index per
// byte, most significant bits first. Works backwards in place: the byte read never lies behind
// the byte written.
void DIBExpand_(const QStillReader& reader, uint8_t* pixels) {
    const int32_t bits = reader.bitsPP;
    const int32_t perByte = 8 / bits;
    const int32_t mask = (1 << bits) - 1;
    for (int64_t y = int64_t{reader.height} - 1; y >= 0; --y) {
        const uint8_t* packed = pixels + y * reader.rowBytes;
        uint8_t* out = pixels + y * reader.width;
        for (int64_t x = int64_t{reader.width} - 1; x >= 0; --x) {
            const int shift = 8 - bits * static_cast<int>(x % perByte + 1);
            out[x] = static_cast<uint8_t>((packed[x / perByte] >> shift) & mask);
        }
    }
}

// Converts stored 16-bit or 32-bit bit-field pixels into 24-bit blue, green, red in place:
// widening runs from the end, narrowing from the start, so no pixel is overwritten unread.
void DIBConvertMasks_(const QStillReader& reader, uint8_t* pixels) {
    const int64_t count = int64_t{reader.width} * reader.height;
    const int32_t step = reader.bytesPP;
    auto convert = [&](int64_t i) {
        const uint8_t* p = pixels + i * step;
        uint32_t v = p[0] | (uint32_t{p[1]} << 8);
        if (step == 4) v |= (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
        const uint8_t bgr[3] = {MaskChannel_(v, reader.masks[2]), MaskChannel_(v, reader.masks[1]),
                                MaskChannel_(v, reader.masks[0])};
        std::memcpy(pixels + i * 3, bgr, 3);
    };
    if (step < 3) {
        for (int64_t i = count - 1; i >= 0; --i) convert(i);
    } else {
        for (int64_t i = 0; i < count; ++i) convert(i);
    }
}

// Run-length decoding of 8-bit (or, with `nibbles`, 4-bit) rows in stored order into one index
// per byte. x and y follow the packets: runs advance x (running on into the next row), end of
// line and delta move the row. False when a packet is cut off by the end of the data.
bool DIBunRLE_(const uint8_t* data, int32_t bytes, uint8_t* pixels, int32_t width, int32_t height,
               bool nibbles) {
    QByteReader src = ByteReader(data, bytes);
    const int64_t total = int64_t{width} * height;
    int64_t x = 0;
    int64_t y = 0;
    // Writes `count` pixels from the current position, cut at the end of the picture.
    auto put = [&](int32_t count, auto pixelAt) {
        const int64_t pos = y * width + x;
        const int64_t n = std::min<int64_t>(count, total - pos);
        for (int64_t i = 0; i < n; ++i) pixels[pos + i] = pixelAt(static_cast<int32_t>(i));
        x += count;
    };
    while (BrLeft(src) > 0 && y * width + x < total) {
        const int32_t count = BrU8(src);
        const uint8_t value = BrU8(src);
        if (src.overrun) return false;
        if (count > 0 && !nibbles) {  // a run; short ones (most of them) without a call
            const int64_t pos = y * width + x;
            const int64_t n = std::min<int64_t>(count, total - pos);
            if (n <= 16) {
                for (int64_t i = 0; i < n; ++i) pixels[pos + i] = value;
            } else {
                std::memset(pixels + pos, value, static_cast<size_t>(n));
            }
            x += count;
        } else if (count > 0) {  // 4-bit runs alternate the two nibbles of the value
            put(count, [&](int32_t i) -> uint8_t {
                return static_cast<uint8_t>((i & 1) ? value & 15 : value >> 4);
            });
        } else if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of picture
            break;
        } else if (value == 2) {  // delta
            const int32_t dx = BrU8(src);
            const int32_t dy = BrU8(src);
            if (src.overrun) return false;
            x += dx;
            y += dy;
        } else {  // literal pixels, their bytes padded to 16 bits
            const int32_t literalBytes = nibbles ? (value + 1) / 2 : value;
            if (BrLeft(src) < literalBytes) return false;
            const uint8_t* literal = src.data + src.pos;
            BrSkip(src, literalBytes);
            if (nibbles) {
                put(value, [&](int32_t i) -> uint8_t {
                    return static_cast<uint8_t>((i & 1) ? literal[i / 2] & 15 : literal[i / 2] >> 4);
                });
            } else {
                const int64_t pos = y * width + x;
                std::memcpy(pixels + pos, literal, static_cast<size_t>(std::min<int64_t>(value, total - pos)));
                x += value;
            }
            if ((literalBytes & 1) && BrLeft(src) > 0) BrSkip(src, 1);
        }
    }
    return true;
}

// The colour table of a palette picture: 3-byte entries after a core header, else 4-byte
// entries (blue, green, red, unused). Entries the file does not hold are black.
void DIBReadPalette_(const QStillReader& reader, Qimg& image) {
    std::memset(image.palette, 0, sizeof image.palette);
    uint8_t table[1024] = {};
    FSeek(reader.fileId, reader.paletteOffset);
    FRead(reader.fileId, table, reader.paletteBytes);
    const int32_t entryBytes = reader.coreHeader ? 3 : 4;
    for (int32_t i = 0; i < 256 && (i + 1) * entryBytes <= int32_t{sizeof table}; ++i)
        image.palette[i] = QBGR{table[i * entryBytes], table[i * entryBytes + 1], table[i * entryBytes + 2]};
}

// --- TGA

// n copies of an element of E bytes.
template <int E>
void FillElements_(uint8_t* dst, const uint8_t* value, int64_t n) {
    for (int64_t k = 0; k < n; ++k) std::memcpy(dst + k * E, value, E);
}

// Run-length decoding of `total` bytes of pixels of `element` bytes each: a packet byte p of
// 128 or more repeats the next element p - 127 times, else p + 1 elements follow. Packets are
// cut at the end of the picture; false when one is cut off by the end of the data.
bool TGAunRLE_(const uint8_t* data, int32_t bytes, uint8_t* pixels, int64_t total, int32_t element) {
    QByteReader src = ByteReader(data, bytes);
    int64_t pos = 0;
    while (pos < total && BrLeft(src) > 0) {
        const int32_t packet = BrU8(src);
        const int64_t room = (total - pos) / element;
        if (packet >= 128) {
            const uint8_t* value = src.data + src.pos;
            BrSkip(src, element);
            if (src.overrun) return false;
            const int64_t n = std::min<int64_t>(packet - 127, room);
            switch (element) {
                case 1: std::memset(pixels + pos, value[0], static_cast<size_t>(n)); break;
                case 2: FillElements_<2>(pixels + pos, value, n); break;
                case 3: FillElements_<3>(pixels + pos, value, n); break;
                default: FillElements_<4>(pixels + pos, value, n); break;
            }
            pos += n * element;
        } else {
            const int64_t n = std::min<int64_t>(packet + 1, room) * element;
            if (BrLeft(src) < n) return false;
            BrBytes(src, pixels + pos, n);
            pos += n;
        }
    }
    return true;
}

// The colour map from its start index: 3 and 4-byte entries are blue, green, red (, alpha);
// 2-byte entries are 5-5-5 words. Indices from 256 on are dropped.
void TGAReadPalette_(const QStillReader& reader, Qimg& image) {
    const int32_t entry = reader.cmapEntryBytes;
    if (reader.paletteBytes <= 0 || entry < 2 || entry > 4) return;
    uint8_t map[1024];
    const int32_t bytes = std::min(reader.paletteBytes, int32_t{sizeof map});
    FSeek(reader.fileId, reader.paletteOffset);
    FRead(reader.fileId, map, bytes);
    for (int32_t k = 0; (k + 1) * entry <= bytes && reader.cmapStart + k < 256; ++k) {
        const uint8_t* e = map + k * entry;
        QBGR& c = image.palette[reader.cmapStart + k];
        if (entry == 2) {
            const uint32_t w = e[0] | (uint32_t{e[1]} << 8);
            c = QBGR{static_cast<uint8_t>((w & 31) << 3), static_cast<uint8_t>(((w >> 5) & 31) << 3),
                     static_cast<uint8_t>(((w >> 10) & 31) << 3)};
        } else {
            c = QBGR{e[0], e[1], e[2]};
        }
    }
}

// --- Information routines

// The fields every still reader's information routine fills from its open step.
void FillStillInfo_(const QStillReader& reader, QffInfo& info) {
    info.fileSize = static_cast<double>(FSize(reader.fileId));
    info.width = reader.width;
    info.height = reader.height;
    info.bytesPP = reader.bytesPP;
    info.bitsPP = reader.bitsPP;
    info.frames = 1;
    if (reader.compressed) info.videoCompression = "Run Length Encoding (RLE)";
    // 32-bit booleans: -1 for true
    info.hasVideo = reader.width > 0 && reader.height > 0 ? -1 : 0;
    info.videoSupported = reader.supported ? -1 : 0;
}

}  // namespace

// --- BMP/DIB ----------------------------------------------------------------------------------

void DIBOpen_(QStillReader& reader, const std::string& fileName) {
    Monitored([&] {
        reader = QStillReader{};
        FOpen(reader.fileId, fileName, FM_READ);
        reader.fileSize = FileSize32_(reader.fileId);
        // File header, the size of the information header, the longest header we parse and the
        // bit-field masks that may follow a 40-byte header.
        uint8_t raw[DIB_FILE_HEADER_ + DIB_MAX_HEADER_ + 16] = {};
        int32_t got = 0;
        FReadPart(reader.fileId, raw, sizeof raw, got);
        if (got < 2 || raw[0] != 'B' || raw[1] != 'M') ErrRaiseCode(ERR_IMG, 2, __LINE__);
        QByteReader file = ByteReader(raw, got);
        BrSkip(file, 10);
        const uint32_t dataOffset = BrU32LE(file);
        const uint32_t headerSize = BrU32LE(file);
        if (file.overrun) ErrRaiseCode(ERR_FILE, 3, __LINE__);
        if (headerSize != DIB_CORE_HEADER_ &&
            (headerSize < 16 || headerSize > uint32_t(reader.fileSize - DIB_FILE_HEADER_)))
            ErrRaiseCode(ERR_IMG, 4, __LINE__);
        const int32_t parsed = std::min<int32_t>(static_cast<int32_t>(headerSize), DIB_MAX_HEADER_);
        if (got < DIB_FILE_HEADER_ + parsed) ErrRaiseCode(ERR_FILE, 3, __LINE__);
        // Fields beyond a short header (OS/2 2.x may stop after 16 bytes) read as zero.
        uint8_t header[DIB_MAX_HEADER_] = {};
        std::memcpy(header, raw + DIB_FILE_HEADER_, static_cast<size_t>(parsed));
        QByteReader h = ByteReader(header, sizeof header);
        BrSkip(h, 4);
        int64_t width = 0;
        int64_t height = 0;
        uint32_t bits = 0;
        uint32_t compression = 0;
        if (headerSize == DIB_CORE_HEADER_) {
            reader.coreHeader = true;
            width = BrU16LE(h);
            height = BrU16LE(h);
            BrSkip(h, 2);
            bits = BrU16LE(h);
        } else {
            width = BrI32LE(h);
            height = BrI32LE(h);
            BrSkip(h, 2);
            bits = BrU16LE(h);
            compression = BrU32LE(h);
        }
        // 8-bit and 4-bit run-length coding; bit fields (3, or 6 with an alpha mask) for 16 and
        // 32 bits, their masks held by the header from V2 on or following a 40-byte one; any
        // other coding (embedded JPEG or PNG, OS/2 Huffman) is not plain rows.
        const bool fields = (compression == 3 || compression == 6) && (bits == 16 || bits == 32) &&
                            (headerSize == DIB_INFO_HEADER_ || headerSize >= 52);
        reader.compressed = (compression == 1 && bits == 8) || (compression == 2 && bits == 4);
        const bool plain = compression == 0 && (bits == 1 || bits == 4 || bits == 8 || bits == 16 ||
                                                bits == 24 || bits == 32);
        reader.supported = plain || reader.compressed || fields;
        int64_t paletteOffset = DIB_FILE_HEADER_ + int64_t{headerSize};
        uint32_t masks[3] = {};  // red, green, blue
        if (fields) {
            const uint8_t* at = header + DIB_INFO_HEADER_;
            if (headerSize == DIB_INFO_HEADER_) {  // the masks come before any colour table
                const int32_t maskBytes = compression == 6 ? 16 : 12;
                if (got < DIB_FILE_HEADER_ + DIB_INFO_HEADER_ + maskBytes)
                    ErrRaiseCode(ERR_FILE, 3, __LINE__);
                at = raw + DIB_FILE_HEADER_ + DIB_INFO_HEADER_;
                paletteOffset += maskBytes;
            }
            QByteReader m = ByteReader(at, 12);
            for (uint32_t& mask : masks) mask = BrU32LE(m);
        }
        // A negative height marks top-down rows.
        reader.bottomUp = height > 0;
        height = height < 0 ? -height : height;
        // The picture is at most 32 bits per pixel (bit fields are read at the stored depth).
        CheckGeometry_(width, height, reader.supported ? std::max<int32_t>(bits, 8) : 8);
        ReaderSetGeometry(reader, static_cast<int32_t>(width), static_cast<int32_t>(height),
                          static_cast<int32_t>(bits));
        if (bits == 16) reader.bitsPP = 15;  // plain 16-bit rows hold 5-5-5 pixels
        if (fields) {
            const bool m555 = masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F;
            const bool m565 = masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F;
            const bool m888 = masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF;
            if (bits == 16 && m565) reader.bitsPP = 16;
            reader.bitFields = bits == 16 ? !(m555 || m565) : !m888;
            if (reader.bitFields) {
                reader.bitsPP = static_cast<int32_t>(bits);
                std::memcpy(reader.masks, masks, sizeof masks);
            }
        }
        // Pixel data that starts inside the headers is no picture.
        if (dataOffset < paletteOffset || dataOffset > uint32_t{INT32_MAX})
            ErrRaiseCode(ERR_IMG, 4, __LINE__);
        reader.paletteOffset = static_cast<int32_t>(paletteOffset);
        reader.paletteBytes = static_cast<int32_t>(
            std::min<int64_t>(dataOffset - paletteOffset, reader.coreHeader ? 768 : 1024));
        reader.dataOffset = static_cast<int32_t>(dataOffset);
    });
}

void DIBLoad_(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QStillReader reader;
        DIBOpen_(reader, fileName);
        if (!reader.supported) ErrRaiseCode(ERR_IMG, 1, __LINE__);
        const int32_t depth = DIBDepth_(reader);
        const int32_t padding = (4 - reader.rowBytes % 4) % 4;
        if (reader.compressed) CheckCmpsInFile_(reader);
        else CheckRowsInFile_(reader, padding);
        // 32-bit bit-field rows are narrowed to 24 bits in place, so their block starts at 32.
        const int32_t allocBits = reader.bitFields && reader.bytesPP == 4 ? 32 : depth;
        _imgalloc_(image, reader.width, reader.height, "ConForm.DIBLoad_.ih", __LINE__, allocBits);
        if (depth == 8) DIBReadPalette_(reader, image);
        if (reader.compressed) {
            GetCmpsData_(reader);
            FillBytes(0, image.size, image.data);  // pixels the runs skip stay index 0
            if (!DIBunRLE_(reader.cmpsData, reader.cmpsBytes, image.data, reader.width, reader.height,
                           reader.bitsPP == 4))
                ErrRaiseCode(ERR_IMG, 3, __LINE__);
            MemFree(reader.cmpsData);
            if (reader.bottomUp) ImgFlipV(image, image);  // decoded in stored order
        } else {
            Dsk2Mem_(reader, image.data, padding);
            if (reader.bitsPP < 8) DIBExpand_(reader, image.data);
            if (reader.bitFields) {
                DIBConvertMasks_(reader, image.data);
                if (allocBits != depth)
                    _imgalloc_(image, reader.width, reader.height, "ConForm.DIBLoad_.ih", __LINE__, depth);
            }
        }
        FClose(reader.fileId);
    });
}

void DIBInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QStillReader reader;
        DIBOpen_(reader, fileName);
        FillStillInfo_(reader, info);
        FClose(reader.fileId);
    });
}

// --- TGA --------------------------------------------------------------------------------------

void TGAOpen_(QStillReader& reader, const std::string& fileName) {
    Monitored([&] {
        reader = QStillReader{};
        FOpen(reader.fileId, fileName, FM_READ);
        reader.fileSize = FileSize32_(reader.fileId);
        uint8_t raw[18] = {};
        int32_t got = 0;
        FReadPart(reader.fileId, raw, sizeof raw, got);
        QByteReader h = ByteReader(raw, got);
        const int32_t idLength = BrU8(h);
        const int32_t mapType = BrU8(h);
        const int32_t type = BrU8(h);
        const int32_t mapFirst = BrU16LE(h);
        const int32_t mapLength = BrU16LE(h);
        const int32_t mapBits = BrU8(h);
        BrSkip(h, 4);  // origin
        const int32_t width = BrU16LE(h);
        const int32_t height = BrU16LE(h);
        const int32_t depth = BrU8(h);
        const int32_t descriptor = BrU8(h);
        if (h.overrun) ErrRaiseCode(ERR_FILE, 3, __LINE__);
        if (type != 1 && type != 2 && type != 9 && type != 10) ErrRaiseCode(ERR_IMG, 2, __LINE__);
        const int32_t bits = depth == 16 ? 15 : depth;  // 16-bit pixels are 5-5-5 words
        // Only the image record's depths; colour-mapped pixels are 8-bit indices.
        const bool mapped = type == 1 || type == 9;
        reader.supported = mapped ? bits == 8 : (bits == 8 || bits == 15 || bits == 24 || bits == 32);
        CheckGeometry_(width, height, reader.supported ? bits : 8);
        ReaderSetGeometry(reader, width, height, bits);
        reader.compressed = type >= 9;
        reader.bottomUp = (descriptor & 0x20) == 0;
        reader.cmapEntryBytes = (mapBits + 7) / 8;
        reader.cmapStart = mapFirst;
        reader.paletteOffset = 18 + idLength;
        reader.paletteBytes = mapType != 0 ? mapLength * reader.cmapEntryBytes : 0;
        reader.dataOffset = reader.paletteOffset + reader.paletteBytes;
    });
}

void TGALoad_(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QStillReader reader;
        TGAOpen_(reader, fileName);
        if (!reader.supported) ErrRaiseCode(ERR_IMG, 1, __LINE__);
        if (reader.compressed) CheckCmpsInFile_(reader);
        else CheckRowsInFile_(reader, 0);
        _imgalloc_(image, reader.width, reader.height, "ConForm.TGALoad_.ih", __LINE__, reader.bitsPP);
        std::memset(image.palette, 0, sizeof image.palette);
        TGAReadPalette_(reader, image);
        if (reader.compressed) {
            GetCmpsData_(reader);
            FillBytes(0, image.size, image.data);
            if (!TGAunRLE_(reader.cmpsData, reader.cmpsBytes, image.data, image.size, reader.bytesPP))
                ErrRaiseCode(ERR_IMG, 3, __LINE__);
            MemFree(reader.cmpsData);
            if (reader.bottomUp) ImgFlipV(image, image);
        } else {
            Dsk2Mem_(reader, image.data, 0);
        }
        FClose(reader.fileId);
    });
}

void TGAInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QStillReader reader;
        TGAOpen_(reader, fileName);
        FillStillInfo_(reader, info);
        info.hasVideo = reader.bitsPP > 0 && reader.bitsPP <= 32 ? -1 : 0;
        FClose(reader.fileId);
    });
}

// --- PCX --------------------------------------------------------------------------------------

void PCXOpen_(QStillReader& reader, const std::string& fileName) {
    Monitored([&] {
        reader = QStillReader{};
        FOpen(reader.fileId, fileName, FM_READ);
        reader.fileSize = FileSize32_(reader.fileId);
        uint8_t raw[128] = {};
        int32_t got = 0;
        FReadPart(reader.fileId, raw, sizeof raw, got);
        QByteReader h = ByteReader(raw, got);
        const int32_t manufacturer = BrU8(h);
        BrSkip(h, 1);  // version
        const int32_t encoding = BrU8(h);
        const int32_t bitsPerPlane = BrU8(h);
        const int32_t xMin = BrU16LE(h);
        const int32_t yMin = BrU16LE(h);
        const int32_t xMax = BrU16LE(h);
        const int32_t yMax = BrU16LE(h);
        BrSeek(h, 65);
        const int32_t planes = BrU8(h);
        const int32_t lineBytes = BrU16LE(h);
        BrSeek(h, 128);  // the whole header must be there
        if (got < 1 || manufacturer != 10) ErrRaiseCode(ERR_IMG, 2, __LINE__);
        if (h.overrun) ErrRaiseCode(ERR_FILE, 3, __LINE__);
        // One plane of indices or three planes of red, green and blue, 8 bits each.
        reader.supported = bitsPerPlane == 8 && (planes == 1 || planes == 3) && encoding == 1;
        const int32_t width = xMax - xMin + 1;
        const int32_t height = yMax - yMin + 1;
        CheckGeometry_(width, height, reader.supported ? 8 * planes : 8);
        ReaderSetGeometry(reader, width, height, bitsPerPlane * planes);
        reader.compressed = true;
        reader.paletteBytes = 768;
        reader.dataOffset = 128;
        if (reader.supported) {
            // Each stored row holds every plane's line of the header's bytes per line; a file
            // that leaves it shorter than the width gets the width rounded up to even.
            const int32_t stride = lineBytes >= width ? lineBytes : width + (width & 1);
            CheckGeometry_(stride, height, 8 * planes);
            reader.rowBytes = stride * planes;
            reader.imageBytes = reader.rowBytes * height;
        }
    });
}

void PCXunCmps_(QStillReader& reader, uint8_t* pixels) {
    Monitored([&] {
        QByteReader src = ByteReader(reader.cmpsData, reader.cmpsBytes);
        const int64_t total = reader.imageBytes;
        FillBytes(0, total, pixels);
        // A byte below 192 is a literal; b >= 192 repeats the next byte b - 192 times.
        for (int64_t pos = 0; pos < total && BrLeft(src) > 0;) {
            const int32_t b = BrU8(src);
            if (b < 192) {
                pixels[pos++] = static_cast<uint8_t>(b);
                continue;
            }
            const uint8_t value = BrU8(src);
            if (src.overrun) ErrRaiseCode(ERR_IMG, 3, __LINE__);
            const int64_t n = std::min<int64_t>(b - 192, total - pos);
            FillBytes(value, n, pixels + pos);
            pos += n;
        }
        // Drop the padding of every plane's line: line k moves from k x stride to k x width.
        const int32_t stride = reader.rowBytes / reader.bytesPP;
        if (stride != reader.width) {
            const int64_t lines = int64_t{reader.height} * reader.bytesPP;
            for (int64_t k = 1; k < lines; ++k)
                MoveBytes(reader.width, pixels + k * reader.width, pixels + k * stride);
        }
    });
}

void PCX24Fix_(QStillReader& reader, uint8_t* pixels) {
    Monitored([&] {
        const int32_t w = reader.width;
        uint8_t* lintmp = nullptr;
        _memalloc_(lintmp, int64_t{w} * 3, __LINE__, MEM_KIND_C, "ConForm.PCX24Fix_.lintmp");
        for (int64_t y = 0; y < reader.height; ++y) {
            uint8_t* row = pixels + y * w * 3;  // the red line, the green line, the blue line
            for (int32_t x = 0; x < w; ++x) {
                lintmp[x * 3] = row[2 * w + x];
                lintmp[x * 3 + 1] = row[w + x];
                lintmp[x * 3 + 2] = row[x];
            }
            std::memcpy(row, lintmp, static_cast<size_t>(w) * 3);
        }
        MemFree(lintmp);
    });
}

void PCXLoad_(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QStillReader reader;
        PCXOpen_(reader, fileName);
        // Two planes would be raw bytes of no image record depth.
        if (!reader.supported) ErrRaiseCode(ERR_IMG, 1, __LINE__);
        CheckCmpsInFile_(reader);
        // Room for the padded rows while decoding.
        _imgalloc_(image, reader.rowBytes / reader.bytesPP, reader.height, "ConForm.PCXLoad_.ih", __LINE__,
                   reader.bitsPP);
        GetCmpsData_(reader);
        if (reader.bytesPP == 1) {
            // The palette is the last 768 bytes (red, green, blue), after a marker byte that is
            // not checked; the decoder leaves both out. It never reaches back into the header.
            if (reader.cmpsBytes < 769) ErrRaiseCode(ERR_IMG, 3, __LINE__);
            ImgRowTo24(true, 3, 256, reinterpret_cast<uint8_t*>(image.palette),
                       reader.cmpsData + reader.cmpsBytes - 768);
            reader.cmpsBytes -= 769;
        }
        PCXunCmps_(reader, image.data);
        MemFree(reader.cmpsData);
        if (reader.bytesPP == 3) PCX24Fix_(reader, image.data);
        // Gives the block back its exact size; the compacted rows are kept.
        _imgalloc_(image, reader.width, reader.height, "ConForm.PCXLoad_.ih", __LINE__, reader.bitsPP);
        FClose(reader.fileId);
    });
}

void PCXInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QStillReader reader;
        PCXOpen_(reader, fileName);
        FillStillInfo_(reader, info);
        FClose(reader.fileId);
    });
}

}  // namespace kelvora
