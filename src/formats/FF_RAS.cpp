#include "formats/FF_RAS.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr uint32_t kRasMagic = 0x59A66A95;
constexpr int32_t kHeaderBytes = 32;
constexpr int32_t kTypeRLE = 2;
constexpr int32_t kTypeRGB = 3;
constexpr int32_t kMapPlanes = 1;
constexpr uint8_t kEscape = 128;
// Run-length data are decoded as they are read, through a buffer of this size.
constexpr int64_t kBufferBytes = 65536;

// 1-bit pictures are expanded to one palette index per pixel.
int32_t RASImageDepth_(int32_t depth) { return depth == 1 ? 8 : depth; }

// 128 0 is a literal 128; 128 n v (n > 0) gives n + 1 copies of v; any other byte is itself.
// Decodes into `out` (`total` bytes) and stops when the input is used up or the output is full.
// The loop reads through a local copy of the reader, which stays in registers.
void RASunRLE_(QByteReader& reader, uint8_t* out, int64_t total) {
    QByteReader src = reader;
    int64_t o = 0;
    while (o < total) {
        const uint8_t* c = BrTake(src, 1);
        if (!c) break;
        if (*c != kEscape) {
            out[o++] = *c;
            continue;
        }
        const uint8_t* n = BrTake(src, 1);
        if (!n) break;
        if (*n == 0) {
            out[o++] = kEscape;
        } else {
            const uint8_t* v = BrTake(src, 1);
            if (!v) break;
            const int64_t k = std::min<int64_t>(int64_t{*n} + 1, total - o);
            std::memset(out + o, *v, static_cast<size_t>(k));
            o += k;
        }
    }
    reader = src;
}

// Run-length data codes the padded rows, so a pad byte is an ordinary decoded byte (often the
// tail of a run): rows of odd length are decoded padded and then moved together.
void RASCompactRows_(uint8_t* data, int64_t rowBytes, int64_t paddedBytes, int32_t rows) {
    for (int64_t r = 1; r < rows; ++r)
        std::memmove(data + r * rowBytes, data + r * paddedBytes, static_cast<size_t>(rowBytes));
}

// The palette of an 8-bit or 1-bit picture. A planar map of n entries per plane stands as all
// red, then all green, then all blue bytes; without a usable map 8-bit pictures are grey and
// 1-bit pictures black on white.
void RASPalette_(const QRASHandle& ras, Qimg& image) {
    std::memset(image.palette, 0, sizeof image.palette);
    if (ras.mapType == kMapPlanes && ras.mapLength >= 3) {
        uint8_t map[768];
        const int32_t used = std::min(ras.mapLength, 768);
        const int32_t n = used / 3;
        FSeek(ras.fileId, kHeaderBytes);
        FRead(ras.fileId, map, used);
        for (int32_t i = 0; i < n; ++i) image.palette[i] = QBGR{map[2 * n + i], map[n + i], map[i]};
    } else if (ras.depth == 1) {
        image.palette[0] = QBGR{255, 255, 255};
    } else {
        PalGreyRamp(image.palette);
    }
}

// Spreads packed 1-bit rows (at the start of the block) to one byte per pixel, in place from
// the last pixel backwards so that no packed byte is overwritten before it is used.
void RASExpand1_(uint8_t* data, int32_t width, int32_t height, int64_t rowBytes) {
    for (int64_t r = height - 1; r >= 0; --r) {
        for (int64_t x = width - 1; x >= 0; --x) {
            const uint8_t bits = data[r * rowBytes + x / 8];
            data[r * width + x] = (bits >> (7 - x % 8)) & 1;
        }
    }
}

}  // namespace

void RASOpen_(QRASHandle& ras, const std::string& fileName) {
    Monitored([&] {
        ras = QRASHandle{};
        ras.fileId = BAD_HANDLE;
        FOpen(ras.fileId, fileName, FM_READ);
        uint8_t header[kHeaderBytes];
        FRead(ras.fileId, header, kHeaderBytes);
        QByteReader br = ByteReader(header, kHeaderBytes);
        const uint32_t magic = BrU32BE(br);
        ras.magic = static_cast<int32_t>(magic);
        ras.width = static_cast<int32_t>(BrU32BE(br));
        ras.height = static_cast<int32_t>(BrU32BE(br));
        ras.depth = static_cast<int32_t>(BrU32BE(br));
        ras.length = static_cast<int32_t>(BrU32BE(br));
        ras.type = static_cast<int32_t>(BrU32BE(br));
        ras.mapType = static_cast<int32_t>(BrU32BE(br));
        ras.mapLength = static_cast<int32_t>(BrU32BE(br));
        if (magic != kRasMagic) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        // Sizes are unsigned in the file; a value past 2^31 is a damaged header, not a picture.
        if (ras.width < 0 || ras.height < 0 || ras.depth < 0) ErrFail(ERR_IMG, IMG_BAD_HEADER);
        ras.fileSize = FSize(ras.fileId);
        const bool knownDepth = ras.depth == 1 || ras.depth == 8 || ras.depth == 24 ||
                                ras.depth == 32;
        ras.supported = ras.type >= 0 && ras.type <= kTypeRGB && knownDepth &&
                        FFSaneGeometry(ras.width, ras.height, RASImageDepth_(ras.depth));
    });
}

void RASLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QRASHandle ras;
        RASOpen_(ras, fileName);
        if (!ras.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        const int32_t w = ras.width, h = ras.height;
        const int64_t rowBytes = (int64_t{w} * ras.depth + 7) / 8;
        const int64_t paddedBytes = rowBytes + (rowBytes & 1);
        // The colour map and some pixel data must lie in the file before anything is allocated.
        if (ras.mapLength < 0 || ras.mapLength >= ras.fileSize - kHeaderBytes)
            ErrFail(ERR_FILE, FILE_READ);
        const int64_t dataStart = int64_t{kHeaderBytes} + ras.mapLength;
        const int64_t rest = ras.fileSize - dataStart;
        // Raw rows are padded to even lengths; files that leave the pad bytes out are read too.
        const int64_t step = rest >= paddedBytes * h ? paddedBytes : rowBytes;
        if (ras.type != kTypeRLE && rest < step * h) ErrFail(ERR_FILE, FILE_READ);
        // Three bytes of run-length data give at most 256 bytes: refuse what cannot be filled.
        if (ras.type == kTypeRLE && paddedBytes * h > (rest / 3 + 1) * 256)
            ErrFail(ERR_IMG, IMG_DECOMPRESS);

        const int32_t depth = RASImageDepth_(ras.depth);
        _imgalloc_(image, w, h, "FF_RAS.RASLoad.img", __LINE__, depth);
        if (depth == 8) RASPalette_(ras, image);

        // Rows land packed at the stored row length; for every depth but 1 that is the image's.
        if (ras.type == kTypeRLE) {
            // No stream longer than two bytes per decoded byte can be used up.
            const int64_t bytes = std::min({rest, 2 * paddedBytes * h, int64_t{INT32_MAX}});
            QByteReader src{};
            BrOpenFile(src, ras.fileId, dataStart, dataStart + bytes,
                       std::min<int64_t>(bytes, kBufferBytes), "FF_RAS.RASLoad.cmpsdata");
            if (paddedBytes == rowBytes) {
                std::memset(image.data, 0, static_cast<size_t>(rowBytes * h));
                RASunRLE_(src, image.data, rowBytes * h);
            } else {
                uint8_t* padded = nullptr;
                _memalloc_(padded, paddedBytes * h, __LINE__, MEM_KIND_C, "FF_RAS.RASLoad.padded");
                RASunRLE_(src, padded, paddedBytes * h);
                RASCompactRows_(padded, rowBytes, paddedBytes, h);
                std::memcpy(image.data, padded, static_cast<size_t>(rowBytes * h));
                MemFree(padded);
            }
            BrClose(src);
        } else {
            for (int32_t r = 0; r < h; ++r) {
                FSeek(ras.fileId, dataStart + r * step);
                FRead(ras.fileId, image.data + r * rowBytes, static_cast<int32_t>(rowBytes));
            }
        }
        FClose(ras.fileId);

        if (ras.depth == 1) RASExpand1_(image.data, w, h, rowBytes);
        if (ras.depth == 32) {
            // x, b, g, r in the file becomes b, g, r, x.
            uint8_t* p = image.data;
            for (int64_t k = int64_t{w} * h; k > 0; --k, p += 4) {
                const uint8_t x = p[0];
                p[0] = p[1];
                p[1] = p[2];
                p[2] = p[3];
                p[3] = x;
            }
        }
        ImgSetSize(image, w, h, depth);
        if (image.bytesPP > 2 && ras.type == kTypeRGB) ImgSwapRB(image, image);
    });
}

void RASInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QRASHandle ras;
        RASOpen_(ras, fileName);
        FClose(ras.fileId);
        FFFillPictureInfo(info, static_cast<double>(ras.fileSize), ras.width, ras.height,
                          static_cast<int32_t>((int64_t{ras.depth} + 7) / 8), ras.depth,
                          ras.supported);
        if (ras.type == kTypeRLE) info.videoCompression = "Run Length Encoding (RLE)";
    });
}

}  // namespace kelvora
