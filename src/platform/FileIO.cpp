#include "platform/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace kelvora {

int FileOpenRegular(const std::string& path, int flags, struct stat* st) {
    // O_NONBLOCK keeps a named pipe from blocking the open; regular files ignore it.
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return -1;
    struct stat sb;
    if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (st) *st = sb;
    return fd;
}

std::FILE* FileOpenRegularRead(const char* path) {
    if (!path) return nullptr;
    const int fd = FileOpenRegular(path, O_RDONLY);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "rb");
    if (!f) ::close(fd);
    return f;
}

FileLoad FileLoadWhole(const std::string& path, std::string& data, int64_t limit, mode_t* mode) {
    data.clear();
    if (path.empty()) return FileLoad::Missing;
    struct stat sb;
    const int fd = FileOpenRegular(path, O_RDONLY, &sb);
    if (fd < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? FileLoad::Missing : FileLoad::Refused;
    if (sb.st_size > limit) {
        ::close(fd);
        return FileLoad::Refused;
    }
    if (mode) *mode = sb.st_mode & 07777;
    // The file may change size under us: read to its end, but never past the limit.
    char buf[65536];
    FileLoad result = FileLoad::Ok;
    for (;;) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || static_cast<int64_t>(data.size()) + r > limit) {
            result = FileLoad::Refused;
            break;
        }
        if (r == 0) break;
        data.append(buf, static_cast<size_t>(r));
    }
    ::close(fd);
    if (result != FileLoad::Ok) data.clear();
    return result;
}

bool FileWriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

bool FileReplace(const std::string& target, const std::string& data, const mode_t* mode) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir + "/." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
              std::to_string(counter.fetch_add(1)) + "-" +
              std::to_string(std::time(nullptr) & 0xFFFF);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = !mode || ::fchmod(fd, *mode) == 0;
    ok = ok && FileWriteAll(fd, data) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

bool FileReplaceCreating(std::string target, const std::string& data, mode_t mode) {
    if (char* real = ::realpath(target.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos || slash == 0) return false;
    std::error_code ec;
    std::filesystem::create_directories(target.substr(0, slash), ec);
    return FileReplace(target, data, &mode);
}

}  // namespace kelvora
