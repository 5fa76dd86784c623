// Edits, the position bar, the button glyphs and the logo on Qt's offscreen platform.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWidget>

#include <cstdlib>
#include <string>

#include "app/CtlEx.h"
#include "app/Glyphs.h"
#include "app/Logo.h"
#include "app/VCLUtils.h"
#include "app/ctlpopup.h"
#include "player/HplDisplay.h"
#include "runtime/Basic.h"
#include "support/GuiSupport.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

void StartApp() { test::StartGuiApp(); }

struct ControlsTest : ::testing::Test {
    void SetUp() override { StartApp(); }
};

void Mouse(QWidget* w, QEvent::Type type, QPoint at) {
    QMouseEvent e(type, at, w->mapToGlobal(at), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

}  // namespace

TEST_F(ControlsTest, EditsReadBackNumbersOrTheDefault) {
    QLineEdit edit;
    TEdit_SetInt(&edit, -42);
    EXPECT_EQ(TEdit_GetInt(&edit, 7), -42);
    for (const char* bad : {"", "12a", "1.5", "99999999999", "abc"}) {
        edit.setText(bad);
        EXPECT_EQ(TEdit_GetInt(&edit, 7), 7) << bad;
    }

    TEdit_SetFloat(&edit, 29.97);
    EXPECT_EQ(edit.text().toStdString(), "29.97");
    TEdit_SetFloat(&edit, 15);
    EXPECT_EQ(edit.text().toStdString(), "15");
    EXPECT_DOUBLE_EQ(TEdit_GetFloat(&edit, 1), 15.0);
    edit.setText("fast");
    EXPECT_DOUBLE_EQ(TEdit_GetFloat(&edit, 15), 15.0);
}

TEST_F(ControlsTest, TrackBarReportsReleaseOnce) {
    QWidget form;
    form.resize(320, 90);
    auto* design = new QSlider(Qt::Horizontal, &form);
    design->setGeometry(-1, 0, 310, 28);
    QTrackBar2* bar = CloneTrackBar2(design, true);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->parentWidget(), &form);
    EXPECT_EQ(bar->geometry(), QRect(-1, 0, 310, 28));
    EXPECT_EQ(bar->tickPosition(), QSlider::NoTicks);
    EXPECT_EQ(form.findChildren<QSlider*>().size(), 1);  // the design-time bar is gone
    form.show();

    int calls = 0, whileHeld = 0;
    bar->SetOnChange([&](QTrackBar2* b) {
        ++calls;
        if (!b->Released()) ++whileHeld;
    });
    bar->setRange(0, 1000);
    EXPECT_TRUE(bar->Released());
    bar->setValue(10);  // the program's own change
    EXPECT_EQ(calls, 1);

    Mouse(bar, QEvent::MouseButtonPress, QPoint(250, 14));
    EXPECT_FALSE(bar->Released());
    const int pressed = calls;
    Mouse(bar, QEvent::MouseButtonRelease, QPoint(250, 14));
    EXPECT_TRUE(bar->Released());
    EXPECT_EQ(calls, pressed + 1);
    EXPECT_EQ(whileHeld, pressed - 1);

    // A clone of the bar keeps its handler.
    QTrackBar2* again = CloneTrackBar2(bar, true);
    again->setRange(0, 10);
    again->setValue(5);
    EXPECT_GT(calls, pressed + 1);
}

TEST_F(ControlsTest, GlyphsExistForEveryButtonAndState) {
    for (int32_t kind = 0; kind < GLYPH_KINDS; ++kind) {
        const QImage up = GlyphImage(kind, GLYPH_UP, 16);
        ASSERT_EQ(up.size(), QSize(16, 16));
        EXPECT_NE(up, GlyphImage(kind, GLYPH_DISABLED, 16)) << kind;
        EXPECT_NE(up, GlyphImage(kind, GLYPH_DOWN, 16)) << kind;
        EXPECT_NE(GlyphImage(kind, GLYPH_DOWN, 16), GlyphImage(kind, GLYPH_HELD, 16)) << kind;
        if (kind > 0) {
            EXPECT_NE(up, GlyphImage(kind - 1, GLYPH_UP, 16)) << kind;
        }
        EXPECT_FALSE(GlyphMake(kind, GLYPH_HELD, 24).isNull());
    }
    EXPECT_TRUE(GlyphImage(GLYPH_KINDS, GLYPH_UP, 16).isNull());
    EXPECT_TRUE(GlyphImage(GLYPH_PLAY, GLYPH_STATES, 16).isNull());
}

TEST_F(ControlsTest, LogoDecodesToItsPicture) {
    const uint8_t* data = nullptr;
    int64_t size = 0;
    LogoGetBlock(data, size);
    ASSERT_NE(data, nullptr);
    Qimg logo{};
    const test::RegisterBalance balance;
    ImgFromFn(data, size, logo);
    EXPECT_EQ(logo.width, LOGO_WIDTH);
    EXPECT_EQ(logo.height, LOGO_HEIGHT);
    EXPECT_EQ(logo.bitsPP, 8);
    // The letters stand out from the dark background.
    int bright = 0;
    for (int32_t i = 0; i < logo.size; ++i) {
        const QBGR& c = logo.palette[logo.data[i]];
        if (c.red + c.green + c.blue > 400) ++bright;
    }
    EXPECT_GT(bright, logo.size / 20);
    EXPECT_LT(bright, logo.size / 2);
    ImgFree(logo);
    balance.Expect();
}

TEST_F(ControlsTest, NothingWaitsForAUserOffscreen) {
    VclScriptClear();
    EXPECT_EQ(YesNoCancel("Save?", 2), 'N');
    std::string menu, dir, name;
    PopupAddItem(menu, "Exit", 50);
    EXPECT_EQ(PopupDisplay(-1, -1, menu), BAD_HANDLE);
    int32_t index = 1;
    EXPECT_FALSE(FileOpenDlg("Open a File", dir, "Any file|*.*|", name, index));
    EXPECT_EQ(VclScriptLog().size(), 3u);
    VclScriptClear();
}

TEST_F(ControlsTest, LowColourFollowsTheScreenDepth) {
    setenv("KELVORA_SCREEN_DEPTH", "8", 1);
    EXPECT_TRUE(IsLowColor(nullptr));
    setenv("KELVORA_SCREEN_DEPTH", "16", 1);
    EXPECT_FALSE(IsLowColor(nullptr));
    unsetenv("KELVORA_SCREEN_DEPTH");
    QImage deep(4, 4, QImage::Format_RGB32), mono(4, 4, QImage::Format_Mono);
    EXPECT_FALSE(IsLowColor(&deep));
    EXPECT_TRUE(IsLowColor(&mono));
}
