#include "formats/FF_MPG.h"

#include <algorithm>
#include <cstring>

#include "platform/FileIO.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// What the last description found, for the open that follows it on this thread.
struct Described_ {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frames = 0;
    int32_t rateCode = 0;
    int32_t bitRate = 0;
    int32_t mpeg2 = 0;
    int32_t audio = 0;
};
thread_local Described_ described;

void Zero_(QMpgHandle& h) { std::memset(static_cast<void*>(&h), 0, sizeof h); }

void CopyName_(char (&to)[MPG_NAME_BYTES], const std::string& name) {
    const size_t n = std::min(name.size(), sizeof to - 1);
    std::memcpy(to, name.data(), n);
    to[n] = '\0';
}

QWaveFmt PcmOf_(const QMpgAudioInfo& d) {
    QWaveFmt w{};
    w.formatTag = WAVE_FORMAT_PCM;
    w.channels = static_cast<uint16_t>(d.channels);
    w.samplesPerSec = static_cast<uint32_t>(d.rate);
    w.bitsPerSample = static_cast<uint16_t>(d.bits);
    w.blockAlign = static_cast<uint16_t>(d.channels * ((d.bits + 7) / 8));
    w.avgBytesPerSec = w.samplesPerSec * w.blockAlign;
    return w;
}

std::string SoundCodecName_(const QMpgAudioInfo& d) {
    std::string name = d.lsf ? "MPEG-2 LSF, " : "MPEG-1, ";
    name += "Layer";
    switch (d.layer) {
        case 1: name += "-I"; break;
        case 2: name += "-II"; break;
        case 3: name += "-III (MP3)"; break;
        default: break;
    }
    return name;
}

// Both libraries' streams closed, the handle zero.
void Release_(QMpgHandle& h) {
    if (h.videoOpen) CloseMPEG(&h.picture);
    if (h.audioOpen) mpg_audio_close(h.audioStream);
    Zero_(h);
}

}  // namespace

double MpgFrameRate(int32_t code) {
    static const double kRates[] = {0.0, 24000.0 / 1001, 24, 25, 30000.0 / 1001, 30,
                                    50,  60000.0 / 1001, 60};
    return kRates[std::clamp(code, 0, 8)];
}

void error_handler_(const char* message) {
    ErrRaiseMsg(ERR_LIBRARY, message && *message ? message : "MPEG library error", __LINE__);
}

void MpgInfo(const std::string& fileName, QffInfo& info) {
    Monitored([&] {
        FFClearInfo(info);
        MOSLErrorFuncSet(error_handler_);
        info.fileSize = FileSizeByName(fileName);
        described = Described_{};
        Described_ d;
        int32_t found = 0;
        MonitoredIsolated([&] {
            found = GetMPEGInfo(fileName.c_str(), &d.width, &d.height, &d.frames, &d.rateCode,
                                &d.bitRate, &d.mpeg2, &d.audio);
        });
        const bool images = found && ErrNone() && d.width >= 1 && d.height >= 1 && d.frames > 0;
        if (images) {
            described = d;
            if (d.bitRate > 8192) info.dataRate = d.bitRate / 8;
            FFFillPictureInfo(info, info.fileSize, d.width, d.height, 3, 24, !d.mpeg2);
            info.frames = d.frames;
            info.frameRate = MpgFrameRate(d.rateCode);
            info.videoCompression = d.mpeg2 ? "MPEG-2" : "MPEG-1";
        }
        if (images && !d.audio) return;

        QMpgAudioInfo a{};
        int32_t takes = 0;
        MonitoredIsolated([&] { takes = mpg_audio_info(fileName.c_str(), &a); });
        if (!ErrNone()) return;  // the sound stays undescribed and unplayable
        // A file the audio library does not take has no sound to describe.
        if (!takes) return;
        info.hasSound = FFBool(true);
        if (a.bitRate == 0)
            info.dataRate = 0;
        else if (info.dataRate > 0)
            info.dataRate += a.bitRate * 128;
        info.soundFormat = PcmOf_(a);
        info.playFormat = info.soundFormat;
        info.soundSamples = a.samples;
        info.soundCompression = SoundCodecName_(a);
        info.soundSupported = FFBool(a.samples >= 1 && (a.layer == 2 || a.layer == 3));
    });
}

void MpgOpen(QMpgHandle& h, const std::string& fileName, int32_t flags) {
    Monitored([&] {
        Zero_(h);
        MOSLErrorFuncSet(error_handler_);
        QffInfo record;
        MpgInfo(fileName, record);
        const Described_ d = described;
        h.hasVideo = record.videoSupported ? 1 : 0;
        h.hasAudio = record.soundSupported ? 1 : 0;
        if (!h.hasVideo && !h.hasAudio) ErrFail(ERR_MVI, MVI_OPEN);
        try {
            if (h.hasVideo) {
                h.picture.width = d.width;
                h.picture.height = d.height;
                h.picture.bitsPP = 24;
                h.picture.bytesPP = (h.picture.bitsPP + 7) / 8;
                h.frames = d.frames;
                h.frameRate = MpgFrameRate(d.rateCode);
                h.mpeg2 = d.mpeg2 ? 2 : 0;
                h.openFlags = flags;
                if (!OpenMPEG(&h.picture, fileName.c_str(), flags)) ErrFail(ERR_MVI, MVI_OPEN);
                CopyName_(h.videoName, fileName);
                h.videoOpen = 1;
            }
            if (h.hasAudio) {
                if (!mpg_audio_info(fileName.c_str(), &h.audioInfo)) ErrFail(ERR_MVI, MVI_OPEN);
                h.audioStream = mpg_audio_open(fileName.c_str());
                if (h.audioStream == 0) ErrFail(ERR_MVI, MVI_OPEN);
                h.audioOpen = 1;
                h.outFormat = PcmOf_(h.audioInfo);
                CopyName_(h.audioName, fileName);
            }
        } catch (...) {
            Release_(h);  // nothing stays open behind a failed open
            throw;
        }
    });
}

void MpgClose(QMpgHandle& h) {
    Monitored([&] { Release_(h); });
}

void MpgImgRewind(QMpgHandle& h) {
    Monitored([&] {
        CloseMPEG(&h.picture);
        h.videoOpen = 0;
        if (!OpenMPEG(&h.picture, h.videoName, h.openFlags)) ErrFail(ERR_MVI, MVI_OPEN);
        h.videoOpen = 1;
        h.framesDecoded = 0;
        h.endOfStream = 0;
    });
}

void MpgImgLoad(QMpgHandle& h, Qimg& image, int32_t frame, int32_t flags) {
    Monitored([&] {
        if (frame < 0 || frame > h.frames || !h.videoOpen) ErrFail(ERR_MVI, MVI_INVALID_FORMAT);
        if (frame == 0 || frame == h.framesDecoded + 1) {
            h.endOfStream = GetMPEGFrame(&h.picture, 0) == 0;
            ++h.framesDecoded;
        } else {
            if ((flags & 1) && frame == h.framesDecoded) MonExit();  // the image holds it
            if (!(flags & 1) || frame <= h.framesDecoded) MpgImgRewind(h);
            // Only the last picture is looked at: the library passes over the others.
            while (h.framesDecoded < frame && !h.endOfStream) {
                const int32_t skip = h.framesDecoded + 1 < frame;
                h.endOfStream = GetMPEGFrame(&h.picture, skip) == 0;
                if (!h.endOfStream) ++h.framesDecoded;
            }
        }
        // A stream that never gave a picture leaves nothing to show.
        if (!h.picture.frame) ErrFail(ERR_MVI, MVI_DECOMPRESS);
        const QMpegPicture& p = h.picture;
        if (p.rowWidth != p.width || (flags & 2))
            MakeQimg(image, p.frame, p.width, true, p.rowWidth * 3, 24, p.height);
        else
            ImgRedirect(image, p.frame, p.width, 24, p.height);
    });
}

void MpgSndSeek(QMpgHandle& h, int32_t position) {
    Monitored([&] {
        if (!h.audioOpen || !mpg_audio_seek(h.audioStream, position)) ErrFail(ERR_MVI, MVI_END);
        h.sndPos = position;
    });
}

void MpgSndLoad(QMpgHandle& h, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        sound.samples = 0;
        if (!h.audioOpen) return;
        if (!cont || start != h.sndPos) MpgSndSeek(h, start);
        const int32_t align = std::max(1, h.audioInfo.frameBytes);
        // Nothing is read past the stream's end, so no request needs more room than that.
        const int64_t frames = std::min<int64_t>(
            {count, int64_t{h.audioInfo.samples} - h.sndPos, INT32_MAX / align});
        if (frames <= 0) return;
        _sndalloc_(sound, static_cast<int32_t>(frames * align), __LINE__, "FF_MPG.MpgSndLoad.snd");
        sound.format = h.outFormat;
        const int32_t got = mpg_audio_read(h.audioStream, sound.data, static_cast<int32_t>(frames));
        sound.samples = std::max(0, got);
        h.sndPos += sound.samples;
    });
}

}  // namespace kelvora
