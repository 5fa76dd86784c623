#pragma once
// The application settings: eight values kept in section "Local" of the settings file, loaded
// once when the main window is created and saved when the program ends and after the options
// dialog. Saving also publishes, in "win.ini", how other programs can reach the player.
//
// The options dialog edits the settings together with the frame rate in use of the open file.

#include <QDialog>

#include <cstdint>
#include <functional>
#include <string>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kelvora {

constexpr int32_t REPEAT_MIN = 1;
constexpr int32_t REPEAT_MAX = 1000000;
constexpr double FRAME_RATE_MIN = 0.001;
constexpr double FRAME_RATE_MAX = 1000000.0;

struct QAppSettings {
    std::string fileOpenDir = "/";  // where the Open dialog starts
    int32_t playMode = 0;           // 1: display all frames; other values: frames may be skipped
    int32_t repeatPlaying = 1;      // plays in a row, REPEAT_MIN..REPEAT_MAX
    bool repeatForever = false;     // overrides repeatPlaying
    bool audioEnabled = true;
    bool showFrameRate = false;   // the measured frame rate instead of the frame counter
    double imgFrameRate = 15.0;   // for still images and still-image sequences
    bool warningLowColor = true;  // warn at start on a screen of fewer than 15 bits per pixel
};

// "kelvora.ini" in `appDir` when that directory is writable, otherwise
// $XDG_CONFIG_HOME/kelvora/kelvora.ini (default ~/.config), whose folder is created.
std::string SettingsFileName(const std::string& appDir);
std::string SettingsFileName();  // for the running program's directory

// Reads the settings; missing or unusable values give the defaults, out-of-range counts and
// rates are clamped.
void SettingsLoad(QAppSettings& settings, const std::string& file);
// Writes the settings and then, unless `uninstalling`, the published entries.
void SettingsSave(const QAppSettings& settings, const std::string& file,
                  const std::string& programPath, bool uninstalling);
// Writes the six published entries (section "tarnwel" of "win.ini") and flushes the file.
void SettingsPublish(const std::string& programPath);

// The options dialog. "Set As Default For Images" changes the settings' still-image rate at
// once; everything else reaches the settings only through ShowOptionsDialog's OK.
class TfrmOpt : public QDialog {
public:
    TfrmOpt(QAppSettings& settings, QWidget* parent = nullptr);

    QGroupBox* boxPlayback;
    QRadioButton* radPlayRepeat;
    QLineEdit* edPlayRepeat;
    QLabel* lblTimes;
    QRadioButton* radPlayForever;
    QCheckBox* chkAllFrames;
    QGroupBox* boxFrameRate;
    QLabel* lblFPS;
    QLineEdit* edFPS;
    QPushButton* btnFPSDefault;
    QCheckBox* chkShowFPS;
    QGroupBox* boxOther;
    QCheckBox* chkSndDisable;
    QCheckBox* chkWarningLowColor;
    QPushButton* btnFileAss;
    QPushButton* btnShortcut;
    QPushButton* btnAbout;
    QPushButton* btnOK;
    QPushButton* btnCancel;

    // The controls from the settings and the frame rate in use, and back (clamped, with the
    // fall-backs for unreadable edits).
    void FillControls(const QAppSettings& settings, double frameRate);
    void ReadControls(QAppSettings& settings, double& frameRate) const;

    void radPlayClick();
    void btnFPSDefaultClick();
    void btnFileAssClick();
    void btnShortcutClick();
    void btnAboutClick();

private:
    QAppSettings& settings_;
};

// The modal options dialog; true when closed with OK, which stores the controls in `settings`
// and `frameRate`. On Cancel (or a failure inside) only what the dialog's buttons did stays.
bool ShowOptionsDialog(QAppSettings& settings, double& frameRate);

// For scripted runs: `hook` is called once the dialog is shown; a dialog still open when it
// returns is cancelled. An empty hook clears it. Without a hook on a screen nobody sees
// (offscreen platform) the dialog is cancelled at once.
void OptionsSetShowHook(std::function<void(TfrmOpt&)> hook);

}  // namespace kelvora
