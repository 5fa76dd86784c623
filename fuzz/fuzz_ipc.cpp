// The receiving end of the inter-program channels: every 8 bytes of the input are one received
// message (wParam, lParam), offered to the three channel records the player window listens on,
// as its message handler does. A record that completes is read out and reset.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "app/IPCModule.h"
#include "runtime/Basic.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::RegisterGuard guard;
    QIPCChannel channels[3] = {};
    for (int32_t ch = 0; ch < 3; ++ch) IPC_DataReset(channels[ch], ch);

    for (size_t at = 0; at + 8 <= size; at += 8) {
        uint32_t wParam;
        int32_t lParam;
        std::memcpy(&wParam, data + at, 4);
        std::memcpy(&lParam, data + at + 4, 4);
        for (int32_t ch = 0; ch < 3; ++ch) {
            QIPCChannel& rec = channels[ch];
            bool complete = false;
            fuzz::Try("IPC_DataReceive", [&] { complete = IPC_DataReceive(wParam, lParam, rec); });
            if (rec.received < 0 || rec.received > rec.total || rec.total > IPC_MAX_TOTAL ||
                (rec.total > 0 && rec.buffer && MemBlockSize(rec.buffer) < rec.total)) {
                std::fprintf(stderr, "kv-fuzz: channel %d holds %d of %d bytes\n", ch, rec.received,
                             rec.total);
                std::abort();
            }
            if (!complete) continue;
            std::string text;
            IPC_GetAsString(rec, text);
            if (text.size() != static_cast<size_t>(rec.total)) {
                std::fprintf(stderr, "kv-fuzz: channel %d gave %zu of %d bytes\n", ch, text.size(),
                             rec.total);
                std::abort();
            }
            IPC_DataReset(rec, ch);
        }
    }
    for (int32_t ch = 0; ch < 3; ++ch) IPC_DataReset(channels[ch], ch);
    guard.Check("the channel records");
    return 0;
}
