#include "image/ImgBasic.h"

#include <climits>
#include <cstring>
#include <utility>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

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

}  // namespace

void _imgalloc_(Qimg& image, int32_t width, int32_t height, const std::string& name, int32_t line,
                int32_t bits) {
    Monitored([&] {
        if (!MemIsTracked(image.data)) {
            // The record may hold garbage, or foreign pixels it must not resize.
            ClearHeader_(image);
            image.data = nullptr;
        }
        const int32_t bytes = BytesOf_(bits);
        // Negative dimensions are refused like a zero size rather than multiplied into a
        // positive one.
        const int64_t size = (width <= 0 || height <= 0 || bytes <= 0)
                                 ? 0
                                 : static_cast<int64_t>(width) * height * bytes;
        if (size > INT32_MAX) ErrRaiseCode(ERR_MEM, 5, line);
        _memalloc_(image.data, size, line, MEM_KIND_C, "(ImgAlloc):" + name);
        image.size = static_cast<int32_t>(size);
        image.width = width;
        image.height = height;
        image.bytesPP = bytes;
        image.bitsPP = bits;
        image.redirected = 0;
    });
}

void ImgFree(Qimg& image) {
    if (!image.redirected) MemFree(image.data);
    std::memset(static_cast<void*>(&image), 0, sizeof(Qimg));
}

void ImgRedirect(Qimg& image, uint8_t* pixels, int32_t width, int32_t bits, int32_t height) {
    if (!image.redirected && MemIsTracked(image.data)) MemFree(image.data);
    else std::memset(static_cast<void*>(&image), 0, sizeof(Qimg));
    image.data = pixels;
    image.width = width;
    image.height = height;
    image.bitsPP = bits;
    image.bytesPP = BytesOf_(bits);
    image.size = width * height * image.bytesPP;
    image.redirected = -1;
}

bool ImgValid(const Qimg& image) {
    return image.data != nullptr && (image.redirected != 0 || MemIsTracked(image.data));
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
    const bool ta = !a.redirected && MemIsTracked(a.data);
    const bool tb = !b.redirected && MemIsTracked(b.data);
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

}  // namespace kelvora
