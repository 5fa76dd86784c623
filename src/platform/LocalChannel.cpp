#include "platform/LocalChannel.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/PlatformText.h"
#include "platform/UserDirs.h"

namespace kelvora {

namespace {

constexpr size_t RECORD_BYTES = 12;
constexpr size_t MAX_CONNECTIONS = 32;  // further callers are turned away until one ends
constexpr int IDLE_LIMIT_MS = 5000;     // a connection silent this long is dropped
constexpr int POLL_TICK_MS = 250;       // how often idle connections are looked at
constexpr int SEND_LIMIT_MS = 5000;     // a sender gives up on a listener this slow
constexpr int CONNECT_TRIES = 100;      // 10 ms apart while the listener's queue is full
constexpr int STOP_WAIT_MS = 2000;

using Clock = std::chrono::steady_clock;

bool ValidName_(const std::string& name) {
    return !name.empty() && name.size() <= 80 && name[0] != '.' && AsciiAlnumOr(name, "_-.");
}

bool MakeAddr_(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// The socket path of a class name; "" when the name or the folder is unusable.
std::string SocketPath_(const std::string& className) {
    if (!ValidName_(className)) return "";
    const std::string dir = LcSocketDir();
    return dir.empty() ? "" : dir + "/" + className;
}

void CloseFd_(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A non-blocking connection to the socket at `path`; -1 with errno set when none. A full
// accept queue is waited out for a while, since the listener may just be busy.
int Connect_(const std::string& path) {
    sockaddr_un addr;
    if (!MakeAddr_(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (int attempt = 0;; ++attempt) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return -1;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
        const int err = errno;
        CloseFd_(fd);
        if ((err != EAGAIN && err != EINTR) || attempt >= CONNECT_TRIES) {
            errno = err;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool WriteAll_(int fd, const uint8_t* data, size_t size) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(SEND_LIMIT_MS);
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
}

void PutLE32_(uint8_t* out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v >> 16);
    out[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLE32_(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// What the listening thread uses. Shared with the thread, so that a thread that does not stop
// in time can be left running on state that stays valid.
struct ListenState_ {
    int listenFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    LcDeliver deliver;
    std::atomic<bool> finished{false};

    ~ListenState_() {
        CloseFd_(listenFd);
        CloseFd_(wakeRead);
        CloseFd_(wakeWrite);
    }
};

struct Connection_ {
    int fd;
    uint8_t part[RECORD_BYTES];
    size_t have;  // bytes of the record being collected
    Clock::time_point lastSeen;
};

bool PeerIsUs_(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid();
}

void AcceptAll_(ListenState_& st, std::vector<Connection_>& conns) {
    for (;;) {
        int fd = ::accept4(st.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR) continue;
            // Out of descriptors or the like: pause, so the retry does not spin.
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return;
        }
        if (conns.size() >= MAX_CONNECTIONS || !PeerIsUs_(fd)) {
            CloseFd_(fd);
            continue;
        }
        conns.push_back(Connection_{fd, {}, 0, Clock::now()});
    }
}

// Reads what one connection has ready (one bounded read per round, so every caller gets its
// turn) and delivers each completed record. False when the connection has ended; a record
// still incomplete then is dropped.
bool ReadConnection_(ListenState_& st, Connection_& c) {
    uint8_t buf[4096];
    const ssize_t n = ::read(c.fd, buf, sizeof buf);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;
    c.lastSeen = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
        c.part[c.have++] = buf[i];
        if (c.have < RECORD_BYTES) continue;
        c.have = 0;
        try {
            st.deliver(GetLE32_(c.part), GetLE32_(c.part + 4),
                       static_cast<int32_t>(GetLE32_(c.part + 8)));
        } catch (...) {
            // The receiver's failure must not end the listener.
        }
    }
    return true;
}

void ListenLoop_(std::shared_ptr<ListenState_> state) {
    ListenState_& st = *state;
    std::vector<Connection_> conns;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({pollfd{st.wakeRead, POLLIN, 0}, pollfd{st.listenFd, POLLIN, 0}});
        for (const Connection_& c : conns) fds.push_back(pollfd{c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), POLL_TICK_MS) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        const auto now = Clock::now();
        // fds[2 + i] belongs to conns[i]; new connections are accepted after this pass.
        std::vector<Connection_> kept;
        for (size_t i = 0; i < conns.size(); ++i) {
            Connection_& c = conns[i];
            bool alive = true;
            if (fds[2 + i].revents != 0)
                alive = ReadConnection_(st, c);
            else if (now - c.lastSeen > std::chrono::milliseconds(IDLE_LIMIT_MS))
                alive = false;
            if (alive)
                kept.push_back(c);
            else
                CloseFd_(c.fd);
        }
        conns.swap(kept);
        if (fds[1].revents != 0) AcceptAll_(st, conns);
    }
    for (Connection_& c : conns) CloseFd_(c.fd);
    st.finished = true;
}

// True when something accepts connections at `path` (a busy listener counts as alive).
bool Alive_(const std::string& path) {
    int fd = Connect_(path);
    if (fd >= 0) {
        CloseFd_(fd);
        return true;
    }
    return errno == EAGAIN;
}

// Binds `fd` to `path`, replacing a stale socket file there once.
bool BindPath_(int fd, const std::string& path) {
    sockaddr_un addr;
    if (!MakeAddr_(path, addr)) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
        if (errno != EADDRINUSE || attempt > 0) return false;
        // Only a socket that nobody serves is ours to replace; any other file stays.
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || Alive_(path)) return false;
        ::unlink(path.c_str());
    }
    return false;
}

}  // namespace

struct LcListener {
    std::shared_ptr<ListenState_> state;
    std::thread thread;
    std::string name;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
};

std::string LcSocketDir() {
    const std::string runtime = RuntimeDir();
    if (!runtime.empty()) return runtime;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = NoTrailingSlash((tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp");
    dir += "/kelvora-" + std::to_string(::getuid());
    if (::mkdir(dir.c_str(), 0700) == 0) ::chmod(dir.c_str(), 0700);
    // Anyone may create names in the temporary directory: use the folder only when it is a
    // real directory of ours that nobody else can enter.
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0777) != 0700)
        return "";
    return dir;
}

LcListener* LcListen(const std::string& className, LcDeliver deliver) {
    if (!deliver || !ValidName_(className)) return nullptr;
    const std::string dir = LcSocketDir();
    if (dir.empty()) return nullptr;
    auto state = std::make_shared<ListenState_>();
    state->deliver = std::move(deliver);
    auto listener = std::make_unique<LcListener>();
    for (const std::string& name : {className, className + "-" + std::to_string(::getpid())}) {
        if (!ValidName_(name)) continue;
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return nullptr;
        const std::string path = dir + "/" + name;
        if (BindPath_(fd, path)) {
            ::chmod(path.c_str(), 0600);
            struct stat st;
            if (::listen(fd, 16) == 0 && ::stat(path.c_str(), &st) == 0) {
                state->listenFd = fd;
                listener->name = name;
                listener->path = path;
                listener->dev = st.st_dev;
                listener->ino = st.st_ino;
                break;
            }
            ::unlink(path.c_str());
        }
        CloseFd_(fd);
    }
    if (state->listenFd < 0) return nullptr;
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::unlink(listener->path.c_str());
        return nullptr;
    }
    state->wakeRead = wake[0];
    state->wakeWrite = wake[1];
    listener->state = state;
    try {
        listener->thread = std::thread(ListenLoop_, state);
    } catch (...) {
        ::unlink(listener->path.c_str());
        return nullptr;
    }
    return listener.release();
}

std::string LcListenName(const LcListener* listener) {
    return listener ? listener->name : std::string();
}

void LcClose(LcListener*& listener) {
    if (listener == nullptr) return;
    std::unique_ptr<LcListener> l(listener);
    listener = nullptr;
    const uint8_t wake = 1;
    (void)!::write(l->state->wakeWrite, &wake, 1);
    if (l->thread.joinable()) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(STOP_WAIT_MS);
        while (!l->state->finished && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // A receiver stuck in its callback must not hang the caller: the thread keeps its
        // share of the state and ends on its own.
        if (l->state->finished)
            l->thread.join();
        else
            l->thread.detach();
    }
    // Remove the socket file only while it is still the one this listener made.
    struct stat st;
    if (::lstat(l->path.c_str(), &st) == 0 && st.st_dev == l->dev && st.st_ino == l->ino)
        ::unlink(l->path.c_str());
}

bool LcFind(const std::string& className) {
    const std::string path = SocketPath_(className);
    if (path.empty()) return false;
    int fd = Connect_(path);
    if (fd < 0) return false;
    CloseFd_(fd);
    return true;
}

bool LcSend(const std::string& className, const std::vector<LcRecord>& records) {
    const std::string path = SocketPath_(className);
    if (path.empty()) return false;
    int fd = Connect_(path);
    if (fd < 0) return false;
    std::vector<uint8_t> bytes(records.size() * RECORD_BYTES);
    for (size_t i = 0; i < records.size(); ++i) {
        uint8_t* out = bytes.data() + i * RECORD_BYTES;
        PutLE32_(out, records[i].message);
        PutLE32_(out + 4, records[i].wParam);
        PutLE32_(out + 8, static_cast<uint32_t>(records[i].lParam));
    }
    const bool ok = WriteAll_(fd, bytes.data(), bytes.size());
    CloseFd_(fd);
    return ok;
}

}  // namespace kelvora
