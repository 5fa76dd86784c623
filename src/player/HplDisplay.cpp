#include "player/HplDisplay.h"

#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "formats/FFBasic.h"
#include "formats/HavDecode.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// --- Screen output ------------------------------------------------------------------------------

// The palette PalPut realised last: what palette indices mean on a palette screen.
std::mutex gPaletteLock;
QList<QRgb> gPalette;

QList<QRgb> ColourTable_(const QBGR* palette) {
    QList<QRgb> table(256);
    for (int i = 0; i < 256; ++i)
        table[i] = qRgb(palette[i].red, palette[i].green, palette[i].blue);
    return table;
}

// The module palette, or the picture's own while no palette has been realised.
QList<QRgb> ScreenTable_(const QBGR* palette) {
    std::lock_guard<std::mutex> lock(gPaletteLock);
    return gPalette.isEmpty() ? ColourTable_(palette) : gPalette;
}

int32_t DibStride_(int32_t width, int32_t bits) { return (width * ((bits + 7) / 8) + 3) & ~3; }

// The image header must describe a known depth and lie inside the pixel block.
void CheckPixels_(const Qimg& image) {
    const int32_t b = image.bitsPP;
    if (b != 8 && b != 15 && b != 16 && b != 24 && b != 32) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
    if (image.bytesPP != (b + 7) / 8 ||
        int64_t{image.width} * image.height * image.bytesPP > int64_t{image.size})
        ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
}

QImage::Format FormatOf_(int32_t bits) {
    switch (bits) {
        case 8: return QImage::Format_Indexed8;
        case 15: return QImage::Format_RGB555;
        case 16: return QImage::Format_RGB16;
        case 24: return QImage::Format_BGR888;
        default: return QImage::Format_RGB32;  // blue, green, red, unused
    }
}

// Clips the source rectangle to a w x h picture: a start beyond an edge (or before it) becomes
// 0, an empty extent the whole side, an extent past the edge ends at it.
void Clip_(QImgRect& r, int32_t w, int32_t h) {
    if (r.x >= w || r.x < 0) r.x = 0;
    if (r.y >= h || r.y < 0) r.y = 0;
    if (r.width <= 0) r.width = w;
    if (r.height <= 0) r.height = h;
    if (int64_t{r.x} + r.width > w) r.width = w - r.x;
    if (int64_t{r.y} + r.height > h) r.height = h - r.y;
}

// --- Display window -------------------------------------------------------------------------

QColor ColourOf_(uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

bool OnWindowThread_(const QWidget* w) { return QThread::currentThread() == w->thread(); }

void Paint_(DspWindow& d, QWidget& w);

class DspWidget_ final : public QWidget {
public:
    DspWidget_(QWidget* parent, DspWindow* display) : QWidget(parent), dsp(display) {
        // The paint covers the whole window: no background erase, no flicker.
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
    }
    // Destroyed with its parent before DspDestroy: the record must not keep a dangling window.
    ~DspWidget_() override {
        if (dsp) dsp->window = nullptr;
    }
    DspWindow* dsp;

protected:
    void paintEvent(QPaintEvent*) override {
        if (dsp) Paint_(*dsp, *this);
    }
    void mousePressEvent(QMouseEvent* e) override {
        const int32_t button = e->button() == Qt::LeftButton     ? DSP_BUTTON_LEFT
                               : e->button() == Qt::RightButton  ? DSP_BUTTON_RIGHT
                               : e->button() == Qt::MiddleButton ? DSP_BUTTON_MIDDLE
                                                                 : 0;
        if (button == 0 || !dsp || !dsp->mouseProc) {
            QWidget::mousePressEvent(e);
            return;
        }
        const Qt::MouseButtons b = e->buttons();
        const Qt::KeyboardModifiers m = e->modifiers();
        uint32_t keys = 0;
        if (b & Qt::LeftButton) keys |= DSP_KEY_LBUTTON;
        if (b & Qt::RightButton) keys |= DSP_KEY_RBUTTON;
        if (b & Qt::MiddleButton) keys |= DSP_KEY_MBUTTON;
        if (m & Qt::ShiftModifier) keys |= DSP_KEY_SHIFT;
        if (m & Qt::ControlModifier) keys |= DSP_KEY_CONTROL;
        const QPoint p = e->position().toPoint();
        const uint32_t packed = (static_cast<uint32_t>(static_cast<uint16_t>(p.y())) << 16) |
                                static_cast<uint16_t>(p.x());
        e->accept();
        try {
            dsp->mouseProc(button, keys, static_cast<int32_t>(packed), dsp->mouseUser);
        } catch (...) {
            // Nothing may leave an event handler; the procedure reports its own errors.
        }
    }
};

// Takes the newest frame from the slot (window thread), then draws it scaled to the window, or
// the background when there is none.
void Paint_(DspWindow& d, QWidget& w) {
    if (d.painting) return;
    d.painting = 1;
    bool cleared;
    uint32_t background;
    {
        std::lock_guard<std::mutex> lock(d.lock);
        if (d.fresh) {
            ImgXchg(d.image, d.shown);  // the slot gets the old block back for the next frame
            d.fresh = false;
            ++d.painted;
        }
        d.repaintQueued = false;
        cleared = d.cleared;
        background = d.background;
    }
    QPainter dc(&w);
    const int32_t ww = w.width();
    const int32_t wh = w.height();
    Qimg& img = d.shown;
    bool drawn = false;
    if (!cleared && ImgValid(img) && img.width > 0 && img.height > 0 && ww > 0 && wh > 0) {
        try {
            MonitoredIsolated([&] {
                if (img.bitsPP == 8) PalPut(img.palette, dc);
                if (img.width == ww && img.height == wh) {
                    ImgPut(img, dc, 0, 0);
                } else {
                    Qimg scaled{};
                    ImgResize(img, scaled, ww, wh);
                    ImgPut(scaled, dc, 0, 0);
                    ImgFree(scaled);
                }
            });
            drawn = ErrNone();
        } catch (...) {}
    }
    if (!drawn) dc.fillRect(0, 0, ww, wh, ColourOf_(background));
    d.painting = 0;
}

// Invalidates the window and paints at once on the window thread; from another thread posts
// one repaint request unless one is already on its way.
void Repaint_(DspWindow& d) {
    QWidget* w = d.window;
    if (!w) return;
    if (OnWindowThread_(w)) {
        w->repaint();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(d.lock);
        if (d.repaintQueued) return;
        d.repaintQueued = true;
    }
    QMetaObject::invokeMethod(
        w, [w] { w->update(); }, Qt::QueuedConnection);
}

// Runs a change of the window on its own thread.
template <class Fn>
void OnWindow_(QWidget* w, Fn fn) {
    if (OnWindowThread_(w))
        fn();
    else
        QMetaObject::invokeMethod(w, fn, Qt::QueuedConnection);
}

}  // namespace

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
    if (parent) {
        auto* w = new DspWidget_(parent, d);
        w->setGeometry(x, y, width, height);
        w->setEnabled(true);
        w->show();
        d->window = w;
    }
    return d;
}

void DspDestroy(DspWindow*& display) {
    if (!display) return;
    if (auto* w = static_cast<DspWidget_*>(display->window)) {
        w->dsp = nullptr;
        if (OnWindowThread_(w))
            delete w;
        else
            w->deleteLater();
    }
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
    if (QWidget* w = d.window)
        OnWindow_(w, [w, x, y, width, height] {
            w->setGeometry(x, y, width, height);
            w->update();
        });
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
            if (!empty) ImgCopy(image, d.image);
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
    const Qimg& newest = display->fresh ? display->image : display->shown;
    if (newest.width > 0 && newest.height > 0 && ImgValid(newest))
        ImgCopy(newest, image);
    else
        ImgFree(image);
}

// --- Screen routines of the image unit ------------------------------------------------------

bool ScreenIsPalette(const QPaintDevice* device) {
    if (const char* e = std::getenv("KELVORA_SCREEN_DEPTH")) {
        const int depth = std::atoi(e);
        if (depth > 0) return depth <= 8;
    }
    int depth = 32;
    if (device)
        depth = device->depth();
    else if (qGuiApp && QGuiApplication::primaryScreen())
        depth = QGuiApplication::primaryScreen()->depth();
    return depth <= 8;
}

void PalPut(const QBGR* palette, QPainter& dc) {
    if (!palette || !ScreenIsPalette(dc.device())) return;
    QList<QRgb> table = ColourTable_(palette);
    std::lock_guard<std::mutex> lock(gPaletteLock);
    gPalette = std::move(table);
}

void ImgPutEx(Qimg& image, QImgRect& source, QPainter& dc, int32_t method, int32_t dx, int32_t dy,
              int32_t dw, int32_t dh) {
    if (!ImgValid(image) || image.width <= 0 || image.height <= 0) return;
    Monitored([&] {
        CheckPixels_(image);
        Qimg img8{};
        uint8_t* rows = nullptr;
        const Qimg* drawn = &image;
        QList<QRgb> table;
        if (ScreenIsPalette(dc.device())) {
            // Palette indices only: deeper pictures are reduced to 8 bits and their palette
            // realised first.
            if (image.bitsPP != 8) {
                ImgConvBppEx(image, img8, 8, method >= 1 && method <= 3 ? method : 0);
                PalPut(img8.palette, dc);
                drawn = &img8;
            }
            table = ScreenTable_(drawn->palette);
        } else if (image.bitsPP == 8) {
            table = ColourTable_(image.palette);
        }
        const int32_t w = drawn->width;
        const int32_t h = drawn->height;
        Clip_(source, w, h);
        // Rows go to the device with the bitmap stride (a multiple of 4 bytes): directly when
        // the image rows already have it, else through a padded copy.
        const int32_t rowBytes = w * drawn->bytesPP;
        const int32_t stride = DibStride_(w, drawn->bitsPP);
        const uint8_t* pixels = drawn->data;
        if (rowBytes != stride) {
            _memalloc_(rows, int64_t{stride} * h, __LINE__, MEM_KIND_C, "ImgBasic.ImgPutEx.bmpBits");
            for (int32_t r = 0; r < h; ++r)
                std::memcpy(rows + int64_t{r} * stride, drawn->data + int64_t{r} * rowBytes,
                            static_cast<size_t>(rowBytes));
            pixels = rows;
        }
        QImage bitmap(pixels, w, h, stride, FormatOf_(drawn->bitsPP));
        if (!table.isEmpty()) bitmap.setColorTable(table);
        const QRect from(source.x, source.y, source.width, source.height);
        if (dw != 0 && dh != 0)
            dc.drawImage(QRect(dx, dy, dw, dh), bitmap, from);
        else
            dc.drawImage(QPoint(dx, dy), bitmap, from);
        MemFree(rows);
        ImgFree(img8);
    });
}

void ImgPut(Qimg& image, QPainter& dc, int32_t x, int32_t y) {
    QImgRect whole{0, 0, 0, 0};
    ImgPutEx(image, whole, dc, 0, x, y, 0, 0);
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
