#include "runtime/miscprocs.h"

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

TEST(Miscprocs, PathsAndDirectories) {
    EXPECT_EQ(AddBS("/home"), "/home/");
    EXPECT_EQ(AddBS("/home/"), "/home/");
    EXPECT_EQ(AddBS(""), "");
    EXPECT_EQ(RemoveBS("/home//"), "/home");
    EXPECT_EQ(RemoveBS("/"), "");
    const std::string dir = GetAppDir();
    ASSERT_GE(dir.size(), 2u);
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
    EXPECT_NE(dir[dir.size() - 2], '/');
    EXPECT_TRUE(DirExists(dir));
    TempDir tmp;
    WriteFileBytes(tmp.file("f"), "x");
    EXPECT_FALSE(DirExists(tmp.file("f")));
    EXPECT_FALSE(DirExists(tmp.file("missing")));
    EXPECT_FALSE(DirExists(""));
}

TEST(Miscprocs, NumbersAsText) {
    EXPECT_EQ(BigNumToStr(true, 1234567), "1,234,567");
    EXPECT_EQ(BigNumToStr(false, 1234567), "1234567");
    EXPECT_EQ(BigNumToStr(true, 5e9), "5,000,000,000");
    EXPECT_EQ(BigNumToStr(true, 999.99), "999");
    EXPECT_EQ(BigNumToStr(true, -1234567.8), "-1,234,567");
    EXPECT_EQ(InsertSep("123", ",", 3), "123");
    EXPECT_EQ(InsertSep("abcdefg", ".", 2), "a.bc.de.fg");
    EXPECT_EQ(InsertSep("1234", ",", 0), "1234");

    EXPECT_EQ(TrimFloatToStr(0, 50, 15), "15");
    EXPECT_EQ(TrimFloatToStr(0, 50, 0.25), "0.25");
    EXPECT_EQ(TrimFloatToStr(0, 50, 29.97), "29.97");
    EXPECT_EQ(TrimFloatToStr(0, 50, 0.1 + 0.2), "0.3");
    EXPECT_EQ(TrimFloatToStr(0, 50, 1.0 / 3), "0.333333333333333");
    EXPECT_EQ(TrimFloatToStr(0, 2, -0.001), "0");
    EXPECT_EQ(TrimFloatToStr(6, 2, 1.5), "  1.5");  // padded to "  1.50", then trimmed
    EXPECT_EQ(TrimFloatToStr(0, 0, 150), "150");    // no point: its zeros are digits
}

TEST(Miscprocs, StrToFloatDefReadsOnlyWholeDecimalNumbers) {
    EXPECT_DOUBLE_EQ(StrToFloatDef("  12.5  ", -1), 12.5);
    EXPECT_DOUBLE_EQ(StrToFloatDef("\t+12.5\r\n", -1), 12.5);
    EXPECT_DOUBLE_EQ(StrToFloatDef("-.5", -1), -0.5);
    EXPECT_DOUBLE_EQ(StrToFloatDef("1.5e3", -1), 1500);
    for (const char* bad :
         {"12,5", "", " ", ".", "1e", "12.5x", "1 2", "inf", "nan", "0x10", "1e999", "+-1"})
        EXPECT_DOUBLE_EQ(StrToFloatDef(bad, -1), -1) << bad;
}

TEST(Miscprocs, FileToStrJoinsLinesWithCrLf) {
    TempDir dir;
    const std::string f = dir.file("t.txt");
    WriteFileBytes(f, "");
    EXPECT_EQ(FileToStr(f), "");
    EXPECT_TRUE(ErrNone());
    WriteFileBytes(f, "abc\n");
    EXPECT_EQ(FileToStr(f), "abc");
    WriteFileBytes(f, "a\r\nb\nc\rd\n\ne\r\r\n");
    EXPECT_EQ(FileToStr(f), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n");
    // A CR-LF pair split between two reads is one line end.
    WriteFileBytes(f, std::string(65535, 'x') + "\r\ny");
    EXPECT_EQ(FileToStr(f), std::string(65535, 'x') + "\r\ny");
}

TEST(Miscprocs, TextFileFailuresAreRecorded) {
    TempDir dir;
    EXPECT_EQ(FileToStr(dir.file("missing")), "");
    EXPECT_EQ(ErrLastText(), "Cannot open file: " + dir.file("missing"));
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(FileToStr(fifo), "");  // refused, not waited on
    EXPECT_FALSE(ErrNone());
    StrToFile(fifo, "x", false);
    EXPECT_FALSE(ErrNone());
    StrToFile(dir.file("no/dir/x.txt"), "x", false);
    EXPECT_EQ(ErrLastGroup(), ERR_FILE);
    EXPECT_EQ(ErrLastCode(), 2);
    EXPECT_EQ(FileCount(), 0);
}

TEST(Miscprocs, StrToFileCreatesReplacesAndAppends) {
    TempDir dir;
    const std::string f = dir.file("out.txt");
    StrToFile(f, "appended to nothing", true);
    EXPECT_TRUE(ErrNone());
    EXPECT_EQ(ReadFileBytes(f), "appended to nothing\r\n");
    StrToFile(f, "first", false);
    StrToFile(f, "second", true);
    EXPECT_EQ(ReadFileBytes(f), "first\r\nsecond\r\n");
}

TEST(Miscprocs, SecToStr) {
    EXPECT_EQ(SecToStr(23, 0), "00:00:00");
    EXPECT_EQ(SecToStr(23, 3725.5), "01:02:05");
    EXPECT_EQ(SecToStr(23, 360000), "100:00:00");
    EXPECT_EQ(SecToStr(0, 5.25), "5.250");
    EXPECT_EQ(SecToStr(0, 65), "01:05");
    EXPECT_EQ(SecToStr(0, 0), "");
    EXPECT_EQ(SecToStr(0, 0.5), "0.500");
    EXPECT_EQ(SecToStr(SEC_MSECS, 0), "0.000");
    EXPECT_EQ(SecToStr(SEC_MINUTES, 7), "00:07");
    EXPECT_EQ(SecToStr(0, 3600), "01:00:00");
    EXPECT_EQ(SecToStr(0, -5), "");
    EXPECT_EQ(SecToStr(SEC_NO_MSECS | SEC_MSECS, 61.25), "01:01");  // "never" beats "always"
}

TEST(Miscprocs, ForceFileExtAndSmallHelpers) {
    EXPECT_EQ(ForceFileExt("/dir.x/name", "txt"), "/dir.x/name.txt");
    EXPECT_EQ(ForceFileExt("/dir/a.bmp", ".png"), "/dir/a.png");
    EXPECT_EQ(ForceFileExt("a.tar.gz", "x"), "a.tar.x");
    EXPECT_EQ(ForceFileExt("a.bmp", ""), "a");
    EXPECT_EQ(RepChar('-', 3), "---");
    EXPECT_EQ(RepChar('-', -2), "");
    EXPECT_EQ(IfThen(true, 1, 2), 1);
    EXPECT_EQ(IfThen(false, std::string("a"), std::string("b")), "b");
}

}  // namespace
}  // namespace kelvora
