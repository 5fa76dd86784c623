#include "formats/FF_TIF.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "formats/FFBasic.h"
#include "platform/libimg.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// The first libtiff error of the current call on this thread.
thread_local std::string tifError;

struct CompressionRow_ {
    uint32_t value;
    const char* name;
};

const CompressionRow_ kCompressionNames[] = {
    {1, "Uncompressed"},
    {2, "CCITT modified Huffman RLE"},
    {3, "CCITT Group 3 fax encoding"},
    {4, "CCITT Group 4 fax encoding"},
    {5, "Variable-Length-Code LZW (Lempel-Ziv & Welch)"},
    {6, "JPEG 6.0"},
    {7, "JPEG DCT compression"},
    {32766, "NeXT 2-bit RLE"},
    {32771, "#1 w/ word alignment"},
    {32773, "Macintosh RLE (PackBits)"},
    {32809, "ThunderScan RLE"},
    {32895, "IT8 CT w/padding"},
    {32896, "IT8 Linework RLE"},
    {32897, "IT8 Monochrome picture"},
    {32898, "IT8 Binary line art"},
    {32908, "Pixar companded 10bit LZW"},
    {32909, "Pixar companded 11bit ZIP"},
    {32946, "Deflate compression (modified LZ77)"},
    {32947, "Kodak DCS encoding"},
    {34661, "ISO JBIG"},
    {34676, "SGI Log Luminance RLE"},
    {34677, "SGI Log 24-bit packed"},
};

std::string CompressionName_(uint32_t value) {
    for (const CompressionRow_& row : kCompressionNames)
        if (row.value == value) return row.name;
    return std::string();
}

// Raises the error libtiff reported during the last call, if any; else (ERR_IMG, code) when the
// call failed.
void TIFCheck_(bool ok, int32_t code, int32_t line) {
    if (!tifError.empty()) {
        std::string message;
        message.swap(tifError);
        ErrRaiseMsg(ERR_LIBRARY, message, line);
    }
    if (!ok) ErrRaiseCode(ERR_IMG, code, line);
}

// Samples kept per pixel: a second sample (alpha of grey or palette pictures) is dropped.
int32_t TIFOutSamples_(const QTifHandle& h) {
    return h.samplesPerPixel == 2 ? 1 : h.samplesPerPixel;
}

bool TIFSupported_(const QTifHandle& h) {
    const uint16_t c = h.compression;
    const uint16_t bits = h.bitsPerSample;
    // Bilevel pictures come fax-coded; the fax codecs code nothing else. Any other codec is
    // libtiff's business: what the linked library was built with decodes, whatever its number
    // (Deflate goes by two, for one).
    const bool fax = c == COMPRESSION_CCITTRLE || c == COMPRESSION_CCITTFAX3 ||
                     c == COMPRESSION_CCITTFAX4;
    bool ok;
    if (bits == 1) {
        ok = h.samplesPerPixel == 1 && fax;
    } else {
        ok = h.samplesPerPixel >= 1 && h.samplesPerPixel <= 4 && (bits == 8 || bits == 16) && !fax;
    }
    ok = ok && TIFFIsCODECConfigured(c);
    // Subsampled YCbCr is only turned into RGB by the JPEG codec.
    if (h.photometric == PHOTOMETRIC_YCBCR && c != 7) ok = false;
    return ok && FFSaneGeometry(h.width, h.height, TIFOutSamples_(h) * 8);
}

// Where decoded samples go: the image's bytes (1 and 8 bits per sample) or, for 16 bits, a
// temporary of 16-bit samples; outSamples per pixel in both. Pictures of 3 and 4 samples are
// stored with the first and third exchanged, so they arrive blue-first as the image record
// wants them (while the rows are still in the cache, instead of a pass over the whole picture).
struct TIFSink_ {
    uint32_t width;
    int32_t samples;     // per pixel in the file
    int32_t outSamples;  // per pixel kept
    uint8_t* dest8;
    uint16_t* dest16;
    int32_t order[4];  // where sample s of a pixel is stored
};

TIFSink_ TIFMakeSink_(uint32_t width, int32_t samples, int32_t outSamples, uint8_t* dest8) {
    TIFSink_ k{width, samples, outSamples, dest8, nullptr, {0, 1, 2, 3}};
    if (outSamples >= 3) std::swap(k.order[0], k.order[2]);
    return k;
}

// The first and third byte of each pixel exchanged in one row of 8-bit samples.
void TIFSwapRow_(uint8_t* row, uint32_t width, int32_t samples) {
    for (uint32_t x = 0; x < width; ++x, row += samples) std::swap(row[0], row[2]);
}

template <int Bits>
uint32_t Sample_(const uint8_t* src, size_t i) {
    if constexpr (Bits == 8) {
        return src[i];
    } else if constexpr (Bits == 16) {
        uint16_t v;
        std::memcpy(&v, src + 2 * i, 2);  // libtiff gives samples in the machine's byte order
        return v;
    } else {
        return (src[i >> 3] >> (7 - (i & 7))) & 1u;  // most significant bit first
    }
}

// Stores `count` pixels from (x, row) on: every sample of each pixel when plane < 0 (samples
// interleaved), else sample `plane` of each pixel (separate planes).
template <int Bits>
void TIFPutT_(const TIFSink_& k, uint32_t row, uint32_t x, uint32_t count, const uint8_t* src,
              int32_t plane) {
    const int32_t perPixel = plane < 0 ? k.samples : 1;
    const int32_t first = plane < 0 ? 0 : plane;
    const int32_t keep = std::min(perPixel, k.outSamples - first);
    size_t d = (static_cast<size_t>(row) * k.width + x) * static_cast<size_t>(k.outSamples);
    size_t s = 0;
    for (uint32_t i = 0; i < count;
         ++i, d += static_cast<size_t>(k.outSamples), s += static_cast<size_t>(perPixel)) {
        for (int32_t j = 0; j < keep; ++j) {
            const uint32_t v = Sample_<Bits>(src, s + static_cast<size_t>(j));
            const size_t at = d + static_cast<size_t>(k.order[first + j]);
            if constexpr (Bits == 16)
                k.dest16[at] = static_cast<uint16_t>(v);
            else
                k.dest8[at] = static_cast<uint8_t>(v);
        }
    }
}

void TIFPut_(const TIFSink_& k, int32_t bits, uint32_t row, uint32_t x, uint32_t count,
             const uint8_t* src, int32_t plane) {
    switch (bits) {
        case 1: TIFPutT_<1>(k, row, x, count, src, plane); break;
        case 8: TIFPutT_<8>(k, row, x, count, src, plane); break;
        default: TIFPutT_<16>(k, row, x, count, src, plane); break;
    }
}

// Bytes that `pixels` pixels of `samples` samples each take in a row.
int64_t TIFRowBytes_(int64_t pixels, int32_t samples, int32_t bits) {
    return (pixels * samples * bits + 7) / 8;
}

// Strip pictures, one scan line at a time. Separate planes are read plane after plane (libtiff
// would decode each strip again for every switch between planes).
void TIFReadStrips_(QTifHandle& h, const TIFSink_& k, bool separate) {
    const int32_t bits = h.bitsPerSample;
    if (!separate && bits == 8 && k.samples == k.outSamples &&
        h.scanlineSize == TIFRowBytes_(h.width, k.samples, 8)) {
        // Straight into the image rows.
        for (uint32_t row = 0; row < h.height; ++row) {
            uint8_t* line = k.dest8 + row * static_cast<size_t>(h.scanlineSize);
            TIFCheck_(TIFFReadScanline(h.tif, line, row, 0) >= 0, IMG_DECOMPRESS, __LINE__);
            if (k.samples >= 3) TIFSwapRow_(line, h.width, k.samples);
        }
        return;
    }
    if (h.scanlineSize < TIFRowBytes_(h.width, separate ? 1 : k.samples, bits))
        ErrFail(ERR_IMG, IMG_DECOMPRESS);
    uint8_t* line = nullptr;
    _memalloc_(line, h.scanlineSize, __LINE__, MEM_KIND_C, "FF_TIF.TIFLoad.line");
    const int32_t planes = separate ? k.outSamples : 1;
    for (int32_t p = 0; p < planes; ++p) {
        for (uint32_t row = 0; row < h.height; ++row) {
            TIFCheck_(TIFFReadScanline(h.tif, line, row, static_cast<uint16_t>(p)) >= 0,
                      IMG_DECOMPRESS, __LINE__);
            TIFPut_(k, bits, row, 0, h.width, line, separate ? p : -1);
        }
    }
    MemFree(line);
}

// Tiled pictures, tile by tile; tiles at the right and bottom edges are cut to the picture.
void TIFReadTiles_(QTifHandle& h, const TIFSink_& k, bool separate) {
    const int32_t bits = h.bitsPerSample;
    uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(h.tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(h.tif, TIFFTAG_TILELENGTH, &tileLength);
    const int64_t tileBytes = static_cast<int64_t>(TIFFTileSize64(h.tif));
    const int64_t tileRowBytes = static_cast<int64_t>(TIFFTileRowSize64(h.tif));
    TIFCheck_(true, 0, __LINE__);
    // A tile needs no more memory than the whole picture (or a few MiB for small pictures).
    const int64_t tileLimit = std::max<int64_t>(TIFRowBytes_(h.width, k.samples, bits) * h.height,
                                                int64_t{16} << 20);
    if (tileWidth == 0 || tileLength == 0 || tileBytes <= 0 || tileBytes > tileLimit ||
        tileRowBytes < TIFRowBytes_(tileWidth, separate ? 1 : k.samples, bits) ||
        tileRowBytes * tileLength > tileBytes)
        ErrFail(ERR_IMG, IMG_DECOMPRESS);
    uint8_t* tile = nullptr;
    _memalloc_(tile, tileBytes, __LINE__, MEM_KIND_C, "FF_TIF.TIFLoad.tile");
    const int32_t planes = separate ? k.outSamples : 1;
    for (int32_t p = 0; p < planes; ++p) {
        for (uint64_t y = 0; y < h.height; y += tileLength) {
            for (uint64_t x = 0; x < h.width; x += tileWidth) {
                TIFCheck_(TIFFReadTile(h.tif, tile, static_cast<uint32_t>(x),
                                       static_cast<uint32_t>(y), 0, static_cast<uint16_t>(p)) >= 0,
                          3, __LINE__);
                const auto cols = static_cast<uint32_t>(std::min<uint64_t>(tileWidth, h.width - x));
                const auto rows = static_cast<uint32_t>(std::min<uint64_t>(tileLength, h.height - y));
                for (uint32_t r = 0; r < rows; ++r)
                    TIFPut_(k, bits, static_cast<uint32_t>(y) + r, static_cast<uint32_t>(x), cols,
                            tile + static_cast<size_t>(r) * static_cast<size_t>(tileRowBytes),
                            separate ? p : -1);
            }
        }
    }
    MemFree(tile);
}

// 16-bit samples are stretched between their minimum and maximum over all samples:
// round((s - min) / ((max - min) / 255)), ties to even; all 0 when max = min.
void TIFScale16_(const uint16_t* src, size_t count, uint8_t* dst) {
    if (count == 0) return;
    const auto [lo, hi] = std::minmax_element(src, src + count);
    const uint32_t min = *lo, max = *hi;
    std::vector<uint8_t> map(max - min + 1, 0);
    if (max > min) {
        const double step = (max - min) / 255.0;
        for (uint32_t v = 0; v <= max - min; ++v)
            map[v] = static_cast<uint8_t>(std::clamp(std::nearbyint(v / step), 0.0, 255.0));
    }
    for (size_t i = 0; i < count; ++i) dst[i] = map[src[i] - min];
}

// Separated CMYK (stored Y, M, C, K by the sink) becomes blue, green, red and an unused 0.
void TIFCmykToBgr_(uint8_t* pixels, size_t count) {
    for (size_t i = 0; i < count; ++i, pixels += 4) {
        const int k = 255 - pixels[3];
        for (int c = 0; c < 3; ++c)
            pixels[c] = static_cast<uint8_t>(((255 - pixels[c]) * k + 127) / 255);
        pixels[3] = 0;
    }
}

void TIFPalette_(const QTifHandle& h, Qimg& image) {
    QBGR* pal = image.palette;
    const bool bilevel = h.bitsPerSample == 1;
    switch (h.photometric) {
        case PHOTOMETRIC_MINISWHITE:
            if (bilevel) {
                pal[0] = QBGR{255, 255, 255};
                pal[1] = QBGR{0, 0, 0};
            } else {
                PalGreyRampInv(pal);
            }
            break;
        case PHOTOMETRIC_MINISBLACK:
            if (bilevel) {
                pal[0] = QBGR{0, 0, 0};
                pal[1] = QBGR{255, 255, 255};
            } else {
                PalGreyRamp(pal);
            }
            break;
        case PHOTOMETRIC_PALETTE: {
            uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
            // libtiff keeps 2^bits entries per colour for a palette picture.
            if (!TIFFGetField(h.tif, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue)
                break;
            const int32_t count = h.bitsPerSample >= 9 ? 256 : 1 << h.bitsPerSample;
            const int shift = checkpal_(count, red, green, blue) == 16 ? 8 : 0;
            for (int32_t i = 0; i < count; ++i)
                pal[i] = QBGR{static_cast<uint8_t>(blue[i] >> shift),
                              static_cast<uint8_t>(green[i] >> shift),
                              static_cast<uint8_t>(red[i] >> shift)};
            break;
        }
        default: break;
    }
}

void TIFRead_(QTifHandle& h, Qimg& image) {
    if (!h.supported) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
    const int32_t outSamples = TIFOutSamples_(h);
    const int32_t width = static_cast<int32_t>(h.width);
    const int32_t height = static_cast<int32_t>(h.height);
    _imgalloc_(image, width, height, "FF_TIF.TIFLoad.img", __LINE__, outSamples * 8);
    TIFPalette_(h, image);
    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height) *
                           static_cast<size_t>(outSamples);
    TIFSink_ sink = TIFMakeSink_(h.width, h.samplesPerPixel, outSamples, image.data);
    if (h.bitsPerSample == 16)
        _memalloc_(sink.dest16, static_cast<int64_t>(samples * 2), __LINE__, MEM_KIND_C,
                   "FF_TIF.TIFLoad.tempimg");
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(h.tif, TIFFTAG_PLANARCONFIG, &planar);
    const bool separate = planar == PLANARCONFIG_SEPARATE && h.samplesPerPixel > 1;
    if (TIFFIsTiled(h.tif))
        TIFReadTiles_(h, sink, separate);
    else
        TIFReadStrips_(h, sink, separate);
    if (sink.dest16) {
        TIFScale16_(sink.dest16, samples, image.data);
        MemFree(sink.dest16);
    }
    uint16_t inkSet = INKSET_CMYK;
    TIFFGetFieldDefaulted(h.tif, TIFFTAG_INKSET, &inkSet);
    if (h.photometric == PHOTOMETRIC_SEPARATED && outSamples == 4 && inkSet == INKSET_CMYK)
        TIFCmykToBgr_(image.data, static_cast<size_t>(width) * static_cast<size_t>(height));
    ImgSetSize(image, width, height, outSamples * 8);
}

// Runs `body` on an open handle and closes it afterwards, also when the body fails (the libtiff
// handle is not a tracked file, so the frame's release would not close it).
template <class Body>
void TIFWith_(QTifHandle& h, Body&& body) {
    try {
        body();
    } catch (...) {
        TIFClose_(h);
        throw;
    }
    TIFClose_(h);
}

// libtiff's error procedure: keeps the message; the reader raises (ERR_LIBRARY, ERR_MSGONLY) with
// it as soon as the libtiff call returns (never from inside libtiff). Private to this reader: the
// PNG reader has a procedure of the same name for libpng.
void error_handler_(const char* message) {
    try {
        if (tifError.empty()) tifError = (message && *message) ? message : "TIFF error";
    } catch (...) {}
}

// libtiff's warning procedure: the message becomes the last warning.
void warning_handler_(const char* message) {
    try {
        ErrNoteMsg(ERR_LIBRARY, message ? message : "", __LINE__);
    } catch (...) {}
}

}  // namespace

int32_t checkpal_(int32_t count, const uint16_t* red, const uint16_t* green, const uint16_t* blue) {
    for (int32_t i = 0; i < count; ++i)
        if (red[i] >= 256 || green[i] >= 256 || blue[i] >= 256) return 16;
    return 8;
}

void TIFOpen_(QTifHandle& h, const std::string& fileName) {
    Monitored([&] {
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        tifError.clear();
        ExternErrorSet(error_handler_);
        ExternWarningSet(warning_handler_);
        // libtiff would wait forever on a pipe: only regular files are opened.
        std::error_code ec;
        if (std::filesystem::is_regular_file(fileName, ec)) h.tif = TIFFOpen(fileName.c_str(), "r");
        try {
            // libtiff may report an error and still return a handle: it is closed as well.
            TIFCheck_(h.tif != nullptr, IMG_OPEN, __LINE__);
            TIFFGetField(h.tif, TIFFTAG_IMAGEWIDTH, &h.width);
            TIFFGetField(h.tif, TIFFTAG_IMAGELENGTH, &h.height);
            TIFFGetFieldDefaulted(h.tif, TIFFTAG_COMPRESSION, &h.compression);
            TIFFGetFieldDefaulted(h.tif, TIFFTAG_PHOTOMETRIC, &h.photometric);
            TIFFGetFieldDefaulted(h.tif, TIFFTAG_BITSPERSAMPLE, &h.bitsPerSample);
            TIFFGetFieldDefaulted(h.tif, TIFFTAG_SAMPLESPERPIXEL, &h.samplesPerPixel);
            // JPEG-coded YCbCr is delivered as RGB by the codec; the scan line size follows.
            if (h.compression == COMPRESSION_JPEG && h.photometric == PHOTOMETRIC_YCBCR)
                TIFFSetField(h.tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            h.scanlineSize = static_cast<int64_t>(TIFFScanlineSize64(h.tif));
            TIFCheck_(true, 0, __LINE__);
            h.supported = TIFSupported_(h);
        } catch (...) {
            TIFClose_(h);
            throw;
        }
    });
}

void TIFClose_(QTifHandle& h) {
    if (h.tif) TIFFClose(h.tif);
    std::memset(static_cast<void*>(&h), 0, sizeof h);
}

void TIFInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QTifHandle h;
        TIFOpen_(h, fileName);
        const int32_t bits = h.bitsPerSample == 16 ? h.samplesPerPixel * 8
                                                   : h.bitsPerSample * h.samplesPerPixel;
        FFFillPictureInfo(info, FileSizeByName(fileName), static_cast<int32_t>(h.width),
                          static_cast<int32_t>(h.height), (bits + 7) / 8, bits, h.supported);
        info.videoCompression = CompressionName_(h.compression);
        TIFClose_(h);
    });
}

void TIFLoad(const std::string& fileName, Qimg& image) {
    Monitored([&] {
        QTifHandle h;
        TIFOpen_(h, fileName);
        TIFWith_(h, [&] { TIFRead_(h, image); });
    });
}

}  // namespace kelvora
