#include "app/wOptions.h"

#include <unistd.h>

#include <cmath>
#include <filesystem>

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

}  // namespace

std::string SettingsFileName(const std::string& appDir) {
    if (!appDir.empty() && DirExists(appDir) && ::access(appDir.c_str(), W_OK) == 0)
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
    s.imgFrameRate = std::isfinite(s.imgFrameRate) ? ClampFloat(s.imgFrameRate, FRAME_RATE_MIN, FRAME_RATE_MAX)
                                                   : def.imgFrameRate;
    PrefsReadBool("WarningLowColor", s.warningLowColor, def.warningLowColor);
}

void SettingsSave(const QAppSettings& s, const std::string& file, const std::string& programPath,
                  bool uninstalling) {
    PrefsPrepare(file, SECTION);
    PrefsWriteStr("FileOpenDir", s.fileOpenDir);
    PrefsWriteInt("PlayMode", s.playMode);
    PrefsWriteInt("RepeatPlaying", s.repeatPlaying);
    PrefsWriteBool("RepeatForever", s.repeatForever);
    PrefsWriteBool("AudioEnabled", s.audioEnabled);
    PrefsWriteBool("ShowFrameRate", s.showFrameRate);
    PrefsWriteFloat("ImgFrameRate", s.imgFrameRate);
    PrefsWriteBool("WarningLowColor", s.warningLowColor);
    if (!uninstalling) SettingsPublish(programPath);
}

void SettingsPublish(const std::string& programPath) {
    PrefsPrepare(PUBLISH_FILE, PUBLISH_SECTION);
    PrefsWriteStr("Kelvora-Path", programPath);
    PrefsWriteStr("Kelvora-Ver", KV_VERSION);
    PrefsWriteStr("Kelvora-WndClass", WINDOW_CLASS);
    PrefsWriteStr("Kelvora-CmdOpen", "/open=\"%s\"");
    PrefsWriteStr("Kelvora-CmdPlay", "/play=\"%s\"");
    PrefsWriteStr("Kelvora-CmdPlayClose", "/playclose=\"%s\"");
    PrefsFlushCache();
}

}  // namespace kelvora
