// The WAV reader: headers and chunk walks built inline, PCM and compressed fixtures made with
// sox and ffmpeg and compared with ffmpeg's own decode, random access, and damaged files.

#include "formats/FF_WAV.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::RegisterBalance;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

using Bytes = std::string;

Bytes Le16(uint32_t v) { return Bytes{char(v & 0xFF), char((v >> 8) & 0xFF)}; }
Bytes Le32(uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

// A chunk with its pad byte when the size is odd; `size` overrides the declared size.
Bytes Chunk(const char* id, const Bytes& data, int64_t size = -1) {
    Bytes c = Bytes(id, 4) + Le32(size < 0 ? uint32_t(data.size()) : uint32_t(size)) + data;
    if (data.size() % 2) c += '\0';
    return c;
}

Bytes Riff(const Bytes& body, int64_t size = -1) {
    return "RIFF" + Le32(size < 0 ? uint32_t(body.size() + 4) : uint32_t(size)) + "WAVE" + body;
}

// The 16-byte format header (a chunk of 18 with `withExtra`).
Bytes Fmt(uint16_t tag, uint16_t ch, uint32_t rate, uint32_t avg, uint16_t align, uint16_t bits,
          bool withExtra = true) {
    Bytes f = Le16(tag) + Le16(ch) + Le32(rate) + Le32(avg) + Le16(align) + Le16(bits);
    return withExtra ? f + Le16(0) : f;
}

// Sample bytes 0, 1, 2, ... (mod 251, so no block repeats at a power of two).
Bytes Ramp(size_t n) {
    Bytes b(n, '\0');
    for (size_t i = 0; i < n; ++i) b[i] = char(i % 251);
    return b;
}

QWavHandle Zeroed() {
    QWavHandle h;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    return h;
}

Qsnd NewSound() {
    Qsnd s;
    std::memset(static_cast<void*>(&s), 0, sizeof s);
    return s;
}

// Every sample of an open handle, loaded on in pieces of `piece` frames; at most `limit`
// loads (a reader that never ends fails the test instead of hanging it).
Bytes LoadAll(QWavHandle& h, int32_t piece = 4000, int32_t limit = 100000) {
    Bytes out;
    Qsnd s = NewSound();
    int32_t pos = h.sndPos;
    for (int32_t i = 0; i < limit; ++i) {
        WAVLoad(h, s, pos, true, piece);
        if (s.samples <= 0) break;
        out.append(reinterpret_cast<const char*>(s.data), size_t(s.samples) * s.format.blockAlign);
        pos += s.samples;
        EXPECT_LT(i + 1, limit) << "the reader does not come to an end";
    }
    SndFree(s);
    return out;
}

// Opens, loads everything, closes; the error group and code of the open (0 when it opened).
struct Result {
    int32_t group = 0, code = 0;
    Bytes samples;
    QWaveFmt out{};
    int32_t count = 0;
    bool loadable = false;
};
Result ReadWav(const std::string& path, int32_t piece = 4000) {
    Result r;
    QWavHandle h = Zeroed();
    MonitoredIsolated([&] { WAVOpen(h, path); });
    r.group = ErrLastGroup();
    r.code = ErrLastCode();
    if (r.group != 0) return r;
    r.out = h.outFormat;
    r.count = h.sampleCount;
    r.loadable = h.soundLoadable != 0;
    MonitoredIsolated([&] { r.samples = LoadAll(h, piece); });
    MonitoredIsolated([&] { WAVClose(h); });
    return r;
}

// --- Tools ---------------------------------------------------------------------------------

std::vector<int16_t> S16(const Bytes& b) {
    std::vector<int16_t> v(b.size() / 2);
    std::memcpy(v.data(), b.data(), v.size() * 2);
    return v;
}

// A two-channel test signal: a sweep and a tone with some noise, 2.5 s.
std::string MakeSource(const TempDir& dir, int rate, int channels) {
    const std::string src = dir.file("src.wav");
    test::RunQuiet("sox -R -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
                   " -b 16 '" + src + "' synth 2.5 sine 200-3000 sine 440 whitenoise vol 0.6");
    return src;
}

}  // namespace

// --- PCM read as stored ----------------------------------------------------------------------

TEST(Wav, PcmOpensAtRatioOneAndLoadsTheDataAsStored) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(4 * 1000 + 2);  // a trailing half frame is not a frame
    WriteFileBytes(dir.file("a.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 2, 8000, 32000, 4, 16)) + Chunk("data", data)));
    QWavHandle h = Zeroed();
    MonitoredIsolated([&] { WAVOpen(h, dir.file("a.wav")); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(h.ratio, 1.0);
    EXPECT_EQ(h.sampleCount, 1000);
    EXPECT_EQ(std::memcmp(&h.outFormat, h.inFormat, 18), 0);
    EXPECT_EQ(h.writeMode, 0);
    EXPECT_NE(h.soundLoadable, 0);
    // Odd piece sizes over the one-second reads: every byte once, in order.
    const Bytes all = LoadAll(h, 333);
    EXPECT_EQ(all, data.substr(0, 4000));
    MonitoredIsolated([&] { WAVClose(h); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(h.file, nullptr);
    balance.Expect();

    QffInfo info;
    FFClearInfo(info);
    MonitoredIsolated([&] { WAVInfo(dir.file("a.wav"), info); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(info.fileSize, double(ReadFileBytes(dir.file("a.wav")).size()));
    EXPECT_EQ(info.soundSamples, 1000);
    EXPECT_EQ(info.soundFormat.formatTag, 1);
    EXPECT_EQ(info.playFormat.blockAlign, 4);
    EXPECT_EQ(info.soundCompression, "(#1) PCM, uncompressed");
    EXPECT_NE(info.hasSound, 0);
    EXPECT_NE(info.soundSupported, 0);
    balance.Expect();
}

TEST(Wav, EightTwentyFourAndExtensiblePcmKeepTheirWidth) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(6 * 500);
    struct Case {
        Bytes fmt;
        uint16_t bits, align;
    } cases[] = {
        {Fmt(1, 1, 11025, 11025, 1, 8), 8, 1},
        {Fmt(1, 2, 8000, 48000, 6, 24), 24, 6},
        // 12 significant bits in a 16-bit container play as 16-bit.
        {Fmt(1, 1, 8000, 16000, 2, 12), 16, 2},
        // Extensible, PCM sub-format, 24 valid bits in a 32-bit container.
        {Fmt(0xFFFE, 1, 8000, 32000, 4, 32, false) + Le16(22) + Le16(24) + Le32(4) + Le16(1) +
             Bytes("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71", 14),
         32, 4},
    };
    for (const Case& c : cases) {
        WriteFileBytes(dir.file("p.wav"), Riff(Chunk("fmt ", c.fmt) + Chunk("data", data)));
        const Result r = ReadWav(dir.file("p.wav"), 77);
        ASSERT_EQ(r.group, 0) << ErrLastText();
        EXPECT_EQ(r.out.formatTag, 1);
        EXPECT_EQ(r.out.extraSize, 0);
        EXPECT_EQ(r.out.bitsPerSample, c.bits);
        EXPECT_EQ(r.out.blockAlign, c.align);
        EXPECT_EQ(r.count, int32_t(data.size() / c.align));
        EXPECT_EQ(r.samples, data);
    }
    balance.Expect();
}

// --- Positions -------------------------------------------------------------------------------

TEST(Wav, SeekToOrPastTheEndStopsOnTheLastFrame) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(2 * 3000);
    WriteFileBytes(dir.file("s.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 1, 8000, 16000, 2, 16)) + Chunk("data", data)));
    QWavHandle h = Zeroed();
    MonitoredIsolated([&] { WAVOpen(h, dir.file("s.wav")); });
    ASSERT_TRUE(ErrNone());
    Qsnd s = NewSound();
    for (int32_t at : {3000, 3001, 1 << 30}) {
        MonitoredIsolated([&] { WAVSeek(h, at); });
        EXPECT_EQ(h.sndPos, 2999);
        MonitoredIsolated([&] { WAVLoad(h, s, 2999, true, 100); });
        ASSERT_EQ(s.samples, 1);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(s.data), 2), data.substr(5998));
    }
    MonitoredIsolated([&] { WAVSeek(h, -50); });
    EXPECT_EQ(h.sndPos, 0);
    MonitoredIsolated([&] { WAVLoad(h, s, -7, false, 10); });  // a negative start is 0
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(s.data), 20), data.substr(0, 20));
    SndFree(s);
    MonitoredIsolated([&] { WAVClose(h); });
    balance.Expect();
}

TEST(Wav, ContinuedLoadReadsOnAndAnyOtherStartSeeks) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(2 * 20000);  // 2.5 s at 8000 Hz
    WriteFileBytes(dir.file("c.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 1, 8000, 16000, 2, 16)) + Chunk("data", data)));
    QWavHandle h = Zeroed();
    MonitoredIsolated([&] { WAVOpen(h, dir.file("c.wav")); });
    Qsnd s = NewSound();
    auto frames = [&](int32_t from, int32_t n) { return data.substr(2 * from, 2 * n); };
    MonitoredIsolated([&] { WAVLoad(h, s, 0, true, 10); });
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(s.data), 20), frames(0, 10));
    EXPECT_EQ(h.loader.consumed, 8000);  // one second read ahead
    // Continued at the position: served from what was read, no seek.
    MonitoredIsolated([&] { WAVLoad(h, s, 10, true, 10); });
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(s.data), 20), frames(10, 10));
    EXPECT_EQ(h.loader.consumed, 8000);
    EXPECT_EQ(h.sndPos, 20);
    // The same start without the continue flag seeks and reads again.
    MonitoredIsolated([&] { WAVLoad(h, s, 20, false, 10); });
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(s.data), 20), frames(20, 10));
    EXPECT_EQ(h.loader.consumed, 20 + 8000);
    // With the flag but another start: a seek.
    MonitoredIsolated([&] { WAVLoad(h, s, 12345, true, 10); });
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(s.data), 20), frames(12345, 10));
    EXPECT_EQ(h.sndPos, 12355);
    SndFree(s);
    MonitoredIsolated([&] { WAVClose(h); });
    balance.Expect();
}

// --- Chunks ----------------------------------------------------------------------------------

TEST(Wav, ChunksAroundTheDataAreWalkedOverAndNeverPlayed) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(4 * 3001);
    const Bytes fmt = Chunk("fmt ", Fmt(1, 2, 8000, 32000, 4, 16));
    const Bytes list = Chunk("LIST", "INFOISFT" + Le32(5) + "kvtst");  // 17 bytes: padded
    const Bytes tail = Chunk("LIST", Bytes(64, '\x7f')) + Chunk("id3 ", Bytes(33, '\x55'));
    // An odd LIST before the data, a fact chunk, chunks after it.
    WriteFileBytes(dir.file("l.wav"),
                   Riff(list + fmt + Chunk("fact", Le32(3001)) + list + Chunk("data", data) + tail));
    Result r = ReadWav(dir.file("l.wav"));
    ASSERT_EQ(r.group, 0) << ErrLastText();
    EXPECT_EQ(r.samples, data);
    // An odd data chunk: its pad byte and the chunks after it stay out of the sound.
    const Bytes odd = Ramp(3001);
    WriteFileBytes(dir.file("o.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 1, 8000, 8000, 1, 8)) + Chunk("data", odd) + tail));
    r = ReadWav(dir.file("o.wav"), 1000);
    EXPECT_EQ(r.samples, odd);
    // A one-second amount that is no whole number of blocks reads whole blocks.
    WriteFileBytes(dir.file("a.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 2, 250, 1001, 4, 16)) + Chunk("data", data) + tail));
    r = ReadWav(dir.file("a.wav"), 100);
    EXPECT_EQ(r.samples, data);
    balance.Expect();
}

TEST(Wav, DataSizesBeyondTheFilePlayWhatIsThere) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(2 * 1500);
    const Bytes fmt = Chunk("fmt ", Fmt(1, 1, 8000, 16000, 2, 16));
    for (int64_t declared : {int64_t{0xFFFFFFFF}, int64_t{0}, int64_t{2 * 5000}}) {
        for (int64_t riffSize : {int64_t{-1}, int64_t{0}, int64_t{0xFFFFFFFF}}) {
            WriteFileBytes(dir.file("p.wav"),
                           Riff(fmt + Bytes("data") + Le32(uint32_t(declared)) + data, riffSize));
            const Result r = ReadWav(dir.file("p.wav"));
            ASSERT_EQ(r.group, 0) << declared << " " << riffSize << ": " << ErrLastText();
            EXPECT_EQ(r.count, 1500);
            EXPECT_EQ(r.samples, data);
        }
    }
    // An empty data chunk at the end of the file: no sound, no error.
    WriteFileBytes(dir.file("e.wav"), Riff(fmt + Chunk("data", "")));
    const Result e = ReadWav(dir.file("e.wav"));
    EXPECT_EQ(e.group, 0);
    EXPECT_EQ(e.count, 0);
    EXPECT_TRUE(e.samples.empty());
    balance.Expect();
}

TEST(Wav, ZeroAverageRateReadsOneSecondOfBlocks) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(4 * 9000);
    WriteFileBytes(dir.file("z.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 2, 4000, 0, 4, 16)) + Chunk("data", data)));
    QWavHandle h = Zeroed();
    MonitoredIsolated([&] { WAVOpen(h, dir.file("z.wav")); });
    ASSERT_TRUE(ErrNone());
    EXPECT_EQ(h.inFormat->avgBytesPerSec, 16000u);
    Qsnd s = NewSound();
    MonitoredIsolated([&] { WAVLoad(h, s, 0, true, 1); });
    EXPECT_EQ(h.loader.consumed, 4000);
    SndFree(s);
    EXPECT_EQ(LoadAll(h), data.substr(4));
    MonitoredIsolated([&] { WAVClose(h); });
    balance.Expect();
}

// --- Damaged and hostile headers -------------------------------------------------------------

TEST(Wav, DamagedHeadersCannotBeOpenedAndLeaveNothingBehind) {
    TempDir dir;
    const RegisterBalance balance;
    const int fds = test::OpenFds();
    const Bytes data = Chunk("data", Ramp(400));
    const Bytes good = Fmt(1, 2, 8000, 32000, 4, 16);
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"not RIFF", "RIFX" + Riff(Chunk("fmt ", good) + data).substr(4)},
        {"not WAVE", "RIFF" + Le32(100) + "AVI " + Chunk("fmt ", good) + data},
        {"no fmt", Riff(data)},
        {"no data", Riff(Chunk("fmt ", good))},
        {"data before fmt", Riff(data + Chunk("fmt ", good))},
        {"block align 0", Riff(Chunk("fmt ", Fmt(1, 2, 8000, 32000, 0, 16)) + data)},
        {"channels 0", Riff(Chunk("fmt ", Fmt(1, 0, 8000, 32000, 4, 16)) + data)},
        {"rate 0", Riff(Chunk("fmt ", Fmt(1, 2, 0, 32000, 4, 16)) + data)},
        {"PCM of 0 bits", Riff(Chunk("fmt ", Fmt(1, 2, 8000, 32000, 4, 0)) + data)},
        {"fmt of 14 bytes", Riff(Chunk("fmt ", good.substr(0, 14)) + data)},
        {"fmt beyond the file", Riff(Chunk("fmt ", good, 5000) + data)},
        {"absurd fmt", Riff(Chunk("fmt ", good, 0x7FFFFFF0) + data)},
        {"short extensible",
         Riff(Chunk("fmt ", Fmt(0xFFFE, 2, 8000, 32000, 4, 16, false) + Le16(22) + Bytes(10, 0)) +
              data)},
        {"a chunk running off the end",
         Riff(Chunk("fmt ", good) + Chunk("LIST", "INFO", 0x10000000) + data)},
        {"empty file", ""},
    };
    for (const auto& [what, bytes] : cases) {
        WriteFileBytes(dir.file("d.wav"), bytes);
        QWavHandle h = Zeroed();
        MonitoredIsolated([&] { WAVOpen(h, dir.file("d.wav")); });
        EXPECT_EQ(ErrLastGroup(), ERR_WAV) << what;
        EXPECT_EQ(ErrLastCode(), WAV_OPEN) << what;
        EXPECT_EQ(ErrLastText(), "Cannot open WAV file.") << what;
        EXPECT_EQ(h.file, nullptr) << what;
        EXPECT_EQ(h.inFormat, nullptr) << what;
        balance.Expect(what);
        EXPECT_EQ(test::OpenFds(), fds) << what;
    }
    QWavHandle h = Zeroed();
    MonitoredIsolated([&] { WAVOpen(h, dir.file("missing.wav")); });
    EXPECT_EQ(ErrLastCode(), WAV_OPEN);
    balance.Expect();
}

TEST(Wav, ShortFormatChunksAndOverlongExtraSizesAreTaken) {
    TempDir dir;
    const RegisterBalance balance;
    const Bytes data = Ramp(4 * 100);
    // 16 bytes: no extra size; the block still holds an 18-byte header.
    WriteFileBytes(dir.file("a.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 2, 8000, 32000, 4, 16, false)) + Chunk("data", data)));
    QWavHandle h = Zeroed();
    MonitoredIsolated([&] { WAVOpen(h, dir.file("a.wav")); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_GE(MemBlockSize(h.inFormat), 18);
    EXPECT_EQ(h.inFormat->extraSize, 0);
    MonitoredIsolated([&] { WAVClose(h); });
    // An extra size larger than the chunk is cut to the bytes there.
    WriteFileBytes(dir.file("b.wav"),
                   Riff(Chunk("fmt ", Fmt(1, 2, 8000, 32000, 4, 16, false) + Le16(900) + "xy") +
                        Chunk("data", data)));
    MonitoredIsolated([&] { WAVOpen(h, dir.file("b.wav")); });
    ASSERT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(h.inFormat->extraSize, 2);
    EXPECT_EQ(LoadAll(h), data);
    MonitoredIsolated([&] { WAVClose(h); });
    balance.Expect();
}

TEST(Wav, FormatsWithoutADecoderOpenSilentlyWithoutSound) {
    TempDir dir;
    const RegisterBalance balance;
    const int fds = test::OpenFds();
    const Bytes data = Chunk("data", Ramp(512));
    for (const Bytes& fmt : {Fmt(0x1234, 1, 8000, 4000, 256, 4),
                             // PCM the sound model does not take.
                             Fmt(1, 1, 8000, 64000, 8, 64), Fmt(1, 2, 8000, 32000, 6, 16)}) {
        WriteFileBytes(dir.file("n.wav"), Riff(Chunk("fmt ", fmt) + data));
        QWavHandle h = Zeroed();
        MonitoredIsolated([&] { WAVOpen(h, dir.file("n.wav")); });
        EXPECT_TRUE(ErrNone()) << ErrLastText();
        EXPECT_EQ(h.file, nullptr);
        EXPECT_EQ(h.soundLoadable, 0);
        balance.Expect();
        EXPECT_EQ(test::OpenFds(), fds);
        Qsnd s = NewSound();
        s.samples = 5;
        MonitoredIsolated([&] { WAVLoad(h, s, 0, false, 100); });
        EXPECT_TRUE(ErrNone());
        EXPECT_EQ(s.samples, 0);
        MonitoredIsolated([&] { WAVSeek(h, 10); });
        MonitoredIsolated([&] { WAVClose(h); });
        EXPECT_TRUE(ErrNone());
    }
    QffInfo info;
    FFClearInfo(info);
    WriteFileBytes(dir.file("n.wav"), Riff(Chunk("fmt ", Fmt(0x1234, 1, 8000, 4000, 256, 4)) + data));
    MonitoredIsolated([&] { WAVInfo(dir.file("n.wav"), info); });
    EXPECT_TRUE(ErrNone()) << ErrLastText();
    EXPECT_EQ(info.soundFormat.formatTag, 0x1234);
    EXPECT_NE(info.hasSound, 0);
    EXPECT_EQ(info.soundSupported, 0);
    EXPECT_EQ(info.soundCompression, "(#4660) Unknown codec");
    balance.Expect();
}

// Every cut of a file and every header byte changed: an error of the reader or a shorter or
// different sound, never a crash, hang or leak.
TEST(Wav, CutAndFlippedFilesFailCleanly) {
    TempDir dir;
    const RegisterBalance balance;
    const int fds = test::OpenFds();
    std::vector<Bytes> files = {Riff(Chunk("LIST", "INFOa") +
                                     Chunk("fmt ", Fmt(1, 2, 8000, 32000, 4, 16)) +
                                     Chunk("data", Ramp(4 * 700)) + Chunk("id3 ", "x"))};
    if (test::HaveTools({"sox"})) {
        const std::string src = MakeSource(dir, 8000, 1);
        for (const char* enc : {"ima-adpcm", "ms-adpcm", "gsm-full-rate", "u-law"}) {
            const std::string out = dir.file(std::string(enc) + ".wav");
            if (test::RunQuiet("sox '" + src + "' -e " + enc + " '" + out + "' trim 0 0.3"))
                files.push_back(ReadFileBytes(out));
        }
    }
    auto check = [&](const Bytes& bytes, const std::string& what) {
        WriteFileBytes(dir.file("h.wav"), bytes);
        const Result r = ReadWav(dir.file("h.wav"), 300);
        if (r.group != 0) {
            EXPECT_TRUE((r.group == ERR_WAV && (r.code == WAV_OPEN || r.code == WAV_READ)) ||
                        r.group == ERR_ACM)
                << what << ": " << r.group << "/" << r.code;
        }
        EXPECT_TRUE(balance.Balanced()) << what;
        EXPECT_EQ(test::OpenFds(), fds) << what;
    };
    for (const Bytes& file : files) {
        for (size_t cut = 0; cut < file.size(); cut += cut < 120 ? 1 : 97)
            check(file.substr(0, cut), "cut at " + std::to_string(cut));
        const size_t header = std::min<size_t>(file.size(), 100);
        for (size_t i = 0; i < header; ++i)
            for (uint8_t mask : {0x01, 0x10, 0x80, 0xFF}) {
                Bytes flipped = file;
                flipped[i] = char(flipped[i] ^ mask);
                check(flipped, "byte " + std::to_string(i) + " ^ " + std::to_string(mask));
            }
    }
    balance.Expect();
}

// --- Fixtures against ffmpeg ------------------------------------------------------------------

struct Fixture {
    const char* name;
    std::string make;        // command writing $OUT from $SRC
    int32_t tolerance;       // LSB
    int32_t countSlack = 0;  // sample frames the predicted count may miss what loads by
};

class WavFixtures : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveTools({"sox", "ffmpeg"})) GTEST_SKIP() << "sox and ffmpeg make the fixtures";
    }
    // Makes the fixture and returns its path ("" when the tool cannot make it).
    std::string Make(const std::string& command, const std::string& name, int rate = 22050,
                     int channels = 2) {
        const std::string src = MakeSource(dir, rate, channels);
        std::string c = command;
        for (auto [key, value] : {std::pair{"$SRC", src}, std::pair{"$OUT", dir.file(name)}})
            for (size_t at; (at = c.find(key)) != std::string::npos;)
                c.replace(at, std::strlen(key), "'" + value + "'");
        return test::RunQuiet(c) ? dir.file(name) : std::string();
    }
    TempDir dir;
    RegisterBalance balance;
};

TEST_F(WavFixtures, PcmIsDeliveredAsStored) {
    for (const char* bits : {"8", "16", "24"}) {
        const std::string f = Make(std::string("sox $SRC -b ") + bits + " $OUT", "p.wav");
        ASSERT_FALSE(f.empty());
        ASSERT_TRUE(test::RunQuiet("sox '" + f + "' -t raw '" + dir.file("p.raw") + "'"));
        const Result r = ReadWav(f, 1234);
        ASSERT_EQ(r.group, 0) << ErrLastText();
        EXPECT_EQ(r.out.bitsPerSample, std::atoi(bits));
        EXPECT_EQ(r.samples, ReadFileBytes(dir.file("p.raw"))) << bits;
    }
    // Four channels: sox writes the extensible header.
    const std::string f = Make("sox $SRC -c 4 $OUT", "x.wav");
    ASSERT_EQ(ReadFileBytes(f).substr(20, 2), Le16(0xFFFE));
    const Result r = ReadWav(f);
    ASSERT_EQ(r.group, 0) << ErrLastText();
    EXPECT_EQ(r.out.channels, 4);
    EXPECT_EQ(S16(r.samples), test::FfmpegS16(f));
    balance.Expect();
}

TEST_F(WavFixtures, FloatAndG711MatchFfmpegExactly) {
    for (const char* enc : {"-e floating-point -b 32", "-e u-law", "-e a-law"}) {
        const std::string f = Make(std::string("sox $SRC ") + enc + " $OUT", "g.wav");
        ASSERT_FALSE(f.empty()) << enc;
        const Result r = ReadWav(f, 999);
        ASSERT_EQ(r.group, 0) << enc << ": " << ErrLastText();
        EXPECT_EQ(r.out.bitsPerSample, 16);
        const std::vector<int16_t> ref = test::FfmpegS16(f);
        EXPECT_EQ(r.count * 2, int32_t(ref.size())) << enc;  // stereo
        EXPECT_EQ(S16(r.samples), ref) << enc;
    }
    balance.Expect();
}

TEST_F(WavFixtures, CompressedFormatsMatchFfmpegsDecoder) {
    const Fixture fixtures[] = {
        {"ima.wav", "sox $SRC -e ima-adpcm $OUT", 1},
        {"ms.wav", "sox $SRC -e ms-adpcm $OUT", 1},
        {"gsm.wav", "sox $SRC -r 8000 -c 1 -e gsm-full-rate $OUT", 1},
        // A data rate in the header: ffmpeg leaves it 0 without a bit rate.
        {"mp3.wav", "ffmpeg -v error -y -i $SRC -c:a libmp3lame -b:a 64k -f wav $OUT", 1},
        // Without one the length comes from the "fact" chunk: the encoder's own count, which
        // leaves out the padding of the last frame that the decoder delivers.
        {"mp3n.wav", "ffmpeg -v error -y -i $SRC -c:a libmp3lame -f wav $OUT", 1, 1152},
    };
    for (const Fixture& fx : fixtures) {
        const std::string f = Make(fx.make, fx.name);
        if (f.empty()) {
            ADD_FAILURE() << "cannot make " << fx.name;
            continue;
        }
        const Result r = ReadWav(f, 4321);
        ASSERT_EQ(r.group, 0) << fx.name << ": " << ErrLastText();
        ASSERT_TRUE(r.loadable) << fx.name;
        const auto ours = S16(r.samples);
        const auto ref = test::FfmpegS16(f);
        const size_t channels = r.out.channels;
        EXPECT_EQ(ours.size(), ref.size()) << fx.name;
        EXPECT_LE(test::MaxSampleDiff(ours.data(), ref.data(), std::min(ours.size(), ref.size())),
                  fx.tolerance)
            << fx.name;
        // The count the open predicts is what loads.
        EXPECT_NEAR(double(r.count), double(ours.size() / channels), fx.countSlack) << fx.name;
    }
    balance.Expect();
}

// One second loaded after a seek to any sample equals the same span of a straight decode.
TEST_F(WavFixtures, RandomAccessMatchesAStraightDecode) {
    const Fixture fixtures[] = {
        {"pcm.wav", "sox $SRC $OUT", 0},
        {"ima.wav", "sox $SRC -e ima-adpcm $OUT", 0},
        {"ms.wav", "sox $SRC -e ms-adpcm $OUT", 0},
        {"ulaw.wav", "sox $SRC -e u-law $OUT", 0},
        // GSM's filters run on from block to block: after a run-up the sound is within a
        // fraction of a percent of a straight decode, not bit for bit.
        {"gsm.wav", "sox $SRC -r 8000 -c 1 -e gsm-full-rate $OUT", 160},
    };
    std::mt19937 rng(7);
    for (const Fixture& fx : fixtures) {
        const std::string f = Make(fx.make, fx.name);
        ASSERT_FALSE(f.empty()) << fx.name;
        const Result straight = ReadWav(f);
        ASSERT_EQ(straight.group, 0) << ErrLastText();
        const size_t align = straight.out.blockAlign;
        QWavHandle h = Zeroed();
        MonitoredIsolated([&] { WAVOpen(h, f); });
        ASSERT_TRUE(ErrNone());
        Qsnd s = NewSound();
        std::vector<int32_t> starts = {0, 1, h.sampleCount - 1, h.sampleCount / 2};
        for (int i = 0; i < 12; ++i) starts.push_back(int32_t(rng() % h.sampleCount));
        for (int32_t at : starts) {
            MonitoredIsolated([&] { WAVLoad(h, s, at, false, 22050); });
            ASSERT_TRUE(ErrNone()) << ErrLastText();
            const size_t want = std::min<size_t>(22050, h.sampleCount - at);
            ASSERT_EQ(size_t(s.samples), want) << fx.name << " at " << at;
            const Bytes got(reinterpret_cast<char*>(s.data), want * align);
            const Bytes ref = straight.samples.substr(at * align, want * align);
            if (fx.tolerance == 0) {
                EXPECT_EQ(got, ref) << fx.name << " at " << at;
            } else {
                const std::vector<int16_t> a = S16(got), b = S16(ref);
                EXPECT_LE(test::MaxSampleDiff(a.data(), b.data(), a.size()), fx.tolerance)
                    << fx.name << " at " << at;
            }
            EXPECT_EQ(h.sndPos, at + s.samples);
        }
        // A seek through the movie layer's entry, then a continued load from there.
        MonitoredIsolated([&] { WAVSeek(h, 1234); });
        MonitoredIsolated([&] { WAVLoad(h, s, 1234, true, 100); });
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(s.data), 100 * align),
                  straight.samples.substr(1234 * align, 100 * align));
        SndFree(s);
        MonitoredIsolated([&] { WAVClose(h); });
    }
    balance.Expect();
}
