// The text routines the stand-ins share.

#include "platform/PlatformText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvora {
namespace {

using Views = std::vector<std::string_view>;

TEST(PlatformText, CaseFoldsAsciiOnly) {
    EXPECT_TRUE(SameAsciiText("Default Applications", "dEFAULT aPPLICATIONS"));
    EXPECT_FALSE(SameAsciiText("abc", "abcd"));
    // Bytes outside ASCII never fold, whatever the locale says about them.
    EXPECT_FALSE(SameAsciiText("\xC4", "\xE4"));
    EXPECT_EQ(LowerAscii("Kelvora.VideoClip-\xC4@[Z]"), "kelvora.videoclip-\xC4@[z]");
    EXPECT_TRUE(AsciiAlnumOr("Kelvora.Video_Clip-2", "_.-"));
    EXPECT_FALSE(AsciiAlnumOr("a/b", "_.-"));
    EXPECT_FALSE(AsciiAlnumOr("caf\xC3\xA9", "_.-"));
    EXPECT_TRUE(HasControlChars("a\x7F"));
    EXPECT_FALSE(HasControlChars("a b\xC3\xA9"));
}

TEST(PlatformText, EachTrimTakesItsOwnWhiteSpace) {
    const std::string s = "\v\t name \f\r";
    EXPECT_EQ(TrimBlanks(" \t name\v \t"), "name\v");
    EXPECT_EQ(TrimLineSpace(s), "name \f\r");  // a line end is no white space inside a line
    EXPECT_EQ(TrimControls(s + "\x7F"), "name");
    EXPECT_EQ(TrimControls("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");
    EXPECT_EQ(TrimBlanks("   "), "");
}

TEST(PlatformText, SplittingKeepsEveryPiece) {
    EXPECT_EQ(SplitText("", ':'), (Views{""}));
    EXPECT_EQ(SplitText("a::b:", ':'), (Views{"a", "", "b", ""}));
    EXPECT_EQ(SplitLines("a\r\n\nb\rc\n"), (Views{"a", "", "b\rc"}));
    EXPECT_EQ(SplitLines("\n"), (Views{""}));
    EXPECT_TRUE(SplitLines("").empty());
    EXPECT_EQ(NoTrailingSlash("/a/b//"), "/a/b");
    EXPECT_EQ(NoTrailingSlash("///"), "/");
    // Command words: quotes group and go, a quoted nothing is a word, runs of blanks are one.
    using Words = std::vector<std::string>;
    EXPECT_EQ(SplitCommandWords("\"/opt/my player/k\"  /play=\"a b.hav\"\t\"\""),
              (Words{"/opt/my player/k", "/play=a b.hav", ""}));
    EXPECT_TRUE(SplitCommandWords(" \t ").empty());
}

TEST(PlatformText, KeyFileLines) {
    std::string_view name, key, value;
    EXPECT_TRUE(KeyFileGroupLine("  [Default Applications]\t", name));
    EXPECT_EQ(name, "Default Applications");
    EXPECT_FALSE(KeyFileGroupLine("[open", name));
    EXPECT_TRUE(KeyFileKeyLine(" video/x-msvideo =  a.desktop;b.desktop; ", key, value));
    EXPECT_EQ(key, "video/x-msvideo");
    EXPECT_EQ(value, "a.desktop;b.desktop;");
    EXPECT_FALSE(KeyFileKeyLine("# k=v", key, value));
    EXPECT_FALSE(KeyFileKeyLine("=v", key, value));
    EXPECT_FALSE(KeyFileKeyLine(" \t=v", key, value));
    EXPECT_EQ(KeyFileSplitList(" a.desktop ;; b.desktop;"),
              (std::vector<std::string>{"a.desktop", "b.desktop"}));
    EXPECT_EQ(KeyFileJoinList({"a", "b"}), "a;b;");
    EXPECT_EQ(KeyFileJoinList({}), "");
}

}  // namespace
}  // namespace kelvora
