#include "formats/FF_BMP.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr int32_t DIB_FILE_HEADER_ = 14;
constexpr int32_t DIB_CORE_HEADER_ = 12;
constexpr int32_t DIB_INFO_HEADER_ = 40;
constexpr int32_t DIB_MAX_HEADER_ = 124;  // V5; longer headers start with the same fields

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
                std::memcpy(pixels + pos, literal,
                            static_cast<size_t>(std::min<int64_t>(value, total - pos)));
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
        image.palette[i] = QBGR{table[i * entryBytes], table[i * entryBytes + 1],
                                table[i * entryBytes + 2]};
}

}  // namespace

void DIBOpen_(QStillReader& reader, const std::string& fileName) {
    Monitored([&] {
        // File header, the size of the information header, the longest header we parse and the
        // bit-field masks that may follow a 40-byte header.
        uint8_t raw[DIB_FILE_HEADER_ + DIB_MAX_HEADER_ + 16];
        const int32_t got = ReaderOpen_(reader, fileName, raw, sizeof raw);
        if (got < 2 || raw[0] != 'B' || raw[1] != 'M') ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        QByteReader file = ByteReader(raw, got);
        BrSkip(file, 10);
        const uint32_t dataOffset = BrU32LE(file);
        const uint32_t headerSize = BrU32LE(file);
        if (file.overrun) ErrFail(ERR_FILE, FILE_READ);
        if (headerSize != DIB_CORE_HEADER_ &&
            (headerSize < 16 || headerSize > uint32_t(reader.fileSize - DIB_FILE_HEADER_)))
            ErrFail(ERR_IMG, IMG_BAD_HEADER);
        const int32_t parsed = std::min<int32_t>(static_cast<int32_t>(headerSize), DIB_MAX_HEADER_);
        if (got < DIB_FILE_HEADER_ + parsed) ErrFail(ERR_FILE, FILE_READ);
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
                    ErrFail(ERR_FILE, FILE_READ);
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
            ErrFail(ERR_IMG, IMG_BAD_HEADER);
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
        if (!reader.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        const int32_t depth = DIBDepth_(reader);
        const int32_t padding = (4 - reader.rowBytes % 4) % 4;
        if (reader.compressed)
            CheckCmpsInFile_(reader);
        else
            CheckRowsInFile_(reader, padding);
        // 32-bit bit-field rows are narrowed to 24 bits in place, so their block starts at 32.
        const int32_t allocBits = reader.bitFields && reader.bytesPP == 4 ? 32 : depth;
        _imgalloc_(image, reader.width, reader.height, "ConForm.DIBLoad_.ih", __LINE__, allocBits);
        if (depth == 8) DIBReadPalette_(reader, image);
        if (reader.compressed) {
            GetCmpsData_(reader);
            FillBytes(0, image.size, image.data);  // pixels the runs skip stay index 0
            if (!DIBunRLE_(reader.cmpsData, reader.cmpsBytes, image.data, reader.width,
                           reader.height, reader.bitsPP == 4))
                ErrFail(ERR_IMG, IMG_DECOMPRESS);
            MemFree(reader.cmpsData);
            if (reader.bottomUp) ImgFlipV(image, image);  // decoded in stored order
        } else {
            Dsk2Mem_(reader, image.data, padding);
            if (reader.bitsPP < 8) DIBExpand_(reader, image.data);
            if (reader.bitFields) {
                DIBConvertMasks_(reader, image.data);
                if (allocBits != depth)
                    _imgalloc_(image, reader.width, reader.height, "ConForm.DIBLoad_.ih", __LINE__,
                               depth);
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

}  // namespace kelvora
