#include "formats/FFBasic.h"

#include <cmath>
#include <cstring>

#include "formats/FileFmtDef.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

// --- Bounded byte reader ----------------------------------------------------------------------

QByteReader ByteReader(const void* data, int64_t size) {
    return QByteReader{static_cast<const uint8_t*>(data), size < 0 ? 0 : size, 0, false};
}

void BrBytes(QByteReader& r, void* destination, int64_t count) {
    if (count <= 0) return;
    const uint8_t* p = BrTake(r, count);
    if (p) std::memcpy(destination, p, static_cast<size_t>(count));
    else std::memset(destination, 0, static_cast<size_t>(count));
}


void BrSeek(QByteReader& r, int64_t position) {
    if (position < 0 || position > r.size) {
        r.overrun = true;
        r.pos = r.size;
    } else {
        r.pos = position;
    }
}


bool FFSaneGeometry(int64_t width, int64_t height, int32_t bits) {
    if (width <= 0 || height <= 0 || width > FF_MAX_SIDE || height > FF_MAX_SIDE) return false;
    if (bits <= 0 || bits > 32) return false;
    return width * height * ((bits + 7) / 8) <= FF_MAX_PIXEL_BYTES;
}

// --- Output depth table -------------------------------------------------------------------------

namespace {
struct DepthRow {
    int32_t type;
    int32_t depth[6];  // from 8, 15, 16, 24, 32, other
};
const DepthRow kDepthTable[] = {
    {FT_AVI, {8, 15, 24, 24, 32, 24}},  {FT_BMP, {8, 15, 24, 24, 32, 24}},
    {FT_FLIC, {8, 8, 8, 8, 8, 8}},       {FT_HAV, {8, 16, 16, 24, 24, 24}},
    {FT_JPEG, {24, 24, 24, 24, 24, 24}}, {FT_PCX, {8, 24, 24, 24, 24, 24}},
    {FT_PNG, {8, 24, 24, 24, 32, 24}},   {FT_TGA, {8, 15, 24, 24, 32, 24}},
    {FT_MPEG, {24, 24, 24, 24, 24, 24}}, {FT_WAV, {0, 0, 0, 0, 0, 0}},
    {FT_SGI, {24, 24, 24, 24, 32, 24}},  {FT_RAS, {8, 24, 24, 24, 32, 24}},
    {FT_PNM, {24, 24, 24, 24, 24, 24}},  {FT_TIFF, {8, 24, 24, 24, 24, 24}},
    {FT_XPM, {24, 24, 24, 24, 24, 24}},  {FT_MPA, {0, 0, 0, 0, 0, 0}},
    {FT_OGG, {0, 0, 0, 0, 0, 0}},
};

}  // namespace

int32_t FFOutputDepth(int32_t type, int32_t bits) {
    for (const DepthRow& row : kDepthTable)
        if (row.type == type) return row.depth[ImgDepthSlot(bits)];
    return BAD_HANDLE;
}

void FFInit(int32_t type, QffPrep& prep, Qimg& image, int32_t alignment) {
    Monitored([&] {
        prep.image = nullptr;
        std::memset(static_cast<void*>(&prep.temp), 0, sizeof prep.temp);
        prep.tempUsed = 0;
        bool failure = true;
        if (ImgValid(image)) {
            if (alignment > 1 && (image.width % alignment != 0 || image.height % alignment != 0)) {
                const int32_t w = (image.width + alignment - 1) / alignment * alignment;
                const int32_t h = (image.height + alignment - 1) / alignment * alignment;
                _imgalloc_(prep.temp, w, h, "FFBasic.FFInit.ffi.temp_img", __LINE__, image.bitsPP);
                FillBytes(0, prep.temp.size, prep.temp.data);
                ImgInsert(image, prep.temp, 0, 0);
                prep.tempUsed = -1;
            }
            const int32_t depth = FFOutputDepth(type, image.bitsPP);
            if (depth != BAD_HANDLE) {
                if (depth != image.bitsPP) {
                    // Convert the padded copy when there is one, else the image itself.
                    if (prep.tempUsed) ImgConvBpp(prep.temp, prep.temp, depth);
                    else ImgConvBpp(image, prep.temp, depth);
                    prep.tempUsed = -1;
                }
                failure = false;
            }
        }
        prep.image = prep.tempUsed ? &prep.temp : &image;
        ErrRaiseCode(ERR_FORMAT, failure ? FORMAT_INVALID_FORMAT : 0, __LINE__);
    });
}

void FFDone(QffPrep& prep) {
    if (prep.tempUsed) ImgFree(prep.temp);
    prep.image = nullptr;
    prep.tempUsed = 0;
}

// --- Numeric helpers --------------------------------------------------------------------------

uint32_t FourCC(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return uint32_t{a} | (uint32_t{b} << 8) | (uint32_t{c} << 16) | (uint32_t{d} << 24);
}

std::string FourCCStr(uint32_t code) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
    return s;
}

double RateOf(double count, double seconds) { return (count > 0 && seconds > 0) ? count / seconds : 0; }

int32_t MulPos(int32_t a, int32_t b) {
    return (a > 0 && b > 0) ? static_cast<int32_t>(static_cast<int64_t>(a) * b) : 0;
}

namespace {
int32_t Trunc32_(double v) {
    if (!(v < 2147483647.0)) return 2147483647;
    return static_cast<int32_t>(std::trunc(v));
}
}  // namespace

int32_t TruncMul2(double a, double b) { return (a > 0 && b > 0) ? Trunc32_(a * b) : 0; }
int32_t TruncMul3(double a, double b, double c) { return (a > 0 && b > 0 && c > 0) ? Trunc32_(a * b * c) : 0; }
int32_t TruncMulDiv(double count, double a, double b) {
    return (count > 0 && a > 0 && b > 0) ? Trunc32_(a * count / b) : 0;
}

}  // namespace kelvora
