// The text window and the options dialog, driven through their show hooks on Qt's offscreen
// platform with scripted boxes and file dialogs.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/VCLUtils.h"
#include "app/informer.h"
#include "app/wFileAss.h"
#include "app/wNotepad.h"
#include "app/wOptions.h"
#include "support/GuiSupport.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct DialogsTest : ::testing::Test {
    void SetUp() override {
        test::StartGuiApp();
        VclScriptClear();
    }
    void TearDown() override {
        NotepadSetShowHook(nullptr);
        OptionsSetShowHook(nullptr);
        if (TfrmNotepad* w = NotepadWindow()) w->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        VclScriptClear();
    }
    static void Shot(QWidget& w, const char* name) {
        QDir().mkpath(KV_ARTEFACT_DIR);
        w.grab().save(QString(KV_ARTEFACT_DIR "/") + name);
    }
    bool Options(QAppSettings& s, double& rate, std::function<void(TfrmOpt&)> user) {
        OptionsSetShowHook(std::move(user));
        return ShowOptionsDialog(s, rate);
    }
    test::TempDir dir;
};

bool IsErrorBox(const QVclLogEntry& e) { return e.kind == "box" && (e.flags & MB_ICONERROR) != 0; }

}  // namespace

TEST_F(DialogsTest, NotepadSavesOverwritingAppendingOrNot) {
    DlgNotepadText("Notes", "first\r\nsecond", true, 0);
    TfrmNotepad* w = NotepadWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(w->mnuInfo->menuAction()->isVisible());

    const std::string file = dir.file("notes.txt");
    VclScriptPush(dir.file("notes"));  // a new file: no question, ".txt" added
    w->mnuSaveAsClick();
    EXPECT_EQ(test::ReadFileBytes(file), "first\r\nsecond\r\n");

    w->txtInfo->setPlainText("third");
    const struct {
        int32_t answer;
        const char* after;
    } steps[] = {{ID_NO, "first\r\nsecond\r\nthird\r\n"},
                 {ID_CANCEL, "first\r\nsecond\r\nthird\r\n"},
                 {ID_YES, "third\r\n"}};
    for (const auto& step : steps) {
        VclScriptClear();
        VclScriptPush(file);
        VclScriptPush(step.answer);
        w->mnuSaveAsClick();
        EXPECT_EQ(test::ReadFileBytes(file), step.after);
        const auto log = VclScriptLog();
        ASSERT_EQ(log.size(), 2u);  // the dialog and the question; never an error box
        EXPECT_EQ(log[1].text,
                  "File already exists. Do you want to overwrite it? \r\n"
                  "Press YES to overwrite, NO to append or CANCEL to abort saving.");
    }

    // Failures end in an error box and leave the text as it was: a missing folder, and a file
    // far too big for the window (sparse, so it costs no disk).
    const std::string huge = dir.file("huge.txt");
    test::WriteFileBytes(huge, "");
    ASSERT_EQ(::truncate(huge.c_str(), 64 << 20), 0);
    VclScriptClear();
    VclScriptPush(dir.file("gone/notes.txt"));
    w->mnuSaveAsClick();
    VclScriptPush(huge);
    w->mnuOpenClick();
    const auto log = VclScriptLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_TRUE(IsErrorBox(log[1]) && IsErrorBox(log[3]));
    EXPECT_EQ(w->Text(), "third");

    // Escape does not close the notepad and lose what was typed.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(w, &escape);
    EXPECT_TRUE(w->isVisible());
}

TEST_F(DialogsTest, InfoWindowSwitchesBetweenForms) {
    QUniInfo a{}, b{};
    a.fileName = "a.hav";
    b.fileName = "b.hav";
    a.fileSize = b.fileSize = 52345;
    a.formatName = b.formatName = "HAV movie";
    a.img = b.img = QUniImgDesc{160, 120, 1, 8, 25, 1.0, 480000.0, 25.0, "HAV", -1, -1, 0};
    InfoListInit();
    InfoListAdd(a);
    InfoListAdd(b);
    int shown = 0;
    NotepadSetShowHook([&](TfrmNotepad& w) {
        ++shown;
        EXPECT_TRUE(w.isModal());
        EXPECT_TRUE(w.txtInfo->isReadOnly());
        EXPECT_FALSE(w.mnuNew->isEnabled() || w.mnuCut->isEnabled() || w.mnuPaste->isEnabled());
        EXPECT_TRUE(w.mnuInfo->menuAction()->isVisible());
        EXPECT_EQ(w.txtInfo->palette().color(QPalette::Base), QColor(0, 64, 128));
        EXPECT_EQ(w.Text(), InfoListGetStr(false));
        Shot(w, "notepad.png");

        w.mnuInfoDelimitedClick();
        EXPECT_FALSE(w.mnuInfoStandard->isChecked());
        EXPECT_EQ(w.Text(), InfoListGetStr(true));
        EXPECT_EQ(w.Text().rfind("\"FileName\";\"FileFormat\";", 0), 0u);
        EXPECT_NE(w.Text().find("\r\n\"b.hav\";"), std::string::npos);
    });
    DlgNotepadInfo("File info", false, 2);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(NotepadWindow(), nullptr);

    // Nobody to close it on this screen and no hook: it must not wait.
    NotepadSetShowHook(nullptr);
    DlgNotepadInfo("File info", false, 2);
    EXPECT_EQ(NotepadWindow(), nullptr);
    InfoListDone();

    const int32_t screens[][4] = {
        {1024, 768, 682, 512}, {640, 480, 560, 400}, {1600, 1200, 800, 600}};
    for (const auto& s : screens) {
        int32_t width = 0, height = 0;
        NotepadSizeFor(s[0], s[1], width, height);
        EXPECT_EQ(QSize(width, height), QSize(s[2], s[3]));
    }
}

TEST_F(DialogsTest, OptionEditsAreClampedOrFallBack) {
    struct Case {
        const char* fps;
        const char* repeat;
        double rate;
        int32_t count;
    } const cases[] = {{"0", "0", 0.001, 1},
                       {"5000000", "-3", 1000000.0, 1},
                       {"fast", "many", 15.0, 7},
                       {"29.97", "12", 29.97, 12}};
    for (const Case& c : cases) {
        QAppSettings s;
        s.repeatPlaying = 7;
        double rate = 25.0;
        EXPECT_TRUE(Options(s, rate, [&](TfrmOpt& d) {
            d.edFPS->setText(c.fps);
            d.edPlayRepeat->setText(c.repeat);
            d.btnOK->click();
        }));
        EXPECT_DOUBLE_EQ(rate, c.rate) << c.fps;
        EXPECT_EQ(s.repeatPlaying, c.count) << c.repeat;
    }

    // Cancel keeps only what the buttons did; without a hook the dialog does not wait.
    QAppSettings s;
    double rate = 10.0;
    EXPECT_FALSE(Options(s, rate, [](TfrmOpt& d) {
        d.edFPS->setText("0");
        d.btnFPSDefault->click();
        d.chkSndDisable->click();
        VclScriptPush(ID_OK);
        d.btnAbout->click();
        d.btnCancel->click();
    }));
    EXPECT_DOUBLE_EQ(s.imgFrameRate, 0.001);
    EXPECT_DOUBLE_EQ(rate, 10.0);
    EXPECT_TRUE(s.audioEnabled);
    ASSERT_EQ(VclScriptLog().size(), 1u);
    EXPECT_EQ(VclScriptLog()[0].text.rfind("Kelvora 1.4.0 (2002-11-08)\r\n\r\n", 0), 0u);
    OptionsSetShowHook(nullptr);
    EXPECT_FALSE(ShowOptionsDialog(s, rate));
}

TEST_F(DialogsTest, OptionsReachTheSettingsFileAndTheDesktop) {
    test::TempDir config, desktop;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    setenv("XDG_DATA_HOME", config.file("data").c_str(), 1);
    test::WriteFileBytes(config.file("user-dirs.dirs"),
                         "XDG_DESKTOP_DIR=\"" + desktop.path() + "\"\n");

    QAppSettings s;
    s.playMode = 1;
    s.repeatForever = true;
    double rate = 29.97;
    const bool ok = Options(s, rate, [](TfrmOpt& d) {
        EXPECT_EQ(d.size(), QSize(445, 286));
        EXPECT_EQ(d.edFPS->text().toStdString(), "29.97");
        EXPECT_FALSE(d.edPlayRepeat->isEnabled());
        EXPECT_TRUE(d.chkAllFrames->isChecked());
        Shot(d, "options.png");
        // The association dialog opens from here (and is cancelled).
        int32_t lines = 0;
        AssocSetShowHook([&](TfrmAssoc& a) { lines = a.lstExts->count(); });
        d.btnFileAss->click();
        AssocSetShowHook(nullptr);
        EXPECT_GT(lines, 30);
        d.radPlayRepeat->click();
        EXPECT_TRUE(d.edPlayRepeat->isEnabled());
        d.chkAllFrames->click();
        d.chkSndDisable->click();
        d.edFPS->setText("12.5");
        d.btnFPSDefault->click();
        d.btnShortcut->click();
        d.btnOK->click();
    });
    if (old)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    ASSERT_TRUE(ok);
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    const std::string link = test::ReadFileBytes(desktop.file("Kelvora.desktop"));
    EXPECT_NE(link.find("\nExec=\"" + program + "\"\n"), std::string::npos) << link;

    // A restart reads back what the dialog produced.
    SettingsSave(s, dir.file("kelvora.ini"), program, true);
    QAppSettings loaded;
    SettingsLoad(loaded, dir.file("kelvora.ini"));
    EXPECT_EQ(loaded.playMode, 0);
    EXPECT_FALSE(loaded.repeatForever);
    EXPECT_FALSE(loaded.audioEnabled);
    EXPECT_DOUBLE_EQ(loaded.imgFrameRate, 12.5);
    EXPECT_DOUBLE_EQ(rate, 12.5);
}
