#include "player/HplScreen.h"

#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QWidget>

#include <cstring>
#include <mutex>
#include <utility>

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

class DspWidget_;
void Paint_(DspWindow& d, DspWidget_& w);

class DspWidget_ final : public QWidget {
public:
    DspWidget_(QWidget* parent, DspWindow* display) : QWidget(parent), dsp(display) {
        // Registered now and later only resized: a failure while painting never releases it.
        _imgalloc_(scaled, 1, 1, "HplScreen.DspWidget.scaled", __LINE__, 32);
        // The paint covers the whole window: no background erase, no flicker.
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
    }
    // Destroyed with its parent before DspDestroy: the record must not keep a dangling window.
    ~DspWidget_() override {
        if (dsp) dsp->window = nullptr;
        ImgFree(scaled);
    }
    DspWindow* dsp;
    Qimg scaled{};  // the frame at the window's size when the two differ, kept between paints

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
void Paint_(DspWindow& d, DspWidget_& w) {
    if (d.painting) return;
    d.painting = 1;
    bool cleared;
    uint32_t background;
    {
        std::lock_guard<std::mutex> lock(d.lock);
        if (d.fresh) {
            ImgXchg(d.image, d.shown);  // the slot gets the old block back for the next frame
            std::swap(d.imageWidened, d.shownWidened);
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
                    ImgResize(img, w.scaled, ww, wh);
                    ImgPut(w.scaled, dc, 0, 0);
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
void Repaint_(DspWindow* display) {
    DspWindow& d = *display;
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

QWidget* Create_(DspWindow* d) {
    auto* w = new DspWidget_(d->parent, d);
    w->setGeometry(d->x, d->y, d->width, d->height);
    w->setEnabled(true);
    w->show();
    return w;
}

void Destroy_(DspWindow* d) {
    auto* w = static_cast<DspWidget_*>(d->window);
    d->window = nullptr;
    w->dsp = nullptr;
    if (OnWindowThread_(w))
        delete w;
    else
        w->deleteLater();
}

void Place_(DspWindow* d) {
    QWidget* w = d->window;
    const int32_t x = d->x, y = d->y, width = d->width, height = d->height;
    OnWindow_(w, [w, x, y, width, height] {
        w->setGeometry(x, y, width, height);
        w->update();
    });
}

int32_t Depth_(const QPaintDevice* device) {
    if (device) return device->depth();
    if (qGuiApp && QGuiApplication::primaryScreen())
        return QGuiApplication::primaryScreen()->depth();
    return 32;
}

constexpr QDspWindowOps kWindowOps{Create_, Destroy_, Place_, Repaint_, Depth_};

// Linked in means installed: the window program needs no call of its own.
[[maybe_unused]] const bool gInstalled = (DspSetWindowOps(&kWindowOps), true);

}  // namespace

// --- Screen routines of the image unit ------------------------------------------------------

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

}  // namespace kelvora
