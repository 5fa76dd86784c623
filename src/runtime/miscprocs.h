#pragma once
// Small text routines of the application shell: path separators, the program's directory,
// numbers as text, a clock-style time format, tolerant number parsing, whole-file text
// reading and writing, file-extension replacement and character repetition.
//
// Strings are byte strings; the path separator is "/". Number texts never depend on the
// user's locale: the decimal point is always ".".

#include <cstdint>
#include <string>

namespace kelvora {

// Appends "/" unless the path is empty or already ends with "/".
std::string AddBS(const std::string& path);
// Removes every trailing "/" (so "/" itself becomes empty).
std::string RemoveBS(const std::string& path);
// The directory of the running program's file with one trailing "/"; empty when unknown.
std::string GetAppDir();
// The share folder of an installed program whose file is in `appDir` (the installed layout's
// path from its program folder to share/kelvora), with one trailing "/"; empty when there is
// none, as for a program run from its build folder.
std::string InstalledShareDir(const std::string& appDir);
// True when the path exists and is a directory (symbolic links are followed).
bool DirExists(const std::string& path);

// Whole-number text of `value` (truncated up to 2147483647, rounded above), with "," between
// every three digits when `group` is set: 1234567 gives "1,234,567".
std::string BigNumToStr(bool group, double value);
// Inserts `sep` between every `n` characters of `s` counted from the right, never in front of
// the first character; every character counts. n < 1 leaves the text as it is.
std::string InsertSep(const std::string& s, const std::string& sep, int32_t n);

// The text, without surrounding blanks and control characters, read as a decimal number with
// "." as decimal point (optional sign and exponent); `def` unless the whole text is a number.
double StrToFloatDef(const std::string& text, double def);
// `value` in fixed notation, at least `width` characters (blank-padded on the left), with up
// to `decimals` decimals, then without trailing zeros after the point and without a bare
// trailing point: (0, 50, 29.97) gives "29.97".
std::string TrimFloatToStr(int32_t width, int32_t decimals, double value);

// The whole text file with its lines (ended by CR, LF or CR-LF) joined by "\r\n" and no line
// end after the last. Failures are recorded as the last error (ErrNone is false afterwards)
// and the text read until then is returned.
std::string FileToStr(const std::string& name);
// Writes `text` and "\r\n" to the file: a new file (replacing an existing one), or at the end
// of the file when `append` is set (a missing file is created). Failures are recorded as the
// last error.
void StrToFile(const std::string& name, const std::string& text, bool append);

// Flags of SecToStr.
constexpr int32_t SEC_HOURS = 1;      // always show hours
constexpr int32_t SEC_MINUTES = 2;    // always show minutes
constexpr int32_t SEC_SECONDS = 4;    // always show seconds
constexpr int32_t SEC_MSECS = 8;      // always show milliseconds
constexpr int32_t SEC_NO_MSECS = 16;  // never show milliseconds

// Clock-style text of a number of seconds: "01:02:05" (flags 23, 3725.5), "5.250" (flags 0,
// 5.25), "01:05" (flags 0, 65); hours and minutes take at least two digits, seconds two
// after minutes. Negative values and NaN count as 0.
std::string SecToStr(int32_t flags, double seconds);
// Replaces the file name's extension (from the last "." after the last "/") by `ext`, or
// appends `ext` when there is none; a "." is put in front of a non-empty `ext` that lacks one.
// An empty `ext` removes the extension.
std::string ForceFileExt(const std::string& name, const std::string& ext);
// `count` copies of `c` (empty for count <= 0).
std::string RepChar(char c, int32_t count);
// The text without leading and trailing blanks and control characters.
std::string TrimText(const std::string& s);
// The text with the ASCII capitals in lower case; other bytes stay as they are.
std::string LowerText(std::string s);

// The first value when `flag` is set, else the second.
int32_t IfThen(bool flag, int32_t a, int32_t b);
std::string IfThen(bool flag, const std::string& a, const std::string& b);

// --- Command line ---------------------------------------------------------------------------
// Positions are 1-based; a position is valid while it is at least 1 and at most the length.
// An item is /verb=argument, /verb="argument with blanks", /verb alone, or a bare argument
// (quoted or not). A verb runs until "=" or "/", so a blank after it does not end it.

// Makes `cmdLine` the process command line that CmdLine_Get returns (process-wide).
void CmdLine_Set(const std::string& cmdLine);
// Rebuilds a command line from the program's arguments. argv[0] is quoted when it holds a
// blank. An argument /verb=value (the verb made of letters only) keeps its verb and gets its
// value quoted when the value holds a blank or a "/" (file paths), unless it already starts
// with a double quote; /verb alone stays as it is. Any other argument is a bare argument,
// quoted under the same rule. Empty arguments are left out (they would end the item list).
std::string CmdLine_FromArgs(int argc, char** argv);
// The process command line and the position just past the program name: leading spaces and
// tabs are skipped, a quoted name is skipped whole, otherwise the position moves to the next
// space.
void CmdLine_Get(std::string& cmdLine, int32_t& pos);
// Skips spaces; at a double quote steps over it, over everything up to the next double quote
// and over that quote when present.
void _CmdLine_SkipQuotedString(const std::string& s, int32_t& pos);
// Reads the next item into `verb` and `argument` (both cleared first); true when either is
// not empty.
bool CmdLine_CmdNext(const std::string& cmdLine, std::string& verb, std::string& argument,
                     int32_t& pos);

}  // namespace kelvora
