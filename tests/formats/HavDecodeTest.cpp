// Token-level behaviour of the HAV codecs, and the frame-record faults that must be refused.

#include "formats/HavDecode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

namespace {

using Bytes = std::vector<uint8_t>;

// Packs a string of '0' and '1' (other characters ignored) into bytes, most significant bit first.
Bytes Bits(const std::string& text) {
    Bytes out;
    int32_t n = 0;
    for (char c : text) {
        if (c != '0' && c != '1') continue;
        if (n % 8 == 0) out.push_back(0);
        if (c == '1') out.back() |= static_cast<uint8_t>(0x80 >> (n % 8));
        ++n;
    }
    return out;
}

std::string Bin(uint32_t v, int32_t bits) {
    std::string s;
    for (int32_t i = bits - 1; i >= 0; --i) s += (v >> i) & 1 ? '1' : '0';
    return s;
}

// The length code as its table gives it.
std::string Len(int32_t v) {
    return v >= 256 ? "0000000" + Bin(v - 256, 9) : Bin(v, HavLenBits(v));
}

const std::string kBestEnd = "000111 000000";

// BEST tokens as bits.
std::string Lit(uint8_t b) { return "11" + Bin(b, 8); }
std::string Match(int32_t cls, int32_t d, int32_t len) {
    return Bin(HAV_BEST_MATCH + cls * 64 + d, 12) + Len(len);
}
std::string LongSkip(int32_t n) {  // n >= HAV_LONG_SKIP_MIN
    return Bin(HAV_BEST_LONG | ((n + 62) % 64), 12) + Len((n + 62) / 64);
}

int32_t Size(const Bytes& b) { return static_cast<int32_t>(b.size()); }
const std::string kFastEnd = "0111 000000";

struct BandCase {
    const char* name;
    bool fast;
    int32_t bytesPP;
    int32_t stride;
    int32_t rows;
    std::string bits;
    Bytes expected;  // the whole buffer after decoding (it starts filled with 0xAA)
};

}  // namespace

TEST(HavDecode, LengthCodeFollowsItsTable) {
    const std::pair<int32_t, const char*> table[] = {
        {2, "10"},
        {3, "11"},
        {4, "0100"},
        {7, "0111"},
        {8, "001000"},
        {15, "001111"},
        {16, "00010000"},
        {31, "00011111"},
        {32, "0000100000"},
        {64, "000001000000"},
        {128, "00000010000000"},
        {255, "00000011111111"},
        {256, "0000000000000000"},
        {767, "0000000111111111"},
    };
    for (const auto& [value, code] : table) EXPECT_EQ(Len(value), code) << value;
    // Every value decodes back as the length of a FAST run of one byte.
    for (int32_t v = HAV_LEN_MIN; v <= HAV_LEN_MAX; ++v) {
        const Bytes data = Bits("00" + Bin(7, 8) + Len(v) + kFastEnd);
        Bytes buf(static_cast<size_t>(v), 0);
        ASSERT_TRUE(HavDecodeBand(data.data(), static_cast<int32_t>(data.size()), buf.data(), v, 0,
                                  v, v, 1, true))
            << v;
        EXPECT_EQ(buf, Bytes(static_cast<size_t>(v), 7)) << v;
    }
}

TEST(HavDecode, TokenExamples) {
    const BandCase cases[] = {
        // The first FAST token 1000000000 is a literal 0x00 of 9 bits; then a literal 0x01, a run
        // of 5 of length 2, end of band.
        {"fast literal",
         true,
         1,
         4,
         1,
         "1 00000000"
         "1 00000001"
         "00 00000101"
         "10" +
             kFastEnd,
         {0, 1, 5, 5}},
        // A run of length 2 of a 3-byte pixel whose stream bytes are 0x10, 0x20, 0x30.
        {"best run 3 bytes",
         false,
         3,
         6,
         1,
         "0000 00010000"
         "00100000"
         "00110000"
         "10" +
             kBestEnd,
         {0x10, 0x30, 0x20, 0x10, 0x30, 0x20}},
        // A 2-byte pixel travels high byte first and lands little-endian.
        {"fast run 2 bytes",
         true,
         2,
         4,
         1,
         "00 00010010"
         "00110100"
         "10" +
             kFastEnd,
         {0x34, 0x12, 0x34, 0x12}},
        // Copies from the row above, FAST (9 bits) and BEST (12 bits); a skip keeps bytes.
        {"fast copy above",
         true,
         1,
         3,
         2,
         "1 00000001"
         "1 00000010"
         "1 00000011"
         "010 000001" +
             kFastEnd,
         {1, 2, 3, 1, 2, 3}},
        {"best copy and skip",
         false,
         1,
         4,
         2,
         "11 00000001"
         "11 00000010"
         "11 00000011"
         "11 00000100"
         "0001 0 0000000"
         "000110 000000" +
             kBestEnd,
         {1, 2, 3, 4, 1, 2, 0xAA, 0xAA}},
        // A match of class 0, d = 62: two bytes back, copied byte by byte (overlapping its own output).
        {"best match overlapping",
         false,
         1,
         8,
         1,
         "11 00001001"
         "11 00001000" +
             Bin(0x600 + 62, 12) + Len(6) + kBestEnd,
         {9, 8, 9, 8, 9, 8, 9, 8}},
        // A match of class 12, d = 1: one row up and one byte to the right.
        {"best match row above right",
         false,
         1,
         4,
         2,
         "11 00000001"
         "11 00000010"
         "11 00000011"
         "11 00000100" +
             Bin(0x600 + 12 * 64 + 1, 12) + Len(3) + "11 00000000" + kBestEnd,
         {1, 2, 3, 4, 2, 3, 4, 0}},
    };
    for (const BandCase& c : cases) {
        const Bytes data = Bits(c.bits);
        const int32_t bytes = c.stride * c.rows;
        Bytes buf(static_cast<size_t>(bytes), 0xAA);
        ASSERT_TRUE(HavDecodeBand(data.data(), static_cast<int32_t>(data.size()), buf.data(), bytes,
                                  0, bytes, c.stride, c.bytesPP, c.fast))
            << c.name;
        EXPECT_EQ(buf, c.expected) << c.name;
    }
}

TEST(HavDecode, LongSkips) {
    // x = 0, v = 2 skips 66 bytes; x = 62, v = 2 skips 128; both codecs, then one literal.
    const struct {
        bool fast;
        uint32_t x;
        int32_t skipped;
    } cases[] = {{false, 0, 66}, {false, 62, 128}, {true, 0, 66}, {true, 62, 128}};
    for (const auto& c : cases) {
        const std::string bits = c.fast ? "0111" + Bin(c.x, 6) + Len(2) + "1 01010101" + kFastEnd
                                        : "000111" + Bin(c.x, 6) + Len(2) + "11 01010101" + kBestEnd;
        const Bytes data = Bits(bits);
        const int32_t bytes = c.skipped + 1;
        Bytes buf(static_cast<size_t>(bytes), 0xAA);
        ASSERT_TRUE(HavDecodeBand(data.data(), static_cast<int32_t>(data.size()), buf.data(), bytes,
                                  0, bytes, bytes, 1, c.fast));
        EXPECT_EQ(buf[c.skipped - 1], 0xAA);
        EXPECT_EQ(buf[c.skipped], 0x55);
    }
}

TEST(HavDecode, DictionaryIsCyclic) {
    // "AB", then 1024 matches copying the two bytes before them, a 1025th copying one byte back
    // ("BB"), then a repeat of entry 0: it now names the 1025th match.
    std::string bits =
        "11 01000001"
        "11 01000010";
    for (int32_t i = 0; i < 1024; ++i) bits += Bin(0x600 + 62, 12) + Len(2);
    bits += Bin(0x600 + 63, 12) + Len(2);
    bits += Bin(0x200, 12) + kBestEnd;
    const Bytes data = Bits(bits);
    const int32_t bytes = 2 + 1025 * 2 + 2;
    Bytes buf(static_cast<size_t>(bytes), 0);
    ASSERT_TRUE(HavDecodeBand(data.data(), static_cast<int32_t>(data.size()), buf.data(), bytes, 0,
                              bytes, bytes, 1, false));
    EXPECT_EQ(buf[bytes - 4], 'B');
    EXPECT_EQ(buf[bytes - 3], 'B');
    EXPECT_EQ(buf[bytes - 2], 'B');
    EXPECT_EQ(buf[bytes - 1], 'B');
}

TEST(HavDecode, BandFaultsAreRefused) {
    const struct {
        const char* name;
        bool fast;
        int32_t start;  // the band is buf[start, start + 4) of a 12-byte buffer with rows of 4
        std::string bits;
    } cases[] = {
        {"run past the band's end", true, 0, "00 00000001" + Len(5) + kFastEnd},
        {"copy above the image start", true, 0, "010 000000" + kFastEnd},
        {"match source before the image start", false, 4,
         Bin(0x600 + 23 * 64, 12) + Len(2) + kBestEnd},
        {"match source past the image end", false, 4,
         Bin(0x600 + 12 * 64 + 63, 12) + Len(2) + kBestEnd},
        {"repeat of an unwritten entry", false, 0, Bin(0x200 + 5, 12) + kBestEnd},
        {"long skip past the end", false, 0, "000111 000000" + Len(2) + kBestEnd},
        {"stream ends before end of band", true, 0, "1 00000001"},
        {"end of band before the band is full", false, 0,
         "11 00000001" + kBestEnd +
             "11 00000010"
             "11 00000011"
             "11 00000100"},
    };
    for (const auto& c : cases) {
        const Bytes data = Bits(c.bits);
        Bytes buf(12, 0);
        EXPECT_FALSE(HavDecodeBand(data.data(), static_cast<int32_t>(data.size()), buf.data(), 12,
                                   c.start, c.start + 4, 4, 1, c.fast))
            << c.name;
    }
}

TEST(HavDecode, PredictionRebuildsRunningSums) {
    const uint8_t diff[] = {1, 2, 3, 1, 1, 1, 255, 0};
    uint8_t pixels[8] = {};
    HavPredictRebuild(diff, pixels, 8);
    const uint8_t expected[] = {1, 2, 3, 2,
                                3, 4, 1, 3};  // sums wrap at 256; byte i adds to sum i mod 3
    EXPECT_EQ(0, std::memcmp(pixels, expected, 8));
}

TEST(HavDecode, PredictionRebuildAtEveryLengthAndAlignment) {
    // The vector steps take 48 bytes at a time from wherever the band starts; the lengths around
    // those steps and every start within 16 bytes must give the plain running sums, and write
    // nothing past the band.
    std::mt19937 rng(11);
    Bytes diff(400);
    for (uint8_t& b : diff) b = static_cast<uint8_t>(rng());
    for (int32_t bytes = 0; bytes <= 200; ++bytes)
        for (int32_t at = 0; at < 16; ++at) {
            Bytes pixels(static_cast<size_t>(at + bytes + 16), 0xAA);
            HavPredictRebuild(diff.data() + at, pixels.data() + at, bytes);
            Bytes want(pixels.size(), 0xAA);
            for (int32_t i = 0; i < bytes; ++i)
                want[at + i] = static_cast<uint8_t>((i >= 3 ? want[at + i - 3] : 0) + diff[at + i]);
            ASSERT_EQ(pixels, want) << bytes << " bytes at " << at;
        }
}

TEST(HavDecode, CopiesMatchTheByteByByteDefinition) {
    // A match of every gap from 1 to 64 bytes behind (class 0), at lengths around the widths of
    // the moves that copy it: an overlapping source repeats what the copy has just written.
    std::mt19937 rng(5);
    const int32_t lengths[] = {2, 3, 5, 7, 8, 9, 12, 15, 16, 17, 24, 31, 32, 33, 47, 100, 129, 767};
    Bytes lits(64);
    for (uint8_t& b : lits) b = static_cast<uint8_t>(rng());
    for (int32_t gap = 1; gap <= 64; ++gap)
        for (int32_t len : lengths) {
            std::string bits;
            for (uint8_t b : lits) bits += Lit(b);
            const Bytes data = Bits(bits + Match(0, 64 - gap, len) + kBestEnd);
            const int32_t end = 64 + len;
            Bytes buf(static_cast<size_t>(end), 0xAA);
            ASSERT_TRUE(
                HavDecodeBand(data.data(), Size(data), buf.data(), end, 0, end, 200, 1, false));
            Bytes want = lits;
            for (int32_t i = 0; i < len; ++i) want.push_back(want[64 + i - gap]);
            ASSERT_EQ(buf, want) << "gap " << gap << ", " << len << " bytes";
        }
    // A source ahead of the target (class 12 over 4-byte rows, d up to 63) reads the bytes
    // still there from before, as a forward byte copy would.
    for (int32_t d = 0; d < 64; ++d)
        for (int32_t len : lengths) {
            const int32_t end = 8 + len, size = end + 64;
            Bytes before(static_cast<size_t>(size));
            for (uint8_t& b : before) b = static_cast<uint8_t>(rng());
            Bytes buf = before;
            const Bytes data = Bits(Lit(0x01) + Match(12, d, len) + kBestEnd);
            ASSERT_TRUE(HavDecodeBand(data.data(), Size(data), buf.data(), size, 7, end, 4, 1, false));
            Bytes want = before;
            want[7] = 0x01;
            for (int32_t i = 0; i < len; ++i) want[8 + i] = want[8 - 4 + d + i];
            ASSERT_EQ(buf, want) << "d " << d << ", " << len << " bytes";
        }
}

TEST(HavDecode, RunsOfEveryPixelSizeAndCount) {
    // Runs of 16 pixels or more are written in wide stretches, shorter ones and the rest pixel
    // by pixel; the bytes after the run stay as they were.
    for (int32_t bpp = 1; bpp <= 3; ++bpp)
        for (int32_t count : {2, 3, 15, 16, 17, 31, 32, 33, 47, 48, 49, 100, 767}) {
            const std::string pixel = Bin(0x12, 12) + (bpp >= 2 ? Bin(0x34, 8) : "") +
                                      (bpp == 3 ? Bin(0x56, 8) : "");
            const Bytes data = Bits(pixel + Len(count) + kBestEnd);
            const int32_t end = count * bpp;
            Bytes buf(static_cast<size_t>(end + 20), 0xAA);
            ASSERT_TRUE(HavDecodeBand(data.data(), Size(data), buf.data(), end + 20, 0, end,
                                      end + 20, bpp, false));
            // In memory: 1 byte p0; 2 bytes p1 p0; 3 bytes p0 p2 p1.
            const Bytes unit = bpp == 1   ? Bytes{0x12}
                               : bpp == 2 ? Bytes{0x34, 0x12}
                                          : Bytes{0x12, 0x56, 0x34};
            Bytes want;
            for (int32_t i = 0; i < count; ++i) want.insert(want.end(), unit.begin(), unit.end());
            want.resize(buf.size(), 0xAA);
            ASSERT_EQ(buf, want) << bpp << " bytes, " << count << " pixels";
        }
}

namespace {

// A frame record built field by field.
struct Record {
    Bytes b;
    void U32(uint32_t v) {
        for (int32_t i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void Header(uint32_t chunks) {
        U32(0);
        U32(16);
        U32(chunks);
        U32(0);
    }
    void Palette(uint32_t first, const Bytes& rgb) {
        U32(HAV_CHUNK_PALETTE);
        U32(16);
        U32(static_cast<uint32_t>(rgb.size() / 3));
        U32(first);
        b.insert(b.end(), rgb.begin(), rgb.end());
    }
    // Raw bands of `rows` rows each holding `data` (token streams when `coded`).
    void Image(int32_t bands, int32_t stored, const std::vector<std::pair<int32_t, Bytes>>& data,
               bool coded = false) {
        U32(HAV_CHUNK_IMAGE);
        U32(16);
        U32(static_cast<uint32_t>(bands));
        U32(static_cast<uint32_t>(stored));
        for (const auto& [rows, bytes] : data) {
            U32(0);
            U32(HAV_BAND_DESC);
            U32(static_cast<uint32_t>(bytes.size()));
            U32(static_cast<uint32_t>(rows));
            U32(coded ? 1 : 0);
        }
        for (int32_t k = 0; k < stored; ++k)
            b.insert(b.end(), data[k].second.begin(), data[k].second.end());
    }
};

struct HavFrame : ::testing::Test {
    void SetUp() override {
        std::memset(static_cast<void*>(&img), 0, sizeof img);
        _imgalloc_(img, 2, 2, "HavDecodeTest.img", __LINE__, 8);
        std::memset(img.data, 0xEE, 4);
        blocks = MemCount();
    }
    void TearDown() override { ImgFree(img); }
    // Decodes the record with the BEST codec; the error group and code (0, 0 on success).
    std::pair<int32_t, int32_t> Decode(Record& r, int32_t codec = HAV_CODEC_BEST) {
        Bytes buffer = r.b;
        buffer.resize(static_cast<size_t>(img.size + HAV_READ_SLACK));
        job = QHavFrameJob{buffer.data(),
                           static_cast<int32_t>(buffer.size()),
                           static_cast<int32_t>(r.b.size()),
                           BAD_HANDLE,
                           0,
                           0,
                           codec,
                           &predict,
                           false,
                           nullptr};
        MonitoredIsolated([&] { HavDecodeFrame(job, img); });
        EXPECT_EQ(MemCount(), blocks + (MemIsTracked(predict) ? 1 : 0));
        return {ErrLastGroup(), ErrLastCode()};
    }
    Qimg img;
    uint8_t* predict = nullptr;
    QHavFrameJob job;
    int32_t blocks = 0;
};

}  // namespace

TEST_F(HavFrame, PaletteChunksAndUnknownChunks) {
    Record r;
    r.Header(3);
    r.Palette(254, {10, 20, 30, 40, 50, 60});  // red, green, blue
    r.U32(99);                                 // an unknown chunk: passed over, position kept
    r.U32(0);
    EXPECT_EQ(Decode(r), std::make_pair(0, 0));
    EXPECT_TRUE(job.newPalette);
    EXPECT_EQ(img.palette[254].red, 10);
    EXPECT_EQ(img.palette[254].blue, 30);
    EXPECT_EQ(img.palette[255].green, 50);
    EXPECT_EQ(img.data[0], 0xEE);
}

TEST_F(HavFrame, RawBandsAndPrediction) {
    Record r;
    r.Header(1);
    r.Image(2, 2, {{1, {1, 2}}, {1, {3, 4}}});
    EXPECT_EQ(Decode(r), std::make_pair(0, 0));
    EXPECT_EQ(0, std::memcmp(img.data, "\1\2\3\4", 4));
    // With prediction raw bands are differences: summed per band (byte i to sum i mod 3).
    Record p;
    p.Header(1);
    p.Image(1, 1, {{2, {5, 1, 1, 1}}});
    EXPECT_EQ(Decode(p, HAV_CODEC_BESTP), std::make_pair(0, 0));
    EXPECT_EQ(0, std::memcmp(img.data, "\5\1\1\6", 4));
    MemFree(predict);
}

TEST_F(HavFrame, MalformedRecordsAreRefused) {
    const auto image = [](int32_t bands, int32_t stored, std::vector<std::pair<int32_t, Bytes>> data) {
        Record r;
        r.Header(1);
        r.Image(bands, stored, data);
        return r;
    };
    std::vector<std::pair<const char*, Record>> cases;
    std::vector<std::pair<int32_t, Bytes>> many(129, {0, {}});
    cases.push_back({"more than 128 bands", image(129, 129, many)});
    cases.push_back({"bands below the image", image(1, 1, {{3, {1, 2, 3, 4, 5, 6}}})});
    cases.push_back({"raw band longer than its rows", image(1, 1, {{1, {1, 2, 3}}})});
    cases.push_back({"streamed band as large as the image", image(1, 0, {{2, {1, 2, 3, 4}}})});
    cases.push_back({"stored data past the record", [&] {
                         Record r = image(1, 1, {{2, {1, 2, 3, 4}}});
                         r.b.resize(r.b.size() - 1);
                         return r;
                     }()});
    Record pal;
    pal.Header(1);
    pal.Palette(250, Bytes(3 * 7, 1));  // 250 + 7 > 256
    cases.push_back({"palette past entry 255", pal});
    Record count;
    count.Header(2);
    count.Palette(0, {1, 2, 3});
    cases.push_back({"more chunks than the record holds", count});
    for (auto& [name, r] : cases) EXPECT_EQ(Decode(r), std::make_pair(ERR_MVI, 3)) << name;
}

namespace {

// Decodes a BEST-P record into `image` with its own prediction buffer; true on success.
bool DecodePredicted(const Bytes& record, Qimg& image, uint8_t*& predict, QHavRebuilt* rebuilt) {
    Bytes buffer = record;
    buffer.resize(static_cast<size_t>(image.size + HAV_READ_SLACK));
    QHavFrameJob job{buffer.data(),   Size(buffer), Size(record), BAD_HANDLE, 0, 0,
                     HAV_CODEC_BESTP, &predict,     false,        rebuilt};
    MonitoredIsolated([&] { HavDecodeFrame(job, image); });
    return ErrLastGroup() == 0;
}

}  // namespace

TEST(HavDecode, PredictedFramesLeaveAloneOnlyWhatComesOutTheSame) {
    // Frames of random tokens, many of them literals that give back the difference already in
    // the buffer, with long skips between: the sums before a skip then sometimes reach it
    // unchanged and sometimes not. Decoding them in order while keeping what the image was
    // rebuilt with must give, frame by frame, what rebuilding every byte gives. The band rows
    // change now and then, and once the frames go to another image.
    const struct {
        int32_t w, h, bpp;
    } shapes[] = {{1, 40, 1}, {1, 30, 2}, {37, 9, 3}, {19, 12, 2}, {64, 7, 1}};
    std::mt19937 rng(3);
    for (const auto& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.w) + " x " + std::to_string(shape.h) + " x " +
                     std::to_string(shape.bpp));
        const int32_t stride = shape.w * shape.bpp;
        Qimg fast{}, other{}, whole{};
        _imgalloc_(fast, shape.w, shape.h, "HavDecodeTest.fast", __LINE__, 8 * shape.bpp);
        _imgalloc_(other, shape.w, shape.h, "HavDecodeTest.other", __LINE__, 8 * shape.bpp);
        _imgalloc_(whole, shape.w, shape.h, "HavDecodeTest.whole", __LINE__, 8 * shape.bpp);
        uint8_t* fastPredict = nullptr;
        uint8_t* wholePredict = nullptr;
        QHavRebuilt rebuilt{};
        Qimg* target = &fast;
        std::vector<int32_t> layout = {shape.h / 3, shape.h - shape.h / 3};
        for (int32_t frame = 0; frame < 40; ++frame) {
            if (frame % 7 == 3) {  // other band rows, one of them odd
                const int32_t first = 1 + static_cast<int32_t>(rng() % (shape.h - 1));
                layout = {first, shape.h - first};
            }
            if (frame == 20) target = &other;
            std::vector<std::pair<int32_t, Bytes>> bands;
            int32_t at = 0;
            for (int32_t rows : layout) {
                const int32_t bytes = rows * stride;
                std::string bits;
                for (int32_t i = 0; i < bytes;) {
                    const int32_t left = bytes - i;
                    if (frame > 0 && left >= HAV_LONG_SKIP_MIN && rng() % 8 == 0) {
                        const int32_t n = HAV_LONG_SKIP_MIN +
                                          static_cast<int32_t>(rng() % (left - HAV_LONG_SKIP_MIN + 1));
                        bits += LongSkip(n);
                        i += n;
                    } else {
                        const bool same = frame > 0 && rng() % 4 != 0;
                        bits += Lit(same ? wholePredict[at + i] : static_cast<uint8_t>(rng()));
                        ++i;
                    }
                }
                bands.push_back({rows, Bits(bits + kBestEnd)});
                at += bytes;
            }
            Record r;
            r.Header(1);
            r.Image(static_cast<int32_t>(bands.size()), static_cast<int32_t>(bands.size()), bands,
                    true);
            ASSERT_TRUE(DecodePredicted(r.b, *target, fastPredict, &rebuilt)) << frame;
            ASSERT_TRUE(DecodePredicted(r.b, whole, wholePredict, nullptr)) << frame;
            ASSERT_EQ(0, std::memcmp(target->data, whole.data, static_cast<size_t>(stride) * shape.h))
                << "frame " << frame;
        }
        MemFree(fastPredict);
        MemFree(wholePredict);
        ImgFree(fast);
        ImgFree(other);
        ImgFree(whole);
    }
}
