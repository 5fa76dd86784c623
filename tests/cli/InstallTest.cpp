// The programs as installed: `cmake --install` into a staging folder, the prefix then moved
// elsewhere (a relocated prefix), and both programs run from there with a private home. The
// installed copy must need nothing from the build folder and write nothing into its prefix.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "support/TestSupport.h"

using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
namespace fs = std::filesystem;

namespace {

int Shell(const std::string& cmd) {
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Every file under `root` with its size and change time: what a run may not alter.
std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> Snapshot(const std::string& root) {
    std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        files[e.path().string()] = {e.is_regular_file() ? e.file_size() : 0, e.last_write_time()};
    return files;
}

// Installs the build tree with the prefix /opt/kelvora into a staging folder in `dir` and moves
// the prefix to `dir`/moved/kelvora, which it returns; empty (with the log) on failure.
std::string InstallMoved(const TempDir& dir) {
    const std::string stage = dir.file("stage");
    const std::string log = dir.file("install.log");
    if (Shell("DESTDIR='" + stage +
              "' '" KV_CMAKE "' --install '" KV_BUILD_DIR "' --prefix /opt/kelvora >'" + log +
              "' 2>&1") != 0) {
        ADD_FAILURE() << ReadFileBytes(log);
        return std::string();
    }
    const std::string prefix = dir.file("moved/kelvora");
    fs::create_directories(dir.file("moved"));
    fs::rename(stage + "/opt/kelvora", prefix);
    return prefix;
}

// The width and height of a PNG file, from its header.
std::pair<uint32_t, uint32_t> PngSize(const std::string& path) {
    const std::string b = ReadFileBytes(path);
    if (b.size() < 24 || b.compare(1, 3, "PNG") != 0) return {0, 0};
    const auto be32 = [&b](size_t at) {
        return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 |
               uint32_t(uint8_t(b[at + 2])) << 8 | uint8_t(b[at + 3]);
    };
    return {be32(16), be32(20)};
}

}  // namespace

TEST(Install, RelocatedCopyRunsWithoutTheBuildFolder) {
    TempDir dir;
    const std::string prefix = InstallMoved(dir);
    ASSERT_FALSE(prefix.empty());
    for (const char* f : {"bin/kelvora", "bin/kelvora-cli", "share/kelvora/demo.hav",
                          "share/kelvora/kelvora-video.svg", "share/kelvora/kelvora-audio.svg",
                          "share/man/man1/kelvora.1.gz", "share/man/man1/kelvora-cli.1.gz",
                          "share/bash-completion/completions/kelvora-cli"})
        EXPECT_TRUE(fs::exists(prefix + "/" + f)) << f;

    // No library search path leads back to the build folder.
    for (const char* program : {"bin/kelvora", "bin/kelvora-cli"}) {
        ASSERT_EQ(
            Shell("readelf -d '" + prefix + "/" + program + "' >'" + dir.file("dynamic.txt") + "'"),
            0);
        const std::string dynamic = ReadFileBytes(dir.file("dynamic.txt"));
        EXPECT_EQ(dynamic.find(KV_BUILD_DIR), std::string::npos) << program << dynamic;
    }

    // A clean environment with a private home; a sanitizer build's options pass through.
    std::string env = "cd '" + dir.path() + "' && env -i PATH=/usr/bin:/bin HOME='" + dir.path() +
                      "' XDG_CONFIG_HOME='" + dir.file("config") + "' XDG_DATA_HOME='" +
                      dir.file("data") + "' XDG_RUNTIME_DIR='" + dir.path() +
                      "' QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=dummy ";
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) env += std::string(name) + "='" + value + "' ";
    const auto before = Snapshot(prefix);
    ASSERT_EQ(Shell(env + "'" + prefix + "/bin/kelvora-cli' --version >version.txt 2>&1"), 0);
    EXPECT_NE(ReadFileBytes(dir.file("version.txt")).find("1.4.0"), std::string::npos);
    const std::string demo = prefix + "/share/kelvora/demo.hav";
    ASSERT_EQ(Shell(env + "'" + prefix + "/bin/kelvora-cli' info '" + demo + "' >info.txt 2>&1"), 0)
        << ReadFileBytes(dir.file("info.txt"));
    EXPECT_NE(ReadFileBytes(dir.file("info.txt")).find("File Format:  HAV, High quality Audio Video"),
              std::string::npos)
        << ReadFileBytes(dir.file("info.txt"));
    // The window plays the demo movie once and closes; its settings go to the user's folder.
    EXPECT_EQ(Shell(env + "timeout 60 '" + prefix + "/bin/kelvora' '/playclose=" + demo +
                    "' >player.txt 2>&1"),
              0)
        << ReadFileBytes(dir.file("player.txt"));
    EXPECT_TRUE(fs::exists(dir.file("config/kelvora/kelvora.ini")));
    EXPECT_TRUE(Snapshot(prefix) == before) << "a run wrote into the installed prefix";
}

// What the desktop reads: the menu entry and the software centre's description pass their
// validators, the icons have their sizes, and the MIME package makes a HAV movie known by its
// extension and by its first bytes once installed into a data folder.
TEST(Install, DesktopFilesAreValidAndNameTheHavType) {
    if (!kelvora::test::HaveTools({"desktop-file-validate", "appstreamcli", "update-mime-database",
                                   "xdg-mime", "mimetype"}))
        GTEST_SKIP() << "desktop-file-utils, appstream, shared-mime-info, xdg-utils and "
                        "libfile-mimeinfo-perl check the files";
    TempDir dir;
    const std::string prefix = InstallMoved(dir);
    ASSERT_FALSE(prefix.empty());
    const std::string share = prefix + "/share/";
    const std::string desktop = share + "applications/org.kelvora.Kelvora.desktop";
    EXPECT_EQ(Shell("desktop-file-validate '" + desktop + "' >'" + dir.file("dfv.txt") + "' 2>&1"), 0)
        << ReadFileBytes(dir.file("dfv.txt"));
    const std::string entry = ReadFileBytes(desktop);
    for (const char* line :
         {"Exec=kelvora %F\n", "Icon=kelvora\n", "Categories=AudioVideo;Player;Viewer;\n"})
        EXPECT_NE(entry.find(line), std::string::npos) << line;
    for (const char* type : {"application/x-kelvora-hav;", "video/mp4;", "video/x-matroska;",
                             "audio/flac;", "video/x-msvideo;", "image/png;"})
        EXPECT_NE(entry.find(type), std::string::npos) << type;
    EXPECT_EQ(Shell("appstreamcli validate --no-net '" + share +
                    "metainfo/org.kelvora.Kelvora.metainfo.xml' >'" + dir.file("as.txt") + "' 2>&1"),
              0)
        << ReadFileBytes(dir.file("as.txt"));
    EXPECT_TRUE(fs::exists(share + "icons/hicolor/scalable/apps/kelvora.svg"));
    for (uint32_t size : {48u, 256u}) {
        const std::string side = std::to_string(size);
        EXPECT_EQ(PngSize(share + "icons/hicolor/" + side + "x" + side + "/apps/kelvora.png"),
                  std::make_pair(size, size));
    }

    const std::string data = dir.file("data");
    fs::create_directories(data + "/mime/packages");
    fs::copy_file(share + "mime/packages/kelvora.xml", data + "/mime/packages/kelvora.xml");
    ASSERT_EQ(Shell("update-mime-database '" + data + "/mime' >/dev/null 2>&1"), 0);
    fs::copy_file(share + "kelvora/demo.hav", dir.file("clip.hav"));
    fs::copy_file(share + "kelvora/demo.hav", dir.file("clip"));  // by its first bytes alone
    for (const char* name : {"clip.hav", "clip"}) {
        const std::string out = dir.file(std::string(name) + ".type");
        ASSERT_EQ(Shell("XDG_DATA_HOME='" + data + "' xdg-mime query filetype '" + dir.file(name) +
                        "' >'" + out + "' 2>&1"),
                  0);
        EXPECT_EQ(ReadFileBytes(out), "application/x-kelvora-hav\n") << name;
    }
}

// The Debian package: it builds from this tree, holds the installed files under /usr, depends
// on the libraries the programs load on first use as well as on those they link, and lintian
// finds no error in it.
TEST(Install, DebianPackageHoldsTheFilesAndPassesLintian) {
    if (!kelvora::test::HaveTools({"dpkg-deb", "dpkg-shlibdeps"}))
        GTEST_SKIP() << "dpkg-dev builds the package";
    TempDir dir;
    const std::string log = dir.file("cpack.log");
    ASSERT_EQ(
        Shell("cd '" KV_BUILD_DIR "' && cpack -G DEB -B '" + dir.path() + "' >'" + log + "' 2>&1"), 0)
        << ReadFileBytes(log);
    std::string deb;
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().extension() == ".deb") deb = e.path().string();
    ASSERT_FALSE(deb.empty()) << ReadFileBytes(log);
    ASSERT_EQ(Shell("dpkg-deb -c '" + deb + "' >'" + dir.file("list.txt") + "'"), 0);
    const std::string list = ReadFileBytes(dir.file("list.txt"));
    for (const char* f :
         {"./usr/bin/kelvora\n", "./usr/bin/kelvora-cli\n", "./usr/share/kelvora/demo.hav\n",
          "./usr/share/applications/org.kelvora.Kelvora.desktop\n",
          "./usr/share/metainfo/org.kelvora.Kelvora.metainfo.xml\n",
          "./usr/share/mime/packages/kelvora.xml\n",
          "./usr/share/icons/hicolor/scalable/apps/kelvora.svg\n",
          "./usr/share/icons/hicolor/48x48/apps/kelvora.png\n",
          "./usr/share/icons/hicolor/256x256/apps/kelvora.png\n",
          "./usr/share/man/man1/kelvora.1.gz\n", "./usr/share/man/man1/kelvora-cli.1.gz\n",
          "./usr/share/bash-completion/completions/kelvora-cli\n",
          "./usr/share/doc/kelvora/copyright\n", "./usr/share/doc/kelvora/changelog.gz\n"})
        EXPECT_NE(list.find(f), std::string::npos) << f << list;
    ASSERT_EQ(Shell("dpkg-deb -f '" + deb + "' Depends >'" + dir.file("depends.txt") + "'"), 0);
    const std::string depends = ReadFileBytes(dir.file("depends.txt"));
    for (const char* lib : {"libavcodec", "libavformat", "libswscale", "libsdl2", "libmpg123",
                            "libvorbisfile", "libtiff", "libxpm", "libqt6widgets"})
        EXPECT_NE(depends.find(lib), std::string::npos) << lib << ": " << depends;
    if (!kelvora::test::HaveTools({"lintian"})) GTEST_SKIP() << "lintian checks the package";
    Shell("lintian --no-tag-display-limit '" + deb + "' >'" + dir.file("lintian.txt") + "' 2>&1");
    const std::string report = ReadFileBytes(dir.file("lintian.txt"));
    EXPECT_EQ(report.find("E: "), std::string::npos) << report;
}
