#include "formats/FFBasic.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "formats/FileFmtDef.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

// --- Bounded byte reader ----------------------------------------------------------------------

void BrOpenFile(QByteReader& r, int32_t fileId, int64_t start, int64_t end, int64_t capacity,
                const char* label) {
    const int64_t fileSize = std::max<int64_t>(FSize(fileId), 0);  // BAD_HANDLE for an unknown id
    r = QByteReader{};
    r.fileId = fileId;
    r.label = label;
    r.end = std::clamp<int64_t>(end, 0, fileSize);
    r.start = std::clamp<int64_t>(start, 0, r.end);
    r.base = r.start;
    r.capacity = std::max<int64_t>(capacity, 1);
    _memalloc_(r.buffer, r.capacity, __LINE__, MEM_KIND_C, label);
    r.data = r.buffer;
}

void BrClose(QByteReader& r) {
    MemFree(r.buffer);
    r = QByteReader{};
}

namespace {
// Stands at the end with nothing at hand; a file-backed reader keeps its buffer for a seek back.
void BrOverrun_(QByteReader& r) {
    r.overrun = true;
    if (r.buffer) {
        r.base = r.end;
        r.size = 0;
        r.pos = 0;
    } else {
        r.pos = r.size;
    }
}
}  // namespace

int64_t BrFillSlow_(QByteReader& r, int64_t n) {
    const int64_t ready = r.size - r.pos;
    if (!r.buffer) return ready;
    n = std::min(n, r.end - r.base - r.pos);
    if (ready >= n) return ready;
    if (n > r.capacity) {
        MemSetOwnerRaw_(r.buffer, &r.buffer);  // this may be a copy of the reader that opened it
        _memalloc_(r.buffer, n, __LINE__, MEM_KIND_C, r.label);
        // Outside a monitored frame a failed allocation leaves the old block.
        if (MemBlockSize(r.buffer) < n) return ready;
        r.capacity = n;
    }
    // The unread bytes move to the front and the rest of the buffer is filled after them.
    if (ready > 0 && r.pos > 0)
        std::memmove(r.buffer, r.buffer + r.pos, static_cast<size_t>(ready));
    r.data = r.buffer;
    r.base += r.pos;
    r.pos = 0;
    r.size = ready;
    const int64_t from = r.base + ready;
    const int64_t wanted = std::min(r.capacity - ready, r.end - from);
    int32_t got = 0;
    FSeek(r.fileId, from);
    FReadPart(r.fileId, r.buffer + ready, static_cast<int32_t>(wanted), got);
    r.size += got;
    if (got < wanted) r.end = from + got;  // the file has shrunk
    return r.size;
}

const uint8_t* BrTakeSlow_(QByteReader& r, int64_t n) {
    if (n < 0 || !r.buffer || BrFillSlow_(r, n) < n) {
        BrOverrun_(r);
        return nullptr;
    }
    const uint8_t* p = r.data + r.pos;
    r.pos += n;
    return p;
}

void BrSeek(QByteReader& r, int64_t position) {
    if (position < r.start || position > r.end) {
        BrOverrun_(r);
    } else if (position >= r.base && position <= r.base + r.size) {
        r.pos = position - r.base;
    } else {
        // Outside the buffer: the next read fills it from here.
        r.base = position;
        r.size = 0;
        r.pos = 0;
    }
}

bool FFSaneGeometry(int64_t width, int64_t height, int32_t bits) {
    if (width <= 0 || height <= 0 || width > FF_MAX_SIDE || height > FF_MAX_SIDE) return false;
    if (bits <= 0 || bits > 32) return false;
    return width * height <= IMG_MAX_PIXELS;
}

// --- Output depth table -------------------------------------------------------------------------

namespace {
struct DepthRow {
    int32_t type;
    int32_t depth[6];  // from 8, 15, 16, 24, 32, other
};
const DepthRow kDepthTable[] = {
    {FT_AVI, {8, 15, 24, 24, 32, 24}},   {FT_BMP, {8, 15, 24, 24, 32, 24}},
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
                    if (prep.tempUsed)
                        ImgConvBpp(prep.temp, prep.temp, depth);
                    else
                        ImgConvBpp(image, prep.temp, depth);
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

double RateOf(double count, double seconds) {
    return (count > 0 && seconds > 0) ? count / seconds : 0;
}

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
int32_t TruncMul3(double a, double b, double c) {
    return (a > 0 && b > 0 && c > 0) ? Trunc32_(a * b * c) : 0;
}
int32_t TruncMulDiv(double count, double a, double b) {
    return (count > 0 && a > 0 && b > 0) ? Trunc32_(a * count / b) : 0;
}

}  // namespace kelvora
