// The file association dialog on Qt's offscreen platform, driven through its show hook, over
// temporary configuration and data folders.

#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/VCLUtils.h"
#include "app/regwrap.h"
#include "app/wFileAss.h"
#include "support/GuiSupport.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct AssocDialogTest : ::testing::Test {
    void SetUp() override {
        test::StartGuiApp();
        test::WriteFileBytes(dir.file("config/mimeapps.list"),
                             "[Default Applications]\nvideo/x-msvideo=other-player.desktop;\n");
    }
    void TearDown() override { AssocSetShowHook(nullptr); }
    // Runs the dialog; `user` sets the lines (by extension, upper case) and presses a button.
    bool Dialog(const std::function<void(TfrmAssoc&)>& user) {
        AssocSetShowHook(user);
        return ShowAssocDialog(dir.file("bin/kelvora"));
    }
    static QListWidgetItem* Line(TfrmAssoc& d, const QString& suffix) {
        for (int i = 0; i < d.lstExts->count(); ++i)
            if (d.lstExts->item(i)->text().endsWith(", " + suffix)) return d.lstExts->item(i);
        return nullptr;
    }

    test::TempDir dir;
    test::ScopedXdgDirs xdg{dir.path()};
};

TEST_F(AssocDialogTest, ListsEveryExtensionAndAppliesOnlyOnOK) {
    EXPECT_TRUE(Dialog([](TfrmAssoc& d) {
        EXPECT_EQ(d.windowTitle(), "Kelvora File Associations");
        EXPECT_EQ(d.lblTitle->text(), "Set/Clear File Associations");
        EXPECT_EQ(d.size(), QSize(390, 277));
        ASSERT_EQ(d.lstExts->count(), 65);
        EXPECT_EQ(d.lstExts->item(0)->text(), "Advanced Audio Coding, AAC");
        EXPECT_EQ(d.lstExts->item(64)->text(), "X PixMap, XPM");
        for (int i = 0; i < d.lstExts->count(); ++i)
            EXPECT_EQ(d.lstExts->item(i)->checkState(), Qt::Unchecked);
        Line(d, "AVI")->setCheckState(Qt::Checked);
        Line(d, "WAV")->setCheckState(Qt::Checked);
        QDir().mkpath(KV_ARTEFACT_DIR);
        d.grab().save(KV_ARTEFACT_DIR "/assoc-dialog.png");
        d.btnOK->click();
    }));
    EXPECT_EQ(RegFileTypeGet(".avi"), FAS_TYPE_VIDEO);
    EXPECT_EQ(RegFileTypeGet(".wav"), FAS_TYPE_AUDIO);
    EXPECT_EQ(RegFileTypeGet(".gif"), "");

    // Cancel changes nothing; OK with .avi cleared gives it back.
    EXPECT_FALSE(Dialog([](TfrmAssoc& d) {
        EXPECT_EQ(Line(d, "AVI")->checkState(), Qt::Checked);
        EXPECT_EQ(Line(d, "WAV")->checkState(), Qt::Checked);
        Line(d, "AVI")->setCheckState(Qt::Unchecked);
        d.btnCancel->click();
    }));
    EXPECT_EQ(RegFileTypeGet(".avi"), FAS_TYPE_VIDEO);
    EXPECT_TRUE(Dialog([](TfrmAssoc& d) {
        Line(d, "AVI")->setCheckState(Qt::Unchecked);
        d.btnOK->click();
    }));
    EXPECT_EQ(RegFileTypeGet(".avi"), "other-player.desktop");
    EXPECT_EQ(RegFileTypeGet(".wav"), FAS_TYPE_AUDIO);

    // Nobody to answer on the offscreen screen: cancelled at once.
    AssocSetShowHook(nullptr);
    EXPECT_FALSE(ShowAssocDialog(dir.file("bin/kelvora")));
}

}  // namespace
