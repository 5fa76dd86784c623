// The user's folders: one rule for $HOME and the XDG variables, seen alike by the profile file,
// the association store and the socket folder.

#include "platform/UserDirs.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/DesktopAssoc.h"
#include "platform/LocalChannel.h"
#include "platform/ProfileFile.h"
#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ScopedEnv;
using test::TempDir;

// The home folder of the password database, "" when it has none usable.
std::string PasswdHome() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw && pw->pw_dir && pw->pw_dir[0] == '/' ? std::string(pw->pw_dir) : std::string();
}

// Where the settings and the associations go, side by side.
struct Places {
    std::string profile, mimeApps, classes, entry;
};

Places Resolve() {
    return {ProfileResolvePath("mimeapps.list"), DesktopMimeAppsFile(), DesktopClassesFile(),
            DesktopEntryFile("Kelvora.VideoClip")};
}

class UserDirs : public ::testing::Test {
protected:
    TempDir dir_;
    // Every variable the rule looks at, put back after each test.
    ScopedEnv home_{"HOME", dir_.file("home")};
    ScopedEnv config_{"XDG_CONFIG_HOME", dir_.file("config")};
    ScopedEnv data_{"XDG_DATA_HOME", dir_.file("data")};
    ScopedEnv dataDirs_{"XDG_DATA_DIRS", ""};
    ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.file("run")};
};

TEST_F(UserDirs, AbsoluteValuesAreHonouredByEveryUser) {
    setenv("XDG_CONFIG_HOME", (dir_.file("config") + "//").c_str(), 1);
    EXPECT_EQ(HomeDir(), dir_.file("home"));
    EXPECT_EQ(ConfigHome(), dir_.file("config"));
    EXPECT_EQ(DataHome(), dir_.file("data"));
    EXPECT_EQ(RuntimeDir(), dir_.file("run"));
    const Places p = Resolve();
    EXPECT_EQ(p.profile, dir_.file("config/mimeapps.list"));
    EXPECT_EQ(p.mimeApps, dir_.file("config/mimeapps.list"));
    EXPECT_EQ(p.classes, dir_.file("config/kelvora/classes.ini"));
    EXPECT_EQ(p.entry, dir_.file("data/applications/Kelvora.VideoClip.desktop"));
    EXPECT_EQ(LcSocketDir(), dir_.file("run"));

    // Without the XDG variables the folders lie in the home folder.
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Resolve().profile, dir_.file("home/.config/mimeapps.list"));
    EXPECT_EQ(Resolve().mimeApps, dir_.file("home/.config/mimeapps.list"));
    EXPECT_EQ(Resolve().entry,
              dir_.file("home/.local/share/applications/Kelvora.VideoClip.desktop"));
    setenv("HOME", "/", 1);
    EXPECT_EQ(ConfigHome(), "/.config");
}

TEST_F(UserDirs, RelativeXdgValuesAreIgnoredAlikeByProfileAndAssociations) {
    for (const char* bad : {"relative/config", "", "./config"}) {
        setenv("XDG_CONFIG_HOME", bad, 1);
        setenv("XDG_DATA_HOME", bad, 1);
        const Places p = Resolve();
        EXPECT_EQ(p.profile, dir_.file("home/.config/mimeapps.list")) << bad;
        EXPECT_EQ(p.mimeApps, p.profile) << bad;
        EXPECT_EQ(p.classes, dir_.file("home/.config/kelvora/classes.ini")) << bad;
        EXPECT_EQ(p.entry, dir_.file("home/.local/share/applications/Kelvora.VideoClip.desktop"))
            << bad;
    }
}

TEST_F(UserDirs, RelativeHomeFallsBackToThePasswordDatabaseForEveryUser) {
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    const std::string pw = PasswdHome();
    for (const char* bad : {"relative/home", "", "~"}) {
        setenv("HOME", bad, 1);
        EXPECT_EQ(HomeDir(), pw) << bad;
        const Places p = Resolve();
        // Settings and associations agree, and nothing lands below the working directory.
        EXPECT_EQ(p.mimeApps, p.profile) << bad;
        EXPECT_EQ(p.classes.substr(0, p.classes.rfind("/kelvora/")), ConfigHome()) << bad;
        if (pw.empty()) {
            EXPECT_EQ(p.profile, "");
            EXPECT_EQ(p.entry, "");
        } else {
            EXPECT_EQ(p.profile, ConfigHome() + "/mimeapps.list") << bad;
            EXPECT_EQ(ConfigHome(), (pw == "/" ? "" : pw) + "/.config") << bad;
            EXPECT_EQ(p.entry.rfind(pw == "/" ? "/.local/share/" : pw + "/.local/share/", 0), 0u)
                << p.entry;
        }
    }
    // An absolute XDG value still counts without a usable $HOME.
    setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
    EXPECT_EQ(Resolve().profile, dir_.file("config/mimeapps.list"));
    EXPECT_EQ(Resolve().mimeApps, dir_.file("config/mimeapps.list"));
}

TEST_F(UserDirs, RelativeRuntimeDirUsesThePrivateFolder) {
    ScopedEnv tmp{"TMPDIR", dir_.path()};
    setenv("XDG_RUNTIME_DIR", "run", 1);
    EXPECT_EQ(RuntimeDir(), "");
    EXPECT_EQ(LcSocketDir(), dir_.file("kelvora-" + std::to_string(::getuid())));
}

TEST_F(UserDirs, DataDirsKeepAbsoluteEntriesOnce) {
    EXPECT_EQ(DataDirs(), (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
    setenv("XDG_DATA_DIRS", "/opt/a/:relative::/opt/b:/opt/a", 1);
    EXPECT_EQ(DataDirs(), (std::vector<std::string>{"/opt/a", "/opt/b"}));
    setenv("XDG_DATA_DIRS", "relative", 1);
    EXPECT_TRUE(DataDirs().empty());
}

}  // namespace
}  // namespace kelvora
