// Boxes, dialogs and popup menus answered by the script, and the filter helpers.

#include "app/VCLUtils.h"
#include "app/ctlpopup.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "runtime/Basic.h"
#include "runtime/miscprocs.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct VclTest : ::testing::Test {
    void SetUp() override {
        VclScriptClear();
        AppTitleSet("Kelvora - clip.hav");
    }
    void TearDown() override { VclScriptClear(); }
    static QVclLogEntry Last() { return VclScriptLog().back(); }
};

}  // namespace

TEST_F(VclTest, QuestionsPassTheirFlagsAndMapTheAnswers) {
    const struct {
        bool cancel;  // YesNoCancel, else YesNo
        int32_t def;
        int32_t answer;
        int32_t flags;
        char result;
    } cases[] = {
        {false, 1, ID_YES, 36, 'Y'},    {false, 2, ID_YES, 292, 'Y'}, {false, 0, ID_NO, 292, 'N'},
        {false, 1, ID_CANCEL, 36, 'N'}, {true, 1, ID_YES, 35, 'Y'},   {true, 2, ID_NO, 291, 'N'},
        {true, 3, ID_CANCEL, 547, 'C'}, {true, 1, ID_OK, 35, 'C'},
    };
    for (const auto& c : cases) {
        VclScriptPush(c.answer);
        const char got = c.cancel ? YesNoCancel("Really?", c.def) : YesNo("Really?", c.def);
        EXPECT_EQ(got, c.result) << c.flags;
        EXPECT_EQ(Last().flags, c.flags);
        EXPECT_EQ(Last().caption, "Kelvora - clip.hav");
        EXPECT_EQ(Last().text, "Really?");
    }
    EXPECT_EQ(VclScriptPending(), 0u);
}

TEST_F(VclTest, BoxesWithoutScriptOrScreenTakeTheDefaultButton) {
    InfoBox("i");
    EXPECT_EQ(Last().flags, 64);
    WarningBox("w");
    EXPECT_EQ(Last().flags, 48);
    ErrorBox("e");
    EXPECT_EQ(Last().flags, 16);
    EXPECT_EQ(Last().answer, ID_OK);
    EXPECT_EQ(YesNo("q", 2), 'N');
    EXPECT_EQ(YesNo("q", 1), 'Y');
    EXPECT_EQ(YesNoCancel("q", 3), 'C');
    EXPECT_EQ(YesNoCancel("q", 2), 'N');
}

TEST_F(VclTest, ExceptionBoxShowsTheHandledMessageCut) {
    try {
        throw std::runtime_error(std::string(2000, 'x'));
    } catch (...) {
        ExceptionBox("EvEject: ");
    }
    EXPECT_EQ(Last().text, "EvEject: " + std::string(EXCEPTION_TEXT_MAX, 'x'));
    EXPECT_EQ(Last().flags, MB_ICONERROR);
    try {
        throw 42;
    } catch (...) {
        ExceptionBox("PlayCBF: ");
    }
    EXPECT_EQ(Last().text, "PlayCBF: Unknown exception.");
}

TEST_F(VclTest, FilterEntriesGiveExtensions) {
    const std::string filter =
        "Bitmap (*.bmp;*.dib)|*.bmp;*.dib|Any file (*.*)|*.*|Archive| *.tar.gz "
        "|Raw|raw|Jpeg|*.jpg,*.jpeg";
    const struct {
        int32_t index;
        const char* ext;
    } cases[] = {{1, ".bmp"}, {2, ""}, {3, ".tar.gz"}, {4, ""},         {5, ".jpg"},
                 {6, ""},     {0, ""}, {-3, ""},       {2147483647, ""}};
    for (const auto& c : cases) {
        std::string ext = "old";
        FilterToExt(filter, c.index, ext);
        EXPECT_EQ(ext, c.ext) << c.index;
    }
    std::string out;
    CompleteName("/tmp/pic", filter, 1, out, false);
    EXPECT_EQ(out, "/tmp/pic.bmp");
    CompleteName("/tmp/pic.png", filter, 1, out, true);
    EXPECT_EQ(out, "/tmp/pic.bmp");
    CompleteName("/tmp/v1.0/pic", filter, 1, out, false);
    EXPECT_EQ(out, "/tmp/v1.0/pic.bmp");
    // An entry without an extension never strips the one given.
    CompleteName("/tmp/pic.png", filter, 2, out, true);
    EXPECT_EQ(out, "/tmp/pic.png");
    std::string same = "notes";
    CompleteName(same, "Text|*.txt|", 1, same, false);
    EXPECT_EQ(same, "notes.txt");
}

TEST_F(VclTest, FiltersBecomeDialogFilters) {
    const auto list = FilterToDialog(
        "All supported formats|*.bmp;*.gif|BMP (*.bmp;*.dib)|*.bmp;*.dib|Any file (*.*)|*.*");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], "All supported formats (*.bmp *.gif)");
    EXPECT_EQ(list[1], "BMP (*.bmp *.dib)");
    EXPECT_EQ(list[2], "Any file (*.*)");
    EXPECT_EQ(FilterToDialog("Odd||").at(0), "Odd (*)");
}

TEST_F(VclTest, FileDialogsTakeScriptedNames) {
    test::TempDir tmp;
    const std::string filter = "Text|*.txt|Any file (*.*)|*.*|";
    std::string dir = tmp.path(), name = "x";
    int32_t index = 0;
    VclScriptPush(tmp.file("notes"));
    EXPECT_TRUE(FileOpenDlg("Open a File", dir, filter, name, index));
    EXPECT_EQ(name, tmp.file("notes.txt"));
    EXPECT_EQ(dir, tmp.path() + "/");
    EXPECT_EQ(index, 1);
    EXPECT_EQ(Last().kind, "open");
    EXPECT_EQ(Last().detail, tmp.path());

    // Cancel empties the name only; a missing folder starts in the program's folder.
    dir = "  /no/such/folder ";
    VclScriptPush("");
    EXPECT_FALSE(FileOpenDlg("Open a File", dir, filter, name, index));
    EXPECT_EQ(name, "");
    EXPECT_EQ(dir, "  /no/such/folder ");
    EXPECT_EQ(Last().detail, GetAppDir());

    VclScriptPush("/data/report", 2);
    EXPECT_TRUE(FileSaveDlg("Save", dir, "report.txt", name, index, filter));
    EXPECT_EQ(name, "/data/report");
    EXPECT_EQ(index, 2);
    EXPECT_EQ(dir, "/data/");
}

TEST_F(VclTest, PopupMenusReturnTheChosenId) {
    std::string menu;
    PopupAddItem(menu, "Play|Now", 1);
    PopupAddItem(menu, "-", 0);
    PopupAddItem(menu, "Exit", 50);
    EXPECT_EQ(menu, "PlayNow|101|-|100|Exit|150|");
    const auto items = PopupItems(menu);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[2].id, 50);

    VclScriptPush(50);
    EXPECT_EQ(PopupDisplay(-1, -1, menu), 50);
    EXPECT_EQ(Last().kind, "popup");
    EXPECT_EQ(Last().text, menu);
    for (int32_t answer : {BAD_HANDLE, 0 /* the separator */, 7 /* not offered */}) {
        VclScriptPush(answer);
        EXPECT_EQ(PopupDisplay(10, 10, menu), BAD_HANDLE) << answer;
    }
    EXPECT_EQ(PopupDisplay(10, 10, menu), BAD_HANDLE);  // no screen: nothing chosen
    VclScriptPush(1);
    EXPECT_EQ(PopupDisplay(10, 10, ""), BAD_HANDLE);  // no item: not even shown
    EXPECT_EQ(VclScriptPending(), 1u);
    EXPECT_TRUE(PopupItems("a|x1|b|").empty());
}
