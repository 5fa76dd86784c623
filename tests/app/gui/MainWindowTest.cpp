// The main window on Qt's offscreen platform with scripted boxes, and the player program run as
// a child process.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "app/CtlEx.h"
#include "app/VCLUtils.h"
#include "app/ctlpopup.h"
#include "app/wMain.h"
#include "app/wNotepad.h"
#include "app/wOptions.h"
#include "formats/FFWrite.h"
#include "formats/HavDecode.h"
#include "formats/HavWriter.h"
#include "platform/LocalChannel.h"
#include "platform/PostedMessage.h"
#include "player/HplMain.h"
#include "runtime/Errors.h"
#include "runtime/miscprocs.h"
#include "support/GuiSupport.h"
#include "support/TestSupport.h"

extern char** environ;

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;

namespace {

void StartApp() { test::StartGuiApp(); }

// Processes events until `done` holds or `ms` have passed.
bool Pump(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        QApplication::processEvents();
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Pump(int ms) {
    Pump([] { return false; }, ms);
}

// A movie of gradients with a moving disc; `frames` 0 with sound makes a sound-only file.
void MakeMovie(const std::string& name, int32_t w, int32_t h, int32_t frames, double fps,
               double soundSeconds = 0) {
    const QWaveFmt pcm{WAVE_FORMAT_PCM, 1, 8000, 0, 0, 16, 0};
    Qimg img{};
    MonitoredIsolated([&] {
        QHavWriter wr;
        HAVCreate(wr, name, w, h, 3, HAV_CODEC_BEST, 0, fps, soundSeconds > 0 ? &pcm : nullptr);
        if (frames > 0) _imgalloc_(img, w, h, "MainWindowTest.img", __LINE__, 24);
        for (int32_t f = 0; f < frames; ++f) {
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    uint8_t* p = img.data + 3 * (y * w + x);
                    const double dx = x - (w * (0.2 + 0.6 * f / std::max(frames, 1))),
                                 dy = y - h * 0.4;
                    const bool disc = dx * dx + dy * dy < h * h / 25.0;
                    p[0] = disc ? 60 : uint8_t(255 - 160 * y / h);
                    p[1] = disc ? 200 : uint8_t(80 + 100 * y / h);
                    p[2] = disc ? 250 : uint8_t(40 + 150 * x / w);
                }
            HAVAddFrame(wr, img);
        }
        std::vector<int16_t> silence(static_cast<size_t>(soundSeconds * 8000));
        if (!silence.empty())
            HAVAddSound(wr, reinterpret_cast<const uint8_t*>(silence.data()),
                        static_cast<int32_t>(silence.size()));
        HAVWriterClose(wr);
    });
    ImgFree(img);
    ASSERT_TRUE(ErrNone()) << ErrLastText();
}

// Counts the repetitions the window starts.
struct Form : TfrmKelvora {
    using TfrmKelvora::TfrmKelvora;
    int replays = 0;
    bool event(QEvent* e) override {
        if (e->type() == PostedMessage::EventType() &&
            static_cast<PostedMessage*>(e)->message == UM_REPLAY)
            ++replays;
        return TfrmKelvora::event(e);
    }
};

std::string Text(const QLabel* l) { return l->text().toStdString(); }

std::vector<std::string> PopupTexts(const TfrmKelvora& f) {
    std::vector<std::string> texts;
    for (const QPopupItem& item : PopupItems(f.PopupDescription())) texts.push_back(item.text);
    return texts;
}

struct MainWindowTest : ::testing::Test {
    void SetUp() override {
        StartApp();
        setenv("XDG_CONFIG_HOME", dir.file("cfg").c_str(), 1);
        setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);  // the association store (uninstall)
        VclScriptClear();
        clip = dir.file("clip.hav");
    }
    void TearDown() override {
        form.reset();
        CmdLine_Set("kelvora");
    }
    // A window started with `cmdLine`, its command line processed.
    Form& Start(const std::string& cmdLine = "kelvora") {
        CmdLine_Set(cmdLine);
        form.reset();
        form = std::make_unique<Form>(dir.file("kelvora.ini"));
        form->onQuit = [this] { ++quits; };
        form->show();
        Pump(30);
        return *form;
    }
    bool Playing() const { return HplGetState(form->Player()) == HPL_PLAYING; }
    // Buttons as "play pause open backward forward options", each 1 or 0.
    std::string Enabled() const {
        std::string s;
        for (const QToolButton* b : {form->btnPlay, form->btnPause, form->btnEject, form->btn1Back,
                                     form->btn1Forward, form->btnOptions})
            s += b->isEnabled() ? '1' : '0';
        return s;
    }
    void SaveSettings(const QAppSettings& s) { SettingsSave(s, dir.file("kelvora.ini"), "", true); }

    TempDir dir;
    std::string clip;
    std::unique_ptr<Form> form;
    int quits = 0;
};

}  // namespace

TEST_F(MainWindowTest, ButtonsKeysAndMenuFollowTheState) {
    MakeMovie(clip, 100, 50, 100, 25);
    Form& f = Start();
    EXPECT_EQ(Enabled(), "001001");
    EXPECT_EQ(PopupTexts(f),
              (std::vector<std::string>{"Open File...", "-", "Options...", "-", "Exit"}));
    int32_t key = VK_RETURN;  // a handled key is consumed even when its command is disabled
    f.FormKeyDown(key);
    EXPECT_EQ(key, 0);
    EXPECT_FALSE(Playing());

    ASSERT_TRUE(f.OpenMediaFile(clip));
    EXPECT_EQ(Enabled(), "101111");
    EXPECT_EQ(PopupTexts(f).size(), 14u);
    key = VK_RIGHT;
    f.FormKeyDown(key);
    EXPECT_EQ(HplGetPos(f.Player(), HPL_UNIT_FRAMES), 1);

    f.StartPlaying();
    EXPECT_TRUE(Playing());
    EXPECT_EQ(Enabled(), "011110");
    const std::vector<std::string> playing = PopupTexts(f);
    EXPECT_EQ(std::count(playing.begin(), playing.end(), "Play"), 0);
    EXPECT_EQ(std::count(playing.begin(), playing.end(), "Options..."), 0);
    VclScriptPush(CMD_OPTIONS);  // not offered while playing: chooses nothing
    QMouseEvent right(QEvent::MouseButtonPress, QPointF(150, 5), QPointF(150, 5), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(&f, &right);
    EXPECT_TRUE(Playing());

    key = VK_ESCAPE;
    f.FormKeyDown(key);
    EXPECT_FALSE(Playing());
    EXPECT_EQ(Enabled(), "101111");
    // Closed while playing (a close request): the stop notice still queued changes nothing.
    f.StartPlaying();
    f.CloseFile();
    Pump(100);
    EXPECT_EQ(Enabled(), "001001");
    EXPECT_TRUE(f.NoFile());
    EXPECT_EQ(f.windowTitle().toStdString(), "Kelvora 1.4.0");
}

TEST_F(MainWindowTest, PanelsAndTitles) {
    const std::string many = dir.file("many.hav");
    MakeMovie(many, 4, 4, 5678, 25);
    Form& f = Start();
    EXPECT_EQ(Text(f.panLeft), "  Time");
    EXPECT_EQ(Text(f.panRight), "  Frame");
    EXPECT_EQ(AppTitle(), "Kelvora 1.4.0");

    f.Settings().audioEnabled = false;
    ASSERT_TRUE(f.OpenMediaFile(many));
    EXPECT_EQ(Text(f.panRight), " Audio Disabled");  // until the posted status arrives
    Pump(30);
    EXPECT_EQ(Text(f.panRight), " 1 / 5,678");
    EXPECT_EQ(f.windowTitle().toStdString(), "many.hav - Kelvora (paused)");
    EXPECT_EQ(AppTitle(), "many.hav - Kelvora (paused)");

    f.HandleMessage(UM_SHOWFRAME, 0, 1233);
    EXPECT_EQ(Text(f.panRight), " 1,234 / 5,678");
    f.HandleMessage(UM_SHOWFRAME, 0, 99999);
    EXPECT_EQ(Text(f.panRight), " 5,678 / 5,678");
    f.HandleMessage(UM_SHOWFPS, 0, 25000);
    EXPECT_EQ(Text(f.panRight), "  25.00 fps");
    f.HandleMessage(UM_SHOWTIME, 0, 65);
    EXPECT_EQ(Text(f.panLeft), " 00:01:05 - 00:03:47");  // 5678 frames at 25 fps

    f.Settings().repeatForever = true;
    f.StartPlaying();
    EXPECT_EQ(f.windowTitle().toStdString(), "many.hav - Kelvora (playing)");
    EXPECT_EQ(f.RepeatCounter(), REPEAT_FOREVER);
    f.Pause();
}

TEST_F(MainWindowTest, WindowSizesFollowThePicture) {
    Form& f = Start();
    EXPECT_EQ(f.size(), QSize(308, 252));  // the 200 x 150 logo

    const std::string big = dir.file("big.hav");
    MakeMovie(clip, 100, 50, 2, 25);
    MakeMovie(big, 640, 480, 2, 25);
    ASSERT_TRUE(f.OpenMediaFile(clip));
    EXPECT_EQ(f.size(), QSize(308, 152));
    EXPECT_EQ(f.panPicture->geometry(), QRect(2, 0, 304, 62));
    EXPECT_EQ(f.Player()->display->window->geometry(), QRect(102, 6, 100, 50));
    EXPECT_EQ(f.bar1->geometry(), QRect(-1, 66, 310, 28));
    EXPECT_EQ(f.panRight->y(), 125);

    ASSERT_TRUE(f.OpenMediaFile(big));
    EXPECT_EQ(f.size(), QSize(656, 582));
    EXPECT_EQ(f.Player()->display->window->geometry(), QRect(6, 6, 640, 480));
    EXPECT_EQ(f.bar1->width(), 658);
}

TEST_F(MainWindowTest, SoundOnlyFile) {
    const std::string tune = dir.file("tune.hav");
    MakeMovie(tune, 8, 8, 0, 25, 3.0);
    Form& f = Start();
    ASSERT_TRUE(f.OpenMediaFile(tune));
    EXPECT_EQ(f.size(), QSize(308, 90));
    EXPECT_FALSE(f.panPicture->isVisible());
    EXPECT_EQ(f.bar1->maximum(), 3000);
    Pump(30);
    EXPECT_EQ(Text(f.panRight), " 1 / 0");

    f.SmallStepForward();
    EXPECT_NEAR(HplGetPos(f.Player(), HPL_UNIT_SECONDS), 1.0, 0.01);

    f.Settings().audioEnabled = false;
    VclScriptPush(ID_NO);
    f.StartPlaying();
    EXPECT_FALSE(Playing());
    EXPECT_FALSE(f.Settings().audioEnabled);
    ASSERT_FALSE(VclScriptLog().empty());
    EXPECT_EQ(VclScriptLog().back().text, "Audio playing is disabled, do you want to enable it?");
    VclScriptPush(ID_YES);
    f.StartPlaying();
    EXPECT_TRUE(f.Settings().audioEnabled);
    f.Pause();

    // A WAV file takes the same layout.
    const QWaveFmt mono{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    std::vector<int16_t> pcm(8000 * 2, 0);
    QWavWriter w{BAD_HANDLE, {}, 0};
    MonitoredIsolated([&] {
        WAVWriterCreate(w, dir.file("tune.wav"), mono);
        WAVWriterAdd(w, reinterpret_cast<const uint8_t*>(pcm.data()),
                     static_cast<int32_t>(pcm.size()));
        WAVWriterClose(w);
    });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    ASSERT_TRUE(f.OpenMediaFile(dir.file("tune.wav")));
    EXPECT_EQ(f.size(), QSize(308, 90));
    EXPECT_FALSE(f.panPicture->isVisible());
    EXPECT_EQ(f.bar1->maximum(), 2000);

    // So does an MP3 (made by ffmpeg from the WAV, when it is there).
    if (test::HaveTools({"ffmpeg"}) &&
        test::RunQuiet("ffmpeg -v error -nostdin -y -i '" + dir.file("tune.wav") +
                       "' -c:a libmp3lame '" + dir.file("tune.mp3") + "'")) {
        ASSERT_TRUE(f.OpenMediaFile(dir.file("tune.mp3")));
        EXPECT_EQ(f.size(), QSize(308, 90));
        EXPECT_FALSE(f.panPicture->isVisible());
        EXPECT_EQ(f.bar1->maximum(), 2000);
    }
}

TEST_F(MainWindowTest, RepetitionsAndStills) {
    QAppSettings s;
    s.repeatPlaying = 2;
    SaveSettings(s);
    MakeMovie(clip, 16, 16, 5, 40);  // 0.125 s
    Form& f = Start();
    ASSERT_TRUE(f.OpenMediaFile(clip));
    f.StartPlaying();
    EXPECT_TRUE(Pump([&] { return !Playing() && f.btnPlay->isEnabled(); }, 5000));
    Pump(50);
    EXPECT_EQ(f.replays, 1);
    EXPECT_EQ(f.RepeatCounter(), 0);
    EXPECT_TRUE(f.AtEnd());

    // A still plays once, whatever the setting, and is stopped again at once.
    MonitoredIsolated([&] {
        Qimg img{};
        _imgalloc_(img, 10, 10, "MainWindowTest.still", __LINE__, 24);
        ImgSaveBMP(dir.file("still.bmp"), img);
        ImgFree(img);
    });
    f.Settings().repeatForever = true;
    ASSERT_TRUE(f.OpenMediaFile(dir.file("still.bmp")));
    EXPECT_NEAR(f.Duration(), 1 / 15.0, 1e-9);
    EXPECT_EQ(f.bar1->maximum(), 0);
    f.StartPlaying();
    EXPECT_EQ(f.RepeatCounter(), 0);  // set to 1, and the one run is over
    EXPECT_EQ(Enabled(), "101111");
    Pump(50);
    EXPECT_EQ(f.replays, 1);
    EXPECT_EQ(Enabled(), "101111");
}

TEST_F(MainWindowTest, PlayAndCloseEndsAfterTheFirstRun) {
    QAppSettings s;
    s.repeatPlaying = 3;
    SaveSettings(s);
    MakeMovie(clip, 16, 16, 5, 40);
    Form& f = Start("kelvora /playclose=\"" + clip + "\"");
    // The command line is acted on from the event loop: a busy machine takes a while.
    EXPECT_TRUE(Pump([&] { return f.CloseAfterPlaying(); }, 5000));
    EXPECT_TRUE(Pump([&] { return quits > 0; }, 5000));
    EXPECT_EQ(f.replays, 0);
    EXPECT_EQ(quits, 1);
    EXPECT_FALSE(f.isVisible());
}

TEST_F(MainWindowTest, CommandLineForms) {
    MakeMovie(clip, 16, 16, 100, 25);
    {
        Form& f = Start("\"/opt/my player/kelvora\" /OPEN=\"" + clip + "\"");
        // The command line is acted on from the event loop: a busy machine takes a while.
        EXPECT_TRUE(Pump([&] { return !f.NoFile(); }, 5000));
        EXPECT_EQ(f.bar1->maximum(), 3960);
        EXPECT_DOUBLE_EQ(f.Duration(), 4.0);
        EXPECT_FALSE(Playing());
    }
    Start("kelvora \"" + clip + "\"");
    EXPECT_TRUE(Pump([&] { return Playing(); }, 5000));
    form->Pause();

    Start("kelvora /inst");
    EXPECT_TRUE(Pump([&] { return quits == 1; }, 5000));
    EXPECT_NE(ReadFileBytes(dir.file("cfg/win.ini")).find("Kelvora-WndClass=TfrmKelvora"),
              std::string::npos);
    std::filesystem::remove(dir.file("cfg/win.ini"));
    Start("kelvora /uninst /open=\"" + clip + "\"");
    EXPECT_TRUE(Pump([&] { return form->Uninstalling(); }, 5000));
    EXPECT_TRUE(form->NoFile());  // nothing after the verb is processed
    EXPECT_FALSE(std::filesystem::exists(dir.file("cfg/win.ini")));
}

TEST_F(MainWindowTest, DialogsFromTheWindow) {
    MakeMovie(clip, 16, 16, 100, 25);
    setenv("KELVORA_SCREEN_DEPTH", "8", 1);
    Form& f = Start();
    unsetenv("KELVORA_SCREEN_DEPTH");
    ASSERT_FALSE(VclScriptLog().empty());
    EXPECT_EQ(VclScriptLog().front().text.substr(0, 28), "Your screen currently can't ");
    ASSERT_TRUE(f.OpenMediaFile(clip));

    std::string report;
    NotepadSetShowHook(
        [&](TfrmNotepad& w) { report = w.windowTitle().toStdString() + "|" + w.Text(); });
    int32_t key = VK_F5;
    f.FormKeyDown(key);
    NotepadSetShowHook(nullptr);
    EXPECT_EQ(report.substr(0, 10), "File info|");
    EXPECT_NE(report.find("clip.hav"), std::string::npos);

    // A new rate from the options dialog changes the duration and the bar at once.
    OptionsSetShowHook([](TfrmOpt& d) {
        d.edFPS->setText("50");
        d.btnOK->click();
    });
    key = VK_F10;
    f.FormKeyDown(key);
    OptionsSetShowHook(nullptr);
    EXPECT_DOUBLE_EQ(f.FrameRate(), 50.0);
    EXPECT_DOUBLE_EQ(f.Duration(), 2.0);
    EXPECT_EQ(f.bar1->maximum(), 1980);
    EXPECT_NE(ReadFileBytes(dir.file("kelvora.ini")).find("RepeatPlaying"), std::string::npos);
}

TEST_F(MainWindowTest, ChannelRequests) {
    MakeMovie(clip, 16, 16, 3, 25);
    Form& f = Start();
    const auto send = [&](int32_t ch, const std::string& text) {
        f.HandleMessage(UM_IPCDATA, 0x100 + ch, static_cast<int32_t>(text.size()));
        for (size_t i = 0; i < text.size(); i += 4) {
            uint32_t word = 0;
            for (size_t k = 0; k < 4 && i + k < text.size(); ++k)
                word |= uint32_t(uint8_t(text[i + k])) << (8 * k);
            f.HandleMessage(UM_IPCDATA, 0x200 + ch, static_cast<int32_t>(word));
        }
    };
    send(5, clip);
    send(0, "");
    EXPECT_TRUE(f.NoFile());
    send(0, clip);
    EXPECT_FALSE(f.NoFile());
    send(2, "");  // closes even without a requester to answer
    EXPECT_TRUE(f.NoFile());
}

TEST_F(MainWindowTest, Screenshots) {
    const std::string demo = dir.file("demo.hav");
    MakeMovie(demo, 320, 240, 50, 25);
    Form& f = Start();
    std::filesystem::create_directories(KV_ARTEFACT_DIR);
    Pump(50);
    EXPECT_TRUE(f.grab().save(KV_ARTEFACT_DIR "/main-window-logo.png"));
    ASSERT_TRUE(f.OpenMediaFile(demo));
    f.StartPlaying();
    Pump(700);
    f.Pause();
    Pump(50);
    const QImage shot = f.grab().toImage();
    EXPECT_TRUE(shot.save(KV_ARTEFACT_DIR "/main-window.png"));
    EXPECT_EQ(shot.size(), QSize(336, 342));
    const QRgb centre = shot.pixel(168, 126);  // inside the picture, not the black panel
    EXPECT_GT(qRed(centre) + qGreen(centre) + qBlue(centre), 100);
}

TEST_F(MainWindowTest, ProgramAnswersACloseRequest) {
    MakeMovie(clip, 16, 16, 3, 25);
    const std::string runtime = dir.file("run");
    ::mkdir(runtime.c_str(), 0700);
    const std::string open = "/open=" + clip;
    const char* args[] = {KV_PLAYER, open.c_str(), nullptr};
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "SDL_AUDIODRIVER=dummy",
                                    "XDG_RUNTIME_DIR=" + runtime,
                                    "XDG_CONFIG_HOME=" + dir.file("cfg"), "HOME=" + dir.path()};
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, KV_PLAYER, nullptr, nullptr, const_cast<char**>(args), envp.data()),
              0);
    const std::string saved = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const bool up = Pump([] { return LcFind(MAIN_WINDOW_CLASS); }, 10000);
    if (saved.empty())
        unsetenv("XDG_RUNTIME_DIR");
    else
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    Pump(300);  // the command line has run
    const std::string cmd = "env XDG_RUNTIME_DIR='" + runtime +
                            "' '" KV_CLI "' send --close >/dev/null 2>&1";
    const int rc = up ? std::system(cmd.c_str()) : -1;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(up) << "the player did not start listening";
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0);
}
