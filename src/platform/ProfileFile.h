#pragma once
// Stand-in for the Windows private-profile functions: sectioned key=value text files.

#include <cstdint>
#include <optional>
#include <string>

namespace kelvora {

// Where a profile file name leads: a bare name without a directory ("win.ini") lives in
// $XDG_CONFIG_HOME (default ~/.config); any other name is used as given.
std::string ProfileResolvePath(const std::string& file);

// Reads `key` of `section` (both case-insensitive) into `out`, at most size - 1 characters;
// `def` when the file, section or key is missing. Returns the number of characters kept.
uint32_t ProfileGetString(const std::string& section, const std::string& key, const std::string& def,
                          std::string& out, uint32_t size, const std::string& file);

// Writes `value` under `key` of `section`, creating file, section and key as needed; a missing
// value deletes the key, a missing key deletes the section; all three missing only flushes.
// The file is replaced atomically (temporary file renamed into place). False on failure.
bool ProfileWriteString(const std::optional<std::string>& section, const std::optional<std::string>& key,
                        const std::optional<std::string>& value, const std::string& file);

}  // namespace kelvora
