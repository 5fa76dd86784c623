#include "media/ConForm.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "formats/ConFormStill.h"
#include "formats/FFReaders.h"
#include "runtime/Basic.h"
#include "runtime/Errors.h"

namespace kelvora {

namespace {

// What the views of a reader without such a field point at.
const int32_t kZero = 0;
const double kZeroRate = 0.0;
const QWaveFmt kNoSound{};

// a / b, or 0 unless both are positive.
double RatioOrZero_(double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; }

// Reads a view; a cleared handle has none.
int32_t View_(const int32_t* view) { return view ? *view : 0; }

// Runs FFInfo for `type` in an isolated frame; true when it succeeded. `group` and `code`
// receive its error.
bool InfoIsolated_(const std::string& fileName, int32_t type, QffInfo& fi, int32_t& group,
                   int32_t& code) {
    MonIsolateNext();
    FFInfo(fileName, type, fi);
    group = ErrLastGroup();
    code = ErrLastCode();
    return ErrNone();
}

// Clears the last error (entering and leaving a frame that does nothing resets it).
void ErrClear_() {
    MonitoredIsolated([] {});
}

// Fills the picture and sound parts of `info` from the file information record.
void CopyInfo_(const QffInfo& fi, QUniInfo& info) {
    info.fileSize = fi.fileSize;
    info.formatName = fi.formatName;
    info.dataRate = fi.dataRate;
    QUniImgDesc& img = info.img;
    img.width = fi.width;
    img.height = fi.height;
    img.bytesPP = fi.bytesPP;
    img.bitsPP = fi.bitsPP;
    img.frames = fi.frames;
    img.frameRate = fi.frameRate;
    img.videoCompression = fi.videoCompression;
    img.hasVideo = fi.hasVideo;
    img.videoSupported = fi.videoSupported;
    img.framesEstimated = fi.framesEstimated;
    QUniSndDesc& snd = info.snd;
    snd.soundFormat = fi.soundFormat;
    snd.playFormat = fi.playFormat;
    snd.soundSamples = fi.soundSamples;
    snd.soundCompression = fi.soundCompression;
    snd.hasSound = fi.hasSound;
    snd.soundSupported = fi.soundSupported;
    snd.samplesEstimated = fi.samplesEstimated;
}

// The totals that follow from the copied fields.
void DeriveInfo_(QUniInfo& info) {
    QUniImgDesc& img = info.img;
    img.imageBytes = static_cast<double>(img.width) * img.height * img.bytesPP * img.frames;
    img.duration = RatioOrZero_(img.frames, img.frameRate);
    QUniSndDesc& snd = info.snd;
    snd.rate = snd.playFormat.samplesPerSec;
    snd.channels = snd.playFormat.channels;
    snd.bitsPerSample = snd.playFormat.bitsPerSample;
    snd.blockAlign = snd.playFormat.blockAlign;
    snd.soundBytes = static_cast<double>(snd.soundSamples) * snd.blockAlign;
    snd.duration = RatioOrZero_(snd.soundSamples, snd.rate);
}

// Widens a still image into the run of numbered files that follows it.
void DetectSequence_(const std::string& fileName, QUniInfo& info, int32_t maxSeq, bool allowSign) {
    SeqDesc& s = info.seq;
    if (!SeqSplit(fileName, allowSign, s.prefix, SEQ_MAX_PART, s.digits, s.first, s.suffix,
                  SEQ_MAX_PART))
        return;
    int32_t count = 0;
    int64_t next = 0;
    do {
        ++count;
        info.fileSize += static_cast<double>(next);
        // The numbers stay 32-bit: a run that would pass the largest one ends there.
        if (count == maxSeq || int64_t{s.first} + count > INT32_MAX) break;
    } while (SeqProbe(s.prefix, s.suffix, s.first + count, next, info.img, s.digits));
    s.count = count;
    if (count > 1) {
        info.kind = UNI_SEQUENCE;
        info.img.frames = count;
    }
}

bool IsDigit_(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// --- Unified layer --------------------------------------------------------------------------

int32_t UniKindOf(uint32_t format, int32_t frames) {
    const QffReader* reader = FFReaderOf(format);
    if (!reader) return UNI_NONE;
    return frames < 2 ? reader->kindSingle : reader->kindMany;
}

bool UniInfo(const std::string& fileName, QUniInfo& info, int32_t maxSeq, bool allowSign) {
    MonitoredIsolated([&] {
        info = QUniInfo{};
        const int32_t type = FFTypeByExt(fileName, FF_TABLE_LOAD);
        info.format = static_cast<uint32_t>(type);
        QffInfo fi;
        int32_t group = 0;
        int32_t code = 0;
        bool ok = InfoIsolated_(fileName, type, fi, group, code);
        // No information routine for the extension's type: no probing.
        if (group == ERR_FORMAT && code == FORMAT_WRITE) ErrFail(group, code);
        if (!ok || !(fi.hasVideo || fi.hasSound)) {
            QffDesc row;
            for (int32_t i = 0; FFGetDesc(row, i, FF_TABLE_LOAD); ++i) {
                if (row.type == type) continue;
                ok = InfoIsolated_(fileName, row.type, fi, group, code);
                if (ok && (fi.hasVideo || fi.hasSound)) {
                    info.format = static_cast<uint32_t>(row.type);
                    break;
                }
            }
        }
        // Nothing read the file: the last attempt's error is UniInfo's.
        if (!ok) ErrRaiseCode(group, code, __LINE__);
        info.fileName = fileName;
        CopyInfo_(fi, info);
        info.kind = UniKindOf(info.format, info.img.frames);
        if (info.kind == UNI_STILL && maxSeq > 1)
            DetectSequence_(fileName, info, maxSeq, allowSign);
        DeriveInfo_(info);
    });
    if (ErrNone()) return true;
    ErrClear_();
    ErrNoteCode(ERR_FILE, 9, __LINE__);
    return false;
}

void UniOpen(UniHandle& handle, const QUniInfo& info) {
    Monitored([&] {
        handle = UniHandle{};
        handle.format = info.format;
        handle.kind = info.kind;
        handle.fileName = info.fileName;
        handle.img = info.img;
        handle.snd = info.snd;
        try {
            switch (info.kind) {
                case UNI_STILL: break;
                case UNI_SEQUENCE: handle.seq = info.seq; break;
                case UNI_MOVIE:
                    MviOpen(handle.mvi, info.fileName, static_cast<int32_t>(info.format));
                    break;
                default: ErrFail(ERR_UNI, UNI_PROTOCOL); break;
            }
        } catch (...) {
            // A handle that did not open is left cleared, so that closing it is harmless.
            handle = UniHandle{};
            throw;
        }
    });
}

int32_t UniNearestKeyFrame(UniHandle& handle, int32_t frame, int32_t direction) {
    int32_t result = 1;
    Monitored([&] {
        switch (handle.kind) {
            case UNI_STILL: result = 1; break;
            case UNI_SEQUENCE:
                result = std::clamp(direction == -1 ? frame - 1 : frame, 1,
                                    std::max(1, handle.img.frames));
                break;
            case UNI_MOVIE: result = MviNearestKeyFrame(handle.mvi, frame, direction); break;
            default: ErrFail(ERR_UNI, UNI_PROTOCOL); break;
        }
    });
    return result;
}

double UniFrameTime(const UniHandle& handle, int32_t frame) {
    return handle.kind == UNI_MOVIE ? MviFrameTime(handle.mvi, frame) : -1;
}

void UniImgLoad(UniHandle& handle, Qimg& image, int32_t frame, int32_t mode) {
    Monitored([&] {
        handle.newPalette = 0;
        if (!handle.img.videoSupported) ErrFail(ERR_MVI, MVI_NOT_SUPPORTED);
        switch (handle.kind) {
            case UNI_STILL:
            case UNI_SEQUENCE:
                // Only the files of the run are frames: a number outside it names another file.
                if (frame < 1) ErrFail(ERR_MVI, MVI_INVALID_FORMAT);
                if (frame > handle.img.frames) ErrFail(ERR_MVI, MVI_END);
                ImgLoad(handle.kind == UNI_STILL ? handle.fileName : SeqFrameName(handle.seq, frame),
                        image, static_cast<int32_t>(handle.format));
                handle.curImage = frame;
                handle.newPalette = -1;
                break;
            case UNI_MOVIE:
                MviImgLoad(handle.mvi, image, frame, mode);
                handle.curImage = View_(handle.mvi.curFrame);
                handle.newPalette = View_(handle.mvi.newPalette);
                break;
            default: ErrFail(ERR_UNI, UNI_PROTOCOL); break;
        }
        handle.curImgTime = RatioOrZero_(handle.curImage - 1, handle.img.frameRate);
    });
}

void UniSndLoad(UniHandle& handle, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        if (!handle.snd.soundSupported) ErrFail(ERR_MVI, MVI_NOT_SUPPORTED);
        if (handle.kind != UNI_MOVIE) ErrFail(ERR_UNI, UNI_PROTOCOL);
        MviSndLoad(handle.mvi, sound, start, cont, count);
        handle.curSndPos = View_(handle.mvi.sndPos);
        handle.curSndTime = RatioOrZero_(handle.curSndPos, handle.snd.rate);
    });
}

void UniClose(UniHandle& handle) {
    Monitored([&] {
        const int32_t kind = handle.kind;
        // A handle of an unknown kind is cleared all the same before the fault is reported.
        try {
            if (kind == UNI_MOVIE) MviClose(handle.mvi);
        } catch (...) {
            handle = UniHandle{};
            throw;
        }
        handle = UniHandle{};
        if (kind < UNI_NONE || kind > UNI_MOVIE) ErrFail(ERR_UNI, UNI_PROTOCOL);
    });
}

void ConDone() {
    for (int32_t type = 1; const QffReader* reader = FFReaderOf(type); ++type)
        if (reader->done) reader->done();
}

// --- Movie layer ----------------------------------------------------------------------------
// Each operation reaches the format's reader through its row of the reader table.

void MviOpen(MviHandle& mf, const std::string& fileName, int32_t format) {
    Monitored([&] {
        mf = MviHandle{};
        if (format == BAD_HANDLE) format = FFTypeByExt(fileName, FF_TABLE_LOAD);
        const QffReader* reader = FFReaderOf(format);
        // A movie or sound format whose reader is not wired in is not supported; any other
        // format is no movie.
        if (!reader || !reader->open)
            ErrFail(ERR_MVI, reader && reader->kindMany == UNI_MOVIE ? MVI_NOT_SUPPORTED
                                                                     : MVI_INVALID_FORMAT);
        try {
            reader->open(mf, fileName);
            mf.format = static_cast<uint32_t>(format);
            MviBind(mf);
        } catch (...) {
            // The frame's release frees the reader block and closes its file; the handle must
            // not keep pointing at them.
            mf = MviHandle{};
            throw;
        }
    });
}

void MviBind(MviHandle& mf) {
    mf.width = mf.height = mf.bytesPP = mf.bitsPP = &kZero;
    mf.frames = mf.curFrame = mf.sndPos = mf.writeMode = mf.newPalette = &kZero;
    mf.frameRate = &kZeroRate;
    mf.soundFormat = &kNoSound;
    if (const QffReader* reader = FFReaderOf(mf.format); reader && reader->bind) reader->bind(mf);
}

int32_t MviNearestKeyFrame(MviHandle& mf, int32_t frame, int32_t direction) {
    const QffReader* reader = FFReaderOf(mf.format);
    return reader && reader->nearestKeyFrame ? reader->nearestKeyFrame(mf, frame, direction) : 1;
}

double MviFrameTime(const MviHandle& mf, int32_t frame) {
    const QffReader* reader = FFReaderOf(mf.format);
    return reader && reader->frameTime ? reader->frameTime(mf, frame) : -1;
}

void MviImgLoad(MviHandle& mf, Qimg& image, int32_t frame, int32_t mode) {
    Monitored([&] {
        if (View_(mf.writeMode)) MonExit();
        if (frame > View_(mf.frames)) ErrFail(ERR_MVI, MVI_END);
        const QffReader* reader = FFReaderOf(mf.format);
        if (!reader || !reader->imgLoad)
            ErrFail(ERR_MVI, MVI_NOT_SUPPORTED);  // a format without pictures
        reader->imgLoad(mf, image, frame, mode);
    });
}

void MviSndLoad(MviHandle& mf, Qsnd& sound, int32_t start, bool cont, int32_t count) {
    Monitored([&] {
        const QffReader* reader = FFReaderOf(mf.format);
        if (reader && reader->sndLoad)
            reader->sndLoad(mf, sound, start, cont, count);
        else
            sound.samples = 0;
    });
}

void MviClose(MviHandle& mf) {
    Monitored([&] {
        if (const QffReader* reader = FFReaderOf(mf.format); reader && reader->close)
            reader->close(mf);
        mf = MviHandle{};
    });
}

// --- Sequence helpers -------------------------------------------------------------------------

bool SeqSplit(const std::string& fileName, bool allowSign, std::string& prefix, int32_t prefixMax,
              int32_t& digits, int32_t& number, std::string& suffix, int32_t suffixMax) {
    const size_t slash = fileName.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    // The last run of digits: [runStart, runEnd) of the whole path, inside the name.
    size_t runEnd = fileName.size();
    while (runEnd > nameStart && !IsDigit_(fileName[runEnd - 1])) --runEnd;
    size_t runStart = runEnd;
    while (runStart > nameStart && IsDigit_(fileName[runStart - 1])) --runStart;
    const size_t count = runEnd - runStart;
    // A sign counts only right in front of the digits; the number must be a 32-bit value.
    const bool negative = allowSign && runStart > nameStart && fileName[runStart - 1] == '-';
    const size_t prefixEnd = negative ? runStart - 1 : runStart;
    int64_t value = 0;
    for (size_t i = runStart; i < runEnd && value <= INT32_MAX; ++i)
        value = value * 10 + (fileName[i] - '0');
    if (count > 0 && value <= INT32_MAX && prefixEnd <= static_cast<size_t>(std::max(prefixMax, 0)) &&
        fileName.size() - runEnd <= static_cast<size_t>(std::max(suffixMax, 0))) {
        prefix = fileName.substr(0, prefixEnd);
        suffix = fileName.substr(runEnd);
        digits = static_cast<int32_t>(count);
        number = static_cast<int32_t>(negative ? -value : value);
        return true;
    }
    const size_t dot = fileName.find_last_of('.');
    const size_t extStart = dot == std::string::npos || dot < nameStart ? fileName.size() : dot;
    prefix = fileName.substr(0, extStart);
    suffix = fileName.substr(extStart);
    digits = 0;
    number = 0;
    return false;
}

std::string SeqFrameName(const SeqDesc& seq, int32_t index) {
    const int64_t number = int64_t{seq.first} + index - 1;
    std::string text = std::to_string(number < 0 ? -number : number);
    if (static_cast<int64_t>(text.size()) < seq.digits)
        text.insert(0, static_cast<size_t>(seq.digits) - text.size(), '0');
    return seq.prefix + (number < 0 ? "-" : "") + text + seq.suffix;
}

bool SeqProbe(const std::string& prefix, const std::string& suffix, int32_t number,
              int64_t& fileSize, const QUniImgDesc& first, int32_t digits) {
    const SeqDesc seq{prefix, suffix, number, 1, digits};
    QffInfo fi;
    int32_t group = 0;
    int32_t code = 0;
    const bool ok = InfoIsolated_(SeqFrameName(seq, 1), BAD_HANDLE, fi, group, code);
    fileSize = static_cast<int64_t>(fi.fileSize);
    return ok && fi.width == first.width && fi.height == first.height &&
           fi.bitsPP == first.bitsPP && first.frames == 1 && first.videoSupported;
}

}  // namespace kelvora
