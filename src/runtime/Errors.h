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

// Codes within the groups whose text comes from the table in ErrText. Each is named
// <group without ERR_>_<meaning of its text>, so (ERR_IMG, IMG_DECOMPRESS) reads as the pair it
// raises; ERR_FORMAT shows the ERR_MVI texts and repeats their names. Any code a group does not
// list shows the group's general text; <group>_GENERAL names the first such code. The numbers
// are published pairs (tests, the command line and other programs see them): never renumber.
constexpr int32_t GEN_OUT_OF_RANGE = 1;   // "Out of range."
constexpr int32_t GEN_NOT_SUPPORTED = 2;  // "Not supported."
constexpr int32_t GEN_INVALID_TYPE = 3;   // "Invalid variable type."
constexpr int32_t GEN_GENERAL = 4;

constexpr int32_t MEM_ALLOC = 1;            // "Memory allocation fault."
constexpr int32_t MEM_MANAGER = 2;          // "Memory manager fault."
constexpr int32_t MEM_REALLOC = 3;          // "Memory reallocation fault."
constexpr int32_t MEM_FREE = 4;             // "Memory could not be deallocated."
constexpr int32_t MEM_INVALID_REQUEST = 5;  // "Invalid memory request."
constexpr int32_t MEM_FATAL = 6;            // "Fatal memory manager error."
constexpr int32_t MEM_GENERAL = 7;

constexpr int32_t FILE_OPEN = 1;       // "Cannot open file: " + last name
constexpr int32_t FILE_CREATE = 2;     // "Cannot create file: " + last name
constexpr int32_t FILE_READ = 3;       // "Cannot read from file."
constexpr int32_t FILE_WRITE = 4;      // "Cannot write to file."
constexpr int32_t FILE_SEEK = 5;       // "Cannot seek in file."
constexpr int32_t FILE_DELETE = 6;     // "Cannot delete file: " + last name
constexpr int32_t FILE_APPEND = 7;     // "Cannot append to file: " + last name
constexpr int32_t FILE_CLOSE = 8;      // "Cannot close file."
constexpr int32_t FILE_NOT_EXIST = 9;  // "File not exist."
constexpr int32_t FILE_RENAME = 10;    // "File name change failed."
constexpr int32_t FILE_FATAL = 11;     // "Fatal file manager fault."
constexpr int32_t FILE_GENERAL = 12;

constexpr int32_t IMG_NOT_SUPPORTED = 1;     // "Image format not supported."
constexpr int32_t IMG_INVALID_FORMAT = 2;    // "Invalid image format."
constexpr int32_t IMG_DECOMPRESS = 3;        // "Cannot decompress image data."
constexpr int32_t IMG_BAD_HEADER = 4;        // "Image header invalid."
constexpr int32_t IMG_COMPRESS = 5;          // "Cannot compress image data."
constexpr int32_t IMG_INIT = 6;              // "Cannot initialize image function."
constexpr int32_t IMG_INIT_COMPRESSION = 7;  // "Cannot initialize image compression data."
constexpr int32_t IMG_OPEN = 8;              // "Cannot open image file."
constexpr int32_t IMG_CORRUPT = 9;           // "Image data corrupted."
constexpr int32_t IMG_REALIZE_PALETTE = 10;  // "Cannot realize palette."
constexpr int32_t IMG_CREATE = 11;           // "Cannot create image file."
constexpr int32_t IMG_GENERAL = 12;

constexpr int32_t AUDIO_CONVERT = 1;         // "Audio conversion error."
constexpr int32_t AUDIO_CONVERT_ACM = 2;     // "Audio conversion error (ACM)."
constexpr int32_t AUDIO_CONVERT_WAVE = 3;    // "Audio conversion error (WAVE)."
constexpr int32_t AUDIO_INVALID_FORMAT = 4;  // "Invalid audio format."
constexpr int32_t AUDIO_GENERAL = 5;

constexpr int32_t AVI_READ = 1;           // "Cannot read from AVI file."
constexpr int32_t AVI_WRITE = 2;          // "Cannot write to AVI file."
constexpr int32_t AVI_READ_AUDIO = 3;     // "Cannot read audio data from AVI file."
constexpr int32_t AVI_WRITE_AUDIO = 4;    // "Cannot write audio data to AVI file."
constexpr int32_t AVI_OPEN = 5;           // "Cannot open AVI file."
constexpr int32_t AVI_CREATE = 6;         // "Cannot create AVI file."
constexpr int32_t AVI_INIT_CODEC = 7;     // "Cannot initialize AVI codec."
constexpr int32_t AVI_AUDIO_INVALID = 8;  // "AVI audio stream not valid (...), ignoring audio"
constexpr int32_t AVI_GENERAL = 9;

constexpr int32_t MVI_INVALID_FORMAT = 1;  // "Invalid movie format."
constexpr int32_t MVI_WRITE = 2;           // "Cannot write to movie file."
constexpr int32_t MVI_DECOMPRESS = 3;      // "Cannot decompress movie image data."
constexpr int32_t MVI_COMPRESS = 4;        // "Cannot compress movie image data."
constexpr int32_t MVI_NOT_SUPPORTED = 5;   // "Movie format not supported."
constexpr int32_t MVI_OPEN = 6;            // "Cannot open movie file."
constexpr int32_t MVI_END = 7;             // "End of movie reached."
constexpr int32_t MVI_CREATE = 8;          // "Cannot create movie file."
constexpr int32_t MVI_GENERAL = 9;

constexpr int32_t WAV_OPEN = 1;    // "Cannot open WAV file."
constexpr int32_t WAV_CREATE = 2;  // "Cannot create WAV file."
constexpr int32_t WAV_READ = 3;    // "Cannot read from WAV file."
constexpr int32_t WAV_WRITE = 4;   // "Cannot write to WAV file."
constexpr int32_t WAV_SEEK = 5;    // "Cannot seek in WAV file."
constexpr int32_t WAV_GENERAL = 6;

constexpr int32_t FORMAT_INVALID_FORMAT = MVI_INVALID_FORMAT;
constexpr int32_t FORMAT_WRITE = MVI_WRITE;  // also: a format code without an information routine
constexpr int32_t FORMAT_DECOMPRESS = MVI_DECOMPRESS;
constexpr int32_t FORMAT_COMPRESS = MVI_COMPRESS;
constexpr int32_t FORMAT_NOT_SUPPORTED = MVI_NOT_SUPPORTED;
constexpr int32_t FORMAT_OPEN = MVI_OPEN;
constexpr int32_t FORMAT_END = MVI_END;
constexpr int32_t FORMAT_CREATE = MVI_CREATE;
constexpr int32_t FORMAT_GENERAL = MVI_GENERAL;

constexpr int32_t HAV_END = 1;  // "End of HAV movie reached."
constexpr int32_t HAV_GENERAL = 2;
constexpr int32_t UNI_PROTOCOL = 1;  // "UNI protocol fault."
constexpr int32_t UNI_GENERAL = 2;
constexpr int32_t FLIC_END = 1;  // "End of FLIC movie reached."
constexpr int32_t FLIC_GENERAL = 2;

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

// Where a raise was called from, taken as a defaulted argument (ErrWhere::current()). Not
// std::source_location: clang 14 over libstdc++ 12 has no such type, while both compilers offer
// the builtin.
struct ErrWhere {
    int32_t line;
    static constexpr ErrWhere current(int32_t line = __builtin_LINE()) { return ErrWhere{line}; }
};

// Raises (group, code) at the caller's line and never returns: outside a monitored frame, or
// while the top frame already carries an error, a raise only records it, so this throws EMon
// (with the error's text) itself. For failures that are certain; a result that may be 0 ("raise
// if nonzero") goes to ErrRaiseCode. group and code must both be nonzero (asserted): a zero pair
// records nothing, and the throw would then carry no error.
[[noreturn]] void ErrFail(int32_t group, int32_t code, ErrWhere where = ErrWhere::current());

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
