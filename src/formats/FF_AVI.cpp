#include "formats/FF_AVI.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>

#include "formats/FFBasic.h"
#include "platform/AcmStream.h"
#include "platform/RiffFile.h"
#include "platform/VideoCodec.h"
#include "platform/libavi.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"
#include "sound/SndBasic.h"

namespace kelvora {

std::string AVIGetAudioName(uint16_t tag) {
    std::string name = "(#" + std::to_string(tag) + ") ";
    std::string decoder;
    if (tag == WAVE_FORMAT_PCM)
        name += "PCM, uncompressed";
    else if (acmFormatTagDetails(tag, decoder) == 0 && !decoder.empty())
        name += decoder;
    else
        name += "Unknown codec";
    return name;
}

namespace {}  // namespace

bool AVIChk4FullFrames_(uint32_t fourcc) {
    const uint32_t u = FourCCUpper(fourcc);
    return fourcc == 0 || u == FourCC('D', 'I', 'B', ' ') || u == FourCC('R', 'A', 'W', ' ') ||
           u == FourCC('R', 'G', 'B', ' ');
}

bool AVIChk4Video1_(uint32_t fourcc) {
    const uint32_t u = FourCCUpper(fourcc);
    return u == FourCC('M', 'S', 'V', 'C') || u == FourCC('C', 'R', 'A', 'M') ||
           u == FourCC('W', 'H', 'A', 'M');
}

std::string AVIGetVideoName(uint32_t fourcc) {
    std::string name = fourcc == 0 ? std::string() : "(" + FourCCStr(fourcc) + ") ";
    if (AVIChk4FullFrames_(fourcc)) return name + "Full frames, uncompressed";
    // Every Video 1 code is asked as the one the decompressor is installed under.
    const std::string decoder = VideoCodecName(AVIChk4Video1_(fourcc) ? FourCC('m', 's', 'v', 'c')
                                                                      : fourcc);
    return name + (decoder.empty() ? std::string("Unknown codec") : decoder);
}

// --- The reader ---------------------------------------------------------------------------------

namespace {

// Handles open at this moment; closing acts only while it is above 0.
std::atomic<int32_t> gOpenCount{0};

constexpr uint16_t WAVE_FORMAT_MPEG_ = 0x50;
constexpr uint16_t WAVE_FORMAT_MPEGLAYER3_ = 0x55;
// Frames of MPEG audio decoded and dropped before the one a seek lands in.
constexpr int32_t kMpegRunUp = 10;

// The AVI file handler class the second open names.
constexpr CLSID kAviFileHandler = {0x00020000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Width, height and depth from a packed bitmap's header; false when it has none.
bool DibGeometry_(const uint8_t* dib, int32_t size, int32_t& w, int32_t& h, int32_t& bits) {
    if (!dib || size < 40) return false;
    w = static_cast<int32_t>(RiffU32(dib + 4));
    h = std::abs(static_cast<int32_t>(RiffU32(dib + 8)));
    bits = dib[14] | dib[15] << 8;
    return w > 0 && h > 0 && bits > 0;
}

// The handler code the library always serves.
bool LibraryCodec_(uint32_t handler) {
    return handler == FourCC('d', 'v', 's', 'd') || handler == FourCC('D', 'V', 'S', 'D') ||
           handler == FourCC('c', 'v', 'i', 'd') || handler == FourCC('C', 'V', 'I', 'D');
}

void ReleaseVideo_(QAviHandle& h) {
    if (h.video) AVIStreamRelease(h.video);
    h.video = nullptr;
}

// Closes what the handle holds; never raises. The blocks go with MemFree when still live.
void Release_(QAviHandle& h) {
    if (h.getFrame) AVIStreamGetFrameClose(h.getFrame);
    if (h.video) AVIStreamRelease(h.video);
    if (h.audio) AVIStreamRelease(h.audio);
    if (h.conv.stream) acmStreamClose(h.conv.stream, 0);
    if (h.libHandle) avi_close_DD(h.libHandle);
    if (h.file) AVIFileRelease(h.file);
    if (MemLive(h.videoFormat)) MemFree(h.videoFormat);
    if (MemLive(h.inFormat)) MemFree(h.inFormat);
    if (MemLive(h.loader.converted)) MemFree(h.loader.converted);
    std::memset(static_cast<void*>(&h), 0, sizeof h);
}

// The library's sound in place of the file's: PCM as delivered, one block per sample frame.
bool UseLibraryAudio_(QAviHandle& h, const QWaveFmt& format) {
    if (!h.libHasAudio) return false;
    if (h.audio) AVIStreamRelease(h.audio);
    h.audio = nullptr;
    _memalloc_(h.inFormat, sizeof(QWaveFmt), __LINE__, MEM_KIND_C, "FF_AVI.AviOpen.af.sl.InFormat");
    h.inFormatSize = sizeof(QWaveFmt);
    *h.inFormat = format;
    h.outFormat = format;
    h.libAudio = FFBool(true);
    h.srcLength = h.pcmLength = avi_get_sound_frames_DD(h.libHandle);
    h.ratio = 1.0;
    h.perChunk = 0;
    return true;
}

// Samples per frame of MPEG audio, for a stream of one chunk per frame.
int32_t MpegFrameSamples_(const QWaveFmt& f, const uint8_t* extra, int32_t extraBytes) {
    if (f.formatTag == WAVE_FORMAT_MPEG_ && extraBytes >= 2 && (extra[0] | extra[1] << 8) == 1)
        return 384;
    if (f.formatTag == WAVE_FORMAT_MPEGLAYER3_ && f.samplesPerSec < 32000) return 576;
    return 1152;
}

// The sound stream: formats, lengths and ratio. False when it cannot be played.
bool OpenAudio_(QAviHandle& h) {
    if (AVIStreamInfo(h.audio, &h.audioHeader, sizeof h.audioHeader) != 0) return false;
    h.srcLength = std::max(0, AVIStreamLength(h.audio));
    h.pcmLength = h.srcLength;
    uint8_t* format = nullptr;
    int32_t size = 0;
    if (AVIStreamReadFormat_(h.audio, format, size, "FF_AVI.AVIStreamReadFormat_.dest_ptr") != 0)
        return false;
    // Room for the 18-byte header whatever the stored size; the extra bytes never pass the
    // stored ones.
    const int32_t stored = size;
    if (size < static_cast<int32_t>(sizeof(QWaveFmt))) {
        _memalloc_(format, sizeof(QWaveFmt), __LINE__, MEM_KIND_C,
                   "FF_AVI.AVIStreamReadFormat_.dest_ptr");
        size = sizeof(QWaveFmt);
    }
    // The block now lives in the handle: registered there, so that the close finds it.
    h.inFormat = reinterpret_cast<QWaveFmt*>(format);
    MemSetOwnerRaw_(format, &h.inFormat);
    h.inFormatSize = size;
    QWaveFmt& f = *h.inFormat;
    if (stored < 16) return false;
    f.extraSize = static_cast<uint16_t>(std::min<int32_t>(f.extraSize, std::max(0, stored - 18)));
    if (f.channels == 0 || f.samplesPerSec == 0 || f.blockAlign == 0) return false;
    if (static_cast<int32_t>(f.avgBytesPerSec) < 1)
        f.avgBytesPerSec = static_cast<uint32_t>(
            std::min<int64_t>(int64_t{f.samplesPerSec} * f.blockAlign, INT32_MAX));
    if (f.formatTag == WAVE_FORMAT_PCM) {
        h.outFormat = f;
        h.outFormat.extraSize = 0;
    } else {
        QWaveFmt out{};
        out.formatTag = WAVE_FORMAT_PCM;
        if (acmFormatSuggest(nullptr, &f, &out, sizeof out, ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
            return false;
        h.outFormat = out;
        if (h.audioHeader.dwSampleSize == 0) {
            // One chunk per frame (variable bit rate): the length comes from the frames, each
            // chunk one frame of the stream's time base.
            int64_t per = h.audioHeader.dwRate > 0
                              ? std::llround(static_cast<double>(h.audioHeader.dwScale) *
                                             f.samplesPerSec / h.audioHeader.dwRate)
                              : 0;
            if (per <= 0 || per > 65536)
                per = MpegFrameSamples_(f, reinterpret_cast<const uint8_t*>(&f) + 18, f.extraSize);
            h.perChunk = static_cast<int32_t>(per);
            h.pcmLength = static_cast<int32_t>(std::min<int64_t>(per * h.srcLength, INT32_MAX));
        } else {
            HACMSTREAM stream = nullptr;
            if (acmStreamOpen(&stream, nullptr, &f, &out, nullptr, 0, 0,
                              ACM_STREAMOPENF_NONREALTIME) != 0)
                return false;
            uint32_t bytes = 0;
            const int64_t src = int64_t{h.srcLength} * f.blockAlign;
            const int32_t r = acmStreamSize(
                stream, static_cast<uint32_t>(std::min<int64_t>(src, UINT32_MAX)), &bytes,
                ACM_STREAMSIZEF_SOURCE);
            acmStreamClose(stream, 0);
            if (r != 0) return false;
            h.pcmLength = static_cast<int32_t>(std::min<uint32_t>(bytes / out.blockAlign, INT32_MAX));
        }
    }
    h.ratio = h.srcLength > 0 ? static_cast<double>(h.pcmLength) / h.srcLength : 0.0;
    if (h.ratio == 0.0) h.ratio = 1.0;
    return WaveFmtFix(h.outFormat);
}

// The frame decompressor on frame 0: the picture's size and depth. False when it cannot decode.
bool ProbeFrame0_(QAviHandle& h) {
    h.getFrame = AVIStreamGetFrameOpen(h.video, nullptr);
    if (!h.getFrame) return false;
    int32_t size = 0;
    const uint8_t* dib = AVIStreamGetFrame(h.getFrame, AVIStreamStart(h.video), &size);
    int32_t w = 0, ht = 0, bits = 0;
    if (!DibGeometry_(dib, size, w, ht, bits)) return false;
    h.width = w, h.height = ht, h.bitsPP = bits;
    return true;
}

void OpenVideo_(QAviHandle& h) {
    if (AVIStreamInfo(h.video, &h.videoHeader, sizeof h.videoHeader) != 0)
        ErrFail(ERR_AVIFILE, static_cast<int32_t>(AVIERR_BADHANDLE));
    if (const int32_t r = AVIStreamReadFormat_(h.video, h.videoFormat, h.videoFormatSize,
                                               "FF_AVI.AVIStreamReadFormat_.dest_ptr"))
        ErrFail(ERR_AVIFILE, r);
    const uint32_t handler = h.videoHeader.fccHandler;
    if (LibraryCodec_(handler)) {
        ReleaseVideo_(h);
        return;
    }
    h.frameRate = h.videoHeader.dwScale > 0
                      ? static_cast<double>(h.videoHeader.dwRate) / h.videoHeader.dwScale
                      : 0.0;
    h.frames = AVIStreamLength(h.video);
    if (h.frames < 1) ErrFail(ERR_AVI, AVI_OPEN);
    if (!ProbeFrame0_(h)) {
        if (h.getFrame) AVIStreamGetFrameClose(h.getFrame);
        h.getFrame = nullptr;
        ReleaseVideo_(h);
        int32_t w = 0, ht = 0, bits = 0;
        if (DibGeometry_(h.videoFormat, h.videoFormatSize, w, ht, bits))
            h.width = w, h.height = ht, h.bitsPP = bits;
        return;
    }
    // Uncompressed frames other than 32-bit go to the library when it has video; the
    // decompressor stays open for the case it has not.
    if (AVIChk4FullFrames_(handler) && h.bitsPP != 32) ReleaseVideo_(h);
}

void Open_(QAviHandle& h, const std::string& fileName) {
    struct stat st {};
    h.fileSize = ::stat(fileName.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0.0;

    // The library's facts, asked once: its picture takes over when the file services give none.
    QWaveFmt libSound{};
    int32_t w = 0, ht = 0, bits = 0, frames = 0;
    double rate = 0;
    h.libHandle = avi_open_DD(fileName.c_str(), nullptr);
    if (h.libHandle) {
        avi_get_info_DD(h.libHandle, &w, &ht, &bits, &frames, &rate, &libSound);
        h.libHasVideo = FFBool(w != 0 && ht != 0 && bits != 0 && frames != 0);
        h.libHasAudio = FFBool(libSound.channels != 0 && libSound.samplesPerSec != 0 &&
                               libSound.bitsPerSample != 0);
        if (h.libHasVideo) {
            h.width = w, h.height = ht, h.bitsPP = bits, h.frames = frames, h.frameRate = rate;
        }
    }

    int32_t r = AVIFileOpen(&h.file, fileName, OF_READ, nullptr);
    if (r != 0) {
        ErrNoteCode(ERR_AVIFILE, r, __LINE__);
        r = AVIFileOpen(&h.file, fileName, OF_READ, &kAviFileHandler);
        if (r != 0) {
            h.file = nullptr;
            if (h.libHandle)
                ErrNoteCode(ERR_AVIFILE, r, __LINE__);
            else
                ErrFail(ERR_AVIFILE, r);
        }
    }
    if (h.file) {
        AVIFILEINFO fi{};
        if (AVIFileInfo(h.file, &fi, sizeof fi) == 0)
            h.maxBytesPerSec = static_cast<int32_t>(
                std::min<uint32_t>(fi.dwMaxBytesPerSec, INT32_MAX));
        if (AVIFileGetStream(h.file, &h.video, streamtypeVIDEO, 0) == 0)
            OpenVideo_(h);
        else
            h.video = nullptr;
        if (AVIFileGetStream(h.file, &h.audio, streamtypeAUDIO, 0) == 0) {
            if (!OpenAudio_(h)) AVIIgnoreAudio_(h);
        } else {
            h.audio = nullptr;
        }
    }
    if (!h.video && h.libHasVideo) {
        h.libVideo = FFBool(true);
        if (h.getFrame) AVIStreamGetFrameClose(h.getFrame);
        h.getFrame = nullptr;
        h.width = w, h.height = ht, h.bitsPP = bits, h.frames = frames, h.frameRate = rate;
    }
    if (h.bitsPP == 16) h.bitsPP = 15;
    h.bytesPP = (h.bitsPP + 7) / 8;
    if (!h.audio && !h.libAudio && h.libHasAudio) UseLibraryAudio_(h, libSound);
    if (h.audio) {
        // A first piece of sound tells whether the stream can be read at all.
        uint8_t* piece = nullptr;
        const int64_t bytes = std::clamp<int64_t>(int64_t{h.inFormat->avgBytesPerSec} * 4, 1,
                                                  64 * 1024 * 1024);
        _memalloc_(piece, bytes, __LINE__, MEM_KIND_C, "FF_AVI.AviOpen.audioBuf");
        int32_t got = 0;
        const bool read = h.srcLength > 0 &&
                          AVIStreamRead(h.audio, AVIStreamStart(h.audio), AVISTREAMREAD_CONVENIENT,
                                        piece, static_cast<int32_t>(bytes), &got, nullptr) == 0;
        MemFree(piece);
        if (!read && !UseLibraryAudio_(h, libSound)) AVIIgnoreAudio_(h);
    }
    h.convInit = FFBool(true);
    h.sndNextPos = 0;
}

}  // namespace

int32_t AVIStreamReadFormat_(PAVISTREAM stream, uint8_t*& format, int32_t& size, const char* label) {
    size = 0;
    int32_t r = AVIStreamReadFormat(stream, AVIStreamStart(stream), nullptr, &size);
    if (r != 0) return r;
    if (size <= 0) return static_cast<int32_t>(AVIERR_BADFORMAT);
    _memalloc_(format, size, __LINE__, MEM_KIND_C, label);
    int32_t got = size;
    r = AVIStreamReadFormat(stream, AVIStreamStart(stream), format, &got);
    if (r == 0 && got != size) r = static_cast<int32_t>(AVIERR_BADFORMAT);
    return r;
}

void AVIIgnoreAudio_(QAviHandle& h) {
    if (h.audio) AVIStreamRelease(h.audio);
    h.audio = nullptr;
    if (MemLive(h.inFormat)) MemFree(h.inFormat);
    h.inFormat = nullptr;
    h.inFormatSize = 0;
    h.outFormat = QWaveFmt{};
    h.srcLength = h.pcmLength = 0;
    h.ratio = 1.0;
    h.perChunk = 0;
    ErrNoteCode(ERR_AVI, AVI_AUDIO_INVALID, __LINE__);
}

void AviOpen(QAviHandle& h, const std::string& fileName) {
    Monitored([&] {
        std::memset(static_cast<void*>(&h), 0, sizeof h);
        ++gOpenCount;
        // The file services' objects are not tracked: whatever stops the open releases them.
        try {
            Open_(h, fileName);
        } catch (...) {
            Release_(h);
            --gOpenCount;
            throw;
        }
    });
}

int32_t AviNearestKeyFrame(QAviHandle& h, int32_t frame, int32_t direction) {
    if (h.frames < 1) return 1;
    const int32_t a = std::clamp(frame, 1, h.frames);
    // The library decodes every frame on its own, and uncompressed frames are all key frames.
    if (!h.video) return a;
    const int32_t start = AVIStreamStart(h.video);
    const int32_t found = direction == -1
                              ? AVIStreamFindSample(h.video, start + a - 2, FIND_PREV | FIND_KEY)
                              : AVIStreamFindSample(h.video, start + a - 1, FIND_NEXT | FIND_KEY);
    return found < start ? 1 : found - start + 1;
}

void AviImgLoad(QAviHandle& h, Qimg& image, int32_t frame, int32_t mode) {
    Monitored([&] {
        if (frame < 0 || frame > h.frames) ErrFail(ERR_AVI, AVI_READ);
        if ((mode & 1) && frame == h.curFrame) MonExit();
        if (frame != 0 && frame != h.curFrame + 1) h.curFrame = frame - 1;
        if (h.curFrame >= h.frames) ErrFail(ERR_AVI, AVI_READ);
        h.newPalette = FFBool(false);
        QBGR before[256];
        std::memcpy(before, image.palette, sizeof before);
        if (h.libVideo) {
            _imgalloc_(image, h.width, h.height, "FF_AVI.AviImgLoad.img", __LINE__, 24);
            if (!avi_get_frame_DD(h.libHandle, image.data, h.curFrame)) ErrFail(ERR_AVI, AVI_READ);
        } else {
            if (!h.getFrame && h.video) h.getFrame = AVIStreamGetFrameOpen(h.video, nullptr);
            if (!h.getFrame) ErrFail(ERR_AVI, AVI_READ);
            const int32_t start = h.video ? AVIStreamStart(h.video) : 0;
            int32_t size = 0;
            const uint8_t* dib = AVIStreamGetFrame(h.getFrame, start + h.curFrame, &size);
            if (!dib) ErrFail(ERR_AVI, AVI_READ);
            DibToQimg(image, dib, size);
        }
        // A palette picture brings its palette with the first frame, and again whenever the
        // stream changes it.
        if (image.bitsPP == 8 &&
            (h.curFrame == 0 || std::memcmp(before, image.palette, sizeof before) != 0))
            h.newPalette = FFBool(true);
        ++h.curFrame;
    });
}

void AviSndSeek(QAviHandle& h, int32_t position) {
    Monitored([&] {
        if (position >= h.pcmLength) return;
        const int32_t p = std::max(position, 0);
        int64_t block = static_cast<int64_t>(p / h.ratio);
        if (block < h.srcLength) {
            h.sndNextPos = p;
        } else {
            block = std::max(h.srcLength - 1, 0);
            h.sndNextPos = static_cast<int32_t>(std::min<double>(block * h.ratio, INT32_MAX));
        }
        // MPEG audio frames lean on the frames before them (the bit reservoir reaches back
        // several small frames, and the overlap one more): the decoder runs up over ten frames
        // before the block holding the sample.
        if (h.inFormat && (h.inFormat->formatTag == WAVE_FORMAT_MPEG_ ||
                           h.inFormat->formatTag == WAVE_FORMAT_MPEGLAYER3_)) {
            const double perBlock = h.perChunk > 0 ? h.perChunk : h.ratio;
            const int64_t back = perBlock > 0
                                     ? static_cast<int64_t>(std::ceil(kMpegRunUp * 1152 / perBlock))
                                     : 0;
            block = std::max<int64_t>(0, block - back);
        }
        // A block codec starts at the block holding the sample and drops what lies before it.
        const int32_t at = static_cast<int32_t>(std::min<double>(block * h.ratio, INT32_MAX));
        h.loader.skip = h.inFormat && h.inFormat->formatTag != WAVE_FORMAT_PCM && !h.libAudio
                            ? std::max(0, h.sndNextPos - at)
                            : 0;
        SndLoaderRestart(h.loader, h.conv, block);
        h.convInit = FFBool(true);
    });
}

void AviSndLoad_(void* reader, uint8_t*& block, int32_t /*wanted*/, int32_t& bytes, int32_t& units) {
    bytes = units = 0;
    Monitored([&] {
        QAviHandle& h = *static_cast<QAviHandle*>(reader);
        const int64_t at = h.loader.consumed;
        if (at >= h.srcLength) return;
        const int32_t room = static_cast<int32_t>(
            std::clamp<int64_t>(int64_t{h.inFormat->avgBytesPerSec} * 4, 1, 64 * 1024 * 1024));
        MemLive(block);
        _memalloc_(block, room, __LINE__, MEM_KIND_C, "FF_AVI.AviSndLoad_.temp_buf");
        int32_t got = 0, samples = 0;
        if (h.libAudio) {
            if (!avi_get_sample_DD(h.libHandle, static_cast<int32_t>(at), block, &got, &samples))
                ErrFail(ERR_AVIFILE, 1);
        } else {
            const int32_t start = AVIStreamStart(h.audio) + static_cast<int32_t>(at);
            // PCM reads what is convenient; other sound asks for a second's worth of blocks.
            const int32_t want = h.inFormat->formatTag == WAVE_FORMAT_PCM
                                     ? AVISTREAMREAD_CONVENIENT
                                     : static_cast<int32_t>(std::min<int64_t>(
                                           h.inFormat->avgBytesPerSec, h.srcLength - at));
            if (const int32_t r = AVIStreamRead(h.audio, start, want, block, room, &got, &samples))
                ErrFail(ERR_AVIFILE, r);
        }
        bytes = got;
        units = samples;
    });
}

void AviSndLoad(QAviHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        if (!cont || start != h.sndNextPos) AviSndSeek(h, start);
        sound.samples = 0;
        const bool kept = MemLive(h.loader.converted) && h.loader.position < h.loader.valid;
        if ((h.loader.endOfSource && !kept) || (!h.audio && !h.libAudio) || !h.inFormat)
            ErrFail(ERR_AVI, AVI_READ_AUDIO);
        h.loader.srcFormat = h.inFormat;
        h.loader.destFormat = h.outFormat;
        h.loader.total = h.srcLength;
        h.loader.factor = h.perChunk > 0 ? h.perChunk : h.ratio;
        if (h.convInit) {
            WaveConvertInit(h.conv, *h.inFormat, h.outFormat);
            h.convInit = FFBool(false);
        }
        SndLoad(&h, h.conv, h.loader, AviSndLoad_, std::max(count, 0), sound);
        h.sndNextPos = static_cast<int32_t>(
            std::min<int64_t>(int64_t{h.sndNextPos} + sound.samples, INT32_MAX));
    });
}

void AviClose(QAviHandle& h) {
    Monitored([&] {
        if (gOpenCount.load() <= 0) return;
        Release_(h);
        --gOpenCount;
    });
}

void AviInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        QAviHandle h;
        AviOpen(h, fileName);
        info.fileSize = h.fileSize;
        info.dataRate = h.maxBytesPerSec;
        if (h.bitsPP > 0) {
            const bool supported = h.frames > 0 && (h.getFrame || h.libVideo);
            FFFillPictureInfo(info, h.fileSize, h.width, h.height, h.bytesPP, h.bitsPP, supported);
            info.frames = h.frames;
            info.frameRate = h.frameRate;
            uint32_t code = h.videoHeader.fccHandler;
            if (code == 0)
                code = h.videoFormatSize >= 20 && h.videoFormat ? RiffU32(h.videoFormat + 16)
                                                                : 0xFFFFFFFFu;
            info.videoCompression = FFShortStr(AVIGetVideoName(code));
            info.hasVideo = FFBool(h.frames > 0);
            info.videoSupported = FFBool(supported);
        }
        if (h.inFormat) {
            info.soundFormat = *h.inFormat;
            info.playFormat = h.outFormat;
            info.soundSamples = h.pcmLength;
            info.soundCompression = FFShortStr(AVIGetAudioName(h.inFormat->formatTag));
            info.hasSound = FFBool(h.pcmLength > 0);
            info.soundSupported = FFBool(h.pcmLength > 0 && (h.audio || h.libAudio));
        }
        AviClose(h);
    });
}

}  // namespace kelvora
