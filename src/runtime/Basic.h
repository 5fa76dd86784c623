#pragma once
// Tracked memory blocks and files, and small numeric and timing helpers.
//
// Every heap block and file that the system's own code holds is registered here, so that a
// failing monitored routine (Errors) can release what it acquired and the end of the run can
// release what is left. The register is process-wide behind one mutex. Each entry records the
// thread that registered it and an ever-increasing sequence number; a frame's marks are such
// sequence numbers (MemMark/FileMark), and the release on failure frees only the failing
// thread's entries registered since the frame was entered, so a failure on the player's
// worker never frees what the window thread has just allocated.
//
// The release on failure does not write to the owning variables (they may belong to routines
// that have already returned); a record whose block was released that way is no longer
// valid and must be treated as empty by its owner. The allocator may already have handed the
// released address to a new block of another owner, so a record asks whether the block is
// live *for it*: MemIsTrackedBy(&record.field, record.field). MemIsTracked, by address alone,
// would report such a stale pointer live, and freeing or resizing through it would reach the
// other owner's block.

#include <cstdint>
#include <string>

namespace kelvora {

// The mark of a missing value: file ids, format types, frame numbers, positions, times.
constexpr int32_t BAD_HANDLE = -1357902468;  // 0xAF100D7C

constexpr int32_t MEM_MAX_BLOCKS = 10240;
constexpr int32_t FILE_MAX_OPEN = 64;

// Kinds of _memalloc_ requests.
constexpr int32_t MEM_KIND_S = 1;  // character-string buffer: a fresh buffer on every request
constexpr int32_t MEM_KIND_N = 2;  // always a new block and a new entry
constexpr int32_t MEM_KIND_C = 0;  // create, or resize in place the block the variable holds

// FOpen / TXTOpen mode bits (added together).
constexpr int32_t FM_READ = 1;    // read-only (neither 1 nor 2: read and write)
constexpr int32_t FM_WRITE = 2;   // write-only
constexpr int32_t FM_CREATE = 4;  // create a new empty file, truncating an existing one
constexpr int32_t FM_APPEND = 8;  // open an existing file at its end

// --- Memory ---------------------------------------------------------------------------------

// The size a request of `size` bytes really allocates: round(size * 1.05), ties to even, then
// up to a multiple of 4. 0 or less when the request is invalid.
int64_t MemSizing(int64_t size);

// Untyped core of _memalloc_: `owner` is the address of the variable that holds `current`;
// returns the block to store in it. Raises (ERR_MEM, 1/3/5/6) through a monitored frame.
void* MemAllocRaw_(void* owner, void* current, int64_t size, int32_t line, int32_t kind,
                   const std::string& name);
// Frees the registered block `block`; false when it is not registered.
bool MemFreeRaw_(void* block);
// Exchanges the registrations of two blocks; raises (ERR_MEM, 2) when either is unregistered.
void MemXchgRaw_(void* a, void* b);
// Makes `owner` the registered owner of `block` (the block moved to another variable).
void MemSetOwnerRaw_(void* block, void* owner);

// Allocates or resizes the block that `block` holds (see MEM_KIND_*); `name` names the
// variable ("Unit.Routine.variable") or is empty. New bytes are zero.
template <class T>
void _memalloc_(T*& block, int64_t size, int32_t line, int32_t kind, const std::string& name) {
    block = static_cast<T*>(MemAllocRaw_(static_cast<void*>(&block), static_cast<void*>(block),
                                         size, line, kind, name));
}

template <class T>
void MemAllocNew(T*& block, int64_t size) {
    _memalloc_(block, size, 0, MEM_KIND_N, std::string());
}

// Whether `block` is registered, whoever holds it. For callers without the owning variable
// at hand (a copy of the pointer); the others ask MemIsTrackedBy.
bool MemIsTracked(const void* block);
// Whether `block` is registered with `owner` (the address of the variable holding it) as its
// owner: false for a pointer whose block was released, even when the address now belongs to
// another owner's block, and false for a copy of the pointer.
bool MemIsTrackedBy(const void* owner, const void* block);
// The block `variable` holds when it is still registered to it; otherwise the variable is
// cleared (a failure released its block) and null returned.
template <class T>
T* MemLive(T*& variable) {
    if (!MemIsTrackedBy(&variable, variable)) variable = nullptr;
    return variable;
}

// Releases and unregisters the block the variable holds and sets the variable to null;
// nothing when the block is not registered. The release goes by address: a live address is
// registered once, so the entry found is the one whose owner is this variable whenever that
// entry exists; otherwise it is another owner's, and the release still goes ahead, because
// blocks are handed on through copies (a list built from locals frees its items through the
// list). A variable that may hold a pointer released by a failure checks MemIsTrackedBy first.
template <class T>
void MemFree(T*& block) {
    if (MemFreeRaw_(static_cast<void*>(block))) block = nullptr;
}

// Exchanges the registrations of the blocks two variables hold; the caller then exchanges the
// variables themselves.
template <class A, class B>
void MemXchg(A*& a, B*& b) {
    MemXchgRaw_(static_cast<void*>(a), static_cast<void*>(b));
}

// Frees, highest index first, the calling thread's blocks registered at or after `mark`.
void MemFreeFrom(int64_t mark);
int32_t MemCount();                       // blocks registered now
int32_t MemMaxCount();                    // the highest count reached
int64_t MemMark();                        // the sequence number the next registration will get
int32_t MemBlockSize(const void* block);  // allocated size, 0 when unregistered
std::string MemBlockDescription(const void* block);  // "" when unregistered

// --- Files ----------------------------------------------------------------------------------
// Each operation returns its code (group ERR_FILE) and also raises it, so inside a monitored
// frame a failure throws.

int32_t FOpen(int32_t& id, const std::string& name, int32_t mode);
int32_t FRead(int32_t id, void* buffer, int32_t count);
int32_t FWrite(int32_t id, const void* buffer, int32_t count);
bool FReadPart(int32_t id, void* buffer, int32_t count, int32_t& got);  // never raises
int32_t FSeek(int32_t id, int64_t position);
int64_t FSize(int32_t id);  // BAD_HANDLE for an unknown id
int64_t FPos(int32_t id);   // BAD_HANDLE for an unknown id
void FClose(int32_t id);
int32_t TXTOpen(int32_t& id, const std::string& name, int32_t mode);
int32_t TXTWrite(int32_t id, const std::string& line);  // the text and "\r\n"
void TXTClose(int32_t id);
// Closes, highest slot first, the calling thread's files opened at or after `mark`.
void FCloseFrom(int64_t mark);
int32_t FileCount();
int64_t FileMark();
// The name most recently given to FOpen or TXTOpen on this thread (for the error texts).
std::string FLastName();

// Exact size of a regular file (also above 4 GiB); 0 when it cannot be read.
double FileSizeByName(const std::string& name);
// Total and free space (available to the caller) of the file system holding `path`, in
// units of 1024 bytes; both 0 when it cannot be read.
void DiskSpaceKB(const std::string& path, int64_t& total, int64_t& free);

// Frees every block and closes every file still registered (also run at program end).
void MemReleaseAll();

// --- Helpers --------------------------------------------------------------------------------
void Swap16(uint16_t& x);
void Swap16(int16_t& x);
void Swap32(uint32_t& x);
void Swap32(int32_t& x);
void FillBytes(uint8_t value, int64_t count, void* destination);
void MoveBytes(int64_t count, void* destination, const void* source);
void SwapBytes(int64_t count, void* a, void* b);
// 0 when equal; at the first differing byte, 1 when a's byte is the smaller, 2 when b's is.
int32_t CompareBytes(int64_t count, const void* a, const void* b);
std::string NumToStr(uint32_t value, int32_t mode);
int32_t DigitsToInt(const std::string& text);
int32_t ClampInt(int32_t value, int32_t low, int32_t high);
double ClampFloat(double value, double low, double high);
bool SameFloat(double a, double b);
int32_t MinInt(int32_t a, int32_t b);
double MaxFloat(double a, double b);

// Timer record used by the player and the main window.
// Qt has a class of the same name in the global namespace. Code that sees Qt's headers names
// this record `kelvora::QTimer` and Qt's class `::QTimer`, always, so that neither a using
// directive nor an added include can make a bare `QTimer` mean the other one.
struct QTimer {
    double elapsed;  // seconds
    uint16_t hours;
    uint16_t minutes;
    uint16_t seconds;
    uint16_t msecs;
    double startTime;    // wall-clock start, in days since 1899-12-30
    uint32_t startTick;  // millisecond tick count of the start
};

void TimerStart(QTimer& timer);
double TimerElapsed(QTimer& timer);

}  // namespace kelvora
