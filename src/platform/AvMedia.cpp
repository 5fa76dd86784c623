#include "platform/AvMedia.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
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
#include <libavutil/display.h>
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
constexpr int32_t kMaxChannels = 8;  // delivered; more are folded down to these
constexpr int32_t kMaxSourceChannels = 64;
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
// Opus carries its band energies from frame to frame: a decoder started later comes back to the
// same samples only after about a second of it.
constexpr int64_t kOpusPreroll = 64;
// Going by the timeline: packets read at least, before the open may stop reading; packets a
// request may feed after a seek by time (a key interval and the decoder's delay).
constexpr size_t kPrefixPackets = 64;
constexpr int64_t kTimelineBudget = 8192;
// Packets of each stream read at an MP4's open to check the tables made from its index.
constexpr size_t kCheckedPackets = 64;
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

// `plainEdits`: the MP4 demuxer's plain edit-list handling (see IndexMovie_). Its full handling
// rebuilds the index of every track, a third of the open of a long MP4, which a track with one
// edit that drops nothing does not need. Other demuxers leave the option alone.
bool DemuxOpen_(const std::string& path, Demux_& d, bool plainEdits) {
    d.file = FileOpenRegularRead(path.c_str());
    AVDictionary* options = nullptr;
    if (plainEdits) av_dict_set(&options, "advanced_editlist", "0", 0);
    const bool ok = AvDemuxOpen(d, d.file, path.c_str(), &options);
    av_dict_free(&options);
    if (ok) return true;
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
    // Video: decoded for the pictures after it but never shown (an MP4 edit list cuts it); the
    // demuxer marks it so that the decoder drops its picture.
    bool hidden = false;
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
    Grid,     // the timeline: the time's distance from the first, in frame durations
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
    // Sound of an MP4: the open checked the table's first packets only; the whole table is
    // built from the sound demuxer's own index on first use (see CompleteMovieSound_).
    bool later = false;
    bool plainEdits = false;  // its demuxer's edit handling (DemuxOpen_)
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
    if (s.held) av_packet_unref(s.held);
    if (!DemuxOpen_(s.path, s.demux, s.plainEdits) ||
        s.stream >= static_cast<int>(s.demux.fmt->nb_streams))
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
    int64_t hiddenPackets = 0;       // PtsRank: packets that show no picture
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
    int32_t codedWidth = 0;  // the picture as decoded, before the rotation
    int32_t codedHeight = 0;
    std::vector<uint8_t> unturned;  // a rotated stream's picture before its turn
    // Decoding ahead: while the caller's thread converts the picture asked for, the helper
    // decodes the one after it into `pending`. While it runs, only it touches the video side,
    // `pending` and `pendingIndex`.
    std::unique_ptr<QAvHelper> helper;
    bool aheadOut = false;

    // Going by the timeline (see the header).
    bool timeline = false;
    double stepTs = 0;            // pictures: one frame's duration in stream time units
    int64_t estimatedFrames = 0;  // from the container's duration
    int64_t soundFirstTs = 0;     // sound: the first packet's time
    AVRational soundTb{1, 1};
    int32_t soundFrame = 0;     // sample frames of every sound packet
    int32_t soundSkip = 0;      // sample frames the first packet drops from its front
    int64_t soundTrimLeft = 0;  // the scan: front trim still to drop (TrimSound_)

    // Sound.
    int64_t movieSoundLead = 0;  // MP4 sound under the plain edit handling: its dropped priming
    std::vector<int16_t> pcm;    // the decoded frame in hand, interleaved
    int64_t pcmStart = 0;        // its first sample frame
    int64_t clock = 0;           // where the decoder's next output starts

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
           p->ch_layout.nb_channels <= kMaxSourceChannels && avcodec_find_decoder(p->codec_id);
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

// The sample frames an Opus packet decodes to (at 48 kHz), from its table-of-contents byte;
// 0 when the packet is too short to say.
int64_t OpusSamples_(const uint8_t* data, int size) {
    if (!data || size < 1) return 0;
    const int config = data[0] >> 3;
    static const int64_t kSilk[4] = {480, 960, 1920, 2880};  // 10, 20, 40, 60 ms
    int64_t frame;
    if (config < 12)
        frame = kSilk[config & 3];
    else if (config < 16)
        frame = (config & 1) ? 960 : 480;  // hybrid: 10, 20 ms
    else
        frame = int64_t{120} << (config & 3);  // CELT: 2.5 to 20 ms
    int frames = 1;
    switch (data[0] & 3) {
        case 0: frames = 1; break;
        case 1:
        case 2: frames = 2; break;
        default:
            if (size < 2) return 0;
            frames = data[1] & 0x3F;
            break;
    }
    return frame * frames;
}

// The sample frames one sound packet of `size` bytes at `data` (null when not at hand) decodes
// to, before any trimming: by the codec's frame size or the packet's own bytes, else the
// packet's duration (`duration`, in sample frames; 0 when unknown). A demuxer may hand out a
// duration already trimmed (the last Ogg page's), so the coding itself is asked first.
int32_t PacketSamples_(const AVStream* st, const uint8_t* data, int size, int64_t duration) {
    int64_t n = av_get_audio_frame_duration2(st->codecpar, size);
    if (n <= 0 && st->codecpar->codec_id == AV_CODEC_ID_OPUS && data)
        n = av_rescale(OpusSamples_(data, size), st->codecpar->sample_rate, 48000);
    if (n <= 0) n = duration;
    if (n <= 0) n = st->codecpar->frame_size;
    return static_cast<int32_t>(std::clamp<int64_t>(n, 0, 1 << 24));
}

// The duration of a sound packet in sample frames; 0 when it has none.
int64_t DurationSamples_(const AVStream* st, const AVPacket* pkt) {
    return pkt->duration > 0
               ? av_rescale_q(pkt->duration, st->time_base, AVRational{1, st->codecpar->sample_rate})
               : 0;
}

// Drops from a sound packet's count what the decoder drops of its output: the front trim still
// `left`, which runs on into the packets after where it is longer than this one (an edit that
// starts several packets in), `back` sample frames from its end, and the whole packet where an
// edit cuts it (`cut`; it still takes its share of the front trim).
void Trim_(Packet_& p, int64_t& left, int64_t back, bool cut) {
    p.skip = static_cast<int32_t>(std::clamp<int64_t>(left, 0, p.count));
    left -= p.skip;
    p.count = static_cast<int32_t>(std::max<int64_t>(0, p.count - p.skip - back));
    if (cut) {
        p.skip += p.count;
        p.count = 0;
    }
}

// The container's trimming of a sound packet as read (Trim_): a front trim it asks starts
// `left` afresh.
void TrimSound_(const AVPacket* pkt, Packet_& p, int64_t& left) {
    size_t size = 0;
    int64_t back = 0;
    const uint8_t* skip = av_packet_get_side_data(pkt, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (skip && size >= 8) {
        const int64_t front = AV_RL32(skip);
        left = front <= INT32_MAX ? front : 0;  // the decoder reads it as a signed count
        back = AV_RL32(skip + 4);
    }
    Trim_(p, left, back, (pkt->flags & AV_PKT_FLAG_DISCARD) != 0);
}

// A sound packet as read: its times, its sample frames and the container's trimming of them
// (`at` is left for the caller to place); `left` as TrimSound_ has it.
Packet_ SoundPacket_(const AVStream* st, const AVPacket* pkt, int64_t& left) {
    Packet_ p;
    p.pts = pkt->pts;
    p.dts = pkt->dts;
    p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    p.count = PacketSamples_(st, pkt->data, pkt->size, DurationSamples_(st, pkt));
    TrimSound_(pkt, p, left);
    return p;
}

// Reads the first packets of the two streams and checks that the tables built without reading
// name the same times, key flags and sample counts.
bool SameAsRead_(AVFormatContext* fmt, int vs, const std::vector<Packet_>& video, int as,
                 const std::vector<Packet_>& audio) {
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return false;
    size_t nv = 0, na = 0;
    int64_t left = 0;
    bool same = true;
    const size_t wantV = std::min(kCheckedPackets, video.size());
    const size_t wantA = std::min(kCheckedPackets, audio.size());
    for (int reads = 0; same && (nv < wantV || na < wantA) && reads < 16384; ++reads) {
        if (av_read_frame(fmt, pkt) < 0) {
            same = false;
            break;
        }
        if (pkt->stream_index == vs && vs >= 0) {
            if (nv < video.size()) {
                const Packet_& p = video[nv];
                same = p.dts == pkt->dts && p.pts == pkt->pts &&
                       p.key == ((pkt->flags & AV_PKT_FLAG_KEY) != 0) &&
                       p.hidden == ((pkt->flags & AV_PKT_FLAG_DISCARD) != 0);
            }
            ++nv;
        } else if (pkt->stream_index == as && as >= 0) {
            if (na < audio.size()) {
                const Packet_ q = SoundPacket_(fmt->streams[as], pkt, left);
                const Packet_& p = audio[na];
                same = p.dts == pkt->dts && p.pts == pkt->pts && p.count == q.count &&
                       p.skip == q.skip;
            }
            ++na;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return same && nv >= wantV && na >= wantA;
}

// Sorts (presentation time, packet) pairs taken in decode order by time. A reordering decoder
// shuffles pictures only a few places, so an insertion sort takes about n steps; a table
// shuffled further (a damaged or hostile file) goes to std::sort once the moves pass a bound.
void SortByTime_(std::vector<std::pair<int64_t, int64_t>>& v) {
    const size_t limit = 64 * v.size() + 4096;
    size_t moves = 0;
    for (size_t i = 1; i < v.size(); ++i) {
        const auto x = v[i];
        size_t j = i;
        for (; j > 0 && v[j - 1].first > x.first; --j) v[j] = v[j - 1];
        v[j] = x;
        moves += i - j;
        if (moves > limit) {
            std::sort(v.begin(), v.end());
            return;
        }
    }
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
    m.sortedPts.clear();
    m.hiddenPackets = 0;
    if (allPts) {
        // Hidden pictures are left out of the ranks: the decoder never hands them out.
        std::vector<std::pair<int64_t, int64_t>> byTime;
        byTime.reserve(pk.size());
        for (int64_t i = 0; i < n; ++i)
            if (!pk[i].hidden) byTime.emplace_back(pk[i].pts, i);
        SortByTime_(byTime);
        m.sortedPts.resize(byTime.size());
        for (size_t r = 0; r < byTime.size(); ++r) m.sortedPts[r] = byTime[r].first;
        if (std::adjacent_find(m.sortedPts.begin(), m.sortedPts.end()) == m.sortedPts.end()) {
            m.order = Order_::PtsRank;
            m.hiddenPackets = n - static_cast<int64_t>(byTime.size());
            for (Packet_& p : pk) p.at = -1;
            for (size_t r = 0; r < byTime.size(); ++r)
                pk[byTime[r].second].at = static_cast<int64_t>(r);  // a picture's rank
        }
    }
    // Elsewhere every packet is a picture, as the files with such times have always been read.
    if (m.order != Order_::PtsRank)
        for (Packet_& p : pk) p.hidden = false;
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
            case Order_::PtsRank: break;  // ranked above
            case Order_::Uniform:
                p.at = p.pts == AV_NOPTS_VALUE ? -1 : (p.pts - m.firstTime) / m.step;
                if (p.at >= n) p.at = -1;
                break;
            case Order_::Ordinal:
            case Order_::Grid: p.at = i; break;  // the timeline numbers its own
        }
    }
    // Decoding may start at packet 0 for any frame, and at a key packet for the frames shown
    // from it on; from a hidden one, for the frames its interval shows, the first of which is
    // then a key frame to the caller.
    m.seekPoints.push_back({0, 0});
    for (int64_t i = 0; i < n; ++i) {
        if (!pk[i].key) continue;
        int64_t from = pk[i].at;
        for (int64_t j = i + 1; pk[i].hidden && j < n && !pk[j].key; ++j)
            if (pk[j].at >= 0 && (from < 0 || pk[j].at < from)) from = pk[j].at;
        if (from > 0) m.seekPoints.push_back({from, i});
        if (pk[i].hidden && from >= 0) m.facts.video.keyFrames.push_back(from);
    }
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

// Pictures that do not step evenly keep their own times (see QAvVideoFacts::frameTimes).
void NoteFrameTimes_(QAvMedia& m, AVRational timeBase) {
    QAvVideoFacts& f = m.facts.video;
    if (m.order != Order_::PtsRank || m.sortedPts.size() < 2 || f.rate <= 0) return;
    const auto time = [&](size_t n) {
        return double(m.sortedPts[n] - m.sortedPts[0]) * av_q2d(timeBase);
    };
    size_t n = 0;
    while (n < m.sortedPts.size() && std::fabs(time(n) - double(n) / f.rate) <= 0.25 / f.rate) ++n;
    if (n == m.sortedPts.size()) return;  // steady: n / rate is every picture's time
    f.frameTimes.resize(m.sortedPts.size());
    for (n = 0; n < f.frameTimes.size(); ++n) f.frameTimes[n] = time(n);
}

// The picture table from the container's own index, without reading the packets, where the
// container indexes every picture packet with the decode time it carries (AVI), and the decoder
// shows pictures in stored order, so that decode times are presentation times. (Sound stays
// with the scan: a demuxer may hand a stored chunk out in several packets.) False when the
// index cannot stand in for a scan.
bool IndexAviPictures_(QAvMedia& m, AVFormatContext* fmt) {
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

// --- MP4 and QuickTime sample tables ----------------------------------------------------------

bool IsMovFamily_(const AVFormatContext* fmt) {
    return fmt->iformat && fmt->iformat->name && std::strstr(fmt->iformat->name, "mp4") &&
           std::strstr(fmt->iformat->name, "mov");
}

// The boxes inside [p, end): calls `each(type, body, bodyEnd)` for each until it returns true.
// A box that claims more room than there is ends the walk.
template <class Each>
bool ForEachBox_(const uint8_t* p, const uint8_t* end, Each&& each) {
    while (end - p >= 8) {
        uint64_t size = AV_RB32(p);
        size_t head = 8;
        if (size == 1) {
            if (end - p < 16) return false;
            size = AV_RB64(p + 8);
            head = 16;
        } else if (size == 0) {
            size = static_cast<uint64_t>(end - p);
        }
        if (size < head || size > static_cast<uint64_t>(end - p)) return false;
        if (each(AV_RB32(p + 4), p + head, p + size)) return true;
        p += size;
    }
    return false;
}

constexpr uint32_t Tag_(const char (&t)[5]) {
    return uint32_t(uint8_t(t[0])) << 24 | uint32_t(uint8_t(t[1])) << 16 |
           uint32_t(uint8_t(t[2])) << 8 | uint8_t(t[3]);
}

// The whole top-level movie box of an MP4 or QuickTime file; empty when there is none that
// can be read (a compressed one, one beyond the bound).
std::vector<uint8_t> ReadMovieBox_(const std::string& path) {
    constexpr uint64_t kMaxMovie = uint64_t{256} << 20;
    std::vector<uint8_t> box;
    std::FILE* f = FileOpenRegularRead(path.c_str());
    if (!f) return box;
    // A box is never read past the end of the file, whatever its header claims.
    uint64_t fileSize = 0;
    if (fseeko(f, 0, SEEK_END) == 0)
        fileSize = static_cast<uint64_t>(std::max<off_t>(ftello(f), 0));
    uint64_t at = 0;
    for (int boxes = 0; boxes < 4096; ++boxes) {
        uint8_t h[16];
        if (fseeko(f, static_cast<off_t>(at), SEEK_SET) != 0 || std::fread(h, 1, 8, f) != 8) break;
        uint64_t size = AV_RB32(h);
        uint64_t head = 8;
        if (size == 1) {
            if (std::fread(h + 8, 1, 8, f) != 8) break;
            size = AV_RB64(h + 8);
            head = 16;
        }
        if (size != 0 && size < head) break;
        // Box types are four letters or digits: a file whose first bytes are not a box (every
        // other format the layer opens) is left at once.
        if (!std::all_of(h + 4, h + 8, [](uint8_t c) { return std::isalnum(c) || c == ' '; }))
            break;
        if (AV_RB32(h + 4) == Tag_("moov")) {
            if (size == 0 || size - head > kMaxMovie || at + size > fileSize) break;
            box.resize(static_cast<size_t>(size - head));
            if (std::fread(box.data(), 1, box.size(), f) != box.size()) box.clear();
            break;
        }
        if (size == 0 || at + size < at) break;
        at += size;
    }
    std::fclose(f);
    return box;
}

// What the movie box says of one track.
struct MovieTrack_ {
    const uint8_t* stbl = nullptr;  // its sample table
    const uint8_t* stblEnd = nullptr;
    const uint8_t* elst = nullptr;  // its edit list; null when it has none
    const uint8_t* elstEnd = nullptr;
};

// The track `trackId` in `movie`, and the movie's time scale. False when the movie box cannot be
// read or the track is not in it.
bool FindTrack_(const std::vector<uint8_t>& movie, int trackId, MovieTrack_& track,
                uint32_t& movieScale) {
    track = MovieTrack_();
    movieScale = 0;
    bool found = false;
    ForEachBox_(
        movie.data(), movie.data() + movie.size(),
        [&](uint32_t type, const uint8_t* b, const uint8_t* e) {
            if (type == Tag_("mvhd") && e - b >= 24)
                movieScale = AV_RB32(b + (b[0] == 1 ? 20 : 12));
            if (type != Tag_("trak") || found) return false;
            int id = -1;
            MovieTrack_ t;
            ForEachBox_(b, e, [&](uint32_t tt, const uint8_t* tb, const uint8_t* te) {
                if (tt == Tag_("tkhd") && te - tb >= 24)
                    id = static_cast<int>(AV_RB32(tb + (tb[0] == 1 ? 20 : 12)));
                if (tt == Tag_("edts"))
                    ForEachBox_(tb, te, [&](uint32_t t2, const uint8_t* eb, const uint8_t* ee) {
                        if (t2 != Tag_("elst")) return false;
                        t.elst = eb;
                        t.elstEnd = ee;
                        return true;
                    });
                if (tt != Tag_("mdia")) return false;
                ForEachBox_(tb, te, [&](uint32_t t2, const uint8_t* mb, const uint8_t* me) {
                    if (t2 != Tag_("minf")) return false;
                    ForEachBox_(mb, me, [&](uint32_t t3, const uint8_t* sb, const uint8_t* se) {
                        if (t3 != Tag_("stbl")) return false;
                        t.stbl = sb;
                        t.stblEnd = se;
                        return true;
                    });
                    return true;
                });
                return false;
            });
            if (id != trackId || !t.stbl) return false;
            track = t;
            found = true;
            return false;  // on to the movie header, wherever it stands
        });
    return found && movieScale > 0 && movieScale <= INT32_MAX;
}

// The composition offsets of a track, one per sample in decode order; empty when the track has
// none (its decode times are its presentation times). False when they cannot be read.
bool CompositionOffsets_(const MovieTrack_& track, std::vector<int32_t>& offsets) {
    offsets.clear();
    bool ok = true;
    ForEachBox_(track.stbl, track.stblEnd, [&](uint32_t t, const uint8_t* cb, const uint8_t* ce) {
        if (t != Tag_("ctts")) return false;
        const uint32_t entries = ce - cb >= 8 ? AV_RB32(cb + 4) : 0;
        if (ce - cb < 8 || entries > static_cast<uint64_t>(ce - cb - 8) / 8) {
            ok = false;
            return true;
        }
        for (uint32_t i = 0; i < entries && ok; ++i) {
            const uint32_t count = AV_RB32(cb + 8 + 8 * i);
            const auto offset = static_cast<int32_t>(AV_RB32(cb + 12 + 8 * i));
            if (count > kMaxPackets - offsets.size())
                ok = false;
            else
                offsets.insert(offsets.end(), count, offset);
        }
        return true;
    });
    return ok;
}

// A track's edit list as the demuxer's plain handling takes it: none (`any` false), or one edit
// at the normal rate, after an empty one or not. The media from `start` (track time) is shown
// for `length` (movie time) from `begin` (track time: the empty edit).
struct PlainEdit_ {
    bool any = false;
    int64_t begin = 0;
    int64_t start = 0;
    int64_t length = 0;
};

// False for any other list: several edits, another rate, a damaged list.
bool PlainEditOf_(const MovieTrack_& track, AVRational tb, uint32_t movieScale, PlainEdit_& edit) {
    edit = PlainEdit_();
    const uint8_t* b = track.elst;
    if (!b) return true;
    edit.any = true;
    if (track.elstEnd - b < 8) return false;
    const bool wide = b[0] == 1;
    const uint32_t entries = AV_RB32(b + 4);
    const ptrdiff_t size = wide ? 20 : 12;
    if (entries < 1 || entries > 2 || (track.elstEnd - b - 8) / size < entries) return false;
    int64_t emptyLength = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* e = b + 8 + size * i;
        const int64_t length = wide ? static_cast<int64_t>(std::min<uint64_t>(AV_RB64(e), INT64_MAX))
                                    : AV_RB32(e);
        const int64_t start = wide ? static_cast<int64_t>(AV_RB64(e + 8))
                                   : static_cast<int32_t>(AV_RB32(e + 4));
        const uint32_t rate = AV_RB32(e + (wide ? 16 : 8));
        if (i + 1 < entries) {
            if (start != -1) return false;
            emptyLength = length;
        } else {
            if (start < 0 || length <= 0 || rate != 0x10000) return false;
            edit.start = start;
            edit.length = length;
        }
    }
    edit.begin = av_rescale_q(emptyLength, AVRational{1, static_cast<int>(movieScale)}, tb);
    return true;
}

// Whether time `t` of a track (`tb`) is shown by its edit.
bool WithinEdit_(const PlainEdit_& edit, int64_t t, AVRational tb, uint32_t movieScale) {
    return t >= edit.begin && av_compare_ts(t - edit.begin, tb, edit.length,
                                            AVRational{1, static_cast<int>(movieScale)}) < 0;
}

// The sound table of an MP4 or QuickTime track from the demuxer's index, its first `limit`
// packets into `out` (cleared first), with `lead` sample frames trimmed from the front (the
// trim the demuxer asks with the first packet). Returns the sample frames of the whole track,
// or -1 when the index cannot stand in for a scan.
int64_t MovieSound_(AVStream* st, size_t limit, int64_t lead, std::vector<Packet_>& out) {
    out.clear();
    const int n = avformat_index_get_entries_count(st);
    const int rate = st->codecpar->sample_rate;
    if (n <= 0 || static_cast<size_t>(n) > kMaxPackets || rate <= 0) return -1;
    const AVRational toSamples{1, rate};
    const bool inSamples = st->time_base.num == 1 && st->time_base.den == rate;
    // Where the codec's frame size alone tells a packet's samples (AAC, most codecs), whatever
    // its bytes, it is asked once.
    const int frameSize = st->codecpar->frame_size;
    const bool fixed = frameSize > 1 && av_get_audio_frame_duration2(st->codecpar, 1) == frameSize &&
                       av_get_audio_frame_duration2(st->codecpar, 1 << 20) == frameSize;
    int64_t samples = 0, left = lead;
    out.reserve(std::min(limit, static_cast<size_t>(n)));
    const AVIndexEntry* e = avformat_index_get_entry(st, 0);
    for (int i = 0; i < n; ++i) {
        const AVIndexEntry* after = i + 1 < n ? avformat_index_get_entry(st, i + 1) : nullptr;
        if (!e || e->size <= 0 || (after && after->timestamp <= e->timestamp)) return -1;
        Packet_ p;
        p.pts = p.dts = e->timestamp;
        p.key = true;
        if (fixed) {
            p.count = frameSize;
        } else {
            int64_t span = 0;
            if (after) {
                span = after->timestamp - e->timestamp;
            } else if (st->duration != AV_NOPTS_VALUE) {
                const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
                span = start + st->duration - e->timestamp;
            }
            p.count = PacketSamples_(st, nullptr, e->size,
                                     inSamples ? span : av_rescale_q(span, st->time_base, toSamples));
        }
        Trim_(p, left, 0, (e->flags & AVINDEX_DISCARD_FRAME) != 0);
        p.at = samples;
        samples += p.count;
        if (out.size() < limit) out.push_back(p);
        e = after;
    }
    return samples;
}

// The length of an MP4's sound track `st` and the first packets of its table (MovieSound_), with
// the priming the plain edit handling drops (`lead`); -1 when the index cannot stand in for a
// scan, or (`plain`) the track's edits are ones the plain handling cannot give.
int64_t MovieSoundOf_(AVStream* st, const std::vector<uint8_t>& movie, bool plain, int64_t& lead,
                      std::vector<Packet_>& first) {
    lead = 0;
    MovieTrack_ track;
    uint32_t movieScale = 0;
    PlainEdit_ edit;
    const int n = avformat_index_get_entries_count(st);
    const bool single = n > 0 && FindTrack_(movie, st->id, track, movieScale) &&
                        PlainEditOf_(track, st->time_base, movieScale, edit);
    const bool inSamples = st->time_base.num == 1 && st->time_base.den == st->codecpar->sample_rate;
    if (plain) {
        // The plain handling drops an edit's start from an AAC track's first packet (its
        // priming), and from no other; nothing past the edit's end.
        const AVIndexEntry* last = single ? avformat_index_get_entry(st, n - 1) : nullptr;
        if (!single ||
            (edit.any &&
             ((edit.start > 0 && (st->codecpar->codec_id != AV_CODEC_ID_AAC || !inSamples)) ||
              !last || !WithinEdit_(edit, last->timestamp, st->time_base, movieScale))))
            return -1;
        lead = edit.start;
    } else if (single && inSamples) {
        // The full handling cuts the packets wholly before the edit's start and asks with the
        // first for the whole start to be trimmed; the check of the first packets confirms it.
        lead = edit.start;
    }
    // The sound's length now; its table when the sound is first asked for (an export of a
    // picture never needs it), but its first packets go into the check.
    return MovieSound_(st, kCheckedPackets, lead, first);
}

// The picture and sound tables of an MP4 or QuickTime file from its sample tables, without
// reading a packet: decode times, key flags and sizes from the demuxer's index, presentation
// times from the track's composition offsets, sample counts from the codec's frame size or the
// decode times. The first packets are then read to check that the tables say what the demuxer
// delivers; any difference, an edit that drops pictures, or a fragmented file leaves the
// tables to the scan. False then.
//
// Under the demuxer's plain edit handling (`plainEdits`) an edit list must also be one the plain
// handling gives as the full one would: a single edit that drops no picture, and in the sound
// nothing but an AAC track's priming, which the demuxer asks to drop from its first packet.
bool IndexMovie_(QAvMedia& m, AVFormatContext* fmt, const std::vector<uint8_t>& movie) {
    if (!IsMovFamily_(fmt)) return false;
    const bool plain = m.video.plainEdits;
    // The sound's length beside the picture table, on a thread of its own where there is one:
    // both only read the demuxer's index.
    std::vector<Packet_> video, audio;
    std::future<int64_t> sound;
    if (m.audio.stream >= 0) {
        const auto job = [&m, st = fmt->streams[m.audio.stream], &movie, plain, &audio] {
            return MovieSoundOf_(st, movie, plain, m.movieSoundLead, audio);
        };
        try {
            sound = std::async(std::launch::async, job);
        } catch (const std::system_error&) {
            sound = std::async(std::launch::deferred, job);
        }
    }
    if (m.video.stream >= 0) {
        MovieTrack_ track;
        uint32_t movieScale = 0;
        PlainEdit_ edit;
        AVStream* st = fmt->streams[m.video.stream];
        const int n = avformat_index_get_entries_count(st);
        if (n <= 0 || static_cast<size_t>(n) > kMaxPackets) return false;
        std::vector<int32_t> offsets;
        if (!FindTrack_(movie, st->id, track, movieScale) ||
            (plain && !PlainEditOf_(track, st->time_base, movieScale, edit)) ||
            !CompositionOffsets_(track, offsets))
            return false;
        if (!offsets.empty() && offsets.size() != static_cast<size_t>(n)) return false;
        // The demuxer moves every time by the most negative offset, so none comes before its
        // decode time; only the check against the first packets tells it for sure.
        int32_t least = 0;
        for (int32_t o : offsets) least = std::min(least, o);
        int64_t first = INT64_MAX, last = INT64_MIN;
        video.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            const AVIndexEntry* e = avformat_index_get_entry(st, i);
            if (!e || e->size <= 0 || (i > 0 && e->timestamp <= video.back().dts)) return false;
            Packet_ p;
            p.dts = e->timestamp;
            p.pts = e->timestamp + (offsets.empty() ? 0 : int64_t{offsets[size_t(i)]} - least);
            p.key = (e->flags & AVINDEX_KEYFRAME) != 0;
            p.hidden = (e->flags & AVINDEX_DISCARD_FRAME) != 0;
            video.push_back(p);
            first = std::min(first, p.pts);
            last = std::max(last, p.pts);
        }
        // The plain handling starts the times at the edit's start: a picture outside the edit
        // is one the full handling would drop.
        if (edit.any && (!WithinEdit_(edit, first, st->time_base, movieScale) ||
                         !WithinEdit_(edit, last, st->time_base, movieScale)))
            return false;
    }
    int64_t samples = 0;
    if (sound.valid() && (samples = sound.get()) < 0) return false;
    m.facts.audio.samples = samples;
    if (!SameAsRead_(fmt, m.video.stream, video, m.audio.stream, audio)) {
        m.facts.audio.samples = 0;
        return false;
    }
    m.video.packets = std::move(video);
    m.audio.packets = std::move(audio);
    m.video.indexed = m.audio.indexed = true;
    m.video.dtsIndex = m.audio.dtsIndex = true;
    m.audio.later = m.audio.stream >= 0;
    return true;
}

using Clock_ = std::chrono::steady_clock;

// Reads the packets of the chosen streams from where the demuxer stands, without decoding (the
// pictures only when `pictures`), until the end or, once each stream has its first
// kPrefixPackets, until `deadline`. True when it reached the end.
bool ReadPackets_(QAvMedia& m, AVFormatContext* fmt, bool pictures, Clock_::time_point deadline) {
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return true;
    const AVStream* ast = m.audio.stream >= 0 ? fmt->streams[m.audio.stream] : nullptr;
    const size_t wantV = m.video.stream >= 0 && pictures ? kPrefixPackets : 0;
    const size_t wantA = m.audio.stream >= 0 ? kPrefixPackets : 0;
    int64_t samples = m.facts.audio.samples;
    bool end = false;
    // Other streams' packets are dropped by the demuxer; the count of reads still has a bound.
    for (size_t reads = 0;; ++reads) {
        if (reads >= 4 * kMaxPackets || av_read_frame(fmt, pkt) < 0) {
            end = true;
            break;
        }
        Packet_ p;
        p.pts = pkt->pts;
        p.dts = pkt->dts;
        p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        p.hidden = (pkt->flags & AV_PKT_FLAG_DISCARD) != 0;
        if (pkt->stream_index == m.video.stream || pkt->stream_index == m.audio.stream)
            p.print = Print_(pkt);
        if (pkt->stream_index == m.video.stream && m.video.palette.empty()) {
            size_t size = 0;
            if (const uint8_t* pal = av_packet_get_side_data(pkt, AV_PKT_DATA_PALETTE, &size))
                m.video.palette.assign(pal, pal + size);
        }
        if (pkt->stream_index == m.video.stream && pictures && m.video.packets.size() < kMaxPackets) {
            m.video.packets.push_back(p);
        } else if (pkt->stream_index == m.audio.stream && m.audio.packets.size() < kMaxPackets) {
            Packet_ a = SoundPacket_(ast, pkt, m.soundTrimLeft);
            a.print = p.print;
            a.at = samples;
            samples += a.count;
            m.audio.packets.push_back(a);
        }
        av_packet_unref(pkt);
        if ((reads & 255) == 255 && m.video.packets.size() >= wantV &&
            m.audio.packets.size() >= wantA && Clock_::now() >= deadline)
            break;
    }
    av_packet_free(&pkt);
    m.facts.audio.samples = samples;
    return end;
}

// Sound packets are found again by decode time too, where the times rise.
void NoteSoundTimes_(QAvMedia& m) {
    bool rising = true;
    for (size_t i = 0; i < m.audio.packets.size(); ++i)
        rising &= m.audio.packets[i].dts != AV_NOPTS_VALUE &&
                  (i == 0 || m.audio.packets[i].dts > m.audio.packets[i - 1].dts);
    m.audio.dtsIndex = rising;
}

// Reads every packet of the chosen streams once, without decoding; AVI pictures come from the
// index, and the demuxer skips them.
void ScanPackets_(QAvMedia& m, AVFormatContext* fmt) {
    const bool indexed = m.video.stream >= 0 && fmt->iformat && fmt->iformat->name &&
                         std::strcmp(fmt->iformat->name, "avi") == 0 && IndexAviPictures_(m, fmt);
    if (indexed && m.audio.stream < 0) return;
    if (indexed) fmt->streams[m.video.stream]->discard = AVDISCARD_ALL;
    ReadPackets_(m, fmt, !indexed, Clock_::time_point::max());
    NoteSoundTimes_(m);
    if (indexed) fmt->streams[m.video.stream]->discard = AVDISCARD_DEFAULT;
}

// An Opus decoder drops the stream's pre-skip by itself when it starts, unless the first packet
// says otherwise: where no packet said so, the table drops it too. `total` is the length of the
// whole table, of which `pk` may hold only the first packets; returns the length after the drop.
int64_t DecoderPriming_(std::vector<Packet_>& pk, const AVCodecParameters* par, int64_t total) {
    if (pk.empty() || par->codec_id != AV_CODEC_ID_OPUS || par->initial_padding <= 0 || pk[0].skip > 0)
        return total;
    int64_t left = par->initial_padding, dropped = 0;
    for (Packet_& p : pk) {
        const int32_t drop = static_cast<int32_t>(std::min<int64_t>(left, p.count));
        p.skip += drop;
        p.count -= drop;
        p.at -= dropped;
        left -= drop;
        dropped += drop;
    }
    return total - std::min<int64_t>(par->initial_padding, total);
}

void DecoderPriming_(QAvMedia& m, AVFormatContext* fmt) {
    if (m.audio.stream < 0) return;
    m.facts.audio.samples = DecoderPriming_(m.audio.packets, fmt->streams[m.audio.stream]->codecpar,
                                            m.facts.audio.samples);
}

// The whole sound table of an MP4 whose open checked only its first packets, from the sound
// demuxer's index: the same file parsed the same way. False when it no longer says what the
// open found (the file changed).
bool CompleteMovieSound_(QAvMedia& m) {
    Side_& a = m.audio;
    if (!a.later) return true;
    if (!a.demux.fmt && !Reopen_(a)) return false;
    AVStream* st = a.demux.fmt->streams[a.stream];
    std::vector<Packet_> table;
    int64_t total = MovieSound_(st, kMaxPackets, m.movieSoundLead, table);
    if (total >= 0) total = DecoderPriming_(table, st->codecpar, total);
    if (total != m.facts.audio.samples || table.size() < a.packets.size() ||
        !std::equal(a.packets.begin(), a.packets.end(), table.begin(),
                    [](const Packet_& x, const Packet_& y) {
                        return x.dts == y.dts && x.at == y.at && x.count == y.count &&
                               x.skip == y.skip;
                    }))
        return false;
    a.packets = std::move(table);
    a.later = false;
    return true;
}

bool SeeksByTime_(const AVFormatContext* fmt) {
    return fmt->iformat && fmt->iformat->name && std::strstr(fmt->iformat->name, "matroska") &&
           fmt->duration > 0 && fmt->duration != AV_NOPTS_VALUE;
}

// The latest presentation times of the two streams (either may be -1) in the last seconds of
// the file: a seek near the end and a read to it. AV_NOPTS_VALUE for a stream none came of.
void LastTimes_(AVFormatContext* fmt, int vs, int as, int64_t& lastV, int64_t& lastA) {
    lastV = lastA = AV_NOPTS_VALUE;
    const int64_t start = fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0;
    const int64_t target = start + std::max<int64_t>(0, fmt->duration - 10 * int64_t{AV_TIME_BASE});
    if (avformat_seek_file(fmt, -1, INT64_MIN, target, target, 0) < 0) return;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return;
    for (int reads = 0; reads < 65536 && av_read_frame(fmt, pkt) >= 0; ++reads) {
        int64_t& last = pkt->stream_index == vs ? lastV : lastA;
        if ((pkt->stream_index == vs || pkt->stream_index == as) && pkt->pts != AV_NOPTS_VALUE &&
            (last == AV_NOPTS_VALUE || pkt->pts > last))
            last = pkt->pts;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
}

// Sets the file to go by its timeline when the packets read so far show a steady frame rate
// (every picture on the grid of frame durations, none twice) and a steady sound frame size
// (every packet's time on the grid of its frames). False, with nothing changed, otherwise.
bool GoByTimeline_(QAvMedia& m, AVFormatContext* fmt) {
    const double seconds = fmt->duration / double(AV_TIME_BASE);
    int64_t lastV = AV_NOPTS_VALUE, lastA = AV_NOPTS_VALUE;
    double step = 0;
    int64_t first = INT64_MAX;
    std::vector<int64_t> numbers;
    if (m.video.stream >= 0) {
        const AVStream* st = fmt->streams[m.video.stream];
        AVRational r = st->avg_frame_rate;
        if (r.num <= 0 || r.den <= 0) r = st->r_frame_rate;
        const auto& pk = m.video.packets;
        if (r.num <= 0 || r.den <= 0 || pk.size() < 8 || st->time_base.num <= 0) return false;
        step = double(st->time_base.den) * r.den / (double(st->time_base.num) * r.num);
        if (!(step >= 2.0)) return false;  // times too coarse to tell frames apart
        for (const Packet_& p : pk) {
            if (p.pts == AV_NOPTS_VALUE) return false;
            first = std::min(first, p.pts);
        }
        for (const Packet_& p : pk) {
            const double d = double(p.pts - first) / step;
            const double n = std::round(d);
            if (std::fabs(d - n) > 0.25) return false;
            numbers.push_back(static_cast<int64_t>(n));
        }
        std::vector<int64_t> sorted = numbers;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return false;
    }
    int32_t frame = 0;
    if (m.audio.stream >= 0) {
        const AVStream* st = fmt->streams[m.audio.stream];
        const auto& pk = m.audio.packets;
        if (pk.size() < 8 || pk[0].pts == AV_NOPTS_VALUE) return false;
        frame = pk[1].count + pk[1].skip;
        if (frame <= 0 || pk[0].count + pk[0].skip != frame) return false;
        const AVRational toSamples{1, st->codecpar->sample_rate};
        for (size_t i = 0; i < pk.size(); ++i) {
            if (pk[i].pts == AV_NOPTS_VALUE) return false;
            if (i > 0 && i + 1 < pk.size() && (pk[i].skip != 0 || pk[i].count != frame))
                return false;
            const int64_t at = av_rescale_q(pk[i].pts - pk[0].pts, st->time_base, toSamples);
            if (std::llround(double(at) / frame) != static_cast<int64_t>(i)) return false;
        }
    }
    // The streams keep their steps: the last packets' times tell the counts, better than the
    // container's duration, which runs to the end of the longer stream.
    LastTimes_(fmt, m.video.stream, m.audio.stream, lastV, lastA);
    if (m.audio.stream >= 0) {
        const AVStream* st = fmt->streams[m.audio.stream];
        const auto& pk = m.audio.packets;
        m.soundFirstTs = pk[0].pts;
        m.soundTb = st->time_base;
        m.soundFrame = frame;
        m.soundSkip = pk[0].skip;
        int64_t total = std::llround(seconds * st->codecpar->sample_rate) - m.soundSkip;
        if (lastA != AV_NOPTS_VALUE && lastA >= m.soundFirstTs) {
            const int64_t at = av_rescale_q(lastA - m.soundFirstTs, st->time_base,
                                            AVRational{1, st->codecpar->sample_rate});
            total = (std::llround(double(at) / frame) + 1) * frame - m.soundSkip;
        }
        m.facts.audio.samples = std::max<int64_t>(m.facts.audio.samples, total);
        m.facts.audio.samplesExact = false;
    }
    if (m.video.stream >= 0) {
        auto& pk = m.video.packets;
        for (size_t i = 0; i < pk.size(); ++i) pk[i].at = numbers[i];
        m.order = Order_::Grid;
        m.firstTime = first;
        m.stepTs = step;
        // The container's duration runs from its start to the end of the last frame.
        const AVStream* st = fmt->streams[m.video.stream];
        const double start = fmt->start_time != AV_NOPTS_VALUE
                                 ? fmt->start_time / double(AV_TIME_BASE)
                                 : 0;
        const double shown = seconds + start - first * av_q2d(st->time_base);
        int64_t count = std::llround(shown / (step * av_q2d(st->time_base)));
        if (lastV != AV_NOPTS_VALUE && lastV >= first)
            count = std::llround(double(lastV - first) / step) + 1;
        m.estimatedFrames = std::max<int64_t>(*std::max_element(numbers.begin(), numbers.end()) + 1,
                                              count);
        for (const Packet_& p : pk)
            if (p.key) m.facts.video.keyFrames.push_back(p.at);
        std::sort(m.facts.video.keyFrames.begin(), m.facts.video.keyFrames.end());
    }
    m.timeline = true;
    return true;
}

// Builds the packet tables: from the container's index where it can stand in, else by reading,
// or, for a long file whose container seeks by time, from its timeline.
// Opens the picture side's demuxer again for both streams, the packets from the first.
bool Rewind_(QAvMedia& m) {
    if (!Reopen_(m.video)) return false;
    DiscardOthers_(m.video.demux.fmt, m.video.stream, m.audio.stream);
    return true;
}

// Makes the tables; `movie` brings the movie box of an MP4 (ReadMovieBox_). False when the file
// could not be opened again.
bool Scan_(QAvMedia& m, std::future<std::vector<uint8_t>>& movie, const QAvOpenOptions& options) {
    if (IsMovFamily_(m.video.demux.fmt)) {
        const std::vector<uint8_t> box = movie.get();
        bool indexed = IndexMovie_(m, m.video.demux.fmt, box);
        if (!indexed && m.video.plainEdits) {
            // Edits the plain handling cannot give: the file is opened with the full one.
            m.video.plainEdits = m.audio.plainEdits = false;
            indexed = Rewind_(m) && IndexMovie_(m, m.video.demux.fmt, box);
        }
        if (indexed) {
            DecoderPriming_(m, m.video.demux.fmt);
            return true;
        }
        // The check read the first packets: the scan reads from the top.
        if (!Rewind_(m)) return false;
    }
    AVFormatContext* fmt = m.video.demux.fmt;
    if (!SeeksByTime_(fmt)) {
        ScanPackets_(m, fmt);
        DecoderPriming_(m, fmt);
        return true;
    }
    const auto deadline = Clock_::now() + std::chrono::milliseconds(options.scanMilliseconds);
    const bool whole = ReadPackets_(m, fmt, true, deadline);
    DecoderPriming_(m, fmt);
    if (!whole && !GoByTimeline_(m, fmt)) ReadPackets_(m, fmt, true, Clock_::time_point::max());
    NoteSoundTimes_(m);
    return true;
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
        } else if (m.order == Order_::Grid) {
            at = std::max<int64_t>(-1, std::llround(double(ts - m.firstTime) / m.stepTs));
        }
    }
    if (m.order == Order_::Ordinal || ts == AV_NOPTS_VALUE) at = m.lastOut + 1;
    return at;
}

// Turns a packed picture of w x h pixels (3 bytes each) clockwise by `degrees` into `dest`,
// whose rows are `pitch` bytes apart.
void Turn_(const uint8_t* src, int w, int h, int degrees, uint8_t* dest, ptrdiff_t pitch) {
    const ptrdiff_t row = ptrdiff_t{w} * 3;
    const int outW = degrees == 180 ? w : h, outH = degrees == 180 ? h : w;
    for (int y = 0; y < outH; ++y) {
        uint8_t* d = dest + pitch * y;
        for (int x = 0; x < outW; ++x, d += 3) {
            const uint8_t* from;
            if (degrees == 90)
                from = src + row * (h - 1 - x) + ptrdiff_t{y} * 3;
            else if (degrees == 270)
                from = src + row * x + ptrdiff_t{w - 1 - y} * 3;
            else
                from = src + row * (h - 1 - y) + ptrdiff_t{w - 1 - x} * 3;
            d[0] = from[0];
            d[1] = from[1];
            d[2] = from[2];
        }
    }
}

// Converts `f` to the stream's size in the asked layout, straight into `dest`, or through a
// scratch picture when the stream asks to be shown turned.
bool Deliver_(QAvMedia& m, const AVFrame* f, uint8_t* dest, const QAvFrameLayout& layout) {
    const int w = m.codedWidth, h = m.codedHeight;
    if (f->width > kMaxSide || f->height > kMaxSide) return false;
    const bool rgb = layout.pixels == AvPixels::Rgb24;
    const ptrdiff_t pitch = static_cast<ptrdiff_t>(std::max(layout.rowPixels, m.facts.video.width)) *
                            3;
    const int turn = m.facts.video.rotation;
    if (turn == 0) return AvPictureToPacked24(m.converter, *f, w, h, rgb, dest, pitch);
    m.unturned.resize(size_t(w) * h * 3);
    if (!AvPictureToPacked24(m.converter, *f, w, h, rgb, m.unturned.data(), ptrdiff_t{w} * 3))
        return false;
    Turn_(m.unturned.data(), w, h, turn, dest, pitch);
    return true;
}

// The clockwise turn a stream's display matrix asks for, to the nearest quarter; 0 when it
// asks for none or for an angle in between.
int32_t Rotation_(const AVStream* st) {
    size_t size = 0;
#if LIBAVCODEC_VERSION_MAJOR >= 61
    const AVPacketSideData* data = av_packet_side_data_get(
        st->codecpar->coded_side_data, st->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    const uint8_t* matrix = data ? data->data : nullptr;
    size = data ? data->size : 0;
#else
    const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
#endif
    if (!matrix || size < 9 * sizeof(int32_t)) return 0;
    int32_t values[9];
    std::memcpy(values, matrix, sizeof values);
    const double angle = av_display_rotation_get(values);  // counter-clockwise
    if (std::isnan(angle)) return 0;
    double turn = -angle;
    turn -= 360.0 * std::floor(turn / 360.0);
    const double quarter = std::round(turn / 90.0);
    if (std::fabs(turn - quarter * 90.0) > 1.0) return 0;
    return static_cast<int32_t>(quarter) % 4 * 90;
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

// The decoder ran out of packets at the end of the file: the last picture it gave is the last
// frame, and the count stands corrected.
void NoteVideoEnd_(QAvMedia& m) {
    if (!m.timeline || m.facts.video.framesExact || !m.video.drained || m.lastOut < 0) return;
    m.facts.video.frames = m.lastOut + 1;
    m.facts.video.framesExact = true;
}

// Decodes on from the decoder's position toward frame `index`, within the request's budget.
// True when the asked frame came, or else the nearest earlier one the file still has (it lost
// the asked one): it went to `dest`, `delivered` telling whether the conversion succeeded. False
// when none at or before it came; `past` then tells a later picture came first (the decoder
// started after it) from the stream running out.
bool DecodeOn_(QAvMedia& m, int64_t index, uint8_t* dest, const QAvFrameLayout& layout,
               bool& delivered, bool& past) {
    Side_& v = m.video;
    av_frame_unref(m.best);
    int64_t bestIndex = -1;
    past = false;
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
            NoteVideoEnd_(m);
            break;
        }
        m.lastOut = std::max(m.lastOut, at);
        if (at == index) {
            KeepLast_(m, got, index);
            av_frame_unref(m.best);
            StartAhead_(m, index);
            delivered = Deliver_(m, m.last, dest, layout);
            return true;
        }
        if (at < index) {  // on the way: kept, not converted
            av_frame_unref(m.best);
            av_frame_move_ref(m.best, got);
            bestIndex = at;
            continue;
        }
        // Past the asked frame: keep this one for later.
        if (got != m.pending) {
            av_frame_unref(m.pending);
            av_frame_move_ref(m.pending, got);
        }
        m.pendingIndex = at;
        past = true;
        break;
    }
    if (bestIndex < 0) return false;
    delivered = Deliver_(m, m.best, dest, layout);
    KeepLast_(m, m.best, index);
    m.lastOut = std::max(m.lastOut, index);
    return true;
}

// Makes the demuxer hand out the pictures from the key frame at or before the time of frame
// `index`, less `back` seconds; from the first packet when that time is at or before the first.
bool SeekVideoTime_(QAvMedia& m, int64_t index, double back) {
    Side_& v = m.video;
    if (!v.demux.fmt && !Reopen_(v)) return false;
    const AVRational tb = v.demux.fmt->streams[v.stream]->time_base;
    const int64_t ts = m.firstTime + std::llround(double(index) * m.stepTs - back / av_q2d(tb));
    if (ts <= m.firstTime) return Position_(v, 0);
    v.haveHeld = false;
    av_packet_unref(v.held);
    if (avformat_seek_file(v.demux.fmt, v.stream, INT64_MIN, ts, ts, 0) < 0) return false;
    v.next = -1;
    return true;
}

// Picture `index` of a file that goes by its timeline: decoded forward when it is close ahead,
// else from the key frame before its time; when the seek lands past it, from further back.
bool DecodeTimeline_(QAvMedia& m, int64_t index, uint8_t* dest, const QAvFrameLayout& layout) {
    Side_& v = m.video;
    bool forward = v.live && index > m.lastOut && index - m.lastOut <= kAheadFrames;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!forward) {
            Restart_(v);
            av_frame_unref(m.pending);
            m.pendingIndex = -1;
            if (!SeekVideoTime_(m, index, attempt == 0 ? 0.0 : double(2 << attempt))) return false;
            v.live = true;
            m.lastOut = -1;
        }
        forward = false;
        v.budget = kTimelineBudget;
        bool delivered = false, past = false;
        if (DecodeOn_(m, index, dest, layout, delivered, past)) return delivered;
        if (!past) return false;  // nothing more: past the end, or damage
    }
    return false;
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
    if (m.timeline) return DecodeTimeline_(m, index, dest, layout);
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
    v.budget = index - std::max<int64_t>(from, 0) + kSlack + m.hiddenPackets;
    bool delivered = false, past = false;
    return DecodeOn_(m, index, dest, layout, delivered, past) && delivered;
}

// --- Sound -----------------------------------------------------------------------------------

// Folds interleaved sound of `from` channels (more than 8) down to 8 in place: each channel past
// the eighth is added, saturating, to the one eight places before it, so that nothing is lost
// from hearing and the first eight keep their places.
void FoldChannels_(std::vector<int16_t>& pcm, int from) {
    const size_t n = pcm.size() / static_cast<size_t>(from);
    for (size_t i = 0; i < n; ++i) {
        const int16_t* in = pcm.data() + i * static_cast<size_t>(from);
        int32_t sum[kMaxChannels];
        for (int c = 0; c < kMaxChannels; ++c) sum[c] = in[c];
        for (int c = kMaxChannels; c < from; ++c) sum[c % kMaxChannels] += in[c];
        int16_t* out = pcm.data() + i * kMaxChannels;  // never ahead of `in`
        for (int c = 0; c < kMaxChannels; ++c)
            out[c] = static_cast<int16_t>(std::clamp<int32_t>(sum[c], INT16_MIN, INT16_MAX));
    }
    pcm.resize(n * kMaxChannels);
}

// Converts the decoded frame to interleaved 16 bits in `m.pcm`, folded down to the delivered
// channels.
bool TakeSound_(QAvMedia& m, const AVFrame& f) {
    const int ch = f.ch_layout.nb_channels;
    if (ch != m.facts.audio.sourceChannels || f.nb_samples <= 0) return false;
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
    if (ch > kMaxChannels) FoldChannels_(m.pcm, ch);
    return true;
}

// Packets decoded ahead of a sound seek for the decoder's state to be whole again.
int64_t Preroll_(const Side_& a) {
    return a.dec->codec_id == AV_CODEC_ID_OPUS ? kOpusPreroll : kAudioPreroll;
}

// Repositions the sound decoder a few packets before the one holding `sample`.
bool SeekSound_(QAvMedia& m, int64_t sample) {
    Side_& a = m.audio;
    if (m.timeline) {
        // From the packet the preroll starts in: its place on the grid of sound frames.
        const int64_t from = ((sample + m.soundSkip) / m.soundFrame - Preroll_(a)) * m.soundFrame;
        if (from > 0) {
            Restart_(a);
            m.pcm.clear();
            if (!a.demux.fmt && !Reopen_(a)) return false;
            const int64_t ts = m.soundFirstTs +
                               av_rescale_q(from, AVRational{1, m.facts.audio.rate}, m.soundTb);
            a.haveHeld = false;
            av_packet_unref(a.held);
            if (avformat_seek_file(a.demux.fmt, a.stream, INT64_MIN, ts, ts, 0) < 0) return false;
            a.next = -1;
            a.live = true;
            m.pcmStart = m.clock = from - m.soundSkip;
            return true;
        }
    }
    const auto it = std::upper_bound(a.packets.begin(), a.packets.end(), sample,
                                     [](int64_t s, const Packet_& p) { return s < p.at; });
    int64_t k = std::max<int64_t>(0, (it - a.packets.begin()) - 1);
    if (!IsPcm_(a.dec->codec_id)) k = std::max<int64_t>(0, k - Preroll_(a));
    Restart_(a);
    m.pcm.clear();
    if (!Position_(a, k)) return false;
    a.live = true;
    m.pcmStart = m.clock = a.packets[k].at;
    return true;
}

// Decode-time stamps of the sound packets become their places in sample frames, so each
// decoded frame says where it belongs whatever the decoder dropped or delayed.
// Past the table of a file that goes by its timeline, a packet's place is its time on the grid
// of sound frames.
void StampSound_(const QAvMedia& m, Side_& a, AVPacket* pkt) {
    const int64_t k = a.next - 1;
    if (k >= 0 && k < static_cast<int64_t>(a.packets.size())) {
        pkt->pts = a.packets[k].at - a.packets[k].skip;
    } else if (m.timeline && pkt->pts != AV_NOPTS_VALUE) {
        const int64_t at = av_rescale_q(pkt->pts - m.soundFirstTs, m.soundTb,
                                        AVRational{1, m.facts.audio.rate});
        pkt->pts = std::llround(double(at) / m.soundFrame) * m.soundFrame - m.soundSkip;
    } else {
        pkt->pts = AV_NOPTS_VALUE;
    }
    pkt->dts = pkt->pts;
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
        StampSound_(m, a, a.packet);
        avcodec_send_packet(a.dec, a.packet);
        av_packet_unref(a.packet);
    }
}

}  // namespace

QAvMedia* AvMediaOpen(const std::string& path, std::string& error, const QAvOpenOptions& options) {
    AvQuietLog();
    try {
        auto m = std::make_unique<QAvMedia>();
        m->last = av_frame_alloc();
        m->pending = av_frame_alloc();
        m->best = av_frame_alloc();
        if (!m->last || !m->pending || !m->best) throw std::bad_alloc();
        Side_& v = m->video;
        // An MP4's own movie box is read while the demuxer parses it: the tables need what the
        // demuxer keeps to itself (composition offsets, edits).
        std::future<std::vector<uint8_t>> movie;
        try {
            movie = std::async(std::launch::async, ReadMovieBox_, path);
        } catch (const std::system_error&) {
            movie = std::async(std::launch::deferred, ReadMovieBox_, path);
        }
        v.plainEdits = m->audio.plainEdits = true;
        if (!DemuxOpen_(path, v.demux, v.plainEdits)) {
            error = "not a readable media file";
            return nullptr;
        }
        AVFormatContext* fmt = v.demux.fmt;
        m->facts.container = fmt->iformat && fmt->iformat->name ? fmt->iformat->name : "";
        m->facts.containerName = fmt->iformat && fmt->iformat->long_name ? fmt->iformat->long_name
                                                                         : m->facts.container;
        m->facts.bitRate = std::max<int64_t>(0, fmt->bit_rate);
        v.stream = BestStream_(fmt, AVMEDIA_TYPE_VIDEO, UsableVideo_);
        m->audio.stream = BestStream_(fmt, AVMEDIA_TYPE_AUDIO, UsableAudio_);
        DiscardOthers_(fmt, v.stream, m->audio.stream);
        v.path = m->audio.path = path;
        if (!Scan_(*m, movie, options)) {
            error = "not a readable media file";
            return nullptr;
        }
        fmt = v.demux.fmt;

        if (v.stream >= 0 && !v.packets.empty()) {
            const AVStream* st = fmt->streams[v.stream];
            if (OpenDecoder_(v, st->codecpar, st->time_base)) {
                QAvVideoFacts& f = m->facts.video;
                f.present = true;
                m->codedWidth = st->codecpar->width;
                m->codedHeight = st->codecpar->height;
                f.rotation = Rotation_(st);
                const bool across = f.rotation == 90 || f.rotation == 270;
                f.width = across ? m->codedHeight : m->codedWidth;
                f.height = across ? m->codedWidth : m->codedHeight;
                f.frames = m->timeline ? m->estimatedFrames : static_cast<int64_t>(v.packets.size());
                f.framesExact = !m->timeline;
                AVRational r = st->avg_frame_rate;
                if (r.num <= 0 || r.den <= 0) r = st->r_frame_rate;
                f.rate = r.num > 0 && r.den > 0 ? av_q2d(r) : 0.0;
                f.codecId = st->codecpar->codec_id;
                f.codecName = LongName_(st->codecpar->codec_id);
                f.fourcc = st->codecpar->codec_tag;
                f.bitRate = std::max<int64_t>(0, st->codecpar->bit_rate);
                f.profile = ProfileName_(st->codecpar);
                f.bitDepth = PictureDepth_(st->codecpar);
                if (!m->timeline) {
                    PlanPictures_(*m);
                    NoteFrameTimes_(*m, st->time_base);
                    f.frames -= m->hiddenPackets;
                    if (f.frames <= 0) f.present = false;  // an edit cuts every picture
                }
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
                f.sourceChannels = st->codecpar->ch_layout.nb_channels;
                f.channels = std::min(f.sourceChannels, kMaxChannels);
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
    // An estimated count may fall short: two seconds past it are tried.
    const int64_t limit = f.framesExact ? f.frames
                                        : f.frames + std::llround(2 * std::max(f.rate, 1.0));
    if (index < 0 || index >= limit) return false;
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
    // An estimated length may fall short: two seconds past it are tried.
    const int64_t total = f.samplesExact ? f.samples : f.samples + 2 * int64_t{f.rate};
    count = std::min(count, std::max<int64_t>(0, total - first));
    if (count == 0) return 0;
    try {
        Side_& a = m.audio;
        if (!CompleteMovieSound_(m)) return -1;
        const int64_t pcmEnd = m.pcmStart + static_cast<int64_t>(m.pcm.size()) / f.channels;
        const bool forward = a.live && first >= m.pcmStart &&
                             first <= std::max(pcmEnd, m.clock) + kAheadSeconds * f.rate;
        if (!forward && !SeekSound_(m, first)) return 0;
        // Enough packets to cover the request from the decoder's position, and the preroll.
        const auto it = std::upper_bound(a.packets.begin(), a.packets.end(), first + count,
                                         [](int64_t s, const Packet_& p) { return s < p.at; });
        a.budget = std::max<int64_t>(0, (it - a.packets.begin()) - std::max<int64_t>(a.next, 0)) +
                   Preroll_(a) + kSlack;
        if (m.timeline)
            a.budget += std::max<int64_t>(0, first + count - std::min(m.clock, first)) / m.soundFrame;
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
            if (!NextSound_(m)) {
                if (m.timeline && a.drained && !f.samplesExact) {  // the end: the length is known
                    m.facts.audio.samples = m.clock;
                    m.facts.audio.samplesExact = true;
                }
                break;
            }
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
