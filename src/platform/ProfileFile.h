#pragma once
// Stand-in for the Windows private-profile functions: sectioned key=value text files.
//
// File layout understood here: "[name]" starts a section; "key=value" inside a section is a
// key; lines starting with ';' are comments; anything else (blank lines, lines without '=',
// lines before the first section) is kept as it is but means nothing. Section and key names
// compare without regard to ASCII case; blanks around names and values do not count; a value
// wrapped in a matching pair of '"' or '\'' loses the pair on reading. When a section or a key
// appears twice, the first one counts. Line ends may be CR-LF, LF or a lone CR.
//
// There is no cache: every call reads the file, and every write rewrites it at once through a
// temporary file in the same directory that is renamed into place. Only regular files are
// read or written; anything else (directories, devices, pipes) reads as missing and refuses
// writes. Files above 64 MiB are not profile files and are treated the same way.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvora {

// Where a profile file name leads: a bare name without a directory ("win.ini") lives in
// $XDG_CONFIG_HOME (default ~/.config), looked up at each call; any other name is used as
// given. An empty name stays empty.
std::string ProfileResolvePath(const std::string& file);

// Reads `key` of `section` (both case-insensitive) into `out`, at most size - 1 characters;
// `def` (cut the same way) when the file, section or key is missing. Returns the number of
// characters kept.
uint32_t ProfileGetString(const std::string& section, const std::string& key, const std::string& def,
                          std::string& out, uint32_t size, const std::string& file);

// Writes `value` under `key` of `section`, creating file, section and key as needed; a missing
// value deletes the key, a missing key deletes the section; all three missing only flushes
// (there is nothing to flush, so it succeeds). Every other line of the file stays as it was.
// The file is replaced atomically (temporary file renamed into place). False on failure, and
// for names or values that cannot be stored on one line (line ends, a '=' in a key, an empty
// name).
bool ProfileWriteString(const std::optional<std::string>& section,
                        const std::optional<std::string>& key,
                        const std::optional<std::string>& value, const std::string& file);

// Writes several keys of one section as ProfileWriteString writes one, in a single replacement
// of the file: a program stopped at any moment leaves all of them old or all new. False (and
// nothing written) when any name or value cannot be stored.
bool ProfileWriteStrings(const std::string& section,
                         const std::vector<std::pair<std::string, std::string>>& values,
                         const std::string& file);

}  // namespace kelvora
