#include "formats/HavWriter.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "formats/FFBasic.h"
#include "formats/HavDecode.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr int32_t HASH_BITS = 16;
constexpr int32_t MAX_CHAIN = 16;       // hash-chain candidates tried per position
constexpr int32_t REP_BITS = 12;        // lookup of dictionary entries by their first bytes
constexpr int32_t BAND_TARGET = 65536;  // bytes per band the writer aims at
constexpr int32_t SKIP_SURE = 32;       // a skip this long is taken without looking further
constexpr int32_t RECORD_MAX_HEADER = HAV_FRAME_HEADER + HAV_CHUNK_HEADER + 3 * 256 +
                                      HAV_CHUNK_HEADER + HAV_MAX_BANDS * HAV_BAND_DESC;

void Put32_(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Writes at the end of the file; the offsets of the format are 32-bit.
void Append_(QHavWriter& w, const void* data, int64_t count) {
    if (w.filePos + count > INT32_MAX) ErrFail(ERR_MVI, MVI_WRITE);
    FWrite(w.fileId, data, static_cast<int32_t>(count));
    w.filePos += count;
}

inline uint32_t Hash3_(const uint8_t* p, int32_t bits) {
    const uint32_t v = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
    return (v * 2654435761u) >> (32 - bits);
}

// Bytes from the start that a and b have in common, at most `max`.
inline int32_t SameLen_(const uint8_t* a, const uint8_t* b, int32_t max) {
    int32_t n = 0;
    while (n + 8 <= max) {
        uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) return n + (__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < max && a[n] == b[n]) ++n;
    return n;
}

// The match class and d that put the source `delta` bytes before the target; false when none
// of the 24 classes reaches it.
bool DeltaClass_(int32_t delta, int32_t stride, int32_t& cls, int32_t& d) {
    const int32_t q = (delta + stride - 1) / stride;  // rows up, 0..63 bytes right
    if (q >= 1 && q <= 12 && q * stride - delta <= 63) {
        cls = 11 + q;
        d = q * stride - delta;
        return true;
    }
    const int32_t i = std::min(11, (delta - 1) / stride);  // rows up (0 = this row), 1..64 left
    if (delta - 1 - i * stride <= 63) {
        cls = i;
        d = 64 + i * stride - delta;
        return true;
    }
    return false;
}

// MSB-first bit output.
struct BitWriter_ {
    uint8_t* out;
    uint64_t acc;
    int32_t n;

    void Put(uint32_t v, int32_t bits) {
        acc = (acc << bits) | v;
        n += bits;
        while (n >= 8) {
            n -= 8;
            *out++ = static_cast<uint8_t>(acc >> n);
        }
    }
    void PutLen(int32_t v) {
        if (v >= 256)
            Put(static_cast<uint32_t>(v - 256), 16);
        else
            Put(static_cast<uint32_t>(v), HavLenBits(v));
    }
    void Flush() {
        if (n > 0) *out++ = static_cast<uint8_t>(acc << (8 - n));
        n = 0;
    }
};

enum Kind_ { LITERAL, SKIP, RUN, COPY, MATCH, REPEAT };

// The token coder of one frame. `cur` is what the reader's buffer must hold after the frame,
// `prev` what it holds before; every position before the target already holds `cur`.
struct Coder_ {
    const uint8_t* cur;
    const uint8_t* prev;
    int32_t imageBytes;
    int32_t stride;
    int32_t bytesPP;
    bool key;
    bool fast;
    int32_t* head;
    int32_t* chain;
    int32_t mask;
    int32_t window;     // farthest source a match reaches
    int32_t inserted;   // positions below this are in the hash chains
    int32_t lastDelta;  // source distance of the last match: moving content repeats it
    int32_t matches;    // dictionary entries written in this band
    int32_t dictPos[HAV_DICT_SIZE];
    int32_t dictLen[HAV_DICT_SIZE];
    int32_t rep[1 << REP_BITS];

    void Insert(int32_t p) {
        const uint32_t h = Hash3_(cur + p, HASH_BITS);
        chain[p & mask] = head[h];
        head[h] = p;
    }
};

// Codes cur[start, end) into `out`; the byte count, or -1 when it would reach `limit` bytes.
int32_t EncodeBand_(Coder_& c, int32_t start, int32_t end, uint8_t* out, int32_t limit) {
    BitWriter_ bw{out, 0, 0};
    const uint8_t* cur = c.cur;
    const int32_t B = c.bytesPP;
    const int32_t lit = c.fast ? 9 : 10;   // bits of a literal
    const int32_t tok = c.fast ? 10 : 12;  // bits of a run, skip or long-skip token
    const int32_t copyBits = c.fast ? 9 : 12;
    const int32_t copyMax = c.fast ? HAV_FAST_COPY_MAX : HAV_BEST_COPY_MAX;
    c.matches = 0;
    std::fill(std::begin(c.rep), std::end(c.rep), -1);

    int32_t t = start;
    while (t < end) {
        if (bw.out - out >= limit) return -1;
        Kind_ kind = LITERAL;
        int32_t len = 1, gain = 0, arg = 0, arg2 = 0;
        auto consider = [&](Kind_ k, int32_t n, int32_t bits, int32_t a, int32_t b) {
            const int32_t g = n * lit - bits;
            if (g > gain) {
                kind = k;
                len = n;
                gain = g;
                arg = a;
                arg2 = b;
            }
        };
        const int32_t room = end - t;
        if (!c.key && cur[t] == c.prev[t]) {
            const int32_t n = SameLen_(cur + t, c.prev + t, std::min(room, HAV_LONG_SKIP_MAX));
            if (n >= 2)
                consider(SKIP, n, n <= HAV_SKIP_MAX ? tok : tok + HavLenBits((n + 62) >> 6), 0, 0);
        }
        if (len < SKIP_SURE) {
            if (room >= 2 * B) {  // run of the pixel at t
                const int32_t maxBytes = std::min(room, HAV_LEN_MAX * B);
                const int32_t count = 1 + SameLen_(cur + t + B, cur + t, maxBytes - B) / B;
                if (count >= 2)
                    consider(RUN, count * B, tok + 8 * (B - 1) + HavLenBits(count), count, 0);
            }
            if (t >= c.stride) {  // the row above
                const int32_t n = SameLen_(cur + t, cur + t - c.stride,
                                           std::min(room, c.fast ? copyMax : HAV_LEN_MAX));
                if (n >= 2) {
                    consider(COPY, std::min(n, copyMax), copyBits, 0, 0);
                    if (!c.fast && n > copyMax) consider(MATCH, n, 12 + HavLenBits(n), 12, 0);
                }
            }
            if (!c.fast && room >= 3) {
                while (c.inserted < t) {
                    if (c.inserted + 3 <= c.imageBytes) c.Insert(c.inserted);
                    ++c.inserted;
                }
                const int32_t maxLen = std::min(room, HAV_LEN_MAX);
                int32_t best = 1, bestCls = 0, bestD = 0;
                auto tryDelta = [&](int32_t delta) {
                    if (delta <= 0 || delta > t || best >= maxLen ||
                        cur[t - delta + best] != cur[t + best])
                        return;
                    int32_t cls, d;
                    if (!DeltaClass_(delta, c.stride, cls, d)) return;
                    const int32_t n = SameLen_(cur + t, cur + t - delta, maxLen);
                    if (n > best) {
                        best = n;
                        bestCls = cls;
                        bestD = d;
                    }
                };
                tryDelta(c.lastDelta);
                int32_t s = c.head[Hash3_(cur + t, HASH_BITS)];
                for (int32_t steps = 0; s >= 0 && steps < MAX_CHAIN && t - s <= c.window; ++steps) {
                    tryDelta(t - s);
                    const int32_t next = c.chain[s & c.mask];
                    if (next >= s) break;  // the ring slot was taken by a newer position
                    s = next;
                }
                if (best >= 2) consider(MATCH, best, 12 + HavLenBits(best), bestCls, bestD);
                if (c.matches > 0) {  // a repeat of a dictionary entry
                    const int32_t e = c.rep[Hash3_(cur + t, REP_BITS)];
                    if (e >= 0) {
                        const int32_t n = c.dictLen[e];
                        if (n <= room &&
                            std::memcmp(cur + c.dictPos[e], cur + t, static_cast<size_t>(n)) == 0)
                            consider(REPEAT, n, 12, e, 0);
                    }
                }
            }
        }

        switch (kind) {
            case LITERAL:
                bw.Put((c.fast ? HAV_FAST_LITERAL : HAV_BEST_LITERAL) | cur[t], lit);
                break;
            case SKIP:
                if (len <= HAV_SKIP_MAX) {
                    bw.Put((c.fast ? HAV_FAST_SKIP : HAV_BEST_SKIP) | static_cast<uint32_t>(len - 2),
                           tok);
                } else {
                    bw.Put((c.fast ? HAV_FAST_LONG : HAV_BEST_LONG) |
                               static_cast<uint32_t>((len + 62) & 63),
                           tok);
                    bw.PutLen((len + 62) >> 6);
                }
                break;
            case RUN: {
                // p0 travels in the token; 2-byte pixels go high byte first, 3-byte ones as
                // blue, red, green.
                const uint8_t* p = cur + t;
                if (B == 1) {
                    bw.Put(p[0], tok);
                } else if (B == 2) {
                    bw.Put(p[1], tok);
                    bw.Put(p[0], 8);
                } else {
                    bw.Put(p[0], tok);
                    bw.Put(p[2], 8);
                    bw.Put(p[1], 8);
                }
                bw.PutLen(arg);
                break;
            }
            case COPY:
                bw.Put((c.fast ? HAV_FAST_COPY : HAV_BEST_COPY) | static_cast<uint32_t>(len - 2),
                       copyBits);
                break;
            case MATCH: {
                bw.Put(HAV_BEST_MATCH + static_cast<uint32_t>(arg * 64 + arg2), 12);
                bw.PutLen(len);
                const int32_t e = c.matches % HAV_DICT_SIZE;
                c.dictPos[e] = t;
                c.dictLen[e] = len;
                ++c.matches;
                if (len >= 3) c.rep[Hash3_(cur + t, REP_BITS)] = e;
                c.lastDelta = t - (t - HavMatchOffset(arg, c.stride) + arg2);
                break;
            }
            case REPEAT: bw.Put(HAV_BEST_REPEAT + static_cast<uint32_t>(arg), 12); break;
        }
        t += len;
    }
    bw.Put(c.fast ? HAV_FAST_LONG : HAV_BEST_LONG, c.fast ? 10 : 12);  // end of band
    bw.Flush();
    const int32_t size = static_cast<int32_t>(bw.out - out);
    return size >= limit ? -1 : size;
}

// Differences for BEST-P: three running sums restart at each band, byte i belongs to sum i mod 3.
void MakeDiffs_(const uint8_t* pixels, uint8_t* diffs, int32_t bytes) {
    const int32_t head = std::min(bytes, 3);
    for (int32_t i = 0; i < head; ++i) diffs[i] = pixels[i];
    for (int32_t i = 3; i < bytes; ++i) diffs[i] = static_cast<uint8_t>(pixels[i] - pixels[i - 3]);
}

void WriteIndexPage_(QHavWriter& w) {
    const int32_t page = (w.frames - 1) / HAV_PAGE_ENTRIES;
    w.pageTable[page] = static_cast<int32_t>(w.filePos);
    Append_(w, w.page, sizeof w.page);
    std::memset(w.page, 0, sizeof w.page);
}

// Writes a sound block of `frames` sample frames and links the previous block to it.
void WriteSoundBlock_(QHavWriter& w, const uint8_t* samples, int32_t frames) {
    const int32_t offset = static_cast<int32_t>(w.filePos);
    uint8_t head[HAV_SOUND_BLOCK_HEADER] = {};
    Put32_(head + 12, static_cast<uint32_t>(frames));
    Append_(w, head, sizeof head);
    Append_(w, samples, int64_t{frames} * w.soundFormat.blockAlign);
    if (w.lastSoundBlock != 0) {
        uint8_t next[4];
        Put32_(next, static_cast<uint32_t>(offset));
        FSeek(w.fileId, w.lastSoundBlock + 8);
        FWrite(w.fileId, next, 4);
        FSeek(w.fileId, w.filePos);
    } else {
        w.firstSoundBlock = offset;
    }
    w.lastSoundBlock = offset;
    w.sampleCount += frames;
}

void WriteHeader_(QHavWriter& w) {
    uint8_t head[HAV_HEADER_SIZE + HAV_PAGES * 4] = {};
    Put32_(head, HAV_MAGIC);
    const int32_t fields[] = {HAV_HEADER_SIZE, HAV_VERSION, w.width,  w.height,
                              w.bytesPP,       w.codec,     w.frames, w.keyInterval};
    for (size_t i = 0; i < std::size(fields); ++i)
        Put32_(head + 4 + 4 * i, static_cast<uint32_t>(fields[i]));
    std::memcpy(head + 36, &w.frameRate, 8);
    Put32_(head + 44, static_cast<uint32_t>(w.soundFlags));
    Put32_(head + 48, w.soundFormat.samplesPerSec);
    Put32_(head + 52, static_cast<uint32_t>(w.firstSoundBlock));
    Put32_(head + 60, static_cast<uint32_t>(w.sampleCount));
    for (int32_t p = 0; p < HAV_PAGES; ++p)
        Put32_(head + HAV_HEADER_SIZE + 4 * p, static_cast<uint32_t>(w.pageTable[p]));
    FSeek(w.fileId, 0);
    FWrite(w.fileId, head, sizeof head);
    FSeek(w.fileId, w.filePos);
}

}  // namespace

void HAVCreate(QHavWriter& w, const std::string& fileName, int32_t width, int32_t height,
               int32_t bytesPP, int32_t codec, int32_t keyInterval, double frameRate,
               const QWaveFmt* sound) {
    Monitored([&] {
        std::memset(static_cast<void*>(&w), 0, sizeof w);
        w.fileId = BAD_HANDLE;
        if (bytesPP < 1 || bytesPP > 3 || !FFSaneGeometry(width, height, 8 * bytesPP) || codec < 0 ||
            codec > HAV_CODEC_BESTP || keyInterval < 0 || !(frameRate >= 0) || frameRate > 1e9)
            ErrFail(ERR_MVI, MVI_CREATE);
        if (sound) {
            w.soundFormat = *sound;
            if (w.soundFormat.formatTag != WAVE_FORMAT_PCM || w.soundFormat.channels < 1 ||
                w.soundFormat.channels > 2 ||
                (w.soundFormat.bitsPerSample != 8 && w.soundFormat.bitsPerSample != 16) ||
                w.soundFormat.samplesPerSec < 1 || w.soundFormat.samplesPerSec > 1000000 ||
                !WaveFmtFix(w.soundFormat))
                ErrFail(ERR_MVI, MVI_CREATE);
            w.soundFlags = 1 | (w.soundFormat.bitsPerSample == 16 ? HAV_SOUND_16BIT : 0) |
                           (w.soundFormat.channels == 2 ? HAV_SOUND_STEREO : 0);
            w.sndBlockFrames = std::max<int32_t>(
                1, static_cast<int32_t>(w.soundFormat.samplesPerSec / 4));
        }
        w.width = width;
        w.height = height;
        w.bytesPP = bytesPP;
        w.codec = codec;
        w.keyInterval = keyInterval;
        w.frameRate = frameRate;
        w.stride = width * bytesPP;
        w.imageBytes = w.stride * height;
        w.bandRows = std::min(height, std::max((height + HAV_MAX_BANDS - 1) / HAV_MAX_BANDS,
                                               (BAND_TARGET + w.stride - 1) / w.stride));
        FOpen(w.fileId, fileName, FM_WRITE + FM_CREATE);
        // A provisional header and page table; the frames start after them.
        w.filePos = HAV_HEADER_SIZE + HAV_PAGES * 4;
        WriteHeader_(w);

        _memalloc_(w.prev, w.imageBytes, __LINE__, MEM_KIND_C, "HavWriter.HAVCreate.w.prev");
        if (codec & HAV_CODEC_PREDICT)
            _memalloc_(w.cur, w.imageBytes, __LINE__, MEM_KIND_C, "HavWriter.HAVCreate.w.cur");
        // Every band is at most its raw bytes, plus a little for a token stream given up on.
        const int64_t tokens = int64_t{w.imageBytes} + 64 * HAV_MAX_BANDS;
        if (tokens > INT32_MAX / 2) ErrFail(ERR_MVI, MVI_CREATE);
        w.tokensSize = static_cast<int32_t>(tokens);
        _memalloc_(w.tokens, w.tokensSize, __LINE__, MEM_KIND_C, "HavWriter.HAVCreate.w.tokens");
        if (!(codec & HAV_CODEC_TOKEN_FAST)) {
            const int64_t window = int64_t{12} * w.stride + 64;
            int64_t ring = 1;
            while (ring <= window) ring <<= 1;
            w.hashMask = static_cast<int32_t>(ring - 1);
            _memalloc_(w.hashHead, int64_t{4} << HASH_BITS, __LINE__, MEM_KIND_C,
                       "HavWriter.HAVCreate.w.hashHead");
            _memalloc_(w.hashChain, ring * 4, __LINE__, MEM_KIND_C,
                       "HavWriter.HAVCreate.w.hashChain");
        }
    });
}

void HAVAddFrame(QHavWriter& w, const Qimg& image) {
    Monitored([&] {
        if (!ImgValid(image) || image.width != w.width || image.height != w.height ||
            image.bitsPP != 8 * w.bytesPP || image.size < w.imageBytes)
            ErrFail(ERR_MVI, MVI_COMPRESS);
        if (w.frames >= HAV_MAX_FRAMES) ErrFail(ERR_MVI, MVI_WRITE);
        const int32_t n = w.frames + 1;
        const bool key = w.keyInterval == 0 ? n == 1 : (n - 1) % w.keyInterval == 0;
        const bool predict = (w.codec & HAV_CODEC_PREDICT) != 0;
        const int32_t bands = (w.height + w.bandRows - 1) / w.bandRows;

        // Frame header and the palette chunk: all of it in key frames, the changed range in the
        // others, nothing when the palette did not change.
        uint8_t head[RECORD_MAX_HEADER] = {};
        int32_t pos = HAV_FRAME_HEADER;
        int32_t chunks = 1;
        uint32_t flags = 0;
        if (w.bytesPP == 1) {
            int32_t lo = 0, hi = 255;
            if (n > 1) {
                while (lo < 256 && std::memcmp(&w.palette[lo], &image.palette[lo], 3) == 0) ++lo;
                while (hi >= lo && std::memcmp(&w.palette[hi], &image.palette[hi], 3) == 0) --hi;
                if (lo <= hi && key) lo = 0, hi = 255;
            }
            if (lo <= hi) {
                const int32_t count = hi - lo + 1;
                const int32_t fields[] = {HAV_CHUNK_PALETTE, HAV_CHUNK_HEADER, count, lo};
                for (int32_t i = 0; i < 4; ++i)
                    Put32_(head + pos + 4 * i, static_cast<uint32_t>(fields[i]));
                uint8_t* e = head + pos + HAV_CHUNK_HEADER;
                for (int32_t i = lo; i <= hi; ++i, e += 3) {
                    e[0] = image.palette[i].red;
                    e[1] = image.palette[i].green;
                    e[2] = image.palette[i].blue;
                }
                pos += HAV_CHUNK_HEADER + 3 * count;
                ++chunks;
                flags = HAV_FLAG_PALETTE;
            }
            std::memcpy(w.palette, image.palette, sizeof w.palette);
        }

        // The bands.
        const uint8_t* content = image.data;
        if (predict) {
            for (int32_t k = 0; k < bands; ++k) {
                const int32_t from = k * w.bandRows * w.stride;
                const int32_t to = std::min(w.imageBytes, from + w.bandRows * w.stride);
                MakeDiffs_(image.data + from, w.cur + from, to - from);
            }
            content = w.cur;
        }
        Coder_ coder;
        coder.cur = content;
        coder.prev = w.prev;
        coder.imageBytes = w.imageBytes;
        coder.stride = w.stride;
        coder.bytesPP = w.bytesPP;
        coder.key = key;
        coder.fast = (w.codec & HAV_CODEC_TOKEN_FAST) != 0;
        coder.head = w.hashHead;
        coder.chain = w.hashChain;
        coder.mask = w.hashMask;
        coder.window = 12 * w.stride + 64;
        coder.inserted = 0;
        coder.lastDelta = 0;
        if (!coder.fast) std::fill(w.hashHead, w.hashHead + (1 << HASH_BITS), -1);

        int32_t sizes[HAV_MAX_BANDS], rows[HAV_MAX_BANDS], coded[HAV_MAX_BANDS];
        int32_t total = 0;
        for (int32_t k = 0; k < bands; ++k) {
            const int32_t from = k * w.bandRows * w.stride;
            rows[k] = std::min(w.bandRows, w.height - k * w.bandRows);
            const int32_t raw = rows[k] * w.stride;
            uint8_t* out = w.tokens + total;
            int32_t size = EncodeBand_(coder, from, from + raw, out, raw);
            coded[k] = size >= 0 ? 1 : 0;
            if (size < 0) {
                std::memcpy(out, content + from, static_cast<size_t>(raw));
                size = raw;
            }
            sizes[k] = size;
            total += size;
        }

        // Bands go into the record while it stays within the reader's buffer; the rest follow it.
        const int32_t imageChunk = pos;
        pos += HAV_CHUNK_HEADER + bands * HAV_BAND_DESC;
        int64_t record = pos;
        int32_t stored = 0;
        while (stored < bands && record + sizes[stored] <= int64_t{w.imageBytes} + HAV_READ_SLACK)
            record += sizes[stored++];
        const int32_t fields[] = {HAV_CHUNK_IMAGE, HAV_CHUNK_HEADER, bands, stored};
        for (int32_t i = 0; i < 4; ++i)
            Put32_(head + imageChunk + 4 * i, static_cast<uint32_t>(fields[i]));
        for (int32_t k = 0; k < bands; ++k) {
            uint8_t* d = head + imageChunk + HAV_CHUNK_HEADER + k * HAV_BAND_DESC;
            Put32_(d + 4, HAV_BAND_DESC);
            Put32_(d + 8, static_cast<uint32_t>(sizes[k]));
            Put32_(d + 12, static_cast<uint32_t>(rows[k]));
            Put32_(d + 16, static_cast<uint32_t>(coded[k]));
        }
        Put32_(head, static_cast<uint32_t>(record));
        Put32_(head + 4, HAV_FRAME_HEADER);
        Put32_(head + 8, static_cast<uint32_t>(chunks));

        const int64_t offset = w.filePos;
        if (offset + pos + total > INT32_MAX) ErrFail(ERR_MVI, MVI_WRITE);
        Append_(w, head, pos);
        Append_(w, w.tokens, total);
        uint8_t* entry = w.page + ((n - 1) % HAV_PAGE_ENTRIES) * HAV_ENTRY_SIZE;
        Put32_(entry, static_cast<uint32_t>(offset));
        Put32_(entry + 4, static_cast<uint32_t>(record));
        Put32_(entry + 8, flags);
        std::memcpy(w.prev, content, static_cast<size_t>(w.imageBytes));
        w.frames = n;
        if (n % HAV_PAGE_ENTRIES == 0) WriteIndexPage_(w);
    });
}

void HAVAddSound(QHavWriter& w, const uint8_t* samples, int32_t frames) {
    Monitored([&] {
        if (w.soundFlags == 0 || frames <= 0) return;
        const int32_t align = w.soundFormat.blockAlign;
        const int64_t bytes = int64_t{frames} * align;
        if (w.sampleCount + int64_t{frames} + w.sndPendingBytes / align > INT32_MAX ||
            w.filePos + bytes > INT32_MAX)
            ErrFail(ERR_MVI, MVI_WRITE);
        const int32_t blockBytes = w.sndBlockFrames * align;
        if (!MemIsTrackedBy(&w.sndPending, w.sndPending))
            _memalloc_(w.sndPending, blockBytes, __LINE__, MEM_KIND_C,
                       "HavWriter.HAVAddSound.w.sndPending");
        // Fill the pending block; each full one goes out.
        int64_t done = 0;
        while (done < bytes) {
            const int32_t take = static_cast<int32_t>(
                std::min<int64_t>(bytes - done, blockBytes - w.sndPendingBytes));
            std::memcpy(w.sndPending + w.sndPendingBytes, samples + done, static_cast<size_t>(take));
            w.sndPendingBytes += take;
            done += take;
            if (w.sndPendingBytes == blockBytes) {
                WriteSoundBlock_(w, w.sndPending, w.sndBlockFrames);
                w.sndPendingBytes = 0;
            }
        }
    });
}

namespace {

// Frees a buffer of the writer only while the register holds it for that field: a failed call
// may have released it, and its address may since belong to another owner's block.
template <class T>
void FreeOwn_(T*& block) {
    if (MemIsTrackedBy(&block, block)) MemFree(block);
    block = nullptr;
}

}  // namespace

void HAVWriterClose(QHavWriter& w) {
    Monitored([&] {
        // Samples held in a block that a failed HAVAddSound released are gone with it.
        if (!MemIsTrackedBy(&w.sndPending, w.sndPending)) {
            w.sndPending = nullptr;
            w.sndPendingBytes = 0;
        }
        if (w.soundFlags != 0) {
            if (w.sndPendingBytes > 0)
                WriteSoundBlock_(w, w.sndPending, w.sndPendingBytes / w.soundFormat.blockAlign);
            // An empty block ends the chain, so every block with samples has a successor.
            WriteSoundBlock_(w, nullptr, 0);
        }
        if (w.frames % HAV_PAGE_ENTRIES != 0) WriteIndexPage_(w);
        WriteHeader_(w);
        FClose(w.fileId);
        w.fileId = BAD_HANDLE;
        FreeOwn_(w.prev);
        FreeOwn_(w.cur);
        FreeOwn_(w.tokens);
        FreeOwn_(w.hashHead);
        FreeOwn_(w.hashChain);
        FreeOwn_(w.sndPending);
    });
}

}  // namespace kelvora
