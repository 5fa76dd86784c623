// The Ogg Vorbis reader over files made at test time with sox and oggenc, checked against
// oggdec's decode of the same files; damaged and foreign files.

#include "formats/FF_OGG.h"

#include <gtest/gtest.h>

#include <algorithm>
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
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

using Samples = std::vector<int16_t>;

Samples ReadRaw(const std::string& path) {
    const std::string bytes = ReadFileBytes(path);
    Samples s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
}

// Samples [from, to) of `s` (clipped at its end) as a new vector.
Samples Span(const Samples& s, size_t from, size_t to) {
    from = std::min(from, s.size());
    return Samples(s.begin() + static_cast<std::ptrdiff_t>(from),
                   s.begin() + static_cast<std::ptrdiff_t>(std::min(to, s.size())));
}

::testing::AssertionResult WithinOneLsb(const Samples& got, const Samples& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure()
               << got.size() << " samples where " << want.size() << " were expected";
    for (size_t i = 0; i < got.size(); ++i)
        if (std::abs(got[i] - want[i]) > 1)
            return ::testing::AssertionFailure()
                   << "sample " << i << ": " << got[i] << " against " << want[i];
    return ::testing::AssertionSuccess();
}

// Runs `body` in an isolated frame; the error it left.
template <class Body>
std::pair<int32_t, int32_t> Try(Body body) {
    MonitoredIsolated(body);
    return {ErrLastGroup(), ErrLastCode()};
}

const std::pair<int32_t, int32_t> kOk{0, 0};
const std::pair<int32_t, int32_t> kCannotOpen{ERR_MVI, MVI_OPEN};

bool IsZero(const QOggHandle& h) {
    static const QOggHandle zero{};
    return std::memcmp(&h, &zero, sizeof h) == 0;
}

// The Ogg page checksum (polynomial 0x04C11DB7, no reflection), as the page header holds it.
uint32_t OggCrc(const std::string& page) {
    uint32_t crc = 0;
    for (unsigned char c : page) {
        crc ^= uint32_t{c} << 24;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// Offsets of the pages of a well-formed Ogg file, and its end.
std::vector<size_t> PageStarts(const std::string& ogg) {
    std::vector<size_t> starts;
    size_t at = 0;
    while (at + 27 <= ogg.size() && ogg.compare(at, 4, "OggS") == 0) {
        starts.push_back(at);
        const size_t segments = static_cast<uint8_t>(ogg[at + 26]);
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += static_cast<uint8_t>(ogg[at + 27 + i]);
        at += 27 + segments + body;
    }
    starts.push_back(at);
    return starts;
}

// Recomputes the checksum of every page, so that damage inside a page reaches the decoder.
void FixChecksums(std::string& ogg) {
    const std::vector<size_t> starts = PageStarts(ogg);
    for (size_t p = 0; p + 1 < starts.size(); ++p) {
        std::string page = ogg.substr(starts[p], starts[p + 1] - starts[p]);
        std::memset(&page[22], 0, 4);
        const uint32_t crc = OggCrc(page);
        for (int i = 0; i < 4; ++i) ogg[starts[p] + 22 + i] = static_cast<char>(crc >> (8 * i));
    }
}

struct OggTest : test::RegisterBalanceTest {
    void SetUp() override {
        RegisterBalanceTest::SetUp();
        if (!test::HaveTools({"sox", "oggenc", "oggdec"}))
            GTEST_SKIP() << "sox, oggenc or oggdec is missing";
    }
    void TearDown() override {
        OggClose(h);
        SndFree(snd);
        RegisterBalanceTest::TearDown();
    }
    std::pair<int32_t, int32_t> Open(const std::string& path) {
        OggClose(h);
        return Try([&] { OggOpen(h, path); });
    }
    // The samples of one load.
    Samples Load(int32_t start, bool cont, int32_t count) {
        OggLoad(h, snd, start, cont, count);
        const int32_t channels = h.format.channels;
        Samples s(static_cast<size_t>(snd.samples) * channels);
        if (!s.empty()) std::memcpy(s.data(), snd.data, s.size() * 2);
        return s;
    }
    // Everything from the current position on, in loads of `chunk` frames.
    Samples LoadToEnd(int32_t chunk) {
        Samples all;
        for (;;) {
            const Samples part = Load(h.position, true, chunk);
            if (part.empty()) break;
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }
    TempDir dir;
    QOggHandle h{};
    Qsnd snd{};
};

}  // namespace

TEST_F(OggTest, DecodesWhatTheReferenceDecoderDecodes) {
    ASSERT_TRUE(test::MakeOggFixture(dir, "st", 44100, 2, "3 sine 440 pinknoise"));
    const Samples ref = ReadRaw(dir.file("st.raw"));
    ASSERT_EQ(Open(dir.file("st.ogg")), kOk);
    EXPECT_EQ(h.format.channels, 2);
    EXPECT_EQ(h.format.samplesPerSec, 44100u);
    EXPECT_EQ(int64_t{h.total} * 2, static_cast<int64_t>(ref.size()));
    EXPECT_EQ(std::string(h.fileName), dir.file("st.ogg"));
    EXPECT_EQ(h.writeMode, 0);

    // Loads of an odd size, each reading on from the last.
    EXPECT_TRUE(WithinOneLsb(LoadToEnd(1237), ref));
    EXPECT_EQ(h.position, h.total);

    // A load that meets the end returns what is left; at the end, nothing.
    const int32_t left = 1000;
    EXPECT_TRUE(WithinOneLsb(Load(h.total - left, false, 4 * left),
                             Span(ref, 2 * size_t(h.total - left), ref.size())));
    EXPECT_EQ(snd.samples, left);
    EXPECT_EQ(snd.format.blockAlign, 4);
    EXPECT_TRUE(Load(h.total, false, 100).empty());
    EXPECT_EQ(snd.samples, 0);
}

TEST_F(OggTest, LoadAfterAnySeekMatchesTheStraightDecode) {
    ASSERT_TRUE(test::MakeOggFixture(dir, "st", 44100, 2, "4 sine 440 pinknoise"));
    ASSERT_EQ(Open(dir.file("st.ogg")), kOk);
    const Samples straight = LoadToEnd(44100);
    ASSERT_EQ(straight.size(), 2 * size_t(h.total));

    std::mt19937 rng(19);
    std::vector<int32_t> starts = {0, 1, h.total - 44100, h.total - 7, h.total - 1, 0};
    for (int i = 0; i < 12; ++i) starts.push_back(static_cast<int32_t>(rng() % h.total));
    for (int32_t s : starts) {
        const Samples got = Load(s, false, 44100);
        EXPECT_EQ(got, Span(straight, 2 * size_t(s), 2 * (size_t(s) + 44100))) << "from " << s;
        EXPECT_EQ(h.position, std::min(s + 44100, h.total));
    }

    // A seek alone lands where it was asked, and a continued load reads on from there.
    OggSeek(h, 5000);
    EXPECT_EQ(h.position, 5000);
    EXPECT_EQ(Load(5000, true, 300), Span(straight, 10000, 10600));
    // Places that cannot be reached leave the position, and a load from them delivers nothing.
    for (int32_t s : {-1, h.total + 1, BAD_HANDLE}) {
        OggSeek(h, s);
        EXPECT_EQ(h.position, 5300) << s;
        EXPECT_TRUE(Load(s, false, 100).empty()) << s;
        EXPECT_EQ(h.position, 5300) << s;
    }
    EXPECT_EQ(Load(5300, true, 300), Span(straight, 10600, 11200));
}

TEST_F(OggTest, ContinuedLoadAtThePositionReadsOnWithoutSeeking) {
    ASSERT_TRUE(test::MakeOggFixture(dir, "st", 44100, 2, "2 sine 440 pinknoise"));
    const Samples ref = ReadRaw(dir.file("st.raw"));
    ASSERT_EQ(Open(dir.file("st.ogg")), kOk);
    EXPECT_TRUE(WithinOneLsb(Load(1000, false, 500), Span(ref, 2000, 3000)));
    ASSERT_EQ(h.position, 1500);
    // Pretend the stream stands elsewhere: a continued load from there does not seek, so the
    // decoder carries on from frame 1500.
    h.position = 30000;
    EXPECT_TRUE(WithinOneLsb(Load(30000, true, 500), Span(ref, 3000, 4000)));
    EXPECT_EQ(h.position, 30500);
    // Without the continue flag, or at another start, the load seeks.
    EXPECT_TRUE(WithinOneLsb(Load(30500, false, 500), Span(ref, 61000, 62000)));
    EXPECT_TRUE(WithinOneLsb(Load(100, true, 500), Span(ref, 200, 1200)));
}

TEST_F(OggTest, MonoStreamAndInformation) {
    ASSERT_TRUE(test::MakeOggFixture(dir, "mono", 22050, 1, "1.5 sine 300"));
    const Samples ref = ReadRaw(dir.file("mono.raw"));
    ASSERT_EQ(Open(dir.file("mono.ogg")), kOk);
    EXPECT_EQ(h.format.formatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(h.format.samplesPerSec, 22050u);
    EXPECT_EQ(h.format.channels, 1);
    EXPECT_EQ(h.format.bitsPerSample, 16);
    EXPECT_EQ(h.format.blockAlign, 2);
    EXPECT_EQ(h.format.avgBytesPerSec, 44100u);
    EXPECT_EQ(h.total, static_cast<int32_t>(ref.size()));
    EXPECT_TRUE(WithinOneLsb(LoadToEnd(999), ref));

    QffInfo info;
    FFClearInfo(info);
    ASSERT_EQ(Try([&] { OggInfo(dir.file("mono.ogg"), info); }), kOk);
    EXPECT_EQ(info.fileSize, static_cast<double>(ReadFileBytes(dir.file("mono.ogg")).size()));
    EXPECT_EQ(std::memcmp(&info.soundFormat, &h.format, sizeof h.format), 0);
    EXPECT_EQ(std::memcmp(&info.playFormat, &h.format, sizeof h.format), 0);
    EXPECT_EQ(info.soundSamples, h.total);
    EXPECT_EQ(info.soundCompression, "Ogg Vorbis audio codec");
    EXPECT_EQ(info.hasSound, FFBool(true));
    EXPECT_EQ(info.soundSupported, FFBool(true));
    EXPECT_EQ(info.hasVideo, 0);
    EXPECT_EQ(info.frames, 0);
}

TEST_F(OggTest, FilesThatAreNotOggVorbisCannotBeOpened) {
    ASSERT_TRUE(test::MakeOggFixture(dir, "st", 8000, 1, "0.5 sine 440"));
    WriteFileBytes(dir.file("empty.ogg"), "");
    WriteFileBytes(dir.file("text.ogg"), std::string(5000, 'x'));
    const std::string ogg = ReadFileBytes(dir.file("st.ogg"));
    WriteFileBytes(dir.file("headless.ogg"), ogg.substr(PageStarts(ogg)[3]));  // no headers
    ASSERT_TRUE(test::RunQuiet("mkfifo '" + dir.file("pipe.ogg") + "'"));
    for (const std::string name :
         {"missing.ogg", "empty.ogg", "text.ogg", "st.wav", "headless.ogg", "pipe.ogg", ""}) {
        const std::string path = dir.file(name);
        EXPECT_EQ(Open(path), kCannotOpen) << name;
        EXPECT_EQ(ErrLastText(), "Cannot open movie file.");
        EXPECT_TRUE(IsZero(h)) << name;
        QffInfo info;
        FFClearInfo(info);
        EXPECT_EQ(Try([&] { OggInfo(path, info); }), kCannotOpen) << name;
        EXPECT_EQ(info.hasSound, 0);
        ExpectBalanced(name);
    }
    // A closed handle loads nothing and closes again quietly.
    EXPECT_TRUE(Load(0, false, 100).empty());
    OggSeek(h, 0);
    OggClose(h);
    EXPECT_TRUE(IsZero(h));
}

// A rate or channel count out of range is refused at the open, even where the library takes
// it; the checksums are mended so that only the field itself is wrong.
TEST_F(OggTest, FormatOutOfRangeIsRefused) {
    ASSERT_TRUE(test::MakeOggFixture(dir, "st", 8000, 1, "0.5 sine 440"));
    const std::string ogg = ReadFileBytes(dir.file("st.ogg"));
    // The identification packet starts the first page body: type, "vorbis", version (4),
    // channels (1), rate (4).
    const size_t body = 27 + static_cast<uint8_t>(ogg[26]);
    ASSERT_EQ(ogg.compare(body + 1, 6, "vorbis"), 0);
    struct Case {
        const char* name;
        size_t offset;
        std::string bytes;
    } const cases[] = {
        {"rate 1000000", body + 12, std::string("\x40\x42\x0F\x00", 4)},
        {"no channels", body + 11, std::string(1, '\0')},
    };
    std::string same = ogg;  // the mending alone leaves a good file
    FixChecksums(same);
    WriteFileBytes(dir.file("same.ogg"), same);
    EXPECT_EQ(Open(dir.file("same.ogg")), kOk);
    for (const Case& c : cases) {
        std::string bad = ogg;
        bad.replace(c.offset, c.bytes.size(), c.bytes);
        FixChecksums(bad);
        WriteFileBytes(dir.file("bad.ogg"), bad);
        EXPECT_EQ(Open(dir.file("bad.ogg")), kCannotOpen) << c.name;
        ExpectBalanced(c.name);
    }
}

// Truncated and damaged files either fail to open with the reader's error or give a sound no
// longer than the file claims; nothing is left behind either way.
TEST_F(OggTest, DamagedFilesFailCleanlyOrGiveShorterSound) {
    ASSERT_TRUE(test::MakeOggFixture(dir, "st", 22050, 2, "1 sine 440 pinknoise"));
    const std::string ogg = ReadFileBytes(dir.file("st.ogg"));
    const std::vector<size_t> pages = PageStarts(ogg);
    ASSERT_GE(pages.size(), 5u);
    const size_t damaged = std::min(ogg.size(), pages[4] + 64);

    std::vector<std::pair<std::string, std::string>> variants;
    for (size_t n = 0; n < ogg.size(); n += (n < damaged ? 23 : 211))
        variants.emplace_back("cut at " + std::to_string(n), ogg.substr(0, n));
    std::mt19937 rng(5);
    for (size_t at = 0; at < damaged; at += 1 + rng() % 60) {
        std::string bad = ogg;
        bad[at] = static_cast<char>(bad[at] ^ (1 << (rng() % 8)));
        variants.emplace_back("flip at " + std::to_string(at), bad);
        // The same with the checksums mended: the damage reaches the decoder.
        FixChecksums(bad);
        variants.emplace_back("mended flip at " + std::to_string(at), bad);
        std::string worse = ogg;
        for (size_t i = at; i < std::min(at + 16, ogg.size()); ++i)
            worse[i] = static_cast<char>(rng());
        FixChecksums(worse);
        variants.emplace_back("mended noise at " + std::to_string(at), worse);
    }

    int32_t opened = 0;
    for (const auto& [name, bytes] : variants) {
        WriteFileBytes(dir.file("bad.ogg"), bytes);
        const auto err = Open(dir.file("bad.ogg"));
        if (err != kOk) {
            EXPECT_EQ(err, kCannotOpen) << name;
            ExpectBalanced(name);
            continue;
        }
        ++opened;
        EXPECT_GE(h.format.channels, 1) << name;
        const Samples all = LoadToEnd(4096);
        EXPECT_LE(all.size(), size_t(h.total) * h.format.channels) << name;
        for (int32_t s : {h.total / 2, 0, h.total}) Load(s, false, 2048);
        OggClose(h);
        SndFree(snd);
        ExpectBalanced(name);
        QffInfo info;
        FFClearInfo(info);
        const auto infoErr = Try([&] { OggInfo(dir.file("bad.ogg"), info); });
        EXPECT_TRUE(infoErr == kOk || infoErr == kCannotOpen) << name;
        ExpectBalanced(name);
    }
    // A cut inside the last page keeps the file open with a shorter sound.
    EXPECT_GT(opened, 0);
    WriteFileBytes(dir.file("cut.ogg"), ogg.substr(0, pages[pages.size() - 2] + 100));
    ASSERT_EQ(Open(dir.file("cut.ogg")), kOk);
    const Samples part = LoadToEnd(4096);
    EXPECT_GT(part.size(), 0u);
    EXPECT_LT(part.size(), ReadRaw(dir.file("st.raw")).size());
}
