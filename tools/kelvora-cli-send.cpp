#include "kelvora-cli-send.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <utility>

#include "app/IPCModule.h"
#include "kelvora-cli-hav.h"
#include "platform/LocalChannel.h"
#include "runtime/Errors.h"

namespace kelvora {

const char* const kCliSendUsage =
    "  send --open FILE   ask the running player to open FILE\n"
    "  send --play FILE   ask the running player to open and play FILE\n"
    "  send --close       ask the running player to close its file and wait (up\n"
    "                     to 5 seconds) until it has\n";

namespace {

const char* const PLAYER_CLASS = "TfrmKelvora";
constexpr int32_t CHANNEL_OPEN = 0;
constexpr int32_t CHANNEL_PLAY = 1;
constexpr int32_t CHANNEL_CLOSE = 2;
constexpr int32_t CHANNEL_CLOSED = 3;
constexpr int32_t CLOSED_ANSWER = -1;
constexpr auto ANSWER_WAIT = std::chrono::seconds(5);
constexpr size_t QUEUE_LIMIT = 4096;  // messages waiting for the main thread

int Usage_(const std::string& why) {
    std::fprintf(stderr, "kelvora-cli: %s\n\n%s", why.c_str(), kCliSendUsage);
    return 2;
}

int NoPlayer_() { return CliFail("No running player found."); }

int SendFile_(int32_t channel, const std::string& file) {
    // The player runs in another working directory.
    std::error_code ec;
    const std::string name = std::filesystem::absolute(file, ec).string();
    if (ec || name.empty()) return CliFail(file + ": " + ec.message());
    if (name.size() > static_cast<size_t>(IPC_MAX_TOTAL))
        return CliFail(file + ": the file name is too long");
    if (!IPC_DataSend(PLAYER_CLASS, channel, name.data(), static_cast<int32_t>(name.size())))
        return NoPlayer_();
    return 0;
}

// Sends our own listening name on the close channel and waits for the channel-3 answer.
int SendClose_() {
    std::mutex mu;
    std::condition_variable arrived;
    std::deque<std::pair<uint32_t, int32_t>> queue;  // wParam, lParam of UM_IPCDATA messages
    LcListener* listener = LcListen("TKelvoraCliSend-" + std::to_string(::getpid()),
                                    [&](uint32_t message, uint32_t wParam, int32_t lParam) {
                                        if (message != UM_IPCDATA) return;
                                        std::lock_guard<std::mutex> lock(mu);
                                        if (queue.size() < QUEUE_LIMIT)
                                            queue.emplace_back(wParam, lParam);
                                        arrived.notify_one();
                                    });
    if (listener == nullptr)
        return CliFail("cannot listen for the player's answer (no private socket folder)");
    const std::string me = LcListenName(listener);
    if (!IPC_DataSend(PLAYER_CLASS, CHANNEL_CLOSE, me.data(), static_cast<int32_t>(me.size()))) {
        LcClose(listener);
        return NoPlayer_();
    }
    QIPCChannel rec{};
    IPC_DataReset(rec, CHANNEL_CLOSED);
    bool answered = false;
    const auto deadline = std::chrono::steady_clock::now() + ANSWER_WAIT;
    std::unique_lock<std::mutex> lock(mu);
    while (!answered) {
        if (queue.empty() && !arrived.wait_until(lock, deadline, [&] { return !queue.empty(); }))
            break;
        // Plain variables, not a structured binding: clang 14 cannot capture bindings in a lambda.
        const auto message = queue.front();
        queue.pop_front();
        bool complete = false;
        MonitoredIsolated([&] { complete = IPC_DataReceive(message.first, message.second, rec); });
        if (!complete) continue;
        std::string answer;
        IPC_GetAsString(rec, answer);
        int32_t value = 0;
        if (answer.size() == sizeof value) std::memcpy(&value, answer.data(), sizeof value);
        answered = answer.size() == sizeof value && value == CLOSED_ANSWER;
        IPC_DataReset(rec, CHANNEL_CLOSED);
    }
    lock.unlock();
    LcClose(listener);
    IPC_DataReset(rec, CHANNEL_CLOSED);
    return answered ? 0 : CliFail("the player did not confirm closing the file within 5 seconds");
}

}  // namespace

int CliSend(const std::vector<std::string>& args) {
    if (args.empty()) return Usage_("send needs --open FILE, --play FILE or --close");
    const std::string& what = args[0];
    if (what == "--close") {
        if (args.size() != 1) return Usage_("send --close takes no file");
        return SendClose_();
    }
    if (what != "--open" && what != "--play") return Usage_("unknown option '" + what + "'");
    if (args.size() != 2 || args[1].empty()) return Usage_("send " + what + " takes one file");
    return SendFile_(what == "--open" ? CHANNEL_OPEN : CHANNEL_PLAY, args[1]);
}

}  // namespace kelvora
