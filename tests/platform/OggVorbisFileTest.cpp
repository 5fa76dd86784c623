// The Ogg Vorbis library layer on its own: chained files, lost pages, the caller's buffers and
// state block, and what is left open after failures. The reader's tests cover decoding at large.

#include "platform/OggVorbisFile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace kelvora;
using kelvora::test::ReadFileBytes;
using kelvora::test::TempDir;
using kelvora::test::WriteFileBytes;

namespace {

// Recomputes every page's checksum, so that damage inside a page reaches the codec.
void FixChecksums(std::string& ogg) {
    for (size_t at = 0; at + 27 <= ogg.size();) {
        size_t size = 27 + static_cast<uint8_t>(ogg[at + 26]);
        for (size_t i = 0; i < static_cast<uint8_t>(ogg[at + 26]); ++i)
            size += static_cast<uint8_t>(ogg[at + 27 + i]);
        if (at + size > ogg.size()) break;
        std::memset(&ogg[at + 22], 0, 4);
        uint32_t crc = 0;
        for (size_t i = at; i < at + size; ++i) {
            crc ^= uint32_t{static_cast<uint8_t>(ogg[i])} << 24;
            for (int k = 0; k < 8; ++k)
                crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        for (int i = 0; i < 4; ++i) ogg[at + 22 + i] = static_cast<char>(crc >> (8 * i));
        at += size;
    }
}

int32_t OpenFds() {
    int32_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

// A state block at an odd address with guard bytes on both sides.
struct Block {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(OV_STATE_BYTES + 64, 0xA5);
    Block() { std::memset(state(), 0, OV_STATE_BYTES); }
    void* state() { return bytes.data() + 33; }
    bool GuardsIntact() const {
        for (size_t i = 0; i < bytes.size(); ++i)
            if ((i < 33 || i >= 33 + OV_STATE_BYTES) && bytes[i] != 0xA5) return false;
        return true;
    }
};

// Everything the stream delivers as 16-bit little-endian signed bytes; the links seen.
std::string ReadAll(void* state, std::vector<int32_t>* links = nullptr) {
    std::string all;
    char buf[5000];
    int32_t link = -1;
    long n;
    while ((n = ov_read(state, buf, sizeof buf, 0, 2, 1, &link)) > 0) {
        all.append(buf, static_cast<size_t>(n));
        if (links && (links->empty() || links->back() != link)) links->push_back(link);
    }
    EXPECT_EQ(n, 0);
    return all;
}

::testing::AssertionResult WithinOneLsb(const std::string& got, const std::string& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " bytes against " << want.size();
    std::vector<int16_t> a(got.size() / 2), b(want.size() / 2);
    std::memcpy(a.data(), got.data(), got.size());
    std::memcpy(b.data(), want.data(), want.size());
    for (size_t i = 0; i < a.size(); ++i)
        if (std::abs(a[i] - b[i]) > 1) return ::testing::AssertionFailure() << "sample " << i;
    return ::testing::AssertionSuccess();
}

struct OggVorbisFileTest : ::testing::Test {
    void SetUp() override {
        if (!test::HaveTools({"sox", "oggenc", "oggdec"}))
            GTEST_SKIP() << "sox, oggenc or oggdec is missing";
        ASSERT_TRUE(test::MakeOggFixture(dir, "a", 44100, 2, "3 sine 440 pinknoise"));
        ASSERT_TRUE(test::MakeOggFixture(dir, "b", 44100, 2, "0.5 sine 880 sine 220"));
        ASSERT_TRUE(test::MakeOggFixture(dir, "m", 22050, 1, "0.5 sine 300"));
    }
    void TearDown() override {
        ov_clear_2(file, block.state());
        EXPECT_TRUE(block.GuardsIntact());
    }
    std::string Bytes(const std::string& name) { return ReadFileBytes(dir.file(name)); }
    int32_t Open(const std::string& content) {
        ov_clear_2(file, block.state());
        WriteFileBytes(dir.file("x.ogg"), content);
        return ov_open_2(file, dir.file("x.ogg").c_str(), block.state(), nullptr, 0);
    }
    TempDir dir;
    Block block;
    void* file = nullptr;
};

}  // namespace

TEST_F(OggVorbisFileTest, ChainedLinksPlayOnOnlyWhileTheFormatHolds) {
    const std::string a = Bytes("a.ogg"), b = Bytes("b.ogg"), m = Bytes("m.ogg");
    const std::string refA = Bytes("a.raw"), refB = Bytes("b.raw"), refM = Bytes("m.raw");

    ASSERT_EQ(Open(a + b), 0);
    EXPECT_EQ(ov_pcm_total(block.state(), -1), int64_t(refA.size() + refB.size()) / 4);
    EXPECT_EQ(ov_pcm_total(block.state(), 1), int64_t(refB.size()) / 4);
    std::vector<int32_t> links;
    EXPECT_TRUE(WithinOneLsb(ReadAll(block.state(), &links), refA + refB));
    EXPECT_EQ(links, (std::vector<int32_t>{0, 1}));

    // A mono link after the first ends the stream there, and nothing after it is played.
    ASSERT_EQ(Open(a + m + b), 0);
    EXPECT_EQ(ov_info(block.state(), -1).channels, 2);
    EXPECT_EQ(ov_info(block.state(), 1).channels, 0);
    EXPECT_LT(ov_pcm_total(block.state(), 1), 0);
    EXPECT_EQ(ov_pcm_total(block.state(), -1), int64_t(refA.size()) / 4);
    EXPECT_TRUE(WithinOneLsb(ReadAll(block.state()), refA));
    EXPECT_LT(ov_pcm_seek(block.state(), ov_pcm_total(block.state(), -1) + 1), 0);
    // The end itself can be reached, and reads nothing.
    EXPECT_EQ(ov_pcm_seek(block.state(), ov_pcm_total(block.state(), -1)),
              ov_pcm_total(block.state(), -1));
    EXPECT_EQ(ReadAll(block.state()), "");

    ASSERT_EQ(Open(m + a), 0);
    EXPECT_EQ(ov_info(block.state(), -1).channels, 1);
    EXPECT_EQ(ov_info(block.state(), 0).rate, 22050);
    EXPECT_TRUE(WithinOneLsb(ReadAll(block.state()), refM));
}

TEST_F(OggVorbisFileTest, ReadingGoesOnAfterALostPage) {
    const std::string a = Bytes("a.ogg");
    std::vector<size_t> starts;
    for (size_t at = 0; at + 27 <= a.size();) {
        starts.push_back(at);
        size_t size = 27 + static_cast<uint8_t>(a[at + 26]);
        for (size_t i = 0; i < static_cast<uint8_t>(a[at + 26]); ++i)
            size += static_cast<uint8_t>(a[at + 27 + i]);
        at += size;
    }
    ASSERT_GE(starts.size(), 6u);  // three header pages on two, and audio pages after them
    const size_t lost = starts[starts.size() / 2 + 1];
    const size_t next = starts[starts.size() / 2 + 2];
    int64_t before = 0;  // the granule position of the page before the lost one
    for (int i = 7; i >= 0; --i)
        before = (before << 8) | static_cast<uint8_t>(a[starts[starts.size() / 2] + 6 + i]);

    ASSERT_EQ(Open(a.substr(0, lost) + a.substr(next)), 0);
    const std::string all = ReadAll(block.state());
    EXPECT_GT(int64_t(all.size()) / 4, before + 4096);  // more than what came before the hole
    EXPECT_LT(all.size(), Bytes("a.raw").size());
}

TEST_F(OggVorbisFileTest, ReadsWholeFramesIntoTheBufferGiven) {
    ASSERT_EQ(Open(Bytes("a.ogg")), 0);
    char buf[64];
    std::memset(buf, 0x5A, sizeof buf);
    int32_t link = -1;
    EXPECT_LT(ov_read(block.state(), buf, 3, 0, 2, 1, &link), 0);  // less than one frame
    EXPECT_LT(ov_read(block.state(), buf, 64, 0, 3, 1, &link), 0);
    EXPECT_EQ(ov_read(block.state(), buf, 7, 0, 2, 1, &link), 4);
    EXPECT_EQ(link, 0);
    EXPECT_EQ(buf[4], 0x5A);
    EXPECT_EQ(ov_read(block.state(), buf, 63, 0, 1, 0, nullptr), 62);  // 8-bit, one byte short
    EXPECT_EQ(buf[62], 0x5A);
}

TEST_F(OggVorbisFileTest, NothingStaysOpenAfterFailuresAndClears) {
    const int32_t fds = OpenFds();
    // A cleared or never opened state, and no file: nothing to do.
    ov_clear_2(file, block.state());
    ov_clear_2(file, nullptr);
    char buf[16];
    EXPECT_LT(ov_read(block.state(), buf, 16, 0, 2, 1, nullptr), 0);

    ASSERT_TRUE(test::RunQuiet("mkfifo '" + dir.file("pipe") + "'"));
    for (const std::string name : {"missing.ogg", "a.wav", "pipe", ""}) {
        EXPECT_LT(ov_open_2(file, dir.file(name).c_str(), block.state(), nullptr, 0), 0) << name;
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(ov_info(block.state(), -1).channels, 0);
    }
    EXPECT_LT(ov_open_2(file, nullptr, block.state(), nullptr, 0), 0);
    EXPECT_LT(ov_open_2(file, dir.file("a.ogg").c_str(), nullptr, nullptr, 0), 0);
    EXPECT_EQ(OpenFds(), fds);

    // Opening again over an open state releases the first stream; the bytes already read from
    // the start of the file count as its beginning.
    const std::string head = Bytes("a.ogg").substr(0, 100);
    ASSERT_EQ(ov_open_2(file, dir.file("b.ogg").c_str(), block.state(), nullptr, 0), 0);
    ASSERT_EQ(ov_open_2(file, dir.file("a.ogg").c_str(), block.state(), head.data(),
                        static_cast<long>(head.size())),
              0);
    EXPECT_EQ(OpenFds(), fds + 1);
    EXPECT_TRUE(WithinOneLsb(ReadAll(block.state()), Bytes("a.raw")));
    ov_clear_2(file, block.state());
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(OpenFds(), fds);
}

// A second link whose codebooks the library takes but cannot set its decoder up from: the read
// that reaches it fails, and the stream stays ended, because a second set-up would build on
// the half-made tables of the first (a division by zero inside the library).
TEST_F(OggVorbisFileTest, AFailureEndsTheStreamForGood) {
    const std::string a = Bytes("a.ogg"), b = Bytes("b.ogg");
    std::string bad;
    std::mt19937 rng(3);
    for (int tries = 0; tries < 2000 && bad.empty(); ++tries) {
        std::string v = b;
        const size_t at = 200 + rng() % 3000;  // inside the codebooks of the setup header
        v[at] = static_cast<char>(v[at] ^ (1 << (rng() % 8)));
        FixChecksums(v);
        WriteFileBytes(dir.file("v.ogg"), v);
        OggVorbis_File vf;
        if (::ov_fopen(dir.file("v.ogg").c_str(), &vf) != 0) continue;  // headers refused
        ::ov_clear(&vf);
        void* f = nullptr;
        Block probe;
        if (ov_open_2(f, dir.file("v.ogg").c_str(), probe.state(), nullptr, 0) < 0) bad = v;
        ov_clear_2(f, probe.state());
    }
    ASSERT_FALSE(bad.empty()) << "no damage of the kind found";

    ASSERT_EQ(Open(a + bad), 0);
    std::string all;
    char buf[4096];
    long n;
    while ((n = ov_read(block.state(), buf, sizeof buf, 0, 2, 1, nullptr)) > 0) all.append(buf, n);
    EXPECT_LT(n, 0);  // the decoder of the second link could not be set up
    EXPECT_TRUE(WithinOneLsb(all, Bytes("a.raw")));
    EXPECT_LT(ov_pcm_seek(block.state(), 0), 0);
    EXPECT_EQ(ov_read(block.state(), buf, sizeof buf, 0, 2, 1, nullptr), 0);
}
