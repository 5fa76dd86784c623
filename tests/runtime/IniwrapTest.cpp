#include "runtime/iniwrap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// Each test starts with no target and leaves none behind.
class Iniwrap : public ::testing::Test {
protected:
    void SetUp() override { PrefsPrepare("", ""); }
    void TearDown() override { PrefsPrepare("", ""); }
    static int32_t Int(const char* key) {
        int32_t v = 0;
        PrefsReadInt(key, v, 99);
        return v;
    }
    static bool Bool(const char* key, bool def) {
        bool v = !def;
        PrefsReadBool(key, v, def);
        return v;
    }
    static double Float(const char* key) {
        double v = 0;
        PrefsReadFloat(key, v, -1);
        return v;
    }
    TempDir dir_;
};

TEST_F(Iniwrap, WithoutTargetReadsDefaultsAndWritesNothing) {
    std::string s = "x";
    PrefsReadStr("k", s, "def");
    EXPECT_EQ(s, "");
    EXPECT_EQ(Int("k"), 99);
    EXPECT_TRUE(Bool("k", true));
    EXPECT_EQ(Float("k"), -1);
    PrefsPrepare(dir_.file("k.ini"), "");
    PrefsWriteStr("k", "v");
    PrefsFlushCache();
    EXPECT_FALSE(std::filesystem::exists(dir_.file("k.ini")));
}

TEST_F(Iniwrap, TypedValuesRoundTrip) {
    const std::string f = dir_.file("kelvora.ini");
    PrefsPrepare(f, "Local");
    PrefsWriteStr("Name", "a b");
    PrefsWriteInt("Count", -42);
    PrefsWriteBool("On", true);
    PrefsWriteBool("Off", false);
    PrefsWriteFloat("Rate", 15);
    PrefsWriteFloat("Fps", 29.97);
    PrefsFlushCache();
    EXPECT_EQ(ReadFileBytes(f),
              "[Local]\nName=a b\nCount=-42\nOn=1\nOff=0\nRate=15.0000000000\nFps=29.9700000000\n");
    std::string s;
    PrefsReadStr("name", s, "");
    EXPECT_EQ(s, "a b");
    EXPECT_EQ(Int("COUNT"), -42);
    EXPECT_TRUE(Bool("on", false));
    EXPECT_FALSE(Bool("off", true));
    EXPECT_EQ(Float("rate"), 15.0);
    EXPECT_DOUBLE_EQ(Float("fps"), 29.97);
}

TEST_F(Iniwrap, StoredTextsThatAreNotValuesGiveDefaults) {
    const std::string f = dir_.file("kelvora.ini");
    WriteFileBytes(f,
                   "[Local]\nyes=yes\nNo=No\nt=t\nword=maybe\nempty=\n"
                   "i1=+5\ni2=12abc\ni3=99999999999\ni5=-\ni6= -7 \ni7=+-1\ni8=0x10\n"
                   "f1=15,5\nf2=1.5\n");
    PrefsPrepare(f, "local");
    EXPECT_TRUE(Bool("yes", false));
    EXPECT_FALSE(Bool("no", true));
    EXPECT_TRUE(Bool("t", false));
    EXPECT_TRUE(Bool("word", true));
    EXPECT_FALSE(Bool("word", false));
    EXPECT_TRUE(Bool("empty", true));
    EXPECT_EQ(Int("i1"), 5);
    EXPECT_EQ(Int("i6"), -7);
    for (const char* key : {"i2", "i3", "empty", "i5", "i7", "i8", "missing"})
        EXPECT_EQ(Int(key), 99) << key;
    EXPECT_EQ(Float("f1"), -1);
    EXPECT_EQ(Float("f2"), 1.5);
    EXPECT_EQ(Float("empty"), -1);
    std::string s;
    PrefsReadStr("missing", s, "fallback");
    EXPECT_EQ(s, "fallback");
    PrefsReadStr("empty", s, "fallback");
    EXPECT_EQ(s, "");  // an empty stored text is still a stored text
    PrefsWriteStr("long", std::string(2000, 'z'));
    EXPECT_EQ(_PrefsReadStr("long", ""), std::string(PREFS_BUFFER_SIZE - 1, 'z'));
}

TEST_F(Iniwrap, BareWinIniLivesInTheConfigDirectory) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    PrefsPrepare("win.ini", "tarnwel");
    PrefsWriteStr("Kelvora-Path", "/opt/kelvora/");
    const std::string text = ReadFileBytes(dir_.file("win.ini"));
    const std::string read = _PrefsReadStr("kelvora-path", "");
    if (old)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(text, "[tarnwel]\nKelvora-Path=/opt/kelvora/\n");
    EXPECT_EQ(read, "/opt/kelvora/");
}

}  // namespace
}  // namespace kelvora
