#include "app/IPCModule.h"

#include <cstring>
#include <vector>

#include "platform/LocalChannel.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr uint32_t PHASE_HEADER = 1;
constexpr uint32_t PHASE_DATA = 2;

uint32_t WParam_(int32_t channel, uint32_t phase) {
    return (static_cast<uint32_t>(channel) & 0xFF) + (phase << 8);
}

void Forget_(QIPCChannel& rec) {
    if (MemIsTrackedBy(&rec.buffer, rec.buffer)) MemFree(rec.buffer);
    rec.buffer = nullptr;
    rec.started = false;
    rec.complete = false;
    rec.total = 0;
    rec.received = 0;
}

}  // namespace

bool IPC_DataSend(const std::string& className, int32_t channel, const void* data, int32_t length) {
    if (length > 0 && data == nullptr) return false;
    std::vector<LcRecord> records;
    records.push_back({UM_IPCDATA, WParam_(channel, PHASE_HEADER), length});
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (int32_t done = 0; done < length; done += 4) {
        // The last word of a length that is not a multiple of 4 carries 1 to 3 bytes, the
        // rest of it zero.
        uint8_t word[4] = {0, 0, 0, 0};
        const int32_t n = length - done < 4 ? length - done : 4;
        std::memcpy(word, bytes + done, static_cast<size_t>(n));
        const uint32_t value = static_cast<uint32_t>(word[0]) | static_cast<uint32_t>(word[1]) << 8 |
                               static_cast<uint32_t>(word[2]) << 16 |
                               static_cast<uint32_t>(word[3]) << 24;
        records.push_back({UM_IPCDATA, WParam_(channel, PHASE_DATA), static_cast<int32_t>(value)});
    }
    return LcSend(className, records);
}

bool IPC_DataSendInt(const std::string& className, int32_t channel, int32_t value) {
    uint8_t bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    return IPC_DataSend(className, channel, bytes, sizeof bytes);
}

void IPC_DataReset(QIPCChannel& rec, int32_t channel) {
    Forget_(rec);
    rec.channel = channel;
}

bool IPC_DataReceive(uint32_t wParam, int32_t lParam, QIPCChannel& rec) {
    Monitored([&] {
        if ((wParam & 0xFF) != static_cast<uint32_t>(rec.channel)) return;
        const uint32_t phase = wParam >> 8;
        if (phase == PHASE_HEADER && !rec.started) {
            // A header announcing a negative or oversized total is ignored as a whole: the
            // record stays idle and the data words that follow it are dropped.
            if (lParam < 0 || lParam > IPC_MAX_TOTAL) return;
            Forget_(rec);
            rec.total = lParam;
            rec.complete = rec.total == 0;
            if (!rec.complete)
                _memalloc_(rec.buffer, rec.total, __LINE__, MEM_KIND_C,
                           "IPCModule.IPC_DataReceive.rec.buffer");
            rec.received = 0;
            rec.started = true;
        } else if (phase == PHASE_DATA && rec.started && !rec.complete) {
            // A buffer released by a failing frame leaves nothing to fill: drop the transfer.
            if (!MemIsTrackedBy(&rec.buffer, rec.buffer)) {
                rec.buffer = nullptr;
                Forget_(rec);
                return;
            }
            const int32_t left = rec.total - rec.received;
            const int32_t n = left < 4 ? left : 4;
            const uint32_t word = static_cast<uint32_t>(lParam);
            for (int32_t i = 0; i < n; ++i)
                rec.buffer[rec.received + i] = static_cast<uint8_t>(word >> (8 * i));
            rec.received += n;
            rec.complete = rec.received >= rec.total;
        }
    });
    return rec.complete;
}

void IPC_GetAsString(const QIPCChannel& rec, std::string& text) {
    text.clear();
    if (rec.total > 0 && rec.total <= IPC_MAX_TOTAL && rec.buffer != nullptr &&
        MemIsTrackedBy(&rec.buffer, rec.buffer))
        text.assign(reinterpret_cast<const char*>(rec.buffer), static_cast<size_t>(rec.total));
}

}  // namespace kelvora
