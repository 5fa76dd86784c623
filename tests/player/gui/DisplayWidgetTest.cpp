// The display window on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPixmap>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "player/HplDisplay.h"
#include "runtime/Basic.h"
#include "support/GuiSupport.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

void StartApp() { test::StartGuiApp(); }

// A 24-bit picture whose pixel (x, y) is red `seed`, green y, blue x.
void MakePicture(Qimg& img, int32_t w, int32_t h, uint8_t seed) {
    _imgalloc_(img, w, h, "DisplayWidgetTest.img", __LINE__, 24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = img.data + 3 * (y * w + x);
            p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = seed;
        }
}

struct DisplayWidgetTest : test::RegisterBalanceTest {
    void SetUp() override {
        StartApp();
        RegisterBalanceTest::SetUp();
        parent = new QWidget;
        parent->resize(120, 100);
        parent->show();
        dsp = DspCreate(parent, 10, 20, 40, 30);
        ASSERT_NE(dsp->window, nullptr);
    }
    void TearDown() override {
        DspDestroy(dsp);
        delete parent;
        ImgFree(img);
        RegisterBalanceTest::TearDown();
    }
    QRgb Shown(int x, int y) { return dsp->window->grab().toImage().pixel(x, y); }
    QWidget* parent = nullptr;
    DspWindow* dsp = nullptr;
    Qimg img{};
};

struct Click {
    int32_t button;
    uint32_t keys;
    int32_t position;
};

void RecordClick(int32_t button, uint32_t keys, int32_t position, void* user) {
    *static_cast<Click*>(user) = Click{button, keys, position};
}

}  // namespace

TEST_F(DisplayWidgetTest, ImageScaledToTheWindowOrBackground) {
    EXPECT_EQ(dsp->window->geometry(), QRect(10, 20, 40, 30));
    DspSetColor(dsp, 0x00FF0000);  // 0x00BBGGRR: blue
    EXPECT_EQ(Shown(3, 3), qRgb(0, 0, 255));
    MakePicture(img, 40, 30, 9);
    DspSetImage(dsp, img);
    EXPECT_EQ(Shown(39, 29), qRgb(9, 29, 39));
    // Half the window's size: every pixel doubled (nearest neighbour).
    MakePicture(img, 20, 15, 77);
    DspSetImage(dsp, img);
    QImage shot = dsp->window->grab().toImage();
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(shot.pixel(x, y), qRgb(77, y / 2, x / 2)) << x << "," << y;
    DspClear(dsp);
    EXPECT_EQ(Shown(3, 3), qRgb(0, 0, 255));
    DspSetPos(dsp, 5, 6, 20, 15);  // the image's own size: drawn as it is
    DspSetImage(dsp, img);
    EXPECT_EQ(dsp->window->geometry(), QRect(5, 6, 20, 15));
    EXPECT_EQ(Shown(19, 14), qRgb(77, 14, 19));
    // The parent may go first: the record is then left without a window.
    delete parent;
    parent = nullptr;
    EXPECT_EQ(dsp->window, nullptr);
}

// The worker hands frames over without waiting for the window thread (busy joining it here);
// the window then takes only the newest frame, once.
TEST_F(DisplayWidgetTest, WorkerFramesReachTheWindowWithoutWaiting) {
    QApplication::processEvents();
    const int32_t paintedBefore = dsp->painted;
    std::thread worker([this] {
        Qimg frame{};
        for (int i = 1; i <= 40; ++i) {
            MakePicture(frame, 40, 30, uint8_t(i));
            DspSetImage(dsp, frame);
        }
        ImgFree(frame);
    });
    worker.join();
    EXPECT_EQ(dsp->frames, 40);
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    EXPECT_EQ(dsp->painted - paintedBefore, 1);
    EXPECT_EQ(Shown(7, 8), qRgb(40, 8, 7));
    EXPECT_EQ(dsp->painted - paintedBefore, 1);  // painting again takes nothing new
}

// A window on a true-colour screen keeps frames widened to its 32 bits; what is painted and
// what DspGetImage gives back are the 24-bit frame to the byte, at odd widths too (the last
// pixel of a frame is widened on its own).
TEST_F(DisplayWidgetTest, WidenedFramesPaintAndReadBackExactly) {
    ASSERT_TRUE(dsp->widen);
    for (const int32_t w : {1, 7, 33}) {
        SCOPED_TRACE(w);
        MakePicture(img, w, 5, uint8_t(w));
        img.data[3 * (5 * w - 1) + 2] = 0xEE;  // the very last byte
        DspSetPos(dsp, 0, 0, w, 5);
        DspSetImage(dsp, img);
        Qimg back{};
        DspGetImage(dsp, back);  // still in the slot
        ASSERT_EQ(back.bitsPP, 24);
        ASSERT_EQ(back.size, img.size);
        EXPECT_EQ(std::memcmp(back.data, img.data, size_t(img.size)), 0);
        const QImage shot = dsp->window->grab().toImage();
        EXPECT_EQ(shot.pixel(w - 1, 4), qRgb(0xEE, 4, w - 1));
        EXPECT_EQ(shot.pixel(0, 0), qRgb(w, 0, 0));
        DspGetImage(dsp, back);  // now the painted one
        EXPECT_EQ(std::memcmp(back.data, img.data, size_t(img.size)), 0);
        ImgFree(back);
    }
    // An 8-bit frame stays as it is, palette and all.
    Qimg pal{};
    _imgalloc_(pal, 3, 2, "DisplayWidgetTest.pal", __LINE__, 8);
    for (int i = 0; i < 6; ++i) pal.data[i] = uint8_t(i);
    pal.palette[5] = QBGR{1, 2, 3};
    DspSetImage(dsp, pal);
    Qimg back{};
    DspGetImage(dsp, back);
    EXPECT_EQ(back.bitsPP, 8);
    EXPECT_EQ(back.data[5], 5);
    EXPECT_EQ(back.palette[5].red, 3);
    ImgFree(back);
    ImgFree(pal);
}

TEST_F(DisplayWidgetTest, MousePressesReportButtonKeysAndPosition) {
    Click click{};
    DspSetMouseProc(dsp, RecordClick, &click);
    const struct {
        Qt::MouseButton button;
        Qt::KeyboardModifiers modifiers;
        int32_t reported;
        uint32_t keys;
    } cases[] = {
        {Qt::LeftButton, Qt::NoModifier, DSP_BUTTON_LEFT, DSP_KEY_LBUTTON},
        {Qt::RightButton, Qt::ShiftModifier, DSP_BUTTON_RIGHT, DSP_KEY_RBUTTON | DSP_KEY_SHIFT},
        {Qt::MiddleButton, Qt::ControlModifier, DSP_BUTTON_MIDDLE, DSP_KEY_MBUTTON | DSP_KEY_CONTROL},
    };
    for (const auto& c : cases) {
        click = Click{};
        const QPointF at(12, 7);
        QMouseEvent press(QEvent::MouseButtonPress, at, dsp->window->mapToGlobal(at), c.button,
                          c.button, c.modifiers);
        QApplication::sendEvent(dsp->window, &press);
        EXPECT_EQ(click.button, c.reported);
        EXPECT_EQ(click.keys, c.keys);
        EXPECT_EQ(click.position, (7 << 16) | 12);
    }
}
