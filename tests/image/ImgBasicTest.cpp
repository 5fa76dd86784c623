#include "image/ImgBasic.h"

#include <gtest/gtest.h>

#include <cstring>

#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

struct ImgBasicTest : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        std::memset(static_cast<void*>(&a), 0, sizeof a);
        std::memset(static_cast<void*>(&b), 0, sizeof b);
    }
    void TearDown() override {
        ImgFree(a);
        ImgFree(b);
        RegisterBalanceTest::TearDown();
    }
    void FillPalette(Qimg& img, uint8_t seed) {
        for (int i = 0; i < 256; ++i)
            img.palette[i] = QBGR{static_cast<uint8_t>(i), seed, static_cast<uint8_t>(255 - i)};
    }
    Qimg a, b;
};

}  // namespace

TEST_F(ImgBasicTest, AllocationGeometryAndSizing) {
    _imgalloc_(a, 3, 2, "ImgBasicTest.a", 77, 24);
    EXPECT_EQ(a.size, 18);
    EXPECT_EQ(a.bytesPP, 3);
    EXPECT_EQ(a.width * a.bytesPP, 9);  // stride: no padding
    EXPECT_EQ(MemBlockSize(a.data), 20);
    EXPECT_EQ(MemBlockDescription(a.data), "C:(ImgAlloc):ImgBasicTest.a:77");
    EXPECT_TRUE(ImgValid(a));
    EXPECT_EQ(a.redirected, 0);

    _imgalloc_(b, 4, 4, "b", 1, 15);
    EXPECT_EQ(b.bytesPP, 2);
    _imgalloc_(b, 4, 4, "b", 1, 16);
    EXPECT_EQ(b.bytesPP, 2);
    EXPECT_EQ(b.bitsPP, 16);
    _imgalloc_(b, 4, 4, "b", 1, 32);
    EXPECT_EQ(b.size, 64);
}

TEST_F(ImgBasicTest, ReallocationReusesTheBlockAndKeepsContent) {
    _imgalloc_(a, 2, 2, "a", 1, 8);
    std::memcpy(a.data, "\1\2\3\4", 4);
    FillPalette(a, 9);
    const int32_t count = MemCount();
    _imgalloc_(a, 100, 100, "a", 2, 8);
    EXPECT_EQ(MemCount(), count);
    EXPECT_EQ(std::memcmp(a.data, "\1\2\3\4", 4), 0);
    EXPECT_EQ(a.palette[5].green, 9);  // the palette is left as it was
}

TEST_F(ImgBasicTest, GarbageRecordIsClearedBeforeAllocation) {
    std::memset(static_cast<void*>(&a), 0xA5, sizeof a);  // never allocated: garbage fields
    _imgalloc_(a, 2, 2, "a", 1, 24);
    EXPECT_TRUE(ImgValid(a));
    EXPECT_EQ(a.size, 12);
    EXPECT_EQ(MemBlockSize(a.data), 16);
}

TEST_F(ImgBasicTest, InvalidSizesRaiseInvalidMemoryRequest) {
    for (auto [w, h] :
         {std::pair{0, 5}, std::pair{5, 0}, std::pair{-2, -3}, std::pair{70000, 70000}}) {
        EXPECT_THROW(_imgalloc_(a, w, h, "a", 1, 24), EMon) << w << "x" << h;
        EXPECT_EQ(ErrLastGroup(), ERR_MEM);
        EXPECT_EQ(ErrLastCode(), 5);
        EXPECT_FALSE(ImgValid(a));
    }
}

TEST_F(ImgBasicTest, FreeClearsEverything) {
    _imgalloc_(a, 2, 2, "a", 1, 8);
    FillPalette(a, 3);
    ImgFree(a);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.width, 0);
    EXPECT_EQ(a.palette[10].red, 0);
    EXPECT_FALSE(ImgValid(a));
}

TEST_F(ImgBasicTest, RedirectedRecordsNeverFreeForeignPixels) {
    uint8_t pixels[2 * 3 * 4] = {};
    _imgalloc_(a, 8, 8, "a", 1, 24);
    const int32_t count = MemCount();
    ImgRedirect(a, pixels, 2, 32, 3);  // frees the owned block first
    EXPECT_EQ(MemCount(), count - 1);
    EXPECT_EQ(a.data, pixels);
    EXPECT_EQ(a.size, 24);
    EXPECT_EQ(a.redirected, -1);
    EXPECT_TRUE(ImgValid(a));
    ImgSetSize(a, 3, 2, 32);
    EXPECT_EQ(a.size, 24);
    ImgFree(a);
    EXPECT_EQ(MemCount(), count - 1);
    EXPECT_EQ(a.data, nullptr);

    // A redirected record that is allocated again gets its own block.
    ImgRedirect(a, pixels, 2, 32, 3);
    _imgalloc_(a, 2, 3, "a", 1, 32);
    EXPECT_NE(a.data, pixels);
    EXPECT_EQ(a.redirected, 0);
}

TEST_F(ImgBasicTest, SetSizeKeepsTheAllocatedSizeOfOwnedBlocks) {
    _imgalloc_(a, 4, 4, "a", 1, 24);
    ImgSetSize(a, 2, 2, 8);
    EXPECT_EQ(a.size, 48);
    EXPECT_EQ(a.bytesPP, 1);
    EXPECT_EQ(a.width, 2);
}

TEST_F(ImgBasicTest, CopyCopiesPaletteOnlyAtEightBits) {
    _imgalloc_(a, 3, 1, "a", 1, 8);
    std::memcpy(a.data, "\7\10\11", 3);
    FillPalette(a, 42);
    ImgCopy(a, b);
    EXPECT_EQ(b.width, 3);
    EXPECT_EQ(b.bitsPP, 8);
    EXPECT_NE(b.data, a.data);
    EXPECT_EQ(std::memcmp(b.data, "\7\10\11", 3), 0);
    EXPECT_EQ(std::memcmp(b.palette, a.palette, sizeof a.palette), 0);
    EXPECT_EQ(MemBlockDescription(b.data).rfind("C:(ImgAlloc):ImgBasic.ImgCopyData.dest:", 0), 0u);

    ImgFree(b);
    FillPalette(b, 1);
    _imgalloc_(a, 1, 1, "a", 1, 24);
    FillPalette(a, 99);
    ImgCopy(a, b);
    EXPECT_EQ(b.palette[0].green, 1);  // a 24-bit source leaves the palette alone

    ImgCopy(a, a);  // the same record: nothing
    EXPECT_TRUE(ImgValid(a));
}

TEST_F(ImgBasicTest, ExchangeKeepsRegistrationsWithTheirBlocks) {
    _imgalloc_(a, 2, 2, "a", 1, 24);
    _imgalloc_(b, 10, 10, "b", 1, 8);
    uint8_t* blockA = a.data;
    ImgXchg(a, b);
    EXPECT_EQ(b.data, blockA);
    EXPECT_EQ(b.width, 2);
    EXPECT_EQ(a.width, 10);
    // Resizing after the exchange reuses each record's block (the register follows them).
    const int32_t count = MemCount();
    _imgalloc_(b, 3, 3, "b", 1, 24);
    _imgalloc_(a, 11, 11, "a", 1, 8);
    EXPECT_EQ(MemCount(), count);
    ImgFree(a);
    ImgFree(b);
    EXPECT_EQ(MemCount(), blocks);
}

TEST_F(ImgBasicTest, ExchangeWithAnEmptyOrRedirectedRecord) {
    uint8_t pixels[4] = {};
    _imgalloc_(a, 2, 2, "a", 1, 8);
    ImgRedirect(b, pixels, 1, 32, 1);
    ImgXchg(a, b);  // a temporary of a conversion is often exchanged with a foreign frame
    EXPECT_EQ(a.data, pixels);
    EXPECT_TRUE(ImgValid(b));
    const int32_t count = MemCount();
    _imgalloc_(b, 4, 4, "b", 1, 8);  // b now owns the block: resized, not leaked
    EXPECT_EQ(MemCount(), count);
    ImgFree(a);
    EXPECT_EQ(MemCount(), count);
}

TEST_F(ImgBasicTest, FailingReaderLeavesTheCallersPictureAlone) {
    _imgalloc_(a, 4, 4, "a", 1, 24);
    MonitoredIsolated([&] {
        _imgalloc_(a, 8, 8, "a", 1, 24);  // resized by the failing routine: still the caller's
        _imgalloc_(b, 8, 8, "b", 1, 24);  // new inside the routine: released
        ErrRaiseCode(ERR_IMG, 9, __LINE__);
    });
    EXPECT_TRUE(ImgValid(a));
    EXPECT_FALSE(ImgValid(b));
    std::memset(static_cast<void*>(&b), 0, sizeof b);
}

// A failure releases a record's pixels without touching the record; when the allocator then
// hands the same address to another owner, the record's stale pointer looks like a live block.
// No routine may treat it as the record's own.
TEST_F(ImgBasicTest, StaleRecordLeavesTheBlockNowAtItsAddressAlone) {
    constexpr int32_t kSide = 4096;  // 48 MiB: always a mapping of its own, never touched
    constexpr int64_t kBytes = int64_t{kSide} * kSide * 3;
    uint8_t pixels[4] = {};
    const struct {
        const char* name;
        void (*use)(Qimg& stale, Qimg& empty, uint8_t* pixels);
    } cases[] = {
        {"ImgFree", [](Qimg& stale, Qimg&, uint8_t*) { ImgFree(stale); }},
        {"ImgRedirect", [](Qimg& stale, Qimg&, uint8_t* p) { ImgRedirect(stale, p, 2, 8, 2); }},
        {"ImgXchg, then ImgFree of the other record",
         [](Qimg& stale, Qimg& empty, uint8_t*) {
             ImgXchg(stale, empty);
             ImgFree(empty);
         }},
        {"_imgalloc_", [](Qimg& stale, Qimg&, uint8_t*) { _imgalloc_(stale, 2, 2, "a", 1, 24); }},
    };
    for (const auto& c : cases) {
        MonitoredIsolated([&] {
            _imgalloc_(a, kSide, kSide, "ImgBasicTest.a", __LINE__, 24);
            ErrRaiseCode(ERR_IMG, 9, __LINE__);
        });
        ASSERT_NE(a.data, nullptr);
        ASSERT_FALSE(ImgValid(a));
        uint8_t* other = nullptr;
        if (!test::AllocateAt(other, a.data, kBytes))
            GTEST_SKIP() << "the allocator does not reuse addresses";
        EXPECT_FALSE(ImgValid(a)) << c.name;
        const int32_t count = MemCount();
        c.use(a, b, pixels);
        EXPECT_TRUE(MemIsTracked(other)) << c.name << " released another owner's block";
        EXPECT_GE(MemCount(), count) << c.name;
        ImgFree(a);
        ImgFree(b);
        EXPECT_TRUE(MemIsTracked(other)) << c.name;
        MemFree(other);
        std::memset(static_cast<void*>(&a), 0, sizeof a);
        std::memset(static_cast<void*>(&b), 0, sizeof b);
    }
}
