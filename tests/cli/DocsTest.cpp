// The manual pages and the bash completion, as installed from assets/: the pages render and
// name every option the programs' --help names; the completion offers the commands, each
// command's options and values, and the files the player reads.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <string>

#include "support/TestSupport.h"

using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;

namespace {

int Shell(const std::string& cmd) {
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// The options (--name, --name=value, -o) and slash verbs (/name=) a text mentions.
std::set<std::string> Options(const std::string& text) {
    static const std::regex option(R"((^|[\s\[(|])(--?[a-z][a-z-]*(=none)?|/[a-z]+=?))");
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        found.insert((*it)[2]);
    return found;
}

}  // namespace

TEST(Docs, ManualPagesRenderAndNameEveryOptionOfHelp) {
    if (!kelvora::test::HaveTools({"man", "col"})) GTEST_SKIP() << "man-db renders the pages";
    TempDir dir;
    const struct {
        const char* page;
        const char* program;
    } pages[] = {{"kelvora-cli.1", KV_CLI}, {"kelvora.1", KV_PLAYER}};
    for (const auto& p : pages) {
        SCOPED_TRACE(p.page);
        const std::string text = dir.file(std::string(p.page) + ".txt");
        ASSERT_EQ(Shell("MANWIDTH=100 man -l '" KV_ASSETS "/man/" + std::string(p.page) +
                        "' 2>/dev/null | col -b >'" + text + "'"),
                  0);
        const std::string page = ReadFileBytes(text);
        EXPECT_NE(page.find("NAME"), std::string::npos);
        const std::string help = dir.file("help.txt");
        ASSERT_EQ(Shell("'" + std::string(p.program) + "' --help >'" + help + "' 2>&1"), 0);
        const std::set<std::string> inPage = Options(page);
        for (const std::string& option : Options(ReadFileBytes(help)))
            EXPECT_TRUE(inPage.count(option)) << option << " is in --help but not in the page";
    }
}

TEST(Docs, CompletionOffersCommandsOptionsValuesAndMediaFiles) {
    if (!kelvora::test::HaveTools({"bash"})) GTEST_SKIP() << "bash runs the completion";
    TempDir dir;
    for (const char* f : {"clip.mp4", "song.FLAC", "notes.txt"})
        kelvora::test::WriteFileBytes(dir.file(f), "");
    Shell("mkdir '" + dir.file("sub") + "'");
    // Each line: the words typed so far; what the completion offers is printed after "->".
    const std::string script = "source '" KV_ASSETS
                               "/completion/kelvora-cli'\n"
                               R"SH(
ask() {
    read -ra COMP_WORDS <<< "$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _kelvora_cli
    printf '%s -> %s\n' "$1" "$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')"
}
ask 'kelvora-cli '
ask 'kelvora-cli ex'
ask 'kelvora-cli export x --'
ask 'kelvora-cli export x --method '
ask 'kelvora-cli hav-encode -o out.hav --codec '
ask 'kelvora-cli play '
ask 'kelvora-cli send --'
)SH";
    kelvora::test::WriteFileBytes(dir.file("ask.sh"), script);
    ASSERT_EQ(
        Shell("cd '" + dir.path() + "' && bash --norc --noprofile -i ask.sh >out.txt 2>/dev/null"),
        0);
    const std::string out = ReadFileBytes(dir.file("out.txt"));
    for (const char* line : {"kelvora-cli  -> --help --version export hav-encode info play send \n",
                             "kelvora-cli ex -> export \n",
                             "kelvora-cli export x -- -> --all --bpp --frame --method --sound \n",
                             "kelvora-cli export x --method  -> 0 1 2 3 \n",
                             "kelvora-cli hav-encode -o out.hav --codec  -> best best-p fast \n",
                             "kelvora-cli play  -> clip.mp4 song.FLAC sub \n",
                             "kelvora-cli send -- -> --close --open --play \n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
}
