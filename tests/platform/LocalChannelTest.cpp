// Local sockets between a listener and senders in this process, and the relay of received
// records to a window object as posted messages.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QObject>

#include "platform/LocalChannel.h"
#include "platform/PostedMessage.h"
#include "support/TestSupport.h"

namespace kelvora {
namespace {

struct Collector {
    std::mutex mu;
    std::vector<LcRecord> got;
    LcDeliver Deliver() {
        return [this](uint32_t m, uint32_t w, int32_t l) {
            std::lock_guard<std::mutex> lock(mu);
            got.push_back({m, w, l});
        };
    }
    // The records once `count` have arrived (or after 3 s).
    std::vector<LcRecord> Wait(size_t count) {
        for (int i = 0;; ++i) {
            std::unique_lock<std::mutex> lock(mu);
            if (got.size() >= count || i == 3000) return got;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

struct LocalChannel : ::testing::Test {
    void SetUp() override { setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1); }
    // A raw socket at `name`, connected (for bytes no well-behaved sender writes) or bound.
    int Raw(const std::string& name, bool bindOnly = false) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, dir.file(name).c_str(), dir.file(name).size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto* a = reinterpret_cast<sockaddr*>(&addr);
        EXPECT_EQ(bindOnly ? ::bind(fd, a, sizeof addr) : ::connect(fd, a, sizeof addr), 0);
        return fd;
    }
    test::TempDir dir;
};

TEST_F(LocalChannel, RecordsArriveInOrder) {
    Collector c;
    EXPECT_FALSE(LcFind("TTest"));
    EXPECT_FALSE(LcSend("TTest", {{1, 2, 3}}));
    LcListener* l = LcListen("TTest", c.Deliver());
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(LcListenName(l), "TTest");
    struct stat st;
    ASSERT_EQ(::stat(dir.file("TTest").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(LcFind("TTest"));
    const std::vector<LcRecord> first = {
        {0x433, 0x101, 9}, {0x433, 0x201, -1}, {0xFFFFFFFF, 0x80000000, INT32_MIN}};
    ASSERT_TRUE(LcSend("TTest", first));
    ASSERT_TRUE(LcSend("TTest", {{7, 8, 9}}));
    std::vector<LcRecord> all = first;
    all.push_back({7, 8, 9});
    EXPECT_EQ(c.Wait(4), all);
    // Names that could leave the socket folder are never used.
    EXPECT_FALSE(LcFind("../TTest"));
    EXPECT_EQ(LcListen("a/b", c.Deliver()), nullptr);
    LcClose(l);
    EXPECT_NE(::access(dir.file("TTest").c_str(), F_OK), 0);
}

TEST_F(LocalChannel, TakenNameAndStaleSocket) {
    Collector a, b;
    LcListener* first = LcListen("TTest", a.Deliver());
    LcListener* second = LcListen("TTest", b.Deliver());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(LcListenName(second), "TTest-" + std::to_string(::getpid()));
    ASSERT_TRUE(LcSend("TTest", {{1, 1, 1}}));
    ASSERT_TRUE(LcSend(LcListenName(second), {{2, 2, 2}}));
    EXPECT_EQ(a.Wait(1), (std::vector<LcRecord>{{1, 1, 1}}));
    EXPECT_EQ(b.Wait(1), (std::vector<LcRecord>{{2, 2, 2}}));
    LcClose(second);
    LcClose(first);

    // A socket file left by a program that ended without closing is taken over.
    ::close(Raw("TTest", true));
    EXPECT_FALSE(LcFind("TTest"));
    LcListener* l = LcListen("TTest", a.Deliver());
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(LcListenName(l), "TTest");
    LcClose(l);
}

TEST_F(LocalChannel, PartialRecordsAndGarbage) {
    Collector c;
    LcListener* l = LcListen("TTest", c.Deliver());
    ASSERT_NE(l, nullptr);
    // One record and 5 bytes of the next: the incomplete one is dropped at the end.
    const unsigned char bytes[17] = {1, 0, 0, 0, 2, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 9, 9, 9, 9, 9};
    int fd = Raw("TTest");
    ASSERT_EQ(::write(fd, bytes, sizeof bytes), 17);
    ::close(fd);
    EXPECT_EQ(c.Wait(1), (std::vector<LcRecord>{{1, 2, -2}}));
    // A connection that sends a lot of noise ends like any other.
    std::vector<unsigned char> noise(120000 + 7);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<unsigned char>(i * 131 + 7);
    fd = Raw("TTest");
    ASSERT_EQ(::write(fd, noise.data(), noise.size()), static_cast<ssize_t>(noise.size()));
    ::close(fd);
    EXPECT_EQ(c.Wait(10001).size(), 10001u);
    // A silent connection does not keep others from being served.
    const int idle = Raw("TTest");
    ASSERT_TRUE(LcSend("TTest", {{5, 5, 5}}));
    EXPECT_EQ(c.Wait(10002).back(), (LcRecord{5, 5, 5}));
    ::close(idle);
    LcClose(l);
}

TEST_F(LocalChannel, PrivateFolderWithoutRuntimeDir) {
    unsetenv("XDG_RUNTIME_DIR");
    setenv("TMPDIR", dir.path().c_str(), 1);
    const std::string own = dir.file("kelvora-" + std::to_string(::getuid()));
    EXPECT_EQ(LcSocketDir(), own);
    struct stat st;
    ASSERT_EQ(::stat(own.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A folder others may enter is refused.
    ::chmod(own.c_str(), 0755);
    EXPECT_EQ(LcListen("TTest", [](uint32_t, uint32_t, int32_t) {}), nullptr);
    unsetenv("TMPDIR");
}

// Receives posted messages.
struct Window : QObject {
    std::vector<LcRecord> got;
    bool event(QEvent* e) override {
        if (e->type() != PostedMessage::EventType()) return QObject::event(e);
        const auto* m = static_cast<PostedMessage*>(e);
        got.push_back({m->message, m->wParam, m->lParam});
        return true;
    }
};

TEST_F(LocalChannel, RelayedToTheWindowThread) {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    Window w;
    LcListener* l = LcListen(
        "TTest", [&w](uint32_t m, uint32_t wp, int32_t lp) { PostMessageTo(&w, m, wp, lp); });
    ASSERT_NE(l, nullptr);
    ASSERT_TRUE(LcSend("TTest", {{0x433, 0x100, 0}, {0x433, 0x205, -7}}));
    for (int i = 0; i < 3000 && w.got.size() < 2; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(w.got, (std::vector<LcRecord>{{0x433, 0x100, 0}, {0x433, 0x205, -7}}));
    LcClose(l);
}

}  // namespace
}  // namespace kelvora
