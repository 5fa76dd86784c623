// The programs as installed: `cmake --install` into a staging folder, the prefix then moved
// elsewhere (a relocated prefix), and both programs run from there with a private home. The
// installed copy must need nothing from the build folder and write nothing into its prefix.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

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

}  // namespace

TEST(Install, RelocatedCopyRunsWithoutTheBuildFolder) {
    TempDir dir;
    const std::string stage = dir.file("stage");
    ASSERT_EQ(Shell("DESTDIR='" + stage + "' '" KV_CMAKE "' --install '" KV_BUILD_DIR
                  "' --prefix /opt/kelvora >'" + dir.file("install.log") + "' 2>&1"),
              0)
        << ReadFileBytes(dir.file("install.log"));
    const std::string prefix = dir.file("moved/kelvora");
    fs::create_directories(dir.file("moved"));
    fs::rename(stage + "/opt/kelvora", prefix);
    for (const char* f : {"bin/kelvora", "bin/kelvora-cli", "share/kelvora/demo.hav",
                          "share/kelvora/kelvora-video.svg", "share/kelvora/kelvora-audio.svg"})
        EXPECT_TRUE(fs::exists(prefix + "/" + f)) << f;

    // No library search path leads back to the build folder.
    for (const char* program : {"bin/kelvora", "bin/kelvora-cli"}) {
        ASSERT_EQ(Shell("readelf -d '" + prefix + "/" + program + "' >'" + dir.file("dynamic.txt") +
                        "'"),
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
