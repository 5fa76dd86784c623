#pragma once
// Error groups and codes, the last error and last warning, and monitored routine frames.
//
// An error is a pair (group, code); either member 0 means "no error". A monitored routine
// enters a frame (MonPush or MonPushIsolated), runs its body in a protected block whose
// handler calls MonExcept, and always leaves through MonPop. A raise inside the body
// releases every tracked block and file that this thread acquired since the frame was
// entered (Basic), records the last error and throws EMon; the error travels through the
// callers' frames until it reaches an isolated frame (the routine returns normally and its
// caller asks ErrNone/ErrLastText) or leaves the outermost frame as an EMon whose message is
// the error's text. Use Monitored() / MonitoredIsolated() rather than writing the shape out.
//
// The error state and the frame stack are per thread: the window thread and the player's
// worker both run monitored routines, each with its own stack and last error.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelvora {

// Error groups.
constexpr int32_t ERR_LIBRARY = 1;    // text: the stored message from a decoder library
constexpr int32_t ERR_USER = 2;       // text: the stored message made up by the raiser
constexpr int32_t ERR_EXCEPTION = 3;  // text: the description of a caught runtime exception
constexpr int32_t ERR_GEN = 4;
constexpr int32_t ERR_MEM = 5;
constexpr int32_t ERR_FILE = 6;
constexpr int32_t ERR_IMG = 7;
constexpr int32_t ERR_AUDIO = 8;
constexpr int32_t ERR_AVI = 9;
constexpr int32_t ERR_AVIFILE = 10;
constexpr int32_t ERR_VFW = 11;
constexpr int32_t ERR_MVI = 12;
constexpr int32_t ERR_WAV = 13;
constexpr int32_t ERR_FORMAT = 14;
constexpr int32_t ERR_HAV = 15;
constexpr int32_t ERR_UNI = 16;
constexpr int32_t ERR_FLIC = 17;
constexpr int32_t ERR_ACM = 19;
constexpr int32_t ERR_WINMM = 20;

// The code of an error whose text is a free message given at the raise.
constexpr int32_t ERR_MSGONLY = 0x7FFFFFFF;

// Deepest nesting of monitored frames.
constexpr int32_t MON_MAX_DEPTH = 256;

// The exception that carries an error out of a monitored frame; its message is the error's
// text (empty for MonExit).
class EMon : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// --- Text ----------------------------------------------------------------------------------
std::string ErrText(int32_t group, int32_t code);
std::string ErrLastText();
int32_t ErrLastGroup();
int32_t ErrLastCode();
bool ErrNone();

// --- Raising (line is the caller's source line, for diagnostics only) ----------------------
void ErrRaise(int32_t group, int32_t code, const std::string& message, int32_t line);
void ErrRaiseCode(int32_t group, int32_t code, int32_t line);
void ErrRaiseMsg(int32_t group, const std::string& message, int32_t line);
void ErrRaiseMsg0(int32_t group, const std::string& message);

// --- Notes: warnings that do not interrupt --------------------------------------------------
void ErrNote(int32_t group, int32_t code, const std::string& message, int32_t line);
void ErrNoteCode(int32_t group, int32_t code, int32_t line);
void ErrNoteMsg(int32_t group, const std::string& message, int32_t line);
void WarnClear();
int32_t WarnLastGroup();
int32_t WarnLastCode();
std::string WarnLastText();

// --- Frames ---------------------------------------------------------------------------------
void MonPush();
void MonPushIsolated();
void MonIsolateNext();
void MonExcept();  // call only from inside a catch block
void MonPop();
void MonExit();
int32_t MonDepth();

// Shows a fatal message (caption, text) before the program stops. The default writes to
// standard error; the application installs one that shows a message box.
using FatalMessageProc = void (*)(const std::string& caption, const std::string& text);
void MonSetFatalMessageProc(FatalMessageProc proc);

// The fixed shape of a monitored routine: frame, protected body, common handler, pop.
// MonPop throws EMon when the error is to travel on to the caller's frame.
template <class Body>
void Monitored(Body&& body) {
    MonPush();
    try {
        body();
    } catch (...) {
        MonExcept();
    }
    MonPop();
}

// The same with a frame that stops errors: it returns normally and the caller asks ErrNone.
template <class Body>
void MonitoredIsolated(Body&& body) {
    MonPushIsolated();
    try {
        body();
    } catch (...) {
        MonExcept();
    }
    MonPop();
}

}  // namespace kelvora
