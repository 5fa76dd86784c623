#include "runtime/Basic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/FileIO.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

struct MemEntry {
    void* block;
    void* owner;
    int32_t size;
    std::string description;
    std::thread::id thread;
    int64_t seq;
};

struct FileSlot {
    int32_t id;
    bool text;
    std::string name;  // at most 255 characters
    int fd;
    FILE* fp;  // text files only
    std::thread::id thread;
    int64_t seq;
};

void CloseSlotQuietly_(const FileSlot& s) {
    if (s.fp)
        std::fclose(s.fp);
    else if (s.fd >= 0)
        ::close(s.fd);
}

// The process-wide register. Its destructor is the end-of-run release.
//
// The block table stays packed in registration order apart from removals, which move the last
// entry into the hole: the release on failure walks it from the end and goes by sequence
// number. Lookups by address go through `memIndex` (block address -> table index), which every
// change of the table keeps in step, so they cost the same with 10,000 live blocks as with
// none. A live address is registered once, so the map needs one index per address.
struct Register {
    std::mutex mu;
    std::vector<MemEntry> mem;
    std::unordered_map<const void*, size_t> memIndex;
    int32_t maxCount = 0;
    int64_t memSeq = 0;
    std::vector<FileSlot> files;
    int32_t nextId = 1;
    int64_t fileSeq = 0;

    Register() {
        mem.reserve(MEM_MAX_BLOCKS);
        memIndex.reserve(MEM_MAX_BLOCKS);
        files.reserve(FILE_MAX_OPEN);
    }
    ~Register() { ReleaseAll(); }

    void ReleaseAll() {
        std::lock_guard<std::mutex> lock(mu);
        for (size_t i = mem.size(); i-- > 0;) std::free(mem[i].block);
        mem.clear();
        memIndex.clear();
        for (size_t i = files.size(); i-- > 0;) CloseSlotQuietly_(files[i]);
        files.clear();
    }

    int FindMem(const void* block) const {
        const auto it = memIndex.find(block);
        return it == memIndex.end() ? -1 : static_cast<int>(it->second);
    }
    // Addresses are unique among live entries, so the entry of a block is the owner's or none.
    int FindMemBy(const void* owner, const void* block) const {
        const int i = FindMem(block);
        return i >= 0 && mem[i].owner == owner ? i : -1;
    }
    int FindFile(int32_t id) const {
        for (size_t i = 0; i < files.size(); ++i)
            if (files[i].id == id) return static_cast<int>(i);
        return -1;
    }
    void AddMem(MemEntry entry) {
        memIndex.emplace(entry.block, mem.size());
        mem.push_back(std::move(entry));
    }
    // The entry at `i` now holds `block` (a resize moved it, or an exchange gave it another).
    void RekeyMem(size_t i, void* block) {
        auto it = memIndex.find(mem[i].block);
        if (it != memIndex.end() && it->second == i) memIndex.erase(it);
        mem[i].block = block;
        memIndex[block] = i;
    }
    void RemoveMemAt(size_t i) {
        memIndex.erase(mem[i].block);
        if (i + 1 != mem.size()) {
            mem[i] = std::move(mem.back());
            memIndex[mem[i].block] = i;
        }
        mem.pop_back();
    }
    void RemoveFileAt(size_t i) {
        if (i + 1 != files.size()) files[i] = std::move(files.back());
        files.pop_back();
    }
};

Register& Reg() {
    static Register r;
    return r;
}

thread_local std::string lastFileName;

// The open file behind an id: its descriptor, or -1 when the id is unknown.
int FdOf_(int32_t id) {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    int i = r.FindFile(id);
    return i < 0 ? -1 : r.files[i].fd;
}

std::string KindLetter_(int32_t kind) {
    return kind == MEM_KIND_S ? "S" : kind == MEM_KIND_N ? "N" : "C";
}

std::string Describe_(int32_t kind, const std::string& name, size_t index, int32_t line) {
    return KindLetter_(kind) + ":" + (name.empty() ? "Handle #" + std::to_string(index) : name) +
           ":" + NumToStr(static_cast<uint32_t>(line), 100);
}

// Registers an open descriptor; code 11 when the table is full.
int32_t AddFileSlot_(int32_t& id, const std::string& name, bool text, int fd, FILE* fp) {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.files.size() >= static_cast<size_t>(FILE_MAX_OPEN)) return FILE_FATAL;
    FileSlot s{r.nextId++, text, name.substr(0, 255), fd, fp, std::this_thread::get_id(),
               r.fileSeq++};
    r.files.push_back(std::move(s));
    id = r.files.back().id;
    return 0;
}

// Removes the slot of `id` and closes it; false when the close failed. Unknown ids: true.
bool CloseById_(int32_t id) {
    FileSlot s{};
    {
        Register& r = Reg();
        std::lock_guard<std::mutex> lock(r.mu);
        int i = r.FindFile(id);
        if (i < 0) return true;
        s = r.files[i];
        r.RemoveFileAt(static_cast<size_t>(i));
    }
    if (s.fp) return std::fclose(s.fp) == 0;
    return ::close(s.fd) == 0;
}

// Reads up to `count` bytes, retrying short reads; the number of bytes that arrived.
int64_t ReadFully_(int fd, void* buffer, int64_t count) {
    auto* p = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::read(fd, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

}  // namespace

// --- Memory ---------------------------------------------------------------------------------

int64_t MemSizing(int64_t size) {
    // nearbyint rounds half to even in the default rounding mode.
    const double scaled = std::nearbyint(static_cast<double>(size) * 1.05);
    if (!(scaled > 0) || scaled > static_cast<double>(INT32_MAX)) return 0;
    const int64_t rounded = (static_cast<int64_t>(scaled) + 3) / 4 * 4;
    return rounded > INT32_MAX ? 0 : rounded;
}

void* MemAllocRaw_(void* owner, void* current, int64_t size, int32_t line, int32_t kind,
                   const std::string& name) {
    void* result = current;
    Monitored([&] {
        int32_t code = 0;
        const int64_t real = MemSizing(size);
        if (real <= 0) {
            code = MEM_INVALID_REQUEST;
        } else {
            Register& r = Reg();
            std::lock_guard<std::mutex> lock(r.mu);
            const int found = current != nullptr && kind != MEM_KIND_N ? r.FindMemBy(owner, current)
                                                                       : -1;
            if (found >= 0) {
                MemEntry& e = r.mem[found];
                void* p;
                if (kind == MEM_KIND_S) {
                    // A string buffer is never resized: a fresh one replaces it.
                    p = std::calloc(static_cast<size_t>(real), 1);
                    if (p) std::free(current);
                } else {
                    p = std::realloc(current, static_cast<size_t>(real));
                    if (p && real > e.size)
                        std::memset(static_cast<uint8_t*>(p) + e.size, 0,
                                    static_cast<size_t>(real - e.size));
                }
                if (!p) {
                    code = MEM_REALLOC;
                } else {
                    r.RekeyMem(static_cast<size_t>(found), p);
                    e.owner = owner;
                    e.size = static_cast<int32_t>(real);
                    e.description = Describe_(kind, name, static_cast<size_t>(found), line);
                    result = p;
                }
            } else if (r.mem.size() >= static_cast<size_t>(MEM_MAX_BLOCKS)) {
                code = MEM_FATAL;
            } else {
                void* p = std::calloc(static_cast<size_t>(real), 1);
                if (!p) {
                    code = MEM_ALLOC;
                } else {
                    const size_t index = r.mem.size();
                    r.AddMem(MemEntry{p, owner, static_cast<int32_t>(real),
                                      Describe_(kind, name, index, line),
                                      std::this_thread::get_id(), r.memSeq++});
                    if (static_cast<int32_t>(r.mem.size()) > r.maxCount)
                        r.maxCount = static_cast<int32_t>(r.mem.size());
                    result = p;
                }
            }
        }
        ErrRaiseCode(ERR_MEM, code, line);
    });
    return result;
}

bool MemFreeRaw_(void* block) {
    WarnClear();
    if (block == nullptr) return false;
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    int i = r.FindMem(block);
    if (i < 0) return false;
    std::free(r.mem[i].block);
    r.RemoveMemAt(static_cast<size_t>(i));
    return true;
}

void MemXchgRaw_(void* a, void* b) {
    bool ok = false;
    {
        Register& r = Reg();
        std::lock_guard<std::mutex> lock(r.mu);
        int ia = a ? r.FindMem(a) : -1;
        int ib = b ? r.FindMem(b) : -1;
        if (ia >= 0 && ib >= 0) {
            void* const blockA = r.mem[ia].block;
            r.RekeyMem(static_cast<size_t>(ia), r.mem[ib].block);
            r.RekeyMem(static_cast<size_t>(ib), blockA);
            std::swap(r.mem[ia].size, r.mem[ib].size);
            ok = true;
        }
    }
    if (!ok) ErrRaise(ERR_MEM, MEM_MANAGER, "Memory manager fault.", __LINE__);
}

void MemSetOwnerRaw_(void* block, void* owner) {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    int i = block ? r.FindMem(block) : -1;
    if (i >= 0) r.mem[i].owner = owner;
}

bool MemIsTracked(const void* block) {
    if (block == nullptr) return false;
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return r.FindMem(block) >= 0;
}

bool MemIsTrackedBy(const void* owner, const void* block) {
    if (block == nullptr) return false;
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return r.FindMemBy(owner, block) >= 0;
}

void MemFreeFrom(int64_t mark) {
    const auto self = std::this_thread::get_id();
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    for (size_t i = r.mem.size(); i-- > 0;) {
        if (r.mem[i].thread == self && r.mem[i].seq >= mark) {
            std::free(r.mem[i].block);
            r.RemoveMemAt(i);
        }
    }
}

int32_t MemCount() {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return static_cast<int32_t>(r.mem.size());
}

int32_t MemMaxCount() {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return r.maxCount;
}

int64_t MemMark() {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return r.memSeq;
}

int32_t MemBlockSize(const void* block) {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    int i = block ? r.FindMem(block) : -1;
    return i < 0 ? 0 : r.mem[i].size;
}

std::string MemBlockDescription(const void* block) {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    int i = block ? r.FindMem(block) : -1;
    return i < 0 ? std::string() : r.mem[i].description;
}

void MemReleaseAll() { Reg().ReleaseAll(); }

// --- Files ----------------------------------------------------------------------------------

int32_t FOpen(int32_t& id, const std::string& name, int32_t mode) {
    lastFileName = name;
    const int access = (mode & FM_READ) ? O_RDONLY : (mode & FM_WRITE) ? O_WRONLY : O_RDWR;
    int32_t code = 0;
    int fd = -1;
    if (mode & FM_CREATE) {
        // Creating always grants write access.
        fd = FileOpenRegular(
            name, ((mode & FM_WRITE) && !(mode & FM_READ) ? O_WRONLY : O_RDWR) | O_CREAT | O_TRUNC);
        if (fd < 0) code = FILE_CREATE;
    } else if (mode & FM_APPEND) {
        fd = FileOpenRegular(name, access);
        if (fd < 0) {
            code = FILE_APPEND;
        } else if (::lseek(fd, 0, SEEK_END) < 0) {
            ::close(fd);
            fd = -1;
            code = FILE_SEEK;
        }
    } else {
        fd = FileOpenRegular(name, access);
        if (fd < 0) code = FILE_OPEN;
    }
    if (code == 0) {
        code = AddFileSlot_(id, name, false, fd, nullptr);
        if (code != 0) ::close(fd);
    }
    if (code != 0) id = BAD_HANDLE;
    ErrRaiseCode(ERR_FILE, code, __LINE__);
    return code;
}

int32_t FRead(int32_t id, void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const int fd = FdOf_(id);
    if (fd < 0) return 0;
    const int32_t code = ReadFully_(fd, buffer, count) == count ? 0 : FILE_READ;
    ErrRaiseCode(ERR_FILE, code, __LINE__);
    return code;
}

bool FReadPart(int32_t id, void* buffer, int32_t count, int32_t& got) {
    got = 0;
    if (count <= 0) return true;
    const int fd = FdOf_(id);
    if (fd < 0) return false;
    got = static_cast<int32_t>(ReadFully_(fd, buffer, count));
    return got == count;
}

int32_t FWrite(int32_t id, const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const int fd = FdOf_(id);
    if (fd < 0) return 0;
    const auto* p = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::write(fd, p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    const int32_t code = done == count ? 0 : FILE_WRITE;
    ErrRaiseCode(ERR_FILE, code, __LINE__);
    return code;
}

int32_t FSeek(int32_t id, int64_t position) {
    const int fd = FdOf_(id);
    if (fd < 0) return 0;
    const int32_t code = (position < 0 || ::lseek(fd, position, SEEK_SET) < 0) ? FILE_SEEK : 0;
    ErrRaiseCode(ERR_FILE, code, __LINE__);
    return code;
}

int64_t FSize(int32_t id) {
    const int fd = FdOf_(id);
    struct stat sb;
    if (fd < 0 || ::fstat(fd, &sb) != 0) return BAD_HANDLE;
    return sb.st_size;
}

int64_t FPos(int32_t id) {
    const int fd = FdOf_(id);
    if (fd < 0) return BAD_HANDLE;
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    return pos < 0 ? BAD_HANDLE : pos;
}

void FClose(int32_t id) {
    WarnClear();
    if (!CloseById_(id)) ErrNote(ERR_FILE, FILE_CLOSE, "Cannot close file.", __LINE__);
}

int32_t TXTOpen(int32_t& id, const std::string& name, int32_t mode) {
    lastFileName = name;
    int32_t code = 0;
    int fd = -1;
    const char* fmode = "r";
    if (mode & FM_CREATE) {
        fd = FileOpenRegular(name, O_WRONLY | O_CREAT | O_TRUNC);
        fmode = "w";
        if (fd < 0) code = FILE_CREATE;
    } else if (mode & FM_APPEND) {
        fd = FileOpenRegular(name, O_WRONLY | O_APPEND);
        fmode = "a";
        if (fd < 0) code = FILE_APPEND;
    } else {
        fd = FileOpenRegular(name, O_RDONLY);
        if (fd < 0) code = FILE_OPEN;
    }
    FILE* fp = nullptr;
    if (code == 0) {
        fp = ::fdopen(fd, fmode);
        if (!fp) {
            ::close(fd);
            code = (mode & FM_CREATE) ? FILE_CREATE : (mode & FM_APPEND) ? FILE_APPEND : FILE_OPEN;
        }
    }
    if (code == 0) {
        code = AddFileSlot_(id, name, true, fd, fp);
        if (code != 0) std::fclose(fp);
    }
    if (code != 0) id = BAD_HANDLE;
    ErrRaiseCode(ERR_FILE, code, __LINE__);
    return code;
}

int32_t TXTWrite(int32_t id, const std::string& line) {
    FILE* fp = nullptr;
    {
        Register& r = Reg();
        std::lock_guard<std::mutex> lock(r.mu);
        int i = r.FindFile(id);
        if (i >= 0) fp = r.files[i].fp;
    }
    if (!fp) return 0;
    const bool ok = std::fwrite(line.data(), 1, line.size(), fp) == line.size() &&
                    std::fwrite("\r\n", 1, 2, fp) == 2;
    const int32_t code = ok ? 0 : FILE_WRITE;
    ErrRaiseCode(ERR_FILE, code, __LINE__);
    return code;
}

void TXTClose(int32_t id) { FClose(id); }

void FCloseFrom(int64_t mark) {
    const auto self = std::this_thread::get_id();
    std::vector<int32_t> ids;
    {
        Register& r = Reg();
        std::lock_guard<std::mutex> lock(r.mu);
        for (size_t i = r.files.size(); i-- > 0;)
            if (r.files[i].thread == self && r.files[i].seq >= mark) ids.push_back(r.files[i].id);
    }
    for (int32_t id : ids) FClose(id);
}

int32_t FileCount() {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return static_cast<int32_t>(r.files.size());
}

int64_t FileMark() {
    Register& r = Reg();
    std::lock_guard<std::mutex> lock(r.mu);
    return r.fileSeq;
}

std::string FLastName() { return lastFileName; }

double FileSizeByName(const std::string& name) {
    struct stat sb;
    if (::stat(name.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return 0;
    return static_cast<double>(sb.st_size);
}

void DiskSpaceKB(const std::string& path, int64_t& total, int64_t& free) {
    total = 0;
    free = 0;
    struct statvfs sv;
    if (::statvfs(path.c_str(), &sv) != 0) return;
    total = static_cast<int64_t>((static_cast<uint64_t>(sv.f_blocks) * sv.f_frsize) >> 10);
    free = static_cast<int64_t>((static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize) >> 10);
}

// --- Helpers --------------------------------------------------------------------------------

void Swap16(uint16_t& x) { x = static_cast<uint16_t>((x >> 8) | (x << 8)); }
void Swap16(int16_t& x) {
    uint16_t u = static_cast<uint16_t>(x);
    Swap16(u);
    x = static_cast<int16_t>(u);
}
void Swap32(uint32_t& x) {
    x = (x >> 24) | ((x >> 8) & 0xFF00u) | ((x << 8) & 0xFF0000u) | (x << 24);
}
void Swap32(int32_t& x) {
    uint32_t u = static_cast<uint32_t>(x);
    Swap32(u);
    x = static_cast<int32_t>(u);
}

void FillBytes(uint8_t value, int64_t count, void* destination) {
    if (count > 0) std::memset(destination, value, static_cast<size_t>(count));
}

void MoveBytes(int64_t count, void* destination, const void* source) {
    if (count >= 1) std::memmove(destination, source, static_cast<size_t>(count));
}

void SwapBytes(int64_t count, void* a, void* b) {
    // In pieces through a small buffer: picture flips exchange whole rows with it.
    auto* pa = static_cast<uint8_t*>(a);
    auto* pb = static_cast<uint8_t*>(b);
    uint8_t piece[512];
    while (count > 0) {
        const size_t n = static_cast<size_t>(count < int64_t{sizeof piece} ? count
                                                                           : int64_t{sizeof piece});
        std::memcpy(piece, pa, n);
        std::memmove(pa, pb, n);
        std::memcpy(pb, piece, n);
        pa += n;
        pb += n;
        count -= static_cast<int64_t>(n);
    }
}

// 0 when equal; at the first differing byte, 1 when a's byte is the smaller, 2 when b's is.
int32_t CompareBytes(int64_t count, const void* a, const void* b) {
    const auto* pa = static_cast<const uint8_t*>(a);
    const auto* pb = static_cast<const uint8_t*>(b);
    for (int64_t i = 0; i < count; ++i)
        if (pa[i] != pb[i]) return pa[i] < pb[i] ? 1 : 2;
    return 0;
}

std::string NumToStr(uint32_t value, int32_t mode) {
    std::string digits = std::to_string(value);
    if (mode >= 200) {
        const size_t width = static_cast<size_t>(mode - 200);
        if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
        return digits;
    }
    size_t width = 0;
    if (mode >= 100) {
        for (int pos = static_cast<int>(digits.size()) - 3; pos > 0; pos -= 3)
            digits.insert(static_cast<size_t>(pos), 1, ',');
        width = static_cast<size_t>(mode - 100);
    } else if (mode >= 1) {
        width = static_cast<size_t>(mode);
    }
    if (digits.size() < width) digits.insert(0, width - digits.size(), ' ');
    return digits;
}

int32_t DigitsToInt(const std::string& text) {
    uint32_t v = 0;
    for (unsigned char c : text) v = v * 10u + static_cast<uint32_t>(c - '0');
    return static_cast<int32_t>(v);
}

int32_t ClampInt(int32_t value, int32_t low, int32_t high) {
    return value < low ? low : value > high ? high : value;
}
double ClampFloat(double value, double low, double high) {
    return value < low ? low : value > high ? high : value;
}
bool SameFloat(double a, double b) { return std::fabs(a - b) <= 0.0001; }
int32_t MinInt(int32_t a, int32_t b) { return a < b ? a : b; }
double MaxFloat(double a, double b) { return a > b ? a : b; }

namespace {
uint32_t TickMs_() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
double NowDays_() {
    using namespace std::chrono;
    const double secs = duration<double>(system_clock::now().time_since_epoch()).count();
    return secs / 86400.0 + 25569.0;  // days since 1899-12-30
}
}  // namespace

void TimerStart(QTimer& timer) {
    timer.startTime = NowDays_();
    timer.startTick = TickMs_();
}

// The elapsed time comes from the monotonic millisecond tick alone: the wall clock can be
// stepped while a movie plays, the tick cannot, and 32-bit wrapping arithmetic keeps the
// difference right across a wrap of the counter.
double TimerElapsed(QTimer& timer) {
    const uint32_t t = TickMs_() - timer.startTick;
    timer.msecs = static_cast<uint16_t>(t % 1000);
    timer.seconds = static_cast<uint16_t>((t / 1000) % 60);
    timer.minutes = static_cast<uint16_t>((t / 60000) % 60);
    timer.hours = static_cast<uint16_t>(t / 3600000);
    timer.elapsed = t * 0.001;
    return timer.elapsed;
}

}  // namespace kelvora
