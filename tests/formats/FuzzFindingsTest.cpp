// Inputs the fuzz targets (fuzz/) found to break a reader, kept in tests/data/fuzz/<target>/
// once the reader was mended. Each must now fail cleanly: a documented error, every tracked block
// and file given back, and no more memory than a file of its size calls for.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/ConFormStill.h"
#include "formats/FF_GIF.h"
#include "formats/FF_MPG.h"
#include "formats/FF_WAV.h"
#include "formats/FileFmtDef.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "support/TestSupport.h"

using namespace kelvora;

namespace fs = std::filesystem;

namespace {

// Peak resident memory of the process so far, in KiB.
long PeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::vector<fs::path> Findings(const std::string& target) {
    std::vector<fs::path> files;
    const fs::path dir = fs::path(KV_TEST_DATA) / "fuzz" / target;
    if (fs::is_directory(dir))
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// A still reader's refusal: its own image errors, short reads and the decoder libraries' messages.
bool StillError(int32_t group, int32_t code) {
    return group == ERR_IMG || group == ERR_LIBRARY ||
           (group == ERR_FILE && (code == FILE_READ || code == FILE_SEEK));
}

void ExpectStillRefused(const std::string& target, int32_t type) {
    const std::vector<fs::path> files = Findings(target);
    ASSERT_FALSE(files.empty()) << "no inputs under tests/data/fuzz/" << target;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const test::RegisterBalance balance;
        const long peak = PeakKiB();
        Qimg img;
        std::memset(static_cast<void*>(&img), 0, sizeof img);
        MonitoredIsolated([&] { ImgLoad(file.string(), img, type); });
        EXPECT_FALSE(ErrNone()) << "ImgLoad took a damaged file";
        EXPECT_TRUE(StillError(ErrLastGroup(), ErrLastCode())) << ErrLastText();
        ImgFree(img);
        QffInfo info{};
        MonitoredIsolated([&] { FFInfo(file.string(), type, info); });
        EXPECT_TRUE(ErrNone() || StillError(ErrLastGroup(), ErrLastCode())) << ErrLastText();
        balance.Expect(file.filename().string());
        // The files are a few hundred bytes: tens of MB would already be a size taken on trust.
        EXPECT_LT(PeakKiB() - peak, 64 * 1024) << "KiB of peak memory grew";
    }
}

}  // namespace

// A text chunk that claims 1.7 GB in a 115-byte file: libpng would allocate and clear the whole
// claim before reading it; the reader passes such chunks over and ends at the missing bytes.
TEST(FuzzFindings, PngHugeAncillaryChunk) { ExpectStillRefused("still_png", FT_PNG); }

// MS ADPCM whose fact chunk claims 252 million samples for 1.3 KB of blocks: the sound loader
// sized its conversion room from that claim (a gigabyte a round). The room now follows what the
// conversion can make of the bytes read; the file plays what it holds.
TEST(FuzzFindings, WavSampleCountFarBeyondItsBlocks) {
    const std::vector<fs::path> files = Findings("wav");
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const test::RegisterBalance balance;
        const long peak = PeakKiB();
        QWavHandle h;
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        MonitoredIsolated([&] { WAVOpen(h, file.string()); });
        if (ErrNone()) {
            Qsnd snd{};
            int32_t pos = 0;
            int32_t largest = 0;  // the loader's conversion room: untouched memory shows in no RSS
            for (int round = 0; round < 64; ++round) {
                MonitoredIsolated([&] { WAVLoad(h, snd, pos, round > 0, 65536); });
                largest = std::max(largest, MemBlockSize(h.loader.converted));
                EXPECT_TRUE(ErrNone()) << ErrLastText();
                if (!ErrNone() || snd.samples <= 0) break;
                pos += snd.samples;
            }
            EXPECT_LT(largest, 4 << 20) << "bytes of room for 1.3 KB of blocks";
            // Loads at the claimed middle and end, as a seek bar reaches them.
            for (const int64_t at : {int64_t{h.sampleCount} / 2, int64_t{h.sampleCount} - 1})
                MonitoredIsolated([&] { WAVLoad(h, snd, static_cast<int32_t>(at), false, 1024); });
            SndFree(snd);
            MonitoredIsolated([&] { WAVClose(h); });
        }
        balance.Expect(file.filename().string());
        EXPECT_LT(PeakKiB() - peak, 64 * 1024) << "KiB of peak memory grew";
    }
}

// 670 bytes of run-length data for a 16,192 x 16,192 picture of three planes: the reader allocated
// 786 MB, cleared it and reordered every plane before finding the data could never fill it. Data
// that cannot reach the picture's size at the longest runs is now refused before allocating.
TEST(FuzzFindings, PcxRunsThatCannotFillThePicture) { ExpectStillRefused("still_pcx", FT_PCX); }

// 347 bytes of run-length data for a 27,904 x 2,820 colour-mapped picture: the same fault as the
// PCX file's in the TGA reader (78 MB allocated, cleared, decoded and flipped).
TEST(FuzzFindings, TgaRunsThatCannotFillThePicture) { ExpectStillRefused("still_tga", FT_TGA); }

// A 224-byte baseline JPEG that declares 57,633 x 255 pixels: the library decodes the whole
// picture from made-up data once the file ends (seconds under the sanitizers). A sequential
// Huffman picture needs a quarter byte per block at the least; a file below that is refused.
TEST(FuzzFindings, JpegFarTooShortForItsPicture) { ExpectStillRefused("still_jpg", FT_JPEG); }

// An MPEG-1 stream whose pictures carry a colour-matrix code (244) outside libavcodec's list,
// which the decoder passes on as it stands: the picture converter read it as the enum type,
// which the undefined-behaviour checks stop on. It now reads the code as a number (unknown
// codes get the default matrix) and the movie plays.
TEST(FuzzFindings, MpegColourCodeOutsideItsList) {
    const std::vector<fs::path> files = Findings("mpg");
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const test::RegisterBalance balance;
        QMpgHandle h;
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        MonitoredIsolated([&] { MpgOpen(h, file.string(), 0); });
        if (!ErrNone()) continue;
        Qimg img{};
        int32_t loaded = 0;
        for (int32_t frame = 1; frame <= h.frames; ++frame) {
            MonitoredIsolated([&] { MpgImgLoad(h, img, frame, 1); });
            if (ErrNone()) ++loaded;
        }
        EXPECT_GT(loaded, 0) << "of " << h.frames << " frames";
        ImgFree(img);
        MonitoredIsolated([&] { MpgClose(h); });
        balance.Expect(file.filename().string());
    }
}

// A 2 KB GIF movie on a 32 x 24 screen whose frames declare rectangles of many megapixels: each
// frame's colours were merged over its whole rectangle, 90 s of work under the sanitizers. Only
// the part inside the screen is merged and placed now; every frame still loads.
TEST(FuzzFindings, GifFramesFarLargerThanTheScreen) {
    const std::vector<fs::path> files = Findings("gifmovie");
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const test::RegisterBalance balance;
        GIFDone();
        QGifHandle h;
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        MonitoredIsolated([&] { GIFOpen(h, file.string(), false); });
        ASSERT_TRUE(ErrNone()) << ErrLastText();
        Qimg img{};
        for (int32_t frame = 1; frame <= h.frames; ++frame) {
            MonitoredIsolated([&] { GIFLoad(h, img, frame, 1); });
            EXPECT_TRUE(ErrNone() || StillError(ErrLastGroup(), ErrLastCode())) << ErrLastText();
            if (ErrNone()) {
                EXPECT_EQ(int64_t{img.width} * img.height, 32 * 24);
            }
        }
        ImgFree(img);
        MonitoredIsolated([&] { GIFClose(h); });
        GIFDone();
        balance.Expect(file.filename().string());
    }
}
