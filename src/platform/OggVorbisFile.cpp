// libvorbisfile declares ov_info, ov_pcm_total, ov_pcm_seek and ov_read in the global
// namespace with other signatures: every call into the library below is written with "::".
#define OV_EXCLUDE_STATIC_CALLBACKS
#include "platform/OggVorbisFile.h"

#include <unistd.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/FileIO.h"

namespace kelvora {

namespace {

constexpr uint64_t kOpenMark = 0x4B564F47564F5242ull;
// Holes in a row that a read skips before it gives up; each one costs the library at least
// one page of the file, so only a file of millions of pages could come near.
constexpr int32_t kMaxHoles = 1 << 20;

// What the state block holds: our notes on the stream and the library's own state. The
// library keeps pointers into its state, so the block must stay where it is while open.
struct State_ {
    uint64_t mark;  // kOpenMark while open; a zero block is a cleared state
    std::FILE* file;
    int32_t channels;
    int32_t rate;
    int32_t links;     // links delivered: those before the first change of format
    int64_t total;     // sample frames of the links delivered, at most INT32_MAX
    int32_t failed;    // the library reported a failure: nothing more is decoded
    int64_t position;  // the next sample frame a read delivers (the library's own count can
                       // run ahead of the samples it still holds after a seek)
    OggVorbis_File vf;
};
static_assert(sizeof(State_) + alignof(State_) - 1 <= OV_STATE_BYTES,
              "the library's state does not fit the state block");

State_* Place_(void* state) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(state);
    const uintptr_t aligned = (at + alignof(State_) - 1) & ~uintptr_t{alignof(State_) - 1};
    return reinterpret_cast<State_*>(aligned);
}

// The open stream in `state`, or null.
State_* Opened_(void* state) {
    if (!state) return nullptr;
    State_* s = std::launder(Place_(state));
    return s->mark == kOpenMark ? s : nullptr;
}

// --- Setup header check ------------------------------------------------------------------
// The library takes a setup header whose codebooks have no dimensions and later divides by
// that count while decoding (a crash, not an error). Each link's setup header is walked here,
// from the same pages the library read it from, before anything of the link is decoded.

constexpr int64_t kMaxHeaderBytes = 16 << 20;  // header pages of one link, cover art included

uint32_t PageCrc_(const uint8_t* page, size_t size) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t byte = (i >= 22 && i < 26) ? 0 : page[i];  // the checksum field counts as 0
        crc = (crc << 8) ^ table[((crc >> 24) ^ byte) & 0xFF];
    }
    return crc;
}

uint32_t Le32_(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The first three packets of logical stream `serial` in `bytes`, reassembled from its pages the
// way the library's page and packet layers do (a damaged page is skipped and the scan resumes
// at the next capture pattern); false when they are not all there or a page is missing.
bool HeaderPackets_(const std::vector<uint8_t>& bytes, uint32_t serial,
                    std::vector<std::vector<uint8_t>>& packets) {
    std::vector<uint8_t> partial;
    bool started = false;
    uint32_t sequence = 0;
    size_t at = 0;
    while (packets.size() < 3 && at + 27 <= bytes.size()) {
        const uint8_t* page = bytes.data() + at;
        size_t size = 0;
        if (std::memcmp(page, "OggS", 4) == 0 && page[4] == 0) {
            const size_t segments = page[26];
            size = 27 + segments;
            if (size <= bytes.size() - at)
                for (size_t i = 0; i < segments; ++i) size += page[27 + i];
            if (size > bytes.size() - at || PageCrc_(page, size) != Le32_(page + 22)) size = 0;
        }
        if (size == 0) {  // no page here: on to the next capture pattern
            const void* next = std::memchr(page + 1, 'O', bytes.size() - at - 1);
            at = next ? static_cast<size_t>(static_cast<const uint8_t*>(next) - bytes.data())
                      : bytes.size();
            continue;
        }
        at += size;
        if (Le32_(page + 14) != serial) continue;
        const uint32_t pageSequence = Le32_(page + 18);
        if (started && pageSequence != sequence + 1) return false;  // a lost header page
        sequence = pageSequence;
        const uint8_t* body = page + 27 + page[26];
        size_t segment = 0;
        if ((page[5] & 1) && partial.empty() && started) {
            // A continuation with nothing to continue: its first packet's tail is dropped.
            while (segment < page[26] && page[27 + segment] == 255) body += page[27 + segment++];
            if (segment < page[26]) body += page[27 + segment++];
        }
        started = true;
        for (; segment < page[26] && packets.size() < 3; ++segment) {
            const uint8_t lace = page[27 + segment];
            partial.insert(partial.end(), body, body + lace);
            body += lace;
            if (lace < 255) {
                packets.push_back(std::move(partial));
                partial.clear();
            }
        }
    }
    return packets.size() == 3;
}

// Reads bits least significant first, as the codec packs them.
struct BitReader_ {
    const std::vector<uint8_t>& data;
    uint64_t position = 0;  // in bits
    bool overrun = false;

    uint32_t Read(int bits) {
        uint32_t value = 0;
        if (position + static_cast<uint64_t>(bits) > uint64_t{data.size()} * 8) {
            overrun = true;
            return 0;
        }
        for (int i = 0; i < bits; ++i, ++position)
            value |= uint32_t{(data[position >> 3] >> (position & 7)) & 1u} << i;
        return value;
    }
    void Skip(uint64_t bits) {
        if (bits > uint64_t{data.size()} * 8 - position)
            overrun = true;
        else
            position += bits;
    }
};

int Bits_(uint64_t value) {
    int bits = 0;
    for (; value; value >>= 1) ++bits;
    return bits;
}

// The largest r with r^dimensions <= entries.
uint64_t Lookup1Values_(uint64_t entries, uint32_t dimensions) {
    const auto fits = [&](uint64_t r) {
        uint64_t acc = 1;
        for (uint32_t d = 0; d < dimensions; ++d)
            if ((acc *= r) > entries) return false;
        return true;
    };
    auto r = static_cast<uint64_t>(std::pow(static_cast<double>(entries), 1.0 / dimensions));
    while (r > 0 && !fits(r)) --r;
    while (fits(r + 1)) ++r;
    return r;
}

// Walks the codebooks of a setup header; false when one has no dimensions or the walk does not
// come out as the library's own parse must have.
bool CodebooksSound_(const std::vector<uint8_t>& setup) {
    if (setup.size() < 8 || setup[0] != 5 || std::memcmp(&setup[1], "vorbis", 6) != 0) return false;
    BitReader_ r{setup};
    r.position = 7 * 8;
    const uint32_t books = r.Read(8) + 1;
    for (uint32_t b = 0; b < books && !r.overrun; ++b) {
        if (r.Read(24) != 0x564342) return false;
        const uint32_t dimensions = r.Read(16);
        const uint32_t entries = r.Read(24);
        if (dimensions == 0 || Bits_(dimensions) + Bits_(entries) > 24) return false;
        if (r.Read(1) == 0) {  // lengths entry by entry, perhaps with unused entries
            const bool sparse = r.Read(1) != 0;
            for (uint32_t e = 0; e < entries && !r.overrun; ++e)
                if (!sparse || r.Read(1)) r.Read(5);
        } else {  // lengths in runs
            for (uint32_t e = 0, length = r.Read(5) + 1; e < entries && !r.overrun; ++length) {
                const uint32_t run = r.Read(Bits_(entries - e));
                if (run > entries - e || length > 32) return false;
                e += run;
            }
        }
        const uint32_t lookup = r.Read(4);
        if (lookup == 1 || lookup == 2) {
            r.Read(32);
            r.Read(32);
            const uint32_t valueBits = r.Read(4) + 1;
            r.Read(1);
            const uint64_t values = lookup == 1 ? Lookup1Values_(entries, dimensions)
                                                : uint64_t{entries} * dimensions;
            r.Skip(values * valueBits);
        } else if (lookup != 0) {
            return false;
        }
    }
    return !r.overrun;
}

// Whether the setup header of link `link` is safe to decode with.
bool LinkSound_(const State_& s, int32_t link) {
    const int64_t from = s.vf.offsets ? s.vf.offsets[link] : -1;
    const int64_t to = s.vf.dataoffsets ? s.vf.dataoffsets[link] : -1;
    if (from < 0 || to <= from || to - from > kMaxHeaderBytes) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(to - from));
    // pread leaves the file position, which the library relies on, where it is.
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(::fileno(s.file), bytes.data() + got, bytes.size() - got,
                                  static_cast<off_t>(from + static_cast<int64_t>(got)));
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    std::vector<std::vector<uint8_t>> packets;
    return HeaderPackets_(bytes, static_cast<uint32_t>(s.vf.serialnos[link]), packets) &&
           CodebooksSound_(packets[2]);
}

// --- Callbacks ------------------------------------------------------------------------------

size_t Read_(void* ptr, size_t size, size_t count, void* source) {
    return std::fread(ptr, size, count, static_cast<std::FILE*>(source));
}
int Seek_(void* source, ogg_int64_t offset, int whence) {
    return ::fseeko(static_cast<std::FILE*>(source), static_cast<off_t>(offset), whence);
}
long Tell_(void* source) { return static_cast<long>(::ftello(static_cast<std::FILE*>(source))); }

// No close routine: the file belongs to this unit, which closes it in ov_clear_2.
const ov_callbacks kCallbacks = {Read_, Seek_, nullptr, Tell_};

int64_t ClampFrames_(int64_t frames) { return std::clamp<int64_t>(frames, 0, INT32_MAX); }

}  // namespace

int32_t ov_open_2(void*& file, const char* name, void* state, const char* initial, long initialBytes) {
    if (Opened_(state)) {
        void* theirs = nullptr;  // the state's own file is closed with it
        ov_clear_2(theirs, state);
    }
    file = nullptr;
    if (!state) return OV_EFAULT;
    State_* s = new (Place_(state)) State_{};
    std::FILE* f = FileOpenRegularRead(name);
    if (!f) return OV_EREAD;
    if (!initial || initialBytes < 0) initialBytes = 0;
    // The initial bytes stand for the start of the file: the library reads on after them.
    if (initialBytes > 0 && ::fseeko(f, static_cast<off_t>(initialBytes), SEEK_SET) != 0) {
        std::fclose(f);
        return OV_EREAD;
    }
    const int opened = ::ov_open_callbacks(f, &s->vf, initial, initialBytes, kCallbacks);
    if (opened < 0) {  // the library has released what it took, but the file is ours
        std::fclose(f);
        std::memset(static_cast<void*>(s), 0, sizeof *s);
        return opened;
    }
    s->mark = kOpenMark;
    s->file = f;
    file = f;

    const vorbis_info* first = ::ov_info(&s->vf, 0);
    if (!first || first->channels < 1 || first->channels > OV_MAX_CHANNELS || first->rate < 1 ||
        first->rate > OV_MAX_RATE) {
        ov_clear_2(file, state);
        return OV_EBADHEADER;
    }
    s->channels = first->channels;
    s->rate = static_cast<int32_t>(first->rate);
    const long links = ::ov_streams(&s->vf);
    if (links < 1 || !s->vf.offsets || !s->vf.dataoffsets || !s->vf.serialnos) {
        ov_clear_2(file, state);
        return OV_EBADHEADER;
    }
    for (long i = 0; i < links; ++i) {
        const vorbis_info* vi = ::ov_info(&s->vf, static_cast<int>(i));
        if (!vi || vi->channels != s->channels || vi->rate != s->rate ||
            !LinkSound_(*s, static_cast<int32_t>(i)))
            break;
        s->links = static_cast<int32_t>(i + 1);
        const int64_t frames = ::ov_pcm_total(&s->vf, static_cast<int>(i));
        if (frames < 0) break;
        s->total = ClampFrames_(s->total + ClampFrames_(frames));
    }
    // The library may leave a chained file at the end of its first link after the open.
    if (s->links == 0 || ::ov_pcm_seek(&s->vf, 0) < 0) {
        ov_clear_2(file, state);
        return OV_EBADHEADER;
    }
    return 0;
}

QOvInfo ov_info(void* state, int32_t link) {
    const State_* s = Opened_(state);
    if (!s || link < -1 || link >= s->links) return QOvInfo{0, 0};
    return QOvInfo{s->channels, s->rate};
}

int64_t ov_pcm_total(void* state, int32_t link) {
    State_* s = Opened_(state);
    if (!s || link < -1 || link >= s->links) return OV_EINVAL;
    if (link == -1) return s->total;
    return ClampFrames_(::ov_pcm_total(&s->vf, link));
}

int64_t ov_pcm_seek(void* state, int64_t position) {
    State_* s = Opened_(state);
    if (!s || s->failed || position < 0 || position > s->total) return OV_EINVAL;
    const int result = ::ov_pcm_seek(&s->vf, position);
    if (result == OV_EINVAL) return result;  // refused before anything moved
    if (result < 0) {
        s->failed = 1;
        return result;
    }
    s->position = position;
    return position;
}

long ov_read(void* state, char* buffer, int32_t bytes, int32_t bigEndian, int32_t wordSize,
             int32_t isSigned, int32_t* stream) {
    State_* s = Opened_(state);
    if (!s || !buffer || (wordSize != 1 && wordSize != 2)) return OV_EINVAL;
    if (s->failed) return 0;
    const int64_t frameBytes = int64_t{s->channels} * wordSize;
    int64_t frames = bytes / frameBytes;
    if (frames < 1) return OV_EINVAL;
    for (int32_t holes = 0; holes < kMaxHoles;) {
        // Nothing past the length delivered: that also keeps a changed link out.
        if (s->position >= s->total) return 0;
        frames = std::min(frames, s->total - s->position);
        int link = 0;
        const long got = ::ov_read(&s->vf, buffer, static_cast<int>(frames * frameBytes), bigEndian,
                                   wordSize, isSigned, &link);
        if (got == OV_HOLE) {  // a lost page: the samples after it follow
            ++holes;
            continue;
        }
        if (got < 0) s->failed = 1;
        if (got <= 0) return got;
        if (link >= s->links) return 0;
        s->position += got / frameBytes;
        if (stream) *stream = link;
        return got;
    }
    return OV_EREAD;
}

void ov_clear_2(void*& file, void* state) {
    if (State_* s = Opened_(state)) {
        ::ov_clear(&s->vf);
        if (s->file && s->file != file) std::fclose(s->file);
        std::memset(static_cast<void*>(s), 0, sizeof *s);
    }
    if (file) std::fclose(static_cast<std::FILE*>(file));
    file = nullptr;
}

}  // namespace kelvora
