#include "platform/AviFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::TempDir;

// --- Building AVI files by hand ---------------------------------------------------------------

std::string U16(uint32_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string U32(uint32_t v) { return U16(v) + U16(v >> 16); }
std::string U64(uint64_t v) {
    return U32(static_cast<uint32_t>(v)) + U32(static_cast<uint32_t>(v >> 32));
}

// A RIFF file grown chunk by chunk, with sizes filled in when a list ends.
struct Riff {
    std::string out;
    std::vector<size_t> open;
    size_t Begin(const std::string& id, const std::string& type) {
        const size_t at = out.size();
        out += id + U32(0) + type;
        open.push_back(at);
        return at;
    }
    void End() {
        const size_t at = open.back();
        open.pop_back();
        Patch(at + 4, U32(static_cast<uint32_t>(out.size() - at - 8)));
        if (out.size() & 1) out += '\0';
    }
    size_t Chunk(const std::string& id, const std::string& data) {
        const size_t at = out.size();
        out += id + U32(static_cast<uint32_t>(data.size())) + data;
        if (data.size() & 1) out += '\0';
        return at;
    }
    void Patch(size_t at, const std::string& bytes) { out.replace(at, bytes.size(), bytes); }
};

struct Piece {
    int stream;
    std::string kind;  // "dc", "wb", "pc"
    std::string data;
    bool key;
};

enum class Idx1 { None, Relative, Absolute };

struct Layout {
    Idx1 idx1 = Idx1::Relative;
    bool rec = false;   // pieces grouped in pairs into "LIST rec "
    int odmlParts = 0;  // > 0: OpenDML, the pieces split over this many RIFF parts
    std::string videoName = "picture";
};

std::string Avih(uint32_t frames, uint32_t streams) {
    return U32(100000) + U32(12345) + U32(0) + U32(0x10) + U32(frames) + U32(0) + U32(streams) +
           U32(0) + U32(4) + U32(2) + std::string(16, '\0');
}
std::string Strh(const std::string& type, const std::string& handler, uint32_t scale, uint32_t rate,
                 uint32_t length, uint32_t sampleSize) {
    return type + handler + U32(0) + U32(0) + U32(0) + U32(scale) + U32(rate) + U32(0) + U32(length) +
           U32(0) + U32(0xFFFFFFFF) + U32(sampleSize) + U16(0) + U16(0) + U16(4) + U16(2);
}
// An 8-bit 4x2 picture format with a 256-colour grey table.
std::string VideoFormat() {
    std::string f = U32(40) + U32(4) + U32(2) + U16(1) + U16(8) + U32(0) + U32(8) + U32(0) +
                    U32(0) + U32(256) + U32(0);
    for (int i = 0; i < 256; ++i) f += std::string{char(i), char(i), char(i), 0};
    return f;
}
// 16-bit stereo PCM at 8000 Hz: 4-byte blocks.
std::string AudioFormat() {
    return U16(1) + U16(2) + U32(8000) + U32(32000) + U16(4) + U16(16) + U16(0);
}

// Two streams: video 0 (12 frames, a key frame every third, one empty, a palette change before
// frame 4) and PCM audio 1 in chunks of uneven length.
std::vector<Piece> SamplePieces() {
    std::vector<Piece> p;
    uint8_t next = 0;
    for (int i = 0; i < 12; ++i) {
        if (i == 4)
            p.push_back(
                {0, "pc",
                 std::string("\x05\x02\0\0", 4) + std::string("\x10\x20\x30\0\x40\x50\x60\0", 8),
                 false});
        std::string frame = i == 7 ? std::string()
                                   : "frame" + std::to_string(i) + std::string(i, 'x');
        p.push_back({0, "dc", frame, i % 3 == 0});
        std::string audio(static_cast<size_t>(4 * (3 + (i * 5) % 7)), '\0');
        for (char& c : audio) c = static_cast<char>(next++);
        p.push_back({1, "wb", audio, true});
    }
    return p;
}

std::string Id(int stream, const std::string& kind) {
    return std::string{char('0' + stream / 10), char('0' + stream % 10)} + kind;
}

// The standard index of one stream's pieces in one part (offsets of their data from `base`).
std::string StandardIndex(int stream, const std::vector<std::pair<size_t, const Piece*>>& at,
                          uint64_t base) {
    std::string s = U16(2) + std::string(1, '\0') + std::string(1, '\1');
    std::string entries;
    uint32_t n = 0;
    for (const auto& [offset, piece] : at) {
        if (piece->stream != stream || piece->kind == "pc") continue;
        const uint32_t size = static_cast<uint32_t>(piece->data.size()) |
                              (piece->key ? 0 : 0x80000000u);
        entries += U32(static_cast<uint32_t>(offset + 8 - base)) + U32(size);
        ++n;
    }
    return s + U32(n) + Id(stream, stream == 0 ? "dc" : "wb") + U64(base) + U32(0) + entries;
}

std::string BuildAvi(const std::vector<Piece>& pieces, const Layout& lay) {
    Riff r;
    r.Begin("RIFF", "AVI ");
    r.Begin("LIST", "hdrl");
    r.Chunk("avih", Avih(12, 2));
    size_t indx[2] = {0, 0};
    const int parts = std::max(lay.odmlParts, 1);
    const std::string super(24 + 16 * parts, '\0');
    for (int s = 0; s < 2; ++s) {
        r.Begin("LIST", "strl");
        r.Chunk("strh", s == 0 ? Strh("vids", "TEST", 1, 10, 12, 0)
                               : Strh("auds", std::string(4, '\0'), 1, 8000, 0, 4));
        r.Chunk("strf", s == 0 ? VideoFormat() : AudioFormat());
        if (s == 0) r.Chunk("strn", lay.videoName + std::string(1, '\0'));
        if (lay.odmlParts > 0) indx[s] = r.Chunk("indx", super);
        r.End();
    }
    r.End();
    std::vector<std::pair<size_t, const Piece*>> at;  // chunk offsets of the pieces
    size_t movi = 0;
    size_t perPart = (pieces.size() + parts - 1) / parts;
    std::vector<std::string> superEntries[2];
    for (int part = 0; part < parts; ++part) {
        if (part > 0) r.Begin("RIFF", "AVIX");
        const size_t list = r.Begin("LIST", "movi");
        if (part == 0) movi = list;
        std::vector<std::pair<size_t, const Piece*>> here;
        const size_t end = std::min(pieces.size(), (part + 1) * perPart);
        for (size_t i = part * perPart; i < end; ++i) {
            const bool group = lay.rec && (i % 2 == 0) && i + 1 < end;
            if (group) r.Begin("LIST", "rec ");
            for (size_t k = i; k <= (group ? i + 1 : i); ++k)
                here.emplace_back(r.Chunk(Id(pieces[k].stream, pieces[k].kind), pieces[k].data),
                                  &pieces[k]);
            if (group) {
                r.End();
                ++i;
            }
        }
        if (lay.odmlParts > 0) {
            for (int s = 0; s < 2; ++s) {
                const std::string ix = StandardIndex(s, here, list);
                const size_t pos = r.Chunk("ix" + Id(s, "").substr(0, 2), ix);
                superEntries[s].push_back(U64(pos) + U32(static_cast<uint32_t>(ix.size() + 8)) +
                                          U32(0));
            }
        }
        at.insert(at.end(), here.begin(), here.end());
        r.End();
        if (part == 0 && lay.idx1 != Idx1::None) {
            std::string idx;
            for (const auto& [offset, piece] : at) {
                const uint32_t flags = piece->key ? AVIIF_KEYFRAME : 0;
                const size_t rel = lay.idx1 == Idx1::Relative ? offset - (movi + 8) : offset;
                idx += Id(piece->stream, piece->kind) + U32(flags) + U32(static_cast<uint32_t>(rel)) +
                       U32(static_cast<uint32_t>(piece->data.size()));
            }
            r.Chunk("idx1", idx);
        }
        r.End();  // RIFF
    }
    if (lay.odmlParts > 0) {
        for (int s = 0; s < 2; ++s) {
            std::string sup = U16(4) + std::string(1, '\0') + std::string(1, '\0') + U32(parts) +
                              Id(s, s == 0 ? "dc" : "wb") + std::string(12, '\0');
            for (const std::string& e : superEntries[s]) sup += e;
            r.Patch(indx[s] + 8, sup);
        }
    }
    return r.out;
}

// --- Reading everything back ------------------------------------------------------------------

struct Frame {
    std::string data;
    bool key;
};

// Every sample of a chunked stream, or nothing when a read fails.
std::vector<Frame> ReadFrames(PAVISTREAM s, int32_t* failure = nullptr) {
    std::vector<Frame> out;
    const int32_t start = AVIStreamStart(s), length = AVIStreamLength(s);
    for (int32_t i = start; i < start + length; ++i) {
        int32_t size = -1;
        int32_t rc = AVIStreamSampleSize(s, i, &size);
        std::string buf(static_cast<size_t>(std::max(size, 0)), '\0');
        int32_t bytes = -1, samples = -1;
        if (rc == AVIERR_OK)
            rc = AVIStreamRead(s, i, 1, buf.data(), static_cast<int32_t>(buf.size()), &bytes,
                               &samples);
        if (rc != AVIERR_OK) {
            if (failure) *failure = rc;
            return {};
        }
        EXPECT_EQ(bytes, size);
        EXPECT_EQ(samples, 1);
        out.push_back({buf, AVIStreamIsKeyFrame(s, i)});
    }
    return out;
}

// A whole stream read in convenient pieces.
std::string ReadAllConvenient(PAVISTREAM s, int32_t bufferBytes, int32_t* failure = nullptr) {
    std::string all, buf(static_cast<size_t>(bufferBytes), '\0');
    int32_t pos = AVIStreamStart(s);
    const int32_t end = pos + AVIStreamLength(s);
    while (pos < end) {
        int32_t bytes = 0, samples = 0;
        const int32_t rc = AVIStreamRead(s, pos, AVISTREAMREAD_CONVENIENT, buf.data(), bufferBytes,
                                         &bytes, &samples);
        if (rc != AVIERR_OK || samples <= 0) {
            if (failure) *failure = rc != AVIERR_OK ? rc : -1;
            break;
        }
        all.append(buf, 0, static_cast<size_t>(bytes));
        pos += samples;
    }
    return all;
}

struct OpenAvi {
    PAVIFILE file = nullptr;
    PAVISTREAM video = nullptr, audio = nullptr;
    int32_t rc = -1;
    explicit OpenAvi(const std::string& path) {
        rc = AVIFileOpen(&file, path, OF_READ, nullptr);
        if (rc != AVIERR_OK) return;
        AVIFileGetStream(file, &video, streamtypeVIDEO, 0);
        AVIFileGetStream(file, &audio, streamtypeAUDIO, 0);
    }
    ~OpenAvi() {
        AVIStreamRelease(video);
        AVIStreamRelease(audio);
        AVIFileRelease(file);
    }
};

std::vector<Frame> ExpectedFrames(const std::vector<Piece>& pieces, int stream) {
    std::vector<Frame> out;
    for (const Piece& p : pieces)
        if (p.stream == stream && p.kind != "pc") out.push_back({p.data, p.key});
    return out;
}
std::string ExpectedBytes(const std::vector<Piece>& pieces, int stream) {
    std::string out;
    for (const Piece& p : pieces)
        if (p.stream == stream) out += p.data;
    return out;
}

void ExpectSameFrames(const std::vector<Frame>& got, const std::vector<Frame>& want, bool keys) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].data, want[i].data) << "frame " << i;
        if (keys) {
            EXPECT_EQ(got[i].key, want[i].key) << "frame " << i;
        }
    }
}

class AviFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir.file(name);
        test::WriteFileBytes(path, bytes);
        return path;
    }
    TempDir dir;
};

// --- Hand-built files: every way of finding the chunks ----------------------------------------

TEST_F(AviFileTest, EveryIndexKindGivesTheSameSamples) {
    const std::vector<Piece> pieces = SamplePieces();
    struct Case {
        const char* name;
        Layout lay;
        bool keys;  // a walk knows no key frames
    } cases[] = {
        {"relative idx1", {Idx1::Relative, false, 0}, true},
        {"absolute idx1", {Idx1::Absolute, false, 0}, true},
        {"rec lists with idx1", {Idx1::Relative, true, 0}, true},
        {"walk", {Idx1::None, false, 0}, false},
        {"walk of rec lists", {Idx1::None, true, 0}, false},
        {"OpenDML, one part", {Idx1::None, false, 1}, true},
        {"OpenDML, three parts", {Idx1::None, false, 3}, true},
        {"OpenDML with idx1 over the first part", {Idx1::Relative, false, 3}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenAvi a(Write("a.avi", BuildAvi(pieces, c.lay)));
        ASSERT_EQ(a.rc, AVIERR_OK);
        ASSERT_NE(a.video, nullptr);
        ASSERT_NE(a.audio, nullptr);
        ExpectSameFrames(ReadFrames(a.video), ExpectedFrames(pieces, 0), c.keys);
        EXPECT_EQ(ReadAllConvenient(a.audio, 4096), ExpectedBytes(pieces, 1));
        AVISTREAMINFO vi{};
        ASSERT_EQ(AVIStreamInfo(a.video, &vi, sizeof vi), AVIERR_OK);
        // The standard indexes built here name no palette changes.
        EXPECT_EQ(vi.dwFormatChangeCount, c.lay.odmlParts > 0 ? 0u : 1u);
        EXPECT_STREQ(vi.szName, "picture");
    }
}

TEST_F(AviFileTest, HeadersAndStreamsAsStored) {
    const std::vector<Piece> pieces = SamplePieces();
    OpenAvi a(Write("a.avi", BuildAvi(pieces, {})));
    ASSERT_EQ(a.rc, AVIERR_OK);
    AVIFILEINFO fi{};
    ASSERT_EQ(AVIFileInfo(a.file, &fi, sizeof fi), AVIERR_OK);
    EXPECT_EQ(fi.dwStreams, 2u);
    EXPECT_EQ(fi.dwMaxBytesPerSec, 12345u);
    EXPECT_EQ(fi.dwFlags, AVIF_HASINDEX);
    EXPECT_EQ(fi.dwWidth, 4u);
    EXPECT_EQ(fi.dwHeight, 2u);
    EXPECT_EQ(fi.dwScale, 1u);
    EXPECT_EQ(fi.dwRate, 10u);
    EXPECT_EQ(fi.dwLength, 12u);
    EXPECT_EQ(fi.dwCaps & AVIFILECAPS_ALLKEYFRAMES, 0u);
    size_t largest = 0;
    for (const Piece& p : pieces) largest = std::max(largest, p.data.size());
    EXPECT_EQ(fi.dwSuggestedBufferSize, largest);

    AVISTREAMINFO vi{}, ai{};
    ASSERT_EQ(AVIStreamInfo(a.video, &vi, sizeof vi), AVIERR_OK);
    EXPECT_EQ(vi.fccHandler, MmioFourCC('T', 'E', 'S', 'T'));
    EXPECT_EQ(vi.dwLength, 12u);
    EXPECT_EQ(vi.rcFrame.right, 4);
    EXPECT_EQ(vi.rcFrame.bottom, 2);
    ASSERT_EQ(AVIStreamInfo(a.audio, &ai, sizeof ai), AVIERR_OK);
    EXPECT_EQ(ai.dwSampleSize, 4u);
    EXPECT_EQ(static_cast<size_t>(AVIStreamLength(a.audio)), ExpectedBytes(pieces, 1).size() / 4);

    // The format as stored; a short buffer takes its head and learns the whole size.
    int32_t size = 0;
    ASSERT_EQ(AVIStreamReadFormat(a.audio, 0, nullptr, &size), AVIERR_OK);
    EXPECT_EQ(size, 18);
    std::string fmt(18, '\0');
    ASSERT_EQ(AVIStreamReadFormat(a.audio, 0, fmt.data(), &size), AVIERR_OK);
    EXPECT_EQ(fmt, AudioFormat());
    std::string head(6, '\0');
    size = 6;
    ASSERT_EQ(AVIStreamReadFormat(a.audio, 0, head.data(), &size), AVIERR_OK);
    EXPECT_EQ(size, 18);
    EXPECT_EQ(head, AudioFormat().substr(0, 6));

    // The n-th stream of a type, and of any type.
    PAVISTREAM s = nullptr;
    EXPECT_EQ(AVIFileGetStream(a.file, &s, streamtypeVIDEO, 1), AVIERR_NODATA);
    EXPECT_EQ(s, nullptr);
    ASSERT_EQ(AVIFileGetStream(a.file, &s, 0, 1), AVIERR_OK);
    AVISTREAMINFO si{};
    AVIStreamInfo(s, &si, sizeof si);
    EXPECT_EQ(si.fccType, streamtypeAUDIO);
    AVIStreamRelease(s);
}

TEST_F(AviFileTest, PaletteChangesApplyFromTheirFrame) {
    OpenAvi a(Write("a.avi", BuildAvi(SamplePieces(), {})));
    ASSERT_EQ(a.rc, AVIERR_OK);
    EXPECT_EQ(AVIStreamFindSample(a.video, 0, FIND_NEXT | FIND_FORMAT), 4);
    EXPECT_EQ(AVIStreamFindSample(a.video, 3, FIND_PREV | FIND_FORMAT), -1);
    std::string before(1064, '\0'), after(1064, '\0');
    int32_t size = 1064;
    ASSERT_EQ(AVIStreamReadFormat(a.video, 3, before.data(), &size), AVIERR_OK);
    EXPECT_EQ(before, VideoFormat());
    ASSERT_EQ(AVIStreamReadFormat(a.video, 4, after.data(), &size), AVIERR_OK);
    std::string want = VideoFormat();
    want.replace(40 + 5 * 4, 8, std::string("\x30\x20\x10\0\x60\x50\x40\0", 8));
    EXPECT_EQ(after, want);
}

TEST_F(AviFileTest, KeyFrameSearch) {
    OpenAvi a(Write("a.avi", BuildAvi(SamplePieces(), {})));
    ASSERT_EQ(a.rc, AVIERR_OK);
    // Key frames 0, 3, 6, 9 of 12.
    EXPECT_EQ(AVIStreamFindSample(a.video, 5, FIND_KEY | FIND_PREV), 3);
    EXPECT_EQ(AVIStreamFindSample(a.video, 6, FIND_KEY | FIND_PREV), 6);
    EXPECT_EQ(AVIStreamFindSample(a.video, 5, FIND_KEY | FIND_NEXT), 6);
    EXPECT_EQ(AVIStreamFindSample(a.video, 10, FIND_KEY | FIND_NEXT), -1);
    EXPECT_EQ(AVIStreamFindSample(a.video, 100, FIND_KEY | FIND_PREV), 9);
    EXPECT_EQ(AVIStreamFindSample(a.video, -5, FIND_KEY | FIND_NEXT), 0);
    EXPECT_EQ(AVIStreamFindSample(a.video, -1, FIND_KEY | FIND_PREV), -1);
    EXPECT_EQ(AVIStreamFindSample(a.video, 7, FIND_ANY | FIND_NEXT), 8);  // 7 is empty
    EXPECT_EQ(AVIStreamFindSample(a.video, 7, FIND_ANY | FIND_PREV), 6);
    EXPECT_EQ(AVIStreamFindSample(a.video, 4, FIND_KEY | FIND_PREV | FIND_SIZE), 9);  // "frame3xxx"
    EXPECT_EQ(AVIStreamFindSample(a.video, 4, FIND_KEY | FIND_FROM_START), 0);
    EXPECT_EQ(AVIStreamNextKeyFrame(a.video, 3), 6);
    EXPECT_EQ(AVIStreamPrevKeyFrame(a.video, 3), 0);
    EXPECT_TRUE(AVIStreamIsKeyFrame(a.video, 9));
    EXPECT_FALSE(AVIStreamIsKeyFrame(a.video, 10));
    EXPECT_FALSE(AVIStreamIsKeyFrame(a.video, 12));
    // Every block of sound stands on its own.
    EXPECT_EQ(AVIStreamFindSample(a.audio, 17, FIND_KEY | FIND_PREV), 17);
}

TEST_F(AviFileTest, BlockReadsCrossChunks) {
    const std::vector<Piece> pieces = SamplePieces();
    OpenAvi a(Write("a.avi", BuildAvi(pieces, {})));
    ASSERT_EQ(a.rc, AVIERR_OK);
    const std::string all = ExpectedBytes(pieces, 1);  // chunks of 12, 32, 24, 16, 36 ... bytes
    std::string buf(400, '\0');
    int32_t bytes = 0, samples = 0;
    // 20 blocks from block 2: across the first three chunks.
    ASSERT_EQ(AVIStreamRead(a.audio, 2, 20, buf.data(), 400, &bytes, &samples), AVIERR_OK);
    EXPECT_EQ(samples, 20);
    EXPECT_EQ(bytes, 80);
    EXPECT_EQ(buf.substr(0, 80), all.substr(8, 80));
    // Convenient: the rest of the chunk the position falls in.
    ASSERT_EQ(AVIStreamRead(a.audio, 4, AVISTREAMREAD_CONVENIENT, buf.data(), 400, &bytes, &samples),
              AVIERR_OK);
    EXPECT_EQ(samples, 7);  // blocks 4..10 of the 32-byte chunk at blocks 3..10
    EXPECT_EQ(buf.substr(0, 28), all.substr(16, 28));
    // Cut to what the buffer holds; too small for one block.
    ASSERT_EQ(AVIStreamRead(a.audio, 0, 50, buf.data(), 10, &bytes, &samples), AVIERR_OK);
    EXPECT_EQ(samples, 2);
    EXPECT_EQ(bytes, 8);
    EXPECT_EQ(AVIStreamRead(a.audio, 0, 1, buf.data(), 3, &bytes, &samples), AVIERR_BUFFERTOOSMALL);
    // Sizes only; the end of the stream.
    const int32_t len = AVIStreamLength(a.audio);
    ASSERT_EQ(AVIStreamRead(a.audio, len - 3, 50, nullptr, 0, &bytes, &samples), AVIERR_OK);
    EXPECT_EQ(samples, 3);
    EXPECT_EQ(bytes, 12);
    EXPECT_EQ(AVIStreamRead(a.audio, len, 1, buf.data(), 400, &bytes, &samples), AVIERR_NODATA);
    EXPECT_EQ(AVIStreamRead(a.audio, -1, 1, buf.data(), 400, &bytes, &samples), AVIERR_NODATA);
    // A video frame that does not fit.
    EXPECT_EQ(AVIStreamRead(a.video, 3, 1, buf.data(), 4, &bytes, &samples), AVIERR_BUFFERTOOSMALL);
    EXPECT_EQ(AVIStreamRead(a.video, 3, 1, nullptr, 0, &bytes, &samples), AVIERR_OK);
    EXPECT_EQ(bytes, 9);
}

TEST_F(AviFileTest, StreamsKeepTheFileOpen) {
    OpenAvi a(Write("a.avi", BuildAvi(SamplePieces(), {})));
    ASSERT_EQ(a.rc, AVIERR_OK);
    PAVISTREAM v = a.video;
    a.video = nullptr;
    EXPECT_EQ(AVIFileRelease(a.file), 2u);  // the two streams hold it
    a.file = nullptr;
    EXPECT_EQ(ReadFrames(v).size(), 12u);
    EXPECT_EQ(AVIStreamAddRef(v), 2u);
    EXPECT_EQ(AVIStreamRelease(v), 1u);
    EXPECT_EQ(AVIStreamRelease(v), 0u);
}

TEST_F(AviFileTest, OpenFailures) {
    PAVIFILE f = reinterpret_cast<PAVIFILE>(1);
    EXPECT_EQ(AVIFileOpen(&f, dir.file("missing.avi"), OF_READ, nullptr), AVIERR_FILEOPEN);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(AVIFileOpen(&f, dir.path(), OF_READ, nullptr), AVIERR_FILEOPEN);
    EXPECT_EQ(AVIFileOpen(&f, Write("w.avi", "RIFF\4\0\0\0WAVE"), OF_READ, nullptr),
              AVIERR_BADFORMAT);
    EXPECT_EQ(AVIFileOpen(&f, Write("e.avi", ""), OF_READ, nullptr), AVIERR_BADFORMAT);
    const std::string path = Write("a.avi", BuildAvi(SamplePieces(), {}));
    EXPECT_EQ(AVIFileOpen(&f, path, OF_WRITE, nullptr), AVIERR_READONLY);
    const CLSID avi = {0x00020000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    ASSERT_EQ(AVIFileOpen(&f, path, OF_READ | OF_SHARE_DENY_WRITE, &avi), AVIERR_OK);
    EXPECT_EQ(AVIFileRelease(f), 0u);
    // A format longer than its list.
    std::string bad = BuildAvi(SamplePieces(), {});
    const size_t strf = bad.find("strf");
    bad.replace(strf + 4, 4, U32(5000));
    EXPECT_EQ(AVIFileOpen(&f, Write("b.avi", bad), OF_READ, nullptr), AVIERR_BADFORMAT);
}

// --- Hostile files ----------------------------------------------------------------------------

// Writes a fresh file: rewriting a truncated one would make the file system flush at each close.
void Rewrite(const std::string& path, const std::string& bytes) {
    ::unlink(path.c_str());
    test::WriteFileBytes(path, bytes);
}

// Opens and reads all of a file; whatever it holds, this must end cleanly.
void Exercise(const std::string& path) {
    PAVIFILE f = nullptr;
    if (AVIFileOpen(&f, path, OF_READ, nullptr) != AVIERR_OK) {
        EXPECT_EQ(f, nullptr);
        return;
    }
    AVIFILEINFO fi{};
    AVIFileInfo(f, &fi, sizeof fi);
    for (int i = 0;; ++i) {
        PAVISTREAM s = nullptr;
        if (AVIFileGetStream(f, &s, 0, i) != AVIERR_OK) break;
        AVISTREAMINFO si{};
        AVIStreamInfo(s, &si, sizeof si);
        int32_t size = 0;
        AVIStreamReadFormat(s, 0, nullptr, &size);
        std::string fmt(static_cast<size_t>(size), '\0');
        AVIStreamReadFormat(s, 1000, fmt.data(), &size);
        if (si.dwSampleSize == 0)
            ReadFrames(s);
        else
            ReadAllConvenient(s, 64);
        AVIStreamFindSample(s, 3, FIND_KEY | FIND_PREV);
        AVIStreamFindSample(s, 3, FIND_ANY | FIND_NEXT | FIND_OFFSET);
        AVIStreamRelease(s);
    }
    AVIFileRelease(f);
}

TEST_F(AviFileTest, TruncatedFilesOpenWithFewerSamplesOrFail) {
    for (const Layout& lay : {Layout{Idx1::Relative, false, 0}, Layout{Idx1::None, true, 3}}) {
        const std::string whole = BuildAvi(SamplePieces(), lay);
        const std::string path = dir.file("t.avi");
        for (size_t n = 0; n < whole.size(); n += 7) {
            Rewrite(path, whole.substr(0, n));
            SCOPED_TRACE(n);
            Exercise(path);
        }
    }
    // Cut in the middle of movi: the walk finds the frames before the cut.
    const std::vector<Piece> pieces = SamplePieces();
    const std::string whole = BuildAvi(pieces, {Idx1::None, false, 0});
    const size_t cut = whole.find("frame5") - 8;
    OpenAvi a(Write("c.avi", whole.substr(0, cut + 11)));
    ASSERT_EQ(a.rc, AVIERR_OK);
    EXPECT_EQ(AVIStreamLength(a.video), 5);
}

TEST_F(AviFileTest, FlippedBytesNeverBreakTheReader) {
    for (const Layout& lay : {Layout{Idx1::Relative, true, 0}, Layout{Idx1::None, false, 2}}) {
        const std::string whole = BuildAvi(SamplePieces(), lay);
        const std::string path = dir.file("f.avi");
        uint32_t seed = 12345;
        for (size_t i = 0; i < whole.size(); ++i) {
            std::string bad = whole;
            seed = seed * 1103515245u + 12345u;
            const char values[] = {'\xFF', '\0', '\x7F', static_cast<char>(seed >> 16)};
            bad[i] = values[i % 4];
            Rewrite(path, bad);
            SCOPED_TRACE(i);
            Exercise(path);
        }
    }
}

TEST_F(AviFileTest, IndexEntriesOutsideTheFileOrTheirChunk) {
    const std::vector<Piece> pieces = SamplePieces();
    std::string file = BuildAvi(pieces, {});
    const size_t idx = file.find("idx1") + 8;
    // Entry 0 (frame 0) points far past the end: dropped.
    file.replace(idx + 8, 4, U32(0x7FFFFFF0));
    // Entry 2 (frame 1) claims more bytes than its chunk: its read fails.
    file.replace(idx + 2 * 16 + 12, 4, U32(500));
    // Entry 4 (frame 2) points at the sound chunk before it: its read fails.
    file.replace(idx + 4 * 16 + 8, 4, file.substr(idx + 3 * 16 + 8, 4));
    OpenAvi a(Write("x.avi", file));
    ASSERT_EQ(a.rc, AVIERR_OK);
    EXPECT_EQ(AVIStreamLength(a.video), 11);
    std::string buf(1000, '\0');
    int32_t bytes = 0;
    ASSERT_EQ(AVIStreamRead(a.video, 0, 1, buf.data(), 1000, &bytes, nullptr), AVIERR_FILEREAD);
    EXPECT_EQ(AVIStreamRead(a.video, 1, 1, buf.data(), 1000, &bytes, nullptr), AVIERR_FILEREAD);
    ASSERT_EQ(AVIStreamRead(a.video, 2, 1, buf.data(), 1000, &bytes, nullptr), AVIERR_OK);
    EXPECT_EQ(buf.substr(0, static_cast<size_t>(bytes)), pieces[6].data);  // frame 3
}

// --- Large OpenDML files -----------------------------------------------------------------------

// A sparse OpenDML file of `parts` RIFF parts of `perPart` frames of `frameBytes` each (only the
// chunk headers and the first 8 bytes of each frame are written). Frame n starts with n.
void WriteSparseOdml(const std::string& path, int parts, int perPart, uint32_t frameBytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    auto put = [&](int64_t at, const std::string& b) {
        ASSERT_EQ(::pwrite(fd, b.data(), b.size(), at), static_cast<ssize_t>(b.size()));
    };
    Riff h;
    h.Begin("RIFF", "AVI ");
    h.Begin("LIST", "hdrl");
    h.Chunk("avih", Avih(static_cast<uint32_t>(perPart), 1));
    h.Begin("LIST", "strl");
    h.Chunk("strh", Strh("vids", "TEST", 1, 25, static_cast<uint32_t>(parts * perPart), 0));
    h.Chunk("strf", VideoFormat());
    const size_t indx = h.Chunk("indx", std::string(24 + 16 * parts, '\0'));
    h.End();
    h.Begin("LIST", "odml");
    h.Chunk("dmlh", U32(static_cast<uint32_t>(parts * perPart)) + std::string(244, '\0'));
    h.End();
    h.End();
    int64_t pos = static_cast<int64_t>(h.out.size());
    std::string super = U16(4) + std::string(2, '\0') + U32(parts) + "00dc" + std::string(12, '\0');
    int frame = 0;
    for (int part = 0; part < parts; ++part) {
        const int64_t riff = part == 0 ? 0 : pos;
        if (part > 0) pos += 12;
        const int64_t movi = pos;
        pos += 12;
        std::string ix = U16(2) + std::string(1, '\0') + std::string(1, '\1') + U32(perPart) +
                         "00dc" + U64(static_cast<uint64_t>(movi)) + U32(0);
        for (int i = 0; i < perPart; ++i, ++frame) {
            put(pos, "00dc" + U32(frameBytes) + U64(static_cast<uint64_t>(frame)));
            ix += U32(static_cast<uint32_t>(pos + 8 - movi)) +
                  U32(frameBytes | (frame % 10 ? 0x80000000u : 0));
            pos += 8 + frameBytes;
        }
        put(pos, "ix00" + U32(static_cast<uint32_t>(ix.size())) + ix);
        super += U64(static_cast<uint64_t>(pos)) + U32(static_cast<uint32_t>(ix.size() + 8)) +
                 U32(perPart);
        pos += 8 + static_cast<int64_t>(ix.size());
        put(movi, "LIST" + U32(static_cast<uint32_t>(pos - movi - 8)) + "movi");
        if (part == 0) {
            h.Patch(4, U32(static_cast<uint32_t>(pos - 8)));
        } else {
            put(riff, "RIFF" + U32(static_cast<uint32_t>(pos - riff - 8)) + "AVIX");
        }
    }
    h.Patch(indx + 8, super);
    put(0, h.out);
    ::close(fd);
}

TEST_F(AviFileTest, OpenDmlPastFourGigabytes) {
    const std::string path = dir.file("big.avi");
    const uint32_t frameBytes = 1u << 20;
    WriteSparseOdml(path, 5, 1100, frameBytes);  // about 5.4 GiB, mostly holes
    OpenAvi a(path);
    ASSERT_EQ(a.rc, AVIERR_OK);
    ASSERT_EQ(AVIStreamLength(a.video), 5500);
    AVIFILEINFO fi{};
    AVIFileInfo(a.file, &fi, sizeof fi);
    EXPECT_EQ(fi.dwLength, 5500u);
    EXPECT_EQ(fi.dwSuggestedBufferSize, frameBytes);
    std::vector<char> buf(frameBytes);
    for (int32_t i : {0, 1, 1099, 1100, 4321, 5499}) {
        int32_t bytes = 0;
        ASSERT_EQ(AVIStreamRead(a.video, i, 1, buf.data(), static_cast<int32_t>(buf.size()), &bytes,
                                nullptr),
                  AVIERR_OK);
        EXPECT_EQ(bytes, static_cast<int32_t>(frameBytes));
        uint64_t n = 0;
        std::memcpy(&n, buf.data(), 8);
        EXPECT_EQ(n, static_cast<uint64_t>(i));
    }
    EXPECT_EQ(AVIStreamFindSample(a.video, 4325, FIND_KEY | FIND_PREV), 4320);
    EXPECT_FALSE(AVIStreamIsKeyFrame(a.video, 4321));
}

// --- Files that ffmpeg writes, checked against its own demuxer ---------------------------------

struct Packets {
    std::vector<Frame> video;
    std::vector<std::string> audio;
};

Packets Demux(const std::string& path) {
    Packets out;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return out;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const std::string data(reinterpret_cast<const char*>(pkt->data),
                               static_cast<size_t>(pkt->size));
        if (ctx->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            out.video.push_back({data, (pkt->flags & AV_PKT_FLAG_KEY) != 0});
        else
            out.audio.push_back(data);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
    return out;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& p : parts) all += p;
    return all;
}

// The samples of `path` against ffmpeg's packets of the file it was cut from.
void ExpectSamePackets(const std::string& path, const Packets& want, uint32_t sampleSize, bool keys) {
    OpenAvi a(path);
    ASSERT_EQ(a.rc, AVIERR_OK);
    // ffmpeg writes an empty chunk for a frame its encoder held back; its demuxer skips it.
    std::vector<Frame> frames = ReadFrames(a.video);
    std::erase_if(frames, [](const Frame& f) { return f.data.empty(); });
    ExpectSameFrames(frames, want.video, keys);
    AVISTREAMINFO ai{};
    ASSERT_EQ(AVIStreamInfo(a.audio, &ai, sizeof ai), AVIERR_OK);
    EXPECT_EQ(ai.dwSampleSize, sampleSize);
    if (sampleSize == 0) {
        const std::vector<Frame> got = ReadFrames(a.audio);
        ASSERT_EQ(got.size(), want.audio.size());
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].data, want.audio[i]);
    } else {
        EXPECT_EQ(ReadAllConvenient(a.audio, 1 << 16), Joined(want.audio));
    }
}

TEST_F(AviFileTest, FfmpegFilesMatchItsDemuxerWithAndWithoutIdx1) {
    if (!test::HaveTools({"ffmpeg"})) GTEST_SKIP() << "ffmpeg is not installed";
    struct Case {
        const char* name;
        const char* codecs;
        uint32_t sampleSize;  // of the sound stream
    } cases[] = {
        {"raw.avi", "-c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le", 2},
        {"mjpeg.avi", "-c:v mjpeg -c:a adpcm_ima_wav", 1024},
        {"mpeg4.avi", "-c:v mpeg4 -g 5 -c:a libmp3lame -q:a 4", 0},
        {"video1.avi", "-c:v msvideo1 -c:a pcm_u8 -ac 1", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        ASSERT_TRUE(test::RunQuiet(
            std::string(
                "ffmpeg -nostdin -y -f lavfi -i testsrc=size=64x48:rate=10:duration=2 -f lavfi "
                "-i sine=frequency=440:duration=2 ") +
            c.codecs + " " + path));
        const Packets want = Demux(path);
        ASSERT_FALSE(want.video.empty());
        ExpectSamePackets(path, want, c.sampleSize, true);
        // The same file ending where its index began: found by a walk, without key frames.
        std::string bytes = test::ReadFileBytes(path);
        const size_t idx1 = bytes.rfind("idx1");
        ASSERT_NE(idx1, std::string::npos);
        bytes.resize(idx1);
        ExpectSamePackets(Write("walk.avi", bytes), want, c.sampleSize, false);
    }
}

}  // namespace
}  // namespace kelvora
