#include "formats/FF_FLC.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// Clears a handle whose open failed; the failure releases the file.
void Forget_(QFlcHandle& h) {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    h.fileId = BAD_HANDLE;
}

bool HasExtFli_(const std::string& fileName) {
    const size_t dot = fileName.find_last_of("./");
    if (dot == std::string::npos || fileName[dot] != '.') return false;
    std::string ext = fileName.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".fli";
}

void Open_(QFlcHandle& h, const std::string& fileName) {
    Forget_(h);
    h.bytesPP = 1;
    h.bitsPP = 8;
    FOpen(h.fileId, fileName, FM_READ);
    h.fileSize = FSize(h.fileId);
    uint8_t raw[FLC_HEADER_SIZE];
    int32_t got = 0;
    if (!FReadPart(h.fileId, raw, FLC_HEADER_SIZE, got)) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
    QByteReader r = ByteReader(raw, got);
    QFlcHeader& hd = h.header;
    hd.size = BrU32LE(r);
    hd.magic = BrU16LE(r);
    hd.frames = BrU16LE(r);
    hd.width = BrU16LE(r);
    hd.height = BrU16LE(r);
    hd.depth = BrU16LE(r);
    hd.flags = BrU16LE(r);
    hd.speed = BrU32LE(r);
    BrBytes(r, hd.rest, sizeof hd.rest);
    if (r.overrun || (hd.magic != FLC_MAGIC_FLI && hd.magic != FLC_MAGIC_FLC) ||
        !FFSaneGeometry(hd.width, hd.height, 8))
        ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
    h.frames = hd.frames;
    h.width = h.stride = hd.width;
    h.height = hd.height;
    h.frameBytes = h.width * h.height;
    // The extension, not the magic, tells the unit of the speed.
    if (hd.speed != 0) {
        const double rate = (HasExtFli_(fileName) ? 70.0 : 1000.0) / hd.speed;
        h.frameRate = std::nearbyint(rate * 10) * 0.1;  // ties to even
    }
    h.nextChunk = FLC_HEADER_SIZE;
}

bool HoldsMovie_(const QFlcHandle& h, const Qimg& image) {
    return ImgValid(image) && image.width == h.width && image.height == h.height &&
           image.bitsPP == 8 && image.size >= h.frameBytes;
}

// --- Image sub-chunks -----------------------------------------------------------------------------
// Each returns false for packets that would run past a line (and so past the picture); data that
// end early only end the decoding.

// Type 15: every line starts with a packet count that old writers leave unreliable, so a line
// ends when its width is filled. A count byte k > 0 repeats the next byte k times, -k copies k
// bytes.
bool ByteRun_(QByteReader& r, uint8_t* px, int32_t w, int32_t hgt) {
    for (int32_t y = 0; y < hgt; ++y) {
        BrSkip(r, 1);
        uint8_t* row = px + int64_t{y} * w;
        int32_t x = 0;
        while (x < w) {
            if (BrLeft(r) < 1) return true;
            const int32_t count = static_cast<int8_t>(BrU8(r));
            const int32_t n = std::abs(count);
            if (x + n > w) return false;
            const uint8_t* src = BrTake(r, count > 0 ? 1 : n);
            if (!src) return true;
            if (count > 0)
                std::memset(row + x, src[0], static_cast<size_t>(n));
            else
                std::memcpy(row + x, src, static_cast<size_t>(n));
            x += n;
        }
    }
    return true;
}

// Type 12: first line and line count; per line a packet count, each packet a column skip and a
// count byte: k > 0 copies k bytes, -k repeats the next byte k times.
bool ByteDelta_(QByteReader& r, uint8_t* px, int32_t w, int32_t hgt) {
    const int32_t first = BrU16LE(r);
    const int32_t lines = BrU16LE(r);
    for (int32_t l = 0; l < lines && first + l < hgt && !r.overrun; ++l) {
        uint8_t* row = px + int64_t{first + l} * w;
        const int32_t packets = BrU8(r);
        int32_t x = 0;
        for (int32_t p = 0; p < packets; ++p) {
            x += BrU8(r);
            const int32_t count = static_cast<int8_t>(BrU8(r));
            if (r.overrun) return true;
            const int32_t n = std::abs(count);
            if (x + n > w) return false;
            const uint8_t* src = BrTake(r, count > 0 ? n : 1);
            if (!src) return true;
            if (count > 0)
                std::memcpy(row + x, src, static_cast<size_t>(n));
            else
                std::memset(row + x, src[0], static_cast<size_t>(n));
            x += n;
        }
    }
    return true;
}

// Type 7: the count of lines that carry packets; before each line's packet count come opcodes:
// top bits 11 skip lines, 10 set the line's last byte (odd widths), 01 is undefined. Packets:
// a column skip in bytes and a count byte: k > 0 copies k words, -k repeats the next word k times.
bool WordDelta_(QByteReader& r, uint8_t* px, int32_t w, int32_t hgt) {
    int32_t lines = BrU16LE(r);
    int32_t y = 0;
    while (lines > 0 && y < hgt) {
        const uint32_t word = BrU16LE(r);
        if (r.overrun) return true;
        uint8_t* row = px + int64_t{y} * w;
        if ((word & 0xC000) == 0xC000) {
            const int32_t skip = 0x10000 - static_cast<int32_t>(word);
            if (skip < hgt) y += skip;
            continue;
        }
        if ((word & 0xC000) == 0x8000) {
            row[w - 1] = static_cast<uint8_t>(word);
            continue;
        }
        if ((word & 0xC000) == 0x4000) continue;
        int32_t x = 0;
        for (uint32_t p = 0; p < word; ++p) {
            x += BrU8(r);
            const int32_t count = static_cast<int8_t>(BrU8(r));
            if (r.overrun) return true;
            const int32_t n = 2 * std::abs(count);
            if (x + n > w) return false;
            const uint8_t* src = BrTake(r, count > 0 ? n : 2);
            if (!src) return true;
            if (count > 0) {
                std::memcpy(row + x, src, static_cast<size_t>(n));
            } else {
                for (int32_t i = 0; i < n; i += 2) {
                    row[x + i] = src[0];
                    row[x + i + 1] = src[1];
                }
            }
            x += n;
        }
        ++y;
        --lines;
    }
    return true;
}

// Reads the frame chunk that starts at or after nextChunk and decodes its sub-chunks.
void DecodeNext_(QFlcHandle& h, Qimg& image) {
    if (!HoldsMovie_(h, image))
        _imgalloc_(image, h.width, h.height, "FF_FLC.FLCLoadNext.ih", __LINE__, 8);
    h.target = image.data;

    // Other chunks (prefix, segment tables) are passed over by their sizes.
    int64_t pos = h.nextChunk;
    uint32_t size = 0;
    int32_t subChunks = 0;
    for (;;) {
        uint8_t raw[FLC_CHUNK_HEADER];
        int32_t got = 0;
        if (pos > h.fileSize - 8) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        FSeek(h.fileId, pos);
        FReadPart(h.fileId, raw, FLC_CHUNK_HEADER, got);
        QByteReader r = ByteReader(raw, got);
        size = BrU32LE(r);
        const uint16_t type = BrU16LE(r);
        subChunks = BrU16LE(r);
        const uint32_t least = type == FLC_CHUNK_FRAME ? FLC_CHUNK_HEADER : FLC_SUBCHUNK_HEADER;
        if (r.overrun || size < least || pos + size > h.fileSize)
            ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        if (type == FLC_CHUNK_FRAME) break;
        pos += size;
    }
    const int64_t frameEnd = pos + size;

    int64_t sub = pos + FLC_CHUNK_HEADER;
    for (int32_t i = 0; i < subChunks && sub + FLC_SUBCHUNK_HEADER <= frameEnd; ++i) {
        uint8_t raw[FLC_SUBCHUNK_HEADER];
        FSeek(h.fileId, sub);
        FRead(h.fileId, raw, FLC_SUBCHUNK_HEADER);
        QByteReader r = ByteReader(raw, FLC_SUBCHUNK_HEADER);
        QFlcChunk chunk;
        chunk.size = BrU32LE(r);
        chunk.type = BrU16LE(r);
        if (chunk.size < FLC_SUBCHUNK_HEADER || sub + chunk.size > frameEnd)
            ErrFail(ERR_MVI, MVI_DECOMPRESS);
        const int64_t dataBytes = int64_t{chunk.size} - FLC_SUBCHUNK_HEADER;
        switch (chunk.type) {
            case FLC_COLOR_256:
            case FLC_COLOR_64:
                FLCGetPal_(h, image.palette, chunk);
                h.newPalette = -1;
                break;
            case FLC_DELTA_WORD:
            case FLC_DELTA_BYTE:
            case FLC_BYTE_RUN:
                if (dataBytes > INT32_MAX - 2048) ErrFail(ERR_MVI, MVI_DECOMPRESS);
                h.cmpsBytes = static_cast<int32_t>(dataBytes);
                _memalloc_(h.cmpsData, dataBytes + 1024, __LINE__, MEM_KIND_C,
                           "FF_FLC.FLCLoadNext.ff.cmpsdata");
                FRead(h.fileId, h.cmpsData, h.cmpsBytes);
                FLCunCmps_(h, chunk);
                MemFree(h.cmpsData);
                break;
            case FLC_BLACK: std::memset(h.target, 0, static_cast<size_t>(h.frameBytes)); break;
            case FLC_COPY:
                if (dataBytes < h.frameBytes) ErrFail(ERR_MVI, MVI_DECOMPRESS);
                FRead(h.fileId, h.target, h.frameBytes);
                break;
            default: break;
        }
        sub += chunk.size;
    }
    h.nextChunk = frameEnd;
    ++h.curFrame;
    ImgSetSize(image, h.width, h.height, 8);
}

}  // namespace

void FLCOpen(QFlcHandle& h, const std::string& fileName) {
    Monitored([&] {
        try {
            Open_(h, fileName);
            FSeek(h.fileId, FLC_HEADER_SIZE);
        } catch (...) {
            Forget_(h);
            throw;
        }
    });
}

void FLCRewind(QFlcHandle& h) {
    Monitored([&] {
        FSeek(h.fileId, FLC_HEADER_SIZE);
        h.nextChunk = FLC_HEADER_SIZE;
        h.curFrame = 0;
    });
}

void FLCGetPal_(QFlcHandle& h, QBGR* palette, const QFlcChunk& chunk) {
    Monitored([&] {
        const int32_t bytes = static_cast<int32_t>(
            std::min<int64_t>(int64_t{chunk.size} - FLC_SUBCHUNK_HEADER, INT32_MAX));
        uint8_t* data = nullptr;
        _memalloc_(data, std::max(bytes, 1), __LINE__, MEM_KIND_C, "FF_FLC.FLCGetPal_.palette");
        FRead(h.fileId, data, bytes);
        QByteReader r = ByteReader(data, bytes);
        const int32_t shift = chunk.type == FLC_COLOR_64 ? 2 : 0;  // 64 levels: 63 becomes 252
        const int32_t packets = BrU16LE(r);
        int32_t index = 0;
        for (int32_t p = 0; p < packets && index < 256; ++p) {
            index += BrU8(r);
            int32_t count = BrU8(r);
            if (count == 0) count = 256;
            for (; count > 0 && index < 256; --count, ++index) {
                const uint8_t* rgb = BrTake(r, 3);
                if (!rgb) break;
                palette[index] = QBGR{static_cast<uint8_t>(rgb[2] << shift),
                                      static_cast<uint8_t>(rgb[1] << shift),
                                      static_cast<uint8_t>(rgb[0] << shift)};
            }
            if (r.overrun) break;
        }
        MemFree(data);
    });
}

void FLCunCmps_(QFlcHandle& h, const QFlcChunk& chunk) {
    Monitored([&] {
        QByteReader r = ByteReader(h.cmpsData, h.cmpsBytes);
        bool ok = true;
        switch (chunk.type) {
            case FLC_BYTE_RUN: ok = ByteRun_(r, h.target, h.width, h.height); break;
            case FLC_DELTA_BYTE: ok = ByteDelta_(r, h.target, h.width, h.height); break;
            case FLC_DELTA_WORD: ok = WordDelta_(r, h.target, h.width, h.height); break;
            default: break;
        }
        if (!ok) ErrFail(ERR_MVI, MVI_DECOMPRESS);
    });
}

void FLCLoadNext(QFlcHandle& h, Qimg& image) {
    Monitored([&] {
        h.newPalette = 0;
        if (h.curFrame + 1 > h.frames) ErrFail(ERR_FLIC, FLIC_END);
        try {
            DecodeNext_(h, image);
        } catch (...) {
            // The failure releases the sub-chunk buffer. The picture no longer holds a whole
            // frame, so the next load starts again from the first one.
            h.cmpsData = nullptr;
            h.cmpsBytes = 0;
            h.curFrame = 0;
            h.nextChunk = FLC_HEADER_SIZE;
            throw;
        }
    });
}

void FLCLoad(QFlcHandle& h, Qimg& image, int32_t frame, int32_t mode) {
    Monitored([&] {
        // Delta frames build on the picture they were made against.
        FFDecodeForward(
            h, frame, mode, HoldsMovie_(h, image), [&] { FLCRewind(h); },
            [&] { FLCLoadNext(h, image); },
            [&](bool continuous) {
                if (!continuous || h.curFrame >= frame) FLCRewind(h);
                return false;
            });
    });
}

void FLCClose(QFlcHandle& h) {
    Monitored([&] {
        MemFree(h.cmpsData);
        FClose(h.fileId);
        Forget_(h);
    });
}

void FLCInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QFlcHandle h{};
        FLCOpen(h, fileName);
        FFFillPictureInfo(info, static_cast<double>(h.fileSize), h.width, h.height, 1, 8,
                          h.width > 0);
        info.frames = h.frames;
        info.frameRate = h.frameRate;
        info.videoCompression = "RLE + pixel difference from previous frame";
        FLCClose(h);
    });
}

}  // namespace kelvora
