#pragma once
// Per-user local sockets standing in for "find a window by its class name and post it a
// message". A window that wants requests from other programs listens under its class name in
// the user's socket folder; a sender connects to that name and writes its messages as records
// of three little-endian 32-bit values (message, wParam, lParam), in order, over one
// connection.
//
// The socket folder is $XDG_RUNTIME_DIR, or when that is unset or not an absolute path (see
// UserDirs.h) a folder "kelvora-<uid>" in the temporary directory ($TMPDIR, else /tmp) that
// must be a real directory owned by the user with mode 0700; socket files are made owner-only
// and connections from other users are refused, so no other user can drive the program.
//
// Class names are made of letters, digits, "_", "-" and "." and do not start with "."; other
// names are never found and cannot be listened under.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvora {

struct LcRecord {
    uint32_t message;
    uint32_t wParam;
    int32_t lParam;
    bool operator==(const LcRecord&) const = default;
};

// Called on the listener's own thread, once per complete record, in the order of arrival.
using LcDeliver = std::function<void(uint32_t message, uint32_t wParam, int32_t lParam)>;

struct LcListener;

// The socket folder (created when it is the private one); "" when no safe folder exists.
std::string LcSocketDir();

// Starts listening under `className`; when a live listener holds that name already, under
// `className` + "-" + process id. A socket file nobody accepts on (left by a program that
// ended without closing) is replaced. nullptr when no name could be taken.
LcListener* LcListen(const std::string& className, LcDeliver deliver);
// The name the listener took ("" for none).
std::string LcListenName(const LcListener* listener);
// Stops the listener's thread (waiting at most 2 s), removes its socket file and frees it;
// the variable becomes null.
void LcClose(LcListener*& listener);

// True when a listener accepts connections under `className`.
bool LcFind(const std::string& className);
// Sends the records in order over one connection. False when no listener was found or the
// records could not all be written within 5 s.
bool LcSend(const std::string& className, const std::vector<LcRecord>& records);

}  // namespace kelvora
