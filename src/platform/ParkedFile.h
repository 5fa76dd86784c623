#pragma once
// What a decoder library made from a file (a scan of its packets, a decoder ready at its
// start), kept for the next use of the same file: the description of a file is mostly followed
// by an open of it, and a rewind closes and opens it again. One item is kept; the file must be
// unchanged since (same size and modification time), and another file's item takes its place.

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kelvora {

// A file's size and modification time; `ok` false when it is not a readable regular file.
struct QFileStamp {
    bool ok = false;
    int64_t size = 0;
    int64_t changed = 0;  // nanoseconds
    bool operator==(const QFileStamp&) const = default;
};

inline QFileStamp FileStampOf(const std::string& path) {
    struct stat st {};
    QFileStamp s;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return s;
    s.ok = true;
    s.size = st.st_size;
    s.changed = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

template <class T>
class QParked {
public:
    // The item kept for `path` when the file still has `stamp`; else null.
    std::unique_ptr<T> Take(const std::string& path, const QFileStamp& stamp) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!item_ || !stamp.ok || path != path_ || !(stamp == stamp_)) return nullptr;
        return std::move(item_);
    }
    // Keeps `item`, made from `path` as it was at `stamp` (taken before the file was read).
    void Keep(const std::string& path, const QFileStamp& stamp, std::unique_ptr<T> item) {
        std::unique_ptr<T> before;  // let go outside the lock
        std::lock_guard<std::mutex> guard(lock_);
        before = std::move(item_);
        if (!stamp.ok) return;
        path_ = path;
        stamp_ = stamp;
        item_ = std::move(item);
    }

private:
    std::mutex lock_;
    std::string path_;
    QFileStamp stamp_;
    std::unique_ptr<T> item_;
};

}  // namespace kelvora
