#pragma once
// Channels that carry a string or a number from one program to another in posted messages.
//
// A transfer of n bytes on channel c is one header message (wParam = c + 0x100, lParam = n)
// followed by n div 4 data messages (wParam = c + 0x200, lParam = the next 4 bytes in memory
// order, byte 0 in the low byte) and, when n mod 4 > 0, one more data message holding the
// remaining bytes in its low bytes, the others zero. Strings travel without a terminator.
//
// The receiver keeps one channel record per channel it listens on: idle -> header accepted ->
// collecting -> complete. A complete record ignores further messages for its channel until the
// receiver resets it; data before a header and a second header are dropped.

#include <cstdint>
#include <string>

namespace kelvora {

constexpr uint32_t UM_IPCDATA = 0x433;  // WM_USER + 0x33

struct QIPCChannel {
    int32_t channel;   // 0..255, compared with the low byte of wParam
    bool started;      // a header has been accepted
    bool complete;     // all announced bytes have arrived
    int32_t total;     // announced length in bytes
    uint8_t* buffer;   // tracked block of `total` bytes (none when total is 0)
    int32_t received;  // bytes stored so far
};

// Announced lengths above this are not taken: no request needs more, and a hostile header
// must not make the receiver allocate at will.
constexpr int32_t IPC_MAX_TOTAL = 65536;

// Sends `length` bytes of `data` on `channel` to the window listening under `className`.
// False when no such window was found (nothing is sent) or the messages could not be
// delivered. A negative length sends only the header.
bool IPC_DataSend(const std::string& className, int32_t channel, const void* data, int32_t length);
// Sends the 4 bytes of `value` on `channel`.
bool IPC_DataSendInt(const std::string& className, int32_t channel, int32_t value);
// Releases the buffer, sets the channel number and makes the record idle.
void IPC_DataReset(QIPCChannel& rec, int32_t channel);
// Offers one received UM_IPCDATA message to the record; returns the record's complete flag.
bool IPC_DataReceive(uint32_t wParam, int32_t lParam, QIPCChannel& rec);
// The record's `total` bytes as a string (empty when total is 0).
void IPC_GetAsString(const QIPCChannel& rec, std::string& text);

}  // namespace kelvora
