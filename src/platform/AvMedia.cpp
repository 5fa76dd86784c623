#include "platform/AvMedia.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "platform/AvCommon.h"
#include "platform/AvPicture.h"
#include "platform/FileIO.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace kelvora {

namespace {

// Beyond these a header is damage, not a picture or a sound.
constexpr int32_t kMaxSide = 16384;
constexpr int64_t kMaxPixels = AV_MAX_PIXELS;
constexpr int32_t kMaxChannels = 8;
constexpr int32_t kMaxRate = 384000;
// Packets kept per stream: about two days of video at 25 frames per second.
constexpr size_t kMaxPackets = size_t{4} << 20;
// Packets a decoder may take beyond the distance in the table before a wanted frame must have
// come out: reordering delay, frame threads and the leading pictures of an open group.
constexpr int64_t kSlack = 64;
// A frame at most this far past the last one decodes forward even across a key frame.
constexpr int64_t kAheadFrames = 12;
// Sound within this many sample frames past the decoder's position decodes forward.
constexpr int64_t kAheadSeconds = 2;
// Packets decoded ahead of a sound seek so that the decoder's state (overlap, bit reservoir)
// is whole again by the asked sample; PCM needs none.
constexpr int64_t kAudioPreroll = 10;
// Packets a reposition may skip by reading instead of seeking.
constexpr int64_t kSkipAhead = 256;

// --- Demuxer over a regular file --------------------------------------------------------------

struct Demux_ : QAvDemux {
    std::FILE* file = nullptr;
};

void DemuxClose_(Demux_& d) {
    AvDemuxClose(d);
    if (d.file) std::fclose(d.file);
    d = Demux_();
}

bool DemuxOpen_(const std::string& path, Demux_& d) {
    d.file = FileOpenRegularRead(path.c_str());
    if (AvDemuxOpen(d, d.file, path.c_str())) return true;
    DemuxClose_(d);
    return false;
}

// Keeps only the streams `a` and `b` (either may be -1).
void DiscardOthers_(AVFormatContext* fmt, int a, int b) {
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        fmt->streams[i]->discard = (static_cast<int>(i) == a || static_cast<int>(i) == b)
                                       ? AVDISCARD_DEFAULT
                                       : AVDISCARD_ALL;
}

// --- Sound samples ----------------------------------------------------------------------------

bool IsPcm_(AVCodecID id) { return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT; }

// --- One delivering stream ------------------------------------------------------------------

struct Packet_ {
    int64_t pts = AV_NOPTS_VALUE;
    int64_t dts = AV_NOPTS_VALUE;
    int64_t at = 0;      // video: presentation number (-1 unknown); sound: first sample frame
    int32_t count = 0;   // sound: sample frames the packet decodes to
    int32_t skip = 0;    // sound: leading sample frames the container asks to drop
    uint32_t print = 0;  // a hash of the packet's size and bytes
    bool key = false;
};

// Enough of a packet to tell it from its neighbours: its size and its first and last bytes.
uint32_t Print_(const AVPacket* pkt) {
    uint32_t h = 2166136261u ^ static_cast<uint32_t>(pkt->size);
    const auto mix = [&h](const uint8_t* p, int n) {
        for (int i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    };
    if (!pkt->data || pkt->size <= 0) return h;
    const int part = std::min(pkt->size, 256);
    mix(pkt->data, part);
    mix(pkt->data + pkt->size - part, part);
    return h;
}

// How a decoded picture finds its frame number.
enum class Order_ {
    PtsRank,  // every packet has a distinct presentation time: its rank among them
    Uniform,  // decode times step evenly: the time's distance from the first, in steps
    Ordinal,  // no usable times: pictures come out in packet order
};

struct Side_ {
    std::string path;
    int stream = -1;
    Demux_ demux;
    AVCodecContext* dec = nullptr;
    AVPacket* packet = nullptr;
    AVPacket* held = nullptr;  // the packet a reposition stopped at, handed out next
    bool haveHeld = false;
    AVFrame* frame = nullptr;
    std::vector<Packet_> packets;  // decode order
    bool dtsIndex = false;         // dts present and rising: a packet is found again by its dts
    bool indexed = false;  // the table came from the container's index: dts alone tells a packet
    // The colour table a palette picture stream carried last; the container hands it out once,
    // with whatever packet comes first, so each decoder start gets it again.
    std::vector<uint8_t> palette;
    bool paletteSent = false;
    int64_t next = -1;     // table index of the next packet read; -1 unknown
    bool live = false;     // the decoder holds state from a positioned start
    bool drained = false;  // end of input sent to the decoder
    int64_t budget = 0;    // packets this request may still feed

    ~Side_() {
        av_packet_free(&packet);
        av_packet_free(&held);
        av_frame_free(&frame);
        avcodec_free_context(&dec);
        DemuxClose_(demux);
    }
};

bool OpenDecoder_(Side_& s, const AVCodecParameters* par, AVRational timeBase) {
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) return false;
    s.dec = avcodec_alloc_context3(codec);
    s.packet = av_packet_alloc();
    s.held = av_packet_alloc();
    s.frame = av_frame_alloc();
    if (!s.dec || !s.packet || !s.held || !s.frame) return false;
    if (avcodec_parameters_to_context(s.dec, par) < 0) return false;
    s.dec->pkt_timebase = timeBase;
    s.dec->thread_count = 0;
    return avcodec_open2(s.dec, codec, nullptr) >= 0;
}

// The next packet of the stream, counted in `next`. False at the end or on a read error.
bool ReadPacket_(Side_& s, AVPacket* out) {
    if (s.haveHeld) {
        av_packet_move_ref(out, s.held);
        s.haveHeld = false;
        if (s.next >= 0) ++s.next;
        return true;
    }
    if (!s.demux.fmt) return false;
    for (;;) {
        const int r = av_read_frame(s.demux.fmt, out);
        if (r < 0) return false;
        if (out->stream_index == s.stream) {
            if (s.next >= 0) ++s.next;
            return true;
        }
        av_packet_unref(out);
    }
}

// Opens the file again: the packets then come from the first one in the table's order.
bool Reopen_(Side_& s) {
    DemuxClose_(s.demux);
    s.haveHeld = false;
    av_packet_unref(s.held);
    if (!DemuxOpen_(s.path, s.demux) || s.stream >= static_cast<int>(s.demux.fmt->nb_streams))
        return false;
    DiscardOthers_(s.demux.fmt, s.stream, -1);
    s.next = 0;
    return true;
}

// Reads and drops packets until the next one read is packet `k`.
bool SkipTo_(Side_& s, int64_t k) {
    while (s.next >= 0 && s.next < k) {
        if (!ReadPacket_(s, s.packet)) return false;
        av_packet_unref(s.packet);
    }
    return s.next == k;
}

// The table index of a packet read after a seek; -1 when it cannot be told for sure. Its decode
// time leads to the right neighbourhood (after a seek a demuxer may stamp a packet with its
// neighbour's time); its size and bytes must then match exactly one packet there.
int64_t Identify_(const Side_& s, const AVPacket* pkt) {
    if (pkt->dts == AV_NOPTS_VALUE) return -1;
    const int64_t n = static_cast<int64_t>(s.packets.size());
    const int64_t near = std::lower_bound(s.packets.begin(), s.packets.end(), pkt->dts,
                                          [](const Packet_& p, int64_t t) { return p.dts < t; }) -
                         s.packets.begin();
    if (s.indexed) return near < n && s.packets[near].dts == pkt->dts ? near : -1;
    const uint32_t print = Print_(pkt);
    int64_t found = -1;
    for (int64_t i = std::max<int64_t>(0, near - 8); i < std::min(n, near + 8); ++i) {
        if (s.packets[i].print != print) continue;
        if (found >= 0) return -1;  // alike packets (silence): wait for one that differs
        found = i;
    }
    return found;
}

// Makes packet `k` the next one read: by reading on when it is close ahead, by seeking and
// finding it again by its decode time, or else by reading the file again from its start.
bool Position_(Side_& s, int64_t k) {
    if (k < 0 || k >= static_cast<int64_t>(s.packets.size())) return false;
    if (!s.demux.fmt && !Reopen_(s)) return false;
    if (s.next >= 0 && s.next <= k && k - s.next <= kSkipAhead) return SkipTo_(s, k);
    if (s.dtsIndex) {
        s.haveHeld = false;
        av_packet_unref(s.held);
        int64_t ts = s.packets[k].dts;
        if (s.packets[k].pts != AV_NOPTS_VALUE) ts = std::min(ts, s.packets[k].pts);
        if (avformat_seek_file(s.demux.fmt, s.stream, INT64_MIN, ts, ts, 0) >= 0) {
            s.next = -1;
            for (int64_t tries = static_cast<int64_t>(s.packets.size()) + kSlack; tries > 0; --tries) {
                if (!ReadPacket_(s, s.held)) break;
                const int64_t at = Identify_(s, s.held);
                if (at == k) {
                    s.haveHeld = true;
                    s.next = k;
                    return true;
                }
                av_packet_unref(s.held);
                if (at > k) break;  // the seek went past it
                if (at >= 0) {      // found before it: read on
                    s.next = at + 1;
                    if (!SkipTo_(s, k) || !ReadPacket_(s, s.held)) break;
                    s.haveHeld = true;
                    s.next = k;
                    return true;
                }
            }
        }
    }
    return Reopen_(s) && SkipTo_(s, k);
}

// The colour table a palette stream keeps at the end of its extra data (as an AVI stream format
// does), as palette side data: 256 entries of blue, green, red, alpha (opaque); empty when the
// stream has none.
std::vector<uint8_t> StoredPalette_(const AVCodecParameters* par) {
    if (par->bits_per_coded_sample <= 0 || par->bits_per_coded_sample > 8 ||
        par->extradata_size < 4 || !par->extradata)
        return {};
    const int bytes = std::min(4 << par->bits_per_coded_sample, par->extradata_size & ~3);
    const uint8_t* src = par->extradata + par->extradata_size - bytes;
    std::vector<uint8_t> pal(AVPALETTE_SIZE, 0);
    for (int i = 0; i < bytes / 4; ++i) {
        pal[4 * i] = src[4 * i];
        pal[4 * i + 1] = src[4 * i + 1];
        pal[4 * i + 2] = src[4 * i + 2];
        pal[4 * i + 3] = 0xFF;
    }
    return pal;
}

// Notes the colour table a packet carries, or gives the table noted to the first packet a
// restarted decoder gets.
void KeepPalette_(Side_& s, AVPacket* pkt) {
    size_t size = 0;
    if (const uint8_t* pal = av_packet_get_side_data(pkt, AV_PKT_DATA_PALETTE, &size)) {
        s.palette.assign(pal, pal + size);
        s.paletteSent = true;
        return;
    }
    if (s.paletteSent || s.palette.empty()) return;
    if (uint8_t* pal = av_packet_new_side_data(pkt, AV_PKT_DATA_PALETTE, s.palette.size())) {
        std::memcpy(pal, s.palette.data(), s.palette.size());
        s.paletteSent = true;
    }
}

// The decoder's next frame into `s.frame`, feeding packets while the request's budget lasts.
// False at the end of the stream or of the budget.
bool NextFrame_(Side_& s) {
    for (;;) {
        const int r = avcodec_receive_frame(s.dec, s.frame);
        if (r >= 0) return true;
        if (r == AVERROR_EOF || s.drained) return false;
        // EAGAIN, or a decoding error: the decoder wants more input.
        if (s.budget <= 0) return false;
        --s.budget;
        if (!ReadPacket_(s, s.packet)) {
            avcodec_send_packet(s.dec, nullptr);
            s.drained = true;
            continue;
        }
        KeepPalette_(s, s.packet);
        // The times the scan read for this packet: a demuxer that derives them (a raw video
        // stream) knows fewer after a seek than it did from the start.
        if (s.next >= 1 && s.next <= static_cast<int64_t>(s.packets.size())) {
            const Packet_& p = s.packets[static_cast<size_t>(s.next - 1)];
            s.packet->pts = p.pts;
            s.packet->dts = p.dts;
        }
        avcodec_send_packet(s.dec, s.packet);  // a damaged packet is simply not decoded
        av_packet_unref(s.packet);
    }
}

void Restart_(Side_& s) {
    avcodec_flush_buffers(s.dec);
    s.paletteSent = false;
    s.drained = false;
    s.live = false;
}

}  // namespace

struct QAvMedia {
    QAvFacts facts;
    Side_ video;
    Side_ audio;

    // Pictures.
    Order_ order = Order_::Ordinal;
    std::vector<int64_t> sortedPts;  // PtsRank
    int64_t firstTime = 0;           // Uniform: presentation time of frame 0
    int64_t step = 1;                // Uniform: time of one frame
    struct SeekPoint_ {
        int64_t frame;   // presentation number
        int64_t packet;  // table index
    };
    std::vector<SeekPoint_> seekPoints;  // by frame, then packet
    int64_t lastOut = -1;                // frame number of the decoder's last picture
    AVFrame* last = nullptr;             // the last picture delivered
    int64_t lastIndex = -1;
    AVFrame* pending = nullptr;  // a picture that came out past the asked one
    int64_t pendingIndex = -1;
    AVFrame* best = nullptr;  // on the way: the latest picture at or before the asked one
    QAvPictureConverter converter;
    // Decoding ahead: while the caller's thread converts the picture asked for, the helper
    // decodes the one after it into `pending`. While it runs, only it touches the video side,
    // `pending` and `pendingIndex`.
    std::unique_ptr<QAvHelper> helper;
    bool aheadOut = false;

    // Sound.
    std::vector<int16_t> pcm;  // the decoded frame in hand, interleaved
    int64_t pcmStart = 0;      // its first sample frame
    int64_t clock = 0;         // where the decoder's next output starts

    ~QAvMedia() {
        helper.reset();  // lets a job out finish
        av_frame_free(&last);
        av_frame_free(&pending);
        av_frame_free(&best);
    }
};

namespace {

// --- Opening ---------------------------------------------------------------------------------

bool UsableVideo_(const AVStream* st) {
    const AVCodecParameters* p = st->codecpar;
    return !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) && p->width > 0 && p->height > 0 &&
           p->width <= kMaxSide && p->height <= kMaxSide &&
           int64_t{p->width} * p->height <= kMaxPixels && avcodec_find_decoder(p->codec_id);
}

bool UsableAudio_(const AVStream* st) {
    const AVCodecParameters* p = st->codecpar;
    return p->sample_rate > 0 && p->sample_rate <= kMaxRate && p->ch_layout.nb_channels > 0 &&
           p->ch_layout.nb_channels <= kMaxChannels && avcodec_find_decoder(p->codec_id);
}

int BestStream_(AVFormatContext* fmt, AVMediaType type, bool (*usable)(const AVStream*)) {
    const int best = av_find_best_stream(fmt, type, -1, -1, nullptr, 0);
    if (best >= 0 && usable(fmt->streams[best])) return best;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (fmt->streams[i]->codecpar->codec_type == type && usable(fmt->streams[i]))
            return static_cast<int>(i);
    return -1;
}

std::string LongName_(AVCodecID id) {
    const AVCodecDescriptor* d = avcodec_descriptor_get(id);
    return d && d->long_name ? d->long_name : d && d->name ? d->name : "";
}

std::string ProfileName_(const AVCodecParameters* par) {
    const char* name = avcodec_profile_name(par->codec_id, par->profile);
    return name ? name : "";
}

// Bits of one colour component: what the coder says, else the pixel format's first component.
int32_t PictureDepth_(const AVCodecParameters* par) {
    if (par->bits_per_raw_sample > 0 && par->bits_per_raw_sample <= 16)
        return par->bits_per_raw_sample;
    if (par->format < 0 || par->format >= AV_PIX_FMT_NB) return 0;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(par->format));
    return d && d->nb_components > 0 ? d->comp[0].depth : 0;
}

// Bits per sample of a lossless or PCM coding; lossy codings have none.
int32_t SoundDepth_(const AVCodecParameters* par) {
    const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
    if (!d || !(d->props & AV_CODEC_PROP_LOSSLESS)) return 0;
    if (par->bits_per_raw_sample > 0 && par->bits_per_raw_sample <= 32)
        return par->bits_per_raw_sample;
    const int bits = av_get_bits_per_sample(par->codec_id);
    return bits > 0 && bits <= 32 ? bits : par->bits_per_coded_sample;
}

// The sample frames one sound packet decodes to, by the codec's frame size or the packet's
// duration.
int32_t PacketSamples_(const AVStream* st, const AVPacket* pkt) {
    int64_t n = av_get_audio_frame_duration2(st->codecpar, pkt->size);
    if (n <= 0 && pkt->duration > 0)
        n = av_rescale_q(pkt->duration, st->time_base, AVRational{1, st->codecpar->sample_rate});
    if (n <= 0) n = st->codecpar->frame_size;
    return static_cast<int32_t>(std::clamp<int64_t>(n, 0, 1 << 24));
}

// Works out how decoded pictures find their numbers, and where decoding may start.
void PlanPictures_(QAvMedia& m) {
    auto& pk = m.video.packets;
    const int64_t n = static_cast<int64_t>(pk.size());
    bool allPts = true, allDts = true, dtsRising = true, even = true;
    for (int64_t i = 0; i < n; ++i) {
        allPts &= pk[i].pts != AV_NOPTS_VALUE;
        allDts &= pk[i].dts != AV_NOPTS_VALUE;
        if (i > 0 && allDts) {
            const int64_t d = pk[i].dts - pk[i - 1].dts;
            dtsRising &= d > 0;
            if (i == 1) m.step = d;
            even &= d == m.step;
        }
    }
    m.video.dtsIndex = allDts && dtsRising;
    m.order = Order_::Ordinal;
    if (allPts) {
        m.sortedPts.clear();
        for (const Packet_& p : pk) m.sortedPts.push_back(p.pts);
        std::sort(m.sortedPts.begin(), m.sortedPts.end());
        if (std::adjacent_find(m.sortedPts.begin(), m.sortedPts.end()) == m.sortedPts.end())
            m.order = Order_::PtsRank;
    }
    if (m.order == Order_::Ordinal && m.video.dtsIndex && even && n > 1 && m.step > 0) {
        // Times step evenly, but some packets carry no presentation time: the pictures fill
        // the same even grid, starting at the earliest presentation time there is.
        int64_t first = INT64_MAX;
        for (const Packet_& p : pk)
            if (p.pts != AV_NOPTS_VALUE) first = std::min(first, p.pts);
        if (first != INT64_MAX && first >= pk[0].dts) {
            m.firstTime = first;
            m.order = Order_::Uniform;
        }
    }
    m.sortedPts.shrink_to_fit();
    for (int64_t i = 0; i < n; ++i) {
        Packet_& p = pk[i];
        switch (m.order) {
            case Order_::PtsRank:
                p.at = std::lower_bound(m.sortedPts.begin(), m.sortedPts.end(), p.pts) -
                       m.sortedPts.begin();
                break;
            case Order_::Uniform:
                p.at = p.pts == AV_NOPTS_VALUE ? -1 : (p.pts - m.firstTime) / m.step;
                if (p.at >= n) p.at = -1;
                break;
            case Order_::Ordinal: p.at = i; break;
        }
    }
    // Decoding may start at packet 0 for any frame, and at a key packet for the frames shown
    // from it on.
    m.seekPoints.push_back({0, 0});
    for (int64_t i = 1; i < n; ++i)
        if (pk[i].key && pk[i].at > 0) m.seekPoints.push_back({pk[i].at, i});
    std::sort(m.seekPoints.begin(), m.seekPoints.end(), [](const auto& a, const auto& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.packet < b.packet;
    });
    for (const Packet_& p : pk)
        if (p.key && p.at >= 0) m.facts.video.keyFrames.push_back(p.at);
    std::sort(m.facts.video.keyFrames.begin(), m.facts.video.keyFrames.end());
    m.facts.video.keyFrames.erase(
        std::unique(m.facts.video.keyFrames.begin(), m.facts.video.keyFrames.end()),
        m.facts.video.keyFrames.end());
}

// The picture table from the container's own index, without reading the packets, where the
// container indexes every picture packet with the decode time it carries (AVI), and the decoder
// shows pictures in stored order, so that decode times are presentation times. (Sound stays
// with the scan: a demuxer may hand a stored chunk out in several packets.) False when the
// index cannot stand in for a scan.
bool IndexPictures_(QAvMedia& m, AVFormatContext* fmt) {
    if (m.video.stream < 0 || !fmt->iformat || !fmt->iformat->name ||
        std::strcmp(fmt->iformat->name, "avi") != 0)
        return false;
    AVStream* st = fmt->streams[m.video.stream];
    const int n = avformat_index_get_entries_count(st);
    if (n <= 0 || static_cast<size_t>(n) > kMaxPackets || st->codecpar->video_delay != 0)
        return false;
    std::vector<Packet_> video;
    video.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(st, i);
        // An empty chunk may or may not come out as a packet: only a scan can tell.
        if (!e || e->size <= 0 || (i > 0 && e->timestamp <= video.back().dts)) return false;
        Packet_ p;
        p.pts = p.dts = e->timestamp;
        p.key = (e->flags & AVINDEX_KEYFRAME) != 0;
        video.push_back(p);
    }
    m.video.packets = std::move(video);
    m.video.indexed = true;
    return true;
}

// Reads every packet of the chosen streams once, without decoding.
void Scan_(QAvMedia& m, AVFormatContext* fmt) {
    // With the pictures indexed, only the sound is read, and the demuxer skips the pictures.
    const bool indexed = IndexPictures_(m, fmt);
    if (indexed && m.audio.stream < 0) return;
    if (indexed) fmt->streams[m.video.stream]->discard = AVDISCARD_ALL;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) {
        if (indexed) fmt->streams[m.video.stream]->discard = AVDISCARD_DEFAULT;
        return;
    }
    const AVStream* ast = m.audio.stream >= 0 ? fmt->streams[m.audio.stream] : nullptr;
    int64_t samples = 0;
    // Other streams' packets are dropped by the demuxer; the count of reads still has a bound.
    for (size_t reads = 0; reads < 4 * kMaxPackets && av_read_frame(fmt, pkt) >= 0; ++reads) {
        Packet_ p;
        p.pts = pkt->pts;
        p.dts = pkt->dts;
        p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        if (pkt->stream_index == m.video.stream || pkt->stream_index == m.audio.stream)
            p.print = Print_(pkt);
        if (pkt->stream_index == m.video.stream && m.video.palette.empty()) {
            size_t size = 0;
            if (const uint8_t* pal = av_packet_get_side_data(pkt, AV_PKT_DATA_PALETTE, &size))
                m.video.palette.assign(pal, pal + size);
        }
        if (pkt->stream_index == m.video.stream && !indexed && m.video.packets.size() < kMaxPackets) {
            m.video.packets.push_back(p);
        } else if (pkt->stream_index == m.audio.stream && m.audio.packets.size() < kMaxPackets) {
            p.count = PacketSamples_(ast, pkt);
            size_t size = 0;
            const uint8_t* skip = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &size);
            if (skip && size >= 8) {
                const int64_t front = AV_RL32(skip), back = AV_RL32(skip + 4);
                p.skip = static_cast<int32_t>(std::clamp<int64_t>(front, 0, p.count));
                p.count = static_cast<int32_t>(std::max<int64_t>(0, p.count - p.skip - back));
            }
            p.at = samples;
            samples += p.count;
            m.audio.packets.push_back(p);
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    // Sound packets are found again by decode time too.
    bool rising = true;
    for (size_t i = 0; i < m.audio.packets.size(); ++i)
        rising &= m.audio.packets[i].dts != AV_NOPTS_VALUE &&
                  (i == 0 || m.audio.packets[i].dts > m.audio.packets[i - 1].dts);
    m.audio.dtsIndex = rising;
    m.facts.audio.samples = samples;
    if (indexed) fmt->streams[m.video.stream]->discard = AVDISCARD_DEFAULT;
}

// --- Pictures --------------------------------------------------------------------------------

// The frame number of the decoder's picture in `f`.
int64_t NumberOf_(QAvMedia& m, const AVFrame* f) {
    int64_t ts = f->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE) ts = f->pts;
    // Where packets go without presentation times, a picture without one is the next in
    // order: the decoder's guess from decode times runs a picture ahead by its own delay.
    if (m.order == Order_::Uniform && f->pts == AV_NOPTS_VALUE) ts = AV_NOPTS_VALUE;
    int64_t at = -1;
    if (ts != AV_NOPTS_VALUE) {
        if (m.order == Order_::PtsRank) {
            const auto it = std::upper_bound(m.sortedPts.begin(), m.sortedPts.end(), ts);
            at = (it - m.sortedPts.begin()) - 1;  // the last time at or before it
        } else if (m.order == Order_::Uniform) {
            const int64_t d = ts - m.firstTime;
            at = d < 0 ? -1 : (d + m.step / 2) / m.step;
        }
    }
    if (m.order == Order_::Ordinal || ts == AV_NOPTS_VALUE) at = m.lastOut + 1;
    return at;
}

// Converts `f` to the stream's size in the asked layout, straight into `dest`.
bool Deliver_(QAvMedia& m, const AVFrame* f, uint8_t* dest, const QAvFrameLayout& layout) {
    const int w = m.facts.video.width, h = m.facts.video.height;
    if (f->width > kMaxSide || f->height > kMaxSide) return false;
    const ptrdiff_t pitch = static_cast<ptrdiff_t>(std::max(layout.rowPixels, w)) * 3;
    return AvPictureToPacked24(m.converter, *f, w, h, layout.pixels == AvPixels::Rgb24, dest, pitch);
}

// Keeps the picture `f` (moved) as the last one delivered.
void KeepLast_(QAvMedia& m, AVFrame*& f, int64_t index) {
    av_frame_unref(m.last);
    av_frame_move_ref(m.last, f);
    m.lastIndex = index;
}

// The seek point for frame `index`: the latest key frame shown at or before it.
const QAvMedia::SeekPoint_& SeekPointFor_(const QAvMedia& m, int64_t index) {
    auto it = std::upper_bound(m.seekPoints.begin(), m.seekPoints.end(), index,
                               [](int64_t i, const auto& p) { return i < p.frame; });
    return *(it - 1);  // the first point is frame 0
}

void WaitAhead_(QAvMedia& m) {
    if (!m.aheadOut) return;
    m.helper->Wait();
    m.aheadOut = false;
}

// Has the helper decode the picture after `index` (just delivered) into `pending`, when the
// machine has a second processor and nothing is pending already.
void StartAhead_(QAvMedia& m, int64_t index) {
    if (m.pendingIndex >= 0 || !m.video.live || index + 1 >= m.facts.video.frames) return;
    if (!m.helper) {
        if (std::thread::hardware_concurrency() < 2) return;
        try {
            m.helper = std::make_unique<QAvHelper>();
        } catch (const std::exception&) {
            return;
        }
    }
    m.aheadOut = true;
    m.helper->Start([&m] {
        Side_& v = m.video;
        v.budget = kSlack;
        if (!NextFrame_(v)) return;
        const int64_t at = NumberOf_(m, v.frame);
        av_frame_unref(m.pending);
        av_frame_move_ref(m.pending, v.frame);
        m.pendingIndex = at;
    });
}

bool DecodePicture_(QAvMedia& m, int64_t index, uint8_t* dest, const QAvFrameLayout& layout) {
    Side_& v = m.video;
    WaitAhead_(m);
    if (m.lastIndex == index && m.last->format >= 0) return Deliver_(m, m.last, dest, layout);
    if (m.pendingIndex == index && m.pending->format >= 0) {
        KeepLast_(m, m.pending, index);
        m.lastOut = std::max(m.lastOut, index);
        m.pendingIndex = -1;
        StartAhead_(m, index);
        return Deliver_(m, m.last, dest, layout);
    }
    const auto& point = SeekPointFor_(m, index);
    const bool forward = v.live && index > m.lastOut &&
                         (point.frame <= m.lastOut + 1 || index - m.lastOut <= kAheadFrames);
    int64_t from = m.lastOut;
    if (!forward) {
        Restart_(v);
        av_frame_unref(m.pending);
        m.pendingIndex = -1;
        if (!Position_(v, point.packet)) return false;
        v.live = true;
        m.lastOut = point.frame - 1;
        from = point.frame - 1;
    }
    v.budget = index - std::max<int64_t>(from, 0) + kSlack;
    av_frame_unref(m.best);
    int64_t bestIndex = -1;
    for (;;) {
        AVFrame* got = nullptr;
        int64_t at = -1;
        if (m.pendingIndex >= 0) {  // a picture from before comes first
            got = m.pending;
            at = m.pendingIndex;
            m.pendingIndex = -1;
        } else if (NextFrame_(v)) {
            got = v.frame;
            at = NumberOf_(m, got);
        } else {
            break;
        }
        m.lastOut = std::max(m.lastOut, at);
        if (at == index) {
            KeepLast_(m, got, index);
            av_frame_unref(m.best);
            StartAhead_(m, index);
            return Deliver_(m, m.last, dest, layout);
        }
        if (at < index) {  // on the way: kept, not converted
            av_frame_unref(m.best);
            av_frame_move_ref(m.best, got);
            bestIndex = at;
            continue;
        }
        // Past the asked frame: the file lost it. Keep this one for later.
        if (got != m.pending) {
            av_frame_unref(m.pending);
            av_frame_move_ref(m.pending, got);
        }
        m.pendingIndex = at;
        break;
    }
    // The asked frame never came: show the nearest earlier one the stream still had.
    if (bestIndex < 0) return false;
    const bool ok = Deliver_(m, m.best, dest, layout);
    KeepLast_(m, m.best, index);
    m.lastOut = std::max(m.lastOut, index);
    return ok;
}

// --- Sound -----------------------------------------------------------------------------------

// Converts the decoded frame to interleaved 16 bits in `m.pcm`.
bool TakeSound_(QAvMedia& m, const AVFrame& f) {
    const int ch = f.ch_layout.nb_channels;
    if (ch != m.facts.audio.channels || f.nb_samples <= 0) return false;
    const auto fmt = static_cast<AVSampleFormat>(f.format);
    const size_t n = static_cast<size_t>(f.nb_samples);
    m.pcm.resize(n * static_cast<size_t>(ch));
    int16_t* d = m.pcm.data();
    if (av_sample_fmt_is_planar(fmt)) {
        for (size_t i = 0; i < n; ++i)
            for (int c = 0; c < ch; ++c) *d++ = AvSampleToS16(fmt, f.extended_data[c], i);
    } else if (fmt == AV_SAMPLE_FMT_S16) {
        std::memcpy(d, f.extended_data[0], m.pcm.size() * 2);
    } else {
        for (size_t i = 0; i < m.pcm.size(); ++i) d[i] = AvSampleToS16(fmt, f.extended_data[0], i);
    }
    return true;
}

// Repositions the sound decoder a few packets before the one holding `sample`.
bool SeekSound_(QAvMedia& m, int64_t sample) {
    Side_& a = m.audio;
    const auto it = std::upper_bound(a.packets.begin(), a.packets.end(), sample,
                                     [](int64_t s, const Packet_& p) { return s < p.at; });
    int64_t k = std::max<int64_t>(0, (it - a.packets.begin()) - 1);
    if (!IsPcm_(a.dec->codec_id)) k = std::max<int64_t>(0, k - kAudioPreroll);
    Restart_(a);
    m.pcm.clear();
    if (!Position_(a, k)) return false;
    a.live = true;
    m.pcmStart = m.clock = a.packets[k].at;
    return true;
}

// Decode-time stamps of the sound packets become their places in sample frames, so each
// decoded frame says where it belongs whatever the decoder dropped or delayed.
void StampSound_(Side_& a, AVPacket* pkt) {
    const int64_t k = a.next - 1;
    if (k >= 0 && k < static_cast<int64_t>(a.packets.size())) {
        pkt->pts = a.packets[k].at - a.packets[k].skip;
        pkt->dts = pkt->pts;
    } else {
        pkt->pts = pkt->dts = AV_NOPTS_VALUE;
    }
    pkt->duration = 0;
}

bool NextSound_(QAvMedia& m) {
    Side_& a = m.audio;
    for (;;) {
        const int r = avcodec_receive_frame(a.dec, a.frame);
        if (r >= 0) return true;
        if (r == AVERROR_EOF || a.drained || a.budget <= 0) return false;
        --a.budget;
        if (!ReadPacket_(a, a.packet)) {
            avcodec_send_packet(a.dec, nullptr);
            a.drained = true;
            continue;
        }
        StampSound_(a, a.packet);
        avcodec_send_packet(a.dec, a.packet);
        av_packet_unref(a.packet);
    }
}

}  // namespace

QAvMedia* AvMediaOpen(const std::string& path, std::string& error) {
    AvQuietLog();
    try {
        auto m = std::make_unique<QAvMedia>();
        m->last = av_frame_alloc();
        m->pending = av_frame_alloc();
        m->best = av_frame_alloc();
        if (!m->last || !m->pending || !m->best) throw std::bad_alloc();
        Side_& v = m->video;
        if (!DemuxOpen_(path, v.demux)) {
            error = "not a readable media file";
            return nullptr;
        }
        AVFormatContext* fmt = v.demux.fmt;
        m->facts.container = fmt->iformat && fmt->iformat->name ? fmt->iformat->name : "";
        m->facts.containerName =
            fmt->iformat && fmt->iformat->long_name ? fmt->iformat->long_name : m->facts.container;
        m->facts.bitRate = std::max<int64_t>(0, fmt->bit_rate);
        v.stream = BestStream_(fmt, AVMEDIA_TYPE_VIDEO, UsableVideo_);
        m->audio.stream = BestStream_(fmt, AVMEDIA_TYPE_AUDIO, UsableAudio_);
        DiscardOthers_(fmt, v.stream, m->audio.stream);
        Scan_(*m, fmt);
        v.path = m->audio.path = path;

        if (v.stream >= 0 && !v.packets.empty()) {
            const AVStream* st = fmt->streams[v.stream];
            if (OpenDecoder_(v, st->codecpar, st->time_base)) {
                QAvVideoFacts& f = m->facts.video;
                f.present = true;
                f.width = st->codecpar->width;
                f.height = st->codecpar->height;
                f.frames = static_cast<int64_t>(v.packets.size());
                AVRational r = st->avg_frame_rate;
                if (r.num <= 0 || r.den <= 0) r = st->r_frame_rate;
                f.rate = r.num > 0 && r.den > 0 ? av_q2d(r) : 0.0;
                f.codecId = st->codecpar->codec_id;
                f.codecName = LongName_(st->codecpar->codec_id);
                f.fourcc = st->codecpar->codec_tag;
                f.bitRate = std::max<int64_t>(0, st->codecpar->bit_rate);
                f.profile = ProfileName_(st->codecpar);
                f.bitDepth = PictureDepth_(st->codecpar);
                PlanPictures_(*m);
                if (v.palette.empty()) v.palette = StoredPalette_(st->codecpar);
            }
        }
        if (m->audio.stream >= 0 && m->facts.audio.samples > 0) {
            Side_& a = m->audio;
            const AVStream* st = fmt->streams[a.stream];
            const AVRational tb{1, st->codecpar->sample_rate};
            if (OpenDecoder_(a, st->codecpar, tb)) {
                QAvAudioFacts& f = m->facts.audio;
                f.present = true;
                f.rate = st->codecpar->sample_rate;
                f.channels = st->codecpar->ch_layout.nb_channels;
                f.codecId = st->codecpar->codec_id;
                f.codecName = LongName_(st->codecpar->codec_id);
                f.formatTag = st->codecpar->codec_tag;
                f.bitRate = st->codecpar->bit_rate;
                f.profile = ProfileName_(st->codecpar);
                f.bitDepth = SoundDepth_(st->codecpar);
                // The sound side reads through a demuxer of its own, opened on first use.
            }
        }
        if (!m->facts.video.present && !m->facts.audio.present) {
            error = "no picture or sound that can be decoded";
            return nullptr;
        }
        // The scan left the demuxer at the end: the first picture repositions.
        v.next = -1;
        return m.release();
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

void AvMediaClose(QAvMedia*& media) {
    delete media;
    media = nullptr;
}

const QAvFacts& AvMediaFacts(const QAvMedia* media) { return media->facts; }

bool AvMediaFrame(QAvMedia* media, int64_t index, uint8_t* dest, size_t destBytes,
                  const QAvFrameLayout& layout) {
    if (!media || !dest || !media->facts.video.present) return false;
    const QAvVideoFacts& f = media->facts.video;
    if (index < 0 || index >= f.frames) return false;
    if (layout.rowPixels != 0 && layout.rowPixels < f.width) return false;
    const size_t pitch = static_cast<size_t>(std::max(layout.rowPixels, f.width)) * 3;
    if (destBytes < pitch * (f.height - 1) + static_cast<size_t>(f.width) * 3) return false;
    try {
        return DecodePicture_(*media, index, dest, layout);
    } catch (const std::exception&) {
        WaitAhead_(*media);
        media->video.live = false;
        return false;
    }
}

int64_t AvMediaSound(QAvMedia* media, int64_t first, int64_t count, int16_t* dest) {
    if (!media || !dest || !media->facts.audio.present || first < 0 || count < 0) return -1;
    QAvMedia& m = *media;
    const QAvAudioFacts& f = m.facts.audio;
    count = std::min(count, std::max<int64_t>(0, f.samples - first));
    if (count == 0) return 0;
    try {
        Side_& a = m.audio;
        const int64_t pcmEnd = m.pcmStart + static_cast<int64_t>(m.pcm.size()) / f.channels;
        const bool forward = a.live && first >= m.pcmStart &&
                             first <= std::max(pcmEnd, m.clock) + kAheadSeconds * f.rate;
        if (!forward && !SeekSound_(m, first)) return 0;
        // Enough packets to cover the request from the decoder's position, and the preroll.
        const auto it = std::upper_bound(a.packets.begin(), a.packets.end(), first + count,
                                         [](int64_t s, const Packet_& p) { return s < p.at; });
        a.budget = std::max<int64_t>(0, (it - a.packets.begin()) - std::max<int64_t>(a.next, 0)) +
                   kAudioPreroll + kSlack;
        const int ch = f.channels;
        int64_t pos = first, done = 0;
        while (done < count) {
            const int64_t end = m.pcmStart + static_cast<int64_t>(m.pcm.size()) / ch;
            if (pos >= m.pcmStart && pos < end) {
                const int64_t n = std::min(count - done, end - pos);
                std::memcpy(dest + done * ch, m.pcm.data() + (pos - m.pcmStart) * ch,
                            static_cast<size_t>(n * ch) * 2);
                done += n;
                pos += n;
                continue;
            }
            if (pos < m.pcmStart) {  // sound the file lost: silence in its place
                const int64_t n = std::min(count - done, m.pcmStart - pos);
                std::fill_n(dest + done * ch, n * ch, int16_t{0});
                done += n;
                pos += n;
                continue;
            }
            if (!NextSound_(m)) break;
            const AVFrame& fr = *a.frame;
            const int64_t at = fr.pts != AV_NOPTS_VALUE ? fr.pts : m.clock;
            m.clock = at + fr.nb_samples;
            if (m.clock <= pos || fr.nb_samples <= 0) {  // before the asked sample: dropped
                av_frame_unref(a.frame);
                continue;
            }
            const bool ok = TakeSound_(m, fr);
            av_frame_unref(a.frame);
            if (!ok) {
                m.pcm.clear();
                continue;
            }
            m.pcmStart = at;
        }
        return done;
    } catch (const std::exception&) {
        m.audio.live = false;
        return -1;
    }
}

}  // namespace kelvora
