#include "platform/VideoCodec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <thread>

#include "platform/RiffFile.h"  // MmioFourCC only

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include "platform/AvCommon.h"
#include "platform/AvPicture.h"

namespace kelvora {

namespace {

constexpr int64_t kHeaderBytes = 40;
// Pictures beyond these are damage, not video.
constexpr int64_t kMaxSide = 16384;
constexpr int64_t kMaxPixels = AV_MAX_PIXELS;
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

// Room for a packed bitmap of `width` x `height` at `bits` with `colours` table entries in
// `dib`, whose storage is reused when it has the size already (no clearing of a whole frame
// that is about to be overwritten). The header is written and the rows' padding is zero; the
// caller fills the table and the rows. Returns the first (bottom) row, or null when the memory
// is not there.
uint8_t* NewDib_(std::vector<uint8_t>& dib, int64_t width, int64_t height, int32_t bits,
                 int32_t colours, int64_t& stride) {
    const int64_t rowBytes = width * (bits / 8);
    stride = (rowBytes + 3) & ~int64_t{3};
    const int64_t rows = kHeaderBytes + int64_t{colours} * 4;
    const auto total = static_cast<size_t>(rows + stride * height);
    if (dib.size() != total) {
        try {
            dib.assign(total, 0);
        } catch (const std::bad_alloc&) {
            dib.clear();
            return nullptr;
        }
    } else if (stride != rowBytes) {
        for (int64_t r = 0; r < height; ++r)
            std::memset(dib.data() + rows + r * stride + rowBytes, 0,
                        static_cast<size_t>(stride - rowBytes));
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
    QAvPictureConverter converter;
    bool draining = false;                   // the decoder was told the stream ended
    std::deque<std::vector<uint8_t>> ready;  // bitmaps decoded and not handed out yet
    std::vector<uint8_t> spare;              // a caller's old bitmap, storage for the next

    // Decoding ahead: the helper sends the packet just fed to the decoder and takes its
    // pictures into `decoded` while the caller's thread converts the pictures of the packet
    // before. While a job is out, only the helper touches the decoder, `packet` and `decoded`.
    std::unique_ptr<QAvHelper> helper;
    bool jobOut = false;
    int jobSent = 0;               // the job's send result
    std::deque<AVFrame*> decoded;  // pictures taken from the decoder, not converted yet
    bool repeatOwed = false;       // an empty frame's repeat is still to be answered

    ~QVideoCodec() {
        helper.reset();  // lets a job out finish
        DropDecoded();
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
        uint8_t* bottomUp[1] = {rows + (h - 1) * stride};
        if (copyBytes > 0) {
            if (!f.data[0] || std::abs(f.linesize[0]) < copyBytes) return ICERR_INTERNAL;
            for (int64_t r = 0; r < h; ++r)
                std::memcpy(bottomUp[0] - r * stride, f.data[0] + r * f.linesize[0],
                            static_cast<size_t>(copyBytes));
        } else if (!AvPictureToPacked24(converter, f, static_cast<int>(w), static_cast<int>(h),
                                        false, bottomUp[0], -stride)) {
            return ICERR_UNSUPPORTED;
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

    // Takes every picture the decoder has ready into `decoded`.
    void Collect() {
        while (avcodec_receive_frame(ctx, frame) >= 0) {
            AVFrame* f = av_frame_alloc();
            if (!f) {
                av_frame_unref(frame);
                continue;  // lost: the caller sees a frame fewer
            }
            av_frame_move_ref(f, frame);
            decoded.push_back(f);
        }
    }

    // Converts the pictures of `pictures` into bitmaps ready to hand out. The first failure to
    // convert one is the result; that frame is lost.
    int32_t Convert(std::deque<AVFrame*>& pictures) {
        int32_t result = ICERR_OK;
        for (AVFrame*& f : pictures) {
            std::vector<uint8_t> dib;
            dib.swap(spare);
            const int32_t r = FrameToDib(*f, dib);
            av_frame_free(&f);
            if (r == ICERR_OK)
                ready.push_back(std::move(dib));
            else if (result == ICERR_OK)
                result = r;
        }
        pictures.clear();
        return result;
    }

    // Waits for the job out, if any; its send result, 0 when there was none.
    int WaitJob() {
        if (!jobOut) return 0;
        helper->Wait();
        jobOut = false;
        return jobSent;
    }

    void DropDecoded() {
        for (AVFrame*& f : decoded) av_frame_free(&f);
        decoded.clear();
    }

    void Restart() {
        WaitJob();
        DropDecoded();
        repeatOwed = false;
        if (ctx) avcodec_flush_buffers(ctx);
        draining = false;
        ready.clear();
        paletteDirty = palettised;
    }

    // Hands out the oldest frame waiting, if any.
    void TakeReady(std::vector<uint8_t>& dib) {
        if (ready.empty()) return;
        dib = std::move(ready.front());
        ready.pop_front();
    }

    // Keeps the storage of a caller's old bitmap for the next one.
    void Recycle(std::vector<uint8_t>& dib) {
        if (!dib.empty()) spare.swap(dib);
        dib.clear();
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

// Decoding ahead, every call answers the frame fed by the call before it: the pictures of the
// packet before, or (after an empty frame) the repeat.
int32_t VideoCodecDecode(QVideoCodec* c, const uint8_t* data, int32_t bytes, bool key,
                         std::vector<uint8_t>& dib) {
    if (!c) return dib.clear(), ICERR_BADHANDLE;
    c->Recycle(dib);
    if (bytes < 0 || (bytes > 0 && !data)) return ICERR_BADPARAM;
    if (c->draining) c->Restart();
    const bool owed = c->repeatOwed;  // the frame before was empty (no job is out then)
    c->repeatOwed = false;
    if (bytes == 0) {  // a dropped frame: the picture stays
        const bool jobWasOut = c->jobOut;
        const int sent = c->WaitJob();
        const int32_t converted = c->Convert(c->decoded);
        if (owed || jobWasOut) c->repeatOwed = true;  // this frame is answered next time
        if (owed) return ICERR_DONTDRAW;
        if (!c->ready.empty()) {
            c->TakeReady(dib);
            return ICERR_OK;
        }
        if (!jobWasOut) return ICERR_DONTDRAW;
        return sent < 0 ? ICERR_ERROR : converted;
    }
    if (c->raw) {
        dib.swap(c->spare);
        const int32_t r = c->DecodeRaw(data, bytes, dib);
        if (r != ICERR_OK) dib.clear();
        return r;
    }
    const int before = c->WaitJob();
    std::deque<AVFrame*> pictures;
    pictures.swap(c->decoded);
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
    // Every picture was taken after the packet before, so the decoder cannot be full here.
    const auto job = [c] {
        c->jobSent = avcodec_send_packet(c->ctx, c->packet);
        av_packet_unref(c->packet);
        c->Collect();
    };
    int sent = before;
    if (c->helper) {
        c->helper->Start(job);
        c->jobOut = true;
    } else {
        job();
        sent = c->jobSent;
        pictures.swap(c->decoded);
    }
    const int32_t converted = c->Convert(pictures);
    if (owed) return ICERR_DONTDRAW;
    c->TakeReady(dib);
    if (!dib.empty()) return ICERR_OK;
    return sent < 0 ? ICERR_ERROR : converted;
}

int32_t VideoCodecFlush(QVideoCodec* c, std::vector<uint8_t>& dib) {
    if (!c) return dib.clear(), ICERR_BADHANDLE;
    c->Recycle(dib);
    if (c->repeatOwed) {  // the last frame fed was empty: its repeat first
        c->repeatOwed = false;
        return ICERR_DONTDRAW;
    }
    int32_t result = ICERR_OK;
    if (!c->raw && !c->draining) {
        c->draining = true;
        const int sent = c->WaitJob();
        avcodec_send_packet(c->ctx, nullptr);
        c->Collect();
        result = c->Convert(c->decoded);
        if (sent < 0 && result == ICERR_OK && c->ready.empty()) result = ICERR_ERROR;
    }
    c->TakeReady(dib);
    return dib.empty() ? result : ICERR_OK;
}

int32_t VideoCodecDecodeAhead(QVideoCodec* c) {
    if (!c) return ICERR_BADHANDLE;
    if (c->raw || std::thread::hardware_concurrency() < 2) return ICERR_UNSUPPORTED;
    if (!c->helper) {
        try {
            c->helper = std::make_unique<QAvHelper>();
        } catch (const std::exception&) {
            return ICERR_MEMORY;
        }
    }
    return ICERR_OK;
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
