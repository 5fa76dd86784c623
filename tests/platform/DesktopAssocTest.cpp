// The class registry over desktop entries, mimeapps.list, the MIME database and an INI file.

#include "platform/DesktopAssoc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

// Points the user's configuration and data folders at temporary ones.
class DesktopAssocTest : public ::testing::Test {
protected:
    void SetUp() override {}
    void TearDown() override {}
    static void Put(const std::string& key, const std::string& name, const std::string& value) {
        QRegistry reg;
        ASSERT_TRUE(reg.OpenKey(key, true)) << key;
        reg.WriteString(name, value);
    }
    static std::optional<std::string> Get(const std::string& key, const std::string& name) {
        QRegistry reg;
        if (!reg.OpenKeyReadOnly(key) || !reg.ValueExists(name)) return std::nullopt;
        return reg.ReadString(name);
    }
    std::string MimeApps() const { return ReadFileBytes(dir_.file("config/mimeapps.list")); }

    test::TempDir dir_;
    test::ScopedXdgDirs xdg{dir_.path()};
};

TEST_F(DesktopAssocTest, FileTypeKeysBecomeDesktopEntries) {
    EXPECT_FALSE(QRegistry().KeyExists("Kelvora.VideoClip"));
    Put("Kelvora.VideoClip", "", "Kelvora Media Clip");
    Put("Kelvora.VideoClip\\DefaultIcon", "", "/opt/kv/kelvora-video.svg");
    Put("Kelvora.VideoClip\\shell\\Open", "", "Open");
    Put("Kelvora.VideoClip\\shell\\Open\\Command", "", "\"/opt/my kv/kelvora\" /open=\"%L\"");
    Put("Kelvora.VideoClip\\shell\\Play", "", "Play");
    Put("Kelvora.VideoClip\\shell\\Play\\Command", "", "/opt/kv/kelvora /play=\"%L\"");
    Put("kelvora.videoclip\\SHELL", "", "Play");  // keys ignore letter case

    const std::string entry = ReadFileBytes(DesktopEntryFile("Kelvora.VideoClip"));
    EXPECT_NE(entry.find("\nName=Kelvora Media Clip\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=/opt/kv/kelvora-video.svg\n"), std::string::npos);
    EXPECT_NE(entry.find("\nExec=/opt/kv/kelvora /play= %f\n"), std::string::npos);
    EXPECT_NE(entry.find("\nActions=Open;\n"), std::string::npos);
    EXPECT_NE(
        entry.find("[Desktop Action Open]\nName=Open\nExec=\"/opt/my kv/kelvora\" /open= %f\n"),
        std::string::npos)
        << entry;

    EXPECT_EQ(Get("Kelvora.VideoClip\\shell\\Open\\Command", ""),
              "\"/opt/my kv/kelvora\" /open=\"%L\"");
    EXPECT_EQ(Get("Kelvora.VideoClip\\shell", ""), "Play");
    EXPECT_EQ(Get("Kelvora.VideoClip", ""), "Kelvora Media Clip");
    EXPECT_FALSE(Get("Kelvora.VideoClip", "named"));
    EXPECT_TRUE(QRegistry().KeyExists("Kelvora.VideoClip\\shell\\Play\\Command"));
    EXPECT_FALSE(QRegistry().KeyExists("Kelvora.VideoClip\\shell\\Edit"));

    QRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Kelvora.VideoClip", true));
    EXPECT_THROW(reg.WriteString("named", "x"), ERegistry);
    EXPECT_THROW(reg.WriteString("", "two\x01lines"), ERegistry);
}

TEST_F(DesktopAssocTest, DesktopEntriesOfOtherProgramsAreNeverWritten) {
    const std::string theirs = "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true %f\n";
    WriteFileBytes(dir_.file("data/applications/Other.Player.desktop"), theirs);
    QRegistry reg;
    EXPECT_FALSE(reg.OpenKey("Other.Player", true));
    EXPECT_FALSE(reg.OpenKey("Other.Player\\DefaultIcon", true));
    EXPECT_EQ(ReadFileBytes(dir_.file("data/applications/Other.Player.desktop")), theirs);
    // Names that cannot be desktop ids never reach the applications folder.
    EXPECT_TRUE(reg.OpenKey("..\\..\\x", true));
    reg.WriteString("", "kept in the INI file");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("x")));
}

TEST_F(DesktopAssocTest, ExtensionValuesAreTheDefaultApplications) {
    WriteFileBytes(
        dir_.file("config/mimeapps.list"),
        "# mine\n[Added Associations]\nvideo/x-msvideo=foo.desktop;\n\n"
        "[Default "
        "Applications]\nvideo/x-msvideo=other.desktop;second.desktop;\ntext/plain=ed.desktop;\n");
    EXPECT_EQ(Get(".avi", ""), "other.desktop");
    EXPECT_FALSE(Get(".hav", ""));
    Put("Kelvora.VideoClip", "", "Kelvora Media Clip");
    Put("Kelvora.VideoClip\\shell\\Play\\Command", "", "/kv/kelvora /play=\"%L\"");

    Put(".avi", "", "Kelvora.VideoClip");
    EXPECT_EQ(Get(".avi", ""), "Kelvora.VideoClip");
    EXPECT_NE(MimeApps().find(
                  "video/x-msvideo=Kelvora.VideoClip.desktop;other.desktop;second.desktop;\n"),
              std::string::npos)
        << MimeApps();
    EXPECT_NE(
        ReadFileBytes(DesktopEntryFile("Kelvora.VideoClip")).find("\nMimeType=video/x-msvideo;\n"),
        std::string::npos);

    // A type of our own comes with its MIME package while it has an application.
    const std::string package = dir_.file("data/mime/packages/kelvora-types.xml");
    Put(".hav", "", "Kelvora.VideoClip");
    EXPECT_NE(ReadFileBytes(package).find("<glob pattern=\"*.hav\"/>"), std::string::npos);
    Put(".hav", "", "");
    EXPECT_FALSE(Get(".hav", ""));
    EXPECT_FALSE(std::filesystem::exists(package));

    Put(".avi", "", "other.desktop");
    EXPECT_EQ(Get(".avi", ""), "other.desktop");
    Put(".avi", "", "");  // takes only our types out
    EXPECT_EQ(Get(".avi", ""), "other.desktop");
    const std::string list = MimeApps();
    EXPECT_EQ(list.find("Kelvora"), std::string::npos) << list;
    EXPECT_NE(list.find("# mine\n[Added Associations]\nvideo/x-msvideo=foo.desktop;\n"),
              std::string::npos);
    EXPECT_NE(list.find("text/plain=ed.desktop;\n"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(DesktopEntryFile("Kelvora.VideoClip")).find("MimeType="),
              std::string::npos);

    QRegistry reg;
    ASSERT_TRUE(reg.OpenKey(".avi", true));
    EXPECT_THROW(reg.WriteString("", "not a type"), ERegistry);
    EXPECT_THROW(reg.WriteString("Content Type", "video/avi"), ERegistry);
}

TEST_F(DesktopAssocTest, OtherKeysKeepNamedValuesInTheIniFile) {
    Put("Tarnwel_Backup\\Kelvora", ".avi", "other.desktop");
    Put("Tarnwel_Backup\\Kelvora", ".hav", "");
    Put("tarnwel_backup\\KELVORA", ".txt", " \"quoted\" ");
    Put("Tarnwel_Backup\\Kelvora", "", "default");
    EXPECT_EQ(Get("Tarnwel_Backup\\Kelvora", ".AVI"), "other.desktop");
    EXPECT_EQ(Get("Tarnwel_Backup\\Kelvora", ".hav"), "");
    EXPECT_FALSE(Get("Tarnwel_Backup\\Kelvora", ".wav"));
    EXPECT_EQ(Get("Tarnwel_Backup\\Kelvora", ".txt"), " \"quoted\" ");
    EXPECT_EQ(Get("Tarnwel_Backup\\Kelvora", ""), "default");
    EXPECT_TRUE(QRegistry().KeyExists("Tarnwel_Backup"));
    EXPECT_FALSE(QRegistry().KeyExists("Tarnwel_Backup\\Other"));
    EXPECT_NE(ReadFileBytes(DesktopClassesFile()).find("[Tarnwel_Backup\\Kelvora]"),
              std::string::npos);

    QRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Tarnwel_Backup\\Kelvora", true));
    EXPECT_THROW(reg.WriteString(".avi", "two\nlines"), ERegistry);
    EXPECT_THROW(reg.WriteString("a=b", "x"), ERegistry);
    EXPECT_THROW(reg.WriteString("@", "x"), ERegistry);
    EXPECT_EQ(Get("Tarnwel_Backup\\Kelvora", ".avi"), "other.desktop");
    QRegistry user(HKEY_CURRENT_USER);
    EXPECT_FALSE(user.OpenKey("Software", true));
}

TEST_F(DesktopAssocTest, DamagedFilesReadSafelyAndAreNotOverwritten) {
    WriteFileBytes(dir_.file("config/mimeapps.list"),
                   "[Default Applications\n=\n;;;\n[Default Applications]\nvideo/x-msvideo\n"
                   "video/x-msvideo = ;; ;\n" +
                       std::string(3000, '[') + "\n");
    EXPECT_FALSE(Get(".avi", ""));
    WriteFileBytes(
        dir_.file("data/applications/Kelvora.VideoClip.desktop"),
        "[Desktop Entry]\nX-Kelvora-FileType=Kelvora.VideoClip\nX-Kelvora-Verbs=;..;Open;open;" +
            std::string(5000, 'a') + ";\nX-Kelvora-Command-Open=\\\nX-Kelvora-Description\n");
    EXPECT_EQ(Get("Kelvora.VideoClip\\shell\\Open\\Command", ""), "\\");
    EXPECT_FALSE(Get("Kelvora.VideoClip", ""));
    Put(".avi", "", "Kelvora.VideoClip");
    EXPECT_EQ(Get(".avi", ""), "Kelvora.VideoClip");

    // A file of unreasonable size is no settings file: it reads as empty and stays.
    std::filesystem::resize_file(dir_.file("config/mimeapps.list"), 17 * 1024 * 1024);
    EXPECT_FALSE(Get(".avi", ""));
    QRegistry reg;
    ASSERT_TRUE(reg.OpenKey(".avi", true));
    EXPECT_THROW(reg.WriteString("", "Kelvora.VideoClip"), ERegistry);
    EXPECT_EQ(std::filesystem::file_size(dir_.file("config/mimeapps.list")), 17u * 1024 * 1024);
}

}  // namespace
}  // namespace kelvora
