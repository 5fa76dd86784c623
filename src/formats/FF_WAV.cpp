#include "formats/FF_WAV.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "formats/FFBasic.h"
#include "formats/FF_AVI.h"
#include "platform/AcmStream.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

constexpr uint32_t FOURCC_WAVE = MmioFourCC('W', 'A', 'V', 'E');
constexpr uint32_t FOURCC_FMT = MmioFourCC('f', 'm', 't', ' ');
constexpr uint32_t FOURCC_DATA = MmioFourCC('d', 'a', 't', 'a');
constexpr uint32_t FOURCC_FACT = MmioFourCC('f', 'a', 'c', 't');
constexpr uint16_t WAVE_FORMAT_MPEG = 0x50;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3 = 0x55;
constexpr uint16_t WAVE_FORMAT_GSM610 = 0x31;
// Blocks decoded and dropped before the block a GSM seek lands in.
constexpr int64_t GSM_RUN_UP = 8;

// The extensible header: 22 extra bytes, the sub-format GUID at byte 24 of the format, its
// first two bytes the format tag it stands for.
constexpr uint32_t EXTENSIBLE_MIN_BYTES = 40;
constexpr uint16_t EXTENSIBLE_MIN_EXTRA = 22;
constexpr int32_t EXTENSIBLE_SUBFORMAT_AT = 24;

constexpr uint32_t MAX_SAMPLE_RATE = 4000000;
constexpr uint16_t MAX_CHANNELS = 256;
// Chunks read over go through a temporary block of at most this size.
constexpr int32_t EXTRA_PIECE_BYTES = 64 * 1024;
// One read of the source: one second of it, but never more than this.
constexpr int64_t MAX_READ_BYTES = 8 * 1024 * 1024;

// Bytes in the file; the position is kept.
int64_t FileSize_(HMMIO file) {
    const int64_t here = mmioSeek(file, 0, MMIO_SEEK_CUR);
    const int64_t size = mmioSeek(file, 0, MMIO_SEEK_END);
    mmioSeek(file, here, MMIO_SEEK_SET);
    return size;
}

// The sample frames a "fact" chunk of the form declares; -1 when there is none. The position
// is kept.
int64_t FactSamples_(HMMIO file, const MMCKINFO& riff) {
    const int64_t here = mmioSeek(file, 0, MMIO_SEEK_CUR);
    int64_t samples = -1;
    MMCKINFO ck{};
    ck.ckid = FOURCC_FACT;
    uint8_t b[4];
    if (mmioSeek(file, riff.dwDataOffset + 4, MMIO_SEEK_SET) >= 0 &&
        mmioDescend(file, ck, &riff, MMIO_FINDCHUNK) == 0 && ck.cksize >= 4 &&
        mmioRead(file, b, 4) == 4)
        samples = uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) |
                  (uint32_t{b[3]} << 24);
    mmioSeek(file, here, MMIO_SEEK_SET);
    return samples;
}

// Closes the file and frees the blocks of a handle; the handle is zero-filled except for what
// tells about the source (its header and sample count), which the information record reports.
// Never raises; the caller has ended any conversion.
void Release_(QWavHandle& h) {
    if (h.file) mmioClose(h.file, 0);
    if (MemLive(h.inFormat)) MemFree(h.inFormat);
    if (MemLive(h.loader.converted)) MemFree(h.loader.converted);
    const QWaveFmt header = h.sourceHeader;
    const int32_t tag = h.sourceTag;
    const int64_t total = h.loader.total;
    std::memset(static_cast<void*>(&h), 0, sizeof h);
    h.sourceHeader = header;
    h.sourceTag = tag;
    h.loader.total = total;
}

// A silent exit of WAVOpen: nothing stays open or allocated, no error.
[[noreturn]] void Quit_(QWavHandle& h) {
    Release_(h);
    MonExit();
    __builtin_unreachable();
}

// PCM the sound model takes: whole bytes of 8 to 32 bits, one block per frame.
bool PlayablePcm_(const QWaveFmt& f) {
    if (f.formatTag != WAVE_FORMAT_PCM || f.channels == 0 || f.samplesPerSec == 0) return false;
    if (f.bitsPerSample != 8 && f.bitsPerSample != 16 && f.bitsPerSample != 24 &&
        f.bitsPerSample != 32)
        return false;
    return f.blockAlign == f.channels * (f.bitsPerSample / 8);
}

// Reads the "fmt " chunk the file stands at into the handle's format block; true when the
// header gave no data rate.
bool ReadFormat_(QWavHandle& h, const MMCKINFO& ck, int64_t fileSize) {
    if (ck.cksize < 16 || ck.cksize > WAV_MAX_FORMAT_BYTES ||
        ck.dwDataOffset + int64_t{ck.cksize} > fileSize)
        WAVAbort_(h);
    // A 16-byte chunk has no extra size: the block keeps the 18-byte header, zero-padded.
    const int32_t size = static_cast<int32_t>(std::max<uint32_t>(ck.cksize, 18));
    _memalloc_(h.inFormat, size, __LINE__, MEM_KIND_C, "FF_WAV.WAVOpen.wf.sl.InFormat");
    h.inFormatSize = size;
    const int32_t want = static_cast<int32_t>(ck.cksize);
    if (mmioRead(h.file, h.inFormat, want) != want) WAVAbort_(h);
    if (mmioAscend(h.file, ck, 0) != 0) WAVAbort_(h);
    // The extra bytes announced are never more than the chunk holds.
    QWaveFmt& f = *h.inFormat;
    f.extraSize = static_cast<uint16_t>(std::min<int32_t>(f.extraSize, std::max(0, want - 18)));
    if (f.channels == 0 || f.channels > MAX_CHANNELS || f.samplesPerSec == 0 ||
        f.samplesPerSec > MAX_SAMPLE_RATE || f.blockAlign == 0)
        WAVAbort_(h);
    if (f.formatTag == WAVE_FORMAT_PCM && f.bitsPerSample == 0) WAVAbort_(h);
    if (f.formatTag == WAVE_FORMAT_EXTENSIBLE &&
        (ck.cksize < EXTENSIBLE_MIN_BYTES || f.extraSize < EXTENSIBLE_MIN_EXTRA))
        WAVAbort_(h);
    // One second of source when the header does not say.
    const bool noRate = static_cast<int32_t>(f.avgBytesPerSec) <= 0;
    if (noRate)
        f.avgBytesPerSec = static_cast<uint32_t>(
            std::min<int64_t>(int64_t{f.samplesPerSec} * f.blockAlign, INT32_MAX));
    h.sourceHeader = f;
    h.sourceTag = f.formatTag;
    if (f.formatTag == WAVE_FORMAT_EXTENSIBLE) {  // the tag its sub-format stands for
        const uint8_t* p = reinterpret_cast<const uint8_t*>(h.inFormat) + EXTENSIBLE_SUBFORMAT_AT;
        h.sourceTag = p[0] | (p[1] << 8);
    }
    return noRate;
}

// The output format and counts of a PCM source read as it stands, at its container width.
void OpenPcm_(QWavHandle& h) {
    const QWaveFmt& f = *h.inFormat;
    QWaveFmt out = f;
    out.formatTag = WAVE_FORMAT_PCM;
    out.extraSize = 0;
    out.bitsPerSample = static_cast<uint16_t>((f.bitsPerSample + 7) / 8 * 8);
    if (!PlayablePcm_(out)) Quit_(h);
    out.avgBytesPerSec = f.samplesPerSec * out.blockAlign;
    h.outFormat = out;
    h.passThrough = 1;
    h.ratio = 1.0;
}

// The output format and counts of a compressed source, from its conversion stream. Without a
// data rate in the header the stream cannot tell the length: the "fact" chunk does, when there
// is one.
void OpenConverted_(QWavHandle& h, bool noRate, const MMCKINFO& riff) {
    QWaveFmt out{};
    out.formatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, h.inFormat, &out, sizeof out, ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
        Quit_(h);
    if (!PlayablePcm_(out)) Quit_(h);
    HACMSTREAM stream = nullptr;
    int32_t result = acmStreamOpen(&stream, nullptr, h.inFormat, &out, nullptr, 0, 0,
                                   ACM_STREAMOPENF_NONREALTIME);
    if (result != 0) ErrFail(ERR_ACM, result);
    uint32_t outBytes = 0;
    const uint64_t srcBytes = static_cast<uint64_t>(h.loader.total) * h.srcAlign;
    result = acmStreamSize(stream, static_cast<uint32_t>(std::min<uint64_t>(srcBytes, UINT32_MAX)),
                           &outBytes, ACM_STREAMSIZEF_SOURCE);
    const int32_t closed = acmStreamClose(stream, 0);
    if (result != 0) ErrFail(ERR_ACM, result);
    if (closed != 0) ErrFail(ERR_ACM, closed);
    h.outFormat = out;
    h.sampleCount = static_cast<int32_t>(std::min<uint32_t>(outBytes / out.blockAlign, INT32_MAX));
    const int64_t fact = noRate ? FactSamples_(h.file, riff) : -1;
    if (fact > 0) h.sampleCount = static_cast<int32_t>(std::min<int64_t>(fact, INT32_MAX));
    h.ratio = h.loader.total > 0 ? static_cast<double>(h.sampleCount) / h.loader.total : 0.0;
    if (h.ratio == 0.0) h.ratio = 1.0;
}

void Open_(QWavHandle& h) {
    const int64_t fileSize = FileSize_(h.file);
    MMCKINFO riff{};
    if (mmioDescend(h.file, riff, nullptr, 0) != 0 || riff.ckid != FOURCC_RIFF ||
        riff.fccType != FOURCC_WAVE)
        WAVAbort_(h);
    // A writer on a pipe leaves the size at 0 or at its largest: the form runs to the end.
    if (riff.cksize < 4 || riff.dwDataOffset + int64_t{riff.cksize} > fileSize)
        riff.cksize = static_cast<uint32_t>(
            std::min<int64_t>(fileSize - riff.dwDataOffset, UINT32_MAX));

    MMCKINFO ck{};
    ck.ckid = FOURCC_FMT;
    if (FindChunkAndKeepExtras_(h.file, ck, &riff, MMIO_FINDCHUNK) != 0) WAVAbort_(h);
    const bool noRate = ReadFormat_(h, ck, fileSize);

    h.dataChunk.ckid = FOURCC_DATA;
    if (FindChunkAndKeepExtras_(h.file, h.dataChunk, &riff, MMIO_FINDCHUNK) != 0) WAVAbort_(h);
    // The data plays as far as the file holds it; a size of 0 with bytes after it means the
    // writer never came back to fill it in.
    const int64_t present = std::max<int64_t>(0, fileSize - h.dataChunk.dwDataOffset);
    if (h.dataChunk.cksize > present || (h.dataChunk.cksize == 0 && present > 0))
        h.dataChunk.cksize = static_cast<uint32_t>(std::min<int64_t>(present, UINT32_MAX));
    if (mmioAscend(h.file, h.dataChunk, 0) != 0) WAVAbort_(h);

    h.srcAlign = h.sourceTag == WAVE_FORMAT_MPEG || h.sourceTag == WAVE_FORMAT_MPEGLAYER3
                     ? 1
                     : h.inFormat->blockAlign;
    h.loader.total = h.dataChunk.cksize / h.srcAlign;
    h.sampleCount = static_cast<int32_t>(std::min<int64_t>(h.loader.total, INT32_MAX));
    if (h.sourceTag == WAVE_FORMAT_PCM)
        OpenPcm_(h);
    else
        OpenConverted_(h, noRate, riff);

    h.loader.destFormat = h.outFormat;
    h.loader.factor = h.ratio;
    h.convInit = FFBool(true);
    h.soundLoadable = FFBool(true);
    if (mmioSeek(h.file, h.dataChunk.dwDataOffset, MMIO_SEEK_SET) != h.dataChunk.dwDataOffset)
        ErrFail(ERR_WAV, WAV_SEEK);
}

}  // namespace

void WAVAbort_(QWavHandle& h) {
    Release_(h);
    ErrFail(ERR_WAV, WAV_OPEN);
}

void ReadIntoExtra_(HMMIO file, const MMCKINFO& ck) {
    Monitored([&] {
        uint8_t* lp = nullptr;
        const int64_t size = ck.cksize;
        _memalloc_(lp, std::clamp<int64_t>(size, 1, EXTRA_PIECE_BYTES), __LINE__, MEM_KIND_C,
                   "FF_WAV.ReadIntoExtra_.lp");
        if (mmioSeek(file, ck.dwDataOffset, MMIO_SEEK_SET) != ck.dwDataOffset)
            ErrFail(ERR_WAV, WAV_READ);
        for (int64_t done = 0; done < size;) {
            const int32_t piece = static_cast<int32_t>(
                std::min<int64_t>(size - done, EXTRA_PIECE_BYTES));
            if (mmioRead(file, lp, piece) != piece) ErrFail(ERR_WAV, WAV_READ);
            done += piece;
        }
        MemFree(lp);
        // Past the pad byte of an odd-sized chunk.
        if (mmioAscend(file, ck, 0) != 0) ErrFail(ERR_WAV, WAV_READ);
    });
}

int32_t FindChunkAndKeepExtras_(HMMIO file, MMCKINFO& ck, const MMCKINFO* parent, uint32_t flags) {
    const uint32_t wantedId = flags & MMIO_FINDRIFF   ? FOURCC_RIFF
                              : flags & MMIO_FINDLIST ? FOURCC_LIST
                                                      : ck.ckid;
    const bool byType = (flags & (MMIO_FINDRIFF | MMIO_FINDLIST)) != 0;
    const bool any = (flags & (MMIO_FINDCHUNK | MMIO_FINDRIFF | MMIO_FINDLIST)) != 0;
    const uint32_t wantedType = ck.fccType;
    const int64_t fileSize = FileSize_(file);
    for (;;) {
        MMCKINFO next{};
        const int32_t result = mmioDescend(file, next, parent, 0);
        if (result != 0) return !any && result == MMIOERR_CHUNKNOTFOUND ? 0 : result;
        if (any && next.ckid == wantedId && (!byType || next.fccType == wantedType)) {
            ck = next;
            return 0;
        }
        // A chunk that runs past the end of the file has nothing after it.
        if (next.dwDataOffset + int64_t{next.cksize} > fileSize) return MMIOERR_CHUNKNOTFOUND;
        ReadIntoExtra_(file, next);
    }
}

void WAVOpen(QWavHandle& h, const std::string& fileName) {
    Monitored([&] {
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        h.file = mmioOpenA(fileName, nullptr, MMIO_READ);
        if (!h.file) ErrFail(ERR_WAV, WAV_OPEN);
        // The file is not a tracked one: whatever stops the open closes it here.
        try {
            Open_(h);
        } catch (...) {
            Release_(h);
            throw;
        }
    });
}

void WAVSeek(QWavHandle& h, int32_t position) {
    Monitored([&] {
        if (!h.file || h.writeMode) MonExit();
        const int64_t total = h.loader.total;
        const int64_t s = std::max(position, 0);
        int64_t src = static_cast<int64_t>(s / h.ratio);
        if (src < total) {
            h.sndPos = static_cast<int32_t>(s);
        } else {
            src = std::max<int64_t>(total - 1, 0);
            h.sndPos = static_cast<int32_t>(std::min<double>(src * h.ratio, INT32_MAX));
        }
        // A block codec restarts at the block holding the sample: the frames before the sample
        // are decoded and dropped at the next load. GSM carries its filters from one block to
        // the next: it starts a few blocks earlier, so that they come close to where a straight
        // decode has them (a block's run-up leaves errors of a few percent of full scale, eight
        // leave a fraction of a percent).
        h.loader.skip = 0;
        if (!h.passThrough && h.srcAlign > 1 && h.ratio > 1.0) {
            if (h.sourceTag == WAVE_FORMAT_GSM610) src = std::max<int64_t>(0, src - GSM_RUN_UP);
            h.loader.skip = std::max<int32_t>(
                0, h.sndPos - static_cast<int32_t>(std::min<double>(src * h.ratio, INT32_MAX)));
        }
        const int64_t offset = h.dataChunk.dwDataOffset + src * h.srcAlign;
        if (mmioSeek(h.file, offset, MMIO_SEEK_SET) != offset) ErrFail(ERR_WAV, WAV_SEEK);
        SndLoaderRestart(h.loader, h.conv, src);
        h.convInit = FFBool(true);
    });
}

void WAVLoad_(void* reader, uint8_t*& block, int32_t /*wanted*/, int32_t& bytes, int32_t& units) {
    bytes = units = 0;
    Monitored([&] {
        QWavHandle& h = *static_cast<QWavHandle*>(reader);
        const int64_t align = h.srcAlign;
        const int64_t left = h.loader.total - h.loader.consumed;
        if (left <= 0) return;  // the data chunk is used up: no more source
        // One second of whole blocks, never past the end of the data chunk.
        const int64_t second = std::min<int64_t>(h.inFormat->avgBytesPerSec, MAX_READ_BYTES);
        const int64_t want = std::min(std::max(second / align, int64_t{1}), left) * align;
        MemLive(block);
        _memalloc_(block, want, __LINE__, MEM_KIND_C, "FF_WAV.WAVLoad_.temp_buf");
        const int32_t got = mmioRead(h.file, block, static_cast<int32_t>(want));
        if (got < align) ErrFail(ERR_WAV, WAV_READ);
        units = static_cast<int32_t>(got / align);
        bytes = static_cast<int32_t>(units * align);
    });
}

void WAVLoad(QWavHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        if (!h.file || !h.soundLoadable) {
            sound.samples = 0;
            MonExit();
        }
        if (!cont || start != h.sndPos) WAVSeek(h, start);
        sound.samples = 0;
        if (h.writeMode) MonExit();
        const bool kept = MemLive(h.loader.converted) && h.loader.position < h.loader.valid;
        if (h.loader.endOfSource && !kept) MonExit();
        // The source as the loader reads it: PCM passes through unconverted.
        h.loader.srcFormat = h.passThrough ? &h.outFormat : h.inFormat;
        h.loader.destFormat = h.outFormat;
        h.loader.factor = h.ratio;
        if (h.convInit) {
            if (!h.passThrough) WaveConvertInit(h.conv, *h.inFormat, h.outFormat);
            h.convInit = 0;
        }
        SndLoad(&h, h.conv, h.loader, WAVLoad_, std::max(count, 0), sound);
        h.sndPos = static_cast<int32_t>(
            std::min<int64_t>(int64_t{h.sndPos} + sound.samples, INT32_MAX));
    });
}

void WAVClose(QWavHandle& h) {
    Monitored([&] {
        if (!h.file) {
            Release_(h);
            std::memset(static_cast<void*>(&h), 0, sizeof h);
            MonExit();
        }
        HMMIO file = h.file;
        QWaveConv conv = h.conv;
        h.file = nullptr;
        h.conv = QWaveConv{};
        Release_(h);
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        const int32_t closed = mmioClose(file, 0);
        if (conv.stream) WaveConvertDone(conv);
        if (closed != 0) ErrFail(ERR_WINMM, closed);
    });
}

void WAVInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        int32_t id = BAD_HANDLE;
        FOpen(id, fileName, FM_READ);
        info.fileSize = static_cast<double>(FSize(id));
        FClose(id);
        QWavHandle h;
        WAVOpen(h, fileName);
        info.soundFormat = h.sourceHeader;
        info.playFormat = h.outFormat;
        info.hasSound = FFBool(h.loader.total > 0);
        info.soundSamples = h.sampleCount;
        info.soundCompression = FFShortStr(AVIGetAudioName(h.sourceTag));
        info.soundSupported = FFBool(h.soundLoadable != 0);
        WAVClose(h);
    });
}

}  // namespace kelvora
