// Channel transfers: what a sender puts on the wire and how a receiver's channel records
// rebuild it, including messages a receiver must drop.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "app/IPCModule.h"
#include "platform/LocalChannel.h"
#include "runtime/Basic.h"
#include "support/TestSupport.h"

namespace kelvora {
namespace {

struct IPCModule : ::testing::Test {
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
        for (int32_t i = 0; i < 3; ++i) IPC_DataReset(recs[i], i);
    }
    void TearDown() override {
        for (QIPCChannel& r : recs) IPC_DataReset(r, r.channel);
    }
    // Sends through a real listener and returns what arrived once `count` messages are in.
    std::vector<LcRecord> Transfer(int32_t channel, const std::string& data, int32_t length,
                                   size_t count) {
        std::mutex mu;
        std::vector<LcRecord> got;
        LcListener* l = LcListen("TfrmKelvora", [&](uint32_t m, uint32_t w, int32_t p) {
            std::lock_guard<std::mutex> lock(mu);
            got.push_back({m, w, p});
        });
        EXPECT_NE(l, nullptr);
        EXPECT_TRUE(IPC_DataSend("TfrmKelvora", channel, data.data(), length));
        for (int i = 0; i < 3000; ++i) {
            {
                std::lock_guard<std::mutex> lock(mu);
                if (got.size() >= count) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        LcClose(l);
        return got;
    }
    // Offers a message to the three records as the main window does; the channels completed.
    std::vector<int32_t> Offer(uint32_t wParam, int32_t lParam) {
        std::vector<int32_t> done;
        for (QIPCChannel& r : recs)
            if (IPC_DataReceive(wParam, lParam, r)) done.push_back(r.channel);
        return done;
    }
    std::string Text(int32_t channel) {
        std::string s;
        IPC_GetAsString(recs[channel], s);
        return s;
    }
    test::TempDir dir;
    QIPCChannel recs[3] = {};
};

TEST_F(IPCModule, NineByteNameRoundTrip) {
    const std::vector<LcRecord> wire = Transfer(2, "TfrmHello", 9, 4);
    const std::vector<LcRecord> expected = {
        {UM_IPCDATA, 0x102, 9},
        {UM_IPCDATA, 0x202, 0x6D726654},  // "Tfrm"
        {UM_IPCDATA, 0x202, 0x6C6C6548},  // "Hell"
        {UM_IPCDATA, 0x202, 0x6F},        // "o", the rest zero
    };
    ASSERT_EQ(wire, expected);
    for (size_t i = 0; i + 1 < wire.size(); ++i)
        EXPECT_TRUE(Offer(wire[i].wParam, wire[i].lParam).empty());
    EXPECT_EQ(Offer(wire.back().wParam, wire.back().lParam), std::vector<int32_t>{2});
    EXPECT_EQ(Text(2), "TfrmHello");
    // A complete record ignores its channel until it is reset.
    EXPECT_EQ(Offer(0x102, 1), std::vector<int32_t>{2});
    EXPECT_EQ(Text(2), "TfrmHello");
    IPC_DataReset(recs[2], 2);
    EXPECT_EQ(Text(2), "");

    // A negative length sends the header alone; an integer travels as its 4 bytes.
    EXPECT_EQ(Transfer(1, "", -3, 1), (std::vector<LcRecord>{{UM_IPCDATA, 0x101, -3}}));
    EXPECT_FALSE(IPC_DataSendInt("TfrmKelvora", 3, -1));  // nobody listens any more
}

TEST_F(IPCModule, ReceiverDropsWhatDoesNotFit) {
    const int32_t blocks = MemCount();
    // A zero-length transfer completes at its header, with an empty string.
    EXPECT_EQ(Offer(0x100, 0), std::vector<int32_t>{0});
    EXPECT_EQ(Text(0), "");
    IPC_DataReset(recs[0], 0);
    // Channel 5 and unknown phases leave every record as it was.
    EXPECT_TRUE(Offer(0x105, 4).empty());
    EXPECT_TRUE(Offer(0x205, 0x41414141).empty());
    EXPECT_TRUE(Offer(0x301, 4).empty());
    EXPECT_FALSE(recs[1].started);
    EXPECT_FALSE(recs[2].started);
    // Data before a header is dropped; a second header does not restart the transfer.
    EXPECT_TRUE(Offer(0x201, 0x44444444).empty());
    EXPECT_TRUE(Offer(0x101, 6).empty());
    EXPECT_TRUE(Offer(0x101, 2).empty());
    EXPECT_TRUE(Offer(0x201, 0x64636261).empty());
    EXPECT_EQ(Offer(0x201, 0x00006665), std::vector<int32_t>{1});
    EXPECT_EQ(Text(1), "abcdef");
    EXPECT_EQ(MemCount(), blocks + 1);
    IPC_DataReset(recs[1], 1);
    EXPECT_EQ(MemCount(), blocks);
}

TEST_F(IPCModule, HostileTotalsAreIgnored) {
    const int32_t blocks = MemCount();
    for (int32_t total : {-1, INT32_MIN, IPC_MAX_TOTAL + 1, INT32_MAX}) {
        EXPECT_TRUE(Offer(0x102, total).empty());
        EXPECT_FALSE(recs[2].started);
        EXPECT_TRUE(Offer(0x202, 0x41414141).empty());
    }
    EXPECT_EQ(MemCount(), blocks);
    // The largest accepted total fills exactly, and later words go nowhere.
    EXPECT_TRUE(Offer(0x102, IPC_MAX_TOTAL).empty());
    for (int32_t i = 0; i < IPC_MAX_TOTAL / 4 - 1; ++i)
        ASSERT_TRUE(Offer(0x202, 0x41414141).empty());
    EXPECT_EQ(Offer(0x202, 0x41414141), std::vector<int32_t>{2});
    EXPECT_EQ(Offer(0x202, 0x42424242), std::vector<int32_t>{2});
    EXPECT_EQ(Text(2), std::string(IPC_MAX_TOTAL, 'A'));
}

}  // namespace
}  // namespace kelvora
