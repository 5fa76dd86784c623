#include "runtime/Errors.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "runtime/Basic.h"

namespace kelvora {

namespace {

struct Frame {
    int64_t memMark;
    int64_t fileMark;
    bool inFlight;
    bool isolated;
    int32_t group;
    int32_t code;
};

// One copy per thread. frames[0] is the spare below the outermost frame; frames[depth] is the
// top.
struct ErrorState {
    int32_t lastGroup = 0;
    int32_t lastCode = 0;
    std::string lastMessage;
    int32_t warnGroup = 0;
    int32_t warnCode = 0;
    std::string warnText;
    int32_t depth = 0;
    int32_t unwindCount = 0;
    bool isolateNext = false;
    bool suspended = false;
    bool raising = false;
    Frame frames[MON_MAX_DEPTH + 1] = {};
};

thread_local ErrorState st;

void DefaultFatalMessage_(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

FatalMessageProc fatalMessageProc = DefaultFatalMessage_;

std::string Unsigned_(int32_t v) { return std::to_string(static_cast<uint32_t>(v)); }

std::string MvTexts_(int32_t code) {
    switch (code) {
        case 1: return "Invalid movie format.";
        case 2: return "Cannot write to movie file.";
        case 3: return "Cannot decompress movie image data.";
        case 4: return "Cannot compress movie image data.";
        case 5: return "Movie format not supported.";
        case 6: return "Cannot open movie file.";
        case 7: return "End of movie reached.";
        case 8: return "Cannot create movie file.";
        default: return "General \"MVI\" handling fault.";
    }
}

// Frees this thread's blocks and closes its files registered since the top frame was entered.
void ReleaseTop_() {
    const Frame& f = st.frames[st.depth];
    const bool wasSuspended = st.suspended;
    const bool wasRaising = st.raising;
    st.suspended = true;
    st.raising = true;
    try {
        MemFreeFrom(f.memMark);
        FCloseFrom(f.fileMark);
    } catch (...) {
        // A failure while releasing is swallowed; what is left goes at the end of the run.
    }
    st.suspended = wasSuspended;
    st.raising = wasRaising;
}

std::string CurrentExceptionText_() {
    std::string text;
    try {
        throw;
    } catch (const std::exception& e) {
        text = e.what();
        if (text.empty()) text = typeid(e).name();
    } catch (...) {
        text = "Unknown exception.";
    }
    if (text.size() > 1024) text.resize(1024);
    return text;
}

bool CurrentIsEMon_() {
    try {
        throw;
    } catch (const EMon&) {
        return true;
    } catch (...) {
        return false;
    }
}

void PushFrame_(bool isolated) {
    if (st.suspended) return;
    if (st.depth >= MON_MAX_DEPTH) {
        fatalMessageProc("Error", "Fatal error: internal monitoring overflow.");
        std::exit(EXIT_FAILURE);
    }
    if (st.depth == 0) st.unwindCount = 0;
    Frame& f = st.frames[st.depth + 1];
    f.memMark = MemMark();
    f.fileMark = FileMark();
    f.inFlight = false;
    f.group = 0;
    f.code = 0;
    f.isolated = isolated || st.isolateNext;
    st.depth++;
    st.lastGroup = 0;
    st.lastCode = 0;
    st.warnGroup = 0;
    st.warnCode = 0;
    st.warnText.clear();
    st.isolateNext = false;
}

}  // namespace

std::string ErrText(int32_t group, int32_t code) {
    if (group == 0 || code == 0) return "No errors.";
    switch (group) {
        case ERR_LIBRARY:
        case ERR_USER:
        case ERR_EXCEPTION: return st.lastMessage;
        case ERR_GEN:
            switch (code) {
                case 1: return "Out of range.";
                case 2: return "Not supported.";
                case 3: return "Invalid variable type.";
                default: return "General \"GEN\" error.";
            }
        case ERR_MEM:
            switch (code) {
                case 1: return "Memory allocation fault.";
                case 2: return "Memory manager fault.";
                case 3: return "Memory reallocation fault.";
                case 4: return "Memory could not be deallocated.";
                case 5: return "Invalid memory request.";
                case 6: return "Fatal memory manager error.";
                default: return "General memory fault.";
            }
        case ERR_FILE:
            switch (code) {
                case 1: return "Cannot open file: " + FLastName();
                case 2: return "Cannot create file: " + FLastName();
                case 3: return "Cannot read from file.";
                case 4: return "Cannot write to file.";
                case 5: return "Cannot seek in file.";
                case 6: return "Cannot delete file: " + FLastName();
                case 7: return "Cannot append to file: " + FLastName();
                case 8: return "Cannot close file.";
                case 9: return "File not exist.";
                case 10: return "File name change failed.";
                case 11: return "Fatal file manager fault.";
                default: return "General file handling fault.";
            }
        case ERR_IMG:
            switch (code) {
                case 1: return "Image format not supported.";
                case 2: return "Invalid image format.";
                case 3: return "Cannot decompress image data.";
                case 4: return "Image header invalid.";
                case 5: return "Cannot compress image data.";
                case 6: return "Cannot initialize image function.";
                case 7: return "Cannot initialize image compression data.";
                case 8: return "Cannot open image file.";
                case 9: return "Image data corrupted.";
                case 10: return "Cannot realize palette.";
                case 11: return "Cannot create image file.";
                default: return "General image handling fault.";
            }
        case ERR_AUDIO:
            switch (code) {
                case 1: return "Audio conversion error.";
                case 2: return "Audio conversion error (ACM).";
                case 3: return "Audio conversion error (WAVE).";
                case 4: return "Invalid audio format.";
                default: return "General audio handling fault.";
            }
        case ERR_AVI:
            switch (code) {
                case 1: return "Cannot read from AVI file.";
                case 2: return "Cannot write to AVI file.";
                case 3: return "Cannot read audio data from AVI file.";
                case 4: return "Cannot write audio data to AVI file.";
                case 5: return "Cannot open AVI file.";
                case 6: return "Cannot create AVI file.";
                case 7: return "Cannot initialize AVI codec.";
                case 8:
                    return "AVI audio stream not valid (decompressor not found?), ignoring audio";
                default: return "General AVI handling fault.";
            }
        case ERR_AVIFILE: return "AVI subsystem malfunction: " + Unsigned_(code);
        case ERR_VFW: return "Video For Windows malfunction: " + Unsigned_(code);
        case ERR_MVI:
        case ERR_FORMAT: return MvTexts_(code);
        case ERR_WAV:
            switch (code) {
                case 1: return "Cannot open WAV file.";
                case 2: return "Cannot create WAV file.";
                case 3: return "Cannot read from WAV file.";
                case 4: return "Cannot write to WAV file.";
                case 5: return "Cannot seek in WAV file.";
                default: return "general \"WAV\" handling fault.";
            }
        case ERR_HAV:
            return code == 1 ? "End of HAV movie reached." : "General \"HAV\" handling fault.";
        case ERR_UNI: return code == 1 ? "UNI protocol fault." : "General \"UNI\" handling fault.";
        case ERR_FLIC:
            return code == 1 ? "End of FLIC movie reached." : "General \"FLIC\" handling fault.";
        case ERR_ACM: return "Fatal error in Audio Compression Manager: " + Unsigned_(code);
        case ERR_WINMM: return "Fatal error in Win-MM: " + Unsigned_(code);
        default: return "Undefined error: " + Unsigned_(group) + ":" + Unsigned_(code);
    }
}

std::string ErrLastText() { return ErrText(st.lastGroup, st.lastCode); }
int32_t ErrLastGroup() { return st.lastGroup; }
int32_t ErrLastCode() { return st.lastCode; }
bool ErrNone() { return st.lastGroup == 0 && st.lastCode == 0; }

void ErrRaise(int32_t group, int32_t code, const std::string& message, int32_t /*line*/) {
    if (st.raising) return;
    if (group == 0 || code == 0) return;
    st.lastGroup = group;
    st.lastCode = code;
    if (!message.empty()) st.lastMessage = message;
    if (st.depth == 0) return;
    Frame& top = st.frames[st.depth];
    if (top.inFlight) return;
    top.group = group;
    top.code = code;
    ReleaseTop_();
    top.inFlight = true;
    throw EMon(ErrText(group, code));
}

void ErrRaiseCode(int32_t group, int32_t code, int32_t line) {
    ErrRaise(group, code, std::string(), line);
}
void ErrRaiseMsg(int32_t group, const std::string& message, int32_t line) {
    ErrRaise(group, ERR_MSGONLY, message, line);
}
void ErrRaiseMsg0(int32_t group, const std::string& message) {
    ErrRaise(group, ERR_MSGONLY, message, 0);
}

void ErrFail(int32_t group, int32_t code, ErrWhere where) {
    assert(group != 0 && code != 0 && "ErrFail needs a real error; use ErrRaiseCode for a result");
    ErrRaiseCode(group, code, where.line);
    throw EMon(ErrText(group, code));
}

void ErrNote(int32_t group, int32_t code, const std::string& message, int32_t /*line*/) {
    if (group != 0 && code != 0) {
        st.warnGroup = group;
        st.warnCode = code;
        if (!message.empty()) st.warnText = message;
    } else {
        WarnClear();
    }
}
void ErrNoteCode(int32_t group, int32_t code, int32_t line) {
    ErrNote(group, code, std::string(), line);
}
void ErrNoteMsg(int32_t group, const std::string& message, int32_t line) {
    ErrNote(group, ERR_MSGONLY, message, line);
}
void WarnClear() {
    st.warnGroup = 0;
    st.warnCode = 0;
    st.warnText.clear();
}
int32_t WarnLastGroup() { return st.warnGroup; }
int32_t WarnLastCode() { return st.warnCode; }
std::string WarnLastText() { return st.warnText; }

void MonPush() { PushFrame_(false); }
void MonPushIsolated() { PushFrame_(true); }
void MonIsolateNext() { st.isolateNext = true; }

void MonExcept() {
    if (st.suspended) return;
    st.unwindCount++;
    if (st.depth == 0) return;
    Frame& top = st.frames[st.depth];
    // An EMon comes from a raise, a pop or an exit that has already recorded its error (or
    // none); any other exception is a runtime fault and is recorded here, even when an
    // earlier isolated call left a last error behind.
    if (top.inFlight || CurrentIsEMon_()) return;
    const std::string text = CurrentExceptionText_();
    ReleaseTop_();
    st.lastGroup = ERR_EXCEPTION;
    st.lastCode = ERR_MSGONLY;
    st.lastMessage = text;
    top.group = ERR_EXCEPTION;
    top.code = ERR_MSGONLY;
    top.inFlight = true;
}

void MonPop() {
    if (st.suspended || st.depth == 0) return;
    if (st.unwindCount > 1) {
        // The handler ran in frames that were left without their pop: fold them.
        const int32_t target = st.depth - st.unwindCount + 1;
        if (target >= 1) {
            st.frames[target].group = st.frames[st.depth].group;
            st.frames[target].code = st.frames[st.depth].code;
            st.depth = target;
        }
    }
    Frame popped = st.frames[st.depth];
    if (popped.group != 0 && popped.code != 0) ReleaseTop_();
    st.depth--;
    st.unwindCount = 0;
    st.lastGroup = popped.group;
    st.lastCode = popped.code;
    if (popped.isolated) return;
    Frame& caller = st.frames[st.depth];
    caller.group = popped.group;
    caller.code = popped.code;
    const bool carriesError = popped.group != 0 && popped.code != 0;
    if (carriesError) {
        caller.inFlight = popped.inFlight;
        if (popped.inFlight) throw EMon(ErrText(popped.group, popped.code));
    }
}

void MonExit() {
    if (st.suspended) return;
    st.frames[st.depth].inFlight = true;
    throw EMon(std::string());
}

int32_t MonDepth() { return st.depth; }

void MonSetFatalMessageProc(FatalMessageProc proc) {
    fatalMessageProc = proc ? proc : DefaultFatalMessage_;
}

}  // namespace kelvora
