// Conversion streams over libavcodec: formats suggested and refused, sizes predicted, and sound
// converted in awkward pieces against ffmpeg's own decode of files that sox and ffmpeg wrote.

#include "platform/AcmStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sound/SndBasic.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::TempDir;

namespace {

// The "fmt " bytes (at least 18, zero-padded) and the "data" bytes of a simple WAV file.
struct WavParts {
    std::vector<uint8_t> fmt;
    std::string data;
    const QWaveFmt* format() const { return reinterpret_cast<const QWaveFmt*>(fmt.data()); }
};

uint32_t Le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
                                 static_cast<uint8_t>(s[at + 2]) << 16 |
                                 static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
}

WavParts SplitWav(const std::string& path) {
    const std::string file = test::ReadFileBytes(path);
    WavParts parts;
    for (size_t at = 12; at + 8 <= file.size();) {
        const std::string id = file.substr(at, 4);
        const size_t size = std::min<size_t>(Le32(file, at + 4), file.size() - at - 8);
        if (id == "fmt ") {
            parts.fmt.assign(file.begin() + at + 8, file.begin() + at + 8 + size);
            parts.fmt.resize(std::max<size_t>(parts.fmt.size(), 18) + 64, 0);
        } else if (id == "data") {
            parts.data = file.substr(at + 8, size);
        }
        at += 8 + size + (size & 1);
    }
    return parts;
}

struct Converted {
    std::vector<int16_t> samples;
    uint32_t predicted = 0;  // acmStreamSize for the whole data
    size_t beforeEnd = 0;    // samples out before the end call
};

// Converts the data in pieces of `piece` bytes into a destination of `capacity` bytes per call,
// then drains the stream with an end call.
Converted Convert(const WavParts& w, size_t piece, uint32_t capacity) {
    Converted c;
    QWaveFmt pcm{};
    pcm.formatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(
        acmFormatSuggest(nullptr, w.format(), &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG), 0);
    HACMSTREAM s = nullptr;
    EXPECT_EQ(
        acmStreamOpen(&s, nullptr, w.format(), &pcm, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0);
    if (!s) return c;
    EXPECT_EQ(
        acmStreamSize(s, static_cast<uint32_t>(w.data.size()), &c.predicted, ACM_STREAMSIZEF_SOURCE),
        0);
    std::vector<uint8_t> out(capacity);
    uint32_t flags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
    auto pass = [&](const char* src, size_t n) {
        ACMSTREAMHEADER h{};
        h.cbStruct = sizeof h;
        h.pbSrc = reinterpret_cast<const uint8_t*>(src);
        h.cbSrcLength = static_cast<uint32_t>(n);
        h.pbDst = out.data();
        h.cbDstLength = capacity;
        EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), 0);
        EXPECT_EQ(acmStreamConvert(s, &h, flags), 0);
        EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), 0);
        EXPECT_EQ(h.cbSrcLengthUsed, n);
        EXPECT_EQ(h.cbDstLengthUsed % pcm.blockAlign, 0u);
        const size_t at = c.samples.size();
        c.samples.resize(at + h.cbDstLengthUsed / 2);
        if (h.cbDstLengthUsed > 0)
            std::memcpy(c.samples.data() + at, out.data(), h.cbDstLengthUsed);
        flags = ACM_STREAMCONVERTF_BLOCKALIGN;
        return h.cbDstLengthUsed;
    };
    for (size_t at = 0; at < w.data.size(); at += piece)
        pass(w.data.data() + at, std::min(piece, w.data.size() - at));
    c.beforeEnd = c.samples.size();
    flags |= ACM_STREAMCONVERTF_END;
    while (pass(nullptr, 0) > 0) {}
    EXPECT_EQ(acmStreamClose(s, 0), 0);
    return c;
}

struct Fixture {
    const char* name;
    const char* make;  // shell command writing $OUT from $IN (a 2 s sox tone)
    int tolerance;     // largest difference allowed against ffmpeg's decode
    bool exactSize;    // acmStreamSize predicts the decoded size exactly
};

}  // namespace

// Every codec of the list, fed in pieces that split blocks and frames and drained through a
// destination smaller than one piece's output: the same samples as ffmpeg's decode.
TEST(AcmStream, DecodesLikeFfmpegWhateverThePieces) {
    if (!test::HaveTools({"sox", "ffmpeg"})) GTEST_SKIP() << "sox and ffmpeg make the fixtures";
    TempDir dir;
    const std::string in = dir.file("in.wav");
    ASSERT_TRUE(test::RunQuiet("sox -n -r 44100 -c 2 -b 16 '" + in +
                               "' synth 2 sine 440 sine 1250 vol 0.7"));
    const Fixture fixtures[] = {
        {"ima-adpcm", "sox IN -e ima-adpcm OUT", 1, true},
        {"ms-adpcm", "sox IN -r 22050 -c 1 -e ms-adpcm OUT", 1, true},
        {"gsm", "sox IN -r 8000 -c 1 -e gsm-full-rate OUT", 1, true},
        {"alaw", "sox IN -e a-law OUT", 0, true},
        {"mulaw", "sox IN -r 8000 -e mu-law OUT", 0, true},
        {"float", "sox IN -e floating-point -b 32 OUT", 0, true},
        {"float64", "sox IN -e floating-point -b 64 OUT", 0, true},
        {"mp3", "ffmpeg -nostdin -v error -i IN -c:a libmp3lame -b:a 128k -f wav OUT", 1, false},
        {"mp2", "ffmpeg -nostdin -v error -i IN -c:a mp2 -b:a 192k -f wav OUT", 1, false},
        {"g726", "ffmpeg -nostdin -v error -i IN -ar 8000 -ac 1 -c:a g726 -b:a 32k -f wav OUT", 1,
         true},
    };
    for (const Fixture& f : fixtures) {
        SCOPED_TRACE(f.name);
        const std::string out = dir.file(std::string(f.name) + ".wav");
        std::string cmd = f.make;
        cmd.replace(cmd.find("IN"), 2, "'" + in + "'");
        cmd.replace(cmd.find("OUT"), 3, "'" + out + "'");
        ASSERT_TRUE(test::RunQuiet(cmd)) << cmd;
        const WavParts w = SplitWav(out);
        const std::vector<int16_t> ref = test::FfmpegS16(out);
        ASSERT_FALSE(ref.empty());
        for (const auto& [piece, capacity] :
             {std::pair<size_t, uint32_t>{1000, 600}, {w.data.size(), 1u << 24}, {7, 4096}}) {
            const Converted c = Convert(w, piece, capacity);
            EXPECT_EQ(c.samples.size(), ref.size()) << "piece " << piece;
            EXPECT_LE(test::MaxSampleDiff(c.samples.data(), ref.data(),
                                          std::min(c.samples.size(), ref.size())),
                      f.tolerance)
                << "piece " << piece;
            // With room enough, everything comes out without an end call (the readers make
            // none): no frame is held back.
            if (capacity > w.data.size() * 8) {
                EXPECT_EQ(c.beforeEnd, ref.size());
            }
            if (f.exactSize) {
                EXPECT_EQ(c.predicted, ref.size() * 2) << "piece " << piece;
            } else {
                EXPECT_NEAR(c.predicted, ref.size() * 2.0, ref.size() * 2.0 * 0.03);
            }
        }
    }
}

// WAVE_FORMAT_EXTENSIBLE goes by its sub-format: float data decodes as float does.
TEST(AcmStream, ExtensibleBySubFormat) {
    if (!test::HaveTools({"sox", "ffmpeg"})) GTEST_SKIP() << "sox and ffmpeg make the fixtures";
    TempDir dir;
    const std::string wav = dir.file("f.wav");
    ASSERT_TRUE(test::RunQuiet("sox -n -r 48000 -c 3 -e floating-point -b 32 '" + wav +
                               "' synth 0.5 sine 300 sine 500 sine 700"));
    WavParts w = SplitWav(wav);
    ASSERT_EQ(w.format()->formatTag, 3);
    // The same sound under an extensible header: valid bits, channel mask, float sub-format.
    const uint8_t extensible[] = {0xFE, 0xFF, 3,    0, 0x80, 0xBB, 0,  0,    0x00, 0x65,
                                  0x04, 0,    12,   0, 32,   0,    22, 0,    32,   0,
                                  7,    0,    0,    0, 3,    0,    0,  0,    0,    0,
                                  0x10, 0,    0x80, 0, 0,    0xAA, 0,  0x38, 0x9B, 0x71};
    std::memcpy(w.fmt.data(), extensible, sizeof extensible);
    const Converted c = Convert(w, 999, 5000);
    const std::vector<int16_t> ref = test::FfmpegS16(wav);
    ASSERT_EQ(c.samples.size(), ref.size());
    EXPECT_EQ(test::MaxSampleDiff(c.samples.data(), ref.data(), ref.size()), 0);
}

TEST(AcmStream, SuggestionsAndRefusals) {
    QWaveFmt pcm{};
    pcm.formatTag = WAVE_FORMAT_PCM;
    const QWaveFmt ima{0x11, 2, 44100, 44359, 2048, 4, 2};
    uint8_t block[64] = {};
    std::memcpy(block, &ima, sizeof ima);
    EXPECT_EQ(acmFormatSuggest(nullptr, reinterpret_cast<QWaveFmt*>(block), &pcm, sizeof pcm,
                               ACM_FORMATSUGGESTF_WFORMATTAG),
              0);
    EXPECT_EQ(pcm.channels, 2);
    EXPECT_EQ(pcm.samplesPerSec, 44100u);
    EXPECT_EQ(pcm.bitsPerSample, 16);
    EXPECT_EQ(pcm.blockAlign, 4);
    EXPECT_EQ(pcm.avgBytesPerSec, 176400u);
    // Exact size of IMA ADPCM: 2041 sample frames per 2048-byte stereo block, whole blocks only.
    HACMSTREAM s = nullptr;
    ASSERT_EQ(acmStreamOpen(&s, nullptr, reinterpret_cast<QWaveFmt*>(block), &pcm, nullptr, 0, 0,
                            ACM_STREAMOPENF_NONREALTIME),
              0);
    uint32_t bytes = 0;
    EXPECT_EQ(acmStreamSize(s, 3 * 2048 + 100, &bytes, ACM_STREAMSIZEF_SOURCE), 0);
    EXPECT_EQ(bytes, 3u * 2041 * 4);
    EXPECT_EQ(acmStreamSize(s, 2042 * 4, &bytes, ACM_STREAMSIZEF_DESTINATION), 0);
    EXPECT_EQ(bytes, 2u * 2048);
    // A header must be prepared before it converts.
    ACMSTREAMHEADER h{};
    h.cbStruct = sizeof h;
    EXPECT_EQ(acmStreamConvert(s, &h, 0), ACMERR_UNPREPARED);
    EXPECT_EQ(acmStreamClose(s, 0), 0);

    // No decoder, or a header no decoder could make sense of: no suggestion.
    auto refused = [&](QWaveFmt f, uint16_t extra = 0) {
        std::memset(block, 0, sizeof block);
        f.extraSize = extra;
        std::memcpy(block, &f, sizeof f);
        QWaveFmt d{};
        d.formatTag = WAVE_FORMAT_PCM;
        return acmFormatSuggest(nullptr, reinterpret_cast<QWaveFmt*>(block), &d, sizeof d,
                                ACM_FORMATSUGGESTF_WFORMATTAG) == ACMERR_NOTPOSSIBLE;
    };
    EXPECT_TRUE(refused({0x1234, 1, 8000, 8000, 1, 8, 0}));     // a tag nothing decodes
    EXPECT_TRUE(refused({0x11, 0, 44100, 44359, 2048, 4, 0}));  // no channels
    EXPECT_TRUE(refused({0x11, 9, 44100, 44359, 2048, 4, 0}));  // nine channels
    EXPECT_TRUE(refused({0x11, 2, 0, 44359, 2048, 4, 0}));      // no rate
    EXPECT_TRUE(refused({0x11, 2, 44100, 44359, 8, 4, 0}));     // a block of headers only
    EXPECT_TRUE(refused({0x02, 2, 44100, 44359, 13, 4, 0}));    // MS ADPCM block too short
    EXPECT_TRUE(refused({0x31, 1, 8000, 1625, 64, 0, 0}));      // GSM block not 65 bytes
    EXPECT_TRUE(refused({WAVE_FORMAT_EXTENSIBLE, 2, 44100, 176400, 4, 16, 0}, 10));  // short
    EXPECT_TRUE(refused({3, 1, 8000, 8000, 1, 8, 0}));                               // 8-bit float
    // A suggestion only for PCM destinations.
    QWaveFmt d{};
    d.formatTag = 2;
    std::memcpy(block, &ima, sizeof ima);
    EXPECT_EQ(acmFormatSuggest(nullptr, reinterpret_cast<QWaveFmt*>(block), &d, sizeof d,
                               ACM_FORMATSUGGESTF_WFORMATTAG),
              ACMERR_NOTPOSSIBLE);
    // Names come from the decoders.
    std::string name;
    EXPECT_EQ(acmFormatTagDetails(0x11, name), 0);
    EXPECT_NE(name.find("IMA"), std::string::npos) << name;
    EXPECT_EQ(acmFormatTagDetails(0x1234, name), ACMERR_NOTPOSSIBLE);
}

// A PCM stream opened to itself copies, whole frames at a time.
TEST(AcmStream, PcmToItselfCopies) {
    const QWaveFmt p24{WAVE_FORMAT_PCM, 2, 48000, 288000, 6, 24, 0};
    HACMSTREAM s = nullptr;
    ASSERT_EQ(acmStreamOpen(&s, nullptr, &p24, &p24, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0);
    uint8_t src[30], dst[16] = {};
    for (int i = 0; i < 30; ++i) src[i] = static_cast<uint8_t>(i);
    ACMSTREAMHEADER h{sizeof h, 0, src, 30, 0, dst, 16, 0};
    ASSERT_EQ(acmStreamPrepareHeader(s, &h, 0), 0);
    ASSERT_EQ(acmStreamConvert(s, &h, ACM_STREAMCONVERTF_START), 0);
    EXPECT_EQ(h.cbDstLengthUsed, 12u);  // two frames fit
    EXPECT_EQ(std::memcmp(dst, src, 12), 0);
    h.cbSrcLength = 0;
    ASSERT_EQ(acmStreamConvert(s, &h, 0), 0);  // the rest follows
    EXPECT_EQ(h.cbDstLengthUsed, 12u);
    EXPECT_EQ(std::memcmp(dst, src + 12, 12), 0);
    EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), 0);
    EXPECT_EQ(acmStreamClose(s, 0), 0);
}
