#include "platform/VideoCodec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>

#include "platform/RiffFile.h"  // MmioFourCC only

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/AvCommon.h"

namespace kelvora {

namespace {

constexpr int64_t kHeaderBytes = 40;
// Pictures beyond these are damage, not video.
constexpr int64_t kMaxSide = 16384;
constexpr int64_t kMaxPixels = int64_t{8192} * 8192;
// A stream format larger than this is not a header with extra data.
constexpr int32_t kMaxFormatBytes = 16 << 20;

// Compression codes that mean plain rows, like BI_RGB.
bool IsRawCode_(uint32_t code) {
    const uint32_t u = FourCCUpper(code);
    return code == BI_RGB || u == MmioFourCC('D', 'I', 'B', ' ') ||
           u == MmioFourCC('R', 'A', 'W', ' ') || u == MmioFourCC('R', 'G', 'B', ' ');
}

AVCodecID RiffVideoCodec_(uint32_t fourcc) {
    static const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
    return av_codec_get_id(tables, fourcc);
}

// Room for a packed bitmap of `width` x `height` at `bits` with `colours` table entries; the
// header is written, the table and rows are zero. Returns the first (bottom) row, or null
// when the memory is not there.
uint8_t* NewDib_(std::vector<uint8_t>& dib, int64_t width, int64_t height, int32_t bits,
                 int32_t colours, int64_t& stride) {
    stride = (width * (bits / 8) + 3) & ~int64_t{3};
    const int64_t rows = kHeaderBytes + int64_t{colours} * 4;
    try {
        dib.assign(static_cast<size_t>(rows + stride * height), 0);
    } catch (const std::bad_alloc&) {
        dib.clear();
        return nullptr;
    }
    uint8_t* h = dib.data();
    auto put32 = [h](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(0, kHeaderBytes);
    put32(4, static_cast<uint32_t>(width));
    put32(8, static_cast<uint32_t>(height));
    h[12] = 1;  // planes
    h[14] = static_cast<uint8_t>(bits);
    put32(16, BI_RGB);
    put32(20, static_cast<uint32_t>(stride * height));
    put32(32, static_cast<uint32_t>(colours));
    return h + rows;
}

// A colour table from 0xAARRGGBB entries (the layout of FFmpeg's palettes).
void PutColourTable_(std::vector<uint8_t>& dib, const uint32_t* argb) {
    uint8_t* t = dib.data() + kHeaderBytes;
    for (int i = 0; i < 256; ++i, t += 4) {
        t[0] = static_cast<uint8_t>(argb[i]);
        t[1] = static_cast<uint8_t>(argb[i] >> 8);
        t[2] = static_cast<uint8_t>(argb[i] >> 16);
        t[3] = 0;
    }
}

bool IsYuv_(AVPixelFormat fmt) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
    return d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) && d->nb_components >= 3;
}

bool IsFullRangeFormat_(AVPixelFormat fmt) {
    switch (fmt) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P: return true;
        default: return false;
    }
}

}  // namespace

struct QVideoCodec {
    // The stream's picture as its format describes it.
    int32_t width = 0;
    int32_t height = 0;  // rows, whatever their order
    int32_t bits = 0;
    bool topDown = false;
    bool raw = false;
    // 0xAARRGGBB entries: the format's colour table with the changes applied since.
    uint32_t palette[256] = {};
    bool palettised = false;
    bool paletteDirty = false;  // to go to the decoder with the next packet

    AVCodecContext* ctx = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
    bool draining = false;                   // the decoder was told the stream ended
    std::deque<std::vector<uint8_t>> ready;  // bitmaps decoded and not handed out yet
    std::vector<uint8_t> last;               // the bitmap handed out last

    ~QVideoCodec() {
        sws_freeContext(sws);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
    }

    // An uncompressed frame into a bitmap.
    int32_t DecodeRaw(const uint8_t* data, int64_t bytes, std::vector<uint8_t>& dib) {
        const int64_t rowBytes = int64_t{width} * (bits / 8);
        const int64_t padded = (rowBytes + 3) & ~int64_t{3};
        int64_t from = 0;
        if (bytes >= padded * height)
            from = padded;
        else if (bytes >= rowBytes * height)
            from = rowBytes;  // a writer that did not pad its rows
        else
            return ICERR_BADSIZE;
        int64_t stride = 0;
        uint8_t* rows = NewDib_(dib, width, height, bits, bits == 8 ? 256 : 0, stride);
        if (!rows) return ICERR_MEMORY;
        for (int64_t r = 0; r < height; ++r) {
            const int64_t to = topDown ? height - 1 - r : r;
            std::memcpy(rows + to * stride, data + r * from, static_cast<size_t>(rowBytes));
        }
        if (bits == 8) PutColourTable_(dib, palette);
        return ICERR_OK;
    }

    // A decoded frame into a bitmap in the depth that suits its pixel format.
    int32_t FrameToDib(const AVFrame& f, std::vector<uint8_t>& dib) {
        const int64_t w = f.width, h = f.height;
        if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || w * h > kMaxPixels)
            return ICERR_BADIMAGESIZE;
        const auto fmt = static_cast<AVPixelFormat>(f.format);
        int32_t outBits = 24;
        int64_t copyBytes = 0;  // bytes of a row taken as they are; 0 when converted
        switch (fmt) {
            case AV_PIX_FMT_PAL8:
            case AV_PIX_FMT_GRAY8: outBits = 8, copyBytes = w; break;
            case AV_PIX_FMT_RGB555LE: outBits = 16, copyBytes = w * 2; break;
            case AV_PIX_FMT_BGR24: copyBytes = w * 3; break;
            case AV_PIX_FMT_BGRA:
            case AV_PIX_FMT_BGR0: outBits = 32, copyBytes = w * 4; break;
            default: break;
        }
        int64_t stride = 0;
        uint8_t* rows = NewDib_(dib, w, h, outBits, outBits == 8 ? 256 : 0, stride);
        if (!rows) return ICERR_MEMORY;
        // The bottom row first: the last picture row, read upwards.
        uint8_t* bottomUp[4] = {rows + (h - 1) * stride, nullptr, nullptr, nullptr};
        const int bottomUpStride[4] = {-static_cast<int>(stride), 0, 0, 0};
        if (copyBytes > 0) {
            if (!f.data[0] || std::abs(f.linesize[0]) < copyBytes) return ICERR_INTERNAL;
            for (int64_t r = 0; r < h; ++r)
                std::memcpy(bottomUp[0] - r * stride, f.data[0] + r * f.linesize[0],
                            static_cast<size_t>(copyBytes));
        } else {
            const int iw = static_cast<int>(w), ih = static_cast<int>(h);
            sws = sws_getCachedContext(sws, iw, ih, fmt, iw, ih, AV_PIX_FMT_BGR24,
                                       SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                       nullptr, nullptr);
            if (!sws) return ICERR_UNSUPPORTED;
            if (IsYuv_(fmt)) {
                // The decoder's colour matrix and range, as the stream declares them.
                const int space = f.colorspace == AVCOL_SPC_UNSPECIFIED
                                      ? SWS_CS_DEFAULT
                                      : static_cast<int>(f.colorspace);
                const int full = f.color_range == AVCOL_RANGE_JPEG || IsFullRangeFormat_(fmt);
                sws_setColorspaceDetails(sws, sws_getCoefficients(space), full,
                                         sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
            }
            if (sws_scale(sws, f.data, f.linesize, 0, ih, bottomUp, bottomUpStride) != ih)
                return ICERR_INTERNAL;
        }
        if (fmt == AV_PIX_FMT_PAL8) {
            if (!f.data[1]) return ICERR_INTERNAL;
            uint32_t argb[256];
            std::memcpy(argb, f.data[1], sizeof argb);
            PutColourTable_(dib, argb);
        } else if (fmt == AV_PIX_FMT_GRAY8) {
            uint32_t grey[256];
            for (uint32_t i = 0; i < 256; ++i) grey[i] = 0xFF000000u | i << 16 | i << 8 | i;
            PutColourTable_(dib, grey);
        }
        return ICERR_OK;
    }

    // Takes every frame the decoder has ready. The first failure to convert one is the result;
    // that frame is lost.
    int32_t Receive() {
        int32_t result = ICERR_OK;
        while (avcodec_receive_frame(ctx, frame) >= 0) {
            std::vector<uint8_t> dib;
            const int32_t r = FrameToDib(*frame, dib);
            av_frame_unref(frame);
            if (r == ICERR_OK)
                ready.push_back(std::move(dib));
            else if (result == ICERR_OK)
                result = r;
        }
        return result;
    }

    void Restart() {
        if (ctx) avcodec_flush_buffers(ctx);
        draining = false;
        ready.clear();
        last.clear();
        paletteDirty = palettised;
    }

    // Hands out the oldest frame waiting, if any.
    void TakeReady(std::vector<uint8_t>& dib) {
        if (ready.empty()) return;
        dib = std::move(ready.front());
        ready.pop_front();
        last = dib;
    }
};

int32_t VideoCodecOpen(QVideoCodec** codec, const uint8_t* format, int32_t formatBytes,
                       uint32_t handler) {
    if (!codec) return ICERR_BADPARAM;
    *codec = nullptr;
    if (!format || formatBytes < kHeaderBytes || formatBytes > kMaxFormatBytes)
        return ICERR_BADFORMAT;
    AvQuietLog();
    const int64_t headerSize = RiffU32(format);
    const auto width = static_cast<int32_t>(RiffU32(format + 4));
    const auto rawHeight = static_cast<int32_t>(RiffU32(format + 8));
    const uint16_t bitCount = RiffU16(format + 14);
    const uint32_t compression = RiffU32(format + 16);
    const uint32_t used = RiffU32(format + 32);
    if (headerSize < kHeaderBytes || headerSize > formatBytes) return ICERR_BADFORMAT;
    if (width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN) return ICERR_BADFORMAT;
    const int64_t height = rawHeight < 0 ? -int64_t{rawHeight} : rawHeight;
    if (width > kMaxSide || height > kMaxSide || int64_t{width} * height > kMaxPixels)
        return ICERR_BADIMAGESIZE;
    if (bitCount > 64) return ICERR_BADBITDEPTH;  // 0 is allowed: some codecs leave it unset

    auto* c = new (std::nothrow) QVideoCodec;
    if (!c) return ICERR_MEMORY;
    c->width = width;
    c->height = static_cast<int32_t>(height);
    c->bits = bitCount;
    c->topDown = rawHeight < 0;

    // The colour table: the entries the header counts (all the depth allows when it counts
    // none, as far as the format holds them).
    if (bitCount >= 1 && bitCount <= 8) {
        const int64_t room = (formatBytes - headerSize) / 4;
        const int64_t depthEntries = int64_t{1} << bitCount;
        if (used > 256 || used > depthEntries || int64_t{used} > room) {
            delete c;
            return ICERR_BADFORMAT;
        }
        const int64_t entries = used ? used : std::min(depthEntries, room);
        const uint8_t* t = format + headerSize;
        for (int64_t i = 0; i < entries; ++i, t += 4)
            c->palette[i] = 0xFF000000u | uint32_t{t[2]} << 16 | uint32_t{t[1]} << 8 | t[0];
        if (entries == 0 && bitCount == 8)  // no table at all: grey levels
            for (uint32_t i = 0; i < 256; ++i) c->palette[i] = 0xFF000000u | i << 16 | i << 8 | i;
        c->palettised = entries > 0;
    }

    if (IsRawCode_(compression)) {
        if (bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32) {
            delete c;
            return ICERR_BADBITDEPTH;
        }
        c->raw = true;
        *codec = c;
        return ICERR_OK;
    }
    if (compression == BI_BITFIELDS) {  // masked rows are not plain rows
        delete c;
        return ICERR_UNSUPPORTED;
    }

    uint32_t tag = compression;
    AVCodecID id = RiffVideoCodec_(tag);
    if ((id == AV_CODEC_ID_NONE || !avcodec_find_decoder(id)) && handler != 0) {
        tag = handler;
        id = RiffVideoCodec_(tag);
    }
    const AVCodec* decoder = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
    if (!decoder) {
        delete c;
        return ICERR_UNSUPPORTED;
    }
    c->ctx = avcodec_alloc_context3(decoder);
    c->packet = av_packet_alloc();
    c->frame = av_frame_alloc();
    if (!c->ctx || !c->packet || !c->frame) {
        delete c;
        return ICERR_MEMORY;
    }
    AVCodecContext& x = *c->ctx;
    x.width = width;
    x.height = c->height;
    x.coded_width = width;
    x.coded_height = c->height;
    x.codec_tag = tag;
    x.bits_per_coded_sample = bitCount;
    x.max_pixels = kMaxPixels;
    // Slices in parallel only: frame threads would hold frames back.
    x.thread_type = FF_THREAD_SLICE;
    x.thread_count = 0;
    const int64_t extra = formatBytes - kHeaderBytes;
    if (extra > 0) {
        x.extradata = static_cast<uint8_t*>(
            av_mallocz(static_cast<size_t>(extra) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!x.extradata) {
            delete c;
            return ICERR_MEMORY;
        }
        std::memcpy(x.extradata, format + kHeaderBytes, static_cast<size_t>(extra));
        x.extradata_size = static_cast<int>(extra);
    }
    if (avcodec_open2(c->ctx, decoder, nullptr) < 0) {
        delete c;
        return ICERR_BADFORMAT;
    }
    c->paletteDirty = c->palettised;
    *codec = c;
    return ICERR_OK;
}

int32_t VideoCodecDecode(QVideoCodec* c, const uint8_t* data, int32_t bytes, bool key,
                         std::vector<uint8_t>& dib) {
    dib.clear();
    if (!c) return ICERR_BADHANDLE;
    if (bytes < 0 || (bytes > 0 && !data)) return ICERR_BADPARAM;
    if (c->draining) c->Restart();
    if (bytes == 0) {  // a dropped frame: the picture stays
        if (!c->ready.empty())
            c->TakeReady(dib);
        else
            dib = c->last;
        return ICERR_OK;
    }
    if (c->raw) {
        const int32_t r = c->DecodeRaw(data, bytes, dib);
        if (r == ICERR_OK) c->last = dib;
        return r;
    }
    if (av_new_packet(c->packet, bytes) < 0) return ICERR_MEMORY;
    std::memcpy(c->packet->data, data, static_cast<size_t>(bytes));
    if (key) c->packet->flags |= AV_PKT_FLAG_KEY;
    if (c->paletteDirty) {
        uint8_t* side = av_packet_new_side_data(c->packet, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
        if (!side) {
            av_packet_unref(c->packet);
            return ICERR_MEMORY;
        }
        std::memcpy(side, c->palette, AVPALETTE_SIZE);
        c->paletteDirty = false;
    }
    const int sent = avcodec_send_packet(c->ctx, c->packet);
    av_packet_unref(c->packet);
    // Every frame ready was taken after the last packet, so the decoder cannot be full here.
    const int32_t received = c->Receive();
    if (sent < 0) return ICERR_ERROR;
    c->TakeReady(dib);
    return dib.empty() ? received : ICERR_OK;
}

int32_t VideoCodecFlush(QVideoCodec* c, std::vector<uint8_t>& dib) {
    dib.clear();
    if (!c) return ICERR_BADHANDLE;
    int32_t result = ICERR_OK;
    if (!c->raw && !c->draining) {
        c->draining = true;
        avcodec_send_packet(c->ctx, nullptr);
        result = c->Receive();
    }
    c->TakeReady(dib);
    return dib.empty() ? result : ICERR_OK;
}

int32_t VideoCodecReset(QVideoCodec* c) {
    if (!c) return ICERR_BADHANDLE;
    c->Restart();
    return ICERR_OK;
}

int32_t VideoCodecSetPalette(QVideoCodec* c, const uint8_t* change, int32_t bytes) {
    if (!c) return ICERR_BADHANDLE;
    if (!change || bytes < 4) return ICERR_BADPARAM;
    if (c->bits < 1 || c->bits > 8) return ICERR_UNSUPPORTED;
    const int32_t first = change[0];
    const int32_t count = change[1] ? change[1] : 256;
    if (first + count > 256 || bytes < 4 + 4 * count) return ICERR_BADPARAM;
    const uint8_t* e = change + 4;  // red, green, blue, flags
    for (int32_t i = 0; i < count; ++i, e += 4)
        c->palette[first + i] = 0xFF000000u | uint32_t{e[0]} << 16 | uint32_t{e[1]} << 8 | e[2];
    c->palettised = true;
    c->paletteDirty = !c->raw;
    return ICERR_OK;
}

int32_t VideoCodecClose(QVideoCodec* c) {
    if (!c) return ICERR_BADHANDLE;
    delete c;
    return ICERR_OK;
}

std::string VideoCodecName(uint32_t fourcc) {
    const AVCodecID id = RiffVideoCodec_(fourcc);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
    if (!codec) return std::string();
    return codec->long_name ? codec->long_name : codec->name;
}

}  // namespace kelvora
