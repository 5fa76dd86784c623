// kelvora-cli send as the other program: this process plays the player's window, listening
// under its class name and answering close requests.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/IPCModule.h"
#include "platform/LocalChannel.h"
#include "support/TestSupport.h"

namespace kelvora {
namespace {

struct FakePlayer {
    std::mutex mu;
    QIPCChannel recs[3] = {};
    std::vector<std::pair<int32_t, std::string>> requests;  // channel, text
    int32_t closeAnswer = -1;

    FakePlayer() {
        for (int32_t i = 0; i < 3; ++i) IPC_DataReset(recs[i], i);
    }
    ~FakePlayer() {
        for (QIPCChannel& r : recs) IPC_DataReset(r, r.channel);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mu);
        return requests.size();
    }
    // Handles one message as the main window does, answering a close request on channel 3.
    void Deliver(uint32_t message, uint32_t wParam, int32_t lParam) {
        if (message != UM_IPCDATA) return;
        std::lock_guard<std::mutex> lock(mu);
        for (QIPCChannel& r : recs) {
            if (!IPC_DataReceive(wParam, lParam, r)) continue;
            std::string text;
            IPC_GetAsString(r, text);
            IPC_DataReset(r, r.channel);
            requests.emplace_back(r.channel, text);
            if (r.channel == 2) IPC_DataSendInt(text, 3, closeAnswer);
        }
    }
};

struct SendTest : ::testing::Test {
    void SetUp() override { setenv("XDG_RUNTIME_DIR", sockets.path().c_str(), 1); }
    void TearDown() override { LcClose(listener); }
    void StartPlayer() {
        listener = LcListen("TfrmKelvora",
                            [this](uint32_t m, uint32_t w, int32_t l) { player.Deliver(m, w, l); });
        ASSERT_NE(listener, nullptr);
    }
    // Runs the program in the work folder; its exit status, with standard error in `err`.
    int Cli(const std::string& args) {
        const std::string cmd = "cd '" + work.path() + "' && '" KV_CLI "' " + args + " 2>stderr";
        const int rc = std::system(cmd.c_str());
        err = test::ReadFileBytes(work.file("stderr"));
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    test::TempDir sockets, work;
    FakePlayer player;
    LcListener* listener = nullptr;
    std::string err;
};

TEST_F(SendTest, NoPlayerAndBadUsage) {
    EXPECT_EQ(Cli("send --open clip.avi"), 1);
    EXPECT_NE(err.find("No running player found."), std::string::npos) << err;
    EXPECT_EQ(Cli("send --close"), 1);
    EXPECT_NE(err.find("No running player found."), std::string::npos) << err;
    for (const char* bad :
         {"send", "send --open", "send --close x.avi", "send --stop", "send --play a b"})
        EXPECT_EQ(Cli(bad), 2) << bad;
}

TEST_F(SendTest, OpenAndPlayCarryAbsoluteNames) {
    StartPlayer();
    EXPECT_EQ(Cli("send --open clip.avi"), 0) << err;
    EXPECT_EQ(Cli("send --play 'my clip.hav'"), 0) << err;
    // The sender may end before this side has read everything.
    for (int i = 0; i < 3000 && player.Count() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> lock(player.mu);
    const std::vector<std::pair<int32_t, std::string>> expected = {{0, work.file("clip.avi")},
                                                                   {1, work.file("my clip.hav")}};
    EXPECT_EQ(player.requests, expected);
}

TEST_F(SendTest, CloseWaitsForTheAnswer) {
    StartPlayer();
    EXPECT_EQ(Cli("send --close"), 0) << err;
    {
        std::lock_guard<std::mutex> lock(player.mu);
        ASSERT_EQ(player.requests.size(), 1u);
        EXPECT_EQ(player.requests[0].first, 2);
        EXPECT_EQ(player.requests[0].second.rfind("TKelvoraCliSend-", 0), 0u);
        // An answer other than -1 is not the one awaited.
        player.closeAnswer = 0;
    }
    EXPECT_EQ(Cli("send --close"), 1);
    EXPECT_NE(err.find("did not confirm"), std::string::npos) << err;
}

}  // namespace
}  // namespace kelvora
