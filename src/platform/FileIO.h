#pragma once
// Whole-file reading and atomic replacement for the small text files the stand-ins keep
// (profiles, MIME lists, desktop entries, launchers).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace kelvora {

enum class FileLoad { Ok, Missing, Refused };

// Opens a regular file with `flags` (O_RDONLY, O_WRONLY | O_CREAT ..., close-on-exec added) and
// returns its descriptor in blocking mode; -1 for anything else (a folder, a pipe, a device), so
// that an open never waits on a pipe without a writer. `st`, when given, receives its status.
int FileOpenRegular(const std::string& path, int flags, struct stat* st = nullptr);
// The same for reading through stdio; null when it is not a readable regular file.
std::FILE* FileOpenRegularRead(const char* path);

// Reads a whole regular file of at most `limit` bytes into `data` (`mode`, when given, receives
// its permission bits). Missing: it does not exist. Refused: it exists but is not a readable
// regular file of that size (a pipe, a device, a folder, a file that grows past the limit);
// `data` is then empty.
FileLoad FileLoadWhole(const std::string& path, std::string& data, int64_t limit,
                       mode_t* mode = nullptr);

// Writes all of `data` to `fd`, going on after interruptions; false on a write error.
bool FileWriteAll(int fd, const std::string& data);

// Replaces `target` by `data`: the bytes go to a fresh temporary file in the same folder, which
// is synced and renamed over the target, so readers see the old or the new file whole, never a
// part. The new file gets `mode` when given, else the default permissions.
bool FileReplace(const std::string& target, const std::string& data, const mode_t* mode);
// FileReplace of the file that `target` names when it is a symbolic link (the link stays),
// creating the target's folder when needed; `target` must be a path below the root. The new file
// gets `mode`.
bool FileReplaceCreating(std::string target, const std::string& data, mode_t mode);

}  // namespace kelvora
