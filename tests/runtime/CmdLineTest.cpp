// The command-line grammar: the program name, the item forms, and rebuilding a command line
// from the program's arguments.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "runtime/miscprocs.h"

namespace kelvora {
namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

// Every item (verb, argument) after the program name of `line`.
Items Parse(const std::string& line) {
    CmdLine_Set(line);
    std::string cmd, verb, arg;
    int32_t pos = 0;
    CmdLine_Get(cmd, pos);
    Items items;
    while (CmdLine_CmdNext(cmd, verb, arg, pos) && items.size() < 20) items.emplace_back(verb, arg);
    return items;
}

std::string FromArgs(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return CmdLine_FromArgs(static_cast<int>(argv.size()), argv.data());
}

TEST(CmdLine, ProgramNameIsSkipped) {
    std::string cmd;
    int32_t pos = 0;
    CmdLine_Set(" \t\"C:\\Program Files\\kelvora.exe\" clip.avi");
    CmdLine_Get(cmd, pos);
    EXPECT_EQ(pos, 33);  // just past the closing quote
    EXPECT_EQ(Parse("\"/opt/my player/kelvora\" clip.avi"), (Items{{"", "clip.avi"}}));
    EXPECT_EQ(Parse("kelvora /open=a.avi"), (Items{{"open", "a.avi"}}));
    EXPECT_TRUE(Parse("\"unterminated name /open=a.avi").empty());
    EXPECT_TRUE(Parse("").empty());
}

TEST(CmdLine, ItemForms) {
    EXPECT_EQ(Parse("k clip.avi"), (Items{{"", "clip.avi"}}));
    EXPECT_EQ(Parse("k /open=clip.avi"), (Items{{"open", "clip.avi"}}));
    EXPECT_EQ(Parse("k /OPEN=clip.avi"), (Items{{"OPEN", "clip.avi"}}));
    EXPECT_EQ(Parse("k /play=\"my clip.avi\" /Inst"),
              (Items{{"play", "my clip.avi"}, {"Inst", ""}}));
    EXPECT_EQ(Parse("k \"a b.wav\" c.wav"), (Items{{"", "a b.wav"}, {"", "c.wav"}}));
    // A blank does not end a verb: only "=" or "/" do.
    EXPECT_EQ(Parse("k /play file.avi"), (Items{{"play file.avi", ""}}));
    EXPECT_EQ(Parse("k /Uninst/Inst"), (Items{{"Uninst", ""}, {"Inst", ""}}));
    EXPECT_EQ(Parse("k /play=  x.avi"), (Items{{"play", "x.avi"}}));
    // An unquoted argument stops at "/" and at a double quote.
    EXPECT_EQ(Parse("k a/b"), (Items{{"", "a"}, {"b", ""}}));
    EXPECT_EQ(Parse("k /open=\"unterminated"), (Items{{"open", "unterminated"}}));
    // Items that are empty end the list instead of looping.
    EXPECT_EQ(Parse("k x.avi // y.avi"), (Items{{"", "x.avi"}}));
    EXPECT_EQ(Parse("k \"\" y.avi"), Items{});
}

TEST(CmdLine, RebuiltFromArguments) {
    EXPECT_EQ(FromArgs({"/usr/bin/kelvora"}), "/usr/bin/kelvora");
    EXPECT_EQ(FromArgs({"/opt/my player/kelvora", "x.avi"}), "\"/opt/my player/kelvora\" x.avi");
    EXPECT_EQ(FromArgs({"k", "/play=my clip.hav"}), "k /play=\"my clip.hav\"");
    EXPECT_EQ(FromArgs({"k", "/open=\"my clip.hav\""}), "k /open=\"my clip.hav\"");
    EXPECT_EQ(FromArgs({"k", "/Inst", "", "clip.avi"}), "k /Inst clip.avi");
    EXPECT_EQ(FromArgs({"k", "my clip.avi"}), "k \"my clip.avi\"");
    // Paths hold "/", which would end an unquoted argument or look like a verb.
    EXPECT_EQ(FromArgs({"k", "/play=/home/u/a.hav"}), "k /play=\"/home/u/a.hav\"");
    EXPECT_EQ(FromArgs({"k", "/home/u/a.hav"}), "k \"/home/u/a.hav\"");
    EXPECT_EQ(FromArgs({"k", "/a.hav"}), "k \"/a.hav\"");

    // What a shell or a file manager passes comes out as the items it meant.
    const std::string line = FromArgs({"/opt/my player/kelvora", "/play=/home/u/my clip.hav",
                                       "/open=clip.avi", "/tmp/x y.gif", "/PlayClose=/m/a.wav"});
    EXPECT_EQ(Parse(line), (Items{{"play", "/home/u/my clip.hav"},
                                  {"open", "clip.avi"},
                                  {"", "/tmp/x y.gif"},
                                  {"PlayClose", "/m/a.wav"}}));
}

}  // namespace
}  // namespace kelvora
