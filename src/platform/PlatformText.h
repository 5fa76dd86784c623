#pragma once
// Small text routines of the stand-ins. The files they read (profiles, MIME lists, desktop
// entries, the MIME database) are byte texts whose names compare in ASCII only, so nothing here
// looks at the locale: bytes outside ASCII pass through unchanged and never match a letter of
// another case.

#include <string>
#include <string_view>
#include <vector>

namespace kelvora {

// --- Case -----------------------------------------------------------------------------------

// The ASCII capitals in lower case; every other byte as it is.
char LowerAsciiChar(char c);
std::string LowerAscii(std::string_view s);
// Equal apart from the case of ASCII letters.
bool SameAsciiText(std::string_view a, std::string_view b);

// --- Character classes ----------------------------------------------------------------------

bool IsAsciiAlnum(char c);
// Every byte is an ASCII letter, an ASCII digit or one of `extra` (true for an empty text).
bool AsciiAlnumOr(std::string_view s, std::string_view extra);
// Some byte is a control character (below the blank, or DEL).
bool HasControlChars(std::string_view s);

// --- Trimming -------------------------------------------------------------------------------

// Without blanks and tabs at the ends: the white space of desktop entries and MIME lists.
std::string_view TrimBlanks(std::string_view s);
// Without the white space that can stand inside a line (blank, tab, vertical tab, form feed) at
// the ends: the white space of profile files.
std::string_view TrimLineSpace(std::string_view s);
// Without the blank, control characters and DEL at the ends.
std::string_view TrimControls(std::string_view s);

// --- Splitting and joining ------------------------------------------------------------------

// The pieces between the separators: n separators give n + 1 pieces, empty ones included (an
// empty text is one empty piece).
std::vector<std::string_view> SplitText(std::string_view s, char separator);
// The lines of a text ended by LF, each without a CR before its LF; a last line without an end
// counts, an empty one after the last LF does not.
std::vector<std::string_view> SplitLines(std::string_view data);
// Splits a command line at blanks (spaces, tabs) outside double quotes; the quotes themselves
// go, and a pair of quotes alone makes an empty word.
std::vector<std::string> SplitCommandWords(std::string_view line);
// A path without its trailing "/"s; the root "/" stays.
std::string NoTrailingSlash(std::string path);

// --- Lines of key files (mimeapps.list, desktop entries) ------------------------------------

// A "[name]" line (blanks around it do not count): true, with `name` what the brackets hold.
bool KeyFileGroupLine(std::string_view line, std::string_view& name);
// A "key=value" line that is no comment ("#"): true, with the key and the value without blanks
// around them. False for lines without a key.
bool KeyFileKeyLine(std::string_view line, std::string_view& key, std::string_view& value);
// The items of a ";"-separated list value, blanks trimmed, empty items dropped.
std::vector<std::string> KeyFileSplitList(std::string_view value);
// The items each followed by ";", as list values are written.
std::string KeyFileJoinList(const std::vector<std::string>& items);

}  // namespace kelvora
