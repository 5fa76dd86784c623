// The settings file and the entries published in "win.ini".

#include "app/wOptions.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/regwrap.h"
#include "runtime/iniwrap.h"
#include "runtime/miscprocs.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct SettingsTest : ::testing::Test {
    void SetUp() override {
        const char* old = std::getenv("XDG_CONFIG_HOME");
        saved = old ? old : "";
        hadOld = old != nullptr;
        setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        file = app.file("kelvora.ini");
    }
    void TearDown() override {
        if (hadOld)
            setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }
    std::string Published(const std::string& key) {
        PrefsPrepare("win.ini", "tarnwel");
        return _PrefsReadStr(key, "<none>");
    }
    test::TempDir app, config;
    std::string file, saved;
    bool hadOld = false;
};

}  // namespace

TEST_F(SettingsTest, LoadGivesDefaultsAndClampsBadValues) {
    QAppSettings s;
    s.repeatPlaying = 77;
    SettingsLoad(s, file);  // no file yet
    EXPECT_EQ(s.fileOpenDir, "/");
    EXPECT_EQ(s.repeatPlaying, 1);
    EXPECT_TRUE(s.audioEnabled);
    EXPECT_TRUE(s.warningLowColor);
    EXPECT_DOUBLE_EQ(s.imgFrameRate, 15.0);

    test::WriteFileBytes(
        file,
        "[Local]\nRepeatPlaying=0\nAudioEnabled=no\nRepeatForever=yes\nPlayMode=1\n"
        "ImgFrameRate=0\nShowFrameRate=maybe\nFileOpenDir=/home/me/clips\n");
    SettingsLoad(s, file);
    EXPECT_EQ(s.repeatPlaying, 1);
    EXPECT_FALSE(s.audioEnabled);
    EXPECT_TRUE(s.repeatForever);
    EXPECT_EQ(s.playMode, 1);
    EXPECT_DOUBLE_EQ(s.imgFrameRate, 0.001);
    EXPECT_FALSE(s.showFrameRate);
    EXPECT_EQ(s.fileOpenDir, "/home/me/clips");

    test::WriteFileBytes(file, "[Local]\nRepeatPlaying=2000000000\nImgFrameRate=nan\n");
    SettingsLoad(s, file);
    EXPECT_EQ(s.repeatPlaying, 1000000);
    EXPECT_DOUBLE_EQ(s.imgFrameRate, 15.0);
}

TEST_F(SettingsTest, SaveWritesTheValuesAndPublishesUnlessUninstalling) {
    QAppSettings s;
    s.repeatPlaying = 3;
    s.audioEnabled = false;
    s.imgFrameRate = 29.97;
    SettingsSave(s, file, "/opt/kelvora/kelvora", true);
    EXPECT_EQ(Published("Kelvora-Path"), "<none>");
    const std::string text = test::ReadFileBytes(file);
    EXPECT_NE(text.find("RepeatPlaying=3"), std::string::npos);
    EXPECT_NE(text.find("AudioEnabled=0"), std::string::npos);
    EXPECT_NE(text.find("ImgFrameRate=29.9700000000"), std::string::npos);
    EXPECT_LT(text.find("FileOpenDir"), text.find("WarningLowColor"));

    SettingsSave(s, file, "/opt/kelvora/kelvora", false);
    EXPECT_EQ(Published("Kelvora-Path"), "/opt/kelvora/kelvora");
    EXPECT_EQ(Published("Kelvora-Ver"), "1.4.0");
    EXPECT_EQ(Published("Kelvora-WndClass"), "TfrmKelvora");
    EXPECT_EQ(Published("Kelvora-CmdOpen"), "/open=\"%s\"");
    EXPECT_EQ(Published("Kelvora-CmdPlay"), "/play=\"%s\"");
    EXPECT_EQ(Published("Kelvora-CmdPlayClose"), "/playclose=\"%s\"");
}

TEST_F(SettingsTest, FileNameFallsBackToTheConfigFolder) {
    EXPECT_EQ(SettingsFileName(app.path()), app.path() + "/kelvora.ini");
    EXPECT_EQ(SettingsFileName(""), config.path() + "/kelvora/kelvora.ini");
    struct stat st {};
    EXPECT_EQ(::stat((config.path() + "/kelvora").c_str(), &st), 0);
    // An installed copy (its share folder beside its program folder) writes nothing into its
    // prefix, even where it could.
    const std::string prefix = app.path() + "/prefix";
    for (const char* d : {"", "/bin", "/share", "/share/kelvora"})
        ASSERT_EQ(::mkdir((prefix + d).c_str(), 0755), 0);
    EXPECT_EQ(InstalledShareDir(prefix + "/bin/"), prefix + "/bin/../share/kelvora/");
    EXPECT_EQ(SettingsFileName(prefix + "/bin/"), config.path() + "/kelvora/kelvora.ini");
    EXPECT_EQ(InstalledShareDir(app.path()), "");
}

// A program killed at any moment while it saves leaves every file whole: the settings file and
// the association store each hold what the save before wrote or what the interrupted one was
// writing, never a mixture or a cut.
TEST_F(SettingsTest, SavesSurviveAKillAtAnyMoment) {
    test::TempDir data;
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const std::string savedData = oldData ? oldData : "";
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    // Two states, each consistent in itself; long values keep a write in progress for a while.
    const std::string dirs[2] = {"/clips/" + std::string(900, 'a'),
                                 "/clips/" + std::string(1000, 'b')};
    const int32_t repeats[2] = {3, 7};
    const std::string backups[2] = {"first-player.desktop " + std::string(3000, 'x'),
                                    "second-player.desktop " + std::string(2000, 'y')};
    const std::string types[2] = {"Kelvora.First", "Kelvora.Second"};
    for (const std::string& type : types) RegFileTypeCreate(type, type + " clip", "kelvora");
    const auto save = [&](int k) {
        QAppSettings s;
        s.fileOpenDir = dirs[k];
        s.repeatPlaying = repeats[k];
        SettingsSave(s, file, "/opt/kelvora/kelvora", true);
        RegPutString(HKEY_CLASSES_ROOT, "Tarnwel_Backup\\Kelvora", ".kvx", backups[k]);
        RegAssociateFileExt(".kvx", types[k]);
    };
    save(0);
    std::srand(17);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("PATH", "/nonexistent", 1);  // no cache refreshes: only the files matter
            for (int k = 1;; k ^= 1) save(k);
        }
        usleep(static_cast<useconds_t>(1000 + std::rand() % 40000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        QAppSettings s;
        SettingsLoad(s, file);
        const int k = s.repeatPlaying == repeats[1] ? 1 : 0;
        EXPECT_EQ(s.repeatPlaying, repeats[k]);
        EXPECT_TRUE(s.fileOpenDir == dirs[k]) << "the settings file mixes two saves";
        const std::string backup = RegGetString(HKEY_CLASSES_ROOT, "Tarnwel_Backup\\Kelvora",
                                                ".kvx");
        EXPECT_TRUE(backup == backups[0] || backup == backups[1]) << backup.size();
        const std::string type = RegFileTypeGet(".kvx");
        EXPECT_TRUE(type == types[0] || type == types[1]) << type;
    }
    if (oldData)
        setenv("XDG_DATA_HOME", savedData.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}
