#include "platform/ProfileFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <sys/stat.h>

#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using namespace std::string_literals;
constexpr auto none = std::nullopt;

std::string Get(const std::string& file, const std::string& section, const std::string& key,
                uint32_t size = 1024) {
    std::string out;
    ProfileGetString(section, key, "<def>", out, size, file);
    return out;
}

bool Put(const std::string& file, const std::optional<std::string>& section,
         const std::optional<std::string>& key, const std::optional<std::string>& value) {
    return ProfileWriteString(section, key, value, file);
}

size_t EntryCount(const std::string& dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

TEST(ProfileFile, BareNamesLiveInTheConfigDirectory) {
    TempDir dir;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    const std::string config = dir.file("cfg/sub");
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    EXPECT_EQ(ProfileResolvePath("win.ini"), config + "/win.ini");
    EXPECT_EQ(ProfileResolvePath("./win.ini"), "./win.ini");
    EXPECT_TRUE(Put("win.ini", "tarnwel", "Kelvora-Ver", "1.4"));  // creates the directory
    EXPECT_EQ(ReadFileBytes(config + "/win.ini"), "[tarnwel]\nKelvora-Ver=1.4\n");
    EXPECT_EQ(Get("win.ini", "TARNWEL", "kelvora-ver"), "1.4");
    unsetenv("XDG_CONFIG_HOME");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    if (!home.empty()) {
        EXPECT_EQ(ProfileResolvePath("win.ini"), home + "/.config/win.ini");
    }
    if (saved) setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
}

TEST(ProfileFile, ReadingFollowsProfileRules) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    WriteFileBytes(
        f,
        "orphan=before any section\n[Other]\nk=other\n  [ Local ]  \n; k=comment\nlonely line\n"
        "  Name  =   spaced value  \ndq=\"quoted \"\nsq='x'\nmixed=\"x'\none=\"\nempty=\n"
        "name=second\n[local]\nlater=invisible\n");
    EXPECT_EQ(Get(f, "local", "NAME"), "spaced value");  // first of two, trimmed
    EXPECT_EQ(Get(f, "Local", "dq"), "quoted ");
    EXPECT_EQ(Get(f, "Local", "sq"), "x");
    EXPECT_EQ(Get(f, "Local", "mixed"), "\"x'");
    EXPECT_EQ(Get(f, "Local", "one"), "\"");
    EXPECT_EQ(Get(f, "Local", "empty"), "");
    for (const char* key : {"k", "lonely line", "later", "orphan"})
        EXPECT_EQ(Get(f, "Local", key), "<def>") << key;
    EXPECT_EQ(Get(f, "Other", "k"), "other");
    EXPECT_EQ(Get(f, "Missing", "k"), "<def>");
    EXPECT_EQ(Get(dir.file("none.ini"), "Local", "name"), "<def>");
    // At most size - 1 characters, the default included.
    EXPECT_EQ(Get(f, "Local", "name", 4), "spa");
    EXPECT_EQ(Get(f, "Local", "nope", 3), "<d");
    EXPECT_EQ(Get(f, "Local", "name", 0), "");
}

TEST(ProfileFile, AcceptsEveryLineEndStyle) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    for (const std::string eol : {"\r\n", "\n", "\r"}) {
        WriteFileBytes(f, "[s]" + eol + "a=1" + eol + "b=2");  // no final line end
        EXPECT_EQ(Get(f, "s", "a") + Get(f, "s", "b"), "12") << eol.size();
    }
    WriteFileBytes(f, "\xEF\xBB\xBF[s]\nk=v\n");
    EXPECT_EQ(Get(f, "s", "k"), "v");
}

TEST(ProfileFile, MalformedFilesGiveDefaults) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
    WriteFileBytes(f, junk);
    EXPECT_EQ(Get(f, "s", "k"), "<def>");
    // Junk lines neither end the section nor hide the key after them.
    WriteFileBytes(f, "[s]\n\0\0\xFF\xFE=[\n==\n[\n]\nx\0y=1\nk=v\n"s);
    EXPECT_EQ(Get(f, "s", "k"), "v");
    EXPECT_EQ(Get(f, "s", "x"), "<def>");
    WriteFileBytes(
        f, "[s]\na=1\n" + std::string(10 << 20, 'x') + "\nb=2\nbig=" + std::string(10 << 20, 'y'));
    EXPECT_EQ(Get(f, "s", "a") + Get(f, "s", "b"), "12");
    EXPECT_EQ(Get(f, "s", "big").size(), 1023u);
}

TEST(ProfileFile, RefusesFilesThatAreNotRegular) {
    TempDir dir;
    EXPECT_EQ(Get(dir.path(), "s", "k"), "<def>");
    EXPECT_FALSE(Put(dir.path(), "s", "k", "v"));
    const std::string fifo = dir.file("pipe.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Get(fifo, "s", "k"), "<def>");  // must not wait for a writer
    EXPECT_FALSE(Put(fifo, "s", "k", "v"));
    EXPECT_FALSE(Put(dir.file("no/dir/a.ini"), "s", "k", "v"));  // only bare names get a directory
}

TEST(ProfileFile, WritingKeepsOtherLinesAndPlacesNewOnes) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    WriteFileBytes(f, "; top\n[A]\none=1\njunk line\nTwo = 2\n; end of A\n\n[B]\nx=y");
    ASSERT_TRUE(Put(f, "a", "TWO", "22"));   // replaced in place
    ASSERT_TRUE(Put(f, "A", "three", "3"));  // after the last key line of A
    ASSERT_TRUE(Put(f, "C", "k", " v "));    // new section at the end
    ASSERT_TRUE(Put(f, "B", "new", ""));     // in a section whose last line had no line end
    EXPECT_EQ(ReadFileBytes(f),
              "; top\n[A]\none=1\njunk line\nTWO=22\nthree=3\n; end of "
              "A\n\n[B]\nx=y\nnew=\n\n[C]\nk= v \n");
    EXPECT_EQ(Get(f, "c", "K"), "v");
    EXPECT_EQ(EntryCount(dir.path()), 1u);  // no temporary file left behind
}

TEST(ProfileFile, SeveralKeysGoInOneReplacementOrNotAtAll) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    WriteFileBytes(f, "[A]\none=1\ntwo=2\n");
    // The same text as one write after the other would leave.
    ASSERT_TRUE(ProfileWriteStrings("a", {{"TWO", "22"}, {"three", "3"}, {"one", "11"}}, f));
    EXPECT_EQ(ReadFileBytes(f), "[A]\none=11\nTWO=22\nthree=3\n");
    ASSERT_TRUE(ProfileWriteStrings("New", {{"k", "v"}}, dir.file("b.ini")));
    EXPECT_EQ(Get(dir.file("b.ini"), "new", "K"), "v");
    // One key that could not be read back refuses them all.
    EXPECT_FALSE(ProfileWriteStrings("A", {{"four", "4"}, {"bad=key", "x"}}, f));
    EXPECT_FALSE(ProfileWriteStrings("A", {{"four", "4"}, {"five", "line\nbreak"}}, f));
    EXPECT_EQ(ReadFileBytes(f), "[A]\none=11\nTWO=22\nthree=3\n");
    EXPECT_EQ(EntryCount(dir.path()), 2u);
}

TEST(ProfileFile, DeletesKeysAndSections) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    WriteFileBytes(f, "[A]\r\nk=1\r\nk=2\r\nm=3\r\n[B]\r\nk=b\r\n[a]\r\nk=4\r\n");
    ASSERT_TRUE(Put(f, "a", "K", none));
    EXPECT_EQ(ReadFileBytes(f), "[A]\r\nm=3\r\n[B]\r\nk=b\r\n[a]\r\n");  // CR-LF kept
    ASSERT_TRUE(Put(f, "A", none, none));
    ASSERT_TRUE(Put(f, "Gone", none, none));
    ASSERT_TRUE(Put(f, "B", "gone", none));
    EXPECT_EQ(ReadFileBytes(f), "[B]\r\nk=b\r\n");
    // Deleting from a missing file, and flushing, create nothing.
    EXPECT_TRUE(Put(dir.file("none.ini"), "B", "k", none));
    EXPECT_TRUE(Put(dir.file("none.ini"), none, none, none));
    EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(ProfileFile, RefusesWritesThatWouldNotReadBack) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    WriteFileBytes(f, "[s]\nk=v\n");
    EXPECT_FALSE(Put(f, "s", "k", "a\nb[x]"));
    EXPECT_FALSE(Put(f, "s", "k", "a\rb"));
    EXPECT_FALSE(Put(f, "s", "a=b", "v"));
    EXPECT_FALSE(Put(f, "s", "[x]", "v"));
    EXPECT_FALSE(Put(f, "s", " ", "v"));
    EXPECT_FALSE(Put(f, "s\n[t]", "k", "v"));
    EXPECT_FALSE(Put(f, none, "k", "v"));
    EXPECT_EQ(ReadFileBytes(f), "[s]\nk=v\n");
}

TEST(ProfileFile, ReplacementKeepsPermissionsAndSymlinks) {
    TempDir dir;
    const std::string f = dir.file("a.ini");
    WriteFileBytes(f, "[s]\nk=v\n");
    ASSERT_EQ(chmod(f.c_str(), 0640), 0);
    std::filesystem::create_symlink(f, dir.file("link.ini"));
    ASSERT_TRUE(Put(dir.file("link.ini"), "s", "k", "w"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.ini")));
    EXPECT_EQ(Get(f, "s", "k"), "w");
    struct stat sb;
    ASSERT_EQ(stat(f.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace kelvora
