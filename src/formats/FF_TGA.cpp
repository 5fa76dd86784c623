#include "formats/FF_TGA.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "image/ImgBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

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

}  // namespace

void TGAOpen_(QStillReader& reader, const std::string& fileName) {
    Monitored([&] {
        uint8_t raw[18];
        const int32_t got = ReaderOpen_(reader, fileName, raw, sizeof raw);
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
        if (h.overrun) ErrFail(ERR_FILE, FILE_READ);
        if (type != 1 && type != 2 && type != 9 && type != 10) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
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
        if (!reader.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        if (reader.compressed) {
            CheckCmpsInFile_(reader);
            // A run packet makes at most 128 pixels of its header byte and one pixel.
            CheckRunsCanFill_(int64_t{reader.fileSize} - reader.dataOffset, 1 + reader.bytesPP,
                              128 * reader.bytesPP,
                              int64_t{reader.width} * reader.height * reader.bytesPP);
        } else
            CheckRowsInFile_(reader, 0);
        _imgalloc_(image, reader.width, reader.height, "ConForm.TGALoad_.ih", __LINE__,
                   reader.bitsPP);
        std::memset(image.palette, 0, sizeof image.palette);
        TGAReadPalette_(reader, image);
        if (reader.compressed) {
            GetCmpsData_(reader);
            FillBytes(0, image.size, image.data);
            if (!TGAunRLE_(reader.cmpsData, reader.cmpsBytes, image.data, image.size, reader.bytesPP))
                ErrFail(ERR_IMG, IMG_DECOMPRESS);
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
        info.hasVideo = FFBool(reader.bitsPP > 0 && reader.bitsPP <= 32);
        FClose(reader.fileId);
    });
}

}  // namespace kelvora
