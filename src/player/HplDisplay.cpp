#include "player/HplDisplay.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "formats/FFBasic.h"
#include "formats/HavDecode.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// The window program's screen unit; none in the command line, whose displays have no window.
std::atomic<const QDspWindowOps*> gOps{nullptr};

// Has the window show the slot's newest frame (any thread).
void Repaint_(DspWindow& d) {
    const QDspWindowOps* ops = gOps.load();
    if (d.window && ops) ops->repaint(&d);
}

// 24-bit blue, green, red pixels to 32-bit blue, green, red, 255 (the screen's own layout).
// Four bytes are moved per pixel where the source has them, the last pixel bytewise.
void Widen_(const uint8_t* from, uint8_t* to, int64_t pixels) {
    int64_t i = 0;
    for (; i + 1 < pixels; ++i) {
        uint32_t v;
        std::memcpy(&v, from + i * 3, 4);
        v |= 0xFF000000u;
        std::memcpy(to + i * 4, &v, 4);
    }
    for (; i < pixels; ++i) {
        std::memcpy(to + i * 4, from + i * 3, 3);
        to[i * 4 + 3] = 0xFF;
    }
}

// The copy the slot takes: widened for a window on a true-colour screen, else as it is.
bool CopyToSlot_(const DspWindow& d, const Qimg& image, Qimg& slot) {
    if (!d.widen || image.bitsPP != 24 || image.redirected) {
        ImgCopy(image, slot);
        return false;
    }
    _imgalloc_(slot, image.width, image.height, "HplDisplay.DspSetImage.image", __LINE__, 32);
    ImgCopyPalette(image, slot);
    Widen_(image.data, slot.data, int64_t{image.width} * image.height);
    return true;
}

}  // namespace

void DspSetWindowOps(const QDspWindowOps* ops) { gOps = ops; }

// --- Display window -------------------------------------------------------------------------

DspWindow* DspCreate(QWidget* parent, int32_t x, int32_t y, int32_t width, int32_t height) {
    // Plain heap, not the tracked register: the record lives as long as its widget, which a
    // release on failure could not destroy with it.
    DspWindow* d = new DspWindow{};
    d->parent = parent;
    d->x = x;
    d->y = y;
    d->width = width;
    d->height = height;
    // Both image blocks are registered here, on the creating thread, and later only resized, so
    // a failure on the worker thread that hands frames over never releases them.
    try {
        _imgalloc_(d->image, 1, 1, "HplDisplay.DspCreate.image", __LINE__, 24);
        _imgalloc_(d->shown, 1, 1, "HplDisplay.DspCreate.shown", __LINE__, 24);
    } catch (...) {
        ImgFree(d->image);
        delete d;
        throw;
    }
    d->image.width = d->image.height = 0;
    d->shown.width = d->shown.height = 0;
    const QDspWindowOps* ops = gOps.load();
    if (parent && ops) d->window = ops->create(d);
    // Asked here, on the window thread; the screen's depth does not change under a display.
    d->widen = d->window && !ScreenIsPalette(nullptr);
    return d;
}

void DspDestroy(DspWindow*& display) {
    if (!display) return;
    const QDspWindowOps* ops = gOps.load();
    if (display->window && ops) ops->destroy(display);
    ImgFree(display->image);
    ImgFree(display->shown);
    delete display;
    display = nullptr;
}

void DspSetPos(DspWindow* display, int32_t x, int32_t y, int32_t width, int32_t height) {
    if (!display) return;
    DspWindow& d = *display;
    if (d.x == x && d.y == y && d.width == width && d.height == height) return;
    d.x = x;
    d.y = y;
    d.width = width;
    d.height = height;
    const QDspWindowOps* ops = gOps.load();
    if (d.window && ops) ops->place(&d);
}

void DspSetColor(DspWindow* display, uint32_t colour) {
    if (!display) return;
    {
        std::lock_guard<std::mutex> lock(display->lock);
        if (display->background == colour) return;
        display->background = colour;
    }
    Repaint_(*display);
}

void DspSetImage(DspWindow* display, const Qimg& image) {
    if (!display) return;
    DspWindow& d = *display;
    {
        std::lock_guard<std::mutex> lock(d.lock);
        const bool empty = !ImgValid(image) || image.width <= 0 || image.height <= 0;
        try {
            if (!empty) d.imageWidened = CopyToSlot_(d, image, d.image);
        } catch (...) {
            // A half-made copy must not be shown: its header may not match its block.
            d.image.width = d.image.height = 0;
            throw;
        }
        if (empty) d.image.width = d.image.height = 0;
        d.fresh = true;
        d.cleared = false;
    }
    ++d.frames;
    Repaint_(d);
}

void DspClear(DspWindow* display) {
    if (!display) return;
    {
        std::lock_guard<std::mutex> lock(display->lock);
        display->cleared = true;
    }
    Repaint_(*display);
}

void DspSetMouseProc(DspWindow* display, DspMouseProc proc, void* user) {
    if (!display) return;
    display->mouseProc = proc;
    display->mouseUser = user;
}

void DspGetImage(DspWindow* display, Qimg& image) {
    if (!display) {
        ImgFree(image);
        return;
    }
    std::lock_guard<std::mutex> lock(display->lock);
    const bool fresh = display->fresh;
    const Qimg& newest = fresh ? display->image : display->shown;
    if (newest.width <= 0 || newest.height <= 0 || !ImgValid(newest)) {
        ImgFree(image);
    } else if (fresh ? display->imageWidened : display->shownWidened) {
        _imgalloc_(image, newest.width, newest.height, "HplDisplay.DspGetImage.image", __LINE__, 24);
        ImgCopyPalette(newest, image);
        ImgRowTo24(false, 4, newest.width * newest.height, image.data, newest.data);
    } else {
        ImgCopy(newest, image);
    }
}

// --- Screen routines of the image unit ------------------------------------------------------

bool ScreenIsPalette(const QPaintDevice* device) {
    if (const char* e = std::getenv("KELVORA_SCREEN_DEPTH")) {
        const int depth = std::atoi(e);
        if (depth > 0) return depth <= 8;
    }
    const QDspWindowOps* ops = gOps.load();
    return (ops ? ops->depth(device) : 32) <= 8;
}

void ImgFromFn(const uint8_t* block, int64_t size, Qimg& image) {
    Monitored([&] {
        QByteReader r = ByteReader(block, block ? size : 0);
        const int32_t width = BrI32LE(r);
        const int32_t height = BrI32LE(r);
        const int32_t bytesPP = BrI32LE(r);
        const int32_t packed = BrI32LE(r);
        // The HAV token codecs know pixels of 1 to 3 bytes only.
        if (r.overrun || bytesPP < 1 || bytesPP > 4 ||
            !FFSaneGeometry(width, height, bytesPP * 8) || (packed != 0 && bytesPP > 3))
            ErrFail(ERR_IMG, IMG_BAD_HEADER);
        _imgalloc_(image, width, height, "ImgBasic.ImgFromFn.img", __LINE__, bytesPP * 8);
        if (bytesPP == 1) BrBytes(r, image.palette, sizeof image.palette);
        const int64_t bytes = int64_t{width} * height * bytesPP;
        if (r.overrun) ErrFail(ERR_IMG, IMG_DECOMPRESS);
        if (packed == 0) {
            const uint8_t* pixels = BrTake(r, bytes);
            if (!pixels) ErrFail(ERR_IMG, IMG_DECOMPRESS);
            std::memcpy(image.data, pixels, static_cast<size_t>(bytes));
            return;
        }
        // The rest of the block is one frame record; bytes it skips stay black.
        const int64_t recordSize = BrLeft(r);
        if (recordSize < HAV_FRAME_HEADER || recordSize > INT32_MAX)
            ErrFail(ERR_IMG, IMG_DECOMPRESS);
        uint8_t* record = nullptr;
        _memalloc_(record, recordSize, __LINE__, MEM_KIND_N, "ImgBasic.ImgFromFn.record");
        std::memcpy(record, block + r.pos, static_cast<size_t>(recordSize));
        std::memset(image.data, 0, static_cast<size_t>(bytes));
        uint8_t* predict = nullptr;
        QHavFrameJob job{};
        job.buffer = record;
        job.bufferSize = static_cast<int32_t>(recordSize);
        job.recordSize = job.bufferSize;
        job.fileId = BAD_HANDLE;  // every band must lie inside the record
        job.codec = HAV_CODEC_BEST;
        job.predict = &predict;
        MonitoredIsolated([&] { HavDecodeFrame(job, image); });
        const bool decoded = ErrNone();
        MemFree(record);
        if (!decoded) ErrFail(ERR_IMG, IMG_DECOMPRESS);
    });
}

}  // namespace kelvora
