#include "image/ImgBasic.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "image/PalOpt.h"
#include "platform/AvCommon.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

// A video frame the decoders accept must be a picture the readers accept, and no larger.
static_assert(AV_MAX_PIXELS == IMG_MAX_PIXELS, "the video layer's pixel limit is the image one");

namespace {

void ClearHeader_(Qimg& image) {
    image.size = 0;
    image.width = 0;
    image.height = 0;
    image.bytesPP = 0;
    image.bitsPP = 0;
    image.redirected = 0;
}

int32_t BytesOf_(int32_t bits) { return (bits + 7) / 8; }

// Whether the record's pixels are a live block registered to this record (not a block that
// reuses the address of pixels a failure released).
bool OwnsPixels_(const Qimg& image) { return MemIsTrackedBy(&image.data, image.data); }

}  // namespace

void _imgalloc_(Qimg& image, int32_t width, int32_t height, const std::string& name, int32_t line,
                int32_t bits) {
    Monitored([&] {
        if (!OwnsPixels_(image)) {
            // The record may hold garbage, foreign pixels it must not resize, or a pointer a
            // failure released (its address may since be another owner's block).
            ClearHeader_(image);
            image.data = nullptr;
        }
        const int32_t bytes = BytesOf_(bits);
        // Negative dimensions are refused like a zero size rather than multiplied into a
        // positive one.
        const int64_t size = (width <= 0 || height <= 0 || bytes <= 0)
                                 ? 0
                                 : static_cast<int64_t>(width) * height * bytes;
        if (size > INT32_MAX) ErrRaiseCode(ERR_MEM, MEM_INVALID_REQUEST, line);
        _memalloc_(image.data, size, line, MEM_KIND_C, "(ImgAlloc):" + name);
        image.size = static_cast<int32_t>(size);
        image.width = width;
        image.height = height;
        image.bytesPP = bytes;
        image.bitsPP = bits;
        image.redirected = 0;
    });
}

int32_t ImgDepthSlot(int32_t bits) {
    switch (bits) {
        case 8: return 0;
        case 15: return 1;
        case 16: return 2;
        case 24: return 3;
        case 32: return 4;
        default: return 5;
    }
}

void ImgFree(Qimg& image) {
    if (!image.redirected && OwnsPixels_(image)) MemFree(image.data);
    std::memset(static_cast<void*>(&image), 0, sizeof(Qimg));
}

void ImgRedirect(Qimg& image, uint8_t* pixels, int32_t width, int32_t bits, int32_t height) {
    if (!image.redirected && OwnsPixels_(image))
        MemFree(image.data);
    else
        std::memset(static_cast<void*>(&image), 0, sizeof(Qimg));
    image.data = pixels;
    image.width = width;
    image.height = height;
    image.bitsPP = bits;
    image.bytesPP = BytesOf_(bits);
    image.size = width * height * image.bytesPP;
    image.redirected = -1;
}

bool ImgValid(const Qimg& image) {
    return image.data != nullptr && (image.redirected != 0 || OwnsPixels_(image));
}

void ImgSetSize(Qimg& image, int32_t width, int32_t height, int32_t bits) {
    image.width = width;
    image.height = height;
    image.bitsPP = bits;
    image.bytesPP = BytesOf_(bits);
    if (image.redirected) image.size = width * height * image.bytesPP;
}

void ImgCopyHeader(const Qimg& source, Qimg& destination) {
    destination.width = source.width;
    destination.height = source.height;
    destination.bytesPP = source.bytesPP;
    destination.bitsPP = source.bitsPP;
}

void ImgCopyPalette(const Qimg& source, Qimg& destination) {
    if (&source != &destination && source.bitsPP == 8)
        std::memcpy(destination.palette, source.palette, sizeof(source.palette));
}

void ImgCopyData(const Qimg& source, Qimg& destination) {
    if (&source == &destination) return;
    _imgalloc_(destination, source.width, source.height, "ImgBasic.ImgCopyData.dest", __LINE__,
               source.bitsPP);
    std::memcpy(destination.data, source.data,
                static_cast<size_t>(source.width) * source.height * source.bytesPP);
}

void ImgCopy(const Qimg& source, Qimg& destination) {
    if (&source == &destination) return;
    ImgCopyHeader(source, destination);
    ImgCopyData(source, destination);
    ImgCopyPalette(source, destination);
}

void ImgXchg(Qimg& a, Qimg& b) {
    if (&a == &b) return;
    const bool ta = !a.redirected && OwnsPixels_(a);
    const bool tb = !b.redirected && OwnsPixels_(b);
    if (ta && tb) {
        MemXchg(a.data, b.data);
    } else {
        // Only one side owns a block (the other is empty or redirected): the registration
        // follows the block to its new variable.
        if (ta) MemSetOwnerRaw_(a.data, &b.data);
        if (tb) MemSetOwnerRaw_(b.data, &a.data);
    }
    std::swap(a, b);
}

// --- Pixel-format conversion ----------------------------------------------------------------

namespace {

static_assert(sizeof(QBGR) == 3, "palette entries are packed triples");

bool KnownDepth_(int32_t bits) {
    return bits == 8 || bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

// True when the record's pixel block covers width x height pixels of `bits`.
bool Holds_(const Qimg& image, int32_t width, int32_t height, int32_t bits) {
    return ImgValid(image) && image.bitsPP == bits && image.bytesPP == BytesOf_(bits) &&
           image.width == width && image.height == height &&
           static_cast<int64_t>(width) * height * image.bytesPP <= image.size;
}

// Every transform starts here, so a record without a usable picture never reaches a loop.
void CheckImage_(const Qimg& image) {
    if (!ImgValid(image) || image.width <= 0 || image.height <= 0)
        ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
    if (!KnownDepth_(image.bitsPP)) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
    if (!Holds_(image, image.width, image.height, image.bitsPP))
        ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
}

int64_t PixelCount_(const Qimg& image) { return static_cast<int64_t>(image.width) * image.height; }

uint32_t Get16_(const uint8_t* p) { return p[0] | (p[1] << 8); }

void Put16_(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

template <bool Six>  // 5-6-5 when true, else 5-5-5
uint32_t Pack_(uint32_t b, uint32_t g, uint32_t r) {
    return Six ? ((r >> 3) << 11) + ((g >> 2) << 5) + (b >> 3)
               : ((r >> 3) << 10) + ((g >> 3) << 5) + (b >> 3);
}

template <bool Six>
void Pal8To16_(const Qimg& src, uint8_t* d, int64_t n) {
    uint16_t table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<uint16_t>(
            Pack_<Six>(src.palette[i].blue, src.palette[i].green, src.palette[i].red));
    const uint8_t* s = src.data;
    for (int64_t k = 0; k < n; ++k, d += 2) Put16_(d, table[s[k]]);
}

void Pal8ToTrue_(const Qimg& src, uint8_t* d, int64_t n, int32_t db) {
    const uint8_t* s = src.data;
    for (int64_t k = 0; k < n; ++k, d += db) {
        const QBGR& c = src.palette[s[k]];
        d[0] = c.blue;
        d[1] = c.green;
        d[2] = c.red;
        if (db == 4) d[3] = 0;
    }
}

template <bool Six>  // source 5-6-5 when true
void Word16ToTrue_(const uint8_t* s, uint8_t* d, int64_t n, int32_t db) {
    for (int64_t k = 0; k < n; ++k, s += 2, d += db) {
        const uint32_t v = Get16_(s);
        d[0] = static_cast<uint8_t>((v & 31) << 3);
        d[1] = static_cast<uint8_t>(Six ? ((v >> 5) & 63) << 2 : ((v >> 5) & 31) << 3);
        d[2] = static_cast<uint8_t>(Six ? (v >> 11) << 3 : ((v >> 10) & 31) << 3);
        if (db == 4) d[3] = 0;
    }
}

template <bool Six>
void TrueTo16_(const uint8_t* s, uint8_t* d, int64_t n, int32_t sb) {
    for (int64_t k = 0; k < n; ++k, s += sb, d += 2) Put16_(d, Pack_<Six>(s[0], s[1], s[2]));
}

// Every rule of the conversion table except the 8-bit results; depths differ.
void ConvPixels_(const Qimg& src, Qimg& dst) {
    const int64_t n = PixelCount_(src);
    const int32_t to = dst.bitsPP;
    const int32_t db = dst.bytesPP;
    const uint8_t* s = src.data;
    uint8_t* d = dst.data;
    switch (src.bitsPP) {
        case 8:
            if (to == 15)
                Pal8To16_<false>(src, d, n);
            else if (to == 16)
                Pal8To16_<true>(src, d, n);
            else
                Pal8ToTrue_(src, d, n, db);
            break;
        case 15:
            if (to == 16) {
                // Red and green move up one bit; the new lowest green bit is 0.
                for (int64_t k = 0; k < n; ++k, s += 2, d += 2) {
                    const uint32_t v = Get16_(s);
                    Put16_(d, ((v & 0x7FE0) << 1) | (v & 0x1F));
                }
            } else {
                Word16ToTrue_<false>(s, d, n, db);
            }
            break;
        case 16:
            if (to == 15) {
                for (int64_t k = 0; k < n; ++k, s += 2, d += 2) {
                    const uint32_t v = Get16_(s);
                    Put16_(d, ((v >> 1) & 0x7FE0) | (v & 0x1F));
                }
            } else {
                Word16ToTrue_<true>(s, d, n, db);
            }
            break;
        default: {  // 24 or 32
            const int32_t sb = src.bytesPP;
            if (to == 15) {
                TrueTo16_<false>(s, d, n, sb);
            } else if (to == 16) {
                TrueTo16_<true>(s, d, n, sb);
            } else {
                for (int64_t k = 0; k < n; ++k, s += sb, d += db) {
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                    if (db == 4) d[3] = 0;
                }
            }
        }
    }
}

// Grey levels (R8 + G8 + B8) div 3 with the grey-ramp palette. The 15 and 16-bit channels are
// widened with fixed low bits (green gets 14 and 6, not 7 and 3).
void ConvGrey_(const Qimg& src, Qimg& dst) {
    uint8_t third[768];
    for (int k = 0; k < 768; ++k) third[k] = static_cast<uint8_t>(k / 3);
    const int64_t n = PixelCount_(src);
    const uint8_t* s = src.data;
    uint8_t* d = dst.data;
    if (src.bitsPP == 15 || src.bitsPP == 16) {
        const bool six = src.bitsPP == 16;
        for (int64_t k = 0; k < n; ++k, s += 2) {
            const uint32_t v = Get16_(s);
            const uint32_t b = (v & 31) * 8 + 7;
            const uint32_t g = six ? (((v >> 5) & 63) * 4) | 6 : (((v >> 5) & 31) * 8) | 14;
            const uint32_t r = six ? (v >> 11) * 8 + 7 : ((v >> 10) & 31) * 8 + 7;
            d[k] = third[r + g + b];
        }
    } else {
        const int32_t sb = src.bytesPP;
        for (int64_t k = 0; k < n; ++k, s += sb) d[k] = third[s[0] + s[1] + s[2]];
    }
    PalGreyRamp(dst.palette);
}

}  // namespace

void ImgConvBpp(Qimg& source, Qimg& destination, int32_t bits) {
    ImgConvBppEx(source, destination, bits, 0);
}

void ImgConvBppEx(Qimg& source, Qimg& destination, int32_t bits, int32_t method) {
    Monitored([&] {
        CheckImage_(source);
        if (!KnownDepth_(bits)) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        if (bits == 8 && (method < 0 || method > 3)) ErrFail(ERR_IMG, IMG_INIT);
        const bool same = &source == &destination;
        if (source.bitsPP == bits) {
            if (!same) ImgCopy(source, destination);
            return;
        }
        Qimg temp{};
        Qimg& out = same ? temp : destination;
        _imgalloc_(out, source.width, source.height,
                   same ? "ImgBasic.ImgConvBppEx.ih_temp" : "ImgBasic.ImgConvBppEx.dest", __LINE__,
                   bits);
        if (bits != 8)
            ConvPixels_(source, out);
        else if (method == 3)
            ConvGrey_(source, out);
        else
            ConvTo8bit(source, out, method == 1 ? 2 : method == 2 ? 1 : 0);  // quantizer numbering
        if (same) {
            ImgXchg(temp, source);
            ImgFree(temp);
        }
    });
}

// --- The image operation frame --------------------------------------------------------------

namespace {}  // namespace

void ImgInitInfo(QImgInfo& info) {
    info = QImgInfo{};
    for (int32_t& depth : info.depthMap) depth = 24;
    info.inPlace = true;
}

void ImgInfo(QImgInfo& info, int32_t operation) {
    ImgInitInfo(info);
    const int32_t identity[6] = {8, 15, 16, 24, 32, 24};
    switch (operation) {
        case IMGOP_FLIPV: std::copy(identity, identity + 6, info.depthMap); break;
        case IMGOP_SWAPRB:
            std::copy(identity, identity + 6, info.depthMap);
            info.paletteMode = true;
            break;
        case IMGOP_SPRITE:
            std::copy(identity, identity + 6, info.depthMap);
            info.inPlace = false;
            info.convertDest = true;
            break;
        case IMGOP_RESIZE:
            info.depthMap[0] = 8;
            info.inPlace = false;
            break;
        case IMGOP_INSERT:
            std::copy(identity, identity + 6, info.depthMap);
            info.inPlace = false;
            info.higherDepth = true;
            break;
        default: break;
    }
}

void ImgInitEx(const QImgInfo& info, QImgJob& job, Qimg& source, int32_t height, int32_t width,
               Qimg* destination) {
    Monitored([&] {
        job = QImgJob{};
        if (destination == nullptr) {
            if (!info.inPlace) ErrFail(ERR_IMG, IMG_INIT);
            destination = &source;
        }
        CheckImage_(source);
        if (width <= 0 || height <= 0) ErrFail(ERR_IMG, IMG_INIT);
        Qimg& dest = *destination;
        int32_t depth = info.depthMap[ImgDepthSlot(source.bitsPP)];
        if (info.higherDepth && depth != dest.bitsPP) {
            if (dest.bitsPP < depth)
                ImgConvBpp(dest, dest, depth);
            else
                depth = dest.bitsPP;
        }
        if (info.convertDest && depth != dest.bitsPP) ImgConvBpp(dest, dest, depth);

        if (depth != source.bitsPP) {
            ImgConvBpp(source, job.temp, depth);
            job.freeTemp = true;
            job.src = &job.temp;
            job.dest = &dest;
        } else if (info.inPlace || &source != &dest) {
            job.src = &source;
            job.dest = &dest;
        } else {
            _imgalloc_(job.temp, width, height, "ImgBasic.ImgInitEx.temp_ih", __LINE__, depth);
            job.src = &source;
            job.dest = &job.temp;
            job.xchgTemp = true;
            job.freeTemp = true;
        }
        // A destination that already holds the result's geometry keeps its block, so pasting
        // into a redirected picture writes into its own pixels.
        if (job.src != job.dest) {
            if (!Holds_(*job.dest, width, height, depth))
                _imgalloc_(*job.dest, width, height, "ImgBasic.ImgInitEx.pdest^", __LINE__, depth);
            ImgSetSize(*job.dest, width, height, depth);
        }

        Qimg& ws = *job.src;
        Qimg& wd = *job.dest;
        job.newWidth = width;
        job.newHeight = height;
        job.srcRowBytes = ws.width * ws.bytesPP;
        job.destRowBytes = width * wd.bytesPP;
        if (info.paletteMode && ws.bitsPP == 8) {
            job.copyPixels = true;
            job.srcBytes = job.destBytes = sizeof ws.palette;
            job.srcCount = job.destCount = 256;
            job.elemSize = 3;
            job.srcElems = reinterpret_cast<uint8_t*>(ws.palette);
            job.destElems = reinterpret_cast<uint8_t*>(wd.palette);
        } else {
            job.copyPalette = ws.bitsPP == 8;
            job.srcBytes = job.srcRowBytes * ws.height;
            job.destBytes = job.destRowBytes * height;
            job.srcCount = ws.width * ws.height;
            job.destCount = width * height;
            job.elemSize = ws.bytesPP;
            job.srcElems = ws.data;
            job.destElems = wd.data;
        }
    });
}

void ImgDone(QImgJob& job) {
    Monitored([&] {
        Qimg& src = *job.src;
        Qimg& dest = *job.dest;
        if (job.copyPixels) {
            if (&src != &dest)
                std::memcpy(dest.data, src.data,
                            static_cast<size_t>(std::min(PixelCount_(src), PixelCount_(dest))) *
                                src.bytesPP);
        } else if (job.copyPalette) {
            ImgCopyPalette(src, dest);
        }
        Qimg* result = &dest;
        if (job.xchgTemp) {
            ImgXchg(job.temp, src);
            result = &src;
        }
        if (job.freeTemp) ImgFree(job.temp);
        result->width = job.newWidth;
        result->height = job.newHeight;
    });
}

// --- Transforms -----------------------------------------------------------------------------

void ImgFlipV(Qimg& source, Qimg& destination) {
    Monitored([&] {
        QImgInfo info;
        ImgInfo(info, IMGOP_FLIPV);
        QImgJob job;
        ImgInitEx(info, job, source, source.height, source.width, &destination);
        const int64_t row = job.srcRowBytes;
        const int32_t height = job.src->height;
        uint8_t* s = job.src->data;
        uint8_t* d = job.dest->data;
        if (s == d) {
            for (int32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
                SwapBytes(row, s + top * row, s + bottom * row);
        } else {
            for (int32_t i = 0; i < height; ++i)
                std::memcpy(d + (height - 1 - i) * row, s + i * row, static_cast<size_t>(row));
        }
        ImgDone(job);
    });
}

void ImgSwapRB(Qimg& source, Qimg& destination) {
    Monitored([&] {
        QImgInfo info;
        ImgInfo(info, IMGOP_SWAPRB);
        QImgJob job;
        ImgInitEx(info, job, source, source.height, source.width, &destination);
        const int64_t n = job.srcCount;
        const int32_t e = job.elemSize;
        const uint8_t* s = job.srcElems;
        uint8_t* d = job.destElems;
        if (e >= 3) {
            for (int64_t k = 0; k < n; ++k, s += e, d += e) {
                const uint8_t first = s[0];
                d[0] = s[2];
                d[1] = s[1];
                d[2] = first;
                if (e == 4) d[3] = s[3];
            }
        } else {
            // 15 and 16 bits: the red and blue fields change places, green (and the unused top
            // bit of 5-5-5) stays.
            const bool six = job.src->bitsPP == 16;
            const uint32_t keep = six ? 0x07E0 : 0x83E0;
            const int shift = six ? 11 : 10;
            for (int64_t k = 0; k < n; ++k, s += 2, d += 2) {
                const uint32_t v = Get16_(s);
                Put16_(d, (v & keep) | ((v >> shift) & 31) | ((v & 31) << shift));
            }
        }
        ImgDone(job);
    });
}

void ImgResize(Qimg& source, Qimg& destination, int32_t width, int32_t height) {
    Monitored([&] {
        QImgInfo info;
        ImgInfo(info, IMGOP_RESIZE);
        QImgJob job;
        ImgInitEx(info, job, source, height, width, &destination);
        const Qimg& src = *job.src;
        const int32_t e = src.bytesPP;  // 1 or 3
        constexpr int64_t unit = 100000;
        const int64_t stepX = src.width * unit / width;
        const int64_t stepY = src.height * unit / height;
        // Enlarging (or equal) takes the floor of k * step, reducing the ceiling.
        auto position = [](int64_t k, int64_t step) {
            const int64_t p = k * step;
            return step <= unit ? p / unit : (p + unit - 1) / unit;
        };
        std::vector<int32_t> column(static_cast<size_t>(width));
        for (int32_t k = 0; k < width; ++k)
            column[k] = static_cast<int32_t>(std::min<int64_t>(position(k, stepX), src.width - 1)) *
                        e;

        const int64_t destRow = job.destRowBytes;
        uint8_t* previous = nullptr;
        int64_t previousY = -1;
        for (int32_t k = 0; k < height; ++k) {
            const int64_t y = position(k, stepY);
            if (y >= src.height) break;
            uint8_t* out = job.dest->data + k * destRow;
            if (y == previousY) {
                std::memcpy(out, previous, static_cast<size_t>(destRow));
            } else {
                const uint8_t* in = src.data + y * job.srcRowBytes;
                if (e == 1) {
                    for (int32_t x = 0; x < width; ++x) out[x] = in[column[x]];
                } else {
                    uint8_t* o = out;
                    for (int32_t x = 0; x < width; ++x, o += 3) {
                        const uint8_t* p = in + column[x];
                        o[0] = p[0];
                        o[1] = p[1];
                        o[2] = p[2];
                    }
                }
            }
            previous = out;
            previousY = y;
        }
        ImgDone(job);
    });
}

namespace {

struct PasteArea_ {
    int32_t sx, sy;  // first visible source pixel
    int32_t dx, dy;  // where it lands
    int32_t width, height;
};

// Copies the visible rectangle. With `keyed`, a pixel equal to the key's low bytes (as a byte,
// word, word plus third byte or 32-bit word) is skipped; with `mask`, the test is made on the
// mask's 8-bit indices instead.
void PasteRows_(const Qimg& src, Qimg& dest, const PasteArea_& area, bool keyed, uint32_t key,
                const Qimg* mask) {
    const int32_t e = dest.bytesPP;
    const uint8_t keyBytes[4] = {static_cast<uint8_t>(key), static_cast<uint8_t>(key >> 8),
                                 static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 24)};
    for (int32_t r = 0; r < area.height; ++r) {
        const uint8_t* s = src.data + (static_cast<int64_t>(area.sy + r) * src.width + area.sx) * e;
        uint8_t* d = dest.data + (static_cast<int64_t>(area.dy + r) * dest.width + area.dx) * e;
        if (!keyed) {
            std::memcpy(d, s, static_cast<size_t>(area.width) * e);
        } else if (mask != nullptr) {
            const uint8_t* m = mask->data + static_cast<int64_t>(area.sy + r) * mask->width + area.sx;
            for (int32_t c = 0; c < area.width; ++c)
                if (m[c] != keyBytes[0]) std::memcpy(d + c * e, s + c * e, e);
        } else if (e == 1) {  // 8-bit sprites (animation frames): a branch-free select
            for (int32_t c = 0; c < area.width; ++c) d[c] = s[c] == keyBytes[0] ? d[c] : s[c];
        } else {
            for (int32_t c = 0; c < area.width; ++c)
                if (std::memcmp(s + c * e, keyBytes, e) != 0) std::memcpy(d + c * e, s + c * e, e);
        }
    }
}

// Source pixels hidden in front of the left or top edge when pasting at `position`.
int32_t Hidden_(int32_t position) {
    return position >= 0 ? 0 : position == INT32_MIN ? INT32_MAX : -position;
}

// ImgInsert ('+') and ImgSprite ('&').
void AutoPut_(Qimg& source, Qimg& destination, int32_t x, int32_t y, int32_t operation, uint32_t key) {
    Monitored([&] {
        if (x >= destination.width || y >= destination.height || &source == &destination) return;
        CheckImage_(source);
        // A negative position hides the source's first columns or rows instead of writing in
        // front of the picture.
        PasteArea_ area{};
        area.sx = Hidden_(x);
        area.sy = Hidden_(y);
        area.dx = std::max(x, 0);
        area.dy = std::max(y, 0);
        area.width = std::min(source.width - area.sx, destination.width - area.dx);
        area.height = std::min(source.height - area.sy, destination.height - area.dy);
        if (area.width <= 0 || area.height <= 0) return;
        CheckImage_(destination);
        const bool keyed = operation == IMGOP_SPRITE;

        if (keyed && source.bitsPP == 8 && destination.bitsPP != 8) {
            // Bringing the destination down to the sprite's 8 bits would show its own pixels
            // through the sprite's palette; the sprite is raised to the destination's depth
            // instead and keyed on its indices.
            Qimg colours{};
            ImgConvBpp(source, colours, destination.bitsPP);
            PasteRows_(colours, destination, area, true, key, &source);
            ImgFree(colours);
            return;
        }
        QImgInfo info;
        ImgInfo(info, operation);
        QImgJob job;
        ImgInitEx(info, job, source, destination.height, destination.width, &destination);
        PasteRows_(*job.src, *job.dest, area, keyed, key, nullptr);
        ImgDone(job);
    });
}

}  // namespace

void ImgInsert(Qimg& source, Qimg& destination, int32_t x, int32_t y) {
    AutoPut_(source, destination, x, y, IMGOP_INSERT, 0);
}

void ImgSprite(Qimg& source, Qimg& destination, int32_t x, int32_t y, uint32_t key) {
    AutoPut_(source, destination, x, y, IMGOP_SPRITE, key);
}

// --- Building records from memory -----------------------------------------------------------

void ImgRowTo24(bool swap, int32_t step, int32_t count, uint8_t* destination, const uint8_t* source) {
    uint8_t* d = destination;
    const uint8_t* s = source;
    if (step >= 3) {
        for (int32_t k = 0; k < count; ++k, s += step, d += 3) {
            const uint8_t a = s[0], b = s[1], c = s[2];
            d[0] = swap ? c : a;
            d[1] = b;
            d[2] = swap ? a : c;
        }
    } else if (step == 2) {
        // 5-5-5 words come out red first unless swapped.
        for (int32_t k = 0; k < count; ++k, s += 2, d += 3) {
            const uint32_t v = Get16_(s);
            const auto red = static_cast<uint8_t>(((v >> 10) & 31) << 3);
            const auto green = static_cast<uint8_t>(((v >> 5) & 31) << 3);
            const auto blue = static_cast<uint8_t>((v & 31) << 3);
            d[0] = swap ? blue : red;
            d[1] = green;
            d[2] = swap ? red : blue;
        }
    }
}

void PalGreyRamp(QBGR* palette) {
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<uint8_t>(i);
        palette[i] = QBGR{v, v, v};
    }
}

void PalGreyRampInv(QBGR* palette) {
    for (int i = 0; i < 255; ++i) {
        const auto v = static_cast<uint8_t>(255 - i);
        palette[i] = QBGR{v, v, v};
    }
}

void MakeQimg(Qimg& image, const uint8_t* buffer, int32_t width, bool topDown, int32_t stride,
              int32_t bits, int32_t height) {
    Monitored([&] {
        if (buffer == nullptr) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        _imgalloc_(image, width, height, "ImgBasic.MakeQimg.img", __LINE__, bits);
        const int64_t row = static_cast<int64_t>(width) * image.bytesPP;
        if (stride == row && topDown) {
            std::memcpy(image.data, buffer, static_cast<size_t>(row * height));
            return;
        }
        for (int32_t r = 0; r < height; ++r)
            std::memcpy(image.data + (topDown ? r : height - 1 - r) * row,
                        buffer + static_cast<int64_t>(r) * stride, static_cast<size_t>(row));
    });
}

namespace {

uint32_t Get32_(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr int64_t DIB_HEADER_ = 40;  // the fields read below end here

}  // namespace

void DibToQimg(Qimg& image, const uint8_t* block, int64_t blockSize) {
    Monitored([&] {
        if (block == nullptr || blockSize < DIB_HEADER_) ErrFail(ERR_IMG, IMG_BAD_HEADER);
        const int64_t headerSize = Get32_(block);
        const auto width = static_cast<int32_t>(Get32_(block + 4));
        const auto rawHeight = static_cast<int32_t>(Get32_(block + 8));
        const uint32_t bitCount = Get16_(block + 14);
        const uint32_t compression = Get32_(block + 16);
        const uint32_t used = Get32_(block + 32);
        if (headerSize < DIB_HEADER_ || headerSize > blockSize) ErrFail(ERR_IMG, IMG_BAD_HEADER);
        if (width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN)
            ErrFail(ERR_IMG, IMG_BAD_HEADER);
        int32_t bits = 0;
        switch (bitCount) {
            case 8: bits = 8; break;
            case 16: bits = 15; break;  // 16-bit rows without bit fields hold 5-5-5 pixels
            case 24: bits = 24; break;
            case 32: bits = 32; break;
            default: ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        }
        // Run-length and bit-field bitmaps are not plain rows.
        if (compression != 0) ErrFail(ERR_IMG, IMG_NOT_SUPPORTED);
        int64_t colours = 0;
        if (bits == 8) {
            if (used > 256) ErrFail(ERR_IMG, IMG_BAD_HEADER);
            colours = used == 0 ? 256 : used;
        }
        const bool topDown = rawHeight < 0;
        const int32_t height = topDown ? -rawHeight : rawHeight;
        const int64_t stride = (static_cast<int64_t>(width) * ((bitCount + 7) / 8) + 3) & ~int64_t{3};
        const int64_t pixels = headerSize + colours * 4;
        if (stride > INT32_MAX) ErrFail(ERR_IMG, IMG_BAD_HEADER);
        if (pixels > blockSize || stride * height > blockSize - pixels)
            ErrFail(ERR_IMG, IMG_CORRUPT);
        MakeQimg(image, block + pixels, width, topDown, static_cast<int32_t>(stride), bits, height);
        const uint8_t* table = block + headerSize;
        for (int64_t i = 0; i < colours; ++i, table += 4)
            image.palette[i] = QBGR{table[0], table[1], table[2]};
    });
}

}  // namespace kelvora
