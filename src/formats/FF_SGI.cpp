#include "formats/FF_SGI.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr int32_t kSgiMagic = 474;
constexpr int32_t kHeaderBytes = 108;
constexpr int64_t kDataStart = 512;  // verbatim pixels, or the run-length offset table

// One or two channels load as grey from channel 0 (the second channel is alpha, which the
// image record cannot hold beside an index); three and four channels as 24 and 32 bits.
int32_t SGIDepth_(const QSGIHandle& sgi) { return sgi.zSize <= 2 ? 8 : 8 * sgi.zSize; }

// Decodes one run-length line, the bytes of `src`, into `line` (x size bytes). Output past
// x size, and packets cut short by the end of the compressed line, are dropped. Packets are
// short, so plain loops beat library calls for most of them. `src` is a copy, so that its
// fields stay in registers.
void SGIunRLE_(QByteReader src, uint8_t* line, int32_t xSize) {
    int32_t o = 0;
    while (o < xSize) {
        const uint8_t* p = BrTake(src, 1);
        if (!p) break;
        const uint8_t c = *p;
        const int32_t n = c & 127;
        if (n == 0) break;
        if (c & 0x80) {
            const int64_t k = std::min<int64_t>({n, xSize - o, BrLeft(src)});
            const uint8_t* literal = BrTake(src, k);
            for (int64_t q = 0; q < k; ++q) line[o + q] = literal[q];
            o += static_cast<int32_t>(k);
            BrSkip(src, n - k);
        } else {
            const uint8_t* p2 = BrTake(src, 1);
            if (!p2) break;
            const uint8_t v = *p2;  // held in a register: the stores below could alias the source
            const int32_t k = std::min(n, xSize - o);
            if (k > 32)
                std::memset(line + o, v, static_cast<size_t>(k));
            else
                for (int32_t q = 0; q < k; ++q) line[o + q] = v;
            o += k;
        }
    }
}

}  // namespace

void SGIOpen_(QSGIHandle& sgi, const std::string& fileName) {
    Monitored([&] {
        sgi = QSGIHandle{};
        sgi.fileId = BAD_HANDLE;
        FOpen(sgi.fileId, fileName, FM_READ);
        uint8_t header[kHeaderBytes];
        FRead(sgi.fileId, header, kHeaderBytes);
        QByteReader br = ByteReader(header, kHeaderBytes);
        sgi.magic = BrU16BE(br);
        sgi.storage = BrU8(br);
        sgi.bytesPC = BrU8(br);
        sgi.dimension = BrU16BE(br);
        sgi.xSize = BrU16BE(br);
        sgi.ySize = BrU16BE(br);
        sgi.zSize = BrU16BE(br);
        sgi.pixMin = BrU32BE(br);
        sgi.pixMax = BrU32BE(br);
        BrBytes(br, sgi.unused, sizeof sgi.unused);
        BrBytes(br, sgi.imageName, sizeof sgi.imageName);
        sgi.colorMap = BrU32BE(br);
        if (sgi.magic != kSgiMagic) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        sgi.fileSize = FSize(sgi.fileId);
        switch (sgi.dimension) {
            case 1:
                sgi.ySize = 1;
                sgi.zSize = 1;
                break;
            case 2: sgi.zSize = 1; break;
            case 3: break;
            default: sgi.zSize = 0; break;
        }
        sgi.supported = sgi.bytesPC == 1 && sgi.storage <= 1 && sgi.zSize >= 1 && sgi.zSize <= 4 &&
                        sgi.colorMap == 0 && FFSaneGeometry(sgi.xSize, sgi.ySize, SGIDepth_(sgi));
    });
}

void SGILoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QSGIHandle sgi;
        SGIOpen_(sgi, fileName);
        if (!sgi.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        const int32_t xs = sgi.xSize, ys = sgi.ySize, zs = sgi.zSize;
        const bool rle = sgi.storage == 1;
        const int64_t tableBytes = int64_t{4} * ys * zs;
        // Everything the picture needs must lie in the file before anything is allocated.
        if (rle && kDataStart + 2 * tableBytes > sgi.fileSize) ErrFail(ERR_IMG, IMG_DECOMPRESS);
        if (!rle && kDataStart + int64_t{xs} * ys * zs > sgi.fileSize) ErrFail(ERR_FILE, FILE_READ);

        const int32_t depth = SGIDepth_(sgi);
        _imgalloc_(image, xs, ys, "FF_SGI.SGILoad.img", __LINE__, depth);
        // Three and four channels are decoded channel by channel and then interleaved.
        const int32_t planes = zs >= 3 ? zs : 1;
        uint8_t* templine = nullptr;
        if (zs >= 3)
            _memalloc_(templine, int64_t{xs} * zs, __LINE__, MEM_KIND_C, "FF_SGI.SGILoad.templine");
        uint8_t* linetbl = nullptr;
        uint8_t* lentbl = nullptr;
        const int64_t cmpsBytes = int64_t{2} * xs * zs;
        if (rle) {
            _memalloc_(linetbl, tableBytes, __LINE__, MEM_KIND_C, "FF_SGI.SGILoad.linetbl");
            _memalloc_(lentbl, tableBytes, __LINE__, MEM_KIND_C, "FF_SGI.SGILoad.lentbl");
            FSeek(sgi.fileId, kDataStart);
            FRead(sgi.fileId, linetbl, static_cast<int32_t>(tableBytes));
            FRead(sgi.fileId, lentbl, static_cast<int32_t>(tableBytes));
        }
        // A file of plausible size for its picture (lines never need more than two bytes per
        // pixel) is read at once and its lines decoded from memory; others are read through a
        // buffer that holds at least a line.
        uint8_t* filedata = nullptr;
        const bool whole = rle && sgi.fileSize <= INT32_MAX &&
                           sgi.fileSize <=
                               kDataStart + 2 * tableBytes + 2 * int64_t{xs} * ys * zs + 65536;
        QByteReader file{};
        if (whole) {
            _memalloc_(filedata, sgi.fileSize, __LINE__, MEM_KIND_C, "FF_SGI.SGILoad.filedata");
            FSeek(sgi.fileId, 0);
            FRead(sgi.fileId, filedata, static_cast<int32_t>(sgi.fileSize));
            file = ByteReader(filedata, sgi.fileSize);
        } else if (rle) {
            BrOpenFile(file, sgi.fileId, 0, sgi.fileSize, cmpsBytes, "FF_SGI.SGILoad.cmpsline");
        }
        QByteReader offsets = ByteReader(linetbl, rle ? tableBytes : 0);
        QByteReader lengths = ByteReader(lentbl, rle ? tableBytes : 0);

        // One and two-channel pictures take channel 0 straight into the row; three and four
        // channels are decoded into a line each (they stay in the cache) and then interleaved.
        const int64_t stride = int64_t{xs} * image.bytesPP;
        for (int32_t j = 0; j < ys; ++j) {
            uint8_t* row = image.data + (ys - 1 - j) * stride;  // file rows run bottom-up
            for (int32_t c = 0; c < planes; ++c) {
                uint8_t* line = zs >= 3 ? templine + int64_t{c} * xs : row;
                if (rle) {
                    const int64_t entry = (int64_t{c} * ys + j) * 4;
                    BrSeek(offsets, entry);
                    BrSeek(lengths, entry);
                    const int64_t offset = BrU32BE(offsets);
                    const int64_t length = BrU32BE(lengths);
                    if (offset > sgi.fileSize || length > sgi.fileSize - offset)
                        ErrFail(ERR_IMG, IMG_DECOMPRESS);
                    // A whole line never needs more than two bytes per pixel.
                    const int64_t take = std::min(length, cmpsBytes);
                    std::memset(line, 0, static_cast<size_t>(xs));
                    BrSeek(file, offset);
                    const uint8_t* bytes = BrTake(file, take);
                    if (!bytes) ErrFail(ERR_FILE, FILE_READ);  // the file has shrunk
                    SGIunRLE_(ByteReader(bytes, take), line, xs);
                } else {
                    FSeek(sgi.fileId, kDataStart + (int64_t{c} * ys + j) * xs);
                    FRead(sgi.fileId, line, xs);
                }
            }
            if (zs == 3) {
                const uint8_t* r = templine;
                const uint8_t* g = templine + xs;
                const uint8_t* b = templine + 2 * int64_t{xs};
                for (int64_t x = 0; x < xs; ++x) {
                    row[3 * x] = b[x];
                    row[3 * x + 1] = g[x];
                    row[3 * x + 2] = r[x];
                }
            } else if (zs == 4) {
                for (int64_t x = 0; x < xs; ++x) {
                    uint8_t* p = row + 4 * x;
                    p[0] = templine[2 * xs + x];
                    p[1] = templine[xs + x];
                    p[2] = templine[x];
                    p[3] = templine[3 * xs + x];
                }
            }
        }
        ImgSetSize(image, xs, ys, depth);
        if (depth == 8) PalGreyRamp(image.palette);
        MemFree(filedata);
        BrClose(file);
        MemFree(lentbl);
        MemFree(linetbl);
        MemFree(templine);
        FClose(sgi.fileId);
    });
}

void SGIInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QSGIHandle sgi;
        SGIOpen_(sgi, fileName);
        FClose(sgi.fileId);
        FFFillPictureInfo(info, static_cast<double>(sgi.fileSize), sgi.xSize, sgi.ySize, sgi.zSize,
                          sgi.zSize * sgi.bytesPC * 8, sgi.supported);
        if (sgi.storage == 1) info.videoCompression = "Run Length Encoding (RLE)";
    });
}

}  // namespace kelvora
