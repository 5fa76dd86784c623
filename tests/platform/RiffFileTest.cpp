#include "platform/RiffFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "support/TestSupport.h"

namespace kelvora {
namespace {

using test::TempDir;
using test::WriteFileBytes;

std::string U32(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

// One chunk: identifier, size, data and the pad byte an odd size asks for.
std::string Chunk(const std::string& id, const std::string& data) {
    return id + U32(static_cast<uint32_t>(data.size())) + data +
           (data.size() % 2 ? std::string(1, '\0') : "");
}

// A wave file whose data chunk follows an odd-sized LIST chunk (with its pad byte).
std::string WaveWithList() {
    const std::string body = "WAVE" + Chunk("fmt ", std::string(16, 'f')) +
                             Chunk("LIST", "INFOabc") + Chunk("data", "0123456789");
    return "RIFF" + U32(static_cast<uint32_t>(body.size())) + body;
}

struct RiffFileTest : ::testing::Test {
    void Open(const std::string& bytes) {
        WriteFileBytes(dir.file("f.wav"), bytes);
        file = mmioOpenA(dir.file("f.wav"), nullptr, MMIO_READ);
        ASSERT_NE(file, nullptr);
    }
    void TearDown() override {
        if (file) {
            EXPECT_EQ(mmioClose(file, 0), 0);
        }
    }
    TempDir dir;
    HMMIO file = nullptr;
};

TEST_F(RiffFileTest, FindsChunksPastOddSizedOnesInsideTheirParent) {
    Open(WaveWithList());
    MMCKINFO riff{};
    riff.fccType = MmioFourCC('W', 'A', 'V', 'E');
    ASSERT_EQ(mmioDescend(file, riff, nullptr, MMIO_FINDRIFF), 0);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.dwDataOffset, 8);
    EXPECT_EQ(mmioSeek(file, 0, MMIO_SEEK_CUR), 12);  // after the form type

    // The data chunk is found past "fmt " and the LIST chunk with its pad byte.
    MMCKINFO data{};
    data.ckid = MmioFourCC('d', 'a', 't', 'a');
    ASSERT_EQ(mmioDescend(file, data, &riff, MMIO_FINDCHUNK), 0);
    EXPECT_EQ(data.cksize, 10u);
    EXPECT_EQ(data.dwDataOffset, 12 + 24 + 16 + 8);
    char bytes[16] = {};
    EXPECT_EQ(mmioRead(file, bytes, 16), 10);  // the end of the file
    EXPECT_EQ(std::string(bytes, 10), "0123456789");
    EXPECT_EQ(mmioRead(file, bytes, 4), 0);

    // A LIST is found by its form type; walking without a search takes the chunks in order.
    ASSERT_EQ(mmioSeek(file, 12, MMIO_SEEK_SET), 12);
    MMCKINFO list{};
    list.fccType = MmioFourCC('I', 'N', 'F', 'O');
    ASSERT_EQ(mmioDescend(file, list, &riff, MMIO_FINDLIST), 0);
    EXPECT_EQ(list.cksize, 7u);
    EXPECT_EQ(mmioSeek(file, 0, MMIO_SEEK_CUR), list.dwDataOffset + 4);
    ASSERT_EQ(mmioAscend(file, list, 0), 0);
    EXPECT_EQ(mmioSeek(file, 0, MMIO_SEEK_CUR), list.dwDataOffset + 8);  // 7 bytes and the pad
    MMCKINFO next{};
    ASSERT_EQ(mmioDescend(file, next, &riff, 0), 0);
    EXPECT_EQ(next.ckid, data.ckid);
    ASSERT_EQ(mmioAscend(file, next, 0), 0);
    EXPECT_EQ(mmioDescend(file, next, &riff, 0), MMIOERR_CHUNKNOTFOUND);

    // A chunk that is not there, or a form type that differs, is not found.
    ASSERT_EQ(mmioSeek(file, 12, MMIO_SEEK_SET), 12);
    MMCKINFO cue{};
    cue.ckid = MmioFourCC('c', 'u', 'e', ' ');
    EXPECT_EQ(mmioDescend(file, cue, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    ASSERT_EQ(mmioSeek(file, 0, MMIO_SEEK_SET), 0);
    MMCKINFO avi{};
    avi.fccType = MmioFourCC('A', 'V', 'I', ' ');
    EXPECT_EQ(mmioDescend(file, avi, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
}

TEST_F(RiffFileTest, SearchStopsAtTheParentsEnd) {
    // The parent declares only its first chunk; the "data" chunk after it is outside.
    const std::string inner = "WAVE" + Chunk("fmt ", std::string(16, 'f'));
    Open("RIFF" + U32(static_cast<uint32_t>(inner.size())) + inner + Chunk("data", "xy"));
    MMCKINFO riff{};
    ASSERT_EQ(mmioDescend(file, riff, nullptr, 0), 0);
    EXPECT_EQ(riff.fccType, MmioFourCC('W', 'A', 'V', 'E'));
    MMCKINFO data{};
    data.ckid = MmioFourCC('d', 'a', 't', 'a');
    EXPECT_EQ(mmioDescend(file, data, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    // Without the parent the search goes on to the end of the file.
    ASSERT_EQ(mmioSeek(file, 12, MMIO_SEEK_SET), 12);
    EXPECT_EQ(mmioDescend(file, data, nullptr, MMIO_FINDCHUNK), 0);
}

TEST_F(RiffFileTest, DamagedAndTruncatedHeadersAreNotFound) {
    // A cut header, a RIFF chunk without its form type, and a size that runs past the file:
    // the search ends without reading outside the file.
    for (const std::string& bytes :
         {std::string("RIFF\x10\x00", 6), std::string("RIFF\x04\x00\x00\x00WA", 10),
          "RIFF" + U32(4) + "WAVE" + "fmt " + U32(0xFFFFFFF0u) + "abc"}) {
        Open(bytes);
        MMCKINFO ck{};
        ck.ckid = MmioFourCC('d', 'a', 't', 'a');
        EXPECT_EQ(mmioDescend(file, ck, nullptr, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
        // The declared size is reported as it stands; reads stop at the end of the file.
        ASSERT_EQ(mmioSeek(file, 0, MMIO_SEEK_SET), 0);
        char buffer[64];
        EXPECT_EQ(mmioRead(file, buffer, 64), static_cast<int32_t>(bytes.size()));
        EXPECT_EQ(mmioClose(file, 0), 0);
        file = nullptr;
    }
    Open("RIFF" + U32(4) + "WAVE" + "fmt " + U32(0xFFFFFFF0u) + "abc");
    MMCKINFO riff{};
    ASSERT_EQ(mmioDescend(file, riff, nullptr, 0), 0);
    MMCKINFO fmt{};
    ASSERT_EQ(mmioDescend(file, fmt, nullptr, 0), 0);
    EXPECT_EQ(fmt.cksize, 0xFFFFFFF0u);
    EXPECT_EQ(mmioSeek(file, -1, MMIO_SEEK_SET), -1);
}

TEST_F(RiffFileTest, ReadsAcrossTheBufferAndRefusesWhatIsNoFile) {
    // More than one buffer of data: small reads across the refill and one large read agree.
    std::string payload(200000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    Open(Chunk("data", payload));
    MMCKINFO ck{};
    ASSERT_EQ(mmioDescend(file, ck, nullptr, 0), 0);
    std::string small;
    char piece[1000];
    for (int32_t n; (n = mmioRead(file, piece, 997)) > 0;)
        small.append(piece, static_cast<size_t>(n));
    EXPECT_TRUE(small == payload);
    std::string large(payload.size(), '\0');
    ASSERT_EQ(mmioSeek(file, ck.dwDataOffset, MMIO_SEEK_SET), 8);
    EXPECT_EQ(mmioRead(file, large.data(), static_cast<int32_t>(large.size())),
              static_cast<int32_t>(payload.size()));
    EXPECT_TRUE(large == payload);
    EXPECT_EQ(mmioSeek(file, -4, MMIO_SEEK_END), static_cast<int64_t>(payload.size()) + 4);

    EXPECT_EQ(mmioOpenA(dir.file("missing.wav"), nullptr, MMIO_READ), nullptr);
    EXPECT_EQ(mmioOpenA(dir.path(), nullptr, MMIO_READ), nullptr);  // a folder
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    EXPECT_EQ(mmioOpenA(dir.file("pipe"), nullptr, MMIO_READ), nullptr);  // no hang on a pipe
}

}  // namespace
}  // namespace kelvora
