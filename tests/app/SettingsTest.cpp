// The settings file and the entries published in "win.ini".

#include "app/wOptions.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "runtime/iniwrap.h"
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
}
