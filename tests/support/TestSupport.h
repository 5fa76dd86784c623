#pragma once
// Helpers shared by the test programs.

#include <string>

namespace kelvora::test {

// A fresh empty directory under the system's temporary directory, removed at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable for its lifetime and puts the old value (or its absence) back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::string old_;
    bool had_;
};

// The user's configuration and data folders ($XDG_CONFIG_HOME, $XDG_DATA_HOME) moved to
// `root`/config and `root`/data, both created, for the lifetime of the object.
struct ScopedXdgDirs {
    explicit ScopedXdgDirs(const std::string& root);
    ScopedEnv config;
    ScopedEnv data;
};

void WriteFileBytes(const std::string& path, const std::string& bytes);
std::string ReadFileBytes(const std::string& path);

}  // namespace kelvora::test
