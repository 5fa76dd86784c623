#include "formats/FF_GIF.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr uint8_t kExtension = 0x21;
constexpr uint8_t kGceLabel = 0xF9;
constexpr uint8_t kSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr int32_t kHeaderBytes = 13;
constexpr int32_t kGceBytes = 8;
constexpr int32_t kDescBytes = 10;
constexpr int32_t kFirstOnlyBuffer = 4096;
constexpr int32_t kLoadBuffer = 4096;  // first fill when loading a frame: its header and colour table
constexpr int32_t kLzwCodes = 4096;
constexpr int32_t kLzwMaxBits = 12;
constexpr int32_t kMaxFrameData = 1 << 30;

// --- Open cache ---------------------------------------------------------------------------------

// The last GIF scanned for animation: enough to open it again without a scan. Guarded by
// CacheMutex_(); the frame starts are a plain copy, each handle gets its own tracked table.
struct GifCache_ {
    bool valid = false;
    std::string name;
    int64_t size = 0;
    int64_t stamp = 0;  // modification time in nanoseconds
    uint8_t header[kHeaderBytes] = {};
    QBGR globalPal[256] = {};
    int32_t frames = 0;
    double frameRate = 0;
    int32_t sequential = 0;
    std::vector<int32_t> starts;
};

std::mutex& CacheMutex_() {
    static std::mutex mutex;
    return mutex;
}

GifCache_& Cache_() {
    static GifCache_ cache;
    return cache;
}

bool FileStamp_(const std::string& name, int64_t& stamp) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return false;
    stamp = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

// --- Buffered reading ---------------------------------------------------------------------------

// At least n unread bytes at hand, without taking them; false when the window ends first.
bool Need_(QGifHandle& h, int32_t n) { return BrFill(h.src, n) >= n; }

// Passes over data sub-blocks up to and including the zero-length one.
bool SkipSubBlocks_(QGifHandle& h) {
    for (;;) {
        if (!Need_(h, 1)) return false;
        const int32_t n = BrHere(h.src)[0];
        if (!Need_(h, 1 + n)) return false;
        BrSkip(h.src, 1 + n);
        if (n == 0) return true;
    }
}

int32_t TableEntries_(uint8_t packed) { return 2 << (packed & 7); }

// The start of frame k, or -1 when the table does not hold it.
int64_t FramePos_(const QGifHandle& h, int32_t k) {
    if (k < 0 || k >= h.frames || k / GIF_FPOS_PER_BLOCK >= h.fposBlocks) return -1;
    return h.fposBlk[k / GIF_FPOS_PER_BLOCK][k % GIF_FPOS_PER_BLOCK];
}

// A frame that covers the whole screen (larger ones are clipped) and is opaque draws every pixel
// itself; any other frame shows part of the picture before it.
bool Covers_(const QGifHandle& h, const QGifImgDesc& d) {
    return d.left == 0 && d.top == 0 && d.width >= h.width && d.height >= h.height;
}
bool Transparent_(const QGifGCE& gce) { return (gce.packed & 1) != 0; }

// --- Open ---------------------------------------------------------------------------------------

// Clears a handle: after its close, or after a failed open, whose failure has released (or will
// release) what the open acquired, so nothing is freed here.
void Forget_(QGifHandle& h) {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    h.fileId = BAD_HANDLE;
}

// Reads the header, the logical screen descriptor and the global colour table; returns the
// offset of the blocks after them.
int64_t ReadHeader_(QGifHandle& h, uint8_t* raw) {
    int32_t got = 0;
    FReadPart(h.fileId, raw, kHeaderBytes, got);
    QByteReader r = ByteReader(raw, got);
    const uint8_t* signature = BrTake(r, 6);
    h.width = BrU16LE(r);
    h.height = BrU16LE(r);
    const uint8_t packed = BrU8(r);
    const uint8_t background = BrU8(r);
    if (r.overrun ||
        (std::memcmp(signature, "GIF87a", 6) != 0 && std::memcmp(signature, "GIF89a", 6) != 0) ||
        !FFSaneGeometry(h.width, h.height, 8))
        ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
    h.bgIndex = -1;
    if (packed & 0x80) {
        const int32_t entries = TableEntries_(packed);
        uint8_t table[768];
        if (!FReadPart(h.fileId, table, 3 * entries, got)) ErrFail(ERR_IMG, IMG_INVALID_FORMAT);
        ImgRowTo24(true, 3, entries, reinterpret_cast<uint8_t*>(h.globalPal), table);
        h.bgIndex = background;
    }
    return kHeaderBytes + ((packed & 0x80) ? 3 * TableEntries_(packed) : 0);
}

bool TakeCached_(QGifHandle& h, const std::string& name, int64_t stamp, const uint8_t* raw) {
    std::vector<int32_t> starts;
    {
        std::lock_guard<std::mutex> lock(CacheMutex_());
        const GifCache_& c = Cache_();
        if (!c.valid || c.name != name || c.size != h.fileSize || c.stamp != stamp ||
            std::memcmp(c.header, raw, kHeaderBytes) != 0 ||
            std::memcmp(c.globalPal, h.globalPal, sizeof h.globalPal) != 0)
            return false;
        h.frameRate = c.frameRate;
        h.sequential = c.sequential;
        starts = c.starts;
    }
    for (size_t i = 0; i < starts.size(); ++i)
        GIFChk4ImgFPos_(h, static_cast<int32_t>(i), starts[i]);
    h.frames = static_cast<int32_t>(starts.size());
    return true;
}

void StoreCache_(const QGifHandle& h, const std::string& name, int64_t stamp, const uint8_t* raw) {
    std::vector<int32_t> starts(static_cast<size_t>(h.frames));
    for (int32_t k = 0; k < h.frames; ++k) starts[k] = static_cast<int32_t>(FramePos_(h, k));
    std::lock_guard<std::mutex> lock(CacheMutex_());
    GifCache_& c = Cache_();
    c.valid = true;
    c.name = name;
    c.size = h.fileSize;
    c.stamp = stamp;
    std::memcpy(c.header, raw, kHeaderBytes);
    std::memcpy(c.globalPal, h.globalPal, sizeof c.globalPal);
    c.frameRate = h.frameRate;
    c.sequential = h.sequential;
    c.starts = std::move(starts);
}

// Hops from frame header to frame header over the sub-blocks, decoding nothing. A damaged tail
// ends the scan with the frames found before it.
void Scan_(QGifHandle& h) {
    int64_t totalDelay = 0;
    QGifGCE gce;
    QGifImgDesc d;
    int64_t start = 0;
    while (h.frames < GIF_MAX_FRAMES && GIFGetImgHdr_(h, gce, d, h.frames, start) &&
           start <= INT32_MAX) {
        if ((d.packed & 0x80) && !BrTake(h.src, 3 * TableEntries_(d.packed))) break;
        if (!BrTake(h.src, 1)) break;  // LZW minimum code size
        if (!SkipSubBlocks_(h)) break;
        GIFChk4ImgFPos_(h, h.frames, start);
        totalDelay += gce.delay;
        if (h.frames > 0 && (!Covers_(h, d) || Transparent_(gce))) h.sequential = -1;
        ++h.frames;
        if (!Need_(h, 1) || BrHere(h.src)[0] == kTrailer) break;
    }
    h.frameRate = totalDelay > 0 ? h.frames * 100.0 / static_cast<double>(totalDelay) : 0;
}

void Open_(QGifHandle& h, const std::string& fileName, bool firstOnly) {
    Forget_(h);
    h.bytesPP = 1;
    h.bitsPP = 8;
    FOpen(h.fileId, fileName, FM_READ);
    h.fileSize = FSize(h.fileId);
    uint8_t raw[kHeaderBytes];
    const int64_t blocks = ReadHeader_(h, raw);
    int64_t stamp = 0;
    const bool stamped = !firstOnly && FileStamp_(fileName, stamp);
    if (stamped && TakeCached_(h, fileName, stamp, raw)) return;

    BrOpenFile(h.src, h.fileId, blocks, h.fileSize, firstOnly ? kFirstOnlyBuffer : GIF_SCAN_BUFFER,
               "FF_GIF.GIFOpen.GIFCmpsBuf");
    if (firstOnly) {
        QGifGCE gce;
        QGifImgDesc d;
        int64_t start = 0;
        if (GIFGetImgHdr_(h, gce, d, 0, start) && start <= INT32_MAX) {
            GIFChk4ImgFPos_(h, 0, start);
            h.frames = 1;
            h.frameRate = gce.delay != 0 ? 100 / gce.delay : 0;
        }
    } else {
        Scan_(h);
    }
    BrClose(h.src);
    if (stamped) StoreCache_(h, fileName, stamp, raw);
}

// --- Decoding -----------------------------------------------------------------------------------

// The LZW string table: where each code's string was last written in the output, and its length.
struct LzwTables_ {
    int32_t offset[kLzwCodes];
    uint16_t length[kLzwCodes];
};

// Takes the sub-block length bytes out of the image data in place; returns the bytes of the
// joined stream (a block cut off by the end of the buffer gives what it holds).
int64_t Unblock_(uint8_t* p, int64_t n) {
    int64_t src = 0;
    int64_t dst = 0;
    while (src < n) {
        const int64_t declared = p[src++];
        const int64_t len = std::min(declared, n - src);
        if (len == 0) break;
        std::memmove(p + dst, p + src, static_cast<size_t>(len));
        dst += len;
        src += len;
    }
    return dst;
}

// Decodes a GIF LZW stream (least significant bit first, codes growing from minSize + 1 to 12
// bits) into `total` bytes at `out`. Stops at the end code, at the end of the data or when the
// output is full; false on a code that is not defined yet. The output is only ever written
// forwards, so each code's string is copied from where it was last written: a new code is the
// previous string and the first byte after it, which is where they stand in the output.
bool GifLzw_(const uint8_t* data, int64_t bytes, int32_t minSize, uint8_t* out, int64_t total,
             LzwTables_& t) {
    const int32_t clear = 1 << minSize;
    const int32_t endCode = clear + 1;
    int32_t size = minSize + 1;
    int32_t next = clear + 2;
    int32_t prev = -1;
    int64_t pos = 0;
    int64_t prevPos = 0;
    uint64_t acc = 0;
    int32_t bits = 0;
    const uint8_t* p = data;
    const uint8_t* const end = data + bytes;
    while (pos < total) {
        if (bits < size) {
            while (bits <= 56 && p < end) {
                acc |= uint64_t{*p++} << bits;
                bits += 8;
            }
            if (bits < size) break;
        }
        const int32_t code = static_cast<int32_t>(acc & ((1u << size) - 1));
        acc >>= size;
        bits -= size;
        if (code == clear) {
            size = minSize + 1;
            next = clear + 2;
            prev = -1;
            continue;
        }
        if (code == endCode) break;
        if (code < clear) {
            out[pos] = static_cast<uint8_t>(code);
        } else {
            // The first code after a clear is a plain byte; later ones are defined or the next.
            if (prev < 0 || code > next || code == kLzwCodes) return false;
            if (code == next) {  // the previous string and its own first byte
                t.offset[next] = static_cast<int32_t>(prevPos);
                t.length[next] = static_cast<uint16_t>((prev < clear ? 1 : t.length[prev]) + 1);
            }
            const int64_t n = std::min<int64_t>(t.length[code], total - pos);
            const uint8_t* src = out + t.offset[code];
            uint8_t* dst = out + pos;
            if (src + n <= dst) {
                std::memcpy(dst, src, static_cast<size_t>(n));
            } else {
                for (int64_t i = 0; i < n; ++i) dst[i] = src[i];
            }
        }
        if (prev >= 0 && next < kLzwCodes) {
            if (code != next) {
                t.offset[next] = static_cast<int32_t>(prevPos);
                t.length[next] = static_cast<uint16_t>((prev < clear ? 1 : t.length[prev]) + 1);
            }
            if (++next == (1 << size) && size < kLzwMaxBits) ++size;
        }
        prevPos = pos;
        pos += code < clear ? 1 : t.length[code];
        prev = code;
    }
    return true;
}

bool HoldsScreen_(const QGifHandle& h, const Qimg& image) {
    return ImgValid(image) && image.width == h.width && image.height == h.height &&
           image.bitsPP == 8 && image.size >= int64_t{h.width} * h.height;
}

// A frame's rectangle clipped to the screen (empty when it lies outside).
void ClipToScreen_(const QGifHandle& h, const QGifImgDesc& d, int32_t& x, int32_t& y, int32_t& w,
                   int32_t& hgt) {
    x = std::min<int32_t>(d.left, h.width);
    y = std::min<int32_t>(d.top, h.height);
    w = std::min<int32_t>(d.width, h.width - x);
    hgt = std::min<int32_t>(d.height, h.height - y);
    if (w <= 0 || hgt <= 0) w = hgt = 0;
}

// Adds `sign` times the pixels of a rectangle of the picture (clipped to it) to the use counts:
// taken off before the rectangle is written, put back after.
void CountWin_(QGifHandle& h, const Qimg& image, int32_t x, int32_t y, int32_t w, int32_t hgt,
               int64_t sign) {
    if (x < 0 || y < 0 || x >= image.width || y >= image.height || w <= 0 || hgt <= 0) return;
    w = std::min(w, image.width - x);
    hgt = std::min(hgt, image.height - y);
    int64_t count[256] = {};
    for (int32_t r = 0; r < hgt; ++r) {
        const uint8_t* row = image.data + int64_t{y + r} * image.width + x;
        for (int32_t c = 0; c < w; ++c) ++count[row[c]];
    }
    for (int32_t i = 0; i < 256; ++i) h.useCount[i] += sign * count[i];
}

// Lets the picture show `n` pixels given as indices into `palette` in their own colours, without
// changing the colour of any index the picture uses: each colour is found in the picture's
// palette (claiming the entry), or put into an unused entry, its own index first (the nearest
// colour when none is left). The pixels are
// rewritten to the picture's indices, pixels equal to `key` (-1: none) to an index that no
// other pixel gets; returns that index.
int32_t MergePalette_(const QGifHandle& h, Qimg& image, const QBGR* palette, uint8_t* pixels,
                      int64_t n, int32_t key) {
    QBGR* const own = image.palette;
    if (std::memcmp(own, palette, sizeof image.palette) == 0) return key;
    bool needed[256] = {};
    for (int64_t i = 0; i < n; ++i) needed[pixels[i]] = true;
    if (key >= 0) needed[key] = false;
    auto same = [](const QBGR& a, const QBGR& b) {
        return a.blue == b.blue && a.green == b.green && a.red == b.red;
    };
    // Usually every colour the pixels use already sits at their index.
    bool agree = true;
    for (int32_t i = 0; i < 256 && agree; ++i) agree = !needed[i] || same(own[i], palette[i]);
    if (agree) return key;
    bool used[256];
    for (int32_t i = 0; i < 256; ++i) used[i] = h.useCount[i] > 0;
    uint8_t map[256];
    bool taken[256] = {};  // picture indices the pixels are mapped to
    for (int32_t i = 0; i < 256; ++i) {
        if (!needed[i]) continue;
        const QBGR c = palette[i];
        int32_t j = same(own[i], c) ? i : -1;
        for (int32_t e = 0; e < 256 && j < 0; ++e)
            if (same(own[e], c)) j = e;
        if (j < 0 && !used[i]) j = i;
        for (int32_t e = 0; e < 256 && j < 0; ++e)
            if (!used[e]) j = e;
        if (j < 0) {
            int32_t best = INT32_MAX;
            for (int32_t e = 0; e < 256; ++e) {
                const int32_t db = own[e].blue - c.blue, dg = own[e].green - c.green,
                              dr = own[e].red - c.red;
                const int32_t dist = db * db + dg * dg + dr * dr;
                if (dist < best) best = dist, j = e;
            }
        } else {
            own[j] = c;
            used[j] = true;
        }
        map[i] = static_cast<uint8_t>(j);
        taken[j] = true;
    }
    int32_t newKey = key;
    if (key >= 0) {
        newKey = 0;
        while (newKey < 255 && taken[newKey]) ++newKey;
        map[key] = static_cast<uint8_t>(newKey);
    }
    for (int64_t i = 0; i < n; ++i) pixels[i] = map[pixels[i]];
    return newKey;
}

// The previous frame leaves the screen as its disposal says: its rectangle filled with the
// background colour, or given back what lay under it.
void ApplyDisposal_(QGifHandle& h, Qimg& image) {
    const bool background = h.prevDisposal == GIF_DISPOSE_BACKGROUND;
    if (!background && (h.prevDisposal != GIF_DISPOSE_PREVIOUS || !h.prevImg)) {
        h.prevDisposal = 0;
        return;
    }
    uint8_t index = static_cast<uint8_t>(h.bgIndex);  // 255 without a global colour table
    if (background && h.bgIndex >= 0) MergePalette_(h, image, h.globalPal, &index, 1, -1);
    if (!background)
        MergePalette_(h, image, h.prevPal, h.prevImg, int64_t{h.prevWidth} * h.prevHeight, -1);
    CountWin_(h, image, h.prevLeft, h.prevTop, h.prevWidth, h.prevHeight, -1);
    if (background)
        FillWin_(image, h.prevLeft, h.prevTop, h.prevWidth, h.prevHeight, index);
    else
        InsertWin_(image, h.prevLeft, h.prevTop, h.prevWidth, h.prevHeight, h.prevImg);
    CountWin_(h, image, h.prevLeft, h.prevTop, h.prevWidth, h.prevHeight, 1);
    h.prevDisposal = 0;
}

// Composes frame curFrame + 1; curFrame is below the frame count.
void ComposeNext_(QGifHandle& h, Qimg& image) {
    const int32_t k = h.curFrame;
    if (!HoldsScreen_(h, image))
        _imgalloc_(image, h.width, h.height, "FF_GIF.GIFLoadNext.ih", __LINE__, 8);
    QBGR before[256];
    std::memcpy(before, image.palette, sizeof before);
    ApplyDisposal_(h, image);

    // The frame's bytes run up to the next frame's start (the last one: to the end of the file).
    const int64_t start = FramePos_(h, k);
    const int64_t end = k + 1 < h.frames ? FramePos_(h, k + 1) : h.fileSize;
    if (start < 0 || end > h.fileSize || start >= end) ErrFail(ERR_IMG, IMG_CORRUPT);
    BrOpenFile(h.src, h.fileId, start, end, std::min<int64_t>(end - start, kLoadBuffer),
               "FF_GIF.GIFLoadNext.GIFCmpsBuf");
    QGifGCE gce;
    QGifImgDesc d;
    int64_t frameStart = 0;
    if (!GIFGetImgHdr_(h, gce, d, k, frameStart)) ErrFail(ERR_IMG, IMG_CORRUPT);
    const bool interlaced = (d.packed & 0x40) != 0;
    const bool transparent = Transparent_(gce);
    // An opaque frame over the whole screen replaces the picture and its palette.
    const bool covering = Covers_(h, d) && !transparent;

    QBGR framePal[256];
    if (d.packed & 0x80) {
        std::memset(framePal, 0, sizeof framePal);
        const int32_t entries = TableEntries_(d.packed);
        const uint8_t* table = BrTake(h.src, 3 * entries);
        if (!table) ErrFail(ERR_IMG, IMG_CORRUPT);
        ImgRowTo24(true, 3, entries, reinterpret_cast<uint8_t*>(framePal), table);
        h.newPalette = -1;
        h.palRestore = -1;
    } else {
        std::memcpy(framePal, h.globalPal, sizeof framePal);
        h.newPalette = FFBool(k <= 1 || h.palRestore);
        h.palRestore = 0;
    }
    // The first frame starts from the background colour (index 255 without a global table).
    // A covering one writes every pixel; until it has, nothing counts as used.
    if (k == 0) {
        std::memset(h.useCount, 0, sizeof h.useCount);
        if (!covering) {
            std::memcpy(image.palette, h.globalPal, sizeof image.palette);
            FillBytes(static_cast<uint8_t>(h.bgIndex), image.size, image.data);
            h.useCount[static_cast<uint8_t>(h.bgIndex)] = image.size;
        }
    }

    // This frame's disposal, applied before the next one.
    const int32_t disposal = (gce.packed >> 2) & 7;
    if (disposal == GIF_DISPOSE_BACKGROUND || disposal == GIF_DISPOSE_PREVIOUS) {
        ClipToScreen_(h, d, h.prevLeft, h.prevTop, h.prevWidth, h.prevHeight);
        if (disposal == GIF_DISPOSE_PREVIOUS && h.prevWidth > 0) {
            _memalloc_(h.prevImg, int64_t{h.prevWidth} * h.prevHeight, __LINE__, MEM_KIND_C,
                       "FF_GIF.GIFLoadNext.gf.PrevImg");
            ExtractWin_(image, h.prevLeft, h.prevTop, h.prevWidth, h.prevHeight, h.prevImg);
            std::memcpy(h.prevPal, image.palette, sizeof h.prevPal);
        }
        h.prevDisposal = disposal;
    }
    if (covering) std::memcpy(image.palette, framePal, sizeof image.palette);

    const uint8_t* codeSize = BrTake(h.src, 1);
    if (!codeSize) ErrFail(ERR_IMG, IMG_CORRUPT);
    const int32_t minSize = *codeSize;
    if (d.width > 0 && d.height > 0) {
        if (!FFSaneGeometry(d.width, d.height, 8)) ErrFail(ERR_IMG, IMG_CORRUPT);
        if (minSize < 1 || minSize > 8) ErrFail(ERR_IMG, IMG_DECOMPRESS);
        const int64_t pixels = int64_t{d.width} * d.height;
        // No sound stream needs more than 12 bits per pixel with its block lengths, so the rest
        // of an oversized last frame is not read.
        const int64_t wanted = std::min({BrLeft(h.src), 2 * pixels + 4096, int64_t{kMaxFrameData}});
        const int64_t got = std::min(BrFill(h.src, wanted), wanted);  // the buffer grows to hold it
        if (got <= 0) ErrFail(ERR_IMG, IMG_CORRUPT);
        // The sub-block lengths are taken out in place: these bytes are the reader's own buffer
        // and are not read again.
        uint8_t* stream = h.src.buffer + h.src.pos;
        const int64_t streamBytes = Unblock_(stream, got);

        // Straight into the picture when the frame is the whole screen, opaque and in row order.
        const bool exact = d.left == 0 && d.top == 0 && d.width == h.width && d.height == h.height;
        bool paste = !exact || transparent;
        Qimg temp{};
        Qimg sprite{};
        // The rectangle's pixels leave the counts just before it is written (a merge before
        // that still sees them: transparent pixels leave them showing) and come back after; on
        // frame 1 a covering frame writes a picture that was not counted.
        const auto uncount = [&] {
            if (!(k == 0 && covering)) CountWin_(h, image, d.left, d.top, d.width, d.height, -1);
        };
        uint8_t* target = image.data;
        if (paste || interlaced) {
            _imgalloc_(temp, d.width, d.height, "FF_GIF.GIFLoadNext.ih_temp", __LINE__, 8);
            // Pixels the data leave out show what lies beneath.
            if (transparent) FillBytes(gce.transparent, temp.size, temp.data);
            target = temp.data;
        } else {
            uncount();
        }
        LzwTables_* tables = nullptr;
        _memalloc_(tables, sizeof(LzwTables_), __LINE__, MEM_KIND_C,
                   "FF_GIF.GIFLoadNext.GIFLZWChBuf");
        if (!GifLzw_(stream, streamBytes, minSize, target, pixels, *tables))
            ErrFail(ERR_IMG, IMG_DECOMPRESS);
        MemFree(tables);

        Qimg* placed = &temp;
        if (interlaced && !paste) {
            uncount();
            GIFunInterlace_(temp.data, image.data, d.width, d.height);
        } else if (interlaced) {
            _imgalloc_(sprite, d.width, d.height, "FF_GIF.GIFLoadNext.ih_sprite", __LINE__, 8);
            GIFunInterlace_(temp.data, sprite.data, d.width, d.height);
            placed = &sprite;
        }
        // Only the part inside the screen is ever shown: a frame far larger than the screen
        // is cut to it before its colours are merged (they would otherwise claim palette
        // entries for pixels no one sees, at a cost that follows the declared size).
        Qimg visible{};
        const int32_t visW = std::min<int64_t>(d.width, int64_t{image.width} - d.left);
        const int32_t visH = std::min<int64_t>(d.height, int64_t{image.height} - d.top);
        if (paste && (visW <= 0 || visH <= 0)) {
            paste = false;  // nothing of it shows
        } else if (paste && (visW < d.width || visH < d.height)) {
            _imgalloc_(visible, visW, visH, "FF_GIF.GIFLoadNext.ih_visible", __LINE__, 8);
            ExtractWin_(*placed, 0, 0, visW, visH, visible.data);
            placed = &visible;
        }
        if (paste) {
            const int64_t shown = int64_t{placed->width} * placed->height;
            const int32_t key = covering ? -1
                                         : MergePalette_(h, image, framePal, placed->data, shown,
                                                         transparent ? gce.transparent : -1);
            std::memcpy(placed->palette, image.palette, sizeof image.palette);  // the paste passes it on
            uncount();
            if (key >= 0)
                ImgSprite(*placed, image, d.left, d.top, static_cast<uint32_t>(key));
            else
                ImgInsert(*placed, image, d.left, d.top);
        }
        ImgFree(visible);
        ImgFree(sprite);
        ImgFree(temp);
        CountWin_(h, image, d.left, d.top, d.width, d.height, 1);
    }
    if (std::memcmp(before, image.palette, sizeof before) != 0) h.newPalette = -1;
    BrClose(h.src);
    ++h.curFrame;
}

// Clips a rectangle to an 8-bit picture; false when nothing of it is inside.
bool ClipWin_(const Qimg& image, int32_t& x, int32_t& y, int32_t& w, int32_t& hgt) {
    if (x < 0 || y < 0 || x >= image.width || y >= image.height || w <= 0 || hgt <= 0) return false;
    w = std::min(w, image.width - x);
    hgt = std::min(hgt, image.height - y);
    return true;
}

}  // namespace

// --- Frame headers ------------------------------------------------------------------------------

bool GIFGetImgHdr_(QGifHandle& h, QGifGCE& gce, QGifImgDesc& desc, int32_t frameIndex,
                   int64_t& frameStart) {
    gce = QGifGCE{};
    desc = QGifImgDesc{};
    frameStart = -1;
    // Extensions: the graphic control extension marks the frame's start, the others (comments,
    // plain text, application data, unknown labels) are passed over by their sub-blocks.
    while (Need_(h, 2) && BrHere(h.src)[0] == kExtension) {
        if (BrHere(h.src)[1] == kGceLabel) {
            if (!Need_(h, kGceBytes)) return false;
            QByteReader r = ByteReader(BrHere(h.src), kGceBytes);
            gce.introducer = BrU8(r);
            gce.label = BrU8(r);
            gce.blockSize = BrU8(r);
            gce.packed = BrU8(r);
            gce.delay = BrU16LE(r);
            gce.transparent = BrU8(r);
            gce.terminator = BrU8(r);
            frameStart = BrTell(h.src);
        }
        BrSkip(h.src, 2);
        if (!SkipSubBlocks_(h)) return false;
    }
    // The separator: the very next byte after the first frame, anywhere before it.
    for (;;) {
        if (!Need_(h, 1)) return false;
        if (BrHere(h.src)[0] == kSeparator) break;
        if (frameIndex > 0) return false;
        BrSkip(h.src, 1);
    }
    if (!Need_(h, kDescBytes)) return false;
    if (frameStart < 0) frameStart = BrTell(h.src);
    QByteReader& r = h.src;
    desc.separator = BrU8(r);
    desc.left = BrU16LE(r);
    desc.top = BrU16LE(r);
    desc.width = BrU16LE(r);
    desc.height = BrU16LE(r);
    desc.packed = BrU8(r);
    return true;
}

void GIFChk4ImgFPos_(QGifHandle& h, int32_t index, int64_t start) {
    const int32_t block = index / GIF_FPOS_PER_BLOCK;
    if (index < 0 || block >= GIF_FPOS_BLOCKS) return;
    while (h.fposBlocks <= block) {
        _memalloc_(h.fposBlk[h.fposBlocks], GIF_FPOS_PER_BLOCK * 4, __LINE__, MEM_KIND_C,
                   "FF_GIF.GIFChk4ImgFPos_.GIFCached.ImgFPosBlk[requested_blk]");
        ++h.fposBlocks;
    }
    h.fposBlk[block][index % GIF_FPOS_PER_BLOCK] = static_cast<int32_t>(start);
}

void GIFFreeFPosBlk_(QGifHandle& h) {
    for (int32_t b = 0; b < h.fposBlocks; ++b) MemFree(h.fposBlk[b]);
    h.fposBlocks = 0;
}

// --- Rectangles ---------------------------------------------------------------------------------

void FillWin_(Qimg& image, int32_t x, int32_t y, int32_t w, int32_t hgt, uint8_t index) {
    if (!ClipWin_(image, x, y, w, hgt)) return;
    for (int32_t r = 0; r < hgt; ++r)
        std::memset(image.data + int64_t{y + r} * image.width + x, index, static_cast<size_t>(w));
}

void ExtractWin_(const Qimg& image, int32_t x, int32_t y, int32_t w, int32_t hgt, uint8_t* buffer) {
    if (!ClipWin_(image, x, y, w, hgt)) return;
    for (int32_t r = 0; r < hgt; ++r)
        std::memcpy(buffer + int64_t{r} * w, image.data + int64_t{y + r} * image.width + x,
                    static_cast<size_t>(w));
}

void InsertWin_(Qimg& image, int32_t x, int32_t y, int32_t w, int32_t hgt, const uint8_t* buffer) {
    if (!ClipWin_(image, x, y, w, hgt)) return;
    for (int32_t r = 0; r < hgt; ++r)
        std::memcpy(image.data + int64_t{y + r} * image.width + x, buffer + int64_t{r} * w,
                    static_cast<size_t>(w));
}

void GIFunInterlace_(const uint8_t* source, uint8_t* destination, int32_t width, int32_t height) {
    static const int32_t kFirst[4] = {0, 4, 2, 1};
    static const int32_t kStep[4] = {8, 8, 4, 2};
    int64_t row = 0;
    for (int32_t pass = 0; pass < 4; ++pass)
        for (int64_t y = kFirst[pass]; y < height; y += kStep[pass])
            std::memcpy(destination + y * width, source + row++ * width, static_cast<size_t>(width));
}

// --- Reader -------------------------------------------------------------------------------------

void GIFOpen(QGifHandle& h, const std::string& fileName, bool firstOnly) {
    Monitored([&] {
        try {
            Open_(h, fileName, firstOnly);
        } catch (...) {
            Forget_(h);
            throw;
        }
    });
}

void GIFLoadNext(QGifHandle& h, Qimg& image) {
    Monitored([&] {
        if (h.frames <= 0 || h.curFrame >= h.frames) ErrFail(ERR_MVI, MVI_END);
        const bool hadPrevImg = h.prevImg != nullptr;
        try {
            ComposeNext_(h, image);
        } catch (...) {
            // The failure releases what this call allocated. The picture no longer holds a whole
            // frame, so the next load starts again from frame 1.
            if (!hadPrevImg) h.prevImg = nullptr;
            h.src = QByteReader{};
            h.prevDisposal = 0;
            h.curFrame = 0;
            throw;
        }
    });
}

void GIFLoad(QGifHandle& h, Qimg& image, int32_t frame, int32_t mode) {
    Monitored([&] {
        // Only a picture of this animation can take the frame after it.
        FFDecodeForward(
            h, frame, mode, HoldsScreen_(h, image), [&] { h.curFrame = 0; },
            [&] { GIFLoadNext(h, image); },
            [&](bool continuous) {
                if (!h.sequential)
                    h.curFrame = frame - 1;  // every frame stands alone
                else if (!continuous || h.curFrame >= frame)
                    h.curFrame = 0;
                return false;
            });
    });
}

void GIFClose(QGifHandle& h) {
    Monitored([&] {
        MemFree(h.prevImg);
        BrClose(h.src);
        GIFFreeFPosBlk_(h);
        FClose(h.fileId);
        Forget_(h);
    });
}

void GIFInfo(const std::string& fileName, QffInfo& info, bool fullScan) {
    Monitored([&] {
        QGifHandle h{};
        GIFOpen(h, fileName, !fullScan);
        FFFillPictureInfo(info, static_cast<double>(h.fileSize), h.width, h.height, 1, 8,
                          h.width > 0);
        info.frames = h.frames;
        info.frameRate = h.frameRate;
        info.videoCompression = "Variable-Length-Code LZW (Lempel-Ziv & Welch)";
        GIFClose(h);
    });
}

void GIFDone() {
    std::lock_guard<std::mutex> lock(CacheMutex_());
    GifCache_& c = Cache_();
    c.valid = false;
    c.name.clear();
    c.starts.clear();
}

}  // namespace kelvora
