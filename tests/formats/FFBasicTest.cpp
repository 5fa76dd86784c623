// The byte reader over a window of a tracked file: it must read exactly what a reader over the
// same bytes in memory reads, across refills, seeks and the window's ends, and its buffer must
// follow the tracked-memory rules.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

// 1000 bytes that differ from their neighbours, so a shifted read shows.
std::string Pattern(size_t n = 1000) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 256);
    return s;
}

struct FileReaderTest : ::testing::Test {
    void SetUp() override {
        blocks = MemCount();
        files = FileCount();
        bytes = Pattern();
        WriteFileBytes(dir.file("p.bin"), bytes);
        FOpen(fileId, dir.file("p.bin"), FM_READ);
    }
    void TearDown() override {
        FClose(fileId);
        EXPECT_EQ(MemCount(), blocks);
        EXPECT_EQ(FileCount(), files);
    }
    uint8_t At(int64_t offset) const { return static_cast<uint8_t>(bytes[offset]); }
    TempDir dir;
    std::string bytes;
    int32_t fileId = BAD_HANDLE;
    int32_t blocks = 0, files = 0;
};

// Random reads, fills and seeks on a file-backed reader with a tiny buffer and on a memory
// reader over the same window must agree step by step: values, positions, what is left and
// overrun, also for reads larger than the buffer and seeks in and out of it.
TEST_F(FileReaderTest, ReadsWhatAMemoryReaderReads) {
    struct Window {
        int32_t start, end, capacity;
    };
    for (const Window& w :
         {Window{0, 1000, 16}, Window{100, 357, 7}, Window{999, 1000, 1}, Window{0, 1000, 4096}}) {
        // Plain copies: clang 14 cannot capture structured bindings in the lambdas below.
        const int32_t start = w.start, end = w.end, capacity = w.capacity;
        QByteReader f{};
        QByteReader m{};
        // The memory reader's positions are file offsets: it covers the whole file up to the
        // window's end and starts at the window's start. Both start again after an overrun.
        auto restart = [&] {
            BrClose(f);
            BrOpenFile(f, fileId, start, end, capacity, "FFBasicTest.f");
            m = ByteReader(bytes.data(), end);
            BrSeek(m, start);
        };
        restart();
        std::mt19937 rng(start + end);
        for (int step = 0; step < 3000; ++step) {
            if (f.overrun) restart();
            const int what = static_cast<int>(rng() % 10);
            const std::string where = "window " + std::to_string(start) + "-" +
                                      std::to_string(end) + " step " + std::to_string(step);
            if (what < 4) {
                const int64_t n = rng() % 40;
                const uint8_t* a = BrTake(f, n);
                const uint8_t* b = BrTake(m, n);
                ASSERT_EQ(a == nullptr, b == nullptr) << where;
                if (a) {
                    ASSERT_EQ(std::string(reinterpret_cast<const char*>(a), n),
                              std::string(reinterpret_cast<const char*>(b), n))
                        << where;
                }
            } else if (what < 6) {
                ASSERT_EQ(BrU32BE(f), BrU32BE(m)) << where;
                ASSERT_EQ(BrU16LE(f), BrU16LE(m)) << where;
            } else if (what < 8) {
                const int64_t n = rng() % 30;
                const int64_t ready = BrFill(f, n);
                ASSERT_GE(ready, std::min(n, BrLeft(m))) << where;
                ASSERT_EQ(BrTell(f), BrTell(m)) << where;  // a fill takes nothing
                if (ready > 0) {
                    ASSERT_EQ(*BrHere(f), *BrHere(m)) << where;
                }
            } else {
                // Back a little (often still in the buffer), or anywhere in the window.
                const int64_t to = what == 8 ? std::max<int64_t>(start, BrTell(m) - rng() % 20)
                                             : start + rng() % (end - start + 1);
                BrSeek(f, to);
                BrSeek(m, to);
            }
            ASSERT_EQ(BrTell(f), BrTell(m)) << where;
            ASSERT_EQ(BrLeft(f), BrLeft(m)) << where;
            ASSERT_EQ(f.overrun, m.overrun) << where;
        }
        BrClose(f);
    }
}

TEST_F(FileReaderTest, WindowEndsBoundEveryRead) {
    QByteReader r{};
    BrOpenFile(r, fileId, 100, 110, 4, "FFBasicTest.r");
    EXPECT_EQ(BrTell(r), 100);
    EXPECT_EQ(BrLeft(r), 10);
    BrSkip(r, 6);
    EXPECT_EQ(BrU32LE(r), uint32_t{At(106)} | At(107) << 8 | At(108) << 16 |
                              uint32_t{At(109)} << 24);  // to the very end
    EXPECT_FALSE(r.overrun);
    EXPECT_EQ(BrLeft(r), 0);
    EXPECT_EQ(BrFill(r, 5), 0);  // nothing from beyond the window, though the file goes on
    EXPECT_EQ(BrU8(r), 0);
    EXPECT_TRUE(r.overrun);
    EXPECT_EQ(BrTell(r), 110);

    // A seek back in the window reads again; the window's ends are the bounds of a seek.
    BrSeek(r, 100);
    EXPECT_EQ(BrU8(r), At(100));
    BrSeek(r, 110);
    EXPECT_EQ(BrLeft(r), 0);
    BrSeek(r, 99);
    EXPECT_EQ(BrTell(r), 110);
    BrClose(r);

    // A read that would cross the end takes nothing and leaves the reader at the end.
    BrOpenFile(r, fileId, 990, 2000, 64, "FFBasicTest.r");  // clipped to the file
    EXPECT_EQ(BrLeft(r), 10);
    EXPECT_EQ(BrTake(r, 11), nullptr);
    EXPECT_TRUE(r.overrun);
    EXPECT_EQ(BrLeft(r), 0);
    BrClose(r);
}

// A read larger than the buffer grows it and keeps the bytes not yet read.
TEST_F(FileReaderTest, LargeReadsGrowTheBuffer) {
    QByteReader r{};
    BrOpenFile(r, fileId, 0, 1000, 8, "FFBasicTest.grow");
    EXPECT_EQ(BrU8(r), At(0));
    const uint8_t* p = BrTake(r, 500);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), 500), bytes.substr(1, 500));
    EXPECT_GE(MemBlockSize(r.buffer), 500);
    EXPECT_EQ(BrFill(r, 2000), 499);  // the rest of the window, no more
    BrClose(r);
}

TEST_F(FileReaderTest, BufferIsTrackedAndReleasedOnFailure) {
    QByteReader r{};
    BrOpenFile(r, fileId, 0, 1000, 100, "FFBasicTest.tracked");
    EXPECT_EQ(MemCount(), blocks + 1);
    EXPECT_NE(MemBlockDescription(r.buffer).find("FFBasicTest.tracked"), std::string::npos);
    BrClose(r);
    EXPECT_EQ(MemCount(), blocks);
    EXPECT_EQ(r.buffer, nullptr);
    EXPECT_EQ(BrTake(r, 1), nullptr);  // a closed reader reads as an empty block

    // A copy that carries on and grows the buffer takes the registration along.
    BrOpenFile(r, fileId, 0, 1000, 8, "FFBasicTest.copied");
    QByteReader copy = r;
    ASSERT_NE(BrTake(copy, 300), nullptr);
    EXPECT_EQ(MemCount(), blocks + 1);
    BrClose(copy);
    EXPECT_EQ(MemCount(), blocks);

    // A failing routine releases a buffer it set up, also after growing it.
    MonitoredIsolated([&] {
        QByteReader local{};
        BrOpenFile(local, fileId, 0, 1000, 8, "FFBasicTest.failing");
        BrTake(local, 200);
        ErrRaiseCode(ERR_IMG, 9, __LINE__);
    });
    EXPECT_EQ(ErrLastCode(), 9);
    EXPECT_EQ(MemCount(), blocks);
}

// A file cut short after the window was set ends the window where the file ends.
TEST_F(FileReaderTest, ShrunkFileEndsTheWindow) {
    QByteReader r{};
    BrOpenFile(r, fileId, 0, 1000, 64, "FFBasicTest.shrunk");
    std::filesystem::resize_file(dir.file("p.bin"), 100);
    EXPECT_EQ(BrFill(r, 90), 90);
    BrSkip(r, 90);
    EXPECT_EQ(BrFill(r, 20), 10);
    EXPECT_EQ(BrLeft(r), 10);
    EXPECT_EQ(BrTake(r, 11), nullptr);
    EXPECT_TRUE(r.overrun);
    BrClose(r);
}

}  // namespace
