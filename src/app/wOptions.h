#pragma once
// The application settings: eight values kept in section "Local" of the settings file, loaded
// once when the main window is created and saved when the program ends and after the options
// dialog. Saving also publishes, in "win.ini", how other programs can reach the player.

#include <cstdint>
#include <string>

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
    bool showFrameRate = false;     // the measured frame rate instead of the frame counter
    double imgFrameRate = 15.0;     // for still images and still-image sequences
    bool warningLowColor = true;    // warn at start on a screen of fewer than 15 bits per pixel
};

// "kelvora.ini" in `appDir` when that directory is writable, otherwise
// $XDG_CONFIG_HOME/kelvora/kelvora.ini (default ~/.config), whose folder is created.
std::string SettingsFileName(const std::string& appDir);
std::string SettingsFileName();  // for the running program's directory

// Reads the settings; missing or unusable values give the defaults, out-of-range counts and
// rates are clamped.
void SettingsLoad(QAppSettings& settings, const std::string& file);
// Writes the settings and then, unless `uninstalling`, the published entries.
void SettingsSave(const QAppSettings& settings, const std::string& file, const std::string& programPath,
                  bool uninstalling);
// Writes the six published entries (section "tarnwel" of "win.ini") and flushes the file.
void SettingsPublish(const std::string& programPath);

}  // namespace kelvora
