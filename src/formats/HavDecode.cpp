#include "formats/HavDecode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

int32_t HavLenBits(int32_t v) {
    if (v >= 256) return 16;
    int32_t top = 31 - __builtin_clz(static_cast<uint32_t>(v));  // v >= 2, so top >= 1
    return 2 * top;
}

int32_t HavMatchOffset(int32_t cls, int32_t stride) {
    return cls <= 11 ? 64 + cls * stride : (cls - 11) * stride;
}

namespace {

// --- Bit reader ---------------------------------------------------------------------------------
// A 64-bit window, most significant bit next. One refill leaves at least 57 bits, enough for the
// longest token with all its fields (a BEST run of 3-byte pixels: 12 + 16 + 16 bits), so a token
// is read after one refill. Past the end of the data it reads zeros and counts them, so that a
// token which consumed them is caught.
struct BitReader_ {
    const uint8_t* p;
    const uint8_t* end;
    uint64_t win;
    int32_t bits;  // valid bits in win
    int32_t pad;   // zero bytes fed in after the end

    void Refill() {
        if (end - p >= 8) {
            // All whole bytes that fit, in one load; the bits of a partly taken byte that come
            // along are the same ones the next refill brings again.
            uint64_t next;
            std::memcpy(&next, p, 8);
            win |= __builtin_bswap64(next) >> bits;
            const int32_t n = (63 - bits) >> 3;
            p += n;
            bits += 8 * n;
        } else {
            while (bits <= 56) {
                uint64_t b = 0;
                if (p < end)
                    b = *p++;
                else
                    ++pad;
                win |= b << (56 - bits);
                bits += 8;
            }
        }
    }
    uint32_t Peek(int32_t n) const { return static_cast<uint32_t>(win >> (64 - n)); }
    void Skip(int32_t n) {
        win <<= n;
        bits -= n;
    }
    uint32_t Take(int32_t n) {
        uint32_t v = Peek(n);
        Skip(n);
        return v;
    }
    // True once a field took bits beyond the data.
    bool Overrun() const { return pad * 8 > bits; }
    // The length code; the window holds at least 16 bits.
    int32_t Length() {
        const uint32_t v = Peek(16);
        if (v < 0x200) {  // seven zeros: 256 + nine bits
            Skip(16);
            return 256 + static_cast<int32_t>(v);
        }
        const int32_t zeros = __builtin_clz(v) - 16;  // 0..6
        const int32_t n = 2 * zeros + 2;
        Skip(n);
        return static_cast<int32_t>(v >> (16 - n));
    }
};

struct DictEntry_ {
    int32_t pos;
    int32_t len;
};

// Writes `len` bytes from base[src] to base[dst] as the codecs define copies, byte by byte in
// order: a source that overlaps the target from behind repeats what was just written. Most
// copies are short, so they are done in a few wide moves rather than a call or a byte loop.
inline void CopyBytes_(uint8_t* base, int64_t dst, int64_t src, int32_t len) {
    uint8_t* d = base + dst;
    const uint8_t* s = base + src;
    const int64_t gap = dst - src;
    if (gap > 0 && gap < len && gap < 16) {  // a short pattern repeated
        int32_t i = 0;
        if (gap < 8) {
            // The target repeats with any multiple of the gap as well: take one of 8 or more.
            const int32_t period = static_cast<int32_t>(gap * ((8 + gap - 1) / gap));
            for (; i < len && i < period; ++i) d[i] = s[i];
            for (; i + 8 <= len; i += 8) std::memcpy(d + i, d + i - period, 8);
            for (; i < len; ++i) d[i] = d[i - period];
            return;
        }
        // Each 8-byte move reads only bytes written before it or never written; the last one,
        // which may overlap the one before, writes the same values again.
        for (; i + 8 <= len; i += 8) std::memcpy(d + i, s + i, 8);
        if (i < len) std::memcpy(d + len - 8, s + len - 8, 8);
        return;
    }
    if (len <= 16) {  // loads before stores: right for any overlap left
        if (len >= 8) {
            uint64_t a, b;
            std::memcpy(&a, s, 8);
            std::memcpy(&b, s + len - 8, 8);
            std::memcpy(d, &a, 8);
            std::memcpy(d + len - 8, &b, 8);
        } else if (len >= 4) {
            uint32_t a, b;
            std::memcpy(&a, s, 4);
            std::memcpy(&b, s + len - 4, 4);
            std::memcpy(d, &a, 4);
            std::memcpy(d + len - 4, &b, 4);
        } else if (len > 0) {
            const uint8_t a = s[0], b = s[len / 2], c = s[len - 1];
            d[0] = a;
            d[len / 2] = b;
            d[len - 1] = c;
        }
        return;
    }
    if (gap >= 16) {  // as for 8-byte moves above, with 16
        int32_t i = 0;
        for (; i + 16 <= len; i += 16) std::memcpy(d + i, s + i, 16);
        if (i < len) std::memcpy(d + len - 16, s + len - 16, 16);
        return;
    }
    std::memmove(d, s, static_cast<size_t>(len));  // a source ahead of the target
}

// Fills `count` pixels of B bytes with one pattern: a 48-byte stretch (16 pixels) at a time.
template <int32_t B>
inline void FillRun_(uint8_t* d, const uint8_t (&px)[3], int32_t count) {
    const int64_t n = int64_t{count} * B;
    int64_t i = 0;
    if (count >= 16) {
        uint8_t pattern[48];
        for (int32_t k = 0; k < 48; ++k) pattern[k] = px[k % B];
        for (; i + 48 <= n; i += 48) std::memcpy(d + i, pattern, 48);
    }
    for (; i < n; i += B)
        for (int32_t k = 0; k < B; ++k) d[i + k] = px[k];
}

// What a band's decoder tells its caller as it goes: that [from, to) is kept by a long skip.
struct NoHook_ {
    void Skip(int64_t, int64_t) {}
};

template <int32_t B, bool FAST, class Hook>
bool DecodeBand_(const uint8_t* data, int32_t size, uint8_t* base, int32_t imageBytes,
                 int32_t start, int32_t end, int32_t stride, Hook& hook) {
    BitReader_ br{data, data + size, 0, 0, 0};
    int64_t out = start;
    int32_t offsets[HAV_MATCH_CLASSES];
    for (int32_t i = 0; i < HAV_MATCH_CLASSES; ++i) offsets[i] = HavMatchOffset(i, stride);
    DictEntry_ dict[FAST ? 1 : HAV_DICT_SIZE];
    int32_t matches = 0;  // matches stored in this band so far

    for (;;) {
        br.Refill();
        if (br.Overrun()) return false;
        uint32_t t = br.Peek(FAST ? 10 : 12);
        // Literals, to the first other token, which is then taken without going round again:
        // the end of a run of literals is the branch that is hardest to foresee.
        if (FAST ? t >= 0x200 : t >= 0xC00) {
            do {
                if (out >= end) return false;
                base[out++] = static_cast<uint8_t>(t >> (FAST ? 1 : 2));
                br.Skip(FAST ? 9 : 10);
                if (br.bits < (FAST ? 10 : 12)) {
                    br.Refill();
                    if (br.Overrun()) return false;
                }
                t = br.Peek(FAST ? 10 : 12);
            } while (FAST ? t >= 0x200 : t >= 0xC00);
            br.Refill();  // the token's fields
        }
        if (!FAST && t >= 0x200) {
            br.Skip(12);
            int64_t src;
            int32_t len;
            if (t >= 0x600) {  // match
                const uint32_t u = t - 0x600;
                len = br.Length();
                src = out - offsets[u >> 6] + (u & 63);
                if (src < 0 || src + len > imageBytes) return false;
                dict[matches % HAV_DICT_SIZE] = DictEntry_{static_cast<int32_t>(out), len};
                ++matches;
            } else {  // repeat
                const uint32_t u = t - 0x200;
                if (static_cast<int32_t>(u) >= matches) return false;  // not written in this band
                src = dict[u].pos;
                len = dict[u].len;
            }
            if (out + len > end) return false;
            CopyBytes_(base, out, src, len);
            out += len;
            continue;
        }
        if (t < 0x100) {  // run: p0, B - 1 more bytes, a length code
            br.Skip(FAST ? 10 : 12);
            uint8_t px[3] = {static_cast<uint8_t>(t), 0, 0};
            if (B >= 2) px[1] = static_cast<uint8_t>(br.Take(8));
            if (B == 3) px[2] = static_cast<uint8_t>(br.Take(8));
            const int32_t count = br.Length();
            if (out + int64_t{count} * B > end) return false;
            // In memory order: 2 bytes are stored high byte first and written little-endian;
            // 3 bytes as blue = p0, green = p2, red = p1.
            if (B == 1) {
                std::memset(base + out, px[0], static_cast<size_t>(count));
            } else {
                const uint8_t mem[3] = {B == 2 ? px[1] : px[0], B == 2 ? px[0] : px[2], px[1]};
                FillRun_<B>(base + out, mem, count);
            }
            out += int64_t{count} * B;
            continue;
        }
        if (t < 0x180) {  // copy from the row above
            int32_t len;
            if (FAST) {
                len = static_cast<int32_t>((t >> 1) & 0x3F) + 2;
                br.Skip(9);
            } else {
                len = static_cast<int32_t>(t & 0x7F) + 2;
                br.Skip(12);
            }
            if (out - stride < 0 || out + len > end) return false;
            CopyBytes_(base, out, out - stride, len);
            out += len;
            continue;
        }
        br.Skip(FAST ? 10 : 12);
        int64_t len;
        if (t < 0x1C0) {  // short skip
            len = static_cast<int32_t>(t & 0x3F) + 2;
        } else {  // end of band, or a long skip
            if (out == end) return !br.Overrun();
            len = int64_t{64} * br.Length() + static_cast<int32_t>(t & 0x3F) - 62;
        }
        if (out + len > end) return false;
        if (t >= 0x1C0) hook.Skip(out, out + len);
        out += len;
    }
}

template <class Hook>
bool DecodeAny_(const uint8_t* data, int32_t size, uint8_t* base, int32_t imageBytes, int32_t start,
                int32_t end, int32_t stride, int32_t bytesPP, bool fast, Hook& hook) {
    if (start < 0 || start > end || end > imageBytes || size < 0 || stride <= 0) return false;
    switch (bytesPP * 2 + (fast ? 1 : 0)) {
        case 2:
            return DecodeBand_<1, false>(data, size, base, imageBytes, start, end, stride, hook);
        case 3: return DecodeBand_<1, true>(data, size, base, imageBytes, start, end, stride, hook);
        case 4:
            return DecodeBand_<2, false>(data, size, base, imageBytes, start, end, stride, hook);
        case 5: return DecodeBand_<2, true>(data, size, base, imageBytes, start, end, stride, hook);
        case 6:
            return DecodeBand_<3, false>(data, size, base, imageBytes, start, end, stride, hook);
        case 7: return DecodeBand_<3, true>(data, size, base, imageBytes, start, end, stride, hook);
        default: return false;
    }
}

// --- Prediction ---------------------------------------------------------------------------------

constexpr uintptr_t REBUILD_AHEAD = 1024;  // bytes

// Rebuilds bytes [begin, end) of a band whose bytes before `begin` are rebuilt already.
void Rebuild_(const uint8_t* diff, uint8_t* pixels, int32_t begin, int32_t end) {
    int32_t i = begin;
    // The sums that bytes i, i + 1, i + 2 continue: the bytes 3 before, 0 before the band.
    uint8_t a0 = i >= 3 ? pixels[i - 3] : 0;
    uint8_t a1 = i >= 2 ? pixels[i - 2] : 0;
    uint8_t a2 = i >= 1 ? pixels[i - 1] : 0;
#if defined(__SSE2__)
    // The recurrence pixel[i] = pixel[i - 3] + diff[i] is serial byte by byte, but a vector can
    // take its running sums in three shifted adds (a prefix sum with a step of 3). 48 bytes
    // hold whole triples, so the sums carried from one 48-byte step to the next line up with
    // the same lanes every time: the only serial work left is one add per 48 bytes.
    const auto scan = [](__m128i x) {
        x = _mm_add_epi8(x, _mm_slli_si128(x, 3));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 6));
        return _mm_add_epi8(x, _mm_slli_si128(x, 12));
    };
    // The carry of the lanes 16 bytes on: each lane takes its right neighbour's sum.
    const auto next = [](__m128i q) {
        const __m128i z = _mm_srli_si128(q, 1);
        return _mm_add_epi8(z, _mm_slli_si128(z, 15));
    };
    if (i + 48 <= end) {
        // Lane j: the sum that byte i + j continues (a0, a1, a2 repeated).
        __m128i q0 = scan(_mm_cvtsi32_si128(static_cast<int32_t>(a0 | (a1 << 8) | (a2 << 16))));
        for (; i + 48 <= end; i += 48) {
            // Kept stretches are not in cache at large sizes: ask for them a little ahead (a
            // hint only, never read, so it may point past the band).
            __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(diff + i) +
                                                             REBUILD_AHEAD));
            __builtin_prefetch(reinterpret_cast<const void*>(
                                   reinterpret_cast<uintptr_t>(pixels + i) + REBUILD_AHEAD),
                               1);
            const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(diff + i));
            const __m128i u0 = scan(x0);
            const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(diff + i + 16));
            const __m128i u1 = scan(_mm_add_epi8(x1, _mm_srli_si128(u0, 13)));
            const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(diff + i + 32));
            const __m128i u2 = scan(_mm_add_epi8(x2, _mm_srli_si128(u1, 13)));
            const __m128i q1 = next(q0), q2 = next(q1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + i), _mm_add_epi8(u0, q0));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + i + 16), _mm_add_epi8(u1, q1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + i + 32), _mm_add_epi8(u2, q2));
            q0 = _mm_add_epi8(q0, scan(_mm_srli_si128(u2, 13)));
        }
        a0 = pixels[i - 3], a1 = pixels[i - 2], a2 = pixels[i - 1];
    }
#endif
    for (; i + 3 <= end; i += 3) {
        a0 = static_cast<uint8_t>(a0 + diff[i]);
        a1 = static_cast<uint8_t>(a1 + diff[i + 1]);
        a2 = static_cast<uint8_t>(a2 + diff[i + 2]);
        pixels[i] = a0;
        pixels[i + 1] = a1;
        pixels[i + 2] = a2;
    }
    if (i < end) pixels[i] = static_cast<uint8_t>(a0 + diff[i]);
    if (i + 1 < end) pixels[i + 1] = static_cast<uint8_t>(a1 + diff[i + 1]);
}

// Rebuilds a band as its tokens are decoded, when the picture holds this band's previous
// rebuild: at each long skip, the bytes written since the last one are rebuilt while still in
// cache, and when the sums reach the skip as they were, the stretch it keeps is left alone
// (differences that did not change, summed from the same values, give the same bytes). The
// caller rebuilds what is left after the band; without a previous rebuild, that is all of it.
struct BandRebuild_ {
    const uint8_t* diff;  // the band's differences
    uint8_t* pixels;      // its pixels
    int64_t start;        // the band's offset in the buffers the decoder sees
    int32_t done;         // bytes before this are rebuilt
    bool reuse;           // the pixels hold the previous rebuild of this band

    void Skip(int64_t from, int64_t to) {
        if (!reuse) return;
        const int32_t f = static_cast<int32_t>(from - start);
        if (f < done + 3 && f != done) {
            // Fewer than three bytes to compare since the last rebuilt ones: rebuilt later.
            Rebuild_(diff, pixels, done, f);
            done = f;
            return;
        }
        bool same = true;  // f == done: the band starts here, or a stretch left alone ends here
        if (f > done) {
            uint8_t before[3];
            std::memcpy(before, pixels + f - 3, 3);
            Rebuild_(diff, pixels, done, f);
            same = std::memcmp(before, pixels + f - 3, 3) == 0;
        }
        done = same ? static_cast<int32_t>(to - start) : f;
    }
};

// --- Chunks -------------------------------------------------------------------------------------

struct ImageChunk_ {
    int32_t bands;
    int32_t stored;  // bands 0..stored-1 have their data in the record
    int32_t size[HAV_MAX_BANDS];
    int32_t rows[HAV_MAX_BANDS];
    int32_t compressed[HAV_MAX_BANDS];
    int32_t dataPos;  // record offset of the first stored band's data
    int32_t end;      // record offset just past the stored data
};

// Parses the palette chunk at `pos`; false when it does not fit the record or the palette.
bool ParsePalette_(const uint8_t* rec, int32_t recSize, int32_t pos, QHavPalChunk& pal,
                   int32_t& next) {
    QByteReader r = ByteReader(rec + pos, recSize - pos);
    BrSkip(r, 4);
    const int64_t header = BrI32LE(r);
    const int64_t count = BrI32LE(r);
    const int64_t first = BrI32LE(r);
    if (r.overrun || header < HAV_CHUNK_HEADER || count < 0 || first < 0 || first + count > 256)
        return false;
    if (pos + header + 3 * count > recSize) return false;
    pal = QHavPalChunk{static_cast<int32_t>(first), static_cast<int32_t>(count), rec + pos + header};
    next = static_cast<int32_t>(pos + header + 3 * count);
    return true;
}

// Parses the image chunk at `pos` with its band table; false when it is malformed.
bool ParseImage_(const uint8_t* rec, int32_t recSize, int32_t pos, ImageChunk_& c) {
    QByteReader r = ByteReader(rec + pos, recSize - pos);
    BrSkip(r, 4);
    const int64_t header = BrI32LE(r);
    const int64_t bands = BrI32LE(r);
    const int64_t stored = BrI32LE(r);
    if (r.overrun || header < HAV_CHUNK_HEADER || bands < 0 || bands > HAV_MAX_BANDS ||
        stored < 0 || stored > bands || header > recSize - pos)
        return false;
    c.bands = static_cast<int32_t>(bands);
    c.stored = static_cast<int32_t>(stored);
    int64_t table = pos + header;
    int64_t descSize = HAV_BAND_DESC;
    if (bands > 0) {
        // The descriptors lie one descriptor size apart, the size that the first one states.
        QByteReader d = ByteReader(rec + table, recSize - table);
        BrSkip(d, 4);
        descSize = BrI32LE(d);
        if (d.overrun || descSize < HAV_BAND_DESC || table + bands * descSize > recSize)
            return false;
    }
    for (int32_t k = 0; k < c.bands; ++k) {
        QByteReader d = ByteReader(rec + table + k * descSize, HAV_BAND_DESC);
        BrSkip(d, 8);
        c.size[k] = BrI32LE(d);
        c.rows[k] = BrI32LE(d);
        c.compressed[k] = BrI32LE(d);
        if (d.overrun || c.size[k] < 0 || c.rows[k] < 0) return false;
    }
    int64_t end = table + bands * descSize;
    c.dataPos = static_cast<int32_t>(end);
    for (int32_t k = 0; k < c.stored; ++k) end += c.size[k];
    if (end > recSize) return false;
    c.end = static_cast<int32_t>(end);
    return true;
}

// Walks the chunks of a record: onPalette(chunk) for type 2, onImage(chunk) for type 4. After an
// image chunk with streamed bands the walk ends: the portions were read over the record.
template <class OnPalette, class OnImage>
void WalkChunks_(const uint8_t* rec, int32_t recSize, OnPalette onPalette, OnImage onImage) {
    QByteReader r = ByteReader(rec, recSize);
    BrSkip(r, 4);
    const int64_t first = BrI32LE(r);
    const int64_t count = BrI32LE(r);
    if (r.overrun || first < HAV_FRAME_HEADER || first > recSize || count < 0)
        ErrFail(ERR_MVI, MVI_DECOMPRESS);
    int32_t pos = static_cast<int32_t>(first);
    ImageChunk_ image;
    for (int64_t c = 0; c < count; ++c) {
        QByteReader t = ByteReader(rec + pos, recSize - pos);
        const int32_t type = BrI32LE(t);
        if (t.overrun) ErrFail(ERR_MVI, MVI_DECOMPRESS);
        if (type == HAV_CHUNK_PALETTE) {
            QHavPalChunk pal;
            if (!ParsePalette_(rec, recSize, pos, pal, pos)) ErrFail(ERR_MVI, MVI_DECOMPRESS);
            onPalette(pal);
        } else if (type == HAV_CHUNK_IMAGE) {
            if (!ParseImage_(rec, recSize, pos, image)) ErrFail(ERR_MVI, MVI_DECOMPRESS);
            if (!onImage(image) || image.stored < image.bands) return;
            pos = image.end;
        } else {
            // An unknown chunk keeps the position, so every remaining chunk is this one again.
            return;
        }
    }
}

void DecodeImage_(QHavFrameJob& job, Qimg& image, const ImageChunk_& c) {
    const bool predict = (job.codec & HAV_CODEC_PREDICT) != 0;
    const bool fast = (job.codec & HAV_CODEC_TOKEN_FAST) != 0;
    const int32_t stride = image.width * image.bytesPP;
    const int32_t imageBytes = stride * image.height;
    uint8_t* target = image.data;
    QHavRebuilt* last = predict ? job.rebuilt : nullptr;
    // Kept stretches may stay in the picture only if it holds the rebuild of this very
    // prediction buffer with the same bands (the sums restart at each band).
    bool reuse = last && last->image == image.data && last->bands == c.bands &&
                 std::equal(c.rows, c.rows + c.bands, last->rows);
    if (last) last->image = nullptr;  // until every band of this chunk is rebuilt
    if (predict) {
        uint8_t*& p = *job.predict;
        // A block released by an earlier failure is gone; a new one starts out as zeros.
        if (!MemIsTrackedBy(&p, p) || MemBlockSize(p) < imageBytes) {
            if (!MemIsTrackedBy(&p, p)) p = nullptr;
            _memalloc_(p, imageBytes, __LINE__, MEM_KIND_C, "FF_HAV.HAVImgLoadNext.PredictImg");
            reuse = false;
        }
        target = p;
    }
    int64_t out = 0;
    int64_t pos = c.dataPos;
    int64_t regionEnd = job.recordSize;
    int32_t nextStreamed = c.stored;
    int64_t filePos = job.streamPos;
    for (int32_t k = 0; k < c.bands; ++k) {
        if (k == nextStreamed) {
            // A portion of the following bands, as many as stay together below image bytes.
            int64_t total = 0;
            int32_t j = k;
            while (j < c.bands && total + c.size[j] < imageBytes) total += c.size[j++];
            if (j == k || total > job.bufferSize || filePos + total > job.fileSize)
                ErrFail(ERR_MVI, MVI_DECOMPRESS);
            FSeek(job.fileId, filePos);
            FRead(job.fileId, job.buffer, static_cast<int32_t>(total));
            filePos += total;
            pos = 0;
            regionEnd = total;
            nextStreamed = j;
        }
        const int64_t bandBytes = int64_t{c.rows[k]} * stride;
        if (out + bandBytes > imageBytes || pos + c.size[k] > regionEnd)
            ErrFail(ERR_MVI, MVI_DECOMPRESS);
        const int32_t from = static_cast<int32_t>(out);
        const int32_t to = static_cast<int32_t>(out + bandBytes);
        BandRebuild_ rebuild{target + from, image.data + from, from, 0, reuse};
        if (c.compressed[k] == 0) {
            // Raw bytes go where tokens would have gone: with prediction they are differences.
            if (c.size[k] > bandBytes) ErrFail(ERR_MVI, MVI_DECOMPRESS);
            std::memcpy(target + from, job.buffer + pos, static_cast<size_t>(c.size[k]));
        } else {
            NoHook_ none;
            const bool ok = predict ? DecodeAny_(job.buffer + pos, c.size[k], target, imageBytes,
                                                 from, to, stride, image.bytesPP, fast, rebuild)
                                    : DecodeAny_(job.buffer + pos, c.size[k], target, imageBytes,
                                                 from, to, stride, image.bytesPP, fast, none);
            if (!ok) ErrFail(ERR_MVI, MVI_DECOMPRESS);
        }
        if (predict) Rebuild_(rebuild.diff, rebuild.pixels, rebuild.done, to - from);
        out = to;
        pos += c.size[k];
    }
    if (last) {
        last->bands = c.bands;
        std::copy(c.rows, c.rows + c.bands, last->rows);
        last->image = image.data;
    }
}

void ApplyPalette_(const QHavPalChunk& pal, QBGR* palette) {
    for (int32_t i = 0; i < pal.count; ++i) {
        const uint8_t* e = pal.entries + 3 * i;
        palette[pal.first + i] = QBGR{e[2], e[1], e[0]};
    }
}

}  // namespace

bool HavDecodeBand(const uint8_t* data, int32_t size, uint8_t* base, int32_t imageBytes,
                   int32_t start, int32_t end, int32_t stride, int32_t bytesPP, bool fast) {
    NoHook_ hook;
    return DecodeAny_(data, size, base, imageBytes, start, end, stride, bytesPP, fast, hook);
}

void HavPredictRebuild(const uint8_t* diff, uint8_t* pixels, int32_t bytes) {
    Rebuild_(diff, pixels, 0, bytes);
}

void HavDecodeFrame(QHavFrameJob& job, Qimg& image) {
    Monitored([&] {
        job.newPalette = false;
        if (job.recordSize < HAV_FRAME_HEADER || job.recordSize > job.bufferSize || !image.data ||
            image.width <= 0 || image.height <= 0 ||
            int64_t{image.width} * image.height * image.bytesPP > image.size || image.bytesPP < 1 ||
            image.bytesPP > 3)
            ErrFail(ERR_MVI, MVI_DECOMPRESS);
        WalkChunks_(
            job.buffer, job.recordSize,
            [&](const QHavPalChunk& pal) {
                ApplyPalette_(pal, image.palette);
                job.newPalette = true;
            },
            [&](const ImageChunk_& c) {
                DecodeImage_(job, image, c);
                return true;
            });
    });
}

void HavListPalettes(const uint8_t* record, int32_t recordSize, std::vector<QHavPalChunk>& out) {
    Monitored([&] {
        out.clear();
        if (recordSize < HAV_FRAME_HEADER) ErrFail(ERR_MVI, MVI_DECOMPRESS);
        WalkChunks_(
            record, recordSize, [&](const QHavPalChunk& pal) { out.push_back(pal); },
            [](const ImageChunk_&) { return true; });
    });
}

}  // namespace kelvora
