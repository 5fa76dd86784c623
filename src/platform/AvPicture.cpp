#include "platform/AvPicture.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KV_X86_VECTORS 1
#endif

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace kelvora {

QAvPictureConverter::~QAvPictureConverter() { sws_freeContext(sws); }

namespace {

std::atomic<int> vectorBits{512};

// Fixed point, 16 bits throughout so that a vector register holds as many samples as it can:
// chroma is centred on 0 and kept in 128ths, the pixel levels in 32nds. Products round as
// `MulQ15_` does (the rounding high-half multiply of the vector units).
inline int16_t MulQ15_(int16_t a, int16_t b) {
    return static_cast<int16_t>((((int32_t{a} * b) >> 14) + 1) >> 1);
}

// The kernel's taps (a = -0.6) for a sample a quarter of the way from one source sample to the
// next (Quarter) and three quarters of the way (ThreeQuarters), over the four source samples
// around it: libswscale's bicubic weights, in 128ths down the picture (whole products of 8-bit
// samples) and in 32768ths across it (MulQ15_).
constexpr int32_t kQuarterDown[4] = {-11, 112, 31, -4};
constexpr int32_t kThreeQuartersDown[4] = {-4, 31, 112, -11};
constexpr int16_t kQuarterAcross[4] = {-2765, 28570, 7885, -922};
constexpr int16_t kThreeQuartersAcross[4] = {-922, 7885, 28570, -2765};

// The colour matrix: Y's scale for its range in 32768ths of its half (MulQ15_ of Y in 64ths
// gives 32nds), the chroma factors in 32768ths of their quarters (128ths of chroma give 32nds).
struct Matrix_ {
    int16_t y, yOffset, crv, cbu, cgu, cgv;
};

// The code a libav enum field holds. A damaged stream can leave one outside its enum (the decoder
// copies the stream's number as it stands), and C++ may not load such a value as the enum type.
template <class E>
int RawCode_(const E& field) {
    static_assert(sizeof(E) == sizeof(int));
    int code;
    std::memcpy(&code, &field, sizeof code);
    return code;
}

// The colour matrix of a frame; unknown codes get libswscale's default, as it gives them.
int SpaceOf_(const AVFrame& f) {
    const int space = RawCode_(f.colorspace);
    return space == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : space;
}

Matrix_ MatrixOf_(const AVFrame& f, bool full) {
    const int space = SpaceOf_(f);
    const int* t = sws_getCoefficients(space);  // for limited-range chroma, in 65536ths
    const double chroma = full ? 224.0 / 255.0 : 1.0;
    const auto q = [](double v) { return static_cast<int16_t>(std::lround(v * 32768.0)); };
    Matrix_ m;
    m.y = q((full ? 1.0 : 255.0 / 219.0) / 2);
    m.yOffset = static_cast<int16_t>(full ? 0 : 16);
    m.crv = q(t[0] / 65536.0 * chroma / 4);
    m.cbu = q(t[1] / 65536.0 * chroma / 4);
    m.cgu = q(t[2] / 65536.0 * chroma / 4);
    m.cgv = q(t[3] / 65536.0 * chroma / 4);
    return m;
}

bool IsFullRange_(const AVFrame& f) {
    switch (f.format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P: return true;
        default: return RawCode_(f.color_range) == AVCOL_RANGE_JPEG;
    }
}

// Chroma subsampling (log2, across and down: 0 or 1) of the layouts our converter takes; false
// for the others.
bool OurLayout_(int format, int& across, int& down) {
    switch (format) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P: across = 1, down = 1; return true;
        case AV_PIX_FMT_YUV422P:
        case AV_PIX_FMT_YUVJ422P: across = 1, down = 0; return true;
        case AV_PIX_FMT_YUV440P:
        case AV_PIX_FMT_YUVJ440P: across = 0, down = 1; return true;
        case AV_PIX_FMT_YUV444P:
        case AV_PIX_FMT_YUVJ444P: across = 0, down = 0; return true;
        default: return false;
    }
}

// The clones' resolver runs while the program loads, before a sanitizer's runtime is ready:
// sanitizer builds keep the one plain version.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define KV_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KV_VECTOR_CLONES
#endif

// One chroma row down the picture (centred, in 128ths) from the four source rows around it
// (`taps` null: the row itself), with two samples of edge replication on either side for the
// step across.
KV_VECTOR_CLONES
void ChromaDown_(const uint8_t* const src[4], const int32_t* taps, int n, int16_t* out) {
    int16_t* o = out + 2;
    if (!taps) {
        for (int i = 0; i < n; ++i) o[i] = static_cast<int16_t>((src[1][i] - 128) * 128);
    } else {
        const uint8_t *a = src[0], *b = src[1], *c = src[2], *d = src[3];
        const int32_t t0 = taps[0], t1 = taps[1], t2 = taps[2], t3 = taps[3];
        for (int i = 0; i < n; ++i)
            o[i] = static_cast<int16_t>(t0 * (a[i] - 128) + t1 * (b[i] - 128) + t2 * (c[i] - 128) +
                                        t3 * (d[i] - 128));
    }
    out[0] = out[1] = o[0];
    out[n + 2] = out[n + 3] = o[n - 1];
}

inline int16_t Across_(const int16_t* s, const int16_t* t) {
    return static_cast<int16_t>(MulQ15_(s[0], t[0]) + MulQ15_(s[1], t[1]) + MulQ15_(s[2], t[2]) +
                                MulQ15_(s[3], t[3]));
}

#ifdef KV_X86_VECTORS
// Eight chroma samples a step: the rounding high-half multiply is MulQ15_ exactly, and the
// 16-bit sums wrap as the plain path's do. Returns the samples done.
__attribute__((target("ssse3"))) int ChromaAcrossSsse3_(const int16_t* in, int half, int16_t* out) {
    const __m128i e0 = _mm_set1_epi16(kThreeQuartersAcross[0]),
                  e1 = _mm_set1_epi16(kThreeQuartersAcross[1]);
    const __m128i e2 = _mm_set1_epi16(kThreeQuartersAcross[2]),
                  e3 = _mm_set1_epi16(kThreeQuartersAcross[3]);
    const __m128i o0 = _mm_set1_epi16(kQuarterAcross[0]), o1 = _mm_set1_epi16(kQuarterAcross[1]);
    const __m128i o2 = _mm_set1_epi16(kQuarterAcross[2]), o3 = _mm_set1_epi16(kQuarterAcross[3]);
    const auto at = [in](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)); };
    int j = 0;
    for (; j + 8 <= half; j += 8) {
        const __m128i s0 = at(j), s1 = at(j + 1), s2 = at(j + 2), s3 = at(j + 3), s4 = at(j + 4);
        const __m128i even = _mm_add_epi16(
            _mm_add_epi16(_mm_mulhrs_epi16(s0, e0), _mm_mulhrs_epi16(s1, e1)),
            _mm_add_epi16(_mm_mulhrs_epi16(s2, e2), _mm_mulhrs_epi16(s3, e3)));
        const __m128i odd = _mm_add_epi16(
            _mm_add_epi16(_mm_mulhrs_epi16(s1, o0), _mm_mulhrs_epi16(s2, o1)),
            _mm_add_epi16(_mm_mulhrs_epi16(s3, o2), _mm_mulhrs_epi16(s4, o3)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j), _mm_unpacklo_epi16(even, odd));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j + 8), _mm_unpackhi_epi16(even, odd));
    }
    return j;
}

bool HaveSsse3_() {
    static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    return have;
}
#endif

// A chroma row across the picture at full width, centred on the samples, from `in` (as
// ChromaDown_ leaves it).
KV_VECTOR_CLONES
void ChromaAcross_(const int16_t* in, bool upsample, int width, bool ssse3, int16_t* out) {
    if (!upsample) {
        std::memcpy(out, in + 2, sizeof(int16_t) * static_cast<size_t>(width));
        return;
    }
    // Output 2j sits a quarter sample before chroma j, 2j + 1 a quarter after it (the width
    // is even).
    int j = 0;
#ifdef KV_X86_VECTORS
    if (ssse3) j = ChromaAcrossSsse3_(in, width / 2, out);
#else
    (void)ssse3;
#endif
    for (; j < width / 2; ++j) {
        out[2 * j] = Across_(in + j, kThreeQuartersAcross);  // chroma j - 2 .. j + 1
        out[2 * j + 1] = Across_(in + j + 1, kQuarterAcross);
    }
}

inline uint8_t Level_(int32_t v) {
    return static_cast<uint8_t>(std::clamp(static_cast<int16_t>(v + 16) >> 5, 0, 255));
}

// One row of pixels from luma and full-width chroma; red first when `first` is 0, blue first
// when it is 2.
template <int first>
inline void PixelsOfRowIn_(const uint8_t* luma, const int16_t* u, const int16_t* v, int width,
                           const Matrix_& m, uint8_t* out) {
    const int16_t cy = m.y, oy = m.yOffset, crv = m.crv, cbu = m.cbu, cgu = m.cgu, cgv = m.cgv;
    constexpr int last = 2 - first;
    for (int x = 0; x < width; ++x) {
        const int16_t y = MulQ15_(static_cast<int16_t>((luma[x] - oy) * 64), cy);
        const int16_t cb = u[x], cr = v[x];
        out[3 * x + first] = Level_(y + MulQ15_(cr, crv));
        out[3 * x + 1] = Level_(y - MulQ15_(cb, cgu) - MulQ15_(cr, cgv));
        out[3 * x + last] = Level_(y + MulQ15_(cb, cbu));
    }
}

KV_VECTOR_CLONES
void PixelsOfRow_(const uint8_t* luma, const int16_t* u, const int16_t* v, int width,
                  const Matrix_& m, bool rgb, uint8_t* out) {
    if (rgb)
        PixelsOfRowIn_<0>(luma, u, v, width, m, out);
    else
        PixelsOfRowIn_<2>(luma, u, v, width, m, out);
}

#ifdef KV_X86_VECTORS
#define KV_AVX2 __attribute__((target("avx2")))
#define KV_AVX512 __attribute__((target("avx512bw,avx512vbmi")))

bool HaveAvx2_() {
    static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return have;
}

bool HaveAvx512_() {
    static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("avx512bw") &&
                                                        __builtin_cpu_supports("avx512vbmi"));
    return have;
}

// The vector paths below do what the plain functions above do, a block of 32 (AVX2) or 64
// (AVX-512) samples or pixels at a time, and give the same results: the rounding high-half
// multiply is MulQ15_, 16-bit sums wrap as the plain path's casts do, and packing with
// unsigned saturation clamps as Level_ does. A row whose length is not a whole number of
// blocks ends with a block that overlaps the one before it, writing the same values again, so
// that no load or store leaves the row.

// A byte pair of taps in every 16-bit lane, the first in the low byte.
inline int16_t TapPair_(int32_t first, int32_t second) {
    return static_cast<int16_t>((first & 0xFF) | (second & 0xFF) << 8);
}

KV_AVX2 inline __m256i LoadAvx2_(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// ChromaDown_ for rows of 32 samples or more. pmaddubsw multiplies the samples as they stand
// (unsigned) by the taps as bytes, and its pair sums stay within 16 bits (255 * 112 at most);
// the taps' sum (128) times 128, taken off at the end, centres them. The two pairs' sum may
// wrap on the way, which the subtraction undoes, as the result fits.
KV_AVX2 void ChromaDownAvx2_(const uint8_t* const src[4], const int32_t* taps, int n, int16_t* out) {
    int16_t* o = out + 2;
    const __m256i centre = _mm256_set1_epi16(128 * 128);
    if (!taps) {
        const uint8_t* s = src[1];
        for (int i = 0; i < n; i += 16) {
            const int at = std::min(i, n - 16);
            const __m256i v = _mm256_cvtepu8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + at)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + at),
                                _mm256_sub_epi16(_mm256_slli_epi16(v, 7), centre));
        }
    } else {
        const uint8_t *a = src[0], *b = src[1], *c = src[2], *d = src[3];
        const __m256i t01 = _mm256_set1_epi16(TapPair_(taps[0], taps[1]));
        const __m256i t23 = _mm256_set1_epi16(TapPair_(taps[2], taps[3]));
        for (int i = 0; i < n; i += 32) {
            const int at = std::min(i, n - 32);
            const __m256i sa = LoadAvx2_(a + at), sb = LoadAvx2_(b + at);
            const __m256i sc = LoadAvx2_(c + at), sd = LoadAvx2_(d + at);
            // Unpacking stays within 128-bit lanes: `lo` holds samples 0-7 and 16-23.
            const __m256i lo = _mm256_sub_epi16(
                _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(sa, sb), t01),
                                 _mm256_maddubs_epi16(_mm256_unpacklo_epi8(sc, sd), t23)),
                centre);
            const __m256i hi = _mm256_sub_epi16(
                _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(sa, sb), t01),
                                 _mm256_maddubs_epi16(_mm256_unpackhi_epi8(sc, sd), t23)),
                centre);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + at),
                                _mm256_permute2x128_si256(lo, hi, 0x20));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + at + 16),
                                _mm256_permute2x128_si256(lo, hi, 0x31));
        }
    }
    out[0] = out[1] = o[0];
    out[n + 2] = out[n + 3] = o[n - 1];
}

// Where pixel p of a block sits among the bytes that packing two vectors of its 16-bit levels
// gives, packing working within 128-bit lanes. The two vectors held the block's even and odd
// pixels (`evensOdds`), or its halves of `half` pixels each, or (`half` 0) a vector's lanes
// held the pixels of the same lanes of the result.
constexpr int PackedAt_(int p, bool evensOdds, int half) {
    if (evensOdds) return p / 16 * 16 + (p & 1) * 8 + p % 16 / 2;
    if (!half) return p;
    return p % half / 8 * 16 + p / half * 8 + p % 8;
}

// The colour (0 blue, 1 green, 2 red) of byte `n` of packed pixels.
constexpr int ColourAt_(int n, bool rgb) { return rgb ? 2 - n % 3 : n % 3; }

// Byte shuffles from a block's levels to its first 48 bytes of pixels in lane 0 and its next
// 48 in lane 1: `at[q][c]` gathers colour c's bytes among those 16 q to 16 q + 15 of each.
struct Interleave256_ {
    alignas(32) int8_t at[3][3][32];
};

constexpr Interleave256_ MakeInterleave256_(bool evensOdds, bool rgb) {
    Interleave256_ r{};
    for (int q = 0; q < 3; ++q)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 32; ++k) {
                const int n = k / 16 * 48 + 16 * q + k % 16;
                const int from = PackedAt_(n / 3, evensOdds, 0) % 16;
                r.at[q][c][k] = static_cast<int8_t>(ColourAt_(n, rgb) == c ? from : -128);
            }
    return r;
}

constexpr Interleave256_ kInterleave256[2][2] = {
    {MakeInterleave256_(false, false), MakeInterleave256_(false, true)},
    {MakeInterleave256_(true, false), MakeInterleave256_(true, true)}};

// What the blocks of a row share, loaded once: loads inside the loop would be done again after
// every store of pixels, which may alias anything. The colour matrix in every lane (Y's offset
// in 64ths as luma comes, and Level_'s rounding), the taps across and the interleaving.
struct SharedAvx2_ {
    __m256i y, yOffset, crv, cbu, cgu, cgv, half;
    __m256i taps[4];
    __m256i at[3][3];
};

KV_AVX2 inline SharedAvx2_ ShareAvx2_(const Matrix_& m, const Interleave256_& order) {
    SharedAvx2_ k;
    k.y = _mm256_set1_epi16(m.y);
    k.yOffset = _mm256_set1_epi16(static_cast<int16_t>(m.yOffset * 64));
    k.crv = _mm256_set1_epi16(m.crv);
    k.cbu = _mm256_set1_epi16(m.cbu);
    k.cgu = _mm256_set1_epi16(m.cgu);
    k.cgv = _mm256_set1_epi16(m.cgv);
    k.half = _mm256_set1_epi16(16);
    for (int i = 0; i < 4; ++i) k.taps[i] = _mm256_set1_epi16(kThreeQuartersAcross[i]);
    for (int q = 0; q < 3; ++q)
        for (int c = 0; c < 3; ++c) k.at[q][c] = LoadAvx2_(order.at[q][c]);
    return k;
}

// ChromaAcross_'s samples 2j to 2j + 31 as evens (2j, 2j + 2 ...) and odds, from in + j on.
// The odds' taps are the evens' backwards, and both weigh chroma j + 2 alike.
KV_AVX2 inline void AcrossAvx2_(const int16_t* in, const SharedAvx2_& k, __m256i& evens,
                                __m256i& odds) {
    const __m256i s1 = LoadAvx2_(in + 1), s3 = LoadAvx2_(in + 3);
    const __m256i centre = _mm256_mulhrs_epi16(LoadAvx2_(in + 2), k.taps[2]);
    evens = _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(LoadAvx2_(in), k.taps[0]),
                                              _mm256_mulhrs_epi16(s1, k.taps[1])),
                             _mm256_add_epi16(centre, _mm256_mulhrs_epi16(s3, k.taps[3])));
    odds = _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(s1, k.taps[3]), centre),
                            _mm256_add_epi16(_mm256_mulhrs_epi16(s3, k.taps[1]),
                                             _mm256_mulhrs_epi16(LoadAvx2_(in + 4), k.taps[0])));
}

KV_AVX2 inline __m256i LevelsAvx2_(__m256i a, __m256i b) {
    return _mm256_packus_epi16(_mm256_srai_epi16(a, 5), _mm256_srai_epi16(b, 5));
}

// PixelsOfRowIn_ for 32 pixels: luma in 64ths and chroma, each as two vectors of the block's
// pixels (evens and odds, or each lane's in order), to 96 bytes of `out`.
KV_AVX2 inline void PixelsAvx2_(__m256i l0, __m256i l1, __m256i u0, __m256i u1, __m256i v0,
                                __m256i v1, const SharedAvx2_& k, uint8_t* out) {
    const __m256i y0 = _mm256_add_epi16(_mm256_mulhrs_epi16(_mm256_sub_epi16(l0, k.yOffset), k.y),
                                        k.half);
    const __m256i y1 = _mm256_add_epi16(_mm256_mulhrs_epi16(_mm256_sub_epi16(l1, k.yOffset), k.y),
                                        k.half);
    const __m256i colours[3] = {
        LevelsAvx2_(_mm256_add_epi16(y0, _mm256_mulhrs_epi16(u0, k.cbu)),
                    _mm256_add_epi16(y1, _mm256_mulhrs_epi16(u1, k.cbu))),
        LevelsAvx2_(_mm256_sub_epi16(_mm256_sub_epi16(y0, _mm256_mulhrs_epi16(u0, k.cgu)),
                                     _mm256_mulhrs_epi16(v0, k.cgv)),
                    _mm256_sub_epi16(_mm256_sub_epi16(y1, _mm256_mulhrs_epi16(u1, k.cgu)),
                                     _mm256_mulhrs_epi16(v1, k.cgv))),
        LevelsAvx2_(_mm256_add_epi16(y0, _mm256_mulhrs_epi16(v0, k.crv)),
                    _mm256_add_epi16(y1, _mm256_mulhrs_epi16(v1, k.crv)))};
    __m128i* o = reinterpret_cast<__m128i*>(out);
    for (int q = 0; q < 3; ++q) {
        __m256i part = _mm256_setzero_si256();
        for (int c = 0; c < 3; ++c)
            part = _mm256_or_si256(part, _mm256_shuffle_epi8(colours[c], k.at[q][c]));
        _mm_storeu_si128(o + q, _mm256_castsi256_si128(part));
        _mm_storeu_si128(o + 3 + q, _mm256_extracti128_si256(part, 1));
    }
}

// ChromaAcross_ and PixelsOfRow_ together, so that the full-width chroma rows stay in
// registers. `width` is 32 or more.
KV_AVX2 void RowAvx2_(const uint8_t* luma, const int16_t* u, const int16_t* v, bool upsample,
                      int width, const Matrix_& matrix, bool rgb, uint8_t* out) {
    const SharedAvx2_ k = ShareAvx2_(matrix, kInterleave256[upsample][rgb]);
    for (int i = 0; i < width; i += 32) {
        const int x = std::min(i, width - 32);
        const __m256i l = LoadAvx2_(luma + x);
        if (upsample) {
            // A block's 16 chroma samples give its even pixels and its odd ones apart; luma
            // splits likewise, 64 times each byte.
            __m256i ue, uo, ve, vo;
            AcrossAvx2_(u + x / 2, k, ue, uo);
            AcrossAvx2_(v + x / 2, k, ve, vo);
            PixelsAvx2_(_mm256_maddubs_epi16(l, _mm256_set1_epi16(64)),
                        _mm256_maddubs_epi16(l, _mm256_set1_epi16(64 << 8)), ue, uo, ve, vo, k,
                        out + 3 * x);
        } else {
            // Unpacking luma leaves pixels 0-7 and 16-23 in the first vector: chroma follows.
            const __m256i zero = _mm256_setzero_si256();
            const __m256i u0 = LoadAvx2_(u + 2 + x), u1 = LoadAvx2_(u + 18 + x);
            const __m256i v0 = LoadAvx2_(v + 2 + x), v1 = LoadAvx2_(v + 18 + x);
            PixelsAvx2_(_mm256_slli_epi16(_mm256_unpacklo_epi8(l, zero), 6),
                        _mm256_slli_epi16(_mm256_unpackhi_epi8(l, zero), 6),
                        _mm256_permute2x128_si256(u0, u1, 0x20),
                        _mm256_permute2x128_si256(u0, u1, 0x31),
                        _mm256_permute2x128_si256(v0, v1, 0x20),
                        _mm256_permute2x128_si256(v0, v1, 0x31), k, out + 3 * x);
        }
    }
}

KV_AVX512 inline __m512i LoadAvx512_(const void* p) { return _mm512_loadu_si512(p); }

// ChromaDownAvx2_ for rows of 64 samples or more.
KV_AVX512 void ChromaDownAvx512_(const uint8_t* const src[4], const int32_t* taps, int n,
                                 int16_t* out) {
    int16_t* o = out + 2;
    const __m512i centre = _mm512_set1_epi16(128 * 128);
    if (!taps) {
        const uint8_t* s = src[1];
        for (int i = 0; i < n; i += 32) {
            const int at = std::min(i, n - 32);
            const __m512i v = _mm512_cvtepu8_epi16(LoadAvx2_(s + at));
            _mm512_storeu_si512(o + at, _mm512_sub_epi16(_mm512_slli_epi16(v, 7), centre));
        }
    } else {
        const uint8_t *a = src[0], *b = src[1], *c = src[2], *d = src[3];
        const __m512i t01 = _mm512_set1_epi16(TapPair_(taps[0], taps[1]));
        const __m512i t23 = _mm512_set1_epi16(TapPair_(taps[2], taps[3]));
        // 128-bit lane k of `lo` holds samples 16k to 16k + 7, of `hi` the next 8.
        const __m512i first = _mm512_set_epi64(11, 10, 3, 2, 9, 8, 1, 0);
        const __m512i second = _mm512_set_epi64(15, 14, 7, 6, 13, 12, 5, 4);
        for (int i = 0; i < n; i += 64) {
            const int at = std::min(i, n - 64);
            const __m512i sa = LoadAvx512_(a + at), sb = LoadAvx512_(b + at);
            const __m512i sc = LoadAvx512_(c + at), sd = LoadAvx512_(d + at);
            const __m512i lo = _mm512_sub_epi16(
                _mm512_add_epi16(_mm512_maddubs_epi16(_mm512_unpacklo_epi8(sa, sb), t01),
                                 _mm512_maddubs_epi16(_mm512_unpacklo_epi8(sc, sd), t23)),
                centre);
            const __m512i hi = _mm512_sub_epi16(
                _mm512_add_epi16(_mm512_maddubs_epi16(_mm512_unpackhi_epi8(sa, sb), t01),
                                 _mm512_maddubs_epi16(_mm512_unpackhi_epi8(sc, sd), t23)),
                centre);
            _mm512_storeu_si512(o + at, _mm512_permutex2var_epi64(lo, first, hi));
            _mm512_storeu_si512(o + at + 32, _mm512_permutex2var_epi64(lo, second, hi));
        }
    }
    out[0] = out[1] = o[0];
    out[n + 2] = out[n + 3] = o[n - 1];
}

// Byte permutations from a block's levels to its 192 bytes of pixels, 64 at a time: `pair`
// picks blue (below 64) and green (64 and up), and red goes where `red` has a bit, from
// `redAt`.
struct Interleave512_ {
    alignas(64) uint8_t pair[3][64];
    alignas(64) uint8_t redAt[3][64];
    uint64_t red[3];
};

constexpr Interleave512_ MakeInterleave512_(bool evensOdds, bool rgb) {
    Interleave512_ r{};
    for (int q = 0; q < 3; ++q)
        for (int k = 0; k < 64; ++k) {
            const int n = 64 * q + k, from = PackedAt_(n / 3, evensOdds, 32);
            const int colour = ColourAt_(n, rgb);
            if (colour == 2) {
                r.red[q] |= uint64_t{1} << k;
                r.redAt[q][k] = static_cast<uint8_t>(from);
            } else {
                r.pair[q][k] = static_cast<uint8_t>(from + 64 * colour);
            }
        }
    return r;
}

constexpr Interleave512_ kInterleave512[2][2] = {
    {MakeInterleave512_(false, false), MakeInterleave512_(false, true)},
    {MakeInterleave512_(true, false), MakeInterleave512_(true, true)}};

// SharedAvx2_ for 64 pixels.
struct SharedAvx512_ {
    __m512i y, yOffset, crv, cbu, cgu, cgv, half;
    __m512i taps[4];
    __m512i pair[3], redAt[3];
    __mmask64 red[3];
};

KV_AVX512 inline SharedAvx512_ ShareAvx512_(const Matrix_& m, const Interleave512_& order) {
    SharedAvx512_ k;
    k.y = _mm512_set1_epi16(m.y);
    k.yOffset = _mm512_set1_epi16(static_cast<int16_t>(m.yOffset * 64));
    k.crv = _mm512_set1_epi16(m.crv);
    k.cbu = _mm512_set1_epi16(m.cbu);
    k.cgu = _mm512_set1_epi16(m.cgu);
    k.cgv = _mm512_set1_epi16(m.cgv);
    k.half = _mm512_set1_epi16(16);
    for (int i = 0; i < 4; ++i) k.taps[i] = _mm512_set1_epi16(kThreeQuartersAcross[i]);
    for (int q = 0; q < 3; ++q) {
        k.pair[q] = LoadAvx512_(order.pair[q]);
        k.redAt[q] = LoadAvx512_(order.redAt[q]);
        k.red[q] = order.red[q];
    }
    return k;
}

// AcrossAvx2_ for 64 samples.
KV_AVX512 inline void AcrossAvx512_(const int16_t* in, const SharedAvx512_& k, __m512i& evens,
                                    __m512i& odds) {
    const __m512i s1 = LoadAvx512_(in + 1), s3 = LoadAvx512_(in + 3);
    const __m512i centre = _mm512_mulhrs_epi16(LoadAvx512_(in + 2), k.taps[2]);
    evens = _mm512_add_epi16(_mm512_add_epi16(_mm512_mulhrs_epi16(LoadAvx512_(in), k.taps[0]),
                                              _mm512_mulhrs_epi16(s1, k.taps[1])),
                             _mm512_add_epi16(centre, _mm512_mulhrs_epi16(s3, k.taps[3])));
    odds = _mm512_add_epi16(_mm512_add_epi16(_mm512_mulhrs_epi16(s1, k.taps[3]), centre),
                            _mm512_add_epi16(_mm512_mulhrs_epi16(s3, k.taps[1]),
                                             _mm512_mulhrs_epi16(LoadAvx512_(in + 4), k.taps[0])));
}

KV_AVX512 inline __m512i LevelsAvx512_(__m512i a, __m512i b) {
    return _mm512_packus_epi16(_mm512_srai_epi16(a, 5), _mm512_srai_epi16(b, 5));
}

// PixelsAvx2_ for 64 pixels, whose vectors held evens and odds or halves.
KV_AVX512 inline void PixelsAvx512_(__m512i l0, __m512i l1, __m512i u0, __m512i u1, __m512i v0,
                                    __m512i v1, const SharedAvx512_& k, uint8_t* out) {
    const __m512i y0 = _mm512_add_epi16(_mm512_mulhrs_epi16(_mm512_sub_epi16(l0, k.yOffset), k.y),
                                        k.half);
    const __m512i y1 = _mm512_add_epi16(_mm512_mulhrs_epi16(_mm512_sub_epi16(l1, k.yOffset), k.y),
                                        k.half);
    const __m512i b = LevelsAvx512_(_mm512_add_epi16(y0, _mm512_mulhrs_epi16(u0, k.cbu)),
                                    _mm512_add_epi16(y1, _mm512_mulhrs_epi16(u1, k.cbu)));
    const __m512i g = LevelsAvx512_(
        _mm512_sub_epi16(_mm512_sub_epi16(y0, _mm512_mulhrs_epi16(u0, k.cgu)),
                         _mm512_mulhrs_epi16(v0, k.cgv)),
        _mm512_sub_epi16(_mm512_sub_epi16(y1, _mm512_mulhrs_epi16(u1, k.cgu)),
                         _mm512_mulhrs_epi16(v1, k.cgv)));
    const __m512i r = LevelsAvx512_(_mm512_add_epi16(y0, _mm512_mulhrs_epi16(v0, k.crv)),
                                    _mm512_add_epi16(y1, _mm512_mulhrs_epi16(v1, k.crv)));
    for (int q = 0; q < 3; ++q) {
        const __m512i part = _mm512_permutex2var_epi8(b, k.pair[q], g);
        _mm512_storeu_si512(out + 64 * q,
                            _mm512_mask_permutexvar_epi8(part, k.red[q], k.redAt[q], r));
    }
}

// RowAvx2_ 64 pixels a step. `width` is 64 or more.
KV_AVX512 void RowAvx512_(const uint8_t* luma, const int16_t* u, const int16_t* v, bool upsample,
                          int width, const Matrix_& matrix, bool rgb, uint8_t* out) {
    const SharedAvx512_ k = ShareAvx512_(matrix, kInterleave512[upsample][rgb]);
    for (int i = 0; i < width; i += 64) {
        const int x = std::min(i, width - 64);
        if (upsample) {
            const __m512i l = LoadAvx512_(luma + x);
            __m512i ue, uo, ve, vo;
            AcrossAvx512_(u + x / 2, k, ue, uo);
            AcrossAvx512_(v + x / 2, k, ve, vo);
            PixelsAvx512_(_mm512_maddubs_epi16(l, _mm512_set1_epi16(64)),
                          _mm512_maddubs_epi16(l, _mm512_set1_epi16(64 << 8)), ue, uo, ve, vo, k,
                          out + 3 * x);
        } else {
            // The halves of the block, in the order the permutations take them.
            PixelsAvx512_(_mm512_slli_epi16(_mm512_cvtepu8_epi16(LoadAvx2_(luma + x)), 6),
                          _mm512_slli_epi16(_mm512_cvtepu8_epi16(LoadAvx2_(luma + x + 32)), 6),
                          LoadAvx512_(u + 2 + x), LoadAvx512_(u + 34 + x), LoadAvx512_(v + 2 + x),
                          LoadAvx512_(v + 34 + x), k, out + 3 * x);
        }
    }
}
#endif

// Our converter: `f` is one of OurLayout_'s, at the size asked.
void Convert_(QAvPictureConverter& c, const AVFrame& f, int across, int down, bool rgb,
              uint8_t* dest, ptrdiff_t stride) {
    const Matrix_ m = MatrixOf_(f, IsFullRange_(f));
    std::vector<int16_t>& buffer = c.rows;
    const int w = f.width, h = f.height;
    const int cw = (w + (1 << across) - 1) >> across, ch = (h + (1 << down) - 1) >> down;
    const size_t padded = static_cast<size_t>(cw) + 4;
    buffer.resize(2 * padded + 2 * static_cast<size_t>(w));
    int16_t* downU = buffer.data();
    int16_t* downV = downU + padded;
    int16_t* fullU = downV + padded;
    int16_t* fullV = fullU + w;
    bool ssse3 = false;
#ifdef KV_X86_VECTORS
    const int bits = vectorBits.load(std::memory_order_relaxed);
    ssse3 = bits >= 128 && HaveSsse3_();
    const bool avx2 = bits >= 256 && HaveAvx2_(), avx512 = bits >= 512 && HaveAvx512_();
#endif
    for (int y = 0; y < h; ++y) {
        const int32_t* taps = nullptr;
        int first = y;  // the source row of taps[1]
        if (down) {
            // Row 2k sits a quarter row before chroma row k, 2k + 1 a quarter after it.
            taps = (y & 1) ? kQuarterDown : kThreeQuartersDown;
            first = (y >> 1) - !(y & 1);
        }
        for (int p = 1; p <= 2; ++p) {
            const uint8_t* src[4];
            for (int k = 0; k < 4; ++k) {
                const int row = std::clamp(first - 1 + k, 0, ch - 1);
                src[k] = f.data[p] + static_cast<ptrdiff_t>(row) * f.linesize[p];
            }
            int16_t* out = p == 1 ? downU : downV;
#ifdef KV_X86_VECTORS
            if (avx512 && cw >= 64) {
                ChromaDownAvx512_(src, taps, cw, out);
                continue;
            }
            if (avx2 && cw >= 32) {
                ChromaDownAvx2_(src, taps, cw, out);
                continue;
            }
#endif
            ChromaDown_(src, taps, cw, out);
        }
        const uint8_t* luma = f.data[0] + static_cast<ptrdiff_t>(y) * f.linesize[0];
        uint8_t* row = dest + stride * y;
#ifdef KV_X86_VECTORS
        if (avx512 && w >= 64) {
            RowAvx512_(luma, downU, downV, across != 0, w, m, rgb, row);
            continue;
        }
        if (avx2 && w >= 32) {
            RowAvx2_(luma, downU, downV, across != 0, w, m, rgb, row);
            continue;
        }
#endif
        ChromaAcross_(downU, across != 0, w, ssse3, fullU);
        ChromaAcross_(downV, across != 0, w, ssse3, fullV);
        PixelsOfRow_(luma, fullU, fullV, w, m, rgb, row);
    }
}

}  // namespace

void AvPictureLimitVectors(int bits) { vectorBits.store(bits, std::memory_order_relaxed); }

bool AvPictureToPacked24(QAvPictureConverter& c, const AVFrame& f, int width, int height, bool rgb,
                         uint8_t* dest, ptrdiff_t stride) {
    const auto src = static_cast<AVPixelFormat>(f.format);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(src);
    if (f.width <= 0 || f.height <= 0 || width <= 0 || height <= 0 || !d || !f.data[0])
        return false;
    // A subsampled odd side has libswscale stretch its chroma over the whole side (not the
    // geometric siting): those pictures take its path, to stay ffmpeg's pictures.
    int across = 0, down = 0;
    if (f.width == width && f.height == height && OurLayout_(src, across, down) &&
        !((width & across) | (height & down)) && f.data[1] && f.data[2]) {
        Convert_(c, f, across, down, rgb, dest, stride);
        return true;
    }
    const bool rgbSource = d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL);
    const int flags = rgbSource ? SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT
                                : SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT;
    c.sws = sws_getCachedContext(c.sws, f.width, f.height, src, width, height,
                                 rgb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24, flags, nullptr, nullptr,
                                 nullptr);
    if (!c.sws) return false;
    if (!rgbSource && d->nb_components >= 3) {
        // The frame's own matrix and range, as FFmpeg's scale filter takes them.
        const int space = SpaceOf_(f);
        sws_setColorspaceDetails(c.sws, sws_getCoefficients(space), IsFullRange_(f),
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    const int spareStride = FFALIGN(width * 3, 64) + 64;
    c.spare.resize(static_cast<size_t>(spareStride) * (static_cast<size_t>(height) + 1));
    uint8_t* planes[4] = {c.spare.data(), nullptr, nullptr, nullptr};
    int strides[4] = {spareStride, 0, 0, 0};
    if (sws_scale(c.sws, f.data, f.linesize, 0, f.height, planes, strides) != height) return false;
    for (int y = 0; y < height; ++y)
        std::memcpy(dest + stride * y, c.spare.data() + static_cast<size_t>(spareStride) * y,
                    static_cast<size_t>(width) * 3);
    return true;
}

}  // namespace kelvora
