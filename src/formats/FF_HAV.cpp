#include "formats/FF_HAV.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "formats/FFBasic.h"
#include "formats/HavDecode.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr int32_t PAGE_BYTES = HAV_PAGE_ENTRIES * HAV_ENTRY_SIZE;  // 3072
constexpr int32_t PAGE_TABLE_BYTES = HAV_PAGES * 4;                // 1024
constexpr int32_t MAX_SAMPLE_RATE = 1000000;

// Closes the file of a handle that cannot be opened and raises (ERR_MVI, code).
[[noreturn]] void Refuse_(QHavHandle& h, int32_t code, ErrWhere where = ErrWhere::current()) {
    FClose(h.fileId);
    h.fileId = BAD_HANDLE;
    ErrFail(ERR_MVI, code, where);
}

// The block a handle field holds, or null when an earlier failure released it.
uint8_t* Live_(uint8_t*& block) {
    if (!MemIsTrackedBy(&block, block)) block = nullptr;
    return block;
}

void ReadPage_(QHavHandle& h, int32_t page) {
    uint8_t bytes[PAGE_BYTES];
    FSeek(h.fileId, h.pageTable[page]);
    FRead(h.fileId, bytes, PAGE_BYTES);
    QByteReader e = ByteReader(bytes, PAGE_BYTES);
    for (QHavIndexEntry& entry : h.page) entry = QHavIndexEntry{BrI32LE(e), BrI32LE(e), BrU32LE(e)};
    h.pageNo = static_cast<uint8_t>(page);
}

// Opens the file and reads and checks the header, the page table and page 0. Allocates nothing.
void Open_(QHavHandle& h, const std::string& fileName) {
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    h.fileId = BAD_HANDLE;
    FOpen(h.fileId, fileName, FM_READ);
    h.fileSize = FSize(h.fileId);

    uint8_t head[HAV_HEADER_SIZE];
    int32_t got = 0;
    FReadPart(h.fileId, head, HAV_HEADER_SIZE, got);
    QByteReader r = ByteReader(head, got);
    const uint32_t magic = BrU32LE(r);
    const int64_t headerSize = BrI32LE(r);
    if (r.overrun || magic != HAV_MAGIC) Refuse_(h, MVI_INVALID_FORMAT);
    const int32_t version = BrI32LE(r);
    if (r.overrun) Refuse_(h, MVI_INVALID_FORMAT);
    if (version != HAV_VERSION) Refuse_(h, MVI_NOT_SUPPORTED);
    h.width = BrI32LE(r);
    h.height = BrI32LE(r);
    h.bytesPP = BrI32LE(r);
    h.codec = BrI32LE(r);
    h.frames = BrI32LE(r);
    h.keyInterval = BrI32LE(r);
    const uint64_t rateLow = BrU32LE(r);
    const uint64_t rateBits = rateLow | (uint64_t{BrU32LE(r)} << 32);
    std::memcpy(&h.frameRate, &rateBits, sizeof h.frameRate);
    h.soundFlags = BrI32LE(r);
    h.sampleRate = BrI32LE(r);
    h.firstSoundBlock = BrI32LE(r);
    BrSkip(r, 4);
    h.sampleCount = BrI32LE(r);
    // A larger header keeps the page table after itself; what else it holds is not ours.
    if (r.overrun || headerSize < HAV_HEADER_SIZE || headerSize + PAGE_TABLE_BYTES > h.fileSize)
        Refuse_(h, MVI_INVALID_FORMAT);
    if (h.frames < 0 || h.frames > HAV_MAX_FRAMES || h.keyInterval < 0 ||
        !std::isfinite(h.frameRate) || h.frameRate < 0)
        Refuse_(h, MVI_INVALID_FORMAT);
    // A movie of sound alone still declares its picture: a header with fields out of range is
    // damaged whatever its frame count, and nothing below multiplies an unchecked field.
    if (h.bytesPP < 1 || h.bytesPP > 3 || !FFSaneGeometry(h.width, h.height, 8 * h.bytesPP))
        Refuse_(h, MVI_INVALID_FORMAT);

    if (h.soundFlags != 0) {
        h.soundFormat.formatTag = WAVE_FORMAT_PCM;
        h.soundFormat.channels = (h.soundFlags & HAV_SOUND_STEREO) ? 2 : 1;
        h.soundFormat.bitsPerSample = (h.soundFlags & HAV_SOUND_16BIT) == HAV_SOUND_16BIT ? 16 : 8;
        h.soundFormat.samplesPerSec = static_cast<uint32_t>(h.sampleRate);
        // Every sample lives in the file, so the count cannot exceed what the file holds.
        if (h.sampleRate <= 0 || h.sampleRate > MAX_SAMPLE_RATE || !WaveFmtFix(h.soundFormat) ||
            h.sampleCount < 0 || int64_t{h.sampleCount} * h.soundFormat.blockAlign > h.fileSize ||
            h.firstSoundBlock < 0 || h.firstSoundBlock > h.fileSize - HAV_SOUND_BLOCK_HEADER)
            Refuse_(h, MVI_INVALID_FORMAT);
    }

    uint8_t table[PAGE_TABLE_BYTES];
    FSeek(h.fileId, headerSize);
    FRead(h.fileId, table, PAGE_TABLE_BYTES);
    QByteReader t = ByteReader(table, PAGE_TABLE_BYTES);
    for (int32_t p = 0; p < HAV_PAGES; ++p) h.pageTable[p] = BrI32LE(t);
    const int32_t pages = (h.frames + HAV_PAGE_ENTRIES - 1) / HAV_PAGE_ENTRIES;
    for (int32_t p = 0; p < pages; ++p)
        if (h.pageTable[p] < 0 || int64_t{h.pageTable[p]} + PAGE_BYTES > h.fileSize)
            Refuse_(h, MVI_INVALID_FORMAT);

    h.imageBytes = h.frames > 0 ? h.width * h.height * h.bytesPP : 0;
    h.bitsPP = 8 * h.bytesPP;
    h.predicted = FFBool(h.codec & HAV_CODEC_PREDICT);
    h.pageNo = 0;
    h.audioNext = h.firstSoundBlock;  // a continued load from 0 starts at the first block
    if (h.frames > 0) ReadPage_(h, 0);
}

// Reads the record of frame n (its page loaded) into `buffer`, grown as needed under `label`;
// a record that is not inside the file or does not fit the read buffer is refused.
int32_t ReadRecord_(QHavHandle& h, int32_t n, uint8_t*& buffer, const char* label) {
    const QHavIndexEntry& e = h.page[(n - 1) % HAV_PAGE_ENTRIES];
    if (e.offset < 0 || e.size < HAV_FRAME_HEADER || e.size > h.imageBytes + HAV_READ_SLACK ||
        int64_t{e.offset} + e.size > h.fileSize)
        ErrFail(ERR_MVI, MVI_DECOMPRESS);
    if (!MemIsTrackedBy(&buffer, buffer) || MemBlockSize(buffer) < e.size) {
        if (!MemIsTrackedBy(&buffer, buffer)) buffer = nullptr;
        _memalloc_(buffer, e.size, __LINE__, MEM_KIND_C, label);
    }
    FSeek(h.fileId, e.offset);
    FRead(h.fileId, buffer, e.size);
    return e.size;
}

// True when the image holds a picture of the movie's geometry (a frame to decode on top of).
bool HoldsMovie_(const QHavHandle& h, const Qimg& image) {
    return ImgValid(image) && image.width == h.width && image.height == h.height &&
           image.bitsPP == h.bitsPP && image.size >= h.imageBytes;
}

struct SoundBlock_ {
    int32_t next;
    int32_t samples;
    int32_t bytes;
};

// Reads and checks the header of the sound block at `offset`, the `walked`-th block met from
// the first one (counted here). A next block may lie anywhere in the file, before this one as
// well, so a damaged chain can loop; but the blocks of a whole chain each take at least a
// header's bytes of the file, so a walk that meets more blocks than that is going round.
SoundBlock_ ReadSoundHeader_(QHavHandle& h, int32_t offset, int32_t& walked) {
    if (offset < HAV_HEADER_SIZE || offset > h.fileSize - HAV_SOUND_BLOCK_HEADER ||
        ++walked > h.fileSize / HAV_SOUND_BLOCK_HEADER)
        ErrFail(ERR_MVI, MVI_INVALID_FORMAT);
    uint8_t head[HAV_SOUND_BLOCK_HEADER];
    FSeek(h.fileId, offset);
    FRead(h.fileId, head, HAV_SOUND_BLOCK_HEADER);
    QByteReader r = ByteReader(head, HAV_SOUND_BLOCK_HEADER);
    BrSkip(r, 8);
    SoundBlock_ b;
    b.next = BrI32LE(r);
    b.samples = BrI32LE(r);
    const int64_t bytes = int64_t{b.samples} * h.soundFormat.blockAlign;
    const int64_t end = int64_t{offset} + HAV_SOUND_BLOCK_HEADER + bytes;
    if (b.samples < 0 || end > h.fileSize) ErrFail(ERR_MVI, MVI_INVALID_FORMAT);
    b.bytes = static_cast<int32_t>(bytes);
    return b;
}

// Reads the samples of the block whose header was just read into the sound buffer.
void LoadSoundBlock_(QHavHandle& h, const SoundBlock_& b, const char* label) {
    if (b.bytes > 0 && (!Live_(h.audioBuf) || MemBlockSize(h.audioBuf) < b.bytes))
        _memalloc_(h.audioBuf, b.bytes, __LINE__, MEM_KIND_C, label);
    if (b.bytes > 0) FRead(h.fileId, h.audioBuf, b.bytes);
    h.audioBufSize = b.bytes;
    h.audioPos = 0;
    h.audioNext = b.next;
}

}  // namespace

void HAVOpen(QHavHandle& h, const std::string& fileName) {
    Monitored([&] {
        Open_(h, fileName);
        // The buffers that live until close are made now: a block first made inside a later
        // load that fails would be released under the handle's feet.
        // The read buffer too: allocating and clearing a picture's worth of bytes every frame
        // cost more than some of the decoding.
        if (h.predicted && h.frames > 0)
            _memalloc_(h.predictImg, h.imageBytes, __LINE__, MEM_KIND_C,
                       "FF_HAV.HAVImgLoadNext.PredictImg");
        if (h.frames > 0)
            _memalloc_(h.readBuf, int64_t{h.imageBytes} + HAV_READ_SLACK, __LINE__, MEM_KIND_C,
                       "FF_HAV.HAVImgLoadNext.dskbuf");
        if (h.soundFlags != 0)
            _memalloc_(h.audioBuf, 4, __LINE__, MEM_KIND_C, "FF_HAV.HAVSndSeek.hf.AudioBuf");
    });
}

int32_t HAVNearestKeyFrame(QHavHandle& h, int32_t frame, int32_t direction) {
    const int32_t k = h.keyInterval;
    if (k <= 0) return 1;
    const int64_t a = direction == -1 ? int64_t{frame} - 1 : int64_t{frame} + k - 1;
    const int64_t b = std::max<int64_t>(1, std::min<int64_t>(a, h.frames));
    const int32_t result = static_cast<int32_t>((b - 1) / k * k + 1);
    if (direction == 1 && h.curFrame > result) return 1;
    return result;
}

void HAVUpdateVP_(QHavHandle& h, int32_t frame) {
    if (h.frames <= 0) return;
    const int32_t page = (std::clamp(frame, 1, h.frames) - 1) / HAV_PAGE_ENTRIES;
    if (static_cast<uint8_t>(page) != h.pageNo) ReadPage_(h, page);
}

void HAVImgLoadNext(QHavHandle& h, Qimg& image) {
    Monitored([&] {
        // A next frame past the last one is refused like a movie without frames.
        if (h.frames <= 0 || h.curFrame >= h.frames) ErrFail(ERR_HAV, HAV_END);
        if (!HoldsMovie_(h, image))
            _imgalloc_(image, h.width, h.height, "FF_HAV.HAVImgLoadNext.ih", __LINE__, h.bitsPP);
        const int32_t n = h.curFrame + 1;
        HAVUpdateVP_(h, n);
        // The streamed bands of a record are read into the same buffer, so it is always whole.
        const int32_t capacity = h.imageBytes + HAV_READ_SLACK;
        if (!Live_(h.readBuf) || MemBlockSize(h.readBuf) < capacity)
            _memalloc_(h.readBuf, capacity, __LINE__, MEM_KIND_C, "FF_HAV.HAVImgLoadNext.dskbuf");
        const int32_t size = ReadRecord_(h, n, h.readBuf, "FF_HAV.HAVImgLoadNext.dskbuf");
        const QHavIndexEntry& e = h.page[(n - 1) % HAV_PAGE_ENTRIES];
        QHavFrameJob job{h.readBuf,  capacity, size,          h.fileId, int64_t{e.offset} + e.size,
                         h.fileSize, h.codec,  &h.predictImg, false,    &h.rebuilt};
        // Until the decode completes the image holds no whole frame: a failure leaves the
        // reader to start again from a key frame instead of building on a half-decoded one.
        // Only the frame after the one the image holds may leave its unchanged pixels there.
        h.curFrame = 0;
        if (h.rebuiltNo != n - 1) h.rebuilt.image = nullptr;
        h.rebuiltNo = 0;
        HavDecodeFrame(job, image);
        h.rebuiltNo = n;
        h.curFrame = n;
        h.newPalette = FFBool(job.newPalette);
    });
}

bool HAVGetPal(QHavHandle& h, QBGR* palette, int32_t first, int32_t last) {
    Monitored([&] {
        h.newPalette = 0;
        if (last < first || h.frames <= 0) return;
        first = std::clamp(first, 1, h.frames);
        last = std::clamp(last, 1, h.frames);
        // Walking back, the first chunk met that names an entry holds its latest value; so
        // writing only entries not yet named gives what applying every chunk oldest first gives.
        // The walk ends when all 256 entries are named (a full chunk names them all at once).
        bool named[256] = {};
        int32_t left = 256;
        const uint8_t startPage = h.pageNo;
        std::vector<QHavPalChunk> chunks;
        for (int32_t f = last; f >= first && left > 0; --f) {
            HAVUpdateVP_(h, f);
            if (!(h.page[(f - 1) % HAV_PAGE_ENTRIES].flags & HAV_FLAG_PALETTE)) continue;
            const int32_t size = ReadRecord_(h, f, h.readBuf, "FF_HAV.HAVGetPal.dskbuf");
            HavListPalettes(h.readBuf, size, chunks);
            for (auto c = chunks.rbegin(); c != chunks.rend(); ++c) {
                h.newPalette = -1;
                for (int32_t i = c->count - 1; i >= 0; --i) {
                    const int32_t index = c->first + i;
                    if (named[index]) continue;
                    const uint8_t* rgb = c->entries + 3 * i;
                    palette[index] = QBGR{rgb[2], rgb[1], rgb[0]};
                    named[index] = true;
                    --left;
                }
            }
        }
        // Sequential decoding goes on with the page of the frame after the current one.
        if (h.pageNo != startPage) HAVUpdateVP_(h, h.curFrame + 1);
    });
    return h.newPalette != 0;
}

void HAVImgLoad(QHavHandle& h, Qimg& image, int32_t frame, int32_t mode) {
    Monitored([&] {
        // Only an image that holds this movie's picture can take the frame after it.
        FFDecodeForward(
            h, frame, mode, HoldsMovie_(h, image), [&] { h.curFrame = 0; },
            [&] { HAVImgLoadNext(h, image); },
            [&](bool continuous) {
                const int32_t key = HAVNearestKeyFrame(h, frame + 1,
                                                       -1);  // the last key frame at or before
                if (continuous && h.curFrame < frame && h.curFrame >= key)
                    return false;  // on from here
                h.curFrame = key - 1;
                // The palette in force before the key frame, which the frames decoded from there
                // build on; a continuous restart needs it as much as a random access.
                return h.bytesPP == 1 && HAVGetPal(h, image.palette, 1, key - 1);
            });
    });
}

void HAVSndSeek(QHavHandle& h, int32_t position) {
    Monitored([&] {
        if (h.soundFlags == 0 || position < 0 || position > h.sampleCount || h.firstSoundBlock == 0)
            MonExit();
        int64_t through = 0;
        int32_t offset = h.firstSoundBlock;
        int32_t walked = 0;
        SoundBlock_ b;
        for (;;) {
            b = ReadSoundHeader_(h, offset, walked);
            through += b.samples;
            if (through >= position || b.next == 0) break;
            offset = b.next;
        }
        // The block where the walk stopped is loaded even when it is the last of the chain.
        LoadSoundBlock_(h, b, "FF_HAV.HAVSndSeek.hf.AudioBuf");
        const int64_t pos = (position - (through - b.samples)) * int64_t{h.soundFormat.blockAlign};
        h.audioPos = static_cast<int32_t>(std::min<int64_t>(pos, h.audioBufSize));
        h.audioThrough = static_cast<int32_t>(std::min<int64_t>(through, INT32_MAX));
        h.audioBlocks = walked;
    });
}

void HAVSndLoad(QHavHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        sound.samples = 0;
        if (h.soundFlags == 0 || start < 0 || start > h.sampleCount) return;
        if (!cont || start != h.sndNextPos) HAVSndSeek(h, start);
        if (h.firstSoundBlock == 0 || (h.audioNext == 0 && h.audioPos >= h.audioBufSize)) return;
        const int32_t align = h.soundFormat.blockAlign;
        // No request reaches past the track's end: that bounds the allocation by the file.
        const int64_t frames = std::min<int64_t>(count, int64_t{h.sampleCount} - start);
        if (frames <= 0) return;
        const int32_t wanted = static_cast<int32_t>(frames * align);
        _sndalloc_(sound, wanted, __LINE__, "FF_HAV.HAVSndLoad.sh");
        sound.format = h.soundFormat;
        int32_t copied = 0;
        if (Live_(h.audioBuf)) {
            copied = std::clamp(h.audioBufSize - h.audioPos, 0, wanted);
            std::memcpy(sound.data, h.audioBuf + h.audioPos, static_cast<size_t>(copied));
            h.audioPos += copied;
        } else {
            h.audioBufSize = h.audioPos = 0;
        }
        while (copied < wanted && h.audioNext != 0) {
            const SoundBlock_ b = ReadSoundHeader_(h, h.audioNext, h.audioBlocks);
            LoadSoundBlock_(h, b, "FF_HAV.HAVSndLoad.hf.AudioBuf");
            h.audioThrough = static_cast<int32_t>(
                std::min<int64_t>(int64_t{h.audioThrough} + b.samples, INT32_MAX));
            const int32_t take = std::min(b.bytes, wanted - copied);
            if (take > 0) std::memcpy(sound.data + copied, h.audioBuf, static_cast<size_t>(take));
            h.audioPos = take;
            copied += take;
        }
        sound.samples = copied / align;
        h.sndNextPos = start + sound.samples;
    });
}

void HAVClose(QHavHandle& h) {
    Monitored([&] {
        if (Live_(h.predictImg)) MemFree(h.predictImg);
        if (Live_(h.readBuf)) MemFree(h.readBuf);
        if (Live_(h.audioBuf)) MemFree(h.audioBuf);
        FClose(h.fileId);
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        h.fileId = BAD_HANDLE;
    });
}

void HAVInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QHavHandle h;
        Open_(h, fileName);
        info.fileSize = static_cast<double>(h.fileSize);
        if (h.frames > 0) {  // a movie of sound alone shows no picture
            FFFillPictureInfo(info, info.fileSize, h.width, h.height, h.bytesPP, h.bitsPP, true);
            info.frames = h.frames;
            info.frameRate = h.frameRate;
            static const char* const kCodecs[] = {"HAV BEST codec", "HAV FAST codec",
                                                  "HAV BEST-P codec"};
            info.videoCompression = h.codec >= 0 && h.codec <= 2 ? kCodecs[h.codec] : "N/A";
        }
        if (h.soundFlags != 0) {
            info.soundFormat = h.soundFormat;
            info.playFormat = h.soundFormat;
            info.soundCompression = "PCM, uncompressed";
            info.soundSamples = h.sampleCount;
            info.hasSound = FFBool(true);
            info.soundSupported = FFBool(true);
        }
        FClose(h.fileId);
    });
}

}  // namespace kelvora
