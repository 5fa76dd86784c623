#include "runtime/Basic.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct BasicTest : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        MonitoredIsolated([] {});
    }
};

}  // namespace

TEST_F(BasicTest, SizingRule) {
    EXPECT_EQ(MemSizing(100), 108);  // 105 up to a multiple of 4
    EXPECT_EQ(MemSizing(1), 4);
    EXPECT_EQ(MemSizing(10), 12);  // 10.5 rounds half to even: 10, then up to 12
    EXPECT_EQ(MemSizing(30), 32);  // 31.5 rounds to 32
    EXPECT_EQ(MemSizing(50), 52);  // 52.5 rounds to 52
    EXPECT_EQ(MemSizing(0), 0);
    EXPECT_EQ(MemSizing(-4), 0);
    EXPECT_EQ(MemSizing(int64_t{3} << 30), 0);  // past 32 bits after the margin

    uint8_t* p = nullptr;
    _memalloc_(p, 100, __LINE__, MEM_KIND_C, "BasicTest.SizingRule.p");
    EXPECT_EQ(MemBlockSize(p), 108);
    MemFree(p);
    EXPECT_EQ(test::Try([&] { _memalloc_(p, 0, __LINE__, MEM_KIND_C, ""); }),
              std::make_pair(ERR_MEM, 5));
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(ErrLastText(), "Invalid memory request.");
}

TEST_F(BasicTest, KindCResizesOneEntryKindNMakesNew) {
    uint8_t* c = nullptr;
    _memalloc_(c, 16, 1234, MEM_KIND_C, "Unit.Routine.c");
    std::memcpy(c, "0123456789abcdef", 16);
    const int32_t after1 = MemCount();
    _memalloc_(c, 4000, 1234, MEM_KIND_C, "Unit.Routine.c");
    EXPECT_EQ(MemCount(), after1);
    EXPECT_EQ(std::memcmp(c, "0123456789abcdef", 16), 0);  // content kept
    EXPECT_EQ(c[3999], 0);                                 // new bytes are zero
    EXPECT_EQ(MemBlockSize(c), 4200);
    EXPECT_EQ(MemBlockDescription(c), "C:Unit.Routine.c:1,234");

    uint8_t* n = nullptr;
    MemAllocNew(n, 8);
    uint8_t* first = n;
    MemAllocNew(n, 8);
    EXPECT_EQ(MemCount(), after1 + 2);
    EXPECT_NE(first, n);
    EXPECT_EQ(MemBlockDescription(n).rfind("N:Handle #", 0), 0u);
    MemFree(first);
    MemFree(n);
    MemFree(c);
    EXPECT_EQ(c, nullptr);
}

TEST_F(BasicTest, FreeNullsVariableAndIgnoresUnknownBlocks) {
    uint8_t* p = nullptr;
    MemAllocNew(p, 10);
    const int32_t count = MemCount();
    uint8_t* copy = p;
    MemFree(p);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(MemCount(), count - 1);
    MemFree(copy);  // no longer registered: nothing happens, the variable keeps its value
    EXPECT_NE(copy, nullptr);
    EXPECT_EQ(MemCount(), count - 1);
    int local = 0;
    int* foreign = &local;
    MemFree(foreign);
    EXPECT_EQ(foreign, &local);
}

TEST_F(BasicTest, FailingRoutineFreesWhatItAllocatedButNotOlderBlocks) {
    uint8_t* older = nullptr;
    _memalloc_(older, 10, __LINE__, MEM_KIND_C, "older");
    uint8_t* inner = nullptr;
    MonitoredIsolated([&] {
        _memalloc_(older, 500, __LINE__, MEM_KIND_C, "older");  // resize, not a new block
        MemAllocNew(inner, 10);
        ErrRaiseCode(ERR_IMG, 3, __LINE__);
    });
    EXPECT_FALSE(MemIsTracked(inner));
    EXPECT_TRUE(MemIsTracked(older));
    EXPECT_EQ(MemBlockSize(older), 528);
    MemFree(older);
}

TEST_F(BasicTest, ReleaseFollowsEntriesMovedByFree) {
    // Freeing an old block moves the last entry into its hole; the failure must still free
    // exactly what the routine registered.
    uint8_t* old1 = nullptr;
    uint8_t* old2 = nullptr;
    MemAllocNew(old1, 4);
    MemAllocNew(old2, 4);
    uint8_t* inner = nullptr;
    MonitoredIsolated([&] {
        MemFree(old1);
        MemAllocNew(inner, 4);
        ErrRaiseCode(ERR_GEN, 1, __LINE__);
    });
    EXPECT_FALSE(MemIsTracked(inner));
    EXPECT_TRUE(MemIsTracked(old2));
    MemFree(old2);
}

// A failure releases a block without touching its variable; the allocator may then hand the
// same address to another owner's new block. The stale variable must not see that block as
// its own, nor resize it.
TEST_F(BasicTest, StalePointerIsNotLiveForItsFormerOwner) {
    constexpr int64_t kBytes = int64_t{48} << 20;  // a mapping of its own, never touched
    uint8_t* a = nullptr;
    MonitoredIsolated([&] {
        _memalloc_(a, kBytes, __LINE__, MEM_KIND_C, "BasicTest.a");
        ErrRaiseCode(ERR_IMG, 3, __LINE__);
    });
    ASSERT_NE(a, nullptr);
    EXPECT_FALSE(MemIsTrackedBy(&a, a));
    uint8_t* b = nullptr;
    if (!test::AllocateAt(b, a, kBytes)) GTEST_SKIP() << "the allocator does not reuse addresses";
    EXPECT_TRUE(MemIsTracked(a));  // by address alone the stale pointer looks live
    EXPECT_FALSE(MemIsTrackedBy(&a, a));
    EXPECT_TRUE(MemIsTrackedBy(&b, b));
    _memalloc_(a, 16, __LINE__, MEM_KIND_C, "BasicTest.a");  // a block of its own, b untouched
    EXPECT_NE(a, b);
    EXPECT_TRUE(MemIsTrackedBy(&a, a));
    EXPECT_EQ(MemBlockSize(b), MemSizing(kBytes));
    MemFree(a);
    MemFree(b);
}

TEST_F(BasicTest, OwnershipFollowsTheBlockNotItsCopies) {
    uint8_t* a = nullptr;
    uint8_t* b = nullptr;
    _memalloc_(a, 10, 1, MEM_KIND_C, "a");
    _memalloc_(b, 100, 2, MEM_KIND_C, "b");
    uint8_t* copy = a;
    EXPECT_FALSE(MemIsTrackedBy(&copy, copy));
    EXPECT_FALSE(MemIsTrackedBy(&a, nullptr));
    MemXchg(a, b);
    std::swap(a, b);
    EXPECT_TRUE(MemIsTrackedBy(&a, a));
    EXPECT_TRUE(MemIsTrackedBy(&b, b));
    _memalloc_(a, 1 << 20, 1, MEM_KIND_C, "a");  // moved by the resize: still a's
    EXPECT_TRUE(MemIsTrackedBy(&a, a));
    MemSetOwnerRaw_(a, &copy);
    copy = a;
    EXPECT_FALSE(MemIsTrackedBy(&a, a));
    EXPECT_TRUE(MemIsTrackedBy(&copy, copy));
    MemFree(copy);
    MemFree(b);
}

// Removals from the middle, exchanges, resizes that move blocks and a failing frame, mixed:
// every lookup must keep finding each block's entry.
TEST_F(BasicTest, LookupsStayRightThroughRemovalsExchangesAndResizes) {
    constexpr int kBlocks = 300;
    std::vector<uint8_t*> held(kBlocks, nullptr);  // fixed addresses: the owners
    std::vector<int32_t> sizes(kBlocks, 0);
    std::vector<bool> live(kBlocks, true);
    for (int i = 0; i < kBlocks; ++i) {
        _memalloc_(held[i], 8 + i, __LINE__, MEM_KIND_C, "held");
        sizes[i] = MemBlockSize(held[i]);
    }
    for (int i = 0; i < kBlocks; i += 3) {
        uint8_t* gone = held[i];
        MemFree(held[i]);
        live[i] = false;
        EXPECT_FALSE(MemIsTracked(gone)) << i;
    }
    for (int i = 1; i < kBlocks; i += 5) {
        _memalloc_(held[i], 4096 + i, __LINE__, MEM_KIND_C, "held");
        sizes[i] = MemBlockSize(held[i]);
        live[i] = true;
    }
    for (int i = 2; i + 6 < kBlocks; i += 9) {
        if (!live[i] || !live[i + 6]) continue;
        MemXchg(held[i], held[i + 6]);
        std::swap(held[i], held[i + 6]);
        std::swap(sizes[i], sizes[i + 6]);
    }
    std::vector<uint8_t*> inner(50, nullptr);
    MonitoredIsolated([&] {
        for (auto& p : inner) MemAllocNew(p, 32);
        for (int i = 4; i < kBlocks; i += 7) {
            if (live[i]) MemFree(held[i]);
            live[i] = false;
        }
        ErrRaiseCode(ERR_GEN, 1, __LINE__);
    });
    int32_t expected = 0;
    for (int i = 0; i < kBlocks; ++i) {
        if (!live[i]) continue;
        ++expected;
        EXPECT_TRUE(MemIsTrackedBy(&held[i], held[i])) << i;
        EXPECT_EQ(MemBlockSize(held[i]), sizes[i]) << i;
    }
    EXPECT_EQ(MemCount(), blocks + expected);
    for (int i = kBlocks; i-- > 0;)
        if (live[i]) MemFree(held[i]);
}

TEST_F(BasicTest, XchgSwapsRegistrations) {
    uint8_t* a = nullptr;
    uint8_t* b = nullptr;
    _memalloc_(a, 10, 1, MEM_KIND_C, "a");
    _memalloc_(b, 100, 2, MEM_KIND_C, "b");
    MemXchg(a, b);
    std::swap(a, b);
    EXPECT_EQ(MemBlockSize(a), 108);  // a now holds b's block
    EXPECT_EQ(MemBlockSize(b), 12);
    _memalloc_(a, 20, 1, MEM_KIND_C, "a");  // a's entry follows the block it now holds
    EXPECT_EQ(MemBlockSize(a), 24);
    MemFree(a);
    MemFree(b);

    uint8_t* tracked = nullptr;
    MemAllocNew(tracked, 4);
    uint8_t stack[4];
    uint8_t* foreign = stack;
    EXPECT_EQ(test::Try([&] { MemXchg(tracked, foreign); }), std::make_pair(ERR_MEM, 2));
    EXPECT_EQ(ErrLastText(), "Memory manager fault.");
    MemFree(tracked);
}

TEST_F(BasicTest, BlockLimit) {
    std::vector<uint8_t*> held;
    held.reserve(MEM_MAX_BLOCKS);
    while (MemCount() < MEM_MAX_BLOCKS) {
        held.push_back(nullptr);
        MemAllocNew(held.back(), 1);
    }
    uint8_t* extra = nullptr;
    EXPECT_EQ(test::Try([&] { MemAllocNew(extra, 1); }), std::make_pair(ERR_MEM, 6));
    EXPECT_EQ(extra, nullptr);
    EXPECT_GE(MemMaxCount(), MEM_MAX_BLOCKS);
    for (size_t i = held.size(); i-- > 0;) MemFree(held[i]);
}

TEST_F(BasicTest, OpenModesAndTransfers) {
    test::TempDir dir;
    const std::string name = dir.file("f.bin");
    int32_t id = 0;
    ASSERT_EQ(FOpen(id, name, FM_CREATE), 0);
    EXPECT_GE(id, 1);
    EXPECT_EQ(FWrite(id, "abcdef", 6), 0);
    EXPECT_EQ(FSize(id), 6);
    EXPECT_EQ(FPos(id), 6);
    FClose(id);

    ASSERT_EQ(FOpen(id, name, FM_APPEND), 0);
    EXPECT_EQ(FPos(id), 6);
    FWrite(id, "gh", 2);
    FClose(id);
    EXPECT_EQ(test::ReadFileBytes(name), "abcdefgh");

    ASSERT_EQ(FOpen(id, name, FM_READ), 0);
    char buf[16] = {};
    EXPECT_EQ(FSeek(id, 2), 0);
    EXPECT_EQ(FRead(id, buf, 4), 0);
    EXPECT_EQ(std::string(buf, 4), "cdef");
    int32_t got = -1;
    EXPECT_FALSE(FReadPart(id, buf, 10, got));  // 2 of 10 arrive; never raises
    EXPECT_EQ(got, 2);
    EXPECT_EQ(test::Try([&] { FWrite(id, "x", 1); }), std::make_pair(ERR_FILE, 4));  // read-only
    FSeek(id, 2);
    EXPECT_EQ(test::Try([&] { FRead(id, buf, 10); }), std::make_pair(ERR_FILE, 3));  // 6 remain
    EXPECT_EQ(ErrLastText(), "Cannot read from file.");
    EXPECT_EQ(test::Try([&] { FSeek(id, -1); }), std::make_pair(ERR_FILE, 5));
    FClose(id);

    // Unknown ids do nothing.
    EXPECT_EQ(FRead(id, buf, 4), 0);
    EXPECT_EQ(FSize(id), BAD_HANDLE);
    EXPECT_EQ(FPos(id), BAD_HANDLE);
    FClose(id);
}

TEST_F(BasicTest, OpenFailuresNameTheFile) {
    test::TempDir dir;
    int32_t id = 0;
    const std::string missingDir = dir.file("no/such/f.bin");
    EXPECT_EQ(test::Try([&] { FOpen(id, missingDir, FM_CREATE); }), std::make_pair(ERR_FILE, 2));
    EXPECT_EQ(id, BAD_HANDLE);
    EXPECT_EQ(ErrLastText(), "Cannot create file: " + missingDir);
    EXPECT_EQ(test::Try([&] { FOpen(id, dir.file("none"), FM_APPEND); }),
              std::make_pair(ERR_FILE, 7));
    EXPECT_EQ(test::Try([&] { FOpen(id, dir.path(), FM_READ); }),
              std::make_pair(ERR_FILE, 1));  // a folder
    EXPECT_EQ(test::Try([&] { TXTOpen(id, dir.file("none"), 0); }), std::make_pair(ERR_FILE, 1));
    // A pipe without a writer is refused at once instead of blocking the open.
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(test::Try([&] { FOpen(id, fifo, FM_READ); }), std::make_pair(ERR_FILE, 1));
    EXPECT_EQ(test::Try([&] { TXTOpen(id, fifo, 0); }), std::make_pair(ERR_FILE, 1));
}

TEST_F(BasicTest, SixtyFifthOpenFailsAndEarlierFilesStayUsable) {
    test::TempDir dir;
    test::WriteFileBytes(dir.file("data"), "0123456789");
    std::vector<int32_t> ids;
    while (FileCount() < FILE_MAX_OPEN) {
        int32_t id;
        ASSERT_EQ(FOpen(id, dir.file("data"), FM_READ), 0);
        ids.push_back(id);
    }
    int32_t extra = 0;
    EXPECT_EQ(test::Try([&] { FOpen(extra, dir.file("data"), FM_READ); }),
              std::make_pair(ERR_FILE, 11));
    EXPECT_EQ(extra, BAD_HANDLE);
    EXPECT_EQ(ErrLastText(), "Fatal file manager fault.");
    EXPECT_EQ(FileCount(), FILE_MAX_OPEN);
    for (int32_t id : ids) {
        char c;
        FSeek(id, 5);
        ASSERT_EQ(FRead(id, &c, 1), 0);
        EXPECT_EQ(c, '5');
    }
    for (int32_t id : ids) FClose(id);
}

TEST_F(BasicTest, FailingRoutineClosesItsFilesOnly) {
    test::TempDir dir;
    test::WriteFileBytes(dir.file("data"), "x");
    int32_t outer;
    FOpen(outer, dir.file("data"), FM_READ);
    MonitoredIsolated([&] {
        int32_t a, b;
        FOpen(a, dir.file("data"), FM_READ);
        TXTOpen(b, dir.file("log.txt"), FM_CREATE);
        ErrRaiseCode(ERR_FILE, 9, __LINE__);
    });
    EXPECT_EQ(ErrLastText(), "File not exist.");
    EXPECT_EQ(FileCount(), files + 1);
    EXPECT_EQ(FSize(outer), 1);
    FClose(outer);
}

TEST_F(BasicTest, TextFilesWriteLinesWithCrLf) {
    test::TempDir dir;
    const std::string name = dir.file("t.txt");
    int32_t id;
    ASSERT_EQ(TXTOpen(id, name, FM_CREATE), 0);
    TXTWrite(id, "one");
    TXTWrite(id, "");
    TXTClose(id);
    ASSERT_EQ(TXTOpen(id, name, FM_APPEND), 0);
    TXTWrite(id, "two");
    TXTClose(id);
    EXPECT_EQ(test::ReadFileBytes(name), "one\r\n\r\ntwo\r\n");
}

TEST_F(BasicTest, FileSizeByNameIsExactAbove4GiB) {
    test::TempDir dir;
    EXPECT_EQ(FileSizeByName(dir.file("missing")), 0);
    EXPECT_EQ(FileSizeByName(dir.path()), 0);
    const std::string big = dir.file("big");
    const int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const off_t size = (off_t{5} << 30) + 3;  // sparse: costs no disk
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
    EXPECT_EQ(FileSizeByName(big), 5368709123.0);
}

TEST_F(BasicTest, DiskSpace) {
    int64_t total = -1, free = -1;
    DiskSpaceKB("/", total, free);
    EXPECT_GT(total, 0);
    EXPECT_LE(free, total);
    DiskSpaceKB("/no/such/dir", total, free);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(free, 0);
}

TEST(BasicHelpers, NumToStrModes) {
    EXPECT_EQ(NumToStr(1234567, 0), "1234567");
    EXPECT_EQ(NumToStr(42, 5), "   42");
    EXPECT_EQ(NumToStr(123456, 3), "123456");
    EXPECT_EQ(NumToStr(1234567, 100), "1,234,567");
    EXPECT_EQ(NumToStr(123, 100), "123");
    EXPECT_EQ(NumToStr(1234, 107), "  1,234");
    EXPECT_EQ(NumToStr(7, 203), "007");
    EXPECT_EQ(NumToStr(static_cast<uint32_t>(-1), 0), "4294967295");
}

TEST(BasicHelpers, Bytes) {
    uint16_t w = 0x1234;
    Swap16(w);
    EXPECT_EQ(w, 0x3412);
    int32_t d = 0x11223344;
    Swap32(d);
    EXPECT_EQ(d, 0x44332211);

    char buf[] = "abcdefgh";
    MoveBytes(5, buf + 2, buf);  // overlapping, forward
    EXPECT_STREQ(buf, "ababcdeh");
    MoveBytes(5, buf, buf + 2);  // overlapping, backward
    EXPECT_STREQ(buf, "abcdedeh");
    MoveBytes(0, buf, "zz");
    EXPECT_STREQ(buf, "abcdedeh");
    FillBytes('x', -3, buf);
    FillBytes('x', 2, buf);
    EXPECT_STREQ(buf, "xxcdedeh");

    char a[] = "abc", b[] = "xyz";
    SwapBytes(3, a, b);
    EXPECT_STREQ(a, "xyz");
    EXPECT_STREQ(b, "abc");
    EXPECT_EQ(CompareBytes(3, "abc", "abc"), 0);
    EXPECT_EQ(CompareBytes(3, "abc", "abd"), 1);
    EXPECT_EQ(CompareBytes(3, "abz", "abd"), 2);
}

TEST(BasicHelpers, Numbers) {
    EXPECT_EQ(DigitsToInt("0042"), 42);
    EXPECT_EQ(DigitsToInt(""), 0);
    EXPECT_EQ(ClampInt(5, 1, 3), 3);
    EXPECT_EQ(ClampInt(-5, 1, 3), 1);
    EXPECT_EQ(ClampFloat(0.5, 1, 3), 1.0);
    EXPECT_TRUE(SameFloat(1.0, 1.0001));
    EXPECT_FALSE(SameFloat(1.0, 1.0002));
    EXPECT_EQ(MinInt(-2, 3), -2);
    EXPECT_EQ(MaxFloat(-2, 3.5), 3.5);
}

TEST(BasicHelpers, TimerMeasuresElapsedTime) {
    QTimer t{};
    TimerStart(t);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const double e = TimerElapsed(t);
    EXPECT_GE(e, 0.029);
    EXPECT_LT(e, 5.0);
    EXPECT_EQ(t.hours, 0);
    EXPECT_EQ(t.seconds * 1000 + t.msecs, static_cast<int>(e * 1000 + 0.5));
    EXPECT_GT(t.startTime, 40000.0);  // a date after 2009 in days since 1899-12-30
}
