// The MIME types of extensions and the put-off cache refreshes of the file types' entries.

#include "platform/DesktopEntry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/DesktopAssoc.h"
#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;
using Types = std::vector<std::string>;

class DesktopEntryTest : public ::testing::Test {
protected:
    static void Put(const std::string& key, const std::string& value) {
        QRegistry reg;
        ASSERT_TRUE(reg.OpenKey(key, true)) << key;
        reg.WriteString("", value);
    }

    test::TempDir dir_;
    test::ScopedXdgDirs xdg_{dir_.path()};
};

TEST_F(DesktopEntryTest, ExtensionsMapToTheSharedDatabaseOrToTypesOfOurOwn) {
    if (!std::filesystem::exists("/usr/share/mime/globs2"))
        GTEST_SKIP() << "no shared MIME database";
    EXPECT_EQ(DesktopMimeTypesOfExt(".AVI").front(), "video/x-msvideo");
    // ".ogg" ties between audio and video types: only the first one's class counts.
    for (const std::string& t : DesktopMimeTypesOfExt("ogg"))
        EXPECT_EQ(t.rfind("audio/", 0), 0u) << t;
    EXPECT_EQ(DesktopMimeTypesOfExt(".hav"), std::vector<std::string>{"application/x-kelvora-hav"});
    EXPECT_EQ(DesktopMimeTypesOfExt(".J"), std::vector<std::string>{"application/x-kelvora-j"});
    for (const char* bad : {"", ".", "a/b", ".x y", "../../etc", ".a\n"})
        EXPECT_TRUE(DesktopMimeTypesOfExt(bad).empty()) << bad;
}

TEST_F(DesktopEntryTest, TheUsersGlobsWeighAndTie) {
    test::ScopedEnv onlyOurs{"XDG_DATA_DIRS", "relative/share"};  // ignored: only the user's database
    std::filesystem::create_directories(dir_.file("data/mime"));
    WriteFileBytes(
        dir_.file("data/mime/globs2"),
        "# weight:type:glob\n50:text/x-low:*.kv\n80:Video/X-Kv:*.kv\n80:video/x-kv2:*.KV\n"
        "80:audio/x-kv:*.kv\n80:video/x-cs:*.Cs:cs\n90:bad type:*.kv\n1000:video/x-big:*.kv\n"
        "x:video/x-nan:*.kv\n90:video/x-short\n");
    EXPECT_EQ(DesktopMimeTypesOfExt(".kv"),
              (Types{"video/x-kv", "video/x-kv2"}));  // of the first one's class
    EXPECT_EQ(DesktopMimeTypesOfExt("Cs"), (Types{"video/x-cs"}));
    EXPECT_EQ(DesktopMimeTypesOfExt("cs"),
              (Types{"application/x-kelvora-cs"}));  // "cs": the case counts
}

// The containers' media types stand whatever the database holds; it adds only types of their
// classes.
TEST_F(DesktopEntryTest, ContainerExtensionsKeepTheirMediaTypes) {
    test::ScopedEnv onlyOurs{"XDG_DATA_DIRS", "relative/share"};
    EXPECT_EQ(DesktopMimeTypesOfExt(".ts"), (Types{"video/mp2t"}));
    EXPECT_EQ(DesktopMimeTypesOfExt("M4V"), (Types{"video/x-m4v", "video/mp4"}));
    EXPECT_EQ(DesktopMimeTypesOfExt(".opus"), (Types{"audio/x-opus+ogg", "audio/ogg"}));
    std::filesystem::create_directories(dir_.file("data/mime"));
    WriteFileBytes(dir_.file("data/mime/globs2"),
                   "50:text/vnd.trolltech.linguist:*.ts\n50:video/mp2t:*.ts\n"
                   "60:video/x-other:*.mkv\n50:application/x-junk:*.flac\n");
    EXPECT_EQ(DesktopMimeTypesOfExt(".ts"), (Types{"video/mp2t"}));
    EXPECT_EQ(DesktopMimeTypesOfExt(".mkv"), (Types{"video/x-matroska", "video/x-other"}));
    EXPECT_EQ(DesktopMimeTypesOfExt(".flac"), (Types{"audio/flac", "audio/x-flac"}));
}

TEST_F(DesktopEntryTest, ABatchPutsTheRefreshesOffToItsEnd) {
    const std::string package = dir_.file("data/mime/packages/kelvora-types.xml");
    Put("Kelvora.VideoClip", "Kelvora Media Clip");
    Put("Kelvora.VideoClip\\shell\\Play\\Command", "/kv/kelvora /play=\"%L\"");
    {
        DesktopCacheBatch outer;
        {
            DesktopCacheBatch inner;
            Put(".hav", "Kelvora.VideoClip");
        }
        // The association is set at once; the entry and the package wait for the outer batch.
        QRegistry reg;
        ASSERT_TRUE(reg.OpenKeyReadOnly(".hav"));
        EXPECT_EQ(reg.ReadString(""), "Kelvora.VideoClip");
        EXPECT_FALSE(std::filesystem::exists(package));
        EXPECT_EQ(ReadFileBytes(DesktopEntryFile("Kelvora.VideoClip")).find("MimeType="),
                  std::string::npos);
    }
    EXPECT_NE(ReadFileBytes(package).find("<glob pattern=\"*.hav\"/>"), std::string::npos);
    EXPECT_NE(ReadFileBytes(DesktopEntryFile("Kelvora.VideoClip"))
                  .find("\nMimeType=application/x-kelvora-hav;\n"),
              std::string::npos);
}

}  // namespace
}  // namespace kelvora
