#include "platform/AvPicture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KV_SSSE3_ACROSS 1
#endif

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace kelvora {

QAvPictureConverter::~QAvPictureConverter() { sws_freeContext(sws); }

namespace {

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

#ifdef KV_SSSE3_ACROSS
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
void ChromaAcross_(const int16_t* in, bool upsample, int width, int16_t* out) {
    if (!upsample) {
        std::memcpy(out, in + 2, sizeof(int16_t) * static_cast<size_t>(width));
        return;
    }
    // Output 2j sits a quarter sample before chroma j, 2j + 1 a quarter after it (the width
    // is even).
    int j = 0;
#ifdef KV_SSSE3_ACROSS
    if (HaveSsse3_()) j = ChromaAcrossSsse3_(in, width / 2, out);
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
            ChromaDown_(src, taps, cw, p == 1 ? downU : downV);
        }
        ChromaAcross_(downU, across != 0, w, fullU);
        ChromaAcross_(downV, across != 0, w, fullV);
        PixelsOfRow_(f.data[0] + static_cast<ptrdiff_t>(y) * f.linesize[0], fullU, fullV, w, m, rgb,
                     dest + stride * y);
    }
}

}  // namespace

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
