// Decoded pictures into packed rows: our YUV converter beside libswscale's exact path (the
// pictures ffmpeg's `-sws_flags bicubic+accurate_rnd+full_chroma_int+bitexact` gives) for
// every layout, range and matrix it takes, odd sizes included; its vector code beside its plain
// code, byte for byte; the layouts it leaves to libswscale; and the rows it writes, in either
// order.

#include "platform/AvPicture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

using namespace kelvora;

namespace {

// A picture with sharp chroma edges, smooth gradients and noise: where a wrong kernel, siting
// or matrix shows. Samples of limited-range layouts stay in their range (libswscale's exact
// path overflows on colours far outside it, which no decoder makes).
AVFrame* Pattern(AVPixelFormat format, int w, int h, uint32_t seed, bool limited = false) {
    AVFrame* f = av_frame_alloc();
    f->format = format;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f, 0) < 0) return f;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    uint32_t s = seed;
    const auto next = [&s] { return (s = s * 1664525u + 1013904223u) >> 24; };
    for (int p = 0; p < 3 && f->data[p]; ++p) {
        const int pw = p ? AV_CEIL_RSHIFT(w, d->log2_chroma_w) : w;
        const int ph = p ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
        const bool wide = d->comp[p].depth > 8;
        for (int y = 0; y < ph; ++y)
            for (int x = 0; x < pw; ++x) {
                int v = ((x / 3 + y / 2 + p) % 3 == 0) ? 16 + (x * 9 + y * 5) % 200 : 235 - y * 3;
                if ((x + y) % 7 == 0) v = static_cast<int>(next());
                v = std::min(255, std::max(0, v));
                if (limited) v = 16 + v * 219 / 255;
                if (wide)
                    reinterpret_cast<uint16_t*>(
                        f->data[p] + y * f->linesize[p])[x] = static_cast<uint16_t>(v << 2);
                else
                    f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(v);
            }
    }
    return f;
}

bool FullRange(const AVFrame& f) {
    return f.color_range == AVCOL_RANGE_JPEG || f.format == AV_PIX_FMT_YUVJ420P ||
           f.format == AV_PIX_FMT_YUVJ422P || f.format == AV_PIX_FMT_YUVJ444P ||
           f.format == AV_PIX_FMT_YUVJ440P;
}

// libswscale's exact conversion, as ffmpeg does it with the flags above.
std::vector<uint8_t> Reference(const AVFrame& f, int w, int h, bool rgb) {
    SwsContext* sws = sws_getContext(
        f.width, f.height, static_cast<AVPixelFormat>(f.format), w, h,
        rgb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_BGR24,
        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_BITEXACT, nullptr, nullptr,
        nullptr);
    const int space = f.colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : f.colorspace;
    sws_setColorspaceDetails(sws, sws_getCoefficients(space), FullRange(f),
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    const int stride = w * 3 + 64;
    std::vector<uint8_t> padded(static_cast<size_t>(stride) * (h + 1));
    uint8_t* planes[4] = {padded.data()};
    int strides[4] = {stride};
    sws_scale(sws, f.data, f.linesize, 0, f.height, planes, strides);
    sws_freeContext(sws);
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        std::memcpy(out.data() + static_cast<size_t>(y) * w * 3, padded.data() + y * stride,
                    static_cast<size_t>(w) * 3);
    return out;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double se = 0;
    for (size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / se);
}

std::vector<uint8_t> Ours(QAvPictureConverter& c, const AVFrame& f, int w, int h, bool rgb) {
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3, 0xCD);
    EXPECT_TRUE(AvPictureToPacked24(c, f, w, h, rgb, out.data(), w * 3));
    return out;
}

}  // namespace

TEST(AvPicture, YuvLayoutsRangesAndMatricesMatchTheExactPath) {
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV422P,
                                     AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV440P,  AV_PIX_FMT_YUV444P,
                                     AV_PIX_FMT_YUVJ444P};
    const struct { int w, h; } sizes[] = {{64, 48}, {33, 17}, {2, 2}, {1, 1}};
    QAvPictureConverter c;
    uint32_t seed = 1;
    for (const AVPixelFormat format : formats)
        for (const auto& size : sizes)
            for (const AVColorSpace space : {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT709})
                for (const bool rgb : {false, true}) {
                    SCOPED_TRACE(std::string(av_get_pix_fmt_name(format)) + " " +
                                 std::to_string(size.w) + "x" + std::to_string(size.h) +
                                 (space == AVCOL_SPC_BT709 ? " bt709" : "") + (rgb ? " rgb" : ""));
                    // A limited-range layout may still declare full range.
                    const bool declaredFull = format == AV_PIX_FMT_YUV420P && rgb;
                    AVFrame* f = Pattern(format, size.w, size.h, seed++, !declaredFull);
                    ASSERT_NE(f->data[0], nullptr);
                    f->colorspace = space;
                    if (declaredFull) f->color_range = AVCOL_RANGE_JPEG;
                    const auto want = Reference(*f, size.w, size.h, rgb);
                    const auto got = Ours(c, *f, size.w, size.h, rgb);
                    // Rounding apart, the same kernel, even on this harsh picture: well above
                    // the 45 dB a lossy codec needs (a wrong siting or matrix gives under 40).
                    EXPECT_GT(Psnr(got, want), 50.0);
                    av_frame_free(&f);
                }
}

// The vector code at each width against the plain code, which defines the results: every
// layout and range and a few matrices; rows the vector loops fill, rows that leave them a tail
// and rows too short for them; samples at the ends of their range, where levels clamp and the
// kernel rings most, and noise. The planes end with their last row, for a sanitizer build to
// see a load past it.
TEST(AvPicture, VectorCodeGivesThePlainCodesBytes) {
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV422P,
                                     AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV440P,  AV_PIX_FMT_YUVJ440P,
                                     AV_PIX_FMT_YUV444P,  AV_PIX_FMT_YUVJ444P};
    std::mt19937 random(7);
    QAvPictureConverter c;
    for (const AVPixelFormat format : formats)
        for (const int w : {2, 30, 34, 45, 66, 98, 1922})
            for (const int h : {1, 2, 3, 7}) {
                const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
                if ((w & d->log2_chroma_w) || (h & d->log2_chroma_h)) continue;  // libswscale's
                for (int content = 0; content < 4; ++content) {
                    AVFrame f{};
                    f.format = format;
                    f.width = w;
                    f.height = h;
                    std::vector<uint8_t> planes[3];
                    for (int p = 0; p < 3; ++p) {
                        const int pw = p ? AV_CEIL_RSHIFT(w, d->log2_chroma_w) : w;
                        const int ph = p ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
                        planes[p].resize(static_cast<size_t>(pw) * ph);
                        for (uint8_t& v : planes[p]) {
                            // Flat extremes either way, extremes at random, noise.
                            const uint32_t r = random();
                            const uint8_t flat = (p == 1) == (content == 0) ? 255 : 0;
                            v = static_cast<uint8_t>(content < 2    ? flat
                                                     : content == 2 ? (r & 1) * 255
                                                                    : r);
                        }
                        f.data[p] = planes[p].data();
                        f.linesize[p] = pw;
                    }
                    for (const AVColorSpace space :
                         {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT709, AVCOL_SPC_BT2020_NCL})
                        for (const bool rgb : {false, true}) {
                            SCOPED_TRACE(std::string(av_get_pix_fmt_name(format)) + " " +
                                         std::to_string(w) + "x" + std::to_string(h) + " content " +
                                         std::to_string(content) + " space " +
                                         std::to_string(space) + (rgb ? " rgb" : ""));
                            f.colorspace = space;
                            AvPictureLimitVectors(0);
                            const auto plain = Ours(c, f, w, h, rgb);
                            for (const int bits : {128, 256, 512}) {
                                AvPictureLimitVectors(bits);
                                EXPECT_TRUE(Ours(c, f, w, h, rgb) == plain) << bits << " bits";
                            }
                        }
                }
            }
    AvPictureLimitVectors(512);
}

TEST(AvPicture, OtherLayoutsAndScalingGoThroughTheLibraryExactly) {
    QAvPictureConverter c;
    // 10-bit samples, a packed layout, an RGB source and a picture of another size.
    const struct {
        AVPixelFormat format;
        int w, h, outW, outH;
    } cases[] = {{AV_PIX_FMT_YUV420P10LE, 34, 20, 34, 20},
                 {AV_PIX_FMT_NV12, 34, 20, 34, 20},
                 {AV_PIX_FMT_RGB565LE, 34, 20, 34, 20},
                 {AV_PIX_FMT_YUV420P, 64, 48, 32, 24}};
    for (const auto& k : cases) {
        SCOPED_TRACE(av_get_pix_fmt_name(k.format));
        AVFrame* f = Pattern(k.format, k.w, k.h, 5);
        if (k.format == AV_PIX_FMT_NV12 || k.format == AV_PIX_FMT_RGB565LE) {
            for (int y = 0; y < k.h; ++y)  // any bytes will do
                for (int x = 0; x < f->linesize[0]; ++x)
                    f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(x * 7 + y);
        }
        const bool rgbSource = k.format == AV_PIX_FMT_RGB565LE;
        std::vector<uint8_t> want;
        if (rgbSource) {
            SwsContext* sws = sws_getContext(k.w, k.h, k.format, k.outW, k.outH, AV_PIX_FMT_BGR24,
                                             SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr,
                                             nullptr, nullptr);
            want.resize(static_cast<size_t>(k.outW) * k.outH * 3 + 64);
            uint8_t* planes[4] = {want.data()};
            int strides[4] = {k.outW * 3};
            sws_scale(sws, f->data, f->linesize, 0, k.h, planes, strides);
            sws_freeContext(sws);
            want.resize(static_cast<size_t>(k.outW) * k.outH * 3);
        } else {
            want = Reference(*f, k.outW, k.outH, false);
        }
        EXPECT_TRUE(Ours(c, *f, k.outW, k.outH, false) == want);
        av_frame_free(&f);
    }
}

TEST(AvPicture, WritesExactlyTheRowsAskedInEitherOrder) {
    QAvPictureConverter c;
    // libswscale's odd sizes, and ours with rows that end in the middle of a vector step.
    const struct {
        AVPixelFormat format;
        int w, h;
    } cases[] = {{AV_PIX_FMT_YUV420P, 21, 9},
                 {AV_PIX_FMT_YUV420P10LE, 21, 9},
                 {AV_PIX_FMT_YUV420P, 98, 8},
                 {AV_PIX_FMT_YUV444P, 45, 3}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(av_get_pix_fmt_name(k.format)) + " " + std::to_string(k.w));
        AVFrame* f = Pattern(k.format, k.w, k.h, 3);
        const auto topDown = Ours(c, *f, k.w, k.h, false);
        // Bottom-up into rows with 7 bytes to spare, which are left alone.
        const int row = k.w * 3, pitch = row + 7;
        std::vector<uint8_t> block(static_cast<size_t>(pitch) * k.h + 16, 0xAB);
        ASSERT_TRUE(
            AvPictureToPacked24(c, *f, k.w, k.h, false, block.data() + (k.h - 1) * pitch, -pitch));
        for (int y = 0; y < k.h; ++y) {
            const uint8_t* at = block.data() + (k.h - 1 - y) * pitch;
            EXPECT_EQ(std::memcmp(at, topDown.data() + y * row, row), 0) << "row " << y;
            for (int i = row; i < pitch; ++i) EXPECT_EQ(at[i], 0xAB) << "row " << y;
        }
        for (size_t i = static_cast<size_t>(k.h) * pitch; i < block.size(); ++i)
            EXPECT_EQ(block[i], 0xAB);
        av_frame_free(&f);
    }
    // Nothing to convert: refused.
    AVFrame* empty = av_frame_alloc();
    std::vector<uint8_t> out(12);
    EXPECT_FALSE(AvPictureToPacked24(c, *empty, 2, 2, false, out.data(), 6));
    av_frame_free(&empty);
}
