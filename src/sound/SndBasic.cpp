#include "sound/SndBasic.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

void ClearSound_(Qsnd& sound) { std::memset(static_cast<void*>(&sound), 0, sizeof sound); }

// Whether the record's data is a live block registered to this record (not a block that
// reuses the address of data a failure released).
bool OwnsData_(const Qsnd& sound) { return MemIsTrackedBy(&sound.data, sound.data); }

}  // namespace

void _sndalloc_(Qsnd& sound, int32_t bytes, int32_t line, const std::string& name) {
    Monitored([&] {
        if (!OwnsData_(sound)) ClearSound_(sound);
        _memalloc_(sound.data, bytes, line, MEM_KIND_C, "(SndAlloc):" + name);
        sound.allocated = bytes;
    });
}

void SndFree(Qsnd& sound) {
    if (OwnsData_(sound)) MemFree(sound.data);
    ClearSound_(sound);
}

bool WaveFmtFix(QWaveFmt& format) {
    if (format.bitsPerSample == 0 || format.samplesPerSec == 0 || format.channels == 0)
        return false;
    format.blockAlign = static_cast<uint16_t>(format.channels * (format.bitsPerSample / 8));
    format.avgBytesPerSec = format.samplesPerSec * format.blockAlign;
    return true;
}

bool WaveFmtDiffers(const QWaveFmt& a, const QWaveFmt& b) { return std::memcmp(&a, &b, 16) != 0; }

void SndAddSilence(Qsnd& sound, int32_t samples) {
    Monitored([&] {
        if (!WaveFmtFix(sound.format)) ErrFail(ERR_AUDIO, AUDIO_INVALID_FORMAT);
        const int64_t align = sound.format.blockAlign;
        const bool tracked = OwnsData_(sound);
        // A record without a live block holds nothing, whatever its sample count says.
        int64_t have = tracked ? std::min<int64_t>(int64_t{sound.samples} * align, sound.allocated)
                               : 0;
        if (have < 0) have = 0;
        const int64_t want = int64_t{samples} * align;
        if (have >= want) return;
        if (want > INT32_MAX) ErrFail(ERR_MEM, MEM_INVALID_REQUEST);
        if (sound.format.formatTag == 0)
            sound.format = QWaveFmt{WAVE_FORMAT_PCM, 1, 22050, 22050, 1, 8, 0};
        if (sound.allocated < want || !tracked) {
            // A fresh record is cleared by the allocation; its format is what is being padded.
            const QWaveFmt format = sound.format;
            _sndalloc_(sound, static_cast<int32_t>(want), __LINE__,
                       "SndBasic.SndAddSilence.snd.SndData");
            sound.format = format;
        }
        FillBytes(sound.format.bitsPerSample == 8 ? 128 : 0, want - have, sound.data + have);
        sound.samples = samples;
    });
}

void WaveConvertInit(QWaveConv& conv, const QWaveFmt& source, const QWaveFmt& destination) {
    std::memset(static_cast<void*>(&conv), 0, sizeof conv);
    Monitored([&] {
        const int32_t result = acmStreamOpen(&conv.stream, nullptr, &source, &destination, nullptr,
                                             0, 0, ACM_STREAMOPENF_NONREALTIME);
        if (result != 0) {
            conv.stream = nullptr;
            ErrFail(ERR_ACM, result);
        }
        conv.flags = ACM_STREAMCONVERTF_START + ACM_STREAMCONVERTF_BLOCKALIGN;
    });
}

namespace {

// One pass of the stream over a block: predict, prepare, convert, unprepare.
void ConvertPass_(QWaveConv& conv, const uint8_t* source, int32_t srcBytes, uint8_t* destination,
                  int32_t destCapacity, int32_t& produced) {
    uint32_t predicted = 0;
    if (const int32_t r = acmStreamSize(conv.stream, static_cast<uint32_t>(srcBytes), &predicted,
                                        ACM_STREAMSIZEF_SOURCE))
        ErrFail(ERR_ACM, r);
    ACMSTREAMHEADER& h = conv.header;
    h = ACMSTREAMHEADER{};
    h.cbStruct = sizeof h;
    h.pbSrc = source;
    h.cbSrcLength = static_cast<uint32_t>(srcBytes);
    h.pbDst = destination;
    h.cbDstLength = static_cast<uint32_t>(destCapacity);
    if (const int32_t r = acmStreamPrepareHeader(conv.stream, &h, 0)) ErrFail(ERR_ACM, r);
    h.cbSrcLengthUsed = h.cbDstLengthUsed = 0;
    const int32_t converted = acmStreamConvert(conv.stream, &h, conv.flags);
    const int32_t unprepared = acmStreamUnprepareHeader(conv.stream, &h, 0);
    if (converted) ErrFail(ERR_ACM, converted);
    if (unprepared) ErrFail(ERR_ACM, unprepared);
    produced = static_cast<int32_t>(std::min<uint32_t>(h.cbDstLengthUsed, destCapacity));
    conv.flags = ACM_STREAMCONVERTF_BLOCKALIGN;
}

// Room enough for anything a conversion pass can give for `bytes` source bytes: twice what the
// stream predicts, and never less than 64 times the bytes (no codec of a wave file expands
// more: 8 kbit/s speech or MPEG audio to 16-bit stereo is 32 times), with room for what a
// decoder held back from the rounds before (an MPEG audio parser keeps a frame or two).
int64_t ConversionRoom_(const QWaveConv& conv, const QWaveFmt& src, const QWaveFmt& dest,
                        int32_t bytes) {
    if (!WaveFmtDiffers(src, dest)) return int64_t{bytes} * 2;
    uint32_t predicted = 0;
    if (conv.stream && acmStreamSize(conv.stream, static_cast<uint32_t>(bytes), &predicted,
                                     ACM_STREAMSIZEF_SOURCE) != 0)
        predicted = 0;
    constexpr int64_t kHeldBack = 1 << 16;
    const int64_t most = std::max(int64_t{predicted} * 2, int64_t{bytes} * 64);
    return std::min<int64_t>(INT32_MAX / 2, most + kHeldBack + dest.blockAlign);
}

}  // namespace

void WaveConvert(QWaveConv& conv, const uint8_t* source, uint8_t* destination,
                 const QWaveFmt& destFormat, const QWaveFmt& srcFormat, int32_t& produced,
                 int32_t destCapacity, int32_t srcBytes) {
    produced = 0;
    Monitored([&] {
        if (srcBytes < 1 || destCapacity < 1) return;
        if (!WaveFmtDiffers(srcFormat, destFormat)) {
            if (destCapacity < srcBytes) ErrFail(ERR_AUDIO, AUDIO_CONVERT_WAVE);
            std::memcpy(destination, source, static_cast<size_t>(srcBytes));
            produced = srcBytes;
            return;
        }
        QWaveFmt pcm{};
        if (srcFormat.formatTag == WAVE_FORMAT_PCM) {
            pcm = srcFormat;
        } else {
            pcm.formatTag = WAVE_FORMAT_PCM;
            if (acmFormatSuggest(nullptr, &srcFormat, &pcm, sizeof pcm,
                                 ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
                ErrFail(ERR_AUDIO, AUDIO_CONVERT_WAVE);
        }
        if (!WaveFmtFix(pcm)) ErrFail(ERR_AUDIO, AUDIO_CONVERT_WAVE);
        // Only a conversion to the source's own PCM is made (what the readers ask for).
        if (!WaveFmtDiffers(pcm, srcFormat) || !WaveFmtDiffers(pcm, destFormat))
            ConvertPass_(conv, source, srcBytes, destination, destCapacity, produced);
    });
}

void WaveConvertDone(QWaveConv& conv) {
    const HACMSTREAM stream = conv.stream;
    std::memset(static_cast<void*>(&conv), 0, sizeof conv);
    if (!stream) return;
    Monitored([&] {
        if (const int32_t r = acmStreamClose(stream, 0)) ErrFail(ERR_ACM, r);
    });
}

void SndLoaderRestart(QSndLoader& loader, QWaveConv& conv, int64_t unit) {
    loader.consumed = unit;
    loader.valid = loader.position = 0;
    loader.endOfSource = false;
    if (conv.stream) WaveConvertDone(conv);
}

void SndLoad(void* reader, QWaveConv& conv, QSndLoader& loader, SndReadProc read, int32_t samples,
             Qsnd& sound) {
    Monitored([&] {
        if (loader.skip > 0) {
            // Dropped in pieces: the count follows the file's own figures, which may claim
            // far more sound than it holds.
            constexpr int32_t kDropPiece = 1 << 16;
            Qsnd dropped{};
            int32_t skip = loader.skip;
            loader.skip = 0;
            while (skip > 0) {
                SndLoad(reader, conv, loader, read, std::min(skip, kDropPiece), dropped);
                if (dropped.samples <= 0) break;
                skip -= dropped.samples;
            }
            SndFree(dropped);
        }
        QWaveFmt dest = loader.destFormat;
        if (!WaveFmtFix(dest) || dest.blockAlign == 0 || !loader.srcFormat)
            ErrFail(ERR_AUDIO, AUDIO_INVALID_FORMAT);
        const int64_t align = dest.blockAlign;
        const int64_t wanted64 = int64_t{samples > 0 ? samples : 0} * align;
        if (wanted64 > INT32_MAX / 2) ErrFail(ERR_MEM, MEM_INVALID_REQUEST);
        const int32_t wanted = static_cast<int32_t>(wanted64);
        if (wanted == 0) {
            sound.samples = 0;
            sound.format = loader.destFormat;
            return;
        }
        _sndalloc_(sound, wanted, __LINE__, "SndBasic.SndLoad.sh");
        sound.format = loader.destFormat;

        // The kept buffer counts only while its block is alive and its figures are consistent.
        const int32_t kept = MemIsTrackedBy(&loader.converted, loader.converted)
                                 ? MemBlockSize(loader.converted)
                                 : 0;
        if (loader.valid > kept || loader.position < 0 || loader.position > loader.valid)
            loader.valid = loader.position = 0;
        const int32_t available = loader.valid - loader.position;
        if (available >= wanted) {
            std::memcpy(sound.data, loader.converted + loader.position, static_cast<size_t>(wanted));
            loader.position += wanted;
            sound.samples = static_cast<int32_t>(wanted / align);
        } else {
            if (available > 0)
                std::memcpy(sound.data, loader.converted + loader.position,
                            static_cast<size_t>(available));
            int32_t delivered = available;
            loader.valid = loader.position = 0;
            if (loader.endOfSource) {
                sound.samples = static_cast<int32_t>(delivered / align);
                return;
            }
            uint8_t* block = nullptr;
            for (;;) {
                int32_t bytes = 0, units = 0;
                read(reader, block, wanted, bytes, units);
                if (units <= 0 || bytes <= 0 || !MemIsTrackedBy(&block, block) ||
                    bytes > MemBlockSize(block)) {
                    if (MemIsTrackedBy(&block, block)) MemFree(block);
                    loader.endOfSource = true;
                    sound.samples = static_cast<int32_t>(delivered / align);
                    return;
                }
                loader.consumed += units;
                const double estimate = std::nearbyint(units * loader.factor *
                                                       static_cast<double>(align) * 2);
                int32_t size = estimate >= 1 && estimate <= INT32_MAX / 2
                                   ? static_cast<int32_t>(estimate)
                                   : 1;
                // The factor comes from the file's own figures, which may claim far more sound
                // than the bytes hold: what the conversion can make of them bounds the room.
                const int64_t room = ConversionRoom_(conv, *loader.srcFormat, loader.destFormat,
                                                     bytes);
                if (room > 0 && size > room) size = static_cast<int32_t>(room);
                _memalloc_(loader.converted, size, __LINE__, MEM_KIND_C,
                           "SndBasic.SndLoad.sl.SndData");
                // The round that takes the last of the source ends the stream, so that what a
                // decoder holds back (a partial piece, a frame its parser keeps) comes out too.
                if (loader.consumed >= loader.total) conv.flags |= ACM_STREAMCONVERTF_END;
                int32_t produced = 0;
                WaveConvert(conv, block, loader.converted, loader.destFormat, *loader.srcFormat,
                            produced, size, bytes);
                loader.valid = produced;
                const int32_t take = std::min(produced, wanted - delivered);
                std::memcpy(sound.data + delivered, loader.converted, static_cast<size_t>(take));
                delivered += take;
                loader.position = take;
                loader.endOfSource = loader.consumed >= loader.total;
                if (delivered >= wanted || loader.endOfSource) {
                    sound.samples = static_cast<int32_t>(delivered / align);
                    MemFree(block);
                    break;
                }
            }
        }
        if (loader.position == loader.valid) loader.valid = loader.position = 0;
    });
}

}  // namespace kelvora
