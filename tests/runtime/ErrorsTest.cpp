#include "runtime/Errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

#include "runtime/Basic.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace {

// Leaves the thread's error state clean for the next test.
struct ErrorsTest : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(MonDepth(), 0);
        MonitoredIsolated([] {});
    }
    void TearDown() override {
        EXPECT_EQ(MonDepth(), 0);
        MonitoredIsolated([] {});
    }
};

}  // namespace

TEST_F(ErrorsTest, TextsOfTheTable) {
    EXPECT_EQ(ErrText(0, 5), "No errors.");
    EXPECT_EQ(ErrText(7, 0), "No errors.");
    EXPECT_EQ(ErrText(18, 3), "Undefined error: 18:3");
    EXPECT_EQ(ErrText(25, 1), "Undefined error: 25:1");
    EXPECT_EQ(ErrText(-1, -2), "Undefined error: 4294967295:4294967294");
    EXPECT_EQ(ErrText(19, 11), "Fatal error in Audio Compression Manager: 11");
    EXPECT_EQ(ErrText(10, -1), "AVI subsystem malfunction: 4294967295");
    EXPECT_EQ(ErrText(11, 7), "Video For Windows malfunction: 7");
    EXPECT_EQ(ErrText(20, -5), "Fatal error in Win-MM: 4294967291");
    EXPECT_EQ(ErrText(13, 9), "general \"WAV\" handling fault.");
    EXPECT_EQ(ErrText(14, 7), "End of movie reached.");
    EXPECT_EQ(ErrText(12, 7), "End of movie reached.");
    EXPECT_EQ(ErrText(12, 99), "General \"MVI\" handling fault.");
    EXPECT_EQ(ErrText(4, 9), "General \"GEN\" error.");
    EXPECT_EQ(ErrText(5, 6), "Fatal memory manager error.");
    EXPECT_EQ(ErrText(7, 10), "Cannot realize palette.");
    EXPECT_EQ(ErrText(9, 8),
              "AVI audio stream not valid (decompressor not found?), ignoring audio");
    EXPECT_EQ(ErrText(15, 1), "End of HAV movie reached.");
    EXPECT_EQ(ErrText(16, 2), "General \"UNI\" handling fault.");
    EXPECT_EQ(ErrText(17, 1), "End of FLIC movie reached.");
    EXPECT_EQ(ErrText(8, 3), "Audio conversion error (WAVE).");
}

TEST_F(ErrorsTest, FileTextsNameTheLastOpenedFile) {
    test::TempDir dir;
    int32_t id = 0;
    const std::string name = dir.file("a.bin");
    EXPECT_EQ(FOpen(id, name, FM_READ), 1);  // outside every frame: recorded, not thrown
    EXPECT_EQ(id, BAD_HANDLE);
    EXPECT_EQ(ErrLastGroup(), ERR_FILE);
    EXPECT_EQ(ErrLastText(), "Cannot open file: " + name);
    EXPECT_EQ(ErrText(6, 2), "Cannot create file: " + name);
    EXPECT_EQ(ErrText(6, 7), "Cannot append to file: " + name);
}

TEST_F(ErrorsTest, MessageOnlyGroupsShowTheLastMessage) {
    MonitoredIsolated([] { ErrRaiseMsg(ERR_USER, "File not supported", __LINE__); });
    EXPECT_EQ(ErrLastGroup(), ERR_USER);
    EXPECT_EQ(ErrLastCode(), ERR_MSGONLY);
    EXPECT_EQ(ErrLastText(), "File not supported");
    // A raise without a message keeps the stored text.
    MonitoredIsolated([] { ErrRaiseCode(ERR_LIBRARY, 5, __LINE__); });
    EXPECT_EQ(ErrLastText(), "File not supported");
}

TEST_F(ErrorsTest, NestedRaiseReleasesBothFramesAndCarriesInnerMessage) {
    test::TempDir dir;
    test::WriteFileBytes(dir.file("x"), "abc");
    const test::RegisterBalance balance;
    uint8_t* a = nullptr;
    uint8_t* b = nullptr;
    auto routineB = [&] {
        Monitored([&] {
            MemAllocNew(b, 100);
            int32_t id;
            FOpen(id, dir.file("x"), FM_READ);
            ErrRaiseCode(ERR_IMG, 9, __LINE__);
            ADD_FAILURE() << "raise did not throw";
        });
    };
    auto routineA = [&] {
        Monitored([&] {
            MemAllocNew(a, 100);
            int32_t id;
            FOpen(id, dir.file("x"), FM_READ);
            routineB();
            ADD_FAILURE() << "error did not pass through A";
        });
    };
    try {
        routineA();
        FAIL() << "no EMon left A";
    } catch (const EMon& e) {
        EXPECT_STREQ(e.what(), "Image data corrupted.");
    }
    balance.Expect();
    EXPECT_FALSE(MemIsTracked(a));
    EXPECT_FALSE(MemIsTracked(b));
    EXPECT_EQ(ErrLastGroup(), ERR_IMG);
    EXPECT_EQ(ErrLastCode(), 9);

    // The same with A isolated: A returns normally and the caller reads B's message.
    a = b = nullptr;
    MonitoredIsolated([&] {
        MemAllocNew(a, 10);
        routineB();
    });
    EXPECT_FALSE(ErrNone());
    EXPECT_EQ(ErrLastText(), "Image data corrupted.");
    balance.Expect();
}

TEST_F(ErrorsTest, SuccessfulRoutineClearsLastErrorButKeepsBlocks) {
    MonitoredIsolated([] { ErrRaiseCode(ERR_GEN, 1, __LINE__); });
    ASSERT_FALSE(ErrNone());
    uint8_t* p = nullptr;
    Monitored([&] { MemAllocNew(p, 8); });
    EXPECT_TRUE(ErrNone());
    EXPECT_TRUE(MemIsTracked(p));
    MemFree(p);
}

TEST_F(ErrorsTest, ZeroCodeChangesNothing) {
    MonitoredIsolated([] { ErrRaiseCode(ERR_GEN, 2, __LINE__); });
    ASSERT_EQ(ErrLastCode(), 2);
    ErrRaiseCode(ERR_FILE, 0, __LINE__);
    EXPECT_EQ(ErrLastGroup(), ERR_GEN);
    EXPECT_EQ(ErrLastCode(), 2);
    bool reached = false;
    Monitored([&] {
        ErrRaiseCode(ERR_FILE, 0, __LINE__);
        ErrRaiseCode(0, 3, __LINE__);
        reached = true;
    });
    EXPECT_TRUE(reached);
    EXPECT_TRUE(ErrNone());
}

TEST_F(ErrorsTest, RaiseOutsideFramesOnlyRecords) {
    EXPECT_NO_THROW(ErrRaiseCode(ERR_MEM, 1, __LINE__));
    EXPECT_EQ(ErrLastText(), "Memory allocation fault.");
}

TEST_F(ErrorsTest, FailRaisesThroughTheFrameLikeARaise) {
    const int32_t blocks = MemCount();
    bool reached = false;
    try {
        Monitored([&] {
            uint8_t* p = nullptr;
            MemAllocNew(p, 16);
            ErrFail(ERR_IMG, IMG_DECOMPRESS);
        });
        reached = true;
    } catch (const EMon& e) {
        EXPECT_STREQ(e.what(), "Cannot decompress image data.");
    }
    EXPECT_FALSE(reached);
    EXPECT_EQ(ErrLastGroup(), ERR_IMG);
    EXPECT_EQ(ErrLastCode(), 3);
    EXPECT_EQ(MemCount(), blocks);
    MonitoredIsolated([] { ErrFail(ERR_MVI, MVI_END); });
    EXPECT_EQ(ErrLastText(), "End of movie reached.");
}

TEST_F(ErrorsTest, FailNeverReturnsWhereARaiseOnlyRecords) {
    // Outside every frame.
    try {
        ErrFail(ERR_FLIC, FLIC_END);
        ADD_FAILURE() << "ErrFail returned";
    } catch (const EMon& e) {
        EXPECT_STREQ(e.what(), "End of FLIC movie reached.");
    }
    EXPECT_EQ(ErrLastGroup(), ERR_FLIC);
    EXPECT_EQ(ErrLastCode(), 1);
    // In a frame whose error is already travelling (a handler swallowed the first raise).
    bool afterFail = false;
    MonitoredIsolated([&] {
        try {
            ErrRaiseCode(ERR_IMG, IMG_CORRUPT, __LINE__);
        } catch (const EMon&) {}
        ErrRaiseCode(ERR_GEN, GEN_OUT_OF_RANGE, __LINE__);  // returns: the frame is in flight
        ErrFail(ERR_GEN, GEN_OUT_OF_RANGE);
        afterFail = true;
    });
    EXPECT_FALSE(afterFail);
    EXPECT_EQ(ErrLastText(), "Image data corrupted.");
}

TEST_F(ErrorsTest, GeneralCodesAreTheFirstTheTablesDoNotList) {
    // Each group with its last listed code and its general code.
    const int32_t groups[][3] = {{ERR_GEN, GEN_INVALID_TYPE, GEN_GENERAL},
                                 {ERR_MEM, MEM_FATAL, MEM_GENERAL},
                                 {ERR_FILE, FILE_FATAL, FILE_GENERAL},
                                 {ERR_IMG, IMG_CREATE, IMG_GENERAL},
                                 {ERR_AUDIO, AUDIO_INVALID_FORMAT, AUDIO_GENERAL},
                                 {ERR_AVI, AVI_AUDIO_INVALID, AVI_GENERAL},
                                 {ERR_MVI, MVI_CREATE, MVI_GENERAL},
                                 {ERR_FORMAT, FORMAT_CREATE, FORMAT_GENERAL},
                                 {ERR_WAV, WAV_SEEK, WAV_GENERAL},
                                 {ERR_HAV, HAV_END, HAV_GENERAL},
                                 {ERR_UNI, UNI_PROTOCOL, UNI_GENERAL},
                                 {ERR_FLIC, FLIC_END, FLIC_GENERAL}};
    for (const auto& [group, last, general] : groups) {
        SCOPED_TRACE(group);
        EXPECT_EQ(general, last + 1);
        EXPECT_EQ(ErrText(group, general), ErrText(group, 1000));
        EXPECT_NE(ErrText(group, last), ErrText(group, 1000));
    }
}

TEST_F(ErrorsTest, ExitLeavesTheRoutineAndCallerStillRaises) {
    bool afterExit = false;
    bool callerGoesOn = false;
    EXPECT_THROW(Monitored([&] {
                     Monitored([&] {
                         MonExit();
                         afterExit = true;
                     });
                     EXPECT_TRUE(ErrNone());
                     callerGoesOn = true;
                     ErrRaiseCode(ERR_HAV, 1, __LINE__);
                 }),
                 EMon);
    EXPECT_FALSE(afterExit);
    EXPECT_TRUE(callerGoesOn);
    EXPECT_EQ(ErrLastText(), "End of HAV movie reached.");
}

TEST_F(ErrorsTest, RuntimeExceptionBecomesExceptionError) {
    const test::RegisterBalance balance;
    MonitoredIsolated([] {
        uint8_t* p = nullptr;
        MemAllocNew(p, 32);
        throw std::out_of_range("index 7 out of range");
    });
    EXPECT_EQ(ErrLastGroup(), ERR_EXCEPTION);
    EXPECT_EQ(ErrLastCode(), ERR_MSGONLY);
    EXPECT_EQ(ErrLastText(), "index 7 out of range");
    balance.Expect();
}

TEST_F(ErrorsTest, RuntimeExceptionAfterIsolatedFailureIsNotLost) {
    // The inner isolated failure leaves a last error behind; a later runtime fault in the
    // caller must still be reported, not swallowed as success.
    EXPECT_THROW(Monitored([] {
                     MonitoredIsolated([] { ErrRaiseCode(ERR_IMG, 4, __LINE__); });
                     ASSERT_FALSE(ErrNone());
                     throw std::runtime_error("late fault");
                 }),
                 EMon);
    EXPECT_EQ(ErrLastGroup(), ERR_EXCEPTION);
    EXPECT_EQ(ErrLastText(), "late fault");
}

TEST_F(ErrorsTest, IsolateNextMakesTheNextFrameIsolated) {
    MonIsolateNext();
    EXPECT_NO_THROW(Monitored([] { ErrRaiseCode(ERR_UNI, 1, __LINE__); }));
    EXPECT_EQ(ErrLastText(), "UNI protocol fault.");
    EXPECT_THROW(Monitored([] { ErrRaiseCode(ERR_UNI, 1, __LINE__); }), EMon);
}

TEST_F(ErrorsTest, NotesDoNotInterrupt) {
    bool reached = false;
    Monitored([&] {
        ErrNoteMsg(ERR_AVI, "ignoring audio", __LINE__);
        reached = true;
        EXPECT_EQ(WarnLastGroup(), ERR_AVI);
        EXPECT_EQ(WarnLastText(), "ignoring audio");
    });
    EXPECT_TRUE(reached);
    EXPECT_TRUE(ErrNone());
    ErrNoteCode(ERR_AVI, 0, __LINE__);
    EXPECT_EQ(WarnLastGroup(), 0);
    ErrNoteCode(ERR_MEM, 4, __LINE__);
    uint8_t* none = nullptr;
    MemFree(none);  // clears the last warning when it starts
    EXPECT_EQ(WarnLastGroup(), 0);
}

TEST_F(ErrorsTest, DeepNestingWithinTheLimitWorks) {
    std::function<void(int)> nest = [&](int n) {
        Monitored([&] {
            if (n < MON_MAX_DEPTH)
                nest(n + 1);
            else
                ErrRaiseCode(ERR_GEN, 1, __LINE__);
        });
    };
    EXPECT_THROW(nest(1), EMon);
    EXPECT_EQ(MonDepth(), 0);
}

TEST(ErrorsDeathTest, OverflowStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            for (int i = 0; i < MON_MAX_DEPTH + 1; ++i) MonPush();
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "Fatal error: internal monitoring overflow\\.");
}

TEST_F(ErrorsTest, FailureOnOneThreadLeavesTheOtherThreadsBlocksAlone) {
    std::promise<void> entered, allocated, raised;
    uint8_t* mine = nullptr;
    int32_t otherThreadLast = -1;
    std::thread worker([&] {
        MonitoredIsolated([&] {
            uint8_t* temp = nullptr;
            MemAllocNew(temp, 64);
            entered.set_value();
            allocated.get_future().wait();  // the main thread allocates after our mark
            ErrRaiseCode(ERR_MVI, 3, __LINE__);
        });
        otherThreadLast = ErrLastCode();
        raised.set_value();
    });
    entered.get_future().wait();
    const int32_t before = MemCount();
    MemAllocNew(mine, 64);
    allocated.set_value();
    raised.get_future().wait();
    worker.join();
    EXPECT_EQ(otherThreadLast, 3);
    EXPECT_TRUE(MemIsTracked(mine));  // registered after the worker's frame, by another thread
    EXPECT_EQ(MemCount(), before);    // the worker's block is gone, ours replaced it
    EXPECT_TRUE(ErrNone());           // the worker's error stays on the worker
    MemFree(mine);
}
