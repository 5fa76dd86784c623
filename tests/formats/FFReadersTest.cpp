#include "formats/FFReaders.h"

#include <gtest/gtest.h>

#include <vector>

#include "formats/FFBasic.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

using namespace kelvora;

// Every format of the load table has a reader row whose kinds follow the format's flags, and
// whose entry points come in the sets the callers need: a new row cannot slip in half wired.
TEST(FFReaders, RowsAgreeWithTheFormatTable) {
    QffDesc row;
    int32_t rows = 0;
    for (int32_t i = 0; FFGetDesc(row, i, FF_TABLE_LOAD); ++i, ++rows) {
        const QffReader* reader = FFReaderOf(row.type);
        ASSERT_NE(reader, nullptr) << row.shortName;
        EXPECT_EQ(reader->type, row.type);
        const bool still = row.flags & FF_STILL;
        const bool timed = row.flags & (FF_MOVIE | FF_AUDIOONLY);
        EXPECT_EQ(reader->kindSingle, still ? UNI_STILL : UNI_MOVIE) << row.shortName;
        EXPECT_EQ(reader->kindMany, timed ? UNI_MOVIE : UNI_SEQUENCE) << row.shortName;
        EXPECT_TRUE(!still || (reader->load && reader->info)) << row.shortName;
        if (reader->open) {
            EXPECT_TRUE(timed) << row.shortName;
            EXPECT_TRUE(reader->close && reader->bind && reader->info) << row.shortName;
            EXPECT_TRUE(!(row.flags & FF_PICTURE) || reader->imgLoad) << row.shortName;
            EXPECT_TRUE(!(row.flags & FF_SOUND) || reader->sndLoad) << row.shortName;
        } else {
            EXPECT_FALSE(reader->imgLoad || reader->sndLoad || reader->close || reader->bind)
                << row.shortName;
        }
    }
    EXPECT_EQ(rows, 30);
    EXPECT_EQ(FFReaderOf(0), nullptr);
    EXPECT_EQ(FFReaderOf(31), nullptr);
    EXPECT_EQ(FFReaderOf(BAD_HANDLE), nullptr);
}

namespace {

struct FakeMovie {
    int32_t frames = 10;
    int32_t curFrame = 0;
    int32_t newPalette = 0;
    std::vector<int32_t> decoded;  // frames in the order next() decoded them
    int32_t paletteAt = -1;        // the frame whose decoding changes the palette
    int32_t forgotten = 0;
    int32_t restarts = 0;
};

// One call of the stepping with a restart that goes back to `key` unless a continuous run can
// go on from where it stands; returns the error pair as group * 100 + code.
int32_t Step(FakeMovie& m, int32_t frame, int32_t mode, bool holds = true, int32_t key = 1,
             bool keyPalette = false) {
    MonitoredIsolated([&] {
        FFDecodeForward(
            m, frame, mode, holds,
            [&] {
                ++m.forgotten;
                m.curFrame = 0;
            },
            [&] {
                ++m.curFrame;
                m.decoded.push_back(m.curFrame);
                m.newPalette = FFBool(m.curFrame == m.paletteAt);
            },
            [&](bool continuous) {
                ++m.restarts;
                if (continuous && m.curFrame < frame && m.curFrame >= key) return false;
                m.curFrame = key - 1;
                return keyPalette;
            });
    });
    return ErrLastGroup() * 100 + ErrLastCode();
}

}  // namespace

TEST(FFDecodeForward, StepsRestartsAndPaletteFlag) {
    FakeMovie m;
    // Frame 0 and the next frame are one step, without a restart.
    EXPECT_EQ(Step(m, 0, 1), 0);
    EXPECT_EQ(Step(m, 2, 1), 0);
    EXPECT_EQ(m.decoded, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(m.restarts, 0);

    // The frame on screen in continuous playback: nothing decoded, the palette flag cleared.
    m.newPalette = -1;
    EXPECT_EQ(Step(m, 2, 1), 0);
    EXPECT_EQ(m.decoded.size(), 2u);
    EXPECT_EQ(m.newPalette, 0);
    // The same frame asked for outside playback is decoded again from the key frame.
    EXPECT_EQ(Step(m, 2, 0), 0);
    EXPECT_EQ(m.decoded, (std::vector<int32_t>{1, 2, 1, 2}));

    // A jump ahead in continuous playback goes on from here; a palette met on the way is told.
    m.decoded.clear();
    m.paletteAt = 4;
    EXPECT_EQ(Step(m, 6, 1), 0);
    EXPECT_EQ(m.decoded, (std::vector<int32_t>{3, 4, 5, 6}));
    EXPECT_EQ(m.newPalette, -1);
    // Going back restarts at the key frame; the key frame's palette alone sets the flag.
    m.decoded.clear();
    m.paletteAt = -1;
    EXPECT_EQ(Step(m, 5, 1, true, 3, true), 0);
    EXPECT_EQ(m.decoded, (std::vector<int32_t>{3, 4, 5}));
    EXPECT_EQ(m.newPalette, -1);
    EXPECT_EQ(Step(m, 7, 0, true, 3, false), 0);
    EXPECT_EQ(m.newPalette, 0);
}

TEST(FFDecodeForward, ForeignPictureAndRange) {
    FakeMovie m;
    EXPECT_EQ(Step(m, 3, 1), 0);
    // A picture that is not this movie's cannot take the next frame: decoding starts over.
    m.decoded.clear();
    EXPECT_EQ(Step(m, 4, 1, false), 0);
    EXPECT_EQ(m.forgotten, 1);
    EXPECT_EQ(m.decoded, (std::vector<int32_t>{1, 2, 3, 4}));

    // Frames outside 0..frames are refused before anything changes.
    m.decoded.clear();
    EXPECT_EQ(Step(m, 11, 1, false), ERR_MVI * 100 + 1);
    EXPECT_EQ(Step(m, -1, 1), ERR_MVI * 100 + 1);
    EXPECT_TRUE(m.decoded.empty());
    EXPECT_EQ(m.forgotten, 1);
    EXPECT_EQ(m.curFrame, 4);
}
