// Editing the user's MIME-apps list line by line.

#include "platform/MimeAppsList.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;
using Ids = std::vector<std::string>;

class MimeAppsListTest : public ::testing::Test {
protected:
    std::string File() const { return dir_.file("config/mimeapps.list"); }

    test::TempDir dir_;
    test::ScopedXdgDirs xdg_{dir_.path()};
};

TEST_F(MimeAppsListTest, EditsOnlyTheLinesOfTheType) {
    WriteFileBytes(
        File(),
        "# mine\n[Default Applications]\nVIDEO/X-MSVIDEO=a.desktop;\ntext/plain=ed.desktop;\n"
        "video/x-msvideo=late.desktop;\n\n[Added Associations]\nvideo/x-msvideo=b.desktop;\n"
        "[Default Applications]\naudio/x-wav=second-group.desktop;\n");
    MimeAppsList list;
    ASSERT_TRUE(list.Load());
    EXPECT_EQ(list.Defaults("video/x-msvideo"), Ids{"a.desktop"});  // the first line counts
    EXPECT_TRUE(list.Defaults("audio/x-wav").empty());              // so does the first group
    list.SetDefaults("video/x-msvideo", {"kv.desktop", "a.desktop"});
    list.SetDefaults("audio/x-wav", {"kv.desktop"});  // after the group's last line that is not blank
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(ReadFileBytes(File()),
              "# mine\n[Default "
              "Applications]\nvideo/x-msvideo=kv.desktop;a.desktop;\ntext/plain=ed.desktop;\n"
              "audio/x-wav=kv.desktop;\n\n[Added Associations]\nvideo/x-msvideo=b.desktop;\n"
              "[Default Applications]\naudio/x-wav=second-group.desktop;\n");
    EXPECT_EQ(list.AllFirsts(),
              (std::vector<std::pair<std::string, std::string>>{{"video/x-msvideo", "kv.desktop"},
                                                                {"text/plain", "ed.desktop"},
                                                                {"audio/x-wav", "kv.desktop"}}));

    list.SetDefaults("text/plain", {});
    list.SetDefaults("image/png", {});  // nothing to remove, nothing added
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(ReadFileBytes(File()).find("text/plain"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(File()).find("image/png"), std::string::npos);
}

TEST_F(MimeAppsListTest, MakesTheGroupAndKeepsTheFileMode) {
    WriteFileBytes(File(), "[Added Associations]\ntext/plain=ed.desktop;");
    ASSERT_EQ(::chmod(File().c_str(), 0600), 0);
    MimeAppsList list;
    ASSERT_TRUE(list.Load());
    list.SetDefaults("video/x-msvideo", {"kv.desktop"});
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(ReadFileBytes(File()),
              "[Added Associations]\ntext/plain=ed.desktop;\n\n[Default "
              "Applications]\nvideo/x-msvideo=kv.desktop;\n");
    struct stat sb {};
    ASSERT_EQ(::stat(File().c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
}

TEST_F(MimeAppsListTest, UnreadableListsAreNeverWritten) {
    ASSERT_EQ(::mkdir(File().c_str(), 0755), 0);  // a folder in the list's place
    MimeAppsList list;
    EXPECT_FALSE(list.Load());
    list.SetDefaults("video/x-msvideo", {"kv.desktop"});
    EXPECT_FALSE(list.Save());
    struct stat sb {};
    ASSERT_EQ(::stat(File().c_str(), &sb), 0);
    EXPECT_TRUE(S_ISDIR(sb.st_mode));
}

}  // namespace
}  // namespace kelvora
