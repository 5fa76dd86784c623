// The user's folder list and desktop launchers.

#include "app/WinUtils.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/UserDirs.h"
#include "runtime/miscprocs.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

// $XDG_CONFIG_HOME and $HOME in temporary folders for one test.
struct WinUtilsTest : ::testing::Test {
    static std::string Key(const std::string& text, const std::string& key) {
        const size_t at = text.find("\n" + key + "=");
        if (at == std::string::npos) return "<none>";
        const size_t start = at + key.size() + 2;
        return text.substr(start, text.find('\n', start) - start);
    }
    test::TempDir config, home, work;
    test::ScopedEnv configEnv{"XDG_CONFIG_HOME", config.path()};
    test::ScopedEnv homeEnv{"HOME", home.path()};
};

}  // namespace

TEST_F(WinUtilsTest, FolderListValues) {
    test::WriteFileBytes(config.file("user-dirs.dirs"),
                         "# written by the desktop\n"
                         "XDG_DESKTOP_DIR=\"$HOME/Desk top\"\n"
                         "XDG_MUSIC_DIR=\"/srv//media//music\"\n"
                         "XDG_VIDEOS_DIR=\"relative/videos\"\n"
                         "XDG_PICTURES_DIR=\"/unclosed\n"
                         "XDG_DOCUMENTS_DIR=\"/first\"\n"
                         "XDG_DOCUMENTS_DIR=\"/my \\\"docs\\\"\"\n"
                         "XDG_TEMPLATES_DIR=\"$HOMEWORK/x\"\n");
    EXPECT_EQ(GetShellFolder("Desktop"), home.path() + "/Desk top/");
    EXPECT_EQ(GetShellFolder("Music"), "/srv/media/music/");
    EXPECT_EQ(GetShellFolder("Documents"), "/my \"docs\"/");  // the last assignment counts
    for (const char* empty : {"Videos", "Pictures", "Templates", "Download", "", "../Desktop"})
        EXPECT_EQ(GetShellFolder(empty), "") << empty;
    EXPECT_EQ(_GetRegistryFolder(config.path(), "XDG_DESKTOP_DIR"), "");  // a folder, not a list
    // Without an absolute $HOME, "$HOME" stands for the home folder the settings use too.
    for (const char* notAbsolute : {"", "relative/home"}) {
        test::ScopedEnv homeValue{"HOME", notAbsolute};
        const std::string pwHome = HomeDir();
        EXPECT_EQ(pwHome.find("relative"), std::string::npos);
        EXPECT_EQ(GetShellFolder("Desktop"), pwHome.empty() ? "" : AddBS(pwHome) + "Desk top/")
            << notAbsolute;
    }
}

TEST_F(WinUtilsTest, LauncherRunsTheProgramQuoted) {
    const std::string program = work.file("my $prog 100%");
    const std::string link = work.file("Player");
    ASSERT_TRUE(
        CreateLink(program, link, "Plays clips", work.path(), "", program, 0, SW_SHOWNORMAL, 0));
    const std::string text = test::ReadFileBytes(link + ".desktop");
    EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
    EXPECT_EQ(Key(text, "Name"), "Player");
    EXPECT_EQ(Key(text, "Comment"), "Plays clips");
    EXPECT_EQ(Key(text, "Exec"), "\"" + work.path() + "/my \\\\$prog 100%%\"");
    EXPECT_EQ(Key(text, "Path"), work.path());
    EXPECT_EQ(Key(text, "Icon"), "my $prog 100%");  // no image beside it: the theme name
    struct stat sb {};
    ASSERT_EQ(::stat((link + ".desktop").c_str(), &sb), 0);
    EXPECT_TRUE(sb.st_mode & S_IXUSR);
    if (std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + link + ".desktop'").c_str()), 0);
    }

    // Replaced whole; an image beside the program becomes its icon.
    test::WriteFileBytes(program + ".svg", "<svg/>");
    ASSERT_TRUE(CreateLink(program, link, "", "", "", program, 0, SW_SHOWNORMAL, 0));
    EXPECT_EQ(Key(test::ReadFileBytes(link + ".desktop"), "Comment"), "<none>");
    EXPECT_EQ(Key(test::ReadFileBytes(link + ".desktop"), "Icon"), program + ".svg");

    // A line end in a value would smuggle in keys of its own; nothing is written.
    EXPECT_FALSE(CreateLink(program, work.file("Bad"), "x\nExec=rm -rf ~", "", "", "", 0, 1, 0));
    EXPECT_FALSE(CreateLink(program, work.file("none/Bad"), "", "", "", "", 0, 1, 0));
    EXPECT_NE(::access(work.file("Bad.desktop").c_str(), F_OK), 0);

    // Without a desktop folder the launcher lands in the current folder.
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(work.path().c_str()), 0);
    const bool made = CreateDesktopLink("/opt/kelvora/kelvora", "Kelvora");
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_TRUE(made);
    EXPECT_EQ(Key(test::ReadFileBytes(work.file("Kelvora.desktop")), "Path"), "/opt/kelvora");
}

TEST(StartFileTest, CommandLineQuotingAndDirectory) {
    std::string line, dir;
    _ExecCommandLine("  /opt/my apps/x.bin ", "/a", "", line, dir);
    EXPECT_EQ(line, "\"/opt/my apps/x.bin\" /a");
    EXPECT_EQ(dir, "/opt/my apps");
    _ExecCommandLine("\"/opt/my apps/x.bin\"", "-v", "", line, dir);  // already quoted: kept
    EXPECT_EQ(line, "\"/opt/my apps/x.bin\" -v");
    EXPECT_EQ(dir, "/opt/my apps");
    _ExecCommandLine("/x.bin", "", "/tmp", line, dir);
    EXPECT_EQ(line, "/x.bin ");
    EXPECT_EQ(dir, "/tmp");
    _ExecCommandLine("/x.bin", "", "", line, dir);  // the root keeps its slash
    EXPECT_EQ(dir, "/");
}

TEST(StartFileTest, WaitsForAProgramWhosePathHoldsABlank) {
    test::TempDir dir;
    const std::string program = dir.file("my tool.sh");
    test::WriteFileBytes(program, "#!/bin/sh\nsleep 0.2\necho \"$1\" > result.txt\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    // Runs in the program's own folder, with the quoted parameter as one argument.
    EXPECT_TRUE(StartFile(program, "\"two words\"", "", true, false));
    EXPECT_EQ(test::ReadFileBytes(dir.file("result.txt")), "two words\n");
    EXPECT_FALSE(StartFile(dir.file("missing"), "", "", true, false));
    EXPECT_FALSE(StartFile(dir.file("missing.txt"), "", "", false, false));
}
