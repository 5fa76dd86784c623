#include "platform/AviFile.h"

#include "platform/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace kelvora {

namespace {

// Limits on what a file may claim.
constexpr int64_t kMaxChunkBytes = int64_t{1} << 30;   // one sample's chunk
constexpr int64_t kMaxFormatBytes = int64_t{1} << 20;  // one strf
constexpr size_t kMaxSamples = size_t{1} << 24;        // index entries, all streams together
constexpr int kMaxStreams = 100;                       // "00" to "99"
constexpr size_t kMaxIndexChunks = size_t{1} << 16;    // standard indexes of one stream
constexpr size_t kMaxPalettes = size_t{1} << 16;       // palette changes of one stream
constexpr uint32_t kMaxSampleSize = 1u << 20;          // a larger dwSampleSize reads by chunk
constexpr uint32_t kMaxStart = 1u << 30;               // dwStart
constexpr int64_t kIndexPieceBytes = 64 * 1024;        // index reading goes in pieces this big
constexpr int64_t kCacheBytes = 64 * 1024;             // the window that header reads go through

constexpr uint32_t FCC_AVI = MmioFourCC('A', 'V', 'I', ' ');
constexpr uint32_t FCC_AVIX = MmioFourCC('A', 'V', 'I', 'X');
constexpr uint32_t FCC_hdrl = MmioFourCC('h', 'd', 'r', 'l');
constexpr uint32_t FCC_avih = MmioFourCC('a', 'v', 'i', 'h');
constexpr uint32_t FCC_strl = MmioFourCC('s', 't', 'r', 'l');
constexpr uint32_t FCC_strh = MmioFourCC('s', 't', 'r', 'h');
constexpr uint32_t FCC_strf = MmioFourCC('s', 't', 'r', 'f');
constexpr uint32_t FCC_strn = MmioFourCC('s', 't', 'r', 'n');
constexpr uint32_t FCC_indx = MmioFourCC('i', 'n', 'd', 'x');
constexpr uint32_t FCC_odml = MmioFourCC('o', 'd', 'm', 'l');
constexpr uint32_t FCC_dmlh = MmioFourCC('d', 'm', 'l', 'h');
constexpr uint32_t FCC_movi = MmioFourCC('m', 'o', 'v', 'i');
constexpr uint32_t FCC_rec = MmioFourCC('r', 'e', 'c', ' ');
constexpr uint32_t FCC_idx1 = MmioFourCC('i', 'd', 'x', '1');

constexpr uint8_t AVI_INDEX_OF_INDEXES = 0x00;
constexpr uint8_t AVI_INDEX_OF_CHUNKS = 0x01;

uint64_t U64_(const uint8_t* p) { return uint64_t{RiffU32(p)} | (uint64_t{RiffU32(p + 4)} << 32); }

// The stream number of a chunk id whose first two characters are digits, else -1.
int StreamOf_(uint32_t ckid) {
    const int a = static_cast<int>(ckid & 0xFF) - '0';
    const int b = static_cast<int>((ckid >> 8) & 0xFF) - '0';
    if (a < 0 || a > 9 || b < 0 || b > 9) return -1;
    return a * 10 + b;
}
// The two characters after the stream number.
uint16_t KindOf_(uint32_t ckid) { return static_cast<uint16_t>(ckid >> 16); }
constexpr uint16_t Kind_(char a, char b) {
    return static_cast<uint16_t>(static_cast<uint8_t>(a) | (static_cast<uint8_t>(b) << 8));
}
constexpr uint16_t kKindPalette = Kind_('p', 'c');
constexpr uint16_t kKindIndex = Kind_('i', 'x');

// Reads `count` bytes at `offset`; false unless all of them were read.
bool PreadAll_(int fd, void* out, int64_t count, int64_t offset) {
    auto* dst = static_cast<uint8_t*>(out);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, dst + done, static_cast<size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

struct Sample_ {
    int64_t offset;  // file offset of the chunk's data
    uint32_t size;
    bool key;
};

struct PalChange_ {
    int64_t frame;  // the frame it comes before
    int64_t offset;
    uint32_t size;
};

// The location of a standard index chunk (its header).
struct IndexChunk_ {
    int64_t offset;
};

}  // namespace

// One stream as the headers describe it, with its index.
struct QAviStreamData {
    bool valid = false;  // a strl with a usable strh
    int number = 0;      // its place among the strl lists: the digits of its chunk ids
    uint32_t fccType = 0, fccHandler = 0, flags = 0;
    uint16_t priority = 0, language = 0;
    uint32_t initialFrames = 0, scale = 0, rate = 0, start = 0, headerLength = 0, quality = 0;
    uint32_t sampleSize = 0;  // as used: 0 reads by chunk
    AVIRECT rect{};
    std::vector<uint8_t> format;
    std::string name;
    std::vector<IndexChunk_> odmlIndex;  // standard index chunks the super index names

    std::vector<Sample_> samples;
    std::vector<int64_t> byteStart;  // with a sample size: each chunk's first byte, then the total
    std::vector<int32_t> keys;       // key frame indexes, ascending
    std::vector<PalChange_> palettes;
    uint32_t maxChunk = 0;
    int32_t length = 0;
};

struct QAviFile {
    std::atomic<uint32_t> refs{1};
    int fd = -1;
    int64_t size = 0;
    uint32_t usPerFrame = 0, maxBytesPerSec = 0, flags = 0, totalFrames = 0, width = 0, height = 0;
    uint32_t odmlFrames = 0;
    std::vector<QAviStreamData> streams;
    ~QAviFile() {
        if (fd >= 0) ::close(fd);
    }
};

struct QAviStream {
    std::atomic<uint32_t> refs{1};
    QAviFile* file;
    const QAviStreamData* data;
};

namespace {

// Builds a file's description and index. Every read is bounded by the file's size.
class Parser_ {
public:
    explicit Parser_(QAviFile& f) : f_(f) {}

    int32_t Run() {
        uint8_t h[12];
        if (!Read_(0, h, 12)) return AVIERR_BADFORMAT;
        if (RiffU32(h) != FOURCC_RIFF || RiffU32(h + 8) != FCC_AVI) return AVIERR_BADFORMAT;
        const int64_t declared = int64_t{8} + RiffU32(h + 4);
        int64_t riffEnd = declared;
        if (RiffU32(h + 4) < 4 || riffEnd > f_.size) riffEnd = f_.size;
        ScanRiff_(12, riffEnd, true);
        if (!sawHdrl_ || !sawAvih_) return AVIERR_BADFORMAT;
        if (formatBad_) return AVIERR_BADFORMAT;
        // OpenDML parts follow the first RIFF chunk.
        if (riffEnd == declared) {
            int64_t pos = declared + (declared & 1);
            while (pos + 12 <= f_.size) {
                if (!Read_(pos, h, 12)) break;
                if (RiffU32(h) != FOURCC_RIFF || RiffU32(h + 8) != FCC_AVIX) break;
                const int64_t end = std::min<int64_t>(pos + 8 + RiffU32(h + 4), f_.size);
                ScanRiff_(pos + 12, end, false);
                pos += int64_t{8} + RiffU32(h + 4) + (RiffU32(h + 4) & 1);
            }
        }
        BuildIndex_();
        Finish_();
        return AVIERR_OK;
    }

private:
    struct Movi_ {
        int64_t fcc;  // offset of the "movi" form type
        int64_t end;
    };

    // Reads through a small window for the many little header reads of a parse.
    bool Read_(int64_t offset, void* out, int64_t count) {
        if (offset < 0 || count < 0 || offset > f_.size || count > f_.size - offset) return false;
        if (count > kCacheBytes / 4) return PreadAll_(f_.fd, out, count, offset);
        if (offset < cacheBase_ || offset + count > cacheBase_ + static_cast<int64_t>(cache_.size())) {
            const int64_t len = std::min(kCacheBytes, f_.size - offset);
            cache_.resize(static_cast<size_t>(len));
            cacheBase_ = offset;
            if (!PreadAll_(f_.fd, cache_.data(), len, offset)) {
                cache_.clear();
                return false;
            }
        }
        std::memcpy(out, cache_.data() + (offset - cacheBase_), static_cast<size_t>(count));
        return true;
    }

    // A chunk header at `pos` wholly inside `end`.
    bool Header_(int64_t pos, int64_t end, uint32_t& id, uint32_t& size) {
        uint8_t h[8];
        if (pos + 8 > end || !Read_(pos, h, 8)) return false;
        id = RiffU32(h);
        size = RiffU32(h + 4);
        return true;
    }

    // Walks the chunks of a RIFF chunk's data between `pos` and `end`.
    void ScanRiff_(int64_t pos, int64_t end, bool first) {
        uint32_t id = 0, size = 0;
        while (Header_(pos, end, id, size)) {
            const int64_t data = pos + 8;
            const int64_t dataEnd = std::min<int64_t>(data + size, end);
            if (id == FOURCC_LIST && dataEnd - data >= 4) {
                uint8_t t[4];
                if (!Read_(data, t, 4)) break;
                const uint32_t type = RiffU32(t);
                if (type == FCC_hdrl && first && !sawHdrl_) {
                    sawHdrl_ = true;
                    ParseHdrl_(data + 4, dataEnd);
                } else if (type == FCC_movi) {
                    movi_.push_back({data, dataEnd});
                }
            } else if (id == FCC_idx1 && first && idx1Size_ < 0) {
                idx1Offset_ = data;
                idx1Size_ = (dataEnd - data) / 16 * 16;
            }
            pos = data + size + (size & 1);
        }
    }

    void ParseHdrl_(int64_t pos, int64_t end) {
        uint32_t id = 0, size = 0;
        while (Header_(pos, end, id, size)) {
            const int64_t data = pos + 8;
            const int64_t dataEnd = std::min<int64_t>(data + size, end);
            if (id == FCC_avih && !sawAvih_ && dataEnd - data >= 40) {
                uint8_t a[40];
                if (Read_(data, a, 40)) {
                    sawAvih_ = true;
                    f_.usPerFrame = RiffU32(a);
                    f_.maxBytesPerSec = RiffU32(a + 4);
                    f_.flags = RiffU32(a + 12);
                    f_.totalFrames = RiffU32(a + 16);
                    f_.width = RiffU32(a + 32);
                    f_.height = RiffU32(a + 36);
                }
            } else if (id == FOURCC_LIST && dataEnd - data >= 4) {
                uint8_t t[4];
                if (!Read_(data, t, 4)) break;
                if (RiffU32(t) == FCC_strl && f_.streams.size() < kMaxStreams) {
                    f_.streams.emplace_back();
                    f_.streams.back().number = static_cast<int>(f_.streams.size()) - 1;
                    ParseStrl_(data + 4, dataEnd, f_.streams.back());
                } else if (RiffU32(t) == FCC_odml) {
                    uint32_t cid = 0, csize = 0;
                    uint8_t d[4];
                    if (Header_(data + 4, dataEnd, cid, csize) && cid == FCC_dmlh && csize >= 4 &&
                        data + 16 <= dataEnd && Read_(data + 12, d, 4))
                        f_.odmlFrames = RiffU32(d);
                }
            }
            pos = data + size + (size & 1);
        }
    }

    void ParseStrl_(int64_t pos, int64_t end, QAviStreamData& s) {
        uint32_t id = 0, size = 0;
        while (Header_(pos, end, id, size)) {
            const int64_t data = pos + 8;
            const int64_t avail = std::min<int64_t>(data + size, end) - data;
            if (id == FCC_strh && !s.valid && avail >= 48) {
                uint8_t h[56] = {};
                if (Read_(data, h, std::min<int64_t>(avail, 56))) {
                    s.valid = true;
                    s.fccType = RiffU32(h);
                    s.fccHandler = RiffU32(h + 4);
                    s.flags = RiffU32(h + 8);
                    s.priority = RiffU16(h + 12);
                    s.language = RiffU16(h + 14);
                    s.initialFrames = RiffU32(h + 16);
                    s.scale = RiffU32(h + 20);
                    s.rate = RiffU32(h + 24);
                    s.start = RiffU32(h + 28) <= kMaxStart ? RiffU32(h + 28) : 0;
                    s.headerLength = RiffU32(h + 32);
                    s.quality = RiffU32(h + 40);
                    s.sampleSize = RiffU32(h + 44);
                    if (avail >= 56) {
                        s.rect.left = static_cast<int16_t>(RiffU16(h + 48));
                        s.rect.top = static_cast<int16_t>(RiffU16(h + 50));
                        s.rect.right = static_cast<int16_t>(RiffU16(h + 52));
                        s.rect.bottom = static_cast<int16_t>(RiffU16(h + 54));
                    }
                }
            } else if (id == FCC_strf && s.format.empty()) {
                // The format is handed out as stored: all of it must be there.
                if (size > kMaxFormatBytes || size > avail) {
                    formatBad_ = true;
                } else {
                    s.format.resize(size);
                    if (size > 0 && !Read_(data, s.format.data(), size)) formatBad_ = true;
                }
            } else if (id == FCC_strn && s.name.empty()) {
                char n[64] = {};
                if (Read_(data, n, std::min<int64_t>(avail, 63))) s.name = n;  // stops at a NUL
            } else if (id == FCC_indx && s.odmlIndex.empty()) {
                ParseSuperIndex_(pos, data, avail, s);
            }
            pos = data + size + (size & 1);
        }
    }

    // An "indx" chunk: a super index naming standard index chunks, or (rarely) a standard index
    // itself.
    void ParseSuperIndex_(int64_t chunk, int64_t data, int64_t avail, QAviStreamData& s) {
        uint8_t h[24];
        if (avail < 24 || !Read_(data, h, 24)) return;
        const uint16_t longs = RiffU16(h);
        const uint8_t type = h[3];
        if (type == AVI_INDEX_OF_CHUNKS) {
            s.odmlIndex.push_back({chunk});
            return;
        }
        if (type != AVI_INDEX_OF_INDEXES || longs != 4) return;
        // The standard indexes follow one another through the file; one named twice, or one
        // overlapping the one before, is left out, so that no chunk is indexed twice.
        const int64_t count = std::min<int64_t>(RiffU32(h + 4), (avail - 24) / 16);
        int64_t next = 0;
        for (int64_t i = 0; i < count && s.odmlIndex.size() < kMaxIndexChunks; ++i) {
            uint8_t e[16];
            if (!Read_(data + 24 + i * 16, e, 16)) break;
            const uint64_t off = U64_(e);
            if (off >= static_cast<uint64_t>(f_.size) || static_cast<int64_t>(off) < next) continue;
            uint32_t id = 0, size = 0;
            if (!Header_(static_cast<int64_t>(off), f_.size, id, size)) continue;
            s.odmlIndex.push_back({static_cast<int64_t>(off)});
            next = static_cast<int64_t>(off) + 8 + size;
        }
    }

    bool Room_() const { return total_ < kMaxSamples; }

    // Takes one index entry for stream `s` if its chunk lies inside the file.
    void Add_(QAviStreamData& s, uint16_t kind, int64_t data, int64_t size, bool key) {
        if (kind == kKindIndex) return;
        if (data < 8 || size < 0 || size > kMaxChunkBytes || data > f_.size - size || !Room_())
            return;
        ++total_;
        if (kind == kKindPalette) {
            if (s.palettes.size() >= kMaxPalettes) return;
            s.palettes.push_back(
                {static_cast<int64_t>(s.samples.size()), data, static_cast<uint32_t>(size)});
            return;
        }
        s.samples.push_back({data, static_cast<uint32_t>(size), key});
    }

    // One standard index chunk ("ix##") of stream `s`.
    void ReadStandardIndex_(int64_t chunk, QAviStreamData& s) {
        uint32_t id = 0, size = 0;
        if (!Header_(chunk, f_.size, id, size)) return;
        const int64_t data = chunk + 8;
        const int64_t avail = std::min<int64_t>(size, f_.size - data);
        uint8_t h[24];
        if (avail < 24 || !Read_(data, h, 24)) return;
        const uint16_t longs = RiffU16(h);
        if (h[3] != AVI_INDEX_OF_CHUNKS || longs < 2 || longs > 16) return;
        const int64_t entryBytes = int64_t{4} * longs;
        const uint16_t kind = KindOf_(RiffU32(h + 8));
        const uint64_t base = U64_(h + 12);
        if (base > static_cast<uint64_t>(f_.size)) return;
        const int64_t count = std::min<int64_t>(RiffU32(h + 4), (avail - 24) / entryBytes);
        std::vector<uint8_t> piece;
        const int64_t perPiece = std::max<int64_t>(1, kIndexPieceBytes / entryBytes);
        for (int64_t i = 0; i < count && Room_(); i += perPiece) {
            const int64_t n = std::min(perPiece, count - i);
            piece.resize(static_cast<size_t>(n * entryBytes));
            if (!PreadAll_(f_.fd, piece.data(), n * entryBytes, data + 24 + i * entryBytes)) return;
            for (int64_t k = 0; k < n; ++k) {
                const uint8_t* e = piece.data() + k * entryBytes;
                const uint32_t sz = RiffU32(e + 4);
                Add_(s, kind, static_cast<int64_t>(base) + RiffU32(e), sz & 0x7FFFFFFFu,
                     (sz & 0x80000000u) == 0);
            }
        }
    }

    // The "idx1" index for the streams in `want`; the number of entries it gave.
    size_t ReadIdx1_(const std::vector<bool>& want) {
        const size_t before = total_;
        const int64_t moviFcc = movi_.empty() ? 0 : movi_.front().fcc;
        int64_t base = -1;  // the offsets' origin, decided by the first entry
        std::vector<uint8_t> piece;
        for (int64_t i = 0; i < idx1Size_ && Room_(); i += kIndexPieceBytes) {
            const int64_t n = std::min(kIndexPieceBytes, idx1Size_ - i);
            piece.resize(static_cast<size_t>(n));
            if (!PreadAll_(f_.fd, piece.data(), n, idx1Offset_ + i)) break;
            for (int64_t k = 0; k < n; k += 16) {
                const uint8_t* e = piece.data() + k;
                const uint32_t ckid = RiffU32(e);
                const uint32_t flags = RiffU32(e + 4);
                const int64_t off = RiffU32(e + 8);
                if ((flags & AVIIF_LIST) || ckid == FCC_rec) continue;
                const int sn = StreamOf_(ckid);
                if (sn < 0 || sn >= static_cast<int>(f_.streams.size())) continue;
                if (base < 0) base = Idx1Base_(ckid, off, moviFcc);
                if (!want[static_cast<size_t>(sn)]) continue;
                Add_(f_.streams[static_cast<size_t>(sn)], KindOf_(ckid), base + off + 8,
                     RiffU32(e + 12), (flags & AVIIF_KEYFRAME) != 0);
            }
        }
        return total_ - before;
    }

    // Offsets relative to the movi list when a chunk of that id is found there, else absolute
    // when it is found at the offset itself, else relative.
    int64_t Idx1Base_(uint32_t ckid, int64_t off, int64_t moviFcc) {
        uint32_t id = 0, size = 0;
        if (Header_(moviFcc + off, f_.size, id, size) && id == ckid) return moviFcc;
        if (Header_(off, f_.size, id, size) && id == ckid) return 0;
        return moviFcc;
    }

    // Indexes the streams in `want` from the chunks of the movi lists.
    void Walk_(const std::vector<bool>& want) {
        for (const Movi_& m : movi_) WalkList_(m.fcc + 4, m.end, want, 0);
    }
    void WalkList_(int64_t pos, int64_t end, const std::vector<bool>& want, int depth) {
        uint32_t id = 0, size = 0;
        while (Room_() && Header_(pos, end, id, size)) {
            const int64_t data = pos + 8;
            if (id == FOURCC_LIST) {
                uint8_t t[4];
                if (depth < 2 && size >= 4 && Read_(data, t, 4) && RiffU32(t) == FCC_rec)
                    WalkList_(data + 4, std::min<int64_t>(data + size, end), want, depth + 1);
            } else {
                const int sn = StreamOf_(id);
                if (data + size > end) break;  // a cut chunk ends the list
                if (sn >= 0 && sn < static_cast<int>(f_.streams.size()) &&
                    want[static_cast<size_t>(sn)])
                    Add_(f_.streams[static_cast<size_t>(sn)], KindOf_(id), data, size, true);
            }
            pos = data + size + (size & 1);
        }
    }

    void BuildIndex_() {
        const size_t n = f_.streams.size();
        std::vector<bool> rest(n, false);
        bool any = false;
        for (QAviStreamData& s : f_.streams) {
            if (!s.valid) continue;
            for (const IndexChunk_& c : s.odmlIndex) {
                if (!Room_()) break;
                ReadStandardIndex_(c.offset, s);
            }
            const bool indexed = !s.samples.empty();
            rest[static_cast<size_t>(s.number)] = !indexed;
            any = any || !indexed;
        }
        if (!any) return;
        if (idx1Size_ > 0 && ReadIdx1_(rest) > 0) return;
        Walk_(rest);
    }

    void Finish_() {
        for (QAviStreamData& s : f_.streams) {
            if (!s.valid) continue;
            s.odmlIndex.clear();
            s.odmlIndex.shrink_to_fit();
            if (s.fccType == streamtypeVIDEO || s.sampleSize > kMaxSampleSize) s.sampleSize = 0;
            const bool allKey = s.fccType == streamtypeAUDIO ||
                                std::none_of(s.samples.begin(), s.samples.end(),
                                             [](const Sample_& x) { return x.key; });
            int64_t bytes = 0;
            if (s.sampleSize > 0) s.byteStart.reserve(s.samples.size() + 1);
            for (size_t i = 0; i < s.samples.size(); ++i) {
                Sample_& x = s.samples[i];
                if (allKey) x.key = true;
                if (x.key && s.sampleSize == 0) s.keys.push_back(static_cast<int32_t>(i));
                s.maxChunk = std::max(s.maxChunk, x.size);
                if (s.sampleSize > 0) s.byteStart.push_back(bytes);
                bytes += x.size;
            }
            if (s.sampleSize > 0) s.byteStart.push_back(bytes);
            const int64_t count = s.sampleSize > 0 ? bytes / s.sampleSize
                                                   : static_cast<int64_t>(s.samples.size());
            s.length = static_cast<int32_t>(
                std::min<int64_t>(count, std::numeric_limits<int32_t>::max() - int64_t{s.start}));
        }
    }

    QAviFile& f_;
    std::vector<uint8_t> cache_;
    int64_t cacheBase_ = 0;
    bool sawHdrl_ = false, sawAvih_ = false, formatBad_ = false;
    std::vector<Movi_> movi_;
    int64_t idx1Offset_ = 0, idx1Size_ = -1;
    size_t total_ = 0;
};

// Reads `count` bytes of sample `x` from `within` bytes into its chunk, after checking that the
// chunk header before it belongs to the stream and is big enough.
bool ReadChunk_(const QAviFile& f, const QAviStreamData& s, const Sample_& x, int64_t within,
                uint8_t* out, int64_t count) {
    uint8_t h[8];
    if (within == 0 && count > 0) {
        iovec v[2] = {{h, 8}, {out, static_cast<size_t>(count)}};
        ssize_t n = 0;
        do n = ::preadv(f.fd, v, 2, x.offset - 8);
        while (n < 0 && errno == EINTR);
        if (n != 8 + count) {
            // A short read: finish the plain way.
            if (!PreadAll_(f.fd, h, 8, x.offset - 8) || !PreadAll_(f.fd, out, count, x.offset))
                return false;
        }
    } else {
        if (!PreadAll_(f.fd, h, 8, x.offset - 8)) return false;
        if (count > 0 && !PreadAll_(f.fd, out, count, x.offset + within)) return false;
    }
    return StreamOf_(RiffU32(h)) == s.number && RiffU32(h + 4) >= x.size;
}

int32_t ClampI32_(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

void Put_(int32_t* p, int64_t v) {
    if (p) *p = ClampI32_(v);
}

// Applies the palette changes recorded before frame `index` to the colour table of `fmt`.
bool ApplyPalettes_(const QAviFile& f, const QAviStreamData& s, int64_t index,
                    std::vector<uint8_t>& fmt) {
    if (fmt.size() < 40) return true;
    const uint32_t headerSize = RiffU32(fmt.data());
    if (headerSize < 40 || headerSize > fmt.size()) return true;
    const uint16_t bits = RiffU16(fmt.data() + 14);
    int64_t colours = RiffU32(fmt.data() + 32);
    if (colours == 0 && bits <= 8) colours = int64_t{1} << bits;
    colours = std::min<int64_t>(colours, static_cast<int64_t>(fmt.size() - headerSize) / 4);
    uint8_t* table = fmt.data() + headerSize;
    for (const PalChange_& p : s.palettes) {
        if (p.frame > index) break;
        if (p.size < 4 || p.size > 4 + 256 * 4) continue;
        uint8_t c[4 + 256 * 4];
        if (!PreadAll_(f.fd, c, p.size, p.offset)) return false;
        const int first = c[0];
        const int count = c[1] == 0 ? 256 : c[1];
        if (4 + int64_t{count} * 4 > p.size) continue;
        for (int k = 0; k < count && first + k < colours; ++k) {
            const uint8_t* e = c + 4 + k * 4;      // red, green, blue, flags
            uint8_t* q = table + (first + k) * 4;  // blue, green, red, 0
            q[0] = e[2];
            q[1] = e[1];
            q[2] = e[0];
            q[3] = 0;
        }
    }
    return true;
}

}  // namespace

void AVIFileInit() {}
void AVIFileExit() {}

int32_t AVIFileOpen(PAVIFILE* file, const std::string& fileName, uint32_t mode,
                    const CLSID* /*handler*/) {
    if (!file) return AVIERR_BADPARAM;
    *file = nullptr;
    if (mode & (OF_WRITE | OF_READWRITE | OF_CREATE)) return AVIERR_READONLY;
    struct stat st {};
    const int fd = FileOpenRegular(fileName, O_RDONLY, &st);
    if (fd < 0) return AVIERR_FILEOPEN;
    QAviFile* f = new (std::nothrow) QAviFile;
    if (!f) {
        ::close(fd);
        return AVIERR_MEMORY;
    }
    f->fd = fd;
    f->size = st.st_size;
    int32_t rc = AVIERR_OK;
    try {
        rc = Parser_(*f).Run();
    } catch (const std::bad_alloc&) {
        rc = AVIERR_MEMORY;
    }
    if (rc != AVIERR_OK) {
        delete f;
        return rc;
    }
    *file = f;
    return AVIERR_OK;
}

uint32_t AVIFileAddRef(PAVIFILE file) { return file ? ++file->refs : 0; }

uint32_t AVIFileRelease(PAVIFILE file) {
    if (!file) return 0;
    const uint32_t left = --file->refs;
    if (left == 0) delete file;
    return left;
}

int32_t AVIFileInfo(PAVIFILE file, AVIFILEINFO* info, int32_t size) {
    if (!file) return AVIERR_BADHANDLE;
    if (!info || size < 0) return AVIERR_BADPARAM;
    AVIFILEINFO r{};
    r.dwMaxBytesPerSec = file->maxBytesPerSec;
    r.dwFlags = file->flags;
    r.dwCaps = AVIFILECAPS_CANREAD;
    r.dwWidth = file->width;
    r.dwHeight = file->height;
    r.dwScale = file->usPerFrame;
    r.dwRate = file->usPerFrame ? 1000000 : 0;
    r.dwLength = file->odmlFrames ? file->odmlFrames : file->totalFrames;
    bool video = false;
    for (const QAviStreamData& s : file->streams) {
        if (!s.valid) continue;
        ++r.dwStreams;
        r.dwSuggestedBufferSize = std::max(r.dwSuggestedBufferSize, s.maxChunk);
        if (s.fccType == streamtypeVIDEO && !video) {
            video = true;
            if (s.scale && s.rate) {
                r.dwScale = s.scale;
                r.dwRate = s.rate;
            }
            r.dwLength = static_cast<uint32_t>(s.length);
            if (s.keys.size() == s.samples.size()) r.dwCaps |= AVIFILECAPS_ALLKEYFRAMES;
        }
    }
    std::strncpy(r.szFileType, "AVI", sizeof r.szFileType - 1);
    std::memcpy(info, &r, std::min<size_t>(static_cast<size_t>(size), sizeof r));
    return AVIERR_OK;
}

int32_t AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, uint32_t fccType, int32_t index) {
    if (!stream) return AVIERR_BADPARAM;
    *stream = nullptr;
    if (!file) return AVIERR_BADHANDLE;
    if (index < 0) return AVIERR_NODATA;
    int32_t seen = 0;
    for (const QAviStreamData& s : file->streams) {
        if (!s.valid || (fccType != 0 && s.fccType != fccType)) continue;
        if (seen++ != index) continue;
        QAviStream* p = new (std::nothrow) QAviStream{{1}, file, &s};
        if (!p) return AVIERR_MEMORY;
        AVIFileAddRef(file);
        *stream = p;
        return AVIERR_OK;
    }
    return AVIERR_NODATA;
}

uint32_t AVIStreamAddRef(PAVISTREAM stream) { return stream ? ++stream->refs : 0; }

uint32_t AVIStreamRelease(PAVISTREAM stream) {
    if (!stream) return 0;
    const uint32_t left = --stream->refs;
    if (left == 0) {
        AVIFileRelease(stream->file);
        delete stream;
    }
    return left;
}

int32_t AVIStreamInfo(PAVISTREAM stream, AVISTREAMINFO* info, int32_t size) {
    if (!stream) return AVIERR_BADHANDLE;
    if (!info || size < 0) return AVIERR_BADPARAM;
    const QAviStreamData& s = *stream->data;
    AVISTREAMINFO r{};
    r.fccType = s.fccType;
    r.fccHandler = s.fccHandler;
    r.dwFlags = s.flags;
    r.wPriority = s.priority;
    r.wLanguage = s.language;
    r.dwScale = s.scale;
    r.dwRate = s.rate;
    r.dwStart = s.start;
    r.dwLength = static_cast<uint32_t>(s.length);
    r.dwInitialFrames = s.initialFrames;
    r.dwSuggestedBufferSize = s.sampleSize > 0 ? std::max(s.maxChunk, s.sampleSize) : s.maxChunk;
    r.dwQuality = s.quality;
    r.dwSampleSize = s.sampleSize;
    r.rcFrame = s.rect;
    r.dwFormatChangeCount = static_cast<uint32_t>(s.palettes.size());
    std::strncpy(r.szName, s.name.c_str(), sizeof r.szName - 1);
    std::memcpy(info, &r, std::min<size_t>(static_cast<size_t>(size), sizeof r));
    return AVIERR_OK;
}

int32_t AVIStreamReadFormat(PAVISTREAM stream, int32_t pos, void* format, int32_t* size) {
    if (!stream) return AVIERR_BADHANDLE;
    if (!size) return AVIERR_BADPARAM;
    const QAviStreamData& s = *stream->data;
    const int32_t whole = static_cast<int32_t>(s.format.size());
    if (!format) {
        *size = whole;
        return AVIERR_OK;
    }
    if (*size < 0) return AVIERR_BADPARAM;
    const size_t n = std::min<size_t>(static_cast<size_t>(*size), s.format.size());
    const int64_t index = int64_t{pos} - s.start;
    if (s.fccType == streamtypeVIDEO && !s.palettes.empty() && index >= s.palettes.front().frame) {
        try {
            std::vector<uint8_t> fmt = s.format;
            if (!ApplyPalettes_(*stream->file, s, index, fmt)) return AVIERR_FILEREAD;
            if (n > 0) std::memcpy(format, fmt.data(), n);
        } catch (const std::bad_alloc&) {
            return AVIERR_MEMORY;
        }
    } else if (n > 0) {
        std::memcpy(format, s.format.data(), n);
    }
    *size = whole;
    return AVIERR_OK;
}

int32_t AVIStreamStart(PAVISTREAM stream) {
    return stream ? static_cast<int32_t>(stream->data->start) : -1;
}

int32_t AVIStreamLength(PAVISTREAM stream) { return stream ? stream->data->length : -1; }

int32_t AVIStreamFindSample(PAVISTREAM stream, int32_t pos, int32_t flags) {
    if (!stream) return -1;
    const QAviStreamData& s = *stream->data;
    const int64_t len = s.length;
    int dir = flags & FIND_DIR;
    int type = flags & FIND_TYPE;
    if (type == 0) type = FIND_KEY;
    int64_t i = int64_t{pos} - s.start;
    if (dir & FIND_FROM_START) {
        i = 0;
        dir = FIND_NEXT;
    }
    if (dir == 0) dir = FIND_PREV;
    if (len == 0) return -1;
    const bool next = (dir & FIND_NEXT) != 0;
    if (next) {
        if (i >= len) return -1;
        i = std::max<int64_t>(i, 0);
    } else {
        if (i < 0) return -1;
        i = std::min(i, len - 1);
    }
    if (s.sampleSize == 0) {
        if (type & FIND_KEY) {
            const auto& k = s.keys;
            if (next) {
                auto it = std::lower_bound(k.begin(), k.end(), i);
                if (it == k.end()) return -1;
                i = *it;
            } else {
                auto it = std::upper_bound(k.begin(), k.end(), i);
                if (it == k.begin()) return -1;
                i = *(it - 1);
            }
        } else if (type & FIND_ANY) {
            const int64_t step = next ? 1 : -1;
            while (i >= 0 && i < len && s.samples[static_cast<size_t>(i)].size == 0) i += step;
            if (i < 0 || i >= len) return -1;
        } else if (type & FIND_FORMAT) {
            int64_t found = -1;
            for (const PalChange_& p : s.palettes) {
                if (p.frame >= len) break;
                if (next && p.frame >= i) {
                    found = p.frame;
                    break;
                }
                if (!next && p.frame <= i) found = p.frame;
            }
            if (found < 0) return -1;
            i = found;
        }
    } else if (type & FIND_FORMAT) {
        return -1;
    }
    switch (flags & FIND_RET) {
        case FIND_POS: return ClampI32_(s.start + i);
        case FIND_LENGTH:
        case FIND_SIZE:
            return s.sampleSize > 0 ? static_cast<int32_t>(s.sampleSize)
                                    : static_cast<int32_t>(s.samples[static_cast<size_t>(i)].size);
        case FIND_OFFSET: {
            int64_t off = 0;
            if (s.sampleSize > 0) {
                const int64_t byte = i * s.sampleSize;
                const auto it = std::upper_bound(s.byteStart.begin(), s.byteStart.end(), byte) - 1;
                const size_t c = static_cast<size_t>(it - s.byteStart.begin());
                off = s.samples[c].offset + (byte - *it);
            } else {
                off = s.samples[static_cast<size_t>(i)].offset;
            }
            return off <= std::numeric_limits<int32_t>::max() ? static_cast<int32_t>(off) : -1;
        }
        case FIND_INDEX: return static_cast<int32_t>(i);
        default: return -1;
    }
}

int32_t AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer,
                      int32_t bufferBytes, int32_t* bytesRead, int32_t* samplesRead) {
    Put_(bytesRead, 0);
    Put_(samplesRead, 0);
    if (!stream) return AVIERR_BADHANDLE;
    if (samples < AVISTREAMREAD_CONVENIENT || (buffer && bufferBytes < 0)) return AVIERR_BADPARAM;
    const QAviFile& f = *stream->file;
    const QAviStreamData& s = *stream->data;
    const int64_t i = int64_t{start} - s.start;
    if (i < 0 || i >= s.length) return AVIERR_NODATA;
    auto* out = static_cast<uint8_t*>(buffer);

    if (s.sampleSize == 0) {  // one chunk per sample
        const int64_t want = std::min<int64_t>(samples < 0 ? 1 : samples, s.length - i);
        int64_t bytes = 0, n = 0;
        for (; n < want; ++n) {
            const Sample_& x = s.samples[static_cast<size_t>(i + n)];
            if (out) {
                if (bytes + x.size > bufferBytes) {
                    if (n == 0) return AVIERR_BUFFERTOOSMALL;
                    break;
                }
                if (!ReadChunk_(f, s, x, 0, out + bytes, x.size)) return AVIERR_FILEREAD;
            }
            bytes += x.size;
        }
        Put_(bytesRead, bytes);
        Put_(samplesRead, n);
        return AVIERR_OK;
    }

    // Blocks of dwSampleSize bytes over the stream's bytes, across chunk boundaries.
    const int64_t block = s.sampleSize;
    int64_t byte = i * block;
    auto it = std::upper_bound(s.byteStart.begin(), s.byteStart.end(), byte) - 1;
    size_t c = static_cast<size_t>(it - s.byteStart.begin());
    int64_t n = samples;
    if (samples < 0) n = std::max<int64_t>(1, (s.byteStart[c + 1] - byte) / block);
    n = std::min<int64_t>(n, s.length - i);
    if (out) {
        if (bufferBytes < block) return AVIERR_BUFFERTOOSMALL;
        n = std::min<int64_t>(n, bufferBytes / block);
        int64_t left = n * block;
        uint8_t* dst = out;
        while (left > 0) {
            while (s.byteStart[c + 1] <= byte) ++c;  // steps over empty chunks
            const int64_t within = byte - s.byteStart[c];
            const int64_t take = std::min(left, s.byteStart[c + 1] - byte);
            if (!ReadChunk_(f, s, s.samples[c], within, dst, take)) return AVIERR_FILEREAD;
            dst += take;
            byte += take;
            left -= take;
        }
    }
    Put_(bytesRead, n * block);
    Put_(samplesRead, n);
    return AVIERR_OK;
}

}  // namespace kelvora
