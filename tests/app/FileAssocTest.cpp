// The extension list, associating with a backup of the previous owner, and restoring; last, the
// whole round as a desktop user meets it through the freedesktop tools.

#include "app/FileAssoc.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "app/regwrap.h"
#include "app/wFileAss.h"
#include "formats/FileFmtDef.h"
#include "runtime/Basic.h"
#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

constexpr const char* BACKUP = "Tarnwel_Backup\\Kelvora";

class FileAssocTest : public ::testing::Test {
protected:
    void SetUp() override { program_ = dir_.file("bin/kelvora"); }
    void TearDown() override { Fas_Free(list_); }
    // Another program's desktop entry, owning the given MIME types.
    void OtherOwns(const std::string& mimeTypes) {
        WriteFileBytes(dir_.file("data/applications/other-player.desktop"),
                       "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true %f\n");
        WriteFileBytes(dir_.file("config/mimeapps.list"), "[Default Applications]\n" + mimeTypes);
    }
    int32_t IndexOf(const std::string& ext) const {
        for (int32_t i = 0; i < list_->count; ++i)
            if (list_->items[i]->ext.Get() == ext) return i;
        return -1;
    }
    void Prepare() {
        Fas_Free(list_);
        list_ = FasPrepare();
        ASSERT_NE(list_, nullptr);
    }

    test::TempDir dir_;
    test::ScopedXdgDirs xdg{dir_.path()};
    std::string program_;
    QFasList* list_ = nullptr;
};

TEST(FileAssocList, EveryLoadExtensionOnceOrderedByFormat) {
    QFasList* list = Fas_Create();
    ASSERT_NE(list, nullptr);
    Fas_AddAllFormats(list, FF_TABLE_LOAD, 0);
    std::multiset<std::string> expected;
    QffDesc row;
    for (int32_t n = 0; FFGetDesc(row, n, FF_TABLE_LOAD); ++n) {
        std::string exts = row.extensions, ext;
        while (!exts.empty()) {
            _ExtGetNext(exts, true, ext);
            expected.insert("." + ext);
        }
    }
    std::multiset<std::string> got;
    for (int32_t i = 0; i < list->count; ++i) got.insert(list->items[i]->ext.Get());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(list->count, 65);

    // By the formats' descriptions; one format's extensions together in table order.
    const QFasItem* first = Fas_GetItemPtr(list, 0);
    EXPECT_EQ(first->ext.Get(), ".aac");
    EXPECT_EQ(first->description.Get(), "Advanced Audio Coding, AAC");
    EXPECT_EQ(first->type, FT_AAC);
    EXPECT_EQ(first->state, BAD_HANDLE);
    EXPECT_EQ(Fas_GetItemPtr(list, 1)->ext.Get(), ".adts");
    EXPECT_EQ(Fas_GetItemPtr(list, 2)->ext.Get(), ".asf");
    EXPECT_EQ(Fas_GetItemPtr(list, 3)->ext.Get(), ".wmv");
    EXPECT_EQ(Fas_GetItemPtr(list, 4)->ext.Get(), ".avi");
    for (int32_t i = 1; i < list->count; ++i) {
        const std::string a = list->items[i - 1]->formatName.Get(),
                          b = list->items[i]->formatName.Get();
        EXPECT_LE(strcasecmp(a.c_str(), b.c_str()), 0) << a << " / " << b;
    }
    EXPECT_EQ(Fas_GetItemPtr(list, list->count), nullptr);
    EXPECT_EQ(Fas_GetItemPtr(list, -1), nullptr);
    Fas_SetAssoc(list, list->count, 1);  // ignored
    Fas_Free(list);
    EXPECT_EQ(list, nullptr);

    // Sound formats only.
    list = Fas_Create();
    Fas_AddAllFormats(list, FF_TABLE_LOAD, FF_AUDIOONLY);
    EXPECT_EQ(list->count,
              14);  // .mp3 .mp2 .m2a .mpa .ogg .wav .m4a .m4b .mka .flac .opus .aac .adts .wma
    Fas_Free(list);

    std::string exts = ".jpg.J", ext;
    EXPECT_EQ(_ExtGetCount(exts), 2);
    _ExtGetNext(exts, false, ext);
    EXPECT_EQ(ext, "jpg");
    EXPECT_EQ(exts, ".jpg.J");
    _ExtGetNext(exts, true, ext);
    _ExtGetNext(exts, true, ext);
    EXPECT_EQ(ext, "J");
    EXPECT_EQ(exts, "");
}

TEST_F(FileAssocTest, AnotherOwnerIsBackedUpAndRestored) {
    OtherOwns("video/x-msvideo=other-player.desktop;\n");
    Prepare();
    const int32_t avi = IndexOf(".avi");
    EXPECT_EQ(list_->items[avi]->state, FAS_NOT_ASSOCIATED);
    FasCreateFileTypes(program_);

    Fas_RegSetAssoc(list_, avi, FAS_TYPE_VIDEO);
    EXPECT_EQ(RegFileTypeGet(".avi"), FAS_TYPE_VIDEO);
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, BACKUP, ".avi"), "other-player.desktop");
    EXPECT_TRUE(Fas_RegIsAssoc(list_, avi, FAS_TYPE_VIDEO));
    EXPECT_FALSE(Fas_RegIsAssoc(list_, avi, FAS_TYPE_AUDIO));

    // A second association keeps the first backup.
    Fas_RegSetAssoc(list_, avi, FAS_TYPE_VIDEO);
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, BACKUP, ".avi"), "other-player.desktop");

    Fas_RegRestoreAssoc(list_, avi, "kelvora.videoclip");  // compared without regard to case
    EXPECT_EQ(RegFileTypeGet(".avi"), "other-player.desktop");
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, BACKUP, ".avi"), "other-player.desktop");

    // Without a backup key nothing happens.
    Fas_RegDefineBackupKey(list_, "");
    Fas_RegSetAssoc(list_, avi, FAS_TYPE_VIDEO);
    EXPECT_EQ(RegFileTypeGet(".avi"), "other-player.desktop");
}

TEST_F(FileAssocTest, AnExtensionWithoutOwnerCanAlwaysBeGivenBack) {
    Prepare();
    FasCreateFileTypes(program_);
    const int32_t hav = IndexOf(".hav");
    Fas_RegSetAssoc(list_, hav, FAS_TYPE_VIDEO);
    Fas_RegSetAssoc(list_, hav, FAS_TYPE_VIDEO);  // must not take us for the previous owner
    EXPECT_EQ(RegFileTypeGet(".hav"), FAS_TYPE_VIDEO);
    Fas_RegRestoreAssoc(list_, hav, FAS_TYPE_VIDEO);
    EXPECT_EQ(RegFileTypeGet(".hav"), "");
}

TEST_F(FileAssocTest, SomeoneElsesExtensionIsLeftAlone) {
    OtherOwns("audio/x-wav=other-player.desktop;\n");
    Prepare();
    const int32_t wav = IndexOf(".wav");
    RegPutString(HKEY_CLASSES_ROOT, BACKUP, ".wav", "older.desktop");
    Fas_RegRestoreAssoc(list_, wav, FAS_TYPE_AUDIO);
    EXPECT_EQ(RegFileTypeGet(".wav"), "other-player.desktop");
    Fas_RegRestoreAssoc(list_, list_->count, FAS_TYPE_AUDIO);  // outside the list: ignored
}

TEST_F(FileAssocTest, ApplyGivesSoundAndPictureTypesAndRestoreAllUndoesIt) {
    OtherOwns("video/x-msvideo=other-player.desktop;\naudio/mpeg=other-player.desktop;\n");
    Prepare();
    FasApply(
        list_, [](int32_t) { return true; }, program_);
    for (const char* ext : {".wav", ".mp3", ".ogg", ".flac", ".opus", ".m4a", ".wma"})
        EXPECT_EQ(RegFileTypeGet(ext), FAS_TYPE_AUDIO) << ext;
    for (const char* ext : {".avi", ".gif", ".png", ".hav", ".J", ".mpg", ".mp4", ".mkv", ".ts"})
        EXPECT_EQ(RegFileTypeGet(ext), FAS_TYPE_VIDEO) << ext;
    // The containers go under their media types, whatever the shared database knows or ties
    // them with (".ts" also names translation sources).
    const std::string apps = ReadFileBytes(dir_.file("config/mimeapps.list"));
    for (const char* type : {"video/mp4=", "video/x-m4v=", "video/quicktime=", "video/webm=",
                             "audio/flac=", "audio/x-opus+ogg=", "video/mp2t=", "audio/x-ms-wma="})
        EXPECT_NE(apps.find(std::string("\n") + type + "Kelvora."), std::string::npos) << type;
    EXPECT_EQ(apps.find("text/"), std::string::npos) << apps;
    Prepare();
    for (int32_t i = 0; i < list_->count; ++i)
        EXPECT_EQ(list_->items[i]->state, FAS_ASSOCIATED) << list_->items[i]->ext.Get();

    // Unchecking one gives that one back.
    const int32_t mp3 = IndexOf(".mp3");
    FasApply(
        list_, [&](int32_t i) { return i != mp3; }, program_);
    EXPECT_EQ(RegFileTypeGet(".mp3"), "other-player.desktop");
    EXPECT_EQ(RegFileTypeGet(".avi"), FAS_TYPE_VIDEO);

    FasRestoreAll();
    EXPECT_EQ(RegFileTypeGet(".avi"), "other-player.desktop");
    EXPECT_EQ(RegFileTypeGet(".mp3"), "other-player.desktop");
    EXPECT_EQ(RegFileTypeGet(".hav"), "");
    EXPECT_EQ(ReadFileBytes(dir_.file("config/mimeapps.list")).find("Kelvora"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("data/mime/packages/kelvora-types.xml")));
}

// --- As a new user meets it -------------------------------------------------------------------

bool OnPath(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST_F(FileAssocTest, DesktopToolsOpenFilesWithThePlayerAndThePreviousOwnerAfterwards) {
    if (!OnPath("xdg-mime") || !OnPath("xdg-open") || !OnPath("file"))
        GTEST_SKIP() << "xdg-utils missing";
    OtherOwns("video/x-msvideo=other-player.desktop;\n");
    // The program stands in as a script that notes its arguments.
    std::filesystem::create_directories(dir_.file("bin"));
    WriteFileBytes(program_,
                   "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n");
    ::chmod(program_.c_str(), 0755);
    const std::string clip = dir_.file("clip.avi");
    WriteFileBytes(clip,
                   std::string("RIFF\x24\0\0\0AVI LIST\x04\0\0\0hdrl", 24) + std::string(64, '\0'));
    const std::string env =
        "env -u XDG_CURRENT_DESKTOP -u DESKTOP_SESSION -u KDE_FULL_SESSION "
        "-u GNOME_DESKTOP_SESSION_ID -u BROWSER DISPLAY=:77 ";

    Prepare();
    FasApply(
        list_, [](int32_t) { return true; }, program_);
    EXPECT_EQ(Shell(env + "xdg-mime query default video/x-msvideo"), "Kelvora.VideoClip.desktop");
    if (OnPath("desktop-file-validate")) {
        EXPECT_EQ(Shell("desktop-file-validate " + DesktopEntryFile(FAS_TYPE_VIDEO) + " 2>&1"), "");
    }
    Shell(env + "xdg-open " + clip + " 2>&1");
    EXPECT_EQ(ReadFileBytes(program_ + ".args"), "/play=\n" + clip + "\n");

    FasRestoreAll();
    EXPECT_EQ(Shell(env + "xdg-mime query default video/x-msvideo"), "other-player.desktop");
}

}  // namespace
}  // namespace kelvora
