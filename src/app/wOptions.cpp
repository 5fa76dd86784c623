#include "app/wOptions.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "app/VCLUtils.h"
#include "app/WinUtils.h"
#include "app/wFileAss.h"
#include "kelvora_version.h"
#include "platform/ProfileFile.h"
#include "runtime/Basic.h"
#include "runtime/iniwrap.h"
#include "runtime/miscprocs.h"

namespace kelvora {

namespace {

constexpr const char* SECTION = "Local";
constexpr const char* SETTINGS_FILE = "kelvora.ini";
constexpr const char* PUBLISH_FILE = "win.ini";
constexpr const char* PUBLISH_SECTION = "tarnwel";
constexpr const char* WINDOW_CLASS = "TfrmKelvora";
constexpr double DEFAULT_FRAME_RATE = 15.0;
constexpr int OPT_WIDTH = 445;
constexpr int OPT_HEIGHT = 286;

std::function<void(TfrmOpt&)> gShowHook;

// The rate of the frame-rate edit: unreadable gives the default, anything else is clamped
// (NaN cannot pass the edit's number check).
double EditRate_(QLineEdit* edit) {
    return ClampFloat(TEdit_GetFloat(edit, DEFAULT_FRAME_RATE), FRAME_RATE_MIN, FRAME_RATE_MAX);
}

}  // namespace

std::string SettingsFileName(const std::string& appDir) {
    // Beside a program run from its own writable folder; an installed copy writes nothing into
    // its prefix, even for a user (root) who could.
    if (!appDir.empty() && DirExists(appDir) && ::access(appDir.c_str(), W_OK) == 0 &&
        InstalledShareDir(appDir).empty())
        return AddBS(appDir) + SETTINGS_FILE;
    // The folder beside "win.ini" ($XDG_CONFIG_HOME, default ~/.config).
    const std::string dir = ProfileResolvePath("kelvora");
    if (dir.empty()) return AddBS(appDir) + SETTINGS_FILE;  // no home: nowhere better
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir + "/" + SETTINGS_FILE;
}

std::string SettingsFileName() { return SettingsFileName(GetAppDir()); }

void SettingsLoad(QAppSettings& s, const std::string& file) {
    const QAppSettings def;
    PrefsPrepare(file, SECTION);
    PrefsReadStr("FileOpenDir", s.fileOpenDir, def.fileOpenDir);
    PrefsReadInt("PlayMode", s.playMode, def.playMode);
    PrefsReadInt("RepeatPlaying", s.repeatPlaying, def.repeatPlaying);
    s.repeatPlaying = ClampInt(s.repeatPlaying, REPEAT_MIN, REPEAT_MAX);
    PrefsReadBool("RepeatForever", s.repeatForever, def.repeatForever);
    PrefsReadBool("AudioEnabled", s.audioEnabled, def.audioEnabled);
    PrefsReadBool("ShowFrameRate", s.showFrameRate, def.showFrameRate);
    PrefsReadFloat("ImgFrameRate", s.imgFrameRate, def.imgFrameRate);
    // The still-image rate divides durations: keep it in the range the options dialog allows.
    s.imgFrameRate = std::isfinite(s.imgFrameRate)
                         ? ClampFloat(s.imgFrameRate, FRAME_RATE_MIN, FRAME_RATE_MAX)
                         : def.imgFrameRate;
    PrefsReadBool("WarningLowColor", s.warningLowColor, def.warningLowColor);
}

void SettingsSave(const QAppSettings& s, const std::string& file, const std::string& programPath,
                  bool uninstalling) {
    PrefsPrepare(file, SECTION);
    // One replacement of the file: a program stopped while saving keeps the old settings whole.
    PrefsBatchBegin();
    PrefsWriteStr("FileOpenDir", s.fileOpenDir);
    PrefsWriteInt("PlayMode", s.playMode);
    PrefsWriteInt("RepeatPlaying", s.repeatPlaying);
    PrefsWriteBool("RepeatForever", s.repeatForever);
    PrefsWriteBool("AudioEnabled", s.audioEnabled);
    PrefsWriteBool("ShowFrameRate", s.showFrameRate);
    PrefsWriteFloat("ImgFrameRate", s.imgFrameRate);
    PrefsWriteBool("WarningLowColor", s.warningLowColor);
    PrefsBatchEnd();
    if (!uninstalling) SettingsPublish(programPath);
}

void SettingsPublish(const std::string& programPath) {
    PrefsPrepare(PUBLISH_FILE, PUBLISH_SECTION);
    PrefsBatchBegin();
    PrefsWriteStr("Kelvora-Path", programPath);
    PrefsWriteStr("Kelvora-Ver", KV_VERSION);
    PrefsWriteStr("Kelvora-WndClass", WINDOW_CLASS);
    PrefsWriteStr("Kelvora-CmdOpen", "/open=\"%s\"");
    PrefsWriteStr("Kelvora-CmdPlay", "/play=\"%s\"");
    PrefsWriteStr("Kelvora-CmdPlayClose", "/playclose=\"%s\"");
    PrefsBatchEnd();
    PrefsFlushCache();
}

TfrmOpt::TfrmOpt(QAppSettings& settings, QWidget* parent) : QDialog(parent), settings_(settings) {
    setObjectName(QStringLiteral("frmOpt"));

    boxPlayback = new QGroupBox(QStringLiteral("Playback"), this);
    radPlayRepeat = new QRadioButton(QStringLiteral("Play"), boxPlayback);
    edPlayRepeat = new QLineEdit(boxPlayback);
    edPlayRepeat->setFixedWidth(72);
    edPlayRepeat->setMaxLength(12);
    lblTimes = new QLabel(QStringLiteral("Time(s)"), boxPlayback);
    radPlayForever = new QRadioButton(QStringLiteral("Repeat Forever"), boxPlayback);
    chkAllFrames = new QCheckBox(QStringLiteral("Display All Frames (Async)"), boxPlayback);
    auto* play = new QGridLayout(boxPlayback);
    play->addWidget(radPlayRepeat, 0, 0);
    play->addWidget(edPlayRepeat, 0, 1);
    play->addWidget(lblTimes, 0, 2);
    play->setColumnStretch(3, 1);
    play->addWidget(radPlayForever, 1, 0, 1, 4);
    play->addWidget(chkAllFrames, 2, 0, 1, 4);

    boxFrameRate = new QGroupBox(QStringLiteral("Frame Rate"), this);
    lblFPS = new QLabel(QStringLiteral("&Frame Rate (FPS)"), boxFrameRate);
    edFPS = new QLineEdit(boxFrameRate);
    edFPS->setFixedWidth(72);
    edFPS->setMaxLength(24);
    lblFPS->setBuddy(edFPS);
    btnFPSDefault = new QPushButton(QStringLiteral("Set As Default For Images"), boxFrameRate);
    btnFPSDefault->setAutoDefault(false);
    chkShowFPS = new QCheckBox(QStringLiteral("Show Frame Rate"), boxFrameRate);
    auto* rate = new QGridLayout(boxFrameRate);
    rate->addWidget(lblFPS, 0, 0);
    rate->addWidget(edFPS, 0, 1);
    rate->setColumnStretch(2, 1);
    rate->addWidget(btnFPSDefault, 1, 0, 1, 2);
    rate->addWidget(chkShowFPS, 2, 0, 1, 3);

    boxOther = new QGroupBox(QStringLiteral("Other"), this);
    chkSndDisable = new QCheckBox(QStringLiteral("Disable Audio"), boxOther);
    chkWarningLowColor = new QCheckBox(QStringLiteral("Warn If Screen Color Depth Is Low"), boxOther);
    auto* other = new QHBoxLayout(boxOther);
    other->addWidget(chkSndDisable);
    other->addSpacing(12);
    other->addWidget(chkWarningLowColor);
    other->addStretch(1);

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnFileAss = new QPushButton(QStringLiteral("File Ass&ociations..."), this);
    btnShortcut = new QPushButton(QStringLiteral("Create Desktop Shortcut"), this);
    btnAbout = new QPushButton(QStringLiteral("About..."), this);
    for (QPushButton* b : {btnCancel, btnFileAss, btnShortcut, btnAbout}) b->setAutoDefault(false);

    // The groups are tight in the fixed client area: small group margins and spacing.
    for (QLayout* l :
         {static_cast<QLayout*>(play), static_cast<QLayout*>(rate), static_cast<QLayout*>(other)}) {
        l->setContentsMargins(9, 4, 9, 6);
        l->setSpacing(4);
    }
    auto* groups = new QVBoxLayout;
    groups->setSpacing(6);
    groups->addWidget(boxPlayback);
    groups->addWidget(boxFrameRate);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    buttons->addStretch(1);
    buttons->addWidget(btnFileAss);
    buttons->addWidget(btnShortcut);
    buttons->addWidget(btnAbout);
    auto* top = new QHBoxLayout;
    top->setSpacing(10);
    top->addLayout(groups, 1);
    top->addLayout(buttons);
    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 6, 8, 8);
    all->setSpacing(6);
    all->addLayout(top, 1);
    all->addWidget(boxOther);

    connect(radPlayRepeat, &QRadioButton::clicked, this, [this] { radPlayClick(); });
    connect(radPlayForever, &QRadioButton::clicked, this, [this] { radPlayClick(); });
    connect(btnFPSDefault, &QPushButton::clicked, this, [this] { btnFPSDefaultClick(); });
    connect(btnFileAss, &QPushButton::clicked, this, [this] { btnFileAssClick(); });
    connect(btnShortcut, &QPushButton::clicked, this, [this] { btnShortcutClick(); });
    connect(btnAbout, &QPushButton::clicked, this, [this] { btnAboutClick(); });
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    setFixedSize(OPT_WIDTH, OPT_HEIGHT);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(OPT_WIDTH / 2, OPT_HEIGHT / 2));
}

void TfrmOpt::FillControls(const QAppSettings& s, double frameRate) {
    chkAllFrames->setChecked(s.playMode == 1);
    TEdit_SetFloat(edFPS, frameRate);
    (s.repeatForever ? radPlayForever : radPlayRepeat)->setChecked(true);
    TEdit_SetInt(edPlayRepeat, s.repeatPlaying);
    radPlayClick();
    chkSndDisable->setChecked(!s.audioEnabled);
    chkShowFPS->setChecked(s.showFrameRate);
    chkWarningLowColor->setChecked(s.warningLowColor);
}

void TfrmOpt::ReadControls(QAppSettings& s, double& frameRate) const {
    s.playMode = chkAllFrames->isChecked() ? 1 : 0;
    frameRate = EditRate_(edFPS);
    s.repeatPlaying = ClampInt(TEdit_GetInt(edPlayRepeat, s.repeatPlaying), REPEAT_MIN, REPEAT_MAX);
    s.repeatForever = radPlayForever->isChecked();
    s.audioEnabled = !chkSndDisable->isChecked();
    s.showFrameRate = chkShowFPS->isChecked();
    s.warningLowColor = chkWarningLowColor->isChecked();
}

void TfrmOpt::radPlayClick() { TEdit_Enable(edPlayRepeat, radPlayRepeat->isChecked()); }

void TfrmOpt::btnFPSDefaultClick() { settings_.imgFrameRate = EditRate_(edFPS); }

void TfrmOpt::btnFileAssClick() {
    ShowAssocDialog(QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString(), this);
}

void TfrmOpt::btnShortcutClick() {
    CreateDesktopLink(QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString(),
                      "Kelvora");
}

void TfrmOpt::btnAboutClick() {
    InfoBox(std::string("Kelvora ") + KV_VERSION + " (" + KV_RELEASE_DATE + ")\r\n\r\n" +
            "Plays movies, still pictures and sound files.");
}

bool ShowOptionsDialog(QAppSettings& settings, double& frameRate) {
    try {
        TfrmOpt dlg(settings);
        dlg.setWindowTitle(QStringLiteral("Options"));
        dlg.FillControls(settings, frameRate);
        if (gShowHook || VclHeadless_()) {
            QPointer<TfrmOpt> w = &dlg;
            ::QTimer::singleShot(0, &dlg, [w] {
                const auto hook = gShowHook;
                if (w && hook) hook(*w);
                if (w && w->isVisible()) w->reject();
            });
        }
        if (dlg.exec() != QDialog::Accepted) return false;
        // Read into copies first, so a failure leaves the caller's values whole.
        QAppSettings s = settings;
        double rate = frameRate;
        dlg.ReadControls(s, rate);
        settings = s;
        frameRate = rate;
        return true;
    } catch (...) {
        return false;
    }
}

void OptionsSetShowHook(std::function<void(TfrmOpt&)> hook) { gShowHook = std::move(hook); }

}  // namespace kelvora
