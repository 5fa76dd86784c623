#include "platform/AcmStream.h"

#include "sound/SndBasic.h"  // the wave format record only: no link to the sound model

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
#include <libavutil/log.h>
}

#include "platform/AvCommon.h"
#include "platform/RiffFile.h"

namespace kelvora {

namespace {

// The limits a format must keep to be decoded: beyond them a header is damage, not sound.
constexpr uint16_t kMaxChannels = 8;
constexpr uint32_t kMaxRate = 384000;
// PCM and G.711 go to the decoder in pieces of about this many bytes, whole frames each.
constexpr uint32_t kPcmPiece = 16384;

// What decides the size of the output: samples per block of a block codec, frames of MPEG
// audio, or the average data rate.
enum class SizeModel_ { PerBlock, MpegFrames, ByRate };

// The codec and sizing of a source format; codec AV_CODEC_ID_NONE when nothing decodes it.
struct SourceCodec_ {
    AVCodecID codec = AV_CODEC_ID_NONE;
    uint16_t tag = 0;  // the tag that chose the codec (the sub-format of an extensible)
    const uint8_t* extra = nullptr;  // the decoder's extra data
    uint16_t extraSize = 0;
    SizeModel_ model = SizeModel_::ByRate;
    int64_t samplesPerBlock = 0;  // PerBlock: sample frames of one source block
    int64_t samplesPerFrame = 0;  // MpegFrames
};

const uint8_t* ExtraOf_(const QWaveFmt* f) { return reinterpret_cast<const uint8_t*>(f) + 18; }

// PCM of a width, or IEEE float of a width.
AVCodecID PcmCodec_(bool isFloat, uint16_t bits) {
    if (isFloat)
        return bits == 32   ? AV_CODEC_ID_PCM_F32LE
               : bits == 64 ? AV_CODEC_ID_PCM_F64LE
                            : AV_CODEC_ID_NONE;
    switch (bits) {
        case 8: return AV_CODEC_ID_PCM_U8;
        case 16: return AV_CODEC_ID_PCM_S16LE;
        case 24: return AV_CODEC_ID_PCM_S24LE;
        case 32: return AV_CODEC_ID_PCM_S32LE;
        default: return AV_CODEC_ID_NONE;
    }
}

// The samples of one block of a block codec; 0 when the block cannot hold one.
int64_t SamplesPerBlock_(AVCodecID codec, const QWaveFmt& f) {
    const int64_t ba = f.blockAlign, ch = f.channels, bits = f.bitsPerSample;
    switch (codec) {
        case AV_CODEC_ID_ADPCM_IMA_WAV:  // a 4-byte header per channel, then bits per sample
            if (bits < 2 || bits > 5 || ba <= 4 * ch) return 0;
            return 1 + (ba - 4 * ch) * 8 / (bits * ch);
        case AV_CODEC_ID_ADPCM_MS:  // a 7-byte header per channel (two samples), then nibbles
            if (ba < 7 * ch) return 0;
            return 2 + (ba - 7 * ch) * 2 / ch;
        case AV_CODEC_ID_GSM_MS: return ba == 65 ? 320 : 0;  // two 160-sample frames
        case AV_CODEC_ID_ADPCM_G726:
            if (bits < 2 || bits > 5 || ba < 1) return 0;
            return ba * 8 / (bits * ch);
        default:  // PCM, float and G.711: one block per sample frame
            if (ba != ch * ((bits + 7) / 8) || ba == 0) return 0;
            return 1;
    }
}

// Codecs whose packets may hold any run of whole units (not one block each).
bool DecodesAnyRun_(AVCodecID codec) {
    switch (codec) {
        case AV_CODEC_ID_ADPCM_G726:
        case AV_CODEC_ID_PCM_ALAW:
        case AV_CODEC_ID_PCM_MULAW:
        case AV_CODEC_ID_PCM_U8:
        case AV_CODEC_ID_PCM_S16LE:
        case AV_CODEC_ID_PCM_S24LE:
        case AV_CODEC_ID_PCM_S32LE:
        case AV_CODEC_ID_PCM_F32LE:
        case AV_CODEC_ID_PCM_F64LE: return true;
        default: return false;
    }
}

// The codec libavformat's RIFF table gives a tag.
AVCodecID RiffAudioCodec_(uint16_t tag) {
    static const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
    return av_codec_get_id(tables, tag);
}

// Chooses the decoder for a source format and how its output size is predicted.
SourceCodec_ CodecOf_(const QWaveFmt* f) {
    SourceCodec_ c;
    c.tag = f->formatTag;
    c.extra = ExtraOf_(f);
    c.extraSize = f->extraSize;
    if (f->channels < 1 || f->channels > kMaxChannels || f->samplesPerSec < 1 ||
        f->samplesPerSec > kMaxRate || f->blockAlign < 1)
        return c;
    if (c.tag == WAVE_FORMAT_EXTENSIBLE) {
        // 22 bytes: valid bits, channel mask, then the sub-format GUID whose first two bytes are
        // the tag it stands for.
        if (f->extraSize < 22) return c;
        c.tag = RiffU16(c.extra + 6);
        c.extra += 22;
        c.extraSize = static_cast<uint16_t>(f->extraSize - 22);
    }
    if (c.tag == WAVE_FORMAT_PCM || c.tag == WAVE_FORMAT_IEEE_FLOAT)
        c.codec = PcmCodec_(c.tag == WAVE_FORMAT_IEEE_FLOAT, f->bitsPerSample);
    else
        c.codec = RiffAudioCodec_(c.tag);
    if (c.codec == AV_CODEC_ID_NONE || !avcodec_find_decoder(c.codec)) {
        c.codec = AV_CODEC_ID_NONE;
        return c;
    }
    switch (c.codec) {
        case AV_CODEC_ID_MP1:
        case AV_CODEC_ID_MP2:
        case AV_CODEC_ID_MP3:
            c.model = SizeModel_::MpegFrames;
            // Layer I frames hold 384 samples, layer II 1152, layer III 1152 (576 at the low
            // rates of MPEG-2 and 2.5).
            c.samplesPerFrame = c.codec == AV_CODEC_ID_MP1                               ? 384
                                : c.codec == AV_CODEC_ID_MP3 && f->samplesPerSec < 32000 ? 576
                                                                                         : 1152;
            // Layer I and II share one tag; the extra bytes name the layer.
            if (c.tag == 0x50 && c.extraSize >= 2) {
                const uint16_t layer = RiffU16(c.extra);
                if (layer == 1) c.codec = AV_CODEC_ID_MP1, c.samplesPerFrame = 384;
                if (layer == 4) c.codec = AV_CODEC_ID_MP3;
            }
            break;
        case AV_CODEC_ID_ADPCM_IMA_WAV:
        case AV_CODEC_ID_ADPCM_MS:
        case AV_CODEC_ID_GSM_MS: c.model = SizeModel_::PerBlock; break;
        default:
            c.model = DecodesAnyRun_(c.codec) ? SizeModel_::PerBlock : SizeModel_::ByRate;
            break;
    }
    if (c.model == SizeModel_::PerBlock) {
        c.samplesPerBlock = SamplesPerBlock_(c.codec, *f);
        if (c.samplesPerBlock <= 0) c.codec = AV_CODEC_ID_NONE;
    }
    return c;
}

}  // namespace

struct QAcmStream {
    SourceCodec_ source;
    QWaveFmt src{};
    QWaveFmt dest{};
    AVCodecContext* ctx = nullptr;
    AVCodecParserContext* parser = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    // Without a parser: the bytes that decode together (a block, a sample frame) and the largest
    // packet (whole units).
    uint32_t unit = 1;
    uint32_t piece = 1;
    std::vector<uint8_t> pending;  // source bytes short of a whole unit
    std::vector<uint8_t> padded;   // the bytes a parser reads, with the padding it may overread
    std::vector<uint8_t> out;      // decoded sound not handed out yet
    size_t outRead = 0;
    bool copy = false;  // PCM to the same PCM
    bool fresh = true;  // nothing converted since the open or the last start
    bool failed = false;

    ~QAcmStream() {
        if (parser) av_parser_close(parser);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
    }

    // Appends a decoded frame to the output as interleaved 16-bit samples. False when the frame
    // is not of the stream's channels (a damaged stream that changed format midway).
    bool Take(const AVFrame& f) {
        const int ch = f.ch_layout.nb_channels;
        if (ch != dest.channels || f.nb_samples <= 0) return ch == dest.channels;
        const auto fmt = static_cast<AVSampleFormat>(f.format);
        const bool planar = av_sample_fmt_is_planar(fmt);
        const size_t n = static_cast<size_t>(f.nb_samples);
        const size_t at = out.size();
        out.resize(at + n * static_cast<size_t>(ch) * 2);
        auto* d = reinterpret_cast<int16_t*>(out.data() + at);
        if (planar) {
            for (size_t i = 0; i < n; ++i)
                for (int c = 0; c < ch; ++c) *d++ = AvSampleToS16(fmt, f.extended_data[c], i);
        } else {
            const size_t total = n * static_cast<size_t>(ch);
            if (fmt == AV_SAMPLE_FMT_S16)
                std::memcpy(d, f.extended_data[0], total * 2);
            else
                for (size_t i = 0; i < total; ++i) d[i] = AvSampleToS16(fmt, f.extended_data[0], i);
        }
        return true;
    }

    // Sends one packet and collects what it decodes to. Damaged packets are dropped.
    void Decode(const uint8_t* data, size_t size) {
        if (size == 0 || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return;
        if (av_new_packet(packet, static_cast<int>(size)) < 0) {
            failed = true;
            return;
        }
        std::memcpy(packet->data, data, size);
        const int sent = avcodec_send_packet(ctx, packet);
        av_packet_unref(packet);
        if (sent < 0 && sent != AVERROR(EAGAIN)) return;
        Drain();
    }

    void Drain() {
        while (avcodec_receive_frame(ctx, frame) >= 0) {
            if (!Take(*frame)) failed = true;
            av_frame_unref(frame);
        }
    }

    // Decodes every whole piece of `data`; the rest waits in `pending`. At the end, the rest
    // and whatever the parser holds are decoded too.
    void Feed(const uint8_t* data, size_t size, bool end) {
        if (copy) {
            out.insert(out.end(), data, data + size);
            return;
        }
        if (parser) {
            // Parsers read a little past the bytes they are given: they get a padded copy.
            padded.assign(data, data + size);
            padded.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            data = padded.data();
            while (size > 0 || end) {
                uint8_t* frameData = nullptr;
                int frameSize = 0;
                const int chunk = static_cast<int>(std::min<size_t>(size, INT32_MAX / 2));
                const int used = av_parser_parse2(parser, ctx, &frameData, &frameSize, data, chunk,
                                                  AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                if (used < 0) break;
                data += used;
                size -= static_cast<size_t>(used);
                if (frameSize > 0) Decode(frameData, static_cast<size_t>(frameSize));
                if (size == 0 && (!end || frameSize == 0)) break;  // a flush gives one frame
            }
            return;
        }
        // Whole units straight from the caller's bytes, a pending head completed first.
        if (!pending.empty()) {
            const size_t need = std::min<size_t>(unit - pending.size(), size);
            pending.insert(pending.end(), data, data + need);
            data += need;
            size -= need;
            if (pending.size() < unit && !end) return;
            Decode(pending.data(), pending.size());
            pending.clear();
        }
        while (size >= unit) {
            const size_t n = std::min<size_t>(size - size % unit, piece);
            Decode(data, n);
            data += n;
            size -= n;
        }
        if (end) {
            if (size > 0) Decode(data, size);
        } else {
            pending.assign(data, data + size);
        }
    }

    void Restart() {
        if (fresh) return;
        if (ctx) avcodec_flush_buffers(ctx);
        if (parser) {
            av_parser_close(parser);
            parser = av_parser_init(source.codec);
        }
        pending.clear();
        out.clear();
        outRead = 0;
        failed = false;
    }
};

int32_t acmFormatSuggest(void*, const QWaveFmt* source, QWaveFmt* dest, uint32_t destBytes,
                         uint32_t flags) {
    if (!source || !dest || destBytes < sizeof(QWaveFmt)) return MMSYSERR_INVALPARAM;
    if (flags & ~ACM_FORMATSUGGESTF_WFORMATTAG) return MMSYSERR_INVALFLAG;
    if ((flags & ACM_FORMATSUGGESTF_WFORMATTAG) && dest->formatTag != WAVE_FORMAT_PCM)
        return ACMERR_NOTPOSSIBLE;
    if (CodecOf_(source).codec == AV_CODEC_ID_NONE) return ACMERR_NOTPOSSIBLE;
    const uint16_t align = static_cast<uint16_t>(source->channels * 2);
    *dest = QWaveFmt{WAVE_FORMAT_PCM,
                     source->channels,
                     source->samplesPerSec,
                     source->samplesPerSec * align,
                     align,
                     16,
                     0};
    return 0;
}

int32_t acmStreamOpen(HACMSTREAM* stream, void*, const QWaveFmt* source, const QWaveFmt* dest,
                      void*, uintptr_t, uintptr_t, uint32_t flags) {
    if (!stream || !source || !dest) return MMSYSERR_INVALPARAM;
    *stream = nullptr;
    if (flags & ~ACM_STREAMOPENF_NONREALTIME) return MMSYSERR_INVALFLAG;
    AvQuietLog();
    if (source->formatTag == WAVE_FORMAT_PCM && std::memcmp(source, dest, 16) == 0) {
        if (PcmCodec_(false, source->bitsPerSample) == AV_CODEC_ID_NONE ||
            source->blockAlign != source->channels * (source->bitsPerSample / 8))
            return ACMERR_NOTPOSSIBLE;
        auto* s = new (std::nothrow) QAcmStream;
        if (!s) return MMSYSERR_NOMEM;
        s->copy = true;
        s->src = s->dest = *source;
        s->source.model = SizeModel_::PerBlock;
        s->source.samplesPerBlock = 1;
        *stream = s;
        return 0;
    }
    QWaveFmt want{};
    want.formatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, source, &want, sizeof want, ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
        return ACMERR_NOTPOSSIBLE;
    if (std::memcmp(&want, dest, 16) != 0) return ACMERR_NOTPOSSIBLE;

    auto* s = new (std::nothrow) QAcmStream;
    if (!s) return MMSYSERR_NOMEM;
    s->source = CodecOf_(source);
    s->src = *source;
    s->dest = want;
    const AVCodec* codec = avcodec_find_decoder(s->source.codec);
    s->ctx = avcodec_alloc_context3(codec);
    s->packet = av_packet_alloc();
    s->frame = av_frame_alloc();
    if (!s->ctx || !s->packet || !s->frame) {
        delete s;
        return MMSYSERR_NOMEM;
    }
    AVCodecContext& c = *s->ctx;
    c.sample_rate = static_cast<int>(source->samplesPerSec);
    av_channel_layout_default(&c.ch_layout, source->channels);
    c.block_align = source->blockAlign;
    c.bits_per_coded_sample = source->bitsPerSample;
    c.bit_rate = int64_t{source->avgBytesPerSec} * 8;
    if (s->source.extraSize > 0) {
        c.extradata = static_cast<uint8_t*>(
            av_mallocz(size_t{s->source.extraSize} + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!c.extradata) {
            delete s;
            return MMSYSERR_NOMEM;
        }
        std::memcpy(c.extradata, s->source.extra, s->source.extraSize);
        c.extradata_size = s->source.extraSize;
    }
    if (avcodec_open2(s->ctx, codec, nullptr) < 0) {
        delete s;
        return ACMERR_NOTPOSSIBLE;
    }
    // Block codecs take one block a packet; PCM-like codecs runs of whole frames;
    // MPEG audio and the like go through their parser, which finds the frames.
    s->unit = s->piece = std::max<uint32_t>(1, source->blockAlign);
    if (s->source.model != SizeModel_::PerBlock) s->parser = av_parser_init(s->source.codec);
    if (DecodesAnyRun_(s->source.codec) || (s->source.model != SizeModel_::PerBlock && s->unit == 1))
        s->piece = std::max<uint32_t>(1, kPcmPiece / s->unit) * s->unit;
    *stream = s;
    return 0;
}

int32_t acmStreamSize(HACMSTREAM s, uint32_t input, uint32_t* output, uint32_t flags) {
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!output) return MMSYSERR_INVALPARAM;
    if (flags & ~ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_INVALFLAG;
    const bool fromSource = !(flags & ACM_STREAMSIZEF_DESTINATION);
    const int64_t outAlign = s->dest.blockAlign;
    const int64_t rate = s->src.samplesPerSec;
    int64_t result = 0;
    switch (s->source.model) {
        case SizeModel_::PerBlock: {
            const int64_t ba = s->src.blockAlign, spb = s->source.samplesPerBlock;
            result = fromSource ? int64_t{input} / ba * spb * outAlign
                                : (int64_t{input} / outAlign + spb - 1) / spb * ba;
            break;
        }
        case SizeModel_::MpegFrames: {
            // Frames of a constant bit rate average avg bytes x samples per frame / rate bytes.
            const double frameBytes = static_cast<double>(s->src.avgBytesPerSec) *
                                      static_cast<double>(s->source.samplesPerFrame) /
                                      static_cast<double>(rate);
            if (frameBytes <= 0) return ACMERR_NOTPOSSIBLE;
            const int64_t spf = s->source.samplesPerFrame;
            result = fromSource
                         ? std::llround(input / frameBytes) * spf * outAlign
                         : static_cast<int64_t>(std::ceil(
                               std::ceil(static_cast<double>(input / outAlign) / spf) * frameBytes));
            break;
        }
        case SizeModel_::ByRate: {
            const double avg = s->src.avgBytesPerSec;
            if (avg <= 0) return ACMERR_NOTPOSSIBLE;
            result = fromSource
                         ? static_cast<int64_t>(std::ceil(input / avg * static_cast<double>(rate))) *
                               outAlign
                         : static_cast<int64_t>(std::ceil(static_cast<double>(input / outAlign) /
                                                          static_cast<double>(rate) * avg));
            break;
        }
    }
    if (result < 0 || result > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
    *output = static_cast<uint32_t>(result);
    return 0;
}

int32_t acmStreamPrepareHeader(HACMSTREAM s, ACMSTREAMHEADER* h, uint32_t flags) {
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!h || h->cbStruct < sizeof(ACMSTREAMHEADER) || (h->cbSrcLength && !h->pbSrc) ||
        (h->cbDstLength && !h->pbDst))
        return MMSYSERR_INVALPARAM;
    if (flags) return MMSYSERR_INVALFLAG;
    h->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
    return 0;
}

int32_t acmStreamUnprepareHeader(HACMSTREAM s, ACMSTREAMHEADER* h, uint32_t flags) {
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!h || h->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (flags) return MMSYSERR_INVALFLAG;
    if (!(h->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    h->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    return 0;
}

int32_t acmStreamConvert(HACMSTREAM s, ACMSTREAMHEADER* h, uint32_t flags) {
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!h || h->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (flags & ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END))
        return MMSYSERR_INVALFLAG;
    if (!(h->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    if (flags & ACM_STREAMCONVERTF_START) s->Restart();
    s->fresh = false;
    s->Feed(h->pbSrc, h->cbSrcLength, (flags & ACM_STREAMCONVERTF_END) != 0);
    if (s->failed) return ACMERR_NOTPOSSIBLE;
    // Whole sample frames only, so that what stays behind starts on a frame.
    const size_t align = s->dest.blockAlign;
    size_t give = std::min<size_t>(s->out.size() - s->outRead, h->cbDstLength);
    give -= give % align;
    if (give > 0) std::memcpy(h->pbDst, s->out.data() + s->outRead, give);
    s->outRead += give;
    if (s->outRead == s->out.size()) {
        s->out.clear();
        s->outRead = 0;
    } else if (s->outRead > (1u << 20)) {  // keep the unread tail from drifting up the vector
        s->out.erase(s->out.begin(), s->out.begin() + static_cast<std::ptrdiff_t>(s->outRead));
        s->outRead = 0;
    }
    h->cbSrcLengthUsed = h->cbSrcLength;
    h->cbDstLengthUsed = static_cast<uint32_t>(give);
    h->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
    return 0;
}

int32_t acmStreamClose(HACMSTREAM s, uint32_t flags) {
    if (!s) return MMSYSERR_INVALHANDLE;
    if (flags) return MMSYSERR_INVALFLAG;
    delete s;
    return 0;
}

int32_t acmFormatTagDetails(uint16_t tag, std::string& name) {
    name.clear();
    AVCodecID id = AV_CODEC_ID_NONE;
    if (tag == WAVE_FORMAT_PCM)
        id = AV_CODEC_ID_PCM_S16LE;
    else if (tag == WAVE_FORMAT_IEEE_FLOAT)
        id = AV_CODEC_ID_PCM_F32LE;
    else
        id = RiffAudioCodec_(tag);
    const AVCodec* codec = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
    if (!codec) return ACMERR_NOTPOSSIBLE;
    name = codec->long_name ? codec->long_name : codec->name;
    return 0;
}

}  // namespace kelvora
