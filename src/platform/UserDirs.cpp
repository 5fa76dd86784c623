#include "platform/UserDirs.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include <pwd.h>
#include <unistd.h>

#include "platform/PlatformText.h"

namespace kelvora {

namespace {

bool IsAbsolute_(const char* path) { return path != nullptr && path[0] == '/'; }

// The variable's value when it is an absolute path, else empty.
std::string AbsoluteEnv_(const char* name) {
    const char* v = std::getenv(name);
    return IsAbsolute_(v) ? NoTrailingSlash(v) : std::string();
}

// The variable's folder, else `belowHome` in the home folder.
std::string BaseDir_(const char* name, const char* belowHome) {
    const std::string dir = AbsoluteEnv_(name);
    if (!dir.empty()) return dir;
    const std::string home = HomeDir();
    if (home.empty()) return home;
    return (home == "/" ? std::string() : home) + "/" + belowHome;
}

}  // namespace

std::string HomeDir() {
    const std::string home = AbsoluteEnv_("HOME");
    if (!home.empty()) return home;
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        IsAbsolute_(found->pw_dir))
        return NoTrailingSlash(found->pw_dir);
    return std::string();
}

std::string ConfigHome() { return BaseDir_("XDG_CONFIG_HOME", ".config"); }

std::string DataHome() { return BaseDir_("XDG_DATA_HOME", ".local/share"); }

std::vector<std::string> DataDirs() {
    const char* v = std::getenv("XDG_DATA_DIRS");
    const std::string_view list = (v && *v) ? std::string_view(v)
                                            : std::string_view("/usr/local/share:/usr/share");
    std::vector<std::string> dirs;
    for (std::string_view entry : SplitText(list, ':')) {
        if (entry.empty() || entry.front() != '/') continue;
        std::string dir = NoTrailingSlash(std::string(entry));
        if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(std::move(dir));
    }
    return dirs;
}

std::string RuntimeDir() { return AbsoluteEnv_("XDG_RUNTIME_DIR"); }

}  // namespace kelvora
